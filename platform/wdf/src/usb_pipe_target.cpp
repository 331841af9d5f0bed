// The pipe as an I/O target: its continuous reader runs between a start and a stop of the target.
#include "ddi_support.h"
#include "usb_pipe.h"
#include "usb_reader.h"

namespace vel::wdf {

UsbPipe::~UsbPipe() = default;

NTSTATUS UsbPipe::configureReader(const WDF_USB_CONTINUOUS_READER_CONFIG* config) {
    std::unique_ptr<ContinuousReader> reader;
    if (NTSTATUS status = ContinuousReader::create(*this, config, &reader); !NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard lock(readerMutex_);
    if (reader_ != nullptr) {
        reader->release();
        return STATUS_INVALID_DEVICE_STATE;
    }
    reader_ = std::shared_ptr<ContinuousReader>(std::move(reader));
    return STATUS_SUCCESS;
}

ContinuousReader* UsbPipe::reader() const {
    std::lock_guard lock(readerMutex_);
    return reader_.get();
}

NTSTATUS UsbPipe::start() {
    NTSTATUS status = IoTarget::start();
    if (ContinuousReader* r = reader(); NT_SUCCESS(status) && r != nullptr) {
        r->start();
    }
    return status;
}

// With a reader, every stop cancels what was sent, and waits for the reads and a recovery in
// progress.
void UsbPipe::stop(WDF_IO_TARGET_SENT_IO_ACTION action) {
    ContinuousReader* r = reader();
    if (r == nullptr) {
        IoTarget::stop(action);
        return;
    }
    r->halt();
    IoTarget::stop(WdfIoTargetCancelSentIo);
    r->waitHalted();
}

void UsbPipe::cancelSentIo() {
    cancelSentAndWait(true);
}

void UsbPipe::onDispose() {
    ContinuousReader* r = reader();
    if (r != nullptr && r->running()) {
        reportViolation(rt::Rule::ContractViolation, describe(),
                        "deleted with its continuous reader running (stop the pipe when the "
                        "device leaves D0)");
    }
    IoTarget::onDispose();  // stops the target, with the reader
    if (r != nullptr) {
        r->release();
    }
}

}  // namespace vel::wdf
