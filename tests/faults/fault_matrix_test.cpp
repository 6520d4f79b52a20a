// Every failure of every job, through the whole tool over the simulated KCS
// interface, one row each: the console text after the banner (a golden text,
// shared by rows that show the same; for some rows followed by the virtual
// time and every request the BMC took), the result and outcome, the cold
// resets, nothing left open or held, stops held exactly while the BMC
// changes, and what the job's file and the BMC hold afterwards. A dump or a
// backup is at its name only when whole, and a failed one leaves what was
// there before (nothing, an older file, a link) as it was.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "bmc/config_module.h"
#include "bmc/update_module.h"
#include "firmware/package_builder.h"
#include "support/fault_rig.h"

namespace korvex::test {
namespace {

// What is at the row's file before the run: Older and Link for a dump or a
// backup; Restore and EmptyRestore for a restore; Package to Huge for an update
// (Far: a footer entry at Extra::far; Huge: a sparse package of Extra::size
// bytes, on a platform that allocates at most 2 GiB at once); the names for any.
// clang-format off
enum class At { Nothing, NoFolder, Older, Link, Restore, EmptyRestore, Package, EmptyPackage, NoFooter, TooManyParts,
                OutOfRange, NoEnd, TwoChunks, Usb32MiB, Far, Huge, EmptyName };
// clang-format on

// What the BMC's flash holds after an update: every part, only the footer
// area (the first block info was lost, so the first part went elsewhere),
// what it held before; Any where the job stopped part-way.
enum class Flash { Any, Updated, FooterArea, Unchanged };

constexpr size_t kConfigBytes = 150;   // backup blocks of 64, 64 and 22 bytes
constexpr size_t kRestoreBytes = 100;  // restore blocks of 45, 45 and 10 bytes
constexpr size_t kDumpBytes = 200;     // three full pieces of 56 bytes and one of 32
constexpr size_t kPackageBytes = 0x48000;

// Binary junk around the words of a kcs.cfg, NUL bytes included. Between the
// words: taken as the right ports. Glued to them: no port is named, both
// stay 0 and nothing answers there.
const std::string kJunk("\x01\xff\0 CMD CA3 \0\x80\nDATA\tCA2 \xfe", 25);
const std::string kGluedJunk("\x01\xff\0CMD\x80 CA3 \0\0 DATA\x7f CA2\xfe", 25);

struct Extra {
    size_t writeLimit = SIZE_MAX;  // the files' faults (support/fault_rig.h)
    size_t readLimit = SIZE_MAX;
    bool failKeep = false;
    size_t memoryFailAbove = SIZE_MAX;
    uint64_t stopAt = 0;  // a stop is requested while the BMC takes this request
    const std::string* kcsCfg = nullptr;
    Flash flash = Flash::Unchanged;  // an update's
    size_t backedUp = kConfigBytes;  // the configuration bytes a backup that succeeded holds
    int log = -1;          // the golden text goes on with the virtual time and this many requests (-1: neither)
    uint64_t far[2] = {};  // offset and length
    uint64_t size = 0;
};

struct Row {
    const char* golden;
    std::vector<std::string> args;  // "@" is the row's file
    At at;
    std::vector<std::string> bmc;  // requests count from 1 in the order the tool sends them
    JobResult result;
    uint64_t coldResets = 0;
    Extra x = {};
};

using O = JobOutcome;
constexpr JobResult kOk{0, O::Succeeded}, kFail{-1, O::Failed}, kRefused{-1, O::RefusedByBmc};
constexpr JobResult kUsb{0, O::Failed};  // the USB path sends no firmware
constexpr JobResult kDumped{1, O::Succeeded}, kDumpFailed{1, O::Failed}, kDumpStopped{1, O::Interrupted};
constexpr JobResult kCfgOk{0, O::Succeeded}, kCfgFailed{0, O::Failed}, kCfgRefused{0, O::RefusedByBmc};
constexpr JobResult kCfgStopped{0, O::Interrupted};
const std::vector<std::string> kUpdate{"-f", "@"}, kUsbUpdate{"-f", "@", "-i", "usb"}, kDump{"-d", "@"};
const std::vector<std::string> kBackup{"-c", "-d", "@"}, kRestore{"-c", "-f", "@"};
constexpr Extra kFlashAny{.flash = Flash::Any}, kFlashUpdated{.flash = Flash::Updated};
constexpr Extra kFlashFooterArea{.flash = Flash::FooterArea}, kLog{.log = 99}, kTime{.log = 0};
// A BMC option of a row: "--bmc-..." as it stands, anything else a fault.
std::string cc(const char* request, const char* code) { return std::string("request-cc:") + request + ":" + code; }

// clang-format off
const Row kRows[] = {
    // Update. Requests: 1 update info, 2 block info, 3 on the data chunks.
    {"update-open-fails", kUpdate, At::Nothing, {}, kFail},
    {"update-another-user", kUpdate, At::Package, {cc("get-fw-update-info", "0xdf")}, kRefused},
    {"update-info-fails", kUpdate, At::Package, {cc("get-fw-update-info", "0xc3")}, kFail, 1},
    {"update-info-fails", kUpdate, At::Package, {"update-no-data:get-fw-update-info"}, kFail, 1},
    {"update-state-not-ready", kUpdate, At::Package, {cc("get-fw-update-info", "0xc1")}, kRefused, 1},
    {"update-state-not-ready", kUpdate, At::Package, {"--bmc-update-state=0"}, kRefused, 1},
    {"update-state-not-ready", kUpdate, At::Package, {"--bmc-update-state=0x12"}, kRefused, 1},
    {"update-state-not-ready-no-marker", kUpdate, At::NoFooter, {"--bmc-update-state=3"}, kRefused, 1},
    {"update-block-buffer-refused", kUpdate, At::Package, {}, kFail, 0, {.memoryFailAbove = 0x7FFF}},
    {"update-empty-package", kUpdate, At::EmptyPackage, {}, kFail, 1},
    {"update-type-mismatch", kUpdate, At::NoFooter, {}, kFail, 1},
    {"update-footer-without-end", kUpdate, At::NoEnd, {}, kFail, 1},
    {"update-too-many-parts", kUpdate, At::TooManyParts, {}, kFail, 1},
    {"update-part-out-of-range", kUpdate, At::OutOfRange, {}, kFail, 1},
    {"update-two-chunks", kUpdate, At::TwoChunks, {}, kOk, 0, {.flash = Flash::Updated, .log = 6}},
    {"update-ok", kUpdate, At::Package, {}, kOk, 0, kFlashUpdated},
    {"update-block-info-fails", kUpdate, At::Package, {"update-drop:send-block-info:1"}, kOk, 0, kFlashFooterArea},
    {"update-data-fails", kUpdate, At::Package, {"update-drop:receive-fw-data:2"}, kFail, 1, kFlashAny},
    {"update-ok", kUpdate, At::Package, {cc("receive-fw-data", "0xcd:1")}, kOk, 0, kFlashAny},  // no rejection
    {"update-ok", kUpdate, At::Package, {cc("send-block-info", "0xc0")}, kOk, 0, kFlashAny},
    {"update-ok", kUpdate, At::Package, {"update-no-data:receive-fw-data"}, kOk, 0, kFlashUpdated},
    {"update-verdict-verification", kUpdate, At::Package, {"update-verdict:1:0"}, kRefused, 1, kFlashAny},
    {"update-verdict-downgrade", kUpdate, At::Package, {"update-verdict:2:1"}, kRefused, 1, kFlashAny},
    {"update-verdict-other", kUpdate, At::Package, {"update-verdict:7"}, kRefused, 1, kFlashAny},
    {"update-verdict-other", kUpdate, At::Package, {"update-verdict:1", "update-no-data:receive-fw-data"}, kRefused, 1,
     kFlashAny},  // a rejection without its verdict byte
    {"update-progress-never-done", kUpdate, At::Package, {"update-progress:99"}, kFail, 0, kFlashUpdated},
    {"update-progress-above-done", kUpdate, At::Package, {"update-progress:101"}, kFail, 0, kFlashUpdated},
    {"update-progress-fails", kUpdate, At::Package, {"update-drop:get-fw-update-progress:1"}, kOk, 0, kFlashUpdated},
    {"update-progress-no-data", kUpdate, At::Package, {"update-no-data:get-fw-update-progress"}, kFail, 0,
     kFlashUpdated},
    {"update-package-read-fails", kUpdate, At::Package, {}, kFail, 1, {.readLimit = 0x9000}},
    {"update-interrupted-before-transfer", kUpdate, At::Package, {}, {-1, O::Interrupted}, 1, {.stopAt = 1}},
    {"update-ok", kUpdate, At::Package, {}, kOk, 0, {.stopAt = 4, .flash = Flash::Updated}},     // in the transfer
    {"update-ok", kUpdate, At::Package, {}, kOk, 0, {.stopAt = 5358, .flash = Flash::Updated}},  // in the poll
    {"usb-open-fails", kUsbUpdate, At::Nothing, {}, kUsb},
    {"usb-wrong-size", kUsbUpdate, At::Package, {}, kUsb},
    {"usb-buffer-refused", kUsbUpdate, At::Usb32MiB, {}, kUsb, 0, {.memoryFailAbove = 0x1000000}},
    {"usb-read-fails", kUsbUpdate, At::Usb32MiB, {}, kUsb, 0, {.readLimit = 0x10000}},
    {"usb-info-no-data", kUsbUpdate, At::Usb32MiB, {"update-no-data:usb-update-info"}, kUsb},
    {"usb-info-no-data", kUsbUpdate, At::Usb32MiB, {"--bmc-update-state=1"}, kUsb},
    {"usb-looked-at", kUsbUpdate, At::Usb32MiB, {"--bmc-update-state=0x12"}, kUsb},  // the state's low four bits
    {"update-empty-package", kUpdate, At::Huge, {}, kFail, 1, {.size = 0x140000000}},
    {"usb-wrong-size", kUsbUpdate, At::Huge, {}, kUsb, 0, {.size = 0x102000000}},  // 32 MiB in 32 bits
    {"update-part-out-of-range", kUpdate, At::Far, {}, kFail, 1, {.far = {0x3000000, 0x100}}},
    {"update-part-out-of-range", kUpdate, At::Far, {}, kFail, 1, {.far = {0x1000, 0xFFFFFFFF}}},
    {"update-part-out-of-range", kUpdate, At::Far, {}, kFail, 1, {.far = {0x100000000, 0x100}}},
    {"update-part-out-of-range", kUpdate, At::Far, {}, kFail, 1, {.far = {0, 0x1000000000}}},
    {"update-part-out-of-range", kUpdate, At::Far, {}, kFail, 1, {.far = {0xFFFFFFFFFFFFFF00, 0x200}}},
    {"kcs-update-cold-reset-broken", kUpdate, At::Package, {"kcs-error-state:1", "kcs-short-response:1:2"}, kFail, 1},

    // Dump. Requests: 1 prepare, 2 check, 3 to 6 the pieces.
    {"dump-ok", kDump, At::Link, {"--bmc-dump-last-flag=0x80"}, kDumped},
    {"dump-prepare-fails", kDump, At::Nothing, {cc("prepare-dump-flash", "0xc1")}, kDumped},
    {"dump-check-fails-once", kDump, At::Nothing, {cc("check-dump-flash-complete", "0xc3:1")}, kDumped},
    {"dump-polled", kDump, At::Nothing, {"--bmc-dump-ready-after=3", "--bmc-dump-not-ready=2"}, kDumped, 0, kTime},
    {"dump-ok", kDump, At::Older, {}, kDumped},
    {"dump-never-ready", kDump, At::Nothing, {"dump-never-ready"}, kDumpFailed},
    {"dump-check-always-fails", kDump, At::Nothing, {cc("check-dump-flash-complete", "0xc3")}, kDumpFailed},
    {"dump-check-always-fails", kDump, At::Nothing, {"dump-ready-short"}, kDumpFailed},
    {"dump-check-always-fails", kDump, At::Nothing, {"dump-ready-short:4"}, kDumpFailed},
    {"dump-length-zero", kDump, At::Nothing, {"--bmc-dump-length=0", "--bmc-dump-send=200"}, kDumped},
    {"dump-sends-less", kDump, At::Older, {"--bmc-dump-send=100"}, kDumpFailed},
    {"dump-open-fails", kDump, At::NoFolder, {}, kDumpFailed},
    {"name-empty-dump", kDump, At::EmptyName, {}, kDumpFailed},
    {"dump-piece-broken", kDump, At::Link, {"dump-drop:2"}, kDumpFailed},
    {"dump-piece-without-data", kDump, At::Nothing, {"dump-no-data:3"}, kDumpFailed},
    {"dump-piece-without-data", kDump, At::Nothing, {"dump-short:1"}, kDumpFailed},
    {"dump-progress", kDump, At::Nothing, {"--bmc-dump-length=112", "--bmc-dump-send=200"}, kDumped, 0, kTime},
    {"dump-busy", kDump, At::Nothing, {cc("get-dump-flash-data", "0xc0:2")}, kDumped, 0, kTime},
    {"dump-piece-without-data", kDump, At::Nothing, {cc("get-dump-flash-data", "0xd2")}, kDumpFailed},
    {"dump-piece-without-data", kDump, At::Nothing, {cc("get-dump-flash-data", "0xc3:2")}, kDumpFailed},
    {"dump-write-fails", kDump, At::Older, {}, kDumpFailed, 0, {.writeLimit = 120}},
    {"dump-write-fails", kDump, At::Older, {}, kDumpFailed, 0, {.failKeep = true}},
    {"dump-interrupted-while-waiting", kDump, At::Older, {}, kDumpStopped, 0, {.stopAt = 1}},
    {"dump-interrupted-while-waiting", kDump, At::Older, {"--bmc-dump-ready-after=3"}, kDumpStopped, 0, {.stopAt = 2}},
    {"dump-interrupted", kDump, At::Older, {}, kDumpStopped, 0, {.stopAt = 4}},
    {"kcs-dump-ibf-stuck", kDump, At::Nothing, {"kcs-ibf-stuck:4"}, kDumpFailed},
    {"dump-ok", kDump, At::Nothing, {"kcs-obf-stuck:4"}, kDumped},

    // Backup. Requests: 1 reset, 2 start, 3 status, 4 to 6 the blocks, 7 finish (only after a failure).
    {"backup-ok", kBackup, At::Older, {}, kCfgOk},
    {"backup-ok", kBackup, At::Nothing, {"config-task-state:block:4", "config-low-bit:block"}, kCfgOk},
    {"backup-open-fails", kBackup, At::NoFolder, {}, kCfgFailed},
    {"backup-requests", kBackup, At::Older, {"--bmc-config-seq=0xFFFFFF"}, kCfgOk, 0, kLog},
    {"backup-never-ready", kBackup, At::Older, {"config-start-fail"}, kCfgRefused},
    {"backup-status-polled", kBackup, At::Older, {"config-never-ready"}, kCfgFailed, 0, kTime},
    {"backup-status-short", kBackup, At::Older, {"config-status-short:7"}, kCfgFailed},
    {"backup-total-zero", kBackup, At::Older, {"config-total:0"}, kCfgOk, 0, {.backedUp = 0}},
    {"backup-total-negative", kBackup, At::Older, {"config-total:0x80000000"}, kCfgFailed},
    {"backup-task-fails", kBackup, At::Older, {"config-fail-at:2"}, kCfgRefused},
    {"backup-number-repeated", kBackup, At::Older, {"config-bad-seq:2"}, kCfgFailed},
    {"backup-other-task", kBackup, At::Older, {"config-other-task:2"}, kCfgFailed},
    {"backup-status-byte-alone", kBackup, At::Older, {"config-short-block:2"}, kCfgFailed},
    {"backup-exchange-broken-then-resent", kBackup, At::Older, {"config-drop:2"}, kCfgOk},
    {"backup-no-data-five-times", kBackup, At::Older, {"config-no-data:2:5"}, kCfgOk},
    {"backup-no-data-six-times", kBackup, At::Older, {"config-no-data:2:6"}, kCfgFailed},
    {"backup-no-data-five-times", kBackup, At::Older, {"config-hold:3:2:5"}, kCfgOk},
    {"backup-state-six-times", kBackup, At::Older, {"config-hold:1:2:6"}, kCfgFailed},
    {"backup-write-fails", kBackup, At::Older, {}, kCfgFailed, 0, {.writeLimit = 100}},
    {"backup-keep-fails", kBackup, At::Older, {}, kCfgFailed, 0, {.failKeep = true}},
    {"backup-interrupted-preparing", kBackup, At::Older, {}, kCfgStopped, 0, {.stopAt = 1}},
    {"backup-interrupted-preparing", kBackup, At::Older, {}, kCfgStopped, 0, {.stopAt = 2}},
    {"backup-interrupted", kBackup, At::Older, {}, kCfgStopped, 0, {.stopAt = 5}},
    {"kcs-backup-ibf-stuck", kBackup, At::Nothing, {"kcs-ibf-stuck:5"}, kCfgFailed},
    {"backup-exchange-broken-then-resent", kBackup, At::Nothing, {"kcs-delay:31000000:5"}, kCfgOk},
    {"backup-ok", kBackup, At::Nothing, {"kcs-delay:29000000"}, kCfgOk},
    {"backup-ok", kBackup, At::Nothing, {}, kCfgOk, 0, {.kcsCfg = &kJunk}},
    {"kcs-backup-kcs-cfg-glued-junk", kBackup, At::Nothing, {}, kCfgFailed, 0, {.kcsCfg = &kGluedJunk}},

    // Restore. Requests: 1 reset, 2 start, 3 status, 4 to 6 the blocks, 7 finish (only after a failure).
    {"restore-ok", kRestore, At::Restore, {"config-low-bit:status"}, kCfgOk},
    {"restore-missing-file", kRestore, At::Nothing, {}, kCfgFailed},
    {"restore-requests", kRestore, At::Restore, {"--bmc-config-seq=0xFFFFFF"}, kCfgOk, 0, kLog},
    {"restore-empty-file", kRestore, At::EmptyRestore, {}, kCfgOk},
    {"restore-read-fails", kRestore, At::Restore, {}, kCfgFailed, 0, {.readLimit = 50}},
    {"restore-never-ready", kRestore, At::Restore, {"config-start-fail"}, kCfgRefused},
    {"restore-never-ready", kRestore, At::Restore, {"config-never-ready"}, kCfgFailed},
    {"restore-status-short", kRestore, At::Restore, {"config-status-short:3"}, kCfgFailed},
    {"restore-task-fails", kRestore, At::Restore, {"config-fail-at:2"}, kCfgRefused},
    {"restore-number-repeated", kRestore, At::Restore, {"config-bad-seq:2"}, kCfgFailed},
    {"restore-other-task", kRestore, At::Restore, {"config-other-task:2"}, kCfgFailed},
    {"restore-exchange-broken-then-resent", kRestore, At::Restore, {"config-drop:2"}, kCfgOk},
    {"restore-ok", kRestore, At::Restore, {}, kCfgOk, 0, {.stopAt = 1}},
    {"restore-ok", kRestore, At::Restore, {}, kCfgOk, 0, {.stopAt = 5}},
};
// clang-format on

std::string pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 11 + seed);
    return s;
}

