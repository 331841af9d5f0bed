// The USB driver interface: standard descriptors, URBs, USBD status codes, the internal and
// public USB device controls, hub node records, the USBDI bus interface and the descriptor
// parse calls. Layouts follow the published ones for the build's pointer size: descriptors and
// hub records are byte-packed, URBs use natural alignment. The sizes drivers depend on are pinned
// at the end of this file for 32- and 64-bit builds.
#pragma once

#include "vel_kernel.h"

// ---------------------------------------------------------------------------------------------
// Standard descriptors and request codes

#define USB_DEVICE_DESCRIPTOR_TYPE 0x01
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 0x02
#define USB_STRING_DESCRIPTOR_TYPE 0x03
#define USB_INTERFACE_DESCRIPTOR_TYPE 0x04
#define USB_ENDPOINT_DESCRIPTOR_TYPE 0x05
#define USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE 0x06
#define USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE 0x07
#define USB_INTERFACE_POWER_DESCRIPTOR_TYPE 0x08
#define USB_OTG_DESCRIPTOR_TYPE 0x09
#define USB_DEBUG_DESCRIPTOR_TYPE 0x0A
#define USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE 0x0B

// wValue of GET_DESCRIPTOR: type in the high byte, index in the low byte.
#define USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(d, i) ((USHORT)((USHORT)(d) << 8 | (i)))

#define USB_DEVICE_CLASS_RESERVED 0x00
#define USB_DEVICE_CLASS_AUDIO 0x01
#define USB_DEVICE_CLASS_COMMUNICATIONS 0x02
#define USB_DEVICE_CLASS_HUMAN_INTERFACE 0x03
#define USB_DEVICE_CLASS_MONITOR 0x04
#define USB_DEVICE_CLASS_PHYSICAL_INTERFACE 0x05
#define USB_DEVICE_CLASS_POWER 0x06
#define USB_DEVICE_CLASS_IMAGE 0x06
#define USB_DEVICE_CLASS_PRINTER 0x07
#define USB_DEVICE_CLASS_STORAGE 0x08
#define USB_DEVICE_CLASS_HUB 0x09
#define USB_DEVICE_CLASS_CDC_DATA 0x0A
#define USB_DEVICE_CLASS_SMART_CARD 0x0B
#define USB_DEVICE_CLASS_CONTENT_SECURITY 0x0D
#define USB_DEVICE_CLASS_VIDEO 0x0E
#define USB_DEVICE_CLASS_PERSONAL_HEALTHCARE 0x0F
#define USB_DEVICE_CLASS_AUDIO_VIDEO 0x10
#define USB_DEVICE_CLASS_BILLBOARD 0x11
#define USB_DEVICE_CLASS_DIAGNOSTIC_DEVICE 0xDC
#define USB_DEVICE_CLASS_WIRELESS_CONTROLLER 0xE0
#define USB_DEVICE_CLASS_MISCELLANEOUS 0xEF
#define USB_DEVICE_CLASS_APPLICATION_SPECIFIC 0xFE
#define USB_DEVICE_CLASS_VENDOR_SPECIFIC 0xFF

// Configuration bmAttributes.
#define USB_CONFIG_POWERED_MASK 0xC0
#define USB_CONFIG_BUS_POWERED 0x80
#define USB_CONFIG_SELF_POWERED 0x40
#define USB_CONFIG_REMOTE_WAKEUP 0x20

// Endpoint address and bmAttributes.
#define USB_ENDPOINT_DIRECTION_MASK 0x80
#define USB_ENDPOINT_DIRECTION_OUT(addr) (!((addr)&USB_ENDPOINT_DIRECTION_MASK))
#define USB_ENDPOINT_DIRECTION_IN(addr) ((addr)&USB_ENDPOINT_DIRECTION_MASK)
#define USB_ENDPOINT_ADDRESS_MASK 0x0F
#define USB_ENDPOINT_TYPE_MASK 0x03
#define USB_ENDPOINT_TYPE_CONTROL 0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS 0x01
#define USB_ENDPOINT_TYPE_BULK 0x02
#define USB_ENDPOINT_TYPE_INTERRUPT 0x03

// Standard requests (bRequest) and feature selectors.
#define USB_REQUEST_GET_STATUS 0x00
#define USB_REQUEST_CLEAR_FEATURE 0x01
#define USB_REQUEST_SET_FEATURE 0x03
#define USB_REQUEST_SET_ADDRESS 0x05
#define USB_REQUEST_GET_DESCRIPTOR 0x06
#define USB_REQUEST_SET_DESCRIPTOR 0x07
#define USB_REQUEST_GET_CONFIGURATION 0x08
#define USB_REQUEST_SET_CONFIGURATION 0x09
#define USB_REQUEST_GET_INTERFACE 0x0A
#define USB_REQUEST_SET_INTERFACE 0x0B
#define USB_REQUEST_SYNC_FRAME 0x0C
#define USB_FEATURE_ENDPOINT_STALL 0x0000
#define USB_FEATURE_REMOTE_WAKEUP 0x0001
#define USB_FEATURE_TEST_MODE 0x0002

