// Registry calls and the keys of drivers and devices.
#include <functional>

#include "test_driver.h"
#include "vel/runtime/faults.h"

namespace vel::test {
namespace {

const std::string kPath = "\\Registry\\Machine\\Software\\VelTest";

class RegistryTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        kernel::Registry& reg = kernel().registry();
        reg.setDword(kPath, "Dword", 7);
        reg.setString(kPath, "Text", u"hello");
        reg.setValue(kPath, "Binary", {REG_BINARY, {1, 2, 3, 4, 5}});
        reg.setValue(kPath, "Short", {REG_DWORD, {1, 2}});
        ASSERT_EQ(open(kPath, &key), STATUS_SUCCESS);
    }
    NTSTATUS open(const std::string& path, WDFKEY* out, ACCESS_MASK access = KEY_READ) {
        std::u16string name = kernel::toUtf16(path);
        UNICODE_STRING string{static_cast<USHORT>(name.size() * 2),
                              static_cast<USHORT>(name.size() * 2), name.data()};
        return WdfRegistryOpenKey(nullptr, &string, access, WDF_NO_OBJECT_ATTRIBUTES, out);
    }
    WDFKEY key = nullptr;
};

UNICODE_STRING name(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

// One row per call and value; each checks the status and what the call handed back.
TEST_F(RegistryTest, QueriesReturnTheFrameworkStatuses) {
    struct Case {
        const char* what;
        std::function<NTSTATUS(WDFKEY)> call;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"ULong",
         [](WDFKEY k) {
             ULONG v = 0;
             auto n = name(u"Dword");
             NTSTATUS s = WdfRegistryQueryULong(k, &n, &v);
             EXPECT_EQ(v, 7u);
             return s;
         },
         STATUS_SUCCESS},
        {"ULong missing",
         [](WDFKEY k) {
             ULONG v;
             auto n = name(u"Nothing");
             return WdfRegistryQueryULong(k, &n, &v);
         },
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"ULong of a string",
         [](WDFKEY k) {
             ULONG v;
             auto n = name(u"Text");
             return WdfRegistryQueryULong(k, &n, &v);
         },
         STATUS_OBJECT_TYPE_MISMATCH},
        {"ULong of 2 bytes",
         [](WDFKEY k) {
             ULONG v;
             auto n = name(u"Short");
             return WdfRegistryQueryULong(k, &n, &v);
         },
         STATUS_OBJECT_TYPE_MISMATCH},
        {"Value fits",
         [](WDFKEY k) {
             UCHAR buffer[8] = {};
             ULONG length = 0, type = 0;
             auto n = name(u"Binary");
             NTSTATUS s = WdfRegistryQueryValue(k, &n, sizeof buffer, buffer, &length, &type);
             EXPECT_EQ(length, 5u);
             EXPECT_EQ(type, ULONG{REG_BINARY});
             EXPECT_EQ(buffer[4], 5);
             return s;
         },
         STATUS_SUCCESS},
        {"Value too small",
         [](WDFKEY k) {
             UCHAR buffer[4] = {};
             ULONG length = 0;
             auto n = name(u"Binary");
             NTSTATUS s = WdfRegistryQueryValue(k, &n, sizeof buffer, buffer, &length, nullptr);
             EXPECT_EQ(length, 5u);
             EXPECT_EQ(buffer[0], 0);
             return s;
         },
         STATUS_BUFFER_OVERFLOW},
        {"Value size only",
         [](WDFKEY k) {
             ULONG length = 0;
             auto n = name(u"Binary");
             NTSTATUS s = WdfRegistryQueryValue(k, &n, 0, nullptr, &length, nullptr);
             EXPECT_EQ(length, 5u);
             return s;
         },
         STATUS_BUFFER_OVERFLOW},
        {"UnicodeString fits",
         [](WDFKEY k) {
             DECLARE_UNICODE_STRING_SIZE(value, 6);
             USHORT length = 0;
             auto n = name(u"Text");
             NTSTATUS s = WdfRegistryQueryUnicodeString(k, &n, &length, &value);
             EXPECT_EQ(length, 12);
             EXPECT_EQ(std::u16string(value.Buffer, value.Length / 2), u"hello");
             return s;
         },
         STATUS_SUCCESS},
        {"UnicodeString too small",
         [](WDFKEY k) {
             DECLARE_UNICODE_STRING_SIZE(value, 3);
             USHORT length = 0;
             auto n = name(u"Text");
             NTSTATUS s = WdfRegistryQueryUnicodeString(k, &n, &length, &value);
             EXPECT_EQ(length, 12);
             EXPECT_EQ(value.Length, 0);
             return s;
         },
         STATUS_BUFFER_OVERFLOW},
        {"UnicodeString length only",
         [](WDFKEY k) {
             USHORT length = 0;
             auto n = name(u"Text");
             NTSTATUS s = WdfRegistryQueryUnicodeString(k, &n, &length, nullptr);
             EXPECT_EQ(length, 12);
             return s;
         },
         STATUS_BUFFER_OVERFLOW},
        {"UnicodeString of a number",
         [](WDFKEY k) {
             USHORT length = 0;
             auto n = name(u"Dword");
             return WdfRegistryQueryUnicodeString(k, &n, &length, nullptr);
         },
         STATUS_OBJECT_TYPE_MISMATCH},
        {"String into an object",
         [](WDFKEY k) {
             WDFSTRING string;
             EXPECT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
             auto n = name(u"Text");
             NTSTATUS s = WdfRegistryQueryString(k, &n, string);
             UNICODE_STRING view;
             WdfStringGetUnicodeString(string, &view);
             EXPECT_EQ(std::u16string(view.Buffer, view.Length / 2), u"hello");
             WdfObjectDelete(string);
             return s;
         },
         STATUS_SUCCESS},
        {"remove missing value",
         [](WDFKEY k) {
             auto n = name(u"Nothing");
             return WdfRegistryRemoveValue(k, &n);
         },
         STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(key), c.expected);
    }
}

