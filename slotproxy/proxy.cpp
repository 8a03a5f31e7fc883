// slotproxy: start-up, the accept loop on the main thread, and one detached
// thread per browser connection that relays one GET request (or answers it
// from the cache, or refuses another method with a 501 page). What a request
// asks for and whether a response is kept are decided in request.cpp; the
// cache and its locks belong to cache.cpp; the lookup semaphore `mutex` to
// robix.
#include <poll.h>
#include <time.h>

#include "cache.h"
#include "request.h"
#include "robix.h"
#include "stacks.h"
#include "timeouts.h"

// The 501 page's body holds the method with every character possibly
// escaped into six ("&quot;"), plus the fixed text.
static constexpr int ERROR_BODY_SIZE = 7 * MAXLINE;

// Holds SIGPIPE only: blocked before any thread exists, so every thread
// inherits it and a write to a vanished peer fails with EPIPE instead.
static sigset_t signal_mask;

// ---------------------------------------------------------------- small helpers

// The HTML entity that stands for c, or null when c needs none.
static const char *html_entity(char c) {
    switch (c) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '"':
            return "&quot;";
        case '\'':
            return "&#39;";
        default:
            return nullptr;
    }
}

// Appends the NUL-terminated `text` at dst[*len], never past cap - 1 bytes,
// keeping dst NUL-terminated; escapes it for HTML when asked. Cannot fail:
// what does not fit is cut.
static void append_text(char *dst, size_t cap, size_t *len, const char *text, bool escape) {
    for (const char *p = text; *p != '\0'; p++) {
        const char *entity = escape ? html_entity(*p) : nullptr;
        const char *piece = entity != nullptr ? entity : p;
        size_t n = entity != nullptr ? strlen(entity) : 1;
        if (*len + n >= cap) break;
        memcpy(dst + *len, piece, n);
        *len += n;
    }
    dst[*len] = '\0';
}

// ---------------------------------------------------------------- cleanup handlers
// A failed read, write or close ends the connection thread on the spot
// (pthread_exit, which unwinds the stack): these give back what the thread
// holds at that moment. They use no wrapper, which could end the thread again.

static void cleanup_close(void *fdp) {
    int fd = *static_cast<int *>(fdp);
    if (fd >= 0) close(fd);
}

static void cleanup_end_connection(void *fdp) {
    cleanup_close(fdp);
    fflush(stdout);
}

static void cleanup_release(void *object) { cache_release(static_cast<web_object *>(object)); }

// ---------------------------------------------------------------- error page

// Writes one complete HTTP/1.0 error response to fd: status line, type,
// length, then the HTML body with `cause` escaped. A failed write ends the
// calling thread (Rio_writen).
static void clienterror(int fd, const char *cause, const char *errnum, const char *shortmsg,
                        const char *longmsg) {
    char body[ERROR_BODY_SIZE];
    char buf[MAXLINE];
    size_t len = 0;
    body[0] = '\0';
    append_text(body, sizeof body, &len, "<html><title>Proxy Error</title>", false);
    append_text(body, sizeof body, &len, "<body bgcolor=ffffff>\r\n", false);
    append_text(body, sizeof body, &len, errnum, false);
    append_text(body, sizeof body, &len, ": ", false);
    append_text(body, sizeof body, &len, shortmsg, false);
    append_text(body, sizeof body, &len, "\r\n<p>", false);
    append_text(body, sizeof body, &len, longmsg, false);
    append_text(body, sizeof body, &len, ": ", false);
    append_text(body, sizeof body, &len, cause, true);
    append_text(body, sizeof body, &len, "\r\n<hr><em>Dovrane's Proxy Server</em>\r\n", false);

    snprintf(buf, sizeof buf, "HTTP/1.0 %s %s\r\n", errnum, shortmsg);
    Rio_writen(fd, buf, strlen(buf));
    snprintf(buf, sizeof buf, "Content-type: text/html\r\n");
    Rio_writen(fd, buf, strlen(buf));
    snprintf(buf, sizeof buf, "Content-length: %d\r\n\r\n", (int)len);
    Rio_writen(fd, buf, strlen(buf));
    Rio_writen(fd, body, len);
}

// ---------------------------------------------------------------- relay

