// Devices as the drivers see them: device init settings, PnP/power callbacks, file-object
// configuration, capabilities, child lists and PDO identification, query interfaces and WMI.
// Included by vel_wdf.h before the function list.
#pragma once

typedef enum _WDF_TRI_STATE {
    WdfFalse = FALSE,
    WdfTrue = TRUE,
    WdfUseDefault = 2,
} WDF_TRI_STATE,
    *PWDF_TRI_STATE;

// ---------------------------------------------------------------------------------------------
// Device init.

typedef enum _WDF_DEVICE_IO_TYPE {
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither,
    WdfDeviceIoBuffered,
    WdfDeviceIoDirect,
} WDF_DEVICE_IO_TYPE;

typedef NTSTATUS (*PFN_WDFDEVICE_WDM_IRP_PREPROCESS)(WDFDEVICE Device, PIRP Irp);

// ---------------------------------------------------------------------------------------------
// PnP and power callbacks.

typedef enum _WDF_SPECIAL_FILE_TYPE {
    WdfSpecialFileUndefined = 0,
    WdfSpecialFilePaging = 1,
    WdfSpecialFileHibernation,
    WdfSpecialFileDump,
    WdfSpecialFileMax,
} WDF_SPECIAL_FILE_TYPE;

typedef NTSTATUS (*PFN_WDF_DEVICE_D0_ENTRY)(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef NTSTATUS (*PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED)(
    WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef NTSTATUS (*PFN_WDF_DEVICE_D0_EXIT)(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef NTSTATUS (*PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED)(
    WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef NTSTATUS (*PFN_WDF_DEVICE_PREPARE_HARDWARE)(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                    WDFCMRESLIST ResourcesTranslated);
typedef NTSTATUS (*PFN_WDF_DEVICE_RELEASE_HARDWARE)(WDFDEVICE Device,
                                                    WDFCMRESLIST ResourcesTranslated);
typedef VOID (*PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP)(WDFDEVICE Device);
typedef VOID (*PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH)(WDFDEVICE Device);
typedef NTSTATUS (*PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT)(WDFDEVICE Device);
typedef NTSTATUS (*PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND)(WDFDEVICE Device);
typedef NTSTATUS (*PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART)(WDFDEVICE Device);
typedef VOID (*PFN_WDF_DEVICE_SURPRISE_REMOVAL)(WDFDEVICE Device);
typedef NTSTATUS (*PFN_WDF_DEVICE_QUERY_REMOVE)(WDFDEVICE Device);
typedef NTSTATUS (*PFN_WDF_DEVICE_QUERY_STOP)(WDFDEVICE Device);
typedef VOID (*PFN_WDF_DEVICE_USAGE_NOTIFICATION)(WDFDEVICE Device,
                                                  WDF_SPECIAL_FILE_TYPE NotificationType,
                                                  BOOLEAN IsInNotificationPath);
typedef VOID (*PFN_WDF_DEVICE_RELATIONS_QUERY)(WDFDEVICE Device, DEVICE_RELATION_TYPE RelationType);

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
    PFN_WDF_DEVICE_QUERY_STOP EvtDeviceQueryStop;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION EvtDeviceUsageNotification;
    PFN_WDF_DEVICE_RELATIONS_QUERY EvtDeviceRelationsQuery;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

inline VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks) {
    RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

// ---------------------------------------------------------------------------------------------
// File objects.

typedef enum _WDF_FILEOBJECT_CLASS {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
    WdfFileObjectCanBeOptional = 0x80000000,
} WDF_FILEOBJECT_CLASS;

typedef VOID (*PFN_WDF_DEVICE_FILE_CREATE)(WDFDEVICE Device, WDFREQUEST Request,
                                           WDFFILEOBJECT FileObject);
typedef VOID (*PFN_WDF_FILE_CLOSE)(WDFFILEOBJECT FileObject);
typedef VOID (*PFN_WDF_FILE_CLEANUP)(WDFFILEOBJECT FileObject);

typedef struct _WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

inline VOID WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG Config,
                                       PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                       PFN_WDF_FILE_CLOSE EvtFileClose,
                                       PFN_WDF_FILE_CLEANUP EvtFileCleanup) {
    RtlZeroMemory(Config, sizeof(WDF_FILEOBJECT_CONFIG));
    Config->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    Config->EvtDeviceFileCreate = EvtDeviceFileCreate;
    Config->EvtFileClose = EvtFileClose;
    Config->EvtFileCleanup = EvtFileCleanup;
    Config->FileObjectClass = WdfFileObjectWdfCanUseFsContext;
    Config->AutoForwardCleanupClose = WdfUseDefault;
}

// ---------------------------------------------------------------------------------------------
// Capabilities.

typedef struct _WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
} WDF_DEVICE_PNP_CAPABILITIES, *PWDF_DEVICE_PNP_CAPABILITIES;

inline VOID WDF_DEVICE_PNP_CAPABILITIES_INIT(PWDF_DEVICE_PNP_CAPABILITIES Caps) {
    RtlZeroMemory(Caps, sizeof(WDF_DEVICE_PNP_CAPABILITIES));
    Caps->Size = sizeof(WDF_DEVICE_PNP_CAPABILITIES);
    Caps->LockSupported = WdfUseDefault;
    Caps->EjectSupported = WdfUseDefault;
    Caps->Removable = WdfUseDefault;
    Caps->DockDevice = WdfUseDefault;
    Caps->UniqueID = WdfUseDefault;
    Caps->SilentInstall = WdfUseDefault;
    Caps->SurpriseRemovalOK = WdfUseDefault;
    Caps->HardwareDisabled = WdfUseDefault;
    Caps->NoDisplayInUI = WdfUseDefault;
    Caps->Address = (ULONG)-1;
    Caps->UINumber = (ULONG)-1;
}

typedef struct _WDF_DEVICE_POWER_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE DeviceD1;
    WDF_TRI_STATE DeviceD2;
    WDF_TRI_STATE WakeFromD0;
    WDF_TRI_STATE WakeFromD1;
    WDF_TRI_STATE WakeFromD2;
    WDF_TRI_STATE WakeFromD3;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    DEVICE_POWER_STATE DeviceWake;
    SYSTEM_POWER_STATE SystemWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
    DEVICE_POWER_STATE IdealDxStateForSx;
} WDF_DEVICE_POWER_CAPABILITIES, *PWDF_DEVICE_POWER_CAPABILITIES;

inline VOID WDF_DEVICE_POWER_CAPABILITIES_INIT(PWDF_DEVICE_POWER_CAPABILITIES Caps) {
    RtlZeroMemory(Caps, sizeof(WDF_DEVICE_POWER_CAPABILITIES));
    Caps->Size = sizeof(WDF_DEVICE_POWER_CAPABILITIES);
    Caps->DeviceD1 = WdfUseDefault;
    Caps->DeviceD2 = WdfUseDefault;
    Caps->WakeFromD0 = WdfUseDefault;
    Caps->WakeFromD1 = WdfUseDefault;
    Caps->WakeFromD2 = WdfUseDefault;
    Caps->WakeFromD3 = WdfUseDefault;
    for (ULONG i = 0; i < PowerSystemMaximum; i++) {
        Caps->DeviceState[i] = PowerDeviceMaximum;
    }
    Caps->DeviceWake = PowerDeviceMaximum;
    Caps->SystemWake = PowerSystemMaximum;
    Caps->D1Latency = (ULONG)-1;
    Caps->D2Latency = (ULONG)-1;
    Caps->D3Latency = (ULONG)-1;
    Caps->IdealDxStateForSx = PowerDeviceMaximum;
}

// ---------------------------------------------------------------------------------------------
// Device properties (IoGetDeviceProperty / WdfDeviceAllocAndQueryProperty).

typedef enum _DEVICE_REGISTRY_PROPERTY {
    DevicePropertyDeviceDescription = 0x0,
    DevicePropertyHardwareID = 0x1,
    DevicePropertyCompatibleIDs = 0x2,
    DevicePropertyBootConfiguration = 0x3,
    DevicePropertyBootConfigurationTranslated = 0x4,
    DevicePropertyClassName = 0x5,
    DevicePropertyClassGuid = 0x6,
    DevicePropertyDriverKeyName = 0x7,
    DevicePropertyManufacturer = 0x8,
    DevicePropertyFriendlyName = 0x9,
    DevicePropertyLocationInformation = 0xa,
    DevicePropertyPhysicalDeviceObjectName = 0xb,
    DevicePropertyBusTypeGuid = 0xc,
    DevicePropertyLegacyBusType = 0xd,
    DevicePropertyBusNumber = 0xe,
    DevicePropertyEnumeratorName = 0xf,
    DevicePropertyAddress = 0x10,
    DevicePropertyUINumber = 0x11,
    DevicePropertyInstallState = 0x12,
    DevicePropertyRemovalPolicy = 0x13,
} DEVICE_REGISTRY_PROPERTY;

// ---------------------------------------------------------------------------------------------
// Bus information answered to IRP_MN_QUERY_BUS_INFORMATION.

typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal = 0,
    Isa,
    Eisa,
    MicroChannel,
    TurboChannel,
    PCIBus,
    VMEBus,
    NuBus,
    PCMCIABus,
    CBus,
    MPIBus,
    MPSABus,
    ProcessorInternal,
    InternalPowerBus,
    PNPISABus,
    PNPBus,
    Vmcs,
    MaximumInterfaceType,
} INTERFACE_TYPE,
    *PINTERFACE_TYPE;

