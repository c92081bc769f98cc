// velmora-machine facts: shows or sets the machine's facts.

#include "tools/velmora-machine/Subcommand.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/machine/Database.h"
#include "emulation/machine/Machine.h"
#include "emulation/machine/MachineInfo.h"

#include <QDate>
#include <QHostAddress>

using namespace Qt::Literals::StringLiterals;

namespace velmora_machine {

namespace {

// Checks a new value of a settable fact and brings it to its stored form.
platform::Outcome<QString> factValue(const QString& name, const QString& given) {
    using platform::Error;
    using platform::hr::InvalidArgument;
    if (name == u"name"_s) {
        if (!emulation::accounts::AccountStore::validName(given) || given.size() > 15 || given.contains(u' '))
            return Error{InvalidArgument, u"计算机名无效：%1"_s.arg(given)};
        return given.toUpper();
    }
    if (name == u"build"_s) {
        if (given.toUInt() == 0)
            return Error{InvalidArgument, u"版本号无效：%1"_s.arg(given)};
        return given;
    }
    if (name == u"addresses"_s) {
        const auto adapters = emulation::machine::MachineInfo::parseAddresses(given);
        for (const QStringList& adapter : adapters)
            for (const QString& a : adapter)
                if (QHostAddress(a).protocol() != QAbstractSocket::IPv4Protocol)
                    return Error{InvalidArgument, u"不是 IPv4 地址：%1"_s.arg(a)};
        return emulation::machine::MachineInfo::formatAddresses(adapters);
    }
    if (!given.isEmpty() && !QDate::fromString(given, u"yyyy-MM-dd"_s).isValid())
        return Error{InvalidArgument, u"日期无效（应为 yyyy-MM-dd）：%1"_s.arg(given)};
    return given;
}

} // namespace

int runFacts(const Invocation& invocation) {
    static const QStringList settable{u"build"_s, u"name"_s, u"addresses"_s, u"date"_s};
    const QStringList& args = invocation.arguments();
    if (!args.isEmpty() && (args.size() != 3 || args[0] != u"set"_s))
        return invocation.usageError(u"facts 只接受“set 名称 值”"_s);
    if (!args.isEmpty() && !settable.contains(args[1]))
        return invocation.usageError(
            u"不能设置的事实：%1（可以设置 %2）"_s.arg(args[1], settable.join(u"、"_s)));
    auto machine = invocation.openMachine();
    if (!machine)
        return invocation.fail(machine.error().text);
    emulation::machine::Machine& m = *machine.value();
    if (args.isEmpty()) {
        for (const QString& name :
             {u"name"_s, u"build"_s, u"version"_s, u"servicepack"_s, u"addresses"_s, u"date"_s,
              u"service.iisadmin"_s, u"service.w3svc"_s, u"service.msftpsvc"_s, u"service.winmgmt"_s})
            print(stdout, name + u" = "_s + m.fact(name) + u'\n');
        return ExitOk;
    }
    const auto value = factValue(args[1], args[2]);
    if (!value)
        return invocation.fail(value.error().text);
    emulation::machine::Database::Transaction tx(m.db());
    if (args[1] == u"name"_s) {
        // Renamed as Windows renames a computer: its local accounts now belong to the new name,
        // and keep their names and SIDs (IUSR_ and IWAM_ keep the old name in theirs).
        auto st = m.db().prepare("UPDATE principals SET domain = ?2 WHERE domain = ?1 COLLATE NOCASE");
        st.bind(1, m.fact(u"name"_s)).bind(2, value.value());
        st.run();
    }
    m.setFact(args[1], value.value());
    if (!tx.commit())
        return invocation.fail(m.db().lastError());
    return ExitOk;
}

} // namespace velmora_machine
