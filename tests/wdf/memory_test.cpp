// Memory objects, collections and strings.
#include <array>

#include "test_driver.h"
#include "vel/runtime/faults.h"

namespace vel::test {
namespace {

constexpr ULONG kTag = VEL_POOL_TAG('M', 'e', 'm', 'T');

using MemoryTest = DriverTest;

TEST_F(MemoryTest, PoolMemoryIsAccountedUnderItsTagUntilDestroyed) {
    WDFMEMORY memory;
    PVOID buffer = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, kTag, 100, &memory, &buffer),
              STATUS_SUCCESS);
    SIZE_T size = 0;
    EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(kernel().poolStats().outstandingByTag[kTag], 1u);

    WdfObjectReference(memory);
    WdfObjectDelete(memory);
    EXPECT_EQ(kernel().poolStats().outstandingByTag[kTag], 1u);  // still referenced
    WdfObjectDereference(memory);
    EXPECT_EQ(kernel().poolStats().outstandingByTag[kTag], 0u);
}

TEST_F(MemoryTest, CreationFailures) {
    WDFMEMORY memory = reinterpret_cast<WDFMEMORY>(1);
    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, kTag, 0, &memory, nullptr),
              STATUS_INVALID_PARAMETER);
    runtime().faults().failNth(rt::fault::kMemoryCreate, 1);
    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, kTag, 8, &memory, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(memory, nullptr);
    runtime().faults().failNth(rt::fault::kPoolAllocate, 1);
    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, kTag, 8, &memory, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    UCHAR storage[4];
    EXPECT_EQ(WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, nullptr, 4, &memory),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, storage, 0, &memory),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(framework().liveObjectCount(), 1u);
    EXPECT_EQ(kernel().poolStats().outstanding, 0u);
}

// Copies in and out of a 16-byte memory object: a range outside it copies nothing.
TEST_F(MemoryTest, CopiesAreBoundsChecked) {
    WDFMEMORY memory;
    PVOID buffer;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, PagedPool, kTag, 16, &memory, &buffer),
              STATUS_SUCCESS);
    for (int i = 0; i < 16; ++i) {
        static_cast<UCHAR*>(buffer)[i] = static_cast<UCHAR>(i);
    }
    struct Case {
        SIZE_T offset;
        SIZE_T count;
        bool nullBuffer;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {0, 16, false, STATUS_SUCCESS},
        {8, 8, false, STATUS_SUCCESS},
        {15, 1, false, STATUS_SUCCESS},
        {8, 9, false, STATUS_BUFFER_TOO_SMALL},
        {16, 1, false, STATUS_BUFFER_TOO_SMALL},
        {17, 0, false, STATUS_INVALID_PARAMETER},
        {SIZE_MAX, 2, false, STATUS_BUFFER_TOO_SMALL},  // offset + count wraps
        {2, SIZE_MAX, false, STATUS_BUFFER_TOO_SMALL},
        {0, 0, false, STATUS_INVALID_PARAMETER},
        {0, 4, true, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " count " << c.count);
        std::array<UCHAR, 16> out;
        out.fill(0xEE);
        const NTSTATUS to =
            WdfMemoryCopyToBuffer(memory, c.offset, c.nullBuffer ? nullptr : out.data(), c.count);
        EXPECT_EQ(to, c.expected);
        if (NT_SUCCESS(to)) {
            EXPECT_EQ(out[0], c.offset);
            EXPECT_EQ(out[c.count - 1], c.offset + c.count - 1);
        } else {
            EXPECT_EQ(out[0], 0xEE);
        }
        std::array<UCHAR, 16> in;
        in.fill(0xAA);
        EXPECT_EQ(
            WdfMemoryCopyFromBuffer(memory, c.offset, c.nullBuffer ? nullptr : in.data(), c.count),
            c.expected);
        const auto* bytes = static_cast<const UCHAR*>(buffer);
        for (SIZE_T i = 0; i < 16; ++i) {
            const bool written = NT_SUCCESS(c.expected) && i >= c.offset && i - c.offset < c.count;
            ASSERT_EQ(bytes[i], written ? 0xAA : i) << "byte " << i;
        }
        for (int i = 0; i < 16; ++i) {
            static_cast<UCHAR*>(buffer)[i] = static_cast<UCHAR>(i);
        }
    }
}

