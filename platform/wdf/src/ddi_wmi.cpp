// WMI calls: providers and instances of a device's data blocks.
#include <algorithm>

#include "ddi.h"
#include "ddi_support.h"
#include "device.h"
#include "wmi.h"

namespace vel::wdf::ddi {

// The instance hangs from its provider; a provider made from ProviderConfig hangs from the
// device and goes again if the instance cannot be made.
NTSTATUS WdfWmiInstanceCreate(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                              PWDF_WMI_INSTANCE_CONFIG InstanceConfig,
                              PWDF_OBJECT_ATTRIBUTES InstanceAttributes, WDFWMIINSTANCE* Instance) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfWmiInstanceCreate");
    if (device == nullptr || InstanceConfig == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Instance != nullptr) {
        *Instance = nullptr;
    }
    const WDF_WMI_INSTANCE_CONFIG& config = *InstanceConfig;
    if (config.Size != sizeof(WDF_WMI_INSTANCE_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if ((config.Provider == nullptr) == (config.ProviderConfig == nullptr) ||
        (InstanceAttributes != nullptr && InstanceAttributes->ParentObject != nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = validateAttributes(InstanceAttributes); !NT_SUCCESS(status)) {
        return status;
    }
    // Queries answered with the instance's context: it needs one, no way to change it, and
    // room for the provider's minimum.
    size_t contextSize = 0;
    if (config.UseContextForQuery) {
        if (InstanceAttributes == nullptr || InstanceAttributes->ContextTypeInfo == nullptr ||
            config.EvtWmiInstanceSetInstance != nullptr ||
            config.EvtWmiInstanceSetItem != nullptr ||
            config.EvtWmiInstanceExecuteMethod != nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        contextSize = std::max<size_t>(InstanceAttributes->ContextSizeOverride,
                                       InstanceAttributes->ContextTypeInfo->ContextSize);
        const WmiProvider* given =
            config.ProviderConfig == nullptr
                ? lookup<WmiProvider>(config.Provider, "WdfWmiInstanceCreate")
                : nullptr;
        const ULONG minimum = config.ProviderConfig != nullptr
                                  ? config.ProviderConfig->MinInstanceBufferSize
                                  : (given != nullptr ? given->config().MinInstanceBufferSize : 0);
        if (contextSize < minimum) {
            return STATUS_BUFFER_TOO_SMALL;
        }
    }
    WmiProvider* provider = nullptr;
    bool ownProvider = false;
    if (config.ProviderConfig != nullptr) {
        if (config.ProviderConfig->Size != sizeof(WDF_WMI_PROVIDER_CONFIG)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        Object* published = nullptr;
        NTSTATUS status = publish(
            std::make_unique<WmiProvider>(device->binding(), *device, *config.ProviderConfig),
            nullptr, device, &published);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        provider = static_cast<WmiProvider*>(published);
        ownProvider = true;
    } else {
        provider = lookup<WmiProvider>(config.Provider, "WdfWmiInstanceCreate");
        if (provider == nullptr || &provider->device() != device) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    Object* published = nullptr;
    NTSTATUS status = publish(
        std::make_unique<WmiInstance>(
            device->binding(), *provider, config,
            config.UseContextForQuery ? InstanceAttributes->ContextTypeInfo : nullptr, contextSize),
        InstanceAttributes, provider, &published);
    if (NT_SUCCESS(status) && config.Register) {
        status = device->wmi().add(static_cast<WmiInstance*>(published));
        if (!NT_SUCCESS(status)) {
            published->dispose();
        }
    }
    if (!NT_SUCCESS(status)) {
        if (ownProvider) {
            provider->dispose();
        }
        return status;
    }
    if (Instance != nullptr) {
        *Instance = static_cast<WDFWMIINSTANCE>(published->handle());
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfWmiInstanceRegister(PWDF_DRIVER_GLOBALS, WDFWMIINSTANCE WmiInstance) {
    auto* instance = lookup<vel::wdf::WmiInstance>(WmiInstance, "WdfWmiInstanceRegister");
    if (instance == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return instance->provider().device().wmi().add(instance);
}

VOID WdfWmiInstanceDeregister(PWDF_DRIVER_GLOBALS, WDFWMIINSTANCE WmiInstance) {
    if (auto* instance = lookup<vel::wdf::WmiInstance>(WmiInstance, "WdfWmiInstanceDeregister")) {
        instance->provider().device().wmi().remove(instance);
    }
}

WDFDEVICE WdfWmiInstanceGetDevice(PWDF_DRIVER_GLOBALS, WDFWMIINSTANCE WmiInstance) {
    auto* instance = lookup<vel::wdf::WmiInstance>(WmiInstance, "WdfWmiInstanceGetDevice");
    return instance != nullptr ? static_cast<WDFDEVICE>(instance->provider().device().handle())
                               : nullptr;
}

WDFWMIPROVIDER WdfWmiInstanceGetProvider(PWDF_DRIVER_GLOBALS, WDFWMIINSTANCE WmiInstance) {
    auto* instance = lookup<vel::wdf::WmiInstance>(WmiInstance, "WdfWmiInstanceGetProvider");
    return instance != nullptr ? static_cast<WDFWMIPROVIDER>(instance->provider().handle())
                               : nullptr;
}

WDFDEVICE WdfWmiProviderGetDevice(PWDF_DRIVER_GLOBALS, WDFWMIPROVIDER WmiProvider) {
    auto* provider = lookup<vel::wdf::WmiProvider>(WmiProvider, "WdfWmiProviderGetDevice");
    return provider != nullptr ? static_cast<WDFDEVICE>(provider->device().handle()) : nullptr;
}

}  // namespace vel::wdf::ddi
