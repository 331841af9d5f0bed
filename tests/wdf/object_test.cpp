// Object lifetime, contexts, references and handle checking, driven as driver code would.
#include <string>
#include <vector>

#include "test_driver.h"

namespace vel::test {
namespace {

struct NAMED_CONTEXT {
    const char* name;
    std::vector<std::string>* log;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(NAMED_CONTEXT, GetNamed)

struct BIG_CONTEXT {
    UCHAR bytes[40];
};
WDF_DECLARE_CONTEXT_TYPE(BIG_CONTEXT)

VOID LogCleanup(WDFOBJECT Object) {
    GetNamed(Object)->log->push_back(std::string("cleanup ") + GetNamed(Object)->name);
}
VOID LogDestroy(WDFOBJECT Object) {
    GetNamed(Object)->log->push_back(std::string("destroy ") + GetNamed(Object)->name);
}

class ObjectTest : public DriverTest {
  protected:
    WDFOBJECT create(const char* name, WDFOBJECT parent = nullptr) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, NAMED_CONTEXT);
        attributes.EvtCleanupCallback = LogCleanup;
        attributes.EvtDestroyCallback = LogDestroy;
        attributes.ParentObject = parent;
        WDFOBJECT object = nullptr;
        EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
        *GetNamed(object) = {name, &log};
        return object;
    }
    std::vector<std::string> takeLog() { return std::exchange(log, {}); }

    std::vector<std::string> log;
};

TEST_F(ObjectTest, DeleteCleansUpChildFirstAndDestroysAfterTheLastReference) {
    WDFOBJECT parent = create("P");
    WDFOBJECT older = create("C1", parent);
    create("G", older);
    WDFOBJECT newer = create("C2", parent);
    WdfObjectReference(newer);

    WdfObjectDelete(parent);
    // Newest child first; a subtree's cleanup completes before its root's. C2 and, through
    // it, P survive their cleanup while the extra reference on C2 lasts.
    EXPECT_EQ(takeLog(), (std::vector<std::string>{"cleanup C2", "cleanup G", "destroy G",
                                                   "cleanup C1", "destroy C1", "cleanup P"}));
    EXPECT_EQ(GetNamed(newer)->name, std::string("C2"));  // the context outlives the cleanup

    WdfObjectDereference(newer);
    EXPECT_EQ(takeLog(), (std::vector<std::string>{"destroy C2", "destroy P"}));
    EXPECT_EQ(framework().liveObjectCount(), 1u);  // the driver object

    WdfObjectReference(parent);
    expectViolations({rt::Rule::UseAfterDelete});
}

TEST_F(ObjectTest, DriverTeardownDisposesObjectsItStillOwns) {
    WDFOBJECT parent = create("P");
    create("C", parent);
    framework().unloadDriver(kService);
    EXPECT_EQ(takeLog(),
              (std::vector<std::string>{"cleanup C", "destroy C", "cleanup P", "destroy P"}));
    EXPECT_EQ(framework().liveObjectCount(), 0u);
}

TEST_F(ObjectTest, ContextsAreZeroFilledTypedAndMapBackToTheirObject) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, BIG_CONTEXT);
    attributes.ContextSizeOverride = 200;
    WDFOBJECT object;
    ASSERT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    auto* big = WdfObjectGet_BIG_CONTEXT(object);
    ASSERT_NE(big, nullptr);
    const auto* bytes = reinterpret_cast<const UCHAR*>(big);
    EXPECT_EQ(std::count(bytes, bytes + 200, 0), 200);
    EXPECT_EQ(GetNamed(object), nullptr);
    EXPECT_EQ(WdfObjectContextGetObject(big), object);

    WDF_OBJECT_ATTRIBUTES more;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&more, NAMED_CONTEXT);
    PVOID added = nullptr;
    ASSERT_EQ(WdfObjectAllocateContext(object, &more, &added), STATUS_SUCCESS);
    EXPECT_EQ(added, GetNamed(object));
    EXPECT_EQ(GetNamed(object)->name, nullptr);
    EXPECT_EQ(WdfObjectContextGetObject(added), object);
    PVOID again = nullptr;
    EXPECT_EQ(WdfObjectAllocateContext(object, &more, &again), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(again, added);

    WDF_OBJECT_ATTRIBUTES untyped;
    WDF_OBJECT_ATTRIBUTES_INIT(&untyped);
    EXPECT_EQ(WdfObjectAllocateContext(object, &untyped, &again), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(ObjectTest, DeleteIsRefusedForObjectsTheFrameworkOwns) {
    WdfObjectDelete(driver());
    WdfObjectDelete(device());
    expectViolations({rt::Rule::ContractViolation, rt::Rule::ContractViolation});
    // Both stay usable.
    EXPECT_NE(WdfDriverWdmGetDriverObject(driver()), nullptr);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device();
    WDFOBJECT child;
    EXPECT_EQ(WdfObjectCreate(&attributes, &child), STATUS_SUCCESS);
}

TEST_F(ObjectTest, ReferenceMisuseIsReportedAndHarmless) {
    WDFOBJECT object = create("O");
    WdfObjectDereference(object);  // would drop the creation reference
    expectViolations({rt::Rule::ContractViolation});
    EXPECT_TRUE(takeLog().empty());

    WdfObjectReferenceWithTag(object, (PVOID)1);
    WdfObjectDelete(object);
    WdfObjectDelete(object);  // deleted already, though still referenced
    expectViolations({rt::Rule::UseAfterDelete});
    WdfObjectDereferenceWithTag(object, (PVOID)1);
    EXPECT_EQ(takeLog(), (std::vector<std::string>{"cleanup O", "destroy O"}));
}

// Each bad handle reaches a call that must report it and answer as for no object.
TEST_F(ObjectTest, BadHandlesAreReportedNotDereferenced) {
    WDFOBJECT deleted;
    ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &deleted), STATUS_SUCCESS);
    WdfObjectDelete(deleted);
    WDFSTRING string;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
    int onStack = 0;
    struct Case {
        const char* what;
        WDFOBJECT handle;
        rt::Rule rule;
    };
    const Case cases[] = {
        {"null", nullptr, rt::Rule::InvalidHandle},
        {"a pointer", &onStack, rt::Rule::InvalidHandle},
        {"never issued", reinterpret_cast<WDFOBJECT>(uintptr_t{0x7ff00001}),
         rt::Rule::InvalidHandle},
        {"deleted", deleted, rt::Rule::UseAfterDelete},
        {"another type", string, rt::Rule::InvalidHandle},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(WdfCollectionGetCount(static_cast<WDFCOLLECTION>(c.handle)), 0u);
        expectViolations({c.rule});
    }
}

