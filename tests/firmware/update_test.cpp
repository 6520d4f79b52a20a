// The update job against the simulated BMC's update side, through the
// loopback transport: what the console shows, what the BMC receives and
// holds in its flash, and what the job leaves behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "bmc/update_module.h"
#include "firmware/package_builder.h"
#include "firmware/update.h"
#include "support/capture.h"
#include "support/loopback.h"

namespace korvex::test {
namespace {

constexpr size_t kFlash = 0x2000000;
constexpr uint8_t kCmdReceiveFWData = 0x15;

const std::string kCheck = "Check if this file is valid................\n";
const std::string kTryAgain = "If the FW update fails,PLEASE TRY AGAIN\n";
const std::string kWaitAc = "\n\n\nIf the FW update fails. PLEASE WAIT 5 MINS AND REMOVE THE AC...\n";
const std::string kProgressDone =
    "new firmware is updating...25%\rnew firmware is updating...50%\rnew firmware is updating...75%\r"
    "new firmware is updating...100%\r";
const std::string kComplete = "\nUpdate Complete,Please wait for BMC reboot, about 1 min                       \n";
const std::string kResetOk = "Execute Cold Reset Success\n";
const std::string kRefuse = "Please select the correct image file and try again.\n";

// Files that count how often they were closed, and can be made to run dry.
class WatchedFiles final : public FileSystem {
public:
    File* open(const char* name, const char* mode) override {
        File* f = inner_.open(name, mode);
        if (f == nullptr) return nullptr;
        ++opened;
        return new Watched(f, *this);
    }
    int opened = 0;
    int closed = 0;
    size_t readLimit = SIZE_MAX;  // bytes a file hands out before its reads yield nothing

private:
    class Watched final : public File {
    public:
        Watched(File* f, WatchedFiles& owner) : f_(f), owner_(owner) {}
        size_t read(void* b, size_t n) override {
            if (given_ >= owner_.readLimit) return 0;
            const size_t got = f_->read(b, std::min(n, owner_.readLimit - given_));
            given_ += got;
            return got;
        }
        size_t write(const void* d, size_t n) override { return f_->write(d, n); }
        int seek(int64_t o, SeekFrom w) override { return f_->seek(o, w); }
        int64_t tell() override { return f_->tell(); }
        int flush() override { return f_->flush(); }
        bool eof() override { return f_->eof(); }
        bool error() override { return f_->error(); }
        int close() override {
            ++owner_.closed;
            int rc = f_->close();
            delete this;
            return rc;
        }

    private:
        File* f_;
        WatchedFiles& owner_;
        size_t given_ = 0;
    };
    hosted::StdioFileSystem inner_;
};

// One run of the update job against a fresh simulated BMC.
struct Rig {
    CaptureConsole console;
    WatchedFiles files;
    CountingMemory memory;
    bmc::SimMachine machine{console, files, memory};
    LoopbackTransport transport{machine.bmc};
    std::string path;

    explicit Rig(const std::vector<std::string>& bmcOptions = {}) {
        machine.bmc.keepLog(true);
        for (const std::string& o : bmcOptions) {
            std::string error;
            EXPECT_TRUE(machine.applyOption(o, &error)) << error;
        }
        path = scratchPath("package.bin");
    }
    ~Rig() { std::remove(path.c_str()); }

    void package(const Bytes& bytes) { writeFile(path, std::string(bytes.begin(), bytes.end())); }
    int kcs(uint8_t preserve = 1) { return runKcsUpdate(machine.platform(), transport, path.c_str(), preserve); }
    int usb(uint8_t preserve = 1) { return runUsbUpdate(machine.platform(), transport, path.c_str(), preserve); }
    bmc::UpdateModule& module() { return *machine.bmc.module<bmc::UpdateModule>(); }
    uint64_t resets() const { return machine.bmc.coldResets(); }

