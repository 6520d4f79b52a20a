// korvex-pack as a user runs it: the packages it builds go through the tool's
// update, inspect shows the tool's part table, verify-dump finds differences.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "bmc/update_module.h"
#include "firmware/package_builder.h"
#include "support/fault_rig.h"

namespace korvex::test {
namespace {

struct Result {
    int status;
    std::string out;
};

Result runPack(const std::string& args) {
    const std::string command = std::string(KORVEX_PACK_BINARY) + " " + args + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    Result r{-1, ""};
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string file(const std::string& name) { return scratchPath("pack-" + name); }

TEST(KorvexPack, BuiltPackageUpdatesTheFlashAndInspectShowsTheToolsTable) {
    const Bytes boot = patternBytes(200000, 11), web = patternBytes(70000, 12);
    writeFile(file("boot"), std::string(boot.begin(), boot.end()));
    writeFile(file("web"), std::string(web.begin(), web.end()));
    const std::string package = file("fw.bin");
    Result built = runPack("build --part boot.bin=" + file("boot") + "@0x0 --part out_webfs_img.bin=" + file("web") +
                           "@0x100000 --signature demo-1.0@0x1f00000 --footer enc -o " + package);
    ASSERT_EQ(built.status, 0) << built.out;

    FaultRun sim;
    ASSERT_EQ(sim.run({"-f", package}), (JobResult{0, JobOutcome::Succeeded})) << sim.console.text;
    const auto& blocks = sim.machine.bmc.module<bmc::UpdateModule>()->blocks();
    ASSERT_EQ(blocks.size(), 3u);

    Result shown = runPack("inspect " + package);
    ASSERT_EQ(shown.status, 0) << shown.out;
    EXPECT_NE(shown.out.find("block 0x01fc0000: enciphered footer accepted"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("unique file name: \"demo-1.0\""), std::string::npos);
    for (const auto& b : blocks) {
        char row[100];
        std::snprintf(row, sizeof row, "%-4u  0x%08x    0x%08x   0x%08x", b.index, b.startOffset, b.areaLength,
                      b.length);
        EXPECT_NE(shown.out.find(row), std::string::npos) << row << "\n" << shown.out;
    }

    const auto& flash = sim.machine.bmc.module<bmc::UpdateModule>()->flash();
    std::string dump(flash.begin(), flash.end());
    writeFile(file("dump"), dump);
    Result same = runPack("verify-dump " + package + " " + file("dump"));
    EXPECT_EQ(same.status, 0) << same.out;
    dump[0x100000 + 5000] ^= 1;
    writeFile(file("dump"), dump);
    Result differs = runPack("verify-dump " + package + " " + file("dump"));
    EXPECT_EQ(differs.status, 1);
    EXPECT_NE(differs.out.find("part 1 at 0x00100000: first difference at 0x00101388"), std::string::npos)
        << differs.out;
    for (const char* f : {"boot", "web", "fw.bin", "dump"}) std::remove(file(f).c_str());
}

// Every refusal is one line on stderr and exit status 2, and a build that
// fails leaves the file at -o as it was, with nothing beside it.
TEST(KorvexPack, RefusesHostileAndMistakenInput) {
    writeFile(file("small"), std::string(100, 'x'));
    const std::string part = " --part a=" + file("small");
    // Eight entries and the footer's own area: one more than the tool's table holds.
    std::string entries;
    for (int i = 0; i < 8; ++i) entries += entryLine(0x10 * i, 0x10, "p");
    writeFile(file("nine"), entries + "[end]" + std::string(1, '\0'));
    std::filesystem::create_directories(file("folder"));
    writeFile(file("huge"), "");
    std::filesystem::resize_file(file("huge"), (64u << 20) + 1);
    const std::string out = " -o " + file("o");
    std::string eightParts = "build";
    for (int i = 0; i < 8; ++i) eightParts += part + "@" + std::to_string(i * 100);
    struct Row {
        const char* name;
        std::string args;
        const char* message;
    } rows[] = {
        {"overlapping parts", "build" + part + "@0" + part + "@0x50" + out, "part a overlaps part a"},
        {"part running into the footer", "build" + part + "@0x1fbffd0" + out, "footer overlaps part a"},
        {"footer block not aligned", "build" + part + "@0 --footer-block 0x100" + out, "multiple of 0x8000"},
        {"part end wraps", "build" + part + "@0xFFFFFFFFFFFFFF80 --size 0x10000" + out,
         "part a lies beyond the package size"},
        {"signature end wraps", "build" + part + "@0 --signature X@0xFFFFFFFFFFFFFFF0" + out, "signature lies beyond"},
        {"signature off its step", "build" + part + "@0 --signature X@0x108" + out, "multiple of 16"},
        {"signature name across blocks", "build" + part + "@0 --signature X@0x7ff0" + out,
         "into the next 32 KiB block"},
        {"name ends its own entry", "build --part 'a[end]=" + file("small") + "@0'" + out, "without \"[end]\""},
        {"part bytes hold a footer", "build --part a=" + file("nine") + "@0x8000" + out,
         "would not read this package as built"},
        {"eight parts", eightParts + out, "at most 7 parts"},
        {"size beyond the cap", "build" + part + "@0 --size 0x4000001" + out, "size must be 1 byte to 64 MiB"},
        {"output is a folder", "build" + part + "@0 --size 0x10000 -o " + file("folder"), "cannot write"},
        {"missing file", "inspect " + file("nothing"), "cannot read"},
        {"endless device", "inspect /dev/zero", "it is not a regular file"},
        {"folder", "inspect " + file("folder"), "it is a folder"},
        {"file beyond the cap", "verify-dump " + file("nine") + " " + file("huge"), "larger than 64 MiB"},
        {"more parts than the tool takes", "verify-dump " + file("nine") + " " + file("nine"), "more than 8 parts"},
    };
    writeFile(file("o"), "good");
    for (const Row& row : rows) {
        Result r = runPack(row.args);
        EXPECT_EQ(r.status, 2) << row.name;
        EXPECT_TRUE(r.out.starts_with("korvex-pack: ") && r.out.find('\n') + 1 == r.out.size())
            << row.name << ": " << r.out;
        EXPECT_NE(r.out.find(row.message), std::string::npos) << row.name << ": " << r.out;
    }
    EXPECT_EQ(readFile(file("o")), "good");
    EXPECT_TRUE(std::filesystem::is_directory(file("folder")));
    size_t beside = 0;
    for (const auto& e : std::filesystem::directory_iterator(::testing::TempDir()))
        beside += e.path().string().starts_with(file("o.")) || e.path().string().starts_with(file("folder.")) ? 1 : 0;
    EXPECT_EQ(beside, 0u);
    Result inspected = runPack("inspect " + file("nine"));
    EXPECT_EQ(inspected.status, 1);
    EXPECT_NE(inspected.out.find("the tool refuses this package: it needs more than 8 parts"), std::string::npos);
    for (const char* f : {"small", "nine", "huge", "o"}) std::remove(file(f).c_str());
    std::filesystem::remove(file("folder"));
}

// A crafted unique file name cannot steer the operator's terminal through
// korvex-pack, whether it reads the package or shows the tool's line for it.
// (The part ends where the signature begins: touching is not overlapping.)
TEST(KorvexPack, ShowsThePackagesTextEscaped) {
    writeFile(file("small"), std::string(100, 'x'));
    Result built = runPack("build --part a=" + file("small") +
                           "@0x3f9c --size 0x10000 --signature \"$(printf '\\033]0;owned\\007\\033[2J')@0x4000\" -o " +
                           file("fw.bin"));
    ASSERT_EQ(built.status, 0) << built.out;
    Result r = runPack("inspect " + file("fw.bin"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Unique File name=\\x1b]0;owned\\x07\\x1b[2J len=14"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("unique file name: \"\\x1b]0;owned\\x07\\x1b[2J\" (14 characters)"), std::string::npos);
    for (const char* f : {"small", "fw.bin"}) std::remove(file(f).c_str());
}

}  // namespace
}  // namespace korvex::test
