// Shared pieces of the stress and fault suite: the table of programs under
// test, the sizes (CI or full), a launcher that records a program's idle
// descriptor and thread counts, an origin made for load (one short-lived
// thread per connection, replies made from the path), a driver that holds
// many browser connections at once and plays a script on each, and readers
// of /proc for memory.
#ifndef STRESS_SUPPORT_H
#define STRESS_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
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

using harness::ms;

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

// ---------------------------------------------------------------- programs

// The table of programs is the harness's (tests/harness/programs.h).
using harness::program_t;
using harness::programs;

// Whether the program stores this response when the origin sent it whole
// and closed (each program's size rule).
bool stores(const program_t &p, const std::string &response);
std::string param_name(const testing::TestParamInfo<program_t> &info);

// ---------------------------------------------------------------- the proxy

// Threads of an idle program: its main thread, and the sanitizer's own
// under ThreadSanitizer (started at the first thread creation, then kept).
int idle_thread_count();

struct proxy_t {
    const program_t *prog = nullptr;
    harness::process_t proc;
    int idle_fds = -1;
    int idle_threads = -1;
    int port() const { return proc.port; }
    pid_t pid() const { return proc.pid; }
};

// Starts the program with its standard output in a file, or discarded when
// quiet (its trace lines can run to gigabytes under the memory load); serves
// `warm_request` once, expecting `warm_reply`, and records the idle counts.
// Non-fatal failures are reported through gtest; false when it did not start.
bool start_proxy(proxy_t &p, const program_t &prog, bool quiet, const std::string &warm_request,
                 const std::string &warm_reply);
// Stops it and removes its captured files; reports a sanitizer finding.
void stop_proxy(proxy_t &p);

// The first sanitizer report on the program's standard error, or "".
std::string sanitizer_report(const harness::process_t &p);

// Every connection of the program is over: descriptors and threads are back
// at their idle counts (bounded waits). Reports through gtest.
void expect_idle(proxy_t &p);

// VmRSS of a live process in KiB, -1 when it is gone.
long rss_kib(pid_t pid);

// Waits until value() >= n; true when reached.
bool wait_at_least(const std::function<int()> &value, int n, ms deadline);

// "GET <url> HTTP/1.0\r\n\r\n"
std::string get(const std::string &url, const std::string &headers = "");

// ---------------------------------------------------------------- origin

// Makes the reply for the k-th fetch (from 0) of a path. Must be pure: the
// tests call it again to know what the origin sent.
using reply_fn = std::function<std::string(const std::string &path, size_t k)>;

// An origin for many connections: each gets a detached thread that reads
// the request up to its empty line, sends the reply, shuts its sending side
// and waits for the peer to close. Counts fetches per path.
class load_origin_t {
   public:
    explicit load_origin_t(reply_fn fn) : fn_(std::move(fn)) {}
    ~load_origin_t() { stop(); }
    load_origin_t(const load_origin_t &) = delete;
    load_origin_t &operator=(const load_origin_t &) = delete;

    bool start();
    void stop();  // stops accepting; waits (bounded) for every connection
    int port() const { return port_; }
    std::string url(const std::string &path) const;
    size_t fetches(const std::string &path);
    size_t connections() const { return connections_.load(); }
    int active() const { return active_.load(); }
    // The reply the k-th fetch of path got.
    std::string reply(const std::string &path, size_t k) const { return fn_(path, k); }

   private:
    void accept_loop();
    void serve(int fd);

    reply_fn fn_;
    int port_ = 0;
    int listen_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> active_{0};
    std::atomic<size_t> connections_{0};
    std::thread acceptor_;
    std::mutex lock_;
    std::map<std::string, size_t> fetches_;
};

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

struct outcome_t {
    bool connected = false;
    bool eof = false;    // the program closed its side
    bool reset = false;  // the connection was reset
    bool timed_out = false;
    std::string bytes;   // what the program sent
};

// Opens one connection per script, all before any byte is sent; calls
// all_open (if given) with the number opened; then plays every script at
// once on one thread (poll), until each has ended or the deadline.
std::vector<outcome_t> drive(int port, const std::vector<script_t> &scripts, ms deadline,
                             const std::function<void(size_t)> &all_open = nullptr);

// Runs fn(i) for i in [0, n) on `clients` threads.
void parallel(size_t n, size_t clients, const std::function<void(size_t)> &fn);

// True when `got` is a prefix of `whole`.
bool is_prefix(const std::string &got, const std::string &whole);

}  // namespace stress

#endif  // STRESS_SUPPORT_H
