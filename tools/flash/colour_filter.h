#pragma once
// Takes terminal control sequences (colours: ESC "[31m" and the like) out of a byte stream for
// a pipe or a file. Fed in pieces of any size: a sequence cut by the end of a piece is
// finished by the next one.

#include <QByteArray>

class ColourFilter {
public:
    QByteArray filter(const QByteArray &bytes);

private:
    enum class State { Text, Escape, Csi, Osc, OscEscape };
    State m_State = State::Text;
};
