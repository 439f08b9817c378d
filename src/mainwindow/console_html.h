#pragma once
// Turns the console's byte streams (board output, update and window messages) into the HTML
// fragments that the console shows, and puts those fragments into the console.
//
// Both streams carry terminal colour sequences (ESC "[31m" and the like) that become font tags.
// The board's text is untrusted: of the markup in it only <br>, <b>, </b>, <font color=...> and
// </font> pass; every other '<', '>' and '&' is escaped so that it shows as typed. Bytes that
// form UTF-8 characters are shown as those characters, any other byte as its Latin-1 character.
// Messages are the loader's own text: besides that markup they may carry character references
// (&quot;, &#N;, ...) with which the loader writes paths and names from outside.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QPlainTextEdit;

class ConsoleHtmlConverter {
public:
    // Board: the board's output (serial or TLV text), carriage returns kept as white space.
    // Message: the update's and the window's messages, carriage returns dropped, and every line
    // feed and carriage return written to the diagnostic log.
    enum class Stream { Board, Message };

    // Bytes seen so far, for checking that nothing is lost between a queue and the console:
    // input == shown + markup + pendingBytes() at any time.
    struct ByteCounts {
        qint64 input = 0;   // bytes given to convert()
        qint64 shown = 0;   // bytes that became visible characters or line breaks
        qint64 markup = 0;  // bytes consumed as colour sequences, tags, dropped ESC/CR/LF
    };

    explicit ConsoleHtmlConverter(Stream stream);

    // Converts one flushed chunk to an HTML fragment. A colour sequence or a UTF-8 character cut
    // by the end of the chunk is held back (at most four bytes) and completed by the next call;
    // once the next chunk shows that the bytes are not such a sequence, the ordinary rules apply
    // to them. A line feed that ends the chunk (or is followed only by held-back bytes) is
    // dropped: the next board chunk starts a paragraph of its own, and a message line begins
    // with its own <br>. The font state belongs to one chunk. A markup tag cut by the end of the
    // chunk is not held back: its pieces are escaped and show as text.
    QString convert(const QByteArray &chunk);

    // Renders the held-back bytes as if their chunk had ended there (for when the stream has
    // gone quiet and they would otherwise wait for output that may never come). Empty if none.
    QString flushPending();

    // True when the last convert() produced nothing because its whole chunk was held back; the
    // caller then has no paragraph to add.
    bool lastChunkHeldBack() const { return m_LastHeldBack; }

    int pendingBytes() const { return m_Pending.size(); }
    const ByteCounts &counts() const { return m_Counts; }
    Stream stream() const { return m_Stream; }

    // Forgets held-back bytes and counts.
    void reset();

private:
    QString render(const QByteArray &data, bool allowHold);

    Stream m_Stream;
    QByteArray m_Pending;
    ByteCounts m_Counts;
    bool m_LastHeldBack = false;
};

// Board output: appended as a new paragraph (the console's append of HTML).
void consoleAppendParagraph(QPlainTextEdit *console, const QString &html);

// Messages: inserted at the end of the last paragraph (cursor to the end, insert, cursor to the
// end again), so a message without a leading <br> continues the last line.
void consoleInsertAtEnd(QPlainTextEdit *console, const QString &html);
