// A real browser through each proxy: headless Chromium loads a page from a
// scripted origin on loopback, with a stylesheet, a script and three images
// (one too large to cache), through stampproxy, stageproxy and slotproxy in
// turn. The test checks what the browser rendered (the script's report of
// the computed style and of every decoded pixel, written into the DOM), that
// the first load reached the origin once per object, and that a second load
// (a fresh browser with an empty cache of its own) is answered from the
// proxy's cache for every object that fits, while the large image is fetched
// again. Skipped when /usr/bin/chromium is not installed.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "programs.h"

namespace {

using namespace harness;

const char CHROMIUM[] = "/usr/bin/chromium";
// A load normally takes about a second; the bound only keeps a hung
// browser from holding the suite.
const ms BROWSER_DEADLINE(25000);
const ms WAIT(5000);

// ---------------------------------------------------------------- the page

// An image of w x h pixels whose colours depend on the position and the seed,
// so that a truncated, shifted or mixed-up transfer changes the checksum.
struct image_t {
    std::string id;
    int width, height;
    unsigned seed;
};

const image_t IMAGES[] = {
    {"small1", 16, 12, 1},
    {"small2", 24, 20, 2},
    // 600-byte rows, 180 of them: 108054 bytes of file, more than any of the
    // three proxies stores.
    {"large", 200, 180, 3},
};

void pixel(const image_t &im, int x, int y, unsigned char rgb[3]) {
    rgb[0] = (unsigned char)(x * 7 + y * 13 + im.seed * 40);
    rgb[1] = (unsigned char)((x * 3) ^ (y * 5) ^ (im.seed * 17));
    rgb[2] = (unsigned char)(x + y * 2 + im.seed);
}

void put_le(std::string &s, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) s.push_back((char)((v >> (8 * i)) & 0xff));
}

// An uncompressed 24-bit BMP: a binary body full of NUL bytes and bytes above
// 127, stored bottom row first, so its last bytes are the top-left pixels.
std::string bmp(const image_t &im) {
    const uint32_t row = (uint32_t)((im.width * 3 + 3) / 4 * 4);
    const uint32_t data = row * (uint32_t)im.height;
    std::string s = "BM";
    put_le(s, 54 + data, 4);
    put_le(s, 0, 4);
    put_le(s, 54, 4);
    put_le(s, 40, 4);
    put_le(s, (uint32_t)im.width, 4);
    put_le(s, (uint32_t)im.height, 4);
    put_le(s, 1, 2);
    put_le(s, 24, 2);
    put_le(s, 0, 4);
    put_le(s, data, 4);
    put_le(s, 2835, 4);
    put_le(s, 2835, 4);
    put_le(s, 0, 4);
    put_le(s, 0, 4);
    for (int y = im.height - 1; y >= 0; y--) {
        std::string line;
        for (int x = 0; x < im.width; x++) {
            unsigned char rgb[3];
            pixel(im, x, y, rgb);
            line.push_back((char)rgb[2]);
            line.push_back((char)rgb[1]);
            line.push_back((char)rgb[0]);
        }
        line.resize(row, '\0');
        s += line;
    }
    return s;
}

// The checksum the page's script computes over the decoded pixels, top row
// first: h = h * 31 + 0xRRGGBB, modulo 2^32.
std::string checksum(const image_t &im) {
    uint32_t h = 0;
    for (int y = 0; y < im.height; y++) {
        for (int x = 0; x < im.width; x++) {
            unsigned char rgb[3];
            pixel(im, x, y, rgb);
            h = h * 31u + ((uint32_t)rgb[0] << 16 | (uint32_t)rgb[1] << 8 | rgb[2]);
        }
    }
    std::ostringstream s;
    s << std::hex << h;
    return s.str();
}

