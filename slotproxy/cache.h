// slotproxy's response cache: one process-wide table of slots shared by every
// connection thread, its counters and its two semaphores (readers-writers,
// readers favoured). Everything here is owned by cache.cpp; the relay in
// proxy.cpp only calls these functions.
#ifndef SLOTPROXY_CACHE_H
#define SLOTPROXY_CACHE_H

#include <semaphore.h>
#include <time.h>

#include <atomic>

// A test build may divide every byte limit of the cache by one factor
// (-DCACHE_BYTES_SCALE=16: the cache's fuzz target), so that a run fills and
// evicts with a sixteenth of the bytes while sizes, charges and budget keep
// their ratios. Every other build leaves it at 1.
#ifndef CACHE_BYTES_SCALE
#define CACHE_BYTES_SCALE 1
#endif

// Longest key, NUL included; a request line never yields a longer URI.
constexpr int CACHE_URI_SIZE = 8192;
// Budget of the whole cache, in charged bytes (bodies plus ENTRY_CHARGE each).
extern const int MAX_CACHE_SIZE;
// Fixed charge per entry on top of its body.
constexpr int ENTRY_CHARGE = 8200 / CACHE_BYTES_SCALE;

// One cached response. The first four fields are the record's own; refcnt
// follows them.
struct web_object {
    char uri[CACHE_URI_SIZE];  // the key, NUL-terminated, compared byte for byte
    char *data;                // exactly `size` response bytes, no terminator;
                               // null when size is 0
    // Seconds since the epoch when stored or last found. Lookups store it
    // holding only the reader side, so several may store at once: atomic.
    std::atomic<time_t> time;
    int size;  // bytes at data, 0 or more
    // References: one held by the table while the entry is live, one per
    // sender that check_cache handed it to. Whoever drops the last frees
    // data, then the record. A record is never read after that.
    std::atomic<int> refcnt;
};

// Shared state. Slots 0 .. filled_blocks-1 hold live entries without gaps,
// in insertion order except that an eviction moves the last entry into the
// hole; slots from filled_blocks on hold nothing meaningful.
// cache_size == sum over live entries of (size + ENTRY_CHARGE).
// The table, total_blocks, filled_blocks and cache_size are guarded by
// cache_mutex (a writer alone, or the readers as a group); readcnt by cnt_mutex.
extern web_object **cache;  // total_blocks slots
extern int total_blocks;    // capacity in slots; 50 at start, doubled when full
extern int filled_blocks;   // live entries
extern int cache_size;      // charged bytes
extern int readcnt;         // threads inside a lookup
extern sem_t cnt_mutex;     // guards readcnt
extern sem_t cache_mutex;   // the table's lock

// Gives both semaphores the value 1 and allocates the table of 50 null slots.
// Start-up only, before any thread exists. No memory for the table: reports
// "Calloc error" and ends the process.
void cache_init(void);

// The first live entry in slot order whose uri equals `uri`, re-stamped with
// the current time and with a reference taken for the caller, who must give
// it back with cache_release once its bytes are sent; null when none matches
// (nothing changes then). Thread-safe: takes the reader side.
web_object *check_cache(const char *uri);

// Stores `object` (uri, data and size filled in, refcnt 1: the table's
// reference, as cache_new_object leaves it). The cache owns it from here:
// stamps it, grows the table when full and the budget has room, otherwise
// evicts least recently stamped entries (ties: lowest slot) while
// cache_size + object->size >= MAX_CACHE_SIZE. If the table cannot be grown
// the object is released, not stored, and the cache stays as it was.
// Thread-safe: takes the writer side.
void write_to_cache(web_object *object);

// A new entry holding a copy of `size` bytes at `bytes` under key `uri`
// (shorter than CACHE_URI_SIZE), refcnt 1, not yet stamped; null when memory
// for it cannot be had (nothing is allocated then). Cannot fail otherwise.
web_object *cache_new_object(const char *uri, const char *bytes, int size);

// Drops one reference; the last one frees data, then the record. Null is
// ignored. Thread-safe, takes no lock.
void cache_release(web_object *object);

// The reader side of the protocol, as check_cache takes it; exposed so a
// caller can hold the readers' group open (tests do, to watch a writer wait).
void cache_reader_enter(void);
void cache_reader_leave(void);

// True when the invariants above hold: filled_blocks within the table, no
// null live slot, every live entry referenced, cache_size the sum of charges.
// Only while no other thread uses the cache.
bool cache_check_invariants(void);

// Drops the table's reference to every entry and frees the table, leaving
// the cache as before cache_init (semaphores aside). Only while no other
// thread uses the cache; the program itself never calls it.
void cache_free_all(void);

#endif  // SLOTPROXY_CACHE_H
