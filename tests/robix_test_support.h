// What the robix tests of both editions share: which sanitizer the test runs
// under, waits on a condition, a look at the system call a thread is blocked
// in, signal guards, the matcher and cases for wrappers that end the process,
// and loopback sockets. Everything is inline, so each test binary compiles it
// against the edition of robix.h it is built for.
#ifndef ROBIX_TEST_SUPPORT_H
#define ROBIX_TEST_SUPPORT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

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

// A test that calls Malloc(SIZE_MAX) on purpose defines
// ROBIX_TEST_REFUSED_ALLOCATIONS before including this: the allocation must
// come back null for the wrapper to report it, and the sanitizers' allocators
// would abort the process instead. The other tests keep the sanitizers'
// defaults, so these are not defined for them.
#ifdef ROBIX_TEST_REFUSED_ALLOCATIONS
#ifdef ROBIX_TEST_ASAN
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
#endif
#ifdef ROBIX_TEST_TSAN
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1"; }
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
        sa.sa_flags = 0;
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

// ---------------------------------------------------------------- wrappers that end the process

#if defined(ROBIX_TEST_ASAN) || defined(ROBIX_TEST_TSAN)
// The sanitizer's allocator announces a refused allocation on a line of its
// own before the wrapper's report.
inline const char *const REFUSED_ALLOCATION =
    "(==[0-9]+==WARNING: [A-Za-z]+Sanitizer failed to allocate 0x[0-9a-f]+ bytes\n)?";
#else
inline const char *const REFUSED_ALLOCATION = "";
#endif

// The death-test matcher for exactly one line and nothing else on stderr.
inline std::string only_line(const std::string &line) {
    std::string re = line.find("allocate memory") != std::string::npos ? REFUSED_ALLOCATION : "";
    re = "^" + re;
    for (char c : line) {
        if (strchr(".[]{}()\\*+?^$|", c) != nullptr) re += '\\';
        re += c;
    }
    return re + "\n$";
}

struct failing_t {
    std::string line;  // the whole line, without its newline
    std::function<void()> call;
};

// Each call must print exactly its line and end the process with status 1.
inline void expect_each_ends_process(const std::vector<failing_t> &cases) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const failing_t &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EXIT(c.call(), testing::ExitedWithCode(1), only_line(c.line));
    }
}

// The four reporters, which both editions have and which end the process.
inline std::vector<failing_t> reporter_cases() {
    return {
        {"unix msg: Permission denied",
         [] {
             errno = EACCES;
             unix_error("unix msg");
         }},
        {"posix msg: No such file or directory",
         [] {
             errno = EACCES;  // the code given wins over errno
             posix_error(ENOENT, "posix msg");
         }},
        {"dns msg: DNS error 2",
         [] {
             h_errno = TRY_AGAIN;
             dns_error("dns msg");
         }},
        {"app msg", [] { app_error("app msg"); }},
    };
}

inline void *return_arg(void *arg) { return arg; }
inline void *wait_forever(void *sem) {
    sem_wait(static_cast<sem_t *>(sem));  // a cancellation point
    return nullptr;
}

// The thread and semaphore calls whose failure ends the process in both
// editions.
inline std::vector<failing_t> thread_and_semaphore_cases() {
    return {
        {"Pthread_join error: Resource deadlock avoided",
         [] { Pthread_join(pthread_self(), nullptr); }},
        {"Pthread_detach error: Invalid argument",
         [] {
             static sem_t never;
             sem_init(&never, 0, 0);
             pthread_t t;
             pthread_create(&t, nullptr, wait_forever, &never);
             pthread_detach(t);
             Pthread_detach(t);  // detached already, and still running
         }},
        {"Sem_init error: Invalid argument",
         [] {
             static sem_t sem;
             Sem_init(&sem, 0, (unsigned)SEM_VALUE_MAX + 1u);
         }},
    };
}

// The Rio_ wrappers with a failing call each: they end the process in the
// common edition and only the calling thread in slotproxy's. The write to a
// closed peer needs SIGPIPE ignored.
inline std::vector<failing_t> rio_failure_cases() {
    return {
        {"Rio_readn error: Bad file descriptor",
         [] {
             char buf[4];
             Rio_readn(-1, buf, sizeof buf);
         }},
        {"Rio_writen error: Broken pipe",
         [] {
             int sv[2];
             socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
             close(sv[1]);
             Rio_writen(sv[0], "x", 1);
         }},
        {"Rio_readnb error: Bad file descriptor",
         [] {
             rio_t rio;
             Rio_readinitb(&rio, -1);
             char buf[4];
             Rio_readnb(&rio, buf, sizeof buf);
         }},
        {"Rio_readlineb error: Bad file descriptor",
         [] {
             rio_t rio;
             Rio_readinitb(&rio, -1);
             char buf[4];
             Rio_readlineb(&rio, buf, sizeof buf);
         }},
    };
}

