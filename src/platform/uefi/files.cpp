// Buffered byte streams on the UEFI Shell's file functions. Each stream holds
// one buffer that is either a clean copy of a stretch of the file (after
// reads) or data not yet written (after writes); the firmware is called once
// per buffer, not once per byte.
#include <new>

#include "platform/uefi/uefi.h"

namespace korvex::uefi {

namespace {

class ShellFile final : public File {
public:
    ShellFile(EFI_SHELL_PROTOCOL* shell, SHELL_FILE_HANDLE handle, bool readable, bool writable)
        : shell_(shell), handle_(handle), readable_(readable), writable_(writable) {}

    size_t read(void* buffer, size_t count) override;
    size_t write(const void* data, size_t count) override;
    int seek(int64_t offset, SeekFrom whence) override;
    int64_t tell() override { return static_cast<int64_t>(position_); }
    int flush() override { return writeOut() ? 0 : -1; }
    bool eof() override { return eof_; }
    bool error() override { return error_; }
    int close() override;

private:
    bool writeOut();
    bool fill();
    bool buffered(uint64_t at) const { return at >= start_ && at < start_ + length_; }

    static constexpr size_t kBufferSize = 16 * 1024;
    EFI_SHELL_PROTOCOL* shell_;
    SHELL_FILE_HANDLE handle_;
    bool readable_;
    bool writable_;
    bool eof_ = false;
    bool error_ = false;
    bool dirty_ = false;   // the buffer holds data not yet written
    uint64_t position_ = 0;
    uint64_t start_ = 0;   // file offset of buffer_[0]
    size_t length_ = 0;    // bytes of buffer_ in use
    uint8_t buffer_[kBufferSize];
};

bool ShellFile::writeOut() {
    if (!dirty_) return true;
    dirty_ = false;
    UINTN size = length_;
    if (shell_->SetFilePosition(handle_, start_) != EFI_SUCCESS ||
        shell_->WriteFile(handle_, &size, buffer_) != EFI_SUCCESS || size != length_) {
        error_ = true;
        length_ = 0;
        return false;
    }
    return true;  // the buffer stays, now a clean copy of the file
}

// Loads the stretch of the file that begins at the current position.
bool ShellFile::fill() {
    start_ = position_;
    length_ = 0;
    UINTN size = kBufferSize;
    if (shell_->SetFilePosition(handle_, start_) != EFI_SUCCESS ||
        shell_->ReadFile(handle_, &size, buffer_) != EFI_SUCCESS) {
        error_ = true;
        return false;
    }
    length_ = size;
    if (size == 0) eof_ = true;
    return size > 0;
}

size_t ShellFile::read(void* buffer, size_t count) {
    if (!readable_) {
        error_ = true;
        return 0;
    }
    if (!writeOut()) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        if (!buffered(position_) && !fill()) break;
        const size_t offset = static_cast<size_t>(position_ - start_);
        size_t n = length_ - offset;
        if (n > count - done) n = count - done;
        for (size_t i = 0; i < n; ++i) out[done + i] = buffer_[offset + i];
        done += n;
        position_ += n;
    }
    return done;
}

size_t ShellFile::write(const void* data, size_t count) {
    if (!writable_) {
        error_ = true;
        return 0;
    }
    const auto* in = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < count) {
        // Data go on the end of what is pending; anything else starts afresh.
        if (!dirty_ || position_ != start_ + length_ || length_ == kBufferSize) {
            if (!writeOut()) break;
            start_ = position_;
            length_ = 0;
            dirty_ = true;
        }
        size_t n = kBufferSize - length_;
        if (n > count - done) n = count - done;
        for (size_t i = 0; i < n; ++i) buffer_[length_ + i] = in[done + i];
        length_ += n;
        done += n;
        position_ += n;
    }
    return done;
}

int ShellFile::seek(int64_t offset, SeekFrom whence) {
    if (!writeOut()) return -1;
    int64_t base = 0;
    if (whence == SeekFrom::Current) {
        base = static_cast<int64_t>(position_);
    } else if (whence == SeekFrom::End) {
        UINT64 size = 0;
        if (shell_->GetFileSize(handle_, &size) != EFI_SUCCESS) {
            error_ = true;
            return -1;
        }
        base = static_cast<int64_t>(size);
    }
    if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) return -1;
    position_ = static_cast<uint64_t>(base + offset);
    eof_ = false;
    return 0;
}

