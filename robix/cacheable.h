// What a cache shared by every browser may keep: one rule for the three
// proxies, over bytes only. No I/O, no lock, no global state, no allocation;
// any thread may call it at any time.
//
// A proxy that stores everything small replays one browser's answer to the
// next: a session cookie, a page behind a password, a gzip body to a client
// that cannot read it, a redirect or an error of one moment. These functions
// say no to all of those; the programs' own size and completeness checks
// come on top and are not repeated here.
#ifndef ROBIX_CACHEABLE_H
#define ROBIX_CACHEABLE_H

#include <stddef.h>

// True when the header line line[0, length) of a browser's request (its line
// end may be included or not) makes the answer to that request the browser's
// own: an Authorization or Proxy-Authorization line, or a Cache-Control
// naming no-store. Names in any letter case, blanks allowed before the
// colon; a NUL or a stray CR counts as the blank the proxies send upstream
// in its place. Cannot fail.
bool request_line_private(const char *line, size_t length);

// True when the whole response response[0, length), status line first, may
// be stored and replayed to any browser, given whether its request carried
// credentials or forbade storing (request_private, from
// request_line_private). Looks at the status line and header block only:
//  - the status line is exactly "HTTP/" digit "." digit, one space and three
//    digits from the first byte, and the code one a cache may reuse without
//    being told: 200, 203, 204, 300, 301, 308, 404, 405, 410, 414, 501;
//  - every header line has a colon and does not start with a blank, and the
//    block holds no NUL and no CR but before an LF, and ends with an empty
//    line;
//  - no Set-Cookie, no Transfer-Encoding, a Content-Encoding of identity
//    only, a Vary naming nothing but Accept-Encoding;
//  - no Cache-Control no-store, private, no-cache, max-age=0 or s-maxage=0,
//    no Pragma no-cache, and, unless a max-age or s-maxage says how long it
//    stays fresh, no Expires but an HTTP date later than the Date line's.
// False whenever in doubt. Cannot fail.
bool response_cacheable(const char *response, size_t length, bool request_private);

#endif  // ROBIX_CACHEABLE_H
