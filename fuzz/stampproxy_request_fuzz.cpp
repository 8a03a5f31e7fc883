// Fuzzes stampproxy's connection handling end to end: the fuzz input is what
// a browser sends; the real handle_connection (request line, the three
// scanf-style parses, cache lookup, header rewriting, upstream request,
// relay, cache offer) serves it against the harness's origin on 127.0.0.1
// (loopback.h). An independent model (hand-written scanners, no scanf)
// predicts for every input the host looked up, the port connected, the exact
// request the origin must receive, what the browser must receive, and what
// the cache must hold; the upstream request's shape and rewrite rules are
// also checked on their own.
//
// Input: as request_rounds.h says.
//
// The program's source is compiled into this file; its resolver, socket()
// and connect() calls go to the harness's stand-ins; the thread body does
// not detach itself (the accept loop starts threads detached), so the
// harness can join it.
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "../stampproxy/cache.h"
#include "cacheable.h"
#include "request_rounds.h"
#include "robix.h"

#define main stampproxy_main
#define LOOPBACK_SOURCE "../stampproxy/proxy.cpp"
#include "loopback_source.h"
#undef main

namespace {

constexpr size_t PIECE_LIMIT = 1023;         // bytes of one line read
constexpr size_t BUFFER_LIMIT = 10239;       // kept headers, and the whole request
constexpr size_t ONE_READ = 102400;          // the relay's read, the largest object

// The prediction (its key the request line as the C string the program
// keeps), and what the model works out on the way.
struct expect_t {
    round_want_t want;
    std::string action, address, file;
    int port = -1;
    bool request_private = false;  // some header line makes the answer the browser's own
};

// The conversions of the three patterns, written out by hand: a white-space
// directive skips any run of white space; %s skips white space, then takes
// one or more other characters; %[^c] takes one or more characters other
// than c; a literal character must come next. A failed step ends the pattern
// with the earlier targets assigned and the later ones untouched.
struct scanner_t {
    const std::string &s;
    size_t i = 0;

