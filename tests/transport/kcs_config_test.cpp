// kcs.cfg as users write it, and what port set each file gives.
#include <gtest/gtest.h>

#include <string>

#include "support/memfs.h"
#include "transport/kcs.h"

namespace korvex {
namespace {

struct ConfigCase {
    const char* name;
    const char* file;  // nullptr: there is none
    int64_t command;
    int64_t data;
    size_t readErrorAt = 0;  // non-zero: reading fails after that many bytes
};

class KcsConfig : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(KcsConfig, GivesThePortSet) {
    const ConfigCase& c = GetParam();
    test::MemFs fs;
    if (c.file != nullptr) fs.files["kcs.cfg"] = c.file;
    if (c.readErrorAt != 0) {
        fs.failReadAfter.insert("kcs.cfg");
        fs.readErrorAt = c.readErrorAt;
    }
    KcsPortSet ports{1, 2, 3};
    readKcsPortSet(fs, &ports);
    EXPECT_EQ(ports.command, c.command);
    EXPECT_EQ(ports.status, c.command);  // always set together
    EXPECT_EQ(ports.data, c.data);
    EXPECT_EQ(fs.openNow, 0) << "kcs.cfg left open";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Files, KcsConfig,
    ::testing::Values(
        ConfigCase{"no_file_gives_the_standard_ports", nullptr, 0xCA3, 0xCA2},
        ConfigCase{"every_separator", "\v\fCMD\r\n\t CA3\f\vDATA \n\n CA2 \t", 0xCA3, 0xCA2},
        // Up to four digits of 0-9, A-F, a-f, and anything from '*' to '?' by its low four bits.
        ConfigCase{"prefix_0x_stops_at_x", "CMD 0xCA3\n", 0, 0},
        ConfigCase{"mixed_case_digits_and_four_at_most", "CMD FfFf DATA 12345\n", 0xFFFF, 0x1234},
        ConfigCase{"leading_zeros_count", "DATA 00CA2\n", 0, 0xCA},
        ConfigCase{"digits_from_star_to_question_mark", "CMD :;<= DATA *+?/\n", 0xABCD, 0xABFF},
        ConfigCase{"just_outside_the_digits", "CMD ) DATA @\n", 0, 0},
        ConfigCase{"number_ends_at_a_non_digit", "CMD 1G2 DATA CA3h\n", 1, 0xCA3},
        ConfigCase{"keywords_are_case_sensitive", "cmd CA3\n", 0, 0},
        ConfigCase{"only_data", "DATA CA2\n", 0, 0xCA2},
        ConfigCase{"either_order_and_the_last_wins", "CMD CA3 DATA 62 CMD CA5", 0xCA5, 0x62},
        ConfigCase{"other_tokens_skipped", "# ports\nCMD CA3 ; data next\nDATA CA2 end\n", 0xCA3, 0xCA2},
        ConfigCase{"number_reading_DATA_is_the_keyword", "CMD DATA 42\n", 0xDA, 0x42},
        // A keyword as the last token has no number: its port stays as it was.
        ConfigCase{"cmd_without_number_at_end", "CMD CA5 DATA CA2 CMD", 0xCA5, 0xCA2},
        ConfigCase{"data_without_number_at_end", "CMD CA3\nDATA 62 DATA\n", 0xCA3, 0x62},
        // A token longer than 19 characters is cut, not split into two.
        ConfigCase{"long_token_is_one_token", "xxxxxxxxxxxxxxxxxxxxCMD CA3 DATA CA2\n", 0, 0xCA2},
        ConfigCase{"long_number_token", "CMD CA3456789012345678901234567890 DATA CA2\n", 0xCA34, 0xCA2},
        // A read error ends the reading like the end of the file, after "CMD 42 ".
        ConfigCase{"read_error_ends_the_reading", "CMD 42 DATA 43\n", 0x42, 0, 7}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace korvex