typedef struct _PNP_BUS_INFORMATION {
    GUID BusTypeGuid;
    INTERFACE_TYPE LegacyBusType;
    ULONG BusNumber;
} PNP_BUS_INFORMATION, *PPNP_BUS_INFORMATION;

// ---------------------------------------------------------------------------------------------
// Child lists.

typedef struct _WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER {
    ULONG IdentificationDescriptionSize;  // the whole description, header included
} WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER, *PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER;

typedef struct _WDF_CHILD_ADDRESS_DESCRIPTION_HEADER {
    ULONG AddressDescriptionSize;
} WDF_CHILD_ADDRESS_DESCRIPTION_HEADER, *PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER;

inline VOID WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER Header, ULONG IdentificationDescriptionSize) {
    RtlZeroMemory(Header, IdentificationDescriptionSize);
    Header->IdentificationDescriptionSize = IdentificationDescriptionSize;
}

inline VOID WDF_CHILD_ADDRESS_DESCRIPTION_HEADER_INIT(PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER Header,
                                                      ULONG AddressDescriptionSize) {
    RtlZeroMemory(Header, AddressDescriptionSize);
    Header->AddressDescriptionSize = AddressDescriptionSize;
}

typedef NTSTATUS (*PFN_WDF_CHILD_LIST_CREATE_DEVICE)(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
    PWDFDEVICE_INIT ChildInit);
