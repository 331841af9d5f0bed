// File object calls.
#include "ddi.h"
#include "ddi_support.h"
#include "device.h"
#include "file_object.h"

namespace vel::wdf::ddi {

WDFDEVICE WdfFileObjectGetDevice(PWDF_DRIVER_GLOBALS, WDFFILEOBJECT FileObject) {
    auto* file = lookup<vel::wdf::FileObject>(FileObject, "WdfFileObjectGetDevice");
    return file != nullptr ? static_cast<WDFDEVICE>(file->device().handle()) : nullptr;
}

PFILE_OBJECT WdfFileObjectWdmGetFileObject(PWDF_DRIVER_GLOBALS, WDFFILEOBJECT FileObject) {
    auto* file = lookup<vel::wdf::FileObject>(FileObject, "WdfFileObjectWdmGetFileObject");
    return file != nullptr ? file->wdmFile() : nullptr;
}

// The part of the opened name after the device's name; NULL when there is none.
PUNICODE_STRING WdfFileObjectGetFileName(PWDF_DRIVER_GLOBALS, WDFFILEOBJECT FileObject) {
    auto* file = lookup<vel::wdf::FileObject>(FileObject, "WdfFileObjectGetFileName");
    if (file == nullptr || file->wdmFile() == nullptr) {
        return nullptr;
    }
    return &file->wdmFile()->FileName;
}

ULONG WdfFileObjectGetFlags(PWDF_DRIVER_GLOBALS, WDFFILEOBJECT FileObject) {
    auto* file = lookup<vel::wdf::FileObject>(FileObject, "WdfFileObjectGetFlags");
    return file != nullptr && file->wdmFile() != nullptr ? file->wdmFile()->Flags : 0;
}

}  // namespace vel::wdf::ddi
