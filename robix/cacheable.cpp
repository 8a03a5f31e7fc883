// The shared-cache storing rule (cacheable.h). Every parser here walks a
// byte range [p, end) and stops at `end`, never at a NUL: responses are
// bytes, not text.
#include "cacheable.h"

#include <stdint.h>
#include <string.h>
#include <strings.h>

namespace {

// A byte range, never NUL-terminated.
struct span_t {
    const char *p;
    const char *end;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// What trimming takes off a name, a value or a list element: blanks, and the
// NULs and stray CRs that the proxies send upstream as blanks. A response
// holding either is refused before any of its lines is trimmed, so only a
// request line can bring them here.
bool is_trimmed(char c) { return is_blank(c) || c == '\0' || c == '\r'; }

span_t trim(span_t s) {
    while (s.p < s.end && is_trimmed(*s.p)) s.p++;
    while (s.end > s.p && is_trimmed(s.end[-1])) s.end--;
    return s;
}

// Whole-word comparison, letter case ignored: "no-cache-x" is not "no-cache".
bool span_is(span_t s, const char *word) {
    size_t n = strlen(word);
    return (size_t)(s.end - s.p) == n && strncasecmp(s.p, word, n) == 0;
}

// The next comma-separated element of *list, blanks trimmed; a quoted string
// inside it is one piece, so a comma between quotes splits nothing. False
// when the list is used up.
bool next_element(span_t *list, span_t *element) {
    if (list->p >= list->end) return false;
    const char *q = list->p;
    bool quoted = false;
    for (; q < list->end; q++) {
        if (quoted && *q == '\\' && q + 1 < list->end) {
            q++;  // an escaped byte, perhaps a quote
        } else if (*q == '"') {
            quoted = !quoted;
        } else if (*q == ',' && !quoted) {
            break;
        }
    }
    *element = trim(span_t{list->p, q});
    list->p = q < list->end ? q + 1 : q;
    return true;
}

// Splits a directive "name[=value]" at its first '='; a quoted value loses
// its quotes.
void split_directive(span_t element, span_t *name, span_t *value) {
    const char *eq = (const char *)memchr(element.p, '=', (size_t)(element.end - element.p));
    if (eq == nullptr) {
        *name = element;
        *value = span_t{element.end, element.end};
        return;
    }
    *name = trim(span_t{element.p, eq});
    *value = trim(span_t{eq + 1, element.end});
    if (value->end - value->p >= 2 && *value->p == '"' && value->end[-1] == '"') {
        value->p++;
        value->end--;
    }
}

// True when every element of the list is empty or `word`.
bool list_only(span_t list, const char *word) {
    span_t element;
    while (next_element(&list, &element)) {
        if (element.p != element.end && !span_is(element, word)) return false;
    }
    return true;
}

// ---------------------------------------------------------------- HTTP dates

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Reads exactly `digits` decimal digits at *p.
bool read_number(const char **p, const char *end, int digits, int *out) {
    if (end - *p < digits) return false;
    int v = 0;
    for (int i = 0; i < digits; i++) {
        if (!is_digit((*p)[i])) return false;
        v = v * 10 + ((*p)[i] - '0');
    }
    *p += digits;
    *out = v;
    return true;
}

bool read_literal(const char **p, const char *end, const char *text) {
    size_t n = strlen(text);
    if ((size_t)(end - *p) < n || memcmp(*p, text, n) != 0) return false;
    *p += n;
    return true;
}

// A month's three-letter name, as dates write it (case matters).
bool read_month(const char **p, const char *end, int *month) {
    static const char NAMES[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (end - *p < 3) return false;
    for (int m = 0; m < 12; m++) {
        if (memcmp(*p, NAMES + 3 * m, 3) == 0) {
            *month = m + 1;
            *p += 3;
            return true;
        }
    }
    return false;
}

bool read_clock(const char **p, const char *end, int *h, int *mi, int *s) {
    return read_number(p, end, 2, h) && read_literal(p, end, ":") && read_number(p, end, 2, mi) &&
           read_literal(p, end, ":") && read_number(p, end, 2, s);
}

// Skips the day name and what follows it up to the first digit or month
// letter: "Sun, ", "Sunday, " or "Sun ". Only letters may come first.
void skip_day_name(const char **p, const char *end) {
    while (*p < end && ((**p >= 'A' && **p <= 'Z') || (**p >= 'a' && **p <= 'z'))) (*p)++;
}

// One of the three forms HTTP dates take, as seconds since the epoch:
// "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT" and
// "Sun Nov  6 08:49:37 1994". Anything else does not parse.
bool parse_http_date(span_t s, int64_t *seconds) {
    const char *p = s.p, *end = s.end;
    int year = 0, month = 0, day = 0, h = 0, mi = 0, sec = 0;
    skip_day_name(&p, end);
    if (read_literal(&p, end, ", ")) {
        const char *at = p;
        if (read_number(&p, end, 2, &day) && read_literal(&p, end, " ") &&
            read_month(&p, end, &month) && read_literal(&p, end, " ") &&
            read_number(&p, end, 4, &year)) {
            // IMF-fixdate.
        } else {
            p = at;
            int yy = 0;
            if (!(read_number(&p, end, 2, &day) && read_literal(&p, end, "-") &&
                  read_month(&p, end, &month) && read_literal(&p, end, "-") &&
                  read_number(&p, end, 2, &yy)))
                return false;
            year = yy < 70 ? 2000 + yy : 1900 + yy;  // a two-digit year
        }
        if (!(read_literal(&p, end, " ") && read_clock(&p, end, &h, &mi, &sec) &&
              read_literal(&p, end, " GMT") && p == end))
            return false;
    } else {
        // asctime: the day of the month is padded with a blank.
        if (!(read_literal(&p, end, " ") && read_month(&p, end, &month) &&
              read_literal(&p, end, " ")))
            return false;
        if (p < end && *p == ' ') p++;
        const char *digits = p;
        while (p < end && is_digit(*p) && p - digits < 2) day = day * 10 + (*p++ - '0');
        if (p == digits || !(read_literal(&p, end, " ") && read_clock(&p, end, &h, &mi, &sec) &&
                             read_literal(&p, end, " ") && read_number(&p, end, 4, &year) &&
                             p == end))
            return false;
    }
    if (day < 1 || day > 31 || h > 23 || mi > 59 || sec > 60) return false;
    *seconds = days_from_civil(year, month, day) * 86400 + h * 3600 + mi * 60 + sec;
    return true;
}

// ---------------------------------------------------------------- the header block

// What the header lines said about freshness, gathered over the whole block.
struct freshness_t {
    bool lifetime = false;  // a max-age or s-maxage above 0
    bool expires = false;   // some Expires line
    bool expires_bad = false;
    int64_t earliest_expires = INT64_MAX;
    bool date = false;
    bool date_bad = false;
    int64_t latest_date = INT64_MIN;
};

// True when a delta-seconds value is a number above 0.
bool positive_seconds(span_t value) {
    if (value.p == value.end) return false;
    bool nonzero = false;
    for (const char *q = value.p; q < value.end; q++) {
        if (!is_digit(*q)) return false;
        if (*q != '0') nonzero = true;
    }
    return nonzero;
}

// A response's Cache-Control: false for a directive that forbids storing or
// makes the answer stale on arrival (the proxy never revalidates).
bool cache_control_allows(span_t value, freshness_t *fresh) {
    span_t element, name, arg;
    while (next_element(&value, &element)) {
        split_directive(element, &name, &arg);
        if (span_is(name, "no-store") || span_is(name, "private") || span_is(name, "no-cache"))
            return false;
        if (span_is(name, "max-age") || span_is(name, "s-maxage")) {
            if (!positive_seconds(arg)) return false;
            fresh->lifetime = true;
        }
    }
    return true;
}

bool pragma_allows(span_t value) {
    span_t element, name, arg;
    while (next_element(&value, &element)) {
        split_directive(element, &name, &arg);
        if (span_is(name, "no-cache")) return false;
    }
    return true;
}

// One header line, name and value trimmed: false when it keeps the response
// from being stored.
bool header_allows(span_t name, span_t value, freshness_t *fresh) {
    if (span_is(name, "Set-Cookie") || span_is(name, "Set-Cookie2")) return false;
    // The end of a chunked body is not checked by the programs.
    if (span_is(name, "Transfer-Encoding")) return false;
    if (span_is(name, "Content-Encoding")) return list_only(value, "identity");
    // An identity body is the same whatever encoding a browser accepts.
    if (span_is(name, "Vary")) return list_only(value, "Accept-Encoding");
    if (span_is(name, "Cache-Control")) return cache_control_allows(value, fresh);
    if (span_is(name, "Pragma")) return pragma_allows(value);
    if (span_is(name, "Expires")) {
        int64_t t;
        fresh->expires = true;
        if (!parse_http_date(value, &t)) {
            fresh->expires_bad = true;
        } else if (t < fresh->earliest_expires) {
            fresh->earliest_expires = t;
        }
    } else if (span_is(name, "Date")) {
        int64_t t;
        fresh->date = true;
        if (!parse_http_date(value, &t)) {
            fresh->date_bad = true;
        } else if (t > fresh->latest_date) {
            fresh->latest_date = t;
        }
    }
    return true;
}

// True when [p, end) holds a NUL, or a CR that is not its last byte.
bool has_stray_bytes(const char *p, const char *end) {
    if (memchr(p, '\0', (size_t)(end - p)) != nullptr) return true;
    const char *cr = (const char *)memchr(p, '\r', (size_t)(end - p));
    return cr != nullptr && cr != end - 1;
}

// The status codes a cache may reuse without being told it may, less 206
// (a part answers one browser's range).
bool status_reusable(int code) {
    switch (code) {
        case 200: case 203: case 204: case 300: case 301: case 308:
        case 404: case 405: case 410: case 414: case 501:
            return true;
        default:
            return false;
    }
}

// The status line: "HTTP/" digit "." digit, one space, three digits, then a
// blank and a reason or the line's end, from the very first byte. Anything
// else (an interim answer first, junk before it, a tab, lower case) is not
// judged. *code receives the code.
bool read_status_line(const char *p, const char *line_end, int *code) {
    const char *q = p;
    int major = 0, minor = 0;
    if (!(read_literal(&q, line_end, "HTTP/") && read_number(&q, line_end, 1, &major) &&
          read_literal(&q, line_end, ".") && read_number(&q, line_end, 1, &minor) &&
          read_literal(&q, line_end, " ") && read_number(&q, line_end, 3, code)))
        return false;
    if (q < line_end && *q != ' ' && !(*q == '\r' && q + 1 == line_end)) return false;
    return !has_stray_bytes(p, line_end);
}

}  // namespace

bool request_line_private(const char *line, size_t length) {
    const char *end = line + length;
    while (end > line && (end[-1] == '\n' || end[-1] == '\r')) end--;
    const char *colon = (const char *)memchr(line, ':', (size_t)(end - line));
    if (colon == nullptr) return false;
    span_t name = trim(span_t{line, colon});
    span_t value = trim(span_t{colon + 1, end});
    if (span_is(name, "Authorization") || span_is(name, "Proxy-Authorization")) return true;
    if (!span_is(name, "Cache-Control")) return false;
    span_t element, directive, arg;
    while (next_element(&value, &element)) {
        split_directive(element, &directive, &arg);
        if (span_is(directive, "no-store")) return true;
    }
    return false;
}

bool response_cacheable(const char *response, size_t length, bool request_private) {
    if (request_private) return false;
    const char *p = response, *end = response + length;
    const char *lf = (const char *)memchr(p, '\n', length);
    int code = 0;
    if (lf == nullptr || !read_status_line(p, lf, &code) || !status_reusable(code)) return false;
    freshness_t fresh;
    for (p = lf + 1;; p = lf + 1) {
        lf = (const char *)memchr(p, '\n', (size_t)(end - p));
        if (lf == nullptr) return false;  // the block never ended
        const char *line_end = lf > p && lf[-1] == '\r' ? lf - 1 : lf;
        if (line_end == p) break;  // the empty line
        if (has_stray_bytes(p, lf)) return false;
        // A folded line continues the one before: what the origin meant by
        // it cannot be known here.
        if (is_blank(*p)) return false;
        const char *colon = (const char *)memchr(p, ':', (size_t)(line_end - p));
        if (colon == nullptr) return false;
        span_t name = trim(span_t{p, colon});
        if (name.p == name.end) return false;
        if (!header_allows(name, trim(span_t{colon + 1, line_end}), &fresh)) return false;
    }
    // Without a lifetime of its own, an Expires decides: it must name a
    // moment after the answer's Date, or the answer is stale on arrival.
    if (fresh.expires && !fresh.lifetime) {
        if (fresh.expires_bad || !fresh.date || fresh.date_bad) return false;
        if (fresh.earliest_expires <= fresh.latest_date) return false;
    }
    return true;
}
