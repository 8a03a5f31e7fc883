// Browser, origin, resolver and connect() for the request fuzzers (see
// loopback.h). Owns the origin listener and the record of the exchange in
// progress; everything runs on the fuzzer's thread except the stand-ins,
// which run on the handler thread while the fuzzer's thread waits in poll.
#include "loopback.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <new>

#include "c_text.h"

namespace {

// The harness keeps its own descriptors at or above this number, so that the
// program's descriptors (the lowest free ones) never share a number with
// them and a descriptor left open by the program can be told apart.
constexpr int HARNESS_FD_BASE = 900;
// Longest an exchange may take; a healthy one takes milliseconds.
constexpr long EXCHANGE_DEADLINE_MS = 8000;

int origin_listener = -1;
struct sockaddr_in origin_addr;

// The exchange in progress; the stand-ins record into it. Guarded by
// record_lock because the handler thread writes while the fuzzer's reads.
exchange_t *current = nullptr;
std::mutex record_lock;

long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Moves fd to a number at or above HARNESS_FD_BASE, close-on-exec.
int move_high(int fd) {
    int high = fcntl(fd, F_DUPFD_CLOEXEC, HARNESS_FD_BASE);
    if (high < 0) fuzz_fail("F_DUPFD failed", strerror(errno));
    close(fd);
    return high;
}

void set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        fuzz_fail("O_NONBLOCK failed", strerror(errno));
    }
}

// The identity of the open file behind fd (0 when fd is not open), so that
// a descriptor number reused by someone else is not taken for a leak.
ino_t file_id(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

// Reads what fd holds into `into`, without blocking; true once the stream is
// over (its end, or a reset). Only the fuzzer's thread calls it.
bool read_all(int fd, std::string &into) {
    static char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, (size_t)n);
        } else if (n < 0 && errno == EAGAIN) {
            return false;
        } else if (n == 0 || errno != EINTR) {
            return true;
        }
    }
}

// Writes `bytes` from *sent on, without blocking; true once they are all
// written, or the other end has gone (the rest never will be).
bool write_all(int fd, const std::string &bytes, size_t *sent) {
    while (*sent < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + *sent, bytes.size() - *sent);
        if (n > 0) {
            *sent += (size_t)n;
        } else if (n < 0 && errno == EAGAIN) {
            return false;
        } else if (n == 0 || errno != EINTR) {
            return true;
        }
    }
    return true;
}

// A response of exactly `total` bytes: `head` (a status line and header
// block), then numbered lines of line_len bytes, the last one cut.
std::string lines_of(const std::string &head, size_t total, size_t line_len) {
    std::string s = head;
    s.reserve(total);
    for (size_t i = 0; s.size() < total; i++) {
        std::string line = std::to_string(i) + ":";
        line.resize(line_len - 1, (char)('a' + i % 26));
        line += '\n';
        s += line;
    }
    s.resize(total);
    return s;
}

std::vector<std::string> make_responses(void) {
    // Well-formed heads, so that what decides storing is the size (and, for
    // the long lines, the cookie the shared rule refuses).
    const std::string plain = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    const std::string cookie = "HTTP/1.0 200 OK\r\nSet-Cookie: session=1\r\n\r\n";
    std::vector<std::string> r(ORIGIN_KINDS);
    r[ORIGIN_SMALL] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 6\r\n\r\nhello\n";
    r[ORIGIN_EMPTY] = "";
    r[ORIGIN_BINARY] = std::string("HTTP/1.0 404 Not Found\r\n\r\n\0a\rb\r\r\n\xff\xfe\0\0z", 37);
    r[ORIGIN_LONGLINES] = cookie + std::string(20000, 'L') + "\n" + std::string(9999, 'M');
    r[ORIGIN_94208] = lines_of(plain, 94208, 128);
    r[ORIGIN_102399] = lines_of(plain, 102399, 100);
    r[ORIGIN_102400] = lines_of(plain, 102400, 100);
    r[ORIGIN_102401] = lines_of(plain, 102401, 100);
    return r;
}

