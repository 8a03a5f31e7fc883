// stampproxy's decisions about one request and its response, apart from the
// sockets, the cache and the console: the browser's bytes in, the cache key,
// the request for the origin or a refusal out; the origin's bytes in,
// whether to store them out. Nothing here reads, writes, prints or locks;
// each state record belongs to one connection thread.
#ifndef STAMPPROXY_REQUEST_H
#define STAMPPROXY_REQUEST_H

#include <stddef.h>

// Request line and header lines are read in pieces of at most this many
// bytes, terminator included.
constexpr int MAXLINE = 1024;
// Size of the kept-header buffer and of the request built for the origin.
constexpr int MAXBUF = 10240;

// Where request_take stopped.
enum request_step_t {
    REQUEST_MORE,             // every byte taken; give it more, or 0 for end of stream
    REQUEST_LINE_READY,       // the request line is whole and parsed: look its key up
    REQUEST_READY,            // the header block ended: packet holds the origin's request
    REQUEST_EMPTY,            // the stream ended before a byte
    REQUEST_LINE_TOO_LONG,    // 1023 bytes and no line end
    REQUEST_LINE_UNFINISHED,  // the stream ended inside the request line, or it holds a NUL
    REQUEST_BODY,             // the header block announces a body
    REQUEST_FOLDED,           // a header line is folded onto the one before
    REQUEST_TOO_LARGE,        // the headers or the request outgrow their buffers
    REQUEST_NOT_ABSOLUTE,     // the request line's URL word is no absolute URL
};

// What request_take reads next.
enum request_reading_t {
    READING_REQUEST_LINE,
    READING_HEADER_LINES,
    READING_NOTHING,  // a final step was reached
};

// One browser request as it is taken apart. Every text field is
// NUL-terminated. After REQUEST_LINE_READY `request` is the key and the
// parsed fields are set; after REQUEST_READY packet[0, packet_len) is the
// request for the origin, its first packet_line_len bytes the request line.
struct request_state_t {
    request_reading_t reading;    // what the next bytes are
    char request[MAXBUF];         // the request line, line end included
    size_t request_len;           // bytes in request (at most MAXLINE - 1)
    char action[MAXLINE];         // the method
    char address[MAXLINE];        // the host to connect to
    char file[MAXLINE];           // the path after the first "/"
    char protocol[MAXLINE];       // always "HTTP/1.0" after parsing
    int port;                     // -1 when the line gave none
    char other_information[MAXBUF];  // kept header lines, each ending in CR LF
    size_t info_len;
    char packet[MAXBUF];          // the header line being read, later the request
    size_t line_len;              // bytes of the header line in packet so far
    size_t packet_len;
    size_t packet_line_len;
    int host_flag;                // 1 until a Host line is kept
    bool body;                    // some header line announced a body
    bool folded;                  // some header line started with a blank
    bool request_private;         // some header line makes the answer this
                                  // browser's own (request_line_private)
};

// Starts a request. Cannot fail.
void request_init(request_state_t *rs);

// Takes the browser's next n bytes (n == 0: the stream has ended) and says
// where it stopped; *used receives how many it took (the rest belong to a
// later call, or to nobody after a final step). The result does not depend
// on how the bytes are split into calls. After REQUEST_LINE_READY, call again
// for the header lines; every other step but REQUEST_MORE is final.
request_step_t request_take(request_state_t *rs, const char *bytes, size_t n, size_t *used);

// The most bytes request_take can take before it must decide (at least 1
// while it wants more): a reader that asks for no more never waits for bytes
// that a refusal would not need.
size_t request_wanted(const request_state_t *rs);

// True when the origin's response response[0, length), which one read
// brought whole, is to be stored: the request's method `action` was GET or
// HEAD, exactly so spelled; the origin closed its side (origin_closed) after
// 1 to MAX_OBJECT_SIZE bytes; the header block ended; unless HEAD, the body
// matches every Content-Length declared; and the shared rule
// (response_cacheable) lets any browser have it, given request_private as
// request_state_t has it. Cannot fail.
bool response_storable(const char *action, bool request_private, bool origin_closed,
                       const char *response, size_t length);

#endif  // STAMPPROXY_REQUEST_H
