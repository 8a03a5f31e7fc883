// slotproxy under bad input, failing peers and exhausted resources, and its
// command line: every case gets a defined answer, a thread that ends early
// gives back what it held, and the process keeps serving.
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "programs.h"

namespace {

using namespace harness;

const ms WAIT(5000);

std::string host_line(const std::string &host) { return "Host: " + host + "\r\n\r\n"; }

// Stops p; a sanitizer report on its way out fails the test.
void expect_clean_stop(process_t &p) {
    stop_process(p);
    expect_no_sanitizer_report(p);
}

// A case of a table: its name, and the bytes it sends or is sent.
struct named_t {
    const char *name;
    std::string bytes;
};

// slotproxy against an origin that answers "fine".
struct SlotFaults : ::testing::Test {
    running_t run{program_named("slotproxy")};
    origin_t &origin = run.origin;
    process_t &proxy = run.proxy;

    // Starts `binary`; when settle, serves one connection to the end after
    // the launcher's probe (accepted first) and waits until both are over.
    void start(const std::string &binary, bool settle) {
        origin.default_reply.bytes = http_response("fine\n");
        ASSERT_TRUE(start_running(run, binary, {}));
        if (settle) {
            client_exchange(proxy.port, "\r\n", WAIT);
            expect_idle(proxy);
        }
    }
    void SetUp() override { start(run.row.binary, true); }
    void TearDown() override { expect_clean_stop(proxy); }

    std::string hostport() { return "127.0.0.1:" + std::to_string(origin.port); }
    std::string url(const std::string &path) { return "http://" + hostport() + path; }
    std::string get(const std::string &path) { return "GET " + url(path) + " HTTP/1.0\r\n\r\n"; }

    // Another slotproxy, with the fault shim preloaded and its plan set.
    bool start_shimmed(process_t &p, const std::map<std::string, std::string> &plan,
                       bool malloc_faults = false) {
        env_guard_t env;
        preload_shim(env, malloc_faults);
        for (const auto &kv : plan) env.set(kv.first, kv.second);
        return start_server(p, run.row.binary);
    }

    // /slow: a response of n thousand bytes and a header, which the origin
    // sends a thousand bytes at a time, pause_ms apart. Its bytes.
    std::string route_slow(size_t n, int pause_ms, unsigned seed) {
        origin_reply_t slow;
        slow.bytes = http_response(pattern_body(n * 1000, seed));
        slow.pieces = std::vector<size_t>(n, 1000);
        slow.pause_ms = pause_ms;
        origin_route(origin, "/slow", slow);
        return slow.bytes;
    }

