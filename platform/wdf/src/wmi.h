// WMI providers and instances of a device, and the queries a WMI client makes of them. A
// device's instances are visible to queries from the end of its start until its removal.
#pragma once

#include <mutex>
#include <vector>

#include "object.h"

namespace vel::wdf {

class Device;

class WmiProvider : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::WmiProvider;

    WmiProvider(Binding& binding, Device& device, const WDF_WMI_PROVIDER_CONFIG& config)
        : Object(kType, binding), device_(device), config_(config) {}

    Device& device() const { return device_; }
    const WDF_WMI_PROVIDER_CONFIG& config() const { return config_; }

  private:
    Device& device_;
    const WDF_WMI_PROVIDER_CONFIG config_;
};

class WmiInstance : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::WmiInstance;

    // With UseContextForQuery, `queryContext` is the context type whose bytes (`contextSize`
    // of them) answer queries.
    WmiInstance(Binding& binding, WmiProvider& provider, const WDF_WMI_INSTANCE_CONFIG& config,
                PCWDF_OBJECT_CONTEXT_TYPE_INFO queryContext = nullptr, size_t contextSize = 0)
        : Object(kType, binding),
          provider_(provider),
          config_(config),
          queryContext_(queryContext),
          contextSize_(contextSize) {}

    WmiProvider& provider() const { return provider_; }
    const WDF_WMI_INSTANCE_CONFIG& config() const { return config_; }
    PCWDF_OBJECT_CONTEXT_TYPE_INFO queryContext() const { return queryContext_; }
    size_t contextSize() const { return contextSize_; }

  protected:
    void onDispose() override;

  private:
    WmiProvider& provider_;
    const WDF_WMI_INSTANCE_CONFIG config_;
    const PCWDF_OBJECT_CONTEXT_TYPE_INFO queryContext_;
    const size_t contextSize_;
};

class DeviceWmi {
  public:
    explicit DeviceWmi(Device&) {}

    // Instances registered with the device (WdfWmiInstanceRegister or Register = TRUE), in
    // registration order; the index of a query counts the instances of one GUID.
    NTSTATUS add(WmiInstance* instance);
    void remove(WmiInstance* instance);
    // The device's WMI registration: on at the end of start, off at removal.
    void setRegistered(bool registered);

    // What a WMI client's single-instance query gets: STATUS_WMI_GUID_NOT_FOUND (no such block
    // while registered), STATUS_WMI_INSTANCE_NOT_FOUND, or the driver's data. When the
    // buffer is too small: STATUS_BUFFER_TOO_SMALL and *size = the bytes needed.
    NTSTATUS query(const GUID& guid, ULONG index, void* buffer, ULONG bufferSize, ULONG* size);

  private:
    std::mutex mutex_;
    bool registered_ = false;
    std::vector<WmiInstance*> instances_;
};

// IRP_MJ_SYSTEM_CONTROL: an FDO passes it down, a PDO answers with the status it came with.
NTSTATUS dispatchSystemControl(Device& device, IRP* irp);

}  // namespace vel::wdf
