#include "config/config_flow.h"

#include "config/transfer.h"

namespace korvex {

namespace {

const TransferModule* chooseModule(const TransferModuleTable& modules) {
    for (const TransferModule& m : modules)
        if (m.name != nullptr && m.enabled == 1) return &m;
    return nullptr;
}

void reportNotChanged(Console& console, const char* name) {
    console.print("Nothing was written to %s; the incomplete data were deleted.\n", name);
}

// Opens the file for the direction and, for a restore, learns its size.
// False when the flow cannot go on; the file is then closed again. A backup
// is written to a staged file, which takes the name only if the backup succeeds.
bool openFile(ConfigTransfer& c, FileSystem& files, const char* restoreName, const char* backupName) {
    Console& console = c.link.console;
    if (c.mode == kModeBackup) {
        console.print("=== IPMI Configuration Backup Mode ===\n");
        c.backup = files.createStaged(backupName);
        c.file = c.backup;
    } else {
        console.print("=== IPMI Configuration Restore Mode ===\n");
        c.file = files.open(restoreName, "rb");
    }
    if (c.file == nullptr) {
        console.print("ERROR: OPEN FILE FAILED\n\n");
        return false;
    }
    if (c.mode == kModeBackup) return true;
    const bool atEnd = c.file->seek(0, SeekFrom::End) == 0;
    c.totalLength = c.file->tell();
    if (!atEnd || c.totalLength < 0 || c.file->seek(0, SeekFrom::Start) != 0) {
        console.print("Can't get file size for restore mode.\n");
        c.file->close();
        c.file = nullptr;
        return false;
    }
    return true;
}

// Direction, module, file and transport, in this order. False when the flow
// cannot start; nothing has been sent then, and nothing is left open.
bool setUp(ConfigTransfer& c, FileSystem& files, const char* restoreName, const char* backupName,
           const TransferModuleTable& modules) {
    Console& console = c.link.console;
    c.mode = restoreName != nullptr ? kModeRestore : backupName != nullptr ? kModeBackup : kModeNone;
    if (c.mode == kModeNone) {
        console.print("unknown transmission direction.\n");
        return false;
    }
    c.activeModule = chooseModule(modules);
    if (c.activeModule == nullptr) {
        console.print("unknown file type!!!\n");
        return false;
    }
    if (!openFile(c, files, restoreName, backupName)) return false;
    if (c.link.transport.open() == -1) {
        c.file->close();  // a backup's staged file is deleted
        if (c.mode == kModeBackup) reportNotChanged(console, backupName);
        c.file = nullptr;
        c.backup = nullptr;
        return false;
    }
    return true;
}

// The steps in their fixed order; a failed step marks the task failed so that
// finish closes it at the BMC. True when every step, finish included, succeeded.
bool runSteps(ConfigTransfer& c) {
    const TransferModule& m = *c.activeModule;
    bool failed = m.prepare(&c) != StepResult::Ok || m.transfer(&c) != StepResult::Ok;
    if (!failed && c.mode == kModeRestore) failed = m.restoreCompletion(&c) != StepResult::Ok;
    if (failed) c.taskState = kTaskFailState;
    const bool finished = m.finish(&c) == StepResult::Ok;
    return !failed && finished;
}

// Keeps a backup that is whole, and deletes any other. False when the file
// did not take the backup's name.
bool settleBackup(ConfigTransfer& c, bool whole, const char* backupName) {
    bool kept = false;
    if (whole) {
        kept = c.backup->keep();
        // Making the file durable writes its last blocks: a failure there is a write failure.
        if (!kept) reportBackupWriteFailure(c.link.console);
    } else {
        c.backup->discard();
    }
    c.backup = nullptr;
    c.file = nullptr;
    if (!kept) reportNotChanged(c.link.console, backupName);
    return kept;
}

}  // namespace

JobResult runConfigFlowWith(const Platform& platform, Transport& transport, const char* restoreName,
                            const char* backupName, const TransferModuleTable& modules) {
    Console& console = platform.console;
    ConfigTransfer c(BmcLink{transport, console, platform.stall}, platform.stops);
    if (!setUp(c, platform.files, restoreName, backupName, modules)) {
        console.print("Operation Failed.\n");
        return {0, JobOutcome::Failed};
    }

    bool succeeded = false;
    if (c.mode == kModeRestore) {
        // The first request of a restore already changes the BMC (it resets
        // the transfer task); from there to the finish step a stop waits.
        const HeldStops hold(platform.stops, BmcChange::Restore);
        if (!hold.held()) {
            console.print("Error : Interrupted\n");
            transport.close();
            c.file->close();
            console.print("Operation Failed.\n");
            return {0, JobOutcome::Interrupted};
        }
        succeeded = runSteps(c);
    } else {
        succeeded = runSteps(c);
    }
    transport.close();
    if (c.mode == kModeBackup) {
        // A negative length announces nothing that could have been received whole.
        succeeded = settleBackup(c, succeeded && c.totalLength >= 0, backupName);
        console.print("Done.\n");
    } else {
        c.file->close();
        console.print("Done. Please wait at least 1 minute to restore configurations.\n");
    }
    const JobOutcome outcome = succeeded        ? JobOutcome::Succeeded
                               : c.interrupted  ? JobOutcome::Interrupted
                               : c.refusedByBmc ? JobOutcome::RefusedByBmc
                                                : JobOutcome::Failed;
    return {0, outcome};
}

JobResult runConfigFlow(const Platform& platform, Transport& transport, const char* restoreName,
                        const char* backupName) {
    return runConfigFlowWith(platform, transport, restoreName, backupName, kTransferModules);
}

}  // namespace korvex
