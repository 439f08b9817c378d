#include "fault_cases.h"

#include <QPair>

namespace {

using pelsim::FrameKind;

// What a failure may be blamed on, by the kind of fault.
// Every failure names its cause in a red line: none is allowed to end on the failure ending's
// line alone (Unnamed).
constexpr unsigned kSilence = NoSync | Timeout;
constexpr unsigned kGarbled = NoSync | Timeout | StrayByte;
constexpr unsigned kRefused = NoSync | Timeout | NackCause;
constexpr unsigned kStrayed = kGarbled | NackCause | Mismatch;
constexpr unsigned kCableOut = Disconnect;
constexpr unsigned kBridge = kGarbled | Disconnect;

struct Table {
    QVector<FaultCase> cases;

    FaultCase &add(const QString &group, const QString &faults, unsigned causes)
    {
        FaultCase c;
        c.group = group;
        c.faults = faults;
        c.causes = causes;
        cases.append(c);
        return cases.last();
    }
    // The same case on the 4-block image, instant and in real time.
    void addSmall(const QString &group, const QString &faults, unsigned causes, bool quick = false)
    {
        for (bool realtime : {false, true}) {
            FaultCase &c = add(group, faults, causes);
            c.smallImage = true;
            c.realtime = realtime;
            c.quick = quick;
        }
    }
};

// The frames of each kind worth striking on the built-in image (383 blocks): the first ones
// (sync and Get ID get six attempts), a middle one and the last blocks.
const QList<QPair<QString, QStringList>> &framesByKind()
{
    static const QList<QPair<QString, QStringList>> kinds = {
        {"sync", {"1", "2", "3", "4", "5", "6", "1+", "2+"}},
        {"getid", {"1", "2", "3", "4", "5", "6", "1+", "6+"}},
        {"erase", {"1", "2", "1+"}},
        {"erase-code", {"1", "2", "1+"}},
        {"command", {"1", "2", "3", "50", "100", "200", "381", "382", "383", "1+", "100+"}},
        {"address", {"1", "2", "3", "50", "100", "200", "381", "382", "383", "1+", "100+"}},
        {"data", {"1", "2", "3", "50", "100", "200", "381", "382", "383", "1+", "100+"}},
        {"read", {"1", "2", "200", "383", "1+"}},
        {"read-address", {"1", "200", "383", "1+"}},
        {"read-count", {"1", "2", "200", "382", "383", "1+"}},
    };
    return kinds;
}

// One frame of every kind on the 4-block image: the phases of an update.
const QStringList &phasesSmall()
{
    static const QStringList phases = {"sync:1",    "getid:1", "erase:1",        "erase-code:1",
                                       "command:1", "address:2", "data:1",       "data:4",
                                       "read:1",    "read-address:1", "read-count:1", "read-count:4"};
    return phases;
}

unsigned silenceOf(const QString &kind)
{
    return kind.startsWith("sync") ? NoSync : Timeout;
}

void boardFaults(Table &t)
{
    for (int k : {0, 1, 2, 3, 10, 50, 100, 200, 300, 380, 381, 382, 383})
        t.add("unplug", QStringLiteral("unplug=%1").arg(k), kCableOut);
    for (int k : {0, 1, 2, 3, 4})
        t.add("unplug", QStringLiteral("unplug=%1").arg(k), kCableOut).smallImage = true;
    // The device list, which notices a lost bridge, is read every 1001 passes; the six syncs of
    // 100 steps run out before that, so a cable pulled at the sync ends as a sync time-out.
    auto cableOut = [](const QString &at) { return at.startsWith("sync") ? kCableOut | NoSync : kCableOut; };
    for (const char *at : {"sync:1", "getid:1", "erase:1", "erase-code:1", "command:200", "address:383",
                           "data:383", "read:1", "read-address:200", "read-count:383"})
        t.add("unplug", QStringLiteral("unplug=%1").arg(at), cableOut(at));
    for (const QString &at : phasesSmall())
        t.addSmall("unplug", "unplug=" + at, cableOut(at), at == "data:4");

    for (const auto &kind : framesByKind())
        for (const QString &k : kind.second)
            t.add("nack", QStringLiteral("nack=%1:%2").arg(kind.first, k), kRefused);
    for (const char *list : {"nack=data:4", "nack=address:4", "nack=command:4", "nack=data:1+", "nack=read-count:4"})
        t.add("nack", list, kRefused).smallImage = true;
    for (const char *at : {"sync:1", "command:1", "data:4", "read-count:1"})
        t.addSmall("nack", QStringLiteral("nack=%1").arg(at), kRefused);

    t.add("silence", "mute", kSilence);
    for (const auto &kind : framesByKind())
        for (const QString &k : kind.second)
            if (!k.endsWith('+'))
                t.add("silence", QStringLiteral("mute=%1:%2").arg(kind.first, k), silenceOf(kind.first));
    for (const char *at : {"sync:1", "getid:1", "data:4", "read-count:1", "read-count:4"})
        t.addSmall("silence", QStringLiteral("mute=%1").arg(at), silenceOf(at), QString(at) == "data:4");

    for (int n : {1, 2, 5, 10, 50, 97, 98, 99, 100, 150, 1000})
        t.add("noise", QStringLiteral("noise=%1").arg(n), kGarbled);
    for (const auto &kind : framesByKind())
        for (int n : {1, 5, 99, 1000})
            t.add("noise", QStringLiteral("noise=%1:%2").arg(n).arg(kind.first), kGarbled);
    for (const char *list : {"noise=5", "noise=50:data", "noise=2:read-count"})
        t.addSmall("noise", list, kGarbled);

    // Bytes of the values that mean something, ACK and NACK, and one that does not, as each
    // frame begins and after each reply.
    for (const char *value : {"0x79", "0x1f", "0x00"})
        for (const QString &at : phasesSmall())
            for (const char *where : {"stray", "stray-after"})
                t.addSmall("stray", QStringLiteral("%1=%2:%3").arg(where, value, at), kStrayed,
                           QString(value) == "0x79" && at.startsWith("data"));
    for (const char *list : {"stray=0x79:data:383", "stray-after=0x79:command:200", "stray=0x79/0x79:read-count:383",
                             "stray=0x1f:data:383", "stray-after=0x79:data:1+"})
        t.add("stray", list, kStrayed);

    // The application takes the line over after the sync, or later.
    for (const char *content : {"text", "noise"}) {
        t.addSmall("stream", QStringLiteral("stream=%1").arg(content), kGarbled, true);
        for (const char *at : {"getid:1", "erase-code:1", "command:2", "data:2", "data:4", "read-count:1", "read-count:4"})
            t.addSmall("stream", QStringLiteral("stream=%1:%2").arg(content, at), kGarbled | Mismatch);
    }
    t.addSmall("stream", "boot0-stuck", kGarbled);
    t.add("stream", "boot0-stuck", kGarbled);

    // Replies well inside their time-out, just past it, and long after it.
    for (const char *kind : {"sync", "getid", "erase", "erase-code", "command", "address", "data", "read",
                             "read-address", "read-count"}) {
        const bool sync = QString(kind) == "sync";
        const bool data = QString(kind) == "data";
        const int justPast = sync ? 150 : data ? 5100 : 1100;
        for (int delay : {50, justPast, 6000}) {
            const QString faults = QStringLiteral("late=%1:1:%2").arg(kind).arg(delay);
            for (bool realtime : {false, true}) {
                FaultCase &c = t.add("late", faults, kGarbled);
                c.smallImage = true;
                c.realtime = realtime;
                c.mustSucceed = delay == 50;
            }
        }
    }

    // Half-words the chip leaves erased though it acknowledges their block: only the read-back
    // can see them.
    for (const char *list : {"unprogrammed=0x08000000", "unprogrammed=0x08000102", "unprogrammed=0x080003e4:2",
                             "unprogrammed=0x08000200,unprogrammed=0x08000300"})
        t.addSmall("unprogr.", list, Mismatch, QString(list).endsWith("102"));
    for (const char *list : {"unprogrammed=0x08000000", "unprogrammed=0x0800c352", "unprogrammed=0x08017e1c:4"})
        t.add("unprogr.", list, Mismatch);

    for (const char *id : {"0x0000", "0x0411", "0x041a", "0x0412", "0x0414", "0x0420", "0x0430",
                           "0x1004", "0x0104", "0xffff"})
        t.add("wrong id", QStringLiteral("product-id=%1").arg(id), WrongChip);
    t.addSmall("wrong id", "product-id=0x041a", WrongChip);

    t.add("parity", "parity=none", NoSync);
    t.add("parity", "parity=odd", NoSync);
    t.add("parity", "parity=none,lenient-parity", NoSync);
    for (int status : {1, 10, 15, 255})
        t.add("parity", QString(), NoSync).lineControlStatus = status;
    t.add("parity", "lenient-parity", NoSync).lineControlStatus = 10;

    for (int n : {1, 10, 50, 97, 98, 99, 100, 150, 300, 1000, 5000})
        t.add("chatter", QStringLiteral("chatter=%1").arg(n), kGarbled);

    for (const char *list : {"noise=5,nack=data:1", "noise=5,nack=data:100", "chatter=50,unplug=100",
                             "noise=3,chatter=20", "chatter=30,nack=sync:1", "noise=20:data,mute=data:383",
                             "nack=getid:1,noise=4:getid", "stray=0x79:data:3,unprogrammed=0x08000400"})
        t.add("combined", list, kRefused | kCableOut | kStrayed);
    t.add("combined", "product-id=0x041a,noise=2", WrongChip);
}

void bridgeFaults(Table &t)
{
    // One call failing, or every call from then on, in the sync, the write and the read-back.
    for (const char *call : {"write", "flush", "latch", "queue", "read"})
        for (const char *at : {"sync:1", "data:1", "data:4", "read-count:2"})
            for (const char *every : {"", "+"})
                t.addSmall("bridge", QStringLiteral("bridge=%1:%2%3").arg(call, at, every), kBridge,
                           QString(call) == "write" && QString(at) == "data:1");
}

void hostActions(Table &t)
{
    struct Moment {
        FrameKind kind;
        int frame;
    };
    const Moment small[] = {{FrameKind::Sync, 0},     {FrameKind::Sync, 1},      {FrameKind::GetId, 1},
                            {FrameKind::EraseCode, 1}, {FrameKind::Data, 1},      {FrameKind::Data, 2},
                            {FrameKind::Data, 4},      {FrameKind::ReadCount, 1}, {FrameKind::ReadCount, 4}};
    const struct {
        HostAction action;
        unsigned causes;
    } actions[] = {{HostAction::Reset, ResetCause},
                   {HostAction::Disconnect, Disconnect},
                   // Neither breaks the dialogue: the second start waits its turn, the mode
                   // applies once the update has let go of the received bytes.
                   {HostAction::SecondStart, 0},
                   {HostAction::ModeSwitch, 0}};
    for (const auto &a : actions) {
        for (const Moment &m : small) {
            for (bool realtime : {false, true}) {
                FaultCase &c = t.add("host", QString(), a.causes);
                c.smallImage = true;
                c.realtime = realtime;
                c.action = a.action;
                c.actionKind = m.kind;
                c.actionFrame = m.frame;
                c.quick = realtime && m.kind == FrameKind::Data && m.frame == 2;
            }
        }
        for (const Moment &m : {Moment{FrameKind::Data, 200}, Moment{FrameKind::ReadCount, 200}}) {
            FaultCase &c = t.add("host", QString(), a.causes);
            c.action = a.action;
            c.actionKind = m.kind;
            c.actionFrame = m.frame;
        }
    }
}

// Without the read-back: everything the write alone must judge right.
void withoutReadBack(Table &t)
{
    const int from = t.cases.size();
    t.addSmall("none", QString(), 0);
    for (const char *list : {"unplug=data:2", "nack=data:4", "mute=data:4", "noise=5", "stream=text", "stream=noise",
                             "stream=text:data:2", "stray=0x1f:data:4", "stray=0x00:data:4", "stray=0x79:data:4",
                             "stray-after=0x79:data:3", "late=data:1:6000",
                             "bridge=write:data:1", "bridge=queue:data:1+", "unplug=1", "boot0-stuck"})
        // A stray ACK during or right after the last block is what only the quiet wait after
        // it can tell from the block's own ACK: in the quick subset too.
        t.addSmall("unverified", list, kCableOut | kRefused | kGarbled, QByteArray(list).startsWith("stray"));
    for (HostAction action : {HostAction::Reset, HostAction::Disconnect}) {
        for (int frame : {2, 4}) {
            FaultCase &c = t.add("unverified", QString(),
                                 action == HostAction::Reset ? unsigned(ResetCause) : unsigned(Disconnect));
            c.smallImage = c.realtime = true;
            c.action = action;
            c.actionKind = FrameKind::Data;
            c.actionFrame = frame;
        }
    }
    for (int i = from; i < t.cases.size(); ++i)
        t.cases[i].verify = false;
}

const char *actionName(HostAction action)
{
    switch (action) {
    case HostAction::Reset: return "reset";
    case HostAction::Disconnect: return "disconnect";
    case HostAction::SecondStart: return "second start";
    case HostAction::ModeSwitch: return "mode switch";
    default: return "";
    }
}

} // namespace

