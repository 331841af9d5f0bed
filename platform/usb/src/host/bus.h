// The bus behind the host controller: attached devices, their endpoints and transfers, and the
// frame engine that moves packets between URBs and device models.
//
// Locking: `mutex` guards every field reached from more than one context. It is never held while
// calling a model, the runtime (timers, DPCs) or the I/O manager (IRP completion): those are
// scheduling points or may call back into the bus (a model's endpointReady). The frame engine
// runs in one timer callback at a time and is the only writer of configuration and endpoint
// state, so it reads that state without the lock.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vel/runtime/runtime.h"
#include "vel/usb/capture.h"
#include "vel/usb/device_model.h"
#include "vel/usb/host_controller.h"
#include "vel_usb.h"

namespace vel::pnp {
class PnpManager;
}
namespace vel::kernel {
class IoManager;
}

namespace vel::usb::host {

using rt::Ticks;
constexpr Ticks kMicroframe = 1250;  // 125 us
constexpr Ticks kFrame = 10000;      // 1 ms
constexpr int kHighSpeedPacketsPerMicroframe = 13;
constexpr int kFullSpeedPacketsPerFrame = 19;

class Device;

struct Transfer {
    enum class State { Queued, Finished };

    IRP* irp = nullptr;
    URB* urb = nullptr;
    Device* device = nullptr;
    uint64_t id = 0;
    uint8_t endpoint = 0;  // 0: the control endpoint
    State state = State::Queued;
    bool inService = false;  // the engine is running one of its packets
    // IoCancelIrp, an abort or an unplug reached it while the engine ran one of its packets, or
    // before it was cancelable; whoever holds it next finishes it with these statuses.
    bool cancelRequested = false;
    USBD_STATUS cancelUsbd = USBD_STATUS_CANCELED;
    NTSTATUS cancelNt = STATUS_CANCELLED;
    bool registered = false;  // its submission is done: it may run and be given back
    bool cancelable = false;  // its IRP has our cancel routine
    bool cancelRoutineRan = false;
    bool awaitsCancelRoutine = false;  // finished, but the cancel routine owns the IRP
    bool delivering = false;
    CaptureTarget target;

    // Data stage (hasData: a control or bulk URB whose length is written back).
    bool hasData = false;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    uint32_t done = 0;
    bool in = false;
    bool shortOk = false;

    // Control transfers.
    SetupPacket setup;
    bool answered = false;      // the setup stage ran and the answer is in
    bool awaitsAnswer = false;  // the model answered NAK; controlReady brings the answer
    int stagesLeft = 0;         // data packets and status stage still to run
    // Replaces the standard handling of the request at the setup stage (select configuration
    // and interface); runs on the engine without the lock.
    std::function<ControlAnswer()> hostAnswer;
    // Runs with the lock held when the transfer succeeds (applies a selection, fills the URB).
    std::function<void()> onSuccess;
    // A control transfer with a time-out: still queued at this time, it is cancelled as timed
    // out (0: none).
    Ticks deadline = 0;

    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    NTSTATUS ntStatus = STATUS_SUCCESS;
    Ticks due = 0;  // when a finished transfer is given back
};

struct EndpointFault {
    bool stall = false;
    bool silent = false;
    std::optional<std::pair<NTSTATUS, USBD_STATUS>> failNext;
};

struct Endpoint {
    uint8_t address = 0;
    uint8_t type = USB_ENDPOINT_TYPE_CONTROL;
    uint16_t maxPacket = 8;
    uint8_t interval = 0;         // bInterval as the descriptor gives it
    int64_t pollEvery = 1;        // interrupt: (micro)frames between polls
    uint8_t interfaceNumber = 0;  // the interface it belongs to (0xFF: the control endpoint)
    USBD_PIPE_HANDLE handle = nullptr;
    std::deque<Transfer*> queue;
    bool naking = false;
    bool halted = false;
    int64_t nextPoll = 0;  // interrupt: first (micro)frame of the next poll
};

// Pipe records a selection fills in, per interface.
struct InterfacePlan {
    uint8_t number = 0;
    uint8_t alternate = 0;
    uint8_t cls = 0, subClass = 0, protocol = 0;
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
    USBD_INTERFACE_INFORMATION* entry = nullptr;  // the URB's record to fill
};

class Bus;

// The model's view of the host, one per attached device.
class DeviceHostImpl final : public DeviceHost {
  public:
    DeviceHostImpl(Bus& bus, Device& device) : bus_(bus), device_(device) {}
    void endpointReady(uint8_t endpointAddress) override;
    void controlReady(ControlAnswer answer) override;
    void schedule(int64_t delayTicks, std::function<void()> action) override;
    int64_t now() const override;

  private:
    Bus& bus_;
    Device& device_;
};

class Device {
  public:
    Device(Bus& bus, unsigned port, std::shared_ptr<DeviceModel> model, Speed speed,
           AttachOptions options, uint8_t address);

    const unsigned port;
    const std::shared_ptr<DeviceModel> model;
    const Speed speed;
    const AttachOptions options;
    uint8_t address;
    DeviceHostImpl host;
    DEVICE_OBJECT* pdo = nullptr;
    bool present = true;
    // REMOVE_DEVICE reached the PDO and the PnP manager has not identified it again since: it
    // sends the PDO nothing more, and an unplug deletes it.
    bool removed = false;

