// Control message envelope and in-place JSON field access.
//
// The route layer keeps no document model: it reads members straight out of the
// received text and writes replies by appending to text. Everything here walks
// NUL-terminated text one byte at a time and stops at the NUL, and every writer checks
// the room left before it touches the buffer, so no input can push a read or a write
// out of bounds.
//
// Readers and values that are not strings:
//   - A bare number (a run starting with a digit, "-" or ".", continuing with
//     letters, digits, ".", "+" and "-") is accepted as a value of type
//     MSG_JSON_NUMBER and read as the text it is; the engine reads its keys "quoted or
//     bare" and converts with base detection, so bare 0x10 is read as "0x10".
//   - true, false and null are accepted with their own types and read as their
//     literal text; Msg_getStr and Msg_getInt refuse them (-3, wrong type).
//   - A bare number or literal must be followed by a blank, ",", "]", "}", ":" or the
//     end of the text; "12ab" or "truex" is malformed (-3), never read as a prefix.
//   - Objects and arrays read with Msg_readValue are copied as raw text.
//   - A value that does not fit the caller's output is -3 and the output is left
//     empty: a cut value is never handed on as if it were the member.
//   - Nesting is followed up to MSG_MAX_DEPTH levels with bracket kinds matched;
//     deeper or mismatched nesting is malformed (-3).
#include "engine/Msg.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/kmodule_device.h"
#include "platform/net.h"

char g_msgLastError[MSG_LAST_ERROR_SIZE];
char g_koReq[MSG_KO_REQ_SIZE];

// ---------------------------------------------------------------------------------
// Writers

// Length of text within cap; cap when there is no NUL inside it (unusable text).
static size_t textLen(const char* text, size_t cap) {
    if (!text) return cap;
    const void* nul = std::memchr(text, '\0', cap);
    return nul ? size_t(static_cast<const char*>(nul) - text) : cap;
}

// Appends s quoted and escaped at text[*len]; false when it does not fit (text is then
// restored by the caller from the saved length).
static bool putEscaped(char* text, size_t cap, size_t* len, const char* s) {
    size_t n = *len;
    auto put = [&](char c) {
        if (n + 1 >= cap) return false; // room for c and the NUL
        text[n++] = c;
        return true;
    };
    if (!put('"')) return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s ? s : ""); *p; p++) {
        char esc = 0;
        switch (*p) {
        case '\b': esc = 'b'; break;
        case '\t': esc = 't'; break;
        case '\n': esc = 'n'; break;
        case '\f': esc = 'f'; break;
        case '\r': esc = 'r'; break;
        case '"': esc = '"'; break;
        case '\\': esc = '\\'; break;
        default: break;
        }
        if (esc) {
            if (!put('\\') || !put(esc)) return false;
        } else if (*p < 0x20) {
            // Other control bytes become a plain "?": a backslash before it would be an
            // escape no JSON reader (ours included) accepts, losing the whole member.
            if (!put('?')) return false;
        } else if (!put(char(*p))) {
            return false;
        }
    }
    if (!put('"')) return false;
    text[n] = '\0';
    *len = n;
    return true;
}

static bool putRaw(char* text, size_t cap, size_t* len, const char* s, size_t n) {
    if (*len + n + 1 > cap) return false;
    std::memcpy(text + *len, s, n);
    *len += n;
    text[*len] = '\0';
    return true;
}

int Msg_formatInt(long long v, char* out) {
    char t[24];
    int n = 0;
    // Through the unsigned magnitude, so the most negative value has one too.
    unsigned long long u = v < 0 ? 0ULL - (unsigned long long)v : (unsigned long long)v;
    do {
        t[n++] = char('0' + u % 10);
        u /= 10;
    } while (u);
    int len = 0;
    if (v < 0) out[len++] = '-';
    while (n) out[len++] = t[--n];
    out[len] = '\0';
    return len;
}

