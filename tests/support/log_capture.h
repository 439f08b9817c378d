#pragma once
// Collects the framework's message output while it lives; installed by a test only.

#include <QMutex>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture {
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const;
    void clear();
    // Lines that contain piece.
    int count(const QString &piece) const { return int(lines().filter(piece).size()); }
    bool contains(const QString &piece) const { return count(piece) > 0; }
    // The message part of lines written under origin (text after "origin: ").
    QStringList messages(const QString &origin) const;
    // Error lines only (those starting with the red ERROR prefix).
    QStringList errors() const { return lines().filter(QRegularExpression(QStringLiteral("^\x1b\\[31mERROR\\["))); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg);
    QtMessageHandler m_Previous;
};
