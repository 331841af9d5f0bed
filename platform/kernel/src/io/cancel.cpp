// IRP cancellation and the cancel spin lock. The lock is the I/O manager's rt::SpinLock, so
// the verifier sees it like any other: a cancel routine runs holding it and must release it.

#include "io_impl.h"

using namespace vel::kernel;

namespace {

size_t spinLocksHeld() {
    vel::rt::Runtime* runtime = vel::rt::Runtime::current();
    return runtime != nullptr ? runtime->verifier().spinLocksHeldByCurrentContext() : 0;
}

}  // namespace

extern "C" {

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    KIRQL previous = static_cast<KIRQL>(vel::rt::currentIrql());
    IoManager::current().cancelLock().acquire();
    *Irql = previous;
}

// The lock itself restores the level it was taken at, which is the Irql its acquirer saved.
VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    IoManager::current().cancelLock().release();
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    if (Irp == nullptr || Irp->Type != IO_TYPE_IRP) {
        reportViolation(vel::rt::Rule::ContractViolation, describeIrp(Irp),
                        "IoCancelIrp was given something that is not an IRP");
        return FALSE;
    }
    size_t heldBefore = spinLocksHeld();
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);  // read without the lock by drivers
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    routine(device, Irp);
    if (spinLocksHeld() > heldBefore) {
        reportViolation(vel::rt::Rule::ContractViolation, "IoCancelSpinLock",
                        "a cancel routine of " + describeDevice(device) +
                            " returned without releasing the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}

}  // extern "C"
