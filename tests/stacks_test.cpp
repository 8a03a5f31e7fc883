// The recycled-stack thread module under load: thousands of short threads
// reuse stacks while long-lived ones hold theirs, and every thread checks
// that it has its stack to itself. A thread's stack counts as occupied from
// its first line until the last of its exit work that this test can see (a
// key destructor, which runs after the module takes note of the thread's
// end); some threads linger there while others start.
#include "stacks.h"

#include <pthread.h>
#include <semaphore.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"

using harness::ms;
using harness::scaled;

namespace {

// How a test thread ends.
enum end_kind_t {
    END_RETURN,      // returns from its routine
    END_EXIT,        // calls pthread_exit
    END_LINGER,      // returns, then lingers in its exit work while others start
    END_LONG,        // holds its stack until the test releases it
    END_HOLD_TOUCH,  // touches 128 KiB of stack, then waits for the test's go
};

constexpr size_t TOUCH_BYTES = 128 * 1024;

// The threads of this process when no test thread runs: the main thread, and
// ThreadSanitizer's own from the first thread on.
#if defined(__SANITIZE_THREAD__)
constexpr int BASE_THREADS = 2;
#else
constexpr int BASE_THREADS = 1;
#endif

std::mutex occupancy_mutex;
// occupied[slot]: threads on that pooled stack that have not finished their
// visible exit work; more than one is a fault.
std::vector<int> occupied(STACK_POOL_MAX_SLOTS, 0);
int shared_stacks;  // threads that found their stack occupied
int plain_stacks;   // threads that were not on a pooled stack

std::atomic<long> started{0};   // threads that reached their routine
std::atomic<long> finished{0};  // threads that finished their visible exit work
std::atomic<bool> no_more_starts{false};
sem_t in_flight;  // bounds the short threads running at once

std::mutex hold_mutex;
std::condition_variable hold_cv;
bool hold_released;

pthread_key_t exit_key;
pthread_once_t exit_key_once = PTHREAD_ONCE_INIT;

void leave_stack(int slot) {
    std::lock_guard<std::mutex> lock(occupancy_mutex);
    occupied[slot]--;
}

// Runs after the thread's routine and the module's end-of-thread note: the
// stack is still in use here, so no new thread may have it yet.
void exit_work(void *value) {
    long v = (long)(intptr_t)value;
    int slot = (int)(v / 2) - 2;
    if (v % 2 == 1) {
        // Linger until eight more threads have started, so that a pool that
        // reused this stack too early would hand it out meanwhile.
        long target = started.load() + 8;
        auto end = std::chrono::steady_clock::now() + scaled(ms(2000));
        while (started.load() < target && !no_more_starts.load() &&
               std::chrono::steady_clock::now() < end) {
            sched_yield();
        }
    }
    if (slot >= 0) leave_stack(slot);
    finished.fetch_add(1);
}

void make_exit_key() { pthread_key_create(&exit_key, exit_work); }

void touch_stack() {
    char buf[TOUCH_BYTES];
    memset(buf, 0x5a, sizeof buf);
    __asm__ volatile("" : : "r"(buf) : "memory");
}

void *test_thread(void *cell) {
    end_kind_t kind = (end_kind_t)(intptr_t)cell;
    char here = 0;
    int slot = stack_pool_slot_of(&here);
    {
        std::lock_guard<std::mutex> lock(occupancy_mutex);
        if (slot < 0) {
            plain_stacks++;
        } else if (occupied[slot]++ != 0) {
            shared_stacks++;
        }
    }
    started.fetch_add(1);
    // The destructor runs only for a value that is not null, hence slot + 2;
    // the odd values linger.
    pthread_setspecific(exit_key, (void *)(intptr_t)((slot + 2) * 2 + (kind == END_LINGER)));
    if (kind == END_LONG || kind == END_HOLD_TOUCH) {
        if (kind == END_HOLD_TOUCH) touch_stack();
        std::unique_lock<std::mutex> lock(hold_mutex);
        hold_cv.wait(lock, [] { return hold_released; });
        return nullptr;
    }
    sem_post(&in_flight);
    if (kind == END_EXIT) pthread_exit(nullptr);
    return nullptr;
}

// The pool's run-time checks read the thread id with gettid; this test
// binary defines its own, which can hold up the first call after
// hold_next_gettid until release_gettid, as a probe thread that the
// scheduler starts late would be.
std::atomic<bool> gettid_armed{false};
std::atomic<bool> gettid_held{false};
std::mutex gettid_mutex;
std::condition_variable gettid_cv;
bool gettid_released;

void hold_next_gettid() {
    std::lock_guard<std::mutex> lock(gettid_mutex);
    gettid_released = false;
    gettid_armed = true;
}

void release_gettid() {
    std::lock_guard<std::mutex> lock(gettid_mutex);
    gettid_released = true;
    gettid_cv.notify_all();
}

}  // namespace

extern "C" pid_t gettid(void) noexcept {
    if (gettid_armed.exchange(false)) {
        gettid_held = true;
        std::unique_lock<std::mutex> lock(gettid_mutex);
        gettid_cv.wait_for(lock, scaled(ms(60000)), [] { return gettid_released; });
    }
    return (pid_t)syscall(SYS_gettid);
}

