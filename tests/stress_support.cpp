// Shared pieces of the stress and fault suite (see stress_support.h).
#include "stress_support.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

#ifndef STAMPPROXY_BIN
#define STAMPPROXY_BIN ""
#endif
#ifndef STAGEPROXY_BIN
#define STAGEPROXY_BIN ""
#endif
#ifndef SLOTPROXY_BIN
#define SLOTPROXY_BIN ""
#endif

namespace stress {

namespace {

#if defined(STRESS_TSAN) && defined(STRESS_TSAN_SUPPRESSIONS)
// Before main, while this process has one thread: the programs started
// later inherit the suppression of glibc's resolver race (see stress.cmake).
struct tsan_options_t {
    tsan_options_t() {
        const char *old = getenv("TSAN_OPTIONS");
        std::string options = old != nullptr ? old : "";
        options += std::string(options.empty() ? "" : " ") +
                   "suppressions=" + STRESS_TSAN_SUPPRESSIONS;
        setenv("TSAN_OPTIONS", options.c_str(), 1);
    }
} tsan_options;
#endif

using clock_type = std::chrono::steady_clock;

clock_type::time_point after(ms d) { return clock_type::now() + harness::scaled(d); }

int left_ms(clock_type::time_point end) {
    auto left = std::chrono::duration_cast<ms>(end - clock_type::now()).count();
    return left < 0 ? 0 : (int)left;
}

// Sends every byte within the deadline, waiting while the peer's window is
// full; false when the peer has gone, the origin stops, or time runs out.
bool send_until(int fd, const std::string &bytes, clock_type::time_point end,
                const std::atomic<bool> &stopping) {
    size_t off = 0;
    while (off < bytes.size()) {
        if (stopping || left_ms(end) == 0) return false;
        struct pollfd pfd = {fd, POLLOUT, 0};
        int rc = poll(&pfd, 1, 50);
        if (rc < 0 && errno != EINTR) return false;
        if (rc <= 0) continue;
        ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (n <= 0) return false;
        off += (size_t)n;
    }
    return true;
}

bool wait_starting(harness::process_t &p, ms deadline) {
    return harness::wait_accepting(p, p.port, deadline);
}

}  // namespace

// ---------------------------------------------------------------- sizes

bool full_size() {
    const char *env = getenv("STRESS_FULL");
    return env != nullptr && strcmp(env, "1") == 0;
}

size_t sized(size_t ci, size_t full) { return full_size() ? full : ci; }

size_t raise_fd_limit(size_t want) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    if (rl.rlim_cur < want) {
        rl.rlim_cur = std::min<rlim_t>(want, rl.rlim_max);
        setrlimit(RLIMIT_NOFILE, &rl);
        getrlimit(RLIMIT_NOFILE, &rl);
    }
    return (size_t)rl.rlim_cur;
}

// ---------------------------------------------------------------- programs

bool stores(const program_t &p, const std::string &response) {
    const size_t n = response.size();
    if (p.name == "stampproxy") return n > 0 && n <= 102400;  // one read, closed
    if (p.name == "stageproxy") return n > 0 && n <= 102399;
    // slotproxy: lines as the line reader cuts them (up to a line feed, at
    // most 8191 bytes); the copy stops for good at a line that begins at
    // 94208 bytes or more.
    size_t length = 0, pos = 0;
    while (pos < n) {
        if (length >= 94208) return false;
        size_t eol = response.find('\n', pos);
        size_t end = eol == std::string::npos ? n : eol + 1;
        size_t line = std::min(end - pos, (size_t)8191);
        length += line;
        pos += line;
    }
    return true;
}

std::string param_name(const testing::TestParamInfo<program_t> &info) { return info.param.name; }

// ---------------------------------------------------------------- the proxy

int idle_thread_count() { return TSAN ? 2 : 1; }

std::string sanitizer_report(const harness::process_t &p) {
    const std::string err = harness::read_stderr(p);
    for (const char *needle : {"ERROR: AddressSanitizer", "runtime error:",
                               "WARNING: ThreadSanitizer", "ERROR: LeakSanitizer"}) {
        size_t at = err.find(needle);
        if (at != std::string::npos) return err.substr(at, 4000);
    }
    return std::string();
}

