// The function-based device: routing of requests and packets to the owning function, the
// selection it records, and the descriptor-only device the command line enumerates.
#include <gtest/gtest.h>

#include "fake_host.h"
#include "vel/devices/descriptor_builder.h"
#include "vel/devices/function_device.h"
#include "vel/devices/string_table.h"

namespace {

using namespace vel::dev;
using namespace vel::dev::testing;
using vel::usb::ControlAnswer;
using vel::usb::Handshake;
using vel::usb::InAnswer;
using vel::usb::SetupPacket;

// Answers everything it is given and notes what reached it.
class Recorder : public Function {
  public:
    Recorder(std::vector<uint8_t> interfaces, std::vector<uint8_t> endpoints, std::string name,
             std::vector<std::string>& log)
        : Function(std::move(interfaces), std::move(endpoints)),
          name_(std::move(name)),
          log_(log) {}

    void reset() override { log_.push_back(name_ + " reset"); }
    void interfaceSelected(uint8_t number, uint8_t alt) override {
        log_.push_back(name_ + " alt " + std::to_string(number) + "/" + std::to_string(alt));
    }
    ControlAnswer control(const SetupPacket& setup, std::span<const uint8_t>) override {
        log_.push_back(name_ + " control " + std::to_string(setup.bRequest));
        return {Handshake::Ack, {setup.bRequest}};
    }
    Handshake out(uint8_t ep, std::span<const uint8_t>) override {
        log_.push_back(name_ + " out " + std::to_string(ep));
        return Handshake::Ack;
    }
    InAnswer in(uint8_t ep, uint16_t) override {
        log_.push_back(name_ + " in " + std::to_string(ep));
        return {Handshake::Ack, {}};
    }
    void endpointReset(uint8_t ep) override {
        log_.push_back(name_ + " reset " + std::to_string(ep));
    }

  private:
    std::string name_;
    std::vector<std::string>& log_;
};

class FunctionDeviceTest : public ::testing::Test {
  protected:
    FunctionDeviceTest() {
        std::vector<std::unique_ptr<Function>> functions;
        functions.push_back(std::make_unique<Recorder>(std::vector<uint8_t>{0, 1},
                                                       std::vector<uint8_t>{0x81, 0x02}, "a", log));
        functions.push_back(std::make_unique<Recorder>(std::vector<uint8_t>{2},
                                                       std::vector<uint8_t>{0x83}, "b", log));
        StringTable strings;
        strings.set(1, u"Maker");
        device = std::make_unique<FunctionDevice>(deviceDescriptor({}),
                                                  std::vector<Bytes>{Bytes{1}, Bytes{2}},
                                                  stringsFrom(strings), std::move(functions));
        device->attached(host, vel::usb::Speed::High);
    }

    std::vector<std::string> take() { return std::exchange(log, {}); }

    std::vector<std::string> log;
    FakeHost host;
    std::unique_ptr<FunctionDevice> device;
};

TEST_F(FunctionDeviceTest, RoutesRequestsToTheOwnerOfTheInterfaceOrEndpoint) {
    struct Case {
        uint8_t bmRequestType;
        uint16_t wIndex;
        const char* reaches;  // nullptr: STALL
    } cases[] = {
        {0x21, 0x0001, "a control 34"},  // class, interface 1
        {0xA1, 0x0002, "b control 34"},  // class, interface 2
        {0x41, 0x0000, "a control 34"},  // vendor, interface 0
        {0x21, 0x0302, "b control 34"},  // only the low byte names the interface
        {0x22, 0x0083, "b control 34"},  // class, endpoint 0x83
        {0x22, 0x0003, nullptr},         // endpoint 0x03 (OUT) is nobody's
        {0x21, 0x0005, nullptr},         // interface 5 is nobody's
        {0x20, 0x0000, nullptr},         // class, device
        {0x40, 0x0001, nullptr},         // vendor, device
        {0x23, 0x0001, nullptr},         // class, other
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << int(c.bmRequestType) << " " << c.wIndex);
        const ControlAnswer a = device->control({c.bmRequestType, 0x22, 0, c.wIndex, 0}, {});
        if (c.reaches == nullptr) {
            EXPECT_EQ(a.handshake, Handshake::Stall);
            EXPECT_TRUE(take().empty());
        } else {
            EXPECT_EQ(a.handshake, Handshake::Ack);
            EXPECT_EQ(take(), std::vector<std::string>{c.reaches});
        }
    }
}

