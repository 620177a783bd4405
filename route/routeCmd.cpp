// Route commands, locks and peer streams (unit routeApi: the diagnostics name it so).
#include "route/routeCmd.h"

#include "engine/Msg.h"
#include "engine/rtp/RtpAudio.h"
#include "platform/diag.h"
#include "platform/net.h"
#include "platform/paths.h"
#include "route/routeApi.h"
#include "route/routeImpl_c.h"
#include "route/routeQuery.h"
#include "route/sap.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

static const char* const UNIT = "routeApi";

static bool rxInUse(const SdpRx& e) {
    return Dev_rxInUse(&e);
}
static bool txInUse(const SdpTx& e) {
    return Dev_txInUse(&e);
}

static int tableCount(int n, int max) {
    return n < 0 ? 0 : (n > max ? max : n);
}

static int freeRtpCh() {
    int n = tableCount(g_dev.chNumRx, RTP_MAX_CH_NUM);
    for (int r = 0; r < n; r++)
        if (g_dev.srcChId[r] == -1)
            return r;
    return -1;
}

static void clearTx(SdpTx& e) {
    Dev_clearSdpTx(&e);
}

// ---------------------------------------------------------------------------------
// Routing operations

bool Dev_setRxCh_ucast(const char* srcDevId, int64_t srcChId, int64_t dstChId, const char** reason) {
    // The name must fit the record exactly, or a later iAm could never match it.
    if (!srcDevId || !srcDevId[0] || std::strlen(srcDevId) >= sizeof g_dev.srcDevId[0]) {
        *reason = "invalid srcDevId";
        return false;
    }
    if (dstChId < 0 || dstChId >= tableCount(g_dev.chNumRx, RTP_MAX_CH_NUM)) {
        *reason = "invalid dstChId";
        return false;
    }
    // srcChId -1 marks a free RTP channel; a route to it would be reused by the next one.
    if (srcChId < 0 || srcChId >= RTP_MAX_CH_NUM) {
        *reason = "invalid srcChId";
        return false;
    }
    int c = int(dstChId);
    if (!Dev_clearRxCh(dstChId, reason))
        return false;
    int n = tableCount(g_dev.chNumRx, RTP_MAX_CH_NUM);
    for (int r = 0; r < n; r++) {
        if (g_dev.srcChId[r] == srcChId && std::strcmp(g_dev.srcDevId[r], srcDevId) == 0) {
            g_dev.rtpChId[c] = r;
            return true;
        }
    }
    int r = freeRtpCh();
    if (r < 0) {
        DIAG_ERROR_AT(UNIT, "Dev_setRxCh_ucast");
        *reason = nullptr;
        return false;
    }
    std::snprintf(g_dev.srcDevId[r], sizeof g_dev.srcDevId[r], "%s", srcDevId);
    g_dev.srcChId[r] = int32_t(srcChId);
    g_dev.rtpChId[c] = r;
    if (std::strcmp(srcDevId, g_dev.devId) != 0)
        Disc_sendWhoIs(srcDevId);
    return true;
}

