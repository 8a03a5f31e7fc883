// stampproxy's response cache: one process-wide list between two sentinels,
// keyed by the browser's exact request line, guarded by one reader-writer
// lock, with use stamps in milliseconds. This module owns `proxy_cache` and
// `rw_cache_lock`; proxy.cpp reaches them only through these functions.
#ifndef STAMPPROXY_CACHE_H
#define STAMPPROXY_CACHE_H

#include <pthread.h>
#include <sys/timeb.h>
#include <sys/types.h>

#include <atomic>

// A test build may divide every byte limit of the cache by one factor
// (-DCACHE_BYTES_SCALE=16: the cache's fuzz target), so that a run fills and
// evicts with a sixteenth of the bytes while sizes, charges and budget keep
// their ratios. Every other build leaves it at 1.
#ifndef CACHE_BYTES_SCALE
#define CACHE_BYTES_SCALE 1
#endif

// The byte budget: the sum of the entries' charges never exceeds it after an
// insertion. An entry is charged its object bytes, its key bytes with the
// terminator, and ENTRY_RECORD_CHARGE, so that keys and records are bounded
// too (a million 1-byte objects under 1 KB keys would otherwise fit).
constexpr ssize_t MAX_CACHE_SIZE = 1048576 / CACHE_BYTES_SCALE;
// The record and the allocator's share of an entry: the 40-byte record takes
// a 48-byte heap chunk, and the key's and the object's blocks each carry up
// to 23 bytes of chunk header and rounding: 94 bytes, rounded up.
constexpr ssize_t ENTRY_RECORD_CHARGE = 128 / CACHE_BYTES_SCALE;
// The largest object the relay offers (one read of the relay buffer).
constexpr ssize_t MAX_OBJECT_SIZE = 102400 / CACHE_BYTES_SCALE;

// One cached response, or a sentinel.
//
// `last_access` is the wall-clock time of the last use, in milliseconds since
// the epoch, held as one 64-bit atomic. A hit renews it while holding the lock
// only shared, so two hits may renew one entry at once; a single atomic store
// cannot tear (seconds from one renewal, milliseconds from the other), and the
// last store wins. Relaxed order is enough: the stamp guards no other data,
// and the eviction scan reads it under the exclusive lock, whose acquisition
// orders it after every renewal made under the shared side. The seconds and
// milliseconds (a `timeb`) are derived from it for printing: stamp_timeb().
struct cache_entry_t {
    std::atomic<long long> last_access{0};
    ssize_t object_size = 0;      // bytes at `object` (> 0 for entries)
    char *object = nullptr;       // the response exactly as the origin sent it,
                                  // in a malloc block of exactly object_size
                                  // bytes; no terminator, may hold NUL bytes
    char *browser_get = nullptr;  // malloc'd key: the request line, line end
                                  // included, NUL-terminated
    cache_entry_t *next = nullptr;
};
typedef cache_entry_t cache_entry;

// The list: dummy_head, the entries newest-inserted first, dummy_tail. A hit
// only renews a stamp and never moves an entry, so position says nothing
// about recency of use. Sentinels hold no key and no object. No two entries
// have equal keys. Each entry owns its record, object and key; only eviction
// (or cache_clear) releases them.
struct cache {
    cache_entry *dummy_head;
    cache_entry *dummy_tail;
    ssize_t size;     // sum of object_size over the entries (keys not counted)
    ssize_t charged;  // sum of the entries' charges (object, key, record)
    int item_count;   // entries, sentinels not counted
};

// Set once by init_cache; the list behind it is guarded by rw_cache_lock.
extern cache *proxy_cache;
// Guards everything reachable from proxy_cache: shared for lookups, exclusive
// for insertion and eviction. The only lock of stampproxy.
extern pthread_rwlock_t rw_cache_lock;

// Builds the empty cache and its lock. Start-up only, before any thread
// exists. Cannot fail: the list record and sentinels are static.
void init_cache(void);

// Lookup. Thread-safe: takes rw_cache_lock shared. On a hit renews the
// entry's stamp, stores a new malloc'd copy of its object in *object_pointer
// (the caller frees it), prints "\tHIT!" and "\tSize %zd Time %zd.%d", and
// returns the object size (> 0). On a miss returns 0, prints nothing and
// leaves *object_pointer alone. A copy that cannot be allocated is a miss.
ssize_t check_cache(const char *browser_request, char **object_pointer);

// Insertion. Thread-safe: takes rw_cache_lock exclusive. Takes ownership of
// *browser_get (a NUL-terminated key) and *object (size_temp bytes, malloc'd)
// in every case and sets both caller pointers to null: the buffers end up in
// the cache or are released. An object larger than the budget, or one that
// cannot be recorded, is released uncached. A key already present keeps its
// entry (only its stamp is renewed). Otherwise evicts earliest-stamped entries
// while the charges would exceed the budget, then links the new entry at the
// head. The eviction trace (one visit per entry per pass) is written after
// the lock is released, whatever its size, on standard output's descriptor
// in pieces that end between visits: a console that drains slowly holds up
// this thread alone, never a lookup. Throws nothing: when memory to record
// the trace runs short, the insertion is given up (no eviction, no trace;
// the object is released uncached).
void add_to_cache(char **browser_get, char **object, ssize_t size_temp);

// 1 when an entry with this key exists (and renews its stamp), else 0. Takes
// no lock: the caller holds rw_cache_lock exclusively.
int is_in_cache(const char *browser_request);

// Copies text[0, n) to out as the console shows bytes a browser sent: a byte
// below 0x20 or 0x7f as "\xHH" (so that a console line stays one line and
// never a terminal command), every other byte as it is, and the line end
// that ends text ("\r\n" or "\n"), if any, as it is. out needs room for
// 4 * n + 1 bytes and is NUL-terminated; returns the bytes written, the
// terminator aside. Text without such bytes comes out unchanged. Cannot fail.
size_t console_escape(const char *text, size_t n, char *out);

// The wall-clock time now, in milliseconds since the epoch. Cannot fail.
long long stamp_now(void);
// A stamp as seconds and milliseconds (time-zone fields zero).
struct timeb stamp_timeb(long long stamp);

// Checks every invariant of the list; null when they hold, else a text naming
// the first broken one. Takes rw_cache_lock shared. For tests.
const char *cache_check_invariants(void);
// Releases every entry and empties the list. Takes rw_cache_lock exclusive.
// For tests, which need a fresh cache per case; the program never empties it.
void cache_clear(void);

#endif  // STAMPPROXY_CACHE_H