    // Data lengths and flags of the ReceiveFWData requests, in order.
    std::vector<std::pair<size_t, int>> chunks() const {
        std::vector<std::pair<size_t, int>> c;
        for (const auto& r : machine.bmc.log())
            if (r.command == kCmdReceiveFWData) c.emplace_back(r.data.size() - 1, r.data[0]);
        return c;
    }
};

std::string okLine(int part, long length) {
    char line[100];
    std::snprintf(line, sizeof line, "Load part %d %8ld bytes, [Ok]                       \r\n", part, length);
    return line;
}

// A small package with its footer in the second block: parts at 0x10000 and
// 0x20000, then the footer area part for block 0x8000.
PackageBuilder smallPackage(size_t aLength = 100, size_t bLength = 30) {
    PackageBuilder b(0x30000);
    b.part("a.bin", 0x10000, patternBytes(aLength, 1)).part("b.bin", 0x20000, patternBytes(bLength, 2));
    b.plainFooter(0x8000);
    return b;
}

TEST(KcsUpdate, FlashHoldsEveryPartAtItsOffsetAndNothingElse) {
    PackageBuilder b(kFlash);
    b.signature(0x30, "korvex-fw-1.0");
    b.part("boot.bin", 0x1000, patternBytes(0x12345, 3))
        .part("kernel.bin", 0x100000, patternBytes(0x30000, 4))
        .part("out_webfs_img.bin", 0x800000, patternBytes(1000, 5));
    b.encipheredFooterAt(0x1FC0000);
    Rig rig;
    rig.package(b.bytes);
    ASSERT_EQ(rig.kcs(0), 0);

    Bytes expected(kFlash, 0xFF);
    auto copy = [&](uint64_t at, uint64_t n) {
        std::copy(b.bytes.begin() + at, b.bytes.begin() + at + n, expected.begin() + at);
    };
    copy(0x1000, 0x12345);
    copy(0x100000, 0x30000);
    copy(0x800000, 1000 + 13 + 23);  // the tool sends the name's length and 23 bytes more
    copy(0x1FC0000, 0x40000);
    EXPECT_TRUE(rig.module().flash() == expected);

    ASSERT_EQ(rig.module().blocks().size(), 4u);
    const auto& blocks = rig.module().blocks();
    EXPECT_EQ(blocks[2].length, 1036u);
    EXPECT_EQ(blocks[3].startOffset, 0x1FC0000u);
    EXPECT_EQ(blocks[3].areaLength, 0x40000u);
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].index, i);
        EXPECT_EQ(blocks[i].count, 4);
        EXPECT_EQ(blocks[i].bytesReceived, blocks[i].length);
    }
    EXPECT_EQ(rig.module().preserveFlags(), Bytes{0});
    EXPECT_EQ(rig.resets(), 0u);
    EXPECT_EQ(rig.transport.closes, 1);
    EXPECT_EQ(rig.files.closed, rig.files.opened);
    EXPECT_EQ(rig.memory.outstanding(), 0u);

    const std::string& t = rig.console.text;
    const std::string head =
        kCheck + "[find_respective_image_info:788] Unique File name=korvex-fw-1.0 len=13\n" + kTryAgain +
        "Load part 0    74565 bytes,     1K bytes   1%\r";
    EXPECT_EQ(t.substr(0, head.size()), head);
    EXPECT_NE(t.find(okLine(0, 0x12345) + "Load part 1   196608 bytes,     1K bytes   1%\r"), std::string::npos);
    EXPECT_NE(t.find(okLine(3, 0x40000) + kWaitAc + kProgressDone + kComplete), std::string::npos);
    EXPECT_EQ(t.size() - t.rfind(kComplete), kComplete.size());
}

TEST(KcsUpdate, SmallPartsGoOutInTheRightChunks) {
    struct Case {
        size_t length;
        std::vector<std::pair<size_t, int>> chunks;
        bool progress;
    } cases[] = {
        {0, {{0, 1}}, false},
        {10, {{10, 1}}, false},
        {48, {{48, 1}}, false},
        {49, {{49, 0}, {0, 1}}, true},
        {98, {{49, 0}, {49, 1}}, true},
        {99, {{49, 0}, {49, 0}, {1, 1}}, true},
    };
    for (const Case& c : cases) {
        PackageBuilder b(0x10000);
        b.part("p", 0x100, patternBytes(c.length, 7));
        b.plainFooter(0x8000);
        Rig rig;
        rig.package(b.bytes);
        ASSERT_EQ(rig.kcs(), 0) << c.length;
        auto chunks = rig.chunks();
        chunks.resize(c.chunks.size());  // the footer area part follows
        EXPECT_EQ(chunks, c.chunks) << c.length;
        const std::string firstPart = rig.console.text.substr(0, rig.console.text.find(okLine(0, c.length)));
        EXPECT_EQ(firstPart.find("Load part 0"), c.progress ? firstPart.find("Load part 0 ") : std::string::npos)
            << c.length;
        EXPECT_TRUE(std::equal(b.bytes.begin() + 0x100, b.bytes.begin() + 0x100 + c.length,
                               rig.module().flash().begin() + 0x100))
            << c.length;
    }
}

