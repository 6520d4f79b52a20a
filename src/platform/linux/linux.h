// The machine-facing services of the Linux build: real x86 port I/O through
// ioperm, one-shot timers on CLOCK_MONOTONIC and a sleeping Stall. Console,
// files and memory come from platform/hosted.
#pragma once

#include <bitset>
#include <cstdint>
#include <ctime>
#include <vector>

#include "platform/hosted/timer_slots.h"
#include "platform/platform.h"

namespace korvex::linuxhost {

// Port access needs the kernel's permission for each port (ioperm), which
// only a process with CAP_SYS_RAWIO gets. The front end grants the KCS ports
// before the run so that a refusal is reported before anything is sent.
class LinuxPortIo final : public PortIo {
public:
    // Asks for access to one port. On refusal returns false with an errno
    // value in *error (ENOTSUP where the machine has no x86 I/O ports).
    bool grant(uint16_t port, int* error);
    bool granted(uint16_t port) const { return granted_.test(port); }

    // A port that was never granted is asked for on first use. If that is
    // refused, the access behaves like a port where nothing answers: reads
    // give 0xFF, writes are dropped, so the KCS exchange fails with its own
    // message instead of the process dying on a protection fault.
    uint8_t in8(uint16_t port) override;
    void out8(uint16_t port, uint8_t value) override;

private:
    bool usable(uint16_t port);
    std::bitset<65536> granted_;
    bool refusalReported_ = false;
};

// Timers with the semantics of UEFI timer events, on the monotonic clock
// (wall-clock changes must not stretch or cut a 30-second KCS wait).
class MonotonicTimers final : public Timers {
public:
    bool create(TimerId* id) override;
    bool armRelative(TimerId id, uint64_t units100ns) override;
    bool fired(TimerId id) override;
    void cancel(TimerId id) override;
    void close(TimerId id) override;
    size_t openCount() const { return slots_.openCount(); }

private:
    hosted::TimerSlots<timespec> slots_;
};

// Sleeps rather than spins: the pauses between requests last up to seconds.
class SleepStall final : public Stall {
public:
    void stall(uint64_t microseconds) override;
};

// Current CLOCK_MONOTONIC time plus a span in nanoseconds, saturating.
timespec monotonicAfter(uint64_t ns);

}  // namespace korvex::linuxhost
