// Configuration backup and restore block by block against the simulated BMC.
// The fault matrix walks every failure end to end; here are the round trips,
// the requests on the wire, the format edges and what its console goldens
// cannot show: retry bounds, sequence numbers across the wrap, finish requests.
#include <gtest/gtest.h>

#include <cstdlib>

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
        writeFile(backup.file, std::string(5000, 'x'));  // emptied first
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

TEST(ConfigTransfer, KorvexSimRoundTrip) {
    const std::string c = JobRig::path("sim-config-C.bin");
    const std::string b = JobRig::path("sim-config-B.bin");
    const std::string r = JobRig::path("sim-config-R.bin");
    const std::string out = JobRig::path("sim-config-out.txt");
    const std::string original = sampleBytes(2049, 5);
    writeFile(c, original);
    std::remove(b.c_str());
    std::remove(r.c_str());
    auto sim = [&](const std::string& args) {
        return std::system((std::string(KORVEX_SIM_BINARY) + " " + args + " > " + out + " 2>&1").c_str());
    };
    ASSERT_EQ(sim("--bmc-config=" + c + " --bmc-config-seq=0xFFFFFF -- -c -d " + b), 0);
    EXPECT_EQ(readFile(b), original);
    ASSERT_EQ(sim("--bmc-save-config=" + r + " --bmc-config-seq=0xFFFFFE -- -c -f " + b), 0);
    const std::string text = readFile(out);
    EXPECT_EQ(text.substr(text.size() - kRestoreDone.size()), kRestoreDone);
    EXPECT_EQ(readFile(r), original);
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
        run.restoreFrom(c.file);
        EXPECT_EQ(run.requests(), c.requests);
        for (const bmc::Request& r : run.bmc.log()) {
            EXPECT_EQ(r.netFn, 0x3E);
            EXPECT_EQ(r.command, 0x20);
        }
    }
}

TEST(ConfigTransfer, ProgressAndLengthFormatsAtTheirEdges) {
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

std::vector<std::string> codeFor(int from, int to, const char* code) {
    std::vector<std::string> knobs;
    for (int n = from; n <= to; ++n) knobs.push_back(std::string("--bmc-fault=cc:0x3e:0x20:") + code + ":" + std::to_string(n));
    return knobs;
}

TEST(ConfigTransfer, BackupFailuresAndRecoveries) {
    const long total = 300;
    auto L = [&](long n) { return progressLine(n, total); };
    const std::string head = kPreparing + totalLine(total);
    const std::string rest = L(128) + L(192) + L(256) + L(300);
    const std::string failed = "Error: doIPMICmd failed\n";
    const FailureCase cases[] = {
        {"reset refused five times", codeFor(1, 5, "0xc1"),
         kPreparing + repeat("[doIPMICmd] Abnormal. CompCode == 0xc1\n", 5) + failed, 0, false, 1},
        {"block 2 refused five times", codeFor(5, 9, "0xc0"),
         head + L(64) + repeat("[doIPMICmd] Abnormal. CompCode == 0xc0\n", 5) + failed + L(64), 64, false, 1},
        {"block 2 refused four times, then served", codeFor(5, 8, "0xc0"),
         head + L(64) + repeat("[doIPMICmd] Abnormal. CompCode == 0xc0\n", 4) + rest, 300, false, 0},
        {"the last number again at block 2, across the wrap", {"--bmc-fault=config-bad-seq:2"},
         head + L(64) + "Error : Unsynchronized sequence. Expected : 0, Received : 16777215\n" + L(64), 64, false, 1},
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
    const std::string whole = head + R(45) + R(90) + R(100);
    const FailureCase cases[] = {
        {"the last number again at block 2, after the wrap", {"--bmc-fault=config-bad-seq:2"},
         head + R(45) + "Error : Unsynchronized sequence. Expected : 1, Received : 0\n" + R(90), 0, false, 1},
        {"task state 1 at block 2: delivered, number kept", {"--bmc-fault=config-state:1:2:1"}, whole, 0, true, 0},
        {"task state 3 for every block", {"--bmc-fault=config-state:3:1:3"}, whole, 0, true, 0},
        {"a status answer without the length, which a restore does not read", {"--bmc-fault=config-status-short:4"},
         whole, 0, true, 0},
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

TEST(ConfigTransfer, BackupWriteFailureEndsTheTransferOnce) {
    // /dev/full fails once the stream's buffer is flushed, long before the end.
    const std::string message = "ERROR: WRITE FILE FAILED\n\n";
    ConfigRun run({"--bmc-config-block=100"});
    run.setBmcConfiguration(sampleBytes(20000));
    run.file = "/dev/full";
    run.backup();
    const std::string& t = run.console.text;
    const size_t at = t.find(message);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(t.find(message, at + 1), std::string::npos);
    EXPECT_LT(run.config().blockRequests(), 200u);
    EXPECT_EQ(run.config().finishRequests(), 1u);
    EXPECT_EQ(t.substr(t.size() - kBackupDone.size()), kBackupDone);
}

}  // namespace
}  // namespace korvex::test
