// Route queries and settings (unit routeApi).
#include "route/routeQuery.h"

#include "engine/Msg.h"
#include "route/routeImpl_c.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static int tableCount(int n, int max) {
    return n < 0 ? 0 : (n > max ? max : n);
}

// ---------------------------------------------------------------------------------
// Paged queries

// Writes item i into out (without a trailing comma); false when index i is not listed.
typedef bool (*ItemFn)(int i, char* out, size_t cap);

static bool itemRxCh(int i, char* out, size_t cap) {
    if (g_dev.rtpChId[i] == -1)
        return false;
    std::snprintf(out, cap, "{\"id\":\"%d\",\"rtpChId\":\"%d\"}", i, int(g_dev.rtpChId[i]));
    return true;
}

static bool itemRtpCh(int i, char* out, size_t cap) {
    if (g_dev.srcChId[i] == -1)
        return false;
    std::snprintf(out, cap, "{\"id\":\"%d\",\"srcChId\":\"%d\",", i, int(g_dev.srcChId[i]));
    return Msg_appendMember(out, cap, "srcDevId", g_dev.srcDevId[i]) && Msg_closeObject(out, cap);
}

static bool itemRx(const SdpRx& e, int i, char* out, size_t cap) {
    if (!Dev_rxInUse(&e))
        return false;
    int n = e.sdp.chNum > RTP_MAX_CH_PER_SDP ? RTP_MAX_CH_PER_SDP : e.sdp.chNum;
    std::snprintf(out, cap, "{\"id\":\"%d\",", i);
    return Route_appendSdp(out, cap, e.sdp) && Route_appendIntArr(out, cap, "rtpChIdArr", e.rtpChId, n) &&
           Route_appendInt(out, cap, "active", e.active ? 1 : 0) && Msg_closeObject(out, cap);
}
static bool itemUcastRx(int i, char* out, size_t cap) {
    return itemRx(g_dev.ucastArrRx[i], i, out, cap);
}
static bool itemMcastRx(int i, char* out, size_t cap) {
    return itemRx(g_dev.mcastArrRx[i], i, out, cap);
}

static bool itemTx(const SdpTx& e, int i, char* out, size_t cap) {
    if (!Dev_txInUse(&e))
        return false;
    int n = e.sdp.chNum > RTP_MAX_CH_PER_SDP ? RTP_MAX_CH_PER_SDP : e.sdp.chNum;
    std::snprintf(out, cap, "{\"id\":\"%d\",", i);
    return Route_appendSdp(out, cap, e.sdp) && Route_appendIntArr(out, cap, "srcChIdArr", e.srcChId, n) &&
           Msg_appendMember(out, cap, "name", e.name) && Msg_closeObject(out, cap);
}
static bool itemUcastTx(int i, char* out, size_t cap) {
    return itemTx(g_dev.ucastArrTx[i], i, out, cap);
}
static bool itemMcastTx(int i, char* out, size_t cap) {
    return itemTx(g_dev.mcastArrTx[i], i, out, cap);
}

static bool itemActive(const SdpRx& e, int i, char* out, size_t cap) {
    if (!Dev_rxInUse(&e) || !e.active)
        return false;
    std::snprintf(out, cap, "\"%d\"", i);
    return true;
}
static bool itemActiveU(int i, char* out, size_t cap) {
    return itemActive(g_dev.ucastArrRx[i], i, out, cap);
}
static bool itemActiveM(int i, char* out, size_t cap) {
    return itemActive(g_dev.mcastArrRx[i], i, out, cap);
}

static bool itemName(const char (*names)[DEV_TEXT_SIZE], int i, char* out, size_t cap) {
    // The field is read only up to its size, whatever it holds.
    char name[DEV_TEXT_SIZE];
    std::snprintf(name, sizeof name, "%.*s", DEV_TEXT_SIZE - 1, names[i]);
    std::snprintf(out, cap, "{\"id\":\"%d\",", i);
    return Msg_appendMember(out, cap, "name", name) && Msg_closeObject(out, cap);
}
static bool itemNameRx(int i, char* o, size_t c) {
    return itemName(g_dev.chNameRx, i, o, c);
}
static bool itemNameTx(int i, char* o, size_t c) {
    return itemName(g_dev.chNameTx, i, o, c);
}
static bool itemPhyNameRx(int i, char* o, size_t c) {
    return itemName(g_dev.phyChNameRx, i, o, c);
}
static bool itemPhyNameTx(int i, char* o, size_t c) {
    return itemName(g_dev.phyChNameTx, i, o, c);
}

