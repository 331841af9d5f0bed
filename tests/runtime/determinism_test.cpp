// A simulated run is a function of its seed: one seed replays the same interleaving, and
// different seeds explore different ones. These tests loop over many seeds.
#include <set>

#include "runtime_fixture.h"
#include "vel/runtime/trace.h"

namespace vel::rt::test {
namespace {

// Three contexts contend on a spin lock, hand off through events, queue DPCs and wait with
// time-outs while a timer fires. Returns the trace of scheduling decisions and steps.
std::string contendedRun(uint64_t seed) {
    Runtime runtime(Runtime::Options{.seed = seed});
    runtime.trace().enable(static_cast<unsigned>(TraceCategory::Scheduler) |
                           static_cast<unsigned>(TraceCategory::Driver));
    auto note = [&runtime](std::string text) {
        runtime.trace().write(TraceCategory::Driver, std::move(text));
    };
    SpinLock lock("shared");
    Event ready(Event::Type::AutoReset, false, "ready");
    Event timerFired(Event::Type::ManualReset, false, "timer fired");
    int shared = 0;
    runtime.armTimer(2 * kTicksPerMs, [&] {
        note("timer");
        timerFired.set();
    });
    std::vector<Context*> contexts;
    for (std::string name : {"a", "b", "c"}) {
        contexts.push_back(&runtime.spawn(name, ContextKind::Pnp, [&, name] {
            for (int i = 0; i < 3; ++i) {
                lock.acquire();
                note(name + " sees " + std::to_string(++shared));
                lock.release();
                runtime.queueDpc([&, name] {
                    note("dpc for " + name);
                    ready.set();
                });
                note(name + (ready.wait(kTicksPerMs) ? " woken" : " timed out"));
            }
            timerFired.wait();
        }));
    }
    for (Context* context : contexts) {
        runtime.join(*context);
    }
    EXPECT_EQ(runtime.verifier().count(), 0u);
    return runtime.trace().dump();
}

// Two contexts append to one log at scheduling points; the result is the interleaving.
std::string racyOrder(uint64_t seed) {
    Runtime runtime(Runtime::Options{.seed = seed});
    std::string order;
    auto appender = [&](char c) {
        return [&, c] {
            for (int i = 0; i < 4; ++i) {
                order += c;
                runtime.yield();
            }
        };
    };
    Context& x = runtime.spawn("x", ContextKind::Pnp, appender('x'));
    Context& y = runtime.spawn("y", ContextKind::Pnp, appender('y'));
    runtime.join(x);
    runtime.join(y);
    return order;
}

TEST(Determinism, OneSeedReplaysTheSameTrace) {
    std::set<std::string> distinct;
    for (uint64_t seed = 1; seed <= 10; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::string first = contendedRun(seed);
        EXPECT_EQ(first, contendedRun(seed));
        EXPECT_NE(first.find("switch to"), std::string::npos);
        EXPECT_NE(first.find("clock jumps to"), std::string::npos);
        EXPECT_NE(first.find("timer"), std::string::npos);
        distinct.insert(first);
    }
    EXPECT_GE(distinct.size(), 2u);
}

TEST(Determinism, SeedsReachDifferentInterleavings) {
    std::set<std::string> orders;
    for (uint64_t seed = 1; seed <= 50; ++seed) {
        std::string order = racyOrder(seed);
        ASSERT_EQ(order, racyOrder(seed)) << "seed " << seed;
        orders.insert(order);
    }
    EXPECT_GE(orders.size(), 2u);
}

TEST(Determinism, SpinLockExcludesUnderEverySeed) {
    for (uint64_t seed = 1; seed <= 50; ++seed) {
        Runtime runtime(Runtime::Options{.seed = seed});
        SpinLock lock("counter");
        int counter = 0;
        auto body = [&] {
            for (int i = 0; i < 20; ++i) {
                lock.acquire();
                int seen = counter;
                runtime.yield();
                counter = seen + 1;
                lock.release();
            }
        };
        Context& a = runtime.spawn("a", ContextKind::Pnp, body);
        Context& b = runtime.spawn("b", ContextKind::Pnp, body);
        runtime.queueDpc(body);
        runtime.join(a);
        runtime.join(b);
        runtime.runUntilIdle();
        EXPECT_EQ(counter, 60) << "seed " << seed;
        EXPECT_EQ(runtime.verifier().count(), 0u) << describe(runtime.verifier().violations());
    }
}

}  // namespace
}  // namespace vel::rt::test
