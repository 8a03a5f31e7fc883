// Launcher, scripted origin and raw client for whole-program tests.
#include "harness.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace harness {

namespace {

using clock_type = std::chrono::steady_clock;

clock_type::time_point deadline_after(ms d) { return clock_type::now() + scaled(d); }

int remaining_ms(clock_type::time_point end) {
    auto left = std::chrono::duration_cast<ms>(end - clock_type::now()).count();
    return left < 0 ? 0 : (int)left;
}

void pause_for(int millis) {
    if (millis > 0) std::this_thread::sleep_for(ms(millis));
}

int count_dir(const std::string &path) {
    DIR *d = opendir(path.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') n++;
    }
    closedir(d);
    return n;
}

// Sends every byte, waiting while the peer's window is full; false when the
// peer has gone, or once *stop is set (the origin looks at it every 50 ms).
bool write_full(int fd, const char *p, size_t n, const std::atomic<bool> *stop = nullptr) {
    while (n > 0) {
        if (stop != nullptr && *stop) return false;
        struct pollfd pfd = {fd, POLLOUT, 0};
        if (poll(&pfd, 1, 50) == 0) continue;
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (k <= 0) return false;
        p += k;
        n -= (size_t)k;
    }
    return true;
}

// Sends bytes in the given pieces with pauses; false when the peer has gone.
bool send_pieces(int fd, const std::string &bytes, const std::vector<size_t> &pieces,
                 int pause_ms, const std::atomic<bool> *stop = nullptr) {
    size_t off = 0;
    for (size_t piece : pieces) {
        if (off >= bytes.size()) break;
        size_t n = std::min(piece, bytes.size() - off);
        if (!write_full(fd, bytes.data() + off, n, stop)) return false;
        off += n;
        pause_for(pause_ms);
    }
    return write_full(fd, bytes.data() + off, bytes.size() - off, stop);
}

struct sockaddr_in loopback(int port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    return a;
}

// A socket bound to 127.0.0.1:port (0: a port the system chooses, then put
// in port), listening with `backlog` when above 0, with SO_REUSEADDR when
// reuse; -1 on failure.
int bind_loopback(int &port, int backlog, bool reuse) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    if (reuse) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = loopback(port);
    socklen_t len = sizeof a;
    if (bind(fd, (struct sockaddr *)&a, sizeof a) < 0 || (backlog > 0 && listen(fd, backlog) < 0) ||
        getsockname(fd, (struct sockaddr *)&a, &len) < 0) {
        close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

// Reads what is available within wait_ms into conn bytes; 0 on EOF, -1 on
// error or reset, 1 when bytes came, 2 on a quiet interval.
int origin_read_some(origin_t &o, int fd, size_t index, int wait_ms) {
    struct pollfd pfd = {fd, POLLIN, 0};
    int rc = poll(&pfd, 1, wait_ms);
    if (rc == 0) return 2;
    if (rc < 0) return errno == EINTR ? 2 : -1;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0) return errno == EINTR ? 2 : -1;
    if (n == 0) return 0;
    std::lock_guard<std::mutex> g(o.lock);
    o.conns[index].bytes.append(buf, (size_t)n);
    if (o.conns[index].bytes.find("\r\n\r\n") != std::string::npos) {
        o.conns[index].header_done = true;
    }
    o.changed.notify_all();
    return 1;
}

// The exchange's header is done, or (closed) it is over: then this is the
// last touch of o by the connection's thread.
void origin_mark(origin_t &o, size_t index, bool closed) {
    std::lock_guard<std::mutex> g(o.lock);
    o.conns[index].header_done = true;
    if (closed) {
        o.conns[index].closed = true;
        o.active--;
    }
    o.changed.notify_all();
}

void origin_serve(origin_t &o, int fd, size_t index) {
    // Phase 1: the request up to its header end (or the peer's close).
    bool peer_closed = false;
    auto header_deadline = deadline_after(ms(20000));
    for (;;) {
        {
            std::lock_guard<std::mutex> g(o.lock);
            if (o.conns[index].header_done) break;
        }
        if (o.stopping || remaining_ms(header_deadline) == 0) break;
        int rc = origin_read_some(o, fd, index, 50);
        if (rc <= 0) {
            peer_closed = true;
            break;
        }
    }
    origin_reply_t reply;
    std::string path;
    size_t k;
    bool made;
    {
        std::lock_guard<std::mutex> g(o.lock);
        path = request_path(o.conns[index].bytes);
        k = o.fetches[path]++;
        auto it = o.routes.find(path);
        made = it == o.routes.end() && o.make_reply;
        reply = it != o.routes.end() ? it->second : o.default_reply;
    }
    if (made) reply.bytes = o.make_reply(path, k);
    origin_mark(o, index, false);

    // Phase 2: the reply, then the chosen ending.
    bool ok = !peer_closed || !reply.wait_request;
    if (ok) ok = send_pieces(fd, reply.bytes, reply.pieces, reply.pause_ms, &o.stopping);
    if (ok && reply.end == origin_end_t::RESET) {
        struct linger lg = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close(fd);
        origin_mark(o, index, true);
        return;
    }
    if (ok && reply.end == origin_end_t::CLOSE) shutdown(fd, SHUT_WR);

    // Phase 3: record whatever else arrives until the peer closes.
    auto tail_deadline = deadline_after(reply.end == origin_end_t::HOLD ? ms(600000) : ms(10000));
    while (!peer_closed && !o.stopping && remaining_ms(tail_deadline) > 0) {
        int rc = origin_read_some(o, fd, index, 50);
        if (rc <= 0) break;
    }
    close(fd);
    origin_mark(o, index, true);
}

void origin_accept_loop(origin_t &o) {
    while (!o.stopping) {
        struct pollfd pfd = {o.listen_fd, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0) continue;
        int fd = accept(o.listen_fd, nullptr, nullptr);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> g(o.lock);
        size_t index = o.conns.size();
        o.conns.push_back(origin_conn_t());
        o.connections++;
        o.active++;
        std::thread([&o, fd, index] { origin_serve(o, fd, index); }).detach();
    }
}

template <typename Pred>
bool origin_wait(origin_t &o, ms deadline, Pred pred) {
    std::unique_lock<std::mutex> g(o.lock);
    return o.changed.wait_for(g, scaled(deadline), [&] { return pred(); });
}

}  // namespace

