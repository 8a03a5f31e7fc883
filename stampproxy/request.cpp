// stampproxy's request and storing decisions (request.h): plain functions
// over a state record that the caller owns. No I/O, no lock, no global
// state, no allocation: the connection thread and the fuzz target drive the
// same code.
#include "request.h"

#include <ctype.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "cache.h"
#include "cacheable.h"

// ---------------------------------------------------------------- header lines

// The field name of a header line, if it is `name` (letter case ignored, as
// HTTP field names are compared) followed by optional blanks and a colon:
// the position after the colon, else null.
static const char *field_value(const char *line, const char *name) {
    size_t len = strlen(name);
    if (strncasecmp(line, name, len) != 0) return nullptr;
    const char *p = line + len;
    while (*p == ' ' || *p == '\t') p++;
    return *p == ':' ? p + 1 : nullptr;
}

// True when the header line starts with `name` and a colon (letter case
// ignored) and a non-blank character follows somewhere after the colon.
static bool header_is(const char *line, const char *name) {
    size_t len = strlen(name);
    if (strncasecmp(line, name, len) != 0 || line[len] != ':') return false;
    for (const char *p = line + len + 1; *p != '\0'; p++) {
        if (!isspace((unsigned char)*p)) return true;
    }
    return false;
}

// True when the header line announces a request body: a Transfer-Encoding of
// any value, or a Content-Length whose value is not zero. The body is never
// forwarded, so the origin would wait for bytes that never come.
static bool announces_body(const char *line) {
    if (field_value(line, "Transfer-Encoding") != nullptr) return true;
    const char *v = field_value(line, "Content-Length");
    if (v == nullptr) return false;
    while (*v == ' ' || *v == '\t') v++;
    bool digits = false;
    for (; *v == '0'; v++) digits = true;
    while (*v == ' ' || *v == '\t') v++;
    return !(digits && *v == '\0');
}

// The port a Host line or the URL names, as the proxy connects to it: the
// low 16 bits of what the request line gave.
static unsigned connect_port(const request_state_t *rs) { return (uint16_t)rs->port; }

// True when the Host line names the URL's origin: its host (blanks around it
// ignored) is `host`, letter case ignored, and its port is the one connected
// to, written as decimal digits, or absent when that is 80. "Host: h" for a
// URL on another port would have the origin build its links and redirects
// for port 80.
static bool host_line_names(const char *line, const char *host, unsigned port) {
    const char *v = field_value(line, "Host");
    while (*v == ' ' || *v == '\t') v++;
    size_t n = strcspn(v, ": \t");
    const char *rest = v + n;
    unsigned named = 80;
    if (*rest == ':') {
        // A port is digits only: "Host: site:evil.example" names more than site.
        rest++;
        const char *digits = rest;
        named = 0;
        for (; *rest >= '0' && *rest <= '9'; rest++) {
            if (named <= 65535) named = named * 10 + (unsigned)(*rest - '0');
        }
        if (rest == digits) return false;
    }
    while (*rest == ' ' || *rest == '\t') rest++;
    return *rest == '\0' && named == port && n == strlen(host) && strncasecmp(v, host, n) == 0;
}

// Appends n bytes to buf (holding *len bytes, capacity cap with room kept for
// a terminator). False, with nothing appended, when they would not fit.
static bool append_bytes(char *buf, size_t *len, size_t cap, const char *bytes, size_t n) {
    if (*len + n + 1 > cap) return false;
    memcpy(buf + *len, bytes, n);
    *len += n;
    buf[*len] = '\0';
    return true;
}

static bool append_text(char *buf, size_t *len, size_t cap, const char *text) {
    return append_bytes(buf, len, cap, text, strlen(text));
}

// ---------------------------------------------------------------- request line

// Takes the request line apart with the three scanf-style patterns, each
// working on what the earlier ones left: method, host, port (80 when none is
// given, -1 when nothing could be read) and the path after the first "/".
// The line holds at most MAXLINE - 1 bytes, so no field can outgrow its
// MAXLINE buffer; the widths only make that visible.
static void parse_request_line(request_state_t *rs) {
    char temp[MAXLINE];
    temp[0] = '\0';
    sscanf(rs->request, "%1023s %1023[^:]://%1023s %1023s", rs->action, temp, rs->address,
           rs->protocol);
    sscanf(rs->address, "%1023[^/]/%1023s", temp, rs->file);
    if (sscanf(temp, "%1023[^:]:%d", rs->address, &rs->port) == 1) rs->port = 80;
    strcpy(rs->protocol, "HTTP/1.0");  // the browser's version is never passed on
}