// GET_STATUS bits for a device.
#define USB_GETSTATUS_SELF_POWERED 0x01
#define USB_GETSTATUS_REMOTE_WAKEUP_ENABLED 0x02

#pragma pack(push, 1)

typedef struct _USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
} USB_COMMON_DESCRIPTOR, *PUSB_COMMON_DESCRIPTOR;

typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;  // this descriptor and every one that belongs to the configuration
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;  // units of 2 mA
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_ASSOCIATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
} USB_INTERFACE_ASSOCIATION_DESCRIPTOR, *PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;

// bString holds (bLength - 2) / 2 UTF-16LE characters, not terminated. String 0 instead holds
// the list of supported language IDs.
typedef struct _USB_STRING_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];
} USB_STRING_DESCRIPTOR, *PUSB_STRING_DESCRIPTOR;

// The eight bytes of a control transfer's setup stage.
typedef struct _USB_DEFAULT_PIPE_SETUP_PACKET {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
} USB_DEFAULT_PIPE_SETUP_PACKET, *PUSB_DEFAULT_PIPE_SETUP_PACKET;

#pragma pack(pop)

// bmRequestType fields.
#define BMREQUEST_HOST_TO_DEVICE 0
#define BMREQUEST_DEVICE_TO_HOST 1
#define BMREQUEST_STANDARD 0
#define BMREQUEST_CLASS 1
#define BMREQUEST_VENDOR 2
#define BMREQUEST_TO_DEVICE 0
#define BMREQUEST_TO_INTERFACE 1
#define BMREQUEST_TO_ENDPOINT 2
#define BMREQUEST_TO_OTHER 3

// ---------------------------------------------------------------------------------------------
// USBD status: the stack's own result code in every URB header. The top two bits say success
// (00), pending (01) or error (1x).

typedef LONG USBD_STATUS;

#define USBD_SUCCESS(Status) ((USBD_STATUS)(Status) >= 0)
#define USBD_PENDING(Status) ((ULONG)(Status) >> 30 == 1)
#define USBD_ERROR(Status) ((USBD_STATUS)(Status) < 0)
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)

