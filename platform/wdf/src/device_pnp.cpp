// PnP IRPs: start, stop, query/cancel, surprise removal and removal, and the queries a stack
// answers (relations, capabilities, interfaces, and a PDO's IDs and texts).
#include "device_pnp.h"

#include <cstring>

#include "child_list.h"
#include "device.h"
#include "io_package.h"
#include "vel/kernel/io.h"
#include "vel/runtime/runtime.h"
#include "wmi.h"

namespace vel::wdf {

namespace {

NTSTATUS signalCompletion(DEVICE_OBJECT*, IRP*, PVOID context) {
    static_cast<rt::Event*>(context)->set();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

template <typename T>
T* poolCopy(const T& value) {
    auto* copy = static_cast<T*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(T), VEL_POOL_TAG('F', 'x', 'P', 'n')));
    if (copy != nullptr) {
        *copy = value;
    }
    return copy;
}

// A pool copy of one string, or of a list as a MULTI_SZ (each entry terminated, then an
// empty entry).
WCHAR* poolStrings(const std::vector<std::u16string>& entries, bool multi) {
    size_t chars = multi ? 1 : 0;
    for (const std::u16string& entry : entries) {
        chars += entry.size() + 1;
    }
    auto* text = static_cast<WCHAR*>(
        ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), VEL_POOL_TAG('F', 'x', 'P', 'n')));
    if (text == nullptr) {
        return nullptr;
    }
    WCHAR* out = text;
    for (const std::u16string& entry : entries) {
        std::memcpy(out, entry.data(), entry.size() * sizeof(WCHAR));
        out += entry.size();
        *out++ = 0;
    }
    if (multi) {
        *out = 0;
    }
    return text;
}

void applyTriState(WDF_TRI_STATE value, auto set) {
    if (value != WdfUseDefault) {
        set(value == WdfTrue ? 1u : 0u);
    }
}

}  // namespace

const char* toString(PnpState state) {
    switch (state) {
        case PnpState::Added:
            return "added";
        case PnpState::Started:
            return "started";
        case PnpState::StartFailed:
            return "start failed";
        case PnpState::Stopped:
            return "stopped";
        case PnpState::SurpriseRemoved:
            return "surprise removed";
        case PnpState::Removed:
            return "removed";
    }
    return "?";
}

DevicePnp::DevicePnp(Device& device) : device_(device), callbacks_(device.init().pnpPower) {}

WDFDEVICE DevicePnp::handle() const {
    return static_cast<WDFDEVICE>(device_.handle());
}

PnpState DevicePnp::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool DevicePnp::inD0() const {
    std::lock_guard lock(mutex_);
    return inD0_;
}

bool DevicePnp::startedOnce() const {
    std::lock_guard lock(mutex_);
    return startedOnce_;
}

POWER_ACTION DevicePnp::systemPowerAction() const {
    std::lock_guard lock(mutex_);
    return systemAction_;
}

// ----- Passing IRPs on --------------------------------------------------------------------------

NTSTATUS DevicePnp::forwardAndWait(IRP* irp) {
    DEVICE_OBJECT* lower = device_.lowerDevice();
    if (lower == nullptr) {
        return irp->IoStatus.Status;
    }
    rt::Event done(rt::Event::Type::ManualReset, false, "PnP IRP sent down");
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signalCompletion, &done, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    done.wait();
    return irp->IoStatus.Status;
}