bool Dev_setRxCh_mcast(const sdpInfo& sdp, int64_t sdpChId, int64_t dstChId, const char** reason) {
    if (g_dev.mcastNumRx <= 0) {
        *reason = "not support";
        return false;
    }
    if (dstChId < 0 || dstChId >= tableCount(g_dev.chNumRx, RTP_MAX_CH_NUM)) {
        *reason = "invalid dstChId";
        return false;
    }
    int c = int(dstChId);
    if (!Dev_clearRxCh(dstChId, reason))
        return false;
    if (!Dev_sdpValid(&sdp)) {
        *reason = "invalid sdpInfo";
        return false;
    }
    // A slot beyond the stream's channels would never carry audio, yet report success.
    if (sdpChId < 0 || sdpChId > 7 || sdpChId >= sdp.chNum) {
        *reason = "invalid sdpChId";
        return false;
    }
    int s = int(sdpChId);
    int nm = tableCount(g_dev.mcastNumRx, RTP_MAX_MCAST_NUM);
    for (int i = 0; i < nm; i++) {
        SdpRx& e = g_dev.mcastArrRx[i];
        if (!rxInUse(e) || e.sdp.dstIp != sdp.dstIp || e.sdp.dstPort != sdp.dstPort ||
            e.sdp.chNum != sdp.chNum || e.sdp.sampleByteNum != sdp.sampleByteNum)
            continue;
        int r = e.rtpChId[s];
        if (r < 0 || r >= RTP_MAX_CH_NUM) {
            r = freeRtpCh();
            if (r < 0) {
                DIAG_ERROR_AT(UNIT, "Dev_setRxCh_mcast");
                *reason = nullptr;
                return false;
            }
            e.rtpChId[s] = r;
        }
        g_dev.srcChId[r] = s;
        g_dev.rtpChId[c] = r;
        return true;
    }
    for (int i = 0; i < nm; i++) {
        SdpRx& e = g_dev.mcastArrRx[i];
        if (rxInUse(e))
            continue;
        int r = freeRtpCh();
        if (r < 0) {
            DIAG_ERROR_AT(UNIT, "Dev_setRxCh_mcast");
            *reason = nullptr;
            return false;
        }
        Dev_clearSdpRx(&e);
        e.sdp = sdp;
        e.rtpChId[s] = r;
        if (RtpAudio_joinGroup(g_dev.discoverySock, sdp.dstIp, g_dev.ownIp, true) != 0)
            DIAG_ERROR_AT(UNIT, "Dev_setRxCh_mcast");
        g_dev.srcDevId[r][0] = '\0';
        g_dev.srcChId[r] = s;
        g_dev.rtpChId[c] = r;
        return true;
    }
    *reason = "no free sdpId";
    return false;
}

// Checks shared by the multicast and the unicast transmit set-up, in their order.
static bool checkTxChannels(const sdpInfo& sdp, const int32_t* chList, const char** reason) {
    if (!Dev_sdpValid(&sdp)) {
        *reason = "invalid sdpInfo";
        return false;
    }
    if (sdp.chNum > Route_udpLimit(sdp.sampleByteNum, g_dev.pFrameNum)) {
        *reason = "exceed udp limit";
        return false;
    }
    for (int k = 0; k < sdp.chNum; k++) {
        if (chList[k] < -1 || chList[k] >= g_dev.chNumTx) {
            *reason = "invalid srcChIdArr";
            return false;
        }
    }
    return true;
}

static void fillTx(SdpTx& e, const sdpInfo& sdp, const int32_t* chList) {
    clearTx(e);
    e.sdp = sdp;
    for (int k = 0; k < sdp.chNum && k < RTP_MAX_CH_PER_SDP; k++)
        e.srcChId[k] = chList[k];
}

bool Dev_addMcastTx(const sdpInfo& sdp, const int32_t* chList, int listLen, const char* name,
                    const char** reason) {
    if (listLen != sdp.chNum) {
        *reason = "invalid chNum";
        return false;
    }
    if (g_dev.mcastNumTx <= 0) {
        *reason = "not support";
        return false;
    }
    if (!checkTxChannels(sdp, chList, reason))
        return false;
    if (!Net_isMulticast(sdp.dstIp)) {
        *reason = "invalid dstIp";
        return false;
    }
    // The session name goes into a 64-byte field: a longer one cannot be kept whole.
    if (!name || !name[0] || std::strlen(name) >= sizeof g_dev.mcastArrTx[0].name) {
        *reason = "invalid name";
        return false;
    }
    int n = tableCount(g_dev.mcastNumTx, RTP_MAX_MCAST_NUM);
    for (int i = 0; i < n; i++) {
        if (txInUse(g_dev.mcastArrTx[i]) && std::strcmp(g_dev.mcastArrTx[i].name, name) == 0) {
            *reason = "duplicate name";
            return false;
        }
    }
    for (int i = 0; i < n; i++) {
        if (txInUse(g_dev.mcastArrTx[i]) && g_dev.mcastArrTx[i].sdp.dstIp == sdp.dstIp) {
            *reason = "duplicate dstIp";
            return false;
        }
    }
    for (int i = 0; i < n; i++) {
        SdpTx& e = g_dev.mcastArrTx[i];
        if (txInUse(e))
            continue;
        fillTx(e, sdp, chList);
        std::snprintf(e.name, sizeof e.name, "%s", name);
        Dev_mcastMac(sdp.dstIp, e.dstMac);
        Sap_send(&e, false);
        return true;
    }
    *reason = "no free sdpId";
    return false;
}

