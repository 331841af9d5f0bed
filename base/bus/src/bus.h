// velbus: the composite bus driver. It sits on the handset's USB device as a whole, splits the
// selected configuration into one child device per USB function, and routes the children's USB
// requests to the real device.
//
//   driver.cpp     driver entry, the parent device, its start, stop and cleanup
//   discovery.cpp  the walk of the configuration descriptor into identification descriptions
//   children.cpp   the child list, child creation with IDs, texts and capabilities
//   routing.cpp    the child and parent request routing, descriptor answers, configuration
//                  selection emulation
#pragma once

#include "driver_helpers.h"
#include "vel_usb.h"
#include "vel_wdf.h"

// Every memory object of velbus is non-paged and carries this tag ("BUS ").
#define BUS_POOL_TAG 0x20535542

// {9D7DEBBC-C85D-11D1-9EB4-006008C3A19A}
inline constexpr GUID GUID_BUS_TYPE_USB = {
    0x9D7DEBBC, 0xC85D, 0x11D1, {0x9E, 0xB4, 0x00, 0x60, 0x08, 0xC3, 0xA1, 0x9A}};

// ---------------------------------------------------------------------------------------------
// Contexts

// On the driver object.
typedef struct _DRIVER_CONTEXT {
    // Every parent device that has started at least once and not yet been cleaned up.
    WDFCOLLECTION ParentDeviceCollection;
    // Guards the collection and every child enumeration started from it.
    WDFWAITLOCK ParentDeviceLock;
} DRIVER_CONTEXT, *PDRIVER_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DRIVER_CONTEXT, GetDriverContext)

// On each parent device (the FDO over the handset's USB device).
typedef struct _PARENT_FDO_CONTEXT {
    WDFDEVICE Device;
    PDEVICE_OBJECT WdmDeviceObject;
    PDRIVER_OBJECT WdmDriverObject;
    ULONG InstanceNumber;
    // Child enumeration waits for another live parent of the same handset to be cleaned up.
    BOOLEAN EnumChildrenPending;
    DEVICE_CAPABILITIES DeviceCapabilities;
    UNICODE_STRING LocationInformation;
    USB_BUS_INTERFACE_USBDI_V1 UsbBusInterface;
    PVOID UsbBusInterfaceData;
    WDFUSBDEVICE UsbDevice;
    ULONG UsbDeviceTraits;
    // The handset's device descriptor with bNumConfigurations replaced by 1.
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    USHORT LangId;
    UNICODE_STRING ProductString;
    UNICODE_STRING SerialNumberString;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;
    USHORT ConfigDescriptorLength;
    // Interfaces of the selected configuration, for the node-information answer.
    UCHAR NumberOfInterfaces;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    // The identification descriptions of the latest enumeration.
    WDFCOLLECTION IdDescriptionCollection;
    WDF_POWER_DEVICE_STATE DevicePowerState;
    WDFQUEUE DefaultQueue;
} PARENT_FDO_CONTEXT, *PPARENT_FDO_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PARENT_FDO_CONTEXT, GetParentFdoContext)

// One function of the handset, as stored in the child list.
typedef struct _CHILD_IDENTIFICATION_DESCRIPTION {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER Header;
    UCHAR Disabled;
    UCHAR InterfaceClass;
    UCHAR InterfaceSubClass;
    UCHAR InterfaceProtocol;
    UCHAR InterfaceNumber;  // first interface of the function
    UNICODE_STRING InterfaceString;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;
    USHORT ConfigDescriptorLength;
} CHILD_IDENTIFICATION_DESCRIPTION, *PCHILD_IDENTIFICATION_DESCRIPTION;

// On each child device (PDO).
typedef struct _CHILD_PDO_CONTEXT {
    WDFDEVICE Device;
    PDEVICE_OBJECT WdmDeviceObject;
    WDF_POWER_DEVICE_STATE DevicePowerState;
    WDFDEVICE ParentDevice;
    WDFQUEUE ParentQueue;
} CHILD_PDO_CONTEXT, *PCHILD_PDO_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CHILD_PDO_CONTEXT, GetChildPdoContext)

