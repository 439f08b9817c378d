// The console's HTML conversion, checked on what a real console (a plain-text edit limited to
// 200 paragraphs) finally shows: its text, its colours and its paragraphs.
#include "mainwindow/console_html.h"
#include "support/log_capture.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QtTest>

namespace {

using Stream = ConsoleHtmlConverter::Stream;

const QLatin1String kInsertFunction("OrbaloFirmwareLoader::insertDebugText");
const QChar kLineBreak(QChar::LineSeparator);  // what a <br> becomes inside a paragraph

QByteArray esc(const char *code) { return QByteArray("\x1b[") + code; }

// What the console shows: one entry per character, paragraphs separated by '\n'.
struct Shown {
    QString text;
    QVector<QColor> colour;  // invalid where no colour is set
    QVector<bool> bold;

    explicit Shown(const QPlainTextEdit &console)
    {
        for (QTextBlock block = console.document()->begin(); block.isValid(); block = block.next()) {
            if (block != console.document()->begin())
                add(QStringLiteral("\n"), QTextCharFormat());
            for (auto it = block.begin(); !it.atEnd(); ++it)
                add(it.fragment().text(), it.fragment().charFormat());
        }
    }
    void add(const QString &s, const QTextCharFormat &f)
    {
        text += s;
        for (int k = 0; k < s.size(); ++k) {
            colour << (f.hasProperty(QTextFormat::ForegroundBrush) ? f.foreground().color() : QColor());
            bold << (f.fontWeight() > QFont::Normal);
        }
    }
    // The one colour of the piece of text (which must occur exactly once); fails on a mix.
    QColor colourOf(const QString &piece) const
    {
        const int at = text.indexOf(piece);
        if (at < 0 || text.indexOf(piece, at + 1) >= 0)
            return QColor(Qt::transparent);  // never equal to a colour the console sets
        for (int k = at + 1; k < at + piece.size(); ++k)
            if (colour[k] != colour[at])
                return QColor(Qt::transparent);
        return colour[at];
    }
    bool isBold(const QString &piece) const
    {
        const int at = text.indexOf(piece);
        if (at < 0)
            return false;
        for (int k = at; k < at + piece.size(); ++k)
            if (!bold[k])
                return false;
        return true;
    }
};

// A console as the window's: read-only, 200 paragraphs at most.
struct Console {
    QPlainTextEdit edit;
    ConsoleHtmlConverter board{Stream::Board};
    ConsoleHtmlConverter message{Stream::Message};

    Console()
    {
        edit.setReadOnly(true);
        edit.setMaximumBlockCount(200);
    }
    void fromBoard(const QByteArray &chunk)
    {
        const QString html = board.convert(chunk);
        if (!board.lastChunkHeldBack())
            consoleAppendParagraph(&edit, html);
    }
    void fromMessages(const QByteArray &chunk) { consoleInsertAtEnd(&edit, message.convert(chunk)); }
    QString text() const { return edit.toPlainText(); }
    Shown shown() const { return Shown(edit); }
    QStringList paragraphs() const
    {
        QStringList out;
        for (QTextBlock b = edit.document()->begin(); b.isValid(); b = b.next())
            out << b.text();
        return out;
    }
};

bool accounted(const ConsoleHtmlConverter &c)
{
    const auto &n = c.counts();
    return n.input == n.shown + n.markup + c.pendingBytes();
}

} // namespace

class TestConsoleHtml : public QObject {
    Q_OBJECT
private slots:
    // --- The console's own rules ---

    void twoBoardFlushes_showTwoParagraphs_finalLineFeedAddsNoBreak()
    {
        Console c;
        c.fromBoard("abc");
        c.fromBoard("def\n");
        QCOMPARE(c.paragraphs(), QStringList({"abc", "def"}));
        QCOMPARE(c.text(), QStringLiteral("abc\ndef"));
        ConsoleHtmlConverter conv(Stream::Board);
        QCOMPARE(conv.convert("def\n"), QStringLiteral("def"));
        QCOMPARE(conv.convert("a\n\nb\n"), QStringLiteral("a<br><br>b"));
    }

