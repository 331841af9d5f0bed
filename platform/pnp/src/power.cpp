// System power transitions: the system IRP, then the device IRP, to every started device.
#include "irps.h"
#include "pnp_impl.h"

namespace vel::pnp {

namespace {

SYSTEM_POWER_STATE systemStateOf(PowerAction action) {
    switch (action) {
        case PowerAction::Sleep:
            return PowerSystemSleeping3;
        case PowerAction::Hibernate:
            return PowerSystemHibernate;
        case PowerAction::Shutdown:
            return PowerSystemShutdown;
    }
    return PowerSystemShutdown;
}

POWER_ACTION powerActionOf(PowerAction action) {
    switch (action) {
        case PowerAction::Sleep:
            return PowerActionSleep;
        case PowerAction::Hibernate:
            return PowerActionHibernate;
        case PowerAction::Shutdown:
            return PowerActionShutdown;
    }
    return PowerActionShutdown;
}

// The device state a device takes in a system state: what its capabilities say, D3 when they
// say nothing usable (a device does not stay in D0 while the system sleeps).
DEVICE_POWER_STATE deviceStateFor(const DEVICE_CAPABILITIES& capabilities,
                                  SYSTEM_POWER_STATE system) {
    const DEVICE_POWER_STATE mapped = capabilities.DeviceState[system];
    return mapped >= PowerDeviceD1 && mapped <= PowerDeviceD3 ? mapped : PowerDeviceD3;
}

}  // namespace

NTSTATUS PnpManager::Impl::powerDown(PowerAction action) {
    if (systemState != PowerSystemWorking) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const SYSTEM_POWER_STATE system = systemStateOf(action);
    const POWER_ACTION powerAction = powerActionOf(action);
    for (DeviceNode* node : postOrder(root)) {
        if (node == &root || node->state != DeviceState::Started) {
            continue;
        }
        POWER_STATE state;
        state.SystemState = system;
        sendSetPower(io, node->pdo, SystemPowerState, state, powerAction);
        state.DeviceState = deviceStateFor(node->capabilities, system);
        sendSetPower(io, node->pdo, DevicePowerState, state, powerAction);
        setPower(*node, state.DeviceState);
    }
    std::lock_guard lock(mutex);
    systemState = system;
    lastAction = powerAction;
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::Impl::powerUp() {
    if (systemState != PowerSystemSleeping3 && systemState != PowerSystemHibernate) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // The wake IRPs carry the action of the transition they end, so that a driver sees the
    // same action during its power-up as during its power-down.
    for (DeviceNode* node : preOrder(root)) {
        if (node == &root || node->state != DeviceState::Started || node->power == PowerDeviceD0) {
            continue;
        }
        POWER_STATE state;
        state.SystemState = PowerSystemWorking;
        sendSetPower(io, node->pdo, SystemPowerState, state, lastAction);
        state.DeviceState = PowerDeviceD0;
        sendSetPower(io, node->pdo, DevicePowerState, state, lastAction);
        setPower(*node, PowerDeviceD0);
    }
    std::lock_guard lock(mutex);
    systemState = PowerSystemWorking;
    lastAction = PowerActionNone;
    return STATUS_SUCCESS;
}

}  // namespace vel::pnp
