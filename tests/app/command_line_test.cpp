// The command line as a user meets it: what is printed and in which order
// (the banner, every time, and the message before or after it), what a run
// stores, and which job it picks.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/options.h"
#include "support/capture.h"

namespace korvex::test {
namespace {

// The parser's text, with @B for the banner, and for a run that goes on what
// it stored and the job it picks. '' stands for an empty argument.
std::string parsed(const std::string& line) {
    std::vector<std::string> args{"korvex"};
    std::istringstream words(line);
    for (std::string w; words >> w;) args.push_back(w == "''" ? "" : w);
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    CaptureConsole console;
    Options o;
    const bool run = parseCommandLine(console, static_cast<int>(args.size()), argv.data(), &o) == ParseOutcome::Run;
    std::string text = console.text;
    if (const size_t at = text.find(goldenBanner()); at != std::string::npos)
        text.replace(at, goldenBanner().size(), "@B");
    if (!run) return text;
    const char* jobs[] = {"none", "restore", "backup", "dump", "usb", "kcs"};
    char stored[300];
    std::snprintf(stored, sizeof stored, "f=%s d=%s i=%s h=%s:%s u=%s p=%s r=%d c=%d %s",
                  o.firmwareFile ? o.firmwareFile : "-", o.dumpFile ? o.dumpFile : "-", o.interface, o.host, o.port,
                  o.user, o.password, o.preserveFlag, o.configFlag, jobs[static_cast<int>(chooseJob(o))]);
    return text + stored;
}

TEST(CommandLine, TextStoredValuesAndJob) {
    const std::string noSuch = "@BERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:";
    const std::string preserve = "@BERROR:PLEASE CORRECT THE PRESERVE CONFIGURATION:y or n\n\n";
    const auto tooLong = [](const char* what) {
        return std::string("@BERROR:THE ") + what + " IS TOO LONG, AT MOST 15 CHARACTERS\n\n";
    };
    const std::string fifteen = "abcdefghijklmno";
    const struct {
        std::string args, outcome;
    } rows[] = {
        // clang-format off
        {"", "@B"}, {"-c", "@B"}, {"-i kcs -r n", "@B"}, {"-f", "@B"}, {"-i lan", "@B"},
        {"-f a -i LAN", "@BERROR:PLEASE SELECT THE INTERFACE:KCS,LAN or USB\n\n"},
        {"-f a -r Y", preserve}, {"-f a -r yes", preserve},
        {"-x -i LAN", noSuch + "-x\n\n"}, {"-F a", noSuch + "-F\n\n"}, {"--f a", noSuch + "--f\n\n"},
        {"''", noSuch + "\n\n"},
        {"-f a -h 10.0.0.1", noSuch + "10.0.0.1\n\n"},  // -h needs two tokens behind it
        {"-f a -i lan", "ERROR:PLEASE ENTER THE HOST IP ADDRESS\n\n@B"},
        {"-f a -i lan -h 10.0.0.1 623", "ERROR:PLEASE ENTER THE USER NAME\n\n@B"},
        {"-f a -i lan -h h -u admin", "ERROR:PLEASE ENTER THE PASSWORD\n\n@B"},
        {"-f a -h 1234567890123456 -u", tooLong("HOST IP ADDRESS")},
        {"-f a -h h 1234567890123456", tooLong("RMCP+ PORT")},
        {"-u abcdefghijklmnop -f a", tooLong("USER NAME")},
        {"-f a -p abcdefghijklmnop", tooLong("PASSWORD")},
        {"-f a -i lan -h 123456789012345 -u " + fifteen + " -p " + fifteen,
         "f=a d=- i=lan h=123456789012345:623 u=" + fifteen + " p=" + fifteen + " r=1 c=0 kcs"},
        {"-f a -h 10.0.0.1 -u admin -p pw -i lan", "f=a d=- i=lan h=10.0.0.1:623 u=admin p=pw r=1 c=0 kcs"},
        {"-h 10.0.0.1 6230 -f a", "f=a d=- i= h=10.0.0.1:6230 u= p= r=1 c=0 kcs"},
        {"-f -d", "f=-d d=- i= h=: u= p= r=1 c=0 kcs"},
        {"-f one -r n -f two -i usb -i kcs -c", "f=two d=- i=kcs h=: u= p= r=0 c=1 restore"},
        {"-d dump -i", "f=- d=dump i= h=: u= p= r=1 c=0 dump"},
        {"-c -f a -d b -r y", "f=a d=b i= h=: u= p= r=1 c=1 restore"},
        {"-d b -c", "f=- d=b i= h=: u= p= r=1 c=1 backup"},
        {"-f a -d b", "f=a d=b i= h=: u= p= r=1 c=0 dump"},
        {"-d b -i usb", "f=- d=b i=usb h=: u= p= r=1 c=0 dump"},
        {"-f a -i usb", "f=a d=- i=usb h=: u= p= r=1 c=0 usb"},
        // clang-format on
    };
    for (const auto& row : rows) EXPECT_EQ(parsed(row.args), row.outcome) << row.args;
}

}  // namespace
}  // namespace korvex::test
