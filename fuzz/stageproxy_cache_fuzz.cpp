// Fuzzes stageproxy's cache module with sequences of insertions, lookups,
// direct evictions, clock steps, held and released hits, and failed
// allocations, checking the list after every step against a model of its
// rules: new entries at the front; each entry is charged its response, its
// key and ENTRY_RECORD_CHARGE against the budget (MAX_CACHE_SIZE, divided by
// CACHE_BYTES_SCALE in this build); duplicate keys are allowed and a lookup
// finds the front-most; while the new charge exceeds what is available, the
// entry with the smallest stamp goes, ties to the one nearest the front; a
// negative length or a charge over the budget changes nothing; an allocation
// that fails after evictions leaves them done and links nothing; a hit renews its
// stamp; a held hit keeps its bytes after its entry is evicted.
//
// The clock: stamps are whole seconds from time(). cache.cpp is compiled
// into this file with its time() calls renamed by a function-like macro to
// fuzz_time(), which returns the scripted clock (the macro leaves the
// entry's field named `time` alone); malloc() is renamed the same way so
// that an insertion's copies can be made to fail. "Successfully cached."
// goes to standard output, which is sent to /dev/null.
//
// Input: a sequence of steps, each one byte of operation and its arguments.
#include <assert.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "../stageproxy/cache.h"

static time_t scripted_now = 1000000000;
static int malloc_fails_in = 0;  // the n-th next malloc fails; 0: none does

static time_t fuzz_time(time_t *t) {
    if (t != nullptr) *t = scripted_now;
    return scripted_now;
}

static void *fuzz_malloc(size_t n) {
    if (malloc_fails_in > 0 && --malloc_fails_in == 0) return nullptr;
    return malloc(n);
}

#include "unhooked_strcmp.h"

#define time(t) fuzz_time(t)
#define malloc(n) fuzz_malloc(n)
#define strcmp fuzz_strcmp
#include "../stageproxy/cache.cpp"
#undef strcmp
#undef malloc
#undef time

