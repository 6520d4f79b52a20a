// Configuration backup and restore against the simulated BMC. The fault
// matrix walks every failure end to end; here are the round trips, the
// requests on the wire, the format edges, what its console goldens cannot
// show (retry bounds, sequence numbers across the wrap, finish requests), and
// the flow around the transfer: direction, module choice, file set-up, the
// order of the steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bmc/config_module.h"
#include "config/config_flow.h"
#include "config/transfer.h"
#include "support/fault_rig.h"
#include "support/memfs.h"

namespace korvex::test {
namespace {

const std::string kBackupMode = "=== IPMI Configuration Backup Mode ===\n";
const std::string kRestoreMode = "=== IPMI Configuration Restore Mode ===\n";
const std::string kPreparing = "Data preparing........\n";
const std::string kBackupDone = "Done.\n";
const std::string kRestoreDone = "Done. Please wait at least 1 minute to restore configurations.\n";

// Deterministic bytes that differ from the simulated BMC's own sample.
std::string sampleBytes(size_t n, unsigned seed = 1) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 37 + seed * 101 + i / 7) & 0xFF);
    return s;
}

struct ConfigRun : FaultRun {
    std::string file = scratchPath("config-transfer.bin");

    explicit ConfigRun(const std::vector<std::string>& bmcOptions = {}) {
        std::remove(file.c_str());
        options(bmcOptions);
        machine.bmc.keepLog(true);
    }
    bmc::ConfigModule& config() { return *machine.bmc.module<bmc::ConfigModule>(); }
    std::string bmcConfiguration() {
        const auto& c = config().configuration();
        return std::string(c.begin(), c.end());
    }
    void setBmcConfiguration(const std::string& bytes) { config().setConfiguration({bytes.begin(), bytes.end()}); }
    JobResult backup() { return runConfigFlow(platform(), transport, nullptr, file.c_str()); }
    JobResult restore() { return runConfigFlow(platform(), transport, file.c_str(), nullptr); }
    JobResult restoreFrom(const std::string& bytes) {
        writeFile(file, bytes);
        return restore();
    }
    // The line after a failed backup, before "Done.".
    std::string notChanged() const {
        return "Nothing was written to " + file + "; the incomplete data were deleted.\n";
    }
    // The requests' data bytes, in order.
    std::vector<std::vector<uint8_t>> requests() const {
        std::vector<std::vector<uint8_t>> out;
        for (const bmc::Request& r : machine.bmc.log()) out.push_back(r.data);
        return out;
    }
};

constexpr JobResult kSucceeded{0, JobOutcome::Succeeded};
constexpr JobResult kFailed{0, JobOutcome::Failed};

struct RoundTrip {
    size_t size;
    const char* block;
    const char* firstSequence;
};

TEST(ConfigTransfer, BackupThenRestoreGivesTheBmcItsConfigurationBack) {
    const RoundTrip cases[] = {
        {1000, "64", "0xFFFFF8"},                                           // wraps during both transfers
        {3001, "121", "0xFFFFFF"},                                          // wraps at the first block
        {1, "1", "0xFFFFFF"},      {46, "45", "0"}, {90, "7", "0x123456"},  // a multiple of 45
    };
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string original = sampleBytes(c.size);
        const std::vector<std::string> knobs = {std::string("--bmc-config-block=") + c.block,
                                                std::string("--bmc-config-seq=") + c.firstSequence};
        ConfigRun backup(knobs);
        ConfigRun restore(knobs);  // before the backup: a rig starts without the file
        backup.setBmcConfiguration(original);
        writeFile(backup.file, std::string(5000, 'x'));  // replaced
        EXPECT_EQ(backup.backup(), kSucceeded);
        EXPECT_EQ(readFile(backup.file), original);
        EXPECT_EQ(restore.restore(), kSucceeded);
        EXPECT_EQ(restore.bmcConfiguration(), original);
        EXPECT_EQ(restore.config().finishRequests(), 0u);
        EXPECT_EQ(restore.transport.opens, 1);
        EXPECT_EQ(restore.transport.closes, 1);
    }
}

TEST(ConfigTransfer, RestoreRequestsOnTheWire) {
    const std::string bytes = sampleBytes(50);
    std::vector<uint8_t> first = {0x13, 0xFF, 0xFF, 0xFF};
    first.insert(first.end(), bytes.begin(), bytes.begin() + 45);
    std::vector<uint8_t> second = {0x13, 0x00, 0x00, 0x00};
    second.insert(second.end(), bytes.begin() + 45, bytes.end());
    const struct {
        std::string file;
        std::vector<std::vector<uint8_t>> requests;
    } cases[] = {
        {bytes, {{0x06}, {0x01, 50, 0, 0, 0}, {0x12}, first, second}},
        {"", {{0x06}, {0x01, 0, 0, 0, 0}, {0x12}}},
    };
    for (const auto& c : cases) {
        ConfigRun run({"--bmc-config-seq=0xFFFFFF"});
        EXPECT_EQ(run.restoreFrom(c.file), kSucceeded);
        EXPECT_EQ(run.requests(), c.requests);
        for (const bmc::Request& r : run.machine.bmc.log()) {
            EXPECT_EQ(r.netFn, 0x3E);
            EXPECT_EQ(r.command, 0x20);
        }
    }
}

