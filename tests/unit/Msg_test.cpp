// Msg: writers, readers, route replies over loopback, the engine reply envelope and
// the serialised engine request dispatch.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/Msg.h"
#include "platform/net.h"

namespace {

std::string read(const char* scope, const char* key, int* st, int* type = nullptr, size_t cap = 256) {
    std::vector<char> out(cap ? cap : 1, 'X');
    int t = -1;
    *st = Msg_readValue(scope, key, out.data(), cap, &t);
    if (type) *type = t;
    return cap ? std::string(out.data()) : std::string();
}

std::string str(const char* scope, const char* key) {
    char out[256];
    return Msg_getStr(scope, key, out, sizeof out) == MSG_OK ? std::string(out) : std::string("<none>");
}

} // namespace

TEST(MsgWrite, MembersEscapingAndCapacity) {
    char t[128] = "{";
    ASSERT_TRUE(Msg_appendMember(t, sizeof t, "ops", "getCustomStr"));
    ASSERT_TRUE(Msg_appendMember(t, sizeof t, "v", "a\"b\\c\td\ne\bf\fg\rh"));
    ASSERT_TRUE(Msg_appendMember(t, sizeof t, nullptr, "x"));
    ASSERT_TRUE(Msg_appendRaw(t, sizeof t, "o", "{\"k\":\"1\"}"));
    ASSERT_TRUE(Msg_closeObject(t, sizeof t));
    EXPECT_STREQ(t, "{\"ops\":\"getCustomStr\",\"v\":\"a\\\"b\\\\c\\td\\ne\\bf\\fg\\rh\",\"x\",\"o\":{\"k\":\"1\"}}");

    // Other control bytes become "?" so the member stays readable; UTF-8 passes unchanged.
    char u[64] = "{";
    ASSERT_TRUE(Msg_appendMember(u, sizeof u, "n", "a\x01" "b\x1f\xc3\xa9"));
    ASSERT_TRUE(Msg_closeObject(u, sizeof u));
    EXPECT_STREQ(u, "{\"n\":\"a?b?\xc3\xa9\"}");
    EXPECT_EQ(str(u, "n"), "a?b?\xc3\xa9");

    // Exact fit: "k":"v", is 8 bytes; with "{" and the NUL a 10-byte buffer is full.
    char f[10] = "{";
    EXPECT_TRUE(Msg_appendMember(f, sizeof f, "k", "v"));
    EXPECT_STREQ(f, "{\"k\":\"v\",");
    EXPECT_TRUE(Msg_closeObject(f, sizeof f));
    EXPECT_STREQ(f, "{\"k\":\"v\"}");
    char g[9] = "{";
    EXPECT_FALSE(Msg_appendMember(g, sizeof g, "k", "v"));
    EXPECT_STREQ(g, "{"); // unchanged on failure
    // An escape that would straddle the end fails as a whole.
    char h[10] = "{";
    EXPECT_FALSE(Msg_appendMember(h, sizeof h, "k", "\""));
    EXPECT_STREQ(h, "{");
    EXPECT_FALSE(Msg_appendRaw(g, sizeof g, "kk", "1234"));
    EXPECT_STREQ(g, "{");
    EXPECT_FALSE(Msg_appendf(g, sizeof g, "%s", "12345678"));
    EXPECT_STREQ(g, "{");
    EXPECT_TRUE(Msg_appendf(g, sizeof g, "%s", "1234567"));

    // "{" alone closes to an empty object; a full buffer cannot take the brace.
    char e[3] = "{";
    EXPECT_TRUE(Msg_closeObject(e, sizeof e));
    EXPECT_STREQ(e, "{}");
    EXPECT_FALSE(Msg_closeObject(e, sizeof e));

    // A buffer without a NUL inside its capacity is never written.
    char bad[4] = {'a', 'b', 'c', 'd'};
    EXPECT_FALSE(Msg_appendMember(bad, sizeof bad, "k", "v"));
    EXPECT_FALSE(Msg_closeObject(bad, sizeof bad));
    EXPECT_FALSE(Msg_appendf(bad, sizeof bad, "x"));
    EXPECT_EQ(std::memcmp(bad, "abcd", 4), 0);
}

