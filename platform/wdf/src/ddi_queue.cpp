// Queue calls and the device's request dispatching.
#include "ddi.h"
#include "ddi_support.h"
#include "device.h"
#include "io_package_impl.h"
#include "io_target.h"
#include "queue.h"
#include "request.h"

namespace vel::wdf::ddi {

NTSTATUS WdfIoQueueCreate(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                          PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE* Queue) {
    Binding* binding = callerBinding(DriverGlobals, "WdfIoQueueCreate");
    auto* device = lookup<vel::wdf::Device>(Device, "WdfIoQueueCreate");
    if (binding == nullptr || device == nullptr || Config == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Queue != nullptr) {
        *Queue = nullptr;
    }
    if (Config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    const WDF_IO_QUEUE_CONFIG& c = *Config;
    if (c.DispatchType <= WdfIoQueueDispatchInvalid || c.DispatchType >= WdfIoQueueDispatchMax) {
        return STATUS_INVALID_PARAMETER;
    }
    const bool anyHandler = c.EvtIoDefault || c.EvtIoRead || c.EvtIoWrite || c.EvtIoDeviceControl ||
                            c.EvtIoInternalDeviceControl;
    if (c.DispatchType == WdfIoQueueDispatchManual && anyHandler) {
        return STATUS_INVALID_PARAMETER;
    }
    if (c.DispatchType != WdfIoQueueDispatchManual && !anyHandler) {
        return STATUS_WDF_NO_CALLBACK;
    }
    const ULONG presented = c.Settings.Parallel.NumberOfPresentedRequests;
    if (c.DispatchType != WdfIoQueueDispatchParallel && presented != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = validateAttributes(QueueAttributes); !NT_SUCCESS(status)) {
        return status;
    }
    IoPackage::Impl& io = device->io().impl();
    if (c.DefaultQueue) {
        if (device->startedOnce()) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        std::lock_guard lock(io.mutex);
        if (io.defaultQueue != nullptr) {
            return STATUS_WDF_BUSY;
        }
    } else if (Queue == nullptr) {
        return STATUS_INVALID_PARAMETER_4;
    }
    WDF_SYNCHRONIZATION_SCOPE scope = QueueAttributes != nullptr
                                          ? QueueAttributes->SynchronizationScope
                                          : WdfSynchronizationScopeInheritFromParent;
    if (scope == WdfSynchronizationScopeInheritFromParent ||
        scope == WdfSynchronizationScopeInvalid) {
        scope = device->deviceSynchronizationScope();
    }
    WDF_EXECUTION_LEVEL level = QueueAttributes != nullptr ? QueueAttributes->ExecutionLevel
                                                           : WdfExecutionLevelInheritFromParent;
    if (level == WdfExecutionLevelInheritFromParent || level == WdfExecutionLevelInvalid) {
        level = device->deviceExecutionLevel();
    }
    if (scope == WdfSynchronizationScopeDevice && level != device->deviceExecutionLevel()) {
        return STATUS_INVALID_PARAMETER;
    }
    const bool powerManaged = c.PowerManaged != WdfFalse;
    Object* parent = device;
    if (QueueAttributes != nullptr && QueueAttributes->ParentObject != nullptr) {
        parent = lookup<Object>(QueueAttributes->ParentObject, "WdfIoQueueCreate");
        if (parent == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    Object* published = nullptr;
    NTSTATUS status = publish(std::make_unique<vel::wdf::Queue>(*binding, *device, c, powerManaged,
                                                                device->inD0(), scope, level),
                              QueueAttributes, parent, &published);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* queue = static_cast<vel::wdf::Queue*>(published);
    {
        std::lock_guard lock(io.mutex);
        io.queues.push_back(queue);
        if (c.DefaultQueue) {
            io.defaultQueue = queue;
            queue->setUndeletable();
        }
    }
    if (Queue != nullptr) {
        *Queue = queue->queueHandle();
    }
    return STATUS_SUCCESS;
}

WDF_IO_QUEUE_STATE WdfIoQueueGetState(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue, PULONG QueueRequests,
                                      PULONG DriverRequests) {
    auto* queue = lookup<vel::wdf::Queue>(Queue, "WdfIoQueueGetState");
    return queue != nullptr ? queue->state(QueueRequests, DriverRequests)
                            : static_cast<WDF_IO_QUEUE_STATE>(0);
}

VOID WdfIoQueueStart(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue) {
    if (auto* queue = lookup<vel::wdf::Queue>(Queue, "WdfIoQueueStart")) {
        queue->start();
    }
}

VOID WdfIoQueueStop(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete,
                    WDFCONTEXT Context) {
    if (auto* queue = lookup<vel::wdf::Queue>(Queue, "WdfIoQueueStop")) {
        queue->stop(StopComplete, Context, false);
    }
}

VOID WdfIoQueueStopSynchronously(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue) {
    if (auto* queue = lookup<vel::wdf::Queue>(Queue, "WdfIoQueueStopSynchronously")) {
        queue->stop(nullptr, nullptr, true);
    }
}

WDFDEVICE WdfIoQueueGetDevice(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue) {
    auto* queue = lookup<vel::wdf::Queue>(Queue, "WdfIoQueueGetDevice");
    return queue != nullptr ? static_cast<WDFDEVICE>(queue->device().handle()) : nullptr;
}

NTSTATUS WdfIoQueueRetrieveNextRequest(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue,
                                       WDFREQUEST* OutRequest) {
    auto* queue = lookup<vel::wdf::Queue>(Queue, "WdfIoQueueRetrieveNextRequest");
    if (queue == nullptr || OutRequest == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    vel::wdf::Request* request = nullptr;
    NTSTATUS status = queue->retrieveNext(&request);
    *OutRequest = request != nullptr ? request->requestHandle() : nullptr;
    return status;
}

NTSTATUS WdfIoQueueReadyNotify(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue,
                               PFN_WDF_IO_QUEUE_STATE QueueReady, WDFCONTEXT Context) {
    auto* queue = lookup<vel::wdf::Queue>(Queue, "WdfIoQueueReadyNotify");
    return queue != nullptr ? queue->readyNotify(QueueReady, Context) : STATUS_INVALID_PARAMETER;
}

VOID WdfIoQueuePurge(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete,
                     WDFCONTEXT Context) {
    if (auto* queue = lookup<vel::wdf::Queue>(Queue, "WdfIoQueuePurge")) {
        queue->purge(PurgeComplete, Context, false);
    }
}

VOID WdfIoQueuePurgeSynchronously(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue) {
    if (auto* queue = lookup<vel::wdf::Queue>(Queue, "WdfIoQueuePurgeSynchronously")) {
        queue->purge(nullptr, nullptr, true);
    }
}

VOID WdfIoQueueDrain(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE DrainComplete,
                     WDFCONTEXT Context) {
    if (auto* queue = lookup<vel::wdf::Queue>(Queue, "WdfIoQueueDrain")) {
        queue->drain(DrainComplete, Context, false);
    }
}

VOID WdfIoQueueDrainSynchronously(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue) {
    if (auto* queue = lookup<vel::wdf::Queue>(Queue, "WdfIoQueueDrainSynchronously")) {
        queue->drain(nullptr, nullptr, true);
    }
}

NTSTATUS WdfDeviceConfigureRequestDispatching(PWDF_DRIVER_GLOBALS, WDFDEVICE Device, WDFQUEUE Queue,
                                              WDF_REQUEST_TYPE RequestType) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceConfigureRequestDispatching");
    auto* queue = lookup<vel::wdf::Queue>(Queue, "WdfDeviceConfigureRequestDispatching");
    if (device == nullptr || queue == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    switch (RequestType) {
        case WdfRequestTypeCreate:
        case WdfRequestTypeRead:
        case WdfRequestTypeWrite:
        case WdfRequestTypeDeviceControl:
        case WdfRequestTypeDeviceControlInternal:
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    const auto major = static_cast<UCHAR>(RequestType);
    if (queue->isDefault() || &queue->device() != device ||
        (RequestType != WdfRequestTypeCreate && !queue->handles(major))) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    IoPackage::Impl& io = device->io().impl();
    std::lock_guard lock(io.mutex);
    auto it = io.routes.find(major);
    if (it != io.routes.end() && it->second != queue) {
        return STATUS_WDF_BUSY;
    }
    io.routes[major] = queue;
    queue->setUndeletable();
    return STATUS_SUCCESS;
}

WDFQUEUE WdfDeviceGetDefaultQueue(PWDF_DRIVER_GLOBALS, WDFDEVICE Device) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceGetDefaultQueue");
    return device != nullptr ? device->io().defaultQueue() : nullptr;
}

// The FDO's default target; NULL for a PDO.
WDFIOTARGET WdfDeviceGetIoTarget(PWDF_DRIVER_GLOBALS, WDFDEVICE Device) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceGetIoTarget");
    return device != nullptr ? device->io().defaultTarget() : nullptr;
}

}  // namespace vel::wdf::ddi