static bool itemFloat(float v, char* out, size_t cap) {
    std::snprintf(out, cap, "\"%g\"", double(v));
    return true;
}
static bool itemVolRx(int i, char* o, size_t c) {
    return itemFloat(g_dev.volumeDbRx[i], o, c);
}
static bool itemVolTx(int i, char* o, size_t c) {
    return itemFloat(g_dev.volumeDbTx[i], o, c);
}
static bool itemPhyVolRx(int i, char* o, size_t c) {
    return itemFloat(g_dev.phyVolumeDbRx[i], o, c);
}
static bool itemPhyVolTx(int i, char* o, size_t c) {
    return itemFloat(g_dev.phyVolumeDbTx[i], o, c);
}
static bool itemGainRx(int i, char* o, size_t c) {
    return itemFloat(g_dev.phyGainRx[i], o, c);
}
static bool itemGainTx(int i, char* o, size_t c) {
    return itemFloat(g_dev.phyGainTx[i], o, c);
}
static bool itemMuteRx(int i, char* o, size_t c) {
    std::snprintf(o, c, "\"%d\"", int(g_dev.phyMuteRx[i]));
    return true;
}
static bool itemMuteTx(int i, char* o, size_t c) {
    std::snprintf(o, c, "\"%d\"", int(g_dev.phyMuteTx[i]));
    return true;
}

enum CountOf { C_CH_RX, C_CH_TX, C_PHY_RX, C_PHY_TX, C_UCAST_RX, C_UCAST_TX, C_MCAST_RX, C_MCAST_TX };

static int countOf(CountOf c) {
    switch (c) {
    case C_CH_RX:
        return tableCount(g_dev.chNumRx, RTP_MAX_CH_NUM);
    case C_CH_TX:
        return tableCount(g_dev.chNumTx, RTP_MAX_CH_NUM);
    case C_PHY_RX:
        return tableCount(g_dev.phyChNumRx, PHY_MAX_CH_NUM);
    case C_PHY_TX:
        return tableCount(g_dev.phyChNumTx, PHY_MAX_CH_NUM);
    case C_UCAST_RX:
        return tableCount(g_dev.ucastNumRx, RTP_MAX_UCAST_NUM);
    case C_UCAST_TX:
        return tableCount(g_dev.ucastNumTx, RTP_MAX_UCAST_NUM);
    case C_MCAST_RX:
        return tableCount(g_dev.mcastNumRx, RTP_MAX_MCAST_NUM);
    case C_MCAST_TX:
        return tableCount(g_dev.mcastNumTx, RTP_MAX_MCAST_NUM);
    }
    return 0;
}

struct PagedQuery {
    const char* ops;
    CountOf count;
    ItemFn item;
    int reserve;
};
static const PagedQuery PAGED[] = {
    {"getAllRxCh", C_CH_RX, itemRxCh, ROUTE_ITEM_RESERVE},
    {"getAllRtpCh", C_CH_RX, itemRtpCh, ROUTE_ITEM_RESERVE},
    {"getAllUcastRx", C_UCAST_RX, itemUcastRx, ROUTE_STREAM_RESERVE},
    {"getAllMcastRx", C_MCAST_RX, itemMcastRx, ROUTE_STREAM_RESERVE},
    {"getAllUcastTx", C_UCAST_TX, itemUcastTx, ROUTE_STREAM_RESERVE},
    {"getAllMcastTx", C_MCAST_TX, itemMcastTx, ROUTE_STREAM_RESERVE},
    {"getAllActiveUcastId", C_UCAST_RX, itemActiveU, ROUTE_ITEM_RESERVE},
    {"getAllActiveMcastId", C_MCAST_RX, itemActiveM, ROUTE_ITEM_RESERVE},
    {"getAllChNameRx", C_CH_RX, itemNameRx, ROUTE_ITEM_RESERVE},
    {"getAllChNameTx", C_CH_TX, itemNameTx, ROUTE_ITEM_RESERVE},
    {"getAllPhyChNameRx", C_PHY_RX, itemPhyNameRx, ROUTE_ITEM_RESERVE},
    {"getAllPhyChNameTx", C_PHY_TX, itemPhyNameTx, ROUTE_ITEM_RESERVE},
    {"getAllVolumeDbRx", C_CH_RX, itemVolRx, ROUTE_ITEM_RESERVE},
    {"getAllVolumeDbTx", C_CH_TX, itemVolTx, ROUTE_ITEM_RESERVE},
    {"getAllPhyVolumeDbRx", C_PHY_RX, itemPhyVolRx, ROUTE_ITEM_RESERVE},
    {"getAllPhyVolumeDbTx", C_PHY_TX, itemPhyVolTx, ROUTE_ITEM_RESERVE},
    {"getAllPhyGainDbRx", C_PHY_RX, itemGainRx, ROUTE_ITEM_RESERVE},
    {"getAllPhyGainDbTx", C_PHY_TX, itemGainTx, ROUTE_ITEM_RESERVE},
    {"getAllPhyMuteRx", C_PHY_RX, itemMuteRx, ROUTE_ITEM_RESERVE},
    {"getAllPhyMuteTx", C_PHY_TX, itemMuteTx, ROUTE_ITEM_RESERVE},
};

