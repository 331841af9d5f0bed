// Child devices: the parent's default child list, the enumeration that reports the enabled
// functions, and the creation of each child PDO with its IDs, texts, capabilities, queue and the
// USB bus interface its function driver expects.
#include "bus.h"

// Each ID is formatted into a buffer of this size.
#define BUS_ID_BUFFER_BYTES 512

namespace {

// The values an ID is made of, by position in BUS_ID_FORMAT.Arguments.
enum BUS_ID_VALUE { IdVid, IdPid, IdRev, IdMi, IdClass, IdSubClass, IdProt, IdValueCount };

typedef struct _BUS_ID_FORMAT {
    PCWSTR Format;
    UCHAR Arguments[5];  // BUS_ID_VALUE of each conversion; the unused ones are ignored
} BUS_ID_FORMAT;

const BUS_ID_FORMAT BusDeviceIdFormat = {u"USB\\Vid_%04x&Pid_%04x&Mi_%02x", {IdVid, IdPid, IdMi}};

const BUS_ID_FORMAT BusHardwareIdFormats[] = {
    {u"USB\\Vid_%04x&Pid_%04x&Rev_%04x&Mi_%02x&Os_NT", {IdVid, IdPid, IdRev, IdMi}},
    {u"USB\\Vid_%04x&Pid_%04x&Rev_%04x&Mi_%02x", {IdVid, IdPid, IdRev, IdMi}},
    {u"USB\\Vid_%04x&Pid_%04x&Mi_%02x&Os_NT", {IdVid, IdPid, IdMi}},
    {u"USB\\Vid_%04x&Pid_%04x&Mi_%02x", {IdVid, IdPid, IdMi}},
    {u"USB\\Vid_%04x&Pid_%04x&Class_%02x&SubClass_%02x&Prot_%02x&Os_NT",
     {IdVid, IdPid, IdClass, IdSubClass, IdProt}},
    {u"USB\\Vid_%04x&Pid_%04x&Class_%02x&SubClass_%02x&Prot_%02x",
     {IdVid, IdPid, IdClass, IdSubClass, IdProt}},
    {u"USB\\Vid_%04x&Pid_%04x&Class_%02x&SubClass_%02x&Os_NT", {IdVid, IdPid, IdClass, IdSubClass}},
    {u"USB\\Vid_%04x&Pid_%04x&Class_%02x&SubClass_%02x", {IdVid, IdPid, IdClass, IdSubClass}},
    {u"USB\\Vid_%04x&Pid_%04x&Class_%02x&Os_NT", {IdVid, IdPid, IdClass}},
    {u"USB\\Vid_%04x&Pid_%04x&Class_%02x", {IdVid, IdPid, IdClass}},
};

const BUS_ID_FORMAT BusCompatibleIdFormats[] = {
    {u"USB\\Class_%02x&SubClass_%02x&Prot_%02x", {IdClass, IdSubClass, IdProt}},
    {u"USB\\Class_%02x&SubClass_%02x", {IdClass, IdSubClass}},
    {u"USB\\Class_%02x", {IdClass}},
};

// Formats one ID into Buffer (BUS_ID_BUFFER_BYTES) and points Id at it.
NTSTATUS BusFormatId(const BUS_ID_FORMAT* Format, const ULONG* Values, PWCHAR Buffer,
                     PUNICODE_STRING Id) {
    const UCHAR* a = Format->Arguments;
    NTSTATUS status = RtlStringCbPrintfW(Buffer, BUS_ID_BUFFER_BYTES, Format->Format, Values[a[0]],
                                         Values[a[1]], Values[a[2]], Values[a[3]], Values[a[4]]);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlInitUnicodeString(Id, Buffer);
    return STATUS_SUCCESS;
}

// Device ID, hardware IDs, compatible IDs and instance ID of the child.
NTSTATUS BusAssignIds(PPARENT_FDO_CONTEXT Parent, PCHILD_IDENTIFICATION_DESCRIPTION Description,
                      PWDFDEVICE_INIT ChildInit) {
    WCHAR buffer[BUS_ID_BUFFER_BYTES / sizeof(WCHAR)];
    UNICODE_STRING id;
    ULONG values[IdValueCount];

    values[IdVid] = Parent->DeviceDescriptor.idVendor;
    values[IdPid] = Parent->DeviceDescriptor.idProduct;
    values[IdRev] = Parent->DeviceDescriptor.bcdDevice;
    values[IdMi] = Description->InterfaceNumber;
    values[IdClass] = Description->InterfaceClass;
    values[IdSubClass] = Description->InterfaceSubClass;
    values[IdProt] = Description->InterfaceProtocol;

    NTSTATUS status = BusFormatId(&BusDeviceIdFormat, values, buffer, &id);
    if (NT_SUCCESS(status)) {
        status = WdfPdoInitAssignDeviceID(ChildInit, &id);
    }
    for (ULONG i = 0; NT_SUCCESS(status) && i < ARRAYSIZE(BusHardwareIdFormats); i++) {
        status = BusFormatId(&BusHardwareIdFormats[i], values, buffer, &id);
        if (NT_SUCCESS(status)) {
            status = WdfPdoInitAddHardwareID(ChildInit, &id);
        }
    }
    for (ULONG i = 0; NT_SUCCESS(status) && i < ARRAYSIZE(BusCompatibleIdFormats); i++) {
        status = BusFormatId(&BusCompatibleIdFormats[i], values, buffer, &id);
        if (NT_SUCCESS(status)) {
            status = WdfPdoInitAddCompatibleID(ChildInit, &id);
        }
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // Instance ID: the handset's serial number and the interface when the lower stack says the
    // serial number is unique, the interface alone otherwise.
    id.Buffer = buffer;
    id.Length = 0;
    id.MaximumLength = sizeof(buffer);
    if (Parent->DeviceCapabilities.UniqueID) {
        WCHAR suffixBuffer[8];
        UNICODE_STRING suffix;
        suffix.Buffer = suffixBuffer;
        suffix.Length = 0;
        suffix.MaximumLength = sizeof(suffixBuffer);
        status = RtlUnicodeStringCopy(&id, &Parent->SerialNumberString);
        if (NT_SUCCESS(status)) {
            status = RtlUnicodeStringPrintf(&suffix, u"_%02x", (ULONG)Description->InterfaceNumber);
        }
        if (NT_SUCCESS(status)) {
            status = RtlUnicodeStringCat(&id, &suffix);
        }
    } else {
        status = RtlUnicodeStringPrintf(&id, u"%02x", (ULONG)Description->InterfaceNumber);
    }
    if (NT_SUCCESS(status)) {
        status = WdfPdoInitAssignInstanceID(ChildInit, &id);
    }
    return status;
}

}  // namespace

VOID BusInitChildList(PWDFDEVICE_INIT DeviceInit) {
    WDF_CHILD_LIST_CONFIG config;

    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "-->BusInitChildList\n");
    WDF_CHILD_LIST_CONFIG_INIT(&config, sizeof(CHILD_IDENTIFICATION_DESCRIPTION),
                               BusEvtChildListCreateDevice);
    config.EvtChildListDeviceReenumerated = BusEvtChildListDeviceReenumerated;
    WdfFdoInitSetDefaultChildListConfig(DeviceInit, &config, WDF_NO_OBJECT_ATTRIBUTES);
}

