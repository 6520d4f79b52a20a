// The configuration flow: direction, module choice, file handling, the order
// of the steps and the closing lines.
#include <gtest/gtest.h>

#include "config/rig.h"
#include "config/transfer.h"

namespace korvex::test {
namespace {

TEST(ConfigFlow, SetUpFailuresSendNothing) {
    ConfigRun missing;
    runConfigFlow(missing.platform(), missing.transport, "/nonexistent-dir/restore.bin", nullptr);
    EXPECT_EQ(missing.console.text, kRestoreMode + "ERROR: OPEN FILE FAILED\n\nOperation Failed.\n");

    ConfigRun uncreatable;
    runConfigFlow(uncreatable.platform(), uncreatable.transport, nullptr, "/nonexistent-dir/backup.bin");
    EXPECT_EQ(uncreatable.console.text, kBackupMode + "ERROR: OPEN FILE FAILED\n\nOperation Failed.\n");

    ConfigRun neither;
    runConfigFlow(neither.platform(), neither.transport, nullptr, nullptr);
    EXPECT_EQ(neither.console.text, "unknown transmission direction.\nOperation Failed.\n");

    for (ConfigRun* run : {&missing, &uncreatable, &neither}) {
        EXPECT_EQ(run->bmc.exchanges(), 0u);
        EXPECT_EQ(run->transport.opens, 0);
        EXPECT_EQ(run->transport.closes, 0);
    }
}

TEST(ConfigFlow, BackupFileIsTruncatedBeforeAnyTrafficAndRestoreTakesPrecedence) {
    ConfigRun backup;
    writeFile(backup.file, std::string(5000, 'x'));
    backup.backup();
    EXPECT_EQ(readFile(backup.file), backup.bmcConfiguration());

    ConfigRun both;
    const std::string other = JobRig::path("config-other.bin");
    writeFile(other, "untouched");
    writeFile(both.file, sampleBytes(10));
    runConfigFlow(both.platform(), both.transport, both.file.c_str(), other.c_str());
    EXPECT_EQ(both.bmcConfiguration(), sampleBytes(10));
    EXPECT_EQ(readFile(other), "untouched");
}

// A file system whose files cannot tell their size, or cannot be read.
class BrokenFiles final : public FileSystem {
public:
    enum class Fault { NoSize, NoRead };
    explicit BrokenFiles(Fault fault) : fault_(fault) {}
    File* open(const char* name, const char* mode) override {
        File* inner = real_.open(name, mode);
        return inner == nullptr ? nullptr : new BrokenFile(inner, fault_);
    }

private:
    class BrokenFile final : public File {
    public:
        BrokenFile(File* inner, Fault fault) : inner_(inner), fault_(fault) {}
        size_t read(void* b, size_t n) override { return fault_ == Fault::NoRead ? 0 : inner_->read(b, n); }
        size_t write(const void* d, size_t n) override { return inner_->write(d, n); }
        int seek(int64_t o, SeekFrom w) override {
            return fault_ == Fault::NoSize && w == SeekFrom::End ? -1 : inner_->seek(o, w);
        }
        int64_t tell() override { return fault_ == Fault::NoSize ? -1 : inner_->tell(); }
        int flush() override { return inner_->flush(); }
        bool eof() override { return inner_->eof(); }
        bool error() override { return inner_->error(); }
        int close() override {
            int rc = inner_->close();
            ++closed;
            delete this;
            return rc;
        }

