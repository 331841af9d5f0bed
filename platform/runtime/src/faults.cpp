// Fault injection. Each armed point carries its own rule and call counter, so arming one point
// never shifts the failures of another; probability rules draw from a private PRNG per point,
// which keeps a run's failures a function of its seeds whatever other points are called.
#include "vel/runtime/faults.h"

#include <mutex>
#include <stdexcept>
#include <variant>

namespace vel::rt {

namespace {

uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

struct Nth {
    uint64_t nth;
};
struct From {
    uint64_t nth;
};
struct Probability {
    double probability;
    uint64_t state;
};

struct Rule {
    std::variant<Nth, From, Probability> mode;
    uint64_t calls = 0;  // calls seen since the rule was armed

    bool fires() {
        ++calls;
        if (auto* nth = std::get_if<Nth>(&mode)) {
            return calls == nth->nth;
        }
        if (auto* from = std::get_if<From>(&mode)) {
            return calls >= from->nth;
        }
        auto& p = std::get<Probability>(mode);
        // 53 random bits give a uniform double in [0, 1).
        const double draw = static_cast<double>(splitmix64(p.state) >> 11) * 0x1.0p-53;
        return draw < p.probability;
    }
};

void requireNth(uint64_t nth) {
    if (nth == 0) {
        throw std::invalid_argument("fault injection: call numbers start at 1");
    }
}

}  // namespace

struct FaultInjector::Impl {
    uint64_t seed;
    mutable std::mutex mutex;
    std::map<std::string, Rule> rules;
    std::map<std::string, uint64_t> counts;
    std::vector<std::string> injected;

    void arm(const std::string& point, Rule rule) {
        std::lock_guard lock(mutex);
        rules.insert_or_assign(point, std::move(rule));
    }
};

FaultInjector::FaultInjector(uint64_t seed) : impl_(std::make_unique<Impl>()) {
    impl_->seed = seed;
}

FaultInjector::~FaultInjector() = default;

void FaultInjector::failNth(const std::string& point, uint64_t nth) {
    requireNth(nth);
    impl_->arm(point, Rule{Nth{nth}});
}

void FaultInjector::failFrom(const std::string& point, uint64_t nth) {
    requireNth(nth);
    impl_->arm(point, Rule{From{nth}});
}

void FaultInjector::failWithProbability(const std::string& point, double probability,
                                        uint64_t seed) {
    if (!(probability >= 0.0 && probability <= 1.0)) {
        throw std::invalid_argument("fault injection: probability must lie in [0, 1]");
    }
    // The run's seed is mixed in so that a seed sweep also varies the injected failures; one
    // (run seed, point seed) pair always yields the same sequence.
    uint64_t mix = impl_->seed;
    uint64_t state = splitmix64(mix) ^ seed;
    impl_->arm(point, Rule{Probability{probability, state}});
}

void FaultInjector::clear(const std::string& point) {
    std::lock_guard lock(impl_->mutex);
    impl_->rules.erase(point);
}

void FaultInjector::clearAll() {
    std::lock_guard lock(impl_->mutex);
    impl_->rules.clear();
}

bool FaultInjector::shouldFail(const std::string& point) {
    std::lock_guard lock(impl_->mutex);
    const uint64_t call = ++impl_->counts[point];
    auto it = impl_->rules.find(point);
    if (it == impl_->rules.end() || !it->second.fires()) {
        return false;
    }
    impl_->injected.push_back(point + "#" + std::to_string(call));
    return true;
}

std::map<std::string, uint64_t> FaultInjector::callCounts() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->counts;
}

void FaultInjector::resetCounts() {
    std::lock_guard lock(impl_->mutex);
    impl_->counts.clear();
}

std::vector<std::string> FaultInjector::injected() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->injected;
}

}  // namespace vel::rt