// One origin connection as the harness sees it.
struct origin_conn_t {
    int fd;
    std::string got;
    size_t sent = 0;
    bool responding = false;  // the request is in (or went wrong): answering
    bool out_done = false;    // whole response written and sending side shut
    bool eof = false;         // the program closed its side
};

struct handler_start_t {
    void (*serve)(int fd);
    int fd;
    int done_fd;  // eventfd written when the thread ends, however it ends
};

void signal_done(void *arg) {
    uint64_t one = 1;
    int fd = static_cast<handler_start_t *>(arg)->done_fd;
    // An eventfd write of 8 bytes cannot be short; the result can be ignored.
    if (write(fd, &one, sizeof one) < 0) {
    }
}

void *handler_main(void *arg) {
    handler_start_t *start = static_cast<handler_start_t *>(arg);
    // The handler may end this thread on the spot (pthread_exit from a
    // wrapper); the cleanup handler still reports the end.
    pthread_cleanup_push(signal_done, start);
    start->serve(start->fd);
    pthread_cleanup_pop(1);
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------- stand-ins

lookup_answer_t lookup_answer(const std::string &name) {
    if (!host_name_like(name) || name.compare(0, 2, "nx") == 0) return LOOKUP_NOT_FOUND;
    if (name.compare(0, 6, "noaddr") == 0) return LOOKUP_NO_ADDRESS;
    return LOOKUP_ADDRESS;
}

static void record_lookup(const char *name) {
    std::lock_guard<std::mutex> hold(record_lock);
    if (current == nullptr) fuzz_fail("a lookup outside an exchange", name);
    current->lookups.push_back(name);
}

extern "C" int fuzz_gethostbyname_r(const char *name, struct hostent *ret, char *buf,
                                    size_t buflen, struct hostent **result, int *h_errnop) {
    record_lookup(name);
    *result = nullptr;
    lookup_answer_t answer = lookup_answer(name);
    if (answer == LOOKUP_NOT_FOUND) {
        // As the real call: success of the call itself, no entry.
        *h_errnop = HOST_NOT_FOUND;
        return 0;
    }
    // The entry's lists, address and name go in the caller's work space.
    struct space_t {
        char *aliases[1], *addresses[2];
        struct in_addr address;
    };
    const size_t align = alignof(space_t), name_len = strlen(name) + 1;
    const size_t offset = (align - (uintptr_t)buf % align) % align;
    if (offset + sizeof(space_t) + name_len > buflen) {
        *h_errnop = NETDB_INTERNAL;
        return ERANGE;
    }
    space_t *space = new (buf + offset) space_t{{nullptr}, {nullptr, nullptr}, {htonl(INADDR_LOOPBACK)}};
    if (answer == LOOKUP_ADDRESS) space->addresses[0] = reinterpret_cast<char *>(&space->address);
    char *copy = reinterpret_cast<char *>(space + 1);
    memcpy(copy, name, name_len);
    ret->h_name = copy;
    ret->h_aliases = space->aliases;
    ret->h_addrtype = AF_INET;
    ret->h_length = (int)sizeof space->address;
    ret->h_addr_list = space->addresses;
    *result = ret;
    return 0;
}

extern "C" struct hostent *fuzz_gethostbyname(const char *name) {
    // Like the real call, the answer lives in static storage until the next
    // call (room for any name that resolves); the program serialises its
    // lookups.
    static struct hostent entry;
    static char space[512];
    struct hostent *found = nullptr;
    if (fuzz_gethostbyname_r(name, &entry, space, sizeof space, &found, &h_errno) != 0) {
        fuzz_fail("the stand-in resolver's space is too small", name);
    }
    return found;
}

extern "C" int fuzz_socket(int domain, int type, int protocol) {
    int fd = socket(domain, type, protocol);
    std::lock_guard<std::mutex> hold(record_lock);
    if (current == nullptr) fuzz_fail("a socket made outside an exchange");
    if (fd >= 0) current->program_fds.push_back({fd, file_id(fd)});
    return fd;
}

// Lookups recorded when the current exchange last connected (guarded by
// record_lock; reset with each exchange).
static size_t lookups_at_connect = 0;

extern "C" int fuzz_connect(int fd, const struct sockaddr *addr, socklen_t len) {
    bool refuse;
    {
        std::lock_guard<std::mutex> hold(record_lock);
        if (current == nullptr) fuzz_fail("a connect outside an exchange");
        int port = -1;
        bool ok = false;
        if (len >= (socklen_t)sizeof(struct sockaddr_in) && addr->sa_family == AF_INET) {
            const struct sockaddr_in *in = reinterpret_cast<const struct sockaddr_in *>(addr);
            port = ntohs(in->sin_port);
            // The resolver's answer, or, when the program asked it nothing
            // since its last connect, an address the URL wrote out itself
            // (dotted addresses need no lookup).
            ok = in->sin_addr.s_addr == htonl(INADDR_LOOPBACK) ||
                 current->lookups.size() == lookups_at_connect;
        }
        lookups_at_connect = current->lookups.size();
        current->connect_ports.push_back(port);
        if (!ok) current->connect_address_ok = false;
        refuse = current->refuse_connect;
    }
    if (refuse) {
        errno = ECONNREFUSED;
        return -1;
    }
    // Whatever port the program asked for, the connection goes to the
    // harness's origin; the port asked for is checked from the record.
    return connect(fd, reinterpret_cast<const struct sockaddr *>(&origin_addr), sizeof origin_addr);
}

// ---------------------------------------------------------------- set-up

const std::string &origin_response(origin_kind_t kind) {
    static const std::vector<std::string> responses = make_responses();
    return responses[kind];
}

void loopback_init(void) {
    signal(SIGPIPE, SIG_IGN);
    // The programs print a line or more per request; a console full of them
    // would only slow the fuzzer down.
    if (freopen("/dev/null", "w", stdout) == nullptr) fuzz_fail("cannot silence stdout");
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) fuzz_fail("socket failed", strerror(errno));
    memset(&origin_addr, 0, sizeof origin_addr);
    origin_addr.sin_family = AF_INET;
    origin_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    origin_addr.sin_port = 0;
    socklen_t alen = sizeof origin_addr;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&origin_addr), sizeof origin_addr) < 0 ||
        listen(fd, 64) < 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&origin_addr), &alen) < 0) {
        fuzz_fail("cannot listen on 127.0.0.1", strerror(errno));
    }
    origin_listener = move_high(fd);
    set_nonblocking(origin_listener);
    for (int k = 0; k < ORIGIN_KINDS; k++) origin_response((origin_kind_t)k);
}


