#pragma once
// Keys no running loader and no parallel test uses. System V segments outlive a crashed test,
// so a key is never reused across runs either.
#include <QCoreApplication>
#include <QRandomGenerator>
#include <QString>

inline QString uniqueShmKey(const char *tag)
{
    static int counter = 0;
    return QStringLiteral("pelmora_test_%1_%2_%3_%4").arg(QLatin1String(tag)).arg(QCoreApplication::applicationPid())
        .arg(++counter).arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
}
