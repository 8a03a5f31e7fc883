// stampproxy as a whole program over loopback: request parsing and header
// rewriting (exact bytes at a scripted origin), the relay and its chunks,
// the console transcripts and bad input. What it shares with the
// other programs is in programs_e2e_test.cpp.
#include <arpa/inet.h>
#include <ctype.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
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

int accept_within(int lfd, ms deadline) {
    struct pollfd pfd = {lfd, POLLIN, 0};
    if (poll(&pfd, 1, (int)scaled(deadline).count()) <= 0) return -1;
    return accept(lfd, nullptr, nullptr);
}

// An origin the test drives by hand, listening until this ends, and the
// request for a path on it.
struct hand_origin_t {
    int port = 0;
    int lfd = listen_local(port);
    ~hand_origin_t() {
        if (lfd >= 0) close(lfd);
    }
    std::string get(const std::string &path) const {
        return "GET http://127.0.0.1:" + std::to_string(port) + path + " HTTP/1.0\r\n\r\n";
    }
};

// Reads until the empty line that ends a header block, or the deadline.
std::string read_header_block(int fd, ms deadline) {
    std::string got;
    while (got.find("\r\n\r\n") == std::string::npos) {
        client_result_t r = read_until_close(fd, deadline, 1);
        if (r.bytes.empty()) break;
        got += r.bytes;
    }
    return got;
}

void reset_close(int fd) {
    struct linger lg = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
}

struct Stamp : ::testing::Test {
    running_t run{program_named("stampproxy")};
    origin_t &origin = run.origin;
    process_t &proxy = run.proxy;
    int idle_fds = -1;
    std::string port;  // the origin's, as the Host lines the proxy writes name it

    void SetUp() override {
        ASSERT_TRUE(start_running(run));
        port = std::to_string(origin.port);
        route("", http_response("default reply"));
        idle_fds = count_fds(proxy.pid);
    }
    void TearDown() override {
        EXPECT_TRUE(is_running(proxy));
        // Only standard output is written; a sanitizer report lands here.
        EXPECT_EQ(read_stderr(proxy), "");
    }

    std::string url(const std::string &path) const { return origin_url(run, path); }
    std::string get(const std::string &path, const std::string &headers = "") const {
        return get_request(run, path, headers);
    }
    void route(const std::string &path, const std::string &bytes,
               origin_end_t end = origin_end_t::CLOSE) {
        harness::route(run, path, bytes, end);
    }
    client_result_t ask(const std::string &request, const client_opts_t &opts = client_opts_t()) {
        return client_exchange(proxy.port, request, DEADLINE, opts);
    }
    // Waits until the console shows `count` exit blocks with this label.
    bool wait_label(const std::string &label, int count) {
        return wait_output(proxy, "\n" + label + "\n", DEADLINE, false, count);
    }
    std::string out() { return read_stdout(proxy); }

    // One request on the side: the proxy still serves a cached and a fresh
    // response correctly. Each waits for its connection's exit block.
    void expect_healthy() {
        static int fresh = 0;
        route("/ok", http_response("ok"));
        EXPECT_EQ(harness::ask(run, get("/ok")).bytes, http_response("ok"));
        std::string path = "/fresh" + std::to_string(fresh++);
        route(path, http_response(path));
        EXPECT_EQ(harness::ask(run, get(path)).bytes, http_response(path));
    }
};

// ---------------------------------------------------------------- parsing

TEST_F(Stamp, ParseExamplesReachTheOriginAsRewritten) {
    const std::string host = "127.0.0.1:" + std::to_string(origin.port);
    const long wrapped = origin.port + 65536L * 1525;  // above 99 999 999
    const long negative = origin.port - 65536L;
    const struct {
        const char *name;
        std::string line, upstream_line;
    } cases[] = {
        {"port, path and query", "GET http://" + host + "/a/b?c HTTP/1.1", "GET /a/b?c HTTP/1.0"},
        {"no path", "GET http://" + host + " HTTP/1.0", "GET / HTTP/1.0"},
        {"root path", "GET http://" + host + "/ HTTP/1.0", "GET / HTTP/1.0"},
        {"scheme not examined, method kept", "get ftp://" + host + "/x HTTP/1.0",
         "get /x HTTP/1.0"},
        {"port beyond 65535 wraps",
         "GET http://127.0.0.1:" + std::to_string(wrapped) + "/w HTTP/1.0", "GET /w HTTP/1.0"},
        {"negative port wraps", "GET http://127.0.0.1:" + std::to_string(negative) + "/n HTTP/1.0",
         "GET /n HTTP/1.0"},
    };
    size_t i = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ask(c.line + "\r\n\r\n").bytes, http_response("default reply"));
        ASSERT_TRUE(origin_wait_closed(origin, i + 1, DEADLINE));
        EXPECT_EQ(origin_request(origin, i), c.upstream_line + "\r\nHost: 127.0.0.1:" + port +
                                                 "\r\nConnection: close\r\n\r\n");
        i++;
    }
}

