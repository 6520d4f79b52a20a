#include "platform/hosted/hosted.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

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
    int c = std::fgetc(in_);
    return c == EOF ? -1 : c;
}

namespace {

class StdioFile final : public File {
public:
    explicit StdioFile(FILE* f) : f_(f) {}
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
    int close() override {
        int rc = std::fclose(f_);
        delete this;
        return rc;
    }

private:
    FILE* f_;
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

void* HeapMemory::allocate(size_t size) { return size == 0 ? nullptr : std::malloc(size); }

void HeapMemory::release(void* block) { std::free(block); }

}  // namespace korvex::hosted