TEST_F(MemoryTest, PreallocatedMemoryTakesAnotherBufferPoolMemoryDoesNot) {
    UCHAR first[8] = {1};
    UCHAR second[32] = {2};
    WDFMEMORY memory;
    ASSERT_EQ(WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, first, sizeof first, &memory),
              STATUS_SUCCESS);
    ASSERT_EQ(WdfMemoryAssignBuffer(memory, second, sizeof second), STATUS_SUCCESS);
    SIZE_T size;
    EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), second);
    EXPECT_EQ(size, sizeof second);
    WdfObjectDelete(memory);  // the driver's buffers stay the driver's

    WDFMEMORY pool;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, kTag, 8, &pool, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(WdfMemoryAssignBuffer(pool, second, sizeof second), STATUS_INVALID_DEVICE_REQUEST);
    expectViolations({rt::Rule::ContractViolation});
}

// ----- Collections ----------------------------------------------------------------------------

int destroyed;
VOID CountDestroy(WDFOBJECT) {
    ++destroyed;
}

class CollectionTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        destroyed = 0;
        ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection), STATUS_SUCCESS);
    }
    WDFOBJECT item() {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.EvtDestroyCallback = CountDestroy;
        WDFOBJECT object = nullptr;
        EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
        return object;
    }
    WDFCOLLECTION collection = nullptr;
};

TEST_F(CollectionTest, EveryAddHoldsAReferenceUntilRemoved) {
    WDFOBJECT a = item();
    ASSERT_EQ(WdfCollectionAdd(collection, a), STATUS_SUCCESS);
    ASSERT_EQ(WdfCollectionAdd(collection, a), STATUS_SUCCESS);  // no duplicate check
    EXPECT_EQ(WdfCollectionGetCount(collection), 2u);
    WdfObjectDelete(a);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(WdfCollectionGetItem(collection, 1), a);
    WdfCollectionRemove(collection, a);
    EXPECT_EQ(destroyed, 0);
    WdfCollectionRemoveItem(collection, 0);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(WdfCollectionGetCount(collection), 0u);
}

TEST_F(CollectionTest, PositionsAndBadIndexes) {
    WDFOBJECT a = item();
    WDFOBJECT b = item();
    WDFOBJECT c = item();
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), nullptr);
    EXPECT_EQ(WdfCollectionGetLastItem(collection), nullptr);
    for (WDFOBJECT o : {a, b, c}) {
        ASSERT_EQ(WdfCollectionAdd(collection, o), STATUS_SUCCESS);
    }
    WdfCollectionRemoveItem(collection, 1);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), a);
    EXPECT_EQ(WdfCollectionGetLastItem(collection), c);
    EXPECT_EQ(WdfCollectionGetItem(collection, 1), c);
    EXPECT_EQ(WdfCollectionGetItem(collection, 2), nullptr);  // no report for a lookup
    EXPECT_TRUE(takeViolations().empty());

    WdfCollectionRemoveItem(collection, 2);
    WdfCollectionRemove(collection, b);
    expectViolations({rt::Rule::ContractViolation, rt::Rule::ContractViolation});
    EXPECT_EQ(WdfCollectionGetCount(collection), 2u);
}

TEST_F(CollectionTest, DeletingTheCollectionReleasesItsReferences) {
    WDFOBJECT a = item();
    ASSERT_EQ(WdfCollectionAdd(collection, a), STATUS_SUCCESS);
    ASSERT_EQ(WdfCollectionAdd(collection, a), STATUS_SUCCESS);
    WdfObjectDelete(a);
    WdfObjectDelete(collection);
    EXPECT_EQ(destroyed, 1);
}

TEST_F(CollectionTest, InjectedFailures) {
    runtime().faults().failNth(rt::fault::kCollectionAdd, 1);
    WDFOBJECT a = item();
    EXPECT_EQ(WdfCollectionAdd(collection, a), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(WdfCollectionGetCount(collection), 0u);
    WdfObjectDelete(a);
    EXPECT_EQ(destroyed, 1);  // no reference was taken
    runtime().faults().failNth(rt::fault::kCollectionCreate, 1);
    WDFCOLLECTION other;
    EXPECT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &other), STATUS_INSUFFICIENT_RESOURCES);
}

// ----- Strings --------------------------------------------------------------------------------

TEST_F(DriverTest, StringsCopyTheirText) {
    WCHAR text[] = u"COM7";
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, text);
    WDFSTRING string;
    ASSERT_EQ(WdfStringCreate(&source, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
    text[3] = u'9';
    UNICODE_STRING view;
    WdfStringGetUnicodeString(string, &view);
    EXPECT_EQ(std::u16string(view.Buffer, view.Length / sizeof(WCHAR)), u"COM7");

    WDFSTRING empty;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &empty), STATUS_SUCCESS);
    WdfStringGetUnicodeString(empty, &view);
    EXPECT_EQ(view.Length, 0);

    UNICODE_STRING odd{3, 8, text};
    EXPECT_EQ(WdfStringCreate(&odd, WDF_NO_OBJECT_ATTRIBUTES, &empty), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace vel::test