TEST(ConfigTransfer, ProgressAndLengthFormatsAtTheirEdges) {
    ConfigRun wide;
    EXPECT_EQ(wide.restoreFrom(sampleBytes(0x10000)), kSucceeded);
    EXPECT_NE(wide.console.text.find("Total data length :     65536\n"), std::string::npos);
    EXPECT_NE(wide.console.text.find("0xfff0 Bytes Transmit Progress :   99 %\r"), std::string::npos);
    EXPECT_NE(wide.console.text.find("0x10000 Bytes Transmit Progress :  100 %\r" + kRestoreDone), std::string::npos);

    // A BMC that sends more than it announced drives the percentage past 999.
    ConfigRun over({"--bmc-fault=config-total:1"});
    EXPECT_EQ(over.backup(), kSucceeded);
    EXPECT_EQ(over.console.text, kBackupMode + kPreparing + "Total data length :         1\n" +
                                     "Bytes Processed data length : 0x  40 Bytes Transmit Progress : 6400 %\r" +
                                     kBackupDone);
    EXPECT_EQ(readFile(over.file), over.bmcConfiguration().substr(0, 64));

    ConfigRun nine({"--bmc-fault=config-total:123456789", "--bmc-fault=config-fail-at:1"});
    EXPECT_EQ(nine.backup(), (JobResult{0, JobOutcome::RefusedByBmc}));
    EXPECT_NE(nine.console.text.find("Total data length : 123456789\n"), std::string::npos);
}

struct FailureCase {
    const char* name;
    std::vector<std::string> knobs;
    std::string lines;  // what the console shows of the fault, between the progress lines
    bool succeeded;     // backup: the file holds the configuration; restore: the BMC took the new one
    uint64_t finishes;
};

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

std::vector<std::string> codeFor(int from, int to, const char* code) {
    std::vector<std::string> knobs;
    for (int n = from; n <= to; ++n)
        knobs.push_back(std::string("--bmc-fault=request-cc:config-transfer:") + code + ":" + std::to_string(n));
    return knobs;
}

// The console without its progress lines.
std::string withoutProgress(const std::string& text) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find_first_of("\r\n", at);
        const std::string line = text.substr(at, end == std::string::npos ? end : end + 1 - at);
        if (line.back() != '\r') out += line;
        at += line.size();
    }
    return out;
}

TEST(ConfigTransfer, BackupFailuresAndRecoveries) {
    const std::string failed = "Error: doIPMICmd failed\n";
    const FailureCase cases[] = {
        {"reset refused five times", codeFor(1, 5, "0xc1"),
         repeat("[doIPMICmd] Abnormal. CompCode == 0xc1\n", 5) + failed, false, 1},
        {"block 2 refused five times", codeFor(5, 9, "0xc0"),
         repeat("[doIPMICmd] Abnormal. CompCode == 0xc0\n", 5) + failed, false, 1},
        {"block 2 refused four times, then served", codeFor(5, 8, "0xc0"),
         repeat("[doIPMICmd] Abnormal. CompCode == 0xc0\n", 4), true, 0},
        {"the last number again at block 2, across the wrap",
         {"--bmc-fault=config-bad-seq:2"},
         "Error : Unsynchronized sequence. Expected : 0, Received : 16777215\n",
         false,
         1},
        {"task state 3 six times",
         {"--bmc-fault=config-hold:3:2:6"},
         "Error : Task state 3 repeated 6 times without a block.\n",
         false,
         1},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> knobs = c.knobs;
        knobs.push_back("--bmc-config-seq=0xFFFFFE");
        ConfigRun run(knobs);
        run.setBmcConfiguration(sampleBytes(300));
        EXPECT_EQ(run.backup(), c.succeeded ? kSucceeded : kFailed);
        const std::string head = kBackupMode + kPreparing + (c.name[0] == 'r' ? "" : "Total data length :       300\n");
        EXPECT_EQ(withoutProgress(run.console.text),
                  head + c.lines + (c.succeeded ? "" : run.notChanged()) + kBackupDone);
        EXPECT_EQ(readFile(run.file), c.succeeded ? sampleBytes(300) : "");
        EXPECT_EQ(run.config().finishRequests(), c.finishes);
        EXPECT_EQ(run.transport.closes, 1);
    }
}

