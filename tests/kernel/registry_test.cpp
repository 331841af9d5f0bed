// The registry: case-insensitive keys and values, typed data, and the text file round trip.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "vel/kernel/registry.h"
#include "vel_nt.h"

namespace vel::kernel {
namespace {

const std::string kKey = "\\Registry\\Machine\\System\\Test";

TEST(Registry, KeysAndValuesAreCaseInsensitiveAndKeepTheirSpelling) {
    Registry registry;
    registry.setDword(kKey + "\\Sub", "PortIndex", 3);
    EXPECT_TRUE(registry.keyExists("\\REGISTRY\\machine\\system\\TEST"));
    EXPECT_TRUE(registry.keyExists("\\Registry\\Machine"));  // parents were created
    EXPECT_EQ(registry.dword("\\registry\\machine\\system\\test\\SUB", "portindex"), 3u);

    registry.setString(kKey + "\\SUB", "PORTINDEX", u"replaced");
    EXPECT_EQ(registry.valueNames(kKey + "\\Sub"), std::vector<std::string>{"PORTINDEX"});
    EXPECT_EQ(registry.subkeys(kKey), std::vector<std::string>{"Sub"});
    EXPECT_EQ(registry.string(kKey + "\\sub", "PortIndex"), u"replaced");
    EXPECT_EQ(registry.dword(kKey + "\\sub", "PortIndex"), std::nullopt);  // wrong type

    EXPECT_TRUE(registry.deleteValue(kKey + "\\sub", "portINDEX"));
    EXPECT_FALSE(registry.deleteValue(kKey + "\\sub", "portINDEX"));
    EXPECT_EQ(registry.value(kKey + "\\sub", "PortIndex"), std::nullopt);

    registry.createKey(kKey + "\\Sub\\Deeper");
    EXPECT_TRUE(registry.deleteKey(kKey + "\\SUB"));  // the whole subtree
    EXPECT_FALSE(registry.keyExists(kKey + "\\Sub\\Deeper"));
    EXPECT_FALSE(registry.deleteKey(kKey + "\\Sub"));
    EXPECT_TRUE(registry.keyExists(kKey));
}

TEST(Registry, TypedAccessorsCheckTypeAndSize) {
    EXPECT_EQ(RegValue::dword(0x01020304).data, (std::vector<uint8_t>{4, 3, 2, 1}));
    EXPECT_EQ(RegValue::string(u"A").data, (std::vector<uint8_t>{'A', 0, 0, 0}));
    EXPECT_EQ((RegValue{REG_DWORD, {1, 2, 3}}).asDword(), std::nullopt);
    EXPECT_EQ((RegValue{REG_BINARY, {1, 2, 3, 4}}).asDword(), std::nullopt);
    // A string written without its terminator (as a driver may) still reads back.
    EXPECT_EQ((RegValue{REG_SZ, {'C', 0, 'O', 0}}).asString(), u"CO");
    EXPECT_EQ((RegValue{REG_EXPAND_SZ, {'x', 0, 0, 0}}).asString(), u"x");
    EXPECT_EQ((RegValue{REG_BINARY, {'x', 0, 0, 0}}).asString(), std::nullopt);
}

TEST(Registry, WellKnownPaths) {
    EXPECT_EQ(regpath::parameters("velbus"), regpath::kServices + "\\velbus\\Parameters");
    EXPECT_EQ(regpath::hardwareKey("USB\\VID_1&PID_2\\5"),
              regpath::kEnum + "\\USB\\VID_1&PID_2\\5\\Device Parameters");
    const std::string expected = regpath::kClass + "\\{4D36E978-E325-11CE-BFC1-08002BE10318}\\0003";
    EXPECT_EQ(regpath::softwareKey("{4D36E978-E325-11CE-BFC1-08002BE10318}", 3), expected);
    EXPECT_EQ(regpath::softwareKey("4D36E978-E325-11CE-BFC1-08002BE10318", 3), expected);
}

// Every kind of value and name the format has to carry.
Registry& populate(Registry& registry) {
    const std::string odd = kKey + "\\Name with spaces ]%[ and \xC3\xA9";
    registry.setString(regpath::kDeviceMap + "\\SERIALCOMM", "\\Device\\velacm0", u"COM7");
    registry.setDword(kKey, "Count", 0xDEADBEEF);
    registry.setString(kKey, "", u"default value");
    registry.setString(kKey, "quote\" percent% newline\n tab\t \xC3\xA9", u"text \"with\" %25\n");
    registry.setValue(kKey, "unterminated", RegValue{REG_SZ, {'a', 0, 'b', 0}});
    registry.setValue(kKey, "odd length", RegValue{REG_SZ, {'a', 0, 'b'}});
    registry.setValue(kKey, "embedded nul", RegValue{REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}});
    registry.setValue(kKey, "lone surrogate", RegValue{REG_SZ, {0x00, 0xD8, 0, 0}});
    registry.setValue(kKey, "expand", RegValue{REG_EXPAND_SZ, RegValue::string(u"%x%").data});
    registry.setValue(kKey, "short dword", RegValue{REG_DWORD, {1, 2}});
    registry.setValue(kKey, "empty binary", RegValue{REG_BINARY, {}});
    registry.setValue(kKey, "multi", RegValue{REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0}});
    registry.setValue(kKey, "qword", RegValue{REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}});
    registry.setValue(kKey, "big type", RegValue{0xFFFFFFFF, {0xFF}});
    registry.setDword(odd, "v", 1);
    registry.createKey(kKey + "\\Empty");
    return registry;
}

