// Request routing. A child answers descriptor reads from its own description, refuses port
// operations and forwards everything else to the parent's default queue. The parent emulates
// configuration selection on the real device (one select-interface request per interface),
// refuses the same port operations, answers the node-information query and passes every other
// request down its own stack. Nothing here allocates, except the emulation's select-interface
// requests.
#include "bus.h"
#include "vel_wdf_usb.h"

namespace {

// Bytes of a select-interface request for a setting with Pipes pipes: the request structure
// holds one pipe record, so zero pipes give one record less. Computed in 64 bits so that both
// builds agree for any pipe count.
ULONGLONG BusSelectInterfaceRequestSize(ULONG Pipes) {
    return (ULONGLONG)sizeof(struct _URB_SELECT_INTERFACE) - sizeof(USBD_PIPE_INFORMATION) +
           (ULONGLONG)Pipes * sizeof(USBD_PIPE_INFORMATION);
}

// Bytes an interface information entry needs for Pipes pipe records.
ULONGLONG BusInterfaceInformationSize(ULONG Pipes) {
    return (ULONGLONG)offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
           (ULONGLONG)Pipes * sizeof(USBD_PIPE_INFORMATION);
}

// The URB of an IOCTL_INTERNAL_USB_SUBMIT_URB request (its first argument).
PURB BusRequestUrb(WDFREQUEST Request) {
    WDF_REQUEST_PARAMETERS parameters;

    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(Request, &parameters);
    return (PURB)parameters.Parameters.Others.Arg1;
}

VOID ChildPdoForwardToParent(WDFDEVICE Device, WDFREQUEST Request) {
    PCHILD_PDO_CONTEXT child = GetChildPdoContext(Device);
    WDF_REQUEST_FORWARD_OPTIONS options;

    WDF_REQUEST_FORWARD_OPTIONS_INIT(&options);
    options.Flags = WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET;
    NTSTATUS status = WdfRequestForwardToParentDeviceIoQueue(Request, child->ParentQueue, &options);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_IO, "   ChildPdoForwardToParent: 0x%x\n",
                    (unsigned)status);
        WdfRequestComplete(Request, status);
    }
}

// GET_DESCRIPTOR of the device or configuration descriptor, answered from the child's own
// description: as many bytes as the transfer buffer takes.
VOID ChildPdoAnswerDescriptor(WDFDEVICE Device, WDFREQUEST Request, PURB Urb) {
    CHILD_IDENTIFICATION_DESCRIPTION description;
    struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &Urb->UrbControlDescriptorRequest;

    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&description.Header, sizeof(description));
    NTSTATUS status = WdfPdoRetrieveIdentificationDescription(Device, &description.Header);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    // A transfer described only by an MDL is not served.
    if (request->TransferBuffer == NULL) {
        WdfRequestComplete(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    PVOID source;
    ULONG available;
    if (request->DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        source = description.DeviceDescriptor;
        available = sizeof(USB_DEVICE_DESCRIPTOR);
    } else {
        source = description.ConfigDescriptor;
        available = description.ConfigDescriptorLength;
    }
    ULONG n = request->TransferBufferLength < available ? request->TransferBufferLength : available;
    RtlCopyMemory(request->TransferBuffer, source, n);
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, n);
}

// IOCTL_INTERNAL_USB_GET_HUB_NAME at a child: an empty hub name.
VOID ChildPdoAnswerHubName(WDFREQUEST Request) {
    PVOID buffer = NULL;

    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(USB_HUB_NAME), &buffer, NULL);
    if (NT_SUCCESS(status)) {
        PUSB_HUB_NAME name = (PUSB_HUB_NAME)buffer;
        name->ActualLength = 0;
        name->HubName[0] = 0;
    }
    WdfRequestComplete(Request, status);
}

// IOCTL_USB_GET_NODE_INFORMATION at the parent: a composite-parent node with the interfaces
// of the selected configuration.
VOID ParentFdoAnswerNodeInformation(WDFDEVICE Device, WDFREQUEST Request) {
    PVOID buffer = NULL;

    NTSTATUS status =
        WdfRequestRetrieveOutputBuffer(Request, sizeof(USB_NODE_INFORMATION), &buffer, NULL);
    if (NT_SUCCESS(status)) {
        PUSB_NODE_INFORMATION node = (PUSB_NODE_INFORMATION)buffer;
        node->NodeType = UsbMIParent;
        node->u.MiParentInformation.NumberOfInterfaces =
            (ULONG)GetParentFdoContext(Device)->NumberOfInterfaces;
    }
    WdfRequestComplete(Request, status);
}