// True when the URL word of the request line (the second word, as the first
// pattern reads it) is an absolute URL: a scheme of letters, digits, "+", "-"
// and "." from its first byte, "://", and more. Anything else (an origin-form
// path, even one holding "://" further on) would take its host from
// wherever "://" stands, and what a proxy sends upstream is in origin form:
// two proxies pointed at each other would bounce a request between them.
static bool url_is_absolute(const char *line) {
    const char *p = line;
    while (isspace((unsigned char)*p)) p++;
    while (*p != '\0' && !isspace((unsigned char)*p)) p++;  // the method
    while (isspace((unsigned char)*p)) p++;
    const char *scheme = p;
    while (isalnum((unsigned char)*p) || *p == '+' || *p == '-' || *p == '.') p++;
    if (p == scheme || strncmp(p, "://", 3) != 0) return false;
    p += 3;
    return *p != '\0' && !isspace((unsigned char)*p);
}

// Takes request-line bytes. Only a whole line is acted on: a cut one would
// fetch, and store under its cut key, another URL than the browser's. A line
// holding a NUL is text that ends there, without its line end; acted on, it
// would share its key with every line that starts the same.
static request_step_t take_request_line(request_state_t *rs, const char *bytes, size_t n,
                                        size_t *used) {
    if (n == 0) {
        rs->reading = READING_NOTHING;
        return rs->request_len == 0 ? REQUEST_EMPTY : REQUEST_LINE_UNFINISHED;
    }
    size_t room = (size_t)MAXLINE - 1 - rs->request_len;
    size_t avail = n < room ? n : room;
    const char *nl = (const char *)memchr(bytes, '\n', avail);
    size_t take = nl != nullptr ? (size_t)(nl - bytes) + 1 : avail;
    memcpy(rs->request + rs->request_len, bytes, take);
    rs->request_len += take;
    rs->request[rs->request_len] = '\0';
    *used = take;
    if (nl != nullptr) {
        if (memchr(rs->request, '\0', rs->request_len) != nullptr) {
            rs->reading = READING_NOTHING;
            return REQUEST_LINE_UNFINISHED;
        }
        if (!url_is_absolute(rs->request)) {
            rs->reading = READING_NOTHING;
            return REQUEST_NOT_ABSOLUTE;
        }
        parse_request_line(rs);
        rs->reading = READING_HEADER_LINES;
        return REQUEST_LINE_READY;
    }
    if (rs->request_len == (size_t)MAXLINE - 1) {
        rs->reading = READING_NOTHING;
        return REQUEST_LINE_TOO_LONG;
    }
    return REQUEST_MORE;
}

// ---------------------------------------------------------------- header block

// Appends "Host: " and the URL's origin: its host, and its port in decimal
// as connected to unless that is 80, then CR LF. False, with nothing
// appended, when it would not fit.
static bool append_host_line(char *buf, size_t *len, size_t cap, const request_state_t *rs) {
    char line[MAXLINE + 32];
    unsigned port = connect_port(rs);
    if (port == 80) {
        snprintf(line, sizeof line, "Host: %s\r\n", rs->address);
    } else {
        snprintf(line, sizeof line, "Host: %s:%u\r\n", rs->address, port);
    }
    return append_text(buf, len, cap, line);
}

// Builds the request for the origin in packet: the request line, Host unless
// the browser sent one, "Connection: close", the kept lines, the empty line.
// False when it would not fit.
static bool build_request(request_state_t *rs) {
    char *packet = rs->packet;
    size_t len = 0;
    packet[0] = '\0';
    bool fits = append_text(packet, &len, MAXBUF, rs->action) &&
                append_text(packet, &len, MAXBUF, " /") &&
                append_text(packet, &len, MAXBUF, rs->file) &&
                append_text(packet, &len, MAXBUF, " ") &&
                append_text(packet, &len, MAXBUF, rs->protocol) &&
                append_text(packet, &len, MAXBUF, "\r\n");
    rs->packet_line_len = len;
    if (fits && rs->host_flag == 1) fits = append_host_line(packet, &len, MAXBUF, rs);
    fits = fits && append_text(packet, &len, MAXBUF, "Connection: close\r\n") &&
           append_bytes(packet, &len, MAXBUF, rs->other_information, rs->info_len) &&
           append_text(packet, &len, MAXBUF, "\r\n");
    rs->packet_len = fits ? len : 0;
    return fits;
}

