// Input expansion and failure reports for the fuzz targets.
#include "report.h"

#include <stdio.h>
#include <stdlib.h>

void expand_input_into(const uint8_t *data, size_t size, size_t cap, std::string &out,
                       size_t unit) {
    out.clear();
    for (size_t i = 0; i < size && out.size() < cap; i++) {
        if (data[i] == 0xFF && i + 2 < size) {
            out.append(((size_t)data[i + 1] + 1) * unit, (char)data[i + 2]);
            i += 2;
        } else {
            out += (char)data[i];
        }
    }
    if (out.size() > cap) out.resize(cap);
}

std::string escaped(const std::string &bytes, size_t limit) {
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < limit; i++) {
        unsigned char c = (unsigned char)bytes[i];
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c >= 32 && c < 127) {
            out += (char)c;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (bytes.size() > limit) out += "...(" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

void fuzz_fail(const char *what, const std::string &detail) {
    fprintf(stderr, "\n==== fuzz check failed: %s\n%s\n====\n", what, detail.c_str());
    abort();
}

