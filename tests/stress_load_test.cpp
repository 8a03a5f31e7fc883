// Each program under load: many browser connections held open at once (hits,
// misses, slow senders and slow readers), then many requests from concurrent
// browsers over a fixed set of URLs. Every response must be byte for byte
// what the origin sent for its URL; afterwards the program is alive, serves
// a normal request, holds no more descriptors or threads than when idle,
// and every cached entry still equals its origin's bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "stress_support.h"

namespace {

using namespace stress;

// Replies by path. /w<i>, /f<i>: small; /s<i>: 40 KB for slow readers;
// /u<i>: the 200 URLs of the request run, among them versioned ones (every
// fetch a new whole version of the same length) and a few too large for
// any cache; /health<i>: short.
std::string reply_for(const std::string &path, size_t k) {
    const unsigned seed = seed_of(path);
    if (path.compare(0, 2, "/s") == 0) return http_response(pattern_body(40000, seed));
    if (path.compare(0, 2, "/u") == 0) {
        int u = atoi(path.c_str() + 2);
        if (u % 20 == 7) {  // versioned
            return http_response("version " + std::to_string(100000 + k) + "\n" +
                                 pattern_body(3000, seed + (unsigned)k));
        }
        if (u % 50 == 3) return http_response(pattern_body(120000, seed));  // never stored
        return http_response(pattern_body(100 + (size_t)(u * 997) % 8000, seed));
    }
    if (path.compare(0, 7, "/health") == 0) return http_response("healthy " + path + "\n");
    return http_response(pattern_body(300 + seed % 3700, seed));
}

bool versioned(const std::string &path) {
    return path.compare(0, 2, "/u") == 0 && atoi(path.c_str() + 2) % 20 == 7;
}

struct StressLoad : testing::TestWithParam<program_t> {
    loaded_t load{GetParam()};

    void SetUp() override {
        ASSERT_GE(raise_fd_limit(4 * sized(200, 1000) + 512), 4 * sized(200, 1000) + 512)
            << "the hard descriptor limit is too low for this load";
        load.run.origin.make_reply = reply_for;
        ASSERT_TRUE(start_loaded(load, false, "/health-warm"));
    }
    void TearDown() override { stop_loaded(load); }

    client_result_t ask(const std::string &path) {
        return client_exchange(load.port(), get(load.url(path)), ms(30000));
    }

    // The bytes are one of the whole versions the origin sent for the path
    // (a fixed path has one).
    bool sent_by_origin(const std::string &path, const std::string &bytes) {
        const size_t n = std::max<size_t>(origin_fetches(load.run.origin, path), 1);
        for (size_t k = 0; k < n; k++) {
            if (bytes == reply_for(path, versioned(path) ? k : 0)) return true;
        }
        return false;
    }

    // Alive, serves a fresh request and then the same from wherever it is
    // kept, and every connection is over.
    void expect_healthy() {
        ASSERT_TRUE(is_running(load.run.proxy));
        static int n = 0;
        const std::string path = "/health" + std::to_string(n++);
        EXPECT_TRUE(ask(path).bytes == reply_for(path, 0));
        EXPECT_TRUE(ask(path).bytes == reply_for(path, 0));
        expect_idle(load);
        expect_no_sanitizer_report(load.run.proxy);
    }

