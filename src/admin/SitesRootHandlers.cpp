// The sites root: chosen in a folder dialog and locked down.

#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/ProfileStore.h"
#include "provisioning/DirView.h"
#include "provisioning/InputChecks.h"
#include "settings/ReadIniValue.h"
#include "window/Form1.h"

#include <QLineEdit>
#include <QRegularExpression>

#include <cmath>

using namespace Qt::Literals::StringLiterals;

double Form1::SecureCountNumber() const {
    static const QRegularExpression number(u"^\\s*[+-]?(\\d+(\\.\\d*)?|\\.\\d+)"_s);
    const auto m = number.match(state.SecureCount);
    return m.hasMatch() ? m.captured(0).trimmed().toDouble() : 0.0;
}

void Form1::Menu_file_home_Click() {
    const QString path = DirView::BrowseFolder(*services.dialogs, u"浏览目录"_s);
    if (path.isEmpty()) {
        // Cancelled: the stored root comes back into the box; nothing is secured.
        state.HomeRoot = settings::ReadIniValue(*services.profiles, u"HomePath"_s, u"PATH"_s, std::nullopt);
        txtSitePath->setText(state.HomeRoot);
        return;
    }
    txtSitePath->setText(path);
    state.HomeRoot = path;
    SecureHomeRoot(state.HomeRoot);
    Delay(50);
    services.profiles->WritePrivateProfileString(u"HomePath"_s, u"PATH"_s, state.HomeRoot,
                                                 settings::SettingsFile);
    services.dialogs->MsgBox(u"主目录设置完成，请不要随意修改！"_s, platform::msgbox::Information, u"提醒"_s);
    services.profiles->WritePrivateProfileString(u"HomePath"_s, u"Run-Status"_s, u"True"_s,
                                                 settings::SettingsFile);
}

void Form1::SecureHomeRoot(const QString& path) {
    // With no root chosen there is nothing to secure: the tools would act on whatever folder an
    // empty name reaches.
    if (path.trimmed().isEmpty())
        return;
    // Nor with a root that a quoted command line cannot hold (the settings file may say anything).
    if (!InputChecks::ChosenFolder(path).isEmpty())
        return;
    const QString quoted = u'"' + path + u'"';
    // A root that is not there yet is made first, so that it can be locked down.
    if (const auto there = services.files->EntryExists(path); there && !there.value())
        RunHidden(u"cmd.exe /c MkDir "_s + quoted);
    RunHidden(u"cmd.exe /c icacls "_s + quoted + u" /grant iis_wpg:(OI)(CI)(RA,REA,RC,RD,S)"_s);
    RunHidden(u"cmd.exe /c icacls "_s + quoted + u" /remove:g administrators"_s);
    Delay(20);
    RunHidden(u"cmd.exe /c icacls "_s + quoted + u" /remove:g system"_s);
    Delay(20);
    RunHidden(u"cmd.exe /c cacls "_s + quoted + u" /t /e /r users"_s);
    Delay(20);
    RunHidden(u"cmd.exe /c cacls "_s + quoted + u" /t /e /r \"CREATOR OWNER\""_s);
    Delay(20);
    // The count's leading number plus one ("5" becomes "6").
    const double count = SecureCountNumber() + 1;
    state.SecureCount =
        count == std::floor(count) ? QString::number(static_cast<qint64>(count)) : QString::number(count);
    services.profiles->WritePrivateProfileString(u"HomePath"_s, u"Run-Status"_s, u"True"_s,
                                                 settings::SettingsFile);
    services.profiles->WritePrivateProfileString(u"SiteNum"_s, u"Num"_s, state.SecureCount,
                                                 settings::SettingsFile);
    state.RunStatus = u"True"_s;
}
