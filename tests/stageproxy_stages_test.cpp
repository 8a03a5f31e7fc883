// stageproxy's pipeline stages in-process, over socket pairs: the request
// line's words, the URL taken apart, the upstream request line (also from a
// request line at the read limit), and the header block relayed with its
// rewrites by header name. The program's source is compiled in with its main
// renamed, so the stages are the program's own.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#define main stageproxyMain
#include "proxy.cpp"
#undef main

#include "robix_test_support.h"

namespace {

using robix_test::captured_stdout;
using robix_test::read_to_end;
using robix_test::socket_pair_t;

// What sendInitialRequest(path) sends upstream; what it prints goes to
// *console.
std::string sentLine(const char *path, std::string *console) {
    socket_pair_t out;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(sendInitialRequest(out.fd[0], path), 1);
    *console = captured_stdout();
    shutdown(out.fd[0], SHUT_WR);
    return read_to_end(out.fd[1]);
}

// Feeds `input` as a browser that then ends its stream.
struct browserFeed {
    socket_pair_t pair;
    rio_t rio;
    explicit browserFeed(const std::string &input) {
        EXPECT_TRUE(harness::send_all(pair.fd[0], input));
        shutdown(pair.fd[0], SHUT_WR);
        rio_readinitb(&rio, pair.fd[1]);
    }
};

// ---------------------------------------------------------------- request line

TEST(StageValidate, TakesUrlWordAndAcceptsGetInAnyCase) {
    const struct {
        const char *name;
        std::string line;
        int result;
        std::string url;
        std::string err;
    } cases[] = {
        {"absolute GET", "GET http://h/a HTTP/1.0\r\n", 1, "http://h/a", ""},
        {"lower case get", "get http://h/a HTTP/1.1\r\n", 1, "http://h/a", ""},
        {"tabs and extra blanks", "  GeT\thttp://h/b \t HTTP/1.0  \r\n", 1, "http://h/b", ""},
        {"method only: no absolute URL", "GET\r\n", 0, "", ""},
        {"scheme in any case", "GET HtTp://h/e HTTP/1.0\r\n", 1, "HtTp://h/e", ""},
        {"origin-form target", "GET /a HTTP/1.0\r\n", 0, "", ""},
        {"origin form naming a URL", "GET /http://127.0.0.1:8080/x HTTP/1.0\r\n", 0, "", ""},
        {"origin form with a host past seven bytes", "GET /XXXXXX127.0.0.1:8080/x HTTP/1.0\r\n",
         0, "", ""},
        {"another scheme", "GET a://127.0.0.1:8080/x HTTP/1.0\r\n", 0, "", ""},
        {"http:// later in the word", "GET x-http://h/x HTTP/1.0\r\n", 0, "", ""},
        {"http:/ alone", "GET http:/ HTTP/1.0\r\n", 0, "", ""},
        {"version never examined", "GET http://h/c SMTP/9\r\n", 1, "http://h/c", ""},
        {"words end at a NUL", std::string("GET http://h\0/d HTTP/1.0\r\n", 26), 1, "http://h", ""},
        {"POST refused", "POST http://h/a HTTP/1.0\r\n", 0, "", "Error: Must be GET request.\n"},
        {"GETS refused", "GETS http://h/a HTTP/1.0\r\n", 0, "", "Error: Must be GET request.\n"},
        {"empty line", "\r\n", 0, "", "Error: Must be GET request.\n"},
        {"line of spaces", "     \r\n", 0, "", "Error: Must be GET request.\n"},
        {"stream ends at once", "", 0, "", "Error: Must be GET request.\n"},
        {"stream ends inside the line", "GET http://h/a HTTP/1.0", 0, "", ""},
        {"line end beyond one read", "GET http://h/" + std::string(9000, 'a') + " HTTP/1.0\r\n", 0,
         "", ""},
        {"CR is the 8191st byte", "GET http://h/" + std::string(8168, 'a') + " HTTP/1.0\r\n", 0,
         "", ""},
        {"longest line that fits", "GET http://h/" + std::string(8167, 'a') + " HTTP/1.0\r\n", 1,
         "http://h/" + std::string(8167, 'a'), ""},
    };
    verbosity = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        browserFeed feed(c.line);
        char url[MAXLINE] = "unchanged";
        ::testing::internal::CaptureStderr();
        int result = validateRequest(&feed.rio, url);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(result, c.result);
        if (c.result == 1) {
            EXPECT_EQ(std::string(url), c.url);
        }
    }
}

