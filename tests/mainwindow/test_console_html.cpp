// The console's HTML conversion: the exact fragments for the window's rules, and what a real
// console (a read-only plain-text edit of at most 200 paragraphs) finally shows of board output
// and messages: text, paragraphs, colours, bold.
#include "mainwindow/console_html.h"
#include "support/log_capture.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QtTest>

namespace {

using Stream = ConsoleHtmlConverter::Stream;

const QChar LS(QChar::LineSeparator);  // what a <br> becomes inside a paragraph

QByteArray esc(const char *code) { return QByteArray("\x1b[") + code; }

bool accounted(const ConsoleHtmlConverter &c)
{
    const auto &n = c.counts();
    return n.input == n.shown + n.markup + c.pendingBytes();
}

// One flush, from the board (a paragraph of its own) or a message (at the end of the last one).
struct Feed {
    bool board;
    QByteArray bytes;
};
Feed B(const QByteArray &b) { return {true, b}; }
Feed M(const QByteArray &b) { return {false, b}; }

struct Shown {
    QVector<Feed> feeds;
    QStringList paragraphs;
    QVector<QPair<QString, QColor>> colours;  // each piece once in the console; invalid: none set
    QString bold;                             // every bold character, in order
};

// A console as the window's, and what it shows: per character its colour and weight.
struct Console {
    QPlainTextEdit edit;
    ConsoleHtmlConverter board{Stream::Board};
    ConsoleHtmlConverter message{Stream::Message};
    QString text, bold;
    QVector<QColor> colour;

    Console()
    {
        edit.setReadOnly(true);
        edit.setMaximumBlockCount(200);
    }
    void feed(const Feed &f)
    {
        if (!f.board) {
            consoleInsertAtEnd(&edit, message.convert(f.bytes));
            return;
        }
        const QString html = board.convert(f.bytes);
        if (!board.lastChunkHeldBack())
            consoleAppendParagraph(&edit, html);
    }
    QStringList paragraphs()
    {
        QStringList out;
        text.clear(), bold.clear(), colour.clear();
        for (QTextBlock b = edit.document()->begin(); b.isValid(); b = b.next()) {
            out << b.text();
            if (b != edit.document()->begin())
                text += QLatin1Char('\n'), colour << QColor();
            for (auto it = b.begin(); !it.atEnd(); ++it) {
                const QTextCharFormat f = it.fragment().charFormat();
                text += it.fragment().text();
                if (f.fontWeight() > QFont::Normal)
                    bold += it.fragment().text();
                for (int k = 0; k < it.fragment().length(); ++k)
                    colour << (f.hasProperty(QTextFormat::ForegroundBrush) ? f.foreground().color() : QColor());
            }
        }
        return out;
    }
    // The one colour of a piece that occurs once; transparent (never set) otherwise or on a mix.
    QColor colourOf(const QString &piece) const
    {
        const int at = text.indexOf(piece);
        if (at < 0 || text.indexOf(piece, at + 1) >= 0)
            return QColor(Qt::transparent);
        for (int k = at + 1; k < at + piece.size(); ++k)
            if (colour[k] != colour[at])
                return QColor(Qt::transparent);
        return colour[at];
    }
};

} // namespace

Q_DECLARE_METATYPE(Shown)
Q_DECLARE_METATYPE(Stream)

