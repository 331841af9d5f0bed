// A planted data race for ThreadSanitizer: two wall-time contexts increment a plain int with no
// lock. Wall time must not add ordering between contexts, so the race is reported; the test
// passes when it is.
#include <atomic>

#include "vel/runtime/runtime.h"

int main() {
    using namespace vel::rt;
    Runtime runtime(Runtime::Options{.mode = Mode::WallTime});
    int unguarded = 0;
    // Both increment once before and once after meeting here, so the accesses overlap in real
    // time; relaxed operations give ThreadSanitizer no ordering that would excuse them.
    std::atomic<int> arrived{0};
    auto body = [&] {
        ++unguarded;
        arrived.fetch_add(1, std::memory_order_relaxed);
        while (arrived.load(std::memory_order_relaxed) < 2) {
        }
        ++unguarded;
    };
    Context& a = runtime.spawn("a", ContextKind::Pnp, body);
    Context& b = runtime.spawn("b", ContextKind::Pnp, body);
    runtime.join(a);
    runtime.join(b);
    return unguarded > 0 ? 0 : 1;
}
