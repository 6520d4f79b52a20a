// The UEFI console formats with its own routine; on the host the tool uses
// the C library's. Both must print every message byte for byte the same.
#include "platform/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
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
std::string ours(const char* format, Args... args) {
    char buffer[512];
    const size_t n = formatTo(buffer, sizeof buffer, format, args...);
    EXPECT_LT(n, sizeof buffer) << format;
    return std::string(buffer);
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

template <typename... Args>
std::string libc(const char* format, Args... args) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return std::string(buffer);
}

#define EXPECT_SAME(...) EXPECT_EQ(ours(__VA_ARGS__), libc(__VA_ARGS__))

TEST(Format, FlagsWidthsAndPrecisions) {
    // clang-format off
    const char* intFormats[] = {"%d",   "%5d", "%-5d|", "%05d", "%+d",  "% d", "%.3d", "%8.3d", "%-8.3d|", "%08.3d",
                                "%.0d", "%x",  "%X",    "%#x",  "%#X",  "%08x", "%#010x", "%o", "%#o",     "%#.0o",
                                "%u",   "%12u", "%-12u|", "%i", "%hhd", "%hd", "%hhu", "%hx"};
    // clang-format on
    const int values[] = {0, 7, -7, 42, 255, 65535, 65536, -65536, INT_MAX, INT_MIN};
    for (const char* f : intFormats)
        for (int v : values) EXPECT_SAME(f, v);
    for (int c : {'A', ' ', '~'})
        for (const char* f : {"%c", "%3c", "%-3c|"}) EXPECT_SAME(f, c);
    const char* longFormats[] = {"%ld",  "%20ld", "%-20ld|", "%020ld", "%lu", "%lx", "%lX",  "%16lx", "%016lx",
                                 "%lld", "%llx",  "%zu",     "%zx",    "%jd", "%td", "%+ld", "%.12ld"};
    const long longValues[] = {0, 1, -1, 1L << 32, -(1L << 40), LONG_MAX, LONG_MIN};
    for (const char* f : longFormats)
        for (long v : longValues) EXPECT_SAME(f, v);
    const char* stringFormats[] = {"%s", "%10s", "%-10s|", "%.3s", "%10.3s", "%-10.3s|", "%.0s", "%.20s"};
    for (const char* f : stringFormats)
        for (const char* s : {"", "a", "kcs", "update.bin", "a longer file name.bin"}) EXPECT_SAME(f, s);
    EXPECT_SAME("%*d|%-*d|%.*s", 6, 42, 6, 42, 2, "abc");
    EXPECT_SAME("%*d|", -6, 42);
    EXPECT_SAME("%.*d|", -1, 42);
    EXPECT_SAME("%p", static_cast<void*>(nullptr));
    EXPECT_SAME("%p", reinterpret_cast<void*>(0x1234abcdUL));
    EXPECT_SAME("100%% done %%%d", 5);
    EXPECT_SAME("no conversions at all\r\n");
    EXPECT_EQ(unchecked("%s|%.3s|", static_cast<const char*>(nullptr), static_cast<const char*>(nullptr)), "(null)||");
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
        const size_t n = formatTo(buffer, c.capacity, "%s%d", "abc", -12);
        EXPECT_EQ(n, 6u) << c.capacity;
        EXPECT_STREQ(buffer, c.expected) << c.capacity;
    }
}

// A format that ends inside a conversion, or names one the formatter does not
// know, is copied out rather than read past its end.
TEST(Format, MalformedFormatsAreCopiedOut) {
    EXPECT_EQ(ours("50%"), "50%");
    EXPECT_EQ(ours("50%-8"), "50%-8");
    EXPECT_EQ(ours("%q and %d", 3), "%q and 3");
}

class Pieces final : public korvex::format::Sink {
public:
    void put(const char* text, size_t length) override {
        pieces.emplace_back(text, length);
        whole.append(text, length);
    }
    std::vector<std::string> pieces;
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
    const size_t n = toSink(sink, "[%100d]", 5);
    EXPECT_EQ(n, 102u);
    EXPECT_EQ(sink.whole, libc("[%100d]", 5));
    for (const std::string& p : sink.pieces) EXPECT_FALSE(p.empty());
}

// Every format literal printed anywhere in the tool, split into its
// conversions, each fed a value of the type its length modifier names.
std::string unescape(const std::string& literal) {
    std::string out;
    for (size_t i = 0; i < literal.size(); ++i) {
        if (literal[i] != '\\' || i + 1 == literal.size()) {
            out += literal[i];
            continue;
        }
        const char c = literal[++i];
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
    }
    return out;
}

std::vector<std::string> toolFormats() {
    const std::filesystem::path src = std::filesystem::path(KORVEX_TEST_DATA_DIR) / ".." / "src";
    const std::regex call(R"re(print\(\s*"((?:[^"\\]|\\.)*)")re");
    std::vector<std::string> formats;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(src)) {
        if (entry.path().extension() != ".cpp") continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        const std::string s = text.str();
        for (std::sregex_iterator it(s.begin(), s.end(), call), end; it != end; ++it)
            formats.push_back(unescape((*it)[1].str()));
    }
    return formats;
}

std::string formatPiece(bool useOurs, const std::string& piece, char conversion, const std::string& length, int n) {
    const char* f = piece.c_str();
    const long values[] = {0, 1, -1, 56, 1000, 123456789, LONG_MIN};
    const long v = values[n % 7];
    auto both = [&](auto value) { return useOurs ? ours(f, value) : libc(f, value); };
    switch (conversion) {
        case '%':
            return useOurs ? ours(f) : libc(f);
        case 's':
            return both("name.bin");
        case 'c':
            return both('x');
        case 'd':
        case 'i':
            return length == "l" || length == "ll" ? both(v) : both(static_cast<int>(v));
        case 'u':
        case 'x':
        case 'X':
            return length == "l" || length == "ll" ? both(static_cast<unsigned long>(v))
                                                   : both(static_cast<unsigned>(v));
        default:
            ADD_FAILURE() << "the tool prints a conversion the UEFI console does not know: " << piece;
            return {};
    }
}

TEST(Format, EveryFormatTheToolPrints) {
    const std::vector<std::string> formats = toolFormats();
    ASSERT_FALSE(formats.empty());
    const std::regex conversion(R"(%[-0+ #]*[0-9]*(?:\.[0-9]+)?(hh|h|ll|l|z|j|t)?([a-zA-Z%]))");
    for (const std::string& format : formats) {
        for (int n = 0; n < 7; ++n) {
            std::string expected, actual, rest = format;
            std::smatch m;
            while (std::regex_search(rest, m, conversion)) {
                const std::string piece = rest.substr(0, static_cast<size_t>(m.position(0) + m.length(0)));
                const char c = m[2].str()[0];
                expected += formatPiece(false, piece, c, m[1].str(), n);
                actual += formatPiece(true, piece, c, m[1].str(), n);
                rest = m.suffix().str();
            }
            expected += rest;
            actual += rest;
            EXPECT_EQ(actual, expected) << format;
        }
    }
}

}  // namespace
