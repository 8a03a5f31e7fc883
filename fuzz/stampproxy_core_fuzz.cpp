// Fuzzes stampproxy's request and storing decisions in process (request.h),
// with no socket and no thread: the same bytes are fed under many splits
// into reads, and what comes out is held to properties that any right answer
// has, not to a second copy of the rules:
// - the split of a request never matters (the thread's own reads among
//   them): the same steps, key, bytes taken, origin and upstream request, or
//   the same refusal;
// - the key is the browser's whole request line, line end included;
// - the upstream request is one well-formed request: one request line of
//   three words, header lines ending CR LF, no NUL, no CR but before LF, one
//   blank line at its very end; exactly one Host line, naming the host and
//   port connected to (no port when it is 80), which the request line wrote;
//   it announces no body;
// - only a request line whose URL word is an absolute URL (a scheme, "://"
//   and more) is acted on;
// - nothing past the browser's blank line is taken;
// - a refusal leaves no upstream request;
// - a response is never stored when cut inside its header block or short of
//   its Content-Length, empty, over one read, 206 or 304, not closed by the
//   origin, or answering a method other than GET or HEAD; never when the
//   shared rule (response_cacheable) refuses it, nor for a private request.
//
// Input: byte 0 chooses the side (bit 0: 0 request, 1 response), for a
// response the method (bits 1-2: GET, HEAD, POST, get), and with the input's
// size seeds the choice of a request's splits (bits 3-7); the rest is the browser's or
// the origin's bytes, with 0xFF k c standing for (k + 1) * 32 copies of c.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "../stampproxy/cache.h"
#include "../stampproxy/request.h"
#include "c_text.h"
#include "cacheable.h"
#include "report.h"

namespace {

constexpr size_t MAX_BROWSER_BYTES = 24000;   // past every buffer of the request
constexpr size_t MAX_ORIGIN_BYTES = 104000;   // past one read of the relay
constexpr size_t BYTEWISE_LIMIT = 1200;       // fed a byte at a time up to this size

// Where the bytes are cut into reads: sorted offsets inside (0, size).
typedef std::vector<size_t> cuts_t;

// One cut at each of these offsets (and one byte either side), from the
// start and from `base`: the line-read and buffer limits of the readers.
std::vector<cuts_t> boundary_cuts(size_t size, size_t base) {
    static const size_t marks[] = {1023, 8191, 10239};
    std::vector<cuts_t> all;
    cuts_t together;
    for (size_t from : {(size_t)0, base}) {
        for (size_t mark : marks) {
            for (size_t at = from + mark - 1; at <= from + mark + 1; at++) {
                if (at == 0 || at >= size) continue;
                all.push_back({at});
                together.push_back(at);
            }
        }
        if (base == 0) break;
    }
    if (!together.empty()) {
        std::sort(together.begin(), together.end());
        together.erase(std::unique(together.begin(), together.end()), together.end());
        all.push_back(together);
    }
    return all;
}

// Reads of random lengths, short ones likelier, from a small generator.
cuts_t random_cuts(size_t size, uint32_t seed) {
    cuts_t cuts;
    uint32_t x = seed * 2654435761u + 1;
    size_t at = 0;
    for (;;) {
        next_random(&x);
        size_t step = 1 + (x % 4 == 0 ? x % 4096 : x % 64);
        at += step;
        if (at >= size) break;
        cuts.push_back(at);
    }
    return cuts;
}

// Splits an input is fed under, besides whole: the seed picks among a byte
// at a time (short inputs), all the boundary cuts at once, one boundary cut,
// and random reads; every kind comes round within a few executions.
cuts_t picked_cuts(const std::string &b, size_t base, uint32_t seed) {
    std::vector<cuts_t> bounds = boundary_cuts(b.size(), base);
    uint32_t pick = seed % 5;
    if (pick == 0 && b.size() <= BYTEWISE_LIMIT) {
        cuts_t each;
        for (size_t i = 1; i < b.size(); i++) each.push_back(i);
        return each;
    }
    if (pick <= 1 && !bounds.empty()) return bounds.back();  // all of them together
    if (pick <= 3 && !bounds.empty()) return bounds[(seed / 5) % bounds.size()];
    return random_cuts(b.size(), seed);
}

// ---------------------------------------------------------------- request side

// Everything request_take decided about one browser stream.
struct outcome_t {
    request_step_t line_step = REQUEST_MORE;
    size_t line_taken = 0;  // bytes taken when the line step came
    request_step_t final_step = REQUEST_MORE;
    size_t taken = 0;  // bytes taken in all
    std::string key, address, upstream, request_line;
    int port = -1;
    size_t packet_len_after_refusal = 0;

