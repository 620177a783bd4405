// Discovery and peer synchronisation (unit routeApi).
#include "route/discovery.h"

#include "engine/Msg.h"
#include "platform/diag.h"
#include "platform/net.h"
#include "route/routeApi.h"
#include "route/devText.h"

#include <climits>
#include <cstdio>
#include <cstring>

static const char* const UNIT = "routeApi";

// ---------------------------------------------------------------------------------
// Sending

// To the control group and, when one is set, to the second group, at the control port.
static void sendToGroups(const char* text) {
    size_t n = std::strlen(text);
    Net_sendTo(g_dev.discoverySock, text, n, g_dev.ctrlGroup, g_dev.ctrlPortMcast);
    if (g_dev.ctrlGroup2)
        Net_sendTo(g_dev.discoverySock, text, n, g_dev.ctrlGroup2, g_dev.ctrlPortMcast);
}

bool Disc_buildIAm(char* out, size_t cap) {
    if (cap < 2)
        return false;
    std::strcpy(out, "{");
    const struct {
        const char* key;
        int32_t v;
    } nums[] = {
        {"chNumRx", g_dev.chNumRx},
        {"chNumTx", g_dev.chNumTx},
        {"ucastNumRx", g_dev.ucastNumRx},
        {"ucastNumTx", g_dev.ucastNumTx},
        {"mcastNumRx", g_dev.mcastNumRx},
        {"mcastNumTx", g_dev.mcastNumTx},
        {"sampleRate", g_dev.sampleRate},
        {"sampleByteNum", g_dev.sampleByteNum},
        {"pFrameNum", g_dev.pFrameNum},
        {"delayUs", g_dev.delayUs},
        {"dscp", g_dev.dscp},
    };
    bool ok =
        Msg_appendMember(out, cap, "ops", "iAmVelunor") && Msg_appendMember(out, cap, "protVer", "0.1") &&
        Msg_appendMember(out, cap, "devId", g_dev.devId) && Msg_appendMember(out, cap, "name", g_dev.name) &&
        Route_appendIp(out, cap, "ip", g_dev.ownIp) && Route_appendInt(out, cap, "port", ROUTE_CMD_PORT);
    for (const auto& m : nums)
        ok = ok && Route_appendInt(out, cap, m.key, m.v);
    ok = ok && Msg_appendMember(out, cap, "myClkId", g_dev.myClkId) &&
         Msg_appendMember(out, cap, "gmClkId", g_dev.gmClkId) &&
         Msg_appendMember(out, cap, "model", g_dev.model) &&
         Route_appendInt(out, cap, "phyChNumRx", g_dev.phyChNumRx) &&
         Route_appendInt(out, cap, "phyChNumTx", g_dev.phyChNumTx) && Msg_closeObject(out, cap);
    return ok;
}

void Disc_sendIAm(uint32_t addr, uint16_t port) {
    char buf[1024];
    if (!Disc_buildIAm(buf, sizeof buf))
        return;
    size_t n = std::strlen(buf);
    Net_sendTo(g_dev.discoverySock, buf, n, addr, port);
    if (addr == g_dev.ctrlGroup && port == g_dev.ctrlPortMcast && g_dev.ctrlGroup2)
        Net_sendTo(g_dev.discoverySock, buf, n, g_dev.ctrlGroup2, port);
}

void Disc_sendIAmGroup() {
    Disc_sendIAm(g_dev.ctrlGroup, g_dev.ctrlPortMcast);
}

void Disc_sendWhoIs(const char* devId) {
    char buf[256] = "{";
    if (Msg_appendMember(buf, sizeof buf, "ops", "whoIsVelunor") &&
        Msg_appendMember(buf, sizeof buf, "devId", devId ? devId : "") && Msg_closeObject(buf, sizeof buf))
        sendToGroups(buf);
}

void Disc_sendUpdateActive() {
    sendToGroups("{\"ops\":\"updateActive\"}");
}
void Disc_sendUpdateRoute() {
    sendToGroups("{\"ops\":\"updateRoute\"}");
}

// ---------------------------------------------------------------------------------
// Receiving

bool Disc_parseIAm(const char* text, PeerDesc* out) {
    std::memset(out, 0, sizeof *out);
    char dev[ROUTE_TEXT_MAX], name[ROUTE_TEXT_MAX], ip[64];
    if (!Route_getStr(text, "devId", dev, sizeof dev) || !Route_getStr(text, "name", name, sizeof name) ||
        !Route_getStr(text, "ip", ip, sizeof ip))
        return false;
    // A longer id could never equal a source device id kept in the record.
    if (std::strlen(dev) >= sizeof out->devId)
        return false;
    std::memcpy(out->devId, dev, std::strlen(dev) + 1);
    std::snprintf(out->name, sizeof out->name, "%.*s", int(sizeof out->name) - 1, name); // cut to fit
    out->ip = Net_parseIp(ip);
    const struct {
        const char* key;
        int32_t* v;
    } nums[] = {
        {"port", &out->port},
        {"chNumRx", &out->chNumRx},
        {"chNumTx", &out->chNumTx},
        {"ucastNumRx", &out->ucastNumRx},
        {"ucastNumTx", &out->ucastNumTx},
        {"mcastNumRx", &out->mcastNumRx},
        {"mcastNumTx", &out->mcastNumTx},
        {"sampleRate", &out->sampleRate},
        {"sampleByteNum", &out->sampleByteNum},
        {"pFrameNum", &out->pFrameNum},
    };
    for (const auto& m : nums) {
        int64_t v = 0;
        if (!Route_getInt(text, m.key, &v))
            return false;
        if (v < 0 || v > INT32_MAX)
            return false;
        *m.v = int32_t(v);
    }
    return true;
}

