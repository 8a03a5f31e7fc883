// stampproxy: a caching HTTP forward proxy. The main thread opens the
// listening socket and accepts for ever; each browser connection gets a
// detached thread running handle_connection, which serves one request from
// the cache (cache.cpp) or from the origin, then closes. Every diagnostic goes
// to standard output, which is flushed after start-up and at the end of each
// connection. The state threads share is the cache, stdout and the pool of
// relay buffers.
#include <ctype.h>
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
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "cache.h"
#include "robix.h"

constexpr int DEFAULT_PORT = 56416;
// Request line and header lines are read in pieces of at most this many
// bytes, terminator included.
constexpr int MAXLINE = 1024;
// Size of the kept-header buffer and of the request built for the origin.
constexpr int MAXBUF = 10240;
// What the lingering close of a browser connection discards at most.
constexpr size_t LINGER_MAX_BYTES = 65536;
constexpr int LINGER_MAX_MS = 2000;
// Pause after accept ran out of descriptors or memory, so that the loop does
// not spin while the pending connection stays queued.
constexpr long ACCEPT_BACKOFF_NS = 50 * 1000 * 1000;
// Stack of each connection thread. The process default (the stack limit,
// usually 8 MiB) lets the thread library keep only a handful of finished
// stacks for reuse, so under load nearly every connection maps and unmaps a
// stack of its own; at 512 KiB dozens are reused. A thread needs a fraction
// of it: its request buffers (about 55 KB; the relay buffer is on the heap)
// and a host lookup.
#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer keeps several hundred KiB of state per thread in
// thread-local storage, which the thread library carves out of the stack.
constexpr size_t CONNECTION_STACK_BYTES = 4 * 1024 * 1024;
#else
constexpr size_t CONNECTION_STACK_BYTES = 512 * 1024;
#endif
// Relay buffers kept for reuse at most; more are freed when given back.
constexpr int RELAY_POOL_MAX = 64;
// Heap blocks of this size and above are mapped apart (see main).
constexpr int LARGE_BLOCK_BYTES = 64 * 1024;

static const char RULE[] = "<--------------------------------------------->\n";

// ---------------------------------------------------------------- closing

// Closes a browser connection without losing the response's tail. Bytes the
// browser sent that were never read (header lines after a hit, a request
// body) would make close() send a reset, and a browser that has not yet read
// the response would lose part of it. So the sending side is shut first and
// what still arrives is discarded, bounded in bytes and time, then closed.
static void close_browser(int fd) {
    if (shutdown(fd, SHUT_WR) == 0) {
        char sink[8192];
        size_t discarded = 0;
        struct timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        while (discarded < LINGER_MAX_BYTES) {
            clock_gettime(CLOCK_MONOTONIC, &now);
            long elapsed =
                (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
            if (elapsed >= LINGER_MAX_MS) break;
            struct pollfd pfd = {fd, POLLIN, 0};
            int ready = poll(&pfd, 1, (int)(LINGER_MAX_MS - elapsed));
            if (ready < 0 && errno == EINTR) continue;  // retry with the time left
            if (ready <= 0) break;
            ssize_t n = read(fd, sink, sizeof sink);
            if (n < 0 && errno == EINTR) continue;  // retry
            if (n <= 0) break;                      // the browser closed, or reset
            discarded += (size_t)n;
        }
    }
    // close() is never retried: the descriptor is gone whatever it returns.
    close(fd);
}

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
// answer needs more than the 1024-byte work buffer), -3 (connect failed).
// Prints one line on each failure; the socket is closed on -2 and -3.
int server_connect(const char *hostname, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        int err = errno;
        printf("ERR creating socket for server %s %d errno %d - %s\n", hostname, port, err,
               strerror(err));
        return -1;
    }
    struct hostent host, *answer = nullptr;
    char work[1024];
    int local_errno = 0;
    int rc = gethostbyname_r(hostname, &host, work, sizeof work, &answer, &local_errno);
    if (rc != 0 || answer == nullptr || answer->h_addr_list[0] == nullptr ||
        answer->h_length != (int)sizeof(struct in_addr)) {
        printf("ERR did not resolve name %s errno %d - %s\n", hostname, local_errno,
               strerror(local_errno));
        close(fd);
        return -2;
    }
    struct sockaddr_in server_addr;
    memset(&server_addr, 0, sizeof server_addr);
    server_addr.sin_family = AF_INET;
    memcpy(&server_addr.sin_addr, answer->h_addr_list[0], sizeof server_addr.sin_addr);
    server_addr.sin_port = htons((uint16_t)port);
    if (connect(fd, (struct sockaddr *)&server_addr, sizeof server_addr) < 0) {
        int err = errno;
        printf("Error connecting to server %s errno %d - %s\n", hostname, err, strerror(err));
        close(fd);
        return -3;
    }
    return fd;
}

