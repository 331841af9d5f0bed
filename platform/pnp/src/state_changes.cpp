// Start, stop, orderly and surprise removal of device nodes.
#include <algorithm>

#include "irps.h"
#include "pnp_impl.h"

namespace vel::pnp {

NTSTATUS PnpManager::Impl::startNode(DeviceNode& node) {
    const NTSTATUS status =
        sendPnp(io, node.pdo, IRP_MN_START_DEVICE, [](IO_STACK_LOCATION& location) {
            location.Parameters.StartDevice.AllocatedResources = nullptr;
            location.Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
        }).status;
    if (!NT_SUCCESS(status)) {
        // As on Windows, a stack that fails to start is removed; the PDO stays in the tree.
        setState(node, DeviceState::StartFailed, status);
        sendRemove(node);
        return status;
    }
    setState(node, DeviceState::Started);
    setPower(node, PowerDeviceD0);
    enumerate(node);
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::Impl::stopNode(DeviceNode& node) {
    if (node.state != DeviceState::Started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const NTSTATUS status = sendPnp(io, node.pdo, IRP_MN_QUERY_STOP_DEVICE).status;
    if (!NT_SUCCESS(status)) {
        sendPnp(io, node.pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    sendPnp(io, node.pdo, IRP_MN_STOP_DEVICE);
    setState(node, DeviceState::Stopped);
    setPower(node, PowerDeviceD3);
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::Impl::queryRemoveSubtree(DeviceNode& node) {
    std::vector<DeviceNode*> asked;
    for (DeviceNode* each : postOrder(node)) {
        asked.push_back(each);
        const NTSTATUS status = sendPnp(io, each->pdo, IRP_MN_QUERY_REMOVE_DEVICE).status;
        if (!NT_SUCCESS(status)) {
            // The vetoing stack gets the cancel too: drivers below it may have agreed.
            for (auto it = asked.rbegin(); it != asked.rend(); ++it) {
                sendPnp(io, (*it)->pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
            }
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::Impl::removeOrderly(DeviceNode& node) {
    if (const NTSTATUS status = queryRemoveSubtree(node); !NT_SUCCESS(status)) {
        return status;
    }
    if (node.parent == &root) {
        rootBus.unplug(node.pdo);
    }
    // Files still open: the stacks let go of their I/O as at a surprise removal and the
    // removal completes at the last close.
    if (hasOpenFiles(node)) {
        surpriseRemoveSubtree(node);
    }
    removeWhenClosed(node);
    return STATUS_SUCCESS;
}

void PnpManager::Impl::surpriseRemoveSubtree(DeviceNode& node) {
    // Only stacks that were started learn of the surprise; the others get REMOVE_DEVICE alone.
    for (DeviceNode* each : postOrder(node)) {
        if (each->state == DeviceState::Started || each->state == DeviceState::Stopped) {
            setState(*each, DeviceState::SurpriseRemoved);
            sendPnp(io, each->pdo, IRP_MN_SURPRISE_REMOVAL);
        }
    }
}

void PnpManager::Impl::sendRemove(DeviceNode& node) {
    sendPnp(io, node.pdo, IRP_MN_REMOVE_DEVICE);
    if (node.stackBuilt) {
        {
            std::lock_guard lock(mutex);
            node.stackBuilt = false;
        }
        releaseDriver(node.service);
    }
}

void PnpManager::Impl::removeSubtree(DeviceNode& node) {
    while (!node.children.empty()) {
        removeSubtree(*node.children.front());
    }
    // A stack that failed to start was removed then: its PDO gets no second REMOVE_DEVICE (its
    // bus driver deletes it once it is gone).
    const bool removedAtStart = node.state == DeviceState::StartFailed;
    setState(node, DeviceState::Removed);
    if (!removedAtStart) {
        sendRemove(node);
    }
    if (node.ejecting) {
        // What is left of the stack (the PDO) ejects the hardware.
        sendPnp(io, node.pdo, IRP_MN_EJECT);
    }
    if (node.parent == &root) {
        rootBus.deleteIfGone(node.pdo);
    }
    // The drivers deleted what they own; the node goes, and with it its reference on the PDO.
    std::unique_ptr<DeviceNode> gone;
    {
        std::lock_guard lock(mutex);
        byPdo.erase(node.pdo);
        auto& siblings = node.parent->children;
        auto it = std::find_if(siblings.begin(), siblings.end(),
                               [&](const auto& child) { return child.get() == &node; });
        gone = std::move(*it);
        siblings.erase(it);
    }
    ObDereferenceObject(gone->pdo);
}

bool PnpManager::Impl::hasOpenFiles(DeviceNode& node) {
    for (DeviceNode* each : postOrder(node)) {
        if (each->pdo != nullptr && io.hasOpenFiles(io.stackOf(each->pdo))) {
            return true;
        }
    }
    return false;
}

void PnpManager::Impl::removeWhenClosed(DeviceNode& node) {
    if (!hasOpenFiles(node)) {
        removeSubtree(node);
        return;
    }
    std::lock_guard lock(mutex);
    node.removalPending = true;
}

void PnpManager::Impl::onFileReleased() {
    // One subtree at a time: a removal changes the tree under the list.
    for (bool removed = true; removed;) {
        removed = false;
        for (DeviceNode* each : preOrder(root)) {
            if (each->removalPending && !hasOpenFiles(*each)) {
                removeSubtree(*each);
                removed = true;
                break;
            }
        }
    }
    const std::set<std::string> services = loadedHere;
    for (const std::string& service : services) {
        releaseDriver(service);
    }
}

}  // namespace vel::pnp
