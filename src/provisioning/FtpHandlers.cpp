// The default FTP site: found at start-up, its anonymous access switched off.

#include "platform/Dialogs.h"
#include "platform/Metabase.h"
#include "window/Form1.h"

using namespace Qt::Literals::StringLiterals;

platform::MetabaseObjectPtr Form1::BindServiceOrEnd(const QString& adsPath, const QString& notStarted) {
    auto service = services.metabase->Bind(adsPath);
    while (!service) {
        if (services.dialogs->MsgBox(notStarted, platform::msgbox::RetryCancel, u"IIS服务未启动"_s) ==
            platform::msgbox::Cancel) {
            EndProgram();
            return nullptr;
        }
        service = services.metabase->Bind(adsPath);
    }
    return std::move(service).value();
}

void Form1::SetupDefaultFtpSite() {
    const auto service = BindServiceOrEnd(u"IIS://localhost/MSFTPSVC"_s,
                                          u"本服务器的Internet Iformation Server 未启动,请检查IIS是否安装"_s);
    if (!service)
        return;
    // Every child is looked at; when several match, the last one wins.
    for (auto& child : service->Enumerate().valueOr({})) {
        if (child->Class() == u"IIsFtpServer"_s &&
            child->Get(u"ServerComment"_s).valueOr({}).toString() == u"默认 FTP 站点"_s) {
            state.FtpSiteNumber = child->Name().toInt();
            child->Put(u"AllowAnonymous"_s, false);
        }
        child->SetInfo();
    }
}