NTSTATUS DevicePnp::forward(IRP* irp) {
    DEVICE_OBJECT* lower = device_.lowerDevice();
    if (lower == nullptr) {
        const NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS DevicePnp::complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ----- Dispatch ---------------------------------------------------------------------------------

NTSTATUS DevicePnp::dispatchPnp(IRP* irp) {
    IO_STACK_LOCATION* location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            // The stack below starts first.
            if (device_.isFdo() && device_.lowerDevice() != nullptr) {
                if (NTSTATUS status = forwardAndWait(irp); !NT_SUCCESS(status)) {
                    return complete(irp, status);
                }
            }
            return complete(irp, start());
        }
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE: {
            const bool remove = location->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE;
            if (NTSTATUS status = queryStopOrRemove(remove); !NT_SUCCESS(status)) {
                return complete(irp, status);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            return forward(irp);
        }
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            if (location->MinorFunction == IRP_MN_CANCEL_REMOVE_DEVICE && device_.isPdo() &&
                device_.init().pdo->childList != nullptr) {
                device_.init().pdo->childList->ejectCancelled(device_);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            return forward(irp);
        case IRP_MN_STOP_DEVICE:
            stop();
            irp->IoStatus.Status = STATUS_SUCCESS;
            return forward(irp);
        case IRP_MN_SURPRISE_REMOVAL:
            if (callbacks_.EvtDeviceSurpriseRemoval != nullptr) {
                callbacks_.EvtDeviceSurpriseRemoval(handle());
            }
            removeResources(true);
            irp->IoStatus.Status = STATUS_SUCCESS;
            return forward(irp);
        case IRP_MN_REMOVE_DEVICE: {
            if (state() != PnpState::SurpriseRemoved) {
                removeResources(false);
            }
            finalRemove();
            irp->IoStatus.Status = STATUS_SUCCESS;
            const NTSTATUS status = forward(irp);
            // An FDO leaves with its stack; a PDO goes when its FDO has detached (its child
            // list deletes it then).
            if (device_.isFdo()) {
                device_.dispose();
            } else if (ChildList* list = device_.parentDevice() != nullptr
                                             ? device_.parentDevice()->defaultChildList()
                                             : nullptr) {
                list->pdoRemoved(device_);
            } else {
                device_.dispose();
            }
            return status;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            return queryDeviceRelations(irp);
        case IRP_MN_QUERY_CAPABILITIES:
            return queryCapabilities(irp);
        case IRP_MN_QUERY_INTERFACE:
            return queryInterface(irp);
        default:
            if (device_.isPdo()) {
                if (std::optional<NTSTATUS> answered = answerAsPdo(irp)) {
                    return *answered;
                }
            }
            return forward(irp);
    }
}

// ----- State changes ----------------------------------------------------------------------------

NTSTATUS DevicePnp::start() {
    if (state() == PnpState::Started) {
        return STATUS_SUCCESS;
    }
    if (callbacks_.EvtDevicePrepareHardware != nullptr) {
        if (NTSTATUS status = callbacks_.EvtDevicePrepareHardware(handle(), nullptr, nullptr);
            !NT_SUCCESS(status)) {
            if (callbacks_.EvtDeviceReleaseHardware != nullptr) {
                callbacks_.EvtDeviceReleaseHardware(handle(), nullptr);
            }
            std::lock_guard lock(mutex_);
            state_ = PnpState::StartFailed;
            return status;
        }
    }
    {
        std::lock_guard lock(mutex_);
        hardwarePrepared_ = true;
    }
    if (NTSTATUS status = powerUp(WdfPowerDeviceD3Final); !NT_SUCCESS(status)) {
        if (callbacks_.EvtDeviceReleaseHardware != nullptr) {
            callbacks_.EvtDeviceReleaseHardware(handle(), nullptr);
        }
        std::lock_guard lock(mutex_);
        hardwarePrepared_ = false;
        state_ = PnpState::StartFailed;
        return status;
    }
    setInterfacesEnabled(true);
    device_.wmi().setRegistered(true);
    std::lock_guard lock(mutex_);
    startedOnce_ = true;
    state_ = PnpState::Started;
    return STATUS_SUCCESS;
}

void DevicePnp::stop() {
    if (inD0()) {
        powerDown(WdfPowerDeviceD3Final);
    }
    bool prepared;
    {
        std::lock_guard lock(mutex_);
        prepared = hardwarePrepared_;
        hardwarePrepared_ = false;
    }
    if (prepared && callbacks_.EvtDeviceReleaseHardware != nullptr) {
        callbacks_.EvtDeviceReleaseHardware(handle(), nullptr);
    }
    setInterfacesEnabled(false);
    std::lock_guard lock(mutex_);
    state_ = PnpState::Stopped;
}

void DevicePnp::removeResources(bool surprise) {
    if (inD0()) {
        powerDown(WdfPowerDeviceD3Final);
    }
    bool prepared;
    bool started;
    {
        std::lock_guard lock(mutex_);
        prepared = hardwarePrepared_;
        hardwarePrepared_ = false;
        started = startedOnce_;
    }
    if (prepared && callbacks_.EvtDeviceReleaseHardware != nullptr) {
        callbacks_.EvtDeviceReleaseHardware(handle(), nullptr);
    }
    device_.wmi().setRegistered(false);
    setInterfacesEnabled(false);
    deleteSymbolicLink();
    device_.io().purgeForRemoval();
    if (started && callbacks_.EvtDeviceSelfManagedIoFlush != nullptr) {
        callbacks_.EvtDeviceSelfManagedIoFlush(handle());
    }
    std::lock_guard lock(mutex_);
    state_ = surprise ? PnpState::SurpriseRemoved : PnpState::Removed;
}

void DevicePnp::finalRemove() {
    if (ChildList* list = device_.defaultChildList()) {
        list->removeAll();
    }
    if (startedOnce() && callbacks_.EvtDeviceSelfManagedIoCleanup != nullptr) {
        callbacks_.EvtDeviceSelfManagedIoCleanup(handle());
    }
    device_.io().disposeTargets();
    std::lock_guard lock(mutex_);
    state_ = PnpState::Removed;
}

NTSTATUS DevicePnp::queryStopOrRemove(bool remove) {
    {
        std::lock_guard lock(mutex_);
        if (staticStopRemove_ > 0) {
            return STATUS_INVALID_DEVICE_STATE;
        }
    }
    if (remove) {
        return callbacks_.EvtDeviceQueryRemove != nullptr
                   ? callbacks_.EvtDeviceQueryRemove(handle())
                   : STATUS_SUCCESS;
    }
    return callbacks_.EvtDeviceQueryStop != nullptr ? callbacks_.EvtDeviceQueryStop(handle())
                                                    : STATUS_SUCCESS;
}

void DevicePnp::setStaticStopRemove(bool stoppable) {
    std::lock_guard lock(mutex_);
    staticStopRemove_ += stoppable ? -1 : 1;
    if (staticStopRemove_ < 0) {
        staticStopRemove_ = 0;
    }
}

// ----- Queries ----------------------------------------------------------------------------------

NTSTATUS DevicePnp::queryDeviceRelations(IRP* irp) {
    const DEVICE_RELATION_TYPE type =
        IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type;
    if (callbacks_.EvtDeviceRelationsQuery != nullptr) {
        callbacks_.EvtDeviceRelationsQuery(handle(), type);
    }
    if (type == BusRelations && device_.defaultChildList() != nullptr) {
        DEVICE_RELATIONS* relations = device_.defaultChildList()->reportRelations();
        if (relations == nullptr) {
            return complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        return forward(irp);
    }
    if (type == TargetDeviceRelation && device_.isPdo()) {
        auto* relations = static_cast<DEVICE_RELATIONS*>(ExAllocatePoolWithTag(
            PagedPool, sizeof(DEVICE_RELATIONS), VEL_POOL_TAG('F', 'x', 'P', 'n')));
        if (relations == nullptr) {
            return complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        relations->Count = 1;
        relations->Objects[0] = device_.wdmDevice();
        ObReferenceObject(device_.wdmDevice());
        return complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
    }
    return forward(irp);
}

NTSTATUS DevicePnp::queryCapabilities(IRP* irp) {
    DEVICE_CAPABILITIES* capabilities =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    NTSTATUS status = STATUS_SUCCESS;
    if (device_.isFdo()) {
        status = forwardAndWait(irp);
        if (device_.lowerDevice() == nullptr) {
            status = STATUS_SUCCESS;
        }
    } else {
        // What a bus reports for a child it enumerates: D0 when working, D3 otherwise.
        capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) {
            capabilities->DeviceState[s] = PowerDeviceD3;
        }
        capabilities->UniqueID = 0;
    }
    if (NT_SUCCESS(status) && capabilities != nullptr) {
        std::optional<WDF_DEVICE_PNP_CAPABILITIES> pnp;
        std::optional<WDF_DEVICE_POWER_CAPABILITIES> power;
        {
            std::lock_guard lock(mutex_);
            pnp = pnpCapabilities_;
            power = powerCapabilities_;
        }
        DEVICE_CAPABILITIES& c = *capabilities;
        if (pnp) {
            applyTriState(pnp->LockSupported, [&](unsigned v) { c.LockSupported = v; });
            applyTriState(pnp->EjectSupported, [&](unsigned v) { c.EjectSupported = v; });
            applyTriState(pnp->Removable, [&](unsigned v) { c.Removable = v; });
            applyTriState(pnp->DockDevice, [&](unsigned v) { c.DockDevice = v; });
            applyTriState(pnp->UniqueID, [&](unsigned v) { c.UniqueID = v; });
            applyTriState(pnp->SilentInstall, [&](unsigned v) { c.SilentInstall = v; });
            applyTriState(pnp->SurpriseRemovalOK, [&](unsigned v) { c.SurpriseRemovalOK = v; });
            applyTriState(pnp->HardwareDisabled, [&](unsigned v) { c.HardwareDisabled = v; });
            applyTriState(pnp->NoDisplayInUI, [&](unsigned v) { c.NoDisplayInUI = v; });
            if (pnp->Address != static_cast<ULONG>(-1)) {
                c.Address = pnp->Address;
            }
            if (pnp->UINumber != static_cast<ULONG>(-1)) {
                c.UINumber = pnp->UINumber;
            }
        }
        if (power) {
            applyTriState(power->DeviceD1, [&](unsigned v) { c.DeviceD1 = v; });
            applyTriState(power->DeviceD2, [&](unsigned v) { c.DeviceD2 = v; });
            applyTriState(power->WakeFromD0, [&](unsigned v) { c.WakeFromD0 = v; });
            applyTriState(power->WakeFromD1, [&](unsigned v) { c.WakeFromD1 = v; });
            applyTriState(power->WakeFromD2, [&](unsigned v) { c.WakeFromD2 = v; });
            applyTriState(power->WakeFromD3, [&](unsigned v) { c.WakeFromD3 = v; });
            for (int s = 0; s < PowerSystemMaximum; ++s) {
                if (power->DeviceState[s] != PowerDeviceMaximum) {
                    c.DeviceState[s] = power->DeviceState[s];
                }
            }
            if (power->DeviceWake != PowerDeviceMaximum) {
                c.DeviceWake = power->DeviceWake;
            }
            if (power->SystemWake != PowerSystemMaximum) {
                c.SystemWake = power->SystemWake;
            }
            if (power->D1Latency != static_cast<ULONG>(-1)) {
                c.D1Latency = power->D1Latency;
            }
            if (power->D2Latency != static_cast<ULONG>(-1)) {
                c.D2Latency = power->D2Latency;
            }
            if (power->D3Latency != static_cast<ULONG>(-1)) {
                c.D3Latency = power->D3Latency;
            }
        }
    }
    return complete(irp, status);
}

void DevicePnp::setPnpCapabilities(const WDF_DEVICE_PNP_CAPABILITIES& capabilities) {
    std::lock_guard lock(mutex_);
    pnpCapabilities_ = capabilities;
}

void DevicePnp::setPowerCapabilities(const WDF_DEVICE_POWER_CAPABILITIES& capabilities) {
    std::lock_guard lock(mutex_);
    powerCapabilities_ = capabilities;
}

void DevicePnp::setBusInformation(const PNP_BUS_INFORMATION& information) {
    std::lock_guard lock(mutex_);
    busInformation_ = information;
}

std::optional<PNP_BUS_INFORMATION> DevicePnp::busInformation() const {
    std::lock_guard lock(mutex_);
    return busInformation_;
}

// A PDO answers the identification queries from its init (a bus's job).
std::optional<NTSTATUS> DevicePnp::answerAsPdo(IRP* irp) {
    IO_STACK_LOCATION* location = IoGetCurrentIrpStackLocation(irp);
    const PdoInitData& pdo = *device_.init().pdo;
    switch (location->MinorFunction) {
        case IRP_MN_QUERY_ID: {
            std::vector<std::u16string> entries;
            bool multi = false;
            switch (location->Parameters.QueryId.IdType) {
                case BusQueryDeviceID:
                    entries = {pdo.deviceId};
                    break;
                case BusQueryInstanceID:
                    entries = {pdo.instanceId};
                    break;
                case BusQueryHardwareIDs:
                    entries = pdo.hardwareIds;
                    multi = true;
                    break;
                case BusQueryCompatibleIDs:
                    entries = pdo.compatibleIds;
                    multi = true;
                    break;
                default:
                    return std::nullopt;
            }
            if ((!multi && entries.front().empty()) || (multi && entries.empty())) {
                return std::nullopt;
            }
            WCHAR* text = poolStrings(entries, multi);
            return text != nullptr
                       ? complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text))
                       : complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        case IRP_MN_QUERY_DEVICE_TEXT: {
            auto it = pdo.texts.find(location->Parameters.QueryDeviceText.LocaleId);
            if (it == pdo.texts.end()) {
                it = pdo.texts.find(pdo.defaultLocale);
            }
            if (it == pdo.texts.end()) {
                return std::nullopt;
            }
            const std::u16string& text =
                location->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription
                    ? it->second.description
                    : it->second.location;
            if (text.empty()) {
                return std::nullopt;
            }
            WCHAR* copy = poolStrings({text}, false);
            return copy != nullptr
                       ? complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy))
                       : complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        case IRP_MN_QUERY_BUS_INFORMATION: {
            std::optional<PNP_BUS_INFORMATION> information;
            if (device_.parentDevice() != nullptr) {
                information = device_.parentDevice()->pnp().busInformation();
            }
            if (!information) {
                return std::nullopt;
            }
            PNP_BUS_INFORMATION* copy = poolCopy(*information);
            return copy != nullptr
                       ? complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy))
                       : complete(irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        default:
            return std::nullopt;
    }
}

}  // namespace vel::wdf
