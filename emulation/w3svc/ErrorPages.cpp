#include "emulation/w3svc/ErrorPages.h"

#include <cstring>

namespace w3svc {

std::string errorPage(int status, int substatus) {
    // HTTP.sys answers these itself, with its own short bodies.
    if (status == 400 && substatus == 0)
        return "<h1>Bad Request (Invalid Hostname)</h1>";
    if (status == 503)
        return "<h1>Service Unavailable</h1>";
    struct Page {
        int status, substatus;
        const char* title;
        const char* reason;
    };
    static const Page pages[] = {
        {401, 1, "您未被授权查看该页", "HTTP 错误 401.1 - 未经授权：访问由于凭据无效被拒绝。"},
        {401, 3, "您未被授权查看该页", "HTTP 错误 401.3 - 未经授权：访问由于 ACL 对所请求资源的设置被拒绝。"},
        {403, 2, "您无权查看该网页", "HTTP 错误 403.2 - 禁止访问：读访问被拒绝。"},
        {403, 14, "目录列表被拒绝", "HTTP 错误 403.14 - 禁止访问：此虚拟目录不允许列出内容。"},
        {404, 0, "无法找到该页", "HTTP 错误 404 - 文件或目录未找到。"},
        {404, 3, "无法找到该页", "HTTP 错误 404.3 - 找不到：MIME 映射策略阻止了此请求。"},
        {405, 0, "不能显示该页", "HTTP 错误 405 - 用于访问该页的 HTTP 动作未被许可。"},
        {416, 0, "请求的范围无法满足", "HTTP 错误 416 - 请求的范围无法满足。"},
        {501, 0, "未实现", "HTTP 错误 501 - 未实现：服务器不支持请求的方法。"},
    };
    for (const Page& p : pages)
        if (p.status == status && p.substatus == substatus)
            return std::string("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                               "charset=utf-8\"><title>") +
                   p.title + "</title></head><body><h1>" + p.title + "</h1><p>" + p.reason +
                   "<br>Internet 信息服务 (IIS)</p></body></html>";
    return "<html><body><h1>HTTP " + std::to_string(status) + "</h1></body></html>";
}

std::string httpApiPage(int status, const char* reason) {
    if (status == 400 && std::strcmp(reason, "Hostname") == 0)
        return "<h1>Bad Request (Invalid Hostname)</h1>";
    if (status == 400 && std::strcmp(reason, "Header") == 0)
        return "<h1>Bad Request (Invalid Header Name)</h1>";
    if (status == 400 &&
        (std::strcmp(reason, "FieldLength") == 0 || std::strcmp(reason, "RequestLength") == 0))
        return "<h1>Bad Request (Request Header Too Long)</h1>";
    if (status == 414)
        return "<h1>Url Too Long</h1>";
    if (status == 505)
        return "<h1>HTTP Version Not Supported</h1>";
    if (status == 503)
        return "<h1>Service Unavailable</h1>";
    if (status == 500)
        return "<h1>Internal Server Error</h1>";
    return "<h1>Bad Request</h1>";
}

void fail(Response& r, int status, int substatus, std::uint32_t win32) {
    r.status = status;
    r.substatus = substatus;
    r.win32Status = win32;
    r.contentType = "text/html";
    r.body = errorPage(status, substatus);
}

} // namespace w3svc
