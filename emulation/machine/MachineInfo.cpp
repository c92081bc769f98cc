#include "emulation/machine/MachineInfo.h"

#include "emulation/machine/Machine.h"

#include <QHostAddress>
#include <QNetworkInterface>

namespace emulation::machine {

using namespace Qt::Literals::StringLiterals;
using platform::Error;

platform::Outcome<platform::OsVersionRecord> MachineInfo::GetVersionEx(std::uint32_t recordSize) {
    // The record must say how big it is: the five numbers and the 128-byte service-pack text.
    if (recordSize != 148 && recordSize != 156)
        return Error{0x8007007A, u"传递给系统调用的数据区域太小。"_s};
    platform::OsVersionRecord r;
    r.dwOSVersionInfoSize = recordSize;
    const QStringList version = m_machine.fact(u"version"_s).split(u'.');
    r.dwMajorVersion = version.value(0).toUInt();
    r.dwMinorVersion = version.value(1).toUInt();
    r.dwBuildNumber = m_machine.fact(u"build"_s).toUInt();
    r.dwPlatformId = 2; // VER_PLATFORM_WIN32_NT
    return r;
}

platform::Outcome<QList<QStringList>> MachineInfo::IPEnabledAdapterAddresses() {
    if (m_machine.fact(u"service.winmgmt"_s) == u"stopped"_s)
        return Error{0x800706BA, u"RPC 服务器不可用。"_s};
    return parseAddresses(m_machine.fact(u"addresses"_s));
}

QDate MachineInfo::Today() {
    const QDate set = QDate::fromString(m_machine.fact(u"date"_s), u"yyyy-MM-dd"_s);
    return set.isValid() ? set : QDate::currentDate();
}

QString MachineInfo::formatAddresses(const QList<QStringList>& adapters) {
    QStringList parts;
    for (const QStringList& a : adapters)
        parts << a.join(u' ');
    return parts.join(u"; "_s);
}

QList<QStringList> MachineInfo::parseAddresses(const QString& text) {
    QList<QStringList> adapters;
    for (const QString& adapter : text.split(u';', Qt::SkipEmptyParts)) {
        const QStringList addresses = adapter.split(u' ', Qt::SkipEmptyParts);
        if (!addresses.isEmpty())
            adapters << addresses;
    }
    return adapters;
}

QList<QStringList> MachineInfo::hostAddresses() {
    QList<QStringList> adapters;
    for (const QNetworkInterface& nic : QNetworkInterface::allInterfaces()) {
        if (!(nic.flags() & QNetworkInterface::IsUp) || (nic.flags() & QNetworkInterface::IsLoopBack))
            continue;
        QStringList addresses;
        for (const QNetworkAddressEntry& e : nic.addressEntries())
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
                addresses << e.ip().toString();
        if (!addresses.isEmpty())
            adapters << addresses;
    }
    return adapters;
}

} // namespace emulation::machine
