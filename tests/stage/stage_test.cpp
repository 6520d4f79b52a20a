// korvex-stage against a fake machine: a root folder with /proc/self/mounts,
// /sys and a mounted ESP, and a fake efibootmgr on PATH that keeps its boot
// entries in files and records what it was asked.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "korvex-stage/stage.h"

namespace korvex::stage {
namespace {

namespace fs = std::filesystem;

// Entries live in $FAKE_EFI/entries ("NNNN label" lines), BootNext in
// $FAKE_EFI/next; each call is appended to $FAKE_EFI/calls and the load
// options of a new entry go to $FAKE_EFI/options-NNNN. $FAKE_EFI/fail-ARG
// makes the call whose first argument is ARG fail.
constexpr char kFakeEfibootmgr[] = R"sh(#!/bin/sh
s=$FAKE_EFI
echo "$*" >> "$s/calls"
if [ -e "$s/fail$1" ]; then echo "Could not prepare Boot variable: No space left on device" >&2; exit 5; fi
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

void put(const fs::path& path, const std::string& data) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

std::string get(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Outcome {
    int status;
    std::string out, err;
};

class StageTest : public ::testing::Test {
public:
    void SetUp() override {
        base = fs::temp_directory_path() / ("korvex-stage-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(base);
        root = base / "root";
        esp = root / "boot/efi/EFI/korvex";
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
        settings.root = root.string();
        settings.efiImage = (base / "Korvex.efi").string();
        settings.freeBytes = [this](const std::string&) { return freeBytes; };
        oldPath = std::getenv("PATH");
        ::setenv("PATH", ((base / "bin").string() + ":" + oldPath).c_str(), 1);
        ::setenv("FAKE_EFI", (base / "efi").c_str(), 1);
    }
    void TearDown() override {
        ::setenv("PATH", oldPath.c_str(), 1);
        fs::remove_all(base);
    }

    Outcome stage(std::vector<std::string> args) {
        char* outText = nullptr;
        char* errText = nullptr;
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
    std::string calls() { return get(base / "efi/calls"); }

    fs::path base, root, esp;
    Settings settings;
    uint64_t freeBytes = uint64_t{1} << 30;
    std::string oldPath;
};

// Every refusal says why on one line, stages nothing and makes no entry.
TEST_F(StageTest, RefusesClearlyAndLeavesNothing) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::function<void(StageTest&)> setup;
        int status;
        const char* message;
    };
    const std::string fw = (base / "fw.bin").string();
    const auto none = [](StageTest&) {};
    const auto noRoom = [](StageTest& t) { t.freeBytes = 20 << 20; };
    // clang-format off
    const Case cases[] = {
        {"not UEFI", {"-f", fw}, [](StageTest& t) { fs::remove_all(t.root / "sys/firmware/efi"); }, kNotStarted,
         "did not boot through UEFI"},
        {"no variables", {"-f", fw}, [](StageTest& t) { fs::remove_all(t.root / "sys/firmware/efi/efivars"); },
         kNotStarted, "efivarfs"},
        {"no ESP mounted", {"-f", fw},
         [](StageTest& t) { put(t.root / "proc/self/mounts", "/dev/vda2 / ext4 rw 0 0\n"); }, kNotStarted,
         "cannot find the EFI system partition"},
        {"--esp not FAT", {"--esp", "/data", "-f", fw}, none, kNotStarted, "/data is a ext4 file system"},
        {"ESP not a partition", {"-f", fw}, [](StageTest& t) { fs::remove(t.root / "sys/class/block/vda1"); },
         kNotStarted, "not a partition of a disk"},
        {"no room", {"-f", fw}, [](StageTest& t) { t.freeBytes = 1024 * 1024; }, kNotStarted,
         "has 1024 KiB free; the run needs 1029 KiB"},
        {"no room for a dump", {"-d", (base / "d.bin").string()}, noRoom, kNotStarted, "room for what the job writes"},
        {"command-line fault", {"-f", fw, "-x"}, none, kUsage, "runs no job"},
        {"USB path", {"-f", fw, "-i", "usb"}, none, kUsage, "-i usb waits for a key"},
        {"missing package", {"-f", (base / "none.bin").string()}, none, kUsage, "is not a file"},
        {"own name", {"-f", (base / "korvex.LOG").string()}, [](StageTest& t) { put(t.base / "korvex.LOG", "x"); },
         kUsage, "korvex-stage's own files"},
        {"FAT-illegal name", {"-f", (base / "a:b").string()}, [](StageTest& t) { put(t.base / "a:b", "x"); }, kUsage,
         "does not allow"},
        {"control character", {"-f", fw, "-u", "a\nb"}, none, kUsage, "control character"},
        {"line feed in the output's path", {"-d", (base / "a\nb/d.bin").string()},
         [](StageTest& t) { fs::create_directories(t.base / "a\nb"); }, kUsage, "holds a line feed"},
        {"unknown option", {"--bogus", "-f", fw}, none, kUsage, "unknown option --bogus"},
        {"efibootmgr fails", {"-f", fw}, [](StageTest& t) { put(t.base / "efi/fail-C", ""); }, kNotStarted,
         "efibootmgr failed (status 5): Could not prepare Boot variable"},
    };
    // clang-format on
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        c.setup(*this);
        const Outcome o = stage(c.args);
        EXPECT_EQ(o.status, c.status) << c.what;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << c.what << ": " << o.err;
        EXPECT_FALSE(fs::exists(esp / "korvex.staged") || fs::exists(esp / "fw.bin")) << c.what;
        EXPECT_EQ(get(base / "efi/entries"), "0001 UEFI Shell\n") << c.what;
        EXPECT_FALSE(fs::exists(base / "efi/next")) << c.what;
    }
}

TEST_F(StageTest, UpdateIsStagedRunAtTheBootAndReported) {
    put(esp / "korvex.result", "outcome=succeeded\nstatus=0\n");  // an earlier run's: must not count
    const Outcome staged = stage({"--reset", "-f", (base / "fw.bin").string(), "-r", "y"});
    ASSERT_EQ(staged.status, kSucceeded) << staged.err;
    EXPECT_EQ(get(esp / "Korvex.efi"), "MZ image");
    EXPECT_EQ(get(esp / "fw.bin"), std::string(5000, 'p'));
    EXPECT_FALSE(fs::exists(esp / "korvex.result"));
    EXPECT_NE(calls().find("-C -d /dev/vda -p 1 -L Korvex staged run -l \\EFI\\korvex\\Korvex.efi -@ -\n"),
              std::string::npos)
        << calls();
    EXPECT_EQ(get(base / "efi/options-0002"), loadOptions({"Korvex.efi", "--reset", "-f", "fw.bin", "-r", "y"}));
    EXPECT_EQ(get(base / "efi/next"), "0002\n");
    EXPECT_EQ(stage({"-f", (base / "fw.bin").string()}).status, kNotStarted) << "a second staging";

    const Outcome early = stage({"--report"});
    EXPECT_EQ(early.status, kNotStarted);
    EXPECT_NE(early.err.find("has not run yet"), std::string::npos) << early.err;

    bootRuns("banner\nKorvex.efi -f fw.bin -r y \n\rUpdate Complete\n", "outcome=refused-by-bmc\nstatus=3\n");
    const Outcome report = stage({"--report"});
    EXPECT_EQ(report.status, 3);
    EXPECT_EQ(report.out, "banner\nKorvex.efi -f fw.bin -r y \n\rUpdate Complete\n");
    EXPECT_NE(report.err.find("Korvex.efi -f fw.bin -r y: refused-by-bmc"), std::string::npos) << report.err;
    EXPECT_EQ(get(base / "efi/entries"), "0001 UEFI Shell\n");
    EXPECT_FALSE(fs::exists(esp / "fw.bin") || fs::exists(esp / "korvex.staged"));
    EXPECT_EQ(stage({"--report"}).status, kNotStarted) << "reported twice";
}

// A dump or backup comes back to the name given only when the run succeeded;
// a failed run leaves an existing file there as it was.
TEST_F(StageTest, OutputReturnsOnlyAfterSuccess) {
    const struct {
        const char* what;
        const char* log;     // nullptr: Korvex.efi never ran
        const char* result;  // "": none written
        int status;
        const char* kept;  // the destination afterwards
    } cases[] = {
        {"success", "log", "outcome=succeeded\nstatus=0\n", kSucceeded, "new dump"},
        {"failure", "log", "outcome=failed\nstatus=1\n", kFailed, "old dump"},
        {"no result", "log, cut short", "", kFailed, "old dump"},
        {"damaged result", "log", "outcome=succeeded\n", kFailed, "old dump"},
        {"never ran", nullptr, "", kNotStarted, "old dump"},
    };
    for (const auto& c : cases) {
        TearDown();
        SetUp();
        put(base / "out/dump.bin", "old dump");
        ASSERT_EQ(stage({"-d", (base / "out/dump.bin").string()}).status, kSucceeded) << c.what;
        EXPECT_EQ(get(base / "efi/options-0002"), loadOptions({"Korvex.efi", "-d", "dump.bin"}));
        if (c.log != nullptr) {
            bootRuns(c.log, c.result);
            put(esp / "dump.bin", "new dump");
        } else {
            fs::remove(base / "efi/next");
        }
        const Outcome report = stage({"--report"});
        EXPECT_EQ(report.status, c.status) << c.what << ": " << report.err;
        EXPECT_EQ(report.out, c.log != nullptr ? c.log : "") << c.what;
        EXPECT_EQ(get(base / "out/dump.bin"), c.kept) << c.what;
        EXPECT_EQ(get(base / "efi/entries"), "0001 UEFI Shell\n") << c.what;
    }
}

TEST_F(StageTest, CancelRemovesEntryAndFiles) {
    ASSERT_EQ(stage({"-c", "-f", (base / "fw.bin").string()}).status, kSucceeded);
    const Outcome o = stage({"--cancel"});
    EXPECT_EQ(o.status, kSucceeded) << o.err;
    EXPECT_FALSE(fs::exists(base / "efi/next") || fs::exists(esp / "fw.bin") || fs::exists(esp / "korvex.staged"));
    EXPECT_EQ(get(base / "efi/entries"), "0001 UEFI Shell\n");
}

}  // namespace
}  // namespace korvex::stage
