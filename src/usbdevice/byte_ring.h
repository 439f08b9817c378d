#pragma once
// A fixed ring of 4096 bytes with 12-bit indices: holds at most 4095 bytes, equal indices mean
// empty. One writer; readers take bytes with a compare-and-swap on ReadIdx, so the reader of
// the receive ring may change threads (GUI in serial mode, worker in TLV mode and during an
// update) without a byte being taken twice. The writer never passes unread bytes: a put on a
// full ring is refused and the caller keeps the byte.

#include <QtGlobal>

#include <atomic>

struct ByteRing {
    static constexpr quint16 kSize = 4096;
    static constexpr quint16 kMask = 0x0FFF;

    std::atomic<quint8> Data[kSize] = {};
    std::atomic<quint16> ReadIdx{0};
    std::atomic<quint16> WriteIdx{0};

    quint16 count() const
    {
        const quint16 w = WriteIdx.load(std::memory_order_acquire);
        const quint16 r = ReadIdx.load(std::memory_order_acquire);
        return quint16((w - r) & kMask);
    }
    quint16 freeSpace() const { return quint16(kMask - count()); }
    bool isEmpty() const { return count() == 0; }

    // Writer side.
    bool put(quint8 byte)
    {
        const quint16 w = WriteIdx.load(std::memory_order_relaxed);
        if (quint16((w + 1) & kMask) == ReadIdx.load(std::memory_order_acquire))
            return false;
        Data[w].store(byte, std::memory_order_relaxed);
        WriteIdx.store(quint16((w + 1) & kMask), std::memory_order_release);
        return true;
    }
    // Stores as many of the bytes as fit; returns how many.
    quint16 put(const quint8 *bytes, quint16 length)
    {
        quint16 w = WriteIdx.load(std::memory_order_relaxed);
        const quint16 room = quint16(kMask - ((w - ReadIdx.load(std::memory_order_acquire)) & kMask));
        const quint16 n = length < room ? length : room;
        for (quint16 i = 0; i < n; ++i) {
            Data[w].store(bytes[i], std::memory_order_relaxed);
            w = quint16((w + 1) & kMask);
        }
        WriteIdx.store(w, std::memory_order_release);
        return n;
    }

    // Reader side.
    bool take(quint8 &byte)
    {
        quint16 r = ReadIdx.load(std::memory_order_acquire);
        for (;;) {
            if (r == WriteIdx.load(std::memory_order_acquire))
                return false;
            const quint8 value = Data[r].load(std::memory_order_relaxed);
            if (ReadIdx.compare_exchange_weak(r, quint16((r + 1) & kMask),
                                              std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
                byte = value;
                return true;
            }
        }
    }
    // Byte at offset from the read position, without taking it (offset < count()).
    quint8 peek(quint16 offset) const
    {
        const quint16 r = ReadIdx.load(std::memory_order_acquire);
        return Data[(r + offset) & kMask].load(std::memory_order_relaxed);
    }
    // Drops up to n bytes; returns how many were dropped.
    quint16 skip(quint16 n)
    {
        quint16 r = ReadIdx.load(std::memory_order_acquire);
        for (;;) {
            const quint16 avail = quint16((WriteIdx.load(std::memory_order_acquire) - r) & kMask);
            const quint16 k = n < avail ? n : avail;
            if (ReadIdx.compare_exchange_weak(r, quint16((r + k) & kMask),
                                              std::memory_order_acq_rel,
                                              std::memory_order_acquire))
                return k;
        }
    }
};