TEST(StageValidate, ReceivedRequestLineByLevel) {
    const struct {
        int level;
        std::string out;
        std::string line = "get http://h/ HTTP/1.0\r\n";
    } cases[] = {
        {0, ""},
        {1, "Received Request\n"},
        {2, "\n\nReceived Request: get http://h/ HTTP/1.0\r\n\n"},
        // What the browser sent is never a terminal command nor a second
        // line: control bytes and DEL are written as \xHH, the line end stays.
        {2, "\n\nReceived Request: get http://h/\\x1b]0;t\\x07\\x1b[2J\\x7f HTTP/1.0\r\n\n",
         "get http://h/\x1b]0;t\x07\x1b[2J\x7f HTTP/1.0\r\n"},
        {2, "\n\nReceived Request: get http://h/ HTTP/1.0\\x0dERR forged line\n\n",
         "get http://h/ HTTP/1.0\rERR forged line\n"},
        {2, "\n\nReceived Request: get\\x09http://h/ HTTP/1.0\n\n", "get\thttp://h/ HTTP/1.0\n"},
        {1, "Received Request\n", "get http://h/\x1b[2J HTTP/1.0\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        verbosity = c.level;
        browserFeed feed(c.line + "Host: h\r\n\r\n");
        char url[MAXLINE];
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(validateRequest(&feed.rio, url), 1);
        EXPECT_EQ(captured_stdout(), c.out);
    }
    verbosity = 0;
}

// ---------------------------------------------------------------- URL

TEST(StageParseUrl, SplitsHostPortAndPath) {
    const struct {
        const char *url;
        int result;
        const char *domain;
        int port;
        const char *path;
        const char *out;  // at level 1
    } cases[] = {
        {"http://host/a/b?q=1", 1, "host", 80, "/a/b?q=1", ""},
        {"http://host", 1, "host", 80, "/", ""},
        {"http://host:81/x", 1, "host", 81, "/x", "Custom Port Detected: 81\n"},
        {"http://host:81", 1, "host", 81, "/", "Custom Port Detected: 81\n"},
        {"http://host:/x", 1, "host", 0, "/x", "Custom Port Detected: 0\n"},
        {"http:///x", 1, "", 80, "/x", ""},
        {"http://", 1, "", 80, "/", ""},
        {"http://host/a:8/b#f", 1, "host", 80, "/a:8/b#f", ""},
        {"http://host:99999999/x", 1, "host", 99999999, "/x", "Custom Port Detected: 99999999\n"},
        {"http://host:-5", 1, "host", -5, "/", "Custom Port Detected: -5\n"},
        {"ftp://hostname/x", 1, "ostname", 80, "/x", ""},
        {"http:/", 0, "", 80, "", "Error: URL too short.\n"},
        {"", 0, "", 80, "", "Error: URL too short.\n"},
    };
    verbosity = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url);
        char domain[MAXLINE] = "", path[MAXLINE] = "";
        int port = -1;
        ::testing::internal::CaptureStdout();
        int result = parseUrl(c.url, domain, path, &port);
        EXPECT_EQ(captured_stdout(), c.out);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(port, c.port);
        if (result == 1) {
            EXPECT_STREQ(domain, c.domain);
            EXPECT_STREQ(path, c.path);
        }
    }
    verbosity = 0;
}

// ---------------------------------------------------------------- upstream request line

TEST(StageSendInitialRequest, AlwaysGetPathAndHttp10) {
    verbosity = 1;
    std::string console;
    EXPECT_EQ(sentLine("/a/b?q=1", &console), "GET /a/b?q=1 HTTP/1.0\r\n");
    EXPECT_EQ(console, "Forwarding Request: GET /a/b?q=1 HTTP/1.0\r\n\n");
    // The path's control bytes are shown escaped, and sent as they are.
    EXPECT_EQ(sentLine("/\x1b[2J\x07\x7f", &console), "GET /\x1b[2J\x07\x7f HTTP/1.0\r\n");
    EXPECT_EQ(console, "Forwarding Request: GET /\\x1b[2J\\x07\\x7f HTTP/1.0\r\n\n");
    verbosity = 0;
}

