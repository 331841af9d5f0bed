// IRP allocation and the stack walk: IofCallDriver passes an IRP one location down,
// IofCompleteRequest walks it back up through the completion routines.
//
// Every IRP from IoAllocateIrp carries a platform header just before it that tracks where it is
// in its life, so that completing it twice or freeing it while a driver still owns it is
// reported instead of corrupting memory.

#include <atomic>
#include <new>

#include "io_impl.h"
#include "vel/runtime/faults.h"
#include "vel/runtime/runtime.h"

namespace vel::kernel {

namespace {

// IRP.AllocationFlags bit: the IRP came from IoAllocateIrp and has a tracking header.
constexpr UCHAR kTracked = 0x80;

enum class IrpState : int {
    Idle,      // allocated or reused, not sent
    InFlight,  // sent; some driver owns it until its completion reaches the top
    Done,      // completion consumed the top location (or stopped there)
};

struct IrpTracking {
    std::atomic<IrpState> state{IrpState::Idle};
    std::function<void(IRP*)> notify;  // the originator's, called when completion reaches the top
};

constexpr size_t kHeaderSize = (sizeof(IrpTracking) + alignof(std::max_align_t) - 1) /
                               alignof(std::max_align_t) * alignof(std::max_align_t);

IrpTracking* trackingOf(IRP* irp) {
    if (irp == nullptr || (irp->AllocationFlags & kTracked) == 0) {
        return nullptr;
    }
    return reinterpret_cast<IrpTracking*>(reinterpret_cast<char*>(irp) - kHeaderSize);
}

PIO_STACK_LOCATION firstLocation(IRP* irp) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
}

void initialize(IRP* irp, USHORT packetSize, CCHAR stackSize, UCHAR allocationFlags) {
    std::memset(irp, 0, packetSize);
    irp->Type = IO_TYPE_IRP;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->AllocationFlags = allocationFlags;
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    irp->Tail.Overlay.CurrentStackLocation = firstLocation(irp) + stackSize;
}

bool isIrp(const IRP* irp, const char* call) {
    if (irp != nullptr && irp->Type == IO_TYPE_IRP) {
        return true;
    }
    reportViolation(rt::Rule::ContractViolation, describeIrp(irp),
                    std::string(call) + " was given something that is not an IRP");
    return false;
}

void yieldToScheduler() {
    if (rt::Runtime* runtime = rt::Runtime::current()) {
        runtime->yield();
    }
}

// A finished location keeps its major function and device, as on Windows, so that the sender's
// completion routine can still tell what it sent where; the rest of what it asked is cleared.
void clearFinishedLocation(PIO_STACK_LOCATION location) {
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Control = 0;
    location->Parameters.Others = {};
    location->FileObject = nullptr;
    location->CompletionRoutine = nullptr;
    location->Context = nullptr;
}

// The answer to a major function the driver has no dispatch routine for.
NTSTATUS completeUnsupported(IRP* irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// An IRP with its tracking header, registered with the I/O manager. The platform's own IRPs
// come from here directly; drivers' calls to IoAllocateIrp pass the fault point first.
IRP* allocateTrackedIrp(CCHAR stackSize) {
    IoManager::Impl& io = IoManager::current().impl();
    USHORT packetSize = IoSizeOfIrp(stackSize);
    void* block = ::operator new(kHeaderSize + packetSize, std::nothrow);
    if (block == nullptr) {
        return nullptr;
    }
    new (block) IrpTracking();
    IRP* irp = reinterpret_cast<IRP*>(static_cast<char*>(block) + kHeaderSize);
    initialize(irp, packetSize, stackSize, kTracked);
    std::lock_guard lock(io.mutex);
    io.irps.insert(irp);
    return irp;
}

}  // namespace

void freeIrpMemory(IRP* irp) {
    IrpTracking* tracking = trackingOf(irp);
    irp->Type = 0;  // a later use of the pointer is then recognised as not an IRP
    tracking->~IrpTracking();
    ::operator delete(tracking);
}

void IrpDeleter::operator()(IRP* irp) const {
    IoFreeIrp(irp);
}

IrpPtr IoManager::allocateIrp(CCHAR stackSize) {
    return IrpPtr(allocateTrackedIrp(stackSize));
}

void IoManager::setCompletionNotify(IRP* irp, std::function<void(IRP*)> notify) {
    IrpTracking* tracking = trackingOf(irp);
    if (tracking == nullptr) {
        reportViolation(rt::Rule::ContractViolation, describeIrp(irp),
                        "a completion notification needs an IRP from IoAllocateIrp");
        return;
    }
    tracking->notify = std::move(notify);
}

}  // namespace vel::kernel

