// What the benchmarks share: a console that prints nothing, a stopwatch,
// scratch files, and the update packages they send.
#pragma once

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "firmware/package_builder.h"
#include "platform/platform.h"

namespace korvex::bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Real time and the CPU time of this thread (user and system) together. The
// runs here are single-threaded and wait for no device (the files are in the
// page cache), so on an idle machine the two agree; on a shared one the CPU
// time is what a run costs, without the time other processes had the core.
struct Stopwatch {
    static double cpuNow() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    }
    Clock::time_point realStart = Clock::now();
    double cpuStart = cpuNow();
    double real() const { return secondsSince(realStart); }
    double cpu() const { return cpuNow() - cpuStart; }
};

struct Timing {
    double real = 1e30;
    double cpu = 1e30;
    void keepBest(const Stopwatch& w) {
        const double r = w.real(), c = w.cpu();
        if (r < real) real = r;
        if (c < cpu) cpu = c;
    }
};

// Swallows the tool's text; counts the lines so the compiler keeps the calls.
class NullConsole final : public Console {
public:
    void vprint(const char*, va_list) override { ++prints; }
    void flush() override {}
    int readChar() override { return '\n'; }
    uint64_t prints = 0;
};

// A file in the temporary directory, unique to this process, removed at the end.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& stem) {
        const char* dir = std::getenv("TMPDIR");
        path_ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/korvex-bench-" +
                std::to_string(getpid()) + "-" + stem;
    }
    ~ScratchFile() { std::remove(path_.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline constexpr size_t k32MiB = korvex::kFlashSize;
inline constexpr uint64_t kFooterBlock = 0x1FC0000;

// A 32 MiB package that fills the whole flash: one part of firmware-like
// bytes from 0 up to the footer block, then the footer area the tool adds
// itself, so that every one of the 32 MiB goes to the BMC.
inline test::PackageBuilder fullFlashPackage(bool encipheredFooter) {
    test::PackageBuilder b(k32MiB);
    b.signature(0x1F00000, "bench-fw-1.0");
    b.part("image.bin", 0, test::patternBytes(kFooterBlock, 7));
    b.signature(0x1F00000, "bench-fw-1.0");  // the part covers it; put it back
    if (encipheredFooter)
        b.encipheredFooterAt(kFooterBlock);
    else
        b.plainFooter(kFooterBlock);
    return b;
}

inline bool writeBytes(const std::string& path, const test::Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace korvex::bench
