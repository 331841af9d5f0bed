// The record behind PWDFDEVICE_INIT: what the WdfDeviceInit*, WdfFdoInit* and WdfPdoInit* calls
// record before WdfDeviceCreate turns it into a device.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "object.h"
#include "vel/wdf/framework.h"

namespace vel::wdf {

class Device;

// A preprocess callback for one major function; no minors means every minor.
struct PreprocessEntry {
    PFN_WDFDEVICE_WDM_IRP_PREPROCESS callback = nullptr;
    std::vector<UCHAR> minors;
};

// A PDO's text for one locale.
struct DeviceText {
    std::u16string description;
    std::u16string location;
};

// What a child list hands EvtChildListCreateDevice with the PDO's init.
struct PdoInitData {
    Device* parent = nullptr;  // the child list's FDO
    class ChildList* childList = nullptr;
    std::u16string deviceId;
    std::u16string instanceId;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::map<LCID, DeviceText> texts;
    LCID defaultLocale = 0x409;
    bool forwardToParent = false;
    // The child's identification description as the child list holds it.
    std::vector<unsigned char> identification;
};

struct DeviceInitData {
    Binding* binding = nullptr;
    DeviceInstance instance;
    // The PDO an FDO attaches to (from AddDevice); nullptr for a device made through
    // Framework::runDeviceAdd without the PnP manager.
    DEVICE_OBJECT* physicalDevice = nullptr;

    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    bool exclusive = false;
    ULONG characteristics = FILE_DEVICE_SECURE_OPEN;
    std::u16string name;
    std::u16string sddl;
    bool powerPolicyOwner = true;

    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower{};
    WDF_FILEOBJECT_CONFIG fileObjectConfig{};
    bool hasFileObjectAttributes = false;
    WDF_OBJECT_ATTRIBUTES fileObjectAttributes{};
    bool hasRequestAttributes = false;
    WDF_OBJECT_ATTRIBUTES requestAttributes{};
    std::map<UCHAR, PreprocessEntry> preprocess;

    // FDO: the default child list, when configured.
    bool hasChildList = false;
    WDF_CHILD_LIST_CONFIG childListConfig{};
    WDF_OBJECT_ATTRIBUTES childListAttributes{};

    // PDO: identification.
    std::unique_ptr<PdoInitData> pdo;

    // Set by WdfDeviceCreate: the device made from this init.
    Device* created = nullptr;
};

}  // namespace vel::wdf

struct WDFDEVICE_INIT : vel::wdf::DeviceInitData {};
