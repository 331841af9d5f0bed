// Power IRPs and the D0 entry and exit sequences of a device.
#include "device.h"
#include "device_pnp.h"
#include "io_package.h"

namespace vel::wdf {

WDF_POWER_DEVICE_STATE DevicePnp::targetOf(DEVICE_POWER_STATE state, POWER_ACTION action) const {
    switch (action) {
        case PowerActionShutdown:
        case PowerActionShutdownReset:
        case PowerActionShutdownOff:
            return WdfPowerDeviceD3Final;
        case PowerActionHibernate:
            return WdfPowerDevicePrepareForHibernation;
        default:
            break;
    }
    switch (state) {
        case PowerDeviceD1:
            return WdfPowerDeviceD1;
        case PowerDeviceD2:
            return WdfPowerDeviceD2;
        default:
            return WdfPowerDeviceD3;
    }
}

NTSTATUS DevicePnp::powerUp(WDF_POWER_DEVICE_STATE previous) {
    if (callbacks_.EvtDeviceD0Entry != nullptr) {
        if (NTSTATUS status = callbacks_.EvtDeviceD0Entry(handle(), previous);
            !NT_SUCCESS(status)) {
            return status;
        }
    }
    {
        std::lock_guard lock(mutex_);
        inD0_ = true;
        powerState_ = WdfPowerDeviceD0;
    }
    if (callbacks_.EvtDeviceD0EntryPostInterruptsEnabled != nullptr) {
        if (NTSTATUS status = callbacks_.EvtDeviceD0EntryPostInterruptsEnabled(handle(), previous);
            !NT_SUCCESS(status)) {
            return status;
        }
    }
    device_.io().resumePowerManagedQueues();
    const bool first = !startedOnce();
    NTSTATUS status = STATUS_SUCCESS;
    if (first && callbacks_.EvtDeviceSelfManagedIoInit != nullptr) {
        status = callbacks_.EvtDeviceSelfManagedIoInit(handle());
    } else if (!first && callbacks_.EvtDeviceSelfManagedIoRestart != nullptr) {
        status = callbacks_.EvtDeviceSelfManagedIoRestart(handle());
    }
    // The action of the transition stays readable through D0 entry and ends with it.
    std::lock_guard lock(mutex_);
    systemAction_ = PowerActionNone;
    return status;
}

void DevicePnp::powerDown(WDF_POWER_DEVICE_STATE target) {
    if (startedOnce() && callbacks_.EvtDeviceSelfManagedIoSuspend != nullptr) {
        callbacks_.EvtDeviceSelfManagedIoSuspend(handle());
    }
    // Every request the driver owns from a power-managed queue is stopped (EvtIoStop) and
    // acknowledged before D0 exit.
    device_.io().stopPowerManagedQueues();
    if (callbacks_.EvtDeviceD0ExitPreInterruptsDisabled != nullptr) {
        callbacks_.EvtDeviceD0ExitPreInterruptsDisabled(handle(), target);
    }
    if (callbacks_.EvtDeviceD0Exit != nullptr) {
        callbacks_.EvtDeviceD0Exit(handle(), target);
    }
    std::lock_guard lock(mutex_);
    inD0_ = false;
    powerState_ = target;
}

NTSTATUS DevicePnp::dispatchPower(IRP* irp) {
    IO_STACK_LOCATION* location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MinorFunction) {
        case IRP_MN_SET_POWER: {
            const auto& power = location->Parameters.Power;
            if (power.Type == SystemPowerState) {
                if (power.State.SystemState > PowerSystemWorking) {
                    std::lock_guard lock(mutex_);
                    systemAction_ = power.ShutdownType;
                }
            } else if (power.State.DeviceState != PowerDeviceD0) {
                // Down: this device first, then the ones below it.
                if (inD0() && state() == PnpState::Started) {
                    {
                        std::lock_guard lock(mutex_);
                        systemAction_ = power.ShutdownType;
                    }
                    powerDown(targetOf(power.State.DeviceState, power.ShutdownType));
                }
            } else {
                // Up: the devices below first.
                if (device_.isFdo() && device_.lowerDevice() != nullptr) {
                    if (NTSTATUS status = forwardAndWait(irp); !NT_SUCCESS(status)) {
                        return complete(irp, status);
                    }
                }
                WDF_POWER_DEVICE_STATE previous;
                bool wake;
                {
                    std::lock_guard lock(mutex_);
                    previous = powerState_;
                    wake = !inD0_ && state_ == PnpState::Started;
                }
                NTSTATUS status = wake ? powerUp(previous) : STATUS_SUCCESS;
                return complete(irp, status);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            return forward(irp);
        }
        case IRP_MN_QUERY_POWER:
            irp->IoStatus.Status = STATUS_SUCCESS;
            return forward(irp);
        default:
            return forward(irp);
    }
}

}  // namespace vel::wdf
