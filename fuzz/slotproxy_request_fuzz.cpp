// Fuzzes slotproxy's connection thread end to end: the fuzz input is what a
// browser sends on its connection; the real thread body (request line,
// cache lookup, 501 page, URI parse, upstream request, relay, store) serves
// it against the harness's origin on 127.0.0.1 (loopback.h). An independent
// model of the request handling predicts, for every input, what the origin
// must receive byte for byte, which host is looked up and which port is
// connected, what the browser must receive, and what the cache must hold.
//
// Input: byte 0 chooses the exchange (bits 0-2 the origin's response, bit 3
// send the same bytes on a second connection, bit 4 the browser closes as
// soon as it has sent, bit 5 the origin refuses the connection); the rest is
// the browser's bytes, with 0xFF k c standing for (k + 1) * 32 copies of c.
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

#include <map>
#include <string>

#include "../slotproxy/cache.h"
#include "cacheable.h"
#include "loopback.h"
#include "robix.h"

#define main slotproxy_main
#include "../slotproxy/proxy.cpp"
#undef main

namespace {

constexpr size_t MAX_BROWSER_BYTES = 60000;  // below the lingering close's 64 KB
constexpr size_t LINE_LIMIT = 8191;          // bytes of one line read
constexpr size_t STORE_BELOW = 94208;        // bytes before a line for it to be kept

enum outcome_t { SILENT, HIT, PAGE_501, NO_ORIGIN, RELAYED };

// What one connection must do, worked out from the bytes alone.
struct expect_t {
    outcome_t outcome = SILENT;
    std::string method, uri, host, path;
    int port = -1;
    bool looks_up = false, connects = false;
    std::string upstream;
};

bool c_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The first line, or false when there is no whole line: its line feed does
// not come within the line limit, or the stream ends before it, or a NUL
// would cut its words.
bool first_line(const std::string &bytes, std::string *out) {
    size_t end = bytes.find('\n');
    if (end == std::string::npos || end + 1 > LINE_LIMIT) return false;
    *out = bytes.substr(0, end + 1);
    return out->find('\0') == std::string::npos;
}

std::vector<std::string> words(const std::string &line) {
    std::vector<std::string> out;
    size_t i = 0;
    while (out.size() < 3) {
        while (i < line.size() && c_space((unsigned char)line[i])) i++;
        if (i == line.size()) break;
        size_t start = i;
        while (i < line.size() && !c_space((unsigned char)line[i])) i++;
        out.push_back(line.substr(start, i - start));
    }
    return out;
}

// The port atoi yields (saturating like the conversion behind it, then cut
// to an int), as the socket address carries it: its low 16 bits.
int port_of(const std::string &text) {
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
        result = value > (unsigned long long)LONG_MAX ? LONG_MIN : -(long)value;
    } else {
        result = value > (unsigned long long)LONG_MAX ? LONG_MAX : (long)value;
    }
    return (int)(uint16_t)(int)result;
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

expect_t predict(const std::string &bytes, const std::map<std::string, std::string> &stored,
                 bool refuse) {
    expect_t e;
    if (bytes.empty()) return e;  // the browser closed at once
    std::string line;
    if (!first_line(bytes, &line)) return e;  // refused before any lookup
    std::vector<std::string> w = words(line);
    if (w.size() < 2) return e;
    e.method = w[0];
    e.uri = w[1];
    // Only a GET is looked up: another method gets the page whatever is stored.
    if (strcasecmp(e.method.c_str(), "GET") != 0) {
        e.outcome = PAGE_501;
        return e;
    }
    if (stored.count(e.uri) != 0) {
        e.outcome = HIT;
        return e;
    }
    size_t host_at = e.uri.compare(0, 7, "http://") == 0 ? 7 : 0;
    size_t third = std::string::npos;
    for (size_t i = 1, slashes = 0; i < e.uri.size(); i++) {
        if (e.uri[i] == '/' && ++slashes == 3) {
            third = i;
            break;
        }
    }
    std::string host_text;
    if (third != std::string::npos) {
        e.path = e.uri.substr(third);
        host_text = e.uri.substr(host_at, third - host_at);
    } else {
        e.path = "/";
        host_text = e.uri.substr(host_at);
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
    if (e.method.size() + 1 + e.path.size() + 11 >= 8192 || 6 + host_field.size() + 4 >= 8192) {
        return e;
    }
    // An address the URL writes out ("2", "127.1") needs no resolver.
    struct in_addr written;
    e.looks_up = inet_aton(e.host.c_str(), &written) == 0;
    e.outcome = NO_ORIGIN;
    if (e.looks_up && lookup_answer(e.host) != LOOKUP_ADDRESS) return e;
    e.connects = true;
    if (refuse) return e;
    e.outcome = RELAYED;
    e.upstream = "GET " + e.path + " HTTP/1.0\r\n" + "Host: " + host_field + "\r\n\r\n";
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

void serve_slot(int fd) {
    int *cell = static_cast<int *>(Malloc(sizeof(int)));
    *cell = fd;
    thread(cell);
}

// The cache against the model: the entries in slot order, their keys and bytes.
void check_cache_contents(const std::vector<std::pair<std::string, std::string>> &entries) {
    if (!cache_check_invariants()) fuzz_fail("the cache's invariants do not hold");
    if (filled_blocks != (int)entries.size()) {
        fuzz_fail("the cache holds the wrong number of entries",
                  std::to_string(filled_blocks) + " instead of " + std::to_string(entries.size()));
    }
    for (size_t i = 0; i < entries.size(); i++) {
        const web_object *o = cache[i];
        std::string data = o->size > 0 ? std::string(o->data, (size_t)o->size) : std::string();
        if (entries[i].first != o->uri || entries[i].second != data) {
            fuzz_fail("a cache entry differs from what was relayed",
                      "key " + escaped(o->uri) + "\nbytes " + escaped(data, 200));
        }
    }
}

}  // namespace

// FUZZ_TRACE=1 in the environment prints each round's predicted outcome, to
// see what a corpus reaches.
static bool trace = false;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    trace = getenv("FUZZ_TRACE") != nullptr;
    loopback_init();
    Sem_init(&mutex, 0, 1);
    cache_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    const origin_kind_t origin = (origin_kind_t)(flags & 7);
    const int rounds = (flags & 8) ? 2 : 1;
    const bool vanish = (flags & 16) != 0;
    const bool refuse = (flags & 32) != 0;
    const std::string bytes = expand_input(data + 1, size - 1, MAX_BROWSER_BYTES);
    const std::string &response = origin_response(origin);

    std::map<std::string, std::string> stored;  // key -> bytes, as the model sees it
    std::vector<std::pair<std::string, std::string>> slots;
    for (int round = 0; round < rounds; round++) {
        expect_t e = predict(bytes, stored, refuse);
        exchange_t x;
        x.browser_sends = bytes;
        x.browser_vanishes = vanish;
        x.refuse_connect = refuse;
        x.origin = origin;
        x.expect_upstream = e.upstream;
        run_exchange(serve_slot, x);
        if (trace) {
            static const char *const names[] = {"silent", "hit", "501", "no origin", "relayed"};
            fprintf(stderr, "round %d: %s, browser got %zu bytes, origin %zu connection(s)\n",
                    round, names[e.outcome], x.browser_got.size(), x.origin_got.size());
        }

        if (!x.connect_address_ok) fuzz_fail("connect() to an address the resolver never gave");
        std::vector<std::string> want_lookups;
        if (e.looks_up) want_lookups.push_back(e.host);
        if (x.lookups != want_lookups) {
            fuzz_fail("the wrong host was looked up",
                      "model " + (e.looks_up ? escaped(e.host) : std::string("(none)")) +
                          "\nlooked up " + std::to_string(x.lookups.size()) + " names" +
                          (x.lookups.empty() ? "" : ", first " + escaped(x.lookups[0])));
        }
        std::vector<int> want_ports;
        if (e.connects) want_ports.push_back(e.port);
        if (x.connect_ports != want_ports) {
            fuzz_fail("the wrong port was connected",
                      "model " + std::to_string(e.connects ? e.port : -1) + ", connected " +
                          (x.connect_ports.empty() ? std::string("none")
                                                   : std::to_string(x.connect_ports[0])));
        }
        if (e.outcome == RELAYED) {
            if (x.origin_got.size() != 1) fuzz_fail("the origin was not contacted once");
            check_upstream_shape(x.origin_got[0]);
            if (x.origin_got[0] != e.upstream) {
                fuzz_fail("the upstream request differs from the model",
                          "got\n" + escaped(x.origin_got[0]) + "\nmodel\n" + escaped(e.upstream));
            }
        } else if (!x.origin_got.empty()) {
            fuzz_fail("the origin was contacted", escaped(x.origin_got[0]));
        }

        if (!vanish) {
            std::string want;
            if (e.outcome == HIT) want = stored[e.uri];
            if (e.outcome == RELAYED) want = response;
            if (e.outcome == PAGE_501) {
                check_501(x.browser_got, e.method);
            } else if (x.browser_got != want) {
                fuzz_fail("the browser received the wrong bytes",
                          "got\n" + escaped(x.browser_got) + "\nwanted\n" + escaped(want));
            }
        }

        // A relayed response is kept when small enough; a browser that went
        // away may or may not have cut the relay short, so then either is
        // right, as long as what is kept is whole.
        if (e.outcome == RELAYED && storable(response)) {
            bool kept = filled_blocks > (int)slots.size();
            if (kept || !vanish) {
                slots.push_back({e.uri, response});
                stored[e.uri] = response;
            }
        }
        check_cache_contents(slots);
    }
    cache_free_all();
    cache_init();
    return 0;
}
