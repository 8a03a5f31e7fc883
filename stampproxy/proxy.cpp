// stampproxy: a caching HTTP forward proxy. The main thread opens the
// listening socket and accepts for ever; each browser connection gets a
// detached thread running handle_connection, which serves one request from
// the cache (cache.cpp) or from the origin, then closes; what to make of the
// browser's bytes and whether to store a response is request.cpp's. Every
// diagnostic goes to standard output, which is flushed after start-up and at
// the end of each connection. The state threads share is the cache and stdout.
#include <errno.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "cache.h"
#include "request.h"
#include "robix.h"
#include "stacks.h"
#include "timeouts.h"

constexpr int DEFAULT_PORT = 56416;
// Heap blocks of this size and above are mapped apart (see main).
constexpr int LARGE_BLOCK_BYTES = 64 * 1024;

// Room for a browser's text as console_escape shows it: the request line or
// the upstream one built from its words (a few bytes longer), four bytes a byte.
constexpr size_t SHOWN_MAX = 4 * (MAXLINE + 16) + 1;

static const char RULE[] = "<--------------------------------------------->\n";

// ---------------------------------------------------------------- closing

// Closes a browser connection without losing the response's tail: bytes the
// browser sent that were never read (header lines after a hit, a request
// body) would make a plain close() send a reset that destroys what the
// browser has not read yet (close_after_reply lingers then). Its result is
// not looked at: the descriptor is gone whatever close returned.
static void close_browser(int fd) { (void)close_after_reply(fd); }

// The block goes out in one call, so blocks of connections that end at the
// same moment never interleave inside each other.
static void print_exit_block(const char *message) {
    printf("\n%s%s\n%s\n", RULE, message, RULE);
    // The connection is over: its lines reach a file or pipe now, and a kill
    // (the only way this program stops) loses no finished connection's lines.
    fflush(stdout);
}

// Closes the browser connection and prints the exit block with `message`.
void exit_prep1(int clientfd, const char *message) {
    close_browser(clientfd);
    print_exit_block(message);
}

// Closes the origin connection, then the browser's, and prints the exit block.
void exit_prep2(int serverfd, int clientfd, const char *message) {
    close(serverfd);
    close_browser(clientfd);
    print_exit_block(message);
}

// ---------------------------------------------------------------- origin

// A socket connected to hostname:port (only the low 16 bits of port are
// used), or -1 (no socket), -2 (the name did not resolve, also when its
// answer needs more than the 1024-byte work buffer), -3 (connect failed, or
// refused because it names this proxy's own listening socket). Prints one
// line on each failure; the socket is closed on -2 and -3.
int server_connect(const char *hostname, int port) {
    // The name is the browser's: shown as console_escape shows it.
    char shown[SHOWN_MAX];
    console_escape(hostname, strnlen(hostname, MAXLINE - 1), shown);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        int err = errno;
        printf("ERR creating socket for server %s %d errno %d - %s\n", shown, port, err,
               strerror(err));
        return -1;
    }
    struct hostent host, *answer = nullptr;
    char work[1024];
    int local_errno = 0;
    int rc = gethostbyname_r(hostname, &host, work, sizeof work, &answer, &local_errno);
    if (rc != 0 || answer == nullptr || answer->h_addr_list[0] == nullptr ||
        answer->h_length != (int)sizeof(struct in_addr)) {
        printf("ERR did not resolve name %s errno %d - %s\n", shown, local_errno,
               strerror(local_errno));
        close(fd);
        return -2;
    }
    struct sockaddr_in server_addr;
    memset(&server_addr, 0, sizeof server_addr);
    server_addr.sin_family = AF_INET;
    memcpy(&server_addr.sin_addr, answer->h_addr_list[0], sizeof server_addr.sin_addr);
    server_addr.sin_port = htons((uint16_t)port);
    // A URL naming this proxy would make it connect to itself, and nested
    // URLs would chain a connection and a thread per level: answered as if
    // the connection had been refused.
    int err = 0;
    if (is_own_endpoint(server_addr.sin_addr, port)) {
        err = ECONNREFUSED;
    } else if (connect(fd, (struct sockaddr *)&server_addr, sizeof server_addr) < 0) {
        err = errno;
    }
    if (err != 0) {
        printf("Error connecting to server %s errno %d - %s\n", shown, err, strerror(err));
        close(fd);
        return -3;
    }
    // An origin that goes silent fails the relay's read instead of holding
    // the thread.
    set_socket_timeout(fd, SO_RCVTIMEO, ORIGIN_TIMEOUT_MS);
    return fd;
}

// ---------------------------------------------------------------- request

