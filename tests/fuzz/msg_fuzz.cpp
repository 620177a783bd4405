// Msg readers, writers and reply building over any text. Every buffer is exactly as
// large as it claims, on the heap, so a read past a NUL or a write past a capacity is
// caught; the invariants below check what the routines promise.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/Msg.h"

static void check(bool ok) {
    if (!ok) std::abort();
}

static bool terminatedWithin(const char* buf, size_t cap) { return std::memchr(buf, '\0', cap) != nullptr; }

static const char* const KEYS[] = {"ops", "sdp", "srcIp", "chNum", "srcChIdArr", "result", "a", ""};

// Readers over the text: each status is one of the documented ones, each output fits.
static void readers(const char* text, size_t outCap) {
    std::vector<char> out(outCap);
    for (const char* key : KEYS) {
        const char* v = nullptr;
        int st = Msg_findKey(text, key, &v);
        check(st == MSG_OK || st == MSG_ERR_NOT_FOUND || st == MSG_ERR_MALFORMED);
        if (st == MSG_OK) {
            check(v >= text && v <= text + std::strlen(text));
            const char* end = nullptr;
            int type = 0;
            if (Msg_valueExtent(v, &end, &type) == MSG_OK) check(end > v && end <= text + std::strlen(text));
        }
        int type = 0;
        st = Msg_readValue(text, key, out.data(), out.size(), &type);
        check(st <= 0 && st >= MSG_ERR_MALFORMED);
        if (outCap) check(terminatedWithin(out.data(), outCap));
        if (st != MSG_OK && outCap) check(out[0] == '\0');

        const char* cur = nullptr;
        int n = Msg_readArray(text, key, &cur);
        if (n >= 0) {
            for (int i = 0; i < n; i++) {
                char e[64];
                Msg_readValue(cur, nullptr, e, sizeof e, &type);
                Msg_findKey(cur, "id", &v);
                int ns = Msg_nextElement(&cur);
                // A walked array has exactly n elements.
                check(i + 1 < n ? ns == MSG_OK : ns == MSG_ERR_NOT_FOUND);
            }
        }
        int32_t ints[8];
        int got = 8;
        st = Msg_readIntArray(text, key, ints, &got);
        check(got >= 0 && got <= 8);
        if (st == MSG_OK) check(got == (n < 8 ? n : 8));
        int64_t iv = 0;
        Msg_getInt(text, key, &iv);
    }
    const char* p = text;
    while (*p && Msg_skipBlank(&p) == MSG_OK) {
        const char* end = nullptr;
        int type = 0;
        if (Msg_valueExtent(p, &end, &type) != MSG_OK || end == p) break;
        p = end;
    }
    int64_t v = 0;
    Msg_parseInt(text, &v);
}

// Appending the text as a value and reading it back gives the text (control bytes other
// than the five escaped ones come back as "?").
static void writers(const char* text, size_t cap) {
    std::vector<char> buf(cap);
    if (cap == 0) return;
    buf[0] = '\0';
    bool ok = Msg_appendf(buf.data(), cap, "{") && Msg_appendMember(buf.data(), cap, "v", text) &&
              Msg_appendRaw(buf.data(), cap, "r", "[\"1\"]") && Msg_closeObject(buf.data(), cap);
    check(terminatedWithin(buf.data(), cap));
    if (!ok) return;
    std::string want(text);
    for (char& c : want)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\b' && c != '\t' && c != '\n' && c != '\f' && c != '\r')
            c = '?';
    std::vector<char> out(want.size() + 1);
    int type = 0;
    check(Msg_readValue(buf.data(), "v", out.data(), out.size(), &type) == MSG_OK);
    check(type == MSG_JSON_STRING && want == out.data());
    const char* cur = nullptr;
    check(Msg_readArray(buf.data(), "r", &cur) == 1);
}

// Reply building in place behind the request; nothing is sent (no socket).
static void replies(const char* text, size_t extra, const uint8_t* raw, size_t rawLen) {
    size_t len = std::strlen(text);
    size_t cap = len + 1 + extra;
    std::vector<char> buf(cap);
    std::memcpy(buf.data(), text, len + 1);
    const char* end = nullptr;
    int type = 0;
    bool object = Msg_valueExtent(text, &end, &type) == MSG_OK && type == MSG_JSON_OBJECT && *end == '\0';
    const char* v = nullptr;
    bool hadResult = Msg_findKey(text, "result", &v) == MSG_OK;
    if (Msg_beginDataReply(buf.data(), cap) && Msg_appendMember(buf.data(), cap, "str", text) &&
        Msg_closeObject(buf.data(), cap)) {
        check(terminatedWithin(buf.data(), cap));
        if (object && !hadResult) {
            char res[8];
            check(Msg_getStr(buf.data(), "result", res, sizeof res) == MSG_OK && std::strcmp(res, "succ") == 0);
        }
    }
    check(terminatedWithin(buf.data(), cap));
    std::memcpy(buf.data(), text, len + 1);
    check(!Msg_routeReply(-1, 0x7F000001, 9, buf.data(), cap, rawLen & 1, text));
    check(terminatedWithin(buf.data(), cap));

    // The engine envelope around any fragment: a well-formed result or nothing.
    size_t rcap = rawLen ? size_t(raw[0]) * 16 + 1 : 1;
    std::vector<char> resp(rcap);
    Msg_buildRespond(resp.data(), rcap, rawLen & 2, text, text);
    check(terminatedWithin(resp.data(), rcap));
    if (resp[0]) {
        char res[8];
        check(Msg_getStr(resp.data(), "result", res, sizeof res) == MSG_OK);
        check(std::strcmp(res, "succ") == 0 || std::strcmp(res, "fail") == 0);
    }
}

// Input: one byte of sizes, then the text (cut at its first NUL).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t sizes = data[0];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text.resize(std::strlen(text.c_str()));
    std::vector<char> exact(text.c_str(), text.c_str() + text.size() + 1);
    readers(exact.data(), size_t(sizes & 0x0F) * 8);
    writers(exact.data(), text.size() * 2 + 16 - (sizes >> 4));
    replies(exact.data(), size_t(sizes >> 4) * 12, data, size);
    return 0;
}
