// Test harness for whole programs on loopback: a launcher for a program as a
// child process (captured stdout/stderr, wait until it accepts, stop, exit
// status), a scripted origin server that records the exact bytes it receives,
// and a raw client with deadlines. Every wait here is bounded; deadlines are
// multiplied by time_scale() (HARNESS_TIME_SCALE, larger under sanitizers).
#ifndef HARNESS_H
#define HARNESS_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace harness {

using ms = std::chrono::milliseconds;

// Deadline multiplier: HARNESS_TIME_SCALE from the environment, else the
// build's default (3 under a sanitizer, 1 otherwise).
double time_scale();
ms scaled(ms d);

// Waits until done() holds, asking every period_ms; false at the deadline.
bool wait_until(const std::function<bool()> &done, ms deadline, int period_ms = 10);

// A file's content from byte `from` on ("" when it cannot be read).
std::string read_file(const std::string &path, size_t from = 0);
// A fresh empty file /tmp/harness-<tag>-XXXXXX, "" on failure.
std::string temp_file(const char *tag);

// A port that was free on 127.0.0.1 a moment ago (bound to port 0, closed).
int free_port();

// True when this process's network namespace holds no interface but the
// loopback one (read from /proc/net/dev), so no packet a test causes can leave
// the machine. `make test` runs the suite in such a namespace; tests that make
// a program resolve names or connect beyond 127.0.0.0/8 skip themselves,
// saying so, when it could not be made (SKIP_UNLESS_ISOLATED()).
bool network_isolated();
#define SKIP_UNLESS_ISOLATED()                                                              \
    do {                                                                                    \
        if (!harness::network_isolated())                                                   \
            GTEST_SKIP() << "needs a loopback-only network namespace (unshare -n); this "    \
                            "case would resolve names or connect beyond 127.0.0.0/8";       \
    } while (0)

// A socket listening on 127.0.0.1:port, or -1 when the port is taken.
int hold_port(int port);
// A socket listening on a port of 127.0.0.1 the system chose, which is put
// in `port` (an origin a test drives by hand); -1 on failure.
int listen_local(int &port, int backlog = 16);

// A port of 127.0.0.1 that refuses connections for as long as this lives: it
// stays bound (without listening), so no other test can take it meanwhile.
struct refused_port_t {
    int fd = -1;
    int port = 0;
    refused_port_t();
    ~refused_port_t();
    refused_port_t(const refused_port_t &) = delete;
    refused_port_t &operator=(const refused_port_t &) = delete;
};

// ---------------------------------------------------------------- processes

struct process_t {
    pid_t pid = -1;
    int port = 0;          // the port it was started on, when it is a server
    std::string out_path;  // its standard output, captured in a file
    std::string err_path;  // its standard error, captured in a file
    int status = -1;       // wait status once reaped
    bool reaped = false;
    // Set before starting: standard output goes to /dev/null; the child
    // leads a process group of its own (a kill of -pid reaches all it starts).
    bool discard_out = false;
    bool own_group = false;
};

// Starts argv (argv[0] is the program's path) with stdin on /dev/null and
// stdout (unless discard_out) and stderr in fresh files. False when fork
// failed.
bool start_process(process_t &p, const std::vector<std::string> &argv);
// Starts binary with argv = {binary, <free port>, extra...} and waits until
// the port accepts; retries on another port if the child died at once (the
// port was taken meanwhile). False when it never came up.
bool start_server(process_t &p, const std::string &binary,
                  const std::vector<std::string> &extra = {});
// True once a TCP connect to 127.0.0.1:port succeeds; false as soon as the
// child has exited, or at the deadline.
bool wait_accepting(process_t &p, int port, ms deadline);
// True while the child has not exited (reaps it if it has).
bool is_running(process_t &p);
// Waits for the child to exit on its own; true with p.status set.
bool wait_exit(process_t &p, ms deadline);
// SIGTERM, then SIGKILL after the deadline; returns the wait status.
int stop_process(process_t &p, ms deadline = ms(3000));
// How many times needle occurs in hay (overlapping ones counted; an empty
// needle, none).
int occurrences(const std::string &hay, const std::string &needle);
// What the child has written to each stream so far.
std::string read_stdout(const process_t &p);
std::string read_stderr(const process_t &p);
// Waits until the captured stream holds needle `count` times or more.
bool wait_output(const process_t &p, const std::string &needle, ms deadline,
                 bool from_stderr = false, int count = 1);
// Number of descriptors and threads of a live process (from /proc), -1 if gone.
int count_fds(pid_t pid);
int count_threads(pid_t pid);
// Waits until count_threads(pid) (count_fds) == n; true when reached.
bool wait_threads(pid_t pid, int n, ms deadline);
bool wait_fds(pid_t pid, int n, ms deadline);

struct run_result_t {
    bool exited = false;  // ended on its own before the deadline
    int exit_code = -1;   // WEXITSTATUS when exited normally
    int signal = 0;       // WTERMSIG when killed by a signal
    std::string out, err;
};
// Runs argv to completion (killed at the deadline) and collects its output.
run_result_t run_to_exit(const std::vector<std::string> &argv, ms deadline);

// ---------------------------------------------------------------- origin

enum class origin_end_t {
    CLOSE,  // send the reply, then shut the sending side (the peer sees EOF)
    RESET,  // send the reply, then close with SO_LINGER 0 (the peer sees RST)
    HOLD,   // send the reply, then keep the connection open until the peer
            // closes it or the origin stops
};