TEST_F(Stamp, UnresolvedHostsNameTheParsedHostAndCloseSilently) {
    SKIP_UNLESS_ISOLATED();
    const std::string long_name = "127.0.0." + std::string(980, '0') + "1";
    const struct {
        const char *name;
        std::string line, host;
        int code;
    } cases[] = {
        // Without a reachable name server (an isolated namespace) the
        // resolver says TRY_AGAIN (2) rather than HOST_NOT_FOUND (1).
        {"unknown name", "GET http://nosuchhost.invalid/a HTTP/1.0\r\n", "nosuchhost.invalid", 0},
        {"unknown name with port", "GET http://nosuchhost.invalid:8080/a HTTP/1.0\r\n",
         "nosuchhost.invalid", 0},
        {"answer beyond the 1024-byte work buffer", "GET http://" + long_name + "/ HTTP/1.0\r\n",
         long_name, -1},
    };
    int done = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        client_result_t r = ask(c.line + "\r\n");
        EXPECT_TRUE(r.eof);
        EXPECT_EQ(r.bytes, "");
        ASSERT_TRUE(wait_label("REGULAR_EXIT", ++done));
        auto line = [&](int code) {
            return "ERR did not resolve name " + c.host + " errno " + std::to_string(code) + " - " +
                   strerror(code) + "\n";
        };
        const std::string text = out();
        if (c.code != 0) {
            EXPECT_NE(text.find(line(c.code)), std::string::npos);
        } else {
            EXPECT_TRUE(text.find(line(1)) != std::string::npos ||
                        text.find(line(2)) != std::string::npos);
        }
    }
    EXPECT_EQ(origin_count(origin), 0u);
}

// ---------------------------------------------------------------- headers

TEST_F(Stamp, HeaderRewriteExampleByteForByte) {
    const std::string host = "127.0.0.1:" + std::to_string(origin.port);
    ask("GET http://" + host +
        "/index.html HTTP/1.1\r\n"
        "Host: " +
        host +
        "\r\n"
        "User-Agent: X\r\n"
        "Proxy-Connection: keep-alive\r\n"
        "Connection: keep-alive\r\n"
        "Keep-Alive: 300\r\n"
        "Accept: any\r\n"
        "\r\n");
    ASSERT_TRUE(origin_wait_closed(origin, 1, DEADLINE));
    EXPECT_EQ(origin_request(origin, 0),
              "GET /index.html HTTP/1.0\r\n"
              "Connection: close\r\n"
              "Host: " +
                  host +
                  "\r\n"
                  "User-Agent: X\r\n"
                  "Proxy-Connection: close\r\n"
                  "Accept: any\r\n"
                  "\r\n");
}

