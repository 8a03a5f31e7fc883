// stageproxy's cache module in-process: storing, the budget, eviction by
// whole-second stamps with its front-most tie-break, hits refreshing stamps,
// references that outlive eviction, and many threads on one cache.
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cache.h"
#include "robix_test_support.h"

namespace {

// Every test starts from an empty cache and checks the invariants after.
struct StageCache : ::testing::Test {
    static void SetUpTestSuite() { initCache(); }
    void SetUp() override { cacheClear(); }
    void TearDown() override {
        EXPECT_EQ(cacheCheckInvariants(), nullptr);
        cacheClear();
    }
};

// Inserts without printing to the test's own output; true when stored.
bool put(const std::string &url, const std::string &data) {
    ::testing::internal::CaptureStdout();
    int stored = cacheInsert(url.c_str(), data.data(), (int)data.size());
    robix_test::captured_stdout();
    return stored == 1;
}

// The keys from front to back.
std::vector<std::string> keys() {
    std::vector<std::string> out;
    for (cacheEntry *e = head; e != nullptr; e = e->next) out.push_back(e->url);
    return out;
}

cacheEntry *at(size_t index) {
    cacheEntry *e = head;
    while (e != nullptr && index-- > 0) e = e->next;
    return e;
}

void stamp(size_t index, time_t t) {
    cacheEntry *e = at(index);
    if (e == nullptr) {
        ADD_FAILURE() << "no entry at " << index;
        return;
    }
    e->time.store(t);
}

std::string bytesOf(const cacheEntry *e) { return std::string(e->data, (size_t)e->size); }

// What an entry costs the budget: its response, its key with the terminator
// and the fixed record charge.
int charge(const std::string &url, size_t size) {
    return (int)(size + url.size() + 1 + ENTRY_RECORD_CHARGE);
}

TEST_F(StageCache, StoresExactBytesNewestFirstAndCharges) {
    const std::string body("HTTP/1.0 200 OK\r\n\r\n\0with\0nul", 29);
    ASSERT_TRUE(put("http://a/1", body));
    ASSERT_TRUE(put("http://a/2", "second"));
    EXPECT_EQ(keys(), (std::vector<std::string>{"http://a/2", "http://a/1"}));
    EXPECT_EQ(available, MAX_CACHE_SIZE - charge("http://a/1", 29) - charge("http://a/2", 6));
    cacheEntry *e = cacheGet("http://a/1");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(bytesOf(e), body);
}

TEST_F(StageCache, ZeroByteObjectChargedKeyAndRecord) {
    ASSERT_TRUE(put("http://a/empty", ""));
    EXPECT_EQ(available, MAX_CACHE_SIZE - charge("http://a/empty", 0));
    cacheEntry *e = cacheGet("http://a/empty");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->size, 0);
}

// Long keys with empty bodies fill the budget and evict like any other
// entries; otherwise they would grow the process without bound.
TEST_F(StageCache, LongKeysWithEmptyBodiesEvict) {
    const std::string prefix = "http://k/" + std::string(8000, 'k');
    const int perEntry = charge(prefix + "000", 0);
    for (int i = 0; i < 300; i++) {
        char suffix[8];
        snprintf(suffix, sizeof suffix, "%03d", i);
        ASSERT_TRUE(put(prefix + suffix, ""));
    }
    EXPECT_EQ(keys().size(), (size_t)(MAX_CACHE_SIZE / perEntry));
    EXPECT_GE(available, 0);
    EXPECT_LT(available, perEntry);
    EXPECT_EQ(keys().front(), prefix + "299");
}

TEST_F(StageCache, KeyMatchesWholeStringWithCase) {
    ASSERT_TRUE(put("http://a/x", "lower"));
    EXPECT_EQ(cacheGet("http://a/X"), nullptr);
    EXPECT_EQ(cacheGet("http://a/"), nullptr);
    EXPECT_EQ(cacheGet("http://a/xy"), nullptr);
    EXPECT_NE(cacheGet("http://a/x"), nullptr);
}

TEST_F(StageCache, PrintsSuccessfullyCachedPerInsert) {
    ::testing::internal::CaptureStdout();
    cacheInsert("http://a/1", "x", 1);
    cacheInsert("http://a/1", "y", 1);
    cacheInsert("http://a/0", "", 0);
    EXPECT_EQ(robix_test::captured_stdout(),
              "Successfully cached.\nSuccessfully cached.\nSuccessfully cached.\n");
}

