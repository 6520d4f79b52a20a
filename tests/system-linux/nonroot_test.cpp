// korvex run by an ordinary user on the KCS ports (--interface=ports): it
// cannot have them, so it says so and why, and neither prints the tool's text
// nor creates a file; its usage, help and version need no ports. Which jobs
// need the ports is the front-end table's business (tests/transport).
// Runs the real binary under the nobody account; needs root to switch.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/capture.h"

namespace korvex::test {
namespace {

TEST(AsNobody, JobsAreRefusedBeforeAnythingHappens) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
    const std::string dir = scratchPath("nonroot"), setpriv = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
    std::filesystem::create_directories(dir);
    chmod(dir.c_str(), 0777);  // nobody could create files here: it must not
    if (std::system((setpriv + "test -x " KORVEX_LINUX_BINARY).c_str()) != 0) GTEST_SKIP() << "nobody cannot run it";
    const std::string refused =
        "korvex: interface: KCS ports (--interface=ports)\nkorvex: cannot access I/O ports 0xCA";
    const struct {
        const char* args;
        int status;
        std::string out, err;  // out: all of it (a part when it succeeds); err: how it begins
    } rows[] = {
        {"-d dump.bin", 4, "", refused + "2/0xCA3: "},
        {"", 2, goldenBanner(), ""},
        {"--help", 0, "  128+N  stopped by signal N", ""},  // what a script needs: the exit statuses
        {"--version", 0, "korvex ", ""},
        {"-d dump.bin", 4, "", refused + "4/0xCA5: "},  // the ports kcs.cfg gives
    };
    for (const auto& r : rows) {
        if (r.err.find("0xCA5") != std::string::npos) writeFile(dir + "/kcs.cfg", "CMD CA5 DATA CA4\n");
        const int raw = std::system(("cd " + dir + " && " + setpriv + KORVEX_LINUX_BINARY " --interface=ports " +
                                     r.args + " > out.txt 2> err.txt")
                                        .c_str());
        const std::string out = readFile(dir + "/out.txt"), err = readFile(dir + "/err.txt");
        EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, r.status) << r.args;
        EXPECT_TRUE(r.status == 0 ? out.find(r.out) != std::string::npos : out == r.out) << r.args << ": " << out;
        EXPECT_TRUE(err.starts_with(r.err) &&
                    (r.err.empty() ? err.empty() : err.ends_with("nothing was sent to the BMC\n")))
            << r.args << ": " << err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir + "/dump.bin"));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvex::test
