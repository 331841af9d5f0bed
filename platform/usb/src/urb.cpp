// Setup packets and data stages of URBs. The control-request URBs share one layout up to the
// HCD area (transfer flags, length, buffer, MDL, link), so their data stage is read through the
// control-transfer view; the trailing request fields differ per function.
#include "vel/usb/urb.h"

namespace vel::usb {
namespace {

enum Recipient : uint8_t { kDevice = 0, kInterface = 1, kEndpoint = 2, kOther = 3 };
constexpr uint8_t kDirIn = 0x80;
constexpr uint8_t kTypeClass = 0x20;
constexpr uint8_t kTypeVendor = 0x40;

USB_DEFAULT_PIPE_SETUP_PACKET setup(uint8_t requestType, uint8_t request, uint16_t value,
                                    uint16_t index, uint32_t length) {
    return {requestType, request, value, index, static_cast<USHORT>(length)};
}

std::optional<USB_DEFAULT_PIPE_SETUP_PACKET> descriptorSetup(const URB& urb, uint8_t request,
                                                             uint8_t recipient, bool in) {
    const auto& r = urb.UrbControlDescriptorRequest;
    return setup(static_cast<uint8_t>((in ? kDirIn : 0) | recipient), request,
                 USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(r.DescriptorType, r.Index), r.LanguageId,
                 r.TransferBufferLength);
}

std::optional<USB_DEFAULT_PIPE_SETUP_PACKET> statusSetup(const URB& urb, uint8_t recipient) {
    const auto& r = urb.UrbControlGetStatusRequest;
    return setup(kDirIn | recipient, USB_REQUEST_GET_STATUS, 0, r.Index, r.TransferBufferLength);
}

std::optional<USB_DEFAULT_PIPE_SETUP_PACKET> featureSetup(const URB& urb, uint8_t request,
                                                          uint8_t recipient) {
    const auto& r = urb.UrbControlFeatureRequest;
    return setup(recipient, request, r.FeatureSelector, r.Index, 0);
}

std::optional<USB_DEFAULT_PIPE_SETUP_PACKET> classVendorSetup(const URB& urb, uint8_t type,
                                                              uint8_t recipient) {
    const auto& r = urb.UrbControlVendorClassRequest;
    const uint8_t direction = USBD_TRANSFER_DIRECTION(r.TransferFlags) ? kDirIn : 0;
    return setup(static_cast<uint8_t>(direction | type | recipient | r.RequestTypeReservedBits),
                 r.Request, r.Value, r.Index, r.TransferBufferLength);
}

}  // namespace

bool isControlFunction(uint16_t function) {
    switch (function) {
        case URB_FUNCTION_CONTROL_TRANSFER:
        case URB_FUNCTION_CONTROL_TRANSFER_EX:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
        case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_SET_FEATURE_TO_OTHER:
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
        case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_OTHER:
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER:
        case URB_FUNCTION_GET_CONFIGURATION:
        case URB_FUNCTION_GET_INTERFACE:
            return true;
        default:
            return false;
    }
}

std::optional<USB_DEFAULT_PIPE_SETUP_PACKET> setupPacketOf(const URB& urb) {
    switch (urb.UrbHeader.Function) {
        case URB_FUNCTION_CONTROL_TRANSFER: {
            USB_DEFAULT_PIPE_SETUP_PACKET packet;
            memcpy(&packet, urb.UrbControlTransfer.SetupPacket, sizeof(packet));
            return packet;
        }
        case URB_FUNCTION_CONTROL_TRANSFER_EX: {
            USB_DEFAULT_PIPE_SETUP_PACKET packet;
            memcpy(&packet, urb.UrbControlTransferEx.SetupPacket, sizeof(packet));
            return packet;
        }
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return descriptorSetup(urb, USB_REQUEST_GET_DESCRIPTOR, kDevice, true);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
            return descriptorSetup(urb, USB_REQUEST_GET_DESCRIPTOR, kInterface, true);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
            return descriptorSetup(urb, USB_REQUEST_GET_DESCRIPTOR, kEndpoint, true);
        case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
            return descriptorSetup(urb, USB_REQUEST_SET_DESCRIPTOR, kDevice, false);
        case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
            return descriptorSetup(urb, USB_REQUEST_SET_DESCRIPTOR, kInterface, false);
        case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
            return descriptorSetup(urb, USB_REQUEST_SET_DESCRIPTOR, kEndpoint, false);
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
            return featureSetup(urb, USB_REQUEST_SET_FEATURE, kDevice);
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
            return featureSetup(urb, USB_REQUEST_SET_FEATURE, kInterface);
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
            return featureSetup(urb, USB_REQUEST_SET_FEATURE, kEndpoint);
        case URB_FUNCTION_SET_FEATURE_TO_OTHER:
            return featureSetup(urb, USB_REQUEST_SET_FEATURE, kOther);
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
            return featureSetup(urb, USB_REQUEST_CLEAR_FEATURE, kDevice);
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
            return featureSetup(urb, USB_REQUEST_CLEAR_FEATURE, kInterface);
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
            return featureSetup(urb, USB_REQUEST_CLEAR_FEATURE, kEndpoint);
        case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
            return featureSetup(urb, USB_REQUEST_CLEAR_FEATURE, kOther);
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
            return statusSetup(urb, kDevice);
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
            return statusSetup(urb, kInterface);
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
            return statusSetup(urb, kEndpoint);
        case URB_FUNCTION_GET_STATUS_FROM_OTHER:
            return statusSetup(urb, kOther);
        case URB_FUNCTION_VENDOR_DEVICE:
            return classVendorSetup(urb, kTypeVendor, kDevice);
        case URB_FUNCTION_VENDOR_INTERFACE:
            return classVendorSetup(urb, kTypeVendor, kInterface);
        case URB_FUNCTION_VENDOR_ENDPOINT:
            return classVendorSetup(urb, kTypeVendor, kEndpoint);
        case URB_FUNCTION_VENDOR_OTHER:
            return classVendorSetup(urb, kTypeVendor, kOther);
        case URB_FUNCTION_CLASS_DEVICE:
            return classVendorSetup(urb, kTypeClass, kDevice);
        case URB_FUNCTION_CLASS_INTERFACE:
            return classVendorSetup(urb, kTypeClass, kInterface);
        case URB_FUNCTION_CLASS_ENDPOINT:
            return classVendorSetup(urb, kTypeClass, kEndpoint);
        case URB_FUNCTION_CLASS_OTHER:
            return classVendorSetup(urb, kTypeClass, kOther);
        case URB_FUNCTION_GET_CONFIGURATION:
            return setup(kDirIn | kDevice, USB_REQUEST_GET_CONFIGURATION, 0, 0,
                         urb.UrbControlGetConfigurationRequest.TransferBufferLength);
        case URB_FUNCTION_GET_INTERFACE:
            return setup(kDirIn | kInterface, USB_REQUEST_GET_INTERFACE, 0,
                         urb.UrbControlGetInterfaceRequest.Interface,
                         urb.UrbControlGetInterfaceRequest.TransferBufferLength);
        default:
            return std::nullopt;
    }
}

std::optional<UrbTransfer> transferOf(const URB& urb) {
    const uint16_t function = urb.UrbHeader.Function;
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        const auto& t = urb.UrbBulkOrInterruptTransfer;
        return UrbTransfer{static_cast<uint8_t*>(t.TransferBuffer), t.TransferBufferLength,
                           USBD_TRANSFER_DIRECTION(t.TransferFlags) != 0};
    }
    if (function == URB_FUNCTION_CONTROL_TRANSFER_EX) {
        const auto& t = urb.UrbControlTransferEx;
        return UrbTransfer{static_cast<uint8_t*>(t.TransferBuffer), t.TransferBufferLength,
                           (t.SetupPacket[0] & kDirIn) != 0};
    }
    const auto setupPacket = setupPacketOf(urb);
    if (!setupPacket) {
        return std::nullopt;
    }
    const auto& t = urb.UrbControlTransfer;
    return UrbTransfer{static_cast<uint8_t*>(t.TransferBuffer), t.TransferBufferLength,
                       (setupPacket->bmRequestType & kDirIn) != 0};
}

}  // namespace vel::usb
