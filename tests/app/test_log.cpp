#include "app/log.h"
#include "support/log_capture.h"

#include <QtTest>

#include <thread>
#include <vector>

class TestLog : public QObject {
    Q_OBJECT
private slots:
    void line_isExact()
    {
        const struct { bool error; const char *function, *message, *line; } rows[] = {
            {false, "OrbaloFirmwareLoader::OrbaloFirmwareLoader", "Start Programm",  // green tag, no reset
             "STATUS[\x1b[32mZorvane\x1b[0m]->OrbaloFirmwareLoader::OrbaloFirmwareLoader: Start Programm"},
            {true, "VX_SI_USBXpressDev::openDevice", "SI_DEVICE_NOT_FOUND",  // red, green tag, reset at the end
             "\x1b[31mERROR[\x1b[32mZorvane\x1b[31m]->VX_SI_USBXpressDev::openDevice: SI_DEVICE_NOT_FOUND\x1b[0m"},
            {false, "X::y", "Path: C:/100%s/%d%n.hex",  // an argument's percent signs pass unchanged
             "STATUS[\x1b[32mZorvane\x1b[0m]->X::y: Path: C:/100%s/%d%n.hex"},
        };
        for (const auto &row : rows) {
            LogCapture log;
            if (row.error)
                logError(row.function, "%s", row.message);
            else
                QCOMPARE(logStatus(row.function, "%s", row.message), QString::fromUtf8(row.line));
            QCOMPARE(log.lines(), QStringList{QString::fromUtf8(row.line)});
        }
    }

    // Cut to kLogLineMax bytes, never inside a UTF-8 character ('ä' is two bytes), and an error
    // line still ends with its reset.
    void overlongMessage_isCutWhole()
    {
        for (const QByteArray &unit : {QByteArray("x"), QByteArray("\xc3\xa4")}) {
            for (bool error : {false, true}) {
                LogCapture log;
                const QByteArray big = unit.repeated(5000 / unit.size());
                error ? logError("A::b", "%s", big.constData()) : void(logStatus("A::b", "%s", big.constData()));
                const QString line = log.lines().value(0);
                QVERIFY(!line.contains(QChar::ReplacementCharacter));
                QVERIFY(line.toUtf8().size() <= kLogLineMax && line.toUtf8().size() >= kLogLineMax - 1);
                if (unit.size() == 1)
                    QCOMPARE(line.toUtf8().size(), kLogLineMax);
                QCOMPARE(line.endsWith(QStringLiteral("\x1b[0m")), error);
            }
        }
    }

    void concurrentCallers_eachGetWholeLines()
    {
        LogCapture log;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 200; ++i)
                    logStatus("T::run", "thread %d line %d", t, i);
            });
        for (auto &th : threads)
            th.join();
        const QStringList lines = log.lines();
        QCOMPARE(lines.size(), 800);
        for (const QString &line : lines)
            QVERIFY2(QRegularExpression(QStringLiteral("^STATUS\\[.*\\]->T::run: thread \\d line \\d+$"))
                         .match(line).hasMatch(), qPrintable(line));
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "test_log.moc"
