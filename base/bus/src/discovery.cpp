// Function discovery: walks the selected configuration descriptor and produces one child
// identification description per USB function (an interface association, a CDC communication
// interface with the interfaces its union descriptor names, a vendor-specific or a mass-storage
// interface), each with a device and a configuration descriptor of its own cut out of the
// handset's. The descriptors are device data: no byte outside the configuration is read.
#include "bus.h"
#include "vel_wdf_usb.h"

#define CDC_UNION_SUBTYPE 0x06
#define CS_INTERFACE_DESCRIPTOR_TYPE 0x24
#define CS_ENDPOINT_DESCRIPTOR_TYPE 0x25

namespace {

// The bytes from P to End, or 0 when P lies at or past End.
ULONG BusBytesLeft(const VOID* P, const UCHAR* End) {
    const UCHAR* p = static_cast<const UCHAR*>(P);
    return p < End ? (ULONG)(End - p) : 0;
}

PUCHAR BusConfigEnd(PPARENT_FDO_CONTEXT Parent) {
    return (PUCHAR)Parent->ConfigDescriptor + Parent->ConfigDescriptorLength;
}

// The descriptors that follow an interface of a bundle and belong to it: everything up to the
// next interface, other-speed configuration or interface association descriptor. Returns the
// cursor after them, or NULL for a descriptor of length 0 or one running past the end.
PUCHAR BusScanTrailingDescriptors(PUCHAR Cursor, PUCHAR End) {
    while (Cursor < End) {
        ULONG remaining = (ULONG)(End - Cursor);
        if (remaining < sizeof(USB_COMMON_DESCRIPTOR)) {
            return NULL;
        }
        PUSB_COMMON_DESCRIPTOR descriptor = (PUSB_COMMON_DESCRIPTOR)Cursor;
        if (descriptor->bLength == 0 || descriptor->bLength > remaining) {
            return NULL;
        }
        if (descriptor->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE ||
            descriptor->bDescriptorType == USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE ||
            descriptor->bDescriptorType == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) {
            break;
        }
        Cursor += descriptor->bLength;
    }
    return Cursor;
}

// The completion every kind of function shares once its bundle is known: the function's
// configuration and device descriptors, the description itself, its text and whether the user
// disabled it, then the add to the collection.
BOOLEAN BusCompleteIdDescription(WDFDEVICE Device, WDFCOLLECTION Collection, PUCHAR Bundle,
                                 ULONG BundleLength, UCHAR NumInterfaces, UCHAR Class,
                                 UCHAR SubClass, UCHAR Protocol, UCHAR InterfaceNumber,
                                 UCHAR StringIndex) {
    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(Device);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFMEMORY configMemory = NULL;
    WDFMEMORY deviceMemory = NULL;
    WDFMEMORY recordMemory = NULL;
    PVOID buffer = NULL;
    WCHAR valueName[64];
    ULONG disabled = 0;

    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP,
                "-->BusCompleteIdDescription: interface %u class %02x/%02x/%02x\n", InterfaceNumber,
                Class, SubClass, Protocol);

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;

