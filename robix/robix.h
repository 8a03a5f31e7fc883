// robix: error reporters, error-checking wrappers, robust buffered I/O,
// socket helpers and the accept loop's shared steps, for the three proxies.
// Built in two editions from one source: the common edition, and slotproxy's
// edition (ROBIX_SLOT_EDITION), where some wrappers end only the calling
// thread and gethostbyname_ts copies host entries under the library's
// semaphore `mutex`. open_clientfd resolves with storage of its own in both.
//
// The library's state: the program's own listening port (set_own_listener,
// written at start-up only) and, in the slot edition, `mutex`. Lower-case
// functions report failure by result and print nothing; capitalised wrappers
// print "<Name> error: <text>" and never return a failure to their caller.
#ifndef ROBIX_H
#define ROBIX_H

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

// Size of the read buffer inside every rio_t.
constexpr int RIO_BUFSIZE = 8192;
// Backlog of every listening socket opened by open_listenfd.
constexpr int LISTENQ = 1024;
// How long the kernel holds a new connection that has sent nothing before
// handing it to accept regardless (defer_accept).
constexpr int DEFER_ACCEPT_SECONDS = 1;
// What close_after_reply's lingering close discards at most, and for how long.
constexpr size_t LINGER_MAX_BYTES = 65536;
constexpr int LINGER_MAX_MS = 2000;

// The type of a signal handler, as taken and returned by Signal.
typedef void handler_t(int);

// A read buffer bound to one descriptor. When rio_cnt > 0, the rio_cnt bytes
// starting at rio_bufptr lie inside rio_buf and have not been handed out yet;
// rio_cnt <= 0 means empty (-1 after a failed read, 0 after end of file).
// Owned by its caller; never shared between threads; never closes rio_fd.
// rio_deadline: 0 for none, else the CLOCK_MONOTONIC millisecond by which
// every later refill must have found bytes (rio_setdeadline).
struct rio_t {
    int rio_fd;
    int rio_cnt;
    char *rio_bufptr;
    char rio_buf[RIO_BUFSIZE];
    long long rio_deadline;
};

// ---- Reporters: none of them returns. ----
// Each writes one line to standard error and ends the process with status 1
// (an error must not look like success to a parent or service manager).
[[noreturn]] void unix_error(const char *msg);            // "msg: strerror(errno)"
[[noreturn]] void posix_error(int code, const char *msg);  // "msg: strerror(code)"
[[noreturn]] void dns_error(const char *msg);             // "msg: DNS error h_errno"
[[noreturn]] void app_error(const char *msg);             // "msg"
#ifdef ROBIX_SLOT_EDITION
// "msg: strerror(errno)", then pthread_exit(NULL): only the caller ends.
// Cleanup handlers and destructors of the calling thread run (forced unwind),
// so a thread can release what it holds with pthread_cleanup_push.
[[noreturn]] void thread_error(const char *msg);
#endif

// ---- Process control ----
pid_t Fork(void);
void Execve(const char *filename, char *const argv[], char *const envp[]);
pid_t Wait(int *status);
pid_t Waitpid(pid_t pid, int *iptr, int options);
void Kill(pid_t pid, int signum);
unsigned int Sleep(unsigned int secs);
void Pause(void);
unsigned int Alarm(unsigned int seconds);
void Setpgid(pid_t pid, pid_t pgid);
pid_t Getpgrp(void);

// ---- Signals ----
// Installs handler with an empty sa_mask and SA_RESTART; returns the old one.
handler_t *Signal(int signum, handler_t *handler);
void Sigprocmask(int how, const sigset_t *set, sigset_t *oldset);
void Sigemptyset(sigset_t *set);
void Sigfillset(sigset_t *set);
void Sigaddset(sigset_t *set, int signum);
void Sigdelset(sigset_t *set, int signum);
int Sigismember(const sigset_t *set, int signum);

// ---- Unix I/O ----
int Open(const char *pathname, int flags, mode_t mode);
ssize_t Read(int fd, void *buf, size_t count);
ssize_t Write(int fd, const void *buf, size_t count);
off_t Lseek(int fildes, off_t offset, int whence);
void Close(int fd);
int Select(int n, fd_set *readfds, fd_set *writefds, fd_set *exceptfds, struct timeval *timeout);
int Dup2(int fd1, int fd2);
void Stat(const char *filename, struct stat *buf);
void Fstat(int fd, struct stat *buf);

// ---- Memory mapping ----
void *Mmap(void *addr, size_t len, int prot, int flags, int fd, off_t offset);
void Munmap(void *start, size_t length);