bool start_proxy(proxy_t &p, const program_t &prog, bool quiet, const std::string &warm_request,
                 const std::string &warm_reply) {
    p.prog = &prog;
    bool up = false;
    if (!quiet) {
        up = harness::start_server(p.proc, prog.binary, prog.quiet);
    } else {
        // Through the shell, which execs the program with its standard
        // output on /dev/null: the pid stays the program's.
        for (int attempt = 0; attempt < 5 && !up; attempt++) {
            int port = harness::free_port();
            std::string line = "exec " + prog.binary + " " + std::to_string(port);
            for (const std::string &w : prog.quiet) line += " " + w;
            line += " >/dev/null";
            if (!harness::start_process(p.proc, {"/bin/sh", "-c", line})) return false;
            p.proc.port = port;
            up = wait_starting(p.proc, ms(5000));
            if (!up) harness::stop_process(p.proc);
        }
    }
    EXPECT_TRUE(up) << prog.name << " did not start";
    if (!up) return false;
    harness::client_result_t r = harness::client_exchange(p.port(), warm_request, ms(10000));
    EXPECT_TRUE(r.bytes == warm_reply) << "warm-up reply of " << r.bytes.size() << " bytes";
    p.idle_threads = idle_thread_count();
    EXPECT_TRUE(harness::wait_threads(p.pid(), p.idle_threads, ms(10000)))
        << "threads after warm-up: " << harness::count_threads(p.pid());
    p.idle_fds = harness::count_fds(p.pid());
    return true;
}

void stop_proxy(proxy_t &p) {
    if (p.proc.pid <= 0) return;
    EXPECT_TRUE(harness::is_running(p.proc)) << p.prog->name << " is gone";
    harness::stop_process(p.proc);
    const std::string report = sanitizer_report(p.proc);
    EXPECT_EQ(report, "") << "sanitizer report from " << p.prog->name;
    unlink(p.proc.out_path.c_str());
    unlink(p.proc.err_path.c_str());
    p.proc.pid = -1;
}

void expect_idle(proxy_t &p) {
    EXPECT_TRUE(harness::wait_fds(p.pid(), p.idle_fds, ms(15000)))
        << "descriptors: " << harness::count_fds(p.pid()) << ", idle " << p.idle_fds;
    EXPECT_TRUE(harness::wait_threads(p.pid(), p.idle_threads, ms(15000)))
        << "threads: " << harness::count_threads(p.pid()) << ", idle " << p.idle_threads;
}

long rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
    }
    return -1;
}

bool wait_at_least(const std::function<int()> &value, int n, ms deadline) {
    auto end = after(deadline);
    for (;;) {
        if (value() >= n) return true;
        if (left_ms(end) == 0) return false;
        std::this_thread::sleep_for(ms(10));
    }
}

std::string get(const std::string &url, const std::string &headers) {
    return "GET " + url + " HTTP/1.0\r\n" + headers + "\r\n";
}

// ---------------------------------------------------------------- origin

bool load_origin_t::start() {
    listen_fd_ = harness::listen_local(port_, 4096);
    if (listen_fd_ < 0) return false;
    acceptor_ = std::thread([this] { accept_loop(); });
    return true;
}

void load_origin_t::stop() {
    stopping_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    // Every connection thread looks at stopping_ at least every 50 ms.
    auto end = after(ms(30000));
    while (active_.load() > 0 && left_ms(end) > 0) std::this_thread::sleep_for(ms(5));
    EXPECT_EQ(active_.load(), 0) << "origin connections still running";
    if (listen_fd_ >= 0) close(listen_fd_);
    listen_fd_ = -1;
}

std::string load_origin_t::url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

size_t load_origin_t::fetches(const std::string &path) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = fetches_.find(path);
    return it == fetches_.end() ? 0 : it->second;
}

void load_origin_t::accept_loop() {
    while (!stopping_) {
        struct pollfd pfd = {listen_fd_, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0) continue;
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) continue;
        connections_++;
        active_++;
        std::thread([this, fd] { serve(fd); }).detach();
    }
}

void load_origin_t::serve(int fd) {
    std::string got;
    char buf[16384];
    auto end = after(ms(60000));
    bool peer_closed = false;
    while (got.find("\r\n\r\n") == std::string::npos && !stopping_ && left_ms(end) > 0) {
        struct pollfd pfd = {fd, POLLIN, 0};
        int rc = poll(&pfd, 1, 50);
        if (rc <= 0) continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            peer_closed = true;
            break;
        }
        got.append(buf, (size_t)n);
    }
    if (got.find("\r\n\r\n") != std::string::npos) {
        const std::string path = harness::request_path(got);
        size_t k;
        {
            std::lock_guard<std::mutex> g(lock_);
            k = fetches_[path]++;
        }
        if (send_until(fd, fn_(path, k), end, stopping_)) shutdown(fd, SHUT_WR);
    }
    // Wait for the program to close its side, so no reset can cut the reply.
    while (!peer_closed && !stopping_ && left_ms(end) > 0) {
        struct pollfd pfd = {fd, POLLIN, 0};
        int rc = poll(&pfd, 1, 50);
        if (rc <= 0) continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
    }
    close(fd);
    active_--;  // the last touch of this object
}

// ---------------------------------------------------------------- browsers

