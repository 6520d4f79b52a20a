// Every failure of the dump job, through the whole tool over the simulated
// KCS interface: the whole console text, the result, no cold reset, the dump
// file (absent, or exactly the pieces accepted before the failure), and
// nothing left open or held.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "support/fault_rig.h"

namespace korvex::test {
namespace {

constexpr size_t kDumpLength = 200;  // three full pieces of 56 bytes and one of 32

enum class Dump { Whole, Prefix, Absent, Empty };

struct DumpRow {
    const char* name;
    std::vector<std::string> options;
    Dump file;
    size_t prefix = 0;  // bytes of the flash the file holds, for Dump::Prefix
    size_t writeLimit = SIZE_MAX;
    bool failClose = false;
    bool noFolder = false;  // the dump file's folder does not exist
};

const DumpRow kRows[] = {
    {"dump-ok", {}, Dump::Whole},
    {"dump-prepare-fails", {"--bmc-fault=cc:0x3e:0x1d:0xc1"}, Dump::Whole},
    {"dump-check-fails-once", {"--bmc-fault=cc:0x3e:0x1e:0xc3:1"}, Dump::Whole},
    {"dump-ready-late", {"--bmc-dump-ready-after=3"}, Dump::Whole},
    {"dump-never-ready", {"--bmc-fault=dump-never-ready"}, Dump::Absent},
    {"dump-check-always-fails", {"--bmc-fault=cc:0x3e:0x1e:0xc3"}, Dump::Absent},
    {"dump-ready-without-length", {"--bmc-fault=dump-ready-short"}, Dump::Absent},
    {"dump-length-zero", {"--bmc-dump-length=0", "--bmc-dump-send=200"}, Dump::Whole},
    {"dump-sends-less", {"--bmc-dump-send=100"}, Dump::Prefix, 100},
    {"dump-open-fails", {}, Dump::Absent, 0, SIZE_MAX, false, true},
    {"dump-piece-broken", {"--bmc-fault=dump-drop:2"}, Dump::Prefix, 56},
    {"dump-piece-without-data", {"--bmc-fault=dump-no-data:3"}, Dump::Prefix, 112},
    {"dump-piece-short", {"--bmc-fault=dump-short:1"}, Dump::Empty},
    {"dump-piece-busy-then-served", {"--bmc-fault=cc:0x3e:0x1f:0xc0:2"}, Dump::Whole},
    {"dump-piece-busy-always", {"--bmc-fault=cc:0x3e:0x1f:0xd2"}, Dump::Empty},
    {"dump-piece-timeout", {"--bmc-fault=cc:0x3e:0x1f:0xc3:2"}, Dump::Prefix, 56},
    {"dump-write-fails", {}, Dump::Prefix, 112, 120},
    {"dump-close-fails", {}, Dump::Whole, 0, SIZE_MAX, true},
};

TEST(DumpFaults, EveryFailureEndToEnd) {
    for (const DumpRow& row : kRows) {
        SCOPED_TRACE(row.name);
        const std::string path =
            row.noFolder ? scratchPath("no-such-folder") + "/dump.bin" : scratchPath(std::string(row.name) + ".bin");
        std::remove(path.c_str());
        FaultRun sim;
        sim.options({"--bmc-dump-length=" + std::to_string(kDumpLength)});
        sim.options(row.options);
        std::vector<uint8_t>& flash = sim.machine.bmc.flash();
        for (size_t i = 0; i < kDumpLength; ++i) flash[i] = static_cast<uint8_t>(i * 7 + 3);
        const std::string expected(flash.begin(), flash.begin() + kDumpLength);
        sim.files.writeLimit = row.writeLimit;
        sim.files.failClose = row.failClose;
        EXPECT_EQ(sim.run({"-d", path}), 1);
        expectGolden(row.name, sim.after(), path);
        EXPECT_EQ(sim.machine.bmc.coldResets(), 0u);
        EXPECT_EQ(sim.files.openNow, 0);
        EXPECT_EQ(sim.memory.outstanding(), 0u);
        EXPECT_EQ(access(path.c_str(), F_OK) == 0, row.file != Dump::Absent);
        const std::string want = row.file == Dump::Whole    ? expected
                                 : row.file == Dump::Prefix ? expected.substr(0, row.prefix)
                                                            : "";
        EXPECT_EQ(readFile(path), want);
        std::remove(path.c_str());
    }
}

}  // namespace
}  // namespace korvex::test
