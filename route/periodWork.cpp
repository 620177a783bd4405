// Periodic work on the 10 ms grid: iAm, the source check, unicast keep-alive in both
// directions, SAP re-announcements, engine synchronisation, the periodic save and the
// grandmaster identity text.
#include "route/periodWork.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/Msg.h"
#include "engine/myPtp.h"
#include "platform/diag.h"
#include "platform/net.h"
#include "route/devText.h"
#include "route/routeApi.h"
#include "route/routeImpl_c.h"
#include "route/sap.h"

static int lim(int32_t n, int max) { return n < 0 ? 0 : n > max ? max : n; }

// ------------------------------------------------------------------------------------
// Engine request helpers (all on g_koReq)

static bool koOps(const char* ops) {
    DevText t{g_koReq, sizeof g_koReq};
    DevText_begin(&t);
    DevText_str(&t, "ops", ops);
    DevText_end(&t);
    return t.ok && Dev_koSucc();
}

static bool koEntry(const char* ops, int sdpId) {
    DevText t{g_koReq, sizeof g_koReq};
    DevText_begin(&t);
    DevText_str(&t, "ops", ops);
    DevText_int(&t, "sdpId", sdpId);
    DevText_end(&t);
    return t.ok && Dev_koSucc();
}

static char s_val[64];

static bool numAt(const char* scope, const char* key, int64_t* out) {
    int type = 0;
    return Msg_readValue(scope, key, s_val, sizeof s_val, &type) == MSG_OK && Msg_parseInt(s_val, out);
}

// Elements of the array under key in the reply: the element count (may exceed cap, only
// cap are stored), or -1 when the member is missing or an element is not a number.
static int replyArr(const char* key, int64_t* out, int cap) {
    const char* cur = nullptr;
    int n = Msg_readArray(g_koReq, key, &cur);
    if (n < 0) {
        Msg_setErrorKey(key);
        return -1;
    }
    for (int i = 0; i < n; i++) {
        if (i < cap) {
            int64_t v;
            if (!numAt(cur, nullptr, &v)) {
                Msg_setErrorKey(key);
                return -1;
            }
            out[i] = v;
        }
        if (i + 1 < n && Msg_nextElement(&cur) != MSG_OK) return -1;
    }
    return n;
}

static bool replySdp(sdpInfo* s) {
    const char* sdp = nullptr;
    if (Msg_findKey(g_koReq, "sdp", &sdp) != MSG_OK || *sdp != '{') {
        Msg_setErrorKey("sdp");
        return false;
    }
    int type = 0;
    static const char* const keys[6] = {"srcIp", "dstIp", "dstPort", "chNum", "sampleByteNum", "rtpTsOffset"};
    int64_t v[6];
    for (int i = 0; i < 6; i++) {
        if (Msg_readValue(sdp, keys[i], s_val, sizeof s_val, &type) != MSG_OK) {
            Msg_setErrorKey(keys[i]);
            return false;
        }
        if (i < 2)
            v[i] = Net_parseIp(s_val);
        else if (!Msg_parseInt(s_val, &v[i]))
            return false;
    }
    s->srcIp = uint32_t(v[0]);
    s->dstIp = uint32_t(v[1]);
    s->dstPort = uint16_t(v[2]);
    s->chNum = uint8_t(v[3]);
    s->sampleByteNum = uint8_t(v[4]);
    s->rtpTsOffset = uint32_t(v[5]);
    return true;
}

static bool sdpEqual(const sdpInfo& a, const sdpInfo& b) {
    return a.srcIp == b.srcIp && a.dstIp == b.dstIp && a.dstPort == b.dstPort && a.chNum == b.chNum &&
           a.sampleByteNum == b.sampleByteNum && a.rtpTsOffset == b.rtpTsOffset;
}

static int slotCount(const sdpInfo& s) { return s.chNum < RTP_MAX_CH_PER_SDP ? s.chNum : RTP_MAX_CH_PER_SDP; }

// ------------------------------------------------------------------------------------
// Synchronisation steps

