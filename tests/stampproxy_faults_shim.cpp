// Fault injection for stampproxy's whole-program tests, loaded into the
// program with LD_PRELOAD. It makes failures that loopback cannot produce on
// demand, each chosen by an environment variable read once:
//   STAMP_FAULT_ACCEPT="N:ERRNO[,N:ERRNO...]"  the Nth accept() call fails
//                                              with ERRNO (no connection taken)
//   STAMP_FAULT_THREAD="N[,N...]"              the Nth pthread_create() call
//                                              after the first accept() (the
//                                              start-up's own threads do not
//                                              count) returns EAGAIN
//   STAMP_FAULT_WRITE_PORT="P"                 write() to a socket whose peer
//                                              port is P fails with EPIPE
//   STAMP_FAULT_MALLOC="MIN:MAX:EVERY"         every EVERYth malloc() of MIN
//                                              to MAX bytes returns null
//                                              (operator new too, which
//                                              allocates through malloc)
// The malloc fault replaces the allocator's entry point, so it cannot be
// used beside a sanitizer's allocator: it exists only in the second build of
// this shim (SHIM_MALLOC_FAULTS), which only the allocation test preloads.
// Every other call goes to the real function.
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#ifdef SHIM_MALLOC_FAULTS
extern "C" void *__libc_malloc(size_t n);
#endif

namespace {

std::atomic<int> accept_calls{0};
std::atomic<int> thread_calls{0};

// The error planned for call number `call` in a "N:ERRNO,..." list (ERRNO
// defaults to `fallback` when a plan gives only N), or 0 for none.
int planned(const char *plan, int call, int fallback) {
    if (plan == nullptr) return 0;
    const char *p = plan;
    while (*p != '\0') {
        char *end;
        long n = strtol(p, &end, 10);
        int err = fallback;
        if (*end == ':') err = (int)strtol(end + 1, &end, 10);
        if (n == call) return err;
        if (*end != ',') break;
        p = end + 1;
    }
    return 0;
}

int write_fault_port() {
    static const int port = [] {
        const char *v = getenv("STAMP_FAULT_WRITE_PORT");
        return v != nullptr ? atoi(v) : 0;
    }();
    return port;
}

#ifdef SHIM_MALLOC_FAULTS
// The plan is read at the first call without a lock or a guarded static
// (either could allocate, or recurse into malloc): reading it twice in a race
// gives the same values.
std::atomic<int> malloc_plan_read{0};
size_t malloc_min = 0, malloc_max = 0;
std::atomic<long> malloc_every{0};

void read_malloc_plan() {
    const char *v = getenv("STAMP_FAULT_MALLOC");
    if (v != nullptr) {
        char *end;
        malloc_min = strtoul(v, &end, 10);
        if (*end == ':') malloc_max = strtoul(end + 1, &end, 10);
        if (*end == ':') malloc_every.store(strtol(end + 1, &end, 10));
    }
    malloc_plan_read.store(1);
}

std::atomic<long> planned_mallocs{0};
#endif

}  // namespace

extern "C" int accept(int fd, struct sockaddr *addr, socklen_t *len) {
    using accept_fn = int (*)(int, struct sockaddr *, socklen_t *);
    static accept_fn real = (accept_fn)dlsym(RTLD_NEXT, "accept");
    static const char *plan = getenv("STAMP_FAULT_ACCEPT");
    int err = planned(plan, ++accept_calls, EINTR);
    if (err != 0) {
        errno = err;
        return -1;
    }
    return real(fd, addr, len);
}

extern "C" int pthread_create(pthread_t *tid, const pthread_attr_t *attr, void *(*start)(void *),
                              void *arg) {
    using create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static create_fn real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    static const char *plan = getenv("STAMP_FAULT_THREAD");
    if (accept_calls.load() > 0 && planned(plan, ++thread_calls, EAGAIN) != 0) return EAGAIN;
    return real(tid, attr, start, arg);
}

extern "C" ssize_t write(int fd, const void *buf, size_t n) {
    using write_fn = ssize_t (*)(int, const void *, size_t);
    static write_fn real = (write_fn)dlsym(RTLD_NEXT, "write");
    int port = write_fault_port();
    if (port != 0) {
        struct sockaddr_in peer;
        socklen_t len = sizeof peer;
        if (getpeername(fd, (struct sockaddr *)&peer, &len) == 0 && peer.sin_family == AF_INET &&
            ntohs(peer.sin_port) == port) {
            errno = EPIPE;
            return -1;
        }
    }
    return real(fd, buf, n);
}

#ifdef SHIM_MALLOC_FAULTS
extern "C" void *malloc(size_t n) {
    if (malloc_plan_read.load() == 0) read_malloc_plan();
    long every = malloc_every.load();
    if (every > 0 && n >= malloc_min && n <= malloc_max && ++planned_mallocs % every == 0) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(n);
}
#endif
