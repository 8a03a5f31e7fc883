// What the three programs share, written once and run over the table of
// programs (tests/harness/programs.h): console flushing, a taken port, the
// descriptor limit raised at start-up, a real client through the proxy, many
// browsers at once, the lingering close, and the accept loop's failures.
// Where the programs' bytes differ, the row says what each prints.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "programs.h"

using namespace harness;

namespace {

const ms DEADLINE(10000);

struct Shared : ::testing::TestWithParam<program_t> {};

// The console after the launcher's probe, as the row says it looks.
void expect_probe_console(const process_t &p, const program_t &row) {
    std::string out = read_stdout(p);
    if (!row.probe_cut.empty()) out = out.substr(0, out.find(row.probe_cut));
    EXPECT_TRUE(shape_match(out, substitute(row.probe_out, "<PORT>", std::to_string(p.port))))
        << out;
    EXPECT_EQ(read_stderr(p), row.probe_err);
}

// Started on a port another socket listens on, the program says so in its
// own words and ends with its own status.
TEST_P(Shared, PortInUseEndsWithTheProgramsBindFailure) {
    const program_t &row = GetParam();
    int port = free_port();
    int held = hold_port(port);
    ASSERT_GE(held, 0);
    run_result_t r = run_to_exit({row.binary, std::to_string(port)}, DEADLINE);
    close(held);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, row.bind_status);
    EXPECT_TRUE(shape_match(r.out, substitute(row.bind_out, "<PORT>", std::to_string(port))))
        << r.out;
    EXPECT_EQ(r.err, row.bind_err);
}

// What start-up prints is on the console before any connection, and what a
// connection prints is there once it ends: a kill, the only way the programs
// stop, loses none of it.
TEST_P(Shared, ConsoleFlushedAfterStartupAndAtEachConnectionEnd) {
    const program_t &row = GetParam();
    running_t run(row);
    ASSERT_TRUE(origin_start(run.origin));
    origin_reply_t reply;
    reply.bytes = http_response("flushed");
    origin_default(run.origin, reply);
    const std::string port = std::to_string(free_port());
    std::vector<std::string> argv = {row.binary, port};
    argv.insert(argv.end(), row.quiet.begin(), row.quiet.end());
    ASSERT_TRUE(start_process(run.proxy, argv));
    if (!row.banner.empty()) {
        ASSERT_TRUE(wait_output(run.proxy, substitute(row.banner, "<PORT>", port), DEADLINE));
    }
    ASSERT_TRUE(wait_accepting(run.proxy, std::stoi(port), DEADLINE));  // the probe
    if (!row.flush_request.empty()) {
        if (!row.probe_done.empty()) {
            ASSERT_TRUE(wait_output(run.proxy, row.probe_done, DEADLINE));
        }
        const std::string request =
            substitute(row.flush_request, "<ORIGIN>", std::to_string(run.origin.port));
        client_exchange(std::stoi(port), request, DEADLINE);
    }
    const std::string expected = substitute(row.flush_out, "<PORT>", port);
    ASSERT_TRUE(wait_output(run.proxy, expected, DEADLINE)) << read_stdout(run.proxy);
    EXPECT_TRUE(is_running(run.proxy));
    kill(run.proxy.pid, SIGKILL);
    ASSERT_TRUE(wait_exit(run.proxy, DEADLINE));
    if (row.flush_whole) {
        EXPECT_EQ(read_stdout(run.proxy), expected);
    } else {
        EXPECT_NE(read_stdout(run.proxy).find(expected), std::string::npos);
    }
}

// Started with a soft descriptor limit of 256, the program raises it to the
// hard one, silently, and then holds more connections than 256 would allow.
TEST_P(Shared, SoftDescriptorLimitIsRaisedToTheHardOne) {
    const program_t &row = GetParam();
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max <= 256) {
        GTEST_SKIP() << "the hard descriptor limit is only " << saved.rlim_max;
    }
    running_t run(row);
    // The program inherits a low soft limit from this process.
    struct rlimit low = {256, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    bool started = start_running(run);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(started);
    struct rlimit now;
    ASSERT_EQ(prlimit(run.proxy.pid, RLIMIT_NOFILE, nullptr, &now), 0);
    EXPECT_EQ(now.rlim_cur, saved.rlim_max);
    EXPECT_EQ(now.rlim_max, saved.rlim_max);
    expect_probe_console(run.proxy, row);
    // 300 browsers that send nothing are each held at once.
    if (saved.rlim_cur < 400) GTEST_SKIP() << "this process may open only " << saved.rlim_cur;
    std::vector<int> fds;
    for (int i = 0; i < 300; i++) {
        int fd = client_connect(run.proxy.port);
        if (fd >= 0) fds.push_back(fd);
    }
    EXPECT_EQ(fds.size(), 300u);
    EXPECT_TRUE(wait_connection_fds(run.proxy.pid, 300, DEADLINE))
        << connection_fds(run.proxy.pid);
    for (int fd : fds) close(fd);
    EXPECT_TRUE(wait_connection_fds(run.proxy.pid, 0, DEADLINE)) << connection_fds(run.proxy.pid);
    EXPECT_TRUE(is_running(run.proxy));
}