    ULONG configLength = sizeof(USB_CONFIGURATION_DESCRIPTOR) + BundleLength;
    NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPool, BUS_POOL_TAG, configLength,
                                      &configMemory, &buffer);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusCompleteIdDescription: config 0x%x\n",
                    (unsigned)status);
        return FALSE;
    }
    PUSB_CONFIGURATION_DESCRIPTOR config = (PUSB_CONFIGURATION_DESCRIPTOR)buffer;
    RtlCopyMemory(config, parent->ConfigDescriptor, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    config->wTotalLength = (USHORT)configLength;
    config->bNumInterfaces = NumInterfaces;
    RtlCopyMemory((PUCHAR)config + sizeof(USB_CONFIGURATION_DESCRIPTOR), Bundle, BundleLength);

    status = WdfMemoryCreate(&attributes, NonPagedPool, BUS_POOL_TAG, sizeof(USB_DEVICE_DESCRIPTOR),
                             &deviceMemory, &buffer);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusCompleteIdDescription: device 0x%x\n",
                    (unsigned)status);
        return FALSE;
    }
    PUSB_DEVICE_DESCRIPTOR deviceDescriptor = (PUSB_DEVICE_DESCRIPTOR)buffer;
    *deviceDescriptor = parent->DeviceDescriptor;
    deviceDescriptor->bDeviceClass = Class;
    deviceDescriptor->bDeviceSubClass = SubClass;
    deviceDescriptor->bDeviceProtocol = Protocol;

    status = WdfMemoryCreate(&attributes, NonPagedPool, BUS_POOL_TAG,
                             sizeof(CHILD_IDENTIFICATION_DESCRIPTION), &recordMemory, &buffer);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusCompleteIdDescription: record 0x%x\n",
                    (unsigned)status);
        return FALSE;
    }
    PCHILD_IDENTIFICATION_DESCRIPTION description = (PCHILD_IDENTIFICATION_DESCRIPTION)buffer;
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&description->Header,
                                                     sizeof(CHILD_IDENTIFICATION_DESCRIPTION));
    description->Disabled = 0;
    description->InterfaceClass = Class;
    description->InterfaceSubClass = SubClass;
    description->InterfaceProtocol = Protocol;
    description->InterfaceNumber = InterfaceNumber;

    if (StringIndex != 0) {
        WDFMEMORY stringMemory = NULL;
        USHORT characters = 0;
        status =
            WdfUsbTargetDeviceAllocAndQueryString(parent->UsbDevice, &attributes, &stringMemory,
                                                  &characters, StringIndex, parent->LangId);
        if (!NT_SUCCESS(status)) {
            DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusCompleteIdDescription: string %u 0x%x\n",
                        StringIndex, (unsigned)status);
            return FALSE;
        }
        BusKeepString(stringMemory, characters, &description->InterfaceString);
    }

    description->DeviceDescriptor = deviceDescriptor;
    description->ConfigDescriptor = config;
    description->ConfigDescriptorLength = (USHORT)configLength;

    status = RtlStringCbPrintfW(valueName, sizeof(valueName), u"DisableIf_%02x", InterfaceNumber);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusCompleteIdDescription: name 0x%x\n",
                    (unsigned)status);
        return FALSE;
    }
    if (GetRegistrySoftwareKeyValue(Device, valueName, &disabled) && disabled != 0) {
        description->Disabled = 1;
    }

    status = WdfCollectionAdd(Collection, recordMemory);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusCompleteIdDescription: add 0x%x\n",
                    (unsigned)status);
        return FALSE;
    }
    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "<--BusCompleteIdDescription: disabled %u\n",
                description->Disabled);
    return TRUE;
}

// A vendor-specific or mass-storage interface with the descriptors that follow it.
BOOLEAN BusGenerateIdDescriptionFromSingleInterface(WDFDEVICE Device,
                                                    PUSB_INTERFACE_DESCRIPTOR Interface,
                                                    WDFCOLLECTION Collection) {
    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(Device);
    PUCHAR end = BusConfigEnd(parent);
    PUCHAR p = (PUCHAR)Interface;

    if (Interface->bLength == 0 || Interface->bLength > BusBytesLeft(p, end)) {
        return FALSE;
    }
    PUCHAR cursor = BusScanTrailingDescriptors(p + Interface->bLength, end);
    if (cursor == NULL) {
        return FALSE;
    }
    return BusCompleteIdDescription(Device, Collection, p, (ULONG)(cursor - p), 1,
                                    Interface->bInterfaceClass, Interface->bInterfaceSubClass,
                                    Interface->bInterfaceProtocol, Interface->bInterfaceNumber,
                                    Interface->iInterface);
}

}  // namespace

VOID BusKeepString(WDFMEMORY Memory, USHORT NumCharacters, PUNICODE_STRING String) {
    size_t size = 0;
    PWCHAR buffer = NULL;

    if (Memory != NULL) {
        buffer = (PWCHAR)WdfMemoryGetBuffer(Memory, &size);
    }
    // Never more characters than the memory holds.
    size_t characters = NumCharacters < size / sizeof(WCHAR) ? NumCharacters : size / sizeof(WCHAR);
    if (characters > 0 && buffer[characters - 1] == 0) {
        characters--;
    }
    String->Length = (USHORT)(characters * sizeof(WCHAR));
    String->MaximumLength = (USHORT)size;
    String->Buffer = buffer;
}

