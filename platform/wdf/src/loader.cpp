// Loading and unloading driver modules: the kernel records of a driver, its entry point and
// its unload routine.
#include <dlfcn.h>

#include "driver.h"
#include "framework_impl.h"
#include "vel/runtime/trace.h"

namespace vel::wdf {

LoadedDriver* Framework::Impl::find(const std::string& service) const {
    auto it = drivers.find(service);
    return it != drivers.end() ? it->second.get() : nullptr;
}

NTSTATUS Framework::Impl::start(const std::string& service, void* module,
                                PDRIVER_INITIALIZE entry) {
    auto driver = std::make_unique<LoadedDriver>();
    driver->service = service;
    driver->module = module;
    driver->name = u"\\Driver\\" + kernel::toUtf16(service);
    driver->serviceName = kernel::toUtf16(service);
    const std::string servicePath = kernel::regpath::service(service);
    driver->registryPath = kernel::toUtf16(servicePath);
    state.kernel.registry().createKey(servicePath);

    auto counted = [](std::u16string& text) {
        const auto bytes = static_cast<USHORT>(text.size() * sizeof(WCHAR));
        return UNICODE_STRING{bytes, static_cast<USHORT>(bytes + sizeof(WCHAR)), text.data()};
    };
    driver->registryPathString = counted(driver->registryPath);
    driver->extension.DriverObject = &driver->object;
    driver->extension.ServiceKeyName = counted(driver->serviceName);
    driver->object.Type = 4;  // IO_TYPE_DRIVER
    driver->object.Size = sizeof(DRIVER_OBJECT);
    driver->object.DriverExtension = &driver->extension;
    driver->object.DriverName = counted(driver->name);
    driver->object.DriverInit = entry;

    const NTSTATUS status = entry(&driver->object, &driver->registryPathString);
    if (!NT_SUCCESS(status)) {
        // A stub unbinds itself on failure; a driver without one leaves its binding behind.
        if (Binding* binding = state.bindingFor(&driver->object)) {
            endBinding(state, binding);
        }
        if (module != nullptr) {
            dlclose(module);
        }
        return status;
    }
    drivers.emplace(service, std::move(driver));
    return status;
}

NTSTATUS Framework::loadDriver(const std::string& service, const std::string& modulePath) {
    if (impl_->find(service) != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        impl_->state.runtime.trace().write(rt::TraceCategory::Platform,
                                           std::string("loader: ") + dlerror());
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "FxDriverEntry"));
    if (entry == nullptr) {
        dlclose(module);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return impl_->start(service, module, entry);
}

NTSTATUS Framework::loadDriver(const std::string& service, PDRIVER_INITIALIZE entry) {
    if (impl_->find(service) != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return impl_->start(service, nullptr, entry);
}

bool Framework::unloadDriver(const std::string& service) {
    auto it = impl_->drivers.find(service);
    if (it == impl_->drivers.end()) {
        return false;
    }
    std::unique_ptr<LoadedDriver> driver = std::move(it->second);
    impl_->drivers.erase(it);
    if (driver->object.DriverUnload != nullptr) {
        driver->object.DriverUnload(&driver->object);
    }
    if (Binding* binding = impl_->state.bindingFor(&driver->object)) {
        endBinding(impl_->state, binding);
    }
    if (driver->module != nullptr) {
        dlclose(driver->module);
    }
    return true;
}

bool Framework::isLoaded(const std::string& service) const {
    return impl_->find(service) != nullptr;
}

PDRIVER_OBJECT Framework::driverObject(const std::string& service) const {
    LoadedDriver* driver = impl_->find(service);
    return driver != nullptr ? &driver->object : nullptr;
}

WDFDRIVER Framework::driver(const std::string& service) const {
    LoadedDriver* driver = impl_->find(service);
    if (driver == nullptr) {
        return nullptr;
    }
    Binding* binding = impl_->state.bindingFor(&driver->object);
    return binding != nullptr && binding->driver != nullptr
               ? static_cast<WDFDRIVER>(binding->driver->handle())
               : nullptr;
}

}  // namespace vel::wdf
