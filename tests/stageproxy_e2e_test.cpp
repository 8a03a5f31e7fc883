// stageproxy as a whole program over loopback, against the scripted origin:
// the exact console lines at each verbosity level, the exact bytes sent
// upstream and to the browser, what is stored and what is not, peers that
// fail mid-way, an origin that reads nothing, and bad input. What it shares
// with the other programs is in programs_e2e_test.cpp.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "programs.h"

using namespace harness;

namespace {

const ms DEADLINE(10000);

// What a browser sent as the console shows it: bytes below 0x20 and 0x7f as
// \xHH, but for the line end of a line that has one.
std::string shown(const std::string &text) {
    size_t keep = text.size();
    if (keep > 0 && text[keep - 1] == '\n') keep--;
    if (keep > 0 && keep < text.size() && text[keep - 1] == '\r') keep--;
    std::string s;
    for (size_t i = 0; i < keep; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x20 || c == 0x7f) {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            s += hex;
        } else {
            s += (char)c;
        }
    }
    return s + text.substr(keep);
}

// The line a request starts with at each level.
std::string received(int level, const std::string &requestLine) {
    if (level == 1) return "Received Request\n";
    if (level == 2) return "\n\nReceived Request: " + shown(requestLine) + "\n";
    return "";
}

// What a miss does with the response it relayed.
enum storeAs { STORED, TOO_LARGE };

// A running proxy at one level, its origin, and marks in its console
// streams so that each step's lines can be told apart (the table's
// running_t). The launcher's probe (a connection closed at once) is waited
// out by start().
struct StageProxy : ::testing::Test {
    running_t run{program_named("stageproxy")};
    origin_t &origin = run.origin;
    process_t &proxy = run.proxy;
    int level = 1;

    void TearDown() override {
        if (proxy.pid > 0) {
            EXPECT_TRUE(is_running(proxy)) << "the proxy has ended: " << read_stderr(proxy);
        }
    }
    void start(int lvl, const std::string &binary = "") {
        level = lvl;
        ASSERT_TRUE(start_running(run, binary.empty() ? run.row.binary : binary,
                                  {std::to_string(lvl)}));
    }
    void mark() { mark_console(run); }
    std::string out() const { return out_since(run); }
    std::string err() const { return err_since(run); }
    std::string url(const std::string &path) const { return origin_url(run, path); }
    std::string line(const std::string &path) const { return "GET " + url(path) + " HTTP/1.0\r\n"; }
    // The Host line that goes upstream for a URL of the origin.
    std::string hostLine() const {
        return "Host: 127.0.0.1:" + std::to_string(origin.port) + "\r\n";
    }
    // What the origin gets for a request line and header lines without Host.
    std::string upstream(const std::string &path, const std::string &headers = "") const {
        return "GET " + path + " HTTP/1.0\r\n" + hostLine() + headers + "\r\n";
    }
    std::string get(const std::string &path, const std::string &headers = "") const {
        return get_request(run, path, headers);
    }
    void route(const std::string &path, const std::string &bytes) { harness::route(run, path, bytes); }
    // One exchange, returned once the proxy has ended the connection.
    client_result_t ask(const std::string &request, const client_opts_t &opts = client_opts_t()) {
        return harness::ask(run, request, opts);
    }
    // The lines of a miss for path, stored, too large or not kept.
    std::string missLines(const std::string &path, storeAs stored = STORED,
                          const std::string &requestLine = "") const {
        std::string s = received(level, requestLine.empty() ? line(path) : requestLine);
        if (level > 0) {
            s += "Custom Port Detected: " + std::to_string(origin.port) + "\n" +
                 "Contacting (127.0.0.1)...\n" + "Forwarding Request: GET " + path +
                 " HTTP/1.0\r\n\n" + "Server responded. Sending reply to browser...\n" +
                 "Caching response...\n";
        }
        if (stored == STORED) {
            if (level == 1) s += "Inserting into Cache.\n";
            if (level == 2) s += "Inserting (" + url(path) + ") in Cache.\n";
            s += "Successfully cached.\n";
        } else if (stored == TOO_LARGE) {
            if (level == 1) s += "Not caching, too large.\n";
            if (level == 2) s += "Not caching (" + url(path) + "), too large.\n";
        }
        if (level > 0) s += "Successful response to browser!\n";
        return s + "Disconnected.\n";
    }
    std::string hitLines(const std::string &path) const {
        std::string s = received(level, line(path));
        if (level > 0) {
            s += "Found (" + url(path) + ") in cache.\n" + "Successfully sent (" + url(path) +
                 ") from cache directly to browser.\n";
        }
        return s + "Disconnected.\n";
    }
};

