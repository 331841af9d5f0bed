// The bus fixture with the KMDF client driver bound to the handsets' modem (interface 0) and
// diagnostic (interface 2) children; the other children keep the probe driver.
#pragma once

#include <string>

#include "bus_fixture.h"
#include "client_driver.h"

namespace vel::bus::test {

class ClientFixture : public BusTest {
  protected:
    explicit ClientFixture(uint64_t seed = 1) : BusTest(seed) {}

    void SetUp() override {
        ClientWorld::current = &clients_;
        BusTest::SetUp();
        pnp::DriverPackage client;
        client.service = kClientService;
        client.entry = FxDriverEntry;
        client.ids = {"USB\\VID_FA57&PID_7A01&MI_00", "USB\\VID_FA57&PID_7A01&MI_02"};
        pnp().addDriverPackage(std::move(client));
    }

    void TearDown() override {
        BusTest::TearDown();
        ClientWorld::current = nullptr;
    }

    ClientWorld& clients() { return clients_; }

    // The driver's record of the child whose first interface is `interface`.
    ClientDevice& clientOn(uint8_t interface) {
        std::optional<pnp::DeviceInfo> c = child(interface);
        ClientDevice* d = c ? clients_.of(c->pdo) : nullptr;
        if (d == nullptr) {
            ADD_FAILURE() << "no client driver on interface " << int(interface);
            static ClientDevice none;
            return none;
        }
        return *d;
    }

    // Runs `body` in a passive driver context and lets the system run until it is idle.
    void passive(const std::function<void()>& body) {
        runtime().spawn("client", rt::ContextKind::Pnp, body);
        runtime().runUntilIdle();
    }

    // Writes the text to the function's bulk OUT pipe; the status of the write.
    NTSTATUS write(ClientDevice& d, const std::string& text) {
        NTSTATUS status = STATUS_PENDING;
        passive([&] {
            ULONG written = 0;
            status = clientWrite(d.bulkOut, Bytes(text.begin(), text.end()), &written);
            if (NT_SUCCESS(status) && written != text.size()) {
                status = STATUS_UNSUCCESSFUL;
            }
        });
        return status;
    }

    // What the continuous reader collected so far, as text.
    static std::string received(ClientDevice& d) {
        std::lock_guard lock(d.mutex);
        return std::string(d.received.begin(), d.received.end());
    }

    // The configuration handle an empty selection through the probe's child answers.
    USBD_CONFIGURATION_HANDLE parentConfigurationHandle(uint8_t probeInterface) {
        // The URB's length names no entry; the buffer is a whole URB all the same.
        constexpr size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
        std::vector<uint8_t> urb(sizeof(URB), 0);
        UsbBuildSelectConfigurationRequest(reinterpret_cast<URB*>(urb.data()),
                                           static_cast<USHORT>(size), nullptr);
        ProbeRequest r;
        r.code = IOCTL_INTERNAL_USB_SUBMIT_URB;
        r.argument = urb.data();
        EXPECT_EQ(call(probe(probeInterface), r), STATUS_SUCCESS);
        return reinterpret_cast<URB*>(urb.data())->UrbSelectConfiguration.ConfigurationHandle;
    }

  private:
    ClientWorld clients_;
};

}  // namespace vel::bus::test
