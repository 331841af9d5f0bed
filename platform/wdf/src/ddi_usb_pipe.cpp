// USB pipe calls: information, transfers, abort and reset as URBs down the
// pipe's stack, and the continuous reader.
#include "ddi.h"
#include "ddi_support.h"
#include "memory_span.h"
#include "request.h"
#include "usb_pipe.h"
#include "usb_pipe_io.h"
#include "usb_urb.h"
#include "vel/runtime/faults.h"

namespace vel::wdf::ddi {

namespace {

UsbPipe* pipe(WDFUSBPIPE handle, const char* call) {
    return lookup<UsbPipe>(handle, call);
}

// A synchronous bulk or interrupt transfer; *bytes gets the length the stack
// moved, also when the transfer failed, and 0 when it never reached the stack.
NTSTATUS transferSynchronously(PWDF_DRIVER_GLOBALS globals, WDFUSBPIPE Pipe, WDFREQUEST Request,
                               PWDF_REQUEST_SEND_OPTIONS options, PWDF_MEMORY_DESCRIPTOR descriptor,
                               PULONG bytes, bool read, const char* call) {
    if (bytes != nullptr) {
        *bytes = 0;
    }
    rt::Runtime::current()->verifier().checkBlockingCall(call);
    auto* p = pipe(Pipe, call);
    if (p == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const MemorySpan span = describedSpan(descriptor, call);
    if (!NT_SUCCESS(span.status)) {
        return span.status;
    }
    if (NTSTATUS status = checkPipeTransfer(*p, read, span.length); !NT_SUCCESS(status)) {
        return status;
    }
    if (injectFault(rt::fault::kUsbPipeSend)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    _URB_BULK_OR_INTERRUPT_TRANSFER urb{};
    UsbBuildInterruptOrBulkTransferRequest(
        reinterpret_cast<URB*>(&urb), sizeof urb, p->wdmHandle(),
        span.length != 0 ? span.buffer : nullptr, nullptr, static_cast<ULONG>(span.length),
        read ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT,
        nullptr);
    // The stack always writes the status; this one says it never saw the URB.
    urb.Hdr.Status = USBD_STATUS_PENDING;
    const NTSTATUS status =
        sendUrbSynchronously(globals, *p, Request, options, reinterpret_cast<URB*>(&urb),
                             read ? WdfUsbRequestTypePipeRead : WdfUsbRequestTypePipeWrite, call);
    if (bytes != nullptr && urb.Hdr.Status != USBD_STATUS_PENDING) {
        *bytes = urb.TransferBufferLength;
    }
    return status;
}

NTSTATUS formatTransfer(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY memory,
                        PWDFMEMORY_OFFSET offsets, bool read, const char* call) {
    auto* p = pipe(Pipe, call);
    auto* r = lookup<vel::wdf::Request>(Request, call);
    if (p == nullptr || r == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const MemorySpan span = memorySpan(memory, offsets, call);
    if (!NT_SUCCESS(span.status)) {
        return span.status;
    }
    return formatPipeTransfer(*p, *r, read, memory, span.buffer, span.offset, span.length);
}

NTSTATUS formatPipeUrb(WDFUSBPIPE Pipe, WDFREQUEST Request, USHORT function, const char* call) {
    auto* p = pipe(Pipe, call);
    auto* r = lookup<vel::wdf::Request>(Request, call);
    if (p == nullptr || r == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return formatPipeRequest(*p, *r, function);
}

}  // namespace

VOID WdfUsbTargetPipeGetInformation(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe,
                                    PWDF_USB_PIPE_INFORMATION PipeInformation) {
    auto* p = pipe(Pipe, "WdfUsbTargetPipeGetInformation");
    if (p != nullptr && PipeInformation != nullptr) {
        p->information(PipeInformation);
    }
}

BOOLEAN WdfUsbTargetPipeIsInEndpoint(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe) {
    auto* p = pipe(Pipe, "WdfUsbTargetPipeIsInEndpoint");
    return p != nullptr && p->isIn() ? TRUE : FALSE;
}

BOOLEAN WdfUsbTargetPipeIsOutEndpoint(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe) {
    auto* p = pipe(Pipe, "WdfUsbTargetPipeIsOutEndpoint");
    return p != nullptr && !p->isIn() ? TRUE : FALSE;
}

WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe) {
    auto* p = pipe(Pipe, "WdfUsbTargetPipeGetType");
    return p != nullptr ? p->pipeType() : WdfUsbPipeTypeInvalid;
}

VOID WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe) {
    if (auto* p = pipe(Pipe, "WdfUsbTargetPipeSetNoMaximumPacketSizeCheck")) {
        p->disablePacketSizeCheck();
    }
}

USBD_PIPE_HANDLE WdfUsbTargetPipeWdmGetPipeHandle(PWDF_DRIVER_GLOBALS, WDFUSBPIPE UsbPipe) {
    auto* p = pipe(UsbPipe, "WdfUsbTargetPipeWdmGetPipeHandle");
    return p != nullptr ? p->wdmHandle() : nullptr;
}

NTSTATUS WdfUsbTargetPipeWriteSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe,
                                            WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                            PULONG BytesWritten) {
    return transferSynchronously(DriverGlobals, Pipe, Request, RequestOptions, MemoryDescriptor,
                                 BytesWritten, false, "WdfUsbTargetPipeWriteSynchronously");
}

NTSTATUS WdfUsbTargetPipeReadSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe,
                                           WDFREQUEST Request,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                           PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                           PULONG BytesRead) {
    return transferSynchronously(DriverGlobals, Pipe, Request, RequestOptions, MemoryDescriptor,
                                 BytesRead, true, "WdfUsbTargetPipeReadSynchronously");
}

NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe,
                                               WDFREQUEST Request, WDFMEMORY WriteMemory,
                                               PWDFMEMORY_OFFSET WriteOffset) {
    return formatTransfer(Pipe, Request, WriteMemory, WriteOffset, false,
                          "WdfUsbTargetPipeFormatRequestForWrite");
}

