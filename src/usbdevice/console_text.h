#pragma once
// The update's console text: HTML fragments with terminal colour sequences, one byte per
// character.

#include <QByteArray>
#include <QString>

// ESC "[31m" + text + ESC "[0m".
QString consoleRed(const QString &text);
// Text from outside (a file path) made safe for the HTML console: markup characters escaped,
// everything beyond ASCII as a numeric character reference, so the user sees the real text.
QString consoleEscape(const QString &text);
// One byte per UTF-16 unit: its Latin-1 code, or 0x00 where it has none.
QByteArray consoleLatin1(const QString &text);
