// stageproxy's request decisions, apart from the connection thread: the
// request line's URL, the URL taken apart, the upstream request line, the
// header block rewritten one read at a time, and whether a response's bytes
// may be stored. No function here reads, writes, prints or takes a lock; the
// stages of proxy.cpp do the I/O around them, so what goes upstream and what
// is stored depends only on the bytes, never on how they arrived.
#ifndef STAGEPROXY_REQUEST_H
#define STAGEPROXY_REQUEST_H

#include "cache.h"

// Size of every line buffer: one read yields at most 8191 bytes and a NUL.
constexpr int MAXLINE = 8192;
// The upstream request line: "GET ", a path of up to MAXLINE - 1 characters,
// " HTTP/1.0\r\n" and a NUL. A request line near the read limit can carry a
// path longer than a line buffer would leave room for.
constexpr int REQUEST_SIZE = 4 + MAXLINE + 12;
// What one header read can turn into upstream: the read, a CR held back from
// the read before, an added CR; or a Host line naming a URL's host (at most
// MAXLINE - 8 bytes), a colon and a port of up to five digits.
constexpr int HEADER_OUT_SIZE = MAXLINE + 8;

enum requestLineVerdict {
    REQUEST_GET,           // a whole GET line (any letter case) with an absolute http URL
    REQUEST_NOT_GET,       // a whole line (or none at all) with another method
    REQUEST_LINE_CUT,      // no line end within the read: too long, or the stream ended
    REQUEST_NOT_ABSOLUTE,  // a whole GET line whose URL does not start with http://
};

// Judges one read of the request line, line[0, length) with line[length] a
// NUL, and copies its second word, the URL, into url (MAXLINE bytes). Words
// end at white space and at the first NUL byte, since the line is taken as
// text. A read of 0 bytes is an empty line. The URL must begin with http://
// in any letter case: what a proxy sends upstream is in origin form, so a
// request without it came from a proxy or a forward pointed at this one, and
// fetching it again could bounce between them for ever. Cannot fail.
requestLineVerdict judgeRequestLine(const char *line, int length, char *url);

// Takes url apart: the host from its eighth character up to a '/' or ':',
// the port after a ':' (80 without one; atoi, no range check; *customPort
// set), and the path from the first '/' after the host ("/" when there is
// none). domain and path hold MAXLINE bytes each. false, with nothing filled
// in but *port and *customPort, for a URL of 6 characters or less.
bool splitUrl(const char *url, char *domain, char *path, int *port, bool *customPort);

// The port a connection to port reaches: its low 16 bits (what the socket
// address keeps).
int connectedPort(int port);

// Writes what the upstream Host line names into hostPort (MAXLINE + 8
// bytes): domain, then ":" and the port connected in decimal unless it is 80.
// Origins build links and redirects from Host, so the port must be in it.
// Cannot fail.
void upstreamHost(const char *domain, int port, char *hostPort);

// Writes "Host: " hostPort CR LF into out (HEADER_OUT_SIZE bytes): the Host
// line that goes upstream after the request line when the browser sent none.
// Its length; 0 should it not fit (a URL under MAXLINE characters always does).
int addedHostLine(const char *hostPort, char *out);

// Writes "GET " path " HTTP/1.0\r\n" and a NUL into request (REQUEST_SIZE
// bytes): its length, or -1 should it not fit (a path of a URL of under
// MAXLINE characters always does).
int initialRequest(const char *path, char *request);

// The header block relayed one read at a time. A line longer than one read
// comes as several reads; only the first carries its name and only the last
// its line end, so a line end split from its line never counts as the blank
// line.
struct headerRelay {
    const char *domain = nullptr;    // the URL's host: a Host line naming it and port stays
    int port = 80;                   // the port connected (connectedPort)
    const char *hostPort = nullptr;  // what replaces a Host line naming another
    bool lineStart = true;  // the next read begins a line
    bool skipLine = false;  // the line being read was dropped or replaced
    bool heldCr = false;    // the last read ended in a CR that its LF may follow
    bool hostSent = false;  // a Host line went upstream (or was added): any other is dropped
    bool requestPrivate = false;  // a line made the answer this browser's own
                                  // (request_line_private): it is not stored
};

enum headerVerdict {
    HEADER_MORE,  // send out, then read on
    HEADER_END,   // send out, the block's last bytes; read nothing more
    HEADER_BODY,  // a body is announced, or a line is folded: send nothing, the
                  // block must not end
};

// Turns one read of the browser's header block, buffer[0, length) with
// length > 0, into the bytes that go upstream, out[0, *outLength) (out holds
// HEADER_OUT_SIZE bytes; *outLength may be 0). The block ends at the first
// line that is exactly CR LF or exactly LF, which goes as CR LF. By header
// name, in any case: Keep-Alive is dropped, Proxy-Connection and Connection
// are replaced by their "close" forms, a Host naming another host or port
// than domain and port (no port is 80) by "Host: " hostPort, and every Host
// after the first is dropped, so that one site alone answers; the later
// reads of a line follow its first. Credentials or a Cache-Control no-store
// set requestPrivate (as does a Cache-Control line longer than one read, whose
// rest is not seen). The caller adds a Host line after the request line
// when none was sent (hostSent still false).
// Every line sent ends in CR LF; a NUL, or a CR anywhere but before the LF,
// goes as a space. A Content-Length other than 0 or any Transfer-Encoding
// announces a body, which is never forwarded. Cannot fail.
headerVerdict relayHeaderRead(headerRelay *relay, const char *buffer, int length, char *out,
                              int *outLength);

// A copy of a response as it is relayed, for the storing decision.
struct responseCopy {
    int total = 0;           // bytes of the response so far that page holds
    bool tooLarge = false;   // the response grew past MAX_OBJECT_SIZE: page is stale
    char page[MAX_OBJECT_SIZE + 1];  // page[0, total): the response, while !tooLarge
};

// Adds the response's next length bytes to copy; once the response exceeds
// MAX_OBJECT_SIZE bytes, nothing more is kept. Cannot fail.
void responseCopyAdd(responseCopy *copy, const char *bytes, int length);

enum storeVerdict {
    STORE_WHOLE,      // store it
    STORE_TOO_LARGE,  // over MAX_OBJECT_SIZE: not stored, and said so
    STORE_NOT_WHOLE,  // cut, empty, or not for every browser: not stored, nothing said
};

// Whether the response whose bytes copy holds may be stored, given whether
// its request made it the browser's own (headerRelay::requestPrivate): size
// first, then completeness, then what a cache shared by every browser may
// replay (response_cacheable: no cookie, no credentials, no encoding, no
// moment such as a redirect or an error, nothing malformed).
storeVerdict storeDecision(const responseCopy *copy, bool requestPrivate);

// True when page[0, total) is a whole response: not empty, its header block
// ended (by an empty line, CR LF or LF), and a body as long as every
// Content-Length it declares. A cut response stored would be served cut for
// good.
bool completeResponse(const char *page, int total);

#endif  // STAGEPROXY_REQUEST_H