PUSB_COMMON_DESCRIPTOR BusFindNextFunctionDescriptor(PUSB_CONFIGURATION_DESCRIPTOR Config,
                                                     ULONG ConfigLength, PVOID Position) {
    PUSB_COMMON_DESCRIPTOR association = USBD_ParseDescriptors(
        Config, ConfigLength, Position, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
    PUSB_COMMON_DESCRIPTOR interface =
        USBD_ParseDescriptors(Config, ConfigLength, Position, USB_INTERFACE_DESCRIPTOR_TYPE);

    if (interface == NULL) {
        return NULL;
    }
    if (association != NULL && (PUCHAR)association < (PUCHAR)interface) {
        return association;
    }
    return interface;
}

BOOLEAN BusGenerateIdDescriptionFromInterfaceAssociation(
    WDFDEVICE Device, PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR Association, WDFCOLLECTION Collection,
    PUSHORT ConsumedLength) {
    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(Device);
    PUCHAR end = BusConfigEnd(parent);
    PUCHAR p = (PUCHAR)Association;

    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP,
                "-->BusGenerateIdDescriptionFromInterfaceAssociation\n");
    ULONG remaining = BusBytesLeft(p, end);
    if (remaining < sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) || Association->bLength == 0 ||
        Association->bLength > remaining) {
        return FALSE;
    }

    PUCHAR cursor = p + Association->bLength;
    for (ULONG i = 0; i < Association->bInterfaceCount; i++) {
        PUSB_INTERFACE_DESCRIPTOR q = (PUSB_INTERFACE_DESCRIPTOR)USBD_ParseDescriptors(
            parent->ConfigDescriptor, parent->ConfigDescriptorLength, cursor,
            USB_INTERFACE_DESCRIPTOR_TYPE);
        if (q == NULL) {
            return FALSE;
        }
        remaining = BusBytesLeft(q, end);
        if (q->bLength == 0 || q->bLength > remaining ||
            remaining <= offsetof(USB_INTERFACE_DESCRIPTOR, bInterfaceNumber)) {
            return FALSE;
        }
        if ((ULONG)q->bInterfaceNumber != (ULONG)Association->bFirstInterface + i) {
            DriverTrace(TRACE_LEVEL_WARNING, DBG_PNP,
                        "<--BusGenerateIdDescriptionFromInterfaceAssociation: interface %u "
                        "where %u belongs\n",
                        q->bInterfaceNumber, (unsigned)(Association->bFirstInterface + i));
            return FALSE;
        }
        cursor = (PUCHAR)q + q->bLength;
    }

    cursor = BusScanTrailingDescriptors(cursor, end);
    if (cursor == NULL) {
        return FALSE;
    }
    ULONG bundleLength = (ULONG)(cursor - p);
    *ConsumedLength = (USHORT)bundleLength;
    return BusCompleteIdDescription(Device, Collection, p, bundleLength,
                                    Association->bInterfaceCount, Association->bFunctionClass,
                                    Association->bFunctionSubClass, Association->bFunctionProtocol,
                                    Association->bFirstInterface, Association->iFunction);
}

BOOLEAN BusGenerateIdDescriptionFromCdcInterface(WDFDEVICE Device,
                                                 PUSB_INTERFACE_DESCRIPTOR Interface,
                                                 WDFCOLLECTION Collection) {
    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(Device);
    PUCHAR end = BusConfigEnd(parent);
    PUCHAR p = (PUCHAR)Interface;
    PUCHAR subordinates = NULL;
    ULONG subordinateCount = 0;

    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "-->BusGenerateIdDescriptionFromCdcInterface\n");
    if (Interface->bLength == 0 || Interface->bLength > BusBytesLeft(p, end)) {
        return FALSE;
    }

    PUCHAR cursor = p + Interface->bLength;
    while (cursor < end) {
        ULONG remaining = (ULONG)(end - cursor);
        if (remaining < sizeof(USB_COMMON_DESCRIPTOR)) {
            return FALSE;
        }
        PUSB_COMMON_DESCRIPTOR e = (PUSB_COMMON_DESCRIPTOR)cursor;
        if (e->bLength == 0 || e->bLength > remaining) {
            return FALSE;
        }
        // Byte 2 is the subtype of a functional descriptor and the number of an interface; a
        // descriptor of two bytes has neither.
        BOOLEAN hasThirdByte = e->bLength > 2;
        if (e->bDescriptorType == CS_INTERFACE_DESCRIPTOR_TYPE) {
            if (hasThirdByte && cursor[2] == CDC_UNION_SUBTYPE) {
                // bSubordinateInterface0 onward; a union shorter than 4 bytes names none.
                subordinates = cursor + 4;
                subordinateCount = e->bLength > 4 ? e->bLength - 4u : 0;
            }
        } else if (e->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE ||
                   e->bDescriptorType == CS_ENDPOINT_DESCRIPTOR_TYPE) {
            // Taken in.
        } else if (e->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && hasThirdByte) {
            BOOLEAN subordinate = FALSE;
            for (ULONG i = 0; i < subordinateCount; i++) {
                if (subordinates[i] == cursor[2]) {
                    subordinate = TRUE;
                    break;
                }
            }
            if (!subordinate) {
                break;
            }
        } else {
            break;
        }
        cursor += e->bLength;
    }

    return BusCompleteIdDescription(Device, Collection, p, (ULONG)(cursor - p),
                                    (UCHAR)(subordinateCount + 1), Interface->bInterfaceClass,
                                    Interface->bInterfaceSubClass, Interface->bInterfaceProtocol,
                                    Interface->bInterfaceNumber, Interface->iInterface);
}

BOOLEAN BusGenerateIdDescriptionFromVendorSpecificInterface(WDFDEVICE Device,
                                                            PUSB_INTERFACE_DESCRIPTOR Interface,
                                                            WDFCOLLECTION Collection) {
    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP,
                "-->BusGenerateIdDescriptionFromVendorSpecificInterface\n");
    return BusGenerateIdDescriptionFromSingleInterface(Device, Interface, Collection);
}

