// stageproxy: start-up with a port and a verbosity level, the accept loop on
// the main thread, and one detached thread per browser connection that runs
// the request pipeline once: validateRequest, a cache lookup, then either the
// answer from the cache or parseUrl, connectToServer, sendInitialRequest,
// passToServer and cacheAndRespond. Each stage returns non-zero on success;
// handleRequest prints one "Error: ..." line for the first that fails.
// The cache and its lock belong to cache.cpp; this file takes rwlock around
// each cache call and never holds it during network I/O. `verbosity` is
// written by main before any thread exists and only read afterwards.
#include <ctype.h>
#include <poll.h>
#include <stdint.h>
#include <strings.h>
#include <sys/resource.h>
#include <time.h>

#include "cache.h"
#include "robix.h"
#include "stacks.h"

typedef struct sockaddr_in SAI;

// Size of every line buffer: one read yields at most 8191 bytes and a NUL.
static constexpr int MAXLINE = 8192;
// The upstream request line: "GET ", a path of up to MAXLINE - 1 characters,
// " HTTP/1.0\r\n" and a NUL. A request line near the read limit can carry a
// path longer than a line buffer would leave room for.
static constexpr int REQUEST_SIZE = 4 + MAXLINE + 12;
// What replaces the browser's connection headers upstream.
static const char PROXY_CONNECTION_CLOSE[] = "Proxy-Connection: close\r\n";
static const char CONNECTION_CLOSE[] = "Connection: close\r\n";

// Time-outs, so that no silent peer holds a thread for ever: the browser
// has this long in all for its request line and header block; a write to the
// browser fails once it has accepted no byte for this long; a read from (or
// a write to) the origin fails once it has sent (or taken) no byte for this
// long (slow origins are common, hence the long wait). The test build
// shortens them.
#ifdef PROXY_TEST_TIMEOUTS
static constexpr int REQUEST_TIMEOUT_MS = 1000;
static constexpr int BROWSER_SEND_TIMEOUT_MS = 1000;
static constexpr int ORIGIN_TIMEOUT_MS = 2000;
#else
static constexpr int REQUEST_TIMEOUT_MS = 60000;
static constexpr int BROWSER_SEND_TIMEOUT_MS = 60000;
static constexpr int ORIGIN_TIMEOUT_MS = 600000;
#endif

// Pause of the accept loop when descriptors, memory or threads run out, so it
// does not spin while connections drain.
static constexpr long RESOURCE_PAUSE_MS = 50;

// 0 (quiet), 1 or 2 (names the request line and the URL in three lines).
int verbosity = 1;

// ---------------------------------------------------------------- small helpers

