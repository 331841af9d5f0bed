#include "velsim.h"

#include <filesystem>
#include <variant>

#include "enumerate.h"
#include "options.h"
#include "simulation.h"
#include "vel/devices/handset_presets.h"
#include "vel/kernel/status.h"

namespace vel::velsim {

namespace {

int usageError(std::ostream& err, const std::string& message) {
    err << "velsim: " << message << "\n";
    return kExitUsage;
}

int systemError(std::ostream& err, const std::string& message) {
    err << "velsim: " << message << "\n";
    return kExitFailure;
}

// A failure message when velbus's module should be there and is not.
std::string missingBusModule(const Environment& env) {
    if (!env.busModule.empty() && !std::filesystem::exists(env.busModule)) {
        return "velbus is not built: " + env.busModule + " does not exist";
    }
    return {};
}

int runTree(const Options& options, const Environment& env, std::ostream& out, std::ostream& err) {
    if (std::string missing = missingBusModule(env); !missing.empty()) {
        return systemError(err, missing);
    }
    SimulationSetup setup;
    setup.seed = options.seed;
    setup.busModule = env.busModule;
    setup.capture = options.capture;
    setup.device = dev::handsetPreset(options.preset);
    setup.speed = *dev::presetSpeed(options.preset);

    std::string error;
    std::unique_ptr<Simulation> sim = Simulation::start(setup, &error);
    if (!sim) {
        return usageError(err, error);
    }
    out << "handset " << options.preset << " ("
        << (setup.speed == usb::Speed::High ? "high" : "full") << " speed) on port " << kPort
        << ", seed " << options.seed << "\n";
    const std::optional<pnp::DeviceInfo> device = sim->device();
    std::string failure;
    if (!device) {
        failure = "the handset was not installed";
    } else {
        out << pnp::formatTree({*device});
        const bool bound = !env.busModule.empty();
        if (bound && device->state != pnp::DeviceState::Started) {
            failure = std::string("the handset did not start: ") + pnp::toString(device->state) +
                      " (" + kernel::statusName(device->problem) + ")";
        }
    }
    const std::vector<rt::Violation> violations = sim->finish();
    out << formatViolations(violations);
    if (!failure.empty()) {
        return systemError(err, failure);
    }
    return violations.empty() ? kExitSuccess : kExitFailure;
}

int runEnumerate(const Options& options, const Environment& env, std::ostream& out,
                 std::ostream& err) {
    std::variant<EnumerateInput, std::string> input = loadEnumerateInput(options);
    if (const std::string* error = std::get_if<std::string>(&input)) {
        return usageError(err, *error);
    }
    if (env.busModule.empty()) {
        return systemError(err, "enumerate needs velbus");
    }
    if (std::string missing = missingBusModule(env); !missing.empty()) {
        return systemError(err, missing);
    }
    const EnumerateResult result =
        enumerate(options, env.busModule, std::get<EnumerateInput>(input));
    if (!result.usageError.empty()) {
        return usageError(err, result.usageError);
    }
    if (!result.systemError.empty()) {
        return systemError(err, result.systemError);
    }
    // JSON output stays one object; the verifier's findings then go to the error stream.
    if (options.json) {
        out << toJson(result.report);
        if (!result.violations.empty()) {
            err << formatViolations(result.violations);
        }
    } else {
        out << toText(result.report) << formatViolations(result.violations);
    }
    return result.violations.empty() ? kExitSuccess : kExitFailure;
}

}  // namespace

int run(const std::vector<std::string>& args, const Environment& env, std::ostream& out,
        std::ostream& err) {
    const std::variant<Options, UsageError> parsed = parseArguments(args);
    if (const UsageError* error = std::get_if<UsageError>(&parsed)) {
        return usageError(err, error->message + " (velsim --help shows the usage)");
    }
    const Options& options = std::get<Options>(parsed);
    if (options.command == Command::Help) {
        out << usageText();
        return kExitSuccess;
    }
    try {
        return options.command == Command::Enumerate ? runEnumerate(options, env, out, err)
                                                     : runTree(options, env, out, err);
    } catch (const std::exception& e) {
        return systemError(err, std::string("internal error: ") + e.what());
    }
}

}  // namespace vel::velsim
