// slotproxy's slot-table cache: owns the table, its counters, the two
// semaphores and every entry from insertion until its last reference goes.
// Runs on every connection thread; does no I/O and prints nothing.
#include "cache.h"

#include <assert.h>
#include <stdlib.h>
#include <string.h>

#include <limits>
#include <new>

#include "robix.h"

const int MAX_CACHE_SIZE = 1048576 / CACHE_BYTES_SCALE;

// Slots in the table before its first growth.
static constexpr int INITIAL_BLOCKS = 50;

web_object **cache = nullptr;
int total_blocks = INITIAL_BLOCKS;
int filled_blocks = 0;
int cache_size = 0;
int readcnt = 0;
sem_t cnt_mutex;
sem_t cache_mutex;

// The protocol (readers favoured). A reader takes cnt_mutex, counts itself
// in readcnt, and if it is the first reader also takes cache_mutex on behalf
// of the whole group, still holding cnt_mutex; leaving, the last reader gives
// cache_mutex back. A writer takes cache_mutex alone. So while a writer is
// inside, the first reader waits on cache_mutex holding cnt_mutex and later
// readers wait on cnt_mutex; while any reader is inside, writers wait, for as
// long as readers keep overlapping. Readers change nothing but an entry's
// atomic stamp and its atomic reference count.

void cache_reader_enter(void) {
    P(&cnt_mutex);
    readcnt++;
    if (readcnt == 1) P(&cache_mutex);
    V(&cnt_mutex);
}

void cache_reader_leave(void) {
    P(&cnt_mutex);
    readcnt--;
    if (readcnt == 0) V(&cache_mutex);
    V(&cnt_mutex);
}

void cache_init(void) {
    Sem_init(&cnt_mutex, 0, 1);
    Sem_init(&cache_mutex, 0, 1);
    cache = static_cast<web_object **>(Calloc(INITIAL_BLOCKS, sizeof(web_object *)));
    total_blocks = INITIAL_BLOCKS;
    filled_blocks = 0;
    cache_size = 0;
    readcnt = 0;
}

web_object *cache_new_object(const char *uri, const char *bytes, int size) {
    web_object *object = new (std::nothrow) web_object;
    if (object == nullptr) return nullptr;
    object->data = nullptr;
    if (size > 0) {
        object->data = static_cast<char *>(malloc((size_t)size));
        if (object->data == nullptr) {
            delete object;
            return nullptr;
        }
        memcpy(object->data, bytes, (size_t)size);
    }
    size_t len = strnlen(uri, CACHE_URI_SIZE - 1);
    memcpy(object->uri, uri, len);
    object->uri[len] = '\0';
    object->size = size;
    object->time.store(0, std::memory_order_relaxed);
    object->refcnt.store(1, std::memory_order_relaxed);
    return object;
}

void cache_release(web_object *object) {
    if (object == nullptr) return;
    // acq_rel: whoever drops the last reference must see every use the
    // other holders made of the entry before it frees it.
    if (object->refcnt.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        free(object->data);
        delete object;
    }
}

web_object *check_cache(const char *uri) {
    web_object *found = nullptr;
    cache_reader_enter();
    for (int i = 0; i < filled_blocks; i++) {
        if (strcmp(uri, cache[i]->uri) == 0) {
            found = cache[i];
            // Relaxed is enough for both: the stamp is only compared by a
            // writer, and the count only freed by the last holder, each
            // after cache_mutex has ordered it after this reader's exit.
            found->time.store(::time(nullptr), std::memory_order_relaxed);
            found->refcnt.fetch_add(1, std::memory_order_relaxed);
            break;
        }
    }
    cache_reader_leave();
    return found;
}

// The slot of the least recently stamped live entry, the lowest slot among
// equal stamps. Caller holds the writer side; filled_blocks > 0.
static int victim_locked(void) {
    time_t oldest = std::numeric_limits<time_t>::max();
    int victim = 0;
    for (int i = 0; i < filled_blocks; i++) {
        time_t stamp = cache[i]->time.load(std::memory_order_relaxed);
        if (stamp < oldest) {
            oldest = stamp;
            victim = i;
        }
    }
    return victim;
}

// Unlinks the entry in `slot`, moves the last live entry into the hole and
// drops the table's reference (a sender may still hold one). Caller holds
// the writer side.
static void evict_locked(int slot) {
    assert(slot >= 0 && slot < filled_blocks);
    web_object *victim = cache[slot];
    cache_size -= victim->size + ENTRY_CHARGE;
    cache[slot] = cache[filled_blocks - 1];
    filled_blocks--;
    cache_release(victim);
}

void write_to_cache(web_object *object) {
    bool stored = true;
    P(&cache_mutex);
    if (filled_blocks == total_blocks && MAX_CACHE_SIZE - object->size > cache_size) {
        // The new slots are left as they come: nothing reads beyond
        // filled_blocks.
        void *grown = realloc(cache, sizeof(web_object *) * (size_t)total_blocks * 2);
        if (grown != nullptr) {
            cache = static_cast<web_object **>(grown);
            total_blocks *= 2;
        } else {
            stored = false;
        }
    } else {
        // Every entry handed in is far below the budget, so the table is
        // never empty while this holds.
        while (MAX_CACHE_SIZE - object->size <= cache_size && filled_blocks > 0) {
            evict_locked(victim_locked());
        }
    }
    if (stored) {
        assert(filled_blocks < total_blocks);
        object->time.store(::time(nullptr), std::memory_order_relaxed);
        cache[filled_blocks] = object;
        filled_blocks++;
        cache_size += object->size + ENTRY_CHARGE;
    }
    V(&cache_mutex);
    if (!stored) cache_release(object);
}

bool cache_check_invariants(void) {
    if (cache == nullptr || filled_blocks < 0 || filled_blocks > total_blocks) return false;
    long long charged = 0;
    for (int i = 0; i < filled_blocks; i++) {
        const web_object *o = cache[i];
        if (o == nullptr || o->size < 0 || (o->size > 0 && o->data == nullptr)) return false;
        if (o->refcnt.load() < 1) return false;
        if (memchr(o->uri, '\0', CACHE_URI_SIZE) == nullptr) return false;
        charged += o->size + ENTRY_CHARGE;
    }
    return charged == cache_size && readcnt == 0;
}

void cache_free_all(void) {
    for (int i = 0; i < filled_blocks; i++) cache_release(cache[i]);
    free(cache);
    cache = nullptr;
    total_blocks = INITIAL_BLOCKS;
    filled_blocks = 0;
    cache_size = 0;
    readcnt = 0;
}
