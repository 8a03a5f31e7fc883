// Fuzzes the buffered line reader against a model of its contract. The input
// chooses maxlen, the sizes of the short reads the descriptor returns (with
// EINTR and a failure mixed in), and the stream's bytes. Every result is
// checked: lines end at a newline or after maxlen - 1 bytes, NUL bytes count,
// end of file leaves the destination untouched, nothing is lost or repeated.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "robix.h"

namespace {

constexpr int FUZZ_FD = 1000;  // never a real descriptor in this process

struct script_t {
    const uint8_t *data = nullptr;
    size_t size = 0, pos = 0;  // stream bytes not yet delivered: [pos, size)
    std::vector<uint8_t> steps;  // per read: 0 = EINTR, 255 = EIO, else max bytes
    size_t step = 0;
    bool failed = false;  // the scripted EIO happened on the last read
};

script_t script;

}  // namespace

// robix.cpp is compiled with read renamed to this, so every refill comes here.
extern "C" ssize_t fuzz_read(int fd, void *buf, size_t n) {
    if (fd != FUZZ_FD) {
        errno = EBADF;
        return -1;
    }
    uint8_t s = script.steps.empty() ? 200 : script.steps[script.step++ % script.steps.size()];
    script.failed = false;
    if (s == 0) {
        errno = EINTR;
        return -1;
    }
    if (s == 255) {
        script.failed = true;
        errno = EIO;
        return -1;
    }
    size_t left = script.size - script.pos;
    size_t k = s;
    if (k > n) k = n;
    if (k > left) k = left;
    memcpy(buf, script.data + script.pos, k);
    script.pos += k;
    return (ssize_t)k;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    size_t maxlen = 2 + data[0] % 64;   // small limits reach the cut-off case
    if (data[0] & 0x80) maxlen = 8192;  // and the programs' own limit
    size_t nsteps = 1 + data[1] % 16;
    if (size < 2 + nsteps) return 0;
    script = script_t();
    script.steps.assign(data + 2, data + 2 + nsteps);
    // Every step pattern must make progress, else the model never ends.
    bool progress = false;
    for (uint8_t s : script.steps) progress |= (s != 0 && s != 255);
    if (!progress) script.steps.push_back(1);
    script.data = data + 2 + nsteps;
    script.size = size - 2 - nsteps;

    rio_t rio;
    rio_readinitb(&rio, FUZZ_FD);
    std::string got;  // every byte handed out, in order
    std::vector<char> buf(maxlen + 1);
    for (int calls = 0; calls < 100000; calls++) {
        const char canary = '\x5a';
        memset(buf.data(), canary, buf.size());
        ssize_t n = rio_readlineb(&rio, buf.data(), maxlen);
        if (buf[maxlen] != canary) __builtin_trap();  // wrote past maxlen
        if (n < 0) {
            if (!script.failed) __builtin_trap();  // only the scripted EIO fails
            // The bytes of the unfinished line are not reported; they sit in
            // usrbuf unterminated and are gone from the stream.
            size_t lost = script.pos - got.size();
            if (lost > maxlen - 1) __builtin_trap();
            if (memcmp(buf.data(), script.data + got.size(), lost) != 0) __builtin_trap();
            got.append((const char *)script.data + got.size(), lost);
            continue;  // the record stays usable: the next call reads again
        }
        if (n == 0) {
            if (buf[0] != canary) __builtin_trap();  // EOF must not touch usrbuf
            break;
        }
        if ((size_t)n > maxlen - 1 || buf[n] != '\0') __builtin_trap();
        const char *nl = (const char *)memchr(buf.data(), '\n', (size_t)n);
        // A newline may only be the last byte; a line without one is either
        // full (maxlen - 1 bytes) or the last of the stream.
        if (nl != nullptr && nl != buf.data() + n - 1) __builtin_trap();
        if (nl == nullptr && (size_t)n != maxlen - 1 && script.pos != script.size) __builtin_trap();
        got.append(buf.data(), (size_t)n);
    }
    if (got.size() != script.size || memcmp(got.data(), script.data, script.size) != 0) {
        __builtin_trap();  // bytes lost, repeated or reordered
    }
    return 0;
}
