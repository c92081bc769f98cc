#include "emulation/w3svc/HostHeader.h"

#include <cctype>

namespace w3svc {

namespace {

bool nameChar(unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i])
            return false;
    return true;
}

} // namespace

std::optional<Authority> parseAuthority(std::string_view text) {
    Authority out;
    out.text = std::string(text);
    std::string_view host = text, port;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos || close < 3)
            return std::nullopt;
        for (const char c : text.substr(1, close - 1))
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.')
                return std::nullopt;
        host = text.substr(0, close + 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return std::nullopt;
            port = rest.substr(1);
        }
    } else {
        const size_t colon = text.find(':');
        if (colon != std::string_view::npos) {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
            if (port.empty() && colon + 1 != text.size())
                return std::nullopt;
        }
        for (const char c : host)
            if (!nameChar(static_cast<unsigned char>(c)))
                return std::nullopt;
        if (host.empty() && colon != std::string_view::npos)
            return std::nullopt;
    }
    if (port.size() > 5)
        return std::nullopt;
    for (const char c : port)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
    out.host.reserve(host.size());
    for (const char c : host)
        out.host += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::optional<AbsoluteTarget> splitAbsoluteTarget(std::string_view target) {
    std::string_view rest;
    if (startsWithNoCase(target, "http://"))
        rest = target.substr(7);
    else if (startsWithNoCase(target, "https://"))
        rest = target.substr(8);
    else
        return std::nullopt;
    const size_t end = rest.find_first_of("/?#");
    AbsoluteTarget out;
    out.authority = std::string(rest.substr(0, end));
    if (end == std::string_view::npos)
        out.originForm = "/";
    else if (rest[end] == '?')
        out.originForm = "/" + std::string(rest.substr(end));
    else
        out.originForm = std::string(rest.substr(end));
    return out;
}

} // namespace w3svc
