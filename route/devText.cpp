#include "route/devText.h"

#include "engine/Msg.h"
#include "engine/VelunorTypes.h"
#include "platform/net.h"

#include <cstdarg>
#include <climits>
#include <cstdlib>
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

// ---------------------------------------------------------------------------------
// Readers and writers

void Route_reply(const RouteReq& rq, bool succ, const char* reason) {
    Msg_routeReply(rq.sock, rq.addr, rq.port, rq.text, rq.cap, succ, reason);
}

bool Route_getStr(const char* scope, const char* key, char* out, size_t cap) {
    int type = MSG_JSON_NONE;
    int st = Msg_readValue(scope, key, out, cap, &type);
    if (st != MSG_OK || (type != MSG_JSON_STRING && type != MSG_JSON_NUMBER)) {
        if (cap)
            out[0] = '\0';
        Msg_setErrorKey(key);
        return false;
    }
    return true;
}

// A well-formed integer too large for 64 bits: it is out of every range, not malformed.
static bool overflowed(const char* t, int64_t* out) {
    bool neg = *t == '-';
    if (*t == '-' || *t == '+')
        t++;
    unsigned base = 10;
    if (t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t += 2;
    } else if (t[0] == '0' && t[1]) {
        base = 8;
        t++;
    }
    if (!*t)
        return false;
    for (; *t; t++) {
        char c = *t;
        unsigned d = (c >= '0' && c <= '9')   ? unsigned(c - '0')
                     : (c >= 'a' && c <= 'f') ? unsigned(c - 'a' + 10)
                     : (c >= 'A' && c <= 'F') ? unsigned(c - 'A' + 10)
                                              : 99u;
        if (d >= base)
            return false;
    }
    *out = neg ? INT64_MIN : INT64_MAX;
    return true;
}

bool Route_getInt(const char* scope, const char* key, int64_t* out) {
    char buf[ROUTE_TEXT_MAX];
    if (!Route_getStr(scope, key, buf, sizeof buf))
        return false;
    if (!Msg_parseInt(buf, out) && !overflowed(buf, out)) {
        Msg_setErrorKey(key);
        return false;
    }
    return true;
}

bool Route_readSdp(const char* scope, sdpInfo* out) {
    std::memset(out, 0, sizeof *out);
    const char* obj = nullptr;
    int type = MSG_JSON_NONE;
    const char* end = nullptr;
    if (Msg_findKey(scope, "sdp", &obj) != MSG_OK || Msg_valueExtent(obj, &end, &type) != MSG_OK ||
        type != MSG_JSON_OBJECT) {
        Msg_setErrorKey("sdp");
        return false;
    }
    char src[64], dst[64];
    int64_t port = 0, ch = 0, sbn = 0, ts = 0;
    if (!Route_getStr(obj, "srcIp", src, sizeof src) || !Route_getStr(obj, "dstIp", dst, sizeof dst) ||
        !Route_getInt(obj, "dstPort", &port) || !Route_getInt(obj, "chNum", &ch) ||
        !Route_getInt(obj, "sampleByteNum", &sbn) || !Route_getInt(obj, "rtpTsOffset", &ts))
        return false;
    out->srcIp = Net_parseIp(src);
    out->dstIp = Net_parseIp(dst);
    // Values outside a field are refused, not wrapped: "264" channels must not become 8.
    bool ok = port >= 0 && port <= 0xFFFF && ch >= 0 && ch <= 0xFF && sbn >= 0 && sbn <= 0xFF &&
              ts >= INT32_MIN && ts <= int64_t(UINT32_MAX);
    out->dstPort = uint16_t(port);
    out->chNum = ok ? uint8_t(ch) : 0;
    out->sampleByteNum = uint8_t(sbn);
    out->rtpTsOffset = uint32_t(ts);
    return true;
}

int Route_readIntList(const char* scope, const char* key, int32_t* out, int cap) {
    const char* cur = nullptr;
    int n = Msg_readArray(scope, key, &cur);
    if (n < 0) {
        Msg_setErrorKey(key);
        return n;
    }
    char buf[64];
    for (int i = 0; i < n; i++) {
        int type = MSG_JSON_NONE;
        int64_t v = 0;
        if (Msg_readValue(cur, nullptr, buf, sizeof buf, &type) != MSG_OK ||
            (type != MSG_JSON_STRING && type != MSG_JSON_NUMBER) || !Msg_parseInt(buf, &v) || v < INT32_MIN ||
            v > INT32_MAX)
            return MSG_ERR_MALFORMED;
        if (i < cap)
            out[i] = int32_t(v);
        if (i + 1 < n && Msg_nextElement(&cur) != MSG_OK)
            return MSG_ERR_MALFORMED;
    }
    return n;
}

bool Route_appendInt(char* text, size_t cap, const char* name, long long v) {
    char b[24];
    std::snprintf(b, sizeof b, "%lld", v);
    return Msg_appendMember(text, cap, name, b);
}

bool Route_appendIp(char* text, size_t cap, const char* name, uint32_t ip) {
    char b[16];
    Net_formatIp(ip, b, sizeof b);
    return Msg_appendMember(text, cap, name, b);
}

bool Route_appendSdp(char* text, size_t cap, const sdpInfo& s) {
    char src[16], dst[16];
    Net_formatIp(s.srcIp, src, sizeof src);
    Net_formatIp(s.dstIp, dst, sizeof dst);
    return Msg_appendf(text, cap,
                       "\"sdp\":{\"srcIp\":\"%s\",\"dstIp\":\"%s\",\"dstPort\":\"%u\",\"chNum\":\"%u\","
                       "\"sampleByteNum\":\"%u\",\"rtpTsOffset\":\"%u\"},",
                       src, dst, unsigned(s.dstPort), unsigned(s.chNum), unsigned(s.sampleByteNum),
                       unsigned(s.rtpTsOffset));
}

bool Route_appendIntArr(char* text, size_t cap, const char* name, const int32_t* v, int n) {
    size_t mark = std::strlen(text);
    bool ok = Msg_appendf(text, cap, "\"%s\":[", name);
    for (int i = 0; ok && i < n; i++)
        ok = Msg_appendf(text, cap, "\"%d\",", int(v[i]));
    if (ok && n > 0)
        text[std::strlen(text) - 1] = '\0'; // drop the last element's comma
    ok = ok && Msg_appendf(text, cap, "],");
    if (!ok)
        text[mark] = '\0';
    return ok;
}

// ---------------------------------------------------------------------------------
// Rules

int Route_udpLimit(int sampleByteNum, int pFrameNum) {
    if (sampleByteNum <= 0 || pFrameNum <= 0)
        return 1;
    return 1400 / (sampleByteNum * pFrameNum);
}

bool Route_sdpEqual(const sdpInfo& a, const sdpInfo& b) {
    return a.srcIp == b.srcIp && a.dstIp == b.dstIp && a.dstPort == b.dstPort && a.chNum == b.chNum &&
           a.sampleByteNum == b.sampleByteNum && a.rtpTsOffset == b.rtpTsOffset;
}
