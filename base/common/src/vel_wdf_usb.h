// Framework USB targets as the drivers see them: device information and traits, control setup
// packets, configuration and setting selection, pipe information, the continuous reader and the
// USB completion parameters. A USB device or pipe handle is also an I/O target handle. Included
// by vel_wdf.h before the function table.
#pragma once

#include "vel_usb.h"

// USB device and pipe objects are I/O targets: start, stop and state go through the target calls.
#define WdfUsbTargetDeviceGetIoTarget(UsbDevice) ((WDFIOTARGET)(UsbDevice))
#define WdfUsbTargetPipeGetIoTarget(UsbPipe) ((WDFIOTARGET)(UsbPipe))

// ---------------------------------------------------------------------------------------------
// Device information.

typedef enum _WDF_USB_DEVICE_TRAITS {
    WDF_USB_DEVICE_TRAIT_SELF_POWERED = 0x00000001,
    WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE = 0x00000002,
    WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED = 0x00000004,
} WDF_USB_DEVICE_TRAITS;

typedef struct _WDF_USB_DEVICE_INFORMATION {
    ULONG Size;
    USBD_VERSION_INFORMATION UsbdVersionInformation;
    ULONG HcdPortCapabilities;  // USB_HCD_CAPS_*
    ULONG Traits;               // WDF_USB_DEVICE_TRAIT_*
} WDF_USB_DEVICE_INFORMATION, *PWDF_USB_DEVICE_INFORMATION;

inline VOID WDF_USB_DEVICE_INFORMATION_INIT(PWDF_USB_DEVICE_INFORMATION Information) {
    RtlZeroMemory(Information, sizeof(WDF_USB_DEVICE_INFORMATION));
    Information->Size = sizeof(WDF_USB_DEVICE_INFORMATION);
}

// ---------------------------------------------------------------------------------------------
// Control transfers.

typedef enum _WDF_USB_BMREQUEST_DIRECTION {
    BmRequestHostToDevice = BMREQUEST_HOST_TO_DEVICE,
    BmRequestDeviceToHost = BMREQUEST_DEVICE_TO_HOST,
} WDF_USB_BMREQUEST_DIRECTION;

typedef enum _WDF_USB_BMREQUEST_TYPE {
    BmRequestStandard = BMREQUEST_STANDARD,
    BmRequestClass = BMREQUEST_CLASS,
    BmRequestVendor = BMREQUEST_VENDOR,
} WDF_USB_BMREQUEST_TYPE;

typedef enum _WDF_USB_BMREQUEST_RECIPIENT {
    BmRequestToDevice = BMREQUEST_TO_DEVICE,
    BmRequestToInterface = BMREQUEST_TO_INTERFACE,
    BmRequestToEndpoint = BMREQUEST_TO_ENDPOINT,
    BmRequestToOther = BMREQUEST_TO_OTHER,
} WDF_USB_BMREQUEST_RECIPIENT;

// The eight bytes of a setup stage; wLength is replaced by the transfer buffer's length when the
// request is formatted.
typedef union _WDF_USB_CONTROL_SETUP_PACKET {
    struct {
        union {
            struct {
                UCHAR Recipient : 2;
                UCHAR Reserved : 3;
                UCHAR Type : 2;
                UCHAR Dir : 1;
            } Request;
            UCHAR Byte;
        } bm;
        UCHAR bRequest;
        union {
            struct {
                UCHAR LowByte;
                UCHAR HiByte;
            } Bytes;
            USHORT Value;
        } wValue;
        union {
            struct {
                UCHAR LowByte;
                UCHAR HiByte;
            } Bytes;
            USHORT Value;
        } wIndex;
        USHORT wLength;
    } Packet;
    struct {
        UCHAR Bytes[8];
    } Generic;
} WDF_USB_CONTROL_SETUP_PACKET, *PWDF_USB_CONTROL_SETUP_PACKET;

inline VOID WDF_USB_CONTROL_SETUP_PACKET_INIT(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                              WDF_USB_BMREQUEST_DIRECTION Direction,
                                              WDF_USB_BMREQUEST_RECIPIENT Recipient, UCHAR Request,
                                              USHORT Value, USHORT Index) {
    RtlZeroMemory(Packet, sizeof(WDF_USB_CONTROL_SETUP_PACKET));
    Packet->Packet.bm.Request.Dir = (UCHAR)Direction;
    Packet->Packet.bm.Request.Type = (UCHAR)BmRequestStandard;
    Packet->Packet.bm.Request.Recipient = (UCHAR)Recipient;
    Packet->Packet.bRequest = Request;
    Packet->Packet.wValue.Value = Value;
    Packet->Packet.wIndex.Value = Index;
}

