// stageproxy: start-up with a port and a verbosity level, the accept loop on
// the main thread, and one detached thread per browser connection that runs
// the request pipeline once: validateRequest, a cache lookup, then either the
// answer from the cache or parseUrl, connectToServer, sendInitialRequest,
// passToServer and cacheAndRespond. Each stage returns non-zero on success;
// handleRequest reports the first that fails with an "Error: ..." line on
// standard error, which validateRequest (a method other than GET) and
// parseUrl (a URL too short) precede with one line of their own saying why.
// The stages do the reads, writes and printing; what they send and store is
// decided by request.cpp, from the bytes alone. The cache and its lock
// belong to cache.cpp; this file takes rwlock around each cache call and
// never holds it during network I/O. `verbosity` is written by main before
// any thread exists and only read afterwards.
#include <poll.h>
#include <stdint.h>
#include <time.h>

#include <string>

#include "cache.h"
#include "request.h"
#include "robix.h"
#include "stacks.h"
#include "timeouts.h"

typedef struct sockaddr_in SAI;

// 0 (quiet), 1 or 2 (names the request line and the URL in three lines).
int verbosity = 1;

// ---------------------------------------------------------------- small helpers

// The one line that reports a failed stage, on standard error.
static void stageFailed(const char *what) { fprintf(stderr, "Error: %s\n", what); }

// Prints before, then text[0, length) with every byte below 0x20 and 0x7f
// written as \xHH, then after, on standard output as one line that no
// other thread's line can enter. text is what a browser sent: raw, an escape
// sequence in it would retitle or clear the operator's terminal, and a CR
// would let it forge a line. Text without such bytes is printed as it is.
static void printEscaped(const char *before, const char *text, size_t length,
                         const char *after) {
    static const char hex[] = "0123456789abcdef";
    // The line is built first and handed to stdio in one call, which holds
    // the stream's lock for the whole of it.
    std::string line(before);
    line.reserve(line.size() + 4 * length + strlen(after));
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x20 || c == 0x7f) {
            const char escape[4] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
            line.append(escape, 4);
        } else {
            line.push_back((char)c);
        }
    }
    line.append(after);
    fwrite(line.data(), 1, line.size(), stdout);
}