NTSTATUS WdfUsbTargetPipeFormatRequestForRead(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe,
                                              WDFREQUEST Request, WDFMEMORY ReadMemory,
                                              PWDFMEMORY_OFFSET ReadOffset) {
    return formatTransfer(Pipe, Request, ReadMemory, ReadOffset, true,
                          "WdfUsbTargetPipeFormatRequestForRead");
}

NTSTATUS WdfUsbTargetPipeConfigContinuousReader(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe,
                                                PWDF_USB_CONTINUOUS_READER_CONFIG Config) {
    auto* p = pipe(Pipe, "WdfUsbTargetPipeConfigContinuousReader");
    return p != nullptr ? p->configureReader(Config) : STATUS_INVALID_PARAMETER;
}

// A normal send: on a stopped pipe it fails like any other.
NTSTATUS
WdfUsbTargetPipeAbortSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe,
                                   WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions) {
    const char* call = "WdfUsbTargetPipeAbortSynchronously";
    auto* p = pipe(Pipe, call);
    if (p == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    _URB_PIPE_REQUEST urb{};
    urb.Hdr.Length = sizeof urb;
    urb.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    urb.PipeHandle = p->wdmHandle();
    return sendUrbSynchronously(DriverGlobals, *p, Request, RequestOptions,
                                reinterpret_cast<URB*>(&urb), WdfUsbRequestTypePipeAbort, call);
}

NTSTATUS WdfUsbTargetPipeFormatRequestForAbort(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe,
                                               WDFREQUEST Request) {
    return formatPipeUrb(Pipe, Request, URB_FUNCTION_ABORT_PIPE,
                         "WdfUsbTargetPipeFormatRequestForAbort");
}

// What was sent on the pipe is cancelled first; the reset itself ignores the
// target state.
NTSTATUS
WdfUsbTargetPipeResetSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe,
                                   WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions) {
    const char* call = "WdfUsbTargetPipeResetSynchronously";
    rt::Runtime::current()->verifier().checkBlockingCall(call);
    auto* p = pipe(Pipe, call);
    if (p == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    p->cancelSentIo();
    return resetPipeSynchronously(DriverGlobals, *p, Request, RequestOptions);
}

NTSTATUS WdfUsbTargetPipeFormatRequestForReset(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe,
                                               WDFREQUEST Request) {
    return formatPipeUrb(Pipe, Request, URB_FUNCTION_RESET_PIPE,
                         "WdfUsbTargetPipeFormatRequestForReset");
}

NTSTATUS WdfUsbTargetPipeSendUrbSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe,
                                              WDFREQUEST Request,
                                              PWDF_REQUEST_SEND_OPTIONS RequestOptions, PURB Urb) {
    const char* call = "WdfUsbTargetPipeSendUrbSynchronously";
    auto* p = pipe(Pipe, call);
    if (p == nullptr || Urb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return sendUrbSynchronously(DriverGlobals, *p, Request, RequestOptions, Urb,
                                WdfUsbRequestTypePipeUrb, call);
}

NTSTATUS
WdfUsbTargetPipeFormatRequestForUrb(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe, WDFREQUEST Request,
                                    WDFMEMORY UrbMemory, PWDFMEMORY_OFFSET UrbMemoryOffset) {
    const char* call = "WdfUsbTargetPipeFormatRequestForUrb";
    auto* p = pipe(Pipe, call);
    auto* r = lookup<vel::wdf::Request>(Request, call);
    if (p == nullptr || r == nullptr || UrbMemory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const MemorySpan span = memorySpan(UrbMemory, UrbMemoryOffset, call);
    if (!NT_SUCCESS(span.status)) {
        return span.status;
    }
    if (span.length < sizeof(_URB_HEADER)) {
        return STATUS_INVALID_PARAMETER;
    }
    WDF_USB_REQUEST_COMPLETION_PARAMS usb{};
    usb.Type = WdfUsbRequestTypePipeUrb;
    usb.Parameters.PipeUrb.Buffer = UrbMemory;
    return formatUrb(*p, *r, static_cast<URB*>(span.buffer), usb);
}

}  // namespace vel::wdf::ddi
