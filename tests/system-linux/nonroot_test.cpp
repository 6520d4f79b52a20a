// korvex run by an ordinary user on the KCS ports (--interface=ports): it
// cannot have them, so it says so and why, and neither prints the tool's text
// nor creates or touches a file. Runs the real binary under the nobody
// account; needs root to switch.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/capture.h"

namespace korvex::test {
namespace {

const std::string kChoice = "korvex: interface: KCS ports (--interface=ports)\n";

struct Outcome {
    int status;
    std::string out, err;
};

class AsNobody : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to run korvex as nobody";
        if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv (util-linux) is missing";
        char pattern[] = "/tmp/korvex-nonroot.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        chmod(dir_.c_str(), 0777);  // nobody could create files here: it must not
        std::string probe = "setpriv --reuid=nobody --regid=nogroup --clear-groups test -x " KORVEX_LINUX_BINARY;
        if (std::system(probe.c_str()) != 0) GTEST_SKIP() << "nobody cannot run " KORVEX_LINUX_BINARY;
    }
    void TearDown() override {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    Outcome run(const std::string& args) {
        const std::string command = "cd " + dir_ +
                                    " && setpriv --reuid=nobody --regid=nogroup --clear-groups " KORVEX_LINUX_BINARY
                                    " --interface=ports " +
                                    args + " > out.txt 2> err.txt";
        const int raw = std::system(command.c_str());
        const Outcome o{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(dir_ + "/out.txt"),
                        readFile(dir_ + "/err.txt")};
        std::filesystem::remove(dir_ + "/out.txt");
        std::filesystem::remove(dir_ + "/err.txt");
        return o;
    }
    std::string path(const char* name) const { return dir_ + "/" + name; }

    std::string dir_;
};

TEST_F(AsNobody, JobsAreRefusedBeforeAnythingHappens) {
    writeFile(path("restore.bin"), std::string(64, '\x5A'));
    writeFile(path("fw.bin"), std::string(64, '\x11'));
    const char* lines[] = {"-d dump.bin",       "-f fw.bin",
                           "-f fw.bin -i usb",  "-c -d backup.bin",
                           "-c -f restore.bin", "-f fw.bin -i lan -h 192.0.2.1 623 -u admin -p secret"};
    for (const char* line : lines) {
        const Outcome o = run(line);
        EXPECT_EQ(o.status, 4) << line;  // not started
        EXPECT_EQ(o.out, "") << line << ": the tool ran";
        EXPECT_EQ(o.err.rfind(kChoice + "korvex: cannot access I/O ports 0xCA2/0xCA3: ", 0), 0u)
            << line << ": " << o.err;
        EXPECT_NE(o.err.find("nothing was sent to the BMC"), std::string::npos) << o.err;
    }
    EXPECT_FALSE(std::filesystem::exists(path("dump.bin")));
    EXPECT_FALSE(std::filesystem::exists(path("backup.bin")));
    EXPECT_EQ(readFile(path("restore.bin")), std::string(64, '\x5A'));
    // The refusal names the ports kcs.cfg gives.
    writeFile(path("kcs.cfg"), "CMD CA5 DATA CA4\n");
    const Outcome o = run("-d dump.bin");
    EXPECT_EQ(o.status, 4);
    EXPECT_EQ(o.err.rfind(kChoice + "korvex: cannot access I/O ports 0xCA4/0xCA5: ", 0), 0u) << o.err;
}

TEST_F(AsNobody, UsageNeedsNoPorts) {
    const Outcome o = run("");
    EXPECT_EQ(o.status, 2);  // usage only
    EXPECT_EQ(o.out, goldenBanner());
    EXPECT_EQ(o.err, "");
    // Its own help and version need neither ports nor root either, and say
    // what a script needs: the exit statuses.
    for (const char* option : {"--help", "--version"}) {
        const Outcome h = run(option);
        EXPECT_EQ(h.status, 0) << option;
        EXPECT_EQ(h.out.rfind("korvex ", 0), 0u) << option;
        EXPECT_EQ(h.err, "") << option;
    }
    EXPECT_NE(run("--help").out.find("  128+N  stopped by signal N"), std::string::npos);
}

}  // namespace
}  // namespace korvex::test
