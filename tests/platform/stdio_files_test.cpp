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

TEST(StdioFiles, FoldersAndSpecialFilesAreRefused) {
    const std::string folder = scratchPath("folder"), file = scratchPath("file"), fifo = scratchPath("fifo");
    std::filesystem::create_directories(folder);
    writeFile(file, "abc");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    hosted::StdioFileSystem files;
    for (const char* mode : {"r", "rb", "wb", "wb+"}) {
        File* f = files.open(file.c_str(), mode);
        EXPECT_TRUE(files.open(folder.c_str(), mode) == nullptr && f != nullptr && f->close() == 0) << mode;
    }
    // Nor is a folder or a special file replaced by a staged one.
    EXPECT_TRUE(files.createStaged(folder.c_str()) == nullptr && files.createStaged(fifo.c_str()) == nullptr);
    for (const std::string& p : {folder, file, fifo}) std::filesystem::remove_all(p);
}

TEST(StdioConsole, PackageTextIsEscapedOnATerminalAndExactElsewhere) {
    const std::string name = "t\x1b]0;x\x07\\\xc3\xbc";  // retitles the window; a backslash; UTF-8
    for (const bool terminal : {true, false}) {
        int fds[2];  // read, write
        ASSERT_EQ(terminal ? openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) : pipe(fds), 0);
        if (terminal) {
            termios raw{};
            tcgetattr(fds[1], &raw);
            cfmakeraw(&raw);  // no "\r" added to the line end
            tcsetattr(fds[1], TCSANOW, &raw);
        }
        FILE* out = fdopen(fds[1], "w");
        {
            hosted::StdioConsole console(out);
            PackageScanner scanner(console);
            std::string block = "ZYLOs_FW" + std::string(24, '\0') + name + '\0';
            scanner.find_respective_image_info(reinterpret_cast<const uint8_t*>(block.data()), block.size());
        }
        std::fclose(out);
        std::string got;
        char buf[512];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
        close(fds[0]);
        const std::string shown = terminal ? "t\\x1b]0;x\\x07\\\\\\xc3\\xbc" : name;
        EXPECT_EQ(got, "[find_respective_image_info:788] Unique File name=" + shown + " len=10\n") << terminal;
    }
}

// What is planted before the staged file is made, and what happens before the verdict.
TEST(StdioFiles, StagedFilesKeepClearOfWhatIsPlanted) {
    enum Planted { Nothing, FileAtFirstTemporary, LinkAtFirstTemporary, FolderAtTarget };
    const struct {
        Planted planted;
        bool keep, kept;
    } rows[] = {{Nothing, true, true},
                {Nothing, false, false},
                {FileAtFirstTemporary, true, true},
                {LinkAtFirstTemporary, true, true},
                {FolderAtTarget, true, false}};
    const std::string target = scratchPath("staged.bin"), decoy = scratchPath("decoy");
    const std::string first = target + ".incomplete-" + std::to_string(getpid()) + "-0";
    hosted::StdioFileSystem files;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.planted);
        writeFile(target, "old");
        writeFile(decoy, "decoy");
        if (row.planted == FileAtFirstTemporary) writeFile(first, "planted");
        if (row.planted == LinkAtFirstTemporary) std::filesystem::create_symlink(decoy, first);
        StagedFile* f = files.createStaged(target.c_str());
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->write("new", 3), 3u);
        if (row.planted == FolderAtTarget) std::filesystem::remove(target);
        if (row.planted == FolderAtTarget) std::filesystem::create_directory(target);
        EXPECT_EQ(row.keep ? f->keep() : (f->discard(), false), row.kept);
        // Only what was planted is left beside the target, as it was.
        std::string beside;
        for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(target).parent_path()))
            if (e.path().string().starts_with(target + ".")) beside += e.path().string() + "=" + readFile(e.path());
        const bool plantedBeside = row.planted == FileAtFirstTemporary || row.planted == LinkAtFirstTemporary;
        EXPECT_EQ(beside,
                  plantedBeside ? first + "=" + (row.planted == FileAtFirstTemporary ? "planted" : "decoy") : "");
        EXPECT_EQ(readFile(decoy) + (row.planted == FolderAtTarget ? "" : readFile(target)),
                  row.planted == FolderAtTarget ? "decoy"
                  : row.kept                    ? "decoynew"
                                                : "decoyold");
        std::filesystem::remove_all(target);
        std::filesystem::remove(first);
    }
    std::filesystem::remove(decoy);
}

}  // namespace
}  // namespace korvex::test
