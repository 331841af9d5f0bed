#include "usb_select.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "ddi_support.h"
#include "usb_device.h"
#include "usb_interface.h"
#include "usb_pipe.h"
#include "usb_urb.h"

namespace vel::wdf {

namespace {

constexpr ULONG kSelectTimeoutMs = 2000;

// One interface and the setting (index) chosen for it.
struct Choice {
    UsbInterface* usbInterface;
    UCHAR settingIndex;
};

// A URB in a buffer at least as large as its structure (a select of interfaces without pipes
// is shorter than that).
struct UrbBuffer {
    std::vector<unsigned char> bytes;
    URB* urb() { return reinterpret_cast<URB*>(bytes.data()); }
    explicit UrbBuffer(size_t length) : bytes(std::max(length, sizeof(URB)), 0) {}
};

UCHAR pipesOf(const Choice& c) {
    return c.usbInterface->setting(c.settingIndex)->descriptor.bNumEndpoints;
}

void fillInterfaceRequest(USBD_INTERFACE_INFORMATION* info, const Choice& c) {
    const USB_INTERFACE_DESCRIPTOR& d = c.usbInterface->setting(c.settingIndex)->descriptor;
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d.bNumEndpoints));
    info->InterfaceNumber = d.bInterfaceNumber;
    info->AlternateSetting = d.bAlternateSetting;
    info->NumberOfPipes = d.bNumEndpoints;
    for (ULONG i = 0; i < d.bNumEndpoints; ++i) {
        info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        info->Pipes[i].PipeFlags = 0;
    }
}

void deletePipes(const std::vector<UsbPipe*>& pipes) {
    for (UsbPipe* pipe : pipes) {
        pipe->dispose();
    }
}

// Makes the pipes the stack answered for `info` the interface's configured ones.
NTSTATUS installPipes(UsbDevice& device, UsbInterface& usbInterface, UCHAR settingIndex,
                      const USBD_INTERFACE_INFORMATION& info,
                      const WDF_OBJECT_ATTRIBUTES* pipeAttributes) {
    std::vector<UsbPipe*> pipes;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < info.NumberOfPipes && NT_SUCCESS(status); ++i) {
        Object* published = nullptr;
        status = publish(std::make_unique<UsbPipe>(device.binding(), device, usbInterface,
                                                   info.Pipes[i], settingIndex),
                         pipeAttributes, &usbInterface, &published);
        if (NT_SUCCESS(status)) {
            pipes.push_back(static_cast<UsbPipe*>(published));
        }
    }
    if (!NT_SUCCESS(status)) {
        deletePipes(pipes);
        deletePipes(usbInterface.uninstall());
        return status;
    }
    deletePipes(usbInterface.install(settingIndex, info.InterfaceHandle, std::move(pipes)));
    return STATUS_SUCCESS;
}

void teardown(UsbDevice& device) {
    for (UsbInterface* i : device.interfaces()) {
        deletePipes(i->uninstall());
    }
    device.setConfigurationHandle(nullptr);
}

// The entries of a select-configuration URB, each Length bytes long, inside the URB.
std::vector<USBD_INTERFACE_INFORMATION*> entriesOf(URB* urb) {
    std::vector<USBD_INTERFACE_INFORMATION*> entries;
    auto* bytes = reinterpret_cast<unsigned char*>(urb);
    auto* end = bytes + urb->UrbHeader.Length;
    auto* entry = reinterpret_cast<unsigned char*>(&urb->UrbSelectConfiguration.Interface);
    while (entry + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(entry);
        if (info->Length == 0 || entry + info->Length > end) {
            break;
        }
        entries.push_back(info);
        entry += info->Length;
    }
    return entries;
}

// Interfaces 2..N with pipes are selected again on their own after the configuration.
NTSTATUS selectFollowingInterfaces(PWDF_DRIVER_GLOBALS globals, UsbDevice& device,
                                   const std::vector<USBD_INTERFACE_INFORMATION*>& entries) {
    const WDF_REQUEST_SEND_OPTIONS options = urbSendOptions(kSelectTimeoutMs, true);
    for (size_t i = 1; i < entries.size(); ++i) {
        USBD_INTERFACE_INFORMATION* entry = entries[i];
        if (entry->NumberOfPipes == 0) {
            continue;
        }
        const size_t length = GET_SELECT_INTERFACE_REQUEST_SIZE(entry->NumberOfPipes);
        UrbBuffer buffer(length);
        UsbBuildSelectInterfaceRequest(buffer.urb(), static_cast<USHORT>(length),
                                       device.configurationHandle(), entry->InterfaceNumber,
                                       entry->AlternateSetting);
        USBD_INTERFACE_INFORMATION& info = buffer.urb()->UrbSelectInterface.Interface;
        info.NumberOfPipes = entry->NumberOfPipes;
        for (ULONG p = 0; p < entry->NumberOfPipes; ++p) {
            info.Pipes[p].MaximumTransferSize = entry->Pipes[p].MaximumTransferSize;
        }
        NTSTATUS status =
            sendUrbSynchronously(globals, device, nullptr, &options, buffer.urb(),
                                 WdfUsbRequestTypeDeviceUrb, "WdfUsbTargetDeviceSelectConfig");
        if (!NT_SUCCESS(status)) {
            return status;
        }
        const USHORT keep = entry->Length;
        std::memcpy(entry, &info, std::min<size_t>(keep, info.Length));
        entry->Length = keep;
    }
    return STATUS_SUCCESS;
}

