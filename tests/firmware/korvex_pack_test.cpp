// korvex-pack as a user runs it: the packages it builds go through the tool's
// update, inspect shows the tool's part table, verify-dump finds differences.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

#include "bmc/update_module.h"
#include "firmware/package_builder.h"
#include "support/capture.h"

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

    SimRun sim;
    ASSERT_EQ(sim.run({"-f", package}), (JobResult{0, JobOutcome::Succeeded})) << sim.console.text;
    const auto& blocks = sim.machine.bmc.module<bmc::UpdateModule>()->blocks();
    ASSERT_EQ(blocks.size(), 3u);

    Result shown = runPack("inspect " + package);
    ASSERT_EQ(shown.status, 0) << shown.out;
    EXPECT_NE(shown.out.find("block 0x01fc0000: enciphered footer accepted"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("unique file name: \"demo-1.0\""), std::string::npos);
    for (const auto& b : blocks) {
        char row[100];
        std::snprintf(row, sizeof row, "%-4u  0x%08x    0x%08x   0x%08x", b.index, b.startOffset, b.areaLength, b.length);
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

TEST(KorvexPack, RefusesWhatWouldNotMakeAPackage) {
    writeFile(file("small"), std::string(100, 'x'));
    const std::string part = " --part a=" + file("small");
    struct Row {
        const char* name;
        std::string args;
        const char* message;
    } rows[] = {
        {"overlapping parts", "build" + part + "@0" + part + "@0x50 -o " + file("o"), "overlaps"},
        {"part over the footer", "build" + part + "@0x1fc0000 -o " + file("o"), "footer overlaps part a"},
        {"footer block not aligned", "build" + part + "@0 --footer-block 0x100 -o " + file("o"), "multiple of 0x8000"},
        {"missing file", "inspect " + file("nothing"), "cannot read"},
    };
    for (const Row& row : rows) {
        Result r = runPack(row.args);
        EXPECT_NE(r.status, 0) << row.name;
        EXPECT_NE(r.out.find(row.message), std::string::npos) << row.name << ": " << r.out;
    }
    std::remove(file("small").c_str());
}

}  // namespace
}  // namespace korvex::test