// The longest request line that fits one read gives a path of 8168
// characters: the upstream line is 8183 bytes.
TEST(StageSendInitialRequest, RequestLineNearReadLimitDoesNotOverrun) {
    verbosity = 0;
    std::string line = "GET http://a/" + std::string(8167, 'p') + " HTTP/1.0\r\n";
    ASSERT_EQ(line.size(), 8191u);
    browserFeed feed(line);
    char url[MAXLINE], domain[MAXLINE], path[MAXLINE];
    int port;
    ASSERT_EQ(validateRequest(&feed.rio, url), 1);
    ASSERT_EQ(strlen(url), 8176u);
    ASSERT_EQ(parseUrl(url, domain, path, &port), 1);
    EXPECT_STREQ(domain, "a");
    ASSERT_EQ(strlen(path), 8168u);
    std::string console;
    EXPECT_EQ(sentLine(path, &console), "GET /" + std::string(8167, 'p') + " HTTP/1.0\r\n");
    // The longest path any URL can give fits as well.
    std::string longest = "/" + std::string(MAXLINE - 2, 'q');
    EXPECT_EQ(sentLine(longest.c_str(), &console), "GET " + longest + " HTTP/1.0\r\n");
}

// ---------------------------------------------------------------- header block

struct relayCase {
    const char *name;
    std::string in;        // what the browser sends after the request line
    std::string upstream;  // what the server must get
    int result;
    bool body = false;  // refused for announcing a body
    int port = 80;      // the URL's port: http://h/ or http://h:port/
    bool requestPrivate = false;  // the answer is this browser's own
};

// A block without a Host line of its own, which goes up whole behind the one
// the URL gives.
relayCase passes(const char *name, const std::string &in, bool requestPrivate = false) {
    return {name, in, "Host: h\r\n" + in, 1, false, 80, requestPrivate};
}

void runRelayCases(const std::vector<relayCase> &cases) {
    verbosity = 0;
    for (const relayCase &c : cases) {
        SCOPED_TRACE(c.name);
        browserFeed feed(c.in);
        socket_pair_t out;
        ::testing::internal::CaptureStdout();
        bool body = !c.body, requestPrivate = !c.requestPrivate;
        char hostPort[MAXLINE + 8];
        upstreamHost("h", c.port, hostPort);
        int result =
            passToServer(&feed.rio, out.fd[0], "h", c.port, hostPort, &body, &requestPrivate);
        EXPECT_EQ(captured_stdout(), "");
        shutdown(out.fd[0], SHUT_WR);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(body, c.body);
        EXPECT_EQ(requestPrivate, c.requestPrivate);
        EXPECT_EQ(read_to_end(out.fd[1]), c.upstream);
    }
}

TEST(StagePassToServer, RewritesConnectionHeaderByName) {
    runRelayCases({
        {"other lines pass", "Host: h\r\nUser-Agent: u\r\nCookie: c=1\r\n\r\n",
         "Host: h\r\nUser-Agent: u\r\nCookie: c=1\r\n\r\n", 1},
        {"Connection replaced", "Host: h\r\nConnection: keep-alive\r\n\r\n",
         "Host: h\r\nConnection: close\r\n\r\n", 1},
        {"Connection: Keep-Alive replaced, not dropped", "Connection: Keep-Alive\r\n\r\n",
         "Host: h\r\nConnection: close\r\n\r\n", 1},
        {"Keep-Alive dropped", "Keep-Alive: 300\r\nHost: h\r\n\r\n", "Host: h\r\n\r\n", 1},
        {"Proxy-Connection replaced", "Proxy-Connection: keep-alive\r\n\r\n",
         "Host: h\r\nProxy-Connection: close\r\n\r\n", 1},
        {"names in any case", "proxy-CONNECTION: x\r\nCONNECTION: y\r\nkeep-alive: 1\r\n\r\n",
         "Host: h\r\nProxy-Connection: close\r\nConnection: close\r\n\r\n", 1},
        {"no blank after the colon", "Connection:close\r\n\r\n",
         "Host: h\r\nConnection: close\r\n\r\n", 1},
        passes("similar names pass",
               "X-Connection: a\r\nConnection-Id: b\r\nKeep-Alives: c\r\n\r\n"),
        {"no connection line added", "Host: h\r\n\r\n", "Host: h\r\n\r\n", 1},
        // Lines that make the answer this browser's own pass unchanged, and
        // say so.
        {"Authorization", "Host: h\r\nAuthorization: Basic YTpi\r\n\r\n",
         "Host: h\r\nAuthorization: Basic YTpi\r\n\r\n", 1, false, 80, true},
        passes("Proxy-Authorization, blank before the colon", "proxy-authorization : x\r\n\r\n",
               true),
        passes("Cache-Control no-store", "Cache-Control: max-age=0, NO-STORE\r\n\r\n", true),
        {"Authorization with a NUL before the colon, sent as a blank",
         std::string("Authorization\0: x\r\n\r\n", 21), "Host: h\r\nAuthorization : x\r\n\r\n",
         1, false, 80, true},
        {"Authorization with a stray CR before the colon", "Authorization\r: x\r\n\r\n",
         "Host: h\r\nAuthorization : x\r\n\r\n", 1, false, 80, true},
        passes("Cache-Control no-cache does not", "Cache-Control: no-cache\r\n\r\n"),
        passes("Cookie does not", "Cookie: a=1\r\n\r\n"),
    });
}

