// Fault injection for stageproxy's whole-program tests, loaded into the
// program with LD_PRELOAD. It makes failures that loopback cannot produce on
// demand, each chosen by an environment variable read once:
//   STAGE_FAULT_ACCEPT="N:ERRNO[,N:ERRNO...]"  the Nth accept() call fails
//                                              with ERRNO (no connection taken)
//   STAGE_FAULT_THREAD="N[,N...]"              the Nth pthread_create() call
//                                              after the first accept() (the
//                                              start-up's own threads do not
//                                              count) returns EAGAIN
//   STAGE_FAULT_WRITE_SIZE="S"                 a write() of exactly S bytes
//                                              fails with EPIPE
//   STAGE_FAULT_MALLOC_SIZE="S[,S...]"         a malloc() of exactly one of
//                                              these sizes returns null with
//                                              ENOMEM (only in the build of
//                                              this file with
//                                              SHIM_MALLOC_FAULTS, since
//                                              wrapping malloc breaks
//                                              ThreadSanitizer's runtime)
// Every other call goes to the real function.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<int> acceptCalls{0};
std::atomic<int> threadCalls{0};

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

#ifdef SHIM_MALLOC_FAULTS
// Whether a malloc of n bytes is planned to fail. The plan is parsed without
// allocating, since this runs inside malloc; it is looked up on every call,
// since the first calls can come before the environment is set up (a
// sanitizer runtime allocates while it starts).
bool failingMallocSize(size_t n) {
    const char *plan = getenv("STAGE_FAULT_MALLOC_SIZE");
    if (plan == nullptr) return false;
    const char *p = plan;
    while (*p != '\0') {
        char *end;
        unsigned long size = strtoul(p, &end, 10);
        if (end == p) return false;
        if (size == n) return true;
        if (*end != ',') return false;
        p = end + 1;
    }
    return false;
}

#endif

long failingWriteSize() {
    static const long size = [] {
        const char *v = getenv("STAGE_FAULT_WRITE_SIZE");
        return v != nullptr ? atol(v) : -1L;
    }();
    return size;
}

}  // namespace

extern "C" int accept(int fd, struct sockaddr *addr, socklen_t *len) {
    using acceptFn = int (*)(int, struct sockaddr *, socklen_t *);
    static acceptFn real = (acceptFn)dlsym(RTLD_NEXT, "accept");
    static const char *plan = getenv("STAGE_FAULT_ACCEPT");
    int err = planned(plan, ++acceptCalls, EINTR);
    if (err != 0) {
        errno = err;
        return -1;
    }
    return real(fd, addr, len);
}

extern "C" int pthread_create(pthread_t *tid, const pthread_attr_t *attr, void *(*start)(void *),
                              void *arg) {
    using createFn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static createFn real = (createFn)dlsym(RTLD_NEXT, "pthread_create");
    static const char *plan = getenv("STAGE_FAULT_THREAD");
    if (acceptCalls.load() > 0 && planned(plan, ++threadCalls, EAGAIN) != 0) return EAGAIN;
    return real(tid, attr, start, arg);
}

extern "C" ssize_t write(int fd, const void *buf, size_t n) {
    using writeFn = ssize_t (*)(int, const void *, size_t);
    static writeFn real = (writeFn)dlsym(RTLD_NEXT, "write");
    if ((long)n == failingWriteSize()) {
        errno = EPIPE;
        return -1;
    }
    return real(fd, buf, n);
}

#ifdef SHIM_MALLOC_FAULTS
extern "C" void *malloc(size_t n) {
    using mallocFn = void *(*)(size_t);
    static mallocFn real = (mallocFn)dlsym(RTLD_NEXT, "malloc");
    if (failingMallocSize(n)) {
        errno = ENOMEM;
        return nullptr;
    }
    return real(n);
}
#endif
