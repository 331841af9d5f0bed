// Driver entry and the parent device: the driver-wide collection of live parents, device add,
// the start (capabilities of the lower stack, USB set-up, configuration selection, first
// enumeration), the stop, and the cleanup that hands a waiting enumeration to another parent of
// the same handset.
#include "bus.h"
#include "vel_wdf_usb.h"

namespace {

PDRIVER_CONTEXT BusDriverContext(WDFDEVICE Device) {
    return GetDriverContext(WdfDeviceGetDriver(Device));
}

// Asks the lower stack for the device's capabilities with an IRP of our own, sent through the
// device's default I/O target and waited for.
NTSTATUS BusQueryCapabilities(PPARENT_FDO_CONTEXT Parent) {
    WDFREQUEST request = NULL;
    IO_STACK_LOCATION stack;
    WDF_REQUEST_SEND_OPTIONS options;

    PIRP irp = IoAllocateIrp(Parent->WdmDeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = WdfRequestCreateFromIrp(WDF_NO_OBJECT_ATTRIBUTES, irp, TRUE, &request);
    if (!NT_SUCCESS(status)) {
        IoFreeIrp(irp);
        return status;
    }

    RtlZeroMemory(&Parent->DeviceCapabilities, sizeof(DEVICE_CAPABILITIES));
    Parent->DeviceCapabilities.Size = sizeof(DEVICE_CAPABILITIES);
    Parent->DeviceCapabilities.Version = 1;
    Parent->DeviceCapabilities.Address = 0xFFFFFFFF;
    Parent->DeviceCapabilities.UINumber = 0xFFFFFFFF;

    RtlZeroMemory(&stack, sizeof(stack));
    stack.MajorFunction = IRP_MJ_PNP;
    stack.MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    stack.Parameters.DeviceCapabilities.Capabilities = &Parent->DeviceCapabilities;
    WdfRequestWdmFormatUsingStackLocation(request, &stack);

    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    WdfRequestSend(request, WdfDeviceGetIoTarget(Parent->Device), &options);
    // Whether or not the send itself failed, the request carries the outcome.
    status = WdfRequestGetStatus(request);
    WdfObjectDelete(request);
    return status;
}

// Reads one string descriptor of the handset in LangId into String.
NTSTATUS BusQueryString(PPARENT_FDO_CONTEXT Parent, UCHAR Index, PUNICODE_STRING String,
                        PUSHORT NumCharacters) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFMEMORY memory = NULL;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Parent->Device;
    NTSTATUS status = WdfUsbTargetDeviceAllocAndQueryString(Parent->UsbDevice, &attributes, &memory,
                                                            NumCharacters, Index, Parent->LangId);
    if (NT_SUCCESS(status)) {
        BusKeepString(memory, *NumCharacters, String);
    }
    return status;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DRIVER_CONFIG config;
    WDFDRIVER driver = NULL;

    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_DRIVER, "-->DriverEntry\n");
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DRIVER_CONTEXT);
    attributes.EvtCleanupCallback = EvtDriverContextCleanup;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_DRIVER, "<--DriverEntry: WdfDriverCreate 0x%x\n",
                    (unsigned)status);
        return status;
    }
    ReadTraceSettings(driver);

    PDRIVER_CONTEXT context = GetDriverContext(driver);
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = driver;
    status = WdfCollectionCreate(&attributes, &context->ParentDeviceCollection);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_DRIVER, "<--DriverEntry: collection 0x%x\n",
                    (unsigned)status);
        return status;
    }
    status = WdfWaitLockCreate(&attributes, &context->ParentDeviceLock);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_DRIVER, "<--DriverEntry: lock 0x%x\n", (unsigned)status);
        return status;
    }
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_DRIVER, "<--DriverEntry\n");
    return STATUS_SUCCESS;
}

