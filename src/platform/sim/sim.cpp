#include "platform/sim/sim.h"

#include <algorithm>

namespace korvex::sim {

IoDevice* SimPorts::find(uint16_t port) const {
    for (IoDevice* d : devices_)
        if (d->claims(port)) return d;
    return nullptr;
}

uint8_t SimPorts::in8(uint16_t port) {
    clock_.advanceNs(stepNs_);
    ++reads_;
    IoDevice* d = find(port);
    const uint8_t value = d != nullptr ? d->read(port) : 0xFF;
    // A poll that keeps reading the same value lets time run on in growing
    // steps (up to 20 us): a 30-second wait then costs 1.5 million reads, not
    // thirty million, and a change is still seen within 20 us.
    if (port == lastPort_ && value == lastValue_) {
        if (++repeats_ >= kSteadyReads && stepNs_ < kLongestStepNs) stepNs_ = std::min(stepNs_ * 2, kLongestStepNs);
    } else {
        lastPort_ = port;
        lastValue_ = value;
        repeats_ = 0;
        stepNs_ = costNs_;
    }
    return value;
}

void SimPorts::out8(uint16_t port, uint8_t value) {
    clock_.advanceNs(costNs_);
    ++writes_;
    repeats_ = 0;
    stepNs_ = costNs_;
    if (IoDevice* d = find(port)) d->write(port, value);
}

bool SimTimers::create(TimerId* id) {
    if (failCreates_ > 0) {
        --failCreates_;
        return false;
    }
    return slots_.create(id);
}

bool SimTimers::armRelative(TimerId id, uint64_t units100ns) {
    return slots_.arm(id, clock_.nowNs() + units100ns * 100);
}

bool SimTimers::fired(TimerId id) {
    return slots_.fired(id, [this](uint64_t deadlineNs) { return clock_.nowNs() >= deadlineNs; });
}

void SimTimers::cancel(TimerId id) { slots_.cancel(id); }

void SimTimers::close(TimerId id) { slots_.close(id); }

}  // namespace korvex::sim
