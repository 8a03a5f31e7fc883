// slotproxy's slot table in-process: charges, growth, eviction order, stamps,
// duplicates, allocation failure, and the readers-writers protocol with
// reference-counted hits (run under both sanitizers by the CI).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "cache.h"
#include "robix_test_support.h"

namespace {

using harness::ms;

// Bytes that tell which entry they belong to: the key, then a pattern.
std::string body_for(const std::string &uri, int size) {
    std::string s = uri + "|" + harness::pattern_body((size_t)size, (unsigned)uri.size());
    s.resize((size_t)size);
    return s;
}

web_object *make(const std::string &uri, int size) {
    std::string bytes = body_for(uri, size);
    web_object *o = cache_new_object(uri.c_str(), bytes.data(), size);
    EXPECT_NE(o, nullptr);
    return o;
}

void store(const std::string &uri, int size) { write_to_cache(make(uri, size)); }

std::string key(int i) { return "http://origin/" + std::to_string(i); }

std::string slot_uri(int i) { return i < filled_blocks ? std::string(cache[i]->uri) : "<empty>"; }

void set_stamp(int slot, time_t t) { cache[slot]->time.store(t); }

// The hit's bytes, compared with what was stored; the reference is returned.
bool hit_matches(const std::string &uri, int size) {
    web_object *o = check_cache(uri.c_str());
    if (o == nullptr) return false;
    bool same = o->size == size && std::string(o->data, (size_t)o->size) == body_for(uri, size);
    cache_release(o);
    return same;
}

class SlotCache : public ::testing::Test {
   protected:
    void SetUp() override { cache_init(); }
    void TearDown() override {
        EXPECT_TRUE(cache_check_invariants());
        cache_free_all();
    }
};

TEST_F(SlotCache, OneStoreChargesBodyPlus8200) {
    store(key(1), 1000);
    EXPECT_EQ(cache_size, 9200);
    EXPECT_EQ(filled_blocks, 1);
    EXPECT_EQ(total_blocks, 50);
    EXPECT_TRUE(hit_matches(key(1), 1000));
}

TEST_F(SlotCache, ZeroByteEntryIsChargedFixedAmount) {
    store(key(1), 0);
    EXPECT_EQ(cache_size, 8200);
    web_object *o = check_cache(key(1).c_str());
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->size, 0);
    cache_release(o);
}

TEST_F(SlotCache, MissReturnsNullAndChangesNothing) {
    store(key(1), 10);
    set_stamp(0, 1234);
    EXPECT_EQ(check_cache(key(2).c_str()), nullptr);
    EXPECT_EQ(check_cache("http://origin/1 "), nullptr);
    EXPECT_EQ(check_cache("http://origin/"), nullptr);
    EXPECT_EQ(cache[0]->time.load(), 1234);
    EXPECT_EQ(cache[0]->refcnt.load(), 1);
    EXPECT_EQ(filled_blocks, 1);
    EXPECT_EQ(cache_size, 8210);
}

TEST_F(SlotCache, KeysDifferingOnlyInCaseAreDifferent) {
    store("http://origin/Page", 5);
    EXPECT_EQ(check_cache("http://origin/page"), nullptr);
    EXPECT_EQ(check_cache("HTTP://ORIGIN/Page"), nullptr);
    EXPECT_TRUE(hit_matches("http://origin/Page", 5));
}

TEST_F(SlotCache, GrowsTo100SlotsAtThe51stEntryKeepingTheFirst50) {
    std::vector<web_object *> first;
    for (int i = 0; i < 50; i++) {
        store(key(i), 100);
        first.push_back(cache[i]);
    }
    EXPECT_EQ(total_blocks, 50);
    store(key(50), 100);
    EXPECT_EQ(total_blocks, 100);
    EXPECT_EQ(filled_blocks, 51);
    for (int i = 0; i < 50; i++) EXPECT_EQ(cache[i], first[(size_t)i]) << "slot " << i;
    EXPECT_EQ(slot_uri(50), key(50));
    EXPECT_EQ(cache_size, 51 * 8300);
    for (int i = 0; i <= 50; i++) EXPECT_TRUE(hit_matches(key(i), 100)) << i;
}