TEST_F(FunctionDeviceTest, RoutesPacketsToTheOwnerOfTheEndpoint) {
    const uint8_t data[] = {1, 2};
    EXPECT_EQ(device->out(0x02, data), Handshake::Ack);
    EXPECT_EQ(device->in(0x81, 64).handshake, Handshake::Ack);
    EXPECT_EQ(device->in(0x83, 64).handshake, Handshake::Ack);
    device->endpointReset(0x83);
    EXPECT_EQ(take(), (std::vector<std::string>{"a out 2", "a in 129", "b in 131", "b reset 131"}));

    // Direction is part of the address: 0x82 and 0x01 belong to nobody.
    EXPECT_EQ(device->in(0x82, 64).handshake, Handshake::Stall);
    EXPECT_EQ(device->out(0x01, data), Handshake::Stall);
    device->endpointReset(0x01);
    EXPECT_TRUE(take().empty());
}

TEST_F(FunctionDeviceTest, RecordsTheSelectionAndAnswersItsQueries) {
    const SetupPacket getConfiguration{0x80, 0x08, 0, 0, 1};
    const SetupPacket getInterface1{0x81, 0x0A, 0, 1, 1};
    EXPECT_EQ(device->configurationValue(), 0);
    EXPECT_EQ(device->control(getConfiguration, {}).data, Bytes{0});
    // GET_INTERFACE is only valid in the configured state.
    EXPECT_EQ(device->control(getInterface1, {}).handshake, Handshake::Stall);

    device->configurationSelected(2);
    EXPECT_EQ(take(), (std::vector<std::string>{"a reset", "b reset"}));
    device->interfaceSelected(1, 3);
    EXPECT_EQ(take(), std::vector<std::string>{"a alt 1/3"});
    EXPECT_EQ(device->configurationValue(), 2);
    EXPECT_EQ(device->alternateSetting(1), 3);
    EXPECT_EQ(device->alternateSetting(0), std::nullopt);
    EXPECT_EQ(device->control(getConfiguration, {}).data, Bytes{2});
    EXPECT_EQ(device->control(getInterface1, {}).data, Bytes{3});
    EXPECT_EQ(device->control({0x81, 0x0A, 0, 0, 1}, {}).data, Bytes{0});

    // A new configuration forgets the alternate settings.
    device->configurationSelected(1);
    EXPECT_EQ(device->alternateSetting(1), std::nullopt);

    // Other standard requests that reach the device stall.
    EXPECT_EQ(device->control({0x00, 0x03, 1, 0, 0}, {}).handshake, Handshake::Stall);

    device->detached();
    EXPECT_EQ(device->configurationValue(), 0);
}

TEST_F(FunctionDeviceTest, ServesDescriptorsAsGiven) {
    EXPECT_EQ(device->configurationCount(), 2u);
    EXPECT_EQ(device->configurationDescriptor(1), Bytes{2});
    EXPECT_TRUE(device->configurationDescriptor(2).empty());
    EXPECT_EQ(device->stringDescriptor(0, 0), (Bytes{4, 3, 0x09, 0x04}));
    EXPECT_EQ(device->stringDescriptor(1, 0x0409), stringDescriptor(u"Maker"));
    EXPECT_EQ(device->stringDescriptor(2, 0x0409), std::nullopt);
}

