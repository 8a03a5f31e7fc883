// Each program against failing peers. Browsers that close before, during and
// right after the request line, or in the middle of the response, and
// browsers that send their headers one byte at a time; origins that reset in
// the middle of a response, close without a byte, never answer, or send
// megabytes; host names that do not resolve. After each phase the program is
// alive, serves a normal request, is back to its idle descriptors and
// threads, and has stored no truncated or mixed response: a URL whose fetch
// failed is served new content afterwards, and what the program replays
// must be that content.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "stress_support.h"

namespace {

using namespace stress;

const ms WAIT(30000);

size_t big_size() { return sized(2u << 20, 10u << 20); }

// Replies of the browser-fault phase: /big is too large for any cache.
std::string browser_phase_reply(const std::string &path, size_t) {
    if (path == "/big") return http_response(pattern_body(big_size(), 77));
    if (path.compare(0, 4, "/cut") == 0) return http_response(pattern_body(90000, seed_of(path)));
    return http_response(pattern_body(200 + seed_of(path) % 5000, seed_of(path)));
}

struct StressFaults : testing::TestWithParam<program_t> {
    loaded_t load{GetParam()};
    origin_t &origin = load.run.origin;

    void TearDown() override { stop_loaded(load); }

    const program_t &prog() const { return GetParam(); }

    client_result_t ask(const std::string &url, ms deadline = WAIT) {
        return client_exchange(load.port(), get(url), deadline);
    }

