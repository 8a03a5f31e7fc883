// Reporters and wrappers of slotproxy's edition: eleven wrappers end only the
// calling thread (its cleanup handlers run, the other threads carry on, what
// it held stays held), the rest end the process with status 1 as in the
// common edition. The initial thread's case runs in a child process started
// from this same binary (see main below).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "robix.h"

// A deliberate Malloc(SIZE_MAX) must come back null for the wrapper to
// report it; the sanitizers' allocators would abort the process instead.
#if defined(__SANITIZE_ADDRESS__)
#define ROBIX_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ROBIX_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define ROBIX_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ROBIX_TEST_TSAN 1
#endif
#endif
#ifdef ROBIX_TEST_ASAN
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
#endif
#ifdef ROBIX_TEST_TSAN
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

using namespace harness;

const ms WAIT(5000);
const char *INITIAL_THREAD_CASE = "--initial-thread-close";

#if defined(ROBIX_TEST_ASAN) || defined(ROBIX_TEST_TSAN)
// The sanitizer's allocator announces a refused allocation on a line of its
// own before the wrapper's report.
const char *REFUSED_ALLOCATION = "(==[0-9]+==WARNING: [A-Za-z]+Sanitizer failed to allocate 0x[0-9a-f]+ bytes\n)?";
#else
const char *REFUSED_ALLOCATION = "";
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

struct failing_t {
    std::string line;  // the whole line, without its newline
    std::function<void()> call;
};

void *return_arg(void *arg) { return arg; }
void *wait_on(void *sem) {
    sem_wait(static_cast<sem_t *>(sem));
    return nullptr;
}

// A stack no mapping can hold, so that pthread_create itself fails; its code
// is in create_failure_code (0 if this platform made the thread anyway).
pthread_attr_t huge_stack;
int create_failure_code = [] {
    pthread_attr_init(&huge_stack);
    pthread_attr_setstacksize(&huge_stack, (size_t)1 << 46);
    pthread_t tid;
    int code = pthread_create(&tid, &huge_stack, return_arg, nullptr);
    if (code == 0) pthread_join(tid, nullptr);
    return code;
}();

// ---------------------------------------------------------------- one failing call on a thread

struct run_t {
    const failing_t *c;
    bool cleaned_up = false;    // the thread's cleanup handler ran
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
    SCOPED_TRACE(c.line);
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

struct ignored_sigpipe_t {
    struct sigaction old;
    ignored_sigpipe_t() {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &sa, &old);
    }
    ~ignored_sigpipe_t() { sigaction(SIGPIPE, &old, nullptr); }
};

// ---------------------------------------------------------------- the initial thread's case

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
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}

// ---------------------------------------------------------------- wrappers that end the thread

