#include "route/devText.h"

#include "engine/VelunorTypes.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

static void put(DevText* t, const char* s, size_t n) {
    if (!t->ok) return;
    if (t->len + n + 1 > t->cap) {
        t->ok = false;
        if (t->cap) t->buf[t->len < t->cap ? t->len : t->cap - 1] = 0;
        return;
    }
    std::memcpy(t->buf + t->len, s, n);
    t->len += n;
    t->buf[t->len] = 0;
}

static void putc1(DevText* t, char c) { put(t, &c, 1); }

void DevText_begin(DevText* t) {
    t->len = 0;
    t->ok = t->cap > 1;
    if (t->cap) t->buf[0] = 0;
    put(t, "{", 1);
}

void DevText_raw(DevText* t, const char* s) { put(t, s, std::strlen(s)); }

static void putName(DevText* t, const char* name) {
    if (!name) return;
    putc1(t, '"');
    DevText_raw(t, name);
    put(t, "\":", 2);
}

void DevText_str(DevText* t, const char* name, const char* value) {
    putName(t, name);
    putc1(t, '"');
    const char* run = value;
    for (const char* p = value;; p++) {
        unsigned char c = (unsigned char)*p;
        const char* esc = nullptr;
        switch (c) {
        case '\b': esc = "\\b"; break;
        case '\t': esc = "\\t"; break;
        case '\n': esc = "\\n"; break;
        case '\f': esc = "\\f"; break;
        case '\r': esc = "\\r"; break;
        case '"': esc = "\\\""; break;
        case '\\': esc = "\\\\"; break;
        default:
            if (c != 0 && c < 32) esc = t->fileSafe ? "?" : "\\?";
        }
        if (c == 0 || esc) {
            put(t, run, size_t(p - run));
            run = p + 1;
        }
        if (c == 0) break;
        if (esc) DevText_raw(t, esc);
    }
    put(t, "\",", 2);
}

void DevText_fmt(DevText* t, const char* name, const char* fmt, ...) {
    char v[64];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(v, sizeof v, fmt, ap);
    va_end(ap);
    if (n < 0 || size_t(n) >= sizeof v) {
        t->ok = false;
        return;
    }
    putName(t, name);
    putc1(t, '"');
    put(t, v, size_t(n));
    put(t, "\",", 2);
}

// Decimal digits of v at the end of a 24-byte buffer; returns the first digit.
static char* digits(char* end, unsigned long long v) {
    do {
        *--end = char('0' + v % 10);
        v /= 10;
    } while (v);
    return end;
}

// Numbers are written without printf: the engine synchronisation writes hundreds per cycle.
static void putNumber(DevText* t, const char* name, unsigned long long mag, bool neg) {
    char b[24];
    char* p = digits(b + sizeof b, mag);
    if (neg) *--p = '-';
    putName(t, name);
    putc1(t, '"');
    put(t, p, size_t(b + sizeof b - p));
    put(t, "\",", 2);
}

void DevText_int(DevText* t, const char* name, long long v) {
    putNumber(t, name, v < 0 ? 0ull - (unsigned long long)v : (unsigned long long)v, v < 0);
}
void DevText_uint(DevText* t, const char* name, unsigned long v) { putNumber(t, name, v, false); }

void DevText_ip(DevText* t, const char* name, uint32_t ip) {
    DevText_fmt(t, name, "%u.%u.%u.%u", (ip >> 24) & 255, (ip >> 16) & 255, (ip >> 8) & 255, ip & 255);
}

void DevText_arrBegin(DevText* t, const char* name) {
    putName(t, name);
    putc1(t, '[');
}

static void closeWith(DevText* t, char c) {
    if (!t->ok) return;
    if (t->len > 0 && t->buf[t->len - 1] == ',')
        t->buf[t->len - 1] = c;
    else
        putc1(t, c);
}

void DevText_arrEnd(DevText* t) {
    closeWith(t, ']');
    putc1(t, ',');
}

void DevText_end(DevText* t) { closeWith(t, '}'); }

void DevText_cut(char* dst, size_t cap, const char* src) {
    if (cap == 0) return;
    size_t n = std::strlen(src);
    if (n >= cap) {
        n = cap - 1;
        // A cut inside a UTF-8 sequence drops the whole sequence.
        while (n > 0 && ((unsigned char)src[n] & 0xC0) == 0x80) n--;
    }
    std::memmove(dst, src, n);
    dst[n] = 0;
}

void DevText_sdp(DevText* t, const sdpInfo& s) {
    DevText_raw(t, "\"sdp\":{");
    DevText_ip(t, "srcIp", s.srcIp);
    DevText_ip(t, "dstIp", s.dstIp);
    DevText_int(t, "dstPort", s.dstPort);
    DevText_int(t, "chNum", s.chNum);
    DevText_int(t, "sampleByteNum", s.sampleByteNum);
    DevText_uint(t, "rtpTsOffset", s.rtpTsOffset);
    DevText_end(t);
    DevText_raw(t, ",");
}

void DevText_intArr(DevText* t, const char* name, const int32_t* v, int n) {
    DevText_arrBegin(t, name);
    for (int i = 0; i < n; i++) DevText_int(t, nullptr, v[i]);
    DevText_arrEnd(t);
}
