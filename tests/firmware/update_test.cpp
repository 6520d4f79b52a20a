// The update job through the whole tool against the simulated BMC: the bytes
// the BMC receives (update-info byte, block records, chunks and their flags)
// and what its flash holds.
#include <gtest/gtest.h>

#include <cstdio>

#include "bmc/update_module.h"
#include "firmware/package_builder.h"
#include "support/fault_rig.h"

namespace korvex::test {
namespace {

constexpr uint8_t kOem = 0x3E, kBlockInfo = 0x14, kChunk = 0x15, kUpdateInfo = 0x16;
constexpr JobResult kUpdated{0, JobOutcome::Succeeded};

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
    for (auto [at, n] : {std::pair<size_t, size_t>{0x1000, 0x12345},
                         {0x100000, 0x30000},
                         {0x800000, 1000 + 13 + 23},  // the webfs part: the name's length and 23 bytes more
                         {0x1FC0000, 0x40000}})
        std::copy_n(b.bytes.begin() + at, n, expected.begin() + at);
    EXPECT_TRUE(run.flash() == expected);
    EXPECT_EQ(run.sent(kBlockInfo),
              (std::vector<Bytes>{
                  blockRecord(0x1000, 0x20000, 0x12345, 0, 4), blockRecord(0x100000, 0x30000, 0x30000, 1, 4),
                  blockRecord(0x800000, 0x10000, 1036, 2, 4), blockRecord(0x1FC0000, 0x40000, 0x40000, 3, 4)}));
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
        {49, {{49, 0}, {0, 1}}, false},           // 100% is never shown
        {98, {{49, 0}, {49, 1}}, true},           // 50%, shown as 51%
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
        EXPECT_TRUE(
            std::equal(expected.begin() + 0x100, expected.begin() + 0x100 + c.length, run.flash().begin() + 0x100));
        EXPECT_TRUE(std::equal(expected.begin() + 0x8000, expected.end(), run.flash().begin() + 0x8000));
    }
}

}  // namespace
}  // namespace korvex::test
