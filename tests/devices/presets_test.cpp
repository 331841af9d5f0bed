// The built-in handsets: descriptors that walk cleanly and carry what the bus, modem and
// diagnostic drivers look for.
#include <gtest/gtest.h>

#include <set>

#include "vel/devices/acm_modem.h"
#include "vel/devices/descriptor_walk.h"
#include "vel/devices/diag_function.h"
#include "vel/devices/handset_presets.h"

namespace {

using namespace vel::dev;

struct Endpoint {
    uint8_t address;
    uint8_t type;
    uint16_t maxPacket;
};

struct Interface {
    uint8_t number, alt, cls, sub, proto;
    std::vector<Bytes> functional;  // class-specific interface descriptors
    std::vector<Endpoint> endpoints;

    const Bytes* functionalOfSubtype(uint8_t subtype) const {
        for (const Bytes& f : functional) {
            if (f[2] == subtype) {
                return &f;
            }
        }
        return nullptr;
    }
};

struct Association {
    uint8_t first, count, cls, sub, proto;
    size_t beforeInterface;  // index in Layout::interfaces of the interface it precedes
};

struct Layout {
    std::vector<Interface> interfaces;
    std::vector<Association> associations;
};

Layout parse(const Bytes& config) {
    Layout layout;
    for (const DescriptorInfo& d : walkDescriptors(config).descriptors) {
        const uint8_t* p = &config[d.offset];
        switch (d.type) {
            case 0x04:
                layout.interfaces.push_back({p[2], p[3], p[5], p[6], p[7], {}, {}});
                break;
            case 0x05:
                layout.interfaces.back().endpoints.push_back(
                    {p[2], static_cast<uint8_t>(p[3] & 3),
                     static_cast<uint16_t>(p[4] | p[5] << 8)});
                break;
            case 0x0B:
                layout.associations.push_back(
                    {p[2], p[3], p[4], p[5], p[6], layout.interfaces.size()});
                break;
            case 0x24:
                layout.interfaces.back().functional.emplace_back(p, p + d.length);
                break;
        }
    }
    return layout;
}

std::u16string stringText(const FunctionDevice& device, uint8_t index) {
    const std::optional<Bytes> d = device.stringDescriptor(index, kLangEnglishUS);
    std::u16string out;
    if (d) {
        for (size_t i = 2; i + 1 < d->size(); i += 2) {
            out.push_back(static_cast<char16_t>((*d)[i] | (*d)[i + 1] << 8));
        }
    }
    return out;
}

TEST(HandsetPresets, EveryPresetWalksCleanlyWithPacketSizesOfItsSpeed) {
    const std::vector<std::string> names = presetNames();
    EXPECT_NE(std::find(names.begin(), names.end(), kDefaultPreset), names.end());
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        auto device = handsetPreset(name, "SN-1234");
        ASSERT_NE(device, nullptr);
        EXPECT_FALSE(presetDescription(name).empty());

        const Bytes dev = device->deviceDescriptor();
        ASSERT_EQ(dev.size(), 18u);
        EXPECT_TRUE(walkDescriptors(dev).findings.empty());
        EXPECT_EQ(dev[8] | dev[9] << 8, kHandsetVendorId);
        EXPECT_EQ(dev[17], 1);  // one configuration

        const Bytes config = device->configurationDescriptor(0);
        const DescriptorWalk walk = walkDescriptors(config);
        EXPECT_TRUE(walk.findings.empty()) << formatWalk(walk);
        EXPECT_EQ(config[2] | config[3] << 8, static_cast<int>(config.size()));

        const bool high = name.ends_with("-hs");
        EXPECT_EQ(presetSpeed(name), high ? vel::usb::Speed::High : vel::usb::Speed::Full);
        std::set<uint8_t> addresses;
        for (const Interface& i : parse(config).interfaces) {
            for (const Endpoint& e : i.endpoints) {
                EXPECT_TRUE(addresses.insert(e.address).second) << int(e.address);
                if (e.type == 2) {
                    EXPECT_EQ(e.maxPacket, high ? 512 : 64);
                } else {
                    EXPECT_LE(e.maxPacket, 64);
                }
            }
        }

        EXPECT_EQ(stringText(*device, dev[14]), u"Vel Test Handsets");
        EXPECT_FALSE(stringText(*device, dev[15]).empty());
        EXPECT_EQ(stringText(*device, dev[16]), u"SN-1234");
    }
    EXPECT_EQ(handsetPreset("no-such-handset"), nullptr);
    EXPECT_TRUE(presetDescription("no-such-handset").empty());
    EXPECT_FALSE(presetSpeed("no-such-handset"));
}

