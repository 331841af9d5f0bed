// Communications device class: class codes, functional descriptors (CDC 1.2 and the wireless
// mobile communications subclasses), class requests and notifications. Functional descriptors
// are class-specific interface descriptors (type 0x24) told apart by bDescriptorSubtype.
#pragma once

#include "vel_usb.h"

// Class-specific descriptor types.
#define USB_CDC_CS_INTERFACE 0x24
#define USB_CDC_CS_ENDPOINT 0x25

// Communications interface subclasses (bInterfaceSubClass with class 0x02).
#define USB_CDC_SUBCLASS_DLCM 0x01
#define USB_CDC_SUBCLASS_ACM 0x02
#define USB_CDC_SUBCLASS_TCM 0x03
#define USB_CDC_SUBCLASS_MCCM 0x04
#define USB_CDC_SUBCLASS_CAPI 0x05
#define USB_CDC_SUBCLASS_ETHERNET 0x06
#define USB_CDC_SUBCLASS_ATM 0x07
#define USB_CDC_SUBCLASS_WHCM 0x08
#define USB_CDC_SUBCLASS_DEVICE_MANAGEMENT 0x09
#define USB_CDC_SUBCLASS_MDLM 0x0A
#define USB_CDC_SUBCLASS_OBEX 0x0B
#define USB_CDC_SUBCLASS_EEM 0x0C
#define USB_CDC_SUBCLASS_NCM 0x0D

// Communications interface protocols.
#define USB_CDC_PROTOCOL_NONE 0x00
#define USB_CDC_PROTOCOL_AT_V250 0x01
#define USB_CDC_PROTOCOL_VENDOR 0xFF

// Functional descriptor subtypes.
#define USB_CDC_SUBTYPE_HEADER 0x00
#define USB_CDC_SUBTYPE_CALL_MANAGEMENT 0x01
#define USB_CDC_SUBTYPE_ACM 0x02
#define USB_CDC_SUBTYPE_UNION 0x06
#define USB_CDC_SUBTYPE_COUNTRY_SELECTION 0x07
#define USB_CDC_SUBTYPE_ETHERNET 0x0F
#define USB_CDC_SUBTYPE_WHCM 0x11
#define USB_CDC_SUBTYPE_MDLM 0x12
#define USB_CDC_SUBTYPE_MDLM_DETAIL 0x13
#define USB_CDC_SUBTYPE_DEVICE_MANAGEMENT 0x14
#define USB_CDC_SUBTYPE_OBEX 0x15

// Call management bmCapabilities.
#define USB_CDC_CALL_MGMT_HANDLES_CALLS 0x01  // the device handles call management itself
#define USB_CDC_CALL_MGMT_OVER_DATA 0x02      // ... over the data class interface
// Abstract control management bmCapabilities.
#define USB_CDC_ACM_COMM_FEATURE 0x01  // Set/Get/Clear_Comm_Feature
#define USB_CDC_ACM_LINE 0x02          // line coding, control line state, SERIAL_STATE
#define USB_CDC_ACM_SEND_BREAK 0x04
#define USB_CDC_ACM_NETWORK_CONNECTION 0x08

// Class requests.
#define USB_CDC_SEND_ENCAPSULATED_COMMAND 0x00
#define USB_CDC_GET_ENCAPSULATED_RESPONSE 0x01
#define USB_CDC_SET_COMM_FEATURE 0x02
#define USB_CDC_GET_COMM_FEATURE 0x03
#define USB_CDC_CLEAR_COMM_FEATURE 0x04
#define USB_CDC_SET_LINE_CODING 0x20
#define USB_CDC_GET_LINE_CODING 0x21
#define USB_CDC_SET_CONTROL_LINE_STATE 0x22
#define USB_CDC_SEND_BREAK 0x23

// SET_CONTROL_LINE_STATE wValue bits.
#define USB_CDC_CONTROL_LINE_DTR 0x0001
#define USB_CDC_CONTROL_LINE_RTS 0x0002

// Notifications (bNotification on the interrupt endpoint).
#define USB_CDC_NOTIFY_NETWORK_CONNECTION 0x00
#define USB_CDC_NOTIFY_RESPONSE_AVAILABLE 0x01
#define USB_CDC_NOTIFY_SERIAL_STATE 0x20