    // The process is alive, serves a normal miss correctly, and holds no
    // more threads or descriptors than when idle.
    void expect_healthy() {
        ASSERT_TRUE(is_running(proxy));
        static int n = 0;
        EXPECT_EQ(client_exchange(proxy.port, get("/health" + std::to_string(n++)), WAIT).bytes,
                  http_response("fine\n"));
        expect_idle(proxy);
    }
};

// ---------------------------------------------------------------- bad input

enum class answer_t { NOTHING, PAGE_501, RELAYED };

TEST_F(SlotFaults, BadInputGetsADefinedAnswer) {
    const std::string u = url("/ok");
    std::string many_headers, wide_header = "X-Wide: " + std::string(50000, 'w') + "\r\n";
    for (int i = 0; i < 100000; i++) many_headers += "H: v\r\n";
    struct {
        const char *name;
        std::string request;
        answer_t answer;
        std::string upstream;  // for RELAYED
        bool all_bytes;        // the browser must get the whole response
    } cases[] = {
        {"empty line", "\r\n", answer_t::NOTHING, "", true},
        {"bare newline", "\n", answer_t::NOTHING, "", true},
        {"line of spaces", "        \r\n", answer_t::NOTHING, "", true},
        {"one field", "GET\r\n", answer_t::NOTHING, "", true},
        {"NUL ends the method", std::string("G\0ET ", 5) + u + " HTTP/1.0\r\n", answer_t::NOTHING,
         "", true},
        // As a C string the URI would end at the NUL: a key and a path
        // the browser did not send.
        {"NUL in the URI refuses the line",
         "GET " + url("/a") + std::string("\0b", 2) + " HTTP/1.0\r\n", answer_t::NOTHING, "",
         true},
        {"NUL after the URI refuses the line",
         "GET " + url("/a") + " HTTP/1.0" + std::string("\0", 1) + "\r\n", answer_t::NOTHING, "",
         true},
        {"bytes above 127 in the path", "GET " + url("/\xff\xfe\x80") + " HTTP/1.0\r\n",
         answer_t::RELAYED, "GET /\xff\xfe\x80 HTTP/1.0\r\n" + host_line(hostport()), true},
        {"bytes above 127 and NUL in headers",
         "GET " + url("/h") + " HTTP/1.0\r\nX: \xff" + std::string("\0", 1) + "z\r\n\r\n",
         answer_t::RELAYED, "GET /h HTTP/1.0\r\n" + host_line(hostport()), true},
        {"50000-byte header line", "GET " + url("/w") + " HTTP/1.0\r\n" + wide_header + "\r\n",
         answer_t::RELAYED, "GET /w HTTP/1.0\r\n" + host_line(hostport()), true},
        {"request body",
         "GET " + url("/b") + " HTTP/1.0\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'B'),
         answer_t::RELAYED, "GET /b HTTP/1.0\r\n" + host_line(hostport()), true},
        {"100000 header lines", "GET " + url("/many") + " HTTP/1.0\r\n" + many_headers + "\r\n",
         answer_t::RELAYED, "GET /many HTTP/1.0\r\n" + host_line(hostport()),
         false},  // more than the linger bound is left unread: the tail may be reset
        {"POST with a body", "POST " + u + " HTTP/1.0\r\nContent-Length: 4\r\n\r\nbody",
         answer_t::PAGE_501, "", true},
    };
    size_t conns = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int fd = client_connect(proxy.port);
        ASSERT_GE(fd, 0);
        std::thread sender([&] { send_all(fd, c.request); });
        client_result_t r = read_until_close(fd, WAIT);
        sender.join();
        close(fd);
        EXPECT_FALSE(r.timed_out);
        switch (c.answer) {
            case answer_t::NOTHING:
                EXPECT_EQ(r.bytes, "");
                break;
            case answer_t::PAGE_501:
                EXPECT_EQ(r.bytes.compare(0, 30, "HTTP/1.0 501 Not Implemented\r\n"), 0);
                EXPECT_TRUE(r.eof);
                break;
            case answer_t::RELAYED:
                conns++;
                ASSERT_TRUE(origin_wait_closed(origin, conns, WAIT));
                EXPECT_TRUE(origin_request(origin, conns - 1) == c.upstream);
                if (c.all_bytes) {
                    EXPECT_TRUE(r.eof);
                    EXPECT_EQ(r.bytes, http_response("fine\n"));
                } else {
                    EXPECT_EQ(http_response("fine\n").compare(0, r.bytes.size(), r.bytes), 0);
                }
                break;
        }
        EXPECT_EQ(origin_count(origin), conns);
    }
    EXPECT_EQ(read_stdout(proxy), "");
    expect_healthy();
}

// ---------------------------------------------------------------- line limits

