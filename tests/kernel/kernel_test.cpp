// The kernel root and the kernel calls that reach its state: configuration information, debug
// output, pool, registry writes relative to a root, delays and clocks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kernel_fixture.h"
#include "vel/runtime/faults.h"
#include "vel/runtime/trace.h"
#include "vel_kernel.h"

#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"

namespace vel::kernel::test {
namespace {

using KernelCalls = KernelTest;

constexpr ULONG kTagA = VEL_POOL_TAG('A', 'C', 'M', ' ');
constexpr ULONG kTagB = VEL_POOL_TAG('B', 'U', 'S', ' ');

TEST_F(KernelCalls, KernelsNestAndEachHasItsOwnState) {
    EXPECT_EQ(Kernel::current(), &kernel);
    kernel.setSerialCount(4);
    {
        Kernel inner;
        EXPECT_EQ(Kernel::current(), &inner);
        EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 0u);
        EXPECT_TRUE(inner.registry().keyExists(regpath::kDeviceMap));
    }
    EXPECT_EQ(Kernel::current(), &kernel);
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 4u);
}

TEST_F(KernelCalls, ConfigurationInformationIsTheKernelsRecord) {
    kernel.setSerialCount(2);
    PCONFIGURATION_INFORMATION info = IoGetConfigurationInformation();
    EXPECT_EQ(info->SerialCount, 2u);
    ++info->SerialCount;  // a port driver counting its port
    EXPECT_EQ(kernel.serialCount(), 3u);
    EXPECT_EQ(IoGetConfigurationInformation(), info);
}

TEST_F(KernelCalls, DebugOutputIsCapturedInOrderAndTraced) {
    DECLARE_CONST_UNICODE_STRING(name, u"\\Device\\velacm0");
    DbgPrint("not traced %d\n", 1);
    runtime.trace().enable(static_cast<unsigned>(rt::TraceCategory::Debug));
    DbgPrint("%wZ -> %ws\n", &name, u"COM7");
    DbgPrint("status %08X", 0xC0000001u);

    EXPECT_EQ(kernel.debugOutput(),
              (std::vector<std::string>{"not traced 1\n", "\\Device\\velacm0 -> COM7\n",
                                        "status C0000001"}));
    const auto records = runtime.trace().take();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].category, rt::TraceCategory::Debug);
    EXPECT_EQ(records[0].text, "\\Device\\velacm0 -> COM7");
    EXPECT_EQ(records[1].text, "status C0000001");
    kernel.clearDebugOutput();
    EXPECT_TRUE(kernel.debugOutput().empty());
}

TEST_F(KernelCalls, PoolCountsOutstandingBlocksByTag) {
    void* a1 = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
    void* a2 = ExAllocatePoolWithTag(PagedPool, 0, kTagA);
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTagB);
    ASSERT_TRUE(a1 && a2 && b);
    EXPECT_NE(a1, a2);
    std::memset(b, 0, 100);

    PoolStats stats = kernel.poolStats();
    EXPECT_EQ(stats.allocations, 3u);
    EXPECT_EQ(stats.outstanding, 3u);
    EXPECT_EQ(stats.outstandingByTag, (std::map<uint32_t, uint64_t>{{kTagA, 2}, {kTagB, 1}}));

    ExFreePoolWithTag(a1, kTagA);
    ExFreePool(b);
    stats = kernel.poolStats();
    EXPECT_EQ(stats.frees, 2u);
    EXPECT_EQ(stats.outstandingByTag, (std::map<uint32_t, uint64_t>{{kTagA, 1}}));
    ExFreePoolWithTag(a2, kTagA);
    EXPECT_EQ(kernel.poolStats().outstanding, 0u);
    EXPECT_TRUE(kernel.poolStats().outstandingByTag.empty());
}

TEST_F(KernelCalls, PoolAllocationFaultReturnsNull) {
    runtime.faults().failNth(rt::fault::kPoolAllocate, 2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(kernel.poolStats().allocations, 2u);
    EXPECT_EQ(runtime.faults().injected(), std::vector<std::string>{"pool.allocate#2"});
    ExFreePoolWithTag(first, kTagA);
    ExFreePoolWithTag(third, kTagA);
}

TEST_F(KernelCalls, PoolMisuseIsAVerifierViolation) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    ExFreePoolWithTag(block, kTagB);
    ExFreePool(block);
    const auto violations = runtime.verifier().take();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_EQ(violations[0].rule, rt::Rule::ContractViolation);
    EXPECT_NE(violations[0].message.find("tag 'BUS '"), std::string::npos) << violations[0].message;
    EXPECT_NE(violations[1].message.find("not allocated"), std::string::npos)
        << violations[1].message;
    EXPECT_EQ(kernel.poolStats().outstanding, 0u);  // the mis-tagged free still released it
}

// ----- Registry writes relative to a root --------------------------------------------------