bool Dev_removeMcastTx(const char* name, const char** reason) {
    if (g_dev.mcastNumTx <= 0) {
        *reason = "not support";
        return false;
    }
    if (!name || !name[0]) {
        *reason = "invalid name";
        return false;
    }
    int n = tableCount(g_dev.mcastNumTx, RTP_MAX_MCAST_NUM);
    for (int i = 0; i < n; i++) {
        SdpTx& e = g_dev.mcastArrTx[i];
        if (txInUse(e) && std::strcmp(e.name, name) == 0) {
            Sap_send(&e, true);
            clearTx(e);
            return true;
        }
    }
    *reason = "no match";
    return false;
}

bool Dev_addUcastTx(const sdpInfo& sdp, const int32_t* chList, int listLen, const char** reason) {
    if (listLen != sdp.chNum) {
        *reason = "invalid chNum";
        return false;
    }
    if (!checkTxChannels(sdp, chList, reason))
        return false;
    if (Net_isMulticast(sdp.dstIp)) {
        *reason = "invalid dstIp";
        return false;
    }
    int n = tableCount(g_dev.ucastNumTx, RTP_MAX_UCAST_NUM);
    int slot = -1;
    for (int i = 0; i < n && slot < 0; i++)
        if (txInUse(g_dev.ucastArrTx[i]) && Route_sdpEqual(g_dev.ucastArrTx[i].sdp, sdp))
            slot = i;
    for (int i = 0; i < n && slot < 0; i++)
        if (!txInUse(g_dev.ucastArrTx[i]))
            slot = i;
    if (slot < 0) {
        *reason = "no free sdpId";
        return false;
    }
    SdpTx& e = g_dev.ucastArrTx[slot];
    fillTx(e, sdp, chList);
    std::memset(e.dstMac, 0xFF, sizeof e.dstMac);
    return true;
}

bool Dev_clrUcastTx(const sdpInfo& sdp, const char** reason) {
    int n = tableCount(g_dev.ucastNumTx, RTP_MAX_UCAST_NUM);
    for (int i = 0; i < n; i++) {
        if (txInUse(g_dev.ucastArrTx[i]) && Route_sdpEqual(g_dev.ucastArrTx[i].sdp, sdp)) {
            clearTx(g_dev.ucastArrTx[i]);
            return true;
        }
    }
    *reason = "no match";
    return false;
}

// ---------------------------------------------------------------------------------
// Peer requests between devices

void Route_sendUcastPeerReq(int sdpId, bool set) {
    if (sdpId < 0 || sdpId >= RTP_MAX_UCAST_NUM)
        return;
    const SdpRx& e = g_dev.ucastArrRx[sdpId];
    if (e.sdp.srcIp == 0)
        return; // 0.0.0.0 would reach this computer itself
    int ch = e.sdp.chNum > RTP_MAX_CH_PER_SDP ? RTP_MAX_CH_PER_SDP : e.sdp.chNum;
    int32_t src[RTP_MAX_CH_PER_SDP];
    for (int k = 0; k < ch; k++) {
        int r = e.rtpChId[k];
        src[k] = (r >= 0 && r < RTP_MAX_CH_NUM) ? g_dev.srcChId[r] : -1;
    }
    sdpInfo s = e.sdp;
    s.dstIp = g_dev.ownIp;
    char buf[512] = "{";
    bool ok = Msg_appendMember(buf, sizeof buf, "ops", set ? "setUcastTx" : "clrUcastTx") &&
              Route_appendSdp(buf, sizeof buf, s) &&
              Route_appendIntArr(buf, sizeof buf, "srcChIdArr", src, ch) && Msg_closeObject(buf, sizeof buf);
    if (ok)
        Net_sendTo(g_dev.commandSock, buf, std::strlen(buf), e.sdp.srcIp, ROUTE_CMD_PORT);
}

