// State shared by the framework's parts: the object lock, the handle table, the bindings of the
// loaded drivers. Owned by the Framework root object; reached through frameworkState().
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "callback_tracker.h"
#include "handle_table.h"
#include "vel/kernel/kernel.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel_wdf.h"

namespace vel::wdf {

class Driver;

// One driver bound to the framework (WdfVersionBind). Its globals are what every call of the
// driver passes first.
struct Binding {
    WDF_DRIVER_GLOBALS globals{};
    PDRIVER_OBJECT driverObject = nullptr;
    std::string service;
    Driver* driver = nullptr;  // the WDFDRIVER, once WdfDriverCreate succeeded
    // Deletions deferred to a system worker; the driver's teardown waits for them.
    std::shared_ptr<CallbackTracker> deferredDeletes =
        std::make_shared<CallbackTracker>("deferred deletions");
};

struct FrameworkState {
    FrameworkState(rt::Runtime& runtime, kernel::Kernel& kernel)
        : runtime(runtime), kernel(kernel) {}

    rt::Runtime& runtime;
    kernel::Kernel& kernel;

    // Guards the handle table, the context map, the bindings and every object's tree,
    // reference and context bookkeeping. Never held across a callback or scheduling point.
    mutable std::mutex mutex;
    HandleTable handles;
    std::unordered_map<const void*, Object*> contextOwners;
    std::vector<std::unique_ptr<Binding>> bindings;

    Binding* bindingFor(PWDF_DRIVER_GLOBALS globals) const;
    Binding* bindingFor(PDRIVER_OBJECT driverObject) const;
};

// The state of Framework::current(). Every framework call runs while a Framework is live.
FrameworkState& frameworkState();

// Records a violation with the current runtime's verifier.
void reportViolation(rt::Rule rule, const std::string& object, const std::string& message);

}  // namespace vel::wdf