TEST(MsgWrite, DecimalNumbersAtTheLimits) {
    char t[24];
    const long long cases[] = {0, 7, -1, 10, 4294967295LL, INT64_MAX, INT64_MIN, -2147483648LL};
    for (long long v : cases) {
        char want[32];
        std::snprintf(want, sizeof want, "%lld", v);
        EXPECT_EQ(Msg_formatInt(v, t), int(std::strlen(want)));
        EXPECT_STREQ(t, want);
    }
}

TEST(MsgWrite, EveryByteRoundTrips) {
    // Every printable byte and every escape the writer uses comes back unchanged.
    std::string v;
    for (int c = 1; c < 256; c++)
        if (c >= 0x20 || c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r') v += char(c);
    char t[1024] = "{";
    ASSERT_TRUE(Msg_appendMember(t, sizeof t, "v", v.c_str()));
    ASSERT_TRUE(Msg_closeObject(t, sizeof t));
    char out[512];
    int type = 0;
    ASSERT_EQ(Msg_readValue(t, "v", out, sizeof out, &type), MSG_OK);
    EXPECT_EQ(type, MSG_JSON_STRING);
    EXPECT_EQ(std::string(out), v);
    // The quote and tab cases on their own, as they are written.
    char q[64] = "{";
    ASSERT_TRUE(Msg_appendMember(q, sizeof q, "name", "say \"hi\"\there"));
    ASSERT_TRUE(Msg_closeObject(q, sizeof q));
    EXPECT_STREQ(q, "{\"name\":\"say \\\"hi\\\"\\there\"}");
    EXPECT_EQ(str(q, "name"), "say \"hi\"\there");
}

TEST(MsgRead, KeysAtDepthZeroOnly) {
    int st = 0;
    // "ops" only inside a nested object: not a member of the request.
    EXPECT_EQ(read("{\"x\":{\"ops\":\"getCustomStr\"}}", "ops", &st), "");
    EXPECT_EQ(st, MSG_ERR_NOT_FOUND);
    EXPECT_EQ(read("{\"x\":[{\"ops\":\"a\"}],\"y\":\"1\"}", "ops", &st), "");
    EXPECT_EQ(st, MSG_ERR_NOT_FOUND);
    // The key's name inside a string value is skipped, quoted or escaped.
    EXPECT_EQ(str("{\"a\":\"ops\",\"ops\":\"real\"}", "ops"), "real");
    EXPECT_EQ(str("{\"a\":\"\\\"ops\\\":\\\"fake\\\"\",\"ops\":\"real\"}", "ops"), "real");
    EXPECT_EQ(str("{\"a\":\"x ops: y\",\"ops\":\"real\"}", "ops"), "real");
    // An even run of backslashes ends the string; an odd one does not.
    EXPECT_EQ(str("{\"a\":\"\\\\\",\"ops\":\"real\"}", "ops"), "real");
    EXPECT_EQ(str("{\"a\":\"\\\\\\\"ops\\\":\\\"fake\",\"ops\":\"real\"}", "ops"), "real");
    // A longer or shorter name does not match; blanks around ":" are allowed.
    EXPECT_EQ(str("{\"opsX\":\"1\",\"op\":\"2\",\"ops\" :\n \"3\"}", "ops"), "3");
    // The first occurrence wins.
    EXPECT_EQ(str("{\"ops\":\"first\",\"ops\":\"second\"}", "ops"), "first");
    // The scope ends at its closing bracket: members after it are not the scope's.
    const char* t = "{\"sdp\":{\"srcIp\":\"1.2.3.4\",\"chNum\":\"2\"},\"chNum\":\"8\",\"dstIp\":\"5.6.7.8\"}";
    const char* sdp = nullptr;
    ASSERT_EQ(Msg_findKey(t, "sdp", &sdp), MSG_OK);
    EXPECT_EQ(*sdp, '{');
    EXPECT_EQ(str(sdp, "chNum"), "2");
    EXPECT_EQ(str(sdp, "srcIp"), "1.2.3.4");
    EXPECT_EQ(str(sdp, "dstIp"), "<none>");
    EXPECT_EQ(Msg_findKey(sdp, "dstIp", &sdp), MSG_ERR_NOT_FOUND);
    EXPECT_EQ(str(t, "chNum"), "8");
    // A scope that is no object or array, or that never closes.
    const char* v = nullptr;
    EXPECT_EQ(Msg_findKey("\"ops\":\"x\"", "ops", &v), MSG_ERR_MALFORMED);
    EXPECT_EQ(Msg_findKey("{\"a\":\"1\"", "ops", &v), MSG_ERR_MALFORMED);
    EXPECT_EQ(Msg_findKey("", "ops", &v), MSG_ERR_MALFORMED);
}

TEST(MsgRead, MalformedValuesAndTypes) {
    int st = 0, type = 0;
    // \u and unknown escapes make the member unreadable; the known ones resolve.
    EXPECT_EQ(read("{\"name\":\"a\\u0041b\"}", "name", &st), "");
    EXPECT_EQ(st, MSG_ERR_MALFORMED);
    read("{\"name\":\"a\\xb\"}", "name", &st);
    EXPECT_EQ(st, MSG_ERR_MALFORMED);
    EXPECT_EQ(read("{\"n\":\"\\/\\b\\f\\n\\r\\t\\\\\\\"\"}", "n", &st), "/\b\f\n\r\t\\\"");
    EXPECT_EQ(st, MSG_OK);
    // Unterminated strings, dangling backslash, unbalanced or crossed brackets.
    read("{\"n\":\"abc", "n", &st);
    EXPECT_EQ(st, MSG_ERR_MALFORMED);
    read("{\"n\":\"abc\\", "n", &st);
    EXPECT_EQ(st, MSG_ERR_MALFORMED);
    read("{\"n\":[\"1\",\"2\"}", "n", &st);
    EXPECT_EQ(st, MSG_ERR_MALFORMED);
    read("{\"n\":[\"1\"}]}", "n", &st);
    EXPECT_EQ(st, MSG_ERR_MALFORMED);
    read("{\"n\":{\"a\":\"1\"", "n", &st);
    EXPECT_EQ(st, MSG_ERR_MALFORMED);
    // Brackets inside strings do not count.
    EXPECT_EQ(read("{\"n\":{\"a\":\"}]\"},\"m\":\"2\"}", "n", &st), "{\"a\":\"}]\"}");
    EXPECT_EQ(st, MSG_OK);
    EXPECT_EQ(str("{\"n\":{\"a\":\"}]\"},\"m\":\"2\"}", "m"), "2");
    // A value that starts with no value character: -1.
    read("{\"n\":}", "n", &st);
    EXPECT_EQ(st, MSG_ERR_START);
    read("{\"n\":'x'}", "n", &st);
    EXPECT_EQ(st, MSG_ERR_START);
    // Bare numbers are values; literals have their own types; glued junk is malformed.
    EXPECT_EQ(read("{\"n\":-12}", "n", &st, &type), "-12");
    EXPECT_EQ(type, MSG_JSON_NUMBER);
    int64_t v = 0;
    EXPECT_EQ(Msg_getInt("{\"n\":0x1F }", "n", &v), MSG_OK);
    EXPECT_EQ(v, 31);
    EXPECT_EQ(Msg_getInt("{\"n\":\"010\"}", "n", &v), MSG_OK);
    EXPECT_EQ(v, 8);
    EXPECT_EQ(Msg_getInt("{\"n\":\"1.5\"}", "n", &v), MSG_ERR_MALFORMED);
    EXPECT_EQ(read("{\"n\":true}", "n", &st, &type), "true");
    EXPECT_EQ(type, MSG_JSON_TRUE);
    read("{\"n\":null,\"m\":false}", "m", &st, &type);
    EXPECT_EQ(type, MSG_JSON_FALSE);
    EXPECT_EQ(str("{\"n\":null}", "n"), "<none>");
    EXPECT_EQ(Msg_getInt("{\"n\":true}", "n", &v), MSG_ERR_MALFORMED);
    read("{\"n\":truex}", "n", &st);
    EXPECT_EQ(st, MSG_ERR_MALFORMED);
    read("{\"n\":12ab\"}", "n", &st);
    EXPECT_EQ(st, MSG_ERR_MALFORMED);
    read("{\"n\":nul", "n", &st);
    EXPECT_EQ(st, MSG_ERR_MALFORMED);
    // Objects and arrays are wrong types for the string getter.
    EXPECT_EQ(str("{\"n\":[\"1\"]}", "n"), "<none>");
    // Nesting up to the limit is followed, beyond it is malformed.
    std::string deep = "{\"n\":";
    for (int i = 0; i < MSG_MAX_DEPTH - 1; i++) deep += "[";
    for (int i = 0; i < MSG_MAX_DEPTH - 1; i++) deep += "]";
    deep += ",\"m\":\"ok\"}";
    EXPECT_EQ(str(deep.c_str(), "m"), "ok");
    std::string deeper = "{\"n\":";
    for (int i = 0; i < MSG_MAX_DEPTH; i++) deeper += "[";
    for (int i = 0; i < MSG_MAX_DEPTH; i++) deeper += "]";
    deeper += ",\"m\":\"ok\"}";
    EXPECT_EQ(str(deeper.c_str(), "m"), "<none>");
    // Skip blanks: over blanks and commas to a value, anything else is -3.
    const char* p = " ,\t,\"x\"";
    EXPECT_EQ(Msg_skipBlank(&p), MSG_OK);
    EXPECT_EQ(*p, '"');
    const char* q = " , :";
    EXPECT_EQ(Msg_skipBlank(&q), MSG_ERR_MALFORMED);
    const char* r = "  ";
    EXPECT_EQ(Msg_skipBlank(&r), MSG_ERR_MALFORMED);
    EXPECT_EQ(*r, '\0');
    // Value extent reports the end and type.
    const char* end = nullptr;
    const char* s = "[\"a\",[1,2],{\"b\":\"]\"}] tail";
    EXPECT_EQ(Msg_valueExtent(s, &end, &type), MSG_OK);
    EXPECT_EQ(type, MSG_JSON_ARRAY);
    EXPECT_STREQ(end, " tail");
}

TEST(MsgRead, OutputAtAndBeyondItsSize) {
    // A 10-byte output takes 9 characters; 10 are refused with the output left empty.
    int st = 0;
    EXPECT_EQ(read("{\"v\":\"123456789\"}", "v", &st, nullptr, 10), "123456789");
    EXPECT_EQ(st, MSG_OK);
    EXPECT_EQ(read("{\"v\":\"1234567890\"}", "v", &st, nullptr, 10), "");
    EXPECT_EQ(st, MSG_ERR_MALFORMED);
    // Escapes count once resolved: 9 quotes written as \" fit.
    EXPECT_EQ(read("{\"v\":\"\\\"\\\"\\\"\\\"\\\"\\\"\\\"\\\"\\\"\"}", "v", &st, nullptr, 10), "\"\"\"\"\"\"\"\"\"");
    EXPECT_EQ(st, MSG_OK);
    EXPECT_EQ(read("{\"v\":12345}", "v", &st, nullptr, 5), "");
    EXPECT_EQ(st, MSG_ERR_MALFORMED);
    EXPECT_EQ(read("{\"v\":1234}", "v", &st, nullptr, 5), "1234");
    read("{\"v\":\"x\"}", "v", &st, nullptr, 0);
    EXPECT_EQ(st, MSG_ERR_MALFORMED);
    // A value as long as the route receive buffer, and the engine request buffer.
    for (size_t n : {size_t(MSG_KO_REQ_SIZE - 1), size_t(MSG_KO_REQ_SIZE), size_t(MSG_ROUTE_BUF_SIZE)}) {
        std::string t = "{\"v\":\"" + std::string(n, 'a') + "\"}";
        std::vector<char> out(MSG_KO_REQ_SIZE);
        int type = 0;
        int rc = Msg_readValue(t.c_str(), "v", out.data(), out.size(), &type);
        EXPECT_EQ(rc, n < MSG_KO_REQ_SIZE ? MSG_OK : MSG_ERR_MALFORMED) << n;
        EXPECT_EQ(std::strlen(out.data()), n < MSG_KO_REQ_SIZE ? n : 0u);
    }
    // The last-error text is cut to its 128 bytes.
    std::string longKey(300, 'k');
    Msg_setErrorKey(longKey.c_str());
    EXPECT_EQ(std::strlen(g_msgLastError), size_t(MSG_LAST_ERROR_SIZE - 1));
    EXPECT_EQ(std::strncmp(g_msgLastError, "error key: kkk", 14), 0);
    Msg_setErrorKey("ops");
    EXPECT_STREQ(g_msgLastError, "error key: ops");
}

TEST(MsgRead, Arrays) {
    const char* t = "{\"srcChIdArr\":[\"0\", \"0x10\",\"-1\" ,\"017\"],\"e\":[ ],\"s\":\"x\",\"o\":[{\"id\":\"3\"},{\"id\":\"4\"}]}";
    const char* cur = nullptr;
    ASSERT_EQ(Msg_readArray(t, "srcChIdArr", &cur), 4);
    char out[16];
    int type = 0;
    ASSERT_EQ(Msg_readValue(cur, nullptr, out, sizeof out, &type), MSG_OK);
    EXPECT_STREQ(out, "0");
    ASSERT_EQ(Msg_nextElement(&cur), MSG_OK);
    ASSERT_EQ(Msg_readValue(cur, nullptr, out, sizeof out, &type), MSG_OK);
    EXPECT_STREQ(out, "0x10");
    ASSERT_EQ(Msg_nextElement(&cur), MSG_OK);
    ASSERT_EQ(Msg_nextElement(&cur), MSG_OK);
    ASSERT_EQ(Msg_readValue(cur, nullptr, out, sizeof out, &type), MSG_OK);
    EXPECT_STREQ(out, "017");
    EXPECT_EQ(Msg_nextElement(&cur), MSG_ERR_NOT_FOUND); // past the last one
    EXPECT_EQ(*cur, ']');

    int32_t v[8] = {};
    int n = 8;
    EXPECT_EQ(Msg_readIntArray(t, "srcChIdArr", v, &n), MSG_OK);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(v[0], 0);
    EXPECT_EQ(v[1], 16);
    EXPECT_EQ(v[2], -1);
    EXPECT_EQ(v[3], 15);
    int32_t w[2] = {99, 99};
    n = 2;
    EXPECT_EQ(Msg_readIntArray(t, "srcChIdArr", w, &n), MSG_OK); // reads only what fits
    EXPECT_EQ(n, 2);
    EXPECT_EQ(w[1], 16);
    n = 8;
    EXPECT_EQ(Msg_readIntArray(t, "e", v, &n), MSG_OK);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(Msg_readArray(t, "e", &cur), 0);
    EXPECT_EQ(Msg_readArray(t, "s", &cur), MSG_ERR_MALFORMED);
    EXPECT_EQ(Msg_readArray(t, "none", &cur), MSG_ERR_NOT_FOUND);
    // Array of objects: each element is a scope of its own.
    ASSERT_EQ(Msg_readArray(t, "o", &cur), 2);
    EXPECT_EQ(str(cur, "id"), "3");
    ASSERT_EQ(Msg_nextElement(&cur), MSG_OK);
    EXPECT_EQ(str(cur, "id"), "4");
    // Malformed arrays and elements.
    EXPECT_EQ(Msg_readArray("{\"a\":[\"1\",,\"2\"]}", "a", &cur), MSG_ERR_MALFORMED);
    EXPECT_EQ(Msg_readArray("{\"a\":[\"1\",]}", "a", &cur), MSG_ERR_MALFORMED);
    EXPECT_EQ(Msg_readArray("{\"a\":[\"1\" \"2\"]}", "a", &cur), MSG_ERR_MALFORMED);
    EXPECT_EQ(Msg_readArray("{\"a\":[\"1\"", "a", &cur), MSG_ERR_MALFORMED);
    n = 8;
    EXPECT_EQ(Msg_readIntArray("{\"a\":[\"1\",\"x\"]}", "a", v, &n), MSG_ERR_MALFORMED);
    EXPECT_EQ(n, 1);
    n = 8;
    EXPECT_EQ(Msg_readIntArray("{\"a\":[\"4294967296\"]}", "a", v, &n), MSG_ERR_MALFORMED);
    n = 8;
    EXPECT_EQ(Msg_readIntArray("{\"a\":[7,\"-2147483648\"]}", "a", v, &n), MSG_OK);
    EXPECT_EQ(v[1], INT32_MIN);
}

TEST(MsgRead, ParseIntBaseDetection) {
    struct Case {
        const char* text;
        bool ok;
        int64_t v;
    } cases[] = {
        {"0", true, 0}, {"42", true, 42}, {"-42", true, -42}, {"+7", true, 7}, {"010", true, 8},
        {"0x1f", true, 31}, {"0X1F", true, 31}, {"-0x10", true, -16}, {"00", true, 0},
        {"9223372036854775807", true, INT64_MAX}, {"-9223372036854775808", true, INT64_MIN},
        {"0x7fffffffffffffff", true, INT64_MAX}, {"9223372036854775808", false, 0},
        {"-9223372036854775809", false, 0}, {"", false, 0}, {"-", false, 0}, {"0x", false, 0},
        {"09", false, 0}, {"12a", false, 0}, {" 1", false, 0}, {"1 ", false, 0}, {"0xg", false, 0},
        {"1.0", false, 0}, {"--1", false, 0},
    };
    for (const auto& c : cases) {
        int64_t v = 12345;
        EXPECT_EQ(Msg_parseInt(c.text, &v), c.ok) << c.text;
        if (c.ok) EXPECT_EQ(v, c.v) << c.text;
        else EXPECT_EQ(v, 12345) << c.text; // untouched on failure
    }
    EXPECT_FALSE(Msg_parseInt(nullptr, nullptr));
}

namespace {

// A loopback receiver on an ephemeral port.
struct Loopback {
    int rx = -1, tx = -1;
    uint16_t port = 0;
    Loopback() {
        rx = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(rx, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            socklen_t len = sizeof sa;
            getsockname(rx, reinterpret_cast<sockaddr*>(&sa), &len);
            port = ntohs(sa.sin_port);
        }
        tx = Net_udpSocketTry(0, 0);
    }
    ~Loopback() {
        Net_close(rx);
        Net_close(tx);
    }
    // The next datagram within a second, or "<none>".
    std::string receive(int timeoutMs = 1000) {
        if (Net_waitReadable(&rx, 1, timeoutMs) <= 0) return "<none>";
        char buf[MSG_ROUTE_BUF_SIZE];
        int n = Net_recvFrom(rx, buf, sizeof buf, nullptr, nullptr);
        return n < 0 ? "<none>" : std::string(buf, size_t(n));
    }
};

} // namespace

TEST(MsgReply, RouteRepliesOverLoopback) {
    Loopback lb;
    ASSERT_GT(lb.port, 0);
    ASSERT_GE(lb.tx, 0);
    const uint32_t lo = 0x7F000001;
    char buf[MSG_ROUTE_BUF_SIZE];

    // getCustomStr: the request's members, "result":"succ", then "str".
    std::strcpy(buf, "{\"ops\":\"getCustomStr\",\"tag\":\"7\"}");
    ASSERT_TRUE(Msg_beginDataReply(buf, sizeof buf));
    ASSERT_TRUE(Msg_appendMember(buf, sizeof buf, "str", "my \"text\""));
    ASSERT_TRUE(Msg_sendObject(lb.tx, lo, lb.port, buf, sizeof buf));
    std::string got = lb.receive();
    EXPECT_EQ(got, "{\"ops\":\"getCustomStr\",\"tag\":\"7\",\"result\":\"succ\",\"str\":\"my \\\"text\\\"\"}");
    EXPECT_EQ(str(got.c_str(), "str"), "my \"text\"");

    // Failure with a reason; success without one; a null reason on failure adds none.
    std::strcpy(buf, "{\"ops\":\"setDscp\",\"dscp\":\"0\"}");
    ASSERT_TRUE(Msg_routeReply(lb.tx, lo, lb.port, buf, sizeof buf, false, "invalid dscp"));
    EXPECT_EQ(lb.receive(), "{\"ops\":\"setDscp\",\"dscp\":\"0\",\"result\":\"fail\",\"reason\":\"invalid dscp\"}");
    std::strcpy(buf, "{\"ops\":\"setDscp\",\"dscp\":\"46\"}");
    ASSERT_TRUE(Msg_routeReply(lb.tx, lo, lb.port, buf, sizeof buf, true, "ignored"));
    EXPECT_EQ(lb.receive(), "{\"ops\":\"setDscp\",\"dscp\":\"46\",\"result\":\"succ\"}");
    std::strcpy(buf, "{\"ops\":\"setDelayUs\"}");
    ASSERT_TRUE(Msg_routeReply(lb.tx, lo, lb.port, buf, sizeof buf, false, nullptr));
    EXPECT_EQ(lb.receive(), "{\"ops\":\"setDelayUs\",\"result\":\"fail\"}");
    // An empty object stays well formed.
    std::strcpy(buf, "{}");
    ASSERT_TRUE(Msg_routeReply(lb.tx, lo, lb.port, buf, sizeof buf, true, nullptr));
    EXPECT_EQ(lb.receive(), "{\"result\":\"succ\"}");

    // Not sent: text not ending in "}", no room for the members, a multicast destination.
    std::strcpy(buf, "{\"ops\":\"x\"");
    EXPECT_FALSE(Msg_routeReply(lb.tx, lo, lb.port, buf, sizeof buf, true, nullptr));
    char small[32] = "{\"ops\":\"getCustomStr\"}";
    EXPECT_FALSE(Msg_routeReply(lb.tx, lo, lb.port, small, sizeof small, true, nullptr));
    EXPECT_LT(std::strlen(small), sizeof small);
    std::strcpy(buf, "{\"ops\":\"x\"}");
    EXPECT_FALSE(Msg_routeReply(lb.tx, 0xEF0000BC, lb.port, buf, sizeof buf, true, nullptr));
    EXPECT_EQ(lb.receive(200), "<none>");

    // A reply exactly filling its buffer is sent whole.
    const char* req = "{\"ops\":\"x\"}";
    size_t need = std::strlen("{\"ops\":\"x\",\"result\":\"succ\"}") + 1;
    std::vector<char> exact(need);
    std::strcpy(exact.data(), req);
    ASSERT_TRUE(Msg_routeReply(lb.tx, lo, lb.port, exact.data(), exact.size(), true, nullptr));
    EXPECT_EQ(lb.receive(), "{\"ops\":\"x\",\"result\":\"succ\"}");
}

TEST(MsgReply, BuildRespondShapes) {
    char buf[MSG_KO_REQ_SIZE];
    Msg_buildRespond(buf, sizeof buf, true, "", "");
    EXPECT_STREQ(buf, "{\"result\":\"succ\"}");
    // Engine failure: the reason and no data members, even when data was written.
    Msg_buildRespond(buf, sizeof buf, false, "error parsing key: sdpId", "{\"x\":\"1\"}");
    EXPECT_STREQ(buf, "{\"result\":\"fail\",\"reason\":\"error parsing key: sdpId\",\"x\":\"1\"}");
    Msg_buildRespond(buf, sizeof buf, false, "error parsing key: sdpId", "");
    EXPECT_STREQ(buf, "{\"result\":\"fail\",\"reason\":\"error parsing key: sdpId\"}");
    // A closed and a still-open fragment give the same reply; "{" alone adds nothing.
    Msg_buildRespond(buf, sizeof buf, true, "", "{\"sampleRate\":\"48000\",\"a\":[\"1\",\"2\"]}");
    EXPECT_STREQ(buf, "{\"result\":\"succ\",\"sampleRate\":\"48000\",\"a\":[\"1\",\"2\"]}");
    Msg_buildRespond(buf, sizeof buf, true, "", "{\"sampleRate\":\"48000\",\"a\":[\"1\",\"2\"],");
    EXPECT_STREQ(buf, "{\"result\":\"succ\",\"sampleRate\":\"48000\",\"a\":[\"1\",\"2\"]}");
    Msg_buildRespond(buf, sizeof buf, true, "", "{");
    EXPECT_STREQ(buf, "{\"result\":\"succ\"}");
    Msg_buildRespond(buf, sizeof buf, true, "", "{}");
    EXPECT_STREQ(buf, "{\"result\":\"succ\"}");
    // The reason is escaped like any value.
    Msg_buildRespond(buf, sizeof buf, false, "msg=\"x\"", nullptr);
    EXPECT_STREQ(buf, "{\"result\":\"fail\",\"reason\":\"msg=\\\"x\\\"\"}");
    // A full 3072-byte fragment does not fit beside the envelope: failure, not a cut reply.
    std::string big = "{\"v\":\"" + std::string(MSG_KO_REQ_SIZE - 10, 'a') + "\"}";
    Msg_buildRespond(buf, sizeof buf, true, "", big.c_str());
    EXPECT_STREQ(buf, "{\"result\":\"fail\",\"reason\":\"reply too long\"}");
    char tiny[8];
    Msg_buildRespond(tiny, sizeof tiny, true, "", "");
    EXPECT_STREQ(tiny, "");
}

namespace {

std::atomic<int> g_inFlight{0};
std::atomic<bool> g_overlap{false};

// Echoes the request's "n" after a pause long enough for another thread to come in.
bool echoDriver(char* buf, size_t cap) {
    if (g_inFlight.fetch_add(1) != 0) g_overlap = true;
    char n[32] = "";
    Msg_getStr(buf, "n", n, sizeof n);
    std::this_thread::yield();
    std::snprintf(buf, cap, "{\"result\":\"succ\",\"n\":\"%s\"}", n);
    std::this_thread::yield();
    g_inFlight.fetch_sub(1);
    return true;
}

bool failingDriver(char* buf, size_t) {
    std::strcpy(buf, "{\"result\":\"su"); // half a reply
    return false;
}

} // namespace

TEST(MsgKo, DriverPathSerialisesWholeRequests) {
    Msg_setKoInProcess(false);
    char buf[MSG_KO_REQ_SIZE];
    Msg_setDriverRequest(nullptr);
    std::strcpy(buf, "{\"ops\":\"getChNum\"}");
    EXPECT_FALSE(reqKo(buf, sizeof buf));
    EXPECT_EQ(str(buf, "result"), "fail");

    Msg_setDriverRequest(failingDriver);
    std::strcpy(buf, "{\"ops\":\"getChNum\"}");
    EXPECT_FALSE(reqKo(buf, sizeof buf));
    EXPECT_EQ(str(buf, "result"), "fail");

    Msg_setDriverRequest(echoDriver);
    std::atomic<int> wrong{0};
    auto worker = [&](int base) {
        char b[MSG_KO_REQ_SIZE];
        for (int i = 0; i < 2000; i++) {
            std::snprintf(b, sizeof b, "{\"ops\":\"getChNum\",\"n\":\"%d\"}", base + i);
            if (!reqKo(b, sizeof b) || str(b, "n") != std::to_string(base + i)) wrong++;
        }
    };
    std::thread a(worker, 0), b(worker, 100000);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_FALSE(g_overlap.load());
    Msg_setDriverRequest(nullptr);
}

TEST(MsgKo, InProcessAlwaysAnswersWithAnEnvelope) {
    Msg_setKoInProcess(true);
    char buf[MSG_KO_REQ_SIZE];
    // No "ops": the engine fails it; the call still succeeds and the reply says why.
    std::strcpy(buf, "{\"x\":\"1\"}");
    EXPECT_TRUE(reqKo(buf, sizeof buf));
    EXPECT_EQ(str(buf, "result"), "fail");
    EXPECT_NE(str(buf, "reason"), "<none>");
    EXPECT_NE(str(buf, "reason"), "");
    EXPECT_EQ(str(buf, "x"), "<none>"); // the request is replaced, not extended
    // An unterminated request is cut inside its buffer and answered.
    std::memset(buf, 'a', sizeof buf);
    EXPECT_TRUE(reqKo(buf, sizeof buf));
    EXPECT_EQ(str(buf, "result"), "fail");
    Msg_setKoInProcess(false);
}