BOOLEAN BusGenerateIdDescriptionMscInterface(WDFDEVICE Device, PUSB_INTERFACE_DESCRIPTOR Interface,
                                             WDFCOLLECTION Collection) {
    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "-->BusGenerateIdDescriptionMscInterface\n");
    return BusGenerateIdDescriptionFromSingleInterface(Device, Interface, Collection);
}

NTSTATUS BusGenerateIdentificationDescriptions(WDFDEVICE Device, WDFCOLLECTION Collection) {
    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(Device);
    PUSB_CONFIGURATION_DESCRIPTOR config = parent->ConfigDescriptor;
    ULONG length = parent->ConfigDescriptorLength;
    PUCHAR end = BusConfigEnd(parent);

    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "-->BusGenerateIdentificationDescriptions\n");
    PUCHAR d = (PUCHAR)BusFindNextFunctionDescriptor(config, length, config);
    while (d != NULL) {
        PUCHAR next = NULL;
        BOOLEAN generated = TRUE;

        if (d[1] == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) {
            PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR association =
                (PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR)d;
            if (BusBytesLeft(d, end) < sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR)) {
                return STATUS_DEVICE_ENUMERATION_ERROR;
            }
            if (association->bFunctionClass == USB_DEVICE_CLASS_COMMUNICATIONS &&
                association->bFunctionSubClass == 0x0D) {
                // Not a function of its own: the descriptor behind it is classified as an
                // interface, whatever its type.
                d += association->bLength;
            } else {
                USHORT consumed = 0;
                if (!BusGenerateIdDescriptionFromInterfaceAssociation(Device, association,
                                                                      Collection, &consumed)) {
                    return STATUS_DEVICE_ENUMERATION_ERROR;
                }
                next = d + consumed;
            }
        }

        if (next == NULL) {
            // An interface classified here must lie inside the configuration; one that does
            // not (the association above was the last descriptor) ends the walk.
            if (BusBytesLeft(d, end) < sizeof(USB_INTERFACE_DESCRIPTOR)) {
                break;
            }
            PUSB_INTERFACE_DESCRIPTOR interface = (PUSB_INTERFACE_DESCRIPTOR)d;
            UCHAR subClass = interface->bInterfaceSubClass;
            switch (interface->bInterfaceClass) {
                case USB_DEVICE_CLASS_COMMUNICATIONS:
                    if ((subClass == 0x02 && interface->bInterfaceProtocol == 0x01) ||
                        subClass == 0x09 || subClass == 0x0A || subClass == 0x0D) {
                        generated =
                            BusGenerateIdDescriptionFromCdcInterface(Device, interface, Collection);
                    }
                    break;
                case USB_DEVICE_CLASS_STORAGE:
                    generated = BusGenerateIdDescriptionMscInterface(Device, interface, Collection);
                    break;
                case USB_DEVICE_CLASS_VENDOR_SPECIFIC:
                    generated = BusGenerateIdDescriptionFromVendorSpecificInterface(
                        Device, interface, Collection);
                    break;
                default:
                    // CDC data interfaces and every other class are not functions of their own.
                    break;
            }
            if (!generated) {
                return STATUS_DEVICE_ENUMERATION_ERROR;
            }
            next = d + interface->bLength;
        }

        if (next >= end) {
            break;
        }
        d = (PUCHAR)BusFindNextFunctionDescriptor(config, length, next);
    }
    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "<--BusGenerateIdentificationDescriptions\n");
    return STATUS_SUCCESS;
}

UCHAR BusCountInterfaces(PUSB_CONFIGURATION_DESCRIPTOR Config, ULONG ConfigLength) {
    UCHAR seen[256 / 8];
    ULONG count = 0;
    PUCHAR end = (PUCHAR)Config + ConfigLength;

    RtlZeroMemory(seen, sizeof(seen));
    PUCHAR d =
        (PUCHAR)USBD_ParseDescriptors(Config, ConfigLength, Config, USB_INTERFACE_DESCRIPTOR_TYPE);
    while (d != NULL && d[0] > offsetof(USB_INTERFACE_DESCRIPTOR, bInterfaceNumber)) {
        UCHAR number = d[offsetof(USB_INTERFACE_DESCRIPTOR, bInterfaceNumber)];
        if ((seen[number / 8] & (1u << (number % 8))) == 0) {
            seen[number / 8] |= (UCHAR)(1u << (number % 8));
            count++;
        }
        d += d[0];
        if (d >= end) {
            break;
        }
        d = (PUCHAR)USBD_ParseDescriptors(Config, ConfigLength, d, USB_INTERFACE_DESCRIPTOR_TYPE);
    }
    return (UCHAR)(count > 0xFF ? 0xFF : count);
}