NTSTATUS BusEnumerateChildren(WDFDEVICE Device) {
    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(Device);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFCOLLECTION collection = NULL;

    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "-->BusEnumerateChildren\n");
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    NTSTATUS status = WdfCollectionCreate(&attributes, &collection);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusEnumerateChildren: collection 0x%x\n",
                    (unsigned)status);
        return status;
    }
    // The previous collection stays with the device until it is deleted.
    parent->IdDescriptionCollection = collection;

    status = BusGenerateIdentificationDescriptions(Device, collection);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusEnumerateChildren: walk 0x%x\n",
                    (unsigned)status);
        return status;
    }

    ULONG count = WdfCollectionGetCount(collection);
    WDFCHILDLIST list = WdfFdoGetDefaultChildList(Device);
    // The walk describes each alternate setting of a vendor-specific or mass-storage interface
    // as a function of its own. Their children would share one device and instance ID, which
    // the PnP manager treats as a fatal duplicate, so only the first description of an
    // interface number is reported.
    UCHAR reported[256 / 8] = {};
    WdfChildListBeginScan(list);
    for (ULONG i = 0; i < count; i++) {
        WDFMEMORY memory = (WDFMEMORY)WdfCollectionGetItem(collection, i);
        PCHILD_IDENTIFICATION_DESCRIPTION description =
            (PCHILD_IDENTIFICATION_DESCRIPTION)WdfMemoryGetBuffer(memory, NULL);
        if (description->Disabled) {
            continue;
        }
        const UCHAR number = description->InterfaceNumber;
        const UCHAR bit = (UCHAR)(1u << (number % 8));
        if (reported[number / 8] & bit) {
            DriverTrace(TRACE_LEVEL_WARNING, DBG_PNP,
                        "   BusEnumerateChildren: interface %u described again, not reported\n",
                        number);
            continue;
        }
        reported[number / 8] |= bit;
        status = WdfChildListAddOrUpdateChildDescriptionAsPresent(list, &description->Header, NULL);
        if (!NT_SUCCESS(status)) {
            DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP,
                        "   BusEnumerateChildren: add of interface %u 0x%x\n",
                        description->InterfaceNumber, (unsigned)status);
        }
    }
    WdfChildListEndScan(list);
    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "<--BusEnumerateChildren: 0x%x\n", (unsigned)status);
    return status;
}