namespace {

// The model's own functions are not instrumented for coverage (no_sanitize
// below): only the cache's code guides the fuzzer, and tracing every compare
// of the model's scans cost a fifth of the time.

// The cache is built with its byte limits divided by CACHE_BYTES_SCALE (see
// programs.cmake): budget, largest response and record charge keep their
// ratios, and an input fills and evicts with a sixteenth of the bytes.
constexpr int BUDGET = MAX_CACHE_SIZE;
constexpr size_t RUN = 4096 / CACHE_BYTES_SCALE;
constexpr size_t MAX_HELD = 8;
constexpr size_t BYTES_PER_INPUT = 6 * (size_t)BUDGET;

struct model_entry_t {
    unsigned k;  // which key
    cacheEntry *entry;  // identity, checked; null until linked
    std::string key;
    int size;
    unsigned id;  // chooses the bytes
    time_t stamp;
};

struct held_t {
    cacheEntry *entry;
    int size;
    unsigned id;
};

std::vector<model_entry_t> model;  // front (newest) first
int model_available = BUDGET;
std::vector<held_t> held;
unsigned next_id = 1;
size_t bytes_made = 0;
// Nor more than so many insertions: each costs a scan of the list in the
// cache and in the model, and long inputs of small bursts reached nothing
// that a few dozen insertions do not (the budget fills with a dozen large
// responses).
constexpr size_t INSERTS_PER_INPUT = 64;
size_t inserts_made = 0;
constexpr unsigned KEYS = 24;

[[noreturn]] void fail(const char *what, const std::string &detail = std::string()) {
    fprintf(stderr, "\n==== fuzz check failed: %s\n%s\n====\n", what, detail.c_str());
    abort();
}

char byte_of(unsigned id, size_t i) { return (char)((id * 131 + i / RUN * 29) & 0xff); }

// The object's bytes, in one buffer reused from one insertion to the next.
__attribute__((no_sanitize("coverage")))
const std::string &bytes_for(unsigned id, int size) {
    static std::string s;
    s.resize((size_t)size);
    for (size_t i = 0; i < s.size(); i += RUN) {
        memset(&s[i], byte_of(id, i), s.size() - i < RUN ? s.size() - i : RUN);
    }
    return s;
}

// The first and the last byte, and with `all` one in each run besides
// (where in the run depends on the object): every run holds one value, so a
// run cut short, shifted or taken from another object shows at its sample.
__attribute__((no_sanitize("coverage")))
void check_bytes(const cacheEntry *e, int size, unsigned id, bool all) {
    if (e->size != size) fail("an entry's size changed");
    if (size == 0) return;
    bool same = e->data[0] == byte_of(id, 0) && e->data[size - 1] == byte_of(id, (size_t)size - 1);
    for (size_t i = (id * 2731u) % RUN; all && same && i < (size_t)size; i += RUN) {
        same = e->data[i] == byte_of(id, i);
    }
    if (!same) fail("an entry's bytes changed", "size " + std::to_string(size));
}

// URLs that differ in letter case or by a trailing slash are different keys.
const std::string &key_for(unsigned k) {
    static std::string keys[KEYS];  // made once
    if (!keys[k].empty()) return keys[k];
    std::string key = (k & 1) ? "http://Origin/obj" : "http://origin/obj";
    key += std::to_string(k / 4);
    if (k & 2) key += "/";
    keys[k] = key;
    return keys[k];
}

// The cache's own check walks the list again for what the model's check
// below holds after every step (every entry, key, stamp and the budget), so
// it runs once an input, before the list is emptied.
void check_invariants(void) {
    const char *broken = cacheCheckInvariants();
    if (broken != nullptr) fail("cacheCheckInvariants failed", broken);
}

__attribute__((no_sanitize("coverage")))
void check_all(void) {
    if (available != model_available) {
        fail("wrong budget", std::to_string(available) + " available instead of " +
                                 std::to_string(model_available));
    }
    const cacheEntry *e = head;
    for (size_t i = 0; i < model.size(); i++, e = e->next) {
        const model_entry_t &m = model[i];
        // Only a failure spells out where.
        auto where = [&] { return "entry " + std::to_string(i) + " (" + m.key + ")"; };
        if (e != m.entry) fail("the wrong entry in the list", where());
        if (m.key != e->url) fail("wrong key", where());
        if (e->time.load() != m.stamp) {
            fail("wrong stamp", where() + ": " + std::to_string(e->time.load()) + " instead of " +
                                    std::to_string(m.stamp));
        }
        check_bytes(e, m.size, m.id, false);
    }
    if (e != nullptr) fail("more entries than the model holds");
    for (const held_t &h : held) check_bytes(h.entry, h.size, h.id, false);
}

// An entry's whole charge: response, key with its terminator, record.
int model_charge(const std::string &key, int size) {
    return size + (int)key.size() + 1 + ENTRY_RECORD_CHARGE;
}

__attribute__((no_sanitize("coverage")))
void model_evict(void) {
    if (model.empty()) return;
    size_t victim = 0;
    for (size_t i = 1; i < model.size(); i++) {
        if (model[i].stamp < model[victim].stamp) victim = i;
    }
    model_available += model_charge(model[victim].key, model[victim].size);
    model.erase(model.begin() + (long)victim);
}

__attribute__((no_sanitize("coverage")))
void insert(unsigned k, int length, int fail_malloc) {
    unsigned id = next_id++;
    inserts_made++;
    const std::string &key = key_for(k);
    const bool fits = length >= 0 && model_charge(key, length) <= BUDGET;
    const std::string &bytes = bytes_for(id, fits && length > 0 ? length : 0);
    bytes_made += bytes.size();
    malloc_fails_in = fail_malloc;
    pthread_rwlock_wrlock(&rwlock);
    int stored = cacheInsert(key.c_str(), bytes.data(), length);
    cacheEntry *front = head;
    pthread_rwlock_unlock(&rwlock);
    malloc_fails_in = 0;

    int want = 0;
    if (fits) {
        const int charge = model_charge(key, length);
        while (charge > model_available && !model.empty()) model_evict();
        if (fail_malloc == 0) {
            want = 1;
            model.insert(model.begin(), {k, front, key, length, id, scripted_now});
            model_available -= charge;
        }
    }
    if (stored != want) {
        fail("cacheInsert's result is wrong", std::to_string(stored) + " for " +
                                                  std::to_string(length) + " bytes");
    }
}

__attribute__((no_sanitize("coverage")))
void lookup(unsigned k) {
    const std::string &key = key_for(k);
    pthread_rwlock_rdlock(&rwlock);
    cacheEntry *got = cacheGet(key.c_str());
    if (got != nullptr) cacheHold(got);
    pthread_rwlock_unlock(&rwlock);
    model_entry_t *want = nullptr;
    for (model_entry_t &m : model) {
        if (m.k == k) {
            m.stamp = scripted_now;
            want = &m;
            break;
        }
    }
    if (got != (want != nullptr ? want->entry : nullptr)) fail("a lookup found the wrong entry", key);
    if (got == nullptr) return;
    check_bytes(got, want->size, want->id, true);
    held.push_back({got, want->size, want->id});
    if (held.size() > MAX_HELD) {
        cacheRelease(held.front().entry);
        held.erase(held.begin());
    }
}

int length_from(uint8_t cls, uint8_t a, uint8_t b) {
    unsigned v = ((unsigned)a << 8) | b;
    switch (cls % 16) {
        case 0:
        case 1: return (int)(v % 3);
        case 2:
        case 3:
        case 4: return (int)(v % 300);
        case 5:
        case 6:
        case 7: return (int)(v / CACHE_BYTES_SCALE);
        case 8:
        case 9:
        case 10:
        case 11: return MAX_OBJECT_SIZE - (int)(v % (30000 / CACHE_BYTES_SCALE));
        case 12: return MAX_OBJECT_SIZE;
        case 13: return BUDGET - ENTRY_RECORD_CHARGE - 20 - (int)(v % 4);  // at the budget's edge
        case 14: return -1 - (int)(v % 2);      // refused
        default: return BUDGET + 1 + (int)(v % 2);  // refused
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
    if (freopen("/dev/null", "w", stdout) == nullptr) fail("cannot silence stdout");
    initCache();
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
                // Bits 4-5 of the class: none, the first or the second
                // malloc of the insertion fails (the key's copy, the data's).
                insert(k % KEYS, length_from(cls, a, b), ((cls >> 4) & 3) % 3);
                break;
            }
            case 3:
            case 4:
                lookup(next() % KEYS);
                break;
            case 5:
                scripted_now += next() % 3;  // often the same second: ties
                break;
            case 6:
                if (next() & 1) {
                    pthread_rwlock_wrlock(&rwlock);
                    evict();
                    pthread_rwlock_unlock(&rwlock);
                    model_evict();
                } else if (!held.empty()) {
                    cacheRelease(held.front().entry);
                    held.erase(held.begin());
                }
                break;
            default: {
                // A burst of small insertions, duplicates among them.
                uint8_t n = next();
                for (unsigned i = 0; i < n % 16u && inserts_made < INSERTS_PER_INPUT; i++) {
                    insert((n + i) % KEYS, (int)i, 0);
                }
                break;
            }
        }
        check_all();
    }
    check_invariants();
    for (const held_t &h : held) cacheRelease(h.entry);
    held.clear();
    pthread_rwlock_wrlock(&rwlock);
    cacheClear();
    pthread_rwlock_unlock(&rwlock);
    model.clear();
    model_available = BUDGET;
    return 0;
}
