// The host's files as the jobs see them: a folder named where a package,
// dump or restore file is expected is refused at open, as the UEFI Shell
// refuses it, instead of reading as an endless empty file; staged output
// files never write through what is planted at their names; and the host's
// console defuses a package's text on a terminal only.
#include <pty.h>
#include <sys/stat.h>
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
    EXPECT_EQ(files.createStaged(folder.c_str()), nullptr);
    // Nor is a special file replaced by a staged one.
    const std::string fifo = scratchPath("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(files.createStaged(fifo.c_str()), nullptr);
    std::filesystem::remove(fifo);
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

// What is planted before the staged file is made, and what happens before the verdict.
enum class Planted { Nothing, FileAtFirstTemporary, LinkAtFirstTemporary, FolderAtTarget };

TEST(StdioFiles, StagedFilesKeepClearOfWhatIsPlanted) {
    const struct {
        const char* name;
        Planted planted;
        bool keep;
        bool kept;
    } rows[] = {
        {"kept", Planted::Nothing, true, true},
        {"discarded", Planted::Nothing, false, false},
        {"first temporary name taken by a file", Planted::FileAtFirstTemporary, true, true},
        {"first temporary name taken by a link", Planted::LinkAtFirstTemporary, true, true},
        {"a folder at the target before the keep", Planted::FolderAtTarget, true, false},
    };
    const std::string target = scratchPath("staged.bin"), decoy = scratchPath("decoy");
    const std::string first = target + ".incomplete-" + std::to_string(getpid()) + "-0";
    hosted::StdioFileSystem files;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        writeFile(target, "old");
        writeFile(decoy, "decoy");
        if (row.planted == Planted::FileAtFirstTemporary) writeFile(first, "planted");
        if (row.planted == Planted::LinkAtFirstTemporary) std::filesystem::create_symlink(decoy, first);
        StagedFile* f = files.createStaged(target.c_str());
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->write("new", 3), 3u);
        if (row.planted == Planted::FolderAtTarget) {
            std::filesystem::remove(target);
            std::filesystem::create_directory(target);
        }
        if (row.keep) {
            EXPECT_EQ(f->keep(), row.kept);
        } else {
            f->discard();
        }
        if (row.planted != Planted::FolderAtTarget) {
            EXPECT_EQ(readFile(target), row.kept ? "new" : "old");
        }
        EXPECT_EQ(readFile(decoy), "decoy");
        // Only what was planted is left beside the target.
        std::vector<std::string> beside;
        for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(target).parent_path()))
            if (e.path().string().rfind(target + ".", 0) == 0) beside.push_back(e.path().string());
        const bool plantedBeside =
            row.planted == Planted::FileAtFirstTemporary || row.planted == Planted::LinkAtFirstTemporary;
        EXPECT_EQ(beside, plantedBeside ? std::vector<std::string>{first} : std::vector<std::string>{});
        if (row.planted == Planted::FileAtFirstTemporary) {
            EXPECT_EQ(readFile(first), "planted");
        }
        std::filesystem::remove_all(target);
        std::filesystem::remove(first);
    }
    std::filesystem::remove(decoy);
}

}  // namespace
}  // namespace korvex::test