TEST(ConfigTransfer, RestoreFailuresAndRecoveries) {
    const FailureCase cases[] = {
        {"the last number again at block 2, after the wrap",
         {"--bmc-fault=config-bad-seq:2"},
         "Error : Unsynchronized sequence. Expected : 1, Received : 0\n",
         false,
         1},
        {"task state 1 at block 2: delivered, number kept", {"--bmc-fault=config-hold:1:2:1"}, "", true, 0},
        {"task state 3 for every block", {"--bmc-fault=config-hold:3:1:3"}, "", true, 0},
        {"a status answer without the length, which a restore does not read",
         {"--bmc-fault=config-status-short:4"},
         "",
         true,
         0},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> knobs = c.knobs;
        knobs.push_back("--bmc-config-seq=0xFFFFFF");
        ConfigRun run(knobs);
        const std::string before = run.bmcConfiguration();
        const std::string bytes = sampleBytes(100, 7);
        EXPECT_EQ(run.restoreFrom(bytes), c.succeeded ? kSucceeded : kFailed);
        EXPECT_EQ(withoutProgress(run.console.text),
                  kRestoreMode + kPreparing + "Total data length :       100\n" + c.lines + kRestoreDone);
        EXPECT_EQ(run.bmcConfiguration(), c.succeeded ? bytes : before);
        EXPECT_EQ(run.config().finishRequests(), c.finishes);
        EXPECT_EQ(readFile(run.file), bytes);  // a restore never writes its file
    }
}

TEST(ConfigTransfer, BackupWriteFailureEndsTheTransferOnce) {
    const std::string message = "ERROR: WRITE FILE FAILED\n\n";
    ConfigRun run({"--bmc-config-block=100"});
    run.setBmcConfiguration(sampleBytes(20000));
    run.files.writeLimit = 1000;  // a full disk, long before the end
    EXPECT_EQ(run.backup(), kFailed);
    const std::string& t = run.console.text;
    const size_t at = t.find(message);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(t.find(message, at + 1), std::string::npos);
    EXPECT_LT(run.config().blockRequests(), 200u);
    EXPECT_EQ(run.config().finishRequests(), 1u);
    EXPECT_EQ(t.substr(t.size() - kBackupDone.size() - run.notChanged().size()), run.notChanged() + kBackupDone);
}

// Steps that record their calls and fail on demand.
struct StepScript {
    static inline std::string calls;
    static inline std::string failing;  // the steps that fail, by letter
    static inline uint8_t stateSeenByFinish = 0;
    static StepResult step(char letter) {
        calls += letter;
        return failing.find(letter) == std::string::npos ? StepResult::Ok : StepResult::Failed;
    }
    static StepResult prepare(ConfigTransfer*) { return step('p'); }
    static StepResult transfer(ConfigTransfer*) { return step('t'); }
    static StepResult complete(ConfigTransfer*) { return step('c'); }
    static StepResult finish(ConfigTransfer* c) {
        stateSeenByFinish = c->taskState;
        return step('f');
    }
};

constexpr TransferModule kScripted = {
    "scripted", 1, StepScript::prepare, StepScript::transfer, StepScript::complete, StepScript::finish};
constexpr TransferModuleTable kNoModules = {};

// A stop requested before a restore's first request: the restore does not
// begin, and what the flow opened is closed again.
TEST(ConfigFlow, StopBeforeTheRestoreSendsNothing) {
    ConfigRun run;
    run.stops.requested = true;
    EXPECT_EQ(run.restoreFrom(sampleBytes(100)), (JobResult{0, JobOutcome::Interrupted}));
    EXPECT_EQ(run.console.text, kRestoreMode + "Error : Interrupted\nOperation Failed.\n");
    EXPECT_EQ(run.machine.bmc.exchanges(), 0u);
    EXPECT_EQ(run.transport.closes, 1);
    EXPECT_EQ(run.files.openNow, 0);
}

enum class F { None, SeekToEnd, NegativePosition };  // a restore file's size cannot be had

struct SetUpCase {
    const char* restore;
    const char* backup;
    F fault;
    bool transportOpens;
    std::string console;
    const TransferModuleTable* modules = &kTransferModules;
};