using namespace vel::kernel;

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    if (StackSize < 1) {
        reportViolation(vel::rt::Rule::ContractViolation, "IoAllocateIrp",
                        "an IRP needs at least one stack location");
        return nullptr;
    }
    if (auto* runtime = vel::rt::Runtime::current();
        runtime != nullptr && runtime->faults().shouldFail(vel::rt::fault::kIrpAllocate)) {
        return nullptr;
    }
    return allocateTrackedIrp(StackSize);
}

VOID IoFreeIrp(PIRP Irp) {
    if (!isIrp(Irp, "IoFreeIrp")) {
        return;
    }
    IrpTracking* tracking = trackingOf(Irp);
    if (tracking == nullptr) {
        reportViolation(vel::rt::Rule::ContractViolation, describeIrp(Irp),
                        "IoFreeIrp of an IRP that IoAllocateIrp did not allocate");
        return;
    }
    if (tracking->state.load() == IrpState::InFlight) {
        // Left allocated: the driver that owns it may still touch it.
        reportViolation(vel::rt::Rule::ContractViolation, describeIrp(Irp),
                        "IoFreeIrp of an IRP still in flight (sent and not completed)");
        return;
    }
    {
        IoManager::Impl& io = IoManager::current().impl();
        std::lock_guard lock(io.mutex);
        io.irps.erase(Irp);
    }
    freeIrpMemory(Irp);
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    initialize(Irp, PacketSize, StackSize, 0);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    if (!isIrp(Irp, "IoReuseIrp")) {
        return;
    }
    IrpTracking* tracking = trackingOf(Irp);
    if (tracking != nullptr) {
        if (tracking->state.load() == IrpState::InFlight) {
            reportViolation(vel::rt::Rule::ContractViolation, describeIrp(Irp),
                            "IoReuseIrp of an IRP still in flight (sent and not completed)");
            return;
        }
        tracking->state = IrpState::Idle;
        tracking->notify = nullptr;
    }
    initialize(Irp, Irp->Size, Irp->StackCount, Irp->AllocationFlags);
    Irp->IoStatus.Status = Status;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (!isIrp(Irp, "IoCallDriver")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CurrentLocation <= 1) {
        // Windows stops the machine here; the IRP is left as it was.
        reportViolation(vel::rt::Rule::ContractViolation, describeIrp(Irp),
                        "IoCallDriver to " + describeDevice(DeviceObject) +
                            " with no stack location left (StackCount " +
                            std::to_string(Irp->StackCount) + ")");
        return STATUS_INVALID_PARAMETER;
    }
    if (IrpTracking* tracking = trackingOf(Irp)) {
        tracking->state = IrpState::InFlight;
    }
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    location->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = nullptr;
    if (location->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION) {
        dispatch = DeviceObject->DriverObject->MajorFunction[location->MajorFunction];
    }
    if (dispatch == nullptr) {
        return completeUnsupported(Irp);
    }
    return dispatch(DeviceObject, Irp);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    if (!isIrp(Irp, "IoCompleteRequest")) {
        return;
    }
    IrpTracking* tracking = trackingOf(Irp);
    if (Irp->CurrentLocation > Irp->StackCount + 1 ||
        (tracking != nullptr && tracking->state.load() == IrpState::Done)) {
        reportViolation(vel::rt::Rule::ContractViolation, describeIrp(Irp),
                        "IRP completed twice (its completion already reached the top)");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        reportViolation(vel::rt::Rule::ContractViolation, describeIrp(Irp),
                        "IRP completed with STATUS_PENDING");
    }
    yieldToScheduler();

    // Each pass gives the location just finished back to the level that sent it there: its
    // completion routine runs, as the SL_INVOKE_* bits ask, with the device of the level
    // above (none for the top).
    Irp->PendingReturned = FALSE;
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION finished = IoGetCurrentIrpStackLocation(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        bool atTop = Irp->CurrentLocation == Irp->StackCount + 1;
        if (atTop && tracking != nullptr) {
            tracking->state = IrpState::Done;
        }
        Irp->PendingReturned = (finished->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = Irp->IoStatus.Status;
        UCHAR control = finished->Control;
        bool invoke = (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                      (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) &&  // set by cancellers
                       (control & SL_INVOKE_ON_CANCEL));
        PIO_COMPLETION_ROUTINE routine = finished->CompletionRoutine;
        PVOID context = finished->Context;
        clearFinishedLocation(finished);
        if (invoke && routine != nullptr) {
            PDEVICE_OBJECT device =
                atTop ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            yieldToScheduler();
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return;  // the routine's owner takes the IRP back (and may have freed it)
            }
        } else if (Irp->PendingReturned && !atTop) {
            // Without a routine to do it, the pending mark moves up a level by itself.
            IoMarkIrpPending(Irp);
        }
    }
    if (tracking != nullptr) {
        tracking->state = IrpState::Done;
        if (auto notify = std::move(tracking->notify)) {
            tracking->notify = nullptr;
            notify(Irp);  // the originator may free the IRP from here on
        }
    }
}

}  // extern "C"
