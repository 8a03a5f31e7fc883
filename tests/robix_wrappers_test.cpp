// Reporters and error-checking wrappers, built against both editions: a
// failing call prints exactly one line naming its wrapper and ends the process
// with status 1, except that in slotproxy's edition the rows marked THREAD end
// only the calling thread (its cleanup handlers run, the other threads carry
// on, what it held stays held); a succeeding call returns what the call
// returned and prints nothing; Signal installs restarting handlers and P
// outlasts a signal. The slot edition's initial-thread case runs in a child
// process started from this same binary (see main below).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdint.h>
#include <sys/syscall.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "robix.h"
#include "robix_test_support.h"

// Malloc(SIZE_MAX) must come back null for the wrapper to report it; the
// sanitizers' allocators would abort the process instead.
#ifdef ROBIX_TEST_ASAN
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
#endif
#ifdef ROBIX_TEST_TSAN
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

using namespace harness;
using namespace robix_test;

const char *MISSING = "/nonexistent-robix/file";

// Where the failing calls below may store: none gets that far.
char scratch[64];
struct stat scratch_stat;
const int ONE = 1;

// How a failing wrapper ends: the process in both editions, or only the
// calling thread in the slot edition (the process in the common one).
enum ends_t { PROCESS, THREAD };

struct failing_t {
    std::string line;  // the whole line, without its newline
    std::function<void()> call;
    ends_t ends = PROCESS;
};

#if defined(ROBIX_TEST_ASAN) || defined(ROBIX_TEST_TSAN)
// The sanitizer's allocator announces a refused allocation on a line of its
// own before the wrapper's report.
const char *const REFUSED_ALLOCATION =
    "(==[0-9]+==WARNING: [A-Za-z]+Sanitizer failed to allocate 0x[0-9a-f]+ bytes\n)?";
#else
const char *const REFUSED_ALLOCATION = "";
#endif

// The death-test matcher for exactly one line and nothing else on stderr.
std::string only_line(const std::string &line) {
    std::string re = line.find("allocate memory") != std::string::npos ? REFUSED_ALLOCATION : "";
    re = "^" + re;
    for (char c : line) {
        if (strchr(".[]{}()\\*+?^$|", c) != nullptr) re += '\\';
        re += c;
    }
    return re + "\n$";
}

#ifdef ROBIX_SLOT_EDITION
struct run_t {
    const failing_t *c;
    bool cleaned_up = false;     // the thread's cleanup handler ran
    bool reached_after = false;  // the call returned (it must not)
};

void mark_cleaned_up(void *arg) { static_cast<run_t *>(arg)->cleaned_up = true; }

void *run_failing(void *arg) {
    run_t *r = static_cast<run_t *>(arg);
    pthread_cleanup_push(mark_cleaned_up, r);
    r->c->call();
    r->reached_after = true;
    pthread_cleanup_pop(0);
    return r;
}

// Runs the call on a thread of its own and checks that exactly its line came
// out and that only that thread ended, through pthread_exit(NULL).
void expect_ends_thread(const failing_t &c) {
    run_t r;
    r.c = &c;
    testing::internal::CaptureStderr();
    pthread_t tid;
    ASSERT_EQ(pthread_create(&tid, nullptr, run_failing, &r), 0);
    void *ret = &r;
    ASSERT_EQ(pthread_join(tid, &ret), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line + "\n");
    EXPECT_EQ(ret, nullptr);
    EXPECT_TRUE(r.cleaned_up);
    EXPECT_FALSE(r.reached_after);
}
#endif

// Each call must print exactly its line and end the process with status 1,
// or, for a THREAD row in the slot edition, end only its own thread.
void expect_each_fails(const std::vector<failing_t> &cases) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const failing_t &c : cases) {
        SCOPED_TRACE(c.line);
#ifdef ROBIX_SLOT_EDITION
        if (c.ends == THREAD) {
            expect_ends_thread(c);
            continue;
        }
#endif
        EXPECT_EXIT(c.call(), testing::ExitedWithCode(1), only_line(c.line));
    }
}

// A FILE on one end of a fresh pipe.
FILE *pipe_stream(bool write_end) {
    int p[2];
    if (pipe(p) < 0) return nullptr;
    close(write_end ? p[0] : p[1]);
    return fdopen(write_end ? p[1] : p[0], write_end ? "w" : "r");
}

