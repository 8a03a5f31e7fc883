// The three programs as the whole-program tests see them: one row each, with
// where its binaries are, how it is started quietly, and the
// bytes it prints where the three differ. A behaviour the programs share is
// written once as a test over these rows (INSTANTIATE_OVER_PROGRAMS); a
// program not built in this tree has no row.
#ifndef HARNESS_PROGRAMS_H
#define HARNESS_PROGRAMS_H

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace harness {

// The rule stampproxy prints around each start and exit block.
inline const std::string RULE = "<--------------------------------------------->\n";

// What a connection that failed prints: standard output (a needle when the
// row keeps a transcript, else all of it before the row's quiet_end) and
// standard error; "<ERRNO>" and "<ERROR>" stand for the failed call's errno
// and its text.
struct failure_lines_t {
    std::string out, err;
};

struct program_t {
    std::string name;          // "stampproxy", ...: the test instance's name
    std::string binary;        // the program as installed
    std::string short_binary;  // the same built with time-outs of a second or two
    std::vector<std::string> quiet;  // arguments after the port for the least output

    // What the launcher's probe (a browser that connects and closes at once)
    // leaves on the console once its connection is over: a needle that marks
    // the end, the shape (see shape_match; "<PORT>" is the port) of standard
    // output up to `probe_cut` (all of it when empty), and standard error.
    std::string probe_done;
    std::string probe_cut;
    std::string probe_out;
    std::string probe_err;

    // The console, flushed: what start-up shows before any connection (a
    // needle; empty when nothing), the request sent after the probe (empty:
    // none; "<ORIGIN>" is the origin's port), and standard output once its
    // connection is over, all of it when flush_whole, else a needle in it.
    std::string banner;
    std::string flush_request;
    std::string flush_out;
    bool flush_whole = false;

    // Started on a port another socket holds: status, output shape, error.
    int bind_status;
    std::string bind_out;
    std::string bind_err;

    // A line on standard output that a hit prints ("<URL>" is the URL asked
    // for), empty when a hit prints nothing.
    std::string hit_line;
    // The request the origin gets for "GET http://127.0.0.1:<ORIGIN>/after
    // HTTP/1.0" and an empty header block.
    std::string upstream;
    // A miss reads the browser's whole header block (the others send the
    // origin what they read of it, and are tested on hits only).
    bool miss_reads_all = false;
    // The accept loop's report of a failed accept ("<ERROR>" is strerror's
    // text, "<ERRNO>" its number), and the stream it goes to; whether an
    // interrupted accept is retried without one; the status the program
    // ends with when its listener is unusable. Then the report of a thread
    // that could not be created, on the same stream.
    std::string accept_line;
    bool accept_on_stderr = false;
    bool eintr_silent = false;
    int unusable_status = 0;
    std::string thread_line = "Pthread_create error: Resource temporarily unavailable\n";
    // The console line of a host name that does not resolve, and its stream.
    std::string unresolved_line;
    bool unresolved_on_stderr = false;
    // A response of no bytes is stored.
    bool stores_empty = false;
    // A line on standard output that storing a response prints, if any.
    std::string stored_line;

    // The end of a connection on standard output: one of these needles per
    // connection (empty: nothing is printed; the end is then when its
    // descriptor is closed). After the quiet start, a connection that fails
    // nothing prints exactly stored_line when it stored its response, then
    // `quiet_end`, unless the program keeps a `transcript` of every step.
    std::vector<std::string> conn_ends;
    std::string quiet_end;
    bool transcript = false;
    // Whole lines of a response reach the browser as they arrive, before the
    // origin sends the rest of the line that follows.
    bool relays_lines = false;
    // Methods other than GET are relayed, and answered from the cache.
    bool other_methods = false;
    // The browser's header lines reach the storing rule: an Authorization
    // or a no-store there keeps the answer out of the cache.
    bool private_requests = false;
    // A connection whose origin reset it, and one whose browser went away
    // mid-response. A transcript shows each read from the origin as
    // `read_line` ("<SIZE>" its byte count).
    failure_lines_t reset, vanish;
    std::string read_line;
    // The short build's time-outs, each failing its step: the browser's
    // request; its header block, of which the origin has got
    // late_header_upstream ("<PATH>" the URL's path; empty: nothing); an
    // origin that falls silent; a browser that stops reading.
    failure_lines_t late_request, late_header, late_origin, late_browser;
    std::string late_header_upstream;
};

// The rows of the programs built in this tree; those `keep` says yes to;
// the row of the program so named (the test fails when it is not built).
const std::vector<program_t> &programs();
std::vector<program_t> programs_where(const std::function<bool(const program_t &)> &keep);
const program_t &program_named(const std::string &name);
// A row as a failing test names it: its program.
void PrintTo(const program_t &row, std::ostream *os);

// Replaces every `from` in text by `to`.
std::string substitute(std::string text, const std::string &from, const std::string &to);

// Environment for the next child: set here, restored when this ends.
struct env_guard_t {
    std::vector<std::pair<std::string, std::string>> saved;
    void set(const std::string &name, const std::string &value);
    ~env_guard_t();
};

// The console stream that the row's accept loop reports on, and standard
// error without the lines of the launcher's probe (its thread may print them
// between the accept loop's).
std::string accept_stream(const process_t &p, const program_t &row);
std::string err_after_probe(const process_t &p, const program_t &row);

// Puts the fault shim (tests/harness/faults_shim.cpp; its build that also
// fails allocations when malloc_faults) in front of the program for the next
// child, and tells a sanitizer's runtime to accept being loaded second.
void preload_shim(env_guard_t &env, bool malloc_faults = false);

// Sockets of a process other than its listening one: the connections it
// holds. -1 when it is gone.
int connection_fds(pid_t pid);
bool wait_connection_fds(pid_t pid, int n, ms deadline);
// Every connection of p is over and has given back its descriptors and its
// thread.
void expect_idle(const process_t &p);

// ThreadSanitizer's runtime starts a thread of its own at a program's first
// pthread_create and keeps it.
#if defined(__SANITIZE_THREAD__)
const int RUNTIME_THREADS = 1;
#else
const int RUNTIME_THREADS = 0;
#endif

// A sanitizer in a program reports on its standard error and may carry on:
// any such report fails the test that provoked it.
void expect_no_sanitizer_report(const process_t &p);

// Stops the process and removes its captured output.
void stop_and_remove(process_t &p);

// A process that is stopped, and its captured output removed, when this
// ends however the test ends.
struct started_t {
    process_t p;
    started_t() = default;
    ~started_t();
    started_t(const started_t &) = delete;
    started_t &operator=(const started_t &) = delete;
};

// One program of the table running on a free port, and an origin for it to
// fetch from; everything is stopped and its files removed when this ends.
struct running_t {
    const program_t &row;
    process_t proxy;
    origin_t origin;
    // Where the console streams stood at mark_console, and the connections
    // that ended since (counted by ask).
    size_t out_mark = 0, err_mark = 0;
    int ended = 0;
    explicit running_t(const program_t &r) : row(r) {}
    ~running_t();
    running_t(const running_t &) = delete;
    running_t &operator=(const running_t &) = delete;
};

// Starts the origin (unless it runs already) and the program (binary, with
// `extra` after the port), waits until the launcher's probe is over and
// marks the console. False when either failed.
bool start_running(running_t &r, const std::string &binary, const std::vector<std::string> &extra);
// The quiet start of the installed binary.
bool start_running(running_t &r);
// The quiet start with the fault shim (its build that fails allocations
// too when malloc_faults) preloaded and `name` set to `plan` for it; the
// first accept and the first thread belong to the probe, which is waited
// for when wait_probe. The origin is started unless it runs already.
bool start_faulted(running_t &r, const std::string &name, const std::string &plan,
                   bool wait_probe = true, bool malloc_faults = false);
// "GET http://127.0.0.1:<origin>/path HTTP/1.0\r\n<headers>\r\n".
std::string get_request(const running_t &r, const std::string &path,
                        const std::string &headers = "");
std::string origin_url(const running_t &r, const std::string &path);
// Starts the origin with `bytes` as its answer to every path.
bool start_origin(running_t &r, const std::string &bytes);
// The origin's answer for a path; an empty path: for every path without one.
void route(running_t &r, const std::string &path, const std::string &bytes,
           origin_end_t end = origin_end_t::CLOSE);

// The console from here on: what each stream got since, and whether n
// connections have ended since (the row's conn_ends, else no connection
// left open), waiting up to the deadline.
void mark_console(running_t &r);
std::string out_since(const running_t &r);
std::string err_since(const running_t &r);
bool wait_ended(running_t &r, int n, ms deadline);
// One exchange with the program, returned once its connection has ended.
client_result_t ask(running_t &r, const std::string &request,
                    const client_opts_t &opts = client_opts_t());

}  // namespace harness

// Instantiates a TEST_P suite whose parameter is a program_t once per row,
// each instance named after its program.
#define INSTANTIATE_OVER_PROGRAMS(suite) INSTANTIATE_OVER_ROWS(suite, harness::programs())
// The same over the rows that have a field set.
#define INSTANTIATE_OVER_PROGRAMS_WITH(suite, field)                                       \
    INSTANTIATE_OVER_ROWS(suite, harness::programs_where(                                  \
                                     [](const harness::program_t &row) { return !!row.field; }))
#define INSTANTIATE_OVER_ROWS(suite, rows)                                                 \
    GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(suite);                                  \
    INSTANTIATE_TEST_SUITE_P(Programs, suite, ::testing::ValuesIn(rows),                   \
                             [](const ::testing::TestParamInfo<harness::program_t> &info) { \
                                 return info.param.name;                                    \
                             })

#endif  // HARNESS_PROGRAMS_H
