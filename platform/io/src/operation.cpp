#include "operation.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "vel/runtime/verifier.h"

namespace vel::io {

namespace {

constexpr uintptr_t kPageSize = 4096;

std::string describe(const IRP* irp, const DEVICE_OBJECT* target) {
    char text[96];
    std::snprintf(text, sizeof text, "IRP %p sent by an application to DEVICE_OBJECT %p",
                  static_cast<const void*>(irp), static_cast<const void*>(target));
    return text;
}

void reportViolation(const IRP* irp, const DEVICE_OBJECT* target, std::string message) {
    if (rt::Runtime* runtime = rt::Runtime::current()) {
        runtime->verifier().report(rt::Rule::ContractViolation, describe(irp, target),
                                   std::move(message));
    }
}

}  // namespace

Operation::Operation(std::shared_ptr<File> file, UCHAR majorFunction, OVERLAPPED* overlapped,
                     std::shared_ptr<Waitable> signal)
    : file_(std::move(file)),
      target_(file_->target()),
      overlapped_(overlapped),
      signal_(std::move(signal)) {
    irp_ = kernel::IoManager::allocateIrp(target_->StackSize);
    prepareApplicationIrp(irp_.get(), file_->object(), majorFunction);
    issuer_ = irp_->Tail.Overlay.Thread;
    if (majorFunction == IRP_MJ_READ) {
        irp_->Flags |= IRP_READ_OPERATION;
    } else if (majorFunction == IRP_MJ_WRITE) {
        irp_->Flags |= IRP_WRITE_OPERATION;
    }
}

Operation::~Operation() = default;

void* Operation::systemBuffer(size_t size) {
    if (size == 0) {
        return nullptr;
    }
    systemBuffer_.assign(size, 0);
    irp_->AssociatedIrp.SystemBuffer = systemBuffer_.data();
    irp_->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return systemBuffer_.data();
}

void Operation::copyBackTo(void* buffer, ULONG length) {
    if (length == 0 || systemBuffer_.empty()) {
        return;
    }
    copyBack_ = buffer;
    copyBackLength_ = length;
    irp_->Flags |= IRP_INPUT_OPERATION;
}

void Operation::describe(void* buffer, ULONG length) {
    if (length == 0) {
        return;
    }
    auto address = reinterpret_cast<uintptr_t>(buffer);
    mdl_.Size = sizeof(MDL);
    mdl_.MappedSystemVa = buffer;
    mdl_.StartVa = reinterpret_cast<PVOID>(address & ~(kPageSize - 1));
    mdl_.ByteOffset = static_cast<ULONG>(address & (kPageSize - 1));
    mdl_.ByteCount = length;
    irp_->MdlAddress = &mdl_;
}

NTSTATUS Operation::send(const std::shared_ptr<Outstanding>& outstanding) {
    outstanding_ = outstanding;
    if (overlapped_ != nullptr) {
        __atomic_store_n(&overlapped_->InternalHigh, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&overlapped_->Internal, static_cast<ULONG_PTR>(STATUS_PENDING),
                         __ATOMIC_RELEASE);
        signal_->signal().reset();
    }
    file_->addUser();
    outstanding_->add(shared_from_this());
    // The notification holds no reference: the outstanding list keeps the request alive until
    // it has run.
    kernel::IoManager::setCompletionNotify(irp_.get(), [weak = weak_from_this()](IRP* irp) {
        if (auto self = weak.lock()) {
            self->finish(irp);
        }
    });

    NTSTATUS returned = IoCallDriver(target_, irp_.get());

    bool publishNow = false;
    bool checkMark = false;
    bool marked = false;
    {
        std::lock_guard lock(mutex_);
        dispatchReturned_ = true;
        returned_ = returned;
        if (completed_) {
            checkMark = true;
            marked = pendingMarked_;
            publishNow = !published_ && (returned == STATUS_PENDING || !NT_ERROR(status_));
            published_ = published_ || publishNow;
        }
    }
    if (checkMark) {
        checkPendingMark(returned, marked);
    }
    if (publishNow) {
        publish();
    }
    return returned;
}

void Operation::finish(IRP* irp) {
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    if (informationLimit_ && information > *informationLimit_) {
        reportViolation(irp, target_,
                        "completed with Information " + std::to_string(information) +
                            " for a buffer of " + std::to_string(*informationLimit_) +
                            " bytes; the transfer is cut to the buffer");
        information = *informationLimit_;
    }
    if (!NT_ERROR(status)) {
        if (copyBack_ != nullptr && (irp->Flags & IRP_INPUT_OPERATION) != 0) {
            std::memcpy(copyBack_, systemBuffer_.data(),
                        std::min<size_t>(information, copyBackLength_));
        }
        if (advancesFrom_ && file_->synchronous()) {
            file_->object()->CurrentByteOffset.QuadPart =
                *advancesFrom_ + static_cast<LONGLONG>(information);
        }
    }

    bool publishNow = false;
    bool checkMark = false;
    bool marked = irp->PendingReturned != FALSE;
    NTSTATUS returned = STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        status_ = status;
        information_ = information;
        completed_ = true;
        pendingMarked_ = marked;
        if (dispatchReturned_) {
            checkMark = true;
            returned = returned_;
        }
        // Pending at the top, the result goes out from here; otherwise the dispatch routine's
        // caller decides when it returns.
        publishNow = !published_ && (dispatchReturned_ || pendingMarked_);
        published_ = published_ || publishNow;
    }
    if (checkMark) {
        checkPendingMark(returned, marked);
    }
    outstanding_->remove(this);
    file_->releaseUser(false);
    if (publishNow) {
        publish();
    }
    done_.set();
}

void Operation::checkPendingMark(NTSTATUS returned, bool marked) {
    if (returned == STATUS_PENDING && !marked) {
        reportViolation(irp_.get(), target_,
                        "the top driver returned STATUS_PENDING without IoMarkIrpPending");
    }
}

void Operation::publish() {
    if (overlapped_ == nullptr) {
        return;
    }
    __atomic_store_n(&overlapped_->InternalHigh, information_, __ATOMIC_RELAXED);
    __atomic_store_n(&overlapped_->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status_)),
                     __ATOMIC_RELEASE);
    signal_->signal().set();
}

bool Operation::waitForCompletion(std::optional<rt::Ticks> timeout) {
    return done_.wait(timeout);
}

bool Operation::completed() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

void Outstanding::add(std::shared_ptr<Operation> operation) {
    std::lock_guard lock(mutex_);
    operations_.push_back(std::move(operation));
}

void Outstanding::remove(const Operation* operation) {
    std::shared_ptr<Operation> removed;  // released after the lock
    std::lock_guard lock(mutex_);
    auto it = std::find_if(operations_.begin(), operations_.end(),
                           [operation](const auto& entry) { return entry.get() == operation; });
    if (it != operations_.end()) {
        removed = std::move(*it);
        operations_.erase(it);
    }
}

std::vector<std::shared_ptr<Operation>> Outstanding::select(
    const std::function<bool(const Operation&)>& predicate) const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Operation>> result;
    for (const auto& operation : operations_) {
        if (predicate(*operation)) {
            result.push_back(operation);
        }
    }
    return result;
}

}  // namespace vel::io
