// Files beside Korvex.efi when no shell runs: the file protocol of the volume
// the image was loaded from, names relative to the image's folder.
#include <new>

#include "platform/buffered_file.h"
#include "platform/uefi/uefi.h"

namespace korvex::uefi {

namespace {

class VolumeFile final : public BufferedFile {
public:
    VolumeFile(EFI_FILE_HANDLE handle, bool readable, bool writable)
        : BufferedFile(readable, writable), handle_(handle) {}

protected:
    bool readAt(uint64_t position, void* buffer, size_t* count) override {
        UINTN n = *count;
        if (handle_->SetPosition(handle_, position) != EFI_SUCCESS || handle_->Read(handle_, &n, buffer) != EFI_SUCCESS)
            return false;
        *count = n;
        return true;
    }
    bool writeAt(uint64_t position, const void* data, size_t* count) override {
        UINTN n = *count;
        if (handle_->SetPosition(handle_, position) != EFI_SUCCESS ||
            handle_->Write(handle_, &n, const_cast<void*>(data)) != EFI_SUCCESS)
            return false;
        *count = n;
        return true;
    }
    bool size(uint64_t* bytes) override {
        EFI_FILE_INFO* info = fileInfo(handle_);
        if (info == nullptr) return false;
        *bytes = info->FileSize;
        firmware.boot->FreePool(info);
        return true;
    }
    bool release() override {
        const bool closed = handle_->Close(handle_) == EFI_SUCCESS;
        delete this;
        return closed;
    }

private:
    EFI_FILE_HANDLE handle_;
};

EFI_FILE_HANDLE openRelative(EFI_FILE_HANDLE folder, const char* name, UINT64 mode, EFI_STATUS* status = nullptr) {
    EFI_STATUS result = EFI_INVALID_PARAMETER;
    EFI_FILE_HANDLE handle = nullptr;
    UefiMemory memory;
    CHAR16* wide = folder != nullptr && name != nullptr && name[0] != '\0' ? toUcs2(memory, name) : nullptr;
    if (wide != nullptr) {
        result = folder->Open(folder, &handle, wide, mode, 0);
        memory.release(wide);
    }
    if (status != nullptr) *status = result;
    return result == EFI_SUCCESS ? handle : nullptr;
}

// The path of the image's file inside its volume: the text of the file-path
// nodes of its device path, one after another.
CHAR16* imagePath(Memory& memory, EFI_DEVICE_PATH* path) {
    size_t units = 0;
    for (EFI_DEVICE_PATH* node = path; node != nullptr && !IsDevicePathEnd(node); node = NextDevicePathNode(node)) {
        if (DevicePathNodeLength(node) < 4) return nullptr;  // a malformed path would loop for ever
        if (DevicePathType(node) == MEDIA_DEVICE_PATH && DevicePathSubType(node) == MEDIA_FILEPATH_DP)
            units += (DevicePathNodeLength(node) - 4) / sizeof(CHAR16) + 1;
    }
    if (units == 0) return nullptr;
    auto* out = static_cast<CHAR16*>(memory.allocate((units + 1) * sizeof(CHAR16)));
    if (out == nullptr) return nullptr;
    size_t used = 0;
    for (EFI_DEVICE_PATH* node = path; !IsDevicePathEnd(node); node = NextDevicePathNode(node)) {
        if (DevicePathType(node) != MEDIA_DEVICE_PATH || DevicePathSubType(node) != MEDIA_FILEPATH_DP) continue;
        const auto* name = reinterpret_cast<const uint8_t*>(node) + 4;
        const size_t n = (DevicePathNodeLength(node) - 4) / sizeof(CHAR16);
        // Each node may or may not carry its own separator and terminating zero.
        if (used > 0 && out[used - 1] != L'\\') out[used++] = L'\\';
        for (size_t i = 0; i < n; ++i) {
            const CHAR16 unit = static_cast<CHAR16>(name[2 * i] | name[2 * i + 1] << 8);
            if (unit == 0) break;
            if (unit == L'\\' && used > 0 && out[used - 1] == L'\\') continue;
            out[used++] = unit;
        }
    }
    out[used] = 0;
    return out;
}

}  // namespace

bool decodeOpenMode(const char* mode, OpenMode* decoded) {
    auto is = [mode](const char* wanted) {
        size_t i = 0;
        for (; mode[i] != '\0' && mode[i] == wanted[i]; ++i) {
        }
        return mode[i] == wanted[i];
    };
    const bool reading = is("r") || is("rb");
    const bool update = is("wb+") || is("w+b") || is("w+");
    const bool writing = update || is("wb") || is("w");
    if (!reading && !writing) return false;
    decoded->readable = reading || update;
    decoded->writable = writing;
    decoded->firmwareMode =
        reading ? EFI_FILE_MODE_READ : EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;
    return true;
}

EFI_FILE_INFO* fileInfo(EFI_FILE_HANDLE handle) {
    EFI_GUID id = EFI_FILE_INFO_ID;
    UINTN size = 0;
    if (handle->GetInfo(handle, &id, &size, nullptr) != EFI_BUFFER_TOO_SMALL || size == 0) return nullptr;
    void* info = nullptr;
    if (firmware.boot->AllocatePool(EfiLoaderData, size, &info) != EFI_SUCCESS) return nullptr;
    if (handle->GetInfo(handle, &id, &size, info) != EFI_SUCCESS) {
        firmware.boot->FreePool(info);
        return nullptr;
    }
    return static_cast<EFI_FILE_INFO*>(info);
}

EFI_FILE_HANDLE openImageFolder(EFI_HANDLE image) {
    EFI_GUID loadedGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
    void* interface = nullptr;
    if (firmware.boot->HandleProtocol(image, &loadedGuid, &interface) != EFI_SUCCESS) return nullptr;
    const auto* loaded = static_cast<EFI_LOADED_IMAGE*>(interface);
    EFI_GUID volumeGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
    if (loaded->DeviceHandle == nullptr ||
        firmware.boot->HandleProtocol(loaded->DeviceHandle, &volumeGuid, &interface) != EFI_SUCCESS)
        return nullptr;
    auto* volume = static_cast<EFI_SIMPLE_FILE_SYSTEM_PROTOCOL*>(interface);
    EFI_FILE_HANDLE root = nullptr;
    if (volume->OpenVolume(volume, &root) != EFI_SUCCESS) return nullptr;

    UefiMemory memory;
    CHAR16* path = imagePath(memory, loaded->FilePath);
    if (path == nullptr) {
        root->Close(root);
        return nullptr;
    }
    size_t cut = 0;  // the folder is what comes before the last separator
    for (size_t i = 0; path[i] != 0; ++i)
        if (path[i] == L'\\') cut = i;
    path[cut] = 0;
    EFI_FILE_HANDLE folder = root;
    if (path[0] != 0) {
        if (root->Open(root, &folder, path, EFI_FILE_MODE_READ, 0) != EFI_SUCCESS) folder = nullptr;
        root->Close(root);
    }
    memory.release(path);
    return folder;
}

void UefiVolumeFileSystem::close() {
    if (folder_ != nullptr) folder_->Close(folder_);
    folder_ = nullptr;
}

File* UefiVolumeFileSystem::open(const char* name, const char* mode) {
    OpenMode decoded;
    if (!decodeOpenMode(mode, &decoded)) return nullptr;
    EFI_FILE_HANDLE handle = openRelative(folder_, name, decoded.firmwareMode);
    if (handle == nullptr) return nullptr;
    // A folder opens like a file but reads as a list of entries; "wb"
    // empties the file, as fopen does.
    EFI_FILE_INFO* info = fileInfo(handle);
    bool ok = info != nullptr && (info->Attribute & EFI_FILE_DIRECTORY) == 0;
    if (ok && decoded.writable && info->FileSize != 0) {
        info->FileSize = 0;
        EFI_GUID id = EFI_FILE_INFO_ID;
        ok = handle->SetInfo(handle, &id, info->Size, info) == EFI_SUCCESS;
    }
    if (info != nullptr) firmware.boot->FreePool(info);
    File* file = ok ? new (std::nothrow) VolumeFile(handle, decoded.readable, decoded.writable) : nullptr;
    if (file == nullptr) handle->Close(handle);
    return file;
}

bool UefiVolumeFileSystem::remove(const char* name) {
    EFI_STATUS status = EFI_SUCCESS;
    EFI_FILE_HANDLE handle = openRelative(folder_, name, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, &status);
    // Absent is removed; anything else that keeps it from opening is not.
    if (handle == nullptr) return status == EFI_NOT_FOUND;
    // Delete closes the handle whatever it returns.
    return handle->Delete(handle) == EFI_SUCCESS;
}

}  // namespace korvex::uefi
