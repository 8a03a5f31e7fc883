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
// The clock: stamps are whole seconds from time(), which comes to the
// scripted clock (cache_model.h); malloc() comes to the stand-in, so that an
// insertion's copies can be made to fail. "Successfully cached." goes to
// standard output, which is sent to /dev/null.
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
#include "cache_model.h"

#define time(t) fuzz_time(t)
#define malloc(n) fuzz_malloc(n)
#define strcmp fuzz_strcmp
#include "../stageproxy/cache.cpp"
#undef strcmp
#undef malloc
#undef time

constexpr int BUDGET = MAX_CACHE_SIZE;
const size_t BYTES_PER_INPUT = 6 * (size_t)BUDGET;
// Nor more than so many insertions: long inputs of small bursts reached
// nothing that a few dozen insertions do not (the budget fills with a dozen
// large responses).
const size_t INSERTS_PER_INPUT = 64;

namespace {

constexpr size_t MAX_HELD = 8;

struct held_t {
    cacheEntry *entry;
    int size;
    unsigned id;
};

// The model's entries (cache_model.h) front (newest) first.
int model_available = BUDGET;
std::vector<held_t> held;
unsigned next_id = 1;
constexpr unsigned KEYS = 24;

const std::string &key_for(unsigned k) {
    return url_key(k, "http://origin/obj", "http://Origin/obj");
}

__attribute__((no_sanitize("coverage")))
void check_all(void) {
    if (available != model_available) {
        fuzz_fail("wrong budget", std::to_string(available) + " available instead of " +
                                      std::to_string(model_available));
    }
    const cacheEntry *e = head;
    for (size_t i = 0; i < model.size(); i++, e = e->next) {
        const model_entry_t &m = model[i];
        // Only a failure spells out where.
        auto where = [&] { return "entry " + std::to_string(i) + " (" + m.key + ")"; };
        if (e != m.entry) fuzz_fail("the wrong entry in the list", where());
        if (m.key != e->url) fuzz_fail("wrong key", where());
        if (e->time.load() != m.stamp) {
            fuzz_fail("wrong stamp", where() + ": " + std::to_string(e->time.load()) +
                                         " instead of " + std::to_string(m.stamp));
        }
        check_entry_bytes(e->data, e->size, m.size, m.id, false);
    }
    if (e != nullptr) fuzz_fail("more entries than the model holds");
    for (const held_t &h : held) {
        check_entry_bytes(h.entry->data, h.entry->size, h.size, h.id, false);
    }
}

// An entry's whole charge: response, key with its terminator, record.
int model_charge(const std::string &key, int size) {
    return size + (int)key.size() + 1 + ENTRY_RECORD_CHARGE;
}

__attribute__((no_sanitize("coverage")))
void model_evict(void) {
    if (model.empty()) return;
    const size_t victim = oldest_entry();
    model_available += model_charge(model[victim].key, model[victim].size);
    model.erase(model.begin() + (long)victim);
}

__attribute__((no_sanitize("coverage")))
void insert(unsigned k, int length, int fail_malloc) {
    unsigned id = next_id++;
    inserts_made++;
    const std::string &key = key_for(k);
    const bool fits = length >= 0 && model_charge(key, length) <= BUDGET;
    const std::string &bytes = bytes_for(id, fits && length > 0 ? (size_t)length : 0);
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
        fuzz_fail("cacheInsert's result is wrong", std::to_string(stored) + " for " +
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
    model_entry_t *want = find_entry(k);
    if (want != nullptr) want->stamp = scripted_now;
    if (got != (want != nullptr ? want->entry : nullptr)) {
        fuzz_fail("a lookup found the wrong entry", key);
    }
    if (got == nullptr) return;
    check_entry_bytes(got->data, got->size, want->size, want->id, true);
    held.push_back({got, (int)want->size, want->id});
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

void target_init(void) {
    if (freopen("/dev/null", "w", stdout) == nullptr) fuzz_fail("cannot silence stdout");
    initCache();
}

void target_insert(uint8_t k, uint8_t cls, uint8_t a, uint8_t b) {
    // Bits 4-5 of the class: none, the first or the second malloc of the
    // insertion fails (the key's copy, the data's).
    insert(k % KEYS, length_from(cls, a, b), ((cls >> 4) & 3) % 3);
}

void target_lookup(uint8_t k) { lookup(k % KEYS); }

void target_own_step(uint8_t op, steps_t *s) {
    if (op == 5) {
        scripted_now += next_byte(s) % 3;  // often the same second: ties
    } else if (next_byte(s) & 1) {
        pthread_rwlock_wrlock(&rwlock);
        evict();
        pthread_rwlock_unlock(&rwlock);
        model_evict();
    } else if (!held.empty()) {
        cacheRelease(held.front().entry);
        held.erase(held.begin());
    }
}

// A burst of small insertions, duplicates among them.
void target_burst(uint8_t n) {
    for (unsigned i = 0; i < n % 16u && inserts_made < INSERTS_PER_INPUT; i++) {
        insert((n + i) % KEYS, (int)i, 0);
    }
}

void target_check(void) { check_all(); }

// The cache's own check walks the list again for what the model's check
// (check_all) holds after every step (every entry, key, stamp and the budget), so
// it runs once an input, before the list is emptied.
void target_end_input(void) {
    const char *broken = cacheCheckInvariants();
    if (broken != nullptr) fuzz_fail("cacheCheckInvariants failed", broken);
    for (const held_t &h : held) cacheRelease(h.entry);
    held.clear();
    pthread_rwlock_wrlock(&rwlock);
    cacheClear();
    pthread_rwlock_unlock(&rwlock);
    model.clear();
    model_available = BUDGET;
}
