// The delete button: the IIS site with its pool, FTP directory, account and folder tree.

#include "maintenance/deletfloadr.h"
#include "platform/Dialogs.h"
#include "platform/Metabase.h"
#include "settings/ReadIniValue.h"
#include "window/Form1.h"

#include <QCheckBox>
#include <QLineEdit>

using namespace Qt::Literals::StringLiterals;

namespace {

enum Cell { SiteName = 1, Identifier = 2, Account = 4, Directory = 6 };

// The delete of the list row whose name matched the name box.
void deleteSiteOfRow(Form1& form, int row) {
    window::MSFlexGrid* grid = form.MSFlexGrid1;
    // Everything below acts on this row's site: its identifier and its own directory, never on a
    // selection recorded by an earlier click or a path left over from an earlier deletion.
    const QString name = form.txtSiteName->text().trimmed();
    const QString account = form.username->text().trimmed();
    const QString number = grid->TextMatrix(row, Identifier).trimmed();
    form.operation.emplace();
    form.ReadFtpDirPath();
    form.Delay(50);
    if (!form.DeleteIISWebSite(name, number)) {
        // The IIS site still exists: none of its pool, folder, account or FTP directory is touched.
        if (form.operation->failed())
            form.ReportResult(u"delet"_s);
        else
            form.operation.reset();
        return;
    }
    deletfloadr::Deletion d{
        .metabase = *form.services.metabase,
        .accounts = *form.services.accounts,
        .files = *form.services.files,
        .dialogs = *form.services.dialogs,
        .failed = [&form](const QString& what,
                          const platform::Error& error) { form.operation->step(what, error); },
        .run = [&form](const QString& line) { return form.RunHidden(line); },
        .ftpSiteNumber = form.state.FtpSiteNumber,
        .siteName = name,
        .homeDirectory = grid->TextMatrix(row, Directory),
        .sharedAnonymousUser = form.state.SharedAnonymousUser,
        .sitesRoot = form.state.HomeRoot,
        .others = {},
        .inUse = std::nullopt};
    for (int r = 1; r <= grid->Rows() - 2; ++r) {
        if (r == row)
            continue;
        d.others.names << grid->TextMatrix(r, SiteName);
        d.others.directories << grid->TextMatrix(r, Directory);
        d.others.accounts << grid->TextMatrix(r, Account);
    }
    deletfloadr::DeleteAppPool(d, name);

    if (name != account) {
        // The site runs under a shared account: only its folder goes.
        deletfloadr::DeleteSiteFolder(d);
    } else if (form.Check3->isChecked()) {
        if (!form.state.FtpDirPath.isEmpty())
            deletfloadr::DeleteFtpVirtualDir(d, name, form.state.FtpDirPath);
        deletfloadr::DeleteSiteFolder(d);
        deletfloadr::DeleteSiteUser(d, account);
    } else {
        deletfloadr::ReleaseSiteFolder(d, name, account, form.state.FtpDirPath);
    }
    form.ReportResult(u"delet"_s);
}

} // namespace

void Form1::Command2_Click() {
    state.DeleteReported = false;
    // Trimmed once, as the create and the edit trim it: a name that differs from a row's only in
    // surrounding blanks is that row's name.
    const QString name = txtSiteName->text().trimmed();
    const int lastSiteRow = MSFlexGrid1->Rows() - 2;
    for (int i = 1; i <= lastSiteRow; ++i) {
        if (MSFlexGrid1->TextMatrix(i, SiteName).trimmed() == name) {
            deleteSiteOfRow(*this, i);
            break;
        }
        if (!name.isEmpty() && i == lastSiteRow) {
            services.dialogs->MsgBox(u"网站 "_s + name + u" 不存在!"_s, platform::msgbox::Information);
        } else if (name.isEmpty()) {
            services.dialogs->MsgBox(u"请正确选择需要删除的站点！"_s, platform::msgbox::Information);
            break;
        }
    }
    if (MSFlexGrid1->Rows() == 2 && !state.DeleteReported)
        services.dialogs->MsgBox(u"服务器还未建立网站!"_s, platform::msgbox::Information);
    if (!Check5->isChecked())
        txtSitePath->setText(
            settings::ReadIniValue(*services.profiles, u"HomePath"_s, u"PATH"_s, std::nullopt));
    readtable->clear();
}

void Form1::ReadFtpDirPath() {
    // Read afresh for every deletion: a site without an FTP directory leaves it empty.
    state.FtpDirPath.clear();
    auto dir = services.metabase->Bind(u"IIS://localhost/MSFTPSVC/"_s + QString::number(state.FtpSiteNumber) +
                                       u"/ROOT/"_s + txtSiteName->text().trimmed());
    if (!dir)
        return;
    if (auto path = dir.value()->Get(u"Path"_s))
        state.FtpDirPath = path.value().toString();
}

bool Form1::DeleteIISWebSite(const QString& name, const QString& siteNumber) {
    const QString servicePath = u"IIS://LocalHost/W3SVC"_s;
    auto service = services.metabase->Bind(servicePath);
    // Three binds, a second apart, before giving up: waiting on for ever would freeze the window.
    for (int attempt = 1; !service && attempt < 3; ++attempt) {
        Delay(1000);
        service = services.metabase->Bind(servicePath);
    }
    if (!service) {
        services.dialogs->MsgBox(u"本服务器的Internet Iformation Server 未启动，删除失败！"_s,
                                 platform::msgbox::Exclamation, u"IIS服务未启动"_s);
        return false;
    }
    const QString what = u"Delete IIsWebServer "_s + siteNumber + u" on "_s + servicePath;
    if (!deletfloadr::IsSiteNumber(siteNumber)) {
        operation->step(what, {platform::hr::InvalidArgument, u"网站标识符无效"_s});
        return false;
    }
    auto site = services.metabase->Bind(servicePath + u'/' + siteNumber);
    if (!site) {
        // Already gone from IIS: that is what the deletion is for, and what was made for the site
        // may still be removed. Any other failure to reach it leaves everything in place.
        if (site.error().number == platform::hr::PathNotFound)
            return true;
        operation->step(what, site.error());
        return false;
    }
    // The number must still belong to the site of that name (compared as IIS names are shown).
    const auto comment = site.value()->Get(u"ServerComment"_s);
    if (!comment || comment.value().toString().trimmed().toUpper() != name.trimmed().toUpper()) {
        operation->step(what, {platform::hr::AccessDenied, u"该标识符的网站已不是 "_s + name});
        return false;
    }
    site.value().reset();
    if (auto deleted = service.value()->Delete(u"IIsWebServer"_s, siteNumber); !deleted) {
        operation->step(what, deleted.error());
        return false;
    }
    return true;
}
