#include "worker.h"

#include <memory>

namespace vel::pnp {

PnpWorker::PnpWorker(rt::Runtime& runtime)
    : runtime_(runtime), wake_(rt::Event::Type::AutoReset, false, "PnP work") {
    context_ = &runtime_.spawn("pnp", rt::ContextKind::Pnp, [this] { loop(); });
}

PnpWorker::~PnpWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.set();
    runtime_.join(*context_);
}

void PnpWorker::post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.set();
}

void PnpWorker::run(const std::function<void()>& job) {
    if (onWorker()) {
        job();
        return;
    }
    // Shared with the job, which may still be returning from set() when the wait ends.
    rt::Context* caller = runtime_.currentContext();
    auto done = std::make_shared<rt::Event>(
        rt::Event::Type::ManualReset, false,
        "PnP work queued by " + (caller != nullptr ? caller->name() : std::string("a thread")));
    post([&job, done] {
        job();
        done->set();
    });
    done->wait();
}

bool PnpWorker::onWorker() const {
    return runtime_.currentContext() == context_;
}

void PnpWorker::loop() {
    for (;;) {
        std::function<void()> job;
        {
            std::lock_guard lock(mutex_);
            if (!jobs_.empty()) {
                job = std::move(jobs_.front());
                jobs_.pop_front();
            } else if (stopping_) {
                return;
            }
        }
        if (job) {
            job();
        } else {
            wake_.wait();
        }
    }
}

}  // namespace vel::pnp
