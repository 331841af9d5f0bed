// WDFKEY: an open registry key of the kernel's registry, by full path.
#pragma once

#include <string>

#include "object.h"

namespace vel::wdf {

class Key : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::Key;

    Key(Binding& binding, std::string path, ACCESS_MASK access)
        : Object(kType, binding), path_(std::move(path)), access_(access) {}

    const std::string& path() const { return path_; }
    ACCESS_MASK access() const { return access_; }

  private:
    std::string path_;
    ACCESS_MASK access_;
};

enum class OpenDisposition { OpenExisting, OpenOrCreate };

// Opens (or creates) the key at `path` as a WDFKEY of the binding's driver, noting the access
// asked for with the registry. Fault point registry.open fails it with
// STATUS_INSUFFICIENT_RESOURCES; a missing key opened with OpenExisting is
// STATUS_OBJECT_NAME_NOT_FOUND. `disposition` (optional) receives REG_CREATED_NEW_KEY or
// REG_OPENED_EXISTING_KEY. Without a parent in the attributes the key hangs from
// `defaultParent`, or from the driver when that is null.
NTSTATUS openKeyObject(Binding& binding, const std::string& path, ACCESS_MASK access,
                       const WDF_OBJECT_ATTRIBUTES* attributes, OpenDisposition how,
                       PULONG disposition, Object* defaultParent, WDFKEY* key);

}  // namespace vel::wdf
