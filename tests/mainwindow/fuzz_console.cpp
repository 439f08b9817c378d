// Fuzz target of the console's HTML conversion: any bytes, cut in two chunks at a point the
// input chooses, through either stream. Never a crash, never more than a sequence's few bytes
// held back, every byte accounted for, and no markup in the output beyond what the console
// lets through.
#include "mainwindow/console_html.h"

#include <QRegularExpression>
#include <QString>
#include <QtGlobal>

#include <cctype>
#include <cstdint>
#include <cstdlib>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

bool isColourValue(const QString &v)
{
    if (v.size() == 7 && v[0] == QLatin1Char('#')) {
        for (int k = 1; k < 7; ++k)
            if (!isxdigit(v[k].unicode()) || v[k].unicode() > 0x7F)
                return false;
        return true;
    }
    if (v.isEmpty() || v.size() > 24)
        return false;
    for (QChar c : v)
        if (!((c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))))
            return false;
    return true;
}

// Every '<' opens one of the allowed tags, every '&' one of the three escapes, and no '>'
// stands outside a tag.
// A character reference as the loader's messages write them (only the Message stream keeps them).
int referenceLength(const QString &html, int i)
{
    static const QRegularExpression reference(
        QStringLiteral("\\A&(?:quot|apos|#[0-9]{1,8}|#[xX][0-9a-fA-F]{1,8});"));
    const auto m = reference.match(html.midRef(i, 16).toString());
    return m.hasMatch() ? m.capturedLength() : 0;
}

bool onlyAllowedMarkup(const QString &html, bool message)
{
    static const QLatin1String fixed[] = {QLatin1String("<br>"), QLatin1String("<b>"), QLatin1String("</b>"),
                                          QLatin1String("</font>"), QLatin1String("&lt;"), QLatin1String("&gt;"),
                                          QLatin1String("&amp;")};
    static const QLatin1String fontOpen("<font color=\"");
    int i = 0;
    while (i < html.size()) {
        const QChar c = html[i];
        if (c == QLatin1Char('>'))
            return false;
        if (c != QLatin1Char('<') && c != QLatin1Char('&')) {
            ++i;
            continue;
        }
        bool matched = false;
        for (const QLatin1String &f : fixed) {
            if (html.midRef(i, f.size()) == f) {
                i += f.size();
                matched = true;
                break;
            }
        }
        if (matched)
            continue;
        if (message && c == QLatin1Char('&') && referenceLength(html, i) > 0) {
            i += referenceLength(html, i);
            continue;
        }
        if (html.midRef(i, fontOpen.size()) != fontOpen)
            return false;
        const int start = i + fontOpen.size();
        const int quote = html.indexOf(QLatin1Char('"'), start);
        if (quote < 0 || html.midRef(quote, 2) != QLatin1String("\">"))
            return false;
        if (!isColourValue(html.mid(start, quote - start)))
            return false;
        i = quote + 2;
    }
    return true;
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
