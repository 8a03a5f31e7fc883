// robix: the one source of both library editions. The common edition is the
// default; ROBIX_SLOT_EDITION selects slotproxy's, which differs only where an
// #ifdef says so. Owns the lookup semaphore `mutex` (slot edition); no other
// state. Every function may be called from any thread.
#include "robix.h"

#include <ifaddrs.h>
#include <poll.h>
#include <stddef.h>
#include <sys/resource.h>
#include <time.h>

// ---------------------------------------------------------------- reporters

void unix_error(const char *msg) {
    fprintf(stderr, "%s: %s\n", msg, strerror(errno));
    exit(1);
}

void posix_error(int code, const char *msg) {
    fprintf(stderr, "%s: %s\n", msg, strerror(code));
    exit(1);
}

void dns_error(const char *msg) {
    fprintf(stderr, "%s: DNS error %d\n", msg, h_errno);
    exit(1);
}

void app_error(const char *msg) {
    fprintf(stderr, "%s\n", msg);
    exit(1);
}

#ifdef ROBIX_SLOT_EDITION
void thread_error(const char *msg) {
    fprintf(stderr, "%s: %s\n", msg, strerror(errno));
    pthread_exit(NULL);
}
// The wrappers that end only the calling thread in this edition.
#define ROBIX_THREAD_FAIL(msg) thread_error(msg)
#else
#define ROBIX_THREAD_FAIL(msg) unix_error(msg)
#endif

// ---------------------------------------------------------------- process control

pid_t Fork(void) {
    pid_t pid = fork();
    if (pid < 0) unix_error("Fork error");
    return pid;
}

void Execve(const char *filename, char *const argv[], char *const envp[]) {
    if (execve(filename, argv, envp) < 0) unix_error("Execve error");
}

pid_t Wait(int *status) {
    pid_t pid = wait(status);
    if (pid < 0) unix_error("Wait error");
    return pid;
}

pid_t Waitpid(pid_t pid, int *iptr, int options) {
    pid_t retpid = waitpid(pid, iptr, options);
    if (retpid < 0) unix_error("Waitpid error");
    return retpid;
}

void Kill(pid_t pid, int signum) {
    if (kill(pid, signum) < 0) unix_error("Kill error");
}

unsigned int Sleep(unsigned int secs) { return sleep(secs); }

void Pause(void) { (void)pause(); }

unsigned int Alarm(unsigned int seconds) { return alarm(seconds); }

void Setpgid(pid_t pid, pid_t pgid) {
    if (setpgid(pid, pgid) < 0) unix_error("Setpgid error");
}

pid_t Getpgrp(void) { return getpgrp(); }

// ---------------------------------------------------------------- signals

handler_t *Signal(int signum, handler_t *handler) {
    struct sigaction action, old_action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);  // block nothing more while it runs
    action.sa_flags = SA_RESTART;  // resume slow calls it interrupts
    if (sigaction(signum, &action, &old_action) < 0) unix_error("Signal error");
    return old_action.sa_handler;
}

void Sigprocmask(int how, const sigset_t *set, sigset_t *oldset) {
    if (sigprocmask(how, set, oldset) < 0) unix_error("Sigprocmask error");
}

void Sigemptyset(sigset_t *set) {
    if (sigemptyset(set) < 0) unix_error("Sigemptyset error");
}

void Sigfillset(sigset_t *set) {
    if (sigfillset(set) < 0) unix_error("Sigfillset error");
}

void Sigaddset(sigset_t *set, int signum) {
    if (sigaddset(set, signum) < 0) unix_error("Sigaddset error");
}

void Sigdelset(sigset_t *set, int signum) {
    if (sigdelset(set, signum) < 0) unix_error("Sigdelset error");
}

int Sigismember(const sigset_t *set, int signum) {
    int rc = sigismember(set, signum);
    if (rc < 0) unix_error("Sigismember error");
    return rc;
}

// ---------------------------------------------------------------- Unix I/O

