// The platform with a PnP manager (PnpPlatformTest), the test function driver and a host
// controller. Devices are plugged with plug(); URBs go down the test driver's FDO of the port.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform_test.h"
#include "test_device.h"
#include "test_driver.h"
#include "vel/usb/host_controller.h"

namespace vel::usb::test {

class HostTest : public vel::test::PnpPlatformTest {
  protected:
    explicit HostTest(uint64_t seed = 1, rt::Mode mode = rt::Mode::Simulated)
        : PnpPlatformTest(seed, mode) {}

    void SetUp() override {
        FunctionWorld::current = &world_;
        PnpPlatformTest::SetUp();
        pnp::DriverPackage package;
        package.service = "usbtestfn";
        package.entry = TestFunctionDriverEntry;
        for (int product = 1; product <= 4; ++product) {
            package.ids.push_back("USB\\VID_1234&PID_000" + std::to_string(product));
        }
        pnp().addDriverPackage(std::move(package));
        hc_ = std::make_unique<HostController>();
    }

    void TearDown() override {
        runtime().runUntilIdle();
        hc_.reset();
        PnpPlatformTest::TearDown();
        FunctionWorld::current = nullptr;
    }

    HostController& hc() { return *hc_; }
    FunctionWorld& world() { return world_; }

    // Plugs a device and waits until its driver is started.
    std::shared_ptr<TestDevice> plug(unsigned port, DeviceLayout layout,
                                     Speed speed = Speed::Full) {
        auto device = std::make_shared<TestDevice>(std::move(layout));
        EXPECT_EQ(hc().attach(port, device, speed), STATUS_SUCCESS);
        settle();
        return device;
    }
    DEVICE_OBJECT* fdo(unsigned port = 1) { return world_.fdoOf(hc().pdo(port)); }

    // Sends the request and lets the bus run until nothing is left to do.
    NTSTATUS run(UrbRequest& request, unsigned port = 1) {
        sendUrb(fdo(port), request);
        runtime().runUntilIdle();
        EXPECT_TRUE(request.done) << "the request is still pending";
        return request.status;
    }

    // ----- URB builders -----
    static std::unique_ptr<UrbRequest> descriptorRequest(uint8_t type, uint8_t index,
                                                         uint16_t language, uint32_t length) {
        auto r = std::make_unique<UrbRequest>(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), length);
        UsbBuildGetDescriptorRequest(r->urb(), sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                     language, r->data.data(), nullptr, length, nullptr);
        return r;
    }
    static std::unique_ptr<UrbRequest> bulkRequest(USBD_PIPE_HANDLE pipe, uint32_t length, bool in,
                                                   bool shortOk = true) {
        auto r = std::make_unique<UrbRequest>(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), length);
        ULONG flags = in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
        if (shortOk) {
            flags |= USBD_SHORT_TRANSFER_OK;
        }
        UsbBuildInterruptOrBulkTransferRequest(r->urb(), sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                               pipe, length ? r->data.data() : nullptr, nullptr,
                                               length, flags, nullptr);
        return r;
    }
    static std::unique_ptr<UrbRequest> pipeRequest(uint16_t function, USBD_PIPE_HANDLE pipe) {
        auto r = std::make_unique<UrbRequest>(sizeof(_URB_PIPE_REQUEST));
        // Written through the request's own record: the buffer is smaller than the URB union.
        auto* request = reinterpret_cast<_URB_PIPE_REQUEST*>(r->urb());
        request->Hdr.Function = function;
        request->Hdr.Length = sizeof(_URB_PIPE_REQUEST);
        request->PipeHandle = pipe;
        return r;
    }

    // A selection of the given interfaces (number, alternate, pipe count) of `configuration`,
    // which the request keeps alive in its data.
    static std::unique_ptr<UrbRequest> selectConfiguration(
        const Bytes& configuration, std::vector<std::tuple<uint8_t, uint8_t, ULONG>> interfaces) {
        size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
        for (const auto& i : interfaces) {
            size += GET_USBD_INTERFACE_SIZE(std::get<2>(i));
        }
        auto r = std::make_unique<UrbRequest>(size, configuration.size());
        std::memcpy(r->data.data(), configuration.data(), configuration.size());
        UsbBuildSelectConfigurationRequest(
            r->urb(), static_cast<USHORT>(size),
            reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(r->data.data()));
        uint8_t* entry = reinterpret_cast<uint8_t*>(&r->urb()->UrbSelectConfiguration.Interface);
        for (const auto& [number, alternate, pipes] : interfaces) {
            auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(entry);
            info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
            info->InterfaceNumber = number;
            info->AlternateSetting = alternate;
            info->NumberOfPipes = pipes;
            entry += info->Length;
        }
        return r;
    }

    // The interface records of a select-configuration request, in order.
    static std::vector<USBD_INTERFACE_INFORMATION*> interfacesOf(UrbRequest& r) {
        std::vector<USBD_INTERFACE_INFORMATION*> out;
        uint8_t* entry = reinterpret_cast<uint8_t*>(&r.urb()->UrbSelectConfiguration.Interface);
        uint8_t* end = r.storage.data() + r.storage.size();
        while (entry < end) {
            auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(entry);
            out.push_back(info);
            entry += info->Length;
        }
        return out;
    }

    // Selects interfaces 0 and 1 (alternate 0) of the two-interface device on the port; returns
    // the pipes: interrupt IN 0x81, bulk IN 0x82, bulk OUT 0x02.
    struct Pipes {
        USBD_PIPE_HANDLE interruptIn, bulkIn, bulkOut;
        USBD_CONFIGURATION_HANDLE configuration;
    };
    Pipes configure(const TestDevice& device, unsigned port = 1) {
        auto select =
            selectConfiguration(device.configurationDescriptor(0), {{0, 0, 1}, {1, 0, 2}});
        EXPECT_EQ(run(*select, port), STATUS_SUCCESS);
        auto interfaces = interfacesOf(*select);
        return {interfaces[0]->Pipes[0].PipeHandle, interfaces[1]->Pipes[0].PipeHandle,
                interfaces[1]->Pipes[1].PipeHandle,
                select->urb()->UrbSelectConfiguration.ConfigurationHandle};
    }

  private:
    FunctionWorld world_;
    std::unique_ptr<HostController> hc_;
};

}  // namespace vel::usb::test
