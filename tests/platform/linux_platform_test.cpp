// The Linux build's timers, sleep and port access, and the slot table under
// its timers.
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

#include "platform/hosted/timer_slots.h"
#include "platform/linux/linux.h"

namespace korvex::linuxhost {
namespace {

void onAlarm(int) {}

// Whether the timer has fired after each step: never armed; armed at 0 (twice,
// once per arming); cancelled; spans whose end would wrap into the past
// unless saturated; 30 ms, before and after a 30 ms sleep that signals keep
// interrupting.
TEST(LinuxPlatform, TimersSleepAndRefusedPorts) {
    MonotonicTimers timers;
    TimerId id = 0;
    ASSERT_TRUE(timers.create(&id));
    std::vector<bool> fired = {timers.fired(id)};
    for (int round = 0; round < 2; ++round) {
        timers.armRelative(id, 0);
        fired.insert(fired.end(), {timers.fired(id), timers.fired(id)});
    }
    timers.armRelative(id, 0);
    timers.cancel(id);
    fired.push_back(timers.fired(id));
    for (uint64_t units : {uint64_t{300000000}, UINT64_MAX, UINT64_MAX / 100 + 1, uint64_t{1} << 62}) {
        EXPECT_TRUE(timers.armRelative(id, units));
        fired.push_back(timers.fired(id));
    }
    struct sigaction action {};
    action.sa_handler = onAlarm;  // no SA_RESTART: the sleep sees EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval every2ms{{0, 2000}, {0, 2000}}, off{};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every2ms, nullptr), 0);
    timers.armRelative(id, 300000);
    fired.push_back(timers.fired(id));
    SleepStall().stall(30000);
    fired.push_back(timers.fired(id));
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    timers.close(id);
    EXPECT_EQ(fired,
              std::vector<bool>({false, true, false, true, false, false, false, false, false, false, false, true}));
    const timespec end = monotonicAfter(UINT64_MAX);
    EXPECT_TRUE(end.tv_sec > monotonicAfter(0).tv_sec && end.tv_nsec >= 0 && end.tv_nsec < 1000000000);
    // A deadline whose nanoseconds carry into its seconds lies the whole span later, never earlier.
    const timespec now = monotonicAfter(0), later = monotonicAfter(999999999);
    EXPECT_GE((later.tv_sec - now.tv_sec) * 1000000000L + (later.tv_nsec - now.tv_nsec), 999999999L);

    LinuxPortIo io;
    int error = 0;
    // Port 0x80 is the POST code port: harmless if this test ever does get access.
    if (io.grant(0x80, &error)) return;
    io.out8(0x80, 0x12);  // must neither fault nor reach the port
    EXPECT_EQ(io.in8(0x80), 0xFF);
    EXPECT_TRUE(error != 0 && !io.granted(0x80));
}

// The slot table behind the Linux and the simulated timers, once for both:
// ids from 1, closed slots reused, a timer fires once per arming, and ids
// that name no open slot change nothing.
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
    hosted::TimerSlots<int> slots;
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
}  // namespace korvex::linuxhost
