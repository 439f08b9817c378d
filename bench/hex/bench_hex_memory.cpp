// HEX conversion in bounded memory: peak resident memory while the converter takes a 1 GiB
// sparse file, 1 GiB of HEX text from a generator (through the reader and, without its size
// bound, straight into the image builder) and a 60 MiB file on disk. Prints each figure beside
// its target; asserts nothing.
#include "usbdevice/hex_image.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr qint64 kGiB = qint64(1) << 30;

// Resident memory in KiB: the current value and the peak since the last reset. Linux resets
// the peak when "5" is written to clear_refs; elsewhere both read 0.
qint64 statusKiB(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(std::strlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

bool resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}

QByteArray record(quint8 type, quint16 address, const QByteArray &data)
{
    QByteArray body;
    body.append(char(data.size())).append(char(address >> 8)).append(char(address & 0xFF)).append(char(type));
    body.append(data);
    quint8 sum = 0;
    for (char c : body)
        sum = quint8(sum + quint8(c));
    body.append(char(quint8(-sum)));
    return ':' + body.toHex().toUpper() + "\r\n";
}

// The whole flash as HEX text, 16 bytes a record: a valid file may write the same data again,
// so the text is repeated until the budget is spent; the end-of-file record closes it.
class HexGenerator : public QIODevice {
public:
    explicit HexGenerator(qint64 budget)
        : m_budget(budget)
    {
        QByteArray image(int(kHexFlashSize), '\0');
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i * 2654435761u >> 24);
        for (quint32 off = 0; off < kHexFlashSize; off += 16) {
            const quint32 a = kHexFlashBase + off;
            if ((a & 0xFFFF) == 0)
                m_pass += record(4, 0, QByteArray::fromHex(QByteArray::number(a >> 16, 16).rightJustified(4, '0')));
            m_pass += record(0, quint16(a), image.mid(int(off), 16));
        }
        m_tail = record(1, 0, QByteArray());
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_budget - m_produced + QIODevice::bytesAvailable(); }
    qint64 produced() const { return m_produced; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        qint64 n = 0;
        while (n < maxSize && m_produced < m_budget) {
            const bool last = m_budget - m_produced <= m_tail.size() + qint64(m_pass.size());
            const QByteArray &src = last && m_pos == 0 ? m_tail : m_pass;
            const qint64 take = qMin<qint64>(maxSize - n, src.size() - m_pos);
            std::memcpy(data + n, src.constData() + m_pos, size_t(take));
            n += take;
            m_pos += int(take);
            m_produced += take;
            if (m_pos == src.size()) {
                m_pos = 0;
                if (&src == &m_tail)
                    m_budget = m_produced;
            }
        }
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_pass;
    QByteArray m_tail;
    qint64 m_budget;
    qint64 m_produced = 0;
    int m_pos = 0;
};

struct Measure {
    qint64 startKiB = 0;
    QElapsedTimer timer;
    Measure()
    {
        resetPeak();
        startKiB = statusKiB("VmRSS:");
        timer.start();
    }
    void print(const char *what, int code, qint64 bytesIn) const
    {
        const double s = double(timer.nsecsElapsed()) / 1e9;
        const qint64 peak = statusKiB("VmHWM:");
        std::printf("%-44s result %2d  %6.1f MiB in %6.3f s  RSS %5.1f -> peak %5.1f MiB: +%4.2f MiB"
                    " (target <= +2 MiB)\n",
                    what, code, double(bytesIn) / (1 << 20), s, double(startKiB) / 1024, double(peak) / 1024,
                    double(peak - startKiB) / 1024);
    }
};

int runCase(int which)
{
    QTemporaryDir dir;
    QTemporaryFile bin;
    switch (which) {
    case 0: {
        // A sparse file: valid records first, then a hole that reads as zero bytes.
        const QString path = dir.filePath(QStringLiteral("sparse.hex"));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        HexGenerator head(4096);
        f.write(head.readAll());
        f.resize(kGiB);
        f.close();
        QFile hex(path);
        Measure m;
        const int code = convertHexFileToImage(hex, bin);
        m.print("1 GiB sparse file (refused by its size)", code, 0);
        return 0;
    }
    case 1: {
        HexGenerator gen(kGiB);
        Measure m;
        HexTextReader reader(gen);
        QByteArray error;
        int code = reader.readStart(&error);
        if (code == 1)
            code = reader.convert().code;
        m.print("1 GiB generated, through the reader", code, gen.produced());
        return 0;
    }
    case 2: {
        // The builder has no bound of its own: memory stays flat over the whole gigabyte.
        HexGenerator gen(kGiB);
        Measure m;
        HexImageBuilder builder;
        char line[kHexLineMax + 3];
        bool more = true;
        while (more && !gen.atEnd()) {
            qint64 len = gen.readLine(line, sizeof line);
            while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
                --len;
            more = builder.addLine(line, size_t(qMax<qint64>(len, 0)));
        }
        const HexParseResult r = builder.finish();
        m.print("1 GiB generated, straight into the builder", r.code, gen.produced());
        return 0;
    }
    case 3: {
        const QString path = dir.filePath(QStringLiteral("big.hex"));
        HexGenerator gen(60 << 20);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        while (!gen.atEnd())
            f.write(gen.read(1 << 20));
        f.close();
        QFile hex(path);
        Measure m;
        const int code = convertHexFileToImage(hex, bin);
        m.print("60 MiB file on disk (under the bound)", code, QFileInfo(path).size());
        return 0;
    }
    default:
        return 2;
    }
}

} // namespace

// Each case runs in a process of its own, so no case reuses memory another freed.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && !std::strcmp(argv[1], "--case"))
        return runCase(std::atoi(argv[2]));
    if (!resetPeak())
        std::printf("(peak RSS cannot be reset here: the figures are peaks since each process started)\n");
    std::printf("HEX text bound: %lld MiB; resident memory before and at the peak of each conversion\n",
                kHexTextLimit >> 20);
    std::fflush(stdout);
    int status = 0;
    for (int which = 0; which < 4; ++which) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--case"), QString::number(which)});
        if (!child.waitForFinished(-1) || child.exitCode() != 0)
            status = 1;
    }
    return status;
}
