// stageproxy's request decisions (request.h): pure functions over bytes, no
// globals, no I/O, no lock; any thread may call them at once.
#include "request.h"

#include "cacheable.h"

#include <ctype.h>  // isdigit
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

static const char PROXY_CONNECTION_CLOSE[] = "Proxy-Connection: close\r\n";
static const char CONNECTION_CLOSE[] = "Connection: close\r\n";

// ---------------------------------------------------------------- small helpers

// isspace() of the C locale, which the program never leaves, without a call
// per byte: status lines and request lines are scanned byte by byte.
static inline bool blank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Copies the next word of text[*at, length) into word (MAXLINE bytes),
// skipping the white space before it; an empty word when none is left. A
// word longer than MAXLINE - 1 bytes is cut, and its rest skipped: it must
// not pass for the next word.
static void nextWord(const char *text, int length, int *at, char *word) {
    int i = *at;
    while (i < length && blank((unsigned char)text[i])) i++;
    int start = i;
    while (i < length && !blank((unsigned char)text[i])) i++;
    int n = i - start < MAXLINE - 1 ? i - start : MAXLINE - 1;
    memcpy(word, text + start, (size_t)n);
    word[n] = '\0';
    *at = i;
}

// True when the line text[0, length) is a header called `name`, in any case:
// the name, then the colon, perhaps after blanks (which an origin may well
// take for the same header, so they must not hide a body or a Host). Blanks
// that run to the end of a read that did not end the line may yet reach a
// colon in the next: that counts as the header too, the safe side.
static bool headerNamed(const char *text, int length, const char *name) {
    int n = (int)strlen(name);
    if (length <= n || strncasecmp(text, name, (size_t)n) != 0) return false;
    // NULs and stray CRs go upstream as blanks, so they count as blanks here.
    while (n < length &&
           (text[n] == ' ' || text[n] == '\t' || text[n] == '\0' || text[n] == '\r'))
        n++;
    return n == length || text[n] == ':';
}

// The value of the header line text[0, length), whose name is nameLength
// bytes: *value and *valueLength, without the white space and line end
// around it.
static void headerValue(const char *text, int length, int nameLength, const char **value,
                        int *valueLength) {
    int from = nameLength, to = length;
    while (from < to && text[from] != ':') from++;
    from++;  // the colon, which headerNamed found
    while (from < to && (text[from] == ' ' || text[from] == '\t')) from++;
    while (to > from && blank((unsigned char)text[to - 1])) to--;
    *value = text + from;
    *valueLength = to - from;
}

// True when value[0, length) is a decimal number of at most 18 digits; its
// value in *number.
static bool decimal(const char *value, int length, long long *number) {
    if (length <= 0 || length > 18) return false;
    long long n = 0;
    for (int i = 0; i < length; i++) {
        if (value[i] < '0' || value[i] > '9') return false;
        n = n * 10 + (value[i] - '0');
    }
    *number = n;
    return true;
}

// True when a whole Host line text[0, length) names domain (any letter case)
// and port: a port after a colon in decimal, none meaning 80.
static bool hostNames(const char *text, int length, const char *domain, int port) {
    const char *value;
    int valueLength;
    headerValue(text, length, 4, &value, &valueLength);
    int colon = valueLength;
    while (colon > 0 && isdigit((unsigned char)value[colon - 1])) colon--;
    long long named = 80;
    if (colon > 0 && value[colon - 1] == ':') {
        // "host:" or a port that no connection reaches is another port.
        if (!decimal(value + colon, valueLength - colon, &named)) return false;
        valueLength = colon - 1;
    }
    return named == port && (size_t)valueLength == strlen(domain) &&
           strncasecmp(value, domain, (size_t)valueLength) == 0;
}

// ---------------------------------------------------------------- the request

requestLineVerdict judgeRequestLine(const char *line, int length, char *url) {
    char method[MAXLINE], version[MAXLINE];
    int textLength = (int)strlen(line);
    int at = 0;
    nextWord(line, textLength, &at, method);
    nextWord(line, textLength, &at, url);
    nextWord(line, textLength, &at, version);
    // A cut line would be fetched and stored under a cut URL.
    if (length > 0 && line[length - 1] != '\n') return REQUEST_LINE_CUT;
    if (strcasecmp(method, "GET") != 0) return REQUEST_NOT_GET;
    return strncasecmp(url, "http://", 7) == 0 ? REQUEST_GET : REQUEST_NOT_ABSOLUTE;
}