int Open(const char *pathname, int flags, mode_t mode) {
    int rc = open(pathname, flags, mode);
    if (rc < 0) unix_error("Open error");
    return rc;
}

ssize_t Read(int fd, void *buf, size_t count) {
    ssize_t rc = read(fd, buf, count);
    if (rc < 0) unix_error("Read error");
    return rc;
}

ssize_t Write(int fd, const void *buf, size_t count) {
    ssize_t rc = write(fd, buf, count);
    if (rc < 0) unix_error("Write error");
    return rc;
}

off_t Lseek(int fildes, off_t offset, int whence) {
    off_t rc = lseek(fildes, offset, whence);
    if (rc < 0) unix_error("Lseek error");
    return rc;
}

// Never retried: after close returns, even with EINTR, the descriptor is gone.
void Close(int fd) {
    if (close(fd) < 0) ROBIX_THREAD_FAIL("Close error");
}

int Select(int n, fd_set *readfds, fd_set *writefds, fd_set *exceptfds, struct timeval *timeout) {
    int rc = select(n, readfds, writefds, exceptfds, timeout);
    if (rc < 0) unix_error("Select error");
    return rc;
}

int Dup2(int fd1, int fd2) {
    int rc = dup2(fd1, fd2);
    if (rc < 0) unix_error("Dup2 error");
    return rc;
}

void Stat(const char *filename, struct stat *buf) {
    if (stat(filename, buf) < 0) unix_error("Stat error");
}

void Fstat(int fd, struct stat *buf) {
    if (fstat(fd, buf) < 0) unix_error("Fstat error");
}

// ---------------------------------------------------------------- memory mapping

void *Mmap(void *addr, size_t len, int prot, int flags, int fd, off_t offset) {
    void *ptr = mmap(addr, len, prot, flags, fd, offset);
    if (ptr == MAP_FAILED) unix_error("mmap error");
    return ptr;
}

void Munmap(void *start, size_t length) {
    if (munmap(start, length) < 0) unix_error("munmap error");
}

// ---------------------------------------------------------------- dynamic storage

void *Malloc(size_t size) {
    void *p = malloc(size);
    if (p == NULL) unix_error("Malloc error");
    return p;
}

void *Realloc(void *ptr, size_t size) {
    void *p = realloc(ptr, size);
    if (p == NULL) unix_error("Realloc error");
    return p;
}

void *Calloc(size_t nmemb, size_t size) {
    void *p = calloc(nmemb, size);
    if (p == NULL) unix_error("Calloc error");
    return p;
}

void Free(void *ptr) { free(ptr); }

// ---------------------------------------------------------------- standard I/O

void Fclose(FILE *fp) {
    if (fclose(fp) != 0) unix_error("Fclose error");
}

FILE *Fdopen(int fd, const char *type) {
    FILE *fp = fdopen(fd, type);
    if (fp == NULL) unix_error("Fdopen error");
    return fp;
}

char *Fgets(char *ptr, int n, FILE *stream) {
    char *rptr = fgets(ptr, n, stream);
    if (rptr == NULL && ferror(stream)) app_error("Fgets error");
    return rptr;
}

FILE *Fopen(const char *filename, const char *mode) {
    FILE *fp = fopen(filename, mode);
    if (fp == NULL) unix_error("Fopen error");
    return fp;
}

void Fputs(const char *ptr, FILE *stream) {
    if (fputs(ptr, stream) == EOF) unix_error("Fputs error");
}

size_t Fread(void *ptr, size_t size, size_t nmemb, FILE *stream) {
    size_t n = fread(ptr, size, nmemb, stream);
    if (n < nmemb && ferror(stream)) unix_error("Fread error");
    return n;
}

void Fwrite(const void *ptr, size_t size, size_t nmemb, FILE *stream) {
    if (fwrite(ptr, size, nmemb, stream) < nmemb) unix_error("Fwrite error");
}

// ---------------------------------------------------------------- sockets

