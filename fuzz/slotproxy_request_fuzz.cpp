// Fuzzes slotproxy's connection thread end to end: the fuzz input is what a
// browser sends on its connection; the real thread body (request line,
// cache lookup, 501 page, URI parse, upstream request, relay, store) serves
// it against the harness's origin on 127.0.0.1 (loopback.h). An independent
// model of the request handling predicts, for every input, what the origin
// must receive byte for byte, which host is looked up and which port is
// connected, what the browser must receive, and what the cache must hold.
//
// Input: as request_rounds.h says.
//
// The program's source is compiled into this file so that its static
// functions are reachable; its thread body does not detach itself (the
// accept loop starts threads detached), so the harness can join it.
#include <arpa/inet.h>
#include <ctype.h>
#include <limits.h>
#include <poll.h>
#include <strings.h>
#include <time.h>

#include <string>

#include "../slotproxy/cache.h"
#include "cacheable.h"
#include "request_rounds.h"
#include "robix.h"

#define main slotproxy_main
#include "../slotproxy/proxy.cpp"
#undef main

namespace {

constexpr size_t LINE_LIMIT = 8191;          // bytes of one line read
constexpr size_t STORE_BELOW = 94208;        // bytes before a line for it to be kept

// What one connection must do, worked out from the bytes alone: the
// prediction (its key the URI word; the page of its own the 501 page), and
// what the model works out on the way.
struct expect_t {
    round_want_t want;
    std::string host, path;
    int port = -1;
};

// The first line, or false when there is no whole line: its line feed does
// not come within the line limit, or the stream ends before it, or a NUL
// would cut its words.
bool first_line(const std::string &bytes, std::string *out) {
    size_t end = bytes.find('\n');
    if (end == std::string::npos || end + 1 > LINE_LIMIT) return false;
    *out = bytes.substr(0, end + 1);
    return out->find('\0') == std::string::npos;
}

// The port atoi yields (strtol's value cut to an int), as the socket
// address carries it: its low 16 bits.
int port_of(const std::string &text) {
    size_t i = 0;
    long value = 0;
    c_strtol(text, &i, &value);
    return (int)(uint16_t)(int)value;
}

std::string html_escaped(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

bool storable(const std::string &response);

expect_t predict(const std::string &bytes, const std::map<std::string, std::string> &stored,
                 bool refuse, const std::string &response) {
    expect_t e;
    if (bytes.empty()) return e;  // the browser closed at once
    std::string line;
    if (!first_line(bytes, &line)) return e;  // refused before any lookup
    std::vector<std::string> w = c_words(line);
    if (w.size() < 2) return e;
    e.want.method = w[0];
    e.want.key = w[1];
    // Only a GET is looked up: another method gets the page whatever is stored.
    if (strcasecmp(e.want.method.c_str(), "GET") != 0) {
        e.want.outcome = ROUND_OWN_PAGE;
        return e;
    }
    if (stored.count(e.want.key) != 0) {
        e.want.outcome = ROUND_HIT;
        return e;
    }
    size_t host_at = e.want.key.compare(0, 7, "http://") == 0 ? 7 : 0;
    size_t third = std::string::npos;
    for (size_t i = 1, slashes = 0; i < e.want.key.size(); i++) {
        if (e.want.key[i] == '/' && ++slashes == 3) {
            third = i;
            break;
        }
    }
    std::string host_text;
    if (third != std::string::npos) {
        e.path = e.want.key.substr(third);
        host_text = e.want.key.substr(host_at, third - host_at);
    } else {
        e.path = "/";
        host_text = e.want.key.substr(host_at);
    }
    size_t colon = host_text.find(':');
    e.port = 80;
    e.host = host_text;
    if (colon != std::string::npos) {
        e.port = port_of(host_text.substr(colon + 1));
        e.host = host_text.substr(0, colon);
    }
    // The Host line names the port connected to, in decimal, unless it is 80.
    const std::string host_field = e.port == 80 ? e.host : e.host + ":" + std::to_string(e.port);
    // Requests whose upstream lines would not fit a line buffer are refused.
    if (e.want.method.size() + 1 + e.path.size() + 11 >= 8192 || 6 + host_field.size() + 4 >= 8192) {
        return e;
    }
    // An address the URL writes out ("2", "127.1") needs no resolver.
    struct in_addr written;
    e.want.looks_up = inet_aton(e.host.c_str(), &written) == 0;
    e.want.lookup = e.host;
    e.want.outcome = ROUND_NO_ORIGIN;
    if (e.want.looks_up && lookup_answer(e.host) != LOOKUP_ADDRESS) return e;
    e.want.connects = true;
    e.want.port = e.port;
    if (refuse) return e;
    e.want.outcome = ROUND_RELAYED;
    e.want.upstream = "GET " + e.path + " HTTP/1.0\r\n" + "Host: " + host_field + "\r\n\r\n";
    e.want.stores = storable(response);  // when small enough
    return e;
}

// Whether a response is complete: some bytes; a header block that ends at a
// line holding only CR LF or LF; no 206 or 304 status; every Content-Length
// header (name in any case, blanks allowed before its colon, value digits
// between optional blanks) equal to the bytes after the block.
bool complete(const std::string &response) {
    if (response.empty()) return false;
    size_t pos = 0;
    std::vector<std::string> lines;
    for (;;) {
        size_t nl = response.find('\n', pos);
        if (nl == std::string::npos) return false;
        std::string line = response.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pos = nl + 1;
        if (line.empty()) break;
        lines.push_back(line);
    }
    const size_t body = response.size() - pos;
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string &l = lines[i];
        if (i == 0) {
            if (l.compare(0, 5, "HTTP/") == 0) {
                size_t sp = l.find(' ');
                size_t code = sp == std::string::npos ? std::string::npos : l.find_first_not_of(' ', sp);
                if (code != std::string::npos && code + 3 <= l.size()) {
                    std::string c = l.substr(code, 3), after = l.substr(code + 3, 1);
                    if ((c == "206" || c == "304") && (after.empty() || after == " ")) return false;
                }
            }
            continue;
        }
        if (l.size() < 14 || strncasecmp(l.c_str(), "content-length", 14) != 0) continue;
        size_t colon = l.find_first_not_of(" \t", 14);
        if (colon == std::string::npos || l[colon] != ':') continue;
        std::string v = l.substr(colon + 1);
        size_t a = v.find_first_not_of(" \t"), b = v.find_last_not_of(" \t");
        if (a == std::string::npos) return false;
        v = v.substr(a, b - a + 1);
        if (v.empty() || v.size() > 10 || v.find_first_not_of("0123456789") != std::string::npos)
            return false;
        if (std::stoull(v) != body) return false;
    }
    return true;
}

// Whether the relay keeps a response: each line is copied while the bytes
// before it are under STORE_BELOW; a line that comes later spoils it. And
// only a complete response that the shared rule lets any browser have is
// kept (the browser's credentials never go upstream).
bool storable(const std::string &response) {
    if (!complete(response) || !response_cacheable(response.data(), response.size(), false))
        return false;
    size_t length = 0;
    for (size_t i = 0; i < response.size();) {
        size_t nl = response.find('\n', i);
        size_t m = nl == std::string::npos ? response.size() - i : nl + 1 - i;
        if (m > LINE_LIMIT) m = LINE_LIMIT;
        if (length >= STORE_BELOW) return false;
        length += m;
        i += m;
    }
    return true;
}

void check_501(const std::string &got, const std::string &method) {
    const std::string head = "HTTP/1.0 501 Not Implemented\r\nContent-type: text/html\r\nContent-length: ";
    std::string why;
    size_t body_at = got.find("\r\n\r\n");
    if (got.compare(0, head.size(), head) != 0 || body_at == std::string::npos) {
        fuzz_fail("the 501 page's head is wrong", escaped(got));
    }
    std::string length = got.substr(head.size(), body_at - head.size());
    std::string body = got.substr(body_at + 4);
    if (length != std::to_string(body.size())) {
        fuzz_fail("the 501 page's Content-length is not its body's length", escaped(got));
    }
    const std::string start = "<html><title>Proxy Error</title><body bgcolor=ffffff>\r\n"
                              "501: Not Implemented\r\n<p>Method not supported: " +
                              html_escaped(method) + "\r\n<hr><em>";
    const std::string end = "</em>\r\n";
    if (body.compare(0, start.size(), start) != 0 || body.size() < start.size() + end.size() ||
        body.compare(body.size() - end.size(), end.size(), end) != 0) {
        fuzz_fail("the 501 page's body is wrong", "method " + escaped(method) + "\ngot\n" +
                                                      escaped(got));
    }
}

// The upstream request's shape, checked apart from the exact model: the
// method, one blank, a path from "/" without blanks, " HTTP/1.0", the Host
// line, the empty line, nothing else.
void check_upstream_shape(const std::string &up) {
    size_t eol = up.find("\r\n");
    std::string line = eol == std::string::npos ? up : up.substr(0, eol);
    size_t sp = line.find(' ');
    const std::string tail = " HTTP/1.0";
    bool ok = eol != std::string::npos && sp != std::string::npos && sp > 0 &&
              line.size() >= sp + 1 + 1 + tail.size() && line[sp + 1] == '/' &&
              line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    for (size_t i = sp + 1; ok && i < line.size() - tail.size(); i++) {
        if (c_space((unsigned char)line[i])) ok = false;
    }
    std::string rest = ok ? up.substr(eol + 2) : std::string();
    ok = ok && rest.compare(0, 6, "Host: ") == 0 && rest.size() >= 10 &&
         rest.compare(rest.size() - 4, 4, "\r\n\r\n") == 0 &&
         rest.find("\r\n") == rest.size() - 4 && rest.find('\n') == rest.size() - 3;
    if (!ok) fuzz_fail("the upstream request is malformed", escaped(up));
}

}  // namespace

