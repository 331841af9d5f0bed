// Child list calls: scans and the descriptions of the children a bus reports.
#include "child_list.h"
#include "ddi.h"
#include "ddi_support.h"
#include "device.h"

namespace vel::wdf::ddi {

WDFDEVICE WdfChildListGetDevice(PWDF_DRIVER_GLOBALS, WDFCHILDLIST ChildList) {
    auto* list = lookup<vel::wdf::ChildList>(ChildList, "WdfChildListGetDevice");
    return list != nullptr ? static_cast<WDFDEVICE>(list->device().handle()) : nullptr;
}

VOID WdfChildListBeginScan(PWDF_DRIVER_GLOBALS, WDFCHILDLIST ChildList) {
    if (auto* list = lookup<vel::wdf::ChildList>(ChildList, "WdfChildListBeginScan")) {
        list->beginScan();
    }
}

VOID WdfChildListEndScan(PWDF_DRIVER_GLOBALS, WDFCHILDLIST ChildList) {
    if (auto* list = lookup<vel::wdf::ChildList>(ChildList, "WdfChildListEndScan")) {
        list->endScan();
    }
}

NTSTATUS WdfChildListAddOrUpdateChildDescriptionAsPresent(
    PWDF_DRIVER_GLOBALS, WDFCHILDLIST ChildList,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription) {
    auto* list =
        lookup<vel::wdf::ChildList>(ChildList, "WdfChildListAddOrUpdateChildDescriptionAsPresent");
    if (list == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return list->addOrUpdate(IdentificationDescription, AddressDescription);
}

NTSTATUS WdfChildListUpdateChildDescriptionAsMissing(
    PWDF_DRIVER_GLOBALS, WDFCHILDLIST ChildList,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription) {
    auto* list =
        lookup<vel::wdf::ChildList>(ChildList, "WdfChildListUpdateChildDescriptionAsMissing");
    if (list == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return list->markMissing(IdentificationDescription);
}

}  // namespace vel::wdf::ddi
