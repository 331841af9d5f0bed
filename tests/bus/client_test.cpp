// A real KMDF function driver on velbus's children: it reads the descriptors the child answers,
// selects its function's configuration through the parent's emulation and moves bulk data to
// and from the handset (the modem's AT interpreter through a continuous reader, the diagnostic
// function's loopback with pipe reads). Also: a child's deconfiguration and restart, and a
// child asking to be re-enumerated.
#include <algorithm>
#include <string>

#include "bus_fixture.h"
#include "client_fixture.h"
#include "vel/devices/diag_function.h"

namespace vel::bus::test {
namespace {

// The device's standard requests with that bRequest since the records were last cleared.
std::vector<usb::RequestRecord> standardRequests(const std::vector<usb::RequestRecord>& records,
                                                 uint8_t request) {
    std::vector<usb::RequestRecord> out;
    for (const usb::RequestRecord& r : records) {
        if (r.setup.type() == 0 && r.setup.bRequest == request) {
            out.push_back(r);
        }
    }
    return out;
}

// The records after the parent's SET_CONFIGURATION: what the children's stacks caused.
std::vector<usb::RequestRecord> afterConfiguration(const std::vector<usb::RequestRecord>& all) {
    auto last = std::find_if(all.rbegin(), all.rend(), [](const usb::RequestRecord& r) {
        return r.setup.type() == 0 && r.setup.bRequest == USB_REQUEST_SET_CONFIGURATION;
    });
    return std::vector<usb::RequestRecord>(last.base(), all.end());
}

class ClientTest : public ClientFixture {
  protected:
    void SetUp() override {
        ClientFixture::SetUp();
        clients().readerOn = {0};
        device_ = plugPreset("union-hs");
        ASSERT_EQ(children().size(), 3u);
    }

    ClientDevice& modem() { return clientOn(0); }
    ClientDevice& diag() { return clientOn(2); }