struct origin_reply_t {
    std::string bytes;           // what to send
    std::vector<size_t> pieces;  // send in pieces of these sizes, rest at once
    int pause_ms = 0;            // pause between pieces
    origin_end_t end = origin_end_t::CLOSE;
    bool wait_request = true;  // read the request up to "\r\n\r\n" first
};

struct origin_conn_t {
    std::string bytes;         // every byte received on this connection
    bool header_done = false;  // "\r\n\r\n" seen, or the peer closed first
    bool closed = false;       // the exchange is over
};

// A scripted origin server on 127.0.0.1, one thread per connection, for a
// few exchanges or thousands at once. The reply is chosen by the path of the
// request line (second word of the first line), else made by make_reply,
// else default_reply.
struct origin_t {
    int port = 0;  // set before origin_start: listen on this port
    int listen_fd = -1;
    std::atomic<bool> stopping{false};
    std::atomic<int> connections{0};
    // Set before origin_start, if at all: the bytes of the k-th request
    // (from 0) for a path that has no route. It must be pure: a test calls
    // it again to know what was sent.
    std::function<std::string(const std::string &path, size_t k)> make_reply;
    std::mutex lock;  // guards everything below
    std::condition_variable changed;
    std::map<std::string, origin_reply_t> routes;
    origin_reply_t default_reply;
    std::vector<origin_conn_t> conns;       // in order of acceptance
    std::map<std::string, size_t> fetches;  // requests per path
    int active = 0;                         // connections not over yet
    std::thread acceptor;
};

bool origin_start(origin_t &o);
// Closes every socket once each connection's thread has seen the stop;
// false when some took over 30 s (it waits on for them: a thread that never
// ends aborts the process rather than outlive o).
bool origin_stop(origin_t &o);
void origin_route(origin_t &o, const std::string &path, const origin_reply_t &reply);
void origin_default(origin_t &o, const origin_reply_t &reply);
// Waits until n connections have a complete header block (or closed).
bool origin_wait_requests(origin_t &o, size_t n, ms deadline);
// Waits until n connections are over (the proxy closed its side, or reset).
bool origin_wait_closed(origin_t &o, size_t n, ms deadline);
// The bytes received on connection i (in order of acceptance).
std::string origin_request(origin_t &o, size_t i);
size_t origin_count(origin_t &o);
// Connections whose request named this path.
size_t origin_fetches(origin_t &o, const std::string &path);
// "http://127.0.0.1:<port>" and the path.
std::string origin_url(const origin_t &o, const std::string &path);

// The path of a request's first line (its second word).
std::string request_path(const std::string &bytes);

// An HTTP/1.0 response with Content-Type, Content-Length and the given body.
std::string http_response(const std::string &body, int status = 200,
                          const std::string &reason = "OK",
                          const std::string &type = "text/plain");
// Deterministic bytes of any length (printable, with line ends every 64).
std::string pattern_body(size_t n, unsigned seed = 1);

// Full match of text against a shape where "<N>" stands for one or more
// digits, "<MS>" for a millisecond count printed without leading zeros, and
// everything else is literal (for console lines that carry times and ports).
bool shape_match(const std::string &text, const std::string &shape);

// ---------------------------------------------------------------- client

struct client_opts_t {
    std::vector<size_t> pieces;  // send in pieces of these sizes, rest at once
    int pause_ms = 0;            // pause between pieces
    bool shutdown_write = false;  // shut the sending side after sending
    bool close_after_send = false;  // close at once without reading
    size_t read_limit = 0;       // if > 0: close after this many bytes
    int rcvbuf = 0;              // if > 0: SO_RCVBUF, set before connecting
    // If not empty: read nothing until the server has shut its sending side
    // (it has queued its whole reply and closed or shut down; seen in
    // /proc/net/tcp), then send these bytes, then read.
    std::string late;
};

struct client_result_t {
    bool connected = false;
    std::string bytes;  // what the proxy sent
    bool eof = false;   // the proxy closed its side
    bool reset = false;  // ECONNRESET while reading
    bool timed_out = false;
};

// Connects to 127.0.0.1:port (-1 on failure), with a receive buffer of
// rcvbuf bytes when above 0 (set first, so the window offered is small from
// the start).
int client_connect(int port, int rcvbuf = 0);
// Sends all bytes; false when the peer has gone.
bool send_all(int fd, const std::string &bytes);
// Reads until EOF, reset, limit or deadline.
client_result_t read_until_close(int fd, ms deadline, size_t limit = 0);
// Connect, send, read until the proxy closes (or the deadline), close.
client_result_t client_exchange(int port, const std::string &request, ms deadline,
                                const client_opts_t &opts = client_opts_t());

// A browser with a small receive buffer (4 KiB) that sends 100 bytes more
// after its request once the proxy has queued its whole reply and shut its
// side: arriving at a socket already closed, they would make the kernel reset
// and destroy the part of the reply still unsent. Asks twice with `ask` (a
// miss, then a hit); "" when each round got `reply` whole with no reset or
// time-out, otherwise what went wrong.
std::string late_bytes_failure(const std::function<client_result_t(const client_opts_t &)> &ask,
                               const std::string &reply);

}  // namespace harness

#endif  // HARNESS_H