// Sends a cache hit. The reference check_cache took keeps the bytes alive
// while they are written, even if the entry is evicted meanwhile.
static void send_hit(int connfd, web_object *object) {
    pthread_cleanup_push(cleanup_release, object);
    Rio_writen(connfd, object->data, (size_t)object->size);
    pthread_cleanup_pop(1);
}

// Sends the request upstream on clientfd, relays the response line by line
// to connfd, and stores it under the request's key when the response core
// says so. The lines that one refill of the read buffer brought are written
// in one call, before the next read has to wait for the origin. A failed
// write ends the thread. A failed read from the origin (a reset, the
// time-out) first relays every byte that arrived, the unfinished line
// included, then reports as Rio_readlineb would and returns, so that the
// connection ends by the usual lingering close, which no reset cuts short.
// Nothing is stored after a failure.
static void relay(int connfd, int clientfd, const request_t *req) {
    rio_t rio_c;
    char buf_c[MAXLINE];
    response_t resp;
    char out[RIO_BUFSIZE + MAXLINE];
    size_t out_len = 0;
    int err = 0;

    Rio_readinitb(&rio_c, clientfd);
    Rio_writen(clientfd, req->upstream, req->request_line_len);
    Rio_writen(clientfd, req->upstream + req->request_line_len,
               req->upstream_len - req->request_line_len);

    response_init(&resp);
    ssize_t m;
    while ((m = rio_readlineb_kept(&rio_c, buf_c, MAXLINE, &err)) != 0) {
        if (out_len + (size_t)m > sizeof out) {
            Rio_writen(connfd, out, out_len);
            out_len = 0;
        }
        memcpy(out + out_len, buf_c, (size_t)m);
        out_len += (size_t)m;
        if (!rio_linebuffered(&rio_c) || err != 0) {
            Rio_writen(connfd, out, out_len);
            out_len = 0;
        }
        if (err != 0) break;
        response_take(&resp, buf_c, (size_t)m);
    }
    // The end of the stream is only seen by a refill, so nothing is left
    // here; the write keeps the relay whole should that ever change.
    if (out_len > 0) Rio_writen(connfd, out, out_len);
    if (err != 0) {
        fprintf(stderr, "Rio_readlineb error: %s\n", strerror(err));
        return;
    }
    if (response_store(&resp)) {
        // No memory for the entry: the response was relayed, just not kept.
        web_object *cache_object = cache_new_object(req->uri, resp.cache_buf, resp.length);
        if (cache_object != nullptr) write_to_cache(cache_object);
    }
}

// Connects to the request's origin and relays through it; closes the origin
// descriptor on every path, also when the relay ends the thread.
static void fetch(int connfd, const request_t *req) {
    // The origin's descriptor: named for the proxy's client side of it, not
    // for the browser (which is connfd).
    int clientfd = Open_clientfd(req->host, req->port);
    if (clientfd < 0) return;  // "invalid host" or "bcopy error" is printed
    // An expired transfer fails with EAGAIN, which the robust I/O reports like
    // any failed one. Best effort: without it the peer is only waited for longer.
    (void)set_socket_timeout(clientfd, SO_RCVTIMEO, ORIGIN_TIMEOUT_MS);
    pthread_cleanup_push(cleanup_close, &clientfd);
    relay(connfd, clientfd, req);
    pthread_cleanup_pop(0);
    Close(clientfd);
}

// Reads the request line from rp into req, which decides it: one line read
// ends at the line's end, at the 8191-byte limit (which the core refuses),
// or at the end of the stream, so nothing more is read. A failed read ends
// the thread.
static void read_request(rio_t *rp, request_t *req) {
    char buf[MAXLINE];
    ssize_t n = Rio_readlineb(rp, buf, MAXLINE);
    request_take(req, buf, (size_t)n);
    request_end(req);
}

