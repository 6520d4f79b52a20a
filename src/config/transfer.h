// Configuration transfer: the run's transfer context, the transfer-module
// table, and the steps of the "config" module that move the BMC's IPMI
// configuration between the BMC and a file in numbered blocks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "transport/ipmi.h"
#include "transport/job_result.h"

namespace korvex {

enum TransferMode : uint8_t { kModeBackup = 0, kModeRestore = 1, kModeNone = 2 };

struct ConfigTransfer;
using TransferStep = StepResult (*)(ConfigTransfer* context);

// A named set of steps the flow runs in a fixed order; chosen only when
// enabled is exactly 1.
struct TransferModule {
    const char* name;
    uint8_t enabled;
    TransferStep prepare;
    TransferStep transfer;
    TransferStep restoreCompletion;
    TransferStep finish;
};

inline constexpr size_t kTransferModuleSlots = 2;
using TransferModuleTable = TransferModule[kTransferModuleSlots];

// The state of one backup or restore, created fresh by the flow for each run.
struct ConfigTransfer {
    ConfigTransfer(BmcLink bmcLink, StopRequests& stopRequests) : link(bmcLink), stops(stopRequests) {}

    uint8_t taskState = 0;
    uint8_t taskId = 0;
    uint8_t mode = kModeNone;
    uint64_t sequence = 0;  // last accepted block number, 24 bits
    int64_t totalLength = 0;
    File* file = nullptr;          // the restore's file, or the backup's (staged, see backup)
    StagedFile* backup = nullptr;  // the backup's file, kept only when the backup succeeded
    const TransferModule* activeModule = nullptr;
    bool refusedByBmc = false;  // an answer reported TASK_FAIL_STATE
    bool interrupted = false;   // a step stopped on request

    BmcLink link;
    // A backup is stopped at its next request when asked; a restore holds
    // the requests (the flow sees to that), so its steps are never stopped.
    StopRequests& stops;
};

// The "config" module's steps.
StepResult prepareConfigTransfer(ConfigTransfer* context);
StepResult transferConfigBlocks(ConfigTransfer* context);
StepResult completeConfigRestore(ConfigTransfer* context);
StepResult finishConfigTransfer(ConfigTransfer* context);

// For a backup file that does not take the blocks.
void reportBackupWriteFailure(Console& console);

// The modules the tool carries: "config" in slot 1, slot 2 empty.
extern const TransferModuleTable kTransferModules;

// The configuration flow with a given module table (the tool's own is
// kTransferModules).
JobResult runConfigFlowWith(const Platform& platform, Transport& transport, const char* restoreName,
                            const char* backupName, const TransferModuleTable& modules);

}  // namespace korvex
