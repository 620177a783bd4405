// The engine command handler: one JSON request in, reply members and a verdict out.
//
// Every command reads its keys in a fixed order, checks them in a fixed order and
// writes its reply members in a fixed order. All values, numbers included, travel as
// JSON strings. The handler keeps no state; it changes engine state only through the
// stream layer (rtp/RtpAudio), the period timing (TimerManager_c) and the phy record,
// whose shared words are atomics, so the engine thread never sees half a value.
#include "engine/kmodule_device.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/AudioPhy.h"
#include "engine/Msg.h"
#include "engine/TimerManager_c.h"
#include "engine/VelunorTypes.h"
#include "engine/koBuild.h"
#include "engine/rtp/RtpAudio.h"
#include "platform/clock.h"
#include "platform/net.h"

static const char* const UNIT = "kmodule_device";
static const char* const FUNC = "Msg_device_handleJson";

#define MAC_ADDR_LEN 6
// Room left for the envelope's "result" member, so that the whole reply always fits
// the 3072-byte engine request buffer it replaces.
#define KO_ENVELOPE_ROOM 24

struct KoOpCtx {
    const char* req;
    char* data;
    size_t cap;
    char* reason;
    size_t reasonCap;
    bool overflow;
    size_t len; // length of data inside a group (beginGroup .. endGroup)
};

