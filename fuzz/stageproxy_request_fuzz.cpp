// Fuzzes stageproxy's request thread end to end: the fuzz input is what a
// browser sends; the real requestThread (validateRequest, the cache lookup,
// parseUrl, connectToServer, sendInitialRequest, passToServer,
// cacheAndRespond, the lingering close) serves it against the harness's
// origin on 127.0.0.1 (loopback.h). An independent model predicts for every
// input the host looked up, the port connected, the exact bytes the origin
// must receive (the request line, then the browser's header lines whole, with
// Keep-Alive dropped, Proxy-Connection and Connection replaced, a Host naming
// another host or port replaced by the URL's host and the port connected, any
// later Host dropped, by name in any case, each line ending in CR LF with NULs
// and stray CRs made blanks, up to the first line that is CR LF or LF alone,
// and the URL's Host line right after the request line when the block holds
// none, or none before more lines than the write batch holds; or, for a
// request announcing a body, the lines before it), what the browser must
// receive, and what the cache must hold (only whole responses that the
// shared-cache rule lets every browser get). Only an absolute http:// URL is
// fetched.
//
// Input: byte 0 chooses the exchange (bits 0-2 the origin's response, bit 3
// send the same bytes on a second connection, bit 4 the browser closes as
// soon as it has sent, bit 5 the origin refuses the connection, bits 6-7 the
// verbosity level, 3 counting as 0); the rest is the browser's bytes, with
// 0xFF k c standing for (k + 1) * 32 copies of c.
//
// The program's source is compiled into this file so that its static
// functions are reachable; its error lines, which every refused request
// prints, go to /dev/null instead of the fuzzer's log.
#include <arpa/inet.h>
#include <ctype.h>
#include <limits.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <strings.h>
#include <time.h>

#include <map>
#include <string>

#include "../stageproxy/cache.h"
#include "cacheable.h"
#include "loopback.h"
#include "robix.h"

static FILE *quiet_stderr = nullptr;

#undef stderr
#define stderr quiet_stderr
#define main stageproxy_main
#include "../stageproxy/proxy.cpp"
#undef main
#undef stderr
#define stderr stderr