bool Msg_appendMember(char* text, size_t cap, const char* name, const char* value) {
    size_t len = textLen(text, cap);
    if (len >= cap) return false;
    size_t n = len;
    bool ok = (!name || (putEscaped(text, cap, &n, name) && putRaw(text, cap, &n, ":", 1))) &&
              putEscaped(text, cap, &n, value) && putRaw(text, cap, &n, ",", 1);
    if (!ok) text[len] = '\0';
    return ok;
}

bool Msg_appendRaw(char* text, size_t cap, const char* name, const char* raw) {
    size_t len = textLen(text, cap);
    if (len >= cap) return false;
    size_t n = len;
    const char* r = raw ? raw : "";
    bool ok = (!name || (putEscaped(text, cap, &n, name) && putRaw(text, cap, &n, ":", 1))) &&
              putRaw(text, cap, &n, r, std::strlen(r)) && putRaw(text, cap, &n, ",", 1);
    if (!ok) text[len] = '\0';
    return ok;
}

bool Msg_appendf(char* text, size_t cap, const char* fmt, ...) {
    size_t len = textLen(text, cap);
    if (len >= cap) return false;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(text + len, cap - len, fmt, ap);
    va_end(ap);
    if (n < 0 || size_t(n) >= cap - len) {
        text[len] = '\0';
        return false;
    }
    return true;
}

bool Msg_closeObject(char* text, size_t cap) {
    size_t len = textLen(text, cap);
    if (len >= cap) return false;
    if (len > 0 && text[len - 1] == ',') {
        text[len - 1] = '}';
        return true;
    }
    return putRaw(text, cap, &len, "}", 1);
}

// ---------------------------------------------------------------------------------
// Readers