// curl through the proxy twice: the origin's bytes both times, the second
// from the cache; curl asks to keep the connection, the origin is not.
TEST_P(Shared, CurlGetsOriginBytesThenTheCachedCopy) {
    const program_t &row = GetParam();
    if (access("/usr/bin/curl", X_OK) != 0) GTEST_SKIP() << "curl is not installed";
    running_t run(row);
    ASSERT_TRUE(start_running(run, row.binary, {}));
    const std::string body = pattern_body(50000, 5);
    origin_reply_t reply;
    reply.bytes = http_response(body);
    origin_route(run.origin, "/file", reply);
    const std::vector<std::string> argv = {"/usr/bin/curl", "-s", "--max-time", "20", "-x",
                                           "http://127.0.0.1:" + std::to_string(run.proxy.port),
                                           origin_url(run, "/file")};
    for (int i = 0; i < 2; i++) {
        SCOPED_TRACE(i);
        run_result_t r = run_to_exit(argv, ms(30000));
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_TRUE(r.out == body) << r.out.size() << " bytes";
        // The first exchange is over before the second asks.
        if (i == 0) {
            ASSERT_TRUE(origin_wait_closed(run.origin, 1, DEADLINE));
        }
    }
    EXPECT_EQ(origin_count(run.origin), 1u);
    if (!row.hit_line.empty()) {
        EXPECT_TRUE(wait_output(run.proxy, substitute(row.hit_line, "<URL>",
                                                      origin_url(run, "/file")), DEADLINE))
            << read_stdout(run.proxy);
    }
    const std::string upstream = origin_request(run.origin, 0);
    EXPECT_EQ(upstream.compare(0, 20, "GET /file HTTP/1.0\r\n"), 0) << upstream;
    EXPECT_EQ(upstream.find("Keep-Alive"), std::string::npos) << upstream;
}

// Browsers at once, each asking for several objects of many sizes (sized
// and unsized answers, stored and too large to store, more than the cache
// holds, so hits are sent while other threads' inserts evict entries):
// every response is the origin's bytes for its own path, and the process is
// left as idle as it was.
TEST_P(Shared, ManyBrowsersAtOnceGetExactBytes) {
    const program_t &row = GetParam();
    running_t run(row);
    ASSERT_TRUE(start_running(run, row.binary, {}));
    const size_t unsized[] = {1, 300, 5000, 50000, 70000, 102400 - 19, 200000, 102401};
    std::vector<std::string> bodies;
    for (size_t i = 0; i < 8; i++) {
        bodies.push_back("HTTP/1.0 200 OK\r\n\r\n" + pattern_body(unsized[i], (unsigned)i + 10));
    }
    for (size_t i = 0; i < 16; i++) {
        bodies.push_back(http_response(pattern_body(60000 + 2500 * i, (unsigned)i + 20)));
    }
    for (size_t i = 0; i < bodies.size(); i++) {
        origin_reply_t reply;
        reply.bytes = bodies[i];
        origin_route(run.origin, "/m" + std::to_string(i), reply);
    }
    ASSERT_EQ(client_exchange(run.proxy.port, get_request(run, "/m0"), DEADLINE).bytes, bodies[0]);
    ASSERT_TRUE(wait_connection_fds(run.proxy.pid, 0, DEADLINE));
    const int idle_fds = count_fds(run.proxy.pid), idle_threads = count_threads(run.proxy.pid);
    const int browsers = 40, rounds = 5;
    std::atomic<int> wrong{0}, done{0};
    std::vector<std::thread> pool;
    for (int b = 0; b < browsers; b++) {
        pool.emplace_back([&, b] {
            for (int k = 0; k < rounds; k++) {
                size_t i = (size_t)(b * 3 + k) % bodies.size();
                client_result_t r =
                    client_exchange(run.proxy.port, get_request(run, "/m" + std::to_string(i)),
                                    ms(30000));
                if (!r.eof || r.bytes != bodies[i]) wrong++;
                done++;
            }
        });
    }
    for (std::thread &t : pool) t.join();
    EXPECT_EQ(done.load(), browsers * rounds);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GE(origin_count(run.origin), bodies.size());
    EXPECT_LT(origin_count(run.origin), (size_t)(browsers * rounds) + 1);
    EXPECT_TRUE(wait_threads(run.proxy.pid, idle_threads, DEADLINE)) << "connection threads left";
    EXPECT_TRUE(wait_fds(run.proxy.pid, idle_fds, DEADLINE)) << "descriptors leaked";
    if (!row.hit_line.empty()) {
        const std::string out = read_stdout(run.proxy);
        bool hit = false;
        for (size_t i = 0; i < bodies.size(); i++) {
            const std::string line =
                substitute(row.hit_line, "<URL>", origin_url(run, "/m" + std::to_string(i)));
            hit = hit || out.find(line) != std::string::npos;
        }
        EXPECT_TRUE(hit) << "no hit among the browsers' requests";
    }
    if (!row.stored_line.empty()) {
        EXPECT_NE(read_stdout(run.proxy).find(row.stored_line), std::string::npos);
    }
    ASSERT_TRUE(is_running(run.proxy));
    EXPECT_EQ(client_exchange(run.proxy.port, get_request(run, "/m3"), DEADLINE).bytes, bodies[3]);
    EXPECT_EQ(read_stderr(run.proxy), row.probe_err);
}

