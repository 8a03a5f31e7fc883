// Robust I/O of the common edition: the line reader's splitting at its size
// limit, buffered and unbuffered reads mixed on one record, transfers that a
// handled signal must not shorten, writes to a peer that has gone, and
// deadlines. The Rio_ wrappers are tested with the others, in both editions
// (robix_wrappers_test.cpp).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "robix.h"
#include "robix_test_support.h"

namespace {

using namespace harness;
using namespace robix_test;

const size_t MAXLEN = 8192;  // what the programs pass for a line
const size_t LINE_MAX_BYTES = MAXLEN - 1;

// Arbitrary bytes without a newline, one in five of them NUL.
std::string bytes_without_newline(size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 7;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        char c = (char)(x >> 16);
        if (i % 5 == 0 || c == '\n') c = '\0';
        s[i] = c;
    }
    return s;
}

// The read end of a pipe that holds `bytes` and then ends; -1 when the bytes
// did not fit in the pipe.
int stream_of(const std::string &bytes) {
    int p[2];
    if (pipe(p) < 0) return -1;
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t k = write(p[1], bytes.data() + off, bytes.size() - off);
        if (k <= 0) break;
        off += (size_t)k;
    }
    close(p[1]);
    if (off != bytes.size()) {
        close(p[0]);
        return -1;
    }
    return p[0];
}

// A destination larger than maxlen, filled with a sentinel so that a test can
// tell which bytes were written.
struct dest_t {
    std::vector<char> buf = std::vector<char>(MAXLEN + 64, 'X');
    void reset() { std::fill(buf.begin(), buf.end(), 'X'); }
    bool untouched_from(size_t i) const {
        for (size_t j = i; j < buf.size(); j++) {
            if (buf[j] != 'X') return false;
        }
        return true;
    }
    std::string first(size_t n) const { return std::string(buf.data(), n); }
};

// Where expect_line and expect_end read to; it keeps the last line read.
dest_t last_read;

// One line read with maxlen 8192 checked: result n, the bytes expected, a NUL
// after them and nothing written beyond that.
void expect_line(rio_t *rp, const std::string &expected) {
    dest_t &d = last_read;
    d.reset();
    ssize_t n = rio_readlineb(rp, d.buf.data(), MAXLEN);
    ASSERT_EQ(n, (ssize_t)expected.size());
    EXPECT_TRUE(d.first(expected.size()) == expected);
    EXPECT_EQ(d.buf[expected.size()], '\0');
    EXPECT_TRUE(d.untouched_from(expected.size() + 1));
}

void expect_end(rio_t *rp) {
    last_read.reset();
    EXPECT_EQ(rio_readlineb(rp, last_read.buf.data(), MAXLEN), 0);
    EXPECT_TRUE(last_read.untouched_from(0));
}

// A record bound to a stream that holds `bytes` and then ends (fd is -1, a
// failure, when the bytes did not fit); the stream closes with the record.
struct stream_record_t {
    int fd;
    rio_t rio;
    explicit stream_record_t(const std::string &bytes) : fd(stream_of(bytes)) {
        EXPECT_GE(fd, 0) << "the bytes do not fit in a pipe";
        rio_readinitb(&rio, fd);
    }
    ~stream_record_t() {
        if (fd >= 0) close(fd);
    }
    stream_record_t(const stream_record_t &) = delete;
    stream_record_t &operator=(const stream_record_t &) = delete;
};

// Reads a stream of `bytes` line by line: each of `lines` in turn, then
// `ends` reads that each find the end.
void expect_lines_then_end(const std::string &bytes, const std::vector<std::string> &lines,
                           int ends = 1) {
    stream_record_t r(bytes);
    for (const std::string &line : lines) expect_line(&r.rio, line);
    for (int i = 0; i < ends; i++) expect_end(&r.rio);
}

// Bytes the next read of fd would find.
int pending_bytes(int fd) {
    int n = -1;
    if (ioctl(fd, FIONREAD, &n) < 0) return -1;
    return n;
}

