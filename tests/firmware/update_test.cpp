// The update job through the whole tool against the simulated BMC: the bytes
// the BMC receives (update-info byte, block records, chunks and their flags),
// what its flash holds, and the odd answers the fault matrix does not show,
// each of which must end exactly as the matrix row it resembles.
#include <gtest/gtest.h>

#include <cstdio>

#include "bmc/update_module.h"
#include "firmware/package_builder.h"
#include "support/fault_rig.h"

namespace korvex::test {
namespace {

constexpr uint8_t kOem = 0x3E, kBlockInfo = 0x14, kChunk = 0x15, kUpdateInfo = 0x16, kUsbInfo = 0x0D;
constexpr JobResult kUpdated{0, JobOutcome::Succeeded};
constexpr JobResult kRefused{-1, JobOutcome::RefusedByBmc};
constexpr JobResult kUsb{0, JobOutcome::Failed};  // the USB path sends no firmware

// One run of the tool on a package, with every request to the BMC logged.
struct ToolRun {
    FaultRun sim;
    std::string path = scratchPath("package.bin");

    ToolRun(const Bytes& package, const std::vector<std::string>& bmc = {}) {
        writeFile(path, std::string(package.begin(), package.end()));
        sim.machine.bmc.keepLog(true);
        sim.options(bmc);
        sim.console.input = "x";
    }
    ~ToolRun() { std::remove(path.c_str()); }
    JobResult go(std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"-f", path});
        return sim.run(args);
    }
    // The data of every request with this command, in order.
    std::vector<Bytes> sent(uint8_t command) const {
        std::vector<Bytes> out;
        for (const bmc::Request& r : sim.machine.bmc.log())
            if (r.netFn == kOem && r.command == command) out.push_back(r.data);
        return out;
    }
    const std::vector<uint8_t>& flash() { return sim.machine.bmc.module<bmc::UpdateModule>()->flash(); }
};

// A sendBlockInfo request as it must go out: three big-endian words, index, count.
Bytes blockRecord(uint32_t start, uint32_t area, uint32_t length, uint8_t index, uint8_t count) {
    Bytes r;
    for (uint32_t v : {start, area, length})
        for (int shift = 24; shift >= 0; shift -= 8) r.push_back(static_cast<uint8_t>(v >> shift));
    r.push_back(index);
    r.push_back(count);
    return r;
}

// The fault matrix's good package, at the given size.
Bytes matrixPackage(size_t size = 0x48000) {
    PackageBuilder b(size);
    b.signature(0, "fw-1").part("a.bin", 0x1000, patternBytes(100, 1)).plainFooter(0x8000);
    return b.bytes;
}

std::string golden(const std::string& row, const std::string& file) {
    std::string text = readFile(std::string(KORVEX_TEST_DATA_DIR) + "/faults/golden/" + row + ".txt");
    for (size_t at = text.find("@FILE@"); at != std::string::npos; at = text.find("@FILE@", at))
        text.replace(at, 6, file);
    return text;
}

TEST(KcsUpdate, FlashHoldsEveryPartAtItsOffsetAndNothingElse) {
    PackageBuilder b(kFlashSize);
    b.signature(0x30, "korvex-fw-1.0");
    b.part("boot.bin", 0x1000, patternBytes(0x12345, 3))
        .part("kernel.bin", 0x100000, patternBytes(0x30000, 4))
        .part("out_webfs_img.bin", 0x800000, patternBytes(1000, 5))
        .encipheredFooterAt(0x1FC0000);
    ToolRun run(b.bytes);
    ASSERT_EQ(run.go({"-r", "n"}), kUpdated);

    Bytes expected(kFlashSize, 0xFF);
    for (auto [at, n] : {std::pair<size_t, size_t>{0x1000, 0x12345}, {0x100000, 0x30000},
                         {0x800000, 1000 + 13 + 23},  // the webfs part: the name's length and 23 bytes more
                         {0x1FC0000, 0x40000}})
        std::copy_n(b.bytes.begin() + at, n, expected.begin() + at);
    EXPECT_TRUE(run.flash() == expected);
    EXPECT_EQ(run.sent(kBlockInfo), (std::vector<Bytes>{blockRecord(0x1000, 0x20000, 0x12345, 0, 4),
                                                        blockRecord(0x100000, 0x30000, 0x30000, 1, 4),
                                                        blockRecord(0x800000, 0x10000, 1036, 2, 4),
                                                        blockRecord(0x1FC0000, 0x40000, 0x40000, 3, 4)}));
    EXPECT_EQ(run.sent(kUpdateInfo), std::vector<Bytes>{Bytes{0}});  // "-r n"
    EXPECT_EQ(run.sim.machine.bmc.coldResets(), 0u);
    EXPECT_EQ(run.sim.files.openNow, 0);
    EXPECT_EQ(run.sim.memory.outstanding(), 0u);
}