NTSTATUS EvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_DEVICE_PNP_CAPABILITIES pnpCaps;
    WDF_DEVICE_POWER_CAPABILITIES powerCaps;
    WDF_IO_QUEUE_CONFIG queueConfig;
    PNP_BUS_INFORMATION busInformation;
    WDFDEVICE device = NULL;
    WDFMEMORY location = NULL;
    ULONG instanceNumber = 0;

    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_PNP, "-->EvtDeviceAdd\n");
    NTSTATUS status = GetInstanceNumber(DeviceInit, Driver, &instanceNumber);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--EvtDeviceAdd: instance number 0x%x\n",
                    (unsigned)status);
        return status;
    }

    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_BUS_EXTENDER);
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    WdfDeviceInitSetRequestAttributes(DeviceInit, &attributes);

    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDeviceD0Entry = ParentFdoEvtDeviceD0Entry;
    callbacks.EvtDeviceD0Exit = ParentFdoEvtDeviceD0Exit;
    callbacks.EvtDevicePrepareHardware = EvtPrepareHardware;
    callbacks.EvtDeviceReleaseHardware = EvtReleaseHardware;
    callbacks.EvtDeviceSurpriseRemoval = ParentFdoEvtDeviceSurpriseRemoval;
    callbacks.EvtDeviceQueryRemove = ParentFdoEvtDeviceQueryRemove;
    callbacks.EvtDeviceQueryStop = ParentFdoEvtDeviceQueryStop;
    callbacks.EvtDeviceRelationsQuery = ParentFdoEvtDeviceRelationsQuery;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &callbacks);

    BusInitChildList(DeviceInit);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PARENT_FDO_CONTEXT);
    attributes.EvtCleanupCallback = EvtDeviceContextCleanup;
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--EvtDeviceAdd: WdfDeviceCreate 0x%x\n",
                    (unsigned)status);
        return status;
    }

    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(device);
    parent->WdmDriverObject = WdfDriverWdmGetDriverObject(Driver);
    parent->Device = device;
    parent->WdmDeviceObject = WdfDeviceWdmGetDeviceObject(device);
    parent->InstanceNumber = instanceNumber;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    status = WdfDeviceAllocAndQueryProperty(device, DevicePropertyLocationInformation, NonPagedPool,
                                            &attributes, &location);
    if (NT_SUCCESS(status)) {
        size_t size = 0;
        size_t length = 0;
        PWCHAR text = (PWCHAR)WdfMemoryGetBuffer(location, &size);
        // The property is terminated; a text that is not still ends with its memory.
        if (!NT_SUCCESS(RtlStringCbLengthW(text, size, &length))) {
            length = size & ~(size_t)1;
        }
        parent->LocationInformation.Buffer = text;
        parent->LocationInformation.Length = (USHORT)length;
        parent->LocationInformation.MaximumLength = (USHORT)size;
    } else {
        DriverTrace(TRACE_LEVEL_WARNING, DBG_PNP, "   EvtDeviceAdd: no location 0x%x\n",
                    (unsigned)status);
    }

    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnpCaps);
    pnpCaps.SurpriseRemovalOK = WdfFalse;
    pnpCaps.Address = 0xFFFFFFFF;
    pnpCaps.UINumber = 0xFFFFFFFF;
    WdfDeviceSetPnpCapabilities(device, &pnpCaps);

    WDF_DEVICE_POWER_CAPABILITIES_INIT(&powerCaps);
    WdfDeviceSetPowerCapabilities(device, &powerCaps);

    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.PowerManaged = WdfUseDefault;
    queueConfig.AllowZeroLengthRequests = FALSE;
    queueConfig.EvtIoDefault = ParentFdoEvtIoDefault;
    queueConfig.EvtIoDeviceControl = ParentFdoEvtIoDeviceControl;
    queueConfig.EvtIoInternalDeviceControl = ParentFdoEvtIoInternalDeviceControl;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.SynchronizationScope = WdfSynchronizationScopeNone;
    status = WdfIoQueueCreate(device, &queueConfig, &attributes, &parent->DefaultQueue);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--EvtDeviceAdd: queue 0x%x\n", (unsigned)status);
        return status;
    }

    busInformation.BusTypeGuid = GUID_BUS_TYPE_USB;
    busInformation.LegacyBusType = PNPBus;
    busInformation.BusNumber = 0;
    WdfDeviceSetBusInformationForChildren(device, &busInformation);

    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_PNP, "<--EvtDeviceAdd: instance %u\n",
                (unsigned)instanceNumber);
    return STATUS_SUCCESS;
}

