// What the three programs share, written once and run over the table of
// programs (tests/harness/programs.h): the port shown at start-up, console
// flushing, a taken port, the descriptor limit raised at start-up, a real
// client through the proxy, many browsers at once, what is stored, the
// relay of lines as they arrive, the lingering close, and the accept loop's
// failures. Where the programs' bytes differ, the row says what each prints.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "programs.h"
#include "robix.h"

using namespace harness;

namespace {

const ms DEADLINE(10000);

struct Shared : ::testing::TestWithParam<program_t> {};

// The console after the launcher's probe, as the row says it looks, with
// the port shown as `shown`.
void expect_probe_console(const process_t &p, const program_t &row, long shown) {
    std::string out = read_stdout(p);
    if (!row.probe_cut.empty()) out = out.substr(0, out.find(row.probe_cut));
    EXPECT_TRUE(shape_match(out, substitute(row.probe_out, "<PORT>", std::to_string(shown))))
        << out;
    EXPECT_EQ(read_stderr(p), row.probe_err);
}

// The port the command line writes is shown as the program read it, while
// only its low 16 bits reach the socket.
struct Banner : ::testing::TestWithParam<program_t> {};

TEST_P(Banner, PortShownAsParsedWhileOnlyLow16BitsReachTheSocket) {
    const program_t &row = GetParam();
    const int port = free_port();
    const struct {
        const char *name;
        std::string arg;
        long shown;
    } cases[] = {
        {"plain", std::to_string(port), port},
        {"above 65535 wraps", std::to_string(port + 65536), port + 65536},
        {"negative wraps", std::to_string(port - 65536), port - 65536},
        {"leading blanks and sign", "  +" + std::to_string(port), port},
        {"digits up to the first other character", std::to_string(port) + "xyz", port},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        started_t s;
        std::vector<std::string> argv = {row.binary, c.arg};
        argv.insert(argv.end(), row.quiet.begin(), row.quiet.end());
        ASSERT_TRUE(start_process(s.p, argv));
        ASSERT_TRUE(wait_accepting(s.p, port, DEADLINE)) << read_stderr(s.p);
        ASSERT_TRUE(wait_output(s.p, row.probe_done, DEADLINE));
        expect_probe_console(s.p, row, c.shown);
    }
}

INSTANTIATE_OVER_ROWS(Banner, programs_where([](const program_t &row) { return !row.banner.empty(); }));

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
    ASSERT_TRUE(start_origin(run, http_response("flushed")));
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
    expect_probe_console(run.proxy, row, run.proxy.port);
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
    route(run, "/file", http_response(body));
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
    for (size_t i = 0; i < bodies.size(); i++) route(run, "/m" + std::to_string(i), bodies[i]);
    ASSERT_EQ(client_exchange(run.proxy.port, get_request(run, "/m0"), DEADLINE).bytes, bodies[0]);
    ASSERT_TRUE(wait_connection_fds(run.proxy.pid, 0, DEADLINE));
    // Idle: the main thread (and a sanitizer's); the first browser's thread
    // may outlive its descriptors by a moment.
    const int idle_fds = count_fds(run.proxy.pid), idle_threads = 1 + RUNTIME_THREADS;
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

// ---------------------------------------------------------------- what is stored

// Every response is relayed as the origin sent it, but only a whole one that
// any browser may get is stored: the next request for any other goes to the
// origin again, and nothing says it was stored.
TEST_P(Shared, OnlyCompleteResponsesAreStored) {
    const program_t &row = GetParam();
    running_t run(row);
    ASSERT_TRUE(start_running(run));
    const std::string whole = http_response("abcdefghij");
    const std::string page = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n";
    const std::string ok = "HTTP/1.0 200 OK\r\n";
    const struct {
        const char *name;
        std::string response;
        bool stored;
        std::string headers = "";  // the browser's header lines
        bool own = false;          // they make the answer the browser's own
        std::string method = "GET";
    } cases[] = {
        {"nothing at all", "", false},
        {"ordinary response", http_response("whole"), true},
        {"no Content-Length: the end of the stream ends it", ok + "X-A: b\r\n\r\nto the end", true},
        {"bare-LF header block", "HTTP/1.0 200 OK\nContent-Length: 2\n\nok", true},
        {"header block never ended", ok + "Content-Type: text/plain\r\n", false},
        {"status line alone", "HTTP/1.0 200 OK", false},
        {"origin closed mid-body", ok + "Content-Length: 100\r\n\r\nonly part", false},
        {"body longer than declared", ok + "Content-Length: 2\r\n\r\nabc", false},
        {"length in any letter case, body longer", ok + "content-length: 2\r\n\r\nthree", false},
        {"length in any letter case, short", ok + "content-length: 9\r\n\r\nab", false},
        {"length not a number", ok + "Content-Length: x\r\n\r\nab", false},
        {"length a number then a letter", ok + "Content-Length: 1x\r\n\r\n1x", false},
        {"two lengths that differ", ok + "Content-Length: 2\r\nContent-Length: 3\r\n\r\nab", false},
        {"length with blanks around", ok + "Content-Length:  3 \r\n\r\nabc", true},
        {"a cut body whose length has a blank before its colon",
         ok + "Content-Length : 1000\r\n\r\npart", false},
        {"a whole body whose length has a blank before its colon",
         ok + "Content-Length : 4\r\n\r\nfour", true},
        {"empty body, length 0", ok + "Content-Length: 0\r\n\r\n", true},
        {"a 2060 byte body under a 200", http_response(std::string(2060, 'b')), true},
        {"206 partial content", http_response("part", 206, "Partial Content"), false},
        {"206 after a first word longer than a line buffer",
         "HTTP/1.0" + std::string(9000, 'x') + " 206 Partial Content\r\n\r\ncdef", false},
        {"304 not modified", "HTTP/1.0 304 Not Modified\r\n\r\n", false},
        {"412 precondition failed", http_response("", 412, "Precondition Failed"), false},
        {"416 range not satisfiable", http_response("", 416, "Range Not Satisfiable"), false},
        {"302 to a login page", "HTTP/1.0 302 Found\r\nLocation: /login\r\n\r\n", false},
        {"503 during a restart", http_response("restarting", 503, "Service Unavailable"), false},
        {"404 is a page", http_response("no such page", 404, "Not Found"), true},
        {"interim 100 before a 200", "HTTP/1.1 100 Continue\r\n\r\n" + whole, false},
        {"interim 100 before a cut 200",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nab", false},
        {"line end before a 206", "\r\n" + http_response("part", 206, "Partial Content"), false},
        {"line end before a 200", "\r\n" + whole, false},
        {"tab before a 206", "HTTP/1.1\t206 Partial\r\nContent-Length: 4\r\n\r\npart", false},
        {"lower-case 206", "http/1.1 206 Partial Content\r\n\r\nab", false},
        {"chunked body cut mid-chunk",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n400\r\nonly part of a chunk", false},
        // Answers meant for one browser, or for one moment.
        {"Set-Cookie", page + "Set-Cookie: session=alice\r\n\r\nmine", false},
        {"set-cookie in lower case", ok + "set-cookie: id=1\r\nContent-Length: 2\r\n\r\nab", false},
        {"Cache-Control private", ok + "Cache-Control: private\r\nContent-Length: 2\r\n\r\nhi", false},
        {"Pragma: no-cache", ok + "Pragma: no-cache\r\n\r\nab", false},
        {"Expires 0", ok + "Expires: 0\r\nContent-Length: 2\r\n\r\nhi", false},
        {"fresh for an hour", ok + "Cache-Control: max-age=3600\r\n\r\nab", true},
        {"gzip body", ok + "Content-Encoding: gzip\r\nContent-Length: 4\r\n\r\n\x1f\x8b\x08\x08", false,
         "Accept-Encoding: gzip\r\n"},
        {"Vary naming another header", ok + "Vary: Cookie\r\nContent-Length: 2\r\n\r\nhi", false},
        {"an identity body that varies by encoding alone",
         ok + "Vary: Accept-Encoding\r\nContent-Length: 2\r\n\r\nab", true},
        {"a folded header line", ok + "X-A: 1\r\n 2\r\n\r\nab", false},
        {"answer to a request with Authorization", page + "\r\nmine", false,
         "Authorization: Basic YWxpY2U6c2VjcmV0\r\n", true},
        {"answer to a request saying no-store", page + "\r\nmine", false,
         "Cache-Control: no-store\r\n", true},
        // Where other methods are relayed, only GET and HEAD are stored.
        {"HEAD: no body whatever its Content-Length", ok + "Content-Length: 5000\r\n\r\n", true, "",
         false, "HEAD"},
        {"POST", http_response("posted"), false, "", false, "POST"},
        {"DELETE", http_response("deleted"), false, "", false, "DELETE"},
        {"lower-case get", http_response("lower"), false, "", false, "get"},
    };
    int n = 0, stored = 0;
    for (const auto &c : cases) {
        if ((c.own && !row.private_requests) || (c.method != "GET" && !row.other_methods)) continue;
        SCOPED_TRACE(c.name);
        const std::string path = "/whole" + std::to_string(n++);
        route(run, path, c.response);
        const std::string request =
            c.method + " " + origin_url(run, path) + " HTTP/1.0\r\n" + c.headers + "\r\n";
        const size_t asked = origin_count(run.origin);
        mark_console(run);
        for (int round = 0; round < 2; round++) {
            client_result_t got = ask(run, request);
            EXPECT_TRUE(got.eof);
            EXPECT_EQ(got.bytes, c.response);
            // The origin's exchange is over before the second asks.
            if (round == 0) {
                ASSERT_TRUE(origin_wait_closed(run.origin, asked + 1, DEADLINE));
            }
        }
        if (!c.stored) {
            ASSERT_TRUE(origin_wait_closed(run.origin, asked + 2, DEADLINE));
        }
        EXPECT_EQ(origin_count(run.origin), asked + (c.stored ? 1 : 2));
        stored += c.stored;
        if (row.transcript) {
            EXPECT_EQ(occurrences(read_stdout(run.proxy), row.stored_line), stored)
                << "a storing line for a response not stored";
        } else {
            EXPECT_EQ(out_since(run), (c.stored ? row.stored_line : "") + row.quiet_end + row.quiet_end);
        }
        EXPECT_EQ(err_since(run), "");
    }
    EXPECT_TRUE(is_running(run.proxy));
}

// ---------------------------------------------------------------- failing peers

// A line of the row with a failed call's errno and its text in place.
std::string with_errno(const std::string &line, int err) {
    return substitute(substitute(line, "<ERRNO>", std::to_string(err)), "<ERROR>", strerror(err));
}

// The console since the mark after `times` connections that each failed
// the same way: the row's lines, with one of errs. A transcript shows its
// out line that many times, and no storing line.
void expect_failures(const running_t &r, const failure_lines_t &lines, int times,
                     const std::vector<int> &errs) {
    const std::string &out = lines.out, &err = lines.err;
    const std::string got_out = out_since(r), got_err = err_since(r);
    int e = errs[0];
    for (int x : errs) {
        if (got_out.find(with_errno(out, x)) != std::string::npos &&
            got_err.find(with_errno(err, x)) != std::string::npos) {
            e = x;
        }
    }
    std::string all_out, all_err;
    for (int i = 0; i < times; i++) {
        all_out += with_errno(out, e) + r.row.quiet_end;
        all_err += with_errno(err, e);
    }
    if (r.row.transcript) {
        EXPECT_EQ(occurrences(got_out, with_errno(out, e)), times) << got_out;
        EXPECT_EQ(occurrences(got_out, r.row.stored_line), 0) << got_out;
    } else {
        EXPECT_EQ(got_out, all_out);
    }
    EXPECT_EQ(got_err, all_err);
}

// An origin that resets its connection: what arrived before the reset
// reaches the browser (a prefix of the response when the reset cut it; all
// of it, an unfinished last line included, when it came first), the failed
// read is reported, and nothing is stored: the next request goes to the
// origin again.
TEST_P(Shared, OriginResetMidResponseStoresNothing) {
    const program_t &row = GetParam();
    running_t run(row);
    ASSERT_TRUE(start_running(run));
    const struct {
        const char *name;
        std::string response;
        bool whole;  // all of it reaches the browser
    } cases[] = {
        {"reset cuts the response", http_response(pattern_body(5000)), false},
        {"whole lines, then a reset", "HTTP/1.0 200 OK\r\n\r\npartial line\n", true},
        {"a complete answer whose last line has no line end, then a reset",
         "HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nlast line", true},
        {"no length, an unfinished last line, then a reset",
         "HTTP/1.0 200 OK\r\n\r\nthe last line has no end", true},
        {"complete answer, then a reset", http_response("then a reset"), true},
    };
    size_t n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "/reset" + std::to_string(n++);
        route(run, path, c.response, origin_end_t::RESET);
        const size_t before = origin_count(run.origin);
        mark_console(run);
        for (int round = 0; round < 2; round++) {
            client_result_t got = ask(run, get_request(run, path));
            EXPECT_TRUE(got.eof);
            if (c.whole) {
                EXPECT_EQ(got.bytes, c.response);
            } else {
                EXPECT_EQ(c.response.compare(0, got.bytes.size(), got.bytes), 0) << "not a prefix";
            }
        }
        EXPECT_TRUE(origin_wait_closed(run.origin, before + 2, DEADLINE));
        EXPECT_EQ(origin_count(run.origin), before + 2);
        expect_failures(run, row.reset, 2, {ECONNRESET});
        if (row.transcript && c.whole) {
            const std::string chunk = substitute(row.read_line, "<SIZE>", std::to_string(c.response.size()));
            EXPECT_EQ(occurrences(out_since(run), chunk + with_errno(row.reset.out, ECONNRESET)), 2)
                << "the reset's chunk is not printed before the failed read";
        }
    }
    EXPECT_TRUE(is_running(run.proxy));
    expect_idle(run.proxy);
}

// A browser that goes away mid-response: the write to it fails, which ends
// that connection only; it is reported, nothing is stored, and the program
// goes on serving.
TEST_P(Shared, BrowserVanishingMidResponseEndsOnlyItsConnection) {
    const program_t &row = GetParam();
    running_t run(row);
    ASSERT_TRUE(start_running(run));
    // The first piece ends at a line end, so a program that relays lines
    // has sent no more when the browser closes; the rest, more than socket
    // buffers hold, comes a second later (at once where the relay waits
    // for more than the first piece before it writes).
    const std::string response = http_response(pattern_body(8 << 20));
    const size_t first = response.find("\r\n\r\n") + 4 + 64 * 10;
    origin_reply_t r;
    r.bytes = response;
    r.pieces = {first};
    r.pause_ms = row.relays_lines ? 1000 : 0;
    origin_route(run.origin, "/vanish", r);
    client_opts_t opts;
    opts.read_limit = first;
    EXPECT_EQ(ask(run, get_request(run, "/vanish"), opts).bytes, response.substr(0, first));
    expect_failures(run, row.vanish, 1, {EPIPE, ECONNRESET});
    // Still serving, and nothing was stored.
    route(run, "/after", http_response("after"));
    EXPECT_EQ(ask(run, get_request(run, "/after")).bytes, http_response("after"));
    route(run, "/vanish", http_response("now whole"));
    EXPECT_EQ(ask(run, get_request(run, "/vanish")).bytes, http_response("now whole"));
    EXPECT_TRUE(origin_wait_closed(run.origin, 3, DEADLINE));
    EXPECT_EQ(origin_count(run.origin), 3u);
    EXPECT_TRUE(is_running(run.proxy));
    expect_idle(run.proxy);
}

// Whole lines reach the browser as they arrive, while the origin is still
// sending: the relay writes them before it waits for the rest of the line
// that follows. The whole response is still the one stored.
struct LineRelay : ::testing::TestWithParam<program_t> {};

TEST_P(LineRelay, ArrivedLinesReachBrowserBeforeOriginSendsMore) {
    const program_t &row = GetParam();
    running_t run(row);
    ASSERT_TRUE(start_running(run));
    const std::string lines = "HTTP/1.0 200 OK\r\nX-A: 1\r\n\r\nfirst\nsecond\n";
    route(run, "/held", lines + "half a li", origin_end_t::HOLD);
    int fd = client_connect(run.proxy.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, get_request(run, "/held")));
    client_result_t early = read_until_close(fd, DEADLINE, lines.size());
    EXPECT_FALSE(early.timed_out);
    EXPECT_EQ(early.bytes, lines);
    origin_stop(run.origin);  // the origin closes: the unfinished line is the last
    client_result_t rest = read_until_close(fd, DEADLINE);
    close(fd);
    EXPECT_TRUE(rest.eof);
    EXPECT_EQ(rest.bytes, "half a li");
    ASSERT_TRUE(wait_ended(run, ++run.ended, DEADLINE));
    EXPECT_EQ(out_since(run), row.stored_line + row.quiet_end);
    mark_console(run);
    EXPECT_EQ(ask(run, get_request(run, "/held")).bytes, lines + "half a li");
    EXPECT_EQ(out_since(run), row.quiet_end);
    EXPECT_EQ(origin_count(run.origin), 1u);
}

INSTANTIATE_OVER_PROGRAMS_WITH(LineRelay, relays_lines);

// ---------------------------------------------------------------- time-outs

// The short build, whose time-outs are 1 s for the browser's request and
// for a write to it without progress, and 2 s for a silent origin. Each
// fails its step with the row's lines; the browser gets nothing but what
// the origin sent before it fell silent, nothing is stored, and the threads
// and descriptors are given back. A browser that sends a byte every 100 or
// 250 ms never waits a second between reads: only a total for the whole
// request cuts it off.
struct Timeouts : ::testing::TestWithParam<program_t> {};

TEST_P(Timeouts, EachTimeOutFailsItsStep) {
    const program_t &row = GetParam();
    running_t run(row);
    ASSERT_TRUE(start_running(run, row.short_binary, row.quiet));
    const int idle_fds = count_fds(run.proxy.pid);
    const std::string part = "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nonly part";
    const std::string stalled = "HTTP/1.0 200 OK\r\n\r\nfirst line\nunfinished";
    route(run, "/silent", "", origin_end_t::HOLD);
    route(run, "/part", part, origin_end_t::HOLD);
    route(run, "/stalled", stalled, origin_end_t::HOLD);
    route(run, "/flood", http_response(pattern_body(16 << 20, 3)));
    const std::string line = "GET " + origin_url(run, "/hdr") + " HTTP/1.0\r\n";
    const struct {
        const char *name;
        std::string request;
        failure_lines_t program_t::*lines;
        std::string path;         // the origin gets its request; "": the origin is not reached
        std::string answer = "";  // what the browser gets
        bool reads = true;        // the browser reads the answer
        size_t at_once = std::string::npos;  // then the rest a byte at a time,
        int gap_ms = 0;                      // this far apart, until the program gives up
    } cases[] = {
        {"request line never finished", "GET " + origin_url(run, "/never"), &program_t::late_request, ""},
        {"request dribbled a byte per 100 ms", get_request(run, "/dribble", "X-A: b\r\n"),
         &program_t::late_request, "", "", true, 0, 100},
        {"header block dribbled a byte per 250 ms", line + "X-A: 1\r\nX-B: 2\r\n\r\n",
         &program_t::late_header, "/hdr", "", true, line.size(), 250},
        {"origin silent", get_request(run, "/silent"), &program_t::late_origin, "/silent"},
        {"origin silent after part of its answer", get_request(run, "/part"), &program_t::late_origin,
         "/part", part},
        // What arrived before the time-out is relayed, its unfinished line too.
        {"origin silent inside a line", get_request(run, "/stalled"), &program_t::late_origin,
         "/stalled", stalled},
        {"browser reads nothing", get_request(run, "/flood"), &program_t::late_browser, "/flood", "",
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        mark_console(run);
        const size_t before = origin_count(run.origin);
        int fd = client_connect(run.proxy.port);
        ASSERT_GE(fd, 0);
        if (!c.reads) {
            // A small window, so the program's writes soon stop making progress.
            int small = 4096;
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
        send_all(fd, c.request.substr(0, c.at_once));
        for (size_t i = c.at_once; i < c.request.size() && !wait_ended(run, 1, ms(0)); i++) {
            std::this_thread::sleep_for(ms(c.gap_ms));  // the dribble itself, not an ordering
            send_all(fd, c.request.substr(i, 1));
        }
        EXPECT_TRUE(wait_ended(run, ++run.ended, DEADLINE));
        if (c.reads) {
            client_result_t got = read_until_close(fd, DEADLINE);
            EXPECT_EQ(got.bytes, c.answer);
            EXPECT_TRUE(got.eof || got.reset);
        }
        close(fd);
        const failure_lines_t &lines = row.*c.lines;
        expect_failures(run, lines, 1, {EAGAIN});
        if (row.transcript && !c.answer.empty()) {
            const std::string chunk = substitute(row.read_line, "<SIZE>", std::to_string(c.answer.size()));
            EXPECT_EQ(occurrences(out_since(run), chunk + with_errno(lines.out, EAGAIN)), 1);
        }
        std::string upstream = substitute(substitute(row.upstream, "/after", c.path), "<ORIGIN>",
                                          std::to_string(run.origin.port));
        if (c.lines == &program_t::late_header) {
            upstream = substitute(row.late_header_upstream, "<PATH>", c.path);
        }
        if (c.path.empty() || upstream.empty()) {
            EXPECT_EQ(origin_count(run.origin), before);
        } else {
            EXPECT_TRUE(origin_wait_closed(run.origin, before + 1, DEADLINE));
            EXPECT_EQ(origin_request(run.origin, before), upstream);
        }
    }
    EXPECT_TRUE(wait_fds(run.proxy.pid, idle_fds, DEADLINE)) << count_fds(run.proxy.pid) << " descriptors";
    EXPECT_TRUE(wait_threads(run.proxy.pid, 1 + RUNTIME_THREADS, DEADLINE)) << "connection threads left";
}

INSTANTIATE_OVER_ROWS(Timeouts, programs_where([](const program_t &row) {
                          return !row.late_request.out.empty() || !row.late_request.err.empty();
                      }));

// ---------------------------------------------------------------- lingering close

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
    route(run, "/long", reply);
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
    route(run, "/after", reply);
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
    route(run, "/late", reply);
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

// A hit is answered once its request line is in. A browser whose header
// lines come only after it has read the whole answer finds its connection
// still read, not closed (they would meet a reset), until it closes.
TEST_P(Shared, HitAnsweredBeforeHeaderLinesWaitsForThem) {
    const program_t &row = GetParam();
    running_t run(row);
    ASSERT_TRUE(start_running(run));
    const std::string reply = http_response(pattern_body(3000, 7));
    route(run, "/early", reply);
    ASSERT_TRUE(ask(run, get_request(run, "/early")).bytes == reply);
    int fd = client_connect(run.proxy.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, "GET " + origin_url(run, "/early") + " HTTP/1.0\r\n"));
    client_result_t got = read_until_close(fd, DEADLINE);
    EXPECT_TRUE(got.eof);
    EXPECT_TRUE(got.bytes == reply) << got.bytes.size() << " of " << reply.size() << " bytes";
    EXPECT_EQ(connection_fds(run.proxy.pid), 1);
    EXPECT_TRUE(send_all(fd, "Host: x\r\nUser-Agent: late\r\n\r\n"));
    close(fd);
    expect_idle(run.proxy);
    EXPECT_EQ(origin_count(run.origin), 1u);
}

// ---------------------------------------------------------------- accept loop

std::string accept_line(const program_t &row, int err) { return with_errno(row.accept_line, err); }

// Failed accepts, made by the shim (the first accept is the probe's): each
// is reported, one line per failure in order, and the loop goes on serving.
// A failure for want of descriptors or memory, and only such a one, is
// followed by a pause before the next accept, so the loop does not spin.
TEST_P(Shared, AcceptTransientFailureKeepsServing) {
    const program_t &row = GetParam();
    running_t run(row);
    const int errs[] = {ECONNABORTED, EINTR, EPROTO, EMFILE, ENFILE, ENOBUFS, ENOMEM, EPERM};
    std::string plan, steps;
    for (size_t i = 0; i < sizeof errs / sizeof errs[0]; i++) {
        plan += (i ? "," : "") + std::to_string(i + 2) + ":" + std::to_string(errs[i]);
        steps += "accept fails " + std::to_string(errs[i]) + "\n";
        if (errs[i] == EMFILE || errs[i] == ENFILE || errs[i] == ENOBUFS || errs[i] == ENOMEM) {
            steps += "pause " + std::to_string(RESOURCE_PAUSE_MS) + "\n";
        }
    }
    const std::string log = temp_file("steps");
    env_guard_t env;
    env.set("FAULT_LOG", log);
    ASSERT_TRUE(start_faulted(run, "FAULT_ACCEPT", plan));
    route(run, "", http_response("served"));
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
    EXPECT_EQ(read_file(log), steps);
    unlink(log.c_str());
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
    route(run, "", http_response("served"));
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
    route(run, "", http_response("served"));
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