static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
static bool isDigit(char c) { return c >= '0' && c <= '9'; }
static bool isAlnum(char c) { return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
static bool isNumberStart(char c) { return isDigit(c) || c == '-' || c == '.'; }
static bool isValueStart(char c) {
    return c == '"' || c == '{' || c == '[' || c == 't' || c == 'f' || c == 'n' || isNumberStart(c);
}
// What may follow a bare scalar.
static bool isDelimiter(char c) {
    return c == '\0' || isBlank(c) || c == ',' || c == ']' || c == '}' || c == ':';
}

static const char* skipWs(const char* p) {
    while (isBlank(*p)) p++;
    return p;
}

// p at an opening quote; returns one past the closing quote, or null when the text ends
// first. A backslash always takes the next byte with it, so a quote after an odd run of
// backslashes stays inside the string.
static const char* stringEnd(const char* p) {
    for (p++;;) {
        p += std::strcspn(p, "\"\\"); // plain text in one library scan, not byte by byte
        if (*p == '"') return p + 1;
        if (!*p || !p[1]) return nullptr;
        p += 2;
    }
}

// The next byte that can change a scanner's state (a quote or a bracket), or the end.
static const char* nextSpecial(const char* p) { return p + std::strcspn(p, "\"{}[]"); }

// p at "{" or "["; returns one past the matching close, or null when malformed.
// One step of the nesting count shared by the scanners: an opening bracket goes one
// level down (at most MSG_MAX_DEPTH), a closing one must match the kind it closes.
// kinds has bit d set when level d is an array.
enum { BRACKET_NONE = 0, BRACKET_BAD = -1, BRACKET_CLOSED = 1 };
static int bracketStep(char c, uint64_t* kinds, int* depth) {
    if (c == '{' || c == '[') {
        if (*depth >= MSG_MAX_DEPTH) return BRACKET_BAD;
        if (c == '[') *kinds |= uint64_t(1) << *depth;
        else *kinds &= ~(uint64_t(1) << *depth);
        ++*depth;
    } else if (c == '}' || c == ']') {
        if (*depth == 0) return BRACKET_BAD;
        --*depth;
        if (bool((*kinds >> *depth) & 1) != (c == ']')) return BRACKET_BAD;
        if (*depth == 0) return BRACKET_CLOSED;
    }
    return BRACKET_NONE;
}

static const char* compositeEnd(const char* p) {
    uint64_t kinds = 0; // bit d set: level d is an array
    int depth = 0;
    while (*(p = nextSpecial(p))) {
        char c = *p;
        if (c == '"') {
            p = stringEnd(p);
            if (!p) return nullptr;
            continue;
        }
        int step = bracketStep(c, &kinds, &depth);
        if (step == BRACKET_BAD) return nullptr;
        if (step == BRACKET_CLOSED) return p + 1;
        p++;
    }
    return nullptr;
}

int Msg_skipBlank(const char** p) {
    if (!p || !*p) return MSG_ERR_MALFORMED;
    const char* s = *p;
    while (isBlank(*s) || *s == ',') s++;
    *p = s;
    return isValueStart(*s) ? MSG_OK : MSG_ERR_MALFORMED;
}

int Msg_valueExtent(const char* start, const char** end, int* type) {
    int t = MSG_JSON_NONE;
    const char* e = nullptr;
    int st = MSG_OK;
    if (!start || !*start) {
        st = MSG_ERR_MALFORMED;
    } else if (*start == '"') {
        t = MSG_JSON_STRING;
        e = stringEnd(start);
    } else if (*start == '{' || *start == '[') {
        t = *start == '{' ? MSG_JSON_OBJECT : MSG_JSON_ARRAY;
        e = compositeEnd(start);
    } else if (isNumberStart(*start)) {
        t = MSG_JSON_NUMBER;
        e = start + 1;
        while (isAlnum(*e) || *e == '.' || *e == '+' || *e == '-') e++;
        if (!isDelimiter(*e)) e = nullptr;
    } else if (*start == 't' || *start == 'f' || *start == 'n') {
        static const struct { const char* word; int type; } lits[3] = {
            {"true", MSG_JSON_TRUE}, {"false", MSG_JSON_FALSE}, {"null", MSG_JSON_NULL}};
        for (const auto& l : lits) {
            size_t n = std::strlen(l.word);
            if (std::strncmp(start, l.word, n) == 0 && isDelimiter(start[n])) {
                t = l.type;
                e = start + n;
                break;
            }
        }
        if (!e) t = MSG_JSON_NONE;
    } else {
        st = MSG_ERR_START;
    }
    if (st == MSG_OK && !e) st = MSG_ERR_MALFORMED;
    if (st != MSG_OK) t = MSG_JSON_NONE;
    if (end) *end = st == MSG_OK ? e : start;
    if (type) *type = t;
    return st;
}

// Is the quoted name at p (opening quote) exactly key?
static bool nameIs(const char* p, const char* nameEnd, const char* key, size_t keyLen) {
    return size_t(nameEnd - p) == keyLen + 2 && std::memcmp(p + 1, key, keyLen) == 0;
}

int Msg_findKey(const char* scope, const char* key, const char** value) {
    if (value) *value = nullptr;
    if (!scope || !key) return MSG_ERR_MALFORMED;
    const char* p = skipWs(scope);
    if (*p != '{' && *p != '[') return MSG_ERR_MALFORMED;
    size_t keyLen = std::strlen(key);
    uint64_t kinds = 0;
    int depth = 0;
    while (*(p = nextSpecial(p))) {
        char c = *p;
        if (c == '"') {
            const char* e = stringEnd(p);
            if (!e) return MSG_ERR_MALFORMED;
            if (depth == 1 && nameIs(p, e, key, keyLen)) {
                const char* q = skipWs(e);
                if (*q == ':') {
                    if (value) *value = skipWs(q + 1);
                    return MSG_OK;
                }
            }
            p = e;
            continue;
        }
        int step = bracketStep(c, &kinds, &depth);
        if (step == BRACKET_BAD) return MSG_ERR_MALFORMED;
        if (step == BRACKET_CLOSED) return MSG_ERR_NOT_FOUND; // the scope closed
        p++;
    }
    return MSG_ERR_MALFORMED; // the scope never closed
}

// Copies the string [start, end) (quotes included) into out with escapes resolved.
static int unquote(const char* start, const char* end, char* out, size_t cap) {
    size_t n = 0;
    for (const char* p = start + 1; p < end - 1; p++) {
        char c = *p;
        if (c == '\\') {
            p++;
            switch (*p) {
            case '"': c = '"'; break;
            case '/': c = '/'; break;
            case '\\': c = '\\'; break;
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            default: return MSG_ERR_MALFORMED; // \u and anything else
            }
        }
        if (n + 1 >= cap) return MSG_ERR_MALFORMED;
        out[n++] = c;
    }
    out[n] = '\0';
    return MSG_OK;
}

int Msg_readValue(const char* scope, const char* key, char* out, size_t cap, int* type) {
    if (type) *type = MSG_JSON_NONE;
    if (!out || cap == 0) return MSG_ERR_MALFORMED;
    out[0] = '\0';
    if (!scope) return MSG_ERR_MALFORMED;
    const char* v = nullptr;
    if (key) {
        int st = Msg_findKey(scope, key, &v);
        if (st != MSG_OK) return st;
    } else {
        v = skipWs(scope);
    }
    const char* end = nullptr;
    int t = MSG_JSON_NONE;
    int st = Msg_valueExtent(v, &end, &t);
    if (st != MSG_OK) return st;
    if (t == MSG_JSON_STRING) {
        st = unquote(v, end, out, cap);
    } else {
        size_t n = size_t(end - v);
        if (n + 1 > cap) st = MSG_ERR_MALFORMED;
        else {
            std::memcpy(out, v, n);
            out[n] = '\0';
        }
    }
    if (st != MSG_OK) {
        out[0] = '\0';
        return st;
    }
    if (type) *type = t;
    return MSG_OK;
}

int Msg_readArray(const char* scope, const char* key, const char** cursor) {
    if (cursor) *cursor = nullptr;
    if (!scope) return MSG_ERR_MALFORMED;
    const char* v = nullptr;
    if (key) {
        int st = Msg_findKey(scope, key, &v);
        if (st != MSG_OK) return st;
    } else {
        v = skipWs(scope);
    }
    if (*v != '[') return MSG_ERR_MALFORMED;
    // Count the elements by walking them, which also proves the array well formed, so a
    // caller may step through exactly that many with Msg_nextElement.
    const char* first = skipWs(v + 1);
    int count = 0;
    if (*first != ']') {
        const char* p = first;
        for (;;) {
            const char* e = nullptr;
            int t = 0;
            if (Msg_valueExtent(p, &e, &t) != MSG_OK) return MSG_ERR_MALFORMED;
            count++;
            p = skipWs(e);
            if (*p == ']') break;
            if (*p != ',') return MSG_ERR_MALFORMED;
            p = skipWs(p + 1);
        }
    }
    if (cursor) *cursor = first;
    return count;
}

int Msg_nextElement(const char** cursor) {
    if (!cursor || !*cursor) return MSG_ERR_MALFORMED;
    const char* p = skipWs(*cursor);
    if (*p == ']') return MSG_ERR_NOT_FOUND; // already at the end
    const char* e = nullptr;
    int t = 0;
    int st = Msg_valueExtent(p, &e, &t);
    if (st != MSG_OK) return st;
    p = skipWs(e);
    if (*p == ']') {
        *cursor = p;
        return MSG_ERR_NOT_FOUND;
    }
    if (*p != ',') return MSG_ERR_MALFORMED;
    *cursor = skipWs(p + 1);
    return MSG_OK;
}

int Msg_readIntArray(const char* scope, const char* key, int32_t* out, int* capInOut) {
    int cap = capInOut ? *capInOut : 0;
    if (capInOut) *capInOut = 0;
    const char* cur = nullptr;
    int n = Msg_readArray(scope, key, &cur);
    if (n < 0) return n;
    int read = 0;
    for (int i = 0; i < n && i < cap; i++) {
        char buf[32];
        int t = 0;
        int64_t v = 0;
        if (Msg_readValue(cur, nullptr, buf, sizeof buf, &t) != MSG_OK ||
            (t != MSG_JSON_STRING && t != MSG_JSON_NUMBER) || !Msg_parseInt(buf, &v) || v < INT32_MIN ||
            v > INT32_MAX)
            return MSG_ERR_MALFORMED;
        if (out) out[i] = int32_t(v);
        *capInOut = ++read;
        if (i + 1 < n && Msg_nextElement(&cur) != MSG_OK) return MSG_ERR_MALFORMED;
    }
    return MSG_OK;
}

int Msg_getStr(const char* scope, const char* key, char* out, size_t cap) {
    int t = MSG_JSON_NONE;
    int st = Msg_readValue(scope, key, out, cap, &t);
    if (st != MSG_OK) return st;
    if (t != MSG_JSON_STRING && t != MSG_JSON_NUMBER) {
        out[0] = '\0';
        return MSG_ERR_MALFORMED;
    }
    return MSG_OK;
}

int Msg_getInt(const char* scope, const char* key, int64_t* out) {
    char buf[32];
    int st = Msg_getStr(scope, key, buf, sizeof buf);
    if (st != MSG_OK) return st;
    int64_t v = 0;
    if (!Msg_parseInt(buf, &v)) return MSG_ERR_MALFORMED;
    if (out) *out = v;
    return MSG_OK;
}

bool Msg_parseInt(const char* text, int64_t* out) {
    if (!text) return false;
    const char* p = text;
    bool neg = false;
    if (*p == '-' || *p == '+') neg = *p++ == '-';
    unsigned base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0' && p[1]) {
        base = 8;
        p++;
    }
    if (!*p) return false; // no digits ("", "-", "0x")
    uint64_t limit = neg ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
    uint64_t v = 0;
    for (; *p; p++) {
        unsigned d;
        char c = *p;
        if (isDigit(c)) d = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f') d = unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = unsigned(c - 'A' + 10);
        else return false;
        if (d >= base) return false;
        if (v > (limit - d) / base) return false; // beyond int64
        v = v * base + d;
    }
    if (out) *out = neg ? int64_t(0 - v) : int64_t(v);
    return true;
}

