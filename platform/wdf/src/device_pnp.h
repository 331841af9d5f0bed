// The framework's PnP and power handling for one device: the IRP_MJ_PNP and IRP_MJ_POWER IRPs
// its device object receives drive the driver's PnP/power callbacks, the I/O side's
// power-managed queues, device interfaces, the symbolic link and WMI registration.
//
// State IRPs come from the PnP manager's one PnP context, one at a time, so the PnP callbacks
// of a device never overlap; surprise removal, query-remove and query-stop are not ordered
// against anything else either. The mutex only guards the state others read (in D0, power
// action, names) and is never held across a driver callback.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vel_wdf.h"

namespace vel::wdf {

class Device;

enum class PnpState {
    Added,  // created, never started
    Started,
    StartFailed,  // START_DEVICE failed; REMOVE follows
    Stopped,      // STOP_DEVICE (resources released; START again restarts it)
    SurpriseRemoved,
    Removed,
};
const char* toString(PnpState state);

class DevicePnp {
  public:
    explicit DevicePnp(Device& device);

    NTSTATUS dispatchPnp(IRP* irp);
    NTSTATUS dispatchPower(IRP* irp);

    PnpState state() const;
    bool inD0() const;
    bool startedOnce() const;
    POWER_ACTION systemPowerAction() const;

    // ----- What the device calls set ----------------------------------------------------------
    NTSTATUS createSymbolicLink(const std::u16string& link);
    std::u16string symbolicLink() const;
    NTSTATUS createDeviceInterface(const GUID& interfaceClass, const std::u16string& reference);
    // WdfDeviceSetDeviceInterfaceState: an interface the device created goes on or off now (on
    // only while started) and stays so across later starts; an unknown one is ignored.
    void setDeviceInterfaceState(const GUID& interfaceClass, const std::u16string& reference,
                                 bool enable);
    std::vector<std::u16string> interfaceLinks() const;
    void setStaticStopRemove(bool stoppable);
    void setPnpCapabilities(const WDF_DEVICE_PNP_CAPABILITIES& capabilities);
    void setPowerCapabilities(const WDF_DEVICE_POWER_CAPABILITIES& capabilities);
    void setBusInformation(const PNP_BUS_INFORMATION& information);
    std::optional<PNP_BUS_INFORMATION> busInformation() const;
    NTSTATUS addQueryInterface(const WDF_QUERY_INTERFACE_CONFIG& config);

  private:
    struct Interface {
        GUID interfaceClass;
        std::u16string reference;
        std::u16string link;  // empty until registered (a PDO without instance path yet)
        bool enabled = false;
        bool enableAtStart = true;  // created before the first start
    };
    struct QueryInterface {
        GUID type;
        std::vector<unsigned char> data;  // the interface as registered; empty when imported
        bool import = false;
        PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST callback = nullptr;
    };

    // ----- PnP ----------------------------------------------------------------------------------
    NTSTATUS start();
    void stop();
    void removeResources(bool surprise);  // power down, release hardware, names, purge
    void finalRemove();                   // self-managed cleanup, targets, detach and delete
    NTSTATUS queryStopOrRemove(bool remove);
    NTSTATUS queryDeviceRelations(IRP* irp);
    NTSTATUS queryCapabilities(IRP* irp);
    NTSTATUS queryInterface(IRP* irp);
    NTSTATUS answerReenumerateSelf(IRP* irp);
    // A PDO's own answers (IDs, texts, bus information); nullopt when it has none for the IRP.
    std::optional<NTSTATUS> answerAsPdo(IRP* irp);

    // ----- Power --------------------------------------------------------------------------------
    // D0 entry from `previous`: D0Entry, D0EntryPostInterruptsEnabled, queues resumed,
    // self-managed I/O init (first time) or restart.
    NTSTATUS powerUp(WDF_POWER_DEVICE_STATE previous);
    // D0 exit to `target`: self-managed I/O suspend, queues stopped (EvtIoStop and the wait),
    // D0ExitPreInterruptsDisabled, D0Exit.
    void powerDown(WDF_POWER_DEVICE_STATE target);
    WDF_POWER_DEVICE_STATE targetOf(DEVICE_POWER_STATE state, POWER_ACTION action) const;

    void setInterfacesEnabled(bool enabled);
    void deleteSymbolicLink();

    // ----- Passing IRPs on ----------------------------------------------------------------------
    // Sends the IRP to the lower device and waits for it to come back (FDO only); returns its
    // status. A PDO answers with the IRP's current status.
    NTSTATUS forwardAndWait(IRP* irp);
    NTSTATUS forward(IRP* irp);  // passes it down and lets it go (a PDO completes it)
    static NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR information = 0);

    WDFDEVICE handle() const;

    Device& device_;
    const WDF_PNPPOWER_EVENT_CALLBACKS& callbacks_;

    mutable std::mutex mutex_;
    PnpState state_ = PnpState::Added;
    bool inD0_ = false;
    bool startedOnce_ = false;
    bool hardwarePrepared_ = false;
    WDF_POWER_DEVICE_STATE powerState_ = WdfPowerDeviceD3Final;
    POWER_ACTION systemAction_ = PowerActionNone;
    long staticStopRemove_ = 0;
    std::u16string symbolicLink_;
    std::vector<Interface> interfaces_;
    std::vector<QueryInterface> queryInterfaces_;
    std::optional<WDF_DEVICE_PNP_CAPABILITIES> pnpCapabilities_;
    std::optional<WDF_DEVICE_POWER_CAPABILITIES> powerCapabilities_;
    std::optional<PNP_BUS_INFORMATION> busInformation_;
};

}  // namespace vel::wdf
