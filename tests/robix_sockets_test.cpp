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
#include "robix_test_support.h"

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
using namespace robix_test;

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

// open_clientfd(host) reaches the scripted origin on 127.0.0.1 and carries
// one exchange.
void expect_host_reaches_origin(const char *host) {
    scripted_origin_t s;
    ASSERT_TRUE(s.started);
    int fd = open_clientfd(host, s.o.port);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(endpoint(fd, true), "127.0.0.1:" + std::to_string(s.o.port));
    expect_exchange(s.o, fd, 0);
    close(fd);
}

}  // namespace

// ---------------------------------------------------------------- open_clientfd

TEST(OpenClientfd, DottedDecimalHostReachesThatAddress) {
    expect_host_reaches_origin("127.0.0.1");
}

TEST(OpenClientfd, HostNameIsLookedUp) {
    expect_host_reaches_origin("localhost");
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
    expect_refused_connection_closes_socket();
}

TEST(OpenClientfd, UnknownHostGivesMinusTwoAndClosesItsSocket) {
    expect_unknown_host_closes_socket();
}

TEST(OpenClientfd, NoFreeDescriptorGivesMinusOne) {
    expect_fails_without_free_descriptor([] { return open_clientfd("127.0.0.1", 80); });
}

// The listeners also check that each connection came in on the address of
// the host its client asked for.
TEST(OpenClientfd, ThreadsResolvingTwoHostsAtOnceEachReachTheirOwn) {
    expect_threads_reach_their_own_hosts(true);
}

// ---------------------------------------------------------------- open_listenfd

// A proxy must never connect to itself: once its listener is named, every
// local address at that port is refused before any connection is made, while
// other ports and addresses off this machine are left alone.
TEST(OpenClientfd, OwnListeningPortOnALocalAddressIsRefusedWithoutConnecting) {
    int listener = open_listenfd(0);
    ASSERT_GE(listener, 0);
    const int port = local_port(listener);
    struct in_addr a;
    inet_aton("127.0.0.1", &a);
    EXPECT_FALSE(is_own_endpoint(a, port));  // nothing named yet
    set_own_listener(listener);
    struct {
        const char *host;
        int port;
        bool own;
    } rows[] = {{"127.0.0.1", port, true},        {"127.9.8.7", port, true},
                {"0.0.0.0", port, true},          {"localhost", port, true},
                {"127.0.0.1", port + 65536, true}, {"192.0.2.1", port, false},
                {"127.0.0.1", port + 1, false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.host) + ":" + std::to_string(row.port));
        struct in_addr addr;
        ASSERT_EQ(host_address(row.host, &addr), 0);
        EXPECT_EQ(is_own_endpoint(addr, row.port), row.own);
        if (!row.own) continue;
        errno = 0;
        EXPECT_EQ(open_clientfd(row.host, row.port), -1);
        EXPECT_EQ(errno, ECONNREFUSED);
    }
    // Nothing reached the listener.
    struct pollfd p = {listener, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 100), 0);
    close(listener);
}

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
    // Accept is deferred until a connection's first bytes arrive (or a
    // second later): each sends one, as a browser's request would.
    for (struct pollfd &p : pending) send(p.fd, "x", 1, MSG_NOSIGNAL);
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

// A restarted program must be able to listen again at once on a port that
// connections of its earlier run still hold.
TEST(OpenListenfd, RebindsAtOnceWhileEarlierConnectionsLinger) {
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(leave_port_lingering(port));

    int plain = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in any = ipv4("0.0.0.0", port);
    EXPECT_EQ(bind(plain, (struct sockaddr *)&any, sizeof any), -1)
        << "no lingering connection holds the port: the case below proves nothing";
    EXPECT_EQ(errno, EADDRINUSE);
    close(plain);

    int again = open_listenfd(port);
    ASSERT_GE(again, 0) << strerror(errno);
    int client = client_connect(port);
    EXPECT_GE(client, 0);
    int served = accept_within(again, WAIT);
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
    expect_fails_without_free_descriptor([] { return open_listenfd(0); });
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
                "^" + unknown_host_report("Open_clientfd DNS error") + "\n$");
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
