// slotproxy's request and response decisions (see request.h): pure functions
// over the bytes they are given, on the calling thread's own records.
#include "request.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "cacheable.h"

static const char HTTP10_TAIL[] = " HTTP/1.0\r\n";
static const char HOST_HEAD[] = "Host: ";
static const char HOST_TAIL[] = "\r\n\r\n";

// ---------------------------------------------------------------- request line

// White space as the C locale's isspace has it, which splits the fields.
static const char SPACES[] = " \t\n\v\f\r";
// Copies [from, to) into dst as a C string; the caller's buffer holds it.
static void copy_text(char *dst, const char *from, const char *to) {
    memcpy(dst, from, (size_t)(to - from));
    dst[to - from] = '\0';
}

static void refuse(request_t *req) { req->state = REQUEST_REFUSED; }

// Writes ":" and the port as the connection uses it (its low 16 bits, in
// decimal) into text, NUL-terminated, and returns its length; for port 80
// writes nothing and returns 0. text holds at least 7 bytes. Cannot fail.
static size_t host_port_text(int port, char *text) {
    unsigned connected = (uint16_t)port;
    if (connected == 80) {
        text[0] = '\0';
        return 0;
    }
    return (size_t)snprintf(text, 7, ":%u", connected);
}

// Takes the method and the URI out of the whole line line[0, line_len): its
// first two white-space-separated words (a third, the version, is never
// used). False, with nothing set, when the line holds a NUL or fewer words.
static bool take_words(request_t *req) {
    char *line = req->line;
    // Each word becomes a C string: a NUL would cut the key and the path to
    // a URL the browser did not send, and another URL sharing those bytes
    // would get its page.
    if (memchr(line, '\0', req->line_len) != nullptr) return false;
    line[req->line_len] = '\0';  // the line holds at most MAXLINE - 1 bytes
    const char *method = line + strspn(line, SPACES);
    const char *method_end = method + strcspn(method, SPACES);
    const char *uri = method_end + strspn(method_end, SPACES);
    const char *uri_end = uri + strcspn(uri, SPACES);
    if (method == method_end || uri == uri_end) return false;
    copy_text(req->method, method, method_end);
    copy_text(req->uri, uri, uri_end);
    return true;
}

// Takes the URI apart: its host into req->host and its port (80 when it
// names none) into req->port. Returns where its path starts in req->uri, or
// null when it has none. Cannot fail.
static const char *take_host(request_t *req) {
    // Taken apart in `host`, a copy of the key that is cut in place.
    char *text = req->host;
    memcpy(text, req->uri, strlen(req->uri) + 1);
    char *request = strncmp(text, "http://", 7) == 0 ? text + 7 : text;
    // The path starts at the third slash after the first character; the
    // first slash after the host, for an absolute URL.
    char *temp = text + 1;  // the key is never empty
    int slash_count = 0;
    for (char *slash = strchr(temp, '/'); slash != nullptr; slash = strchr(slash + 1, '/')) {
        temp = slash;
        if (++slash_count == 3) break;
    }
    const char *path = nullptr;
    if (slash_count == 3) {
        path = req->uri + (temp - text);
        *temp = '\0';
    }
    req->port = 80;
    char *port_string = strchr(request, ':');
    if (port_string != nullptr) {
        req->port = atoi(port_string + 1);
        *port_string = '\0';
    }
    memmove(req->host, request, strlen(request) + 1);
    return path;
}

// Writes the request line for `path` and the Host line into req->upstream
// and makes the miss a fetch; a request whose lines would be too long is
// dropped instead (MISS_DROP, no upstream bytes). Cannot fail.
static void write_upstream(request_t *req, const char *path) {
    // Without a path the request asks for "/", so the request line stays
    // valid HTTP.
    if (path == nullptr) path = "/";
    size_t path_len = strlen(path);
    size_t request_line_len = strlen("GET ") + path_len + strlen(HTTP10_TAIL);
    size_t host_len = strlen(req->host);
    // The Host line names the port the connection goes to, unless it is 80:
    // an origin builds its links and redirects from Host, and without the
    // port they would send the browser to port 80.
    char port_text[8] = "";
    size_t port_len = host_port_text(req->port, port_text);
    // Each upstream line must fit a MAXLINE buffer with its NUL: a request
    // whose lines would not is dropped, and no origin gets a longer line.
    size_t host_line_len = strlen(HOST_HEAD) + host_len + port_len + strlen(HOST_TAIL);
    if (request_line_len >= (size_t)MAXLINE || host_line_len >= (size_t)MAXLINE) {
        req->on_miss = MISS_DROP;
        return;
    }
    // The method is sent as GET whatever its letter case: a strict origin
    // answers "get" with an error, which would be stored.
    char *out = req->upstream;
    memcpy(out, "GET ", 4);
    memcpy(out + 4, path, path_len);
    memcpy(out + 4 + path_len, HTTP10_TAIL, strlen(HTTP10_TAIL));
    out += request_line_len;
    memcpy(out, HOST_HEAD, strlen(HOST_HEAD));
    out += strlen(HOST_HEAD);
    memcpy(out, req->host, host_len);
    memcpy(out + host_len, port_text, port_len);
    memcpy(out + host_len + port_len, HOST_TAIL, strlen(HOST_TAIL));
    req->request_line_len = request_line_len;
    req->upstream_len = request_line_len + host_line_len;
    req->on_miss = MISS_FETCH;
}

// Works out what the whole line asks for: refused, a 501 for any method but
// GET, or a GET to fetch (or drop) on a miss.
static void decide(request_t *req) {
    if (!take_words(req)) return refuse(req);
    req->state = REQUEST_WHOLE;
    if (strcasecmp(req->method, "GET") != 0) {
        req->on_miss = MISS_501;
        return;
    }
    write_upstream(req, take_host(req));
}

