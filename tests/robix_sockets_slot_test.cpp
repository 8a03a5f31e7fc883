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
#include "robix_test_support.h"

namespace {

using namespace harness;
using namespace robix_test;

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
    const int expected = unknown_host_code();
    h_errno = 0;
    EXPECT_EQ(gethostbyname_ts(UNKNOWN_HOST), nullptr);
    EXPECT_EQ(h_errno, expected);
    EXPECT_EQ(lock_value(), 1);
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

// Each failure leaves the lookup lock free as well.
TEST(OpenClientfd, FailuresGiveTheirCodeAndCloseTheSocket) {
    expect_refused_connection_closes_socket();
    EXPECT_EQ(lock_value(), 1);
    expect_unknown_host_closes_socket();
    EXPECT_EQ(lock_value(), 1);
    expect_fails_without_free_descriptor([] { return open_clientfd("127.0.0.1", 80); });
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
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(leave_port_lingering(port));
    int again = open_listenfd(port);
    EXPECT_GE(again, 0) << strerror(errno);
    if (again >= 0) close(again);
}

// The lookup lock is free again once every thread is done.
TEST(OpenClientfd, ThreadsResolvingTwoHostsAtOnceEachReachTheirOwn) {
    expect_threads_reach_their_own_hosts(false);
    EXPECT_EQ(lock_value(), 1);
}
