#include "console_text.h"

#include <QVector>

QString consoleRed(const QString &text)
{
    return QStringLiteral("\x1b[31m") + text + QStringLiteral("\x1b[0m");
}

QString consoleEscape(const QString &text)
{
    QString out;
    out.reserve(text.size());
    const QVector<uint> codes = text.toUcs4();
    for (uint code : codes) {
        switch (code) {
        case '&': out += QStringLiteral("&amp;"); break;
        case '<': out += QStringLiteral("&lt;"); break;
        case '>': out += QStringLiteral("&gt;"); break;
        case '"': out += QStringLiteral("&quot;"); break;
        default:
            if (code < 0x80)
                out += QChar(code);
            else
                out += QStringLiteral("&#%1;").arg(code);
        }
    }
    return out;
}

QByteArray consoleLatin1(const QString &text)
{
    QByteArray bytes(text.size(), '\0');
    for (int i = 0; i < text.size(); ++i) {
        const ushort code = text.at(i).unicode();
        bytes[i] = code <= 0xFF ? char(code) : '\0';
    }
    return bytes;
}
