#include "toy_device.h"

#include <algorithm>
#include <cstring>

namespace vel::io::test {

namespace {

ToyDevice& toyOf(DEVICE_OBJECT* device) {
    return **static_cast<ToyDevice**>(device->DeviceExtension);
}

const char* majorName(UCHAR major) {
    switch (major) {
        case IRP_MJ_CREATE:
            return "create";
        case IRP_MJ_CLEANUP:
            return "cleanup";
        case IRP_MJ_CLOSE:
            return "close";
        case IRP_MJ_READ:
            return "read";
        case IRP_MJ_WRITE:
            return "write";
        case IRP_MJ_DEVICE_CONTROL:
            return "ioctl";
        case IRP_MJ_FLUSH_BUFFERS:
            return "flush";
        case IRP_MJ_QUERY_INFORMATION:
            return "query";
        case IRP_MJ_SET_INFORMATION:
            return "set";
        default:
            return "other";
    }
}

// Where a request's data lies, for the way it was buffered.
void* inputOf(IRP* irp, const IO_STACK_LOCATION& location) {
    if (location.MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ULONG method = METHOD_FROM_CTL_CODE(location.Parameters.DeviceIoControl.IoControlCode);
        return method == METHOD_NEITHER ? location.Parameters.DeviceIoControl.Type3InputBuffer
                                        : irp->AssociatedIrp.SystemBuffer;
    }
    if (irp->MdlAddress != nullptr) {
        return irp->MdlAddress->MappedSystemVa;
    }
    return (irp->Flags & IRP_BUFFERED_IO) != 0 ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
}

void* outputOf(IRP* irp, const IO_STACK_LOCATION& location) {
    if (location.MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        switch (METHOD_FROM_CTL_CODE(location.Parameters.DeviceIoControl.IoControlCode)) {
            case METHOD_BUFFERED:
                return irp->AssociatedIrp.SystemBuffer;
            case METHOD_NEITHER:
                return irp->UserBuffer;
            default:
                return irp->MdlAddress != nullptr ? irp->MdlAddress->MappedSystemVa : nullptr;
        }
    }
    return inputOf(irp, location);
}

// Moves the request's data: a write's or an ioctl's input is kept, then a read's, a query's or
// an ioctl's output is filled from `reply`. Returns the bytes moved.
ULONG_PTR exchange(ToyDevice& toy, IRP* irp, const IO_STACK_LOCATION& location) {
    switch (location.MajorFunction) {
        case IRP_MJ_WRITE: {
            auto* data = static_cast<unsigned char*>(inputOf(irp, location));
            ULONG length = location.Parameters.Write.Length;
            toy.received.assign(data, data + length);
            return length;
        }
        case IRP_MJ_DEVICE_CONTROL: {
            const auto& parameters = location.Parameters.DeviceIoControl;
            auto* in = static_cast<unsigned char*>(inputOf(irp, location));
            toy.received.assign(in, in + parameters.InputBufferLength);
            ULONG n = std::min<ULONG>(parameters.OutputBufferLength, toy.reply.size());
            if (n != 0) {
                std::memcpy(outputOf(irp, location), toy.reply.data(), n);
            }
            return n;
        }
        case IRP_MJ_READ:
        case IRP_MJ_QUERY_INFORMATION: {
            ULONG length = location.MajorFunction == IRP_MJ_READ
                               ? location.Parameters.Read.Length
                               : location.Parameters.QueryFile.Length;
            ULONG n = std::min<ULONG>(length, toy.reply.size());
            if (n != 0) {
                std::memcpy(outputOf(irp, location), toy.reply.data(), n);
            }
            return n;
        }
        default:
            return 0;
    }
}

VOID toyCancel(DEVICE_OBJECT* device, IRP* irp) {
    ToyDevice& toy = toyOf(device);
    toy.log.push_back(std::string("cancel ") +
                      majorName(IoGetCurrentIrpStackLocation(irp)->MajorFunction));
    toy.held.erase(std::find(toy.held.begin(), toy.held.end(), irp));
    toy.cancelableHeld.erase(irp);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS toyDispatch(DEVICE_OBJECT* device, IRP* irp) {
    ToyDevice& toy = toyOf(device);
    IO_STACK_LOCATION& location = *IoGetCurrentIrpStackLocation(irp);
    toy.log.push_back(majorName(location.MajorFunction));

    Seen seen;
    seen.major = location.MajorFunction;
    seen.irp = irp;
    seen.flags = irp->Flags;
    seen.file = location.FileObject;
    seen.systemBuffer = irp->AssociatedIrp.SystemBuffer;
    seen.userBuffer = irp->UserBuffer;
    seen.mdl = irp->MdlAddress;
    if (irp->MdlAddress != nullptr) {
        seen.mdlVa = irp->MdlAddress->MappedSystemVa;
        seen.mdlBytes = irp->MdlAddress->ByteCount;
    }
    seen.thread = irp->Tail.Overlay.Thread;
    seen.requestorMode = irp->RequestorMode;
    switch (location.MajorFunction) {
        case IRP_MJ_CREATE:
            seen.createOptions = location.Parameters.Create.Options;
            seen.shareAccess = location.Parameters.Create.ShareAccess;
            break;
        case IRP_MJ_READ:
        case IRP_MJ_WRITE:
            seen.length = location.Parameters.Read.Length;
            seen.byteOffset = location.Parameters.Read.ByteOffset.QuadPart;
            break;
        case IRP_MJ_DEVICE_CONTROL:
            seen.length = location.Parameters.DeviceIoControl.OutputBufferLength;
            seen.inputLength = location.Parameters.DeviceIoControl.InputBufferLength;
            seen.type3Input = location.Parameters.DeviceIoControl.Type3InputBuffer;
            break;
        case IRP_MJ_QUERY_INFORMATION:
            seen.length = location.Parameters.QueryFile.Length;
            seen.informationClass = location.Parameters.QueryFile.FileInformationClass;
            break;
        case IRP_MJ_SET_INFORMATION:
            seen.length = location.Parameters.SetFile.Length;
            seen.informationClass = location.Parameters.SetFile.FileInformationClass;
            toy.received.assign(
                static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer),
                static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer) + seen.length);
            break;
        default:
            break;
    }
    toy.seen.push_back(seen);

