// stampproxy's start-up as a whole program: a port that is not a number and
// the default port, rebinding after a restart; and failures of
// its own made on demand by the fault shim (tests/harness/faults_shim.cpp):
// a request that cannot be written, allocations. What it shares with the
// other programs is in programs_e2e_test.cpp.
#include <arpa/inet.h>
#include <ctype.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "harness.h"
#include "programs.h"

using namespace harness;

namespace {

const ms DEADLINE(10000);

// The local port of the listening TCP socket that descriptor fd of process
// pid is, from /proc; -1 when not found.
int listening_port(pid_t pid, int fd) {
    char link[256];
    std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n <= 0) return -1;
    link[n] = '\0';
    unsigned long inode = 0;
    if (sscanf(link, "socket:[%lu]", &inode) != 1) return -1;
    std::ifstream tcp("/proc/" + std::to_string(pid) + "/net/tcp");
    std::string line;
    std::getline(tcp, line);  // the column titles
    while (std::getline(tcp, line)) {
        unsigned local_port = 0, state = 0;
        unsigned long ino = 0;
        char skip[64];
        if (sscanf(line.c_str(), " %*d: %*[0-9A-F]:%X %*[0-9A-F]:%*X %X %63s %*s %*s %*s %*s %lu",
                   &local_port, &state, skip, &ino) == 4 &&
            ino == inode) {
            return (int)local_port;
        }
    }
    return -1;
}

// ---------------------------------------------------------------- start-up

TEST(StampStartup, NonNumericPortListensOnSystemChosenPort) {
    running_t run(program_named("stampproxy"));
    ASSERT_TRUE(start_origin(run, http_response("chosen")));
    started_t s;
    ASSERT_TRUE(start_process(s.p, {PROXY_BIN, "abc"}));
    ASSERT_TRUE(wait_output(s.p, "Port 0 at time ", DEADLINE));
    int port = listening_port(s.p.pid, 3);
    ASSERT_GT(port, 0) << "no listening socket found for descriptor 3";
    EXPECT_EQ(client_exchange(port, get_request(run, "/"), DEADLINE).bytes, http_response("chosen"));
}

TEST(StampStartup, NoArgumentListensOnDefaultPort56416) {
    int probe = hold_port(56416);
    if (probe < 0) GTEST_SKIP() << "port 56416 is in use on this machine; cannot test the default";
    close(probe);
    started_t s;
    ASSERT_TRUE(start_process(s.p, {PROXY_BIN}));
    if (!wait_accepting(s.p, 56416, DEADLINE)) {
        if (read_stdout(s.p).find("ERR bind errno") != std::string::npos) {
            GTEST_SKIP() << "port 56416 was taken meanwhile";
        }
        FAIL() << "not accepting on 56416: " << read_stdout(s.p);
    }
    ASSERT_TRUE(wait_output(s.p, "CLIENT_ERR_REQUEST", DEADLINE));
    std::string out = read_stdout(s.p);
    EXPECT_TRUE(shape_match(out.substr(0, out.find("START-REQUEST")),
                            std::string("ERR Port 56416 at time <N>\n") + RULE))
        << out;
}

TEST(StampStartup, RestartBindsSamePortAtOnce) {
    running_t run(program_named("stampproxy"));
    ASSERT_TRUE(start_origin(run, http_response("again")));
    const std::string request = get_request(run, "/");
    int port = free_port();
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        started_t s;
        ASSERT_TRUE(start_process(s.p, {PROXY_BIN, std::to_string(port)}));
        // The first run's connections linger in the kernel (TIME_WAIT).
        ASSERT_TRUE(wait_accepting(s.p, port, DEADLINE)) << read_stdout(s.p);
        EXPECT_EQ(client_exchange(port, request, DEADLINE).bytes, http_response("again"));
    }
}

// ---------------------------------------------------------------- accept loop

struct FaultedProxy : ::testing::Test {
    running_t run{program_named("stampproxy")};
    origin_t &origin = run.origin;
    void SetUp() override { ASSERT_TRUE(start_origin(run, http_response("served"))); }
    void TearDown() override { EXPECT_EQ(read_stderr(run.proxy), ""); }
    // Starts the program with the shim and the given fault plan; the first
    // accept and the first thread belong to the launcher's probe.
    void start_with(const std::string &name, const std::string &plan, bool malloc_faults = false) {
        ASSERT_TRUE(start_faulted(run, name, plan, false, malloc_faults));
    }
    std::string get(const std::string &path) const { return get_request(run, path); }
    std::string out() { return read_stdout(run.proxy); }
};

