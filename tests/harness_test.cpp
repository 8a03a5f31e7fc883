// The harness against itself: the scripted origin records exact bytes and
// answers as scripted, the client sees EOF or a reset, the launcher reports
// exit statuses and captured streams.
#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

TEST(Harness, OriginRecordsRequestAndRepliesInPieces) {
    origin_t o;
    ASSERT_TRUE(origin_start(o));
    origin_reply_t r;
    r.bytes = http_response(pattern_body(5000));
    r.pieces = {10, 100, 1000};
    r.pause_ms = 5;
    origin_route(o, "/x", r);
    const std::string req = "GET /x HTTP/1.0\r\nHost: a\r\n\r\n";
    client_result_t c = client_exchange(o.port, req, ms(5000));
    EXPECT_TRUE(c.eof);
    EXPECT_EQ(c.bytes, r.bytes);
    ASSERT_TRUE(origin_wait_closed(o, 1, ms(5000)));
    EXPECT_EQ(origin_request(o, 0), req);
    EXPECT_EQ(o.connections.load(), 1);
    origin_stop(o);
}

TEST(Harness, OriginResetIsSeenByClient) {
    origin_t o;
    ASSERT_TRUE(origin_start(o));
    origin_reply_t r;
    r.bytes = "partial";
    r.end = origin_end_t::RESET;
    origin_default(o, r);
    client_result_t c = client_exchange(o.port, "GET / HTTP/1.0\r\n\r\n", ms(5000));
    EXPECT_FALSE(c.timed_out);
    EXPECT_TRUE(c.reset || c.eof);
    origin_stop(o);
}

TEST(Harness, OriginHoldTimesOutClient) {
    origin_t o;
    ASSERT_TRUE(origin_start(o));
    origin_reply_t r;
    r.end = origin_end_t::HOLD;
    origin_default(o, r);
    client_result_t c = client_exchange(o.port, "GET / HTTP/1.0\r\n\r\n", ms(300));
    EXPECT_TRUE(c.timed_out);
    EXPECT_TRUE(c.bytes.empty());
    origin_stop(o);
}

TEST(Harness, RunToExitCapturesStreamsAndStatus) {
    run_result_t r = run_to_exit({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, ms(5000));
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
}