// The browser's bytes as rio_readlineb hands them out, one piece (a line,
// or MAXLINE - 1 bytes of one, or what the request can still take) at a
// time, and how far request_take got.
struct browser_feed_t {
    rio_t *rio;
    char piece[MAXLINE];
    size_t len, at;
    int read_errno;  // why the last read failed
};

// Gives the request state the browser's bytes until it stops at a step other
// than REQUEST_MORE (0, *step set), or a read fails (-1, read_errno set).
static int feed_request(browser_feed_t *feed, request_state_t *rs, request_step_t *step) {
    for (;;) {
        if (feed->at == feed->len) {
            // Never more than the request can take: a browser that stops
            // right after outgrowing a buffer is refused at once.
            size_t wanted = request_wanted(rs);
            size_t max = wanted < (size_t)MAXLINE - 1 ? wanted + 1 : (size_t)MAXLINE;
            ssize_t got = rio_readlineb(feed->rio, feed->piece, max);
            if (got < 0) {
                feed->read_errno = errno;
                return -1;
            }
            feed->len = (size_t)got;
            feed->at = 0;
        }
        size_t used = 0;
        *step = request_take(rs, feed->piece + feed->at, feed->len - feed->at, &used);
        feed->at += used;
        if (*step != REQUEST_MORE) return 0;
    }
}

// ---------------------------------------------------------------- relay

// Reads from the origin until n bytes have come, the origin has closed its
// side (*closed), or a read fails (*read_errno set: a reset, a time-out);
// returns how many bytes came, also before a failure, which rio_readn would
// lose: an origin may reset after a complete answer (it closed with part of
// the request unread), and the browser must still get every byte.
static size_t read_origin(int fd, char *buffer, size_t n, bool *closed, int *read_errno) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, buffer + got, n - got);
        if (r < 0 && errno == EINTR) continue;  // retry
        if (r < 0) {
            *read_errno = errno;
            break;
        }
        if (r == 0) {
            *closed = true;
            break;
        }
        got += (size_t)r;
    }
    return got;
}

// Relays the origin's response to the browser in reads of up to
// MAX_OBJECT_SIZE bytes, into a buffer of the relay's own, and offers it to
// the cache under rs's request line when it came in one read and
// response_storable says so. Prints a line for each read and for a failed
// read or write; the caller ends the connection.
static void relay_response(int serverfd, int connfd, const request_state_t *rs) {
    char *object = (char *)malloc((size_t)MAX_OBJECT_SIZE);
    size_t key_len = strlen(rs->request);
    char *request_string = (char *)malloc(key_len + 1);
    if (object == nullptr || request_string == nullptr) {
        free(object);
        free(request_string);
        return;
    }
    memcpy(request_string, rs->request, key_len + 1);

    ssize_t last_server_read = -1;
    int read_count = 0;
    int read_errno = 0;
    bool origin_closed = false;
    for (;;) {
        size_t got = read_origin(serverfd, object, (size_t)MAX_OBJECT_SIZE, &origin_closed,
                                 &read_errno);
        if (got > 0) {
            // A chunk cut short by a failed read is relayed like any other,
            // and its line printed; the failure is reported after it.
            if (read_count < 1024) read_count++;
            // "recieved" is spelt as the manual page promises: scripts match it.
            printf("Server recieved %d bytes\n", (int)got);
            last_server_read = (ssize_t)got;
            if (rio_writen(connfd, object, got) < 0) {
                int err = errno;
                printf("ERR writing to client errno %d - %s\n", err, strerror(err));
                break;
            }
        }
        if (origin_closed || read_errno != 0) break;
    }

    // Only a response known to be whole is kept: one read brought all of it,
    // the origin closed its side, and what it holds is a whole answer that
    // any later browser may get. A full first read followed by a failed read
    // or write may be the start of a longer response.
    if (read_count == 1 && read_errno == 0 &&
        response_storable(rs->action, rs->request_private, origin_closed, object,
                          (size_t)last_server_read)) {
        // The cache keeps the object in a block of its own size; without
        // memory for it the response is simply not kept.
        char *kept = (char *)malloc((size_t)last_server_read);
        if (kept != nullptr) {
            memcpy(kept, object, (size_t)last_server_read);
            add_to_cache(&request_string, &kept, last_server_read);
        } else {
            free(request_string);
        }
    } else {
        free(request_string);
    }
    free(object);
    if (read_errno != 0) {
        printf("ERR reading from server errno %d - %s\n", read_errno, strerror(read_errno));
    }
}

static void print_read_failure(int err) {
    printf("ERR rio_readlineb from client failed errno %d - %s\n", err, strerror(err));
}

