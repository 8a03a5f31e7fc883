// Fault injection for the programs' whole-program tests, loaded into the
// program under test with LD_PRELOAD. It makes failures that loopback cannot
// produce on demand, each chosen by an environment variable:
//   FAULT_ACCEPT="N:ERRNO[,N:ERRNO...]"  the Nth accept() call fails with
//                                        ERRNO (EINTR when only N is given);
//                                        no connection is taken
//   FAULT_THREAD="N[,N...]"              the Nth pthread_create() call after
//                                        the first accept() (the start-up's
//                                        own threads do not count) returns
//                                        EAGAIN
//   FAULT_WRITE_PORT="P"                 write() to a socket whose peer port
//                                        is P fails with EPIPE
//   FAULT_WRITE_SIZE="S"                 a write() of exactly S bytes fails
//                                        with EPIPE
//   FAULT_LOG="PATH"                     each accept() failure made above,
//                                        and each nanosleep() its thread
//                                        makes before it calls accept()
//                                        again, is appended to PATH as a
//                                        line, "accept fails ERRNO" or
//                                        "pause MS", so a test sees which
//                                        failures are followed by a pause
//   SLOW_NAME="NAME"                     a lookup of NAME (gethostbyname_r or
//                                        gethostbyname) prints "slow lookup\n"
//                                        on standard error, takes 3 s and
//                                        finds nothing
// and, only in the build with SHIM_MALLOC_FAULTS (wrapping malloc does not
// mix with every sanitizer's runtime, so only the allocation tests preload
// it), allocations that fail with ENOMEM:
//   FAULT_MALLOC="MIN:MAX:EVERY"         every EVERYth malloc() of MIN to MAX
//                                        bytes (operator new too, which
//                                        allocates through malloc)
//   FAULT_MALLOC_SIZE="S[,S...]"         once the program listens, every
//                                        malloc() of exactly one of these sizes
//   FAULT_CELL="N[,N...]"                once the program listens, the Nth
//                                        malloc() of sizeof(int) bytes on the
//                                        main thread (the descriptor cell of
//                                        an accepted connection)
// Every other call goes to the real function. The shim allocates nothing:
// the plans are read with getenv, which does not, and the environment is
// not changed once the program runs.
#include <dlfcn.h>
#include <fcntl.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<int> accept_calls{0};
std::atomic<int> thread_calls{0};
std::atomic<bool> listening{false};
// This thread's last accept() call was made to fail.
thread_local bool after_failed_accept = false;

// The value planned for `call` in a "N[:VALUE],..." list (VALUE defaults to
// `fallback` when a plan gives only N), or 0 for none.
long planned(const char *plan, long call, long fallback) {
    if (plan == nullptr) return 0;
    const char *p = plan;
    while (*p != '\0') {
        char *end;
        long n = strtol(p, &end, 10);
        if (end == p) break;
        long value = fallback;
        if (*end == ':') value = strtol(end + 1, &end, 10);
        if (n == call) return value;
        if (*end != ',') break;
        p = end + 1;
    }
    return 0;
}

long env_number(const char *name, long none) {
    const char *v = getenv(name);
    return v != nullptr ? atol(v) : none;
}

// Appends a line to FAULT_LOG's file, if one is named: a fresh open per
// line, so the lines of the program's threads never interleave.
void log_line(const char *what, long value) {
    const char *path = getenv("FAULT_LOG");
    if (path == nullptr) return;
    char line[64];
    int n = snprintf(line, sizeof line, "%s %ld\n", what, value);
    int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t ignored = write(fd, line, (size_t)n);
    (void)ignored;
    close(fd);
}

bool slow_name(const char *name) {
    const char *slow = getenv("SLOW_NAME");
    if (slow == nullptr || name == nullptr || strcmp(name, slow) != 0) return false;
    static const char line[] = "slow lookup\n";
    ssize_t ignored = write(2, line, sizeof line - 1);
    (void)ignored;
    struct timespec ts = {3, 0};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }  // retry with what is left
    return true;
}

#ifdef SHIM_MALLOC_FAULTS
using malloc_fn = void *(*)(size_t);
// The real malloc: resolved before main by the constructor below, or at the
// first call if the loader allocates earlier.
std::atomic<malloc_fn> real_malloc{nullptr};
std::atomic<long> ranged_mallocs{0};
std::atomic<int> cell_calls{0};

malloc_fn resolve_malloc() {
    malloc_fn f = real_malloc.load();
    if (f == nullptr) {
        f = (malloc_fn)dlsym(RTLD_NEXT, "malloc");
        real_malloc.store(f);
    }
    return f;
}

