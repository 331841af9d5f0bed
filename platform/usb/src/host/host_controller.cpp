// The host controller's public face and the bus's ports: attaching a device creates its PDO
// and asks the PnP manager to enumerate the hub; detaching fails its transfers and does the
// same, so that the PnP manager removes it.
#include "vel/usb/host_controller.h"

#include "bus.h"
#include "hub_driver.h"
#include "vel/kernel/io.h"
#include "vel/pnp/pnp_manager.h"
#include "vel/wdf/framework.h"

namespace vel::usb {

namespace host {

namespace {

std::string rootHubId(uint16_t busNumber) {
    return "USB\\ROOT_HUB20&BUS_" + std::to_string(busNumber);
}

}  // namespace

Device::Device(Bus& bus, unsigned port, std::shared_ptr<DeviceModel> model, Speed speed,
               AttachOptions options, uint8_t address)
    : port(port),
      model(std::move(model)),
      speed(speed),
      options(options),
      address(address),
      host(bus, *this) {}

Endpoint* Device::endpointByHandle(USBD_PIPE_HANDLE handle) {
    if (handle == nullptr) {
        return nullptr;
    }
    for (auto& [address, endpoint] : endpoints) {
        if (endpoint.handle == handle) {
            return &endpoint;
        }
    }
    return nullptr;
}

uint8_t Device::configAttributes() const {
    return configuration.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR) ? configuration[7]
                                                                        : firstConfigAttributes;
}

CaptureTarget captureTarget(const Bus& bus, const Device& device, uint8_t endpoint) {
    CaptureTarget target;
    target.bus = bus.options.busNumber;
    target.device = device.address;
    target.endpointAddress = endpoint;
    auto it = device.endpoints.find(endpoint);
    target.pipeType = it != device.endpoints.end() ? static_cast<USBD_PIPE_TYPE>(it->second.type)
                                                   : UsbdPipeTypeControl;
    return target;
}

Bus::Bus(HostController::Options options)
    : options(options),
      runtime(*rt::Runtime::current()),
      io(kernel::IoManager::current()),
      pnp(*pnp::PnpManager::current()),
      service("velusbhub" + std::to_string(options.busNumber)),
      ports(options.ports, nullptr) {}

Bus::~Bus() = default;

NTSTATUS Bus::attach(unsigned port, std::shared_ptr<DeviceModel> model, Speed speed,
                     AttachOptions attachOptions) {
    if (port == 0 || port > options.ports || model == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto device = std::make_shared<Device>(*this, port, model, speed, attachOptions, uint8_t{0});
    device->deviceDescriptor = model->deviceDescriptor();
    const Bytes first = model->configurationDescriptor(0);
    device->firstConfigAttributes = first.size() >= 8 ? first[7] : 0;
    Endpoint control;
    control.address = 0;
    control.type = USB_ENDPOINT_TYPE_CONTROL;
    control.maxPacket = device->deviceDescriptor.size() >= 8 ? device->deviceDescriptor[7] : 8;
    control.interfaceNumber = 0xFF;
    {
        std::lock_guard lock(mutex);
        if (ports[port - 1] != nullptr || stopped) {
            return STATUS_DEVICE_BUSY;
        }
        // The lowest address no present device has.
        uint8_t address = 1;
        for (bool taken = true; taken && address < 127;) {
            taken = false;
            for (const Device* other : ports) {
                if (other != nullptr && other->address == address) {
                    taken = true;
                    ++address;
                }
            }
        }
        device->address = address;
        control.handle = newHandle();
        device->endpoints[0] = control;
        // Enumeration gave the device its address.
        device->log.push_back(RequestRecord{
            runtime.now(), SetupPacket{0, USB_REQUEST_SET_ADDRESS, address, 0, 0}, {}, true});
        // On the bus before the model hears of it, so that it may schedule work at once.
        devices.push_back(device);
        ports[port - 1] = device.get();
    }
    model->attached(device->host, speed);
    DEVICE_OBJECT* pdo = createDevicePdo(*this, *device);
    if (pdo == nullptr) {
        {
            std::lock_guard lock(mutex);
            ports[port - 1] = nullptr;
            device->present = false;
            std::erase(devices, device);
        }
        model->detached();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    {
        std::lock_guard lock(mutex);
        device->pdo = pdo;
    }
    pnp.invalidateDeviceRelations(hubPdo);
    return STATUS_SUCCESS;
}

NTSTATUS Bus::detach(unsigned port, bool tellPnp) {
    std::shared_ptr<DeviceModel> model;
    DEVICE_OBJECT* orphan = nullptr;
    {
        std::lock_guard lock(mutex);
        Device* device = devicePresentAt(port);
        if (device == nullptr) {
            return STATUS_NO_SUCH_DEVICE;
        }
        ports[port - 1] = nullptr;
        device->present = false;
        cancelAll(*device, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
        model = device->model;
        // A PDO the PnP manager removed and has not been given again gets no more IRPs.
        if (device->removed) {
            orphan = device->pdo;
        }
    }
    model->detached();
    queueDelivery();
    if (orphan != nullptr) {
        deleteDevicePdo(orphan);
    }
    if (tellPnp) {
        pnp.invalidateDeviceRelations(hubPdo);
    }
    return STATUS_SUCCESS;
}

Device* Bus::devicePresentAt(unsigned port) const {
    return port >= 1 && port <= ports.size() ? ports[port - 1] : nullptr;
}

std::vector<DEVICE_OBJECT*> Bus::reportPdos() {
    std::lock_guard lock(mutex);
    std::vector<DEVICE_OBJECT*> pdos;
    for (Device* device : ports) {
        if (device != nullptr && device->pdo != nullptr) {
            pdos.push_back(device->pdo);
        }
    }
    return pdos;
}

void Bus::forget(DEVICE_OBJECT* pdo) {
    std::shared_ptr<Device> gone;
    {
        std::lock_guard lock(mutex);
        auto it = std::find_if(devices.begin(), devices.end(),
                               [pdo](const auto& d) { return d->pdo == pdo; });
        if (it == devices.end()) {
            return;
        }
        gone = std::move(*it);
        devices.erase(it);
        for (const auto& t : transfers) {
            if (t->device == gone.get()) {
                t->device = nullptr;
            }
        }
    }
}

void Bus::shutdown() {
    rt::Runtime::TimerId timer = 0;
    bool armed;
    {
        std::lock_guard lock(mutex);
        stopped = true;
        armed = engineArmed_;
        engineArmed_ = false;
        timer = timer_;
        capture.reset();
    }
    if (armed) {
        runtime.cancelTimer(timer);
    }
}

}  // namespace host

// ----- DeviceFaults ------------------------------------------------------------------------

DeviceFaults::DeviceFaults(std::shared_ptr<host::Bus> bus, unsigned port)
    : bus_(std::move(bus)), port_(port) {}

namespace {

template <typename Change>
void changeFault(host::Bus& bus, unsigned port, uint8_t endpoint, Change change) {
    {
        std::lock_guard lock(bus.mutex);
        host::Device* device = bus.devicePresentAt(port);
        if (device == nullptr) {
            return;
        }
        change(device->faults[endpoint]);
    }
    bus.kick();
}

}  // namespace

void DeviceFaults::stallEndpoint(uint8_t endpoint) {
    changeFault(*bus_, port_, endpoint, [](host::EndpointFault& f) { f.stall = true; });
}

void DeviceFaults::silenceEndpoint(uint8_t endpoint) {
    changeFault(*bus_, port_, endpoint, [](host::EndpointFault& f) { f.silent = true; });
}

void DeviceFaults::dataError(uint8_t endpoint, USBD_STATUS status) {
    failNext(endpoint, ntStatusFromUsbd(status), status);
}

void DeviceFaults::failNext(uint8_t endpoint, NTSTATUS status, USBD_STATUS usbdStatus) {
    changeFault(*bus_, port_, endpoint,
                [&](host::EndpointFault& f) { f.failNext = std::make_pair(status, usbdStatus); });
}

void DeviceFaults::clear(uint8_t endpoint) {
    changeFault(*bus_, port_, endpoint, [](host::EndpointFault& f) { f = {}; });
}

void DeviceFaults::failBusInterface(NTSTATUS status) {
    std::lock_guard lock(bus_->mutex);
    if (host::Device* device = bus_->devicePresentAt(port_)) {
        device->busInterfaceFailure = status;
    }
}

// ----- HostController ----------------------------------------------------------------------

HostController::HostController(Options options) : bus_(std::make_shared<host::Bus>(options)) {
    wdf::Framework& framework = *wdf::Framework::current();
    if (!framework.isLoaded(bus_->service)) {
        framework.loadDriver(bus_->service, host::hubDriverEntry);
    }
    bus_->driver = framework.driverObject(bus_->service);
    bus_->driver->DriverSection = bus_.get();

    pnp::DriverPackage package;
    package.service = bus_->service;
    package.entry = host::hubDriverEntry;
    package.ids = {host::rootHubId(options.busNumber)};
    bus_->pnp.addDriverPackage(std::move(package));

    pnp::RootDevice root;
    root.deviceId = "USB\\ROOT_HUB20";
    root.instanceId = std::to_string(options.busNumber);
    root.hardwareIds = {host::rootHubId(options.busNumber), "USB\\ROOT_HUB20"};
    root.description = "USB Root Hub";
    bus_->hubPdo = bus_->pnp.plugRootDevice(root);
}

HostController::~HostController() {
    for (unsigned port = 1; port <= bus_->options.ports; ++port) {
        bus_->detach(port, false);
    }
    // The root hub's departure removes its subtree, the devices first.
    bus_->pnp.unplugRootDevice(bus_->hubPdo);
    bus_->pnp.settle();
    bus_->shutdown();
    wdf::Framework::current()->unloadDriver(bus_->service);
}

NTSTATUS HostController::attach(unsigned port, std::shared_ptr<DeviceModel> model, Speed speed,
                                AttachOptions options) {
    return bus_->attach(port, std::move(model), speed, options);
}

NTSTATUS HostController::detach(unsigned port) {
    return bus_->detach(port);
}

bool HostController::connected(unsigned port) const {
    std::lock_guard lock(bus_->mutex);
    return bus_->devicePresentAt(port) != nullptr;
}

DEVICE_OBJECT* HostController::pdo(unsigned port) const {
    std::lock_guard lock(bus_->mutex);
    const host::Device* device = bus_->devicePresentAt(port);
    return device != nullptr ? device->pdo : nullptr;
}

DEVICE_OBJECT* HostController::rootHubPdo() const {
    return bus_->hubPdo;
}

DeviceFaults HostController::faults(unsigned port) {
    return DeviceFaults(bus_, port);
}

std::vector<RequestRecord> HostController::requests(unsigned port) const {
    std::lock_guard lock(bus_->mutex);
    const host::Device* device = bus_->devicePresentAt(port);
    return device != nullptr ? device->log : std::vector<RequestRecord>{};
}

void HostController::clearRequests(unsigned port) {
    std::lock_guard lock(bus_->mutex);
    if (host::Device* device = bus_->devicePresentAt(port)) {
        device->log.clear();
    }
}

bool HostController::startCapture(const std::string& path, std::string* error) {
    std::unique_ptr<CaptureWriter> writer = CaptureWriter::createFile(path, error);
    if (!writer) {
        return false;
    }
    std::lock_guard lock(bus_->mutex);
    bus_->capture = std::move(writer);
    return true;
}

void HostController::stopCapture() {
    std::lock_guard lock(bus_->mutex);
    bus_->capture.reset();
}

uint32_t HostController::currentFrame() const {
    return bus_->frameNumber();
}

uint64_t HostController::framesRun() const {
    return bus_->framesRun;
}

long HostController::interfaceReferences(unsigned port) const {
    std::lock_guard lock(bus_->mutex);
    const host::Device* device = bus_->devicePresentAt(port);
    return device != nullptr ? device->interfaceReferences.load() : 0;
}

}  // namespace vel::usb
