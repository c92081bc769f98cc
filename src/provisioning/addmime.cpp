#include "provisioning/addmime.h"

#include "platform/Metabase.h"

using namespace Qt::Literals::StringLiterals;

namespace addmime {

platform::Outcome<QString> LoadSharedAnonymousUser(platform::Metabase& metabase) {
    auto service = metabase.Bind(u"IIS://LocalHost/W3SVC"_s);
    if (!service)
        return service.error();
    auto name = service.value()->Get(u"AnonymousUserName"_s);
    if (!name)
        return name.error();
    return name.value().toString();
}

const QStringList& MimeTypeList() {
    static const QStringList list = {
        u".shtml"_s, u"text/html"_s,
        u".shtm"_s,  u"text/html"_s,
        u".swf"_s,   u"application/x-shockwave-flash"_s,
        u".avi"_s,   u"video/x-msvideo"_s,
        u".mp4"_s,   u"video/mp4"_s,
        u".rm"_s,    u"audio/x-pn-realaudio"_s,
        u".rmvb"_s,  u"audio/x-pn-realaudio"_s,
        u".mp3"_s,   u"audio/mpeg"_s,
    };
    return list;
}

platform::Status AddMimeTypes(platform::Metabase& metabase, std::int32_t siteNumber) {
    auto site = metabase.Bind(u"IIS://127.0.0.1/w3svc/"_s + QString::number(siteNumber));
    if (!site)
        return site.error();
    auto root = site.value()->GetObject(u"IISWebVirtualDir"_s, u"root"_s);
    if (!root)
        return root.error();
    const QStringList& list = MimeTypeList();
    for (qsizetype i = 0; i + 1 < list.size(); i += 2)
        if (auto added = AddMimeMapEntry(*root.value(), list[i], list[i + 1]); !added)
            return added;
    return {};
}

platform::Status AddMimeMapEntry(platform::MetabaseObject& root, const QString& extension,
                                 const QString& mimeType) {
    auto current = root.GetEx(u"MimeMap"_s);
    if (!current)
        return current.error();
    platform::MimeMapList list = std::move(current).value();
    for (const auto& entry : list)
        if (entry.Extension.compare(extension, Qt::CaseInsensitive) == 0)
            return {};
    list.append({extension, mimeType});
    if (auto put = root.PutEx(platform::PutExControl::Update, u"MimeMap"_s, list); !put)
        return put;
    return root.SetInfo();
}

} // namespace addmime
