// Bad input that the programs' own tests leave out, each answered as its
// program defines it, after which the program is healthy: alive, serving,
// no descriptor or thread left over, no sanitizer report, and nothing wrong
// stored. (The rest of the list, and the lingering close, are covered for
// every program by its own tests.)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "stress_support.h"

namespace {

using namespace stress;
using harness::http_response;
using harness::origin_reply_t;

const ms WAIT(10000);

// Accepts one connection, reads its request up to the empty line, answers
// `reply` and closes; returns what it read ("" when nobody came).
std::string serve_once(int lfd, const std::string &reply) {
    struct pollfd pfd = {lfd, POLLIN, 0};
    if (poll(&pfd, 1, (int)harness::scaled(WAIT).count()) <= 0) return std::string();
    int fd = accept(lfd, nullptr, nullptr);
    if (fd < 0) return std::string();
    std::string got;
    char buf[4096];
    while (got.find("\r\n\r\n") == std::string::npos) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, (int)harness::scaled(WAIT).count()) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, (size_t)n);
    }
    send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    while (recv(fd, buf, sizeof buf, 0) > 0) {
    }  // until the program closes
    close(fd);
    return got;
}

enum class answer_t { NOTHING, REPLY, PAGE_501 };

struct row_t {
    const char *name;
    std::string request;   // "@" stands for the origin's host:port
    answer_t answer;
    std::string upstream;  // exact request at the origin, for REPLY ("@" as above)
    std::string console;   // a line the program must print ("" for none)
};

std::string expand(const std::string &text, const std::string &hostport) {
    std::string out;
    for (char c : text) {
        if (c == '@') {
            out += hostport;
        } else {
            out += c;
        }
    }
    return out;
}

// The rows each program's own tests lack.
std::vector<row_t> gaps(const std::string &name) {
    if (name == "stampproxy") {
        return {
            // Only GET and HEAD answers are stored, so a method of other
            // bytes is left to the program's own table of what is stored.
            {"bytes above 127 in a query", "GET http://@/m?\xc5=\xff HTTP/1.0\r\n\r\n",
             answer_t::REPLY,
             "GET /m?\xc5=\xff HTTP/1.0\r\nHost: @\r\nConnection: close\r\n\r\n", ""},
            // Read as text the line ends at the NUL, without its line end: a
            // key cut there would be shared by every line that starts the same.
            {"NUL in the URI", "GET http://@/a" + std::string("\0b", 2) + " HTTP/1.0\r\n\r\n",
             answer_t::NOTHING, "", "ERR request line ended without a line end\n"},
        };
    }
    if (name == "slotproxy") {
        return {
            {"bytes above 127 in the method", "G\xc5T http://@/m HTTP/1.0\r\n\r\n",
             answer_t::PAGE_501, "", ""},
            {"URI of only http://", "GET http:// HTTP/1.0\r\n\r\n", answer_t::NOTHING, "",
             "invalid host\n"},
            {"request line ending in a bare line feed", "GET http://@/lf HTTP/1.0\n\n",
             answer_t::REPLY, "GET /lf HTTP/1.0\r\nHost: @\r\n\r\n", ""},
        };
    }
    return {};
}

std::vector<program_t> with_gaps() {
    std::vector<program_t> out;
    for (const program_t &p : programs()) {
        if (!gaps(p.name).empty()) out.push_back(p);
    }
    return out;
}

class StressInput : public testing::TestWithParam<program_t> {
   protected:
    harness::origin_t origin;
    proxy_t proxy;
    std::string hostport;

    void SetUp() override {
        ASSERT_TRUE(harness::origin_start(origin));
        origin_reply_t r;
        r.bytes = http_response("origin reply\n");
        harness::origin_default(origin, r);
        hostport = "127.0.0.1:" + std::to_string(origin.port);
        ASSERT_TRUE(start_proxy(proxy, GetParam(), false, get("http://" + hostport + "/warm"),
                                r.bytes));
    }
    void TearDown() override {
        stop_proxy(proxy);
        harness::origin_stop(origin);
    }

    harness::client_result_t ask(const std::string &request) {
        harness::client_opts_t opts;
        opts.shutdown_write = true;
        return harness::client_exchange(proxy.port(), request, WAIT, opts);
    }

