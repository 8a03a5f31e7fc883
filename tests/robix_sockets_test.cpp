// Client and listening sockets, built against both editions: what
// open_clientfd and open_listenfd accept and return, that they close what they
// made when a step fails, that lookups on many threads at once reach the host
// each was asked for, and the wrappers Open_clientfd and Open_listenfd. The
// slot edition adds gethostbyname_ts and its lock `mutex` (which every call
// must leave free), and an Open_clientfd that says "invalid host" and returns
// where the common edition's ends the process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>

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

#ifdef ROBIX_SLOT_EDITION
// The program gives the lookup lock its value before the first lookup.
const bool LOOKUP_LOCK_READY = [] {
    Sem_init(&mutex, 0, 1);
    return true;
}();

int lock_value() {
    int v = -1;
    sem_getvalue(&mutex, &v);
    return v;
}
#endif

// Every call leaves the slot edition's lookup lock free; the common edition
// has none.
void expect_lookup_lock_free() {
#ifdef ROBIX_SLOT_EDITION
    EXPECT_EQ(lock_value(), 1) << "the lookup lock is still held";
#endif
}

int open_fds() { return count_fds(getpid()); }

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

// A socket bound to ip:port and listening; -1 on failure.
int bound_socket(const char *ip, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = ipv4(ip, port);
    if (bind(fd, (struct sockaddr *)&a, sizeof a) < 0 || listen(fd, 64) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int local_port(int fd) {
    struct sockaddr_in a;
    socklen_t len = sizeof a;
    getsockname(fd, (struct sockaddr *)&a, &len);
    return ntohs(a.sin_port);
}

// accept() once a connection is pending; -1 when none came in time. A
// listener of open_listenfd hands over a connection only once its first byte
// is in, or a second after it was made.
int accept_within(int listener, ms deadline) {
    struct pollfd pfd = {listener, POLLIN, 0};
    if (poll(&pfd, 1, (int)scaled(deadline).count()) != 1) return -1;
    return accept(listener, nullptr, nullptr);
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
void expect_fails_without_free_descriptor(const std::function<int()> &call) {
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

// open_clientfd(host, origin's port + offset), for each offset, reaches the
// scripted origin on 127.0.0.1 at its own port and carries one exchange.
void expect_host_reaches_origin(const char *host, const std::vector<int> &offsets) {
    origin_t o;
    origin_reply_t reply;
    reply.bytes = http_response("hello from the origin\n");
    origin_default(o, reply);
    ASSERT_TRUE(origin_start(o));
    const std::string request = "GET /x HTTP/1.0\r\nHost: h\r\n\r\n";
    size_t index = 0;
    for (int offset : offsets) {
        SCOPED_TRACE(offset);
        int fd = open_clientfd(host, o.port + offset);
        EXPECT_GE(fd, 0) << strerror(errno);
        if (fd < 0) break;
        EXPECT_EQ(endpoint(fd, true), "127.0.0.1:" + std::to_string(o.port));
        expect_lookup_lock_free();
        bool sent = rio_writen(fd, request.data(), request.size()) == (ssize_t)request.size();
        EXPECT_TRUE(sent);
        char buf[4096];
        ssize_t n = sent ? rio_readn(fd, buf, sizeof buf) : 0;
        EXPECT_EQ(std::string(buf, n > 0 ? (size_t)n : 0), reply.bytes);
        EXPECT_TRUE(origin_wait_requests(o, index + 1, WAIT));
        EXPECT_EQ(origin_request(o, index++), request);
        close(fd);
    }
    origin_stop(o);
}

}  // namespace

// ---------------------------------------------------------------- open_clientfd

TEST(OpenClientfd, DottedDecimalHostReachesThatAddress) {
    expect_host_reaches_origin("127.0.0.1", {0, 3 * 65536});
}

TEST(OpenClientfd, HostNameIsLookedUp) {
    expect_host_reaches_origin("localhost", {0, 65536, 3 * 65536});
}

TEST(OpenClientfd, PortAboveRangeIsTakenModulo65536) {
    expect_host_reaches_origin("127.0.0.1", {65536, 2 * 65536, 1000 * 65536, -65536});
}

TEST(OpenClientfd, RefusedConnectionGivesMinusOneAndClosesItsSocket) {
    refused_port_t refusing;  // bound, never listening
    ASSERT_GT(refusing.port, 0);
    int before = open_fds();
    errno = 0;
    EXPECT_EQ(open_clientfd("127.0.0.1", refusing.port), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(open_fds(), before);
    expect_lookup_lock_free();
}

TEST(OpenClientfd, UnknownHostGivesMinusTwoAndClosesItsSocket) {
    int before = open_fds();
    const int expected = unknown_host_code();
    ASSERT_NE(expected, 0);
    h_errno = 0;
    EXPECT_EQ(open_clientfd(UNKNOWN_HOST, 80), -2);
    EXPECT_EQ(h_errno, expected);
    EXPECT_EQ(open_fds(), before);
    expect_lookup_lock_free();
}

TEST(OpenClientfd, NoFreeDescriptorGivesMinusOne) {
    expect_fails_without_free_descriptor([] { return open_clientfd("127.0.0.1", 80); });
    expect_lookup_lock_free();
}

// Eight threads call open_clientfd a hundred times each, half of them for
// "localhost" and half for "127.0.0.2", all at once. Two listeners share one
// port number, one per loopback address, so that a thread handed the other
// host's address lands on the wrong listener. Every client says which host
// it asked for; each listener checks that the line names its own host and
// that the connection came in on its own address, and answers "ok" or
// "wrong". Every connection must be confirmed, and each listener must take
// exactly its half.
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
    expect_lookup_lock_free();
}

// ---------------------------------------------------------------- open_listenfd

// A restarted program must be able to listen again at once on a port that
// connections of its earlier run still hold, closed first by that run: a
// client connects to a fresh listener and sends a byte, the accepted end
// reads it and closes first (so it is the one that lingers), the client sees
// the end, and both the client and the listener close.
TEST(OpenListenfd, RebindsAtOnceWhileEarlierConnectionsLinger) {
    int listener = open_listenfd(0);
    ASSERT_GE(listener, 0);
    const int port = local_port(listener);
    int client = client_connect(port);
    ASSERT_GE(client, 0);
    EXPECT_TRUE(send_all(client, "x"));
    int served = accept_within(listener, WAIT);
    ASSERT_GE(served, 0);
    char c;
    EXPECT_EQ(rio_readn(served, &c, 1), 1);  // read, so that its close is no reset
    close(served);
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
    EXPECT_TRUE(send_all(client, "x"));
    served = accept_within(again, WAIT);
    EXPECT_GE(served, 0);
    close(served);
    close(client);
    close(again);
}

TEST(OpenListenfdDeathTest, PortInUseEndsTheProcess) {
    int holder = open_listenfd(0);
    ASSERT_GE(holder, 0);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Open_listenfd(local_port(holder)), testing::ExitedWithCode(1),
                "^Open_listenfd error: Address already in use\n$");
    close(holder);
}

// ---------------------------------------------------------------- wrappers

TEST(SocketWrappers, SucceedingCallsReturnDescriptorsAndPrintNothing) {
    int listener = Open_listenfd(0);
    for (const char *host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int fd = Open_clientfd(host, local_port(listener));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        ASSERT_GE(fd, 0);
        EXPECT_EQ(endpoint(fd, true), "127.0.0.1:" + std::to_string(local_port(listener)));
        EXPECT_TRUE(send_all(fd, "x"));
        int served = accept_within(listener, WAIT);
        EXPECT_EQ(endpoint(served, true), endpoint(fd, false));
        close(served);
        close(fd);
    }
    close(listener);
}

#ifdef ROBIX_SLOT_EDITION
// ---------------------------------------------------------------- the slot edition's own

namespace {

std::string ip_of(const struct hostent *h, int i) {
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, h->h_addr_list[i], ip, sizeof ip);
    return ip;
}

// Everything an entry says, as text, so two entries compare as a whole.
std::string describe(const struct hostent *h) {
    std::string s = std::string(h->h_name) + " type " + std::to_string(h->h_addrtype) + " len " +
                    std::to_string(h->h_length) + " aliases";
    for (char **a = h->h_aliases; *a != nullptr; a++) s += std::string(" ") + *a;
    s += " addresses";
    for (int i = 0; h->h_addr_list[i] != nullptr; i++) s += " " + ip_of(h, i);
    return s;
}

}  // namespace

TEST(GethostbynameTs, CopyMatchesTheResolversAnswer) {
    for (const char *name : {"localhost", "127.0.0.2"}) {
        SCOPED_TRACE(name);
        struct hostent *shared = gethostbyname(name);
        ASSERT_NE(shared, nullptr);
        const std::string expected = describe(shared);
        struct hostent *copy = gethostbyname_ts(name);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(describe(copy), expected);
        EXPECT_EQ(copy->h_addrtype, AF_INET);
        EXPECT_EQ(copy->h_length, 4);
        free(copy);
        expect_lookup_lock_free();
    }
}

// The resolver's own entry is overwritten by the next lookup in any thread;
// the copy must not change with it.
TEST(GethostbynameTs, CopyOutlivesTheResolversNextAnswer) {
    struct hostent *copy = gethostbyname_ts("127.0.0.2");
    ASSERT_NE(copy, nullptr);
    const std::string before = describe(copy);
    ASSERT_NE(gethostbyname("localhost"), nullptr);
    ASSERT_NE(gethostbyname("127.0.0.1"), nullptr);
    EXPECT_EQ(describe(copy), before);
    EXPECT_EQ(ip_of(copy, 0), "127.0.0.2");
    EXPECT_STREQ(copy->h_name, "127.0.0.2");
    free(copy);
}

TEST(GethostbynameTs, UnknownHostGivesNullAndFreesTheLock) {
    const int expected = unknown_host_code();
    h_errno = 0;
    EXPECT_EQ(gethostbyname_ts(UNKNOWN_HOST), nullptr);
    EXPECT_EQ(h_errno, expected);
    expect_lookup_lock_free();
}

TEST(GethostbynameTs, WaitsForTheLookupLock) {
    P(&mutex);
    struct hostent *copy = nullptr;
    worker_t w;
    w.start([&] {
        copy = gethostbyname_ts("127.0.0.2");
        return (ssize_t)0;
    });
    // It blocks on the semaphore while this thread holds it.
    EXPECT_TRUE(wait_for([&] { return w.blocks_in(SYS_futex); }));
    EXPECT_FALSE(w.done.load());
    V(&mutex);
    w.thread.join();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(ip_of(copy, 0), "127.0.0.2");
    free(copy);
    expect_lookup_lock_free();
}

// Every failure says "invalid host" on standard output, returns -1 and ends
// nothing; the caller carries on.
TEST(OpenClientfdWrapper, FailuresSayInvalidHostAndReturnMinusOne) {
    refused_port_t refusing;
    ASSERT_GT(refusing.port, 0);
    struct case_t {
        const char *name;
        std::function<int()> call;
    };
    const std::vector<case_t> cases = {
        {"unknown host", [] { return Open_clientfd(UNKNOWN_HOST, 80); }},
        {"connection refused", [&] { return Open_clientfd("127.0.0.1", refusing.port); }},
        {"no socket",
         [] {
             no_free_descriptor_t full;
             return Open_clientfd("127.0.0.1", 80);
         }},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        int before = open_fds();
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        int rc = c.call();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "invalid host\n");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(open_fds(), before);
        expect_lookup_lock_free();
    }
}

#else
// ---------------------------------------------------------------- the common edition only

// Code the editions share, run once, against this edition; and the failures
// of Open_clientfd, which end the process in this edition only.

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
        EXPECT_TRUE(send_all(c, "x"));
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

TEST(SocketWrappersDeathTest, FailuresEndTheProcessWithOneLine) {
    refused_port_t refusing;  // bound, never listening
    ASSERT_GT(refusing.port, 0);
    const int port = refusing.port;
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Open_clientfd(UNKNOWN_HOST, 80), testing::ExitedWithCode(1),
                "^Open_clientfd DNS error: DNS error " + std::to_string(unknown_host_code()) +
                    "\n$");
    EXPECT_EXIT(Open_clientfd("127.0.0.1", port), testing::ExitedWithCode(1),
                "^Open_clientfd Unix error: Connection refused\n$");
    // The limit comes back before the exit handlers of the libraries and
    // sanitizers run, which need descriptors of their own.
    EXPECT_EXIT(
        {
            static no_free_descriptor_t *full = new no_free_descriptor_t;
            atexit([] { delete full; });
            Open_clientfd("127.0.0.1", port);
        },
        testing::ExitedWithCode(1), "^Open_clientfd Unix error: Too many open files\n$");
}
#endif
