// The platform on UEFI Boot Services and the UEFI Shell: what Korvex.efi
// hands to the core. Only efi_main builds these objects.
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
};

// Files through the shell, so names resolve against its current directory
// and may carry a mapping ("fs1:\x.bin") or "..".
class UefiFileSystem final : public FileSystem {
public:
    explicit UefiFileSystem(EFI_SHELL_PROTOCOL* shell) : shell_(shell) {}
    File* open(const char* name, const char* mode) override;
    // The temporary is NAME.incomplete-N, N the first number free; keep()
    // renames it onto NAME with the file protocol, moving a file already
    // there aside (NAME.previous-N) until the new one has its name.
    StagedFile* createStaged(const char* name) override;

private:
    EFI_SHELL_PROTOCOL* shell_;
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