TEST(FunctionDevice, RefusesTwoOwnersOfOneInterfaceOrEndpoint) {
    for (auto [i2, e2] : {std::pair<uint8_t, uint8_t>{0, 0x82}, {1, 0x81}}) {
        std::vector<std::unique_ptr<Function>> functions;
        functions.push_back(
            std::make_unique<Function>(std::vector<uint8_t>{0}, std::vector<uint8_t>{0x81}));
        functions.push_back(
            std::make_unique<Function>(std::vector<uint8_t>{i2}, std::vector<uint8_t>{e2}));
        EXPECT_THROW(FunctionDevice(Bytes{}, {}, nullptr, std::move(functions)),
                     std::invalid_argument);
    }
}

Bytes smallConfig() {
    return ConfigurationBuilder()
        .interface({.number = 0, .interfaceClass = 0xFF})
        .endpoint({.address = 0x81})
        .endpoint({.address = 0x01})
        .build();
}

TEST(DescriptorOnlyDevice, AnswersStringsWithGeneratedTexts) {
    const Bytes dev = deviceDescriptor({.manufacturerIndex = 1, .serialNumberIndex = 3});
    struct Case {
        std::string serial;
        uint8_t index;
        uint16_t lang;
        std::u16string text;
    } cases[] = {
        {kDefaultSerialNumber, 3, 0x0409, u"0123456789"},
        {"SN-77", 3, 0x0409, u"SN-77"},
        {"SN-77", 3, 0x0407, u"SN-77"},
        {"SN-77", 1, 0x0409, u"String 1"},
        {"SN-77", 200, 0x0409, u"String 200"},
        {std::string(200, 'x'), 3, 0x0409, std::u16string(126, u'x')},
    };
    for (const Case& c : cases) {
        auto device = descriptorOnlyDevice(dev, {smallConfig()}, c.serial);
        EXPECT_EQ(device->stringDescriptor(c.index, c.lang), stringDescriptor(c.text));
        EXPECT_EQ(device->stringDescriptor(0, 0), (Bytes{4, 3, 0x09, 0x04}));
    }
}

TEST(DescriptorOnlyDevice, StallsRequestsAndNaksItsEndpointsForever) {
    FakeHost host;
    auto device = descriptorOnlyDevice(deviceDescriptor({}), {smallConfig()});
    device->attached(host, vel::usb::Speed::Full);
    device->configurationSelected(1);
    EXPECT_EQ(device->configurationDescriptor(0), smallConfig());
    EXPECT_EQ(device->control(classRequest(0x20, 0, 0, 7), {}).handshake, Handshake::Stall);
    EXPECT_EQ(device->control({0xC0, 0x01, 0, 0, 4}, {}).handshake, Handshake::Stall);
    const uint8_t data[] = {1};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(device->in(0x81, 64).handshake, Handshake::Nak);
        EXPECT_EQ(device->out(0x01, data), Handshake::Nak);
    }
    EXPECT_EQ(device->in(0x82, 64).handshake, Handshake::Stall);  // not in the descriptors
    EXPECT_TRUE(host.ready.empty());
}

TEST(DescriptorOnlyDevice, TakesWhatItCanFromMalformedDescriptors) {
    Bytes config = smallConfig();
    config.resize(config.size() - 3);  // the last endpoint is cut short
    auto device = descriptorOnlyDevice(Bytes{18, 1}, {config, Bytes{}, Bytes{0, 0}});
    EXPECT_EQ(device->in(0x81, 64).handshake, Handshake::Nak);
    EXPECT_EQ(device->out(0x01, {}), Handshake::Stall);
    // A device descriptor too short to name a serial-number index: every index is generated.
    EXPECT_EQ(device->stringDescriptor(0, 0x0409), (Bytes{4, 3, 0x09, 0x04}));
    EXPECT_EQ(device->stringDescriptor(3, 0x0409), stringDescriptor(u"String 3"));
}

}  // namespace
