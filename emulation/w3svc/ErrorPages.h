#pragma once

#include "emulation/w3svc/Exchange.h"

#include <string>

namespace w3svc {

// HTTP.sys names itself in the answers it gives without IIS: no site, a paused site, no service,
// a request it refuses.
inline constexpr char HttpApiServer[] = "Microsoft-HTTPAPI/1.0";
inline constexpr char IisServer[] = "Microsoft-IIS/6.0";

// The body IIS sends with an error status.
std::string errorPage(int status, int substatus);
// The short body HTTP.sys sends when it refuses a request itself.
std::string httpApiPage(int status, const char* reason);
// Makes r an error answer of IIS with its page.
void fail(Response& r, int status, int substatus, std::uint32_t win32);

} // namespace w3svc
