#pragma once

// The checksums of the central binary log: CRC-32 (IEEE 802.3) in files of version 1, CRC-32C
// (Castagnoli), which processors compute in hardware, from version 2 on. Internal to velmora_iislog.

#include <QtGlobal>

#include <array>
#include <vector>

namespace iislog::format {

// Which CRC a file's version uses.
enum class Crc { Ieee, Castagnoli };
Crc crcOfVersion(quint16 version);

quint32 crc(Crc kind, const char* data, qsizetype size);
// The CRCs of many stretches at once: the processor computes a CRC-32C a step every cycle for
// independent stretches but one every three for a single one.
void crcs(Crc kind, const char* const* data, const qsizetype* sizes, int count, quint32* out);
// The same for the stretches of records lying one behind the other in memory: each stretch begins
// 8 bytes after the one before it ends (a checksum, a marker, a length), and the 4 bytes in front of
// the first are readable.
void recordCrcs(Crc kind, const char* const* data, const qsizetype* sizes, int count, quint32* out);

// The checksums of every stretch of one buffer, each in a few steps after one pass over the
// buffer: a search for records among damaged bytes tries many candidate records that overlap,
// and checking each from scratch would cost the square of the stretch's length.
class StretchChecksums {
public:
    explicit StretchChecksums(Crc kind);
    // Takes the buffer's bytes once.
    void build(const char* data, qsizetype size);
    // The checksum of bytes [from, to) of the buffer.
    quint32 of(qsizetype from, qsizetype to) const;

private:
    Crc m_kind;
    quint32 m_poly;
    std::array<quint32, 32> m_powers{}; // x^(2^k) modulo the polynomial
    std::vector<quint32> m_prefix;      // the CRC of bytes [0, i)
};

} // namespace iislog::format