int Socket(int domain, int type, int protocol) {
    int rc = socket(domain, type, protocol);
    if (rc < 0) ROBIX_THREAD_FAIL("Socket error");
    return rc;
}

void Setsockopt(int s, int level, int optname, const void *optval, socklen_t optlen) {
    if (setsockopt(s, level, optname, optval, optlen) < 0) ROBIX_THREAD_FAIL("Setsockopt error");
}

void Bind(int sockfd, const struct sockaddr *my_addr, socklen_t addrlen) {
    if (bind(sockfd, my_addr, addrlen) < 0) unix_error("Bind error");
}

void Listen(int s, int backlog) {
    if (listen(s, backlog) < 0) unix_error("Listen error");
}

int Accept(int s, struct sockaddr *addr, socklen_t *addrlen) {
    int rc = accept(s, addr, addrlen);
    if (rc < 0) ROBIX_THREAD_FAIL("Accept error");
    return rc;
}

void Connect(int sockfd, const struct sockaddr *serv_addr, socklen_t addrlen) {
    if (connect(sockfd, serv_addr, addrlen) < 0) unix_error("Connect error");
}

// ---------------------------------------------------------------- resolver

struct hostent *Gethostbyname(const char *name) {
    struct hostent *p = gethostbyname(name);
    if (p == NULL) dns_error("Gethostbyname error");
    return p;
}

struct hostent *Gethostbyaddr(const char *addr, int len, int type) {
    struct hostent *p = gethostbyaddr(addr, (socklen_t)len, type);
    if (p == NULL) dns_error("Gethostbyaddr error");
    return p;
}

// ---------------------------------------------------------------- threads

void Pthread_create(pthread_t *tidp, pthread_attr_t *attrp, void *(*routine)(void *), void *argp) {
    int rc = pthread_create(tidp, attrp, routine, argp);
    if (rc != 0) {
#ifdef ROBIX_SLOT_EDITION
        // pthread_create reports by its result, not errno: pass that code on
        // so the line names the real cause.
        errno = rc;
        thread_error("Pthread_create error");
#else
        posix_error(rc, "Pthread_create error");
#endif
    }
}

void Pthread_cancel(pthread_t tid) {
    int rc = pthread_cancel(tid);
    if (rc != 0) posix_error(rc, "Pthread_cancel error");
}

void Pthread_join(pthread_t tid, void **thread_return) {
    int rc = pthread_join(tid, thread_return);
    if (rc != 0) posix_error(rc, "Pthread_join error");
}

void Pthread_detach(pthread_t tid) {
    int rc = pthread_detach(tid);
    if (rc != 0) posix_error(rc, "Pthread_detach error");
}

void Pthread_exit(void *retval) { pthread_exit(retval); }

pthread_t Pthread_self(void) { return pthread_self(); }

void Pthread_once(pthread_once_t *once_control, void (*init_function)()) {
    pthread_once(once_control, init_function);
}

// ---------------------------------------------------------------- semaphores

void Sem_init(sem_t *sem, int pshared, unsigned int value) {
    if (sem_init(sem, pshared, value) < 0) unix_error("Sem_init error");
}

void P(sem_t *sem) {
    // A signal handled while waiting is no failure of the semaphore: retry.
    int rc;
    do {
        rc = sem_wait(sem);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) ROBIX_THREAD_FAIL("P error");
}

void V(sem_t *sem) {
    if (sem_post(sem) < 0) ROBIX_THREAD_FAIL("V error");
}

// ---------------------------------------------------------------- robust I/O

bool rio_linebuffered(const rio_t *rp) {
    return rp->rio_cnt > 0 && memchr(rp->rio_bufptr, '\n', (size_t)rp->rio_cnt) != nullptr;
}

