#include "sharedmem/shared_mem_block.h"
#include "sharedmem/shared_mem_poll.h"

#include <QtTest>

#include <cstring>
#include <memory>

class TestSharedMemBlock : public QObject {
    Q_OBJECT
private slots:
    void unterminatedFields_areReadToTheirEndOnly()
    {
        // Heap block of exactly 312 bytes: a read past the name would leave the allocation.
        auto block = std::make_unique<SharedMemBlock>();
        std::memset(block.get(), 0, sizeof(SharedMemBlock));
        std::memset(block->Path2Hexfile, 'A', kPath2HexfileWidth);
        std::memset(block->NameOfConnectedDevice, 'B', kNameOfConnectedDeviceWidth);
        const SharedMemSnapshot s = decodeBlock(*block);
        QCOMPARE(s.path2Hexfile, QString(kPath2HexfileWidth, QLatin1Char('A')));
        QCOMPARE(s.nameOfConnectedDevice, QString(kNameOfConnectedDeviceWidth, QLatin1Char('B')));
    }

    void overlongText_isCutOnCharacterBoundaryInsideField_data()
    {
        QTest::addColumn<QString>("character");
        QTest::newRow("1-byte") << QStringLiteral("a");
        QTest::newRow("2-byte") << QString::fromUtf8("\xc3\xa4");
        QTest::newRow("3-byte") << QString::fromUtf8("\xe2\x82\xac");
        QTest::newRow("4-byte") << QString::fromUtf8("\xf0\x9f\x98\x80");
    }

    void overlongText_isCutOnCharacterBoundaryInsideField()
    {
        QFETCH(QString, character);
        const int charBytes = character.toUtf8().size();
        QString text;
        for (int i = 0; i < 200; ++i)
            text += character;

        constexpr int kGuard = 16;
        char buffer[kNameOfConnectedDeviceWidth + kGuard];
        std::memset(buffer, 0x5A, sizeof buffer);
        QVERIFY(!writeBoundedText(buffer, kNameOfConnectedDeviceWidth, text));

        const int nul = int(static_cast<const char *>(std::memchr(buffer, 0, kNameOfConnectedDeviceWidth)) - buffer);
        QVERIFY(nul >= 0 && nul <= kNameOfConnectedDeviceMaxBytes);
        QCOMPARE(nul % charBytes, 0);
        QVERIFY(nul > kNameOfConnectedDeviceMaxBytes - charBytes);
        for (int i = kNameOfConnectedDeviceWidth; i < int(sizeof buffer); ++i)
            QCOMPARE(buffer[i], char(0x5A));
        const QString back = readBoundedText(buffer, kNameOfConnectedDeviceWidth);
        QCOMPARE(back, text.left(back.size()));
        QCOMPARE(back.toUtf8().size(), nul);
    }

    void shorterTextAfterLongerOne_leavesNoRemainder()
    {
        char field[kPath2HexfileWidth];
        QVERIFY(writeBoundedText(field, kPath2HexfileWidth, QString(kPath2HexfileMaxBytes, QLatin1Char('x'))));
        QCOMPARE(readBoundedText(field, kPath2HexfileWidth).size(), kPath2HexfileMaxBytes);
        QVERIFY(writeBoundedText(field, kPath2HexfileWidth, QStringLiteral("/a.hex")));
        QCOMPARE(readBoundedText(field, kPath2HexfileWidth), QStringLiteral("/a.hex"));
        for (int i = 6; i < kPath2HexfileWidth; ++i)
            QCOMPARE(field[i], '\0');
        // Exactly 149 bytes fit; 150 do not.
        QVERIFY(writeBoundedText(field, kPath2HexfileWidth, QString(kPath2HexfileMaxBytes, QLatin1Char('y'))));
        QVERIFY(!writeBoundedText(field, kPath2HexfileWidth, QString(kPath2HexfileWidth, QLatin1Char('y'))));
        QCOMPARE(field[kPath2HexfileMaxBytes], '\0');
    }

    void programmingResult_isLittleEndianAtOffsetFour()
    {
        SharedMemBlock block{};
        const auto *raw = reinterpret_cast<const unsigned char *>(&block);
        writeProgrammingResult(block, 0x01020304);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(raw + 4), 4), QByteArray("\x04\x03\x02\x01", 4));
        writeProgrammingResult(block, kResultFailed);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(raw + 4), 4), QByteArray("\xff\xff\xff\xff", 4));
        QCOMPARE(readProgrammingResult(block), kResultFailed);
        QCOMPARE(raw[3], 0);
        QCOMPARE(raw[8], 0);
    }

    void pollStep_followsTheRequestCycle()
    {
        SharedMemBlock last{};
        SharedMemBlock block{};
        last.StatusPelmora = 1;

        QVERIFY(!pollSharedBlock(last, block).requestPending);  // idle: nothing changes

        block.StatusProgrammingRequest = 1;
        PollOutcome out = pollSharedBlock(last, block);
        QVERIFY(out.requestPending && !out.finished && !out.resultReset);
        QVERIFY(!pollSharedBlock(last, block).requestPending);  // still 1: no second signal

        writeProgrammingResult(block, kResultWritten);
        out = pollSharedBlock(last, block);
        QVERIFY(out.finished);
        QCOMPARE(out.finishedResult, kResultWritten);
        writeProgrammingResult(block, kResultWritten);  // set again without a reset
        QVERIFY(!pollSharedBlock(last, block).finished);

        block.StatusProgrammingRequest = 0;  // withdrawn
        out = pollSharedBlock(last, block);
        QVERIFY(out.resultReset && !out.requestPending && !out.finished);
        QCOMPARE(readProgrammingResult(block), kResultNone);

        // Next cycle: the same result value is news again after the reset.
        block.StatusProgrammingRequest = 1;
        QVERIFY(pollSharedBlock(last, block).requestPending);
        writeProgrammingResult(block, kResultWritten);
        QVERIFY(pollSharedBlock(last, block).finished);
    }

    void requestToTwo_resetsResultWithoutSignal_onlyInAnnouncedInstance()
    {
        SharedMemBlock last{};
        SharedMemBlock block{};
        writeProgrammingResult(block, kResultFailed);
        writeProgrammingResult(last, kResultFailed);  // already reported
        block.StatusProgrammingRequest = 2;

        PollOutcome out = pollSharedBlock(last, block);  // StatusPelmora never set here
        QVERIFY(!out.requestPending && !out.resultReset && !out.finished);
        QCOMPARE(readProgrammingResult(block), kResultFailed);

        last.StatusPelmora = 1;
        block.StatusProgrammingRequest = 0;
        pollSharedBlock(last, block);
        writeProgrammingResult(block, kResultFailed);
        writeProgrammingResult(last, kResultFailed);
        block.StatusProgrammingRequest = 2;
        out = pollSharedBlock(last, block);
        QVERIFY(!out.requestPending && out.resultReset);
        QCOMPARE(readProgrammingResult(block), kResultNone);
    }
};

QTEST_GUILESS_MAIN(TestSharedMemBlock)
#include "test_shared_mem_block.moc"
