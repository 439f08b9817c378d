// Updates through the real worker thread against the simulated board in real time, where a
// reply takes its wire time and the host can act in the middle of a block: the update never
// reports success unless the flash holds the image.
#include "support/update_rig.h"

#include <QtTest>

namespace {

constexpr int kResultWaitMs = 20000;

// A real-time board behind the rig's bridge, the worker started, and the results collected on
// this thread (the signal comes from the worker and is queued here).
struct RealtimeRig {
    std::shared_ptr<pelsim::SimBoard> board;
    std::shared_ptr<SimBridgeLibrary> lib;
    UpdateRig rig;
    QObject context;
    QVector<qint8> results;

    explicit RealtimeRig(const char *faults = "")
        : board(std::make_shared<pelsim::SimBoard>(boardOptions(faults, pelsim::Timing::Realtime), pelsim::steadyClock())), lib(simLibraryWith(board)), rig(lib)
    {
        QObject::connect(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_FirmwareWriteFinish, &context,
                         [this](qint8 r) { results << r; });
    }
    bool start(const QByteArray &image)
    {
        if (rig.open() != 1)
            return false;
        rig.dev.start();
        rig.dev.SLOT_StartFirmwareUpdate(rig.writeHex(image));
        return true;
    }
    // Waits for the first result, then a while longer, in which a second one would show.
    void awaitResults()
    {
        QTRY_VERIFY_WITH_TIMEOUT(!results.isEmpty(), kResultWaitMs);
        QTest::qWait(300);
    }
};

} // namespace

class TestUpdateRealtime : public QObject {
    Q_OBJECT
private slots:
    // The restarted application prints "systems", "bytes" ...: its 'y' is the ACK byte.
    void resetDuringTheWrite_endsTheUpdateOnceAsAFailure()
    {
        RealtimeRig r;
        const QByteArray image = plausibleImage(64 * 256, "Reset 1.0");
        QVERIFY(r.start(image));
        QTRY_VERIFY_WITH_TIMEOUT(r.board->blocksWritten() >= 3, kResultWaitMs);
        r.rig.dev.resetTarget();
        r.awaitResults();
        QCOMPARE(r.results.size(), 1);
        QCOMPARE(r.results.first(), qint8(-1));
        QVERIFY(flashBytes(*r.board, image.size()) != image);
        QVERIFY(r.rig.console().contains("Bootloader Fail -> reset \xb5" "C during write firmware!!"));
        QCOMPARE(r.board->mode(), pelsim::SimBoard::Mode::Application);
        QCOMPARE(r.lib->lineControl(kRigBridgeId), quint16(0x0800));
    }

    // The stray ACK arrives while the last data frame is still on the wire: taken for the
    // block's answer, it would restart the chip before the block is programmed.
    void strayAckBehindTheLastDataFrame_neverPassesForSuccessWithoutTheImage()
    {
        RealtimeRig r("stray=0x79:data:8");
        const QByteArray image = plausibleImage(8 * 256, "Stray 1.0");
        QVERIFY(r.start(image));
        r.awaitResults();
        QCOMPARE(r.results.size(), 1);
        if (r.results.first() == 1)
            QVERIFY(flashBytes(*r.board, image.size()) == image);
        else
            QCOMPARE(r.results.first(), qint8(-1));
    }
};

QTEST_GUILESS_MAIN(TestUpdateRealtime)
#include "test_update_realtime.moc"