// REG_SZ data as a driver passes it: the text and its terminator.
NTSTATUS writeString(ULONG relativeTo, const WCHAR* path, const WCHAR* name, const WCHAR* text) {
    const ULONG bytes = static_cast<ULONG>((std::char_traits<char16_t>::length(text) + 1) * 2);
    return RtlWriteRegistryValue(relativeTo, path, name, REG_SZ, const_cast<WCHAR*>(text), bytes);
}

TEST_F(KernelCalls, DeviceMapEntryOfAPort) {
    ASSERT_EQ(writeString(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\velacm0", u"COM7"),
              STATUS_SUCCESS);
    const std::string key = regpath::kDeviceMap + "\\SERIALCOMM";
    const auto value = kernel.registry().value(key, "\\Device\\velacm0");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, uint32_t{REG_SZ});
    EXPECT_EQ(value->data.size(), 10u);  // "COM7" and its terminator
    EXPECT_EQ(value->asString(), u"COM7");
    ASSERT_FALSE(kernel.registry().opens().empty());
    EXPECT_EQ(kernel.registry().opens().back().path, key);

    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"serialcomm", u"\\DEVICE\\VELACM0"),
              STATUS_SUCCESS);
    EXPECT_FALSE(kernel.registry().value(key, "\\Device\\velacm0"));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\velacm0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"NoSuchKey", u"x"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(KernelCalls, WritesResolveTheirRootAndCreateOnlyTheLastKey) {
    struct Case {
        const char* name;
        ULONG relativeTo;
        const WCHAR* path;
        NTSTATUS status;
        std::string key;  // where the value lands, when written
    };
    const Case cases[] = {
        {"device map", RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", STATUS_SUCCESS,
         regpath::kDeviceMap + "\\SERIALCOMM"},
        {"optional flag ignored", RTL_REGISTRY_DEVICEMAP | RTL_REGISTRY_OPTIONAL, u"X",
         STATUS_SUCCESS, regpath::kDeviceMap + "\\X"},
        {"services", RTL_REGISTRY_SERVICES, u"velbus", STATUS_SUCCESS,
         regpath::kServices + "\\velbus"},
        {"control", RTL_REGISTRY_CONTROL, u"Ports", STATUS_SUCCESS, regpath::kControl + "\\Ports"},
        {"absolute", RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Hardware\\DeviceMap\\Y",
         STATUS_SUCCESS, regpath::kDeviceMap + "\\Y"},
        {"the root itself", RTL_REGISTRY_DEVICEMAP, nullptr, STATUS_SUCCESS, regpath::kDeviceMap},
        {"missing parent", RTL_REGISTRY_DEVICEMAP, u"A\\B", STATUS_OBJECT_NAME_NOT_FOUND, ""},
        {"unsupported root", RTL_REGISTRY_USER, u"X", STATUS_INVALID_PARAMETER, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(writeString(c.relativeTo, c.path, u"Value", u"data"), c.status) << c.name;
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(kernel.registry().string(c.key, "value"), u"data") << c.name;
        }
    }
    EXPECT_FALSE(kernel.registry().keyExists(regpath::kDeviceMap + "\\A"));
}

TEST_F(KernelCalls, RegistryWriteFault) {
    runtime.faults().failNth(rt::fault::kRegistryWrite, 1);
    EXPECT_EQ(writeString(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\velacm0", u"COM7"),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(kernel.registry().keyExists(regpath::kDeviceMap + "\\SERIALCOMM"));
    EXPECT_EQ(writeString(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\velacm0", u"COM7"),
              STATUS_SUCCESS);
}

// ----- Delays, clocks, IRQL ----------------------------------------------------------------

TEST_F(KernelCalls, DelaysRunOnVirtualTime) {
    const ULONGLONG start = KeQueryInterruptTime();
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);

    LARGE_INTEGER interval;
    interval.QuadPart = -10 * rt::kTicksPerMs;  // relative
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), start + 10 * rt::kTicksPerMs);

    interval.QuadPart = system.QuadPart + 15 * rt::kTicksPerMs;  // absolute
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), start + 15 * rt::kTicksPerMs);
    LARGE_INTEGER later;
    KeQuerySystemTime(&later);
    EXPECT_EQ(later.QuadPart - system.QuadPart, 15 * rt::kTicksPerMs);

    interval.QuadPart = system.QuadPart;  // already past: no wait
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime(), start + 15 * rt::kTicksPerMs);
}

TEST_F(KernelCalls, IrqlAndDelayAtDispatchLevel) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL inDpc = 0xFF;
    runtime.queueDpc([&] {
        inDpc = KeGetCurrentIrql();
        LARGE_INTEGER interval;
        interval.QuadPart = -1;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    });
    runtime.runUntilIdle();
    EXPECT_EQ(inDpc, DISPATCH_LEVEL);
    EXPECT_TRUE(runtime.verifier().contains(rt::Rule::BlockingAtDispatch));
    runtime.verifier().take();
}

}  // namespace
}  // namespace vel::kernel::test
