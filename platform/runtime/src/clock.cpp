#include "clock.h"

namespace vel::rt {

using TickDuration = std::chrono::duration<Ticks, std::ratio<1, kTicksPerSec>>;

Clock::Clock(Mode mode) : mode_(mode), start_(std::chrono::steady_clock::now()) {}

Ticks Clock::now() const {
    if (mode_ == Mode::Simulated) {
        return virtual_.load(std::memory_order_acquire);
    }
    return std::chrono::duration_cast<TickDuration>(std::chrono::steady_clock::now() - start_)
        .count();
}

void Clock::advanceTo(Ticks t) {
    if (t > virtual_.load(std::memory_order_relaxed)) {
        virtual_.store(t, std::memory_order_release);
    }
}

std::chrono::steady_clock::time_point Clock::realTime(Ticks t) const {
    // Beyond a century the wait is as good as unbounded; clamp so the conversion cannot overflow.
    constexpr Ticks kFar = 100ll * 365 * 24 * 3600 * kTicksPerSec;
    return start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        TickDuration(t < kFar ? t : kFar));
}

}  // namespace vel::rt
