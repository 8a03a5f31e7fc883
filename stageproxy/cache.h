// stageproxy's response cache: one process-wide singly linked list keyed by
// the URL word of the request line, a byte budget of 1 MiB, and eviction of
// the entry with the smallest whole-second use stamp. This module owns `head`,
// `available` and `rwlock`; it takes no lock itself: callers hold `rwlock`
// (reader side around cacheGet and cacheHold, writer side around cacheInsert).
#ifndef STAGEPROXY_CACHE_H
#define STAGEPROXY_CACHE_H

#include <pthread.h>
#include <time.h>

#include <atomic>

// A test build may divide every byte limit of the cache by one factor
// (-DCACHE_BYTES_SCALE=16: the cache's fuzz target), so that a run fills and
// evicts with a sixteenth of the bytes while sizes, charges and budget keep
// their ratios. Every other build leaves it at 1.
#ifndef CACHE_BYTES_SCALE
#define CACHE_BYTES_SCALE 1
#endif

// The byte budget. Each entry is charged its whole footprint (entryCharge):
// response bytes, key bytes and ENTRY_RECORD_CHARGE, so that many entries
// with long keys and small bodies cannot grow the process past it.
constexpr int MAX_CACHE_SIZE = 1048576 / CACHE_BYTES_SCALE;
// What an entry costs besides its response and key bytes: the record (48
// bytes on a 64-bit system) and the allocator's headers and rounding of its
// three blocks.
constexpr int ENTRY_RECORD_CHARGE = 128 / CACHE_BYTES_SCALE;
// The largest response the relay stores (one less than its collection buffer).
constexpr int MAX_OBJECT_SIZE = 102400 / CACHE_BYTES_SCALE - 1;

// One cached response.
//
// `time` is renewed by every hit while the lock is held only for reading, so
// several hits may store to it at once: it is one atomic word, any of the
// racing values is a correct stamp. Relaxed order suffices: the stamp guards
// no other data, and evict reads it under the writer side, whose acquisition
// follows every store made under the reader side.
//
// `refs` counts the holders of the record: the list while it is linked, plus
// each hit that is still writing `data` to its browser (cacheHold). The last
// holder to let go frees it (cacheRelease), so an entry evicted while a hit
// sends it stays readable until that send is done.
struct cacheEntry {
    char *url = nullptr;          // the key, exactly as the browser sent it; own
                                  // malloc'd copy, NUL-terminated
    char *data = nullptr;         // the response exactly as the origin sent it; own
                                  // malloc'd copy of `size` bytes, no terminator,
                                  // may hold NUL bytes; never changed once linked
    int size = 0;                 // bytes at `data`, 0 to MAX_OBJECT_SIZE
    std::atomic<time_t> time{0};  // seconds since the epoch of insertion or
                                  // of the last hit
    cacheEntry *next = nullptr;   // the next older insertion; null at the end
    std::atomic<int> refs{1};     // holders: the list, plus hits in progress
};

// The front of the list, null when empty. New entries go to the front and
// hits never reorder, so the list runs from the newest insertion to the
// oldest. Duplicate keys are allowed; a lookup finds the front-most one.
// Guarded by rwlock.
extern cacheEntry *head;
// The unused part of the budget: MAX_CACHE_SIZE minus the sum of entryCharge
// over the linked entries. Guarded by rwlock.
extern int available;
// Guards head, available and every linked entry. The only lock of
// stageproxy. It prefers writers: every request holds the reader side for its
// lookup, so under a steady stream of hits the lock is almost never free of
// readers, and with the default preference for readers a miss's insertion
// could wait for ever while finished request threads pile up behind it.
extern pthread_rwlock_t rwlock;

// What an entry with this key and size of response is charged against the
// budget: size, the key's bytes with their terminator, ENTRY_RECORD_CHARGE.
long entryCharge(const char *url, int size);

// Empties the cache, restores the whole budget and initialises rwlock.
// Start-up only, before any request thread exists. Always returns 1.
int initCache(void);

// The front-most entry whose key equals url byte for byte (case matters), with
// its stamp set to now; null on a miss. The caller holds rwlock for reading,
// and may use the entry only while that hold lasts, unless it takes a
// reference with cacheHold before letting go.
cacheEntry *cacheGet(const char *url);

// Takes a reference on a linked entry, so that its url, data and size stay
// valid after rwlock is released. The caller holds rwlock (either side) and
// gives the reference back with cacheRelease. Cannot fail.
void cacheHold(cacheEntry *entry);

// Gives back one reference; the last one frees the entry with freeEntry.
// Takes no lock: it may be called after rwlock is released. Cannot fail.
void cacheRelease(cacheEntry *entry);

// Stores a copy of url and of length bytes at data as a new front entry,
// stamped now, after evicting least recently used entries until the budget
// has room for its whole charge, and prints "Successfully cached." on
// standard output. Returns 1 when stored; 0 when memory ran out (entries
// evicted so far stay evicted, nothing is linked, nothing printed) or when
// length is negative or the charge exceeds MAX_CACHE_SIZE (nothing changes). The caller holds rwlock for writing.
int cacheInsert(const char *url, const char *data, int length);

// Unlinks the entry with the smallest stamp (the front-most of equal stamps),
// gives its charge back to the budget and drops the list's reference on it.
// The caller holds rwlock for writing; an empty list is left alone.
void evict(void);

// Frees an unlinked entry's data, url and record, in that order; null is
// ignored. The entry must be unreachable by every other thread.
void freeEntry(cacheEntry *entry);

// Checks the invariants of the list (the budget matches the linked sizes,
// every size within bounds, every key present, every linked entry held by the
// list); null when they hold, else a text naming the broken one. The caller
// holds rwlock (either side). For tests.
const char *cacheCheckInvariants(void);

// Unlinks and releases every entry and restores the whole budget. The caller
// holds rwlock for writing. For tests, which need a fresh cache per case; the
// program never empties its cache.
void cacheClear(void);

#endif  // STAGEPROXY_CACHE_H
