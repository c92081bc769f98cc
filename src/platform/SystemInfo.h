#pragma once

#include "platform/Outcome.h"

#include <QDate>
#include <QList>
#include <QStringList>

#include <cstdint>

namespace platform {

// GetVersionExA's record: five numbers, then a 128-byte service-pack text that is not kept.
struct OsVersionRecord {
    std::uint32_t dwOSVersionInfoSize = 0;
    std::uint32_t dwMajorVersion = 0;
    std::uint32_t dwMinorVersion = 0;
    std::uint32_t dwBuildNumber = 0;
    std::uint32_t dwPlatformId = 0;
};

// Facts of the server: its Windows version, its network adapters as WMI reports them, today's date.
class SystemInfo {
public:
    virtual ~SystemInfo() = default;
    // The record size must be 148 (the full record with its service-pack text).
    virtual Outcome<OsVersionRecord> GetVersionEx(std::uint32_t recordSize) = 0;
    // "Select * from Win32_NetworkAdapterConfiguration where IPEnabled=TRUE": the ipaddress list
    // of each adapter, in the query's order (an adapter without addresses has an empty list).
    virtual Outcome<QList<QStringList>> IPEnabledAdapterAddresses() = 0;
    virtual QDate Today() = 0;
};

} // namespace platform