void target_serve(int fd) {
    int *cell = static_cast<int *>(Malloc(sizeof(int)));
    *cell = fd;
    thread(cell);
}

round_want_t target_predict(const request_input_t &in, const model_cache_t &model) {
    return predict(in.bytes, model.stored, in.refuse, *in.response).want;
}

void target_check_exchange(const exchange_t &x, const round_want_t &want) {
    if (want.outcome == ROUND_RELAYED) check_upstream_shape(x.origin_got[0]);
    if (want.outcome == ROUND_OWN_PAGE && !x.browser_vanishes) {
        check_501(x.browser_got, want.method);
    }
}

void target_init(void) {
    Sem_init(&mutex, 0, 1);
    cache_init();
}

size_t target_cache_entries(void) { return (size_t)filled_blocks; }

// The cache against the model: the entries in slot order, their keys and bytes.
void target_check_cache(const model_cache_t &model) {
    if (!cache_check_invariants()) fuzz_fail("the cache's invariants do not hold");
    check_cache_count((size_t)filled_blocks, model.entries.size());
    for (size_t i = 0; i < model.entries.size(); i++) {
        check_cache_entry(model.entries[i], cache[i]->uri, cache[i]->data, (size_t)cache[i]->size);
    }
}

void target_clear_cache(void) {
    cache_free_all();
    cache_init();
}
