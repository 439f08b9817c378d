#include "console_report.h"

#include <QRegularExpression>

namespace {

const QString kFailPrefix = QStringLiteral("Bootloader Fail -> ");
// The closing line of every failed update: it says that it failed, not why.
const QString kIdleLine = QStringLiteral("Bootloader IDEL");

} // namespace

QString consolePlain(const QString &html)
{
    static const QRegularExpression kTags(QStringLiteral("<[^>]*>"));
    static const QRegularExpression kColours(QStringLiteral("\\x1b\\[[0-9;]*[A-Za-z]"));
    static const QRegularExpression kNumeric(QStringLiteral("&#([0-9]+);"));
    QString text = html;
    text.remove(kTags);
    text.remove(kColours);
    QRegularExpressionMatch m;
    int from = 0;
    while ((m = kNumeric.match(text, from)).hasMatch()) {
        const uint code = m.captured(1).toUInt();
        const QString character = code > 0 && code <= 0x10FFFF ? QString::fromUcs4(&code, 1) : QString();
        text.replace(m.capturedStart(), m.capturedLength(), character);
        from = m.capturedStart() + character.size();
    }
    text.replace(QStringLiteral("&lt;"), QStringLiteral("<"));
    text.replace(QStringLiteral("&gt;"), QStringLiteral(">"));
    text.replace(QStringLiteral("&quot;"), QStringLiteral("\""));
    text.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    return text;
}

QString explainFailure(const QString &text)
{
    QString cause = text.startsWith(kFailPrefix) ? text.mid(kFailPrefix.size()) : text;
    struct Reading {
        const char *starts;
        const char *meaning;
    };
    static const Reading kReadings[] = {
        {"EnterBootloader Time Error", "the board does not answer: no reply to the bootloader's sync"},
        {"STM32 ID:", "the chip is not an STM32F103 (medium density)"},
        {"disconnect", "the bridge was closed or unplugged during the update"},
        {"Time Error", "the bootloader stopped answering"},
        {"ErrorCode", "the HEX file could not be converted"},
        {"Device not connected", "the bridge is not open"},
        {"Verify Error", "the flash read back differs from the image"},
    };
    for (const Reading &r : kReadings)
        if (cause.startsWith(QLatin1String(r.starts)))
            return QStringLiteral("%1 (%2)").arg(QLatin1String(r.meaning), cause);
    if (cause.contains(QLatin1String("Get NACK")))
        return QStringLiteral("the bootloader refused a command with NACK (%1)").arg(cause);
    return cause;
}

void ConsoleReport::addConsole(const QByteArray &bytes)
{
    for (char c : bytes) {
        if (c == '\n') {
            takeLine(QString::fromLatin1(m_Pending));
            m_Pending.clear();
            continue;
        }
        m_Pending.append(c);
    }
}

void ConsoleReport::takeLine(const QString &line)
{
    // A message line starts with its own <br>, also when it follows a row of stars directly.
    const QStringList pieces = line.split(QStringLiteral("<br>"));
    for (const QString &piece : pieces) {
        const QString plain = consolePlain(piece).trimmed();
        if (plain.isEmpty())
            continue;
        m_Plain += plain + QLatin1Char('\n');
        if (piece.contains(QStringLiteral("\x1b[31m")))
            m_RedLines << plain;
    }
}

void ConsoleReport::addLogError(const QString &line)
{
    QString plain = consolePlain(line).trimmed();
    // "ERROR[Zorvane]->VX_SI_USBXpressDev::WriteFirmware_Handler: SM_FW_... -> Get NACK 3"
    const int arrow = plain.indexOf(QStringLiteral("]->"));
    if (plain.startsWith(QLatin1String("ERROR")) && arrow >= 0) {
        plain = plain.mid(arrow + 3);
        const int colon = plain.indexOf(QStringLiteral(": "));
        if (colon > 0 && !plain.left(colon).contains(QLatin1Char(' ')))
            plain = plain.mid(colon + 2);
    }
    if (!plain.isEmpty())
        m_LogErrors << plain;
}

QString ConsoleReport::firstError() const
{
    for (const QString &line : m_RedLines)
        if (!line.startsWith(kIdleLine))
            return explainFailure(line);
    if (!m_LogErrors.isEmpty())
        return explainFailure(m_LogErrors.first());
    return m_RedLines.isEmpty() ? QString() : m_RedLines.first();
}
