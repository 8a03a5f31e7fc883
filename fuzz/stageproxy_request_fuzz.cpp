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
// Input: as request_rounds.h says, with bits 6-7 of byte 0 the verbosity
// level (3 counting as 0).
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

#include <string>

#include "../stageproxy/cache.h"
#include "cacheable.h"
#include "request_rounds.h"
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

constexpr size_t READ_LIMIT = 8191;          // bytes of one line read
constexpr size_t LARGEST = 102399;           // the largest response stored
// passToServer's write batch: lines held for want of a Host outgrow it past this.
constexpr size_t BATCH_BYTES = RIO_BUFSIZE + MAXLINE + 8;

// The prediction (its key the URL), and what the model works out on the
// way. Refused for a body, the lines that came in the same reads as the
// refused one are held back with it, so the origin gets the request line
// and then any part of the rest of the upstream request.
struct expect_t {
    round_want_t want;
    std::string domain, path;
    int port = -1;
    bool request_private = false;  // a header line made the answer the browser's own
};

std::string next_piece(const std::string &bytes, size_t *pos) {
    size_t nl = bytes.find('\n', *pos);
    size_t len = nl == std::string::npos ? bytes.size() - *pos : nl + 1 - *pos;
    if (len > READ_LIMIT) len = READ_LIMIT;
    std::string piece = bytes.substr(*pos, len);
    *pos += len;
    return piece;
}

bool named(const std::string &line, const char *name);

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
    std::vector<std::string> w = c_words(c_string(r.substr(0, nl)));
    w.resize(3);
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
            std::string v = header_value(h, 14);
            if (!all_digits(v) || v.size() > 18 || std::stoull(v) != r.size() - at) return false;
        }
    }
    return true;
}

// atoi's value: strtol's, cut to an int (0 without digits).
int atoi_model(const std::string &text) {
    size_t i = 0;
    long value = 0;
    c_strtol(text, &i, &value);
    return (int)value;
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
                 bool refuse, const std::string &response) {
    expect_t e;
    size_t pos = 0;
    std::string first = bytes.empty() ? std::string() : next_piece(bytes, &pos);
    // A request line cut by the read limit or by the end of the stream.
    if (!first.empty() && first.back() != '\n') return e;
    std::vector<std::string> w = c_words(c_string(first));
    w.resize(3);
    if (strcasecmp(w[0].c_str(), "GET") != 0) return e;
    // Refused before the cache is looked at.
    if (strncasecmp(w[1].c_str(), "http://", 7) != 0) return e;
    e.want.key = w[1];
    if (stored.count(e.want.key) != 0) {
        e.want.outcome = ROUND_HIT;
        return e;
    }
    const std::string &url = e.want.key;
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
    e.want.looks_up = !numeric;
    e.want.lookup = e.domain;
    e.want.outcome = ROUND_NO_ORIGIN;
    if (!numeric && lookup_answer(e.domain) != LOOKUP_ADDRESS) return e;
    e.want.connects = true;
    e.want.port = (int)(uint16_t)e.port;
    if (refuse) return e;

    e.want.upstream = "GET " + e.path + " HTTP/1.0\r\n";
    const size_t request_end = e.want.upstream.size();
    const int connected = (int)(uint16_t)e.port;
    const std::string host_line =
        "Host: " + e.domain + (connected == 80 ? "" : ":" + std::to_string(connected)) + "\r\n";
    // Whether a Host went upstream: the browser's, or the URL's once the
    // lines held for want of one outgrew the write batch.
    bool host_sent = false;
    auto add_host_if_held_too_long = [&]() {
        if (!host_sent && e.want.upstream.size() - request_end > BATCH_BYTES) {
            e.want.upstream.insert(request_end, host_line);
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
            e.want.outcome = ROUND_CUT;
            std::string rest = bytes.substr(pos);
            // Judged by its first read, as a whole line is.
            const std::string rhead = rest.substr(0, READ_LIMIT);
            if (!rest.empty() && (folded(rhead) || named(rhead, "Transfer-Encoding") ||
                                  named(rhead, "Content-Length"))) {
                e.want.upstream_may_stop = true;
                if (!host_sent) e.want.upstream.resize(request_end);
                return e;
            }
            if (rest.empty() || named(rhead, "Keep-Alive")) {
                // nothing more goes
            } else if (named(rhead, "Proxy-Connection")) {
                e.want.upstream += "Proxy-Connection: close\r\n";
            } else if (named(rhead, "Connection")) {
                e.want.upstream += "Connection: close\r\n";
            } else if (named(rhead, "Host")) {
                // A cut line names no host; a second Host is dropped.
                if (!host_sent) e.want.upstream += host_line;
                host_sent = true;
            } else {
                // A CR last of all may yet have been followed by its LF.
                if (rest.back() == '\r') rest.pop_back();
                for (char &c : rest) {
                    if (c == '\0' || c == '\r') c = ' ';
                }
                e.want.upstream += rest;
            }
            add_host_if_held_too_long();
            if (!host_sent) e.want.upstream.resize(request_end);
            return e;
        }
        std::string line = bytes.substr(pos, nl + 1 - pos);
        pos = nl + 1;
        if (line == "\n" || line == "\r\n") {
            if (!host_sent) e.want.upstream.insert(request_end, host_line);
            e.want.upstream += "\r\n";
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
             !(one_read && all_digits(header_value(line, 14)) && header_value(line, 14).size() <= 18 &&
               header_value(line, 14).find_first_not_of('0') == std::string::npos))) {
            e.want.outcome = ROUND_CUT;  // a body announced: refused before the block ends
            e.want.upstream_may_stop = true;
            return e;
        }
        if (named(head, "Keep-Alive")) continue;
        if (named(head, "Proxy-Connection")) {
            e.want.upstream += "Proxy-Connection: close\r\n";
        } else if (named(head, "Connection")) {
            e.want.upstream += "Connection: close\r\n";
        } else if (named(head, "Host")) {
            add_host_if_held_too_long();
            if (host_sent) continue;  // only one Host line goes
            host_sent = true;
            // The host, and a port after a colon (none: 80).
            std::string v = header_value(line, 4), digits = "80";
            size_t colon = v.find_last_of(':');
            if (colon != std::string::npos &&
                (colon + 1 == v.size() || all_digits(v.substr(colon + 1)))) {
                digits = v.substr(colon + 1);
                v = v.substr(0, colon);
            }
            const bool port_named = all_digits(digits) && digits.size() <= 18 &&
                                    std::stoll(digits) == (long long)connected;
            e.want.upstream += one_read && port_named && strcasecmp(v.c_str(), e.domain.c_str()) == 0 &&
                                  v.size() == e.domain.size()
                              ? clean_line(line)
                              : host_line;
        } else {
            e.want.upstream += clean_line(line);
        }
        add_host_if_held_too_long();
    }
    e.want.outcome = ROUND_RELAYED;
    // A whole relayed response of up to LARGEST bytes is stored.
    e.want.stores = response.size() <= LARGEST && whole_response(response) &&
                    response_cacheable(response.data(), response.size(), e.request_private);
    return e;
}