double time_scale() {
    const char *env = getenv("HARNESS_TIME_SCALE");
    if (env != nullptr && atof(env) > 0) return atof(env);
#ifdef HARNESS_SANITIZED
    return 3.0;
#else
    return 1.0;
#endif
}

ms scaled(ms d) { return ms((long long)(d.count() * time_scale())); }

bool wait_until(const std::function<bool()> &done, ms deadline, int period_ms) {
    auto end = deadline_after(deadline);
    for (;;) {
        if (done()) return true;
        if (remaining_ms(end) == 0) return false;
        pause_for(period_ms);
    }
}

std::string read_file(const std::string &path, size_t from) {
    std::ifstream in(path, std::ios::binary);
    if (from > 0) in.seekg((std::streamoff)from);
    std::ostringstream s;
    if (in) s << in.rdbuf();
    return s.str();
}

std::string temp_file(const char *tag) {
    std::string path = std::string("/tmp/harness-") + tag + "-XXXXXX";
    int fd = mkstemp(&path[0]);
    if (fd < 0) return std::string();
    close(fd);
    return path;
}

int occurrences(const std::string &hay, const std::string &needle) {
    if (needle.empty()) return 0;
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

int hold_port(int port) { return bind_loopback(port, 4, false); }

refused_port_t::refused_port_t() { fd = bind_loopback(port, 0, false); }

refused_port_t::~refused_port_t() {
    if (fd >= 0) close(fd);
}

bool network_isolated() {
    std::ifstream dev("/proc/net/dev");
    std::string line;
    int seen = 0;
    while (std::getline(dev, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;  // the two heading lines
        size_t start = line.find_first_not_of(' ');
        if (line.compare(start, colon - start, "lo") != 0) return false;
        seen++;
    }
    return seen == 1;
}

std::string request_path(const std::string &bytes) {
    size_t eol = bytes.find('\n');
    std::string line = bytes.substr(0, eol);
    size_t a = line.find(' ');
    if (a == std::string::npos) return std::string();
    size_t b = line.find(' ', a + 1);
    return line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
}

int listen_local(int &port, int backlog) {
    port = 0;
    return bind_loopback(port, backlog, true);
}

int free_port() {
    int port = 0, fd = bind_loopback(port, 0, false);
    if (fd < 0) return -1;
    close(fd);
    return port;
}

// ---------------------------------------------------------------- processes

bool start_process(process_t &p, const std::vector<std::string> &argv) {
    p.out_path = p.discard_out ? std::string() : temp_file("out");
    p.err_path = temp_file("err");
    p.reaped = false;
    p.status = -1;
    // Everything the child needs is made before fork: the test runs threads
    // (the origin's), one of which may hold the allocator's lock.
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (p.own_group) setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        int out = p.discard_out ? open("/dev/null", O_WRONLY)
                                : open(p.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(p.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // The child must not inherit the test's other descriptors.
        for (int fd = 3; fd < 1024; fd++) close(fd);
        execv(args[0], args.data());
        _exit(127);
    }
    p.pid = pid;
    return true;
}

bool is_running(process_t &p) {
    if (p.pid <= 0 || p.reaped) return false;
    int status;
    pid_t r = waitpid(p.pid, &status, WNOHANG);
    if (r == p.pid) {
        p.status = status;
        p.reaped = true;
        return false;
    }
    return true;
}

bool wait_accepting(process_t &p, int port, ms deadline) {
    int fd = -1;
    wait_until([&] { return !is_running(p) || (fd = client_connect(port)) >= 0; }, deadline);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

bool start_server(process_t &p, const std::string &binary, const std::vector<std::string> &extra) {
    for (int attempt = 0; attempt < 5; attempt++) {
        int port = free_port();
        std::vector<std::string> argv = {binary, std::to_string(port)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!start_process(p, argv)) return false;
        p.port = port;
        if (wait_accepting(p, port, ms(5000))) return true;
        stop_process(p);
    }
    return false;
}

bool wait_exit(process_t &p, ms deadline) {
    return wait_until([&] { return !is_running(p); }, deadline, 5) && p.reaped;
}

int stop_process(process_t &p, ms deadline) {
    if (p.pid <= 0) return -1;
    if (is_running(p)) {
        kill(p.pid, SIGTERM);
        if (!wait_exit(p, deadline)) {
            kill(p.pid, SIGKILL);
            int status;
            if (waitpid(p.pid, &status, 0) == p.pid) {
                p.status = status;
                p.reaped = true;
            }
        }
    }
    return p.status;
}

std::string read_stdout(const process_t &p) { return read_file(p.out_path); }
std::string read_stderr(const process_t &p) { return read_file(p.err_path); }

bool wait_output(const process_t &p, const std::string &needle, ms deadline, bool from_stderr,
                 int count) {
    return wait_until([&] {
        return occurrences(from_stderr ? read_stderr(p) : read_stdout(p), needle) >= count;
    }, deadline);
}

int count_fds(pid_t pid) { return count_dir("/proc/" + std::to_string(pid) + "/fd"); }
int count_threads(pid_t pid) { return count_dir("/proc/" + std::to_string(pid) + "/task"); }

bool wait_threads(pid_t pid, int n, ms deadline) {
    return wait_until([&] { return count_threads(pid) == n; }, deadline);
}

bool wait_fds(pid_t pid, int n, ms deadline) {
    return wait_until([&] { return count_fds(pid) == n; }, deadline);
}

run_result_t run_to_exit(const std::vector<std::string> &argv, ms deadline) {
    run_result_t r;
    process_t p;
    if (!start_process(p, argv)) return r;
    r.exited = wait_exit(p, deadline);
    if (!r.exited) stop_process(p, ms(1000));
    if (p.reaped && WIFEXITED(p.status)) r.exit_code = WEXITSTATUS(p.status);
    if (p.reaped && WIFSIGNALED(p.status)) r.signal = WTERMSIG(p.status);
    r.out = read_stdout(p);
    r.err = read_stderr(p);
    unlink(p.out_path.c_str());
    unlink(p.err_path.c_str());
    return r;
}

// ---------------------------------------------------------------- origin

bool origin_start(origin_t &o) {
    o.listen_fd = bind_loopback(o.port, 4096, true);
    if (o.listen_fd < 0) return false;
    o.stopping = false;
    o.acceptor = std::thread([&o] { origin_accept_loop(o); });
    return true;
}

bool origin_stop(origin_t &o) {
    o.stopping = true;
    if (o.acceptor.joinable()) o.acceptor.join();
    // Every connection's thread looks at stopping at least every 50 ms; one
    // that has not ended in 30 s is stuck in a call, and the test fails. The
    // threads are detached and use o, so o must not go before the last has
    // ended: wait on, and end the process if one never does.
    auto over = [&] { return o.active == 0; };
    bool ended = origin_wait(o, ms(30000), over);
    if (!ended && !origin_wait(o, ms(600000), over)) {
        fprintf(stderr, "harness: an origin connection never ended\n");
        abort();
    }
    if (o.listen_fd >= 0) close(o.listen_fd);
    o.listen_fd = -1;
    return ended;
}

void origin_route(origin_t &o, const std::string &path, const origin_reply_t &reply) {
    std::lock_guard<std::mutex> g(o.lock);
    o.routes[path] = reply;
}

void origin_default(origin_t &o, const origin_reply_t &reply) {
    std::lock_guard<std::mutex> g(o.lock);
    o.default_reply = reply;
}

bool origin_wait_requests(origin_t &o, size_t n, ms deadline) {
    return origin_wait(o, deadline, [&] {
        size_t done = 0;
        for (const origin_conn_t &c : o.conns) done += c.header_done ? 1 : 0;
        return done >= n;
    });
}

bool origin_wait_closed(origin_t &o, size_t n, ms deadline) {
    return origin_wait(o, deadline, [&] {
        size_t done = 0;
        for (const origin_conn_t &c : o.conns) done += c.closed ? 1 : 0;
        return done >= n;
    });
}

std::string origin_request(origin_t &o, size_t i) {
    std::lock_guard<std::mutex> g(o.lock);
    return i < o.conns.size() ? o.conns[i].bytes : std::string();
}

size_t origin_count(origin_t &o) {
    std::lock_guard<std::mutex> g(o.lock);
    return o.conns.size();
}

size_t origin_fetches(origin_t &o, const std::string &path) {
    std::lock_guard<std::mutex> g(o.lock);
    auto it = o.fetches.find(path);
    return it == o.fetches.end() ? 0 : it->second;
}

std::string origin_url(const origin_t &o, const std::string &path) {
    return "http://127.0.0.1:" + std::to_string(o.port) + path;
}

std::string http_response(const std::string &body, int status, const std::string &reason,
                          const std::string &type) {
    return "HTTP/1.0 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string pattern_body(size_t n, unsigned seed) {
    std::string s(n, ' ');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = (i % 64 == 63) ? '\n' : (char)('a' + (x >> 16) % 26);
    }
    return s;
}

// ---------------------------------------------------------------- client

int client_connect(int port, int rcvbuf) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    struct sockaddr_in a = loopback(port);
    if (connect(fd, (struct sockaddr *)&a, sizeof a) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string &bytes) { return write_full(fd, bytes.data(), bytes.size()); }

client_result_t read_until_close(int fd, ms deadline, size_t limit) {
    client_result_t r;
    r.connected = true;
    auto end = deadline_after(deadline);
    char buf[65536];
    for (;;) {
        int left = remaining_ms(end);
        if (left == 0) {
            r.timed_out = true;
            return r;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        int rc = poll(&pfd, 1, left);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) continue;
        size_t want = sizeof buf;
        if (limit > 0 && limit - r.bytes.size() < want) want = limit - r.bytes.size();
        ssize_t n = recv(fd, buf, want, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            r.reset = errno == ECONNRESET;
            return r;
        }
        if (n == 0) {
            r.eof = true;
            return r;
        }
        r.bytes.append(buf, (size_t)n);
        if (limit > 0 && r.bytes.size() >= limit) return r;
    }
}

// True once the server's end of the loopback connection fd (the entry of
// /proc/net/tcp whose local port is fd's peer's and whose remote port is
// fd's own) has left ESTABLISHED, or is gone: the server has shut its
// sending side or closed. False at the deadline.
static bool wait_server_side_shut(int fd, ms deadline) {
    struct sockaddr_in self, peer;
    socklen_t len = sizeof self;
    if (getsockname(fd, (struct sockaddr *)&self, &len) < 0) return false;
    len = sizeof peer;
    if (getpeername(fd, (struct sockaddr *)&peer, &len) < 0) return false;
    char local[32], remote[32];
    snprintf(local, sizeof local, "%08X:%04X", peer.sin_addr.s_addr, ntohs(peer.sin_port));
    snprintf(remote, sizeof remote, "%08X:%04X", self.sin_addr.s_addr, ntohs(self.sin_port));
    return wait_until([&] {
        std::ifstream table("/proc/net/tcp");
        std::string line;
        bool established = false;  // and found
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, l, r, state;
            if (!(fields >> slot >> l >> r >> state)) continue;
            if (l == local && r == remote) established = state == "01";
        }
        return !established;
    }, deadline);
}

client_result_t client_exchange(int port, const std::string &request, ms deadline,
                                const client_opts_t &opts) {
    client_result_t r;
    int fd = client_connect(port, opts.rcvbuf);
    if (fd < 0) return r;
    send_pieces(fd, request, opts.pieces, opts.pause_ms);
    if (!opts.late.empty()) {
        if (!wait_server_side_shut(fd, deadline)) {
            close(fd);
            r.connected = true;
            r.timed_out = true;
            return r;
        }
        send_all(fd, opts.late);
    }
    if (opts.close_after_send) {
        close(fd);
        r.connected = true;
        return r;
    }
    if (opts.shutdown_write) shutdown(fd, SHUT_WR);
    r = read_until_close(fd, deadline, opts.read_limit);
    close(fd);
    return r;
}

bool shape_match(const std::string &text, const std::string &shape) {
    size_t t = 0, s = 0;
    while (s < shape.size()) {
        bool n = shape.compare(s, 3, "<N>") == 0, ms_field = shape.compare(s, 4, "<MS>") == 0;
        if (n || ms_field) {
            size_t start = t;
            while (t < text.size() && isdigit((unsigned char)text[t])) t++;
            if (t == start) return false;
            if (ms_field && (t - start > 3 || (text[start] == '0' && t - start > 1))) return false;
            s += n ? 3 : 4;
        } else {
            if (t >= text.size() || text[t] != shape[s]) return false;
            t++;
            s++;
        }
    }
    return t == text.size();
}

std::string late_bytes_failure(const std::function<client_result_t(const client_opts_t &)> &ask,
                               const std::string &reply) {
    client_opts_t opts;
    opts.rcvbuf = 4096;
    opts.late = std::string(100, 'z');
    std::string failure;
    for (const char *round : {"miss", "hit"}) {
        client_result_t r = ask(opts);
        if (r.timed_out || r.reset || !r.eof || r.bytes != reply) {
            failure += std::string(round) + ": " + std::to_string(r.bytes.size()) + " of " +
                       std::to_string(reply.size()) + " bytes" + (r.reset ? ", reset" : "") +
                       (r.timed_out ? ", timed out" : "") + (r.eof ? "" : ", not closed") + "\n";
        }
    }
    return failure;
}

}  // namespace harness