static void pauseMs(long millis) {
    struct timespec ts = {millis / 1000, (millis % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }  // retry with what is left
}

// The one line that reports a failed stage, on standard error.
static void stageFailed(const char *what) { fprintf(stderr, "Error: %s\n", what); }

// Copies the next word of text[*at, length) into word, skipping the white
// space before it; an empty word when none is left. A word is at most as long
// as the text, so a MAXLINE buffer always holds it.
static void nextWord(const char *text, int length, int *at, char *word) {
    int i = *at, n = 0;
    while (i < length && isspace((unsigned char)text[i])) i++;
    while (i < length && !isspace((unsigned char)text[i]) && n < MAXLINE - 1) word[n++] = text[i++];
    word[n] = '\0';
    *at = i;
}

// True when the line text[0, length) is a header called `name`, in any case:
// the name, then at once the colon.
static bool headerNamed(const char *text, int length, const char *name) {
    int n = (int)strlen(name);
    return length > n && text[n] == ':' && strncasecmp(text, name, (size_t)n) == 0;
}

// The value of the header line text[0, length), whose name is nameLength
// bytes: *value and *valueLength, without the white space and line end
// around it.
static void headerValue(const char *text, int length, int nameLength, const char **value,
                        int *valueLength) {
    int from = nameLength + 1, to = length;
    while (from < to && (text[from] == ' ' || text[from] == '\t')) from++;
    while (to > from && isspace((unsigned char)text[to - 1])) to--;
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

// True when a whole Host line text[0, length) names domain (any letter case,
// a port after the last colon left aside).
static bool hostNames(const char *text, int length, const char *domain) {
    const char *value;
    int valueLength;
    headerValue(text, length, 4, &value, &valueLength);
    int colon = valueLength;
    while (colon > 0 && isdigit((unsigned char)value[colon - 1])) colon--;
    if (colon > 0 && value[colon - 1] == ':') valueLength = colon - 1;
    return (size_t)valueLength == strlen(domain) &&
           strncasecmp(value, domain, (size_t)valueLength) == 0;
}

// ---------------------------------------------------------------- reads and writes

// Writes all length bytes to fd: the full writer's result, negative on
// failure. A peer that has gone (EPIPE; SIGPIPE is ignored) is reported.
static int rioWrite(int fd, const char *buffer, int length) {
    int result = (int)rio_writen(fd, buffer, (size_t)length);
    if (result < 0 && errno == EPIPE) {
        puts("Sig Pipe detected - aborting connection thread.");
        return -1;
    }
    return result;
}

// Reads one line of at most length - 1 bytes through website: the count read,
// 0 at end of stream, negative on failure. A reset connection is reported.
static int rioRead(rio_t *website, char *buffer, int length) {
    int result = (int)rio_readlineb(website, buffer, (size_t)length);
    if (result < 0 && errno == ECONNRESET) {
        puts("Sig Conn detected - aborting connection thread.");
        return -1;
    }
    return result;
}

// Makes reads (SO_RCVTIMEO) or writes (SO_SNDTIMEO) on fd fail with EAGAIN
// once no byte has moved for millis. Best effort: without it the peer is
// only waited for longer.
static void setSocketTimeout(int fd, int option, int millis) {
    struct timeval tv = {millis / 1000, (millis % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// True when the next line can be read from website's buffer without waiting
// for the socket: a line end is already buffered.
static bool lineBuffered(const rio_t *website) {
    return website->rio_cnt > 0 &&
           memchr(website->rio_bufptr, '\n', (size_t)website->rio_cnt) != nullptr;
}

// ---------------------------------------------------------------- stages

// Reads the request line and copies its second word, the URL, into url
// (MAXLINE bytes). 1 for a GET in any letter case; 0 for another method, an
// empty line (also a browser gone at once), a failed read, and a line that
// did not end within one read (too long, or the stream ended inside it): a
// cut line would be fetched and stored under a cut URL. Words end at white
// space and at the first NUL byte, since the line is taken as text.
static int validateRequest(rio_t *browser, char *url) {
    char buffer[MAXLINE], method[MAXLINE], version[MAXLINE];
    int length = rioRead(browser, buffer, MAXLINE);
    if (length < 0) return 0;
    buffer[length] = '\0';  // a read of 0 bytes left it untouched: an empty line
    int textLength = (int)strlen(buffer);
    int at = 0;
    nextWord(buffer, textLength, &at, method);
    nextWord(buffer, textLength, &at, url);
    nextWord(buffer, textLength, &at, version);

    if (verbosity == 1) {
        puts("Received Request");
    } else if (verbosity == 2) {
        printf("\n\nReceived Request: %s\n", buffer);
    }
    if (length > 0 && buffer[length - 1] != '\n') return 0;
    if (strcasecmp(method, "GET") == 0) return 1;
    fputs("Error: Must be GET request.\n", stderr);
    return 0;
}

// Takes url apart: the host from its eighth character up to a '/' or ':',
// the port after a ':' (80 without one; atoi, no range check), and the path
// from the first '/' after the host ("/" when there is none). domain and path
// hold MAXLINE bytes each. 0, with "Error: URL too short." printed, for a URL
// of 6 characters or less; 1 otherwise.
static int parseUrl(const char *url, char *domain, char *path, int *port) {
    char customport[MAXLINE];
    int i, lenUrl, lenDomain, lenPath, offset;

    *port = 80;
    lenUrl = (int)strlen(url);
    if (lenUrl <= 6) {
        puts("Error: URL too short.");
        return 0;
    }
    // The scheme prefix is skipped unexamined.
    i = 7;
    while (i < lenUrl && url[i] != '/' && url[i] != ':') i++;
    if (i < lenUrl && url[i] == ':') {
        offset = i + 1;
        while (offset < lenUrl && url[offset] != '/') offset++;
        memcpy(customport, url + i + 1, (size_t)(offset - i - 1));
        customport[offset - i - 1] = '\0';
        *port = atoi(customport);
        if (verbosity > 0) printf("Custom Port Detected: %i\n", *port);
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
    return 1;
}

// Resolves domain and connects to it on the low 16 bits of port; 1 with the
// descriptor in *fdWebserver, 0 (the variable negative) otherwise; also 0 for
// this proxy's own port on a local address (open_clientfd refuses it). Reads
// and writes on the descriptor fail once the origin has been silent, or has
// taken no byte, for ORIGIN_TIMEOUT_MS.
static int connectToServer(int *fdWebserver, const char *domain, int port) {
    *fdWebserver = open_clientfd(domain, port);
    if (*fdWebserver < 0) return 0;
    setSocketTimeout(*fdWebserver, SO_RCVTIMEO, ORIGIN_TIMEOUT_MS);
    // An origin that reads nothing of a long header block must not hold
    // the thread either.
    setSocketTimeout(*fdWebserver, SO_SNDTIMEO, ORIGIN_TIMEOUT_MS);
    return 1;
}

// Writes "GET " path " HTTP/1.0\r\n" upstream, whatever method case and
// version the browser used; no header line of its own. 0 when the write
// failed, 1 otherwise.
static int sendInitialRequest(int fdWebserver, const char *path) {
    char request[REQUEST_SIZE];
    int length = snprintf(request, sizeof request, "GET %s HTTP/1.0\r\n", path);
    // A path comes from a URL of under MAXLINE characters, so it always fits.
    if (length < 0 || length >= (int)sizeof request) return 0;
    if (verbosity > 0) printf("Forwarding Request: %s\n", request);
    if (rioWrite(fdWebserver, request, length) < 0) return 0;
    return 1;
}

// Relays the browser's header lines upstream one line at a time, up to and
// including the first line that is exactly CR LF or exactly LF, which goes
// upstream as CR LF; nothing after it is read. A line longer than one read
// comes as several reads; only the first carries its name and only the last
// its line end, so a line end split from its line never counts as the blank
// line. By header name, in any case: Keep-Alive is dropped, Proxy-Connection
// and Connection are replaced by their "close" forms, a Host naming another
// host than domain by "Host: " hostPort; the later reads of a line follow its
// first (dropped with it, or passed). Every line sent ends in CR LF; a NUL,
// or a CR anywhere but before the LF, goes as a space. A Content-Length other
// than 0 or any Transfer-Encoding announces a body, which is never forwarded:
// *body is set and 0 returned before the block's end is sent, so the server
// never gets a whole request. 0 also on a failed read or write, and when the
// browser's stream ends before the block does; 1 otherwise.
static int passToServer(rio_t *browser, int fdWebserver, const char *domain,
                        const char *hostPort, bool *body) {
    char buffer[MAXLINE + 1];
    char out[MAXLINE + 2];  // a read, a CR held back from the one before, an added CR
    char hostLine[MAXLINE + 8];
    int length;
    bool lineStart = true;  // this read begins a line
    bool skipLine = false;  // the line being read was dropped or replaced
    bool heldCr = false;    // the last read ended in a CR that its LF may follow

    *body = false;
    for (;;) {
        length = rioRead(browser, buffer, MAXLINE);
        // Without the block's end the server could never answer.
        if (length <= 0) return 0;
        bool lineEnd = buffer[length - 1] == '\n';
        if (lineStart && lineEnd &&
            (length == 1 || (length == 2 && buffer[0] == '\r'))) {
            return rioWrite(fdWebserver, "\r\n", 2) >= 0;
        }

        const char *replacement = nullptr;
        int replacementLength = 0;
        if (lineStart) {
            skipLine = true;
            long long announced = 0;
            const char *value;
            int valueLength;
            if (headerNamed(buffer, length, "Content-Length")) {
                headerValue(buffer, length, 14, &value, &valueLength);
                if (!lineEnd || !decimal(value, valueLength, &announced) || announced != 0) {
                    *body = true;
                    return 0;
                }
                skipLine = false;
            } else if (headerNamed(buffer, length, "Transfer-Encoding")) {
                *body = true;
                return 0;
            } else if (headerNamed(buffer, length, "Keep-Alive")) {
                replacement = "";
            } else if (headerNamed(buffer, length, "Proxy-Connection")) {
                replacement = PROXY_CONNECTION_CLOSE;
                replacementLength = (int)sizeof PROXY_CONNECTION_CLOSE - 1;
            } else if (headerNamed(buffer, length, "Connection")) {
                replacement = CONNECTION_CLOSE;
                replacementLength = (int)sizeof CONNECTION_CLOSE - 1;
            } else if (headerNamed(buffer, length, "Host") &&
                       !(lineEnd && hostNames(buffer, length, domain))) {
                // A Host line too long for one read names no host a URL of
                // under MAXLINE characters could.
                replacementLength = snprintf(hostLine, sizeof hostLine, "Host: %s\r\n", hostPort);
                replacement = hostLine;
            } else {
                skipLine = false;
            }
        }
        lineStart = lineEnd;
        if (replacement != nullptr) {
            if (replacementLength > 0 && rioWrite(fdWebserver, replacement, replacementLength) < 0)
                return 0;
            continue;
        }
        if (skipLine) {
            heldCr = false;
            continue;
        }

        int n = 0;
        if (heldCr) out[n++] = buffer[0] == '\n' ? '\r' : ' ';
        heldCr = false;
        for (int i = 0; i < length; i++) {
            char c = buffer[i];
            if (c == '\0') {
                c = ' ';
            } else if (c == '\r' && i + 1 == length && !lineEnd) {
                heldCr = true;  // its LF may start the next read
                break;
            } else if (c == '\r' && !(i + 1 < length && buffer[i + 1] == '\n')) {
                c = ' ';
            } else if (c == '\n' && (n == 0 || out[n - 1] != '\r')) {
                out[n++] = '\r';
            }
            out[n++] = c;
        }
        if (n > 0 && rioWrite(fdWebserver, out, n) < 0) return 0;
    }
}

// True when page[0, total) is a whole response worth storing: not empty, its
// header block ended (by an empty line, CR LF or LF), not a 206 (a part) or
// a 304 (no representation), and a body as long as every Content-Length it
// declares. A cut response stored would be served cut for good.
static bool completeResponse(const char *page, int total) {
    if (total == 0) return false;
    const char *nl = static_cast<const char *>(memchr(page, '\n', (size_t)total));
    if (nl == nullptr) return false;
    int at = 0;
    char status[MAXLINE];
    nextWord(page, (int)(nl - page), &at, status);
    nextWord(page, (int)(nl - page), &at, status);
    if (strcmp(status, "206") == 0 || strcmp(status, "304") == 0) return false;

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

// Relays the server's response to the browser one read at a time until the
// server closes, keeping a copy; a whole response (completeResponse) of at
// most MAX_OBJECT_SIZE bytes is then stored under url. 0 on a failed read or
// write, with nothing stored; 1 otherwise, stored or not.
//
// The lines are judged one by one, but written in batches: the whole lines
// that one refill of the read buffer brought go to the browser in one write,
// made before the next line would have to wait for the server.
static int cacheAndRespond(rio_t *website, const char *url, int fdBrowser) {
    char buffer[MAXLINE];
    char page[MAX_OBJECT_SIZE + 1];
    char pending[RIO_BUFSIZE + MAXLINE];
    int length, total = 0, cacheable = 1, pendingLength = 0;

    while ((length = rioRead(website, buffer, MAXLINE)) != 0) {
        if (length < 0) return 0;
        if (total + length > MAX_OBJECT_SIZE) {
            cacheable = 0;
        } else if (cacheable) {
            memcpy(page + total, buffer, (size_t)length);
            total += length;
        }
        if (pendingLength + length > (int)sizeof pending) {
            if (rioWrite(fdBrowser, pending, pendingLength) < 0) return 0;
            pendingLength = 0;
        }
        memcpy(pending + pendingLength, buffer, (size_t)length);
        pendingLength += length;
        if (!lineBuffered(website)) {
            if (rioWrite(fdBrowser, pending, pendingLength) < 0) return 0;
            pendingLength = 0;
        }
    }
    // The end of the stream is only seen by a refill, so this is already
    // empty; flushing keeps the relay whole should that ever change.
    if (pendingLength > 0 && rioWrite(fdBrowser, pending, pendingLength) < 0) return 0;

    if (!cacheable) {
        if (verbosity == 1) {
            puts("Not caching, too large.");
        } else if (verbosity == 2) {
            printf("Not caching (%s), too large.\n", url);
        }
    } else if (completeResponse(page, total)) {
        if (verbosity == 1) {
            puts("Inserting into Cache.");
        } else if (verbosity == 2) {
            printf("Inserting (%s) in Cache.\n", url);
        }
        pthread_rwlock_wrlock(&rwlock);
        cacheInsert(url, page, total);  // out of memory: simply not cached
        pthread_rwlock_unlock(&rwlock);
    }  // else relayed as it came, but cut or partial: not kept, nothing said
    return 1;
}

// Writes a held cache entry to the browser and gives the reference back.
// 0 when the write failed.
static int respondFromCache(int fdBrowser, const char *url, cacheEntry *entry) {
    if (verbosity > 0) printf("Found (%s) in cache.\n", url);
    int result = rioWrite(fdBrowser, entry->data, entry->size);
    cacheRelease(entry);
    if (result < 0) return 0;
    if (verbosity > 0) printf("Successfully sent (%s) from cache directly to browser.\n", url);
    return 1;
}

// Serves the one request of a browser connection, from the cache or through
// the origin server. Returns on success and on every failure, with the
// upstream descriptor closed; fdBrowser stays open for the caller.
static void handleRequest(int fdBrowser) {
    char url[MAXLINE], domain[MAXLINE], path[MAXLINE];
    cacheEntry *entry;
    int fdWebserver, port, cacheError;
    rio_t browser, website;
    bool body;

    Rio_readinitb(&browser, fdBrowser);
    rio_setdeadline(&browser, REQUEST_TIMEOUT_MS);
    setSocketTimeout(fdBrowser, SO_SNDTIMEO, BROWSER_SEND_TIMEOUT_MS);
    if (!validateRequest(&browser, url)) {
        stageFailed("Invalid HTTP Request.");
        return;
    }

    // The reference keeps the bytes valid while they are written without
    // the lock, even if another thread's insert evicts the entry meanwhile.
    pthread_rwlock_rdlock(&rwlock);
    entry = cacheGet(url);
    if (entry != nullptr) cacheHold(entry);
    pthread_rwlock_unlock(&rwlock);
    if (entry != nullptr) {
        if (!respondFromCache(fdBrowser, url, entry)) {
            stageFailed("Failed to respond to browser.\n");
        }
        return;
    }

    if (!parseUrl(url, domain, path, &port)) {
        stageFailed("URL malformed.");
        return;
    }
    if (verbosity > 0) printf("Contacting (%s)...\n", domain);
    if (!connectToServer(&fdWebserver, domain, port)) {
        stageFailed("Unable to connect to remote server.");
        return;
    }
    Rio_readinitb(&website, fdWebserver);
    if (!sendInitialRequest(fdWebserver, path)) {
        Close(fdWebserver);
        stageFailed("Could not pass request to server.");
        return;
    }
    // The URL's own host and port, as it writes them, for a Host line that
    // names another host.
    char hostPort[MAXLINE];
    size_t hostPortLength = strcspn(url + 7, "/");
    memcpy(hostPort, url + 7, hostPortLength);
    hostPort[hostPortLength] = '\0';
    if (!passToServer(&browser, fdWebserver, domain, hostPort, &body)) {
        Close(fdWebserver);
        stageFailed(body ? "Could not pass request to server."
                         : "Failed to complete communication with webserver.");
        return;
    }
    if (verbosity > 0) {
        puts("Server responded. Sending reply to browser...");
        puts("Caching response...");
    }
    cacheError = cacheAndRespond(&website, url, fdBrowser);
    if (!cacheError) {
        Close(fdWebserver);
        stageFailed("Unabled to cache and send reply to browser.");
        return;
    }
    if (verbosity > 0) puts("Successful response to browser!");
    Close(fdWebserver);
}

// ---------------------------------------------------------------- connection threads

// Closes the browser connection as Close does (a failure ends the process
// with "Close error"), without a reset that would destroy the answer's tail
// in the browser's receive queue when it sent bytes never read (header lines
// after a hit, a body): close_after_reply lingers then.
static void lingerClose(int fdBrowser) {
    if (close_after_reply(fdBrowser) < 0) unix_error("Close error");
}

// Body of each connection thread; vargp carries the browser descriptor by
// value. The connection's console lines are flushed as it ends.
static void *requestThread(void *vargp) {
    int fdBrowser = (int)(intptr_t)vargp;
    handleRequest(fdBrowser);
    lingerClose(fdBrowser);
    puts("Disconnected.");
    fflush(stdout);
    return nullptr;
}

// ---------------------------------------------------------------- start-up and accept loop

// Reports a failed accept the way its wrapper would. A listener that cannot
// accept at all ends the process (a loop would only repeat the line); every
// other failure is transient and the loop carries on, pausing while
// descriptors or memory are exhausted.
static void acceptFailed(int err) {
    if (err == EINTR) return;  // retry
    errno = err;
    if (err == EBADF || err == ENOTSOCK || err == EINVAL || err == EFAULT)
        unix_error("Accept error");
    fprintf(stderr, "Accept error: %s\n", strerror(err));
    if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM)
        pauseMs(RESOURCE_PAUSE_MS);
}

// Accepts browsers for ever, one detached request thread each. Accept and
// thread-creation failures are reported as their wrappers would, but do not
// end the loop: one burst of load must not leave a process that no longer
// accepts.
static void runProxy(int fdListen) {
    int fdBrowser, rc;
    SAI clientaddr;
    socklen_t len;
    int running = 1;

    // Request threads run detached from their start, on stacks the process
    // keeps and reuses (robix/stacks.h): no Pthread_detach after creation.
    stack_pool_init();

    while (running) {
        len = sizeof(SAI);
        fdBrowser = accept(fdListen, (struct sockaddr *)&clientaddr, &len);
        if (fdBrowser < 0) {
            acceptFailed(errno);
            continue;
        }
        rc = stack_thread_create(requestThread, (void *)(intptr_t)fdBrowser);
        if (rc != 0) {
            fprintf(stderr, "Pthread_create error: %s\n", strerror(rc));
            close(fdBrowser);
            if (rc == EAGAIN) pauseMs(RESOURCE_PAUSE_MS);
            continue;
        }
    }
}

[[noreturn]] static void usage(const char *program) {
    fprintf(stderr, "usage: %s (port number) (verbosity level: 0, 1, 2)\n", program);
    exit(1);
}

int main(int argc, char **argv) {
    const char *program = argc > 0 ? argv[0] : "stageproxy";
    if (argc < 2) usage(program);
    int port = atoi(argv[1]);
    verbosity = argc > 2 ? atoi(argv[2]) : 1;
    if (verbosity > 2 || verbosity < 0) usage(program);

    // As many connections as the hard limit allows; with the common soft
    // limit of 1024 only about 500 misses could run at once. Should it fail,
    // the soft limit simply stays.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    Signal(SIGPIPE, SIG_IGN);
    initCache();
    int fdListen = Open_listenfd(port);
    set_own_listener(fdListen);
    printf("Marlowin proxy is listening on socket: %i.\n", port);
    fflush(stdout);

    runProxy(fdListen);
    Close(fdListen);
    return 0;
}
