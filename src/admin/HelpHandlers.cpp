// The help menu: the maker's web page and a help request by mail, both handed to the shell.

#include "window/Form1.h"

#include "platform/ProfileStore.h"
#include "platform/Shell.h"
#include "settings/ReadIniValue.h"

using namespace Qt::Literals::StringLiterals;

namespace {

// The maker's addresses. An operator may name others in the settings file, section "Help", keys
// "WebPage" and "MailAddress"; start-up never writes them.
const QString DefaultWebPage = u"www.velmora.example"_s;
const QString DefaultMailAddress = u"support@velmora.example"_s;

// A key of the settings file read without writing anything back; the default when missing or empty.
QString helpSetting(platform::ProfileStore* profiles, const QString& key, const QString& fallback) {
    if (!profiles)
        return fallback;
    QString value;
    profiles->GetPrivateProfileString(u"Help"_s, key, QString(), value, 255, settings::SettingsFile);
    value = value.trimmed();
    return value.isEmpty() ? fallback : value;
}

} // namespace

void Form1::Menu_help_about_Click() {
    const QString page = helpSetting(services.profiles, u"WebPage"_s, DefaultWebPage);
    services.shell->ShellExecute(u"open"_s, page, QString(), QString(), 1);
}

void Form1::Menu_help_conn_Click() {
    const QString mail = helpSetting(services.profiles, u"MailAddress"_s, DefaultMailAddress);
    const QString link = u"mailto:"_s + mail +
                         u"?subject=velmora-net help&Body=使用此软件遇到：****问题，需要您的帮助，谢谢！"_s;
    services.shell->ShellExecute(u"open"_s, link, u""_s, u""_s, 1);
}
