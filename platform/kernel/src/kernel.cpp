#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "kernel_impl.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/trace.h"

namespace vel::kernel {

namespace {
// Kernels nest like the runtime's root objects: each one installs itself and restores the one
// it replaced when destroyed.
std::atomic<Kernel*> currentKernel{nullptr};
}  // namespace

Kernel::Kernel() : impl_(std::make_unique<Impl>()) {
    // The fixed parts of the namespace that relative registry writes start from.
    for (const auto* root : {&regpath::kServices, &regpath::kControl, &regpath::kEnum,
                             &regpath::kClass, &regpath::kDeviceMap}) {
        impl_->registry.createKey(*root);
    }
    impl_->previous = currentKernel.exchange(this);
}

Kernel::~Kernel() {
    currentKernel.store(impl_->previous);
}

Kernel* Kernel::current() {
    return currentKernel.load();
}

Kernel& requireKernel(const char* call) {
    Kernel* kernel = Kernel::current();
    if (kernel == nullptr) {
        std::fprintf(stderr, "%s called without a live vel::kernel::Kernel\n", call);
        std::abort();
    }
    return *kernel;
}

Kernel::Impl& Kernel::impl() {
    return *impl_;
}

Registry& Kernel::registry() {
    return impl_->registry;
}

void Kernel::setSerialCount(uint32_t count) {
    std::lock_guard lock(impl_->configMutex);
    impl_->configuration.SerialCount = count;
}

uint32_t Kernel::serialCount() const {
    std::lock_guard lock(impl_->configMutex);
    return impl_->configuration.SerialCount;
}

std::vector<std::string> Kernel::debugOutput() const {
    std::lock_guard lock(impl_->debugMutex);
    return impl_->debugOutput;
}

void Kernel::clearDebugOutput() {
    std::lock_guard lock(impl_->debugMutex);
    impl_->debugOutput.clear();
}

// Kept in call order; the trace record gets the text without its line break, since the trace
// dump puts one record on each line.
void Kernel::appendDebugOutput(std::string text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    {
        std::lock_guard lock(impl_->debugMutex);
        impl_->debugOutput.push_back(std::move(text));
    }
    if (auto* runtime = rt::Runtime::current()) {
        runtime->trace().write(rt::TraceCategory::Debug, std::move(line));
    }
}

PoolStats Kernel::poolStats() const {
    std::lock_guard lock(impl_->poolMutex);
    return impl_->pool;
}

}  // namespace vel::kernel
