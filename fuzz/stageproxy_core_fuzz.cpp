// Fuzzes stageproxy's request decisions in process (stageproxy/request.cpp),
// through the real line reader, checking invariants rather than a model:
// the same browser bytes and the same response bytes are delivered under
// many splits into reads (allSplitsFor), all of them for a stream of up to
// 2 KB and, to keep executions cheap, whole and others that byte 0 picks for a
// longer one (two for a request, one for a response); the response is also
// fed to the copy in the split's pieces directly.
// For every split
//   - what goes upstream is one well-formed request (or, after a refusal, a
//     part of one that never reaches its blank line): "GET /<path>
//     HTTP/1.0" CR LF, header lines each ending CR LF, no NUL, no CR but
//     before LF, and a blank line last with nothing after it;
//   - the key is the whole URL word of a request line the browser ended,
//     never a cut of it, and starts with http:// in any case; every Host
//     line sent names the URL's host and the port connected, and a relayed
//     request has exactly one, right after the request line when the
//     browser's block held none;
//   - every split gives the same outcome, key and upstream bytes, and a
//     browser that ended its header block is never left waiting for it;
//   - the response's storing decision is the same for every split, and
//     never "store" for an empty response, a 206 or a 304, one whose header
//     block never ended, any cut of a response that declares its length,
//     or anything the shared-cache rule (response_cacheable) refuses, given
//     whether the request's header lines made it the browser's own.
// The stages of handleRequest are replayed in its order: the request line
// (judgeRequestLine), the URL (splitUrl, upstreamHost), the request line sent
// (initialRequest), then relayHeaderRead for each read until the block ends,
// a body is announced or the stream ends, with the URL's Host line put after
// the request line as passToServer does when none was relayed by the end of
// the block or before the lines held for it outgrew its write batch.
//
// Input: byte 0 seeds the random split; the rest is the browser's bytes,
// then, after the first 0xFE outside a run, the origin's response. In both,
// the run 0xFF k c stands for (k + 1) * 32 copies of c, so short inputs reach
// the read limits and the largest stored response. FUZZ_TRACE=1 in the
// environment prints each input's outcome and storing decision.
//
// A refusal cannot store: only cacheAndRespond stores, and
// handleRequest reaches it only after passToServer relayed the whole block.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "report.h"
#include "../stageproxy/request.h"
#include "c_text.h"
#include "cacheable.h"
#include "robix.h"

