// Display names of the runtime's enumerations, used in reports and traces.
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"

namespace vel::rt {

const char* toString(ContextKind kind) {
    switch (kind) {
        case ContextKind::Application: return "application";
        case ContextKind::Pnp: return "pnp";
        case ContextKind::SystemWorker: return "system-worker";
        case ContextKind::Dispatch: return "dispatch";
        case ContextKind::Device: return "device";
    }
    return "?";
}

const char* toString(Irql irql) {
    switch (irql) {
        case Irql::Passive: return "PASSIVE_LEVEL";
        case Irql::Apc: return "APC_LEVEL";
        case Irql::Dispatch: return "DISPATCH_LEVEL";
    }
    return "?";
}

const char* toString(Rule rule) {
    switch (rule) {
        case Rule::BlockingAtDispatch: return "blocking call at dispatch level";
        case Rule::BlockingWithSpinLock: return "blocking call with a spin lock held";
        case Rule::SpinLockOrder: return "spin lock order";
        case Rule::SpinLockRecursion: return "spin lock acquired recursively";
        case Rule::SpinLockNotOwner: return "spin lock released by a non-owner";
        case Rule::UseAfterDelete: return "object used after delete";
        case Rule::InvalidHandle: return "invalid handle";
        case Rule::ReferenceLeak: return "reference leak";
        case Rule::RequestCompletedTwice: return "request completed twice";
        case Rule::RequestCompletedAfterForward: return "request completed after forward";
        case Rule::RequestOwnedAtRemoval: return "request still owned at removal";
        case Rule::CompletedWithSpinLock: return "request completed with a spin lock held";
        case Rule::AcknowledgedTwice: return "request acknowledged twice";
        case Rule::ContractViolation: return "framework contract violation";
        case Rule::Deadlock: return "deadlock";
    }
    return "?";
}

}  // namespace vel::rt