ssize_t rio_readlineb_kept(rio_t *rp, void *usrbuf, size_t maxlen, int *err) {
    char *buf = static_cast<char *>(usrbuf);
    size_t n = 0;
    *err = 0;
    if (maxlen < 2) return 0;
    while (n < maxlen - 1) {
        // Each call takes only what the buffer holds, or one byte that
        // refills it, so it reads the descriptor at most once: when that read
        // fails, every byte stored before it is already counted in n.
        size_t want = rp->rio_cnt > 0 ? (size_t)rp->rio_cnt : 1;
        if (want > maxlen - 1 - n) want = maxlen - 1 - n;
        ssize_t m = rio_readlineb(rp, buf + n, want + 1);
        if (m < 0) {
            *err = errno;
            break;
        }
        if (m == 0) break;  // the end of the stream
        n += (size_t)m;
        if (buf[n - 1] == '\n') break;
    }
    buf[n] = '\0';
    return (ssize_t)n;
}

ssize_t rio_readn(int fd, void *usrbuf, size_t n) {
    size_t nleft = n;
    char *bufp = static_cast<char *>(usrbuf);
    while (nleft > 0) {
        ssize_t nread = read(fd, bufp, nleft);
        if (nread < 0) {
            if (errno == EINTR) continue;  // retry: nothing was read
            return -1;
        }
        if (nread == 0) break;  // end of file
        nleft -= (size_t)nread;
        bufp += nread;
    }
    return (ssize_t)(n - nleft);
}

ssize_t rio_writen(int fd, const void *usrbuf, size_t n) {
    size_t nleft = n;
    const char *bufp = static_cast<const char *>(usrbuf);
    while (nleft > 0) {
        ssize_t nwritten = write(fd, bufp, nleft);
        if (nwritten <= 0) {
            if (errno == EINTR) continue;  // retry: nothing was written
            return -1;
        }
        nleft -= (size_t)nwritten;
        bufp += nwritten;
    }
    return (ssize_t)n;
}

void rio_readinitb(rio_t *rp, int fd) {
    rp->rio_fd = fd;
    rp->rio_cnt = 0;
    rp->rio_bufptr = rp->rio_buf;
    rp->rio_deadline = 0;
}

static long long monotonic_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

void rio_setdeadline(rio_t *rp, int timeout_ms) {
    rp->rio_deadline = timeout_ms > 0 ? monotonic_ms() + timeout_ms : 0;
}

// One read of up to a whole buffer that waits no longer than the record's
// deadline: -1 with EAGAIN once it has passed. A socket is first read without
// waiting, so a request whose bytes are already in costs no extra call; only
// when nothing is there does it poll for the time left.
static ssize_t rio_read_by_deadline(rio_t *rp) {
    bool socket = true;
    for (;;) {
        if (socket) {
            ssize_t n = recv(rp->rio_fd, rp->rio_buf, sizeof rp->rio_buf, MSG_DONTWAIT);
            if (n >= 0) return n;
            if (errno == ENOTSOCK)
                socket = false;
            else if (errno != EAGAIN && errno != EWOULDBLOCK)
                return -1;
        }
        long long left = rp->rio_deadline - monotonic_ms();
        if (left <= 0) {
            errno = EAGAIN;
            return -1;
        }
        struct pollfd pfd = {rp->rio_fd, POLLIN, 0};
        int ready = poll(&pfd, 1, left > 3600000 ? 3600000 : (int)left);
        if (ready < 0) return -1;  // EINTR included: the caller retries
        if (ready == 0) {
            errno = EAGAIN;
            return -1;
        }
        // Not a socket (a pipe in tests): it is readable now, so a plain
        // read does not wait.
        if (!socket) return read(rp->rio_fd, rp->rio_buf, sizeof rp->rio_buf);
    }
}