// A response of exactly n bytes whose body lines end every 64 bytes.
std::string responseOfSize(size_t n, unsigned seed = 1) {
    for (size_t body = n > 100 ? n - 100 : 0; body <= n; body++) {
        std::string r = http_response(pattern_body(body, seed));
        if (r.size() == n) return r;
    }
    return std::string();
}

// ---------------------------------------------------------------- console lines

struct StageConsole : StageProxy, ::testing::WithParamInterface<int> {};

TEST_P(StageConsole, MissThenHitPrintExactLines) {
    start(GetParam());
    route("/page", http_response("page body"));
    const std::string over = responseOfSize(102400);
    route("/over", over);
    EXPECT_EQ(ask(get("/page")).bytes, http_response("page body"));
    EXPECT_EQ(ask(get("/page")).bytes, http_response("page body"));
    EXPECT_EQ(ask(get("/over")).bytes, over);
    EXPECT_EQ(out(), missLines("/page") + hitLines("/page") + missLines("/over", TOO_LARGE));
    EXPECT_EQ(err(), "");
    EXPECT_EQ(origin_count(origin), 2u);
}

TEST_P(StageConsole, FailuresPrintExactLines) {
    start(GetParam());
    refused_port_t refused;
    ASSERT_GT(refused.port, 0);
    const std::string closedPort = std::to_string(refused.port);
    const std::string unreachable = "GET http://127.0.0.1:" + closedPort + "/x HTTP/1.0\r\n";
    const std::string contacting = level > 0 ? "Contacting (127.0.0.1)...\n" : "";
    // Its CR is the 8191st byte and its LF the 8192nd: beyond one read.
    const std::string longLine =
        "GET " + url("/" + std::string(8177 - url("/").size(), 'l')) + " HTTP/1.0";
    const std::string cut = line("/cut").substr(0, line("/cut").size() - 2);
    const std::string ownPort =
        "GET http://127.0.0.1:" + std::to_string(proxy.port) + "/self HTTP/1.0\r\n";
    const struct {
        const char *name;
        std::string request;
        bool closeAtOnce;
        std::string out, err;
        bool connects = false;  // the origin is reached
    } cases[] = {
        {"POST refused", "POST " + url("/p") + " HTTP/1.0\r\n\r\n", false,
         received(level, "POST " + url("/p") + " HTTP/1.0\r\n"),
         "Error: Must be GET request.\nError: Invalid HTTP Request.\n"},
        {"URL too short: not absolute", "GET http:/ HTTP/1.0\r\n\r\n", false,
         received(level, "GET http:/ HTTP/1.0\r\n"), "Error: Invalid HTTP Request.\n"},
        {"method alone", "GET\r\n\r\n", false, received(level, "GET\r\n"),
         "Error: Invalid HTTP Request.\n"},
        {"origin-form target", "GET /x HTTP/1.0\r\n\r\n", false,
         received(level, "GET /x HTTP/1.0\r\n"), "Error: Invalid HTTP Request.\n"},
        // A browser's control bytes never reach the terminal raw.
        {"ESC and BEL in the host", "GET http://\x1b]0;t\x07\x1b[2J/x HTTP/1.0\r\n\r\n", false,
         (level == 2 ? "\n\nReceived Request: GET http://\\x1b]0;t\\x07\\x1b[2J/x HTTP/1.0\r\n\n"
                     : received(level, "")) +
             (level > 0 ? "Contacting (\\x1b]0;t\\x07\\x1b[2J)...\n" : ""),
         "Error: Unable to connect to remote server.\n"},
        {"a bare CR forging a line", "GET /x HTTP/1.0\rERR forged line\x7f\r\n\r\n", false,
         level == 2 ? "\n\nReceived Request: GET /x HTTP/1.0\\x0dERR forged line\\x7f\r\n\n"
                    : received(level, ""),
         "Error: Invalid HTTP Request.\n"},
        {"browser closes at once", "", true, received(level, ""),
         "Error: Must be GET request.\nError: Invalid HTTP Request.\n"},
        {"unreachable host", unreachable + "\r\n", false,
         received(level, unreachable) +
             (level > 0 ? "Custom Port Detected: " + closedPort + "\n" : "") + contacting,
         "Error: Unable to connect to remote server.\n"},
        {"empty host", "GET http:///x HTTP/1.0\r\n\r\n", false,
         received(level, "GET http:///x HTTP/1.0\r\n") + (level > 0 ? "Contacting ()...\n" : ""),
         "Error: Unable to connect to remote server.\n"},
        {"request line longer than one read", longLine + "\r\n", false,
         received(level, longLine + "\r"), "Error: Invalid HTTP Request.\n"},
        {"stream ends inside the request line", cut, true, received(level, cut),
         "Error: Invalid HTTP Request.\n"},
        {"the proxy's own port", ownPort + "\r\n", false,
         received(level, ownPort) +
             (level > 0 ? "Custom Port Detected: " + std::to_string(proxy.port) + "\n" : "") +
             contacting,
         "Error: Unable to connect to remote server.\n"},
        {"request with a body", line("/b") + "Content-Length: 3\r\n\r\nabc", false,
         received(level, line("/b")) +
             (level > 0 ? "Custom Port Detected: " + std::to_string(origin.port) + "\n" +
                              contacting + "Forwarding Request: GET /b HTTP/1.0\r\n\n"
                        : ""),
         "Error: Could not pass request to server.\n", true},
        {"DEL and ESC in the path", line("/\x7f\x1b[2J") + "Content-Length: 3\r\n\r\nabc", false,
         (level == 2 ? "\n\nReceived Request: GET " + url("/\\x7f\\x1b[2J") + " HTTP/1.0\r\n\n"
                     : received(level, "")) +
             (level > 0 ? "Custom Port Detected: " + std::to_string(origin.port) + "\n" +
                              contacting + "Forwarding Request: GET /\\x7f\\x1b[2J HTTP/1.0\r\n\n"
                        : ""),
         "Error: Could not pass request to server.\n", true},
    };
    size_t connects = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        mark();
        client_opts_t opts;
        opts.close_after_send = c.closeAtOnce;
        client_result_t r = ask(c.request, opts);
        EXPECT_EQ(r.bytes, "");
        EXPECT_EQ(out(), c.out + "Disconnected.\n");
        EXPECT_EQ(err(), c.err);
        if (c.connects) connects++;
    }
    // The origin may count a connection the proxy has already closed a
    // moment after the proxy's lines are out.
    origin_wait_closed(origin, connects, DEADLINE);
    EXPECT_EQ(origin_count(origin), connects);
}