// A temporary file holding `bytes`, opened for reading and writing.
int temp_file_with(const std::string &bytes) {
    char path[] = "/tmp/robix-wrappers-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return -1;
    unlink(path);
    if (write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size()) return -1;
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// Reads through `read`, a buffered Rio_ wrapper, from a record bound to no
// descriptor.
template <typename F>
void read_unbound(F read) {
    rio_t rio;
    Rio_readinitb(&rio, -1);
    read(&rio, scratch, 4);
}

sigset_t *empty_set() {
    static sigset_t set;
    sigemptyset(&set);
    return &set;
}

void *return_arg(void *arg) { return arg; }
void *exit_with_arg(void *arg) { Pthread_exit(arg); }
void *wait_forever(void *sem) {
    sem_wait(static_cast<sem_t *>(sem));  // a cancellation point
    return nullptr;
}

// Runs call on a thread of its own and interrupts it with SIGUSR1 once it
// blocks in system call nr; then waits until the signal is delivered and the
// thread blocks in nr again. release() must then let the call finish; the
// handler has run by then.
bool interrupted_call(const std::function<void()> &call, long nr,
                      const std::function<void()> &release) {
    worker_t w;
    int before = signals_handled;
    w.start([&] {
        call();
        return (ssize_t)0;
    });
    bool ok = interrupt_blocked(w, nr);
    release();
    w.thread.join();
    return ok && w.done && signals_handled > before;
}

// A call that succeeds prints nothing: each such case runs with standard
// error captured, which must be empty at its end.
struct PassThrough : testing::Test {
    void SetUp() override { testing::internal::CaptureStderr(); }
    void TearDown() override { EXPECT_EQ(testing::internal::GetCapturedStderr(), ""); }
};
using RioWrappers = PassThrough;

}  // namespace

// ---------------------------------------------------------------- reporters

TEST(ReporterDeathTest, EachPrintsItsLineAndExitsWithStatusOne) {
    expect_each_fails({
        {"unix msg: Permission denied",
         [] {
             errno = EACCES;
             unix_error("unix msg");
         }},
        {"posix msg: No such file or directory",
         [] {
             errno = EACCES;  // the code given wins over errno
             posix_error(ENOENT, "posix msg");
         }},
        {"dns msg: DNS error 2",
         [] {
             h_errno = TRY_AGAIN;
             dns_error("dns msg");
         }},
        {"app msg", [] { app_error("app msg"); }},
    });
}

// ---------------------------------------------------------------- failing wrappers

TEST(WrapperDeathTest, ProcessControlAndSignals) {
    expect_each_fails({
        {"Execve error: No such file or directory",
         [] {
             char *argv[] = {const_cast<char *>(MISSING), nullptr};
             char *envp[] = {nullptr};
             Execve(MISSING, argv, envp);
         }},
        {"Wait error: No child processes", [] { Wait(nullptr); }},
        {"Waitpid error: No child processes", [] { Waitpid(-1, nullptr, 0); }},
        {"Kill error: No such process", [] { Kill(INT_MAX, 0); }},
        {"Setpgid error: Invalid argument", [] { Setpgid(-1, 0); }},
        {"Signal error: Invalid argument", [] { Signal(SIGKILL, SIG_IGN); }},
        {"Sigprocmask error: Invalid argument", [] { Sigprocmask(12345, empty_set(), nullptr); }},
        {"Sigaddset error: Invalid argument", [] { Sigaddset(empty_set(), 0); }},
        {"Sigdelset error: Invalid argument", [] { Sigdelset(empty_set(), 0); }},
        {"Sigismember error: Invalid argument", [] { Sigismember(empty_set(), 0); }},
    });
}