// Reads the request line and judges it: 0 when it is whole and names an
// absolute URL (its INPUT line printed); -1 when the request ends here, with
// its refusal printed (none for a browser that closed before a byte).
static int read_request_line(browser_feed_t *feed, request_state_t *rs) {
    request_step_t step = REQUEST_MORE;
    if (feed_request(feed, rs, &step) < 0) {
        print_read_failure(feed->read_errno);
        return -1;
    }
    if (step == REQUEST_EMPTY) return -1;  // nothing to parse or look up
    if (step != REQUEST_LINE_READY) {
        printf("%s", step == REQUEST_NOT_ABSOLUTE    ? "ERR request line without an absolute URL\n"
                     : step == REQUEST_LINE_TOO_LONG ? "ERR request line longer than 1023 bytes\n"
                                                     : "ERR request line ended without a line end\n");
        return -1;
    }
    // The browser's line on the operator's console: escaped, so that it
    // stays one line and cannot drive the terminal.
    char shown[SHOWN_MAX];
    console_escape(rs->request, rs->request_len, shown);
    printf("INPUT: %s\n", shown);
    return 0;
}

// Reads the header block after a miss: 0 when the request for the origin is
// ready; -1 with its refusal printed otherwise. A request the browser did not
// finish (it timed out or reset), announcing a body, folding a line or
// outgrowing the request buffer is never sent upstream.
static int read_header_block(browser_feed_t *feed, request_state_t *rs) {
    request_step_t step = REQUEST_MORE;
    if (feed_request(feed, rs, &step) < 0) {
        print_read_failure(feed->read_errno);
        return -1;
    }
    if (step == REQUEST_BODY) {
        printf("ERR request bodies are not forwarded\n");
    } else if (step == REQUEST_FOLDED) {
        printf("ERR folded header lines are not forwarded\n");
    } else if (step != REQUEST_READY) {
        printf("ERR request too large for the %d-byte request buffer\n", MAXBUF);
    }
    return step == REQUEST_READY ? 0 : -1;
}

// Writes a cache hit to the browser and frees it. The browser's header lines
// are left unread: the caller waits for those still on their way, and the
// lingering close keeps them from resetting the connection.
static void send_hit(int connfd, char *object, ssize_t n) {
    if (rio_writen(connfd, object, (size_t)n) < 0) {
        int err = errno;
        printf("ERR writing to client errno %d - %s\n", err, strerror(err));
    }
    free(object);
}

// Sends the request for the origin; 0, or -1 with its ERR line printed.
static int send_request(int serverfd, const request_state_t *rs) {
    // Method and path are the browser's: escaped as on the INPUT line.
    char shown[SHOWN_MAX];
    console_escape(rs->packet, rs->packet_line_len, shown);
    printf("REQ:\t%s", shown);
    if (rio_writen(serverfd, rs->packet, rs->packet_len) < 0) {
        int err = errno;
        printf("ERR packet to server errno %d - %s\n", err, strerror(err));
        return -1;
    }
    return 0;
}

// The body of every connection thread: serves one request of the browser on
// the descriptor in the heap cell temp_connfd (freed here), then closes the
// connection and prints its exit block, on every path.
void *handle_connection(void *temp_connfd) {
    request_state_t rs;
    browser_feed_t feed;
    rio_t rio_client;

    int connfd = *(int *)temp_connfd;
    free(temp_connfd);
    // A browser that stops reading fails the write instead of holding the
    // thread; one that is slow to ask is cut off at the deadline.
    set_socket_timeout(connfd, SO_SNDTIMEO, BROWSER_WRITE_TIMEOUT_MS);
    rio_readinitb(&rio_client, connfd);
    rio_setdeadline(&rio_client, REQUEST_TIMEOUT_MS);

    request_init(&rs);
    feed.rio = &rio_client;
    feed.len = feed.at = 0;
    feed.read_errno = 0;
    const char *exit_message = "CLIENT_ERR_REQUEST";
    int serverfd = -1;
    if (read_request_line(&feed, &rs) == 0) {
        char *object = nullptr;
        ssize_t n = check_cache(rs.request, &object);
        if (n > 0) {
            send_hit(connfd, object, n);
            await_request_end(&rio_client);
            exit_message = "CACHE_HIT_REQUEST";
        } else if (read_header_block(&feed, &rs) == 0) {
            exit_message = "REGULAR_EXIT";
            serverfd = server_connect(rs.address, rs.port);
            if (serverfd >= 0 && send_request(serverfd, &rs) < 0) {
                exit_message = "WRITE_ERROR_EXIT";
            } else if (serverfd >= 0) {
                relay_response(serverfd, connfd, &rs);
            }
        }
    }
    if (serverfd >= 0) {
        exit_prep2(serverfd, connfd, exit_message);
    } else {
        exit_prep1(connfd, exit_message);
    }
    return nullptr;
}

