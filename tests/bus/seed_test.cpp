// Plug, start, enumerate and remove under many scheduler seeds: the same tree every time and
// no verifier violation (TearDown checks).
#include "bus_fixture.h"
#include "client_fixture.h"
#include "vel/devices/diag_function.h"

namespace vel::bus::test {
namespace {

class BusSeedTest : public BusTest, public ::testing::WithParamInterface<uint64_t> {
  protected:
    BusSeedTest() : BusTest(GetParam()) {}
};

TEST_P(BusSeedTest, PlugEnumerateRemove) {
    plugPreset("union-hs");
    EXPECT_EQ(children().size(), 3u);
    restart();
    EXPECT_EQ(children().size(), 3u);
    plugPreset("iad-fs", "OTHER", 2);
    EXPECT_EQ(children(2).size(), 3u);
    EXPECT_EQ(pnp().remove(hc().pdo(1)), STATUS_SUCCESS);
    settle();
    ASSERT_EQ(hc().detach(1), STATUS_SUCCESS);
    ASSERT_EQ(hc().detach(2), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(ProbeWorld::current->deviceCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, BusSeedTest, ::testing::Range<uint64_t>(1, 51));

// The client driver on the modem and diagnostic children: selection through the emulation, AT
// commands through the continuous reader and a loopback stream with pipe reads, then unplug.
class ClientSeedTest : public ClientFixture, public ::testing::WithParamInterface<uint64_t> {
  protected:
    ClientSeedTest() : ClientFixture(GetParam()) {}
};

TEST_P(ClientSeedTest, SelectMoveDataUnplug) {
    clients().readerOn = {0};
    std::shared_ptr<dev::FunctionDevice> device = plugPreset("union-hs");
    ClientDevice& modem = clientOn(0);
    ClientDevice& diag = clientOn(2);
    ASSERT_EQ(modem.selectStatus, STATUS_SUCCESS);
    ASSERT_EQ(diag.selectStatus, STATUS_SUCCESS);
    EXPECT_EQ(modem.configurationHandle, diag.configurationHandle);

    EXPECT_EQ(write(modem, "AT\r"), STATUS_SUCCESS);
    EXPECT_EQ(received(modem), "AT\r\r\nOK\r\n");

    device->find<dev::DiagFunction>()->setLoopback(true);
    Bytes payload(700);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i ^ GetParam());
    }
    Bytes back;
    passive([&] {
        ULONG written = 0;
        ASSERT_EQ(clientWrite(diag.bulkOut, payload, &written), STATUS_SUCCESS);
        for (int reads = 0; back.size() < payload.size() && reads < 8; ++reads) {
            Bytes chunk(1024);
            ASSERT_EQ(clientRead(diag.bulkIn, chunk), STATUS_SUCCESS);
            back.insert(back.end(), chunk.begin(), chunk.end());
        }
    });
    EXPECT_EQ(back, payload);

    ASSERT_EQ(hc().detach(1), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(modem.releases, 1);
    EXPECT_EQ(diag.releases, 1);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ClientSeedTest, ::testing::Range<uint64_t>(1, 51));

}  // namespace
}  // namespace vel::bus::test
