// The edit button: writes the input fields back to the selected site.

#include "maintenance/deletfloadr.h"
#include "platform/Dialogs.h"
#include "platform/Metabase.h"
#include "provisioning/AppPool.h"
#include "provisioning/InputChecks.h"
#include "provisioning/addmime.h"
#include "window/Form1.h"

#include <QLineEdit>

using namespace Qt::Literals::StringLiterals;

namespace {

// The AnonymousUserPass of the site's root as it reads now ("" when it cannot be read).
QString anonymousPasswordOf(platform::Metabase& metabase, const QString& sitePath) {
    auto root = metabase.Bind(sitePath + u"/ROOT"_s);
    if (!root)
        return {};
    return root.value()->Get(u"AnonymousUserPass"_s).valueOr({}).toString();
}

// Whether a site other than exceptSiteId carries the name (trimmed, any letter case).
bool siteNameTaken(platform::Metabase& metabase, const QString& name, const QString& exceptSiteId) {
    // Compared as creation compares: trimmed, without regard to letter case.
    const QString wanted = name.trimmed().toUpper();
    const auto scope = metabase.ReadScope();
    auto service = metabase.Bind(u"IIS://LocalHost/W3SVC"_s);
    if (!service)
        return false;
    for (const auto& child : service.value()->Enumerate().valueOr({})) {
        if (child->Name() == exceptSiteId)
            continue;
        if (auto comment = child->Get(u"ServerComment"_s);
            comment && comment.value().toString().trimmed().toUpper() == wanted)
            return true;
    }
    return false;
}

} // namespace

void Form1::Command3_Click() {
    const QStringList domains = txtHostName->text().split(u'@');
    const QString siteId = state.SelectedSiteId;
    if (!deletfloadr::IsSiteNumber(siteId)) {
        services.dialogs->MsgBox(u"未选择正确的网站！"_s, platform::msgbox::Information, u"提示"_s);
        return;
    }
    // The name is trimmed once, here, as the create trims it: "shop " is the site "shop", for the
    // name written and for every comparison.
    const QString siteName = txtSiteName->text().trimmed();
    if (siteName.isEmpty()) {
        services.dialogs->MsgBox(u"网站名称不能为空！"_s, platform::msgbox::Exclamation, u"警告"_s);
        return;
    }
    const QString account = username->text().trimmed();
    const QString pass = password->text().trimmed();
    // Only the site's own account, made for it and named like it, gets a new password and stays
    // the anonymous user: changing the shared account, Administrator or another site's account
    // would break every other site, the server or that site.
    const bool siteAccount =
        account.compare(siteName, Qt::CaseInsensitive) == 0 &&
        deletfloadr::IsSiteAccount(*services.accounts, account, state.SharedAnonymousUser);
    const QString sitePath = u"IIS://LocalHost/W3SVC/"_s + siteId;
    // A password typed for another account is not used; the report says so.
    const bool passwordIgnored =
        !siteAccount && !pass.isEmpty() && pass != anonymousPasswordOf(*services.metabase, sitePath);

    // The same checks as creation makes, in its order, before anything is changed.
    QString problem = InputChecks::SiteName(siteName, false);
    if (problem.isEmpty() && siteAccount)
        problem = pass.isEmpty() ? u"密码不能为空！"_s : InputChecks::Password(pass);
    if (problem.isEmpty() && passwordIgnored)
        problem = InputChecks::Password(pass);
    if (problem.isEmpty() && !txtHostName->text().isEmpty())
        problem = InputChecks::DomainList(txtHostName->text());
    if (problem.isEmpty())
        problem = InputChecks::Port(txtSitePort->text().trimmed());
    if (problem.isEmpty() && siteNameTaken(*services.metabase, siteName, siteId))
        problem = u"该站点已经存在！"_s;
    if (!problem.isEmpty()) {
        services.dialogs->MsgBox(problem, platform::msgbox::Information, u"系统信息"_s);
        return;
    }
    const bool withDomains = !txtHostName->text().isEmpty();
    if (!withDomains && services.dialogs->MsgBox(u"网站未绑定域名，是否继续！"_s,
                                                 platform::msgbox::YesNo | platform::msgbox::DefaultButton2,
                                                 u"提示"_s) != platform::msgbox::Yes)
        return;

    operation.emplace();
    if (siteAccount) {
        if (withDomains)
            RunHidden(u"cmd.exe /c net user "_s + account + u' ' + pass);
        if (auto s = AppPool::SetAnonymousUser(*services.metabase, *services.pacing, siteId, account, pass);
            !s)
            operation->step(u"SetAnonymousUser "_s + account + u" on IIS://127.0.0.1/w3svc/"_s + siteId,
                            s.error());
    } else if (passwordIgnored) {
        operation->note(u"密码未修改：账户 "_s + account +
                        u" 不是本网站自己的账户，网站保留原匿名用户和密码"_s);
    }
    auto site = services.metabase->Bind(sitePath);
    auto root = services.metabase->Bind(sitePath + u"/ROOT"_s);
    if (site && root) {
        site.value()->Put(u"ServerComment"_s, siteName);
        QStringList bindings;
        if (withDomains)
            for (const QString& domain : domains)
                bindings << state.BindingIP + u':' + txtSitePort->text().trimmed() + u':' + domain;
        site.value()->Put(u"ServerBindings"_s, platform::MetaValue(bindings));
        // Always the clicked row's own directory: the path box may show the sites root.
        root.value()->Put(u"Path"_s, state.SelectedSitePath);
        if (auto s = root.value()->SetInfo(); !s)
            operation->step(u"SetInfo "_s + sitePath + u"/ROOT"_s, s.error());
        if (auto s = site.value()->SetInfo(); !s)
            operation->step(u"SetInfo "_s + sitePath, s.error());
    } else {
        operation->step(u"Bind "_s + sitePath, (site ? root.error() : site.error()));
    }
    if (auto s = addmime::AddMimeTypes(*services.metabase, siteId.toInt()); !s)
        operation->step(u"AddMimeTypes "_s + siteId, s.error());
    ReportResult(u"Editweb"_s);
}
