#include "platform/sim/sim.h"

namespace korvex::sim {

IoDevice* SimPorts::find(uint16_t port) const {
    for (IoDevice* d : devices_)
        if (d->claims(port)) return d;
    return nullptr;
}

uint8_t SimPorts::in8(uint16_t port) {
    clock_.advanceNs(costNs_);
    ++reads_;
    IoDevice* d = find(port);
    return d != nullptr ? d->read(port) : 0xFF;
}

void SimPorts::out8(uint16_t port, uint8_t value) {
    clock_.advanceNs(costNs_);
    ++writes_;
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
