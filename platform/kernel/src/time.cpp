// Delays, the clocks and the current IRQL, taken from the runtime.
#include "vel/runtime/runtime.h"
#include "vel_kernel.h"

namespace {

// System time at the start of every run (2020-01-01 00:00 UTC in 100 ns units since 1601), so
// that a run's timestamps depend only on its seed.
constexpr LONGLONG kBootSystemTime = 132223104000000000LL;

vel::rt::Ticks uptime() {
    auto* runtime = vel::rt::Runtime::current();
    return runtime != nullptr ? runtime->now() : 0;
}

}  // namespace

extern "C" {

KIRQL VelKeGetCurrentIrql(VOID) {
    return static_cast<KIRQL>(vel::rt::currentIrql());
}

// A negative interval is relative; a positive one is an absolute system time, and one already
// past still makes a (zero-length) delay so that the call stays a blocking call.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
    if (Interval == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const LONGLONG value = Interval->QuadPart;
    vel::rt::Ticks ticks = value < 0 ? -value : value - (kBootSystemTime + uptime());
    vel::rt::delay(ticks < 0 ? 0 : ticks);
    return STATUS_SUCCESS;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = kBootSystemTime + uptime();
}

ULONGLONG KeQueryInterruptTime(VOID) {
    return static_cast<ULONGLONG>(uptime());
}

}  // extern "C"