std::vector<outcome_t> drive(int port, const std::vector<script_t> &scripts, ms deadline,
                             const std::function<void(size_t)> &all_open) {
    struct conn_t {
        int fd = -1;
        size_t sent = 0;
        bool sending = true;
        bool done = false;
        clock_type::time_point next_send, next_read;
    };
    const size_t n = scripts.size();
    std::vector<outcome_t> out(n);
    std::vector<conn_t> conns(n);
    size_t opened = 0;
    for (size_t i = 0; i < n; i++) {
        int fd = harness::client_connect(port);
        if (fd < 0) {
            conns[i].done = true;
            continue;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        conns[i].fd = fd;
        out[i].connected = true;
        opened++;
    }
    if (all_open) all_open(opened);

    auto finish = [&](size_t i) {
        if (conns[i].fd >= 0) close(conns[i].fd);
        conns[i].fd = -1;
        conns[i].done = true;
    };
    auto start = clock_type::now();
    for (conn_t &c : conns) c.next_send = c.next_read = start;
    auto end = after(deadline);
    std::vector<struct pollfd> pfds;
    std::vector<size_t> index;
    char buf[65536];
    for (;;) {
        auto now = clock_type::now();
        auto wake = now + ms(50);
        pfds.clear();
        index.clear();
        for (size_t i = 0; i < n; i++) {
            conn_t &c = conns[i];
            if (c.done) continue;
            short events = 0;
            if (c.sending) {
                if (c.next_send <= now) {
                    events |= POLLOUT;
                } else {
                    wake = std::min(wake, c.next_send);
                }
            }
            if (c.next_read <= now) {
                events |= POLLIN;
            } else {
                wake = std::min(wake, c.next_read);
            }
            pfds.push_back({c.fd, events, 0});
            index.push_back(i);
        }
        if (index.empty()) break;
        if (left_ms(end) == 0) {
            for (size_t i : index) {
                out[i].timed_out = true;
                finish(i);
            }
            break;
        }
        int wait = (int)std::chrono::duration_cast<ms>(wake - now).count();
        wait = std::max(0, std::min(wait, left_ms(end)));
        int rc = poll(pfds.data(), pfds.size(), wait);
        if (rc < 0 && errno != EINTR) break;
        if (rc <= 0) continue;
        now = clock_type::now();
        for (size_t k = 0; k < pfds.size(); k++) {
            const size_t i = index[k];
            conn_t &c = conns[i];
            const script_t &s = scripts[i];
            const short got = pfds[k].revents;
            if (got == 0) continue;
            if (c.sending && (got & (POLLOUT | POLLERR | POLLHUP)) && (pfds[k].events & POLLOUT)) {
                size_t want = s.request.size() - c.sent;
                if (s.send_piece > 0) want = std::min(want, s.send_piece);
                ssize_t m = want == 0 ? 0
                                      : send(c.fd, s.request.data() + c.sent, want,
                                             MSG_NOSIGNAL | MSG_DONTWAIT);
                if (m > 0) {
                    c.sent += (size_t)m;
                    if (s.send_piece > 0) c.next_send = now + ms(s.send_pause_ms);
                } else if (m < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    c.sending = false;  // the program has gone; read what it sent
                }
                if (c.sent == s.request.size()) {
                    c.sending = false;
                    if (s.close_after_send) {
                        finish(i);
                        continue;
                    }
                }
            }
            if ((got & (POLLIN | POLLERR | POLLHUP)) && (pfds[k].events & POLLIN)) {
                size_t want = sizeof buf;
                if (s.read_piece > 0) want = std::min(want, s.read_piece);
                if (s.read_limit > 0) want = std::min(want, s.read_limit - out[i].bytes.size());
                ssize_t m = recv(c.fd, buf, want, MSG_DONTWAIT);
                if (m > 0) {
                    out[i].bytes.append(buf, (size_t)m);
                    if (s.read_piece > 0) c.next_read = now + ms(s.read_pause_ms);
                    if (s.read_limit > 0 && out[i].bytes.size() >= s.read_limit) finish(i);
                } else if (m == 0) {
                    out[i].eof = true;
                    finish(i);
                } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    out[i].reset = errno == ECONNRESET;
                    finish(i);
                }
            }
        }
    }
    for (size_t i = 0; i < n; i++) {
        if (!conns[i].done) finish(i);
    }
    return out;
}

void parallel(size_t n, size_t clients, const std::function<void(size_t)> &fn) {
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (size_t c = 0; c < clients; c++) {
        pool.emplace_back([&] {
            for (size_t i = next++; i < n; i = next++) fn(i);
        });
    }
    for (std::thread &t : pool) t.join();
}

bool is_prefix(const std::string &got, const std::string &whole) {
    return got.size() <= whole.size() && whole.compare(0, got.size(), got) == 0;
}

}  // namespace stress
