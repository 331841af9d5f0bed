// URB builders, request sizes and the setup packets URBs stand for.
#include <gtest/gtest.h>

#include <vector>

#include "vel/usb/urb.h"

namespace {

TEST(UrbSizes, SelectInterfaceRequestForZeroToThreePipes) {
    // The (n - 1) form gives one pipe record less than the structure for n = 0; truncated to a
    // URB length it is still the right size.
    const size_t pipe = sizeof(USBD_PIPE_INFORMATION);
    for (ULONG n = 0; n <= 3; ++n) {
        SCOPED_TRACE(n);
        const auto size = static_cast<USHORT>(GET_SELECT_INTERFACE_REQUEST_SIZE(n));
        EXPECT_EQ(size, sizeof(struct _URB_SELECT_INTERFACE) + n * pipe - pipe);
        EXPECT_EQ(static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(n)),
                  sizeof(USBD_INTERFACE_INFORMATION) + n * pipe - pipe);
    }
    EXPECT_EQ(
        GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 5),
        sizeof(struct _URB_SELECT_CONFIGURATION) + sizeof(USBD_INTERFACE_INFORMATION) + 3 * pipe);
}

TEST(UrbBuilders, SelectInterfaceLengthCoversThePipes) {
    const USHORT size = GET_SELECT_INTERFACE_REQUEST_SIZE(2);
    std::vector<uint8_t> memory(size);
    auto* urb = reinterpret_cast<PURB>(memory.data());
    int handle;
    UsbBuildSelectInterfaceRequest(urb, size, &handle, 3, 1);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_INTERFACE);
    EXPECT_EQ(urb->UrbHeader.Length, size);
    EXPECT_EQ(urb->UrbSelectInterface.ConfigurationHandle, &handle);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.InterfaceNumber, 3);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.AlternateSetting, 1);
    // The interface record runs to the end of the URB.
    EXPECT_EQ(urb->UrbSelectInterface.Interface.Length,
              size - offsetof(struct _URB_SELECT_INTERFACE, Interface));
    EXPECT_EQ(urb->UrbSelectInterface.Interface.Length, GET_USBD_INTERFACE_SIZE(2));
}

struct SetupCase {
    const char* name;
    URB urb;
    uint8_t requestType, request;
    uint16_t value, index, length;
    bool in;
};

URB descriptorUrb(UCHAR type, UCHAR index, USHORT lang, ULONG length) {
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                 lang, nullptr, nullptr, length, nullptr);
    return urb;
}

URB vendorUrb(USHORT function, ULONG flags, UCHAR request, USHORT value, USHORT index,
              ULONG length) {
    URB urb{};
    UsbBuildVendorRequest(&urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          flags, 0, request, value, index, nullptr, nullptr, length, nullptr);
    return urb;
}

URB statusUrb() {
    URB urb{};
    UsbBuildGetStatusRequest(&urb, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, nullptr, nullptr,
                             nullptr);
    return urb;
}

URB featureUrb() {
    URB urb{};
    UsbBuildFeatureRequest(&urb, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL,
                           0x81, nullptr);
    return urb;
}

URB controlTransferUrb() {
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
    urb.UrbControlTransfer.TransferFlags = USBD_DEFAULT_PIPE_TRANSFER;
    urb.UrbControlTransfer.TransferBufferLength = 7;
    const uint8_t setup[8] = {0x21, 0x20, 0, 0, 2, 0, 7, 0};  // SET_LINE_CODING to interface 2
    memcpy(urb.UrbControlTransfer.SetupPacket, setup, 8);
    return urb;
}

TEST(UrbSetupPacket, ControlFunctionsTable) {
    const SetupCase cases[] = {
        {"device descriptor", descriptorUrb(1, 0, 0, 18), 0x80, 6, 0x0100, 0, 18, true},
        {"string 2 in 0x0409", descriptorUrb(3, 2, 0x0409, 255), 0x80, 6, 0x0302, 0x0409, 255,
         true},
        {"class interface OUT", vendorUrb(URB_FUNCTION_CLASS_INTERFACE, 0, 0x22, 3, 1, 0), 0x21,
         0x22, 3, 1, 0, false},
        {"vendor device IN",
         vendorUrb(URB_FUNCTION_VENDOR_DEVICE, USBD_TRANSFER_DIRECTION_IN, 0x5A, 7, 0, 64), 0xC0,
         0x5A, 7, 0, 64, true},
        {"get status", statusUrb(), 0x80, 0, 0, 0, 2, true},
        {"clear endpoint halt", featureUrb(), 0x02, 1, 0, 0x81, 0, false},
        {"control transfer keeps its setup bytes", controlTransferUrb(), 0x21, 0x20, 0, 2, 7,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(vel::usb::isControlFunction(c.urb.UrbHeader.Function));
        const auto setup = vel::usb::setupPacketOf(c.urb);
        ASSERT_TRUE(setup.has_value());
        EXPECT_EQ(setup->bmRequestType, c.requestType);
        EXPECT_EQ(setup->bRequest, c.request);
        EXPECT_EQ(setup->wValue, c.value);
        EXPECT_EQ(setup->wIndex, c.index);
        EXPECT_EQ(setup->wLength, c.length);
        const auto transfer = vel::usb::transferOf(c.urb);
        ASSERT_TRUE(transfer.has_value());
        EXPECT_EQ(transfer->in, c.in);
    }
}

TEST(UrbSetupPacket, NonControlFunctions) {
    URB bulk{};
    uint8_t data[4];
    UsbBuildInterruptOrBulkTransferRequest(
        &bulk, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), nullptr, data, nullptr, 4,
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_FALSE(vel::usb::setupPacketOf(bulk));
    const auto transfer = vel::usb::transferOf(bulk);
    ASSERT_TRUE(transfer);
    EXPECT_TRUE(transfer->in);
    EXPECT_EQ(transfer->buffer, data);
    EXPECT_EQ(transfer->length, 4u);

    URB select{};
    UsbBuildSelectConfigurationRequest(&select, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_FALSE(vel::usb::isControlFunction(URB_FUNCTION_SELECT_CONFIGURATION));
    EXPECT_FALSE(vel::usb::setupPacketOf(select));
    EXPECT_FALSE(vel::usb::transferOf(select));
}

}  // namespace
