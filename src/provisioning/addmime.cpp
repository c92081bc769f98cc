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

} // namespace addmime
