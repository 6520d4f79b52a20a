// korvex-stage against a fake machine: a root folder with /proc/self/mounts,
// /sys and a mounted ESP, and a fake efibootmgr on PATH that keeps its boot
// entries in files and records what it was asked.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "korvex-stage/stage.h"
#include "support/capture.h"

namespace korvex::stage {
namespace {

namespace fs = std::filesystem;

// Entries live in $FAKE_EFI/entries ("NNNN label" lines), BootNext in
// $FAKE_EFI/next; each call is appended to $FAKE_EFI/calls and the load
// options of a new entry go to $FAKE_EFI/options-NNNN. $FAKE_EFI/fail-ARG
// makes the call whose first argument is ARG fail, $FAKE_EFI/kill-ARG die
// of SIGKILL.
constexpr char kFakeEfibootmgr[] = R"sh(#!/bin/sh
s=$FAKE_EFI
echo "$*" >> "$s/calls"
if [ -e "$s/fail$1" ]; then echo "Could not prepare Boot variable: No space left on device" >&2; exit 5; fi
[ -e "$s/kill$1" ] && kill -9 $$
case "$1" in
  -C) n=$(printf '%04X' $(( $(wc -l < "$s/entries") + 1 )))
      while [ "$1" != -L ]; do shift; done
      echo "$n $2" >> "$s/entries"; cat > "$s/options-$n" ;;
  -n) echo "$2" > "$s/next" ;;
  -N) rm -f "$s/next" ;;
  -b) grep -v "^$2 " "$s/entries" > "$s/e"; mv "$s/e" "$s/entries" ;;
esac
[ -e "$s/next" ] && echo "BootNext: $(cat "$s/next")"
echo "BootCurrent: 0001"
while read -r n label; do printf 'Boot%s* %s\tHD(1,GPT,x)/File(\\x.efi)\n' "$n" "$label"; done < "$s/entries"
)sh";

using test::readFile;

void put(const fs::path& path, const std::string& data) {
    fs::create_directories(path.parent_path());
    test::writeFile(path, data);
}

struct Outcome {
    int status;
    std::string out, err;
};

class StageTest : public ::testing::Test {
public:
    void SetUp() override {
        oldPath = std::getenv("PATH");
        ::setenv("PATH", ((base / "bin").string() + ":" + oldPath).c_str(), 1);
        ::setenv("FAKE_EFI", (base / "efi").c_str(), 1);
        settings.root = root.string();
        settings.efiImage = (base / "Korvex.efi").string();
        settings.freeBytes = [this](const std::string&) { return freeBytes; };
        machine();
    }
    void TearDown() override {
        ::setenv("PATH", oldPath.c_str(), 1);
        fs::remove_all(base);
    }
    // A fresh machine: its mounts, its EFI variables, the ESP's partition and the UEFI Shell's boot entry.
    void machine() {
        fs::remove_all(base);
        freeBytes = uint64_t{1} << 30;
        put(root / "proc/self/mounts",
            "/dev/vda2 / ext4 rw 0 0\n/dev/vda1 /boot/efi vfat rw 0 0\n/dev/vdb1 /data ext4 rw 0 0\n");
        put(root / "sys/firmware/efi/efivars/BootOrder-8be4df61-93ca-11d2-aa0d-00e098032b8c", "x");
        put(root / "sys/devices/pci0/virtio1/block/vda/vda1/partition", "1\n");
        fs::create_directories(root / "sys/class/block");
        fs::create_directory_symlink("../../devices/pci0/virtio1/block/vda/vda1", root / "sys/class/block/vda1");
        fs::create_directories(root / "boot/efi");
        put(base / "efi/entries", "0001 UEFI Shell\n");
        put(base / "bin/efibootmgr", kFakeEfibootmgr);
        fs::permissions(base / "bin/efibootmgr", fs::perms::owner_all);
        put(base / "Korvex.efi", "MZ image");
        put(base / "fw.bin", std::string(5000, 'p'));
    }
    Outcome stage(std::vector<std::string> args) {
        char *outText = nullptr, *errText = nullptr;
        size_t outSize = 0, errSize = 0;
        FILE* out = ::open_memstream(&outText, &outSize);
        FILE* err = ::open_memstream(&errText, &errSize);
        const int status = run(settings, args, out, err);
        std::fclose(out);
        std::fclose(err);
        Outcome o{status, std::string(outText, outSize), std::string(errText, errSize)};
        std::free(outText);
        std::free(errText);
        return o;
    }
    // What Korvex.efi leaves after its run at the boot.
    void bootRuns(const std::string& log, const std::string& result) {
        fs::remove(base / "efi/next");
        put(esp / "korvex.log", log);
        if (!result.empty()) put(esp / "korvex.result", result);
    }
    // Nothing staged, no entry of ours, no BootNext.
    bool clean() {
        return !fs::exists(esp / "korvex.staged") && !fs::exists(esp / "fw.bin") && !fs::exists(base / "efi/next") &&
               readFile(base / "efi/entries") == "0001 UEFI Shell\n";
    }