// URB_FUNCTION_SELECT_CONFIGURATION at the parent. The real device keeps the configuration the
// parent selected at start; each interface entry of the URB becomes one select-interface
// request, whose answer (interface and pipe handles) is copied back into the entry. An entry
// that cannot hold its own pipe records ends the walk with STATUS_INVALID_PARAMETER.
VOID ParentFdoSelectConfiguration(WDFDEVICE Device, WDFREQUEST Request, PURB Urb) {
    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(Device);
    PUCHAR end = (PUCHAR)Urb + Urb->UrbHeader.Length;
    PUCHAR entry = (PUCHAR)&Urb->UrbSelectConfiguration.Interface;
    NTSTATUS status = STATUS_SUCCESS;

    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_IO, "-->ParentFdoSelectConfiguration\n");
    while (entry < end) {
        ULONG left = (ULONG)(end - entry);
        PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)entry;
        if (left < sizeof(info->Length) || info->Length > left) {
            break;
        }
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) ||
            info->Length < BusInterfaceInformationSize(info->NumberOfPipes)) {
            DriverTrace(TRACE_LEVEL_ERROR, DBG_IO,
                        "   ParentFdoSelectConfiguration: entry of %u bytes\n", info->Length);
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        ULONG pipes = info->NumberOfPipes;
        ULONGLONG size = BusSelectInterfaceRequestSize(pipes);
        if (size > 0xFFFF) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }

        WDFMEMORY memory = NULL;
        PVOID buffer = NULL;
        status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, BUS_POOL_TAG, (size_t)size,
                                 &memory, &buffer);
        if (!NT_SUCCESS(status)) {
            break;
        }
        RtlZeroMemory(buffer, (size_t)size);
        struct _URB_SELECT_INTERFACE* select = (struct _URB_SELECT_INTERFACE*)buffer;
        select->Hdr.Length = (USHORT)size;
        select->Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
        select->ConfigurationHandle = parent->ConfigurationHandle;
        select->Interface.Length =
            (USHORT)(size - offsetof(struct _URB_SELECT_INTERFACE, Interface));
        select->Interface.InterfaceNumber = info->InterfaceNumber;
        select->Interface.AlternateSetting = info->AlternateSetting;
        select->Interface.Class = info->Class;
        select->Interface.SubClass = info->SubClass;
        select->Interface.Protocol = info->Protocol;
        select->Interface.InterfaceHandle = NULL;
        select->Interface.NumberOfPipes = pipes;
        RtlCopyMemory(select->Interface.Pipes, info->Pipes, pipes * sizeof(USBD_PIPE_INFORMATION));

        status = WdfRequestAllocateTimer(Request);
        if (!NT_SUCCESS(status)) {
            WdfObjectDelete(memory);
            break;
        }
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
        options.Timeout = WDF_REL_TIMEOUT_IN_SEC(1);
        status =
            WdfUsbTargetDeviceSendUrbSynchronously(parent->UsbDevice, NULL, &options, (PURB)select);
        if (!NT_SUCCESS(status)) {
            DriverTrace(TRACE_LEVEL_ERROR, DBG_IO,
                        "   ParentFdoSelectConfiguration: interface %u 0x%x\n",
                        info->InterfaceNumber, (unsigned)status);
            WdfObjectDelete(memory);
            break;
        }

        info->InterfaceNumber = select->Interface.InterfaceNumber;
        info->AlternateSetting = select->Interface.AlternateSetting;
        info->Class = select->Interface.Class;
        info->SubClass = select->Interface.SubClass;
        info->Protocol = select->Interface.Protocol;
        info->InterfaceHandle = select->Interface.InterfaceHandle;
        RtlCopyMemory(info->Pipes, select->Interface.Pipes, pipes * sizeof(USBD_PIPE_INFORMATION));
        WdfObjectDelete(memory);
        entry += info->Length;
    }
    if (NT_SUCCESS(status)) {
        Urb->UrbSelectConfiguration.ConfigurationHandle = parent->ConfigurationHandle;
    }
    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_IO, "<--ParentFdoSelectConfiguration: 0x%x\n",
                (unsigned)status);
    WdfRequestComplete(Request, status);
}

}  // namespace

VOID ChildPdoEvtIoInternalDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                        size_t OutputBufferLength, size_t InputBufferLength,
                                        ULONG IoControlCode) {
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);

    switch (IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB: {
            PURB urb = BusRequestUrb(Request);
            if (urb == NULL) {
                WdfRequestComplete(Request, STATUS_INVALID_PARAMETER);
                return;
            }
            if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
                UCHAR type = urb->UrbControlDescriptorRequest.DescriptorType;
                if (type == USB_DEVICE_DESCRIPTOR_TYPE ||
                    type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
                    ChildPdoAnswerDescriptor(device, Request, urb);
                    return;
                }
            }
            ChildPdoForwardToParent(device, Request);
            return;
        }
        case IOCTL_INTERNAL_USB_RESET_PORT:
        case IOCTL_INTERNAL_USB_ENABLE_PORT:
        case IOCTL_INTERNAL_USB_CYCLE_PORT:
        case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
            WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
            return;
        case IOCTL_INTERNAL_USB_GET_HUB_NAME:
            ChildPdoAnswerHubName(Request);
            return;
        default:
            ChildPdoForwardToParent(device, Request);
            return;
    }
}

VOID ChildPdoEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                size_t InputBufferLength, ULONG IoControlCode) {
    if (IoControlCode == IOCTL_USB_HUB_CYCLE_PORT) {
        WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
        return;
    }
    ChildPdoForwardToParent(WdfIoQueueGetDevice(Queue), Request);
}

VOID ChildPdoEvtIoDefault(WDFQUEUE Queue, WDFREQUEST Request) {
    WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
}

VOID ParentFdoEvtIoInternalDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                         size_t OutputBufferLength, size_t InputBufferLength,
                                         ULONG IoControlCode) {
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);

    switch (IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB: {
            PURB urb = BusRequestUrb(Request);
            if (urb == NULL) {
                WdfRequestComplete(Request, STATUS_INVALID_PARAMETER);
                return;
            }
            if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
                ParentFdoSelectConfiguration(device, Request, urb);
                return;
            }
            ParentFdoForwardRequestThenCompleteIfError(device, Request);
            return;
        }
        case IOCTL_INTERNAL_USB_RESET_PORT:
        case IOCTL_INTERNAL_USB_ENABLE_PORT:
        case IOCTL_INTERNAL_USB_CYCLE_PORT:
            WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
            return;
        case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
            WdfRequestComplete(Request, STATUS_UNSUCCESSFUL);
            return;
        default:
            ParentFdoForwardRequestThenCompleteIfError(device, Request);
            return;
    }
}

VOID ParentFdoEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                 size_t InputBufferLength, ULONG IoControlCode) {
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);

    switch (IoControlCode) {
        case IOCTL_USB_HUB_CYCLE_PORT:
            WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
            return;
        case IOCTL_USB_GET_NODE_INFORMATION:
            ParentFdoAnswerNodeInformation(device, Request);
            return;
        default:
            ParentFdoForwardRequestThenCompleteIfError(device, Request);
            return;
    }
}

VOID ParentFdoEvtIoDefault(WDFQUEUE Queue, WDFREQUEST Request) {
    ParentFdoForwardRequestThenCompleteIfError(WdfIoQueueGetDevice(Queue), Request);
}

NTSTATUS ParentFdoForwardRequestThenCompleteIfError(WDFDEVICE Device, WDFREQUEST Request) {
    WDF_REQUEST_SEND_OPTIONS options;

    NTSTATUS status = WdfRequestFormatRequestUsingCurrentType(Request);
    if (NT_SUCCESS(status)) {
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
        if (WdfRequestSend(Request, WdfDeviceGetIoTarget(Device), &options)) {
            return STATUS_SUCCESS;
        }
        status = WdfRequestGetStatus(Request);
    }
    DriverTrace(TRACE_LEVEL_ERROR, DBG_IO, "   ParentFdoForwardRequestThenCompleteIfError: 0x%x\n",
                (unsigned)status);
    WdfRequestComplete(Request, status);
    return status;
}