bool splitUrl(const char *url, char *domain, char *path, int *port, bool *customPort) {
    char customport[MAXLINE];
    int i, lenUrl, lenDomain, lenPath, offset;

    *port = 80;
    *customPort = false;
    lenUrl = (int)strlen(url);
    if (lenUrl <= 6) return false;
    // The scheme prefix is skipped unexamined.
    i = 7;
    while (i < lenUrl && url[i] != '/' && url[i] != ':') i++;
    if (i < lenUrl && url[i] == ':') {
        offset = i + 1;
        while (offset < lenUrl && url[offset] != '/') offset++;
        memcpy(customport, url + i + 1, (size_t)(offset - i - 1));
        customport[offset - i - 1] = '\0';
        *port = atoi(customport);
        *customPort = true;
    } else {
        offset = i;
    }
    lenDomain = i - 7;
    memcpy(domain, url + 7, (size_t)lenDomain);
    domain[lenDomain] = '\0';
    lenPath = lenUrl - offset;
    if (lenPath == 0) {
        memcpy(path, "/", 2);
    } else {
        memcpy(path, url + offset, (size_t)lenPath);
        path[lenPath] = '\0';
    }
    return true;
}

int connectedPort(int port) { return (int)((unsigned)port & 0xffffu); }

void upstreamHost(const char *domain, int port, char *hostPort) {
    size_t n = strlen(domain);
    memcpy(hostPort, domain, n);
    if (connectedPort(port) == 80) {
        hostPort[n] = '\0';
    } else {
        snprintf(hostPort + n, 7, ":%d", connectedPort(port));
    }
}

int addedHostLine(const char *hostPort, char *out) {
    int length = snprintf(out, HEADER_OUT_SIZE, "Host: %s\r\n", hostPort);
    return length < 0 || length >= HEADER_OUT_SIZE ? 0 : length;
}

int initialRequest(const char *path, char *request) {
    int length = snprintf(request, REQUEST_SIZE, "GET %s HTTP/1.0\r\n", path);
    if (length < 0 || length >= REQUEST_SIZE) return -1;
    return length;
}

// What goes upstream for one read of the header block.
enum headerReadKind {
    READ_BLOCK_END,   // the block's empty line: CR LF, and no more reads
    READ_BODY,        // a body or a folded line: nothing, and the block must not end
    READ_ADDED_HOST,  // the URL's own Host line in place of the browser's
    READ_REPLACED,    // a fixed replacement (possibly empty) in place of the line
    READ_SKIPPED,     // nothing: a later read of a line replaced or dropped
    READ_COPIED,      // the read itself, as copyHeaderRead rewrites it
};

// Classifies one read (relayHeaderRead's buffer and length) by the line it
// starts or continues, and notes in relay what the line tells: credentials,
// a Host sent, whether the rest of the line is skipped. For READ_REPLACED,
// *replacement[0, *replacementLength) is what goes instead. Cannot fail.
static headerReadKind classifyHeaderRead(headerRelay *relay, const char *buffer, int length,
                                         const char **replacement, int *replacementLength) {
    bool lineEnd = buffer[length - 1] == '\n';
    if (!relay->lineStart) return relay->skipLine ? READ_SKIPPED : READ_COPIED;
    if (lineEnd && (length == 1 || (length == 2 && buffer[0] == '\r'))) return READ_BLOCK_END;
    // A line folded onto the one before (starting with a blank, or with a
    // NUL or stray CR, which go upstream as one) would let a Host or a body's
    // announcement pass unseen to an origin that joins it.
    if (buffer[0] == ' ' || buffer[0] == '\t' || buffer[0] == '\0' ||
        (buffer[0] == '\r' && length > 1 && buffer[1] != '\n'))
        return READ_BODY;
    // The rest of a Cache-Control too long for one read is not seen: it
    // may say no-store.
    if (request_line_private(buffer, (size_t)length) ||
        (!lineEnd && headerNamed(buffer, length, "Cache-Control")))
        relay->requestPrivate = true;
    relay->skipLine = true;
    *replacement = "";
    *replacementLength = 0;
    if (headerNamed(buffer, length, "Content-Length")) {
        long long announced = 0;
        const char *value;
        int valueLength;
        headerValue(buffer, length, 14, &value, &valueLength);
        if (!lineEnd || !decimal(value, valueLength, &announced) || announced != 0)
            return READ_BODY;
    } else if (headerNamed(buffer, length, "Transfer-Encoding")) {
        return READ_BODY;
    } else if (headerNamed(buffer, length, "Keep-Alive")) {
        return READ_REPLACED;
    } else if (headerNamed(buffer, length, "Proxy-Connection")) {
        *replacement = PROXY_CONNECTION_CLOSE;
        *replacementLength = (int)sizeof PROXY_CONNECTION_CLOSE - 1;
        return READ_REPLACED;
    } else if (headerNamed(buffer, length, "Connection")) {
        *replacement = CONNECTION_CLOSE;
        *replacementLength = (int)sizeof CONNECTION_CLOSE - 1;
        return READ_REPLACED;
    } else if (headerNamed(buffer, length, "Host")) {
        // Two Host lines: an origin may answer 400, or for either site.
        if (relay->hostSent) return READ_REPLACED;
        relay->hostSent = true;
        // A Host line too long for one read names no host a URL of under
        // MAXLINE characters could.
        if (!(lineEnd && hostNames(buffer, length, relay->domain, relay->port)))
            return READ_ADDED_HOST;
    }
    relay->skipLine = false;
    return READ_COPIED;
}