VOID BusRemoveChildren(WDFDEVICE Device) {
    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "-->BusRemoveChildren\n");
    WDFCHILDLIST list = WdfFdoGetDefaultChildList(Device);
    WdfChildListBeginScan(list);
    WdfChildListEndScan(list);
}

NTSTATUS BusEvtChildListCreateDevice(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
    PWDFDEVICE_INIT ChildInit) {
    PCHILD_IDENTIFICATION_DESCRIPTION description =
        CONTAINING_RECORD(IdentificationDescription, CHILD_IDENTIFICATION_DESCRIPTION, Header);
    WDFDEVICE parentDevice = WdfChildListGetDevice(ChildList);
    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(parentDevice);
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DEVICE_PNP_CAPABILITIES pnpCaps;
    WDF_DEVICE_POWER_CAPABILITIES powerCaps;
    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_QUERY_INTERFACE_CONFIG interfaceConfig;
    WDFDEVICE device = NULL;
    WDFQUEUE queue = NULL;

    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "-->BusEvtChildListCreateDevice: interface %u\n",
                description->InterfaceNumber);
    WdfDeviceInitSetDeviceType(ChildInit, FILE_DEVICE_BUS_EXTENDER);

    NTSTATUS status = BusAssignIds(parent, description, ChildInit);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusEvtChildListCreateDevice: IDs 0x%x\n",
                    (unsigned)status);
        return status;
    }

    status = WdfPdoInitAddDeviceText(ChildInit, &description->InterfaceString,
                                     &parent->ProductString, parent->LangId);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusEvtChildListCreateDevice: text 0x%x\n",
                    (unsigned)status);
        return status;
    }
    WdfPdoInitSetDefaultLocale(ChildInit, parent->LangId);
    WdfPdoInitAllowForwardingRequestToParent(ChildInit);

    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDeviceD0Entry = ChildPdoEvtDeviceD0Entry;
    callbacks.EvtDeviceD0Exit = ChildPdoEvtDeviceD0Exit;
    callbacks.EvtDeviceSurpriseRemoval = ChildPdoEvtDeviceSurpriseRemoval;
    callbacks.EvtDeviceQueryRemove = ChildPdoEvtDeviceQueryRemove;
    callbacks.EvtDeviceQueryStop = ChildPdoEvtDeviceQueryStop;
    WdfDeviceInitSetPnpPowerEventCallbacks(ChildInit, &callbacks);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, CHILD_PDO_CONTEXT);
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    status = WdfDeviceCreate(&ChildInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusEvtChildListCreateDevice: create 0x%x\n",
                    (unsigned)status);
        return status;
    }
    PCHILD_PDO_CONTEXT child = GetChildPdoContext(device);
    child->Device = device;
    child->WdmDeviceObject = WdfDeviceWdmGetDeviceObject(device);
    child->ParentDevice = parentDevice;

    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnpCaps);
    pnpCaps.Removable = WdfFalse;
    pnpCaps.UniqueID = parent->DeviceCapabilities.UniqueID ? WdfTrue : WdfFalse;
    pnpCaps.Address = description->InterfaceNumber;
    pnpCaps.UINumber = 0xFFFFFFFF;
    WdfDeviceSetPnpCapabilities(device, &pnpCaps);

    WDF_DEVICE_POWER_CAPABILITIES_INIT(&powerCaps);
    powerCaps.DeviceD1 = WdfTrue;
    powerCaps.DeviceD2 = WdfTrue;
    powerCaps.WakeFromD0 = WdfTrue;
    powerCaps.WakeFromD1 = WdfTrue;
    powerCaps.WakeFromD2 = WdfTrue;
    powerCaps.WakeFromD3 = WdfFalse;
    powerCaps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    powerCaps.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    powerCaps.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    powerCaps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    powerCaps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    powerCaps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    powerCaps.DeviceWake = PowerDeviceD2;
    powerCaps.SystemWake = PowerSystemSleeping3;
    WdfDeviceSetPowerCapabilities(device, &powerCaps);

    child->ParentQueue = parent->DefaultQueue;

    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.PowerManaged = WdfFalse;
    queueConfig.AllowZeroLengthRequests = FALSE;
    queueConfig.EvtIoDefault = ChildPdoEvtIoDefault;
    queueConfig.EvtIoDeviceControl = ChildPdoEvtIoDeviceControl;
    queueConfig.EvtIoInternalDeviceControl = ChildPdoEvtIoInternalDeviceControl;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.SynchronizationScope = WdfSynchronizationScopeNone;
    status = WdfIoQueueCreate(device, &queueConfig, &attributes, &queue);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusEvtChildListCreateDevice: queue 0x%x\n",
                    (unsigned)status);
        return status;
    }

    WDF_QUERY_INTERFACE_CONFIG_INIT(&interfaceConfig, (PINTERFACE)&parent->UsbBusInterface,
                                    &USB_BUS_INTERFACE_USBDI_GUID, NULL);
    interfaceConfig.SendQueryToParentStack = FALSE;
    interfaceConfig.ImportInterface = FALSE;
    status = WdfDeviceAddQueryInterface(device, &interfaceConfig);
    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "<--BusEvtChildListCreateDevice: 0x%x\n",
                (unsigned)status);
    return status;
}

