// slotproxy as a whole program over loopback against the scripted origin:
// exact upstream bytes, exact browser bytes, the 501 page, what is stored
// and replayed, and console lines. What it shares with the other programs
// is in programs_e2e_test.cpp.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "programs.h"

namespace {

using namespace harness;

const ms WAIT(5000);

struct SlotProxy : ::testing::Test {
    running_t run{program_named("slotproxy")};
    origin_t &origin = run.origin;
    process_t &proxy = run.proxy;

    void SetUp() override {
        ASSERT_TRUE(start_running(run));
        harness::route(run, "", http_response("default body\n"));
    }
    void TearDown() override { expect_no_sanitizer_report(proxy); }

    std::string base() { return "http://127.0.0.1:" + std::to_string(origin.port); }
    std::string url(const std::string &path) { return base() + path; }

    void route(const std::string &path, const std::string &bytes) { harness::route(run, path, bytes); }

    // One request line with a typical header block after it.
    client_result_t ask(const std::string &line) {
        return client_exchange(proxy.port, line + "\r\nHost: x\r\nUser-Agent: t\r\n\r\n", WAIT);
    }
    client_result_t get(const std::string &path) { return ask("GET " + url(path) + " HTTP/1.0"); }

    // The whole request the origin's i-th connection received, once the
    // proxy has closed that connection.
    std::string upstream(size_t i) {
        EXPECT_TRUE(origin_wait_closed(origin, i + 1, WAIT));
        return origin_request(origin, i);
    }
};

std::string host_line(const std::string &host) { return "Host: " + host + "\r\n\r\n"; }

std::string page_501(const std::string &escaped_method) {
    std::string body =
        "<html><title>Proxy Error</title><body bgcolor=ffffff>\r\n"
        "501: Not Implemented\r\n"
        "<p>Method not supported: " +
        escaped_method +
        "\r\n"
        "<hr><em>Dovrane's Proxy Server</em>\r\n";
    return "HTTP/1.0 501 Not Implemented\r\nContent-type: text/html\r\nContent-length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Request lines that reach the origin, and exactly what it receives. The
// Host line names the port the proxy connects to, as an origin needs to
// build links and redirects that lead back to it.
TEST_F(SlotProxy, SendsOnlyRequestLineAndHost) {
    const std::string port = std::to_string(origin.port);
    const std::string host = host_line("127.0.0.1:" + port);
    struct {
        const char *name;
        std::string request;  // sent as is, then a header block
        std::string upstream;
    } cases[] = {
        {"path, query and HTTP/1.1", "GET " + url("/a/b?x=1") + " HTTP/1.1\r\n",
         "GET /a/b?x=1 HTTP/1.0\r\n" + host},
        {"lower-case method sent as GET", "get " + url("/") + " HTTP/1.0\r\n",
         "GET / HTTP/1.0\r\n" + host},
        {"mixed-case method sent as GET", "GeT " + url("/m") + " HTTP/1.0\r\n",
         "GET /m HTTP/1.0\r\n" + host},
        {"host name, with its port", "GET http://localhost:" + port + "/l HTTP/1.0\r\n",
         "GET /l HTTP/1.0\r\n" + host_line("localhost:" + port)},
        {"port above 65535: Host names the port connected",
         "GET http://127.0.0.1:" + std::to_string(origin.port + 65536 * 1525) + "/big HTTP/1.0\r\n",
         "GET /big HTTP/1.0\r\n" + host},
        {"negative port wraps, Host names the port connected",
         "GET http://127.0.0.1:" + std::to_string(origin.port - 65536) + "/neg HTTP/1.0\r\n",
         "GET /neg HTTP/1.0\r\n" + host},
        {"port with leading zeros written in decimal",
         "GET http://127.0.0.1:00" + port + "/zero HTTP/1.0\r\n", "GET /zero HTTP/1.0\r\n" + host},
        {"bare newline ending", "GET " + url("/n") + " HTTP/1.0\n", "GET /n HTTP/1.0\r\n" + host},
        {"no version", "GET " + url("/v") + "\r\n", "GET /v HTTP/1.0\r\n" + host},
        {"tabs between fields", "GET\t" + url("/t") + "\tHTTP/1.0\r\n",
         "GET /t HTTP/1.0\r\n" + host},
        {"more slashes stay in the path", "GET " + url("//d//e/") + " HTTP/1.0\r\n",
         "GET //d//e/ HTTP/1.0\r\n" + host},
    };
    size_t i = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        client_result_t r = client_exchange(
            proxy.port,
            c.request + "Host: elsewhere\r\nCookie: a=b\r\nConnection: keep-alive\r\n\r\n", WAIT);
        EXPECT_TRUE(r.eof);
        EXPECT_EQ(r.bytes, http_response("default body\n"));
        EXPECT_EQ(upstream(i), c.upstream);
        i++;
    }
    EXPECT_EQ(origin_count(origin), i);
}

TEST_F(SlotProxy, UriWithoutPathIsSentWithSlash) {
    client_result_t r = ask("GET " + base() + " HTTP/1.0");
    EXPECT_EQ(r.bytes, http_response("default body\n"));
    EXPECT_EQ(upstream(0),
              "GET / HTTP/1.0\r\n" + host_line("127.0.0.1:" + std::to_string(origin.port)));
}

// The TCP connections of this network namespace (any state but LISTEN) with
// port `port` at one end, as "local-remote" pairs from /proc/net/tcp.
std::set<std::string> connections_at(int port) {
    std::set<std::string> found;
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);
    while (std::getline(tcp, line)) {
        std::istringstream s(line);
        std::string slot, local, remote, state;
        s >> slot >> local >> remote >> state;
        if (state == "0A") continue;
        auto port_of = [](const std::string &a) {
            return (int)strtol(a.substr(a.find(':') + 1).c_str(), nullptr, 16);
        };
        if (port_of(local) == port || port_of(remote) == port) found.insert(local + "-" + remote);
    }
    return found;
}

