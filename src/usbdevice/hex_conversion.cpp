// The HEX file of an update read in chunks into the flash image, and the image file the
// bootloader sequence sends.
#include "vx_si_usbxpressdev.h"

#include "app/log.h"
#include "hex_image.h"

#include <QIODevice>

#include <cstring>

namespace {

constexpr const char *kOrigin = "VX_SI_USBXpressDev::ConvertHex2BinFile";
constexpr int kChunk = 64 * 1024;
static_assert(kChunk > 2 * int(kHexLineMax), "a chunk holds a whole line and the next read");

QByteArray tooLargeText(qint64 size)
{
    return "HEX file of " + QByteArray::number(size) + " bytes is larger than any HEX file for "
           + QByteArray::number(kHexFlashSize / 1024) + " KB of flash (at most "
           + QByteArray::number(kHexTextLimit / (1024 * 1024)) + " MiB)";
}

} // namespace

HexTextReader::HexTextReader(QIODevice &device)
    : m_device(device)
    , m_chunk(kChunk, '\0')
{
}

bool HexTextReader::fill()
{
    if (m_begin > 0) {
        std::memmove(m_chunk.data(), m_chunk.constData() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    const qint64 n = m_device.read(m_chunk.data() + m_end, qint64(kChunk) - qint64(m_end));
    if (n <= 0) {
        m_atEnd = true;
        if (n < 0) {
            m_failed = true;
            m_readError = "Reading the HEX file failed: " + m_device.errorString().toUtf8();
        }
        return false;
    }
    m_read += n;
    m_end += size_t(n);
    if (m_read > kHexTextLimit) {
        // A pipe or a file that grows while it is read: refused as soon as it passes the bound.
        m_atEnd = true;
        m_failed = true;
        m_readError = "HEX text longer than " + QByteArray::number(kHexTextLimit / (1024 * 1024))
                      + " MiB: larger than any HEX file for " + QByteArray::number(kHexFlashSize / 1024)
                      + " KB of flash";
        return false;
    }
    return true;
}

bool HexTextReader::nextLine(const char *&text, size_t &length, bool &tooLong)
{
    for (;;) {
        const char *base = m_chunk.constData();
        const void *lf = std::memchr(base + m_begin, '\n', m_end - m_begin);
        // The last line may lack its line end; after a failed read it is not taken at all.
        if (lf || (m_atEnd && !m_failed && m_begin < m_end)) {
            const size_t end = lf ? size_t(static_cast<const char *>(lf) - base) : m_end;
            text = base + m_begin;
            length = end - m_begin;
            m_begin = lf ? end + 1 : m_end;
            if (length > 0 && text[length - 1] == '\r')
                --length;
            tooLong = length > kHexLineMax;
            return true;
        }
        if (m_end - m_begin > kHexLineMax) {
            // No record is this long: keep its start for the error and skip to its end.
            m_overlong = QByteArray(base + m_begin, int(kHexLineMax) + 1);
            m_begin = m_end;
            while (fill()) {
                const char *b = m_chunk.constData();
                if (const void *nl = std::memchr(b + m_begin, '\n', m_end - m_begin)) {
                    m_begin = size_t(static_cast<const char *>(nl) - b) + 1;
                    break;
                }
                m_begin = m_end;
            }
            text = m_overlong.constData();
            length = size_t(m_overlong.size());
            tooLong = true;
            return !m_failed;
        }
        if (m_atEnd)
            return false;
        fill();
    }
}

qint8 HexTextReader::readStart(QByteArray *error)
{
    if (!m_device.isSequential() && m_device.size() > kHexTextLimit) {
        *error = tooLargeText(m_device.size());
        return -2;
    }
    bool plausible = true;
    const char *text = nullptr;
    size_t length = 0;
    bool tooLong = false;
    while (plausible && m_start.size() < 3) {
        if (!nextLine(text, length, tooLong)) {
            plausible = false;
            break;
        }
        m_start.emplace_back(text, int(length));
        m_startTooLong.push_back(tooLong);
        plausible = length > 0 && text[0] == ':';
    }
    if (m_failed) {
        *error = m_readError;
        return -2;
    }
    return plausible ? 1 : -3;
}

HexParseResult HexTextReader::convert()
{
    HexImageBuilder builder;
    bool more = true;
    for (size_t i = 0; more && i < m_start.size(); ++i)
        more = builder.addLine(m_start[i].constData(), size_t(m_start[i].size()), m_startTooLong[i]);
    m_start.clear();
    const char *text = nullptr;
    size_t length = 0;
    bool tooLong = false;
    while (more && nextLine(text, length, tooLong))
        more = builder.addLine(text, length, tooLong);
    HexParseResult r = builder.finish();
    if (more && m_failed) {
        r = HexParseResult();
        r.code = -2;
        r.error = m_readError;
    }
    return r;
}

qint8 convertHexFileToImage(QFile &hexFile, QTemporaryFile &binFile)
{
    if (!hexFile.exists())
        return -1;
    logStatus(kOrigin, "Path: %s", qUtf8Printable(hexFile.fileName()));
    if (!hexFile.open(QIODevice::ReadOnly))
        return -2;
    HexTextReader reader(hexFile);
    QByteArray error;
    const qint8 start = reader.readStart(&error);
    if (start != 1) {
        hexFile.close();
        if (!error.isEmpty())
            logError(kOrigin, "%s", error.constData());
        return start;
    }
    if (binFile.isOpen()) {
        binFile.resize(0);
        binFile.seek(0);
    } else if (!binFile.open()) {
        hexFile.close();
        return -4;
    }
    const HexParseResult r = reader.convert();
    // Nothing after the end-of-file record is read; the size is that of the whole file.
    const qint64 hexSize = hexFile.isSequential() ? reader.bytesRead() : hexFile.size();
    hexFile.close();
    if (r.code != 1) {
        binFile.resize(0);
        binFile.close();
        logError(kOrigin, "%s", r.error.constData());
        return r.code;
    }
    if (binFile.write(r.image) != r.image.size()) {
        binFile.resize(0);
        binFile.close();
        return -4;
    }
    binFile.flush();
    logStatus(kOrigin, "HexFileSize: %d kB; BinFileSize %d kB", int(hexSize / 1024), int(r.image.size() / 1024));
    binFile.seek(0);
    return 1;
}

qint8 VX_SI_USBXpressDev::ConvertHex2BinFile(QFile &hexFile, QTemporaryFile &binFile)
{
    return convertHexFileToImage(hexFile, binFile);
}
