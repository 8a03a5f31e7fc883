// Shared pieces of the stress and fault suite (see stress_support.h).
#include "stress_support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

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

int left_ms(clock_type::time_point end) {
    auto left = std::chrono::duration_cast<ms>(end - clock_type::now()).count();
    return left < 0 ? 0 : (int)left;
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

std::string param_name(const testing::TestParamInfo<program_t> &info) { return info.param.name; }

unsigned seed_of(const std::string &path) {
    unsigned h = 2166136261u;
    for (char c : path) h = (h ^ (unsigned char)c) * 16777619u;
    return h;
}

// ---------------------------------------------------------------- the proxy

bool start_loaded(loaded_t &l, bool quiet, const std::string &warm_path) {
    const program_t &row = l.run.row;
    l.run.proxy.discard_out = quiet;
    bool up = origin_start(l.run.origin) && start_server(l.run.proxy, row.binary, row.quiet);
    EXPECT_TRUE(up) << row.name << " did not start";
    if (!up) return false;
    origin_t &o = l.run.origin;
    const std::string warm = o.make_reply ? o.make_reply(warm_path, 0) : o.default_reply.bytes;
    client_result_t r = client_exchange(l.port(), get(l.url(warm_path)), ms(10000));
    EXPECT_TRUE(r.bytes == warm) << "warm-up reply of " << r.bytes.size() << " bytes";
    l.idle_threads = 1 + RUNTIME_THREADS;
    EXPECT_TRUE(wait_threads(l.pid(), l.idle_threads, ms(10000)))
        << "threads after warm-up: " << count_threads(l.pid());
    l.idle_fds = count_fds(l.pid());
    return true;
}

void stop_loaded(loaded_t &l) {
    if (l.run.proxy.pid > 0) {
        EXPECT_TRUE(is_running(l.run.proxy)) << l.run.row.name << " is gone";
        stop_process(l.run.proxy);
        expect_no_sanitizer_report(l.run.proxy);
        l.run.proxy.pid = -1;  // stopped once; its files go with l
    }
    EXPECT_TRUE(origin_stop(l.run.origin)) << "origin connections still running";
}

void expect_idle(loaded_t &l) {
    EXPECT_TRUE(wait_fds(l.pid(), l.idle_fds, ms(15000)))
        << "descriptors: " << count_fds(l.pid()) << ", idle " << l.idle_fds;
    EXPECT_TRUE(wait_threads(l.pid(), l.idle_threads, ms(15000)))
        << "threads: " << count_threads(l.pid()) << ", idle " << l.idle_threads;
}

long rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
    }
    return -1;
}

std::string get(const std::string &url, const std::string &headers) {
    return "GET " + url + " HTTP/1.0\r\n" + headers + "\r\n";
}

// ---------------------------------------------------------------- browsers

std::vector<client_result_t> drive(int port, const std::vector<script_t> &scripts, ms deadline,
                                   const std::function<void(size_t)> &all_open) {
    struct conn_t {
        int fd = -1;
        size_t sent = 0;
        bool sending = true;
        bool done = false;
        clock_type::time_point next_send, next_read;
    };
    const size_t n = scripts.size();
    std::vector<client_result_t> out(n);
    std::vector<conn_t> conns(n);
    size_t opened = 0;
    for (size_t i = 0; i < n; i++) {
        int fd = client_connect(port);
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
    auto end = clock_type::now() + scaled(deadline);
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