// Transmit table (unicast or multicast): true when something was pushed.
static bool syncTx(bool mcast) {
    SdpTx* tab = mcast ? g_dev.mcastArrTx : g_dev.ucastArrTx;
    int n = mcast ? lim(g_dev.mcastNumTx, RTP_MAX_MCAST_NUM) : lim(g_dev.ucastNumTx, RTP_MAX_UCAST_NUM);
    bool changed = false;
    for (int i = 0; i < n; i++) {
        const SdpTx& e = tab[i];
        if (!koEntry(mcast ? "getMcastTx" : "getUcastTx", i)) continue;
        bool macSet = false;
        for (int k = 0; k < 6; k++) macSet |= e.dstMac[k] != 0;
        if (e.sdp.dstIp != 0 && !macSet) continue; // not ours to push
        sdpInfo ko;
        int64_t slots[RTP_MAX_CH_PER_SDP], mac[6];
        if (!replySdp(&ko)) continue;
        int ns = replyArr("srcChIdArr", slots, RTP_MAX_CH_PER_SDP);
        int nm = replyArr("dstMac", mac, 6);
        if (ns < 0 || nm < 0) continue;
        bool diff = !sdpEqual(ko, e.sdp) || nm != 6;
        int cn = slotCount(e.sdp);
        for (int k = 0; k < cn && !diff; k++) diff = k >= ns || slots[k] != e.srcChId[k];
        for (int k = 0; k < 6 && !diff; k++) diff = mac[k] != e.dstMac[k];
        if (!diff) continue;
        DevText t{g_koReq, sizeof g_koReq};
        DevText_begin(&t);
        DevText_str(&t, "ops", mcast ? "setMcastTx" : "setUcastTx");
        DevText_int(&t, "sdpId", i);
        DevText_sdp(&t, e.sdp);
        DevText_intArr(&t, "srcChIdArr", e.srcChId, cn);
        DevText_arrBegin(&t, "dstMac");
        for (int k = 0; k < 6; k++) DevText_fmt(&t, nullptr, "0x%x", unsigned(e.dstMac[k]));
        DevText_arrEnd(&t);
        DevText_end(&t);
        // Only a push the engine took changes the routing; one it refuses (and that is
        // retried every cycle) must not flood the controllers with notices.
        changed |= t.ok && Dev_koSucc();
    }
    return changed;
}

static bool syncRx(bool mcast) {
    SdpRx* tab = mcast ? g_dev.mcastArrRx : g_dev.ucastArrRx;
    int n = mcast ? lim(g_dev.mcastNumRx, RTP_MAX_MCAST_NUM) : lim(g_dev.ucastNumRx, RTP_MAX_UCAST_NUM);
    bool changed = false;
    for (int i = 0; i < n; i++) {
        const SdpRx& e = tab[i];
        if (!koEntry(mcast ? "getMcastRx" : "getUcastRx", i)) continue;
        sdpInfo ko;
        int64_t slots[RTP_MAX_CH_PER_SDP];
        if (!replySdp(&ko)) continue;
        int ns = replyArr("rtpChIdArr", slots, RTP_MAX_CH_PER_SDP);
        if (ns < 0) continue;
        bool diff = !sdpEqual(ko, e.sdp);
        int cn = slotCount(e.sdp);
        for (int k = 0; k < cn && !diff; k++) diff = k >= ns || slots[k] != e.rtpChId[k];
        if (!diff) continue;
        DevText t{g_koReq, sizeof g_koReq};
        DevText_begin(&t);
        DevText_str(&t, "ops", mcast ? "setMcastRx" : "setUcastRx");
        DevText_int(&t, "sdpId", i);
        DevText_sdp(&t, e.sdp);
        DevText_intArr(&t, "rtpChIdArr", e.rtpChId, cn);
        DevText_end(&t);
        // Only a push the engine took changes the routing; one it refuses (and that is
        // retried every cycle) must not flood the controllers with notices.
        changed |= t.ok && Dev_koSucc();
    }
    return changed;
}

// A channel map: read with getOps, compared with want (the record's count is expected),
// pushed with setOps over the engine's count.
static bool syncMap(const char* getOps, const char* setOps, const int32_t* want, int expect) {
    if (!koOps(getOps)) return false;
    int64_t ko[RTP_MAX_CH_NUM];
    int n = replyArr("rtpChIdArr", ko, RTP_MAX_CH_NUM);
    if (n < 0) return false;
    if (n != expect) DIAG_ERROR_AT("routeImpl_c", "periodWork_syncToKo");
    if (n > RTP_MAX_CH_NUM) n = RTP_MAX_CH_NUM;
    bool diff = false;
    for (int i = 0; i < n && !diff; i++) diff = ko[i] != want[i];
    if (!diff) return false;
    DevText t{g_koReq, sizeof g_koReq};
    DevText_begin(&t);
    DevText_str(&t, "ops", setOps);
    DevText_intArr(&t, "rtpChIdArr", want, n);
    DevText_end(&t);
    return t.ok && Dev_koSucc();
}

static bool listed(const int64_t* ids, int n, int id) {
    for (int i = 0; i < n; i++)
        if (ids[i] == id) return true;
    return false;
}

