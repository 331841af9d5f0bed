#include "simulation.h"

#include <cstdio>

namespace vel::velsim {

std::unique_ptr<Simulation> Simulation::start(const SimulationSetup& setup, std::string* error) {
    std::unique_ptr<Simulation> s(new Simulation);
    rt::Runtime::Options options;
    options.seed = setup.seed;
    s->runtime_ = std::make_unique<rt::Runtime>(options);
    s->kernel_ = std::make_unique<kernel::Kernel>();
    s->framework_ = std::make_unique<wdf::Framework>();
    s->pnp_ = std::make_unique<pnp::PnpManager>();
    if (!setup.busModule.empty()) {
        pnp::DriverPackage package;
        package.service = "velbus";
        package.modulePath = setup.busModule;
        package.ids = busDriverIds(setup.device->deviceDescriptor());
        package.softwareValues = setup.busSoftwareValues;
        s->pnp_->addDriverPackage(std::move(package));
    }
    s->host_ = std::make_unique<usb::HostController>();
    if (!setup.capture.empty()) {
        std::string why;
        if (!s->host_->startCapture(setup.capture, &why)) {
            *error = "--capture " + setup.capture + ": " + why;
            s->finish();
            return nullptr;
        }
    }
    s->host_->attach(kPort, setup.device, setup.speed, usb::AttachOptions{setup.uniqueId});
    s->settle();
    return s;
}

Simulation::~Simulation() {
    if (runtime_) {
        finish();
    }
}

void Simulation::settle() {
    pnp_->settle();
    runtime_->runUntilIdle();
}

std::optional<pnp::DeviceInfo> Simulation::device() const {
    DEVICE_OBJECT* pdo = host_->pdo(kPort);
    return pdo != nullptr ? pnp_->device(pdo) : std::nullopt;
}

std::vector<rt::Violation> Simulation::finish() {
    if (host_) {
        settle();
        if (host_->connected(kPort)) {
            host_->detach(kPort);
        }
        settle();
        host_->stopCapture();
        host_.reset();
    }
    pnp_.reset();
    framework_.reset();
    const uint64_t outstanding = kernel_->poolStats().outstanding;
    kernel_.reset();
    if (outstanding != 0) {
        runtime_->verifier().report(rt::Rule::ReferenceLeak, "pool",
                                    std::to_string(outstanding) + " block(s) left behind");
    }
    std::vector<rt::Violation> violations = runtime_->verifier().take();
    runtime_.reset();
    return violations;
}

std::vector<std::string> busDriverIds(const std::vector<uint8_t>& deviceDescriptor) {
    auto word = [&](size_t at) {
        return at + 1 < deviceDescriptor.size()
                   ? static_cast<unsigned>(deviceDescriptor[at] | deviceDescriptor[at + 1] << 8)
                   : 0u;
    };
    char id[40];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", word(8), word(10));
    return {id};
}

std::string formatViolations(const std::vector<rt::Violation>& violations) {
    std::string text = "verifier: " + std::to_string(violations.size()) +
                       (violations.size() == 1 ? " violation\n" : " violations\n");
    for (const rt::Violation& v : violations) {
        text += "  " + v.toString() + "\n";
    }
    return text;
}

}  // namespace vel::velsim