// ---- Dynamic storage ----
void *Malloc(size_t size);
void *Realloc(void *ptr, size_t size);
void *Calloc(size_t nmemb, size_t size);
void Free(void *ptr);

// ---- Standard I/O ----
void Fclose(FILE *fp);
FILE *Fdopen(int fd, const char *type);
char *Fgets(char *ptr, int n, FILE *stream);  // null at end of file, no report
FILE *Fopen(const char *filename, const char *mode);
void Fputs(const char *ptr, FILE *stream);
size_t Fread(void *ptr, size_t size, size_t nmemb, FILE *stream);  // short at EOF
void Fwrite(const void *ptr, size_t size, size_t nmemb, FILE *stream);

// ---- Sockets ----
int Socket(int domain, int type, int protocol);
void Setsockopt(int s, int level, int optname, const void *optval, socklen_t optlen);
void Bind(int sockfd, const struct sockaddr *my_addr, socklen_t addrlen);
void Listen(int s, int backlog);
int Accept(int s, struct sockaddr *addr, socklen_t *addrlen);
void Connect(int sockfd, const struct sockaddr *serv_addr, socklen_t addrlen);

// ---- Resolver (the entry belongs to the resolver) ----
struct hostent *Gethostbyname(const char *name);
struct hostent *Gethostbyaddr(const char *addr, int len, int type);

// ---- Threads ----
void Pthread_create(pthread_t *tidp, pthread_attr_t *attrp, void *(*routine)(void *), void *argp);
void Pthread_join(pthread_t tid, void **thread_return);
void Pthread_cancel(pthread_t tid);
void Pthread_detach(pthread_t tid);
[[noreturn]] void Pthread_exit(void *retval);
pthread_t Pthread_self(void);
void Pthread_once(pthread_once_t *once_control, void (*init_function)());

// ---- POSIX semaphores ----
void Sem_init(sem_t *sem, int pshared, unsigned int value);
void P(sem_t *sem);  // sem_wait, resumed after EINTR
void V(sem_t *sem);  // sem_post

// ---- Robust I/O ----
// rio_readn/rio_writen: unbuffered, never short except at end of file;
// -1 with errno on failure. EINTR is always resumed.
ssize_t rio_readn(int fd, void *usrbuf, size_t n);
ssize_t rio_writen(int fd, const void *usrbuf, size_t n);
void rio_readinitb(rio_t *rp, int fd);
// Gives every later refill of rp, together, at most timeout_ms from now: a
// refill that finds nothing waits only for the time left, and once it is gone
// the read fails with -1 and errno EAGAIN (rio_cnt -1, as for any failed
// read). A total, not a gap: a peer that dribbles a byte now and then is still
// cut off when the time is up. timeout_ms <= 0 removes the deadline.
// rio_readinitb starts a record without one. Cannot fail.
void rio_setdeadline(rio_t *rp, int timeout_ms);
// rio_linebuffered: whether a line end is among the bytes rp holds that were
// read from the descriptor and not handed out yet, so that the next
// rio_readlineb returns without reading the descriptor. Reads nothing;
// cannot fail.
bool rio_linebuffered(const rio_t *rp);
// rio_readlineb_kept: one line as rio_readlineb reads it (at most maxlen - 1
// bytes up to and including a newline, then a NUL), but a read that fails
// after part of the line has arrived keeps that part: the bytes stored (0 at
// end of file before any byte, or when the failure came first), with *err
// the failed read's errno (0 when no read failed). For relays, where an
// origin's last line may have no line end and a reset or time-out right
// after it must not lose it.
ssize_t rio_readlineb_kept(rio_t *rp, void *usrbuf, size_t maxlen, int *err);
ssize_t rio_readnb(rio_t *rp, void *usrbuf, size_t n);
// Stores at most maxlen - 1 bytes up to and including a newline, then a NUL.
// 0 at end of file before any byte (usrbuf untouched); -1 on error (bytes
// stored so far stay, unterminated). maxlen < 2 stores nothing and returns 0.
ssize_t rio_readlineb(rio_t *rp, void *usrbuf, size_t maxlen);

ssize_t Rio_readn(int fd, void *ptr, size_t nbytes);
void Rio_writen(int fd, const void *usrbuf, size_t n);
void Rio_readinitb(rio_t *rp, int fd);
ssize_t Rio_readnb(rio_t *rp, void *usrbuf, size_t n);
ssize_t Rio_readlineb(rio_t *rp, void *usrbuf, size_t maxlen);

