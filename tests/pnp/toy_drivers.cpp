#include "toy_drivers.h"

#include <algorithm>
#include <cstring>

#include "vel/kernel/io.h"
#include "vel/kernel/kernel.h"
#include "vel/pnp/pnp_manager.h"
#include "vel/runtime/runtime.h"

namespace vel::pnp::test {

ToyWorld* ToyWorld::current = nullptr;

void ToyWorld::record(const std::string& entry) {
    std::lock_guard lock(mutex_);
    log_.push_back(entry);
}

std::vector<std::string> ToyWorld::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::vector<std::string> ToyWorld::logWith(const std::string& text) const {
    std::vector<std::string> entries;
    for (const std::string& entry : log()) {
        if (entry.find(text) != std::string::npos) {
            entries.push_back(entry);
        }
    }
    return entries;
}

void ToyWorld::clearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

void ToyWorld::setFaults(const std::string& instancePath, Faults faults) {
    std::lock_guard lock(mutex_);
    faults_[instancePath] = faults;
}

Faults ToyWorld::faults(const std::string& instancePath) const {
    std::lock_guard lock(mutex_);
    auto it = faults_.find(instancePath);
    return it != faults_.end() ? it->second : Faults{};
}

void ToyWorld::setChildren(const std::string& busPath, std::vector<ChildDescription> children) {
    std::lock_guard lock(mutex_);
    children_[busPath] = std::move(children);
}

void ToyWorld::setPresent(const std::string& busPath, const std::string& childPath, bool present) {
    std::lock_guard lock(mutex_);
    for (ChildDescription& child : children_[busPath]) {
        if (child.instancePath() == childPath) {
            child.present = present;
        }
    }
}

std::vector<ChildDescription> ToyWorld::children(const std::string& busPath) const {
    std::lock_guard lock(mutex_);
    auto it = children_.find(busPath);
    return it != children_.end() ? it->second : std::vector<ChildDescription>{};
}

void ToyWorld::enterAdd() {
    std::lock_guard lock(mutex_);
    maxAddsAtOnce_ = std::max(maxAddsAtOnce_, ++addsInFlight_);
}

void ToyWorld::leaveAdd() {
    std::lock_guard lock(mutex_);
    --addsInFlight_;
}

int ToyWorld::maxAddsAtOnce() const {
    std::lock_guard lock(mutex_);
    return maxAddsAtOnce_;
}

void ToyWorld::notePortNameAtAdd(const std::string& instancePath, const std::string& portName) {
    std::lock_guard lock(mutex_);
    portNames_[instancePath] = portName;
}

std::string ToyWorld::portNameAtAdd(const std::string& instancePath) const {
    std::lock_guard lock(mutex_);
    auto it = portNames_.find(instancePath);
    return it != portNames_.end() ? it->second : std::string();
}

namespace {

constexpr ULONG kTag = 0x20796f54;  // "Toy "
constexpr size_t kMaxChildren = 8;

enum class Role { Function, Bus, ChildPdo };

// Every toy device's extension (zero-filled by the I/O manager).
struct Extension {
    Role role;
    DEVICE_OBJECT* lower;                   // FDOs: the device below
    DEVICE_OBJECT* busFdo;                  // PDOs: the bus that created it
    size_t index;                           // PDOs: which of the bus's children
    DEVICE_OBJECT* children[kMaxChildren];  // bus FDOs: the live child PDOs, by description index
    char path[200];                         // the instance path of the device
};

Extension& ext(DEVICE_OBJECT* device) {
    return *static_cast<Extension*>(device->DeviceExtension);
}

ToyWorld& world() {
    return *ToyWorld::current;
}

kernel::IoManager& io() {
    return kernel::IoManager::current();
}

std::string serviceOf(const UNICODE_STRING* registryPath) {
    std::u16string path(registryPath->Buffer, registryPath->Length / sizeof(WCHAR));
    return kernel::toUtf8(path.substr(path.rfind(u'\\') + 1));
}

const char* pnpName(UCHAR minor) {
    switch (minor) {
        case IRP_MN_START_DEVICE:
            return "START";
        case IRP_MN_QUERY_STOP_DEVICE:
            return "QUERY_STOP";
        case IRP_MN_STOP_DEVICE:
            return "STOP";
        case IRP_MN_CANCEL_STOP_DEVICE:
            return "CANCEL_STOP";
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return "QUERY_REMOVE";
        case IRP_MN_REMOVE_DEVICE:
            return "REMOVE";
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return "CANCEL_REMOVE";
        case IRP_MN_SURPRISE_REMOVAL:
            return "SURPRISE_REMOVAL";
        default:
            return nullptr;  // queries: not recorded
    }
}

std::string powerText(const IO_STACK_LOCATION& location) {
    static const char* const actions[] = {"none",     "reserved", "sleep", "hibernate",
                                          "shutdown", "reset",    "off",   "eject"};
    const auto& power = location.Parameters.Power;
    std::string state = power.Type == SystemPowerState
                            ? "S" + std::to_string(power.State.SystemState - 1)
                            : "D" + std::to_string(power.State.DeviceState - 1);
    return "SET_POWER " + state + " " + actions[power.ShutdownType];
}

NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS passDown(DEVICE_OBJECT* device, IRP* irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext(device).lower, irp);
}

WCHAR* poolText(const std::vector<std::string>& entries, bool multi) {
    std::u16string text;
    for (const std::string& entry : entries) {
        text += kernel::toUtf16(entry) + u'\0';
    }
    if (multi) {
        text += u'\0';
    }
    const size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    auto* copy = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes, kTag));
    std::memcpy(copy, text.c_str(), bytes);
    return copy;
}

