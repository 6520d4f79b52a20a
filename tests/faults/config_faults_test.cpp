// Every failure of the configuration backup and restore, through the whole
// tool over the simulated KCS interface: the whole console text, the result
// and outcome, no cold reset, nothing left open or held; for a backup, the
// file at the name (the BMC's configuration after a success, else the older
// backup that was there, untouched) and no temporary beside it; for a
// restore, the BMC's configuration afterwards. A stop request ends a backup
// before its next request, and the task is closed; a restore holds it.
#include <gtest/gtest.h>

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

struct ConfigRow {
    const char* name;
    Direction direction;
    std::vector<std::string> options;
    JobOutcome outcome;  // Succeeded: the backup holds the configuration, or the BMC took the restore
    size_t writeLimit = SIZE_MAX;
    size_t readLimit = SIZE_MAX;
    bool failKeep = false;
    bool noFile = false;  // backup into a folder that does not exist; restore from a missing file
    size_t restoreBytes = kRestoreBytes;
    size_t backedUp = kConfigBytes;  // bytes of the configuration a successful backup holds
    uint64_t stopAt = 0;  // a stop is requested while the BMC takes this request
};

using D = Direction;
using O = JobOutcome;
const ConfigRow kRows[] = {
    {"backup-ok", D::Backup, {}, O::Succeeded},
    {"backup-number-wraps", D::Backup, {"--bmc-config-seq=0xFFFFFF"}, O::Succeeded},
    {"backup-open-fails", D::Backup, {}, O::Failed, SIZE_MAX, SIZE_MAX, false, true},
    {"backup-start-fails", D::Backup, {"--bmc-fault=config-start-fail"}, O::RefusedByBmc},
    {"backup-never-ready", D::Backup, {"--bmc-fault=config-never-ready"}, O::Failed},
    {"backup-status-short", D::Backup, {"--bmc-fault=config-status-short:7"}, O::Failed},
    {"backup-total-zero", D::Backup, {"--bmc-fault=config-total:0"}, O::Succeeded, SIZE_MAX, SIZE_MAX, false, false,
     kRestoreBytes, 0},
    {"backup-total-negative", D::Backup, {"--bmc-fault=config-total:0x80000000"}, O::Failed},
    {"backup-task-fails", D::Backup, {"--bmc-fault=config-fail-at:2"}, O::RefusedByBmc},
    {"backup-number-repeated", D::Backup, {"--bmc-fault=config-bad-seq:2"}, O::Failed},
    {"backup-other-task", D::Backup, {"--bmc-fault=config-other-task:2"}, O::Failed},
    {"backup-status-byte-alone", D::Backup, {"--bmc-fault=config-short-block:2"}, O::Failed},
    {"backup-exchange-broken-then-resent", D::Backup, {"--bmc-fault=config-drop:2"}, O::Succeeded},
    {"backup-no-data-five-times", D::Backup, {"--bmc-fault=config-no-data:2:5"}, O::Succeeded},
    {"backup-no-data-six-times", D::Backup, {"--bmc-fault=config-no-data:2:6"}, O::Failed},
    {"backup-state-five-times", D::Backup, {"--bmc-fault=config-hold:3:2:5"}, O::Succeeded},
    {"backup-state-six-times", D::Backup, {"--bmc-fault=config-hold:1:2:6"}, O::Failed},
    {"backup-write-fails", D::Backup, {}, O::Failed, 100},
    {"backup-keep-fails", D::Backup, {}, O::Failed, SIZE_MAX, SIZE_MAX, true},
    {"backup-interrupted-preparing", D::Backup, {}, O::Interrupted, SIZE_MAX, SIZE_MAX, false, false, kRestoreBytes,
     kConfigBytes, 1},
    {"backup-interrupted-preparing", D::Backup, {}, O::Interrupted, SIZE_MAX, SIZE_MAX, false, false, kRestoreBytes,
     kConfigBytes, 2},
    {"backup-interrupted", D::Backup, {}, O::Interrupted, SIZE_MAX, SIZE_MAX, false, false, kRestoreBytes,
     kConfigBytes, 5},
    {"restore-ok", D::Restore, {}, O::Succeeded},
    {"restore-missing-file", D::Restore, {}, O::Failed, SIZE_MAX, SIZE_MAX, false, true},
    {"restore-empty-file", D::Restore, {}, O::Succeeded, SIZE_MAX, SIZE_MAX, false, false, 0},
    {"restore-read-fails", D::Restore, {}, O::Failed, SIZE_MAX, 50},
    {"restore-start-fails", D::Restore, {"--bmc-fault=config-start-fail"}, O::RefusedByBmc},
    {"restore-never-ready", D::Restore, {"--bmc-fault=config-never-ready"}, O::Failed},
    {"restore-status-short", D::Restore, {"--bmc-fault=config-status-short:3"}, O::Failed},
    {"restore-task-fails", D::Restore, {"--bmc-fault=config-fail-at:2"}, O::RefusedByBmc},
    {"restore-number-repeated", D::Restore, {"--bmc-fault=config-bad-seq:2"}, O::Failed},
    {"restore-other-task", D::Restore, {"--bmc-fault=config-other-task:2"}, O::Failed},
    {"restore-exchange-broken-then-resent", D::Restore, {"--bmc-fault=config-drop:2"}, O::Succeeded},
    {"restore-ok", D::Restore, {}, O::Succeeded, SIZE_MAX, SIZE_MAX, false, false, kRestoreBytes, kConfigBytes, 1},
    {"restore-ok", D::Restore, {}, O::Succeeded, SIZE_MAX, SIZE_MAX, false, false, kRestoreBytes, kConfigBytes, 5},
};