// Exactly one Host line goes upstream, and it names the URL's host and the
// port connected to: an origin builds its links and redirects from it, and
// answers another site for another name.
TEST_F(Stamp, HostAddedOnlyWhenAbsentAndHeaderNamesMatchedWithoutRegardToCase) {
    const std::string own = "Host: 127.0.0.1:" + port + "\r\n";
    const std::string other_port = std::to_string(origin.port + 1);
    const struct {
        const char *name;
        std::string headers, upstream_after_request_line;
    } cases[] = {
        {"no Host: added after the request line, with the URL's port", "Accept: a\r\n",
         own + "Connection: close\r\nAccept: a\r\n"},
        {"Host naming another host is replaced where it stood", "Accept: a\r\nHost: elsewhere\r\n",
         "Connection: close\r\nAccept: a\r\n" + own},
        {"lower-case host naming another host is replaced", "host: elsewhere\r\n",
         "Connection: close\r\n" + own},
        {"Host naming the URL's host and port kept byte for byte, case and blanks aside",
         "hOST:  127.0.0.1:" + port + " \r\nAccept: a\r\n",
         "Connection: close\r\nhOST:  127.0.0.1:" + port + " \r\nAccept: a\r\n"},
        {"Host naming the URL's host with another port is replaced",
         "Host: 127.0.0.1:" + other_port + "\r\n", "Connection: close\r\n" + own},
        {"Host without a port names port 80: replaced", "Host: 127.0.0.1\r\n",
         "Connection: close\r\n" + own},
        {"Host with an empty port is replaced", "Host: 127.0.0.1:\r\n",
         "Connection: close\r\n" + own},
        {"two Host lines naming the URL: the second is dropped", own + "Accept: a\r\n" + own,
         "Connection: close\r\n" + own + "Accept: a\r\n"},
        {"later Host lines are dropped whatever they name",
         "Host: elsewhere\r\nHost: 127.0.0.1.evil\r\nHost:\r\n", "Connection: close\r\n" + own},
        {"a port that is not digits names another host", "Host: 127.0.0.1:evil.example\r\n",
         "Connection: close\r\n" + own},
        {"lower-case connection is dropped", "connection: keep-alive\r\nKEEP-ALIVE: 300\r\n",
         own + "Connection: close\r\n"},
        {"any-case proxy-connection is replaced", "proxy-connection: keep-alive\r\n",
         own + "Connection: close\r\nProxy-Connection: close\r\n"},
        {"a header without a value is passed on", "Connection: \r\nKeep-Alive:\r\n",
         own + "Connection: close\r\nConnection: \r\nKeep-Alive:\r\n"},
        {"no blank needed after the colon", "Connection:close\r\nX-Connection: y\r\n",
         own + "Connection: close\r\nX-Connection: y\r\n"},
    };
    size_t i = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // A path of its own per case: a repeated request line is a hit.
        const std::string path = "/h" + std::to_string(i);
        EXPECT_EQ(ask(get(path, c.headers)).bytes, http_response("default reply"));
        ASSERT_TRUE(origin_wait_closed(origin, i + 1, DEADLINE));
        EXPECT_EQ(origin_request(origin, i),
                  "GET " + path + " HTTP/1.0\r\n" + c.upstream_after_request_line + "\r\n");
        i++;
    }
}

// Only a whole request line is acted on: a cut one would be fetched, and
// stored under its cut key, for every URL that shares its first 1023 bytes.
TEST_F(Stamp, RequestLineBeyond1023BytesIsRefusedBeforeLookup) {
    std::string prefix = "GET " + url("/");
    const std::string pad(1023 - prefix.size() - 11, 'p');
    const std::string fits = prefix + pad + " HTTP/1.0\r\n";
    ASSERT_EQ(fits.size(), 1023u);
    std::string path(1023 - prefix.size(), 'p');  // 1023 bytes without a line end
    const std::string refused = "ERR request line longer than 1023 bytes\n\n" + RULE +
                                "CLIENT_ERR_REQUEST\n" + RULE + "\n";
    for (const char *tail : {"1111 HTTP/1.0\r\n", "2222 HTTP/1.0\r\n"}) {
        SCOPED_TRACE(tail);
        size_t before = out().size();
        client_result_t r = ask(prefix + path + tail + "Accept: a\r\n\r\n");
        EXPECT_EQ(r.bytes, "");
        EXPECT_TRUE(r.eof);
        ASSERT_TRUE(wait_label("CLIENT_ERR_REQUEST", 2 + (tail[0] == '2')));
        EXPECT_TRUE(shape_match(out().substr(before),
                                RULE + "START-REQUEST <N>\n" + RULE + refused))
            << out().substr(before);
    }
    EXPECT_EQ(origin_count(origin), 0u);
    // A line of exactly 1023 bytes, line end included, is served.
    EXPECT_EQ(ask(fits + "\r\n").bytes, http_response("default reply"));
    ASSERT_TRUE(origin_wait_closed(origin, 1, DEADLINE));
    EXPECT_EQ(origin_request(origin, 0), "GET /" + pad + " HTTP/1.0\r\nHost: 127.0.0.1:" + port +
                                             "\r\nConnection: close\r\n\r\n");
}

