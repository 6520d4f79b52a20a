// How a configuration job sets up before its first request, with the
// flow's module table and a file system that fails where the whole tool's
// cannot: each failure is told once, sends nothing and leaves nothing open.
#include <gtest/gtest.h>

#include "config/config_flow.h"
#include "config/transfer.h"
#include "support/fault_rig.h"
#include "support/memfs.h"

namespace korvex::test {
namespace {

StepResult step(ConfigTransfer*) { return StepResult::Ok; }

TEST(ConfigFlow, SetUpFailuresSendNothingAndLeaveNothingOpen) {
    const TransferModule disabled = {"off", 2, step, step, step, step};  // only exactly 1 enables a module
    const TransferModule nameless = {nullptr, 1, step, step, step, step};
    const TransferModuleTable none = {disabled, nameless};
    const std::string backup = "=== IPMI Configuration Backup Mode ===\n";
    const std::string restore = "=== IPMI Configuration Restore Mode ===\n";
    const std::string openFailed = "ERROR: OPEN FILE FAILED\n\nOperation Failed.\n";
    const std::string noSize = restore + "Can't get file size for restore mode.\nOperation Failed.\n";
    enum { Fine, NoEnd, NegativeTell, NoTransport, Stopped };
    const struct {
        const char* restore;
        const char* backup;
        int fault;
        std::string console;
        const TransferModuleTable* modules = &kTransferModules;
    } cases[] = {
        {"missing.bin", "locked.bin", Fine, restore + openFailed},  // a restore comes first
        {nullptr, nullptr, Fine, "unknown transmission direction.\nOperation Failed.\n"},
        {"r.bin", nullptr, NoEnd, noSize},
        {"r.bin", nullptr, NegativeTell, noSize},
        {"r.bin", nullptr, NoTransport, restore + "Operation Failed.\n"},
        {"r.bin", nullptr, Stopped, restore + "Error : Interrupted\nOperation Failed.\n"},  // before the first request
        {nullptr, "b.bin", NoTransport,
         backup + "Nothing was written to b.bin; the incomplete data were deleted.\nOperation Failed.\n"},
        {nullptr, "b.bin", Fine, "unknown file type!!!\nOperation Failed.\n", &none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.console);
        FaultRun run;
        MemFs files;
        files.files["r.bin"] = "0123456789";
        files.failOpen.insert("locked.bin");
        files.sizeless = c.fault == NoEnd;
        files.negativeTell = c.fault == NegativeTell;
        run.transport.failOpen = c.fault == NoTransport;
        run.stops.requested = c.fault == Stopped;
        const Platform m = run.platform();
        const Platform p{m.ports, m.timers, m.stall, m.console, files, m.memory, m.stops};
        EXPECT_EQ(runConfigFlowWith(p, run.transport, c.restore, c.backup, *c.modules),
                  (JobResult{0, c.fault == Stopped ? JobOutcome::Interrupted : JobOutcome::Failed}));
        EXPECT_EQ(run.console.text, c.console);
        EXPECT_EQ(run.transport.opens, c.fault == NoTransport || c.fault == Stopped ? 1 : 0);
        EXPECT_EQ(run.transport.closes, run.transport.opens - (c.fault == NoTransport ? 1 : 0));
        EXPECT_EQ(run.machine.bmc.exchanges(), 0u);
        EXPECT_EQ(files.openNow, 0);
        EXPECT_EQ(files.files.size(), 1u);  // r.bin alone: no backup, no temporary
    }
}

}  // namespace
}  // namespace korvex::test