// The modem as the modem driver validates it: call management over the data interface, line
// requests supported, the data interface in the union, an interrupt IN endpoint, bulk IN and OUT
// on the data interface.
void expectModem(const Layout& layout, size_t comm) {
    const Interface& c = layout.interfaces.at(comm);
    const Interface& d = layout.interfaces.at(comm + 1);
    EXPECT_EQ((std::array{c.cls, c.sub, c.proto}), (std::array<uint8_t, 3>{0x02, 0x02, 0x01}));
    EXPECT_EQ((std::array{d.cls, d.sub, d.proto}), (std::array<uint8_t, 3>{0x0A, 0x00, 0x00}));
    ASSERT_NE(c.functionalOfSubtype(0x00), nullptr);
    const Bytes* callManagement = c.functionalOfSubtype(0x01);
    ASSERT_NE(callManagement, nullptr);
    EXPECT_EQ((*callManagement)[3] & 0x03, 0x03);
    EXPECT_EQ((*callManagement)[4], d.number);
    const Bytes* acm = c.functionalOfSubtype(0x02);
    ASSERT_NE(acm, nullptr);
    EXPECT_TRUE((*acm)[3] & 0x02);
    EXPECT_EQ(*c.functionalOfSubtype(0x06), (Bytes{5, 0x24, 0x06, c.number, d.number}));
    ASSERT_EQ(c.endpoints.size(), 1u);
    EXPECT_EQ(c.endpoints[0].type, 3);
    EXPECT_TRUE(c.endpoints[0].address & 0x80);
    ASSERT_EQ(d.endpoints.size(), 2u);
    EXPECT_EQ(d.endpoints[0].type, 2);
    EXPECT_EQ(d.endpoints[1].type, 2);
    EXPECT_NE(d.endpoints[0].address & 0x80, d.endpoints[1].address & 0x80);
}

// The diagnostic MDLM interface as its port driver finds it: class 0x02/0x0A, the certifying
// GUID in text order, bulk IN and OUT on the interface itself.
void expectDiagMdlm(const Interface& i) {
    EXPECT_EQ(i.cls, 0x02);
    EXPECT_EQ(i.sub, 0x0A);
    const Bytes* mdlm = i.functionalOfSubtype(0x12);
    ASSERT_NE(mdlm, nullptr);
    ASSERT_EQ(mdlm->size(), 21u);
    const Bytes guid(mdlm->begin() + 5, mdlm->end());
    EXPECT_EQ(guid, (Bytes{0xC2, 0x29, 0x9F, 0xCC, 0xD4, 0x89, 0x40, 0x66, 0x89, 0x2B, 0x10, 0xC3,
                           0x41, 0xDD, 0x98, 0xA9}));
    EXPECT_NE(i.functionalOfSubtype(0x13), nullptr);
    ASSERT_EQ(i.endpoints.size(), 2u);
    EXPECT_EQ(i.endpoints[0].type, 2);
    EXPECT_EQ(i.endpoints[1].type, 2);
    EXPECT_NE(i.endpoints[0].address & 0x80, i.endpoints[1].address & 0x80);
}

