// Every failure of the configuration backup and restore, through the whole
// tool over the simulated KCS interface: the whole console text, the result,
// no cold reset, the backup file (absent, or exactly the blocks accepted
// before the failure), the BMC's configuration after a restore, and nothing
// left open or held.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "bmc/config_module.h"
#include "support/fault_rig.h"

namespace korvex::test {
namespace {

constexpr size_t kConfigBytes = 150;  // blocks of 64, 64 and 22 bytes
constexpr size_t kRestoreBytes = 100;  // blocks of 45, 45 and 10 bytes

std::string pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 11 + seed);
    return s;
}

enum class Direction { Backup, Restore };
// The backup file afterwards; for a restore, whether the BMC took the file.
enum class Outcome { Whole, Prefix, Absent, Empty, Unchanged };

struct ConfigRow {
    const char* name;
    Direction direction;
    std::vector<std::string> options;
    Outcome outcome;
    size_t prefix = 0;
    size_t writeLimit = SIZE_MAX;
    size_t readLimit = SIZE_MAX;
    bool failClose = false;
    bool noFile = false;  // backup into a folder that does not exist; restore from a missing file
    size_t restoreBytes = kRestoreBytes;
};

using D = Direction;
using O = Outcome;
const ConfigRow kRows[] = {
    {"backup-ok", D::Backup, {}, O::Whole},
    {"backup-number-wraps", D::Backup, {"--bmc-config-seq=0xFFFFFF"}, O::Whole},
    {"backup-open-fails", D::Backup, {}, O::Absent, 0, SIZE_MAX, SIZE_MAX, false, true},
    {"backup-start-fails", D::Backup, {"--bmc-fault=config-start-fail"}, O::Empty},
    {"backup-never-ready", D::Backup, {"--bmc-fault=config-never-ready"}, O::Empty},
    {"backup-status-short", D::Backup, {"--bmc-fault=config-status-short:7"}, O::Empty},
    {"backup-total-zero", D::Backup, {"--bmc-fault=config-total:0"}, O::Empty},
    {"backup-total-negative", D::Backup, {"--bmc-fault=config-total:0x80000000"}, O::Empty},
    {"backup-task-fails", D::Backup, {"--bmc-fault=config-fail-at:2"}, O::Prefix, 64},
    {"backup-number-repeated", D::Backup, {"--bmc-fault=config-bad-seq:2"}, O::Prefix, 64},
    {"backup-other-task", D::Backup, {"--bmc-fault=config-other-task:2"}, O::Prefix, 64},
    {"backup-status-byte-alone", D::Backup, {"--bmc-fault=config-short-block:2"}, O::Prefix, 64},
    {"backup-exchange-broken-then-resent", D::Backup, {"--bmc-fault=config-drop:2"}, O::Whole},
    {"backup-no-data-five-times", D::Backup, {"--bmc-fault=config-no-data:2:5"}, O::Whole},
    {"backup-no-data-six-times", D::Backup, {"--bmc-fault=config-no-data:2:6"}, O::Prefix, 64},
    {"backup-state-five-times", D::Backup, {"--bmc-fault=config-state:3:2:5"}, O::Whole},
    {"backup-state-six-times", D::Backup, {"--bmc-fault=config-state:1:2:6"}, O::Prefix, 64},
    {"backup-write-fails", D::Backup, {}, O::Prefix, 64, 100},
    {"backup-close-fails", D::Backup, {}, O::Whole, 0, SIZE_MAX, SIZE_MAX, true},
    {"restore-ok", D::Restore, {}, O::Whole},
    {"restore-missing-file", D::Restore, {}, O::Unchanged, 0, SIZE_MAX, SIZE_MAX, false, true},
    {"restore-empty-file", D::Restore, {}, O::Whole, 0, SIZE_MAX, SIZE_MAX, false, false, 0},
    {"restore-read-fails", D::Restore, {}, O::Unchanged, 0, SIZE_MAX, 50},
    {"restore-start-fails", D::Restore, {"--bmc-fault=config-start-fail"}, O::Unchanged},
    {"restore-never-ready", D::Restore, {"--bmc-fault=config-never-ready"}, O::Unchanged},
    {"restore-status-short", D::Restore, {"--bmc-fault=config-status-short:3"}, O::Unchanged},
    {"restore-task-fails", D::Restore, {"--bmc-fault=config-fail-at:2"}, O::Unchanged},
    {"restore-number-repeated", D::Restore, {"--bmc-fault=config-bad-seq:2"}, O::Unchanged},
    {"restore-other-task", D::Restore, {"--bmc-fault=config-other-task:2"}, O::Unchanged},
    {"restore-exchange-broken-then-resent", D::Restore, {"--bmc-fault=config-drop:2"}, O::Whole},
};

TEST(ConfigFaults, EveryFailureEndToEnd) {
    for (const ConfigRow& row : kRows) {
        SCOPED_TRACE(row.name);
        const bool backup = row.direction == Direction::Backup;
        const std::string path = row.noFile && backup ? scratchPath("no-such-folder") + "/config.bin"
                                                      : scratchPath(std::string(row.name) + ".bin");
        std::remove(path.c_str());
        const std::string original = pattern(kConfigBytes, 1);
        const std::string restoreFile = pattern(row.restoreBytes, 2);
        if (!backup && !row.noFile) writeFile(path, restoreFile);
        FaultRun sim;
        sim.options(row.options);
        auto* config = sim.machine.bmc.module<bmc::ConfigModule>();
        config->setConfiguration(std::vector<uint8_t>(original.begin(), original.end()));
        sim.files.writeLimit = row.writeLimit;
        sim.files.readLimit = row.readLimit;
        sim.files.failClose = row.failClose;
        EXPECT_EQ(sim.run({"-c", backup ? "-d" : "-f", path}), 0);
        expectGolden(row.name, sim.after(), path);
        EXPECT_EQ(sim.machine.bmc.coldResets(), 0u);
        EXPECT_EQ(sim.files.openNow, 0);
        EXPECT_EQ(sim.memory.outstanding(), 0u);
        const std::string now(config->configuration().begin(), config->configuration().end());
        if (backup) {
            EXPECT_EQ(now, original);
            EXPECT_EQ(access(path.c_str(), F_OK) == 0, row.outcome != Outcome::Absent);
            const std::string want = row.outcome == Outcome::Whole    ? original
                                     : row.outcome == Outcome::Prefix ? original.substr(0, row.prefix)
                                                                      : "";
            EXPECT_EQ(readFile(path), want);
        } else {
            EXPECT_EQ(now, row.outcome == Outcome::Whole ? restoreFile : original);
            if (!row.noFile) {
                EXPECT_EQ(readFile(path), restoreFile);
            }
        }
        std::remove(path.c_str());
    }
}

}  // namespace
}  // namespace korvex::test