// ---------------------------------------------------------------- loopback sockets

// A loopback socket bound to a port of the kernel's choosing and never
// listening, so that a connection to addr is refused.
inline void bind_refusing(int &fd, struct sockaddr_in &addr) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(fd, (struct sockaddr *)&addr, sizeof addr), 0);
    ASSERT_EQ(getsockname(fd, (struct sockaddr *)&addr, &len), 0);
}

// A listener on a loopback port (its address in addr) and a client connected
// to it, made through the wrappers under test; the connection is not yet
// accepted.
inline void connect_through_wrappers(int &listener, int &client, struct sockaddr_in &addr) {
    listener = Socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    Setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Bind(listener, (struct sockaddr *)&addr, sizeof addr);
    Listen(listener, LISTENQ);
    socklen_t len = sizeof addr;
    getsockname(listener, (struct sockaddr *)&addr, &len);
    client = Socket(AF_INET, SOCK_STREAM, 0);
    Connect(client, (struct sockaddr *)&addr, sizeof addr);
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
inline std::string unknown_host_report(const char *name) {
    return std::string(name) + ": DNS error " + std::to_string(unknown_host_code());
}

inline int open_fds() { return count_fds(getpid()); }

inline struct sockaddr_in ipv4(const char *ip, int port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    a.sin_port = htons((uint16_t)port);
    return a;
}

// "ip:port" of either end of a socket.
inline std::string endpoint(int fd, bool peer) {
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    int rc = peer ? getpeername(fd, (struct sockaddr *)&a, &len)
                  : getsockname(fd, (struct sockaddr *)&a, &len);
    if (rc < 0) return "none";
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

// A socket bound to ip:port, listening unless told not to; -1 on failure.
inline int bound_socket(const char *ip, int port, bool listening = true) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = ipv4(ip, port);
    if (bind(fd, (struct sockaddr *)&a, sizeof a) < 0 || (listening && listen(fd, 64) < 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

inline int local_port(int fd) {
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    getsockname(fd, (struct sockaddr *)&a, &len);
    return ntohs(a.sin_port);
}

// accept() once a connection is pending; -1 when none came in time.
inline int accept_within(int listener, ms deadline) {
    struct pollfd pfd = {listener, POLLIN, 0};
    if (poll(&pfd, 1, (int)scaled(deadline).count()) != 1) return -1;
    return accept(listener, nullptr, nullptr);
}

// open_clientfd to a port that refuses gives -1 with ECONNREFUSED and
// closes the socket it made.
inline void expect_refused_connection_closes_socket() {
    int bound = bound_socket("127.0.0.1", 0, false);  // bound, never listening
    ASSERT_GE(bound, 0);
    int before = open_fds();
    errno = 0;
    EXPECT_EQ(open_clientfd("127.0.0.1", local_port(bound)), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(open_fds(), before);
    close(bound);
}

// open_clientfd to a host that no lookup finds gives -2 with the resolver's
// code and closes the socket it made.
inline void expect_unknown_host_closes_socket() {
    int before = open_fds();
    const int expected = unknown_host_code();
    ASSERT_NE(expected, 0);
    h_errno = 0;
    EXPECT_EQ(open_clientfd(UNKNOWN_HOST, 80), -2);
    EXPECT_EQ(h_errno, expected);
    EXPECT_EQ(open_fds(), before);
}

// A restarted program finds its port held by connections that its earlier
// run closed first. This leaves such a port in `port`: a client connects to
// a fresh listener, the accepted end closes first (so it is the one that
// lingers), the client sees the end, and both the client and the listener
// close.
inline void leave_port_lingering(int &port) {
    int listener = open_listenfd(0);
    ASSERT_GE(listener, 0);
    port = local_port(listener);
    int client = client_connect(port);
    ASSERT_GE(client, 0);
    int served = accept_within(listener, WAIT);
    ASSERT_GE(served, 0);
    close(served);
    char c;
    EXPECT_EQ(rio_readn(client, &c, 1), 0);
    close(client);
    close(listener);
}

// Lowers the descriptor limit to the lowest free descriptor, so that the next
// socket() fails with EMFILE; restored when the guard goes.
struct no_free_descriptor_t {
    struct rlimit old;
    no_free_descriptor_t() {
        getrlimit(RLIMIT_NOFILE, &old);
        int lowest = open("/dev/null", O_RDONLY);
        close(lowest);
        struct rlimit now = old;
        now.rlim_cur = (rlim_t)lowest;
        setrlimit(RLIMIT_NOFILE, &now);
    }
    ~no_free_descriptor_t() { setrlimit(RLIMIT_NOFILE, &old); }
};

// call, made while no descriptor is free, gives -1 with EMFILE.
inline void expect_fails_without_free_descriptor(const std::function<int()> &call) {
    int rc;
    int err;
    {
        no_free_descriptor_t full;
        errno = 0;
        rc = call();
        err = errno;
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EMFILE);
}

// Eight threads call open_clientfd a hundred times each, half of them for
// "localhost" and half for "127.0.0.2", all at once. Two listeners share one
// port number, one per loopback address, so that a thread handed the other
// host's address lands on the wrong listener. Every client says which host
// it asked for; each listener checks that the line names its own host (and,
// with address_checked, that the connection came in on its own address) and
// answers "ok" or "wrong". Every connection must be confirmed, and each
// listener must take exactly its half.
inline void expect_threads_reach_their_own_hosts(bool address_checked) {
    int first = -1, second = -1, port = 0;
    for (int attempt = 0; attempt < 20 && second < 0; attempt++) {
        if (first >= 0) close(first);
        first = bound_socket("127.0.0.1", 0);
        ASSERT_GE(first, 0);
        port = local_port(first);
        second = bound_socket("127.0.0.2", port);
    }
    ASSERT_GE(second, 0) << "no port free on both 127.0.0.1 and 127.0.0.2";

    struct host_t {
        const char *name;  // what the client asks for
        const char *ip;    // where that must lead
        int listener;
        std::atomic<int> accepted{0}, wrong{0};
    };
    host_t hosts[2];
    hosts[0].name = "localhost", hosts[0].ip = "127.0.0.1", hosts[0].listener = first;
    hosts[1].name = "127.0.0.2", hosts[1].ip = "127.0.0.2", hosts[1].listener = second;
    const int THREADS = 8, ROUNDS = 100;
    const int PER_HOST = THREADS / 2 * ROUNDS;

    auto end = std::chrono::steady_clock::now() + scaled(ms(30000));
    std::atomic<bool> clients_done{false};
    std::vector<std::thread> acceptors;
    for (host_t &h : hosts) {
        acceptors.emplace_back([&h, &clients_done, end, port, address_checked] {
            const std::string own = std::string(h.ip) + ":" + std::to_string(port);
            while (!clients_done && std::chrono::steady_clock::now() < end) {
                struct pollfd pfd = {h.listener, POLLIN, 0};
                if (poll(&pfd, 1, 50) <= 0) continue;
                int conn = accept(h.listener, nullptr, nullptr);
                if (conn < 0) continue;
                h.accepted++;
                struct timeval tv = {5, 0};
                setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                rio_t rio;
                rio_readinitb(&rio, conn);
                char line[256];
                ssize_t n = rio_readlineb(&rio, line, sizeof line);
                bool mine = n > 0 && std::string(line, (size_t)n) == std::string(h.name) + "\n" &&
                            (!address_checked || endpoint(conn, false) == own);
                if (!mine) h.wrong++;
                const char *answer = mine ? "ok\n" : "wrong\n";
                rio_writen(conn, answer, strlen(answer));
                close(conn);
            }
        });
    }
    std::atomic<int> failed{0}, confirmed{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < THREADS; t++) {
        clients.emplace_back([&, t] {
            const host_t &h = hosts[t % 2];
            const std::string expected = std::string(h.ip) + ":" + std::to_string(port);
            for (int r = 0; r < ROUNDS; r++) {
                int fd = open_clientfd(h.name, port);
                if (fd < 0) {
                    failed++;
                    continue;
                }
                struct timeval tv = {5, 0};
                setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                const std::string hello = std::string(h.name) + "\n";
                char answer[16];
                ssize_t n = -1;
                if (endpoint(fd, true) == expected &&
                    rio_writen(fd, hello.data(), hello.size()) == (ssize_t)hello.size()) {
                    n = rio_readn(fd, answer, sizeof answer);
                }
                if (n == 3 && memcmp(answer, "ok\n", 3) == 0) {
                    confirmed++;
                } else {
                    failed++;
                }
                close(fd);
            }
        });
    }
    for (std::thread &c : clients) c.join();
    clients_done = true;
    for (std::thread &a : acceptors) a.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(confirmed.load(), THREADS * ROUNDS);
    for (host_t &h : hosts) {
        SCOPED_TRACE(h.name);
        EXPECT_EQ(h.accepted.load(), PER_HOST);
        EXPECT_EQ(h.wrong.load(), 0);
        close(h.listener);
    }
}

}  // namespace robix_test

#endif
