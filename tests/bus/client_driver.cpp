#include "client_driver.h"

#include <cstring>

namespace vel::bus::test {

ClientWorld* ClientWorld::current = nullptr;

ClientDevice* ClientWorld::of(DEVICE_OBJECT* pdo) {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(pdo);
    return it == devices_.end() ? nullptr : it->second.get();
}

size_t ClientWorld::deviceCount() const {
    std::lock_guard lock(mutex_);
    return devices_.size();
}

ClientDevice& ClientWorld::added(DEVICE_OBJECT* pdo) {
    std::lock_guard lock(mutex_);
    std::unique_ptr<ClientDevice>& d = devices_[pdo];
    d = std::make_unique<ClientDevice>();
    d->pdo = pdo;
    return *d;
}

namespace {

constexpr ULONG kTransferTimeoutMs = 1000;

ClientDevice& clientOf(WDFDEVICE device) {
    return *ClientWorld::current->of(WdfDeviceWdmGetPhysicalDevice(device));
}

VOID EvtReadComplete(WDFUSBPIPE, WDFMEMORY buffer, size_t length, WDFCONTEXT context) {
    auto* d = static_cast<ClientDevice*>(context);
    const auto* bytes = static_cast<const uint8_t*>(WdfMemoryGetBuffer(buffer, nullptr));
    std::lock_guard lock(d->mutex);
    d->received.insert(d->received.end(), bytes, bytes + length);
}

BOOLEAN EvtReadersFailed(WDFUSBPIPE pipe, NTSTATUS status, USBD_STATUS) {
    WDFDEVICE device = WdfIoTargetGetDevice(WdfUsbTargetPipeGetIoTarget(pipe));
    ClientDevice& d = clientOf(device);
    std::lock_guard lock(d.mutex);
    d.readerFailures.push_back(status);
    return TRUE;
}

// Keeps the descriptors the child gave the USB device.
NTSTATUS keepDescriptors(ClientDevice& d) {
    WdfUsbTargetDeviceGetDeviceDescriptor(d.usbDevice, &d.deviceDescriptor);
    USHORT length = 0;
    NTSTATUS status = WdfUsbTargetDeviceRetrieveConfigDescriptor(d.usbDevice, nullptr, &length);
    if (status != STATUS_BUFFER_TOO_SMALL) {
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    d.configuration.assign(length, 0);
    return WdfUsbTargetDeviceRetrieveConfigDescriptor(d.usbDevice, d.configuration.data(), &length);
}

// Selects every interface in its first setting and finds the function's bulk pipes.
NTSTATUS selectConfiguration(ClientDevice& d) {
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    const UCHAR count = WdfUsbTargetDeviceGetNumInterfaces(d.usbDevice);
    if (count == 1) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    } else {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
    }
    d.selectStatus = WdfUsbTargetDeviceSelectConfig(d.usbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(d.selectStatus)) {
        return d.selectStatus;
    }
    d.configurationHandle = WdfUsbTargetDeviceWdmGetConfigurationHandle(d.usbDevice);
    d.interfaceNumbers.clear();
    d.bulkIn = d.bulkOut = nullptr;
    for (UCHAR i = 0; i < count; ++i) {
        WDFUSBINTERFACE usbInterface = WdfUsbTargetDeviceGetInterface(d.usbDevice, i);
        d.interfaceNumbers.push_back(WdfUsbInterfaceGetInterfaceNumber(usbInterface));
        for (UCHAR p = 0; p < WdfUsbInterfaceGetNumConfiguredPipes(usbInterface); ++p) {
            WDF_USB_PIPE_INFORMATION info;
            WDF_USB_PIPE_INFORMATION_INIT(&info);
            WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(usbInterface, p, &info);
            if (info.PipeType == WdfUsbPipeTypeBulk) {
                (WDF_USB_PIPE_DIRECTION_IN(info.EndpointAddress) ? d.bulkIn : d.bulkOut) = pipe;
            }
        }
    }
    return d.bulkIn != nullptr && d.bulkOut != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS EvtPrepareHardware(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST) {
    ClientDevice& d = clientOf(device);
    ++d.prepares;
    if (d.usbDevice == nullptr) {
        d.createStatus = WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &d.usbDevice);
        if (!NT_SUCCESS(d.createStatus)) {
            d.usbDevice = nullptr;
            return d.createStatus;
        }
        if (NTSTATUS status = keepDescriptors(d); !NT_SUCCESS(status)) {
            return status;
        }
    }
    if (NTSTATUS status = selectConfiguration(d); !NT_SUCCESS(status)) {
        return status;
    }
    if (!d.interfaceNumbers.empty() &&
        ClientWorld::current->readerOn.contains(d.interfaceNumbers[0])) {
        WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(d.bulkIn);
        WDF_USB_CONTINUOUS_READER_CONFIG config;
        WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, EvtReadComplete, &d, 512);
        config.EvtUsbTargetPipeReadersFailed = EvtReadersFailed;
        d.readerStatus = WdfUsbTargetPipeConfigContinuousReader(d.bulkIn, &config);
        return d.readerStatus;
    }
    return STATUS_SUCCESS;
}

NTSTATUS EvtReleaseHardware(WDFDEVICE device, WDFCMRESLIST) {
    ClientDevice& d = clientOf(device);
    ++d.releases;
    if (d.usbDevice != nullptr) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
        d.deconfigStatus =
            WdfUsbTargetDeviceSelectConfig(d.usbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    }
    return STATUS_SUCCESS;
}

bool hasReader(const ClientDevice& d) {
    return d.readerStatus != STATUS_PENDING && NT_SUCCESS(d.readerStatus);
}

NTSTATUS EvtD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    ClientDevice& d = clientOf(device);
    return hasReader(d) ? WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(d.bulkIn)) : STATUS_SUCCESS;
}

