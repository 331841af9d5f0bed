// The simulated clock: it stands still while anything runs and jumps to the next deadline.
#include <cstdlib>

#include "runtime_fixture.h"

namespace vel::rt::test {
namespace {

using VirtualTime = SimulatedRuntime;

TEST_F(VirtualTime, StandsStillWhileContextsRun) {
    Context& busy = runtime.spawn("busy", ContextKind::Pnp, [&] {
        for (int i = 0; i < 1000; ++i) {
            runtime.yield();
        }
    });
    runtime.join(busy);
    EXPECT_EQ(runtime.now(), 0);
}

TEST_F(VirtualTime, DelayAndTimerEndAtTheirExactTick) {
    Ticks timerFiredAt = -1;
    runtime.armTimer(50 * kTicksPerMs, [&] { timerFiredAt = runtime.now(); });
    delay(kTicksPerSec);
    EXPECT_EQ(runtime.now(), kTicksPerSec);
    EXPECT_EQ(timerFiredAt, 50 * kTicksPerMs);
}

TEST_F(VirtualTime, TimersFireInDueOrderThenArmingOrder) {
    std::vector<std::string> fired;
    Runtime single(Runtime::Options{.dispatchWorkers = 1});
    for (auto [due, name] :
         std::vector<std::pair<Ticks, std::string>>{{30, "c"}, {10, "a1"}, {20, "b"}, {10, "a2"}}) {
        single.armTimer(due, [&fired, &single, name] {
            fired.push_back(name + "@" + std::to_string(single.now()));
        });
    }
    single.runUntilIdle();
    EXPECT_EQ(fired, (std::vector<std::string>{"a1@10", "a2@10", "b@20", "c@30"}));
}

TEST_F(VirtualTime, CancelTimerStopsOnlyAPendingTimer) {
    bool cancelledRan = false;
    bool keptRan = false;
    Runtime::TimerId cancelled = runtime.armTimer(10, [&] { cancelledRan = true; });
    Runtime::TimerId kept = runtime.armTimer(20, [&] { keptRan = true; });
    EXPECT_TRUE(runtime.cancelTimer(cancelled));
    EXPECT_FALSE(runtime.cancelTimer(cancelled));
    runtime.runUntilIdle();
    EXPECT_FALSE(cancelledRan);
    EXPECT_TRUE(keptRan);
    EXPECT_FALSE(runtime.cancelTimer(kept));
}

TEST_F(VirtualTime, RunUntilIdleStopsAtItsLimit) {
    int fired = 0;
    // A periodic timer: re-arms itself every 10 ms for ever.
    std::function<void()> tick = [&] {
        ++fired;
        runtime.armTimer(runtime.now() + 10 * kTicksPerMs, tick);
    };
    runtime.armTimer(10 * kTicksPerMs, tick);
    EXPECT_EQ(runtime.runUntilIdle(95 * kTicksPerMs), 90 * kTicksPerMs);
    EXPECT_EQ(fired, 9);
    // Due exactly at the limit counts as due.
    EXPECT_EQ(runtime.runUntilIdle(100 * kTicksPerMs), 100 * kTicksPerMs);
    EXPECT_EQ(fired, 10);
    // Teardown drops the timer that is still armed.
}

struct TimedWaitCase {
    const char* name;
    Ticks timeout;
    Ticks setAfter;  // < 0: nobody sets the event
    bool signalled;
    Ticks endsAt;
};

class TimedWait : public SimulatedRuntime, public ::testing::WithParamInterface<TimedWaitCase> {};

TEST_P(TimedWait, EndsWhenSetOrExactlyAtItsDeadline) {
    const TimedWaitCase& c = GetParam();
    Event event(Event::Type::AutoReset, false, "reply");
    Context* setter = nullptr;
    if (c.setAfter >= 0) {
        setter = &runtime.spawn("setter", ContextKind::Device, [&] {
            delay(c.setAfter);
            event.set();
        });
    }
    EXPECT_EQ(event.wait(c.timeout), c.signalled);
    EXPECT_EQ(runtime.now(), c.endsAt);
    if (setter != nullptr) {
        runtime.join(*setter);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TimedWait,
                         ::testing::Values(TimedWaitCase{"NobodySets", 20 * kTicksPerMs, -1, false,
                                                         20 * kTicksPerMs},
                                           TimedWaitCase{"SetBefore", 20 * kTicksPerMs,
                                                         5 * kTicksPerMs, true, 5 * kTicksPerMs},
                                           TimedWaitCase{"SetAfter", 20 * kTicksPerMs,
                                                         30 * kTicksPerMs, false, 20 * kTicksPerMs},
                                           TimedWaitCase{"ZeroTimeoutPolls", 0, -1, false, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VirtualTime, EventTypesReleaseOneOrAllWaiters) {
    for (Event::Type type : {Event::Type::AutoReset, Event::Type::ManualReset}) {
        Event event(type, false, "gate");
        int released = 0;
        runtime.spawn("w1", ContextKind::Pnp, [&] { released += event.wait(); });
        runtime.spawn("w2", ContextKind::Pnp, [&] { released += event.wait(); });
        runtime.runUntilIdle();
        event.set();
        runtime.runUntilIdle();
        EXPECT_EQ(released, type == Event::Type::AutoReset ? 1 : 2);
        EXPECT_EQ(event.isSet(), type == Event::Type::ManualReset);
        event.set();
        runtime.runUntilIdle();
        EXPECT_EQ(released, 2);
    }
}

// Death tests re-execute the test program ("threadsafe"), unless the environment chooses a
// style: the 32-bit build runs under an emulator that cannot be re-executed and asks for "fast"
// (the runtime, and so every thread, is created in the child).
void chooseDeathTestStyle() {
    if (std::getenv("GTEST_DEATH_TEST_STYLE") == nullptr) {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
}

TEST(Deadlock, ReportsEveryContextAndWhatItWaitsFor) {
    chooseDeathTestStyle();
    auto scenario = [] {
        Runtime runtime;
        Event first(Event::Type::ManualReset, false, "first");
        Event second(Event::Type::ManualReset, false, "second");
        Context& left = runtime.spawn("left", ContextKind::Pnp, [&] {
            first.wait();
            second.set();
        });
        runtime.spawn("right", ContextKind::Device, [&] {
            second.wait();
            first.set();
        });
        runtime.join(left);
    };
    EXPECT_DEATH(scenario(),
                 "deadlock(.|\n)*main \\(application, PASSIVE_LEVEL\\) waits for context "
                 "\"left\" to finish(.|\n)*left \\(pnp, PASSIVE_LEVEL\\) waits for event \"first\""
                 "(.|\n)*right \\(device, PASSIVE_LEVEL\\) waits for event \"second\"");
}

TEST(Deadlock, ReportsSpinLocksTakenInOppositeOrders) {
    chooseDeathTestStyle();
    auto scenario = [] {
        Runtime runtime;
        SpinLock a("A");
        SpinLock b("B");
        // Each takes its first lock and waits until the other holds one too.
        Event aHeld(Event::Type::ManualReset, false, "A held");
        Event bHeld(Event::Type::ManualReset, false, "B held");
        Context& first = runtime.spawn("first", ContextKind::Pnp, [&] {
            a.acquire();
            aHeld.set();
            bHeld.wait();
            b.acquire();
        });
        Context& second = runtime.spawn("second", ContextKind::Pnp, [&] {
            b.acquire();
            bHeld.set();
            aHeld.wait();
            a.acquire();
        });
        runtime.join(first);
        runtime.join(second);
    };
    EXPECT_DEATH(scenario(),
                 "first \\(pnp, DISPATCH_LEVEL\\) waits for spin lock \"B\"(.|\n)*"
                 "second \\(pnp, DISPATCH_LEVEL\\) waits for spin lock \"A\"");
}

}  // namespace
}  // namespace vel::rt::test
