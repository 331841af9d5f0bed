// Overlapping device adds of one driver, under many scheduler seeds: each instance number is
// still handed out once.
#include <set>
#include <vector>

#include "driver_helpers_fixture.h"

namespace {

class ConcurrentInstanceNumbers : public vel::test::DriverHelpersTest,
                                  public ::testing::WithParamInterface<uint64_t> {
  protected:
    ConcurrentInstanceNumbers() : DriverHelpersTest(GetParam()) {}
};

TEST_P(ConcurrentInstanceNumbers, NeverShareANumber) {
    constexpr int kDevices = 3;
    std::vector<ULONG> numbers(kDevices, 0xDEAD);
    std::vector<NTSTATUS> statuses(kDevices, STATUS_PENDING);
    std::vector<vel::rt::Context*> adds;
    for (int i = 0; i < kDevices; ++i) {
        adds.push_back(&runtime_.spawn(
            "add-" + std::to_string(i), vel::rt::ContextKind::Pnp,
            [&, i] { statuses[i] = instanceNumber("racer" + std::to_string(i), &numbers[i]); }));
    }
    for (auto* add : adds) {
        runtime_.join(*add);
    }
    for (NTSTATUS s : statuses) {
        EXPECT_EQ(s, STATUS_SUCCESS);
    }
    EXPECT_EQ(std::set<ULONG>(numbers.begin(), numbers.end()), (std::set<ULONG>{0, 1, 2}));
    EXPECT_EQ(registry().dword(parametersKey(), "NextInstanceNumber"), 3u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ConcurrentInstanceNumbers, ::testing::Range<uint64_t>(1, 51));

}  // namespace