static int slotCount(const SdpRx& e) {
    return e.sdp.chNum > RTP_MAX_CH_PER_SDP ? RTP_MAX_CH_PER_SDP : e.sdp.chNum;
}

bool Dev_sync_newSrcDev(const PeerDesc& peer) {
    if (!peer.name[0] || !peer.devId[0] || peer.sampleRate != g_dev.sampleRate ||
        std::strcmp(peer.devId, g_dev.devId) == 0)
        return false;
    int nu = g_dev.ucastNumRx < 0
                 ? 0
                 : (g_dev.ucastNumRx > RTP_MAX_UCAST_NUM ? RTP_MAX_UCAST_NUM : g_dev.ucastNumRx);
    int nr = g_dev.chNumRx < 0 ? 0 : (g_dev.chNumRx > RTP_MAX_CH_NUM ? RTP_MAX_CH_NUM : g_dev.chNumRx);

    // Streams from this peer that no longer fit one packet are dropped and made anew below.
    int ownLimit = Route_udpLimit(g_dev.sampleByteNum, g_dev.pFrameNum);
    for (int i = 0; i < nu; i++) {
        SdpRx& e = g_dev.ucastArrRx[i];
        if (Dev_rxInUse(&e) && e.sdp.srcIp == peer.ip && e.sdp.chNum > ownLimit)
            Dev_clearSdpRx(&e);
    }

    for (int r = 0; r < nr; r++) {
        if (g_dev.srcChId[r] == -1 || std::strcmp(g_dev.srcDevId[r], peer.devId) != 0)
            continue;
        bool placed = false;
        for (int i = 0; i < nu && !placed; i++) {
            SdpRx& e = g_dev.ucastArrRx[i];
            if (!Dev_rxInUse(&e))
                continue;
            for (int k = 0; k < slotCount(e); k++) {
                if (e.rtpChId[k] == r) {
                    e.sdp.srcIp = peer.ip; // the peer may have moved
                    placed = true;
                    break;
                }
            }
        }
        for (int i = 0; i < nu && !placed; i++) {
            SdpRx& e = g_dev.ucastArrRx[i];
            if (!Dev_rxInUse(&e) || e.sdp.srcIp != peer.ip)
                continue;
            for (int k = 0; k < slotCount(e); k++) {
                if (e.rtpChId[k] == -1) {
                    e.rtpChId[k] = r;
                    placed = true;
                    break;
                }
            }
        }
        if (placed)
            continue;
        sdpInfo s{};
        s.srcIp = peer.ip;
        s.dstIp = g_dev.ownIp;
        s.dstPort = RTP_PORT;
        s.sampleByteNum = uint8_t(g_dev.sampleByteNum);
        int ch = g_dev.chNumRx;
        if (peer.chNumTx < ch)
            ch = peer.chNumTx;
        if (ch > RTP_MAX_CH_PER_SDP)
            ch = RTP_MAX_CH_PER_SDP;
        int lim = Route_udpLimit(g_dev.sampleByteNum, peer.pFrameNum);
        if (lim < ch)
            ch = lim;
        s.chNum = uint8_t(ch < 0 ? 0 : ch);
        // A peer without transmit channels, or no own address yet: nothing could flow.
        if (!Dev_sdpValid(&s))
            continue;
        int slot = -1;
        for (int i = 0; i < nu && slot < 0; i++)
            if (!Dev_rxInUse(&g_dev.ucastArrRx[i]))
                slot = i;
        if (slot < 0) {
            DIAG_ERROR_AT(UNIT, "Dev_sync_newSrcDev");
            continue;
        }
        SdpRx& e = g_dev.ucastArrRx[slot];
        Dev_clearSdpRx(&e);
        s.rtpTsOffset = uint32_t(slot);
        e.sdp = s;
        e.rtpChId[0] = r;
    }
    return true;
}

void Disc_handle(int, char* text, int, size_t, uint32_t addr, uint16_t port) {
    char ops[32];
    if (!Route_getStr(text, "ops", ops, sizeof ops))
        return;
    if (std::strcmp(ops, "whoIsVelunor") == 0) {
        char dev[ROUTE_TEXT_MAX];
        if (!Route_getStr(text, "devId", dev, sizeof dev))
            return;
        if (dev[0] && std::strcmp(dev, g_dev.devId) != 0)
            return;
        Disc_sendIAm(addr, port);
    } else if (std::strcmp(ops, "iAmVelunor") == 0) {
        PeerDesc peer;
        if (Disc_parseIAm(text, &peer))
            Dev_sync_newSrcDev(peer);
    }
}
