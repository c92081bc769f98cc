#include "emulation/w3svc/HttpFraming.h"

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

#include <cctype>
#include <cstring>

namespace w3svc {

namespace http = boost::beast::http;

namespace {

bool isTchar(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string_view trimmed(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
        v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
        v.remove_suffix(1);
    return v;
}

RequestHead refuse(RequestHead& h, int status, const char* reason) {
    h.status = status;
    h.reason = reason;
    return std::move(h);
}

// The request line's three parts as far as they are there, for the error log.
void roughRequestLine(std::string_view head, RequestHead& h) {
    const std::string_view line = head.substr(0, std::min(head.find_first_of("\r\n"), std::size_t{512}));
    const size_t a = line.find(' ');
    h.method = std::string(line.substr(0, a));
    if (a == std::string_view::npos)
        return;
    const size_t b = line.find(' ', a + 1);
    h.target =
        std::string(line.substr(a + 1, b == std::string_view::npos ? std::string_view::npos : b - a - 1));
    if (b != std::string_view::npos)
        h.version = std::string(line.substr(b + 1));
}

} // namespace

std::size_t headLength(std::string_view bytes, std::size_t from) {
    // A head ends at its first empty line; a bare LF ends a line here too, so that a head that
    // uses it is refused at once rather than waited for.
    for (size_t i = from; i < bytes.size(); ++i) {
        if (bytes[i] != '\n')
            continue;
        if (i >= 1 && bytes[i - 1] == '\n')
            return i + 1;
        if (i >= 2 && bytes[i - 1] == '\r' && bytes[i - 2] == '\n')
            return i + 1;
    }
    return 0;
}

RequestHead parseHead(std::string_view head, const Limits& limits) {
    RequestHead h;
    roughRequestLine(head, h);
    if (head.size() > limits.maxRequestBytes)
        return refuse(h, 400, "RequestLength");
    // A version of another major number than 1 is one HTTP.sys does not speak.
    if (h.version.size() == 8 && h.version.compare(0, 5, "HTTP/") == 0 && h.version[5] != '1' &&
        std::isdigit(static_cast<unsigned char>(h.version[5])))
        return refuse(h, 505, "Version_N/S");
    // Line by line first: what Beast's parser would let through (folded lines, bare LF, lists in
    // Content-Length, Transfer-Encoding that is not chunked) but a front end might read otherwise.
    int contentLengths = 0, transferEncodings = 0;
    std::string_view te;
    size_t at = 0;
    bool first = true;
    while (at < head.size()) {
        const size_t lf = head.find('\n', at);
        if (lf == std::string_view::npos || lf == at || head[lf - 1] != '\r')
            return refuse(h, 400, "BadRequest"); // a bare LF
        const std::string_view line = head.substr(at, lf - 1 - at);
        at = lf + 1;
        if (line.empty())
            break;
        if (line.size() > limits.maxFieldLength)
            return refuse(h, first ? 414 : 400, first ? "URL" : "FieldLength");
        for (const char c : line)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
                return refuse(h, 400, "BadRequest");
        if (first) {
            first = false;
            continue;
        }
        if (line.front() == ' ' || line.front() == '\t')
            return refuse(h, 400, "Header"); // obs-fold
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return refuse(h, 400, "Header");
        const std::string_view name = line.substr(0, colon);
        for (const char c : name)
            if (!isTchar(static_cast<unsigned char>(c)))
                return refuse(h, 400, "Header");
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (equalsNoCase(name, "Content-Length")) {
            if (++contentLengths > 1 || value.empty() || value.size() > 18 ||
                value.find_first_not_of("0123456789") != std::string_view::npos)
                return refuse(h, 400, "BadRequest");
            h.contentLength = std::stoull(std::string(value));
        } else if (equalsNoCase(name, "Transfer-Encoding")) {
            ++transferEncodings;
            te = value;
        } else if (equalsNoCase(name, "Host")) {
            if (++h.hostFields == 1)
                h.host = std::string(value);
        } else if (equalsNoCase(name, "Range")) {
            h.range = std::string(value);
        } else if (equalsNoCase(name, "If-Modified-Since")) {
            h.ifModifiedSince = std::string(value);
        } else if (equalsNoCase(name, "If-None-Match")) {
            h.ifNoneMatch = std::string(value);
        } else if (equalsNoCase(name, "User-Agent")) {
            h.userAgent = std::string(value);
        } else if (equalsNoCase(name, "Cookie")) {
            h.cookie = std::string(value);
        } else if (equalsNoCase(name, "Referer")) {
            h.referer = std::string(value);
        }
    }
    if (at != head.size())
        return refuse(h, 400, "BadRequest");

    // The request line and the fields' grammar, and the connection's persistence, by Beast.
    http::request_parser<http::empty_body> parser;
    parser.eager(false);
    parser.header_limit(static_cast<std::uint32_t>(limits.maxRequestBytes + 1));
    parser.body_limit(boost::none); // the body is never read by the parser
    boost::system::error_code ec;
    parser.put(boost::asio::buffer(head.data(), head.size()), ec);
    if (ec || !parser.is_header_done())
        return refuse(h, 400, "BadRequest");
    const auto& req = parser.get();
    const unsigned version = req.version();
    if (version / 10 != 1)
        return refuse(h, 505, "Version_N/S");
    h.method = std::string(req.method_string());
    h.target = std::string(req.target());
    h.version = version == 10 ? "HTTP/1.0" : "HTTP/1.1";
    h.keepAlive = req.keep_alive();

    if (transferEncodings > 0) {
        // Only "chunked" alone; nothing with Content-Length, nothing in HTTP/1.0 (RFC 9112 6.1).
        if (transferEncodings > 1 || contentLengths > 0 || version == 10 || !equalsNoCase(te, "chunked"))
            return refuse(h, 400, "BadRequest");
        h.chunked = true;
    }
    h.hasBody = h.chunked || h.contentLength > 0;
    if (version == 11 && h.hostFields == 0)
        return refuse(h, 400, "Hostname");
    if (h.hostFields > 1)
        return refuse(h, 400, "Hostname");
    return h;
}

} // namespace w3svc
