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
// about ties; time() comes to the scripted clock (cache_model.h), and
// realloc() and malloc() to the stand-ins, so that the table's growth and an
// entry's allocation can be made to fail.
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
#include "cache_model.h"
#include "robix.h"

#define time(t) fuzz_time(t)
#define realloc(p, n) fuzz_realloc(p, n)
#define malloc(n) fuzz_malloc(n)
#define strcmp fuzz_strcmp
#include "../slotproxy/cache.cpp"
#undef strcmp
#undef malloc
#undef realloc
#undef time

// No more than so many insertions an input: enough for the table's first
// two growths (50 and 100 entries) and for the budget to fill and evict. The
// objects are small enough to need no limit of their own.
const size_t INSERTS_PER_INPUT = 128;
const size_t BYTES_PER_INPUT = SIZE_MAX;

namespace {

constexpr int BUDGET = 1048576 / CACHE_BYTES_SCALE;
constexpr int CHARGE = ENTRY_CHARGE;
constexpr int LARGEST = 102400 / CACHE_BYTES_SCALE - 1;  // one below the relay's largest, scaled
constexpr size_t MAX_HELD = 8;

struct held_t {
    web_object *object;
    int size;
    unsigned id;
};

// The model's entries (cache_model.h) in slot order.
int model_blocks = 50;
long long model_charged = 0;
std::vector<held_t> held;  // hits not yet released
unsigned next_id = 1;
constexpr unsigned KEYS = 24;

const std::string &key_for(unsigned k) {
    return url_key(k, "http://origin:8080/obj", "http://Origin:8080/obj");
}

__attribute__((no_sanitize("coverage")))
void check_all(void) {
    if (filled_blocks != (int)model.size()) {
        fuzz_fail("wrong number of entries", std::to_string(filled_blocks) + " instead of " +
                                                 std::to_string(model.size()));
    }
    if (total_blocks != model_blocks) {
        fuzz_fail("wrong table size", std::to_string(total_blocks) + " instead of " +
                                          std::to_string(model_blocks));
    }
    if (cache_size != model_charged) {
        fuzz_fail("wrong charged size", std::to_string(cache_size) + " instead of " +
                                            std::to_string(model_charged));
    }
    for (size_t i = 0; i < model.size(); i++) {
        const web_object *o = cache[i];
        const model_entry_t &m = model[i];
        if (o != m.entry) fuzz_fail("the wrong entry in a slot", "slot " + std::to_string(i));
        if (m.key != o->uri) fuzz_fail("an entry's key changed", "slot " + std::to_string(i));
        if (o->time.load() != m.stamp) {
            fuzz_fail("an entry's stamp differs", "slot " + std::to_string(i) + ": " +
                                                      std::to_string(o->time.load()) +
                                                      " instead of " + std::to_string(m.stamp));
        }
        check_entry_bytes(o->data, o->size, m.size, m.id, false);
    }
    for (const held_t &h : held) {
        check_entry_bytes(h.object->data, h.object->size, h.size, h.id, false);
    }
}

__attribute__((no_sanitize("coverage")))
void insert(unsigned k, int size, bool fail_growth, bool fail_alloc) {
    unsigned id = next_id++;
    inserts_made++;
    const std::string &key = key_for(k);
    const std::string &bytes = bytes_for(id, (size_t)size);
    malloc_fails_in = fail_alloc ? 1 : 0;
    web_object *o = cache_new_object(key.c_str(), bytes.data(), size);
    bool alloc_failed = fail_alloc && size > 0;
    malloc_fails_in = 0;
    if (alloc_failed) {
        if (o != nullptr) fuzz_fail("an entry was made though its bytes could not be had");
        return;
    }
    if (o == nullptr) fuzz_fail("cache_new_object failed without cause");
    if (o->refcnt.load() != 1) fuzz_fail("a new entry does not hold exactly the table's reference");

    bool stored = true;
    if ((int)model.size() == model_blocks && BUDGET - size > model_charged) {
        if (fail_growth) {
            stored = false;  // the table stays as it was; the entry is released
        } else {
            model_blocks *= 2;
        }
    } else {
        while (BUDGET - size <= model_charged && !model.empty()) {
            const size_t victim = oldest_entry();
            model_charged -= model[victim].size + CHARGE;
            model[victim] = model.back();
            model.pop_back();
        }
    }
    if (stored) {
        model.push_back({k, o, key, size, id, scripted_now});
        model_charged += size + CHARGE;
    }
    realloc_fails_in = fail_growth ? 1 : 0;
    write_to_cache(o);
    // A growth that was to fail but never came must not leak into a later step.
    realloc_fails_in = 0;
}

__attribute__((no_sanitize("coverage")))
void lookup(unsigned k) {
    const std::string &key = key_for(k);
    web_object *got = check_cache(key.c_str());
    model_entry_t *want = find_entry(k);
    if (want != nullptr) want->stamp = scripted_now;
    if (got != (want != nullptr ? want->entry : nullptr)) {
        fuzz_fail("a lookup returned the wrong entry", key);
    }
    if (got == nullptr) return;
    check_entry_bytes(got->data, got->size, want->size, want->id, true);
    held.push_back({got, (int)want->size, want->id});
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

void target_init(void) { cache_init(); }

void target_insert(uint8_t k, uint8_t cls, uint8_t a, uint8_t b) {
    insert(k % KEYS, size_from(cls, a, b), (cls & 0x40) != 0, (cls & 0x80) != 0);
}

void target_lookup(uint8_t k) { lookup(k % KEYS); }

void target_own_step(uint8_t op, steps_t *s) {
    if (op == 5) {
        scripted_now += next_byte(s) % 3;  // often the same second: ties
    } else if (!held.empty()) {
        cache_release(held.front().object);
        held.erase(held.begin());
    }
}

// A burst of small insertions: fills the table to its growths.
void target_burst(uint8_t n) {
    for (unsigned i = 0; i < n % 32u && inserts_made < INSERTS_PER_INPUT; i++) {
        insert((n + i) % KEYS, (100 + (int)i) / CACHE_BYTES_SCALE, false, false);
    }
}

void target_check(void) { check_all(); }

// The cache's own check walks the table again for what the model's check
// (check_all) holds after every step (every slot's entry, key, size, stamp and
// bytes, the counts and the charge; a live entry released early is freed
// memory to the address sanitizer), so it runs once an input, before the
// table is emptied, where it also sees that every lookup let the table go.
void target_end_input(void) {
    if (!cache_check_invariants()) fuzz_fail("cache_check_invariants failed");
    for (const held_t &h : held) cache_release(h.object);
    held.clear();
    cache_free_all();
    cache_init();
    model.clear();
    model_blocks = 50;
    model_charged = 0;
}