namespace {

constexpr size_t MAX_BROWSER_BYTES = 60000;  // below the lingering close's 64 KB
constexpr size_t READ_LIMIT = 8191;          // bytes of one line read
constexpr size_t LARGEST = 102399;           // the largest response stored
// passToServer's write batch: lines held for want of a Host outgrow it past this.
constexpr size_t BATCH_BYTES = RIO_BUFSIZE + MAXLINE + 8;

enum outcome_t { SILENT, HIT, NO_ORIGIN, CUT, RELAYED };

struct expect_t {
    outcome_t outcome = SILENT;
    std::string url, domain, path;
    int port = -1;
    bool looks_up = false, connects = false;
    std::string upstream;
    // Refused for a body: the lines that came in the same reads as the
    // refused one are held back with it, so the origin gets the request
    // line and then any part of the rest of `upstream`.
    bool refused_body = false;
    bool request_private = false;  // a header line made the answer the browser's own
};

bool c_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string c_string(const std::string &bytes) {
    size_t nul = bytes.find('\0');
    return nul == std::string::npos ? bytes : bytes.substr(0, nul);
}

std::string next_piece(const std::string &bytes, size_t *pos) {
    size_t nl = bytes.find('\n', *pos);
    size_t len = nl == std::string::npos ? bytes.size() - *pos : nl + 1 - *pos;
    if (len > READ_LIMIT) len = READ_LIMIT;
    std::string piece = bytes.substr(*pos, len);
    *pos += len;
    return piece;
}

bool named(const std::string &line, const char *name);
std::vector<std::string> words(const std::string &line);

// A header line's value: after the colon, without the blanks and line end
// around it.
std::string value_of(const std::string &line, size_t name_length) {
    size_t from = line.find(':', name_length) + 1, to = line.size();
    while (from < to && (line[from] == ' ' || line[from] == '\t')) from++;
    while (to > from && c_space((unsigned char)line[to - 1])) to--;
    return line.substr(from, to - from);
}

bool all_digits(const std::string &text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// A whole line as it goes upstream: NULs and CRs that do not end it become
// blanks, and it ends in CR LF.
std::string clean_line(std::string line) {
    size_t body = line.size() - 1;  // without its LF
    if (body > 0 && line[body - 1] == '\r') body--;
    for (size_t i = 0; i < body; i++) {
        if (line[i] == '\0' || line[i] == '\r') line[i] = ' ';
    }
    return line.substr(0, body) + "\r\n";
}

// Whether a response is whole: not empty, a header block ended by an empty
// line, not 206 or 304, and a body as long as each Content-Length says.
bool whole_response(const std::string &r) {
    size_t nl = r.find('\n');
    if (nl == std::string::npos) return false;
    std::vector<std::string> w = words(c_string(r.substr(0, nl)));
    if (w[1] == "206" || w[1] == "304") return false;
    std::vector<std::string> headers;
    size_t at = nl + 1;
    for (;;) {
        nl = r.find('\n', at);
        if (nl == std::string::npos) return false;
        std::string line = r.substr(at, nl - at);
        at = nl + 1;
        if (line.empty() || line == "\r") break;
        headers.push_back(line);
    }
    for (const std::string &h : headers) {
        if (named(h, "Content-Length")) {
            std::string v = value_of(h, 14);
            if (!all_digits(v) || v.size() > 18 || std::stoull(v) != r.size() - at) return false;
        }
    }
    return true;
}

std::vector<std::string> words(const std::string &line) {
    std::vector<std::string> out;
    size_t i = 0;
    while (out.size() < 3) {
        while (i < line.size() && c_space((unsigned char)line[i])) i++;
        size_t start = i;
        while (i < line.size() && !c_space((unsigned char)line[i])) i++;
        out.push_back(line.substr(start, i - start));  // empty when the line has no more
    }
    return out;
}

// atoi's value (saturating like the conversion behind it, then cut to an int).
int atoi_model(const std::string &text) {
    size_t i = 0;
    while (i < text.size() && c_space((unsigned char)text[i])) i++;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const unsigned long long limit = (unsigned long long)LONG_MAX + 1;
    unsigned long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        unsigned long long digit = (unsigned long long)(text[i] - '0');
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    long result;
    if (negative) {
        result = value >= limit ? LONG_MIN : -(long)value;
    } else {
        result = value > (unsigned long long)LONG_MAX ? LONG_MAX : (long)value;
    }
    return (int)result;
}

// Whether a header line is called `name`: the name in any letter case, then
// the colon, perhaps after blanks (to the end of the read).
bool named(const std::string &line, const char *name) {
    size_t n = strlen(name);
    if (line.size() <= n) return false;
    for (size_t i = 0; i < n; i++) {
        if (tolower((unsigned char)line[i]) != tolower((unsigned char)name[i])) return false;
    }
    while (n < line.size() &&
           (line[n] == ' ' || line[n] == '\t' || line[n] == '\0' || line[n] == '\r'))
        n++;
    return n == line.size() || line[n] == ':';  // a read of blanks may yet reach one
}

// A line folded onto the one before: refused like a body.
bool folded(const std::string &line) {
    if (line.empty()) return false;
    const char c = line[0];
    return c == ' ' || c == '\t' || c == '\0' || (c == '\r' && line.size() > 1 && line[1] != '\n');
}

expect_t predict(const std::string &bytes, const std::map<std::string, std::string> &stored,
                 bool refuse) {
    expect_t e;
    size_t pos = 0;
    std::string first = bytes.empty() ? std::string() : next_piece(bytes, &pos);
    // A request line cut by the read limit or by the end of the stream.
    if (!first.empty() && first.back() != '\n') return e;
    std::vector<std::string> w = words(c_string(first));
    if (strcasecmp(w[0].c_str(), "GET") != 0) return e;
    // Refused before the cache is looked at.
    if (strncasecmp(w[1].c_str(), "http://", 7) != 0) return e;
    e.url = w[1];
    if (stored.count(e.url) != 0) {
        e.outcome = HIT;
        return e;
    }
    const std::string &url = e.url;
    if (url.size() <= 6) return e;
    size_t i = 7;
    while (i < url.size() && url[i] != '/' && url[i] != ':') i++;
    size_t offset = i;
    e.port = 80;
    if (i < url.size() && url[i] == ':') {
        offset = i + 1;
        while (offset < url.size() && url[offset] != '/') offset++;
        e.port = atoi_model(url.substr(i + 1, offset - i - 1));
    }
    e.domain = url.substr(7, i - 7);
    e.path = offset == url.size() ? "/" : url.substr(offset);
    // A dotted address (as inet_aton reads one) is connected without a lookup.
    struct in_addr dotted;
    const bool numeric = inet_aton(e.domain.c_str(), &dotted) != 0;
    e.looks_up = !numeric;
    e.outcome = NO_ORIGIN;
    if (!numeric && lookup_answer(e.domain) != LOOKUP_ADDRESS) return e;
    e.connects = true;
    if (refuse) return e;

    e.upstream = "GET " + e.path + " HTTP/1.0\r\n";
    const size_t request_end = e.upstream.size();
    const int connected = (int)(uint16_t)e.port;
    const std::string host_line =
        "Host: " + e.domain + (connected == 80 ? "" : ":" + std::to_string(connected)) + "\r\n";
    // Whether a Host went upstream: the browser's, or the URL's once the
    // lines held for want of one outgrew the write batch.
    bool host_sent = false;
    auto add_host_if_held_too_long = [&]() {
        if (!host_sent && e.upstream.size() - request_end > BATCH_BYTES) {
            e.upstream.insert(request_end, host_line);
            host_sent = true;
        }
    };
    for (;;) {
        // The whole next line, as many reads as it takes.
        size_t nl = bytes.find('\n', pos);
        if (nl == std::string::npos) {
            // The browser's stream ended inside the block, maybe inside a
            // line, whose reads went up as they came, judged by the first.
            // Without a Host sent, the lines held for one never go.
            e.outcome = CUT;
            std::string rest = bytes.substr(pos);
            // Judged by its first read, as a whole line is.
            const std::string rhead = rest.substr(0, READ_LIMIT);
            if (!rest.empty() && (folded(rhead) || named(rhead, "Transfer-Encoding") ||
                                  named(rhead, "Content-Length"))) {
                e.refused_body = true;
                if (!host_sent) e.upstream.resize(request_end);
                return e;
            }
            if (rest.empty() || named(rhead, "Keep-Alive")) {
                // nothing more goes
            } else if (named(rhead, "Proxy-Connection")) {
                e.upstream += "Proxy-Connection: close\r\n";
            } else if (named(rhead, "Connection")) {
                e.upstream += "Connection: close\r\n";
            } else if (named(rhead, "Host")) {
                // A cut line names no host; a second Host is dropped.
                if (!host_sent) e.upstream += host_line;
                host_sent = true;
            } else {
                // A CR last of all may yet have been followed by its LF.
                if (rest.back() == '\r') rest.pop_back();
                for (char &c : rest) {
                    if (c == '\0' || c == '\r') c = ' ';
                }
                e.upstream += rest;
            }
            add_host_if_held_too_long();
            if (!host_sent) e.upstream.resize(request_end);
            return e;
        }
        std::string line = bytes.substr(pos, nl + 1 - pos);
        pos = nl + 1;
        if (line == "\n" || line == "\r\n") {
            if (!host_sent) e.upstream.insert(request_end, host_line);
            e.upstream += "\r\n";
            break;
        }
        // Only the first read of a line is judged by its name.
        const std::string head = line.substr(0, READ_LIMIT);
        const bool one_read = line.size() <= READ_LIMIT;
        if (!folded(head)) {
            // Judged as it came and as it goes upstream, NULs and stray CRs
            // made blanks.
            std::string sent = head;
            const size_t text = sent.size() >= 2 && sent.compare(sent.size() - 2, 2, "\r\n") == 0
                                    ? sent.size() - 2
                                    : sent.size();
            for (size_t i = 0; i < sent.size(); i++) {
                if (sent[i] == '\0' || (sent[i] == '\r' && i < text)) sent[i] = ' ';
            }
            if (request_line_private(head.data(), head.size()) ||
                request_line_private(sent.data(), sent.size()) ||
                (!one_read && named(head, "Cache-Control")))
                e.request_private = true;
        }
        if (folded(head) || named(head, "Transfer-Encoding") ||
            (named(head, "Content-Length") &&
             !(one_read && all_digits(value_of(line, 14)) && value_of(line, 14).size() <= 18 &&
               value_of(line, 14).find_first_not_of('0') == std::string::npos))) {
            e.outcome = CUT;  // a body announced: refused before the block ends
            e.refused_body = true;
            return e;
        }
        if (named(head, "Keep-Alive")) continue;
        if (named(head, "Proxy-Connection")) {
            e.upstream += "Proxy-Connection: close\r\n";
        } else if (named(head, "Connection")) {
            e.upstream += "Connection: close\r\n";
        } else if (named(head, "Host")) {
            add_host_if_held_too_long();
            if (host_sent) continue;  // only one Host line goes
            host_sent = true;
            // The host, and a port after a colon (none: 80).
            std::string v = value_of(line, 4), digits = "80";
            size_t colon = v.find_last_of(':');
            if (colon != std::string::npos &&
                (colon + 1 == v.size() || all_digits(v.substr(colon + 1)))) {
                digits = v.substr(colon + 1);
                v = v.substr(0, colon);
            }
            const bool port_named = all_digits(digits) && digits.size() <= 18 &&
                                    std::stoll(digits) == (long long)connected;
            e.upstream += one_read && port_named && strcasecmp(v.c_str(), e.domain.c_str()) == 0 &&
                                  v.size() == e.domain.size()
                              ? clean_line(line)
                              : host_line;
        } else {
            e.upstream += clean_line(line);
        }
        add_host_if_held_too_long();
    }
    e.outcome = RELAYED;
    return e;
}

// The upstream request's shape, apart from the model: "GET /<path>
// HTTP/1.0" with no other blank, and no line called Keep-Alive, nor one
// called Connection or Proxy-Connection other than the close forms; a whole
// one ends each line in CR LF and has its only blank line last, a cut one
// has no blank line.
void check_upstream_shape(const std::string &up, bool whole) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < up.size();) {
        size_t nl = up.find('\n', i);
        size_t end = nl == std::string::npos ? up.size() : nl + 1;
        lines.push_back(up.substr(i, end - i));
        i = end;
    }
    const std::string tail = " HTTP/1.0\r\n";
    bool ok = !lines.empty() && lines[0].compare(0, 5, "GET /") == 0 &&
              lines[0].size() >= 5 + tail.size() &&
              lines[0].compare(lines[0].size() - tail.size(), tail.size(), tail) == 0;
    for (size_t i = 4; ok && i < lines[0].size() - tail.size(); i++) {
        if (c_space((unsigned char)lines[0][i])) ok = false;
    }
    for (size_t k = 1; ok && k < lines.size(); k++) {
        // A whole request: every line ends in CR LF, and the blank line ends it.
        bool crlf = lines[k].size() >= 2 && lines[k].compare(lines[k].size() - 2, 2, "\r\n") == 0;
        if (whole && !crlf) ok = false;
        if ((lines[k] == "\r\n") != (whole && k + 1 == lines.size())) ok = false;
        if (named(lines[k], "Keep-Alive")) ok = false;
        if (named(lines[k], "Connection") && lines[k] != "Connection: close\r\n") ok = false;
        if (named(lines[k], "Proxy-Connection") && lines[k] != "Proxy-Connection: close\r\n") {
            ok = false;
        }
    }
    if (!ok) fuzz_fail("the upstream request is malformed", escaped(up));
}