// Room for the page's tail: "],"idNext":"128"}".
#define PAGE_TAIL 20

static void runPaged(const RouteReq& rq, const PagedQuery& q) {
    int64_t start = 0;
    if (!Route_getInt(rq.text, "idStart", &start))
        return;
    if (start < 0) {
        Route_reply(rq, false, "invalid idStart");
        return;
    }
    int count = countOf(q.count);
    if (!Msg_beginDataReply(rq.text, rq.cap) || !Msg_appendf(rq.text, rq.cap, "\"arr\":["))
        return;
    size_t len = std::strlen(rq.text);
    size_t limit = rq.cap < ROUTE_PAGE_BUDGET ? rq.cap : ROUTE_PAGE_BUDGET;
    int next = count;
    bool any = false;
    char item[512];
    for (int i = start > count ? count : int(start); i < count; i++) {
        if (!q.item(i, item, sizeof item))
            continue;
        size_t n = std::strlen(item);
        // The reserve keeps pages where controllers expect them; the exact test makes sure
        // no item, however long its names, pushes the datagram past the budget.
        if (len + size_t(q.reserve) > ROUTE_PAGE_BUDGET || len + n + 1 + PAGE_TAIL > limit) {
            next = i;
            break;
        }
        std::memcpy(rq.text + len, item, n);
        rq.text[len + n] = ',';
        len += n + 1;
        rq.text[len] = '\0';
        any = true;
    }
    if (any)
        rq.text[--len] = '\0'; // the last item's comma
    if (Msg_appendf(rq.text, rq.cap, "],") && Route_appendInt(rq.text, rq.cap, "idNext", next))
        Msg_sendObject(rq.sock, rq.addr, rq.port, rq.text, rq.cap);
}

// ---------------------------------------------------------------------------------
// Statistics pass-through

static bool sdpIdInRange(const char* ops, int64_t id) {
    int n = std::strstr(ops, "Ucast") ? countOf(C_UCAST_RX) : countOf(C_MCAST_RX);
    return id >= 0 && id < n;
}

static bool askKo(const char* ops, int64_t id) {
    std::snprintf(g_koReq, sizeof g_koReq, "{\"ops\":\"%s\",\"sdpId\":\"%lld\"}", ops, (long long)id);
    bool ok = reqKo(g_koReq, sizeof g_koReq);
    g_koReq[sizeof g_koReq - 1] = '\0';
    return ok;
}

static void cmdGetStats(const RouteReq& rq, const char* ops) {
    int64_t id = 0;
    if (!Route_getInt(rq.text, "sdpId", &id))
        return;
    if (!sdpIdInRange(ops, id)) {
        Route_reply(rq, false, "invalid sdpId");
        return;
    }
    if (!askKo(ops, id) || g_koReq[0] != '{') {
        Route_reply(rq, false, "get fail");
        return;
    }
    // The request's members, then every member of the engine's reply.
    char* close = std::strrchr(rq.text, '}');
    const char* body = g_koReq + 1;
    while (*body == ' ')
        body++;
    size_t len = close ? size_t(close - rq.text) : 0;
    size_t n = std::strlen(body);
    while (n > 0 && body[n - 1] != '}')
        n--; // the engine's closing brace; the send closes again
    if (!close || n < 2 || len + 1 + n + 1 > rq.cap) {
        Route_reply(rq, false, "get fail");
        return;
    }
    rq.text[len] = ',';
    std::memcpy(rq.text + len + 1, body, n - 1);
    rq.text[len + n] = ',';
    rq.text[len + n + 1] = '\0';
    Msg_sendObject(rq.sock, rq.addr, rq.port, rq.text, rq.cap);
}