NTSTATUS EvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                            WDFCMRESLIST ResourcesTranslated) {
    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(Device);
    PDRIVER_CONTEXT driver = BusDriverContext(Device);

    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_PNP, "-->EvtPrepareHardware\n");
    NTSTATUS status = BusQueryCapabilities(parent);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--EvtPrepareHardware: capabilities 0x%x\n",
                    (unsigned)status);
        return status;
    }
    status = BusUsbInit(Device);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--EvtPrepareHardware: USB 0x%x\n",
                    (unsigned)status);
        return status;
    }

    WdfWaitLockAcquire(driver->ParentDeviceLock, NULL);
    // Another live parent of the same handset keeps the children until it is cleaned up. A
    // restarted device finds itself in the collection: it is neither a reason to wait nor added
    // a second time.
    parent->EnumChildrenPending = FALSE;
    BOOLEAN member = FALSE;
    ULONG count = WdfCollectionGetCount(driver->ParentDeviceCollection);
    for (ULONG i = 0; i < count; i++) {
        WDFDEVICE other = (WDFDEVICE)WdfCollectionGetItem(driver->ParentDeviceCollection, i);
        if (other == Device) {
            member = TRUE;
        } else if (GetParentFdoContext(other)->InstanceNumber == parent->InstanceNumber) {
            parent->EnumChildrenPending = TRUE;
        }
    }
    if (!member) {
        status = WdfCollectionAdd(driver->ParentDeviceCollection, Device);
        if (!NT_SUCCESS(status)) {
            WdfWaitLockRelease(driver->ParentDeviceLock);
            DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--EvtPrepareHardware: add 0x%x\n",
                        (unsigned)status);
            return status;
        }
    }
    status = STATUS_SUCCESS;
    if (!parent->EnumChildrenPending) {
        status = BusEnumerateChildren(Device);
    }
    WdfWaitLockRelease(driver->ParentDeviceLock);
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_PNP, "<--EvtPrepareHardware: 0x%x pending %u\n",
                (unsigned)status, parent->EnumChildrenPending);
    return status;
}

NTSTATUS BusUsbInit(WDFDEVICE Device) {
    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(Device);
    WDF_USB_DEVICE_INFORMATION information;

    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "-->BusUsbInit\n");
    NTSTATUS status = WdfFdoQueryForInterface(
        Device, &USB_BUS_INTERFACE_USBDI_GUID, (PINTERFACE)&parent->UsbBusInterface,
        sizeof(USB_BUS_INTERFACE_USBDI_V1), USB_BUSIF_USBDI_VERSION_1, parent->UsbBusInterfaceData);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusUsbInit: bus interface 0x%x\n",
                    (unsigned)status);
        return status;
    }
    if (parent->UsbDevice == NULL) {
        status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &parent->UsbDevice);
        if (!NT_SUCCESS(status)) {
            DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusUsbInit: USB target 0x%x\n",
                        (unsigned)status);
            return status;
        }
    }
    WDF_USB_DEVICE_INFORMATION_INIT(&information);
    status = WdfUsbTargetDeviceRetrieveInformation(parent->UsbDevice, &information);
    if (NT_SUCCESS(status)) {
        parent->UsbDeviceTraits = information.Traits;
    }
    return BusUsbSetConfiguration(Device);
}

