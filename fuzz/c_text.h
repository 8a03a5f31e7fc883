// Text as the C library and the programs see it, written out by hand for the
// fuzz targets' models and checks. Inline, so that each target compiles them
// with its own flags (the in-process targets keep their checks' code out of
// the coverage feedback).
#ifndef FUZZ_C_TEXT_H
#define FUZZ_C_TEXT_H

#include <ctype.h>
#include <limits.h>
#include <stddef.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

// isspace() in the C locale.
inline bool c_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A blank inside a header line.
inline bool c_blank(char c) { return c == ' ' || c == '\t'; }

// The bytes up to the first NUL, as a C string holds them.
inline std::string c_string(const std::string &bytes) {
    size_t nul = bytes.find('\0');
    return nul == std::string::npos ? bytes : bytes.substr(0, nul);
}

// strtol() from s[*i]: white space, a sign, one or more digits, saturated to
// a long; *i is left after the digits. False (and *i past the white space
// and sign) when no digit comes.
inline bool c_strtol(const std::string &s, size_t *i, long *out) {
    while (*i < s.size() && c_space((unsigned char)s[*i])) ++*i;
    bool negative = false;
    if (*i < s.size() && (s[*i] == '+' || s[*i] == '-')) negative = s[(*i)++] == '-';
    const unsigned long long limit = (unsigned long long)LONG_MAX + 1;
    unsigned long long value = 0;
    size_t start = *i;
    for (; *i < s.size() && s[*i] >= '0' && s[*i] <= '9'; ++*i) {
        unsigned long long digit = (unsigned long long)(s[*i] - '0');
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    if (*i == start) return false;
    if (negative) {
        *out = value >= limit ? LONG_MIN : -(long)value;
    } else {
        *out = value > (unsigned long long)LONG_MAX ? LONG_MAX : (long)value;
    }
    return true;
}

// The first three white-space-separated words, fewer when the text has fewer.
inline std::vector<std::string> c_words(const std::string &text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (out.size() < 3) {
        while (i < text.size() && c_space((unsigned char)text[i])) i++;
        if (i == text.size()) break;
        size_t start = i;
        while (i < text.size() && !c_space((unsigned char)text[i])) i++;
        out.push_back(text.substr(start, i - start));
    }
    return out;
}

// The lines of `text`, each with its LF; a last one without.
inline std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < text.size();) {
        size_t nl = text.find('\n', i);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(i, end - i));
        i = end;
    }
    return lines;
}

// The same text, letter case aside.
inline bool same_caseless(const std::string &a, const std::string &b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// One or more decimal digits, and nothing else.
inline bool all_digits(const std::string &text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// The position after `name` (in any letter case), optional blanks and a
// colon at the start of a header line, or npos.
inline size_t header_value_at(const std::string &line, const char *name) {
    size_t len = strlen(name);
    if (line.size() < len || strncasecmp(line.c_str(), name, len) != 0) return std::string::npos;
    size_t i = len;
    while (i < line.size() && c_blank(line[i])) i++;
    return i < line.size() && line[i] == ':' ? i + 1 : std::string::npos;
}

// A header line's value, after the first colon at or after `from`, without
// the blanks before it and the white space (line end included) after it.
inline std::string header_value(const std::string &line, size_t from) {
    size_t at = line.find(':', from) + 1, to = line.size();
    while (at < to && c_blank(line[at])) at++;
    while (to > at && c_space((unsigned char)line[to - 1])) to--;
    return line.substr(at, to - at);
}

// Whether a request line's URL word (its second word) is a scheme of
// letters, digits, "+", "-" and ".", then "://" and at least one more byte.
inline bool absolute_url_word(const std::string &line) {
    size_t i = 0;
    while (i < line.size() && c_space((unsigned char)line[i])) i++;
    while (i < line.size() && !c_space((unsigned char)line[i])) i++;
    while (i < line.size() && c_space((unsigned char)line[i])) i++;
    size_t scheme = i;
    while (i < line.size() && (isalnum((unsigned char)line[i]) || line[i] == '+' ||
                               line[i] == '-' || line[i] == '.')) {
        i++;
    }
    return i > scheme && line.compare(i, 3, "://") == 0 && i + 3 < line.size() &&
           !c_space((unsigned char)line[i + 3]);
}

// What is wrong with bytes meant to go out as CR LF lines: a NUL, a CR not
// before a LF, or a LF not after a CR; nullptr when none of these is.
inline const char *crlf_fault(const std::string &s) {
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\0') return "a NUL goes upstream";
        if (s[i] == '\r' && (i + 1 == s.size() || s[i + 1] != '\n')) {
            return "a CR goes upstream not before a LF";
        }
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) return "an upstream line ends without CR LF";
    }
    return nullptr;
}

// A name a resolver could answer: 1 to 253 letters, digits, '.', '-', '_'.
inline bool host_name_like(const std::string &name) {
    if (name.empty() || name.size() > 253) return false;
    for (unsigned char c : name) {
        if (!isalnum(c) && c != '.' && c != '-' && c != '_') return false;
    }
    return true;
}

#endif  // FUZZ_C_TEXT_H
