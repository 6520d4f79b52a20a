// The command line as a user meets it: what is printed, in which order, and
// which job a command line picks.
#include <gtest/gtest.h>
#include <cctype>

#include <memory>
#include <string>
#include <vector>

#include "app/banner.h"
#include "app/options.h"
#include "support/capture.h"

namespace korvex::test {
namespace {

struct ParseResult {
    ParseOutcome outcome;
    Options options;
    std::string text;
    // The option record refers to the argument strings: they live as long as it.
    std::shared_ptr<std::vector<std::string>> args;
};

ParseResult parse(std::vector<std::string> args) {
    ParseResult r{};
    r.args = std::make_shared<std::vector<std::string>>(std::move(args));
    r.args->insert(r.args->begin(), "korvex");
    std::vector<char*> argv;
    for (std::string& s : *r.args) argv.push_back(s.data());
    argv.push_back(nullptr);
    CaptureConsole console;
    r.outcome = parseCommandLine(console, static_cast<int>(r.args->size()), argv.data(), &r.options);
    r.text = console.text;
    return r;
}

TEST(Banner, MatchesGoldenFile) {
    CaptureConsole console;
    printUsageBanner(console);
    EXPECT_EQ(console.text, goldenBanner());
}

// What ends the run, and where the message stands relative to the banner.
struct EndCase {
    const char* name;
    std::vector<std::string> args;
    std::string message = "";  // "": the banner alone
    bool messageFirst = false;
};

class EndsRun : public testing::TestWithParam<EndCase> {};

TEST_P(EndsRun, PrintsBannerAndMessageInOrder) {
    const EndCase& c = GetParam();
    ParseResult r = parse(c.args);
    EXPECT_EQ(r.outcome, ParseOutcome::End);
    std::string expected = goldenBanner();
    expected = c.messageFirst ? c.message + expected : expected + c.message;
    EXPECT_EQ(r.text, expected);
}

const std::string kNoSuch = "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:";
const std::string kPreserve = "ERROR:PLEASE CORRECT THE PRESERVE CONFIGURATION:y or n\n\n";
std::string tooLong(const char* what) {
    return std::string("ERROR:THE ") + what + " IS TOO LONG, AT MOST 15 CHARACTERS\n\n";
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, EndsRun,
    testing::Values(
        EndCase{"Empty", {}}, EndCase{"ConfigAlone", {"-c"}}, EndCase{"NoFile", {"-i", "kcs", "-r", "n"}},
        EndCase{"FileOptionLast", {"-f"}},
        EndCase{"UpperCaseInterface", {"-f", "a", "-i", "LAN"}, "ERROR:PLEASE SELECT THE INTERFACE:KCS,LAN or USB\n\n"},
        EndCase{"UpperCasePreserve", {"-f", "a", "-r", "Y"}, kPreserve},
        EndCase{"WordPreserve", {"-f", "a", "-r", "yes"}, kPreserve},
        EndCase{"UnknownOption", {"-x"}, kNoSuch + "-x\n\n"},
        EndCase{"OptionsAreCaseSensitive", {"-F", "a"}, kNoSuch + "-F\n\n"},
        EndCase{"LongOptionName", {"--f", "a"}, kNoSuch + "--f\n\n"},
        EndCase{"ScanStopsAtFirstFault", {"-x", "-i", "LAN"}, kNoSuch + "-x\n\n"},
        EndCase{"HostAsLastToken", {"-f", "a", "-h", "10.0.0.1"}, kNoSuch + "10.0.0.1\n\n"},
        EndCase{"LanWithoutHost", {"-f", "fw.bin", "-i", "lan"}, "ERROR:PLEASE ENTER THE HOST IP ADDRESS\n\n", true},
        EndCase{"LanWithoutUser",
                {"-f", "fw.bin", "-i", "lan", "-h", "10.0.0.1", "623"},
                "ERROR:PLEASE ENTER THE USER NAME\n\n",
                true},
        EndCase{"LanWithoutPassword",
                {"-f", "fw.bin", "-i", "lan", "-h", "h", "-u", "admin"},
                "ERROR:PLEASE ENTER THE PASSWORD\n\n",
                true},
        EndCase{"LanChecksNeedAFileFirst", {"-i", "lan"}},
        EndCase{"HostTooLong", {"-f", "a", "-h", "1234567890123456", "-u"}, tooLong("HOST IP ADDRESS")},
        EndCase{"PortTooLong", {"-f", "a", "-h", "h", "1234567890123456"}, tooLong("RMCP+ PORT")},
        EndCase{"UserTooLong", {"-u", "abcdefghijklmnop", "-f", "a"}, tooLong("USER NAME")},
        EndCase{"PasswordTooLong", {"-f", "a", "-p", "abcdefghijklmnop"}, tooLong("PASSWORD")},
        EndCase{"EmptyToken", {""}, kNoSuch + "\n\n"}),
    [](const testing::TestParamInfo<EndCase>& p) { return std::string(p.param.name); });

// What a command line that runs stores: the values, the last of a repeated
// option, the defaults ("" for what was not given).
TEST(CommandLine, StoredValues) {
    const struct {
        std::vector<std::string> args;
        const char *firmware, *dump, *interface, *host, *port, *user, *password;
        uint8_t preserve;
        bool config;
    } rows[] = {
        {{"-f", "a", "-i", "lan", "-h", "123456789012345", "-u", "abcdefghijklmno", "-p", "abcdefghijklmno"},
         "a",
         "",
         "lan",
         "123456789012345",
         "623",
         "abcdefghijklmno",
         "abcdefghijklmno",
         1,
         false},                                                                 // 15 fit
        {{"-f", "a", "-h", "10.0.0.1", "-u", "admin", "-p", "pw", "-i", "lan"},  // the next token is an option
         "a",
         "",
         "lan",
         "10.0.0.1",
         "623",
         "admin",
         "pw",
         1,
         false},
        {{"-h", "10.0.0.1", "6230", "-f", "a"}, "a", "", "", "10.0.0.1", "6230", "", "", 1, false},
        {{"-f", "-d"}, "-d", "", "", "", "", "", "", 1, false},  // a value may begin with a dash
        {{"-f", "one.bin", "-r", "n", "-f", "two.bin", "-i", "usb", "-i", "kcs", "-c"},
         "two.bin",
         "",
         "kcs",
         "",
         "",
         "",
         "",
         0,
         true},
        {{"-d", "dump.bin", "-i"}, "", "dump.bin", "", "", "", "", "", 1, false},  // "-i" last is skipped alone
    };
    for (const auto& row : rows) {
        ParseResult r = parse(row.args);
        ASSERT_EQ(r.outcome, ParseOutcome::Run) << row.args[0];
        const Options& o = r.options;
        EXPECT_EQ(r.text, "");
        EXPECT_STREQ(o.firmwareFile ? o.firmwareFile : "", row.firmware);
        EXPECT_STREQ(o.dumpFile ? o.dumpFile : "", row.dump);
        for (auto [got, want] : {std::pair{o.interface, row.interface},
                                 {o.host, row.host},
                                 {o.port, row.port},
                                 {o.user, row.user},
                                 {o.password, row.password}})
            EXPECT_STREQ(got, want);
        EXPECT_EQ(o.preserveFlag, row.preserve);
        EXPECT_EQ(o.configFlag, row.config);
    }
}

struct JobCase {
    std::vector<std::string> args;
    Job job;
};

class JobChoice : public testing::TestWithParam<JobCase> {};

TEST_P(JobChoice, FollowsTheTable) {
    ParseResult r = parse(GetParam().args);
    ASSERT_EQ(r.outcome, ParseOutcome::Run) << r.text;
    EXPECT_EQ(chooseJob(r.options), GetParam().job);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, JobChoice,
    testing::Values(JobCase{{"-c", "-f", "a.bin"}, Job::ConfigRestore},
                    JobCase{{"-c", "-f", "a.bin", "-d", "b.bin"}, Job::ConfigRestore},
                    JobCase{{"-d", "b.bin", "-c"}, Job::ConfigBackup},
                    JobCase{{"-f", "a.bin", "-d", "b.bin"}, Job::FlashDump},
                    JobCase{{"-d", "dump.bin", "-i", "usb"}, Job::FlashDump},
                    JobCase{{"-f", "fw.bin", "-i", "usb"}, Job::UsbUpdate}, JobCase{{"-f", "fw.bin"}, Job::KcsUpdate},
                    JobCase{{"-f", "fw.bin", "-i", "kcs"}, Job::KcsUpdate},
                    JobCase{{"-f", "fw.bin", "-i", "lan", "-h", "h", "-u", "u", "-p", "p"}, Job::KcsUpdate}),
    // The command line as the name: "-f fw.bin" reads f_fw_bin.
    [](const testing::TestParamInfo<JobCase>& p) {
        std::string name;
        for (const std::string& arg : p.param.args) {
            for (char ch : arg) {
                if (std::isalnum(static_cast<unsigned char>(ch)))
                    name += ch;
                else if (ch != '-')
                    name += '_';
            }
            name += '_';
        }
        name.pop_back();
        return name;
    });

}  // namespace
}  // namespace korvex::test