NTSTATUS BusUsbSetConfiguration(WDFDEVICE Device) {
    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(Device);
    PUSB_DEVICE_DESCRIPTOR descriptor = &parent->DeviceDescriptor;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDFMEMORY memory = NULL;
    PVOID buffer = NULL;
    size_t size = 0;
    USHORT characters = 0;

    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "-->BusUsbSetConfiguration\n");
    WdfUsbTargetDeviceGetDeviceDescriptor(parent->UsbDevice, descriptor);
    BOOLEAN accepted =
        (descriptor->bDeviceClass == 0x00 && descriptor->bDeviceSubClass == 0x00 &&
         descriptor->bDeviceProtocol == 0x00) ||
        (descriptor->bDeviceClass == USB_DEVICE_CLASS_MISCELLANEOUS &&
         descriptor->bDeviceSubClass == 0x02 && descriptor->bDeviceProtocol == 0x01) ||
        descriptor->bDeviceClass == USB_DEVICE_CLASS_COMMUNICATIONS;
    if (!accepted) {
        DriverTrace(
            TRACE_LEVEL_ERROR, DBG_PNP, "<--BusUsbSetConfiguration: device class %02x/%02x/%02x\n",
            descriptor->bDeviceClass, descriptor->bDeviceSubClass, descriptor->bDeviceProtocol);
        return STATUS_UNSUCCESSFUL;
    }
    descriptor->bNumConfigurations = 1;

    // String descriptor 0: the languages.
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    NTSTATUS status = WdfUsbTargetDeviceAllocAndQueryString(parent->UsbDevice, &attributes, &memory,
                                                            &characters, 0, 0);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusUsbSetConfiguration: languages 0x%x\n",
                    (unsigned)status);
        return status;
    }
    if (memory != NULL) {
        buffer = WdfMemoryGetBuffer(memory, &size);
    }
    if (size < sizeof(USHORT)) {
        // No language: the device is left unconfigured and reports no function.
        if (memory != NULL) {
            WdfObjectDelete(memory);
        }
        DriverTrace(TRACE_LEVEL_WARNING, DBG_PNP, "<--BusUsbSetConfiguration: no language\n");
        return status;
    }
    parent->LangId = (USHORT)(((PUCHAR)buffer)[0] | ((PUCHAR)buffer)[1] << 8);
    WdfObjectDelete(memory);

    status = BusQueryString(parent, descriptor->iProduct, &parent->ProductString, &characters);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusUsbSetConfiguration: product 0x%x\n",
                    (unsigned)status);
        return status;
    }
    status =
        BusQueryString(parent, descriptor->iSerialNumber, &parent->SerialNumberString, &characters);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusUsbSetConfiguration: serial 0x%x\n",
                    (unsigned)status);
        return status;
    }
    if (characters == 0) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusUsbSetConfiguration: empty serial\n");
        return STATUS_UNSUCCESSFUL;
    }

    USHORT configLength = 0;
    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(parent->UsbDevice, NULL, &configLength);
    if (status != STATUS_BUFFER_TOO_SMALL || configLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusUsbSetConfiguration: config size 0x%x\n",
                    (unsigned)status);
        return status;
    }
    status =
        WdfMemoryCreate(&attributes, NonPagedPool, BUS_POOL_TAG, configLength, &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(parent->UsbDevice, buffer, &configLength);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusUsbSetConfiguration: config 0x%x\n",
                    (unsigned)status);
        return status;
    }
    PUSB_CONFIGURATION_DESCRIPTOR config = (PUSB_CONFIGURATION_DESCRIPTOR)buffer;
    if (configLength < config->wTotalLength) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusUsbSetConfiguration: %u bytes of %u\n",
                    configLength, config->wTotalLength);
        return STATUS_DEVICE_ENUMERATION_ERROR;
    }
    parent->ConfigDescriptor = config;
    parent->ConfigDescriptorLength = configLength;

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, NULL);
    status = WdfUsbTargetDeviceSelectConfig(parent->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusUsbSetConfiguration: select 0x%x\n",
                    (unsigned)status);
        return status;
    }
    parent->ConfigurationHandle = WdfUsbTargetDeviceWdmGetConfigurationHandle(parent->UsbDevice);
    if (parent->ConfigurationHandle == NULL) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--BusUsbSetConfiguration: no handle\n");
        return STATUS_UNSUCCESSFUL;
    }
    parent->NumberOfInterfaces = BusCountInterfaces(config, configLength);
    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "<--BusUsbSetConfiguration: %u interfaces\n",
                parent->NumberOfInterfaces);
    return STATUS_SUCCESS;
}

