// A device's symbolic link and device interfaces.
#include <optional>

#include "device.h"
#include "device_pnp.h"
#include "vel/kernel/io.h"

namespace vel::wdf {

NTSTATUS DevicePnp::createSymbolicLink(const std::u16string& link) {
    const std::u16string target = device_.name();
    if (link.empty() || target.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        std::lock_guard lock(mutex_);
        if (!symbolicLink_.empty()) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    if (NTSTATUS status = kernel::IoManager::current().createSymbolicLink(link, target);
        !NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard lock(mutex_);
    symbolicLink_ = link;
    return STATUS_SUCCESS;
}

std::u16string DevicePnp::symbolicLink() const {
    std::lock_guard lock(mutex_);
    return symbolicLink_;
}

void DevicePnp::deleteSymbolicLink() {
    std::u16string link;
    {
        std::lock_guard lock(mutex_);
        link.swap(symbolicLink_);
    }
    if (!link.empty()) {
        kernel::IoManager::current().deleteSymbolicLink(link);
    }
}

// Registered at once when the PDO has its instance path; otherwise at start. Interfaces
// created before the first start are enabled at each start; one created later stays disabled.
NTSTATUS DevicePnp::createDeviceInterface(const GUID& interfaceClass,
                                          const std::u16string& reference) {
    if (device_.physicalDevice() == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    Interface entry{interfaceClass, reference, {}, false, true};
    std::u16string link;
    const NTSTATUS status = kernel::IoManager::current().registerDeviceInterface(
        device_.physicalDevice(), interfaceClass, reference, &link);
    if (NT_SUCCESS(status)) {
        entry.link = link;
    } else if (status != STATUS_INVALID_DEVICE_REQUEST) {
        return status;
    }
    std::lock_guard lock(mutex_);
    entry.enableAtStart = !startedOnce_;
    interfaces_.push_back(std::move(entry));
    return STATUS_SUCCESS;
}

void DevicePnp::setDeviceInterfaceState(const GUID& interfaceClass, const std::u16string& reference,
                                        bool enable) {
    kernel::IoManager& io = kernel::IoManager::current();
    std::optional<Interface> found;
    {
        std::lock_guard lock(mutex_);
        for (Interface& each : interfaces_) {
            if (IsEqualGUID(each.interfaceClass, interfaceClass) && each.reference == reference) {
                // The choice also holds for the next start.
                each.enableAtStart = enable;
                found = each;
                break;
            }
        }
    }
    if (!found) {
        return;
    }
    if (found->link.empty() &&
        !NT_SUCCESS(io.registerDeviceInterface(device_.physicalDevice(), interfaceClass, reference,
                                               &found->link))) {
        return;
    }
    // Only a started device's interfaces can be on; the rest follow at start.
    const bool on = enable && state() == PnpState::Started;
    if (found->enabled != on) {
        io.setDeviceInterfaceState(found->link, on);
    }
    std::lock_guard lock(mutex_);
    for (Interface& each : interfaces_) {
        if (IsEqualGUID(each.interfaceClass, interfaceClass) && each.reference == reference) {
            each.link = found->link;
            each.enabled = on;
        }
    }
}

std::vector<std::u16string> DevicePnp::interfaceLinks() const {
    std::lock_guard lock(mutex_);
    std::vector<std::u16string> links;
    for (const Interface& each : interfaces_) {
        if (each.enabled) {
            links.push_back(each.link);
        }
    }
    return links;
}

void DevicePnp::setInterfacesEnabled(bool enabled) {
    kernel::IoManager& io = kernel::IoManager::current();
    std::vector<Interface> interfaces;
    {
        std::lock_guard lock(mutex_);
        interfaces = interfaces_;
    }
    for (Interface& each : interfaces) {
        if (enabled && !each.enableAtStart) {
            continue;
        }
        if (each.link.empty()) {
            if (!NT_SUCCESS(io.registerDeviceInterface(
                    device_.physicalDevice(), each.interfaceClass, each.reference, &each.link))) {
                continue;
            }
        }
        if (each.enabled != enabled) {
            io.setDeviceInterfaceState(each.link, enabled);
            each.enabled = enabled;
        }
    }
    std::lock_guard lock(mutex_);
    interfaces_ = std::move(interfaces);
}

}  // namespace vel::wdf