// X(name, value)
#define VEL_USBD_STATUS_LIST(X)                                 \
    X(USBD_STATUS_SUCCESS, 0x00000000)                          \
    X(USBD_STATUS_PENDING, 0x40000000)                          \
    X(USBD_STATUS_CRC, 0xC0000001)                              \
    X(USBD_STATUS_BTSTUFF, 0xC0000002)                          \
    X(USBD_STATUS_DATA_TOGGLE_MISMATCH, 0xC0000003)             \
    X(USBD_STATUS_STALL_PID, 0xC0000004)                        \
    X(USBD_STATUS_DEV_NOT_RESPONDING, 0xC0000005)               \
    X(USBD_STATUS_PID_CHECK_FAILURE, 0xC0000006)                \
    X(USBD_STATUS_UNEXPECTED_PID, 0xC0000007)                   \
    X(USBD_STATUS_DATA_OVERRUN, 0xC0000008)                     \
    X(USBD_STATUS_DATA_UNDERRUN, 0xC0000009)                    \
    X(USBD_STATUS_BUFFER_OVERRUN, 0xC000000C)                   \
    X(USBD_STATUS_BUFFER_UNDERRUN, 0xC000000D)                  \
    X(USBD_STATUS_NOT_ACCESSED, 0xC000000F)                     \
    X(USBD_STATUS_FIFO, 0xC0000010)                             \
    X(USBD_STATUS_XACT_ERROR, 0xC0000011)                       \
    X(USBD_STATUS_BABBLE_DETECTED, 0xC0000012)                  \
    X(USBD_STATUS_DATA_BUFFER_ERROR, 0xC0000013)                \
    X(USBD_STATUS_ENDPOINT_HALTED, 0xC0000030)                  \
    X(USBD_STATUS_INVALID_URB_FUNCTION, 0x80000200)             \
    X(USBD_STATUS_INVALID_PARAMETER, 0x80000300)                \
    X(USBD_STATUS_ERROR_BUSY, 0x80000400)                       \
    X(USBD_STATUS_INVALID_PIPE_HANDLE, 0x80000600)              \
    X(USBD_STATUS_NO_BANDWIDTH, 0x80000700)                     \
    X(USBD_STATUS_INTERNAL_HC_ERROR, 0x80000800)                \
    X(USBD_STATUS_ERROR_SHORT_TRANSFER, 0x80000900)             \
    X(USBD_STATUS_BAD_START_FRAME, 0xC0000A00)                  \
    X(USBD_STATUS_ISOCH_REQUEST_FAILED, 0xC0000B00)             \
    X(USBD_STATUS_FRAME_CONTROL_OWNED, 0xC0000C00)              \
    X(USBD_STATUS_FRAME_CONTROL_NOT_OWNED, 0xC0000D00)          \
    X(USBD_STATUS_NOT_SUPPORTED, 0xC0000E00)                    \
    X(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, 0xC0000F00) \
    X(USBD_STATUS_INSUFFICIENT_RESOURCES, 0xC0001000)           \
    X(USBD_STATUS_SET_CONFIG_FAILED, 0xC0002000)                \
    X(USBD_STATUS_BUFFER_TOO_SMALL, 0xC0003000)                 \
    X(USBD_STATUS_INTERFACE_NOT_FOUND, 0xC0004000)              \
    X(USBD_STATUS_INAVLID_PIPE_FLAGS, 0xC0005000)               \
    X(USBD_STATUS_TIMEOUT, 0xC0006000)                          \
    X(USBD_STATUS_DEVICE_GONE, 0xC0007000)                      \
    X(USBD_STATUS_STATUS_NOT_MAPPED, 0xC0008000)                \
    X(USBD_STATUS_HUB_INTERNAL_ERROR, 0xC0009000)               \
    X(USBD_STATUS_CANCELED, 0xC0010000)                         \
    X(USBD_STATUS_ISO_NOT_ACCESSED_BY_HW, 0xC0020000)           \
    X(USBD_STATUS_ISO_TD_ERROR, 0xC0030000)                     \
    X(USBD_STATUS_ISO_NA_LATE_USBPORT, 0xC0040000)              \
    X(USBD_STATUS_ISO_NOT_ACCESSED_LATE, 0xC0050000)            \
    X(USBD_STATUS_BAD_DESCRIPTOR, 0xC0100000)                   \
    X(USBD_STATUS_BAD_DESCRIPTOR_BLEN, 0xC0100001)              \
    X(USBD_STATUS_BAD_DESCRIPTOR_TYPE, 0xC0100002)              \
    X(USBD_STATUS_BAD_INTERFACE_DESCRIPTOR, 0xC0100003)         \
    X(USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR, 0xC0100004)          \
    X(USBD_STATUS_BAD_INTERFACE_ASSOC_DESCRIPTOR, 0xC0100005)   \
    X(USBD_STATUS_BAD_CONFIG_DESC_LENGTH, 0xC0100006)           \
    X(USBD_STATUS_BAD_NUMBER_OF_INTERFACES, 0xC0100007)         \
    X(USBD_STATUS_BAD_NUMBER_OF_ENDPOINTS, 0xC0100008)          \
    X(USBD_STATUS_BAD_ENDPOINT_ADDRESS, 0xC0100009)

#define VEL_DEFINE_USBD_STATUS(name, value) constexpr USBD_STATUS name = (USBD_STATUS)(value##u);
VEL_USBD_STATUS_LIST(VEL_DEFINE_USBD_STATUS)
#undef VEL_DEFINE_USBD_STATUS

// ---------------------------------------------------------------------------------------------
// Handles, pipe and interface information

typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

typedef enum _USBD_PIPE_TYPE {
    UsbdPipeTypeControl = 0,
    UsbdPipeTypeIsochronous = 1,
    UsbdPipeTypeBulk = 2,
    UsbdPipeTypeInterrupt = 3,
} USBD_PIPE_TYPE;

#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 4096

// PipeFlags.
#define USBD_PF_CHANGE_MAX_PACKET 0x00000001
#define USBD_PF_SHORT_PACKET_OPT 0x00000002
#define USBD_PF_ENABLE_RT_THREAD_ACCESS 0x00000004
#define USBD_PF_MAP_ADD_TRANSFERS 0x00000008

typedef struct _USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;     // out
    UCHAR EndpointAddress;        // out
    UCHAR Interval;               // out
    USBD_PIPE_TYPE PipeType;      // out
    USBD_PIPE_HANDLE PipeHandle;  // out
    ULONG MaximumTransferSize;    // in
    ULONG PipeFlags;              // in
} USBD_PIPE_INFORMATION, *PUSBD_PIPE_INFORMATION;

// One interface of a select request. Length covers the record and its NumberOfPipes pipe
// records; the caller fills Length, InterfaceNumber, AlternateSetting and the pipes' input
// fields, the stack the rest.
typedef struct _USBD_INTERFACE_INFORMATION {
    USHORT Length;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
} USBD_INTERFACE_INFORMATION, *PUSBD_INTERFACE_INFORMATION;

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