// After the stack configured the device: pipes for each interface the URB named, none for
// the others.
NTSTATUS applyConfiguration(UsbDevice& device, URB* urb,
                            const std::vector<USBD_INTERFACE_INFORMATION*>& entries,
                            const WDF_OBJECT_ATTRIBUTES* pipeAttributes) {
    device.setConfigurationHandle(urb->UrbSelectConfiguration.ConfigurationHandle);
    std::vector<UsbInterface*> named;
    for (USBD_INTERFACE_INFORMATION* entry : entries) {
        UsbInterface* i = device.interfaceByNumber(entry->InterfaceNumber);
        if (i == nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        const int index = i->settingIndexOf(entry->AlternateSetting);
        if (NTSTATUS status = installPipes(device, *i, static_cast<UCHAR>(std::max(index, 0)),
                                           *entry, pipeAttributes);
            !NT_SUCCESS(status)) {
            return status;
        }
        named.push_back(i);
    }
    for (UsbInterface* i : device.interfaces()) {
        if (std::find(named.begin(), named.end(), i) == named.end()) {
            deletePipes(i->uninstall());
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS sendConfiguration(PWDF_DRIVER_GLOBALS globals, UsbDevice& device, URB* urb,
                           const WDF_OBJECT_ATTRIBUTES* pipeAttributes) {
    const WDF_REQUEST_SEND_OPTIONS options = urbSendOptions(kSelectTimeoutMs, true);
    NTSTATUS status =
        sendUrbSynchronously(globals, device, nullptr, &options, urb, WdfUsbRequestTypeDeviceUrb,
                             "WdfUsbTargetDeviceSelectConfig");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const std::vector<USBD_INTERFACE_INFORMATION*> entries = entriesOf(urb);
    device.setConfigurationHandle(urb->UrbSelectConfiguration.ConfigurationHandle);
    if (entries.size() > 1) {
        status = selectFollowingInterfaces(globals, device, entries);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return applyConfiguration(device, urb, entries, pipeAttributes);
}

NTSTATUS selectChoices(PWDF_DRIVER_GLOBALS globals, UsbDevice& device,
                       PUSB_CONFIGURATION_DESCRIPTOR configuration,
                       const std::vector<Choice>& choices,
                       const WDF_OBJECT_ATTRIBUTES* pipeAttributes) {
    size_t length = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    for (const Choice& c : choices) {
        length += GET_USBD_INTERFACE_SIZE(pipesOf(c));
    }
    if (length > 0xFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    UrbBuffer buffer(length);
    UsbBuildSelectConfigurationRequest(buffer.urb(), static_cast<USHORT>(length), configuration);
    auto* entry = reinterpret_cast<unsigned char*>(&buffer.urb()->UrbSelectConfiguration.Interface);
    for (const Choice& c : choices) {
        auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(entry);
        fillInterfaceRequest(info, c);
        entry += info->Length;
    }
    return sendConfiguration(globals, device, buffer.urb(), pipeAttributes);
}

NTSTATUS pairsToChoices(UsbDevice& device, const WDF_USB_DEVICE_SELECT_CONFIG_PARAMS& params,
                        std::vector<Choice>* choices) {
    const auto& multi = params.Types.MultiInterface;
    const auto& interfaces = device.interfaces();
    if (multi.Pairs == nullptr || multi.NumberInterfaces != interfaces.size()) {
        return STATUS_INVALID_PARAMETER;
    }
    for (UCHAR i = 0; i < multi.NumberInterfaces; ++i) {
        const WDF_USB_INTERFACE_SETTING_PAIR& pair = multi.Pairs[i];
        auto* usbInterface =
            lookup<UsbInterface>(pair.UsbInterface, "WdfUsbTargetDeviceSelectConfig");
        if (usbInterface == nullptr || &usbInterface->usbDevice() != &device ||
            pair.SettingIndex >= usbInterface->numSettings()) {
            return STATUS_INVALID_PARAMETER;
        }
        const bool seen = std::any_of(choices->begin(), choices->end(), [&](const Choice& c) {
            return c.usbInterface == usbInterface;
        });
        if (!seen) {
            choices->push_back({usbInterface, pair.SettingIndex});
        }
    }
    if (choices->size() != interfaces.size()) {
        return STATUS_INVALID_PARAMETER;  // a duplicate left an interface out
    }
    // In the device's interface order.
    std::sort(choices->begin(), choices->end(), [&](const Choice& a, const Choice& b) {
        return std::find(interfaces.begin(), interfaces.end(), a.usbInterface) <
               std::find(interfaces.begin(), interfaces.end(), b.usbInterface);
    });
    return STATUS_SUCCESS;
}

NTSTATUS descriptorsToChoices(UsbDevice& device, const WDF_USB_DEVICE_SELECT_CONFIG_PARAMS& params,
                              std::vector<Choice>* choices) {
    const auto& d = params.Types.Descriptor;
    if (d.InterfaceDescriptors == nullptr || d.NumInterfaceDescriptors == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < d.NumInterfaceDescriptors; ++i) {
        const USB_INTERFACE_DESCRIPTOR* descriptor = d.InterfaceDescriptors[i];
        if (descriptor == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        UsbInterface* usbInterface = device.interfaceByNumber(descriptor->bInterfaceNumber);
        if (usbInterface == nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        const int index = usbInterface->settingIndexOf(descriptor->bAlternateSetting);
        if (index < 0) {
            return STATUS_INVALID_PARAMETER;
        }
        choices->push_back({usbInterface, static_cast<UCHAR>(index)});
    }
    return STATUS_SUCCESS;
}

NTSTATUS deconfigure(PWDF_DRIVER_GLOBALS globals, UsbDevice& device) {
    teardown(device);
    URB urb{};
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    const WDF_REQUEST_SEND_OPTIONS options = urbSendOptions(kSelectTimeoutMs, true);
    return sendUrbSynchronously(globals, device, nullptr, &options, &urb,
                                WdfUsbRequestTypeDeviceUrb, "WdfUsbTargetDeviceSelectConfig");
}

}  // namespace

NTSTATUS selectConfiguration(PWDF_DRIVER_GLOBALS globals, UsbDevice& device,
                             const WDF_OBJECT_ATTRIBUTES* pipeAttributes,
                             WDF_USB_DEVICE_SELECT_CONFIG_PARAMS& params) {
    if (params.Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (params.Type < WdfUsbTargetDeviceSelectConfigTypeDeconfig ||
        params.Type > WdfUsbTargetDeviceSelectConfigTypeUrb) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = validateAttributes(pipeAttributes); !NT_SUCCESS(status)) {
        return status;
    }
    if (pipeAttributes != nullptr && pipeAttributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER;  // pipes belong to their interface
    }
    if (device.declaredNoInterfaces()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const auto& interfaces = device.interfaces();
    if (interfaces.empty()) {
        return STATUS_SUCCESS;
    }
    std::vector<Choice> choices;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = device.configuration();
    NTSTATUS status = STATUS_SUCCESS;
    switch (params.Type) {
        case WdfUsbTargetDeviceSelectConfigTypeDeconfig:
            return deconfigure(globals, device);
        case WdfUsbTargetDeviceSelectConfigTypeSingleInterface:
            if (interfaces.size() != 1) {
                return STATUS_INVALID_PARAMETER;
            }
            choices.push_back({interfaces[0], 0});
            break;
        case WdfUsbTargetDeviceSelectConfigTypeMultiInterface:
            for (UsbInterface* i : interfaces) {
                choices.push_back({i, 0});
            }
            break;
        case WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs:
            status = pairsToChoices(device, params, &choices);
            break;
        case WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor:
            status = descriptorsToChoices(device, params, &choices);
            if (params.Types.Descriptor.ConfigurationDescriptor != nullptr) {
                configuration = params.Types.Descriptor.ConfigurationDescriptor;
            }
            break;
        case WdfUsbTargetDeviceSelectConfigTypeUrb: {
            URB* urb = params.Types.Urb.Urb;
            if (urb == nullptr || urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION ||
                urb->UrbHeader.Length <
                    sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_PIPE_INFORMATION)) {
                return STATUS_INVALID_PARAMETER;
            }
            return sendConfiguration(globals, device, urb, pipeAttributes);
        }
        default:
            return STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (configuration == device.configuration() && device.configurationShort()) {
        return STATUS_DEVICE_DATA_ERROR;  // the stack would read past what the device sent
    }
    status = selectChoices(globals, device, configuration, choices, pipeAttributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (params.Type == WdfUsbTargetDeviceSelectConfigTypeSingleInterface) {
        params.Types.SingleInterface.ConfiguredUsbInterface = interfaces[0]->interfaceHandle();
        params.Types.SingleInterface.NumberConfiguredPipes =
            static_cast<UCHAR>(interfaces[0]->numConfiguredPipes());
    } else if (params.Type != WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor) {
        params.Types.MultiInterface.NumberOfConfiguredInterfaces =
            static_cast<UCHAR>(choices.size());
    }
    return STATUS_SUCCESS;
}

NTSTATUS selectSetting(PWDF_DRIVER_GLOBALS globals, UsbInterface& usbInterface,
                       const WDF_OBJECT_ATTRIBUTES* pipeAttributes,
                       const WDF_USB_INTERFACE_SELECT_SETTING_PARAMS& params) {
    if (params.Size != sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (NTSTATUS status = validateAttributes(pipeAttributes); !NT_SUCCESS(status)) {
        return status;
    }
    if (pipeAttributes != nullptr && pipeAttributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UsbDevice& device = usbInterface.usbDevice();
    URB* callerUrb = nullptr;
    int index = -1;
    switch (params.Type) {
        case WdfUsbInterfaceSelectSettingTypeSetting:
            if (params.Types.Interface.SettingIndex >= usbInterface.numSettings()) {
                return STATUS_INVALID_PARAMETER;
            }
            index = params.Types.Interface.SettingIndex;
            break;
        case WdfUsbInterfaceSelectSettingTypeDescriptor: {
            const USB_INTERFACE_DESCRIPTOR* d = params.Types.Descriptor.InterfaceDescriptor;
            if (d == nullptr || d->bInterfaceNumber != usbInterface.number()) {
                return STATUS_INVALID_PARAMETER;
            }
            index = usbInterface.settingIndexOf(d->bAlternateSetting);
            if (index < 0) {
                return STATUS_INVALID_PARAMETER;
            }
            break;
        }
        case WdfUsbInterfaceSelectSettingTypeUrb:
            callerUrb = params.Types.Urb.Urb;
            if (callerUrb == nullptr ||
                callerUrb->UrbHeader.Function != URB_FUNCTION_SELECT_INTERFACE ||
                callerUrb->UrbHeader.Length <
                    sizeof(struct _URB_SELECT_INTERFACE) - sizeof(USBD_PIPE_INFORMATION)) {
                return STATUS_INVALID_PARAMETER;
            }
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    if (callerUrb == nullptr && usbInterface.configured() &&
        usbInterface.configuredSetting() == index) {
        return STATUS_SUCCESS;
    }
    if (device.configurationHandle() == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::unique_ptr<UrbBuffer> own;
    URB* urb = callerUrb;
    if (urb == nullptr) {
        const Choice c{&usbInterface, static_cast<UCHAR>(index)};
        const UCHAR pipes = pipesOf(c);
        const size_t length = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
        own = std::make_unique<UrbBuffer>(length);
        urb = own->urb();
        UsbBuildSelectInterfaceRequest(
            urb, static_cast<USHORT>(length), device.configurationHandle(), usbInterface.number(),
            c.usbInterface->setting(c.settingIndex)->descriptor.bAlternateSetting);
        const USHORT keep = urb->UrbSelectInterface.Interface.Length;
        fillInterfaceRequest(&urb->UrbSelectInterface.Interface, c);
        urb->UrbSelectInterface.Interface.Length = keep;
    }
    // The pipes of the setting being replaced stop first: their endpoints go away.
    for (UsbPipe* pipe : usbInterface.pipes()) {
        pipe->stop(WdfIoTargetCancelSentIo);
    }
    const WDF_REQUEST_SEND_OPTIONS options = urbSendOptions(kSelectTimeoutMs, true);
    NTSTATUS status =
        sendUrbSynchronously(globals, device, nullptr, &options, urb, WdfUsbRequestTypeDeviceUrb,
                             "WdfUsbInterfaceSelectSetting");
    if (!NT_SUCCESS(status)) {
        for (UsbPipe* pipe : usbInterface.pipes()) {
            pipe->start();
        }
        return status;
    }
    const USBD_INTERFACE_INFORMATION& answer = urb->UrbSelectInterface.Interface;
    if (answer.InterfaceNumber != usbInterface.number()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    index = usbInterface.settingIndexOf(answer.AlternateSetting);
    return installPipes(device, usbInterface, static_cast<UCHAR>(std::max(index, 0)), answer,
                        pipeAttributes);
}

}  // namespace vel::wdf