TEST(KcsUpdate, TenThousandBytePartShowsTwentyProgressLines) {
    PackageBuilder b(0x10000);
    b.part("p", 0x1000, patternBytes(10000, 8));
    b.plainFooter(0x8000);
    Rig rig;
    rig.package(b.bytes);
    ASSERT_EQ(rig.kcs(), 0);
    std::string expected = kCheck + kTryAgain;
    for (int pct = 0; pct < 100; pct += 5) {
        // The line appears at the first chunk whose total reaches the percentage.
        uint64_t sent = 49;
        while (sent * 100 / 10000 < static_cast<uint64_t>(pct)) sent += 49;
        char line[100];
        std::snprintf(line, sizeof line, "Load part 0    10000 bytes, %5luK bytes   %d%%\r",
                      static_cast<unsigned long>(sent / 1024 + 1), pct + 1);
        expected += line;
    }
    expected += okLine(0, 10000);
    EXPECT_EQ(rig.console.text.substr(0, expected.size()), expected);
    EXPECT_NE(expected.find("Load part 0    10000 bytes,     1K bytes   1%\r"), std::string::npos);
    EXPECT_NE(expected.find("Load part 0    10000 bytes,    10K bytes   96%\r"), std::string::npos);
    const auto chunks = rig.chunks();
    EXPECT_EQ(std::count(chunks.begin(), chunks.begin() + 205, std::make_pair(size_t{49}, 0)), 204);
    EXPECT_EQ(chunks[204], std::make_pair(size_t{4}, 1));
}

TEST(KcsUpdate, PartBeyondTheFileEndIsSentAsErasedBytes) {
    // A 0x9000-byte package: the footer area part from 0x8000 runs 0x40000
    // bytes, of which only 0x1000 are in the file.
    PackageBuilder b(0x9000);
    b.part("p", 0x100, patternBytes(200, 9));
    b.plainFooter(0x8000);
    Rig rig;
    rig.package(b.bytes);
    ASSERT_EQ(rig.kcs(), 0);
    EXPECT_EQ(rig.module().blocks()[1].bytesReceived, 0x40000u);
    EXPECT_TRUE(std::equal(b.bytes.begin() + 0x8000, b.bytes.end(), rig.module().flash().begin() + 0x8000));
}

struct FailureRow {
    const char* name;
    std::vector<std::string> bmc;
    std::function<void(PackageBuilder&)> build;  // changes the small package; may be empty
    std::function<void(Rig&)> setup;             // after the package is written; may be empty
    std::string messages;                                // the console text, in full
    uint64_t resets;
    int result;
};

std::string ok3() { return okLine(0, 100) + okLine(1, 30); }

std::string footerAreaProgress() {
    std::string s;
    for (int pct = 0; pct < 100; pct += 5) {
        uint64_t sent = 49;
        while (sent * 100 / 0x40000 < static_cast<uint64_t>(pct)) sent += 49;
        char line[100];
        std::snprintf(line, sizeof line, "Load part 2   262144 bytes, %5luK bytes   %d%%\r",
                      static_cast<unsigned long>(sent / 1024 + 1), pct + 1);
        s += line;
    }
    return s;
}

