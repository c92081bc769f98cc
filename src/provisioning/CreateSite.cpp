// The create button: input checks, site folders, the IIS site, account, grants and FTP directory.

#include "platform/Accounts.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Metabase.h"
#include "provisioning/AppPool.h"
#include "provisioning/DirView.h"
#include "provisioning/InputChecks.h"
#include "provisioning/addmime.h"
#include "settings/ReadIniValue.h"
#include "window/Form1.h"

#include <QCheckBox>
#include <QLineEdit>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace Qt::Literals::StringLiterals;

namespace {

// The default documents, written as one text: a blank after each of the first four commas only.
const QString DefaultDocuments =
    u"Default.htm, Default.asp, Index.htm, Index.asp, Index.php,Index.html,Default.aspx,Index.aspx,Default.html"_s;

// A site number: the decimal Name of a child of the web service, as a 32-bit number.
std::optional<std::int32_t> siteNumberOf(const QString& name) {
    bool ok = false;
    const qlonglong n = name.trimmed().toLongLong(&ok);
    if (!ok || n < 0 || n > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(n);
}

} // namespace

void Form1::Command1_Click() {
    operation.emplace();
    // The securing comes first, before any check of the form.
    if (!settings::ReadsTrue(state.RunStatus))
        SecureHomeRoot(state.HomeRoot);
    // The count's leading number, rounded to the nearest whole number with a half going to the
    // even neighbour; tested after the securing above.
    if (static_cast<std::int64_t>(std::nearbyint(SecureCountNumber())) % 5 == 0)
        SecureHomeRoot(state.HomeRoot);

    auto refuse = [this](const QString& message) {
        services.dialogs->MsgBox(message, platform::msgbox::Information, u"系统信息"_s);
        operation.reset();
    };
    if (txtHostName->text().trimmed().isEmpty())
        return refuse(u"域名不能为空！"_s);
    if (Check1->isChecked() && password->text().trimmed().isEmpty())
        return refuse(u"密码不能为空！"_s);

    // The name is trimmed once, here; everything this create makes is named by it.
    state.CreatingSiteName = txtSiteName->text().trimmed();
    InputChecks::CreateInput input;
    input.siteName = state.CreatingSiteName;
    input.homeRoot = state.HomeRoot;
    input.ownAccount = Check1->isChecked();
    input.accountName = username->text().trimmed();
    input.password = password->text().trimmed();
    input.domainList = txtHostName->text().trimmed();
    input.port = txtSitePort->text();
    if (Check5->isChecked())
        input.redirect = txtSitePath->text();
    if (const QString problem = InputChecks::CreateSite(*services.accounts, input); !problem.isEmpty())
        return refuse(problem);

    PrepareSiteFolders();
    // A create that ended without its report (a taken name, a declined repair) leaves nothing open.
    operation.reset();
}

void Form1::PrepareSiteFolders() {
    const QString root = state.HomeRoot;
    const QString site = root + u'\\' + state.CreatingSiteName;
    // A sites root that is not there yet has no entry; MkDir makes it with the site's folders.
    const auto entry = services.files->EntryExists(site);
    if (!entry && entry.error().number != platform::hr::PathNotFound) {
        const int answer =
            services.dialogs->MsgBox(u"主目录权限异常，无法创建！是否重新设置权限？"_s,
                                     platform::msgbox::YesNo | platform::msgbox::Critical, u"错误"_s);
        if (answer != platform::msgbox::Yes)
            return;
        const QString quoted = u'"' + root + u'"';
        RunHidden(u"cmd.exe /c cacls "_s + quoted + u" /t /e /c /g administrators:F"_s);
        RunHidden(u"cmd.exe /c cacls "_s + quoted + u" /t /e /c /r IIS_WPG"_s);
        RunHidden(u"cmd.exe /c cacls "_s + quoted + u" /t /e /c /g system:F"_s);
        RunHidden(u"cmd.exe /c icacls "_s + quoted + u" /grant iis_wpg:(OI)(CI)(RA,REA,RC,RD,S)"_s);
        Delay(20);
        RunHidden(u"cmd.exe /c cacls "_s + quoted + u" /t /e /r users"_s);
        RunHidden(u"cmd.exe /c cacls "_s + quoted + u" /t /e /r \"CREATOR OWNER\""_s);
    }
    Delay(30);
    // Quoted, so that a root or name with a blank stays one path.
    RunHidden(u"cmd.exe /c MkDir \""_s + site + u"\\web\""_s);
    RunHidden(u"cmd.exe /c MkDir \""_s + site + u"\\log\""_s);
    RunHidden(u"cmd.exe /c copy %systemroot%\\system32\\drivers\\index.html \""_s + site + u"\\web\\\""_s);
    ProvisionSite();
}

void Form1::ProvisionSite() {
    Delay(30);
    const QString siteName = state.CreatingSiteName;
    const QString webFolder = state.HomeRoot + u'\\' + siteName + u"\\web"_s;
    const int port = txtSitePort->text().trimmed().toInt();
    const QString domainList = txtHostName->text().trimmed();
    CreateIISWebServer(siteName, webFolder, port, domainList);
    if (state.SiteExists || ended())
        return;

    const auto run = [this](const QString& line) {
        return RunHidden(line);
    };
    auto failed = [this](const QString& what, const platform::Error& error) {
        if (operation)
            operation->step(what, error);
    };
    if (Check1->isChecked()) {
        const QString account = username->text().trimmed();
        const QString secret = password->text().trimmed();
        const auto user = AppPool::CreateSiteUser(run, *services.pacing, *services.accounts, account, secret);
        // An account that this create did not make gets no anonymous use and no grants.
        if (user.created) {
            if (!user.flags)
                failed(u"SetUserFlags WinNT://./"_s + account, user.flags.error());
            const QString number = QString::number(state.SiteNumber);
            if (auto anonymous =
                    AppPool::SetAnonymousUser(*services.metabase, *services.pacing, number, account, secret);
                !anonymous)
                failed(u"SetAnonymousUser IIS://127.0.0.1/w3svc/"_s + number, anonymous.error());
            // The site's folders, whatever the account box holds; the rights go to the account made.
            DirView::GrantSiteAccountAccess(run, *services.pacing, state.HomeRoot, siteName, account);
        }
    } else {
        DirView::GrantSharedAccountAccess(run, state.HomeRoot, siteName, state.SharedAnonymousUser.trimmed());
    }
    if (Check3->isChecked()) {
        // The FTP directory points at the site's top folder, not at its web folder.
        platform::Error error;
        if (!AppPool::CreateFtpVirtualDir(*services.metabase, state.FtpSiteNumber,
                                          state.HomeRoot + u'\\' + siteName, siteName, &error))
            failed(u"Create IIsFtpVirtualDir "_s + siteName + u" on IIS://localhost/MSFTPSVC/"_s +
                       QString::number(state.FtpSiteNumber) + u"/ROOT"_s,
                   error);
    }
    ReportResult(u"creat"_s);
}

void Form1::CreateIISWebServer(const QString& siteName, const QString& webFolder, int port,
                               const QString& domainList) {
    const QStringList pieces = domainList.split(u'@');
    state.SiteNumber = 10000;
    auto failed = [this](const QString& what, const platform::Error& error) {
        if (operation)
            operation->step(what, error);
    };

    const auto service = BindServiceOrEnd(u"IIS://LocalHost/W3SVC"_s,
                                          u"本服务器的Internet Iformation Server 未启动，请启动后重试。"_s);
    if (!service)
        return;

    // One pass: the name check and the highest number in use.
    const QString wanted = siteName.trimmed().toUpper();
    // Names compare upper-cased. Upper-casing keeps the length of plain ASCII text, so such a
    // name of another length differs without being upper-cased.
    auto sameName = [&wanted](const QString& comment) {
        const QStringView c = QStringView(comment).trimmed();
        if (c.size() != wanted.size() &&
            std::all_of(c.begin(), c.end(), [](QChar ch) { return ch.unicode() < 128; }))
            return false;
        return c.toString().toUpper() == wanted;
    };
    bool taken = false;
    {
        const auto scope = services.metabase->ReadScope();
        for (const auto& child : service->Enumerate().valueOr({})) {
            if (auto comment = child->Get(u"ServerComment"_s);
                comment && sameName(comment.value().toString())) {
                taken = true;
                break;
            }
            const auto number = siteNumberOf(child->Name());
            if (number && *number >= state.SiteNumber && *number < std::numeric_limits<std::int32_t>::max())
                state.SiteNumber = *number + 1;
        }
    }
    if (taken) {
        services.dialogs->MsgBox(u"该站点已经存在！"_s, platform::msgbox::Information, u"系统信息"_s);
        state.SiteExists = true;
        return;
    }

    const QString number = QString::number(state.SiteNumber);
    const QString servicePath = u"IIS://LocalHost/W3SVC"_s;
    auto created = service->Create(u"IIsWebServer"_s, number);
    state.CreatedSiteName = siteName;
    if (!created) {
        failed(u"Create IIsWebServer "_s + number + u" on "_s + servicePath, created.error());
    } else {
        auto& site = created.value();
        QStringList bindings;
        for (const QString& piece : pieces)
            bindings << state.BindingIP + u':' + QString::number(port) + u':' + piece;
        site->Put(u"ServerComment"_s, siteName);
        site->Put(u"KeyType"_s, u"IIsWebServer"_s);
        site->Put(u"ServerBindings"_s, bindings);
        site->Put(u"AccessRead"_s, true);
        site->Put(u"FrontPageWeb"_s, true);
        site->Put(u"EnableDefaultDoc"_s, true);
        site->Put(u"DefaultDoc"_s, DefaultDocuments);
        site->Put(u"AccessScript"_s, true);
        site->Put(u"AccessExecute"_s, false);
        site->Put(u"AspEnableParentPaths"_s, true);
        const QString sitePath = servicePath + u'/' + number;
        if (auto root = site->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s); !root) {
            failed(u"Create IIsWebVirtualDir ROOT on "_s + sitePath, root.error());
        } else {
            root.value()->Put(u"Path"_s, webFolder);
            if (Check5->isChecked())
                root.value()->Put(u"HttpRedirect"_s,
                                  txtSitePath->text() + u"$S$Q, EXACT_DESTINATION, PERMANENT"_s);
            root.value()->Put(u"AppFriendlyName"_s, u"默认应用程序 "_s + siteName);
            if (auto app = root.value()->AppCreate(true); !app)
                failed(u"AppCreate "_s + sitePath + u"/ROOT"_s, app.error());
            if (auto stored = root.value()->SetInfo(); !stored)
                failed(u"SetInfo "_s + sitePath + u"/ROOT"_s, stored.error());
        }
        if (auto stored = site->SetInfo(); !stored)
            failed(u"SetInfo "_s + sitePath, stored.error());
        if (auto started = site->Start(); !started)
            failed(u"Start "_s + sitePath, started.error());
        if (Check2->isChecked()) {
            if (auto pool = AppPool::CreateAppPool(*services.metabase, siteName); !pool)
                failed(u"Create IIsApplicationPool "_s + siteName + u" on IIS://localhost/w3svc/AppPools"_s,
                       pool.error());
            Delay(100);
            site->Put(u"appPoolID"_s, siteName);
            if (auto stored = site->SetInfo(); !stored)
                failed(u"SetInfo appPoolID "_s + sitePath, stored.error());
        }
    }
    if (auto mime = addmime::AddMimeTypes(*services.metabase, state.SiteNumber); !mime)
        failed(u"AddMimeTypes IIS://127.0.0.1/w3svc/"_s + number, mime.error());
}
