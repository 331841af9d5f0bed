// The frame engine: one timer callback per (micro)frame in which the bus has work. Each runs
// the packets of that (micro)frame within its slot budget, endpoint by endpoint in turn, and
// gives back the transfers that the previous one finished. Nothing is armed while every
// endpoint with a transfer is waiting for its model.
#include <algorithm>
#include <cstring>

#include "bus.h"

namespace vel::usb::host {

namespace {

int64_t slotOf(Speed speed) {
    return speed == Speed::High ? kMicroframe : kFrame;
}

}  // namespace

// ----- Scheduling --------------------------------------------------------------------------

bool Bus::runnable(const Device& device, const Endpoint& endpoint, int64_t microframe) const {
    if (endpoint.queue.empty()) {
        return false;
    }
    const Transfer& t = *endpoint.queue.front();
    if (t.inService || !t.registered || t.state != Transfer::State::Queued) {
        return false;
    }
    if (t.cancelRequested || !device.present) {
        return true;  // to be finished at once
    }
    auto fault = device.faults.find(endpoint.address);
    if (fault != device.faults.end()) {
        if (fault->second.silent) {
            return false;
        }
        if (fault->second.failNext || fault->second.stall) {
            return true;
        }
    }
    if (endpoint.address == 0) {
        return !t.awaitsAnswer || device.lateAnswer.has_value();
    }
    if (endpoint.halted) {
        return true;
    }
    if (endpoint.naking) {
        return false;
    }
    return endpoint.type != USB_ENDPOINT_TYPE_INTERRUPT || microframe >= endpoint.nextPoll;
}

std::optional<Ticks> Bus::nextWake(Ticks now) const {
    std::optional<Ticks> best;
    auto consider = [&](Ticks t) {
        if (!best || t < *best) {
            best = t;
        }
    };
    for (const auto& device : devices) {
        const Ticks slot = slotOf(device->speed);
        const Ticks boundary = (now / slot + 1) * slot;
        for (const auto& [address, endpoint] : device->endpoints) {
            // Poll timing aside, could the endpoint run?
            if (!runnable(*device, endpoint, INT64_MAX)) {
                continue;
            }
            Ticks at = boundary;
            if (endpoint.type == USB_ENDPOINT_TYPE_INTERRUPT && !endpoint.halted) {
                at = std::max(at, endpoint.nextPoll * kMicroframe);
            }
            consider(at);
        }
    }
    for (const auto& t : transfers) {
        if (t->state == Transfer::State::Finished && !t->delivering && !t->awaitsCancelRoutine &&
            t->due > now) {
            consider(t->due);
        }
        if (t->state == Transfer::State::Queued && t->deadline != 0) {
            consider(std::max(t->deadline, now));
        }
    }
    return best;
}

void Bus::armLocked(Ticks at, std::vector<std::function<void()>>& after) {
    if (engineArmed_) {
        const rt::Runtime::TimerId old = timer_;
        after.push_back([this, old] { runtime.cancelTimer(old); });
    }
    engineArmed_ = true;
    armedAt_ = at;
    const uint64_t token = ++armToken_;
    after.push_back([this, self = shared_from_this(), at, token] {
        const rt::Runtime::TimerId id = runtime.armTimer(at, [self, token] { self->frame(token); });
        std::lock_guard lock(mutex);
        if (armToken_ == token) {
            timer_ = id;
        }
    });
}

void Bus::kick() {
    std::vector<std::function<void()>> after;
    {
        std::lock_guard lock(mutex);
        if (stopped || engineRunning_) {
            return;  // a running frame looks for more work when it ends
        }
        const std::optional<Ticks> wake = nextWake(runtime.now());
        if (!wake || (engineArmed_ && armedAt_ <= *wake)) {
            return;
        }
        armLocked(*wake, after);
    }
    for (auto& action : after) {
        action();
    }
}

void Bus::frame(uint64_t token) {
    Ticks t;
    {
        std::lock_guard lock(mutex);
        if (stopped || !engineArmed_ || token != armToken_) {
            return;  // superseded by an earlier frame
        }
        engineArmed_ = false;
        engineRunning_ = true;
        t = armedAt_;
    }
    ++framesRun;
    expireTimedOut(t);
    deliverDue();
    const int64_t microframe = t / kMicroframe;
    runSpeed(Speed::High, kHighSpeedPacketsPerMicroframe, microframe, t + kMicroframe);
    if (t % kFrame == 0) {
        runSpeed(Speed::Full, kFullSpeedPacketsPerFrame, microframe, t + kFrame);
    }
    // Transfers finished at once (cancelled, failed) during this frame.
    deliverDue();
    std::vector<std::function<void()>> after;
    bool overdue = false;
    {
        std::lock_guard lock(mutex);
        engineRunning_ = false;
        const Ticks now = std::max(t, runtime.now());
        if (!stopped) {
            if (const std::optional<Ticks> wake = nextWake(now)) {
                armLocked(*wake, after);
            }
        }
        // In wall time the clock may have passed a completion that was not yet due when this
        // frame gave back the others.
        for (const auto& transfer : transfers) {
            overdue = overdue || (transfer->state == Transfer::State::Finished &&
                                  transfer->registered && !transfer->delivering &&
                                  !transfer->awaitsCancelRoutine && transfer->due <= now);
        }
    }
    for (auto& action : after) {
        action();
    }
    if (overdue) {
        queueDelivery();
    }
}

// Control transfers whose time-out has passed end as a timed-out transfer does on Windows: the
// stack cancels them, with USBD_STATUS_TIMEOUT and STATUS_IO_TIMEOUT.
void Bus::expireTimedOut(Ticks now) {
    std::lock_guard lock(mutex);
    for (const auto& t : transfers) {
        if (t->state == Transfer::State::Queued && t->deadline != 0 && t->deadline <= now) {
            t->deadline = 0;
            cancelTransfer(*t, USBD_STATUS_TIMEOUT, STATUS_IO_TIMEOUT);
        }
    }
}

void Bus::runSpeed(Speed speed, int budget, int64_t microframe, Ticks dueAt) {
    // Round robin: one packet (or control stage) per runnable endpoint per turn, until the
    // budget is spent or nothing can run.
    while (budget > 0) {
        std::vector<std::pair<std::shared_ptr<Device>, uint8_t>> candidates;
        {
            std::lock_guard lock(mutex);
            for (const auto& device : devices) {
                if (device->speed != speed) {
                    continue;
                }
                for (const auto& [address, endpoint] : device->endpoints) {
                    if (runnable(*device, endpoint, microframe)) {
                        candidates.emplace_back(device, address);
                    }
                }
            }
        }
        if (candidates.empty()) {
            return;
        }
        for (auto& [device, address] : candidates) {
            if (budget == 0) {
                return;
            }
            Endpoint* endpoint = nullptr;
            Transfer* t = nullptr;
            {
                std::lock_guard lock(mutex);
                auto it = device->endpoints.find(address);
                if (it == device->endpoints.end() || !runnable(*device, it->second, microframe)) {
                    continue;
                }
                endpoint = &it->second;
                t = endpoint->queue.front();
                t->inService = true;
            }
            step(*device, *endpoint, *t, microframe, dueAt);
            --budget;
        }
    }
}

// ----- One packet or control stage ----------------------------------------------------------

void Bus::step(Device& device, Endpoint& endpoint, Transfer& t, int64_t microframe, Ticks dueAt) {
    {
        std::lock_guard lock(mutex);
        if (!device.present) {
            finish(t, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, dueAt);
            return;
        }
        if (t.cancelRequested) {
            finish(t, t.cancelUsbd, t.cancelNt, dueAt);
            return;
        }
        EndpointFault& fault = device.faults[endpoint.address];
        if (fault.failNext) {
            const auto [nt, usbd] = *fault.failNext;
            fault.failNext.reset();
            finish(t, usbd, nt, dueAt);
            return;
        }
        if (fault.stall || (endpoint.address != 0 && endpoint.halted)) {
            if (endpoint.address != 0) {
                endpoint.halted = true;
            }
            finish(t, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, dueAt);
            return;
        }
    }
    if (endpoint.address == 0) {
        stepControl(device, endpoint, t, dueAt);
    } else {
        stepData(device, endpoint, t, microframe, dueAt);
    }
}

void Bus::stepControl(Device& device, Endpoint& endpoint, Transfer& t, Ticks dueAt) {
    if (t.answered) {
        std::lock_guard lock(mutex);
        t.inService = false;
        if (--t.stagesLeft <= 0) {
            finish(t, USBD_STATUS_SUCCESS, STATUS_SUCCESS, dueAt);
        }
        return;
    }
    ControlAnswer answer;
    bool byHost = false;
    const std::span<const uint8_t> dataOut(t.buffer, t.in ? 0 : t.length);
    if (t.awaitsAnswer) {
        std::lock_guard lock(mutex);
        answer = std::move(*device.lateAnswer);
        device.lateAnswer.reset();
        t.awaitsAnswer = false;
    } else {
        {
            // An answer left over from a request cancelled while it waited is not this one's.
            std::lock_guard lock(mutex);
            device.lateAnswer.reset();
        }
        if (t.hostAnswer) {
            answer = t.hostAnswer();
            byHost = true;
        } else {
            answer = standardAnswer(device, t.setup, dataOut, &byHost);
        }
        std::lock_guard lock(mutex);
        device.log.push_back(
            RequestRecord{runtime.now(), t.setup, Bytes(dataOut.begin(), dataOut.end()), byHost});
    }
    std::lock_guard lock(mutex);
    t.inService = false;
    if (!device.present) {
        finish(t, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, dueAt);
        return;
    }
    if (t.cancelRequested) {
        finish(t, t.cancelUsbd, t.cancelNt, dueAt);
        return;
    }
    switch (answer.handshake) {
        case Handshake::Nak:
            t.awaitsAnswer = true;
            return;
        case Handshake::Stall:
            finish(t, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, dueAt);
            return;
        case Handshake::Ack:
            break;
    }
    uint32_t dataLength = t.length;
    if (t.in) {
        dataLength = std::min<uint32_t>(
            {static_cast<uint32_t>(answer.data.size()), t.setup.wLength, t.length});
        if (dataLength > 0) {
            std::memcpy(t.buffer, answer.data.data(), dataLength);
        }
        t.done = dataLength;
    } else {
        t.done = t.length;
    }
    const uint32_t maxPacket = std::max<uint32_t>(endpoint.maxPacket, 8);
    t.answered = true;
    t.stagesLeft = static_cast<int>((dataLength + maxPacket - 1) / maxPacket) + 1;
}

void Bus::stepData(Device& device, Endpoint& endpoint, Transfer& t, int64_t microframe,
                   Ticks dueAt) {
    const uint8_t address = endpoint.address;
    const uint16_t maxPacket = endpoint.maxPacket;
    InAnswer inAnswer;
    Handshake handshake;
    uint32_t sent = 0;
    if (t.in) {
        inAnswer = device.model->in(address, maxPacket);
        handshake = inAnswer.handshake;
    } else {
        sent = std::min<uint32_t>(maxPacket, t.length - t.done);
        handshake = device.model->out(address, std::span<const uint8_t>(t.buffer + t.done, sent));
    }
    std::lock_guard lock(mutex);
    t.inService = false;
    if (endpoint.type == USB_ENDPOINT_TYPE_INTERRUPT) {
        endpoint.nextPoll = microframe + endpoint.pollEvery;
    }
    if (!device.present) {
        finish(t, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, dueAt);
        return;
    }
    if (t.cancelRequested) {
        finish(t, t.cancelUsbd, t.cancelNt, dueAt);
        return;
    }
    switch (handshake) {
        case Handshake::Nak:
            endpoint.naking = true;
            return;
        case Handshake::Stall:
            endpoint.halted = true;
            finish(t, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, dueAt);
            return;
        case Handshake::Ack:
            break;
    }
    if (!t.in) {
        t.done += sent;
        if (t.done == t.length) {
            finish(t, USBD_STATUS_SUCCESS, STATUS_SUCCESS, dueAt);
        }
        return;
    }
    const Bytes& packet = inAnswer.packet;
    if (packet.size() > maxPacket) {
        finish(t, USBD_STATUS_BABBLE_DETECTED, ntStatusFromUsbd(USBD_STATUS_BABBLE_DETECTED),
               dueAt);
        return;
    }
    const uint32_t fits =
        std::min<uint32_t>(static_cast<uint32_t>(packet.size()), t.length - t.done);
    if (fits > 0) {
        std::memcpy(t.buffer + t.done, packet.data(), fits);
    }
    t.done += fits;
    USBD_STATUS result = USBD_STATUS_PENDING;
    if (packet.size() > fits) {
        result = USBD_STATUS_BUFFER_OVERRUN;  // the device sent more than the buffer holds
    } else if (packet.size() < maxPacket) {
        // A short or zero-length packet ends the transfer.
        result = t.done < t.length && !t.shortOk ? USBD_STATUS_ERROR_SHORT_TRANSFER
                                                 : USBD_STATUS_SUCCESS;
    } else if (t.done == t.length) {
        result = USBD_STATUS_SUCCESS;
    }
    if (result != USBD_STATUS_PENDING) {
        finish(t, result, ntStatusFromUsbd(result), dueAt);
    }
}

// ----- Standard requests the host answers from the descriptors ------------------------------

ControlAnswer Bus::standardAnswer(Device& device, const SetupPacket& setup,
                                  std::span<const uint8_t> dataOut, bool* byHost) {
    *byHost = true;
    DeviceModel& model = *device.model;
    const uint8_t recipient = setup.recipient();
    if (setup.type() == BMREQUEST_STANDARD) {
        switch (setup.bRequest) {
            case USB_REQUEST_GET_DESCRIPTOR: {
                if (recipient != BMREQUEST_TO_DEVICE) {
                    break;
                }
                const uint8_t type = setup.wValue >> 8;
                const uint8_t index = setup.wValue & 0xFF;
                if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
                    return {Handshake::Ack, model.deviceDescriptor()};
                }
                if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
                    return {Handshake::Ack, model.configurationDescriptor(index)};
                }
                if (type == USB_STRING_DESCRIPTOR_TYPE) {
                    std::optional<Bytes> text = model.stringDescriptor(index, setup.wIndex);
                    return text ? ControlAnswer{Handshake::Ack, std::move(*text)}
                                : ControlAnswer{Handshake::Stall, {}};
                }
                break;  // qualifier, BOS, ...: the device's own business
            }
            case USB_REQUEST_GET_STATUS: {
                uint8_t low = 0;
                std::lock_guard lock(mutex);
                if (recipient == BMREQUEST_TO_DEVICE) {
                    low = ((device.configAttributes() & USB_CONFIG_SELF_POWERED) != 0
                               ? USB_GETSTATUS_SELF_POWERED
                               : 0) |
                          (device.remoteWakeEnabled ? USB_GETSTATUS_REMOTE_WAKEUP_ENABLED : 0);
                } else if (recipient == BMREQUEST_TO_ENDPOINT) {
                    auto it = device.endpoints.find(setup.wIndex & 0xFF);
                    low = it != device.endpoints.end() && it->second.halted ? 1 : 0;
                }
                return {Handshake::Ack, {low, 0}};
            }
            case USB_REQUEST_SET_ADDRESS:
                return {Handshake::Ack, {}};
            case USB_REQUEST_GET_CONFIGURATION: {
                std::lock_guard lock(mutex);
                return {Handshake::Ack, {device.configurationValue}};
            }
            case USB_REQUEST_GET_INTERFACE: {
                std::lock_guard lock(mutex);
                auto it = device.alternates.find(setup.wIndex & 0xFF);
                return {Handshake::Ack, {it != device.alternates.end() ? it->second : uint8_t{0}}};
            }
            case USB_REQUEST_SET_CONFIGURATION:
                model.configurationSelected(setup.wValue & 0xFF);
                return {Handshake::Ack, {}};
            case USB_REQUEST_SET_INTERFACE:
                model.interfaceSelected(setup.wIndex & 0xFF, setup.wValue & 0xFF);
                return {Handshake::Ack, {}};
            case USB_REQUEST_CLEAR_FEATURE:
            case USB_REQUEST_SET_FEATURE: {
                const bool set = setup.bRequest == USB_REQUEST_SET_FEATURE;
                if (recipient == BMREQUEST_TO_DEVICE && setup.wValue == USB_FEATURE_REMOTE_WAKEUP) {
                    std::lock_guard lock(mutex);
                    device.remoteWakeEnabled = set;
                    return {Handshake::Ack, {}};
                }
                if (recipient == BMREQUEST_TO_ENDPOINT &&
                    setup.wValue == USB_FEATURE_ENDPOINT_STALL) {
                    const uint8_t address = setup.wIndex & 0xFF;
                    {
                        std::lock_guard lock(mutex);
                        auto it = device.endpoints.find(address);
                        if (it != device.endpoints.end()) {
                            it->second.halted = set;
                            it->second.naking = false;
                        }
                        if (!set) {
                            device.faults[address].stall = false;
                        }
                    }
                    if (!set) {
                        model.endpointReset(address);
                    }
                    return {Handshake::Ack, {}};
                }
                break;
            }
            default:
                break;
        }
    }
    *byHost = false;
    return model.control(setup, dataOut);
}

