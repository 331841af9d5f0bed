// Verifier rules tripped on purpose with the runtime's own events, spin locks and workers.
#include <map>
#include <memory>
#include <regex>

#include "runtime_fixture.h"

namespace vel::rt::test {
namespace {

using VerifierRules = SimulatedRuntime;

TEST_F(VerifierRules, ReportFillsInTheContextAndNotifiesTheListener) {
    std::vector<std::string> heard;
    runtime.verifier().setListener([&](const Violation& v) { heard.push_back(v.toString()); });
    raiseIrql(Irql::Dispatch);
    runtime.verifier().report(Rule::InvalidHandle, "WDFMEMORY 0x10", "not a handle");
    lowerIrql(Irql::Passive);
    const std::string expected =
        "invalid handle: WDFMEMORY 0x10 [main @ DISPATCH_LEVEL] not a handle";
    EXPECT_EQ(heard, std::vector<std::string>{expected});
    EXPECT_EQ(runtime.verifier().count(), 1u);
    EXPECT_TRUE(runtime.verifier().contains(Rule::InvalidHandle));
    EXPECT_FALSE(runtime.verifier().contains(Rule::UseAfterDelete));
    std::vector<Violation> taken = runtime.verifier().take();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].context, "main @ DISPATCH_LEVEL");
    EXPECT_EQ(runtime.verifier().count(), 0u);
}

struct BlockingCall {
    const char* name;
    std::function<void(Runtime&)> call;  // returns at once when the call is allowed to run
};

std::vector<BlockingCall> blockingCalls() {
    return {
        {"event wait",
         [](Runtime&) {
             Event ready(Event::Type::ManualReset, true, "ready");
             ready.wait();
         }},
        {"timed event wait",
         [](Runtime&) {
             Event ready(Event::Type::ManualReset, true, "ready");
             ready.wait(kTicksPerMs);
         }},
        {"delay", [](Runtime&) { delay(1); }},
        {"join",
         [](Runtime& runtime) {
             Context& done = runtime.spawn("done", ContextKind::Pnp, [] {});
             runtime.join(done);
         }},
    };
}

TEST_F(VerifierRules, BlockingCallsAreCheckedAgainstIrqlAndHeldSpinLocks) {
    SpinLock lock("held");
    struct Condition {
        const char* name;
        std::function<void()> enter;
        std::function<void()> leave;
        std::vector<Rule> expected;
    };
    const std::vector<Condition> conditions = {
        {"passive", [] {}, [] {}, {}},
        {"dispatch",
         [] { raiseIrql(Irql::Dispatch); },
         [] { lowerIrql(Irql::Passive); },
         {Rule::BlockingAtDispatch}},
        // A held spin lock implies dispatch level; only the spin lock is reported.
        {"spin lock",
         [&] { lock.acquire(); },
         [&] { lock.release(); },
         {Rule::BlockingWithSpinLock}},
    };
    for (const Condition& condition : conditions) {
        for (const BlockingCall& call : blockingCalls()) {
            SCOPED_TRACE(std::string(call.name) + " at " + condition.name);
            condition.enter();
            call.call(runtime);
            condition.leave();
            EXPECT_EQ(rulesOf(runtime.verifier().take()), condition.expected);
        }
    }
}

TEST_F(VerifierRules, ZeroTimeoutWaitIsAPollAllowedAtDispatch) {
    Event event(Event::Type::AutoReset, true, "poll");
    SpinLock lock("held");
    lock.acquire();
    EXPECT_TRUE(event.wait(0));
    EXPECT_FALSE(event.wait(0));
    EXPECT_FALSE(event.tryWait());
    lock.release();
}

TEST_F(VerifierRules, WaitInADpcNamesTheDispatchWorker) {
    Event ready(Event::Type::ManualReset, true, "ready");
    runtime.queueDpc([&] { ready.wait(); });
    runtime.runUntilIdle();
    std::vector<Violation> found = runtime.verifier().take();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].rule, Rule::BlockingAtDispatch);
    EXPECT_EQ(found[0].object, "wait on event \"ready\"");
    EXPECT_TRUE(std::regex_match(found[0].context, std::regex("dispatch-[0-9] @ DISPATCH_LEVEL")))
        << found[0].context;
}

struct OrderCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> declared;
    // Each inner list is taken nested in that order and released; "X#n" is instance n of a
    // lock named X.
    std::vector<std::vector<std::string>> nests;
    bool violation;
};