TEST_F(StageCache, EvictionPicksSmallestStampFrontMostOnTies) {
    const struct {
        const char *name;
        time_t stamps[3];  // front to back: c, b, a
        std::vector<std::string> left;
        int freed;  // the charge of the one that goes
    } cases[] = {
        {"100 100 100: the front goes", {100, 100, 100}, {"http://b", "http://a"},
         charge("http://c", 3)},
        {"105 100 100: the middle goes", {105, 100, 100}, {"http://c", "http://a"},
         charge("http://b", 2)},
        {"100 105 101: the front goes", {100, 105, 101}, {"http://b", "http://a"},
         charge("http://c", 3)},
        {"105 104 100: the back goes", {105, 104, 100}, {"http://c", "http://b"},
         charge("http://a", 1)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        cacheClear();
        ASSERT_TRUE(put("http://a", "1"));
        ASSERT_TRUE(put("http://b", "22"));
        ASSERT_TRUE(put("http://c", "333"));
        for (size_t i = 0; i < 3; i++) stamp(i, c.stamps[i]);
        int before = available;
        evict();
        EXPECT_EQ(keys(), c.left);
        EXPECT_EQ(available, before + c.freed);
        EXPECT_EQ(cacheCheckInvariants(), nullptr);
    }
}

TEST_F(StageCache, EvictingOnlyEntryEmptiesList) {
    ASSERT_TRUE(put("http://only", "bytes"));
    evict();
    EXPECT_EQ(head, nullptr);
    EXPECT_EQ(available, MAX_CACHE_SIZE);
}

TEST_F(StageCache, EvictingFrontMovesHeadToNext) {
    ASSERT_TRUE(put("http://old", "o"));
    ASSERT_TRUE(put("http://new", "n"));
    cacheEntry *second = head->next;
    stamp(0, 7);
    stamp(1, 7);
    evict();
    EXPECT_EQ(head, second);
    EXPECT_EQ(keys(), std::vector<std::string>{"http://old"});
}

TEST_F(StageCache, DuplicateInsertsBothKeptLookupFindsFront) {
    ASSERT_TRUE(put("http://dup", "older"));
    ASSERT_TRUE(put("http://dup", "newer!"));
    EXPECT_EQ(keys(), (std::vector<std::string>{"http://dup", "http://dup"}));
    EXPECT_EQ(available, MAX_CACHE_SIZE - charge("http://dup", 5) - charge("http://dup", 6));
    cacheEntry *e = cacheGet("http://dup");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e, head);
    EXPECT_EQ(bytesOf(e), "newer!");
}

TEST_F(StageCache, LargestObjectIntoNearlyFullCacheEvictsSmallestStampsFirst) {
    // Twenty objects of 50000 bytes and a filler leave 100 bytes free; the
    // stamps make the order of eviction differ from the order of insertion.
    // The keys http://f/0 to http://f/19 take 10 or 11 bytes each.
    const int twenty = 20 * (50000 + 1 + ENTRY_RECORD_CHARGE) + 10 * 10 + 10 * 11;
    ASSERT_TRUE(put("http://f/filler", std::string(MAX_CACHE_SIZE - 100 - twenty -
                                                       charge("http://f/filler", 0),
                                                   'f')));
    for (int i = 0; i < 20; i++) {
        ASSERT_TRUE(put("http://f/" + std::to_string(i), std::string(50000, (char)('a' + i))));
    }
    ASSERT_EQ(available, 100);
    // Front to back: 19..0, then the filler, stamped newest of all.
    for (size_t i = 0; i < 20; i++) stamp(i, 1000 + (time_t)((i * 7) % 20));
    stamp(20, 5000);
    // Smallest stamps: positions 0, 3, 6, 9 (1000 to 1003), keys 19, 16, 13, 10.
    const std::string object(MAX_OBJECT_SIZE, 'z');
    ASSERT_TRUE(put("http://f/new", object));
    // Two evictions free 100100 bytes, not enough; the third suffices.
    std::vector<std::string> left = keys();
    ASSERT_EQ(left.size(), 19u);
    EXPECT_EQ(left[0], "http://f/new");
    for (const char *gone : {"http://f/19", "http://f/16", "http://f/13"}) {
        EXPECT_EQ(std::find(left.begin(), left.end(), gone), left.end()) << gone;
    }
    EXPECT_NE(std::find(left.begin(), left.end(), "http://f/10"), left.end());
    EXPECT_EQ(available, 100 + charge("http://f/19", 50000) + charge("http://f/16", 50000) +
                             charge("http://f/13", 50000) - charge("http://f/new", MAX_OBJECT_SIZE));
    EXPECT_EQ(bytesOf(head), object);
}

