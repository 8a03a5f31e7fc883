// Client and listening sockets of the common edition: what open_clientfd and
// open_listenfd accept and return, that they close what they made when a step
// fails, that lookups on many threads at once reach the host each was asked
// for, and the reports of Open_clientfd and Open_listenfd, which end the
// process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "robix.h"

#if defined(__SANITIZE_THREAD__)
#define ROBIX_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ROBIX_TEST_TSAN 1
#endif
#endif
#ifdef ROBIX_TEST_TSAN
// glibc's resolver enters each thread's resolver state in a process-wide
// table that grows under a lock of glibc's own, which ThreadSanitizer cannot
// see; with eight or more threads resolving at once, that growth looks like a
// race between two lookups although every buffer the lookups use is private.
extern "C" const char *__tsan_default_suppressions() {
    return "race:__libc_dynarray_emplace_enlarge\n";
}
#endif

namespace {

using namespace harness;

const ms WAIT(5000);
const char *UNKNOWN_HOST = "no-such-host.robix.invalid";


int open_fds() { return count_fds(getpid()); }

struct sockaddr_in ipv4(const char *ip, int port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    a.sin_port = htons((uint16_t)port);
    return a;
}

// "ip:port" of either end of a socket.
std::string endpoint(int fd, bool peer) {
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
int bound_socket(const char *ip, int port, bool listening = true) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = ipv4(ip, port);
    if (bind(fd, (struct sockaddr *)&a, sizeof a) < 0 || (listening && listen(fd, 64) < 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

// accept() once a connection is pending; -1 when none came in time.
int accept_within(int listener, ms deadline) {
    struct pollfd pfd = {listener, POLLIN, 0};
    if (poll(&pfd, 1, (int)scaled(deadline).count()) != 1) return -1;
    return accept(listener, nullptr, nullptr);
}

int local_port(int fd) {
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    getsockname(fd, (struct sockaddr *)&a, &len);
    return ntohs(a.sin_port);
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

// Sends a request through the descriptor and checks that the scripted origin
// answered it on connection `index`.
void expect_exchange(origin_t &o, int fd, size_t index) {
    const std::string request = "GET /x HTTP/1.0\r\nHost: h\r\n\r\n";
    ASSERT_EQ(rio_writen(fd, request.data(), request.size()), (ssize_t)request.size());
    char buf[4096];
    ssize_t n = rio_readn(fd, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? (size_t)n : 0), o.default_reply.bytes);
    EXPECT_TRUE(origin_wait_requests(o, index + 1, WAIT));
    EXPECT_EQ(origin_request(o, index), request);
}

struct scripted_origin_t {
    origin_t o;
    bool started = false;
    scripted_origin_t() {
        origin_reply_t reply;
        reply.bytes = http_response("hello from the origin\n");
        origin_default(o, reply);
        started = origin_start(o);
    }
    ~scripted_origin_t() {
        if (started) origin_stop(o);
    }
};

}  // namespace

// ---------------------------------------------------------------- open_clientfd

TEST(OpenClientfd, DottedDecimalHostReachesThatAddress) {
    scripted_origin_t s;
    ASSERT_TRUE(s.started);
    int fd = open_clientfd("127.0.0.1", s.o.port);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(endpoint(fd, true), "127.0.0.1:" + std::to_string(s.o.port));
    expect_exchange(s.o, fd, 0);
    close(fd);
}

TEST(OpenClientfd, HostNameIsLookedUp) {
    scripted_origin_t s;
    ASSERT_TRUE(s.started);
    int fd = open_clientfd("localhost", s.o.port);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(endpoint(fd, true), "127.0.0.1:" + std::to_string(s.o.port));
    expect_exchange(s.o, fd, 0);
    close(fd);
}

TEST(OpenClientfd, PortAboveRangeIsTakenModulo65536) {
    scripted_origin_t s;
    ASSERT_TRUE(s.started);
    size_t index = 0;
    for (int offset : {65536, 2 * 65536, 1000 * 65536, -65536}) {
        SCOPED_TRACE(offset);
        int fd = open_clientfd("127.0.0.1", s.o.port + offset);
        ASSERT_GE(fd, 0) << strerror(errno);
        EXPECT_EQ(endpoint(fd, true), "127.0.0.1:" + std::to_string(s.o.port));
        expect_exchange(s.o, fd, index++);
        close(fd);
    }
}

TEST(OpenClientfd, RefusedConnectionGivesMinusOneAndClosesItsSocket) {
    int bound = bound_socket("127.0.0.1", 0, false);  // bound, never listening
    ASSERT_GE(bound, 0);
    int before = open_fds();
    errno = 0;
    EXPECT_EQ(open_clientfd("127.0.0.1", local_port(bound)), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(open_fds(), before);
    close(bound);
}

TEST(OpenClientfd, UnknownHostGivesMinusTwoAndClosesItsSocket) {
    int before = open_fds();
    h_errno = 0;
    EXPECT_EQ(open_clientfd(UNKNOWN_HOST, 80), -2);
    EXPECT_EQ(h_errno, HOST_NOT_FOUND);
    EXPECT_EQ(open_fds(), before);
}

TEST(OpenClientfd, NoFreeDescriptorGivesMinusOne) {
    int rc;
    int err;
    {
        no_free_descriptor_t full;
        errno = 0;
        rc = open_clientfd("127.0.0.1", 80);
        err = errno;
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EMFILE);
}

// Two listeners on one port number, one per loopback address, so that a
// thread handed the other host's address lands on the wrong listener. Every
// client says which host it asked for; each listener checks that the line
// names its own host and answers "ok" or "wrong".
TEST(OpenClientfd, ThreadsResolvingTwoHostsAtOnceEachReachTheirOwn) {
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
        acceptors.emplace_back([&h, &clients_done, end, port] {
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
                            endpoint(conn, false) == own;
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

// ---------------------------------------------------------------- open_listenfd

TEST(OpenListenfd, ListensOnEveryLocalInterfaceWithAddressReuse) {
    int fd = open_listenfd(0);
    ASSERT_GE(fd, 0) << strerror(errno);
    const int port = local_port(fd);
    EXPECT_EQ(endpoint(fd, false), "0.0.0.0:" + std::to_string(port));
    int value = 0;
    socklen_t len = sizeof value;
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &value, &len), 0);
    EXPECT_NE(value, 0);
    len = sizeof value;
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &len), 0);
    EXPECT_EQ(value, 1);
    len = sizeof value;
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &len), 0);
    EXPECT_EQ(value, SOCK_STREAM);
    for (const char *ip : {"127.0.0.1", "127.0.0.2"}) {
        SCOPED_TRACE(ip);
        int c = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = ipv4(ip, port);
        EXPECT_EQ(connect(c, (struct sockaddr *)&a, sizeof a), 0) << strerror(errno);
        int conn = accept_within(fd, WAIT);
        EXPECT_EQ(endpoint(conn, false), std::string(ip) + ":" + std::to_string(port));
        if (conn >= 0) close(conn);
        close(c);
    }
    close(fd);
}

// The backlog holds a burst of connections that nobody has accepted yet.
TEST(OpenListenfd, BacklogHoldsABurstOfPendingConnections) {
    const int BURST = 1000;
    struct rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    const rlim_t needed = 2 * BURST + 64;
    struct rlimit saved = lim;
    if (lim.rlim_cur < needed && lim.rlim_max >= needed) {
        lim.rlim_cur = needed;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    if (lim.rlim_cur < needed) GTEST_SKIP() << "needs " << needed << " descriptors";
    int listener = open_listenfd(0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in a = ipv4("127.0.0.1", local_port(listener));
    std::vector<struct pollfd> pending;
    for (int i = 0; i < BURST; i++) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(c, 0);
        connect(c, (struct sockaddr *)&a, sizeof a);
        pending.push_back({c, POLLOUT, 0});
    }
    // Every connect completes with no accept yet.
    int established = 0;
    auto end = std::chrono::steady_clock::now() + scaled(WAIT);
    std::vector<bool> done(BURST, false);
    while (established < BURST && std::chrono::steady_clock::now() < end) {
        poll(pending.data(), pending.size(), 10);
        for (int i = 0; i < BURST; i++) {
            if (done[i] || !(pending[i].revents & POLLOUT)) continue;
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(pending[i].fd, SOL_SOCKET, SO_ERROR, &err, &len);
            done[i] = true;
            pending[i].events = 0;
            if (err == 0) established++;
        }
    }
    EXPECT_EQ(established, BURST);
    int accepted = 0;
    for (int i = 0; i < BURST; i++) {
        int conn = accept_within(listener, ms(1000));
        if (conn < 0) break;
        accepted++;
        close(conn);
    }
    EXPECT_EQ(accepted, BURST);
    for (struct pollfd &p : pending) close(p.fd);
    close(listener);
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(OpenListenfd, PortAboveRangeIsTakenModulo65536) {
    // Another process may take the free port first: try a few.
    int port = 0, fd = -1;
    for (int attempt = 0; attempt < 10 && fd < 0; attempt++) {
        port = free_port();
        fd = open_listenfd(port + 65536);
    }
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(local_port(fd), port);
    close(fd);
}

// A restarted program finds its port held by connections that its earlier
// run closed first; it must be able to listen there again at once.
TEST(OpenListenfd, RebindsAtOnceWhileEarlierConnectionsLinger) {
    int listener = open_listenfd(0);
    ASSERT_GE(listener, 0);
    int port = local_port(listener);
    int client = client_connect(port);
    ASSERT_GE(client, 0);
    int served = accept_within(listener, WAIT);
    ASSERT_GE(served, 0);
    close(served);  // this end closes first, so it is the one that lingers
    char c;
    EXPECT_EQ(rio_readn(client, &c, 1), 0);
    close(client);
    close(listener);

    int plain = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in any = ipv4("0.0.0.0", port);
    EXPECT_EQ(bind(plain, (struct sockaddr *)&any, sizeof any), -1)
        << "no lingering connection holds the port: the case below proves nothing";
    EXPECT_EQ(errno, EADDRINUSE);
    close(plain);

    int again = open_listenfd(port);
    ASSERT_GE(again, 0) << strerror(errno);
    client = client_connect(port);
    EXPECT_GE(client, 0);
    served = accept_within(again, WAIT);
    EXPECT_GE(served, 0);
    close(served);
    close(client);
    close(again);
}

TEST(OpenListenfd, PortInUseGivesMinusOneAndClosesItsSocket) {
    int holder = open_listenfd(0);
    ASSERT_GE(holder, 0);
    int before = open_fds();
    errno = 0;
    EXPECT_EQ(open_listenfd(local_port(holder)), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_EQ(open_fds(), before);
    close(holder);
}

TEST(OpenListenfd, NoFreeDescriptorGivesMinusOne) {
    int rc;
    int err;
    {
        no_free_descriptor_t full;
        errno = 0;
        rc = open_listenfd(0);
        err = errno;
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EMFILE);
}

// ---------------------------------------------------------------- wrappers

TEST(SocketWrappers, SucceedingCallsReturnDescriptorsAndPrintNothing) {
    testing::internal::CaptureStderr();
    int listener = Open_listenfd(0);
    int fd = Open_clientfd("127.0.0.1", local_port(listener));
    EXPECT_GE(fd, 0);
    int served = accept_within(listener, WAIT);
    EXPECT_EQ(endpoint(served, true), endpoint(fd, false));
    close(served);
    close(fd);
    close(listener);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(SocketWrappersDeathTest, FailuresEndTheProcessWithOneLine) {
    int bound = bound_socket("127.0.0.1", 0, false);
    ASSERT_GE(bound, 0);
    const int refusing = local_port(bound);
    int holder = open_listenfd(0);
    ASSERT_GE(holder, 0);
    const int taken = local_port(holder);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Open_clientfd(UNKNOWN_HOST, 80), testing::ExitedWithCode(1),
                "^Open_clientfd DNS error: DNS error 1\n$");
    EXPECT_EXIT(Open_clientfd("127.0.0.1", refusing), testing::ExitedWithCode(1),
                "^Open_clientfd Unix error: Connection refused\n$");
    // The limit comes back before the exit handlers of the libraries and
    // sanitizers run, which need descriptors of their own.
    EXPECT_EXIT(
        {
            static no_free_descriptor_t *full = new no_free_descriptor_t;
            atexit([] { delete full; });
            Open_clientfd("127.0.0.1", refusing);
        },
        testing::ExitedWithCode(1), "^Open_clientfd Unix error: Too many open files\n$");
    EXPECT_EXIT(Open_listenfd(taken), testing::ExitedWithCode(1),
                "^Open_listenfd error: Address already in use\n$");
    close(holder);
    close(bound);
}
