// The UEFI console formats with its own routine; on the host the tool uses
// the C library's. Both must print every message byte for byte the same.
#include "platform/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using korvex::format::formatTo;

template <typename... Args>
void expectSame(const char* format, Args... args) {
    char ours[512], libc[512];
    EXPECT_LT(formatTo(ours, sizeof ours, format, args...), sizeof ours);
    std::snprintf(libc, sizeof libc, format, args...);
    EXPECT_STREQ(ours, libc) << format;
}

// Without the compiler's format check, for arguments it would refuse.
std::string unchecked(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    korvex::format::formatv(buffer, sizeof buffer, format, args);
    va_end(args);
    return std::string(buffer);
}

TEST(Format, FlagsWidthsAndPrecisions) {
    // clang-format off
    for (const char* f : {"%d", "%5d", "%-5d|", "%05d", "%+d", "% d", "%.3d", "%8.3d", "%-8.3d|", "%08.3d", "%.0d",
                          "%x", "%X", "%#x", "%#X", "%08x", "%#010x", "%o", "%#o", "%#.0o", "%u", "%12u", "%-12u|",
                          "%i", "%hhd", "%hd", "%hhu", "%hx"})
        for (int v : {0, 7, -7, 42, 255, 65535, 65536, -65536, INT_MAX, INT_MIN}) expectSame(f, v);
    for (const char* f : {"%ld", "%20ld", "%-20ld|", "%020ld", "%lu", "%lx", "%lX", "%16lx", "%016lx", "%lld", "%llx",
                          "%zu", "%zx", "%jd", "%td", "%+ld", "%.12ld"})
        for (long v : {0L, 1L, -1L, 1L << 32, -(1L << 40), LONG_MAX, LONG_MIN}) expectSame(f, v);
    for (const char* f : {"%s", "%10s", "%-10s|", "%.3s", "%10.3s", "%-10.3s|", "%.0s", "%.20s"})
        for (const char* s : {"", "a", "kcs", "update.bin", "a longer file name.bin"}) expectSame(f, s);
    // clang-format on
    for (const char* f : {"%c", "%3c", "%-3c|"}) expectSame(f, 'A');
    expectSame("%*d|%-*d|%.*s", 6, 42, 6, 42, 2, "abc");
    expectSame("%*d|%.*d|", -6, 42, -1, 42);
    expectSame("%p %p", static_cast<void*>(nullptr), reinterpret_cast<void*>(0x1234abcdUL));
    expectSame("100%% done %%%d", 5);
    expectSame("no conversions at all\r\n");
    EXPECT_EQ(unchecked("%s|%.3s|", static_cast<const char*>(nullptr), static_cast<const char*>(nullptr)), "(null)||");
    // A format that ends inside a conversion, or names one the formatter does not know, is copied out
    // rather than read past its end.
    EXPECT_EQ(unchecked("50%") + unchecked("50%-8") + unchecked("%q and %d", 3), "50%50%-8%q and 3");
}

// Output that does not fit is cut, always terminated, and the full length is
// still reported, as snprintf does.
TEST(Format, TruncatesLikeSnprintf) {
    const struct {
        size_t capacity;
        const char* expected;
    } cases[] = {{0, "untouched"}, {1, ""}, {2, "a"}, {6, "abc-1"}, {7, "abc-12"}, {64, "abc-12"}};
    for (const auto& c : cases) {
        char buffer[64] = "untouched";
        EXPECT_EQ(formatTo(buffer, c.capacity, "%s%d", "abc", -12), 6u) << c.capacity;
        EXPECT_STREQ(buffer, c.expected) << c.capacity;
    }
}

class Pieces final : public korvex::format::Sink {
public:
    void put(const char* text, size_t length) override {
        EXPECT_NE(length, 0u);
        whole.append(text, length);
    }
    std::string whole;
};

size_t toSink(korvex::format::Sink& sink, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const size_t n = korvex::format::formatv(sink, format, args);
    va_end(args);
    return n;
}

TEST(Format, SinkGetsEverythingAndLongPaddingInRuns) {
    Pieces sink;
    EXPECT_EQ(toSink(sink, "[%100d]", 5), 102u);
    EXPECT_EQ(sink.whole, "[" + std::string(99, ' ') + "5]");
}

// Every format literal printed anywhere in the tool uses only what the UEFI
// console's formatter knows.
TEST(Format, EveryFormatTheToolPrintsIsKnown) {
    const std::regex call(R"re(print\(\s*"((?:[^"\\]|\\.)*)")re");
    const std::regex known(R"(%[-0+ #]*[0-9*]*(?:\.[0-9*]+)?(hh|h|ll|l|z|j|t)?[diuxXocsp%])");
    size_t formats = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(KORVEX_TEST_DATA_DIR "/../src")) {
        if (entry.path().extension() != ".cpp") continue;
        std::stringstream text;
        text << std::ifstream(entry.path()).rdbuf();
        const std::string s = text.str();
        for (std::sregex_iterator it(s.begin(), s.end(), call), end; it != end; ++it, ++formats) {
            const std::string rest = std::regex_replace((*it)[1].str(), known, "");
            EXPECT_EQ(rest.find('%'), std::string::npos) << (*it)[1].str();
        }
    }
    EXPECT_GT(formats, 50u);
}

}  // namespace