inline VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                    WDF_USB_BMREQUEST_DIRECTION Direction,
                                                    WDF_USB_BMREQUEST_RECIPIENT Recipient,
                                                    UCHAR Request, USHORT Value, USHORT Index) {
    WDF_USB_CONTROL_SETUP_PACKET_INIT(Packet, Direction, Recipient, Request, Value, Index);
    Packet->Packet.bm.Request.Type = (UCHAR)BmRequestClass;
}

inline VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                     WDF_USB_BMREQUEST_DIRECTION Direction,
                                                     WDF_USB_BMREQUEST_RECIPIENT Recipient,
                                                     UCHAR Request, USHORT Value, USHORT Index) {
    WDF_USB_CONTROL_SETUP_PACKET_INIT(Packet, Direction, Recipient, Request, Value, Index);
    Packet->Packet.bm.Request.Type = (UCHAR)BmRequestVendor;
}

inline VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_FEATURE(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                      WDF_USB_BMREQUEST_RECIPIENT Recipient,
                                                      USHORT FeatureSelector, USHORT Index,
                                                      BOOLEAN SetFeature) {
    WDF_USB_CONTROL_SETUP_PACKET_INIT(
        Packet, BmRequestHostToDevice, Recipient,
        SetFeature ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE, FeatureSelector, Index);
}

inline VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_GET_STATUS(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                         WDF_USB_BMREQUEST_RECIPIENT Recipient,
                                                         USHORT Index) {
    WDF_USB_CONTROL_SETUP_PACKET_INIT(Packet, BmRequestDeviceToHost, Recipient,
                                      USB_REQUEST_GET_STATUS, 0, Index);
    Packet->Packet.wLength = sizeof(USHORT);
}

// ---------------------------------------------------------------------------------------------
// Pipes.

typedef enum _WDF_USB_PIPE_TYPE {
    WdfUsbPipeTypeInvalid = 0,
    WdfUsbPipeTypeControl,
    WdfUsbPipeTypeIsochronous,
    WdfUsbPipeTypeBulk,
    WdfUsbPipeTypeInterrupt,
} WDF_USB_PIPE_TYPE;

typedef struct _WDF_USB_PIPE_INFORMATION {
    ULONG Size;
    ULONG MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    UCHAR SettingIndex;
    WDF_USB_PIPE_TYPE PipeType;
    ULONG MaximumTransferSize;
} WDF_USB_PIPE_INFORMATION, *PWDF_USB_PIPE_INFORMATION;

inline VOID WDF_USB_PIPE_INFORMATION_INIT(PWDF_USB_PIPE_INFORMATION Info) {
    RtlZeroMemory(Info, sizeof(WDF_USB_PIPE_INFORMATION));
    Info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

inline BOOLEAN WDF_USB_PIPE_DIRECTION_IN(UCHAR EndpointAddress) {
    return (EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) ? TRUE : FALSE;
}
inline BOOLEAN WDF_USB_PIPE_DIRECTION_OUT(UCHAR EndpointAddress) {
    return (EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) ? FALSE : TRUE;
}

// ---------------------------------------------------------------------------------------------
// Configuration selection.

typedef enum _WdfUsbTargetDeviceSelectConfigType {
    WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
    WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
    WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
    WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor = 5,
    WdfUsbTargetDeviceSelectConfigTypeUrb = 6,
} WdfUsbTargetDeviceSelectConfigType;

typedef struct _WDF_USB_INTERFACE_SETTING_PAIR {
    WDFUSBINTERFACE UsbInterface;
    UCHAR SettingIndex;
} WDF_USB_INTERFACE_SETTING_PAIR, *PWDF_USB_INTERFACE_SETTING_PAIR;

typedef struct _WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectConfigType Type;
    union {
        struct {
            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // NULL: the device's own
            PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors;
            ULONG NumInterfaceDescriptors;
        } Descriptor;
        struct {
            PURB Urb;
        } Urb;
        struct {
            UCHAR NumberConfiguredPipes;             // out
            WDFUSBINTERFACE ConfiguredUsbInterface;  // out
        } SingleInterface;
        struct {
            UCHAR NumberInterfaces;
            PWDF_USB_INTERFACE_SETTING_PAIR Pairs;
            UCHAR NumberOfConfiguredInterfaces;  // out
        } MultiInterface;
    } Types;
} WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, *PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS;

