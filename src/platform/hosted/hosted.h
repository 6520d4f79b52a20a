// stdio and malloc implementations of the console, files and memory, shared by
// the Linux front ends (korvex, korvex-sim) and the tests.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace korvex::hosted {

// text as a terminal may show it without obeying any of it: printable ASCII
// stays, a backslash doubles, every other byte (control characters, DEL,
// anything above 0x7e) becomes \xNN.
std::string escapedText(std::string_view text);

// Untrusted text is escaped when out is a terminal, and left exactly as it
// is on a pipe or in a file, where programs compare it byte for byte.
class StdioConsole final : public Console {
public:
    explicit StdioConsole(FILE* out = stdout, FILE* in = stdin);
    void vprint(const char* format, va_list args) override;
    void flush() override;
    int readChar() override;
    void printUntrusted(const char* text) override;
    // Asked before the console reads a character; false ends the wait
    // without one (SignalStops::awaitInput, when a stop ends a key wait).
    void waitInputWith(bool (*wait)(int fd)) { wait_ = wait; }

private:
    FILE* out_;
    FILE* in_;
    bool terminal_;
    bool (*wait_)(int fd) = nullptr;
};

class StdioFileSystem final : public FileSystem {
public:
    File* open(const char* name, const char* mode) override;
    // The temporary is NAME.incomplete-PID-N, created with mode 0600 and
    // without following a link; keep() renames it onto NAME. A folder or a
    // special file at NAME is refused.
    StagedFile* createStaged(const char* name) override;
};

class HeapMemory final : public Memory {
public:
    void* allocate(size_t size) override;
    void release(void* block) override;
};

}  // namespace korvex::hosted
