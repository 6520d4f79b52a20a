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

SimTimers::Slot* SimTimers::slot(TimerId id) {
    if (id == 0 || id > slots_.size()) return nullptr;
    Slot* s = &slots_[id - 1];
    return s->open ? s : nullptr;
}

bool SimTimers::create(TimerId* id) {
    if (failCreates_ > 0) {
        --failCreates_;
        return false;
    }
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (!slots_[i].open) {
            slots_[i] = Slot{true, false, 0};
            *id = i + 1;
            return true;
        }
    }
    slots_.push_back(Slot{true, false, 0});
    *id = slots_.size();
    return true;
}

bool SimTimers::armRelative(TimerId id, uint64_t units100ns) {
    Slot* s = slot(id);
    if (s == nullptr) return false;
    s->armed = true;
    s->deadlineNs = clock_.nowNs() + units100ns * 100;
    return true;
}

bool SimTimers::fired(TimerId id) {
    Slot* s = slot(id);
    if (s == nullptr || !s->armed || clock_.nowNs() < s->deadlineNs) return false;
    s->armed = false;  // a one-shot timer signals once
    return true;
}

void SimTimers::cancel(TimerId id) {
    if (Slot* s = slot(id)) s->armed = false;
}

void SimTimers::close(TimerId id) {
    if (Slot* s = slot(id)) *s = Slot{};
}

size_t SimTimers::openCount() const {
    size_t n = 0;
    for (const Slot& s : slots_) n += s.open ? 1 : 0;
    return n;
}

}  // namespace korvex::sim
