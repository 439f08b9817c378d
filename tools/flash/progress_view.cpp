#include "progress_view.h"

#include "flashjob/board_runner.h"
#include "terminal.h"

#include <QStringList>

namespace {

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 1) + QStringLiteral(" s");
}

QString countText(const BoardRunner::Progress &p)
{
    return p.total > 0 ? QStringLiteral("%1/%2").arg(p.done).arg(p.total) : QString();
}

QString resultWord(const BoardRunner &runner, const QString &successWord)
{
    switch (runner.state()) {
    case BoardRunner::State::Succeeded: return successWord;
    case BoardRunner::State::Failed: return QStringLiteral("FAILED");
    case BoardRunner::State::Interrupted: return QStringLiteral("INTERRUPTED");
    default: return QStringLiteral("unfinished");
    }
}

void put(std::FILE *out, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), out);
}

} // namespace

ProgressView::ProgressView(std::FILE *out, bool live, QList<BoardRow> rows)
    : m_Out(out), m_Live(live), m_Rows(std::move(rows)), m_Shown(m_Rows.size())
{
}

QString ProgressView::liveLine(const BoardRow &row, int width) const
{
    const BoardRunner::Progress p = row.runner->progress();
    QString bar;
    if (p.total > 0) {
        constexpr int kBar = 20;
        const int filled = int(qint64(kBar) * p.done / p.total);
        bar = QLatin1Char('[') + QString(filled, QLatin1Char('#')) + QString(kBar - filled, QLatin1Char('.'))
              + QStringLiteral("] ") + countText(p);
    }
    QString line = QStringLiteral("%1  %2 %3 %4").arg(row.label, p.phase.leftJustified(10), bar.leftJustified(31),
                                                      seconds(p.elapsedMs).rightJustified(8));
    if (row.runner->isDone() && row.runner->state() != BoardRunner::State::Succeeded)
        line += QStringLiteral("  ") + row.runner->firstError();
    // A line longer than the terminal would wrap and break the redraw.
    return line.left(width - 1);
}

void ProgressView::update()
{
    if (m_Live) {
        const int width = terminalColumns();
        QString text;
        if (m_Drawn)
            text += QStringLiteral("\x1b[%1A").arg(m_Rows.size());
        for (const BoardRow &row : m_Rows)
            text += QStringLiteral("\r\x1b[2K") + liveLine(row, width) + QLatin1Char('\n');
        put(m_Out, text);
        m_Drawn = true;
        std::fflush(m_Out);
        return;
    }
    for (int i = 0; i < m_Rows.size(); ++i) {
        const BoardRunner::Progress p = m_Rows.at(i).runner->progress();
        const int step = p.total > 0 ? int(qint64(4) * p.done / p.total) : 0;
        Shown &shown = m_Shown[i];
        if (p.phase == shown.phase && step == shown.step)
            continue;
        shown.phase = p.phase;
        shown.step = step;
        QString text = QStringLiteral("%1: %2").arg(m_Rows.at(i).label, p.phase);
        if (p.total > 0)
            text += QLatin1Char(' ') + countText(p);
        text += QStringLiteral(" (%1)").arg(seconds(p.elapsedMs));
        if (m_Rows.at(i).runner->isDone() && m_Rows.at(i).runner->state() != BoardRunner::State::Succeeded)
            text += QStringLiteral(": ") + m_Rows.at(i).runner->firstError();
        put(m_Out, text + QLatin1Char('\n'));
    }
    std::fflush(m_Out);
}

void ProgressView::close()
{
    update();
}

QString summaryTable(const QList<BoardRow> &rows, const QString &successWord)
{
    const QStringList head = {QStringLiteral("board"), QStringLiteral("result"), QStringLiteral("bytes"),
                              QStringLiteral("time"), QStringLiteral("first error")};
    QList<QStringList> table;
    for (const BoardRow &row : rows) {
        const BoardRunner &r = *row.runner;
        const bool ok = r.state() == BoardRunner::State::Succeeded;
        const QString error = r.firstError();
        table << QStringList{row.label, resultWord(r, successWord), QString::number(r.bytes()),
                             seconds(r.progress().elapsedMs),
                             ok ? QStringLiteral("-") : error.isEmpty() ? QStringLiteral("(no message)") : error};
    }
    QVector<int> widths(head.size() - 1);
    for (int c = 0; c < widths.size(); ++c) {
        widths[c] = head.at(c).size();
        for (const QStringList &line : qAsConst(table))
            widths[c] = qMax(widths[c], line.at(c).size());
    }
    auto format = [&widths](const QStringList &cells) {
        QString line;
        for (int c = 0; c < widths.size(); ++c) {
            // Numbers line up on the right.
            const bool number = c == 2 || c == 3;
            line += (number ? cells.at(c).rightJustified(widths[c]) : cells.at(c).leftJustified(widths[c]))
                    + QStringLiteral("  ");
        }
        return line + cells.last() + QLatin1Char('\n');
    };
    QString text = format(head);
    for (const QStringList &line : qAsConst(table))
        text += format(line);
    return text;
}
