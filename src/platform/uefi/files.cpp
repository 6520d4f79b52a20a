// Files through the firmware: open() and staged output files, built once on
// the few file operations that both the UEFI Shell's file functions and a
// volume's file protocol offer, buffered by BufferedFile.
#include <cstring>
#include <new>

#include "platform/buffered_file.h"
#include "platform/uefi/uefi.h"

namespace korvex::uefi {

using Handle = FirmwareFileSystem::Handle;

namespace {

class FirmwareFile final : public BufferedFile {
public:
    // A file that does not own its handle leaves it open when it is closed.
    FirmwareFile(FirmwareFileSystem& files, Handle handle, bool readable, bool writable, bool ownsHandle = true)
        : BufferedFile(readable, writable), files_(files), handle_(handle), ownsHandle_(ownsHandle) {}

protected:
    bool readAt(uint64_t position, void* buffer, size_t* count) override {
        return files_.readFile(handle_, position, buffer, count);
    }
    bool writeAt(uint64_t position, const void* data, size_t* count) override {
        return files_.writeFile(handle_, position, data, count);
    }
    bool size(uint64_t* bytes) override {
        EFI_FILE_INFO* info = files_.fileInfo(handle_);
        if (info == nullptr) return false;
        *bytes = info->FileSize;
        firmware.boot->FreePool(info);
        return true;
    }
    bool release() override {
        const bool closed = !ownsHandle_ || files_.closeFile(handle_);
        delete this;
        return closed;
    }

private:
    FirmwareFileSystem& files_;
    Handle handle_;
    bool ownsHandle_;
};

size_t wideLength(const CHAR16* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// The last part of a path: what follows its last separator or mapping.
const CHAR16* leafOf(const CHAR16* path) {
    const CHAR16* leaf = path;
    for (const CHAR16* p = path; *p != 0; ++p)
        if (*p == L'\\' || *p == L'/' || *p == L':') leaf = p + 1;
    return leaf;
}

enum class Presence : uint8_t { Absent, Present, Unknown };

Presence presenceOf(FirmwareFileSystem& files, const CHAR16* name) {
    Handle handle = nullptr;
    const EFI_STATUS status = files.openFile(name, EFI_FILE_MODE_READ, &handle);
    if (status == EFI_SUCCESS) {
        files.closeFile(handle);
        return Presence::Present;
    }
    return status == EFI_NOT_FOUND ? Presence::Absent : Presence::Unknown;
}

// The first of NAME<suffix>0 .. NAME<suffix>7 that names no file, in pool
// memory; nullptr when none does or the folder cannot be looked at.
CHAR16* freeName(FirmwareFileSystem& files, Memory& memory, const CHAR16* name, const char* suffix) {
    const size_t length = wideLength(name);
    size_t suffixLength = 0;
    while (suffix[suffixLength] != '\0') ++suffixLength;
    for (CHAR16 n = 0; n < 8; ++n) {
        auto* candidate = static_cast<CHAR16*>(memory.allocate((length + suffixLength + 2) * sizeof(CHAR16)));
        if (candidate == nullptr) return nullptr;
        for (size_t i = 0; i < length; ++i) candidate[i] = name[i];
        for (size_t i = 0; i < suffixLength; ++i) candidate[length + i] = static_cast<CHAR16>(suffix[i]);
        candidate[length + suffixLength] = static_cast<CHAR16>(L'0' + n);
        candidate[length + suffixLength + 1] = 0;
        const Presence presence = presenceOf(files, candidate);
        if (presence == Presence::Absent) return candidate;
        memory.release(candidate);
        if (presence == Presence::Unknown) return nullptr;
    }
    return nullptr;
}

// The file protocol's rename: the open file gets the name leaf in its own
// folder (SetInfo with a new FileName). It fails when the name is in use.
bool renameTo(FirmwareFileSystem& files, Handle handle, const CHAR16* leaf) {
    EFI_FILE_INFO* info = files.fileInfo(handle);
    if (info == nullptr) return false;
    UefiMemory memory;
    const size_t nameBytes = (wideLength(leaf) + 1) * sizeof(CHAR16);
    auto* renamed = static_cast<EFI_FILE_INFO*>(memory.allocate(SIZE_OF_EFI_FILE_INFO + nameBytes));
    bool ok = false;
    if (renamed != nullptr) {
        // Size, times and attributes as they are: only the name changes.
        std::memcpy(renamed, info, SIZE_OF_EFI_FILE_INFO);
        renamed->Size = SIZE_OF_EFI_FILE_INFO + nameBytes;
        std::memcpy(renamed->FileName, leaf, nameBytes);
        ok = files.setFileInfo(handle, renamed);
        memory.release(renamed);
    }
    firmware.boot->FreePool(info);
    return ok;
}

// A dump or a backup on its way: the data go to a temporary beside the
// target, through a buffered stream that leaves the handle open, so that
// the file can be renamed or deleted when the job has decided.
class StagedFirmwareFile final : public StagedFile {
public:
    StagedFirmwareFile(FirmwareFileSystem& files, Handle handle, CHAR16* target, FirmwareFile* stream)
        : files_(files), handle_(handle), target_(target), stream_(stream) {}

    size_t read(void* buffer, size_t count) override { return stream_->read(buffer, count); }
    size_t write(const void* data, size_t count) override { return stream_->write(data, count); }
    int seek(int64_t offset, SeekFrom whence) override { return stream_->seek(offset, whence); }
    int64_t tell() override { return stream_->tell(); }
    int flush() override { return stream_->flush(); }
    bool eof() override { return stream_->eof(); }
    bool error() override { return stream_->error(); }

    bool keep() override {
        const bool written = stream_->flush() == 0 && !stream_->error();
        stream_->close();
        const bool kept = written && files_.flushFile(handle_) && replaceTarget();
        if (kept)
            files_.closeFile(handle_);
        else
            files_.deleteFile(handle_);
        destroy();
        return kept;
    }

    void discard() override {
        stream_->close();
        files_.deleteFile(handle_);
        destroy();
    }

private:
    // Renames the temporary onto the target. The file protocol renames only
    // onto a free name, so a file at the target goes aside first and is
    // deleted only once the new one has the name; on failure it goes back.
    bool replaceTarget() {
        Handle old = nullptr;
        const EFI_STATUS status = files_.openFile(target_, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, &old);
        if (status == EFI_NOT_FOUND) return renameTo(files_, handle_, leafOf(target_));
        if (status != EFI_SUCCESS || old == nullptr) return false;
        UefiMemory memory;
        CHAR16* aside = freeName(files_, memory, target_, ".previous-");
        const bool movedAside = aside != nullptr && renameTo(files_, old, leafOf(aside));
        if (aside != nullptr) memory.release(aside);
        if (!movedAside) {
            files_.closeFile(old);
            return false;
        }
        if (!renameTo(files_, handle_, leafOf(target_))) {
            renameTo(files_, old, leafOf(target_));
            files_.closeFile(old);
            return false;
        }
        // Should the delete fail, the old data stay beside, under the aside name.
        files_.deleteFile(old);
        return true;
    }

    void destroy() {
        UefiMemory().release(target_);
        delete this;
    }

    FirmwareFileSystem& files_;
    Handle handle_;
    CHAR16* target_;
    FirmwareFile* stream_;
};

// Whether a staged file may replace what is at the name: nothing, or a file
// that an open for writing would take (not a folder, not read-only).
bool replaceable(FirmwareFileSystem& files, const CHAR16* name) {
    Handle handle = nullptr;
    if (files.openFile(name, EFI_FILE_MODE_READ, &handle) != EFI_SUCCESS) return true;
    EFI_FILE_INFO* info = files.fileInfo(handle);
    const bool ok = info != nullptr && (info->Attribute & (EFI_FILE_DIRECTORY | EFI_FILE_READ_ONLY)) == 0;
    if (info != nullptr) firmware.boot->FreePool(info);
    files.closeFile(handle);
    return ok;
}

// A directory opens like a file in UEFI but reads as a list of entries;
// "wb" empties the file, as fopen does. Both need the file's info record.
bool prepare(FirmwareFileSystem& files, Handle handle, bool truncate) {
    EFI_FILE_INFO* info = files.fileInfo(handle);
    if (info == nullptr) return false;
    bool ok = (info->Attribute & EFI_FILE_DIRECTORY) == 0;
    if (ok && truncate && info->FileSize != 0) {
        info->FileSize = 0;
        ok = files.setFileInfo(handle, info);
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

File* FirmwareFileSystem::open(const char* name, const char* mode) {
    const bool reading = modeIs(mode, "r") || modeIs(mode, "rb");
    const bool update = modeIs(mode, "wb+") || modeIs(mode, "w+b") || modeIs(mode, "w+");
    const bool writing = update || modeIs(mode, "wb") || modeIs(mode, "w");
    if ((!reading && !writing) || name == nullptr || name[0] == '\0') return nullptr;

    UefiMemory memory;
    CHAR16* wide = toUcs2(memory, name);
    if (wide == nullptr) return nullptr;
    const UINT64 openMode =
        reading ? EFI_FILE_MODE_READ : EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;
    Handle handle = nullptr;
    const EFI_STATUS status = openFile(wide, openMode, &handle);
    memory.release(wide);
    if (status != EFI_SUCCESS || handle == nullptr) return nullptr;
    if (!prepare(*this, handle, writing)) {
        closeFile(handle);
        return nullptr;
    }
    File* file = new (std::nothrow) FirmwareFile(*this, handle, reading || update, writing);
    if (file == nullptr) closeFile(handle);
    return file;
}

StagedFile* FirmwareFileSystem::createStaged(const char* name) {
    if (name == nullptr || name[0] == '\0') return nullptr;
    UefiMemory memory;
    CHAR16* target = toUcs2(memory, name);
    if (target == nullptr) return nullptr;
    CHAR16* temporary = nullptr;
    if (*leafOf(target) != 0 && replaceable(*this, target)) temporary = freeName(*this, memory, target, ".incomplete-");
    Handle handle = nullptr;
    if (temporary != nullptr) {
        const UINT64 mode = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;
        if (openFile(temporary, mode, &handle) != EFI_SUCCESS) handle = nullptr;
        memory.release(temporary);
    }
    FirmwareFile* stream =
        handle != nullptr ? new (std::nothrow) FirmwareFile(*this, handle, true, true, false) : nullptr;
    StagedFile* file =
        stream != nullptr ? new (std::nothrow) StagedFirmwareFile(*this, handle, target, stream) : nullptr;
    if (file != nullptr) return file;
    if (stream != nullptr) stream->close();
    if (handle != nullptr) deleteFile(handle);
    memory.release(target);
    return nullptr;
}

bool FirmwareFileSystem::remove(const char* name) {
    UefiMemory memory;
    CHAR16* wide = name != nullptr && name[0] != '\0' ? toUcs2(memory, name) : nullptr;
    if (wide == nullptr) return false;
    Handle handle = nullptr;
    const EFI_STATUS status = openFile(wide, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, &handle);
    memory.release(wide);
    // Absent is removed; anything else that keeps it from opening is not.
    if (status != EFI_SUCCESS) return status == EFI_NOT_FOUND;
    return deleteFile(handle);
}

// ---- the UEFI Shell's file functions ----

EFI_STATUS UefiFileSystem::openFile(const CHAR16* name, UINT64 mode, Handle* handle) {
    if (shell_ == nullptr) return EFI_NOT_READY;
    return shell_->OpenFileByName(name, handle, mode);
}

bool UefiFileSystem::closeFile(Handle handle) { return shell_->CloseFile(handle) == EFI_SUCCESS; }

bool UefiFileSystem::deleteFile(Handle handle) { return shell_->DeleteFile(handle) == EFI_SUCCESS; }

EFI_FILE_INFO* UefiFileSystem::fileInfo(Handle handle) { return shell_->GetFileInfo(handle); }

bool UefiFileSystem::setFileInfo(Handle handle, EFI_FILE_INFO* info) {
    return shell_->SetFileInfo(handle, info) == EFI_SUCCESS;
}

bool UefiFileSystem::readFile(Handle handle, uint64_t position, void* buffer, size_t* count) {
    UINTN n = *count;
    if (shell_->SetFilePosition(handle, position) != EFI_SUCCESS || shell_->ReadFile(handle, &n, buffer) != EFI_SUCCESS)
        return false;
    *count = n;
    return true;
}

bool UefiFileSystem::writeFile(Handle handle, uint64_t position, const void* data, size_t* count) {
    UINTN n = *count;
    if (shell_->SetFilePosition(handle, position) != EFI_SUCCESS ||
        shell_->WriteFile(handle, &n, const_cast<void*>(data)) != EFI_SUCCESS)
        return false;
    *count = n;
    return true;
}

bool UefiFileSystem::flushFile(Handle handle) { return shell_->FlushFile(handle) == EFI_SUCCESS; }

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
