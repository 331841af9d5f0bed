// WDFUSBPIPE: one configured endpoint of a USB interface's selected setting, an I/O target on
// the same lower device as its USB device. Select-config and select-setting create pipes once
// the stack has answered (the pipe handle comes from the answer), start them, and delete the
// pipes of the setting they replace. The pipe's own operations (transfers, abort, reset, the
// continuous reader) live in their own files.
#pragma once

#include <memory>
#include <mutex>

#include "io_target.h"

namespace vel::wdf {

class ContinuousReader;
class UsbDevice;
class UsbInterface;

class UsbPipe : public IoTarget {
  public:
    static constexpr ObjectType kType = ObjectType::UsbPipe;

    // `info` is the stack's answer for this endpoint; `settingIndex` the alternate setting it
    // belongs to.
    UsbPipe(Binding& binding, UsbDevice& usbDevice, UsbInterface& usbInterface,
            const USBD_PIPE_INFORMATION& info, UCHAR settingIndex);
    ~UsbPipe() override;

    WDFUSBPIPE pipeHandle() const { return static_cast<WDFUSBPIPE>(handle()); }
    UsbDevice& usbDevice() const { return usbDevice_; }
    UsbInterface& usbInterface() const { return usbInterface_; }

    // What the stack answered for this endpoint (fixed for the pipe's life).
    const USBD_PIPE_INFORMATION& wdmInformation() const { return info_; }
    USBD_PIPE_HANDLE wdmHandle() const { return info_.PipeHandle; }
    UCHAR endpointAddress() const { return info_.EndpointAddress; }
    bool isIn() const { return USB_ENDPOINT_DIRECTION_IN(info_.EndpointAddress) != 0; }
    WDF_USB_PIPE_TYPE pipeType() const;
    // The framework's view: packet size, address, interval, type, transfer size, setting.
    void information(WDF_USB_PIPE_INFORMATION* out) const;

    // Reads whose length is not a multiple of the packet size are refused unless turned off.
    bool packetSizeCheck() const { return packetSizeCheck_; }
    void disablePacketSizeCheck() { packetSizeCheck_ = false; }

    // The continuous reader, configured once; its reads run between a start and a stop of the
    // pipe, and every stop of a pipe with a reader cancels what was sent (usb_pipe_target.cpp).
    NTSTATUS configureReader(const WDF_USB_CONTINUOUS_READER_CONFIG* config);
    NTSTATUS start() override;
    void stop(WDF_IO_TARGET_SENT_IO_ACTION action) override;
    // Cancels what was sent on the pipe and waits for it; the target state stays.
    void cancelSentIo();

  protected:
    void onDispose() override;

  private:
    UsbDevice& usbDevice_;
    UsbInterface& usbInterface_;
    const USBD_PIPE_INFORMATION info_;
    const UCHAR settingIndex_;
    bool packetSizeCheck_ = true;
    ContinuousReader* reader() const;
    mutable std::mutex readerMutex_;
    std::shared_ptr<ContinuousReader> reader_;
};

// The framework's pipe type for a USBD one.
WDF_USB_PIPE_TYPE toPipeType(USBD_PIPE_TYPE type);

}  // namespace vel::wdf