static bool koSucc() {
    char res[16];
    int type = 0;
    return Msg_readValue(g_koReq, "result", res, sizeof res, &type) == MSG_OK &&
           std::strcmp(res, "succ") == 0;
}

static void cmdClrStats(const RouteReq& rq, const char* ops) {
    int64_t id = 0;
    if (!Route_getInt(rq.text, "sdpId", &id))
        return;
    if (!sdpIdInRange(ops, id)) {
        Route_reply(rq, false, "invalid sdpId");
        return;
    }
    bool ok = askKo(ops, id) && koSucc();
    Route_reply(rq, ok, nullptr);
}

// ---------------------------------------------------------------------------------
// Settings

static void done(const RouteReq& rq, bool ok, const char* reason) {
    if (ok)
        g_dev.dirty = 1;
    Route_reply(rq, ok, reason);
}

void Query_saveToFile(const RouteReq& rq) {
    bool ok = !g_dev.dirty || Dev_saveToFile();
    Route_reply(rq, ok, ok ? nullptr : "file_write()");
}

static void cmdSetDevName(const RouteReq& rq) {
    char name[ROUTE_TEXT_MAX];
    if (!Route_getStr(rq.text, "name", name, sizeof name))
        return;
    // An empty name would make every peer ignore this device's iAm.
    size_t n = std::strlen(name);
    if (n == 0 || n >= sizeof g_dev.name)
        return done(rq, false, "invalid name");
    std::memcpy(g_dev.name, name, n + 1);
    done(rq, true, nullptr);
}

static void cmdSetSampleByteNum(const RouteReq& rq) {
    int64_t v = 0;
    if (!Route_getInt(rq.text, "sampleByteNum", &v))
        return;
    if (v < 1 || v > 4)
        return done(rq, false, "invalid sampleByteNum");
    g_dev.sampleByteNum = int32_t(v);
    done(rq, true, nullptr);
}

static void cmdSetDelayUs(const RouteReq& rq) {
    int64_t us = 0;
    if (!Route_getInt(rq.text, "us", &us))
        return;
    if (us < 0 || us > INT32_MAX || g_dev.sampleRate <= 0 || g_dev.pFrameNum <= 0)
        return done(rq, false, "invalid us");
    int32_t grid = -1;
    int frames = Dev_delayUsToFrames(us, &grid);
    if (grid != us)
        return done(rq, false, "invalid us");
    if (!Dev_writeKo("setLinkOffset", "frameNum", frames))
        return done(rq, false, nullptr);
    g_dev.delayUs = int32_t(us);
    done(rq, true, nullptr);
}

static void cmdSetDscp(const RouteReq& rq) {
    int64_t v = 0;
    char text[ROUTE_TEXT_MAX];
    if (!Route_getStr(rq.text, "dscp", text, sizeof text))
        return;
    // A value that is there but no number ("46abc") is refused with its reason, not
    // left unanswered like a missing one.
    if (!Msg_parseInt(text, &v) || v < 1 || v > 62)
        return done(rq, false, "invalid dscp");
    Dev_writeKo("setDscp", "dscp", v); // the engine's answer does not change the setting
    g_dev.dscp = int32_t(v);
    done(rq, true, nullptr);
}

static void cmdSetChName(const RouteReq& rq, const char* ops) {
    char name[ROUTE_TEXT_MAX];
    int64_t id = 0;
    if (!Route_getStr(rq.text, "name", name, sizeof name) || !Route_getInt(rq.text, "id", &id))
        return;
    bool rx = std::strstr(ops, "ChNameRx") != nullptr;
    bool phy = std::strncmp(ops, "setPhy", 6) == 0;
    size_t n = std::strlen(name);
    if (n == 0 || n >= DEV_TEXT_SIZE)
        return done(rq, false, "invalid name");
    int count = countOf(phy ? (rx ? C_PHY_RX : C_PHY_TX) : (rx ? C_CH_RX : C_CH_TX));
    if (id < 0 || id >= count)
        return done(rq, false, "invalid id");
    char(*table)[DEV_TEXT_SIZE] =
        phy ? (rx ? g_dev.phyChNameRx : g_dev.phyChNameTx) : (rx ? g_dev.chNameRx : g_dev.chNameTx);
    std::memcpy(table[id], name, n + 1);
    done(rq, true, nullptr);
}

