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
// The clock: stamps are wall-clock milliseconds from clock_gettime(), which
// comes to the scripted clock (cache_model.h), sub-millisecond part
// included. The trace lines go to standard output, which is sent to
// /dev/null.
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
#include "cache_model.h"

#define clock_gettime fuzz_clock_gettime
#define strcmp fuzz_strcmp
#include "../stampproxy/cache.cpp"
#undef strcmp
#undef clock_gettime

constexpr ssize_t BUDGET = MAX_CACHE_SIZE;

// Each input may make only so many object bytes; what comes after is not run
// (a few turns of the budget suffice).
const size_t BYTES_PER_INPUT = 6 * (size_t)BUDGET;
// Nor more than so many insertions: long inputs of small bursts reached
// nothing that a few dozen insertions do not (the budget fills with a dozen
// large objects).
const size_t INSERTS_PER_INPUT = 64;

namespace {

// The model's entries (cache_model.h) newest insertion first.
ssize_t model_size = 0;
ssize_t model_charged = 0;  // object, key and record charges
unsigned next_id = 1;

// A malloc'd block of `alloc` bytes whose first `size` are the object's.
__attribute__((no_sanitize("coverage")))
char *make_object(unsigned id, size_t size, size_t alloc) {
    char *p = static_cast<char *>(malloc(alloc > 0 ? alloc : 1));
    if (p == nullptr) fuzz_fail("out of memory");
    fill_bytes(p, id, size);
    return p;
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
    if (p == nullptr) fuzz_fail("out of memory");
    memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

__attribute__((no_sanitize("coverage")))
void check_all(void) {
    if (proxy_cache->item_count != (int)model.size() || proxy_cache->size != model_size ||
        proxy_cache->charged != model_charged) {
        fuzz_fail("wrong count or size", std::to_string(proxy_cache->item_count) + " entries of " +
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
            fuzz_fail("wrong key", where());
        }
        if (e->object_size != m.size || !same_bytes(e->object, m.id, (size_t)m.size, false)) {
            fuzz_fail("wrong object", where());
        }
        if (e->last_access.load() != m.stamp) {
            fuzz_fail("wrong stamp", where() + ": " + std::to_string(e->last_access.load()) +
                                         " instead of " + std::to_string(m.stamp));
        }
    }
    if (e != proxy_cache->dummy_tail) fuzz_fail("more entries than the model holds");
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
    if (key_copy != nullptr || object != nullptr) fuzz_fail("add_to_cache left the caller's pointers set");

    const ssize_t charge = size + (ssize_t)key.size() + 1 + ENTRY_RECORD_CHARGE;
    if (size <= 0 || charge > BUDGET) return;  // released, not stored
    model_entry_t *present = find_entry(k);
    if (present != nullptr) {
        present->stamp = scripted_ms;
        return;
    }
    while (model_charged + charge > BUDGET && !model.empty()) {
        const size_t victim = oldest_entry();
        model_size -= model[victim].size;
        model_charged -= model[victim].size + (ssize_t)model[victim].key.size() + 1 +
                         ENTRY_RECORD_CHARGE;
        model.erase(model.begin() + (long)victim);
    }
    model.insert(model.begin(), {k, nullptr, key, size, id, scripted_ms});
    model_size += size;
    model_charged += charge;
}

__attribute__((no_sanitize("coverage")))
void lookup(unsigned k) {
    const std::string &key = key_for(k);
    char sentinel = 0;
    char *copy = &sentinel;
    ssize_t n = check_cache(key.c_str(), &copy);
    model_entry_t *m = find_entry(k);
    if (m == nullptr) {
        if (n != 0 || copy != &sentinel) fuzz_fail("a miss answered or touched the pointer", key);
        return;
    }
    m->stamp = scripted_ms;
    bytes_made += (size_t)n;
    if (n != m->size || copy == &sentinel || !same_bytes(copy, m->id, (size_t)n, true)) {
        fuzz_fail("a hit gave the wrong bytes", key);
    }
    free(copy);
}

__attribute__((no_sanitize("coverage")))
void duplicate_test(unsigned k) {
    const std::string &key = key_for(k);
    pthread_rwlock_wrlock(&rw_cache_lock);
    int found = is_in_cache(key.c_str());
    pthread_rwlock_unlock(&rw_cache_lock);
    model_entry_t *m = find_entry(k);
    if (found != (m != nullptr ? 1 : 0)) fuzz_fail("is_in_cache is wrong", key);
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

void target_init(void) {
    // The cache traces every operation on standard output.
    if (freopen("/dev/null", "w", stdout) == nullptr) fuzz_fail("cannot silence stdout");
    init_cache();
}

void target_insert(uint8_t k, uint8_t cls, uint8_t a, uint8_t b) {
    insert(k % KEYS, size_from(cls, a, b), (cls & 0x10) != 0);
}

void target_lookup(uint8_t k) { lookup(k % KEYS); }

void target_own_step(uint8_t op, steps_t *s) {
    if (op == 5) {
        duplicate_test(next_byte(s) % KEYS);
        return;
    }
    // Often within the same millisecond: ties.
    uint8_t step = next_byte(s);
    scripted_ms += step % 4 == 0 ? 0 : step % 1500;
    scripted_sub_ms_ns = (long)next_byte(s) * 3921;  // 0 .. 999855
}

// A burst of small insertions of one key pattern.
void target_burst(uint8_t n) {
    for (unsigned i = 0; i < n % 16u && inserts_made < INSERTS_PER_INPUT; i++) {
        insert((n + i) % KEYS, 1 + (ssize_t)i, false);
    }
}

void target_check(void) { check_all(); }

// The cache's own check compares every pair of keys, which after every step
// took a third of the time; the model's check (check_all) walks the same list and
// holds every count, key, size and charge to the model after every step, so
// the cache's own runs once an input, before the list is emptied.
void target_end_input(void) {
    const char *broken = cache_check_invariants();
    if (broken != nullptr) fuzz_fail("cache_check_invariants failed", broken);
    cache_clear();
    model.clear();
    model_size = 0;
    model_charged = 0;
}
