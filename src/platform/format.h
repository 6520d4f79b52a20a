// printf-style formatting without a C library, for consoles that have none
// (the UEFI Shell). It understands what the tool's messages use: the flags
// '-', '0', '+', ' ' and '#', a width and a precision (digits or '*'), the
// length modifiers hh h l ll z j t, and the conversions d i u x X o c s p %.
// An unknown conversion is copied out as written.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace korvex::format {

// Receives the formatted text piece by piece (not terminated).
class Sink {
public:
    virtual void put(const char* text, size_t length) = 0;

protected:
    ~Sink() = default;
};

// Formats into the sink; returns the number of characters produced.
size_t formatv(Sink& sink, const char* format, va_list args);

// snprintf semantics: writes at most capacity-1 characters and a terminating
// zero (when capacity > 0) and returns the length the whole text would have.
size_t formatv(char* out, size_t capacity, const char* format, va_list args);
size_t formatTo(char* out, size_t capacity, const char* format, ...) __attribute__((format(printf, 3, 4)));

}  // namespace korvex::format