TEST(ThreadEndingWrappers, EachPrintsItsLineAndEndsOnlyItsThread) {
    ignored_sigpipe_t quiet;
    const std::vector<failing_t> cases = {
        {"thread msg: Permission denied",
         [] {
             errno = EACCES;
             thread_error("thread msg");
         }},
        {"Close error: Bad file descriptor", [] { Close(-1); }},
        {"Socket error: Address family not supported by protocol",
         [] { Socket(-1, SOCK_STREAM, 0); }},
        {"Setsockopt error: Bad file descriptor",
         [] {
             int one = 1;
             Setsockopt(-1, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
         }},
        {"Accept error: Bad file descriptor", [] { Accept(-1, nullptr, nullptr); }},
        {"V error: Value too large for defined data type",
         [] {
             static sem_t sem;
             Sem_init(&sem, 0, SEM_VALUE_MAX);
             V(&sem);
         }},
        {"Rio_readn error: Bad file descriptor",
         [] {
             char buf[4];
             Rio_readn(-1, buf, sizeof buf);
         }},
        {"Rio_writen error: Broken pipe",
         [] {
             int sv[2];
             socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
             close(sv[1]);
             Rio_writen(sv[0], "x", 1);
         }},
        {"Rio_readnb error: Bad file descriptor",
         [] {
             rio_t rio;
             Rio_readinitb(&rio, -1);
             char buf[4];
             Rio_readnb(&rio, buf, sizeof buf);
         }},
        {"Rio_readlineb error: Bad file descriptor",
         [] {
             rio_t rio;
             Rio_readinitb(&rio, -1);
             char buf[4];
             Rio_readlineb(&rio, buf, sizeof buf);
         }},
    };
    for (const failing_t &c : cases) expect_ends_thread(c);
}

// pthread_create reports by its result and leaves errno alone: the line
// names the code it returned, whatever errno held.
TEST(ThreadEndingWrappers, PthreadCreateReportsTheReturnedCodeNotErrno) {
    if (create_failure_code == 0) GTEST_SKIP() << "this platform made a thread of a 64 TiB stack";
    ASSERT_NE(create_failure_code, ENOENT);
    expect_ends_thread({std::string("Pthread_create error: ") + strerror(create_failure_code), [] {
                            pthread_t tid;
                            errno = ENOENT;
                            Pthread_create(&tid, &huge_stack, return_arg, nullptr);
                        }});
}

// A failing Close ends its own thread only: a thread in the middle of a read
// carries on, and what the ended thread held is not released for it.
TEST(ThreadEndingWrappers, OtherThreadsCarryOnAndHeldDescriptorsStayOpen) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::atomic<bool> companion_done{false};
    std::string companion_got;
    std::thread companion([&] {
        char buf[16];
        ssize_t n = read(sv[0], buf, sizeof buf);
        if (n > 0) companion_got.assign(buf, (size_t)n);
        companion_done = true;
    });

    int held[2] = {-1, -1};
    failing_t c = {"Close error: Bad file descriptor", [&held] {
                       if (pipe(held) < 0) return;
                       Close(-1);
                   }};
    expect_ends_thread(c);
    EXPECT_FALSE(companion_done.load());
    ASSERT_GE(held[0], 0);
    EXPECT_NE(fcntl(held[0], F_GETFD), -1);
    EXPECT_NE(fcntl(held[1], F_GETFD), -1);
    close(held[0]);
    close(held[1]);

    EXPECT_EQ(write(sv[1], "still here", 10), 10);
    companion.join();
    EXPECT_EQ(companion_got, "still here");
    close(sv[0]);
    close(sv[1]);
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

TEST(ThreadEndingWrappers, SucceedingCallsReturnTheResultAndPrintNothing) {
    testing::internal::CaptureStderr();
    int listener = Socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    Setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Bind(listener, (struct sockaddr *)&addr, sizeof addr);
    Listen(listener, LISTENQ);
    socklen_t len = sizeof addr;
    getsockname(listener, (struct sockaddr *)&addr, &len);
    int client = Socket(AF_INET, SOCK_STREAM, 0);
    Connect(client, (struct sockaddr *)&addr, sizeof addr);
    int conn = Accept(listener, nullptr, nullptr);
    EXPECT_GE(conn, 0);
    Rio_writen(client, "one\ntwo", 7);
    Close(client);
    rio_t rio;
    Rio_readinitb(&rio, conn);
    char buf[16];
    EXPECT_EQ(Rio_readlineb(&rio, buf, sizeof buf), 4);
    EXPECT_EQ(Rio_readnb(&rio, buf, sizeof buf), 3);
    EXPECT_EQ(Rio_readlineb(&rio, buf, sizeof buf), 0);
    EXPECT_EQ(Rio_readn(conn, buf, sizeof buf), 0);
    Close(conn);
    Close(listener);
    sem_t sem;
    Sem_init(&sem, 0, 1);
    P(&sem);
    V(&sem);
    int value = -1;
    sem_getvalue(&sem, &value);
    EXPECT_EQ(value, 1);
    pthread_t tid;
    void *ret = nullptr;
    Pthread_create(&tid, nullptr, return_arg, &value);
    Pthread_join(tid, &ret);
    EXPECT_EQ(ret, &value);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// ---------------------------------------------------------------- wrappers that end the process

TEST(ProcessEndingWrapperDeathTest, EachPrintsItsLineAndExitsWithStatusOne) {
    int bound = socket(AF_INET, SOCK_STREAM, 0);  // bound, never listening
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(bound, (struct sockaddr *)&addr, sizeof addr), 0);
    ASSERT_EQ(getsockname(bound, (struct sockaddr *)&addr, &len), 0);
    const std::vector<failing_t> cases = {
        {"unix msg: Permission denied",
         [] {
             errno = EACCES;
             unix_error("unix msg");
         }},
        {"posix msg: No such file or directory",
         [] {
             errno = EACCES;
             posix_error(ENOENT, "posix msg");
         }},
        {"dns msg: DNS error 2",
         [] {
             h_errno = TRY_AGAIN;
             dns_error("dns msg");
         }},
        {"app msg", [] { app_error("app msg"); }},
        {"Malloc error: Cannot allocate memory", [] { Malloc(SIZE_MAX); }},
        {"Calloc error: Cannot allocate memory", [] { Calloc(SIZE_MAX, 2); }},
        {"Open error: No such file or directory",
         [] { Open("/nonexistent-robix/file", O_RDONLY, 0); }},
        {"Read error: Bad file descriptor",
         [] {
             char c;
             Read(-1, &c, 1);
         }},
        {"Write error: Bad file descriptor", [] { Write(-1, "x", 1); }},
        {"Bind error: Bad file descriptor",
         [&] { Bind(-1, (struct sockaddr *)&addr, sizeof addr); }},
        {"Listen error: Bad file descriptor", [] { Listen(-1, LISTENQ); }},
        {"Connect error: Connection refused",
         [&] { Connect(socket(AF_INET, SOCK_STREAM, 0), (struct sockaddr *)&addr, sizeof addr); }},
        {"Fgets error",
         [] {
             int p[2];
             pipe(p);
             char buf[8];
             Fgets(buf, sizeof buf, fdopen(p[1], "w"));
         }},
        {"Signal error: Invalid argument", [] { Signal(SIGKILL, SIG_IGN); }},
        {"Sem_init error: Invalid argument",
         [] {
             static sem_t sem;
             Sem_init(&sem, 0, (unsigned)SEM_VALUE_MAX + 1u);
         }},
        {"Gethostbyname error: DNS error 1", [] { Gethostbyname("no-such-host.robix.invalid"); }},
        {"Pthread_join error: Resource deadlock avoided",
         [] { Pthread_join(pthread_self(), nullptr); }},
        {"Pthread_detach error: Invalid argument",
         [] {
             static sem_t never;
             sem_init(&never, 0, 0);
             pthread_t t;
             pthread_create(&t, nullptr, wait_on, &never);
             pthread_detach(t);
             Pthread_detach(t);  // detached already, and still running
         }},
    };
    for (const failing_t &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EXIT(c.call(), testing::ExitedWithCode(1), only_line(c.line));
    }
    close(bound);
}
