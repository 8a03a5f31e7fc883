// Fuzzes slotproxy's request and response core (slotproxy/request.h) in
// process, by invariants rather than by a model of its rules: the same bytes
// are fed under many splits into reads and must give the same decision, and
// every decision is checked against what the bytes plainly say, under the
// splits that splits_for picks.
//
// Input: byte 0 bit 0 chooses the side, byte 1 seeds the splits.
//   Request side: the rest is the browser's bytes, with 0xFF k c standing
//   for (k + 1) * 32 copies of c. Fed to the core directly, and through the
//   connection thread's own reading (read_request, over the line reader
//   with scripted reads of those sizes).
//   Response side: byte 2 picks a status, byte 3 options (bit 0 bare LF
//   line ends, 1 a true Content-Length, 2 cut the response short, 3 take
//   the bytes raw, 4 no reason phrase, 5 a second, equal Content-Length),
//   bytes 4-5 where to cut, byte 6 extra headers; then for each header a
//   name byte and a length byte and its value; the rest is the body, with
//   0xFF k c standing for (k + 1) * 64 copies of c. Fed in many splits, and
//   in the lines the relay's reader cuts, which must be the line reader's
//   and must all arrive also when the stream ends in a reset.
//
// The program's source is compiled into this file so that read_request, a
// static function, is reachable; the library's read() calls (built with
// read renamed, see programs.cmake) come to the script below.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "report.h"
#include "../slotproxy/request.h"
#include "c_text.h"
#include "cacheable.h"
#include "robix.h"

#define main slotproxy_main
#include "../slotproxy/proxy.cpp"
#undef main

namespace {

// FUZZ_TRACE=1 in the environment prints each input's decision, to see what
// a corpus reaches.
const bool trace = getenv("FUZZ_TRACE") != nullptr;

constexpr int FUZZ_FD = 1000;  // never a real descriptor in this process
constexpr size_t MAX_BYTES = 120000;
// Inputs up to this size may also be fed one byte per read, and up to the
// next in pieces of a few bytes.
constexpr size_t BYTEWISE_MAX = 1024;
constexpr size_t SMALL_PIECES_MAX = 4096;
// Requests are also read through the line reader, as the program reads them,
// under this many of the splits (those of few pieces).
constexpr size_t THREAD_READS = 2;
const size_t BOUNDARIES[] = {1022, 1023, 1024, 8190, 8191, 8192, 94207, 94208, 94209};

// ---------------------------------------------------------------- splits

// Cut points: the pieces are [0, c1), [c1, c2), ... [ck, n).
using split_t = std::vector<size_t>;

// The splits one input is fed under, in splits[0, count): whole; at every
// boundary it reaches; and one more that the seed picks: at one boundary
// alone, pseudo-random pieces small (on short inputs), middling or large, or
// one byte each (on shorter ones). Every kind comes up across inputs, while
// each input costs only a few passes. The storage is reused from one input
// to the next.
split_t splits[3];
size_t splits_for(size_t n, uint8_t seed) {
    for (split_t &s : splits) s.clear();
    size_t count = 1;  // splits[0]: no cut at all
    for (size_t b : BOUNDARIES) {
        if (b < n) splits[1].push_back(b);
    }
    const size_t boundaries = splits[1].size();
    if (boundaries > 0) count++;
    split_t &extra = splits[count];
    const size_t kind = (seed ^ n) % (boundaries + 4);
    if (kind < boundaries) {
        extra.push_back(splits[1][kind]);
    } else if (kind < boundaries + 3) {
        static const size_t SCALES[] = {7, 300, 9000};
        const size_t scale = SCALES[kind - boundaries];
        if (scale > 7 || n <= SMALL_PIECES_MAX) {
            uint32_t state = 0x9e3779b9u ^ ((uint32_t)seed * 0x01000193u) ^ (uint32_t)n;
            for (size_t at = 1 + next_random(&state) % scale; at < n;
                 at += 1 + next_random(&state) % scale) {
                extra.push_back(at);
            }
        }
    } else if (n <= BYTEWISE_MAX) {
        for (size_t at = 1; at < n; at++) extra.push_back(at);
    }
    if (!extra.empty()) count++;
    return count;
}

// Calls take(from, to) for each piece of n bytes cut as `split` says, the
// last one perhaps empty.
template <typename Take>
void each_piece(size_t n, const split_t &split, Take take) {
    size_t from = 0;
    for (size_t i = 0; i <= split.size(); i++) {
        size_t to = i < split.size() ? split[i] : n;
        take(from, to);
        from = to;
    }
}

// The sizes of the reads that deliver n bytes cut as `split` says.
std::vector<size_t> piece_sizes(size_t n, const split_t &split) {
    std::vector<size_t> sizes;
    each_piece(n, split, [&](size_t from, size_t to) {
        if (to > from) sizes.push_back(to - from);
    });
    return sizes;
}

// ---------------------------------------------------------------- scripted reads

// The stream behind FUZZ_FD: each read returns at most the next piece (less
// when the reader asks for less, the rest of the piece following), then 0,
// or fails with ECONNRESET when the stream ends in a reset.
struct script_t {
    const char *data = nullptr;
    size_t size = 0, pos = 0;
    std::vector<size_t> pieces;
    size_t piece = 0, piece_left = 0;
    bool reset = false;
};
script_t script;

// Starts the stream and a line reader on it.
void script_start(rio_t *rio, const std::string &bytes, const std::vector<size_t> &pieces,
                  bool reset = false) {
    script = script_t();
    script.data = bytes.data();
    script.size = bytes.size();
    script.pieces = pieces;
    script.reset = reset;
    Rio_readinitb(rio, FUZZ_FD);
}

}  // namespace