// ---------------------------------------------------------------------------------
// Last-error text

void Msg_setErrorKey(const char* key) {
    std::snprintf(g_msgLastError, sizeof g_msgLastError, "error key: %s", key ? key : "");
}

// ---------------------------------------------------------------------------------
// Route replies

// Turns the request object's closing "}" into the point where members continue: the
// brace goes, and a "," follows unless the object had no members. False when the text
// does not end in "}" (nothing sensible can be appended then).
static bool reopenObject(char* text, size_t cap) {
    size_t len = textLen(text, cap);
    if (len >= cap) return false;
    while (len > 0 && isBlank(text[len - 1])) len--;
    if (len == 0 || text[len - 1] != '}') return false;
    len--;
    size_t k = len;
    while (k > 0 && isBlank(text[k - 1])) k--;
    if (k == 0) return false;
    if (text[k - 1] == '{' || text[k - 1] == ',') {
        text[k] = '\0';
    } else {
        text[len] = ',';
        text[len + 1] = '\0';
    }
    return true;
}

static bool sendText(int sock, uint32_t addr, uint16_t port, const char* text) {
    // Replies go back to the sender only: never to a group, never to nowhere.
    if (sock < 0 || addr == 0 || port == 0 || Net_isMulticast(addr)) return false;
    return Net_sendTo(sock, text, std::strlen(text), addr, port) > 0;
}

