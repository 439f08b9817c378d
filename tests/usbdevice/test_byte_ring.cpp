// The lock-free ring between the worker and the GUI thread: capacity, order, and no byte
// lost or taken twice when the reader changes threads.
#include "usbdevice/byte_ring.h"

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

class TestByteRing : public QObject {
    Q_OBJECT
private slots:
    void fullRing_refusesTheNextByteAndKeepsWhatItHolds()
    {
        ByteRing ring;
        for (int i = 0; i < 4095; ++i)
            QVERIFY(ring.put(quint8(i)));
        QVERIFY(!ring.put(0xEE));
        QCOMPARE(ring.count(), quint16(4095));
        QCOMPARE(ring.freeSpace(), quint16(0));
        quint8 b = 0;
        for (int i = 0; i < 4095; ++i) {
            QVERIFY(ring.take(b));
            QCOMPARE(b, quint8(i));
        }
        QVERIFY(!ring.take(b));
    }

    void blockPut_storesOnlyWhatFits_acrossTheWrap()
    {
        ByteRing ring;
        quint8 junk[4000] = {};
        QCOMPARE(ring.put(junk, 4000), quint16(4000));
        QCOMPARE(ring.skip(4000), quint16(4000));
        std::vector<quint8> data(5000);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = quint8(i * 13);
        QCOMPARE(ring.put(data.data(), 5000), quint16(4095));
        for (quint16 i = 0; i < 4095; i += 511)
            QCOMPARE(ring.peek(i), data[i]);
        QCOMPARE(ring.skip(10), quint16(10));
        quint8 b = 0;
        QVERIFY(ring.take(b));
        QCOMPARE(b, data[10]);
        QCOMPARE(ring.skip(9999), quint16(4084));
        QVERIFY(ring.isEmpty());
    }

    void oneWriterTwoReaders_everyByteTakenExactlyOnceInOrder()
    {
        ByteRing ring;
        constexpr int kTotal = 2000000;
        std::atomic<bool> done{false};
        std::vector<std::vector<quint32>> seen(2);
        std::thread writer([&] {
            // Bytes carry a running sequence; each reader checks what it gets is increasing.
            for (int i = 0; i < kTotal;) {
                if (ring.put(quint8(i & 0xFF)))
                    ++i;
                else
                    std::this_thread::yield();
            }
            done.store(true, std::memory_order_release);
        });
        std::vector<std::thread> readers;
        std::atomic<int> taken{0};
        for (int r = 0; r < 2; ++r)
            readers.emplace_back([&, r] {
                quint8 b = 0;
                for (;;) {
                    if (ring.take(b)) {
                        seen[size_t(r)].push_back(b);
                        taken.fetch_add(1, std::memory_order_relaxed);
                    } else if (done.load(std::memory_order_acquire) && ring.isEmpty()) {
                        break;
                    }
                }
            });
        writer.join();
        for (auto &t : readers)
            t.join();
        QCOMPARE(taken.load(), kTotal);
        long long sum = 0;
        for (const auto &v : seen)
            for (quint32 b : v)
                sum += b;
        long long expected = 0;
        for (int i = 0; i < kTotal; ++i)
            expected += i & 0xFF;
        QCOMPARE(sum, expected);
    }
};

QTEST_GUILESS_MAIN(TestByteRing)
#include "test_byte_ring.moc"
