#include "vel/runtime/trace.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "context.h"

namespace vel::rt {

struct TraceLog::Impl {
    std::function<int64_t()> clock;
    std::atomic<unsigned> mask{0};
    mutable std::mutex mutex;
    std::vector<TraceRecord> records;
};

TraceLog::TraceLog(std::function<int64_t()> clock) : impl_(std::make_unique<Impl>()) {
    impl_->clock = std::move(clock);
}

TraceLog::~TraceLog() = default;

void TraceLog::enable(unsigned categoryMask) {
    impl_->mask.fetch_or(categoryMask, std::memory_order_relaxed);
}

bool TraceLog::enabled(TraceCategory category) const {
    return (impl_->mask.load(std::memory_order_relaxed) & static_cast<unsigned>(category)) != 0;
}

void TraceLog::write(TraceCategory category, std::string text) {
    if (!enabled(category)) {
        return;
    }
    ContextImpl* context = threadContext();
    TraceRecord record{impl_->clock ? impl_->clock() : 0,
                       context != nullptr ? context->name() : std::string("-"), category,
                       std::move(text)};
    std::lock_guard lock(impl_->mutex);
    impl_->records.push_back(std::move(record));
}

std::vector<TraceRecord> TraceLog::records() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->records;
}

std::vector<TraceRecord> TraceLog::take() {
    std::lock_guard lock(impl_->mutex);
    return std::exchange(impl_->records, {});
}

void TraceLog::clear() {
    std::lock_guard lock(impl_->mutex);
    impl_->records.clear();
}

std::string TraceLog::dump() const {
    std::string out;
    for (const TraceRecord& record : records()) {
        out += std::to_string(record.time) + " " + record.context + " " + record.text + "\n";
    }
    return out;
}

}  // namespace vel::rt
