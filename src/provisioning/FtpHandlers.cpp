// The default FTP site: found at start-up, its anonymous access switched off.

#include "platform/Dialogs.h"
#include "platform/Metabase.h"
#include "window/Form1.h"

using namespace Qt::Literals::StringLiterals;

void Form1::SetupDefaultFtpSite() {
    auto service = services.metabase->Bind(u"IIS://localhost/MSFTPSVC"_s);
    while (!service) {
        const int answer =
            services.dialogs->MsgBox(u"本服务器的Internet Iformation Server 未启动,请检查IIS是否安装"_s,
                                     platform::msgbox::RetryCancel, u"IIS服务未启动"_s);
        if (answer == platform::msgbox::Cancel) {
            EndProgram();
            return;
        }
        service = services.metabase->Bind(u"IIS://localhost/MSFTPSVC"_s);
    }
    // Every child is looked at; when several match, the last one wins.
    for (auto& child : service.value()->Enumerate().valueOr({})) {
        if (child->Class() == u"IIsFtpServer"_s &&
            child->Get(u"ServerComment"_s).valueOr({}).toString() == u"默认 FTP 站点"_s) {
            state.FtpSiteNumber = child->Name().toInt();
            child->Put(u"AllowAnonymous"_s, false);
        }
        child->SetInfo();
    }
}