// Fills the sending side of a socket until a write would block.
size_t fill_send_buffer(int fd) {
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    std::string chunk(4096, 'p');
    size_t total = 0;
    for (int i = 0; i < 100000; i++) {
        ssize_t k = write(fd, chunk.data(), chunk.size());
        if (k <= 0) break;
        total += (size_t)k;
    }
    fcntl(fd, F_SETFL, flags);
    return total;
}

// A socket pair whose first end holds `bytes` to read and then fails a read
// that waits 50 ms for more with EAGAIN.
void hold_then_time_out(socket_pair_t &sp, const std::string &bytes) {
    struct timeval tv = {0, 50 * 1000};
    ASSERT_EQ(setsockopt(sp.fd[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
    ASSERT_TRUE(send_all(sp.fd[1], bytes));
}

// A connection to origin o, started here with `reply`, that has sent
// `request`; -1 when there is none.
int ask_origin(origin_t &o, const origin_reply_t &reply, const std::string &request) {
    origin_default(o, reply);
    if (!origin_start(o)) return -1;
    int fd = client_connect(o.port);
    if (fd < 0) return -1;
    EXPECT_EQ(rio_writen(fd, request.data(), request.size()), (ssize_t)request.size());
    return fd;
}

// Runs call, which uses sp.fd[0], on a worker; once it blocks in system call
// nr, signals it and checks that it fails with EINTR. Closing the other end
// makes a call that is still blocked fail instead of hanging the test.
void expect_plain_call_interrupted(socket_pair_t &sp, const std::function<ssize_t()> &call,
                                   long nr) {
    worker_t w;
    w.start(call);
    EXPECT_TRUE(wait_for([&] { return w.blocks_in(nr); }));
    pthread_kill(w.thread.native_handle(), SIGUSR1);
    EXPECT_TRUE(wait_for([&] { return w.done.load(); }));
    sp.close_end(1);
    w.thread.join();
    EXPECT_EQ(w.result, -1);
    EXPECT_EQ(w.error, EINTR);
}

}  // namespace

// ---------------------------------------------------------------- line splitting

TEST(RioReadlineb, RequestLineComesBackWithNul) {
    const std::string line = "GET / HTTP/1.0\r\n";
    ASSERT_EQ(line.size(), 16u);
    expect_lines_then_end(line + "Host: a\r\n", {line, "Host: a\r\n"});
}

TEST(RioReadlineb, LongLineComesBackAs8191BytesThenTheRest) {
    for (size_t k : {(size_t)1, (size_t)2, (size_t)63, (size_t)4096, (size_t)8190, (size_t)8191}) {
        SCOPED_TRACE("k = " + std::to_string(k));
        const std::string line = bytes_without_newline(LINE_MAX_BYTES + k - 1, (unsigned)k) + "\n";
        stream_record_t r(line);
        expect_line(&r.rio, line.substr(0, LINE_MAX_BYTES));
        expect_line(&r.rio, line.substr(LINE_MAX_BYTES));
        EXPECT_EQ(last_read.buf[k - 1], '\n');
        expect_end(&r.rio);
    }
}

TEST(RioReadlineb, LineOfExactly8191BytesComesWhole) {
    const std::string line = bytes_without_newline(LINE_MAX_BYTES - 1, 3) + "\n";
    expect_lines_then_end(line + "next\n", {line, "next\n"});
}

TEST(RioReadlineb, NulBytesWithoutNewlineComeInRunsOf8191) {
    const std::string bytes = bytes_without_newline(20000, 9);
    expect_lines_then_end(bytes, {bytes.substr(0, 8191), bytes.substr(8191, 8191),
                                  bytes.substr(16382)});  // 3618 bytes, then the end
}

TEST(RioReadlineb, ThreeLettersThenEndLeaveDestinationUntouched) {
    expect_lines_then_end("abc", {"abc"}, 2);
}

TEST(RioReadlineb, OnlyNewlineEndsALine) {
    const std::string bytes = std::string("a\r\n\0b\n\n\r\rlast", 13);
    expect_lines_then_end(bytes, {"a\r\n", std::string("\0b\n", 3), "\n", "\r\rlast"});
}

TEST(RioReadlineb, MaxlenTwoGivesOneByteAtATime) {
    stream_record_t r("ab\n");
    for (const char *want : {"a", "b", "\n"}) {
        char buf[4] = {'X', 'X', 'X', 'X'};
        ASSERT_EQ(rio_readlineb(&r.rio, buf, 2), 1);
        EXPECT_EQ(buf[0], want[0]);
        EXPECT_EQ(buf[1], '\0');
        EXPECT_EQ(buf[2], 'X');
    }
    char buf[4] = {'X', 'X', 'X', 'X'};
    EXPECT_EQ(rio_readlineb(&r.rio, buf, 2), 0);
    EXPECT_EQ(buf[0], 'X');
}

// No caller passes less than 2; such a call stores nothing, not even a NUL,
// and consumes nothing.
TEST(RioReadlineb, MaxlenBelowTwoStoresNothing) {
    stream_record_t r("line\n");
    for (size_t maxlen : {(size_t)0, (size_t)1}) {
        char buf[2] = {'X', 'X'};
        EXPECT_EQ(rio_readlineb(&r.rio, buf, maxlen), 0);
        EXPECT_EQ(buf[0], 'X');
        EXPECT_EQ(buf[1], 'X');
    }
    expect_line(&r.rio, "line\n");
}

// A failed read ends the line with -1: the bytes stored so far stay, with no
// NUL after them, and the record is still usable.
TEST(RioReadlineb, FailureKeepsStoredBytesUnterminatedAndRecordUsable) {
    socket_pair_t sp;
    hold_then_time_out(sp, "abc");
    rio_t rio;
    rio_readinitb(&rio, sp.fd[0]);
    dest_t d;
    errno = 0;
    EXPECT_EQ(rio_readlineb(&rio, d.buf.data(), MAXLEN), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << strerror(errno);
    EXPECT_EQ(d.first(3), "abc");
    EXPECT_TRUE(d.untouched_from(3));
    EXPECT_EQ(rio.rio_cnt, -1);

    ASSERT_EQ(write(sp.fd[1], "def\n", 4), 4);
    expect_line(&rio, "def\n");
}

TEST(RioReadlineb, BadDescriptorFailsAndIsTriedAgainLater) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    int spare = dup(p[0]);  // a descriptor number that is free once closed
    ASSERT_GE(spare, 0);
    close(spare);
    rio_t rio;
    rio_readinitb(&rio, spare);
    dest_t d;
    errno = 0;
    EXPECT_EQ(rio_readlineb(&rio, d.buf.data(), MAXLEN), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(d.untouched_from(0));

    ASSERT_EQ(dup2(p[0], spare), spare);
    ASSERT_EQ(write(p[1], "ok\n", 3), 3);
    expect_line(&rio, "ok\n");
    close(spare);
    close(p[0]);
    close(p[1]);
}

// End of file is not remembered: a file that grows can be read on.
TEST(RioReadlineb, EndOfFileIsNotSticky) {
    char path[] = "/tmp/robix-rio-XXXXXX";
    int wfd = mkstemp(path);
    ASSERT_GE(wfd, 0);
    int rfd = open(path, O_RDONLY);
    unlink(path);
    ASSERT_GE(rfd, 0);
    ASSERT_EQ(write(wfd, "one\n", 4), 4);
    rio_t rio;
    rio_readinitb(&rio, rfd);
    expect_line(&rio, "one\n");
    expect_end(&rio);
    EXPECT_EQ(rio.rio_cnt, 0);
    ASSERT_EQ(write(wfd, "two\n", 4), 4);
    expect_line(&rio, "two\n");
    close(rfd);
    close(wfd);
}

// One read of up to a whole buffer serves many lines: the descriptor is not
// read again until the buffered bytes are used up.
TEST(RioReadlineb, RefillsTakeWholeBuffersNotBytes) {
    const std::string body = pattern_body(10000);  // lines of 64 bytes
    stream_record_t r("x\n" + body);
    const int after_first_refill = (int)(body.size() + 2) - RIO_BUFSIZE;
    expect_line(&r.rio, "x\n");
    EXPECT_EQ(pending_bytes(r.fd), after_first_refill);
    EXPECT_EQ(r.rio.rio_cnt, RIO_BUFSIZE - 2);
    size_t off = 0;
    for (; off + 2 + 64 <= (size_t)RIO_BUFSIZE; off += 64) {
        expect_line(&r.rio, body.substr(off, 64));
    }
    EXPECT_EQ(pending_bytes(r.fd), after_first_refill);
    // The line that straddles the buffer's end comes back whole.
    expect_line(&r.rio, body.substr(off, 64));
    EXPECT_EQ(pending_bytes(r.fd), 0);
    expect_line(&r.rio, body.substr(off + 64, 64));
}

TEST(RioReadinitb, BindsAnEmptyRecord) {
    rio_t rio;
    memset(&rio, 0x5a, sizeof rio);
    rio_readinitb(&rio, 42);
    EXPECT_EQ(rio.rio_fd, 42);
    EXPECT_EQ(rio.rio_cnt, 0);
    EXPECT_EQ(rio.rio_bufptr, rio.rio_buf);
    EXPECT_EQ(sizeof rio.rio_buf, 8192u);
}

// After the request line, whether what the record holds unread ends the
// header block: an empty line, first or after a line end, whole.
TEST(RioHoldsHeaderEnd, OnlyAWholeEmptyLineEndsTheBlock) {
    const struct {
        const char *after;
        bool ends;
    } rows[] = {
        {"", false},           {"\r\n", true},          {"\n", true},
        {"\r", false},         {"Host: a\r\n", false},   {"Host: a\r\n\r\n", true},
        {"Host: a\n\n", true}, {"Host: a\r\n\r", false}, {"Host: a\r\nX: \r\n", false},
        {"Host: a", false},    {"A: b\r\nC: d\r\n\r\nbody", true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.after);
        stream_record_t r(std::string("GET http://a/ HTTP/1.0\r\n") + row.after);
        expect_line(&r.rio, "GET http://a/ HTTP/1.0\r\n");
        EXPECT_EQ(rio_holds_header_end(&r.rio), row.ends);
    }
}

// ---------------------------------------------------------------- buffered and unbuffered reads

TEST(RioReadnb, AfterReadlinebReturnsTheBytesThatFollow) {
    const std::string body = pattern_body(20000, 4);
    stream_record_t r("first line\r\n" + body);
    expect_line(&r.rio, "first line\r\n");
    std::vector<char> buf(30000, 'X');
    EXPECT_EQ(rio_readnb(&r.rio, buf.data(), buf.size()), (ssize_t)body.size());
    EXPECT_TRUE(std::string(buf.data(), body.size()) == body);
    EXPECT_EQ(buf[body.size()], 'X');
    EXPECT_EQ(rio_readnb(&r.rio, buf.data(), buf.size()), 0);
}

TEST(RioReadnb, MixesWithReadlinebInAnyOrder) {
    stream_record_t r("abcdef\nxyz\ntail");
    char buf[64];
    ASSERT_EQ(rio_readnb(&r.rio, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    expect_line(&r.rio, "def\n");
    ASSERT_EQ(rio_readnb(&r.rio, buf, 6), 6);
    EXPECT_EQ(std::string(buf, 6), "xyz\nta");
    expect_line(&r.rio, "il");
    EXPECT_EQ(rio_readnb(&r.rio, buf, 1), 0);
}

TEST(RioReadnb, BadDescriptorFails) {
    rio_t rio;
    rio_readinitb(&rio, -1);
    char buf[8];
    errno = 0;
    EXPECT_EQ(rio_readnb(&rio, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(RioReadn, HundredByteStreamAskedFor102400GivesHundredThenZero) {
    origin_t o;
    origin_reply_t reply;
    reply.bytes = pattern_body(100, 5);
    reply.end = origin_end_t::CLOSE;
    const std::string request = "GET /hundred HTTP/1.0\r\n\r\n";
    int fd = ask_origin(o, reply, request);
    ASSERT_GE(fd, 0);
    std::vector<char> buf(102400, 'X');
    EXPECT_EQ(rio_readn(fd, buf.data(), buf.size()), 100);
    EXPECT_EQ(std::string(buf.data(), 100), reply.bytes);
    EXPECT_EQ(buf[100], 'X');
    EXPECT_EQ(rio_readn(fd, buf.data(), buf.size()), 0);
    close(fd);
    EXPECT_TRUE(origin_wait_closed(o, 1, WAIT));
    EXPECT_EQ(origin_request(o, 0), request);
    origin_stop(o);
}

TEST(RioReadn, GathersPiecesUntilTheCountIsReached) {
    origin_t o;
    origin_reply_t reply;
    reply.bytes = pattern_body(30000, 6);
    reply.pieces = {1, 10, 100, 1000, 5000};
    reply.pause_ms = 2;
    reply.end = origin_end_t::HOLD;  // no end of stream: the count alone stops it
    int fd = ask_origin(o, reply, "GET / HTTP/1.0\r\n\r\n");
    ASSERT_GE(fd, 0);
    std::vector<char> buf(reply.bytes.size());
    EXPECT_EQ(rio_readn(fd, buf.data(), buf.size()), (ssize_t)buf.size());
    EXPECT_TRUE(std::string(buf.data(), buf.size()) == reply.bytes);
    close(fd);
    origin_stop(o);
}

// A read that fails after some bytes came reports -1, not the bytes.
TEST(RioReadn, FailureAfterSomeBytesReturnsMinusOne) {
    socket_pair_t sp;
    hold_then_time_out(sp, "abc");
    char buf[10];
    errno = 0;
    EXPECT_EQ(rio_readn(sp.fd[0], buf, sizeof buf), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << strerror(errno);
    errno = 0;
    EXPECT_EQ(rio_readn(-1, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EBADF);
}

// ---------------------------------------------------------------- writes

TEST(RioWriten, WritesEverythingAcrossPartialTransfers) {
    socket_pair_t sp;
    int small = 4096;
    setsockopt(sp.fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const std::string bytes = pattern_body(1 << 20, 8);
    std::string got;
    std::thread reader([&] { got = read_to_end(sp.fd[1]); });
    EXPECT_EQ(rio_writen(sp.fd[0], bytes.data(), bytes.size()), (ssize_t)bytes.size());
    sp.close_end(0);
    reader.join();
    EXPECT_EQ(got.size(), bytes.size());
    EXPECT_TRUE(got == bytes);
}

TEST(RioWriten, ClosedPeerGivesMinusOneWithEpipe) {
    ignored_sigpipe_t quiet;
    socket_pair_t sp;
    sp.close_end(1);
    errno = 0;
    EXPECT_EQ(rio_writen(sp.fd[0], "hello", 5), -1);
    EXPECT_EQ(errno, EPIPE);
}

TEST(RioWriten, ZeroBytesWritesNothing) {
    socket_pair_t sp;
    EXPECT_EQ(rio_writen(sp.fd[0], "", 0), 0);
    EXPECT_EQ(pending_bytes(sp.fd[1]), 0);
}

// ---------------------------------------------------------------- interrupted calls

// The set-up itself interrupts a plain read and a plain write, so the cases
// below do reach the resumption paths.
TEST(RioSignals, SetUpInterruptsPlainCalls) {
    interrupting_signal_t sig;
    {
        socket_pair_t sp;
        char c;
        expect_plain_call_interrupted(sp, [&] { return read(sp.fd[0], &c, 1); }, SYS_read);
    }
    {
        socket_pair_t sp;
        ASSERT_GT(fill_send_buffer(sp.fd[0]), 0u);
        expect_plain_call_interrupted(sp, [&] { return write(sp.fd[0], "x", 1); }, SYS_write);
    }
}

TEST(RioSignals, HandledSignalDoesNotShortenBlockedReads) {
    struct reader_case_t {
        const char *name;
        std::function<ssize_t(int fd, rio_t *rp, char *buf)> call;
        std::string sent;
        ssize_t expected;
    };
    const std::string body = pattern_body(300, 10);
    const std::vector<reader_case_t> cases = {
        {"rio_readn", [](int fd, rio_t *, char *buf) { return rio_readn(fd, buf, 300); }, body,
         300},
        {"rio_readnb", [](int, rio_t *rp, char *buf) { return rio_readnb(rp, buf, 300); }, body,
         300},
        {"rio_readlineb",
         [](int, rio_t *rp, char *buf) { return rio_readlineb(rp, buf, MAXLEN); }, "hello\r\n",
         7},
    };
    interrupting_signal_t sig;
    for (const reader_case_t &c : cases) {
        SCOPED_TRACE(c.name);
        socket_pair_t sp;
        rio_t rio;
        rio_readinitb(&rio, sp.fd[0]);
        std::vector<char> buf(MAXLEN, 'X');
        worker_t w;
        int before = signals_handled;
        w.start([&] { return c.call(sp.fd[0], &rio, buf.data()); });
        EXPECT_TRUE(interrupt_blocked(w, SYS_read));
        // Half now, a second interruption, then the rest.
        size_t half = c.sent.size() / 2;
        EXPECT_TRUE(send_all(sp.fd[1], c.sent.substr(0, half)));
        EXPECT_TRUE(interrupt_blocked(w, SYS_read));
        EXPECT_TRUE(send_all(sp.fd[1], c.sent.substr(half)));
        sp.close_end(1);
        w.thread.join();
        EXPECT_EQ(w.result, c.expected);
        EXPECT_EQ(std::string(buf.data(), c.sent.size()), c.sent);
        EXPECT_GE(signals_handled - before, 1);
    }
}

TEST(RioSignals, HandledSignalDoesNotShortenBlockedWrite) {
    interrupting_signal_t sig;
    ignored_sigpipe_t quiet;
    socket_pair_t sp;
    size_t prefill = fill_send_buffer(sp.fd[0]);
    ASSERT_GT(prefill, 0u);
    const std::string bytes = pattern_body(100000, 11);
    worker_t w;
    int before = signals_handled;
    w.start([&] { return rio_writen(sp.fd[0], bytes.data(), bytes.size()); });
    EXPECT_TRUE(interrupt_blocked(w, SYS_write));
    std::string got;
    std::thread reader([&] { got = read_to_end(sp.fd[1]); });
    w.thread.join();
    sp.close_end(0);
    reader.join();
    EXPECT_EQ(w.result, (ssize_t)bytes.size());
    EXPECT_EQ(signals_handled - before, 1);
    ASSERT_EQ(got.size(), prefill + bytes.size());
    EXPECT_TRUE(got.substr(prefill) == bytes);
}

// ---------------------------------------------------------------- deadlines

// A deadline bounds all refills together: a peer that sends a byte every
// 50 ms, well inside any single wait, is still cut off once the total is up,
// on a socket and on a pipe (which cannot be read without waiting). Bytes
// that were already buffered before the deadline are still handed out.
TEST(RioDeadline, TotalTimeEndsADribblingPeerWithEagain) {
    for (bool use_socket : {true, false}) {
        SCOPED_TRACE(use_socket ? "socket" : "pipe");
        int fds[2];
        ASSERT_EQ(use_socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds), 0);
        std::atomic<bool> stop{false};
        std::thread dribbler([&] {
            for (int i = 0; i < 200 && !stop; i++) {  // at most 10 s
                if (write(fds[1], "x", 1) != 1) break;
                std::this_thread::sleep_for(ms(50));
            }
        });
        rio_t rio;
        rio_readinitb(&rio, fds[0]);
        rio_setdeadline(&rio, 300);
        char buf[MAXLEN];
        ssize_t rc = rio_readlineb(&rio, buf, sizeof buf);
        int saved = errno;
        stop = true;
        dribbler.join();
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(saved, EAGAIN);
        EXPECT_EQ(rio.rio_cnt, -1);
        close(fds[0]);
        close(fds[1]);
    }
}

TEST(RioDeadline, LineInTimeComesBackAndZeroClearsTheDeadline) {
    stream_record_t r("GET / HTTP/1.0\r\nrest");
    rio_t &rio = r.rio;
    EXPECT_EQ(rio.rio_deadline, 0);
    rio_setdeadline(&rio, 5000);
    EXPECT_NE(rio.rio_deadline, 0);
    char buf[MAXLEN];
    EXPECT_EQ(rio_readlineb(&rio, buf, sizeof buf), 16);
    rio_setdeadline(&rio, 0);
    EXPECT_EQ(rio.rio_deadline, 0);
    EXPECT_EQ(rio_readlineb(&rio, buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf), "rest");
}