std::string buildPackage(At at, const uint64_t far[2]) {
    PackageBuilder b(kPackageBytes);
    b.signature(0, "fw-1");
    if (at == At::EmptyPackage) return "";
    if (at == At::NoFooter) return b.str();
    if (at == At::TooManyParts) {
        for (int i = 0; i < 8; ++i) b.part("p" + std::to_string(i) + ".bin", 0x1000 + 0x100 * i, patternBytes(60, i));
    } else if (at == At::Far || at == At::OutOfRange) {
        b.footer += entryLine(at == At::Far ? far[0] : 0x7FFFFFFF, at == At::Far ? far[1] : 0x100, "far.bin");
    } else {
        if (at == At::Usb32MiB) b.bytes.resize(kFlashSize, 0xFF);
        b.part("a.bin", 0x1000, patternBytes(at == At::TwoChunks ? 98 : 100, 1));
        // 98 bytes go out as two chunks, the second the last; 10 as the last alone.
        if (at == At::TwoChunks) b.part("b.bin", 0x2000, patternBytes(10, 2));
    }
    return b.plainFooter(0x8000, at != At::NoEnd).str();
}

// The virtual time, the console flushes and the first requests: their bytes, the first 16 of a long one.
std::string requestLog(FaultRun& sim, int requests) {
    std::string s = "-- " + std::to_string(sim.machine.clock.nowUs()) + " us, flushed " +
                    std::to_string(sim.console.flushes) + " times\n";
    char hex[4];
    for (const bmc::Request& r : sim.machine.bmc.log()) {
        if (requests-- == 0) break;
        std::vector<uint8_t> bytes{r.netFn, r.command};
        bytes.insert(bytes.end(), r.data.begin(), r.data.begin() + std::min<long>(r.data.size(), 16));
        for (const uint8_t b : bytes) {
            std::snprintf(hex, sizeof hex, "%02x ", b);
            s += hex;
        }
        s.back() = '\n';
        if (r.data.size() > 16) s.insert(s.size() - 1, " +" + std::to_string(r.data.size() - 16));
    }
    return s;
}