// Refill step: hands out up to n buffered bytes, reading the descriptor (up to
// a whole buffer) only when nothing is buffered. n must be at least 1.
static ssize_t rio_read(rio_t *rp, char *usrbuf, size_t n) {
    while (rp->rio_cnt <= 0) {
        rp->rio_cnt = rp->rio_deadline == 0
                          ? (int)read(rp->rio_fd, rp->rio_buf, sizeof rp->rio_buf)
                          : (int)rio_read_by_deadline(rp);
        if (rp->rio_cnt < 0) {
            if (errno != EINTR) return -1;  // EINTR: retry
        } else if (rp->rio_cnt == 0) {
            return 0;
        } else {
            rp->rio_bufptr = rp->rio_buf;
        }
    }
    size_t cnt = n < (size_t)rp->rio_cnt ? n : (size_t)rp->rio_cnt;
    memcpy(usrbuf, rp->rio_bufptr, cnt);
    rp->rio_bufptr += cnt;
    rp->rio_cnt -= (int)cnt;
    return (ssize_t)cnt;
}

ssize_t rio_readnb(rio_t *rp, void *usrbuf, size_t n) {
    size_t nleft = n;
    char *bufp = static_cast<char *>(usrbuf);
    while (nleft > 0) {
        ssize_t nread = rio_read(rp, bufp, nleft);
        if (nread < 0) return -1;
        if (nread == 0) break;
        nleft -= (size_t)nread;
        bufp += nread;
    }
    return (ssize_t)(n - nleft);
}

ssize_t rio_readlineb(rio_t *rp, void *usrbuf, size_t maxlen) {
    if (maxlen < 2) return 0;  // no room for a byte and its terminator
    char *bufp = static_cast<char *>(usrbuf);
    size_t n = 0;
    while (n < maxlen - 1) {
        if (rp->rio_cnt <= 0) {
            // Empty: refill exactly as a byte-at-a-time reader would, then
            // take the run that follows from the buffer.
            char c;
            ssize_t rc = rio_read(rp, &c, 1);
            if (rc < 0) return -1;
            if (rc == 0) {
                if (n == 0) return 0;  // end of file before any byte
                break;
            }
            bufp[n++] = c;
            if (c == '\n') break;
            continue;
        }
        // The buffered run up to and including a newline, within the room
        // left, in one copy: the same bytes and the same reads of the
        // descriptor as taking them one at a time.
        size_t room = maxlen - 1 - n;
        size_t avail = (size_t)rp->rio_cnt < room ? (size_t)rp->rio_cnt : room;
        const char *nl = static_cast<const char *>(memchr(rp->rio_bufptr, '\n', avail));
        size_t take = nl != NULL ? (size_t)(nl - rp->rio_bufptr) + 1 : avail;
        memcpy(bufp + n, rp->rio_bufptr, take);
        rp->rio_bufptr += take;
        rp->rio_cnt -= (int)take;
        n += take;
        if (nl != NULL) break;
    }
    bufp[n] = '\0';
    return (ssize_t)n;
}

ssize_t Rio_readn(int fd, void *ptr, size_t nbytes) {
    ssize_t n = rio_readn(fd, ptr, nbytes);
    if (n < 0) ROBIX_THREAD_FAIL("Rio_readn error");
    return n;
}

void Rio_writen(int fd, const void *usrbuf, size_t n) {
    if (rio_writen(fd, usrbuf, n) != (ssize_t)n) ROBIX_THREAD_FAIL("Rio_writen error");
}

void Rio_readinitb(rio_t *rp, int fd) { rio_readinitb(rp, fd); }

ssize_t Rio_readnb(rio_t *rp, void *usrbuf, size_t n) {
    ssize_t rc = rio_readnb(rp, usrbuf, n);
    if (rc < 0) ROBIX_THREAD_FAIL("Rio_readnb error");
    return rc;
}

ssize_t Rio_readlineb(rio_t *rp, void *usrbuf, size_t maxlen) {
    ssize_t rc = rio_readlineb(rp, usrbuf, maxlen);
    if (rc < 0) ROBIX_THREAD_FAIL("Rio_readlineb error");
    return rc;
}

// ---------------------------------------------------------------- host lookup

#ifdef ROBIX_SLOT_EDITION
sem_t mutex;

// Rounds an offset up so that a pointer array placed there is aligned.
static size_t align_up(size_t off) {
    const size_t a = alignof(char *);
    return (off + a - 1) / a * a;
}

