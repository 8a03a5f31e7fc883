// Fuzzes stampproxy's list cache with sequences of insertions, lookups,
// duplicate tests and clock steps, checking the list after every step
// against a model of its rules: newest insertion first; each entry is charged
// its object bytes, its key with terminator and ENTRY_RECORD_CHARGE for its
// record; a key already present is refused and its stamp renewed, its first
// object kept; while charged + new > MAX_CACHE_SIZE the entry with the
// earliest stamp goes, ties to the one nearest the head; objects of 0 bytes
// or charged above the budget are not stored; a hit renews the stamp and
// hands out a whole copy.
//
// The cache is built with its byte limits divided by CACHE_BYTES_SCALE (see
// programs.cmake): budget, largest object and record charge keep their
// ratios, and an input fills and evicts with a sixteenth of the bytes, all
// of them reused memory rather than fresh pages.
//
// The clock: stamps are wall-clock milliseconds from clock_gettime(). This
// file compiles cache.cpp in with that call renamed (a macro set only around
// the #include) to fuzz_clock_gettime(), which returns the scripted time,
// sub-millisecond part included, so the model knows every stamp exactly.
// The trace lines go to standard output, which is sent to /dev/null.
//
// Input: a sequence of steps, each one byte of operation and its arguments.
#include <assert.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timeb.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "../stampproxy/cache.h"

static long long scripted_ms = 1700000000000LL;  // milliseconds since the epoch
static long scripted_sub_ms_ns = 0;               // 0 .. 999999 on top of it

static int fuzz_clock_gettime(clockid_t, struct timespec *ts) {
    ts->tv_sec = (time_t)(scripted_ms / 1000);
    ts->tv_nsec = (long)(scripted_ms % 1000) * 1000000L + scripted_sub_ms_ns;
    return 0;
}

#include "unhooked_strcmp.h"

#define clock_gettime fuzz_clock_gettime
#define strcmp fuzz_strcmp
#include "../stampproxy/cache.cpp"
#undef strcmp
#undef clock_gettime

