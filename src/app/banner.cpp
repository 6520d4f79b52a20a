#include "app/banner.h"

#include <cstddef>

#include "platform/text.h"

namespace korvex {

const char* buildDate() { return __DATE__; }

namespace {

constexpr size_t kFrameSize = 79;  // "* ", 74 characters, "*", line end, terminating zero
constexpr size_t kFieldWidth = 74;
constexpr size_t kContentBufferSize = 88;  // a content line with its value filled in

void printBorder(Console& console) {
    console.print("*****************************************************************************\n");
}

void printFramedLine(Console& console, char (&frame)[kFrameSize], const char* content) {
    size_t i = 0;
    for (; i < kFieldWidth && content[i] != '\0'; ++i) frame[2 + i] = content[i];
    for (; i < kFieldWidth; ++i) frame[2 + i] = ' ';
    console.print("%s", frame);
}

// Joins the pieces into the content buffer; stops where the buffer ends.
class Content {
public:
    Content& add(const char* piece) {
        length_ += text::copy(buffer_ + length_, kContentBufferSize - length_, piece);
        return *this;
    }
    const char* str() const { return buffer_; }

private:
    char buffer_[kContentBufferSize] = {};
    size_t length_ = 0;
};

}  // namespace

void printUsageBanner(Console& console) {
    char frame[kFrameSize];
    frame[0] = '*';
    frame[1] = ' ';
    frame[kFrameSize - 3] = '*';
    frame[kFrameSize - 2] = '\n';
    frame[kFrameSize - 1] = '\0';
    auto line = [&](const char* content) { printFramedLine(console, frame, content); };
    auto withProgram = [&](const char* before, const char* after) {
        line(Content().add(before).add(kBannerProgramName).add(after).str());
    };
    auto lanExampleLines = [&]() {
        line(Content().add("  - BMC IP address ").add(kExampleBmcAddress).add(" port 623").str());
        line(Content().add("  - IPMI username is ").add(kExampleUser).str());
        line(Content().add("  - Password for ").add(kExampleUser).add(" is ").add(kExamplePassword).str());
        line("  - Preserve Configuration");
    };
    auto lanCommand = [&](const char* job, const char* tail) {
        line(Content()
                 .add("  ")
                 .add(kBannerProgramName)
                 .add(job)
                 .add(" -i lan -h ")
                 .add(kExampleBmcAddress)
                 .add(" 623 -u ")
                 .add(kExampleUser)
                 .add(" -p ")
                 .add(kExamplePassword)
                 .add(tail)
                 .str());
    };

    printBorder(console);
    printBorder(console);
    line("FUNCTION   :  IPMI FIRMWARE UPDATE UTILITY");
    line(Content().add("VERSION    :  ").add(kToolVersion).str());
    line(Content().add("BUILD DATE :  ").add(buildDate()).str());
    line("USAGE      :");
    withProgram("            (1)Update FIRMWARE : ", " -f filename.bin [OPTION]");
    withProgram("            (2)Dump FIRMWARE   : ", " -d filename");
    withProgram("            (3)Restore CONFIG  : ", " -c -f filename.bin");
    withProgram("            (4)Backup CONFIG   : ", " -c -d filename.bin");
    printBorder(console);
    line("OPTION");
    line("  -i the IPMI channel, currently, kcs and lan are supported");
    line("LAN channel specific arguments");
    line("  -h remote BMC address and RMCP+ port, (default port is 623)");
    line("  -u IPMI user name");
    line("  -p IPMI password correlated to IPMI user name");
    line("  -r Preserve Configuration (default is Preserve)");
    line("     n:No Preserve, reset to factory default settings");
    line("     y:Preserve, keep all of the settings");
    line("  -c IPMI configuration backup/restore");
    line("     -f [restore.bin] Restore configurations");
    line("     -d [backup.bin] Backup configurations");
    printBorder(console);
    line("EXAMPLE");
    line("  we like to upgrade firmware through KCS channel");
    withProgram("  ", " -f fwuperade.bin -i kcs -r y");
    withProgram("  ", " -d fwdump.bin -i kcs -r y");
    line("");
    line("  we like to restore/backup IPMI config through KCS channel");
    withProgram("  ", " -c -f restore.bin -i kcs -r y");
    withProgram("  ", " -c -d backup.bin -i kcs -r y");
    line("");
    line("  we like to upgrade firmware through LAN channel with");
    lanExampleLines();
    lanCommand(" -f fw.bin", " -r y");
    lanCommand(" -d fwdump.bin", " -r y");
    line("");
    line("  we like to restore/backup IPMI config through LAN channel with");
    lanExampleLines();
    lanCommand(" -c -f fw.bin", "");
    lanCommand(" -c -d fwdump.bin", "");
    printBorder(console);
    console.print("\n");
}

}  // namespace korvex