const char PAGE[] =
    "<!DOCTYPE html>\n"
    "<html><head><meta charset=\"utf-8\"><title>Through the proxy</title>\n"
    "<link rel=\"stylesheet\" href=\"/style.css\">\n"
    "<script src=\"/app.js\"></script>\n"
    "</head><body>\n"
    "<h1 id=\"title\">Loaded through the proxy</h1>\n"
    "<p id=\"probe\">A paragraph the stylesheet colours.</p>\n"
    "<img id=\"small1\" src=\"/small1.bmp\">\n"
    "<img id=\"small2\" src=\"/small2.bmp\">\n"
    "<img id=\"large\" src=\"/large.bmp\">\n"
    "<pre id=\"report\">the script did not run</pre>\n"
    "</body></html>\n";

const char STYLE[] =
    "body { margin: 8px; font-family: sans-serif; }\n"
    "#probe { color: rgb(12, 34, 56); width: 321px; }\n";

// Runs once everything has loaded: reports the stylesheet's effect and each
// image's size and pixel checksum as one line in #report.
const char SCRIPT[] =
    "window.addEventListener('load', function () {\n"
    "  var out = [];\n"
    "  var cs = getComputedStyle(document.getElementById('probe'));\n"
    "  out.push('color=' + cs.color);\n"
    "  out.push('width=' + cs.width);\n"
    "  var imgs = document.images;\n"
    "  for (var i = 0; i < imgs.length; i++) {\n"
    "    var im = imgs[i], w = im.naturalWidth, h = im.naturalHeight, sum = 'none';\n"
    "    if (w > 0 && h > 0) {\n"
    "      var c = document.createElement('canvas');\n"
    "      c.width = w; c.height = h;\n"
    "      var g = c.getContext('2d');\n"
    "      g.drawImage(im, 0, 0);\n"
    "      var d = g.getImageData(0, 0, w, h).data, s = 0;\n"
    "      for (var p = 0; p < d.length; p += 4)\n"
    "        s = (Math.imul(s, 31) + d[p] * 65536 + d[p + 1] * 256 + d[p + 2]) >>> 0;\n"
    "      sum = s.toString(16);\n"
    "    }\n"
    "    out.push(im.id + '=' + w + 'x' + h + ':' + sum);\n"
    "  }\n"
    "  document.getElementById('report').textContent = out.join(';');\n"
    "  document.body.setAttribute('data-script', 'ran');\n"
    "});\n";

std::string expected_report() {
    std::string r = "color=rgb(12, 34, 56);width=321px";
    for (const image_t &im : IMAGES) {
        r += ";" + im.id + "=" + std::to_string(im.width) + "x" + std::to_string(im.height) +
             ":" + checksum(im);
    }
    return r;
}

// The objects of the page, by path, and whether a proxy can keep them.
struct object_t {
    std::string path;
    std::string bytes;
    bool fits;
};

std::vector<object_t> page_objects() {
    std::vector<object_t> objects = {
        {"/index.html", http_response(PAGE, 200, "OK", "text/html; charset=utf-8"), true},
        {"/style.css", http_response(STYLE, 200, "OK", "text/css"), true},
        {"/app.js", http_response(SCRIPT, 200, "OK", "text/javascript"), true},
    };
    for (const image_t &im : IMAGES) {
        std::string bytes = http_response(bmp(im), 200, "OK", "image/bmp");
        objects.push_back({"/" + im.id + ".bmp", bytes, bytes.size() < 94208});
    }
    return objects;
}

const char FAVICON[] = "/favicon.ico";

// ---------------------------------------------------------------- the browser

struct browser_run_t {
    bool started = false;
    bool exited = false;  // ended on its own before the deadline
    int exit_code = -1;
    std::string dom;     // its standard output: the serialised DOM
    std::string errors;  // its standard error
};