struct hostent *gethostbyname_ts(const char *name) {
    P(&mutex);
    struct hostent *shared = gethostbyname(name);
    if (shared == NULL) {
        int saved = h_errno;
        V(&mutex);
        h_errno = saved;
        return NULL;
    }
    // The resolver's entry is overwritten by the next lookup in any thread,
    // so everything it points to is copied into one block before the lock is
    // given back: the record, both pointer lists, the name, aliases and
    // addresses. The caller frees the block with free().
    size_t naliases = 0, naddrs = 0, strbytes = strlen(shared->h_name) + 1;
    for (char **a = shared->h_aliases; a && *a; a++, naliases++) strbytes += strlen(*a) + 1;
    for (char **a = shared->h_addr_list; a && *a; a++) naddrs++;
    size_t addrlen = shared->h_length > 0 ? (size_t)shared->h_length : 0;
    size_t lists_off = align_up(sizeof(struct hostent));
    size_t data_off = lists_off + (naliases + 1 + naddrs + 1) * sizeof(char *);
    size_t total = data_off + naddrs * addrlen + strbytes;

    char *block = static_cast<char *>(Malloc(total));
    struct hostent *copy = reinterpret_cast<struct hostent *>(block);
    char **aliases = reinterpret_cast<char **>(block + lists_off);
    char **addrs = aliases + naliases + 1;
    char *data = block + data_off;

    copy->h_addrtype = shared->h_addrtype;
    copy->h_length = shared->h_length;
    for (size_t i = 0; i < naddrs; i++) {
        memcpy(data, shared->h_addr_list[i], addrlen);
        addrs[i] = data;
        data += addrlen;
    }
    addrs[naddrs] = NULL;
    for (size_t i = 0; i < naliases; i++) {
        size_t len = strlen(shared->h_aliases[i]) + 1;
        memcpy(data, shared->h_aliases[i], len);
        aliases[i] = data;
        data += len;
    }
    aliases[naliases] = NULL;
    memcpy(data, shared->h_name, strlen(shared->h_name) + 1);
    copy->h_name = data;
    copy->h_aliases = aliases;
    copy->h_addr_list = addrs;
    V(&mutex);
    return copy;
}
#endif

// Both editions resolve names with the reentrant resolver and storage of the
// call's own, holding no lock: lookups in many threads at once never see each
// other's answers, and a slow one never makes another wait. *hp points
// into *work, which the caller frees. Returns 0, or -1 with h_errno set.
static int lookup_host(const char *name, struct hostent *entry, struct hostent **hp, char **work) {
    size_t worklen = 1024;
    *work = NULL;
    for (;;) {
        char *grown = static_cast<char *>(realloc(*work, worklen));
        if (grown == NULL) {
            h_errno = NO_RECOVERY;
            return -1;
        }
        *work = grown;
        int herr = 0;
        int rc = gethostbyname_r(name, entry, *work, worklen, hp, &herr);
        if (rc == ERANGE && worklen < (1u << 20)) {
            worklen *= 2;  // answer larger than the work space: grow, retry
            continue;
        }
        if (rc != 0 || *hp == NULL) {
            h_errno = herr != 0 ? herr : HOST_NOT_FOUND;
            return -1;
        }
        return 0;
    }
}

// ---------------------------------------------------------------- client and listening sockets

int host_address(const char *hostname, struct in_addr *addr) {
    // A dotted address needs no resolver at all.
    if (inet_aton(hostname, addr) != 0) return 0;
    struct hostent entry, *hp = NULL;
    char *work = NULL;
    if (lookup_host(hostname, &entry, &hp, &work) < 0) {
        int saved = h_errno;
        free(work);
        h_errno = saved;
        return -2;
    }
    int result = 0;
    if (hp->h_addr_list[0] == NULL) {
        result = -3;
    } else {
        size_t len = (size_t)hp->h_length;
        memset(addr, 0, sizeof *addr);
        memcpy(addr, hp->h_addr_list[0], len < sizeof *addr ? len : sizeof *addr);
    }
    free(work);
    return result;
}

