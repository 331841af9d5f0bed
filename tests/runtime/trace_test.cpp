// The trace log: off by default, stamped with virtual time and the writing context.
#include "vel/runtime/trace.h"
#include "runtime_fixture.h"

namespace vel::rt::test {
namespace {

using Trace = SimulatedRuntime;

constexpr unsigned bits(TraceCategory category) {
    return static_cast<unsigned>(category);
}

TEST_F(Trace, RecordsOnlyEnabledCategories) {
    runtime.trace().write(TraceCategory::Driver, "dropped");
    runtime.trace().enable(bits(TraceCategory::Driver));
    runtime.trace().write(TraceCategory::Driver, "kept");
    runtime.trace().write(TraceCategory::Debug, "dropped too");
    delay(kTicksPerMs);  // would record scheduler events if that category were on
    std::vector<TraceRecord> records = runtime.trace().take();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "kept");
    EXPECT_TRUE(runtime.trace().records().empty());
}

TEST_F(Trace, StampsVirtualTimeAndContext) {
    runtime.trace().enable(bits(TraceCategory::Driver));
    Context& device = runtime.spawn("device", ContextKind::Device, [&] {
        delay(3 * kTicksPerMs);
        runtime.trace().write(TraceCategory::Driver, "step");
    });
    runtime.join(device);
    runtime.trace().write(TraceCategory::Driver, "joined");
    EXPECT_EQ(runtime.trace().dump(), "30000 device step\n30000 main joined\n");
}

TEST_F(Trace, SchedulerCategoryShowsSwitchesAndClockJumps) {
    runtime.trace().enable(bits(TraceCategory::Scheduler));
    Context& sleeper = runtime.spawn("sleeper", ContextKind::Pnp, [] { delay(kTicksPerMs); });
    runtime.join(sleeper);
    std::string log = runtime.trace().dump();
    EXPECT_NE(log.find("main spawn sleeper\n"), std::string::npos) << log;
    EXPECT_NE(log.find("switch to sleeper\n"), std::string::npos) << log;
    EXPECT_NE(log.find("10000 sleeper clock jumps to 10000\n"), std::string::npos) << log;
    EXPECT_NE(log.find("10000 sleeper finish sleeper\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace vel::rt::test
