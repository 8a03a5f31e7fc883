// stampproxy's list cache in-process: lookups, duplicate refusal, the exact
// budget boundary, eviction order by millisecond stamp (set by hand where the
// order matters), the exact trace lines, and parallel lookups with insertions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "cache.h"
#include "robix_test_support.h"

namespace {

using robix_test::captured_stdout;

class StampCache : public ::testing::Test {
   protected:
    void SetUp() override {
        if (proxy_cache == nullptr) init_cache();
        cache_clear();
    }
    void TearDown() override {
        EXPECT_EQ(cache_check_invariants(), nullptr);
        cache_clear();
    }
};

char *heap_copy(const std::string &s) {
    char *p = (char *)malloc(s.size() + 1);
    memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    return p;
}

// Offers `bytes` under `key` as the relay does: a key copy and a buffer of
// `block` bytes (the relay's 102400) holding the object at its start.
void insert(const std::string &key, const std::string &bytes, size_t block = 0) {
    char *k = heap_copy(key);
    char *o = (char *)malloc(block > bytes.size() ? block : bytes.size() + 1);
    memcpy(o, bytes.data(), bytes.size());
    add_to_cache(&k, &o, (ssize_t)bytes.size());
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(o, nullptr);
}

// Tests run on one thread here, so the list may be walked without the lock.
cache_entry *find(const std::string &key) {
    for (cache_entry *e = proxy_cache->dummy_head->next; e != proxy_cache->dummy_tail;
         e = e->next) {
        if (key == e->browser_get) return e;
    }
    return nullptr;
}

std::vector<std::string> keys() {
    std::vector<std::string> out;
    for (cache_entry *e = proxy_cache->dummy_head->next; e != proxy_cache->dummy_tail;
         e = e->next) {
        out.push_back(e->browser_get);
    }
    return out;
}

void set_stamp(const std::string &key, long long stamp) {
    cache_entry *e = find(key);
    ASSERT_NE(e, nullptr) << key;
    e->last_access.store(stamp);
}

// The object a hit hands out, or "<miss>".
std::string lookup(const std::string &key) {
    char *copy = nullptr;
    ssize_t n = check_cache(key.c_str(), &copy);
    if (n == 0) {
        EXPECT_EQ(copy, nullptr);
        return "<miss>";
    }
    std::string got(copy, (size_t)n);
    free(copy);
    return got;
}

// A request line, as the cache's key; pad makes it as long as a test needs.
std::string line(int i, const std::string &pad = "") {
    return "GET http://origin/" + pad + std::to_string(i) + " HTTP/1.0\r\n";
}

// Inserts `bytes` under line(i) and stamps the entry by hand.
void insert_stamped(int i, const std::string &bytes, long long stamp) {
    insert(line(i), bytes);
    set_stamp(line(i), stamp);
}

std::string stamp_text(long long stamp) {
    struct timeb t = stamp_timeb(stamp);
    return std::to_string((long long)t.time) + "." + std::to_string(t.millitm);
}

TEST_F(StampCache, EmptyCacheMissesAndPrintsNothing) {
    testing::internal::CaptureStdout();
    char marker = 0;
    char *untouched = &marker;
    EXPECT_EQ(check_cache(line(1).c_str(), &untouched), 0);
    EXPECT_EQ(check_cache("", &untouched), 0);
    EXPECT_EQ(untouched, &marker);
    EXPECT_EQ(captured_stdout(), "");
}

TEST_F(StampCache, KeysDifferingInVersionCaseOrLineEndAreDistinct) {
    const std::string stored = "GET http://origin/a HTTP/1.0\r\n";
    insert(stored, "stored bytes");
    const struct {
        const char *name;
        std::string key;
    } others[] = {
        {"version", "GET http://origin/a HTTP/1.1\r\n"},
        {"method case", "get http://origin/a HTTP/1.0\r\n"},
        {"host case", "GET http://ORIGIN/a HTTP/1.0\r\n"},
        {"bare newline", "GET http://origin/a HTTP/1.0\n"},
        {"no line end", "GET http://origin/a HTTP/1.0"},
        {"longer", "GET http://origin/a HTTP/1.0\r\n\r\n"},
    };
    for (const auto &o : others) {
        SCOPED_TRACE(o.name);
        EXPECT_EQ(lookup(o.key), "<miss>");
    }
    EXPECT_EQ(lookup(stored), "stored bytes");
    EXPECT_EQ(proxy_cache->item_count, 1);
}

TEST_F(StampCache, HitHandsOutPrivateCopyAndRenewsStamp) {
    const std::string body("a\0b\0c", 5);  // objects may hold NUL bytes
    insert(line(1), body);
    set_stamp(line(1), 1000);
    long long before = stamp_now();
    char *copy = nullptr;
    ASSERT_EQ(check_cache(line(1).c_str(), &copy), 5);
    long long after = stamp_now();
    ASSERT_NE(copy, find(line(1))->object);
    EXPECT_EQ(std::string(copy, 5), body);
    copy[0] = 'X';
    free(copy);
    EXPECT_EQ(std::string(find(line(1))->object, 5), body);
    long long renewed = find(line(1))->last_access.load();
    EXPECT_GE(renewed, before);
    EXPECT_LE(renewed, after);
}

// What an entry under `key` with an object of n bytes costs the budget.
ssize_t charge(const std::string &key, size_t n) {
    return (ssize_t)(n + key.size() + 1) + ENTRY_RECORD_CHARGE;
}

TEST_F(StampCache, BudgetExactlyFullEvictsNothingOneByteMoreEvicts) {
    ssize_t charged = 0;
    for (int i = 0; i < 10; i++) {
        insert_stamped(i, std::string(102400, (char)('a' + i)), 1000 + i);
        charged += charge(line(i), 102400);
    }
    // The last object fills the budget exactly, its key and record included.
    const size_t last = (size_t)(MAX_CACHE_SIZE - charged - charge(line(10), 0));
    insert(line(10), std::string(last, 'k'));
    set_stamp(line(10), 2000);
    EXPECT_EQ(proxy_cache->charged, MAX_CACHE_SIZE);
    EXPECT_EQ(proxy_cache->size, (ssize_t)(10 * 102400 + last)) << "size counts objects only";
    EXPECT_EQ(proxy_cache->item_count, 11);

    insert(line(11), "z");
    EXPECT_EQ(find(line(0)), nullptr) << "the earliest stamp goes first";
    EXPECT_EQ(proxy_cache->item_count, 11);
    EXPECT_EQ(proxy_cache->charged, MAX_CACHE_SIZE - charge(line(0), 102400) + charge(line(11), 1));
    for (int i = 1; i <= 11; i++) EXPECT_NE(find(line(i)), nullptr) << i;
}

// Keys count: tiny objects under long keys fill the budget long before their
// object bytes would, and the eviction trace still prints object sizes.
TEST_F(StampCache, LongKeysAreChargedToTheBudget) {
    const std::string pad(1000, 'q');
    const ssize_t each = charge(line(100, pad), 1);
    const int fit = (int)(MAX_CACHE_SIZE / each);
    testing::internal::CaptureStdout();
    for (int i = 100; i < 100 + fit + 5; i++) insert(line(i, pad), "b");
    std::string out = captured_stdout();
    EXPECT_EQ(proxy_cache->item_count, fit);
    EXPECT_LE(proxy_cache->charged, MAX_CACHE_SIZE);
    EXPECT_EQ(proxy_cache->size, fit);
    EXPECT_EQ(harness::occurrences(out, "Cache too big"), 5);
    EXPECT_NE(out.find("\t" + line(100, pad) + " oldest 1"), std::string::npos);
}

TEST_F(StampCache, DuplicateInsertRenewsStampKeepsFirstObject) {
    insert(line(1), "first");
    insert(line(2), "other");
    set_stamp(line(1), 1000);
    ssize_t size = proxy_cache->size;
    long long before = stamp_now();
    insert(line(1), "second, longer");
    EXPECT_EQ(proxy_cache->size, size);
    EXPECT_EQ(proxy_cache->item_count, 2);
    EXPECT_EQ(keys(), (std::vector<std::string>{line(2), line(1)})) << "nothing moves";
    EXPECT_EQ(lookup(line(1)), "first");
    set_stamp(line(1), 1000);
    insert(line(1), "third");
    EXPECT_GE(find(line(1))->last_access.load(), before);
}

TEST_F(StampCache, HitAfterInsertOutlivesNewerUnhitEntry) {
    for (int i = 0; i < 10; i++) insert_stamped(i, std::string(102400, 'x'), 3000 + i);
    set_stamp(line(0), 1000);  // inserted first
    set_stamp(line(1), 2000);  // inserted after it, never hit
    EXPECT_EQ(lookup(line(0)).size(), 102400u);
    insert(line(10), std::string(102400, 'y'));
    EXPECT_NE(find(line(0)), nullptr);
    EXPECT_EQ(find(line(1)), nullptr);
    EXPECT_EQ(proxy_cache->item_count, 10);
}

TEST_F(StampCache, EqualStampsEvictEntryNearestHead) {
    for (int i = 1; i <= 3; i++) insert_stamped(i, std::string(300000, 'e'), 5000);
    insert(line(4), std::string(300000, 'n'));
    EXPECT_EQ(keys(), (std::vector<std::string>{line(4), line(2), line(1)}));
}

TEST_F(StampCache, LargeInsertEvictsSeveralEachWithItsOwnPass) {
    // Stamps out of list order.
    for (int i = 0; i < 10; i++) insert_stamped(i, std::string(100000, 'x'), 1000 + (i * 7) % 10);
    testing::internal::CaptureStdout();
    insert(line(99), std::string(300000, 'y'));
    std::string out = captured_stdout();
    // Stamps 1000, 1001, 1002 belong to entries 0, 3 and 6.
    std::vector<std::string> expect = {line(99), line(9), line(8), line(7),
                                       line(5),  line(4), line(2), line(1)};
    EXPECT_EQ(keys(), expect);
    EXPECT_EQ(harness::occurrences(out, "Cache too big"), 3);
    EXPECT_EQ(proxy_cache->size, 700000 + 300000);
}

// The keys are the browsers' request lines: one with terminal controls is
// shown escaped, its line end as it is; one without is shown unchanged.
TEST_F(StampCache, InsertionAndEvictionTraceLinesAreExact) {
    const std::string a = "GET http://origin/a HTTP/1.0\r\n",
                      b = "GET http://origin/b\x1b[2J\x07\x7f HTTP/1.1\r\n",
                      b_shown = "GET http://origin/b\\x1b[2J\\x07\\x7f HTTP/1.1\r\n";
    insert(a, std::string(600000, 'a'));
    insert(b, std::string(400000, 'b'));
    set_stamp(a, 1700000000005LL);  // 5 ms past the second: printed as ".5"
    set_stamp(b, 1700000000100LL);
    testing::internal::CaptureStdout();
    long long before = stamp_now();
    insert(line(3), std::string(100000, 'c'));
    long long after = stamp_now();
    std::string out = captured_stdout();
    long long stamp = find(line(3))->last_access.load();
    ASSERT_GE(stamp, before);
    ASSERT_LE(stamp, after);
    EXPECT_EQ(out, "Adding new entry !SIZE 100000 TIME " + stamp_text(stamp) +
                       "Cache too big"
                       "\t" +
                       b_shown +
                       " oldest 400000"
                       "1700000000.100 time"
                       "\t" +
                       a +
                       " oldest 600000"
                       "1700000000.5 time"
                       "\tOLDER");
    EXPECT_EQ(keys(), (std::vector<std::string>{line(3), b}));
}

TEST_F(StampCache, HitTraceLinesAreExact) {
    insert(line(1), "hello");
    testing::internal::CaptureStdout();
    EXPECT_EQ(lookup(line(1)), "hello");
    std::string out = captured_stdout();
    EXPECT_EQ(out, "\tHIT!\tSize 5 Time " + stamp_text(find(line(1))->last_access.load()));
}

// A pass over many tiny entries traces more than one chunk of the held trace;
// what reaches the console is still every visit, whole and in list order.
TEST_F(StampCache, LongEvictionTraceIsPrintedWhole) {
    const int tiny = 6000;  // about 370 KB of trace in one pass
    testing::internal::CaptureStdout();  // the filling's own lines
    ssize_t small = 0;
    for (int i = 0; i < tiny; i++) small += charge(line(i), 1);
    const size_t big = (size_t)(MAX_CACHE_SIZE - small - charge(line(-1), 0));
    insert(line(-1), std::string(big, 'b'));
    for (int i = 0; i < tiny; i++) insert(line(i), "t");
    ASSERT_EQ(proxy_cache->charged, MAX_CACHE_SIZE);
    captured_stdout();
    set_stamp(line(-1), 1000);  // the victim: the oldest entry, at the tail
    for (int i = 0; i < tiny; i++) set_stamp(line(i), 2000);
    testing::internal::CaptureStdout();
    insert(line(tiny), "n");
    std::string out = captured_stdout();
    std::string expect;
    for (int i = tiny - 1; i >= 0; i--) {
        expect += "\t" + line(i) + " oldest 1" + stamp_text(2000) + " time";
    }
    expect += "\t" + line(-1) + " oldest " + std::to_string(big) +
              stamp_text(1000) + " time\tOLDER";
    size_t at = out.find("Cache too big");
    ASSERT_NE(at, std::string::npos);
    EXPECT_GT(expect.size(), 256u * 1024u);
    EXPECT_TRUE(out.compare(at + strlen("Cache too big"), std::string::npos, expect) == 0)
        << "the trace differs from the visits (" << out.size() << " bytes printed)";
    EXPECT_EQ(find(line(-1)), nullptr);
    EXPECT_EQ(proxy_cache->item_count, tiny + 1);
}

// The trace of an insertion is written after the lock is released: with
// standard output on a pipe that nobody drains, the inserting thread waits
// for the console, and a hit on another key is answered meanwhile. Once the
// pipe is drained, the trace is there whole: one visit per entry per pass.
TEST_F(StampCache, HitIsAnsweredWhileTheTraceWaitsForTheConsole) {
    const std::string pad(1000, 'k');
    testing::internal::CaptureStdout();  // the filling's own lines
    insert(line(1), "hot");
    for (int i = 0; i < 100; i++) insert(line(i, pad), std::string(9000, 'f'));
    captured_stdout();
    set_stamp(line(1), stamp_now() + 3600 * 1000);  // never the oldest
    const int entries = proxy_cache->item_count;
    const std::string big = "GET http://origin/big HTTP/1.0\r\n";

    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096);  // full after a page of trace
    fflush(stdout);
    const int saved = dup(fileno(stdout));
    ASSERT_GE(saved, 0);
    dup2(pipe_fds[1], fileno(stdout));
    // No assertion may print while stdout is the undrained pipe.
    std::thread inserter([&] { insert(big, std::string(102400, 'B')); });
    // Bounded wait until half the pipe is full: the trace is being written,
    // and its writer (whose next piece does not fit) waits for the console.
    const int capacity = fcntl(pipe_fds[0], F_GETPIPE_SZ);
    bool full = false;
    for (int i = 0; i < 10000 && !full; i++) {
        int queued = 0;
        full = ioctl(pipe_fds[0], FIONREAD, &queued) == 0 && queued >= capacity / 2;
        if (!full) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    auto hit = std::async(std::launch::async, [] { return lookup(line(1)); });
    const bool answered = hit.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    // Drain: the trace, then (once the writers are done) everything else.
    std::string drained;
    std::thread drain([&] { drained = robix_test::read_to_end(pipe_fds[0]); });
    inserter.join();
    const std::string got = hit.get();
    fflush(stdout);
    dup2(saved, fileno(stdout));
    close(saved);
    close(pipe_fds[1]);
    drain.join();
    close(pipe_fds[0]);

    ASSERT_TRUE(full);
    EXPECT_NE(find(big), nullptr);
    EXPECT_TRUE(answered) << "the hit waited for the console";
    EXPECT_EQ(got, "hot");
    const int passes = entries + 1 - proxy_cache->item_count;
    ASSERT_GT(passes, 1);
    int visits = 0;
    for (int k = 0; k < passes; k++) visits += entries - k;
    size_t at = drained.find("Cache too big");
    ASSERT_NE(at, std::string::npos);
    const std::string trace = drained.substr(at, drained.find("\tHIT!") - at);
    EXPECT_EQ(harness::occurrences(trace, "Cache too big"), passes);
    EXPECT_EQ(harness::occurrences(trace, " time"), visits);
    EXPECT_GT(trace.size(), 100000u) << "the trace did not outgrow the pipe";
}

TEST_F(StampCache, CachedObjectIsTheBlockHandedOver) {
    // The relay hands over a block of the object's own size; the cache keeps
    // that very block rather than a copy.
    char *k = heap_copy(line(1));
    char *o = (char *)malloc(100);
    memset(o, 'o', 100);
    char *handed = o;
    add_to_cache(&k, &o, 100);
    ASSERT_NE(find(line(1)), nullptr);
    EXPECT_EQ(find(line(1))->object, handed);
    EXPECT_EQ(std::string(find(line(1))->object, 100), std::string(100, 'o'));
}

TEST_F(StampCache, EmptyOrOverBudgetObjectIsReleasedUncached) {
    insert(line(1), "");
    insert(line(2), std::string(MAX_CACHE_SIZE + 1, 'b'));
    EXPECT_EQ(proxy_cache->item_count, 0);
    EXPECT_EQ(proxy_cache->size, 0);
}

TEST(StampClock, StampsAreWallClockMilliseconds) {
    struct timeb t = stamp_timeb(1700000000999LL);
    EXPECT_EQ(t.time, 1700000000);
    EXPECT_EQ(t.millitm, 999);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    long long now = stamp_now();
    EXPECT_GE(now, (long long)ts.tv_sec * 1000);
    EXPECT_LT(now, ((long long)ts.tv_sec + 5) * 1000);
}

// ---------------------------------------------------------------- threads

std::string object_for(int key, size_t size) { return std::string(size, (char)('A' + key % 26)); }

TEST_F(StampCache, ParallelLookupsAndInsertionsKeepInvariants) {
    testing::internal::CaptureStdout();  // eviction traces are long
    std::atomic<bool> wrong{false};
    std::atomic<int> hits{0};
    std::atomic<bool> writers_done{false};
    // Readers run for as long as the writers do, then 40 more rounds, which
    // visit every key once, so some lookups surely hit.
    auto reader = [&](int seed) {
        int after = 0;
        for (int round = 0; after < 40 && round < 1000000; round++) {
            if (writers_done) after++;
            int k = (round * 7 + seed) % 40;
            char *copy = nullptr;
            ssize_t n = check_cache(line(k).c_str(), &copy);
            if (n > 0) {
                hits++;
                if (std::string(copy, (size_t)n) != object_for(k, (size_t)n)) wrong = true;
                free(copy);
            }
        }
    };
    auto writer = [&](int seed) {
        for (int round = 0; round < 60; round++) {
            int k = (round * 3 + seed) % 40;  // repeats make duplicate offers
            size_t size = 20000 + (size_t)((k * 7919) % 80000);
            insert(line(k), object_for(k, size), 102400);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; i++) threads.emplace_back(writer, i);
    for (int i = 0; i < 4; i++) threads.emplace_back(reader, i);
    threads[0].join();
    threads[1].join();
    writers_done = true;
    for (size_t i = 2; i < threads.size(); i++) threads[i].join();
    captured_stdout();
    EXPECT_GT(hits.load(), 0);
    EXPECT_FALSE(wrong.load()) << "a hit handed out bytes of another key or a torn copy";
    EXPECT_GT(proxy_cache->item_count, 0);
    EXPECT_LE(proxy_cache->size, MAX_CACHE_SIZE);
}

TEST_F(StampCache, ConcurrentRenewalsNeverTearStamps) {
    insert(line(1), "shared");
    testing::internal::CaptureStdout();
    long long first = find(line(1))->last_access.load();
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++) {
        threads.emplace_back([] {
            for (int round = 0; round < 2000; round++) lookup(line(1));
        });
    }
    // Stamps read while the renewals run must each be a time that the
    // insertion or some renewal wrote: never earlier, never in the future.
    bool in_range = true;
    for (int round = 0; round < 2000; round++) {
        pthread_rwlock_rdlock(&rw_cache_lock);
        long long s = find(line(1))->last_access.load();
        pthread_rwlock_unlock(&rw_cache_lock);
        long long now = stamp_now();
        if (s < first || s > now) in_range = false;
    }
    for (std::thread &t : threads) t.join();
    captured_stdout();
    EXPECT_TRUE(in_range);
    EXPECT_GE(find(line(1))->last_access.load(), first);
}

TEST_F(StampCache, LookupsShareTheLockAndInsertionWaitsForThem) {
    insert(line(1), "present");
    testing::internal::CaptureStdout();
    pthread_rwlock_rdlock(&rw_cache_lock);  // a lookup in progress
    // Another lookup runs while the first still holds the shared side.
    auto other = std::async(std::launch::async, [] { return lookup(line(1)); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(other.get(), "present");
    std::atomic<bool> inserted{false};
    std::thread inserter([&] {
        insert(line(2), "new");
        inserted = true;
    });
    // The insertion cannot finish while the lookup holds the lock; a short
    // wait for it to finish anyway can only pass by mistake, never fail by one.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(inserted.load()) << "the insertion ran beside a lookup";
    pthread_rwlock_unlock(&rw_cache_lock);
    inserter.join();
    captured_stdout();
    EXPECT_TRUE(inserted.load());
    EXPECT_NE(find(line(2)), nullptr);
}

// A waiting insertion goes before lookups that come after it, so a steady
// stream of lookups cannot hold it off for ever.
TEST_F(StampCache, WaitingInsertionGoesBeforeLaterLookups) {
    insert(line(1), "present");
    testing::internal::CaptureStdout();
    robix_test::writer_first_t r = robix_test::insertion_behind_reader(
        &rw_cache_lock, [] { insert(line(2), "new"); }, [] { return lookup(line(2)) == "new"; });
    captured_stdout();
    EXPECT_TRUE(r.queued) << "lookups still got the shared side while an insertion waited";
    EXPECT_TRUE(r.answered);
    EXPECT_TRUE(r.found) << "a lookup that came after the waiting insertion missed it";
}

}  // namespace
