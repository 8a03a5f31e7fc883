// stacks_bench: the cost of starting and ending one detached thread, on a
// recycled stack (stack_thread_create) and on the thread library's own stack
// of the same size (pthread_create, as the programs start them today), in
// the same run. Each thread touches as much of its stack as a connection
// thread's buffers take, then ends. Not a test: it asserts nothing.
//
//   stacks_bench [threads per round] [threads at once] [stack KiB touched] [rounds]
//
// Prints, per round and way, wall time and CPU time (user + system of the
// whole process, so the ending threads' work counts) per thread, and the
// ratio plain / pooled of the medians.
#include <alloca.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "stacks.h"

static sem_t in_flight;             // bounds the threads running at once
static std::atomic<long> ended{0};  // threads past their last instruction here
static size_t touch_bytes = 64 * 1024;

static void *bench_thread(void *) {
    char *buf = static_cast<char *>(alloca(touch_bytes));
    memset(buf, 0x5a, touch_bytes);
    __asm__ volatile("" : : "r"(buf) : "memory");
    ended.fetch_add(1, std::memory_order_relaxed);
    sem_post(&in_flight);
    return nullptr;
}

static int plain_create(void *(*routine)(void *), void *arg) {
    pthread_attr_t attr;
    pthread_t tid;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, STACK_THREAD_BYTES);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&tid, &attr, routine, arg);
    pthread_attr_destroy(&attr);
    return rc;
}

static double now_s(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static double cpu_s() {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
           u.ru_stime.tv_usec / 1e6;
}

static int task_count() {
    char path[64];
    int n = 0;
    snprintf(path, sizeof path, "/proc/%d/status", (int)getpid());
    FILE *f = fopen(path, "r");
    if (f == nullptr) return -1;
    char line[256];
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "Threads:", 8) == 0) n = atoi(line + 8);
    }
    fclose(f);
    return n;
}

struct result_t {
    double wall_us, cpu_us;  // per thread
};

// Starts n threads, at most `at_once` at a time, and waits until every one
// of them is gone from the process.
static result_t run(int (*create)(void *(*)(void *), void *), long n, int at_once) {
    sem_init(&in_flight, 0, at_once);
    ended = 0;
    double wall0 = now_s(CLOCK_MONOTONIC), cpu0 = cpu_s();
    for (long i = 0; i < n; i++) {
        while (sem_wait(&in_flight) != 0) {
        }
        if (create(bench_thread, nullptr) != 0) {
            fprintf(stderr, "thread creation failed\n");
            exit(1);
        }
    }
    while (ended.load() < n || task_count() > 1) sched_yield();
    result_t r = {(now_s(CLOCK_MONOTONIC) - wall0) / n * 1e6, (cpu_s() - cpu0) / n * 1e6};
    sem_destroy(&in_flight);
    return r;
}

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int main(int argc, char **argv) {
    long n = argc > 1 ? atol(argv[1]) : 20000;
    int at_once = argc > 2 ? atoi(argv[2]) : 1;
    touch_bytes = (argc > 3 ? atol(argv[3]) : 64) * 1024;
    int rounds = argc > 4 ? atoi(argv[4]) : 5;
    if (n <= 0 || at_once <= 0 || rounds <= 0 || touch_bytes > STACK_THREAD_BYTES / 2) {
        fprintf(stderr, "usage: %s [threads] [at once] [KiB touched, < half the stack] [rounds]\n",
                argv[0]);
        return 2;
    }
    stack_pool_init();
    printf("%ld threads per round, %d at once, %zu KiB of a %zu KiB stack touched\n", n, at_once,
           touch_bytes / 1024, STACK_THREAD_BYTES / 1024);
    std::vector<double> pw, pc, lw, lc;
    run(stack_thread_create, n / 10 + 1, at_once);  // warm both ways up
    run(plain_create, n / 10 + 1, at_once);
    for (int r = 0; r < rounds; r++) {
        result_t plain = run(plain_create, n, at_once);
        result_t pooled = run(stack_thread_create, n, at_once);
        printf("round %d: plain %.2f us wall %.2f us cpu; pooled %.2f us wall %.2f us cpu\n", r + 1,
               plain.wall_us, plain.cpu_us, pooled.wall_us, pooled.cpu_us);
        lw.push_back(plain.wall_us);
        lc.push_back(plain.cpu_us);
        pw.push_back(pooled.wall_us);
        pc.push_back(pooled.cpu_us);
    }
    stack_pool_stats_t s;
    stack_pool_stats(&s);
    printf("pool %s, %zu stacks mapped, %lu pooled and %lu plain starts through the pool\n",
           s.enabled ? "on" : "off", s.slots, s.pooled, s.plain);
    printf("median per thread: plain %.2f us wall %.2f us cpu; pooled %.2f us wall %.2f us cpu\n",
           median(lw), median(lc), median(pw), median(pc));
    printf("ratio plain/pooled: wall %.2f, cpu %.2f\n", median(lw) / median(pw),
           median(lc) / median(pc));
    return 0;
}