TEST(KcsUpdate, FailureRowsPrintTheirMessagesResetAndEnd) {
    const std::string transfer = ok3() + footerAreaProgress() + okLine(2, 0x40000);
    const std::string warning =
        "\x3F\xC5\x93Warning!\nAnother user is updating!\nPlease wait for the BMC to restart!\x3F\xEF\xBF\xBD\x0A";
    const std::string infoFailed =
        "ERROR:SEND \"GetFWUpdateInfo\" COMMAND TO BMC FAILED\nREBOOTING THE BMC ...\n" + kResetOk;
    const std::string dataFailed = "ERROR:SEND \"ReceiveFWData\" COMMAND TO BMC FAILED\n" + kResetOk;
    const std::string stuck = [] {
        std::string s;
        for (int i = 0; i < 3600; ++i) s += "new firmware is updating...99%\r";
        return s;
    }();
    const FailureRow rows[] = {
        {"package does not open", {}, nullptr, [](Rig& r) { r.path += ".missing"; },
         "ERROR: OPEN BINARY FILE FAILED\n\n", 0, -1},
        {"another user is updating", {"--bmc-fault=cc:0x3e:0x16:0xdf"}, nullptr, nullptr, warning, 0, -1},
        {"update info answered 0xC0", {"--bmc-fault=cc:0x3e:0x16:0xc0"}, nullptr, nullptr, infoFailed, 1, -1},
        {"update info exchange fails", {"--bmc-fault=drop:0x16"}, nullptr, nullptr, infoFailed, 1, -1},
        {"update info without its state byte", {"--bmc-fault=nodata:0x16"}, nullptr, nullptr, infoFailed, 1, -1},
        {"update info not supported: state 1", {"--bmc-fault=cc:0x3e:0x16:0xc1"}, nullptr, nullptr,
         "The image format error!!\n" + kRefuse + kResetOk, 1, -1},
        {"update state 0x12 counts whole", {"--bmc-update-state=0x12"}, nullptr, nullptr,
         "The image format error!!\n" + kRefuse + kResetOk, 1, -1},
        {"update state 0 and no plain marker", {"--bmc-update-state=0"},
         [](PackageBuilder& b) {
             b = PackageBuilder(0x30000);
             b.part("a", 0x10000, patternBytes(100, 1)).encipheredFooterAt(0x8000);
         },
         nullptr,
         kRefuse + kResetOk, 1, -1},
        {"block buffer not obtained", {}, nullptr, [](Rig& r) { r.memory.failAbove = 0x7FFF; },
         "ERROR: ALLOCATE MEMORY FOR THIS PROGRAM FAILED,PLEASE CHECK THE MEMORY USAGE\n", 0, -1},
        {"memory test fails", {}, nullptr, [](Rig& r) { r.memory.failAbove = 0x8000; },
         "malloc memory buffer failed!!\n" + kResetOk, 1, -1},
        {"empty package", {}, [](PackageBuilder& b) { b.bytes.clear(); }, nullptr,
         "malloc memory buffer failed!!\n" + kResetOk, 1, -1},
        {"no footer", {}, [](PackageBuilder& b) { b = PackageBuilder(0x30000); }, nullptr,
         kCheck + "Error!\nUpdate package type mismatch!\nPlease select the correct type and try again!\n" + kResetOk,
         1, -1},
        {"first chunk exchange fails", {"--bmc-fault=drop:0x15:1"}, nullptr, nullptr, kCheck + kTryAgain + dataFailed, 1, -1},
        {"last chunk exchange fails", {"--bmc-fault=drop:0x15:3"}, nullptr, nullptr,
         kCheck + kTryAgain + dataFailed, 1, -1},  // 100 bytes: 49 + 49 + 2, no percentage a multiple of 5
        {"verdict 1", {"--bmc-fault=verdict:1"}, nullptr, nullptr,
         kCheck + kTryAgain + okLine(0, 100) + "Error!\nUpdate package verification failed!\n" + kResetOk, 1, -1},
        {"verdict 2 on the second part", {"--bmc-fault=verdict:2:1"}, nullptr, nullptr,
         kCheck + kTryAgain + ok3() + "Error!\nCan't downgrade to this update package version!\n" + kResetOk, 1, -1},
        {"verdict 0", {"--bmc-fault=verdict:0"}, nullptr, nullptr,
         kCheck + kTryAgain + okLine(0, 100) +
             "Error!\nThis update package is not compatible with your system configuration.\n" + kResetOk,
         1, -1},
        {"verdict 200", {"--bmc-fault=verdict:200"}, nullptr, nullptr,
         kCheck + kTryAgain + okLine(0, 100) +
             "Error!\nThis update package is not compatible with your system configuration.\n" + kResetOk,
         1, -1},
        {"rejection without its verdict byte", {"--bmc-fault=verdict:1", "--bmc-fault=nodata:0x15"}, nullptr, nullptr,
         kCheck + kTryAgain + okLine(0, 100) +
             "Error!\nThis update package is not compatible with your system configuration.\n" + kResetOk,
         1, -1},
        {"progress never reaches 100", {"--bmc-fault=progress:99"}, nullptr, nullptr,
         kCheck + kTryAgain + transfer + kWaitAc + stuck +
             "\nError!\nThe BMC did not report the end of the firmware update!\n",
         0, -1},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        PackageBuilder b = smallPackage();
        Rig rig(row.bmc);
        if (row.build) row.build(b);
        rig.package(b.bytes);
        if (row.setup) row.setup(rig);
        EXPECT_EQ(rig.kcs(), row.result);
        EXPECT_EQ(rig.console.text, row.messages);
        EXPECT_EQ(rig.resets(), row.resets);
        EXPECT_EQ(rig.files.closed, rig.files.opened);
        EXPECT_EQ(rig.memory.outstanding(), 0u);
        EXPECT_EQ(rig.transport.closes, 0);
    }
}

