// The host's files as the jobs see them: a folder named where a package,
// dump or restore file is expected is refused at open, as the UEFI Shell
// refuses it, instead of reading as an endless empty file. And the host's
// console, which defuses a package's text on a terminal only.
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "firmware/package.h"
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

TEST(StdioConsole, PackageTextIsEscapedOnATerminalAndExactElsewhere) {
    const std::string name = "t\x1b]0;x\x07\\\xc3\xbc";  // retitles the window; a backslash; UTF-8
    struct Case {
        bool terminal;
        std::string shown;
    } cases[] = {
        {true, "t\\x1b]0;x\\x07\\\\\\xc3\\xbc"},
        {false, name},
    };
    for (const Case& c : cases) {
        int readFd = -1, writeFd = -1;
        if (c.terminal) {
            ASSERT_EQ(openpty(&readFd, &writeFd, nullptr, nullptr, nullptr), 0);
            termios raw{};
            tcgetattr(writeFd, &raw);
            cfmakeraw(&raw);  // no "\r" added to the line end
            tcsetattr(writeFd, TCSANOW, &raw);
        } else {
            int fds[2];
            ASSERT_EQ(pipe(fds), 0);
            readFd = fds[0];
            writeFd = fds[1];
        }
        FILE* out = fdopen(writeFd, "w");
        {
            hosted::StdioConsole console(out);
            PackageScanner scanner(console);
            std::string block = "ZYLOs_FW" + std::string(24, '\0') + name + '\0';
            scanner.find_respective_image_info(reinterpret_cast<const uint8_t*>(block.data()), block.size());
        }
        std::fclose(out);
        std::string got;
        char buf[512];
        for (ssize_t n; (n = read(readFd, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
        close(readFd);
        EXPECT_EQ(got, "[find_respective_image_info:788] Unique File name=" + c.shown + " len=10\n") << c.terminal;
    }
}

}  // namespace
}  // namespace korvex::test
