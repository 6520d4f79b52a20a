// stdio and malloc implementations of the console, files and memory, shared by
// the Linux front ends (korvex, korvex-sim) and the tests.
#pragma once

#include <cstdio>

#include "platform/platform.h"

namespace korvex::hosted {

class StdioConsole final : public Console {
public:
    explicit StdioConsole(FILE* out = stdout, FILE* in = stdin) : out_(out), in_(in) {}
    void vprint(const char* format, va_list args) override;
    void flush() override;
    int readChar() override;

private:
    FILE* out_;
    FILE* in_;
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
