// What the three request targets share around their own models: the fuzz
// input's layout and its rounds (the browser's bytes on one connection,
// served by the program's handler over loopback.h, once or twice against the
// one cache), each checked against what the model predicted (the name looked
// up, the port connected, the bytes the origin and the browser received, what
// the cache holds). request_rounds.cpp holds the fuzzer's entry points; the
// target defines the functions below that make it one program's.
#ifndef FUZZ_REQUEST_ROUNDS_H
#define FUZZ_REQUEST_ROUNDS_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "c_text.h"
#include "loopback.h"

// Byte 0 of an input chooses the exchange: bits 0-2 the origin's response,
// bit 3 send the same bytes on a second connection, bit 4 the browser closes
// as soon as it has sent, bit 5 the origin refuses the connection (the
// target may read the others); the rest is the browser's bytes, with
// 0xFF k c standing for (k + 1) * 32 copies of c.
struct request_input_t {
    uint8_t flags = 0;
    origin_kind_t origin = ORIGIN_SMALL;
    int rounds = 1;
    bool vanish = false, refuse = false;
    std::string bytes;                      // at most MAX_BROWSER_BYTES of them
    const std::string *response = nullptr;  // the origin's answer
};

// The cache as the model sees it, across the rounds of one input: each key's
// bytes, and the entries in the order they were stored.
struct model_cache_t {
    std::map<std::string, std::string> stored;
    std::vector<std::pair<std::string, std::string>> entries;
};

// What one connection comes to, as the model predicts it.
enum round_outcome_t {
    ROUND_SILENT,     // nothing looked up, no origin contacted, nothing answered
    ROUND_HIT,        // the browser gets the key's stored bytes
    ROUND_OWN_PAGE,   // the browser gets a page of the program's own
    ROUND_NO_ORIGIN,  // looked up, perhaps connected, but no request went
    ROUND_CUT,        // a part of the request went upstream; the browser gets nothing
    ROUND_RELAYED,    // the request went upstream, and the browser gets the response
};

// The model's prediction, in the terms of the checks every program is held to.
struct round_want_t {
    round_outcome_t outcome = ROUND_SILENT;
    std::string key;  // the cache key
    bool looks_up = false;
    std::string lookup;  // the one name asked of the resolver
    bool connects = false;
    int port = -1;  // the one port connected to, as the socket address has it
    std::string upstream;  // what the origin gets on its one connection
    // Refused once part of the request went: the origin may get any part of
    // `upstream` from its request line on.
    bool upstream_may_stop = false;
    bool stores = false;  // a relayed response is kept as `key`
    std::string method;   // the request's method, which a page of its own names
};

// ---- Defined by each request target ----
// Once, before the first input: the program's own start.
void target_init(void);
// The model: what a connection with the input's bytes must come to, with the
// cache holding model.stored.
round_want_t target_predict(const request_input_t &in, const model_cache_t &model);
// The program's handler, for the browser's connection fd.
void target_serve(int fd);
// The target's own checks of a round: the upstream request's shape (when the
// origin was contacted), a page of the program's own.
void target_check_exchange(const exchange_t &x, const round_want_t &want);
// The cache: its number of entries; its entries against the model's; emptied.
size_t target_cache_entries(void);
void target_check_cache(const model_cache_t &model);
void target_clear_cache(void);

// Each round, around the target's own checks, the shared ones hold: every
// connect() went to an address the resolver gave; the names looked up and
// the ports connected are the model's; the origin got the model's request;
// the browser, unless it went away or the page is the program's own, got
// nothing, the stored bytes or the response; a response the model stores is
// kept, and the cache holds the model's entries. FUZZ_TRACE=1 in the
// environment prints each round's outcome.
//
// For target_check_cache: the cache's count, and one entry against the model's.
void check_cache_count(size_t held, size_t want);
void check_cache_entry(const std::pair<std::string, std::string> &want, const char *key,
                       const char *bytes, size_t size);

#endif  // FUZZ_REQUEST_ROUNDS_H