// ---------------------------------------------------------------- request

// True when the header line starts with `name` and a colon (letter case
// ignored, as HTTP field names are compared) and a non-blank character
// follows somewhere after the colon. The line is NUL-terminated; a NUL ends
// the test as it ends a scanf-style match.
static bool header_is(const char *line, const char *name) {
    size_t len = strlen(name);
    if (strncasecmp(line, name, len) != 0 || line[len] != ':') return false;
    for (const char *p = line + len + 1; *p != '\0'; p++) {
        if (!isspace((unsigned char)*p)) return true;
    }
    return false;
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

// Takes the request line apart with the three scanf-style patterns, each
// working on what the earlier ones left: method, host, port (80 when none is
// given, -1 when nothing could be read) and the path after the first "/".
// The line holds at most MAXLINE - 1 bytes, so no field can outgrow its
// MAXLINE buffer; the widths only make that visible.
static void parse_request_line(const char *request, char *action, char *address, char *file,
                               char *protocol, int *port) {
    char temp[MAXLINE] = "";
    sscanf(request, "%1023s %1023[^:]://%1023s %1023s", action, temp, address, protocol);
    sscanf(address, "%1023[^/]/%1023s", temp, file);
    if (sscanf(temp, "%1023[^:]:%d", address, port) == 1) *port = 80;
    strcpy(protocol, "HTTP/1.0");  // the browser's version is never passed on
}

// Reads the browser's header lines up to the empty line (or end of stream, or
// a failed read) into other_information: Proxy-Connection rewritten,
// Keep-Alive and Connection dropped, the rest kept with their exact bytes and
// line ends. Clears *host_flag when a Host line is kept. False when the kept
// lines would not fit (reading stops there). `line` is scratch of MAXLINE.
static bool read_browser_headers(rio_t *rp, char *line, char *other_information, size_t *info_len,
                                 int *host_flag) {
    *info_len = 0;
    other_information[0] = '\0';
    *host_flag = 1;
    for (;;) {
        ssize_t got = rio_readlineb(rp, line, MAXLINE);
        if (got <= 0) return true;
        if (got == 2 && line[0] == '\r' && line[1] == '\n') return true;
        bool kept = true;
        if (header_is(line, "Proxy-Connection")) {
            kept = append_text(other_information, info_len, MAXBUF, "Proxy-Connection: close\r\n");
        } else if (header_is(line, "Keep-Alive") || header_is(line, "Connection")) {
            // Dropped: the relay waits for the origin to close, so the origin
            // must see only the "Connection: close" added below.
        } else {
            if (header_is(line, "Host")) *host_flag = 0;
            kept = append_bytes(other_information, info_len, MAXBUF, line, (size_t)got);
        }
        if (!kept) return false;
    }
}

// Builds the request for the origin in packet (MAXBUF bytes): the request
// line, Host unless the browser sent one, "Connection: close", the kept
// lines, the empty line. Its length, or 0 when it would not fit; the request
// line's length in *line_len.
static size_t build_request(char *packet, const char *action, const char *file,
                            const char *protocol, const char *address, int host_flag,
                            const char *other_information, size_t info_len, size_t *line_len) {
    size_t len = 0;
    packet[0] = '\0';
    bool fits =
        append_text(packet, &len, MAXBUF, action) && append_text(packet, &len, MAXBUF, " /") &&
        append_text(packet, &len, MAXBUF, file) && append_text(packet, &len, MAXBUF, " ") &&
        append_text(packet, &len, MAXBUF, protocol) && append_text(packet, &len, MAXBUF, "\r\n");
    *line_len = len;
    if (fits && host_flag == 1) {
        fits = append_text(packet, &len, MAXBUF, "Host: ") &&
               append_text(packet, &len, MAXBUF, address) &&
               append_text(packet, &len, MAXBUF, "\r\n");
    }
    fits = fits && append_text(packet, &len, MAXBUF, "Connection: close\r\n") &&
           append_bytes(packet, &len, MAXBUF, other_information, info_len) &&
           append_text(packet, &len, MAXBUF, "\r\n");
    return fits ? len : 0;
}

// ---------------------------------------------------------------- relay buffers

// Every relay needs a MAX_OBJECT_SIZE buffer for as long as it lasts. A
// block that large is mapped apart (see main), so freeing each buffer after
// its request would cost a map, an unmap and fresh zeroed pages per request.
// Finished buffers are kept here instead (up to RELAY_POOL_MAX) for the next
// relay.
static char *relay_pool[RELAY_POOL_MAX];
static int relay_pool_count = 0;
static pthread_mutex_t relay_pool_lock = PTHREAD_MUTEX_INITIALIZER;

// A buffer of MAX_OBJECT_SIZE bytes, or null when memory is short.
static char *take_relay_buffer(void) {
    char *buffer = nullptr;
    pthread_mutex_lock(&relay_pool_lock);
    if (relay_pool_count > 0) buffer = relay_pool[--relay_pool_count];
    pthread_mutex_unlock(&relay_pool_lock);
    return buffer != nullptr ? buffer : (char *)malloc((size_t)MAX_OBJECT_SIZE);
}

static void give_back_relay_buffer(char *buffer) {
    if (buffer == nullptr) return;
    pthread_mutex_lock(&relay_pool_lock);
    bool kept = relay_pool_count < RELAY_POOL_MAX;
    if (kept) relay_pool[relay_pool_count++] = buffer;
    pthread_mutex_unlock(&relay_pool_lock);
    if (!kept) free(buffer);
}

// Relays the origin's response to the browser in reads of up to
// MAX_OBJECT_SIZE bytes and offers it to the cache under `request` when it
// is known to be whole. Ends the connection with its exit block.
static void relay_response(int serverfd, int connfd, const char *request) {
    char *object = take_relay_buffer();
    size_t key_len = strlen(request);
    char *request_string = (char *)malloc(key_len + 1);
    if (object == nullptr || request_string == nullptr) {
        give_back_relay_buffer(object);
        free(request_string);
        exit_prep2(serverfd, connfd, "REGULAR_EXIT");
        return;
    }
    memcpy(request_string, request, key_len + 1);

    ssize_t server_read = 0, last_server_read = -1;
    int read_count = 0;
    int read_errno = 0;
    bool origin_closed = false;
    for (;;) {
        server_read = rio_readn(serverfd, object, (size_t)MAX_OBJECT_SIZE);
        if (server_read < 0) read_errno = errno;
        if (server_read == 0) origin_closed = true;
        if (server_read <= 0) break;
        // rio_readn comes back short only at end of stream: the origin has
        // closed its side, and reading again would only return 0.
        if (server_read < MAX_OBJECT_SIZE) origin_closed = true;
        if (read_count < 1024) read_count++;
        printf("Server recieved %d bytes\n", (int)server_read);
        last_server_read = server_read;
        if (rio_writen(connfd, object, (size_t)server_read) < 0) {
            int err = errno;
            printf("ERR writing to client errno %d - %s\n", err, strerror(err));
            break;
        }
        if (origin_closed) break;
    }

    // Only a response known to be whole is kept: one read brought all of it
    // and the origin closed its side. A full first read followed by a failed
    // read or write may be the start of a longer response.
    if (read_count == 1 && origin_closed) {
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
    give_back_relay_buffer(object);
    if (server_read < 0) {
        printf("ERR reading from server errno %d - %s\n", read_errno, strerror(read_errno));
    }
    exit_prep2(serverfd, connfd, "REGULAR_EXIT");
}

// The body of every connection thread: serves one request of the browser on
// the descriptor in the heap cell temp_connfd (freed here), then closes.
void *handle_connection(void *temp_connfd) {
    char request[MAXBUF];
    char action[MAXLINE] = "", address[MAXLINE] = "", file[MAXLINE] = "", protocol[MAXLINE] = "";
    char other_information[MAXBUF];
    char packet[MAXBUF];
    int port = -1;
    rio_t rio_client;

    Pthread_detach(pthread_self());
    int connfd = *(int *)temp_connfd;
    free(temp_connfd);
    rio_readinitb(&rio_client, connfd);

    ssize_t n = rio_readlineb(&rio_client, request, MAXLINE);
    if (n < 0) {
        int err = errno;
        printf("ERR rio_readlineb from client failed errno %d - %s\n", err, strerror(err));
        exit_prep1(connfd, "CLIENT_ERR_REQUEST");
        return nullptr;
    }
    if (n == 0) {
        // The browser closed before sending a byte: nothing to parse or look up.
        exit_prep1(connfd, "CLIENT_ERR_REQUEST");
        return nullptr;
    }
    printf("INPUT: %s\n", request);
    parse_request_line(request, action, address, file, protocol, &port);

    char *object = nullptr;
    n = check_cache(request, &object);
    if (n > 0) {
        // The browser's header lines are left unread; the lingering close
        // keeps them from resetting the connection.
        if (rio_writen(connfd, object, (size_t)n) < 0) {
            int err = errno;
            printf("ERR writing to client errno %d - %s\n", err, strerror(err));
        }
        free(object);
        exit_prep1(connfd, "CACHE_HIT_REQUEST");
        return nullptr;
    }

    size_t info_len = 0, line_len = 0, packet_len = 0;
    int host_flag = 1;
    if (read_browser_headers(&rio_client, packet, other_information, &info_len, &host_flag)) {
        packet_len = build_request(packet, action, file, protocol, address, host_flag,
                                   other_information, info_len, &line_len);
    }
    if (packet_len == 0) {
        // Refused before anything goes upstream: the browser's headers would
        // overflow the request buffer.
        printf("ERR request too large for the %d-byte request buffer\n", MAXBUF);
        exit_prep1(connfd, "CLIENT_ERR_REQUEST");
        return nullptr;
    }

    int serverfd = server_connect(address, port);
    if (serverfd < 0) {
        exit_prep1(connfd, "REGULAR_EXIT");
        return nullptr;
    }
    printf("REQ:\t%.*s", (int)line_len, packet);
    if (rio_writen(serverfd, packet, packet_len) < 0) {
        int err = errno;
        printf("ERR packet to server errno %d - %s\n", err, strerror(err));
        exit_prep2(serverfd, connfd, "WRITE_ERROR_EXIT");
        return nullptr;
    }
    relay_response(serverfd, connfd, request);
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
    return listen_fd;
}

// An accept failure that no retry can cure: the listening socket itself is
// unusable. Anything else (an aborted connection, a signal, descriptors or
// memory running out) passes, and the loop must go on serving.
static bool accept_failure_is_fatal(int err) {
    return err == EBADF || err == EINVAL || err == ENOTSOCK || err == EOPNOTSUPP;
}

static bool accept_failure_needs_pause(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
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
    init_cache();
    int listen_fd = setup_listen_port(port);
    if (listen_fd == -1) return -1;
    fflush(stdout);

    struct sockaddr_in clientaddr;
    socklen_t clientlen = sizeof clientaddr;
    pthread_t worker_thread;
    pthread_attr_t worker_attr;
    pthread_attr_init(&worker_attr);
    pthread_attr_setstacksize(&worker_attr, CONNECTION_STACK_BYTES);
    for (;;) {
        int *connection_fd = (int *)malloc(sizeof(int));
        if (connection_fd == nullptr) {
            // Leave the connection queued until memory is back.
            struct timespec pause = {0, ACCEPT_BACKOFF_NS};
            nanosleep(&pause, nullptr);
            continue;
        }
        *connection_fd = accept(listen_fd, (struct sockaddr *)&clientaddr, &clientlen);
        if (*connection_fd < 0) {
            int err = errno;
            free(connection_fd);
            printf("ERR accepting connection failure errno %d - %s\n", err, strerror(err));
            fflush(stdout);
            if (accept_failure_is_fatal(err)) return -1;
            if (accept_failure_needs_pause(err)) {
                struct timespec pause = {0, ACCEPT_BACKOFF_NS};
                nanosleep(&pause, nullptr);
            }
            continue;
        }
        printf("%sSTART-REQUEST %d\n%s", RULE, (int)time(nullptr), RULE);
        int rc = pthread_create(&worker_thread, &worker_attr, handle_connection, connection_fd);
        if (rc != 0) {
            printf("Pthread_create error: %s\n", strerror(rc));
            fflush(stdout);
            close(*connection_fd);
            free(connection_fd);
        }
    }
}