class SpinLockOrder : public SimulatedRuntime, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(SpinLockOrder, IsTrackedByLockName) {
    const OrderCase& c = GetParam();
    for (auto& [before, after] : c.declared) {
        runtime.verifier().declareLockOrder(before, after);
    }
    std::map<std::string, std::unique_ptr<SpinLock>> locks;
    for (const auto& nest : c.nests) {
        for (const std::string& token : nest) {
            auto& lock = locks[token];
            if (!lock) {
                lock = std::make_unique<SpinLock>(token.substr(0, token.find('#')));
            }
            lock->acquire();
        }
        for (auto it = nest.rbegin(); it != nest.rend(); ++it) {
            locks[*it]->release();
        }
    }
    EXPECT_EQ(currentIrql(), Irql::Passive);
    std::vector<Violation> found = runtime.verifier().take();
    EXPECT_EQ(rulesOf(found),
              c.violation ? std::vector<Rule>{Rule::SpinLockOrder} : std::vector<Rule>{})
        << describe(found);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpinLockOrder,
    ::testing::Values(OrderCase{"Reversed", {}, {{"A", "B"}, {"B", "A"}}, true},
                      OrderCase{"SameOrderAgain", {}, {{"A", "B"}, {"A", "B"}}, false},
                      OrderCase{"ThroughAChain", {}, {{"A", "B"}, {"B", "C"}, {"C", "A"}}, true},
                      OrderCase{"Unrelated", {}, {{"A", "B"}, {"C", "A"}}, false},
                      OrderCase{"AgainstDeclared", {{"A", "B"}}, {{"B", "A"}}, true},
                      OrderCase{"AlongDeclared", {{"A", "B"}}, {{"A", "B"}}, false},
                      OrderCase{"OneClassAcrossDevices",
                                {},
                                {{"ReadSync#1", "Queue"}, {"Queue", "ReadSync#2"}},
                                true},
                      OrderCase{"TwoOfOneClass", {}, {{"ReadSync#1", "ReadSync#2"}}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VerifierRules, RecursiveAcquireIsReportedAndDoesNotHang) {
    SpinLock lock("again");
    lock.acquire();
    lock.acquire();
    std::vector<Violation> found = runtime.verifier().take();
    ASSERT_EQ(rulesOf(found), std::vector<Rule>{Rule::SpinLockRecursion});
    EXPECT_EQ(found[0].object, "spin lock \"again\"");
    lock.release();
    EXPECT_EQ(currentIrql(), Irql::Passive);
    // Released once, the lock is free for others.
    Context& other = runtime.spawn("other", ContextKind::Pnp, [&] {
        lock.acquire();
        lock.release();
    });
    runtime.join(other);
}

TEST_F(VerifierRules, ReleaseByANonOwnerIsReportedAndLeavesTheLockHeld) {
    SpinLock lock("owned");
    lock.release();  // never acquired
    lock.acquire();
    Context& thief = runtime.spawn("thief", ContextKind::Device, [&] { lock.release(); });
    while (!thief.finished()) {
        runtime.yield();  // joining would be a blocking call with the lock held
    }
    std::vector<Violation> found = runtime.verifier().take();
    ASSERT_EQ(rulesOf(found), (std::vector<Rule>{Rule::SpinLockNotOwner, Rule::SpinLockNotOwner}));
    EXPECT_EQ(found[0].context, "main @ PASSIVE_LEVEL");
    EXPECT_EQ(found[1].context, "thief @ PASSIVE_LEVEL");
    EXPECT_EQ(runtime.verifier().spinLocksHeldByCurrentContext(), 1u);
    EXPECT_EQ(currentIrql(), Irql::Dispatch);
    lock.release();
    EXPECT_EQ(currentIrql(), Irql::Passive);
    EXPECT_EQ(runtime.verifier().spinLocksHeldByCurrentContext(), 0u);
}

TEST_F(VerifierRules, DeferredRoutineMustLeaveItsWorkerAsItFoundIt) {
    SpinLock lock("kept");
    Irql nextDpcRanAt = Irql::Passive;
    runtime.queueDpc([] { lowerIrql(Irql::Passive); });
    runtime.runUntilIdle();
    runtime.queueDpc([&] { lock.acquire(); });
    runtime.runUntilIdle();
    runtime.queueWorkItem([] { raiseIrql(Irql::Dispatch); });
    runtime.runUntilIdle();
    runtime.queueDpc([&] { nextDpcRanAt = currentIrql(); });
    runtime.runUntilIdle();
    std::vector<Violation> found = runtime.verifier().take();
    ASSERT_EQ(found.size(), 3u) << describe(found);
    EXPECT_EQ(found[0].object, "DPC");
    EXPECT_EQ(found[0].message, "returned at PASSIVE_LEVEL instead of DISPATCH_LEVEL");
    EXPECT_EQ(found[1].message, "returned holding 1 spin lock(s)");
    EXPECT_EQ(found[2].object, "work item");
    EXPECT_EQ(found[2].message, "returned at DISPATCH_LEVEL instead of PASSIVE_LEVEL");
    EXPECT_EQ(nextDpcRanAt, Irql::Dispatch);
}

}  // namespace
}  // namespace vel::rt::test
