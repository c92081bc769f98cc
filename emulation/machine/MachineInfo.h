#pragma once

#include "platform/SystemInfo.h"

namespace emulation::machine {

class Machine;

// The machine's facts as GetVersionEx and WMI report them: build "build", addresses "addresses"
// (adapters separated by ";", the addresses of one adapter by blanks), the date "date"
// (yyyy-MM-dd; today's when not set), and the management service "service.winmgmt".
class MachineInfo final : public platform::SystemInfo {
public:
    explicit MachineInfo(Machine& machine) : m_machine(machine) {}
    platform::Outcome<platform::OsVersionRecord> GetVersionEx(std::uint32_t recordSize) override;
    platform::Outcome<QList<QStringList>> IPEnabledAdapterAddresses() override;
    QDate Today() override;

    // The text of the "addresses" fact for adapters.
    static QString formatAddresses(const QList<QStringList>& adapters);
    static QList<QStringList> parseAddresses(const QString& text);
    // This computer's IPv4 addresses, one list per network interface that is up, loopback left out.
    static QList<QStringList> hostAddresses();

private:
    Machine& m_machine;
};

} // namespace emulation::machine

// Also reachable as emulation::MachineInfo, the name callers outside the emulation know it by.
namespace emulation {
using machine::MachineInfo;
}