// Copies the read buffer[0, length) to out as it goes upstream, and returns
// how many bytes that is: a line end goes as CR LF, a NUL or a CR anywhere
// but before the LF as a space; a CR that ends the read is held in relay
// (its LF may start the next read), and goes out with the next read's first
// byte. Cannot fail.
static int copyHeaderRead(headerRelay *relay, const char *buffer, int length, char *out) {
    bool lineEnd = buffer[length - 1] == '\n';
    int n = 0;
    if (relay->heldCr) out[n++] = buffer[0] == '\n' ? '\r' : ' ';
    relay->heldCr = false;
    // Most reads are a plain line: text, then CR LF or LF. Its text goes in
    // one copy; anything else is taken byte by byte below.
    const int tail = !lineEnd ? 0 : length >= 2 && buffer[length - 2] == '\r' ? 2 : 1;
    const int text = length - tail;
    if (memchr(buffer, '\0', (size_t)text) == nullptr &&
        memchr(buffer, '\r', (size_t)text) == nullptr &&
        memchr(buffer, '\n', (size_t)text) == nullptr) {
        memcpy(out + n, buffer, (size_t)text);
        n += text;
        if (lineEnd) {
            if (n == 0 || out[n - 1] != '\r') out[n++] = '\r';  // a CR held from the read before
            out[n++] = '\n';
        }
        return n;
    }
    for (int i = 0; i < length; i++) {
        char c = buffer[i];
        if (c == '\0') {
            c = ' ';
        } else if (c == '\r' && i + 1 == length && !lineEnd) {
            relay->heldCr = true;  // its LF may start the next read
            break;
        } else if (c == '\r' && !(i + 1 < length && buffer[i + 1] == '\n')) {
            c = ' ';
        } else if (c == '\n' && (n == 0 || out[n - 1] != '\r')) {
            out[n++] = '\r';
        }
        out[n++] = c;
    }
    return n;
}

headerVerdict relayHeaderRead(headerRelay *relay, const char *buffer, int length, char *out,
                              int *outLength) {
    const char *replacement = "";
    int replacementLength = 0;
    headerReadKind kind =
        classifyHeaderRead(relay, buffer, length, &replacement, &replacementLength);
    *outLength = 0;
    if (kind == READ_BLOCK_END) {
        memcpy(out, "\r\n", 2);
        *outLength = 2;
        return HEADER_END;
    }
    if (kind == READ_BODY) return HEADER_BODY;
    relay->lineStart = buffer[length - 1] == '\n';
    if (kind == READ_ADDED_HOST) {
        *outLength = addedHostLine(relay->hostPort, out);
    } else if (kind == READ_REPLACED) {
        memcpy(out, replacement, (size_t)replacementLength);
        *outLength = replacementLength;
    } else if (kind == READ_SKIPPED) {
        relay->heldCr = false;
    } else {
        *outLength = copyHeaderRead(relay, buffer, length, out);
    }
    return HEADER_MORE;
}

// ---------------------------------------------------------------- the response

void responseCopyAdd(responseCopy *copy, const char *bytes, int length) {
    if (copy->total + length > MAX_OBJECT_SIZE) {
        copy->tooLarge = true;
    } else if (!copy->tooLarge) {
        memcpy(copy->page + copy->total, bytes, (size_t)length);
        copy->total += length;
    }
}

storeVerdict storeDecision(const responseCopy *copy, bool requestPrivate) {
    if (copy->tooLarge) return STORE_TOO_LARGE;
    return completeResponse(copy->page, copy->total) &&
                   response_cacheable(copy->page, (size_t)copy->total, requestPrivate)
               ? STORE_WHOLE
               : STORE_NOT_WHOLE;
}

bool completeResponse(const char *page, int total) {
    if (total == 0) return false;
    const char *nl = static_cast<const char *>(memchr(page, '\n', (size_t)total));
    if (nl == nullptr) return false;

    // The header lines run from headers to bodyStart, the empty line included.
    const int headers = (int)(nl - page) + 1;
    int bodyStart = headers;
    for (;;) {
        nl = static_cast<const char *>(memchr(page + bodyStart, '\n', (size_t)(total - bodyStart)));
        if (nl == nullptr) return false;  // the header block never ended
        int lineLength = (int)(nl - page) - bodyStart;
        bool empty = lineLength == 0 || (lineLength == 1 && page[bodyStart] == '\r');
        bodyStart += lineLength + 1;
        if (empty) break;
    }
    for (int line = headers; line < bodyStart;) {
        nl = static_cast<const char *>(memchr(page + line, '\n', (size_t)(bodyStart - line)));
        int lineLength = (int)(nl - page) - line;
        if (headerNamed(page + line, lineLength, "Content-Length")) {
            const char *value;
            int valueLength;
            long long declared;
            headerValue(page + line, lineLength, 14, &value, &valueLength);
            if (!decimal(value, valueLength, &declared) || declared != total - bodyStart)
                return false;
        }
        line += lineLength + 1;
    }
    return true;
}