// Ten entries of 90000 bytes charge 982000; an eleventh of 90000 reaches the
// budget and evicts one, the last entry then filling the hole.
TEST_F(SlotCache, EvictsLeastRecentlyStampedAndMovesLastIntoHole) {
    for (int i = 0; i < 10; i++) store(key(i), 90000);
    const time_t stamps[10] = {1005, 1003, 1009, 1001, 1008, 1002, 1007, 1004, 1006, 1010};
    for (int i = 0; i < 10; i++) set_stamp(i, stamps[i]);
    store(key(10), 90000);
    EXPECT_EQ(filled_blocks, 10);
    EXPECT_EQ(slot_uri(3), key(9));  // the last entry moved into slot 3
    EXPECT_EQ(slot_uri(9), key(10));
    EXPECT_EQ(check_cache(key(3).c_str()), nullptr);
    EXPECT_EQ(cache_size, 10 * 98200);
    EXPECT_TRUE(hit_matches(key(9), 90000));
}

TEST_F(SlotCache, EqualStampsEvictTheLowestSlot) {
    for (int i = 0; i < 10; i++) store(key(i), 90000);
    for (int i = 0; i < 10; i++) set_stamp(i, 5000);
    store(key(10), 90000);
    EXPECT_EQ(slot_uri(0), key(9));
    EXPECT_EQ(check_cache(key(0).c_str()), nullptr);
    for (int i = 1; i < 9; i++) EXPECT_EQ(slot_uri(i), key(i));
}

// cache_size + size < budget stores without eviction; reaching it evicts.
TEST_F(SlotCache, BudgetBoundaryDecidesEviction) {
    struct {
        const char *name;
        int size;
        int filled_after;
    } cases[] = {
        {"one byte below the budget", 66575, 11},
        {"exactly at the budget", 66576, 10},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        cache_free_all();
        cache_init();
        for (int i = 0; i < 10; i++) store(key(i), 90000);
        ASSERT_EQ(cache_size, 982000);
        store(key(10), c.size);
        EXPECT_EQ(filled_blocks, c.filled_after);
        EXPECT_TRUE(cache_check_invariants());
    }
}

// 120 zero-byte entries charge 984000; a 100000-byte one needs the charge
// under 948576, so five passes run, each choosing again among what is left.
TEST_F(SlotCache, OneInsertionEvictsSeveralChoosingAfreshEachPass) {
    for (int i = 0; i < 120; i++) store(key(i), 0);
    EXPECT_EQ(total_blocks, 200);
    for (int i = 0; i < 120; i++) set_stamp(i, 2000);
    set_stamp(3, 1000);
    set_stamp(10, 1001);
    set_stamp(50, 1002);
    set_stamp(119, 1003);  // moves into slot 3 in the first pass, then goes
    set_stamp(0, 1500);
    store(key(120), 100000);

    EXPECT_EQ(filled_blocks, 116);
    EXPECT_EQ(cache_size, 115 * 8200 + 108200);
    EXPECT_EQ(slot_uri(3), key(116));
    EXPECT_EQ(slot_uri(10), key(118));
    EXPECT_EQ(slot_uri(50), key(117));
    EXPECT_EQ(slot_uri(0), key(115));
    EXPECT_EQ(slot_uri(115), key(120));
    for (int gone : {0, 3, 10, 50, 119}) {
        EXPECT_EQ(check_cache(key(gone).c_str()), nullptr) << gone;
    }
    EXPECT_EQ(slot_uri(1), key(1));
    EXPECT_EQ(slot_uri(114), key(114));
}

// 50 entries of 12700 charge 1045000: the table is full and the budget has
// no room for 5000 more, so an entry goes instead of the table growing.
TEST_F(SlotCache, FullTableWithoutRoomEvictsInsteadOfGrowing) {
    for (int i = 0; i < 50; i++) store(key(i), 12700);
    for (int i = 0; i < 50; i++) set_stamp(i, 3000 + i);
    set_stamp(20, 10);
    store(key(50), 5000);
    EXPECT_EQ(total_blocks, 50);
    EXPECT_EQ(filled_blocks, 50);
    EXPECT_EQ(slot_uri(20), key(49));
    EXPECT_EQ(slot_uri(49), key(50));
}

