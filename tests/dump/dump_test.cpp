// The flash dump job against the simulated BMC: what the console shows, what
// the dump file holds and which requests reach the BMC.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bmc/dump_module.h"
#include "firmware/dump.h"
#include "support/job_rig.h"

namespace korvex::test {
namespace {

constexpr uint8_t kGetDumpFlashData = 0x1F;
const std::string kPhase1 = "Phase1:Wait for BMC !!\n";
const std::string kPhase2 = "Phase2:Receive the flash data........... \n";
const std::string kCheckFailed = "ERROR:EXECUTE CHECK DUMP FLASH COMPLETE FAILED\n\n";
const std::string kIncomplete = "ERROR:RECEIVE FLASH DATA FAILED, THE DUMP IS INCOMPLETE\n\n";
constexpr uint64_t kSecond = 1000000;

// Gives the first bytes of the flash a pattern, so that a lost, repeated or
// misplaced piece shows in the file.
std::string patternFlash(bmc::SimBmc& bmc, size_t bytes) {
    std::vector<uint8_t>& flash = bmc.flash();
    for (size_t i = 0; i < bytes; ++i) flash[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return std::string(flash.begin(), flash.begin() + static_cast<std::ptrdiff_t>(bytes));
}

struct DumpRun : JobRig {
    std::string file = path("flash-dump.bin");
    int result = 0;
    std::string flash;

    DumpRun(const std::vector<std::string>& bmcOptions, size_t patterned = 0x10000) {
        std::remove(file.c_str());
        options(bmcOptions);
        flash = patternFlash(bmc, patterned);
    }
    void run() { result = runFlashDump(platform(), transport, file.c_str()); }
    uint64_t pieceRequests() const { return bmc.count(bmc::kNetFnOem, kGetDumpFlashData); }
    bool fileExists() const { return access(file.c_str(), F_OK) == 0; }
};

struct CompleteCase {
    const char* name;
    std::vector<std::string> options;
    std::string progress;  // between "length=..." and the end
    size_t fileBytes;      // the flash bytes the file must hold
    uint64_t pieceRequests;
};

TEST(FlashDump, CompleteDumpsWriteEveryByteInOrder) {
    const CompleteCase cases[] = {
        {"112 bytes: the first line shows 50 %, the last piece brings only its flag",
         {"--bmc-dump-length=112"},
         "length=0x70\n1K bytes      50%\r1K bytes      100%\r1K bytes      150%\r",
         112, 3},
        {"more than 5600 bytes: the first line shows 0 %",
         {"--bmc-dump-length=5601"},
         "length=0x15e1\n1K bytes      0%\r1K bytes      5%\r1K bytes      10%\r1K bytes      15%\r"
         "2K bytes      20%\r2K bytes      25%\r2K bytes      30%\r2K bytes      35%\r3K bytes      40%\r"
         "3K bytes      45%\r3K bytes      50%\r4K bytes      55%\r4K bytes      60%\r4K bytes      65%\r"
         "4K bytes      70%\r5K bytes      75%\r5K bytes      80%\r5K bytes      85%\r5K bytes      90%\r"
         "6K bytes      95%\r6K bytes      100%\r",
         5601, 101},
        {"a last piece of 44 bytes; no percentage lands on a multiple of 5",
         {"--bmc-dump-length=100"}, "length=0x64\n", 100, 2},
        {"length 0: the data are written, no progress line",
         {"--bmc-dump-length=0", "--bmc-dump-send=112"}, "length=0x0\n", 112, 3},
        {"the BMC sends more than it announced: all of it is written; 100 % is the starting value",
         {"--bmc-dump-length=56", "--bmc-dump-send=170"},
         "length=0x38\n1K bytes      200%\r1K bytes      300%\r1K bytes      400%\r", 170, 4},
        {"the BMC sends less than it announced",
         {"--bmc-dump-length=1000", "--bmc-dump-send=60"}, "length=0x3e8\n1K bytes      5%\r", 60, 2},
    };
    for (const CompleteCase& c : cases) {
        SCOPED_TRACE(c.name);
        DumpRun d(c.options);
        d.run();
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.console.text, kPhase1 + kPhase2 + c.progress);
        EXPECT_EQ(readFile(d.file), d.flash.substr(0, c.fileBytes));
        EXPECT_EQ(d.pieceRequests(), c.pieceRequests);
        EXPECT_EQ(d.transport.closes, 1);
        EXPECT_EQ(d.clock.nowUs(), 50 * kSecond);  // the fixed wait, and the dump was ready at once
    }
}

TEST(FlashDump, WholeFlashShowsTwentyOneProgressLines) {
    DumpRun d({}, bmc::SimBmc::kFlashSize);
    d.run();
    const std::string& t = d.console.text;
    EXPECT_EQ(t.substr(0, kPhase1.size() + kPhase2.size()), kPhase1 + kPhase2);
    EXPECT_NE(t.find("length=0x2000000\n1K bytes      0%\r"), std::string::npos);
    EXPECT_EQ(t.substr(t.size() - 23), "32769K bytes      100%\r");
    size_t lines = 0;
    for (char ch : t) lines += ch == '\r';
    EXPECT_EQ(lines, 21u);
    EXPECT_EQ(d.pieceRequests(), 599187u);  // 599,186 full pieces and a last one of 16 bytes
    EXPECT_EQ(readFile(d.file), d.flash);
}

struct FailureCase {
    const char* name;
    std::vector<std::string> options;
    std::string expected;  // the console from "Phase1" on
    bool fileExists;
    size_t fileBytes;
    uint64_t pieceRequests;
    uint64_t virtualSeconds;
};

TEST(FlashDump, BmcFaultsAreReportedAndNoStaleDataReachTheFile) {
    const std::string length112 = "length=0x70\n1K bytes      50%\r";
    const std::string secondPiece = length112 + "1K bytes      100%\r";
    const FailureCase cases[] = {
        {"a rejected prepare: the job goes on all the same",
         {"--bmc-dump-length=112", "--bmc-fault=cc:0x3e:0x1d:0xc1"},
         "ERROR:EXECUTE PREPARE DUMP FLASH FAILED\n\n" + kPhase1 + kPhase2 + secondPiece + "1K bytes      150%\r",
         true, 112, 3, 50},
        {"a failed readiness check: message, 5 s, check again",
         {"--bmc-dump-length=112", "--bmc-fault=cc:0x3e:0x1e:0xc0:1"},
         kPhase1 + kCheckFailed + kPhase2 + secondPiece + "1K bytes      150%\r", true, 112, 3, 55},
        {"not ready for three polls: no message, 5 s after each",
         {"--bmc-dump-length=112", "--bmc-dump-ready-after=3"},
         kPhase1 + kPhase2 + secondPiece + "1K bytes      150%\r", true, 112, 3, 65},
        {"never ready: 120 polls, then the job gives up and creates no file",
         {"--bmc-fault=dump-never-ready"},
         kPhase1 + "ERROR:THE BMC DID NOT GET THE DUMP READY\n\n", false, 0, 0, 50 + 119 * 5},
        {"a piece exchange that breaks after the BMC served it: stop, no retry",
         {"--bmc-dump-length=112", "--bmc-fault=dump-drop:2"},
         kPhase1 + kPhase2 + secondPiece + kIncomplete, true, 56, 2, 50},
        {"a piece answer without data: stop",
         {"--bmc-dump-length=112", "--bmc-fault=dump-no-data:1"},
         kPhase1 + kPhase2 + length112 + kIncomplete, true, 0, 1, 50},
        {"a full piece one byte short: stop, nothing of it written",
         {"--bmc-dump-length=112", "--bmc-fault=dump-short:2"},
         kPhase1 + kPhase2 + secondPiece + kIncomplete, true, 56, 2, 50},
        {"a busy BMC three times: the same request again after 1 s, nothing lost or repeated",
         {"--bmc-dump-length=112", "--bmc-fault=cc:0x3e:0x1f:0xc0:2", "--bmc-fault=cc:0x3e:0x1f:0xc0:3",
          "--bmc-fault=cc:0x3e:0x1f:0xc0:4"},
         kPhase1 + kPhase2 + secondPiece + "1K bytes      150%\r", true, 112, 6, 53},
        {"a busy BMC four times in a row: stop",
         {"--bmc-dump-length=112", "--bmc-fault=cc:0x3e:0x1f:0xc0:2", "--bmc-fault=cc:0x3e:0x1f:0xc0:3",
          "--bmc-fault=cc:0x3e:0x1f:0xc0:4", "--bmc-fault=cc:0x3e:0x1f:0xc0:5"},
         kPhase1 + kPhase2 + secondPiece + kIncomplete, true, 56, 5, 53},
        {"a timeout (0xC3): the BMC may have served the piece, so no retry",
         {"--bmc-dump-length=112", "--bmc-fault=cc:0x3e:0x1f:0xc3:2"},
         kPhase1 + kPhase2 + secondPiece + kIncomplete, true, 56, 2, 50},
        {"an error code on the last piece", {"--bmc-dump-length=112", "--bmc-fault=cc:0x3e:0x1f:0xc1:3"},
         kPhase1 + kPhase2 + secondPiece + "1K bytes      150%\r" + kIncomplete, true, 112, 3, 50},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        DumpRun d(c.options);
        d.run();
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.console.text, c.expected);
        EXPECT_EQ(d.fileExists(), c.fileExists);
        if (c.fileExists) {
            EXPECT_EQ(readFile(d.file), d.flash.substr(0, c.fileBytes));
        }
        EXPECT_EQ(d.pieceRequests(), c.pieceRequests);
        EXPECT_EQ(d.transport.closes, 1);
        EXPECT_EQ(d.clock.nowUs(), c.virtualSeconds * kSecond);
    }
}

TEST(FlashDump, ExistingFileIsEmptiedAndAnUncreatableOneSendsNoPieceRequest) {
    DumpRun d({"--bmc-dump-length=60"});
    writeFile(d.file, std::string(1000, 'x'));
    d.run();
    EXPECT_EQ(readFile(d.file), d.flash.substr(0, 60));

    DumpRun bad({"--bmc-dump-length=60"});
    bad.file = "/nonexistent-dir/dump.bin";
    bad.run();
    EXPECT_EQ(bad.result, 1);
    EXPECT_EQ(bad.console.text, kPhase1 + kPhase2 + "ERROR: OPEN BINARY FILE FAILED /nonexistent-dir/dump.bin\n\n");
    EXPECT_EQ(bad.pieceRequests(), 0u);
    EXPECT_EQ(bad.transport.closes, 1);
}

// A transport whose n-th piece request fails while the request is still being
// written, so the BMC never sees it.
class LostRequests final : public Transport {
public:
    LostRequests(Transport& inner, std::vector<int> lost) : inner_(inner), lost_(std::move(lost)) {}
    int open() override { return inner_.open(); }
    int close() override { return inner_.close(); }
    int exchange(uint8_t netFnLun, uint8_t command, const uint8_t* data, int32_t length, uint8_t* response,
                 int32_t* responseLength) override {
        if (command == kGetDumpFlashData && ++pieces_ > 0 &&
            std::find(lost_.begin(), lost_.end(), pieces_) != lost_.end())
            return -1;
        return inner_.exchange(netFnLun, command, data, length, response, responseLength);
    }

private:
    Transport& inner_;
    std::vector<int> lost_;
    int pieces_ = 0;
};

TEST(FlashDump, RequestLostBeforeTheBmcSawItIsSentAgain) {
    DumpRun d({"--bmc-dump-length=200"});
    LostRequests lossy(d.transport, {2, 3, 4});
    runFlashDump(d.platform(), lossy, d.file.c_str());
    EXPECT_EQ(readFile(d.file), d.flash.substr(0, 200));
    EXPECT_EQ(d.console.text.find("ERROR"), std::string::npos);

    DumpRun worse({"--bmc-dump-length=200"});
    LostRequests lossier(worse.transport, {2, 3, 4, 5});
    runFlashDump(worse.platform(), lossier, worse.file.c_str());
    EXPECT_EQ(readFile(worse.file), worse.flash.substr(0, 56));
    EXPECT_EQ(worse.console.text.substr(worse.console.text.size() - kIncomplete.size()), kIncomplete);
}

TEST(FlashDump, WriteFailureIsNeverPassedOffAsADump) {
    // /dev/full takes the stream's buffer and fails when it is flushed: a small
    // dump fails at the close, a large one while the pieces still arrive.
    const std::string message = "ERROR: WRITE BINARY FILE FAILED /dev/full, THE DUMP IS INCOMPLETE\n\n";
    DumpRun small({"--bmc-dump-length=112"});
    small.file = "/dev/full";
    small.run();
    EXPECT_EQ(small.console.text.substr(small.console.text.size() - message.size()), message);
    EXPECT_EQ(small.pieceRequests(), 3u);

    DumpRun large({"--bmc-dump-length=0x100000"});
    large.file = "/dev/full";
    large.run();
    EXPECT_EQ(large.console.text.substr(large.console.text.size() - message.size()), message);
    EXPECT_LT(large.pieceRequests(), 1000u);
    EXPECT_EQ(large.transport.closes, 1);
}

}  // namespace
}  // namespace korvex::test

namespace korvex::test {
namespace {

TEST(FlashDump, BmcThatNeverFlagsTheLastPieceIsStopped) {
    DumpRun d({"--bmc-dump-length=112"});
    d.bmc.setHandler(bmc::kNetFnOem, kGetDumpFlashData, [](const bmc::Request&) {
        return bmc::Response{0x00, std::vector<uint8_t>(57, 0x00)};  // a full piece, never the last
    });
    d.result = runFlashDump(d.platform(), d.transport, d.file.c_str(), 560);
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.pieceRequests(), 10u);
    EXPECT_EQ(readFile(d.file), std::string(560, '\0'));
    const std::string tail = "ERROR:THE BMC DID NOT END THE DUMP, IT IS STOPPED AFTER 560 BYTES\n\n";
    ASSERT_GE(d.console.text.size(), tail.size());
    EXPECT_EQ(d.console.text.substr(d.console.text.size() - tail.size()), tail);
    EXPECT_EQ(d.transport.closes, 1);
}

}  // namespace
}  // namespace korvex::test
