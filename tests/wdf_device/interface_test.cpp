// What a device offers to others: interfaces through IRP_MN_QUERY_INTERFACE, and WMI data
// blocks a WMI client queries.
#include "device_fixture.h"
#include "vel/wdf/wmi.h"

namespace vel::test {
namespace {

constexpr GUID kTestInterface = {
    0x1f0e3c77, 0x5a2b, 0x4c8d, {0x8e, 0x01, 0x33, 0x7a, 0x90, 0x12, 0xbc, 0x4e}};
constexpr GUID kOtherInterface = {
    0x1f0e3c77, 0x5a2b, 0x4c8d, {0x8e, 0x01, 0x33, 0x7a, 0x90, 0x12, 0xbc, 0x4f}};
constexpr GUID kDataBlock = {
    0x7d21a0b4, 0x0c3e, 0x4f55, {0xa1, 0x6b, 0x50, 0x28, 0x9e, 0x31, 0x44, 0x02}};

struct TestInterface {
    INTERFACE header;
    ULONG (*answer)(PVOID context);
    ULONG tag;  // written by the driver's callback
};

int references = 0;
VOID Reference(PVOID) {
    ++references;
}
VOID Dereference(PVOID) {
    --references;
}
ULONG Answer(PVOID) {
    return 42;
}

NTSTATUS callbackStatus = STATUS_SUCCESS;
NTSTATUS OnQueryInterface(WDFDEVICE, GUID*, PINTERFACE exposed, PVOID specific) {
    reinterpret_cast<TestInterface*>(exposed)->tag =
        specific != nullptr ? *static_cast<ULONG*>(specific) : 0;
    return callbackStatus;
}

class DeviceInterfaceTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        references = 0;
        callbackStatus = STATUS_SUCCESS;
        afterCreate = [](WDFDEVICE device) {
            TestInterface offered{};
            offered.header.Size = sizeof offered;
            offered.header.Version = 2;
            offered.header.Context = device;
            offered.header.InterfaceReference = Reference;
            offered.header.InterfaceDereference = Dereference;
            offered.answer = Answer;
            WDF_QUERY_INTERFACE_CONFIG config;
            WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &offered.header, &kTestInterface,
                                            OnQueryInterface);
            EXPECT_EQ(WdfDeviceAddQueryInterface(device, &config), STATUS_SUCCESS);
        };
        pdo_ = plug();
    }
    DEVICE_OBJECT* pdo_ = nullptr;
};

struct QueryCase {
    const char* label;
    const GUID* type;
    USHORT size;
    USHORT version;
    NTSTATUS expected;
};

TEST_F(DeviceInterfaceTest, QueryAnswersOnlyCallersAskingForAtLeastTheRegisteredInterface) {
    const QueryCase cases[] = {
        {"same size and version", &kTestInterface, sizeof(TestInterface), 2, STATUS_SUCCESS},
        {"larger and newer request", &kTestInterface, sizeof(TestInterface) + 8, 3, STATUS_SUCCESS},
        {"smaller request", &kTestInterface, sizeof(INTERFACE), 2, STATUS_INVALID_BUFFER_SIZE},
        {"older request", &kTestInterface, sizeof(TestInterface), 1, STATUS_INVALID_BUFFER_SIZE},
        {"unknown interface", &kOtherInterface, sizeof(TestInterface), 2, STATUS_NOT_SUPPORTED},
    };
    for (const QueryCase& c : cases) {
        SCOPED_TRACE(c.label);
        references = 0;
        struct {
            TestInterface iface;
            UCHAR spare[8];
        } buffer{};
        ULONG specific = 5;
        EXPECT_EQ(
            pnp().queryInterface(pdo_, *c.type, c.size, c.version, &buffer.iface.header, &specific),
            c.expected);
        if (c.expected == STATUS_SUCCESS) {
            // The registered copy, adjusted by the callback, referenced once for the caller.
            EXPECT_EQ(buffer.iface.header.Size, sizeof(TestInterface));
            EXPECT_EQ(buffer.iface.header.Version, 2);
            EXPECT_EQ(buffer.iface.header.Context, device());
            ASSERT_NE(buffer.iface.answer, nullptr);
            EXPECT_EQ(buffer.iface.answer(buffer.iface.header.Context), 42u);
            EXPECT_EQ(buffer.iface.tag, 5u);
            EXPECT_EQ(references, 1);
        } else {
            EXPECT_EQ(references, 0);
        }
    }
}