// Chunks carry 49 bytes after their flag; the last (flag 1) carries the rest,
// and a part shorter than a chunk goes out as its last chunk alone. The footer
// area part runs past the end of this file: those bytes go out erased.
TEST(KcsUpdate, PartsGoOutInTheRightChunks) {
    struct Case {
        size_t length;
        std::vector<std::pair<size_t, int>> chunks;  // data length and flag of the part's chunks
        bool progress;                               // a percentage line before its [Ok]
    } cases[] = {
        {0, {{0, 1}}, false},
        {48, {{48, 1}}, false},
        {49, {{49, 0}, {0, 1}}, false},  // 100% is never shown
        {98, {{49, 0}, {49, 1}}, true},  // 50%, shown as 51%
        {99, {{49, 0}, {49, 0}, {1, 1}}, false},  // 49% and 98%: no multiple of 5
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        PackageBuilder b(0x10000);
        b.part("p", 0x100, patternBytes(c.length, 7)).plainFooter(0x8000);
        ToolRun run(b.bytes);
        ASSERT_EQ(run.go(), kUpdated);
        std::vector<std::pair<size_t, int>> chunks;
        size_t total = 0;
        for (const Bytes& r : run.sent(kChunk)) {
            chunks.emplace_back(r.size() - 1, r[0]);
            total += r.size() - 1;
        }
        EXPECT_EQ(total, c.length + 0x40000);
        chunks.resize(c.chunks.size());
        EXPECT_EQ(chunks, c.chunks);
        const std::string& t = run.sim.console.text;
        EXPECT_EQ(t.find("Load part 0 ") != t.rfind("Load part 0 ", t.find(" bytes, [Ok]")), c.progress);
        Bytes expected = b.bytes;
        expected.resize(0x48000, 0xFF);
        EXPECT_TRUE(std::equal(expected.begin() + 0x100, expected.begin() + 0x100 + c.length, run.flash().begin() + 0x100));
        EXPECT_TRUE(std::equal(expected.begin() + 0x8000, expected.end(), run.flash().begin() + 0x8000));
    }
}

// Answers and states that look like a matrix row's cause must end exactly as it.
TEST(KcsUpdate, OddAnswersEndAsTheirMatrixRow) {
    struct Row {
        const char* name;
        std::vector<std::string> bmc;
        std::vector<std::string> args;
        const char* matrixRow;
        JobResult result;
        uint64_t resets;
    } rows[] = {
        {"update state 0x12 is not 2", {"--bmc-update-state=0x12"}, {}, "update-state-not-ready", kRefused, 1},
        {"rejection without its verdict byte", {"--bmc-fault=update-verdict:1", "--bmc-fault=update-no-data:receive-fw-data"}, {},
         "update-verdict-other", kRefused, 1},
        {"0xCD on a full chunk is no rejection", {"--bmc-fault=request-cc:receive-fw-data:0xcd:1"}, {}, "update-ok", kUpdated, 0},
        {"0xC0 on sendBlockInfo is no failure", {"--bmc-fault=request-cc:send-block-info:0xc0"}, {}, "update-ok", kUpdated, 0},
        {"USB: state 1, not looked at", {"--bmc-update-state=1"}, {"-i", "usb"}, "usb-info-no-data", kUsb, 0},
        {"USB: state 0x12 reads as 2, looked at", {"--bmc-update-state=0x12"}, {"-i", "usb"}, nullptr, kUsb, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool usb = !row.args.empty();
        ToolRun run(matrixPackage(usb ? kFlashSize : 0x48000), row.bmc);
        EXPECT_EQ(run.go(row.args), row.result);
        const std::string expected = row.matrixRow != nullptr
                                         ? golden(row.matrixRow, run.path)
                                         : "Press any to continue name " + run.path +
                                               "\n[find_respective_image_info:788] Unique File name=fw-1 len=4\n"
                                               "If the FW update fails,PLEASE TRY AGAIN\n"
                                               "Transfer data ................\nFWUpdate fail\n";
        EXPECT_EQ(run.sim.after(), expected);
        EXPECT_EQ(run.sim.machine.bmc.coldResets(), row.resets);
        EXPECT_EQ(run.sent(usb ? kUsbInfo : kUpdateInfo), std::vector<Bytes>{Bytes{1}});
        if (usb) {
            EXPECT_EQ(run.sim.machine.bmc.exchanges(), 1u);  // reads, but sends nothing
            EXPECT_EQ(run.sim.console.inputPos, 1u);         // after a key
        }
    }
}

// Only 100 ends the poll; it gives up after 3600 polls a second apart.
TEST(KcsUpdate, ProgressAbove100DoesNotEndThePoll) {
    ToolRun run(matrixPackage(), {"--bmc-fault=update-progress:101"});
    EXPECT_EQ(run.go(), (JobResult{-1, JobOutcome::Failed}));
    EXPECT_EQ(run.sim.machine.bmc.count(kOem, 0x17), 3600u);
    EXPECT_GE(run.sim.machine.clock.nowUs(), 3600u * 1000000u);
}

}  // namespace
}  // namespace korvex::test
