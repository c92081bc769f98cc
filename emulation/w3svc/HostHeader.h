#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace w3svc {

// A request's authority (its Host field, or the host of an absolute-form target) as RFC 9110 and
// RFC 3986 allow it: a registered name of letters, digits, "-", ".", "_" and "~" (never
// percent-decoded), an IPv4 address or a bracketed IPv6 literal, then optionally ":" and a port of
// digits. nullopt for anything else (a path, a query, userinfo, "%", blanks). The empty authority
// is valid: a request without Host.
struct Authority {
    std::string host; // lower case, without the port
    std::string text; // host and port as sent, for a Location built from it
};
std::optional<Authority> parseAuthority(std::string_view text);

// An absolute-form target ("http://www.example.com:80/a?b"): its authority and its origin-form
// rest ("/a?b", "/" when empty). nullopt when the target is not in absolute form.
struct AbsoluteTarget {
    std::string authority;
    std::string originForm;
};
std::optional<AbsoluteTarget> splitAbsoluteTarget(std::string_view target);

} // namespace w3svc