// Header lines are judged whole, however many reads they take: a line end
// that comes as a read of its own is not the blank line.
TEST_F(Stamp, LongHeaderLineReachesOriginWhole) {
    const struct {
        const char *name;
        size_t value;
    } cases[] = {
        {"3000 bytes", 3000},
        {"CR LF as a read of its own (1023 * 2 bytes before it)", 2046 - 8},
        {"LF as a read of its own (CR the last byte of a read)", 1022 - 8},
    };
    size_t i = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "/long" + std::to_string(i);
        std::string header = "X-Long: " + std::string(c.value, 'h') + "\r\n";
        EXPECT_EQ(ask(get(path, header + "Accept: a\r\n")).bytes, http_response("default reply"));
        ASSERT_TRUE(origin_wait_closed(origin, i + 1, DEADLINE));
        EXPECT_EQ(origin_request(origin, i), "GET " + path +
                                                 " HTTP/1.0\r\nHost: 127.0.0.1:" + port +
                                                 "\r\nConnection: "
                                                 "close\r\n" +
                                                 header + "Accept: a\r\n\r\n");
        i++;
    }
}

// ---------------------------------------------------------------- relay and cache

TEST_F(Stamp, ExactlyMaxObjectIsCachedOneByteMoreRelayedInTwoChunks) {
    const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
    const std::string max = head + pattern_body(102400 - head.size(), 1);
    const std::string over = head + pattern_body(102401 - head.size(), 2);
    route("/max", max);
    route("/over", over);
    EXPECT_EQ(ask(get("/max")).bytes, max);
    EXPECT_EQ(ask(get("/max")).bytes, max);
    EXPECT_EQ(origin_count(origin), 1u);
    EXPECT_EQ(ask(get("/over")).bytes, over);
    EXPECT_EQ(ask(get("/over")).bytes, over);
    EXPECT_EQ(origin_count(origin), 3u);
    ASSERT_TRUE(wait_label("REGULAR_EXIT", 3));
    std::string text = out();
    EXPECT_EQ(occurrences(text, "Adding new entry !SIZE 102400 TIME "), 1);
    EXPECT_EQ(occurrences(text, "Adding new entry !"), 1);
    EXPECT_EQ(occurrences(text, "Server recieved 102400 bytes\nServer recieved 1 bytes\n"), 2);
}

TEST_F(Stamp, HitIsServedWithoutContactingOrigin) {
    const std::string body = http_response(pattern_body(5000), 404, "Not Found");
    route("/hit", body);  // a 404 is kept like a 200
    EXPECT_EQ(ask(get("/hit", "Accept: a\r\n")).bytes, body);
    EXPECT_EQ(ask(get("/hit", "Accept: something else\r\nHost: x\r\n")).bytes, body);
    ASSERT_TRUE(wait_label("CACHE_HIT_REQUEST", 1));
    EXPECT_EQ(origin_count(origin), 1u);
    EXPECT_NE(out().find("\tHIT!\tSize " + std::to_string(body.size()) + " Time "),
              std::string::npos);
}

TEST_F(Stamp, MissAndHitTranscriptsAreExact) {
    const std::string body = http_response("transcript");
    const std::string size = std::to_string(body.size());
    route("/t", body);
    const std::string line = "GET " + url("/t") + " HTTP/1.0\r\n";
    const std::string start = RULE + "START-REQUEST <N>\n" + RULE;
    size_t before = out().size();
    ask(line + "\r\n");
    ASSERT_TRUE(wait_label("REGULAR_EXIT", 1));
    std::string miss = out().substr(before);
    EXPECT_TRUE(shape_match(miss, start + "INPUT: " + line + "\n" + "REQ:\tGET /t HTTP/1.0\r\n" +
                                      "Server recieved " + size + " bytes\n" +
                                      "Adding new entry !SIZE " + size + " TIME <N>.<MS>" + "\n" +
                                      RULE + "REGULAR_EXIT\n" + RULE + "\n"))
        << miss;
    before = out().size();
    ask(line + "\r\n");
    ASSERT_TRUE(wait_label("CACHE_HIT_REQUEST", 1));
    std::string hit = out().substr(before);
    EXPECT_TRUE(shape_match(hit, start + "INPUT: " + line + "\n" + "\tHIT!\tSize " + size +
                                     " Time <N>.<MS>" + "\n" + RULE + "CACHE_HIT_REQUEST\n" + RULE +
                                     "\n"))
        << hit;
}

