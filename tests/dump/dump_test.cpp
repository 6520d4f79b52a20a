// The flash dump job against the simulated BMC. The fault matrix walks every
// failure end to end; here are what its console goldens cannot show: the
// piece requests that reach the BMC, the pauses, the bounds and the progress
// arithmetic.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bmc/dump_module.h"
#include "firmware/dump.h"
#include "support/fault_rig.h"

namespace korvex::test {
namespace {

const std::string kPhase1 = "Phase1:Wait for BMC !!\n";
const std::string kPhases = kPhase1 + "Phase2:Receive the flash data........... \n";
const std::string kIncomplete = "ERROR:RECEIVE FLASH DATA FAILED, THE DUMP IS INCOMPLETE\n\n";
std::string nothingWritten(const std::string& name) {
    return "Nothing was written to " + name + "; the incomplete data were deleted.\n";
}
constexpr uint64_t kSecond = 1000000;

std::string tail(const std::string& text, size_t n) { return text.substr(text.size() - std::min(n, text.size())); }

struct DumpRun : FaultRun {
    std::string file = scratchPath("flash-dump.bin");
    std::string flash;  // the first bytes of the flash, patterned so that a lost or repeated piece shows

    explicit DumpRun(const std::vector<std::string>& bmcOptions, size_t patterned = 0x10000) {
        std::remove(file.c_str());
        options(bmcOptions);
        std::vector<uint8_t>& f = machine.bmc.flash();
        for (size_t i = 0; i < patterned; ++i) f[i] = static_cast<uint8_t>(i * 7 + i / 251);
        flash.assign(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(patterned));
    }
    JobResult run() { return runFlashDump(platform(), transport, file.c_str()); }
    uint64_t pieceRequests() const { return machine.bmc.count(kNetFnOem, kCmdGetDumpFlashData); }
};

struct DumpCase {
    const char* name;
    std::vector<std::string> options;
    std::string console;
    long fileBytes;  // the flash bytes the file holds; -1: the dump failed and the older file is as it was
    uint64_t pieceRequests;
    uint64_t seconds;  // virtual time
    std::string file = "";
};

TEST(FlashDump, ConsoleFileRequestsAndTime) {
    const std::string firstTwo = "length=0x70\n1K bytes      50%\r1K bytes      100%\r";
    const std::string len112 = kPhases + firstTwo;
    const std::string busy = "--bmc-fault=request-cc:get-dump-flash-data:0xc0:";
    const char* uncreatable = "/nonexistent-dir/dump.bin";
    const std::string notChanged = nothingWritten(scratchPath("flash-dump.bin"));
    const DumpCase cases[] = {
        {"112 bytes: 50 % first, the last piece brings only its flag",
         {"--bmc-dump-length=112"},
         len112 + "1K bytes      150%\r",
         112,
         3,
         50},
        {"no percentage lands on a multiple of 5", {"--bmc-dump-length=100"}, kPhases + "length=0x64\n", 100, 2, 50},
        {"more than announced: all written, 100 % is the starting value",
         {"--bmc-dump-length=56", "--bmc-dump-send=170"},
         kPhases + "length=0x38\n1K bytes      200%\r1K bytes      300%\r1K bytes      400%\r",
         170,
         4,
         50},
        {"a failed check: 5 s, check again",
         {"--bmc-dump-length=112", "--bmc-fault=request-cc:check-dump-flash-complete:0xc0:1"},
         kPhase1 + "ERROR:EXECUTE CHECK DUMP FLASH COMPLETE FAILED\n\n" + kPhases.substr(kPhase1.size()) + firstTwo +
             "1K bytes      150%\r",
         112,
         3,
         55},
        {"not ready (2 is not 1) for three polls, 5 s apart",
         {"--bmc-dump-length=112", "--bmc-dump-ready-after=3", "--bmc-dump-not-ready=2"},
         len112 + "1K bytes      150%\r",
         112,
         3,
         65},
        {"never ready: 120 polls, no file",
         {"--bmc-fault=dump-never-ready"},
         kPhase1 + "ERROR:THE BMC DID NOT GET THE DUMP READY\n\n",
         -1,
         0,
         50 + 119 * 5},
        {"busy three times: the same request again after 1 s",
         {"--bmc-dump-length=112", busy + "2", busy + "3", busy + "4"},
         len112 + "1K bytes      150%\r",
         112,
         6,
         53},
        {"busy four times: stop",
         {"--bmc-dump-length=112", busy + "2", busy + "3", busy + "4", busy + "5"},
         len112 + kIncomplete + notChanged,
         -1,
         5,
         53},
        {"an error code on the last piece",
         {"--bmc-dump-length=112", "--bmc-fault=request-cc:get-dump-flash-data:0xc1:3"},
         len112 + "1K bytes      150%\r" + kIncomplete + notChanged,
         -1,
         3,
         50},
        {"a file that cannot be created: no piece request",
         {"--bmc-dump-length=60"},
         kPhases + "ERROR: OPEN BINARY FILE FAILED " + uncreatable + "\n\n",
         -1,
         0,
         50,
         uncreatable},
    };
    for (const DumpCase& c : cases) {
        SCOPED_TRACE(c.name);
        DumpRun d(c.options);
        if (!c.file.empty()) d.file = c.file;
        const std::string older(1000, 'x');
        writeFile(d.file, older);  // replaced only by a whole dump
        EXPECT_EQ(d.run(), (JobResult{1, c.fileBytes >= 0 ? JobOutcome::Succeeded : JobOutcome::Failed}));
        EXPECT_EQ(d.console.text, c.console);
        const std::string want = d.flash.substr(0, static_cast<size_t>(std::max(0L, c.fileBytes)));
        EXPECT_EQ(readFile(d.file), c.fileBytes >= 0 ? want : c.file.empty() ? older : "");
        EXPECT_EQ(d.pieceRequests(), c.pieceRequests);
        EXPECT_EQ(d.transport.closes, 1);
        EXPECT_EQ(d.machine.clock.nowUs(), c.seconds * kSecond);
    }
}

TEST(FlashDump, WholeFlashShowsTwentyOneProgressLines) {
    DumpRun d({}, kFlashSize);
    EXPECT_EQ(d.run(), (JobResult{1, JobOutcome::Succeeded}));
    const std::string& t = d.console.text;
    EXPECT_EQ(t.substr(0, kPhases.size() + 34), kPhases + "length=0x2000000\n1K bytes      0%\r");
    EXPECT_EQ(tail(t, 23), "32769K bytes      100%\r");
    EXPECT_EQ(std::count(t.begin(), t.end(), '\r'), 21);
    EXPECT_EQ(d.pieceRequests(), 599187u);  // 599,186 full pieces and a last one of 16 bytes
    EXPECT_EQ(readFile(d.file), d.flash);
}

TEST(FlashDump, WriteFailureStopsThePieceRequests) {
    DumpRun d({"--bmc-dump-length=0x100000"});
    d.files.writeLimit = 0x8000;  // a full disk, long before the end
    EXPECT_EQ(d.run(), (JobResult{1, JobOutcome::Failed}));
    const std::string message =
        "ERROR: WRITE BINARY FILE FAILED " + d.file + ", THE DUMP IS INCOMPLETE\n\n" + nothingWritten(d.file);
    EXPECT_EQ(tail(d.console.text, message.size()), message);
    EXPECT_LT(d.pieceRequests(), 1000u);
    EXPECT_EQ(d.transport.closes, 1);
}

TEST(FlashDump, BmcThatNeverFlagsTheLastPieceIsStopped) {
    DumpRun d({"--bmc-dump-length=112"});
    d.machine.bmc.setHandler(kNetFnOem, kCmdGetDumpFlashData, [](const bmc::Request&) {
        return bmc::Response{0x00, std::vector<uint8_t>(57, 0x00)};  // a full piece, never the last
    });
    EXPECT_EQ(runFlashDump(d.platform(), d.transport, d.file.c_str(), 560), (JobResult{1, JobOutcome::Failed}));
    EXPECT_EQ(d.pieceRequests(), 10u);
    EXPECT_NE(access(d.file.c_str(), F_OK), 0);
    const std::string message =
        "ERROR:THE BMC DID NOT END THE DUMP, IT IS STOPPED AFTER 560 BYTES\n\n" + nothingWritten(d.file);
    EXPECT_EQ(tail(d.console.text, message.size()), message);
    EXPECT_EQ(d.transport.closes, 1);
}

}  // namespace
}  // namespace korvex::test