TEST(KcsUpdate, TroublesTheJobRidesOut) {
    struct Row {
        const char* name;
        std::vector<std::string> bmc;
        std::string mustShow;
        size_t times;
    } rows[] = {
        {"failing sendBlockInfo: each part still sent", {"--bmc-fault=drop:0x14"}, "sendBlockInfo fail...\n", 3},
        {"0xCD on a full chunk is ignored", {"--bmc-fault=cc:0x3e:0x15:0xcd:1"}, okLine(0, 100), 1},
        {"0xC0 on sendBlockInfo is ignored", {"--bmc-fault=cc:0x3e:0x14:0xc0"}, kComplete, 1},
        {"a failed progress poll shows 0", {"--bmc-fault=drop:0x17:1"}, "new firmware is updating...0%\r", 1},
        {"a progress answer without data shows 0", {"--bmc-fault=cc:0x3e:0x17:0xc0:2"},
         "new firmware is updating...0%\r", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig(row.bmc);
        rig.package(smallPackage().bytes);
        EXPECT_EQ(rig.kcs(), 0);
        size_t n = 0;
        for (size_t at = rig.console.text.find(row.mustShow); at != std::string::npos;
             at = rig.console.text.find(row.mustShow, at + 1))
            ++n;
        EXPECT_EQ(n, row.times);
        EXPECT_EQ(rig.console.text.size() - rig.console.text.rfind(kComplete), kComplete.size());
        EXPECT_EQ(rig.resets(), 0u);
    }
}

TEST(KcsUpdate, ProgressAbove100DoesNotEndThePoll) {
    Rig rig({"--bmc-fault=progress:101"});
    rig.package(smallPackage().bytes);
    EXPECT_EQ(rig.kcs(), -1);
    EXPECT_EQ(rig.machine.bmc.count(0x3E, 0x17), 3600u);
    EXPECT_GE(rig.machine.clock.nowUs(), 3600u * 1000000u);  // a 1 s pause before each poll
}

TEST(KcsUpdate, PreserveFlagGoesOutAsGiven) {
    for (uint8_t flag : {0, 1}) {
        Rig rig;
        rig.package(smallPackage().bytes);
        rig.kcs(flag);
        EXPECT_EQ(rig.module().preserveFlags(), Bytes{flag});
    }
}

TEST(UsbUpdate, ReadsButSendsNothing) {
    struct Row {
        const char* name;
        std::vector<std::string> bmc;
        size_t size;
        std::string messages;  // after the key prompt
    } rows[] = {
        {"state 0x12 reads as 2", {"--bmc-update-state=0x12"}, kFlash,
         "[find_respective_image_info:788] Unique File name=usb-fw len=6\n" + kTryAgain +
             "Transfer data ................\nFWUpdate fail\n"},
        {"state 1 skips the look", {"--bmc-update-state=1"}, kFlash,
         kTryAgain + "Transfer data ................\nFWUpdate fail\n"},
        {"0xC0 changes nothing", {"--bmc-fault=cc:0x3e:0x0d:0xc0"}, kFlash,
         kTryAgain + "Transfer data ................\nFWUpdate fail\n"},
        {"wrong size", {}, kFlash - 1, "the file size of the firmware image is not correct!\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PackageBuilder b(row.size);
        b.signature(0x40, "usb-fw");
        Rig rig(row.bmc);
        rig.console.input = "x";
        rig.package(b.bytes);
        EXPECT_EQ(rig.usb(), 0);
        EXPECT_EQ(rig.console.text, "Press any to continue name " + rig.path + "\n" + row.messages);
        EXPECT_EQ(rig.console.inputPos, 1u);
        EXPECT_EQ(rig.machine.bmc.exchanges(), row.size == kFlash ? 1u : 0u);
        EXPECT_EQ(rig.files.closed, rig.files.opened);
        EXPECT_EQ(rig.memory.outstanding(), 0u);
    }
}

TEST(UsbUpdate, ReadingLoopEndsWhenTheFileRunsDry) {
    Rig rig({"--bmc-update-state=1"});
    rig.package(PackageBuilder(kFlash).bytes);
    rig.files.readLimit = 0x10000;
    EXPECT_EQ(rig.usb(), 0);
    EXPECT_NE(rig.console.text.find("Transfer data ................\nERROR: READ BINARY FILE FAILED\n\nFWUpdate fail\n"),
              std::string::npos);
    EXPECT_EQ(rig.files.closed, 1);
    EXPECT_EQ(rig.memory.outstanding(), 0u);
}

TEST(UsbUpdate, BufferNotObtained) {
    Rig rig;
    rig.package(PackageBuilder(kFlash).bytes);
    rig.memory.failAbove = kFlash - 1;
    EXPECT_EQ(rig.usb(), 0);
    EXPECT_NE(rig.console.text.find("\nmalloc memory buffer failed!\n"), std::string::npos);
    EXPECT_EQ(rig.machine.bmc.exchanges(), 0u);
    EXPECT_EQ(rig.files.closed, 1);
}

}  // namespace
}  // namespace korvex::test

