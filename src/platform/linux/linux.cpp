#include "platform/linux/linux.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <sys/io.h>
#define KORVEX_HAS_PORT_IO 1
#else
#define KORVEX_HAS_PORT_IO 0
#endif

namespace korvex::linuxhost {

bool LinuxPortIo::grant(uint16_t port, int* error) {
    if (granted_.test(port)) return true;
#if KORVEX_HAS_PORT_IO
    if (ioperm(port, 1, 1) != 0) {
        *error = errno;
        return false;
    }
    granted_.set(port);
    return true;
#else
    *error = ENOTSUP;
    return false;
#endif
}

bool LinuxPortIo::usable(uint16_t port) {
    if (granted_.test(port)) return true;
    int error = 0;
    if (grant(port, &error)) return true;
    if (!refusalReported_) {
        refusalReported_ = true;
        std::fprintf(stderr, "korvex: cannot access I/O port 0x%X: %s\n", port, std::strerror(error));
    }
    return false;
}

uint8_t LinuxPortIo::in8(uint16_t port) {
    if (!usable(port)) return 0xFF;
#if KORVEX_HAS_PORT_IO
    return inb(port);
#else
    return 0xFF;
#endif
}

void LinuxPortIo::out8(uint16_t port, uint8_t value) {
    if (!usable(port)) return;
#if KORVEX_HAS_PORT_IO
    outb(value, port);
#else
    (void)value;
#endif
}

namespace {

constexpr uint64_t kNsPerSecond = 1000000000;

bool reached(const timespec& now, const timespec& deadline) {
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

}  // namespace

timespec monotonicAfter(uint64_t ns) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    const auto maxSeconds = static_cast<uint64_t>(std::numeric_limits<time_t>::max());
    const uint64_t addSeconds = ns / kNsPerSecond;
    const auto addNs = static_cast<long>(ns % kNsPerSecond);
    if (addSeconds >= maxSeconds - static_cast<uint64_t>(t.tv_sec)) {
        t.tv_sec = std::numeric_limits<time_t>::max();
        t.tv_nsec = static_cast<long>(kNsPerSecond - 1);
        return t;
    }
    t.tv_sec += static_cast<time_t>(addSeconds);
    t.tv_nsec += addNs;
    if (t.tv_nsec >= static_cast<long>(kNsPerSecond)) {
        t.tv_nsec -= static_cast<long>(kNsPerSecond);
        if (t.tv_sec == std::numeric_limits<time_t>::max()) {
            t.tv_nsec = static_cast<long>(kNsPerSecond - 1);
        } else {
            ++t.tv_sec;
        }
    }
    return t;
}

bool MonotonicTimers::create(TimerId* id) { return slots_.create(id); }

bool MonotonicTimers::armRelative(TimerId id, uint64_t units100ns) {
    const uint64_t maxUnits = std::numeric_limits<uint64_t>::max() / 100;
    return slots_.arm(id,
                      monotonicAfter(units100ns > maxUnits ? std::numeric_limits<uint64_t>::max() : units100ns * 100));
}

bool MonotonicTimers::fired(TimerId id) {
    return slots_.fired(id, [](const timespec& deadline) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return reached(now, deadline);
    });
}

void MonotonicTimers::cancel(TimerId id) { slots_.cancel(id); }

void MonotonicTimers::close(TimerId id) { slots_.close(id); }

void SleepStall::stall(uint64_t microseconds) {
    const uint64_t maxMicroseconds = std::numeric_limits<uint64_t>::max() / 1000;
    const uint64_t ns = microseconds > maxMicroseconds ? std::numeric_limits<uint64_t>::max() : microseconds * 1000;
    // An absolute deadline lets a sleep cut short by a signal resume for
    // exactly the time that is left.
    const timespec deadline = monotonicAfter(ns);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace korvex::linuxhost
