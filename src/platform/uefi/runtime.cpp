// What a freestanding C++ program expects from its C and C++ libraries, on
// UEFI Boot Services: the memory and string routines the compiler calls,
// allocation, and the few hooks libstdc++'s headers refer to.
#include <cstddef>
#include <new>

#include "platform/uefi/uefi.h"

namespace korvex::uefi {

Firmware firmware = {nullptr, nullptr, nullptr};

namespace {

void* poolAllocate(size_t size) {
    if (firmware.boot == nullptr) return nullptr;
    void* block = nullptr;
    if (size == 0) size = 1;  // operator new must hand out a unique pointer
    if (firmware.boot->AllocatePool(EfiLoaderData, size, &block) != EFI_SUCCESS) return nullptr;
    return block;
}

void poolFree(void* block) {
    if (block != nullptr && firmware.boot != nullptr) firmware.boot->FreePool(block);
}

[[noreturn]] void halt() {
    if (firmware.boot != nullptr) firmware.boot->Exit(firmware.image, EFI_ABORTED, 0, nullptr);
    for (;;) __asm__ volatile("hlt");
}

}  // namespace

void* UefiMemory::allocate(size_t size) { return size == 0 ? nullptr : poolAllocate(size); }

void UefiMemory::release(void* block) { poolFree(block); }

}  // namespace korvex::uefi

using korvex::uefi::halt;
using korvex::uefi::poolAllocate;
using korvex::uefi::poolFree;

// The compiler emits calls to these even in freestanding code. Byte loops
// are enough: the tool moves kilobytes, not gigabytes.
extern "C" {

void* memcpy(void* dest, const void* src, size_t n) noexcept {
    auto* d = static_cast<unsigned char*>(dest);
    const auto* s = static_cast<const unsigned char*>(src);
    for (size_t i = 0; i < n; ++i) d[i] = s[i];
    return dest;
}

void* memmove(void* dest, const void* src, size_t n) noexcept {
    auto* d = static_cast<unsigned char*>(dest);
    const auto* s = static_cast<const unsigned char*>(src);
    if (d < s) {
        for (size_t i = 0; i < n; ++i) d[i] = s[i];
    } else {
        for (size_t i = n; i > 0; --i) d[i - 1] = s[i - 1];
    }
    return dest;
}

void* memset(void* dest, int value, size_t n) noexcept {
    auto* d = static_cast<unsigned char*>(dest);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(value);
    return dest;
}

int memcmp(const void* a, const void* b, size_t n) noexcept {
    const auto* x = static_cast<const unsigned char*>(a);
    const auto* y = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; ++i)
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    return 0;
}

void* memchr(const void* s, int c, size_t n) noexcept {
    const auto* p = static_cast<const unsigned char*>(s);
    for (size_t i = 0; i < n; ++i)
        if (p[i] == static_cast<unsigned char>(c)) return const_cast<unsigned char*>(p + i);
    return nullptr;
}

size_t strlen(const char* s) noexcept {
    size_t n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

[[noreturn]] void abort() noexcept { halt(); }

// A pure virtual call or a failed check inside a library header: nothing can
// be recovered, so the application ends.
[[noreturn]] void __cxa_pure_virtual() { halt(); }

// Objects with static storage are never destroyed: the image ends with its
// run, and Boot Services free its pool.
int __cxa_atexit(void (*)(void*), void*, void*) { return 0; }
void* __dso_handle = nullptr;

}  // extern "C"

void* operator new(size_t size) { return poolAllocate(size); }
void* operator new[](size_t size) { return poolAllocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return poolAllocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return poolAllocate(size); }
void operator delete(void* block) noexcept { poolFree(block); }
void operator delete[](void* block) noexcept { poolFree(block); }
void operator delete(void* block, size_t) noexcept { poolFree(block); }
void operator delete[](void* block, size_t) noexcept { poolFree(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { poolFree(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { poolFree(block); }

namespace std {
const nothrow_t nothrow{};
// libstdc++'s headers call these where a hosted build would throw.
[[noreturn]] void __throw_bad_alloc() { halt(); }
[[noreturn]] void __throw_bad_array_new_length() { halt(); }
[[noreturn]] void __throw_length_error(const char*) { halt(); }
[[noreturn]] void __throw_logic_error(const char*) { halt(); }
[[noreturn]] void __throw_out_of_range(const char*) { halt(); }
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) { halt(); }
[[noreturn]] void __throw_invalid_argument(const char*) { halt(); }
[[noreturn]] void __throw_bad_function_call() { halt(); }
}  // namespace std