    void colourSequences_showInTheirColours_oneCloseBetweenTwoColours()
    {
        Console c;
        c.fromBoard(esc("31m") + "Fail" + esc("0m") + " then plain");
        c.fromBoard(esc("33m") + "x" + esc("34m") + "y");
        c.fromBoard(esc("32m") + "good" + esc("0m") + esc("0m") + "after");
        const Shown s = c.shown();
        QCOMPARE(s.text, QStringLiteral("Fail then plain\nxy\ngoodafter"));
        QCOMPARE(s.colourOf("Fail"), QColor("red"));
        QCOMPARE(s.colourOf(" then plain"), QColor());
        QCOMPARE(s.colourOf("x"), QColor("orange"));
        QCOMPARE(s.colourOf("y"), QColor("blue"));
        QCOMPARE(s.colourOf("good"), QColor("green"));
        QCOMPARE(s.colourOf("after"), QColor());

        ConsoleHtmlConverter conv(Stream::Board);
        QCOMPARE(conv.convert(esc("33m") + "x" + esc("34m") + "y"),
                 QStringLiteral("<font color=\"Orange\">x</font><font color=\"Blue\">y"));
        // A reset without an open colour still closes; harmless for the document.
        QCOMPARE(conv.convert(esc("0m") + "z"), QStringLiteral("</font>z"));
    }

    void colourOpenAtEndOfFlush_isNotContinuedInNextParagraph()
    {
        Console c;
        c.fromBoard(esc("31m") + "red");
        c.fromBoard("plain");
        c.fromMessages("<b>msg</b>");
        const Shown s = c.shown();
        QCOMPARE(s.text, QStringLiteral("red\nplainmsg"));
        QCOMPARE(s.colourOf("red"), QColor("red"));
        QCOMPARE(s.colourOf("plain"), QColor());
        QCOMPARE(s.colourOf("msg"), QColor());
    }

    void unknownSequence_dropsOnlyTheEsc()
    {
        Console c;
        c.fromBoard(esc("1m") + "bold " + esc("3") + "9m " + esc("0") + "x " + esc("35m") + "y");
        QCOMPARE(c.text(), QStringLiteral("[1mbold [39m [0x [35my"));
        QCOMPARE(c.shown().colourOf("y"), QColor());
    }

    void carriageReturnLineFeed_boardKeepsSpace_messageDropsAndLogsOnce()
    {
        LogCapture log;
        Console c;
        c.fromBoard("a\r\nb");
        QVERIFY(log.messages(kInsertFunction).isEmpty());
        QCOMPARE(c.board.convert("a\r\nb"), QStringLiteral("a\r<br>b"));
        // The carriage return is white space beside the line break: nothing visible.
        QCOMPARE(c.paragraphs().last().remove(QLatin1Char(' ')).remove(QLatin1Char('\r')),
                 QStringLiteral("a") + kLineBreak + QStringLiteral("b"));

        log.clear();
        c.fromMessages("a\r\nb");
        QCOMPARE(log.messages(kInsertFunction), QStringList({"LR", "NL"}));
        QCOMPARE(c.paragraphs().size(), 1);
        QVERIFY(c.paragraphs().last().endsWith(QStringLiteral("ba") + kLineBreak + QStringLiteral("b")));

        // The last line feed of a message chunk is logged too, though it shows nothing.
        log.clear();
        QCOMPARE(c.message.convert("x\r\n"), QStringLiteral("x"));
        QCOMPARE(log.messages(kInsertFunction), QStringList({"LR", "NL"}));
    }

    void messages_withoutBreakContinueLine_withBreakStartNewLineInSameParagraph()
    {
        Console c;
        c.fromBoard("*****");
        c.fromMessages("<b>Bootloader Finish</b>");
        QCOMPARE(c.paragraphs(), QStringList({"*****Bootloader Finish"}));
        QVERIFY(c.shown().isBold("Bootloader Finish"));
        QVERIFY(!c.shown().isBold("*****"));

        // A console line of the update, as the device object stores it.
        c.fromMessages("<br><b>Reset CP2102 [0x0001]</b>\n");
        QCOMPARE(c.paragraphs(),
                 QStringList({QStringLiteral("*****Bootloader Finish") + kLineBreak + "Reset CP2102 [0x0001]"}));
        QVERIFY(c.shown().isBold("Reset CP2102 [0x0001]"));

        // A red console line of the update.
        c.fromMessages("<br><b>" + esc("31m") + "Bootloader Fail -> Device not connected!!" + esc("0m") + "</b>\n");
        const Shown s = c.shown();
        QCOMPARE(s.colourOf("Bootloader Fail -> Device not connected!!"), QColor("red"));
        QVERIFY(s.isBold("Bootloader Fail -> Device not connected!!"));
        QCOMPARE(c.edit.textCursor().position(), c.edit.document()->characterCount() - 1);
    }

