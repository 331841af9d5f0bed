#include "device.h"

#include "child_list.h"
#include "device_pnp.h"
#include "driver.h"
#include "file_object.h"
#include "framework_state.h"
#include "io_package.h"
#include "vel/kernel/io.h"
#include "wmi.h"

namespace vel::wdf {

namespace {

// What a framework device object's extension holds: a mark that it is ours and the device.
struct WdmExtension {
    static constexpr ULONG kMagic = 0x56646678;  // "xfdV"
    ULONG magic;
    Device* device;
};

// The device's value when it inherits: the driver's, else the framework default.
WDF_EXECUTION_LEVEL resolveLevel(WDF_EXECUTION_LEVEL own, const Object* driver) {
    if (own == WdfExecutionLevelInheritFromParent && driver != nullptr) {
        own = driver->executionLevel();
    }
    return own == WdfExecutionLevelPassive ? WdfExecutionLevelPassive : WdfExecutionLevelDispatch;
}

WDF_SYNCHRONIZATION_SCOPE resolveScope(WDF_SYNCHRONIZATION_SCOPE own, const Object* driver) {
    if (own == WdfSynchronizationScopeInheritFromParent && driver != nullptr) {
        own = driver->synchronizationScope();
    }
    return own == WdfSynchronizationScopeInheritFromParent ? WdfSynchronizationScopeNone : own;
}

}  // namespace

DeviceCallbackLock::DeviceCallbackLock(WDF_EXECUTION_LEVEL level, const std::string& name)
    : level_(level), spin_(name), passive_(rt::Event::Type::AutoReset, true, name) {}

void DeviceCallbackLock::acquire() {
    if (level_ == WdfExecutionLevelPassive) {
        passive_.wait();
    } else {
        spin_.acquire();
    }
    holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void DeviceCallbackLock::release() {
    holder_.store(std::thread::id(), std::memory_order_relaxed);
    if (level_ == WdfExecutionLevelPassive) {
        passive_.set();
    } else {
        spin_.release();
    }
}

// Only the holder stores its own id, so reading it back proves ownership without ordering.
bool DeviceCallbackLock::heldHere() const {
    return holder_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

Device::Device(Binding& binding, WDFDEVICE_INIT& init, const WDF_OBJECT_ATTRIBUTES* attributes)
    : Object(kType, binding),
      init_(std::move(static_cast<DeviceInitData&>(init))),
      pdo_(init_.pdo != nullptr),
      executionLevel_(resolveLevel(
          attributes != nullptr ? attributes->ExecutionLevel : WdfExecutionLevelInheritFromParent,
          binding.driver)),
      scope_(resolveScope(attributes != nullptr ? attributes->SynchronizationScope
                                                : WdfSynchronizationScopeInheritFromParent,
                          binding.driver)),
      callbackLock_(executionLevel_, "device callback lock") {
    setDeletable(false);
    if (pdo_) {
        parentDevice_ = init_.pdo->parent;
        forwardToParent_ = init_.pdo->forwardToParent;
    }
}

Device::~Device() = default;

NTSTATUS Device::createWdm() {
    kernel::IoManager& io = kernel::IoManager::current();
    kernel::DeviceObjectOptions options;
    options.deviceType = init_.deviceType;
    options.characteristics = init_.characteristics;
    options.name = init_.name;
    options.exclusive = init_.exclusive;
    options.extensionSize = sizeof(WdmExtension);
    DEVICE_OBJECT* object = nullptr;
    if (NTSTATUS status = io.createDevice(binding().driverObject, options, &object);
        !NT_SUCCESS(status)) {
        return status;
    }
    *static_cast<WdmExtension*>(object->DeviceExtension) = {WdmExtension::kMagic, this};
    deviceObject_ = object;
    if (init_.ioType == WdfDeviceIoBuffered) {
        object->Flags |= DO_BUFFERED_IO;
    } else if (init_.ioType == WdfDeviceIoDirect) {
        object->Flags |= DO_DIRECT_IO;
    }
    object->Flags |= DO_POWER_PAGABLE;

    if (pdo_) {
        physicalDevice_ = object;
        object->Flags |= DO_BUS_ENUMERATED_DEVICE;
        if (forwardToParent_ && parentDevice_ != nullptr) {
            object->StackSize =
                static_cast<CCHAR>(object->StackSize + parentDevice_->wdmDevice()->StackSize);
        }
    } else if (init_.physicalDevice != nullptr) {
        physicalDevice_ = init_.physicalDevice;
        lowerDevice_ = io.attachDevice(object, init_.physicalDevice);
        if (lowerDevice_ == nullptr) {
            return STATUS_NO_SUCH_DEVICE;
        }
    }
    // One spare stack location for the framework itself: it watches how a create ends (a
    // failed create destroys its file object) through a completion routine of its own.
    object->StackSize = static_cast<CCHAR>(object->StackSize + 1);

    files_ = std::make_unique<FileObjectTable>(*this);
    wmi_ = std::make_unique<DeviceWmi>(*this);
    pnp_ = std::make_unique<DevicePnp>(*this);
    io_ = std::make_unique<IoPackage>(*this);
    if (init_.hasChildList) {
        NTSTATUS status = ChildList::create(*this, init_.childListConfig,
                                            &init_.childListAttributes, &childList_);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    object->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

CallbackLock* Device::callbackLock() {
    return scope_ == WdfSynchronizationScopeDevice ? &callbackLock_ : nullptr;
}

const WDF_OBJECT_ATTRIBUTES* Device::requestAttributes() const {
    return init_.hasRequestAttributes ? &init_.requestAttributes : nullptr;
}

bool Device::inD0() const {
    return pnp_ != nullptr && pnp_->inD0();
}

bool Device::startedOnce() const {
    return pnp_ != nullptr && pnp_->startedOnce();
}

POWER_ACTION Device::systemPowerAction() const {
    return pnp_ != nullptr ? pnp_->systemPowerAction() : PowerActionNone;
}

std::u16string Device::name() const {
    return deviceObject_ != nullptr ? kernel::IoManager::current().nameOf(deviceObject_)
                                    : std::u16string();
}

Device* Device::fromWdm(const DEVICE_OBJECT* device) {
    if (device == nullptr || device->DeviceExtension == nullptr ||
        frameworkState().bindingFor(device->DriverObject) == nullptr) {
        return nullptr;
    }
    const auto* extension = static_cast<const WdmExtension*>(device->DeviceExtension);
    return extension->magic == WdmExtension::kMagic ? extension->device : nullptr;
}

FileObject* Device::fileObject(const FILE_OBJECT* file) const {
    return files_ != nullptr ? files_->find(file) : nullptr;
}

// Children (queues, targets, file objects, child list...) are gone already. The WDM device
// object goes last: detached from the PDO, deleted, and no longer leading back to this device.
void Device::onDispose() {
    if (deviceObject_ == nullptr) {
        return;
    }
    kernel::IoManager& io = kernel::IoManager::current();
    static_cast<WdmExtension*>(deviceObject_->DeviceExtension)->device = nullptr;
    if (lowerDevice_ != nullptr) {
        io.detachDevice(lowerDevice_);
        lowerDevice_ = nullptr;
    }
    io.deleteDevice(deviceObject_);
    deviceObject_ = nullptr;
}

}  // namespace vel::wdf
