// The queues of deferred execution: DPCs, system work items and kernel timers. Workers take
// from them; the scheduler moves due timers onto the DPC queue. Guarded by its own mutex, which
// is taken after the scheduler's, never before.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "vel/runtime/runtime.h"

namespace vel::rt {

class DeferredQueues {
  public:
    using Routine = std::function<void()>;

    void pushDpc(Routine routine);
    void pushWork(Routine routine);
    Runtime::TimerId arm(Ticks due, Routine routine);
    bool cancel(Runtime::TimerId id);

    // Moves every timer due at `now` onto the DPC queue, earliest first (ties: arming order).
    void fireDue(Ticks now);
    std::optional<Ticks> earliestDue() const;

    // Take the next item; a taken item counts as in progress until done().
    std::optional<Routine> takeDpc();
    std::optional<Routine> takeWork();
    void done();

    bool hasDpc() const;
    bool hasWork() const;
    // No item queued or in progress and no timer due at or before `limit`.
    bool quiet(Ticks limit) const;

    // Workers finish their queue and leave; timers no longer fire.
    void stop();
    bool stopping() const;

  private:
    mutable std::mutex mutex_;
    std::deque<Routine> dpcs_;
    std::deque<Routine> work_;
    std::map<std::pair<Ticks, Runtime::TimerId>, Routine> timers_;
    std::map<Runtime::TimerId, Ticks> dueOf_;
    Runtime::TimerId nextTimer_ = 1;
    unsigned inProgress_ = 0;
    bool stopping_ = false;
};

}  // namespace vel::rt