// robix.cpp (and this file) are compiled with read renamed to this.
extern "C" ssize_t fuzz_read(int fd, void *buf, size_t n) {
    if (fd != FUZZ_FD) {
        errno = EBADF;
        return -1;
    }
    if (script.pos >= script.size) {
        if (!script.reset) return 0;
        errno = ECONNRESET;
        return -1;
    }
    if (script.piece_left == 0) {
        script.piece_left = script.piece < script.pieces.size() ? script.pieces[script.piece++]
                                                                : script.size - script.pos;
    }
    size_t k = script.piece_left < n ? script.piece_left : n;
    memcpy(buf, script.data + script.pos, k);
    script.pos += k;
    script.piece_left -= k;
    return (ssize_t)k;
}

namespace {

// ---------------------------------------------------------------- request side

request_t reference_req, trial_req;

void feed_request(request_t *req, const std::string &bytes, const split_t &split) {
    request_init(req);
    each_piece(bytes.size(), split, [&](size_t from, size_t to) {
        size_t taken = request_take(req, bytes.data() + from, to - from);
        if (taken > to - from) fuzz_fail("the core took more bytes than it was given", escaped(bytes));
        if (req->state != REQUEST_PENDING && taken < to - from) {
            // Decided: the rest is not looked at, and the core takes no more.
            if (request_take(req, bytes.data() + to - 1, 1) != 0) {
                fuzz_fail("a decided request took more bytes", escaped(bytes));
            }
        }
    });
    request_end(req);
}

// The connection thread's reading of the request, over reads of the given sizes.
void read_request_by(request_t *req, const std::string &bytes, const std::vector<size_t> &pieces) {
    rio_t rio;
    script_start(&rio, bytes, pieces);
    request_init(req);
    read_request(&rio, req);
}

std::string describe(const request_t *r) {
    static const char *const states[] = {"pending", "refused", "whole"};
    static const char *const misses[] = {"drop", "501", "fetch"};
    std::string s = states[r->state];
    if (r->state == REQUEST_WHOLE) {
        s += std::string(", on a miss ") + misses[r->on_miss] + ", key " + escaped(r->uri) +
             ", method " + escaped(r->method);
        if (r->on_miss == MISS_FETCH) {
            s += ", host " + escaped(r->host) + ", port " + std::to_string(r->port) +
                 ", upstream " + escaped(std::string(r->upstream, r->upstream_len));
        }
    }
    return s;
}

bool same_request(const request_t *a, const request_t *b) {
    if (a->state != b->state) return false;
    if (a->state != REQUEST_WHOLE) return true;
    if (a->on_miss != b->on_miss || strcmp(a->uri, b->uri) != 0 ||
        strcmp(a->method, b->method) != 0)
        return false;
    if (a->on_miss != MISS_FETCH) return true;
    return strcmp(a->host, b->host) == 0 && a->port == b->port &&
           a->request_line_len == b->request_line_len && a->upstream_len == b->upstream_len &&
           memcmp(a->upstream, b->upstream, a->upstream_len) == 0;
}

// One well-formed request, and only one: a request line and header lines
// each ending CR LF, no NUL, no CR but before LF, a blank line, then
// nothing. Returns its lines without their line ends.
std::vector<std::string> check_well_formed(const std::string &up) {
    if (const char *fault = crlf_fault(up)) fuzz_fail(fault, escaped(up));
    std::vector<std::string> lines;
    size_t pos = 0;
    for (;;) {
        size_t lf = up.find('\n', pos);
        if (lf == std::string::npos) fuzz_fail("the upstream request does not end", escaped(up));
        std::string line = up.substr(pos, lf - 1 - pos);
        pos = lf + 1;
        if (line.empty()) break;
        lines.push_back(line);
    }
    if (pos != up.size()) fuzz_fail("bytes follow the upstream request's blank line", escaped(up));
    if (lines.empty()) fuzz_fail("the upstream request has no request line", escaped(up));
    for (size_t i = 1; i < lines.size(); i++) {
        size_t colon = lines[i].find(':');
        if (colon == std::string::npos || colon == 0 ||
            lines[i].find_first_of(" \t") < colon) {
            fuzz_fail("an upstream header line is not a header", escaped(up));
        }
    }
    return lines;
}

void check_request(const std::string &bytes, const request_t *r) {
    if (r->state == REQUEST_PENDING) fuzz_fail("a request is still pending at the end", escaped(bytes));
    if (r->state == REQUEST_REFUSED) {
        // Nothing to look up, answer or send.
        if (r->uri[0] != '\0' || r->upstream_len != 0) {
            fuzz_fail("a refusal carries a key or an upstream request", describe(r));
        }
        return;
    }
    // The key comes from a line the browser finished, within the limit, and
    // is its second word whole.
    size_t lf = bytes.find('\n');
    if (lf == std::string::npos) fuzz_fail("a key from a line without a line end", escaped(bytes));
    if (lf + 1 > (size_t)MAXLINE - 1) fuzz_fail("a key from a line over the limit", escaped(bytes));
    const std::string line = bytes.substr(0, lf + 1);
    if (line.find('\0') != std::string::npos) {
        fuzz_fail("a key from a line that a NUL cuts", escaped(bytes));
    }
    std::vector<std::string> w = c_words(line);
    if (w.size() < 2 || w[1] != r->uri || w[0] != r->method) {
        fuzz_fail("the key or the method is not the line's word whole",
             "line " + escaped(line) + "\ngot " + describe(r));
    }
    // The same line without its line end, and the stream ending there: the
    // line is unfinished, so nothing is acted on.
    request_init(&trial_req);
    request_take(&trial_req, bytes.data(), lf);
    request_end(&trial_req);
    if (trial_req.state != REQUEST_REFUSED) {
        fuzz_fail("an unfinished line is acted on", escaped(bytes.substr(0, lf)));
    }

    const bool is_get = strcasecmp(r->method, "GET") == 0;
    if (r->on_miss == MISS_501 && is_get) fuzz_fail("GET gets the 501 page", describe(r));
    if (r->on_miss != MISS_FETCH) {
        if (r->upstream_len != 0) fuzz_fail("an upstream request without a fetch", describe(r));
        if (r->on_miss == MISS_501 || is_get) return;
        fuzz_fail("another method than GET is not answered with the 501 page", describe(r));
    }
    if (!is_get) fuzz_fail("another method than GET goes upstream", describe(r));

    const std::string up(r->upstream, r->upstream_len);
    std::vector<std::string> lines = check_well_formed(up);
    if (r->request_line_len != lines[0].size() + 2) {
        fuzz_fail("the request line is not written on its own", describe(r));
    }
    // "GET", a path from "/", "HTTP/1.0"; the Host line alone after it.
    std::vector<std::string> rw = c_words(lines[0]);
    if (rw.size() != 3 || lines[0] != rw[0] + " " + rw[1] + " " + rw[2] || rw[0] != "GET" ||
        rw[2] != "HTTP/1.0" || rw[1][0] != '/') {
        fuzz_fail("the upstream request line is malformed", escaped(up));
    }
    if (lines.size() != 2 || lines[1].compare(0, 6, "Host: ") != 0) {
        fuzz_fail("the upstream header block is not the Host line alone", escaped(up));
    }
    const std::string host = lines[1].substr(6), path = rw[1], key = r->uri;
    // The host connected to, then the port connected to unless it is 80.
    const unsigned connected = (uint16_t)r->port;
    const std::string port_part = connected == 80 ? "" : ":" + std::to_string(connected);
    if (host != r->host + port_part) {
        fuzz_fail("the Host line names another host or port than is connected", describe(r));
    }

    if (key.compare(0, 7, "http://") == 0) {
        size_t slash = key.find('/', 7);
        std::string authority = key.substr(7, slash == std::string::npos ? slash : slash - 7);
        // The path asked for is the URL's own, or "/" when it has none.
        std::string want_path = slash == std::string::npos ? "/" : key.substr(slash);
        if (path != want_path) fuzz_fail("the upstream path is not the URL's", describe(r));
        // With user information, a query or a fragment in the authority the
        // host text is no name a resolver takes, so only plain ones are held
        // to the URL's host and port.
        if (authority.find_first_of("@?#") == std::string::npos) {
            size_t colon = authority.find(':');
            std::string port = colon == std::string::npos ? "" : authority.substr(colon + 1);
            if (colon == std::string::npos && r->port != 80) {
                fuzz_fail("a URL without a port is not fetched from port 80", describe(r));
            }
            const std::string name = authority.substr(0, colon);
            if (host.compare(0, name.size(), name) != 0 ||
                (host.size() > name.size() && host[name.size()] != ':')) {
                fuzz_fail("the Host line does not name the URL's host", describe(r));
            }
            if (all_digits(port) && port.size() <= 5 && atol(port.c_str()) <= 65535) {
                const int p = atoi(port.c_str());
                if (r->port != p) fuzz_fail("the URL's port is not the one connected", describe(r));
                if (host != (p == 80 ? name : name + ":" + std::to_string(p))) {
                    fuzz_fail("the Host line does not name the URL's port", describe(r));
                }
            }
        }
    } else {
        // Not an absolute http URL: whatever host text it yields is a part
        // of it, and the path is its tail.
        if (key.find(r->host) == std::string::npos) fuzz_fail("the host is not the URL's", describe(r));
        if (path != "/" && (key.size() < path.size() ||
                            key.compare(key.size() - path.size(), path.size(), path) != 0)) {
            fuzz_fail("the upstream path is not the URL's tail", describe(r));
        }
    }
}

void fuzz_request(const std::string &bytes, uint8_t seed) {
    const size_t count = splits_for(bytes.size(), seed);
    feed_request(&reference_req, bytes, splits[0]);
    if (trace) fprintf(stderr, "request: %s\n", describe(&reference_req).c_str());
    check_request(bytes, &reference_req);
    for (size_t i = 1; i < count; i++) {
        feed_request(&trial_req, bytes, splits[i]);
        if (!same_request(&reference_req, &trial_req)) {
            fuzz_fail("another split of the same bytes decides otherwise",
                 "bytes " + escaped(bytes) + "\nsplit " + std::to_string(i) + "\nwhole: " +
                     describe(&reference_req) + "\nsplit: " + describe(&trial_req));
        }
    }
    // The thread's reading, through the line reader: whole reads, the
    // boundaries' pieces, small and large pseudo-random pieces.
    for (size_t i = 0, runs = 0; i < count && runs < THREAD_READS; i++) {
        if (splits[i].size() > 64) continue;  // one byte per read is covered directly
        runs++;
        read_request_by(&trial_req, bytes, piece_sizes(bytes.size(), splits[i]));
        if (!same_request(&reference_req, &trial_req)) {
            fuzz_fail("the connection thread's reading decides otherwise",
                 "bytes " + escaped(bytes) + "\nsplit " + std::to_string(i) + "\ncore: " +
                     describe(&reference_req) + "\nthread: " + describe(&trial_req));
        }
    }
}

// ---------------------------------------------------------------- response side

response_t reference_resp, trial_resp;

void feed_response(response_t *resp, const std::string &bytes, const split_t &split) {
    response_init(resp);
    each_piece(bytes.size(), split, [&](size_t from, size_t to) {
        response_take(resp, bytes.data() + from, to - from);
    });
}

// True when bytes hold at most a few hundred line ends.
bool few_lines(const std::string &bytes) {
    const char *p = bytes.data(), *end = p + bytes.size();
    for (int lines = 0; lines <= 256; lines++) {
        p = static_cast<const char *>(memchr(p, '\n', (size_t)(end - p)));
        if (p == nullptr) return true;
        p++;
    }
    return false;
}

// The relay's way: the lines its reader cuts, over reads of the given sizes,
// from a stream that ends cleanly or (reset) in a reset, into *lines, and
// fed to resp when there is one. Returns the error that ended the stream, or 0.
int relay_lines(const std::string &bytes, const std::vector<size_t> &pieces, bool reset,
                std::vector<std::string> *lines, response_t *resp = nullptr) {
    static char line[MAXLINE];
    rio_t rio;
    script_start(&rio, bytes, pieces, reset);
    if (resp != nullptr) response_init(resp);
    lines->clear();
    int err = 0;
    for (;;) {
        ssize_t m = rio_readlineb_kept(&rio, line, MAXLINE, &err);
        if (m > 0) {
            if (resp != nullptr) response_take(resp, line, (size_t)m);
            lines->emplace_back(line, (size_t)m);
        }
        if (m == 0 || err != 0) return err;
    }
}

// The same stream cut by the line reader itself, and then ending in a
// reset read by the relay's reader: both must cut exactly `lines`, and the
// reset must lose no byte that arrived before it.
void check_relay_reader(const std::string &bytes, const std::vector<size_t> &pieces,
                        const std::vector<std::string> &lines) {
    static char line[MAXLINE];
    std::vector<std::string> got;
    rio_t rio;
    script_start(&rio, bytes, pieces);
    ssize_t m;
    while ((m = Rio_readlineb(&rio, line, MAXLINE)) != 0) got.emplace_back(line, (size_t)m);
    if (got != lines) fuzz_fail("the relay's reader cuts other lines than the line reader", escaped(bytes));
    if (relay_lines(bytes, pieces, true, &got) != ECONNRESET) fuzz_fail("a reset is not reported by the relay's reader", escaped(bytes));
    if (got != lines) fuzz_fail("a reset loses bytes that arrived before it", escaped(bytes));
}

// What the generator knows of a response it built.
struct built_t {
    std::string bytes;
    bool raw = false;      // taken as it came: nothing known
    bool cut = false;      // ends before its header block did, or short of its Content-Length
    bool partial = false;  // a 206 or a 304
};

// Builds the response an input describes into *b, whose storage is reused.
void build_response(const uint8_t *data, size_t size, built_t *b) {
    static const int STATUSES[] = {200, 404, 206, 304, 301, 500, 204, 201, 410, 503, 302, 203};
    static const char *const NAMES[] = {"Content-Type", "Server",     "Date",
                                        "ETag",         "Set-Cookie", "Cache-Control",
                                        "Expires",      "Vary",       "Content-Encoding",
                                        "Pragma",       "X-A",        "Last-Modified"};
    b->raw = b->cut = b->partial = false;
    b->bytes.clear();
    if (size < 5 || (data[1] & 8)) {
        b->raw = true;
        if (size > 2) expand_input_into(data + 2, size - 2, MAX_BYTES, b->bytes, 64);
        return;
    }
    const uint8_t options = data[1];
    const int status = STATUSES[data[0] % (sizeof STATUSES / sizeof STATUSES[0])];
    const char *eol = (options & 1) ? "\n" : "\r\n";
    const size_t cut_at = (size_t)data[2] << 8 | data[3];
    size_t headers = data[4] % 8, i = 5;
    std::string head = std::string("HTTP/1.") + (status % 2 ? "0 " : "1 ") + std::to_string(status);
    if (!(options & 16)) head += " Reason";
    head += eol;
    for (size_t h = 0; h < headers && i + 1 < size; h++) {
        const char *name = NAMES[data[i] % (sizeof NAMES / sizeof NAMES[0])];
        size_t len = data[i + 1] % 16;
        i += 2;
        std::string value;
        for (; len > 0 && i < size; len--, i++) {
            char c = (char)data[i];
            value += c == '\r' || c == '\n' ? ' ' : c;
        }
        head += std::string(name) + ": " + value + eol;
    }
    static std::string body;
    expand_input_into(data + i, size - i, MAX_BYTES, body, 64);
    if (options & 2) {
        head += "Content-Length: " + std::to_string(body.size()) + eol;
        if (options & 32) head += "content-length:\t" + std::to_string(body.size()) + eol;
    }
    head += eol;
    b->bytes = head;
    b->bytes += body;
    b->partial = status == 206 || status == 304;
    if (options & 4) {
        size_t at = (size_t)((unsigned long long)b->bytes.size() * cut_at / 65536);
        b->cut = at < head.size() || (options & 2);
        b->bytes.resize(at);
    }
}

void fuzz_response(const uint8_t *data, size_t size, uint8_t seed) {
    static built_t b;
    build_response(data, size, &b);
    const std::string &bytes = b.bytes;
    const size_t count = splits_for(bytes.size(), seed);
    feed_response(&reference_resp, bytes, splits[0]);
    const bool store = response_store(&reference_resp);
    // The shared rule, judged on the same bytes: what it refuses is never
    // stored, whatever else holds.
    const bool shareable = response_cacheable(bytes.data(), bytes.size(), false);
    if (trace) {
        fprintf(stderr, "response of %zu bytes%s%s%s%s: %s\n", bytes.size(), b.raw ? ", raw" : "",
                b.cut ? ", cut" : "", b.partial ? ", 206/304" : "",
                shareable ? "" : ", refused by the rule", store ? "stored" : "not stored");
    }
    if (store) {
        if (bytes.empty()) fuzz_fail("an empty response is stored", "");
        if (b.cut) fuzz_fail("a cut response is stored", escaped(bytes));
        if (b.partial) fuzz_fail("a 206 or 304 response is stored", escaped(bytes));
        if (!shareable) fuzz_fail("a response the shared rule refuses is stored", escaped(bytes));
        // What is stored is exactly what was relayed.
        if ((size_t)reference_resp.length != bytes.size() ||
            memcmp(reference_resp.cache_buf, bytes.data(), bytes.size()) != 0) {
            fuzz_fail("the stored bytes are not the response", escaped(bytes));
        }
    } else if (!b.raw && !b.cut && !b.partial && shareable && bytes.size() <= 94208) {
        // A whole, small response the generator built well and the rule
        // lets through must be kept, or the checks above would hold of a
        // core that keeps nothing.
        fuzz_fail("a complete response is not stored", escaped(bytes));
    }
    for (size_t i = 1; i < count; i++) {
        feed_response(&trial_resp, bytes, splits[i]);
        if (response_store(&trial_resp) != store) {
            fuzz_fail("another split of the same response decides otherwise",
                 "bytes " + escaped(bytes) + "\nsplit " + std::to_string(i));
        }
    }
    // The relay's lines once, over the last split of few pieces, unless the
    // response has so many lines that this would be the dearest pass by far
    // (the line reader has a target of its own).
    for (size_t i = count; few_lines(bytes) && i-- > 0;) {
        if (splits[i].size() > 64) continue;
        static std::vector<std::string> lines;
        const std::vector<size_t> pieces = piece_sizes(bytes.size(), splits[i]);
        if (relay_lines(bytes, pieces, false, &lines, &trial_resp) != 0) {
            fuzz_fail("a read failed on a stream that ends cleanly", escaped(bytes));
        }
        check_relay_reader(bytes, pieces, lines);
        if (response_store(&trial_resp) != store) {
            fuzz_fail("the relay's lines decide otherwise than the whole response",
                 "bytes " + escaped(bytes) + "\nsplit " + std::to_string(i));
        }
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    if (data[0] & 1) {
        fuzz_response(data + 2, size - 2, data[1]);
    } else {
        static std::string bytes;
        expand_input_into(data + 2, size - 2, MAX_BYTES, bytes);
        fuzz_request(bytes, data[1]);
    }
    return 0;
}
