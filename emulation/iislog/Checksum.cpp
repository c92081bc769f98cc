#include "emulation/iislog/Checksum.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#define VELMORA_CRC32C_SSE42 1
#endif

namespace iislog::format {

namespace {

constexpr quint32 IeeePoly = 0xEDB88320u;       // reflected
constexpr quint32 CastagnoliPoly = 0x82F63B78u; // reflected

// Eight tables of the byte-wise CRC, so that eight bytes are taken at a time.
constexpr std::array<std::array<quint32, 256>, 8> makeTables(quint32 poly) {
    std::array<std::array<quint32, 256>, 8> t{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? poly ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}
constexpr auto IeeeTables = makeTables(IeeePoly);
constexpr auto CastagnoliTables = makeTables(CastagnoliPoly);

// The CRC register (before and after its final inversion) advanced over bytes by table.
quint32 advanceByTable(const std::array<std::array<quint32, 256>, 8>& t, quint32 c, const char* data,
                       qsizetype size) {
    while (size >= 8) {
        const quint32 lo = qFromLittleEndian<quint32>(data) ^ c;
        const quint32 hi = qFromLittleEndian<quint32>(data + 4);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        data += 8;
        size -= 8;
    }
    for (qsizetype i = 0; i < size; ++i)
        c = t[0][(c ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (c >> 8);
    return c;
}

#ifdef VELMORA_CRC32C_SSE42
// The last bytes (fewer than eight) of a stretch, in three steps at most.
__attribute__((target("sse4.2"))) inline quint32 tailBySse42(quint32 c, const char* data, qsizetype size) {
    if (size & 4) {
        quint32 v;
        std::memcpy(&v, data, 4);
        c = _mm_crc32_u32(c, v);
        data += 4;
    }
    if (size & 2) {
        quint16 v;
        std::memcpy(&v, data, 2);
        c = _mm_crc32_u16(c, v);
        data += 2;
    }
    if (size & 1)
        c = _mm_crc32_u8(c, static_cast<unsigned char>(*data));
    return c;
}

__attribute__((target("sse4.2"))) quint32 advanceBySse42(quint32 c, const char* data, qsizetype size) {
    quint64 wide = c;
    while (size >= 8) {
        quint64 v;
        std::memcpy(&v, data, 8);
        wide = _mm_crc32_u64(wide, v);
        data += 8;
        size -= 8;
    }
    return tailBySse42(static_cast<quint32>(wide), data, size);
}

// The CRC of every prefix of data: prefix[i + 1] for bytes [0, i].
__attribute__((target("sse4.2"))) void prefixesBySse42(const char* data, qsizetype size, quint32* prefix) {
    quint32 c = 0xFFFFFFFFu;
    for (qsizetype i = 0; i < size; ++i) {
        c = _mm_crc32_u8(c, static_cast<unsigned char>(data[i]));
        prefix[i + 1] = c ^ 0xFFFFFFFFu;
    }
}

__attribute__((target("sse4.2"))) void crcsBySse42(const char* const* data, const qsizetype* sizes, int count,
                                                   quint32* out) {
    if (count < MaxStretches) {
        for (int i = 0; i < count; ++i)
            out[i] = advanceBySse42(0xFFFFFFFFu, data[i], sizes[i]) ^ 0xFFFFFFFFu;
        return;
    }
    // The bytes all four stretches have, eight at a time from each: four independent chains.
    const qsizetype common =
        std::min(std::min(sizes[0], sizes[1]), std::min(sizes[2], sizes[3])) & ~qsizetype(7);
    const char* p0 = data[0];
    const char* p1 = data[1];
    const char* p2 = data[2];
    const char* p3 = data[3];
    quint64 c0 = 0xFFFFFFFFu, c1 = 0xFFFFFFFFu, c2 = 0xFFFFFFFFu, c3 = 0xFFFFFFFFu;
    for (qsizetype i = 0; i < common; i += 8) {
        quint64 v0, v1, v2, v3;
        std::memcpy(&v0, p0 + i, 8);
        std::memcpy(&v1, p1 + i, 8);
        std::memcpy(&v2, p2 + i, 8);
        std::memcpy(&v3, p3 + i, 8);
        c0 = _mm_crc32_u64(c0, v0);
        c1 = _mm_crc32_u64(c1, v1);
        c2 = _mm_crc32_u64(c2, v2);
        c3 = _mm_crc32_u64(c3, v3);
    }
    out[0] = advanceBySse42(static_cast<quint32>(c0), p0 + common, sizes[0] - common) ^ 0xFFFFFFFFu;
    out[1] = advanceBySse42(static_cast<quint32>(c1), p1 + common, sizes[1] - common) ^ 0xFFFFFFFFu;
    out[2] = advanceBySse42(static_cast<quint32>(c2), p2 + common, sizes[2] - common) ^ 0xFFFFFFFFu;
    out[3] = advanceBySse42(static_cast<quint32>(c3), p3 + common, sizes[3] - common) ^ 0xFFFFFFFFu;
}

bool hasSse42() {
    static const bool has = __builtin_cpu_supports("sse4.2");
    return has;
}
#endif

quint32 advance(Crc kind, quint32 c, const char* data, qsizetype size) {
    if (kind == Crc::Ieee)
        return advanceByTable(IeeeTables, c, data, size);
#ifdef VELMORA_CRC32C_SSE42
    if (hasSse42())
        return advanceBySse42(c, data, size);
#endif
    return advanceByTable(CastagnoliTables, c, data, size);
}

// a times b modulo the polynomial, both reflected (the highest bit stands for x^0).
quint32 multiply(quint32 a, quint32 b, quint32 poly) {
    quint32 product = 0;
    for (quint32 m = 1u << 31; m != 0; m >>= 1) {
        if (a & m)
            product ^= b;
        b = (b & 1) ? (b >> 1) ^ poly : b >> 1;
    }
    return product;
}

} // namespace

void crcs(Crc kind, const char* const* data, const qsizetype* sizes, int count, quint32* out) {
#ifdef VELMORA_CRC32C_SSE42
    if (kind == Crc::Castagnoli && hasSse42()) {
        crcsBySse42(data, sizes, count, out);
        return;
    }
#endif
    for (int i = 0; i < count; ++i)
        out[i] = crc(kind, data[i], sizes[i]);
}

Crc crcOfVersion(quint16 version) {
    return version <= 1 ? Crc::Ieee : Crc::Castagnoli;
}

quint32 crc(Crc kind, const char* data, qsizetype size) {
    return advance(kind, 0xFFFFFFFFu, data, size) ^ 0xFFFFFFFFu;
}

StretchChecksums::StretchChecksums(Crc kind)
    : m_kind(kind), m_poly(kind == Crc::Ieee ? IeeePoly : CastagnoliPoly) {
    quint32 p = 1u << 30; // x^1
    for (quint32& power : m_powers) {
        power = p;
        p = multiply(p, p, m_poly);
    }
}

void StretchChecksums::build(const char* data, qsizetype size) {
    m_prefix.resize(static_cast<std::size_t>(size) + 1);
    m_prefix[0] = 0;
#ifdef VELMORA_CRC32C_SSE42
    if (m_kind == Crc::Castagnoli && hasSse42()) {
        prefixesBySse42(data, size, m_prefix.data());
        return;
    }
#endif
    const auto& t = m_kind == Crc::Ieee ? IeeeTables[0] : CastagnoliTables[0];
    quint32 c = 0xFFFFFFFFu;
    for (qsizetype i = 0; i < size; ++i) {
        c = t[(c ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (c >> 8);
        m_prefix[static_cast<std::size_t>(i) + 1] = c ^ 0xFFFFFFFFu;
    }
}

quint32 StretchChecksums::of(qsizetype from, qsizetype to) const {
    // crc(A B) = crc(A) * x^(8 |B|) + crc(B): the checksum of B is what the prefix up to its end
    // holds beyond the prefix up to its start, moved on by B's length.
    quint32 shift = 1u << 31; // x^0
    quint64 bits = static_cast<quint64>(to - from) * 8;
    for (std::size_t k = 0; bits != 0; ++k, bits >>= 1)
        if (bits & 1)
            shift = multiply(m_powers[k], shift, m_poly);
    return m_prefix[static_cast<std::size_t>(to)] ^
           multiply(shift, m_prefix[static_cast<std::size_t>(from)], m_poly);
}

} // namespace iislog::format