// ---------------------------------------------------------------- listener

// The listening descriptor on every local interface (only the low 16 bits of
// port are used), or -1 after one ERR line. Also makes writes to a peer that
// has gone fail with EPIPE instead of ending the process.
int setup_listen_port(int port) {
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        printf("ERR Error blocking SIGPIPE errno %d - %s\n", errno, strerror(errno));
        return -1;
    }
    int listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    if (listen_fd < 0) {
        printf("ERR socket syscall errno %d - %s\n", errno, strerror(errno));
        return -1;
    }
    int optval = 1;
    if (setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &optval, sizeof optval) < 0) {
        printf("ERR setsockopt syscall errno %d - %s\n", errno, strerror(errno));
        close(listen_fd);
        return -1;
    }
    struct sockaddr_in server_addr;
    memset(&server_addr, 0, sizeof server_addr);
    server_addr.sin_family = AF_INET;
    server_addr.sin_addr.s_addr = htonl(INADDR_ANY);
    server_addr.sin_port = htons((uint16_t)port);
    if (bind(listen_fd, (struct sockaddr *)&server_addr, sizeof server_addr) < 0) {
        printf("ERR bind errno %d - %s\n", errno, strerror(errno));
        close(listen_fd);
        return -1;
    }
    if (listen(listen_fd, 1024) < 0) {
        printf("ERR listen errno %d - %s\n", errno, strerror(errno));
        close(listen_fd);
        return -1;
    }
    // No thread starts only to wait for a request's first bytes.
    defer_accept(listen_fd);
    return listen_fd;
}

// An accept failure that no retry can cure: the listening socket itself is
// unusable. Anything else (an aborted connection, a signal, descriptors or
// memory running out) passes, and the loop must go on serving.
static bool accept_failure_is_fatal(int err) {
    return err == EBADF || err == EINVAL || err == ENOTSOCK || err == EOPNOTSUPP;
}

// atoi's reading (leading blanks, a sign, decimal digits), without its
// undefined behaviour on overflow: the value wraps as an int.
static int parse_port(const char *text) { return (int)strtol(text, nullptr, 10); }

int main(int argc, char **argv) {
    int port;
    if (argc < 2) {
        port = DEFAULT_PORT;
        printf("ERR Port %d at time %d\n", port, (int)time(nullptr));
    } else {
        port = parse_port(argv[1]);
        // No line end: the next output continues this line.
        printf("Port %d at time %d", port, (int)time(nullptr));
    }
    // Large cached objects come and go with evictions; taken from the heap,
    // each leaves a hole that the small objects after it split up, so the
    // heap grows round after round. Mapped apart, they go back to the system
    // when evicted.
    mallopt(M_MMAP_THRESHOLD, LARGE_BLOCK_BYTES);
    raise_descriptor_limit();
    init_cache();
    int listen_fd = setup_listen_port(port);
    if (listen_fd == -1) return -1;
    // URLs naming this port on a local address are refused (server_connect).
    set_own_listener(listen_fd);
    fflush(stdout);

    struct sockaddr_in clientaddr;
    socklen_t clientlen = sizeof clientaddr;
    // Connection threads run detached from their start on stacks the process
    // keeps and reuses (robix/stacks.h); its run-time checks run now, not on
    // the first browser's time.
    stack_pool_init();
    for (;;) {
        int *connection_fd = (int *)malloc(sizeof(int));
        if (connection_fd == nullptr) {
            pause_ms(RESOURCE_PAUSE_MS);  // the connection stays queued until memory is back
            continue;
        }
        *connection_fd = accept(listen_fd, (struct sockaddr *)&clientaddr, &clientlen);
        if (*connection_fd < 0) {
            int err = errno;
            free(connection_fd);
            printf("ERR accepting connection failure errno %d - %s\n", err, strerror(err));
            fflush(stdout);
            if (accept_failure_is_fatal(err)) return -1;
            accept_failure_pause(err);
            continue;
        }
        printf("%sSTART-REQUEST %d\n%s", RULE, (int)time(nullptr), RULE);
        int rc = stack_thread_create(handle_connection, connection_fd);
        if (rc != 0) {
            printf("Pthread_create error: %s\n", strerror(rc));
            fflush(stdout);
            close(*connection_fd);
            free(connection_fd);
        }
    }
}