__attribute__((constructor)) void shim_init() { resolve_malloc(); }

bool malloc_fails(size_t n) {
    const char *range = getenv("FAULT_MALLOC");
    if (range != nullptr) {
        char *end;
        size_t min = strtoul(range, &end, 10), max = 0;
        long every = 0;
        if (*end == ':') max = strtoul(end + 1, &end, 10);
        if (*end == ':') every = strtol(end + 1, &end, 10);
        if (every > 0 && n >= min && n <= max && ++ranged_mallocs % every == 0) return true;
    }
    if (!listening.load(std::memory_order_relaxed)) return false;
    if (planned(getenv("FAULT_MALLOC_SIZE"), (long)n, 1) != 0) return true;
    return n == sizeof(int) && gettid() == getpid() &&
           planned(getenv("FAULT_CELL"), ++cell_calls, 1) != 0;
}
#endif

}  // namespace

extern "C" int accept(int fd, struct sockaddr *addr, socklen_t *len) {
    using accept_fn = int (*)(int, struct sockaddr *, socklen_t *);
    static accept_fn real = (accept_fn)dlsym(RTLD_NEXT, "accept");
    int err = (int)planned(getenv("FAULT_ACCEPT"), ++accept_calls, EINTR);
    after_failed_accept = err != 0;
    if (err != 0) {
        log_line("accept fails", err);
        errno = err;
        return -1;
    }
    return real(fd, addr, len);
}

extern "C" int nanosleep(const struct timespec *want, struct timespec *left) {
    using sleep_fn = int (*)(const struct timespec *, struct timespec *);
    static sleep_fn real = (sleep_fn)dlsym(RTLD_NEXT, "nanosleep");
    if (after_failed_accept) log_line("pause", want->tv_sec * 1000 + want->tv_nsec / 1000000);
    return real(want, left);
}

extern "C" int listen(int fd, int backlog) {
    using listen_fn = int (*)(int, int);
    static listen_fn real = (listen_fn)dlsym(RTLD_NEXT, "listen");
    int rc = real(fd, backlog);
    if (rc == 0) listening.store(true);
    return rc;
}

extern "C" int pthread_create(pthread_t *tid, const pthread_attr_t *attr, void *(*start)(void *),
                              void *arg) {
    using create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static create_fn real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    if (accept_calls.load() > 0 && planned(getenv("FAULT_THREAD"), ++thread_calls, 1) != 0) {
        return EAGAIN;
    }
    return real(tid, attr, start, arg);
}

extern "C" ssize_t write(int fd, const void *buf, size_t n) {
    using write_fn = ssize_t (*)(int, const void *, size_t);
    static write_fn real = (write_fn)dlsym(RTLD_NEXT, "write");
    static const long size = env_number("FAULT_WRITE_SIZE", -1);
    static const long port = env_number("FAULT_WRITE_PORT", 0);
    bool fail = (long)n == size;
    if (!fail && port != 0) {
        struct sockaddr_in peer;
        socklen_t len = sizeof peer;
        fail = getpeername(fd, (struct sockaddr *)&peer, &len) == 0 && peer.sin_family == AF_INET &&
               ntohs(peer.sin_port) == port;
    }
    if (fail) {
        errno = EPIPE;
        return -1;
    }
    return real(fd, buf, n);
}

extern "C" int gethostbyname_r(const char *name, struct hostent *ret, char *buf, size_t buflen,
                               struct hostent **result, int *h_errnop) {
    using lookup_fn =
        int (*)(const char *, struct hostent *, char *, size_t, struct hostent **, int *);
    static lookup_fn real = (lookup_fn)dlsym(RTLD_NEXT, "gethostbyname_r");
    if (slow_name(name)) {
        *result = nullptr;
        *h_errnop = HOST_NOT_FOUND;
        return 0;
    }
    return real(name, ret, buf, buflen, result, h_errnop);
}

extern "C" struct hostent *gethostbyname(const char *name) {
    using lookup_fn = struct hostent *(*)(const char *);
    static lookup_fn real = (lookup_fn)dlsym(RTLD_NEXT, "gethostbyname");
    if (slow_name(name)) {
        h_errno = HOST_NOT_FOUND;
        return nullptr;
    }
    return real(name);
}

#ifdef SHIM_MALLOC_FAULTS
extern "C" void *malloc(size_t n) {
    malloc_fn real = resolve_malloc();
    if (malloc_fails(n)) {
        errno = ENOMEM;
        return nullptr;
    }
    return real(n);
}
#endif
