#pragma once

#include "platform/Pacing.h"

#include <functional>
#include <vector>

namespace testing_support {

// A millisecond counter that moves only when the program waits: each wait is recorded instead of
// slept, and a test may act during a wait (a click in the middle of a handler's pause).
class VirtualClock final : public platform::Pacing {
public:
    std::uint32_t timeGetTime() override { return m_now; }
    void DoEvents() override { ++m_doEvents; }
    void Delay(int ms) override {
        m_waits.push_back(ms);
        if (ms <= 0)
            return;
        m_now += static_cast<std::uint32_t>(ms);
        if (m_duringWait) {
            auto hook = m_duringWait; // a hook may wait itself; it runs once per outer wait
            m_duringWait = nullptr;
            hook(ms);
            m_duringWait = hook;
        }
    }

    const std::vector<int>& waits() const { return m_waits; }
    int doEvents() const { return m_doEvents; }
    // Runs during every wait (not during the waits it causes itself).
    void duringWait(std::function<void(int ms)> hook) { m_duringWait = std::move(hook); }

private:
    std::uint32_t m_now = 1000;
    int m_doEvents = 0;
    std::vector<int> m_waits;
    std::function<void(int)> m_duringWait;
};

} // namespace testing_support
