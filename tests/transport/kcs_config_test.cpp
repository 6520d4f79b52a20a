// kcs.cfg as users write it, and what port set each file gives.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/memfs.h"
#include "transport/kcs.h"

namespace korvex {
namespace {

TEST(KcsConfig, GivesThePortSet) {
    const struct {
        const char* file;  // nullptr: there is none
        int64_t command, data;
        size_t readErrorAt = 0;  // non-zero: reading fails after that many bytes
    } cases[] = {
        {nullptr, 0xCA3, 0xCA2},  // the standard ports
        {"\v\fCMD\r\n\t CA3\f\vDATA \n\n CA2 \t", 0xCA3, 0xCA2},
        // Up to four digits of 0-9, A-F, a-f, and anything from '*' to '?' by its low four bits.
        {"CMD 0xCA3\n", 0, 0},
        {"CMD FfFf DATA 12345\n", 0xFFFF, 0x1234},
        {"DATA 00CA2\n", 0, 0xCA},
        {"CMD :;<= DATA *+?/\n", 0xABCD, 0xABFF},
        {"CMD ) DATA @\n", 0, 0},
        {"CMD 1G2 DATA CA3h\n", 1, 0xCA3},
        {"cmd CA3\n", 0, 0},
        {"CMD CA3 DATA 62 CMD CA5", 0xCA5, 0x62},
        {"# ports\nCMD CA3 ; data next\nDATA CA2 end\n", 0xCA3, 0xCA2},
        {"CMD DATA 42\n", 0xDA, 0x42},  // the number reading DATA is the keyword too
        // A keyword as the last token has no number: its port stays as it was.
        {"CMD CA5 DATA CA2 CMD", 0xCA5, 0xCA2},
        {"CMD CA3\nDATA 62 DATA\n", 0xCA3, 0x62},
        // A token longer than 19 characters is cut, not split into two.
        {"xxxxxxxxxxxxxxxxxxxxCMD CA3 DATA CA2\n", 0, 0xCA2},
        {"CMD CA3456789012345678901234567890 DATA CA2\n", 0xCA34, 0xCA2},
        // A read error ends the reading like the end of the file, after "CMD 42 ".
        {"CMD 42 DATA 43\n", 0x42, 0, 7},
    };
    for (const auto& c : cases) {
        test::MemFs fs;
        if (c.file != nullptr) fs.files["kcs.cfg"] = c.file;
        if (c.readErrorAt != 0) fs.failReadAfter.insert("kcs.cfg");
        fs.readErrorAt = c.readErrorAt;
        KcsPortSet ports{1, 2, 3};
        readKcsPortSet(fs, &ports);
        // Command and status are always set together; kcs.cfg is not left open.
        EXPECT_EQ(std::tuple(ports.command, ports.status, ports.data, fs.openNow),
                  std::tuple(c.command, c.command, c.data, 0))
            << (c.file ? c.file : "none");
    }
}

}  // namespace
}  // namespace korvex