    private:
        File* inner_;
        Fault fault_;
    };
    hosted::StdioFileSystem real_;
    Fault fault_;

public:
    static inline int closed = 0;
};

TEST(ConfigFlow, RestoreFileWithoutSizeOrData) {
    ConfigRun noSize;
    writeFile(noSize.file, sampleBytes(100));
    BrokenFiles sizeless(BrokenFiles::Fault::NoSize);
    BrokenFiles::closed = 0;
    Platform p{noSize.ports, noSize.timers, noSize.stall, noSize.console, sizeless, noSize.memory};
    runConfigFlow(p, noSize.transport, noSize.file.c_str(), nullptr);
    EXPECT_EQ(noSize.console.text, kRestoreMode + "Can't get file size for restore mode.\nOperation Failed.\n");
    EXPECT_EQ(BrokenFiles::closed, 1);
    EXPECT_EQ(noSize.bmc.exchanges(), 0u);

    // A file that yields nothing before its announced length is reached.
    ConfigRun noData;
    writeFile(noData.file, sampleBytes(100));
    BrokenFiles unreadable(BrokenFiles::Fault::NoRead);
    Platform q{noData.ports, noData.timers, noData.stall, noData.console, unreadable, noData.memory};
    const std::string before = noData.bmcConfiguration();
    runConfigFlow(q, noData.transport, noData.file.c_str(), nullptr);
    EXPECT_EQ(noData.console.text, kRestoreMode + kPreparing + totalLine(100) + "ERROR: READ FILE FAILED\n\n" +
                                       progressLine(0, 100) + kRestoreDone);
    EXPECT_EQ(noData.config().finishRequests(), 1u);
    EXPECT_EQ(noData.bmcConfiguration(), before);
}

class ClosedTransport final : public Transport {
public:
    int open() override { return -1; }
    int close() override { return ++closes; }
    int exchange(uint8_t, uint8_t, const uint8_t*, int32_t, uint8_t*, int32_t*) override { return ++exchanges; }
    int closes = 0;
    int exchanges = 0;
};

TEST(ConfigFlow, TransportThatDoesNotOpen) {
    ConfigRun run;
    writeFile(run.file, sampleBytes(10));
    ClosedTransport closed;
    runConfigFlow(run.platform(), closed, run.file.c_str(), nullptr);
    EXPECT_EQ(run.console.text, kRestoreMode + "Operation Failed.\n");
    EXPECT_EQ(closed.exchanges, 0);
    EXPECT_EQ(closed.closes, 0);
}

// Steps that record their calls and fail on demand.
struct StepScript {
    static inline std::string calls;
    static inline std::string failing;  // the steps that fail, by letter
    static inline uint8_t stateSeenByFinish = 0;
    static uint8_t step(char letter) {
        calls += letter;
        return failing.find(letter) == std::string::npos ? kStepOk : kStepFailed;
    }
    static uint8_t prepare(ConfigTransfer*) { return step('p'); }
    static uint8_t transfer(ConfigTransfer*) { return step('t'); }
    static uint8_t complete(ConfigTransfer*) { return step('c'); }
    static uint8_t finish(ConfigTransfer* c) {
        stateSeenByFinish = c->taskState;
        return step('f');
    }
};

constexpr TransferModule kScripted = {"scripted", 1, StepScript::prepare, StepScript::transfer,
                                      StepScript::complete, StepScript::finish};

struct StepCase {
    bool restore;
    const char* failing;
    const char* calls;
    uint8_t finishSees;
};

TEST(ConfigFlow, StepsRunInOrderAndFinishAlwaysRuns) {
    const TransferModuleTable table = {kScripted, {nullptr, 0, nullptr, nullptr, nullptr, nullptr}};
    const StepCase cases[] = {
        {false, "", "ptf", 0},    {true, "", "ptcf", 0},   {false, "p", "pf", 5}, {true, "t", "ptf", 5},
        {true, "c", "ptcf", 5},   {false, "f", "ptf", 0},  {false, "c", "ptf", 0},
    };
    for (const StepCase& c : cases) {
        SCOPED_TRACE(std::string(c.restore ? "restore" : "backup") + " failing " + c.failing);
        ConfigRun run;
        writeFile(run.file, "abc");
        StepScript::calls.clear();
        StepScript::failing = c.failing;
        runConfigFlowWith(run.platform(), run.transport, c.restore ? run.file.c_str() : nullptr,
                          c.restore ? nullptr : run.file.c_str(), table);
        EXPECT_EQ(StepScript::calls, c.calls);
        EXPECT_EQ(StepScript::stateSeenByFinish, c.finishSees);
        EXPECT_EQ(run.console.text, c.restore ? kRestoreMode + kRestoreDone : kBackupMode + kBackupDone);
        EXPECT_EQ(run.transport.opens, 1);
        EXPECT_EQ(run.transport.closes, 1);
    }
}

TEST(ConfigFlow, ModuleChoice) {
    const TransferModule empty = {nullptr, 0, nullptr, nullptr, nullptr, nullptr};
    TransferModule disabled = kScripted;
    disabled.enabled = 2;  // only exactly 1 enables a module
    TransferModule nameless = kScripted;
    nameless.name = nullptr;
    const TransferModuleTable secondOnly = {disabled, kScripted};
    const TransferModuleTable none = {disabled, nameless};
    const TransferModuleTable blank = {empty, empty};

    ConfigRun second;
    StepScript::calls.clear();
    StepScript::failing.clear();
    runConfigFlowWith(second.platform(), second.transport, nullptr, second.file.c_str(), secondOnly);
    EXPECT_EQ(StepScript::calls, "ptf");

    for (const TransferModuleTable* t : {&none, &blank}) {
        ConfigRun run;
        runConfigFlowWith(run.platform(), run.transport, nullptr, run.file.c_str(), *t);
        EXPECT_EQ(run.console.text, "unknown file type!!!\nOperation Failed.\n");
        EXPECT_EQ(run.transport.opens, 0);
    }
}

TEST(ConfigFlow, StatusPausesAreTwoSecondsAfterEachAttempt) {
    ConfigRun run({"--bmc-fault=config-never-ready"});
    run.backup();
    EXPECT_EQ(run.clock.nowUs(), 10u * 1000000u);
    EXPECT_EQ(run.stall.calls(), 5u);
}

}  // namespace
}  // namespace korvex::test