// ----- The bus's child PDOs ---------------------------------------------------------------

DEVICE_OBJECT* createChild(DEVICE_OBJECT* bus, size_t index, const ChildDescription& desc) {
    kernel::DeviceObjectOptions options;
    options.deviceType = FILE_DEVICE_UNKNOWN;
    options.characteristics = FILE_AUTOGENERATED_DEVICE_NAME;
    options.extensionSize = sizeof(Extension);
    DEVICE_OBJECT* pdo = nullptr;
    io().createDevice(bus->DriverObject, options, &pdo);
    Extension& e = ext(pdo);
    e.role = Role::ChildPdo;
    e.busFdo = bus;
    e.index = index;
    std::snprintf(e.path, sizeof e.path, "%s", desc.instancePath().c_str());
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

void deleteChild(DEVICE_OBJECT* pdo) {
    Extension& e = ext(pdo);
    ext(e.busFdo).children[e.index] = nullptr;
    world().record(std::string(e.path) + " pdo deleted");
    io().deleteDevice(pdo);
}

NTSTATUS childPnp(DEVICE_OBJECT* pdo, IRP* irp) {
    Extension& e = ext(pdo);
    const IO_STACK_LOCATION& location = *IoGetCurrentIrpStackLocation(irp);
    const ChildDescription desc = world().children(ext(e.busFdo).path).at(e.index);
    switch (location.MinorFunction) {
        case IRP_MN_QUERY_ID:
            switch (location.Parameters.QueryId.IdType) {
                case BusQueryDeviceID:
                    return complete(irp, STATUS_SUCCESS,
                                    reinterpret_cast<ULONG_PTR>(poolText({desc.deviceId}, false)));
                case BusQueryInstanceID:
                    return complete(
                        irp, STATUS_SUCCESS,
                        reinterpret_cast<ULONG_PTR>(poolText({desc.instanceId}, false)));
                case BusQueryHardwareIDs:
                    return complete(irp, STATUS_SUCCESS,
                                    reinterpret_cast<ULONG_PTR>(poolText(desc.hardwareIds, true)));
                case BusQueryCompatibleIDs:
                    return complete(
                        irp, STATUS_SUCCESS,
                        reinterpret_cast<ULONG_PTR>(poolText(desc.compatibleIds, true)));
                default:
                    return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
            }
        case IRP_MN_QUERY_DEVICE_TEXT: {
            const std::string& text =
                location.Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription
                    ? desc.description
                    : desc.location;
            return complete(irp, STATUS_SUCCESS,
                            reinterpret_cast<ULONG_PTR>(poolText({text}, false)));
        }
        case IRP_MN_QUERY_CAPABILITIES: {
            DEVICE_CAPABILITIES& caps = *location.Parameters.DeviceCapabilities.Capabilities;
            caps.Removable = 1;
            caps.SurpriseRemovalOK = 1;
            caps.DeviceState[PowerSystemSleeping3] = desc.sleepState;
            return complete(irp, STATUS_SUCCESS);
        }
        case IRP_MN_QUERY_INTERFACE: {
            const auto& query = location.Parameters.QueryInterface;
            if (std::memcmp(query.InterfaceType, &kToyInterface, sizeof(GUID)) != 0) {
                return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
            }
            if (query.Size < sizeof(INTERFACE) || query.Version < kToyInterfaceVersion) {
                return complete(irp, STATUS_INVALID_BUFFER_SIZE);
            }
            query.Interface->Size = sizeof(INTERFACE);
            query.Interface->Version = kToyInterfaceVersion;
            query.Interface->Context = pdo;
            return complete(irp, STATUS_SUCCESS);
        }
        case IRP_MN_REMOVE_DEVICE:
            complete(irp, STATUS_SUCCESS);
            // A PDO lives while its bus reports it; the bus deletes the others when it goes.
            if (!desc.present) {
                deleteChild(pdo);
            }
            return STATUS_SUCCESS;
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            return complete(irp, STATUS_SUCCESS);
        default:
            return complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
}

// ----- The bus FDO's relations -----------------------------------------------------------

void answerBusRelations(DEVICE_OBJECT* bus, IRP* irp) {
    Extension& e = ext(bus);
    const std::vector<ChildDescription> descriptions = world().children(e.path);
    std::vector<DEVICE_OBJECT*> reported;
    for (size_t i = 0; i < descriptions.size() && i < kMaxChildren; ++i) {
        if (!descriptions[i].present) {
            continue;
        }
        if (e.children[i] == nullptr) {
            e.children[i] = createChild(bus, i, descriptions[i]);
        }
        reported.push_back(e.children[i]);
    }
    const size_t bytes =
        sizeof(DEVICE_RELATIONS) + std::max<size_t>(reported.size(), 1) * sizeof(DEVICE_OBJECT*);
    auto* relations = static_cast<DEVICE_RELATIONS*>(ExAllocatePoolWithTag(PagedPool, bytes, kTag));
    relations->Count = static_cast<ULONG>(reported.size());
    for (size_t i = 0; i < reported.size(); ++i) {
        ObReferenceObject(reported[i]);
        relations->Objects[i] = reported[i];
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
}

// ----- Function and bus FDOs ---------------------------------------------------------------

NTSTATUS fdoPnp(DEVICE_OBJECT* fdo, IRP* irp) {
    Extension& e = ext(fdo);
    const IO_STACK_LOCATION& location = *IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = location.MinorFunction;
    if (const char* name = pnpName(minor)) {
        world().record(std::string(e.path) + " " + name);
    }
    const Faults faults = world().faults(e.path);
    switch (minor) {
        case IRP_MN_START_DEVICE:
            if (!NT_SUCCESS(faults.start)) {
                return complete(irp, faults.start);
            }
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
            if (!NT_SUCCESS(faults.queryStop)) {
                return complete(irp, faults.queryStop);
            }
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            if (!NT_SUCCESS(faults.queryRemove)) {
                return complete(irp, faults.queryRemove);
            }
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (e.role == Role::Bus &&
                location.Parameters.QueryDeviceRelations.Type == BusRelations) {
                answerBusRelations(fdo, irp);
            }
            break;
        case IRP_MN_REMOVE_DEVICE: {
            // Detach first, so that a PDO deleting itself has nothing attached to it.
            DEVICE_OBJECT* lower = e.lower;
            io().detachDevice(lower);
            IoSkipCurrentIrpStackLocation(irp);
            const NTSTATUS status = IoCallDriver(lower, irp);
            for (DEVICE_OBJECT* child : e.children) {
                if (child != nullptr) {
                    deleteChild(child);
                }
            }
            io().deleteDevice(fdo);
            return status;
        }
        default:
            break;
    }
    return passDown(fdo, irp);
}

NTSTATUS dispatchPnp(DEVICE_OBJECT* device, IRP* irp) {
    return ext(device).role == Role::ChildPdo ? childPnp(device, irp) : fdoPnp(device, irp);
}

NTSTATUS dispatchPower(DEVICE_OBJECT* device, IRP* irp) {
    const IO_STACK_LOCATION& location = *IoGetCurrentIrpStackLocation(irp);
    if (ext(device).role == Role::ChildPdo) {
        return complete(irp, location.MinorFunction == IRP_MN_SET_POWER ? STATUS_SUCCESS
                                                                        : irp->IoStatus.Status);
    }
    if (location.MinorFunction == IRP_MN_SET_POWER) {
        world().record(std::string(ext(device).path) + " " + powerText(location));
    }
    return passDown(device, irp);
}

NTSTATUS addDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo, Role role) {
    const std::string path = PnpManager::current()->deviceKeys(pdo)->instancePath;
    ToyWorld& w = world();
    w.enterAdd();
    // Scheduling points, so that another AddDevice could run meanwhile if the manager let it.
    for (int i = 0; i < 4; ++i) {
        rt::Runtime::current()->yield();
    }
    const std::optional<std::u16string> portName = kernel::Kernel::current()->registry().string(
        kernel::regpath::hardwareKey(path), "PortName");
    w.notePortNameAtAdd(path, portName ? kernel::toUtf8(*portName) : std::string());
    NTSTATUS status = w.faults(path).addDevice;
    if (NT_SUCCESS(status)) {
        kernel::DeviceObjectOptions options;
        options.extensionSize = sizeof(Extension);
        DEVICE_OBJECT* fdo = nullptr;
        status = io().createDevice(driver, options, &fdo);
        if (NT_SUCCESS(status)) {
            Extension& e = ext(fdo);
            e.role = role;
            std::snprintf(e.path, sizeof e.path, "%s", path.c_str());
            e.lower = io().attachDevice(fdo, pdo);
            fdo->Flags &= ~DO_DEVICE_INITIALIZING;
            w.record(path + " AddDevice");
        }
    }
    w.leaveAdd();
    return status;
}

NTSTATUS functionAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
    return addDevice(driver, pdo, Role::Function);
}

NTSTATUS busAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
    return addDevice(driver, pdo, Role::Bus);
}

void unload(DRIVER_OBJECT* driver) {
    world().record(serviceOf(&driver->DriverExtension->ServiceKeyName) + " Unload");
}

NTSTATUS driverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath, PDRIVER_ADD_DEVICE add) {
    world().record(serviceOf(registryPath) + " DriverEntry");
    driver->DriverExtension->AddDevice = add;
    driver->DriverUnload = unload;
    driver->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatchPower;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ToyFunctionDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
    return driverEntry(driver, registryPath, functionAddDevice);
}

NTSTATUS ToyBusDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
    return driverEntry(driver, registryPath, busAddDevice);
}

}  // namespace vel::pnp::test