    Bytes deviceDescriptor;             // read at attach
    uint8_t firstConfigAttributes = 0;  // bmAttributes of configuration 0, read at attach
    // The selected configuration: its value (0 unconfigured), the descriptor the selection was
    // made from, and the alternate setting of each interface.
    uint8_t configurationValue = 0;
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
    Bytes configuration;
    std::map<uint8_t, uint8_t> alternates;
    std::map<uint8_t, USBD_INTERFACE_HANDLE> interfaceHandles;
    bool remoteWakeEnabled = false;

    std::map<uint8_t, Endpoint> endpoints;  // by address; 0 is the control endpoint
    std::map<uint8_t, EndpointFault> faults;
    std::optional<NTSTATUS> busInterfaceFailure;  // a test's answer to the bus-interface query
    std::optional<ControlAnswer> lateAnswer;      // controlReady's answer, until used
    std::vector<RequestRecord> log;
    std::atomic<long> interfaceReferences{0};

    USBD_PIPE_HANDLE defaultPipe() const { return endpoints.at(0).handle; }
    Endpoint* endpointByHandle(USBD_PIPE_HANDLE handle);
    uint8_t configAttributes() const;  // bmAttributes of the selected (else the first) config
};

class Bus : public std::enable_shared_from_this<Bus> {
  public:
    Bus(HostController::Options options);
    ~Bus();

    const HostController::Options options;
    rt::Runtime& runtime;
    kernel::IoManager& io;
    pnp::PnpManager& pnp;
    const std::string service;
    DRIVER_OBJECT* driver = nullptr;
    DEVICE_OBJECT* hubPdo = nullptr;
    DEVICE_OBJECT* hubFdo = nullptr;

    mutable std::mutex mutex;

    // ----- Ports (host_controller.cpp) -----
    NTSTATUS attach(unsigned port, std::shared_ptr<DeviceModel> model, Speed speed,
                    AttachOptions options);
    NTSTATUS detach(unsigned port, bool tellPnp = true);
    Device* devicePresentAt(unsigned port) const;  // lock held
    // The PDOs of the present devices, for a BusRelations answer.
    std::vector<DEVICE_OBJECT*> reportPdos();
    // The hub deletes a PDO: its device goes.
    void forget(DEVICE_OBJECT* pdo);
    // Lock held: every queued transfer of the device is given back with these statuses.
    void cancelAll(Device& device, USBD_STATUS usbd, NTSTATUS nt);
    // Lock held: finishes a queued transfer now, or marks it for whoever holds it.
    void cancelTransfer(Transfer& t, USBD_STATUS usbd, NTSTATUS nt);
    void shutdown();

    // ----- URBs (urbs.cpp) -----
    // IOCTL_INTERNAL_USB_SUBMIT_URB on a device's PDO; completes or pends the IRP.
    NTSTATUS submitUrb(Device& device, IRP* irp, URB* urb);

    // ----- Engine (engine.cpp) -----
    // Work arrived: make sure a frame is coming.
    void kick();
    // Gives back the finished transfers that are due (from a DPC or the engine).
    void deliverDue();
    void queueDelivery();
    // Lock held: the transfer is done; it is given back at `due`.
    void finish(Transfer& t, USBD_STATUS usbd, NTSTATUS nt, Ticks due);
    void cancelRoutine(IRP* irp);
    void endpointReady(Device& device, uint8_t address);
    void controlReady(Device& device, ControlAnswer answer);
    uint32_t frameNumber() const { return static_cast<uint32_t>(runtime.now() / kFrame); }

    std::atomic<uint64_t> framesRun{0};
    std::unique_ptr<CaptureWriter> capture;  // guarded by the mutex

    // Lock held.
    std::vector<std::shared_ptr<Device>> devices;  // every device whose PDO lives
    std::vector<Device*> ports;                    // index port - 1; nullptr when empty
    bool stopped = false;
    uint64_t nextTransferId = 1;
    uintptr_t nextHandle = 0x1000;
    std::list<std::unique_ptr<Transfer>> transfers;  // every transfer not yet given back

    void* newHandle() { return reinterpret_cast<void*>(nextHandle += 0x10); }

  private:
    void frame(uint64_t token);
    void expireTimedOut(Ticks now);
    void runSpeed(Speed speed, int budget, int64_t microframe, Ticks dueAt);
    void step(Device& device, Endpoint& endpoint, Transfer& t, int64_t microframe, Ticks dueAt);
    void stepControl(Device& device, Endpoint& endpoint, Transfer& t, Ticks dueAt);
    void stepData(Device& device, Endpoint& endpoint, Transfer& t, int64_t microframe, Ticks dueAt);
    ControlAnswer standardAnswer(Device& device, const SetupPacket& setup,
                                 std::span<const uint8_t> dataOut, bool* byHost);
    bool runnable(const Device& device, const Endpoint& endpoint, int64_t microframe) const;
    std::optional<Ticks> nextWake(Ticks now) const;
    void armLocked(Ticks at, std::vector<std::function<void()>>& after);

    bool engineRunning_ = false;
    bool engineArmed_ = false;
    Ticks armedAt_ = 0;
    uint64_t armToken_ = 0;
    rt::Runtime::TimerId timer_ = 0;
};

// Capture target of a transfer's URB.
CaptureTarget captureTarget(const Bus& bus, const Device& device, uint8_t endpoint);

}  // namespace vel::usb::host
