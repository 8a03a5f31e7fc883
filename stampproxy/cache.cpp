// stampproxy's list cache: the globals proxy_cache and rw_cache_lock, the
// lookup (shared side), the insertion with its least-recently-stamped
// eviction (exclusive side), and their trace lines on standard output. Runs on
// every connection thread; init_cache runs once on the main thread.
#include "cache.h"

#include <assert.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <new>
#include <string>
#include <vector>

#include "rwlock.h"

cache *proxy_cache = nullptr;
pthread_rwlock_t rw_cache_lock;

// The list record and its sentinels live for the whole process: kept in
// static storage, they need no allocation that could fail at start-up.
static cache the_cache;
static cache_entry head_sentinel, tail_sentinel;

// One entry as the first eviction pass of an insertion meets it.
struct trace_entry_t {
    size_t key_at;  // its key in eviction_record_t::keys
    size_t key_len;
    ssize_t object_size;
    long long stamp;
    bool evicted;  // taken out by an earlier pass (set while the trace is written)
};

// What the eviction passes of one insertion saw, recorded under the lock so
// that their trace can be written after it: the entries in list order with
// their keys, sizes and stamps, and how many passes ran. No stamp changes
// while the exclusive lock is held and a pass only takes out its victim, so
// replaying the passes over this record yields the very trace they would
// have printed. Its size is bounded by the budget, which charges keys.
struct eviction_record_t {
    std::string keys;
    std::vector<trace_entry_t> entries;
    int passes = 0;
};

// The trace goes out on standard output's descriptor through a buffer on
// the stack (it needs no memory of its own), in pieces of at most PIPE_BUF
// bytes unless one visit is longer, each ending between two visits: a pipe
// takes such a write whole, so another thread's line can only fall between
// visits.
struct trace_out_t {
    char buf[2 * PIPE_BUF];
    size_t len = 0;
    bool failed = false;  // a write failed: the rest is dropped, there is no one to tell
};

static void trace_flush(trace_out_t &out) {
    size_t done = 0;
    while (!out.failed && done < out.len) {
        ssize_t n = write(fileno(stdout), out.buf + done, out.len - done);
        if (n < 0 && errno == EINTR) continue;  // retry
        if (n <= 0) {
            out.failed = true;
            break;
        }
        done += (size_t)n;
    }
    out.len = 0;
}

