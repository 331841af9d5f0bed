#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "framework_impl.h"
#include "object.h"

namespace vel::wdf {

namespace {

std::atomic<Framework*> currentFramework{nullptr};

}  // namespace

Framework::Framework() {
    rt::Runtime* runtime = rt::Runtime::current();
    kernel::Kernel* kernel = kernel::Kernel::current();
    if (runtime == nullptr || kernel == nullptr) {
        std::fputs("framework: created without a live Runtime and Kernel\n", stderr);
        std::abort();
    }
    impl_ = std::make_unique<Impl>(*runtime, *kernel);
    previous_ = currentFramework.exchange(this);
}

Framework::~Framework() {
    while (!impl_->drivers.empty()) {
        unloadDriver(impl_->drivers.begin()->first);
    }
    // Bindings of drivers that never went through the loader (a stub called directly).
    while (!impl_->state.bindings.empty()) {
        endBinding(impl_->state, impl_->state.bindings.back().get());
    }
    currentFramework.store(previous_);
}

Framework* Framework::current() {
    return currentFramework.load();
}

Framework::Impl& Framework::impl() {
    return *impl_;
}

size_t Framework::liveObjectCount() const {
    std::lock_guard lock(impl_->state.mutex);
    return impl_->state.handles.size();
}

FrameworkState& frameworkState() {
    Framework* framework = Framework::current();
    if (framework == nullptr) {
        std::fputs("framework: a framework call without a live Framework\n", stderr);
        std::abort();
    }
    return framework->impl().state;
}

Binding* FrameworkState::bindingFor(PWDF_DRIVER_GLOBALS globals) const {
    std::lock_guard lock(mutex);
    for (const auto& binding : bindings) {
        if (&binding->globals == globals) {
            return binding.get();
        }
    }
    return nullptr;
}

Binding* FrameworkState::bindingFor(PDRIVER_OBJECT driverObject) const {
    std::lock_guard lock(mutex);
    for (const auto& binding : bindings) {
        if (binding->driverObject == driverObject) {
            return binding.get();
        }
    }
    return nullptr;
}

void reportViolation(rt::Rule rule, const std::string& object, const std::string& message) {
    frameworkState().runtime.verifier().report(rule, object, message);
}

}  // namespace vel::wdf
