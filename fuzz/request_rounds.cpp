// The rounds of the request targets and their shared checks (request_rounds.h).
#include "request_rounds.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

constexpr size_t MAX_BROWSER_BYTES = 60000;  // below the lingering close's 64 KB

bool trace = false;

const char *const OUTCOME_NAMES[] = {"silent", "hit", "own page", "no origin", "cut", "relayed"};

void play_round(const request_input_t &in, const model_cache_t &model, const round_want_t &want) {
    exchange_t x;
    x.browser_sends = in.bytes;
    x.browser_vanishes = in.vanish;
    x.refuse_connect = in.refuse;
    x.origin = in.origin;
    x.expect_upstream = want.upstream;
    run_exchange(target_serve, x);
    if (trace) {
        fprintf(stderr, "%s, browser got %zu bytes, origin %zu connection(s)\n",
                OUTCOME_NAMES[want.outcome], x.browser_got.size(), x.origin_got.size());
    }

    // A dotted address is connected as the URL wrote it, a name at the
    // resolver's answer.
    if (!x.connect_address_ok) {
        fuzz_fail("connect() to an address the resolver never gave, or not to the URL's");
    }
    std::vector<std::string> want_lookups;
    if (want.looks_up) want_lookups.push_back(want.lookup);
    if (x.lookups != want_lookups) {
        fuzz_fail("the wrong host was looked up",
                  "model " + (want.looks_up ? escaped(want.lookup) : std::string("(none)")) +
                      "\nlooked up " + std::to_string(x.lookups.size()) + " names" +
                      (x.lookups.empty() ? "" : ", first " + escaped(x.lookups[0])));
    }
    std::vector<int> want_ports;
    if (want.connects) want_ports.push_back(want.port);
    if (x.connect_ports != want_ports) {
        fuzz_fail("the wrong port was connected",
                  "model " + std::to_string(want.connects ? want.port : -1) + ", connected " +
                      (x.connect_ports.empty() ? std::string("none")
                                               : std::to_string(x.connect_ports[0])));
    }
    const bool contacted = want.outcome == ROUND_CUT || want.outcome == ROUND_RELAYED;
    if (contacted && x.origin_got.size() != 1) fuzz_fail("the origin was not contacted once");
    if (!contacted && !x.origin_got.empty()) {
        fuzz_fail("the origin was contacted", escaped(x.origin_got[0]));
    }
    target_check_exchange(x, want);
    if (contacted) {
        const std::string &got = x.origin_got[0], &up = want.upstream;
        const bool stopped = want.upstream_may_stop && got.size() <= up.size() &&
                             up.compare(0, got.size(), got) == 0 &&
                             got.size() >= up.find('\n') + 1;
        if (got != up && !stopped) {
            fuzz_fail("the upstream request differs from the model",
                      "got\n" + escaped(got, 3000) + "\nmodel\n" + escaped(up, 3000));
        }
    }

    if (!in.vanish && want.outcome != ROUND_OWN_PAGE) {
        std::string bytes;
        if (want.outcome == ROUND_HIT) bytes = model.stored.at(want.key);
        if (want.outcome == ROUND_RELAYED) bytes = *in.response;
        if (x.browser_got != bytes) {
            fuzz_fail("the browser received the wrong bytes",
                      "got\n" + escaped(x.browser_got) + "\nwanted\n" + escaped(bytes));
        }
    }
}

// A response the model stores is kept. A browser that went away may have
// cut the relay short, so then either is right, as long as what is kept is
// the response.
void keep_response(model_cache_t *model, const request_input_t &in, const round_want_t &want) {
    if (!want.stores || (in.vanish && target_cache_entries() <= model->entries.size())) return;
    model->entries.push_back({want.key, *in.response});
    model->stored[want.key] = *in.response;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    trace = getenv("FUZZ_TRACE") != nullptr;
    loopback_init();
    target_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    request_input_t in;
    in.flags = data[0];
    in.origin = (origin_kind_t)(in.flags & 7);
    in.rounds = (in.flags & 8) ? 2 : 1;
    in.vanish = (in.flags & 16) != 0;
    in.refuse = (in.flags & 32) != 0;
    expand_input_into(data + 1, size - 1, MAX_BROWSER_BYTES, in.bytes);
    in.response = &origin_response(in.origin);
    model_cache_t model;
    for (int round = 0; round < in.rounds; round++) {
        const round_want_t want = target_predict(in, model);
        play_round(in, model, want);
        keep_response(&model, in, want);
        target_check_cache(model);
    }
    target_clear_cache();
    return 0;
}

void check_cache_count(size_t held, size_t want) {
    if (held != want) {
        fuzz_fail("the cache holds the wrong number of entries",
                  std::to_string(held) + " instead of " + std::to_string(want));
    }
}

void check_cache_entry(const std::pair<std::string, std::string> &want, const char *key,
                       const char *bytes, size_t size) {
    std::string got = size > 0 ? std::string(bytes, size) : std::string();
    if (want.first != key || want.second != got) {
        fuzz_fail("a cache entry differs from what was relayed",
                  "key " + escaped(key) + "\nbytes " + escaped(got, 200));
    }
}
