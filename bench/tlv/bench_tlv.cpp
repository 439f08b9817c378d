// TLV decode throughput for a stream of typical debug frames (one or two text records of
// 20-60 bytes, some bytes needing stuffing), fed in 512-byte pieces as the worker reads them.
#include "tlv/vx_debug_tlv_server.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtGlobal>

#include <cstdio>
#include <cstring>

// The decoder's waiting lines are formatted as in the program but not printed here.
static void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

int main()
{
    qInstallMessageHandler(quiet);
    QRandomGenerator rng(3);
    QByteArray wire;
    qint64 payload = 0;
    while (wire.size() < 4 * 1024 * 1024) {
        QByteArray data;
        for (int r = 0; r < 1 + int(rng.bounded(2)); ++r) {
            const int n = 20 + int(rng.bounded(41));
            data.append(char(0xF0)).append(char(n)).append(char(0));
            for (int i = 0; i < n; ++i)
                data.append(char(rng.bounded(50) == 0 ? 0x55 : 'a' + int(rng.bounded(26))));
            payload += n;
        }
        QByteArray body;
        body.append(char(data.size())).append(char(data.size() >> 8)).append(data);
        quint16 sum = 0;
        for (char c : body)
            sum = quint16(sum + quint8(c));
        const quint16 check = quint16(-sum);
        body.append(char(check & 0xFF)).append(char(check >> 8));
        wire.append(char(0xAA));
        for (char c : body) {
            if (quint8(c) == 0xAA || quint8(c) == 0x55)
                wire.append(char(0x55)).append(char(quint8(c) ^ 0x20));
            else
                wire.append(c);
        }
    }
    VX_Debug_TLV_Server decoder;
    quint8 ring[4096];
    qint64 out = 0;
    QElapsedTimer timer;
    timer.start();
    for (int pos = 0; pos < wire.size(); pos += 512) {
        const int n = qMin(512, int(wire.size()) - pos);
        std::memcpy(ring, wire.constData() + pos, size_t(n));
        decoder.WriteReceiveBuffer(ring, 0, quint16(n), 4096);
        quint8 b;
        while (decoder.ReadOutBuffer(b) == 1)
            ++out;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    std::printf("TLV decode: %.1f MB/s of wire bytes (%.1f MB in %.3f s, %lld of %lld value bytes out) (target >= 50 MB/s)\n",
                double(wire.size()) / 1e6 / seconds, double(wire.size()) / 1e6, seconds, out, payload);
    return out == payload ? 0 : 1;
}
