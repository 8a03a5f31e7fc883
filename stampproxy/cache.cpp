// stampproxy's list cache: the globals proxy_cache and rw_cache_lock, the
// lookup (shared side), the insertion with its least-recently-stamped
// eviction (exclusive side), and their trace lines on standard output. Runs on
// every connection thread; init_cache runs once on the main thread.
#include "cache.h"

#include <assert.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <charconv>
#include <new>
#include <string>
#include <vector>

cache *proxy_cache = nullptr;
pthread_rwlock_t rw_cache_lock;

// The list record and its sentinels live for the whole process: kept in
// static storage, they need no allocation that could fail at start-up.
static cache the_cache;
static cache_entry head_sentinel, tail_sentinel;

// A typical entry's share of a victim scan's trace: its key (a request line)
// and the size and stamp after it.
static const size_t TRACE_BYTES_PER_ENTRY = 128;
// The eviction trace is kept back while the lock is held and written after
// it, so that a slow console does not hold up the cache. It is kept in
// chunks of TRACE_CHUNK bytes (one large string would be copied whole each
// time it grew); only beyond TRACE_HELD_MAX, which takes a cache of some
// hundred thousand tiny entries, is it written out under the lock, so that
// its memory stays bounded.
static const size_t TRACE_CHUNK = 256 * 1024;
static const size_t TRACE_HELD_MAX = 16 * 1024 * 1024;

// The trace of one insertion: finished chunks, then the one being filled.
// When memory for holding it runs short, what is held is written out and the
// rest goes straight to stdout as it comes (`direct`), under the lock: a
// trace is never a reason to fail an insertion.
struct eviction_trace {
    std::vector<std::string> chunks;
    std::string current;
    size_t held = 0;  // bytes in chunks
    bool direct = false;
};

// Writes out and forgets everything held, as one run on stdout.
static void trace_write(eviction_trace &trace) {
    flockfile(stdout);
    for (const std::string &chunk : trace.chunks) fwrite(chunk.data(), 1, chunk.size(), stdout);
    fwrite(trace.current.data(), 1, trace.current.size(), stdout);
    funlockfile(stdout);
    trace.chunks.clear();
    trace.current.clear();
    trace.held = 0;
}

// Appends n bytes to the trace. A string that cannot grow is left as it was
// (std::string's strong guarantee), so on bad_alloc the bytes held are still
// whole and in order: they are written, then these.
static void trace_add(eviction_trace &trace, const char *bytes, size_t n) {
    if (!trace.direct) {
        try {
            if (trace.current.size() + n > TRACE_CHUNK && !trace.current.empty()) {
                trace.chunks.emplace_back();
                trace.chunks.back().swap(trace.current);
                trace.held += trace.chunks.back().size();
                if (trace.held >= TRACE_HELD_MAX) trace_write(trace);
                trace.current.reserve(TRACE_CHUNK + TRACE_BYTES_PER_ENTRY);
            }
            trace.current.append(bytes, n);
            return;
        } catch (const std::bad_alloc &) {
            trace_write(trace);
            trace.direct = true;
        }
    }
    fwrite(bytes, 1, n, stdout);
}

static void trace_text(eviction_trace &trace, const char *text) {
    trace_add(trace, text, strlen(text));
}