typedef struct _USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;          // BCD
    ULONG Supported_USB_Version;  // BCD, 0x0200 for USB 2.0
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

// ---------------------------------------------------------------------------------------------
// URBs

#define URB_FUNCTION_SELECT_CONFIGURATION 0x0000
#define URB_FUNCTION_SELECT_INTERFACE 0x0001
#define URB_FUNCTION_ABORT_PIPE 0x0002
#define URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL 0x0003
#define URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL 0x0004
#define URB_FUNCTION_GET_FRAME_LENGTH 0x0005
#define URB_FUNCTION_SET_FRAME_LENGTH 0x0006
#define URB_FUNCTION_GET_CURRENT_FRAME_NUMBER 0x0007
#define URB_FUNCTION_CONTROL_TRANSFER 0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009
#define URB_FUNCTION_ISOCH_TRANSFER 0x000A
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE 0x000B
#define URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE 0x000C
#define URB_FUNCTION_SET_FEATURE_TO_DEVICE 0x000D
#define URB_FUNCTION_SET_FEATURE_TO_INTERFACE 0x000E
#define URB_FUNCTION_SET_FEATURE_TO_ENDPOINT 0x000F
#define URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE 0x0010
#define URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE 0x0011
#define URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT 0x0012
#define URB_FUNCTION_GET_STATUS_FROM_DEVICE 0x0013
#define URB_FUNCTION_GET_STATUS_FROM_INTERFACE 0x0014
#define URB_FUNCTION_GET_STATUS_FROM_ENDPOINT 0x0015
#define URB_FUNCTION_RESERVED_0X0016 0x0016
#define URB_FUNCTION_VENDOR_DEVICE 0x0017
#define URB_FUNCTION_VENDOR_INTERFACE 0x0018
#define URB_FUNCTION_VENDOR_ENDPOINT 0x0019
#define URB_FUNCTION_CLASS_DEVICE 0x001A
#define URB_FUNCTION_CLASS_INTERFACE 0x001B
#define URB_FUNCTION_CLASS_ENDPOINT 0x001C
#define URB_FUNCTION_RESERVE_0X001D 0x001D
#define URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL 0x001E
#define URB_FUNCTION_CLASS_OTHER 0x001F
#define URB_FUNCTION_VENDOR_OTHER 0x0020
#define URB_FUNCTION_GET_STATUS_FROM_OTHER 0x0021
#define URB_FUNCTION_CLEAR_FEATURE_TO_OTHER 0x0022
#define URB_FUNCTION_SET_FEATURE_TO_OTHER 0x0023
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT 0x0024
#define URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT 0x0025
#define URB_FUNCTION_GET_CONFIGURATION 0x0026
#define URB_FUNCTION_GET_INTERFACE 0x0027
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE 0x0028
#define URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE 0x0029
#define URB_FUNCTION_GET_MS_FEATURE_DESCRIPTOR 0x002A
#define URB_FUNCTION_SYNC_RESET_PIPE 0x0030
#define URB_FUNCTION_SYNC_CLEAR_STALL 0x0031
#define URB_FUNCTION_CONTROL_TRANSFER_EX 0x0032
#define URB_FUNCTION_RESET_PIPE URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL

// TransferFlags.
#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN 1
#define USBD_TRANSFER_DIRECTION(x) ((x)&USBD_TRANSFER_DIRECTION_IN)
#define USBD_SHORT_TRANSFER_OK 2
#define USBD_START_ISO_TRANSFER_ASAP 4
#define USBD_DEFAULT_PIPE_TRANSFER 8

struct _URB;

struct _URB_HEADER {
    USHORT Length;    // bytes of the whole URB
    USHORT Function;  // URB_FUNCTION_*
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

// Space the host controller driver keeps for itself in every transfer URB.
struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_SELECT_INTERFACE {
    struct _URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

// A NULL ConfigurationDescriptor deconfigures the device. The interface records follow each
// other, each Interface.Length bytes long.
struct _URB_SELECT_CONFIGURATION {
    struct _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

// Abort, reset and clear-stall of one pipe.
struct _URB_PIPE_REQUEST {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_GET_CURRENT_FRAME_NUMBER {
    struct _URB_HEADER Hdr;
    ULONG FrameNumber;
};

struct _URB_CONTROL_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_CONTROL_TRANSFER_EX {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    ULONG Timeout;  // milliseconds, 0 = none
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
};

typedef struct _USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;
    ULONG Length;
    USBD_STATUS Status;
} USBD_ISO_PACKET_DESCRIPTOR, *PUSBD_ISO_PACKET_DESCRIPTOR;

struct _URB_ISOCH_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    ULONG StartFrame;
    ULONG NumberOfPackets;
    ULONG ErrorCount;
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct _URB_CONTROL_GET_STATUS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Index;  // zero for a device
    USHORT Reserved2;
};

struct _URB_CONTROL_FEATURE_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved2;
    ULONG Reserved3;
    PVOID Reserved4;
    PMDL Reserved5;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved0;
    USHORT FeatureSelector;
    USHORT Index;  // zero for a device
    USHORT Reserved1;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_GET_INTERFACE_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Interface;
    USHORT Reserved2;
};

struct _URB_CONTROL_GET_CONFIGURATION_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[8];
};