typedef VOID (*PFN_WDF_CHILD_LIST_SCAN_FOR_CHILDREN)(WDFCHILDLIST ChildList);
typedef VOID (*PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COPY)(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER SourceDescription,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER DestinationDescription);
typedef NTSTATUS (*PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_DUPLICATE)(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER SourceDescription,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER DestinationDescription);
typedef BOOLEAN (*PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE)(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER FirstDescription,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER SecondDescription);
typedef VOID (*PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_CLEANUP)(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER Description);
typedef VOID (*PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_COPY)(
    WDFCHILDLIST ChildList, PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER SourceDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER DestinationDescription);
typedef NTSTATUS (*PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_DUPLICATE)(
    WDFCHILDLIST ChildList, PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER SourceDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER DestinationDescription);
typedef VOID (*PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_CLEANUP)(
    WDFCHILDLIST ChildList, PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription);
typedef BOOLEAN (*PFN_WDF_CHILD_LIST_DEVICE_REENUMERATED)(
    WDFCHILDLIST ChildList, WDFDEVICE OldDevice,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER OldAddressDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER NewAddressDescription);

typedef struct _WDF_CHILD_LIST_CONFIG {
    ULONG Size;
    ULONG IdentificationDescriptionSize;
    ULONG AddressDescriptionSize;
    PFN_WDF_CHILD_LIST_CREATE_DEVICE EvtChildListCreateDevice;
    PFN_WDF_CHILD_LIST_SCAN_FOR_CHILDREN EvtChildListScanForChildren;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COPY EvtChildListIdentificationDescriptionCopy;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_DUPLICATE
    EvtChildListIdentificationDescriptionDuplicate;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_CLEANUP
    EvtChildListIdentificationDescriptionCleanup;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE
    EvtChildListIdentificationDescriptionCompare;
    PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_COPY EvtChildListAddressDescriptionCopy;
    PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_DUPLICATE EvtChildListAddressDescriptionDuplicate;
    PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_CLEANUP EvtChildListAddressDescriptionCleanup;
    PFN_WDF_CHILD_LIST_DEVICE_REENUMERATED EvtChildListDeviceReenumerated;
} WDF_CHILD_LIST_CONFIG, *PWDF_CHILD_LIST_CONFIG;

