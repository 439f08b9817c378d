#pragma once
// The host's side of a conversation with the simulated ROM bootloader, for the board's tests:
// the frames of the USART protocol and a request/answer exchange in instant timing.
#include "sim_board.h"

#include <QByteArray>

#include <initializer_list>

// Sends request framed as line and returns what the board has answered by then.
inline QByteArray talk(pelsim::SimBoard &board, const QByteArray &request, uint16_t line = pelsim::kLine8E1)
{
    board.hostWrite(reinterpret_cast<const uint8_t *>(request.constData()), size_t(request.size()), line);
    QByteArray out(int(board.hostAvailable()), '\0');
    board.hostRead(reinterpret_cast<uint8_t *>(out.data()), size_t(out.size()));
    return out;
}

// Several requests in order (the operands of + are not sequenced).
inline QByteArray talkAll(pelsim::SimBoard &board, std::initializer_list<QByteArray> requests)
{
    QByteArray out;
    for (const QByteArray &r : requests)
        out += talk(board, r);
    return out;
}

// Four address bytes, most significant first, and their XOR.
inline QByteArray addressFrame(quint32 a)
{
    QByteArray f;
    for (int s = 24; s >= 0; s -= 8)
        f.append(char(a >> s));
    f.append(char(f[0] ^ f[1] ^ f[2] ^ f[3]));
    return f;
}

// Count byte (N - 1), the data, and the XOR of both.
inline QByteArray dataFrame(const QByteArray &data)
{
    QByteArray f(1, char(data.size() - 1));
    f += data;
    char x = 0;
    for (char c : f)
        x ^= c;
    f.append(x);
    return f;
}

// Write Memory of one block: the answers to the command, the address and the data.
inline QByteArray writeBlock(pelsim::SimBoard &board, quint32 address, const QByteArray &data)
{
    return talkAll(board, {"\x31\xce", addressFrame(address), dataFrame(data)});
}