NTSTATUS EvtD0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    ClientDevice& d = clientOf(device);
    if (hasReader(d)) {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(d.bulkIn), WdfIoTargetCancelSentIo);
    }
    return STATUS_SUCCESS;
}

NTSTATUS EvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    ClientWorld::current->added(WdfFdoInitWdmGetPhysicalDevice(init));
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = EvtPrepareHardware;
    callbacks.EvtDeviceReleaseHardware = EvtReleaseHardware;
    callbacks.EvtDeviceD0Entry = EvtD0Entry;
    callbacks.EvtDeviceD0Exit = EvtD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    WDFDEVICE device = nullptr;
    return WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
}

WDF_REQUEST_SEND_OPTIONS transferOptions() {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
    options.Timeout = WDF_REL_TIMEOUT_IN_MS(kTransferTimeoutMs);
    return options;
}

}  // namespace

NTSTATUS clientWrite(WDFUSBPIPE pipe, const std::vector<uint8_t>& data, ULONG* written) {
    WDF_MEMORY_DESCRIPTOR memory;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, const_cast<uint8_t*>(data.data()),
                                      static_cast<ULONG>(data.size()));
    WDF_REQUEST_SEND_OPTIONS options = transferOptions();
    return WdfUsbTargetPipeWriteSynchronously(pipe, WDF_NO_HANDLE, &options, &memory, written);
}

NTSTATUS clientRead(WDFUSBPIPE pipe, std::vector<uint8_t>& data) {
    WDF_MEMORY_DESCRIPTOR memory;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, data.data(), static_cast<ULONG>(data.size()));
    WDF_REQUEST_SEND_OPTIONS options = transferOptions();
    ULONG read = 0;
    const NTSTATUS status =
        WdfUsbTargetPipeReadSynchronously(pipe, WDF_NO_HANDLE, &options, &memory, &read);
    data.resize(NT_SUCCESS(status) ? read : 0);
    return status;
}

}  // namespace vel::bus::test

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, vel::bus::test::EvtDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}