INSTANTIATE_TEST_SUITE_P(Levels, StageConsole, ::testing::Values(0, 1, 2));

// ---------------------------------------------------------------- relay

using StageRelay = StageProxy;

TEST_F(StageRelay, RewritesConnectionHeaderByNameUpstream) {
    start(0);
    route("/h", http_response("headers"));
    const std::string request = "GET " + url("/h") +
                                " HTTP/1.1\r\n"
                                "Host: 127.0.0.1\r\n"
                                "User-Agent: test/1\r\n"
                                "Proxy-Connection: keep-alive\r\n"
                                "Connection: Keep-Alive\r\n"
                                "Keep-Alive: 300\r\n"
                                "Cookie: mode=Keep-Alive\r\n"
                                "Referer: http://r/Connection\r\n"
                                "\r\n";
    EXPECT_EQ(ask(request).bytes, http_response("headers"));
    // A Host without a port names port 80: the URL's port replaces it.
    EXPECT_EQ(origin_request(origin, 0),
              "GET /h HTTP/1.0\r\n" + hostLine() +
              "User-Agent: test/1\r\n"
              "Proxy-Connection: close\r\n"
              "Connection: close\r\n"
              "Cookie: mode=Keep-Alive\r\n"
              "Referer: http://r/Connection\r\n"
              "\r\n");
}

