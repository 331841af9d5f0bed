// Toy WDM devices for the application-side tests: plain dispatch routines on device objects
// made through the I/O manager, named "\Device\ToyN" with a link "\DosDevices\TOYN". Each
// device keeps what it saw and answers each major function as its test tells it to.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vel/io/application.h"
#include "vel/kernel/io.h"
#include "vel/kernel/kernel.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel_kernel.h"

namespace vel::io::test {

enum class Answer {
    Complete,          // complete in the dispatch routine
    Pend,              // mark pending and hold, with a cancel routine that completes it cancelled
    PendUncancelable,  // mark pending and hold, no cancel routine
    CompleteLater,     // mark pending, complete from a kernel timer `delay` later
};

struct Behaviour {
    Answer answer = Answer::Complete;
    NTSTATUS status = STATUS_SUCCESS;
    // Information to report; by default the bytes the device moved.
    std::optional<ULONG_PTR> information;
    rt::Ticks delay = 0;

    static Behaviour complete(NTSTATUS status, std::optional<ULONG_PTR> information = {}) {
        return {Answer::Complete, status, information, 0};
    }
    static Behaviour pend() { return {Answer::Pend, STATUS_SUCCESS, {}, 0}; }
    static Behaviour pendUncancelable() {
        return {Answer::PendUncancelable, STATUS_SUCCESS, {}, 0};
    }
    static Behaviour completeAfter(rt::Ticks delay, NTSTATUS status = STATUS_SUCCESS) {
        return {Answer::CompleteLater, status, {}, delay};
    }
};

// What the dispatch routine saw of one request.
struct Seen {
    UCHAR major = 0;
    IRP* irp = nullptr;
    ULONG flags = 0;
    FILE_OBJECT* file = nullptr;
    void* systemBuffer = nullptr;
    void* userBuffer = nullptr;
    MDL* mdl = nullptr;
    void* mdlVa = nullptr;
    ULONG mdlBytes = 0;
    void* type3Input = nullptr;
    ULONG length = 0;  // read/write length, or ioctl output length
    ULONG inputLength = 0;
    LONGLONG byteOffset = 0;
    ULONG createOptions = 0;
    USHORT shareAccess = 0;
    FILE_INFORMATION_CLASS informationClass{};
    void* thread = nullptr;
    KPROCESSOR_MODE requestorMode = 0;
};

struct ToyDevice {
    DEVICE_OBJECT* device = nullptr;
    std::vector<std::string> log;  // "create", "read", "cancel read", ...
    std::vector<Seen> seen;
    std::map<UCHAR, Behaviour> behaviour;  // by major function; Complete/success otherwise
    std::vector<unsigned char> reply;      // what reads and ioctls put in their output
    std::vector<unsigned char> received;   // what the last write or ioctl brought in
    std::vector<IRP*> held;                // pending requests, oldest first
    std::set<IRP*> cancelableHeld;         // those with the cancel routine

    const Seen& last(UCHAR major) const;
    // Completes the oldest held request unless a cancel got to it first; false if none.
    bool completeHeld(NTSTATUS status, ULONG_PTR information = 0);
};

class IoTest : public ::testing::Test {
  protected:
    IoTest();
    ~IoTest() override;
    void TearDown() override;

    // A device "\Device\Toy<n>" reachable as "\\.\TOY<n>", with the given DO_* buffering flag.
    ToyDevice& addDevice(int number, ULONG bufferingFlag = DO_BUFFERED_IO, bool exclusive = false);
    kernel::IoManager& io() { return kernel->io(); }
    // Takes the recorded violations and checks there is exactly one, mentioning `text`.
    void expectViolation(const std::string& text);
    // Ends the application (process exit) before the devices go.
    void endApplication() { app.reset(); }

    rt::Runtime runtime;
    std::optional<kernel::Kernel> kernel{std::in_place};
    DRIVER_OBJECT driver{};
    std::vector<std::unique_ptr<ToyDevice>> toys;
    std::vector<std::u16string> links;
    std::optional<Application> app{std::in_place, "test"};
};

inline std::vector<unsigned char> bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

inline std::string text(const void* data, size_t length) {
    return std::string(static_cast<const char*>(data), length);
}

}  // namespace vel::io::test
