// Every failure of the dump job, through the whole tool over the simulated
// KCS interface: the whole console text, the result and outcome, no cold
// reset, nothing left open or held, and the dump's name: the whole flash
// when the dump succeeded, else what was there before (nothing, a file or a
// link), with no temporary left beside it. A stop request ends the dump
// before its next request.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "support/fault_rig.h"

namespace korvex::test {
namespace {

constexpr size_t kDumpLength = 200;  // three full pieces of 56 bytes and one of 32

// What is at the dump's name before the run.
enum class Before { Nothing, File, Link };

struct DumpRow {
    const char* name;
    std::vector<std::string> options;
    JobOutcome outcome;  // Succeeded: the name holds the flash
    Before before = Before::Nothing;
    size_t writeLimit = SIZE_MAX;
    bool failKeep = false;
    bool noFolder = false;  // the dump file's folder does not exist
    uint64_t stopAt = 0;    // a stop is requested while the BMC takes this request
};

using O = JobOutcome;
const DumpRow kRows[] = {
    {"dump-ok", {}, O::Succeeded, Before::File},
    {"dump-ok", {}, O::Succeeded, Before::Link},
    {"dump-prepare-fails", {"--bmc-fault=request-cc:prepare-dump-flash:0xc1"}, O::Succeeded},
    {"dump-check-fails-once", {"--bmc-fault=request-cc:check-dump-flash-complete:0xc3:1"}, O::Succeeded},
    {"dump-ready-late", {"--bmc-dump-ready-after=3"}, O::Succeeded},
    {"dump-never-ready", {"--bmc-fault=dump-never-ready"}, O::Failed},
    {"dump-check-always-fails", {"--bmc-fault=request-cc:check-dump-flash-complete:0xc3"}, O::Failed},
    {"dump-ready-without-length", {"--bmc-fault=dump-ready-short"}, O::Failed},
    {"dump-length-zero", {"--bmc-dump-length=0", "--bmc-dump-send=200"}, O::Succeeded},
    {"dump-sends-less", {"--bmc-dump-send=100"}, O::Failed, Before::File},
    {"dump-open-fails", {}, O::Failed, Before::Nothing, SIZE_MAX, false, true},
    {"dump-piece-broken", {"--bmc-fault=dump-drop:2"}, O::Failed, Before::Link},
    {"dump-piece-without-data", {"--bmc-fault=dump-no-data:3"}, O::Failed},
    {"dump-piece-short", {"--bmc-fault=dump-short:1"}, O::Failed},
    {"dump-piece-busy-then-served", {"--bmc-fault=request-cc:get-dump-flash-data:0xc0:2"}, O::Succeeded},
    {"dump-piece-busy-always", {"--bmc-fault=request-cc:get-dump-flash-data:0xd2"}, O::Failed},
    {"dump-piece-timeout", {"--bmc-fault=request-cc:get-dump-flash-data:0xc3:2"}, O::Failed},
    {"dump-write-fails", {}, O::Failed, Before::File, 120},
    {"dump-keep-fails", {}, O::Failed, Before::File, SIZE_MAX, true},
    {"dump-interrupted-while-waiting", {}, O::Interrupted, Before::File, SIZE_MAX, false, false, 1},
    {"dump-interrupted-while-waiting", {"--bmc-dump-ready-after=3"}, O::Interrupted, Before::File, SIZE_MAX, false,
     false, 2},  // in the readiness poll
    {"dump-interrupted", {}, O::Interrupted, Before::File, SIZE_MAX, false, false, 4},
};

TEST(DumpFaults, EveryFailureEndToEnd) {
    const std::string old = "an older dump", decoy = scratchPath("decoy");
    for (const DumpRow& row : kRows) {
        SCOPED_TRACE(std::string(row.name) + (row.before == Before::Link ? " over a link" : "") + " stop at " +
                     std::to_string(row.stopAt));
        const std::string path =
            row.noFolder ? scratchPath("no-such-folder") + "/dump.bin" : scratchPath(std::string(row.name) + ".bin");
        std::remove(path.c_str());
        writeFile(decoy, old);
        if (row.before == Before::File) writeFile(path, old);
        if (row.before == Before::Link) {
            ASSERT_EQ(symlink(decoy.c_str(), path.c_str()), 0);
        }
        FaultRun sim;
        sim.stops.stopAt = row.stopAt;
        sim.options({"--bmc-dump-length=" + std::to_string(kDumpLength)});
        sim.options(row.options);
        std::vector<uint8_t>& flash = sim.machine.bmc.flash();
        for (size_t i = 0; i < kDumpLength; ++i) flash[i] = static_cast<uint8_t>(i * 7 + 3);
        const std::string expected(flash.begin(), flash.begin() + kDumpLength);
        sim.files.writeLimit = row.writeLimit;
        sim.files.failKeep = row.failKeep;
        EXPECT_EQ(sim.run({"-d", path}), (JobResult{1, row.outcome}));
        expectGolden(row.name, sim.after(), path);
        EXPECT_EQ(sim.machine.bmc.coldResets(), 0u);
        EXPECT_TRUE(sim.stops.heldCommands.empty());  // only reads: nothing to hold a stop for
        if (row.stopAt != 0) {
            EXPECT_EQ(sim.machine.bmc.exchanges(), row.stopAt);
        }
        if (row.stopAt == 1) {
            EXPECT_LT(sim.machine.clock.nowUs(), 1000000u);  // the fixed wait is not sat out
        }
        EXPECT_EQ(sim.files.openNow, 0);
        EXPECT_EQ(sim.memory.outstanding(), 0u);
        EXPECT_EQ(leftBeside(path), std::vector<std::string>{});
        EXPECT_EQ(readFile(decoy), old);  // a link at the name is never followed
        struct stat st {};
        const bool there = lstat(path.c_str(), &st) == 0;
        if (row.outcome == O::Succeeded) {
            EXPECT_EQ(readFile(path), expected);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_mode & 07777, 0600u);
        } else {
            EXPECT_EQ(there, row.before != Before::Nothing);
            EXPECT_EQ(there && S_ISLNK(st.st_mode), row.before == Before::Link);
            if (row.before == Before::File) {
                EXPECT_EQ(readFile(path), old);
            }
        }
        std::remove(path.c_str());
    }
    std::remove(decoy.c_str());
}

}  // namespace
}  // namespace korvex::test
