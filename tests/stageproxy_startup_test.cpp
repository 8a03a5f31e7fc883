// stageproxy's command line and banner; and failures of
// its own made on demand by the fault shim (tests/harness/faults_shim.cpp):
// a hit whose write fails, allocations. What it shares with the other
// programs is in programs_e2e_test.cpp.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"
#include "programs.h"

using namespace harness;

namespace {

const ms DEADLINE(10000);

std::string banner(long port) {
    return "Marlowin proxy is listening on socket: " + std::to_string(port) + ".\n";
}

const std::string USAGE_TAIL = " (port number) (verbosity level: 0, 1, 2)\n";

// ---------------------------------------------------------------- command line

TEST(StageStartup, VerbosityFromSecondArgumentDefaultOne) {
    // The launcher's probe (a browser that closes at once) shows the level.
    const struct {
        const char *name;
        std::vector<std::string> extra;
        std::string probeOut;
    } cases[] = {
        {"port only: level 1", {}, "Received Request\n"},
        {"level 0", {"0"}, ""},
        {"level 1", {"1"}, "Received Request\n"},
        {"level 2", {"2"}, "\n\nReceived Request: \n"},
        {"abc: level 0", {"abc"}, ""},
        {"words after the second ignored", {"2", "7", "x"}, "\n\nReceived Request: \n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        started_t s;
        ASSERT_TRUE(start_server(s.p, PROXY_BIN, c.extra));
        ASSERT_TRUE(wait_output(s.p, "Disconnected.\n", DEADLINE));
        EXPECT_EQ(read_stdout(s.p), banner(s.p.port) + c.probeOut + "Disconnected.\n");
        EXPECT_EQ(read_stderr(s.p), "Error: Must be GET request.\nError: Invalid HTTP Request.\n");
    }
}

TEST(StageStartup, VerbosityOutOfRangeRefusedWithUsageAndStatus1) {
    const std::string port = std::to_string(free_port());
    for (const char *level : {"3", "-1", "12"}) {
        SCOPED_TRACE(level);
        run_result_t r = run_to_exit({PROXY_BIN, port, level}, DEADLINE);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, std::string("usage: ") + PROXY_BIN + USAGE_TAIL);
        EXPECT_EQ(r.out, "");
    }
}

TEST(StageStartup, NoPortGivesUsageAndStatus1) {
    run_result_t r = run_to_exit({PROXY_BIN}, DEADLINE);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, std::string("usage: ") + PROXY_BIN + USAGE_TAIL);
    EXPECT_EQ(r.out, "");
}

// ---------------------------------------------------------------- accept loop

struct StageAccept : ::testing::Test {
    running_t run{program_named("stageproxy")};
    origin_t &origin = run.origin;
    void SetUp() override { ASSERT_TRUE(start_origin(run, http_response("served"))); }
    // Starts the program at level 0 with the shim and the given fault plan;
    // the first accept and the first thread belong to the launcher's probe.
    void startWith(const std::string &name, const std::string &plan, bool waitProbe = true,
                   bool mallocFaults = false) {
        ASSERT_TRUE(start_faulted(run, name, plan, waitProbe, mallocFaults));
    }
    std::string get(const std::string &path) const { return get_request(run, path); }
    // stderr without the probe's two lines, which the probe's thread may
    // print between the accept loop's lines.
    std::string err() const { return err_after_probe(run.proxy, run.row); }
};

TEST_F(StageAccept, HitWriteFailurePrintsFailedToRespond) {
    // A response of 20000 bytes is relayed line by line on the miss, but
    // written in one call on the hit, which the shim makes fail with EPIPE.
    std::string response;
    for (size_t body = 19800; body < 20000 && response.size() != 20000; body++) {
        response = http_response(pattern_body(body, 2));
    }
    ASSERT_EQ(response.size(), 20000u);
    route(run, "/big", response);
    startWith("FAULT_WRITE_SIZE", "20000");
    EXPECT_EQ(client_exchange(run.proxy.port, get("/big"), DEADLINE).bytes, response);
    ASSERT_TRUE(wait_output(run.proxy, "Disconnected.\n", DEADLINE, false, 2));
    client_result_t hit = client_exchange(run.proxy.port, get("/big"), DEADLINE);
    EXPECT_EQ(hit.bytes, "");
    ASSERT_TRUE(wait_output(run.proxy, "Disconnected.\n", DEADLINE, false, 3));
    EXPECT_EQ(read_stdout(run.proxy), banner(run.proxy.port) +
                                        "Disconnected.\nSuccessfully cached.\nDisconnected.\n"
                                        "Sig Pipe detected - aborting connection thread.\n"
                                        "Disconnected.\n");
    EXPECT_EQ(err(), "Error: Failed to respond to browser.\n\n");
    EXPECT_EQ(origin_count(origin), 1u);
}

// Memory that runs out while a response is being stored (its copy, or its
// key's copy) skips storing that response; the connection is served, the
// process goes on, nothing is stored in its place, and its threads and
// descriptors are given back.
TEST_F(StageAccept, AllocationFailureSkipsStoringKeepsServing) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's runtime cannot run under a preloaded malloc; this case "
                    "runs in the plain and AddressSanitizer builds";
#endif
    const std::string dataFails = http_response(pattern_body(7777 - 67, 5));
    ASSERT_EQ(dataFails.size(), 7777u);
    route(run, "/data", dataFails);
    const std::string keyPath = "/key-" + std::string(5000, 'k');
    const size_t keyBlock = ("http://127.0.0.1:" + std::to_string(origin.port) + keyPath).size() + 1;
    startWith("FAULT_MALLOC_SIZE", "7777," + std::to_string(keyBlock), true, true);
    const int idleFds = count_fds(run.proxy.pid);
    const struct {
        const char *name;
        std::string path, answer;
        bool stored;
    } cases[] = {
        {"the response's copy fails", "/data", dataFails, false},
        {"the key's copy fails", keyPath, http_response("served"), false},
        {"an ordinary response", "/fine", http_response("served"), true},
    };
    int ended = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        size_t before = origin_count(origin);
        std::string out = read_stdout(run.proxy);
        for (int round = 0; round < 2; round++) {
            EXPECT_EQ(client_exchange(run.proxy.port, get(c.path), DEADLINE).bytes, c.answer);
            ASSERT_TRUE(wait_output(run.proxy, "Disconnected.\n", DEADLINE, false, ++ended));
        }
        EXPECT_EQ(read_stdout(run.proxy).substr(out.size()),
                  c.stored ? "Successfully cached.\nDisconnected.\nDisconnected.\n"
                           : "Disconnected.\nDisconnected.\n");
        EXPECT_EQ(origin_count(origin), before + (c.stored ? 1 : 2));
    }
    EXPECT_EQ(err(), "");
    EXPECT_TRUE(is_running(run.proxy));
    EXPECT_TRUE(wait_fds(run.proxy.pid, idleFds, DEADLINE)) << count_fds(run.proxy.pid);
    EXPECT_TRUE(wait_threads(run.proxy.pid, 1 + RUNTIME_THREADS, DEADLINE));
}

}  // namespace