TEST_F(DeviceInterfaceTest, CallbackCanDeclineOrFailTheQuery) {
    const std::pair<NTSTATUS, NTSTATUS> cases[] = {
        // STATUS_NOT_SUPPORTED from the callback: as if the device had no such interface.
        {STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
        {STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const auto& [fromCallback, expected] : cases) {
        callbackStatus = fromCallback;
        references = 0;
        TestInterface iface{};
        EXPECT_EQ(
            pnp().queryInterface(pdo_, kTestInterface, sizeof iface, 2, &iface.header, nullptr),
            expected);
        EXPECT_EQ(references, 0);
    }
}

TEST_F(DeviceInterfaceTest, FdoQueryForInterfaceAsksTheTopOfItsOwnStack) {
    TestInterface iface{};
    EXPECT_EQ(
        WdfFdoQueryForInterface(device(), &kTestInterface, &iface.header, sizeof iface, 2, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(references, 1);
    EXPECT_EQ(WdfFdoQueryForInterface(device(), &kOtherInterface, &iface.header, sizeof iface, 2,
                                      nullptr),
              STATUS_NOT_SUPPORTED);
}

TEST_F(DeviceInterfaceTest, AddQueryInterfaceChecksItsConfiguration) {
    TestInterface offered{};
    offered.header.Size = sizeof(INTERFACE) - 1;
    WDF_QUERY_INTERFACE_CONFIG config;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &offered.header, &kOtherInterface, nullptr);
    EXPECT_EQ(WdfDeviceAddQueryInterface(device(), &config), STATUS_INVALID_PARAMETER);
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, nullptr, &kOtherInterface, nullptr);
    EXPECT_EQ(WdfDeviceAddQueryInterface(device(), &config), STATUS_INVALID_PARAMETER);
    config.ImportInterface = TRUE;  // an import needs its callback
    EXPECT_EQ(WdfDeviceAddQueryInterface(device(), &config), STATUS_INVALID_PARAMETER);
    config.Size = sizeof config - 1;
    EXPECT_EQ(WdfDeviceAddQueryInterface(device(), &config), STATUS_INFO_LENGTH_MISMATCH);
}

// ----- WMI ---------------------------------------------------------------------------------------

struct BlockData {
    ULONG counters[4];
};

ULONG queryCalls = 0;
NTSTATUS OnQueryInstance(WDFWMIINSTANCE, ULONG outBufferSize, PVOID outBuffer, PULONG used) {
    ++queryCalls;
    if (outBufferSize < sizeof(BlockData)) {
        *used = sizeof(BlockData);
        return STATUS_BUFFER_TOO_SMALL;
    }
    BlockData data = {{1, 2, 3, 4}};
    memcpy(outBuffer, &data, sizeof data);
    *used = sizeof data;
    return STATUS_SUCCESS;
}

class DeviceWmiTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        queryCalls = 0;
        afterCreate = [](WDFDEVICE device) {
            WDF_WMI_PROVIDER_CONFIG provider;
            WDF_WMI_PROVIDER_CONFIG_INIT(&provider, &kDataBlock);
            provider.MinInstanceBufferSize = sizeof(ULONG);
            WDF_WMI_INSTANCE_CONFIG config;
            WDF_WMI_INSTANCE_CONFIG_INIT_PROVIDER_CONFIG(&config, &provider);
            config.Register = TRUE;
            config.EvtWmiInstanceQueryInstance = OnQueryInstance;
            WDFWMIINSTANCE instance = nullptr;
            EXPECT_EQ(WdfWmiInstanceCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &instance),
                      STATUS_SUCCESS);
            EXPECT_EQ(WdfWmiInstanceGetDevice(instance), device);
        };
    }
};

struct WmiCase {
    const char* label;
    const GUID* guid;
    ULONG index;
    ULONG bufferSize;
    NTSTATUS expected;
    ULONG size;
    ULONG calls;  // of the driver's query callback
};

TEST_F(DeviceWmiTest, QueriesAnswerWithDataOrTheSizeNeeded) {
    DEVICE_OBJECT* pdo = plug();
    DEVICE_OBJECT* fdo = WdfDeviceWdmGetDeviceObject(device());
    const WmiCase cases[] = {
        {"whole block", &kDataBlock, 0, sizeof(BlockData), STATUS_SUCCESS, sizeof(BlockData), 1},
        {"driver says too small", &kDataBlock, 0, 8, STATUS_BUFFER_TOO_SMALL, sizeof(BlockData), 1},
        {"below the provider's minimum", &kDataBlock, 0, 2, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG),
         0},
        {"no such instance", &kDataBlock, 1, sizeof(BlockData), STATUS_WMI_INSTANCE_NOT_FOUND, 0,
         0},
        {"no such block", &kOtherInterface, 0, sizeof(BlockData), STATUS_WMI_GUID_NOT_FOUND, 0, 0},
    };
    for (const WmiCase& c : cases) {
        SCOPED_TRACE(c.label);
        queryCalls = 0;
        BlockData data{};
        ULONG size = 0xDEAD;
        EXPECT_EQ(wdf::queryWmiInstance(fdo, *c.guid, c.index, &data, c.bufferSize, &size),
                  c.expected);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(queryCalls, c.calls);
        if (c.expected == STATUS_SUCCESS) {
            EXPECT_EQ(data.counters[3], 4u);
        }
    }
    // Registration ends with the device's removal.
    ASSERT_EQ(pnp().stop(pdo), STATUS_SUCCESS);
    ASSERT_EQ(pnp().remove(pdo), STATUS_SUCCESS);
}

