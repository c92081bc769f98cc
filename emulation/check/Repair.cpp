#include "emulation/check/Repair.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/cmd/Interpreter.h"
#include "emulation/machine/Database.h"
#include "emulation/machine/Machine.h"
#include "emulation/metabase/MetabaseStore.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>

namespace emulation::check {

using namespace Qt::Literals::StringLiterals;

namespace {

// A line of the machine's journal, in the form the command interpreter writes its own.
void journal(machine::Machine& machine, const QString& what, const platform::Status& outcome) {
    QFile f(machine.folder() + u"/journal.log"_s);
    if (!f.open(QIODevice::Append))
        return;
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QString entry = QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss.zzz"_s) +
                          u"\tvelmora-machine check --repair: "_s + what + u'\t' +
                          (outcome ? u"exit 0"_s : u"exit 1\n\t| "_s + outcome.error().text) + u'\n';
    f.write(entry.toUtf8());
}

platform::Status run(machine::Machine& machine, const QString& line) {
    const auto result = machine.interpreter().RunHidden(line);
    if (!result)
        return result.error();
    if (result.value().exitCode != 0)
        return platform::Error{platform::hr::Fail, result.value().output.trimmed()};
    return {};
}

// "/LM/W3SVC/AppPools/x" -> ("/LM/W3SVC/AppPools", "x").
std::pair<QString, QString> splitKey(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return {path.left(slash), path.mid(slash + 1)};
}

platform::Status deleteKey(machine::Machine& machine, const QString& path, const QString& cls) {
    const auto [parentPath, name] = splitKey(path);
    auto parent = machine.metabase().bindPath(parentPath);
    platform::Status s = parent ? parent.value()->Delete(cls, name) : platform::Status(parent.error());
    journal(machine, u"删除元数据库项 "_s + path, s);
    return s;
}

platform::Status resetPool(machine::Machine& machine, const Finding& f) {
    machine::Database& db = machine.db();
    machine::Database::Transaction tx(db); // the site's keys change together
    if (!tx.ok())
        return platform::Error{platform::hr::Fail, db.lastError()};
    platform::Status s;
    for (const QString& path : f.argument.split(u'\n', Qt::SkipEmptyParts)) {
        auto key = machine.metabase().bindPath(path);
        if (!key) {
            s = key.error();
            break;
        }
        key.value()->Put(u"AppPoolId"_s, platform::MetaValue(u"DefaultAppPool"_s));
        if (s = key.value()->SetInfo(); !s)
            break;
    }
    if (s && !tx.commit())
        s = platform::Error{platform::hr::Fail, db.lastError()};
    journal(machine, u"%1 的 AppPoolId 设为 DefaultAppPool"_s.arg(f.argument.split(u'\n').join(u", "_s)), s);
    return s;
}

// A password that a command line carries unchanged: no blanks, quotes or characters cmd.exe or
// net treat specially.
bool plainOnCommandLine(const QString& password) {
    static const QRegularExpression plain(u"^[A-Za-z0-9!#$*+,.:;=?@_~\\-\\[\\]{}]+$"_s);
    return plain.match(password).hasMatch() && !password.startsWith(u'/');
}

platform::Status syncPassword(machine::Machine& machine, const Finding& f) {
    // The password as the site's root reads it now, through the metabase's own inheritance.
    auto root = machine.metabase().Bind(u"IIS://LocalHost/W3SVC/"_s + f.site + u"/ROOT"_s);
    if (!root)
        return root.error();
    const auto password = root.value()->Get(u"AnonymousUserPass"_s);
    if (!password)
        return password.error();
    const QString pass = password.value().toString();
    if (plainOnCommandLine(pass))
        return run(machine, u"cmd.exe /c net user "_s + f.argument + u' ' + pass);
    // A password the command line would change is set by the account store itself.
    const std::uint32_t rc = machine.accounts().setPassword(f.argument, pass);
    platform::Status s = rc == 0 ? platform::Status()
                                 : platform::Status(platform::Error{platform::hr::Fail, QString::number(rc)});
    journal(machine, u"帐户 %1 的密码设为元数据库中的匿名用户密码"_s.arg(f.argument), s);
    return s;
}

QString quoted(const QString& path) {
    return u'"' + path + u'"';
}

platform::Status secureRoot(machine::Machine& machine, const QString& root) {
    const QString p = quoted(root);
    const QStringList lines = {
        u"cmd.exe /c icacls "_s + p + u" /grant iis_wpg:(OI)(CI)(RA,REA,RC,RD,S)"_s,
        u"cmd.exe /c icacls "_s + p + u" /remove:g administrators"_s,
        u"cmd.exe /c icacls "_s + p + u" /remove:g system"_s,
        u"cmd.exe /c cacls "_s + p + u" /t /e /r users"_s,
        u"cmd.exe /c cacls "_s + p + u" /t /e /r \"CREATOR OWNER\""_s,
    };
    platform::Status first;
    for (const QString& line : lines)
        if (auto s = run(machine, line); !s && first)
            first = s;
    return first;
}

platform::Status mend(machine::Machine& machine, const Result& found, const Finding& f) {
    switch (f.repair) {
    case Repair::None:
        break;
    case Repair::DeletePool:
        return deleteKey(machine, f.argument, u"IIsApplicationPool"_s);
    case Repair::DeleteFtpDirectory:
        return deleteKey(machine, f.argument, u"IIsFtpVirtualDir"_s);
    case Repair::ResetPool:
        return resetPool(machine, f);
    case Repair::RemoveAces:
        return run(machine, u"cmd.exe /c icacls "_s + quoted(f.object) + u" /remove "_s + f.argument);
    case Repair::SecureRoot:
        return secureRoot(machine, found.sitesRoot);
    case Repair::DisableAccount:
        return run(machine, u"cmd.exe /c net user "_s + f.argument + u" /active:no"_s);
    case Repair::SyncAnonymousPassword:
        return syncPassword(machine, f);
    }
    return {};
}

} // namespace

std::vector<Repaired> repair(machine::Machine& machine, const Result& found) {
    std::vector<Repaired> out;
    for (const Finding& f : found.findings) {
        if (f.repair == Repair::None)
            continue;
        const platform::Status s = mend(machine, found, f);
        out.push_back({f, s.ok(), s ? QString() : s.error().text});
    }
    return out;
}

platform::Outcome<Result> repairAll(machine::Machine& machine, const Result& found,
                                    std::vector<Repaired>& repaired) {
    Result current = found;
    for (int round = 0; round < 4; ++round) {
        const auto done = repair(machine, current);
        repaired.insert(repaired.end(), done.begin(), done.end());
        const bool mended = std::any_of(done.begin(), done.end(), [](const Repaired& r) { return r.ok; });
        auto again = run(machine);
        if (!again)
            return again.error();
        current = std::move(again.value());
        const bool more = std::any_of(current.findings.begin(), current.findings.end(),
                                      [](const Finding& f) { return f.repair != Repair::None; });
        if (!mended || !more)
            break;
    }
    return current;
}

} // namespace emulation::check
