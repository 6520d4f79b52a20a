// The signature and footer reader on single blocks, as the validation scan
// hands them over.
#include <gtest/gtest.h>

#include "firmware/package.h"
#include "firmware/package_builder.h"
#include "support/capture.h"

namespace korvex {
void PrintTo(const Part& p, std::ostream* os) {
    *os << std::hex << "{0x" << p.startOffset << ", 0x" << p.areaLength << ", 0x" << p.length << "}";
}
}  // namespace korvex

namespace korvex::test {
namespace {

constexpr size_t kBlock = 0x8000;
const char kFormatError[] = "find_respective_image_info() : image format err!!\n";

struct Reader {
    CaptureConsole console;
    PackageScanner scanner{console};
    int read(const Bytes& block) { return scanner.find_respective_image_info(block.data(), block.size()); }
    std::vector<Part> parts() const {
        std::vector<Part> p;
        for (size_t i = 0; i < scanner.partCount(); ++i) p.push_back(scanner.part(i));
        return p;
    }
};


std::string uniqueNameLine(const std::string& name) {
    return "[find_respective_image_info:788] Unique File name=" + name + " len=" + std::to_string(name.size()) + "\n";
}

TEST(FooterReader, PlainFooterWithTwoEntries) {
    PackageBuilder b(kBlock);
    b.text(0, "[img]: 0 8000 0 a.bin\n[img]: 8000 300 0 b.bin\n[end]");
    Reader r;
    EXPECT_EQ(r.read(b.bytes), 1);
    EXPECT_EQ(r.parts(), (std::vector<Part>{{0, 0x10000, 0x8000}, {0x8000, 0x10000, 0x300}}));
    EXPECT_EQ(r.console.text, "");
}

TEST(FooterReader, AreaLengthIsRaisedToWhole64KiB) {
    struct Case {
        uint64_t length;
        uint64_t area;
    } cases[] = {{0x20000, 0x20000}, {0x20001, 0x30000}, {0, 0}, {1, 0x10000}, {0xFFFF, 0x10000}};
    for (const Case& c : cases) {
        PackageBuilder b(kBlock);
        b.text(0, entryLine(0x1000, c.length, "x") + "[end]");
        Reader r;
        ASSERT_EQ(r.read(b.bytes), 1);
        EXPECT_EQ(r.parts(), (std::vector<Part>{{0x1000, c.area, c.length}})) << std::hex << c.length;
    }
    EXPECT_EQ(areaLengthFor(UINT64_MAX), 0xFFFFFFFFFFFF0000u);  // saturates instead of wrapping to 0
}

TEST(FooterReader, WebfsPartGrowsByUniqueNameLengthPlus23) {
    struct Case {
        const char* signatureName;  // nullptr: no signature seen
        const char* partName;
        uint64_t length;
    } cases[] = {
        {"0123456789", "out_webfs_img.bin", 0x2000 + 10 + 23},
        {"0123456789", "out_webfs_img.bin.1", 0x2000 + 10 + 23},
        {nullptr, "out_webfs_img.bin", 0x2000 + 23},
        {"0123456789", "out_webfs_img.bi", 0x2000},
        {"0123456789", "OUT_webfs_img.bin", 0x2000},
    };
    for (const Case& c : cases) {
        PackageBuilder b(kBlock);
        if (c.signatureName != nullptr) b.signature(0x100, c.signatureName);
        b.text(0, entryLine(0, 0x2000, c.partName) + "[end]");
        Reader r;
        ASSERT_EQ(r.read(b.bytes), 1) << c.partName;
        EXPECT_EQ(r.parts(), (std::vector<Part>{{0, 0x10000, c.length}})) << c.partName;
    }
}

TEST(FooterReader, UniqueNameFromAnEarlierBlockCounts) {
    Reader r;
    PackageBuilder first(kBlock);
    first.signature(0x40, "abc");
    EXPECT_EQ(r.read(first.bytes), 0);
    PackageBuilder second(kBlock);
    second.text(0, entryLine(0, 0x100, "out_webfs_img.bin") + "[end]");
    EXPECT_EQ(r.read(second.bytes), 1);
    EXPECT_EQ(r.parts()[0].length, 0x100u + 3 + 23);
    EXPECT_EQ(r.console.text, uniqueNameLine("abc"));
}

TEST(FooterReader, EncipheredFooterGivesTheSamePartsAsPlain) {
    const std::string footer = entryLine(0, 0x8000, "a.bin") + entryLine(0x8000, 0x300, "b.bin") + "[end]";
    PackageBuilder plain(kBlock), enciphered(kBlock);
    plain.text(0, footer);
    enciphered.put(0, encipheredFooter(footer));
    Reader p, e;
    EXPECT_EQ(p.read(plain.bytes), 1);
    EXPECT_EQ(e.read(enciphered.bytes), 1);
    EXPECT_EQ(e.parts(), p.parts());
    EXPECT_EQ(e.parts().size(), 2u);
}

TEST(FooterReader, EncipheredFooterNeedsA192ByteBlock) {
    const Bytes cipher = encipheredFooter(entryLine(0, 0x100, "a") + "[end]");
    Reader r;
    EXPECT_EQ(r.read(Bytes(cipher.begin(), cipher.begin() + 191)), 0);
    EXPECT_EQ(r.read(cipher), 1);
}

TEST(FooterReader, MissingEndMarkSpoilsTheBlockButKeepsEarlierEntries) {
    PackageBuilder b(kBlock);
    b.text(0, entryLine(0, 0x100, "a") + entryLine(0x100, 0x100, "b"));
    Reader r;
    EXPECT_EQ(r.read(b.bytes), 0);
    EXPECT_EQ(r.console.text, kFormatError);
    EXPECT_EQ(r.parts(), (std::vector<Part>{{0, 0x10000, 0x100}}));
}

TEST(FooterReader, MarkersAfterTheEndMarkAreFurtherEntries) {
    PackageBuilder b(kBlock);
    b.text(0, entryLine(0, 0x100, "a") + "[end]\n" + entryLine(0x100, 0x200, "b") + "[end]");
    Reader r;
    EXPECT_EQ(r.read(b.bytes), 1);
    EXPECT_EQ(r.parts().size(), 2u);
}

TEST(FooterReader, NulAtBlockStartHidesAPlainFooter) {
    PackageBuilder b(kBlock);
    b.text(1, entryLine(0, 0x100, "a") + "[end]");
    b.bytes[0] = 0;
    Reader r;
    EXPECT_EQ(r.read(b.bytes), 0);  // deciphered instead, and nothing found
    EXPECT_TRUE(r.parts().empty());
}

TEST(FooterReader, OnlyTheExactMarkerStartsAnEntry) {
    for (const char* marker : {"[img]:", "[img]:\t", "[img]:\n", "[IMG]: ", "[Img]: "}) {
        PackageBuilder b(kBlock);
        b.text(0, std::string(marker) + "0 100 0 a\n[end]");
        Reader r;
        EXPECT_EQ(r.read(b.bytes), 0) << marker;
        EXPECT_TRUE(r.parts().empty()) << marker;
    }
}

TEST(FooterReader, EntryWithFewerThanFourFieldsIsAFormatError) {
    for (const char* entry : {"[img]: 0 100 0 \n[end]", "[img]: 0 100\n[end]", "[img]: zz\n[end]", "[img]: [end]"}) {
        PackageBuilder b(kBlock);
        b.text(0, entryLine(0x10000, 0x10, "good") + entry);
        Reader r;
        EXPECT_EQ(r.read(b.bytes), 0) << entry;
        EXPECT_EQ(r.console.text, kFormatError) << entry;
        EXPECT_EQ(r.parts().size(), 1u) << entry;  // the good entry before it stays
    }
}

TEST(FooterReader, TooManyEntriesNeverWriteBeyondTheTable) {
    std::string footer;
    for (int i = 0; i < 10; ++i) footer += entryLine(0x10000 * i, 0x100, "p" + std::to_string(i));
    PackageBuilder b(kBlock);
    b.text(0, footer + "[end]");
    Reader r;
    EXPECT_EQ(r.read(b.bytes), 0);
    EXPECT_TRUE(r.scanner.overfull());
    EXPECT_EQ(r.scanner.partCount(), kMaxParts);
    EXPECT_EQ(r.scanner.part(7).startOffset, 0x70000u);
}

TEST(FooterReader, SignatureOnlyAt16ByteSteps) {
    struct Case {
        size_t offset;
        bool seen;
    } cases[] = {{0, true}, {16, true}, {8, false}, {0x7FE0, true}, {0x7FF8, false}};
    for (const Case& c : cases) {
        PackageBuilder b(kBlock);
        b.signature(c.offset, "n1");
        b.bytes.resize(kBlock);
        Reader r;
        r.read(b.bytes);
        // Near the block's end the name lies beyond it and reads as empty.
        const std::string expected = !c.seen ? "" : uniqueNameLine(c.offset + 32 < kBlock ? "n1" : "");
        EXPECT_EQ(r.console.text, expected) << c.offset;
    }
}

TEST(FooterReader, FirstOfTwoSignaturesAndNameCutAt90) {
    PackageBuilder b(kBlock);
    const std::string longName(100, 'q');
    b.signature(0x200, longName);
    b.signature(0x400, "second");
    Reader r;
    r.read(b.bytes);
    EXPECT_EQ(r.console.text, uniqueNameLine(std::string(90, 'q')));
    EXPECT_EQ(r.scanner.uniqueNameLength(), 90u);
}

TEST(FooterReader, LongStretchSeeksSignatureInFirst32KiBOnlyButFooterEverywhere) {
    PackageBuilder b(4 * kBlock);
    b.signature(kBlock + 0x100, "late");
    b.text(0, "x");  // no NUL at the start: the stretch reads as one text
    b.bytes[1] = 'y';
    b.text(3 * kBlock, entryLine(0, 0x100, "a") + "[end]");
    for (size_t i = 0; i < 3 * kBlock; ++i)
        if (b.bytes[i] == 0) b.bytes[i] = ' ';
    Reader r;
    EXPECT_EQ(r.read(b.bytes), 1);
    EXPECT_EQ(r.console.text, "");
}

TEST(FooterEntryScan, ReadsFieldsAsPercentLxLxLxS) {
    struct Case {
        const char* text;
        int fields;
        uint64_t start, length, third;
        const char* name;
    } cases[] = {
        {"0 8000 0 a.bin", 4, 0, 0x8000, 0, "a.bin"},
        {"  0x10\n\t0X20 3 name\n", 4, 0x10, 0x20, 3, "name"},
        {"ffffffffffffffffff 1 2 n", 4, UINT64_MAX, 1, 2, "n"},  // too large saturates, as strtoul
        {"-1 +2 0 n", 4, UINT64_MAX, 2, 0, "n"},
        {"0xg 1 2 n", 1, 0, 0, 0, ""},  // "0" read, then "xg" is no number
        {"10 20 30", 3, 0x10, 0x20, 0x30, ""},
        {"", 0, 0, 0, 0, ""},
    };
    for (const Case& c : cases) {
        FooterEntry e;
        EXPECT_EQ(scanFooterEntry(c.text, strlen(c.text), &e), c.fields) << c.text;
        EXPECT_EQ(e.startOffset, c.start) << c.text;
        EXPECT_EQ(e.length, c.length) << c.text;
        EXPECT_EQ(e.third, c.third) << c.text;
        EXPECT_STREQ(e.name, c.name) << c.text;
    }
}

TEST(FooterEntryScan, NameIsCutAt127AndTheTextLengthIsHonoured) {
    const std::string text = "1 2 3 " + std::string(300, 'n') + "TAIL";
    FooterEntry e;
    EXPECT_EQ(scanFooterEntry(text.data(), text.size() - 4, &e), 4);
    EXPECT_EQ(std::string(e.name), std::string(127, 'n'));
}

}  // namespace
}  // namespace korvex::test

