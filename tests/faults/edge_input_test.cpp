// Bad input at the edges, through the whole tool: file names of every length
// the shell passes (4 KiB, empty), packages beyond 4 GiB, footers that point
// beyond the package. Each gets its message or its documented outcome, and
// the run ends with nothing left open or held.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "firmware/package_builder.h"
#include "support/fault_rig.h"

namespace korvex::test {
namespace {

// One run of the tool: its result (every edge here ends in a failure), the
// row's golden text, the cold resets, and nothing left open or held.
void runRow(FaultRun& sim, const char* row, const std::vector<std::string>& args, int result, uint64_t resets,
            const std::string& file) {
    sim.console.input = "\n";
    EXPECT_EQ(sim.run(args), (JobResult{result, JobOutcome::Failed}));
    expectGolden(row, sim.after(), file);
    EXPECT_EQ(sim.machine.bmc.coldResets(), resets);
    EXPECT_EQ(sim.files.openNow, 0);
    EXPECT_EQ(sim.memory.outstanding(), 0u);
}

TEST(EdgeInput, FileNamesOfAnyLength) {
    const std::string longName = scratchPath(std::string(4096, 'n'));
    const struct {
        const char* name;
        std::vector<std::string> args;  // @LONG@ stands for a 4 KiB name
        int result;
    } rows[] = {
        {"update-open-fails", {"-f", "@LONG@"}, -1},
        {"usb-open-fails", {"-f", "@LONG@", "-i", "usb"}, 0},
        {"dump-open-fails", {"-d", "@LONG@"}, 1},
        {"backup-open-fails", {"-c", "-d", "@LONG@"}, 0},
        {"restore-missing-file", {"-c", "-f", "@LONG@"}, 0},
        {"update-open-fails", {"-f", ""}, -1},
        {"name-empty-dump", {"-d", ""}, 1},
        {"backup-open-fails", {"-c", "-d", ""}, 0},
        {"restore-missing-file", {"-c", "-f", ""}, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name + std::string(row.args.back().empty() ? " (empty name)" : " (long name)"));
        std::vector<std::string> args = row.args;
        for (std::string& a : args)
            if (a == "@LONG@") a = longName;
        FaultRun sim;
        runRow(sim, row.name, args, row.result, 0, longName);
    }
}

// A sparse file of the given size, or false where the file system cannot
// hold one.
bool sparseFile(const std::string& path, uint64_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = ::ftruncate(fileno(f), static_cast<off_t>(size)) == 0;
    std::fclose(f);
    return ok;
}

// A platform that cannot hold more than 2 GiB in one block, as firmware
// seldom can; the 32-bit wrap of 4 GiB + 32 MiB must not pass for 32 MiB.
TEST(EdgeInput, PackagesBeyondFourGiB) {
    const struct {
        const char* name;
        uint64_t size;
        bool usb;
        int result;
        uint64_t coldResets;
    } rows[] = {
        {"update-empty-package", 0x140000000, false, -1, 1},
        {"usb-wrong-size", 0x102000000, true, 0, 0},  // wraps to 32 MiB in 32 bits
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = scratchPath("huge-" + std::to_string(row.size));
        if (!sparseFile(path, row.size)) GTEST_SKIP() << "no sparse files here";
        FaultRun sim;
        sim.memory.failAbove = 0x80000000;
        std::vector<std::string> args{"-f", path};
        if (row.usb) args.insert(args.end(), {"-i", "usb"});
        runRow(sim, row.name, args, row.result, row.coldResets, path);
        std::remove(path.c_str());
    }
}

// Entries that point beyond the package (and beyond the flash a small
// package stands for): refused before any byte is sent.
TEST(EdgeInput, FootersPointingBeyondThePackage) {
    const struct {
        uint64_t offset, length;
    } rows[] = {
        {0x3000000, 0x100}, {0x1000, 0xFFFFFFFF}, {0x100000000, 0x100}, {0, 0x1000000000}, {0xFFFFFFFFFFFFFF00, 0x200},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.offset);
        const std::string path = scratchPath("far-footer.bin");
        PackageBuilder b(0x48000);
        b.footer = entryLine(row.offset, row.length, "far.bin");
        writeFile(path, b.signature(0, "fw-1").plainFooter(0x8000).str());
        FaultRun sim;
        runRow(sim, "update-part-out-of-range", {"-f", path}, -1, 1, path);
        EXPECT_EQ(sim.machine.bmc.count(kNetFnOem, kCmdSendBlockInfo), 0u);  // no block info sent
        std::remove(path.c_str());
    }
}

}  // namespace
}  // namespace korvex::test
