// kcs.cfg as users write it, and what port set each file gives.
#include <gtest/gtest.h>

#include <string>

#include "support/memfs.h"
#include "transport/kcs.h"

namespace korvex {
namespace {

struct ConfigCase {
    const char* name;
    const char* file;
    int64_t command;
    int64_t data;
};

class KcsConfig : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(KcsConfig, GivesThePortSet) {
    const ConfigCase& c = GetParam();
    test::MemFs fs;
    fs.files["kcs.cfg"] = c.file;
    KcsPortSet ports{1, 2, 3};
    readKcsPortSet(fs, &ports);
    EXPECT_EQ(ports.command, c.command);
    EXPECT_EQ(ports.status, c.command);  // always set together
    EXPECT_EQ(ports.data, c.data);
    EXPECT_EQ(fs.openNow, 0) << "kcs.cfg left open";
}

INSTANTIATE_TEST_SUITE_P(
    Files, KcsConfig,
    ::testing::Values(
        ConfigCase{"defaults_spelt_out", "CMD CA3 DATA CA2\n", 0xCA3, 0xCA2},
        ConfigCase{"defaults_on_several_lines", "CMD\nCA3\r\nDATA\tCA2", 0xCA3, 0xCA2},
        ConfigCase{"every_separator", "\v\fCMD\r\n\t CA3\f\vDATA \n\n CA2 \t", 0xCA3, 0xCA2},
        ConfigCase{"prefix_0x_stops_at_x", "CMD 0xCA3\n", 0, 0},
        ConfigCase{"lower_case_digits", "CMD ca3\n", 0xCA3, 0},
        ConfigCase{"five_digits_keep_four", "DATA 12345\n", 0, 0x1234},
        ConfigCase{"leading_zeros_count", "DATA 00CA2\n", 0, 0xCA},
        ConfigCase{"keywords_are_case_sensitive", "cmd CA3\n", 0, 0},
        ConfigCase{"only_data", "DATA CA2\n", 0, 0xCA2},
        ConfigCase{"last_cmd_wins", "CMD CA3 CMD CA5\n", 0xCA5, 0},
        ConfigCase{"data_before_cmd", "DATA 62 CMD 66", 0x66, 0x62},
        ConfigCase{"empty_file", "", 0, 0},
        ConfigCase{"only_whitespace", " \n\t\n", 0, 0},
        ConfigCase{"other_tokens_skipped", "# ports\nCMD CA3 ; data next\nDATA CA2 end\n", 0xCA3, 0xCA2},
        ConfigCase{"digits_from_star_to_question_mark", "CMD :;<= DATA *+?/\n", 0xABCD, 0xABFF},
        ConfigCase{"no_digits_gives_0", "CMD zz\n", 0, 0},
        ConfigCase{"number_reading_DATA_is_the_keyword", "CMD DATA 42\n", 0xDA, 0x42},
        // A keyword as the last token has no number: its port stays as it was.
        ConfigCase{"cmd_without_number_at_end", "DATA CA2 CMD", 0, 0xCA2},
        ConfigCase{"data_without_number_at_end", "CMD CA3\nDATA\n", 0xCA3, 0},
        ConfigCase{"keyword_last_keeps_earlier_value", "CMD CA5 CMD \n\n", 0xCA5, 0},
        // A token longer than 19 characters is cut, not split into two.
        ConfigCase{"long_token_is_one_token", "xxxxxxxxxxxxxxxxxxxxCMD CA3 DATA CA2\n", 0, 0xCA2},
        ConfigCase{"long_number_token", "CMD CA3456789012345678901234567890 DATA CA2\n", 0xCA34, 0xCA2},
        ConfigCase{"long_token_ending_in_keyword", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAACMD 12\n", 0, 0}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return std::string(info.param.name); });

TEST(KcsConfigFile, MissingFileGivesTheStandardPorts) {
    test::MemFs fs;
    KcsPortSet ports;
    readKcsPortSet(fs, &ports);
    EXPECT_EQ(ports.command, 0xCA3);
    EXPECT_EQ(ports.status, 0xCA3);
    EXPECT_EQ(ports.data, 0xCA2);
}

TEST(KcsConfigFile, UnreadableFileGivesTheStandardPorts) {
    test::MemFs fs;
    fs.files["kcs.cfg"] = "CMD 42 DATA 43\n";
    fs.failOpen.insert("kcs.cfg");
    KcsPortSet ports;
    readKcsPortSet(fs, &ports);
    EXPECT_EQ(ports.command, 0xCA3);
    EXPECT_EQ(ports.data, 0xCA2);
}

TEST(KcsConfigFile, OpensByItsRelativeNameForReading) {
    struct Spy final : FileSystem {
        File* open(const char* name, const char* mode) override {
            seenName = name;
            seenMode = mode;
            return nullptr;
        }
        std::string seenName, seenMode;
    } spy;
    KcsPortSet ports;
    readKcsPortSet(spy, &ports);
    EXPECT_EQ(spy.seenName, "kcs.cfg");
    EXPECT_EQ(spy.seenMode, "r");
}

TEST(KcsConfigFile, ReadErrorEndsTheReadingInsteadOfLooping) {
    test::MemFs fs;
    fs.files["kcs.cfg"] = "CMD 42 DATA 43\n";
    fs.failReadAfter.insert("kcs.cfg");
    fs.readErrorAt = 7;  // fails after "CMD 42 "
    KcsPortSet ports;
    readKcsPortSet(fs, &ports);
    EXPECT_EQ(ports.command, 0x42);
    EXPECT_EQ(ports.data, 0);
    EXPECT_EQ(fs.openNow, 0);
}

struct NumberCase {
    const char* token;
    int64_t value;
};

class KcsPortNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(KcsPortNumber, Parses) { EXPECT_EQ(parseKcsPortNumber(GetParam().token), GetParam().value); }

INSTANTIATE_TEST_SUITE_P(Tokens, KcsPortNumber,
                         ::testing::Values(NumberCase{"", 0}, NumberCase{"0", 0}, NumberCase{"CA3", 0xCA3},
                                           NumberCase{"ca3", 0xCA3}, NumberCase{"FfFf", 0xFFFF},
                                           NumberCase{"FFFFF", 0xFFFF}, NumberCase{"12345", 0x1234},
                                           NumberCase{"0xCA3", 0}, NumberCase{"CA3h", 0xCA3},
                                           NumberCase{"g12", 0}, NumberCase{"1G2", 1}, NumberCase{")", 0},
                                           NumberCase{"*", 0xA}, NumberCase{"?", 0xF}, NumberCase{"@", 0},
                                           NumberCase{"/", 0xF}, NumberCase{"-1", 0xD1}));

}  // namespace
}  // namespace korvex
