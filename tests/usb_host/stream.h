// A bulk-IN reader for the stream tests: keeps a number of transfers in flight on a pipe,
// sending each again from its completion routine, and checks that the bytes arrive in order
// (the test device streams a running counter), those of cancelled transfers included.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "test_driver.h"
#include "vel/runtime/runtime.h"
#include "vel_usb.h"

namespace vel::usb::test {

class StreamReader {
  public:
    StreamReader(DEVICE_OBJECT* fdo, USBD_PIPE_HANDLE pipe, uint32_t transferLength,
                 size_t inFlight)
        : fdo_(fdo), pipe_(pipe), length_(transferLength) {
        for (size_t i = 0; i < inFlight; ++i) {
            requests_.push_back(std::make_unique<UrbRequest>(
                sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), transferLength));
        }
    }

    // Starts every transfer; they run until `limit` bytes have been received or stop() is
    // called, or one fails with anything but STATUS_CANCELLED.
    void start(uint64_t limit) {
        limit_ = limit;
        stopping_ = false;
        for (auto& r : requests_) {
            submit(*r);
        }
    }
    void stop() { stopping_ = true; }
    // Sets `event` once `bytes` have arrived.
    void notifyAt(uint64_t bytes, rt::Event* event) {
        notifyBytes_ = bytes;
        notify_ = event;
    }

    uint64_t bytes() const { return bytes_; }
    uint64_t cancelled() const { return cancelled_; }
    uint64_t completions() const { return completions_; }
    uint64_t submissions() const { return submissions_; }
    bool idle() const {
        for (const auto& r : requests_) {
            if (!r->done) {
                return false;
            }
        }
        return true;
    }
    rt::Ticks lastCompletion() const { return last_; }
    std::vector<std::unique_ptr<UrbRequest>>& requests() { return requests_; }

  private:
    void submit(UrbRequest& r) {
        r.done = false;
        UsbBuildInterruptOrBulkTransferRequest(
            r.urb(), sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe_, r.data.data(), nullptr,
            length_, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
        r.onComplete = [this](UrbRequest& done) { completed(done); };
        ++submissions_;
        sendUrb(fdo_, r);
    }

    void completed(UrbRequest& r) {
        ++completions_;
        last_ = r.completedAt;
        // A cancelled transfer reports the bytes it had received before the cancel; an
        // unplug ends the stream (in flight, or refused when sent again).
        if (r.status == STATUS_CANCELLED) {
            ++cancelled_;
        } else if (r.status != STATUS_DEVICE_NOT_CONNECTED && r.status != STATUS_NO_SUCH_DEVICE) {
            EXPECT_EQ(r.status, STATUS_SUCCESS);
        }
        const uint32_t got = r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength;
        for (uint32_t i = 0; i < got; ++i) {
            if (r.data[i] != static_cast<uint8_t>(bytes_ + i)) {
                ADD_FAILURE() << "stream byte " << bytes_ + i << " out of order";
                return;
            }
        }
        bytes_ += got;
        if (notify_ != nullptr && bytes_ >= notifyBytes_) {
            notify_->set();
            notify_ = nullptr;
        }
        if (!stopping_ && r.status == STATUS_SUCCESS && bytes_ < limit_) {
            submit(r);
        }
    }

    DEVICE_OBJECT* fdo_;
    USBD_PIPE_HANDLE pipe_;
    uint32_t length_;
    std::vector<std::unique_ptr<UrbRequest>> requests_;
    uint64_t limit_ = 0;
    std::atomic<bool> stopping_{false};  // set by the test while completions run
    uint64_t bytes_ = 0;
    uint64_t cancelled_ = 0;
    uint64_t completions_ = 0;
    uint64_t submissions_ = 0;
    uint64_t notifyBytes_ = 0;
    rt::Event* notify_ = nullptr;
    rt::Ticks last_ = 0;
};

}  // namespace vel::usb::test
