// A child PDO forwards its requests to a queue of its parent FDO (the bus), as a bus driver's
// children do with the requests their function drivers send down. The child's request ends at
// the forward; the parent gets the same IRP as a request of its own.
#include "io_fixture.h"
#include "vel/kernel/io.h"

namespace vel::wdfio::test {
namespace {

constexpr ULONG kInternal = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_NEITHER, FILE_ANY_ACCESS);

struct ChildId {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header;
    ULONG serial;  // 1 may forward to its parent, 2 may not
};

struct Seen {
    WDFDEVICE parent = nullptr;
    WDFQUEUE parentQueue = nullptr;
    std::vector<WDFDEVICE> children;
    std::vector<WDFREQUEST> atParent;
    std::vector<NTSTATUS> forwardResults;
    std::vector<bool> childCleanups;
};
Seen seen;

VOID ChildInternalIoctl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
    WDF_REQUEST_FORWARD_OPTIONS options;
    WDF_REQUEST_FORWARD_OPTIONS_INIT(&options);
    const NTSTATUS status =
        WdfRequestForwardToParentDeviceIoQueue(request, seen.parentQueue, &options);
    seen.forwardResults.push_back(status);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(request, status);
    }
}

VOID ParentInternalIoctl(WDFQUEUE queue, WDFREQUEST request, size_t, size_t, ULONG code) {
    EXPECT_EQ(code, kInternal);
    EXPECT_EQ(WdfRequestGetIoQueue(request), queue);
    EXPECT_EQ(WdfIoQueueGetDevice(queue), seen.parent);
    seen.atParent.push_back(request);
}

NTSTATUS CreateChild(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header,
                     PWDFDEVICE_INIT init) {
    const ULONG serial = reinterpret_cast<ChildId*>(header)->serial;
    std::u16string id = u"WDFIO\\CHILD" + std::u16string(1, static_cast<char16_t>(u'0' + serial));
    UNICODE_STRING deviceId{static_cast<USHORT>(id.size() * 2), static_cast<USHORT>(id.size() * 2),
                            reinterpret_cast<PWCH>(id.data())};
    std::u16string instance(1, static_cast<char16_t>(u'0' + serial));
    UNICODE_STRING instanceId{2, 2, reinterpret_cast<PWCH>(instance.data())};
    EXPECT_EQ(WdfPdoInitAssignDeviceID(init, &deviceId), STATUS_SUCCESS);
    EXPECT_EQ(WdfPdoInitAssignInstanceID(init, &instanceId), STATUS_SUCCESS);
    EXPECT_EQ(WdfPdoInitAddHardwareID(init, &deviceId), STATUS_SUCCESS);
    if (serial == 1) {
        WdfPdoInitAllowForwardingRequestToParent(init);
    }
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&requestAttributes);
    requestAttributes.EvtCleanupCallback = [](WDFOBJECT) { seen.childCleanups.push_back(true); };
    WdfDeviceInitSetRequestAttributes(init, &requestAttributes);
    WDFDEVICE pdo = nullptr;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    seen.children.push_back(pdo);
    EXPECT_EQ(WdfDeviceGetIoTarget(pdo), nullptr);  // a PDO has no default target
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.PowerManaged = WdfFalse;  // no function driver starts these children
    config.EvtIoInternalDeviceControl = ChildInternalIoctl;
    EXPECT_EQ(WdfIoQueueCreate(pdo, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE),
              STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

class ForwardTest : public IoTest {
  protected:
    void SetUp() override {
        IoTest::SetUp();
        seen = Seen{};
        hooks().init = [](PWDFDEVICE_INIT init) {
            WDF_CHILD_LIST_CONFIG config;
            WDF_CHILD_LIST_CONFIG_INIT(&config, sizeof(ChildId), CreateChild);
            WdfFdoInitSetDefaultChildListConfig(init, &config, WDF_NO_OBJECT_ATTRIBUTES);
        };
        hooks().configure = [](WDFDEVICE device) {
            seen.parent = device;
            WDF_IO_QUEUE_CONFIG config;
            WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchParallel);
            config.EvtIoInternalDeviceControl = ParentInternalIoctl;
            ASSERT_EQ(
                WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &seen.parentQueue),
                STATUS_SUCCESS);
            EXPECT_NE(WdfDeviceGetIoTarget(device), nullptr);  // the root PDO below
        };
        plug();
        WDFCHILDLIST list = WdfFdoGetDefaultChildList(seen.parent);
        for (ULONG serial : {1u, 2u}) {
            ChildId id;
            WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&id.header, sizeof id);
            id.serial = serial;
            ASSERT_EQ(WdfChildListAddOrUpdateChildDescriptionAsPresent(list, &id.header, nullptr),
                      STATUS_SUCCESS);
        }
        pnp().settle();
        ASSERT_EQ(seen.children.size(), 2u);
    }

    // Sends an internal ioctl to a child PDO as a driver above it would; the result lands in
    // `status` when the IRP completes.
    kernel::IrpPtr send(WDFDEVICE child, NTSTATUS* status) {
        DEVICE_OBJECT* pdo = WdfDeviceWdmGetDeviceObject(child);
        kernel::IrpPtr irp = kernel::IoManager::allocateIrp(pdo->StackSize);
        IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp.get());
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = kInternal;
        *status = STATUS_PENDING;
        kernel::IoManager::setCompletionNotify(
            irp.get(), [status](IRP* done) { *status = done->IoStatus.Status; });
        IofCallDriver(pdo, irp.get());
        return irp;
    }
};

TEST_F(ForwardTest, ChildRequestArrivesAtTheParentQueueOnlyWhenTheChildMayForward) {
    NTSTATUS allowed = 0;
    NTSTATUS refused = 0;
    kernel::IrpPtr first = send(seen.children[0], &allowed);
    kernel::IrpPtr second = send(seen.children[1], &refused);
    settle();
    EXPECT_EQ(seen.forwardResults,
              (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST}));
    EXPECT_EQ(refused, STATUS_INVALID_DEVICE_REQUEST);
    // The child's request ended at the forward (its cleanup ran); the parent owns the IRP now.
    EXPECT_EQ(seen.childCleanups.size(), 2u);
    ASSERT_EQ(seen.atParent.size(), 1u);
    EXPECT_EQ(allowed, STATUS_PENDING);
    WdfRequestComplete(seen.atParent[0], STATUS_WDF_PAUSED);
    settle();
    EXPECT_EQ(allowed, STATUS_DEVICE_BUSY);
}

TEST_F(ForwardTest, ForwardOptionsAreChecked) {
    struct Case {
        ULONG size;
        ULONG flags;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {sizeof(WDF_REQUEST_FORWARD_OPTIONS) - 1, WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET,
         STATUS_INFO_LENGTH_MISMATCH},
        {sizeof(WDF_REQUEST_FORWARD_OPTIONS), 0x2, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        WDFREQUEST request = nullptr;
        ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, nullptr, &request), STATUS_SUCCESS);
        WDF_REQUEST_FORWARD_OPTIONS options{c.size, c.flags};
        EXPECT_EQ(WdfRequestForwardToParentDeviceIoQueue(request, seen.parentQueue, &options),
                  c.expected);
        WdfObjectDelete(request);
    }
}

}  // namespace
}  // namespace vel::wdfio::test
