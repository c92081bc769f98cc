#pragma once

#include "platform/Outcome.h"

#include <cstdint>

namespace emulation::metabase {

// Windows' texts for the error numbers the metabase reports.
platform::Error metabaseError(std::uint32_t number);

} // namespace emulation::metabase
