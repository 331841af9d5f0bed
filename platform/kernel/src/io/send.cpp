// Synchronous sends on behalf of the platform (the PnP manager's IRPs): the originator's
// notification sets an event the sender waits on.

#include "io_impl.h"

namespace vel::kernel {

NTSTATUS IoManager::sendAndWait(DEVICE_OBJECT* device, IRP* irp) {
    // Shared with the notification, which may still be returning from set() on another context
    // when the wait ends.
    auto done =
        std::make_shared<rt::Event>(rt::Event::Type::ManualReset, false,
                                    "completion of an IRP sent to " + describeDevice(device));
    if (irp->CurrentLocation <= 1) {
        return IofCallDriver(device,
                             irp);  // reports the missing stack location; nothing to wait for
    }
    setCompletionNotify(irp, [done](IRP*) { done->set(); });
    IofCallDriver(device, irp);
    done->wait();
    return irp->IoStatus.Status;
}

}  // namespace vel::kernel
