// What the cache-model targets share. Included once by each
// *_cache_fuzz.cpp, before the cache's source, which the target compiles in
// with macros that rename its calls to the stand-ins below:
//   - its clock to the scripted one, so that the model knows every stamp
//     exactly: time() to fuzz_time(), whole seconds (a function-like macro,
//     which leaves an entry's field named `time` alone), or clock_gettime()
//     to fuzz_clock_gettime(), milliseconds and a part of one;
//   - malloc() and realloc() to ones that fail on demand;
//   - strcmp() to fuzz_strcmp(). The keys are the model's, never the input's
//     bytes: the fuzzer's hook on every strcmp (to learn the strings
//     compared) took a third of the time and could learn nothing. This one
//     is still checked by the address sanitizer byte by byte, with no
//     coverage hook.
// Then the objects' byte pattern, the model's record of an entry, the
// fuzzer's entry points, which run an input's steps through the functions
// each target defines, and the sanitizer's options.
//
// The model's own functions are not instrumented for coverage
// (no_sanitize): only the cache's code guides the fuzzer, and tracing every
// compare of the model's scans cost a fifth of the time.
#ifndef FUZZ_CACHE_MODEL_H
#define FUZZ_CACHE_MODEL_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "report.h"

// ---- The scripted clock ----
inline time_t scripted_now = 1000000000;         // seconds, for time()
inline long long scripted_ms = 1700000000000LL;  // milliseconds since the epoch
inline long scripted_sub_ms_ns = 0;              // 0 .. 999999 on top of them

inline time_t fuzz_time(time_t *t) {
    if (t != nullptr) *t = scripted_now;
    return scripted_now;
}

inline int fuzz_clock_gettime(clockid_t, struct timespec *ts) {
    ts->tv_sec = (time_t)(scripted_ms / 1000);
    ts->tv_nsec = (long)(scripted_ms % 1000) * 1000000L + scripted_sub_ms_ns;
    return 0;
}

// ---- Allocations: the n-th next one fails; 0, none does ----
inline int malloc_fails_in = 0;
inline int realloc_fails_in = 0;

inline void *fuzz_malloc(size_t n) {
    if (malloc_fails_in > 0 && --malloc_fails_in == 0) return nullptr;
    return malloc(n);
}

inline void *fuzz_realloc(void *p, size_t n) {
    if (realloc_fails_in > 0 && --realloc_fails_in == 0) return nullptr;
    return realloc(p, n);
}

__attribute__((no_sanitize("coverage")))
inline int fuzz_strcmp(const char *a, const char *b) {
    while (*a != '\0' && *a == *b) {
        a++;
        b++;
    }
    return (unsigned char)*a - (unsigned char)*b;
}

// ---- The objects' bytes ----
// Runs of RUN equal bytes that depend on the object (its id) and the run,
// cheap to make and to compare. The cache is built with its byte limits
// divided by CACHE_BYTES_SCALE (programs.cmake): budget, largest object and
// record charge keep their ratios, and an input fills and evicts with a
// sixteenth of the bytes, all of them reused memory rather than fresh pages.
constexpr size_t RUN = 4096 / CACHE_BYTES_SCALE;

inline char byte_of(unsigned id, size_t i) { return (char)((id * 131 + i / RUN * 29) & 0xff); }

__attribute__((no_sanitize("coverage")))
inline void fill_bytes(char *p, unsigned id, size_t size) {
    for (size_t i = 0; i < size; i += RUN) memset(p + i, byte_of(id, i), size - i < RUN ? size - i : RUN);
}

// In one buffer reused from one insertion to the next.
__attribute__((no_sanitize("coverage")))
inline const std::string &bytes_for(unsigned id, size_t size) {
    static std::string s;
    s.resize(size);
    fill_bytes(&s[0], id, size);
    return s;
}

// The bytes at p against the object's: the first and the last, and with
// `all` one in each run besides (where in the run depends on the object).
// Every run holds one byte value, so a run cut short, shifted or taken from
// another object shows at its sample; a whole compare would find nothing
// more and cost a pass over every byte.
__attribute__((no_sanitize("coverage")))
inline bool same_bytes(const char *p, unsigned id, size_t size, bool all) {
    if (size == 0) return true;
    if (p[0] != byte_of(id, 0) || p[size - 1] != byte_of(id, size - 1)) return false;
    if (!all) return true;
    for (size_t i = (id * 2731u) % RUN; i < size; i += RUN) {
        if (p[i] != byte_of(id, i)) return false;
    }
    return true;
}

