// The adapter's event loop, run on a thread of its own as the daemon's looper
// runs it.  The event base is process-wide: every case shares it, starts the
// loop in SetUp and breaks it in TearDown.  Events are statics, as the
// daemon's are, and each case disarms its own before its descriptors close.
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"
#include "kor_event.h"

namespace {

struct AdapterEvent : ::testing::Test {
    std::thread looper;
    std::atomic<int> loop_rc{0};
    int pipe_fd[2] = {-1, -1};

    void SetUp() override {
        ASSERT_EQ(kor_event_init(), 0);
        looper = std::thread([this] { loop_rc = kor_event_loop(); });
        ASSERT_EQ(pipe(pipe_fd), 0);
        ASSERT_EQ(write(pipe_fd[1], "x", 1), 1);  // readable until read, which no case does
    }
    void TearDown() override {
        kor_event_loopbreak();
        looper.join();
        EXPECT_EQ(loop_rc, -1);
        close(pipe_fd[0]);
        close(pipe_fd[1]);
    }
};

void count_cb(int, short, void *arg) { ++*(std::atomic<int> *)arg; }
bool reaches(const std::atomic<int> &n, int want, int timeout_ms = 5000) {
    return korvtest::wait_until([&] { return n == want; }, timeout_ms);
}
const kor_timeval_st k_one_us = {0, 1};

// Lets the loop run past a short timer: whatever fired wrongly by then shows.
void let_loop_run() {
    static kor_event_st marker;
    static std::atomic<int> fired;
    fired = 0;
    kor_event_set(&marker, -1, 0, count_cb, &fired);
    kor_timeval_st period = {0, 20000};
    ASSERT_EQ(kor_timer_add(&marker, &period), 0);
    ASSERT_TRUE(reaches(fired, 1));
}

std::atomic<int> s_fired_seq;
void record_seq(int, short, void *arg) { *(std::atomic<int> *)arg = ++s_fired_seq; }

kor_event_st s_ticker;
std::atomic<int> s_ticks;
void rearm_until_five(int fd, short flags, void *) {
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(flags, KOR_EV_TIMEOUT);
    kor_timeval_st period = {0, 1000};
    if (++s_ticks < 5) kor_timer_add(&s_ticker, &period);
}

TEST_F(AdapterEvent, TimersFireOnceRearmFromTheirCallbackAndLongPeriodsAreNormalised) {
    static kor_event_st tick, late, early, woken;
    static std::atomic<int> ticks, late_seq, early_seq, woken_fired;
    kor_event_set(&tick, -1, 0, count_cb, &ticks);
    ASSERT_EQ(kor_timer_add(&tick, &k_one_us), 0);
    ASSERT_TRUE(reaches(ticks, 1));
    let_loop_run();
    EXPECT_EQ(ticks, 1) << "a one-shot timer fired again";
    kor_event_set(&s_ticker, -1, 0, rearm_until_five, nullptr);
    ASSERT_EQ(kor_timer_add(&s_ticker, &k_one_us), 0);
    EXPECT_TRUE(reaches(s_ticks, 5)) << "a timer rearmed from its callback stopped";

    // 2.5 s written in microseconds must still come after 2.2 s; expired
    // timers run in deadline order however late the loop wakes.
    kor_event_set(&late, -1, 0, record_seq, &late_seq);
    kor_event_set(&early, -1, 0, record_seq, &early_seq);
    kor_timeval_st two_and_a_half = {0, 2500000}, two_point_two = {2, 200000};
    ASSERT_EQ(kor_timer_add(&late, &two_and_a_half), 0);
    ASSERT_EQ(kor_timer_add(&early, &two_point_two), 0);
    ASSERT_TRUE(korvtest::wait_until([] { return late_seq != 0 && early_seq != 0; }, 10000));
    EXPECT_EQ(early_seq, 1);
    EXPECT_EQ(late_seq, 2);

    // Nothing armed now, the loop asleep: an add from another thread wakes it.
    let_loop_run();
    std::thread([] {
        kor_event_set(&woken, -1, 0, count_cb, &woken_fired);
        kor_timer_add(&woken, &k_one_us);
    }).join();
    EXPECT_TRUE(reaches(woken_fired, 1)) << "an add from another thread left the loop asleep";
}

kor_event_st s_self_deleting;
std::atomic<int> s_self_deleting_fired;
void delete_on_third(int fd, short flags, void *) {
    EXPECT_GE(fd, 0);
    EXPECT_EQ(flags, KOR_EV_READ);
    if (++s_self_deleting_fired == 3) kor_event_del(&s_self_deleting);
}

TEST_F(AdapterEvent, OneShotFiresOnceUntilAddedAgainPersistentUntilDeleted) {
    static kor_event_st ev;
    static std::atomic<int> fired;
    kor_event_set(&ev, pipe_fd[0], 0, count_cb, &fired);
    ASSERT_EQ(kor_event_add(&ev), 0);
    ASSERT_TRUE(reaches(fired, 1));
    let_loop_run();
    EXPECT_EQ(fired, 1);
    ASSERT_EQ(kor_event_add(&ev), 0);
    EXPECT_TRUE(reaches(fired, 2));

    kor_event_set(&s_self_deleting, pipe_fd[0], 1, delete_on_third, nullptr);
    ASSERT_EQ(kor_event_add(&s_self_deleting), 0);
    ASSERT_TRUE(reaches(s_self_deleting_fired, 3));
    let_loop_run();
    EXPECT_EQ(fired, 2);
    EXPECT_EQ(s_self_deleting_fired, 3);
}

kor_event_st s_morphing;
std::atomic<int> s_morphed;
void become_timer(int, short, void *) {
    kor_event_set(&s_morphing, -1, 0, count_cb, &s_morphed);
    kor_timer_add(&s_morphing, &k_one_us);
}

TEST_F(AdapterEvent, SetReplacesAPendingEventAndWorksFromItsOwnCallback) {
    static std::atomic<int> stale;
    kor_event_set(&s_morphing, pipe_fd[0], 1, count_cb, &stale);
    ASSERT_EQ(kor_event_add(&s_morphing), 0);
    ASSERT_TRUE(korvtest::wait_until([] { return stale >= 1; }, 5000));
    kor_event_set(&s_morphing, pipe_fd[0], 0, become_timer, nullptr);  // still pending
    int stale_at_replace = stale;
    ASSERT_EQ(kor_event_add(&s_morphing), 0);
    ASSERT_TRUE(reaches(s_morphed, 1));
    let_loop_run();
    EXPECT_EQ(s_morphed, 1);
    EXPECT_EQ(stale, stale_at_replace);
}

}  // namespace