// The lingering close. A browser's bytes the proxy never reads (header lines
// on a hit, a body, bytes after the header block, bytes sent late) wait in
// the kernel when the proxy ends the connection; closing with them unread
// would reset it and destroy the part of the response not yet delivered.

// A header block of 50 000 bytes and a body, never read on a hit: a miss,
// then a hit, each delivered whole. The miss sends the same block where the
// program reads all of it, else only the request line.
TEST_P(Shared, LingeringCloseDeliversEveryByteDespiteUnreadHeadersAndBody) {
    const program_t &row = GetParam();
    running_t run(row);
    ASSERT_TRUE(start_running(run, row.binary, {}));
    const std::string reply = http_response(pattern_body(90000, 4));
    origin_reply_t r;
    r.bytes = reply;
    origin_route(run.origin, "/long", r);
    const std::string line = "GET " + origin_url(run, "/long") + " HTTP/1.0\r\n";
    std::string request = line;
    for (int i = 0; request.size() < 50000; i++)
        request += "X-Filler-" + std::to_string(i) + ": " + std::string(60, 'f') + "\r\n";
    request += "Content-Length: 2000\r\n\r\n" + std::string(2000, 'b');
    for (int round = 0; round < 2; round++) {  // a miss, then a hit
        SCOPED_TRACE(round);
        int fd = client_connect(run.proxy.port);
        ASSERT_GE(fd, 0);
        const std::string sent = round == 0 && !row.miss_reads_all ? line + "\r\n" : request;
        std::thread sender([&] { send_all(fd, sent); });
        client_result_t got = read_until_close(fd, DEADLINE);
        sender.join();
        close(fd);
        EXPECT_TRUE(got.eof);
        EXPECT_FALSE(got.reset);
        EXPECT_TRUE(got.bytes == reply) << got.bytes.size() << " of " << reply.size() << " bytes";
    }
    EXPECT_EQ(origin_count(run.origin), 1u);
    if (!row.hit_line.empty()) {
        EXPECT_TRUE(wait_output(run.proxy,
                                substitute(row.hit_line, "<URL>", origin_url(run, "/long")),
                                DEADLINE))
            << read_stdout(run.proxy);
    }
    EXPECT_EQ(read_stderr(run.proxy), row.probe_err);
}

