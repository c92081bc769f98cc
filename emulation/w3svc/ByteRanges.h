#pragma once

#include <cstdint>
#include <string>

namespace w3svc {

struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};
enum class RangeResult { Whole, Part, Unsatisfiable };

// One "bytes=a-b", "bytes=a-" or "bytes=-n" range of a file of size bytes. A Range that is not
// well formed, names several ranges or another unit is passed over and the whole file is sent, as
// IIS does; a well-formed range that starts beyond the end is unsatisfiable (416).
RangeResult parseRange(const std::string& header, std::uint64_t size, ByteRange& out);

} // namespace w3svc