    void expect_healthy() {
        ASSERT_TRUE(harness::is_running(proxy.proc));
        static int n = 0;
        const std::string url = "http://" + hostport + "/healthy" + std::to_string(n++);
        EXPECT_EQ(ask(get(url)).bytes, http_response("origin reply\n"));
        expect_idle(proxy);
        EXPECT_EQ(sanitizer_report(proxy.proc), "");
    }
};

TEST_P(StressInput, BadInputTheProgramsOwnTestsLeaveOut) {
    for (const row_t &row : gaps(GetParam().name)) {
        SCOPED_TRACE(row.name);
        const size_t before = harness::origin_count(origin);
        const std::string request = expand(row.request, hostport);
        harness::client_result_t r = ask(request);
        EXPECT_FALSE(r.timed_out);
        EXPECT_TRUE(r.eof || r.reset);
        switch (row.answer) {
            case answer_t::NOTHING:
                EXPECT_EQ(r.bytes, "");
                EXPECT_EQ(harness::origin_count(origin), before);
                break;
            case answer_t::PAGE_501:
                EXPECT_EQ(r.bytes.compare(0, 30, "HTTP/1.0 501 Not Implemented\r\n"), 0) << r.bytes;
                EXPECT_NE(r.bytes.find("Method not supported: G\xc5T\r\n"), std::string::npos);
                EXPECT_EQ(harness::origin_count(origin), before);
                break;
            case answer_t::REPLY:
                EXPECT_EQ(r.bytes, http_response("origin reply\n"));
                ASSERT_TRUE(harness::origin_wait_closed(origin, before + 1, WAIT));
                EXPECT_EQ(harness::origin_request(origin, before), expand(row.upstream, hostport));
                // The same request again is served the same bytes, from the
                // cache: what was stored is the origin's reply.
                EXPECT_EQ(ask(request).bytes, http_response("origin reply\n"));
                EXPECT_EQ(harness::origin_count(origin), before + 1);
                break;
        }
        if (!row.console.empty()) {
            EXPECT_TRUE(harness::wait_output(proxy.proc, row.console, WAIT));
        }
        expect_healthy();
    }
}

// slotproxy's own tests leave out ports beyond 16 bits and negative ones:
// they reach the socket as their low 16 bits, so an origin there gets the
// request and its answer is relayed. (When that port is taken on this
// machine, only health is checked.)
class StressPorts : public StressInput {};

std::vector<program_t> slot_only() {
    std::vector<program_t> out;
    for (const program_t &p : programs()) {
        if (p.name == "slotproxy") out.push_back(p);
    }
    return out;
}

TEST_P(StressPorts, OutOfRangePortsReachTheirLow16Bits) {
    const struct {
        const char *port;
        int low16;
    } cases[] = {{"99999999", 99999999 % 65536}, {"-5", 65536 - 5}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.port);
        int lfd = harness::hold_port(c.low16);  // a one-shot origin on a fixed port
        const std::string request =
            "GET http://127.0.0.1:" + std::string(c.port) + "/low HTTP/1.0\r\n\r\n";
        if (lfd < 0) {
            EXPECT_FALSE(ask(request).timed_out);
            expect_healthy();
            continue;
        }
        std::string upstream;
        std::thread origin_thread(
            [&] { upstream = serve_once(lfd, http_response("low sixteen bits\n")); });
        harness::client_result_t r = ask(request);
        origin_thread.join();
        close(lfd);
        EXPECT_TRUE(r.eof);
        EXPECT_EQ(r.bytes, http_response("low sixteen bits\n"));
        // The Host line names the port connected to, so that links and
        // redirects the origin builds from it lead back to it.
        EXPECT_EQ(upstream, "GET /low HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(c.low16) +
                                "\r\n\r\n");
        // Stored under the URI as sent: replayed with no origin listening.
        EXPECT_EQ(ask(request).bytes, http_response("low sixteen bits\n"));
        expect_healthy();
    }
}

INSTANTIATE_TEST_SUITE_P(Input, StressInput, testing::ValuesIn(with_gaps()), param_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(StressInput);
INSTANTIATE_TEST_SUITE_P(Input, StressPorts, testing::ValuesIn(slot_only()), param_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(StressPorts);

}  // namespace