namespace korvex::test {
namespace {

// The marker and signature searches skip ahead to candidates; a near miss
// just before a match, or a match at the last place it fits, must still count.
TEST(FooterReader, MarkersAndSignaturesAtTheEdgesOfTheirSearch) {
    struct Case {
        const char* name;
        std::string text;  // from the block's first byte
        int found;
        size_t parts;
        bool formatError;
    };
    const Case cases[] = {
        {"near misses before the marker", "[[im[img][img]:[img]: 0 10 0 a [end]", 1, 1, false},
        {"marker the last bytes of the text", std::string(kBlock - 8, ' ') + "[img]: ", 0, 0, true},
        {"marker cut by the end of the text", std::string(kBlock - 7, ' ') + "[img]:", 0, 0, false},
        {"footer at the end of the block", std::string(kBlock - 22, ' ') + "[img]: 0 10 0 a [end]", 1, 1, false},
    };
    for (const Case& c : cases) {
        Bytes block(kBlock, ' ');
        std::copy(c.text.begin(), c.text.end(), block.begin());
        if (c.text.size() < kBlock) block[c.text.size()] = 0;
        Reader r;
        EXPECT_EQ(r.read(block), c.found) << c.name;
        EXPECT_EQ(r.parts().size(), c.parts) << c.name;
        EXPECT_EQ(r.console.text.find(kFormatError) != std::string::npos, c.formatError) << c.name;
    }

    // A near miss ("ZYLOs_FX") at every place before the signature; the
    // last place leaves no room for the name.
    for (size_t at : {size_t{0}, size_t{0x30}, size_t{0x40}, kBlock - 16}) {
        Bytes block(kBlock, 0xFF);
        for (size_t s = 0; s < at; s += 16) std::copy_n("ZYLOs_FX", 8, block.begin() + static_cast<long>(s));
        std::copy_n("ZYLOs_FW", 8, block.begin() + static_cast<long>(at));
        if (at + 34 <= kBlock) block[at + 32] = 'n', block[at + 33] = 0;
        Reader r;
        r.read(block);
        EXPECT_EQ(r.console.text, uniqueNameLine(at + 34 <= kBlock ? "n" : "")) << at;
    }
}

}  // namespace
}  // namespace korvex::test