namespace {

long resident_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
    }
    return -1;
}

// Waits until `counter` reaches n; true when it did.
bool wait_reaches(const std::atomic<long> &counter, long n) {
    auto end = std::chrono::steady_clock::now() + scaled(ms(20000));
    while (counter.load() < n) {
        if (std::chrono::steady_clock::now() >= end) return false;
        sched_yield();
    }
    return true;
}

bool wait_started(long n) { return wait_reaches(started, n); }

// Waits until `finished` reaches n and the process is back to BASE_THREADS.
bool wait_all_gone(long n) {
    return wait_reaches(finished, n) &&
           harness::wait_threads(getpid(), BASE_THREADS, ms(20000));
}

void release_held() {
    std::lock_guard<std::mutex> lock(hold_mutex);
    hold_released = true;
    hold_cv.notify_all();
}

// Starts n threads of kind that all stay alive until release_held.
void start_held(int n, end_kind_t kind) {
    {
        std::lock_guard<std::mutex> lock(hold_mutex);
        hold_released = false;
    }
    for (int i = 0; i < n; i++) {
        ASSERT_EQ(0, stack_thread_create(test_thread, (void *)(intptr_t)kind));
    }
}

// Starts n short threads, at most at_once of them running at a time, the
// i-th ending as kind(i); then lets the held ones go and waits until
// `finished` reaches `gone` and the process is back to BASE_THREADS.
void run_short(int n, int at_once, long gone,
               const std::function<end_kind_t(int)> &kind = [](int) { return END_RETURN; }) {
    ASSERT_EQ(0, sem_init(&in_flight, 0, at_once));
    for (int i = 0; i < n; i++) {
        ASSERT_EQ(0, sem_wait(&in_flight));
        ASSERT_EQ(0, stack_thread_create(test_thread, (void *)(intptr_t)kind(i))) << "thread " << i;
    }
    no_more_starts = true;
    release_held();
    ASSERT_TRUE(wait_all_gone(gone))
        << harness::count_threads(getpid()) << " threads, " << BASE_THREADS << " at the start";
    sem_destroy(&in_flight);
}

// A burst of n threads that each touch their stack, all alive at once, then
// all gone: true when `started` and then `finished` reach what they should.
bool touch_burst(int n, long finished_after) {
    start_held(n, END_HOLD_TOUCH);
    if (!wait_started(n)) return false;
    release_held();
    return wait_all_gone(finished_after);
}

stack_pool_stats_t pool_stats() {
    stack_pool_stats_t s;
    stack_pool_stats(&s);
    return s;
}

// Fresh counters, the baseline of descriptors, and the pool's
// checks done; skips where a sanitizer cannot follow a caller's stack.
struct baseline_t {
    int fds;
    stack_pool_stats_t stats;
};

baseline_t begin_case() {
    pthread_once(&exit_key_once, make_exit_key);
    baseline_t b;
    b.fds = harness::count_fds(getpid());
    stack_pool_init();
    b.stats = pool_stats();
    std::lock_guard<std::mutex> lock(occupancy_mutex);
    shared_stacks = plain_stacks = 0;
    started = finished = 0;
    no_more_starts = false;
    return b;
}

}  // namespace

TEST(StackPool, ShortThreadsReuseStacksWhileOthersHoldTheirs) {
    baseline_t b = begin_case();
#ifdef __GLIBC__
    ASSERT_EQ(1, b.stats.enabled) << "the pool's run-time checks failed on this glibc";
#endif
    const int LONG_THREADS = 8, SHORT_THREADS = 4000, AT_ONCE = 32;
    start_held(LONG_THREADS, END_LONG);
    ASSERT_NO_FATAL_FAILURE(
        run_short(SHORT_THREADS, AT_ONCE, LONG_THREADS + SHORT_THREADS, [](int i) {
            return i % 3 == 1 ? END_EXIT : i % 8 == 0 ? END_LINGER : END_RETURN;
        }));
    EXPECT_EQ(b.fds, harness::count_fds(getpid()));

    stack_pool_stats_t s = pool_stats();
    std::lock_guard<std::mutex> lock(occupancy_mutex);
    EXPECT_EQ(0, shared_stacks) << "threads started on a stack still in use";
    if (b.stats.enabled) {
        EXPECT_EQ(0, plain_stacks);
        EXPECT_EQ(b.stats.pooled + LONG_THREADS + SHORT_THREADS, s.pooled);
        EXPECT_EQ(b.stats.plain, s.plain);
        // A stack that came back only when its thread was gone still serves
        // many threads: far fewer stacks than threads.
        EXPECT_LT(s.slots, (size_t)(LONG_THREADS + SHORT_THREADS) / 8);
        EXPECT_EQ(0u, s.busy);
        EXPECT_EQ(s.slots, s.warm + s.cold);
    }
}

