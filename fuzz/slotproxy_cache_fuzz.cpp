// Fuzzes slotproxy's slot table with sequences of insertions, lookups, clock
// steps, held and released hits, and failed allocations, checking the table
// after every step against a model of its rules: each entry charged its size
// plus ENTRY_CHARGE; a full table doubles when the budget has room for the
// new body, otherwise entries are evicted while cache_size + size >=
// MAX_CACHE_SIZE, the least recently stamped first, ties to the lowest slot, the last entry moving into
// the hole; lookups return the lowest slot with the key and re-stamp it;
// duplicate keys are kept side by side. A hit that is held while its entry
// is evicted must keep its bytes until it is released.
//
// The clock: stamps come from time(), whole seconds, so most of the rule is
// about ties. cache.cpp is compiled into this file with its time() calls
// renamed by a function-like macro to fuzz_time(), which returns the
// scripted clock; being function-like, the macro leaves the entry's field
// named `time` alone. realloc() and malloc() are renamed the same way so
// that the table's growth and an entry's allocation can be made to fail.
// The cache's strcmp() calls come to fuzz_strcmp(), which the fuzzer does
// not hook. The byte limits are divided by CACHE_BYTES_SCALE (programs.cmake).
//
// Input: a sequence of steps, each one byte of operation and its arguments.
#include <assert.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "../slotproxy/cache.h"
#include "robix.h"

static time_t scripted_now = 1000000000;
static bool fail_next_realloc = false;
static bool fail_next_malloc = false;

static time_t fuzz_time(time_t *t) {
    if (t != nullptr) *t = scripted_now;
    return scripted_now;
}

static void *fuzz_realloc(void *p, size_t n) {
    if (fail_next_realloc) {
        fail_next_realloc = false;
        return nullptr;
    }
    return realloc(p, n);
}

static void *fuzz_malloc(size_t n) {
    if (fail_next_malloc) {
        fail_next_malloc = false;
        return nullptr;
    }
    return malloc(n);
}

#include "unhooked_strcmp.h"

#define time(t) fuzz_time(t)
#define realloc(p, n) fuzz_realloc(p, n)
#define malloc(n) fuzz_malloc(n)
#define strcmp fuzz_strcmp
#include "../slotproxy/cache.cpp"
#undef strcmp
#undef malloc
#undef realloc
#undef time

