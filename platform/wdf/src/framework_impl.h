// The Framework root object's state: shared framework state plus the loaded driver modules.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "framework_state.h"
#include "vel/wdf/framework.h"

namespace vel::wdf {

// A loaded driver: its module and the kernel records the loader built for it. The strings
// the records point at live here for as long as the driver is loaded.
struct LoadedDriver {
    std::string service;
    void* module = nullptr;  // dlopen handle; null for a driver linked into the program
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;          // \Driver\<service>
    std::u16string serviceName;   // <service>
    std::u16string registryPath;  // \Registry\Machine\System\CurrentControlSet\Services\<service>
    UNICODE_STRING registryPathString{};
};

struct Framework::Impl {
    Impl(rt::Runtime& runtime, kernel::Kernel& kernel) : state(runtime, kernel) {}

    FrameworkState state;
    std::map<std::string, std::unique_ptr<LoadedDriver>> drivers;

    LoadedDriver* find(const std::string& service) const;
    NTSTATUS start(const std::string& service, void* module, PDRIVER_INITIALIZE entry);
};

// Ends a binding: disposes the driver's object tree if it still exists, reports and frees the
// objects the driver left, and forgets the globals.
void endBinding(FrameworkState& state, Binding* binding);

}  // namespace vel::wdf