    std::shared_ptr<dev::FunctionDevice> device_;
};

TEST_F(ClientTest, TheDriverGetsItsFunctionsDescriptorsAndConfiguration) {
    ClientDevice& d = modem();
    EXPECT_EQ(child(0)->service, kClientService);
    EXPECT_EQ(child(0)->state, pnp::DeviceState::Started);
    EXPECT_EQ(d.createStatus, STATUS_SUCCESS);
    EXPECT_EQ(d.selectStatus, STATUS_SUCCESS);

    // The child's device descriptor: the handset's, with the function's class.
    EXPECT_EQ(d.deviceDescriptor.idVendor, dev::kHandsetVendorId);
    EXPECT_EQ(d.deviceDescriptor.idProduct, dev::kHandsetProductId);
    EXPECT_EQ(d.deviceDescriptor.bDeviceClass, USB_DEVICE_CLASS_COMMUNICATIONS);
    EXPECT_EQ(d.deviceDescriptor.bNumConfigurations, 1);

    // The configuration holds the function's two interfaces only: the handset's header with the
    // function's length and count, then the function's bytes as the handset has them.
    ASSERT_GE(d.configuration.size(), sizeof(USB_CONFIGURATION_DESCRIPTOR));
    EXPECT_EQ(d.configuration[0], sizeof(USB_CONFIGURATION_DESCRIPTOR));
    EXPECT_EQ(d.configuration[2] | d.configuration[3] << 8, d.configuration.size());
    EXPECT_EQ(d.configuration[4], 2);
    const Bytes whole = device_->configurationDescriptor(0);
    EXPECT_EQ(d.configuration[5], whole[5]) << "bConfigurationValue";
    EXPECT_LT(d.configuration.size(), whole.size());
    EXPECT_NE(
        std::search(whole.begin(), whole.end(), d.configuration.begin() + 9, d.configuration.end()),
        whole.end());
    EXPECT_EQ(d.interfaceNumbers, (std::vector<uint8_t>{0, 1}));
    EXPECT_NE(d.bulkIn, nullptr);
    EXPECT_NE(d.bulkOut, nullptr);

    // The single-interface function selects its one interface the same way.
    ClientDevice& single = diag();
    EXPECT_EQ(single.selectStatus, STATUS_SUCCESS);
    EXPECT_EQ(single.configuration[4], 1);
    EXPECT_EQ(single.interfaceNumbers, (std::vector<uint8_t>{2}));

    // The configuration handle the emulation answered is the parent's: the one an empty
    // selection through another child answers.
    EXPECT_NE(d.configurationHandle, nullptr);
    EXPECT_EQ(d.configurationHandle, single.configurationHandle);
    EXPECT_EQ(d.configurationHandle, parentConfigurationHandle(3));
}

// What the handset saw of the two drivers' start: no descriptor reads of their own (the children
// answer those), each one GET_STATUS, one SET_INTERFACE per interface entry of the emulated
// selection plus the framework's own for the modem's second interface (accepted by the device's
// stack only with the parent's configuration handle), and no further SET_CONFIGURATION.
TEST_F(ClientTest, TheHandsetSawTheSelectionAsInterfaceRequests) {
    const std::vector<usb::RequestRecord> after = afterConfiguration(hc().requests(1));
    for (const usb::RequestRecord& r : standardRequests(after, USB_REQUEST_GET_DESCRIPTOR)) {
        const uint8_t type = r.setup.wValue >> 8;
        EXPECT_TRUE(type != USB_DEVICE_DESCRIPTOR_TYPE && type != USB_CONFIGURATION_DESCRIPTOR_TYPE)
            << "descriptor type " << int(type) << " read from the device";
    }
    EXPECT_EQ(standardRequests(after, USB_REQUEST_GET_STATUS).size(), 2u);
    // The parent's own selection comes first: the framework selects its interfaces after the
    // first again, each on its own.
    const std::vector<usb::RequestRecord> selects =
        standardRequests(after, USB_REQUEST_SET_INTERFACE);
    ASSERT_GE(selects.size(), 3u);
    std::vector<uint16_t> parentInterfaces, modemInterfaces, diagInterfaces;
    for (size_t i = 0; i < selects.size(); ++i) {
        const uint16_t number = selects[i].setup.wIndex;
        (i < 3         ? parentInterfaces
         : number == 2 ? diagInterfaces
                       : modemInterfaces)
            .push_back(number);
    }
    EXPECT_EQ(parentInterfaces, (std::vector<uint16_t>{1, 2, 3}));
    EXPECT_EQ(modemInterfaces, (std::vector<uint16_t>{0, 1, 1}));
    EXPECT_EQ(diagInterfaces, (std::vector<uint16_t>{2}));
    EXPECT_EQ(device_->configurationValue(), 1);
}

TEST_F(ClientTest, AtCommandsThroughTheModemChild) {
    ClientDevice& d = modem();
    ASSERT_EQ(d.readerStatus, STATUS_SUCCESS);
    EXPECT_EQ(write(d, "AT\r"), STATUS_SUCCESS);
    EXPECT_EQ(received(d), "AT\r\r\nOK\r\n");
    EXPECT_EQ(write(d, "ATE0\r"), STATUS_SUCCESS);
    EXPECT_EQ(write(d, "AT+CGSN\r"), STATUS_SUCCESS);
    EXPECT_EQ(received(d), "AT\r\r\nOK\r\nATE0\r\r\nOK\r\n\r\n0123456789\r\n\r\nOK\r\n");
    EXPECT_TRUE(d.readerFailures.empty());
}

TEST_F(ClientTest, DiagnosticLoopbackWithPipeReadsAndWrites) {
    device_->find<dev::DiagFunction>()->setLoopback(true);
    ClientDevice& d = diag();
    Bytes payload(1500);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    ULONG written = 0;
    NTSTATUS status = STATUS_PENDING;
    passive([&] { status = clientWrite(d.bulkOut, payload, &written); });
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(written, payload.size());

    Bytes back;
    for (int reads = 0; back.size() < payload.size() && reads < 8; ++reads) {
        Bytes chunk(2048);
        passive([&] { status = clientRead(d.bulkIn, chunk); });
        ASSERT_EQ(status, STATUS_SUCCESS);
        back.insert(back.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(back, payload);
}

// A child's deconfiguration does not reach the handset: the parent refuses a selection without
// interface entries, the device stays configured for the other functions, and the child starts
// again with a new selection.
TEST_F(ClientTest, StoppedChildDeconfiguresOnlyItself) {
    device_->find<dev::DiagFunction>()->setLoopback(true);
    DEVICE_OBJECT* pdo = child(0)->pdo;
    hc().clearRequests(1);
    ASSERT_EQ(pnp().stop(pdo), STATUS_SUCCESS);
    settle();
    ClientDevice& d = modem();
    EXPECT_EQ(d.releases, 1);
    EXPECT_EQ(d.deconfigStatus, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(standardRequests(hc().requests(1), USB_REQUEST_SET_CONFIGURATION).empty());
    EXPECT_EQ(device_->configurationValue(), 1);

    Bytes echo;
    passive([&] {
        ULONG written = 0;
        ASSERT_EQ(clientWrite(diag().bulkOut, {1, 2, 3}, &written), STATUS_SUCCESS);
        echo.resize(512);
        ASSERT_EQ(clientRead(diag().bulkIn, echo), STATUS_SUCCESS);
    });
    EXPECT_EQ(echo, (Bytes{1, 2, 3})) << "the other function keeps working";

    ASSERT_EQ(pnp().start(pdo), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(d.prepares, 2);
    EXPECT_EQ(d.selectStatus, STATUS_SUCCESS);
    EXPECT_EQ(write(d, "AT\r"), STATUS_SUCCESS);
    EXPECT_EQ(received(d), "AT\r\r\nOK\r\n");
}

// velbus refuses a child's request to be re-enumerated: the child keeps its PDO and its
// driver, and no child is added.
TEST_F(ClientTest, ChildReenumerationRequestIsRefused) {
    device_->find<dev::DiagFunction>()->setLoopback(true);
    DEVICE_OBJECT* pdo = child(2)->pdo;
    REENUMERATE_SELF_INTERFACE_STANDARD r{};
    ASSERT_EQ(pnp().queryInterface(pdo, GUID_REENUMERATE_SELF_INTERFACE_STANDARD, sizeof r, 1,
                                   reinterpret_cast<INTERFACE*>(&r), nullptr),
              STATUS_SUCCESS);
    ASSERT_NE(r.SurpriseRemoveAndReenumerateSelf, nullptr);
    r.SurpriseRemoveAndReenumerateSelf(r.Context);
    r.InterfaceDereference(r.Context);
    settle();

    ASSERT_EQ(children().size(), 3u);
    ASSERT_TRUE(child(2).has_value());
    EXPECT_EQ(child(2)->pdo, pdo);
    EXPECT_EQ(child(2)->state, pnp::DeviceState::Started);
    EXPECT_EQ(clients().deviceCount(), 2u);
    EXPECT_EQ(diag().prepares, 1);
    Bytes echo;
    passive([&] {
        ULONG written = 0;
        ASSERT_EQ(clientWrite(diag().bulkOut, {9, 8, 7}, &written), STATUS_SUCCESS);
        echo.resize(512);
        ASSERT_EQ(clientRead(diag().bulkIn, echo), STATUS_SUCCESS);
    });
    EXPECT_EQ(echo, (Bytes{9, 8, 7}));
}

}  // namespace
}  // namespace vel::bus::test
