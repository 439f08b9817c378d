#include "log_capture.h"

#include <QMutexLocker>
#include <QRegularExpression>

namespace {
// The handler is global and may be called from any thread.
QMutex g_Mutex;
QStringList g_Lines;
bool g_Active = false;
} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&g_Mutex);
    g_Lines.clear();
    g_Active = true;
    m_Previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_Previous);
    QMutexLocker lock(&g_Mutex);
    g_Active = false;
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

QStringList LogCapture::messages(const QString &origin) const
{
    // The colour reset that closes a line is no part of its message.
    const QRegularExpression re(QStringLiteral("\\]->") + QRegularExpression::escape(origin) + QStringLiteral(": (.*?)(\x1b\\[0m)?\\z"),
                                QRegularExpression::DotMatchesEverythingOption);
    QStringList out;
    for (const QString &line : lines())
        if (const QRegularExpressionMatch m = re.match(line); m.hasMatch())
            out << m.captured(1);
    return out;
}