NTSTATUS EvtReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated) {
    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(Device);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;

    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_PNP, "-->EvtReleaseHardware\n");
    BusRemoveChildren(Device);
    if (parent->UsbDevice != NULL) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
        NTSTATUS status =
            WdfUsbTargetDeviceSelectConfig(parent->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
        if (!NT_SUCCESS(status)) {
            DriverTrace(TRACE_LEVEL_WARNING, DBG_PNP, "   EvtReleaseHardware: deconfigure 0x%x\n",
                        (unsigned)status);
        }
    }
    // Nothing is selected any more.
    parent->NumberOfInterfaces = 0;
    return STATUS_SUCCESS;
}

VOID EvtDeviceContextCleanup(WDFOBJECT Object) {
    WDFDEVICE device = (WDFDEVICE)Object;
    PPARENT_FDO_CONTEXT parent = GetParentFdoContext(device);
    PDRIVER_CONTEXT driver = BusDriverContext(device);

    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_PNP, "-->EvtDeviceContextCleanup\n");
    WdfWaitLockAcquire(driver->ParentDeviceLock, NULL);
    // A device whose start failed before it joined is not in the collection.
    ULONG count = WdfCollectionGetCount(driver->ParentDeviceCollection);
    for (ULONG i = 0; i < count; i++) {
        if (WdfCollectionGetItem(driver->ParentDeviceCollection, i) == device) {
            WdfCollectionRemoveItem(driver->ParentDeviceCollection, i);
            break;
        }
    }
    // Hand the children over to the first waiting parent of the same handset that can
    // enumerate them.
    count = WdfCollectionGetCount(driver->ParentDeviceCollection);
    for (ULONG i = 0; i < count; i++) {
        WDFDEVICE other = (WDFDEVICE)WdfCollectionGetItem(driver->ParentDeviceCollection, i);
        PPARENT_FDO_CONTEXT otherParent = GetParentFdoContext(other);
        if (otherParent->InstanceNumber == parent->InstanceNumber &&
            otherParent->EnumChildrenPending && NT_SUCCESS(BusEnumerateChildren(other))) {
            otherParent->EnumChildrenPending = FALSE;
            break;
        }
    }
    WdfWaitLockRelease(driver->ParentDeviceLock);
}

NTSTATUS ParentFdoEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState) {
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_POWER, "   ParentFdoEvtDeviceD0Entry: from %s\n",
                GetDevicePowerStateName(PreviousState));
    GetParentFdoContext(Device)->DevicePowerState = WdfPowerDeviceD0;
    return STATUS_SUCCESS;
}

NTSTATUS ParentFdoEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState) {
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_POWER, "   ParentFdoEvtDeviceD0Exit: to %s\n",
                GetDevicePowerStateName(TargetState));
    GetParentFdoContext(Device)->DevicePowerState = TargetState;
    return STATUS_SUCCESS;
}

VOID ParentFdoEvtDeviceSurpriseRemoval(WDFDEVICE Device) {
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_PNP, "   ParentFdoEvtDeviceSurpriseRemoval\n");
}

NTSTATUS ParentFdoEvtDeviceQueryRemove(WDFDEVICE Device) {
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_PNP, "   ParentFdoEvtDeviceQueryRemove\n");
    return STATUS_SUCCESS;
}

NTSTATUS ParentFdoEvtDeviceQueryStop(WDFDEVICE Device) {
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_PNP, "   ParentFdoEvtDeviceQueryStop\n");
    return STATUS_SUCCESS;
}

VOID ParentFdoEvtDeviceRelationsQuery(WDFDEVICE Device, DEVICE_RELATION_TYPE RelationType) {
    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "   ParentFdoEvtDeviceRelationsQuery: %d\n",
                (int)RelationType);
}
