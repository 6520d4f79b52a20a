// Backup and restore through the whole tool: the KCS interface of the
// simulated machine, and the korvex-sim front end.
#include <gtest/gtest.h>

#include <cstdlib>

#include "config/rig.h"

namespace korvex::test {
namespace {

TEST(ConfigEndToEnd, BackupAndRestoreOverKcs) {
    const std::string file = JobRig::path("e2e-config.bin");
    const std::string original = sampleBytes(1000, 3);
    std::remove(file.c_str());

    SimRun backup;
    backup.options({"--bmc-config-seq=0xFFFFF0"});
    backup.machine.bmc.module<bmc::ConfigModule>()->setConfiguration({original.begin(), original.end()});
    EXPECT_EQ(backup.run({"-c", "-d", file}), 0);
    EXPECT_EQ(backup.console.text, goldenBanner() + "korvex -c -d " + file + " \n" + kBackupMode + kPreparing +
                                       totalLine(1000) + progressLines(1000, 64) + kBackupDone);
    EXPECT_EQ(readFile(file), original);

    SimRun restore;
    restore.options({"--bmc-config-seq=0xFFFFFA"});
    EXPECT_EQ(restore.run({"-c", "-f", file, "-i", "lan", "-h", "10.0.0.1", "-u", "admin", "-p", "pw"}), 0);
    const std::string& t = restore.console.text;
    EXPECT_NE(t.find(kRestoreMode + kPreparing + totalLine(1000) + progressLines(1000, 45) + kRestoreDone),
              std::string::npos);
    const auto& restored = restore.machine.bmc.module<bmc::ConfigModule>()->configuration();
    EXPECT_EQ(std::string(restored.begin(), restored.end()), original);
}

TEST(ConfigEndToEnd, FailedRestoreOverKcsStillEndsWithItsClosingLine) {
    const std::string file = JobRig::path("e2e-config-fail.bin");
    writeFile(file, sampleBytes(100));
    SimRun run;
    run.options({"--bmc-fault=config-fail-at:2"});
    run.run({"-c", "-f", file});
    const std::string tail = progressLine(45, 100) + "Error : TASK_FAIL_STATE\n" + progressLine(90, 100) + kRestoreDone;
    EXPECT_EQ(run.console.text.substr(run.console.text.size() - tail.size()), tail);
    EXPECT_EQ(run.machine.bmc.module<bmc::ConfigModule>()->finishRequests(), 1u);
}

int runSim(const std::string& args, const std::string& out) {
    return std::system((std::string(KORVEX_SIM_BINARY) + " " + args + " > " + out + " 2>&1").c_str());
}

TEST(ConfigEndToEnd, KorvexSimRoundTrip) {
    const std::string c = JobRig::path("sim-config-C.bin");
    const std::string b = JobRig::path("sim-config-B.bin");
    const std::string r = JobRig::path("sim-config-R.bin");
    const std::string out = JobRig::path("sim-config-out.txt");
    const std::string original = sampleBytes(2049, 5);
    writeFile(c, original);
    std::remove(b.c_str());
    std::remove(r.c_str());

    ASSERT_EQ(runSim("--bmc-config=" + c + " --bmc-config-seq=0xFFFFFF -- -c -d " + b, out), 0);
    const std::string backupText = readFile(out);
    EXPECT_EQ(backupText.substr(backupText.size() - kBackupDone.size()), kBackupDone);
    EXPECT_EQ(readFile(b), original);

    ASSERT_EQ(runSim("--bmc-save-config=" + r + " --bmc-config-seq=0xFFFFFE -- -c -f " + b, out), 0);
    const std::string restoreText = readFile(out);
    EXPECT_EQ(restoreText.substr(restoreText.size() - kRestoreDone.size()), kRestoreDone);
    EXPECT_EQ(readFile(r), original);
}

}  // namespace
}  // namespace korvex::test