TEST(StagePassToServer, KeepsCookieAndRefererHoldingHeaderWords) {
    runRelayCases({
        passes("cookie value", "Cookie: mode=Keep-Alive; Connection=1\r\n\r\n"),
        passes("referer URL", "Referer: http://x/Proxy-Connection/Connection\r\n\r\n"),
    });
}

TEST(StagePassToServer, BlockEndsAtFirstBlankLineJudgedPerLine) {
    runRelayCases({
        {"blank line at once", "\r\nafter\r\n", "Host: h\r\n\r\n", 1},
        {"only the block is relayed", "Host: h\r\n\r\nBODY", "Host: h\r\n\r\n", 1},
        {"a stray CR is a space and ends nothing", "Host: h\r\nX: a\rb\nAfter: 1\r\n",
         "Host: h\r\nX: a b\r\nAfter: 1\r\n", 0},
        {"a line led by a stray CR would go up folded: refused",
         "X: a\n\rend\nAfter: 1\r\n\r\n", "", 0, true},
        {"a line led by a blank is folded: refused", "Host: h\r\n evil\r\n\r\n", "", 0, true},
        {"bare LF line ends become CR LF", "X: a\nHost: h\n\n", "X: a\r\nHost: h\r\n\r\n", 1},
        {"a bare LF blank line ends the block; nothing after it goes",
         "X: a\r\n\nGET /other HTTP/1.0\r\n\r\n", "Host: h\r\nX: a\r\n\r\n", 1},
        {"NUL becomes a space", std::string("X: a\0b\r\n\r\n", 11), "Host: h\r\nX: a b\r\n\r\n",
         1},
        {"a CR before the CR LF", "X: a\r\r\n\r\n", "Host: h\r\nX: a \r\n\r\n", 1},
    });
}

// Exactly one Host line goes upstream, naming the URL's host and the port
// connected (none for 80): the browser's stays where it stood when it names
// both, is replaced there when it names another host or port, and any later
// one is dropped; without one, the URL's goes first.
TEST(StagePassToServer, OneHostLineNamingTheUrlsHostAndPort) {
    runRelayCases({
        {"the URL's host and port stay byte for byte", "Host:  H:8080 \r\nX: 1\r\n\r\n",
         "Host:  H:8080 \r\nX: 1\r\n\r\n", 1, false, 8080},
        {"another host replaced where it stood", "A: 1\r\nHost: other.example\r\nB: 2\r\n\r\n",
         "A: 1\r\nHost: h:8080\r\nB: 2\r\n\r\n", 1, false, 8080},
        {"another port replaced", "Host: h:6666\r\n\r\n", "Host: h:8080\r\n\r\n", 1, false, 8080},
        {"no port on a URL with one replaced", "Host: h\r\n\r\n", "Host: h:8080\r\n\r\n", 1,
         false, 8080},
        {"a port on a URL without one replaced", "Host: h:8080\r\n\r\n", "Host: h\r\n\r\n", 1},
        {"port 80 named on a URL without one stays", "Host: h:80\r\n\r\n", "Host: h:80\r\n\r\n",
         1},
        {"an empty port replaced", "Host: h:\r\n\r\n", "Host: h\r\n\r\n", 1},
        {"a second Host line dropped", "Host: h:8080\r\nhost: evil:8080\r\nX: 1\r\n\r\n",
         "Host: h:8080\r\nX: 1\r\n\r\n", 1, false, 8080},
        {"a second Host after a replaced one dropped", "Host: evil\r\nHost: h\r\n\r\n",
         "Host: h\r\n\r\n", 1},
        {"a longer name is another host", "Host: hh\r\n\r\n", "Host: h:8080\r\n\r\n", 1, false,
         8080},
        {"a Host line longer than one read replaced whole",
         "Host: " + std::string(9000, 'x') + "\r\n\r\n", "Host: h:8080\r\n\r\n", 1, false, 8080},
        {"none sent: the URL's goes first", "X: 1\r\n\r\n", "Host: h:8080\r\nX: 1\r\n\r\n", 1,
         false, 8080},
        {"the port as connected: its low 16 bits", "X: 1\r\n\r\n", "Host: h:464\r\nX: 1\r\n\r\n",
         1, false, 66000},
        {"none sent, the stream ends: the lines held never go", "X: 1\r\n", "", 0, false, 8080},
    });
}

