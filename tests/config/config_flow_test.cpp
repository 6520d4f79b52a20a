// The configuration flow: direction, module choice, file handling, the order
// of the steps and the closing lines.
#include <gtest/gtest.h>

#include "config/rig.h"
#include "config/transfer.h"
#include "support/memfs.h"

namespace korvex::test {
namespace {

// In-memory files whose size can be made unknowable: the seek to the end
// fails, or the position reads negative.
class SizelessFiles final : public FileSystem {
public:
    enum class Fault { None, SeekToEnd, NegativePosition };
    File* open(const char* name, const char* mode) override {
        File* f = inner.open(name, mode);
        return f == nullptr ? nullptr : new Sizeless(f, fault);
    }
    MemFs inner;
    Fault fault = Fault::None;

private:
    class Sizeless final : public File {
    public:
        Sizeless(File* inner, Fault fault) : inner_(inner), fault_(fault) {}
        size_t read(void* b, size_t n) override { return inner_->read(b, n); }
        size_t write(const void* d, size_t n) override { return inner_->write(d, n); }
        int seek(int64_t o, SeekFrom w) override {
            return fault_ == Fault::SeekToEnd && w == SeekFrom::End ? -1 : inner_->seek(o, w);
        }
        int64_t tell() override { return fault_ == Fault::NegativePosition ? -1 : inner_->tell(); }
        int flush() override { return inner_->flush(); }
        bool eof() override { return inner_->eof(); }
        bool error() override { return inner_->error(); }
        int close() override {
            const int rc = inner_->close();
            delete this;
            return rc;
        }

    private:
        File* inner_;
        Fault fault_;
    };
};

class CountingTransport final : public Transport {
public:
    int open() override {
        ++opens;
        return openable ? 0 : -1;
    }
    int close() override { return ++closes; }
    int exchange(uint8_t, uint8_t, const uint8_t*, int32_t, uint8_t*, int32_t*) override { return ++exchanges; }
    bool openable = true;
    int opens = 0;
    int closes = 0;
    int exchanges = 0;
};

struct SetUpCase {
    const char* restore;
    const char* backup;
    SizelessFiles::Fault fault;
    bool transportOpens;
    std::string console;
};

TEST(ConfigFlow, SetUpFailuresSendNothingAndLeaveNothingOpen) {
    using F = SizelessFiles::Fault;
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
    };
    for (const SetUpCase& c : cases) {
        SCOPED_TRACE(c.console);
        ConfigRun run;
        SizelessFiles files;
        files.inner.files["r.bin"] = sampleBytes(10);
        files.inner.failOpen.insert("locked.bin");
        files.fault = c.fault;
        CountingTransport transport;
        transport.openable = c.transportOpens;
        const Platform p{run.ports, run.timers, run.stall, run.console, files, run.memory};
        runConfigFlow(p, transport, c.restore, c.backup);
        EXPECT_EQ(run.console.text, c.console);
        EXPECT_EQ(transport.opens, c.transportOpens ? 0 : 1);
        EXPECT_EQ(transport.exchanges + transport.closes, 0);
        EXPECT_EQ(files.inner.openNow, 0);
    }
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