QVector<FaultCase> faultCases()
{
    Table t;
    t.add("none", QString(), 0).quick = true;
    t.addSmall("none", QString(), 0, true);
    boardFaults(t);
    bridgeFaults(t);
    hostActions(t);
    withoutReadBack(t);
    for (int i = 0; i < t.cases.size(); ++i) {
        FaultCase &c = t.cases[i];
        // Without a fault there is nothing to fail on.
        c.mustSucceed = c.mustSucceed || (c.faults.isEmpty() && !c.lineControlStatus && c.action == HostAction::None);
        // The quick subset: the cases named above and a tenth of the rest, spread over every group.
        c.quick = c.quick || i % 10 == 0;
    }
    return t.cases;
}

QString FaultCase::describe() const
{
    QStringList parts;
    if (!faults.isEmpty())
        parts << faults;
    if (lineControlStatus)
        parts << QStringLiteral("line-control status %1").arg(lineControlStatus);
    if (action != HostAction::None) {
        parts << QStringLiteral("%1 at %2").arg(QLatin1String(actionName(action)),
                                                actionFrame == 0 ? QStringLiteral("the start")
                                                                 : QStringLiteral("%1:%2")
                                                                       .arg(QLatin1String(pelsim::frameKindName(actionKind)))
                                                                       .arg(actionFrame));
    }
    if (parts.isEmpty())
        parts << QStringLiteral("-");
    QString text = parts.join(QStringLiteral(", "));
    text += smallImage ? QStringLiteral(" (4 blocks") : QStringLiteral(" (383 blocks");
    text += realtime ? QStringLiteral(", real time") : QStringLiteral(", instant");
    text += verify ? QStringLiteral(")") : QStringLiteral(", no read-back)");
    return text;
}

QString causeNames(unsigned causes)
{
    static const char *const kNames[] = {"no-sync", "wrong-chip", "mismatch", "disconnect", "reset", "stray-byte",
                                         "nack",    "timeout",    "file",     "other",      "unnamed"};
    QStringList names;
    for (unsigned i = 0; i < sizeof kNames / sizeof *kNames; ++i)
        if (causes & (1u << i))
            names << QLatin1String(kNames[i]);
    return names.isEmpty() ? QStringLiteral("none") : names.join(QLatin1Char('|'));
}
