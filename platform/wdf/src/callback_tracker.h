// Bookkeeping for objects whose driver callback runs deferred (timers, work items): how many
// callbacks are pending or running, in which contexts they run, and a wait until none is left.
// The wait goes through a runtime event, so it is a proper blocking call in both modes.
//
// Owners hold it by shared_ptr and so does each deferred routine: a routine drops its reference
// on the owner object first and reports done() last, so that whoever waits for the callbacks
// (deletion, unload) also sees the references they held returned.
#pragma once

#include <algorithm>
#include <mutex>
#include <vector>

#include "vel/runtime/runtime.h"

namespace vel::wdf {

class CallbackTracker {
  public:
    explicit CallbackTracker(std::string name)
        : idle_(rt::Event::Type::ManualReset, true, std::move(name)) {}

    // A callback is owed (queued or about to run).
    void add() {
        std::lock_guard lock(mutex_);
        if (busy_++ == 0) {
            idle_.reset();
        }
    }
    // The callback owed finished or was dropped.
    void done() {
        bool idle;
        {
            std::lock_guard lock(mutex_);
            idle = --busy_ == 0;
        }
        if (idle) {
            idle_.set();
        }
    }

    // Marks the current context as running the callback for the scope of the guard.
    class Running {
      public:
        explicit Running(CallbackTracker& tracker) : tracker_(tracker), context_(current()) {
            std::lock_guard lock(tracker_.mutex_);
            tracker_.running_.push_back(context_);
        }
        ~Running() {
            std::lock_guard lock(tracker_.mutex_);
            tracker_.running_.erase(
                std::find(tracker_.running_.begin(), tracker_.running_.end(), context_));
        }
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;

      private:
        CallbackTracker& tracker_;
        const rt::Context* context_;
    };

    bool calledFromCallback() const {
        std::lock_guard lock(mutex_);
        return std::find(running_.begin(), running_.end(), current()) != running_.end();
    }

    // Blocks until no callback is owed.
    void waitIdle() {
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (busy_ == 0) {
                    return;
                }
                // A done() racing with an add() may have left the event set while busy.
                idle_.reset();
            }
            idle_.wait();
        }
    }

  private:
    static const rt::Context* current() {
        rt::Runtime* runtime = rt::Runtime::current();
        return runtime != nullptr ? runtime->currentContext() : nullptr;
    }

    mutable std::mutex mutex_;
    int busy_ = 0;
    std::vector<const rt::Context*> running_;
    rt::Event idle_;
};

}  // namespace vel::wdf