// The upstream request's shape, apart from the model: "GET /<path>
// HTTP/1.0" with no other blank, and no line called Keep-Alive, nor one
// called Connection or Proxy-Connection other than the close forms; a whole
// one ends each line in CR LF and has its only blank line last, a cut one
// has no blank line.
void check_upstream_shape(const std::string &up, bool whole) {
    const std::vector<std::string> lines = split_lines(up);
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


}  // namespace

round_want_t target_predict(const request_input_t &in, const model_cache_t &model) {
    verbosity = (in.flags >> 6) % 3;  // for the round about to be served
    return predict(in.bytes, model.stored, in.refuse, *in.response).want;
}

void target_serve(int fd) { requestThread((void *)(intptr_t)fd); }

void target_check_exchange(const exchange_t &x, const round_want_t &want) {
    const bool whole = want.outcome == ROUND_RELAYED;
    if (whole || want.outcome == ROUND_CUT) check_upstream_shape(x.origin_got[0], whole);
}

void target_init(void) {
    quiet_stderr = fopen("/dev/null", "w");
    if (quiet_stderr == nullptr) fuzz_fail("cannot open /dev/null");
    initCache();
}

size_t target_cache_entries(void) {
    size_t count = 0;
    for (const cacheEntry *c = head; c != nullptr; c = c->next) count++;
    return count;
}

// The cache against the model: its entries newest first, keys and bytes,
// and the budget they leave.
void target_check_cache(const model_cache_t &model) {
    pthread_rwlock_rdlock(&rwlock);
    const char *broken = cacheCheckInvariants();
    pthread_rwlock_unlock(&rwlock);
    if (broken != nullptr) fuzz_fail("the cache's invariants do not hold", broken);
    size_t used = 0;
    const cacheEntry *e = head;
    for (auto want = model.entries.rbegin(); want != model.entries.rend(); ++want, e = e->next) {
        if (e == nullptr) fuzz_fail("the cache holds fewer entries than were stored");
        check_cache_entry(*want, e->url, e->data, (size_t)e->size);
        used += want->second.size() + want->first.size() + 1 + ENTRY_RECORD_CHARGE;
    }
    if (e != nullptr) fuzz_fail("the cache holds more entries than were stored");
    if (available != MAX_CACHE_SIZE - (int)used) fuzz_fail("the budget does not match the entries");
}

void target_clear_cache(void) {
    pthread_rwlock_wrlock(&rwlock);
    cacheClear();
    pthread_rwlock_unlock(&rwlock);
}