static void trace_put(trace_out_t &out, const char *bytes, size_t n) {
    while (n > 0) {
        if (out.len == sizeof out.buf) trace_flush(out);
        size_t room = sizeof out.buf - out.len;
        size_t take = n < room ? n : room;
        memcpy(out.buf + out.len, bytes, take);
        out.len += take;
        bytes += take;
        n -= take;
    }
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
    (void)rwlock_init_writer_first(&rw_cache_lock);
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

// Where the line end that ends text[0, n) starts (n when it has none).
static size_t line_end_at(const char *text, size_t n) {
    size_t end = n;
    if (end > 0 && text[end - 1] == '\n') {
        end--;
        if (end > 0 && text[end - 1] == '\r') end--;
    }
    return end;
}

static bool shown_escaped(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Writes "\xHH" for c at out (4 bytes).
static void put_escape(char *out, unsigned char c) {
    static const char HEX[] = "0123456789abcdef";
    out[0] = '\\';
    out[1] = 'x';
    out[2] = HEX[c >> 4];
    out[3] = HEX[c & 15];
}

size_t console_escape(const char *text, size_t n, char *out) {
    size_t end = line_end_at(text, n);
    size_t k = 0;
    for (size_t i = 0; i < end; i++) {
        unsigned char c = (unsigned char)text[i];
        if (shown_escaped(c)) {
            put_escape(out + k, c);
            k += 4;
        } else {
            out[k++] = (char)c;
        }
    }
    memcpy(out + k, text + end, n - end);
    k += n - end;
    out[k] = '\0';
    return k;
}

// The length of text[0, n) as console_escape shows it.
static size_t escaped_length(const char *text, size_t n) {
    size_t end = line_end_at(text, n), k = n;
    for (size_t i = 0; i < end; i++) {
        if (shown_escaped((unsigned char)text[i])) k += 3;
    }
    return k;
}

// Writes v in decimal at out (room for 20 digits and a sign), as "%zd" or
// "%d" would print it; the number of characters.
static size_t put_decimal(char *out, long long v) {
    return (size_t)(std::to_chars(out, out + 21, v).ptr - out);
}

// The trace of one entry visited by a victim scan: "\t%s oldest %zd" then
// "%zd.%d time", the key as console_escape shows it, and "\tOLDER" when
// `older`. The visit starts a new piece when it would not fit the current one.
static void trace_visit(trace_out_t &out, const char *key, size_t key_len, ssize_t object_size,
                        long long stamp, bool older) {
    struct timeb t = stamp_timeb(stamp);
    char tail[96] = " oldest ";
    size_t n = 8;
    n += put_decimal(tail + n, object_size);
    n += put_decimal(tail + n, (long long)t.time);
    tail[n++] = '.';
    n += put_decimal(tail + n, t.millitm);
    memcpy(tail + n, " time", 5);
    n += 5;
    if (older) {
        memcpy(tail + n, "\tOLDER", 6);
        n += 6;
    }
    if (out.len > 0 && out.len + 1 + escaped_length(key, key_len) + n > PIPE_BUF) {
        trace_flush(out);
    }
    trace_put(out, "\t", 1);
    size_t end = line_end_at(key, key_len);
    for (size_t i = 0; i < end;) {
        // Runs of bytes shown as they are go in one piece.
        size_t run = i;
        while (run < end && !shown_escaped((unsigned char)key[run])) run++;
        trace_put(out, key + i, run - i);
        if (run < end) {
            char escape[4];
            put_escape(escape, (unsigned char)key[run]);
            trace_put(out, escape, 4);
            run++;
        }
        i = run;
    }
    trace_put(out, key + end, key_len - end);
    trace_put(out, tail, n);
}

// Writes the trace of the recorded passes, as the passes would have printed
// it: per pass "Cache too big", then each entry still in the list, with
// "\tOLDER" after each one earlier than all before it; the earliest (the one
// nearest the head among equal stamps) is the pass's victim. Runs without
// the lock; allocates nothing; cannot fail.
static void trace_write(eviction_record_t &record) {
    std::vector<trace_entry_t> &entries = record.entries;
    trace_out_t out;
    // Whatever this thread printed before (the insertion's own lines) goes first.
    fflush(stdout);
    for (int pass = 0; pass < record.passes && !out.failed; pass++) {
        trace_put(out, "Cache too big", 13);
        trace_entry_t *oldest = nullptr;
        for (trace_entry_t &e : entries) {
            if (e.evicted) continue;
            // Strictly earlier only: equal stamps keep the entry nearer the head.
            bool older = oldest != nullptr && e.stamp < oldest->stamp;
            if (oldest == nullptr || older) oldest = &e;
            trace_visit(out, record.keys.data() + e.key_at, e.key_len, e.object_size, e.stamp,
                        older);
        }
        if (oldest != nullptr) oldest->evicted = true;
    }
    trace_flush(out);
}

// What an entry costs the budget: its object, its key with terminator, and
// ENTRY_RECORD_CHARGE for the record and the allocator's share.
static ssize_t entry_charge(ssize_t object_size, const char *key) {
    return object_size + (ssize_t)strlen(key) + 1 + ENTRY_RECORD_CHARGE;
}

// Records the entries, in list order, for the trace of the passes that
// follow. The caller holds rw_cache_lock exclusively. Throws std::bad_alloc.
static void record_entries_locked(eviction_record_t &record) {
    size_t key_bytes = 0;
    for (cache_entry *e = proxy_cache->dummy_head->next; e != proxy_cache->dummy_tail;
         e = e->next) {
        key_bytes += strlen(e->browser_get);
    }
    record.keys.reserve(key_bytes);
    record.entries.reserve((size_t)proxy_cache->item_count);
    for (cache_entry *e = proxy_cache->dummy_head->next; e != proxy_cache->dummy_tail;
         e = e->next) {
        size_t len = strlen(e->browser_get);
        record.entries.push_back({record.keys.size(), len, e->object_size,
                                  e->last_access.load(std::memory_order_relaxed), false});
        record.keys.append(e->browser_get, len);
    }
}

// One eviction pass: finds the entry with the earliest stamp (the one nearest
// the head among equal stamps), unlinks and releases it. The caller holds
// rw_cache_lock exclusively and has checked that the list is not empty.
static void evict_oldest_locked(void) {
    cache_entry *oldest = proxy_cache->dummy_head->next;
    cache_entry *oldest_prev = proxy_cache->dummy_head;
    long long oldest_stamp = oldest->last_access.load(std::memory_order_relaxed);
    cache_entry *current_prev = proxy_cache->dummy_head;
    for (cache_entry *current = oldest; current != proxy_cache->dummy_tail;
         current_prev = current, current = current->next) {
        long long stamp = current->last_access.load(std::memory_order_relaxed);
        // Strictly earlier only: equal stamps keep the entry nearer the head.
        if (stamp < oldest_stamp) {
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

    // The eviction trace is recorded under the lock and written after it:
    // a console that drains slowly must not hold up the cache.
    eviction_record_t record;
    bool linked = false;
    pthread_rwlock_wrlock(&rw_cache_lock);
    if (is_in_cache(key) == 0) {
        bool recorded = true;
        if (proxy_cache->charged + charge > MAX_CACHE_SIZE) {
            try {
                record_entries_locked(record);
            } catch (const std::bad_alloc &) {
                recorded = false;
            }
        }
        if (recorded) {
            while (proxy_cache->charged + charge > MAX_CACHE_SIZE &&
                   proxy_cache->item_count > 0) {
                evict_oldest_locked();
                record.passes++;
            }
            assert(proxy_cache->charged + charge <= MAX_CACHE_SIZE);
            entry->next = proxy_cache->dummy_head->next;
            proxy_cache->dummy_head->next = entry;
            proxy_cache->item_count++;
            proxy_cache->size += entry->object_size;
            proxy_cache->charged += charge;
            linked = true;
        }
    }
    pthread_rwlock_unlock(&rw_cache_lock);

    if (record.passes > 0) trace_write(record);
    if (!linked) {
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
