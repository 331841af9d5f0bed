// Configuration selection by every kind of request, on one- and two-interface devices: the
// requests the device saw, the pipes made, the validation, and deconfiguration.
#include "target_fixture.h"

namespace vel::usbtargets::test {
namespace {

using usb::test::configurationOf;
using usb::test::twoInterfaceLayout;

DeviceLayout oneInterfaceLayout() {
    DeviceLayout layout;
    layout.interfaces = {{0, 0, 0xFF, 0, 0, {{0x81, 2, 64}, {0x01, 2, 64}}}};
    return layout;
}

enum class Kind {
    Single,
    Multiple,
    PairsSecondSetting,
    PairsMissing,
    PairsBadIndex,
    Descriptors,
    Urb
};

struct SelectCase {
    const char* name;
    Kind kind;
    bool twoInterfaces;
    NTSTATUS status;
    std::vector<std::string> selections;  // what the device was told
    std::vector<UCHAR> pipes;             // configured pipes per interface
};

class SelectTest : public TargetTest {
  protected:
    // Runs one selection of `kind` on the plugged device.
    NTSTATUS select(Kind kind, WDF_USB_DEVICE_SELECT_CONFIG_PARAMS* params) {
        WDFUSBDEVICE usb = driver().usbDevice;
        const UCHAR count = WdfUsbTargetDeviceGetNumInterfaces(usb);
        WDFUSBINTERFACE first = WdfUsbTargetDeviceGetInterface(usb, 0);
        WDFUSBINTERFACE last = WdfUsbTargetDeviceGetInterface(usb, count - 1);
        switch (kind) {
            case Kind::Single:
                WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(params);
                break;
            case Kind::Multiple:
                WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(params, 0, nullptr);
                break;
            case Kind::PairsSecondSetting:
                pairs_[0] = {first, 0};
                pairs_[1] = {last, 1};
                WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(params, count, pairs_);
                break;
            case Kind::PairsMissing:
                pairs_[0] = {first, 0};
                pairs_[1] = {first, 0};
                WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(params, count, pairs_);
                break;
            case Kind::PairsBadIndex:
                pairs_[0] = {first, 5};
                pairs_[1] = {last, 0};
                WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(params, count, pairs_);
                break;
            case Kind::Descriptors:
                for (UCHAR i = 0; i < count; ++i) {
                    WdfUsbInterfaceGetDescriptor(WdfUsbTargetDeviceGetInterface(usb, i), 0,
                                                 &descriptors_[i]);
                    descriptorPointers_[i] = &descriptors_[i];
                }
                WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(
                    params, nullptr, descriptorPointers_, count);
                break;
            case Kind::Urb: {
                // The caller's own URB: the first interface alone, setting 0.
                configuration_ = configurationOf(layout_);
                const ULONG pipes = WdfUsbInterfaceGetNumEndpoints(first, 0);
                const size_t size =
                    offsetof(_URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(pipes);
                urb_.assign(std::max(size, sizeof(URB)), 0);
                URB* urb = reinterpret_cast<URB*>(urb_.data());
                UsbBuildSelectConfigurationRequest(
                    urb, static_cast<USHORT>(size),
                    reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration_.data()));
                auto& info = urb->UrbSelectConfiguration.Interface;
                info.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
                info.InterfaceNumber = WdfUsbInterfaceGetInterfaceNumber(first);
                info.NumberOfPipes = pipes;
                WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_URB(params, urb);
                break;
            }
        }
        return WdfUsbTargetDeviceSelectConfig(usb, WDF_NO_OBJECT_ATTRIBUTES, params);
    }

    DeviceLayout layout_;

