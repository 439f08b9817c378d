#pragma once
// Intel HEX to a flat flash image from 0x08000000: records land at their addresses, gaps are
// erased flash (0xFF), the image ends at the highest address written, padded to whole words.
// Data addressed from 0 is the flash seen through its boot alias and lands at 0x08000000 plus
// the same offset. The text is taken one line at a time, so memory stays that of the flash
// whatever the size of the input.

#include <QByteArray>
#include <QFile>
#include <QTemporaryFile>

#include <vector>

class QIODevice;

constexpr quint32 kHexFlashBase = 0x08000000;
constexpr quint32 kHexFlashSize = 128 * 1024;
// While the chip boots from flash, the flash also appears from address 0; images linked or
// converted from 0 (raw binaries through objcopy, older tools) mean the flash.
constexpr quint32 kHexBootAliasBase = 0;
// The largest HEX text taken. A full 128 KB flash written one byte a record with CR LF is
// about 2 MB; 64 MiB is thirty times that (room for files that write the flash over again),
// and anything larger is not a HEX file for this flash: it is refused before a byte of it is
// read, and a pipe as soon as it passes the bound.
constexpr qint64 kHexTextLimit = qint64(64) * 1024 * 1024;

struct HexParseResult {
    // 1 image complete; -2 the text is larger than kHexTextLimit or cannot be read; -3 first
    // three lines implausible; -5 start code missing (or a line longer than any record); -6 a
    // record is broken: checksum wrong, cut short, non-hex characters, an extended address
    // record without its two bytes; -7 data outside the flash and its boot alias; -8 two
    // records for the same flash byte (different data, or once through the alias and once at
    // the flash address).
    qint8 code = 1;
    QByteArray image;
    quint32 lowAddress = 0;   // lowest flash address written (0 when nothing was)
    quint32 highAddress = 0;  // one past the highest flash address written
    bool viaBootAlias = false;  // some data was addressed through the boot alias
    // For the error lines.
    quint8 computedChecksum = 0;
    quint8 readChecksum = 0;
    quint32 badAddress = 0;
    int line = 0;  // 1-based line of the failure
    QByteArray error;  // what is wrong, in words, for the ERROR line; empty on success
};

// Takes the records one line at a time and keeps only the flash image and a mark per flash
// byte. Pure: bytes in, result out.
class HexImageBuilder {
public:
    HexImageBuilder();
    // One line without its line end; tooLong says the line ran past the longest record and was
    // cut. False once the conversion has ended, at the end-of-file record or at a fault.
    bool addLine(const char *text, size_t length, bool tooLong = false);
    // The result of the lines taken so far; the builder is spent afterwards.
    HexParseResult finish();

private:
    // Ends the conversion; the error gets the line number appended.
    bool fail(qint8 code, const QByteArray &error);
    bool place(quint64 address, const quint8 *bytes, int count);

    QByteArray m_flash;
    std::vector<quint8> m_marks;  // per flash byte: how it was addressed (0 not yet)
    HexParseResult m_result;
    quint32 m_upper = 0;
    bool m_segment = false;  // the last extended address record was a segment record
    quint32 m_low = 0xFFFFFFFF;
    quint32 m_high = 0;
    int m_lineNo = 0;
    bool m_ended = false;
};

// Longest line looked at: the longest record (255 data bytes) with room for trailing blanks.
constexpr size_t kHexLineMax = 1 + 2 + 4 + 2 + 2 * 255 + 2 + 8;

// The first three lines must each begin with ':' (a missing line counts as not beginning so).
bool hexTextPlausible(const char *data, size_t size);

// Whole text in memory: plausibility first (-3), then the records.
HexParseResult parseIntelHex(const char *data, size_t size);

// Reads HEX text from an open device in chunks: the first three lines for the plausibility
// check, then the records through a HexImageBuilder. Works on pipes too (no seeking).
class HexTextReader {
public:
    explicit HexTextReader(QIODevice &device);
    // 1 plausible; -3 not; -2 the device is larger than kHexTextLimit or a read failed (the
    // error says which).
    qint8 readStart(QByteArray *error);
    // Everything: the lines kept by readStart and the rest of the device. -2 when the text
    // grows beyond kHexTextLimit while it is read or a read fails.
    HexParseResult convert();
    qint64 bytesRead() const { return m_read; }

private:
    bool nextLine(const char *&text, size_t &length, bool &tooLong);
    bool fill();

    QIODevice &m_device;
    QByteArray m_chunk;
    size_t m_begin = 0;
    size_t m_end = 0;
    qint64 m_read = 0;
    bool m_atEnd = false;
    bool m_failed = false;
    QByteArray m_readError;
    std::vector<QByteArray> m_start;  // the first lines, fed to the builder by convert()
    std::vector<bool> m_startTooLong;
    QByteArray m_overlong;  // the kept part of a line longer than kHexLineMax
};

// Result codes: 1 image complete; -1 no HEX file; -2 cannot open or read it, or it is larger
// than kHexTextLimit; -3 first three lines implausible; -4 image file cannot be opened; -5
// start code missing; -6 a record is broken; -7 data outside the flash; -8 two records for the
// same flash byte. On -5 to -8 the image file is emptied and closed; on -1 to -4 an earlier
// image is left as it was (except -2 from a read that failed midway, which empties it too).
qint8 convertHexFileToImage(QFile &hexFile, QTemporaryFile &binFile);