TEST_F(SlotCache, DuplicateUrisGiveTwoEntriesAndLookupsReturnTheLowerSlot) {
    store(key(7), 300);
    store(key(7), 301);
    EXPECT_EQ(filled_blocks, 2);
    EXPECT_EQ(cache_size, 300 + 301 + 2 * 8200);
    EXPECT_TRUE(hit_matches(key(7), 300));
}

TEST_F(SlotCache, HitRestampsItsEntrySoItOutlivesOlderOnes) {
    for (int i = 0; i < 10; i++) store(key(i), 90000);
    for (int i = 0; i < 10; i++) set_stamp(i, 1000 + i);
    time_t before = time(nullptr);
    ASSERT_TRUE(hit_matches(key(0), 90000));
    EXPECT_GE(cache[0]->time.load(), before);
    store(key(10), 90000);
    EXPECT_TRUE(hit_matches(key(0), 90000));
    EXPECT_EQ(check_cache(key(1).c_str()), nullptr);
    EXPECT_EQ(slot_uri(1), key(9));
}

TEST_F(SlotCache, NewObjectCopiesBytesAndKey) {
    std::string bytes("a\0b\r\n", 5);
    web_object *o = cache_new_object("http://o/x", bytes.data(), 5);
    ASSERT_NE(o, nullptr);
    EXPECT_STREQ(o->uri, "http://o/x");
    EXPECT_EQ(std::string(o->data, 5), bytes);
    EXPECT_EQ(o->refcnt.load(), 1);
    cache_release(o);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SLOT_SANITIZED 1
#else
#define SLOT_SANITIZED 0
#endif

// Takes every byte the allocator can still give under the address-space
// limit already set; returns the chain so it can be given back.
void *exhaust_heap() {
    void *chain = nullptr;
    for (size_t size = 1 << 20; size >= 16; size /= 4) {
        for (;;) {
            void *p = malloc(size);
            if (p == nullptr) break;
            *static_cast<void **>(p) = chain;
            chain = p;
        }
    }
    return chain;
}

// In a child process, with the address space capped and the heap used up,
// the full table cannot grow and no entry can be allocated: the response is
// not stored and the cache stays as it was.
TEST_F(SlotCache, TableThatCannotGrowLeavesCacheConsistent) {
    if (SLOT_SANITIZED) GTEST_SKIP() << "sanitizer allocators cannot be starved this way";
    for (int i = 0; i < 50; i++) store(key(i), 10);
    web_object *extra = make(key(50), 10);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct rlimit lim = {0, 0};
        FILE *f = fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (f == nullptr || fscanf(f, "%lu", &pages) != 1) _exit(10);
        fclose(f);
        lim.rlim_cur = lim.rlim_max = pages * (unsigned long)sysconf(_SC_PAGESIZE);
        if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(11);
        void *chain = exhaust_heap();
        write_to_cache(extra);
        void *more = exhaust_heap();  // what releasing `extra` gave back
        int code = 0;
        if (total_blocks != 50 || filled_blocks != 50) code = 1;
        if (!cache_check_invariants()) code = 2;
        if (check_cache(key(50).c_str()) != nullptr) code = 3;
        if (cache_new_object(key(51).c_str(), "x", 1) != nullptr) code = 4;
        (void)chain;
        (void)more;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent still owns its copy of the entry the child tried to store.
    cache_release(extra);
}

// ---------------------------------------------------------------- concurrency

class SlotCacheThreads : public SlotCache {};

TEST_F(SlotCacheThreads, ReadersRunSideBySide) {
    store(key(1), 500);
    cache_reader_enter();
    auto other = std::async(std::launch::async, [] { return hit_matches(key(1), 500); });
    // The second lookup finishes while this thread is still inside.
    ASSERT_EQ(other.wait_for(harness::scaled(ms(5000))), std::future_status::ready);
    EXPECT_TRUE(other.get());
    EXPECT_EQ(readcnt, 1);
    cache_reader_leave();
}

TEST_F(SlotCacheThreads, WriterWaitsUntilNoReaderIsInsideThenRunsAlone) {
    store(key(1), 500);
    cache_reader_enter();
    std::atomic<bool> written{false};
    std::thread writer([&] {
        store(key(2), 600);
        written = true;
    });
    // However long the writer is given, it cannot get in while a reader is.
    auto until = std::chrono::steady_clock::now() + ms(200);
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_FALSE(written.load());
        std::this_thread::yield();
    }
    // Readers are favoured: another lookup still gets in beside this one.
    auto other = std::async(std::launch::async, [] { return hit_matches(key(1), 500); });
    ASSERT_EQ(other.wait_for(harness::scaled(ms(5000))), std::future_status::ready);
    EXPECT_TRUE(other.get());
    EXPECT_FALSE(written.load());
    cache_reader_leave();
    writer.join();
    EXPECT_TRUE(written.load());
    EXPECT_TRUE(hit_matches(key(2), 600));
}

