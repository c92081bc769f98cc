#include "platform/EventLoopPacing.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace platform {

EventLoopPacing::EventLoopPacing(std::uint32_t counterStart) : m_base(counterStart) {
    m_clock.start();
}

std::uint32_t EventLoopPacing::timeGetTime() {
    // Unsigned arithmetic: the counter wraps round like timeGetTime's.
    return m_base + static_cast<std::uint32_t>(m_clock.elapsed());
}

void EventLoopPacing::DoEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void EventLoopPacing::Delay(int ms) {
    if (ms <= 0)
        return;
    const std::uint32_t start = timeGetTime();
    // Differences of wrapping counters stay right across the wrap.
    for (std::uint32_t waited = 0; waited < static_cast<std::uint32_t>(ms); waited = timeGetTime() - start) {
        // Sleep in a local event loop until the rest of the wait is over; window events are
        // handled meanwhile.
        QEventLoop loop;
        QTimer::singleShot(ms - static_cast<int>(waited), Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

} // namespace platform
