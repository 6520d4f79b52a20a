// The slot table behind the Linux and the simulated timers, once for both:
// ids from 1, closed slots reused, a timer fires once per arming, and ids
// that name no open slot change nothing.
#include "platform/hosted/timer_slots.h"

#include <gtest/gtest.h>

namespace korvex::hosted {
namespace {

enum class Op { Create, Arm, Fire, Cancel, Close, Open };

struct Step {
    Op op;
    TimerId id;
    int value;        // Arm: the deadline; Fire: the time now
    uint64_t expect;  // Create: the id; Arm, Fire: 1 for true; Open: the open slots
};

TEST(TimerSlots, FollowTheScript) {
    const Step script[] = {
        {Op::Create, 0, 0, 1}, {Op::Create, 0, 0, 2}, {Op::Arm, 1, 0, 1},    {Op::Arm, 2, 30, 1},
        {Op::Fire, 2, 10, 0},  {Op::Fire, 1, 10, 1},  {Op::Fire, 1, 10, 0},  // once per arming
        {Op::Fire, 2, 30, 1},  {Op::Arm, 2, 0, 1},    {Op::Cancel, 2, 0, 0}, {Op::Fire, 2, 40, 0},
        {Op::Arm, 1, 0, 1},    {Op::Close, 1, 0, 0},  {Op::Arm, 1, 0, 0},    {Op::Fire, 1, 40, 0},  // closed
        {Op::Arm, 0, 0, 0},    {Op::Arm, 3, 0, 0},    {Op::Cancel, 3, 0, 0}, {Op::Close, 3, 0, 0},
        {Op::Open, 0, 0, 1},   {Op::Create, 0, 0, 1},  // the closed slot again, its old arming gone
        {Op::Fire, 1, 40, 0},  {Op::Open, 0, 0, 2},   {Op::Close, 2, 0, 0},  {Op::Close, 1, 0, 0},
        {Op::Open, 0, 0, 0},   {Op::Create, 0, 0, 1},
    };
    TimerSlots<int> slots;
    for (size_t n = 0; n < std::size(script); ++n) {
        const Step& s = script[n];
        TimerId id = 0;
        const auto reached = [&s](int deadline) { return deadline <= s.value; };
        uint64_t got = 0;
        if (s.op == Op::Create) got = slots.create(&id) ? id : 99;
        if (s.op == Op::Arm) got = slots.arm(s.id, s.value);
        if (s.op == Op::Fire) got = slots.fired(s.id, reached);
        if (s.op == Op::Cancel) slots.cancel(s.id);
        if (s.op == Op::Close) slots.close(s.id);
        if (s.op == Op::Open) got = slots.openCount();
        EXPECT_EQ(got, s.expect) << "step " << n;
    }
}

}  // namespace
}  // namespace korvex::hosted