TEST_F(ObjectTest, AttributesAreValidatedAtCreation) {
    WDFOBJECT deleted;
    ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &deleted), STATUS_SUCCESS);
    WdfObjectDelete(deleted);
    struct Case {
        const char* what;
        void (*edit)(WDF_OBJECT_ATTRIBUTES*, WDFOBJECT deleted);
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"valid", [](WDF_OBJECT_ATTRIBUTES*, WDFOBJECT) {}, STATUS_SUCCESS},
        {"size", [](WDF_OBJECT_ATTRIBUTES* a, WDFOBJECT) { a->Size -= 4; },
         STATUS_INFO_LENGTH_MISMATCH},
        {"override without type",
         [](WDF_OBJECT_ATTRIBUTES* a, WDFOBJECT) { a->ContextSizeOverride = 8; },
         STATUS_WDF_OBJECT_ATTRIBUTES_INVALID},
        {"execution level",
         [](WDF_OBJECT_ATTRIBUTES* a, WDFOBJECT) { a->ExecutionLevel = WdfExecutionLevelInvalid; },
         STATUS_WDF_OBJECT_ATTRIBUTES_INVALID},
        {"scope",
         [](WDF_OBJECT_ATTRIBUTES* a, WDFOBJECT) {
             a->SynchronizationScope = (WDF_SYNCHRONIZATION_SCOPE)9;
         },
         STATUS_WDF_OBJECT_ATTRIBUTES_INVALID},
        {"deleted parent", [](WDF_OBJECT_ATTRIBUTES* a, WDFOBJECT d) { a->ParentObject = d; },
         STATUS_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        c.edit(&attributes, deleted);
        WDFOBJECT object = reinterpret_cast<WDFOBJECT>(1);
        EXPECT_EQ(WdfObjectCreate(&attributes, &object), c.expected);
        if (NT_SUCCESS(c.expected)) {
            WdfObjectDelete(object);
        } else {
            EXPECT_EQ(object, nullptr);
        }
    }
    expectViolations({rt::Rule::UseAfterDelete});  // the deleted parent
}

TEST_F(ObjectTest, ObjectsCannotBeAddedUnderAnObjectBeingDeleted) {
    static NTSTATUS status;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = [](WDFOBJECT Object) {
        WDF_OBJECT_ATTRIBUTES child;
        WDF_OBJECT_ATTRIBUTES_INIT(&child);
        child.ParentObject = Object;
        WDFOBJECT created;
        status = WdfObjectCreate(&child, &created);
    };
    WDFOBJECT object;
    ASSERT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    WdfObjectDelete(object);
    EXPECT_EQ(status, STATUS_DELETE_PENDING);
}

}  // namespace
}  // namespace vel::test
