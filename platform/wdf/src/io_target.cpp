#include "io_target.h"

#include <algorithm>

#include "device.h"
#include "framework_state.h"
#include "io_package_impl.h"
#include "request.h"
#include "vel/kernel/io.h"

namespace vel::wdf {

IoTarget::IoTarget(Binding& binding, Device& owner, DEVICE_OBJECT* device)
    : IoTarget(kType, binding, owner, device) {}

IoTarget::IoTarget(ObjectType type, Binding& binding, Device& owner, DEVICE_OBJECT* device)
    : Object(type, binding),
      owner_(owner),
      device_(device),
      state_(device != nullptr ? WdfIoTargetStarted : WdfIoTargetClosed) {
    if (device != nullptr) {
        setDeletable(false);
    }
}

IoTarget::~IoTarget() {
    if (referenced_) {
        ObDereferenceObject(device_);
    }
}

DEVICE_OBJECT* IoTarget::deviceObject() const {
    std::lock_guard lock(mutex_);
    return device_;
}

CCHAR IoTarget::stackSize() const {
    std::lock_guard lock(mutex_);
    return device_ != nullptr ? device_->StackSize : 1;
}

WDF_IO_TARGET_STATE IoTarget::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

NTSTATUS IoTarget::open(const WDF_IO_TARGET_OPEN_PARAMS& params) {
    if (params.Size != sizeof(WDF_IO_TARGET_OPEN_PARAMS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    DEVICE_OBJECT* device = nullptr;
    switch (params.Type) {
        case WdfIoTargetOpenUseExistingDevice:
            if (params.TargetDeviceObject == nullptr) {
                return STATUS_INVALID_PARAMETER;
            }
            device = params.TargetDeviceObject;
            ObReferenceObject(device);
            break;
        case WdfIoTargetOpenByName: {
            kernel::ResolvedName resolved;
            const std::u16string name(params.TargetDeviceName.Buffer,
                                      params.TargetDeviceName.Length / sizeof(WCHAR));
            if (NTSTATUS status = kernel::IoManager::current().resolve(name, &resolved);
                !NT_SUCCESS(status)) {
                return status;
            }
            device = IoGetAttachedDeviceReference(resolved.device);
            break;
        }
        default:
            return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard lock(mutex_);
    if (state_ != WdfIoTargetClosed && state_ != WdfIoTargetClosedForQueryRemove) {
        ObDereferenceObject(device);
        return STATUS_INVALID_DEVICE_STATE;
    }
    device_ = device;
    referenced_ = true;
    state_ = WdfIoTargetStarted;
    return STATUS_SUCCESS;
}

void IoTarget::close() {
    cancelSentAndWait(true);
    std::lock_guard lock(mutex_);
    if (state_ != WdfIoTargetDeleted) {
        state_ = WdfIoTargetClosed;
    }
    if (referenced_) {
        ObDereferenceObject(device_);
        referenced_ = false;
        device_ = nullptr;
    }
}

NTSTATUS IoTarget::start() {
    std::lock_guard lock(mutex_);
    if (state_ == WdfIoTargetDeleted || state_ == WdfIoTargetClosed) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    state_ = WdfIoTargetStarted;
    return STATUS_SUCCESS;
}

void IoTarget::stop(WDF_IO_TARGET_SENT_IO_ACTION action) {
    {
        std::lock_guard lock(mutex_);
        if (state_ == WdfIoTargetStarted) {
            state_ = WdfIoTargetStopped;
        }
    }
    switch (action) {
        case WdfIoTargetCancelSentIo:
            cancelSentAndWait(true);
            break;
        case WdfIoTargetWaitForSentIoToComplete:
            cancelSentAndWait(false);
            break;
        default:
            break;
    }
}

// Cancels (or only waits for) what was sent subject to the target state, and waits until each
// completion routine has returned.
void IoTarget::cancelSentAndWait(bool cancel) {
    if (cancel) {
        std::vector<Request*> sent;
        {
            std::lock_guard lock(mutex_);
            sent = sent_;
            for (Request* request : sent) {
                request->addRef(this);
            }
        }
        for (Request* request : sent) {
            request->cancelSent();
            request->release(this);
        }
    }
    if (rt::currentIrql() != rt::Irql::Passive) {
        frameworkState().runtime.verifier().checkBlockingCall("WdfIoTargetStop on " + describe());
        return;
    }
    waiters_.waitFor(
        mutex_, [&] { return sent_.empty(); }, "I/O target sent requests");
}

NTSTATUS IoTarget::admit(Request& request, bool ignoreState) {
    std::lock_guard lock(mutex_);
    if (device_ == nullptr || state_ == WdfIoTargetClosed || state_ == WdfIoTargetDeleted ||
        state_ == WdfIoTargetClosedForQueryRemove) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (state_ != WdfIoTargetStarted && !ignoreState) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    (ignoreState ? ignored_ : sent_).push_back(&request);
    return STATUS_SUCCESS;
}

void IoTarget::sentDone(Request& request, bool ignoredState) {
    {
        std::lock_guard lock(mutex_);
        auto& list = ignoredState ? ignored_ : sent_;
        list.erase(std::find(list.begin(), list.end(), &request));
    }
    waiters_.notify();
}

void IoTarget::onDispose() {
    {
        IoPackage::Impl& io = owner_.io().impl();
        std::lock_guard lock(io.mutex);
        std::erase(io.targets, this);
        if (io.defaultTarget == this) {
            io.defaultTarget = nullptr;
        }
    }
    stop(WdfIoTargetCancelSentIo);
    close();
    std::lock_guard lock(mutex_);
    state_ = WdfIoTargetDeleted;
}

}  // namespace vel::wdf