    void twoHundredParagraphs_oneMore_dropsTheFirst()
    {
        Console c;
        for (int k = 0; k < 200; ++k)
            c.fromBoard(QByteArray("line ") + QByteArray::number(k) + "<br>second\n");
        QCOMPARE(c.edit.document()->blockCount(), 200);
        QCOMPARE(c.paragraphs().first(), QStringLiteral("line 0") + kLineBreak + "second");
        c.fromBoard("line 200\n");
        QCOMPARE(c.edit.document()->blockCount(), 200);
        QCOMPARE(c.paragraphs().first(), QStringLiteral("line 1") + kLineBreak + "second");
        QCOMPARE(c.paragraphs().last(), QStringLiteral("line 200"));
        // A message continues the last paragraph and so adds none.
        c.fromMessages("<br><b>Disconnect x</b>");
        QCOMPARE(c.edit.document()->blockCount(), 200);
        QCOMPARE(c.paragraphs().first(), QStringLiteral("line 1") + kLineBreak + "second");
    }

    // --- Markup in the text ---

    void untrustedMarkup_showsAsTyped()
    {
        const QList<QByteArray> typed = {
            "if a<b then", "x & y", "<script>alert(1)</script>", "&amp", "& lt;", "a > b", "<",
            "<b", "<br", "</font", "<i>no</i>", "<p>", "<img src=x>", "<font>", "<font color=>",
            "<font color=\"red\" onload=x>", "<font color=javascript:x>", "<font color=\"Red'>",
            "<font size=7>", "<font color=#12345>", "<font color=#1234567>", "<bb>", "<brr>",
            "</br>", "</ b>", "<b\x1b[31m" ">", "<!-- c -->", "<font color=\"R\xC3\xA9" "d\">",
        };
        for (const QByteArray &t : typed) {
            Console c;
            c.fromBoard(t);
            QCOMPARE(c.text(), QString::fromUtf8(t).remove(QStringLiteral("\x1b[31m")));
            c.fromMessages(t);
            QCOMPARE(c.paragraphs().size(), 1);
            QVERIFY2(c.text().endsWith(QString::fromUtf8(t).remove(QStringLiteral("\x1b[31m"))), t.constData());
            QVERIFY2(accounted(c.board) && accounted(c.message), t.constData());
        }
        // A device name with markup characters inside a message of the window.
        Console c;
        c.fromMessages("<br><b>Connect Bridge <A&B> [0x1]</b>");
        QCOMPARE(c.paragraphs(), QStringList({kLineBreak + QStringLiteral("Connect Bridge <A&B> [0x1]")}));
    }

    void characterReferences_showAsTypedFromTheBoard_butAreTextInMessages()
    {
        // The update writes a path from outside with references; the board's "&lt;" is typed.
        const QByteArray line = "Hex-File not found under-> &quot;/tmp/&#1060;&#x416; &lt;1&gt; &amp; &#0; &#xD800;&quot;";
        Console c;
        c.fromBoard(line);
        QCOMPARE(c.text(), QString::fromUtf8(line));
        c.fromMessages("<br>" + line);
        const QString text = c.text();
        QCOMPARE(text.mid(text.lastIndexOf(QStringLiteral("Hex-File"))), QStringLiteral("Hex-File not found under-> \"/tmp/")
                                  + QChar(0x0424) + QChar(0x0416)
                                  + QStringLiteral(" <1> & &#0; &#xD800;\""));
        QVERIFY(accounted(c.board) && accounted(c.message));
    }