// printEscaped for a NUL-terminated text.
static void printEscaped(const char *before, const char *text, const char *after) {
    printEscaped(before, text, strlen(text), after);
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

// Reads one line as rioRead does, but a read that fails once part of the
// line has arrived returns that part, with *failed set: the origin's last
// line has no line end, and a reset or a time-out right after it must not
// lose it. -1 (and *failed) when the read fails before any byte of the line.
static int rioReadKept(rio_t *website, char *buffer, int length, bool *failed) {
    int err;
    int n = (int)rio_readlineb_kept(website, buffer, (size_t)length, &err);
    *failed = err != 0;
    if (err == ECONNRESET) puts("Sig Conn detected - aborting connection thread.");
    errno = err;
    return *failed && n == 0 ? -1 : n;
}

// Lines gathered for one write: those that one refill of a read buffer
// brought, so the peer is woken once for them rather than once a line.
struct writeBatch {
    char bytes[RIO_BUFSIZE + HEADER_OUT_SIZE];
    int length = 0;
};

// Writes out what batch holds. Negative when the write failed.
static int batchFlush(int fd, writeBatch *batch) {
    int result = batch->length > 0 ? rioWrite(fd, batch->bytes, batch->length) : 0;
    batch->length = 0;
    return result;
}

// Adds n bytes (at most HEADER_OUT_SIZE) to batch, writing out first what
// would not leave room for them. Negative when that write failed.
static int batchAdd(int fd, writeBatch *batch, const char *bytes, int n) {
    if (batch->length + n > (int)sizeof batch->bytes && batchFlush(fd, batch) < 0) return -1;
    memcpy(batch->bytes + batch->length, bytes, (size_t)n);
    batch->length += n;
    return 0;
}

// ---------------------------------------------------------------- stages

// Reads the request line and copies its second word, the URL, into url
// (MAXLINE bytes). 1 for a GET in any letter case of an http:// URL; 0 for
// another method, an empty line (also a browser gone at once), a failed read,
// a line that did not end within one read (too long, or the stream ended
// inside it), and a URL that is not absolute: judgeRequestLine decides.
static int validateRequest(rio_t *browser, char *url) {
    char buffer[MAXLINE];
    int length = rioRead(browser, buffer, MAXLINE);
    if (length < 0) return 0;
    buffer[length] = '\0';  // a read of 0 bytes left it untouched: an empty line
    requestLineVerdict verdict = judgeRequestLine(buffer, length, url);

    if (verbosity == 1) {
        puts("Received Request");
    } else if (verbosity == 2) {
        // The line as read; its own line end stays one.
        int text = length;
        if (text > 0 && buffer[text - 1] == '\n') text--;
        if (text > 0 && buffer[text - 1] == '\r' && text + 1 == length) text--;
        char after[4] = "";
        memcpy(after, buffer + text, (size_t)(length - text));
        after[length - text] = '\n';
        after[length - text + 1] = '\0';
        printEscaped("\n\nReceived Request: ", buffer, (size_t)text, after);
    }
    if (verdict == REQUEST_LINE_CUT || verdict == REQUEST_NOT_ABSOLUTE) return 0;
    if (verdict == REQUEST_GET) return 1;
    fputs("Error: Must be GET request.\n", stderr);
    return 0;
}

// Takes url apart (splitUrl): domain and path hold MAXLINE bytes each. 0,
// with "Error: URL too short." printed, for a URL of 6 characters or less;
// 1 otherwise.
static int parseUrl(const char *url, char *domain, char *path, int *port) {
    bool customPort;
    if (!splitUrl(url, domain, path, port, &customPort)) {
        puts("Error: URL too short.");
        return 0;
    }
    if (customPort && verbosity > 0) printf("Custom Port Detected: %i\n", *port);
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
    // Best effort: without it the peer is only waited for longer.
    set_socket_timeout(*fdWebserver, SO_RCVTIMEO, ORIGIN_TIMEOUT_MS);
    // An origin that reads nothing of a long header block must not hold
    // the thread either.
    set_socket_timeout(*fdWebserver, SO_SNDTIMEO, ORIGIN_TIMEOUT_MS);
    return 1;
}

// Writes "GET " path " HTTP/1.0\r\n" upstream, whatever method case and
// version the browser used; no header line of its own. 0 when the write
// failed, 1 otherwise.
static int sendInitialRequest(int fdWebserver, const char *path) {
    char request[REQUEST_SIZE];
    int length = initialRequest(path, request);
    if (length < 0) return 0;
    if (verbosity > 0) printEscaped("Forwarding Request: GET ", path, " HTTP/1.0\r\n\n");
    if (rioWrite(fdWebserver, request, length) < 0) return 0;
    return 1;
}

// Relays the browser's header lines upstream one read at a time, as
// relayHeaderRead rewrites them, up to and including the block's blank line;
// nothing after it is read. A body is never forwarded: *body is set and 0
// returned before the block's end is sent, so the server never gets a whole
// request. 0 also on a failed read or write, and when the browser's stream
// ends before the block does; 1 otherwise. *requestPrivate tells whether a
// header line made the answer the browser's own.
//
// The rewritten lines that one refill of the browser's buffer brought go
// upstream in one write, made before the next line would have to wait for
// the browser: a line per write would cost the origin a wake-up and a read
// for each, and usually the whole block comes in one piece. Until a Host
// line has been relayed the lines are held, so that when the block ends
// without one (or the lines held outgrow the batch) the URL's Host can still
// go first, right after the request line: without it the origin answers for
// its default site, and that answer would be stored under the URL.
static int passToServer(rio_t *browser, int fdWebserver, const char *domain, int port,
                        const char *hostPort, bool *body, bool *requestPrivate) {
    char buffer[MAXLINE + 1];
    char out[HEADER_OUT_SIZE];
    writeBatch batch;
    headerRelay relay;
    relay.domain = domain;
    relay.port = connectedPort(port);
    relay.hostPort = hostPort;

    *body = false;
    *requestPrivate = false;
    for (;;) {
        int length = rioRead(browser, buffer, MAXLINE);
        // Without the block's end the server could never answer.
        if (length <= 0) return 0;
        int outLength;
        headerVerdict verdict = relayHeaderRead(&relay, buffer, length, out, &outLength);
        *requestPrivate = relay.requestPrivate;
        if (verdict == HEADER_BODY) {
            *body = true;
            return 0;
        }
        if (!relay.hostSent &&
            (verdict == HEADER_END || batch.length + outLength > (int)sizeof batch.bytes)) {
            relay.hostSent = true;
            char host[HEADER_OUT_SIZE];
            int hostLength = addedHostLine(hostPort, host);
            if (batch.length + hostLength <= (int)sizeof batch.bytes) {
                memmove(batch.bytes + hostLength, batch.bytes, (size_t)batch.length);
                memcpy(batch.bytes, host, (size_t)hostLength);
                batch.length += hostLength;
            } else if (rioWrite(fdWebserver, host, hostLength) < 0) {
                return 0;
            }
        }
        if (batchAdd(fdWebserver, &batch, out, outLength) < 0) return 0;
        if (relay.hostSent && (verdict == HEADER_END || !rio_linebuffered(browser)) &&
            batchFlush(fdWebserver, &batch) < 0)
            return 0;
        if (verdict == HEADER_END) return 1;
    }
}

// Relays the server's response to the browser one read at a time until the
// server closes, keeping a copy; a whole response of at most MAX_OBJECT_SIZE
// bytes that any browser may get (storeDecision, with requestPrivate from the
// header block) is then stored under url. 0 on a failed read or write, with
// nothing stored, but every byte that arrived before a failed read relayed;
// 1 otherwise, stored or not.
//
// The lines are judged one by one, but written in batches: the whole lines
// that one refill of the read buffer brought go to the browser in one write,
// made before the next line would have to wait for the server.
static int cacheAndRespond(rio_t *website, const char *url, int fdBrowser,
                           bool requestPrivate) {
    char buffer[MAXLINE];
    responseCopy copy;
    writeBatch batch;
    int length;
    bool failed;

    while ((length = rioReadKept(website, buffer, MAXLINE, &failed)) != 0) {
        if (length < 0) {
            batchFlush(fdBrowser, &batch);  // what arrived before the failure
            return 0;
        }
        responseCopyAdd(&copy, buffer, length);
        if (batchAdd(fdBrowser, &batch, buffer, length) < 0) return 0;
        if (failed) {
            batchFlush(fdBrowser, &batch);
            return 0;
        }
        if (!rio_linebuffered(website) && batchFlush(fdBrowser, &batch) < 0) return 0;
    }
    // The end of the stream is only seen by a refill, so this is already
    // empty; flushing keeps the relay whole should that ever change.
    if (batchFlush(fdBrowser, &batch) < 0) return 0;

    storeVerdict verdict = storeDecision(&copy, requestPrivate);
    if (verdict == STORE_TOO_LARGE) {
        if (verbosity == 1) {
            puts("Not caching, too large.");
        } else if (verbosity == 2) {
            printEscaped("Not caching (", url, "), too large.\n");
        }
    } else if (verdict == STORE_WHOLE) {
        if (verbosity == 1) {
            puts("Inserting into Cache.");
        } else if (verbosity == 2) {
            printEscaped("Inserting (", url, ") in Cache.\n");
        }
        pthread_rwlock_wrlock(&rwlock);
        cacheInsert(url, copy.page, copy.total);  // out of memory: simply not cached
        pthread_rwlock_unlock(&rwlock);
    }  // else relayed as it came, but cut, partial or one browser's: not kept, nothing said
    return 1;
}

// Writes a held cache entry to the browser and gives the reference back.
// 0 when the write failed.
static int respondFromCache(int fdBrowser, const char *url, cacheEntry *entry) {
    if (verbosity > 0) printEscaped("Found (", url, ") in cache.\n");
    int result = rioWrite(fdBrowser, entry->data, entry->size);
    cacheRelease(entry);
    if (result < 0) return 0;
    if (verbosity > 0)
        printEscaped("Successfully sent (", url, ") from cache directly to browser.\n");
    return 1;
}

// Serves the one request of a browser connection, from the cache or through
// the origin server. Returns on success and on every failure, with the
// upstream descriptor closed; fdBrowser stays open for the caller.
static void handleRequest(int fdBrowser) {
    char url[MAXLINE], domain[MAXLINE], path[MAXLINE];
    cacheEntry *entry;
    // cacheError holds cacheAndRespond's result: non-zero on success, despite
    // its name (the program's own, kept).
    int fdWebserver, port, cacheError;
    rio_t browser, website;
    bool body, requestPrivate;

    Rio_readinitb(&browser, fdBrowser);
    rio_setdeadline(&browser, REQUEST_TIMEOUT_MS);
    set_socket_timeout(fdBrowser, SO_SNDTIMEO, BROWSER_WRITE_TIMEOUT_MS);
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
        // Answered after the request line alone: the header lines may
        // still be on their way, and must not meet a closed socket.
        await_request_end(&browser);
        return;
    }

    if (!parseUrl(url, domain, path, &port)) {
        stageFailed("URL malformed.");
        return;
    }
    if (verbosity > 0) printEscaped("Contacting (", domain, ")...\n");
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
    // The URL's own host and the port connected, for the Host line.
    char hostPort[MAXLINE + 8];
    upstreamHost(domain, port, hostPort);
    if (!passToServer(&browser, fdWebserver, domain, port, hostPort, &body, &requestPrivate)) {
        Close(fdWebserver);
        stageFailed(body ? "Could not pass request to server."
                         : "Failed to complete communication with webserver.");
        return;
    }
    if (verbosity > 0) {
        puts("Server responded. Sending reply to browser...");
        puts("Caching response...");
    }
    cacheError = cacheAndRespond(&website, url, fdBrowser, requestPrivate);
    if (!cacheError) {
        Close(fdWebserver);
        // "Unabled" is spelt as the manual page promises: scripts match it.
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
    accept_failure_pause(err);
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
            if (rc == EAGAIN) pause_ms(RESOURCE_PAUSE_MS);
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

    raise_descriptor_limit();
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
