#include "platform/hosted/hosted.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

namespace korvex::hosted {

std::string escapedText(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            shown += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7f) {
            shown += c;
        } else {
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0xf];
        }
    }
    return shown;
}

StdioConsole::StdioConsole(FILE* out, FILE* in) : out_(out), in_(in), terminal_(isatty(fileno(out)) == 1) {}

void StdioConsole::printUntrusted(const char* text) {
    if (terminal_)
        std::fputs(escapedText(text).c_str(), out_);
    else
        std::fputs(text, out_);
}

void StdioConsole::vprint(const char* format, va_list args) { std::vfprintf(out_, format, args); }

void StdioConsole::flush() { std::fflush(out_); }

int StdioConsole::readChar() {
    std::fflush(out_);
    if (wait_ != nullptr && !wait_(fileno(in_))) return -1;
    int c = std::fgetc(in_);
    return c == EOF ? -1 : c;
}

namespace {

// The File calls over a stdio stream, for plain and staged files alike.
template <class Base>
class StdioStream : public Base {
public:
    explicit StdioStream(FILE* f) : f_(f) {}
    size_t read(void* buffer, size_t count) override { return std::fread(buffer, 1, count, f_); }
    size_t write(const void* data, size_t count) override { return std::fwrite(data, 1, count, f_); }
    int seek(int64_t offset, SeekFrom whence) override {
        int w = whence == SeekFrom::Start ? SEEK_SET : whence == SeekFrom::Current ? SEEK_CUR : SEEK_END;
        return fseeko(f_, static_cast<off_t>(offset), w);
    }
    int64_t tell() override { return static_cast<int64_t>(ftello(f_)); }
    int flush() override { return std::fflush(f_); }
    bool eof() override { return std::feof(f_) != 0; }
    bool error() override { return std::ferror(f_) != 0; }

protected:
    ~StdioStream() = default;
    FILE* f_;
};

class StdioFile final : public StdioStream<File> {
public:
    using StdioStream::StdioStream;
    int close() override {
        int rc = std::fclose(f_);
        delete this;
        return rc;
    }
};

// The folder a path lies in, for the fsync that makes a rename durable.
std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

class StagedStdioFile final : public StdioStream<StagedFile> {
public:
    StagedStdioFile(FILE* f, std::string target, std::string temporary)
        : StdioStream(f), target_(std::move(target)), temporary_(std::move(temporary)) {}

    bool keep() override {
        const bool written = std::fflush(f_) == 0 && std::ferror(f_) == 0 && fsync(fileno(f_)) == 0;
        const bool closed = std::fclose(f_) == 0;
        // rename() replaces whatever is at the target, a symbolic link
        // included, and fails on a folder.
        const bool kept = written && closed && std::rename(temporary_.c_str(), target_.c_str()) == 0;
        if (kept) {
            // Only the rename's durability rests on the folder's fsync; the
            // data are durable already, and a crash before it leaves the old
            // file, never a partial one. So its failure does not undo the keep.
            const int folder = ::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (folder >= 0) {
                static_cast<void>(fsync(folder));
                ::close(folder);
            }
        } else {
            unlink(temporary_.c_str());
        }
        delete this;
        return kept;
    }
    void discard() override {
        std::fclose(f_);
        unlink(temporary_.c_str());
        delete this;
    }

private:
    std::string target_;
    std::string temporary_;
};

}  // namespace

File* StdioFileSystem::open(const char* name, const char* mode) {
    FILE* f = std::fopen(name, mode);
    if (f == nullptr) return nullptr;
    // A folder opens for reading here but reads nothing and seeks anywhere, so
    // a restore would announce a nonsense length to the BMC; the UEFI Shell
    // refuses it at open, and so does this.
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        std::fclose(f);
        return nullptr;
    }
    auto* file = new (std::nothrow) StdioFile(f);
    if (file == nullptr) std::fclose(f);
    return file;
}

StagedFile* StdioFileSystem::createStaged(const char* name) {
    if (name == nullptr || name[0] == '\0') return nullptr;
    // A folder cannot take the file: refused now, as an open for writing
    // refuses it, rather than after the whole job. Nor can a device, FIFO or
    // socket: a rename would destroy the node instead of writing through it.
    // A regular file, a link (replaced, not followed) or nothing may be there.
    struct stat st {};
    if (lstat(name, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return nullptr;
    // Never an existing file, never through a link; readable by the owner
    // alone, since a dump or a backup holds the BMC's flash or configuration.
    constexpr int kNames = 8;
    for (int n = 0; n < kNames; ++n) {
        const std::string temporary =
            std::string(name) + ".incomplete-" + std::to_string(getpid()) + "-" + std::to_string(n);
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return nullptr;
        FILE* f = fdopen(fd, "wb");
        StagedFile* file = f != nullptr ? new (std::nothrow) StagedStdioFile(f, name, temporary) : nullptr;
        if (file == nullptr) {
            if (f != nullptr)
                std::fclose(f);
            else
                ::close(fd);
            unlink(temporary.c_str());
        }
        return file;
    }
    return nullptr;
}

void* HeapMemory::allocate(size_t size) { return size == 0 ? nullptr : std::malloc(size); }

void HeapMemory::release(void* block) { std::free(block); }

}  // namespace korvex::hosted
