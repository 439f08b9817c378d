#include "app/log.h"
#include "support/log_capture.h"

#include <QtTest>

#include <thread>
#include <vector>

class TestLog : public QObject {
    Q_OBJECT
private slots:
    void statusLine_hasExactPrefixAndNoReset()
    {
        LogCapture log;
        const QString line = logStatus("OrbaloFirmwareLoader::OrbaloFirmwareLoader", "Start Programm");
        const QString expected = QStringLiteral(
            "STATUS[\x1b[32mZorvane\x1b[0m]->OrbaloFirmwareLoader::OrbaloFirmwareLoader: Start Programm");
        QCOMPARE(line, expected);
        QCOMPARE(log.lines(), QStringList{expected});
    }

    void errorLine_isRedWithGreenTagAndEndsWithReset()
    {
        LogCapture log;
        logError("VX_SI_USBXpressDev::openDevice", "%s", "SI_DEVICE_NOT_FOUND");
        QCOMPARE(log.lines(), QStringList{QStringLiteral(
            "\x1b[31mERROR[\x1b[32mZorvane\x1b[31m]->VX_SI_USBXpressDev::openDevice: SI_DEVICE_NOT_FOUND\x1b[0m")});
    }

    void percentSignsFromArguments_passUnchanged()
    {
        LogCapture log;
        const QString line = logStatus("X::y", "Path: %s", "C:/100%s/%d%n.hex");
        QVERIFY(line.endsWith(QStringLiteral("X::y: Path: C:/100%s/%d%n.hex")));
        QCOMPARE(log.lines().value(0), line);
    }

    void overlongMessage_isCutTo2047BytesAndErrorStillResets()
    {
        LogCapture log;
        const QByteArray big(5000, 'x');
        const QString status = logStatus("A::b", "%s", big.constData());
        QCOMPARE(status.toUtf8().size(), kLogLineMax);
        logError("A::b", "%s", big.constData());
        const QByteArray error = log.lines().value(1).toUtf8();
        QCOMPARE(error.size(), kLogLineMax);
        QVERIFY(error.endsWith("\x1b[0m"));
    }

    void cutLine_neverSplitsAUtf8Character()
    {
        // 'ä' is two bytes; a cut in its middle would leave an invalid sequence.
        QByteArray big;
        for (int i = 0; i < 1500; ++i)
            big += "\xc3\xa4";
        LogCapture log;
        const QString line = logStatus("A::b", "%s", big.constData());
        QVERIFY(!line.contains(QChar::ReplacementCharacter));
        QVERIFY(line.toUtf8().size() <= kLogLineMax);
        QVERIFY(line.toUtf8().size() >= kLogLineMax - 1);
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
