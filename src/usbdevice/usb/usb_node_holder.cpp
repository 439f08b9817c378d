#include "usb_node_holder.h"

#if defined(__linux__)
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

QString usbNodeHolder(uint8_t bus, uint8_t address)
{
    const QString node = QString::asprintf("/dev/bus/usb/%03u/%03u", unsigned(bus), unsigned(address));
    const QString self = QString::number(QCoreApplication::applicationPid());
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        bool numeric = false;
        pid.toLongLong(&numeric);
        if (!numeric || pid == self)
            continue;
        // Processes of other users are not readable without privileges; they stay unnamed.
        const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
        const QStringList fds = QDir(fdDir).entryList(QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : fds) {
            if (QFileInfo(fdDir + QLatin1Char('/') + fd).symLinkTarget() != node)
                continue;
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            QString name = comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                                                          : QString();
            return QStringLiteral("%1 (pid %2)").arg(name.isEmpty() ? QStringLiteral("a program") : name, pid);
        }
    }
    return QString();
}

#else

QString usbNodeHolder(uint8_t, uint8_t)
{
    return QString();
}

#endif
