// A bus FDO's default child list: scans add, update and drop children; the PnP manager sees
// each child's PDO with the IDs and texts its EvtChildListCreateDevice gave it.
#include <optional>
#include <string>

#include "device_fixture.h"
#include "vel/wdf/device.h"

namespace vel::test {
namespace {

struct ChildId {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header;
    ULONG serial;
};

ChildId childId(ULONG serial) {
    ChildId id;
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&id.header, sizeof id);
    id.serial = serial;
    return id;
}

struct UnicodeText {
    explicit UnicodeText(std::u16string value) : text(std::move(value)) {
        string.Buffer = reinterpret_cast<PWCH>(text.data());
        string.Length = string.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    }
    std::u16string text;
    UNICODE_STRING string;
};

std::vector<WDFDEVICE> createdPdos;

NTSTATUS OnCreateChild(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header,
                       PWDFDEVICE_INIT init) {
    const ULONG serial = reinterpret_cast<ChildId*>(header)->serial;
    const std::u16string n = std::u16string(1, static_cast<char16_t>(u'0' + serial));
    UnicodeText deviceId(u"VEL\\CHILD_" + n);
    UnicodeText instanceId(n);
    UnicodeText hardwareId(u"VEL\\CHILD_" + n);
    UnicodeText genericId(u"VEL\\CHILD");
    UnicodeText compatibleId(u"VEL\\COMPAT");
    UnicodeText description(u"Child " + n);
    UnicodeText location(u"Slot " + n);
    UnicodeText german(u"Kind " + n);
    EXPECT_EQ(WdfPdoInitAssignDeviceID(init, &deviceId.string), STATUS_SUCCESS);
    EXPECT_EQ(WdfPdoInitAssignInstanceID(init, &instanceId.string), STATUS_SUCCESS);
    EXPECT_EQ(WdfPdoInitAddHardwareID(init, &hardwareId.string), STATUS_SUCCESS);
    EXPECT_EQ(WdfPdoInitAddHardwareID(init, &genericId.string), STATUS_SUCCESS);
    EXPECT_EQ(WdfPdoInitAddCompatibleID(init, &compatibleId.string), STATUS_SUCCESS);
    EXPECT_EQ(WdfPdoInitAddDeviceText(init, &german.string, &location.string, 0x407),
              STATUS_SUCCESS);
    EXPECT_EQ(WdfPdoInitAddDeviceText(init, &description.string, &location.string, 0x409),
              STATUS_SUCCESS);
    WdfPdoInitSetDefaultLocale(init, 0x409);
    WDFDEVICE pdo = nullptr;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &pdo);
    if (NT_SUCCESS(status)) {
        createdPdos.push_back(pdo);
    }
    return status;
}

class ChildListTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        createdPdos.clear();
        configureInit = [](PWDFDEVICE_INIT init) {
            WDF_CHILD_LIST_CONFIG config;
            WDF_CHILD_LIST_CONFIG_INIT(&config, sizeof(ChildId), OnCreateChild);
            WdfFdoInitSetDefaultChildListConfig(init, &config, WDF_NO_OBJECT_ATTRIBUTES);
        };
        busPdo_ = plug();
        list_ = WdfFdoGetDefaultChildList(device());
        ASSERT_NE(list_, nullptr);
    }

    NTSTATUS add(ULONG serial) {
        ChildId id = childId(serial);
        return WdfChildListAddOrUpdateChildDescriptionAsPresent(list_, &id.header, nullptr);
    }

    // The serials of the children the PnP manager has under the bus, from their instance IDs.
    std::vector<std::string> children() {
        pnp().settle();
        std::vector<std::string> instances;
        // Keep the snapshot alive: iterating a member of the returned temporary would dangle.
        const std::optional<pnp::DeviceInfo> bus = pnp().device(busPdo_);
        for (const pnp::DeviceInfo& child : bus->children) {
            instances.push_back(child.instanceId);
        }
        return instances;
    }

    DEVICE_OBJECT* busPdo_ = nullptr;
    WDFCHILDLIST list_ = nullptr;
};