    Behaviour behaviour;
    if (auto it = toy.behaviour.find(location.MajorFunction); it != toy.behaviour.end()) {
        behaviour = it->second;
    }
    ULONG_PTR moved = exchange(toy, irp, location);
    irp->IoStatus.Status = behaviour.status;
    irp->IoStatus.Information = behaviour.information.value_or(moved);
    switch (behaviour.answer) {
        case Answer::Complete: {
            NTSTATUS status = behaviour.status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        case Answer::Pend:
        case Answer::PendUncancelable:
            IoMarkIrpPending(irp);
            toy.held.push_back(irp);
            if (behaviour.answer == Answer::Pend) {
                toy.cancelableHeld.insert(irp);
                IoSetCancelRoutine(irp, toyCancel);
            }
            return STATUS_PENDING;
        case Answer::CompleteLater: {
            IoMarkIrpPending(irp);
            rt::Runtime& runtime = *rt::Runtime::current();
            runtime.armTimer(runtime.now() + behaviour.delay,
                             [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
            return STATUS_PENDING;
        }
    }
    return STATUS_PENDING;
}

}  // namespace

const Seen& ToyDevice::last(UCHAR major) const {
    for (auto it = seen.rbegin(); it != seen.rend(); ++it) {
        if (it->major == major) {
            return *it;
        }
    }
    static const Seen none;
    ADD_FAILURE() << "no request of major function " << int(major) << " was seen";
    return none;
}

bool ToyDevice::completeHeld(NTSTATUS status, ULONG_PTR information) {
    while (!held.empty()) {
        IRP* irp = held.front();
        held.erase(held.begin());
        bool cancelable = cancelableHeld.erase(irp) != 0;
        if (IoSetCancelRoutine(irp, nullptr) == nullptr && cancelable) {
            continue;  // its cancel routine owns it
        }
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return true;
    }
    return false;
}

IoTest::IoTest() {
    driver.Type = IO_TYPE_DRIVER;
    for (auto& dispatch : driver.MajorFunction) {
        dispatch = toyDispatch;
    }
}

IoTest::~IoTest() = default;

void IoTest::TearDown() {
    endApplication();
    runtime.runUntilIdle();
    for (auto& toy : toys) {
        EXPECT_TRUE(toy->held.empty()) << "a toy device still holds requests";
        io().deleteDevice(toy->device);
    }
    for (const auto& link : links) {
        io().deleteSymbolicLink(link);
    }
    kernel.reset();  // the I/O manager reports what is still alive
    for (const auto& violation : runtime.verifier().take()) {
        ADD_FAILURE() << "verifier: " << violation.toString();
    }
}

ToyDevice& IoTest::addDevice(int number, ULONG bufferingFlag, bool exclusive) {
    auto toy = std::make_unique<ToyDevice>();
    std::u16string name = u"\\Device\\Toy" + kernel::toUtf16(std::to_string(number));
    kernel::DeviceObjectOptions options;
    options.name = name;
    options.exclusive = exclusive;
    options.extensionSize = sizeof(ToyDevice*);
    EXPECT_EQ(io().createDevice(&driver, options, &toy->device), STATUS_SUCCESS);
    *static_cast<ToyDevice**>(toy->device->DeviceExtension) = toy.get();
    toy->device->Flags |= bufferingFlag;
    toy->device->Flags &= ~DO_DEVICE_INITIALIZING;
    links.push_back(u"\\DosDevices\\TOY" + kernel::toUtf16(std::to_string(number)));
    EXPECT_EQ(io().createSymbolicLink(links.back(), name), STATUS_SUCCESS);
    toys.push_back(std::move(toy));
    return *toys.back();
}

void IoTest::expectViolation(const std::string& text) {
    auto violations = runtime.verifier().take();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].message.find(text), std::string::npos) << violations[0].message;
}

}  // namespace vel::io::test
