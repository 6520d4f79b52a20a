// Korvex.efi turns the shell's UTF-16 arguments into 8-bit text and its
// 8-bit console text and file names back into UTF-16.
#include "platform/uefi/utf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace korvex::uefi;

std::u16string toUtf16(const std::string& utf8, size_t pieceSize) {
    Utf8Decoder decoder;
    std::u16string out;
    // Fed in pieces, as the console receives text from the formatter.
    for (size_t at = 0; at < utf8.size(); at += pieceSize) {
        for (size_t i = at; i < at + pieceSize && i < utf8.size(); ++i) {
            uint32_t points[2];
            const size_t n = decoder.feed(static_cast<uint8_t>(utf8[i]), points);
            for (size_t k = 0; k < n; ++k) {
                uint16_t units[2];
                const size_t m = encodeUtf16(points[k], units);
                out.append(units, units + m);
            }
        }
    }
    if (decoder.pending()) out += u'\uFFFD';
    return out;
}

std::string toUtf8(const std::u16string& text) {
    std::string out;
    const auto* p = reinterpret_cast<const uint16_t*>(text.c_str());
    while (*p != 0) {
        char bytes[4];
        out.append(bytes, encodeUtf8(nextUtf16(&p), bytes));
    }
    return out;
}

TEST(Utf, RoundTripsWhateverTheSplit) {
    const std::string samples[] = {"fw.bin", "FS0:\\Korvex.efi", "caf\xC3\xA9.bin", "\xE2\x82\xAC 5",
                                   "\xF0\x9F\x98\x80 smile"};
    const std::u16string wide[] = {u"fw.bin", u"FS0:\\Korvex.efi", u"caf\u00e9.bin", u"\u20ac 5", u"\U0001F600 smile"};
    for (size_t i = 0; i < std::size(samples); ++i) {
        for (size_t piece : {1u, 2u, 3u, 64u}) EXPECT_EQ(toUtf16(samples[i], piece), wide[i]) << samples[i];
        EXPECT_EQ(toUtf8(wide[i]), samples[i]);
    }
}

// Malformed input becomes U+FFFD and never swallows the bytes after it.
TEST(Utf, MalformedInputIsReplaced) {
    struct Case {
        const char* what;
        std::string in;
        std::u16string out;
    };
    const Case cases[] = {
        {"lone continuation byte", "a\x80z", u"a\uFFFDz"},
        {"sequence cut by ASCII", "a\xC3z", u"a\uFFFDz"},
        {"sequence cut by the end", "a\xE2\x82", u"a\uFFFD"},
        {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong three bytes", "\xE0\x80\xAF", u"\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD"},
        {"invalid lead byte", "\xFF!", u"\uFFFD!"},
    };
    for (const Case& c : cases) EXPECT_EQ(toUtf16(c.in, 1), c.out) << c.what;
    EXPECT_EQ(toUtf8(u"x\xD800y"), "x\xEF\xBF\xBDy");  // a lone high surrogate
    EXPECT_EQ(toUtf8(u"\xDC00"), "\xEF\xBF\xBD");      // a lone low surrogate
}

}  // namespace
