// What the robix tests share: which sanitizer the test runs under, waits on a
// condition, a look at the system call a thread is blocked in, signal guards,
// a socket pair and what its peer wrote, the console captured, a loopback
// address, the name no lookup finds, and the writer-first rule of a cache's
// lock (rwlock.h) for the caches' tests. Everything is inline, so each test
// binary compiles it against the edition of robix.h it is built for.
#ifndef ROBIX_TEST_SUPPORT_H
#define ROBIX_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "harness.h"
#include "robix.h"

#if defined(__SANITIZE_ADDRESS__)
#define ROBIX_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ROBIX_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define ROBIX_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ROBIX_TEST_TSAN 1
#endif
#endif

namespace robix_test {

using namespace harness;

inline const ms WAIT(5000);

// ---------------------------------------------------------------- waits and threads

// True once cond holds; false if it still does not at the (scaled) deadline.
inline bool wait_for(const std::function<bool()> &cond, ms deadline = WAIT) {
    auto end = std::chrono::steady_clock::now() + scaled(deadline);
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(ms(1));
    }
}

// The system call that thread tid of this process is in, from the kernel's
// view; -1 while it runs in user space.
inline long current_syscall(pid_t tid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/syscall", (int)tid);
    FILE *f = fopen(path, "r");
    if (f == nullptr) return -1;
    long nr = -1;
    if (fscanf(f, "%ld", &nr) != 1) nr = -1;
    fclose(f);
    return nr;
}

// True while signal sig waits to be delivered to thread tid of this process.
inline bool signal_pending(pid_t tid, int sig) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/status", (int)tid);
    FILE *f = fopen(path, "r");
    if (f == nullptr) return false;
    char line[256];
    unsigned long long mask = 0;
    while (fgets(line, sizeof line, f) != nullptr) {
        if (sscanf(line, "SigPnd: %llx", &mask) == 1) break;
    }
    fclose(f);
    return (mask >> (sig - 1)) & 1;
}

// A worker thread that runs one blocking call and keeps its result.
struct worker_t {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    ssize_t result = 0;
    int error = 0;
    std::thread thread;

    void start(const std::function<ssize_t()> &call) {
        thread = std::thread([this, call] {
            tid = (pid_t)syscall(SYS_gettid);
            result = call();
            error = errno;
            done = true;
        });
    }
    // True while the worker is blocked in system call nr.
    bool blocks_in(long nr) const { return tid != 0 && current_syscall(tid) == nr; }
};

// ---------------------------------------------------------------- signals

inline std::atomic<int> signals_handled{0};
inline void count_signal(int) { signals_handled++; }

// Waits until w blocks in system call nr, signals it with SIGUSR1, and waits
// until the signal is delivered and w blocks in nr again: the call was
// resumed, not ended. False at the first step that does not happen in time.
// (Under ThreadSanitizer the handler itself may run only once the call
// returns.)
inline bool interrupt_blocked(worker_t &w, long nr) {
    if (!wait_for([&] { return w.blocks_in(nr); })) return false;
    if (pthread_kill(w.thread.native_handle(), SIGUSR1) != 0) return false;
    if (!wait_for([&] { return !signal_pending(w.tid, SIGUSR1); })) return false;
    return wait_for([&] { return w.done || current_syscall(w.tid) == nr; }) && !w.done;
}

// Signal sig handled by handler, with no flags and an empty mask, for the
// life of the guard; what was there before comes back after.
struct signal_disposition_t {
    int sig;
    struct sigaction old;
    signal_disposition_t(int s, void (*handler)(int)) : sig(s) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = handler;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, &old);
    }
    ~signal_disposition_t() { sigaction(sig, &old, nullptr); }
    signal_disposition_t(const signal_disposition_t &) = delete;
    signal_disposition_t &operator=(const signal_disposition_t &) = delete;
};