// ----- Giving transfers back ----------------------------------------------------------------

void Bus::finish(Transfer& t, USBD_STATUS usbd, NTSTATUS nt, Ticks due) {
    if (t.state == Transfer::State::Finished) {
        return;
    }
    t.state = Transfer::State::Finished;
    t.inService = false;
    t.usbdStatus = usbd;
    t.ntStatus = nt;
    t.due = due;
    if (t.device != nullptr) {
        auto it = t.device->endpoints.find(t.endpoint);
        if (it != t.device->endpoints.end()) {
            std::erase(it->second.queue, &t);
        }
    }
    if (NT_SUCCESS(nt) && t.onSuccess) {
        t.onSuccess();
    }
    if (t.urb == nullptr) {
        return;
    }
    t.urb->UrbHeader.Status = usbd;
    if (t.hasData) {
        // Control and bulk URBs share the layout up to the transfer length.
        t.urb->UrbControlTransfer.TransferBufferLength = t.done;
        if (t.endpoint == 0 && t.device != nullptr) {
            t.urb->UrbControlTransfer.PipeHandle = t.device->defaultPipe();
        }
    }
}

void Bus::queueDelivery() {
    runtime.queueDpc([self = shared_from_this()] { self->deliverDue(); });
}

void Bus::deliverDue() {
    std::vector<Transfer*> ready;
    {
        std::lock_guard lock(mutex);
        const Ticks now = runtime.now();
        for (const auto& t : transfers) {
            if (t->state == Transfer::State::Finished && t->registered && !t->delivering &&
                !t->awaitsCancelRoutine && t->due <= now) {
                t->delivering = true;
                ready.push_back(t.get());
            }
        }
    }
    for (Transfer* t : ready) {
        // Whoever takes the cancel routine out owns the IRP; if IoCancelIrp got it first, the
        // transfer waits for the cancel routine to have run.
        if (t->cancelable && IoSetCancelRoutine(t->irp, nullptr) == nullptr) {
            std::lock_guard lock(mutex);
            if (!t->cancelRoutineRan) {
                t->delivering = false;
                t->awaitsCancelRoutine = true;
                continue;
            }
        }
        std::unique_ptr<Transfer> owned;
        {
            std::lock_guard lock(mutex);
            auto it = std::find_if(transfers.begin(), transfers.end(),
                                   [t](const auto& p) { return p.get() == t; });
            owned = std::move(*it);
            transfers.erase(it);
            if (capture && owned->urb != nullptr) {
                capture->urbCompleted(static_cast<uint64_t>(runtime.now()) * 100, owned->id,
                                      owned->target, *owned->urb);
            }
        }
        IRP* irp = owned->irp;
        irp->IoStatus.Status = owned->ntStatus;
        irp->IoStatus.Information = 0;
        owned.reset();
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

void Bus::cancelRoutine(IRP* irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    bool deliver = false;
    {
        std::lock_guard lock(mutex);
        auto it = std::find_if(transfers.begin(), transfers.end(),
                               [irp](const auto& t) { return t->irp == irp; });
        if (it == transfers.end()) {
            return;
        }
        Transfer& t = **it;
        t.cancelRoutineRan = true;
        if (t.awaitsCancelRoutine) {
            t.awaitsCancelRoutine = false;
            deliver = true;
        } else if (t.state == Transfer::State::Queued) {
            cancelTransfer(t, USBD_STATUS_CANCELED, STATUS_CANCELLED);
            deliver = t.state == Transfer::State::Finished;
        }
    }
    if (deliver) {
        queueDelivery();  // completed later, never inside IoCancelIrp
    }
}

// ----- Model notifications -----------------------------------------------------------------

void Bus::endpointReady(Device& device, uint8_t address) {
    {
        std::lock_guard lock(mutex);
        auto it = device.endpoints.find(address);
        if (it == device.endpoints.end()) {
            return;
        }
        it->second.naking = false;
    }
    kick();
}

void Bus::controlReady(Device& device, ControlAnswer answer) {
    {
        std::lock_guard lock(mutex);
        device.lateAnswer = std::move(answer);
    }
    kick();
}

void DeviceHostImpl::endpointReady(uint8_t endpointAddress) {
    bus_.endpointReady(device_, endpointAddress);
}

void DeviceHostImpl::controlReady(ControlAnswer answer) {
    bus_.controlReady(device_, std::move(answer));
}

void DeviceHostImpl::schedule(int64_t delayTicks, std::function<void()> action) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(bus_.mutex);
        for (const auto& d : bus_.devices) {
            if (d.get() == &device_) {
                device = d;
            }
        }
    }
    if (!device) {
        return;
    }
    Bus* bus = &bus_;
    bus_.runtime.armTimer(bus_.runtime.now() + std::max<int64_t>(delayTicks, 0),
                          [self = bus->shared_from_this(), device, action = std::move(action)] {
                              {
                                  std::lock_guard lock(self->mutex);
                                  if (self->stopped || !device->present) {
                                      return;  // the device was unplugged meanwhile
                                  }
                              }
                              action();
                          });
}

int64_t DeviceHostImpl::now() const {
    return bus_.runtime.now();
}

}  // namespace vel::usb::host
