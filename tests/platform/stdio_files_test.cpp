// The host's files as the jobs see them: a folder named where a package,
// dump or restore file is expected is refused at open, as the UEFI Shell
// refuses it, instead of reading as an endless empty file.
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/hosted/hosted.h"
#include "support/capture.h"

namespace korvex::test {
namespace {

TEST(StdioFiles, FoldersAreRefusedInEveryMode) {
    const std::string folder = scratchPath("folder");
    std::filesystem::create_directories(folder);
    const std::string file = scratchPath("file");
    writeFile(file, "abc");
    hosted::StdioFileSystem files;
    for (const char* mode : {"r", "rb", "wb", "wb+"}) {
        EXPECT_EQ(files.open(folder.c_str(), mode), nullptr) << mode;
        File* f = files.open(file.c_str(), mode);
        ASSERT_NE(f, nullptr) << mode;
        EXPECT_EQ(f->close(), 0);
    }
    std::filesystem::remove_all(folder);
    std::filesystem::remove(file);
}

}  // namespace
}  // namespace korvex::test