    auto fields() const {
        return std::tie(line_step, line_taken, final_step, taken, key, address, upstream,
                        request_line, port, packet_len_after_refusal);
    }
};

const char *step_name(request_step_t s) {
    static const char *const names[] = {"more",     "line ready", "ready",     "empty",
                                        "too long", "unfinished", "body",      "folded",
                                        "too large", "not absolute"};
    return names[s];
}

std::string describe(const outcome_t &o) {
    return std::string(step_name(o.line_step)) + " after " + std::to_string(o.line_taken) +
           ", " + step_name(o.final_step) + " after " + std::to_string(o.taken) + ", key " +
           escaped(o.key, 200) + ", address " + escaped(o.address, 100) + ", port " +
           std::to_string(o.port) + ", upstream\n" + escaped(o.upstream, 2000);
}

request_state_t state;  // 36 KB: kept out of the fuzzer's stack frames

// Where the connection thread's next read from `at` ends: at a LF, after
// MAXLINE - 1 bytes, or after as many as the request can still take.
size_t thread_read_end(const std::string &b, size_t at) {
    size_t max = std::min(request_wanted(&state), (size_t)MAXLINE - 1);
    size_t end = std::min(b.size(), at + max);
    const char *nl = (const char *)memchr(b.data() + at, '\n', end - at);
    return nl != nullptr ? (size_t)(nl - b.data()) + 1 : end;
}

// Feeds `b` cut at `cuts` (or, with `thread_reads`, as the connection
// thread reads), as the thread feeds its reads: the request line, then (when
// it is whole) the header lines, then the end of the stream if it is still
// wanted.
outcome_t run_request(const std::string &b, const cuts_t &cuts, bool thread_reads = false) {
    outcome_t o;
    request_init(&state);
    size_t at = 0, piece = 0;
    bool line_done = false;
    request_step_t step = REQUEST_MORE;
    for (;;) {
        size_t n = 0;  // 0 past the last piece: the end of the stream
        if (thread_reads) {
            n = at < b.size() ? thread_read_end(b, at) - at : 0;
        } else if (piece <= cuts.size()) {
            size_t end = piece < cuts.size() ? cuts[piece] : b.size();
            if (at == end) {
                piece++;
                continue;
            }
            n = end - at;
        }
        size_t used = 0;
        step = request_take(&state, b.data() + at, n, &used);
        if (used > n || (step == REQUEST_MORE && used != n)) {
            fuzz_fail("request_take took other than what it was given");
        }
        at += used;
        if (step == REQUEST_MORE) {
            if (n == 0) fuzz_fail("the end of the stream did not end the request");
            continue;
        }
        if (line_done) break;
        line_done = true;
        o.line_step = step;
        o.line_taken = at;
        if (step != REQUEST_LINE_READY) break;
        o.key = state.request;
        o.address = state.address;
        o.port = state.port;
    }
    if (o.line_step == REQUEST_LINE_READY) o.final_step = step;
    o.taken = at;
    if (o.final_step == REQUEST_READY) {
        o.upstream.assign(state.packet, state.packet_len);
        o.request_line.assign(state.packet, state.packet_line_len);
    } else {
        o.packet_len_after_refusal = state.packet_len;
    }
    return o;
}

void check_upstream(const std::string &browser, const outcome_t &o) {
    const std::string &up = o.upstream;
    auto fail_detail = [&] { return describe(o) + "\nbrowser sent\n" + escaped(browser, 2000); };
    if (const char *fault = crlf_fault(up)) fuzz_fail(fault, fail_detail());
    size_t blank_line = up.find("\r\n\r\n");
    if (blank_line == std::string::npos || blank_line + 4 != up.size()) {
        fuzz_fail("the upstream request does not end at its one blank line", fail_detail());
    }
    // One request line: method, "/" and path, version, no other blank.
    size_t eol = up.find("\r\n");
    std::string first = up.substr(0, eol);
    size_t sp1 = first.find(' '), sp2 = first.rfind(' ');
    if (sp1 == 0 || sp1 == std::string::npos || sp2 == sp1 || first[sp1 + 1] != '/' ||
        first.substr(sp2) != " HTTP/1.0" || first.find_first_of("\t", 0) != std::string::npos ||
        first.find(' ', sp1 + 1) != sp2 || o.request_line != first + "\r\n") {
        fuzz_fail("the upstream request line is malformed", fail_detail());
    }
    // The origin connected to is named by the request line; every Host line
    // names it; no line announces a body.
    if (o.key.find(o.address) == std::string::npos) {
        fuzz_fail("the host connected to is not in the request line", fail_detail());
    }
    const unsigned port = (uint16_t)o.port;
    const std::string want_host = port == 80 ? o.address : o.address + ":" + std::to_string(port);
    int host_lines = 0;
    for (size_t at = eol + 2; at < blank_line + 2;) {
        size_t end = up.find("\r\n", at);
        std::string line = up.substr(at, end - at);
        at = end + 2;
        size_t v = header_value_at(line, "Host");
        if (v != std::string::npos) {
            host_lines++;
            // host[:port], blanks around it; the port as digits, whose value
            // is the one connected to.
            while (v < line.size() && c_blank(line[v])) v++;
            size_t stop = line.find_last_not_of(" \t");
            std::string named = stop < v ? "" : line.substr(v, stop + 1 - v);
            size_t colon = named.find(':');
            std::string host = named.substr(0, colon);
            bool same = same_caseless(host, o.address);
            if (colon == std::string::npos) {
                same = same && port == 80;
            } else {
                std::string digits = named.substr(colon + 1);
                size_t zeros = digits.find_first_not_of('0');
                std::string value = zeros == std::string::npos ? "0" : digits.substr(zeros);
                same = same && all_digits(digits) && value == std::to_string(port);
            }
            if (!same) {
                fuzz_fail("a Host line names another host or port than the one connected to",
                          "connected to " + want_host + "\n" + fail_detail());
            }
        }
        if (header_value_at(line, "Transfer-Encoding") != std::string::npos) {
            fuzz_fail("the upstream request announces a body", fail_detail());
        }
        v = header_value_at(line, "Content-Length");
        if (v != std::string::npos && line.find_first_not_of(" \t0", v) != std::string::npos) {
            fuzz_fail("the upstream request announces a body", fail_detail());
        }
    }
    if (host_lines != 1) fuzz_fail("not exactly one Host line goes upstream", fail_detail());
}

void check_request(const std::string &b, uint32_t seed) {
    // Whole, as the connection thread reads it, and one more split.
    outcome_t first = run_request(b, {});
    for (int k = 1; k <= 2; k++) {
        outcome_t o = k == 1 ? run_request(b, {}, true)
                             : run_request(b, picked_cuts(b, b.find('\n') + 1, seed));
        if (o.fields() != first.fields()) {
            fuzz_fail("another split into reads gives another outcome",
                      "whole:\n" + describe(first) + "\nsplit " + std::to_string(k) + ":\n" +
                          describe(o) + "\nbrowser sent\n" + escaped(b, 2000));
        }
    }
    const outcome_t &o = first;
    auto detail = [&] { return describe(o) + "\nbrowser sent\n" + escaped(b, 2000); };
    size_t nl = b.find('\n');
    if (b.empty() != (o.line_step == REQUEST_EMPTY)) {
        fuzz_fail("an empty stream and an empty request differ", detail());
    }
    if (o.line_step == REQUEST_LINE_READY) {
        // The key is the whole line, as sent.
        if (nl == std::string::npos || o.key != b.substr(0, nl + 1) || o.line_taken != nl + 1) {
            fuzz_fail("the key is not the whole request line", detail());
        }
        if (!absolute_url_word(o.key)) {
            fuzz_fail("a request line without an absolute URL is acted on", detail());
        }
    } else {
        // A whole line within the limit, without NUL, naming an absolute URL
        // is acted on.
        if (nl != std::string::npos && nl < (size_t)MAXLINE - 1 &&
            b.find('\0') > nl && absolute_url_word(b.substr(0, nl + 1))) {
            fuzz_fail("a whole request line with an absolute URL is refused", detail());
        }
        if (o.final_step != REQUEST_MORE || o.key.size() != 0) {
            fuzz_fail("a refused request line went on", detail());
        }
    }
    if (o.final_step == REQUEST_READY) {
        // Nothing after the header block's end was taken: the browser's
        // bytes taken end with a blank line, the first one, or with the
        // stream.
        std::string block = "\n" + b.substr(nl + 1, o.taken - nl - 1);
        size_t end1 = block.find("\n\n"), end2 = block.find("\n\r\n");
        size_t first_end = std::min(end1 == std::string::npos ? block.size() : end1 + 2,
                                    end2 == std::string::npos ? block.size() : end2 + 3);
        if (first_end != block.size() || (o.taken < b.size() && block.back() != '\n')) {
            fuzz_fail("bytes past the header block's end were taken", detail());
        }
        // A name the resolver's checks refuse (a dotted address is one too)
        // never reaches an origin, whatever was built.
        if (host_name_like(o.address)) check_upstream(b, o);
    } else if (o.packet_len_after_refusal != 0) {
        fuzz_fail("a refused request left an upstream request", detail());
    }
}

// ---------------------------------------------------------------- response side

// Whether the first n bytes of r are stored, from an origin that closed its
// side (or not), for a request that is private (or not). The response's own
// buffer is judged in place: no copy of up to 100 KB per variant.
bool stored(const char *action, const std::string &r, size_t n, bool closed = true,
            bool request_private = false) {
    return response_storable(action, request_private, closed, r.data(), n);
}

// Where the header block of r ends (after its blank line), or npos.
size_t block_end(const std::string &r) {
    size_t status_end = r.find('\n');
    if (status_end == std::string::npos) return std::string::npos;
    for (size_t at = status_end + 1; at < r.size();) {
        size_t nl = r.find('\n', at);
        if (nl == std::string::npos) return std::string::npos;
        if (nl == at || (nl == at + 1 && r[at] == '\r')) return nl + 1;
        at = nl + 1;
    }
    return std::string::npos;
}

void check_response(const std::string &r, int method) {
    static const char *const actions[] = {"GET", "HEAD", "POST", "get"};
    const char *action = actions[method];
    auto detail = [&] { return std::string("to ") + action + ", response\n" + escaped(r, 2000); };
    if (stored(action, r, r.size(), false)) {
        fuzz_fail("a response the origin did not end by closing is stored", detail());
    }
    if (!stored(action, r, r.size())) return;
    if (method >= 2) fuzz_fail("an answer to neither GET nor HEAD is stored", detail());
    if (!response_cacheable(r.data(), r.size(), false)) {
        fuzz_fail("a response the shared rule refuses is stored", detail());
    }
    if (stored(action, r, r.size(), true, true)) fuzz_fail("the answer to a private request is stored", detail());
    if (r.empty() || r.size() > (size_t)MAX_OBJECT_SIZE) {
        fuzz_fail("an empty response, or one over one read, is stored", detail());
    }
    // A status line "HTTP/x 206" or "HTTP/x 304".
    size_t sp = r.find(' ');
    if (r.compare(0, 5, "HTTP/") == 0 && sp != std::string::npos && sp < r.find('\n') &&
        (r.compare(sp + 1, 3, "206") == 0 || r.compare(sp + 1, 3, "304") == 0) &&
        (sp + 4 >= r.size() || r[sp + 4] < '0' || r[sp + 4] > '9')) {
        fuzz_fail("a 206 or 304 is stored", detail());
    }
    size_t end = block_end(r);
    if (end == std::string::npos) {
        fuzz_fail("a response whose header block never ended is stored", detail());
    }
    // Cut inside the header block, the response is never stored.
    if (stored(action, r, end - 1)) {
        fuzz_fail("a response cut inside its header block is stored", detail());
    }
    if (method == 1) return;  // HEAD: no body to measure
    bool declares = false;
    for (size_t at = r.find('\n') + 1; at < end;) {
        size_t nl = r.find('\n', at);
        if (nl - at >= 14 && strncasecmp(r.data() + at, "Content-Length", 14) == 0 &&
            header_value_at(r.substr(at, nl - at), "Content-Length") != std::string::npos) {
            declares = true;
        }
        at = nl + 1;
    }
    if (declares && r.size() > end && stored(action, r, r.size() - 1)) {
        fuzz_fail("a response short of its Content-Length is stored", detail());
    }
    if (declares && r.size() < (size_t)MAX_OBJECT_SIZE) {
        const std::string longer = r + "x";
        if (stored(action, longer, longer.size())) {
            fuzz_fail("a response longer than its Content-Length is stored", detail());
        }
    }
}

}  // namespace

// Each execution makes a few short-lived strings of up to 100 KB: with the
// default quarantine of freed memory each one is fresh pages, and faulting
// them in took a quarter of the time. A smaller quarantine still catches a
// use of memory freed in the same execution.
extern "C" const char *__asan_default_options(void) {
    return "quarantine_size_mb=8:max_malloc_fill_size=0";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    const uint32_t seed = (uint32_t)(flags >> 3) + 32 * (uint32_t)size;
    static std::string bytes;  // kept, so that its memory is reused
    if ((flags & 1) == 0) {
        expand_input_into(data + 1, size - 1, MAX_BROWSER_BYTES, bytes);
        check_request(bytes, seed);
    } else {
        expand_input_into(data + 1, size - 1, MAX_ORIGIN_BYTES, bytes);
        check_response(bytes, (flags >> 1) & 3);
    }
    return 0;
}