bool Route_handlePeerStream(int sock, char* text, int, size_t cap, uint32_t addr, uint16_t port) {
    char ops[32];
    if (!Route_getStr(text, "ops", ops, sizeof ops))
        return false;
    const char* v = nullptr;
    if (Msg_findKey(text, "result", &v) == MSG_OK)
        return true; // a reply to our own request
    bool set = std::strcmp(ops, "setUcastTx") == 0;
    if (!set && std::strcmp(ops, "clrUcastTx") != 0)
        return false;
    RouteReq rq{sock, text, cap, addr, port};
    sdpInfo sdp;
    if (!Route_readSdp(text, &sdp))
        return true;
    const char* reason = nullptr;
    bool ok;
    if (set) {
        int32_t list[RTP_MAX_CH_PER_SDP];
        int n = Route_readIntList(text, "srcChIdArr", list, RTP_MAX_CH_PER_SDP);
        if (n == MSG_ERR_NOT_FOUND)
            return true;
        if (n < 0) {
            Route_reply(rq, false, "invalid srcChIdArr");
            return true;
        }
        ok = Dev_addUcastTx(sdp, list, n, &reason);
    } else {
        ok = Dev_clrUcastTx(sdp, &reason);
    }
    Route_reply(rq, ok, reason);
    return true;
}

// ---------------------------------------------------------------------------------
// Remote codes

bool Route_handleRemoteCode(int sock, char* text, int len, size_t, uint32_t addr, uint16_t port) {
    static const char* const codes[8] = {"1110", "2220", "3330", "4440", "5550", "6660", "7770", "8880"};
    if (len < 5)
        return false;
    int code = -1;
    for (int i = 0; i < 8; i++)
        if (std::memcmp(text, codes[i], 4) == 0)
            code = i;
    if (code < 0)
        return false;
    int64_t ch = 0;
    if (!Msg_parseInt(text + 4, &ch) || ch < 0)
        return false;
    bool tx = code < 4;
    if (ch >= tableCount(tx ? g_dev.phyChNumTx : g_dev.phyChNumRx, PHY_MAX_CH_NUM))
        return false;
    int c = int(ch);
    float* gain = tx ? g_dev.phyGainTx : g_dev.phyGainRx;
    int32_t* mute = tx ? g_dev.phyMuteTx : g_dev.phyMuteRx;
    switch (code % 4) {
    case 0:
        mute[c] = 1;
        break;
    case 1:
        mute[c] = 0;
        break;
    case 2:
        gain[c] = Dev_clampGain(gain[c] + 1.0f);
        break;
    default:
        gain[c] = Dev_clampGain(gain[c] - 1.0f);
        break;
    }
    Net_sendTo(sock, text, size_t(len), addr, port);
    return true;
}

// ---------------------------------------------------------------------------------
// Locks and password

// Reads up to cap-1 bytes of a file as text; false when it cannot be opened.
static bool readSmallFile(const char* path, char* out, size_t cap) {
    out[0] = '\0';
    char local[1024];
    if (!path || !Paths_resolve(path, local, sizeof local))
        return false;
    FILE* f = std::fopen(local, "rb");
    if (!f)
        return false;
    size_t n = std::fread(out, 1, cap - 1, f);
    std::fclose(f);
    out[n] = '\0';
    return true;
}

static void cmdGetLock(const RouteReq& rq) {
    if (!g_dev.passwordPath[0] || !g_dev.lockPath[0]) {
        Route_reply(rq, false, "not support");
        return;
    }
    char val[32];
    readSmallFile(g_dev.lockPath, val, sizeof val);
    if (Msg_beginDataReply(rq.text, rq.cap) && Msg_appendMember(rq.text, rq.cap, "val", val))
        Msg_sendObject(rq.sock, rq.addr, rq.port, rq.text, rq.cap);
}