TEST(WrapperDeathTest, UnixIoAndMapping) {
    expect_each_fails({
        {"Open error: No such file or directory", [] { Open(MISSING, O_RDONLY, 0); }},
        {"Read error: Bad file descriptor", [] { Read(-1, scratch, 1); }},
        {"Write error: Bad file descriptor", [] { Write(-1, "x", 1); }},
        {"Lseek error: Illegal seek", [] { Lseek(fileno(pipe_stream(false)), 0, SEEK_SET); }},
        {"Close error: Bad file descriptor", [] { Close(-1); }, THREAD},
        {"Select error: Invalid argument", [] { Select(-1, nullptr, nullptr, nullptr, nullptr); }},
        {"Dup2 error: Bad file descriptor", [] { Dup2(-1, 100); }},
        {"Stat error: No such file or directory", [] { Stat(MISSING, &scratch_stat); }},
        {"Fstat error: Bad file descriptor", [] { Fstat(-1, &scratch_stat); }},
        {"mmap error: Bad file descriptor",
         [] { Mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, -1, 0); }},
        {"munmap error: Invalid argument", [] { Munmap(reinterpret_cast<void *>(1), 4096); }},
    });
}

TEST(WrapperDeathTest, StorageAndStandardIo) {
    expect_each_fails({
        {"Malloc error: Cannot allocate memory", [] { Malloc(SIZE_MAX); }},
        {"Calloc error: Cannot allocate memory", [] { Calloc(SIZE_MAX, 2); }},
        {"Realloc error: Cannot allocate memory", [] { Realloc(nullptr, SIZE_MAX); }},
        {"Fopen error: No such file or directory", [] { Fopen(MISSING, "r"); }},
        {"Fdopen error: Bad file descriptor", [] { Fdopen(-1, "r"); }},
        {"Fclose error: Bad file descriptor",
         [] {
             FILE *fp = pipe_stream(false);
             close(fileno(fp));
             Fclose(fp);
         }},
        {"Fputs error: Bad file descriptor", [] { Fputs("x", pipe_stream(false)); }},
        {"Fwrite error: Bad file descriptor", [] { Fwrite("x", 1, 1, pipe_stream(false)); }},
        {"Fread error: Bad file descriptor", [] { Fread(scratch, 1, 8, pipe_stream(true)); }},
        {"Fgets error", [] { Fgets(scratch, 8, pipe_stream(true)); }},  // no error text
    });
}

TEST(WrapperDeathTest, SocketsAndResolver) {
    refused_port_t refusing;  // bound, never listening
    ASSERT_GT(refusing.port, 0);
    struct sockaddr_in addr = ipv4("127.0.0.1", refusing.port);
    const std::string unknown_host =
        "Gethostbyname error: DNS error " + std::to_string(unknown_host_code());
    expect_each_fails({
        {"Socket error: Address family not supported by protocol",
         [] { Socket(-1, SOCK_STREAM, 0); }, THREAD},
        {"Setsockopt error: Bad file descriptor",
         [] { Setsockopt(-1, SOL_SOCKET, SO_REUSEADDR, &ONE, sizeof ONE); }, THREAD},
        {"Bind error: Bad file descriptor",
         [&] { Bind(-1, (struct sockaddr *)&addr, sizeof addr); }},
        {"Listen error: Bad file descriptor", [] { Listen(-1, LISTENQ); }},
        {"Accept error: Bad file descriptor", [] { Accept(-1, nullptr, nullptr); }, THREAD},
        {"Connect error: Connection refused",
         [&] { Connect(socket(AF_INET, SOCK_STREAM, 0), (struct sockaddr *)&addr, sizeof addr); }},
        {unknown_host, [] { Gethostbyname(UNKNOWN_HOST); }},
        {"Gethostbyaddr error: DNS error -1",  // an address of the wrong length
         [] { Gethostbyaddr("\x7f", 1, AF_INET); }},
    });
}