typedef struct _URB {
    union {
        struct _URB_HEADER UrbHeader;
        struct _URB_SELECT_INTERFACE UrbSelectInterface;
        struct _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
        struct _URB_PIPE_REQUEST UrbPipeRequest;
        struct _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
        struct _URB_CONTROL_TRANSFER UrbControlTransfer;
        struct _URB_CONTROL_TRANSFER_EX UrbControlTransferEx;
        struct _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
        struct _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
        struct _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
        struct _URB_CONTROL_GET_STATUS_REQUEST UrbControlGetStatusRequest;
        struct _URB_CONTROL_FEATURE_REQUEST UrbControlFeatureRequest;
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
        struct _URB_CONTROL_GET_INTERFACE_REQUEST UrbControlGetInterfaceRequest;
        struct _URB_CONTROL_GET_CONFIGURATION_REQUEST UrbControlGetConfigurationRequest;
    };
} URB, *PURB;

// Sizes of variable-length requests. The arithmetic wraps like the published forms: for zero
// pipes the select-interface size is one pipe record smaller than the structure.
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes) \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                            \
     ((totalInterfaces)-1) * sizeof(USBD_INTERFACE_INFORMATION) +          \
     ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION))
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
    (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes)-1) * sizeof(USBD_PIPE_INFORMATION))
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                              \
    (sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * (numEndpoints) - \
     sizeof(USBD_PIPE_INFORMATION))
#define GET_ISO_URB_SIZE(n) \
    (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))

// URB builders. Each fills the fields its request needs and leaves the others as they are, so
// callers zero the URB first. They write through the request's own structure, not the URB
// union, because the memory behind a request is often only as large as that structure.
inline void UsbBuildGetDescriptorRequest(PURB Urb, USHORT Length, UCHAR DescriptorType,
                                         UCHAR DescriptorIndex, USHORT LanguageId,
                                         PVOID TransferBuffer, PMDL TransferBufferMDL,
                                         ULONG TransferBufferLength, PURB Link) {
    auto* r = reinterpret_cast<struct _URB_CONTROL_DESCRIPTOR_REQUEST*>(Urb);
    r->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r->Hdr.Length = Length;
    r->TransferBufferLength = TransferBufferLength;
    r->TransferBufferMDL = TransferBufferMDL;
    r->TransferBuffer = TransferBuffer;
    r->DescriptorType = DescriptorType;
    r->Index = DescriptorIndex;
    r->LanguageId = LanguageId;
    r->UrbLink = Link;
}

inline void UsbBuildGetStatusRequest(PURB Urb, USHORT Function, USHORT Index, PVOID TransferBuffer,
                                     PMDL TransferBufferMDL, PURB Link) {
    auto* r = reinterpret_cast<struct _URB_CONTROL_GET_STATUS_REQUEST*>(Urb);
    r->Hdr.Function = Function;
    r->Hdr.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    r->TransferBufferLength = sizeof(USHORT);
    r->TransferBufferMDL = TransferBufferMDL;
    r->TransferBuffer = TransferBuffer;
    r->Index = Index;
    r->UrbLink = Link;
}

inline void UsbBuildFeatureRequest(PURB Urb, USHORT Function, USHORT FeatureSelector, USHORT Index,
                                   PURB Link) {
    auto* r = reinterpret_cast<struct _URB_CONTROL_FEATURE_REQUEST*>(Urb);
    r->Hdr.Function = Function;
    r->Hdr.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    r->FeatureSelector = FeatureSelector;
    r->Index = Index;
    r->UrbLink = Link;
}

inline void UsbBuildSelectConfigurationRequest(PURB Urb, USHORT Length,
                                               PUSB_CONFIGURATION_DESCRIPTOR Configuration) {
    auto* r = reinterpret_cast<struct _URB_SELECT_CONFIGURATION*>(Urb);
    r->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    r->Hdr.Length = Length;
    r->ConfigurationDescriptor = Configuration;
}