namespace korvex::test {
namespace {

TEST(SimBmcUpdateSide, FlashKnobsLoadAndSave) {
    const std::string in = scratchPath("flash-in.bin");
    const std::string out = scratchPath("flash-out.bin");
    writeFile(in, "\x01\x02\x03");
    bmc::SimBmc bmc;
    std::string error;
    ASSERT_TRUE(bmc.applyOption("--bmc-flash=" + in, &error)) << error;
    ASSERT_TRUE(bmc.applyOption("--bmc-save-flash=" + out, &error)) << error;
    const auto& flash = bmc.module<bmc::UpdateModule>()->flash();
    EXPECT_EQ(flash.size(), 0x2000000u);
    EXPECT_EQ(flash[0], 1);
    EXPECT_EQ(flash[2], 3);
    EXPECT_EQ(flash[3], 0xFF);
    ASSERT_TRUE(bmc.finish(&error)) << error;
    const std::string saved = readFile(out);
    EXPECT_EQ(saved.size(), 0x2000000u);
    EXPECT_EQ(saved.substr(0, 4), "\x01\x02\x03\xFF");
    std::remove(in.c_str());
    std::remove(out.c_str());
}

TEST(SimBmcUpdateSide, BadKnobsAreRefused) {
    for (const char* option : {"--bmc-update-state=256", "--bmc-update-state=x", "--bmc-flash=/nonexistent/flash",
                               "--bmc-save-flash=", "--bmc-fault=drop:0x20", "--bmc-fault=drop:", "--bmc-fault=verdict:",
                               "--bmc-fault=verdict:1:2:3", "--bmc-fault=progress:300", "--bmc-fault=nodata:0x14",
                               "--bmc-fault=bogus:1"}) {
        bmc::SimBmc bmc;
        std::string error;
        EXPECT_FALSE(bmc.applyOption(option, &error)) << option;
        EXPECT_FALSE(error.empty()) << option;
    }
}

}  // namespace
}  // namespace korvex::test