// Request lines that never reach an origin: the browser gets nothing and the
// proxy says "invalid host" on standard output. A URL naming the proxy's own
// port is refused before connecting: the only connections at that port are
// the browsers'.
TEST_F(SlotProxy, UnreachableOriginsGetNoResponseAndInvalidHost) {
    refused_port_t refused;
    ASSERT_GT(refused.port, 0);
    const std::string closed_port = std::to_string(refused.port);
    const std::string own = std::to_string(proxy.port);
    const std::set<std::string> before = connections_at(proxy.port);
    std::set<std::string> browsers;
    struct {
        const char *name;
        std::string line;
    } cases[] = {
        {"upper-case scheme: host HTTP, port 0",
         "GET HTTP://127.0.0.1:" + std::to_string(origin.port) + "/ HTTP/1.0"},
        {"no scheme: the path is the host", "GET /index.html HTTP/1.0"},
        {"the scheme alone", "GET http:// HTTP/1.0"},
        {"nothing listening", "GET http://127.0.0.1:" + closed_port + "/ HTTP/1.0"},
        {"port 0", "GET http://127.0.0.1:0/ HTTP/1.0"},
        {"empty host", "GET http:///x HTTP/1.0"},
        {"the proxy itself", "GET http://127.0.0.1:" + own + "/x HTTP/1.0"},
        {"the proxy itself by name", "GET http://localhost:" + own + "/x HTTP/1.0"},
        {"the proxy itself on any address", "GET http://0.0.0.0:" + own + "/x HTTP/1.0"},
        {"the proxy itself, nested", "GET http://127.0.0.1:" + own + "/http://127.0.0.1:" + own +
                                         "/" + url("/x") + " HTTP/1.0"},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int fd = client_connect(proxy.port);
        ASSERT_GE(fd, 0);
        struct sockaddr_in mine;
        socklen_t len = sizeof mine;
        ASSERT_EQ(getsockname(fd, (struct sockaddr *)&mine, &len), 0);
        ASSERT_TRUE(send_all(fd, c.line + "\r\nHost: x\r\n\r\n"));
        client_result_t r = read_until_close(fd, WAIT);
        close(fd);
        browsers.insert(std::to_string(ntohs(mine.sin_port)));
        EXPECT_TRUE(r.eof);
        EXPECT_EQ(r.bytes, "");
        n++;
        EXPECT_TRUE(wait_output(proxy, "invalid host\n", WAIT, false, n));
    }
    for (const std::string &c : connections_at(proxy.port)) {
        if (before.count(c) != 0) continue;
        // Ports in /proc are four hex digits; the browser's end is the one
        // that is not the proxy's.
        int a = (int)strtol(c.substr(c.find(':') + 1, 4).c_str(), nullptr, 16);
        int b = (int)strtol(c.substr(c.rfind(':') + 1, 4).c_str(), nullptr, 16);
        int other = a == proxy.port ? b : a;
        EXPECT_EQ(browsers.count(std::to_string(other)), 1u)
            << "a connection the proxy made: " << c;
    }
    EXPECT_EQ(read_stdout(proxy), [&] {
        std::string s;
        for (int k = 0; k < n; k++) s += "invalid host\n";
        return s;
    }());
    EXPECT_EQ(origin_count(origin), 0u);
    EXPECT_EQ(read_stderr(proxy), "");
}

