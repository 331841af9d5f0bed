#include "io_package_impl.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "device.h"
#include "framework_state.h"
#include "io_target.h"
#include "queue.h"
#include "request.h"

namespace vel::wdf {

IoPackage::IoPackage(Device& device) : impl_(std::make_unique<Impl>(device)) {}
IoPackage::~IoPackage() = default;

IoPackage::Impl& IoPackage::impl() {
    return *impl_;
}

NTSTATUS IoPackage::wrapIrp(IRP* irp, WDFREQUEST* request) {
    Device& device = impl_->device;
    Object* published = nullptr;
    NTSTATUS status = publish(
        std::make_unique<Request>(device.binding(), irp, Request::Origin::Queue, false, &device),
        device.requestAttributes(), &device, &published);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* r = static_cast<Request*>(published);
    r->owner = Request::Owner::Driver;
    *request = r->requestHandle();
    return STATUS_SUCCESS;
}

static NTSTATUS completeIrp(IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS IoPackage::dispatch(IRP* irp) {
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    Queue* queue = impl_->queueFor(major);
    if (queue == nullptr || !queue->handles(major)) {
        return completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (!queue->accepting()) {
        return completeIrp(irp, STATUS_INVALID_DEVICE_STATE);
    }
    Device& device = impl_->device;
    Object* published = nullptr;
    NTSTATUS status = publish(
        std::make_unique<Request>(device.binding(), irp, Request::Origin::Queue, false, &device),
        device.requestAttributes(), &device, &published);
    if (!NT_SUCCESS(status)) {
        return completeIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    auto* request = static_cast<Request*>(published);
    IoMarkIrpPending(irp);
    if (!queue->enqueue(*request)) {
        request->completeByFramework(STATUS_INVALID_DEVICE_STATE);
    }
    return STATUS_PENDING;
}

bool IoPackage::routesCreate() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->routes.count(IRP_MJ_CREATE) != 0;
}

void IoPackage::stopPowerManagedQueues() {
    for (Queue* queue : impl_->snapshot(true)) {
        queue->powerDown();
    }
}

void IoPackage::resumePowerManagedQueues() {
    for (Queue* queue : impl_->snapshot(true)) {
        queue->powerUp();
    }
}

void IoPackage::purgeForRemoval() {
    std::vector<Queue*> queues = impl_->snapshot(true);
    for (Queue* queue : impl_->snapshot(false)) {
        if (!queue->powerManaged()) {
            queues.push_back(queue);
        }
    }
    for (Queue* queue : queues) {
        queue->removalPurge();
    }
}

void IoPackage::disposeTargets() {
    std::vector<IoTarget*> targets;
    {
        std::lock_guard lock(impl_->mutex);
        targets = impl_->targets;
        impl_->targets.clear();
        impl_->defaultTarget = nullptr;
    }
    for (IoTarget* target : targets) {
        target->dispose();
    }
}

void IoPackage::flushFile(FILE_OBJECT* file) {
    for (Queue* queue : impl_->snapshot(false)) {
        queue->flushFile(file);
    }
}

WDFQUEUE IoPackage::defaultQueue() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->defaultQueue != nullptr ? impl_->defaultQueue->queueHandle() : nullptr;
}

WDFIOTARGET IoPackage::defaultTarget() {
    Device& device = impl_->device;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->defaultTargetMade || device.isPdo() || device.lowerDevice() == nullptr) {
            return impl_->defaultTarget != nullptr ? impl_->defaultTarget->targetHandle() : nullptr;
        }
        impl_->defaultTargetMade = true;
    }
    Object* published = nullptr;
    if (!NT_SUCCESS(
            publish(std::make_unique<IoTarget>(device.binding(), device, device.lowerDevice()),
                    nullptr, &device, &published))) {
        return nullptr;
    }
    auto* target = static_cast<IoTarget*>(published);
    std::lock_guard lock(impl_->mutex);
    impl_->defaultTarget = target;
    impl_->targets.push_back(target);
    return target->targetHandle();
}

}  // namespace vel::wdf