    bool at_end() const { return i >= s.size(); }
    void skip_space() {
        while (!at_end() && c_space((unsigned char)s[i])) i++;
    }
    bool word(std::string &out) {
        skip_space();
        size_t start = i;
        while (!at_end() && !c_space((unsigned char)s[i])) i++;
        if (i == start) return false;
        out = s.substr(start, i - start);
        return true;
    }
    bool all_but(char stop, std::string &out) {
        size_t start = i;
        while (!at_end() && s[i] != stop) i++;
        if (i == start) return false;
        out = s.substr(start, i - start);
        return true;
    }
    bool literal(char c) {
        if (at_end() || s[i] != c) return false;
        i++;
        return true;
    }
    // %d: white space, a sign, one or more digits; the value as the C
    // library converts it (saturated to a long, then cut to an int).
    bool decimal(int &out) {
        long value;
        if (!c_strtol(s, &i, &value)) return false;
        out = (int)value;
        return true;
    }
};

void parse_model(const std::string &request, expect_t &e) {
    std::string temp, protocol;
    // "%s %[^:]://%s %s"
    {
        scanner_t sc{request};
        if (sc.word(e.action)) {
            sc.skip_space();
            if (sc.all_but(':', temp) && sc.literal(':') && sc.literal('/') && sc.literal('/') &&
                sc.word(e.address)) {
                sc.word(protocol);
            }
        }
    }
    // "%[^/]/%s" over the address
    {
        scanner_t sc{e.address};
        if (sc.all_but('/', temp) && sc.literal('/')) sc.word(e.file);
    }
    // "%[^:]:%d" over temp; exactly one conversion means port 80
    {
        scanner_t sc{temp};
        int matched = 0;
        if (sc.all_but(':', e.address)) {
            matched = 1;
            if (sc.literal(':') && sc.decimal(e.port)) matched = 2;
        }
        if (matched == 1) e.port = 80;
    }
}

// Whether a header line (as a C string) has this name, letter case aside,
// then a colon and some non-blank character.
bool named(const std::string &line, const char *name) {
    size_t len = strlen(name);
    if (line.size() < len + 1 || strncasecmp(line.c_str(), name, len) != 0 || line[len] != ':') {
        return false;
    }
    for (size_t i = len + 1; i < line.size(); i++) {
        if (!c_space((unsigned char)line[i])) return true;
    }
    return false;
}

// A Content-Length other than zero, or any Transfer-Encoding.
bool body_announced(const std::string &line) {
    if (header_value_at(line, "Transfer-Encoding") != std::string::npos) return true;
    size_t i = header_value_at(line, "Content-Length");
    if (i == std::string::npos) return false;
    while (i < line.size() && c_blank(line[i])) i++;
    size_t zeros = i;
    while (i < line.size() && line[i] == '0') i++;
    bool zero = i > zeros;
    while (i < line.size() && c_blank(line[i])) i++;
    return !(zero && i == line.size());
}

// The Host line a proxy writes for the URL: its host, and the port connected
// to unless that is 80.
std::string own_host_line(const expect_t &e) {
    unsigned port = (uint16_t)e.port;
    std::string host = "Host: " + c_string(e.address);
    if (port != 80) host += ":" + std::to_string(port);
    return host + "\r\n";
}

// A Host line whose host (blanks around it aside) is the URL's in any case,
// and whose port is the one connected to: decimal digits of its value, or
// none when that is 80.
bool host_is(const std::string &line, const std::string &host, int url_port) {
    unsigned port = (uint16_t)url_port;
    size_t i = header_value_at(line, "Host");
    while (i < line.size() && c_blank(line[i])) i++;
    size_t start = i;
    while (i < line.size() && line[i] != ':' && !c_blank(line[i])) i++;
    std::string named_host = line.substr(start, i - start);
    unsigned long named_port = 80;
    if (i < line.size() && line[i] == ':') {
        i++;
        size_t digits = i;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9') i++;
        if (i == digits) return false;
        std::string number = line.substr(digits, i - digits);
        size_t lead = number.find_first_not_of('0');
        number = lead == std::string::npos ? "0" : number.substr(lead);
        named_port = number.size() > 5 ? 100000 : std::stoul(number);
    }
    while (i < line.size() && c_blank(line[i])) i++;
    return i == line.size() && named_port == port && same_caseless(named_host, host);
}

bool storable(const expect_t &e, const std::string &response);

expect_t predict(const std::string &bytes, const std::map<std::string, std::string> &stored,
                 bool refuse, const std::string &response) {
    expect_t e;
    if (bytes.empty()) return e;  // closed before a byte
    // Only a whole request line within the limit is acted on.
    size_t nl = bytes.find('\n');
    if (nl == std::string::npos || nl + 1 > PIECE_LIMIT) return e;
    // A NUL ends the line as text, before its line end: refused too.
    if (bytes.find('\0') < nl) return e;
    // Only an absolute URL is fetched; anything else is refused before the lookup.
    if (!absolute_url_word(bytes.substr(0, nl + 1))) return e;
    e.want.key = bytes.substr(0, nl + 1);
    parse_model(e.want.key, e);
    if (stored.count(e.want.key) != 0) {
        e.want.outcome = ROUND_HIT;
        return e;
    }
    std::string kept;
    bool host_sent = false, body = false, folded = false;
    size_t pos = nl + 1;
    for (;;) {
        size_t end = bytes.find('\n', pos);
        if (end == std::string::npos) {
            // An unfinished last line is dropped, unless it outgrew the buffer.
            if (bytes.size() - pos >= BUFFER_LIMIT) return e;
            break;
        }
        if (end + 1 - pos > BUFFER_LIMIT) return e;  // refused: too large
        std::string line = bytes.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;  // the blank line
        for (char &c : line) {
            if (c == '\0' || c == '\r') c = ' ';
        }
        if (body_announced(line)) body = true;
        if (line[0] == ' ' || line[0] == '\t') folded = true;
        if (request_line_private(line.data(), line.size())) e.request_private = true;
        std::string add;
        if (named(line, "Proxy-Connection")) {
            add = "Proxy-Connection: close\r\n";
        } else if (named(line, "Keep-Alive") || named(line, "Connection")) {
            continue;
        } else if (header_value_at(line, "Host") != std::string::npos) {
            // One Host line goes upstream: a second is dropped.
            if (host_sent) continue;
            host_sent = true;
            add = host_is(line, c_string(e.address), e.port) ? line + "\r\n" : own_host_line(e);
        } else {
            add = line + "\r\n";
        }
        if (kept.size() + add.size() > BUFFER_LIMIT) return e;  // refused
        kept += add;
    }
    if (body || folded) return e;  // refused: bodies, folded lines
    std::string packet = e.action + " /" + e.file + " HTTP/1.0\r\n";
    if (!host_sent) packet += own_host_line(e);
    packet += "Connection: close\r\n" + kept + "\r\n";
    if (packet.size() > BUFFER_LIMIT) return e;  // refused
    e.want.looks_up = true;
    e.want.lookup = c_string(e.address);
    e.want.outcome = ROUND_NO_ORIGIN;
    if (lookup_answer(e.address) != LOOKUP_ADDRESS) return e;
    e.want.connects = true;
    e.want.port = (int)(uint16_t)e.port;
    if (refuse) return e;
    e.want.outcome = ROUND_RELAYED;
    e.want.upstream = packet;
    // A whole response that came in one read is kept.
    e.want.stores = storable(e, response);
    return e;
}

// Whether a relayed response is stored: an answer to GET or HEAD that came
// in one read, whose header block ended, that is neither 206 nor 304, whose
// body matches each Content-Length it declares (unless HEAD), and that the
// shared rule lets any browser have.
bool storable(const expect_t &e, const std::string &response) {
    if (e.action != "GET" && e.action != "HEAD") return false;
    if (!response_cacheable(response.data(), response.size(), e.request_private)) return false;
    if (response.empty() || response.size() > ONE_READ) return false;
    std::vector<std::string> lines;
    size_t pos = 0, body = std::string::npos;
    while (body == std::string::npos) {
        size_t nl = response.find('\n', pos);
        if (nl == std::string::npos) return false;
        std::string line = response.substr(pos, nl - pos);
        pos = nl + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() && !lines.empty()) body = pos;
        lines.push_back(line);
    }
    const std::string &status = lines[0];
    size_t sp = status.find_first_of(" \n");
    if (sp != std::string::npos) {
        size_t code = status.find_first_not_of(' ', sp);
        if (code != std::string::npos) {
            // Three digits not followed by a fourth.
            std::string word = status.substr(code, 3);
            bool fourth = code + 3 < status.size() && status[code + 3] >= '0' &&
                          status[code + 3] <= '9';
            if ((word == "206" || word == "304") && !fourth) return false;
        }
    }
    if (e.action == "HEAD") return true;
    for (size_t k = 1; k + 1 < lines.size(); k++) {
        const std::string &line = lines[k];
        size_t i = header_value_at(line, "Content-Length");
        if (i == std::string::npos) continue;
        while (i < line.size() && c_blank(line[i])) i++;
        size_t digits = i;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9') i++;
        std::string number = line.substr(digits, i - digits);
        while (i < line.size() && c_blank(line[i])) i++;
        if (number.empty() || i != line.size() || number.size() > 9 ||
            std::stoul(number) != response.size() - body) {
            return false;
        }
    }
    return true;
}