bool Msg_routeReply(int sock, uint32_t addr, uint16_t port, char* text, size_t cap, bool succ,
                    const char* reason) {
    if (!reopenObject(text, cap)) return false;
    if (!Msg_appendMember(text, cap, "result", succ ? "succ" : "fail")) return false;
    if (!succ && reason && !Msg_appendMember(text, cap, "reason", reason)) return false;
    if (!Msg_closeObject(text, cap)) return false;
    return sendText(sock, addr, port, text);
}

bool Msg_beginDataReply(char* text, size_t cap) {
    return reopenObject(text, cap) && Msg_appendMember(text, cap, "result", "succ");
}

bool Msg_sendObject(int sock, uint32_t addr, uint16_t port, char* text, size_t cap) {
    if (!Msg_closeObject(text, cap)) return false;
    return sendText(sock, addr, port, text);
}

// ---------------------------------------------------------------------------------
// Engine requests

// The members of a data fragment ("{" then members, closed or still open with a
// trailing comma): [*body, *body + *n), without braces and the last comma.
static void fragmentBody(const char* data, const char** body, size_t* n) {
    *body = "";
    *n = 0;
    if (!data) return;
    const char* p = skipWs(data);
    if (*p != '{') return;
    const char* end = nullptr;
    int t = 0;
    const char* stop;
    if (Msg_valueExtent(p, &end, &t) == MSG_OK) stop = end - 1; // closed: drop its "}"
    else stop = p + std::strlen(p);                            // still open
    const char* b = skipWs(p + 1);
    while (stop > b && (isBlank(stop[-1]) || stop[-1] == ',')) stop--;
    if (stop <= b) return;
    *body = b;
    *n = size_t(stop - b);
}

