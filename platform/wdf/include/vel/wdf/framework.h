// The framework root: loaded drivers, their bindings and the handle table of every framework
// object. Needs a live vel::rt::Runtime and vel::kernel::Kernel; the innermost live Framework
// is the one the framework calls of the drivers reach (Framework::current()).
#pragma once

#include <memory>
#include <string>

#include "vel_wdf.h"

namespace vel::wdf {

// Where a device instance keeps its registry data: the instance path below ...\Enum (its
// hardware key is "<instance>\Device Parameters") and the full path of its software key
// (...\Control\Class\{guid}\NNNN).
struct DeviceInstance {
    std::string instancePath;
    std::string softwareKeyPath;
};

struct DeviceInitDeleter {
    void operator()(WDFDEVICE_INIT* init) const;
};
using DeviceInitPtr = std::unique_ptr<WDFDEVICE_INIT, DeviceInitDeleter>;

class Framework {
  public:
    Framework();
    ~Framework();  // unloads every driver still loaded
    Framework(const Framework&) = delete;
    Framework& operator=(const Framework&) = delete;

    static Framework* current();

    // ----- Drivers ----------------------------------------------------------------------------
    // Loads a driver module once per service name (dlopen, then its FxDriverEntry), creating
    // the service key, the DRIVER_OBJECT ("\Driver\<service>") and calling the entry with the
    // service's registry path. Returns the entry's status; on failure nothing stays loaded.
    // STATUS_OBJECT_NAME_COLLISION when the service is already loaded,
    // STATUS_OBJECT_NAME_NOT_FOUND when the module or its entry point cannot be found.
    NTSTATUS loadDriver(const std::string& service, const std::string& modulePath);
    // The same for a driver linked into the calling program (its binding stub's FxDriverEntry).
    NTSTATUS loadDriver(const std::string& service, PDRIVER_INITIALIZE entry);
    // Calls the driver's unload routine, then checks what the driver left: every framework
    // object of the driver still alive is a vel::rt::Rule::ReferenceLeak (and is freed without
    // its callbacks, since the driver's code is about to go). Then closes the module.
    // Returns false when the service is not loaded.
    bool unloadDriver(const std::string& service);
    bool isLoaded(const std::string& service) const;

    PDRIVER_OBJECT driverObject(const std::string& service) const;
    // The WDFDRIVER the driver created with WdfDriverCreate, or nullptr.
    WDFDRIVER driver(const std::string& service) const;

    // ----- Devices ----------------------------------------------------------------------------
    // A device init for one of the service's devices, as the PnP manager hands it to
    // EvtDriverDeviceAdd. nullptr when the service is not loaded.
    DeviceInitPtr createDeviceInit(const std::string& service, const DeviceInstance& instance);
    // Runs the driver's EvtDriverDeviceAdd with the init (at the caller's context).
    // STATUS_INVALID_DEVICE_REQUEST when the driver registered no such callback.
    NTSTATUS runDeviceAdd(WDFDEVICE_INIT& init);

    // Number of live framework objects (all drivers), for tests that check teardown.
    size_t liveObjectCount() const;

    struct Impl;
    Impl& impl();

  private:
    std::unique_ptr<Impl> impl_;
    Framework* previous_;
};

}  // namespace vel::wdf