namespace {

const auto rlx = std::memory_order_relaxed;
using Ctx = KoOpCtx;

int failAt(Ctx& c, const char* file, const char* func, int line, const char* msg) {
    if (c.reason && c.reasonCap) std::snprintf(c.reason, c.reasonCap, "error at: file=%s func=%s line=%d msg=%s", file, func, line, msg);
    return -1;
}
#define FAIL(msg) failAt(c, UNIT, FUNC, __LINE__, (msg))

int failKey(Ctx& c, const char* key) {
    if (c.reason && c.reasonCap) std::snprintf(c.reason, c.reasonCap, "error parsing key: %s", key);
    return -1;
}

// ---- reading ----
bool getInt(Ctx& c, const char* scope, const char* key, int64_t* v) {
    if (Msg_getInt(scope, key, v) == MSG_OK) return true;
    failKey(c, key);
    return false;
}

// An integer key that must lie in lo..hi (the width of the field it goes into).
#define READ_RANGE(scope, key, var, lo, hi)                                                        \
    int64_t var = 0;                                                                               \
    if (!getInt(c, (scope), (key), &var)) return -1;                                               \
    if (var < int64_t(lo) || var > int64_t(hi)) return FAIL(key " out of range")

#define READ_I32(key, var) READ_RANGE(c.req, key, var, INT32_MIN, INT32_MAX)

bool getIp(Ctx& c, const char* scope, const char* key, uint32_t* out) {
    char text[64];
    if (Msg_getStr(scope, key, text, sizeof text) != MSG_OK) {
        failKey(c, key);
        return false;
    }
    *out = Net_parseIp(text);
    return true;
}

// An integer array of up to cap elements. *found = the array's real element count
// (it may exceed cap; only cap are stored).
bool getArr(Ctx& c, const char* key, int32_t* out, int cap, int* found) {
    const char* cursor = nullptr;
    int n = Msg_readArray(c.req, key, &cursor);
    int got = cap;
    if (n < 0 || Msg_readIntArray(c.req, key, out, &got) != MSG_OK) {
        failKey(c, key);
        return false;
    }
    *found = n;
    return true;
}

// ---- writing ----
void begin(Ctx& c) {
    if (c.data[0] != 0) return;
    if (c.cap < 2) {
        c.overflow = true;
        return;
    }
    c.data[0] = '{';
    c.data[1] = 0;
}
// Appends n raw bytes; false (text unchanged) when they and the NUL do not fit.
bool putBytes(Ctx& c, size_t len, const char* s, size_t n) {
    if (len + n + 1 > c.cap) {
        c.overflow = true;
        return false;
    }
    std::memcpy(c.data + len, s, n);
    c.data[len + n] = 0;
    return true;
}
void put(Ctx& c, const char* name, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void put(Ctx& c, const char* name, const char* fmt, ...) {
    char v[64];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(v, sizeof v, fmt, ap);
    va_end(ap);
    begin(c);
    if (!Msg_appendMember(c.data, c.cap, name, v)) c.overflow = true;
}
void putIp(Ctx& c, const char* name, uint32_t ip) {
    char v[16];
    Net_formatIp(ip, v, sizeof v);
    begin(c);
    if (!Msg_appendMember(c.data, c.cap, name, v)) c.overflow = true;
}
// "name":[ or "name":{ ... closed by endGroup.
void beginGroup(Ctx& c, const char* name, char open) {
    begin(c);
    size_t len = std::strlen(c.data), n = std::strlen(name);
    if (len + n + 4 + 1 > c.cap) {
        c.overflow = true;
    } else {
        char* w = c.data + len;
        *w++ = '"';
        std::memcpy(w, name, n);
        w += n;
        *w++ = '"';
        *w++ = ':';
        *w++ = open;
        *w = 0;
    }
    c.len = std::strlen(c.data);
}
void endGroup(Ctx& c, char close) {
    size_t n = std::strlen(c.data);
    if (n && c.data[n - 1] == ',') {
        c.data[n - 1] = close;
    } else {
        if (!putBytes(c, n, &close, 1)) return;
        ++n;
    }
    putBytes(c, n, ",", 1);
}
// One array element: a number needs no escaping, so it is written in place after the
// cached length (a long list stays linear in its length).
void elem(Ctx& c, const char* fmt, long long v) {
    char t[32];
    int n = std::strcmp(fmt, "%lld") == 0 ? Msg_formatInt(v, t) : std::snprintf(t, sizeof t, fmt, v);
    if (n < 0 || c.len + size_t(n) + 4 > c.cap) {
        c.overflow = true;
        return;
    }
    char* w = c.data + c.len;
    *w++ = '"';
    std::memcpy(w, t, size_t(n));
    w += n;
    *w++ = '"';
    *w++ = ',';
    *w = 0;
    c.len += size_t(n) + 3;
}
void putU32Arr(Ctx& c, const char* name, const uint32_t* v, int n, const char* fmt) {
    beginGroup(c, name, '[');
    for (int i = 0; i < n; ++i) elem(c, fmt, (long long)v[i]);
    endGroup(c, ']');
}

bool working() { return TimerManager_getDeviceStatus() != 0; }

int clampCount(int32_t n, int max) { return n < 0 ? 0 : (n > max ? max : n); }
int phyRxCount() { return clampCount(AudioPhy_get()->phyRx.load(rlx), PHY_MAX_CH_NUM); }
int phyTxCount() { return clampCount(AudioPhy_get()->phyTx.load(rlx), PHY_MAX_CH_NUM); }

// ---------------------------------------------------------------------------------
// Stream set-up

// The six "sdp" members, in order; each must fit the width it is stored with.
int readSdp(Ctx& c, sdpInfo* s) {
    const char* sdp = nullptr;
    if (Msg_findKey(c.req, "sdp", &sdp) != MSG_OK || !sdp || *sdp != '{') return failKey(c, "sdp");
    if (!getIp(c, sdp, "srcIp", &s->srcIp)) return -1;
    if (!getIp(c, sdp, "dstIp", &s->dstIp)) return -1;
    READ_RANGE(sdp, "dstPort", port, 0, 0xFFFF);
    READ_RANGE(sdp, "chNum", ch, 0, 0xFF);
    READ_RANGE(sdp, "sampleByteNum", sbn, 0, 0xFF);
    READ_RANGE(sdp, "rtpTsOffset", off, INT32_MIN, UINT32_MAX);
    s->dstPort = uint16_t(port);
    s->chNum = uint8_t(ch);
    s->sampleByteNum = uint8_t(sbn);
    s->rtpTsOffset = uint32_t(off);
    return 0;
}

int setTx(Ctx& c, bool mcast) {
    sdpInfo s{};
    if (readSdp(c, &s) != 0) return -1;
    int32_t map[RTP_MAX_CH_PER_SDP];
    int mapNum = 0;
    if (!getArr(c, "srcChIdArr", map, RTP_MAX_CH_PER_SDP, &mapNum)) return -1;
    int32_t macIn[MAC_ADDR_LEN + 1];
    int macNum = 0;
    if (!getArr(c, "dstMac", macIn, MAC_ADDR_LEN + 1, &macNum)) return -1;
    READ_I32("sdpId", id);
    if (mapNum != s.chNum) return FAIL("chNum != sdpInfo.chNum");
    if (macNum != MAC_ADDR_LEN) return FAIL("dstMacNum == MAC_ADDR_LEN");
    uint8_t mac[MAC_ADDR_LEN];
    for (int i = 0; i < MAC_ADDR_LEN; ++i) {
        if (macIn[i] < 0 || macIn[i] > 0xFF) return FAIL("dstMac out of range");
        mac[i] = uint8_t(macIn[i]);
    }
    const int n = mapNum > RTP_MAX_CH_PER_SDP ? RTP_MAX_CH_PER_SDP : mapNum;
    return mcast ? RtpAudio_setMcastTx(int(id), &s, map, n, mac, c.reason, c.reasonCap)
                 : RtpAudio_setUcastTx(int(id), &s, map, n, mac, c.reason, c.reasonCap);
}

int setRx(Ctx& c, bool mcast) {
    sdpInfo s{};
    if (readSdp(c, &s) != 0) return -1;
    int32_t map[RTP_MAX_CH_PER_SDP];
    int mapNum = 0;
    if (!getArr(c, "rtpChIdArr", map, RTP_MAX_CH_PER_SDP, &mapNum)) return -1;
    READ_I32("sdpId", id);
    if (mapNum != s.chNum) return FAIL("chNum != sdpInfo.chNum");
    const int n = mapNum > RTP_MAX_CH_PER_SDP ? RTP_MAX_CH_PER_SDP : mapNum;
    return mcast ? RtpAudio_setMcastRx(int(id), &s, map, n, c.reason, c.reasonCap)
                 : RtpAudio_setUcastRx(int(id), &s, map, n, c.reason, c.reasonCap);
}

void putSdp(Ctx& c, const sdpInfo& s) {
    beginGroup(c, "sdp", '{');
    putIp(c, "srcIp", s.srcIp);
    putIp(c, "dstIp", s.dstIp);
    char v[24];
    Msg_formatInt(s.dstPort, v);
    if (!Msg_appendMember(c.data, c.cap, "dstPort", v)) c.overflow = true;
    Msg_formatInt(s.chNum, v);
    if (!Msg_appendMember(c.data, c.cap, "chNum", v)) c.overflow = true;
    Msg_formatInt(s.sampleByteNum, v);
    if (!Msg_appendMember(c.data, c.cap, "sampleByteNum", v)) c.overflow = true;
    Msg_formatInt(int32_t(s.rtpTsOffset), v);
    if (!Msg_appendMember(c.data, c.cap, "rtpTsOffset", v)) c.overflow = true;
    endGroup(c, '}');
}

void putMap(Ctx& c, const char* name, const int16_t* map, int chNum) {
    beginGroup(c, name, '[');
    for (int j = 0; j < chNum && j < RTP_MAX_CH_PER_SDP; ++j) elem(c, "%lld", map[j]);
    endGroup(c, ']');
}

// sdpId checks of the getters and the statistics commands.
#define READ_SDP_ID(var, count)                                                                    \
    READ_I32("sdpId", var);                                                                        \
    if (var < 0) return FAIL("sdpId < 0");                                                         \
    if (var >= (count)) return FAIL("sdpId error")

int getTx(Ctx& c, bool mcast) {
    READ_SDP_ID(id, RtpAudio_getNum(mcast ? RTP_MCAST_TX : RTP_UCAST_TX));
    sdpInfo s{};
    int16_t map[RTP_MAX_CH_PER_SDP];
    uint8_t mac[MAC_ADDR_LEN];
    bool ok = mcast ? RtpAudio_getMcastTx(int(id), &s, map, mac) : RtpAudio_getUcastTx(int(id), &s, map, mac);
    if (!ok) return FAIL("sdpId error");
    putSdp(c, s);
    putMap(c, "srcChIdArr", map, s.chNum);
    beginGroup(c, "dstMac", '[');
    for (int i = 0; i < MAC_ADDR_LEN; ++i) elem(c, "%lld", mac[i]);
    endGroup(c, ']');
    return 0;
}

int getRx(Ctx& c, bool mcast) {
    READ_SDP_ID(id, RtpAudio_getNum(mcast ? RTP_MCAST_RX : RTP_UCAST_RX));
    sdpInfo s{};
    int16_t map[RTP_MAX_CH_PER_SDP];
    bool ok = mcast ? RtpAudio_getMcastRx(int(id), &s, map) : RtpAudio_getUcastRx(int(id), &s, map);
    if (!ok) return FAIL("sdpId error");
    putSdp(c, s);
    putMap(c, "rtpChIdArr", map, s.chNum);
    return 0;
}

int opSetUcastTx(Ctx& c) { return setTx(c, false); }
int opSetMcastTx(Ctx& c) { return setTx(c, true); }
int opGetUcastTx(Ctx& c) { return getTx(c, false); }
int opGetMcastTx(Ctx& c) { return getTx(c, true); }
int opSetUcastRx(Ctx& c) { return setRx(c, false); }
int opSetMcastRx(Ctx& c) { return setRx(c, true); }
int opGetUcastRx(Ctx& c) { return getRx(c, false); }
int opGetMcastRx(Ctx& c) { return getRx(c, true); }

// ---------------------------------------------------------------------------------
// Channel routing

int setAllCh(Ctx& c, bool tx) {
    int32_t arr[RTP_MAX_CH_NUM];
    int n = 0;
    if (!getArr(c, "rtpChIdArr", arr, RTP_MAX_CH_NUM, &n)) return -1;
    if (n != (tx ? RtpAudio_getTxChNum() : RtpAudio_getRxChNum()) || n > RTP_MAX_CH_NUM) return FAIL("chNum error");
    if (tx) RtpAudio_setChTx(arr, n);
    else RtpAudio_setChRx(arr, n);
    return 0;
}

int getAllCh(Ctx& c, bool tx) {
    int16_t t[RTP_MAX_CH_NUM];
    int n = tx ? RtpAudio_getChTx(t, RTP_MAX_CH_NUM) : RtpAudio_getChRx(t, RTP_MAX_CH_NUM);
    n = clampCount(n, RTP_MAX_CH_NUM);
    beginGroup(c, "rtpChIdArr", '[');
    for (int i = 0; i < n; ++i) elem(c, "%lld", t[i]);
    endGroup(c, ']');
    return 0;
}

int opSetAllChTx(Ctx& c) { return setAllCh(c, true); }
int opSetAllChRx(Ctx& c) { return setAllCh(c, false); }
int opGetAllChTx(Ctx& c) { return getAllCh(c, true); }
int opGetAllChRx(Ctx& c) { return getAllCh(c, false); }

// ---------------------------------------------------------------------------------
// Receive statistics

int rxStreams() { return clampCount(RtpAudio_rxStreamCount(), RTP_RX_STREAM_SLOTS); }

int opGetAllSdpDelayMs(Ctx& c) {
    beginGroup(c, "arr", '[');
    for (int i = 0, n = rxStreams(); i < n; ++i) elem(c, "%llx", RtpAudio_takeMaxDelayMs(i));
    endGroup(c, ']');
    return 0;
}

int opGetAllSdpNotCont(Ctx& c) {
    beginGroup(c, "arr", '[');
    for (int i = 0, n = rxStreams(); i < n; ++i) elem(c, "%llx", RtpAudio_takeNotContCount(i));
    endGroup(c, ']');
    return 0;
}

int opGetAllActiveSdpId(Ctx& c) {
    beginGroup(c, "ucastIdArr", '[');
    for (int i = 0, n = clampCount(RtpAudio_getNum(RTP_UCAST_RX), RTP_MAX_UCAST_NUM); i < n; ++i)
        if (RtpAudio_isRxActive(RtpAudio_rxStreamIndex(false, i))) elem(c, "%lld", i);
    endGroup(c, ']');
    beginGroup(c, "mcastIdArr", '[');
    for (int i = 0, n = clampCount(RtpAudio_getNum(RTP_MCAST_RX), RTP_MAX_MCAST_NUM); i < n; ++i)
        if (RtpAudio_isRxActive(RtpAudio_rxStreamIndex(true, i))) elem(c, "%lld", i);
    endGroup(c, ']');
    return 0;
}

int clrStats(Ctx& c, bool mcast) {
    READ_SDP_ID(id, RtpAudio_getNum(mcast ? RTP_MCAST_RX : RTP_UCAST_RX));
    int idx = RtpAudio_rxStreamIndex(mcast, int(id));
    if (idx < 0) return FAIL("sdpId error");
    RtpAudio_clrRxStats(idx);
    return 0;
}

int getStats(Ctx& c, bool mcast) {
    READ_SDP_ID(id, RtpAudio_getNum(mcast ? RTP_MCAST_RX : RTP_UCAST_RX));
    RtpRxStats s{};
    if (!RtpAudio_getRxStats(RtpAudio_rxStreamIndex(mcast, int(id)), &s)) return FAIL("sdpId error");
    put(c, "total", "%u", s.total);
    put(c, "in125", "%u", s.in125);
    put(c, "in250", "%u", s.in250);
    put(c, "in500", "%u", s.in500);
    put(c, "in1ms", "%u", s.in1ms);
    put(c, "in2ms", "%u", s.in2ms);
    put(c, "in4ms", "%u", s.in4ms);
    put(c, "out4ms", "%u", s.out4ms);
    put(c, "avgUs", "%u", uint32_t(s.sumUs / (uint64_t(s.total) | 1u)));
    put(c, "maxUs", "%d", s.maxUs);
    put(c, "maxRtpTsOffset", "%d", s.maxRtpTsOffset);
    put(c, "notContinue", "%u", s.notContinue);
    put(c, "exceedDelay", "%u", s.exceedDelay);
    return 0;
}

int opClrUcastStats(Ctx& c) { return clrStats(c, false); }
int opClrMcastStats(Ctx& c) { return clrStats(c, true); }
int opGetUcastStats(Ctx& c) { return getStats(c, false); }
int opGetMcastStats(Ctx& c) { return getStats(c, true); }

int volumes(Ctx& c, bool tx) {
    uint32_t v[RTP_MAX_CH_NUM];
    int n = tx ? RtpAudio_getVolumeTx(v, RTP_MAX_CH_NUM) : RtpAudio_getVolumeRx(v, RTP_MAX_CH_NUM);
    putU32Arr(c, "arr", v, clampCount(n, RTP_MAX_CH_NUM), "%lld");
    return 0;
}
int opGetAllVolumeTx(Ctx& c) { return volumes(c, true); }
int opGetAllVolumeRx(Ctx& c) { return volumes(c, false); }

// ---------------------------------------------------------------------------------
// Physical channels

int opGetChNum(Ctx& c) {
    AudioPhy* p = AudioPhy_get();
    put(c, "phyRx", "%d", p->phyRx.load(rlx));
    put(c, "phyTx", "%d", p->phyTx.load(rlx));
    put(c, "dspFromNet", "%d", p->dspFromNet.load(rlx));
    put(c, "dspToNet", "%d", p->dspToNet.load(rlx));
    put(c, "isDspEnabled", "%d", 0);
    return 0;
}

int opSetChNum(Ctx& c) {
    if (working()) return FAIL("can not modify when working");
    AudioPhy* p = AudioPhy_get();
    // Each value is stored as soon as it is read. The counts size the 128-entry tables.
    {
        READ_RANGE(c.req, "phyRx", v, 0, PHY_MAX_CH_NUM);
        p->phyRx.store(int32_t(v), rlx);
    }
    {
        READ_RANGE(c.req, "phyTx", v, 0, PHY_MAX_CH_NUM);
        p->phyTx.store(int32_t(v), rlx);
    }
    {
        READ_I32("dspFromNet", v);
        p->dspFromNet.store(int32_t(v), rlx);
    }
    {
        READ_I32("dspToNet", v);
        p->dspToNet.store(int32_t(v), rlx);
    }
    return 0;
}

int setGain(Ctx& c, bool tx) {
    READ_I32("chId", ch);
    READ_I32("ppm", ppm);
    if (ch < 0 || ch >= (tx ? phyTxCount() : phyRxCount())) return -1;
    AudioPhy_setGain(AudioPhy_get(), tx ? AUDIOPHY_OUT_SLOT(ch) : ch, int32_t(ppm));
    return 0;
}
int opSetPhyGainRx(Ctx& c) { return setGain(c, false); }
int opSetPhyGainTx(Ctx& c) { return setGain(c, true); }

int getGains(Ctx& c, bool tx) {
    AudioPhy* p = AudioPhy_get();
    beginGroup(c, "arr", '[');
    for (int i = 0, n = tx ? phyTxCount() : phyRxCount(); i < n; ++i)
        elem(c, "%lld", p->gain[tx ? AUDIOPHY_OUT_SLOT(i) : i].load(rlx));
    endGroup(c, ']');
    return 0;
}
int opGetAllPhyGainRx(Ctx& c) { return getGains(c, false); }
int opGetAllPhyGainTx(Ctx& c) { return getGains(c, true); }

int setMute(Ctx& c, bool tx) {
    READ_I32("chId", ch);
    READ_I32("mute", m);
    if (ch < 0 || ch >= (tx ? phyTxCount() : phyRxCount())) return -1;
    AudioPhy_setMute(AudioPhy_get(), tx ? AUDIOPHY_OUT_SLOT(ch) : ch, m != 0);
    return 0;
}
int opSetPhyMuteRx(Ctx& c) { return setMute(c, false); }
int opSetPhyMuteTx(Ctx& c) { return setMute(c, true); }

int getMutes(Ctx& c, bool tx) {
    AudioPhy* p = AudioPhy_get();
    beginGroup(c, "arr", '[');
    for (int i = 0, n = tx ? phyTxCount() : phyRxCount(); i < n; ++i)
        elem(c, "%lld", p->mute[tx ? AUDIOPHY_OUT_SLOT(i) : i].load(rlx) ? 1 : 0);
    endGroup(c, ']');
    return 0;
}
int opGetAllPhyMuteRx(Ctx& c) { return getMutes(c, false); }
int opGetAllPhyMuteTx(Ctx& c) { return getMutes(c, true); }

int phyVolumes(Ctx& c, bool tx) {
    AudioPhy* p = AudioPhy_get();
    beginGroup(c, "arr", '[');
    for (int i = 0, n = tx ? phyTxCount() : phyRxCount(); i < n; ++i)
        elem(c, "%lld", int32_t(RtpMeter_get(tx ? &p->meterOut : &p->meterIn, i)));
    endGroup(c, ']');
    return 0;
}
int opGetAllPhyVolumeRx(Ctx& c) { return phyVolumes(c, false); }
int opGetAllPhyVolumeTx(Ctx& c) { return phyVolumes(c, true); }

int opGetPhyChRemap(Ctx& c) {
    AudioPhy* p = AudioPhy_get();
    const bool has = p->hasChRemap.load(rlx) != 0;
    put(c, "hasChRemap", "%d", has ? 1 : 0);
    if (!has) return 0;
    beginGroup(c, "chRemapArrRx", '[');
    for (int i = 0, n = phyRxCount(); i < n; ++i) elem(c, "%lld", int32_t(p->remapRx[i].load(rlx)));
    endGroup(c, ']');
    beginGroup(c, "chRemapArrTx", '[');
    for (int i = 0, n = phyTxCount(); i < n; ++i) elem(c, "%lld", int32_t(p->remapTx[i].load(rlx)));
    endGroup(c, ']');
    return 0;
}

int opSetPhyChRemap(Ctx& c) {
    READ_I32("hasChRemap", has);
    AudioPhy* p = AudioPhy_get();
    if (has == 0) {
        p->hasChRemap.store(0, rlx);
        return 0;
    }
    int32_t rx[PHY_MAX_CH_NUM], tx[PHY_MAX_CH_NUM];
    int nRx = 0, nTx = 0;
    if (!getArr(c, "chRemapArrRx", rx, PHY_MAX_CH_NUM, &nRx)) return -1;
    if (!getArr(c, "chRemapArrTx", tx, PHY_MAX_CH_NUM, &nTx)) return -1;
    if (nRx != phyRxCount() || nTx != phyTxCount()) return -1;
    for (int i = 0; i < nRx; ++i) p->remapRx[i].store(uint32_t(rx[i]), rlx);
    for (int i = 0; i < nTx; ++i) p->remapTx[i].store(uint32_t(tx[i]), rlx);
    p->hasChRemap.store(1, rlx);
    return 0;
}

int opDebugGetPhyGenSin(Ctx& c) {
    AudioPhy* p = AudioPhy_get();
    put(c, "isTx", "%d", int(p->toneSide.load(rlx)));
    put(c, "phyChId", "%d", p->toneCh.load(rlx));
    return 0;
}

int opDebugSetPhyGenSin(Ctx& c) {
    READ_I32("isTx", isTx);
    READ_I32("phyChId", ch);
    AudioPhy* p = AudioPhy_get();
    // Channel first off, then the side, then the channel: the period never plays the new
    // channel on the old side.
    p->toneCh.store(-1, rlx);
    p->toneSide.store(isTx != 0 ? 1 : 0, rlx);
    p->toneCh.store(int32_t(ch), rlx);
    return 0;
}

// ---------------------------------------------------------------------------------
// Counts and timing

int getNum(Ctx& c, RtpStreamKind k) {
    put(c, "num", "%d", RtpAudio_getNum(k));
    return 0;
}
int opGetUcastNumTx(Ctx& c) { return getNum(c, RTP_UCAST_TX); }
int opGetUcastNumRx(Ctx& c) { return getNum(c, RTP_UCAST_RX); }
int opGetMcastNumTx(Ctx& c) { return getNum(c, RTP_MCAST_TX); }
int opGetMcastNumRx(Ctx& c) { return getNum(c, RTP_MCAST_RX); }

int setNum(Ctx& c, RtpStreamKind k) {
    const int max = (k == RTP_UCAST_TX || k == RTP_UCAST_RX) ? RTP_MAX_UCAST_NUM : RTP_MAX_MCAST_NUM;
    READ_I32("num", num);
    // Counts bound the stream tables: nothing beyond them, nothing negative.
    if (num < 0 || num > max) return FAIL("num out of range");
    return RtpAudio_setNum(k, int(num), c.reason, c.reasonCap);
}
int opSetUcastNumTx(Ctx& c) { return setNum(c, RTP_UCAST_TX); }
int opSetUcastNumRx(Ctx& c) { return setNum(c, RTP_UCAST_RX); }
int opSetMcastNumTx(Ctx& c) { return setNum(c, RTP_MCAST_TX); }
int opSetMcastNumRx(Ctx& c) { return setNum(c, RTP_MCAST_RX); }

int opGetSampleRate(Ctx& c) {
    put(c, "sampleRate", "%d", AudioPhy_get()->sampleRate.load(rlx));
    return 0;
}

int opSetSampleRate(Ctx& c) {
    READ_I32("sampleRate", v);
    if (working()) return FAIL("can not modify when working");
    if (v < 1) return -1;
    AudioPhy_get()->sampleRate.store(int32_t(v), rlx);
    return 0;
}

int opGetPacketSize(Ctx& c) {
    put(c, "frameNum", "%d", AudioPhy_get()->framesPerPeriod.load(rlx));
    return 0;
}

int opSetPacketSize(Ctx& c) {
    READ_I32("frameNum", v);
    if (working()) return FAIL("can not modify when working");
    if (v < 1) return -1;
    AudioPhy_get()->framesPerPeriod.store(int32_t(v), rlx);
    return 0;
}

int opGetDscp(Ctx& c) {
    put(c, "dscp", "%d", int(RtpAudio_getDscp()));
    return 0;
}
int opSetDscp(Ctx& c) {
    READ_RANGE(c.req, "dscp", v, 0, 0xFF);
    RtpAudio_setDscp(uint8_t(v));
    return 0;
}

int opGetLinkOffset(Ctx& c) {
    put(c, "frameNum", "%d", RtpAudio_getLinkOffset());
    return 0;
}
int opSetLinkOffset(Ctx& c) {
    READ_I32("frameNum", v);
    // The bound protects the receive buffers, which keep the geometry the stream layer
    // was prepared with; before that, the phy record's values stand in.
    int fs = RtpAudio_getSampleRate(), p = RtpAudio_getFramesPerPeriod();
    if (fs <= 0 || p <= 0) {
        fs = AudioPhy_get()->sampleRate.load(rlx);
        p = AudioPhy_get()->framesPerPeriod.load(rlx);
    }
    return RtpAudio_setLinkOffset(int(v), fs, p, c.reason, c.reasonCap);
}

int opGetPayloadType(Ctx& c) {
    put(c, "val", "%d", int(RtpAudio_getPayloadType()));
    return 0;
}
int opSetPayloadType(Ctx& c) {
    READ_RANGE(c.req, "val", v, 0, 0xFF);
    RtpAudio_setPayloadType(uint8_t(v));
    return 0;
}

int opGetDeviceStatus(Ctx& c) {
    put(c, "status", "%d", int(TimerManager_getDeviceStatus()));
    return 0;
}
int opStepDeviceStatus(Ctx&) { return 0; }

int opGetErrorNs(Ctx& c) {
    put(c, "errorNs", "%d", TimerManager_getErrorNs());
    return 0;
}
int opResetRtpTs(Ctx& c) { return TimerManager_resetRtpTs(c.reason, c.reasonCap); }

int opGetPtpOffset(Ctx& c) {
    put(c, "us", "%lld", (long long)(TimerManager_getPtpOffsetNs() / 1000));
    return 0;
}

int opSetPtpOffset(Ctx& c) {
    char text[64];
    if (Msg_getStr(c.req, "us", text, sizeof text) != MSG_OK) return failKey(c, "us");
    // By hand: optional "-", then decimal digits up to the first other character.
    const char* q = text;
    const bool neg = *q == '-';
    if (neg) ++q;
    if (*q < '0' || *q > '9') return FAIL("us is no number");
    // The offset in ns must stay inside 64 bits.
    const uint64_t limit = uint64_t(INT64_MAX) / 1000;
    uint64_t us = 0;
    for (; *q >= '0' && *q <= '9'; ++q) {
        us = us * 10 + uint64_t(*q - '0');
        if (us > limit) return FAIL("us out of range");
    }
    const int64_t ns = int64_t(us) * 1000;
    TimerManager_setPtpOffsetNs(neg ? -ns : ns);
    return 0;
}

int opGetRtpMute(Ctx& c) {
    put(c, "mute", "%d", RtpAudio_getRtpMute() ? 1 : 0);
    return 0;
}
int opSetRtpMute(Ctx& c) {
    READ_I32("mute", v);
    RtpAudio_setRtpMute(v != 0);
    return 0;
}

int opGetSysNs(Ctx& c) {
    put(c, "ns", "%lld", (long long)Clock_nowNs());
    return 0;
}

int opGetLog(Ctx& c) {
    put(c, "log", "rstRtp=%d,rstI2s=%d", int(TimerManager_getRstRtp()), int(TimerManager_getRstI2s()));
    return 0;
}

void perfPair(Ctx& c, const char* name, int32_t cur, int32_t max) {
    beginGroup(c, name, '{');
    char v[16];
    std::snprintf(v, sizeof v, "%d", cur);
    if (!Msg_appendMember(c.data, c.cap, "cur", v)) c.overflow = true;
    std::snprintf(v, sizeof v, "%d", max);
    if (!Msg_appendMember(c.data, c.cap, "max", v)) c.overflow = true;
    endGroup(c, '}');
}
int opGetPerformStats(Ctx& c) {
    perfPair(c, "nsCost_dspToRtp", 0, 0);
    perfPair(c, "nsCost_rtpToDsp", 0, 0);
    perfPair(c, "i2s_poll", TimerManager_getPollCur(), TimerManager_getPollMax());
    perfPair(c, "dmaUs", 0, 0);
    return 0;
}
int opResetPerformStats(Ctx&) {
    TimerManager_resetPerformStats();
    return 0;
}

// ---------------------------------------------------------------------------------
// Identity and debugging

int opGetVersion(Ctx& c) {
    put(c, "version", "%s", "2.0");
    put(c, "owner", "%s", KO_VERSION_OWNER);
    put(c, "website", "%s", KO_VERSION_WEBSITE);
    put(c, "owner2", "%s", "VelunorLink");
    put(c, "website2", "%s", KO_VERSION_WEBSITE2);
    put(c, "PHY_MAX_CH_NUM", "%d", PHY_MAX_CH_NUM);
    put(c, "RTP_MAX_CH_NUM", "%d", RTP_MAX_CH_NUM);
    put(c, "RTP_MAX_MCAST_NUM", "%d", RTP_MAX_MCAST_NUM);
    put(c, "RTP_CH_MAX_BUF_IN_MS", "%d", RTP_CH_MAX_BUF_IN_MS);
    return 0;
}

int opDebugGetIsRxDirectTx(Ctx& c) {
    put(c, "isRxDirectTx", "%d", int(AudioPhy_get()->isRxDirectTx.load(rlx)));
    return 0;
}
int opDebugSetIsRxDirectTx(Ctx& c) {
    READ_I32("isRxDirectTx", v);
    AudioPhy_get()->isRxDirectTx.store(v != 0 ? 1 : 0, rlx);
    return 0;
}
int opResetKernel(Ctx&) { return 0; }
int opGetEthName(Ctx& c) {
    put(c, "name", "%s", "");
    return 0;
}
int opSetEthName(Ctx& c) {
    char name[64];
    if (Msg_getStr(c.req, "name", name, sizeof name) != MSG_OK) return failKey(c, "name");
    if (working()) return FAIL("can not modify when working");
    return -1; // this engine has no interface name to set
}
int opGetCustomEthInfo(Ctx&) { return -1; }

struct Command {
    const char* ops;
    int (*run)(Ctx&);
};

// In the order the commands are matched.
const Command kCommands[] = {
    {"setUcastTx", opSetUcastTx},
    {"setMcastTx", opSetMcastTx},
    {"getUcastTx", opGetUcastTx},
    {"getMcastTx", opGetMcastTx},
    {"setUcastRx", opSetUcastRx},
    {"setMcastRx", opSetMcastRx},
    {"getUcastRx", opGetUcastRx},
    {"getMcastRx", opGetMcastRx},
    {"setAllChTx", opSetAllChTx},
    {"setAllChRx", opSetAllChRx},
    {"getAllChTx", opGetAllChTx},
    {"getAllChRx", opGetAllChRx},
    {"getAllSdpDelayMs", opGetAllSdpDelayMs},
    {"getAllSdpNotCont", opGetAllSdpNotCont},
    {"getAllActiveSdpId", opGetAllActiveSdpId},
    {"clrUcastStats", opClrUcastStats},
    {"clrMcastStats", opClrMcastStats},
    {"getUcastStats", opGetUcastStats},
    {"getMcastStats", opGetMcastStats},
    {"getAllVolumeTx", opGetAllVolumeTx},
    {"getAllVolumeRx", opGetAllVolumeRx},
    {"getChNum", opGetChNum},
    {"setChNum", opSetChNum},
    {"setPhyGainRx", opSetPhyGainRx},
    {"setPhyGainTx", opSetPhyGainTx},
    {"getAllPhyGainRx", opGetAllPhyGainRx},
    {"getAllPhyGainTx", opGetAllPhyGainTx},
    {"setPhyMuteRx", opSetPhyMuteRx},
    {"setPhyMuteTx", opSetPhyMuteTx},
    {"getAllPhyMuteRx", opGetAllPhyMuteRx},
    {"getAllPhyMuteTx", opGetAllPhyMuteTx},
    {"getAllPhyVolumeRx", opGetAllPhyVolumeRx},
    {"getAllPhyVolumeTx", opGetAllPhyVolumeTx},
    {"getPhyChRemap", opGetPhyChRemap},
    {"setPhyChRemap", opSetPhyChRemap},
    {"debug_getPhyGenSin", opDebugGetPhyGenSin},
    {"debug_setPhyGenSin", opDebugSetPhyGenSin},
    {"getUcastNumTx", opGetUcastNumTx},
    {"getUcastNumRx", opGetUcastNumRx},
    {"getMcastNumTx", opGetMcastNumTx},
    {"getMcastNumRx", opGetMcastNumRx},
    {"setUcastNumTx", opSetUcastNumTx},
    {"setUcastNumRx", opSetUcastNumRx},
    {"setMcastNumTx", opSetMcastNumTx},
    {"setMcastNumRx", opSetMcastNumRx},
    {"getSampleRate", opGetSampleRate},
    {"setSampleRate", opSetSampleRate},
    {"getPacketSize", opGetPacketSize},
    {"setPacketSize", opSetPacketSize},
    {"getDscp", opGetDscp},
    {"setDscp", opSetDscp},
    {"getLinkOffset", opGetLinkOffset},
    {"setLinkOffset", opSetLinkOffset},
    {"getPayloadType", opGetPayloadType},
    {"setPayloadType", opSetPayloadType},
    {"getDeviceStatus", opGetDeviceStatus},
    {"stepDeviceStatus", opStepDeviceStatus},
    {"getErrorNs", opGetErrorNs},
    {"resetRtpTs", opResetRtpTs},
    {"getPtpOffset", opGetPtpOffset},
    {"setPtpOffset", opSetPtpOffset},
    {"getRtpMute", opGetRtpMute},
    {"setRtpMute", opSetRtpMute},
    {"getSysNs", opGetSysNs},
    {"getLog", opGetLog},
    {"getPerformStats", opGetPerformStats},
    {"resetPerformStats", opResetPerformStats},
    {"getVersion", opGetVersion},
    {"debug_getIsRxDirectTx", opDebugGetIsRxDirectTx},
    {"debug_setIsRxDirectTx", opDebugSetIsRxDirectTx},
    {"resetKernel", opResetKernel},
    {"getEthName", opGetEthName},
    {"setEthName", opSetEthName},
    {"getCustomEthInfo", opGetCustomEthInfo},
};

// Commands that only the user-mode engine has.
const char* const kUserOnly[] = {"getAllSdpDelayMs", "getAllSdpNotCont", "getErrorNs", "getLog",
                                 "getPayloadType",   "setPayloadType",   "getRtpMute", "setRtpMute"};
bool userOnly(const char* ops) {
    for (const char* u : kUserOnly)
        if (std::strcmp(ops, u) == 0) return true;
    return false;
}

std::atomic<const KoCommand*> s_buildRows{nullptr};
std::atomic<int> s_buildCount{0};

} // namespace

void Msg_device_setBuildCommands(const KoCommand* rows, int count) {
    s_buildCount.store(0, std::memory_order_release);
    s_buildRows.store(rows, std::memory_order_release);
    s_buildCount.store(rows ? count : 0, std::memory_order_release);
}

const char* KoOp_request(KoOpCtx* c) { return c->req; }
bool KoOp_getInt(KoOpCtx* c, const char* key, int64_t* v) { return getInt(*c, c->req, key, v); }
bool KoOp_getStr(KoOpCtx* c, const char* key, char* out, size_t cap) {
    if (Msg_getStr(c->req, key, out, cap) == MSG_OK) return true;
    failKey(*c, key);
    return false;
}
void KoOp_put(KoOpCtx* c, const char* name, const char* value) { put(*c, name, "%s", value); }
void KoOp_putInt(KoOpCtx* c, const char* name, long long value) { put(*c, name, "%lld", value); }
void KoOp_putRaw(KoOpCtx* c, const char* name, const char* raw) {
    begin(*c);
    if (!Msg_appendRaw(c->data, c->cap, name, raw)) c->overflow = true;
}
void KoOp_setReason(KoOpCtx* c, const char* text) {
    if (c->reason && c->reasonCap) std::snprintf(c->reason, c->reasonCap, "%s", text);
}
int KoOp_fail(KoOpCtx* c, const char* file, const char* func, int line, const char* msg) {
    return failAt(*c, file, func, line, msg);
}

int Msg_device_handleJson(const char* request, char* data, size_t dataCap, char* reason, size_t reasonCap) {
    // A failure without a message must never report the reason of an earlier request.
    if (reason && reasonCap) reason[0] = 0;
    if (data && dataCap) data[0] = 0;
    char none[1] = {0};
    Ctx c{request, data, dataCap, reason, reasonCap, false, 0};
    if (!data || dataCap == 0) { // nowhere to reply: answer into nothing
        c.data = none;
        c.cap = 1;
    } else if (dataCap > 2 * KO_ENVELOPE_ROOM) {
        c.cap = dataCap - KO_ENVELOPE_ROOM;
    }
    if (!request) return failKey(c, "ops");
    while (*request == ' ' || *request == '\t' || *request == '\r' || *request == '\n') ++request;
    c.req = request;

    char ops[128];
    if (Msg_getStr(request, "ops", ops, sizeof ops) != MSG_OK) return failKey(c, "ops");

    int (*run)(Ctx&) = nullptr;
    KoOpFn buildRun = nullptr;
    const KoCommand* rows = s_buildRows.load(std::memory_order_acquire);
    for (int i = 0, n = s_buildCount.load(std::memory_order_acquire); rows && i < n; ++i)
        if (std::strcmp(ops, rows[i].ops) == 0) {
            buildRun = rows[i].run;
            break;
        }
    if (!buildRun && !(KO_BUILD_KERNEL && userOnly(ops)))
        for (const Command& k : kCommands)
            if (std::strcmp(ops, k.ops) == 0) {
                run = k.run;
                break;
            }
    if (!run && !buildRun) {
        const int line = KO_BUILD_KERNEL ? KO_KERNEL_UNKNOWN_CMD_LINE : __LINE__;
        std::printf("error: file=%s func=%s line=%d \n", UNIT, FUNC, line);
        std::fflush(stdout);
        return failAt(c, UNIT, FUNC, line, ops);
    }

    int rc = buildRun ? buildRun(&c) : run(c);
    if (rc == 0 && c.overflow) rc = FAIL("reply does not fit");
    if (rc != 0) {
        c.data[0] = 0; // a failed reply carries no data members
        return rc < 0 ? rc : -1;
    }
    if (c.data[0] && !Msg_closeObject(c.data, c.cap)) {
        c.data[0] = 0;
        return FAIL("reply does not fit");
    }
    return 0;
}
