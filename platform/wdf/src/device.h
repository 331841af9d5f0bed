// The WDFDEVICE: a function device (FDO, attached above the PDO the PnP manager reported) or a
// physical device a child list creates (PDO). It owns its WDM device object, its I/O side
// (IoPackage: queues, request dispatching, the default target), its file objects, and runs
// the framework's PnP and power handling for the IRPs its device object receives.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_init.h"
#include "object.h"
#include "vel/runtime/runtime.h"
#include "vel/wdf/framework.h"

namespace vel::wdf {

class IoPackage;
class FileObject;
class FileObjectTable;
class ChildList;
class DevicePnp;
class DeviceWmi;

// The device's lock for synchronisation scope Device. A spin lock (callbacks at dispatch
// level) unless the device's execution level is passive, where it is a mutex-like wait lock.
class DeviceCallbackLock final : public CallbackLock {
  public:
    DeviceCallbackLock(WDF_EXECUTION_LEVEL level, const std::string& name);
    void acquire() override;
    void release() override;
    WDF_EXECUTION_LEVEL executionLevel() const override { return level_; }
    bool heldHere() const override;

  private:
    WDF_EXECUTION_LEVEL level_;
    rt::SpinLock spin_;
    rt::Event passive_;  // auto-reset, signalled while free (passive level only)
    std::atomic<std::thread::id> holder_{};
};

class Device : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::Device;

    // Builds the device from its init (moved from) and the device's attributes (level and
    // scope); WdfDeviceCreate publishes it, then calls createWdm().
    Device(Binding& binding, WDFDEVICE_INIT& init, const WDF_OBJECT_ATTRIBUTES* attributes);
    ~Device() override;

    // Creates the WDM device object (attached above the init's PDO for an FDO) and the I/O
    // side. Called once, after publish; on failure the caller disposes the device.
    NTSTATUS createWdm();

    // The framework's dispatch routine for every major function of a framework device. With
    // `preprocessed` the driver's preprocess callback was already run for this IRP.
    NTSTATUS dispatch(IRP* irp, bool preprocessed);

    // ----- What the I/O side needs --------------------------------------------------------------
    DEVICE_OBJECT* wdmDevice() const { return deviceObject_; }
    bool isPdo() const { return pdo_; }
    bool isFdo() const { return !pdo_; }
    // The device the FDO is attached to (its default target); nullptr for a PDO.
    DEVICE_OBJECT* lowerDevice() const { return lowerDevice_; }
    // The PDO under an FDO; the PDO itself for a PDO.
    DEVICE_OBJECT* physicalDevice() const { return physicalDevice_; }
    // A PDO's parent FDO (its child list's device); nullptr for an FDO.
    Device* parentDevice() const { return parentDevice_; }
    // WdfPdoInitAllowForwardingRequestToParent was called (the PDO's StackSize includes the
    // parent's).
    bool forwardsToParent() const { return forwardToParent_; }

    // The effective execution level and synchronisation scope (inherited values resolved from
    // the driver; dispatch and none by default).
    WDF_EXECUTION_LEVEL deviceExecutionLevel() const { return executionLevel_; }
    WDF_SYNCHRONIZATION_SCOPE deviceSynchronizationScope() const { return scope_; }
    // The lock serialising queue, cancel and auto-serialised timer/work-item callbacks of a
    // device with scope Device. Always exists; callbackLock() hands it out only under scope
    // Device.
    DeviceCallbackLock& deviceCallbackLock() { return callbackLock_; }
    CallbackLock* callbackLock() override;

    // WdfDeviceInitSetRequestAttributes, or nullptr when none were set.
    const WDF_OBJECT_ATTRIBUTES* requestAttributes() const;
    const WDF_FILEOBJECT_CONFIG& fileObjectConfig() const { return init_.fileObjectConfig; }

    // True while the device is in D0.
    bool inD0() const;
    // True once the device completed its first start (the default queue must exist before).
    bool startedOnce() const;
    // The POWER_ACTION of the system transition under way (PowerActionNone in D0 after it).
    POWER_ACTION systemPowerAction() const;

    IoPackage& io() { return *io_; }

    // ----- Identity and registry --------------------------------------------------------------
    const DeviceInstance& instance() const { return init_.instance; }
    const DeviceInitData& init() const { return init_; }
    std::u16string name() const;  // the device object's name; empty when unnamed

    // The device of a framework device object, or nullptr for any other device object.
    static Device* fromWdm(const DEVICE_OBJECT* device);

    // ----- File objects -----------------------------------------------------------------------
    // The WDFFILEOBJECT of a WDM file object opened on this device, or nullptr.
    FileObject* fileObject(const FILE_OBJECT* file) const;
    FileObjectTable& files() { return *files_; }

    ChildList* defaultChildList() const { return childList_; }
    DevicePnp& pnp() { return *pnp_; }
    DeviceWmi& wmi() { return *wmi_; }

  protected:
    void onDispose() override;
    bool needsPassiveDispose() const override { return true; }

  private:
    DeviceInitData init_;
    const bool pdo_;
    Device* parentDevice_ = nullptr;
    bool forwardToParent_ = false;
    WDF_EXECUTION_LEVEL executionLevel_ = WdfExecutionLevelDispatch;
    WDF_SYNCHRONIZATION_SCOPE scope_ = WdfSynchronizationScopeNone;
    DeviceCallbackLock callbackLock_;

    DEVICE_OBJECT* deviceObject_ = nullptr;
    DEVICE_OBJECT* lowerDevice_ = nullptr;
    DEVICE_OBJECT* physicalDevice_ = nullptr;
    std::unique_ptr<IoPackage> io_;
    std::unique_ptr<DevicePnp> pnp_;
    std::unique_ptr<FileObjectTable> files_;
    std::unique_ptr<DeviceWmi> wmi_;
    ChildList* childList_ = nullptr;
};

// The routines WdfDriverCreate installs: AddDevice builds a device init for the PDO and runs
// EvtDriverDeviceAdd; every major function goes to the device's dispatch.
NTSTATUS frameworkAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* physicalDevice);
NTSTATUS frameworkDispatch(DEVICE_OBJECT* device, IRP* irp);

// The registry path of a device's PLUGPLAY_REGKEY_DEVICE (hardware) or PLUGPLAY_REGKEY_DRIVER
// (software) key; empty for any other key type, or when the device has no such key.
std::string deviceKeyPath(const DeviceInstance& instance, ULONG keyType);

}  // namespace vel::wdf
