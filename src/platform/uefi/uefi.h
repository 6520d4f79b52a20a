// The platform on UEFI Boot Services, with files through the UEFI Shell or,
// when no shell runs, through the volume the image was loaded from: what
// Korvex.efi hands to the core. Only efi_main builds these objects.
#pragma once

extern "C" {
#include <efi.h>
}

#include "platform/platform.h"
#include "platform/uefi/utf.h"

namespace korvex::uefi {

// Boot Services and the image, for the few runtime routines that cannot be
// handed them (operator new, abort). Set once by efi_main before anything else.
struct Firmware {
    EFI_HANDLE image;
    EFI_SYSTEM_TABLE* system;
    EFI_BOOT_SERVICES* boot;
};
extern Firmware firmware;

class UefiPorts final : public PortIo {
public:
    uint8_t in8(uint16_t port) override;
    void out8(uint16_t port, uint8_t value) override;
};

class UefiTimers final : public Timers {
public:
    bool create(TimerId* id) override;
    bool armRelative(TimerId id, uint64_t units100ns) override;
    bool fired(TimerId id) override;
    void cancel(TimerId id) override;
    void close(TimerId id) override;
};

class UefiStall final : public Stall {
public:
    void stall(uint64_t microseconds) override;
};

// 8-bit (UTF-8) text to the firmware's UCS-2 console. Each print goes out
// when it is done: a line held back for a later flush would stay unseen
// through the long waits that often follow it. The buffer only gathers the
// pieces of one print into few firmware calls.
class UefiConsole final : public Console {
public:
    explicit UefiConsole(EFI_SYSTEM_TABLE* system) : system_(system) {}
    ~UefiConsole() { flush(); }
    void vprint(const char* format, va_list args) override;
    void flush() override;
    int readChar() override;
    // Every byte of text printed from now on also goes to log, as printed
    // (8-bit, line feeds alone), written out at the end of each print;
    // nullptr stops the copy. The log stays the caller's to close.
    void copyTo(File* log) { log_ = log; }

    // Takes bytes of text; public for the formatter's sink.
    void put(const char* text, size_t length);

private:
    void putUnit(CHAR16 unit);
    void putCodePoint(uint32_t codePoint);

    static constexpr size_t kCapacity = 512;
    EFI_SYSTEM_TABLE* system_;
    CHAR16 buffer_[kCapacity + 1] = {};
    size_t used_ = 0;
    // Keeps a UTF-8 sequence that is split across calls.
    Utf8Decoder decoder_;
    File* log_ = nullptr;
};

// open() and staged output files, built once on the few file operations
// that both the UEFI Shell's file functions and a volume's file protocol
// offer. A staged file's temporary is NAME.incomplete-N, N the first number
// free; keep() renames it onto NAME with the file protocol (SetInfo with a
// new FileName), moving a file already there aside (NAME.previous-N) until
// the new one has its name.
class FirmwareFileSystem : public FileSystem {
public:
    File* open(const char* name, const char* mode) final;
    StagedFile* createStaged(const char* name) final;
    // Deletes the file; true when it is gone (or was never there).
    bool remove(const char* name);

    // The operations, on handles of the implementation's own kind.
    using Handle = void*;
    virtual EFI_STATUS openFile(const CHAR16* name, UINT64 mode, Handle* handle) = 0;
    virtual bool closeFile(Handle handle) = 0;
    virtual bool deleteFile(Handle handle) = 0;          // closes the handle too
    virtual EFI_FILE_INFO* fileInfo(Handle handle) = 0;  // pool memory (FreePool)
    virtual bool setFileInfo(Handle handle, EFI_FILE_INFO* info) = 0;
    virtual bool readFile(Handle handle, uint64_t position, void* buffer, size_t* count) = 0;
    virtual bool writeFile(Handle handle, uint64_t position, const void* data, size_t* count) = 0;
    virtual bool flushFile(Handle handle) = 0;

protected:
    ~FirmwareFileSystem() = default;
};

// Files through the shell, so names resolve against its current directory
// and may carry a mapping ("fs1:\x.bin") or "..". Without a shell nothing opens.
class UefiFileSystem final : public FirmwareFileSystem {
public:
    explicit UefiFileSystem(EFI_SHELL_PROTOCOL* shell) : shell_(shell) {}
    EFI_STATUS openFile(const CHAR16* name, UINT64 mode, Handle* handle) override;
    bool closeFile(Handle handle) override;
    bool deleteFile(Handle handle) override;
    EFI_FILE_INFO* fileInfo(Handle handle) override;
    bool setFileInfo(Handle handle, EFI_FILE_INFO* info) override;
    bool readFile(Handle handle, uint64_t position, void* buffer, size_t* count) override;
    bool writeFile(Handle handle, uint64_t position, const void* data, size_t* count) override;
    bool flushFile(Handle handle) override;

private:
    EFI_SHELL_PROTOCOL* shell_;
};

// The folder Korvex.efi was loaded from, opened through the Simple File
// System protocol of the image's device; nullptr when the image did not come
// from a file system (or the folder cannot be opened).
EFI_FILE_HANDLE openImageFolder(EFI_HANDLE image);

// Files in one folder through the file protocol, for runs without a shell:
// relative names resolve against the folder, a name starting with '\'
// against the volume's root. Owns the folder handle.
class UefiVolumeFileSystem final : public FirmwareFileSystem {
public:
    explicit UefiVolumeFileSystem(EFI_FILE_HANDLE folder) : folder_(folder) {}
    ~UefiVolumeFileSystem() { close(); }
    UefiVolumeFileSystem(const UefiVolumeFileSystem&) = delete;
    UefiVolumeFileSystem& operator=(const UefiVolumeFileSystem&) = delete;
    // Closes the folder; nothing opens after this.
    void close();

    EFI_STATUS openFile(const CHAR16* name, UINT64 mode, Handle* handle) override;
    bool closeFile(Handle handle) override;
    bool deleteFile(Handle handle) override;
    EFI_FILE_INFO* fileInfo(Handle handle) override;
    bool setFileInfo(Handle handle, EFI_FILE_INFO* info) override;
    bool readFile(Handle handle, uint64_t position, void* buffer, size_t* count) override;
    bool writeFile(Handle handle, uint64_t position, const void* data, size_t* count) override;
    bool flushFile(Handle handle) override;

private:
    EFI_FILE_HANDLE folder_;
};

class UefiMemory final : public Memory {
public:
    void* allocate(size_t size) override;
    void release(void* block) override;
};

// UTF-8 to a zero-terminated UCS-2 string in pool memory (release with
// Memory::release); nullptr when memory runs out.
CHAR16* toUcs2(Memory& memory, const char* text);
// UCS-2 (surrogate pairs joined) to a zero-terminated UTF-8 string in pool memory.
char* toUtf8(Memory& memory, const CHAR16* text);

}  // namespace korvex::uefi