// A request line that does not end within 8191 bytes, or whose stream ends
// before its line end, is refused before any lookup: no byte, no console
// line, nothing upstream, nothing stored under the URL its bytes spell.
TEST_F(SlotFaults, UnfinishedOrOverlongRequestLineIsRefused) {
    const std::string head = "GET " + url("/");
    const std::string cut_uri = url("/") + std::string(8191 - head.size(), 'q');
    struct {
        const char *name;
        std::string bytes;
        bool half_close;      // the browser ends its stream after the bytes
        std::string cut_key;  // a URL the refused line must not have stored
    } cases[] = {
        {"9000-byte request line", head + std::string(9000, 'q') + " HTTP/1.0\r\n\r\n", false,
         cut_uri},
        {"8192 bytes before the line feed",
         head + std::string(8192 - head.size() - 10, 'r') + " HTTP/1.0\r" + "\n\r\n", false,
         url("/") + std::string(8192 - head.size() - 10, 'r')},
        {"stream ends inside the line", "GET " + url("/half") + " HTTP/1.0", true, url("/half")},
        {"stream ends after the carriage return", "GET " + url("/cr") + " HTTP/1.0\r", true,
         url("/cr")},
        {"stream ends after the method", "GET", true, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        client_opts_t opts;
        opts.shutdown_write = c.half_close;
        client_result_t r = client_exchange(proxy.port, c.bytes, WAIT, opts);
        EXPECT_TRUE(r.eof);
        EXPECT_EQ(r.bytes, "");
        EXPECT_EQ(origin_count(origin), 0u);
    }
    EXPECT_EQ(read_stdout(proxy), "");
    EXPECT_EQ(read_stderr(proxy), "");
    // Nothing is stored under the URL a refused line's bytes spell: a GET
    // for it goes to the origin. (No GET line can hold the longest such
    // key, so nothing stored under it could ever be served.)
    size_t conns = 0;
    for (const auto &c : cases) {
        if (c.cut_key.empty() || 4 + c.cut_key.size() + 1 > 8191) continue;
        SCOPED_TRACE(c.cut_key.substr(0, 60));
        client_result_t r = client_exchange(proxy.port, "GET " + c.cut_key + "\n", WAIT);
        EXPECT_EQ(r.bytes, http_response("fine\n"));
        EXPECT_TRUE(origin_wait_closed(origin, ++conns, WAIT));
    }
    EXPECT_EQ(conns, 3u);
    EXPECT_EQ(origin_count(origin), conns);
    expect_healthy();
}

TEST_F(SlotFaults, RequestLineOf8191BytesIsRelayedWhole) {
    const std::string head = "GET " + url("/");
    const std::string tail = " HTTP/1.0\r\n";
    const std::string path = "/" + std::string(8191 - head.size() - tail.size(), 'p');
    const std::string line = "GET " + url(path) + tail;
    ASSERT_EQ(line.size(), 8191u);
    client_result_t r = client_exchange(proxy.port, line + "\r\n", WAIT);
    EXPECT_EQ(r.bytes, http_response("fine\n"));
    ASSERT_TRUE(origin_wait_closed(origin, 1, WAIT));
    EXPECT_TRUE(origin_request(origin, 0) ==
                "GET " + path + " HTTP/1.0\r\n" + host_line(hostport()));
    // One byte longer, the line end falls beyond the limit: refused.
    const std::string longer = "GET " + url(path + "q") + tail;
    ASSERT_EQ(longer.size(), 8192u);
    client_result_t again = client_exchange(proxy.port, longer + "\r\n", WAIT);
    EXPECT_TRUE(again.eof);
    EXPECT_EQ(again.bytes, "");
    EXPECT_EQ(origin_count(origin), 1u);
}

// With a one-character host and no version, a request line of 8191 bytes
// yields an upstream request line of 8192, which no 8192-byte buffer holds
// with its NUL: refused before any lookup, so nothing is printed or sent.
TEST_F(SlotFaults, OverlongUpstreamRequestLineIsRefused) {
    const std::string line = "GET http://0/" + std::string(8191 - 15, 'a') + "\r\n";
    ASSERT_EQ(line.size(), 8191u);
    client_result_t r = client_exchange(proxy.port, line + "\r\n", WAIT);
    EXPECT_TRUE(r.eof);
    EXPECT_EQ(r.bytes, "");
    EXPECT_EQ(read_stdout(proxy), "");
    expect_healthy();
}

// A URI without slashes becomes the host whole. A Host line of 8192 bytes or
// more is refused; the port it names counts: 8176 bytes of host and
// ":65535" make 8192.
TEST_F(SlotFaults, OverlongHostLineIsRefused) {
    const named_t cases[] = {
        {"the host alone", std::string(8185, 'h')},
        {"the port counts", std::string(8176, 'h') + ":65535"},
    };
    for (const named_t &c : cases) {
        SCOPED_TRACE(c.name);
        client_result_t r = client_exchange(proxy.port, "GET " + c.bytes + "\r\n\r\n", WAIT);
        EXPECT_TRUE(r.eof);
        EXPECT_EQ(r.bytes, "");
    }
    EXPECT_EQ(read_stdout(proxy), "");
    expect_healthy();
    // One byte shorter, the line fits: the name is looked up, and fails.
    client_result_t r = client_exchange(
        proxy.port, "GET " + std::string(8175, 'h') + ":65535\r\n\r\n", WAIT);
    EXPECT_EQ(r.bytes, "");
    EXPECT_TRUE(wait_output(proxy, "invalid host\n", WAIT));
}

// A method of 8180 quotes escapes to 49080 bytes: the page still holds it
// all, and its length is counted on the escaped body.
TEST_F(SlotFaults, EscapedMethodNearLimitFitsThePage) {
    const std::string method(8180, '"');
    client_result_t r = client_exchange(proxy.port, method + " x\r\n\r\n", WAIT);
    std::string escaped;
    for (size_t i = 0; i < method.size(); i++) escaped += "&quot;";
    const std::string body =
        "<html><title>Proxy Error</title><body bgcolor=ffffff>\r\n"
        "501: Not Implemented\r\n<p>Method not supported: " +
        escaped + "\r\n<hr><em>Dovrane's Proxy Server</em>\r\n";
    EXPECT_TRUE(r.eof);
    EXPECT_TRUE(r.bytes ==
                "HTTP/1.0 501 Not Implemented\r\nContent-type: text/html\r\n"
                "Content-length: 49221\r\n\r\n" +
                    body);
    EXPECT_EQ(body.size(), 49221u);
}

// ---------------------------------------------------------------- browsers and origins that fail

TEST_F(SlotFaults, BrowserClosingAtOnceGetsNothingAndNothingIsLookedUp) {
    for (int i = 0; i < 20; i++) {
        int fd = client_connect(proxy.port);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    EXPECT_EQ(origin_count(origin), 0u);
    expect_healthy();
    EXPECT_EQ(read_stdout(proxy), "");
    EXPECT_EQ(read_stderr(proxy), "");
}

TEST_F(SlotFaults, FewerThanTwoFieldsEndsWithoutResponse) {
    for (const char *line : {"GET\r\n", "   GET   \r\n", "x\n"}) {
        SCOPED_TRACE(line);
        client_result_t r = client_exchange(proxy.port, line, WAIT);
        EXPECT_TRUE(r.eof);
        EXPECT_EQ(r.bytes, "");
    }
    EXPECT_EQ(origin_count(origin), 0u);
    EXPECT_EQ(read_stdout(proxy), "");
}

TEST_F(SlotFaults, ThreadEndedEarlyReleasesDescriptors) {
    route_slow(40, 5, 5);
    client_opts_t quitter;
    quitter.read_limit = 100;
    const int quitters = 8;
    std::vector<std::thread> pool;
    for (int i = 0; i < quitters; i++) {
        pool.emplace_back([&] { client_exchange(proxy.port, get("/slow"), WAIT, quitter); });
    }
    for (std::thread &t : pool) t.join();
    EXPECT_TRUE(wait_output(proxy, "Rio_writen error: ", WAIT, true, quitters));
    ASSERT_TRUE(origin_wait_closed(origin, quitters, WAIT));
    expect_idle(proxy);
    expect_healthy();
}

// ---------------------------------------------------------------- resources

// No memory for the descriptor cells of three accepted connections (the
// launcher's probe took the first): each such connection is closed
// unanswered with the line Malloc would print, and the process goes on. No
// memory for a response's copy: it is relayed whole and not stored.
TEST_F(SlotFaults, AllocationFailureEndsOnlyThatConnection) {
    started_t s;
    process_t &limited = s.p;
    const std::string reply = http_response(std::string(700, 'm'));
    ASSERT_TRUE(start_shimmed(
        limited, {{"FAULT_CELL", "2,3,4"}, {"FAULT_MALLOC_SIZE", std::to_string(reply.size())}},
        true));
    route(run, "/m", reply);
    const std::string ask_m = get("/m");
    for (int i = 0; i < 3; i++) {
        client_result_t cut = client_exchange(limited.port, ask_m, WAIT);
        EXPECT_TRUE(cut.eof || cut.reset);
        EXPECT_EQ(cut.bytes, "");
    }
    EXPECT_TRUE(wait_output(limited, "Malloc error: Cannot allocate memory\n", WAIT, true, 3));
    EXPECT_EQ(origin_count(origin), 0u);
    // The response's copy cannot be had: relayed, not kept.
    EXPECT_TRUE(client_exchange(limited.port, ask_m, WAIT).bytes == reply);
    EXPECT_TRUE(client_exchange(limited.port, ask_m, WAIT).bytes == reply);
    EXPECT_EQ(origin_count(origin), 2u);
    const std::string ask_ok = get("/ok");
    EXPECT_EQ(client_exchange(limited.port, ask_ok, WAIT).bytes, http_response("fine\n"));
    EXPECT_EQ(client_exchange(limited.port, ask_ok, WAIT).bytes, http_response("fine\n"));
    EXPECT_EQ(origin_count(origin), 3u);
    EXPECT_TRUE(is_running(limited));
    expect_idle(limited);
    EXPECT_EQ(read_stderr(limited),
              "Malloc error: Cannot allocate memory\n"
              "Malloc error: Cannot allocate memory\n"
              "Malloc error: Cannot allocate memory\n");
    EXPECT_EQ(read_stdout(limited), "");
    expect_clean_stop(limited);
}

// While three lookups of a slow name are pending, misses to a dotted
// address and to a name the resolver knows are served at once: both
// complete before any of the slow ones does.
TEST_F(SlotFaults, SlowLookupDelaysNoOtherRequest) {
    started_t s;
    process_t &slow = s.p;
    ASSERT_TRUE(start_shimmed(slow, {{"SLOW_NAME", "slow.invalid"}}));
    std::atomic<int> slow_done{0};
    std::vector<std::thread> pending;
    std::vector<client_result_t> slow_results(3);
    for (int i = 0; i < 3; i++) {
        pending.emplace_back([&, i] {
            slow_results[(size_t)i] = client_exchange(
                slow.port, "GET http://slow.invalid/" + std::to_string(i) + " HTTP/1.0\r\n\r\n",
                ms(20000));
            slow_done++;
        });
    }
    EXPECT_TRUE(wait_output(slow, "slow lookup\n", WAIT, true, 3));
    client_result_t dotted = client_exchange(slow.port, get("/dotted"), WAIT);
    int done_after_dotted = slow_done.load();
    client_result_t named = client_exchange(
        slow.port,
        "GET http://localhost:" + std::to_string(origin.port) + "/named HTTP/1.0\r\n\r\n", WAIT);
    int done_after_named = slow_done.load();
    EXPECT_EQ(dotted.bytes, http_response("fine\n"));
    EXPECT_EQ(named.bytes, http_response("fine\n"));
    EXPECT_EQ(done_after_dotted, 0);
    EXPECT_EQ(done_after_named, 0);
    for (std::thread &t : pending) t.join();
    for (const client_result_t &r : slow_results) {
        EXPECT_TRUE(r.eof);
        EXPECT_EQ(r.bytes, "");
    }
    EXPECT_TRUE(wait_output(slow, "invalid host\n", WAIT, false, 3));
    EXPECT_EQ(read_stdout(slow), "invalid host\ninvalid host\ninvalid host\n");
    expect_clean_stop(slow);
}

// ---------------------------------------------------------------- time-outs
// The test build's time-outs: 1 s for the request line, 1 s for a write to
// the browser without progress, 2 s for a silent origin. Each firing prints
// the line reader's or the writer's report; the browser gets nothing the
// origin did not send, and all that it did.

struct SlotTimeouts : SlotFaults {
    void SetUp() override { start(run.row.short_binary, false); }
};

// The whole request line must come within the time-out, however it
// dribbles: a browser that sends one byte every 200 ms is cut off while it
// is still sending, and one that sends nothing as well.
TEST_F(SlotTimeouts, RequestLineMustArriveInTime) {
    int idle = client_connect(proxy.port);
    ASSERT_GE(idle, 0);
    int drip = client_connect(proxy.port);
    ASSERT_GE(drip, 0);
    const std::string line = get("/drip");
    size_t sent = 0;
    bool cut = false;
    for (; sent < line.size() && !cut; sent++) {
        if (send(drip, line.data() + sent, 1, MSG_NOSIGNAL) != 1) break;
        struct pollfd pfd = {drip, POLLIN, 0};
        cut = poll(&pfd, 1, 200) > 0;  // the proxy closed: end of stream
    }
    EXPECT_TRUE(cut) << "the whole line was sent";
    EXPECT_LT(sent, line.size());
    client_result_t d = read_until_close(drip, WAIT);
    client_result_t i = read_until_close(idle, WAIT);
    close(drip);
    close(idle);
    EXPECT_TRUE(d.eof || d.reset);
    EXPECT_TRUE(i.eof || i.reset);
    EXPECT_EQ(d.bytes, "");
    EXPECT_EQ(i.bytes, "");
    EXPECT_TRUE(wait_output(proxy, "Rio_readlineb error: Resource temporarily unavailable\n", WAIT,
                            true, 2));
    EXPECT_EQ(origin_count(origin), 0u);
    expect_idle(proxy);
    EXPECT_EQ(read_stdout(proxy), "");
}

// A browser that stops reading a large response: the write fails once no
// byte has moved for the time-out, the connection ends, nothing is stored.
TEST_F(SlotTimeouts, BrowserThatStopsReadingIsCutOff) {
    const std::string huge = http_response(pattern_body(32u << 20, 8));
    route(run, "/huge", huge);
    int fd = client_connect(proxy.port, 4096);  // a small receive buffer
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, get("/huge")));
    EXPECT_TRUE(wait_output(proxy, "Rio_writen error: Resource temporarily unavailable\n",
                            ms(20000), true));
    ASSERT_TRUE(origin_wait_closed(origin, 1, WAIT));
    client_result_t r = read_until_close(fd, ms(20000));
    close(fd);
    EXPECT_TRUE(r.eof || r.reset);
    EXPECT_LT(r.bytes.size(), huge.size());
    EXPECT_TRUE(huge.compare(0, r.bytes.size(), r.bytes) == 0);
    expect_idle(proxy);
}

