#include "enumerate.h"

#include <charconv>
#include <cstring>
#include <optional>

#include "simulation.h"
#include "vel/devices/descriptor_file.h"
#include "vel/devices/function_device.h"
#include "vel/kernel/io.h"
#include "vel/kernel/registry.h"
#include "vel_usb.h"

namespace vel::velsim {

namespace {

using Bytes = std::vector<uint8_t>;

std::optional<Bytes> load(const std::string& path, std::string* error) {
    const dev::LoadResult result = dev::loadDescriptorFile(path);
    if (!result.ok()) {
        *error = result.error().describe();
        return std::nullopt;
    }
    return result.value().bytes;
}

// GET_DESCRIPTOR sent to a child as its function driver would: an URB in an internal device
// control IRP. The bytes returned, or nullopt when the request failed.
std::optional<Bytes> readDescriptor(DEVICE_OBJECT* pdo, uint8_t type, uint16_t length) {
    Bytes buffer(length);
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                 buffer.data(), nullptr, length, nullptr);
    kernel::IrpPtr irp = kernel::IoManager::allocateIrp(pdo->StackSize);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp.get());
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (!NT_SUCCESS(kernel::IoManager::current().sendAndWait(pdo, irp.get()))) {
        return std::nullopt;
    }
    buffer.resize(std::min<size_t>(urb.UrbControlDescriptorRequest.TransferBufferLength, length));
    return buffer;
}

// The configuration descriptor a child answers: its header first, then wTotalLength bytes.
std::optional<Bytes> readConfiguration(DEVICE_OBJECT* pdo) {
    const std::optional<Bytes> header = readDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                                       sizeof(USB_CONFIGURATION_DESCRIPTOR));
    if (!header || header->size() < 4) {
        return header;
    }
    const uint16_t total = static_cast<uint16_t>((*header)[2] | (*header)[3] << 8);
    return total > header->size() ? readDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, total)
                                  : header;
}

// The "Mi_xx" of a device ID, case-insensitive; 0 without one.
uint8_t interfaceOf(const std::string& deviceId) {
    for (size_t at = 0; at + 6 <= deviceId.size(); ++at) {
        if (deviceId[at] == '&' && (deviceId[at + 1] | 0x20) == 'm' &&
            (deviceId[at + 2] | 0x20) == 'i' && deviceId[at + 3] == '_') {
            unsigned value = 0;
            std::from_chars(deviceId.data() + at + 4, deviceId.data() + at + 6, value, 16);
            return static_cast<uint8_t>(value);
        }
    }
    return 0;
}

FunctionReport describeChild(const pnp::DeviceInfo& child) {
    FunctionReport f;
    f.interface = interfaceOf(child.deviceId);
    f.text = child.description;
    f.location = child.location;
    f.deviceId = child.deviceId;
    f.hardwareIds = child.hardwareIds;
    f.compatibleIds = child.compatibleIds;
    f.instanceId = child.instanceId;
    if (std::optional<Bytes> device =
            readDescriptor(child.pdo, USB_DEVICE_DESCRIPTOR_TYPE, sizeof(USB_DEVICE_DESCRIPTOR))) {
        f.deviceDescriptor = std::move(*device);
    }
    if (f.deviceDescriptor.size() >= 7) {
        f.cls = f.deviceDescriptor[4];
        f.subClass = f.deviceDescriptor[5];
        f.protocol = f.deviceDescriptor[6];
    }
    if (std::optional<Bytes> config = readConfiguration(child.pdo)) {
        f.configDescriptor = std::move(*config);
    }
    if (f.configDescriptor.size() >= 5) {
        f.interfaces = f.configDescriptor[4];
    }
    return f;
}

struct Pass {
    EnumerationReport report;
    std::vector<rt::Violation> violations;
    std::string usageError;
    std::string systemError;
};

