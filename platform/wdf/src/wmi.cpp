#include "wmi.h"

#include <algorithm>
#include <cstring>

#include "device.h"
#include "vel/wdf/wmi.h"

namespace vel::wdf {

void WmiInstance::onDispose() {
    provider_.device().wmi().remove(this);
}

NTSTATUS DeviceWmi::add(WmiInstance* instance) {
    std::lock_guard lock(mutex_);
    if (std::find(instances_.begin(), instances_.end(), instance) != instances_.end()) {
        return STATUS_OBJECT_NAME_EXISTS;
    }
    instances_.push_back(instance);
    return STATUS_SUCCESS;
}

void DeviceWmi::remove(WmiInstance* instance) {
    std::lock_guard lock(mutex_);
    std::erase(instances_, instance);
}

void DeviceWmi::setRegistered(bool registered) {
    std::lock_guard lock(mutex_);
    registered_ = registered;
}

NTSTATUS DeviceWmi::query(const GUID& guid, ULONG index, void* buffer, ULONG bufferSize,
                          ULONG* size) {
    *size = 0;
    WmiInstance* instance = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (!registered_) {
            return STATUS_WMI_GUID_NOT_FOUND;
        }
        bool known = false;
        ULONG seen = 0;
        for (WmiInstance* each : instances_) {
            if (!IsEqualGUID(each->provider().config().Guid, guid)) {
                continue;
            }
            known = true;
            if (seen++ == index) {
                instance = each;
                break;
            }
        }
        if (!known) {
            return STATUS_WMI_GUID_NOT_FOUND;
        }
        if (instance == nullptr) {
            return STATUS_WMI_INSTANCE_NOT_FOUND;
        }
        instance->addRef(this);
    }
    const WDF_WMI_INSTANCE_CONFIG& config = instance->config();
    const ULONG minimum = instance->provider().config().MinInstanceBufferSize;
    NTSTATUS status;
    if (bufferSize < minimum) {
        // Answered without asking the driver.
        *size = minimum;
        status = STATUS_BUFFER_TOO_SMALL;
    } else if (config.UseContextForQuery) {
        const auto bytes = static_cast<ULONG>(instance->contextSize());
        *size = bytes;
        if (bufferSize < bytes) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            std::memcpy(buffer, instance->context(instance->queryContext()), bytes);
            status = STATUS_SUCCESS;
        }
    } else if (config.EvtWmiInstanceQueryInstance == nullptr) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        UCHAR dummy = 0;
        ULONG used = 0;
        status = config.EvtWmiInstanceQueryInstance(static_cast<WDFWMIINSTANCE>(instance->handle()),
                                                    bufferSize, bufferSize == 0 ? &dummy : buffer,
                                                    &used);
        if (status == STATUS_BUFFER_TOO_SMALL) {
            *size = used;
        } else if (status == STATUS_PENDING || (NT_SUCCESS(status) && used > bufferSize)) {
            status = bufferSize == 0 && NT_SUCCESS(status) ? STATUS_BUFFER_TOO_SMALL
                                                           : STATUS_UNSUCCESSFUL;
            *size = status == STATUS_BUFFER_TOO_SMALL ? used : 0;
        } else if (NT_SUCCESS(status)) {
            *size = used;
        }
    }
    instance->release(this);
    return status;
}

NTSTATUS dispatchSystemControl(Device& device, IRP* irp) {
    if (device.lowerDevice() != nullptr) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(device.lowerDevice(), irp);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS queryWmiInstance(DEVICE_OBJECT* device, const GUID& guid, ULONG index, void* buffer,
                          ULONG bufferSize, ULONG* size) {
    *size = 0;
    Device* wdfDevice = Device::fromWdm(device);
    if (wdfDevice == nullptr) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    return wdfDevice->wmi().query(guid, index, buffer, bufferSize, size);
}

}  // namespace vel::wdf