TEST(ConfigFlow, SetUpFailuresSendNothingAndLeaveNothingOpen) {
    TransferModule disabled = kScripted;
    disabled.enabled = 2;  // only exactly 1 enables a module
    TransferModule nameless = kScripted;
    nameless.name = nullptr;
    const TransferModuleTable none = {disabled, nameless};
    const std::string noModule = "unknown file type!!!\nOperation Failed.\n";
    const std::string openFailed = "ERROR: OPEN FILE FAILED\n\nOperation Failed.\n";
    const std::string noSize = kRestoreMode + "Can't get file size for restore mode.\nOperation Failed.\n";
    const SetUpCase cases[] = {
        {"missing.bin", nullptr, F::None, true, kRestoreMode + openFailed},
        {nullptr, "locked.bin", F::None, true, kBackupMode + openFailed},
        {"missing.bin", "locked.bin", F::None, true, kRestoreMode + openFailed},  // a restore comes first
        {nullptr, nullptr, F::None, true, "unknown transmission direction.\nOperation Failed.\n"},
        {"r.bin", nullptr, F::SeekToEnd, true, noSize},
        {"r.bin", nullptr, F::NegativePosition, true, noSize},
        {"r.bin", nullptr, F::None, false, kRestoreMode + "Operation Failed.\n"},
        {nullptr, "b.bin", F::None, false,
         kBackupMode + "Nothing was written to b.bin; the incomplete data were deleted.\nOperation Failed.\n"},
        {nullptr, "b.bin", F::None, true, noModule, &none},
        {nullptr, "b.bin", F::None, true, noModule, &kNoModules},
    };
    for (const SetUpCase& c : cases) {
        SCOPED_TRACE(c.console);
        ConfigRun run;
        MemFs files;
        files.files["r.bin"] = sampleBytes(10);
        files.failOpen.insert("locked.bin");
        files.sizeless = c.fault == F::SeekToEnd;
        files.negativeTell = c.fault == F::NegativePosition;
        run.transport.failOpen = !c.transportOpens;
        const Platform m = run.platform();
        const Platform p{m.ports, m.timers, m.stall, m.console, files, m.memory, m.stops};
        EXPECT_EQ(runConfigFlowWith(p, run.transport, c.restore, c.backup, *c.modules), kFailed);
        EXPECT_EQ(run.console.text, c.console);
        EXPECT_EQ(run.transport.opens, c.transportOpens ? 0 : 1);
        EXPECT_EQ(run.machine.bmc.exchanges() + run.transport.closes, 0u);
        EXPECT_EQ(files.openNow, 0);
        EXPECT_EQ(files.files.size(), 1u);  // r.bin alone: no backup, no temporary
    }
}

struct StepCase {
    bool restore;
    const char* failing;
    const char* calls;
    uint8_t finishSees;
    bool succeeded;  // every step run, finish included, succeeded: a backup's file is kept
};

TEST(ConfigFlow, StepsRunInOrderAndFinishAlwaysRuns) {
    TransferModule disabled = kScripted;
    disabled.enabled = 0;
    const TransferModuleTable table = {disabled, kScripted};  // the first enabled module runs
    const StepCase cases[] = {
        {false, "", "ptf", 0, true},  {true, "", "ptcf", 0, true},   {false, "p", "pf", 5, false},
        {true, "t", "ptf", 5, false}, {true, "c", "ptcf", 5, false}, {false, "f", "ptf", 0, false},
        {false, "c", "ptf", 0, true},
    };
    for (const StepCase& c : cases) {
        SCOPED_TRACE(std::string(c.restore ? "restore" : "backup") + " failing " + c.failing);
        ConfigRun run;
        writeFile(run.file, "abc");
        StepScript::calls.clear();
        StepScript::failing = c.failing;
        const JobResult result =
            runConfigFlowWith(run.platform(), run.transport, c.restore ? run.file.c_str() : nullptr,
                              c.restore ? nullptr : run.file.c_str(), table);
        EXPECT_EQ(result, c.succeeded ? kSucceeded : kFailed);
        EXPECT_EQ(StepScript::calls, c.calls);
        EXPECT_EQ(StepScript::stateSeenByFinish, c.finishSees);
        const std::string backupEnd = (c.succeeded ? "" : run.notChanged()) + kBackupDone;
        EXPECT_EQ(run.console.text, c.restore ? kRestoreMode + kRestoreDone : kBackupMode + backupEnd);
        // The scripted steps write nothing: a kept backup is empty, a failed one leaves the older file.
        EXPECT_EQ(readFile(run.file), c.restore || !c.succeeded ? "abc" : "");
        EXPECT_EQ(run.transport.opens, 1);
        EXPECT_EQ(run.transport.closes, 1);
    }
}

TEST(ConfigFlow, StatusPausesAreTwoSecondsAfterEachAttempt) {
    ConfigRun run({"--bmc-fault=config-never-ready"});
    EXPECT_EQ(run.backup(), kFailed);
    EXPECT_EQ(run.machine.clock.nowUs(), 10u * 1000000u);
    EXPECT_EQ(run.machine.stall.calls(), 5u);
}

}  // namespace
}  // namespace korvex::test
