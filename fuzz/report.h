// What every fuzz target shares, in process or over loopback: the expansion
// of a fuzz input's short codes into long runs, and the report of a failed
// check. No state; callable from any thread.
#ifndef FUZZ_REPORT_H
#define FUZZ_REPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

// Expands the bytes of a fuzz input: 0xFF, k, c stands for (k + 1) * unit
// copies of c, so short inputs reach the long-line limits. The result is cut
// at `cap` bytes, into `out`, whose storage is reused.
void expand_input_into(const uint8_t *data, size_t size, size_t cap, std::string &out,
                       size_t unit = 32);

// One step of a small generator (xorshift32, where 0 stays 0): the new
// state, also stored in *state.
inline uint32_t next_random(uint32_t *state) {
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

// Prints "==== fuzz check failed: <what>" and the bytes involved on standard
// error, then aborts, which the fuzzer records as a crash.
[[noreturn]] void fuzz_fail(const char *what, const std::string &detail = std::string());
// The bytes as readable text: CR and LF named, other controls and bytes
// above 126 in hex, cut after `limit` bytes with the whole size said.
std::string escaped(const std::string &bytes, size_t limit = 600);

#endif  // FUZZ_REPORT_H
