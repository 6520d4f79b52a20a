// Korvex.efi turns the shell's UTF-16 arguments into 8-bit text and its
// 8-bit console text and file names back into UTF-16; started by the boot
// manager, it splits a boot entry's load options into arguments itself.
// (Its result file is read back by korvex-stage's tests.)
#include "platform/uefi/utf.h"

#include "uefi/boot_command_line.h"
#include "korvex-stage/stage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace korvex::uefi;

// Fed a byte at a time, as the console receives text from the formatter.
std::u16string toUtf16(const std::string& utf8) {
    Utf8Decoder decoder;
    std::u16string out;
    for (char c : utf8) {
        uint32_t points[2];
        const size_t n = decoder.feed(static_cast<uint8_t>(c), points);
        for (size_t k = 0; k < n; ++k) {
            uint16_t units[2];
            out.append(units, units + encodeUtf16(points[k], units));
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

// Malformed input becomes U+FFFD and never swallows the bytes after it.
TEST(Utf, RoundTripsAndReplacesMalformedInput) {
    const struct {
        std::string in;
        std::u16string out;
        bool decodes = true, encodes = false;  // in to out, out to in
    } cases[] = {
        {"FS0:\\Korvex.efi", u"FS0:\\Korvex.efi", true, true},
        {"caf\xC3\xA9.bin", u"caf\u00e9.bin", true, true},
        {"\xE2\x82\xAC 5", u"\u20ac 5", true, true},
        {"\xF0\x9F\x98\x80 smile", u"\U0001F600 smile", true, true},
        {"a\x80z", u"a\uFFFDz"},          // lone continuation byte
        {"a\xC3z", u"a\uFFFDz"},          // sequence cut by ASCII
        {"a\xE2\x82", u"a\uFFFD"},        // sequence cut by the end
        {"\xC0\xAF", u"\uFFFD\uFFFD"},    // overlong slash
        {"\xE0\x80\xAF", u"\uFFFD"},      // overlong three bytes
        {"\xE0\x82\xA9", u"\uFFFD"},      // overlong, of a character two bytes would take
        {"\xF0\x80\xA0\x80", u"\uFFFD"},  // overlong, of a character three bytes would take
        {"\xED\xA0\x80", u"\uFFFD"},      // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD"},  // beyond U+10FFFF
        {"\xFF!", u"\uFFFD!"},            // invalid lead byte
        {"x\xEF\xBF\xBDy\xEF\xBF\xBD", u"x\xD800y\xDC00", false, true},  // lone surrogates, the other way
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(!c.decodes || toUtf16(c.in) == c.out) << c.in;
        EXPECT_TRUE(!c.encodes || toUtf8(c.out) == c.in) << c.in;
    }
}

// What a run started from a boot entry gets: its arguments, program name
// first, after "reset " for --reset; "-" when the load options are no
// command line.
std::u16string bootRun(const std::string& bytes) {
    const size_t length = commandLineUnits(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    std::u16string line;
    for (size_t i = 0; i < length; ++i)
        line += static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) | static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
    std::vector<char16_t> words(length + 1);  // exactly what the splitter may fill
    const size_t count = length == 0 ? 0 : splitCommandLine(line.data(), length, words.data());
    const BootStart start = classifyCommandLine(words.data(), count);
    if (length == 0 || !start.isCommandLine) return u"-";
    std::u16string run = start.reset ? u"reset " : u"";
    forEachArgument(words.data(), count, start, [&run](const char16_t* word) {
        run += (word != nullptr ? std::u16string(word) : u"Korvex.efi") + u"|";
        return true;
    });
    return run;
}

std::string ucs2(const std::u16string& text, bool terminated = true) {
    std::string bytes;
    for (char16_t c : text) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return terminated ? bytes + std::string(2, '\0') : bytes;
}

TEST(BootCommandLine, SplitsAsTheShellAndFindsTheProgramName) {
    // clang-format off
    const struct {
        std::string loadOptions;
        std::u16string run;
    } cases[] = {
        {ucs2(u"Korvex.efi -f fw.bin -i kcs -r y"), u"Korvex.efi|-f|fw.bin|-i|kcs|-r|y|"},
        {ucs2(u"Korvex.efi -d d.bin", false), u"Korvex.efi|-d|d.bin|"},  // no terminating zero
        {ucs2(u"  \\EFI\\k\\KORVEX.EFI\t-d   d.bin  "), u"\\EFI\\k\\KORVEX.EFI|-d|d.bin|"},
        {ucs2(u"-c -d b.bin"), u"Korvex.efi|-c|-d|b.bin|"},  // the program's name left out
        {ucs2(u"Korvex.efi --reset -d d.bin"), u"reset Korvex.efi|-d|d.bin|"},
        {ucs2(u"--reset -d d.bin"), u"reset Korvex.efi|-d|d.bin|"},
        {ucs2(u"Korvex.efi -d d.bin --reset"), u"Korvex.efi|-d|d.bin|--reset|"},  // after the tool's arguments
        {ucs2(u"Korvex.efi -f \"my fw.bin\" x\"a b\"y \"\""), u"Korvex.efi|-f|my fw.bin|xa by||"},
        {ucs2(u"Korvex.efi a^\"b ^^ c^ d \"e^\"f\" g^"), u"Korvex.efi|a\"b|^|c d|e\"f|g^|"},
        {ucs2(u"Korvex.efi -f \"a b"), u"Korvex.efi|-f|a b|"},  // an open quote runs to the end
        {ucs2(u"Korvex.efi -f caf\u00e9.bin"), u"Korvex.efi|-f|caf\u00e9.bin|"},
        // Entries that other tools write, or none at all: nothing is run.
        {ucs2(u"grub.cfg -f fw.bin"), u"-"},
        {ucs2(u" \t "), u"-"},
        {"", u"-"},
        {ucs2(u"Korvex.efi -x") + "!", u"-"},  // odd length
        {"Korvex.efi -x", u"-"},               // 8-bit text
        {ucs2(u"Korvex.efi -d\nd.bin"), u"-"},
        {ucs2(u"Korvex.efi -d\u0085d.bin"), u"-"},  // a C1 control character
        {ucs2(u"Korvex.efi -x") + "ab", u"-"},     // data after the zero
        {"\x4e\xac\x08\x81\x11\x9f\x59\x4d\x85\x0e\xe2\x1a\x52\x2c\x59\xb2", u"-"},  // the firmware's GUID
    };
    // clang-format on
    for (const auto& c : cases) EXPECT_TRUE(bootRun(c.loadOptions) == c.run) << c.loadOptions;
    // korvex-stage writes the load options: whatever an argument holds, they split back into it.
    const std::vector<std::string> args = {"Korvex.efi", "-f",  "my fw.bin",   "a\"b",      "^", "",
                                           "tab\there",  "\"^", "caf\xC3\xA9", "x^\"y z\"", "-r"};
    std::u16string expected;
    for (const std::string& arg : args) expected += toUtf16(arg) + u"|";
    EXPECT_TRUE(bootRun(korvex::stage::loadOptions(args)) == expected);
}

}  // namespace