static void cmdSetPhyGain(const RouteReq& rq, bool rx) {
    int64_t id = 0;
    char val[64];
    if (!Route_getInt(rq.text, "id", &id) || !Route_getStr(rq.text, "val", val, sizeof val))
        return;
    char* end = nullptr;
    double db = std::strtod(val, &end);
    // "nan" and "inf" parse as numbers but have no place on the gain scale.
    if (end == val || *end != '\0' || !std::isfinite(db)) {
        Msg_setErrorKey("val");
        return;
    }
    if (id < 0 || id >= countOf(rx ? C_PHY_RX : C_PHY_TX))
        return done(rq, false, "invalid id");
    float g = Dev_clampGain(db < -1000.0 ? -1000.0f : (db > 1000.0 ? 1000.0f : float(db)));
    (rx ? g_dev.phyGainRx : g_dev.phyGainTx)[id] = g;
    done(rq, true, nullptr);
}

static void cmdSetPhyMute(const RouteReq& rq, bool rx) {
    int64_t id = 0, v = 0;
    if (!Route_getInt(rq.text, "id", &id) || !Route_getInt(rq.text, "val", &v))
        return;
    if (id < 0 || id >= countOf(rx ? C_PHY_RX : C_PHY_TX))
        return done(rq, false, "invalid id");
    (rx ? g_dev.phyMuteRx : g_dev.phyMuteTx)[id] = v != 0 ? 1 : 0;
    done(rq, true, nullptr);
}

static size_t escapedLen(const char* s) {
    size_t n = 0;
    for (; *s; s++)
        n += (*s == '"' || *s == '\\' || (unsigned char)*s < 32) ? 2 : 1;
    return n;
}

static void cmdGetCustomStr(const RouteReq& rq) {
    char str[DEV_CUSTOM_STR_SIZE];
    std::snprintf(str, sizeof str, "%.*s", DEV_CUSTOM_STR_SIZE - 1, g_dev.customStr);
    if (Msg_beginDataReply(rq.text, rq.cap) && Msg_appendMember(rq.text, rq.cap, "str", str))
        Msg_sendObject(rq.sock, rq.addr, rq.port, rq.text, rq.cap);
}

static void cmdSetCustomStr(const RouteReq& rq) {
    char str[ROUTE_TEXT_MAX];
    if (!Route_getStr(rq.text, "str", str, sizeof str))
        return;
    size_t n = std::strlen(str);
    if (n >= sizeof g_dev.customStr || escapedLen(str) > ROUTE_CUSTOM_STR_MAX)
        return done(rq, false, "invalid str");
    std::memcpy(g_dev.customStr, str, n + 1);
    done(rq, true, nullptr);
}

bool Query_handle(const RouteReq& rq, const char* ops) {
    for (const PagedQuery& q : PAGED) {
        if (std::strcmp(ops, q.ops) == 0) {
            runPaged(rq, q);
            return true;
        }
    }
    if (!std::strcmp(ops, "getUcastStats") || !std::strcmp(ops, "getMcastStats"))
        cmdGetStats(rq, ops);
    else if (!std::strcmp(ops, "clrUcastStats") || !std::strcmp(ops, "clrMcastStats"))
        cmdClrStats(rq, ops);
    else if (!std::strcmp(ops, "setDevName"))
        cmdSetDevName(rq);
    else if (!std::strcmp(ops, "setSampleByteNum"))
        cmdSetSampleByteNum(rq);
    else if (!std::strcmp(ops, "setDelayUs"))
        cmdSetDelayUs(rq);
    else if (!std::strcmp(ops, "setDscp"))
        cmdSetDscp(rq);
    else if (!std::strcmp(ops, "setChNameRx") || !std::strcmp(ops, "setChNameTx") ||
             !std::strcmp(ops, "setPhyChNameRx") || !std::strcmp(ops, "setPhyChNameTx"))
        cmdSetChName(rq, ops);
    else if (!std::strcmp(ops, "setPhyGainDbRx"))
        cmdSetPhyGain(rq, true);
    else if (!std::strcmp(ops, "setPhyGainDbTx"))
        cmdSetPhyGain(rq, false);
    else if (!std::strcmp(ops, "setPhyMuteRx"))
        cmdSetPhyMute(rq, true);
    else if (!std::strcmp(ops, "setPhyMuteTx"))
        cmdSetPhyMute(rq, false);
    else if (!std::strcmp(ops, "getCustomStr"))
        cmdGetCustomStr(rq);
    else if (!std::strcmp(ops, "setCustomStr"))
        cmdSetCustomStr(rq);
    else
        return false;
    return true;
}
