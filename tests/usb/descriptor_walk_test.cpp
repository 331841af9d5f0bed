// The descriptor walker: a listing for well-formed configurations and findings, never a crash
// or an out-of-bounds read, for malformed ones.
#include <gtest/gtest.h>

#include <memory>

#include "vel/devices/descriptor_builder.h"
#include "vel/devices/descriptor_walk.h"

namespace {

using namespace vel::dev;

// Walks a heap copy of exactly the input's size so that AddressSanitizer sees any overrun.
DescriptorWalk walk(const Bytes& bytes) {
    auto heap = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), heap.get());
    return walkDescriptors({heap.get(), bytes.size()});
}

Bytes acmConfig() {
    const uint8_t subordinate[] = {1};
    return ConfigurationBuilder()
        .interface({.number = 0, .interfaceClass = 2, .subClass = 2, .protocol = 1})
        .cdcHeader()
        .cdcUnion(0, subordinate)
        .endpoint({.address = 0x81, .type = EndpointType::Interrupt})
        .interface({.number = 1, .interfaceClass = 0x0A})
        .endpoint({.address = 0x82})
        .endpoint({.address = 0x02})
        .build();
}

TEST(DescriptorWalk, ListsAWellFormedConfiguration) {
    const DescriptorWalk w = walk(acmConfig());
    EXPECT_TRUE(w.findings.empty());
    EXPECT_EQ(formatWalk(w),
              "offset  len  type\n"
              "     0    9  0x02 configuration\n"
              "     9    9  0x04 interface\n"
              "    18    5  0x24 class-specific interface (subtype 0x00)\n"
              "    23    5  0x24 class-specific interface (subtype 0x06)\n"
              "    28    7  0x05 endpoint\n"
              "    35    9  0x04 interface\n"
              "    44    7  0x05 endpoint\n"
              "    51    7  0x05 endpoint\n");
}

TEST(DescriptorWalk, MalformedInputBecomesFindings) {
    const Bytes good = acmConfig();
    auto with = [&](auto edit) {
        Bytes b = good;
        edit(b);
        return b;
    };
    struct Case {
        const char* name;
        Bytes bytes;
        size_t descriptors;
        std::vector<std::string> findings;  // "offset: message"
    };
    const Case cases[] = {
        {"truncated last endpoint",
         Bytes(good.begin(), good.end() - 3),
         7,
         {"51: endpoint descriptor of 7 bytes runs past the end (4 left); walk stops",
          "35: bNumEndpoints 2 but 1 endpoint descriptors follow",
          "0: wTotalLength 58 exceeds the 55 bytes present"}},
        {"zero bLength",
         with([](Bytes& b) { b[23] = 0; }),
         3,
         {"23: bLength 0 cannot hold the descriptor header; walk stops",
          "9: bNumEndpoints 1 but 0 endpoint descriptors follow",
          "0: bNumInterfaces 2 but 1 interfaces are described"}},
        {"one trailing byte",
         with([](Bytes& b) { b.push_back(7); }),
         8,
         {"58: 1 trailing byte", "58: 1 bytes lie beyond wTotalLength 58"}},
        {"short interface",
         with([](Bytes& b) { b[35] = 4, b.erase(b.begin() + 39, b.begin() + 44); }),
         8,
         {"35: interface descriptor of 4 bytes, expected 9",
          "0: wTotalLength 58 exceeds the 53 bytes present",
          "0: bNumInterfaces 2 but 1 interfaces are described"}},
        {"wrong counts",
         with([](Bytes& b) { b[4] = 3, b[9 + 4] = 0; }),
         8,
         {"9: bNumEndpoints 0 but 1 endpoint descriptors follow",
          "0: bNumInterfaces 3 but 2 interfaces are described"}},
        {"single byte", {9}, 0, {"0: 1 trailing byte"}},
        {"empty", {}, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const DescriptorWalk w = walk(c.bytes);
        EXPECT_EQ(w.descriptors.size(), c.descriptors);
        std::vector<std::string> findings;
        for (const auto& f : w.findings) {
            findings.push_back(std::to_string(f.offset) + ": " + f.message);
        }
        EXPECT_EQ(findings, c.findings);
    }
}

// Every prefix and every single-byte corruption of a real configuration walks without a crash
// and stays inside the input.
TEST(DescriptorWalk, SurvivesEveryPrefixAndByteCorruption) {
    const Bytes good = acmConfig();
    for (size_t n = 0; n <= good.size(); ++n) {
        const DescriptorWalk w = walk(Bytes(good.begin(), good.begin() + n));
        for (const auto& d : w.descriptors) {
            ASSERT_LE(d.offset + d.length, n);
        }
    }
    for (size_t i = 0; i < good.size(); ++i) {
        for (int v : {0x00, 0x01, 0x02, 0x7F, 0xFF}) {
            Bytes b = good;
            b[i] = static_cast<uint8_t>(v);
            const DescriptorWalk w = walk(b);
            for (const auto& d : w.descriptors) {
                ASSERT_LE(d.offset + d.length, b.size());
            }
            formatWalk(w);
        }
    }
}

}  // namespace
