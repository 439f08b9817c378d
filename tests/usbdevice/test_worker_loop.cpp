// The worker pass: what it reads, what it announces, when it enumerates, and the hand-over of
// the rings to the GUI thread.
#include "support/log_capture.h"
#include "support/script_peer.h"
#include "usbdevice/sim_bridge_library.h"
#include "usbdevice/vx_si_usbxpressdev.h"

#include <QSignalSpy>
#include <QtTest>

#include <thread>

namespace {

struct Rig {
    std::shared_ptr<SimBridgeLibrary> lib = std::make_shared<SimBridgeLibrary>();
    std::shared_ptr<ScriptPeer> peer = std::make_shared<ScriptPeer>();
    int id = lib->addBridge(QStringLiteral("Orbalo"), QStringLiteral("0001"), peer);
    VX_SI_USBXpressDev dev{lib, false};

    Rig()
    {
        dev.fillListOfDevice();
        dev.openDevice(0);
    }
};

QList<quint8> types(const QSignalSpy &spy)
{
    QList<quint8> out;
    for (const auto &args : spy)
        out << args.at(0).value<quint8>();
    return out;
}

} // namespace

class TestWorkerLoop : public QObject {
    Q_OBJECT
private slots:
    void serialMode_onePassWithBytes_announcesOnce_passWithoutBytesNothing()
    {
        Rig rig;
        QSignalSpy data(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_newDataAvailable);
        rig.dev.pollOnce();
        QCOMPARE(data.count(), 0);
        rig.peer->inject("hello\n");
        rig.dev.pollOnce();
        QCOMPARE(types(data), QList<quint8>{0});
        QCOMPARE(rig.dev.getRxCount(), quint16(6));
        rig.dev.pollOnce();
        QCOMPARE(data.count(), 1);
    }

    void tlvMode_decodesFramesAcrossPasses_announcesOnlyOutput()
    {
        Rig rig;
        rig.peer->inject(QByteArray::fromHex("AA0500F002"));  // before the switch: dropped by the reset
        rig.dev.pollOnce();
        rig.dev.setTLVMode(true, true);
        QSignalSpy data(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_newDataAvailable);
        rig.peer->inject(QByteArray::fromHex("AA0500F00200"));
        rig.dev.pollOnce();
        QCOMPARE(data.count(), 0);
        rig.peer->inject(QByteArray::fromHex("486958FE"));
        rig.dev.pollOnce();
        QCOMPARE(types(data), QList<quint8>{2});
        QByteArray text;
        char c = 0;
        while (rig.dev.getTLVByte(c) == 1)
            text += c;
        QCOMPARE(text, QByteArray("Hi"));
        QCOMPARE(rig.dev.getRxCount(), quint16(0));
    }

    void failedQueueQuery_isNoCount_theReadIsSkipped()
    {
        Rig rig;
        rig.peer->inject("abc");
        rig.lib->injectNext(SiOp::CheckRxQueue, SI_DEVICE_IO_FAILED);
        QSignalSpy data(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_newDataAvailable);
        rig.dev.pollOnce();
        QCOMPARE(rig.lib->callCount(SiOp::Read), 0);
        QCOMPARE(data.count(), 0);
        rig.dev.pollOnce();
        QCOMPARE(rig.dev.getRxCount(), quint16(3));
    }

    void enumeration_runsInTheFirstPassAndEvery1001st()
    {
        auto lib = std::make_shared<SimBridgeLibrary>();
        VX_SI_USBXpressDev dev(lib, false);
        dev.pollOnce();
        QCOMPARE(lib->callCount(SiOp::GetNumDevices), 1);
        for (int i = 0; i < 1000; ++i)
            dev.pollOnce();
        QCOMPARE(lib->callCount(SiOp::GetNumDevices), 1);
        dev.pollOnce();
        QCOMPARE(lib->callCount(SiOp::GetNumDevices), 2);
    }

    void duringAnUpdate_receivedBytesAreNotAnnounced()
    {
        Rig rig;
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("x.hex"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(":020000040800F2\r\n:020000040800F2\r\n:00000001FF\r\n");
        f.close();
        rig.dev.SLOT_StartFirmwareUpdate(path);
        QSignalSpy data(&rig.dev, &VX_SI_USBXpressDev::SIGNAL_newDataAvailable);
        rig.peer->inject("board text");
        rig.dev.pollOnce();
        QVERIFY(!types(data).contains(quint8(0)));
    }

    void consoleTextBeyondTheRing_waitsAndArrivesWhole()
    {
        Rig rig;
        QByteArray expected;
        for (int i = 0; i < 400; ++i) {
            const QString text = QStringLiteral("line %1").arg(i);
            rig.dev.writeConsoleLine(text);
            expected += "<br><b>" + text.toLatin1() + "</b>\n";
        }
        QVERIFY(expected.size() > 4095);
        QByteArray got;
        char c = 0;
        for (int pass = 0; pass < 10 && got.size() < expected.size(); ++pass) {
            while (rig.dev.getConsoleByte(c) == 1)
                got += c;
            rig.dev.pollOnce();
        }
        while (rig.dev.getConsoleByte(c) == 1)
            got += c;
        QCOMPARE(got, expected);
    }

    void runningWorker_handsEveryByteToTheGuiThreadInOrder()
    {
        auto lib = std::make_shared<SimBridgeLibrary>();
        auto peer = std::make_shared<ScriptPeer>();
        lib->addBridge(QStringLiteral("Orbalo"), QStringLiteral("0001"), peer);
        VX_SI_USBXpressDev dev(lib, false);
        dev.fillListOfDevice();
        QCOMPARE(dev.openDevice(0), 1);
        dev.start();
        constexpr int kTotal = 200000;
        std::thread board([&] {
            QByteArray piece;
            for (int i = 0; i < kTotal;) {
                piece.clear();
                for (int k = 0; k < 97 && i < kTotal; ++k, ++i)
                    piece += char(i % 251);
                peer->inject(piece);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        int received = 0;
        bool inOrder = true;
        QElapsedTimer timer;
        timer.start();
        char c = 0;
        while (received < kTotal && timer.elapsed() < 60000) {
            if (dev.getRxByte(c) == 1) {
                inOrder = inOrder && quint8(c) == quint8(received % 251);
                ++received;
            } else {
                dev.getDeviceNameList();  // the list snapshot is read while the worker works
            }
        }
        board.join();
        QCOMPARE(received, kTotal);
        QVERIFY(inOrder);
    }
};

QTEST_GUILESS_MAIN(TestWorkerLoop)
#include "test_worker_loop.moc"