void serve_stage(int fd) { requestThread((void *)(intptr_t)fd); }

// The cache against the model: entries newest first, keys and bytes, budget.
void check_cache_contents(const std::vector<std::pair<std::string, std::string>> &newest_first) {
    pthread_rwlock_rdlock(&rwlock);
    const char *broken = cacheCheckInvariants();
    pthread_rwlock_unlock(&rwlock);
    if (broken != nullptr) fuzz_fail("the cache's invariants do not hold", broken);
    size_t used = 0;
    const cacheEntry *e = head;
    for (const std::pair<std::string, std::string> &want : newest_first) {
        if (e == nullptr) fuzz_fail("the cache holds fewer entries than were stored");
        std::string data(e->data, (size_t)e->size);
        if (want.first != e->url || want.second != data) {
            fuzz_fail("a cache entry differs from what was relayed",
                      "key " + escaped(e->url) + "\nbytes " + escaped(data, 200));
        }
        used += data.size() + want.first.size() + 1 + ENTRY_RECORD_CHARGE;
        e = e->next;
    }
    if (e != nullptr) fuzz_fail("the cache holds more entries than were stored");
    if (available != MAX_CACHE_SIZE - (int)used) fuzz_fail("the budget does not match the entries");
}

bool trace = false;

}  // namespace

