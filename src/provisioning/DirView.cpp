#include "provisioning/DirView.h"

#include "platform/Dialogs.h"
#include "platform/Pacing.h"
#include "provisioning/InputChecks.h"

using namespace Qt::Literals::StringLiterals;

namespace DirView {

namespace {

// The two lines of both grant procedures. The quoted path of the second ends in a blank before
// the closing quote; Windows drops trailing blanks of a name, so it names the "\web" folder.
void grant(const AppPool::RunCommand& run, const QString& root, const QString& site, const QString& account) {
    run(u"cmd.exe /c icacls \""_s + root + u'\\' + site + u"\" /grant:r "_s + account +
        u":(OI)(CI)(RA,REA,RC,RD,WD,S) /deny "_s + account + u":(OI)(CI)(WA,WEA)"_s);
    run(u"cmd.exe /c icacls \""_s + root + u'\\' + site + u"\\web \" /grant:r "_s + account +
        u":(OI)(CI)(RA,RC,REA,RD,DC,GW,WA,WEA,WDAC,S) /deny "_s + account + u":(DE)"_s);
}

} // namespace

QString BrowseFolder(platform::Dialogs& dialogs, const QString& title) {
    const QString path = dialogs.BrowseFolder(title.isEmpty() ? u"选择目录"_s : title);
    if (path.size() > MaxBrowsePath) {
        dialogs.MsgBox(u"路径太长！"_s, platform::msgbox::Information, u"系统信息"_s);
        return {};
    }
    // A folder made outside Windows may carry a name that would break out of a quoted command line.
    if (const QString problem = InputChecks::ChosenFolder(path); !problem.isEmpty()) {
        dialogs.MsgBox(problem, platform::msgbox::Information, u"系统信息"_s);
        return {};
    }
    return path;
}

void GrantSiteAccountAccess(const AppPool::RunCommand& run, platform::Pacing& pacing, const QString& root,
                            const QString& site, const QString& account) {
    grant(run, root, site, account);
    pacing.Delay(1000);
}

void GrantSharedAccountAccess(const AppPool::RunCommand& run, const QString& root, const QString& site,
                              const QString& account) {
    grant(run, root, site, account);
}

} // namespace DirView
