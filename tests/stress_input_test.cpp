// Bad input that the programs' own tests leave out, each answered as its
// program defines it, after which the program is healthy: alive, serving,
// no descriptor or thread left over, no sanitizer report, and nothing wrong
// stored. (The rest of the list, and the lingering close, are covered for
// every program by its own tests.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stress_support.h"

namespace {

using namespace stress;

const ms WAIT(10000);

enum class answer_t { NOTHING, REPLY, PAGE_501 };

struct row_t {
    const char *name;
    std::string request;   // "@" stands for the origin's host:port
    answer_t answer;
    std::string upstream;  // exact request at the origin, for REPLY ("@" as above)
    std::string console;   // a line the program must print ("" for none)
};

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

struct StressInput : testing::TestWithParam<program_t> {
    loaded_t load{GetParam()};
    origin_t &origin = load.run.origin;
    std::string hostport;

    void SetUp() override {
        origin.default_reply.bytes = http_response("origin reply\n");
        ASSERT_TRUE(start_loaded(load, false, "/warm"));
        hostport = "127.0.0.1:" + std::to_string(origin.port);
    }
    void TearDown() override { stop_loaded(load); }

    client_result_t ask(const std::string &request) {
        client_opts_t opts;
        opts.shutdown_write = true;
        return client_exchange(load.port(), request, WAIT, opts);
    }

    void expect_healthy() {
        ASSERT_TRUE(is_running(load.run.proxy));
        static int n = 0;
        EXPECT_EQ(ask(get(load.url("/healthy" + std::to_string(n++)))).bytes,
                  http_response("origin reply\n"));
        expect_idle(load);
        expect_no_sanitizer_report(load.run.proxy);
    }
};

TEST_P(StressInput, BadInputTheProgramsOwnTestsLeaveOut) {
    for (const row_t &row : gaps(GetParam().name)) {
        SCOPED_TRACE(row.name);
        const size_t before = origin_count(origin);
        const std::string request = substitute(row.request, "@", hostport);
        client_result_t r = ask(request);
        EXPECT_FALSE(r.timed_out);
        EXPECT_TRUE(r.eof || r.reset);
        switch (row.answer) {
            case answer_t::NOTHING:
                EXPECT_EQ(r.bytes, "");
                EXPECT_EQ(origin_count(origin), before);
                break;
            case answer_t::PAGE_501:
                EXPECT_EQ(r.bytes.compare(0, 30, "HTTP/1.0 501 Not Implemented\r\n"), 0) << r.bytes;
                EXPECT_NE(r.bytes.find("Method not supported: G\xc5T\r\n"), std::string::npos);
                EXPECT_EQ(origin_count(origin), before);
                break;
            case answer_t::REPLY:
                EXPECT_EQ(r.bytes, http_response("origin reply\n"));
                ASSERT_TRUE(origin_wait_closed(origin, before + 1, WAIT));
                EXPECT_EQ(origin_request(origin, before), substitute(row.upstream, "@", hostport));
                // The same request again is served the same bytes, from the
                // cache: what was stored is the origin's reply.
                EXPECT_EQ(ask(request).bytes, http_response("origin reply\n"));
                EXPECT_EQ(origin_count(origin), before + 1);
                break;
        }
        if (!row.console.empty()) {
            EXPECT_TRUE(wait_output(load.run.proxy, row.console, WAIT));
        }
        expect_healthy();
    }
}

// slotproxy's own tests leave out ports beyond 16 bits and negative ones:
// they reach the socket as their low 16 bits, so an origin there gets the
// request and its answer is relayed. (When that port is taken on this
// machine, only health is checked.)
struct StressPorts : StressInput {};

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
        origin_t fixed;  // an origin on the port the low bits name
        fixed.port = c.low16;
        fixed.default_reply.bytes = http_response("low sixteen bits\n");
        const std::string request =
            "GET http://127.0.0.1:" + std::string(c.port) + "/low HTTP/1.0\r\n\r\n";
        if (!origin_start(fixed)) {
            EXPECT_FALSE(ask(request).timed_out);
            expect_healthy();
            continue;
        }
        client_result_t r = ask(request);
        EXPECT_TRUE(origin_wait_closed(fixed, 1, WAIT));
        EXPECT_TRUE(origin_stop(fixed));
        EXPECT_TRUE(r.eof);
        EXPECT_EQ(r.bytes, http_response("low sixteen bits\n"));
        // The Host line names the port connected to, so that links and
        // redirects the origin builds from it lead back to it.
        EXPECT_EQ(origin_request(fixed, 0),
                  "GET /low HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(c.low16) + "\r\n\r\n");
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