// An origin that sends a header block and half a line and then nothing: the
// relay's read fails at the time-out while the origin still holds the
// connection; the browser has every byte that was sent, the unfinished line
// included, and the end of the stream; nothing is stored.
TEST_F(SlotTimeouts, SilentOriginIsGivenUp) {
    const std::string held = "HTTP/1.0 200 OK\r\n\r\nhalf a li";
    route(run, "/held", held, origin_end_t::HOLD);
    client_result_t r = client_exchange(proxy.port, get("/held"), ms(20000));
    EXPECT_TRUE(r.eof);
    EXPECT_EQ(r.bytes, held);
    EXPECT_TRUE(
        wait_output(proxy, "Rio_readlineb error: Resource temporarily unavailable\n", WAIT, true));
    EXPECT_TRUE(origin_wait_closed(origin, 1, WAIT));
    client_exchange(proxy.port, get("/held"), ms(20000));
    EXPECT_EQ(origin_count(origin), 2u);
    expect_idle(proxy);
    EXPECT_EQ(read_stdout(proxy), "");
}

// ---------------------------------------------------------------- command line

TEST(SlotCommandLine, UsageLineEndsWithStatusOne) {
    const std::string bin = program_named("slotproxy").binary;
    const std::vector<std::vector<std::string>> argvs = {
        {bin}, {bin, "1", "2"}, {bin, "8080", "x", "y"}};
    for (const auto &argv : argvs) {
        SCOPED_TRACE(argv.size());
        run_result_t r = run_to_exit(argv, WAIT);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, "usage: " + bin + " <port>\n");
        EXPECT_EQ(r.out, "");
    }
}