static bool syncActive() {
    int64_t uIds[RTP_MAX_UCAST_NUM], mIds[RTP_MAX_MCAST_NUM];
    int nu = 0, nm = 0;
    if (koOps("getAllActiveSdpId")) {
        nu = replyArr("ucastIdArr", uIds, RTP_MAX_UCAST_NUM);
        nm = replyArr("mcastIdArr", mIds, RTP_MAX_MCAST_NUM);
    }
    if (nu < 0) nu = 0;
    if (nm < 0) nm = 0;
    if (nu > RTP_MAX_UCAST_NUM) nu = RTP_MAX_UCAST_NUM;
    if (nm > RTP_MAX_MCAST_NUM) nm = RTP_MAX_MCAST_NUM;
    bool changed = false;
    for (int i = 0; i < lim(g_dev.ucastNumRx, RTP_MAX_UCAST_NUM); i++) {
        SdpRx& e = g_dev.ucastArrRx[i];
        if (!Dev_rxInUse(&e)) continue;
        uint8_t a = listed(uIds, nu, i) ? 1 : 0;
        changed |= a != e.active;
        e.active = a;
    }
    for (int i = 0; i < lim(g_dev.mcastNumRx, RTP_MAX_MCAST_NUM); i++) {
        SdpRx& e = g_dev.mcastArrRx[i];
        if (!Dev_rxInUse(&e)) continue;
        uint8_t a = listed(mIds, nm, i) ? 1 : 0;
        changed |= a != e.active;
        e.active = a;
    }
    return changed;
}

float periodWork_levelDb(uint32_t v) {
    return 6.0206f * std::log2(std::sqrt(float(v)) * 1.4142135f / 32768.0f);
}

static void syncLevels(const char* ops, float* out, int expect) {
    if (!koOps(ops)) return;
    int64_t v[RTP_MAX_CH_NUM];
    int n = replyArr("arr", v, RTP_MAX_CH_NUM);
    if (n < 0) return;
    if (n != expect) DIAG_ERROR_AT("routeImpl_c", "periodWork_syncToKo");
    for (int i = 0; i < n && i < expect && i < RTP_MAX_CH_NUM; i++)
        out[i] = periodWork_levelDb(v[i] < 0 ? 0u : v[i] > 0xFFFFFFFFll ? 0xFFFFFFFFu : uint32_t(v[i]));
}

// Gains (ppm) or mutes: read the engine's array, push each channel that differs.
static void syncPhy(const char* getOps, const char* setOps, const char* valKey, bool gain, bool tx) {
    int expect = lim(tx ? g_dev.phyChNumTx : g_dev.phyChNumRx, PHY_MAX_CH_NUM);
    if (!koOps(getOps)) return;
    int64_t ko[PHY_MAX_CH_NUM];
    int n = replyArr("arr", ko, PHY_MAX_CH_NUM);
    if (n < 0) return;
    if (n != expect) DIAG_ERROR_AT("routeImpl_c", "periodWork_syncToKo");
    if (n > PHY_MAX_CH_NUM) n = PHY_MAX_CH_NUM;
    const float* g = tx ? g_dev.phyGainTx : g_dev.phyGainRx;
    const int32_t* m = tx ? g_dev.phyMuteTx : g_dev.phyMuteRx;
    for (int i = 0; i < n; i++) {
        int64_t want = gain ? Dev_dbToPpm(g[i]) : (m[i] != 0);
        if (ko[i] == want) continue;
        DevText t{g_koReq, sizeof g_koReq};
        DevText_begin(&t);
        DevText_str(&t, "ops", setOps);
        DevText_int(&t, "chId", i);
        DevText_int(&t, valKey, want);
        DevText_end(&t);
        if (t.ok) reqKo(g_koReq, sizeof g_koReq);
    }
}

void periodWork_syncToKo() {
    bool changed = false;
    changed |= syncTx(false);
    changed |= syncTx(true);
    changed |= syncRx(false);
    changed |= syncRx(true);

    int chRx = lim(g_dev.chNumRx, RTP_MAX_CH_NUM), chTx = lim(g_dev.chNumTx, RTP_MAX_CH_NUM);
    changed |= syncMap("getAllChRx", "setAllChRx", g_dev.rtpChId, chRx);

    // Receive channels routed from this device's own transmit channels are served by the
    // engine's loop-back map, without the network.
    int32_t loop[RTP_MAX_CH_NUM];
    for (int i = 0; i < RTP_MAX_CH_NUM; i++) loop[i] = -1;
    for (int r = 0; r < chRx; r++) {
        int c = g_dev.srcChId[r];
        if (c >= 0 && c < chTx && std::strcmp(g_dev.srcDevId[r], g_dev.devId) == 0) loop[c] = r;
    }
    changed |= syncMap("getAllChTx", "setAllChTx", loop, chTx);

    bool activityChanged = syncActive();

    syncLevels("getAllVolumeTx", g_dev.volumeDbTx, chTx);
    syncLevels("getAllVolumeRx", g_dev.volumeDbRx, chRx);
    syncLevels("getAllPhyVolumeTx", g_dev.phyVolumeDbTx, lim(g_dev.phyChNumTx, PHY_MAX_CH_NUM));
    syncLevels("getAllPhyVolumeRx", g_dev.phyVolumeDbRx, lim(g_dev.phyChNumRx, PHY_MAX_CH_NUM));

    syncPhy("getAllPhyGainTx", "setPhyGainTx", "ppm", true, true);
    syncPhy("getAllPhyGainRx", "setPhyGainRx", "ppm", true, false);
    syncPhy("getAllPhyMuteTx", "setPhyMuteTx", "mute", false, true);
    syncPhy("getAllPhyMuteRx", "setPhyMuteRx", "mute", false, false);

    if (changed)
        Disc_sendUpdateRoute();
    else if (activityChanged)
        Disc_sendUpdateActive();
}