// An entry's size and bytes against the object it was given.
__attribute__((no_sanitize("coverage")))
inline void check_entry_bytes(const char *data, long have, long size, unsigned id, bool all) {
    if (have != size) fuzz_fail("an entry's size changed");
    if (size > 0 && data == nullptr) fuzz_fail("an entry lost its bytes");
    if (!same_bytes(data, id, (size_t)size, all)) {
        fuzz_fail("an entry's bytes changed", "size " + std::to_string(size));
    }
}

// URL keys: those that differ in letter case or by a trailing slash are
// different keys, so that only an exact match may hit. Made once each.
inline const std::string &url_key(unsigned k, const char *lower, const char *upper) {
    static std::string keys[256];
    std::string &key = keys[k & 255];
    if (key.empty()) key = ((k & 1) ? upper : lower) + std::to_string(k / 4) + ((k & 2) ? "/" : "");
    return key;
}

// ---- The model ----
// One entry as the model holds it; `entry` is the cache's record where the
// target sees it (its identity is checked), else null.
struct model_entry_t {
    unsigned k;  // which key
    const void *entry;
    std::string key;
    long size;
    unsigned id;  // chooses the bytes
    long long stamp;
};
inline std::vector<model_entry_t> model;

// The entry with the earliest stamp, ties to the one nearest the front of
// `model`; model must not be empty.
__attribute__((no_sanitize("coverage")))
inline size_t oldest_entry(void) {
    size_t victim = 0;
    for (size_t i = 1; i < model.size(); i++) {
        if (model[i].stamp < model[victim].stamp) victim = i;
    }
    return victim;
}

// The first entry with key k, or null.
__attribute__((no_sanitize("coverage")))
inline model_entry_t *find_entry(unsigned k) {
    for (model_entry_t &m : model) {
        if (m.k == k) return &m;
    }
    return nullptr;
}

// ---- The steps ----
// An input is a sequence of steps, each an operation byte (taken modulo 8)
// and its arguments, zeros past the input's end: 0-2 an insertion (a key, a
// size class and two bytes of size), 3-4 a lookup (a key), 5 and 6 the
// target's own, 7 a burst of insertions (a count). Steps run while the input
// has bytes and neither of its limits is reached; the model's check follows
// every step, the cache's own the last.
struct steps_t {
    const uint8_t *data;
    size_t size, pos;
};

inline uint8_t next_byte(steps_t *s) { return s->pos < s->size ? s->data[s->pos++] : 0; }

// Counted by the target's insertions: each makes a scan of the cache and
// the model, and object bytes to make and check.
inline size_t inserts_made = 0, bytes_made = 0;

// ---- Defined by each cache target ----
extern const size_t INSERTS_PER_INPUT, BYTES_PER_INPUT;
void target_init(void);
void target_insert(uint8_t k, uint8_t cls, uint8_t a, uint8_t b);
void target_lookup(uint8_t k);
void target_own_step(uint8_t op, steps_t *s);
void target_burst(uint8_t n);
void target_check(void);      // the model's check, after every step
void target_end_input(void);  // the cache's own check, then both emptied

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    target_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    steps_t s = {data, size, 0};
    inserts_made = 0;
    bytes_made = 0;
    while (s.pos < size && inserts_made < INSERTS_PER_INPUT && bytes_made < BYTES_PER_INPUT) {
        const uint8_t op = next_byte(&s) % 8;
        if (op <= 2) {
            uint8_t k = next_byte(&s), cls = next_byte(&s), a = next_byte(&s), b = next_byte(&s);
            target_insert(k, cls, a, b);
        } else if (op <= 4) {
            target_lookup(next_byte(&s));
        } else if (op <= 6) {
            target_own_step(op, &s);
        } else {
            target_burst(next_byte(&s));
        }
        target_check();
    }
    target_end_input();
    return 0;
}

// A small quarantine keeps freed memory warm for the next allocations (the
// default's 256 MB cycled every allocation through cold lines); 4 MB still
// holds many times what one step frees, and every step is checked, so a read
// of memory freed in that step is still caught. Eight frames of allocation
// stack name the cache function and the step.
extern "C" const char *__asan_default_options(void) {
    return "quarantine_size_mb=4:max_malloc_fill_size=0:malloc_context_size=8";
}

#endif  // FUZZ_CACHE_MODEL_H
