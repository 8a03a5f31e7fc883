// slotproxy's request and response decisions (see request.h): pure functions
// over the bytes they are given, on the calling thread's own records.
#include "request.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

static const char HTTP10_TAIL[] = " HTTP/1.0\r\n";
static const char HOST_HEAD[] = "Host: ";
static const char HOST_TAIL[] = "\r\n\r\n";

// ---------------------------------------------------------------- request line

// White space as the C locale's isspace has it, which splits the fields.
static bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static const char *skip_space(const char *p, const char *end) {
    while (p < end && is_space(*p)) p++;
    return p;
}

static const char *skip_word(const char *p, const char *end) {
    while (p < end && !is_space(*p)) p++;
    return p;
}

// Copies [from, to) into dst as a C string; the caller's buffer holds it.
static void copy_text(char *dst, const char *from, const char *to) {
    memcpy(dst, from, (size_t)(to - from));
    dst[to - from] = '\0';
}

static void refuse(request_t *req) { req->state = REQUEST_REFUSED; }

// Works out what the whole line line[0, line_len) asks for. The method and
// the URI are its first two white-space-separated words; a third (the
// version) is never used.
static void decide(request_t *req) {
    const char *line = req->line, *end = line + req->line_len;
    // Each word becomes a C string: a NUL would cut the key and the path to
    // a URL the browser did not send, and another URL sharing those bytes
    // would get its page.
    if (memchr(line, '\0', req->line_len) != nullptr) return refuse(req);
    const char *method = skip_space(line, end), *method_end = skip_word(method, end);
    const char *uri = skip_space(method_end, end), *uri_end = skip_word(uri, end);
    if (method == method_end || uri == uri_end) return refuse(req);
    copy_text(req->method, method, method_end);
    copy_text(req->uri, uri, uri_end);
    req->state = REQUEST_WHOLE;
    if (strcasecmp(req->method, "GET") != 0) {
        req->on_miss = MISS_501;
        return;
    }

    // Taken apart in `host`, a copy of the key that is cut in place.
    char *text = req->host;
    memcpy(text, req->uri, (size_t)(uri_end - uri) + 1);
    char *request = strncmp(text, "http://", 7) == 0 ? text + 7 : text;
    // The path starts at the third slash after the first character; the
    // first slash after the host, for an absolute URL.
    char *temp = text + 1;
    int slash_count = 0;
    while (*temp != '\0') {
        if (*temp == '/' && ++slash_count == 3) break;
        temp++;
    }
    // Without a path the request asks for "/", so the request line stays
    // valid HTTP. The path is copied out before the host is cut from it.
    const char *path = slash_count == 3 ? temp : "/";
    size_t path_len = strlen(path);
    // The method is sent as GET whatever its letter case: a strict origin
    // answers "get" with an error, which would be stored.
    char *out = req->upstream;
    size_t request_line_len = strlen("GET ") + path_len + strlen(HTTP10_TAIL);
    if (request_line_len < (size_t)MAXLINE) {
        memcpy(out, "GET ", 4);
        memcpy(out + 4, path, path_len);
        memcpy(out + 4 + path_len, HTTP10_TAIL, strlen(HTTP10_TAIL));
    }
    if (slash_count == 3) *temp = '\0';

    req->port = 80;
    char *port_string = strchr(request, ':');
    if (port_string != nullptr) {
        req->port = atoi(port_string + 1);
        *port_string = '\0';
    }
    size_t host_len = strlen(request);
    memmove(req->host, request, host_len + 1);

    // Each upstream line once had to fit a line buffer with its NUL; a
    // request whose lines would not is still refused, so the same requests
    // reach origins.
    size_t host_line_len = strlen(HOST_HEAD) + host_len + strlen(HOST_TAIL);
    if (request_line_len >= (size_t)MAXLINE || host_line_len >= (size_t)MAXLINE) {
        req->on_miss = MISS_DROP;
        return;
    }
    out += request_line_len;
    memcpy(out, HOST_HEAD, strlen(HOST_HEAD));
    memcpy(out + strlen(HOST_HEAD), req->host, host_len);
    memcpy(out + strlen(HOST_HEAD) + host_len, HOST_TAIL, strlen(HOST_TAIL));
    req->request_line_len = request_line_len;
    req->upstream_len = request_line_len + host_line_len;
    req->on_miss = MISS_FETCH;
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

// True when the line [line, end) (its line end excluded) starts with the
// header name `name` in any letter case followed at once by a colon; *value
// then points after the colon.
static bool header_named(const char *line, const char *end, const char *name, const char **value) {
    size_t len = strlen(name);
    if ((size_t)(end - line) <= len || strncasecmp(line, name, len) != 0 || line[len] != ':')
        return false;
    *value = line + len + 1;
    return true;
}

// True when the n bytes of a response relayed whole are worth keeping: its
// header block ended (at a line that is CR LF or LF alone), its status is
// not 206 (a part of a representation) or 304 (no representation at all),
// and every Content-Length it declares, which must be a plain number,
// equals the bytes after the block. Zero bytes are an origin that failed,
// not a page. Without a Content-Length the end of the stream is the end.
// The bytes carry their length: a response may hold NUL bytes.
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
        } else if (first) {
            // "HTTP/x.y SSS reason": only the status code matters here.
            if (end - p > 5 && memcmp(p, "HTTP/", 5) == 0) {
                const char *q = static_cast<const char *>(memchr(p, ' ', (size_t)(end - p)));
                while (q != nullptr && q < end && *q == ' ') q++;
                if (q != nullptr && end - q >= 3 &&
                    (memcmp(q, "206", 3) == 0 || memcmp(q, "304", 3) == 0) &&
                    (end - q == 3 || q[3] == ' '))
                    return false;
            }
        } else if (header_named(p, end, "Content-Length", &value)) {
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
    resp->copying = false;
    resp->line_len = 0;
}

void response_take(response_t *resp, const char *bytes, size_t n) {
    while (n > 0) {
        // Whether a line is kept is settled as it starts, by what came
        // before it, so the limit is never passed by more than one line.
        if (resp->line_len == 0) {
            resp->copying = resp->flag == 0 && resp->length < MAX_OBJECT_SIZE - MAXLINE;
            if (!resp->copying) resp->flag = 1;
        }
        size_t room = (size_t)MAXLINE - 1 - resp->line_len;
        size_t avail = n < room ? n : room;
        const char *nl = static_cast<const char *>(memchr(bytes, '\n', avail));
        size_t take = nl != nullptr ? (size_t)(nl - bytes) + 1 : avail;
        if (resp->copying) {
            memcpy(resp->cache_buf + resp->length, bytes, take);
            resp->length += (int)take;
        }
        resp->line_len = nl != nullptr || take == room ? 0 : resp->line_len + take;
        bytes += take;
        n -= take;
    }
}

bool response_store(const response_t *resp) {
    return resp->flag == 0 && response_complete(resp->cache_buf, (size_t)resp->length);
}