TEST(ConfigFaults, EveryFailureEndToEnd) {
    const std::string older = pattern(40, 3);  // a backup from an earlier run
    for (const ConfigRow& row : kRows) {
        SCOPED_TRACE(std::string(row.name) + " stop at " + std::to_string(row.stopAt));
        const bool backup = row.direction == Direction::Backup;
        const std::string path = row.noFile && backup ? scratchPath("no-such-folder") + "/config.bin"
                                                      : scratchPath(std::string(row.name) + ".bin");
        std::remove(path.c_str());
        const std::string original = pattern(kConfigBytes, 1);
        const std::string restoreFile = pattern(row.restoreBytes, 2);
        if (!row.noFile) writeFile(path, backup ? older : restoreFile);
        FaultRun sim;
        sim.stops.stopAt = row.stopAt;
        sim.options(row.options);
        auto* config = sim.machine.bmc.module<bmc::ConfigModule>();
        config->setConfiguration(std::vector<uint8_t>(original.begin(), original.end()));
        sim.files.writeLimit = row.writeLimit;
        sim.files.readLimit = row.readLimit;
        sim.files.failKeep = row.failKeep;
        EXPECT_EQ(sim.run({"-c", backup ? "-d" : "-f", path}), (JobResult{0, row.outcome}));
        expectGolden(row.name, sim.after(), path);
        EXPECT_EQ(sim.machine.bmc.coldResets(), 0u);
        // A restore holds stops from its first request on; a backup only reads.
        EXPECT_TRUE((backup ? sim.stops.heldCommands : sim.stops.freeCommands).empty());
        EXPECT_FALSE(sim.stops.held);
        if (row.outcome == O::Interrupted) {
            EXPECT_EQ(sim.machine.bmc.exchanges(), row.stopAt + 1);  // and the one after it closes the task
            EXPECT_EQ(config->finishRequests(), 1u);
        }
        EXPECT_EQ(sim.files.openNow, 0);
        EXPECT_EQ(sim.memory.outstanding(), 0u);
        EXPECT_EQ(leftBeside(path), std::vector<std::string>{});
        const bool succeeded = row.outcome == JobOutcome::Succeeded;
        const std::string now(config->configuration().begin(), config->configuration().end());
        EXPECT_EQ(now, !backup && succeeded ? restoreFile : original);
        const std::string file = !backup ? restoreFile : succeeded ? original.substr(0, row.backedUp) : older;
        if (!row.noFile) {
            EXPECT_EQ(readFile(path), file);
        }
        std::remove(path.c_str());
    }
}

}  // namespace
}  // namespace korvex::test
