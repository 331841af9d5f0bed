// Contexts, events, spin locks, IRQL and deferred execution, in both modes.
#include <atomic>
#include <thread>

#include "runtime_fixture.h"

namespace vel::rt::test {
namespace {

TEST_P(BothModes, EventsHandTurnsBackAndForth) {
    Event ping(Event::Type::AutoReset, false, "ping");
    Event pong(Event::Type::AutoReset, false, "pong");
    std::vector<int> turns;  // each side appends only while the other waits
    Context& peer = runtime.spawn("peer", ContextKind::Pnp, [&] {
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(ping.wait());
            turns.push_back(2 * i + 1);
            pong.set();
        }
    });
    for (int i = 0; i < 5; ++i) {
        turns.push_back(2 * i);
        ping.set();
        ASSERT_TRUE(pong.wait());
    }
    runtime.join(peer);
    EXPECT_EQ(turns, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_TRUE(peer.finished());
}

TEST_P(BothModes, SpinLockExcludesAndRaisesToDispatch) {
    SpinLock lock("counter");
    long counter = 0;
    std::atomic<int> wrongIrql{0};
    auto body = [&] {
        for (int i = 0; i < 300; ++i) {
            lock.acquire();
            if (currentIrql() != Irql::Dispatch) {
                ++wrongIrql;
            }
            long seen = counter;
            runtime.yield();  // invites the other context into the critical section
            counter = seen + 1;
            lock.release();
            if (currentIrql() != Irql::Passive) {
                ++wrongIrql;
            }
        }
    };
    Context& a = runtime.spawn("a", ContextKind::Pnp, body);
    Context& b = runtime.spawn("b", ContextKind::Application, body);
    runtime.join(a);
    runtime.join(b);
    EXPECT_EQ(counter, 600);
    EXPECT_EQ(wrongIrql, 0);
}

TEST_P(BothModes, DeferredRoutinesRunOnTheirWorkersAtTheirLevel) {
    struct Seen {
        ContextKind kind;
        Irql irql;
    };
    Event dpcDone(Event::Type::ManualReset, false, "dpc done");
    Event workDone(Event::Type::ManualReset, false, "work done");
    Event timerDone(Event::Type::ManualReset, false, "timer done");
    Seen dpc{}, work{}, timer{};
    auto here = [&runtime = runtime] {
        return Seen{runtime.currentContext()->kind(), currentIrql()};
    };
    runtime.queueDpc([&] {
        dpc = here();
        dpcDone.set();
    });
    runtime.queueWorkItem([&] {
        work = here();
        workDone.set();
    });
    runtime.armTimer(runtime.now(), [&] {
        timer = here();
        timerDone.set();
    });
    ASSERT_TRUE(dpcDone.wait());
    ASSERT_TRUE(workDone.wait());
    ASSERT_TRUE(timerDone.wait());
    EXPECT_EQ(dpc.kind, ContextKind::Dispatch);
    EXPECT_EQ(dpc.irql, Irql::Dispatch);
    EXPECT_EQ(timer.kind, ContextKind::Dispatch);
    EXPECT_EQ(timer.irql, Irql::Dispatch);
    EXPECT_EQ(work.kind, ContextKind::SystemWorker);
    EXPECT_EQ(work.irql, Irql::Passive);
}

TEST_P(BothModes, DpcQueueIsFifo) {
    // One dispatch worker: the queue order is the execution order.
    Runtime single(Runtime::Options{.mode = GetParam(), .dispatchWorkers = 1});
    std::vector<int> order;
    for (int i = 0; i < 6; ++i) {
        single.queueDpc([&order, i] { order.push_back(i); });
    }
    single.runUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST_P(BothModes, RunUntilIdleWaitsForChainedDeferredWork) {
    std::atomic<int> ran{0};
    runtime.queueWorkItem([&] {
        ++ran;
        runtime.queueDpc([&] {
            ++ran;
            runtime.queueWorkItem([&] { ++ran; });
        });
    });
    runtime.runUntilIdle();
    EXPECT_EQ(ran, 3);
}

TEST_P(BothModes, IrqlRaiseAndLowerActOnTheCallingContext) {
    ASSERT_EQ(currentIrql(), Irql::Passive);
    EXPECT_EQ(raiseIrql(Irql::Apc), Irql::Passive);
    EXPECT_EQ(raiseIrql(Irql::Dispatch), Irql::Apc);
    EXPECT_EQ(runtime.currentContext()->irql(), Irql::Dispatch);
    Irql spawnedSaw = Irql::Dispatch;
    Context& other =
        runtime.spawn("other", ContextKind::Device, [&] { spawnedSaw = currentIrql(); });
    lowerIrql(Irql::Passive);
    runtime.join(other);
    EXPECT_EQ(spawnedSaw, Irql::Passive);
    EXPECT_EQ(currentIrql(), Irql::Passive);
}

TEST_P(BothModes, IrqlMovedTheWrongWayIsAViolationAndKeepsTheLevel) {
    raiseIrql(Irql::Dispatch);
    raiseIrql(Irql::Passive);
    EXPECT_EQ(currentIrql(), Irql::Dispatch);
    lowerIrql(Irql::Passive);
    lowerIrql(Irql::Dispatch);
    EXPECT_EQ(currentIrql(), Irql::Passive);
    EXPECT_EQ(rulesOf(runtime.verifier().take()),
              (std::vector<Rule>{Rule::ContractViolation, Rule::ContractViolation}));
}

TEST_P(BothModes, ContextsReportNameKindAndWhatTheyWaitFor) {
    Event go(Event::Type::ManualReset, false, "go");
    Context& waiter = runtime.spawn("waiter", ContextKind::Pnp, [&] { go.wait(); });
    // Simulated: runUntilIdle lets the waiter block; wall time: poll its state.
    std::string seen;
    while ((seen = waiter.waitingFor()).empty()) {
        runtime.runUntilIdle();
        std::this_thread::yield();
    }
    EXPECT_EQ(seen, "event \"go\"");
    EXPECT_EQ(waiter.name(), "waiter");
    EXPECT_EQ(waiter.kind(), ContextKind::Pnp);
    EXPECT_FALSE(waiter.finished());
    go.set();
    runtime.join(waiter);
    EXPECT_TRUE(waiter.finished());
    EXPECT_EQ(waiter.waitingFor(), "");
}

TEST_P(BothModes, TeardownDrainsQueuesAndJoinsContexts) {
    std::atomic<int> ran{0};
    {
        Runtime inner(Runtime::Options{.mode = GetParam()});
        inner.queueWorkItem([&] { ++ran; });
        inner.queueDpc([&] { ++ran; });
        inner.spawn("late", ContextKind::Pnp, [&] {
            inner.queueDpc([&] { ++ran; });
            ++ran;
        });
    }
    EXPECT_EQ(ran, 4);
}

INSTANTIATE_TEST_SUITE_P(Modes, BothModes, ::testing::Values(Mode::Simulated, Mode::WallTime),
                         modeName);

TEST(RuntimeCurrent, IsTheInnermostLiveRuntime) {
    EXPECT_EQ(Runtime::current(), nullptr);
    {
        Runtime outer;
        EXPECT_EQ(Runtime::current(), &outer);
        {
            Runtime inner;
            EXPECT_EQ(Runtime::current(), &inner);
            EXPECT_EQ(inner.currentContext()->name(), "main");
            EXPECT_EQ(outer.currentContext(), nullptr);
        }
        EXPECT_EQ(Runtime::current(), &outer);
        EXPECT_NE(outer.currentContext(), nullptr);
    }
    EXPECT_EQ(Runtime::current(), nullptr);
}

TEST(RuntimeAttachment, AttachesAThreadAsAContextInWallTime) {
    Runtime runtime(Runtime::Options{.mode = Mode::WallTime});
    std::string name;
    Irql irql = Irql::Passive;
    std::thread thread([&] {
        Attachment attachment(runtime, "ui", ContextKind::Application);
        name = runtime.currentContext()->name();
        SpinLock lock("ui lock");
        lock.acquire();
        irql = currentIrql();
        lock.release();
    });
    thread.join();
    EXPECT_EQ(name, "ui");
    EXPECT_EQ(irql, Irql::Dispatch);
    EXPECT_EQ(runtime.verifier().count(), 0u);
}

}  // namespace
}  // namespace vel::rt::test
