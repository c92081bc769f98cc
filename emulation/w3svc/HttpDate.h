#pragma once

#include <ctime>
#include <string>

namespace w3svc {

// An HTTP date (IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT") of a time.
std::string httpDate(std::time_t t);
// The time of an IMF-fixdate; -1 when the text is none.
std::time_t parseHttpDate(const std::string& text);

} // namespace w3svc
