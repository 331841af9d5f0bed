#include "usb_reader.h"

#include <algorithm>
#include <cstring>

#include "ddi.h"
#include "ddi_support.h"
#include "memory.h"
#include "request.h"
#include "usb_device.h"
#include "usb_pipe.h"
#include "usb_pipe_io.h"
#include "vel/runtime/faults.h"

namespace vel::wdf {

namespace {

constexpr UCHAR kDefaultReads = 2;
constexpr UCHAR kMostReads = 10;
constexpr ULONG kBufferTag = 0x52437355;  // "UsCR" in a pool dump

}  // namespace

ContinuousReader::ContinuousReader(UsbPipe& pipe, const WDF_USB_CONTINUOUS_READER_CONFIG& config,
                                   const WDF_OBJECT_ATTRIBUTES* bufferAttributes, UCHAR reads)
    : pipe_(pipe),
      config_(config),
      bufferLength_(config.HeaderLength + config.TransferLength + config.TrailerLength) {
    if (bufferAttributes != nullptr) {
        bufferAttributes_ = *bufferAttributes;
    } else {
        WDF_OBJECT_ATTRIBUTES_INIT(&bufferAttributes_);
    }
    bufferAttributes_.ParentObject = pipe.handle();
    for (UCHAR i = 0; i < reads; ++i) {
        auto slot = std::make_unique<Slot>();
        slot->reader = this;
        slots_.push_back(std::move(slot));
    }
}

ContinuousReader::~ContinuousReader() = default;

NTSTATUS ContinuousReader::create(UsbPipe& pipe, const WDF_USB_CONTINUOUS_READER_CONFIG* config,
                                  std::unique_ptr<ContinuousReader>* reader) {
    if (config == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (config->Size != sizeof(WDF_USB_CONTINUOUS_READER_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (config->EvtUsbTargetPipeReadComplete == nullptr || config->TransferLength == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t total = 0;
    if (__builtin_add_overflow(config->HeaderLength, config->TransferLength, &total) ||
        __builtin_add_overflow(total, config->TrailerLength, &total)) {
        return STATUS_INTEGER_OVERFLOW;
    }
    if (NTSTATUS status = validateAttributes(config->BufferAttributes); !NT_SUCCESS(status)) {
        return status;
    }
    if (config->BufferAttributes != nullptr && config->BufferAttributes->ParentObject != nullptr) {
        // The buffers belong to the pipe.
        return STATUS_WDF_PARENT_ASSIGNMENT_NOT_ALLOWED;
    }
    if (!pipe.isIn()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (NTSTATUS status = checkPipeTransfer(pipe, true, config->TransferLength);
        !NT_SUCCESS(status)) {
        return status;
    }
    const UCHAR reads = config->NumPendingReads == 0
                            ? kDefaultReads
                            : std::min<UCHAR>(config->NumPendingReads, kMostReads);
    std::unique_ptr<ContinuousReader> made(
        new ContinuousReader(pipe, *config, config->BufferAttributes, reads));
    if (NTSTATUS status = made->makeRequests(); !NT_SUCCESS(status)) {
        made->release();
        return status;
    }
    *reader = std::move(made);
    return STATUS_SUCCESS;
}

NTSTATUS ContinuousReader::makeRequests() {
    PWDF_DRIVER_GLOBALS globals = &pipe_.binding().globals;
    for (auto& slot : slots_) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = pipe_.handle();
        WDFREQUEST handle = nullptr;
        if (NTSTATUS status = ddi::WdfRequestCreate(
                globals, &attributes, static_cast<WDFIOTARGET>(pipe_.handle()), &handle);
            !NT_SUCCESS(status)) {
            return status;
        }
        slot->request = lookup<Request>(handle, "WdfUsbTargetPipeConfigContinuousReader");
        // The reader's reference keeps the request while the pipe's tree is disposed and its
        // reads are still being cancelled.
        slot->request->addRef(slot.get());
    }
    return STATUS_SUCCESS;
}

bool ContinuousReader::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void ContinuousReader::start() {
    std::vector<Slot*> idle;
    {
        std::lock_guard lock(mutex_);
        running_ = true;
        if (recovering_) {
            return;  // the recovery restarts the reads
        }
        for (auto& slot : slots_) {
            if (!slot->busy) {
                slot->busy = true;
                idle.push_back(slot.get());
            }
        }
    }
    for (Slot* slot : idle) {
        arm(*slot);
    }
}

void ContinuousReader::halt() {
    std::lock_guard lock(mutex_);
    running_ = false;
}

void ContinuousReader::waitHalted() {
    if (recovery_->calledFromCallback()) {
        reportViolation(rt::Rule::ContractViolation, pipe_.describe(),
                        "the pipe is stopped from its own readers-failed callback, whose "
                        "recovery the stop would wait for");
        return;
    }
    if (rt::currentIrql() != rt::Irql::Passive) {
        return;  // the target's stop reported the blocking call
    }
    recovery_->waitIdle();
    waitIdle();
}

void ContinuousReader::waitIdle() {
    idle_.waitFor(
        mutex_,
        [&] { return std::none_of(slots_.begin(), slots_.end(), [](auto& s) { return s->busy; }); },
        "continuous reader reads");
}

void ContinuousReader::release() {
    for (auto& slot : slots_) {
        dropBuffer(*slot);
        if (slot->request != nullptr) {
            slot->request->release(slot.get());
            slot->request = nullptr;
        }
    }
}

// Sends one read into a fresh buffer. The slot is busy already.
void ContinuousReader::arm(Slot& slot) {
    dropBuffer(slot);
    Request& request = *slot.request;
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    NTSTATUS status = request.reuse(reuse);
    if (NT_SUCCESS(status)) {
        status = newBuffer(slot);
    }
    if (NT_SUCCESS(status)) {
        auto* data = static_cast<char*>(slot.buffer->buffer()) + config_.HeaderLength;
        status =
            formatPipeTransfer(pipe_, request, true, static_cast<WDFMEMORY>(slot.buffer->handle()),
                               data, config_.HeaderLength, config_.TransferLength);
    }
    if (NT_SUCCESS(status) && injectFault(rt::fault::kUsbPipeSend)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        request.setCompletionRoutine(onReadComplete, &slot);
        if (request.send(pipe_, nullptr)) {
            return;
        }
        status = request.status();
    }
    slotFailed(slot, status, USBD_STATUS_SUCCESS);
}

NTSTATUS ContinuousReader::newBuffer(Slot& slot) {
    if (injectFault(rt::fault::kUsbReaderAllocate)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    WDFMEMORY handle = nullptr;
    PVOID buffer = nullptr;
    if (NTSTATUS status =
            ddi::WdfMemoryCreate(&pipe_.binding().globals, &bufferAttributes_, NonPagedPool,
                                 kBufferTag, bufferLength_, &handle, &buffer);
        !NT_SUCCESS(status)) {
        return status;
    }
    std::memset(buffer, 0, bufferLength_);
    slot.buffer = lookup<Memory>(handle, "continuous reader");
    slot.buffer->addRef(&slot);
    return STATUS_SUCCESS;
}

// The reader lets go of the slot's buffer; a driver that took a reference keeps it.
void ContinuousReader::dropBuffer(Slot& slot) {
    if (slot.buffer == nullptr) {
        return;
    }
    Memory* buffer = slot.buffer;
    slot.buffer = nullptr;
    buffer->dispose();
    buffer->release(&slot);
}

// A read could not be sent. With no read left pending, the reader recovers as from a failed
// read; a stopped reader just goes idle.
void ContinuousReader::slotFailed(Slot& slot, NTSTATUS status, USBD_STATUS usbdStatus) {
    dropBuffer(slot);
    bool recover = false;
    {
        std::lock_guard lock(mutex_);
        slot.busy = false;
        const bool noneLeft =
            std::none_of(slots_.begin(), slots_.end(), [](auto& s) { return s->busy; });
        recover = noneLeft && beginRecoveryLocked();
    }
    idle_.notify();
    if (recover) {
        queueRecovery(status, usbdStatus);
    }
}

void ContinuousReader::onReadComplete(WDFREQUEST, WDFIOTARGET,
                                      PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    Slot& slot = *static_cast<Slot*>(context);
    ContinuousReader& reader = *slot.reader;
    const NTSTATUS status = params->IoStatus.Status;
    const PWDF_USB_REQUEST_COMPLETION_PARAMS usb = params->Parameters.Usb.Completion;
    const USBD_STATUS usbdStatus = usb != nullptr ? usb->UsbdStatus : USBD_STATUS_SUCCESS;
    if (NT_SUCCESS(status)) {
        reader.config_.EvtUsbTargetPipeReadComplete(
            static_cast<WDFUSBPIPE>(reader.pipe_.handle()),
            static_cast<WDFMEMORY>(slot.buffer->handle()),
            usb != nullptr ? usb->Parameters.PipeRead.Length : 0,
            reader.config_.EvtUsbTargetPipeReadCompleteContext);
    }
    bool again = false;
    bool recover = false;
    {
        std::lock_guard lock(reader.mutex_);
        if (NT_SUCCESS(status) && reader.running_ && !reader.recovering_) {
            again = true;  // still busy until the DPC has sent it
        } else {
            slot.busy = false;
            recover =
                !NT_SUCCESS(status) && status != STATUS_CANCELLED && reader.beginRecoveryLocked();
        }
    }
    if (!again) {
        reader.idle_.notify();
        if (recover) {
            reader.queueRecovery(status, usbdStatus);
        }
        return;
    }
    frameworkState().runtime.queueDpc([&slot] {
        ContinuousReader& r = *slot.reader;
        {
            std::lock_guard lock(r.mutex_);
            if (!r.running_ || r.recovering_) {
                slot.busy = false;
            }
        }
        if (slot.busy) {
            r.arm(slot);
        } else {
            r.idle_.notify();
        }
    });
}

// A failure while the reads run starts one recovery; the caller queues it once it has let go of
// the reader's lock (queueing a work item lets other contexts run).
bool ContinuousReader::beginRecoveryLocked() {
    if (!running_ || recovering_) {
        return false;
    }
    recovering_ = true;
    recovery_->add();
    return true;
}

void ContinuousReader::queueRecovery(NTSTATUS status, USBD_STATUS usbdStatus) {
    frameworkState().runtime.queueWorkItem([this, status, usbdStatus, tracker = recovery_] {
        {
            CallbackTracker::Running running(*tracker);
            recover(status, usbdStatus);
        }
        tracker->done();
    });
}

// On a system worker: every read is cancelled and waited for, then the driver decides.
void ContinuousReader::recover(NTSTATUS status, USBD_STATUS usbdStatus) {
    for (auto& slot : slots_) {
        slot->request->cancelSent();
    }
    waitIdle();
    BOOLEAN restart = TRUE;
    if (config_.EvtUsbTargetPipeReadersFailed != nullptr) {
        restart = config_.EvtUsbTargetPipeReadersFailed(static_cast<WDFUSBPIPE>(pipe_.handle()),
                                                        status, usbdStatus);
    }
    if (restart && running() && !resetAfterFailure()) {
        restart = FALSE;
    }
    std::vector<Slot*> idle;
    {
        std::lock_guard lock(mutex_);
        recovering_ = false;
        if (restart && running_) {
            for (auto& slot : slots_) {
                slot->busy = true;
                idle.push_back(slot.get());
            }
        }
    }
    for (Slot* slot : idle) {
        arm(*slot);
    }
}

// Resets the pipe, or the port when it is disabled; false when the device is gone.
bool ContinuousReader::resetAfterFailure() {
    PWDF_DRIVER_GLOBALS globals = &pipe_.binding().globals;
    ULONG portStatus = 0;
    if (!NT_SUCCESS(queryPortStatus(pipe_, &portStatus)) ||
        (portStatus & USBD_PORT_CONNECTED) == 0) {
        return false;
    }
    if (portStatus & USBD_PORT_ENABLED) {
        return NT_SUCCESS(resetPipeSynchronously(globals, pipe_, nullptr, nullptr));
    }
    return NT_SUCCESS(ddi::WdfUsbTargetDeviceResetPortSynchronously(
        globals, static_cast<WDFUSBDEVICE>(pipe_.usbDevice().handle())));
}

}  // namespace vel::wdf
