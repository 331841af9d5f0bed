// Whole runs without the bus driver: the tree the platform shows for a bare handset, the same
// seed giving the same output, the capture, and the exit status of each kind of failure.
#include "velsim_fixture.h"

namespace vel::velsim::test {
namespace {

class Run : public VelsimTest {};

TEST_F(Run, BareHandsetTreeIsTheSameForTheSameSeed) {
    const Outcome first = runVelsim({"--seed", "7"}, "");
    EXPECT_EQ(first.exit, kExitSuccess) << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(first.out.rfind("handset union-hs (high speed) on port 1, seed 7\n", 0), 0u);
    EXPECT_NE(first.out.find("USB\\VID_FA57&PID_7A01\\0123456789\n"), std::string::npos)
        << first.out;
    EXPECT_NE(first.out.find("state: no driver"), std::string::npos);
    EXPECT_TRUE(first.out.ends_with("verifier: 0 violations\n")) << first.out;
    EXPECT_EQ(runVelsim({"--seed", "7"}, "").out, first.out);

    const Outcome full = runVelsim({"--preset", "download-fs"}, "");
    EXPECT_EQ(full.exit, kExitSuccess);
    EXPECT_NE(full.out.find("(full speed)"), std::string::npos);
    EXPECT_NE(full.out.find("PID_7A0D"), std::string::npos) << full.out;
}

TEST_F(Run, CaptureFileIsWrittenEvenWhenNoUrbIsSent) {
    // Nothing binds to the handset and the hub identifies it from its model: no URB at all.
    const std::string pcap = path("run.pcap");
    const Outcome o = runVelsim({"--capture", pcap}, "");
    ASSERT_EQ(o.exit, kExitSuccess) << o.err;
    EXPECT_EQ(capturedFunctions(pcap),
              std::optional<std::vector<uint16_t>>(std::vector<uint16_t>{}));
}

TEST_F(Run, ExitStatusOfEachFailure) {
    struct Case {
        std::vector<std::string> args;
        std::string module;
        int exit;
        std::string err;  // the start of the one line
    };
    const Case cases[] = {
        {{"--help"}, "", kExitSuccess, ""},
        {{"--frobnicate"}, "", kExitUsage, "velsim: unknown option '--frobnicate'"},
        {{"--capture", path("no/such/dir/x.pcap")}, "", kExitUsage, "velsim: --capture "},
        {{}, path("velbus.so"), kExitFailure, "velsim: velbus is not built: "},
        {{"enumerate", "--config", file("c.hex", "09 02 09 00 00 01 00 80 32")},
         path("velbus.so"),
         kExitFailure,
         "velsim: velbus is not built: "},
    };
    for (const Case& c : cases) {
        const Outcome o = runVelsim(c.args, c.module);
        EXPECT_EQ(o.exit, c.exit) << c.err;
        EXPECT_EQ(o.err.rfind(c.err, 0), 0u) << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), c.err.empty() ? 0 : 1) << o.err;
    }
}

}  // namespace
}  // namespace vel::velsim::test