TEST(WrapperDeathTest, ThreadsAndSemaphores) {
    // A stack no mapping can hold makes pthread_create itself fail.
    static pthread_attr_t huge;
    pthread_attr_init(&huge);
    ASSERT_EQ(pthread_attr_setstacksize(&huge, (size_t)1 << 46), 0);
    pthread_t tid;
    int code = pthread_create(&tid, &huge, return_arg, nullptr);
    if (code == 0) pthread_join(tid, nullptr);
    std::vector<failing_t> cases = {
        {"V error: Value too large for defined data type",
         [] {
             static sem_t sem;
             Sem_init(&sem, 0, SEM_VALUE_MAX);
             V(&sem);
         },
         THREAD},
        {"Pthread_join error: Resource deadlock avoided",
         [] { Pthread_join(pthread_self(), nullptr); }},
        {"Pthread_detach error: Invalid argument",
         [] {
             static sem_t never;
             sem_init(&never, 0, 0);
             pthread_t t;
             pthread_create(&t, nullptr, wait_forever, &never);
             pthread_detach(t);
             Pthread_detach(t);  // detached already, and still running
         }},
        {"Sem_init error: Invalid argument",
         [] {
             static sem_t sem;
             Sem_init(&sem, 0, (unsigned)SEM_VALUE_MAX + 1u);
         }},
    };
    // pthread_create reports by its result and leaves errno alone: the line
    // names the code it returned, whatever errno held.
    ASSERT_NE(code, ENOENT);
    if (code != 0) {
        cases.push_back({std::string("Pthread_create error: ") + strerror(code),
                         [] {
                             pthread_t t;
                             errno = ENOENT;
                             Pthread_create(&t, &huge, return_arg, nullptr);
                         },
                         THREAD});
    }
    expect_each_fails(cases);
    if (code == 0) GTEST_SKIP() << "this platform creates a thread with a 64 TiB stack";
}

// The write to a closed peer needs SIGPIPE ignored.
TEST(RioWrappersDeathTest, FailureEndsTheProcessWithOneLine) {
    ignored_sigpipe_t quiet;
    expect_each_fails({
        {"Rio_readn error: Bad file descriptor", [] { Rio_readn(-1, scratch, 4); }, THREAD},
        {"Rio_writen error: Broken pipe", [] { Rio_writen(fileno(pipe_stream(true)), "x", 1); },
         THREAD},
        {"Rio_readnb error: Bad file descriptor", [] { read_unbound(Rio_readnb); }, THREAD},
        {"Rio_readlineb error: Bad file descriptor", [] { read_unbound(Rio_readlineb); }, THREAD},
    });
}

// ---------------------------------------------------------------- succeeding wrappers

TEST_F(PassThrough, ReadGivesZeroAtEndOfFileAndPrintsNothing) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(Write(p[1], "abc", 3), 3);
    Close(p[1]);
    char buf[8];
    EXPECT_EQ(Read(p[0], buf, sizeof buf), 3);
    EXPECT_EQ(Read(p[0], buf, sizeof buf), 0);
    EXPECT_EQ(Read(p[0], buf, sizeof buf), 0);
    Close(p[0]);
}

TEST_F(PassThrough, SigismemberGivesZeroOrOneAndPrintsNothing) {
    sigset_t set;
    Sigemptyset(&set);
    EXPECT_EQ(Sigismember(&set, SIGPIPE), 0);
    Sigaddset(&set, SIGPIPE);
    EXPECT_EQ(Sigismember(&set, SIGPIPE), 1);
    EXPECT_EQ(Sigismember(&set, SIGINT), 0);
    Sigdelset(&set, SIGPIPE);
    EXPECT_EQ(Sigismember(&set, SIGPIPE), 0);
    Sigfillset(&set);
    EXPECT_EQ(Sigismember(&set, SIGINT), 1);
    sigset_t old, now;
    Sigemptyset(&set);
    Sigaddset(&set, SIGUSR2);
    Sigprocmask(SIG_BLOCK, &set, &old);
    Sigprocmask(SIG_SETMASK, &old, &now);
    EXPECT_EQ(Sigismember(&now, SIGUSR2), 1);
}

TEST_F(PassThrough, FgetsAndFreadAtEndOfFilePrintNothing) {
    int fd = temp_file_with("one\nhello");
    ASSERT_GE(fd, 0);
    FILE *fp = Fdopen(fd, "r");
    char buf[16];
    EXPECT_EQ(Fgets(buf, sizeof buf, fp), buf);
    EXPECT_STREQ(buf, "one\n");
    EXPECT_EQ(Fread(buf, 2, 4, fp), 2u);  // "hello": two whole items of two
    EXPECT_EQ(std::string(buf, 4), "hell");
    EXPECT_EQ(Fread(buf, 1, sizeof buf, fp), 0u);
    EXPECT_EQ(Fgets(buf, sizeof buf, fp), nullptr);
    EXPECT_TRUE(feof(fp));
    EXPECT_FALSE(ferror(fp));
    Fclose(fp);
}