// Serves one request on the browser connection connfd (left open for the
// caller): only the request line is read, within REQUEST_TIMEOUT_MS in all.
// Another method than GET gets the 501 page without a lookup: the cache
// holds answers to GET, and replaying one to a POST would report a form
// sent that never reached the origin. A GET is answered from the cache when
// its URI is there, or else relayed, sent as "GET" in whatever case it came.
// A line refused by the request core, an unreachable origin, or a request
// too long for the upstream lines ends the connection without a response.
static void be_a_proxy(int connfd) {
    rio_t rio_s;
    request_t req;

    Rio_readinitb(&rio_s, connfd);
    rio_setdeadline(&rio_s, REQUEST_TIMEOUT_MS);
    request_init(&req);
    read_request(&rio_s, &req);
    if (req.state != REQUEST_WHOLE) return;
    if (req.on_miss == MISS_501) {
        clienterror(connfd, req.method, "501", "Not Implemented", "Method not supported");
    } else {
        web_object *cache_object = check_cache(req.uri);
        if (cache_object != nullptr) {
            send_hit(connfd, cache_object);
        } else if (req.on_miss == MISS_FETCH) {
            fetch(connfd, &req);
        }
    }
    // The header lines after the request line may still be on their way,
    // and must not meet a closed socket.
    await_request_end(&rio_s);
}

// ---------------------------------------------------------------- connection threads

// Closes the browser connection as Close does (a failure ends this thread
// with "Close error"), without a reset that would destroy the response's tail
// in the browser's receive queue when it sent bytes never read:
// close_after_reply lingers then.
static void linger_close(int connfd) {
    if (close_after_reply(connfd) < 0) thread_error("Close error");
}

// Start routine of a connection thread: takes the descriptor out of its
// heap cell, frees the cell, serves the one request and closes the
// connection. The console lines of the request are flushed as it ends.
static void *thread(void *vargp) {
    int connfd = *static_cast<int *>(vargp);
    // Detached already: stack_thread_create starts it so.
    Free(vargp);
    (void)set_socket_timeout(connfd, SO_SNDTIMEO, BROWSER_WRITE_TIMEOUT_MS);
    pthread_cleanup_push(cleanup_end_connection, &connfd);
    be_a_proxy(connfd);
    pthread_cleanup_pop(0);
    fflush(stdout);
    linger_close(connfd);
    return nullptr;
}

// ---------------------------------------------------------------- start-up and accept loop

int main(int argc, char **argv) {
    int listenfd, port, rc;
    struct sockaddr_in clientaddr;
    socklen_t clientlen;
    int *connfd;

    if (argc != 2) {
        fprintf(stderr, "usage: %s <port>\n", argc > 0 ? argv[0] : "slotproxy");
        exit(1);
    }
    sigemptyset(&signal_mask);
    sigaddset(&signal_mask, SIGPIPE);
    rc = pthread_sigmask(SIG_BLOCK, &signal_mask, NULL);
    if (rc != 0) posix_error(rc, "sigmask error");

    raise_descriptor_limit();
    Sem_init(&mutex, 0, 1);
    cache_init();
    port = atoi(argv[1]);
    // Connection threads run detached from their start, on stacks the
    // process keeps and reuses (robix/stacks.h); its run-time checks run now.
    stack_pool_init();
    listenfd = Open_listenfd(port);
    // A URL naming this proxy would make it connect to itself: refused.
    set_own_listener(listenfd);
    fflush(stdout);

    // The accept, cell and thread-creation failures are reported the way
    // their wrappers would, but the loop carries on: one burst of load must
    // not leave a process that no longer accepts.
    for (;;) {
        clientlen = sizeof clientaddr;
        int fd = accept(listenfd, (struct sockaddr *)&clientaddr, &clientlen);
        if (fd < 0) {
            int err = errno;
            if (err == EINTR) continue;  // retry
            fprintf(stderr, "Accept error: %s\n", strerror(err));
            accept_failure_pause(err);
            continue;
        }
        // The cell is taken after the accept, so a failed allocation has a
        // connection to close rather than a process to end.
        connfd = static_cast<int *>(malloc(sizeof(int)));
        if (connfd == nullptr) {
            fprintf(stderr, "Malloc error: %s\n", strerror(errno));
            close(fd);
            pause_ms(RESOURCE_PAUSE_MS);
            continue;
        }
        *connfd = fd;
        rc = stack_thread_create(thread, connfd);
        if (rc != 0) {
            fprintf(stderr, "Pthread_create error: %s\n", strerror(rc));
            close(*connfd);
            Free(connfd);
            if (rc == EAGAIN) pause_ms(RESOURCE_PAUSE_MS);
        }
    }
}