// ---- Client and listening sockets ----
// open_clientfd: a connected descriptor; -1 when socket or connect failed
// (errno), -2 when the lookup failed (h_errno), -3 when the entry holds no
// address. The socket it made is closed on every failure. A dotted address
// is taken as it is; a name goes to the reentrant resolver with storage of
// the call's own and no lock held, so lookups never wait for each other. An
// address of this machine at the port given to set_own_listener is refused
// without connecting: -1 with ECONNREFUSED.
int open_clientfd(const char *hostname, int port);
// host_address: the first IPv4 address of hostname in *addr: 0; -2 when the
// lookup failed (h_errno), -3 when the entry holds no address (*addr then
// unchanged). Thread-safe; takes no lock.
int host_address(const char *hostname, struct in_addr *addr);
// set_socket_timeout: makes reads (option SO_RCVTIMEO) or writes
// (SO_SNDTIMEO) on fd fail with EAGAIN once no byte has moved for millis;
// setsockopt's result (-1 with errno, the socket left as it was).
int set_socket_timeout(int fd, int option, int millis);
// set_own_listener: remembers the port listenfd is bound to as the
// program's own, for open_clientfd and is_own_endpoint. Start-up only, before
// any thread exists. A descriptor without an IPv4 address changes nothing.
void set_own_listener(int listenfd);
// is_local_address: addr (network order) is in 127.0.0.0/8, is 0.0.0.0 or
// belongs to a local interface (or the interfaces could not be listed). is_own_endpoint: that, and the low 16 bits of
// port are the remembered own port (never true before set_own_listener).
bool is_local_address(struct in_addr addr);
bool is_own_endpoint(struct in_addr addr, int port);
// open_listenfd: a descriptor listening on every local interface with
// SO_REUSEADDR and backlog LISTENQ, accept deferred (defer_accept); -1
// (errno) with the socket closed.
int open_listenfd(int port);
// defer_accept: accept on listenfd returns a connection once its first bytes
// are in, or DEFER_ACCEPT_SECONDS (about; the kernel counts in handshake
// retries) after it was made when it stays silent. Failure changes nothing.
void defer_accept(int listenfd);
int Open_clientfd(const char *hostname, int port);
int Open_listenfd(int port);

// ---- Closing a connection after its reply ----
// Closes fd at once when the kernel holds no unread byte of it and nothing of
// what was written is unsent; otherwise shuts its sending side and discards
// what the peer still sends (at most LINGER_MAX_BYTES, for LINGER_MAX_MS)
// before closing, so that no reset destroys the reply's tail. Returns what
// close returned (0, or -1 with errno); the descriptor is gone either way.
int close_after_reply(int fd);
// A reply may go out before the request that asked for it has all arrived
// (a hit is answered as soon as its request line is read), and a close would
// meet the rest with a reset. Unless the bytes rp holds unread already end
// the header block that followed the request line, shuts the sending side of
// rp's descriptor (the browser sees the reply end) and discards what the
// browser still sends until it closes (at most LINGER_MAX_BYTES, for
// LINGER_MAX_MS). The descriptor stays open for close_after_reply.
void await_request_end(const rio_t *rp);
// Whether the bytes rp holds unread include an empty line at their start or
// after a line end: the end of the header block after a request line read.
bool rio_holds_header_end(const rio_t *rp);

// ---- Start-up and the accept loop ----
// How long an accept loop pauses when descriptors, memory or threads have run
// out: the pending connection stays queued, and retrying at once would spin.
constexpr long RESOURCE_PAUSE_MS = 50;
// Sleeps for millis, resumed with the time left after a signal. Cannot fail.
void pause_ms(long millis);
// Raises the soft limit on open descriptors to the hard one: each miss holds
// two, and the usual soft limit of 1024 would cap a proxy at a few hundred
// browsers while the hard limit is far higher. Start-up only. Silent; on
// failure the soft limit stays.
void raise_descriptor_limit(void);
// Pauses RESOURCE_PAUSE_MS when accept failed with err for want of
// descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM); returns at once
// for any other err. Which failures end a program is each program's own.
void accept_failure_pause(int err);

#ifdef ROBIX_SLOT_EDITION
// Serialises gethostbyname_ts; open_clientfd takes no lock. The program
// initialises it to 1 with Sem_init at start-up.
extern sem_t mutex;
// A private deep copy of the host entry (name, aliases and addresses copied
// while `mutex` is held) in one block the caller releases with free; null
// when the lookup failed (h_errno tells why).
struct hostent *gethostbyname_ts(const char *name);
#endif

#endif  // ROBIX_H
