// The shared driver helpers, driven through the registry: trace settings, registry values of a
// device's keys, instance numbering (including its failures and concurrent device adds) and the
// power-state names.
#include "driver_helpers_fixture.h"

#include <optional>
#include <utility>

namespace {

using vel::kernel::RegValue;
using vel::test::DriverHelpersTest;
using vel::test::kService;
using vel::test::kStandardRightsAll;
using vel::test::Stored;

struct InstanceCase {
    const char* label;
    Stored nextInstance;    // the driver's "NextInstanceNumber" before the add
    Stored deviceInstance;  // the device's "InstanceNumber" before the add
    ULONG expectedNumber;
    std::optional<uint32_t> expectedNext;  // nullopt: the counter is not written
};

TEST_F(DriverHelpersTest, InstanceNumberTakenOnceAndKept) {
    const InstanceCase cases[] = {
        {"first device of the driver", Stored::none(), Stored::none(), 0, 1},
        {"counter continues", Stored::number(7), Stored::none(), 7, 8},
        {"counter wraps", Stored::number(0xFFFFFFFF), Stored::none(), 0xFFFFFFFF, 0},
        {"mistyped counter restarts at 0", Stored::text(), Stored::none(), 0, 1},
        {"device keeps its number", Stored::number(3), Stored::number(9), 9, std::nullopt},
        {"device keeps number 0", Stored::number(3), Stored::number(0), 0, std::nullopt},
        {"mistyped device number is replaced", Stored::number(4), Stored::text(), 4, 5},
    };
    int device = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string name = "dev" + std::to_string(device++);
        store(parametersKey(), "NextInstanceNumber", c.nextInstance);
        store(hardwareKey(name), "InstanceNumber", c.deviceInstance);
        const auto counterBefore = registry().value(parametersKey(), "NextInstanceNumber");

        ULONG number = 0xDEAD;
        EXPECT_EQ(instanceNumber(name, &number), STATUS_SUCCESS);
        EXPECT_EQ(number, c.expectedNumber);
        // The device's key now holds its number as a DWORD.
        EXPECT_EQ(registry().value(hardwareKey(name), "InstanceNumber"),
                  RegValue::dword(c.expectedNumber));
        if (c.expectedNext) {
            EXPECT_EQ(registry().dword(parametersKey(), "NextInstanceNumber"), c.expectedNext);
        } else {
            EXPECT_EQ(registry().value(parametersKey(), "NextInstanceNumber"), counterBefore);
        }

        // A second add of the same device (restart, re-plug) finds its number again.
        ULONG again = 0xDEAD;
        const auto counterAfter = registry().value(parametersKey(), "NextInstanceNumber");
        EXPECT_EQ(instanceNumber(name, &again), STATUS_SUCCESS);
        EXPECT_EQ(again, c.expectedNumber);
        EXPECT_EQ(registry().value(parametersKey(), "NextInstanceNumber"), counterAfter);
    }
}