Pass runPass(const Options& options, const std::string& busModule, const EnumerateInput& input,
             bool withDisables, bool capture) {
    SimulationSetup setup;
    setup.seed = options.seed;
    setup.busModule = busModule;
    setup.capture = capture ? options.capture : std::string();
    setup.device = dev::descriptorOnlyDevice(input.device, {input.config}, options.serial);
    setup.speed = usb::Speed::High;
    setup.uniqueId = options.uniqueId;
    if (withDisables) {
        for (const uint8_t number : options.disabled) {
            char name[16];
            std::snprintf(name, sizeof name, "DisableIf_%02x", number);
            setup.busSoftwareValues.push_back({name, kernel::RegValue::dword(1)});
        }
    }

    Pass pass;
    std::unique_ptr<Simulation> sim = Simulation::start(setup, &pass.usageError);
    if (!sim) {
        return pass;
    }
    const std::optional<pnp::DeviceInfo> parent = sim->device();
    if (!parent) {
        pass.systemError = "the device was not installed";
    } else if (parent->service.empty()) {
        pass.systemError = "velbus was not bound to the device " + parent->instancePath;
    } else {
        pass.report.status =
            parent->state == pnp::DeviceState::Started ? STATUS_SUCCESS : parent->problem;
        for (const pnp::DeviceInfo& child : parent->children) {
            pass.report.functions.push_back(describeChild(child));
        }
    }
    pass.violations = sim->finish();
    return pass;
}

}  // namespace

std::vector<uint8_t> defaultDeviceDescriptor() {
    return {18,   USB_DEVICE_DESCRIPTOR_TYPE,
            0x00, 0x02,  // USB 2.0
            0x00, 0x00,
            0x00,        // class, subclass, protocol
            64,          // bMaxPacketSize0
            0x34, 0x12,  // idVendor
            0x78, 0x56,  // idProduct
            0x00, 0x01,  // bcdDevice
            1,    2,
            3,  // manufacturer, product, serial number strings
            1};
}

std::string checkDeviceDescriptor(const std::vector<uint8_t>& bytes) {
    const size_t size = sizeof(USB_DEVICE_DESCRIPTOR);
    if (bytes.size() != size) {
        return "device descriptor: " + std::to_string(bytes.size()) + " bytes, expected " +
               std::to_string(size);
    }
    if (bytes[0] != size) {
        return "device descriptor: byte 0 (bLength) is " + std::to_string(bytes[0]) +
               ", expected " + std::to_string(size);
    }
    if (bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE) {
        return "device descriptor: byte 1 (bDescriptorType) is " + std::to_string(bytes[1]) +
               ", expected 1";
    }
    const uint8_t packet = bytes[7];
    if (packet != 8 && packet != 16 && packet != 32 && packet != 64) {
        return "device descriptor: byte 7 (bMaxPacketSize0) is " + std::to_string(packet) +
               ", expected 8, 16, 32 or 64";
    }
    return {};
}

std::variant<EnumerateInput, std::string> loadEnumerateInput(const Options& options) {
    EnumerateInput input;
    std::string error;
    std::optional<Bytes> config = load(options.configFile, &error);
    if (!config) {
        return error;
    }
    input.config = std::move(*config);
    if (options.deviceFile.empty()) {
        input.device = defaultDeviceDescriptor();
        return input;
    }
    std::optional<Bytes> device = load(options.deviceFile, &error);
    if (!device) {
        return error;
    }
    if (std::string problem = checkDeviceDescriptor(*device); !problem.empty()) {
        return options.deviceFile + ": " + problem;
    }
    input.device = std::move(*device);
    return input;
}

EnumerateResult enumerate(const Options& options, const std::string& busModule,
                          const EnumerateInput& input) {
    EnumerateResult result;
    Pass last = runPass(options, busModule, input, true, true);
    result.violations = last.violations;
    result.usageError = last.usageError;
    result.systemError = last.systemError;
    result.report.status = last.report.status;
    if (options.disabled.empty() || !last.usageError.empty() || !last.systemError.empty()) {
        result.report.functions = std::move(last.report.functions);
        return result;
    }
    Pass all = runPass(options, busModule, input, false, false);
    result.violations.insert(result.violations.end(), all.violations.begin(), all.violations.end());
    if (!all.systemError.empty()) {
        result.systemError = all.systemError;
        return result;
    }
    // Functions of the full run in walk order; those without a child in the real run are
    // disabled.
    size_t next = 0;
    for (FunctionReport& f : all.report.functions) {
        if (next < last.report.functions.size() &&
            last.report.functions[next].instanceId == f.instanceId &&
            last.report.functions[next].deviceId == f.deviceId) {
            result.report.functions.push_back(std::move(last.report.functions[next++]));
        } else {
            f.disabled = true;
            result.report.functions.push_back(std::move(f));
        }
    }
    return result;
}

}  // namespace vel::velsim
