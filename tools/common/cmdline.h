// Number arguments of the test tools: a whole word must be the number, in range, or the
// tool refuses it (a typo never becomes 0).
#pragma once

#include <cerrno>
#include <cstdlib>

inline bool Cmdline_number(const char* s, double lo, double hi, double* out) {
    char* end;
    errno = 0;
    const double v = std::strtod(s, &end);
    if (end == s || *end || errno || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

// "a,b,c", and with ranges "a-b,c"; every value within lo..hi, at most max of them.
inline bool Cmdline_intList(const char* s, long lo, long hi, bool ranges, long* out, int max, int* n) {
    *n = 0;
    while (*s) {
        char* end;
        errno = 0;
        const long a = std::strtol(s, &end, 10);
        if (end == s || errno || a < lo || a > hi) return false;
        long b = a;
        if (ranges && *end == '-') {
            const char* t = end + 1;
            b = std::strtol(t, &end, 10);
            if (end == t || errno || b < a || b > hi) return false;
        }
        for (long v = a; v <= b; v++) {
            if (*n >= max) return false;
            out[(*n)++] = v;
        }
        if (*end == ',') end++;
        else if (*end) return false;
        s = end;
    }
    return *n > 0;
}
