#include "config/config_flow.h"

#include "config/transfer.h"

namespace korvex {

namespace {

const TransferModule* chooseModule(const TransferModuleTable& modules) {
    for (const TransferModule& m : modules)
        if (m.name != nullptr && m.enabled == 1) return &m;
    return nullptr;
}

// Opens the file for the direction and, for a restore, learns its size.
// False when the flow cannot go on; the file is then closed again.
bool openFile(ConfigTransfer& c, FileSystem& files, const char* restoreName, const char* backupName) {
    Console& console = c.link.console;
    if (c.mode == kModeBackup) {
        console.print("=== IPMI Configuration Backup Mode ===\n");
        c.file = files.open(backupName, "wb");
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
        c.file->close();
        c.file = nullptr;
        return false;
    }
    return true;
}

// The steps in their fixed order; a failed step marks the task failed so that
// finish closes it at the BMC.
void runSteps(ConfigTransfer& c) {
    const TransferModule& m = *c.activeModule;
    bool failed = m.prepare(&c) != kStepOk || m.transfer(&c) != kStepOk;
    if (!failed && c.mode == kModeRestore) failed = m.restoreCompletion(&c) != kStepOk;
    if (failed) c.taskState = kTaskFailState;
    m.finish(&c);
}

}  // namespace

void runConfigFlowWith(const Platform& platform, Transport& transport, const char* restoreName,
                       const char* backupName, const TransferModuleTable& modules) {
    Console& console = platform.console;
    ConfigTransfer c(BmcLink{transport, console, platform.stall});
    if (!setUp(c, platform.files, restoreName, backupName, modules)) {
        console.print("Operation Failed.\n");
        return;
    }

    runSteps(c);

    transport.close();
    // Closing a backup flushes its last blocks; a file that could not take
    // them is no backup. A failed transfer has said so already.
    if (c.file->close() != 0 && c.mode == kModeBackup && c.taskState != kTaskFailState)
        reportBackupWriteFailure(console);
    if (c.mode == kModeBackup)
        console.print("Done.\n");
    else
        console.print("Done. Please wait at least 1 minute to restore configurations.\n");
}

void runConfigFlow(const Platform& platform, Transport& transport, const char* restoreName, const char* backupName) {
    runConfigFlowWith(platform, transport, restoreName, backupName, kTransferModules);
}

}  // namespace korvex