TEST_F(StageRelay, UrlTakenApartAsSentUpstream) {
    start(1);
    const int port = origin.port;
    const std::string base = "http://127.0.0.1:";
    const struct {
        const char *name;
        std::string url;
        std::string upstream;  // "" when the origin is not reached
        long shownPort;
    } cases[] = {
        {"path and query", base + std::to_string(port) + "/a/b?q=1", "GET /a/b?q=1 HTTP/1.0\r\n",
         port},
        {"no path", base + std::to_string(port), "GET / HTTP/1.0\r\n", port},
        {"colon in the path", base + std::to_string(port) + "/a:1/b", "GET /a:1/b HTTP/1.0\r\n",
         port},
        {"port above 65535 wraps", base + std::to_string(port + 65536) + "/w",
         "GET /w HTTP/1.0\r\n", port + 65536},
        {"negative port wraps", base + "-" + std::to_string(65536 - port) + "/n",
         "GET /n HTTP/1.0\r\n", port - 65536},
        {"empty port is 0", base + "/x", "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        size_t before = origin_count(origin);
        mark();
        ask("GET " + c.url + " HTTP/1.0\r\n\r\n");
        EXPECT_NE(out().find("Custom Port Detected: " + std::to_string(c.shownPort) + "\n"),
                  std::string::npos)
            << out();
        if (c.upstream.empty()) {
            EXPECT_EQ(origin_count(origin), before);
            EXPECT_EQ(err(), "Error: Unable to connect to remote server.\n");
        } else {
            ASSERT_TRUE(origin_wait_closed(origin, before + 1, DEADLINE));
            // The port as connected, whatever the URL wrote.
            EXPECT_EQ(origin_request(origin, before), c.upstream + hostLine() + "\r\n");
        }
    }
}

TEST_F(StageRelay, LowerCaseGetSentAsGetHttp10) {
    start(0);
    route("/lc", http_response("lower"));
    EXPECT_EQ(ask("get " + url("/lc") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").bytes,
              http_response("lower"));
    EXPECT_EQ(origin_request(origin, 0), "GET /lc HTTP/1.0\r\n" + hostLine() + "\r\n");
}

// The page fetched is the one the URL names, whatever host the browser's
// Host line names: exactly one Host line goes upstream, naming the URL's host
// and port. The browser's stays as sent when it names both (host in any
// case), is replaced where it stood when it names another host or port, and
// any later one is dropped; without one, the URL's follows the request line.
TEST_F(StageRelay, HostLineNamingAnotherHostReplacedUpstream) {
    start(0);
    const std::string port = std::to_string(origin.port);
    const struct {
        const char *name;
        std::string headers;   // the browser's, after the request line
        std::string upstream;  // what follows the request line upstream
    } cases[] = {
        {"the URL's host and port stay as sent", "X-A: 1\r\nHost: 127.0.0.1:" + port + "\r\n",
         "X-A: 1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n"},
        {"another host replaced where it stood", "X-A: 1\r\nHost: other.example\r\n",
         "X-A: 1\r\n" + hostLine() + "\r\n"},
        {"another port replaced", "Host: 127.0.0.1:6666\r\nX-A: 1\r\n",
         hostLine() + "X-A: 1\r\n\r\n"},
        {"no port: port 80, replaced", "Host: 127.0.0.1\r\n", hostLine() + "\r\n"},
        {"two Host lines: the second dropped",
         "Host: other.example\r\nX-A: 1\r\nHost: 127.0.0.1:" + port + "\r\n",
         hostLine() + "X-A: 1\r\n\r\n"},
        {"no Host: the URL's goes first", "X-A: 1\r\n", hostLine() + "X-A: 1\r\n\r\n"},
    };
    size_t n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // A path each, so that every row is a miss.
        const std::string path = "/site" + std::to_string(n);
        route(path, http_response("the URL's page"));
        EXPECT_EQ(ask(get(path, c.headers)).bytes, http_response("the URL's page"));
        ASSERT_TRUE(origin_wait_closed(origin, n + 1, DEADLINE));
        EXPECT_EQ(origin_request(origin, n), "GET " + path + " HTTP/1.0\r\n" + c.upstream);
        n++;
    }
}

TEST_F(StageRelay, RequestLineThenBlankLineRelaysBlankLineOnly) {
    start(0);
    route("/b", http_response("blank"));
    EXPECT_EQ(ask(get("/b")).bytes, http_response("blank"));
    // The URL's Host line, which the browser did not send, and the blank line.
    EXPECT_EQ(origin_request(origin, 0), upstream("/b"));
}

TEST_F(StageRelay, BrowserEndOfStreamBeforeHeaderEndFailsStage) {
    start(1);
    client_opts_t opts;
    opts.shutdown_write = true;
    client_result_t r = ask(line("/cut") + "Host: 127.0.0.1\r\nX-A: partial", opts);
    EXPECT_EQ(r.bytes, "");
    EXPECT_TRUE(r.eof || r.reset);
    EXPECT_EQ(err(), "Error: Failed to complete communication with webserver.\n");
    ASSERT_TRUE(origin_wait_closed(origin, 1, DEADLINE));
    EXPECT_EQ(origin_request(origin, 0), "GET /cut HTTP/1.0\r\n" + hostLine() + "X-A: partial");
    EXPECT_EQ(out().find("Server responded."), std::string::npos);
}

// ---------------------------------------------------------------- what is stored

using StageStore = StageProxy;

TEST_F(StageStore, Response102399StoredAnd102400RelayedNotStored) {
    start(1);
    const std::string fits = responseOfSize(102399, 3), over = responseOfSize(102400, 4);
    ASSERT_EQ(fits.size(), 102399u);
    ASSERT_EQ(over.size(), 102400u);
    route("/fits", fits);
    route("/over", over);
    EXPECT_EQ(ask(get("/fits")).bytes, fits);
    EXPECT_EQ(ask(get("/over")).bytes, over);
    EXPECT_EQ(out(), missLines("/fits") + missLines("/over", TOO_LARGE));
    mark();
    EXPECT_EQ(ask(get("/fits")).bytes, fits);
    EXPECT_EQ(ask(get("/over")).bytes, over);
    EXPECT_EQ(out(), hitLines("/fits") + missLines("/over", TOO_LARGE));
    EXPECT_EQ(origin_count(origin), 3u);
}

TEST_F(StageStore, KeyIsUrlWordAsSentCaseIncluded) {
    start(0);
    route("/k", http_response("k"));
    ask(get("/k"));
    ask("GET HTTP://127.0.0.1:" + std::to_string(origin.port) + "/k HTTP/1.0\r\n\r\n");
    ask("GET " + url("/k") + " HTTP/1.1\r\nHost: other\r\n\r\n");  // same URL word: a hit
    EXPECT_EQ(origin_count(origin), 2u);
    EXPECT_EQ(out(),
              "Successfully cached.\nDisconnected.\nSuccessfully cached.\nDisconnected.\n"
              "Disconnected.\n");
}

// ---------------------------------------------------------------- failing peers

using StageFaults = StageProxy;

TEST_F(StageFaults, BrowserResetDuringHeadersReportsSigConn) {
    start(0);
    int fd = client_connect(proxy.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, line("/rst") + "Host: 127.0.0.1\r\n"));
    // Once the origin has the Host line, the proxy waits for the next one.
    {
        std::unique_lock<std::mutex> g(origin.lock);
        ASSERT_TRUE(origin.changed.wait_for(g, scaled(DEADLINE), [&] {
            return !origin.conns.empty() &&
                   origin.conns[0].bytes.find(hostLine()) != std::string::npos;
        }));
    }
    struct linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
    ASSERT_TRUE(wait_ended(run, ++run.ended, DEADLINE));
    EXPECT_EQ(out(), "Sig Conn detected - aborting connection thread.\nDisconnected.\n");
    EXPECT_EQ(err(), "Error: Failed to complete communication with webserver.\n");
    ASSERT_TRUE(origin_wait_closed(origin, 1, DEADLINE));
}

