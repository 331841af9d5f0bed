// Binding and loading: the toy driver module goes through the loader, the binding stub and its
// function table exactly as a product driver does.
#include <array>

#include "platform_test.h"
#include "toy_driver.h"
#include "vel/kernel/registry.h"

namespace vel::test {
namespace {

constexpr const char* kToy = "toy";

class LoaderTest : public PlatformTest {
  protected:
    NTSTATUS loadToy(ToyScenario scenario) {
        kernel().registry().setDword(kernel::regpath::parameters(kToy), "Scenario", scenario);
        return framework().loadDriver(kToy, VEL_TOY_DRIVER);
    }
    std::optional<uint32_t> parameter(const std::string& name) {
        return kernel().registry().dword(kernel::regpath::parameters(kToy), name);
    }
};

TEST_F(LoaderTest, ModuleBindsRunsDriverEntryWithItsServicePathAndUnloads) {
    ASSERT_EQ(loadToy(ToyNormal), STATUS_SUCCESS);
    EXPECT_TRUE(framework().isLoaded(kToy));
    EXPECT_NE(framework().driver(kToy), nullptr);
    PDRIVER_OBJECT driverObject = framework().driverObject(kToy);
    ASSERT_NE(driverObject, nullptr);
    EXPECT_EQ(std::u16string(driverObject->DriverName.Buffer,
                             driverObject->DriverName.Length / sizeof(WCHAR)),
              u"\\Driver\\toy");
    // The driver wrote what WdfDriverGetRegistryPath gave it, through its Parameters key.
    EXPECT_EQ(kernel().registry().string(kernel::regpath::parameters(kToy), "RegistryPath"),
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\toy");
    EXPECT_EQ(framework().loadDriver(kToy, VEL_TOY_DRIVER), STATUS_OBJECT_NAME_COLLISION);

    ASSERT_TRUE(framework().unloadDriver(kToy));
    EXPECT_EQ(parameter("Unloaded"), 1u);
    EXPECT_FALSE(framework().isLoaded(kToy));
    // The driver's memory and collection went with its driver object; its buffer is back.
    EXPECT_EQ(framework().liveObjectCount(), 0u);
    EXPECT_EQ(kernel().poolStats().outstandingByTag[VEL_POOL_TAG('T', 'o', 'y', ' ')], 0u);
}

TEST_F(LoaderTest, FailedDriverEntryLeavesNothingBehind) {
    EXPECT_EQ(loadToy(ToyFailEntry), STATUS_DEVICE_DATA_ERROR);
    EXPECT_FALSE(framework().isLoaded(kToy));
    EXPECT_EQ(framework().liveObjectCount(), 0u);
}

TEST_F(LoaderTest, MissingModuleIsNotFound) {
    EXPECT_EQ(framework().loadDriver(kToy, "/nonexistent/toy.so"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(framework().isLoaded(kToy));
}

TEST_F(LoaderTest, UseAfterDeleteIsReportedNotFatal) {
    ASSERT_EQ(loadToy(ToyUseAfterDelete), STATUS_SUCCESS);
    expectViolations({rt::Rule::UseAfterDelete});
}

TEST_F(LoaderTest, ReferenceLeftAtUnloadIsReportedWithItsTag) {
    ASSERT_EQ(loadToy(ToyReferenceLeak), STATUS_SUCCESS);
    EXPECT_TRUE(takeViolations().empty());
    framework().unloadDriver(kToy);
    std::vector<rt::Violation> violations = takeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, rt::Rule::ReferenceLeak);
    EXPECT_NE(violations[0].object.find("WDFMEMORY"), std::string::npos);
    EXPECT_NE(violations[0].message.find("1 reference(s), tag"), std::string::npos);
    // The leaked object was freed with the driver, buffer included.
    EXPECT_EQ(framework().liveObjectCount(), 0u);
    EXPECT_EQ(kernel().poolStats().outstanding, 0u);
}

TEST_F(LoaderTest, SleepingWithSpinLockHeldIsReported) {
    ASSERT_EQ(loadToy(ToyBlockWithSpinLock), STATUS_SUCCESS);
    expectViolations({rt::Rule::BlockingWithSpinLock});
}

// Binding requests as a stub would make them; only "KmdfLibrary" 1.x up to 1.9 with the 396
// entries of the 1.9 table binds.
TEST_F(PlatformTest, VersionBindAcceptsOnlyTheFrameworkLibraryAt19) {
    struct Case {
        const char* what;
        const WCHAR* component;
        ULONG major, minor, funcCount;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"1.9", u"KmdfLibrary", 1, 9, 396, STATUS_SUCCESS},
        {"1.5 client", u"KmdfLibrary", 1, 5, 396, STATUS_SUCCESS},
        {"major 2", u"KmdfLibrary", 2, 0, 396, STATUS_OBJECT_TYPE_MISMATCH},
        {"newer minor", u"KmdfLibrary", 1, 11, 396, STATUS_OBJECT_TYPE_MISMATCH},
        {"short table", u"KmdfLibrary", 1, 9, 395, STATUS_INVALID_PARAMETER},
        {"long table", u"KmdfLibrary", 1, 9, 432, STATUS_INVALID_PARAMETER},
        {"other component", u"OtherLibrary", 1, 9, 396, STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DRIVER_OBJECT driverObject{};
        DECLARE_CONST_UNICODE_STRING(
            path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\bind");
        std::array<WDFFUNC, 432> table{};
        WDF_BIND_INFO info{sizeof(WDF_BIND_INFO), c.component,  {c.major, c.minor, 7600},
                           c.funcCount,           table.data(), nullptr};
        PWDF_COMPONENT_GLOBALS globals = nullptr;
        EXPECT_EQ(
            WdfVersionBind(&driverObject, const_cast<PUNICODE_STRING>(&path), &info, &globals),
            c.expected);
        if (c.expected != STATUS_SUCCESS) {
            EXPECT_EQ(globals, nullptr);
            EXPECT_EQ(table[0], nullptr);
            continue;
        }
        ASSERT_NE(globals, nullptr);
        auto* driverGlobals = reinterpret_cast<PWDF_DRIVER_GLOBALS>(globals);
        EXPECT_STREQ(driverGlobals->DriverName, "bind");
        EXPECT_EQ(driverGlobals->Driver, nullptr);
        for (ULONG i = 0; i < 396; ++i) {
            ASSERT_NE(table[i], nullptr) << "entry " << i;
        }
        EXPECT_EQ(table[396], nullptr);
        EXPECT_EQ(WdfVersionUnbind(const_cast<PUNICODE_STRING>(&path), &info, globals),
                  STATUS_SUCCESS);
    }
}

TEST_F(PlatformTest, NoClassLibraryIsRegistered) {
    DECLARE_CONST_UNICODE_STRING(path,
                                 u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\x");
    WDF_BIND_INFO info{sizeof(WDF_BIND_INFO), u"KmdfLibrary", {1, 9, 7600}, 396, nullptr, nullptr};
    EXPECT_EQ(WdfVersionBindClass(const_cast<PUNICODE_STRING>(&path), &info, nullptr),
              STATUS_NOT_FOUND);
}

}  // namespace
}  // namespace vel::test
