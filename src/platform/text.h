// The few string routines the core needs, so that it depends on no C library
// beyond what every freestanding build supplies (memcpy, memset, strlen...).
#pragma once

#include <cstddef>

namespace korvex::text {

constexpr size_t length(const char* s) {
    size_t n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

constexpr bool equal(const char* a, const char* b) {
    size_t i = 0;
    for (; a[i] != '\0' && a[i] == b[i]; ++i) {
    }
    return a[i] == b[i];
}

// Copies at most capacity-1 characters and always terminates.
// Returns the number of characters copied.
constexpr size_t copy(char* dest, size_t capacity, const char* src) {
    size_t n = 0;
    if (capacity == 0) return 0;
    while (n + 1 < capacity && src[n] != '\0') {
        dest[n] = src[n];
        ++n;
    }
    dest[n] = '\0';
    return n;
}

}  // namespace korvex::text
