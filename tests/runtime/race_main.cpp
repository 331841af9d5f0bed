// A planted data race for ThreadSanitizer: two wall-time contexts increment a plain int with no
// lock. Wall time must not add ordering between contexts, so the race is reported; the test
// passes when it is.
#include "vel/runtime/runtime.h"

int main() {
    using namespace vel::rt;
    Runtime runtime(Runtime::Options{.mode = Mode::WallTime});
    int unguarded = 0;
    auto body = [&unguarded] {
        for (int i = 0; i < 100000; ++i) {
            ++unguarded;
        }
    };
    Context& a = runtime.spawn("a", ContextKind::Pnp, body);
    Context& b = runtime.spawn("b", ContextKind::Pnp, body);
    runtime.join(a);
    runtime.join(b);
    return unguarded > 0 ? 0 : 1;
}
