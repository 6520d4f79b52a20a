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

// Output that does not fit is cut, always terminated, and the full length is
// still reported, as snprintf does.
template <typename... Args>
void expectCut(size_t capacity, const char* format, Args... args) {
    char ours[512] = "untouched", libc[512] = "untouched";
    EXPECT_EQ(formatTo(ours, capacity, format, args...), size_t(std::snprintf(libc, capacity, format, args...)));
    EXPECT_STREQ(ours, libc) << format << " in " << capacity;
}

template <typename... Args>
void expectSame(const char* format, Args... args) {
    expectCut(512, format, args...);
}

// Through a sink that takes no empty pieces, without the compiler's format
// check, for arguments it would refuse.
std::string unchecked(const char* format, ...) {
    struct Pieces final : korvex::format::Sink {
        void put(const char* text, size_t length) override {
            EXPECT_NE(length, 0u);
            whole.append(text, length);
        }
        std::string whole;
    } sink;
    va_list args;
    va_start(args, format);
    const size_t n = korvex::format::formatv(sink, format, args);
    va_end(args);
    EXPECT_EQ(n, sink.whole.size());
    return sink.whole;
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
    // Long padding reaches the sink in runs.
    EXPECT_EQ(unchecked("[%100d]", 5), "[" + std::string(99, ' ') + "5]");
    for (size_t capacity : {0u, 1u, 2u, 6u, 7u}) expectCut(capacity, "%s%d", "abc", -12);
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