inline VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeDeconfig;
}

inline VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeSingleInterface;
}

// Without pairs every interface gets its first setting; with pairs each listed interface the
// setting given, and every interface must be listed.
inline VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params, UCHAR NumberInterfaces,
    PWDF_USB_INTERFACE_SETTING_PAIR SettingPairs) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    if (SettingPairs != NULL && NumberInterfaces != 0) {
        Params->Type = WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs;
        Params->Types.MultiInterface.NumberInterfaces = NumberInterfaces;
        Params->Types.MultiInterface.Pairs = SettingPairs;
    } else {
        Params->Type = WdfUsbTargetDeviceSelectConfigTypeMultiInterface;
    }
}

inline VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params, PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor,
    PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors, ULONG NumInterfaceDescriptors) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor;
    Params->Types.Descriptor.ConfigurationDescriptor = ConfigDescriptor;
    Params->Types.Descriptor.InterfaceDescriptors = InterfaceDescriptors;
    Params->Types.Descriptor.NumInterfaceDescriptors = NumInterfaceDescriptors;
}

inline VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_URB(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params, PURB Urb) {
    RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeUrb;
    Params->Types.Urb.Urb = Urb;
}

// ---------------------------------------------------------------------------------------------
// Alternate setting selection.

typedef enum _WdfUsbTargetDeviceSelectSettingType {
    WdfUsbInterfaceSelectSettingTypeDescriptor = 0x10,
    WdfUsbInterfaceSelectSettingTypeSetting = 0x11,
    WdfUsbInterfaceSelectSettingTypeUrb = 0x12,
} WdfUsbTargetDeviceSelectSettingType;

typedef struct _WDF_USB_INTERFACE_SELECT_SETTING_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectSettingType Type;
    union {
        struct {
            PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
        } Descriptor;
        struct {
            UCHAR SettingIndex;
        } Interface;
        struct {
            PURB Urb;
        } Urb;
    } Types;
} WDF_USB_INTERFACE_SELECT_SETTING_PARAMS, *PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS;

inline VOID WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_DESCRIPTOR(
    PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params, PUSB_INTERFACE_DESCRIPTOR Interface) {
    RtlZeroMemory(Params, sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS));
    Params->Size = sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS);
    Params->Type = WdfUsbInterfaceSelectSettingTypeDescriptor;
    Params->Types.Descriptor.InterfaceDescriptor = Interface;
}

inline VOID WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(
    PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params, UCHAR SettingIndex) {
    RtlZeroMemory(Params, sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS));
    Params->Size = sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS);
    Params->Type = WdfUsbInterfaceSelectSettingTypeSetting;
    Params->Types.Interface.SettingIndex = SettingIndex;
}

inline VOID WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_URB(
    PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params, PURB Urb) {
    RtlZeroMemory(Params, sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS));
    Params->Size = sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS);
    Params->Type = WdfUsbInterfaceSelectSettingTypeUrb;
    Params->Types.Urb.Urb = Urb;
}

// ---------------------------------------------------------------------------------------------
// Continuous reader.

// Buffer is the whole read buffer; the data starts at the configured HeaderLength.
typedef VOID EVT_WDF_USB_READER_COMPLETION_ROUTINE(WDFUSBPIPE Pipe, WDFMEMORY Buffer,
                                                   size_t NumBytesTransferred, WDFCONTEXT Context);
typedef EVT_WDF_USB_READER_COMPLETION_ROUTINE* PFN_WDF_USB_READER_COMPLETION_ROUTINE;

// TRUE asks the framework to reset the pipe (or port) and restart the readers.
typedef BOOLEAN EVT_WDF_USB_READERS_FAILED(WDFUSBPIPE Pipe, NTSTATUS Status,
                                           USBD_STATUS UsbdStatus);
typedef EVT_WDF_USB_READERS_FAILED* PFN_WDF_USB_READERS_FAILED;

