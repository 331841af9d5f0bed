// The runtime's clock: virtual ticks that only the scheduler advances (simulated), or the real
// monotonic clock since the runtime started (wall time).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "vel/runtime/runtime.h"

namespace vel::rt {

class Clock {
  public:
    explicit Clock(Mode mode);

    Ticks now() const;
    // Simulated only: jump forward to `t` (never backwards).
    void advanceTo(Ticks t);
    // Wall time: the real instant of tick `t`, for timed waits.
    std::chrono::steady_clock::time_point realTime(Ticks t) const;

  private:
    Mode mode_;
    std::chrono::steady_clock::time_point start_;
    std::atomic<Ticks> virtual_{0};
};

// `now + interval`, saturating, for deadlines of very long timeouts.
inline Ticks deadlineAfter(Ticks now, Ticks interval) {
    return interval > INT64_MAX - now ? INT64_MAX : now + interval;
}

}  // namespace vel::rt
