// Each program's resident set under a long run of distinct responses: many
// small ones, then a run of large ones that fills the 1 MiB budget twice
// over, in four rounds. The resident set stays within the budget plus a
// fixed overhead, and does not grow from round to round.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "stress_support.h"

namespace {

using namespace stress;

// The cache budget of every program.
constexpr long BUDGET_KIB = 1024;
// What a program holds besides its cache once its connections are over:
// code and libraries (about 3.2 MiB of VmRSS right after start-up), stdio,
// the allocator's per-thread arenas (up to 8 per core, each keeping a few
// hundred KiB once used) and cached thread stacks. Measured in the plain
// build, VmRSS in KiB after each round below, CI size / full size:
//   stageproxy  idle 3072..3192, rounds 4444..6728 / 4948..6828
//   slotproxy   idle 3228..3256, rounds 4136..6096 / 5060..6008
// and stampproxy with its relay buffers mapped apart from the heap (see the
// known defect below) 5832..6800 at CI size. Since connection threads run on
// pooled stacks (robix/stacks.h), the idle stacks that the recent peak of
// connections may need again keep their touched pages (up to some 130 KiB
// each) instead of handing them back as each thread ends: at CI size, rounds
// measured 7668..9244 (stampproxy), 8092..9652 (stageproxy) and 8004..10068
// (slotproxy). The bound leaves 2 MiB above the largest for the allocator's
// varying fragmentation.
constexpr long OVERHEAD_KIB = 11264;
// Growth allowed from round 2 to round 4. The arenas' high-water marks
// still creep up with the traffic: measured up to 1.1 MiB at CI size (with
// other tests running beside it) and up to 330 KiB at full size. A leak of
// one 1.5 KiB block per request adds 2.2 MiB at CI size, and one of 64
// bytes adds 1.5 MiB at full size.
long growth_kib() { return (long)sized(2048, 1024); }

// /s...: 1 to 4 KB; /l...: 90 000 bytes, stored by every program; /k...:
// a few bytes (its path is the long part).
std::string reply_for(const std::string &path, size_t) {
    const unsigned seed = seed_of(path);
    if (path.compare(0, 2, "/l") == 0) return http_response(pattern_body(90000, seed));
    if (path.compare(0, 2, "/k") == 0) return http_response(pattern_body(seed % 16, seed));
    return http_response(pattern_body(1000 + seed % 3000, seed));
}

struct StressMemory : testing::TestWithParam<program_t> {
    loaded_t load{GetParam()};
    // Quiet: the trace lines of a long eviction run would fill the disk
    // (stampproxy's prints every key on every eviction pass).
    void SetUp() override {
        load.run.origin.make_reply = reply_for;
        ASSERT_TRUE(start_loaded(load, true, "/warm"));
    }
    void TearDown() override { stop_loaded(load); }
};

TEST_P(StressMemory, ResidentSetStaysWithinBudgetPlusOverhead) {
    const size_t rounds = 4, small = sized(750, 12500), large = sized(24, 48);
    const long idle = rss_kib(load.pid());

    std::atomic<size_t> wrong{0};
    auto fetch_all = [&](const std::string &prefix, size_t n, size_t clients) {
        parallel(n, clients, [&](size_t i) {
            const std::string path = prefix + std::to_string(i);
            client_result_t r = client_exchange(load.port(), get(load.url(path)), ms(30000));
            if (!r.eof || r.bytes != reply_for(path, 0)) wrong++;
        });
        // Measured once every connection is over.
        expect_idle(load);
        return rss_kib(load.pid());
    };
    // The allocator makes a new arena for a thread that finds none free, up
    // to its limit (8 per core): held connections at once take them all now,
    // so the rounds compare like with like.
    std::vector<script_t> burst(64);
    for (size_t i = 0; i < burst.size(); i++) {
        burst[i].request = get(load.url("/warm" + std::to_string(i)));
    }
    for (const client_result_t &o : drive(load.port(), burst, ms(30000))) {
        if (!o.eof) wrong++;
    }
    expect_idle(load);
    const long warm = rss_kib(load.pid());
    std::vector<long> after_small, after_large;
    for (size_t r = 0; r < rounds; r++) {
        const std::string round = std::to_string(r);
        after_small.push_back(fetch_all("/s" + round + "-", small, 8));
        after_large.push_back(fetch_all("/l" + round + "-", large, 4));
    }
    EXPECT_EQ(wrong.load(), 0u);
    stop_loaded(load);  // alive, and no sanitizer report
    std::cout << "[ figures  ] " << GetParam().name << ": " << rounds * small
              << " small and " << rounds * large << " large responses; VmRSS KiB idle " << idle
              << ", warm " << warm << ", after small";
    for (long v : after_small) std::cout << " " << v;
    std::cout << ", after large";
    for (long v : after_large) std::cout << " " << v;
    std::cout << "; bound " << BUDGET_KIB + OVERHEAD_KIB << std::endl;
    if (ASAN) {
        GTEST_SKIP() << "resident-set bound not checked under AddressSanitizer: its allocator "
                        "keeps freed memory in quarantine (the traffic and checks above ran)";
    }
    if (TSAN) {
        GTEST_SKIP() << "resident-set bound not checked under ThreadSanitizer: its shadow memory "
                        "and allocator hold several times the program's own (the traffic and "
                        "checks above ran)";
    }
    for (size_t r = 0; r < rounds; r++) {
        EXPECT_LE(after_small[r], BUDGET_KIB + OVERHEAD_KIB) << "round " << r;
        EXPECT_LE(after_large[r], BUDGET_KIB + OVERHEAD_KIB) << "round " << r;
    }
    EXPECT_LE(after_small[3], after_small[1] + growth_kib()) << "grows across rounds";
    EXPECT_LE(after_large[3], after_large[1] + growth_kib()) << "grows across rounds";
}

// Thousands of entries with long keys and tiny complete responses: the
// budget charges each its key and record too, so they are evicted like any
// others instead of growing the process by their keys (counting object bytes
// alone would admit hundreds of thousands of them). Keys are as long as each
// program takes: stampproxy's request line must fit in 1023 bytes, the
// others' URLs run to 8000.
TEST_P(StressMemory, LongKeysWithSmallResponsesStayWithinBudget) {
    const bool stamp = GetParam().name == "stampproxy";
    const size_t n = stamp ? sized(8000, 24000) : sized(3000, 6000);
    const size_t url_bytes = stamp ? 960 : 8000;
    const std::string tail(url_bytes - load.url("/k").size() - 8, 'k');
    std::atomic<size_t> wrong{0};
    parallel(n, 8, [&](size_t i) {
        const std::string path = "/k" + std::to_string(i) + "-" + tail;
        client_result_t r = client_exchange(load.port(), get(load.url(path)), ms(30000));
        if (!r.eof || r.bytes != reply_for(path, 0)) wrong++;
    });
    expect_idle(load);
    const long rss = rss_kib(load.pid());
    EXPECT_EQ(wrong.load(), 0u);
    stop_loaded(load);  // alive, and no sanitizer report
    std::cout << "[ figures  ] " << GetParam().name << ": " << n << " responses under "
              << url_bytes << "-byte URLs; VmRSS KiB " << rss << "; bound "
              << BUDGET_KIB + OVERHEAD_KIB << std::endl;
    if (ASAN || TSAN) {
        GTEST_SKIP() << "resident-set bound not checked under a sanitizer (see above)";
    }
    EXPECT_LE(rss, BUDGET_KIB + OVERHEAD_KIB);
}

INSTANTIATE_TEST_SUITE_P(Memory, StressMemory, testing::ValuesIn(programs()), param_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(StressMemory);

}  // namespace
