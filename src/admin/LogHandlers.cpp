// The central binary log folder and the extraction of one site's log for one day.

#include "window/Form1.h"

#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Metabase.h"
#include "platform/ProfileStore.h"
#include "provisioning/DirView.h"
#include "provisioning/InputChecks.h"
#include "settings/ReadIniValue.h"

#include <QLabel>
#include <QLineEdit>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;
using platform::msgbox::Exclamation;
using platform::msgbox::Information;

namespace {

// The log folder inside a chosen folder: "D:\" gives "D:\iislog", "D:\Logs" gives "D:\Logs\iislog".
QString logFolderIn(const QString& chosen) {
    return chosen.endsWith(u'\\') ? chosen + u"iislog"_s : chosen + u"\\iislog"_s;
}

// What a finished command said when it did not do its work; empty when it did.
QString commandFailure(const platform::Outcome<platform::CommandResult>& result) {
    if (!result)
        return result.error().text;
    if (result.value().exitCode == 0)
        return {};
    const QString said = result.value().output.trimmed();
    return said.isEmpty() ? u"退出代码 %1"_s.arg(result.value().exitCode) : said;
}

} // namespace

void Form1::Menu_file_log_Click() {
    const QString chosen = DirView::BrowseFolder(*services.dialogs, u"浏览目录"_s);
    if (chosen.isEmpty())
        return; // cancelled or refused as too long: nothing changes
    const QString folder = logFolderIn(chosen);

    // Central binary logging into the new folder, committed as one change before anything else
    // happens: a failure leaves the metabase, the settings and the folder as they were.
    auto fail = [this](const QString& why) {
        services.dialogs->MsgBox(u"日志目录设置失败："_s + why, Exclamation, u"错误"_s);
    };
    auto w3svc = services.metabase->Bind(u"IIS://LocalHost/W3SVC"_s);
    if (!w3svc)
        return fail(w3svc.error().text);
    w3svc.value()->Put(u"CentralBinaryLoggingEnabled"_s, true);
    w3svc.value()->Put(u"LogFileDirectory"_s, folder);
    if (auto committed = w3svc.value()->SetInfo(); !committed)
        return fail(committed.error().text);
    state.LogFolder = folder;

    const QString mkdirLine = u"cmd.exe /c MkDir \""_s + folder + u'"';
    const QString resetLine = u"cmd.exe /c iisreset.exe"_s;
    const auto made = RunHidden(mkdirLine);
    const auto reset = RunHidden(resetLine);
    Delay(20);

    // The settings follow the metabase, which now names the new folder.
    state.LogConfigured = u"True"_s;
    const bool formatStored = services.profiles->WritePrivateProfileString(u"LOGSET"_s, u"format"_s,
                                                                           u"TRUE"_s, settings::SettingsFile);
    const bool pathStored = services.profiles->WritePrivateProfileString(
        u"HomePath"_s, u"LogPath"_s, state.LogFolder, settings::SettingsFile);

    // What did not happen, each with its reason. A folder that exists already is what MkDir was run
    // for; a file in the way is not.
    QStringList failed;
    if (!services.files->IsFolder(folder))
        if (const QString why = commandFailure(made); !why.isEmpty())
            failed << mkdirLine + u"："_s + why;
    if (const QString why = commandFailure(reset); !why.isEmpty())
        failed << resetLine + u"："_s + why;
    if (!formatStored || !pathStored)
        failed << u"写入 "_s + settings::SettingsFile + u"：无法写入"_s;
    if (failed.isEmpty()) {
        services.dialogs->MsgBox(u"日志目录设置完成，请不要随意修改！"_s, Information, u"提醒"_s);
        return;
    }
    // The metabase was changed: say so, and what is still to be done by hand.
    services.dialogs->MsgBox(u"日志目录已改为 "_s + folder + u"，IIS 已启用集中二进制日志"_s +
                                 (formatStored && pathStored ? u"，设置已保存"_s : QString()) +
                                 u"；但以下步骤失败：\n"_s + failed.join(u'\n'),
                             Exclamation, u"警告"_s);
}

void Form1::Command4_Click() {
    auto refuse = [this](const QString& text, const QString& title) {
        services.dialogs->MsgBox(text, Information, title);
    };
    if (state.SelectedSiteId.isEmpty())
        return refuse(u"未选网站无法提取，请选择！"_s, u"错误"_s);
    // Exactly eight digits: the key filter sees keys only, and a pasted or dropped text goes into
    // the tool's command line.
    const QString date = timedate->text();
    if (date.size() != 8 ||
        !std::all_of(date.begin(), date.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return refuse(u"提取日期格式不正确！"_s, u"错误"_s);
    const QString configured =
        settings::ReadIniValue(*services.profiles, u"LOGSET"_s, u"format"_s, std::nullopt);
    if (!settings::ReadsTrue(configured))
        return refuse(u"您还未设置日志目录，无法提取！"_s, u"错误信息"_s);
    // The site's own folder, whatever the path box shows now: its home directory without "\web".
    const QString sitePath = state.SelectedSitePath;
    // Both folders go into the tool's quoted command line; another tool may have stored anything.
    if (sitePath.size() < 4 || !InputChecks::ChosenFolder(sitePath).isEmpty())
        return refuse(u"网站目录不正确，无法提取！"_s, u"错误"_s);
    if (!InputChecks::ChosenFolder(state.LogFolder).isEmpty())
        return refuse(u"日志目录不正确，无法提取！"_s, u"错误"_s);

    const QString target = sitePath.left(sitePath.size() - 4) + u"\\log"_s;
    Delay(500);
    const QString day = date.mid(2);
    const QString line = u"cmd.exe /c C:\\Windows\\System32\\drivers\\velmoraconv -i:BIN -o:w3c \""_s +
                         u"select * into "_s + target + u"\\ex"_s + day + u".log from "_s + state.LogFolder +
                         u"\\W3SVC\\ra"_s + day + u".ibl where siteid="_s + state.SelectedSiteId + u'"';
    const auto result = RunHidden(line);
    Delay(500);
    if (const QString failure = commandFailure(result); !failure.isEmpty()) {
        services.dialogs->MsgBox(u"提取失败："_s + failure, Exclamation, u"错误"_s);
        return;
    }
    services.dialogs->MsgBox(u"提取成功，请在FTP\\log下察看"_s, Information, u"提示"_s);
}

void Form1::timedate_KeyPress(int& KeyAscii) {
    if (KeyAscii == 8 || KeyAscii == 13 || (KeyAscii >= 48 && KeyAscii <= 57))
        return;
    KeyAscii = 0;
    Label12->setText(u"日期必须是数字！"_s);
}
