// Fuzz target of the console's HTML conversion: any bytes, cut in two chunks at a point the
// input chooses, through either stream. Never a crash, never more than a sequence's few bytes
// held back, every byte accounted for, and no markup in the output beyond what the console
// lets through.
#include "mainwindow/console_html.h"

#include <QRegularExpression>
#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

// Every '<' opens one of the allowed tags (a colour is "#rrggbb" or a name of letters), every
// '&' one of the three escapes or, in messages only, a character reference as the loader writes
// them; no '>' stands outside a tag.
bool onlyAllowedMarkup(const QString &html, bool message)
{
    static const QString allowed = QStringLiteral(
        "[^<>&]|<br>|<b>|</b>|</font>|&lt;|&gt;|&amp;|<font color=\"(?:#[0-9a-fA-F]{6}|[A-Za-z]{1,24})\">");
    static const QRegularExpression board(QStringLiteral("\\A(?:%1)*+\\z").arg(allowed));
    static const QRegularExpression messages(
        QStringLiteral("\\A(?:%1|&(?:quot|apos|#[0-9]{1,8}|#[xX][0-9a-fA-F]{1,8});)*+\\z").arg(allowed));
    return (message ? messages : board).match(html).hasMatch();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool silenced = (qInstallMessageHandler(&quiet), true);
    (void)silenced;
    if (size < 1)
        return 0;
    // The first byte picks the stream and where the payload is cut.
    const auto stream = (data[0] & 1) ? ConsoleHtmlConverter::Stream::Message : ConsoleHtmlConverter::Stream::Board;
    const QByteArray payload(reinterpret_cast<const char *>(data + 1), int(size - 1));
    const int cut = int(qint64(data[0] >> 1) * (payload.size() + 1) / 128);

    ConsoleHtmlConverter conv(stream);
    const QString first = conv.convert(payload.left(cut));
    if (conv.pendingBytes() > 4)
        std::abort();
    const QString second = conv.convert(payload.mid(cut));
    if (conv.pendingBytes() > 4)
        std::abort();
    const QString rest = conv.flushPending();
    const auto &n = conv.counts();
    if (conv.pendingBytes() != 0 || n.input != payload.size() || n.input != n.shown + n.markup)
        std::abort();
    const bool message = stream == ConsoleHtmlConverter::Stream::Message;
    if (!onlyAllowedMarkup(first, message) || !onlyAllowedMarkup(second, message)
        || !onlyAllowedMarkup(rest, message))
        std::abort();
    return 0;
}
