// The USB host controller and its root hub: ports that simulated devices (DeviceModel) are
// attached to, the device PDOs the hub reports to the PnP manager, and the bus that carries the
// function drivers' URBs to the models.
//
// The hub is a WDM driver of the platform ("velusbhub<bus>"): its FDO sits on a root device
// "USB\ROOT_HUB20" and reports one PDO per attached device. A PDO answers the identification
// queries as a USB hub does (see below), the capabilities, the USBDI bus interface (version 0
// and 1) and IRP_MJ_INTERNAL_DEVICE_CONTROL: URBs, port status, port reset and cycle, hub name,
// root hub PDO and hub count; the other internal controls (bus information, controller name,
// idle notification, ...) complete with STATUS_NOT_SUPPORTED. After an orderly removal the PDO
// stays while the device is plugged in and is reported again at the hub's next enumeration.
//
// Identification of a device from its descriptors:
//   DeviceID       USB\VID_vvvv&PID_pppp
//   HardwareIDs    USB\VID_vvvv&PID_pppp&REV_rrrr, USB\VID_vvvv&PID_pppp
//   CompatibleIDs  a composite device (device class 0, or the association triple EF/02/01, with
//                  more than one interface): USB\DevClass_cc&SubClass_ss&Prot_pp,
//                  USB\DevClass_cc&SubClass_ss, USB\DevClass_cc, USB\COMPOSITE;
//                  otherwise USB\Class_cc&SubClass_ss&Prot_pp, USB\Class_cc&SubClass_ss,
//                  USB\Class_cc from the device descriptor, or from the first interface when
//                  the device class is 0.
//   InstanceID     the serial number string when the device has a valid one (printable ASCII,
//                  no comma), else "5&<bus>&0&<port>".
//   UniqueID       (capabilities) set when the instance ID is the serial number, unless the
//                  device was attached with AttachOptions::uniqueId.
//   Description    the product string, else "USB Device"; location "Port_#000N.Hub_#000B".
//
// The bus runs in frames of virtual time, only while there is work: 1 ms frames for full-speed
// devices (at most 19 packets a frame across them) and 125 us microframes for high-speed devices
// (at most 13 packets a microframe). Every packet takes one of these slots, whatever its size,
// so a bulk stream of maximum-size packets reaches 1.216 MB/s or 53.248 MB/s and never more.
// A transfer's packets run in the (micro)frames after its submission and it completes at the
// end of the (micro)frame that ran its last one. Interrupt endpoints are polled once per
// interval; an endpoint whose model answered NAK is left alone until the model calls
// endpointReady, so an idle bus arms no timer and virtual time can jump.
//
// Status mapping (ntStatusFromUsbd): USBD_STATUS_CANCELED gives STATUS_CANCELLED; a STALL
// (USBD_STATUS_STALL_PID) and other protocol failures STATUS_UNSUCCESSFUL; data errors (CRC,
// bit stuffing, toggle, no response, babble, overrun) STATUS_DEVICE_DATA_ERROR. A device that is
// unplugged fails its transfers in flight with STATUS_DEVICE_NOT_CONNECTED and every later URB
// with STATUS_NO_SUCH_DEVICE (both with USBD_STATUS_DEVICE_GONE).
//
// Needs a live Runtime, Kernel, Framework and PnpManager; destroy the controller before the
// PnP manager and when the bus is idle (after runUntilIdle).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vel/runtime/runtime.h"
#include "vel/usb/device_model.h"
#include "vel_usb.h"

namespace vel::usb {

namespace host {
class Bus;
}

// The NTSTATUS an IRP carrying a URB completes with for a USBD status.
NTSTATUS ntStatusFromUsbd(USBD_STATUS status);

// One control request the device saw, the standard ones the host answered for it included.
struct RequestRecord {
    rt::Ticks time = 0;
    SetupPacket setup;
    Bytes dataOut;
    bool answeredByHost = false;
};

// Faults a test puts on one device's endpoints (address with direction bit; 0 is the control
// endpoint, where a fault applies to control requests).
class DeviceFaults {
  public:
    DeviceFaults(std::shared_ptr<host::Bus> bus, unsigned port);

    // The endpoint answers STALL: transfers fail with USBD_STATUS_STALL_PID until the pipe is
    // reset (for endpoint 0: every control request, until clear()).
    void stallEndpoint(uint8_t endpoint);
    // The endpoint never answers: its transfers stay pending until cancelled or aborted.
    void silenceEndpoint(uint8_t endpoint);
    // The next transfer on the endpoint fails with a transmission error (USBD_STATUS_CRC,
    // USBD_STATUS_DEV_NOT_RESPONDING, ...), mapped as ntStatusFromUsbd does.
    void dataError(uint8_t endpoint, USBD_STATUS status = USBD_STATUS_CRC);
    // The next transfer on the endpoint fails with exactly these statuses.
    void failNext(uint8_t endpoint, NTSTATUS status, USBD_STATUS usbdStatus);
    // Removes every fault of the endpoint.
    void clear(uint8_t endpoint);
    // The device's PDO answers every query for the USBDI bus interface with `status`.
    void failBusInterface(NTSTATUS status);

  private:
    std::shared_ptr<host::Bus> bus_;
    unsigned port_;
};

// How the hub presents one attached device.
struct AttachOptions {
    // Overrides the UniqueID bit of the PDO's capabilities, whatever the serial number; the
    // instance ID stays as the hub derives it.
    std::optional<bool> uniqueId;
};

class HostController {
  public:
    struct Options {
        unsigned ports = 4;
        uint16_t busNumber = 1;  // names the hub's service and appears in captures
    };

    // Loads the hub driver and plugs the root hub into the PnP manager's root bus.
    explicit HostController(Options options);
    HostController() : HostController(Options{}) {}
    // Unplugs every device and the root hub, then unloads the hub driver.
    ~HostController();
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    // Plugs a device into a port (1-based): creates its PDO and asks the PnP manager to
    // enumerate the hub; returns at once (PnpManager::settle waits for the installation).
    // STATUS_INVALID_PARAMETER for a port out of range, STATUS_DEVICE_BUSY when it is taken.
    NTSTATUS attach(unsigned port, std::shared_ptr<DeviceModel> model, Speed speed,
                    AttachOptions options = {});
    // Unplugs the device: transfers in flight fail, the PnP manager is told it is gone.
    // STATUS_NO_SUCH_DEVICE when the port is empty.
    NTSTATUS detach(unsigned port);

    bool connected(unsigned port) const;
    DEVICE_OBJECT* pdo(unsigned port) const;  // the attached device's PDO, or nullptr
    DEVICE_OBJECT* rootHubPdo() const;

    DeviceFaults faults(unsigned port);

    // The control requests the device on the port received since it was attached.
    std::vector<RequestRecord> requests(unsigned port) const;
    void clearRequests(unsigned port);

    // Records every URB submission and completion to a capture file (see capture.h), with
    // virtual timestamps. False, with a message in `error`, when the file cannot be created.
    bool startCapture(const std::string& path, std::string* error = nullptr);
    void stopCapture();

    uint32_t currentFrame() const;
    // (Micro)frames in which the bus ran, for tests that check an idle bus costs nothing.
    uint64_t framesRun() const;
    // References held on the PDO's USBDI bus interface.
    long interfaceReferences(unsigned port) const;

  private:
    std::shared_ptr<host::Bus> bus_;
};

}  // namespace vel::usb
