// The shared-cache storing rule, one row per way a response may be kept or
// refused. Each row is judged as the programs judge it: the whole response
// as it came, and whether the request was the browser's own.
#include <gtest/gtest.h>

#include <string>

#include "cacheable.h"

namespace {

struct row_t {
    const char *name;
    std::string response;
    bool stored;
    bool request_private = false;  // the request was the browser's own
};

std::string ok(const std::string &headers, const std::string &body = "hi") {
    return "HTTP/1.1 200 OK\r\n" + headers + "\r\n" + body;
}

const std::string DATE = "Date: Tue, 08 Dec 2026 10:00:00 GMT\r\n";

TEST(ResponseCacheable, StoresOnlyWhatAnyBrowserMayGet) {
    const row_t rows[] = {
        // Status codes a cache may reuse unasked, and the moments it may not.
        {"200", ok(""), true},
        {"200 without a reason", "HTTP/1.0 200\r\n\r\nx", true},
        {"200 with LF line ends", "HTTP/1.0 200 OK\nServer: x\n\nbody", true},
        {"203", "HTTP/1.1 203 Non-Authoritative\r\n\r\n", true},
        {"204", "HTTP/1.1 204 No Content\r\n\r\n", true},
        {"300", "HTTP/1.1 300 Multiple\r\n\r\n", true},
        {"301", "HTTP/1.1 301 Moved\r\nLocation: /b\r\n\r\n", true},
        {"308", "HTTP/1.1 308 Permanent\r\nLocation: /b\r\n\r\n", true},
        {"404", "HTTP/1.1 404 Not Found\r\n\r\nno", true},
        {"405", "HTTP/1.1 405 Not Allowed\r\n\r\n", true},
        {"410", "HTTP/1.1 410 Gone\r\n\r\n", true},
        {"414", "HTTP/1.1 414 URI Too Long\r\n\r\n", true},
        {"501", "HTTP/1.1 501 Not Implemented\r\n\r\n", true},
        {"100 interim first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\nx", false},
        {"103 interim first", "HTTP/1.1 103 Early Hints\r\n\r\nHTTP/1.1 200 OK\r\n\r\nx", false},
        {"206", "HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-1/9\r\n\r\nab", false},
        {"302", "HTTP/1.1 302 Found\r\nLocation: /login\r\n\r\n", false},
        {"303", "HTTP/1.1 303 See Other\r\n\r\n", false},
        {"304", "HTTP/1.1 304 Not Modified\r\n\r\n", false},
        {"307", "HTTP/1.1 307 Temporary\r\n\r\n", false},
        {"400", "HTTP/1.1 400 Bad Request\r\n\r\n", false},
        {"401", "HTTP/1.1 401 Unauthorized\r\n\r\n", false},
        {"403", "HTTP/1.1 403 Forbidden\r\n\r\n", false},
        {"407", "HTTP/1.1 407 Proxy Auth\r\n\r\n", false},
        {"412", "HTTP/1.1 412 Precondition\r\n\r\n", false},
        {"416", "HTTP/1.1 416 Range\r\n\r\n", false},
        {"500", "HTTP/1.1 500 Error\r\n\r\n", false},
        {"503", "HTTP/1.1 503 Unavailable\r\n\r\n", false},
        // The status line, read exactly from the first byte.
        {"junk before the status line", "\r\nHTTP/1.1 200 OK\r\n\r\nx", false},
        {"tab after the version", "HTTP/1.1\t200 OK\r\n\r\nx", false},
        {"lower-case version", "http/1.1 200 OK\r\n\r\nx", false},
        {"two spaces", "HTTP/1.1  200 OK\r\n\r\nx", false},
        {"four digits", "HTTP/1.1 2000 OK\r\n\r\nx", false},
        {"two-digit version", "HTTP/10.1 200 OK\r\n\r\nx", false},
        {"NUL in the status line", std::string("HTTP/1.1 200 O\0K\r\n\r\nx", 22), false},
        {"bare CR in the status line", "HTTP/1.1 200 O\rK\r\n\r\nx", false},
        {"no line end at all", "HTTP/1.1 200 OK", false},
        {"block never ends", "HTTP/1.1 200 OK\r\nServer: x\r\n", false},
        {"empty", "", false},
        // The header block's shape.
        {"line without a colon", ok("Server x\r\n"), false},
        {"line with an empty name", ok(": x\r\n"), false},
        {"folded line", ok("X-A: 1\r\n continued\r\n"), false},
        {"folded with a tab", ok("X-A: 1\r\n\tcontinued\r\n"), false},
        {"NUL in a header line", ok(std::string("X-A: \0\r\n", 8)), false},
        {"bare CR in a header line", ok("X-A: a\rb\r\n"), false},
        {"blanks before the colon", ok("Server  : x\r\n"), true},
        {"NUL in the body only", ok("", std::string("a\0b", 3)), true},
        // What the answer says of itself.
        {"Set-Cookie", ok("Set-Cookie: id=1\r\n"), false},
        {"set-cookie lower case", ok("set-cookie: id=1\r\n"), false},
        {"Set-Cookie blank before colon", ok("SET-COOKIE : id=1\r\n"), false},
        {"Set-Cookie2", ok("Set-Cookie2: id=1\r\n"), false},
        {"Transfer-Encoding", ok("Transfer-Encoding: chunked\r\n", "2\r\nhi\r\n"), false},
        {"Content-Encoding gzip", ok("Content-Encoding: gzip\r\n"), false},
        {"Content-Encoding identity", ok("Content-Encoding: IDENTITY\r\n"), true},
        {"Content-Encoding empty", ok("Content-Encoding:\r\n"), true},
        {"Content-Encoding identity list", ok("Content-Encoding: identity, identity\r\n"), true},
        {"Content-Encoding with gzip in a list", ok("Content-Encoding: identity, gzip\r\n"), false},
        {"Vary Accept-Encoding", ok("Vary: accept-encoding\r\n"), true},
        {"Vary empty", ok("Vary:\r\n"), true},
        {"Vary star", ok("Vary: *\r\n"), false},
        {"Vary Cookie", ok("Vary: Cookie\r\n"), false},
        {"Vary list with another name", ok("Vary: Accept-Encoding, User-Agent\r\n"), false},
        {"Vary repeated, second restricts", ok("Vary: Accept-Encoding\r\nVary: Origin\r\n"), false},
        {"Cache-Control public", ok("Cache-Control: public, max-age=60\r\n"), true},
        {"Cache-Control no-store", ok("Cache-Control: no-store\r\n"), false},
        {"Cache-Control private", ok("cache-control: PRIVATE\r\n"), false},
        {"Cache-Control private with fields", ok("Cache-Control: private=\"Set-Cookie\"\r\n"),
         false},
        {"Cache-Control no-cache", ok("Cache-Control: public,no-cache\r\n"), false},
        {"Cache-Control no-cache with fields", ok("Cache-Control: no-cache=\"a, b\"\r\n"), false},
        {"Cache-Control no-cache-x is another directive", ok("Cache-Control: no-cache-x\r\n"),
         true},
        {"quoted comma hides no directive", ok("Cache-Control: x=\"a,no-store\"\r\n"), true},
        {"Cache-Control max-age=0", ok("Cache-Control: max-age=0\r\n"), false},
        {"Cache-Control s-maxage=0", ok("Cache-Control: s-maxage=00\r\n"), false},
        {"Cache-Control max-age not a number", ok("Cache-Control: max-age=soon\r\n"), false},
        {"Cache-Control repeated, second forbids",
         ok("Cache-Control: max-age=60\r\nCache-Control: no-store\r\n"), false},
        {"Pragma no-cache", ok("Pragma: no-cache\r\n"), false},
        {"Pragma other", ok("Pragma: x-other\r\n"), true},
        // Expires against Date, unless a lifetime is given.
        {"Expires later than Date", ok(DATE + "Expires: Tue, 08 Dec 2026 11:00:00 GMT\r\n"), true},
        {"Expires equal to Date", ok(DATE + "Expires: Tue, 08 Dec 2026 10:00:00 GMT\r\n"), false},
        {"Expires in the past", ok(DATE + "Expires: Thu, 01 Jan 1970 00:00:00 GMT\r\n"), false},
        {"Expires 0", ok(DATE + "Expires: 0\r\n"), false},
        {"Expires -1", ok(DATE + "Expires: -1\r\n"), false},
        {"Expires without a Date", ok("Expires: Tue, 08 Dec 2026 11:00:00 GMT\r\n"), false},
        {"Expires in the RFC 850 form", ok(DATE + "Expires: Tuesday, 08-Dec-26 11:00:00 GMT\r\n"),
         true},
        {"Expires in the asctime form", ok(DATE + "Expires: Tue Dec  8 11:00:00 2026\r\n"), true},
        {"Expires 0 with a max-age", ok(DATE + "Expires: 0\r\nCache-Control: max-age=60\r\n"),
         true},
        {"Expires 0 with an s-maxage", ok("Expires: 0\r\nCache-Control: s-maxage=5\r\n"), true},
        {"Expires repeated, one in the past",
         ok(DATE + "Expires: Tue, 08 Dec 2026 11:00:00 GMT\r\nExpires: 0\r\n"), false},
        // The request's own.
        {"request with credentials", ok(""), false, true},
    };
    for (const row_t &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.stored, response_cacheable(row.response.data(), row.response.size(),
                                                 row.request_private));
    }
}

TEST(RequestLinePrivate, CredentialsAndNoStoreMakeTheAnswerTheBrowsersOwn) {
    const struct {
        std::string line;
        bool is_private;
    } rows[] = {
        {std::string("Authorization\0: x\r\n", 19), true},
        {"Authorization\r : x\r\n", true},
        {std::string("Cache-Control: no-store\0\r\n", 26), true},
        {"Authorization: Basic YWxpY2U6c2VjcmV0\r\n", true},
        {"authorization: Bearer x", true},
        {"AUTHORIZATION : Basic x\r\n", true},
        {"Proxy-Authorization: Basic x\r\n", true},
        {"Cache-Control: no-store\r\n", true},
        {"cache-control: max-age=0, NO-STORE\n", true},
        {"Cache-Control: no-cache\r\n", false},
        {"Cache-Control: no-store-x\r\n", false},
        {"X-Authorization: x\r\n", false},
        {"Authorization-X: x\r\n", false},
        {"Cookie: a=1\r\n", false},
        {"Accept: */*\r\n", false},
        {"no colon at all\r\n", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(row.is_private, request_line_private(row.line.data(), row.line.size()));
    }
}

}  // namespace
