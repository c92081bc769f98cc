#include "emulation/w3svc/ByteRanges.h"

namespace w3svc {

namespace {

bool number(const std::string& s, std::uint64_t& n) {
    if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    n = std::stoull(s);
    return true;
}

} // namespace

RangeResult parseRange(const std::string& header, std::uint64_t size, ByteRange& out) {
    if (header.rfind("bytes=", 0) != 0 || header.find(',') != std::string::npos)
        return RangeResult::Whole;
    const std::string spec = header.substr(6);
    const size_t dash = spec.find('-');
    if (dash == std::string::npos)
        return RangeResult::Whole;
    const std::string a = spec.substr(0, dash), b = spec.substr(dash + 1);
    std::uint64_t x = 0, y = 0;
    if (a.empty()) {
        if (!number(b, y))
            return RangeResult::Whole;
        if (y == 0 || size == 0)
            return RangeResult::Unsatisfiable;
        out = {y >= size ? 0 : size - y, size - 1};
        return RangeResult::Part;
    }
    if (!number(a, x) || (!b.empty() && !number(b, y)))
        return RangeResult::Whole;
    if (!b.empty() && y < x)
        return RangeResult::Whole;
    if (x >= size)
        return RangeResult::Unsatisfiable;
    out = {x, b.empty() || y >= size ? size - 1 : y};
    return RangeResult::Part;
}

} // namespace w3svc
