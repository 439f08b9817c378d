// The fault matrix: whole updates against the simulated board showing each fault in each phase,
// in instant and in real-time timing, with and without the read-back, and with a user's hands
// on the host at each moment. Every case runs in a child process of its own, so a crash is
// counted, not fatal, and a hung update is cut off at a bound.
//
//   bench-faults [--quick] [--group NAME] [--verbose]   the cases, a table; exit 1 on a false
//                                  success, a hang, a crash, a double report or a wrong cause
//   bench-faults --without-read-back ...   every case with PELMORA_VERIFY=0: what the write
//                                  alone can judge
//   bench-faults --list [--quick]  the cases
//   bench-faults --case N [--log]  one case (what the matrix runs in each child), with the
//                                  loader's log lines when asked
#include "fault_run.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>

#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 kChildWallBoundMs = 150000;
// Instant children keep a core busy; real-time ones mostly sleep in their worker's 1 ms.
constexpr int kParallel = 6;
constexpr int kParallelInstant = 2;
constexpr int kFullMatrixMinimum = 400;

struct Tally {
    int cases = 0, trueSuccess = 0, failed = 0, falseSuccess = 0, hangs = 0, crashes = 0, doubles = 0,
        wrongCause = 0;
    int maxPasses = 0;
    qint64 maxMs = 0;

    bool bad() const { return falseSuccess + hangs + crashes + doubles + wrongCause > 0; }
    void add(const Tally &t)
    {
        cases += t.cases;
        trueSuccess += t.trueSuccess;
        failed += t.failed;
        falseSuccess += t.falseSuccess;
        hangs += t.hangs;
        crashes += t.crashes;
        doubles += t.doubles;
        wrongCause += t.wrongCause;
        maxPasses = std::max(maxPasses, t.maxPasses);
        maxMs = std::max(maxMs, t.maxMs);
    }
};

// "key=value" of the child's verdict line.
QString field(const QString &verdict, const QString &key)
{
    for (const QString &part : verdict.split(' '))
        if (part.startsWith(key + '='))
            return part.mid(key.size() + 1);
    return {};
}

Tally judge(const FaultCase &c, bool hung, bool crashed, int code, const QString &verdict)
{
    Tally t;
    t.cases = 1;
    // A child ended by a sanitizer exits with a status of its own choosing, but never prints its verdict.
    if (crashed || (!hung && (code < TrueSuccess || code > DoubleReport || !verdict.startsWith(QLatin1String("verdict "))))) {
        t.crashes = 1;
        return t;
    }
    if (hung)
        code = Hang;
    t.trueSuccess = code == TrueSuccess;
    t.failed = code == ReportedFailure;
    t.falseSuccess = code == FalseSuccess;
    t.hangs = code == Hang;
    t.doubles = code == DoubleReport;
    t.wrongCause = !hung && field(verdict, "cause") == QLatin1String("wrong");
    if (c.realtime)
        t.maxMs = field(verdict, "ms").toLongLong();
    else
        t.maxPasses = field(verdict, "passes").toInt();
    return t;
}

const char *outcomeName(const Tally &t)
{
    if (t.crashes)
        return "CRASH";
    if (t.falseSuccess)
        return "FALSE SUCCESS";
    if (t.hangs)
        return "HANG";
    if (t.doubles)
        return "TWO REPORTS";
    if (t.wrongCause)
        return t.trueSuccess ? "success" : "WRONG CAUSE";
    return t.trueSuccess ? "success" : "failure reported";
}

