// The validation scan over whole packages: what it accepts into the part
// table, and packages each broken in exactly one way, named for it.
#include <gtest/gtest.h>

#include <cstdio>

#include "firmware/package_builder.h"
#include "firmware/validation.h"
#include "support/capture.h"
#include "support/loopback.h"

namespace korvex::test {
namespace {

constexpr size_t k32MiB = 0x2000000;
const std::string kCheck = "Check if this file is valid................\n";
const std::string kResetOk = "Execute Cold Reset Success\n";
const std::string kMismatch = "Error!\nUpdate package type mismatch!\nPlease select the correct type and try again!\n";
const std::string kFormatError = "find_respective_image_info() : image format err!!\n";
const std::string kRefuse = "Please select the correct image file and try again.\n";

struct ScanRig {
    CaptureConsole console;
    bmc::SimBmc bmc;
    LoopbackTransport transport{bmc};
    sim::VirtualClock clock;
    sim::SimStall stall{clock};
    BmcLink link{transport, console, stall};
    PackageScanner scanner{console};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(0x8000);

    Validation scan(const Bytes& package, uint8_t state = 2) {
        const std::string path = scratchPath("validation.bin");
        writeFile(path, std::string(package.begin(), package.end()));
        hosted::StdioFileSystem files;
        File* f = files.open(path.c_str(), "rb");
        EXPECT_NE(f, nullptr);
        Validation v = runValidationScan(link, *f, package.size(), state, buffer.data(), scanner);
        f->close();
        std::remove(path.c_str());
        return v;
    }
    std::vector<Part> parts() const {
        std::vector<Part> p;
        for (size_t i = 0; i < scanner.partCount(); ++i) p.push_back(scanner.part(i));
        return p;
    }
};

TEST(ValidationScan, FooterInBlock0x1FC0000OfA32MiBPackage) {
    PackageBuilder b(k32MiB);
    b.part("a.bin", 0, patternBytes(0x8000, 1)).part("b.bin", 0x8000, patternBytes(0x300, 2));
    b.plainFooter(0x1FC0000);
    ScanRig rig;
    ASSERT_EQ(rig.scan(b.bytes), Validation::Accepted);
    EXPECT_EQ(rig.parts(), (std::vector<Part>{{0, 0x10000, 0x8000}, {0x8000, 0x10000, 0x300}, {0x1FC0000, 0x40000, 0x40000}}));
    EXPECT_EQ(rig.console.text, kCheck);
    EXPECT_EQ(rig.bmc.exchanges(), 0u);
}

TEST(ValidationScan, EachAcceptedFooterIsFollowedByItsOwnArea) {
    PackageBuilder b(0x40000);
    b.text(0x8000, entryLine(0, 0x100, "a") + "[end]");
    b.put(0x18000, encipheredFooter(entryLine(0x1000, 0x100, "b") + "[end]"));
    ScanRig rig;
    ASSERT_EQ(rig.scan(b.bytes), Validation::Accepted);
    EXPECT_EQ(rig.parts(), (std::vector<Part>{{0, 0x10000, 0x100},
                                              {0x8000, 0x40000, 0x40000},
                                              {0x1000, 0x10000, 0x100},
                                              {0x18000, 0x40000, 0x40000}}));
}

TEST(ValidationScan, EightPartsFitTheTable) {
    PackageBuilder b(0x100000);
    for (int i = 0; i < 7; ++i) b.part("p" + std::to_string(i), 0x10000 * (i + 1), patternBytes(0x10, i));
    b.plainFooter(0x8000);
    ScanRig rig;
    ASSERT_EQ(rig.scan(b.bytes), Validation::Accepted);
    EXPECT_EQ(rig.scanner.partCount(), 8);
}

TEST(ValidationScan, OtherUpdateStatesRefuseEveryPackage) {
    struct Row {
        const char* name;
        uint8_t state;
        std::function<void(PackageBuilder&)> build;
        std::string messages;
    } rows[] = {
        {"valid package, state 0", 0, [](PackageBuilder& b) { b.text(0x8000, entryLine(0, 1, "a") + "[end]"); },
         "The image format error!!\n" + kRefuse + kResetOk},
        {"valid package, state 1", 1, [](PackageBuilder& b) { b.text(0x8000, entryLine(0, 1, "a") + "[end]"); },
         "The image format error!!\n" + kRefuse + kResetOk},
        {"marker across two blocks", 3, [](PackageBuilder& b) { b.text(0x7FFD, "[img]: 0 1 0 a [end]"); },
         "The image format error!!\n" + kRefuse + kResetOk},
        {"marker behind a NUL still counts", 0x12, [](PackageBuilder& b) { b.text(0x10010, "[img]: "); b.bytes[0x10000] = 0; },
         "The image format error!!\n" + kRefuse + kResetOk},
        {"marker in the short last block", 0, [](PackageBuilder& b) { b.text(0x3FFF0, "[img]: ", false); },
         "The image format error!!\n" + kRefuse + kResetOk},
        {"enciphered footer only", 0, [](PackageBuilder& b) { b.put(0x8000, encipheredFooter(entryLine(0, 1, "a") + "[end]")); },
         kRefuse + kResetOk},
        {"cut marker", 0, [](PackageBuilder& b) { b.text(0x7FF9, "[img]:", false); }, kRefuse + kResetOk},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PackageBuilder b(0x3FFF7);
        row.build(b);
        ScanRig rig;
        EXPECT_EQ(rig.scan(b.bytes, row.state), Validation::Refused);
        EXPECT_EQ(rig.console.text, row.messages);
        EXPECT_EQ(rig.bmc.coldResets(), 1u);
        EXPECT_EQ(rig.scanner.partCount(), 0);
    }
}

// Each package carries exactly the one defect it is named for.
TEST(ValidationScan, BrokenPackagesAreRefused) {
    const auto base = [] {
        PackageBuilder b(0x100000);
        b.part("a.bin", 0x10000, patternBytes(0x100, 1)).part("b.bin", 0x20000, patternBytes(0x200, 2));
        return b;
    };
    struct Row {
        const char* name;
        std::function<Bytes()> make;
        std::string messages;
    } rows[] = {
        {"no-footer", [&] { return base().bytes; }, kCheck + kMismatch + kResetOk},
        {"footer-missing-end", [&] { return base().plainFooter(0x8000, false).bytes; },
         kCheck + kFormatError + kMismatch + kResetOk},
        {"enciphered-footer-missing-end", [&] { return base().encipheredFooterAt(0x8000, false).bytes; },
         kCheck + kFormatError + kMismatch + kResetOk},
        {"entry-without-name",
         [&] {
             PackageBuilder b = base();
             b.footer += "[img]: 30000 10 0\n";
             return b.plainFooter(0x8000).bytes;
         },
         kCheck + kFormatError + kMismatch + kResetOk},
        {"nul-at-footer-block-start",
         [&] {
             PackageBuilder b = base();
             b.plainFooter(0x8001);
             b.bytes[0x8000] = 0;
             return b.bytes;
         },
         kCheck + kMismatch + kResetOk},
        {"marker-without-space",
         [&] {
             PackageBuilder b = base();
             b.text(0x8000, "[img]:10000 100 0 a.bin\n[end]");
             return b.bytes;
         },
         kCheck + kMismatch + kResetOk},
        {"enciphered-with-another-key",
         [&] {
             PackageBuilder b = base();
             Bytes plain(192, 0);
             const std::string text = b.footer + "[end]";
             std::copy(text.begin(), text.end(), plain.begin());
             const Bytes key(16, 0x11), iv(16, 0x22);
             b.put(0x8000, opensslEncipher(plain, key.data(), iv.data()));
             return b.bytes;
         },
         kCheck + kMismatch + kResetOk},
        {"nine-parts",
         [&] {
             PackageBuilder b = base();
             for (int i = 0; i < 6; ++i) b.part("p", 0x30000 + 0x1000 * i, patternBytes(0x10, i));
             return b.plainFooter(0x8000).bytes;
         },
         kCheck + "Error!\nUpdate package has too many parts!\n" + kResetOk},
        {"two-footers-ten-parts",
         [&] {
             PackageBuilder b = base();
             b.part("c", 0x30000, patternBytes(0x10, 3)).part("d", 0x31000, patternBytes(0x10, 4));
             b.plainFooter(0x8000);
             return b.plainFooter(0x40000).bytes;
         },
         kCheck + "Error!\nUpdate package has too many parts!\n" + kResetOk},
        {"part-far-beyond-the-flash",
         [&] {
             PackageBuilder b = base();
             b.footer += entryLine(0x1000000, 0x10000000, "huge.bin");
             return b.plainFooter(0x8000).bytes;
         },
         kCheck + "Error!\nUpdate package part is out of range!\n" + kResetOk},
        {"length-beyond-32-bits",
         [&] {
             PackageBuilder b = base();
             b.footer += entryLine(0, 0x100000000ull, "wide.bin");
             return b.plainFooter(0x8000).bytes;
         },
         kCheck + "Error!\nUpdate package part is out of range!\n" + kResetOk},
        {"webfs-length-wraps",
         [&] {
             PackageBuilder b = base();
             b.footer += entryLine(0, UINT64_MAX - 5, "out_webfs_img.bin");
             return b.plainFooter(0x8000).bytes;
         },
         kCheck + "Error!\nUpdate package part is out of range!\n" + kResetOk},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScanRig rig;
        EXPECT_EQ(rig.scan(row.make()), Validation::Refused);
        EXPECT_EQ(rig.console.text, row.messages);
        EXPECT_EQ(rig.bmc.coldResets(), 1u);
        EXPECT_LE(rig.scanner.partCount(), kMaxParts);
    }
}

TEST(ValidationScan, PartRangeAllowsAFooterAreaFromTheLastBlock) {
    // A 32 MiB package whose footer stands in its very last block: its
    // footer area reaches 0x38000 bytes past the end and is still sent.
    EXPECT_TRUE(partInRange(Part{0x1FF8000, 0x40000, 0x40000}, k32MiB));
    EXPECT_TRUE(partInRange(Part{0x8000, 0x40000, 0x40000}, 0x9000));
    EXPECT_FALSE(partInRange(Part{0x2040000, 0x10000, 1}, k32MiB));
    EXPECT_FALSE(partInRange(Part{0, 0x100000000ull, 1}, k32MiB));
}

}  // namespace
}  // namespace korvex::test
