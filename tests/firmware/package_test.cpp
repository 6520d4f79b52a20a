// The package reader: signatures and footers on single blocks, as the
// validation scan hands them over, and the scan over whole packages.
#include <gtest/gtest.h>

#include "firmware/package.h"
#include "firmware/package_builder.h"
#include "firmware/validation.h"
#include "support/capture.h"
#include "support/loopback.h"
#include "support/memfs.h"

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

// A block of spaces holding text from its first byte, NUL-ended where it fits.
Bytes block(const std::string& text) {
    Bytes b(kBlock, ' ');
    std::copy(text.begin(), text.end(), b.begin());
    if (text.size() < kBlock) b[text.size()] = 0;
    return b;
}

// The validation scan over a package held in memory.
struct ScanRig : Reader {
    bmc::SimBmc bmc;
    LoopbackTransport transport{bmc};
    sim::VirtualClock clock;
    sim::SimStall stall{clock};
    BmcLink link{transport, console, stall};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kBlock);

    Validation scan(const Bytes& package, uint8_t state = 2) {
        MemFs files;
        files.files["p"] = std::string(package.begin(), package.end());
        File* f = files.open("p", "rb");
        Validation v = runValidationScan(link, *f, package.size(), state, buffer.data(), scanner);
        f->close();
        return v;
    }
};

std::string uniqueNameLine(const std::string& name) {
    return "[find_respective_image_info:788] Unique File name=" + name + " len=" + std::to_string(name.size()) + "\n";
}

