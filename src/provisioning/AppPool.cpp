#include "provisioning/AppPool.h"

#include "platform/Accounts.h"
#include "platform/Metabase.h"
#include "platform/Pacing.h"

using namespace Qt::Literals::StringLiterals;

namespace AppPool {

int CreateFtpVirtualDir(platform::Metabase& metabase, std::int32_t ftpSiteNumber, const QString& folder,
                        const QString& name, platform::Error* error) {
    auto root = metabase.Bind(u"IIS://localhost/MSFTPSVC/"_s + QString::number(ftpSiteNumber) + u"/ROOT"_s);
    if (!root) {
        if (error)
            *error = root.error();
        return 0;
    }
    auto dir = root.value()->Create(u"IIsFtpVirtualDir"_s, name);
    if (!dir) {
        if (error)
            *error = dir.error();
        return 0;
    }
    dir.value()->Put(u"Path"_s, folder);
    dir.value()->Put(u"AccessRead"_s, true);
    dir.value()->Put(u"AccessWrite"_s, true);
    // The directory exists only once it is stored.
    if (auto stored = dir.value()->SetInfo(); !stored) {
        if (error)
            *error = stored.error();
        return 0;
    }
    return 1;
}

platform::Status CreateAppPool(platform::Metabase& metabase, const QString& name) {
    auto pools = metabase.Bind(u"IIS://localhost/w3svc/AppPools"_s);
    if (!pools)
        return pools.error();
    auto pool = pools.value()->Create(u"IIsApplicationPool"_s, name);
    if (!pool)
        return pool.error();
    return pool.value()->SetInfo();
}

SiteUser CreateSiteUser(const RunCommand& run, platform::Pacing& pacing, platform::Accounts& accounts,
                        const QString& name, const QString& password) {
    const QString add =
        u"cmd.exe /c net user "_s + name + u' ' + password +
        u" /add /fullname:\"Internet 来宾和FTP帐户\" /comment:\"Velmora创建匿名访问 Internet 信息服务的帐户\"  /passwordchg:no"_s;
    const auto added = run(add);
    pacing.Delay(100);
    SiteUser result;
    result.created = added && added.value().exitCode == 0;
    if (!result.created)
        return result;
    run(u"cmd.exe /c net localgroup Users "_s + name + u" /delete"_s);
    run(u"cmd.exe /c net localgroup velmorausers "_s + name + u" /add"_s);
    result.flags = SetUserFlags(accounts, name);
    return result;
}

platform::Status SetUserFlags(platform::Accounts& accounts, const QString& name) {
    auto names = accounts.Win32UserAccountNames();
    if (!names)
        return names.error();
    // The whole list is walked, also after a match; the comparison keeps letter case.
    for (const QString& account : names.value()) {
        if (account != name)
            continue;
        auto flags = accounts.UserFlags(account);
        if (!flags)
            return flags.error();
        if (flags.value() & platform::userflags::DontExpirePasswd)
            continue;
        if (auto put = accounts.PutUserFlags(account, flags.value() ^ platform::userflags::DontExpirePasswd);
            !put)
            return put;
    }
    return {};
}

platform::Status SetAnonymousUser(platform::Metabase& metabase, platform::Pacing& pacing,
                                  const QString& siteNumber, const QString& name, const QString& password) {
    pacing.DoEvents();
    auto site = metabase.Bind(u"IIS://127.0.0.1/w3svc/"_s + siteNumber);
    if (!site)
        return site.error();
    auto root = site.value()->GetObject(u"IISWebVirtualDir"_s, u"root"_s);
    if (!root)
        return root.error();
    for (platform::MetabaseObject* object : {root.value().get(), site.value().get()}) {
        object->Put(u"AuthFlags"_s, 5);
        object->Put(u"AnonymousUserName"_s, name);
        object->Put(u"AnonymousUserPass"_s, password);
        if (auto stored = object->SetInfo(); !stored)
            return stored;
    }
    return {};
}

} // namespace AppPool
