#include "emulation/w3svc/HttpDate.h"

namespace w3svc {

std::string httpDate(std::time_t t) {
    // Formatted once a second and thread: every answer carries a Date, and a file's answer a
    // Last-Modified too, so two times are kept (the one used longest ago gives way).
    struct Formatted {
        std::time_t time = -1;
        std::string text;
    };
    thread_local Formatted kept[2];
    thread_local unsigned older = 0;
    for (unsigned i = 0; i < 2; ++i)
        if (kept[i].time == t) {
            older = 1 - i;
            return kept[i].text;
        }
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    Formatted& slot = kept[older];
    slot.time = t;
    slot.text = buf;
    older = 1 - older;
    return slot.text;
}

std::time_t parseHttpDate(const std::string& text) {
    std::tm tm{};
    const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    if (!end || *end != '\0')
        return -1;
    return timegm(&tm);
}

} // namespace w3svc
