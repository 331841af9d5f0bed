// String objects.
#include "ddi.h"
#include "ddi_support.h"
#include "string_object.h"
#include "vel/runtime/faults.h"

namespace vel::wdf::ddi {

NTSTATUS WdfStringCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PCUNICODE_STRING UnicodeString,
                         PWDF_OBJECT_ATTRIBUTES StringAttributes, WDFSTRING* String) {
    Binding* binding = callerBinding(DriverGlobals, "WdfStringCreate");
    if (binding == nullptr || String == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *String = nullptr;
    if (UnicodeString != nullptr &&
        (UnicodeString->Length % sizeof(WCHAR) != 0 ||
         UnicodeString->Length > UnicodeString->MaximumLength ||
         (UnicodeString->Length != 0 && UnicodeString->Buffer == nullptr))) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = validateAttributes(StringAttributes); !NT_SUCCESS(status)) {
        return status;
    }
    Object* parent = nullptr;
    if (NTSTATUS status = resolveParent(*binding, StringAttributes, false, &parent);
        !NT_SUCCESS(status)) {
        return status;
    }
    if (injectFault(rt::fault::kStringCreate)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Object* published = nullptr;
    NTSTATUS status = publish(std::make_unique<vel::wdf::String>(*binding, textOf(UnicodeString)),
                              StringAttributes, parent, &published);
    if (NT_SUCCESS(status)) {
        *String = static_cast<WDFSTRING>(published->handle());
    }
    return status;
}

VOID WdfStringGetUnicodeString(PWDF_DRIVER_GLOBALS DriverGlobals, WDFSTRING String,
                               PUNICODE_STRING UnicodeString) {
    auto* string = lookup<vel::wdf::String>(String, "WdfStringGetUnicodeString");
    if (string == nullptr || UnicodeString == nullptr) {
        return;
    }
    *UnicodeString = string->view();
}

}  // namespace vel::wdf::ddi