// 50 000 bytes after the header block, never read nor sent upstream, and a
// response of a megabyte that the proxy has queued whole (it has closed the
// origin's connection) before the browser reads any of it.
TEST_P(Shared, LingeringCloseDeliversEveryByteDespiteUnreadTrailingBytes) {
    const program_t &row = GetParam();
    running_t run(row);
    ASSERT_TRUE(start_running(run));
    const std::string reply = http_response(pattern_body(1 << 20, 5));
    origin_reply_t r;
    r.bytes = reply;
    origin_route(run.origin, "/after", r);
    int fd = client_connect(run.proxy.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, get_request(run, "/after") + "GET /other HTTP/1.0\r\n" +
                                 std::string(50000, 'b')));
    ASSERT_TRUE(origin_wait_closed(run.origin, 1, DEADLINE));
    client_result_t got = read_until_close(fd, DEADLINE);
    close(fd);
    EXPECT_TRUE(got.eof);
    EXPECT_FALSE(got.reset);
    EXPECT_TRUE(got.bytes == reply) << got.bytes.size() << " of " << reply.size() << " bytes";
    EXPECT_EQ(origin_request(run.origin, 0),
              substitute(row.upstream, "<ORIGIN>", std::to_string(run.origin.port)));
    EXPECT_EQ(read_stderr(run.proxy), row.probe_err);
}

// Late bytes from a browser with a small receive buffer (no body announced),
// on a miss and on a hit.
TEST_P(Shared, LingeringCloseDeliversEveryByteDespiteLateBytesWhileResponseUnsent) {
    const program_t &row = GetParam();
    running_t run(row);
    ASSERT_TRUE(start_running(run));
    const std::string reply = http_response(pattern_body(90000, 6));
    origin_reply_t r;
    r.bytes = reply;
    origin_route(run.origin, "/late", r);
    const std::string request =
        "GET " + origin_url(run, "/late") + " HTTP/1.0\r\nHost: x\r\n\r\n";
    EXPECT_EQ(late_bytes_failure(
                  [&](const client_opts_t &opts) {
                      return client_exchange(run.proxy.port, request, DEADLINE, opts);
                  },
                  reply),
              "");
    EXPECT_EQ(origin_count(run.origin), 1u);
}

// ---------------------------------------------------------------- accept loop

std::string accept_line(const program_t &row, int err) {
    return substitute(substitute(row.accept_line, "<ERRNO>", std::to_string(err)), "<ERROR>",
                      strerror(err));
}

// Failed accepts, made by the shim (the first accept is the probe's): each
// is reported, one line per failure in order, and the loop goes on serving.
TEST_P(Shared, AcceptTransientFailureKeepsServing) {
    const program_t &row = GetParam();
    running_t run(row);
    const int errs[] = {ECONNABORTED, EINTR, EPROTO, EMFILE, ENFILE, ENOBUFS, ENOMEM, EPERM};
    std::string plan;
    for (size_t i = 0; i < sizeof errs / sizeof errs[0]; i++) {
        plan += (i ? "," : "") + std::to_string(i + 2) + ":" + std::to_string(errs[i]);
    }
    ASSERT_TRUE(start_faulted(run, "FAULT_ACCEPT", plan));
    origin_default(run.origin, origin_reply_t{http_response("served"), {}, 0,
                                              origin_end_t::CLOSE, true});
    EXPECT_EQ(client_exchange(run.proxy.port, get_request(run, "/after"), DEADLINE).bytes,
              http_response("served"));
    std::string expected;
    for (int err : errs) {
        if (err != EINTR || !row.eintr_silent) expected += accept_line(row, err);
    }
    ASSERT_TRUE(wait_output(run.proxy, accept_line(row, EPERM), DEADLINE, row.accept_on_stderr));
    ASSERT_TRUE(wait_connection_fds(run.proxy.pid, 0, DEADLINE));
    // One line per failure, in order (other connections' lines may fall
    // between them on the same stream); nothing else on standard error.
    const std::string text = accept_stream(run.proxy, row);
    size_t at = 0;
    for (int err : errs) {
        if (err == EINTR && row.eintr_silent) continue;
        at = text.find(accept_line(row, err), at);
        ASSERT_NE(at, std::string::npos) << accept_line(row, err) << text;
    }
    EXPECT_EQ(err_after_probe(run.proxy, row), row.accept_on_stderr ? expected : "");
    EXPECT_TRUE(is_running(run.proxy));
}

// An accept that fails because the listener is unusable ends the program,
// with its status, where the program ends on it at all.
TEST_P(Shared, AcceptOnUnusableListenerEndsTheProgram) {
    const program_t &row = GetParam();
    if (row.unusable_status == 0) GTEST_SKIP() << row.name << " carries on after any accept failure";
    running_t run(row);
    ASSERT_TRUE(start_faulted(run, "FAULT_ACCEPT", "2:" + std::to_string(EBADF), false));
    ASSERT_TRUE(wait_exit(run.proxy, DEADLINE));
    ASSERT_TRUE(WIFEXITED(run.proxy.status));
    EXPECT_EQ(WEXITSTATUS(run.proxy.status), row.unusable_status);
    EXPECT_NE(accept_stream(run.proxy, row).find(accept_line(row, EBADF)), std::string::npos);
    EXPECT_EQ(err_after_probe(run.proxy, row), row.accept_on_stderr ? accept_line(row, EBADF) : "");
}