// FUZZ_TRACE=1 in the environment prints each round's predicted outcome.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    trace = getenv("FUZZ_TRACE") != nullptr;
    quiet_stderr = fopen("/dev/null", "w");
    if (quiet_stderr == nullptr) fuzz_fail("cannot open /dev/null");
    loopback_init();
    initCache();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    const origin_kind_t origin = (origin_kind_t)(flags & 7);
    const int rounds = (flags & 8) ? 2 : 1;
    const bool vanish = (flags & 16) != 0;
    const bool refuse = (flags & 32) != 0;
    verbosity = (flags >> 6) % 3;
    const std::string bytes = expand_input(data + 1, size - 1, MAX_BROWSER_BYTES);
    const std::string &response = origin_response(origin);

    std::map<std::string, std::string> stored;
    std::vector<std::pair<std::string, std::string>> entries;  // newest first
    for (int round = 0; round < rounds; round++) {
        expect_t e = predict(bytes, stored, refuse);
        exchange_t x;
        x.browser_sends = bytes;
        x.browser_vanishes = vanish;
        x.refuse_connect = refuse;
        x.origin = origin;
        x.expect_upstream = e.upstream;
        run_exchange(serve_stage, x);
        if (trace) {
            static const char *const names[] = {"silent", "hit", "no origin", "cut", "relayed"};
            fprintf(stderr, "round %d: %s, browser got %zu bytes, origin %zu connection(s)\n",
                    round, names[e.outcome], x.browser_got.size(), x.origin_got.size());
        }

        // A dotted address is connected as the URL wrote it, a name at the
        // resolver's answer.
        if (!x.connect_address_ok) {
            fuzz_fail("connect() to an address the resolver never gave, or not to the URL's");
        }
        std::vector<std::string> want_lookups;
        if (e.looks_up) want_lookups.push_back(e.domain);
        if (x.lookups != want_lookups) {
            fuzz_fail("the wrong host was looked up",
                      "model " + (e.looks_up ? escaped(e.domain) : std::string("(none)")) +
                          "\nlooked up " + std::to_string(x.lookups.size()) + " names" +
                          (x.lookups.empty() ? "" : ", first " + escaped(x.lookups[0])));
        }
        std::vector<int> want_ports;
        if (e.connects) want_ports.push_back((int)(uint16_t)e.port);
        if (x.connect_ports != want_ports) {
            fuzz_fail("the wrong port was connected",
                      "model " + std::to_string(e.connects ? (int)(uint16_t)e.port : -1) +
                          ", connected " +
                          (x.connect_ports.empty() ? std::string("none")
                                                   : std::to_string(x.connect_ports[0])));
        }
        if (e.outcome == RELAYED || e.outcome == CUT) {
            if (x.origin_got.size() != 1) fuzz_fail("the origin was not contacted once");
            check_upstream_shape(x.origin_got[0], e.outcome == RELAYED);
            const std::string &got = x.origin_got[0];
            const bool held_back = e.refused_body && got.size() <= e.upstream.size() &&
                                   e.upstream.compare(0, got.size(), got) == 0 &&
                                   got.size() >= e.upstream.find('\n') + 1;
            if (got != e.upstream && !held_back) {
                fuzz_fail("the upstream request differs from the model",
                          "got\n" + escaped(x.origin_got[0], 3000) + "\nmodel\n" +
                              escaped(e.upstream, 3000));
            }
        } else if (!x.origin_got.empty()) {
            fuzz_fail("the origin was contacted", escaped(x.origin_got[0]));
        }

        if (!vanish) {
            std::string want;
            if (e.outcome == HIT) want = stored[e.url];
            if (e.outcome == RELAYED) want = response;
            if (x.browser_got != want) {
                fuzz_fail("the browser received the wrong bytes",
                          "got\n" + escaped(x.browser_got) + "\nwanted\n" + escaped(want));
            }
        }

        // A whole relayed response of up to LARGEST bytes is stored. A
        // browser that went away may have cut the relay short, so then either
        // is right, as long as what is kept is the response.
        if (e.outcome == RELAYED && response.size() <= LARGEST && whole_response(response) &&
            response_cacheable(response.data(), response.size(), e.request_private)) {
            size_t count = 0;
            for (const cacheEntry *c = head; c != nullptr; c = c->next) count++;
            if (count > entries.size() || !vanish) {
                entries.insert(entries.begin(), {e.url, response});
                stored[e.url] = response;
            }
        }
        check_cache_contents(entries);
    }
    pthread_rwlock_wrlock(&rwlock);
    cacheClear();
    pthread_rwlock_unlock(&rwlock);
    return 0;
}
