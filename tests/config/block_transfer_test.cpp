// Configuration backup and restore block by block against the simulated BMC:
// the console text, the file's bytes and the BMC's configuration afterwards.
#include <gtest/gtest.h>

#include "config/rig.h"

namespace korvex::test {
namespace {

struct RoundTrip {
    size_t size;
    const char* block;
    const char* firstSequence;
};

TEST(ConfigTransfer, BackupThenRestoreGivesTheBmcItsConfigurationBack) {
    const RoundTrip cases[] = {
        {1000, "64", "0xFFFFF8"},   // wraps during both transfers
        {3001, "121", "0xFFFFFF"},  // wraps at the first block
        {1, "1", "0xFFFFFF"},
        {46, "45", "0"},
        {90, "7", "0x123456"},  // a multiple of 45
    };
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string original = sampleBytes(c.size);
        const std::vector<std::string> knobs = {std::string("--bmc-config-block=") + c.block,
                                                std::string("--bmc-config-seq=") + c.firstSequence};
        ConfigRun backup(knobs);
        ConfigRun restore(knobs);  // before the backup: a rig starts without the file
        backup.setBmcConfiguration(original);
        backup.backup();
        const long size = static_cast<long>(c.size);
        EXPECT_EQ(backup.console.text, kBackupMode + kPreparing + totalLine(size) +
                                           progressLines(size, std::stol(c.block)) + kBackupDone);
        EXPECT_EQ(readFile(backup.file), original);

        restore.restore();
        EXPECT_EQ(restore.console.text,
                  kRestoreMode + kPreparing + totalLine(size) + progressLines(size, 45) + kRestoreDone);
        EXPECT_EQ(restore.bmcConfiguration(), original);
        EXPECT_EQ(restore.config().finishRequests(), 0u);
        EXPECT_EQ(restore.transport.opens, 1);
        EXPECT_EQ(restore.transport.closes, 1);
    }
}

TEST(ConfigTransfer, RestoreRequestsOnTheWire) {
    ConfigRun run({"--bmc-config-seq=0xFFFFFF"});
    const std::string bytes = sampleBytes(50);
    run.restoreFrom(bytes);
    std::vector<uint8_t> first = {0x13, 0xFF, 0xFF, 0xFF};
    first.insert(first.end(), bytes.begin(), bytes.begin() + 45);
    std::vector<uint8_t> second = {0x13, 0x00, 0x00, 0x00};
    second.insert(second.end(), bytes.begin() + 45, bytes.end());
    const std::vector<std::vector<uint8_t>> expected = {
        {0x06}, {0x01, 50, 0, 0, 0}, {0x12}, first, second};
    EXPECT_EQ(run.requests(), expected);
    for (const bmc::Request& r : run.bmc.log()) {
        EXPECT_EQ(r.netFn, 0x3E);
        EXPECT_EQ(r.command, 0x20);
    }
}

TEST(ConfigTransfer, ProgressAndLengthFormatsAtTheirEdges) {
    ConfigRun hundred;
    hundred.restoreFrom(sampleBytes(100));
    EXPECT_EQ(hundred.console.text,
              kRestoreMode + kPreparing + "Total data length :       100\n" +
                  "Bytes Processed data length : 0x  2d Bytes Transmit Progress :   45 %\r"
                  "Bytes Processed data length : 0x  5a Bytes Transmit Progress :   90 %\r"
                  "Bytes Processed data length : 0x  64 Bytes Transmit Progress :  100 %\r" +
                  kRestoreDone);

    ConfigRun wide;
    wide.restoreFrom(sampleBytes(0x10000));
    EXPECT_NE(wide.console.text.find("Total data length :     65536\n"), std::string::npos);
    EXPECT_NE(wide.console.text.find("0xfff0 Bytes Transmit Progress :   99 %\r"), std::string::npos);
    EXPECT_NE(wide.console.text.find("0x10000 Bytes Transmit Progress :  100 %\r" + kRestoreDone),
              std::string::npos);

    // A BMC that sends more than it announced drives the percentage past 999.
    ConfigRun over({"--bmc-fault=config-total:1"});
    over.backup();
    EXPECT_EQ(over.console.text, kBackupMode + kPreparing + "Total data length :         1\n" +
                                     "Bytes Processed data length : 0x  40 Bytes Transmit Progress : 6400 %\r" +
                                     kBackupDone);
    EXPECT_EQ(readFile(over.file), over.bmcConfiguration().substr(0, 64));

    ConfigRun nine({"--bmc-fault=config-total:123456789", "--bmc-fault=config-fail-at:1"});
    nine.backup();
    EXPECT_NE(nine.console.text.find("Total data length : 123456789\n"), std::string::npos);
}

TEST(ConfigTransfer, NothingToMove) {
    ConfigRun empty;
    empty.restoreFrom("");
    EXPECT_EQ(empty.console.text, kRestoreMode + kPreparing + "Total data length :         0\n" + kRestoreDone);
    EXPECT_EQ(empty.requests(), (std::vector<std::vector<uint8_t>>{{0x06}, {0x01, 0, 0, 0, 0}, {0x12}}));

    ConfigRun none;
    none.setBmcConfiguration("");
    none.backup();
    EXPECT_EQ(none.console.text, kBackupMode + kPreparing + "Total data length :         0\n" + kBackupDone);
    EXPECT_EQ(readFile(none.file), "");
    EXPECT_EQ(none.config().blockRequests(), 0u);

    ConfigRun negative({"--bmc-fault=config-total:0x80000000"});
    negative.backup();
    EXPECT_EQ(negative.console.text,
              kBackupMode + kPreparing + "Total data length : -2147483648\n" + kBackupDone);
    EXPECT_EQ(readFile(negative.file), "");
    EXPECT_EQ(negative.config().blockRequests(), 0u);
}

struct FailureCase {
    const char* name;
    std::vector<std::string> knobs;
    std::string console;  // after the mode line
    size_t fileBytes;     // backup: bytes of the BMC's configuration in the file
    bool replaced;        // restore: the BMC took the new configuration
    uint64_t finishes;
};

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(ConfigTransfer, BackupFailuresAndRecoveries) {
    const long total = 300;
    auto L = [&](long n) { return progressLine(n, total); };
    const std::string head = kPreparing + totalLine(total);
    const std::string rest = L(128) + L(192) + L(256) + L(300);
    const std::string doIPMICmdFailed = "Error: doIPMICmd failed\n";
    const FailureCase cases[] = {
        {"reset refused five times",
         {"--bmc-fault=cc:0x3e:0x20:0xc1:1", "--bmc-fault=cc:0x3e:0x20:0xc1:2", "--bmc-fault=cc:0x3e:0x20:0xc1:3",
          "--bmc-fault=cc:0x3e:0x20:0xc1:4", "--bmc-fault=cc:0x3e:0x20:0xc1:5"},
         kPreparing + repeat("[doIPMICmd] Abnormal. CompCode == 0xc1\n", 5) + doIPMICmdFailed, 0, false, 1},
        {"TASK_FAIL_STATE in the start answer", {"--bmc-fault=config-start-fail"},
         kPreparing + doIPMICmdFailed, 0, false, 1},
        {"a status that never reaches state 2", {"--bmc-fault=config-never-ready"},
         kPreparing + doIPMICmdFailed, 0, false, 1},
        {"a status answer without the total length", {"--bmc-fault=config-status-short:7"},
         kPreparing + "Error : Status answer too short. Expected : 8 bytes, Received : 7 bytes\n", 0, false, 1},
        {"TASK_FAIL_STATE at block 3", {"--bmc-fault=config-fail-at:3"},
         head + L(64) + L(128) + "Error : TASK_FAIL_STATE\n" + L(128), 128, false, 1},
        {"the last number again at block 2, across the wrap", {"--bmc-fault=config-bad-seq:2"},
         head + L(64) + "Error : Unsynchronized sequence. Expected : 0, Received : 16777215\n" + L(64), 64, false, 1},
        {"an answer from another task at block 2", {"--bmc-fault=config-other-task:2"},
         head + L(64) + L(64), 64, false, 1},
        {"a block answer without its number reads as 0, never as the last answer's: here 0 is due, so it "
         "counts as an answer without data",
         {"--bmc-fault=config-short-block:2"}, head + L(64) + L(64) + rest, 300, false, 0},
        {"block 2 refused five times", {"--bmc-fault=cc:0x3e:0x20:0xc0:5", "--bmc-fault=cc:0x3e:0x20:0xc0:6",
          "--bmc-fault=cc:0x3e:0x20:0xc0:7", "--bmc-fault=cc:0x3e:0x20:0xc0:8", "--bmc-fault=cc:0x3e:0x20:0xc0:9"},
         head + L(64) + repeat("[doIPMICmd] Abnormal. CompCode == 0xc0\n", 5) + doIPMICmdFailed + L(64), 64, false, 1},
        {"block 2 lost on the way: asked again, served again", {"--bmc-fault=config-drop:2"},
         head + L(64) + "[doIPMICmd] Abnormal. CompCode == 0xffffffff\n" + rest, 300, false, 0},
        {"five answers without data, then data", {"--bmc-fault=config-no-data:2:5"},
         head + repeat(L(64), 6) + rest, 300, false, 0},
        {"six answers without data", {"--bmc-fault=config-no-data:2:6"},
         head + repeat(L(64), 6) + "Retransmission failed 6 times.\n" + L(64), 64, false, 1},
        {"task state 1 five times, then the block", {"--bmc-fault=config-state:1:2:5"},
         head + repeat(L(64), 6) + rest, 300, false, 0},
        {"task state 3 six times", {"--bmc-fault=config-state:3:2:6"},
         head + repeat(L(64), 6) + "Error : Task state 3 repeated 6 times without a block.\n" + L(64), 64, false, 1},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> knobs = c.knobs;
        knobs.push_back("--bmc-config-seq=0xFFFFFE");
        ConfigRun run(knobs);
        run.setBmcConfiguration(sampleBytes(total));
        run.backup();
        EXPECT_EQ(run.console.text, kBackupMode + c.console + kBackupDone);
        EXPECT_EQ(readFile(run.file), sampleBytes(total).substr(0, c.fileBytes));
        EXPECT_EQ(run.config().finishRequests(), c.finishes);
        EXPECT_EQ(run.transport.closes, 1);
    }
}

TEST(ConfigTransfer, RestoreFailuresAndRecoveries) {
    auto R = [](long n) { return progressLine(n, 100); };
    const std::string head = kPreparing + totalLine(100);
    const FailureCase cases[] = {
        {"TASK_FAIL_STATE at block 2", {"--bmc-fault=config-fail-at:2"},
         head + R(45) + "Error : TASK_FAIL_STATE\n" + R(90), 0, false, 1},
        {"the last number again at block 2, after the wrap", {"--bmc-fault=config-bad-seq:2"},
         head + R(45) + "Error : Unsynchronized sequence. Expected : 1, Received : 0\n" + R(90), 0, false, 1},
        {"an answer from another task at block 2", {"--bmc-fault=config-other-task:2"},
         head + R(45) + R(90), 0, false, 1},
        {"block 2 lost on the way: sent again, kept once", {"--bmc-fault=config-drop:2"},
         head + R(45) + "[doIPMICmd] Abnormal. CompCode == 0xffffffff\n" + R(90) + R(100), 0, true, 0},
        {"task state 1 at block 2: delivered, number kept", {"--bmc-fault=config-state:1:2:1"},
         head + R(45) + R(90) + R(100), 0, true, 0},
        {"task state 3 for every block", {"--bmc-fault=config-state:3:1:3"},
         head + R(45) + R(90) + R(100), 0, true, 0},
        {"a status answer without the sequence number", {"--bmc-fault=config-status-short:3"},
         kPreparing + "Error : Status answer too short. Expected : 4 bytes, Received : 3 bytes\n", 0, false, 1},
        {"a status answer without the length, which a restore does not read", {"--bmc-fault=config-status-short:4"},
         head + R(45) + R(90) + R(100), 0, true, 0},
        {"TASK_FAIL_STATE in the start answer", {"--bmc-fault=config-start-fail"},
         kPreparing + "Error: doIPMICmd failed\n", 0, false, 1},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> knobs = c.knobs;
        knobs.push_back("--bmc-config-seq=0xFFFFFF");
        ConfigRun run(knobs);
        const std::string before = run.bmcConfiguration();
        const std::string bytes = sampleBytes(100, 7);
        run.restoreFrom(bytes);
        EXPECT_EQ(run.console.text, kRestoreMode + c.console + kRestoreDone);
        EXPECT_EQ(run.bmcConfiguration(), c.replaced ? bytes : before);
        EXPECT_EQ(run.config().finishRequests(), c.finishes);
        EXPECT_EQ(readFile(run.file), bytes);  // a restore never writes its file
    }
}

TEST(ConfigTransfer, BackupWriteFailureIsReported) {
    // /dev/full takes the stream's buffer and fails when it is flushed: a small
    // backup fails at the close, a large one while blocks still arrive.
    const std::string message = "ERROR: WRITE FILE FAILED\n\n";
    ConfigRun small;
    small.file = "/dev/full";
    small.backup();
    EXPECT_EQ(small.console.text, kBackupMode + kPreparing + totalLine(3000) + progressLines(3000, 64) + message +
                                      kBackupDone);
    EXPECT_EQ(small.config().finishRequests(), 0u);

    ConfigRun large({"--bmc-config-block=100"});
    large.setBmcConfiguration(sampleBytes(20000));
    large.file = "/dev/full";
    large.backup();
    const std::string& t = large.console.text;
    const size_t at = t.find(message);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(t.find(message, at + 1), std::string::npos);  // said once
    EXPECT_LT(large.config().blockRequests(), 200u);          // stopped early
    EXPECT_EQ(large.config().finishRequests(), 1u);
    EXPECT_EQ(t.substr(t.size() - kBackupDone.size()), kBackupDone);
}

}  // namespace
}  // namespace korvex::test
