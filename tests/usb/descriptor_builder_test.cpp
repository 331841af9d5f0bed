// The descriptor builder and string table, checked byte by byte against the USB 2.0 and CDC
// layouts through the seam's records.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "vel/devices/descriptor_builder.h"
#include "vel/devices/string_table.h"
#include "vel_usb_cdc.h"

namespace {

using namespace vel::dev;

TEST(DescriptorBuilder, DeviceDescriptorFields) {
    const Bytes d = deviceDescriptor({.bcdUSB = 0x0200,
                                      .deviceClass = 0xEF,
                                      .deviceSubClass = 2,
                                      .deviceProtocol = 1,
                                      .maxPacketSize0 = 64,
                                      .vendorId = 0x1234,
                                      .productId = 0xABCD,
                                      .bcdDevice = 0x0310,
                                      .manufacturerIndex = 1,
                                      .productIndex = 2,
                                      .serialNumberIndex = 3,
                                      .numConfigurations = 1});
    ASSERT_EQ(d.size(), sizeof(USB_DEVICE_DESCRIPTOR));
    USB_DEVICE_DESCRIPTOR dd;
    memcpy(&dd, d.data(), sizeof(dd));
    EXPECT_EQ(dd.bLength, 18);
    EXPECT_EQ(dd.bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(dd.bcdUSB, 0x0200);
    EXPECT_EQ(dd.bDeviceClass, 0xEF);
    EXPECT_EQ(dd.bDeviceSubClass, 2);
    EXPECT_EQ(dd.bDeviceProtocol, 1);
    EXPECT_EQ(dd.bMaxPacketSize0, 64);
    EXPECT_EQ(dd.idVendor, 0x1234);
    EXPECT_EQ(dd.idProduct, 0xABCD);
    EXPECT_EQ(dd.bcdDevice, 0x0310);
    EXPECT_EQ(dd.iManufacturer, 1);
    EXPECT_EQ(dd.iProduct, 2);
    EXPECT_EQ(dd.iSerialNumber, 3);
    EXPECT_EQ(dd.bNumConfigurations, 1);
}

// An ACM function (interfaces 0 and 1, data interface with two alternate settings), an MDLM
// interface with a detail descriptor, and a zero-endpoint interface.
TEST(DescriptorBuilder, ConfigurationComputesCountsAndLengths) {
    const uint8_t subordinates[] = {1, 4, 5};
    const uint8_t detail[] = {0xAA, 0xBB, 0xCC};
    const auto guid = parseGuid("{C2299FCC-D489-4066-892B-10C341DD98A9}");
    ASSERT_TRUE(guid);
    const Bytes c = ConfigurationBuilder()
                        .value(1)
                        .attributes(0xA0)
                        .maxPower(250)
                        .association({.firstInterface = 0,
                                      .interfaceCount = 2,
                                      .functionClass = 2,
                                      .functionSubClass = 2,
                                      .functionProtocol = 1})
                        .interface({.number = 0, .interfaceClass = 2, .subClass = 2, .protocol = 1})
                        .cdcHeader(0x0110)
                        .cdcCallManagement(3, 1)
                        .cdcAcm(6)
                        .cdcUnion(0, subordinates)
                        .endpoint({.address = 0x83,
                                   .type = EndpointType::Interrupt,
                                   .maxPacketSize = 16,
                                   .interval = 9})
                        .interface({.number = 1, .interfaceClass = 0x0A})
                        .interface({.number = 1, .alternateSetting = 1, .interfaceClass = 0x0A})
                        .endpoint({.address = 0x82, .maxPacketSize = 512})
                        .endpoint({.address = 0x02, .maxPacketSize = 512})
                        .interface({.number = 2, .interfaceClass = 2, .subClass = 0x0A})
                        .cdcMdlm(*guid)
                        .cdcMdlmDetail(0, detail)
                        .interface({.number = 3, .interfaceClass = 0xFF})
                        .build();

    USB_CONFIGURATION_DESCRIPTOR cd;
    memcpy(&cd, c.data(), sizeof(cd));
    EXPECT_EQ(cd.bLength, 9);
    EXPECT_EQ(cd.bDescriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
    EXPECT_EQ(cd.wTotalLength, c.size());
    EXPECT_EQ(cd.bNumInterfaces, 4) << "alternate settings count once";
    EXPECT_EQ(cd.bConfigurationValue, 1);
    EXPECT_EQ(cd.bmAttributes, 0xA0);
    EXPECT_EQ(cd.MaxPower, 250);

    // Walk the expected sequence of (offset, type, length) and check the fields that matter.
    size_t at = 9;
    auto next = [&](uint8_t type, uint8_t length) {
        EXPECT_EQ(c.at(at), length) << "at " << at;
        EXPECT_EQ(c.at(at + 1), type) << "at " << at;
        const size_t here = at;
        at += length;
        return here;
    };
    const size_t iad = next(USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE, 8);
    EXPECT_EQ(c[iad + 3], 2);  // bInterfaceCount
    const size_t comm = next(USB_INTERFACE_DESCRIPTOR_TYPE, 9);
    EXPECT_EQ(c[comm + 4], 1) << "one endpoint behind the comm interface";
    const size_t header = next(USB_CDC_CS_INTERFACE, 5);
    EXPECT_EQ(c[header + 2], USB_CDC_SUBTYPE_HEADER);
    EXPECT_EQ(c[header + 3] | c[header + 4] << 8, 0x0110);
    const size_t cm = next(USB_CDC_CS_INTERFACE, 5);
    EXPECT_EQ(c[cm + 2], USB_CDC_SUBTYPE_CALL_MANAGEMENT);
    EXPECT_EQ(c[cm + 3], 3);
    EXPECT_EQ(c[cm + 4], 1);
    const size_t acm = next(USB_CDC_CS_INTERFACE, 4);
    EXPECT_EQ(c[acm + 2], USB_CDC_SUBTYPE_ACM);
    EXPECT_EQ(c[acm + 3], 6);
    const size_t uni = next(USB_CDC_CS_INTERFACE, 7);
    EXPECT_EQ(Bytes(c.begin() + uni + 2, c.begin() + uni + 7), (Bytes{6, 0, 1, 4, 5}));
    const size_t ep = next(USB_ENDPOINT_DESCRIPTOR_TYPE, 7);
    EXPECT_EQ(Bytes(c.begin() + ep + 2, c.begin() + ep + 7), (Bytes{0x83, 3, 16, 0, 9}));
    const size_t data0 = next(USB_INTERFACE_DESCRIPTOR_TYPE, 9);
    EXPECT_EQ(c[data0 + 4], 0) << "alternate 0 of the data interface has no endpoints";
    const size_t data1 = next(USB_INTERFACE_DESCRIPTOR_TYPE, 9);
    EXPECT_EQ(c[data1 + 3], 1);
    EXPECT_EQ(c[data1 + 4], 2);
    next(USB_ENDPOINT_DESCRIPTOR_TYPE, 7);
    const size_t bulkOut = next(USB_ENDPOINT_DESCRIPTOR_TYPE, 7);
    EXPECT_EQ(c[bulkOut + 4] | c[bulkOut + 5] << 8, 512);
    next(USB_INTERFACE_DESCRIPTOR_TYPE, 9);
    const size_t mdlm = next(USB_CDC_CS_INTERFACE, 21);
    EXPECT_EQ(c[mdlm + 2], USB_CDC_SUBTYPE_MDLM);
    const Bytes expectedGuid = {0xC2, 0x29, 0x9F, 0xCC, 0xD4, 0x89, 0x40, 0x66,
                                0x89, 0x2B, 0x10, 0xC3, 0x41, 0xDD, 0x98, 0xA9};
    EXPECT_EQ(Bytes(c.begin() + mdlm + 5, c.begin() + mdlm + 21), expectedGuid);
    const size_t det = next(USB_CDC_CS_INTERFACE, 7);
    EXPECT_EQ(Bytes(c.begin() + det + 2, c.begin() + det + 7), (Bytes{0x13, 0, 0xAA, 0xBB, 0xCC}));
    const size_t vendor = next(USB_INTERFACE_DESCRIPTOR_TYPE, 9);
    EXPECT_EQ(c[vendor + 4], 0);
    EXPECT_EQ(at, c.size());
}

TEST(DescriptorBuilder, OverridesForMalformedConfigurations) {
    const uint8_t junk[] = {0, 0x24, 0x06};  // zero-length descriptor, verbatim
    const Bytes c = ConfigurationBuilder()
                        .totalLength(200)
                        .numInterfaces(5)
                        .interface({.number = 0, .numEndpoints = 3})
                        .endpoint({.address = 0x81})
                        .raw(junk)
                        .build();
    EXPECT_EQ(c.size(), 9u + 9 + 7 + 3);
    EXPECT_EQ(c[2] | c[3] << 8, 200);
    EXPECT_EQ(c[4], 5);
    EXPECT_EQ(c[9 + 4], 3) << "explicit bNumEndpoints is kept";
    EXPECT_EQ(Bytes(c.end() - 3, c.end()), Bytes(std::begin(junk), std::end(junk)));
}

TEST(DescriptorBuilder, UnencodableDescriptorsThrow) {
    const Bytes big(254, 0);
    EXPECT_THROW(ConfigurationBuilder().descriptor(0x24, big), std::length_error);
    EXPECT_NO_THROW(ConfigurationBuilder().descriptor(0x24, Bytes(253, 0)));
    EXPECT_THROW(stringDescriptor(std::u16string(127, u'x')), std::length_error);
    EXPECT_EQ(stringDescriptor(std::u16string(126, u'x')).at(0), 254);
}

TEST(GuidText, ParsesWithAndWithoutBracesAndRejectsMalformed) {
    const GuidBytes expected = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    EXPECT_EQ(parseGuid("01234567-89AB-CDEF-0123-456789abcdef"), expected);
    EXPECT_EQ(parseGuid("{01234567-89AB-CDEF-0123-456789abcdef}"), expected);
    for (const char* bad :
         {"", "{01234567-89AB-CDEF-0123-456789abcdef", "01234567-89AB-CDEF-0123-456789abcdeg",
          "0123456789AB-CDEF-0123-456789abcdef-", "01234567-89AB-CDEF-0123-456789abcde"}) {
        EXPECT_FALSE(parseGuid(bad)) << bad;
    }
}

TEST(StringTable, LanguageTableAndPerLanguageStrings) {
    StringTable strings;
    strings.set(1, u"Maker").set(2, u"Handset").set(2, u"Mobilteil", 0x0407);
    EXPECT_EQ(strings.descriptor(0, 0), (Bytes{6, 3, 0x09, 0x04, 0x07, 0x04}));
    EXPECT_EQ(strings.descriptor(0, 0x0409), strings.descriptor(0, 0)) << "langId ignored for 0";
    EXPECT_EQ(strings.descriptor(1, 0x0409),
              (Bytes{12, 3, 'M', 0, 'a', 0, 'k', 0, 'e', 0, 'r', 0}));
    const auto german = strings.descriptor(2, 0x0407);
    ASSERT_TRUE(german);
    EXPECT_EQ(german->at(0), 2 + 2 * 9);
    EXPECT_FALSE(strings.descriptor(1, 0x0407)) << "no text in that language";
    EXPECT_FALSE(strings.descriptor(9, 0x0409));
    EXPECT_THROW(strings.set(0, u"x"), std::invalid_argument);

    StringTable empty;
    EXPECT_EQ(empty.descriptor(0, 0), (Bytes{2, 3})) << "a device without strings";
    EXPECT_EQ(stringDescriptor(u"\u00e9"), (Bytes{4, 3, 0xE9, 0x00}));
}

}  // namespace
