// net.exe: NET USER and NET LOCALGROUP, with the messages of the Chinese edition.

#include "emulation/programs/net/Net.h"

#include "emulation/accounts/AccountStore.h"
#include "emulation/machine/Database.h"
#include "emulation/machine/Machine.h"

#include "platform/Accounts.h"

#include <QDate>
#include <QRegularExpression>

namespace emulation::programs {

using accounts::AccountStore;
using accounts::Principal;
namespace nerr = accounts::nerr;

using namespace Qt::Literals::StringLiterals;

namespace {

const QString Done = u"命令成功完成。"_s;
constexpr std::uint32_t InvalidHandle = 6;    // ERROR_INVALID_HANDLE: no console to read from
constexpr std::uint32_t NoSuchDomain = 1355;  // ERROR_NO_SUCH_DOMAIN: this machine is in no domain
constexpr std::uint32_t PasswdNotReqd = 0x20; // UF_PASSWD_NOTREQD

const QString UserSyntax = u"此命令的语法是:\r\n\r\n"
                           "NET USER\r\n"
                           "[username [password | *] [options]] [/DOMAIN]\r\n"
                           "         username {password | *} /ADD [options] [/DOMAIN]\r\n"
                           "         username [/DELETE] [/DOMAIN]\r\n"_s;

const QString LocalgroupSyntax = u"此命令的语法是:\r\n\r\n"
                                 "NET LOCALGROUP\r\n"
                                 "[groupname [/COMMENT:\"text\"]] [/DOMAIN]\r\n"
                                 "          groupname {/ADD [/COMMENT:\"text\"] | /DELETE}  [/DOMAIN]\r\n"
                                 "          groupname name [...] {/ADD | /DELETE} [/DOMAIN]\r\n"_s;

int syntax(ProgramContext& ctx, const QString& text) {
    ctx.print(text);
    return 1;
}

// The messages of NET HELPMSG and of system errors, as net prints them; exit status 2.
int fail(ProgramContext& ctx, std::uint32_t error) {
    // A change the database could not store for want of room is ERROR_DISK_FULL, whatever the
    // account store made of it.
    if (ctx.machine.db().diskFull()) {
        ctx.eprintln(u"发生系统错误 112。\r\n\r\n"_s + machine::Database::DiskFull);
        return 2;
    }
    struct Message {
        std::uint32_t error;
        const char16_t* text;
        bool helpmsg; // a NET message, with its HELPMSG line; otherwise a system error
    };
    static const Message Messages[] = {
        {nerr::BadUsername, u"用户名或组名参数无效。", true},
        {nerr::UserNotFound, u"找不到用户名。", true},
        {nerr::UserExists, u"帐户已存在。", true},
        {nerr::NoSuchMember, u"帐户名与安全标识间无任何映射完成。", false},
        {nerr::SpecialAccount, u"无法对内置帐户进行此操作。", false},
        {nerr::NoSuchAlias, u"指定的本地组不存在。", false},
        {nerr::MemberNotInAlias, u"指定的帐户名不是本地组的成员。", false},
        {nerr::MemberInAlias, u"指定的帐户名已是此组的成员。", false},
        {nerr::AliasExists, u"指定的本地组已存在。", false},
        {nerr::Fail, u"内部错误。", false},
        {InvalidHandle, u"句柄无效。", false},
        {NoSuchDomain, u"指定的域不存在，或无法联系。", false},
    };
    for (const Message& m : Messages) {
        if (m.error != error)
            continue;
        const QString text = QString::fromUtf16(m.text);
        if (m.helpmsg)
            ctx.eprintln(text + u"\r\n\r\n请键入 NET HELPMSG %1 以获得更多的帮助。"_s.arg(error));
        else
            ctx.eprintln(u"发生系统错误 %1。\r\n\r\n"_s.arg(error) + text);
        return 2;
    }
    ctx.eprintln(u"发生系统错误 %1。"_s.arg(error));
    return 2;
}

struct Parsed {
    QStringList words;               // arguments that are not switches
    std::map<QString, QString> opts; // switches by upper-case name, with their values
    QString unknown;                 // the first switch net does not know
};

Parsed parse(const QStringList& args, const QStringList& known) {
    Parsed p;
    for (const QString& a : args) {
        if (!a.startsWith(u'/') || a.size() == 1) {
            p.words << a;
            continue;
        }
        const qsizetype colon = a.indexOf(u':');
        const QString name = (colon < 0 ? a.mid(1) : a.mid(1, colon - 1)).toUpper();
        if (!known.contains(name)) {
            if (p.unknown.isEmpty())
                p.unknown = a;
            continue;
        }
        p.opts[name] = colon < 0 ? QString() : a.mid(colon + 1);
    }
    return p;
}

// NET HELPMSG 3952: a switch with a value net does not take; nothing changes.
int invalidValue(ProgramContext& ctx, const QString& option) {
    ctx.eprintln(
        u"您为 /%1 选项输入了无效的值。\r\n\r\n请键入 NET HELPMSG 3952 以获得更多的帮助。"_s.arg(option));
    return 2;
}

// /EXPIRES:NEVER, or a day as net takes it on a Chinese system: yyyy/m/d, yyyy-m-d, m/d/yyyy,
// m/d/yy or mmm,d,yyyy. An invalid date stands for never; nullopt for a value that is no date.
std::optional<QDate> expiryDate(const QString& value) {
    if (value.compare(u"NEVER"_s, Qt::CaseInsensitive) == 0)
        return QDate();
    static const QStringList Months{u"JAN"_s, u"FEB"_s, u"MAR"_s, u"APR"_s, u"MAY"_s, u"JUN"_s,
                                    u"JUL"_s, u"AUG"_s, u"SEP"_s, u"OCT"_s, u"NOV"_s, u"DEC"_s};
    const QStringList parts = value.split(QRegularExpression(u"[/,-]"_s));
    if (parts.size() != 3)
        return std::nullopt;
    bool ok[3] = {false, false, false};
    int n[3] = {parts[0].toInt(&ok[0]), parts[1].toInt(&ok[1]), parts[2].toInt(&ok[2])};
    if (!ok[0]) {
        const qsizetype month = Months.indexOf(parts[0].left(3).toUpper());
        if (month < 0 || parts[0].size() < 3)
            return std::nullopt;
        n[0] = static_cast<int>(month) + 1;
        ok[0] = true;
    }
    if (!ok[1] || !ok[2])
        return std::nullopt;
    QDate day;
    if (parts[0].size() == 4)
        day = QDate(n[0], n[1], n[2]); // year first
    else
        day = QDate(n[2] < 100 ? (n[2] < 50 ? 2000 : 1900) + n[2] : n[2], n[0], n[1]);
    if (!day.isValid())
        return std::nullopt;
    return day;
}

// net asks for the password at its console and reads it without echo; a pipe may answer it. A
// hidden window has nobody to answer: nullopt.
std::optional<QString> askPassword(ProgramContext& ctx) {
    ctx.print(u"请键入用户的密码: "_s);
    const auto first = ctx.readLine();
    ctx.println();
    if (!first)
        return std::nullopt;
    ctx.print(u"请再键入一次密码以便确认: "_s);
    const auto second = ctx.readLine();
    ctx.println();
    if (!second || *second != *first)
        return std::nullopt;
    return first;
}

QString padded(const QString& label, const QString& value) {
    // net lines its values up in a column; a Chinese character takes two places.
    int width = 0;
    for (QChar c : label)
        width += c.unicode() > 0x2E80 ? 2 : 1;
    return label + QString(std::max(1, 29 - width), u' ') + value;
}

int showUser(ProgramContext& ctx, const Principal& user) {
    auto yesNo = [](bool b) {
        return b ? u"Yes"_s : u"No"_s;
    };
    ctx.println(padded(u"用户名"_s, user.name));
    ctx.println(padded(u"全名"_s, user.fullName));
    ctx.println(padded(u"注释"_s, user.comment));
    ctx.println(padded(u"用户的注释"_s, QString()));
    ctx.println(padded(u"国家(地区)代码"_s, u"000 (系统默认值)"_s));
    ctx.println(padded(u"帐户启用"_s, yesNo(!(user.flags & platform::userflags::AccountDisable))));
    const auto expires = ctx.accounts.expiryOf(user.sid);
    ctx.println(
        padded(u"帐户到期"_s, expires ? expires->toString(u"yyyy-M-d"_s) + u" 0:00:00"_s : u"从不"_s));
    ctx.println();
    ctx.println(
        padded(u"密码到期"_s, user.flags & platform::userflags::DontExpirePasswd ? u"从不"_s : u"42 天后"_s));
    ctx.println(padded(u"用户可以更改密码"_s, yesNo(!(user.flags & platform::userflags::PasswdCantChange))));
    ctx.println(padded(u"需要密码"_s, yesNo(!(user.flags & PasswdNotReqd))));
    ctx.println();
    QStringList groups;
    for (const Principal& g : ctx.accounts.groupsOf(user.sid))
        if (g.isGroup())
            groups << u'*' + g.name;
    ctx.println(padded(u"本地组成员"_s, groups.join(u"  "_s)));
    ctx.println(padded(u"全局组成员"_s, u"*None"_s));
    ctx.println(Done);
    return 0;
}

int netUser(ProgramContext& ctx, const QStringList& args) {
    const Parsed p =
        parse(args, {u"ADD"_s, u"DELETE"_s, u"DEL"_s, u"FULLNAME"_s, u"COMMENT"_s, u"PASSWORDCHG"_s,
                     u"ACTIVE"_s, u"EXPIRES"_s, u"PASSWORDREQ"_s, u"DOMAIN"_s});
    if (!p.unknown.isEmpty()) {
        ctx.eprintln(u"选项 %1 未知。\r\n"_s.arg(p.unknown.toUpper()));
        return syntax(ctx, UserSyntax);
    }
    if (p.opts.count(u"DOMAIN"_s))
        return fail(ctx, NoSuchDomain); // a stand-alone server has no domain controller to ask
    const bool add = p.opts.count(u"ADD"_s) > 0;
    const bool del = p.opts.count(u"DELETE"_s) > 0 || p.opts.count(u"DEL"_s) > 0;
    if (p.words.isEmpty()) {
        if (add || del || !p.opts.empty())
            return syntax(ctx, UserSyntax);
        ctx.println(u"\\\\%1 的用户帐户\r\n"_s.arg(ctx.accounts.computerName()));
        ctx.println(QString(79, u'-'));
        const auto names = ctx.accounts.Win32UserAccountNames();
        QString line;
        for (const QString& n : names.value()) {
            line += n.leftJustified(25);
            if (line.size() >= 75) {
                ctx.println(line.trimmed());
                line.clear();
            }
        }
        if (!line.isEmpty())
            ctx.println(line.trimmed());
        ctx.println(Done);
        return 0;
    }
    if (p.words.size() > 2 || (add && del))
        return syntax(ctx, UserSyntax);
    const QString name = p.words[0];
    const bool hasPassword = p.words.size() == 2;
    if (del) {
        if (hasPassword || p.opts.size() > 1)
            return syntax(ctx, UserSyntax);
        if (const std::uint32_t e = ctx.accounts.NetUserDel(name))
            return fail(ctx, e);
        ctx.println(Done);
        return 0;
    }
    // The switches that change the account, each checked before anything changes.
    AccountStore::UserChange change;
    for (const auto& [option, value] : p.opts) {
        if (option == u"ADD"_s)
            continue;
        if (option == u"FULLNAME"_s) {
            change.fullName = value;
        } else if (option == u"COMMENT"_s) {
            if (value.size() > 48)
                return invalidValue(ctx, option);
            change.comment = value;
        } else if (option == u"EXPIRES"_s) {
            const auto day = expiryDate(value);
            if (!day)
                return invalidValue(ctx, option);
            change.expires = *day;
        } else {
            // The yes/no switches; without a value they mean yes.
            const std::uint32_t bit = option == u"ACTIVE"_s        ? platform::userflags::AccountDisable
                                      : option == u"PASSWORDCHG"_s ? platform::userflags::PasswdCantChange
                                                                   : PasswdNotReqd;
            const QString v = value.toUpper();
            if (v.isEmpty() || v == u"YES"_s || v == u"Y"_s)
                change.clearFlags |= bit;
            else if (v == u"NO"_s || v == u"N"_s)
                change.setFlags |= bit;
            else
                return invalidValue(ctx, option);
        }
    }
    if (add && !AccountStore::validName(name))
        return fail(ctx, nerr::BadUsername);
    std::optional<QString> password = hasPassword ? std::optional<QString>(p.words[1]) : std::nullopt;
    if (password == u"*"_s) {
        if (!add && !ctx.accounts.lookup(name))
            return fail(ctx, nerr::UserNotFound);
        password = askPassword(ctx);
        if (!password)
            return fail(ctx, InvalidHandle);
    }
    if (add) {
        if (const std::uint32_t e =
                ctx.accounts.addUser(name, password.value_or(QString()), change.fullName.value_or(QString()),
                                     change.comment.value_or(QString()), change.setFlags))
            return fail(ctx, e);
        change.fullName.reset();
        change.comment.reset();
        if (const std::uint32_t e = ctx.accounts.changeUser(name, change))
            return fail(ctx, e);
        ctx.println(Done);
        return 0;
    }
    const auto user = ctx.accounts.lookup(name);
    if (!user || !user->isUser())
        return fail(ctx, nerr::UserNotFound);
    if (!password && p.opts.empty())
        return showUser(ctx, *user);
    if (password) {
        if (const std::uint32_t e = ctx.accounts.setPassword(name, *password))
            return fail(ctx, e);
    }
    if (const std::uint32_t e = ctx.accounts.changeUser(name, change))
        return fail(ctx, e);
    ctx.println(Done);
    return 0;
}

int netLocalgroup(ProgramContext& ctx, const QStringList& args) {
    const Parsed p = parse(args, {u"ADD"_s, u"DELETE"_s, u"DEL"_s, u"COMMENT"_s, u"DOMAIN"_s});
    if (!p.unknown.isEmpty()) {
        ctx.eprintln(u"选项 %1 未知。\r\n"_s.arg(p.unknown.toUpper()));
        return syntax(ctx, LocalgroupSyntax);
    }
    if (p.opts.count(u"DOMAIN"_s))
        return fail(ctx, NoSuchDomain);
    const bool add = p.opts.count(u"ADD"_s) > 0;
    const bool del = p.opts.count(u"DELETE"_s) > 0 || p.opts.count(u"DEL"_s) > 0;
    const bool comment = p.opts.count(u"COMMENT"_s) > 0;
    if (add && del)
        return syntax(ctx, LocalgroupSyntax);
    if (p.words.isEmpty()) {
        if (add || del || comment)
            return syntax(ctx, LocalgroupSyntax);
        ctx.println(u"\\\\%1 的别名\r\n"_s.arg(ctx.accounts.computerName()));
        ctx.println(QString(79, u'-'));
        for (const Principal& g : ctx.accounts.groups())
            ctx.println(u'*' + g.name);
        ctx.println(Done);
        return 0;
    }
    const QString group = p.words[0];
    const QStringList members = p.words.mid(1);
    if (members.isEmpty()) {
        if (add) {
            if (const std::uint32_t e = ctx.accounts.addGroup(
                    group, p.opts.count(u"COMMENT"_s) ? p.opts.at(u"COMMENT"_s) : QString()))
                return fail(ctx, e);
            ctx.println(Done);
            return 0;
        }
        const auto g = ctx.accounts.lookup(group);
        if (!g || !g->isGroup())
            return fail(ctx, nerr::NoSuchAlias);
        if (del) {
            if (g->kind != u"group"_s)
                return fail(ctx, nerr::SpecialAccount);
            ctx.accounts.removeGroup(g->sid);
            ctx.println(Done);
            return 0;
        }
        if (comment) {
            if (const std::uint32_t e = ctx.accounts.setGroupComment(g->sid, p.opts.at(u"COMMENT"_s)))
                return fail(ctx, e);
            ctx.println(Done);
            return 0;
        }
        ctx.println(padded(u"别名"_s, g->name));
        ctx.println(padded(u"注释"_s, g->comment));
        ctx.println();
        ctx.println(u"成员\r\n"_s);
        ctx.println(QString(79, u'-'));
        for (const Principal& m : ctx.accounts.membersOf(g->sid))
            ctx.println(m.qualifiedName().startsWith(ctx.accounts.computerName() + u'\\')
                            ? m.name
                            : m.qualifiedName());
        ctx.println(Done);
        return 0;
    }
    if ((!add && !del) || comment)
        return syntax(ctx, LocalgroupSyntax);
    // All the members or none: one that cannot be added (or removed) leaves the group as it was.
    if (const std::uint32_t e = ctx.accounts.changeMembers(group, members, add))
        return fail(ctx, e);
    ctx.println(Done);
    return 0;
}

} // namespace

int net_main(ProgramContext& ctx, const QStringList& args, const QString&) {
    if (args.isEmpty()) {
        ctx.println(u"此命令的语法是:\r\n\r\nNET [ ACCOUNTS | COMPUTER | CONFIG | CONTINUE | FILE | GROUP | "
                    u"HELP |\r\n"
                    "      HELPMSG | LOCALGROUP | PAUSE | PRINT | SESSION | SHARE | START |\r\n"
                    "      STATISTICS | STOP | TIME | USE | USER | VIEW ]"_s);
        return 1;
    }
    ctx.machine.db().clearError(); // what this run fails with is its own
    const QString verb = args[0].toUpper();
    if (verb == u"USER"_s || verb == u"USERS"_s)
        return netUser(ctx, args.mid(1));
    if (verb == u"LOCALGROUP"_s)
        return netLocalgroup(ctx, args.mid(1));
    ctx.println(u"此命令的语法是:\r\n\r\nNET [ LOCALGROUP | USER ]"_s);
    return 1;
}

} // namespace emulation::programs