// The header block is over (its blank line, or the end of the stream).
static request_step_t finish_headers(request_state_t *rs) {
    rs->reading = READING_NOTHING;
    if (rs->body) return REQUEST_BODY;
    if (rs->folded) return REQUEST_FOLDED;
    return build_request(rs) ? REQUEST_READY : REQUEST_TOO_LARGE;
}

// Makes every byte c among line[0, n) a blank.
static void blank_out(char *line, size_t n, char c) {
    for (char *p = line; (p = (char *)memchr(p, c, (size_t)(line + n - p))) != nullptr; p++) {
        *p = ' ';
    }
}

// Acts on one whole header line, packet[0, line_len), its LF last. The block
// ends at the first line that is exactly CR LF or LF. Each kept line is sent
// with a CR LF line end, its NULs and stray CRs made blanks. Proxy-Connection
// is rewritten, Keep-Alive and Connection dropped, a Host naming another
// host or port than the URL's replaced by the URL's, a second Host dropped;
// the rest kept in order.
static request_step_t take_header_line(request_state_t *rs) {
    char *line = rs->packet;
    size_t content = rs->line_len - 1;
    rs->line_len = 0;
    if (content > 0 && line[content - 1] == '\r') content--;
    if (content == 0) return finish_headers(rs);  // the blank line
    blank_out(line, content, '\0');
    blank_out(line, content, '\r');
    // A line folded onto the one before (it starts with a blank, or with what
    // goes upstream as one) could carry on a Host or a body's announcement,
    // unseen, to an origin that joins it.
    if (line[0] == ' ' || line[0] == '\t') rs->folded = true;
    line[content] = '\0';
    if (announces_body(line)) rs->body = true;
    // Judged as the origin will get it: credentials or a no-store make the
    // answer this browser's alone, never stored for the next one.
    if (request_line_private(line, content)) rs->request_private = true;
    char *info = rs->other_information;
    size_t *info_len = &rs->info_len;
    bool kept = true;
    if (header_is(line, "Proxy-Connection")) {
        kept = append_text(info, info_len, MAXBUF, "Proxy-Connection: close\r\n");
    } else if (header_is(line, "Keep-Alive") || header_is(line, "Connection")) {
        // Dropped: the relay waits for the origin to close, so the origin
        // must see only the "Connection: close" added to the request.
    } else if (field_value(line, "Host") != nullptr) {
        // The key names the URL's origin only: a Host naming another one
        // would store that one's page under this URL for everyone. Exactly
        // one goes upstream: an origin may answer two with a 400, or read
        // the second.
        if (rs->host_flag == 0) {
            // Dropped: the first Host line already names the URL's origin.
        } else if (host_line_names(line, rs->address, connect_port(rs))) {
            kept = append_bytes(info, info_len, MAXBUF, line, content) &&
                   append_text(info, info_len, MAXBUF, "\r\n");
        } else {
            kept = append_host_line(info, info_len, MAXBUF, rs);
        }
        rs->host_flag = 0;
    } else {
        kept = append_bytes(info, info_len, MAXBUF, line, content) &&
               append_text(info, info_len, MAXBUF, "\r\n");
    }
    if (!kept) {
        rs->reading = READING_NOTHING;
        return REQUEST_TOO_LARGE;
    }
    return REQUEST_MORE;
}

// Takes header-block bytes, one whole line at a time however they are split.
// A line may take up to MAXBUF - 1 bytes with its LF; a longer one outgrows
// the buffer. At the end of the stream the block ends, and a line the stream
// cut short is dropped. Nothing after the block's end is taken.
static request_step_t take_header_bytes(request_state_t *rs, const char *bytes, size_t n,
                                        size_t *used) {
    if (n == 0) return finish_headers(rs);
    while (*used < n) {
        size_t room = (size_t)MAXBUF - 1 - rs->line_len;
        size_t left = n - *used;
        size_t avail = left < room ? left : room;
        const char *from = bytes + *used;
        const char *nl = (const char *)memchr(from, '\n', avail);
        size_t take = nl != nullptr ? (size_t)(nl - from) + 1 : avail;
        memcpy(rs->packet + rs->line_len, from, take);
        rs->line_len += take;
        *used += take;
        if (nl != nullptr) {
            request_step_t step = take_header_line(rs);
            if (step != REQUEST_MORE) return step;
        } else if (rs->line_len == (size_t)MAXBUF - 1) {
            rs->reading = READING_NOTHING;
            return REQUEST_TOO_LARGE;
        }
    }
    return REQUEST_MORE;
}