TEST_F(RegistryTest, AssignmentsStoreTypedValues) {
    auto number = name(u"Number");
    auto text = name(u"Name");
    auto blob = name(u"Blob");
    auto fromObject = name(u"FromObject");
    UNICODE_STRING port = name(u"COM7");
    UCHAR bytes[3] = {9, 8, 7};
    WDFSTRING string;
    ASSERT_EQ(WdfStringCreate(&port, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryAssignULong(key, &number, 42), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryAssignUnicodeString(key, &text, &port), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryAssignValue(key, &blob, REG_BINARY, sizeof bytes, bytes), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryAssignString(key, &fromObject, string), STATUS_SUCCESS);
    kernel::Registry& reg = kernel().registry();
    EXPECT_EQ(reg.dword(kPath, "Number"), 42u);
    EXPECT_EQ(reg.value(kPath, "Name"), kernel::RegValue::string(u"COM7"));
    EXPECT_EQ(reg.value(kPath, "FromObject"), kernel::RegValue::string(u"COM7"));
    EXPECT_EQ(reg.value(kPath, "Blob"), (kernel::RegValue{REG_BINARY, {9, 8, 7}}));
    EXPECT_EQ(WdfRegistryRemoveValue(key, &number), STATUS_SUCCESS);
    EXPECT_FALSE(reg.dword(kPath, "Number").has_value());
}

TEST_F(RegistryTest, OpensCreatesAndRemovesKeysNotingTheAccess) {
    WDFKEY missing = reinterpret_cast<WDFKEY>(1);
    EXPECT_EQ(open(kPath + "\\Missing", &missing), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);

    auto sub = name(u"Sub\\Deeper");
    ULONG disposition = 0;
    WDFKEY created;
    ASSERT_EQ(WdfRegistryCreateKey(key, &sub, KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE, &disposition,
                                   WDF_NO_OBJECT_ATTRIBUTES, &created),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG{REG_CREATED_NEW_KEY});
    EXPECT_TRUE(kernel().registry().keyExists(kPath + "\\Sub\\Deeper"));
    WDFKEY again;
    ASSERT_EQ(WdfRegistryCreateKey(key, &sub, KEY_READ, REG_OPTION_NON_VOLATILE, &disposition,
                                   WDF_NO_OBJECT_ATTRIBUTES, &again),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG{REG_OPENED_EXISTING_KEY});
    WdfRegistryClose(again);

    std::vector<kernel::Registry::OpenRecord> opens = kernel().registry().opens();
    ASSERT_GE(opens.size(), 3u);
    EXPECT_EQ(opens[opens.size() - 2].access, ULONG{KEY_ALL_ACCESS});
    EXPECT_EQ(opens.back().path, kPath + "\\Sub\\Deeper");

    ASSERT_EQ(WdfRegistryRemoveKey(created), STATUS_SUCCESS);
    EXPECT_FALSE(kernel().registry().keyExists(kPath + "\\Sub\\Deeper"));
    WdfRegistryClose(created);  // the removal closed it already
    expectViolations({rt::Rule::UseAfterDelete});
}

TEST_F(RegistryTest, InjectedFaultsFailOpensReadsAndWrites) {
    struct Case {
        const char* point;
        std::function<NTSTATUS()> call;
    };
    auto number = name(u"Dword");
    const Case cases[] = {
        {rt::fault::kRegistryOpen,
         [&] {
             WDFKEY k;
             return open(kPath, &k);
         }},
        {rt::fault::kRegistryRead,
         [&] {
             ULONG v;
             return WdfRegistryQueryULong(key, &number, &v);
         }},
        {rt::fault::kRegistryWrite, [&] { return WdfRegistryAssignULong(key, &number, 1); }},
        {rt::fault::kRegistryWrite, [&] { return WdfRegistryRemoveValue(key, &number); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.point);
        runtime().faults().failNth(c.point, 1);
        EXPECT_EQ(c.call(), STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(kernel().registry().dword(kPath, "Dword"), 7u);
}

TEST_F(DriverTest, ParametersKeyIsCreatedWhenMissing) {
    const std::string parameters = kernel::regpath::parameters(kService);
    EXPECT_FALSE(kernel().registry().keyExists(parameters));
    WDFKEY key;
    ASSERT_EQ(
        WdfDriverOpenParametersRegistryKey(driver(), KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
        STATUS_SUCCESS);
    EXPECT_TRUE(kernel().registry().keyExists(parameters));
    ASSERT_FALSE(kernel().registry().opens().empty());
    EXPECT_EQ(kernel().registry().opens().back().path, parameters);
    EXPECT_EQ(kernel().registry().opens().back().access, ULONG{KEY_READ});
}

}  // namespace
}  // namespace vel::test