TEST_F(Stamp, EndOfStreamBeforeRequestLineClosesWithClientErrorOnly) {
    size_t before = out().size();
    client_opts_t opts;
    opts.shutdown_write = true;
    client_result_t r = ask("", opts);
    EXPECT_TRUE(r.eof);
    ASSERT_TRUE(wait_label("CLIENT_ERR_REQUEST", 2));
    EXPECT_TRUE(shape_match(out().substr(before), RULE + "START-REQUEST <N>\n" + RULE + "\n" +
                                                      RULE + "CLIENT_ERR_REQUEST\n" + RULE + "\n"));
}

TEST_F(Stamp, ResetBeforeRequestLineReportsReadFailure) {
    int fd = client_connect(proxy.port);
    ASSERT_GE(fd, 0);
    send_all(fd, "GET htt");
    reset_close(fd);
    ASSERT_TRUE(wait_label("CLIENT_ERR_REQUEST", 2));
    EXPECT_NE(out().find("ERR rio_readlineb from client failed errno 104 - " +
                         std::string(strerror(ECONNRESET)) + "\n"),
              std::string::npos);
    expect_healthy();
}

TEST_F(Stamp, TwoBrowsersFetchingSameLineAtOnceBothReachOrigin) {
    hand_origin_t hand;
    ASSERT_GE(hand.lfd, 0);
    const int lfd = hand.lfd;
    const std::string request = hand.get("/same");
    const std::string reply = "HTTP/1.0 200 OK\r\n\r\nsame body";
    int b1 = client_connect(proxy.port), b2 = client_connect(proxy.port);
    send_all(b1, request);
    send_all(b2, request);
    // The origin holds both answers until both requests are in: neither
    // browser can have been answered from the cache.
    int s1 = accept_within(lfd, DEADLINE), s2 = accept_within(lfd, DEADLINE);
    ASSERT_GE(s1, 0);
    ASSERT_GE(s2, 0);
    EXPECT_EQ(read_header_block(s1, DEADLINE), read_header_block(s2, DEADLINE));
    send_all(s1, reply);
    send_all(s2, reply);
    close(s1);
    close(s2);
    EXPECT_EQ(read_until_close(b1, DEADLINE).bytes, reply);
    EXPECT_EQ(read_until_close(b2, DEADLINE).bytes, reply);
    close(b1);
    close(b2);
    ASSERT_TRUE(wait_label("REGULAR_EXIT", 2));
    EXPECT_EQ(occurrences(out(), "Adding new entry !SIZE " + std::to_string(reply.size())), 2);
    // One entry stands: the third browser is answered without the origin.
    EXPECT_EQ(ask(request).bytes, reply);
    EXPECT_EQ(accept_within(lfd, ms(0)), -1);
}

TEST_F(Stamp, FullFirstChunkThenOriginResetIsNotCached) {
    hand_origin_t hand;
    ASSERT_GE(hand.lfd, 0);
    const int lfd = hand.lfd;
    const std::string request = hand.get("/full");
    const std::string chunk = pattern_body(102400, 3);
    int b = client_connect(proxy.port);
    send_all(b, request);
    int s = accept_within(lfd, DEADLINE);
    ASSERT_GE(s, 0);
    read_header_block(s, DEADLINE);
    send_all(s, chunk);
    // The proxy relayed the whole first chunk; only then does the origin fail.
    EXPECT_EQ(read_until_close(b, DEADLINE, chunk.size()).bytes, chunk);
    reset_close(s);
    EXPECT_TRUE(read_until_close(b, DEADLINE).eof);
    close(b);
    ASSERT_TRUE(wait_label("REGULAR_EXIT", 1));
    EXPECT_NE(out().find("Server recieved 102400 bytes\nERR reading from server errno 104 - "),
              std::string::npos);
    EXPECT_EQ(out().find("Adding new entry !"), std::string::npos);
    // A second request goes to the origin again.
    b = client_connect(proxy.port);
    send_all(b, request);
    s = accept_within(lfd, DEADLINE);
    EXPECT_GE(s, 0);
    if (s >= 0) close(s);
    close(b);
}

