#include "fault_cases.h"

#include <QStringList>

namespace {

void add(QVector<FaultCase> &cases, const QString &group, const QString &faults, bool small = false)
{
    FaultCase c;
    c.group = group;
    c.faults = faults;
    c.smallImage = small;
    cases.append(c);
}

// The k-th frames of each kind worth striking: the first ones (the retries of sync and Get ID
// get six attempts), a middle one and the last blocks of the 383-block image.
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
    };
    return kinds;
}

} // namespace

QVector<FaultCase> faultCases()
{
    QVector<FaultCase> cases;
    add(cases, "none", "");
    add(cases, "none", "", true);

    for (int k : {0, 1, 2, 3, 10, 50, 100, 200, 300, 380, 381, 382, 383})
        add(cases, "unplug", QStringLiteral("unplug=%1").arg(k));
    for (int k : {0, 1, 2, 3, 4})
        add(cases, "unplug", QStringLiteral("unplug=%1").arg(k), true);

    for (const auto &kind : framesByKind())
        for (const QString &k : kind.second)
            add(cases, "nack", QStringLiteral("nack=%1:%2").arg(kind.first, k));
    for (const char *list : {"nack=data:4", "nack=address:4", "nack=command:4", "nack=data:1+"})
        add(cases, "nack", list, true);

    add(cases, "silence", "mute");
    add(cases, "silence", "boot0-stuck");
    for (const auto &kind : framesByKind())
        for (const QString &k : kind.second)
            if (!k.endsWith('+'))
                add(cases, "silence", QStringLiteral("mute=%1:%2").arg(kind.first, k));
    for (const char *list : {"mute=data:4", "mute=address:4", "mute=command:4"})
        add(cases, "silence", list, true);

    for (int n : {1, 2, 5, 10, 50, 97, 98, 99, 100, 150, 1000})
        add(cases, "noise", QStringLiteral("noise=%1").arg(n));
    for (const auto &kind : framesByKind())
        for (int n : {1, 2, 5, 50, 99, 1000})
            add(cases, "noise", QStringLiteral("noise=%1:%2").arg(n).arg(kind.first));

    for (const char *id : {"0x0000", "0x0411", "0x041a", "0x0412", "0x0414", "0x0420", "0x0430",
                           "0x1004", "0x0104", "0xffff"})
        add(cases, "wrong id", QStringLiteral("product-id=%1").arg(id));

    add(cases, "parity", "parity=none");
    add(cases, "parity", "parity=odd");
    add(cases, "parity", "parity=none,lenient-parity");
    for (int status : {1, 10, 15, 255}) {
        FaultCase c;
        c.group = "parity";
        c.lineControlStatus = status;
        cases.append(c);
    }
    {
        FaultCase c;
        c.group = "parity";
        c.faults = "lenient-parity";
        c.lineControlStatus = 10;
        cases.append(c);
    }

    for (int n : {1, 10, 50, 97, 98, 99, 100, 150, 300, 1000, 5000})
        add(cases, "chatter", QStringLiteral("chatter=%1").arg(n));

    for (const char *list : {"noise=5,nack=data:1", "noise=5,nack=data:100", "chatter=50,unplug=100",
                             "noise=3,chatter=20", "product-id=0x041a,noise=2", "chatter=30,nack=sync:1",
                             "noise=20:data,mute=data:383", "nack=getid:1,noise=4:getid"})
        add(cases, "combined", list);
    return cases;
}