TEST_F(PassThrough, UnixIoReturnsTheCallsResults) {
    char path[] = "/tmp/robix-wrappers-XXXXXX";
    int made = mkstemp(path);
    ASSERT_GE(made, 0);
    close(made);
    int fd = Open(path, O_RDWR | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(Write(fd, "0123456789", 10), 10);
    EXPECT_EQ(Lseek(fd, 4, SEEK_SET), 4);
    char buf[8];
    EXPECT_EQ(Read(fd, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "456");
    struct stat st, fst;
    Stat(path, &st);
    Fstat(fd, &fst);
    EXPECT_EQ(st.st_size, 10);
    EXPECT_EQ(st.st_ino, fst.st_ino);
    int spare = dup(fd);
    EXPECT_EQ(Dup2(fd, spare), spare);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(spare, &readable);
    struct timeval now = {0, 0};
    EXPECT_EQ(Select(spare + 1, &readable, nullptr, nullptr, &now), 1);
    void *map = Mmap(nullptr, 10, PROT_READ, MAP_PRIVATE, fd, 0);
    EXPECT_EQ(memcmp(map, "0123456789", 10), 0);
    Munmap(map, 10);
    Close(spare);
    Close(fd);
    unlink(path);
}

TEST_F(PassThrough, StorageAndStandardIoReturnTheCallsResults) {
    char *p = static_cast<char *>(Malloc(16));
    memcpy(p, "robix", 6);
    p = static_cast<char *>(Realloc(p, 4096));
    EXPECT_STREQ(p, "robix");
    Free(p);
    int *zeros = static_cast<int *>(Calloc(64, sizeof(int)));
    for (int i = 0; i < 64; i++) EXPECT_EQ(zeros[i], 0);
    Free(zeros);

    char path[] = "/tmp/robix-stdio-XXXXXX";
    int made = mkstemp(path);
    ASSERT_GE(made, 0);
    close(made);
    FILE *fp = Fopen(path, "w");
    Fputs("first\n", fp);
    Fwrite("second\n", 1, 7, fp);
    Fclose(fp);
    fp = Fopen(path, "r");
    char buf[32];
    EXPECT_EQ(Fread(buf, 1, sizeof buf, fp), 13u);
    EXPECT_EQ(std::string(buf, 13), "first\nsecond\n");
    Fclose(fp);
    unlink(path);
}

TEST_F(PassThrough, ProcessControlReturnsTheCallsResults) {
    EXPECT_EQ(Getpgrp(), getpgrp());
    EXPECT_EQ(Sleep(0), 0u);
    EXPECT_EQ(Alarm(0), 0u);  // no alarm was pending
    Kill(getpid(), 0);
    pid_t child = Fork();
    if (child == 0) {
        Setpgid(0, 0);
        _exit(getpgrp() == getpid() ? 7 : 8);
    }
    EXPECT_GT(child, 0);
    int status = 0;
    EXPECT_EQ(Waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    child = Fork();
    if (child == 0) _exit(3);
    EXPECT_EQ(Wait(&status), child);
    EXPECT_EQ(WEXITSTATUS(status), 3);
}

TEST_F(PassThrough, ThreadsAndSemaphoresReturnTheCallsResults) {
    int value = 5;
    pthread_t tid;
    void *ret = nullptr;
    Pthread_create(&tid, nullptr, return_arg, &value);
    Pthread_join(tid, &ret);
    EXPECT_EQ(ret, &value);
    Pthread_create(&tid, nullptr, exit_with_arg, &value);
    Pthread_join(tid, &ret);
    EXPECT_EQ(ret, &value);
    EXPECT_TRUE(pthread_equal(Pthread_self(), pthread_self()));

    static std::atomic<int> inits{0};
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    Pthread_once(&once, [] { inits++; });
    Pthread_once(&once, [] { inits++; });
    EXPECT_EQ(inits.load(), 1);

    sem_t sem;
    Sem_init(&sem, 0, 2);
    P(&sem);
    P(&sem);
    int n = -1;
    sem_getvalue(&sem, &n);
    EXPECT_EQ(n, 0);
    V(&sem);
    sem_getvalue(&sem, &n);
    EXPECT_EQ(n, 1);

    // A thread that waits for ever, cancelled; and one detached.
    sem_t never;
    sem_init(&never, 0, 0);
    Pthread_create(&tid, nullptr, wait_forever, &never);
    Pthread_cancel(tid);
    Pthread_join(tid, &ret);
    EXPECT_EQ(ret, PTHREAD_CANCELED);
    Pthread_create(&tid, nullptr, return_arg, nullptr);
    Pthread_detach(tid);
}

TEST_F(PassThrough, SocketsAndResolverReturnTheCallsResults) {
    int listener = Socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    Setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = ipv4("127.0.0.1", 0);
    Bind(listener, (struct sockaddr *)&addr, sizeof addr);
    Listen(listener, LISTENQ);
    socklen_t len = sizeof addr;
    getsockname(listener, (struct sockaddr *)&addr, &len);
    int client = Socket(AF_INET, SOCK_STREAM, 0);
    Connect(client, (struct sockaddr *)&addr, sizeof addr);
    struct sockaddr_in peer;
    socklen_t peerlen = sizeof peer;
    int conn = Accept(listener, (struct sockaddr *)&peer, &peerlen);
    EXPECT_GE(conn, 0);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(Write(client, "hi", 2), 2);
    char buf[2];
    EXPECT_EQ(Read(conn, buf, 2), 2);
    Close(conn);
    Close(client);
    Close(listener);

    struct hostent *hp = Gethostbyname("127.0.0.1");
    ASSERT_NE(hp, nullptr);
    EXPECT_EQ(hp->h_length, 4);
    EXPECT_EQ(memcmp(hp->h_addr_list[0], &addr.sin_addr, 4), 0);
    hp = Gethostbyaddr(reinterpret_cast<const char *>(&addr.sin_addr), 4, AF_INET);
    ASSERT_NE(hp, nullptr);
    EXPECT_EQ(memcmp(hp->h_addr_list[0], &addr.sin_addr, 4), 0);
}

TEST_F(RioWrappers, SucceedingCallsReturnTheResultAndPrintNothing) {
    socket_pair_t sp;
    Rio_writen(sp.fd[1], "line one\nrest", 13);
    sp.close_end(1);
    rio_t rio;
    Rio_readinitb(&rio, sp.fd[0]);
    EXPECT_EQ(rio.rio_fd, sp.fd[0]);
    EXPECT_EQ(rio.rio_cnt, 0);
    char buf[64];
    EXPECT_EQ(Rio_readlineb(&rio, buf, sizeof buf), 9);
    EXPECT_STREQ(buf, "line one\n");
    EXPECT_EQ(Rio_readnb(&rio, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "rest");
    EXPECT_EQ(Rio_readnb(&rio, buf, sizeof buf), 0);
    EXPECT_EQ(Rio_readlineb(&rio, buf, sizeof buf), 0);
    EXPECT_EQ(Rio_readn(sp.fd[0], buf, sizeof buf), 0);
}

// ---------------------------------------------------------------- Signal and P

void first_handler(int) {}
void second_handler(int) {}

TEST(Signal, InstallsRestartingHandlerWithEmptyMaskAndReturnsPrevious) {
    signal_disposition_t restored(SIGUSR2, SIG_IGN);  // as it was, once the case is over
    Signal(SIGUSR2, first_handler);
    EXPECT_EQ(Signal(SIGUSR2, second_handler), first_handler);
    struct sigaction now;
    sigaction(SIGUSR2, nullptr, &now);
    EXPECT_EQ(now.sa_handler, second_handler);
    EXPECT_TRUE(now.sa_flags & SA_RESTART);
    EXPECT_FALSE(now.sa_flags & (SA_SIGINFO | SA_RESETHAND | SA_NODEFER | SA_ONSTACK));
    for (int sig = 1; sig < 32; sig++) EXPECT_EQ(sigismember(&now.sa_mask, sig), 0) << sig;
}

// A handler installed through Signal lets an interrupted read resume: the
// caller sees the bytes, never EINTR.
TEST(Signal, HandledSignalDoesNotInterruptBlockedRead) {
    signal_disposition_t restored(SIGUSR1, SIG_IGN);  // as it was, once the case is over
    Signal(SIGUSR1, count_signal);
    socket_pair_t sp;
    ssize_t got = 0;
    char c = 0;
    EXPECT_TRUE(interrupted_call([&] { got = read(sp.fd[0], &c, 1); }, SYS_read,
                                 [&] { EXPECT_EQ(write(sp.fd[1], "z", 1), 1); }));
    EXPECT_EQ(got, 1);
    EXPECT_EQ(c, 'z');
}

// A wait on a semaphore fails with EINTR whenever a handler runs, restarting
// or not; P waits on instead of reporting a failure.
TEST(P, SignalDuringWaitIsNoFailure) {
    interrupting_signal_t sig;
    sem_t sem;
    Sem_init(&sem, 0, 0);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(interrupted_call([&] { P(&sem); }, SYS_futex, [&] { V(&sem); }));
    int n = -1;
    sem_getvalue(&sem, &n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

#ifdef ROBIX_SLOT_EDITION
// ---------------------------------------------------------------- the slot edition's own

TEST(ThreadEndingWrappers, EachPrintsItsLineAndEndsOnlyItsThread) {
    expect_each_fails({{"thread msg: Permission denied",
                        [] {
                            errno = EACCES;
                            thread_error("thread msg");
                        },
                        THREAD}});
}

// A failing Close ends its own thread only: a thread in the middle of a read
// carries on, and what the ended thread held is not released for it.
TEST(ThreadEndingWrappers, OtherThreadsCarryOnAndHeldDescriptorsStayOpen) {
    socket_pair_t sp;
    std::atomic<bool> companion_done{false};
    std::string companion_got;
    std::thread companion([&] {
        char buf[16];
        ssize_t n = read(sp.fd[0], buf, sizeof buf);
        if (n > 0) companion_got.assign(buf, (size_t)n);
        companion_done = true;
    });

    int held[2] = {-1, -1};
    expect_ends_thread({"Close error: Bad file descriptor", [&held] {
                            if (pipe(held) < 0) return;
                            Close(-1);
                        }});
    EXPECT_FALSE(companion_done.load());
    ASSERT_GE(held[0], 0);
    EXPECT_NE(fcntl(held[0], F_GETFD), -1);
    EXPECT_NE(fcntl(held[1], F_GETFD), -1);
    close(held[0]);
    close(held[1]);

    EXPECT_EQ(write(sp.fd[1], "still here", 10), 10);
    companion.join();
    EXPECT_EQ(companion_got, "still here");
}

namespace {

const char *INITIAL_THREAD_CASE = "--initial-thread-close";

// Posted by the initial thread's thread-specific data destructor, which runs
// only once that thread has ended.
sem_t initial_thread_ended;

void post_initial_thread_ended(void *) { sem_post(&initial_thread_ended); }

void *outlive_initial_thread(void *) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += (time_t)(5 * time_scale());
    while (sem_timedwait(&initial_thread_ended, &deadline) < 0 && errno == EINTR) {
    }
    fprintf(stderr, "companion done\n");
    return nullptr;
}

// Close fails on the initial thread while another thread runs: the initial
// thread ends there, the other one finishes, and the process ends with it.
int initial_thread_close() {
    sem_init(&initial_thread_ended, 0, 0);
    pthread_key_t key;
    pthread_key_create(&key, post_initial_thread_ended);
    pthread_setspecific(key, &key);
    pthread_t tid;
    Pthread_create(&tid, nullptr, outlive_initial_thread, nullptr);
    Close(-1);
    fprintf(stderr, "Close returned\n");
    return 3;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], INITIAL_THREAD_CASE) == 0) return initial_thread_close();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

TEST(ThreadEndingWrappers, OnTheInitialThreadTheProcessLivesUntilItsLastThreadEnds) {
#ifdef ROBIX_TEST_TSAN
    GTEST_SKIP() << "under ThreadSanitizer the process does not end with its last thread: the "
                    "sanitizer's own background thread, which blocks every signal, keeps it alive";
#endif
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    run_result_t r = run_to_exit({self, INITIAL_THREAD_CASE}, WAIT);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "Close error: Bad file descriptor\ncompanion done\n");
    EXPECT_EQ(r.out, "");
}
#endif
