// A bus FDO's default child list: scans add, update and drop children; the PnP manager sees
// each child's PDO with the IDs and texts its EvtChildListCreateDevice gave it.
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "device_fixture.h"
#include "vel/runtime/faults.h"
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
int createCalls = 0;
// Answers EvtChildListCreateDevice gives, one per call, before it builds a device: a failure
// as it is, STATUS_SUCCESS without creating the device.
std::deque<NTSTATUS> createAnswers;
// Applied to the bus's child list configuration.
std::function<void(WDF_CHILD_LIST_CONFIG&)> adjustConfig;

NTSTATUS OnCreateChild(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header,
                       PWDFDEVICE_INIT init) {
    ++createCalls;
    if (!createAnswers.empty()) {
        const NTSTATUS answer = createAnswers.front();
        createAnswers.pop_front();
        return answer;
    }
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
        createCalls = 0;
        createAnswers.clear();
        configureInit = [](PWDFDEVICE_INIT init) {
            WDF_CHILD_LIST_CONFIG config;
            WDF_CHILD_LIST_CONFIG_INIT(&config, sizeof(ChildId), OnCreateChild);
            if (adjustConfig) {
                adjustConfig(config);
            }
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

    void TearDown() override {
        DeviceTest::TearDown();
        adjustConfig = nullptr;
    }

    WDFDEVICE retrieve(ULONG serial, WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS* status) {
        ChildId id = childId(serial);
        WDF_CHILD_RETRIEVE_INFO info;
        WDF_CHILD_RETRIEVE_INFO_INIT(&info, &id.header);
        WDFDEVICE pdo = WdfChildListRetrievePdo(list_, &info);
        *status = info.Status;
        return pdo;
    }

    // The WDM PDO of the child the PnP manager knows by that instance ID.
    DEVICE_OBJECT* childPdo(const std::string& instance) {
        pnp().settle();
        const std::optional<pnp::DeviceInfo> bus = pnp().device(busPdo_);
        for (const pnp::DeviceInfo& child : bus->children) {
            if (child.instanceId == instance) {
                return child.pdo;
            }
        }
        return nullptr;
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

TEST_F(ChildListTest, AnAddThatCannotCopyItsDescriptionFailsAloneAndChangesNothing) {
    runtime().faults().failNth(rt::fault::kChildListAdd, 2);
    WdfChildListBeginScan(list_);
    EXPECT_EQ(add(1), STATUS_SUCCESS);
    EXPECT_EQ(add(2), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(add(3), STATUS_SUCCESS);
    WdfChildListEndScan(list_);
    EXPECT_EQ(children(), (std::vector<std::string>{"1", "3"}));
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

TEST_F(ChildListTest, RetrievePdoTellsCreatedFromPendingAndUnknown) {
    WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS status = WdfChildListRetrieveDeviceUndefined;
    WdfChildListBeginScan(list_);
    add(1);
    // Known, but its PDO comes with the relations query after the scan.
    EXPECT_EQ(retrieve(1, &status), nullptr);
    EXPECT_EQ(status, WdfChildListRetrieveDeviceNotYetCreated);
    WdfChildListEndScan(list_);
    ASSERT_EQ(children(), std::vector<std::string>{"1"});

    ASSERT_EQ(createdPdos.size(), 1u);
    EXPECT_EQ(retrieve(1, &status), createdPdos.front());
    EXPECT_EQ(status, WdfChildListRetrieveDeviceSuccess);
    // Without a compare callback the whole description must match.
    EXPECT_EQ(retrieve(101, &status), nullptr);
    EXPECT_EQ(status, WdfChildListRetrieveDeviceNoSuchDevice);

    ChildId one = childId(1);
    ASSERT_EQ(WdfChildListUpdateChildDescriptionAsMissing(list_, &one.header), STATUS_SUCCESS);
    EXPECT_EQ(children(), std::vector<std::string>{});
    EXPECT_EQ(retrieve(1, &status), nullptr);
    EXPECT_EQ(status, WdfChildListRetrieveDeviceNoSuchDevice);
}

// Serials equal in their last two digits name the same child.
BOOLEAN CompareBySlot(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER first,
                      PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER second) {
    return reinterpret_cast<ChildId*>(first)->serial % 100 ==
           reinterpret_cast<ChildId*>(second)->serial % 100;
}

class ComparingChildListTest : public ChildListTest {
  protected:
    void SetUp() override {
        adjustConfig = [](WDF_CHILD_LIST_CONFIG& config) {
            config.EvtChildListIdentificationDescriptionCompare = CompareBySlot;
        };
        ChildListTest::SetUp();
    }
};

TEST_F(ComparingChildListTest, RetrievePdoAndEjectFindChildrenWithTheListsCompare) {
    add(1);
    ASSERT_EQ(children(), std::vector<std::string>{"1"});
    WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS status = WdfChildListRetrieveDeviceUndefined;
    EXPECT_EQ(retrieve(101, &status), createdPdos.front());
    EXPECT_EQ(status, WdfChildListRetrieveDeviceSuccess);
    EXPECT_EQ(retrieve(2, &status), nullptr);
    EXPECT_EQ(status, WdfChildListRetrieveDeviceNoSuchDevice);

    ChildId alias = childId(201);
    EXPECT_TRUE(WdfChildListRequestChildEject(list_, &alias.header));
    EXPECT_EQ(children(), std::vector<std::string>{});
}

// An ejected child is removed and reported missing: later enumerations do not bring it back.
TEST_F(ChildListTest, EjectedChildIsRemovedAndStaysAway) {
    add(1);
    add(2);
    ASSERT_EQ(children(), (std::vector<std::string>{"1", "2"}));

    ChildId one = childId(1);
    EXPECT_TRUE(WdfChildListRequestChildEject(list_, &one.header));
    EXPECT_EQ(children(), std::vector<std::string>{"2"});
    WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS status = WdfChildListRetrieveDeviceUndefined;
    EXPECT_EQ(retrieve(1, &status), nullptr);
    EXPECT_EQ(status, WdfChildListRetrieveDeviceNoSuchDevice);
    add(3);
    EXPECT_EQ(children(), (std::vector<std::string>{"2", "3"}));
    EXPECT_EQ(createdPdos.size(), 3u);

    // Nothing to eject: an unknown child, one gone already, one without its PDO yet.
    ChildId unknown = childId(9);
    EXPECT_FALSE(WdfChildListRequestChildEject(list_, &unknown.header));
    EXPECT_FALSE(WdfChildListRequestChildEject(list_, &one.header));
    WdfChildListBeginScan(list_);
    add(2);
    add(3);
    add(4);
    ChildId four = childId(4);
    EXPECT_FALSE(WdfChildListRequestChildEject(list_, &four.header));
    WdfChildListEndScan(list_);
    EXPECT_EQ(children(), (std::vector<std::string>{"2", "3", "4"}));
}

// What EvtChildListCreateDevice answers decides a description's fate: STATUS_RETRY keeps it for
// another relations query, another failure or success without a device drops it.
TEST_F(ChildListTest, CreateDeviceAnswersDecideWhetherTheChildStays) {
    struct Case {
        const char* name;
        NTSTATUS answer;
        std::vector<std::string> afterwards;
        int calls;
    };
    const Case cases[] = {
        {"retry", STATUS_RETRY, {"1"}, 2},
        {"failure", STATUS_INSUFFICIENT_RESOURCES, {}, 1},
        {"success without a device", STATUS_SUCCESS, {}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        createCalls = 0;
        createAnswers = {c.answer};
        add(1);
        pnp().settle();  // the retry's own relations query was queued by the first one
        EXPECT_EQ(children(), c.afterwards);
        EXPECT_EQ(createCalls, c.calls);
        // A dropped child comes back as a new one when reported again.
        EXPECT_EQ(add(1), c.afterwards.empty() ? STATUS_SUCCESS : STATUS_OBJECT_NAME_EXISTS);
        EXPECT_EQ(children(), std::vector<std::string>{"1"});
        ChildId one = childId(1);
        ASSERT_EQ(WdfChildListUpdateChildDescriptionAsMissing(list_, &one.header), STATUS_SUCCESS);
        ASSERT_EQ(children(), std::vector<std::string>{});
    }
}

// ----- Re-enumeration a child's driver asks for ---------------------------------------------

enum class Reenumerated { Accepts, Refuses, Absent };

int reenumeratedCalls = 0;
WDFDEVICE reenumeratedDevice = nullptr;

BOOLEAN OnReenumeratedAccept(WDFCHILDLIST, WDFDEVICE old, PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER,
                             PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER) {
    ++reenumeratedCalls;
    reenumeratedDevice = old;
    return TRUE;
}

BOOLEAN OnReenumeratedRefuse(WDFCHILDLIST, WDFDEVICE old, PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER,
                             PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER) {
    ++reenumeratedCalls;
    reenumeratedDevice = old;
    return FALSE;
}

class ReenumerateTest : public ChildListTest, public ::testing::WithParamInterface<Reenumerated> {
  protected:
    void SetUp() override {
        reenumeratedCalls = 0;
        reenumeratedDevice = nullptr;
        adjustConfig = [](WDF_CHILD_LIST_CONFIG& config) {
            switch (GetParam()) {
                case Reenumerated::Accepts:
                    config.EvtChildListDeviceReenumerated = OnReenumeratedAccept;
                    break;
                case Reenumerated::Refuses:
                    config.EvtChildListDeviceReenumerated = OnReenumeratedRefuse;
                    break;
                case Reenumerated::Absent:
                    break;
            }
        };
        ChildListTest::SetUp();
    }

    // What a child's function driver does: query the interface from its stack (here the PDO
    // alone), call it, release it.
    REENUMERATE_SELF_INTERFACE_STANDARD queryReenumerate(DEVICE_OBJECT* pdo) {
        REENUMERATE_SELF_INTERFACE_STANDARD iface{};
        EXPECT_EQ(pnp().queryInterface(pdo, GUID_REENUMERATE_SELF_INTERFACE_STANDARD, sizeof iface,
                                       1, reinterpret_cast<INTERFACE*>(&iface), nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(iface.Size, sizeof iface);
        EXPECT_EQ(iface.Version, 1);
        return iface;
    }
};

TEST_P(ReenumerateTest, TheBusCallbackDecidesWhetherTheChildGetsANewPdo) {
    add(1);
    add(2);
    ASSERT_EQ(children(), (std::vector<std::string>{"1", "2"}));
    DEVICE_OBJECT* old = childPdo("1");
    ASSERT_NE(old, nullptr);
    const WDFDEVICE oldDevice = createdPdos.front();

    REENUMERATE_SELF_INTERFACE_STANDARD iface = queryReenumerate(old);
    ASSERT_NE(iface.SurpriseRemoveAndReenumerateSelf, nullptr);
    iface.SurpriseRemoveAndReenumerateSelf(iface.Context);
    const bool renewed = GetParam() != Reenumerated::Refuses;
    EXPECT_EQ(children(), renewed ? (std::vector<std::string>{"2", "1"})
                                  : (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(reenumeratedCalls, GetParam() == Reenumerated::Absent ? 0 : 1);
    if (GetParam() != Reenumerated::Absent) {
        EXPECT_EQ(reenumeratedDevice, oldDevice);
    }
    EXPECT_EQ(createdPdos.size(), renewed ? 3u : 2u);
    EXPECT_EQ(childPdo("1") != old, renewed);
    WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS status = WdfChildListRetrieveDeviceUndefined;
    EXPECT_EQ(retrieve(1, &status), renewed ? createdPdos.back() : oldDevice);
    EXPECT_EQ(status, WdfChildListRetrieveDeviceSuccess);

    // Asked again: refused again, or (an interface kept past its PDO's removal) nothing at all.
    iface.SurpriseRemoveAndReenumerateSelf(iface.Context);
    pnp().settle();
    EXPECT_EQ(createdPdos.size(), renewed ? 3u : 2u);
    EXPECT_EQ(reenumeratedCalls, GetParam() == Reenumerated::Accepts   ? 1
                                 : GetParam() == Reenumerated::Refuses ? 2
                                                                       : 0);
    iface.InterfaceDereference(iface.Context);
}

INSTANTIATE_TEST_SUITE_P(Callback, ReenumerateTest,
                         ::testing::Values(Reenumerated::Accepts, Reenumerated::Refuses,
                                           Reenumerated::Absent),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Reenumerated::Accepts:
                                     return "Accepts";
                                 case Reenumerated::Refuses:
                                     return "Refuses";
                                 default:
                                     return "Absent";
                             }
                         });

}  // namespace
}  // namespace vel::test