TEST(HandsetPresets, UnionHandsetGroupsTheModemByItsUnionDescriptor) {
    for (const char* name : {"union-hs", "union-fs"}) {
        SCOPED_TRACE(name);
        auto device = handsetPreset(name);
        EXPECT_EQ(device->deviceDescriptor()[4], 0x02);
        const Layout layout = parse(device->configurationDescriptor(0));
        EXPECT_TRUE(layout.associations.empty());
        ASSERT_EQ(layout.interfaces.size(), 4u);
        for (uint8_t n = 0; n < 4; ++n) {
            EXPECT_EQ(layout.interfaces[n].number, n);
        }
        expectModem(layout, 0);
        expectDiagMdlm(layout.interfaces[2]);
        const Interface& storage = layout.interfaces[3];
        EXPECT_EQ((std::array{storage.cls, storage.sub, storage.proto}),
                  (std::array<uint8_t, 3>{0x08, 0x06, 0x50}));
        EXPECT_EQ(storage.endpoints.size(), 2u);

        // The functions that answer own the endpoints the descriptors give them.
        const AcmModem* modem = device->find<AcmModem>();
        ASSERT_NE(modem, nullptr);
        EXPECT_EQ(modem->notifyEndpoint(), layout.interfaces[0].endpoints[0].address);
        const DiagFunction* diag = device->find<DiagFunction>();
        ASSERT_NE(diag, nullptr);
        EXPECT_EQ(diag->interfaceNumber(), 2);
    }
}

TEST(HandsetPresets, AssociationHandsetPutsEachCdcFunctionBehindAnAssociation) {
    auto device = handsetPreset("iad-hs");
    const Bytes dev = device->deviceDescriptor();
    EXPECT_EQ((std::array{dev[4], dev[5], dev[6]}), (std::array<uint8_t, 3>{0xEF, 0x02, 0x01}));
    const Layout layout = parse(device->configurationDescriptor(0));
    ASSERT_EQ(layout.associations.size(), 2u);
    const Association& modem = layout.associations[0];
    EXPECT_EQ((std::array{modem.first, modem.count, modem.cls, modem.sub, modem.proto}),
              (std::array<uint8_t, 5>{0, 2, 0x02, 0x02, 0x01}));
    EXPECT_EQ(modem.beforeInterface, 0u);
    const Association& diag = layout.associations[1];
    EXPECT_EQ((std::array{diag.first, diag.count, diag.cls, diag.sub}),
              (std::array<uint8_t, 4>{2, 1, 0x02, 0x0A}));
    EXPECT_EQ(diag.beforeInterface, 2u);
    ASSERT_EQ(layout.interfaces.size(), 4u);
    expectModem(layout, 0);
    expectDiagMdlm(layout.interfaces[2]);
    const Interface& vendor = layout.interfaces[3];
    EXPECT_EQ((std::array{vendor.cls, vendor.sub, vendor.proto}),
              (std::array<uint8_t, 3>{0xFF, 0xFF, 0xFF}));
}

TEST(HandsetPresets, DownloadHandsetHasOneVendorSpecificDiagnosticInterface) {
    for (const char* name : {"download-hs", "download-fs"}) {
        SCOPED_TRACE(name);
        auto device = handsetPreset(name);
        const Bytes dev = device->deviceDescriptor();
        EXPECT_EQ(dev[4], 0x00);
        EXPECT_EQ(dev[10] | dev[11] << 8, kHandsetDownloadProductId);
        const Layout layout = parse(device->configurationDescriptor(0));
        EXPECT_TRUE(layout.associations.empty());
        ASSERT_EQ(layout.interfaces.size(), 1u);
        const Interface& i = layout.interfaces[0];
        EXPECT_EQ(i.cls, 0xFF);
        EXPECT_TRUE(i.functional.empty());
        ASSERT_EQ(i.endpoints.size(), 2u);
        EXPECT_EQ(device->find<AcmModem>(), nullptr);
        const DiagFunction* diag = device->find<DiagFunction>();
        ASSERT_NE(diag, nullptr);
        EXPECT_EQ(diag->bulkOutEndpoint(), i.endpoints[0].address);
        EXPECT_EQ(diag->bulkInEndpoint(), i.endpoints[1].address);
    }
}

}  // namespace