TEST_F(StageCache, HitRefreshesStampSoEntryOutlivesEarlierOnes) {
    ASSERT_TRUE(put("http://first", "1"));
    ASSERT_TRUE(put("http://second", "2"));
    stamp(0, 50);  // second
    stamp(1, 40);  // first: the older use
    time_t before = time(nullptr);
    cacheEntry *hit = cacheGet("http://first");
    ASSERT_NE(hit, nullptr);
    EXPECT_GE(hit->time.load(), before);
    evict();
    EXPECT_EQ(keys(), std::vector<std::string>{"http://first"});
}

TEST_F(StageCache, HeldEntryStaysReadableAfterEviction) {
    ASSERT_TRUE(put("http://held", "still here"));
    cacheEntry *e = cacheGet("http://held");
    cacheHold(e);
    evict();
    EXPECT_EQ(head, nullptr);
    EXPECT_EQ(available, MAX_CACHE_SIZE);
    EXPECT_EQ(bytesOf(e), "still here");  // freed memory would fail under ASan
    EXPECT_STREQ(e->url, "http://held");
    cacheRelease(e);
}

TEST_F(StageCache, OversizedOrNegativeLengthRefusedUnchanged) {
    ASSERT_TRUE(put("http://keep", "k"));
    EXPECT_EQ(cacheInsert("http://neg", "x", -1), 0);
    // Over the budget once the key and the record are charged.
    std::string huge((size_t)(MAX_CACHE_SIZE - charge("http://huge", 0) + 1), 'h');
    EXPECT_EQ(cacheInsert("http://huge", huge.data(), (int)huge.size()), 0);
    EXPECT_EQ(keys(), std::vector<std::string>{"http://keep"});
    EXPECT_EQ(available, MAX_CACHE_SIZE - charge("http://keep", 1));
}

TEST_F(StageCache, FreeEntryIgnoresNull) {
    freeEntry(nullptr);
    EXPECT_EQ(head, nullptr);
}

// Lookups (with held references, read after the hold is released) and
// inserts under eviction pressure from many threads, as the request threads
// make them. Each object's bytes are derived from its key, so a reader can
// tell a freed or mixed object from the right one. Meant for ThreadSanitizer.
TEST_F(StageCache, ManyThreadsLookUpAndInsertUnderLock) {
    const int threads = 8, rounds = 400, urls = 40;
    auto objectFor = [](int u) { return std::string(30000 + 97 * u, (char)('A' + u % 26)); };
    std::atomic<int> wrong{0}, hits{0};
    std::vector<std::thread> pool;
    ::testing::internal::CaptureStdout();
    for (int t = 0; t < threads; t++) {
        pool.emplace_back([&, t] {
            for (int r = 0; r < rounds; r++) {
                int u = (t * 7 + r * 13) % urls;
                std::string url = "http://m/" + std::to_string(u);
                pthread_rwlock_rdlock(&rwlock);
                cacheEntry *e = cacheGet(url.c_str());
                if (e != nullptr) cacheHold(e);
                pthread_rwlock_unlock(&rwlock);
                if (e != nullptr) {
                    hits++;
                    if (bytesOf(e) != objectFor(u) || url != e->url) wrong++;
                    cacheRelease(e);
                    continue;
                }
                std::string object = objectFor(u);
                pthread_rwlock_wrlock(&rwlock);
                cacheInsert(url.c_str(), object.data(), (int)object.size());
                pthread_rwlock_unlock(&rwlock);
            }
        });
    }
    for (std::thread &th : pool) th.join();
    robix_test::captured_stdout();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(hits.load(), 0);
    EXPECT_EQ(cacheCheckInvariants(), nullptr);
    long used = 0;
    for (cacheEntry *e = head; e != nullptr; e = e->next) used += e->size;
    EXPECT_LE(used, MAX_CACHE_SIZE);
}

// A waiting insertion goes before lookups that come after it, so a steady
// stream of lookups cannot hold it off for ever.
TEST_F(StageCache, WaitingInsertionGoesBeforeLaterLookups) {
    ::testing::internal::CaptureStdout();
    robix_test::writer_first_t r = robix_test::insertion_behind_reader(
        &rwlock,
        [] {
            pthread_rwlock_wrlock(&rwlock);
            cacheInsert("http://new", "n", 1);
            pthread_rwlock_unlock(&rwlock);
        },
        [] {
            pthread_rwlock_rdlock(&rwlock);
            bool found = cacheGet("http://new") != nullptr;
            pthread_rwlock_unlock(&rwlock);
            return found;
        });
    robix_test::captured_stdout();
    EXPECT_TRUE(r.queued) << "lookups still got the read side while an insertion waited";
    EXPECT_TRUE(r.answered);
    EXPECT_TRUE(r.found) << "a lookup that came after the waiting insertion missed it";
}

}  // namespace
