// I/O target calls: creation, open/close, start/stop, formatting and synchronous sends.
#include <cstring>

#include "ddi.h"
#include "ddi_support.h"
#include "device.h"
#include "io_package_impl.h"
#include "io_target.h"
#include "memory.h"
#include "memory_span.h"
#include "request.h"

namespace vel::wdf::ddi {

namespace {

IoTarget* target(WDFIOTARGET handle, const char* call) {
    return lookup<IoTarget>(handle, call);
}

NTSTATUS formatTransfer(IoTarget* t, Request* r, bool write, WDFMEMORY memory,
                        PWDFMEMORY_OFFSET offsets, PLONGLONG deviceOffset, const char* call) {
    if (t == nullptr || r == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (t->state() == WdfIoTargetClosed || t->state() == WdfIoTargetDeleted) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    MemorySpan s = memorySpan(memory, offsets, call);
    if (!NT_SUCCESS(s.status)) {
        return s.status;
    }
    if (NTSTATUS status = r->prepareNextLocation(t->stackSize()); !NT_SUCCESS(status)) {
        return status;
    }
    WDF_REQUEST_COMPLETION_PARAMS params;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    params.Type = write ? WdfRequestTypeWrite : WdfRequestTypeRead;
    params.Parameters.Read.Buffer = memory;
    params.Parameters.Read.Offset = s.offset;
    r->setFormat(write ? Request::Format::Write : Request::Format::Read, params);
    IRP* irp = r->irp();
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    std::memset(next, 0, sizeof *next);
    next->MajorFunction = write ? IRP_MJ_WRITE : IRP_MJ_READ;
    next->Parameters.Read.Length = static_cast<ULONG>(s.length);
    next->Parameters.Read.ByteOffset.QuadPart = deviceOffset != nullptr ? *deviceOffset : 0;
    // Whatever the target's buffering, the buffer is reachable the way it looks for it.
    irp->AssociatedIrp.SystemBuffer = s.buffer;
    irp->UserBuffer = s.buffer;
    irp->MdlAddress =
        s.buffer != nullptr ? r->ownMdl(s.buffer, static_cast<ULONG>(s.length)) : nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS formatIoctl(IoTarget* t, Request* r, bool internal, ULONG code, WDFMEMORY input,
                     PWDFMEMORY_OFFSET inputOffsets, WDFMEMORY output,
                     PWDFMEMORY_OFFSET outputOffsets, const char* call) {
    if (t == nullptr || r == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (t->state() == WdfIoTargetClosed || t->state() == WdfIoTargetDeleted) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    MemorySpan in = memorySpan(input, inputOffsets, call);
    MemorySpan out = memorySpan(output, outputOffsets, call);
    if (!NT_SUCCESS(in.status) || !NT_SUCCESS(out.status)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = r->prepareNextLocation(t->stackSize()); !NT_SUCCESS(status)) {
        return status;
    }
    WDF_REQUEST_COMPLETION_PARAMS params;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    params.Type = internal ? WdfRequestTypeDeviceControlInternal : WdfRequestTypeDeviceControl;
    params.Parameters.Ioctl.IoControlCode = code;
    params.Parameters.Ioctl.Input.Buffer = input;
    params.Parameters.Ioctl.Input.Offset = in.offset;
    params.Parameters.Ioctl.Output.Buffer = output;
    params.Parameters.Ioctl.Output.Offset = out.offset;
    r->setFormat(internal ? Request::Format::InternalIoctl : Request::Format::Ioctl, params);
    IRP* irp = r->irp();
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    std::memset(next, 0, sizeof *next);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(in.length);
    next->Parameters.DeviceIoControl.OutputBufferLength = static_cast<ULONG>(out.length);
    irp->MdlAddress = nullptr;
    irp->UserBuffer = nullptr;
    switch (METHOD_FROM_CTL_CODE(code)) {
        case METHOD_BUFFERED: {
            // One buffer for both directions; the result is copied to the output at completion.
            void* shared = r->ownBuffer(std::max(in.length, out.length));
            if (in.length != 0) {
                std::memcpy(shared, in.buffer, in.length);
            }
            irp->AssociatedIrp.SystemBuffer = shared;
            if (output != nullptr) {
                r->setCopyBack(shared, output, out.offset, out.length);
            }
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            irp->AssociatedIrp.SystemBuffer = in.buffer;
            irp->MdlAddress = out.buffer != nullptr
                                  ? r->ownMdl(out.buffer, static_cast<ULONG>(out.length))
                                  : nullptr;
            break;
        default:
            next->Parameters.DeviceIoControl.Type3InputBuffer = in.buffer;
            irp->UserBuffer = out.buffer;
            break;
    }
    return STATUS_SUCCESS;
}

// A synchronous ioctl: with no request given, one is made for the call and deleted after.
NTSTATUS sendIoctlSynchronously(PWDF_DRIVER_GLOBALS globals, WDFIOTARGET IoTarget,
                                WDFREQUEST Request, bool internal, ULONG code,
                                PWDF_MEMORY_DESCRIPTOR input, PWDF_MEMORY_DESCRIPTOR output,
                                PWDF_REQUEST_SEND_OPTIONS options, PULONG_PTR bytesReturned,
                                const char* call) {
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    rt::Runtime::current()->verifier().checkBlockingCall(call);
    auto* t = target(IoTarget, call);
    if (t == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    WDFREQUEST request = Request;
    if (request == nullptr) {
        if (NTSTATUS status = WdfRequestCreate(globals, nullptr, IoTarget, &request);
            !NT_SUCCESS(status)) {
            return status;
        }
    }
    WDFMEMORY memories[2] = {nullptr, nullptr};
    PWDF_MEMORY_DESCRIPTOR descriptors[2] = {input, output};
    NTSTATUS status = STATUS_SUCCESS;
    WDFMEMORY_OFFSET offsets[2] = {};
    PWDFMEMORY_OFFSET offsetPointers[2] = {nullptr, nullptr};
    for (int i = 0; i < 2 && NT_SUCCESS(status); ++i) {
        PWDF_MEMORY_DESCRIPTOR d = descriptors[i];
        if (d == nullptr) {
            continue;
        }
        switch (d->Type) {
            case WdfMemoryDescriptorTypeBuffer:
                status = WdfMemoryCreatePreallocated(globals, nullptr, d->u.BufferType.Buffer,
                                                     d->u.BufferType.Length, &memories[i]);
                break;
            case WdfMemoryDescriptorTypeMdl:
                status =
                    WdfMemoryCreatePreallocated(globals, nullptr, d->u.MdlType.Mdl->MappedSystemVa,
                                                d->u.MdlType.BufferLength, &memories[i]);
                break;
            case WdfMemoryDescriptorTypeHandle:
                if (d->u.HandleType.Offsets != nullptr) {
                    offsets[i] = *d->u.HandleType.Offsets;
                    offsetPointers[i] = &offsets[i];
                }
                break;
            default:
                status = STATUS_INVALID_PARAMETER;
        }
    }
    auto memoryOf = [&](int i) {
        return memories[i] != nullptr      ? memories[i]
               : descriptors[i] != nullptr ? descriptors[i]->u.HandleType.Memory
                                           : nullptr;
    };
    if (NT_SUCCESS(status)) {
        status = formatIoctl(t, lookup<vel::wdf::Request>(request, call), internal, code,
                             memoryOf(0), offsetPointers[0], memoryOf(1), offsetPointers[1], call);
    }
    if (NT_SUCCESS(status)) {
        WDF_REQUEST_SEND_OPTIONS sync;
        WDF_REQUEST_SEND_OPTIONS_INIT(&sync, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
        if (options != nullptr) {
            sync.Flags |= options->Flags;
            sync.Timeout = options->Timeout;
        }
        WdfRequestSend(globals, request, IoTarget, &sync);
        status = WdfRequestGetStatus(globals, request);
        if (bytesReturned != nullptr) {
            *bytesReturned = WdfRequestGetInformation(globals, request);
        }
    }
    for (WDFMEMORY memory : memories) {
        if (memory != nullptr) {
            WdfObjectDelete(globals, memory);
        }
    }
    if (Request == nullptr) {
        WdfObjectDelete(globals, request);
    }
    return status;
}

}  // namespace

NTSTATUS WdfIoTargetCreate(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                           PWDF_OBJECT_ATTRIBUTES IoTargetAttributes, WDFIOTARGET* IoTarget) {
    Binding* binding = callerBinding(DriverGlobals, "WdfIoTargetCreate");
    auto* device = lookup<vel::wdf::Device>(Device, "WdfIoTargetCreate");
    if (binding == nullptr || device == nullptr || IoTarget == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *IoTarget = nullptr;
    if (NTSTATUS status = validateAttributes(IoTargetAttributes); !NT_SUCCESS(status)) {
        return status;
    }
    Object* parent = device;
    if (IoTargetAttributes != nullptr && IoTargetAttributes->ParentObject != nullptr) {
        parent = lookup<Object>(IoTargetAttributes->ParentObject, "WdfIoTargetCreate");
        if (parent == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    Object* published = nullptr;
    NTSTATUS status = publish(std::make_unique<vel::wdf::IoTarget>(*binding, *device, nullptr),
                              IoTargetAttributes, parent, &published);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* created = static_cast<vel::wdf::IoTarget*>(published);
    IoPackage::Impl& io = device->io().impl();
    {
        std::lock_guard lock(io.mutex);
        io.targets.push_back(created);
    }
    *IoTarget = created->targetHandle();
    return STATUS_SUCCESS;
}

NTSTATUS WdfIoTargetOpen(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget,
                         PWDF_IO_TARGET_OPEN_PARAMS OpenParams) {
    auto* t = target(IoTarget, "WdfIoTargetOpen");
    return t != nullptr && OpenParams != nullptr ? t->open(*OpenParams) : STATUS_INVALID_PARAMETER;
}

VOID WdfIoTargetClose(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget) {
    if (auto* t = target(IoTarget, "WdfIoTargetClose")) {
        t->close();
    }
}

NTSTATUS WdfIoTargetStart(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget) {
    auto* t = target(IoTarget, "WdfIoTargetStart");
    return t != nullptr ? t->start() : STATUS_INVALID_PARAMETER;
}

VOID WdfIoTargetStop(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget,
                     WDF_IO_TARGET_SENT_IO_ACTION Action) {
    if (auto* t = target(IoTarget, "WdfIoTargetStop")) {
        t->stop(Action);
    }
}

WDF_IO_TARGET_STATE WdfIoTargetGetState(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget) {
    auto* t = target(IoTarget, "WdfIoTargetGetState");
    return t != nullptr ? t->state() : WdfIoTargetStateUndefined;
}

WDFDEVICE WdfIoTargetGetDevice(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget) {
    auto* t = target(IoTarget, "WdfIoTargetGetDevice");
    return t != nullptr ? static_cast<WDFDEVICE>(t->owner().handle()) : nullptr;
}

PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget) {
    auto* t = target(IoTarget, "WdfIoTargetWdmGetTargetDeviceObject");
    return t != nullptr ? t->deviceObject() : nullptr;
}

NTSTATUS WdfIoTargetFormatRequestForRead(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget,
                                         WDFREQUEST Request, WDFMEMORY OutputBuffer,
                                         PWDFMEMORY_OFFSET OutputBufferOffset,
                                         PLONGLONG DeviceOffset) {
    const char* call = "WdfIoTargetFormatRequestForRead";
    return formatTransfer(target(IoTarget, call), lookup<vel::wdf::Request>(Request, call), false,
                          OutputBuffer, OutputBufferOffset, DeviceOffset, call);
}

NTSTATUS WdfIoTargetFormatRequestForWrite(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget,
                                          WDFREQUEST Request, WDFMEMORY InputBuffer,
                                          PWDFMEMORY_OFFSET InputBufferOffset,
                                          PLONGLONG DeviceOffset) {
    const char* call = "WdfIoTargetFormatRequestForWrite";
    return formatTransfer(target(IoTarget, call), lookup<vel::wdf::Request>(Request, call), true,
                          InputBuffer, InputBufferOffset, DeviceOffset, call);
}

NTSTATUS WdfIoTargetFormatRequestForIoctl(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget,
                                          WDFREQUEST Request, ULONG IoctlCode,
                                          WDFMEMORY InputBuffer,
                                          PWDFMEMORY_OFFSET InputBufferOffset,
                                          WDFMEMORY OutputBuffer,
                                          PWDFMEMORY_OFFSET OutputBufferOffset) {
    const char* call = "WdfIoTargetFormatRequestForIoctl";
    return formatIoctl(target(IoTarget, call), lookup<vel::wdf::Request>(Request, call), false,
                       IoctlCode, InputBuffer, InputBufferOffset, OutputBuffer, OutputBufferOffset,
                       call);
}

NTSTATUS WdfIoTargetFormatRequestForInternalIoctl(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget,
                                                  WDFREQUEST Request, ULONG IoctlCode,
                                                  WDFMEMORY InputBuffer,
                                                  PWDFMEMORY_OFFSET InputBufferOffset,
                                                  WDFMEMORY OutputBuffer,
                                                  PWDFMEMORY_OFFSET OutputBufferOffset) {
    const char* call = "WdfIoTargetFormatRequestForInternalIoctl";
    return formatIoctl(target(IoTarget, call), lookup<vel::wdf::Request>(Request, call), true,
                       IoctlCode, InputBuffer, InputBufferOffset, OutputBuffer, OutputBufferOffset,
                       call);
}

NTSTATUS WdfIoTargetSendIoctlSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals, WDFIOTARGET IoTarget,
                                           WDFREQUEST Request, ULONG IoctlCode,
                                           PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                           PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                           PULONG_PTR BytesReturned) {
    return sendIoctlSynchronously(DriverGlobals, IoTarget, Request, false, IoctlCode, InputBuffer,
                                  OutputBuffer, RequestOptions, BytesReturned,
                                  "WdfIoTargetSendIoctlSynchronously");
}

NTSTATUS WdfIoTargetSendInternalIoctlSynchronously(
    PWDF_DRIVER_GLOBALS DriverGlobals, WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
    PWDF_MEMORY_DESCRIPTOR InputBuffer, PWDF_MEMORY_DESCRIPTOR OutputBuffer,
    PWDF_REQUEST_SEND_OPTIONS RequestOptions, PULONG_PTR BytesReturned) {
    return sendIoctlSynchronously(DriverGlobals, IoTarget, Request, true, IoctlCode, InputBuffer,
                                  OutputBuffer, RequestOptions, BytesReturned,
                                  "WdfIoTargetSendInternalIoctlSynchronously");
}

}  // namespace vel::wdf::ddi