TEST_F(DeviceWmiTest, BlocksAreVisibleFromStartUntilRemoval) {
    bool visible = true;
    inCallback = [&](const std::string& entry, WDFDEVICE device) {
        if (entry == "prepare" || entry == "smio flush") {
            ULONG size = 0;
            BlockData data{};
            visible = visible &&
                      wdf::queryWmiInstance(WdfDeviceWdmGetDeviceObject(device), kDataBlock, 0,
                                            &data, sizeof data, &size) != STATUS_WMI_GUID_NOT_FOUND;
        }
    };
    DEVICE_OBJECT* pdo = plug();
    EXPECT_FALSE(visible);
    visible = true;
    ASSERT_EQ(pnp().remove(pdo), STATUS_SUCCESS);
    EXPECT_FALSE(visible);
}

struct ContextBlock {
    ULONG first;
    ULONG second;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(ContextBlock, GetContextBlock)

// An instance made with UseContextForQuery answers with its context's bytes; no callback runs.
TEST_F(DeviceTest, WmiInstanceCanAnswerQueriesWithItsContext) {
    struct Case {
        const char* label;
        ULONG minimum;
        bool withContext;
        bool withSetCallback;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"context answers", sizeof(ULONG), true, false, STATUS_SUCCESS},
        {"no context", 0, false, false, STATUS_INVALID_PARAMETER},
        {"set callback", 0, true, true, STATUS_INVALID_PARAMETER},
        {"context below the minimum", sizeof(ContextBlock) + 1, true, false,
         STATUS_BUFFER_TOO_SMALL},
    };
    static const Case* current = nullptr;
    static NTSTATUS created = STATUS_UNSUCCESSFUL;
    afterCreate = [](WDFDEVICE device) {
        WDF_WMI_PROVIDER_CONFIG provider;
        WDF_WMI_PROVIDER_CONFIG_INIT(&provider, &kDataBlock);
        provider.MinInstanceBufferSize = current->minimum;
        WDF_WMI_INSTANCE_CONFIG config;
        WDF_WMI_INSTANCE_CONFIG_INIT_PROVIDER_CONFIG(&config, &provider);
        config.Register = TRUE;
        config.UseContextForQuery = TRUE;
        if (current->withSetCallback) {
            config.EvtWmiInstanceSetInstance = [](WDFWMIINSTANCE, ULONG, PVOID) -> NTSTATUS {
                return STATUS_SUCCESS;
            };
        }
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, ContextBlock);
        WDFWMIINSTANCE instance = nullptr;
        created = WdfWmiInstanceCreate(device, &config,
                                       current->withContext ? &attributes : nullptr, &instance);
        if (NT_SUCCESS(created)) {
            *GetContextBlock(instance) = {7, 9};
        }
    };
    int instance = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        current = &c;
        DEVICE_OBJECT* pdo = plug(std::to_string(instance++));
        EXPECT_EQ(created, c.expected);
        DEVICE_OBJECT* fdo = WdfDeviceWdmGetDeviceObject(device());
        if (NT_SUCCESS(c.expected)) {
            ContextBlock data{};
            ULONG size = 0;
            EXPECT_EQ(wdf::queryWmiInstance(fdo, kDataBlock, 0, &data, sizeof(ULONG), &size),
                      STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(size, sizeof(ContextBlock));
            ASSERT_EQ(wdf::queryWmiInstance(fdo, kDataBlock, 0, &data, sizeof data, &size),
                      STATUS_SUCCESS);
            EXPECT_EQ(size, sizeof(ContextBlock));
            EXPECT_EQ(data.first, 7u);
            EXPECT_EQ(data.second, 9u);
        }
        ASSERT_EQ(pnp().remove(pdo), STATUS_SUCCESS);
    }
    takeLog();
}

}  // namespace
}  // namespace vel::test
