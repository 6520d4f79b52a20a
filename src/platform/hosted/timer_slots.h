// The bookkeeping behind one-shot timers with UEFI event semantics, shared by
// the host platforms: ids from 1, closed slots reused, a fired timer signals
// once until armed again. Each platform supplies what a deadline is and when
// it is reached.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/platform.h"

namespace korvex::hosted {

template <typename Deadline>
class TimerSlots {
public:
    bool create(TimerId* id) {
        for (size_t i = 0; i < slots_.size(); ++i) {
            if (!slots_[i].open) {
                slots_[i] = Slot{true, false, {}};
                *id = i + 1;
                return true;
            }
        }
        slots_.push_back(Slot{true, false, {}});
        *id = slots_.size();
        return true;
    }
    bool arm(TimerId id, Deadline deadline) {
        Slot* s = slot(id);
        if (s == nullptr) return false;
        s->deadline = deadline;
        s->armed = true;
        return true;
    }
    // reached(deadline) tells whether the time has come.
    template <typename Reached>
    bool fired(TimerId id, Reached reached) {
        Slot* s = slot(id);
        if (s == nullptr || !s->armed || !reached(s->deadline)) return false;
        s->armed = false;
        return true;
    }
    void cancel(TimerId id) {
        if (Slot* s = slot(id)) s->armed = false;
    }
    void close(TimerId id) {
        if (Slot* s = slot(id)) *s = Slot{};
    }
    size_t openCount() const {
        size_t n = 0;
        for (const Slot& s : slots_) n += s.open ? 1 : 0;
        return n;
    }

private:
    struct Slot {
        bool open = false;
        bool armed = false;
        Deadline deadline{};
    };
    Slot* slot(TimerId id) {
        if (id == 0 || id > slots_.size()) return nullptr;
        Slot* s = &slots_[id - 1];
        return s->open ? s : nullptr;
    }
    std::vector<Slot> slots_;
};

}  // namespace korvex::hosted