// ---------------------------------------------------------------- the program's own port

// The listening port (host order) that open_clientfd must not reach on this
// machine; 0 for none. Written once at start-up, before any thread exists,
// and only read afterwards.
static int own_port = 0;

void set_own_listener(int listenfd) {
    struct sockaddr_in local;
    socklen_t len = sizeof local;
    if (getsockname(listenfd, (struct sockaddr *)&local, &len) == 0 && local.sin_family == AF_INET)
        own_port = ntohs(local.sin_port);
}

bool is_local_address(struct in_addr addr) {
    uint32_t host = ntohl(addr.s_addr);
    if ((host >> 24) == 127 || host == INADDR_ANY) return true;
    // Unknown counts as local: the caller asks only for its own port, and a
    // connection to itself (under exactly the load that makes this fail)
    // must never be the result.
    struct ifaddrs *list = NULL;
    if (getifaddrs(&list) < 0) return true;
    bool found = false;
    for (struct ifaddrs *i = list; i != NULL && !found; i = i->ifa_next) {
        if (i->ifa_addr == NULL || i->ifa_addr->sa_family != AF_INET) continue;
        found = ((struct sockaddr_in *)i->ifa_addr)->sin_addr.s_addr == addr.s_addr;
    }
    freeifaddrs(list);
    return found;
}

bool is_own_endpoint(struct in_addr addr, int port) {
    return own_port != 0 && (uint16_t)port == own_port && is_local_address(addr);
}

// ---------------------------------------------------------------- client and listening sockets