void request_init(request_state_t *rs) {
    rs->reading = READING_REQUEST_LINE;
    rs->request[0] = '\0';
    rs->request_len = 0;
    rs->action[0] = rs->address[0] = rs->file[0] = rs->protocol[0] = '\0';
    rs->port = -1;
    rs->other_information[0] = '\0';
    rs->info_len = 0;
    rs->packet[0] = '\0';
    rs->line_len = 0;
    rs->packet_len = 0;
    rs->packet_line_len = 0;
    rs->host_flag = 1;
    rs->body = false;
    rs->folded = false;
    rs->request_private = false;
}

size_t request_wanted(const request_state_t *rs) {
    if (rs->reading == READING_REQUEST_LINE) return (size_t)MAXLINE - 1 - rs->request_len;
    if (rs->reading == READING_HEADER_LINES) return (size_t)MAXBUF - 1 - rs->line_len;
    return 0;
}

request_step_t request_take(request_state_t *rs, const char *bytes, size_t n, size_t *used) {
    *used = 0;
    if (rs->reading == READING_REQUEST_LINE) return take_request_line(rs, bytes, n, used);
    if (rs->reading == READING_HEADER_LINES) return take_header_bytes(rs, bytes, n, used);
    return REQUEST_TOO_LARGE;  // over: a caller error, answered with a refusal
}

// ---------------------------------------------------------------- response

static bool blank(char c) { return c == ' ' || c == '\t'; }

// What the header line line[0, n) (its LF excluded) says of the body's
// length: 0 when it is no Content-Length line, 1 with *value set when it
// declares one, -1 when it is a malformed one. The name must start the line
// (any letter case), then blanks, the colon, blanks, digits, blanks and at
// most a CR right before the LF. Values past MAX_OBJECT_SIZE only need to be
// known as too large: *value stops growing there.
static int content_length_line(const char *line, size_t n, size_t *value) {
    static const char name[] = "content-length";
    const size_t name_len = sizeof name - 1;
    if (n < name_len) return 0;
    for (size_t k = 0; k < name_len; k++) {
        if (tolower((unsigned char)line[k]) != name[k]) return 0;
    }
    size_t i = name_len;
    while (i < n && blank(line[i])) i++;
    if (i == n || line[i] != ':') return 0;
    i++;
    while (i < n && blank(line[i])) i++;
    if (i == n || line[i] < '0' || line[i] > '9') return -1;
    size_t declared = 0;
    for (; i < n && line[i] >= '0' && line[i] <= '9'; i++) {
        if (declared <= (size_t)MAX_OBJECT_SIZE) declared = declared * 10 + (size_t)(line[i] - '0');
    }
    while (i < n && blank(line[i])) i++;
    if (i < n && !(line[i] == '\r' && i + 1 == n)) return -1;
    *value = declared;
    return 1;
}

bool response_storable(const char *action, bool request_private, bool origin_closed,
                       const char *response, size_t length) {
    bool head = strcmp(action, "HEAD") == 0;
    if ((!head && strcmp(action, "GET") != 0) || !origin_closed) return false;
    if (length == 0 || length > (size_t)MAX_OBJECT_SIZE) return false;
    const char *end = response + length;
    // The status line is the shared rule's to judge: only its end matters.
    const char *line = (const char *)memchr(response, '\n', length);
    if (line == nullptr) return false;
    line++;
    bool length_seen = false, length_bad = false;
    size_t length_value = 0;
    const char *body = nullptr;
    while (body == nullptr) {
        const char *nl = (const char *)memchr(line, '\n', (size_t)(end - line));
        if (nl == nullptr) return false;  // the header block never ended
        size_t n = (size_t)(nl - line);
        line = nl + 1;
        if (n == 0 || (n == 1 && nl[-1] == '\r')) {
            body = line;  // after the block's empty line
            continue;
        }
        size_t declared = 0;
        int kind = content_length_line(nl - n, n, &declared);
        // Every Content-Length line must declare the body's length, so all must agree.
        if (kind < 0 || (kind > 0 && length_seen && declared != length_value)) length_bad = true;
        if (kind > 0 && !length_seen) {
            length_seen = true;
            length_value = declared;
        }
    }
    if (!head && (length_bad || (length_seen && length_value != (size_t)(end - body)))) {
        return false;
    }
    // Whether any browser may have it: status, cookies, credentials,
    // encodings, freshness (robix/cacheable.h).
    return response_cacheable(response, length, request_private);
}
