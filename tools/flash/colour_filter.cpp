#include "colour_filter.h"

namespace {
constexpr char kEsc = 0x1B;
constexpr char kBell = 0x07;
} // namespace

QByteArray ColourFilter::filter(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        switch (m_State) {
        case State::Text:
            if (c == kEsc)
                m_State = State::Escape;
            else
                out.append(c);
            break;
        case State::Escape:
            // ESC "[" opens a control sequence, ESC "]" an operating-system command; any other
            // byte ends a two-byte escape.
            m_State = c == '[' ? State::Csi : c == ']' ? State::Osc : State::Text;
            if (c == kEsc)
                m_State = State::Escape;
            break;
        case State::Csi:
            // Parameters and intermediates run from 0x20 to 0x3F; a byte from 0x40 to 0x7E ends it.
            if (u >= 0x40 && u <= 0x7E)
                m_State = State::Text;
            else if (u < 0x20 || u > 0x7E) {
                // Not a sequence after all: a line end or text that must not be swallowed.
                m_State = c == kEsc ? State::Escape : State::Text;
                if (c != kEsc)
                    out.append(c);
            }
            break;
        case State::Osc:
            if (c == kBell)
                m_State = State::Text;
            else if (c == kEsc)
                m_State = State::OscEscape;
            else if (c == '\n') {
                m_State = State::Text;
                out.append(c);
            }
            break;
        case State::OscEscape:
            m_State = c == '\\' ? State::Text : State::Osc;
            break;
        }
    }
    return out;
}
