// Files beside Korvex.efi when no shell runs: the file protocol of the volume
// the image was loaded from, names relative to the image's folder.
#include "platform/uefi/uefi.h"

namespace korvex::uefi {

namespace {

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

EFI_STATUS UefiVolumeFileSystem::openFile(const CHAR16* name, UINT64 mode, Handle* handle) {
    if (folder_ == nullptr) return EFI_NOT_READY;
    EFI_FILE_HANDLE opened = nullptr;
    const EFI_STATUS status = folder_->Open(folder_, &opened, const_cast<CHAR16*>(name), mode, 0);
    *handle = opened;
    return status;
}

bool UefiVolumeFileSystem::closeFile(Handle handle) {
    auto* file = static_cast<EFI_FILE_HANDLE>(handle);
    return file->Close(file) == EFI_SUCCESS;
}

// Delete closes the handle whatever it returns.
bool UefiVolumeFileSystem::deleteFile(Handle handle) {
    auto* file = static_cast<EFI_FILE_HANDLE>(handle);
    return file->Delete(file) == EFI_SUCCESS;
}

EFI_FILE_INFO* UefiVolumeFileSystem::fileInfo(Handle handle) {
    auto* file = static_cast<EFI_FILE_HANDLE>(handle);
    EFI_GUID id = EFI_FILE_INFO_ID;
    UINTN size = 0;
    if (file->GetInfo(file, &id, &size, nullptr) != EFI_BUFFER_TOO_SMALL || size == 0) return nullptr;
    void* info = nullptr;
    if (firmware.boot->AllocatePool(EfiLoaderData, size, &info) != EFI_SUCCESS) return nullptr;
    if (file->GetInfo(file, &id, &size, info) != EFI_SUCCESS) {
        firmware.boot->FreePool(info);
        return nullptr;
    }
    return static_cast<EFI_FILE_INFO*>(info);
}

bool UefiVolumeFileSystem::setFileInfo(Handle handle, EFI_FILE_INFO* info) {
    auto* file = static_cast<EFI_FILE_HANDLE>(handle);
    EFI_GUID id = EFI_FILE_INFO_ID;
    return file->SetInfo(file, &id, info->Size, info) == EFI_SUCCESS;
}

bool UefiVolumeFileSystem::readFile(Handle handle, uint64_t position, void* buffer, size_t* count) {
    auto* file = static_cast<EFI_FILE_HANDLE>(handle);
    UINTN n = *count;
    if (file->SetPosition(file, position) != EFI_SUCCESS || file->Read(file, &n, buffer) != EFI_SUCCESS) return false;
    *count = n;
    return true;
}

bool UefiVolumeFileSystem::writeFile(Handle handle, uint64_t position, const void* data, size_t* count) {
    auto* file = static_cast<EFI_FILE_HANDLE>(handle);
    UINTN n = *count;
    if (file->SetPosition(file, position) != EFI_SUCCESS ||
        file->Write(file, &n, const_cast<void*>(data)) != EFI_SUCCESS)
        return false;
    *count = n;
    return true;
}

bool UefiVolumeFileSystem::flushFile(Handle handle) {
    auto* file = static_cast<EFI_FILE_HANDLE>(handle);
    return file->Flush(file) == EFI_SUCCESS;
}

}  // namespace korvex::uefi