// The short build: an origin that takes the connection but never reads a
// byte of a request larger than the socket buffers fails the stage that
// writes upstream at the time-out, and the thread and descriptors are given
// back. (The time-outs the programs share are in programs_e2e_test.cpp.)
TEST_F(StageFaults, OriginReadingNothingTimesOut) {
    start(0, run.row.short_binary);
    const int idleFds = count_fds(proxy.pid);
    // It listens, and never accepts.
    int deaf = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in deafAddress = {};
    deafAddress.sin_family = AF_INET;
    deafAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t deafLength = sizeof deafAddress;
    int small = 4096;  // a small window, inherited by the connection it takes
    setsockopt(deaf, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_EQ(bind(deaf, (struct sockaddr *)&deafAddress, sizeof deafAddress), 0);
    ASSERT_EQ(listen(deaf, 1), 0);
    ASSERT_EQ(getsockname(deaf, (struct sockaddr *)&deafAddress, &deafLength), 0);
    std::string manyLines;
    // More than the proxy's send buffer can grow to (4 MiB here).
    while (manyLines.size() < 8 * 1024 * 1024) manyLines += "X-Filler: " + std::string(90, 'f') + "\r\n";
    int fd = client_connect(proxy.port);
    ASSERT_GE(fd, 0);
    send_all(fd, "GET http://127.0.0.1:" + std::to_string(ntohs(deafAddress.sin_port)) +
                     "/deaf HTTP/1.0\r\n" + manyLines + "\r\n");
    EXPECT_TRUE(wait_ended(run, ++run.ended, DEADLINE));
    EXPECT_EQ(read_until_close(fd, DEADLINE).bytes, "");
    close(fd);
    close(deaf);
    EXPECT_EQ(out(), "Disconnected.\n");
    EXPECT_EQ(err(), "Error: Failed to complete communication with webserver.\n");
    EXPECT_EQ(origin_count(origin), 0u);
    EXPECT_TRUE(wait_fds(proxy.pid, idleFds, DEADLINE)) << count_fds(proxy.pid) << " descriptors";
    EXPECT_TRUE(wait_threads(proxy.pid, 1 + RUNTIME_THREADS, DEADLINE));
}

// ---------------------------------------------------------------- bad input

using StageBadInput = StageProxy;

TEST_F(StageBadInput, EachGetsDefinedAnswerAndProcessStaysHealthy) {
    start(0);
    const int idleFds = count_fds(proxy.pid);
    route("/a", http_response("body of a"));
    route("/" + std::string("\xe9\xff"), http_response("high bytes"));
    const std::string ok = http_response("default");
    route("", ok);
    const std::string must = "Error: Must be GET request.\nError: Invalid HTTP Request.\n";
    const std::string noConnect = "Error: Unable to connect to remote server.\n";
    const std::string invalid = "Error: Invalid HTTP Request.\n";
    const std::string bodyRefused = "Error: Could not pass request to server.\n";
    const std::string self = "http://127.0.0.1:" + std::to_string(proxy.port);
    // Two URLs alike in their first 8191 bytes, and a header line whose CR is
    // the 8191st byte of a read.
    const std::string tokenUrl = url("/") + std::string(8200, 't') + "?token=";
    const std::string pad = "X-Pad: " + std::string(8183, 'p') + "\r\n";
    std::string manyLines;
    for (int i = 0; i < 100000; i++) manyLines += "X-" + std::to_string(i) + ": v\r\n";
    const std::string longLine = "X-Big: " + std::string(50000, 'b') + "\r\n";
    const std::string longUrl = url("/") + std::string(9000, 'u');
    // A second proxy, which forwards to this one what it is asked for.
    started_t otherProxy;
    process_t &other = otherProxy.p;
    ASSERT_TRUE(start_server(other, PROXY_BIN, {"1"}));
    ASSERT_TRUE(wait_output(other, "Disconnected.\n", DEADLINE));
    const size_t otherOutMark = read_stdout(other).size(), otherErrMark = read_stderr(other).size();
    const std::string otherProxyUrl = "http://127.0.0.1:" + std::to_string(other.port);
    const struct {
        const char *name;
        std::string request;
        bool shutWrite;
        std::string answer, err;
        std::string upstream;  // "-" when the origin is not reached
    } cases[] = {
        {"empty line", "\r\n", false, "", must, "-"},
        {"line of spaces", "      \r\n", false, "", must, "-"},
        {"NUL in the method", std::string("G\0T ", 4) + url("/a") + " HTTP/1.0\r\n\r\n", false, "",
         must, "-"},
        {"high bytes in the method", "G\xc5T " + url("/a") + " HTTP/1.0\r\n\r\n", false, "", must,
         "-"},
        {"NUL in the URI ends it",
         "GET " + url("/a") + std::string("\0/b", 3) + " HTTP/1.0\r\n\r\n", false,
         http_response("body of a"), "", upstream("/a")},
        {"high bytes in the URI", get("/\xe9\xff"), false, http_response("high bytes"), "",
         upstream("/\xe9\xff")},
        {"NUL and high bytes in a header", get("/h", std::string("X-B: \xff\0\x80\r\n", 10)), false,
         ok, "", upstream("/h", "X-B: \xff \x80\r\n")},
        {"URI http:// alone", "GET http:// HTTP/1.0\r\n\r\n", false, "", noConnect, "-"},
        {"9000-byte request line", "GET " + longUrl + " HTTP/1.0\r\n\r\n", false, "", invalid, "-"},
        {"8192-byte request line", "GET " + url("/") + std::string(8177 - url("/").size(), 'u') +
                                       " HTTP/1.0\r\n\r\n",
         false, "", invalid, "-"},
        {"long URL, first token", "GET " + tokenUrl + "1111 HTTP/1.0\r\n\r\n", false, "", invalid,
         "-"},
        {"long URL, second token", "GET " + tokenUrl + "2222 HTTP/1.0\r\n\r\n", false, "", invalid,
         "-"},
        {"stream ends inside the request line", "GET " + url("/a"), true, "", invalid, "-"},
        {"100000 header lines", get("/many", manyLines), false, ok, "",
         upstream("/many", manyLines)},
        {"50000-byte header line", get("/long", longLine), false, ok, "",
         upstream("/long", longLine)},
        {"bare LF line ends", "GET " + url("/lf") + " HTTP/1.0\nHost: 127.0.0.1\n\n", false, ok, "",
         upstream("/lf")},
        {"a second request after a bare LF blank line",
         get("/first", "X-A: 1\r\n\nGET /second HTTP/1.0\r\n"), false, ok, "",
         upstream("/first", "X-A: 1\r\n")},
        {"CR as the 8191st byte of a header read", get("/pad", pad), false, ok, "",
         upstream("/pad", pad)},
        {"GET with a body", get("/body", "Content-Length: 11\r\n") + "hello world", false, "",
         bodyRefused, "GET /body HTTP/1.0\r\n"},
        {"GET with a chunked body",
         get("/chunked", "Host: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n") + "0\r\n\r\n", false,
         "", bodyRefused, "GET /chunked HTTP/1.0\r\n"},
        {"blank before a Transfer-Encoding colon",
         get("/sp", "Transfer-Encoding : chunked\r\n") + "0\r\n\r\n", false, "", bodyRefused,
         "GET /sp HTTP/1.0\r\n"},
        {"a line folded onto Host",
         get("/fold", "Host: 127.0.0.1\r\n evil.example\r\n"), false, "", bodyRefused,
         "GET /fold HTTP/1.0\r\n"},
        {"blank before a Host colon", get("/hsp", "Host : other.example\r\n"), false, ok, "",
         upstream("/hsp")},
        {"Content-Length 0", get("/zero", "Content-Length: 0\r\n"), false, ok, "",
         upstream("/zero", "Content-Length: 0\r\n")},
        {"URL naming the proxy itself", "GET " + self + "/x HTTP/1.0\r\n\r\n", false, "", noConnect,
         "-"},
        {"nested URLs naming the proxy", "GET " + self + "/" + self + "/" + self + "/y HTTP/1.0\r\n\r\n",
         false, "", noConnect, "-"},
        {"the proxy's own port on 0.0.0.0",
         "GET http://0.0.0.0:" + std::to_string(proxy.port) + "/z HTTP/1.0\r\n\r\n", false, "",
         noConnect, "-"},
        {"POST with a body", "POST " + url("/a") + " HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc",
         false, "", must, "-"},
        // Only an absolute http:// URL is fetched: what a proxy sends
        // upstream is in origin form, so one pointed at this one, or a port
        // forward to it, is refused at its first hop instead of looping.
        {"origin-form target", "GET /a HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", false, "", invalid,
         "-"},
        {"origin form naming a URL", "GET /" + url("/a") + " HTTP/1.0\r\n\r\n", false, "",
         invalid, "-"},
        {"origin form with the host past seven bytes",
         "GET /XXXXXX127.0.0.1:" + std::to_string(origin.port) + "/a HTTP/1.0\r\n\r\n", false, "",
         invalid, "-"},
        {"another scheme",
         "GET a://127.0.0.1:" + std::to_string(origin.port) + "/a HTTP/1.0\r\n\r\n", false, "",
         invalid, "-"},
        {"http:// later in the word", "GET x" + url("/a") + " HTTP/1.0\r\n\r\n", false, "",
         invalid, "-"},
        // The other proxy gets "GET /a HTTP/1.0" in origin form, refuses it
        // and closes: an empty answer, relayed and not stored.
        {"a URL naming another proxy that points back here",
         "GET " + otherProxyUrl + "/" + self + "/a HTTP/1.0\r\n\r\n", false, "", "", "-"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        mark();
        size_t before = origin_count(origin);
        client_opts_t opts;
        opts.shutdown_write = c.shutWrite;
        client_result_t r = ask(c.request, opts);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.bytes, c.answer);
        EXPECT_EQ(err(), c.err);
        if (c.upstream == "-") {
            EXPECT_EQ(origin_count(origin), before);
        } else {
            ASSERT_TRUE(origin_wait_closed(origin, before + 1, DEADLINE));
            EXPECT_TRUE(origin_request(origin, before) == c.upstream)
                << origin_request(origin, before).substr(0, 200);
        }
    }
    // Each proxy connected upstream at most once for the looping URL: the
    // other one was asked once (and printed its refusal), and asked no one.
    EXPECT_TRUE(wait_output(other, "Disconnected.\n", DEADLINE, false, 2));
    EXPECT_EQ(read_stdout(other).substr(otherOutMark), "Received Request\nDisconnected.\n");
    EXPECT_EQ(read_stderr(other).substr(otherErrMark), "Error: Invalid HTTP Request.\n");
    EXPECT_TRUE(is_running(other));
    // Ports out of range reach only their low 16 bits; whatever answers
    // there, the proxy stays healthy.
    for (const char *port : {"99999999", "-5"}) {
        SCOPED_TRACE(port);
        mark();
        client_result_t r = ask("GET http://127.0.0.1:" + std::string(port) + "/ HTTP/1.0\r\n\r\n");
        EXPECT_FALSE(r.timed_out);
    }
    // What was stored is what its URL's origin answered.
    mark();
    EXPECT_EQ(ask(get("/a")).bytes, http_response("body of a"));
    EXPECT_EQ(ask(get("/\xe9\xff")).bytes, http_response("high bytes"));
    EXPECT_EQ(out(), "Disconnected.\nDisconnected.\n") << "expected two hits";
    EXPECT_TRUE(wait_fds(proxy.pid, idleFds, DEADLINE)) << count_fds(proxy.pid) << " descriptors";
    EXPECT_TRUE(wait_threads(proxy.pid, 1 + RUNTIME_THREADS, DEADLINE));
}

}  // namespace