namespace {

constexpr int FUZZ_FD = 1000;  // never a real descriptor in this process
constexpr size_t MAX_BROWSER_BYTES = 40000;
constexpr size_t MAX_RESPONSE_BYTES = MAX_OBJECT_SIZE + 4096;
constexpr size_t BYTEWISE_LIMIT = 256;     // streams read one byte at a time up to this size
constexpr size_t ALL_SPLITS_LIMIT = 2048;  // streams read under every split up to this size

// How the bytes of one stream are cut into reads.
enum splitKind { SPLIT_WHOLE, SPLIT_ONCE, SPLIT_EVERY, SPLIT_RANDOM };
struct split_t {
    splitKind kind;
    size_t at;  // SPLIT_ONCE: the cut; SPLIT_EVERY: the period
};

struct script_t {
    const char *data = nullptr;
    size_t size = 0, pos = 0;
    split_t split = {SPLIT_WHOLE, 0};
    uint32_t rng = 0;
};

script_t script;
uint8_t seed = 0;
const bool trace = getenv("FUZZ_TRACE") != nullptr;

std::string splitName(const split_t &s) {
    static const char *const names[] = {"whole", "once at", "every", "random"};
    return std::string(names[s.kind]) + " " + std::to_string(s.at);
}

// The bytes of the read that ends the current split's next piece.
size_t nextPiece(size_t n) {
    size_t left = script.size - script.pos, k = left;
    switch (script.split.kind) {
        case SPLIT_WHOLE:
            break;
        case SPLIT_ONCE:
            if (script.pos < script.split.at) k = script.split.at - script.pos;
            break;
        case SPLIT_EVERY:
            k = script.split.at - script.pos % script.split.at;
            break;
        case SPLIT_RANDOM:
            script.rng = script.rng * 1103515245u + 12345u;
            // Mostly short reads, sometimes long ones.
            k = (script.rng >> 16) % 8 == 0 ? 1 + (script.rng >> 8) % 9000 : 1 + (script.rng >> 16) % 64;
            break;
    }
    if (k > left) k = left;
    if (k > n) k = n;
    return k;
}

void startScript(const char *bytes, size_t size, const split_t &split) {
    script.data = bytes;
    script.size = size;
    script.pos = 0;
    script.split = split;
    script.rng = 0x9e3779b9u ^ seed;
}

// Every split a stream of size bytes is read under, whole first.
std::vector<split_t> allSplitsFor(size_t size) {
    std::vector<split_t> splits = {{SPLIT_WHOLE, 0}};
    if (size <= BYTEWISE_LIMIT) splits.push_back({SPLIT_EVERY, 1});
    for (size_t at : {1022, 1023, 1024, 8190, 8191, 8192}) {
        if (at < size) splits.push_back({SPLIT_ONCE, at});
    }
    for (size_t every : {1023, 8191}) {
        if (every < size) splits.push_back({SPLIT_EVERY, every});
    }
    splits.push_back({SPLIT_RANDOM, seed});
    return splits;
}

// The splits a stream is read under: all of them for a short stream; for a
// long one, whole and two others that the seed picks, so that an execution
// stays cheap and every split is still tried across executions.
std::vector<split_t> splitsFor(size_t size) {
    std::vector<split_t> all = allSplitsFor(size);
    if (size <= ALL_SPLITS_LIMIT || all.size() <= 3) return all;
    size_t others = all.size() - 1;
    size_t a = 1 + seed % others, b = 1 + (seed / others + 1 + seed % others) % others;
    std::vector<split_t> some = {all[0], all[a]};
    if (b != a) some.push_back(all[b]);
    return some;
}

// ---------------------------------------------------------------- the request side

enum outcome_t {
    LINE_REFUSED,  // not a whole GET line: nothing looked up, nothing sent
    URL_REFUSED,   // a URL too short: nothing sent
    BODY_REFUSED,  // a body announced: the block's end never sent
    STREAM_ENDED,  // the browser's stream ended inside the block
    RELAYED,       // the whole request went upstream
};
const char *const OUTCOME_NAMES[] = {"line refused", "url refused", "body refused",
                                     "stream ended", "relayed"};

struct request_t {
    outcome_t outcome = LINE_REFUSED;
    std::string key, domain, hostPort, upstream;
    int port = 80;                // as connected
    bool requestPrivate = false;  // the answer is the browser's own
    bool hostSentByBrowser = false;
};

// A line from the scripted reads, which never fail.
ssize_t readLine(rio_t *rio, char *buffer) {
    ssize_t length = rio_readlineb(rio, buffer, MAXLINE);
    if (length < 0) fuzz_fail("the scripted line reader failed");
    return length;
}

// An outcome, and what it took and sent, for a failure's report.
std::string describe(const request_t &r) {
    return std::string(OUTCOME_NAMES[r.outcome]) + ", key " + escaped(r.key) + ", upstream " +
           escaped(r.upstream);
}

// passToServer's write batch: the lines held for want of a Host line never
// outgrow it.
constexpr int BATCH_BYTES = RIO_BUFSIZE + HEADER_OUT_SIZE;

// One browser connection's request as handleRequest's stages take it, in r
// (whose strings keep their memory from one run to the next).
void runRequest(const std::string &bytes, const split_t &split, request_t &r) {
    startScript(bytes.data(), bytes.size(), split);
    static rio_t browser;
    rio_readinitb(&browser, FUZZ_FD);
    r.outcome = LINE_REFUSED;
    r.key.clear();
    r.domain.clear();
    r.hostPort.clear();
    r.upstream.clear();
    r.requestPrivate = false;
    r.hostSentByBrowser = false;
    static char buffer[MAXLINE + 1], url[MAXLINE], domain[MAXLINE], path[MAXLINE],
        hostPort[MAXLINE], request[REQUEST_SIZE], out[HEADER_OUT_SIZE];

    ssize_t length = readLine(&browser, buffer);
    buffer[length] = '\0';
    if (judgeRequestLine(buffer, (int)length, url) != REQUEST_GET) return;
    r.key = url;
    int port;
    bool customPort;
    r.outcome = URL_REFUSED;
    if (!splitUrl(url, domain, path, &port, &customPort)) return;
    upstreamHost(domain, port, hostPort);
    r.port = connectedPort(port);
    r.domain = domain;
    r.hostPort = hostPort;
    int requestLength = initialRequest(path, request);
    if (requestLength < 0) fuzz_fail("the request line did not fit", escaped(path));
    r.upstream.assign(request, (size_t)requestLength);

    headerRelay relay;
    relay.domain = domain;
    relay.port = r.port;
    relay.hostPort = hostPort;
    int held = 0;  // bytes after the request line while no Host went
    for (;;) {
        length = readLine(&browser, buffer);
        if (length == 0) {
            r.outcome = STREAM_ENDED;
            return;
        }
        int outLength = -1;
        headerVerdict verdict = relayHeaderRead(&relay, buffer, (int)length, out, &outLength);
        if (outLength < 0 || outLength > HEADER_OUT_SIZE) fuzz_fail("a header read's output overran");
        if (verdict == HEADER_BODY) {
            if (outLength != 0) fuzz_fail("a body's announcement sent bytes");
            r.outcome = BODY_REFUSED;
            return;
        }
        r.requestPrivate = relay.requestPrivate;
        if (!relay.hostSent && (verdict == HEADER_END || held + outLength > BATCH_BYTES)) {
            relay.hostSent = true;
            static char host[HEADER_OUT_SIZE];
            int hostLength = addedHostLine(hostPort, host);
            if (hostLength <= 0) fuzz_fail("the added Host line did not fit", escaped(hostPort));
            r.upstream.insert((size_t)requestLength, host, (size_t)hostLength);
        } else if (relay.hostSent && held >= 0) {
            r.hostSentByBrowser = true;
        }
        if (relay.hostSent) {
            held = -1;
        } else {
            held += outLength;
        }
        r.upstream.append(out, (size_t)outLength);
        if (verdict == HEADER_END) {
            r.outcome = RELAYED;
            return;
        }
    }
}

// The second word of the browser's first line, when it ended that line: the
// line taken as text (up to a NUL), words between blanks.
bool urlWordSent(const std::string &bytes, std::string *word) {
    size_t nl = bytes.find('\n');
    if (nl == std::string::npos) return false;
    std::vector<std::string> w = c_words(c_string(bytes.substr(0, nl + 1)));
    *word = w.size() > 1 ? w[1] : std::string();
    return true;
}

bool namedCaseless(const std::string &line, const char *name) {
    size_t n = strlen(name);
    return line.size() > n && line[n] == ':' && strncasecmp(line.data(), name, n) == 0;
}

void checkRequest(const std::string &bytes, const request_t &r, const split_t &split) {
    // Only a failure spells out the bytes.
    auto where = [&]() { return splitName(split) + ", " + describe(r) + "\nbrowser " + escaped(bytes); };
    // Nothing goes upstream before the request line was whole and the URL usable.
    if ((r.outcome == LINE_REFUSED || r.outcome == URL_REFUSED) != r.upstream.empty())
        fuzz_fail("bytes went upstream for a refused request line, or none for a usable one", where());
    if (r.outcome != LINE_REFUSED) {
        std::string word;
        if (!urlWordSent(bytes, &word)) fuzz_fail("a key was taken from an unfinished line", where());
        if (word != r.key) fuzz_fail("the key is not the URL the browser sent", where() + "\nkey " + escaped(r.key));
        // An origin-form target would be fetched again by a proxy that
        // forwards to this one: only an absolute URL is.
        if (strncasecmp(r.key.c_str(), "http://", 7) != 0)
            fuzz_fail("a URL that is not absolute was taken", where());
    }
    // A browser that ended its header block (a line that is empty, CR LF or
    // LF alone, after the request line) is never left waiting for it.
    if (r.outcome == STREAM_ENDED) {
        for (size_t at = bytes.find('\n'); at != std::string::npos; at = bytes.find('\n', at + 1)) {
            if (bytes.compare(at + 1, 1, "\n") == 0 || bytes.compare(at + 1, 2, "\r\n") == 0)
                fuzz_fail("the header block's end went unnoticed", where());
        }
    }
    if (r.upstream.empty()) return;

    // The request line: GET, a path without blanks that starts with '/'.
    const std::string &up = r.upstream;
    if (const char *fault = crlf_fault(up)) fuzz_fail(fault, where());
    size_t nl = up.find('\n');
    if (nl == std::string::npos) fuzz_fail("the request line never ended", where());
    const std::string first = up.substr(0, nl + 1), tail = " HTTP/1.0\r\n";
    if (first.compare(0, 5, "GET /") != 0 || first.size() < 5 + tail.size() ||
        first.compare(first.size() - tail.size(), tail.size(), tail) != 0)
        fuzz_fail("the request line is malformed", where());
    for (size_t i = 4; i < first.size() - tail.size(); i++) {
        if (first[i] == '\0' || c_space((unsigned char)first[i]))
            fuzz_fail("the request line's path holds a blank or NUL", where());
    }
    // Nothing but the URL's own tail is asked for.
    const std::string path = first.substr(4, first.size() - tail.size() - 4);
    if (path != "/" && (r.key.size() < path.size() ||
                        r.key.compare(r.key.size() - path.size(), path.size(), path) != 0))
        fuzz_fail("the path asked for is not the URL's", where());

    // The header lines.
    bool ended = false;
    int hosts = 0;
    for (size_t at = nl + 1; at < up.size();) {
        if (ended) fuzz_fail("bytes follow the blank line upstream", where());
        size_t end = up.find('\n', at);
        std::string line = up.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
        at += line.size();
        bool whole = end != std::string::npos;
        if (!whole && r.outcome != STREAM_ENDED) fuzz_fail("a header line went upstream unfinished", where());
        if (line == "\r\n") {
            ended = true;
            continue;
        }
        size_t blanks = 4;
        while (blanks < line.size() && c_blank(line[blanks])) blanks++;
        if (line.size() > 4 && strncasecmp(line.data(), "host", 4) == 0 &&
            (blanks == line.size() || line[blanks] == ':')) {
            hosts++;
            if (!whole) continue;  // a stream that ended inside it
            // The host, and the port after a colon (none is 80).
            std::string value = header_value(line, blanks);
            size_t colon = value.find_last_of(':');
            std::string host = value, digits = "80";
            if (colon != std::string::npos) {
                host = value.substr(0, colon);
                digits = value.substr(colon + 1);
            }
            const bool numeric = all_digits(digits) && digits.size() <= 9;
            if (value != r.hostPort &&
                !(same_caseless(host, r.domain) && numeric && std::stoi(digits) == r.port))
                fuzz_fail("a Host line upstream names another host or port than the URL's",
                          where());
        }
    }
    if (r.outcome == RELAYED) {
        if (hosts != 1) fuzz_fail("a relayed request has not exactly one Host line", where());
        if (!r.hostSentByBrowser &&
            up.compare(nl + 1, 6 + r.hostPort.size() + 2, "Host: " + r.hostPort + "\r\n") != 0)
            fuzz_fail("the URL's Host line does not follow the request line", where());
    }
    if (ended != (r.outcome == RELAYED))
        fuzz_fail(ended ? "a refused request reached its blank line upstream"
                   : "a relayed request has no blank line upstream",
             where());
}

// ---------------------------------------------------------------- the response side

responseCopy copy;  // 100 KB: not on the fuzzer's stack
bool requestPrivate = false;  // the request's header lines made the answer its own

// Collects a response as cacheAndRespond does, read through the line reader,
// or (direct) in the split's pieces as they come, and checks that the copy
// kept is the response itself (or, past the largest size, nothing). The
// storing decision then depends on the bytes alone; it is judged (returned)
// when judge is set, else -1.
int decide(const char *bytes, size_t size, const split_t &split, bool direct, bool judge) {
    copy.total = 0;
    copy.tooLarge = false;
    startScript(bytes, size, split);
    if (direct) {
        while (script.pos < script.size) {
            size_t k = nextPiece(SIZE_MAX);
            responseCopyAdd(&copy, script.data + script.pos, (int)k);
            script.pos += k;
        }
    } else {
        static rio_t website;
        static char buffer[MAXLINE];
        rio_readinitb(&website, FUZZ_FD);
        ssize_t length;
        while ((length = readLine(&website, buffer)) != 0) {
            responseCopyAdd(&copy, buffer, (int)length);
        }
    }
    if (copy.tooLarge != (size > (size_t)MAX_OBJECT_SIZE) ||
        (!copy.tooLarge && (copy.total != (int)size || memcmp(copy.page, bytes, size) != 0))) {
        fuzz_fail("the copy kept is not the response relayed",
             splitName(split) + (direct ? ", direct\n" : ", by lines\n") +
                 escaped(std::string(bytes, size)));
    }
    return judge ? storeDecision(&copy, requestPrivate) : -1;
}

storeVerdict decideWhole(const char *bytes, size_t size) {
    return (storeVerdict)decide(bytes, size, {SPLIT_WHOLE, 0}, true, true);
}

// Whether the response's header block (after its first line, up to its
// first empty line) has a Content-Length line, and where that block ends.
bool declaresLength(const std::string &r) {
    size_t at = r.find('\n');
    while (at != std::string::npos && at + 1 < r.size()) {
        size_t end = r.find('\n', at + 1);
        if (end == std::string::npos) return false;
        std::string line = r.substr(at + 1, end - at - 1);
        if (line.empty() || line == "\r") return false;
        if (namedCaseless(line, "Content-Length")) return true;
        at = end;
    }
    return false;
}

void checkResponse(const std::string &bytes) {
    const std::vector<split_t> splits = splitsFor(bytes.size());
    const bool small = bytes.size() <= ALL_SPLITS_LIMIT;
    const storeVerdict verdict = (storeVerdict)decide(bytes.data(), bytes.size(), splits[0], false, true);
    // Every split keeps the same copy (a long response: one split besides
    // the whole, read one way only); the decision is judged again on one.
    const size_t judged = 1 + seed % (2 * splits.size() - 1);
    size_t n = 0;
    for (size_t i = 0; i < splits.size(); i++) {
        for (bool direct : {false, true}) {
            if (i == 0 && !direct) continue;  // done above
            if (!small && (i == 0 ? direct : direct != ((seed + i) % 2 == 0) || i > 1)) continue;
            const int again = decide(bytes.data(), bytes.size(), splits[i], direct, ++n == judged);
            if (again >= 0 && again != verdict) {
                fuzz_fail("the storing decision depends on how the response was read",
                     splitName(splits[i]) + (direct ? ", direct" : ", by lines") + "\n" +
                         escaped(bytes));
            }
        }
    }
    if ((bytes.size() > (size_t)MAX_OBJECT_SIZE) != (verdict == STORE_TOO_LARGE))
        fuzz_fail("a response over the largest size is kept, or one under it called too large");
    if (verdict != STORE_WHOLE) return;

    const std::string detail = escaped(bytes);
    // Never what a cache shared by every browser may not keep.
    if (!response_cacheable(bytes.data(), bytes.size(), requestPrivate))
        fuzz_fail(requestPrivate ? "the answer to a private request is stored"
                                 : "a response the shared-cache rule refuses is stored",
                  detail);
    if (bytes.empty()) fuzz_fail("an empty response is stored");
    if (bytes.find("\n\n") == std::string::npos && bytes.find("\n\r\n") == std::string::npos)
        fuzz_fail("a response whose header block never ended is stored", detail);
    // The same response as a part, or as no representation at all.
    size_t nl = bytes.find('\n');
    size_t from = 0;
    while (from < nl && c_space((unsigned char)bytes[from])) from++;
    const bool versionWord = from < nl;
    while (from < nl && !c_space((unsigned char)bytes[from])) from++;
    const size_t versionEnd = from;
    while (from < nl && c_space((unsigned char)bytes[from])) from++;
    size_t to = from;
    while (to < nl && !c_space((unsigned char)bytes[to])) to++;
    for (const char *status : {"206", "304"}) {
        if (!versionWord) break;
        if (!small && (status[0] == '2') != (seed % 2 == 0)) continue;  // one of them
        static std::string variant;
        variant.assign(bytes, 0, versionEnd);
        variant.append(" ").append(status).append(bytes, to, std::string::npos);
        if (variant.size() <= (size_t)MAX_OBJECT_SIZE &&
            decideWhole(variant.data(), variant.size()) == STORE_WHOLE)
            fuzz_fail("a 206 or 304 response is stored", escaped(variant));
    }
    // A response that declares its length is never stored cut short.
    if (declaresLength(bytes)) {
        size_t cuts[] = {bytes.size() - 1, (size_t)seed * 131 % bytes.size(), bytes.size() / 2};
        for (size_t cut : cuts) {
            if (!small && cut != cuts[seed % 3]) continue;  // one of them
            if (decideWhole(bytes.data(), cut) == STORE_WHOLE)
                fuzz_fail("a cut response is stored", "cut at " + std::to_string(cut) + "\n" + detail);
        }
    }
}

}  // namespace

