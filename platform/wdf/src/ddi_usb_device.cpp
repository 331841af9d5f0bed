// USB device and interface calls. Every exchange with the device is a URB sent down the USB
// device target (the device's lower device); nothing reaches the device model directly.
#include <algorithm>
#include <cstring>

#include "ddi.h"
#include "ddi_support.h"
#include "device.h"
#include "io_package_impl.h"
#include "memory_span.h"
#include "request.h"
#include "usb_device.h"
#include "usb_interface.h"
#include "usb_pipe.h"
#include "usb_select.h"
#include "usb_urb.h"

namespace vel::wdf::ddi {

namespace {

constexpr ULONG kStringTimeoutMs = 2000;

UsbDevice* usbDevice(WDFUSBDEVICE handle, const char* call) {
    return lookup<UsbDevice>(handle, call);
}

UsbInterface* usbInterface(WDFUSBINTERFACE handle, const char* call) {
    return lookup<UsbInterface>(handle, call);
}

// A string descriptor read into `buffer`; the URB's transfer length in `transferred`.
NTSTATUS readString(PWDF_DRIVER_GLOBALS globals, UsbDevice& device, WDFREQUEST request,
                    const WDF_REQUEST_SEND_OPTIONS* options, UCHAR index, USHORT langId,
                    void* buffer, ULONG length, ULONG* transferred, const char* call) {
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, index, langId, buffer, nullptr, length,
                                 nullptr);
    WDF_REQUEST_SEND_OPTIONS defaults = urbSendOptions(kStringTimeoutMs, false);
    NTSTATUS status =
        sendUrbSynchronously(globals, device, request, options != nullptr ? options : &defaults,
                             &urb, WdfUsbRequestTypeDeviceString, call);
    *transferred = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

// Characters a string descriptor holds, from its bLength: odd or shorter than its header is a
// device fault.
NTSTATUS stringCharacters(const UCHAR* descriptor, ULONG transferred, USHORT* characters) {
    if (transferred < 2 || descriptor[0] < 2 || (descriptor[0] & 1) != 0) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    *characters = static_cast<USHORT>((descriptor[0] - 2) / 2);
    return STATUS_SUCCESS;
}

void buildControlTransfer(UsbDevice& device, struct _URB_CONTROL_TRANSFER* urb,
                          const WDF_USB_CONTROL_SETUP_PACKET& setup, void* buffer, ULONG length) {
    std::memset(urb, 0, sizeof *urb);
    urb->Hdr.Length = sizeof *urb;
    urb->Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
    urb->PipeHandle = device.controlPipeHandle();
    urb->TransferFlags = USBD_SHORT_TRANSFER_OK;
    if (urb->PipeHandle == nullptr) {
        urb->TransferFlags |= USBD_DEFAULT_PIPE_TRANSFER;
    }
    if (setup.Packet.bm.Request.Dir == BmRequestDeviceToHost) {
        urb->TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
    }
    urb->TransferBuffer = buffer;
    urb->TransferBufferLength = length;
    std::memcpy(urb->SetupPacket, setup.Generic.Bytes, sizeof urb->SetupPacket);
    // The data stage is the buffer given, whatever the packet said.
    const USHORT wLength = static_cast<USHORT>(length);
    std::memcpy(urb->SetupPacket + 6, &wLength, sizeof wLength);
}

}  // namespace

NTSTATUS WdfUsbTargetDeviceCreate(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                  PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice) {
    const char* call = "WdfUsbTargetDeviceCreate";
    frameworkState().runtime.verifier().checkBlockingCall(call);
    Binding* binding = callerBinding(DriverGlobals, call);
    auto* device = lookup<vel::wdf::Device>(Device, call);
    if (binding == nullptr || device == nullptr || UsbDevice == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *UsbDevice = nullptr;
    if (NTSTATUS status = validateAttributes(Attributes); !NT_SUCCESS(status)) {
        return status;
    }
    if (Attributes != nullptr && Attributes->ParentObject != nullptr &&
        Attributes->ParentObject != Device) {
        return STATUS_WDF_OBJECT_ATTRIBUTES_INVALID;
    }
    if (device->isPdo() || device->lowerDevice() == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    Object* published = nullptr;
    NTSTATUS status = publish(std::make_unique<vel::wdf::UsbDevice>(*binding, *device), Attributes,
                              device, &published);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* created = static_cast<vel::wdf::UsbDevice*>(published);
    {
        IoPackage::Impl& io = device->io().impl();
        std::lock_guard lock(io.mutex);
        io.targets.push_back(created);
    }
    status = created->initialize(DriverGlobals);
    if (!NT_SUCCESS(status)) {
        created->dispose();
        return status;
    }
    *UsbDevice = created->usbHandle();
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceRetrieveInformation(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                               PWDF_USB_DEVICE_INFORMATION Information) {
    auto* d = usbDevice(UsbDevice, "WdfUsbTargetDeviceRetrieveInformation");
    if (d == nullptr || Information == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Information->Size != sizeof(WDF_USB_DEVICE_INFORMATION)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    Information->UsbdVersionInformation = d->usbdVersion();
    Information->HcdPortCapabilities = d->hcdCapabilities();
    Information->Traits = d->traits();
    return STATUS_SUCCESS;
}

VOID WdfUsbTargetDeviceGetDeviceDescriptor(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                           PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor) {
    auto* d = usbDevice(UsbDevice, "WdfUsbTargetDeviceGetDeviceDescriptor");
    if (d != nullptr && UsbDeviceDescriptor != nullptr) {
        *UsbDeviceDescriptor = d->deviceDescriptor();
    }
}

NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                                    PVOID ConfigDescriptor,
                                                    PUSHORT ConfigDescriptorLength) {
    auto* d = usbDevice(UsbDevice, "WdfUsbTargetDeviceRetrieveConfigDescriptor");
    if (d == nullptr || ConfigDescriptorLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::vector<UCHAR>& config = d->configDescriptor();
    const auto total = static_cast<USHORT>(config.size());
    if (ConfigDescriptor == nullptr) {
        *ConfigDescriptorLength = total;
        return STATUS_BUFFER_TOO_SMALL;
    }
    const USHORT given = *ConfigDescriptorLength;
    std::memcpy(ConfigDescriptor, config.data(), std::min(given, total));
    *ConfigDescriptorLength = total;
    return given < total ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceQueryString(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBDEVICE UsbDevice,
                                       WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                       PUSHORT String, PUSHORT NumCharacters, UCHAR StringIndex,
                                       USHORT LangID) {
    const char* call = "WdfUsbTargetDeviceQueryString";
    auto* d = usbDevice(UsbDevice, call);
    if (d == nullptr || NumCharacters == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR descriptor[255] = {};
    ULONG transferred = 0;
    NTSTATUS status = readString(DriverGlobals, *d, Request, RequestOptions, StringIndex, LangID,
                                 descriptor, sizeof descriptor, &transferred, call);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    USHORT characters = 0;
    if (status = stringCharacters(descriptor, transferred, &characters); !NT_SUCCESS(status)) {
        return status;
    }
    if (String == nullptr) {
        *NumCharacters = characters;
        return STATUS_SUCCESS;
    }
    const USHORT room = *NumCharacters;
    std::memcpy(String, descriptor + 2, std::min(room, characters) * sizeof(WCHAR));
    *NumCharacters = characters;
    return room < characters ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceAllocAndQueryString(PWDF_DRIVER_GLOBALS DriverGlobals,
                                               WDFUSBDEVICE UsbDevice,
                                               PWDF_OBJECT_ATTRIBUTES StringMemoryAttributes,
                                               WDFMEMORY* StringMemory, PUSHORT NumCharacters,
                                               UCHAR StringIndex, USHORT LangID) {
    const char* call = "WdfUsbTargetDeviceAllocAndQueryString";
    auto* d = usbDevice(UsbDevice, call);
    if (d == nullptr || StringMemory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *StringMemory = nullptr;
    if (NumCharacters != nullptr) {
        *NumCharacters = 0;
    }
    // The length first, then the string itself into memory of exactly its characters.
    UCHAR header[2] = {};
    ULONG transferred = 0;
    NTSTATUS status = readString(DriverGlobals, *d, nullptr, nullptr, StringIndex, LangID, header,
                                 sizeof header, &transferred, call);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    USHORT characters = 0;
    if (status = stringCharacters(header, transferred, &characters); !NT_SUCCESS(status)) {
        return status;
    }
    if (characters == 0) {
        return STATUS_SUCCESS;  // an empty string: no memory
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    if (StringMemoryAttributes != nullptr) {
        attributes = *StringMemoryAttributes;
    } else {
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    }
    if (attributes.ParentObject == nullptr) {
        attributes.ParentObject = UsbDevice;
    }
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    status = WdfMemoryCreate(DriverGlobals, &attributes, NonPagedPool, 0,
                             characters * sizeof(WCHAR), &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UCHAR descriptor[255] = {};
    status = readString(DriverGlobals, *d, nullptr, nullptr, StringIndex, LangID, descriptor,
                        header[0], &transferred, call);
    USHORT now = 0;
    if (NT_SUCCESS(status)) {
        status = stringCharacters(descriptor, transferred, &now);
    }
    if (NT_SUCCESS(status) && now > characters) {
        status = STATUS_BUFFER_OVERFLOW;  // the device's string grew between the reads
    }
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(DriverGlobals, memory);
        return status;
    }
    std::memcpy(buffer, descriptor + 2, now * sizeof(WCHAR));
    *StringMemory = memory;
    if (NumCharacters != nullptr) {
        *NumCharacters = characters;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceFormatRequestForString(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                                  WDFREQUEST Request, WDFMEMORY Memory,
                                                  PWDFMEMORY_OFFSET Offset, UCHAR StringIndex,
                                                  USHORT LangID) {
    const char* call = "WdfUsbTargetDeviceFormatRequestForString";
    auto* d = usbDevice(UsbDevice, call);
    auto* r = lookup<vel::wdf::Request>(Request, call);
    if (d == nullptr || r == nullptr || Memory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    MemorySpan span = memorySpan(Memory, Offset, call);
    if (!NT_SUCCESS(span.status)) {
        return span.status;
    }
    if (span.length > 0xFF) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* urb = static_cast<URB*>(r->ownBuffer(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    UsbBuildGetDescriptorRequest(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_STRING_DESCRIPTOR_TYPE, StringIndex, LangID, span.buffer,
                                 nullptr, static_cast<ULONG>(span.length), nullptr);
    WDF_USB_REQUEST_COMPLETION_PARAMS usb{};
    usb.Type = WdfUsbRequestTypeDeviceString;
    usb.Parameters.DeviceString.Buffer = Memory;
    usb.Parameters.DeviceString.LangID = LangID;
    usb.Parameters.DeviceString.StringIndex = StringIndex;
    return formatUrb(*d, *r, urb, usb);
}

UCHAR WdfUsbTargetDeviceGetNumInterfaces(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice) {
    auto* d = usbDevice(UsbDevice, "WdfUsbTargetDeviceGetNumInterfaces");
    return d != nullptr ? static_cast<UCHAR>(d->interfaces().size()) : 0;
}

NTSTATUS WdfUsbTargetDeviceSelectConfig(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBDEVICE UsbDevice,
                                        PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    const char* call = "WdfUsbTargetDeviceSelectConfig";
    frameworkState().runtime.verifier().checkBlockingCall(call);
    auto* d = usbDevice(UsbDevice, call);
    if (d == nullptr || Params == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return selectConfiguration(DriverGlobals, *d, PipeAttributes, *Params);
}

USBD_CONFIGURATION_HANDLE WdfUsbTargetDeviceWdmGetConfigurationHandle(PWDF_DRIVER_GLOBALS,
                                                                      WDFUSBDEVICE UsbDevice) {
    auto* d = usbDevice(UsbDevice, "WdfUsbTargetDeviceWdmGetConfigurationHandle");
    return d != nullptr ? d->configurationHandle() : nullptr;
}

NTSTATUS WdfUsbTargetDeviceRetrieveCurrentFrameNumber(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                      WDFUSBDEVICE UsbDevice,
                                                      PULONG CurrentFrameNumber) {
    const char* call = "WdfUsbTargetDeviceRetrieveCurrentFrameNumber";
    auto* d = usbDevice(UsbDevice, call);
    if (d == nullptr || CurrentFrameNumber == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const USB_BUS_INTERFACE_USBDI_V1* bus = d->busInterface();
    if (bus == nullptr || bus->QueryBusTime == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    return bus->QueryBusTime(bus->BusContext, CurrentFrameNumber);
}

NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(
    PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
    PWDF_REQUEST_SEND_OPTIONS RequestOptions, PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
    PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesTransferred) {
    const char* call = "WdfUsbTargetDeviceSendControlTransferSynchronously";
    if (BytesTransferred != nullptr) {
        *BytesTransferred = 0;
    }
    auto* d = usbDevice(UsbDevice, call);
    if (d == nullptr || SetupPacket == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    MemorySpan span = describedSpan(MemoryDescriptor, call);
    if (!NT_SUCCESS(span.status)) {
        return span.status;
    }
    if (span.length > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    struct _URB_CONTROL_TRANSFER urb;
    buildControlTransfer(*d, &urb, *SetupPacket, span.buffer, static_cast<ULONG>(span.length));
    NTSTATUS status = sendUrbSynchronously(DriverGlobals, *d, Request, RequestOptions,
                                           reinterpret_cast<URB*>(&urb),
                                           WdfUsbRequestTypeDeviceControlTransfer, call);
    if (BytesTransferred != nullptr) {
        *BytesTransferred = urb.TransferBufferLength;
    }
    return status;
}

NTSTATUS WdfUsbTargetDeviceFormatRequestForControlTransfer(
    PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
    PWDF_USB_CONTROL_SETUP_PACKET SetupPacket, WDFMEMORY TransferMemory,
    PWDFMEMORY_OFFSET TransferOffset) {
    const char* call = "WdfUsbTargetDeviceFormatRequestForControlTransfer";
    auto* d = usbDevice(UsbDevice, call);
    auto* r = lookup<vel::wdf::Request>(Request, call);
    if (d == nullptr || r == nullptr || SetupPacket == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    MemorySpan span = memorySpan(TransferMemory, TransferOffset, call);
    if (!NT_SUCCESS(span.status)) {
        return span.status;
    }
    if (span.length > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* urb = static_cast<struct _URB_CONTROL_TRANSFER*>(
        r->ownBuffer(sizeof(struct _URB_CONTROL_TRANSFER)));
    buildControlTransfer(*d, urb, *SetupPacket, span.buffer, static_cast<ULONG>(span.length));
    WDF_USB_REQUEST_COMPLETION_PARAMS usb{};
    usb.Type = WdfUsbRequestTypeDeviceControlTransfer;
    usb.Parameters.DeviceControlTransfer.Buffer = TransferMemory;
    usb.Parameters.DeviceControlTransfer.SetupPacket = *SetupPacket;
    return formatUrb(*d, *r, reinterpret_cast<URB*>(urb), usb);
}

// The port calls are internal USB control codes to the hub, down the device's stack.
NTSTATUS WdfUsbTargetDeviceIsConnectedSynchronous(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                  WDFUSBDEVICE UsbDevice) {
    const char* call = "WdfUsbTargetDeviceIsConnectedSynchronous";
    auto* d = usbDevice(UsbDevice, call);
    if (d == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG portStatus = 0;
    NTSTATUS status =
        sendPortRequest(DriverGlobals, *d, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, call);
    if (NT_SUCCESS(status) && (portStatus & USBD_PORT_CONNECTED) == 0) {
        status = STATUS_DEVICE_DOES_NOT_EXIST;
    }
    return status;
}

NTSTATUS WdfUsbTargetDeviceResetPortSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                  WDFUSBDEVICE UsbDevice) {
    const char* call = "WdfUsbTargetDeviceResetPortSynchronously";
    auto* d = usbDevice(UsbDevice, call);
    if (d == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return sendPortRequest(DriverGlobals, *d, IOCTL_INTERNAL_USB_RESET_PORT, nullptr, call);
}

NTSTATUS WdfUsbTargetDeviceCyclePortSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                  WDFUSBDEVICE UsbDevice) {
    const char* call = "WdfUsbTargetDeviceCyclePortSynchronously";
    auto* d = usbDevice(UsbDevice, call);
    if (d == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return sendPortRequest(DriverGlobals, *d, IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr, call);
}

NTSTATUS WdfUsbTargetDeviceFormatRequestForCyclePort(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                                     WDFREQUEST Request) {
    const char* call = "WdfUsbTargetDeviceFormatRequestForCyclePort";
    auto* d = usbDevice(UsbDevice, call);
    auto* r = lookup<vel::wdf::Request>(Request, call);
    if (d == nullptr || r == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return formatPortRequest(*d, *r, IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr);
}

NTSTATUS WdfUsbTargetDeviceSendUrbSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                PURB Urb) {
    const char* call = "WdfUsbTargetDeviceSendUrbSynchronously";
    auto* d = usbDevice(UsbDevice, call);
    if (d == nullptr || Urb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return sendUrbSynchronously(DriverGlobals, *d, Request, RequestOptions, Urb,
                                WdfUsbRequestTypeDeviceUrb, call);
}

NTSTATUS WdfUsbTargetDeviceFormatRequestForUrb(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                               WDFREQUEST Request, WDFMEMORY UrbMemory,
                                               PWDFMEMORY_OFFSET UrbMemoryOffset) {
    const char* call = "WdfUsbTargetDeviceFormatRequestForUrb";
    auto* d = usbDevice(UsbDevice, call);
    auto* r = lookup<vel::wdf::Request>(Request, call);
    if (d == nullptr || r == nullptr || UrbMemory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    MemorySpan span = memorySpan(UrbMemory, UrbMemoryOffset, call);
    if (!NT_SUCCESS(span.status)) {
        return span.status;
    }
    auto* urb = static_cast<URB*>(span.buffer);
    if (span.length < sizeof(struct _URB_HEADER) || urb->UrbHeader.Length > span.length) {
        return STATUS_INVALID_PARAMETER;
    }
    WDF_USB_REQUEST_COMPLETION_PARAMS usb{};
    usb.Type = WdfUsbRequestTypeDeviceUrb;
    usb.Parameters.DeviceUrb.Buffer = UrbMemory;
    return formatUrb(*d, *r, urb, usb);
}

WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                               UCHAR InterfaceIndex) {
    auto* d = usbDevice(UsbDevice, "WdfUsbTargetDeviceGetInterface");
    if (d == nullptr || InterfaceIndex >= d->interfaces().size()) {
        return nullptr;
    }
    return d->interfaces()[InterfaceIndex]->interfaceHandle();
}

UCHAR WdfUsbInterfaceGetInterfaceNumber(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface) {
    auto* i = usbInterface(UsbInterface, "WdfUsbInterfaceGetInterfaceNumber");
    return i != nullptr ? i->number() : 0;
}

UCHAR WdfUsbInterfaceGetNumSettings(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface) {
    auto* i = usbInterface(UsbInterface, "WdfUsbInterfaceGetNumSettings");
    return i != nullptr ? i->numSettings() : 0;
}

UCHAR WdfUsbInterfaceGetNumEndpoints(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface,
                                     UCHAR SettingIndex) {
    auto* i = usbInterface(UsbInterface, "WdfUsbInterfaceGetNumEndpoints");
    const UsbInterface::Setting* s = i != nullptr ? i->setting(SettingIndex) : nullptr;
    return s != nullptr ? s->descriptor.bNumEndpoints : 0;
}

VOID WdfUsbInterfaceGetDescriptor(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface,
                                  UCHAR SettingIndex,
                                  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor) {
    auto* i = usbInterface(UsbInterface, "WdfUsbInterfaceGetDescriptor");
    if (InterfaceDescriptor == nullptr) {
        return;
    }
    const UsbInterface::Setting* s = i != nullptr ? i->setting(SettingIndex) : nullptr;
    if (s != nullptr) {
        *InterfaceDescriptor = s->descriptor;
    } else {
        std::memset(InterfaceDescriptor, 0, sizeof *InterfaceDescriptor);
    }
}

NTSTATUS WdfUsbInterfaceSelectSetting(PWDF_DRIVER_GLOBALS DriverGlobals,
                                      WDFUSBINTERFACE UsbInterface,
                                      PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                                      PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params) {
    const char* call = "WdfUsbInterfaceSelectSetting";
    frameworkState().runtime.verifier().checkBlockingCall(call);
    auto* i = usbInterface(UsbInterface, call);
    if (i == nullptr || Params == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return selectSetting(DriverGlobals, *i, PipesAttributes, *Params);
}

VOID WdfUsbInterfaceGetEndpointInformation(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface,
                                           UCHAR SettingIndex, UCHAR EndpointIndex,
                                           PWDF_USB_PIPE_INFORMATION EndpointInfo) {
    auto* i = usbInterface(UsbInterface, "WdfUsbInterfaceGetEndpointInformation");
    if (i != nullptr && EndpointInfo != nullptr) {
        i->endpointInformation(SettingIndex, EndpointIndex, EndpointInfo);
    }
}

UCHAR WdfUsbInterfaceGetConfiguredSettingIndex(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE Interface) {
    const char* call = "WdfUsbInterfaceGetConfiguredSettingIndex";
    auto* i = usbInterface(Interface, call);
    if (i == nullptr) {
        return 0;
    }
    if (!i->configured()) {
        reportViolation(rt::Rule::ContractViolation, i->describe(),
                        std::string(call) + ": the interface is not configured");
        return 0;
    }
    return i->configuredSetting();
}

UCHAR WdfUsbInterfaceGetNumConfiguredPipes(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface) {
    auto* i = usbInterface(UsbInterface, "WdfUsbInterfaceGetNumConfiguredPipes");
    return i != nullptr ? static_cast<UCHAR>(i->numConfiguredPipes()) : 0;
}

WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface,
                                            UCHAR PipeIndex, PWDF_USB_PIPE_INFORMATION PipeInfo) {
    auto* i = usbInterface(UsbInterface, "WdfUsbInterfaceGetConfiguredPipe");
    UsbPipe* pipe = i != nullptr ? i->configuredPipe(PipeIndex) : nullptr;
    if (pipe == nullptr) {
        return nullptr;
    }
    if (PipeInfo != nullptr) {
        if (PipeInfo->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
            return nullptr;
        }
        pipe->information(PipeInfo);
    }
    return pipe->pipeHandle();
}

}  // namespace vel::wdf::ddi
