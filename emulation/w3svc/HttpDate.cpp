#include "emulation/w3svc/HttpDate.h"

namespace w3svc {

std::string httpDate(std::time_t t) {
    // One formatting a second and thread: every answer carries a Date.
    thread_local std::time_t cachedTime = -1;
    thread_local std::string cached;
    if (t == cachedTime)
        return cached;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    cachedTime = t;
    cached = buf;
    return cached;
}

std::time_t parseHttpDate(const std::string& text) {
    std::tm tm{};
    const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    if (!end || *end != '\0')
        return -1;
    return timegm(&tm);
}

} // namespace w3svc
