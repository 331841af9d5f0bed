// URBs handed to a device's PDO: each becomes a transfer on one of the device's endpoints (the
// requests that travel as control transfers go to endpoint 0, selections and pipe resets too),
// or is answered at once (frame number, abort, invalid requests). Transfers are always given
// back later, from the frame engine or a DPC, so the IRP is pended.
#include <cstring>

#include "bus.h"
#include "descriptors.h"
#include "hub_driver.h"
#include "vel/usb/urb.h"

namespace vel::usb::host {

namespace {

uint8_t* mdlAddress(PMDL mdl) {
    if (mdl == nullptr) {
        return nullptr;
    }
    if (mdl->MappedSystemVa != nullptr) {
        return static_cast<uint8_t*>(mdl->MappedSystemVa);
    }
    return static_cast<uint8_t*>(mdl->StartVa) + mdl->ByteOffset;
}

SetupPacket toSetup(const USB_DEFAULT_PIPE_SETUP_PACKET& p) {
    return {p.bmRequestType, p.bRequest, p.wValue, p.wIndex, p.wLength};
}

SetupPacket standardSetup(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index) {
    return {requestType, request, value, index, 0};
}

// Fills one interface record of a selection from its plan, with the pipes the device now has.
void fillInterface(const InterfacePlan& plan, Device& device, USBD_INTERFACE_HANDLE handle) {
    USBD_INTERFACE_INFORMATION& entry = *plan.entry;
    entry.Class = plan.cls;
    entry.SubClass = plan.subClass;
    entry.Protocol = plan.protocol;
    entry.InterfaceHandle = handle;
    entry.NumberOfPipes = static_cast<ULONG>(plan.endpoints.size());
    for (size_t i = 0; i < plan.endpoints.size(); ++i) {
        const Endpoint& endpoint = device.endpoints.at(plan.endpoints[i].bEndpointAddress);
        USBD_PIPE_INFORMATION& pipe = entry.Pipes[i];
        pipe.MaximumPacketSize = endpoint.maxPacket;
        pipe.EndpointAddress = endpoint.address;
        pipe.Interval = endpoint.interval;
        pipe.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint.type);
        pipe.PipeHandle = endpoint.handle;
        if (pipe.MaximumTransferSize == 0) {
            pipe.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
    }
}

}  // namespace

// Lock held: drops the endpoints of `interfaceNumber` (every interface for 0xFF), failing their
// queued transfers as cancelled.
static void dropEndpoints(Bus& bus, Device& device, int interfaceNumber) {
    for (const auto& t : bus.transfers) {
        if (t->device != &device || t->endpoint == 0 || t->state != Transfer::State::Queued) {
            continue;
        }
        auto it = device.endpoints.find(t->endpoint);
        if (it == device.endpoints.end() ||
            (interfaceNumber != 0xFF && it->second.interfaceNumber != interfaceNumber)) {
            continue;
        }
        bus.cancelTransfer(*t, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    }
    std::erase_if(device.endpoints, [&](const auto& entry) {
        return entry.first != 0 &&
               (interfaceNumber == 0xFF || entry.second.interfaceNumber == interfaceNumber);
    });
}

// Lock held: the endpoints of a selected interface setting.
static void addEndpoints(Bus& bus, Device& device, const InterfacePlan& plan) {
    for (const USB_ENDPOINT_DESCRIPTOR& d : plan.endpoints) {
        Endpoint endpoint;
        endpoint.address = d.bEndpointAddress;
        endpoint.type = d.bmAttributes & USB_ENDPOINT_TYPE_MASK;
        endpoint.maxPacket = d.wMaxPacketSize & 0x7FF;
        endpoint.interval = d.bInterval;
        endpoint.interfaceNumber = plan.number;
        endpoint.handle = bus.newHandle();
        if (endpoint.type == USB_ENDPOINT_TYPE_INTERRUPT) {
            // Full speed: bInterval frames; high speed: 2^(bInterval-1) microframes.
            endpoint.pollEvery = device.speed == Speed::High
                                     ? int64_t{1} << (std::clamp<int>(d.bInterval, 1, 16) - 1)
                                     : int64_t{8} * std::max<int>(d.bInterval, 1);
        }
        device.endpoints[endpoint.address] = endpoint;
    }
}

NTSTATUS Bus::submitUrb(Device& device, IRP* irp, URB* urb) {
    auto completeNow = [&](USBD_STATUS usbd, NTSTATUS nt) {
        urb->UrbHeader.Status = usbd;
        {
            std::lock_guard lock(mutex);
            if (capture) {
                const CaptureTarget target = captureTarget(*this, device, 0);
                const uint64_t id = nextTransferId++;
                const uint64_t ns = static_cast<uint64_t>(runtime.now()) * 100;
                capture->urbSubmitted(ns, id, target, *urb);
                capture->urbCompleted(ns, id, target, *urb);
            }
        }
        irp->IoStatus.Status = nt;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return nt;
    };
    auto fail = [&](USBD_STATUS usbd) { return completeNow(usbd, ntStatusFromUsbd(usbd)); };

    auto t = std::make_unique<Transfer>();
    t->irp = irp;
    t->urb = urb;
    t->device = &device;
    bool abortPipe = false;
    const uint16_t function = urb->UrbHeader.Function;
    {
        std::unique_lock lock(mutex);
        if (!device.present || stopped) {
            lock.unlock();
            return completeNow(USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
        }
        switch (function) {
            case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
                urb->UrbGetCurrentFrameNumber.FrameNumber = frameNumber();
                lock.unlock();
                return completeNow(USBD_STATUS_SUCCESS, STATUS_SUCCESS);

            case URB_FUNCTION_SELECT_CONFIGURATION: {
                auto& r = urb->UrbSelectConfiguration;
                Bytes configuration;
                std::vector<InterfacePlan> plans;
                uint8_t value = 0;
                if (r.ConfigurationDescriptor != nullptr) {
                    const auto* bytes = reinterpret_cast<const uint8_t*>(r.ConfigurationDescriptor);
                    if (r.ConfigurationDescriptor->wTotalLength <
                        sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
                        lock.unlock();
                        return fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
                    }
                    configuration.assign(bytes, bytes + r.ConfigurationDescriptor->wTotalLength);
                    value = r.ConfigurationDescriptor->bConfigurationValue;
                    auto* end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
                    auto* entry = reinterpret_cast<uint8_t*>(&r.Interface);
                    while (entry + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
                        auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(entry);
                        if (info->Length == 0 || entry + info->Length > end) {
                            break;
                        }
                        std::optional<InterfacePlan> plan = planInterface(
                            configuration, info->InterfaceNumber, info->AlternateSetting);
                        if (!plan) {
                            lock.unlock();
                            return fail(USBD_STATUS_INTERFACE_NOT_FOUND);
                        }
                        if (info->Length < interfaceInformationSize(plan->endpoints.size())) {
                            lock.unlock();
                            return fail(USBD_STATUS_BUFFER_TOO_SMALL);
                        }
                        plan->entry = info;
                        plans.push_back(std::move(*plan));
                        entry += info->Length;
                    }
                }
                t->setup = standardSetup(0, USB_REQUEST_SET_CONFIGURATION, value, 0);
                Device* d = &device;
                t->hostAnswer = [d, value, plans] {
                    d->model->configurationSelected(value);
                    for (const InterfacePlan& plan : plans) {
                        if (plan.alternate != 0) {
                            d->model->interfaceSelected(plan.number, plan.alternate);
                        }
                    }
                    return ControlAnswer{Handshake::Ack, {}};
                };
                t->onSuccess = [this, d, &r, value, configuration, plans] {
                    dropEndpoints(*this, *d, 0xFF);
                    d->alternates.clear();
                    d->interfaceHandles.clear();
                    d->configurationValue = value;
                    d->configuration = configuration;
                    d->configurationHandle = value != 0 ? newHandle() : nullptr;
                    for (const InterfacePlan& plan : plans) {
                        addEndpoints(*this, *d, plan);
                        d->alternates[plan.number] = plan.alternate;
                        d->interfaceHandles[plan.number] = newHandle();
                        fillInterface(plan, *d, d->interfaceHandles[plan.number]);
                    }
                    r.ConfigurationHandle = d->configurationHandle;
                };
                break;
            }

            case URB_FUNCTION_SELECT_INTERFACE: {
                auto& r = urb->UrbSelectInterface;
                if (device.configurationValue == 0 ||
                    r.ConfigurationHandle != device.configurationHandle) {
                    lock.unlock();
                    return fail(USBD_STATUS_INVALID_PARAMETER);
                }
                std::optional<InterfacePlan> plan =
                    planInterface(device.configuration, r.Interface.InterfaceNumber,
                                  r.Interface.AlternateSetting);
                if (!plan) {
                    lock.unlock();
                    return fail(USBD_STATUS_INTERFACE_NOT_FOUND);
                }
                if (r.Interface.Length < interfaceInformationSize(plan->endpoints.size())) {
                    lock.unlock();
                    return fail(USBD_STATUS_BUFFER_TOO_SMALL);
                }
                plan->entry = &r.Interface;
                t->setup = standardSetup(BMREQUEST_TO_INTERFACE, USB_REQUEST_SET_INTERFACE,
                                         plan->alternate, plan->number);
                Device* d = &device;
                const InterfacePlan p = *plan;
                t->hostAnswer = [d, p] {
                    d->model->interfaceSelected(p.number, p.alternate);
                    return ControlAnswer{Handshake::Ack, {}};
                };
                t->onSuccess = [this, d, p] {
                    dropEndpoints(*this, *d, p.number);
                    addEndpoints(*this, *d, p);
                    d->alternates[p.number] = p.alternate;
                    USBD_INTERFACE_HANDLE& handle = d->interfaceHandles[p.number];
                    if (handle == nullptr) {
                        handle = newHandle();
                    }
                    fillInterface(p, *d, handle);
                };
                break;
            }

            case URB_FUNCTION_ABORT_PIPE: {
                Endpoint* endpoint = device.endpointByHandle(urb->UrbPipeRequest.PipeHandle);
                if (endpoint == nullptr) {
                    lock.unlock();
                    return fail(USBD_STATUS_INVALID_PIPE_HANDLE);
                }
                for (const auto& queued : transfers) {
                    if (queued->device == &device && queued->endpoint == endpoint->address &&
                        queued->state == Transfer::State::Queued) {
                        cancelTransfer(*queued, USBD_STATUS_CANCELED, STATUS_CANCELLED);
                    }
                }
                abortPipe = true;
                t->endpoint = 0xFF;  // on no queue: given back right after the aborted ones
                break;
            }

            case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            case URB_FUNCTION_SYNC_RESET_PIPE:
            case URB_FUNCTION_SYNC_CLEAR_STALL: {
                // The host side of the pipe is reset and the device gets
                // CLEAR_FEATURE(ENDPOINT_HALT), which the host answers (see standardAnswer).
                Endpoint* endpoint = device.endpointByHandle(urb->UrbPipeRequest.PipeHandle);
                if (endpoint == nullptr) {
                    lock.unlock();
                    return fail(USBD_STATUS_INVALID_PIPE_HANDLE);
                }
                t->setup = standardSetup(BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE,
                                         USB_FEATURE_ENDPOINT_STALL, endpoint->address);
                break;
            }

            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
                auto& r = urb->UrbBulkOrInterruptTransfer;
                Endpoint* endpoint = device.endpointByHandle(r.PipeHandle);
                if (endpoint == nullptr || endpoint->address == 0) {
                    lock.unlock();
                    return fail(USBD_STATUS_INVALID_PIPE_HANDLE);
                }
                if (endpoint->type != USB_ENDPOINT_TYPE_BULK &&
                    endpoint->type != USB_ENDPOINT_TYPE_INTERRUPT) {
                    lock.unlock();
                    return fail(USBD_STATUS_NOT_SUPPORTED);
                }
                t->endpoint = endpoint->address;
                t->in = USB_ENDPOINT_DIRECTION_IN(endpoint->address) != 0;
                t->buffer = r.TransferBuffer != nullptr ? static_cast<uint8_t*>(r.TransferBuffer)
                                                        : mdlAddress(r.TransferBufferMDL);
                t->length = r.TransferBufferLength;
                t->shortOk = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
                t->hasData = true;
                if (t->buffer == nullptr && t->length > 0) {
                    lock.unlock();
                    return fail(USBD_STATUS_INVALID_PARAMETER);
                }
                break;
            }

            case URB_FUNCTION_ISOCH_TRANSFER:
                lock.unlock();
                return fail(USBD_STATUS_NOT_SUPPORTED);

            default: {
                const std::optional<USB_DEFAULT_PIPE_SETUP_PACKET> setup = setupPacketOf(*urb);
                const std::optional<UrbTransfer> data = transferOf(*urb);
                if (!setup || !data) {
                    lock.unlock();
                    return fail(USBD_STATUS_INVALID_URB_FUNCTION);
                }
                const auto& r = urb->UrbControlTransfer;
                const bool explicitPipe = function == URB_FUNCTION_CONTROL_TRANSFER ||
                                          function == URB_FUNCTION_CONTROL_TRANSFER_EX;
                const bool defaultPipe = !explicitPipe ||
                                         (r.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) != 0 ||
                                         r.PipeHandle == device.defaultPipe();
                if (!defaultPipe) {
                    const Endpoint* endpoint = device.endpointByHandle(r.PipeHandle);
                    if (endpoint == nullptr || endpoint->type != USB_ENDPOINT_TYPE_CONTROL) {
                        lock.unlock();
                        return fail(USBD_STATUS_INVALID_PIPE_HANDLE);
                    }
                }
                t->setup = toSetup(*setup);
                if (function == URB_FUNCTION_CONTROL_TRANSFER_EX &&
                    urb->UrbControlTransferEx.Timeout != 0) {
                    // Checked at the first frame boundary once it has passed.
                    const Ticks at = runtime.now() +
                                     static_cast<Ticks>(urb->UrbControlTransferEx.Timeout) * kFrame;
                    t->deadline = (at + kFrame - 1) / kFrame * kFrame;
                }
                t->in = data->in;
                t->buffer =
                    data->buffer != nullptr ? data->buffer : mdlAddress(r.TransferBufferMDL);
                t->length = data->length;
                t->hasData = true;
                if (t->buffer == nullptr && t->length > 0) {
                    lock.unlock();
                    return fail(USBD_STATUS_INVALID_PARAMETER);
                }
                break;
            }
        }

        t->id = nextTransferId++;
        t->target = captureTarget(*this, device, t->endpoint == 0xFF ? 0 : t->endpoint);
        if (capture) {
            capture->urbSubmitted(static_cast<uint64_t>(runtime.now()) * 100, t->id, t->target,
                                  *urb);
        }
        IoMarkIrpPending(irp);
        Transfer* raw = t.get();
        transfers.push_back(std::move(t));
        if (abortPipe) {
            raw->registered = true;
            finish(*raw, USBD_STATUS_SUCCESS, STATUS_SUCCESS, runtime.now());
        } else {
            device.endpoints.at(raw->endpoint).queue.push_back(raw);
        }
        if (abortPipe) {
            lock.unlock();
            queueDelivery();
            return STATUS_PENDING;
        }
        lock.unlock();

        // The transfer is queued but neither runs nor is given back until it is registered; a
        // cancel routine that runs from here on finds it.
        IoSetCancelRoutine(irp, [](DEVICE_OBJECT* pdo, IRP* cancelled) {
            busOfPdo(pdo).cancelRoutine(cancelled);
        });
        bool cancelledAlready = false;
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            cancelledAlready = true;  // cancelled before it was cancelable: ours to finish
        }
        bool finished;
        {
            std::lock_guard relock(mutex);
            raw->registered = true;
            raw->cancelable = !cancelledAlready;
            if (cancelledAlready) {
                finish(*raw, USBD_STATUS_CANCELED, STATUS_CANCELLED, runtime.now());
            } else if (raw->cancelRequested) {
                // An abort or unplug came while it was being made cancelable.
                finish(*raw, raw->cancelUsbd, raw->cancelNt, runtime.now());
            }
            finished = raw->state == Transfer::State::Finished;
        }
        if (finished) {
            queueDelivery();
        } else {
            kick();
        }
        return STATUS_PENDING;
    }
}

void Bus::cancelTransfer(Transfer& t, USBD_STATUS usbd, NTSTATUS nt) {
    if (t.inService || !t.registered) {
        t.cancelRequested = true;
        t.cancelUsbd = usbd;
        t.cancelNt = nt;
    } else {
        finish(t, usbd, nt, runtime.now());
    }
}

void Bus::cancelAll(Device& device, USBD_STATUS usbd, NTSTATUS nt) {
    for (const auto& t : transfers) {
        if (t->device == &device && t->state == Transfer::State::Queued) {
            cancelTransfer(*t, usbd, nt);
        }
    }
}

}  // namespace vel::usb::host
