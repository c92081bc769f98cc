#include "provisioning/InputChecks.h"

#include "platform/Accounts.h"

#include <QRegularExpression>

using namespace Qt::Literals::StringLiterals;

namespace InputChecks {

namespace {

// Blanks of any kind and characters that are not shown: control and format characters.
bool unseen(QChar c) {
    return c.isSpace() || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format;
}

bool anyOf(const QString& text, const QString& forbidden) {
    for (QChar c : text)
        if (unseen(c) || forbidden.contains(c))
            return true;
    return false;
}

bool deviceName(const QString& name) {
    static const QRegularExpression device(u"^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])$"_s,
                                           QRegularExpression::CaseInsensitiveOption);
    // "con.txt" names the device as well: only what comes before the first dot counts.
    return device.match(name.section(u'.', 0, 0).trimmed()).hasMatch();
}

} // namespace

QString SiteName(const QString& name, bool ownAccount) {
    if (name.isEmpty())
        return u"网站名称不能为空！"_s;
    if (anyOf(name, u"\"/\\[]:;|=,+*?<>@&^%"_s) || name.endsWith(u'.') || deviceName(name))
        return u"网站名称含有非法字符！"_s;
    if (ownAccount && name.size() > 20)
        return u"网站名称不能超过20个字符！"_s;
    return {};
}

QString SitePath(const QString& homeRoot, const QString& name) {
    if ((homeRoot + u'\\' + name + u"\\web\\index.html"_s).size() > 259)
        return u"网站路径太长！"_s;
    return {};
}

QString AccountFree(platform::Accounts& accounts, const QString& name) {
    // When the list cannot be read, "net user /add" still refuses an existing account, and the
    // create then leaves that account alone.
    for (const QString& existing : accounts.Win32UserAccountNames().valueOr({}))
        if (existing.compare(name, Qt::CaseInsensitive) == 0)
            return u"账户 "_s + name + u" 已经存在！"_s;
    return {};
}

QString Password(const QString& password) {
    // "net user NAME /delete" reads a password that begins with "/" as one of its switches.
    if (anyOf(password, u"\"&|<>^%"_s) || password.startsWith(u'/'))
        return u"密码含有非法字符！"_s;
    return {};
}

QString DomainList(const QString& domainList) {
    for (QChar c : domainList) {
        const char16_t u = c.unicode();
        const bool allowed = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') ||
                             (u >= u'0' && u <= u'9') || u == u'-' || u == u'.' || u == u'@';
        if (!allowed)
            return u"输入域名错误！"_s;
    }
    return {};
}

QString Port(const QString& port) {
    static const QRegularExpression digits(u"^[0-9]{1,5}$"_s);
    const QString p = port.trimmed();
    if (!digits.match(p).hasMatch() || p.toInt() < 1 || p.toInt() > 65535)
        return u"端口必须是1到65535之间的数字！"_s;
    return {};
}

QString RedirectTarget(const QString& target) {
    if (anyOf(target, u"\"'<>,"_s))
        return u"目标地址含有非法字符！"_s;
    return {};
}

QString ChosenFolder(const QString& path) {
    // Blanks are fine: the paths are quoted.
    for (QChar c : path)
        if ((unseen(c) && c != u' ') || u"\"%*?<>|"_s.contains(c))
            return u"路径含有非法字符！"_s;
    return {};
}

QString HomeRoot(const QString& homeRoot) {
    if (homeRoot.trimmed().isEmpty())
        return u"请先设置主目录！"_s;
    // The root comes from the settings file, which another hand may have edited.
    return ChosenFolder(homeRoot);
}

QString CreateSite(platform::Accounts& accounts, const CreateInput& input) {
    if (QString m = SiteName(input.siteName, input.ownAccount); !m.isEmpty())
        return m;
    if (QString m = SitePath(input.homeRoot, input.siteName); !m.isEmpty())
        return m;
    if (input.ownAccount) {
        const QString account = input.accountName.isEmpty() ? input.siteName : input.accountName;
        if (account != input.siteName)
            if (QString m = SiteName(account, true); !m.isEmpty())
                return m;
        if (QString m = AccountFree(accounts, account); !m.isEmpty())
            return m;
    }
    if (input.ownAccount)
        if (QString m = Password(input.password); !m.isEmpty())
            return m;
    if (QString m = DomainList(input.domainList); !m.isEmpty())
        return m;
    if (QString m = Port(input.port); !m.isEmpty())
        return m;
    if (input.redirect)
        if (QString m = RedirectTarget(*input.redirect); !m.isEmpty())
            return m;
    return HomeRoot(input.homeRoot);
}

} // namespace InputChecks
