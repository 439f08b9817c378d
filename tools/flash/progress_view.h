#pragma once
// How the boards' jobs show while they run: on a terminal one live line per board, redrawn in
// place; in a pipe or a file plain lines, one when a board's phase changes and a few in between.
// At the end a summary table: board, result, bytes, time, first error.

#include <QList>
#include <QString>
#include <QVector>

#include <cstdio>

class BoardRunner;

struct BoardRow {
    QString label;        // "1 Orbalo Mini (simulated) [0x0001]"
    BoardRunner *runner;  // not owned
};

class ProgressView {
public:
    ProgressView(std::FILE *out, bool live, QList<BoardRow> rows);

    // Live: redraws every line; plain: prints what changed.
    void update();
    // The last state of every board (live: a last redraw).
    void close();

private:
    struct Shown {
        QString phase;
        int step = -1;  // quarter of the phase's count last printed
    };
    QString liveLine(const BoardRow &row, int width) const;

    std::FILE *m_Out;
    bool m_Live;
    QList<BoardRow> m_Rows;
    QVector<Shown> m_Shown;
    bool m_Drawn = false;
};

// successWord names a success in the result column ("written", "verified", "reset").
QString summaryTable(const QList<BoardRow> &rows, const QString &successWord);