TEST_F(SlotProxy, UriWithoutPortGoesToPort80) {
    int probe = client_connect(80);
    if (probe >= 0) {
        close(probe);
        GTEST_SKIP() << "something listens on port 80 here";
    }
    client_result_t r = ask("GET http://127.0.0.1/ HTTP/1.0");
    EXPECT_EQ(r.bytes, "");
    EXPECT_TRUE(wait_output(proxy, "invalid host\n", WAIT));
}

// Only a GET is answered from the cache: another method gets the 501 page
// also when its URI is stored, since the stored answer is a GET's.
TEST_F(SlotProxy, OtherMethodsGetThe501PageAndNothingGoesUpstream) {
    route("/stored", http_response("stored body"));
    EXPECT_EQ(get("/stored").bytes, http_response("stored body"));
    ASSERT_TRUE(origin_wait_closed(origin, 1, WAIT));
    struct {
        const char *name;
        std::string method;
        std::string path;
        std::string shown;
    } cases[] = {
        {"POST", "POST", "/form", "POST"},
        {"HEAD", "HEAD", "/form", "HEAD"},
        {"bytes above 127 pass as they are", "G\xc3\xa9T", "/form", "G\xc3\xa9T"},
        {"GET with a suffix", "GETX", "/form", "GETX"},
        {"POST on a stored URI", "POST", "/stored", "POST"},
        {"HEAD on a stored URI", "HEAD", "/stored", "HEAD"},
        {"lower-case post on a stored URI", "post", "/stored", "post"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        client_result_t r = client_exchange(
            proxy.port, c.method + " " + url(c.path) + " HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc",
            WAIT);
        EXPECT_TRUE(r.eof);
        EXPECT_EQ(r.bytes, page_501(c.shown));
    }
    // The entry is still there for a GET, in any letter case.
    EXPECT_EQ(ask("gEt " + url("/stored") + " HTTP/1.0").bytes, http_response("stored body"));
    EXPECT_EQ(origin_count(origin), 1u);
}

TEST_F(SlotProxy, ErrorPageEscapesMethodForHtml) {
    client_result_t r = ask("<a&\"'b> " + url("/x") + " HTTP/1.0");
    EXPECT_EQ(r.bytes, page_501("&lt;a&amp;&quot;&#39;b&gt;"));
    // The exact length of the escaped body, counted by hand.
    EXPECT_NE(r.bytes.find("Content-length: 167\r\n"), std::string::npos);
}

TEST_F(SlotProxy, RepeatedUriIsAnsweredFromCacheWithoutOrigin) {
    const std::string reply = http_response(pattern_body(20000));
    route("/r", reply);
    client_result_t first = get("/r");
    ASSERT_TRUE(origin_wait_closed(origin, 1, WAIT));
    client_result_t second = get("/r");
    client_result_t third = ask("GET " + url("/r") + " HTTP/1.1");
    EXPECT_EQ(first.bytes, reply);
    EXPECT_EQ(second.bytes, reply);
    EXPECT_EQ(third.bytes, reply);
    EXPECT_EQ(origin_count(origin), 1u);
}

TEST_F(SlotProxy, OriginSplittingItsWritesIsRelayedWhole) {
    origin_reply_t r;
    r.bytes = http_response(pattern_body(30000, 7) + "tail without newline");
    r.pieces = {1, 2, 3, 100, 5000, 7};
    r.pause_ms = 5;
    origin_route(origin, "/split", r);
    EXPECT_EQ(get("/split").bytes, r.bytes);
    EXPECT_EQ(get("/split").bytes, r.bytes);
    EXPECT_EQ(origin_count(origin), 1u);
}

// A header block and lines of at most 8191 bytes whose total is `before`,
// then a last run of `last` bytes with no newline.
std::string response_of(size_t before, size_t last) {
    std::string s = "HTTP/1.0 200 OK\r\n\r\n";
    while (s.size() < before) {
        size_t n = std::min<size_t>(4096, before - s.size());
        s += std::string(n - 1, 'a' + (char)(s.size() / 4096 % 26)) + "\n";
    }
    return s + std::string(last, 'z');
}

// A response is stored exactly when the bytes before its last line are under
// 94208; 102398 bytes is the most that can be.
TEST_F(SlotProxy, StoringBoundary) {
    struct {
        const char *name;
        size_t before, last;
        bool stored;
    } cases[] = {
        {"94208 bytes in all", 94208 - 100, 100, true},
        {"one short line after 94207", 94207, 1, true},
        {"102398 bytes, the largest", 94207, 8191, true},
        {"94208 before a one-byte line", 94208, 1, false},
        {"102399 bytes, last run split by the line limit", 94207, 8192, false},
        {"a large response", 300000, 10, false},
        {"tiny", 19, 5, true},
    };
    size_t conns = 0;
    int k = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "/size" + std::to_string(k++);
        const std::string reply = response_of(c.before, c.last);
        route(path, reply);
        client_result_t a = get(path);
        ASSERT_TRUE(origin_wait_closed(origin, ++conns, WAIT));
        client_result_t b = get(path);
        EXPECT_EQ(a.bytes.size(), reply.size());
        EXPECT_TRUE(a.bytes == reply);
        EXPECT_TRUE(b.bytes == reply);
        if (!c.stored) {
            ASSERT_TRUE(origin_wait_closed(origin, ++conns, WAIT));
        }
        EXPECT_EQ(origin_count(origin), conns);
    }
}