// ------------------------------------------------------------------------------------
// The tick

// Step 3: one RTP channel per 930 ms; ask for its source again when its stream is not
// receiving.
static void sourceCheck(uint32_t k) {
    int chRx = lim(g_dev.chNumRx, RTP_MAX_CH_NUM);
    if (k % 93 != 0 || chRx <= 0) return;
    int r = int((k / 93) % uint32_t(chRx));
    bool routed = false;
    for (int c = 0; c < chRx && !routed; c++) routed = g_dev.rtpChId[c] == r;
    const char* src = g_dev.srcDevId[r];
    if (!routed || !src[0] || std::strcmp(src, g_dev.devId) == 0) return;
    for (int q = 0; q < r; q++)
        if (std::strcmp(g_dev.srcDevId[q], src) == 0) return; // a lower channel speaks for it
    for (int i = 0; i < lim(g_dev.ucastNumRx, RTP_MAX_UCAST_NUM); i++) {
        const SdpRx& e = g_dev.ucastArrRx[i];
        if (!Dev_rxInUse(&e)) continue;
        for (int s = 0; s < RTP_MAX_CH_PER_SDP; s++)
            if (e.rtpChId[s] == r && e.active) return; // carried and receiving
    }
    Disc_sendWhoIs(src);
}

void periodWork() {
    g_dev.msCounter += 10;
    uint32_t t = g_dev.msCounter, k = t / 10;

    if (t % 5000 == 4990) Disc_sendIAmGroup();

    sourceCheck(k);

    // Unicast receive refresh, at most four requests per tick.
    int nRx = lim(g_dev.ucastNumRx, RTP_MAX_UCAST_NUM);
    int n = int(4 * (k % uint32_t(nRx / 4 + 1)));
    for (int i = 0; i < nRx; i++) {
        SdpRx& e = g_dev.ucastArrRx[i];
        if (!Dev_rxInUse(&e)) continue;
        e.msCounter += 10;
        if (e.msCounter >= 501 && i >= n && i < n + 4) {
            e.msCounter = 0;
            Route_sendUcastPeerReq(i, true);
        }
    }

    // Unicast transmit streams live about 5 s after their receiver's last request.
    for (int i = 0; i < lim(g_dev.ucastNumTx, RTP_MAX_UCAST_NUM); i++) {
        SdpTx& e = g_dev.ucastArrTx[i];
        if (!Dev_txInUse(&e)) continue;
        e.msCounter += 10;
        if (e.msCounter >= 5001) Dev_clearSdpTx(&e);
    }

    for (int i = 0; i < lim(g_dev.mcastNumTx, RTP_MAX_MCAST_NUM); i++) {
        SdpTx& e = g_dev.mcastArrTx[i];
        if (!Dev_txInUse(&e)) continue;
        e.msCounter += 10;
        if (e.msCounter >= 10001) {
            e.msCounter = 0;
            Sap_send(&e, false);
        }
    }

    if (t % 350 == 340) periodWork_syncToKo();

    if (t % 4000 == 3990 && g_dev.dirty) Dev_saveToFile();

    if (t % 5000 == 4990 && t % 350 != 340) {
        uint8_t id[8];
        // Without a master the slave holds the all-ones "worst" identity; announcing that
        // as a reference clock would change every receiver's SDP for nothing, so the text
        // keeps the all-zero default the device starts with.
        if (!Ptp_getGmClockId(id)) std::memset(id, 0, sizeof id);
        std::snprintf(g_dev.gmClkId, sizeof g_dev.gmClkId, "%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x", id[0],
                      id[1], id[2], id[3], id[4], id[5], id[6], id[7]);
    }
}
