#pragma once

// The central binary log's format, shared by its writer and reader: the file header, a record's
// layout and its checksum. Internal to velmora_iislog; CentralBinaryLog.h describes the format.

#include "emulation/iislog/CentralBinaryLog.h"
#include "emulation/iislog/Checksum.h"

#include <QByteArray>
#include <QtEndian>

#include <array>
#include <sys/types.h>

namespace iislog::format {

constexpr std::array<char, 8> Magic = {'V', 'L', 'M', 'R', 'I', 'B', 'L', '\x1A'};
constexpr qsizetype HeaderSize = 32;
constexpr quint32 RecordMarker = 0x4352FEFF;
constexpr qsizetype FixedSize = 52; // marker to the first text
constexpr qsizetype TextCount = 11;
constexpr qsizetype MinRecord = FixedSize + TextCount * 2 + 4;
constexpr qsizetype MaxText = 0xFFFF;
constexpr qsizetype MaxRecord = MinRecord + TextCount * MaxText;
// The times a W3C line can write: years 1 to 9999.
constexpr qint64 FirstLogTime = -62135596800000; // 0001-01-01 00:00:00.000 UTC
constexpr qint64 LastLogTime = 253402300799999;  // 9999-12-31 23:59:59.999 UTC
constexpr qsizetype ReadChunk = 128 * 1024;      // stays in the processor's cache while its records are read
// Records longer than this are checked against a window of checksums rather than one by one: a false
// marker claiming a long record would otherwise cost its whole claim each time.
constexpr qsizetype LongRecord = 4096;

template <typename T> T load(const char* p) {
    return qFromLittleEndian<T>(p);
}

template <typename T> void put(QByteArray& out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i)
        out.append(
            static_cast<char>(static_cast<unsigned char>((static_cast<quint64>(value) >> (8 * i)) & 0xFF)));
}

template <typename T> void store(char* p, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i)
        p[i] = static_cast<char>(static_cast<unsigned char>((static_cast<quint64>(value) >> (8 * i)) & 0xFF));
}

// A new file's header, of the newest version.
QByteArray makeHeader(QDate day);

enum class HeaderCheck { Sound, Damaged, Newer };
// Checks the header at p (HeaderSize bytes); a sound one is decoded into out when given.
HeaderCheck checkHeader(const char* p, FileHeader* out);

// The fields of a record whose checksum has been checked.
bool layView(const char* p, qsizetype size, RecordView& v);
bool checksumHolds(const char* p, qsizetype size, Crc kind);
// A record's time is one a W3C line can write.
bool plausibleTime(qint64 ms);
LogRecord toRecord(const RecordView& v);

QString systemError(int error);
// Reads size bytes at offset, fewer only at the file's end; -1 on an error.
ssize_t readFull(int fd, char* data, qsizetype size, qint64 offset);

} // namespace iislog::format