// Interface.Length is what remains of the URB behind the header and configuration handle.
inline void UsbBuildSelectInterfaceRequest(PURB Urb, USHORT Length,
                                           USBD_CONFIGURATION_HANDLE ConfigurationHandle,
                                           UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    auto* r = reinterpret_cast<struct _URB_SELECT_INTERFACE*>(Urb);
    r->Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    r->Hdr.Length = Length;
    r->Interface.AlternateSetting = AlternateSetting;
    r->Interface.InterfaceNumber = InterfaceNumber;
    r->Interface.Length =
        (USHORT)(Length - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));
    r->ConfigurationHandle = ConfigurationHandle;
}

inline void UsbBuildInterruptOrBulkTransferRequest(PURB Urb, USHORT Length,
                                                   USBD_PIPE_HANDLE PipeHandle,
                                                   PVOID TransferBuffer, PMDL TransferBufferMDL,
                                                   ULONG TransferBufferLength, ULONG TransferFlags,
                                                   PURB Link) {
    auto* r = reinterpret_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(Urb);
    r->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    r->Hdr.Length = Length;
    r->PipeHandle = PipeHandle;
    r->TransferBufferLength = TransferBufferLength;
    r->TransferBufferMDL = TransferBufferMDL;
    r->TransferBuffer = TransferBuffer;
    r->TransferFlags = TransferFlags;
    r->UrbLink = Link;
}

// Function is one of URB_FUNCTION_VENDOR_* or URB_FUNCTION_CLASS_*.
inline void UsbBuildVendorRequest(PURB Urb, USHORT Function, USHORT Length, ULONG TransferFlags,
                                  UCHAR ReservedBits, UCHAR Request, USHORT Value, USHORT Index,
                                  PVOID TransferBuffer, PMDL TransferBufferMDL,
                                  ULONG TransferBufferLength, PURB Link) {
    auto* r = reinterpret_cast<struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(Urb);
    r->Hdr.Function = Function;
    r->Hdr.Length = Length;
    r->TransferBufferLength = TransferBufferLength;
    r->TransferBufferMDL = TransferBufferMDL;
    r->TransferBuffer = TransferBuffer;
    r->RequestTypeReservedBits = ReservedBits;
    r->Request = Request;
    r->Value = Value;
    r->Index = Index;
    r->TransferFlags = TransferFlags;
    r->UrbLink = Link;
}

// ---------------------------------------------------------------------------------------------
// Device controls

#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN

// Function codes of the internal controls (IRP_MJ_INTERNAL_DEVICE_CONTROL).
#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_ROOTHUB_PDO 3
#define USB_GET_PORT_STATUS 4
#define USB_ENABLE_PORT 5
#define USB_GET_HUB_COUNT 6
#define USB_CYCLE_PORT 7
#define USB_GET_HUB_NAME 8
#define USB_IDLE_NOTIFICATION 9
#define USB_RECORD_FAILURE 10
#define USB_GET_BUS_INFO 264
#define USB_GET_CONTROLLER_NAME 265
#define USB_GET_BUSGUID_INFO 266
#define USB_GET_PARENT_HUB_INFO 267
#define USB_GET_DEVICE_HANDLE 268
#define USB_GET_DEVICE_HANDLE_EX 269
#define USB_GET_TT_DEVICE_HANDLE 270
#define USB_GET_TOPOLOGY_ADDRESS 271
#define USB_IDLE_NOTIFICATION_EX 272

