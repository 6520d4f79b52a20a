// The flash dump's bound on a BMC that never flags its last piece: the whole
// tool would send 4 GiB of requests before it, so the job is run on its own.
#include <gtest/gtest.h>

#include <unistd.h>

#include "bmc/sim_bmc.h"
#include "firmware/dump.h"
#include "support/fault_rig.h"

namespace korvex::test {
namespace {

TEST(FlashDump, BmcThatNeverFlagsTheLastPieceIsStopped) {
    FaultRun d;
    const std::string file = scratchPath("flash-dump.bin");
    d.options({"--bmc-dump-length=112"});
    d.machine.bmc.setHandler(kNetFnOem, kCmdGetDumpFlashData, [](const bmc::Request&) {
        return bmc::Response{0x00, std::vector<uint8_t>(57, 0x00)};  // a full piece, never the last
    });
    EXPECT_EQ(runFlashDump(d.platform(), d.transport, file.c_str(), 560), (JobResult{1, JobOutcome::Failed}));
    EXPECT_EQ(d.machine.bmc.count(kNetFnOem, kCmdGetDumpFlashData), 10u);
    EXPECT_NE(access(file.c_str(), F_OK), 0);
    EXPECT_TRUE(
        d.console.text.ends_with("ERROR:THE BMC DID NOT END THE DUMP, IT IS STOPPED AFTER 560 BYTES\n\n"
                                 "Nothing was written to " +
                                 file + "; the incomplete data were deleted.\n"));
}

}  // namespace
}  // namespace korvex::test