void Msg_buildRespond(char* buf, size_t cap, bool succ, const char* reason, const char* data) {
    if (!buf || cap == 0) return;
    const char* body;
    size_t n;
    fragmentBody(data, &body, &n);
    for (int attempt = 0; attempt < 2; attempt++) {
        buf[0] = '\0';
        bool ok = Msg_appendf(buf, cap, "{") && Msg_appendMember(buf, cap, "result", succ ? "succ" : "fail") &&
                  (succ || Msg_appendMember(buf, cap, "reason", reason ? reason : ""));
        if (ok && n > 0) {
            size_t len = std::strlen(buf);
            ok = putRaw(buf, cap, &len, body, n) && putRaw(buf, cap, &len, ",", 1);
        }
        ok = ok && Msg_closeObject(buf, cap);
        if (ok) return;
        // Too long for the buffer: a cut reply must not pass for a whole one.
        succ = false;
        reason = "reply too long";
        n = 0;
    }
    // Not even the failure envelope fits: leave an empty text rather than a cut one.
    buf[0] = '\0';
}

static std::mutex s_koLock;
static std::atomic<bool> s_koInProcess{false};
static std::atomic<MsgDriverRequestFn> s_driverFn{nullptr};
// In-process scratch: used only under s_koLock.
static char s_koData[MSG_KO_REQ_SIZE];
static char s_koReason[MSG_KO_REASON_SIZE];

void Msg_setKoInProcess(bool inProcess) { s_koInProcess.store(inProcess); }
bool Msg_koInProcess() { return s_koInProcess.load(); }
void Msg_setDriverRequest(MsgDriverRequestFn fn) { s_driverFn.store(fn); }

bool reqKo(char* buf, size_t cap) {
    if (!buf || cap == 0) return false;
    std::lock_guard<std::mutex> hold(s_koLock);
    buf[cap - 1] = '\0'; // an unterminated request is cut, never read past its buffer
    if (s_koInProcess.load()) {
        std::memset(s_koData, 0, sizeof s_koData);
        std::memset(s_koReason, 0, sizeof s_koReason);
        int rc = Msg_device_handleJson(buf, s_koData, sizeof s_koData, s_koReason, sizeof s_koReason);
        s_koData[sizeof s_koData - 1] = '\0';
        s_koReason[sizeof s_koReason - 1] = '\0';
        Msg_buildRespond(buf, cap, rc == 0, s_koReason, s_koData);
        return true;
    }
    MsgDriverRequestFn fn = s_driverFn.load();
    bool ok = fn && fn(buf, cap);
    buf[cap - 1] = '\0';
    // A failed exchange leaves no half-written reply behind for a caller to misread.
    if (!ok) Msg_buildRespond(buf, cap, false, fn ? "driver request failed" : "no driver", "");
    return ok;
}