TEST(StagePassToServer, BodyAnnouncedRefusedBeforeBlockEnd) {
    runRelayCases({
        // The lines that came with the refused one in the same read are
        // held back with it.
        {"Content-Length", "Host: h\r\nContent-Length: 11\r\n\r\nhello world", "", 0, true},
        {"Transfer-Encoding", "transfer-encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", "",
         0, true},
        {"Content-Length not a number", "Content-Length: x\r\n\r\n", "", 0, true},
        passes("Content-Length 0 passes", "Content-Length: 0\r\n\r\n"),
        passes("Content-Length 00 passes", "Content-length:00 \r\n\r\n"),
    });
}

TEST(StagePassToServer, BrowserEndOfStreamBeforeHeaderEndFailsStage) {
    runRelayCases({
        {"stream ends mid-block", "Host: h\r\nAccept: */*\r\n", "Host: h\r\nAccept: */*\r\n", 0},
        {"unfinished header line", "Host: h\r\nX-A: partial", "Host: h\r\nX-A: partial", 0},
        {"nothing at all", "", "", 0},
    });
}

TEST(StagePassToServer, LongLinesRelayedWholeAndJudgedByFirstRead) {
    const std::string longValue(20000, 'v');
    // The second read of this line begins exactly with "Connection:".
    const std::string pad = "X-Pad: " + std::string(8191 - 7, 'p');
    runRelayCases({
        passes("long header passes whole", "X-Long: " + longValue + "\r\n\r\n"),
        {"long Connection line replaced whole", "Connection: " + longValue + "\r\nHost: h\r\n\r\n",
         "Connection: close\r\nHost: h\r\n\r\n", 1},
        {"long Keep-Alive line dropped whole", "Keep-Alive: " + longValue + "\r\n\r\n",
         "Host: h\r\n\r\n", 1},
        passes("a later read of a line is not judged", pad + "Connection: x\r\n\r\n"),
        {"the next line is judged again", "X-Long: " + longValue + "\r\nKeep-Alive: 1\r\n\r\n",
         "Host: h\r\nX-Long: " + longValue + "\r\n\r\n", 1},
        // The line's CR is the 8191st byte of its first read: its LF, read
        // alone, is not a blank line, and the real blank line is seen.
        {"CR as the 8191st byte", "X-Pad: " + std::string(8183, 'p') + "\r\n\r\nAfter: 1\r\n",
         "Host: h\r\nX-Pad: " + std::string(8183, 'p') + "\r\n\r\n", 1},
        {"CR as the 8191st byte of a dropped line",
         "Keep-Alive: " + std::string(8178, 'v') + "\r\n\r\n", "Host: h\r\n\r\n", 1},
        {"a CR split from its line's end", "X-Pad: " + std::string(8183, 'p') + "\rq\r\n\r\n",
         "Host: h\r\nX-Pad: " + std::string(8183, 'p') + " q\r\n\r\n", 1},
        // Lines held for want of a Host outgrow the batch: the URL's goes
        // first, before them, and the browser's later one is dropped.
        {"held lines outgrow the batch", "X-A: " + longValue + "\r\nHost: evil\r\n\r\n",
         "Host: h\r\nX-A: " + longValue + "\r\n\r\n", 1},
        // Its rest, unseen, may say no-store.
        passes("a Cache-Control longer than one read", "Cache-Control: " + longValue + "\r\n\r\n",
               true),
    });
}

}  // namespace
