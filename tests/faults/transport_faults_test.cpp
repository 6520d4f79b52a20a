// KCS interface failures under each job, through the whole tool: what a
// broken, slow, over-long or cut-short exchange does to the job that sent it,
// with the whole console text, the result and outcome, the cold resets, the
// files and nothing left open or held. The exchange itself, request by request, is
// covered in tests/transport.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "bmc/config_module.h"
#include "firmware/package_builder.h"
#include "support/fault_rig.h"

namespace korvex::test {
namespace {

enum class Job { Backup, Dump, Update };

// Binary junk around the words of a kcs.cfg, NUL bytes included (25 bytes).
// Between the words: taken as the right ports. Glued to them: no port is
// named, both stay 0 and nothing answers there.
constexpr char kJunk[] = "\x01\xff\0 CMD CA3 \0\x80\nDATA\tCA2 \xfe";
constexpr char kGluedJunk[] = "\x01\xff\0CMD\x80 CA3 \0\0 DATA\x7f CA2\xfe";

struct TransportRow {
    const char* name;
    Job job;
    std::vector<std::string> options;  // requests count from 1 in the order the tool sends them
    JobResult result;                  // a backup or dump that succeeded holds the whole configuration or flash
    uint64_t coldResets;
    const char* kcsCfg = nullptr;  // contents of kcs.cfg, if there is one
};

using O = JobOutcome;

// Backup: 1 reset, 2 start, 3 status, 4 and 5 the blocks, 6 finish (only after a failure).
// Dump: 1 prepare, 2 check, 3 to 6 the pieces.
// Update: 1 update info, 2 block info, 3 on the data chunks.
const TransportRow kRows[] = {
    {"kcs-backup-ibf-stuck", Job::Backup, {"--bmc-fault=kcs-ibf-stuck:5"}, {0, O::Failed}, 0},
    {"kcs-backup-error-state", Job::Backup, {"--bmc-fault=kcs-error-state:5"}, {0, O::Succeeded}, 0},
    {"kcs-backup-long-response", Job::Backup, {"--bmc-fault=kcs-long-response:200:5"}, {0, O::Succeeded}, 0},
    {"kcs-backup-short-response", Job::Backup, {"--bmc-fault=kcs-short-response:2:5"}, {0, O::Succeeded}, 0},
    {"kcs-backup-stale-byte", Job::Backup, {"--bmc-fault=kcs-obf-stuck:5"}, {0, O::Succeeded}, 0},
    {"kcs-backup-slow-answer", Job::Backup, {"--bmc-fault=kcs-delay:31000000:5"}, {0, O::Succeeded}, 0},
    {"kcs-backup-slow-within-limit", Job::Backup, {"--bmc-fault=kcs-delay:29000000"}, {0, O::Succeeded}, 0},
    {"kcs-backup-kcs-cfg-junk", Job::Backup, {}, {0, O::Succeeded}, 0, kJunk},
    {"kcs-backup-kcs-cfg-glued-junk", Job::Backup, {}, {0, O::Failed}, 0, kGluedJunk},
    {"kcs-dump-ibf-stuck", Job::Dump, {"--bmc-fault=kcs-ibf-stuck:4"}, {1, O::Failed}, 0},
    {"kcs-dump-error-state", Job::Dump, {"--bmc-fault=kcs-error-state:4"}, {1, O::Failed}, 0},
    {"kcs-dump-long-response", Job::Dump, {"--bmc-fault=kcs-long-response:200:4"}, {1, O::Failed}, 0},
    {"kcs-dump-short-response", Job::Dump, {"--bmc-fault=kcs-short-response:0:4"}, {1, O::Failed}, 0},
    {"kcs-dump-stale-byte", Job::Dump, {"--bmc-fault=kcs-obf-stuck:4"}, {1, O::Succeeded}, 0},
    {"kcs-dump-slow-answer", Job::Dump, {"--bmc-fault=kcs-delay:31000000:4"}, {1, O::Failed}, 0},
    {"kcs-dump-check-broken", Job::Dump, {"--bmc-fault=kcs-error-state:2"}, {1, O::Succeeded}, 0},
    {"kcs-update-info-broken", Job::Update, {"--bmc-fault=kcs-error-state:1"}, {-1, O::Failed}, 1},
    {"kcs-update-info-long-response", Job::Update, {"--bmc-fault=kcs-long-response:300:1"}, {-1, O::Failed}, 1},
    {"kcs-update-cold-reset-broken", Job::Update, {"--bmc-fault=kcs-error-state:1", "--bmc-fault=kcs-short-response:1:2"},
     {-1, O::Failed}, 1},
    {"kcs-update-block-info-broken", Job::Update, {"--bmc-fault=kcs-short-response:1:2"}, {0, O::Succeeded}, 0},
    {"kcs-update-chunk-broken", Job::Update, {"--bmc-fault=kcs-error-state:3"}, {-1, O::Failed}, 1},
    {"kcs-update-stale-byte", Job::Update, {"--bmc-fault=kcs-obf-stuck:3"}, {0, O::Succeeded}, 0},
};

std::string flashBytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 5 + 1);
    return s;
}

TEST(TransportFaults, EveryJobEndToEnd) {
    const std::string config = flashBytes(100), flash = flashBytes(200);
    PackageBuilder b(0x48000);
    b.signature(0, "fw-1").part("a.bin", 0x1000, patternBytes(100, 1)).plainFooter(0x8000);
    const std::string package = b.str();
    for (const TransportRow& row : kRows) {
        SCOPED_TRACE(row.name);
        const std::string path = scratchPath(std::string(row.name) + ".bin");
        const std::string cfg = scratchPath(std::string(row.name) + "-kcs.cfg");
        std::remove(path.c_str());
        if (row.kcsCfg != nullptr) writeFile(cfg, std::string(row.kcsCfg, sizeof kJunk - 1));
        if (row.job == Job::Update) writeFile(path, package);
        FaultRun sim;
        sim.options(row.options);
        sim.options({"--bmc-dump-length=200"});
        sim.files.redirect["kcs.cfg"] = row.kcsCfg != nullptr ? cfg : scratchPath("no-such-kcs.cfg");
        sim.machine.bmc.module<bmc::ConfigModule>()->setConfiguration({config.begin(), config.end()});
        std::copy(flash.begin(), flash.end(), sim.machine.bmc.flash().begin());
        std::vector<std::string> args = {row.job == Job::Update ? "-f" : "-d", path};
        if (row.job == Job::Backup) args.insert(args.begin(), "-c");
        EXPECT_EQ(sim.run(args), row.result);
        expectGolden(row.name, sim.after(), path);
        EXPECT_EQ(sim.machine.bmc.coldResets(), row.coldResets);
        EXPECT_EQ(sim.files.openNow, 0);
        EXPECT_EQ(sim.memory.outstanding(), 0u);
        // A package is never written; a dump or backup is there only when whole.
        const bool kept = row.job == Job::Update || row.result.outcome == O::Succeeded;
        EXPECT_EQ(std::filesystem::exists(path), kept);
        const std::string whole = row.job == Job::Backup ? config : row.job == Job::Dump ? flash : package;
        if (kept) {
            EXPECT_TRUE(readFile(path) == whole);
        }
        EXPECT_EQ(leftBeside(path), std::vector<std::string>{});
        std::remove(path.c_str());
        std::remove(cfg.c_str());
    }
}

}  // namespace
}  // namespace korvex::test
