#include "log_capture.h"

#include <QMutexLocker>

namespace {
QMutex g_Mutex;
QStringList g_Lines;
LogCapture *g_Active = nullptr;
} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&g_Mutex);
    g_Lines.clear();
    g_Active = this;
    m_Previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_Previous);
    QMutexLocker lock(&g_Mutex);
    g_Active = nullptr;
}

void LogCapture::handler(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    QMutexLocker lock(&g_Mutex);
    if (g_Active)
        g_Lines.append(msg);
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&g_Mutex);
    return g_Lines;
}

void LogCapture::clear()
{
    QMutexLocker lock(&g_Mutex);
    g_Lines.clear();
}

int LogCapture::count(const QString &piece) const
{
    int n = 0;
    for (const QString &line : lines())
        n += line.contains(piece) ? 1 : 0;
    return n;
}

QStringList LogCapture::messages(const QString &origin) const
{
    QStringList out;
    const QString marker = QStringLiteral("]->") + origin + QStringLiteral(": ");
    for (const QString &line : lines()) {
        const int at = line.indexOf(marker);
        if (at < 0)
            continue;
        QString message = line.mid(at + marker.size());
        if (message.endsWith(QStringLiteral("\x1b[0m")))
            message.chop(4);
        out << message;
    }
    return out;
}

QStringList LogCapture::errors() const
{
    QStringList out;
    for (const QString &line : lines())
        if (line.startsWith(QStringLiteral("\x1b[31mERROR[")))
            out << line;
    return out;
}
