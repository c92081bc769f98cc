#pragma once

#include "platform/Pacing.h"

#include <QElapsedTimer>

namespace platform {

// Waits in the Qt event loop: window events are handled while the program waits, and the
// processor sleeps between them instead of polling.
class EventLoopPacing final : public Pacing {
public:
    // counterStart: the counter's value now (a test may start it just before the wrap).
    explicit EventLoopPacing(std::uint32_t counterStart = 0);
    std::uint32_t timeGetTime() override;
    void DoEvents() override;
    void Delay(int ms) override;

private:
    QElapsedTimer m_clock;
    std::uint32_t m_base;
};

} // namespace platform
