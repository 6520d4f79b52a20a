// korvex-pack as a user runs it, one command after the other in a scratch
// folder (@D): its exit status and everything it prints. inspect shows the
// tool's own scan of the package; a refusal is one line and exit status 2,
// and a build that fails leaves the file at -o as it was, nothing beside it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>

#include "firmware/package_builder.h"
#include "support/capture.h"

namespace korvex::test {
namespace {

// Whether text is pattern, in which one "..." stands for any text.
bool matches(const std::string& text, const std::string& pattern) {
    const size_t dots = pattern.find("...");
    if (dots == std::string::npos) return text == pattern;
    const std::string tail = pattern.substr(dots + 3);
    return text.size() >= dots + tail.size() && text.compare(0, dots, pattern, 0, dots) == 0 &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(KorvexPack, CommandsStatusAndText) {
    const std::string d = scratchPath("pack");
    std::filesystem::create_directories(d + "/folder");
    const Bytes boot = patternBytes(200000, 11), web = patternBytes(70000, 12);
    writeFile(d + "/boot", std::string(boot.begin(), boot.end()));
    writeFile(d + "/web", std::string(web.begin(), web.end()));
    writeFile(d + "/small", std::string(100, 'x'));
    std::string entries;  // eight entries and the footer's own area: one more than the tool's table holds
    for (int i = 0; i < 8; ++i) entries += entryLine(0x10 * i, 0x10, "p");
    writeFile(d + "/nine", entries + "[end]" + std::string(1, '\0'));
    writeFile(d + "/huge", "");
    std::filesystem::resize_file(d + "/huge", (64u << 20) + 1);
    writeFile(d + "/o", "good");
    std::string eightParts = "build";
    for (int i = 0; i < 8; ++i) eightParts += " --part a=@D/small@" + std::to_string(i * 100);
    const std::string refused = "2\nkorvex-pack: ", a = "build --part a=@D/small";
    const struct {
        std::string args, outcome;  // "..." at the end: the text only begins so
    } rows[] = {
        // clang-format off
        {"build --part boot.bin=@D/boot@0x0 --part out_webfs_img.bin=@D/web@0x100000 --signature demo-1.0@0x1f00000 "
         "--footer enc -o @D/fw.bin", "0\n"},
        {"inspect @D/fw.bin", "0\npackage @D/fw.bin: 33554432 bytes, 1024 blocks of 32 KiB\n"
         "block 0x01f00000: [find_respective_image_info:788] Unique File name=demo-1.0 len=8\n"
         "block 0x01fc0000: enciphered footer accepted\nunique file name: \"demo-1.0\" (8 characters)\n\n"
         "part  start offset  area length  length      ReceiveFWData  transfer time\n"
         "0     0x00000000    0x00040000   0x00030d40           4082       0.959 s\n"
         "1     0x00100000    0x00020000   0x0001118f           1430       0.336 s\n"
         "2     0x01fc0000    0x00040000   0x00040000           5350       1.257 s\n"
         "total 3 parts                                        10862       2.553 s\n"
         "(time: sendBlockInfo and ReceiveFWData requests, each 4N+8 + 5R+4 port accesses of 1 us,\n"
         " N request bytes on the wire, R = 3 answer bytes)\n"},
        {"verify-dump @D/fw.bin @D/fw.bin", "0\n..."},
        {"verify-dump @D/fw.bin @D/dump", "1\npart 0 at 0x00000000, 0x30d40 bytes: ok\n"
         "part 1 at 0x00100000: first difference at 0x00101388: package 0x4a, dump 0x4b\n"},
        {"--help", "0\nkorvex-pack: builds and inspects korvex's update packages, and checks a flash\n..."},
        {"inspect", refused + "unknown command or wrong arguments: inspect (--help shows the usage)\n"},
        {"inspect @D/nine",
         "1\npackage @D/nine: 141 bytes, 1 blocks of 32 KiB\n...\nthe tool refuses this package: it needs more than 8 "
         "parts\n"},
        {a + "@0 --part a=@D/small@0x50 -o @D/o", refused + "part a overlaps part a\n"},
        {a + "@0x1fbffd0 -o @D/o", refused + "footer overlaps part a\n"},
        {a + "@0 --footer-block 0x100 -o @D/o",
         refused + "footer block must be a multiple of 0x8000 inside the package\n"},
        {a + "@0xFFFFFFFFFFFFFF80 --size 0x10000 -o @D/o", refused + "part a lies beyond the package size\n"},
        {a + "@0 --signature X@0xFFFFFFFFFFFFFFF0 -o @D/o", refused + "signature lies beyond the package size\n"},
        {a + "@0 --signature X@0x108 -o @D/o", refused + "signature offset must be a multiple of 16\n"},
        {a + "@0 --signature X@0x7ff0 -o @D/o",
         refused + "the signature's name would cross into the next 32 KiB block\n"},
        {"build --part 'a[end]=@D/small@0' -o @D/o",
         refused + "part name must be one word of at most 127 characters without \"[end]\": a[end]\n"},
        {"build --part a=@D/nine@0x8000 -o @D/o", refused + "the tool would not read this package as built "
         "(a part's bytes hold a footer or a signature); @D/o not written\n"},
        {eightParts + " -o @D/o", refused + "at most 7 parts fit the part table with the footer area\n"},
        {a + "@0 --size 0x4000001 -o @D/o", refused + "size must be 1 byte to 64 MiB\n"},
        {a + "@0 --size 0x4000000 -o @D/big", "0\n"},
        {a + "@0 --size 0x10000 -o @D/folder", refused + "cannot write @D/folder: Is a directory\n"},
        {"inspect @D/nothing", refused + "cannot read @D/nothing: No such file or directory\n"},
        {"inspect /dev/zero", refused + "cannot read /dev/zero: it is not a regular file\n"},
        {"inspect @D/folder", refused + "cannot read @D/folder: it is a folder\n"},
        {"verify-dump @D/nine @D/huge", refused + "cannot read @D/huge: it is larger than 64 MiB\n"},
        {"verify-dump @D/nine @D/nine", refused + "the tool refuses @D/nine: it needs more than 8 parts\n"},
        // A crafted unique file name cannot steer the operator's terminal.
        // Parts and the signature that touch do not overlap.
        {"build --part b=@D/small@0x3f38 --part a=@D/small@0x3f9c --size 0x10000 "
         "--signature \"$(printf '\\033]0;owned\\007\\033[2J')@0x4000\" -o @D/esc", "0\n"},
        {"inspect @D/esc", "0\npackage @D/esc: 65536 bytes, 2 blocks of 32 KiB\nblock 0x00000000: "
         "[find_respective_image_info:788] Unique File name=\\x1b]0;owned\\x07\\x1b[2J len=14\n..."},
        // clang-format on
    };
    for (const auto& row : rows) {
        std::string args = row.args;
        for (size_t at = args.find("@D"); at != std::string::npos; at = args.find("@D")) args.replace(at, 2, d);
        const std::string out = d + "/out.txt";
        const int raw = std::system((std::string(KORVEX_PACK_BINARY) + " " + args + " > " + out + " 2>&1").c_str());
        std::string got = std::to_string(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1) + "\n" + readFile(out);
        for (size_t at = got.find(d); at != std::string::npos; at = got.find(d)) got.replace(at, d.size(), "@D");
        EXPECT_TRUE(matches(got, row.outcome)) << row.args << "\n" << got;
        if (row.args.find("fw.bin @D/fw.bin") != std::string::npos) {  // the first difference in a dump
            std::string dump = readFile(d + "/fw.bin");
            if (dump.size() > 0x101388) dump[0x101388] ^= 1;
            writeFile(d + "/dump", dump);
        }
    }
    EXPECT_EQ(readFile(d + "/o"), "good");
    std::filesystem::remove(d + "/out.txt");
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(d)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"big", "boot", "dump", "esc", "folder", "fw.bin", "huge", "nine", "o",
                                               "small", "web"}));
    std::filesystem::remove_all(d);
}

}  // namespace
}  // namespace korvex::test