TEST(FooterReader, PlainFooters) {
    const std::string a = entryLine(0, 0x100, "a"), b = entryLine(0x100, 0x200, "b");
    const std::string good = entryLine(0x10000, 0x10, "good");
    struct Case {
        const char* name;
        std::string text;
        int found;
        std::vector<Part> parts;
        bool formatError;
    } cases[] = {
        {"two entries",
         "[img]: 0 8000 0 a.bin\n[img]: 8000 300 0 b.bin\n[end]",
         1,
         {{0, 0x10000, 0x8000}, {0x8000, 0x10000, 0x300}},
         false},
        {"missing end spoils the block, keeps earlier entries", a + b, 0, {{0, 0x10000, 0x100}}, true},
        {"markers after the end are further entries",
         a + "[end]\n" + b + "[end]",
         1,
         {{0, 0x10000, 0x100}, {0x100, 0x10000, 0x200}},
         false},
        {"NUL at the block start hides it", std::string(1, '\0') + a + "[end]", 0, {}, false},
        {"marker without its space", "[img]:0 100 0 a\n[end]", 0, {}, false},
        {"marker with a tab", "[img]:\t0 100 0 a\n[end]", 0, {}, false},
        {"marker in capitals", "[IMG]: 0 100 0 a\n[end]", 0, {}, false},
        {"entry without a name", good + "[img]: 0 100 0 \n[end]", 0, {{0x10000, 0x10000, 0x10}}, true},
        {"entry of two fields", good + "[img]: 0 100\n[end]", 0, {{0x10000, 0x10000, 0x10}}, true},
        {"entry of no field", good + "[img]: [end]", 0, {{0x10000, 0x10000, 0x10}}, true},
        // The searches skip ahead to candidates: a near miss just before a
        // match, or a match at the last place it fits, must still count.
        {"near misses before the marker", "[[im[img][img]:[img]: 0 10 0 a [end]", 1, {{0, 0x10000, 0x10}}, false},
        {"marker the last bytes of the text", std::string(kBlock - 8, ' ') + "[img]: ", 0, {}, true},
        {"marker cut by the end of the text", std::string(kBlock - 7, ' ') + "[img]:", 0, {}, false},
        {"footer at the end of the block",
         std::string(kBlock - 22, ' ') + "[img]: 0 10 0 a [end]",
         1,
         {{0, 0x10000, 0x10}},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reader r;
        EXPECT_EQ(r.read(block(c.text)), c.found);
        EXPECT_EQ(r.parts(), c.parts);
        EXPECT_EQ(r.console.text, c.formatError ? kFormatError : "");
    }
}

TEST(FooterReader, LengthsAndAreas) {
    struct Case {
        const char* signature;  // nullptr: no signature seen
        const char* part;
        uint64_t length, area, sent;
    } cases[] = {
        {nullptr, "x", 0x20000, 0x20000, 0x20000},
        {nullptr, "x", 0x20001, 0x30000, 0x20001},
        {nullptr, "x", 0, 0, 0},
        {nullptr, "x", 1, 0x10000, 1},
        {nullptr, "x", 0xFFFF, 0x10000, 0xFFFF},
        {"0123456789", "out_webfs_img.bin", 0x2000, 0x10000, 0x2000 + 10 + 23},
        {"0123456789", "out_webfs_img.bin.1", 0x2000, 0x10000, 0x2000 + 10 + 23},
        {nullptr, "out_webfs_img.bin", 0x2000, 0x10000, 0x2000 + 23},
        {"0123456789", "out_webfs_img.bi", 0x2000, 0x10000, 0x2000},
        {"0123456789", "OUT_webfs_img.bin", 0x2000, 0x10000, 0x2000},
        {nullptr, "out_webfs_img.bin", 0xFFF0, 0x20000, 0x10007},                        // the area counts the 23 bytes
        {nullptr, "out_webfs_img.bin", UINT64_MAX - 5, 0xFFFFFFFFFFFF0000, UINT64_MAX},  // saturates, never wraps
    };
    for (const Case& c : cases) {
        PackageBuilder b(kBlock);
        if (c.signature != nullptr) b.signature(0x100, c.signature);
        b.text(0, entryLine(0x1000, c.length, c.part) + "[end]");
        Reader r;
        ASSERT_EQ(r.read(b.bytes), 1) << c.part << " " << c.length;
        EXPECT_EQ(r.parts(), (std::vector<Part>{{0x1000, c.area, c.sent}})) << c.part << " " << std::hex << c.length;
    }
}

TEST(FooterReader, EncipheredFooterNeedsA192ByteBlock) {
    const Bytes cipher = encipheredFooter(entryLine(0, 0x8000, "a.bin") + entryLine(0x8000, 0x300, "b.bin") + "[end]");
    Reader whole, cut;
    EXPECT_EQ(whole.read(cipher), 1);
    EXPECT_EQ(whole.parts(), (std::vector<Part>{{0, 0x10000, 0x8000}, {0x8000, 0x10000, 0x300}}));
    EXPECT_EQ(cut.read(Bytes(cipher.begin(), cipher.begin() + 191)), 0);
}

TEST(FooterReader, TooManyEntriesNeverWriteBeyondTheTable) {
    std::string footer;
    for (int i = 0; i < 10; ++i) footer += entryLine(0x10000 * i, 0x100, "p" + std::to_string(i));
    Reader r;
    EXPECT_EQ(r.read(block(footer + "[end]")), 0);
    EXPECT_TRUE(r.scanner.overfull());
    EXPECT_EQ(r.scanner.partCount(), kMaxParts);
    EXPECT_EQ(r.scanner.part(7).startOffset, 0x70000u);
}

TEST(FooterReader, SignatureAt16ByteStepsWithinTheBlock) {
    struct Case {
        size_t at;
        bool nearMisses;   // "ZYLOs_FX" at every step before it
        const char* seen;  // the name shown, or nullptr
    } cases[] = {
        {0, false, "n1"},   {16, false, "n1"},   {8, false, nullptr}, {0x7FF8, false, nullptr},
        {0x40, true, "n1"}, {0x7FE0, false, ""}, {0x7FF0, true, ""},  // the name would lie beyond the block
    };
    for (const Case& c : cases) {
        PackageBuilder b(kBlock);
        for (size_t s = 0; c.nearMisses && s < c.at; s += 16) b.text(s, "ZYLOs_FX", false);
        b.signature(c.at, "n1");
        b.bytes.resize(kBlock);
        Reader r;
        r.read(b.bytes);
        EXPECT_EQ(r.console.text, c.seen != nullptr ? uniqueNameLine(c.seen) : "") << c.at;
    }
}

TEST(FooterReader, FirstOfTwoSignaturesAndNameCutAt90) {
    PackageBuilder b(kBlock);
    b.signature(0x200, std::string(100, 'q')).signature(0x400, "second");
    Reader r;
    r.read(b.bytes);
    EXPECT_EQ(r.console.text, uniqueNameLine(std::string(90, 'q')));
    EXPECT_EQ(r.scanner.uniqueNameLength(), 90u);
}

// The USB path hands over the whole package: the signature is sought in its
// first 32 KiB only, a footer anywhere in the text.
TEST(FooterReader, LongStretchSeeksSignatureInFirst32KiBOnlyButFooterEverywhere) {
    Bytes stretch(4 * kBlock, ' ');
    std::copy_n("ZYLOs_FW", 8, stretch.begin() + kBlock + 0x100);
    const std::string footer = entryLine(0, 0x100, "a") + "[end]";
    std::copy(footer.begin(), footer.end(), stretch.begin() + 3 * kBlock);
    Reader r;
    EXPECT_EQ(r.read(stretch), 1);
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
    };
    for (const Case& c : cases) {
        FooterEntry e;
        EXPECT_EQ(scanFooterEntry(c.text, strlen(c.text), &e), c.fields) << c.text;
        EXPECT_EQ(e.startOffset, c.start) << c.text;
        EXPECT_EQ(e.length, c.length) << c.text;
        EXPECT_EQ(e.third, c.third) << c.text;
        EXPECT_STREQ(e.name, c.name) << c.text;
    }
    const std::string text = "1 2 3 " + std::string(300, 'n') + "TAIL";  // the name is cut at 127
    FooterEntry e;
    EXPECT_EQ(scanFooterEntry(text.data(), text.size() - 4, &e), 4);
    EXPECT_EQ(std::string(e.name), std::string(127, 'n'));
}