// One test per job, so that the jobs' rows run side by side.
class FaultMatrix : public ::testing::TestWithParam<const char*> {};

TEST_P(FaultMatrix, EveryFailure) {
    const std::string job = GetParam();
    const std::string older = pattern(40, 3), decoy = scratchPath("decoy"), cfg = scratchPath("kcs.cfg");
    const std::string configuration = pattern(kConfigBytes, 1), restore = pattern(kRestoreBytes, 2);
    for (const Row& row : kRows) {
        const bool config = row.args[0] == "-c";
        const bool backup = config && row.args[1] == "-d", dump = !config && row.args[0] == "-d";
        const bool update = !config && !dump;
        if (job != (update ? "update" : dump ? "dump" : backup ? "backup" : "restore")) continue;
        std::string trace = row.golden;
        for (const std::string& s : row.bmc) trace += " " + s;
        SCOPED_TRACE(trace + " stop at " + std::to_string(row.x.stopAt));
        const std::string path = row.at == At::NoFolder    ? scratchPath("no-such-folder") + "/file.bin"
                                 : row.at == At::EmptyName ? ""
                                                           : scratchPath(std::string(row.golden) + ".bin");
        std::remove(path.c_str());
        std::string before;
        if (row.at == At::Older) before = older;
        if (row.at == At::Restore) before = restore;
        if (update && row.at >= At::Package && row.at <= At::Far) before = buildPackage(row.at, row.x.far);
        if (row.at == At::Older || (row.at > At::Link && row.at <= At::Far)) writeFile(path, before);
        writeFile(decoy, older);
        if (row.at == At::Link) {
            ASSERT_EQ(symlink(decoy.c_str(), path.c_str()), 0);
        }
        if (row.at == At::Huge) {
            writeFile(path, "");
            ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(row.x.size)), 0);
        }
        if (row.x.kcsCfg != nullptr) writeFile(cfg, *row.x.kcsCfg);

        FaultRun sim;
        sim.machine.bmc.keepLog(true);
        sim.options({"--bmc-dump-length=" + std::to_string(kDumpBytes)});
        for (const std::string& o : row.bmc) sim.options({o.starts_with("--") ? o : "--bmc-fault=" + o});
        sim.stops.stopAt = row.x.stopAt;
        sim.files.writeLimit = row.x.writeLimit;
        sim.files.readLimit = row.x.readLimit;
        sim.files.failKeep = row.x.failKeep;
        sim.files.redirect["kcs.cfg"] = row.x.kcsCfg != nullptr ? cfg : scratchPath("no-such-kcs.cfg");
        sim.memory.failAbove = row.at == At::Huge ? 0x80000000 : row.x.memoryFailAbove;
        sim.console.input = "\n";
        auto* bmcConfig = sim.machine.bmc.module<bmc::ConfigModule>();
        bmcConfig->setConfiguration({configuration.begin(), configuration.end()});
        // Every row's jobs stay within the package's bytes; a configuration job
        // never touches the flash at all.
        static const std::vector<uint8_t> kNoFlash(kPackageBytes, 0xFF);
        sim.machine.bmc.shortenFlash(kPackageBytes);
        if (!config) {
            std::vector<uint8_t>& flash = sim.machine.bmc.flash();
            for (size_t i = 0; i < kDumpBytes; ++i) flash[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        const std::vector<uint8_t>& flash = config ? kNoFlash : sim.machine.bmc.flash();
        const std::string flashBefore(flash.begin(), flash.begin() + kPackageBytes);
        std::vector<std::string> args = row.args;
        for (std::string& a : args)
            if (a == "@") a = path;

        EXPECT_EQ(sim.run(args), row.result);
        expectGolden(row.golden, sim.after() + (row.x.log >= 0 ? requestLog(sim, row.x.log) : ""), path);
        EXPECT_EQ(sim.machine.bmc.coldResets(), row.coldResets);
        // The cold reset is the last request: a kernel IPMI driver may refuse
        // every request for 30 s after one.
        const std::vector<bmc::Request>& log = sim.machine.bmc.log();
        for (size_t i = 0; i + 1 < log.size(); ++i) EXPECT_FALSE(log[i].netFn == 0x06 && log[i].command == 0x02) << i;
        EXPECT_EQ(sim.files.openNow, 0);
        EXPECT_EQ(sim.memory.outstanding(), 0u);
        EXPECT_EQ(leftBeside(path), std::vector<std::string>{});
        EXPECT_EQ(readFile(decoy), older);  // a link at the name is never followed
        EXPECT_FALSE(sim.stops.held);
        // Whatever changes the BMC goes out while stops are held, and nothing else.
        if (update) {
            for (const uint8_t command : sim.stops.freeCommands)
                EXPECT_TRUE(command != 0x14 && command != 0x15 && command != 0x17) << int{command};
        } else {
            EXPECT_TRUE((config && !backup ? sim.stops.freeCommands : sim.stops.heldCommands).empty());
        }
        const bool succeeded = row.result.outcome == O::Succeeded;
        if (row.result.outcome == O::Interrupted && !update) {
            // A stopped configuration task is closed with one more request.
            EXPECT_EQ(sim.machine.bmc.exchanges(), row.x.stopAt + (config ? 1 : 0));
            if (config) {
                EXPECT_EQ(bmcConfig->finishRequests(), 1u);
            }
            if (dump && row.x.stopAt == 1) {
                EXPECT_LT(sim.machine.clock.nowUs(), 1000000u);  // no wait is sat out
            }
        }

        const std::string now(bmcConfig->configuration().begin(), bmcConfig->configuration().end());
        EXPECT_TRUE(now == (config && !backup && succeeded ? before : configuration));
        if (config) {
            EXPECT_FALSE(sim.machine.bmc.flashInUse());  // a configuration job leaves the flash alone
        }
        const std::string flashNow(flash.begin(), flash.begin() + kPackageBytes);
        struct stat st {};
        const bool there = lstat(path.c_str(), &st) == 0;
        if (update || (config && !backup)) {
            if (row.at != At::Huge) {
                EXPECT_TRUE(readFile(path) == before);  // never written
            }
            const size_t partLength = row.at == At::TwoChunks ? 0x100A : 100;
            if (row.x.flash == Flash::Updated) {
                EXPECT_TRUE(flashNow.substr(0x1000, partLength) == before.substr(0x1000, partLength));
            }
            if (row.x.flash == Flash::Updated || row.x.flash == Flash::FooterArea) {
                EXPECT_TRUE(flashNow.substr(0x8000) == before.substr(0x8000));
            }
            if (row.x.flash == Flash::Unchanged || !update) {
                EXPECT_TRUE(flashNow == flashBefore);
            }
        } else if (succeeded) {
            EXPECT_TRUE(readFile(path) ==
                        (dump ? flashBefore.substr(0, kDumpBytes) : configuration.substr(0, row.x.backedUp)));
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_mode & 07777, 0600u);
        } else {
            EXPECT_EQ(there, row.at == At::Older || row.at == At::Link);
            EXPECT_EQ(there && S_ISLNK(st.st_mode), row.at == At::Link);
            if (row.at == At::Older) {
                EXPECT_EQ(readFile(path), older);
            }
        }
        std::remove(path.c_str());
        std::remove(cfg.c_str());
    }
    std::remove(decoy.c_str());
}

INSTANTIATE_TEST_SUITE_P(Jobs, FaultMatrix, ::testing::Values("update", "dump", "backup", "restore"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace korvex::test
