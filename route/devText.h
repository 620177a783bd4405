// A bounded JSON text writer for the route file and engine requests: members are
// appended behind a cursor (no strlen per member), nothing is ever written past cap, and
// a text that does not fit is reported through ok instead of being cut silently.
// Also the request readers, reply writers and stream rules that the command, query and
// discovery units share: they depend on none of those units.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/VelunorTypes.h"

struct DevText {
    char* buf;
    size_t cap;
    size_t len = 0;
    bool ok = true;
    // Control bytes without a JSON escape are written as "?" rather than "\?", so that
    // the loader can read back whatever the writer wrote.
    bool fileSafe = false;
};

// Starts the text as "{".
void DevText_begin(DevText* t);
// Appends raw bytes as they stand.
void DevText_raw(DevText* t, const char* s);
// "name":"value", (or "value", for a null name), the value escaped.
void DevText_str(DevText* t, const char* name, const char* value);
void DevText_int(DevText* t, const char* name, long long v);
void DevText_uint(DevText* t, const char* name, unsigned long v);
// Dotted address.
void DevText_ip(DevText* t, const char* name, uint32_t ip);
// A printf-formatted value, quoted (no escaping: formats produce plain text).
void DevText_fmt(DevText* t, const char* name, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// "name":[
void DevText_arrBegin(DevText* t, const char* name);
// Trailing comma -> "]", then ",".
void DevText_arrEnd(DevText* t);
// Trailing comma -> "}" (or "}" appended).
void DevText_end(DevText* t);

// "sdp":{the six members}, (the stream descriptor, addresses dotted).
struct sdpInfo;
void DevText_sdp(DevText* t, const sdpInfo& s);
// "name":["v0",...], of n integers.
void DevText_intArr(DevText* t, const char* name, const int32_t* v, int n);

// Copies src into dst (cap bytes, NUL-terminated), cut so that no UTF-8 sequence is split.
void DevText_cut(char* dst, size_t cap, const char* src);

// Longest text member a route handler reads: a whole datagram.
#define ROUTE_TEXT_MAX 1500

// One request as it arrived. The reply is built in place behind the request text, in the
// receive buffer of cap bytes.
struct RouteReq {
    int sock;
    char* text;
    size_t cap;
    uint32_t addr;
    uint16_t port;
};

// Reply without data members: "result" and, on failure with a reason, "reason".
void Route_reply(const RouteReq& rq, bool succ, const char* reason);

// ---- member readers: false means missing or malformed ("error key: %s" is then set) ----
// A string member (a bare number is taken as its text); out holds cap bytes. A value that
// does not fit counts as malformed.
bool Route_getStr(const char* scope, const char* key, char* out, size_t cap);
// An integer member with base detection ("0x", leading 0), the whole text a number.
bool Route_getInt(const char* scope, const char* key, int64_t* out);
// The "sdp" object with its six members. A number outside its field's range makes the
// descriptor invalid (chNum 0) rather than wrapping into a valid-looking one.
bool Route_readSdp(const char* scope, sdpInfo* out);
// An array of numeric strings under key: count of elements (may exceed cap; only the first
// cap are stored), -2 missing, -3 malformed or an element that is not a number (or outside
// the 32-bit range).
int Route_readIntList(const char* scope, const char* key, int32_t* out, int cap);

// ---- writers (false when the text would pass cap) ----
bool Route_appendInt(char* text, size_t cap, const char* name, long long v);
bool Route_appendIp(char* text, size_t cap, const char* name, uint32_t ip);
// "sdp":{"srcIp":..,"dstIp":..,"dstPort":..,"chNum":..,"sampleByteNum":..,"rtpTsOffset":..},
bool Route_appendSdp(char* text, size_t cap, const sdpInfo& s);
// "name":["a","b",...], from n integers.
bool Route_appendIntArr(char* text, size_t cap, const char* name, const int32_t* v, int n);

// ---- rules ----
// Channels one stream may carry so that its audio payload stays within 1400 bytes.
int Route_udpLimit(int sampleByteNum, int pFrameNum);
bool Route_sdpEqual(const sdpInfo& a, const sdpInfo& b);
