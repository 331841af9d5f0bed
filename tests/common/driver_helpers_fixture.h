// A driver built from the shared helpers alone, linked into the test program, loaded on a fresh
// platform; helpers to store registry values of each kind and to run GetInstanceNumber for a
// named device.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "driver_helpers.h"
#include "vel/kernel/kernel.h"
#include "vel/runtime/faults.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel/wdf/framework.h"

extern "C" NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace vel::test {

using vel::kernel::RegValue;
namespace regpath = vel::kernel::regpath;

inline const std::string kService = "helpers";
inline constexpr uint32_t kStandardRightsAll = 0x1F0000;

// An unset value, a DWORD, or a value of another type (which the helpers treat as missing).
struct Stored {
    enum Kind { None, Dword, Text } kind = None;
    uint32_t dword = 0;
    static Stored none() { return {}; }
    static Stored number(uint32_t v) { return {Dword, v}; }
    static Stored text() { return {Text, 0}; }
};

class DriverHelpersTest : public ::testing::Test {
  protected:
    explicit DriverHelpersTest(uint64_t seed = 1)
        : runtime_(rt::Runtime::Options{rt::Mode::Simulated, seed}) {}

    void SetUp() override {
        ASSERT_EQ(framework_.loadDriver(kService, &FxDriverEntry), STATUS_SUCCESS);
        driver_ = framework_.driver(kService);
        ASSERT_NE(driver_, nullptr);
        registry().clearOpens();
    }

    void TearDown() override {
        EXPECT_TRUE(framework_.unloadDriver(kService));
        for (const auto& v : runtime_.verifier().take()) {
            ADD_FAILURE() << "verifier: " << v.toString();
        }
    }

    vel::kernel::Registry& registry() { return kernel_.registry(); }
    std::string parametersKey() const { return regpath::parameters(kService); }

    vel::wdf::DeviceInstance instance(const std::string& name) const {
        return {"USB\\VID_1234&PID_5678\\" + name,
                regpath::softwareKey("{4d36e978-e325-11ce-bfc1-08002be10318}", 0)};
    }
    std::string hardwareKey(const std::string& name) const {
        return regpath::hardwareKey(instance(name).instancePath);
    }

    void store(const std::string& key, const std::string& name, const Stored& value) {
        switch (value.kind) {
            case Stored::None:
                registry().deleteValue(key, name);
                break;
            case Stored::Dword:
                registry().setDword(key, name, value.dword);
                break;
            case Stored::Text:
                registry().setValue(key, name, RegValue::string(u"5"));
                break;
        }
    }

    NTSTATUS instanceNumber(const std::string& device, ULONG* number) {
        auto init = framework_.createDeviceInit(kService, instance(device));
        return GetInstanceNumber(init.get(), driver_, number);
    }

    vel::rt::Runtime runtime_;
    vel::kernel::Kernel kernel_;
    vel::wdf::Framework framework_;
    WDFDRIVER driver_ = nullptr;
};

}  // namespace vel::test