// Loads url in a fresh headless Chromium that uses the proxy on proxy_port
// for every address, loopback included, and returns the DOM it dumps once
// the page has loaded. The browser runs in a process group of its own, which
// is killed as a whole at the end, so none of its helper processes outlives
// the run.
browser_run_t load_page(int proxy_port, const std::string &url) {
    browser_run_t r;
    char dir[] = "/tmp/browser-profile-XXXXXX";
    if (mkdtemp(dir) == nullptr) return r;
    const std::string profile = dir;

    const std::vector<std::string> argv = {
        CHROMIUM,
        "--headless",
        "--no-sandbox",
        "--disable-gpu",
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-quic",
        "--disable-extensions",
        "--disable-features=HttpsUpgrades,Translate,OptimizationHints,MediaRouter",
        "--user-data-dir=" + profile,
        "--proxy-server=http://127.0.0.1:" + std::to_string(proxy_port),
        // Loopback goes through the proxy too; the browser's own traffic to
        // its vendor's services goes around it and fails to resolve, so the
        // proxies see only the page.
        "--proxy-bypass-list=<-loopback>;*.google.com;*.googleapis.com;*.gstatic.com;*.gvt1.com",
        "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
        "--dump-dom",
        url,
    };
    process_t p;
    p.own_group = true;
    r.started = start_process(p, argv);
    if (r.started) {
        // Also set here, so the group exists whichever of the two runs first.
        setpgid(p.pid, p.pid);
        // Noticed without reaping: until it is reaped below, the browser's
        // id cannot be reused, so the group kill reaches only its own.
        bool lost = false;
        r.exited = wait_until([&] {
            siginfo_t info;
            info.si_pid = 0;
            int rc = waitid(P_PID, (id_t)p.pid, &info, WEXITED | WNOHANG | WNOWAIT);
            lost = rc < 0 && errno != EINTR;
            return lost || (rc == 0 && info.si_pid == p.pid);
        }, BROWSER_DEADLINE, 20) && !lost;
        // The browser if it is still running, and any helper it left behind.
        kill(-p.pid, SIGKILL);
        int status = 0;
        pid_t w;
        do {
            w = waitpid(p.pid, &status, 0);
        } while (w < 0 && errno == EINTR);
        if (r.exited && w == p.pid && WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    }
    r.dom = read_stdout(p);
    r.errors = read_stderr(p);
    unlink(p.out_path.c_str());
    unlink(p.err_path.c_str());
    std::error_code ignored;
    std::filesystem::remove_all(profile, ignored);
    return r;
}

// The text between <pre id="report"> and </pre> in the dumped DOM.
std::string report_of(const std::string &dom) {
    const std::string open = "<pre id=\"report\">";
    size_t a = dom.find(open);
    if (a == std::string::npos) return std::string();
    a += open.size();
    size_t b = dom.find("</pre>", a);
    return b == std::string::npos ? std::string() : dom.substr(a, b - a);
}

// ---------------------------------------------------------------- the origin

// Every request line the origin got, in order.
std::vector<std::string> request_lines(origin_t &o) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < origin_count(o); i++) {
        const std::string bytes = origin_request(o, i);
        size_t eol = bytes.find("\r\n");
        lines.push_back(bytes.substr(0, eol == std::string::npos ? bytes.find('\n') : eol));
    }
    return lines;
}

std::string describe(origin_t &o) {
    std::string d;
    for (const std::string &l : request_lines(o)) d += "  " + l + "\n";
    return d;
}

// ---------------------------------------------------------------- the test

struct BrowserThroughProxy : ::testing::TestWithParam<program_t> {
    running_t run{GetParam()};
    origin_t &origin = run.origin;
    process_t &proxy = run.proxy;
    std::vector<object_t> objects = page_objects();

    void SetUp() override {
        if (access(CHROMIUM, X_OK) != 0) {
            GTEST_SKIP() << CHROMIUM << " is not installed (Debian package chromium): "
                         << "the real-browser test needs it and is skipped";
        }
        for (const object_t &o : objects) origin.routes[o.path].bytes = o.bytes;
        origin.default_reply.bytes = http_response("no such object\n", 404, "Not Found");
        origin.routes[FAVICON] = origin.default_reply;
        ASSERT_TRUE(start_running(run, GetParam().binary, {}))
            << GetParam().name << " did not start";
    }

