#include "emulation/metabase/MetabaseErrors.h"

#include "platform/Metabase.h"

namespace emulation::metabase {

using namespace Qt::Literals::StringLiterals;
using platform::Error;
namespace hr = platform::hr;

Error metabaseError(std::uint32_t number) {
    switch (number) {
    case hr::PathNotFound:
        return {number, u"系统找不到指定的路径。"_s};
    case hr::AlreadyExists:
        return {number, u"当文件已存在时，无法创建该文件。"_s};
    case hr::PropertyNotFound:
        return {number, u"在缓存中找不到此目录属性。"_s};
    case hr::BadPathname:
        return {number, u"发生了无效的目录路径名。"_s};
    case hr::AccessDenied:
        return {number, u"拒绝访问。"_s};
    case hr::RpcUnavailable:
        return {number, u"RPC 服务器不可用。"_s};
    case hr::InvalidArgument:
        return {number, u"参数错误。"_s};
    case hr::ServiceNotActive:
        return {number, u"服务未启动。"_s};
    default:
        return {number, u"未指定的错误"_s};
    }
}

} // namespace emulation::metabase
