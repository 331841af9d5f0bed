// The descriptor file loader: hex text and binary told apart by content, and every error
// reported with the file and the place.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "vel/devices/descriptor_file.h"

namespace {

using namespace vel::dev;

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

TEST(DescriptorFile, HexTextIsRead) {
    struct Case {
        const char* name;
        std::string content;
        Bytes expected;
    };
    const Case cases[] = {
        {"pairs separated by spaces", "12 01 00 02", {0x12, 0x01, 0x00, 0x02}},
        {"mixed case, tabs, CRLF", "aB\tCd\r\nEF\r\n", {0xAB, 0xCD, 0xEF}},
        {"runs of pairs", "09020020 0102", {0x09, 0x02, 0x00, 0x20, 0x01, 0x02}},
        {"comments to the end of the line", "# device\n12 01 # bLength, type\n# end", {0x12, 0x01}},
        {"comment with any bytes but NUL", "# caf\xC3\xA9 \x01\n05", {0x05}},
        {"comment right after a byte", "09#x\n02", {0x09, 0x02}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = parseDescriptorData(text(c.content), "t.hex");
        ASSERT_TRUE(result.ok()) << result.error().describe();
        EXPECT_EQ(result.value().format, DescriptorFormat::HexText);
        EXPECT_EQ(result.value().bytes, c.expected);
    }
}

TEST(DescriptorFile, BinaryIsTakenAsIs) {
    const Bytes cases[] = {
        {0x12, 0x01, 0x00, 0x02, 0x02, 0x00, 0x00, 0x40},  // a device descriptor's start
        {'0', '1', 0x00},                                  // a NUL makes it binary
        {'#', 0x00, '\n', '1', '2'},                       // even inside a comment
        {0xFF},
    };
    for (const auto& bytes : cases) {
        const auto result = parseDescriptorData(bytes, "t.bin");
        ASSERT_TRUE(result.ok()) << result.error().describe();
        EXPECT_EQ(result.value().format, DescriptorFormat::Binary);
        EXPECT_EQ(result.value().bytes, bytes);
    }
}

TEST(DescriptorFile, ErrorsNameTheFileAndThePlace) {
    struct Case {
        const char* name;
        std::string content;
        std::string describe;
        size_t offset;
    };
    const Case cases[] = {
        {"empty file", "", "f.hex: empty file", 0},
        {"only comments and space", "# nothing\n  \n", "f.hex: no descriptor bytes", 0},
        {"bad digit", "12 01\n00 0G 03\n", "f.hex:2:5: bad hex digit 'G'", 10},
        {"odd digits", "12 01\n 123 00", "f.hex:2:2: odd number of hex digits (3) in a byte group",
         7},
        {"single nibble at the end", "12 0",
         "f.hex:1:4: odd number of hex digits (1) in a byte group", 3},
        {"0x prefix is not hex", "0x12", "f.hex:1:2: bad hex digit 'x'", 1},
        {"comma separator", "12,01", "f.hex:1:3: bad hex digit ','", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = parseDescriptorData(text(c.content), "f.hex");
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().describe(), c.describe);
        EXPECT_EQ(result.error().offset, c.offset);
        EXPECT_EQ(result.error().file, "f.hex");
    }
}

class DescriptorFileOnDisk : public ::testing::Test {
  protected:
    std::string write(const std::string& name, const std::string& content) {
        const std::string path = ::testing::TempDir() + name;
        std::ofstream(path, std::ios::binary) << content;
        paths_.push_back(path);
        return path;
    }
    void TearDown() override {
        for (const auto& p : paths_) {
            std::remove(p.c_str());
        }
    }
    std::vector<std::string> paths_;
};

TEST_F(DescriptorFileOnDisk, LoadsAndReportsByPath) {
    const auto hex = loadDescriptorFile(write("vel_desc_ok.hex", "# config\n09 02 09 00\n"));
    ASSERT_TRUE(hex.ok()) << hex.error().describe();
    EXPECT_EQ(hex.value().bytes, (Bytes{9, 2, 9, 0}));

    const std::string bad = write("vel_desc_bad.hex", "09\nzz\n");
    const auto error = loadDescriptorFile(bad);
    ASSERT_FALSE(error.ok());
    EXPECT_EQ(error.error().describe(), bad + ":2:1: bad hex digit 'z'");

    const auto missing = loadDescriptorFile(::testing::TempDir() + "vel_no_such_file.hex");
    ASSERT_FALSE(missing.ok());
    EXPECT_NE(missing.error().describe().find("vel_no_such_file.hex: cannot open"),
              std::string::npos);

    const auto tooLarge =
        loadDescriptorFile(write("vel_desc_big.bin", std::string(kMaxDescriptorFileSize + 1, 0)));
    ASSERT_FALSE(tooLarge.ok());
    EXPECT_NE(tooLarge.error().message.find("larger than"), std::string::npos);
}

}  // namespace
