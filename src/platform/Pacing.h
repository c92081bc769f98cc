#pragma once

#include <cstdint>

namespace platform {

// The millisecond counter (timeGetTime) and waiting while the window stays responsive.
class Pacing {
public:
    virtual ~Pacing() = default;
    // A 32-bit millisecond counter that wraps round about every 49.7 days.
    virtual std::uint32_t timeGetTime() = 0;
    // Lets the window handle the events that are waiting, once.
    virtual void DoEvents() = 0;
    // Returns after at least ms milliseconds, handling window events meanwhile; Delay(0) returns at
    // once without handling any.
    virtual void Delay(int ms) = 0;
};

} // namespace platform