// The port a process listens on, from its socket descriptors and the
// kernel's table of TCP sockets; -1 when none is found.
int listening_port(pid_t pid) {
    std::vector<std::string> inodes;
    for (int fd = 0; fd < 64; fd++) {
        char link[256];
        std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
        if (n <= 0) continue;
        link[n] = '\0';
        if (strncmp(link, "socket:[", 8) == 0)
            inodes.push_back(std::string(link + 8, (size_t)n - 9));
    }
    std::ifstream tcp("/proc/" + std::to_string(pid) + "/net/tcp");
    std::string line;
    std::getline(tcp, line);
    while (std::getline(tcp, line)) {
        std::istringstream s(line);
        std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
        s >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
        if (state != "0A") continue;  // LISTEN
        for (const std::string &i : inodes) {
            if (i == inode)
                return (int)strtol(local.substr(local.find(':') + 1).c_str(), nullptr, 16);
        }
    }
    return -1;
}

TEST_F(SlotFaults, NonNumericPortListensOnPortZero) {
    started_t s;
    ASSERT_TRUE(start_process(s.p, {run.row.binary, "web"}));
    int port = -1;
    wait_until([&] {
        // Until it execs, the child holds this test's listening sockets too.
        port = listening_port(s.p.pid);
        if (port == origin.port || port == proxy.port) port = -1;
        return port > 0 || !is_running(s.p);
    }, WAIT);
    ASSERT_GT(port, 0) << "no listening socket found";
    EXPECT_EQ(client_exchange(port, get("/zero"), WAIT).bytes, http_response("fine\n"));
    EXPECT_EQ(read_stderr(s.p), "");
    expect_clean_stop(s.p);
}

}  // namespace
