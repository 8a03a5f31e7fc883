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
#define ROBIX_TEST_REFUSED_ALLOCATIONS 1
#include "robix_test_support.h"

namespace {

using namespace harness;
using namespace robix_test;

const char *INITIAL_THREAD_CASE = "--initial-thread-close";

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
    std::vector<failing_t> cases = {
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
    };
    for (failing_t &c : rio_failure_cases()) cases.push_back(c);
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
    int listener, client;
    struct sockaddr_in addr;
    connect_through_wrappers(listener, client, addr);
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
    int bound = -1;  // bound, never listening
    struct sockaddr_in addr;
    ASSERT_NO_FATAL_FAILURE(bind_refusing(bound, addr));
    std::vector<failing_t> cases = reporter_cases();
    for (failing_t &c : thread_and_semaphore_cases()) cases.push_back(c);
    const std::vector<failing_t> others = {
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
        {unknown_host_report("Gethostbyname error"), [] { Gethostbyname(UNKNOWN_HOST); }},
    };
    cases.insert(cases.end(), others.begin(), others.end());
    expect_each_ends_process(cases);
    close(bound);
}
