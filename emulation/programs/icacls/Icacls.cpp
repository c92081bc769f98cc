// icacls.exe (Windows Server 2003 SP2): shows and edits access-control lists with inheritance
// flags and specific rights.

#include "emulation/programs/icacls/Icacls.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/programs/Acl.h"

#include <QRegularExpression>

namespace emulation::programs {

using accounts::Ace;
using accounts::formatIcaclsPermission;
using accounts::IcaclsPermission;
using accounts::parseIcaclsPermission;
namespace rights = accounts::rights;
using files::WinPath;
namespace fserr = files::fserr;

using namespace Qt::Literals::StringLiterals;

namespace {

struct Action {
    enum Kind { Grant, GrantReplace, Deny, Remove, RemoveGrants, RemoveDenies } kind;
    QString sid;
    IcaclsPermission permission;
};

// "*S-1-5-..." names a principal by its SID, also one whose account is gone; any other text is
// an account name. Empty when it names nobody.
QString sidOf(ProgramContext& ctx, const QString& name) {
    if (name.startsWith(u'*')) {
        static const QRegularExpression sidForm(u"^S-1-\\d+(-\\d+)*$"_s,
                                                QRegularExpression::CaseInsensitiveOption);
        const QString sid = name.mid(1).toUpper();
        return sidForm.match(sid).hasMatch() ? sid : QString();
    }
    const auto who = ctx.accounts.lookup(name);
    return who ? who->sid : QString();
}

QString summary(int ok, int failed) {
    return u"已成功处理 %1 个文件; 处理 %2 个文件时失败"_s.arg(ok).arg(failed);
}

void applyAction(std::vector<Ace>& aces, const Action& a) {
    switch (a.kind) {
    case Action::Remove:
        std::erase_if(aces, [&](const Ace& x) { return x.sid == a.sid; });
        return;
    case Action::RemoveGrants:
        std::erase_if(aces, [&](const Ace& x) { return x.sid == a.sid && !x.deny; });
        return;
    case Action::RemoveDenies:
        std::erase_if(aces, [&](const Ace& x) { return x.sid == a.sid && x.deny; });
        return;
    case Action::GrantReplace:
        // Replaces every explicit grant of the account; its denials stay.
        std::erase_if(aces, [&](const Ace& x) { return x.sid == a.sid && !x.deny; });
        [[fallthrough]];
    case Action::Grant:
    case Action::Deny: {
        const bool deny = a.kind == Action::Deny;
        if (deny) {
            // The rights denied are taken out of the account's explicit grants.
            const std::uint32_t taken = rights::mapGeneric(a.permission.mask);
            for (Ace& x : aces)
                if (x.sid == a.sid && !x.deny && (rights::mapGeneric(x.mask) & taken))
                    x.mask = rights::mapGeneric(x.mask) & ~taken;
            std::erase_if(aces, [&](const Ace& x) { return x.sid == a.sid && !x.deny && x.mask == 0; });
        }
        for (Ace& x : aces)
            if (x.sid == a.sid && x.deny == deny && x.flags == a.permission.flags) {
                x.mask |= a.permission.mask; // merged into the entry of the same inheritance
                return;
            }
        aces.push_back({deny, a.sid, a.permission.mask, a.permission.flags});
        return;
    }
    }
}

} // namespace

int icacls_main(ProgramContext& ctx, const QStringList& args, const QString&) {
    if (args.isEmpty() || args[0].startsWith(u'/')) {
        ctx.println(u"ICACLS name /save aclfile [/T] [/C] [/L] [/Q]\r\n"
                    "ICACLS name [/grant[:r] Sid:perm[...]]\r\n"
                    "       [/deny Sid:perm [...]]\r\n"
                    "       [/remove[:g|:d]] Sid[...]] [/T] [/C] [/L] [/Q]"_s);
        return 87;
    }
    QList<Action> actions;
    bool tree = false, quiet = false, continueOnError = false;
    std::optional<Action::Kind> mode;
    for (const QString& a : args.mid(1)) {
        const QString sw = a.toLower();
        if (sw == u"/t"_s) {
            tree = true;
        } else if (sw == u"/c"_s) {
            continueOnError = true;
        } else if (sw == u"/q"_s) {
            quiet = true;
        } else if (sw == u"/l"_s) {
            continue;
        } else if (sw == u"/grant"_s || sw == u"/grant:r"_s || sw == u"/deny"_s || sw == u"/remove"_s ||
                   sw == u"/remove:g"_s || sw == u"/remove:d"_s) {
            mode = sw == u"/grant"_s      ? Action::Grant
                   : sw == u"/grant:r"_s  ? Action::GrantReplace
                   : sw == u"/deny"_s     ? Action::Deny
                   : sw == u"/remove"_s   ? Action::Remove
                   : sw == u"/remove:g"_s ? Action::RemoveGrants
                                          : Action::RemoveDenies;
        } else if (mode && !a.startsWith(u'/')) {
            const bool removing =
                *mode == Action::Remove || *mode == Action::RemoveGrants || *mode == Action::RemoveDenies;
            QString name = a;
            IcaclsPermission permission;
            if (!removing) {
                const qsizetype colon = a.indexOf(u':', a.indexOf(u'\\') + 1);
                const auto parsed = colon > 0 ? parseIcaclsPermission(a.mid(colon + 1)) : std::nullopt;
                if (!parsed) {
                    ctx.eprintln(u"无效参数“%1”"_s.arg(a));
                    return 87;
                }
                name = a.left(colon);
                permission = *parsed;
            }
            const QString sid = sidOf(ctx, name);
            if (sid.isEmpty()) {
                ctx.eprintln(u"%1: 帐户名与安全标识间无任何映射完成。"_s.arg(name));
                ctx.println(summary(0, 1));
                return 1332;
            }
            actions.append({*mode, sid, permission});
        } else {
            ctx.eprintln(u"无效参数“%1”"_s.arg(a));
            return 87;
        }
    }
    if (mode && actions.isEmpty()) {
        ctx.eprintln(u"无效参数“%1”"_s.arg(args.last()));
        return 87;
    }
    const WinPath root = WinPath::parse(args[0]);
    if (root.problem == WinPath::Problem::TooLong) {
        ctx.eprintln(u"%1: %2"_s.arg(args[0], fserr::TooLong));
        ctx.println(summary(0, 1));
        return 206;
    }
    if (!root.valid() || !ctx.files.exists(root)) {
        ctx.eprintln(u"%1: 系统找不到指定的文件。"_s.arg(args[0]));
        ctx.println(summary(0, 1));
        return 2;
    }
    int ok = 0;
    if (actions.isEmpty()) {
        acl::printList(ctx, root, [&](const Ace& ace) {
            return acl::displayName(ctx.accounts, ace.sid) + u':' +
                   formatIcaclsPermission(ace.mask, ace.flags, ace.deny);
        });
        ctx.println();
        ctx.println(summary(1, 0));
        return 0;
    }
    int failed = 0;
    for (const WinPath& object : acl::objects(ctx.files, root, tree)) {
        const bool folder = ctx.files.isFolder(object);
        const bool stored = ctx.files.editExplicitAces(object, [&](std::vector<Ace>& aces) {
            for (Action a : actions) {
                if (!folder)
                    a.permission.flags = 0; // inheritance applies to folders only
                applyAction(aces, a);
            }
        });
        if (!stored) {
            // Without /C icacls stops at the first object it could not change.
            ctx.eprintln(ctx.files.displayPath(object) + u": "_s + fserr::InUse);
            ++failed;
            if (!continueOnError)
                break;
            continue;
        }
        if (!quiet)
            ctx.println(u"已处理的文件: "_s + ctx.files.displayPath(object));
        ++ok;
    }
    ctx.println(summary(ok, failed));
    return failed ? fserr::InUseCode : 0;
}

} // namespace emulation::programs