BOOLEAN BusEvtChildListDeviceReenumerated(WDFCHILDLIST ChildList, WDFDEVICE OldDevice,
                                          PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER OldAddress,
                                          PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER NewAddress) {
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_PNP,
                "   BusEvtChildListDeviceReenumerated: refused\n");
    return FALSE;
}

NTSTATUS ChildPdoEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState) {
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_POWER, "   ChildPdoEvtDeviceD0Entry: from %s\n",
                GetDevicePowerStateName(PreviousState));
    GetChildPdoContext(Device)->DevicePowerState = WdfPowerDeviceD0;
    return STATUS_SUCCESS;
}

NTSTATUS ChildPdoEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState) {
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_POWER, "   ChildPdoEvtDeviceD0Exit: to %s\n",
                GetDevicePowerStateName(TargetState));
    GetChildPdoContext(Device)->DevicePowerState = TargetState;
    return STATUS_SUCCESS;
}

VOID ChildPdoEvtDeviceSurpriseRemoval(WDFDEVICE Device) {
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_PNP, "   ChildPdoEvtDeviceSurpriseRemoval\n");
}

NTSTATUS ChildPdoEvtDeviceQueryRemove(WDFDEVICE Device) {
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_PNP, "   ChildPdoEvtDeviceQueryRemove\n");
    return STATUS_SUCCESS;
}

NTSTATUS ChildPdoEvtDeviceQueryStop(WDFDEVICE Device) {
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_PNP, "   ChildPdoEvtDeviceQueryStop\n");
    return STATUS_SUCCESS;
}