    // Alive, serves `path` (a fresh one) correctly twice, every connection
    // over, no sanitizer report.
    void expect_healthy(const std::string &path, const std::string &reply) {
        ASSERT_TRUE(is_running(load.run.proxy));
        EXPECT_TRUE(ask(load.url(path)).bytes == reply);
        EXPECT_TRUE(ask(load.url(path)).bytes == reply);
        expect_idle(load);
        expect_no_sanitizer_report(load.run.proxy);
    }
};

// ---------------------------------------------------------------- browsers

TEST_P(StressFaults, BrowsersThatFail) {
    const size_t k = sized(10, 100);
    ASSERT_GE(raise_fd_limit(8 * k + 512), 8 * k + 512);
    origin.make_reply = browser_phase_reply;
    ASSERT_TRUE(start_loaded(load, false, "/warm"));
    // A hit to be cut short later.
    ASSERT_TRUE(ask(load.url("/hit")).bytes == browser_phase_reply("/hit", 0));

    enum kind_t { AT_ONCE, IN_LINE, AFTER_LINE, MID_BIG, MID_HIT, MID_CUT, BYTEWISE, KINDS };
    std::vector<script_t> scripts;
    std::vector<kind_t> kinds;
    std::vector<std::string> paths;
    for (size_t i = 0; i < k; i++) {
        for (int kind = 0; kind < KINDS; kind++) {
            script_t s;
            std::string path;
            switch (kind) {
                case AT_ONCE:  // connects and closes without a byte
                    s.close_after_send = true;
                    break;
                case IN_LINE:  // closes in the middle of the request line
                    s.request = "GET " + load.url("/inline" + std::to_string(i)).substr(0, 20);
                    s.close_after_send = true;
                    break;
                case AFTER_LINE:  // closes right after the request line
                    path = "/after" + std::to_string(i);
                    s.request = "GET " + load.url(path) + " HTTP/1.0\r\n";
                    s.close_after_send = true;
                    break;
                case MID_BIG:  // goes away after 64 KB of a long response
                    path = "/big";
                    s.request = get(load.url(path));
                    s.read_limit = 65536;
                    break;
                case MID_HIT:  // goes away after 1000 bytes of a hit
                    path = "/hit";
                    s.request = get(load.url(path));
                    s.read_limit = 1000;
                    break;
                case MID_CUT:  // goes away after 1000 bytes of a storable miss
                    path = "/cut" + std::to_string(i);
                    s.request = get(load.url(path));
                    s.read_limit = 1000;
                    break;
                case BYTEWISE:  // the whole request one byte at a time
                    path = "/bytewise" + std::to_string(i);
                    s.request = get(load.url(path),
                                    "Host: 127.0.0.1\r\nUser-Agent: stress/1.0\r\nAccept: */*\r\n"
                                    "X-Sequence: " +
                                        std::to_string(i) + "\r\n");
                    s.send_piece = 1;
                    s.send_pause_ms = 1;
                    break;
            }
            scripts.push_back(s);
            kinds.push_back((kind_t)kind);
            paths.push_back(path);
        }
    }
    std::vector<client_result_t> out = drive(load.port(), scripts, ms(120000));
    size_t wrong = 0;
    std::string first;
    for (size_t i = 0; i < scripts.size(); i++) {
        bool ok = out[i].connected && !out[i].timed_out;
        const std::string want = paths[i].empty() ? "" : browser_phase_reply(paths[i], 0);
        if (kinds[i] == BYTEWISE) ok = ok && out[i].eof && out[i].bytes == want;
        if (kinds[i] == MID_BIG || kinds[i] == MID_HIT || kinds[i] == MID_CUT) {
            ok = ok && out[i].bytes.size() == scripts[i].read_limit && is_prefix(out[i].bytes, want);
        }
        if (!ok && wrong++ == 0) first = "kind " + std::to_string(kinds[i]) + " " + paths[i];
    }
    EXPECT_EQ(wrong, 0u) << "first: " << first;
    std::cout << "[ figures  ] " << prog().name << ": " << scripts.size()
              << " failing browsers (" << k << " of each of " << KINDS << " kinds)" << std::endl;

    expect_healthy("/healthy1", browser_phase_reply("/healthy1", 0));
    // Whatever was kept of the cut exchanges is the origin's whole reply.
    std::set<std::string> asked;
    for (const std::string &path : paths) {
        if (path.empty() || !asked.insert(path).second) continue;
        SCOPED_TRACE(path);
        client_result_t r = ask(load.url(path), ms(60000));
        EXPECT_TRUE(r.eof);
        EXPECT_TRUE(r.bytes == browser_phase_reply(path, 0)) << r.bytes.size() << " bytes";
    }
    expect_healthy("/healthy2", browser_phase_reply("/healthy2", 0));
}

// ---------------------------------------------------------------- origins

TEST_P(StressFaults, OriginsThatFail) {
    const size_t k = sized(5, 50), bigs = sized(2, 4), holds = sized(5, 20);
    ASSERT_GE(raise_fd_limit(16 * k + 512), 16 * k + 512);
    const std::string fine = http_response("fine\n");
    origin.default_reply.bytes = fine;
    ASSERT_TRUE(start_loaded(load, false, "/warm"));

    // The first replies: cut by a reset, empty, or large.
    auto whole = [](const std::string &path, unsigned version) {
        return http_response(pattern_body(90000, seed_of(path) + version));
    };
    const std::string big = http_response(pattern_body(big_size(), 99));
    for (size_t i = 0; i < k; i++) {
        origin_reply_t reset;
        const std::string path = "/reset" + std::to_string(i);
        reset.bytes = whole(path, 0).substr(0, 60000);
        reset.pieces = {30000};
        reset.pause_ms = 20;
        reset.end = origin_end_t::RESET;
        origin_route(origin, path, reset);
        route(load.run, "/empty" + std::to_string(i), "");
    }
    route(load.run, "/big", big);

    std::atomic<size_t> wrong{0};
    std::mutex lock;
    std::string first;
    auto fail = [&](const std::string &what) {
        if (wrong++ == 0) {
            std::lock_guard<std::mutex> g(lock);
            first = what;
        }
    };
    // Every fault at once: resets, empty replies, large replies, and names
    // that do not resolve.
    const size_t jobs = 3 * k + bigs;
    parallel(jobs, 16, [&](size_t j) {
        if (j < k) {
            const std::string path = "/reset" + std::to_string(j);
            client_result_t r = ask(load.url(path));
            // Relayed unchanged as far as it came; never more.
            if (r.timed_out || !is_prefix(r.bytes, whole(path, 0).substr(0, 60000))) fail(path);
        } else if (j < 2 * k) {
            const std::string path = "/empty" + std::to_string(j - k);
            client_result_t r = ask(load.url(path));
            if (r.timed_out || !r.eof || !r.bytes.empty()) fail(path);
        } else if (j < 3 * k) {
            const size_t i = j - 2 * k;
            const std::string u = i % 2 ? "http://stress-" + std::to_string(i) + ".invalid/x"
                                        : "http://stress-" + std::to_string(i) + ".invalid:8080/";
            client_result_t r = ask(u);
            if (r.timed_out || !r.eof || !r.bytes.empty()) fail(u);
        } else {
            client_result_t r = ask(load.url("/big"), ms(60000));
            if (!r.eof || r.bytes != big) fail("/big: " + std::to_string(r.bytes.size()));
        }
    });
    EXPECT_EQ(wrong.load(), 0u) << "first: " << first;
    EXPECT_TRUE(wait_output(load.run.proxy, prog().unresolved_line, ms(10000),
                            prog().unresolved_on_stderr, (int)k));

    // Origins that never answer: the browsers give up and close; the held
    // threads wait on their origin, which ends later.
    origin_t silent;
    silent.default_reply.end = origin_end_t::HOLD;
    ASSERT_TRUE(origin_start(silent));
    const std::string silent_url = origin_url(silent, "/hold");
    parallel(holds, holds, [&](size_t i) {
        client_result_t r =
            client_exchange(load.port(), get(silent_url + std::to_string(i)), ms(300));
        if (!r.timed_out || !r.bytes.empty()) fail("/hold" + std::to_string(i));
    });
    EXPECT_EQ(wrong.load(), 0u) << "first: " << first;
    EXPECT_TRUE(origin_wait_requests(silent, holds, WAIT));
    // Still serving while those wait.
    EXPECT_TRUE(ask(load.url("/during-hold")).bytes == fine);
    EXPECT_TRUE(origin_stop(silent));
    std::cout << "[ figures  ] " << prog().name << ": " << k << " resets, " << k
              << " empty replies, " << k << " unresolved names, " << bigs << " replies of "
              << big.size() << " bytes, " << holds << " silent origins" << std::endl;
    expect_healthy("/healthy1", fine);

    // What each failed URL gives now: new content for the cut ones, since
    // nothing was kept of them, and the same content again from the cache.
    for (size_t i = 0; i < k; i++) {
        const std::string reset_path = "/reset" + std::to_string(i);
        const std::string empty_path = "/empty" + std::to_string(i);
        route(load.run, reset_path, whole(reset_path, 1));
        route(load.run, empty_path, whole(empty_path, 1));
    }
    // Empty replies first, while every one is still in the cache of the
    // programs that store them (the reset URLs below insert 90 KB each):
    // those replay nothing; the others fetch the new content and keep it.
    for (size_t i = 0; i < k; i++) {
        const std::string empty_path = "/empty" + std::to_string(i);
        SCOPED_TRACE(empty_path);
        const std::string expect = prog().stores_empty ? "" : whole(empty_path, 1);
        EXPECT_TRUE(ask(load.url(empty_path)).bytes == expect);
        EXPECT_TRUE(ask(load.url(empty_path)).bytes == expect);
    }
    for (size_t i = 0; i < k; i++) {
        const std::string reset_path = "/reset" + std::to_string(i);
        SCOPED_TRACE(reset_path);
        const size_t before = origin_fetches(origin, reset_path);
        EXPECT_TRUE(ask(load.url(reset_path)).bytes == whole(reset_path, 1));
        EXPECT_TRUE(ask(load.url(reset_path)).bytes == whole(reset_path, 1));
        // The second came from the cache (90 KB is stored by every program).
        EXPECT_EQ(origin_fetches(origin, reset_path), before + 1);
    }
    // Too large to keep: fetched again, whole.
    const size_t before = origin_fetches(origin, "/big");
    EXPECT_TRUE(ask(load.url("/big"), ms(60000)).bytes == big);
    EXPECT_EQ(origin_fetches(origin, "/big"), before + 1);
    // The silent origin is gone; what it ended with was nothing.
    for (size_t i = 0; i < holds; i++) {
        client_result_t r = ask(silent_url + std::to_string(i));
        EXPECT_TRUE(r.eof && r.bytes.empty()) << "/hold" << i;
    }
    expect_healthy("/healthy2", fine);
}

INSTANTIATE_TEST_SUITE_P(Faults, StressFaults, testing::ValuesIn(programs()), param_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(StressFaults);

}  // namespace
