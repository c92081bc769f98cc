#pragma once

#include "emulation/w3svc/Exchange.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace w3svc {

// A request's head as the listener read it, checked for the framing that HTTP.sys insists on.
struct RequestHead {
    int status = 0;          // 0: well framed; else the status HTTP.sys rejects it with
    const char* reason = ""; // HTTP.sys's reason for the rejection, as its error log names it
    std::string method;
    std::string target;
    std::string version; // "HTTP/1.1"
    bool keepAlive = true;
    bool chunked = false;            // Transfer-Encoding: chunked
    std::uint64_t contentLength = 0; // Content-Length, 0 when absent
    bool hasBody = false;
    int hostFields = 0;
    std::string host, range, ifModifiedSince, ifNoneMatch, userAgent, cookie, referer;
};

// The length of the head at the start of bytes, its final empty line included: 0 while it is not
// all there. from is where the previous look stopped, so that a slow client's head is not searched
// from its start for every byte.
std::size_t headLength(std::string_view bytes, std::size_t from);

// Checks and parses a whole head (request line, fields, empty line) with Beast's parser and the
// stricter rules of RFC 9112 for framing: every line ends in CRLF; no folded (obs-fold) lines; no
// control characters; one Content-Length of decimal digits only; Transfer-Encoding only "chunked",
// only in HTTP/1.1 and never beside Content-Length; a request line or a field longer than
// MaxFieldLength, or a head longer than MaxRequestBytes, is refused.
RequestHead parseHead(std::string_view head, const Limits& limits);

} // namespace w3svc
