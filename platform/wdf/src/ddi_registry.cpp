// Registry calls over the kernel's registry. Every open is noted with its access mask; the
// fault points registry.open / .read / .write fail opens, queries and changes with
// STATUS_INSUFFICIENT_RESOURCES.
#include "ddi.h"
#include "ddi_support.h"
#include "registry_key.h"
#include "string_object.h"
#include "vel/runtime/faults.h"

namespace vel::wdf {

namespace {

kernel::Registry& registry() {
    return frameworkState().kernel.registry();
}

std::string nameOf(PCUNICODE_STRING name) {
    return kernel::toUtf8(textOf(name));
}

// The text of a REG_SZ / REG_EXPAND_SZ value without its terminator(s).
std::u16string stringData(const kernel::RegValue& value) {
    std::u16string text(value.data.size() / sizeof(WCHAR), u'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * sizeof(WCHAR));
    while (!text.empty() && text.back() == u'\0') {
        text.pop_back();
    }
    return text;
}

bool isString(const kernel::RegValue& value) {
    return value.type == REG_SZ || value.type == REG_EXPAND_SZ;
}

// Looks the value up for a query: missing key object, fault and absence become the status.
NTSTATUS queryValue(WDFKEY handle, PCUNICODE_STRING valueName, const char* call,
                    kernel::RegValue* value) {
    auto* key = lookup<Key>(handle, call);
    if (key == nullptr || valueName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (injectFault(rt::fault::kRegistryRead)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Registry I/O may block: other contexts can run between a driver's read and its write.
    frameworkState().runtime.yield();
    auto found = registry().value(key->path(), nameOf(valueName));
    if (!found) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *value = std::move(*found);
    return STATUS_SUCCESS;
}

NTSTATUS assignValue(WDFKEY handle, PCUNICODE_STRING valueName, const char* call,
                     kernel::RegValue value) {
    auto* key = lookup<Key>(handle, call);
    if (key == nullptr || valueName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (injectFault(rt::fault::kRegistryWrite)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    frameworkState().runtime.yield();
    registry().setValue(key->path(), nameOf(valueName), std::move(value));
    return STATUS_SUCCESS;
}

NTSTATUS openRelative(PWDF_DRIVER_GLOBALS globals, WDFKEY parentKey, PCUNICODE_STRING keyName,
                      ACCESS_MASK access, PWDF_OBJECT_ATTRIBUTES attributes, OpenDisposition how,
                      PULONG disposition, WDFKEY* key, const char* call) {
    Binding* binding = callerBinding(globals, call);
    if (binding == nullptr || key == nullptr || keyName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *key = nullptr;
    std::string path = nameOf(keyName);
    if (parentKey != nullptr) {
        auto* parent = lookup<Key>(parentKey, call);
        if (parent == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        path = parent->path() + "\\" + path;
    } else if (path.rfind("\\Registry\\", 0) != 0) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    return openKeyObject(*binding, path, access, attributes, how, disposition, nullptr, key);
}

}  // namespace

NTSTATUS openKeyObject(Binding& binding, const std::string& path, ACCESS_MASK access,
                       const WDF_OBJECT_ATTRIBUTES* attributes, OpenDisposition how,
                       PULONG disposition, Object* defaultParent, WDFKEY* key) {
    if (NTSTATUS status = validateAttributes(attributes); !NT_SUCCESS(status)) {
        return status;
    }
    Object* parent = defaultParent;
    if (parent == nullptr || (attributes != nullptr && attributes->ParentObject != nullptr)) {
        if (NTSTATUS status = resolveParent(binding, attributes, false, &parent);
            !NT_SUCCESS(status)) {
            return status;
        }
    }
    if (injectFault(rt::fault::kRegistryOpen)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    kernel::Registry& reg = registry();
    const bool exists = reg.keyExists(path);
    if (!exists) {
        if (how == OpenDisposition::OpenExisting) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        reg.createKey(path);
    }
    if (disposition != nullptr) {
        *disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    }
    reg.noteOpen(path, access);
    Object* published = nullptr;
    NTSTATUS status =
        publish(std::make_unique<Key>(binding, path, access), attributes, parent, &published);
    if (NT_SUCCESS(status)) {
        *key = static_cast<WDFKEY>(published->handle());
    }
    return status;
}

namespace ddi {

NTSTATUS WdfRegistryOpenKey(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY ParentKey,
                            PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    return openRelative(DriverGlobals, ParentKey, KeyName, DesiredAccess, KeyAttributes,
                        OpenDisposition::OpenExisting, nullptr, Key, "WdfRegistryOpenKey");
}

NTSTATUS WdfRegistryCreateKey(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY ParentKey,
                              PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                              ULONG CreateOptions, PULONG CreateDisposition,
                              PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    if ((CreateOptions & ~ULONG{REG_OPTION_VOLATILE}) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return openRelative(DriverGlobals, ParentKey, KeyName, DesiredAccess, KeyAttributes,
                        OpenDisposition::OpenOrCreate, CreateDisposition, Key,
                        "WdfRegistryCreateKey");
}

VOID WdfRegistryClose(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key) {
    if (auto* key = lookup<vel::wdf::Key>(Key, "WdfRegistryClose")) {
        key->dispose();
    }
}

// The registry has no handles of its own: the WDFKEY value stands for the open key.
HANDLE WdfRegistryWdmGetHandle(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key) {
    auto* key = lookup<vel::wdf::Key>(Key, "WdfRegistryWdmGetHandle");
    return key != nullptr ? static_cast<HANDLE>(key->handle()) : nullptr;
}

// Deletes the key (and its subkeys) and, on success, the key object with it.
NTSTATUS WdfRegistryRemoveKey(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key) {
    auto* key = lookup<vel::wdf::Key>(Key, "WdfRegistryRemoveKey");
    if (key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (injectFault(rt::fault::kRegistryWrite)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!registry().deleteKey(key->path())) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    key->dispose();
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryRemoveValue(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                PCUNICODE_STRING ValueName) {
    auto* key = lookup<vel::wdf::Key>(Key, "WdfRegistryRemoveValue");
    if (key == nullptr || ValueName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (injectFault(rt::fault::kRegistryWrite)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return registry().deleteValue(key->path(), nameOf(ValueName)) ? STATUS_SUCCESS
                                                                  : STATUS_OBJECT_NAME_NOT_FOUND;
}

// Type and length are reported whenever the value exists; a buffer shorter than the data gets
// STATUS_BUFFER_OVERFLOW and nothing copied.
NTSTATUS WdfRegistryQueryValue(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                               PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value,
                               PULONG ValueLengthQueried, PULONG ValueType) {
    if (Value == nullptr && ValueLength != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    kernel::RegValue value;
    if (NTSTATUS status = queryValue(Key, ValueName, "WdfRegistryQueryValue", &value);
        !NT_SUCCESS(status)) {
        return status;
    }
    const auto size = static_cast<ULONG>(value.data.size());
    if (ValueLengthQueried != nullptr) {
        *ValueLengthQueried = size;
    }
    if (ValueType != nullptr) {
        *ValueType = value.type;
    }
    if (ValueLength < size) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (size != 0) {
        std::memcpy(Value, value.data.data(), size);
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryULong(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                               PCUNICODE_STRING ValueName, PULONG Value) {
    if (Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    kernel::RegValue value;
    if (NTSTATUS status = queryValue(Key, ValueName, "WdfRegistryQueryULong", &value);
        !NT_SUCCESS(status)) {
        return status;
    }
    if (value.type != REG_DWORD || value.data.size() != sizeof(ULONG)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    std::memcpy(Value, value.data.data(), sizeof(ULONG));
    return STATUS_SUCCESS;
}

// *ValueByteLength receives the size the string needs (terminator included) whenever the value
// is a string. Without a Value, or with one whose MaximumLength is smaller than that, the call
// answers STATUS_BUFFER_OVERFLOW; otherwise Value holds the text (Length without terminator).
NTSTATUS WdfRegistryQueryUnicodeString(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                       PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                       PUNICODE_STRING Value) {
    if (ValueByteLength == nullptr && Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    kernel::RegValue value;
    if (NTSTATUS status = queryValue(Key, ValueName, "WdfRegistryQueryUnicodeString", &value);
        !NT_SUCCESS(status)) {
        return status;
    }
    if (!isString(value)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    const std::u16string text = stringData(value);
    const size_t needed = (text.size() + 1) * sizeof(WCHAR);
    if (needed > 0xFFFF) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (ValueByteLength != nullptr) {
        *ValueByteLength = static_cast<USHORT>(needed);
    }
    if (Value == nullptr || Value->Buffer == nullptr || Value->MaximumLength < needed) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(Value->Buffer, text.c_str(), needed);
    Value->Length = static_cast<USHORT>(needed - sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryString(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                PCUNICODE_STRING ValueName, WDFSTRING String) {
    auto* string = lookup<vel::wdf::String>(String, "WdfRegistryQueryString");
    if (string == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    kernel::RegValue value;
    if (NTSTATUS status = queryValue(Key, ValueName, "WdfRegistryQueryString", &value);
        !NT_SUCCESS(status)) {
        return status;
    }
    if (!isString(value)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    string->assign(stringData(value));
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignValue(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                PCUNICODE_STRING ValueName, ULONG ValueType, ULONG ValueLength,
                                PVOID Value) {
    if (Value == nullptr && ValueLength != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    kernel::RegValue value;
    value.type = ValueType;
    const auto* bytes = static_cast<const uint8_t*>(Value);
    value.data.assign(bytes, bytes + ValueLength);
    return assignValue(Key, ValueName, "WdfRegistryAssignValue", std::move(value));
}

NTSTATUS WdfRegistryAssignULong(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                PCUNICODE_STRING ValueName, ULONG Value) {
    return assignValue(Key, ValueName, "WdfRegistryAssignULong", kernel::RegValue::dword(Value));
}

NTSTATUS WdfRegistryAssignUnicodeString(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                        PCUNICODE_STRING ValueName, PCUNICODE_STRING Value) {
    if (Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return assignValue(Key, ValueName, "WdfRegistryAssignUnicodeString",
                       kernel::RegValue::string(textOf(Value)));
}

NTSTATUS WdfRegistryAssignString(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                 PCUNICODE_STRING ValueName, WDFSTRING String) {
    auto* string = lookup<vel::wdf::String>(String, "WdfRegistryAssignString");
    if (string == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return assignValue(Key, ValueName, "WdfRegistryAssignString",
                       kernel::RegValue::string(string->text()));
}

}  // namespace ddi
}  // namespace vel::wdf