TEST_F(ChildListTest, ChildrenAppearWithTheIdsAndTextsTheirInitGave) {
    EXPECT_EQ(WdfChildListGetDevice(list_), device());
    WdfChildListBeginScan(list_);
    EXPECT_EQ(add(1), STATUS_SUCCESS);
    EXPECT_EQ(add(2), STATUS_SUCCESS);
    EXPECT_EQ(add(1), STATUS_OBJECT_NAME_EXISTS);
    WdfChildListEndScan(list_);
    ASSERT_EQ(children(), (std::vector<std::string>{"1", "2"}));

    const pnp::DeviceInfo first = pnp().device(busPdo_)->children.front();
    EXPECT_EQ(first.deviceId, "VEL\\CHILD_1");
    EXPECT_EQ(first.instancePath, "VEL\\CHILD_1\\1");
    EXPECT_EQ(first.hardwareIds, (std::vector<std::string>{"VEL\\CHILD_1", "VEL\\CHILD"}));
    EXPECT_EQ(first.compatibleIds, std::vector<std::string>{"VEL\\COMPAT"});
    EXPECT_EQ(first.description, "Child 1");
    EXPECT_EQ(first.location, "Slot 1");
    EXPECT_EQ(first.state, pnp::DeviceState::NoDriver);

    // The PDO knows its parent and its identification.
    ASSERT_EQ(createdPdos.size(), 2u);
    WDFDEVICE pdo = WdfWdmDeviceGetWdfDeviceHandle(first.pdo);
    EXPECT_EQ(pdo, createdPdos.front());
    EXPECT_EQ(WdfPdoGetParent(pdo), device());
    EXPECT_TRUE(wdf::deviceStatus(first.pdo)->pdo);
    ChildId retrieved = childId(0);
    EXPECT_EQ(WdfPdoRetrieveIdentificationDescription(pdo, &retrieved.header), STATUS_SUCCESS);
    EXPECT_EQ(retrieved.serial, 1u);
}

TEST_F(ChildListTest, ChildrenNotReportedAgainAreRemoved) {
    EXPECT_EQ(add(1), STATUS_SUCCESS);  // outside a scan: applied at once
    EXPECT_EQ(add(2), STATUS_SUCCESS);
    EXPECT_EQ(add(3), STATUS_SUCCESS);
    ASSERT_EQ(children(), (std::vector<std::string>{"1", "2", "3"}));

    // A scan that does not see 1 drops it; nothing changes before the scan ends.
    WdfChildListBeginScan(list_);
    EXPECT_EQ(add(2), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(add(3), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(children(), (std::vector<std::string>{"1", "2", "3"}));
    WdfChildListEndScan(list_);
    EXPECT_EQ(children(), (std::vector<std::string>{"2", "3"}));

    ChildId two = childId(2);
    EXPECT_EQ(WdfChildListUpdateChildDescriptionAsMissing(list_, &two.header), STATUS_SUCCESS);
    EXPECT_EQ(children(), std::vector<std::string>{"3"});
    EXPECT_EQ(WdfChildListUpdateChildDescriptionAsMissing(list_, &two.header),
              STATUS_NO_SUCH_DEVICE);

    // A child reported missing comes back as a new child.
    EXPECT_EQ(add(2), STATUS_SUCCESS);
    EXPECT_EQ(children(), (std::vector<std::string>{"3", "2"}));
}

TEST_F(ChildListTest, DescriptionsOfAnotherSizeAreRefused) {
    struct Larger {
        WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header;
        ULONG serial;
        ULONG extra;
    } larger;
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&larger.header, sizeof larger);
    EXPECT_EQ(WdfChildListAddOrUpdateChildDescriptionAsPresent(list_, &larger.header, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    // An address description the list was not configured for.
    ChildId id = childId(1);
    WDF_CHILD_ADDRESS_DESCRIPTION_HEADER address;
    WDF_CHILD_ADDRESS_DESCRIPTION_HEADER_INIT(&address, sizeof address);
    EXPECT_EQ(WdfChildListAddOrUpdateChildDescriptionAsPresent(list_, &id.header, &address),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(children(), std::vector<std::string>{});
}

TEST_F(ChildListTest, RemovingTheBusRemovesItsChildrenFirst) {
    add(1);
    add(2);
    ASSERT_EQ(children().size(), 2u);
    takeLog();
    ASSERT_EQ(pnp().remove(busPdo_), STATUS_SUCCESS);
    EXPECT_EQ(takeLog(),
              (std::vector<std::string>{"query remove", "smio suspend", "d0exit D3Final", "release",
                                        "smio flush", "smio cleanup", "device cleanup"}));
    // The teardown checks that no PDO, pool block or object is left behind.
}

}  // namespace
}  // namespace vel::test
