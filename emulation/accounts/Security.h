#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace emulation::accounts {

// File access rights and inheritance flags as Windows keeps them in access-control entries.
namespace rights {
inline constexpr std::uint32_t ReadData = 0x1;                   // RD: read data / list folder
inline constexpr std::uint32_t WriteData = 0x2;                  // WD: write data / add file
inline constexpr std::uint32_t AppendData = 0x4;                 // AD: append data / add subfolder
inline constexpr std::uint32_t ReadEa = 0x8;                     // REA
inline constexpr std::uint32_t WriteEa = 0x10;                   // WEA
inline constexpr std::uint32_t Execute = 0x20;                   // X: execute / traverse
inline constexpr std::uint32_t DeleteChild = 0x40;               // DC
inline constexpr std::uint32_t ReadAttributes = 0x80;            // RA
inline constexpr std::uint32_t WriteAttributes = 0x100;          // WA
inline constexpr std::uint32_t Delete = 0x10000;                 // DE
inline constexpr std::uint32_t ReadControl = 0x20000;            // RC
inline constexpr std::uint32_t WriteDac = 0x40000;               // WDAC
inline constexpr std::uint32_t WriteOwner = 0x80000;             // WO
inline constexpr std::uint32_t Synchronize = 0x100000;           // S
inline constexpr std::uint32_t AccessSystemSecurity = 0x1000000; // AS
inline constexpr std::uint32_t MaximumAllowed = 0x2000000;       // MA
inline constexpr std::uint32_t GenericAll = 0x10000000;          // GA
inline constexpr std::uint32_t GenericExecute = 0x20000000;      // GE
inline constexpr std::uint32_t GenericWrite = 0x40000000;        // GW
inline constexpr std::uint32_t GenericRead = 0x80000000;         // GR

inline constexpr std::uint32_t Full = 0x1F01FF;         // F
inline constexpr std::uint32_t Modify = 0x1301BF;       // M
inline constexpr std::uint32_t ReadExecute = 0x1200A9;  // RX
inline constexpr std::uint32_t Read = 0x120089;         // R
inline constexpr std::uint32_t Write = 0x100116;        // W
inline constexpr std::uint32_t DeleteSimple = 0x110000; // D

// Generic rights turned into the file rights they stand for.
std::uint32_t mapGeneric(std::uint32_t mask);
} // namespace rights

namespace aceflags {
inline constexpr std::uint32_t ObjectInherit = 0x1;    // OI
inline constexpr std::uint32_t ContainerInherit = 0x2; // CI
inline constexpr std::uint32_t NoPropagate = 0x4;      // NP
inline constexpr std::uint32_t InheritOnly = 0x8;      // IO
inline constexpr std::uint32_t Inherited = 0x10;       // I (only when shown)
} // namespace aceflags

struct Ace {
    bool deny = false;
    QString sid;
    std::uint32_t mask = 0;
    std::uint32_t flags = 0;
    bool operator==(const Ace&) const = default;
};

// An icacls permission: "(OI)(CI)(RA,REA,RC,RD,S)", "(OI)(CI)F", "(DE)", "RX".
struct IcaclsPermission {
    std::uint32_t mask = 0;
    std::uint32_t flags = 0;
};
std::optional<IcaclsPermission> parseIcaclsPermission(const QString& text);
// "(OI)(CI)(F)" or "(OI)(CI)(RA,REA,RC,RD,S)", as icacls shows an entry.
QString formatIcaclsPermission(std::uint32_t mask, std::uint32_t flags, bool deny = false);

// The flags an entry found on an ancestor, depth levels up (1 = the parent), has on an object
// below it, with Inherited set (InheritOnly when it only passes on); nullopt when it does not
// reach the object. Files keep no inheritance flags; an entry that does not propagate (NP)
// loses them on the way.
std::optional<std::uint32_t> inheritedFlags(std::uint32_t flags, int depth, bool objectIsFolder);

// The rights that the given security identifiers hold under a list of entries in canonical order
// (explicit deny, explicit allow, inherited deny, inherited allow); inherit-only entries do not
// count for the object itself.
std::uint32_t grantedRights(const std::vector<Ace>& canonical, const QStringList& tokenSids);

} // namespace emulation::accounts

// Also reachable as emulation::rights, the name callers outside the emulation know it by.
namespace emulation {
namespace rights = accounts::rights;
}