inline VOID WDF_CHILD_LIST_CONFIG_INIT(PWDF_CHILD_LIST_CONFIG Config,
                                       ULONG IdentificationDescriptionSize,
                                       PFN_WDF_CHILD_LIST_CREATE_DEVICE EvtChildListCreateDevice) {
    RtlZeroMemory(Config, sizeof(WDF_CHILD_LIST_CONFIG));
    Config->Size = sizeof(WDF_CHILD_LIST_CONFIG);
    Config->IdentificationDescriptionSize = IdentificationDescriptionSize;
    Config->EvtChildListCreateDevice = EvtChildListCreateDevice;
}

// What WdfChildListRetrievePdo found for a description.
typedef enum _WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS {
    WdfChildListRetrieveDeviceUndefined = 0,
    WdfChildListRetrieveDeviceSuccess,
    WdfChildListRetrieveDeviceNotYetCreated,
    WdfChildListRetrieveDeviceNoSuchDevice,
} WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS;

typedef struct _WDF_CHILD_RETRIEVE_INFO {
    ULONG Size;
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription;
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription;
    WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS Status;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE
        EvtChildListIdentificationDescriptionCompare;
} WDF_CHILD_RETRIEVE_INFO, *PWDF_CHILD_RETRIEVE_INFO;

inline VOID WDF_CHILD_RETRIEVE_INFO_INIT(
    PWDF_CHILD_RETRIEVE_INFO Info,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription) {
    RtlZeroMemory(Info, sizeof(WDF_CHILD_RETRIEVE_INFO));
    Info->Size = sizeof(WDF_CHILD_RETRIEVE_INFO);
    Info->IdentificationDescription = IdentificationDescription;
}

// ---------------------------------------------------------------------------------------------
// Query interfaces.

typedef NTSTATUS (*PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST)(
    WDFDEVICE Device, GUID* InterfaceType, PINTERFACE ExposedInterface,
    PVOID ExposedInterfaceSpecificData);

typedef struct _WDF_QUERY_INTERFACE_CONFIG {
    ULONG Size;
    PINTERFACE Interface;
    const GUID* InterfaceType;
    BOOLEAN SendQueryToParentStack;
    PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST EvtDeviceProcessQueryInterfaceRequest;
    BOOLEAN ImportInterface;
} WDF_QUERY_INTERFACE_CONFIG, *PWDF_QUERY_INTERFACE_CONFIG;

inline VOID WDF_QUERY_INTERFACE_CONFIG_INIT(
    PWDF_QUERY_INTERFACE_CONFIG Config, PINTERFACE Interface, const GUID* InterfaceType,
    PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST EvtDeviceProcessQueryInterfaceRequest) {
    RtlZeroMemory(Config, sizeof(WDF_QUERY_INTERFACE_CONFIG));
    Config->Size = sizeof(WDF_QUERY_INTERFACE_CONFIG);
    Config->Interface = Interface;
    Config->InterfaceType = InterfaceType;
    Config->EvtDeviceProcessQueryInterfaceRequest = EvtDeviceProcessQueryInterfaceRequest;
}

// ---------------------------------------------------------------------------------------------
// WMI.

typedef enum _WDF_WMI_PROVIDER_CONTROL {
    WdfWmiControlInvalid = 0,
    WdfWmiEventControl,
    WdfWmiInstanceControl,
} WDF_WMI_PROVIDER_CONTROL;

