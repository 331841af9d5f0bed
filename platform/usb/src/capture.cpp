#include "vel/usb/capture.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include "vel/usb/urb.h"

namespace vel::usb {
namespace {

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v));
    put16(out, static_cast<uint16_t>(v >> 16));
}

void put64(std::vector<uint8_t>& out, uint64_t v) {
    put32(out, static_cast<uint32_t>(v));
    put32(out, static_cast<uint32_t>(v >> 32));
}

constexpr uint32_t kSnapLength = 65535;

CaptureTransfer transferOfPipe(USBD_PIPE_TYPE type) {
    switch (type) {
        case UsbdPipeTypeIsochronous:
            return CaptureTransfer::Isochronous;
        case UsbdPipeTypeInterrupt:
            return CaptureTransfer::Interrupt;
        case UsbdPipeTypeControl:
            return CaptureTransfer::Control;
        case UsbdPipeTypeBulk:
            break;
    }
    return CaptureTransfer::Bulk;
}

}  // namespace

CaptureWriter::CaptureWriter(std::unique_ptr<std::ostream> out) : out_(std::move(out)) {
    std::vector<uint8_t> header;
    put32(header, 0xA1B2C3D4);  // microsecond timestamps
    put16(header, 2);
    put16(header, 4);
    put32(header, 0);  // time zone
    put32(header, 0);  // accuracy
    put32(header, kSnapLength);
    put32(header, kPcapLinkTypeUsbPcap);
    out_->write(reinterpret_cast<const char*>(header.data()),
                static_cast<std::streamsize>(header.size()));
    out_->flush();
}

std::unique_ptr<CaptureWriter> CaptureWriter::createFile(const std::string& path,
                                                         std::string* error) {
    auto file = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    if (!*file) {
        if (error != nullptr) {
            *error = "cannot create capture file " + path;
        }
        return nullptr;
    }
    return std::make_unique<CaptureWriter>(std::move(file));
}

void CaptureWriter::write(const CapturePacket& packet) {
    const bool control = packet.transfer == CaptureTransfer::Control;
    const uint16_t headerLength = control ? kCaptureControlHeaderLength : kCaptureHeaderLength;
    // The data is cut so that the record fits the snap length; the original length keeps the
    // full size, as a capture tool does.
    const size_t room = kSnapLength - headerLength;
    const size_t kept = std::min(packet.data.size(), room);

    std::vector<uint8_t> record;
    record.reserve(16 + headerLength + kept);
    put32(record, static_cast<uint32_t>(packet.timeNs / 1'000'000'000));
    put32(record, static_cast<uint32_t>(packet.timeNs % 1'000'000'000 / 1000));
    put32(record, static_cast<uint32_t>(headerLength + kept));
    put32(record, static_cast<uint32_t>(headerLength + packet.data.size()));

    put16(record, headerLength);
    put64(record, packet.requestId);
    put32(record, static_cast<uint32_t>(packet.status));
    put16(record, packet.function);
    record.push_back(packet.completion ? 1 : 0);
    put16(record, packet.bus);
    put16(record, packet.device);
    record.push_back(packet.endpoint);
    record.push_back(static_cast<uint8_t>(packet.transfer));
    put32(record, static_cast<uint32_t>(packet.data.size()));
    if (control) {
        record.push_back(static_cast<uint8_t>(packet.stage));
    }
    record.insert(record.end(), packet.data.begin(), packet.data.begin() + kept);

    std::lock_guard lock(mutex_);
    out_->write(reinterpret_cast<const char*>(record.data()),
                static_cast<std::streamsize>(record.size()));
    out_->flush();
}

void CaptureWriter::urbSubmitted(uint64_t timeNs, uint64_t requestId, const CaptureTarget& target,
                                 const URB& urb) {
    urbEvent(timeNs, requestId, target, urb, false);
}

void CaptureWriter::urbCompleted(uint64_t timeNs, uint64_t requestId, const CaptureTarget& target,
                                 const URB& urb) {
    urbEvent(timeNs, requestId, target, urb, true);
}

void CaptureWriter::urbEvent(uint64_t timeNs, uint64_t requestId, const CaptureTarget& target,
                             const URB& urb, bool completion) {
    CapturePacket packet;
    packet.timeNs = timeNs;
    packet.requestId = requestId;
    packet.status = completion ? urb.UrbHeader.Status : USBD_STATUS_SUCCESS;
    packet.function = urb.UrbHeader.Function;
    packet.completion = completion;
    packet.bus = target.bus;
    packet.device = target.device;
    packet.endpoint = target.endpointAddress;

    const auto transfer = transferOf(urb);
    if (!transfer) {
        packet.transfer = CaptureTransfer::RequestInfo;
        write(packet);
        return;
    }
    // Data moves with the submission for OUT transfers and with the completion for IN ones.
    std::span<const uint8_t> data;
    if (transfer->buffer != nullptr && transfer->in == completion) {
        data = {transfer->buffer, transfer->length};
    }
    const auto setupPacket = setupPacketOf(urb);
    if (!setupPacket) {
        packet.transfer = transferOfPipe(target.pipeType);
        packet.data = data;
        write(packet);
        return;
    }
    packet.transfer = CaptureTransfer::Control;
    packet.endpoint = static_cast<uint8_t>((target.endpointAddress & USB_ENDPOINT_ADDRESS_MASK) |
                                           (transfer->in ? USB_ENDPOINT_DIRECTION_MASK : 0));
    if (completion) {
        packet.stage = ControlStage::Complete;
        packet.data = data;
        write(packet);
        return;
    }
    std::vector<uint8_t> setupAndData(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET));
    memcpy(setupAndData.data(), &*setupPacket, sizeof(USB_DEFAULT_PIPE_SETUP_PACKET));
    setupAndData.insert(setupAndData.end(), data.begin(), data.end());
    packet.stage = ControlStage::Setup;
    packet.data = setupAndData;
    write(packet);
}

bool CaptureWriter::good() const {
    std::lock_guard lock(mutex_);
    return out_->good();
}

}  // namespace vel::usb
