// USBD_ParseDescriptors and USBD_ParseConfigurationDescriptorEx over hand-written and built
// configurations, including malformed ones: neither may read outside the buffer it is given.
#include <gtest/gtest.h>

#include <vector>

#include "vel/devices/descriptor_builder.h"
#include "vel_usb_cdc.h"

namespace {

using vel::dev::Bytes;

// Offset of a parse result in `buffer`, or -1 for NULL.
long offsetOf(const Bytes& buffer, const void* p) {
    return p == nullptr ? -1 : static_cast<const uint8_t*>(p) - buffer.data();
}

// The bytes live in a heap block of exactly their size, so AddressSanitizer catches any read
// past the end.
struct ParseCase {
    const char* name;
    Bytes bytes;
    size_t start;
    LONG type;
    long expected;
};

TEST(UsbdParseDescriptors, Table) {
    const std::vector<ParseCase> cases = {
        {"first at start", {9, 2, 0, 0, 0, 0, 0, 0, 0, 9, 4, 0, 0, 0, 0, 0, 0, 0}, 0, 2, 0},
        {"start itself is a candidate",
         {9, 2, 0, 0, 0, 0, 0, 0, 0, 9, 4, 0, 0, 0, 0, 0, 0, 0},
         9,
         4,
         9},
        {"found after a step",
         {9, 2, 0, 0, 0, 0, 0, 0, 0, 7, 5, 0, 0, 0, 0, 0, 9, 4, 0, 0, 0, 0, 0, 0, 0},
         0,
         4,
         16},
        {"type not present", {9, 2, 0, 0, 0, 0, 0, 0, 0, 7, 5, 0, 0, 0, 0, 0}, 0, 4, -1},
        {"start in the middle skips earlier", {7, 5, 0, 0, 0, 0, 0, 7, 5, 1, 0, 0, 0, 0}, 7, 5, 7},
        {"zero bLength stops the walk", {9, 2, 0, 0, 0, 0, 0, 0, 0, 0, 4, 3, 4, 0}, 0, 4, -1},
        {"bLength 1 stops the walk", {9, 2, 0, 0, 0, 0, 0, 0, 0, 1, 4, 3, 4, 0}, 0, 4, -1},
        {"descriptor running past the end", {9, 2, 0, 0, 0, 0, 0, 0, 0, 9, 4, 0, 0}, 0, 4, -1},
        {"lone trailing byte", {9, 2, 0, 0, 0, 0, 0, 0, 0, 4}, 0, 4, -1},
        {"start at the end", {9, 2, 0, 0, 0, 0, 0, 0, 0}, 9, 2, -1},
        {"negative type never matches", {2, 0xFF}, 0, -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto heap = std::make_unique<uint8_t[]>(c.bytes.size());
        std::copy(c.bytes.begin(), c.bytes.end(), heap.get());
        auto* found = USBD_ParseDescriptors(heap.get(), static_cast<ULONG>(c.bytes.size()),
                                            heap.get() + c.start, c.type);
        const long offset = found == nullptr ? -1 : reinterpret_cast<uint8_t*>(found) - heap.get();
        EXPECT_EQ(offset, c.expected);
    }
}

TEST(UsbdParseDescriptors, StartOutsideTheBufferFindsNothing) {
    Bytes bytes = {9, 4, 0, 0, 0, 0, 0, 0, 0, 9, 4, 0, 0, 0, 0, 0, 0, 0};
    // Only the first descriptor lies inside TotalLength.
    EXPECT_EQ(USBD_ParseDescriptors(bytes.data(), 9, bytes.data() + 9, 4), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(bytes.data() + 9, 9, bytes.data(), 4), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(bytes.data(), 0, bytes.data(), 4), nullptr);
    EXPECT_EQ(USBD_ParseDescriptors(nullptr, 9, nullptr, 4), nullptr);
}

// A configuration with two functions: an ACM pair (comm 0 + data 1, data interface with an
// alternate setting) and a vendor interface 2.
Bytes twoFunctionConfig() {
    const uint8_t subordinate[] = {1};
    return vel::dev::ConfigurationBuilder()
        .interface({.number = 0, .interfaceClass = 2, .subClass = 2, .protocol = 1})
        .cdcHeader()
        .cdcCallManagement(3, 1)
        .cdcAcm(2)
        .cdcUnion(0, subordinate)
        .endpoint({.address = 0x81, .type = vel::dev::EndpointType::Interrupt, .interval = 16})
        .interface({.number = 1, .interfaceClass = 0x0A})
        .interface({.number = 1, .alternateSetting = 1, .interfaceClass = 0x0A})
        .endpoint({.address = 0x82})
        .endpoint({.address = 0x02})
        .interface({.number = 2, .interfaceClass = 0xFF, .subClass = 0x42, .protocol = 1})
        .build();
}

TEST(UsbdParseConfigurationDescriptorEx, CriteriaTable) {
    const Bytes config = twoFunctionConfig();
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t*>(config.data()));
    const long comm = 9, data0 = 9 + 9 + 5 + 5 + 4 + 5 + 7, data1 = data0 + 9,
               vendor = data1 + 9 + 7 + 7;
    struct Case {
        const char* name;
        long start;
        LONG number, alternate, cls, subclass, protocol;
        long expected;
    };
    const Case cases[] = {
        {"all wildcards: first interface", 0, -1, -1, -1, -1, -1, comm},
        {"class/subclass/protocol ACM", 0, -1, -1, 2, 2, 1, comm},
        {"data interface alternate 0", 0, 1, 0, 0x0A, 0, 0, data0},
        {"data interface alternate 1", 0, 1, 1, -1, -1, -1, data1},
        {"search resumes behind a rejected one", comm + 9, -1, -1, 2, 2, 1, -1},
        {"start in the middle", data0 + 9, -1, -1, -1, -1, -1, data1},
        {"vendor interface by class", 0, -1, -1, 0xFF, -1, -1, vendor},
        {"subclass mismatch", 0, -1, -1, 0xFF, 0x43, -1, -1},
        {"interface number not present", 0, 7, -1, -1, -1, -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto* found = USBD_ParseConfigurationDescriptorEx(
            cd, const_cast<uint8_t*>(config.data()) + c.start, c.number, c.alternate, c.cls,
            c.subclass, c.protocol);
        EXPECT_EQ(offsetOf(config, found), c.expected);
    }
}

TEST(UsbdParseConfigurationDescriptorEx, SearchStopsAtTotalLength) {
    // The vendor interface lies behind wTotalLength: it is not found, though it is in memory.
    Bytes config = twoFunctionConfig();
    const uint16_t shortened = static_cast<uint16_t>(config.size() - 9);
    config[2] = static_cast<uint8_t>(shortened);
    config[3] = static_cast<uint8_t>(shortened >> 8);
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 0xFF, -1, -1), nullptr);
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 0x0A, -1, -1), nullptr);
}

TEST(UsbdParseConfigurationDescriptorEx, ShortInterfaceDescriptorIsPassedOver) {
    // A 4-byte "interface" whose would-be class byte lies in the next descriptor must not match.
    const uint8_t shortIface[] = {4, 4, 0, 0};
    const Bytes config = vel::dev::ConfigurationBuilder()
                             .raw(shortIface)
                             .interface({.number = 1, .interfaceClass = 0xFF})
                             .build();
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t*>(config.data()));
    auto* found = USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1);
    EXPECT_EQ(offsetOf(config, found), 13);
}

}  // namespace