TEST_F(DriverHelpersTest, InstanceNumberFailures) {
    auto& faults = runtime_.faults();

    // The Parameters key cannot be opened: the status comes back and the output is untouched.
    registry().setDword(parametersKey(), "NextInstanceNumber", 5);
    faults.failFrom(vel::rt::fault::kRegistryOpen, 1);
    ULONG number = 0xDEAD;
    EXPECT_EQ(GetThenUpdateNextInstanceNumber(driver_, &number), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(number, 0xDEADu);
    faults.clearAll();

    // The counter cannot be written: the number read is in the output, the status is the
    // write failure and the counter stays.
    faults.failNth(vel::rt::fault::kRegistryWrite, 1);
    number = 0xDEAD;
    EXPECT_EQ(GetThenUpdateNextInstanceNumber(driver_, &number), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(number, 5u);
    EXPECT_EQ(registry().dword(parametersKey(), "NextInstanceNumber"), 5u);
    faults.clearAll();

    // The device's number cannot be stored after the counter advanced: the add fails with
    // STATUS_UNSUCCESSFUL, the number is lost and the next device gets the following one.
    faults.failNth(vel::rt::fault::kRegistryWrite, 2);
    EXPECT_EQ(instanceNumber("lost", &number), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(registry().value(hardwareKey("lost"), "InstanceNumber").has_value());
    EXPECT_EQ(registry().dword(parametersKey(), "NextInstanceNumber"), 6u);
    faults.clearAll();
    EXPECT_EQ(instanceNumber("next", &number), STATUS_SUCCESS);
    EXPECT_EQ(number, 6u);

    // The counter passes on a failure to open the Parameters key (the second key opened).
    faults.failNth(vel::rt::fault::kRegistryOpen, 2);
    EXPECT_EQ(instanceNumber("unopened", &number), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(registry().dword(parametersKey(), "NextInstanceNumber"), 7u);
}

struct ValueCase {
    const char* label;
    Stored stored;
    BOOLEAN expectedFound;
    ULONG expectedValue;
};

const ValueCase kValueCases[] = {
    {"DWORD present", Stored::number(0x1234), TRUE, 0x1234},
    {"DWORD zero", Stored::number(0), TRUE, 0},
    {"missing", Stored::none(), FALSE, 0},
    {"another type", Stored::text(), FALSE, 0},
};

TEST_F(DriverHelpersTest, HardwareKeyValues) {
    auto init = framework_.createDeviceInit(kService, instance("hw"));
    for (const auto& c : kValueCases) {
        SCOPED_TRACE(c.label);
        store(hardwareKey("hw"), "Probe", c.stored);
        ULONG value = 0xDEAD;
        EXPECT_EQ(GetFdoRegistryKeyValue(init.get(), u"Probe", &value), c.expectedFound);
        EXPECT_EQ(value, c.expectedValue);
    }
    EXPECT_TRUE(PutFdoRegistryKeyValue(init.get(), u"Written", 42));
    EXPECT_EQ(registry().value(hardwareKey("hw"), "Written"), RegValue::dword(42));

    // A key that cannot be opened: FALSE, and the output is 0.
    runtime_.faults().failFrom(vel::rt::fault::kRegistryOpen, 1);
    ULONG value = 0xDEAD;
    EXPECT_FALSE(GetFdoRegistryKeyValue(init.get(), u"Written", &value));
    EXPECT_EQ(value, 0u);
    EXPECT_FALSE(PutFdoRegistryKeyValue(init.get(), u"Written", 43));
    runtime_.faults().clearAll();
    EXPECT_EQ(registry().dword(hardwareKey("hw"), "Written"), 42u);
}

TEST_F(DriverHelpersTest, SoftwareKeyValues) {
    // A device as EvtDriverDeviceAdd creates it from the init the PnP manager hands over.
    vel::wdf::DeviceInitPtr init = framework_.createDeviceInit(kService, instance("sw"));
    PWDFDEVICE_INIT raw = init.get();
    WDFDEVICE device = nullptr;
    ASSERT_EQ(WdfDeviceCreate(&raw, WDF_NO_OBJECT_ATTRIBUTES, &device), STATUS_SUCCESS);
    const std::string key = instance("sw").softwareKeyPath;
    for (const auto& c : kValueCases) {
        SCOPED_TRACE(c.label);
        store(key, "DisableIf_02", c.stored);
        ULONG value = 0xDEAD;
        EXPECT_EQ(GetRegistrySoftwareKeyValue(device, u"DisableIf_02", &value), c.expectedFound);
        EXPECT_EQ(value, c.expectedValue);
    }
}

TEST_F(DriverHelpersTest, KeysAreOpenedWithStandardRightsAll) {
    ULONG number = 0;
    ASSERT_EQ(instanceNumber("access", &number), STATUS_SUCCESS);
    ReadTraceSettings(driver_);
    const auto opens = registry().opens();
    ASSERT_FALSE(opens.empty());
    for (const auto& open : opens) {
        EXPECT_EQ(open.access, kStandardRightsAll) << open.path;
    }
}

struct TraceCase {
    const char* label;
    Stored level;
    Stored flag;
    ULONG expectedLevel;
    ULONG expectedFlag;
};

TEST_F(DriverHelpersTest, TraceSettingsReplaceDefaultsOnlyWhenPresent) {
    // This driver's defaults are level 5 and flag 0.
    const TraceCase cases[] = {
        {"neither value", Stored::none(), Stored::none(), 5, 0},
        {"level only", Stored::number(2), Stored::none(), 2, 0},
        {"flag only", Stored::none(), Stored::number(0x21), 5, 0x21},
        {"both", Stored::number(3), Stored::number(0xFFFF), 3, 0xFFFF},
        {"mistyped values are ignored", Stored::text(), Stored::text(), 5, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        DebugLevel = VEL_TRACE_DEFAULT_LEVEL;
        DebugFlag = VEL_TRACE_DEFAULT_FLAG;
        store(parametersKey(), "DebugLevel", c.level);
        store(parametersKey(), "DebugFlag", c.flag);
        ReadTraceSettings(driver_);
        EXPECT_EQ(DebugLevel, c.expectedLevel);
        EXPECT_EQ(DebugFlag, c.expectedFlag);
    }

    // Without a Parameters key the settings stay as they are.
    DebugLevel = 5;
    DebugFlag = 0;
    registry().setDword(parametersKey(), "DebugLevel", 1);
    runtime_.faults().failFrom(vel::rt::fault::kRegistryOpen, 1);
    ReadTraceSettings(driver_);
    runtime_.faults().clearAll();
    EXPECT_EQ(DebugLevel, 5u);
}

TEST(DevicePowerStateNames, EveryStateAndBeyond) {
    const std::pair<int, const char*> cases[] = {
        {0, "WdfPowerDeviceInvalid"},
        {1, "WdfPowerDeviceD0"},
        {2, "WdfPowerDeviceD1"},
        {3, "WdfPowerDeviceD2"},
        {4, "WdfPowerDeviceD3"},
        {5, "WdfPowerDeviceD3Final"},
        {6, "WdfPowerDevicePrepareForHibernation"},
        {7, "PowerDeviceMaximum"},
        {8, "UnKnown Device Power State"},
        {-1, "UnKnown Device Power State"},
        {1000, "UnKnown Device Power State"},
    };
    for (const auto& [state, name] : cases) {
        EXPECT_STREQ(GetDevicePowerStateName(static_cast<WDF_POWER_DEVICE_STATE>(state)), name)
            << state;
    }
}

}  // namespace