    void allowedTags_takeEffect_inAnyCaseAndQuoting()
    {
        Console c;
        c.fromBoard("<b>bold</b> <font color=Red>R1</font> <font color='#00ff00'>G1</font>"
                    "<BR><FONT COLOR=\"Blue\">B1</FONT><br/>end<br />x<font color = \"#FF8000\" >O1</font>");
        const Shown s = c.shown();
        QCOMPARE(s.text, QStringLiteral("bold R1 G1") + kLineBreak + "B1" + kLineBreak + "end" + kLineBreak + "xO1");
        QVERIFY(s.isBold("bold"));
        QVERIFY(!s.isBold(" R1"));
        QCOMPARE(s.colourOf("R1"), QColor("red"));
        QCOMPARE(s.colourOf("G1"), QColor(0, 255, 0));
        QCOMPARE(s.colourOf("B1"), QColor("blue"));
        QCOMPARE(s.colourOf("O1"), QColor(0xFF, 0x80, 0x00));
        QCOMPARE(s.colourOf("end"), QColor());
        QVERIFY(accounted(c.board));

        ConsoleHtmlConverter conv(Stream::Message);
        QCOMPARE(conv.convert("<br><font color=\"Red\"><b>Unabel to open X</b></font>"),
                 QStringLiteral("<br><font color=\"Red\"><b>Unabel to open X</b></font>"));
    }

    void tagCutByFlush_isEscapedNotHeld()
    {
        Console c;
        c.fromBoard("a<fo");
        c.fromBoard("nt color=Red>b");
        QCOMPARE(c.paragraphs(), QStringList({"a<fo", "nt color=Red>b"}));
        QCOMPARE(c.board.pendingBytes(), 0);
    }

    // --- Bytes beyond ASCII ---

    void highBytes_utf8WhereValid_latin1PerByteOtherwise()
    {
        struct Case {
            QByteArray bytes;
            QString shown;
        };
        const QList<Case> cases = {
            {"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80", QString::fromUtf8("Grüß € 😀")},
            {"M\xFCller \xE4", QString::fromUtf8("Müller ä")},                 // Latin-1 bytes
            {"\xC3(", QString::fromUtf8("Ã(")},                                // lead without follower
            {"\xC0\xAF", QString::fromUtf8("À¯")},                             // overlong
            {"\xED\xA0\x80", QString::fromUtf8("í") + QChar(0xA0) + QChar(0x80)}, // surrogate
            {"\xF4\x90\x80\x80", QString::fromUtf8("ô") + QChar(0x90) + QChar(0x80) + QChar(0x80)},
            {"\xE2\x82x", QString::fromUtf8("â") + QChar(0x82) + "x"},         // cut inside the chunk
            {"\xBF", QString::fromUtf8("¿")},                                   // stray follower
        };
        for (const Case &k : cases) {
            for (Stream stream : {Stream::Board, Stream::Message}) {
                ConsoleHtmlConverter conv(stream);
                QCOMPARE(conv.convert(k.bytes + "|"), k.shown + "|");
            }
            Console c;
            c.fromBoard(k.bytes + "|");
            QCOMPARE(c.shown().text, k.shown + "|");
        }
    }

    // --- Chunk boundaries ---

    void colourSequenceCutAtEveryPoint_isCarriedAndColoursNextParagraph()
    {
        const QByteArray line = "ab" + esc("31m") + "red" + esc("0m") + "cd";
        for (int cut = 3; cut <= 6; ++cut) {  // after ESC, "[", "3" and "1"
            Console c;
            c.fromBoard(line.left(cut));
            QCOMPARE(c.board.pendingBytes(), cut - 2);
            c.fromBoard(line.mid(cut));
            QCOMPARE(c.paragraphs(), QStringList({"ab", "redcd"}));
            QCOMPARE(c.shown().colourOf("red"), QColor("red"));
            QCOMPARE(c.shown().colourOf("cd"), QColor());
            QVERIFY(accounted(c.board));
        }
        for (int cut = 11; cut <= 13; ++cut) {  // inside the reset: the colour ends all the same
            ConsoleHtmlConverter conv(Stream::Board);
            conv.convert(line.left(cut));
            QCOMPARE(conv.convert(line.mid(cut)), QStringLiteral("</font>cd"));
        }
        // Cut after ESC "[", then "32m" and the text.
        Console c;
        c.fromBoard("x" + esc(""));
        c.fromBoard("32mgo");
        QCOMPARE(c.paragraphs(), QStringList({"x", "go"}));
        QCOMPARE(c.shown().colourOf("go"), QColor("green"));
    }

