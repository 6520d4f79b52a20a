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
    const char* message;  // nullptr: the banner alone
    bool messageFirst;
};

class EndsRun : public testing::TestWithParam<EndCase> {};

TEST_P(EndsRun, PrintsBannerAndMessageInOrder) {
    const EndCase& c = GetParam();
    ParseResult r = parse(c.args);
    EXPECT_EQ(r.outcome, ParseOutcome::End);
    std::string expected = goldenBanner();
    if (c.message != nullptr) expected = c.messageFirst ? c.message + expected : expected + c.message;
    EXPECT_EQ(r.text, expected);
}

const std::string kNoSuch = "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, EndsRun,
    testing::Values(
        EndCase{"Empty", {}, nullptr, false}, EndCase{"ConfigAlone", {"-c"}, nullptr, false},
        EndCase{"NoFile", {"-i", "kcs", "-r", "n"}, nullptr, false}, EndCase{"FileOptionLast", {"-f"}, nullptr, false},
        EndCase{"UpperCaseInterface",
                {"-f", "a", "-i", "LAN"},
                "ERROR:PLEASE SELECT THE INTERFACE:KCS,LAN or USB\n\n",
                false},
        EndCase{"UpperCasePreserve",
                {"-f", "a", "-r", "Y"},
                "ERROR:PLEASE CORRECT THE PRESERVE CONFIGURATION:y or n\n\n",
                false},
        EndCase{"WordPreserve",
                {"-f", "a", "-r", "yes"},
                "ERROR:PLEASE CORRECT THE PRESERVE CONFIGURATION:y or n\n\n",
                false},
        EndCase{
            "UnknownOption", {"-x"}, "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-x\n\n", false},
        EndCase{"OptionsAreCaseSensitive",
                {"-F", "a"},
                "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-F\n\n",
                false},
        EndCase{"LongOptionName",
                {"--f", "a"},
                "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:--f\n\n",
                false},
        EndCase{"ScanStopsAtFirstFault",
                {"-x", "-i", "LAN"},
                "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-x\n\n",
                false},
        EndCase{"HostAsLastToken",
                {"-f", "a", "-h", "10.0.0.1"},
                "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:10.0.0.1\n\n",
                false},
        EndCase{"LanWithoutHost", {"-f", "fw.bin", "-i", "lan"}, "ERROR:PLEASE ENTER THE HOST IP ADDRESS\n\n", true},
        EndCase{"LanWithoutUser",
                {"-f", "fw.bin", "-i", "lan", "-h", "10.0.0.1", "623"},
                "ERROR:PLEASE ENTER THE USER NAME\n\n",
                true},
        EndCase{"LanWithoutPassword",
                {"-f", "fw.bin", "-i", "lan", "-h", "h", "-u", "admin"},
                "ERROR:PLEASE ENTER THE PASSWORD\n\n",
                true},
        EndCase{"LanChecksNeedAFileFirst", {"-i", "lan"}, nullptr, false},
        EndCase{"HostTooLong",
                {"-f", "a", "-h", "1234567890123456", "-u"},
                "ERROR:THE HOST IP ADDRESS IS TOO LONG, AT MOST 15 CHARACTERS\n\n",
                false},
        EndCase{"PortTooLong",
                {"-f", "a", "-h", "h", "1234567890123456"},
                "ERROR:THE RMCP+ PORT IS TOO LONG, AT MOST 15 CHARACTERS\n\n",
                false},
        EndCase{"UserTooLong",
                {"-u", "abcdefghijklmnop", "-f", "a"},
                "ERROR:THE USER NAME IS TOO LONG, AT MOST 15 CHARACTERS\n\n",
                false},
        EndCase{"PasswordTooLong",
                {"-f", "a", "-p", "abcdefghijklmnop"},
                "ERROR:THE PASSWORD IS TOO LONG, AT MOST 15 CHARACTERS\n\n",
                false},
        EndCase{"EmptyToken", {""}, "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:\n\n", false}),
    [](const testing::TestParamInfo<EndCase>& p) { return std::string(p.param.name); });

TEST(CommandLine, FifteenCharactersFit) {
    ParseResult r =
        parse({"-f", "a", "-i", "lan", "-h", "123456789012345", "-u", "abcdefghijklmno", "-p", "abcdefghijklmno"});
    ASSERT_EQ(r.outcome, ParseOutcome::Run);
    EXPECT_EQ(r.text, "");
    EXPECT_STREQ(r.options.host, "123456789012345");
    EXPECT_STREQ(r.options.user, "abcdefghijklmno");
}

TEST(CommandLine, HostPortDefaultsWhenNextTokenIsAnOption) {
    ParseResult r = parse({"-f", "a", "-h", "10.0.0.1", "-u", "admin", "-p", "pw", "-i", "lan"});
    ASSERT_EQ(r.outcome, ParseOutcome::Run);
    EXPECT_STREQ(r.options.host, "10.0.0.1");
    EXPECT_STREQ(r.options.port, "623");
    EXPECT_STREQ(r.options.user, "admin");
    EXPECT_STREQ(r.options.password, "pw");
}

TEST(CommandLine, HostTakesAnExplicitPort) {
    ParseResult r = parse({"-h", "10.0.0.1", "6230", "-f", "a"});
    ASSERT_EQ(r.outcome, ParseOutcome::Run);
    EXPECT_STREQ(r.options.port, "6230");
    EXPECT_STREQ(r.options.firmwareFile ? r.options.firmwareFile : "", "a");
}

TEST(CommandLine, ValuesMayBeginWithDash) {
    ParseResult r = parse({"-f", "-d"});
    ASSERT_EQ(r.outcome, ParseOutcome::Run);
    EXPECT_STREQ(r.options.firmwareFile, "-d");
    EXPECT_EQ(r.options.dumpFile, nullptr);
}

TEST(CommandLine, LastValueWinsAndDefaultsApply) {
    ParseResult r = parse({"-f", "one.bin", "-r", "n", "-f", "two.bin", "-i", "usb", "-i", "kcs", "-c"});
    ASSERT_EQ(r.outcome, ParseOutcome::Run);
    EXPECT_STREQ(r.options.firmwareFile, "two.bin");
    EXPECT_STREQ(r.options.interface, "kcs");
    EXPECT_EQ(r.options.preserveFlag, 0);
    EXPECT_TRUE(r.options.configFlag);

    ParseResult d = parse({"-f", "fw.bin"});
    EXPECT_EQ(d.options.preserveFlag, 1);
    EXPECT_STREQ(d.options.interface, "");
}

TEST(CommandLine, ShortOptionTailIsSkippedAlone) {
    // "-i" as the last token is skipped; nothing is stored and the run goes on.
    ParseResult r = parse({"-d", "dump.bin", "-i"});
    ASSERT_EQ(r.outcome, ParseOutcome::Run);
    EXPECT_STREQ(r.options.interface, "");
    EXPECT_STREQ(r.options.dumpFile, "dump.bin");
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
