#include "deferred.h"

namespace vel::rt {

void DeferredQueues::pushDpc(Routine routine) {
    std::lock_guard lock(mutex_);
    dpcs_.push_back(std::move(routine));
}

void DeferredQueues::pushWork(Routine routine) {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(routine));
}

Runtime::TimerId DeferredQueues::arm(Ticks due, Routine routine) {
    std::lock_guard lock(mutex_);
    Runtime::TimerId id = nextTimer_++;
    timers_.emplace(std::make_pair(due, id), std::move(routine));
    dueOf_.emplace(id, due);
    return id;
}

bool DeferredQueues::cancel(Runtime::TimerId id) {
    std::lock_guard lock(mutex_);
    auto it = dueOf_.find(id);
    if (it == dueOf_.end()) {
        return false;
    }
    timers_.erase(std::make_pair(it->second, id));
    dueOf_.erase(it);
    return true;
}

void DeferredQueues::fireDue(Ticks now) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
        return;
    }
    while (!timers_.empty() && timers_.begin()->first.first <= now) {
        auto node = timers_.extract(timers_.begin());
        dueOf_.erase(node.key().second);
        dpcs_.push_back(std::move(node.mapped()));
    }
}

std::optional<Ticks> DeferredQueues::earliestDue() const {
    std::lock_guard lock(mutex_);
    if (timers_.empty() || stopping_) {
        return std::nullopt;
    }
    return timers_.begin()->first.first;
}

std::optional<DeferredQueues::Routine> DeferredQueues::takeDpc() {
    std::lock_guard lock(mutex_);
    if (dpcs_.empty()) {
        return std::nullopt;
    }
    Routine routine = std::move(dpcs_.front());
    dpcs_.pop_front();
    ++inProgress_;
    return routine;
}

std::optional<DeferredQueues::Routine> DeferredQueues::takeWork() {
    std::lock_guard lock(mutex_);
    if (work_.empty()) {
        return std::nullopt;
    }
    Routine routine = std::move(work_.front());
    work_.pop_front();
    ++inProgress_;
    return routine;
}

void DeferredQueues::done() {
    std::lock_guard lock(mutex_);
    --inProgress_;
}

bool DeferredQueues::hasDpc() const {
    std::lock_guard lock(mutex_);
    return !dpcs_.empty();
}

bool DeferredQueues::hasWork() const {
    std::lock_guard lock(mutex_);
    return !work_.empty();
}

bool DeferredQueues::quiet(Ticks limit) const {
    std::lock_guard lock(mutex_);
    bool timerDue = !stopping_ && !timers_.empty() && timers_.begin()->first.first <= limit;
    return dpcs_.empty() && work_.empty() && inProgress_ == 0 && !timerDue;
}

void DeferredQueues::stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
}

bool DeferredQueues::stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

}  // namespace vel::rt