// ---------------------------------------------------------------- one exchange

void run_exchange(void (*serve)(int fd), exchange_t &x) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) {
        fuzz_fail("socketpair failed", strerror(errno));
    }
    int browser = move_high(sv[0]);
    int handler_fd = sv[1];
    ino_t handler_id = file_id(handler_fd);
    set_nonblocking(browser);
    int done_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (done_fd < 0) fuzz_fail("eventfd failed", strerror(errno));
    done_fd = move_high(done_fd);
    const std::string &response = origin_response(x.origin);
    {
        std::lock_guard<std::mutex> hold(record_lock);
        current = &x;
        lookups_at_connect = 0;
    }

    handler_start_t start = {serve, handler_fd, done_fd};
    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, handler_main, &start);
    if (rc != 0) fuzz_fail("pthread_create failed", strerror(rc));

    std::vector<origin_conn_t> conns;
    size_t browser_sent = 0;
    bool browser_shut = false, browser_eof = false, handler_done = false;
    long deadline = now_ms() + EXCHANGE_DEADLINE_MS;

    // Reads what is there on an origin connection; starts the answer once
    // the expected request is in, or as soon as what came differs from it.
    auto read_conn = [&](origin_conn_t &c) {
        if (read_all(c.fd, c.got)) c.eof = true;
        const std::string &want = x.expect_upstream;
        size_t k = c.got.size() < want.size() ? c.got.size() : want.size();
        if (c.got.size() >= want.size() || c.got.compare(0, k, want, 0, k) != 0 || c.eof) {
            c.responding = true;
        }
    };
    // The whole response, then the end of the stream (unless the program
    // went away first).
    auto write_conn = [&](origin_conn_t &c) {
        if (c.responding && !c.out_done && write_all(c.fd, response, &c.sent)) {
            if (c.sent == response.size()) shutdown(c.fd, SHUT_WR);
            c.out_done = true;
        }
    };
    auto read_browser = [&]() {
        if (browser >= 0 && !browser_eof) browser_eof = read_all(browser, x.browser_got);
    };
    auto accept_conns = [&]() {
        for (;;) {
            int fd = accept4(origin_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) break;
            origin_conn_t c;
            c.fd = move_high(fd);
            set_nonblocking(c.fd);
            conns.push_back(c);
        }
    };

    while (!handler_done) {
        long left = deadline - now_ms();
        if (left <= 0) {
            std::string state = "browser got " + std::to_string(x.browser_got.size()) +
                                " bytes; sent " + std::to_string(browser_sent) + " of " +
                                std::to_string(x.browser_sends.size()) + "; origin connections " +
                                std::to_string(conns.size());
            for (const origin_conn_t &c : conns) {
                state += "\norigin got:\n" + escaped(c.got) + "\nexpected:\n" +
                         escaped(x.expect_upstream);
            }
            fuzz_fail("the handler did not end in time (a hang)", state);
        }
        std::vector<struct pollfd> pfds;
        pfds.push_back({done_fd, POLLIN, 0});
        pfds.push_back({origin_listener, POLLIN, 0});
        // A connection that is over in both directions is left out: it
        // would report a hang-up on every poll.
        short bev = 0;
        if (!browser_eof) bev |= POLLIN;
        if (!browser_shut) bev |= POLLOUT;
        pfds.push_back({browser >= 0 && bev != 0 ? browser : -1, bev, 0});
        for (const origin_conn_t &c : conns) {
            short ev = 0;
            if (!c.eof) ev |= POLLIN;
            if (c.responding && !c.out_done) ev |= POLLOUT;
            pfds.push_back({ev != 0 ? c.fd : -1, ev, 0});
        }
        int ready = poll(pfds.data(), pfds.size(), (int)left);
        if (ready < 0 && errno == EINTR) continue;  // retry
        if (ready < 0) fuzz_fail("poll failed", strerror(errno));

        if (pfds[0].revents != 0) handler_done = true;
        if (pfds[1].revents != 0) accept_conns();
        // All sent (or the handler has closed): the browser's side ends.
        if ((pfds[2].revents & POLLOUT) && write_all(browser, x.browser_sends, &browser_sent)) {
            browser_shut = true;
            if (x.browser_vanishes) {
                close(browser);
                browser = -1;
            } else {
                shutdown(browser, SHUT_WR);
            }
        }
        if (pfds[2].revents & (POLLIN | POLLHUP | POLLERR)) read_browser();
        for (size_t i = 0; i < conns.size() && 3 + i < pfds.size(); i++) {
            if (pfds[3 + i].revents & (POLLIN | POLLHUP | POLLERR)) read_conn(conns[i]);
            if (pfds[3 + i].revents & (POLLOUT | POLLERR)) write_conn(conns[i]);
            if (conns[i].responding && !conns[i].out_done) write_conn(conns[i]);
        }
    }

    // The handler has ended: what it wrote is queued; collect it.
    struct timespec join_by;
    clock_gettime(CLOCK_REALTIME, &join_by);
    join_by.tv_sec += 3;
    rc = pthread_timedjoin_np(tid, nullptr, &join_by);
    if (rc != 0) fuzz_fail("the handler thread could not be joined", strerror(rc));
    accept_conns();
    read_browser();
    for (origin_conn_t &c : conns) read_conn(c);
    {
        std::lock_guard<std::mutex> hold(record_lock);
        current = nullptr;
    }

    // Every descriptor the handler was given or opened must be closed now.
    if (file_id(handler_fd) == handler_id) fuzz_fail("the browser connection was left open");
    for (const std::pair<int, ino_t> &made : x.program_fds) {
        if (file_id(made.first) == made.second) {
            fuzz_fail("a socket the program made was left open");
        }
    }
    if (browser >= 0) close(browser);
    close(done_fd);
    for (origin_conn_t &c : conns) {
        x.origin_got.push_back(c.got);
        close(c.fd);
    }
}