// A connection whose thread cannot be created is closed unanswered, never
// reaches the origin, and the next is served.
TEST_P(Shared, ThreadCreationFailureClosesConnectionKeepsAccepting) {
    const program_t &row = GetParam();
    running_t run(row);
    ASSERT_TRUE(start_faulted(run, "FAULT_THREAD", "2"));
    origin_default(run.origin, origin_reply_t{http_response("served"), {}, 0,
                                              origin_end_t::CLOSE, true});
    client_result_t refused = client_exchange(run.proxy.port, get_request(run, "/refused"), DEADLINE);
    EXPECT_EQ(refused.bytes, "");
    EXPECT_FALSE(refused.timed_out);
    EXPECT_EQ(client_exchange(run.proxy.port, get_request(run, "/next"), DEADLINE).bytes,
              http_response("served"));
    ASSERT_TRUE(wait_connection_fds(run.proxy.pid, 0, DEADLINE));
    EXPECT_TRUE(wait_output(run.proxy, row.thread_line, DEADLINE, row.accept_on_stderr));
    EXPECT_EQ(err_after_probe(run.proxy, row), row.accept_on_stderr ? row.thread_line : "");
    EXPECT_EQ(origin_count(run.origin), 1u) << "the refused connection reached the origin";
    EXPECT_TRUE(is_running(run.proxy));
}

// Out of descriptors for real (the limit lowered to one more than in use):
// the accept fails with EMFILE, is reported, and the loop pauses rather than
// spins; once a connection ends, the one waiting in the backlog is accepted
// and served.
TEST_P(Shared, DescriptorExhaustionPausesAcceptAndRecovers) {
    const program_t &row = GetParam();
    running_t run(row);
    ASSERT_TRUE(start_running(run));
    origin_default(run.origin, origin_reply_t{http_response("served"), {}, 0,
                                              origin_end_t::CLOSE, true});
    ASSERT_EQ(client_exchange(run.proxy.port, get_request(run, "/warm"), DEADLINE).bytes,
              http_response("served"));
    ASSERT_TRUE(wait_connection_fds(run.proxy.pid, 0, DEADLINE));
    // Room for exactly one more descriptor: the lowest free number is next.
    int highest = -1;
    for (int fd = 0; fd < 4096; fd++) {
        std::string path = "/proc/" + std::to_string(run.proxy.pid) + "/fd/" + std::to_string(fd);
        if (access(path.c_str(), F_OK) == 0) highest = fd;
    }
    int in_use = count_fds(run.proxy.pid);
    ASSERT_EQ(in_use, highest + 1) << "descriptor numbers have holes";
    struct rlimit old_limit, tight;
    ASSERT_EQ(prlimit(run.proxy.pid, RLIMIT_NOFILE, nullptr, &old_limit), 0);
    tight.rlim_cur = (rlim_t)in_use + 1;
    tight.rlim_max = old_limit.rlim_max;
    ASSERT_EQ(prlimit(run.proxy.pid, RLIMIT_NOFILE, &tight, nullptr), 0);

    int first = client_connect(run.proxy.port);   // takes the last descriptor
    int second = client_connect(run.proxy.port);  // waits in the backlog
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    send_all(second, get_request(run, "/warm"));
    ASSERT_TRUE(wait_output(run.proxy, accept_line(row, EMFILE), DEADLINE, row.accept_on_stderr));
    // The first is served from the cache and frees its descriptor; then the
    // waiting one is accepted and served too.
    send_all(first, get_request(run, "/warm"));
    EXPECT_EQ(read_until_close(first, DEADLINE).bytes, http_response("served"));
    EXPECT_EQ(read_until_close(second, DEADLINE).bytes, http_response("served"));
    close(first);
    close(second);
    EXPECT_EQ(prlimit(run.proxy.pid, RLIMIT_NOFILE, &old_limit, nullptr), 0);
    EXPECT_TRUE(is_running(run.proxy));
    EXPECT_EQ(origin_count(run.origin), 1u);
}

INSTANTIATE_OVER_PROGRAMS(Shared);

}  // namespace