namespace {

// The model's own functions are not instrumented for coverage (no_sanitize
// below): only the cache's code guides the fuzzer, and tracing every compare
// of the model's scans cost a fifth of the time.

constexpr ssize_t BUDGET = MAX_CACHE_SIZE;
constexpr size_t RUN = 4096 / CACHE_BYTES_SCALE;

struct model_entry_t {
    unsigned k;  // which key
    std::string key;
    ssize_t size;
    unsigned id;  // chooses the bytes
    long long stamp;
};

// Each input may make only so many object bytes; what comes after is not run
// (a few turns of the budget suffice).
constexpr size_t BYTES_PER_INPUT = 6 * (size_t)BUDGET;
size_t bytes_made = 0;
// Nor more than so many insertions: each costs a scan of the list in the
// cache and in the model, and long inputs of small bursts reached nothing
// that a few dozen insertions do not (the budget fills with a dozen large
// objects).
constexpr size_t INSERTS_PER_INPUT = 64;
size_t inserts_made = 0;

std::vector<model_entry_t> model;  // newest insertion first
ssize_t model_size = 0;
ssize_t model_charged = 0;  // object, key and record charges
unsigned next_id = 1;

[[noreturn]] void fail(const char *what, const std::string &detail = std::string()) {
    fprintf(stderr, "\n==== fuzz check failed: %s\n%s\n====\n", what, detail.c_str());
    abort();
}

// An object's bytes: runs of RUN equal bytes that depend on the object and
// the run, cheap to make and compare.
char byte_of(unsigned id, size_t i) { return (char)((id * 131 + i / RUN * 29) & 0xff); }

// A malloc'd block of `alloc` bytes whose first `size` are the object's.
__attribute__((no_sanitize("coverage")))
char *make_object(unsigned id, size_t size, size_t alloc) {
    char *p = static_cast<char *>(malloc(alloc > 0 ? alloc : 1));
    if (p == nullptr) fail("out of memory");
    for (size_t i = 0; i < size; i += RUN) memset(p + i, byte_of(id, i), size - i < RUN ? size - i : RUN);
    return p;
}

// The bytes at p against the object's: the first and the last, and with
// `all` one in each run besides (where in the run depends on the object).
// Every run holds one byte value, so a run cut short, shifted or taken from
// another object shows at its sample; a whole compare would find nothing
// more and cost a pass over every byte.
__attribute__((no_sanitize("coverage")))
bool same_bytes(const char *p, unsigned id, size_t size, bool all) {
    if (size == 0) return true;
    if (p[0] != byte_of(id, 0) || p[size - 1] != byte_of(id, size - 1)) return false;
    if (!all) return true;
    const size_t in_run = (id * 2731u) % RUN;
    for (size_t i = in_run; i < size; i += RUN) {
        if (p[i] != byte_of(id, i)) return false;
    }
    return true;
}

constexpr unsigned KEYS = 32;

// Request lines that differ in letter case, in version and in line end are
// different keys. Made once.
const std::string &key_for(unsigned k) {
    static std::string keys[KEYS];
    std::string &key = keys[k];
    if (key.empty()) {
        key = (k & 1) ? "get" : "GET";
        key += " http://origin/obj" + std::to_string(k / 4);
        key += (k & 2) ? " HTTP/1.1" : " HTTP/1.0";
        key += (k & 4) ? "\n" : "\r\n";
    }
    return key;
}

char *copy_of(const std::string &s) {
    char *p = static_cast<char *>(malloc(s.size() + 1));
    if (p == nullptr) fail("out of memory");
    memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

__attribute__((no_sanitize("coverage")))
model_entry_t *find(unsigned k) {
    for (model_entry_t &m : model) {
        if (m.k == k) return &m;
    }
    return nullptr;
}

// The cache's own check compares every pair of keys, which after every step
// took a third of the time; the model's check below walks the same list and
// holds every count, key, size and charge to the model after every step, so
// the cache's own runs once an input, before the list is emptied.
void check_invariants(void) {
    const char *broken = cache_check_invariants();
    if (broken != nullptr) fail("cache_check_invariants failed", broken);
}

__attribute__((no_sanitize("coverage")))
void check_all(void) {
    if (proxy_cache->item_count != (int)model.size() || proxy_cache->size != model_size ||
        proxy_cache->charged != model_charged) {
        fail("wrong count or size", std::to_string(proxy_cache->item_count) + " entries of " +
                                        std::to_string(proxy_cache->size) + " bytes instead of " +
                                        std::to_string(model.size()) + " of " +
                                        std::to_string(model_size));
    }
    const cache_entry *e = proxy_cache->dummy_head->next;
    for (size_t i = 0; i < model.size(); i++, e = e->next) {
        const model_entry_t &m = model[i];
        // Only a failure spells out where.
        auto where = [&] { return "entry " + std::to_string(i) + " (" + m.key + ")"; };
        if (e == proxy_cache->dummy_tail || strcmp(m.key.c_str(), e->browser_get) != 0) {
            fail("wrong key", where());
        }
        if (e->object_size != m.size || !same_bytes(e->object, m.id, (size_t)m.size, false)) {
            fail("wrong object", where());
        }
        if (e->last_access.load() != m.stamp) {
            fail("wrong stamp", where() + ": " + std::to_string(e->last_access.load()) +
                                    " instead of " + std::to_string(m.stamp));
        }
    }
    if (e != proxy_cache->dummy_tail) fail("more entries than the model holds");
}

__attribute__((no_sanitize("coverage")))
void insert(unsigned k, ssize_t size, bool whole_buffer) {
    unsigned id = next_id++;
    inserts_made++;
    const std::string &key = key_for(k);
    // The relay hands over its whole read buffer; other callers may not.
    size_t alloc = whole_buffer && size <= MAX_OBJECT_SIZE ? (size_t)MAX_OBJECT_SIZE : (size_t)size;
    bytes_made += alloc;
    char *object = make_object(id, (size_t)size, alloc);
    char *key_copy = copy_of(key);
    add_to_cache(&key_copy, &object, size);
    if (key_copy != nullptr || object != nullptr) fail("add_to_cache left the caller's pointers set");

    const ssize_t charge = size + (ssize_t)key.size() + 1 + ENTRY_RECORD_CHARGE;
    if (size <= 0 || charge > BUDGET) return;  // released, not stored
    model_entry_t *present = find(k);
    if (present != nullptr) {
        present->stamp = scripted_ms;
        return;
    }
    while (model_charged + charge > BUDGET && !model.empty()) {
        size_t victim = 0;
        for (size_t i = 1; i < model.size(); i++) {
            if (model[i].stamp < model[victim].stamp) victim = i;
        }
        model_size -= model[victim].size;
        model_charged -= model[victim].size + (ssize_t)model[victim].key.size() + 1 +
                         ENTRY_RECORD_CHARGE;
        model.erase(model.begin() + (long)victim);
    }
    model.insert(model.begin(), {k, key, size, id, scripted_ms});
    model_size += size;
    model_charged += charge;
}

__attribute__((no_sanitize("coverage")))
void lookup(unsigned k) {
    const std::string &key = key_for(k);
    char sentinel = 0;
    char *copy = &sentinel;
    ssize_t n = check_cache(key.c_str(), &copy);
    model_entry_t *m = find(k);
    if (m == nullptr) {
        if (n != 0 || copy != &sentinel) fail("a miss answered or touched the pointer", key);
        return;
    }
    m->stamp = scripted_ms;
    bytes_made += (size_t)n;
    if (n != m->size || copy == &sentinel || !same_bytes(copy, m->id, (size_t)n, true)) {
        fail("a hit gave the wrong bytes", key);
    }
    free(copy);
}

__attribute__((no_sanitize("coverage")))
void duplicate_test(unsigned k) {
    const std::string &key = key_for(k);
    pthread_rwlock_wrlock(&rw_cache_lock);
    int found = is_in_cache(key.c_str());
    pthread_rwlock_unlock(&rw_cache_lock);
    model_entry_t *m = find(k);
    if (found != (m != nullptr ? 1 : 0)) fail("is_in_cache is wrong", key);
    if (m != nullptr) m->stamp = scripted_ms;
}

// Mostly sizes the relay offers; now and then one that fills the budget
// alone or exceeds it (both costly to make, so rare).
ssize_t size_from(uint8_t cls, uint8_t a, uint8_t b) {
    unsigned v = ((unsigned)a << 8) | b;
    switch (cls % 16) {
        case 0:
        case 1: return (ssize_t)(v % 3);  // 0 is refused
        case 2:
        case 3:
        case 4: return 1 + (ssize_t)(v % 300);
        case 5:
        case 6:
        case 7: return 1 + (ssize_t)(v / CACHE_BYTES_SCALE);
        case 8:
        case 9:
        case 10:
        case 11: return MAX_OBJECT_SIZE - (ssize_t)(v % (30000 / CACHE_BYTES_SCALE));
        case 12:
        case 13: return MAX_OBJECT_SIZE;
        case 14: return BUDGET - (ssize_t)(v % 4);
        default: return BUDGET + 1 + (ssize_t)(v % 2);  // refused
    }
}

}  // namespace

// A small quarantine keeps freed memory warm for the next allocations (the
// default's 256 MB cycled every allocation through cold lines); 4 MB still
// holds many times what one step frees, and every step is checked, so a read
// of memory freed in that step is still caught. Eight frames of allocation
// stack name the cache function and the step.
extern "C" const char *__asan_default_options(void) {
    return "quarantine_size_mb=4:max_malloc_fill_size=0:malloc_context_size=8";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The cache traces every operation on standard output.
    if (freopen("/dev/null", "w", stdout) == nullptr) fail("cannot silence stdout");
    init_cache();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t pos = 0;
    auto next = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };
    bytes_made = 0;
    inserts_made = 0;
    while (pos < size && bytes_made < BYTES_PER_INPUT && inserts_made < INSERTS_PER_INPUT) {
        uint8_t op = next();
        switch (op % 8) {
            case 0:
            case 1:
            case 2: {
                uint8_t k = next(), cls = next(), a = next(), b = next();
                insert(k % KEYS, size_from(cls, a, b), (cls & 0x10) != 0);
                break;
            }
            case 3:
            case 4:
                lookup(next() % KEYS);
                break;
            case 5:
                duplicate_test(next() % KEYS);
                break;
            case 6: {
                // Often within the same millisecond: ties.
                uint8_t step = next();
                scripted_ms += step % 4 == 0 ? 0 : step % 1500;
                scripted_sub_ms_ns = (long)next() * 3921;  // 0 .. 999855
                break;
            }
            default: {
                // A burst of small insertions of one key pattern.
                uint8_t n = next();
                for (unsigned i = 0; i < n % 16u && inserts_made < INSERTS_PER_INPUT; i++) {
                    insert((n + i) % KEYS, 1 + (ssize_t)i, false);
                }
                break;
            }
        }
        check_all();
    }
    check_invariants();
    cache_clear();
    model.clear();
    model_size = 0;
    model_charged = 0;
    return 0;
}