int ShellFile::close() {
    const bool written = writeOut();
    const bool closed = shell_->CloseFile(handle_) == EFI_SUCCESS;
    delete this;
    return written && closed ? 0 : -1;
}

// A directory opens like a file in UEFI but reads as a list of entries;
// "wb" empties the file, as fopen does. Both need the file's info record.
bool prepare(EFI_SHELL_PROTOCOL* shell, SHELL_FILE_HANDLE handle, bool truncate) {
    EFI_FILE_INFO* info = shell->GetFileInfo(handle);
    if (info == nullptr) return false;
    bool ok = (info->Attribute & EFI_FILE_DIRECTORY) == 0;
    if (ok && truncate && info->FileSize != 0) {
        info->FileSize = 0;
        ok = shell->SetFileInfo(handle, info) == EFI_SUCCESS;
    }
    firmware.boot->FreePool(info);
    return ok;
}

bool modeIs(const char* mode, const char* wanted) {
    size_t i = 0;
    for (; mode[i] != '\0' && mode[i] == wanted[i]; ++i) {
    }
    return mode[i] == wanted[i];
}

}  // namespace

File* UefiFileSystem::open(const char* name, const char* mode) {
    const bool reading = modeIs(mode, "r") || modeIs(mode, "rb");
    const bool update = modeIs(mode, "wb+") || modeIs(mode, "w+b") || modeIs(mode, "w+");
    const bool writing = update || modeIs(mode, "wb") || modeIs(mode, "w");
    if (shell_ == nullptr || (!reading && !writing) || name == nullptr || name[0] == '\0') return nullptr;

    UefiMemory memory;
    CHAR16* wide = toUcs2(memory, name);
    if (wide == nullptr) return nullptr;
    const UINT64 openMode = reading ? EFI_FILE_MODE_READ
                                    : EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;
    SHELL_FILE_HANDLE handle = nullptr;
    const EFI_STATUS status = shell_->OpenFileByName(wide, &handle, openMode);
    memory.release(wide);
    if (status != EFI_SUCCESS || handle == nullptr) return nullptr;
    if (!prepare(shell_, handle, writing)) {
        shell_->CloseFile(handle);
        return nullptr;
    }
    File* file = new (std::nothrow) ShellFile(shell_, handle, reading || update, writing);
    if (file == nullptr) shell_->CloseFile(handle);
    return file;
}

CHAR16* toUcs2(Memory& memory, const char* text) {
    size_t length = 0;
    while (text[length] != '\0') ++length;
    // Never more UTF-16 units than UTF-8 bytes, plus one for a final U+FFFD.
    auto* out = static_cast<CHAR16*>(memory.allocate((length + 2) * sizeof(CHAR16)));
    if (out == nullptr) return nullptr;
    Utf8Decoder decoder;
    size_t used = 0;
    uint32_t points[2];
    for (size_t i = 0; i < length; ++i) {
        const size_t n = decoder.feed(static_cast<uint8_t>(text[i]), points);
        for (size_t k = 0; k < n; ++k) used += encodeUtf16(points[k], reinterpret_cast<uint16_t*>(out + used));
    }
    if (decoder.pending()) out[used++] = static_cast<CHAR16>(kReplacement);
    out[used] = 0;
    return out;
}

char* toUtf8(Memory& memory, const CHAR16* text) {
    const auto* units = reinterpret_cast<const uint16_t*>(text);
    size_t length = 0;
    while (units[length] != 0) ++length;
    // A unit gives at most 3 bytes; a pair (2 units) gives 4.
    auto* out = static_cast<char*>(memory.allocate(length * 3 + 1));
    if (out == nullptr) return nullptr;
    size_t used = 0;
    while (*units != 0) used += encodeUtf8(nextUtf16(&units), out + used);
    out[used] = '\0';
    return out;
}

}  // namespace korvex::uefi
