// Files through the UEFI Shell's file functions, buffered by BufferedFile.
#include <new>

#include "platform/buffered_file.h"
#include "platform/uefi/uefi.h"

namespace korvex::uefi {

namespace {

class ShellFile final : public BufferedFile {
public:
    ShellFile(EFI_SHELL_PROTOCOL* shell, SHELL_FILE_HANDLE handle, bool readable, bool writable)
        : BufferedFile(readable, writable), shell_(shell), handle_(handle) {}

protected:
    bool readAt(uint64_t position, void* buffer, size_t* count) override {
        UINTN n = *count;
        if (shell_->SetFilePosition(handle_, position) != EFI_SUCCESS ||
            shell_->ReadFile(handle_, &n, buffer) != EFI_SUCCESS)
            return false;
        *count = n;
        return true;
    }
    bool writeAt(uint64_t position, const void* data, size_t* count) override {
        UINTN n = *count;
        if (shell_->SetFilePosition(handle_, position) != EFI_SUCCESS ||
            shell_->WriteFile(handle_, &n, const_cast<void*>(data)) != EFI_SUCCESS)
            return false;
        *count = n;
        return true;
    }
    bool size(uint64_t* bytes) override {
        UINT64 n = 0;
        if (shell_->GetFileSize(handle_, &n) != EFI_SUCCESS) return false;
        *bytes = n;
        return true;
    }
    bool release() override {
        const bool closed = shell_->CloseFile(handle_) == EFI_SUCCESS;
        delete this;
        return closed;
    }

private:
    EFI_SHELL_PROTOCOL* shell_;
    SHELL_FILE_HANDLE handle_;
};

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
