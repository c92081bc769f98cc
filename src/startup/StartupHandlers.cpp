// Start-up: the settings phase (Form_Initialize) and the window phase (Form_Load).

#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/ProfileStore.h"
#include "platform/SystemInfo.h"
#include "provisioning/addmime.h"
#include "settings/ReadIniValue.h"
#include "startup/GetipAdd.h"
#include "window/Form1.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>

using namespace Qt::Literals::StringLiterals;
using settings::ReadIniValue;
using settings::SettingsFile;

namespace {

const QString LogTool = u"C:\\Windows\\System32\\drivers\\velmoraconv.exe"_s;
const QString DefaultPage = u"C:\\Windows\\System32\\drivers\\index.html"_s;
const QString DefaultLogPath = u"C:\\WINDOWS\\system32\\LogFiles"_s;
const QString DefaultHomePath = u"D:\\WebRoot"_s;

// Tells the operator which platform call stopped the start, then ends the program.
void startupFailed(Form1& form, const QString& what, const platform::Error& error) {
    form.services.dialogs->MsgBox(u"启动失败："_s + what + u"（"_s + error.text + u"）"_s,
                                  platform::msgbox::Critical, u"错误信息"_s);
    form.EndProgram();
}

} // namespace

void Form1::Form_Initialize() {
    auto write = [this](const QString& section, const QString& key, const QString& value) {
        services.profiles->WritePrivateProfileString(section, key, value, SettingsFile);
    };
    if (!services.files->FileExists(LogTool) || !services.files->FileExists(DefaultPage)) {
        services.dialogs->MsgBox(u"请先执行Install.bat 后再运行！"_s, platform::msgbox::Information,
                                 u"错误信息"_s);
        EndProgram();
        return;
    }
    const auto anonymous = addmime::LoadSharedAnonymousUser(*services.metabase);
    if (!anonymous) {
        startupFailed(*this, u"无法读取 IIS://LocalHost/W3SVC 的匿名用户"_s, anonymous.error());
        return;
    }
    state.SharedAnonymousUser = anonymous.value();

    if (services.files->FileExists(SettingsFile)) {
        write(u"VMUSER"_s, u"Name"_s, state.SharedAnonymousUser);
        state.LogFolder = ReadIniValue(*services.profiles, u"HomePath"_s, u"LogPath"_s, std::nullopt);
        if (state.LogFolder.isEmpty()) {
            // The log folder comes back into the file; this run keeps it empty.
            write(u"Version"_s, u"vers"_s, u"2.4"_s);
            write(u"HomePath"_s, u"LogPath"_s, DefaultLogPath);
        }
        state.HomeRoot = ReadIniValue(*services.profiles, u"HomePath"_s, u"PATH"_s, std::nullopt);
        Form_Load();
        if (m_ended)
            return;
        txtSitePath->setText(state.HomeRoot);
        state.RunStatus = ReadIniValue(*services.profiles, u"HomePath"_s, u"Run-Status"_s, std::nullopt);
        state.SecureCount = ReadIniValue(*services.profiles, u"SiteNum"_s, u"Num"_s, std::nullopt);
        state.SharedAnonymousUser = ReadIniValue(*services.profiles, u"VMUSER"_s, u"Name"_s, std::nullopt);
    } else {
        write(u"Version"_s, u"vers"_s, u"2.4"_s);
        write(u"HomePath"_s, u"PATH"_s, DefaultHomePath);
        write(u"HomePath"_s, u"LogPath"_s, DefaultLogPath);
        write(u"HomePath"_s, u"Run-Status"_s, u"False"_s);
        write(u"HostSet"_s, u"USRGroup"_s, u"False"_s);
        write(u"SiteNum"_s, u"Num"_s, u"1"_s);
        write(u"VMUSER"_s, u"Name"_s, state.SharedAnonymousUser);
        write(u"LOGSET"_s, u"format"_s, u"FALSE"_s);
        state.HomeRoot = DefaultHomePath;
        state.RunStatus = u"False"_s;
        Form_Load();
        if (m_ended)
            return;
    }
    timedate->setText(services.system->Today().toString(u"yyyyMMdd"_s));
}

platform::Outcome<platform::OsVersionRecord> Form1::GetOsVersion() {
    // The record size: five 32-bit numbers and the 128-byte service-pack text.
    constexpr std::uint32_t FullRecord = 148;
    return services.system->GetVersionEx(FullRecord);
}

void Form1::Form_Load() {
    const auto version = GetOsVersion();
    if (!version) {
        startupFailed(*this, u"无法读取 Windows 版本"_s, version.error());
        return;
    }
    SetupSiteGrid();
    QStringList addresses;
    const auto highest = GetipAdd::GetLocalIPs(*services.system, addresses);
    if (!highest) {
        startupFailed(*this, u"无法连接管理服务 winmgmts://./root/cimv2"_s, highest.error());
        return;
    }
    // With no adapter address the box holds only "(全部未分配)". Filling is no choice; selecting
    // entry 0 is, once, also when the filling made it current already.
    {
        const QSignalBlocker filling(Combo1);
        Combo1->addItem(u"(全部未分配)"_s);
        Combo1->addItems(addresses);
        Combo1->setEditText(Combo1->itemText(0));
        Combo1->setCurrentIndex(0);
    }
    Combo1_Click();
    state.SiteExists = false;
    if (version.value().dwBuildNumber >= 6000) {
        services.dialogs->MsgBox(u"很抱歉本软件目前仅支持Win2003系统！"_s, platform::msgbox::Information);
        EndProgram();
        return;
    }
    SetupDefaultFtpSite();
    if (m_ended)
        return;
    Delay(200);
    RefreshSiteList();
    Delay(200);
    Label10->setText(QString::number(MSFlexGrid1->Rows() - 2));
    if (!settings::ReadsTrue(ReadIniValue(*services.profiles, u"HostSet"_s, u"USRGroup"_s, u"False"_s))) {
        RunHidden(
            u"cmd.exe /c net localgroup velmorausers /add  /comment:\"虚拟主机用户组,网站和FTP账户组\""_s);
        services.profiles->WritePrivateProfileString(u"HostSet"_s, u"USRGroup"_s, u"True"_s, SettingsFile);
    }
}