namespace {

// The model's own functions are not instrumented for coverage (no_sanitize
// below): only the cache's code guides the fuzzer, and tracing every compare
// of the model's scans cost a fifth of the time.

// The cache is built with its byte limits divided by CACHE_BYTES_SCALE (see
// programs.cmake): budget, largest body and entry charge keep their ratios,
// and an input fills and evicts with a sixteenth of the bytes.
constexpr int BUDGET = 1048576 / CACHE_BYTES_SCALE;
constexpr int CHARGE = ENTRY_CHARGE;
constexpr int LARGEST = 102400 / CACHE_BYTES_SCALE - 1;  // one below the relay's largest, scaled
constexpr size_t MAX_HELD = 8;

struct model_entry_t {
    unsigned k;  // which key
    web_object *object;  // the record handed in: identity is checked
    std::string key;
    int size;
    unsigned id;  // chooses the bytes
    time_t stamp;
};

struct held_t {
    web_object *object;
    int size;
    unsigned id;
};

std::vector<model_entry_t> model;  // slot order
int model_blocks = 50;
long long model_charged = 0;
std::vector<held_t> held;  // hits not yet released
unsigned next_id = 1;
// No more than so many insertions an input: each costs a scan of the table
// in the cache and in the model; enough for the table's first two growths
// (50 and 100 entries) and for the budget to fill and evict.
constexpr size_t INSERTS_PER_INPUT = 128;
size_t inserts_made = 0;
constexpr unsigned KEYS = 24;

// An entry's bytes: runs of 4096 equal bytes that depend on the entry and on
// the run, cheap to make and to compare.
constexpr size_t RUN = 4096 / CACHE_BYTES_SCALE;

char byte_of(unsigned id, size_t i) { return (char)((id * 131 + i / RUN * 29) & 0xff); }

// In one buffer reused from one insertion to the next.
__attribute__((no_sanitize("coverage")))
const std::string &bytes_for(unsigned id, int size) {
    static std::string s;
    s.resize((size_t)size);
    for (size_t i = 0; i < s.size(); i += RUN) {
        memset(&s[i], byte_of(id, i), s.size() - i < RUN ? s.size() - i : RUN);
    }
    return s;
}

// Keys differ in letter case and by a trailing slash too, so that only an
// exact match may hit.
const std::string &key_for(unsigned k) {
    static std::string keys[KEYS];  // made once
    if (!keys[k].empty()) return keys[k];
    std::string key = (k & 1) ? "http://Origin:8080/obj" : "http://origin:8080/obj";
    key += std::to_string(k / 4);
    if (k & 2) key += "/";
    keys[k] = key;
    return keys[k];
}

[[noreturn]] void fail(const char *what, const std::string &detail = std::string()) {
    fprintf(stderr, "\n==== fuzz check failed: %s\n%s\n====\n", what, detail.c_str());
    abort();
}

// The bytes at an entry, spot-checked at both ends, and on a hit also one in
// each run (where in the run depends on the entry): every run holds one
// value, so a run cut short, shifted or taken from another entry shows.
__attribute__((no_sanitize("coverage")))
void check_bytes(const web_object *o, int size, unsigned id, bool all) {
    if (o->size != size) fail("an entry's size changed");
    if (size > 0 && o->data == nullptr) fail("an entry lost its bytes");
    if (size == 0) return;
    bool same = o->data[0] == byte_of(id, 0) && o->data[size - 1] == byte_of(id, (size_t)size - 1);
    for (size_t i = (id * 2731u) % RUN; all && same && i < (size_t)size; i += RUN) {
        same = o->data[i] == byte_of(id, i);
    }
    if (!same) fail("an entry's bytes changed", "size " + std::to_string(size));
}

// The cache's own check walks the table again for what the model's check
// below holds after every step (every slot's entry, key, size, stamp and
// bytes, the counts and the charge; a live entry released early is freed
// memory to the address sanitizer), so it runs once an input, before the
// table is emptied, where it also sees that every lookup let the table go.
void check_invariants(void) {
    if (!cache_check_invariants()) fail("cache_check_invariants failed");
}

__attribute__((no_sanitize("coverage")))
void check_all(void) {
    if (filled_blocks != (int)model.size()) {
        fail("wrong number of entries", std::to_string(filled_blocks) + " instead of " +
                                            std::to_string(model.size()));
    }
    if (total_blocks != model_blocks) {
        fail("wrong table size", std::to_string(total_blocks) + " instead of " +
                                     std::to_string(model_blocks));
    }
    if (cache_size != model_charged) {
        fail("wrong charged size", std::to_string(cache_size) + " instead of " +
                                       std::to_string(model_charged));
    }
    for (size_t i = 0; i < model.size(); i++) {
        const web_object *o = cache[i];
        const model_entry_t &m = model[i];
        if (o != m.object) fail("the wrong entry in a slot", "slot " + std::to_string(i));
        if (m.key != o->uri) fail("an entry's key changed", "slot " + std::to_string(i));
        if (o->time.load() != m.stamp) {
            fail("an entry's stamp differs", "slot " + std::to_string(i) + ": " +
                                                 std::to_string(o->time.load()) + " instead of " +
                                                 std::to_string(m.stamp));
        }
        check_bytes(o, m.size, m.id, false);
    }
    for (const held_t &h : held) check_bytes(h.object, h.size, h.id, false);
}

__attribute__((no_sanitize("coverage")))
void insert(unsigned k, int size, bool fail_growth, bool fail_alloc) {
    unsigned id = next_id++;
    inserts_made++;
    const std::string &key = key_for(k);
    const std::string &bytes = bytes_for(id, size);
    fail_next_malloc = fail_alloc;
    web_object *o = cache_new_object(key.c_str(), bytes.data(), size);
    bool alloc_failed = fail_alloc && size > 0;
    fail_next_malloc = false;
    if (alloc_failed) {
        if (o != nullptr) fail("an entry was made though its bytes could not be had");
        return;
    }
    if (o == nullptr) fail("cache_new_object failed without cause");
    if (o->refcnt.load() != 1) fail("a new entry does not hold exactly the table's reference");

    bool stored = true;
    if ((int)model.size() == model_blocks && BUDGET - size > model_charged) {
        if (fail_growth) {
            stored = false;  // the table stays as it was; the entry is released
        } else {
            model_blocks *= 2;
        }
    } else {
        while (BUDGET - size <= model_charged && !model.empty()) {
            size_t victim = 0;
            for (size_t i = 1; i < model.size(); i++) {
                if (model[i].stamp < model[victim].stamp) victim = i;
            }
            model_charged -= model[victim].size + CHARGE;
            model[victim] = model.back();
            model.pop_back();
        }
    }
    if (stored) {
        model.push_back({k, o, key, size, id, scripted_now});
        model_charged += size + CHARGE;
    }
    fail_next_realloc = fail_growth;
    write_to_cache(o);
    // A growth that was to fail but never came must not leak into a later step.
    fail_next_realloc = false;
}

__attribute__((no_sanitize("coverage")))
void lookup(unsigned k) {
    const std::string &key = key_for(k);
    web_object *got = check_cache(key.c_str());
    const model_entry_t *want = nullptr;
    for (model_entry_t &m : model) {
        if (m.k == k) {
            m.stamp = scripted_now;
            want = &m;
            break;
        }
    }
    if (got != (want != nullptr ? want->object : nullptr)) {
        fail("a lookup returned the wrong entry", key);
    }
    if (got == nullptr) return;
    check_bytes(got, want->size, want->id, true);
    held.push_back({got, want->size, want->id});
    if (held.size() > MAX_HELD) {
        cache_release(held.front().object);
        held.erase(held.begin());
    }
}

int size_from(uint8_t cls, uint8_t a, uint8_t b) {
    unsigned v = ((unsigned)a << 8) | b;
    switch (cls % 4) {
        case 0: return 0;
        case 1: return (int)(v % 200);
        case 2: return (int)(v % (20000 / CACHE_BYTES_SCALE));
        default: return LARGEST - (int)(v % (40000 / CACHE_BYTES_SCALE));
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
    cache_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t pos = 0;
    auto next = [&]() -> uint8_t { return pos < size ? data[pos++] : 0; };
    inserts_made = 0;
    while (pos < size && inserts_made < INSERTS_PER_INPUT) {
        uint8_t op = next();
        switch (op % 8) {
            case 0:
            case 1:
            case 2: {
                uint8_t k = next(), cls = next(), a = next(), b = next();
                insert(k % KEYS, size_from(cls, a, b), (cls & 0x40) != 0, (cls & 0x80) != 0);
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
                if (!held.empty()) {
                    cache_release(held.front().object);
                    held.erase(held.begin());
                }
                break;
            default: {
                // A burst of small insertions: fills the table to its growths.
                uint8_t n = next();
                for (unsigned i = 0; i < n % 32u && inserts_made < INSERTS_PER_INPUT; i++) {
                    insert((n + i) % KEYS, (100 + (int)i) / CACHE_BYTES_SCALE, false, false);
                }
                break;
            }
        }
        check_all();
    }
    check_invariants();
    for (const held_t &h : held) cache_release(h.object);
    held.clear();
    cache_free_all();
    cache_init();
    model.clear();
    model_blocks = 50;
    model_charged = 0;
    return 0;
}
