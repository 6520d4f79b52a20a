// Every failure of the update job, through the whole tool over the simulated
// KCS interface: the whole console text, the result and outcome, the cold
// resets, the flash, and nothing left open or held; and a stop request, which
// calls the update off before its transfer and never stops the transfer.
#include <gtest/gtest.h>

#include <cstdio>

#include "bmc/update_module.h"
#include "firmware/package_builder.h"
#include "support/fault_rig.h"

namespace korvex::test {
namespace {

enum class Package { Good, Missing, Empty, NoFooter, TooManyParts, OutOfRange, NoEnd, ShortPart, Usb32MiB };

std::string packageBytes(Package kind) {
    PackageBuilder b(0x48000);
    b.signature(0, "fw-1");
    switch (kind) {
    case Package::Missing:
    case Package::Empty:
        return "";
    case Package::NoFooter:
        return b.str();
    case Package::TooManyParts:
        for (int i = 0; i < 8; ++i) b.part("p" + std::to_string(i) + ".bin", 0x1000 + 0x100 * i, patternBytes(60, i));
        break;
    case Package::OutOfRange:
        b.footer += entryLine(0x7FFFFFFF, 0x100, "far.bin");
        break;
    case Package::ShortPart:
        b.part("tiny.bin", 0x1000, patternBytes(10, 3));
        break;
    case Package::Usb32MiB:
        b.bytes.resize(kFlashSize, 0xFF);
        b.part("a.bin", 0x1000, patternBytes(100, 1));
        break;
    default:
        b.part("a.bin", 0x1000, patternBytes(100, 1));
    }
    b.plainFooter(0x8000, kind != Package::NoEnd);
    return b.str();
}

// What the BMC's flash holds afterwards: every part, only the footer area
// (the first block info was lost, so the first part went elsewhere), or
// nothing; Any where the job stopped part-way.
enum class Flash { Any, Updated, FooterArea, Erased };

struct UpdateRow {
    const char* name;  // also the golden file's
    Package package;
    std::vector<std::string> options;
    std::vector<std::string> extraArgs;
    JobResult result;
    uint64_t coldResets;
    size_t memoryFailAbove = SIZE_MAX;
    size_t readLimit = SIZE_MAX;
    Flash flash = Flash::Any;
    uint64_t stopAt = 0;  // a stop is requested while the BMC takes this request
};

constexpr JobResult kOk{0, JobOutcome::Succeeded};
constexpr JobResult kFail{-1, JobOutcome::Failed};
constexpr JobResult kRefused{-1, JobOutcome::RefusedByBmc};
constexpr JobResult kUsb{0, JobOutcome::Failed};  // the USB path sends no firmware

const UpdateRow kRows[] = {
    {"update-ok", Package::Good, {}, {}, kOk, 0, SIZE_MAX, SIZE_MAX, Flash::Updated},
    {"update-open-fails", Package::Missing, {}, {}, kFail, 0, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"update-another-user", Package::Good, {"--bmc-fault=request-cc:get-fw-update-info:0xdf"}, {}, kRefused, 0, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"update-info-fails", Package::Good, {"--bmc-fault=request-cc:get-fw-update-info:0xc3"}, {}, kFail, 1, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"update-info-not-supported", Package::Good, {"--bmc-fault=request-cc:get-fw-update-info:0xc1"}, {}, kRefused, 1, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"update-info-no-data", Package::Good, {"--bmc-fault=update-no-data:get-fw-update-info"}, {}, kFail, 1, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"update-state-not-ready", Package::Good, {"--bmc-update-state=0"}, {}, kRefused, 1, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"update-state-not-ready-no-marker", Package::NoFooter, {"--bmc-update-state=3"}, {}, kRefused, 1, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"update-block-buffer-refused", Package::Good, {}, {}, kFail, 0, 0x7FFF, SIZE_MAX, Flash::Erased},
    {"update-empty-package", Package::Empty, {}, {}, kFail, 1, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"update-type-mismatch", Package::NoFooter, {}, {}, kFail, 1, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"update-footer-without-end", Package::NoEnd, {}, {}, kFail, 1, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"update-too-many-parts", Package::TooManyParts, {}, {}, kFail, 1, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"update-part-out-of-range", Package::OutOfRange, {}, {}, kFail, 1, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"update-short-part", Package::ShortPart, {}, {}, kOk, 0, SIZE_MAX, SIZE_MAX, Flash::Updated},
    {"update-block-info-fails", Package::Good, {"--bmc-fault=update-drop:send-block-info:1"}, {}, kOk, 0, SIZE_MAX, SIZE_MAX, Flash::FooterArea},
    {"update-data-fails", Package::Good, {"--bmc-fault=update-drop:receive-fw-data:2"}, {}, kFail, 1},
    {"update-data-no-data", Package::Good, {"--bmc-fault=update-no-data:receive-fw-data"}, {}, kOk, 0, SIZE_MAX, SIZE_MAX, Flash::Updated},
    {"update-verdict-verification", Package::Good, {"--bmc-fault=update-verdict:1:0"}, {}, kRefused, 1},
    {"update-verdict-downgrade", Package::Good, {"--bmc-fault=update-verdict:2:1"}, {}, kRefused, 1},
    {"update-verdict-other", Package::Good, {"--bmc-fault=update-verdict:7"}, {}, kRefused, 1},
    {"update-progress-never-done", Package::Good, {"--bmc-fault=update-progress:99"}, {}, kFail, 0, SIZE_MAX, SIZE_MAX, Flash::Updated},
    {"update-progress-fails", Package::Good, {"--bmc-fault=update-drop:get-fw-update-progress:1"}, {}, kOk, 0, SIZE_MAX, SIZE_MAX, Flash::Updated},
    {"update-progress-no-data", Package::Good, {"--bmc-fault=update-no-data:get-fw-update-progress"}, {}, kFail, 0, SIZE_MAX, SIZE_MAX, Flash::Updated},
    {"update-package-read-fails", Package::Good, {}, {}, kFail, 1, SIZE_MAX, 0x9000, Flash::Erased},
    {"update-interrupted-before-transfer", Package::Good, {}, {}, {-1, JobOutcome::Interrupted}, 1, SIZE_MAX,
     SIZE_MAX, Flash::Erased, 1},
    {"update-ok", Package::Good, {}, {}, kOk, 0, SIZE_MAX, SIZE_MAX, Flash::Updated, 4},  // in the transfer
    {"update-ok", Package::Good, {}, {}, kOk, 0, SIZE_MAX, SIZE_MAX, Flash::Updated, 5358},  // in the poll
    {"usb-open-fails", Package::Missing, {}, {"-i", "usb"}, kUsb, 0, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"usb-wrong-size", Package::Good, {}, {"-i", "usb"}, kUsb, 0, SIZE_MAX, SIZE_MAX, Flash::Erased},
    {"usb-buffer-refused", Package::Usb32MiB, {}, {"-i", "usb"}, kUsb, 0, 0x1000000, SIZE_MAX, Flash::Erased},
    {"usb-read-fails", Package::Usb32MiB, {}, {"-i", "usb"}, kUsb, 0, SIZE_MAX, 0x10000, Flash::Erased},
    {"usb-info-no-data", Package::Usb32MiB, {"--bmc-fault=update-no-data:usb-update-info"}, {"-i", "usb"}, kUsb, 0, SIZE_MAX, SIZE_MAX, Flash::Erased},
};

TEST(UpdateFaults, EveryFailureEndToEnd) {
    for (const UpdateRow& row : kRows) {
        SCOPED_TRACE(std::string(row.name) + " stop at " + std::to_string(row.stopAt));
        const std::string path = scratchPath(std::string(row.name) + ".bin");
        const std::string package = packageBytes(row.package);
        if (row.package == Package::Missing)
            std::remove(path.c_str());
        else
            writeFile(path, package);
        FaultRun sim;
        sim.machine.bmc.keepLog(true);
        sim.stops.stopAt = row.stopAt;
        sim.options(row.options);
        sim.memory.failAbove = row.memoryFailAbove;
        sim.files.readLimit = row.readLimit;
        sim.console.input = "\n";
        std::vector<std::string> args{"-f", path};
        args.insert(args.end(), row.extraArgs.begin(), row.extraArgs.end());
        EXPECT_EQ(sim.run(args), row.result);
        expectGolden(row.name, sim.after(), path);
        EXPECT_EQ(sim.machine.bmc.coldResets(), row.coldResets);
        // The cold reset is the last request: a kernel IPMI driver may refuse
        // every request for 30 s after one.
        const std::vector<bmc::Request>& log = sim.machine.bmc.log();
        for (size_t i = 0; i + 1 < log.size(); ++i) EXPECT_FALSE(log[i].netFn == 0x06 && log[i].command == 0x02) << i;
        EXPECT_EQ(sim.files.openNow, 0);
        EXPECT_EQ(sim.memory.outstanding(), 0u);
        // Whatever writes the flash, or waits for its end, goes out while stops are held.
        for (const uint8_t command : sim.stops.freeCommands)
            EXPECT_TRUE(command != 0x14 && command != 0x15 && command != 0x17) << int{command};
        EXPECT_FALSE(sim.stops.held);
        if (row.package != Package::Missing) {
            EXPECT_EQ(readFile(path), package);  // never changed
        }
        const std::vector<uint8_t>& bytes = sim.machine.bmc.module<bmc::UpdateModule>()->flash();
        const std::string flash(bytes.begin(), bytes.begin() + 0x48000);
        const size_t partLength = row.package == Package::ShortPart ? 10 : 100;
        if (row.flash == Flash::Updated) {
            EXPECT_TRUE(flash.substr(0x1000, partLength) == package.substr(0x1000, partLength));
        }
        if (row.flash == Flash::Updated || row.flash == Flash::FooterArea) {
            EXPECT_TRUE(flash.substr(0x8000) == package.substr(0x8000));
        }
        if (row.flash == Flash::Erased) {
            EXPECT_TRUE(flash == std::string(0x48000, '\xFF'));
        }
        std::remove(path.c_str());
    }
}

}  // namespace
}  // namespace korvex::test