    const fs::path base = fs::temp_directory_path() / ("korvex-stage-" + std::to_string(::getpid()));
    const fs::path root = base / "root", esp = root / "boot/efi/EFI/korvex";
    Settings settings;
    uint64_t freeBytes = 0;
    std::string oldPath;
};

// Every refusal says why on one line, stages nothing and makes no entry.
TEST_F(StageTest, RefusesClearlyAndLeavesNothing) {
    using Setup = std::function<void(StageTest&)>;
    const std::string fw = (base / "fw.bin").string();
    const auto file = [](const char* name) { return [name](StageTest& t) { put(t.base / name, "x"); }; };
    const auto gone = [](const char* path) { return [path](StageTest& t) { fs::remove_all(t.root / path); }; };
    // clang-format off
    const struct {
        std::vector<std::string> args;
        Setup setup;
        int status;
        const char* message;
    } cases[] = {
        {{"-f", fw}, gone("sys/firmware/efi"), kNotStarted, "did not boot through UEFI"},
        {{"-f", fw}, gone("sys/firmware/efi/efivars"), kNotStarted, "efivarfs"},
        {{"-f", fw}, [](StageTest& t) { put(t.root / "proc/self/mounts", "/dev/vda2 / ext4 rw 0 0\n"); }, kNotStarted,
         "cannot find the EFI system partition"},
        // A mount point as /proc/self/mounts escapes it, on its last line without a line feed.
        {{"--esp", "/data", "-f", fw},
         [](StageTest& t) { put(t.root / "proc/self/mounts", "/dev/vdb1 /d\\141ta ext4 rw 0 0"); }, kNotStarted,
         "/data is a ext4 file system"},
        {{"-f", fw}, gone("sys/class/block/vda1"), kNotStarted, "not a partition of a disk"},
        {{"-f", fw}, [](StageTest& t) { t.freeBytes = 1024 * 1024; }, kNotStarted,
         "has 1024 KiB free; the run needs 1029 KiB"},
        {{"-d", (base / "d.bin").string()}, [](StageTest& t) { t.freeBytes = 20 << 20; }, kNotStarted,
         "room for what the job writes"},
        {{"-f", fw, "-x"}, {}, kUsage, "runs no job"},
        {{"-f", fw, "-i", "usb"}, {}, kUsage, "-i usb waits for a key"},
        {{"-f", (base / "none.bin").string()}, {}, kUsage, "is not a file"},
        {{"-f", (base / "korvex.LOG").string()}, file("korvex.LOG"), kUsage, "korvex-stage's own files"},
        {{"-f", (base / "a:b").string()}, file("a:b"), kUsage, "does not allow"},
        {{"-f", fw, "-u", "a\nb"}, {}, kUsage, "control character"},
        {{"-d", (base / "a\nb/d.bin").string()}, file("a\nb/x"), kUsage, "holds a line feed"},
        {{"--bogus", "-f", fw}, {}, kUsage, "unknown option --bogus"},
        {{"-f", fw}, file("efi/fail-C"), kNotStarted, "efibootmgr failed (status 5): Could not prepare Boot variable"},
        {{"-f", fw}, file("efi/kill-C"), kNotStarted, "efibootmgr failed (status 137)"},
    };
    // clang-format on
    for (const auto& c : cases) {
        machine();
        if (c.setup) c.setup(*this);
        const Outcome o = stage(c.args);
        EXPECT_TRUE(o.status == c.status && o.err.find(c.message) != std::string::npos && clean()) << o.err;
    }
}