// The upstream request's shape, apart from the model: "<method> /<path>
// HTTP/1.0" with no other blank; then the proxy's Host line or not, then
// "Connection: close"; no other Connection or Keep-Alive line and every
// Proxy-Connection line rewritten; the last line ends in CR LF.
void check_upstream_shape(const std::string &up) {
    const std::vector<std::string> lines = split_lines(up);
    const std::string tail = " HTTP/1.0\r\n";
    // Every line ends in CR LF.
    for (const std::string &line : lines) {
        if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
            fuzz_fail("an upstream line does not end in CR LF", escaped(up));
        }
    }
    bool ok = lines.size() >= 3 && lines[0].size() > tail.size() &&
              lines[0].compare(lines[0].size() - tail.size(), tail.size(), tail) == 0;
    if (ok) {
        std::string head = lines[0].substr(0, lines[0].size() - tail.size());
        size_t sp = head.find(' ');
        ok = sp != std::string::npos && sp > 0 && sp + 1 < head.size() && head[sp + 1] == '/';
        for (size_t i = 0; ok && i < head.size(); i++) {
            if (i != sp && c_space((unsigned char)head[i])) ok = false;
        }
    }
    size_t own = ok && lines[1].compare(0, 6, "Host: ") == 0 ? 2 : 1;
    ok = ok && lines.size() > own && lines[own] == "Connection: close\r\n" &&
         up.size() >= 2 && up.compare(up.size() - 2, 2, "\r\n") == 0;
    for (size_t k = own + 1; ok && k < lines.size(); k++) {
        std::string line = c_string(lines[k]);
        if (named(line, "Connection") || named(line, "Keep-Alive")) ok = false;
        if (named(line, "Proxy-Connection") && lines[k] != "Proxy-Connection: close\r\n") {
            ok = false;
        }
    }
    if (!ok) fuzz_fail("the upstream request is malformed", escaped(up));
}

}  // namespace

void target_serve(int fd) {
    int *cell = static_cast<int *>(malloc(sizeof(int)));
    if (cell == nullptr) fuzz_fail("out of memory");
    *cell = fd;
    handle_connection(cell);
}

round_want_t target_predict(const request_input_t &in, const model_cache_t &model) {
    return predict(in.bytes, model.stored, in.refuse, *in.response).want;
}

void target_check_exchange(const exchange_t &x, const round_want_t &want) {
    if (want.outcome == ROUND_RELAYED) check_upstream_shape(x.origin_got[0]);
}

void target_init(void) { init_cache(); }

size_t target_cache_entries(void) { return (size_t)proxy_cache->item_count; }

// The cache against the model: its entries newest first, keys and bytes.
void target_check_cache(const model_cache_t &model) {
    const char *broken = cache_check_invariants();
    if (broken != nullptr) fuzz_fail("the cache's invariants do not hold", broken);
    check_cache_count((size_t)proxy_cache->item_count, model.entries.size());
    const cache_entry *e = proxy_cache->dummy_head->next;
    for (auto want = model.entries.rbegin(); want != model.entries.rend(); ++want, e = e->next) {
        check_cache_entry(*want, e->browser_get, e->object, (size_t)e->object_size);
    }
}

void target_clear_cache(void) { cache_clear(); }