// The lock file is the user's state: written beside and renamed over, so it is never half.
static bool writeLockFile(const char* path, const char* val) {
    char local[1024], tmp[1100];
    if (!Paths_resolve(path, local, sizeof local))
        return false;
    std::snprintf(tmp, sizeof tmp, "%s.tmp", local);
    Paths_ensureParent(local);
    FILE* f = std::fopen(tmp, "wb");
    if (!f)
        return false;
    size_t len = std::strlen(val);
    size_t w = std::fwrite(val, 1, len, f);
    bool ok = std::fflush(f) == 0 && w == len;
    std::fclose(f);
    if (w != len)
        std::printf("=== error at: fwrite(), fwrite=%ld, but bufSize=%ld \n", long(w), long(len));
    if (!ok || std::rename(tmp, local) != 0) {
        std::remove(tmp);
        return false;
    }
    return true;
}

static void cmdSetLock(const RouteReq& rq) {
    if (!g_dev.passwordPath[0] || !g_dev.lockPath[0]) {
        Route_reply(rq, false, "not support");
        return;
    }
    static char pw[ROUTE_TEXT_MAX];
    if (!Route_getStr(rq.text, "password", pw, sizeof pw))
        return;
    char local[1024];
    struct stat st;
    if (!Paths_resolve(g_dev.passwordPath, local, sizeof local) || stat(local, &st) != 0 ||
        st.st_size != 16) {
        Route_reply(rq, false, "not set passowrd");
        return;
    }
    unsigned char want[17];
    size_t got = 0;
    if (FILE* f = std::fopen(local, "rb")) {
        got = std::fread(want, 1, sizeof want, f);
        std::fclose(f);
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (got != 16 || EVP_Digest(pw, std::strlen(pw), md, &mdLen, EVP_md5(), nullptr) != 1 || mdLen != 16 ||
        std::memcmp(md, want, 16) != 0) {
        Route_reply(rq, false, "mismatch");
        return;
    }
    static char val[ROUTE_TEXT_MAX];
    if (!Route_getStr(rq.text, "val", val, sizeof val))
        return;
    // The file holds what is applied, not the text as sent: "1 " locked until a restart
    // read the file differently.
    const int32_t flags = Dev_lockFlagsOf(val);
    char applied[16];
    std::snprintf(applied, sizeof applied, "%d", int(flags));
    if (!writeLockFile(g_dev.lockPath, applied)) {
        Route_reply(rq, false, "file_write()");
        return;
    }
    g_dev.lockFlags = flags;
    Route_reply(rq, true, nullptr);
}

// ---------------------------------------------------------------------------------
// Routing commands

static void routed(const RouteReq& rq, bool ok, const char* reason) {
    if (ok) {
        g_dev.dirty = 1;
        Disc_sendUpdateRoute();
    }
    Route_reply(rq, ok, reason);
}

static void cmdClrRxCh(const RouteReq& rq) {
    int64_t c = 0;
    if (!Route_getInt(rq.text, "dstChId", &c))
        return;
    const char* reason = "invalid dstChId";
    bool ok = Dev_clearRxCh(c, &reason);
    routed(rq, ok, reason);
}

static void cmdSetUcastRx(const RouteReq& rq) {
    char dev[ROUTE_TEXT_MAX];
    int64_t src = 0, dst = 0;
    if (!Route_getStr(rq.text, "srcDevId", dev, sizeof dev) || !Route_getInt(rq.text, "srcChId", &src) ||
        !Route_getInt(rq.text, "dstChId", &dst))
        return;
    const char* reason = nullptr;
    bool ok = Dev_setRxCh_ucast(dev, src, dst, &reason);
    routed(rq, ok, reason);
}

static void cmdSetMcastRx(const RouteReq& rq) {
    sdpInfo sdp;
    int64_t src = 0, dst = 0;
    if (!Route_readSdp(rq.text, &sdp) || !Route_getInt(rq.text, "srcChId", &src) ||
        !Route_getInt(rq.text, "dstChId", &dst))
        return;
    const char* reason = nullptr;
    bool ok = Dev_setRxCh_mcast(sdp, src, dst, &reason);
    routed(rq, ok, reason);
}

static void cmdSetMcastTx(const RouteReq& rq) {
    sdpInfo sdp;
    if (!Route_readSdp(rq.text, &sdp))
        return;
    int32_t list[RTP_MAX_CH_PER_SDP];
    int n = Route_readIntList(rq.text, "srcChIdArr", list, RTP_MAX_CH_PER_SDP);
    if (n == MSG_ERR_NOT_FOUND)
        return;
    char name[ROUTE_TEXT_MAX];
    if (!Route_getStr(rq.text, "name", name, sizeof name))
        return;
    const char* reason = nullptr;
    bool ok;
    if (n < 0) {
        ok = false;
        reason = "invalid srcChIdArr";
    } else {
        ok = Dev_addMcastTx(sdp, list, n, name, &reason);
    }
    routed(rq, ok, reason);
}

static void cmdClrMcastTx(const RouteReq& rq) {
    char name[ROUTE_TEXT_MAX];
    if (!Route_getStr(rq.text, "name", name, sizeof name))
        return;
    const char* reason = nullptr;
    bool ok = Dev_removeMcastTx(name, &reason);
    routed(rq, ok, reason);
}

// ---------------------------------------------------------------------------------
// Dispatch

struct LockedCmd {
    const char* ops;
    int lockBit;
};
static const LockedCmd LOCKED[] = {
    {"setUcastRx", LOCK_UCAST_MCAST},       {"setMcastRx", LOCK_UCAST_MCAST},
    {"clrRxCh", LOCK_UCAST_MCAST},          {"setMcastTx", LOCK_UCAST_MCAST},
    {"clrMcastTx", LOCK_UCAST_MCAST},       {"setPhyGainDbRx", LOCK_PHY_GAIN_MUTE},
    {"setPhyGainDbTx", LOCK_PHY_GAIN_MUTE}, {"setPhyMuteRx", LOCK_PHY_GAIN_MUTE},
    {"setPhyMuteTx", LOCK_PHY_GAIN_MUTE},
};

struct RouteCmd {
    const char* ops;
    void (*fn)(const RouteReq&);
};
static const RouteCmd COMMANDS[] = {
    {"clrRxCh", cmdClrRxCh},       {"setUcastRx", cmdSetUcastRx}, {"setMcastRx", cmdSetMcastRx},
    {"setMcastTx", cmdSetMcastTx}, {"clrMcastTx", cmdClrMcastTx},
};

void Route_handleCommand(int sock, char* text, int, size_t cap, uint32_t addr, uint16_t port) {
    RouteReq rq{sock, text, cap, addr, port};
    char ops[64];
    if (!Route_getStr(text, "ops", ops, sizeof ops)) {
        Msg_setErrorKey("ops");
        return;
    }
    if (std::strcmp(ops, "saveToFile") == 0)
        return Query_saveToFile(rq);
    if (std::strcmp(ops, "getLock") == 0)
        return cmdGetLock(rq);
    if (std::strcmp(ops, "setLock") == 0)
        return cmdSetLock(rq);
    for (const LockedCmd& l : LOCKED) {
        if ((g_dev.lockFlags & l.lockBit) && std::strcmp(ops, l.ops) == 0) {
            Route_reply(rq, false, l.lockBit == LOCK_UCAST_MCAST ? "LOCK_UCAST_MCAST" : "LOCK_PHY_GAIN_MUTE");
            return;
        }
    }
    for (const RouteCmd& c : COMMANDS) {
        if (std::strcmp(ops, c.ops) == 0) {
            c.fn(rq);
            return;
        }
    }
    Query_handle(rq, ops); // the queries and settings; an unknown ops gets no reply
}