TEST_F(FaultedProxy, RequestWriteFailureEndsWithWriteErrorExit) {
    start_with("FAULT_WRITE_PORT", std::to_string(origin.port));
    // The start-up probe's connection prints its own block; let it finish first so
    // nothing can fall between the lines checked below.
    ASSERT_TRUE(wait_output(run.proxy, "\nCLIENT_ERR_REQUEST\n", DEADLINE));
    client_result_t r = client_exchange(run.proxy.port, get("/w"), DEADLINE);
    EXPECT_EQ(r.bytes, "");
    EXPECT_TRUE(r.eof);
    ASSERT_TRUE(wait_output(run.proxy, "\nWRITE_ERROR_EXIT\n", DEADLINE));
    EXPECT_NE(out().find("REQ:\tGET /w HTTP/1.0\r\nERR packet to server errno 32 - " +
                         std::string(strerror(EPIPE)) + "\n\n" + RULE + "WRITE_ERROR_EXIT\n" +
                         RULE + "\n"),
              std::string::npos)
        << out();
    ASSERT_TRUE(origin_wait_closed(origin, 1, DEADLINE));
    EXPECT_EQ(origin_request(origin, 0), "") << "nothing may reach the origin";
}

}  // namespace

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif

// Memory running short ends only what needs it: the eviction trace is
// written through a buffer on the stack after the lock (it once held its
// text in heap blocks, whose reserve threw out of the cache under its lock
// and aborted), so the insertion completes and the process goes on.
TEST_F(FaultedProxy, AllocationFailuresEndOnlyWhatNeedsTheMemory) {
    if (SANITIZED) GTEST_SKIP() << "the malloc fault replaces the sanitizer's allocator";
    const struct {
        const char *name;
        std::string plan;
        bool each_served;  // every response arrives whole; else whole or nothing
    } cases[] = {
        // Blocks of 1 to 64 KiB, where the trace's text once was; relay
        // buffers, objects and hit copies (about 100 KB here), keys and the
        // passes' small record are outside the range.
        {"no block of 1 to 64 KiB for the eviction trace", "1024:65536:1", true},
        // Every third block from 4 KiB: relay buffers, stored copies, hit
        // copies and the trace fail now and then.
        {"every third large block refused", "4096:1048576:3", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        stop_and_remove(run.proxy);
        run.proxy = process_t();
        start_with("FAULT_MALLOC", c.plan, true);
        ASSERT_TRUE(wait_output(run.proxy, "\nCLIENT_ERR_REQUEST\n", DEADLINE));
        const int idle_fds = count_fds(run.proxy.pid), idle_threads = count_threads(run.proxy.pid);
        const size_t asked = origin_count(origin);
        // Eleven responses of about 100 KB: the eleventh evicts one of ten.
        std::vector<std::string> bodies;
        for (int i = 0; i < 11; i++) {
            bodies.push_back(http_response(pattern_body(99900, (unsigned)i + 40)));
            route(run, "/big" + std::to_string(i), bodies.back());
        }
        int whole = 0;
        for (int round = 0; round < 2; round++) {
            for (int i = 0; i < 11; i++) {
                client_result_t r =
                    client_exchange(run.proxy.port, get("/big" + std::to_string(i)), DEADLINE);
                EXPECT_TRUE(r.eof);
                if (r.bytes == bodies[i]) {
                    whole++;
                } else {
                    EXPECT_FALSE(c.each_served) << "response " << i << " not served whole";
                    EXPECT_EQ(r.bytes, "") << "response " << i << " served wrong bytes";
                }
            }
        }
        ASSERT_TRUE(is_running(run.proxy));
        EXPECT_GT(whole, 0);
        EXPECT_TRUE(wait_threads(run.proxy.pid, idle_threads, DEADLINE)) << "threads left";
        EXPECT_TRUE(wait_fds(run.proxy.pid, idle_fds, DEADLINE)) << "descriptors leaked";
        std::string text = out();
        if (c.each_served) {
            // Eleven stored, then the second round: one eviction pass per
            // insertion beyond ten, each tracing every entry it looked at.
            size_t at = text.find("Cache too big");
            ASSERT_NE(at, std::string::npos) << text;
            const std::string size = " oldest " + std::to_string(bodies[0].size());
            for (int i = 0; i < 11; i++) {
                const std::string key = get("/big" + std::to_string(i));
                EXPECT_NE(text.find("\t" + key.substr(0, key.size() - 2) + size, at),
                          std::string::npos)
                    << i;
            }
            EXPECT_GT(origin_count(origin) - asked, 11u);
        }
    }
}

}  // namespace