// SIGUSR1 handled without SA_RESTART, so that a blocked read or write fails
// with EINTR unless its caller resumes it, and a semaphore wait fails with
// EINTR whatever the flags.
struct interrupting_signal_t : signal_disposition_t {
    interrupting_signal_t() : signal_disposition_t(SIGUSR1, count_signal) {}
};

// SIGPIPE ignored, as every program does.
struct ignored_sigpipe_t : signal_disposition_t {
    ignored_sigpipe_t() : signal_disposition_t(SIGPIPE, SIG_IGN) {}
};

// ---------------------------------------------------------------- streams and the console

// A connected pair of stream sockets; each end still open closes with it.
struct socket_pair_t {
    int fd[2] = {-1, -1};
    socket_pair_t() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~socket_pair_t() { close_end(0), close_end(1); }
    void close_end(int i) {
        if (fd[i] >= 0) close(fd[i]);
        fd[i] = -1;
    }
    socket_pair_t(const socket_pair_t &) = delete;
    socket_pair_t &operator=(const socket_pair_t &) = delete;
};

// What fd gives until its end of stream, or until the deadline passes
// between two reads.
inline std::string read_to_end(int fd, ms deadline = WAIT) {
    std::string got;
    char buf[65536];
    auto end = std::chrono::steady_clock::now() + scaled(deadline);
    while (std::chrono::steady_clock::now() < end) {
        ssize_t k = read(fd, buf, sizeof buf);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) break;
        got.append(buf, (size_t)k);
    }
    return got;
}

// What was printed since testing::internal::CaptureStdout().
inline std::string captured_stdout() {
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// ---------------------------------------------------------------- addresses

inline struct sockaddr_in ipv4(const char *ip, int port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    a.sin_port = htons((uint16_t)port);
    return a;
}

inline const char *const UNKNOWN_HOST = "no-such-host.robix.invalid";

// What the resolver says of UNKNOWN_HOST here, asked directly: HOST_NOT_FOUND
// when a name server answers, TRY_AGAIN in a namespace with only loopback,
// where none can be asked. The library must pass on whichever it is.
inline int unknown_host_code() {
    struct hostent entry, *hp = NULL;
    char work[2048];
    int herr = 0;
    gethostbyname_r(UNKNOWN_HOST, &entry, work, sizeof work, &hp, &herr);
    return hp == NULL ? herr : 0;
}

// ---------------------------------------------------------------- a cache's lock

// What rwlock_init_writer_first promises, seen through a cache: while this
// thread holds `lock` for reading, insert() runs on a thread of its own and
// queues for the write side; a lookup() started after that must wait behind
// it and find what it inserted. Nothing is asserted here, as the caller may be
// capturing standard output: it checks the result once it is not.
struct writer_first_t {
    bool queued = false;    // a try for the read side failed: a writer waits
    bool answered = false;  // the later lookup finished in time
    bool found = false;     // and found what the insertion stored
};

inline writer_first_t insertion_behind_reader(pthread_rwlock_t *lock,
                                              const std::function<void()> &insert,
                                              const std::function<bool()> &lookup) {
    writer_first_t r;
    pthread_rwlock_rdlock(lock);  // a lookup in progress
    std::thread inserter(insert);
    for (int i = 0; i < 1000 && !r.queued; i++) {  // bounded wait for the queueing
        if (pthread_rwlock_tryrdlock(lock) == 0) {
            pthread_rwlock_unlock(lock);
            std::this_thread::sleep_for(ms(5));
        } else {
            r.queued = true;
        }
    }
    std::future<bool> later;
    if (r.queued) {
        later = std::async(std::launch::async, lookup);
        std::this_thread::sleep_for(ms(20));  // let it reach the lock
    }
    pthread_rwlock_unlock(lock);
    inserter.join();
    if (!r.queued) return r;
    r.answered = later.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    r.found = r.answered && later.get();
    return r;
}

}  // namespace robix_test

#endif
