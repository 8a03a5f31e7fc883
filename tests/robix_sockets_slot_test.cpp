// Client and listening sockets of slotproxy's edition: gethostbyname_ts and
// its lock `mutex`, open_clientfd on the private copy, Open_clientfd saying
// "invalid host" and returning instead of ending anything, and lookups on
// many threads at once each reaching the host they asked for.
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

namespace {

using namespace harness;

const ms WAIT(5000);
const char *UNKNOWN_HOST = "no-such-host.robix.invalid";

// The program gives the lookup lock its value before the first lookup.
const bool LOOKUP_LOCK_READY = [] {
    Sem_init(&mutex, 0, 1);
    return true;
}();

int open_fds() { return count_fds(getpid()); }

int lock_value() {
    int v = -1;
    sem_getvalue(&mutex, &v);
    return v;
}

struct sockaddr_in ipv4(const char *ip, int port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    a.sin_port = htons((uint16_t)port);
    return a;
}

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

int bound_socket(const char *ip, int port, bool listening = true) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = ipv4(ip, port);
    if (bind(fd, (struct sockaddr *)&a, sizeof a) < 0 || (listening && listen(fd, 64) < 0)) {
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

long current_syscall(pid_t tid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/syscall", (int)tid);
    FILE *f = fopen(path, "r");
    if (f == nullptr) return -1;
    long nr = -1;
    if (fscanf(f, "%ld", &nr) != 1) nr = -1;
    fclose(f);
    return nr;
}

bool wait_for(const std::function<bool()> &cond, ms deadline = WAIT) {
    auto end = std::chrono::steady_clock::now() + scaled(deadline);
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(ms(1));
    }
}

}  // namespace

// ---------------------------------------------------------------- gethostbyname_ts

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
        EXPECT_EQ(lock_value(), 1);
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
    h_errno = 0;
    EXPECT_EQ(gethostbyname_ts(UNKNOWN_HOST), nullptr);
    EXPECT_EQ(h_errno, HOST_NOT_FOUND);
    EXPECT_EQ(lock_value(), 1);
}

TEST(GethostbynameTs, WaitsForTheLookupLock) {
    P(&mutex);
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    struct hostent *copy = nullptr;
    std::thread t([&] {
        tid = (pid_t)syscall(SYS_gettid);
        copy = gethostbyname_ts("127.0.0.2");
        done = true;
    });
    // It blocks on the semaphore while this thread holds it.
    EXPECT_TRUE(wait_for([&] { return tid != 0 && current_syscall(tid) == SYS_futex; }));
    EXPECT_FALSE(done.load());
    V(&mutex);
    t.join();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(ip_of(copy, 0), "127.0.0.2");
    free(copy);
    EXPECT_EQ(lock_value(), 1);
}

// ---------------------------------------------------------------- open_clientfd

TEST(OpenClientfd, DottedDecimalAndNamedHostsReachTheOrigin) {
    origin_t o;
    origin_reply_t reply;
    reply.bytes = http_response("slot edition\n");
    origin_default(o, reply);
    ASSERT_TRUE(origin_start(o));
    const std::string request = "GET /y HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    size_t index = 0;
    for (const char *host : {"127.0.0.1", "localhost"}) {
        for (int offset : {0, 65536, 3 * 65536}) {
            SCOPED_TRACE(std::string(host) + " +" + std::to_string(offset));
            int fd = open_clientfd(host, o.port + offset);
            ASSERT_GE(fd, 0) << strerror(errno);
            EXPECT_EQ(endpoint(fd, true), "127.0.0.1:" + std::to_string(o.port));
            EXPECT_EQ(lock_value(), 1);
            Rio_writen(fd, request.data(), request.size());
            char buf[1024];
            ssize_t n = Rio_readn(fd, buf, sizeof buf);
            EXPECT_EQ(std::string(buf, (size_t)n), reply.bytes);
            close(fd);
            EXPECT_TRUE(origin_wait_requests(o, index + 1, WAIT));
            EXPECT_EQ(origin_request(o, index), request);
            index++;
        }
    }
    origin_stop(o);
}

