// Small doubles shared by the fuzz targets.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace korvex::fuzz {

// Discards the tool's text: fuzzing is about what happens, not what is said.
class NullConsole final : public Console {
public:
    void vprint(const char*, va_list) override {}
    void flush() override {}
    int readChar() override { return -1; }
};

inline bool terminatedWithin(const char* field, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (field[i] == '\0') return true;
    return false;
}

}  // namespace korvex::fuzz