typedef enum _WDF_WMI_PROVIDER_FLAGS {
    WdfWmiProviderEventOnly = 0x0001,
    WdfWmiProviderExpensive = 0x0002,
    WdfWmiProviderTracing = 0x0004,
} WDF_WMI_PROVIDER_FLAGS;

typedef NTSTATUS (*PFN_WDF_WMI_PROVIDER_FUNCTION_CONTROL)(WDFWMIPROVIDER WmiProvider,
                                                          WDF_WMI_PROVIDER_CONTROL Control,
                                                          BOOLEAN Enable);
typedef NTSTATUS (*PFN_WDF_WMI_INSTANCE_QUERY_INSTANCE)(WDFWMIINSTANCE WmiInstance,
                                                        ULONG OutBufferSize, PVOID OutBuffer,
                                                        PULONG BufferUsed);
typedef NTSTATUS (*PFN_WDF_WMI_INSTANCE_SET_INSTANCE)(WDFWMIINSTANCE WmiInstance,
                                                      ULONG InBufferSize, PVOID InBuffer);
typedef NTSTATUS (*PFN_WDF_WMI_INSTANCE_SET_ITEM)(WDFWMIINSTANCE WmiInstance, ULONG DataItemId,
                                                  ULONG InBufferSize, PVOID InBuffer);
typedef NTSTATUS (*PFN_WDF_WMI_INSTANCE_EXECUTE_METHOD)(WDFWMIINSTANCE WmiInstance, ULONG MethodId,
                                                        ULONG InBufferSize, ULONG OutBufferSize,
                                                        PVOID Buffer, PULONG BufferUsed);

typedef struct _WDF_WMI_PROVIDER_CONFIG {
    ULONG Size;
    GUID Guid;
    ULONG Flags;  // WDF_WMI_PROVIDER_FLAGS
    ULONG MinInstanceBufferSize;
    PFN_WDF_WMI_PROVIDER_FUNCTION_CONTROL EvtWmiProviderFunctionControl;
} WDF_WMI_PROVIDER_CONFIG, *PWDF_WMI_PROVIDER_CONFIG;

inline VOID WDF_WMI_PROVIDER_CONFIG_INIT(PWDF_WMI_PROVIDER_CONFIG Config, const GUID* Guid) {
    RtlZeroMemory(Config, sizeof(WDF_WMI_PROVIDER_CONFIG));
    Config->Size = sizeof(WDF_WMI_PROVIDER_CONFIG);
    Config->Guid = *Guid;
}

typedef struct _WDF_WMI_INSTANCE_CONFIG {
    ULONG Size;
    WDFWMIPROVIDER Provider;
    PWDF_WMI_PROVIDER_CONFIG ProviderConfig;
    BOOLEAN UseContextForQuery;
    BOOLEAN Register;
    PFN_WDF_WMI_INSTANCE_QUERY_INSTANCE EvtWmiInstanceQueryInstance;
    PFN_WDF_WMI_INSTANCE_SET_INSTANCE EvtWmiInstanceSetInstance;
    PFN_WDF_WMI_INSTANCE_SET_ITEM EvtWmiInstanceSetItem;
    PFN_WDF_WMI_INSTANCE_EXECUTE_METHOD EvtWmiInstanceExecuteMethod;
} WDF_WMI_INSTANCE_CONFIG, *PWDF_WMI_INSTANCE_CONFIG;

inline VOID WDF_WMI_INSTANCE_CONFIG_INIT_PROVIDER(PWDF_WMI_INSTANCE_CONFIG Config,
                                                  WDFWMIPROVIDER Provider) {
    RtlZeroMemory(Config, sizeof(WDF_WMI_INSTANCE_CONFIG));
    Config->Size = sizeof(WDF_WMI_INSTANCE_CONFIG);
    Config->Provider = Provider;
}

inline VOID WDF_WMI_INSTANCE_CONFIG_INIT_PROVIDER_CONFIG(PWDF_WMI_INSTANCE_CONFIG Config,
                                                         PWDF_WMI_PROVIDER_CONFIG ProviderConfig) {
    RtlZeroMemory(Config, sizeof(WDF_WMI_INSTANCE_CONFIG));
    Config->Size = sizeof(WDF_WMI_INSTANCE_CONFIG);
    Config->ProviderConfig = ProviderConfig;
}