    // Asks for every path again (hits where the program kept them): each
    // answer is a whole reply the origin sent for that path.
    void expect_cache_matches_origin(const std::vector<std::string> &paths) {
        std::atomic<int> wrong{0};
        std::mutex lock;
        std::string first;
        parallel(paths.size(), 8, [&](size_t i) {
            client_result_t r = ask(paths[i]);
            if (!r.eof || !sent_by_origin(paths[i], r.bytes)) {
                if (wrong++ == 0) {
                    std::lock_guard<std::mutex> g(lock);
                    first = paths[i] + ": " + std::to_string(r.bytes.size()) + " bytes";
                }
            }
        });
        EXPECT_EQ(wrong.load(), 0) << "first: " << first;
    }
};

// N connections open at once: a quarter hits, a quarter misses, a quarter
// slow senders (the request in 3-byte pieces), a quarter slow readers.
TEST_P(StressLoad, HoldsManyConnectionsAtOnce) {
    const size_t n = sized(200, 1000);
    const size_t warm = 40;
    std::vector<std::string> paths;
    for (size_t i = 0; i < warm; i++) {
        const std::string path = "/w" + std::to_string(i);
        ASSERT_TRUE(ask(path).bytes == reply_for(path, 0));
        paths.push_back(path);
    }
    std::vector<script_t> scripts(n);
    std::vector<std::string> want(n);
    for (size_t i = 0; i < n; i++) {
        std::string path;
        switch (i % 4) {
            case 0:  // a hit
                path = "/w" + std::to_string(i % warm);
                break;
            case 1:  // a miss
                path = "/f" + std::to_string(i);
                break;
            case 2:  // a slow sender, of a hit or a miss
                path = (i / 4) % 2 ? "/w" + std::to_string(i % warm) : "/f" + std::to_string(i);
                scripts[i].send_piece = 3;
                scripts[i].send_pause_ms = 10;
                break;
            default:  // a slow reader of 40 KB
                path = "/s" + std::to_string(i);
                scripts[i].read_piece = 2048;
                scripts[i].read_pause_ms = 10;
                break;
        }
        scripts[i].request = get(load.url(path), "User-Agent: stress\r\n");
        want[i] = reply_for(path, 0);
        if (i % 4 != 0) paths.push_back(path);
    }
    const size_t origin_before = origin_count(load.run.origin);
    int held_fds = 0, held_threads = 0;
    std::vector<client_result_t> out = drive(load.port(), scripts, ms(120000), [&](size_t opened) {
        EXPECT_EQ(opened, n);
        // Every connection is accepted and held by its own thread before
        // any byte is sent.
        EXPECT_TRUE(wait_until([&] { return count_fds(load.pid()) >= load.idle_fds + (int)n; },
                             ms(30000)));
        EXPECT_TRUE(wait_until(
            [&] { return count_threads(load.pid()) >= load.idle_threads + (int)n; }, ms(30000)));
        held_fds = count_fds(load.pid()) - load.idle_fds;
        held_threads = count_threads(load.pid()) - load.idle_threads;
    });
    size_t wrong = 0, timed_out = 0;
    std::string first;
    for (size_t i = 0; i < n; i++) {
        if (out[i].timed_out) timed_out++;
        if (!out[i].eof || out[i].bytes != want[i]) {
            if (wrong++ == 0) {
                first = scripts[i].request.substr(0, scripts[i].request.find('\r')) + ": " +
                        std::to_string(out[i].bytes.size()) + " of " +
                        std::to_string(want[i].size()) + " bytes" +
                        (out[i].reset ? ", reset" : out[i].eof ? "" : ", not closed");
            }
        }
    }
    EXPECT_EQ(wrong, 0u) << "first: " << first;
    EXPECT_EQ(timed_out, 0u);
    std::cout << "[ figures  ] " << GetParam().name << ": " << n << " connections at once, "
              << held_fds << " descriptors and " << held_threads << " threads held, "
              << origin_count(load.run.origin) - origin_before << " origin fetches" << std::endl;
    expect_healthy();
    expect_cache_matches_origin(paths);
    expect_healthy();
}

// R requests from C concurrent browsers over 200 URLs.
TEST_P(StressLoad, ManyRequestsOverFixedUrls) {
    const size_t requests = sized(2000, 20000), clients = sized(16, 64), urls = 200;
    std::atomic<size_t> wrong{0}, served{0};
    std::mutex lock;
    std::string first;
    std::vector<std::pair<std::string, std::string>> versioned_answers;
    parallel(requests, clients, [&](size_t i) {
        // A fixed pseudo-random walk over the URLs.
        const size_t u = (i * 2654435761u + 12345u) % urls;
        const std::string path = "/u" + std::to_string(u);
        client_result_t r = ask(path);
        served++;
        if (versioned(path)) {
            std::lock_guard<std::mutex> g(lock);
            versioned_answers.emplace_back(path, r.bytes);
            if (!r.eof) wrong++;
        } else if (!r.eof || r.bytes != reply_for(path, 0)) {
            if (wrong++ == 0) {
                std::lock_guard<std::mutex> g(lock);
                first = path + ": " + std::to_string(r.bytes.size()) + " bytes";
            }
        }
    });
    // Versioned answers are checked once every version sent is known.
    for (const auto &a : versioned_answers) {
        if (!sent_by_origin(a.first, a.second)) {
            if (wrong++ == 0) first = a.first + " mixes or cuts versions";
        }
    }
    EXPECT_EQ(served.load(), requests);
    EXPECT_EQ(wrong.load(), 0u) << "first: " << first;
    std::cout << "[ figures  ] " << GetParam().name << ": " << requests << " requests from "
              << clients << " browsers over " << urls << " URLs, "
              << origin_count(load.run.origin) << " origin fetches" << std::endl;
    expect_healthy();
    std::vector<std::string> paths;
    for (size_t u = 0; u < urls; u++) paths.push_back("/u" + std::to_string(u));
    expect_cache_matches_origin(paths);
    expect_healthy();
}

INSTANTIATE_TEST_SUITE_P(Load, StressLoad, testing::ValuesIn(programs()), param_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(StressLoad);

}  // namespace
