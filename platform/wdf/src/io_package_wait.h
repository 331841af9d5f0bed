// Waiting for a condition on state that a mutex guards: each waiter registers an event of its
// own under the mutex, so that a notify between the check and the wait is never lost and
// several waiters never steal each other's wake-up. The wait is a blocking call.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "vel/runtime/runtime.h"

namespace vel::wdf {

class Waiters {
  public:
    // Blocks until `ready()` (checked with `mutex` held) is true.
    template <typename Predicate>
    void waitFor(std::mutex& mutex, Predicate ready, const char* what) {
        for (;;) {
            auto event = std::make_shared<rt::Event>(rt::Event::Type::ManualReset, false, what);
            {
                std::lock_guard lock(mutex);
                if (ready()) {
                    return;
                }
                std::lock_guard listLock(mutex_);
                waiting_.push_back(event);
            }
            event->wait();
        }
    }

    // Wakes every waiter to check again; call with `mutex` held or not.
    void notify() {
        std::vector<std::shared_ptr<rt::Event>> woken;
        {
            std::lock_guard lock(mutex_);
            woken.swap(waiting_);
        }
        for (auto& event : woken) {
            event->set();
        }
    }

  private:
    // Guards the list only; taken inside the caller's mutex, never around anything else.
    std::mutex mutex_;
    std::vector<std::shared_ptr<rt::Event>> waiting_;
};

}  // namespace vel::wdf