int runMatrix(const QString &self, const QVector<FaultCase> &cases, const QVector<int> &chosen,
              const QStringList &childArgs, bool verbose, bool requireFull)
{
    QElapsedTimer wall;
    wall.start();
    QMap<QString, Tally> byGroup;
    QStringList groups;
    Tally total;
    Tally byReadBack[2];  // [0] write alone, [1] with the read-back
    struct Child {
        QProcess *process;
        int index;
        qint64 startedAt;
    };
    QVector<Child> running;
    // The instant cases first: they keep the cores busy and the real-time ones need them idle.
    QVector<int> order = chosen;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return !cases[a].realtime && cases[b].realtime; });
    int next = 0;
    while (next < order.size() || !running.isEmpty()) {
        while (next < order.size() && running.size() < kParallel) {
            const bool instant = !cases[order[next]].realtime;
            const int instantRunning = int(std::count_if(running.begin(), running.end(),
                                                         [&](const Child &ch) { return !cases[ch.index].realtime; }));
            if (instant && instantRunning >= kParallelInstant)
                break;
            auto *p = new QProcess;
            p->setProcessChannelMode(QProcess::SeparateChannels);
            p->start(self, QStringList{QStringLiteral("--case"), QString::number(order[next])} + childArgs);
            running.append({p, order[next], wall.elapsed()});
            ++next;
        }
        for (int i = 0; i < running.size(); ++i) {
            QProcess *p = running[i].process;
            bool hung = false;
            if (!p->waitForFinished(5) && p->state() != QProcess::NotRunning) {
                if (wall.elapsed() - running[i].startedAt < kChildWallBoundMs)
                    continue;
                p->kill();
                p->waitForFinished();
                hung = true;
            }
            const FaultCase &c = cases[running[i].index];
            const QString out = QString::fromLocal8Bit(p->readAllStandardOutput());
            const QString verdict = out.mid(out.lastIndexOf(QLatin1String("verdict "))).trimmed();
            const Tally t = judge(c, hung, !hung && p->exitStatus() == QProcess::CrashExit, p->exitCode(), verdict);
            if (!groups.contains(c.group))
                groups.append(c.group);
            byGroup[c.group].add(t);
            total.add(t);
            byReadBack[c.verify ? 1 : 0].add(t);
            if (verbose || t.bad()) {
                std::printf("  case %3d %-10s %-60s %-16s %s\n", running[i].index, qPrintable(c.group),
                            qPrintable(c.describe()), outcomeName(t), qPrintable(verdict.mid(8)));
                if (t.bad())
                    std::printf("           allowed causes: %s%s\n%s", qPrintable(causeNames(c.causes)),
                                c.mustSucceed ? " (must succeed)" : "",
                                p->readAllStandardError().left(400).constData());
            }
            delete p;
            running.remove(i--);
        }
    }
    std::printf("\nfault matrix: %d cases in %.1f s\n", total.cases, double(wall.elapsed()) / 1000.0);
    std::printf("%-10s %6s %8s %8s %6s %6s %8s %8s %6s %11s %9s\n", "group", "cases", "success", "failed", "false",
                "hangs", "crashes", "doubles", "cause", "max passes", "max ms");
    auto row = [](const char *name, const Tally &t) {
        std::printf("%-10s %6d %8d %8d %6d %6d %8d %8d %6d %11d %9lld\n", name, t.cases, t.trueSuccess, t.failed,
                    t.falseSuccess, t.hangs, t.crashes, t.doubles, t.wrongCause, t.maxPasses,
                    static_cast<long long>(t.maxMs));
    };
    for (const QString &g : groups)
        row(qPrintable(g), byGroup[g]);
    row("total", total);
    row("read-back", byReadBack[1]);
    row("write only", byReadBack[0]);
    std::printf("(success: result 1 and the flash equals the image; failed: result -1; false: result 1 with the "
                "flash differing, must be 0; hangs: no result within the bound, must be 0; crashes: must be 0; "
                "doubles: more results than starts, must be 0; cause: a failure whose red console line names "
                "another cause than the fault's, or a failure where nothing could fail, must be 0; max passes / "
                "max ms: the longest time to the last result, instant in worker passes, real time in ms; read-back / write "
                "only: the total split by PELMORA_VERIFY)\n");
    return !total.bad() && (!requireFull || total.cases >= kFullMatrixMinimum) ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QVector<FaultCase> cases = faultCases();
    const bool withoutReadBack = args.contains(QStringLiteral("--without-read-back"));
    if (withoutReadBack)
        for (FaultCase &c : cases)
            c.verify = false;
    const int caseAt = args.indexOf(QStringLiteral("--case"));
    if (caseAt > 0 && caseAt + 1 < args.size()) {
        const int n = args[caseAt + 1].toInt();
        if (n < 0 || n >= cases.size())
            return 10;
        return runFaultCase(cases[n], args.contains(QStringLiteral("--log")));
    }
    const bool quick = args.contains(QStringLiteral("--quick"));
    const int groupAt = args.indexOf(QStringLiteral("--group"));
    const QString group = groupAt > 0 && groupAt + 1 < args.size() ? args[groupAt + 1] : QString();
    QVector<int> chosen;
    for (int i = 0; i < cases.size(); ++i)
        if ((!quick || cases[i].quick) && (group.isEmpty() || cases[i].group == group))
            chosen.append(i);
    if (args.contains(QStringLiteral("--list"))) {
        for (int i : chosen)
            std::printf("%3d %-10s %s\n", i, qPrintable(cases[i].group), qPrintable(cases[i].describe()));
        std::printf("%d cases\n", int(chosen.size()));
        return 0;
    }
    const QStringList childArgs = withoutReadBack ? QStringList{QStringLiteral("--without-read-back")} : QStringList{};
    return runMatrix(app.applicationFilePath(), cases, chosen, childArgs, args.contains(QStringLiteral("--verbose")),
                     !quick && group.isEmpty() && !withoutReadBack);
}