TEST(OpenClientfd, FailuresGiveTheirCodeAndCloseTheSocket) {
    int bound = bound_socket("127.0.0.1", 0, false);
    ASSERT_GE(bound, 0);
    int before = open_fds();
    errno = 0;
    EXPECT_EQ(open_clientfd("127.0.0.1", local_port(bound)), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(open_fds(), before);
    EXPECT_EQ(lock_value(), 1);
    h_errno = 0;
    EXPECT_EQ(open_clientfd(UNKNOWN_HOST, 80), -2);
    EXPECT_EQ(h_errno, HOST_NOT_FOUND);
    EXPECT_EQ(open_fds(), before);
    EXPECT_EQ(lock_value(), 1);
    int rc, err;
    {
        no_free_descriptor_t full;
        errno = 0;
        rc = open_clientfd("127.0.0.1", 80);
        err = errno;
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EMFILE);
    close(bound);
}

// ---------------------------------------------------------------- Open_clientfd and Open_listenfd

// Every failure says "invalid host" on standard output, returns -1 and ends
// nothing; the caller carries on.
TEST(OpenClientfdWrapper, FailuresSayInvalidHostAndReturnMinusOne) {
    int bound = bound_socket("127.0.0.1", 0, false);
    ASSERT_GE(bound, 0);
    const int refusing = local_port(bound);
    struct case_t {
        const char *name;
        std::function<int()> call;
    };
    const std::vector<case_t> cases = {
        {"unknown host", [] { return Open_clientfd(UNKNOWN_HOST, 80); }},
        {"connection refused", [&] { return Open_clientfd("127.0.0.1", refusing); }},
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
        EXPECT_EQ(lock_value(), 1);
    }
    close(bound);
}

TEST(OpenClientfdWrapper, SuccessReturnsTheDescriptorSilently) {
    int listener = Open_listenfd(0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int fd = Open_clientfd("localhost", local_port(listener));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(endpoint(fd, true), "127.0.0.1:" + std::to_string(local_port(listener)));
    close(fd);
    close(listener);
}

TEST(OpenListenfdDeathTest, PortInUseEndsTheProcess) {
    int holder = open_listenfd(0);
    ASSERT_GE(holder, 0);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Open_listenfd(local_port(holder)), testing::ExitedWithCode(1),
                "^Open_listenfd error: Address already in use\n$");
    close(holder);
}

TEST(OpenListenfd, RebindsAtOnceWhileEarlierConnectionsLinger) {
    int listener = open_listenfd(0);
    ASSERT_GE(listener, 0);
    int port = local_port(listener);
    int client = client_connect(port);
    ASSERT_GE(client, 0);
    int served = accept(listener, nullptr, nullptr);
    close(served);  // this end closes first, so it is the one that lingers
    char c;
    EXPECT_EQ(rio_readn(client, &c, 1), 0);
    close(client);
    close(listener);
    int again = open_listenfd(port);
    EXPECT_GE(again, 0) << strerror(errno);
    if (again >= 0) close(again);
}

// Two listeners on one port number, one per loopback address, so that a
// thread handed the other host's address lands on the wrong listener. Each
// listener checks that the client's line names its own host.
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
        const char *name;
        const char *ip;
        int listener;
        std::atomic<int> accepted{0}, wrong{0};
    };
    host_t hosts[2];
    hosts[0].name = "localhost", hosts[0].ip = "127.0.0.1", hosts[0].listener = first;
    hosts[1].name = "127.0.0.2", hosts[1].ip = "127.0.0.2", hosts[1].listener = second;
    const int THREADS = 8, ROUNDS = 100;

    auto end = std::chrono::steady_clock::now() + scaled(ms(30000));
    std::atomic<bool> clients_done{false};
    std::vector<std::thread> acceptors;
    for (host_t &h : hosts) {
        acceptors.emplace_back([&h, &clients_done, end] {
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
                bool mine = n > 0 && std::string(line, (size_t)n) == std::string(h.name) + "\n";
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
    EXPECT_EQ(lock_value(), 1);
    for (host_t &h : hosts) {
        SCOPED_TRACE(h.name);
        EXPECT_EQ(h.accepted.load(), THREADS / 2 * ROUNDS);
        EXPECT_EQ(h.wrong.load(), 0);
        close(h.listener);
    }
}