// SERIAL_STATE data bits.
#define USB_CDC_SERIAL_STATE_DCD 0x0001
#define USB_CDC_SERIAL_STATE_DSR 0x0002
#define USB_CDC_SERIAL_STATE_BREAK 0x0004
#define USB_CDC_SERIAL_STATE_RING 0x0008
#define USB_CDC_SERIAL_STATE_FRAMING 0x0010
#define USB_CDC_SERIAL_STATE_PARITY 0x0020
#define USB_CDC_SERIAL_STATE_OVERRUN 0x0040

#pragma pack(push, 1)

typedef struct _USB_CDC_HEADER_DESCRIPTOR {
    UCHAR bFunctionLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdCDC;
} USB_CDC_HEADER_DESCRIPTOR, *PUSB_CDC_HEADER_DESCRIPTOR;

typedef struct _USB_CDC_CALL_MANAGEMENT_DESCRIPTOR {
    UCHAR bFunctionLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bmCapabilities;
    UCHAR bDataInterface;
} USB_CDC_CALL_MANAGEMENT_DESCRIPTOR, *PUSB_CDC_CALL_MANAGEMENT_DESCRIPTOR;

typedef struct _USB_CDC_ACM_DESCRIPTOR {
    UCHAR bFunctionLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bmCapabilities;
} USB_CDC_ACM_DESCRIPTOR, *PUSB_CDC_ACM_DESCRIPTOR;

// bFunctionLength - 4 subordinate interface numbers follow the control interface.
typedef struct _USB_CDC_UNION_DESCRIPTOR {
    UCHAR bFunctionLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bControlInterface;
    UCHAR bSubordinateInterface[1];
} USB_CDC_UNION_DESCRIPTOR, *PUSB_CDC_UNION_DESCRIPTOR;

// bGUID identifies the model; it is stored in text order (the first three fields big-endian).
typedef struct _USB_CDC_MDLM_DESCRIPTOR {
    UCHAR bFunctionLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdVersion;
    UCHAR bGUID[16];
} USB_CDC_MDLM_DESCRIPTOR, *PUSB_CDC_MDLM_DESCRIPTOR;

typedef struct _USB_CDC_MDLM_DETAIL_DESCRIPTOR {
    UCHAR bFunctionLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bGuidDescriptorType;
    UCHAR bDetailData[1];  // bFunctionLength - 4 bytes
} USB_CDC_MDLM_DETAIL_DESCRIPTOR, *PUSB_CDC_MDLM_DETAIL_DESCRIPTOR;

// SET_LINE_CODING / GET_LINE_CODING data.
typedef struct _USB_CDC_LINE_CODING {
    ULONG dwDTERate;    // bits per second
    UCHAR bCharFormat;  // 0 = 1 stop bit, 1 = 1.5, 2 = 2
    UCHAR bParityType;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    UCHAR bDataBits;    // 5, 6, 7, 8 or 16
} USB_CDC_LINE_CODING, *PUSB_CDC_LINE_CODING;

// The eight bytes in front of every notification's data.
typedef struct _USB_CDC_NOTIFICATION {
    UCHAR bmRequestType;  // 0xA1
    UCHAR bNotification;
    USHORT wValue;
    USHORT wIndex;  // the communications interface
    USHORT wLength;
} USB_CDC_NOTIFICATION, *PUSB_CDC_NOTIFICATION;

#pragma pack(pop)

static_assert(sizeof(USB_CDC_HEADER_DESCRIPTOR) == 5);
static_assert(sizeof(USB_CDC_CALL_MANAGEMENT_DESCRIPTOR) == 5);
static_assert(sizeof(USB_CDC_ACM_DESCRIPTOR) == 4);
static_assert(sizeof(USB_CDC_UNION_DESCRIPTOR) == 5);
static_assert(sizeof(USB_CDC_MDLM_DESCRIPTOR) == 21);
static_assert(offsetof(USB_CDC_MDLM_DESCRIPTOR, bGUID) == 5);
static_assert(sizeof(USB_CDC_MDLM_DETAIL_DESCRIPTOR) == 5);
static_assert(sizeof(USB_CDC_LINE_CODING) == 7);
static_assert(sizeof(USB_CDC_NOTIFICATION) == 8);
