// Installing a new device node: identification, instance path and registry keys, the driver
// binding, loading the driver and AddDevice, then the start.
#include <cstdio>

#include "irps.h"
#include "pnp_impl.h"
#include "vel/runtime/verifier.h"

namespace vel::pnp {

namespace {

std::string enumKey(const std::string& instancePath) {
    return kernel::regpath::kEnum + "\\" + instancePath;
}

// The first index of the class with no software key yet; the key is created to claim it.
std::string claimSoftwareKey(kernel::Registry& registry, const std::string& classGuid,
                             std::string* driverValue) {
    for (unsigned index = 0;; ++index) {
        const std::string path = kernel::regpath::softwareKey(classGuid, index);
        if (!registry.keyExists(path)) {
            registry.createKey(path);
            *driverValue = path.substr(kernel::regpath::kClass.size() + 1);
            return path;
        }
    }
}

}  // namespace

void PnpManager::Impl::identify(DeviceNode& node) {
    IdReply deviceId = queryId(io, node.pdo, BusQueryDeviceID);
    IdReply instanceId = queryId(io, node.pdo, BusQueryInstanceID);
    IdReply hardwareIds = queryId(io, node.pdo, BusQueryHardwareIDs);
    IdReply compatibleIds = queryId(io, node.pdo, BusQueryCompatibleIDs);
    std::string description = queryText(io, node.pdo, DeviceTextDescription);
    std::string location = queryText(io, node.pdo, DeviceTextLocationInformation);
    DEVICE_CAPABILITIES capabilities = queryCapabilities(io, node.pdo);

    std::lock_guard lock(mutex);
    node.deviceId = deviceId.ids.empty() ? std::string() : deviceId.ids.front();
    // A bus that gives no instance ID gets "0"; a second such sibling then collides.
    node.instanceId = instanceId.ids.empty() ? std::string("0") : instanceId.ids.front();
    node.hardwareIds = std::move(hardwareIds.ids);
    node.compatibleIds = std::move(compatibleIds.ids);
    node.description = std::move(description);
    node.location = std::move(location);
    node.capabilities = capabilities;
    if (node.deviceId.empty()) {
        node.state = DeviceState::InstallFailed;
        node.problem = NT_SUCCESS(deviceId.status) ? STATUS_UNSUCCESSFUL : deviceId.status;
        return;
    }
    const std::string path = node.deviceId + "\\" + node.instanceId;
    for (const auto& [pdo, other] : byPdo) {
        if (other != &node && equalIgnoringCase(other->instancePath, path)) {
            node.state = DeviceState::InstallFailed;
            node.problem = STATUS_OBJECT_NAME_COLLISION;
            return;
        }
    }
    node.instancePath = path;
}

void PnpManager::Impl::install(DeviceNode& node) {
    identify(node);
    if (node.state == DeviceState::InstallFailed) {
        if (node.problem == STATUS_OBJECT_NAME_COLLISION) {
            runtime.verifier().report(rt::Rule::ContractViolation,
                                      "PDO of " + node.deviceId + "\\" + node.instanceId,
                                      "a bus reported two devices with the same instance path");
        }
        return;
    }
    io.setInstancePath(node.pdo, kernel::toUtf16(node.instancePath));
    kernel::Registry& registry = kernel.registry();
    const std::string instanceKey = enumKey(node.instancePath);
    const std::string hardwareKey = kernel::regpath::hardwareKey(node.instancePath);
    registry.createKey(hardwareKey);
    if (!node.description.empty()) {
        registry.setString(instanceKey, "DeviceDesc", kernel::toUtf16(node.description));
    }

    std::vector<std::string> ids = node.hardwareIds;
    ids.insert(ids.end(), node.compatibleIds.begin(), node.compatibleIds.end());
    const std::optional<DriverPackage> package = table.match(ids);
    if (!package) {
        setState(node, DeviceState::NoDriver);
        return;
    }

    // The software key is assigned once per instance path and remembered in the instance's
    // "Driver" value, so a device seen before (in this run or a saved registry) keeps its keys
    // and the values written at its first installation.
    std::string softwareKey;
    if (std::optional<std::u16string> driverValue = registry.string(instanceKey, "Driver")) {
        softwareKey = kernel::regpath::kClass + "\\" + kernel::toUtf8(*driverValue);
    } else {
        std::string value;
        softwareKey = claimSoftwareKey(registry, package->classGuid, &value);
        registry.setString(instanceKey, "Driver", kernel::toUtf16(value));
        for (const DriverPackage::Value& v : package->hardwareValues) {
            registry.setValue(hardwareKey, v.name, v.value);
        }
        for (const DriverPackage::Value& v : package->softwareValues) {
            registry.setValue(softwareKey, v.name, v.value);
        }
    }
    registry.setString(instanceKey, "Service", kernel::toUtf16(package->service));
    {
        std::lock_guard lock(mutex);
        node.service = package->service;
        node.softwareKey = softwareKey;
    }

    NTSTATUS status = ensureLoaded(*package);
    if (!NT_SUCCESS(status)) {
        setState(node, DeviceState::InstallFailed, status);
        return;
    }
    DRIVER_OBJECT* driver = framework.driverObject(package->service);
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    status = addDevice != nullptr ? addDevice(driver, node.pdo) : STATUS_INVALID_DEVICE_REQUEST;
    if (!NT_SUCCESS(status)) {
        setState(node, DeviceState::InstallFailed, status);
        releaseDriver(package->service);
        return;
    }
    {
        std::lock_guard lock(mutex);
        node.stackBuilt = true;
    }
    startNode(node);
}

NTSTATUS PnpManager::Impl::ensureLoaded(const DriverPackage& package) {
    if (framework.isLoaded(package.service)) {
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = package.entry != nullptr
                                ? framework.loadDriver(package.service, package.entry)
                                : framework.loadDriver(package.service, package.modulePath);
    if (NT_SUCCESS(status)) {
        loadedHere.insert(package.service);
    }
    return status;
}

void PnpManager::Impl::releaseDriver(const std::string& service) {
    if (!loadedHere.contains(service)) {
        return;
    }
    for (const auto& [pdo, node] : byPdo) {
        if (node->stackBuilt && node->service == service) {
            return;
        }
    }
    // A driver that still has device objects (a control device, one it failed to delete, or
    // a deleted one a file object still references) stays loaded, as on Windows.
    DRIVER_OBJECT* driver = framework.driverObject(service);
    if (driver != nullptr && io.hasDeviceObjects(driver)) {
        return;
    }
    loadedHere.erase(service);
    framework.unloadDriver(service);
}

}  // namespace vel::pnp