// ---------------------------------------------------------------------------------------------
// Driver entry and the parent device

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS EvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
NTSTATUS EvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                            WDFCMRESLIST ResourcesTranslated);
NTSTATUS EvtReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated);
VOID EvtDeviceContextCleanup(WDFOBJECT Device);
NTSTATUS BusUsbInit(WDFDEVICE Device);
NTSTATUS BusUsbSetConfiguration(WDFDEVICE Device);
NTSTATUS ParentFdoEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
NTSTATUS ParentFdoEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
VOID ParentFdoEvtDeviceSurpriseRemoval(WDFDEVICE Device);
NTSTATUS ParentFdoEvtDeviceQueryRemove(WDFDEVICE Device);
NTSTATUS ParentFdoEvtDeviceQueryStop(WDFDEVICE Device);
VOID ParentFdoEvtDeviceRelationsQuery(WDFDEVICE Device, DEVICE_RELATION_TYPE RelationType);

// ---------------------------------------------------------------------------------------------
// Function discovery

NTSTATUS BusGenerateIdentificationDescriptions(WDFDEVICE Device, WDFCOLLECTION Collection);
PUSB_COMMON_DESCRIPTOR BusFindNextFunctionDescriptor(PUSB_CONFIGURATION_DESCRIPTOR Config,
                                                     ULONG ConfigLength, PVOID Position);
BOOLEAN BusGenerateIdDescriptionFromInterfaceAssociation(
    WDFDEVICE Device, PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR Association, WDFCOLLECTION Collection,
    PUSHORT ConsumedLength);
BOOLEAN BusGenerateIdDescriptionFromCdcInterface(WDFDEVICE Device,
                                                 PUSB_INTERFACE_DESCRIPTOR Interface,
                                                 WDFCOLLECTION Collection);
BOOLEAN BusGenerateIdDescriptionFromVendorSpecificInterface(WDFDEVICE Device,
                                                            PUSB_INTERFACE_DESCRIPTOR Interface,
                                                            WDFCOLLECTION Collection);
BOOLEAN BusGenerateIdDescriptionMscInterface(WDFDEVICE Device, PUSB_INTERFACE_DESCRIPTOR Interface,
                                             WDFCOLLECTION Collection);

// Keeps a string read from the device (WdfUsbTargetDeviceAllocAndQueryString) as a counted
// string over its memory: Length leaves out one trailing NUL. A string of no characters comes
// back without memory and gives an empty string without a buffer.
VOID BusKeepString(WDFMEMORY Memory, USHORT NumCharacters, PUNICODE_STRING String);

// Counts the distinct interface numbers of a configuration.
UCHAR BusCountInterfaces(PUSB_CONFIGURATION_DESCRIPTOR Config, ULONG ConfigLength);

// ---------------------------------------------------------------------------------------------
// Child devices

VOID BusInitChildList(PWDFDEVICE_INIT DeviceInit);
NTSTATUS BusEnumerateChildren(WDFDEVICE Device);
VOID BusRemoveChildren(WDFDEVICE Device);
NTSTATUS BusEvtChildListCreateDevice(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
    PWDFDEVICE_INIT ChildInit);
BOOLEAN BusEvtChildListDeviceReenumerated(WDFCHILDLIST ChildList, WDFDEVICE OldDevice,
                                          PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER OldAddress,
                                          PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER NewAddress);
NTSTATUS ChildPdoEvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
NTSTATUS ChildPdoEvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
VOID ChildPdoEvtDeviceSurpriseRemoval(WDFDEVICE Device);
NTSTATUS ChildPdoEvtDeviceQueryRemove(WDFDEVICE Device);
NTSTATUS ChildPdoEvtDeviceQueryStop(WDFDEVICE Device);

// ---------------------------------------------------------------------------------------------
// Request routing

VOID ChildPdoEvtIoDefault(WDFQUEUE Queue, WDFREQUEST Request);
VOID ChildPdoEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                size_t InputBufferLength, ULONG IoControlCode);
VOID ChildPdoEvtIoInternalDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                        size_t OutputBufferLength, size_t InputBufferLength,
                                        ULONG IoControlCode);
VOID ParentFdoEvtIoDefault(WDFQUEUE Queue, WDFREQUEST Request);
VOID ParentFdoEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                 size_t InputBufferLength, ULONG IoControlCode);
VOID ParentFdoEvtIoInternalDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                         size_t OutputBufferLength, size_t InputBufferLength,
                                         ULONG IoControlCode);
NTSTATUS ParentFdoForwardRequestThenCompleteIfError(WDFDEVICE Device, WDFREQUEST Request);
