#include "mainwindow/console_html.h"

#include "app/log.h"

#include <QPlainTextEdit>
#include <QTextCursor>

#include <cstring>

namespace {

constexpr uchar kEsc = 0x1B;
constexpr const char *kMessageFunction = "OrbaloFirmwareLoader::insertDebugText";

// The longest proper prefix of a colour sequence (ESC "[31") and of a UTF-8 character (three
// bytes of four): no more than this is ever held back for the next chunk.
constexpr int kMaxHeld = 4;
constexpr int kColourSequenceLength = 5;  // ESC [ 3 n m
constexpr int kResetSequenceLength = 4;   // ESC [ 0 m

const char *colourTag(uchar digit)
{
    switch (digit) {
    case '2': return "<font color=\"Green\">";
    case '1': return "<font color=\"Red\">";
    case '3': return "<font color=\"Orange\">";
    case '4': return "<font color=\"Blue\">";
    default: return nullptr;
    }
}

enum class Sequence { Colour, Reset, Partial, Other };

// What the bytes at p (p[0] == ESC, avail >= 1 bytes) begin. Partial: the bytes run out while
// they still match a colour or reset sequence.
Sequence matchSequence(const uchar *p, int avail, const char **tag)
{
    if (avail < 2)
        return Sequence::Partial;
    if (p[1] != '[')
        return Sequence::Other;
    if (avail < 3)
        return Sequence::Partial;
    if (p[2] == '0') {
        if (avail < 4)
            return Sequence::Partial;
        return p[3] == 'm' ? Sequence::Reset : Sequence::Other;
    }
    if (p[2] != '3')
        return Sequence::Other;
    if (avail < 4)
        return Sequence::Partial;
    const char *t = colourTag(p[3]);
    if (!t)
        return Sequence::Other;
    if (avail < 5)
        return Sequence::Partial;
    if (p[4] != 'm')
        return Sequence::Other;
    *tag = t;
    return Sequence::Colour;
}

// The UTF-8 character at p (p[0] >= 0x80): its length when whole and well formed, 0 when the
// bytes are not UTF-8 (overlong forms, surrogates and values beyond U+10FFFF included), -1 when
// they are a well-formed beginning that the end of the data cuts.
int utf8Length(const uchar *p, int avail)
{
    const uchar c = p[0];
    int length;
    uchar low = 0x80, high = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    for (int k = 1; k < length; ++k) {
        if (k >= avail)
            return -1;
        const uchar b = p[k];
        if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

char32_t utf8Decode(const uchar *p, int length)
{
    char32_t value = p[0] & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
    for (int k = 1; k < length; ++k)
        value = (value << 6) | (p[k] & 0x3F);
    return value;
}

// Where the bytes held back for the next chunk begin (n if none): the first of the last few
// bytes that starts a cut colour sequence or a cut UTF-8 character. ESC and UTF-8 lead bytes
// never occur inside a sequence, tag or character that the renderer consumes, so the renderer
// reaches this position as a position of its own.
int heldTailStart(const uchar *p, int n)
{
    for (int j = n > kMaxHeld ? n - kMaxHeld : 0; j < n; ++j) {
        const char *tag = nullptr;
        if (p[j] == kEsc && matchSequence(p + j, n - j, &tag) == Sequence::Partial)
            return j;
        if (p[j] >= 0x80 && utf8Length(p + j, n - j) < 0)
            return j;
    }
    return n;
}

bool isSpace(uchar c) { return c == ' ' || c == '\t'; }
bool isLetter(uchar c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isHex(uchar c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
uchar lower(uchar c) { return (c >= 'A' && c <= 'Z') ? uchar(c + 32) : c; }

// A colour value that can do no harm: a plain colour name or #rrggbb.
bool validColour(const uchar *v, int length)
{
    if (length == 7 && v[0] == '#') {
        for (int k = 1; k < 7; ++k)
            if (!isHex(v[k]))
                return false;
        return true;
    }
    if (length < 1 || length > 24)
        return false;
    for (int k = 0; k < length; ++k)
        if (!isLetter(v[k]))
            return false;
    return true;
}

// Reads the tag at p (p[0] == '<') and, if it is one that the console lets through, returns
// its length and writes its normalised form to *out; else 0. Tag names are read without regard
// to case, as HTML does.
int matchTag(const uchar *p, int avail, QString *out)
{
    int i = 1;
    const bool closing = i < avail && p[i] == '/';
    if (closing)
        ++i;
    char name[5] = {};
    int nameLength = 0;
    while (i < avail && isLetter(p[i])) {
        if (nameLength == 4)
            return 0;
        name[nameLength++] = char(lower(p[i++]));
    }
    const QByteArray tag(name, nameLength);
    auto skipSpace = [&] {
        while (i < avail && isSpace(p[i]))
            ++i;
    };
    auto closeAngle = [&]() -> bool {
        skipSpace();
        if (i < avail && p[i] == '>') {
            ++i;
            return true;
        }
        return false;
    };

    if (closing) {
        if ((tag == "b" || tag == "font") && closeAngle()) {
            *out = QLatin1String("</") + QLatin1String(tag) + QLatin1Char('>');
            return i;
        }
        return 0;
    }
    if (tag == "b") {
        if (!closeAngle())
            return 0;
        *out = QStringLiteral("<b>");
        return i;
    }
    if (tag == "br") {
        skipSpace();
        if (i < avail && p[i] == '/')
            ++i;
        if (!closeAngle())
            return 0;
        *out = QStringLiteral("<br>");
        return i;
    }
    if (tag != "font" || i >= avail || !isSpace(p[i]))
        return 0;
    skipSpace();
    static const char kColor[] = "color";
    for (int k = 0; k < 5; ++k, ++i)
        if (i >= avail || lower(p[i]) != uchar(kColor[k]))
            return 0;
    skipSpace();
    if (i >= avail || p[i] != '=')
        return 0;
    ++i;
    skipSpace();
    if (i >= avail)
        return 0;
    const uchar quote = (p[i] == '"' || p[i] == '\'') ? p[i] : 0;
    if (quote)
        ++i;
    const int valueStart = i;
    while (i < avail && i - valueStart <= 24 && (isLetter(p[i]) || isHex(p[i]) || p[i] == '#'))
        ++i;
    const int valueLength = i - valueStart;
    if (!validColour(p + valueStart, valueLength))
        return 0;
    if (quote) {
        if (i >= avail || p[i] != quote)
            return 0;
        ++i;
    }
    if (!closeAngle())
        return 0;
    *out = QStringLiteral("<font color=\"")
           + QString::fromLatin1(reinterpret_cast<const char *>(p + valueStart), valueLength)
           + QStringLiteral("\">");
    return i;
}

// Length of a character reference at p that the loader's own messages use for text from
// outside (a path, a device name): &lt; &gt; &amp; &quot; &apos; &#N; &#xH; (a character that
// exists); 0 for anything else.
int matchEntity(const uchar *p, int avail)
{
    static const char *const named[] = {"&lt;", "&gt;", "&amp;", "&quot;", "&apos;"};
    for (const char *e : named) {
        const int length = int(qstrlen(e));
        if (avail >= length && memcmp(p, e, size_t(length)) == 0)
            return length;
    }
    if (avail < 4 || p[1] != '#')
        return 0;
    const bool hex = p[2] == 'x' || p[2] == 'X';
    int i = hex ? 3 : 2;
    quint32 value = 0;
    const int digitsFrom = i;
    while (i < avail && i - digitsFrom < 8) {
        const uchar c = p[i];
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && isHex(c))
            digit = lower(c) - 'a' + 10;
        if (digit < 0)
            break;
        value = value * (hex ? 16 : 10) + quint32(digit);
        ++i;
    }
    if (i == digitsFrom || i >= avail || p[i] != ';')
        return 0;
    if (value < 0x20 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return i + 1;
}

} // namespace

ConsoleHtmlConverter::ConsoleHtmlConverter(Stream stream)
    : m_Stream(stream)
{
}

QString ConsoleHtmlConverter::convert(const QByteArray &chunk)
{
    m_Counts.input += chunk.size();
    QByteArray data;
    data.swap(m_Pending);
    data += chunk;
    QString html = render(data, true);
    m_LastHeldBack = !data.isEmpty() && m_Pending.size() == data.size();
    return html;
}

QString ConsoleHtmlConverter::flushPending()
{
    QByteArray data;
    data.swap(m_Pending);
    m_LastHeldBack = false;
    return render(data, false);
}

void ConsoleHtmlConverter::reset()
{
    m_Pending.clear();
    m_Counts = ByteCounts();
    m_LastHeldBack = false;
}

QString ConsoleHtmlConverter::render(const QByteArray &data, bool allowHold)
{
    const uchar *p = reinterpret_cast<const uchar *>(data.constData());
    const int n = data.size();
    const int end = allowHold ? heldTailStart(p, n) : n;
    const bool message = m_Stream == Stream::Message;

    QString html;
    html.reserve(n + n / 8 + 16);
    bool fontOpen = false;
    qint64 shown = 0;
    qint64 markup = 0;
    QString tag;
    int i = 0;
    while (i < end) {
        const uchar c = p[i];
        if (c == kEsc && i + 1 < n && p[i + 1] == '[') {
            const char *colour = nullptr;
            const Sequence s = matchSequence(p + i, n - i, &colour);
            if (s == Sequence::Colour) {
                if (fontOpen)
                    html += QLatin1String("</font>");
                html += QLatin1String(colour);
                fontOpen = true;
                i += kColourSequenceLength;
                markup += kColourSequenceLength;
            } else if (s == Sequence::Reset) {
                html += QLatin1String("</font>");
                fontOpen = false;
                i += kResetSequenceLength;
                markup += kResetSequenceLength;
            } else {
                // An unknown sequence: the ESC goes, the rest shows as text.
                ++i;
                ++markup;
            }
            continue;
        }
        switch (c) {
        case '\n':
            if (message)
                logStatus(kMessageFunction, "NL");
            // A line feed that ends the chunk would leave an empty line under the paragraph;
            // the next chunk begins a new line anyway.
            if (i + 1 == end) {
                ++markup;
            } else {
                html += QLatin1String("<br>");
                ++shown;
            }
            ++i;
            continue;
        case '\r':
            if (message) {
                logStatus(kMessageFunction, "LR");
                ++markup;
            } else {
                html += QLatin1Char('\r');
                ++shown;
            }
            ++i;
            continue;
        case '<': {
            const int length = matchTag(p + i, n - i, &tag);
            if (length > 0) {
                html += tag;
                i += length;
                markup += length;
            } else {
                html += QLatin1String("&lt;");
                ++i;
                ++shown;
            }
            continue;
        }
        case '>':
            html += QLatin1String("&gt;");
            ++i;
            ++shown;
            continue;
        case '&':
            // The board's text shows as typed; a message may carry references of its own.
            if (message) {
                const int length = matchEntity(p + i, n - i);
                if (length > 0) {
                    html += QLatin1String(reinterpret_cast<const char *>(p + i), length);
                    i += length;
                    markup += length - 1;
                    ++shown;
                    continue;
                }
            }
            html += QLatin1String("&amp;");
            ++i;
            ++shown;
            continue;
        default:
            break;
        }
        if (c >= 0x80) {
            const int length = utf8Length(p + i, n - i);
            if (length > 1) {
                const char32_t value = utf8Decode(p + i, length);
                if (value > 0xFFFF) {
                    html += QChar(QChar::highSurrogate(value));
                    html += QChar(QChar::lowSurrogate(value));
                } else {
                    html += QChar(char16_t(value));
                }
                i += length;
                shown += length;
                continue;
            }
        }
        html += QChar(char16_t(c));  // ASCII, or the Latin-1 character of a stray byte
        ++i;
        ++shown;
    }
    m_Pending = data.mid(end);
    m_Counts.shown += shown;
    m_Counts.markup += markup;
    return html;
}

void consoleAppendParagraph(QPlainTextEdit *console, const QString &html)
{
    console->appendHtml(html);
}

void consoleInsertAtEnd(QPlainTextEdit *console, const QString &html)
{
    console->moveCursor(QTextCursor::End);
    QTextCursor cursor = console->textCursor();
    cursor.insertHtml(html);
    console->setTextCursor(cursor);
    console->moveCursor(QTextCursor::End);
}
