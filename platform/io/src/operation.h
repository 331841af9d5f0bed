// One request of an application on an open file: the IRP with its buffers, the notification
// that finishes it when its completion reaches the top of the stack, and its result.
//
// Finishing copies a buffered read back to the caller, writes the OVERLAPPED and signals its
// event (or the file). As on Windows, a request the driver fails without pending it leaves the
// OVERLAPPED and the event alone: the call's own return reports the failure.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "file.h"
#include "objects.h"
#include "vel/kernel/io.h"

namespace vel::io {

class Outstanding;

class Operation : public std::enable_shared_from_this<Operation> {
  public:
    // `signal` is what completion sets for an OVERLAPPED: its event, or the file.
    Operation(std::shared_ptr<File> file, UCHAR majorFunction, OVERLAPPED* overlapped,
              std::shared_ptr<Waitable> signal);
    ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    IRP* irp() const { return irp_.get(); }
    IO_STACK_LOCATION& location() const { return *IoGetNextIrpStackLocation(irp_.get()); }
    const std::shared_ptr<File>& file() const { return file_; }
    DEVICE_OBJECT* target() const { return target_; }  // the top of the stack when built
    const void* issuer() const { return issuer_; }
    OVERLAPPED* overlapped() const { return overlapped_; }

    // ----- Buffers ----------------------------------------------------------------------------
    // A zeroed system buffer of `size` bytes (none for zero bytes) that the IRP owns.
    void* systemBuffer(size_t size);
    // On completion without an error, Information bytes of the system buffer go to `buffer`.
    void copyBackTo(void* buffer, ULONG length);
    // Describes the caller's buffer with an MDL (none for zero bytes).
    void describe(void* buffer, ULONG length);
    // The most Information a driver may report (the caller's buffer for data coming back).
    void limitInformation(ULONG length) { informationLimit_ = length; }
    // A read or write at `offset` on a synchronous file moves its current byte offset past
    // the data.
    void advancesFileOffset(LONGLONG offset) { advancesFrom_ = offset; }

    // ----- Sending ----------------------------------------------------------------------------
    // Registers with `outstanding`, calls the top driver and returns what its dispatch routine
    // returned.
    NTSTATUS send(const std::shared_ptr<Outstanding>& outstanding);
    // Waits for the completion (a blocking call); false when the time-out ran out first.
    bool waitForCompletion(std::optional<rt::Ticks> timeout = std::nullopt);
    bool completed() const;
    // The IRP's final status and Information (valid once completed).
    NTSTATUS status() const { return status_; }
    ULONG_PTR information() const { return information_; }

  private:
    void finish(IRP* irp);
    void publish();
    void checkPendingMark(NTSTATUS returned, bool marked);

    std::shared_ptr<File> file_;
    kernel::IrpPtr irp_;
    DEVICE_OBJECT* target_;
    const void* issuer_;
    OVERLAPPED* overlapped_;
    std::shared_ptr<Waitable> signal_;
    std::shared_ptr<Outstanding> outstanding_;

    std::vector<unsigned char> systemBuffer_;
    void* copyBack_ = nullptr;
    ULONG copyBackLength_ = 0;
    std::optional<ULONG> informationLimit_;
    MDL mdl_{};
    std::optional<LONGLONG> advancesFrom_;

    mutable std::mutex mutex_;  // the fields below; never held across a scheduling point
    bool completed_ = false;
    bool pendingMarked_ = false;
    bool dispatchReturned_ = false;
    NTSTATUS returned_ = STATUS_SUCCESS;
    bool published_ = false;
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    rt::Event done_{rt::Event::Type::ManualReset, false, "completion of an application request"};
};

// The requests an application has sent and that have not completed, for cancellation.
class Outstanding {
  public:
    void add(std::shared_ptr<Operation> operation);
    void remove(const Operation* operation);
    std::vector<std::shared_ptr<Operation>> select(
        const std::function<bool(const Operation&)>& predicate) const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Operation>> operations_;
};

}  // namespace vel::io
