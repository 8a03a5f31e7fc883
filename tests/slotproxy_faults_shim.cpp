// Fault injection for slotproxy's whole-program tests, loaded into the
// program with LD_PRELOAD. It makes failures that loopback cannot produce on
// demand, each chosen by an environment variable read once:
//   SLOT_FAULT_THREAD="N[,N...]"     once the program listens (the
//                                    start-up's own threads do not count),
//                                    the Nth pthread_create() call returns
//                                    EAGAIN
//   SLOT_FAULT_CELL="N[,N...]"       once the program listens, the Nth
//                                    allocation of sizeof(int) bytes on the
//                                    main thread (the descriptor cell of an
//                                    accepted connection) fails with ENOMEM
//   SLOT_FAULT_MALLOC_SIZE="S[,S...]"  once the program listens, every
//                                    allocation of exactly S bytes fails with
//                                    ENOMEM
//   SLOT_SLOW_NAME="NAME"            a lookup of NAME (gethostbyname_r or
//                                    gethostbyname) prints "slow lookup\n" on
//                                    standard error, takes 3 s and finds
//                                    nothing
// Every other call goes to the real function. The shim allocates nothing.
#include <dlfcn.h>
#include <errno.h>
#include <netdb.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

using malloc_fn = void *(*)(size_t);

std::atomic<int> thread_calls{0};
std::atomic<int> cell_calls{0};
std::atomic<bool> listening{false};
// The real malloc; resolved before main by the constructor below, or on the
// first call if the loader allocates earlier.
std::atomic<malloc_fn> real_malloc{nullptr};

// True when `call` is one of the numbers in the "N,N,..." list.
bool planned(const char *plan, long call) {
    if (plan == nullptr) return false;
    const char *p = plan;
    while (*p != '\0') {
        char *end;
        long n = strtol(p, &end, 10);
        if (end == p) break;
        if (n == call) return true;
        if (*end != ',') break;
        p = end + 1;
    }
    return false;
}

const char *env(const char *name) {
    // getenv allocates nothing, and the environment is not changed after
    // start-up.
    return getenv(name);
}

malloc_fn resolve_malloc() {
    malloc_fn f = real_malloc.load();
    if (f == nullptr) {
        f = (malloc_fn)dlsym(RTLD_NEXT, "malloc");
        real_malloc.store(f);
    }
    return f;
}

__attribute__((constructor)) void shim_init() { resolve_malloc(); }

void pause_3s() {
    struct timespec ts = {3, 0};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }  // retry with what is left
}

bool slow_name(const char *name) {
    const char *slow = env("SLOT_SLOW_NAME");
    if (slow == nullptr || name == nullptr || strcmp(name, slow) != 0) return false;
    static const char line[] = "slow lookup\n";
    ssize_t ignored = write(2, line, sizeof line - 1);
    (void)ignored;
    pause_3s();
    return true;
}

}  // namespace

extern "C" int pthread_create(pthread_t *tid, const pthread_attr_t *attr, void *(*start)(void *),
                              void *arg) {
    using create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static create_fn real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    if (listening.load() && planned(env("SLOT_FAULT_THREAD"), ++thread_calls)) return EAGAIN;
    return real(tid, attr, start, arg);
}

extern "C" int listen(int fd, int backlog) {
    using listen_fn = int (*)(int, int);
    static listen_fn real = (listen_fn)dlsym(RTLD_NEXT, "listen");
    int rc = real(fd, backlog);
    if (rc == 0) listening.store(true);
    return rc;
}

extern "C" void *malloc(size_t size) {
    malloc_fn real = resolve_malloc();
    if (listening.load(std::memory_order_relaxed)) {
        bool fail = planned(env("SLOT_FAULT_MALLOC_SIZE"), (long)size);
        if (!fail && size == sizeof(int) && gettid() == getpid())
            fail = planned(env("SLOT_FAULT_CELL"), ++cell_calls);
        if (fail) {
            errno = ENOMEM;
            return nullptr;
        }
    }
    return real(size);
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