void expectSameContent(const Registry& a, const Registry& b, const std::string& path) {
    EXPECT_EQ(a.valueNames(path), b.valueNames(path)) << path;
    for (const auto& name : a.valueNames(path)) {
        EXPECT_EQ(a.value(path, name), b.value(path, name)) << path << " : " << name;
    }
    EXPECT_EQ(a.subkeys(path), b.subkeys(path)) << path;
    for (const auto& sub : a.subkeys(path)) {
        expectSameContent(a, b, path + "\\" + sub);
    }
}

TEST(Registry, TextFormRoundTripsEveryValueAndName) {
    Registry original;
    populate(original);
    const std::string text = original.serialize();

    Registry copy;
    std::string error;
    ASSERT_TRUE(copy.deserialize(text, &error)) << error << "\n" << text;
    expectSameContent(original, copy, "");
    EXPECT_EQ(copy.serialize(), text);
    // The common cases stay readable.
    EXPECT_NE(text.find("\"Count\"=dword:deadbeef\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM]\n"
                        "\"\\Device\\velacm0\"=sz:\"COM7\"\n"),
              std::string::npos)
        << text;
}

TEST(Registry, SaveAndLoadThroughAFile) {
    const std::string file = ::testing::TempDir() + "registry_save_load.txt";
    Registry original;
    populate(original);
    std::string error;
    ASSERT_TRUE(original.save(file, &error)) << error;

    Registry loaded;
    loaded.setDword(kKey, "stale", 1);  // load replaces the whole content
    ASSERT_TRUE(loaded.load(file, &error)) << error;
    expectSameContent(original, loaded, "");
    EXPECT_EQ(loaded.value(kKey, "stale"), std::nullopt);
    std::remove(file.c_str());

    EXPECT_FALSE(loaded.load(file, &error));
    EXPECT_NE(error.find(file), std::string::npos) << error;
}

TEST(Registry, MalformedTextIsRejectedWithItsLineAndChangesNothing) {
    struct Case {
        const char* name;
        std::string text;
        std::string line;
    };
    const std::string header = "vel-registry 1\n";
    const Case cases[] = {
        {"missing header", "[\\A]\n", "line 1:"},
        {"empty text", "", "line 1:"},
        {"value before key", header + "\"v\"=dword:1\n", "line 2:"},
        {"key without bracket", header + "# note\n[\\A\n", "line 3:"},
        {"bad dword", header + "[\\A]\n\"v\"=dword:12345678x\n", "line 3:"},
        {"long dword", header + "[\\A]\n\"v\"=dword:123456789\n", "line 3:"},
        {"odd hex", header + "[\\A]\n\"v\"=hex(3):abc\n", "line 3:"},
        {"bad type", header + "[\\A]\n\"v\"=hex(x):00\n", "line 3:"},
        {"unquoted string", header + "[\\A]\n\"v\"=sz:COM7\n", "line 3:"},
        {"bad escape", header + "[\\A]\n\"v%4\"=dword:1\n", "line 3:"},
        {"no equals", header + "[\\A]\n\"v\" dword:1\n", "line 3:"},
        {"unknown data", header + "[\\A]\n\"v\"=float:1.5\n", "line 3:"},
        {"stray line", header + "[\\A]\nwhat\n", "line 3:"},
    };
    for (const auto& c : cases) {
        Registry registry;
        registry.setDword(kKey, "kept", 7);
        const std::string before = registry.serialize();
        std::string error;
        EXPECT_FALSE(registry.deserialize(c.text, &error)) << c.name;
        EXPECT_EQ(error.rfind(c.line, 0), 0u) << c.name << ": " << error;
        EXPECT_EQ(registry.serialize(), before) << c.name;
    }
}

TEST(Registry, OpenLog) {
    Registry registry;
    registry.noteOpen(kKey, KEY_READ);
    registry.noteOpen(kKey + "\\X", KEY_ALL_ACCESS);
    const auto opens = registry.opens();
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[1].path, kKey + "\\X");
    EXPECT_EQ(opens[1].access, uint32_t{KEY_ALL_ACCESS});
    registry.clearOpens();
    EXPECT_TRUE(registry.opens().empty());
}

}  // namespace
}  // namespace vel::kernel