TEST_F(SlotProxy, DifferentSpellingsOfOneObjectAreDifferentEntries) {
    const std::string port = std::to_string(origin.port);
    route("/x", http_response("x"));
    route("/X", http_response("X"));
    const std::string uris[] = {
        "http://127.0.0.1:" + port + "/x",  "http://localhost:" + port + "/x",
        "http://LOCALHOST:" + port + "/x",  "http://127.0.0.1:" + port + "/X",
        "http://127.0.0.1:" + port + "/x?",
    };
    size_t n = 0;
    for (const std::string &u : uris) {
        SCOPED_TRACE(u);
        EXPECT_FALSE(ask("GET " + u + " HTTP/1.0").bytes.empty());
        EXPECT_TRUE(origin_wait_closed(origin, ++n, WAIT));
    }
    for (const std::string &u : uris) EXPECT_FALSE(ask("GET " + u + " HTTP/1.0").bytes.empty());
    EXPECT_EQ(origin_count(origin), n);
    EXPECT_EQ(upstream(2), "GET /x HTTP/1.0\r\n" + host_line("LOCALHOST:" + port));
}

TEST_F(SlotProxy, ClosesEveryConnectionAfterOneRequest) {
    int fd = client_connect(proxy.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, "GET " + url("/k") + " HTTP/1.1\r\nConnection: keep-alive\r\n\r\n" +
                                 "GET " + url("/k2") + " HTTP/1.1\r\n\r\n"));
    client_result_t r = read_until_close(fd, WAIT);
    close(fd);
    EXPECT_TRUE(r.eof);
    EXPECT_EQ(r.bytes, http_response("default body\n"));
    EXPECT_EQ(origin_count(origin), 1u);
}

}  // namespace
