// The time-outs of all three programs, so that no silent or vanished peer
// holds a connection thread and its descriptors for ever. The programs'
// short-time-out test builds define PROXY_TEST_TIMEOUTS, which shortens them
// so that tests see each one fire. No state; include it anywhere.
#ifndef ROBIX_TIMEOUTS_H
#define ROBIX_TIMEOUTS_H

#ifdef PROXY_TEST_TIMEOUTS
constexpr int REQUEST_TIMEOUT_MS = 1000;
constexpr int BROWSER_WRITE_TIMEOUT_MS = 1000;
constexpr int ORIGIN_TIMEOUT_MS = 2000;
#else
// The browser's request, in all: a total (rio_setdeadline), so that a
// browser dribbling a byte now and then is cut off as well.
constexpr int REQUEST_TIMEOUT_MS = 60 * 1000;
// A write to the browser fails once it has taken no byte for this long.
constexpr int BROWSER_WRITE_TIMEOUT_MS = 60 * 1000;
// A read from the origin (and, where a program sets it, a write to it)
// fails once no byte has moved for this long: long, as slow origins are common.
constexpr int ORIGIN_TIMEOUT_MS = 600 * 1000;
#endif

#endif  // ROBIX_TIMEOUTS_H