#define IOCTL_INTERNAL_USB_SUBMIT_URB \
    CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RESET_PORT \
    CTL_CODE(FILE_DEVICE_USB, USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_ROOTHUB_PDO, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_ENABLE_PORT \
    CTL_CODE(FILE_DEVICE_USB, USB_ENABLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_HUB_COUNT \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_HUB_COUNT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_CYCLE_PORT \
    CTL_CODE(FILE_DEVICE_USB, USB_CYCLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_HUB_NAME \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_HUB_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION \
    CTL_CODE(FILE_DEVICE_USB, USB_IDLE_NOTIFICATION, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RECORD_FAILURE \
    CTL_CODE(FILE_DEVICE_USB, USB_RECORD_FAILURE, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_BUS_INFO \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_BUS_INFO, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_CONTROLLER_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_BUSGUID_INFO \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_BUSGUID_INFO, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PARENT_HUB_INFO \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_PARENT_HUB_INFO, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_DEVICE_HANDLE \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_DEVICE_HANDLE, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_DEVICE_HANDLE_EX \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_DEVICE_HANDLE_EX, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_TT_DEVICE_HANDLE \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_TT_DEVICE_HANDLE, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_TOPOLOGY_ADDRESS \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_TOPOLOGY_ADDRESS, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION_EX \
    CTL_CODE(FILE_DEVICE_USB, USB_IDLE_NOTIFICATION_EX, METHOD_NEITHER, FILE_ANY_ACCESS)

// Function codes of the public controls (IRP_MJ_DEVICE_CONTROL) of hubs and host controllers.
#define HCD_GET_ROOT_HUB_NAME 258
#define HCD_GET_DRIVERKEY_NAME 265
#define USB_GET_NODE_INFORMATION 258
#define USB_GET_NODE_CONNECTION_INFORMATION 259
#define USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION 260
#define USB_GET_NODE_CONNECTION_NAME 261
#define USB_GET_NODE_CONNECTION_DRIVERKEY_NAME 264
#define USB_GET_HUB_CAPABILITIES 271
#define USB_GET_NODE_CONNECTION_ATTRIBUTES 272
#define USB_HUB_CYCLE_PORT 273
#define USB_GET_NODE_CONNECTION_INFORMATION_EX 274

#define IOCTL_USB_GET_ROOT_HUB_NAME \
    CTL_CODE(FILE_DEVICE_USB, HCD_GET_ROOT_HUB_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_GET_HCD_DRIVERKEY_NAME \
    CTL_CODE(FILE_DEVICE_USB, HCD_GET_DRIVERKEY_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USB_GET_NODE_INFORMATION \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_NODE_INFORMATION, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USB_GET_NODE_CONNECTION_INFORMATION \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_NODE_CONNECTION_INFORMATION, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION                                   \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, METHOD_BUFFERED, \
             FILE_ANY_ACCESS)
#define IOCTL_USB_GET_NODE_CONNECTION_NAME \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_NODE_CONNECTION_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME                                   \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, METHOD_BUFFERED, \
             FILE_ANY_ACCESS)
#define IOCTL_USB_GET_HUB_CAPABILITIES \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_HUB_CAPABILITIES, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USB_GET_NODE_CONNECTION_ATTRIBUTES \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_NODE_CONNECTION_ATTRIBUTES, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USB_HUB_CYCLE_PORT \
    CTL_CODE(FILE_DEVICE_USB, USB_HUB_CYCLE_PORT, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX                                   \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_NODE_CONNECTION_INFORMATION_EX, METHOD_BUFFERED, \
             FILE_ANY_ACCESS)

// Port status bits answered by IOCTL_INTERNAL_USB_GET_PORT_STATUS.
#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

// Hub and node records (byte-packed).
#pragma pack(push, 1)

typedef enum _USB_HUB_NODE {
    UsbHub = 0,
    UsbMIParent = 1,
} USB_HUB_NODE;

typedef struct _USB_HUB_DESCRIPTOR {
    UCHAR bDescriptorLength;
    UCHAR bDescriptorType;
    UCHAR bNumberOfPorts;
    USHORT wHubCharacteristics;
    UCHAR bPowerOnToPowerGood;
    UCHAR bHubControlCurrent;
    UCHAR bRemoveAndPowerMask[64];
} USB_HUB_DESCRIPTOR, *PUSB_HUB_DESCRIPTOR;

typedef struct _USB_HUB_INFORMATION {
    USB_HUB_DESCRIPTOR HubDescriptor;
    BOOLEAN HubIsBusPowered;
} USB_HUB_INFORMATION, *PUSB_HUB_INFORMATION;

typedef struct _USB_MI_PARENT_INFORMATION {
    ULONG NumberOfInterfaces;
} USB_MI_PARENT_INFORMATION, *PUSB_MI_PARENT_INFORMATION;

typedef struct _USB_NODE_INFORMATION {
    USB_HUB_NODE NodeType;
    union {
        USB_HUB_INFORMATION HubInformation;
        USB_MI_PARENT_INFORMATION MiParentInformation;
    } u;
} USB_NODE_INFORMATION, *PUSB_NODE_INFORMATION;

typedef struct _USB_HUB_NAME {
    ULONG ActualLength;  // bytes of the whole record
    WCHAR HubName[1];
} USB_HUB_NAME, *PUSB_HUB_NAME;

#pragma pack(pop)

// ---------------------------------------------------------------------------------------------
// The USBDI bus interface, obtained with IRP_MN_QUERY_INTERFACE.

// {B1A96A13-3DE0-4574-9B01-C08FEAB318D6}
inline constexpr GUID USB_BUS_INTERFACE_USBDI_GUID = {
    0xB1A96A13, 0x3DE0, 0x4574, {0x9B, 0x01, 0xC0, 0x8F, 0xEA, 0xB3, 0x18, 0xD6}};

#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001
#define USB_BUSIF_USBDI_VERSION_2 0x0002
#define USB_BUSIF_USBDI_VERSION_3 0x0003

// HcdCapabilities bits of GetUSBDIVersion.
#define USB_HCD_CAPS_SUPPORTS_RT_THREADS 0x00000001

// QueryBusInformation levels.
typedef struct _USB_BUS_INFORMATION_LEVEL_0 {
    ULONG TotalBandwidth;  // bits per millisecond
    ULONG ConsumedBandwidth;
} USB_BUS_INFORMATION_LEVEL_0, *PUSB_BUS_INFORMATION_LEVEL_0;

typedef struct _USB_BUS_INFORMATION_LEVEL_1 {
    ULONG TotalBandwidth;
    ULONG ConsumedBandwidth;
    ULONG ControllerNameLength;  // bytes
    WCHAR ControllerNameUnicodeString[1];
} USB_BUS_INFORMATION_LEVEL_1, *PUSB_BUS_INFORMATION_LEVEL_1;

typedef VOID (*PUSB_BUSIFFN_GETUSBDI_VERSION)(PVOID BusContext,
                                              PUSBD_VERSION_INFORMATION VersionInformation,
                                              PULONG HcdCapabilities);
typedef NTSTATUS (*PUSB_BUSIFFN_QUERY_BUS_TIME)(PVOID BusContext, PULONG CurrentUsbFrame);
typedef NTSTATUS (*PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB)(PVOID BusContext, PURB Urb);
typedef NTSTATUS (*PUSB_BUSIFFN_QUERY_BUS_INFORMATION)(PVOID BusContext, ULONG Level,
                                                       PVOID BusInformationBuffer,
                                                       PULONG BusInformationBufferLength,
                                                       PULONG BusInformationActualLength);
typedef BOOLEAN (*PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED)(PVOID BusContext);

// The first five fields are those of INTERFACE, in its order.
typedef struct _USB_BUS_INTERFACE_USBDI_V0 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
} USB_BUS_INTERFACE_USBDI_V0, *PUSB_BUS_INTERFACE_USBDI_V0;

typedef struct _USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
} USB_BUS_INTERFACE_USBDI_V1, *PUSB_BUS_INTERFACE_USBDI_V1;

// ---------------------------------------------------------------------------------------------
// Descriptor parsing (callable below DISPATCH_LEVEL)

extern "C" {

// The first descriptor of DescriptorType at or after StartPosition, stepping by bLength within
// [DescriptorBuffer, DescriptorBuffer + TotalLength). NULL when none is left, when a descriptor
// is shorter than its two-byte header (bLength 0 or 1) or runs past the end: no byte outside the
// buffer is read.
VEL_EXPORT PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                        PVOID StartPosition, LONG DescriptorType);

// The first interface descriptor at or after StartPosition, within the configuration's
// wTotalLength, whose fields match every criterion that is not -1. Interface descriptors
// shorter than nine bytes are passed over.
VEL_EXPORT PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);

}  // extern "C"

// ---------------------------------------------------------------------------------------------
// Layouts drivers depend on.

static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2);
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_STRING_DESCRIPTOR) == 4);
static_assert(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8);
static_assert(sizeof(USB_HUB_DESCRIPTOR) == 71);
static_assert(sizeof(USB_NODE_INFORMATION) == 76);
static_assert(offsetof(USB_NODE_INFORMATION, u.MiParentInformation.NumberOfInterfaces) == 4);
static_assert(sizeof(USB_HUB_NAME) == 6);
static_assert(sizeof(USBD_VERSION_INFORMATION) == 8);
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003);
static_assert(IOCTL_INTERNAL_USB_GET_HUB_NAME == 0x220020);
static_assert(IOCTL_INTERNAL_USB_GET_DEVICE_HANDLE == 0x220433);
static_assert(IOCTL_USB_GET_NODE_INFORMATION == 0x220408);
static_assert(IOCTL_USB_HUB_CYCLE_PORT == 0x220444);

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36);
static_assert(sizeof(struct _URB_HEADER) == 16);
static_assert(sizeof(struct _URB_HCD_AREA) == 32);
static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 56);
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60);
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24);
static_assert(sizeof(struct _URB_CONTROL_TRANSFER) == 80);
static_assert(sizeof(struct _URB_CONTROL_TRANSFER_EX) == 80);
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72);
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80);
static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == 80);
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 80);
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80);
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(3) == 56 + 20 * 2);
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 36);
#else
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(sizeof(struct _URB_HEADER) == 24);
static_assert(sizeof(struct _URB_HCD_AREA) == 64);
static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 80);
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88);
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40);
static_assert(sizeof(struct _URB_CONTROL_TRANSFER) == 136);
static_assert(sizeof(struct _URB_CONTROL_TRANSFER_EX) == 136);
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128);
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136);
static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == 136);
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 136);
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136);
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(3) == 80 + 24 * 2);
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);
#endif
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, InterfaceDereference) ==
              offsetof(INTERFACE, InterfaceDereference));
static_assert(offsetof(struct _URB_SELECT_INTERFACE, Interface) ==
              sizeof(struct _URB_HEADER) + sizeof(USBD_CONFIGURATION_HANDLE));
