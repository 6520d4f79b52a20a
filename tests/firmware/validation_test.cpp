// The validation scan over whole packages: what it accepts into the part
// table, and how any update state but 2 refuses every package.
#include <gtest/gtest.h>

#include "firmware/package_builder.h"
#include "firmware/validation.h"
#include "support/capture.h"
#include "support/loopback.h"
#include "support/memfs.h"

namespace korvex::test {
namespace {

constexpr size_t k32MiB = 0x2000000;
const std::string kCheck = "Check if this file is valid................\n";
const std::string kResetOk = "Execute Cold Reset Success\n";
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
        MemFs files;
        files.files["p"] = std::string(package.begin(), package.end());
        File* f = files.open("p", "rb");
        Validation v = runValidationScan(link, *f, package.size(), state, buffer.data(), scanner);
        f->close();
        return v;
    }
    std::vector<Part> parts() const {
        std::vector<Part> p;
        for (size_t i = 0; i < scanner.partCount(); ++i) p.push_back(scanner.part(i));
        return p;
    }
};

TEST(ValidationScan, EachAcceptedFooterIsFollowedByItsOwnAreaAndEightPartsFit) {
    PackageBuilder two(0x40000);
    two.text(0x8000, entryLine(0, 0x100, "a") + "[end]");
    two.put(0x18000, encipheredFooter(entryLine(0x1000, 0x100, "b") + "[end]"));
    ScanRig rig;
    ASSERT_EQ(rig.scan(two.bytes), Validation::Accepted);
    EXPECT_EQ(rig.parts(), (std::vector<Part>{{0, 0x10000, 0x100},
                                              {0x8000, 0x40000, 0x40000},
                                              {0x1000, 0x10000, 0x100},
                                              {0x18000, 0x40000, 0x40000}}));
    EXPECT_EQ(rig.console.text, kCheck);
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
        {"marker behind a NUL", 0x12, [](PackageBuilder& b) { b.text(0x10010, "[img]: "); b.bytes[0x10000] = 0; }, true},
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
        EXPECT_EQ(rig.console.text, (row.markerMet ? "The image format error!!\n" : "") + kRefuse + kResetOk);
        EXPECT_EQ(rig.bmc.coldResets(), 1u);
        EXPECT_EQ(rig.scanner.partCount(), 0);
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