TEST(ValidationScan, EachAcceptedFooterIsFollowedByItsOwnAreaAndEightPartsFit) {
    PackageBuilder two(0x40000);
    two.text(0x8000, entryLine(0, 0x100, "a") + "[end]");
    two.put(0x18000, encipheredFooter(entryLine(0x1000, 0x100, "b") + "[end]"));
    ScanRig rig;
    ASSERT_EQ(rig.scan(two.bytes), Validation::Accepted);
    EXPECT_EQ(
        rig.parts(),
        (std::vector<Part>{
            {0, 0x10000, 0x100}, {0x8000, 0x40000, 0x40000}, {0x1000, 0x10000, 0x100}, {0x18000, 0x40000, 0x40000}}));
    EXPECT_EQ(rig.console.text, "Check if this file is valid................\n");
    EXPECT_EQ(rig.bmc.exchanges(), 0u);

    PackageBuilder eight(0x100000);
    for (int i = 0; i < 7; ++i) eight.part("p" + std::to_string(i), 0x10000 * (i + 1), patternBytes(0x10, i));
    ScanRig full;
    ASSERT_EQ(full.scan(eight.plainFooter(0x8000).bytes), Validation::Accepted);
    EXPECT_EQ(full.scanner.partCount(), 8);
}

// Any state but 2 refuses the package (the fault matrix shows states 0, 1
// and 3); the wording tells whether a footer marker stands anywhere in it,
// across blocks and behind NULs too.
TEST(ValidationScan, OtherUpdateStatesRefuseEveryPackage) {
    struct Row {
        const char* name;
        uint8_t state;
        std::function<void(PackageBuilder&)> build;
        bool markerMet;
    } rows[] = {
        {"marker across two blocks", 3, [](PackageBuilder& b) { b.text(0x7FFD, "[img]: 0 1 0 a [end]"); }, true},
        {"marker behind a NUL", 0x12,
         [](PackageBuilder& b) {
             b.text(0x10010, "[img]: ");
             b.bytes[0x10000] = 0;
         },
         true},
        {"marker in the short last block", 0, [](PackageBuilder& b) { b.text(0x3FFF0, "[img]: ", false); }, true},
        {"enciphered footer only", 0,
         [](PackageBuilder& b) { b.put(0x8000, encipheredFooter(entryLine(0, 1, "a") + "[end]")); }, false},
        {"cut marker", 0, [](PackageBuilder& b) { b.text(0x7FF9, "[img]:", false); }, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PackageBuilder b(0x3FFF7);
        row.build(b);
        ScanRig rig;
        EXPECT_EQ(rig.scan(b.bytes, row.state), Validation::Refused);
        EXPECT_EQ(rig.console.text, std::string(row.markerMet ? "The image format error!!\n" : "") +
                                        "Please select the correct image file and try again.\n"
                                        "Execute Cold Reset Success\n");
        EXPECT_EQ(rig.bmc.coldResets(), 1u);
        EXPECT_EQ(rig.scanner.partCount(), 0);
    }
}

TEST(ValidationScan, PartRangeAllowsAFooterAreaFromTheLastBlock) {
    // A 32 MiB package whose footer stands in its very last block: its
    // footer area reaches 0x38000 bytes past the end and is still sent.
    EXPECT_TRUE(partInRange(Part{0x1FF8000, 0x40000, 0x40000}, 0x2000000));
    EXPECT_TRUE(partInRange(Part{0x8000, 0x40000, 0x40000}, 0x9000));
    EXPECT_FALSE(partInRange(Part{0x2040000, 0x10000, 1}, 0x2000000));
    EXPECT_FALSE(partInRange(Part{0, 0x100000000ull, 1}, 0x2000000));
}

}  // namespace
}  // namespace korvex::test