// ---------------------------------------------------------------- bad input

TEST_F(Stamp, BadInputGetsDefinedAnswerAndProcessStaysHealthy) {
    SKIP_UNLESS_ISOLATED();  // some rows make the proxy look up names
    enum answer_t { NOTHING, REPLY, CLOSED };
    const std::string NOT_ABSOLUTE = "ERR request line without an absolute URL\n\n" + RULE +
                                     "CLIENT_ERR_REQUEST\n";
    const std::string u = url("");
    // A second proxy, for a request that the first sends on to it: with a
    // target that holds this proxy's and the origin's addresses, each would
    // once have sent it on again.
    started_t other;
    process_t &second = other.p;
    ASSERT_TRUE(start_server(second, PROXY_BIN));
    const std::string own = "127.0.0.1:" + std::to_string(proxy.port);
    const std::string loop_target = "/a://" + own + "/a://127.0.0.1:" + port + "/loop";
    std::string many_lines, many_dropped;
    for (int i = 0; i < 100000; i++) many_lines += "X-H: v\r\n";
    for (int i = 0; i < 100000; i++) many_dropped += "Connection: x\r\n";
    const struct {
        const char *name;
        std::string bytes;
        answer_t answer;
        std::string console;   // a line the console must show
        std::string upstream;  // the exact request the origin must receive
    } cases[] = {
        {"empty line", "\r\n", NOTHING, NOT_ABSOLUTE, ""},
        {"line of spaces", "      \r\n\r\n", NOTHING, NOT_ABSOLUTE, ""},
        {"request line of 9000 bytes",
         "GET " + u + "/" + std::string(9000, 'a') + " HTTP/1.0\r\n\r\n", NOTHING,
         "ERR request line longer than 1023 bytes\n", ""},
        {"stream ends inside the request line", "GET " + u + "/cut HTTP/1.0", NOTHING,
         "ERR request line ended without a line end\n", ""},
        {"NUL in the method", std::string("G\0ET ", 5) + u + "/nul HTTP/1.0\r\n\r\n", NOTHING,
         "ERR request line ended without a line end\n", ""},
        {"bytes above 127 in URI, NUL in a header",
         "GET " + u + "/\xe9t\xe9 HTTP/1.0\r\n" + std::string("X-Bin: a\0b\xff\r\n\r\n", 15), REPLY,
         "",
         "GET /\xe9t\xe9 HTTP/1.0\r\nHost: 127.0.0.1:" + port +
             "\r\nConnection: close\r\n"
             "X-Bin: a b\xff\r\n\r\n"},
        {"stray CR and bare-LF line ends", "GET " + u + "/cr HTTP/1.0\r\nX-A: a\rb\r\r\nX-B: c\n\n",
         REPLY, "",
         "GET /cr HTTP/1.0\r\nHost: 127.0.0.1:" + port +
             "\r\nConnection: close\r\nX-A: a b \r\nX-B: "
             "c\r\n\r\n"},
        {"unfinished last header line dropped",
         "GET " + u + "/unfinished HTTP/1.0\r\nAccept: a\r\nX-A: partial", REPLY, "",
         "GET /unfinished HTTP/1.0\r\nHost: 127.0.0.1:" + port +
             "\r\nConnection: close\r\nAccept: "
             "a\r\n\r\n"},
        {"bare-LF blank line ends the block: nothing after it goes upstream",
         "GET " + u + "/smuggle HTTP/1.0\r\nAccept: a\r\n\nGET /other HTTP/1.0\r\n\r\n", REPLY, "",
         "GET /smuggle HTTP/1.0\r\nHost: 127.0.0.1:" + port +
             "\r\nConnection: close\r\nAccept: "
             "a\r\n\r\n"},
        {"URL naming the proxy itself",
         "GET http://127.0.0.1:" + std::to_string(proxy.port) + "/self HTTP/1.0\r\n\r\n", NOTHING,
         "Error connecting to server 127.0.0.1 errno 111 - " + std::string(strerror(ECONNREFUSED)) +
             "\n\n" + RULE + "REGULAR_EXIT\n",
         ""},
        {"URL naming the proxy on another loopback address",
         "GET http://127.0.0.2:" + std::to_string(proxy.port) + "/self HTTP/1.0\r\n\r\n", NOTHING,
         "Error connecting to server 127.0.0.2 errno 111 - ", ""},
        {"URI of only http://", "GET http:// HTTP/1.0\r\n\r\n", NOTHING, NOT_ABSOLUTE, ""},
        {"URI http:// ending the line", "GET http://\r\n\r\n", NOTHING, NOT_ABSOLUTE, ""},
        // Only absolute URLs are fetched: what a proxy sends upstream is in
        // origin form, so a proxy behind another never takes a host from it.
        {"origin-form target", "GET /index.html HTTP/1.0\r\n\r\n", NOTHING, NOT_ABSOLUTE, ""},
        {"origin-form target holding an absolute URL", "GET /" + u + "/x HTTP/1.0\r\n\r\n", NOTHING,
         NOT_ABSOLUTE, ""},
        {"origin-form target holding a scheme and ://",
         "GET /a://127.0.0.1:" + port + "/x HTTP/1.0\r\n\r\n", NOTHING, NOT_ABSOLUTE, ""},
        {"origin-form target holding host and port",
         "GET /XXXXXX127.0.0.1:" + port + "/x HTTP/1.0\r\n\r\n", NOTHING, NOT_ABSOLUTE, ""},
        {":// later in the word, after a byte no scheme has",
         "GET h_t://127.0.0.1:" + port + "/x HTTP/1.0\r\n\r\n", NOTHING, NOT_ABSOLUTE, ""},
        {"empty scheme", "GET ://127.0.0.1:" + port + "/x HTTP/1.0\r\n\r\n", NOTHING, NOT_ABSOLUTE,
         ""},
        {"two proxies pointed at each other: one hop, then refused",
         "GET http://127.0.0.1:" + std::to_string(second.port) + loop_target + " HTTP/1.0\r\n\r\n",
         NOTHING, "REQ:\tGET " + loop_target + " HTTP/1.0\r\n", ""},
        // What a browser sent is shown escaped on the console: a line stays
        // one line and never drives the operator's terminal.
        {"ESC and BEL in the path", "GET " + u + "/\x1b]0;owned\x07\x1b[2J HTTP/1.0\r\n\r\n", REPLY,
         "INPUT: GET " + u +
             "/\\x1b]0;owned\\x07\\x1b[2J HTTP/1.0\r\n\nREQ:\tGET /\\x1b]0;owned\\x07\\x1b[2J "
             "HTTP/1.0\r\n",
         "GET /\x1b]0;owned\x07\x1b[2J HTTP/1.0\r\nHost: 127.0.0.1:" + port +
             "\r\nConnection: close\r\n\r\n"},
        {"bare CR in the request line forges no console line",
         "GET " + u + "/forge HTTP/1.0\rERR forged line\r\n\r\n", REPLY,
         "INPUT: GET " + u + "/forge HTTP/1.0\\x0dERR forged line\r\n\n",
         "GET /forge HTTP/1.0\r\nHost: 127.0.0.1:" + port + "\r\nConnection: close\r\n\r\n"},
        {"tab and DEL in the request line", "GET\t" + u + "/del\x7f HTTP/1.0\r\n\r\n", REPLY,
         "INPUT: GET\\x09" + u + "/del\\x7f HTTP/1.0\r\n\nREQ:\tGET /del\\x7f HTTP/1.0\r\n",
         "GET /del\x7f HTTP/1.0\r\nHost: 127.0.0.1:" + port + "\r\nConnection: close\r\n\r\n"},
        {"ESC in a host name that does not resolve", "GET http://no\x1bhost/x HTTP/1.0\r\n\r\n",
         NOTHING, "ERR did not resolve name no\\x1bhost errno", ""},
        {"port 99999999", "GET http://127.0.0.1:99999999/big HTTP/1.0\r\n\r\n", CLOSED, "", ""},
        {"port -5", "GET http://127.0.0.1:-5/neg HTTP/1.0\r\n\r\n", CLOSED, "", ""},
        {"100 000 header lines", "GET " + u + "/many HTTP/1.0\r\n" + many_lines + "\r\n", NOTHING,
         "ERR request too large", ""},
        {"100 000 dropped header lines",
         "GET " + u + "/dropped HTTP/1.0\r\n" + many_dropped + "\r\n", REPLY, "",
         "GET /dropped HTTP/1.0\r\nHost: 127.0.0.1:" + port + "\r\nConnection: close\r\n\r\n"},
        {"header line of 50 000 bytes",
         "GET " + u + "/wide HTTP/1.0\r\nX-Wide: " + std::string(50000, 'w') + "\r\n\r\n", NOTHING,
         "ERR request too large", ""},
        // A bare "\n" line ends the header block; every line goes up with CR LF.
        {"bare newline endings",
         "GET " + u + "/bare HTTP/1.0\nHost: 127.0.0.1:" + port + "\n\nAccept: a\r\n\r\n", REPLY,
         "", "GET /bare HTTP/1.0\r\nConnection: close\r\nHost: 127.0.0.1:" + port + "\r\n\r\n"},
        {"request with a body",
         "POST " + u + "/body HTTP/1.0\r\nContent-Length: 9\r\n\r\nname=body", NOTHING,
         "INPUT: POST " + u + "/body HTTP/1.0\r\n\nERR request bodies are not forwarded\n\n" +
             RULE + "CLIENT_ERR_REQUEST\n",
         ""},
        {"chunked request body",
         "POST " + u +
             "/chunked HTTP/1.0\r\ntransfer-encoding: chunked\r\n\r\n4\r\nbody\r\n0\r\n\r\n",
         NOTHING, "/chunked HTTP/1.0\r\n\nERR request bodies are not forwarded\n", ""},
        {"a line folded onto Host",
         "GET " + u + "/fold HTTP/1.0\r\nHost: 127.0.0.1\r\n evil.example\r\n\r\n", NOTHING,
         "/fold HTTP/1.0\r\n\nERR folded header lines are not forwarded\n\n" + RULE +
             "CLIENT_ERR_REQUEST\n",
         ""},
        {"Content-Length of zero is no body",
         "POST " + u + "/zero HTTP/1.0\r\nContent-Length: 0\r\n\r\n", REPLY, "",
         "POST /zero HTTP/1.0\r\nHost: 127.0.0.1:" + port +
             "\r\nConnection: close\r\nContent-Length: "
             "0\r\n\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        size_t conns = origin_count(origin);
        // Rows may share a console line: this row's must be one more. Every
        // earlier connection has printed its exit block (each ask waits for
        // it), so none can land inside this row's lines.
        const int shown = c.console.empty() ? 0 : occurrences(out(), c.console);
        mark_console(run);
        client_opts_t opts;
        opts.shutdown_write = true;  // a header block left open ends at end of stream
        client_result_t r = harness::ask(run, c.bytes, opts);
        EXPECT_FALSE(r.timed_out);
        if (c.answer == NOTHING) {
            EXPECT_EQ(r.bytes, "");
            EXPECT_EQ(origin_count(origin), conns);
        } else if (c.answer == REPLY) {
            EXPECT_EQ(r.bytes, http_response("default reply"));
            EXPECT_TRUE(origin_wait_closed(origin, conns + 1, DEADLINE));
            if (!c.upstream.empty()) {
                EXPECT_EQ(origin_request(origin, conns), c.upstream);
            }
        }
        if (!c.console.empty()) {
            EXPECT_TRUE(wait_output(proxy, c.console, DEADLINE, false, shown + 1)) << out();
        }
        ASSERT_TRUE(is_running(proxy));
        expect_healthy();
    }
    EXPECT_TRUE(wait_fds(proxy.pid, idle_fds, DEADLINE)) << "descriptors leaked";
    // The second proxy refused what the first sent it and sent nothing on.
    EXPECT_TRUE(wait_output(second, NOT_ABSOLUTE, DEADLINE));
    const std::string second_out = read_stdout(second);
    EXPECT_EQ(occurrences(second_out, "INPUT: "), 0) << second_out;
    EXPECT_EQ(occurrences(second_out, "REQ:"), 0) << second_out;
    EXPECT_TRUE(is_running(second));
}

}  // namespace