    void heldBytesThatAreNoColour_followTheOrdinaryRules()
    {
        struct Case {
            QByteArray first, second;
            QStringList paragraphs;
        };
        const QList<Case> cases = {
            {"x" + esc("3"), "9mz", {"x", "[39mz"}},
            {"x" + esc("0"), "1", {"x", "[01"}},
            {"x" + esc(""), "\n", {"x", "["}},
            {"x\x1b", "q", {"x", "\x1bq"}},
            {"x" + esc("31"), "M", {"x", "[31M"}},
        };
        for (const Case &k : cases) {
            Console c;
            c.fromBoard(k.first);
            c.fromBoard(k.second);
            QCOMPARE(c.paragraphs(), k.paragraphs);
            QCOMPARE(c.board.pendingBytes(), 0);
            QVERIFY(accounted(c.board));
        }
    }

    void sequenceArrivingByteByByte_isHeldAtMostFourBytes_andFlushShowsRest()
    {
        ConsoleHtmlConverter conv(Stream::Board);
        QString html;
        for (char b : esc("34m") + "A") {
            html += conv.convert(QByteArray(1, b));
            QVERIFY(conv.pendingBytes() <= 4);
        }
        QCOMPARE(html, QStringLiteral("<font color=\"Blue\">A"));

        QVERIFY(conv.convert("x" + esc("3")).endsWith(QLatin1Char('x')));
        QVERIFY(!conv.lastChunkHeldBack());
        QCOMPARE(conv.convert("4"), QString());
        QVERIFY(conv.lastChunkHeldBack());
        QCOMPARE(conv.flushPending(), QStringLiteral("[34"));
        QCOMPARE(conv.pendingBytes(), 0);
        conv.convert("\xE2\x82");
        QCOMPARE(conv.flushPending(), QStringLiteral("â") + QChar(0x82));
        QVERIFY(accounted(conv));
        // ESC[34m, and the ESC of the flushed ESC[34, which is no colour.
        QCOMPARE(conv.counts().markup, qint64(5 + 1));
    }

    void utf8CutAtEveryPoint_isCarried_andLineFeedBeforeItIsDropped()
    {
        const QByteArray text = "A\xF0\x9F\x98\x80\xE2\x82\xAC\xC3\xA9Z";
        for (int cut = 1; cut < text.size(); ++cut) {
            ConsoleHtmlConverter conv(Stream::Board);
            QString joined = conv.convert(text.left(cut));
            joined += conv.convert(text.mid(cut));
            QCOMPARE(joined, QString::fromUtf8(text));
            QVERIFY(accounted(conv));
        }
        Console c;
        c.fromBoard("abc\n\xE2");
        c.fromBoard("\x82\xAC");
        QCOMPARE(c.paragraphs(), QStringList({"abc", QString::fromUtf8("€")}));
    }

    void chunkLongerThan65535Bytes_convertsWhole()
    {
        QByteArray chunk;
        QString expected;
        for (int k = 0; chunk.size() < 70000 + 200; ++k) {
            const QByteArray line = "line " + QByteArray::number(k);
            chunk += esc(k % 2 ? "32m" : "31m") + line + esc("0m") + "\n";
            expected += QString::fromLatin1(line) + QLatin1Char('\n');
        }
        chunk += esc("34m") + "tail after 64 KiB";
        expected += QStringLiteral("tail after 64 KiB");
        QVERIFY(chunk.size() > 70000);
        Console c;
        c.fromBoard(chunk);
        QCOMPARE(c.edit.document()->blockCount(), 1);
        QCOMPARE(c.text(), expected);
        QCOMPARE(c.shown().colourOf("tail after 64 KiB"), QColor("blue"));
        QCOMPARE(c.board.counts().input, qint64(chunk.size()));
        QVERIFY(accounted(c.board));
    }
};

QTEST_MAIN(TestConsoleHtml)
#include "test_console_html.moc"