TEST_F(StageTest, UpdateIsStagedRunAtTheBootAndReported) {
    put(esp / "korvex.result", "outcome=succeeded\nstatus=0\n");  // an earlier run's: must not count
    const Outcome staged = stage({"--reset", "-f", (base / "fw.bin").string(), "-r", "y"});
    ASSERT_EQ(staged.status, kSucceeded) << staged.err;
    EXPECT_EQ(readFile(esp / "Korvex.efi") + readFile(esp / "fw.bin"), "MZ image" + std::string(5000, 'p'));
    EXPECT_FALSE(fs::exists(esp / "korvex.result"));
    EXPECT_EQ(readFile(base / "efi/calls"),
              "\n-C -d /dev/vda -p 1 -L Korvex staged run -l \\EFI\\korvex\\Korvex.efi -@ -\n\n-n 0002\n");
    EXPECT_EQ(readFile(base / "efi/options-0002"), loadOptions({"Korvex.efi", "--reset", "-f", "fw.bin", "-r", "y"}));
    EXPECT_EQ(readFile(base / "efi/next"), "0002\n");
    EXPECT_EQ(stage({"-f", (base / "fw.bin").string()}).status, kNotStarted) << "a second staging";
    const Outcome early = stage({"--report"});
    EXPECT_TRUE(early.status == kNotStarted && early.err.find("has not run yet") != std::string::npos) << early.err;

    bootRuns("banner\nKorvex.efi -f fw.bin -r y \n\rUpdate Complete\n", "outcome=refused-by-bmc\nstatus=3\n");
    const Outcome report = stage({"--report"});
    EXPECT_EQ(report.status, 3);
    EXPECT_EQ(report.out, "banner\nKorvex.efi -f fw.bin -r y \n\rUpdate Complete\n");
    EXPECT_NE(report.err.find("Korvex.efi -f fw.bin -r y: refused-by-bmc"), std::string::npos) << report.err;
    EXPECT_TRUE(clean());
    EXPECT_EQ(stage({"--report"}).status, kNotStarted) << "reported twice";

    ASSERT_EQ(stage({"-c", "-f", (base / "fw.bin").string()}).status, kSucceeded);
    EXPECT_EQ(stage({"--cancel"}).status, kSucceeded);
    EXPECT_TRUE(clean());
}

// A dump or backup comes back to the name given only when the run succeeded;
// a failed run leaves an existing file there as it was.
TEST_F(StageTest, OutputReturnsOnlyAfterSuccess) {
    const struct {
        const char* log;     // nullptr: Korvex.efi never ran
        const char* result;  // "": none written
        int status;
        const char* kept;  // the destination afterwards
    } cases[] = {
        {"log", "outcome=succeeded\nstatus=0\n", kSucceeded, "new dump"},
        {"log", "outcome=failed\nstatus=1\n", kFailed, "old dump"},
        {"log, cut short", "", kFailed, "old dump"},
        {"log", "outcome=succeeded\n", kFailed, "old dump"},
        {"log", "outcome=succeeded\nstatus=1\n", kFailed, "old dump"},
        {"log", "outcome=succeeded\nstatus=0\nmore\n", kFailed, "old dump"},
        {nullptr, "", kNotStarted, "old dump"},
    };
    for (const auto& c : cases) {
        machine();
        put(base / "out/dump.bin", "old dump");
        ASSERT_EQ(stage({"-d", (base / "out/dump.bin").string()}).status, kSucceeded);
        EXPECT_EQ(readFile(base / "efi/options-0002"), loadOptions({"Korvex.efi", "-d", "dump.bin"}));
        fs::remove(base / "efi/next");
        if (c.log != nullptr) bootRuns(c.log, c.result);
        if (c.log != nullptr) put(esp / "dump.bin", "new dump");
        const Outcome report = stage({"--report"});
        EXPECT_EQ(std::tuple(report.status, report.out, readFile(base / "out/dump.bin"), clean()),
                  std::tuple(c.status, c.log != nullptr ? c.log : "", c.kept, true))
            << c.result << report.err;
    }
}

}  // namespace
}  // namespace korvex::stage
