// Route commands on the command socket: dispatch, locks and password, the routing
// commands, multicast transmit streams, the peer stream requests between devices and the
// four-character remote codes. Also the small readers and writers that the query and
// discovery units share with it.
#pragma once
#include "engine/VelunorTypes.h"
#include <cstddef>
#include <cstdint>

#define LOCK_UCAST_MCAST 1
#define LOCK_PHY_GAIN_MUTE 2

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

// ---- routing operations on the device record; reason is set on failure (may be null) ----
bool Dev_setRxCh_ucast(const char* srcDevId, int64_t srcChId, int64_t dstChId, const char** reason);
bool Dev_setRxCh_mcast(const sdpInfo& sdp, int64_t sdpChId, int64_t dstChId, const char** reason);
bool Dev_addMcastTx(const sdpInfo& sdp, const int32_t* chList, int listLen, const char* name,
                    const char** reason);
bool Dev_removeMcastTx(const char* name, const char** reason);
// A receiver's "setUcastTx": refreshes the entry with the same descriptor or takes a free one.
bool Dev_addUcastTx(const sdpInfo& sdp, const int32_t* chList, int listLen, const char** reason);
bool Dev_clrUcastTx(const sdpInfo& sdp, const char** reason);
