#pragma once

#include "platform/Outcome.h"

#include <QString>
#include <QStringList>

#include <cstdint>

namespace platform {
class SystemInfo;
} // namespace platform

namespace GetipAdd {

// Fills list with every address of every IP-enabled adapter, adapters and addresses in the order
// the management service reports them, duplicates kept; returns the highest index (-1 for none).
platform::Outcome<std::int16_t> GetLocalIPs(platform::SystemInfo& system, QStringList& list);

} // namespace GetipAdd
