#include "provisioning/AppPool.h"

#include "platform/Metabase.h"

using namespace Qt::Literals::StringLiterals;

namespace AppPool {

int CreateFtpVirtualDir(platform::Metabase& metabase, std::int32_t ftpSiteNumber, const QString& folder,
                        const QString& name) {
    auto root = metabase.Bind(u"IIS://localhost/MSFTPSVC/"_s + QString::number(ftpSiteNumber) + u"/ROOT"_s);
    if (!root)
        return 0;
    auto dir = root.value()->Create(u"IIsFtpVirtualDir"_s, name);
    if (!dir)
        return 0;
    // A failure from here on does not change the result.
    dir.value()->Put(u"Path"_s, folder);
    dir.value()->Put(u"AccessRead"_s, true);
    dir.value()->Put(u"AccessWrite"_s, true);
    dir.value()->SetInfo();
    return 1;
}

} // namespace AppPool