TEST(StackPool, ReturnsPagesOfIdleStacksAboveTheRecentPeak) {
    baseline_t b = begin_case();
    if (!b.stats.enabled) GTEST_SKIP() << "the pool is off here";
    const int BURST = 48;
    ASSERT_TRUE(touch_burst(BURST, BURST));
    long before_kb = resident_kb();
    stack_pool_stats_t s = pool_stats();
    ASSERT_GE(s.warm, (size_t)BURST);
    const size_t slots = s.slots;

    // One thread at a time: once the burst has aged out of the recent peak,
    // starts return the pages of the idle stacks beyond it.
    auto end = std::chrono::steady_clock::now() + scaled(ms(15000));
    long n = BURST;
    do {
        ASSERT_NO_FATAL_FAILURE(run_short(1, 1, ++n));
        std::this_thread::sleep_for(ms(10));  // pace, so the peak can age
        s = pool_stats();
    } while (s.warm > 2 && std::chrono::steady_clock::now() < end);
    EXPECT_LE(s.warm, 2u) << s.cold << " cold, recent peak " << s.recent_peak;
    EXPECT_GE(s.cold, (size_t)BURST - 2);
    EXPECT_EQ(slots, s.slots);
    long after_kb = resident_kb();
    // A quarter of what the burst touched: the resident set also moves with
    // the allocator and, under a sanitizer, its shadow and quarantine, while
    // a pool that never trims gives back nothing at all.
    EXPECT_GE(before_kb - after_kb, (long)(BURST * TOUCH_BYTES / 1024 / 4))
        << before_kb << " kB resident before, " << after_kb << " after";

    // The cold stacks serve the next burst without new mappings.
    long base = finished.load();
    started = 0;
    ASSERT_TRUE(touch_burst(BURST, base + BURST));
    EXPECT_EQ(slots, pool_stats().slots);
    std::lock_guard<std::mutex> lock(occupancy_mutex);
    EXPECT_EQ(0, shared_stacks);
    EXPECT_EQ(0, plain_stacks);
}

TEST(StackPool, FullPoolStartsPlainThreadsYetStaysOn) {
    baseline_t b = begin_case();
    if (!b.stats.enabled) GTEST_SKIP() << "the pool is off here";
    const int PAST_CAP = 8, HELD = (int)STACK_POOL_MAX_SLOTS + PAST_CAP;
    start_held(HELD, END_LONG);
    ASSERT_TRUE(wait_started(HELD));
    stack_pool_stats_t s = pool_stats();
    EXPECT_EQ(STACK_POOL_MAX_SLOTS, s.slots);
    EXPECT_EQ(STACK_POOL_MAX_SLOTS, s.busy);
    EXPECT_EQ(b.stats.plain + PAST_CAP, s.plain);
    EXPECT_EQ(1, s.enabled);
    release_held();
    ASSERT_TRUE(wait_all_gone(HELD));

    // With stacks free again, the next thread is on one of them.
    ASSERT_NO_FATAL_FAILURE(run_short(1, 1, HELD + 1));
    EXPECT_EQ(b.stats.plain + PAST_CAP, pool_stats().plain);
    std::lock_guard<std::mutex> lock(occupancy_mutex);
    EXPECT_EQ(PAST_CAP, plain_stacks);
    EXPECT_EQ(0, shared_stacks);
}

// A probe thread that starts only after the checks gave up on it still
// writes what it saw; none of it may land in the stack of the thread that ran
// the checks, whose frames are long reused by then. Runs in a process of its
// own, where the checks have not run yet.
__attribute__((noinline)) static bool callers_frames_stay_intact() {
    // Covers the frames the checks used below the caller's.
    volatile unsigned char frames[65536];
    memset(const_cast<unsigned char *>(frames), 0xa5, sizeof frames);
    release_gettid();
    if (!harness::wait_threads(getpid(), BASE_THREADS, ms(20000))) return false;
    for (size_t i = 0; i < sizeof frames; i++) {
        if (frames[i] != 0xa5) return false;
    }
    return true;
}

TEST(StackPoolDeathTest, ProbeStartingAfterItsDeadlineLeavesTheCallersStackAlone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            hold_next_gettid();
            stack_pool_init();
            if (!gettid_held || pool_stats().enabled) _exit(2);  // the probe was not late
            _exit(callers_frames_stay_intact() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// Last in the file: turning the pool off lasts for the process.
TEST(StackPool, DisabledPoolStartsPlainDetachedThreads) {
    baseline_t b = begin_case();
    stack_pool_disable();
    const int THREADS = 300, AT_ONCE = 16;
    ASSERT_NO_FATAL_FAILURE(
        run_short(THREADS, AT_ONCE, THREADS, [](int i) { return i % 2 ? END_EXIT : END_RETURN; }));
    EXPECT_EQ(b.fds, harness::count_fds(getpid()));
    stack_pool_stats_t s = pool_stats();
    EXPECT_EQ(0, s.enabled);
    EXPECT_EQ(b.stats.pooled, s.pooled);
    EXPECT_EQ(b.stats.plain + THREADS, s.plain);
    std::lock_guard<std::mutex> lock(occupancy_mutex);
    EXPECT_EQ(THREADS, plain_stacks);
}