  private:
    WDF_USB_INTERFACE_SETTING_PAIR pairs_[2] = {};
    USB_INTERFACE_DESCRIPTOR descriptors_[2] = {};
    PUSB_INTERFACE_DESCRIPTOR descriptorPointers_[2] = {};
    Bytes configuration_;
    std::vector<unsigned char> urb_;
};

TEST_F(SelectTest, EachKindSendsItsRequestsAndMakesThePipes) {
    const SelectCase cases[] = {
        {"single, one interface", Kind::Single, false, STATUS_SUCCESS, {"config 1"}, {2}},
        {"single, two interfaces", Kind::Single, true, STATUS_INVALID_PARAMETER, {}, {0, 0}},
        {"multiple, one interface", Kind::Multiple, false, STATUS_SUCCESS, {"config 1"}, {2}},
        // The second interface (it has pipes) is selected again on its own.
        {"multiple, two interfaces",
         Kind::Multiple,
         true,
         STATUS_SUCCESS,
         {"config 1", "interface 1/0"},
         {1, 2}},
        {"pairs, second setting",
         Kind::PairsSecondSetting,
         true,
         STATUS_SUCCESS,
         {"config 1", "interface 1/1", "interface 1/1"},
         {1, 1}},
        {"pairs missing an interface",
         Kind::PairsMissing,
         true,
         STATUS_INVALID_PARAMETER,
         {},
         {0, 0}},
        {"pairs, bad setting index",
         Kind::PairsBadIndex,
         true,
         STATUS_INVALID_PARAMETER,
         {},
         {0, 0}},
        {"descriptors, one interface", Kind::Descriptors, false, STATUS_SUCCESS, {"config 1"}, {2}},
        {"descriptors, two interfaces",
         Kind::Descriptors,
         true,
         STATUS_SUCCESS,
         {"config 1", "interface 1/0"},
         {1, 2}},
        {"caller's URB, first of two interfaces",
         Kind::Urb,
         true,
         STATUS_SUCCESS,
         {"config 1"},
         {1, 0}},
    };
    for (const SelectCase& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();  // a fresh platform per case
        SetUp();
        layout_ = c.twoInterfaces ? twoInterfaceLayout() : oneInterfaceLayout();
        auto device = plug(layout_);
        ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
        passive([&] {
            const size_t before = selections(*device).size();
            WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
            EXPECT_EQ(select(c.kind, &params), c.status);
            std::vector<std::string> seen = selections(*device);
            seen.erase(seen.begin(), seen.begin() + static_cast<long>(before));
            EXPECT_EQ(seen, c.selections);
            for (UCHAR i = 0; i < c.pipes.size(); ++i) {
                WDFUSBINTERFACE usbInterface =
                    WdfUsbTargetDeviceGetInterface(driver().usbDevice, i);
                EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(usbInterface), c.pipes[i]) << int(i);
            }
            EXPECT_EQ(WdfUsbTargetDeviceWdmGetConfigurationHandle(driver().usbDevice) != nullptr,
                      NT_SUCCESS(c.status));
            if (c.kind == Kind::Single && NT_SUCCESS(c.status)) {
                EXPECT_EQ(params.Types.SingleInterface.ConfiguredUsbInterface,
                          WdfUsbTargetDeviceGetInterface(driver().usbDevice, 0));
                EXPECT_EQ(params.Types.SingleInterface.NumberConfiguredPipes, 2);
            }
            if ((c.kind == Kind::Multiple || c.kind == Kind::PairsSecondSetting) &&
                NT_SUCCESS(c.status)) {
                EXPECT_EQ(params.Types.MultiInterface.NumberOfConfiguredInterfaces, c.pipes.size());
            }
        });
    }
}

TEST_F(SelectTest, RequestsWithBadParametersAreRefusedBeforeAnythingIsSent) {
    layout_ = twoInterfaceLayout();
    auto device = plug(layout_);
    ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
    passive([&] {
        const size_t before = selections(*device).size();
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
        params.Size -= 1;
        EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(driver().usbDevice, nullptr, &params),
                  STATUS_INFO_LENGTH_MISMATCH);
        params.Size += 1;
        params.Type = static_cast<WdfUsbTargetDeviceSelectConfigType>(7);
        EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(driver().usbDevice, nullptr, &params),
                  STATUS_INVALID_PARAMETER);
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = driver().device;
        EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(driver().usbDevice, &attributes, &params),
                  STATUS_INVALID_PARAMETER);
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(&params, nullptr, nullptr,
                                                                        0);
        EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(driver().usbDevice, nullptr, &params),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(selections(*device).size(), before);
    });
}

TEST_F(SelectTest, DeconfiguringTearsThePipesDownAndSendsANullConfiguration) {
    layout_ = twoInterfaceLayout();
    auto device = plug(layout_);
    ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
    passive([&] {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        ASSERT_EQ(select(Kind::Multiple, &params), STATUS_SUCCESS);
        WDFUSBINTERFACE data = WdfUsbTargetDeviceGetInterface(driver().usbDevice, 1);
        WDFUSBPIPE old = WdfUsbInterfaceGetConfiguredPipe(data, 0, nullptr);
        ASSERT_NE(old, nullptr);
        EXPECT_EQ(WdfIoTargetGetState(WdfUsbTargetPipeGetIoTarget(old)), WdfIoTargetStarted);

        // Stopping the device target stops its pipes; starting it starts them again.
        WdfIoTargetStop(WdfUsbTargetDeviceGetIoTarget(driver().usbDevice), WdfIoTargetCancelSentIo);
        EXPECT_EQ(WdfIoTargetGetState(WdfUsbTargetPipeGetIoTarget(old)), WdfIoTargetStopped);
        EXPECT_EQ(WdfIoTargetStart(WdfUsbTargetDeviceGetIoTarget(driver().usbDevice)),
                  STATUS_SUCCESS);
        EXPECT_EQ(WdfIoTargetGetState(WdfUsbTargetPipeGetIoTarget(old)), WdfIoTargetStarted);

        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
        EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(driver().usbDevice, nullptr, &params),
                  STATUS_SUCCESS);
        EXPECT_EQ(selections(*device).back(), "config 0");
        EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(data), 0);
        EXPECT_EQ(WdfUsbTargetDeviceWdmGetConfigurationHandle(driver().usbDevice), nullptr);

        // Configured again: new pipes.
        ASSERT_EQ(select(Kind::Multiple, &params), STATUS_SUCCESS);
        EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(data), 2);
    });
}

TEST_F(SelectTest, AUrbSentSynchronouslyGoesDownTheStack) {
    layout_ = twoInterfaceLayout();
    auto device = plug(layout_);
    ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
    passive([&] {
        USHORT status = 0xFFFF;
        URB urb{};
        UsbBuildGetStatusRequest(&urb, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, &status, nullptr,
                                 nullptr);
        EXPECT_EQ(
            WdfUsbTargetDeviceSendUrbSynchronously(driver().usbDevice, nullptr, nullptr, &urb),
            STATUS_SUCCESS);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);

        // On a stopped target the send fails unless it ignores the state.
        WdfIoTargetStop(WdfUsbTargetDeviceGetIoTarget(driver().usbDevice), WdfIoTargetCancelSentIo);
        EXPECT_EQ(
            WdfUsbTargetDeviceSendUrbSynchronously(driver().usbDevice, nullptr, nullptr, &urb),
            STATUS_INVALID_DEVICE_STATE);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
        EXPECT_EQ(
            WdfUsbTargetDeviceSendUrbSynchronously(driver().usbDevice, nullptr, &options, &urb),
            STATUS_SUCCESS);
    });
}

}  // namespace
}  // namespace vel::usbtargets::test
