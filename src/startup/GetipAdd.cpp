#include "startup/GetipAdd.h"

#include "platform/SystemInfo.h"

namespace GetipAdd {

platform::Outcome<std::int16_t> GetLocalIPs(platform::SystemInfo& system, QStringList& list) {
    list.clear();
    auto adapters = system.IPEnabledAdapterAddresses();
    if (!adapters)
        return adapters.error();
    for (const QStringList& addresses : adapters.value())
        list << addresses;
    return static_cast<std::int16_t>(list.size() - 1);
}

} // namespace GetipAdd