int set_socket_timeout(int fd, int option, int millis) {
    struct timeval tv = {millis / 1000, (millis % 1000) * 1000};
    return setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

int open_clientfd(const char *hostname, int port) {
    int clientfd = socket(AF_INET, SOCK_STREAM, 0);
    if (clientfd < 0) return -1;

    struct sockaddr_in serveraddr;
    memset(&serveraddr, 0, sizeof serveraddr);
    serveraddr.sin_family = AF_INET;
    int found = host_address(hostname, &serveraddr.sin_addr);
    if (found < 0) {
        int saved = h_errno;
        close(clientfd);
        h_errno = saved;
        return found;
    }
    serveraddr.sin_port = htons((uint16_t)port);  // low 16 bits only

    // A URL naming this very proxy would make it connect to itself, and a
    // URL nested in such a URL once more per level: one request could hold
    // any number of threads and descriptors.
    if (is_own_endpoint(serveraddr.sin_addr, port)) {
        close(clientfd);
        errno = ECONNREFUSED;
        return -1;
    }
    if (connect(clientfd, (struct sockaddr *)&serveraddr, sizeof serveraddr) < 0) {
        int saved = errno;
        close(clientfd);
        errno = saved;
        return -1;
    }
    return clientfd;
}

void defer_accept(int listenfd) {
    // Without it the accepting thread wakes, and a connection thread starts,
    // before the request has arrived, and that thread's first read only
    // waits. With it the kernel hands a connection over once its first bytes
    // are in, or after the deferral for one that stays silent, which is then
    // served like any other. A listener that refuses the option still works.
    int seconds = DEFER_ACCEPT_SECONDS;
    (void)setsockopt(listenfd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
}

int open_listenfd(int port) {
    int listenfd = socket(AF_INET, SOCK_STREAM, 0);
    if (listenfd < 0) return -1;

    // Lets a restarted program bind again while old connections linger.
    int optval = 1;
    struct sockaddr_in serveraddr;
    memset(&serveraddr, 0, sizeof serveraddr);
    serveraddr.sin_family = AF_INET;
    serveraddr.sin_addr.s_addr = htonl(INADDR_ANY);
    serveraddr.sin_port = htons((uint16_t)port);
    if (setsockopt(listenfd, SOL_SOCKET, SO_REUSEADDR, &optval, sizeof(int)) < 0 ||
        bind(listenfd, (struct sockaddr *)&serveraddr, sizeof serveraddr) < 0 ||
        listen(listenfd, LISTENQ) < 0) {
        int saved = errno;
        close(listenfd);
        errno = saved;
        return -1;
    }
    defer_accept(listenfd);
    return listenfd;
}

int Open_clientfd(const char *hostname, int port) {
    int rc = open_clientfd(hostname, port);
#ifdef ROBIX_SLOT_EDITION
    if (rc == -3) {
        printf("bcopy error\n");
        return -1;
    }
    if (rc < 0) {
        printf("invalid host\n");
        return -1;
    }
#else
    if (rc == -1) unix_error("Open_clientfd Unix error");
    if (rc < 0) dns_error("Open_clientfd DNS error");
#endif
    return rc;
}

int Open_listenfd(int port) {
    int rc = open_listenfd(port);
    if (rc < 0) unix_error("Open_listenfd error");
    return rc;
}

// ---------------------------------------------------------------- start-up and the accept loop

void pause_ms(long millis) {
    struct timespec ts = {millis / 1000, (millis % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }  // retry with what is left
}

void raise_descriptor_limit(void) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void accept_failure_pause(int err) {
    if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) pause_ms(RESOURCE_PAUSE_MS);
}

// ---------------------------------------------------------------- closing a browser connection

// Shuts fd's sending side, so the peer sees the reply end, then discards
// what it still sends until it closes, bounded in bytes and time.
static void linger(int fd) {
    if (shutdown(fd, SHUT_WR) != 0) return;
    char sink[8192];
    size_t discarded = 0;
    const long long deadline = monotonic_ms() + LINGER_MAX_MS;
    while (discarded < LINGER_MAX_BYTES) {
        const long long left = deadline - monotonic_ms();
        if (left <= 0) break;
        struct pollfd pfd = {fd, POLLIN, 0};
        int ready = poll(&pfd, 1, (int)left);
        if (ready < 0 && errno == EINTR) continue;  // retry with the time left
        if (ready <= 0) break;
        ssize_t n = read(fd, sink, sizeof sink);
        if (n < 0 && errno == EINTR) continue;  // retry
        if (n <= 0) break;                      // the browser closed, or reset
        discarded += (size_t)n;
    }
}

int close_after_reply(int fd) {
    // Closing a socket that still holds unread bytes makes the kernel send a
    // reset, and a reset destroys whatever of the reply the browser has not
    // read yet. Bytes the program read into its own buffer and left unused do
    // not count: only those the kernel still holds do. So close at once when
    // the kernel holds nothing unread AND nothing of the reply is unsent or
    // unacknowledged. The second check matters as much as the first: while
    // part of a large reply is still unsent, a browser may send a few late
    // bytes after its request; arriving at a socket already closed, they
    // would make the kernel reset and destroy the unsent part. When either
    // check finds bytes (or cannot tell), linger. Bytes of the request still
    // on their way are no check's to see: await_request_end waits for them.
    int unread = 0, unsent = 0;
    if (ioctl(fd, FIONREAD, &unread) == 0 && unread == 0 && ioctl(fd, SIOCOUTQ, &unsent) == 0 &&
        unsent == 0)
        return close(fd);
    linger(fd);
    // close() is never retried: the descriptor is gone whatever it returns.
    return close(fd);
}

bool rio_holds_header_end(const rio_t *rp) {
    const char *p = rp->rio_bufptr;
    const char *end = p + (rp->rio_cnt > 0 ? rp->rio_cnt : 0);
    // Each line start (the first, a block without header lines; then the
    // byte after each line end) is tried for an empty line.
    for (;;) {
        if (p < end && (*p == '\n' || (*p == '\r' && p + 1 < end && p[1] == '\n'))) return true;
        p = (const char *)memchr(p, '\n', (size_t)(end - p));
        if (p == nullptr) return false;
        p++;
    }
}

void await_request_end(const rio_t *rp) {
    if (!rio_holds_header_end(rp)) linger(rp->rio_fd);
}