    // One page load in a fresh browser; checks what it rendered.
    void load_and_check(const char *which) {
        browser_run_t page = load_page(proxy.port, origin_url(origin, "/index.html"));
        ASSERT_TRUE(page.started) << "could not start " << CHROMIUM;
        ASSERT_TRUE(page.exited) << which << " load: the browser did not finish within "
                                 << scaled(BROWSER_DEADLINE).count() << " ms\n"
                                 << page.errors;
        EXPECT_EQ(page.exit_code, 0) << page.errors;
        EXPECT_NE(page.dom.find("<h1 id=\"title\">Loaded through the proxy</h1>"),
                  std::string::npos)
            << which << " load: the page itself did not arrive:\n"
            << page.dom;
        EXPECT_NE(page.dom.find("data-script=\"ran\""), std::string::npos)
            << which << " load: the script did not run:\n"
            << page.dom;
        EXPECT_EQ(report_of(page.dom), expected_report())
            << which << " load: the stylesheet or an image did not arrive intact";
        // Every proxied request is rewritten to HTTP/1.0: a request line
        // still in the browser's HTTP/1.1 went around the proxy.
        for (const std::string &line : request_lines(origin)) {
            EXPECT_EQ(line.compare(line.size() >= 9 ? line.size() - 9 : 0, 9, " HTTP/1.0"), 0)
                << which << " load: not through the proxy: " << line;
        }
        // The browser has gone, so every connection thread of the proxy
        // ends: by then it has stored what it keeps, closed its origin
        // connections and flushed its console lines.
        EXPECT_TRUE(wait_threads(proxy.pid, 1 + RUNTIME_THREADS, WAIT))
            << which << " load: connection threads left: " << count_threads(proxy.pid);
        EXPECT_TRUE(origin_wait_closed(origin, origin_count(origin), WAIT));
    }

    void expect_counts(const char *which, bool second) {
        for (const object_t &o : objects) {
            EXPECT_EQ(origin_fetches(origin, o.path), second && !o.fits ? 2u : 1u)
                << which << " load: origin requests for " << o.path << "; origin saw:\n"
                << describe(origin);
        }
        // A favicon, if the browser asks for one, is a small 404: kept too.
        EXPECT_LE(origin_fetches(origin, FAVICON), 1u) << describe(origin);
        std::lock_guard<std::mutex> g(origin.lock);
        for (const auto &kv : origin.fetches) {
            bool known = kv.first == FAVICON;
            for (const object_t &o : objects) known = known || kv.first == o.path;
            EXPECT_TRUE(known) << which << " load: unexpected request for " << kv.first;
        }
    }
};

TEST_P(BrowserThroughProxy, RendersPageAndAnswersRepeatFromCache) {
    const program_t &prog = GetParam();

    load_and_check("first");
    if (HasFatalFailure()) return;
    expect_counts("first", false);

    load_and_check("second");
    if (HasFatalFailure()) return;
    expect_counts("second", true);

    EXPECT_TRUE(is_running(proxy)) << prog.name << " ended during the loads";

    // The console agrees: a hit for each object that fits on the second
    // load, none for the large image. Lines of parallel connections
    // interleave, so only lines printed whole by one call are counted.
    const std::string out = read_stdout(proxy);
    const std::string base = "http://127.0.0.1:" + std::to_string(origin.port);
    if (prog.hit_line.empty()) {
        // it prints nothing for a hit
    } else if (prog.hit_line.find("<URL>") == std::string::npos) {
        // one exit block with this label per hit
        int fitting = 0;
        for (const object_t &o : objects) fitting += o.fits ? 1 : 0;
        // Favicon requests beyond the one the origin answered were hits too.
        int favicon_asked = occurrences(out, "INPUT: GET " + base + FAVICON + " HTTP/1.1");
        int favicon_fetched = (int)origin_fetches(origin, FAVICON);
        EXPECT_EQ(occurrences(out, prog.hit_line), fitting + favicon_asked - favicon_fetched)
            << out;
    } else {
        // one line naming the URL per hit
        for (const object_t &o : objects) {
            EXPECT_EQ(occurrences(out, substitute(prog.hit_line, "<URL>", base + o.path)),
                      o.fits ? 1 : 0)
                << prog.name << " console, for " << o.path << ":\n"
                << out;
        }
    }
    expect_no_sanitizer_report(proxy);
}

INSTANTIATE_OVER_PROGRAMS(BrowserThroughProxy);

}  // namespace
