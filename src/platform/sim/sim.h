// The simulated machine: a virtual clock that port accesses and pauses
// advance, timers that fire on it, and an I/O port bus on which simulated
// devices sit. A 30-second timeout costs no real time here, yet the tool sees
// exactly what it would see on a server.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/hosted/timer_slots.h"
#include "platform/platform.h"

namespace korvex::sim {

class VirtualClock {
public:
    uint64_t nowNs() const { return ns_; }
    uint64_t nowUs() const { return ns_ / 1000; }
    void advanceNs(uint64_t ns) { ns_ += ns; }

private:
    uint64_t ns_ = 0;
};

// A device that answers on some I/O ports.
class IoDevice {
public:
    virtual bool claims(uint16_t port) const = 0;
    virtual uint8_t read(uint16_t port) = 0;
    virtual void write(uint16_t port, uint8_t value) = 0;

protected:
    ~IoDevice() = default;
};

// The port bus. Like a real machine, a port where no device answers reads
// 0xFF and swallows writes. Every access advances the clock by a fixed cost
// (1 us by default, about one LPC I/O cycle), except in a poll that keeps
// reading the same value, where time runs on in growing steps (sim.cpp).
class SimPorts final : public PortIo {
public:
    explicit SimPorts(VirtualClock& clock, uint64_t accessCostNs = 1000) : clock_(clock), costNs_(accessCostNs) {}
    void attach(IoDevice& device) { devices_.push_back(&device); }
    uint8_t in8(uint16_t port) override;
    void out8(uint16_t port, uint8_t value) override;
    uint64_t reads() const { return reads_; }
    uint64_t writes() const { return writes_; }

private:
    IoDevice* find(uint16_t port) const;
    static constexpr uint64_t kSteadyReads = 64;
    static constexpr uint64_t kLongestStepNs = 20000;
    VirtualClock& clock_;
    uint64_t costNs_;
    uint64_t stepNs_ = costNs_;
    uint16_t lastPort_ = 0;
    uint8_t lastValue_ = 0;
    uint64_t repeats_ = 0;
    std::vector<IoDevice*> devices_;
    uint64_t reads_ = 0;
    uint64_t writes_ = 0;
};

class SimTimers final : public Timers {
public:
    explicit SimTimers(const VirtualClock& clock) : clock_(clock) {}
    bool create(TimerId* id) override;
    bool armRelative(TimerId id, uint64_t units100ns) override;
    bool fired(TimerId id) override;
    void cancel(TimerId id) override;
    void close(TimerId id) override;
    // Timers created and not yet closed: a leak check for the tests.
    size_t openCount() const { return slots_.openCount(); }
    // Makes the next `count` calls to create() fail, for failure tests.
    void failNextCreates(unsigned count) { failCreates_ = count; }

private:
    const VirtualClock& clock_;
    hosted::TimerSlots<uint64_t> slots_;  // deadlines in virtual nanoseconds
    unsigned failCreates_ = 0;
};

class SimStall final : public Stall {
public:
    explicit SimStall(VirtualClock& clock) : clock_(clock) {}
    void stall(uint64_t microseconds) override {
        clock_.advanceNs(microseconds * 1000);
        ++calls_;
    }
    uint64_t calls() const { return calls_; }

private:
    VirtualClock& clock_;
    uint64_t calls_ = 0;
};

}  // namespace korvex::sim