// robix.cpp is compiled into this target (stageproxy_core_robix.cpp) with
// read() renamed to this: every refill hands out the current split's bytes.
extern "C" ssize_t fuzz_read(int fd, void *buf, size_t n) {
    if (fd != FUZZ_FD) {
        errno = EBADF;
        return -1;
    }
    if (script.pos >= script.size) return 0;
    size_t k = nextPiece(n);
    memcpy(buf, script.data + script.pos, k);
    script.pos += k;
    return (ssize_t)k;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    seed = data[0];
    // The first 0xFE that is not inside a run, or the input's end.
    size_t mark = 1;
    while (mark < size && data[mark] != 0xFE) mark += data[mark] == 0xFF ? 3 : 1;
    mark = mark < size ? mark : size;
    const size_t from = mark < size ? mark + 1 : size;
    static std::string browser, response;  // kept, so that their memory is reused
    expand_input_into(data + 1, mark - 1, MAX_BROWSER_BYTES, browser);
    expand_input_into(data + from, size - from, MAX_RESPONSE_BYTES, response);

    const std::vector<split_t> splits = splitsFor(browser.size());
    static request_t first, r;
    runRequest(browser, splits[0], first);
    checkRequest(browser, first, splits[0]);
    for (size_t i = 1; i < splits.size(); i++) {
        runRequest(browser, splits[i], r);
        if (r.outcome != first.outcome || r.key != first.key || r.upstream != first.upstream) {
            fuzz_fail("the request's outcome depends on how its bytes were read",
                      splitName(splits[i]) + ": " + describe(r) + "\nwhole: " + describe(first) +
                          "\nbrowser " + escaped(browser));
        }
    }
    requestPrivate = first.requestPrivate;
    checkResponse(response);
    if (trace) {
        static const char *const stores[] = {"store", "too large", "not whole"};
        fprintf(stderr, "%s, key %s, %zu bytes upstream; response of %zu bytes: %s\n",
                OUTCOME_NAMES[first.outcome], escaped(first.key, 60).c_str(), first.upstream.size(),
                response.size(), stores[decideWhole(response.data(), response.size())]);
    }
    return 0;
}