// A hit's bytes are written through a socket with a tiny buffer while
// another thread evicts that very entry; the sender's reference keeps them.
TEST_F(SlotCacheThreads, HitBeingSentWhileEvictedStaysValid) {
    const int size = 90000;
    store(key(0), size);
    set_stamp(0, 1);  // the oldest, so the next overflow takes it
    for (int i = 1; i < 10; i++) store(key(i), size);
    web_object *hit = check_cache(key(0).c_str());
    ASSERT_NE(hit, nullptr);
    set_stamp(0, 1);  // the lookup re-stamped it; make it the victim again

    robix_test::socket_pair_t sp;
    int small = 4096;
    setsockopt(sp.fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(sp.fd[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::thread sender([&] {
        Rio_writen(sp.fd[0], hit->data, (size_t)hit->size);
        cache_release(hit);
        sp.close_end(0);
    });
    store(key(10), size);  // evicts key(0) while the sender is blocked
    EXPECT_EQ(check_cache(key(0).c_str()), nullptr);

    std::string got = robix_test::read_to_end(sp.fd[1]);
    sender.join();
    EXPECT_EQ(got, body_for(key(0), size));
}

TEST_F(SlotCacheThreads, EvictedEntryHeldBySenderIsFreedByLastRelease) {
    store(key(0), 90000);
    web_object *hit = check_cache(key(0).c_str());
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->refcnt.load(), 2);
    set_stamp(0, 1);
    for (int i = 1; i <= 10; i++) store(key(i), 90000);
    EXPECT_EQ(check_cache(key(0).c_str()), nullptr);
    EXPECT_EQ(hit->refcnt.load(), 1);  // the table's reference is gone
    EXPECT_EQ(body_for(key(0), 90000), std::string(hit->data, 90000));
    cache_release(hit);  // the leak checker would see it if this did not free
}

// Many threads storing and looking up one small set of keys: every hit's
// bytes belong to its key, and the invariants hold at the end.
TEST_F(SlotCacheThreads, ManyReadersAndWritersKeepEntriesIntact) {
    const int threads = 8, ops = 400, keys = 30;
    std::atomic<int> bad{0}, hits{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([&, t] {
            unsigned x = 12345u + (unsigned)t * 7919u;
            for (int i = 0; i < ops; i++) {
                x = x * 1103515245u + 12345u;
                int k = (int)((x >> 8) % keys);
                int size = 20000 + k * 1000;  // one size per key
                if ((x >> 20) % 4 == 0) {
                    store(key(k), size);
                } else if (web_object *o = check_cache(key(k).c_str())) {
                    hits++;
                    if (o->size != size ||
                        std::string(o->data, (size_t)o->size) != body_for(key(k), size)) {
                        bad++;
                    }
                    cache_release(o);
                }
            }
        });
    }
    for (std::thread &th : pool) th.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(hits.load(), 0);
    EXPECT_LT(cache_size, MAX_CACHE_SIZE + ENTRY_CHARGE);
    EXPECT_TRUE(cache_check_invariants());
}

}  // namespace
