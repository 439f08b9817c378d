// Console rendering under a board that talks without pause: 60 simulated seconds of coloured
// debug lines at the full line rate of 115200 baud 8N1 (11,520 bytes/s), flushed every 50 ms
// (576 bytes a flush) into a console of 200 paragraphs that is already full, as the window's
// timer does. Prints the wall time of each flush (conversion and append; and with the repaint
// that follows) as 95th percentile and maximum, and the bytes lost between queue and console.
#include "mainwindow/console_html.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QTextBlock>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kBytesPerSecond = 115200 / 10;  // start + 8 data + stop bits per byte
constexpr int kFlushMs = 50;
constexpr int kBytesPerFlush = kBytesPerSecond * kFlushMs / 1000;
constexpr int kSeconds = 60;
constexpr int kBlockLimit = 200;
constexpr double kTargetP95Ms = 5.0;

// One line of board output and the characters it should show.
struct Line {
    QByteArray bytes;
    QString visible;
};

Line makeLine(QRandomGenerator &rng, int number)
{
    static const char *const words[] = {"ADC", "ch", "temp", "ok", "a<b", "x&y", "pwm", "->", "[i2c]",
                                        "volt", "#", "done", "retry", "<tag>"};
    static const char *const colours[] = {"32m", "31m", "33m", "34m"};
    Line line;
    auto text = [&](const QByteArray &b) {
        line.bytes += b;
        line.visible += QString::fromUtf8(b);
    };
    const bool coloured = rng.bounded(3) == 0;
    if (coloured)
        line.bytes += QByteArray("\x1b[") + colours[rng.bounded(4)];
    text(QByteArray::number(number).rightJustified(6, '0'));
    const int words_n = 1 + int(rng.bounded(18));  // lines of about 10 to 120 bytes
    for (int k = 0; k < words_n; ++k) {
        text(" ");
        text(words[rng.bounded(int(sizeof words / sizeof *words))]);
        if (rng.bounded(4) == 0)
            text("=" + QByteArray::number(int(rng.bounded(100000))));
        if (rng.bounded(10) == 0)
            text("\xC2\xB0" "C");  // degree sign: two UTF-8 bytes that a flush may cut
    }
    if (coloured)
        line.bytes += "\x1b[0m";
    line.bytes += rng.bounded(2) ? "\r\n" : "\n";
    return line;
}

int nonSpace(const QString &s)
{
    int n = 0;
    for (QChar c : s)
        n += (c.isSpace() || c == QChar::LineSeparator) ? 0 : 1;
    return n;
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    const size_t rank = size_t(p * double(v.size()) + 0.999999);
    return v[std::min(v.size(), std::max<size_t>(rank, 1)) - 1];
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QPlainTextEdit console;
    console.setReadOnly(true);
    console.setMaximumBlockCount(kBlockLimit);
    console.resize(700, 400);
    console.show();
    ConsoleHtmlConverter converter(ConsoleHtmlConverter::Stream::Board);

    QRandomGenerator rng(20240607);
    for (int k = 0; k < kBlockLimit; ++k)
        consoleAppendParagraph(&console, converter.convert(makeLine(rng, k).bytes));
    QApplication::processEvents();
    converter.reset();

    // The whole stream first (whole lines, 60 s and the rest of the last line), so that making
    // it costs nothing inside the measured flushes.
    QByteArray stream;
    int expectedChars = 0;
    for (int k = 0; stream.size() < kSeconds * kBytesPerSecond; ++k) {
        const Line line = makeLine(rng, k);
        stream += line.bytes;
        expectedChars += nonSpace(line.visible);
    }

    std::vector<double> convertMs, flushMs, withPaintMs;
    int shownChars = 0;
    QElapsedTimer timer;
    for (int at = 0; at < stream.size(); at += kBytesPerFlush) {
        const QByteArray chunk = stream.mid(at, kBytesPerFlush);
        timer.start();
        const QString html = converter.convert(chunk);
        convertMs.push_back(double(timer.nsecsElapsed()) / 1e6);
        const bool append = !converter.lastChunkHeldBack();
        if (append)
            consoleAppendParagraph(&console, html);
        const qint64 flushNs = timer.nsecsElapsed();
        QApplication::processEvents();  // the repaint that follows the flush
        const qint64 paintNs = timer.nsecsElapsed();
        flushMs.push_back(double(flushNs) / 1e6);
        withPaintMs.push_back(double(paintNs) / 1e6);
        if (append)
            shownChars += nonSpace(console.document()->lastBlock().text());
    }
    const QString rest = converter.flushPending();
    if (!rest.isEmpty()) {
        consoleAppendParagraph(&console, rest);
        shownChars += nonSpace(console.document()->lastBlock().text());
    }

    const auto &n = converter.counts();
    const qint64 lost = n.input - n.shown - n.markup - converter.pendingBytes();
    std::printf("bench-console: %d bytes (%d s at %d bytes/s), %zu flushes of %d bytes, console of %d paragraphs\n",
                int(stream.size()), kSeconds, kBytesPerSecond, flushMs.size(), kBytesPerFlush,
                console.document()->blockCount());
    std::printf("  flush (convert + append)  p95 %7.3f ms  max %7.3f ms   target p95 <= %.1f ms\n",
                percentile(flushMs, 0.95), percentile(flushMs, 1.0), kTargetP95Ms);
    std::printf("    of which conversion     p95 %7.3f ms  max %7.3f ms\n",
                percentile(convertMs, 0.95), percentile(convertMs, 1.0));
    std::printf("  flush + repaint           p95 %7.3f ms  max %7.3f ms   (for information)\n",
                percentile(withPaintMs, 0.95), percentile(withPaintMs, 1.0));
    std::printf("  converter bytes: in %lld, shown %lld, markup %lld, held %d, lost %lld   target lost 0\n",
                static_cast<long long>(n.input), static_cast<long long>(n.shown), static_cast<long long>(n.markup),
                converter.pendingBytes(), static_cast<long long>(lost));
    std::printf("  visible characters (non-space): sent %d, in console %d, lost %d   target 0\n",
                expectedChars, shownChars, expectedChars - shownChars);
    return 0;
}