typedef struct _WDF_USB_CONTINUOUS_READER_CONFIG {
    ULONG Size;
    size_t TransferLength;
    size_t HeaderLength;
    size_t TrailerLength;
    UCHAR NumPendingReads;  // 0: the default
    PWDF_OBJECT_ATTRIBUTES BufferAttributes;
    PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete;
    WDFCONTEXT EvtUsbTargetPipeReadCompleteContext;
    PFN_WDF_USB_READERS_FAILED EvtUsbTargetPipeReadersFailed;
} WDF_USB_CONTINUOUS_READER_CONFIG, *PWDF_USB_CONTINUOUS_READER_CONFIG;

inline VOID WDF_USB_CONTINUOUS_READER_CONFIG_INIT(
    PWDF_USB_CONTINUOUS_READER_CONFIG Config,
    PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete,
    WDFCONTEXT EvtUsbTargetPipeReadCompleteContext, size_t TransferLength) {
    RtlZeroMemory(Config, sizeof(WDF_USB_CONTINUOUS_READER_CONFIG));
    Config->Size = sizeof(WDF_USB_CONTINUOUS_READER_CONFIG);
    Config->EvtUsbTargetPipeReadComplete = EvtUsbTargetPipeReadComplete;
    Config->EvtUsbTargetPipeReadCompleteContext = EvtUsbTargetPipeReadCompleteContext;
    Config->TransferLength = TransferLength;
}

// ---------------------------------------------------------------------------------------------
// Completion parameters of requests formatted by the USB calls
// (WDF_REQUEST_COMPLETION_PARAMS.Parameters.Usb.Completion, with Type WdfRequestTypeUsb).

typedef enum _WDF_USB_REQUEST_TYPE {
    WdfUsbRequestTypeInvalid = 0,
    WdfUsbRequestTypeNoFormat,
    WdfUsbRequestTypeDeviceString,
    WdfUsbRequestTypeDeviceControlTransfer,
    WdfUsbRequestTypeDeviceUrb,
    WdfUsbRequestTypePipeWrite,
    WdfUsbRequestTypePipeRead,
    WdfUsbRequestTypePipeAbort,
    WdfUsbRequestTypePipeReset,
    WdfUsbRequestTypePipeUrb,
} WDF_USB_REQUEST_TYPE;

typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS {
    USBD_STATUS UsbdStatus;
    WDF_USB_REQUEST_TYPE Type;
    union {
        struct {
            WDFMEMORY Buffer;
            USHORT LangID;
            UCHAR StringIndex;
            UCHAR RequiredSize;  // bytes the whole string descriptor needs
        } DeviceString;
        struct {
            WDFMEMORY Buffer;
            WDF_USB_CONTROL_SETUP_PACKET SetupPacket;
            ULONG Length;
        } DeviceControlTransfer;
        struct {
            WDFMEMORY Buffer;
        } DeviceUrb;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeWrite;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeRead;
        struct {
            WDFMEMORY Buffer;
        } PipeUrb;
    } Parameters;
} WDF_USB_REQUEST_COMPLETION_PARAMS, *PWDF_USB_REQUEST_COMPLETION_PARAMS;

// ---------------------------------------------------------------------------------------------
// Layouts drivers depend on.

static_assert(sizeof(WDF_USB_DEVICE_INFORMATION) == 20);
static_assert(sizeof(WDF_USB_CONTROL_SETUP_PACKET) == 8);
static_assert(sizeof(WDF_USB_PIPE_INFORMATION) == 20);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(WDF_USB_INTERFACE_SETTING_PAIR) == 8);
static_assert(sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS) == 20);
static_assert(sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS) == 12);
static_assert(sizeof(WDF_USB_CONTINUOUS_READER_CONFIG) == 36);
static_assert(sizeof(WDF_USB_REQUEST_COMPLETION_PARAMS) == 24);
#else
static_assert(sizeof(WDF_USB_INTERFACE_SETTING_PAIR) == 16);
static_assert(sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS) == 32);
static_assert(sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS) == 16);
static_assert(sizeof(WDF_USB_CONTINUOUS_READER_CONFIG) == 72);
static_assert(sizeof(WDF_USB_REQUEST_COMPLETION_PARAMS) == 32);
#endif
