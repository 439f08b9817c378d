#pragma once
// The 312-byte block shared with the programming client. Both programs are built separately,
// so every offset and width here is a byte-level contract; the asserts make a layout change
// fail the build instead of silently breaking the other side.

#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <type_traits>

constexpr int kSharedMemBlockSize = 312;
constexpr int kPath2HexfileWidth = 150;
constexpr int kNameOfConnectedDeviceWidth = 153;
// Longest text a field holds: one byte always stays for the terminating NUL.
constexpr int kPath2HexfileMaxBytes = kPath2HexfileWidth - 1;
constexpr int kNameOfConnectedDeviceMaxBytes = kNameOfConnectedDeviceWidth - 1;

constexpr qint32 kResultNone = 0;
constexpr qint32 kResultWritten = 1;
constexpr qint32 kResultFailed = -1;

struct SharedMemBlock {
    quint8 StatusPelmora;
    quint8 StatusProgrammingRequest;
    quint8 Reserved[2];
    qint32 ProgrammingResult;  // little-endian; read and write through the helpers below
    quint8 StatusOrbaloConnection;
    char Path2Hexfile[kPath2HexfileWidth];
    char NameOfConnectedDevice[kNameOfConnectedDeviceWidth];
};

static_assert(std::is_standard_layout<SharedMemBlock>::value, "block must be standard layout");
static_assert(std::is_trivially_copyable<SharedMemBlock>::value, "block must be plain bytes");
static_assert(sizeof(SharedMemBlock) == kSharedMemBlockSize, "block is 312 bytes");
static_assert(offsetof(SharedMemBlock, StatusPelmora) == 0, "StatusPelmora at 0");
static_assert(offsetof(SharedMemBlock, StatusProgrammingRequest) == 1, "request at 1");
static_assert(offsetof(SharedMemBlock, Reserved) == 2, "reserved at 2");
static_assert(offsetof(SharedMemBlock, ProgrammingResult) == 4, "result at 4");
static_assert(offsetof(SharedMemBlock, StatusOrbaloConnection) == 8, "connection at 8");
static_assert(offsetof(SharedMemBlock, Path2Hexfile) == 9, "path at 9");
static_assert(offsetof(SharedMemBlock, NameOfConnectedDevice) == 159, "name at 159");

// Field codecs. Texts are bounded by their field on both ways: a field without a NUL (a broken
// or hostile writer) is read up to its end only, and a text that does not fit is cut on a
// UTF-8 character boundary, NUL-terminated and zero-padded inside the field.
QString readBoundedText(const char *field, int width);
// Returns false when the text had to be cut.
bool writeBoundedText(char *field, int width, const QString &text);
// Byte length of the longest prefix of utf8 (at most limit bytes) that ends on a whole character.
int utf8PrefixLength(const QByteArray &utf8, int limit);

qint32 readProgrammingResult(const SharedMemBlock &block);
void writeProgrammingResult(SharedMemBlock &block, qint32 value);

// Every field of a block, decoded; what a status display or the client needs at once.
struct SharedMemSnapshot {
    bool pelmoraRunning = false;
    quint8 request = 0;
    qint32 result = kResultNone;
    bool boardConnected = false;
    QString path2Hexfile;
    QString nameOfConnectedDevice;
};

SharedMemSnapshot decodeBlock(const SharedMemBlock &block);
