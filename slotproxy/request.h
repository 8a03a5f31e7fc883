// slotproxy's decisions about one request, apart from any input or output:
// what the browser's bytes ask for (the cache key, the origin and the
// upstream request, the 501 page, or nothing), and whether an origin's
// response may be stored. No lock, no shared state, no system call; the
// connection thread in proxy.cpp feeds these what it reads and acts on them.
#ifndef SLOTPROXY_REQUEST_H
#define SLOTPROXY_REQUEST_H

#include <stddef.h>

// Size of every line buffer: at most 8191 characters and a NUL. A request
// line must end within its first 8191 bytes.
constexpr int MAXLINE = 8192;
// Size of the collection buffer. A response is stored only while the bytes
// before its current line are under MAX_OBJECT_SIZE - MAXLINE, so at most
// 94207 + 8191 = 102398 bytes are ever collected.
constexpr int MAX_OBJECT_SIZE = 102400;

enum request_state_t {
    REQUEST_PENDING,  // the request line has not ended yet: more bytes are wanted
    REQUEST_REFUSED,  // the connection ends without a byte, before any lookup
    REQUEST_WHOLE,    // the line is whole: a GET looks up `uri` first, then `on_miss` acts
};

enum request_miss_t {
    MISS_DROP,   // end the connection without a byte or a lookup of the origin
    MISS_501,    // any method but GET: the 501 page for `method`, no lookup at all
    MISS_FETCH,  // connect to `host` at `port` and send `upstream`
};

// One browser request line, from its first byte to the decision. Fields past
// `state` are meaningful only once it is REQUEST_WHOLE; every text there is
// NUL-terminated and holds no NUL of its own.
struct request_t {
    char line[MAXLINE];  // the bytes taken so far: line[0, line_len)
    size_t line_len;
    request_state_t state;
    request_miss_t on_miss;
    char uri[MAXLINE];     // the URI word whole: the cache key
    char method[MAXLINE];  // the method as the browser spelled it
    char host[MAXLINE];    // the host text of the URI, without its port
    int port;              // as atoi reads the text after the host's colon; 80 without one
    // The upstream request for MISS_FETCH: the request line in
    // upstream[0, request_line_len), the Host line (`host`, then ":" and the
    // port connected to unless that is 80) and the empty line after it up
    // to upstream_len. Never NUL-terminated.
    char upstream[2 * MAXLINE];
    size_t request_line_len;
    size_t upstream_len;
};

// Starts a request with no byte taken. Cannot fail.
void request_init(request_t *req);

// Takes the browser's next n bytes, however its reads split them; n = 0
// takes nothing. Returns how many were taken: all of them while the line
// lasts, none once the request is decided (header lines and any body are
// never looked at). Decides the request when its line ends, or refuses it
// when 8191 bytes bring no line end. Cannot fail.
size_t request_take(request_t *req, const char *bytes, size_t n);

// The browser's stream has ended (or nothing more will be read): a request
// still pending is refused. A decided one stays as it was. Cannot fail.
void request_end(request_t *req);

// The collection of one response as the relay reads it, in lines of at most
// MAXLINE - 1 bytes (a line ends after its newline or at that limit).
struct response_t {
    char cache_buf[MAX_OBJECT_SIZE];  // the collected bytes: cache_buf[0, length)
    int length;
    // 1 once a line started with `length` at or past MAX_OBJECT_SIZE -
    // MAXLINE: nothing more is collected and nothing is stored. While it is
    // 0, every line so far has been collected. (The name says nothing of
    // this; it is the program's own name, kept: read it as "too large".)
    char flag;
    size_t line_len;  // bytes of the current line so far; 0 at a line start
};

// Starts a response with no byte taken. Cannot fail.
void response_init(response_t *resp);

// Takes the origin's next n bytes, however its reads split them. Cannot fail.
void response_take(response_t *resp, const char *bytes, size_t n);

// True when the bytes taken so far, as a whole response, are to be stored:
// all of them were collected, the response is complete (see request.cpp),
// and the shared storing rule (cacheable.h) lets any browser have it.
// Cannot fail.
bool response_store(const response_t *resp);

#endif  // SLOTPROXY_REQUEST_H
