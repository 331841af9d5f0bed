// Child list calls: scans and the descriptions of the children a bus reports.
#include "child_list.h"
#include "ddi.h"
#include "ddi_support.h"
#include "device.h"
#include "vel/runtime/faults.h"

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
    // The copy of the description could not be allocated.
    if (injectFault(vel::rt::fault::kChildListAdd)) {
        return STATUS_INSUFFICIENT_RESOURCES;
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

WDFDEVICE WdfChildListRetrievePdo(PWDF_DRIVER_GLOBALS, WDFCHILDLIST ChildList,
                                  PWDF_CHILD_RETRIEVE_INFO RetrieveInfo) {
    auto* list = lookup<vel::wdf::ChildList>(ChildList, "WdfChildListRetrievePdo");
    if (list == nullptr || RetrieveInfo == nullptr) {
        return nullptr;
    }
    const WDF_CHILD_LIST_CONFIG& config = list->config();
    const PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER id = RetrieveInfo->IdentificationDescription;
    const PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER address = RetrieveInfo->AddressDescription;
    if (RetrieveInfo->Size != sizeof(WDF_CHILD_RETRIEVE_INFO) || id == nullptr ||
        id->IdentificationDescriptionSize != config.IdentificationDescriptionSize ||
        (address != nullptr && address->AddressDescriptionSize != config.AddressDescriptionSize)) {
        reportViolation(rt::Rule::ContractViolation, "WDFCHILDLIST",
                        "WdfChildListRetrievePdo: retrieve info or description of the wrong size");
        return nullptr;
    }
    vel::wdf::Device* pdo = list->retrievePdo(id, address, &RetrieveInfo->Status);
    return pdo != nullptr ? static_cast<WDFDEVICE>(pdo->handle()) : nullptr;
}

BOOLEAN WdfChildListRequestChildEject(
    PWDF_DRIVER_GLOBALS, WDFCHILDLIST ChildList,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription) {
    auto* list = lookup<vel::wdf::ChildList>(ChildList, "WdfChildListRequestChildEject");
    if (list == nullptr || IdentificationDescription == nullptr ||
        IdentificationDescription->IdentificationDescriptionSize !=
            list->config().IdentificationDescriptionSize) {
        return FALSE;
    }
    return list->requestEject(IdentificationDescription) ? TRUE : FALSE;
}

}  // namespace vel::wdf::ddi
