// Shared pieces of the stress and fault suite: the sizes (CI or full), a
// program of the table running under load with the harness's origin, its
// idle descriptor and thread counts, a driver that holds many browser
// connections at once and plays a script on each, and a reader of /proc for
// memory.
#ifndef STRESS_SUPPORT_H
#define STRESS_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "harness.h"
#include "programs.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define STRESS_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define STRESS_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(STRESS_ASAN)
#define STRESS_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__) && !defined(STRESS_TSAN)
#define STRESS_TSAN 1
#endif

namespace stress {

using namespace harness;

#if defined(STRESS_ASAN)
constexpr bool ASAN = true;
#else
constexpr bool ASAN = false;
#endif
#if defined(STRESS_TSAN)
constexpr bool TSAN = true;
#else
constexpr bool TSAN = false;
#endif

// ---------------------------------------------------------------- sizes

// STRESS_FULL=1 in the environment: the full sizes; otherwise CI sizes.
bool full_size();
size_t sized(size_t ci, size_t full);

// Raises this process's soft descriptor limit to at least `want` (up to the
// hard limit); programs started afterwards inherit it. The new soft limit.
size_t raise_fd_limit(size_t want);

std::string param_name(const testing::TestParamInfo<program_t> &info);

// A seed for pattern_body made from a path, so that each path's body differs.
unsigned seed_of(const std::string &path);

// ---------------------------------------------------------------- the proxy

// A program of the table and its origin (set the origin's replies before
// starting), with the program's counts once idle.
struct loaded_t {
    running_t run;
    int idle_fds = -1;
    int idle_threads = -1;
    explicit loaded_t(const program_t &row) : run(row) {}
    int port() const { return run.proxy.port; }
    pid_t pid() const { return run.proxy.pid; }
    std::string url(const std::string &path) const { return origin_url(run.origin, path); }
};

// Starts the origin and the program, with its standard output discarded
// when quiet (its trace lines can run to gigabytes under the memory load);
// serves warm_path once, expecting the origin's reply, and records the idle
// counts. Non-fatal failures are reported through gtest; false when it did
// not start.
bool start_loaded(loaded_t &l, bool quiet, const std::string &warm_path);
// Stops the program (it must still be running) and the origin (every
// connection of which must be over); reports a sanitizer finding.
void stop_loaded(loaded_t &l);

// Every connection of the program is over: descriptors and threads are back
// at their idle counts (bounded waits). Reports through gtest.
void expect_idle(loaded_t &l);

// VmRSS of a live process in KiB, -1 when it is gone.
long rss_kib(pid_t pid);

// "GET <url> HTTP/1.0\r\n\r\n"
std::string get(const std::string &url, const std::string &headers = "");

// ---------------------------------------------------------------- browsers

// What one browser connection does.
struct script_t {
    std::string request;
    size_t send_piece = 0;       // > 0: send in pieces of this size...
    int send_pause_ms = 0;       // ...with this pause between them
    size_t read_piece = 0;       // > 0: read at most this much at a time...
    int read_pause_ms = 0;       // ...with this pause between reads
    size_t read_limit = 0;       // > 0: close after this many bytes
    bool close_after_send = false;  // close as soon as the request is sent
};

// Opens one connection per script, all before any byte is sent; calls
// all_open (if given) with the number opened; then plays every script at
// once on one thread (poll), until each has ended or the deadline.
std::vector<client_result_t> drive(int port, const std::vector<script_t> &scripts, ms deadline,
                                   const std::function<void(size_t)> &all_open = nullptr);

// Runs fn(i) for i in [0, n) on `clients` threads.
void parallel(size_t n, size_t clients, const std::function<void(size_t)> &fn);

// True when `got` is a prefix of `whole`.
bool is_prefix(const std::string &got, const std::string &whole);

}  // namespace stress

#endif  // STRESS_SUPPORT_H
