// The package reader: signatures and footers on single blocks, as the
// validation scan hands them over, and the scan over whole packages.
#include <gtest/gtest.h>

#include "firmware/package.h"
#include "firmware/package_builder.h"
#include "firmware/validation.h"
#include "support/fault_rig.h"
#include "support/memfs.h"

namespace korvex::test {
namespace {

constexpr size_t kBlock = 0x8000;

// The part table as "start+length/area" in hex, and the overflow.
std::string partsOf(const PackageScanner& scanner) {
    std::string s;
    char part[80];
    for (size_t i = 0; i < scanner.partCount(); ++i) {
        const Part& p = scanner.part(i);
        std::snprintf(part, sizeof part, " %llx+%llx/%llx", static_cast<unsigned long long>(p.startOffset),
                      static_cast<unsigned long long>(p.length), static_cast<unsigned long long>(p.areaLength));
        s += part;
    }
    return s + (scanner.overfull() ? " overfull" : "");
}

// A block of spaces holding text from its first byte, NUL-ended where it fits.
Bytes block(const std::string& text) {
    Bytes b(kBlock, ' ');
    std::copy(text.begin(), text.end(), b.begin());
    if (text.size() < kBlock) b[text.size()] = 0;
    return b;
}

Bytes signatureAt(size_t at, const std::string& name, bool nearMisses = false) {
    PackageBuilder b(kBlock);
    for (size_t s = 0; nearMisses && s < at; s += 16) b.text(s, "ZYLOs_FX", false);
    b.signature(at, name);
    b.bytes.resize(kBlock);
    return b.bytes;
}

// A footer of one entry at 0x1000 after a signature of ten characters, or none.
Bytes sized(uint64_t length, const std::string& name, bool signature = false) {
    PackageBuilder b(kBlock);
    if (signature) b.signature(0x100, "0123456789");
    return b.text(0, entryLine(0x1000, length, name) + "[end]").bytes;
}

TEST(FooterReader, ResultPartsAndText) {
    const std::string a = entryLine(0, 0x100, "a"), b = entryLine(0x100, 0x200, "b");
    const std::string good = entryLine(0x10000, 0x10, "good");
    const std::string bad = "\nfind_respective_image_info() : image format err!!\n";
    const auto named = [](const std::string& name) {
        return "\n[find_respective_image_info:788] Unique File name=" + name + " len=" + std::to_string(name.size()) +
               "\n";
    };
    const Bytes cipher = encipheredFooter(entryLine(0, 0x8000, "a.bin") + entryLine(0x8000, 0x300, "b.bin") + "[end]");
    std::string ten, tenParts;
    for (int i = 0; i < 10; ++i) ten += entryLine(0x10000 * i, 0x100, "p" + std::to_string(i));
    for (int i = 0; i < 8; ++i) tenParts += " " + std::string(i == 0 ? "0" : std::to_string(i) + "0000") + "+100/10000";
    Bytes stretch(4 * kBlock, ' ');  // as the USB path hands it over: a signature only in the first 32 KiB
    std::copy_n("ZYLOs_FW", 8, stretch.begin() + kBlock + 0x100);
    const std::string footer = a + "[end]";
    std::copy(footer.begin(), footer.end(), stretch.begin() + 3 * kBlock);
    PackageBuilder twoSignatures(kBlock);
    twoSignatures.signature(0x200, std::string(100, 'q')).signature(0x400, "second");
    const std::string web = "out_webfs_img.bin";
    const struct {
        Bytes input;
        std::string outcome;
    } rows[] = {
        // clang-format off
        {block("[img]: 0 8000 0 a.bin\n[img]: 8000 300 0 b.bin\n[end]"), "1 0+8000/10000 8000+300/10000"},
        {block(a + b), "0 0+100/10000" + bad},  // no end: the earlier entries stay
        {block(a + "[end]\n" + b + "[end]"), "1 0+100/10000 100+200/10000"},
        {block(std::string(1, '\0') + a + "[end]"), "0"},
        {block("[img]:0 100 0 a\n[end]"), "0"},
        {block(good + "[img]: 0 100 0 \n[end]"), "0 10000+10/10000" + bad},
        // The searches skip ahead to candidates: a near miss just before a
        // match, or a match at the last place it fits, must still count.
        {block("[[im[img][img]:[img]: 0 10 0 a [end]"), "1 0+10/10000"},
        {block(std::string(kBlock - 8, ' ') + "[img]: "), "0" + bad},
        {block(std::string(kBlock - 7, ' ') + "[img]:"), "0"},
        {block(std::string(kBlock - 22, ' ') + "[img]: 0 10 0 a [end]"), "1 0+10/10000"},
        {sized(0x20000, "x"), "1 1000+20000/20000"},
        {sized(0x20001, "x"), "1 1000+20001/30000"},
        {sized(0, "x"), "1 1000+0/0"},
        {sized(0x2000, web, true), "1 1000+2021/10000" + named("0123456789")},
        {sized(0x2000, web + ".1", true), "1 1000+2021/10000" + named("0123456789")},
        {sized(0x2000, web), "1 1000+2017/10000"},
        {sized(0x2000, "out_webfs_img.bi", true), "1 1000+2000/10000" + named("0123456789")},
        {sized(0xFFF0, web), "1 1000+10007/20000"},
        {sized(UINT64_MAX - 5, web), "1 1000+ffffffffffffffff/ffffffffffff0000"},  // saturates, never wraps
        {cipher, "1 0+8000/10000 8000+300/10000"},
        {Bytes(cipher.begin(), cipher.begin() + 191), "0"},
        {block(ten + "[end]"), "0" + tenParts + " overfull"},
        {signatureAt(0, "n1"), "0" + named("n1")},
        {signatureAt(16, "n1"), "0" + named("n1")},
        {signatureAt(8, "n1"), "0"},
        {signatureAt(0x40, "n1", true), "0" + named("n1")},
        {signatureAt(0x7FE0, "n1"), "0" + named("")},  // the name would lie beyond the block
        {signatureAt(0x7FF0, "n1", true), "0" + named("")},
        {twoSignatures.bytes, "0" + named(std::string(90, 'q'))},
        {stretch, "1 0+100/10000"},
        // clang-format on
    };
    for (const auto& row : rows) {
        CaptureConsole console;
        PackageScanner scanner{console};
        const int found = scanner.find_respective_image_info(row.input.data(), row.input.size());
        EXPECT_EQ(std::to_string(found) + partsOf(scanner) + (console.text.empty() ? "" : "\n" + console.text),
                  row.outcome);
    }
}

TEST(FooterEntryScan, ReadsFieldsAsPercentLxLxLxS) {
    const std::string longName = "1 2 3 " + std::string(300, 'n') + "TAIL";  // the name is cut at 127
    const struct {
        std::string text, outcome;
    } rows[] = {
        // clang-format off
        {"0 8000 0 a.bin", "4 0 8000 0 a.bin"},
        {"  0x19\n\t0X2F 3 name\n", "4 19 2f 3 name"},
        {"10000000000000000 1 2 n", "4 ffffffffffffffff 1 2 n"},  // too large saturates, as strtoul
        {"-1 +2 0 n", "4 ffffffffffffffff 2 0 n"},
        {"0xg 1 2 n", "1 0 0 0 "},  // "0" read, then "xg" is no number
        {"10 20", "2 10 20 0 "},
        {"10 20 30", "3 10 20 30 "},
        {longName.substr(0, longName.size() - 4), "4 1 2 3 " + std::string(127, 'n')},
        // clang-format on
    };
    for (const auto& row : rows) {
        FooterEntry e;
        const int fields = scanFooterEntry(row.text.data(), row.text.size(), &e);
        char got[400];
        std::snprintf(got, sizeof got, "%d %llx %llx %llx %s", fields, static_cast<unsigned long long>(e.startOffset),
                      static_cast<unsigned long long>(e.length), static_cast<unsigned long long>(e.third), e.name);
        EXPECT_EQ(got, row.outcome) << row.text;
    }
}

// The scan over a package in memory, for an update state: its verdict, part
// table, text, and the cold resets it sent (a refusal resets the BMC).
TEST(ValidationScan, VerdictPartsTextAndResets) {
    const std::string refused = "Please select the correct image file and try again.\nExecute Cold Reset Success\n";
    const std::string badFormat = "The image format error!!\n" + refused;
    const std::string checking = "Check if this file is valid................\n";
    const Bytes cipher = encipheredFooter(entryLine(0x1000, 0x100, "b") + "[end]");
    std::string seven;
    for (int i = 0; i < 7; ++i) seven += entryLine(0x10000 * (i + 1), 0x10, "p" + std::to_string(i));
    const struct {
        uint8_t state;
        std::vector<std::pair<uint64_t, std::string>> texts;  // placed in a package of 0x3FFF7 bytes of 0xFF
        std::string outcome;
    } rows[] = {
        // clang-format off
        {2, {{0x8000, entryLine(0, 0x100, "a") + "[end]"}, {0x18000, std::string(cipher.begin(), cipher.end())}},
         "accepted 0+100/10000 8000+40000/40000 1000+100/10000 18000+40000/40000 0\n" + checking},
        {2, {{0x8000, seven + "[end]"}}, "accepted 10000+10/10000 20000+10/10000 30000+10/10000 40000+10/10000 "
                                        "50000+10/10000 60000+10/10000 70000+10/10000 8000+40000/40000 0\n" + checking},
        // Any state but 2 refuses the package; the wording tells whether a
        // footer marker stands anywhere in it, across blocks and behind NULs too.
        {3, {{0x7FFD, "[img]: 0 1 0 a [end]"}}, "refused 1\n" + badFormat},
        {0x12, {{0x10000, std::string(16, '\0') + "[img]: "}}, "refused 1\n" + badFormat},
        {0, {{0x3FFF0, "[img]: "}}, "refused 1\n" + badFormat},
        {0, {{0x8000, std::string(cipher.begin(), cipher.end())}}, "refused 1\n" + refused},
        {0, {{0x7FF9, "[img]:"}}, "refused 1\n" + refused},
        // clang-format on
    };
    for (const auto& row : rows) {
        PackageBuilder b(0x3FFF7);
        for (const auto& [at, text] : row.texts) b.text(at, text, false);
        FaultRun sim;
        PackageScanner scanner{sim.console};
        BmcLink link{sim.transport, sim.console, sim.machine.stall};
        MemFs files;
        files.files["p"] = b.str();
        File* f = files.open("p", "rb");
        std::vector<uint8_t> buffer(kBlock);
        const Validation v = runValidationScan(link, *f, b.bytes.size(), row.state, buffer.data(), scanner);
        f->close();
        EXPECT_EQ(std::string(v == Validation::Accepted ? "accepted" : "refused") + partsOf(scanner) + " " +
                      std::to_string(sim.machine.bmc.coldResets()) + "\n" + sim.console.text,
                  row.outcome);
    }
    // A 32 MiB package whose footer stands in its very last block: its
    // footer area reaches 0x38000 bytes past the end and is still sent.
    EXPECT_TRUE(partInRange(Part{0x1FF8000, 0x40000, 0x40000}, 0x2000000));
    EXPECT_FALSE(partInRange(Part{0x2040000, 0x10000, 1}, 0x2000000));
}

}  // namespace
}  // namespace korvex::test