void request_init(request_t *req) {
    req->line_len = 0;
    req->state = REQUEST_PENDING;
    req->on_miss = MISS_DROP;
    req->uri[0] = req->method[0] = req->host[0] = '\0';
    req->port = 0;
    req->request_line_len = req->upstream_len = 0;
}

size_t request_take(request_t *req, const char *bytes, size_t n) {
    if (req->state != REQUEST_PENDING || n == 0) return 0;
    // The line ends at its newline, which must come within MAXLINE - 1 bytes.
    size_t room = (size_t)MAXLINE - 1 - req->line_len;
    size_t avail = n < room ? n : room;
    const char *nl = static_cast<const char *>(memchr(bytes, '\n', avail));
    size_t take = nl != nullptr ? (size_t)(nl - bytes) + 1 : avail;
    memcpy(req->line + req->line_len, bytes, take);
    req->line_len += take;
    if (nl != nullptr) {
        decide(req);
    } else if (req->line_len == (size_t)MAXLINE - 1) {
        // The first 8191 bytes of a longer line would make a key and a
        // request of a URL nobody asked for.
        refuse(req);
    }
    return take;
}

void request_end(request_t *req) {
    // A line the browser did not finish is not acted on.
    if (req->state == REQUEST_PENDING) refuse(req);
}

// ---------------------------------------------------------------- response

// True when the line [line, end) (its line end excluded) is a header named
// `name` in any letter case, with blanks allowed before its colon, as the
// shared storing rule reads names; *value then points after the colon.
static bool header_named(const char *line, const char *end, const char *name, const char **value) {
    size_t len = strlen(name);
    if ((size_t)(end - line) <= len || strncasecmp(line, name, len) != 0) return false;
    const char *colon = line + len;
    while (colon < end && (*colon == ' ' || *colon == '\t')) colon++;
    if (colon == end || *colon != ':') return false;
    *value = colon + 1;
    return true;
}

// True when the n bytes of a response relayed whole are all there: its
// header block ended (at a line that is CR LF or LF alone), and every
// Content-Length it declares, which must be a plain number, equals the bytes
// after the block. Zero bytes are an origin that failed, not a page. Without
// a Content-Length the end of the stream is the end. The bytes carry their
// length: a response may hold NUL bytes.
static bool response_complete(const char *bytes, size_t n) {
    const char *p = bytes, *stop = bytes + n;
    const char *body = nullptr;
    bool first = true;
    long declared = -1;
    bool consistent = true;
    while (p < stop && body == nullptr) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', (size_t)(stop - p)));
        if (nl == nullptr) return false;  // the block never ended
        const char *end = nl > p && nl[-1] == '\r' ? nl - 1 : nl;
        const char *value;
        if (end == p) {
            body = nl + 1;
        } else if (!first && header_named(p, end, "Content-Length", &value)) {
            while (value < end && (*value == ' ' || *value == '\t')) value++;
            long v = 0;
            int digits = 0;
            while (value < end && *value >= '0' && *value <= '9' && digits < 10) {
                v = v * 10 + (*value++ - '0');
                digits++;
            }
            while (value < end && (*value == ' ' || *value == '\t')) value++;
            if (digits == 0 || value != end || (declared >= 0 && declared != v)) consistent = false;
            declared = v;
        }
        first = false;
        p = nl + 1;
    }
    if (body == nullptr || !consistent) return false;
    return declared < 0 || declared == (long)(stop - body);
}

void response_init(response_t *resp) {
    resp->length = 0;
    resp->flag = 0;
    resp->line_len = 0;
}

void response_take(response_t *resp, const char *bytes, size_t n) {
    // A line is kept when the bytes before it are under the limit, so the
    // collection never passes it by more than one line. Once a line starts
    // past it, nothing more is kept, and nothing more matters.
    const size_t limit = (size_t)(MAX_OBJECT_SIZE - MAXLINE);
    const size_t line_max = (size_t)MAXLINE - 1;
    while (n > 0 && resp->flag == 0) {
        size_t length = (size_t)resp->length, take;
        if (length < limit) {
            // Every line that starts in the bytes below the limit is kept:
            // one copy, and only the last line end in them says where the
            // current line stands (a line without one is cut every 8191).
            take = n < limit - length ? n : limit - length;
            const char *nl = static_cast<const char *>(memrchr(bytes, '\n', take));
            resp->line_len = nl != nullptr ? (size_t)(bytes + take - nl - 1) % line_max
                                           : (resp->line_len + take) % line_max;
        } else if (resp->line_len == 0) {
            resp->flag = 1;
            break;
        } else {
            // The rest of the line that started below the limit.
            size_t room = line_max - resp->line_len;
            size_t avail = n < room ? n : room;
            const char *nl = static_cast<const char *>(memchr(bytes, '\n', avail));
            take = nl != nullptr ? (size_t)(nl - bytes) + 1 : avail;
            resp->line_len = nl != nullptr || take == room ? 0 : resp->line_len + take;
        }
        memcpy(resp->cache_buf + length, bytes, take);
        resp->length += (int)take;
        bytes += take;
        n -= take;
    }
}

bool response_store(const response_t *resp) {
    // The browser's header lines never go upstream, so no answer is for one
    // browser's credentials: the request is never private here.
    return resp->flag == 0 && response_complete(resp->cache_buf, (size_t)resp->length) &&
           response_cacheable(resp->cache_buf, (size_t)resp->length, false);
}
