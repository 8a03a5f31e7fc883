// The world around one proxy connection handler, for the request fuzzers: a
// browser on one end of a socketpair, an origin listening on 127.0.0.1, and
// stand-ins for the resolver and connect() that the programs' sources are
// compiled against (their calls are renamed to the fuzz_* functions below by
// macros in the fuzzer's translation units). No name is ever looked up for
// real and no connection leaves 127.0.0.1. Used from one thread at a time
// (the fuzzer's), besides the handler thread that run_exchange starts.
#ifndef FUZZ_LOOPBACK_H
#define FUZZ_LOOPBACK_H

#include <netdb.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "report.h"

// ---- Stand-ins, called by the program's code instead of the real ones ----
extern "C" struct hostent *fuzz_gethostbyname(const char *name);
extern "C" int fuzz_gethostbyname_r(const char *name, struct hostent *ret, char *buf,
                                    size_t buflen, struct hostent **result, int *h_errnop);
extern "C" int fuzz_connect(int fd, const struct sockaddr *addr, socklen_t len);
extern "C" int fuzz_socket(int domain, int type, int protocol);

// How the stand-in resolver answers a name: with 127.0.0.1, with an entry
// that holds no address, or not at all. A name resolves when it looks like a
// host name (1 to 253 letters, digits, '.', '-', '_'), as a working DNS would
// answer it, unless it starts with "nx" (a name that does not exist) or
// "noaddr" (an entry without addresses). Anything else (blanks, controls,
// bytes above 127, slashes) is not found, as a real resolver would refuse it.
enum lookup_answer_t { LOOKUP_ADDRESS, LOOKUP_NO_ADDRESS, LOOKUP_NOT_FOUND };
lookup_answer_t lookup_answer(const std::string &name);

// What the origin answers, chosen by the fuzz input.
enum origin_kind_t {
    ORIGIN_SMALL,      // a short 200 response
    ORIGIN_EMPTY,      // closes without a byte
    ORIGIN_BINARY,     // short, with NUL bytes, bare CRs and a body without line end
    ORIGIN_LONGLINES,  // lines of up to 20000 bytes, a cookie the shared rule refuses
    ORIGIN_94208,      // 94208 bytes in lines of 128
    ORIGIN_102399,
    ORIGIN_102400,
    ORIGIN_102401,
    ORIGIN_KINDS
};
// The bytes of that response; the same every time.
const std::string &origin_response(origin_kind_t kind);

// One browser connection served by the handler under test.
struct exchange_t {
    // ---- set by the caller ----
    std::string browser_sends;  // written, then the browser's sending side is shut
    bool browser_vanishes = false;  // the browser closes as soon as it has sent
    bool refuse_connect = false;    // connect() to the origin fails (ECONNREFUSED)
    origin_kind_t origin = ORIGIN_SMALL;
    // The exact request the origin should receive; the origin answers once
    // it has this many bytes (or they stop matching).
    std::string expect_upstream;

    // ---- results ----
    std::string browser_got;                // every byte the browser received
    std::vector<std::string> origin_got;    // per accepted origin connection
    std::vector<std::string> lookups;       // names asked of the resolver
    std::vector<int> connect_ports;         // port of each connect() the program made
    std::vector<std::pair<int, ino_t>> program_fds;  // sockets the program made
    bool connect_address_ok = true;         // every connect() went to the resolver's answer
};

// Binds the origin listener on 127.0.0.1 (ephemeral port) and ignores
// SIGPIPE. Ends the process when it cannot. Call once, before anything else.
void loopback_init(void);

// Runs `serve(fd)` on a new joinable thread for the handler's end `fd` of a
// fresh socketpair, plays browser and origin until both connections are over
// (at most a few seconds, else a hang is reported), and joins the thread.
// Checks that the handler closed the connection it was given and every
// socket it made.
// Aborts with a message on a hang, a leak or a failure of the harness.
void run_exchange(void (*serve)(int fd), exchange_t &x);

#endif  // FUZZ_LOOPBACK_H