long long stamp_now(void) {
    struct timespec ts;
    // CLOCK_REALTIME is always available; clock_gettime cannot fail with it.
    clock_gettime(CLOCK_REALTIME, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

struct timeb stamp_timeb(long long stamp) {
    struct timeb t;
    t.time = (time_t)(stamp / 1000);
    t.millitm = (unsigned short)(stamp % 1000);
    t.timezone = 0;
    t.dstflag = 0;
    return t;
}

void init_cache(void) {
    proxy_cache = &the_cache;
    proxy_cache->dummy_head = &head_sentinel;
    proxy_cache->dummy_tail = &tail_sentinel;
    proxy_cache->dummy_head->next = proxy_cache->dummy_tail;
    proxy_cache->dummy_tail->next = nullptr;
    proxy_cache->size = 0;
    proxy_cache->charged = 0;
    proxy_cache->item_count = 0;
    // Writers first: every request takes the shared side for its lookup, so
    // under steady load the shared side is almost never free, and with the
    // default preference for readers an insertion could wait indefinitely
    // while finished connection threads pile up behind it.
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&rw_cache_lock, &attr);
    pthread_rwlockattr_destroy(&attr);
}

ssize_t check_cache(const char *browser_request, char **object_pointer) {
    ssize_t found = 0;
    long long renewed = 0;
    pthread_rwlock_rdlock(&rw_cache_lock);
    for (cache_entry *e = proxy_cache->dummy_head->next; e != proxy_cache->dummy_tail;
         e = e->next) {
        if (strcmp(e->browser_get, browser_request) != 0) continue;
        // The copy is made under the lock so that no eviction can release
        // the object meanwhile; it is sent after the lock is released.
        char *copy = (char *)malloc((size_t)e->object_size);
        if (copy != nullptr) {
            renewed = stamp_now();
            e->last_access.store(renewed, std::memory_order_relaxed);
            memcpy(copy, e->object, (size_t)e->object_size);
            *object_pointer = copy;
            found = e->object_size;
        }
        break;
    }
    pthread_rwlock_unlock(&rw_cache_lock);
    if (found > 0) {
        // Printed after the lock is released (a slow console must not hold
        // up an insertion), both lines in one call.
        struct timeb t = stamp_timeb(renewed);
        printf("\tHIT!\tSize %zd Time %zd.%d", found, (ssize_t)t.time, (int)t.millitm);
    }
    return found;
}

int is_in_cache(const char *browser_request) {
    for (cache_entry *e = proxy_cache->dummy_head->next; e != proxy_cache->dummy_tail;
         e = e->next) {
        if (strcmp(e->browser_get, browser_request) == 0) {
            e->last_access.store(stamp_now(), std::memory_order_relaxed);
            return 1;
        }
    }
    return 0;
}

// Writes v in decimal at out (room for 20 digits and a sign), as "%zd" or
// "%d" would print it; the number of characters.
static size_t put_decimal(char *out, long long v) {
    return (size_t)(std::to_chars(out, out + 21, v).ptr - out);
}

// Appends the trace of one entry visited by the victim scan: "\t%s oldest
// %zd" then "%zd.%d time". It runs for every entry of every pass with the
// lock held exclusively, so it formats by hand rather than through printf.
static void trace_visit(eviction_trace &trace, const cache_entry *e, long long stamp) {
    struct timeb t = stamp_timeb(stamp);
    trace_add(trace, "\t", 1);
    trace_text(trace, e->browser_get);
    char tail[96] = " oldest ";
    size_t n = 8;
    n += put_decimal(tail + n, e->object_size);
    n += put_decimal(tail + n, (long long)t.time);
    tail[n++] = '.';
    n += put_decimal(tail + n, t.millitm);
    memcpy(tail + n, " time", 5);
    n += 5;
    trace_add(trace, tail, n);
}

// What an entry costs the budget: its object, its key with terminator, and
// ENTRY_RECORD_CHARGE for the record and the allocator's share.
static ssize_t entry_charge(ssize_t object_size, const char *key) {
    return object_size + (ssize_t)strlen(key) + 1 + ENTRY_RECORD_CHARGE;
}

// One eviction pass: finds the entry with the earliest stamp (the one nearest
// the head among equal stamps), unlinks and releases it. The caller holds
// rw_cache_lock exclusively and has checked that the list is not empty.
static void evict_oldest_locked(eviction_trace &trace) {
    cache_entry *oldest = proxy_cache->dummy_head->next;
    cache_entry *oldest_prev = proxy_cache->dummy_head;
    long long oldest_stamp = oldest->last_access.load(std::memory_order_relaxed);
    cache_entry *current_prev = proxy_cache->dummy_head;
    for (cache_entry *current = oldest; current != proxy_cache->dummy_tail;
         current_prev = current, current = current->next) {
        long long stamp = current->last_access.load(std::memory_order_relaxed);
        trace_visit(trace, current, stamp);
        // Strictly earlier only: equal stamps keep the entry nearer the head.
        if (stamp < oldest_stamp) {
            trace_add(trace, "\tOLDER", 6);
            oldest = current;
            oldest_prev = current_prev;
            oldest_stamp = stamp;
        }
    }
    oldest_prev->next = oldest->next;
    proxy_cache->size -= oldest->object_size;
    proxy_cache->charged -= entry_charge(oldest->object_size, oldest->browser_get);
    proxy_cache->item_count--;
    free(oldest->object);
    free(oldest->browser_get);
    delete oldest;
}

void add_to_cache(char **browser_get, char **object, ssize_t size_temp) {
    char *key = *browser_get;
    char *bytes = *object;
    *browser_get = nullptr;
    *object = nullptr;
    cache_entry *entry = nullptr;
    ssize_t charge = size_temp > 0 ? entry_charge(size_temp, key) : 0;
    if (size_temp > 0 && charge <= MAX_CACHE_SIZE) {
        entry = new (std::nothrow) cache_entry;
    }
    if (entry == nullptr) {
        free(key);
        free(bytes);
        return;
    }
    long long stamp = stamp_now();
    entry->last_access.store(stamp, std::memory_order_relaxed);
    entry->object_size = size_temp;
    entry->object = bytes;
    entry->browser_get = key;

    struct timeb t = stamp_timeb(stamp);
    // Both trace lines in one call, so that concurrent insertions cannot split them.
    printf("Adding new entry !SIZE %zd TIME %zd.%d", size_temp, (ssize_t)t.time, (int)t.millitm);

    // The eviction trace is collected under the lock and printed after it
    // (save for a trace too large to hold; see TRACE_HELD_MAX, and when
    // memory runs short; see trace_add).
    eviction_trace trace;
    bool duplicate;
    pthread_rwlock_wrlock(&rw_cache_lock);
    duplicate = is_in_cache(key) != 0;
    if (!duplicate) {
        // Room for one pass's trace at once, rather than growing it line by
        // line; without it the trace grows as it can.
        if (proxy_cache->charged + charge > MAX_CACHE_SIZE) {
            size_t want = (size_t)proxy_cache->item_count * TRACE_BYTES_PER_ENTRY;
            try {
                trace.current.reserve(want < TRACE_CHUNK ? want : TRACE_CHUNK + TRACE_BYTES_PER_ENTRY);
            } catch (const std::bad_alloc &) {
            }
        }
        while (proxy_cache->charged + charge > MAX_CACHE_SIZE && proxy_cache->item_count > 0) {
            trace_add(trace, "Cache too big", 13);
            evict_oldest_locked(trace);
        }
        assert(proxy_cache->charged + charge <= MAX_CACHE_SIZE);
        entry->next = proxy_cache->dummy_head->next;
        proxy_cache->dummy_head->next = entry;
        proxy_cache->item_count++;
        proxy_cache->size += entry->object_size;
        proxy_cache->charged += charge;
    }
    pthread_rwlock_unlock(&rw_cache_lock);

    if (!trace.chunks.empty() || !trace.current.empty()) trace_write(trace);
    if (duplicate) {
        free(entry->object);
        free(entry->browser_get);
        delete entry;
    }
}

const char *cache_check_invariants(void) {
    const char *broken = nullptr;
    pthread_rwlock_rdlock(&rw_cache_lock);
    ssize_t size = 0, charged = 0;
    int count = 0;
    const cache_entry *e = proxy_cache->dummy_head->next;
    for (; e != proxy_cache->dummy_tail && e != nullptr && broken == nullptr; e = e->next) {
        count++;
        size += e->object_size;
        if (e->browser_get != nullptr) charged += entry_charge(e->object_size, e->browser_get);
        if (e->object_size <= 0 || e->object == nullptr || e->browser_get == nullptr) {
            broken = "an entry without object or key";
        }
        for (const cache_entry *f = e->next;
             broken == nullptr && f != proxy_cache->dummy_tail && f != nullptr; f = f->next) {
            if (strcmp(e->browser_get, f->browser_get) == 0) broken = "two entries with one key";
        }
    }
    if (broken == nullptr) {
        if (e == nullptr) {
            broken = "the list does not reach dummy_tail";
        } else if (proxy_cache->dummy_tail->next != nullptr) {
            broken = "dummy_tail has a successor";
        } else if (count != proxy_cache->item_count) {
            broken = "item_count differs from the entries";
        } else if (size != proxy_cache->size) {
            broken = "size differs from the sum of object sizes";
        } else if (charged != proxy_cache->charged) {
            broken = "charged differs from the sum of entry charges";
        } else if (charged > MAX_CACHE_SIZE) {
            broken = "the entries' charges exceed the budget";
        }
    }
    pthread_rwlock_unlock(&rw_cache_lock);
    return broken;
}

void cache_clear(void) {
    pthread_rwlock_wrlock(&rw_cache_lock);
    cache_entry *e = proxy_cache->dummy_head->next;
    while (e != proxy_cache->dummy_tail) {
        cache_entry *next = e->next;
        free(e->object);
        free(e->browser_get);
        delete e;
        e = next;
    }
    proxy_cache->dummy_head->next = proxy_cache->dummy_tail;
    proxy_cache->size = 0;
    proxy_cache->charged = 0;
    proxy_cache->item_count = 0;
    pthread_rwlock_unlock(&rw_cache_lock);
}