class TestConsoleHtml : public QObject {
    Q_OBJECT
private slots:
    // The exact fragment for chunks of one stream (the outputs of all chunks joined).
    void fragments_data()
    {
        QTest::addColumn<Stream>("stream");
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QString>("html");
        const Stream b = Stream::Board, m = Stream::Message;
        QTest::newRow("inner line feeds break, the final one not") << b << QList<QByteArray>{"a\n\nb\n"} << "a<br><br>b";
        QTest::newRow("four colours, one close between two")
            << b << QList<QByteArray>{esc("31m") + "r" + esc("32m") + "g" + esc("33m") + "x" + esc("34m") + "y"}
            << "<font color=\"Red\">r</font><font color=\"Green\">g</font><font color=\"Orange\">x</font><font color=\"Blue\">y";
        QTest::newRow("reset without colour still closes") << b << QList<QByteArray>{esc("0m") + "z"} << "</font>z";
        QTest::newRow("markup characters escaped")
            << b << QList<QByteArray>{"a<b & c>d <i>"} << "a&lt;b &amp; c&gt;d &lt;i&gt;";
        QTest::newRow("board keeps CR") << b << QList<QByteArray>{"a\r\nb"} << "a\r<br>b";
        QTest::newRow("message drops CR and final LF") << m << QList<QByteArray>{"x\r\n"} << "x";
        QTest::newRow("message markup of the window")
            << m << QList<QByteArray>{"<br><font color=\"Red\"><b>Unabel to open X</b></font>"}
            << "<br><font color=\"Red\"><b>Unabel to open X</b></font>";
        const QByteArray line = "ab" + esc("31m") + "red" + esc("0m") + "cd";
        for (int cut = 11; cut <= 13; ++cut)  // inside the reset: the colour ends all the same
            QTest::addRow("reset cut at %d", cut) << b << QList<QByteArray>{line.left(cut), line.mid(cut)}
                                                  << "ab<font color=\"Red\">red</font>cd";
        QList<QByteArray> byteByByte;
        for (char c : esc("34m") + "A")
            byteByByte << QByteArray(1, c);
        QTest::newRow("sequence byte by byte") << b << byteByByte << "<font color=\"Blue\">A";
        // Valid UTF-8 as characters, every other byte as its Latin-1 character.
        const struct { const char *what; QByteArray bytes; QString shown; } high[] = {
            {"utf-8", "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80", QString::fromUtf8("Grüß € 😀")},
            {"latin-1", "M\xFCller \xE4", QString::fromUtf8("Müller ä")},
            {"lead without follower", "\xC3(", QString::fromUtf8("Ã(")},
            {"overlong", "\xC0\xAF", QString::fromUtf8("À¯")},
            {"surrogate", "\xED\xA0\x80", QString::fromUtf8("í") + QChar(0xA0) + QChar(0x80)},
            {"beyond U+10FFFF", "\xF4\x90\x80\x80", QString::fromUtf8("ô") + QChar(0x90) + QChar(0x80) + QChar(0x80)},
            {"cut inside the chunk", "\xE2\x82x", QString::fromUtf8("â") + QChar(0x82) + "x"},
            {"stray follower", "\xBF", QString::fromUtf8("¿")},
        };
        for (const auto &h : high)
            for (Stream s : {b, m})
                QTest::addRow("%s, %s", h.what, s == b ? "board" : "message") << s << QList<QByteArray>{h.bytes + "|"} << h.shown + "|";
        const QByteArray utf8 = "A\xF0\x9F\x98\x80\xE2\x82\xAC\xC3\xA9Z";
        for (int cut = 1; cut < utf8.size(); ++cut)
            QTest::addRow("utf-8 cut at %d", cut) << b << QList<QByteArray>{utf8.left(cut), utf8.mid(cut)} << QString::fromUtf8(utf8);
    }
    void fragments()
    {
        QFETCH(Stream, stream);
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QString, html);
        ConsoleHtmlConverter conv(stream);
        QString joined;
        for (const QByteArray &chunk : chunks) {
            joined += conv.convert(chunk);
            QVERIFY(conv.pendingBytes() <= 4);
        }
        QCOMPARE(joined, html);
        QCOMPARE(conv.pendingBytes(), 0);
        QVERIFY(accounted(conv));
    }

    void shown_data()
    {
        QTest::addColumn<Shown>("c");
        const QColor none, red("red"), green("green"), blue("blue");
        QTest::newRow("colours") << Shown{
            {B(esc("31m") + "Fail" + esc("0m") + " then plain"), B(esc("33m") + "x" + esc("34m") + "y"),
             B(esc("32m") + "good" + esc("0m") + esc("0m") + "after")},
            {"Fail then plain", "xy", "goodafter"},
            {{"Fail", red}, {" then plain", none}, {"x", QColor("orange")}, {"y", blue}, {"good", green}, {"after", none}}, {}};
        QTest::newRow("colour open at end of a flush ends there") << Shown{
            {B(esc("31m") + "red"), B("plain"), M("<b>msg</b>")}, {"red", "plainmsg"},
            {{"red", red}, {"plain", none}, {"msg", none}}, "msg"};
        QTest::newRow("unknown sequence drops only the ESC") << Shown{
            {B(esc("1m") + "bold " + esc("3") + "9m " + esc("0") + "x " + esc("35m") + "y")},
            {"[1mbold [39m [0x [35my"}, {{"y", none}}, {}};
        QTest::newRow("messages continue the line, <br> breaks it") << Shown{
            {B("*****"), M("<b>Bootloader Finish</b>"), M("<br><b>Reset CP2102 [0x0001]</b>\n"),
             M("<br><b>" + esc("31m") + "Bootloader Fail -> Device not connected!!" + esc("0m") + "</b>\n")},
            {QStringLiteral("*****Bootloader Finish") + LS + "Reset CP2102 [0x0001]" + LS + "Bootloader Fail -> Device not connected!!"},
            {{"Bootloader Fail -> Device not connected!!", red}, {"Bootloader Finish", none}},
            "Bootloader FinishReset CP2102 [0x0001]Bootloader Fail -> Device not connected!!"};
        QTest::newRow("device name with markup characters in a message") << Shown{
            {M("<br><b>Connect Bridge <A&B> [0x1]</b>")}, {LS + QStringLiteral("Connect Bridge <A&B> [0x1]")}, {},
            "Connect Bridge <A&B> [0x1]"};
        QTest::newRow("allowed tags in any case and quoting") << Shown{
            {B("<b>bold</b> <font color=Red>R1</font> <font color='#00ff00'>G1</font><BR><FONT COLOR=\"Blue\">B1</FONT>"
               "<br/>end<br />x<font color = \"#FF8000\" >O1</font>")},
            {QStringLiteral("bold R1 G1") + LS + "B1" + LS + "end" + LS + "xO1"},
            {{"R1", red}, {"G1", QColor(0, 255, 0)}, {"B1", blue}, {"O1", QColor(255, 128, 0)}, {"end", none}}, "bold"};
        QTest::newRow("tag cut by a flush shows as typed") << Shown{{B("a<fo"), B("nt color=Red>b")}, {"a<fo", "nt color=Red>b"}, {}, {}};
        const QByteArray line = "ab" + esc("31m") + "red" + esc("0m") + "cd";
        for (int cut = 3; cut <= 6; ++cut)  // after ESC, "[", "3" and "1": carried to the next paragraph
            QTest::addRow("colour cut at %d", cut) << Shown{{B(line.left(cut)), B(line.mid(cut))}, {"ab", "redcd"},
                                                            {{"red", red}, {"cd", none}}, {}};
        QTest::newRow("cut after ESC [") << Shown{{B("x" + esc("")), B("32mgo")}, {"x", "go"}, {{"go", green}}, {}};
        const struct { QByteArray first, second; const char *shown; } noColour[] = {
            {"x" + esc("3"), "9mz", "[39mz"}, {"x" + esc("0"), "1", "[01"}, {"x" + esc(""), "\n", "["},
            {"x\x1b", "q", "\x1bq"},          {"x" + esc("31"), "M", "[31M"},
        };
        for (const auto &k : noColour)
            QTest::addRow("held, then no colour: %s", k.shown + 1) << Shown{{B(k.first), B(k.second)}, {"x", k.shown}, {}, {}};
        QTest::newRow("line feed before a cut character") << Shown{{B("abc\n\xE2"), B("\x82\xAC")}, {"abc", QString::fromUtf8("€")}, {}, {}};

        Shown big;  // one flush beyond 64 KiB is one paragraph
        QString text;
        for (int k = 0; text.size() < 70000; ++k) {
            big.feeds << B(esc(k % 2 ? "32m" : "31m") + "line " + QByteArray::number(k) + esc("0m") + "\n");
            text += QStringLiteral("line %1").arg(k) + LS;
        }
        Feed whole{true, {}};
        for (const Feed &f : big.feeds)
            whole.bytes += f.bytes;
        whole.bytes += esc("34m") + "tail after 64 KiB";
        big.feeds = {whole};
        big.paragraphs = QStringList{text + QStringLiteral("tail after 64 KiB")};
        big.colours = {{"tail after 64 KiB", blue}};
        QTest::newRow("chunk beyond 65535 bytes") << big;
        const QList<QByteArray> typed = {
            "if a<b then", "x & y", "<script>alert(1)</script>", "&amp", "& lt;", "a > b", "<",
            "<b", "<br", "</font", "<i>no</i>", "<p>", "<img src=x>", "<font>", "<font color=>",
            "<font color=\"red\" onload=x>", "<font color=javascript:x>", "<font color=\"Red'>",
            "<font size=7>", "<font color=#12345>", "<font color=#1234567>", "<bb>", "<brr>",
            "</br>", "</ b>", "<b\x1b[31m" ">", "<!-- c -->", "<font color=\"R\xC3\xA9" "d\">",
        };
        for (const QByteArray &t : typed) {  // board and message alike
            const QString shown = QString::fromUtf8(t).remove(QStringLiteral("\x1b[31m"));
            QTest::addRow("as typed: %s", t.constData()) << Shown{{B(t), M(t)}, {shown + shown}, {}, {}};
        }
        // The update writes a path from outside with references; the board's "&lt;" is typed.
        const QByteArray refs = "under-> &quot;/tmp/&#1060;&#x416; &lt;1&gt; &amp; &#0; &#xD800;&quot;";
        QTest::newRow("character references typed from the board, text in messages") << Shown{
            {B(refs), M("<br>" + refs)},
            {QString::fromUtf8(refs) + LS + "under-> \"/tmp/" + QChar(0x0424) + QChar(0x0416) + " <1> & &#0; &#xD800;\""}, {}, {}};
    }
    void shown()
    {
        QFETCH(Shown, c);
        Console console;
        qint64 boardBytes = 0;
        for (const Feed &f : c.feeds) {
            console.feed(f);
            boardBytes += f.board ? f.bytes.size() : 0;
        }
        QCOMPARE(console.paragraphs(), c.paragraphs);
        for (const auto &piece : c.colours)
            QVERIFY2(console.colourOf(piece.first) == piece.second, qPrintable(piece.first));
        QCOMPARE(console.bold, c.bold);
        QCOMPARE(console.board.counts().input, boardBytes);
        QCOMPARE(console.board.pendingBytes(), 0);
        QVERIFY(accounted(console.board) && accounted(console.message));
        if (!c.feeds.constLast().board)  // a message leaves the cursor at the end for the next
            QCOMPARE(console.edit.textCursor().position(), console.edit.document()->characterCount() - 1);
    }

    void carriageReturnAndLineFeed_ofMessagesAreLogged()
    {
        const QLatin1String origin("OrbaloFirmwareLoader::insertDebugText");
        LogCapture log;
        Console c;
        c.feed(B("a\r\nb"));
        QVERIFY(log.messages(origin).isEmpty());
        // The board's carriage return is white space beside the line break: nothing visible.
        QCOMPARE(c.paragraphs().value(0).remove(QLatin1Char(' ')).remove(QLatin1Char('\r')), QStringLiteral("a") + LS + "b");
        c.feed(M("a\r\nb"));
        QCOMPARE(log.messages(origin), QStringList({"LR", "NL"}));
        QVERIFY(c.paragraphs().constFirst().endsWith(QStringLiteral("ba") + LS + "b"));
        log.clear();
        c.feed(M("x\r\n"));  // the last line feed of a chunk shows nothing but is logged
        QCOMPARE(log.messages(origin), QStringList({"LR", "NL"}));
    }

    void heldBytes_areReportedAndFlushedWhenTheStreamGoesQuiet()
    {
        ConsoleHtmlConverter conv(Stream::Board);
        QCOMPARE(conv.convert(esc("34m") + "A"), QStringLiteral("<font color=\"Blue\">A"));
        QCOMPARE(conv.convert("x" + esc("3")), QStringLiteral("x"));
        QVERIFY(!conv.lastChunkHeldBack());
        QCOMPARE(conv.convert("4"), QString());
        QVERIFY(conv.lastChunkHeldBack());
        QCOMPARE(conv.flushPending(), QStringLiteral("[34"));
        QCOMPARE(conv.pendingBytes(), 0);
        conv.convert("\xE2\x82");
        QCOMPARE(conv.flushPending(), QStringLiteral("â") + QChar(0x82));
        QVERIFY(accounted(conv));
        QCOMPARE(conv.counts().markup, qint64(5 + 1));  // ESC[34m, and the ESC of the flushed ESC[34
    }
};

QTEST_MAIN(TestConsoleHtml)
#include "test_console_html.moc"
