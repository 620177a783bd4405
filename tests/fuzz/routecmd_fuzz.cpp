// The route command handler, every command: an input is up to eight datagrams separated
// by NUL bytes, each handed to the handlers the way the route loop does (remote codes, peer
// streams, route commands) and also to the discovery handler, against a fresh record.
// Sockets are -1, so no datagram leaves; the engine is a stand-in that agrees to all.
#include "engine/Msg.h"
#include "route/routeApi.h"
#include "route/routeImpl_c.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

static bool fakeKo(char* buf, size_t cap) {
    char ops[64] = "";
    Msg_getStr(buf, "ops", ops, sizeof ops);
    const char* r = "{\"result\":\"succ\"}";
    if (!std::strcmp(ops, "getUcastStats") || !std::strcmp(ops, "getMcastStats"))
        r = "{\"result\":\"succ\",\"total\":\"1\",\"maxUs\":\"-3\"}";
    else if (!std::strcmp(ops, "getAllChTx") || !std::strcmp(ops, "getAllChRx"))
        r = "{\"result\":\"succ\",\"rtpChIdArr\":[\"-1\",\"3\"]}";
    std::snprintf(buf, cap, "%s", r);
    return true;
}

static void resetDev() {
    std::memset(&g_dev, 0, sizeof g_dev);
    std::strcpy(g_dev.devId, "devB");
    std::strcpy(g_dev.name, "devB");
    g_dev.ownIp = 0x0A4D0002u;
    g_dev.chNumRx = g_dev.chNumTx = 8;
    g_dev.phyChNumRx = g_dev.phyChNumTx = 8;
    g_dev.ucastNumRx = g_dev.ucastNumTx = 8;
    g_dev.mcastNumRx = g_dev.mcastNumTx = 4;
    g_dev.sampleRate = 48000;
    g_dev.sampleByteNum = 3;
    g_dev.pFrameNum = 48;
    g_dev.delayUs = 5000;
    g_dev.dscp = 34;
    for (int i = 0; i < RTP_MAX_CH_NUM; i++)
        g_dev.rtpChId[i] = g_dev.srcChId[i] = -1;
    for (auto& e : g_dev.ucastArrRx)
        Dev_clearSdpRx(&e);
    for (auto& e : g_dev.mcastArrRx)
        Dev_clearSdpRx(&e);
    for (auto& e : g_dev.ucastArrTx)
        Dev_clearSdpTx(&e);
    for (auto& e : g_dev.mcastArrTx)
        Dev_clearSdpTx(&e);
    g_dev.discoverySock = g_dev.commandSock = -1;
    g_dev.ctrlGroup = 0xEF0000BCu;
    g_dev.ctrlPortMcast = 9996;
    // Lock and password live in a private folder; "pw" is the password.
    static char dir[64] = "";
    if (!dir[0]) {
        std::snprintf(dir, sizeof dir, "/tmp/routecmdfuzzXXXXXX");
        if (!mkdtemp(dir))
            std::strcpy(dir, "/tmp");
        else
            std::atexit([] { std::filesystem::remove_all(dir); });
        char p[128];
        std::snprintf(p, sizeof p, "%s/pw", dir);
        static const unsigned char md5pw[16] = {0x8f, 0xe4, 0xc1, 0x14, 0x51, 0x28, 0x1c, 0x09,
                                                0x4a, 0x65, 0x78, 0xe6, 0xdd, 0xbf, 0x5e, 0xed};
        if (FILE* f = std::fopen(p, "wb")) {
            std::fwrite(md5pw, 1, 16, f);
            std::fclose(f);
        }
    }
    std::snprintf(g_dev.passwordPath, sizeof g_dev.passwordPath, "%s/pw", dir);
    std::snprintf(g_dev.lockPath, sizeof g_dev.lockPath, "%s/lock", dir);
    std::snprintf(g_dev.filePath, sizeof g_dev.filePath, "%s/_route", dir);
}

// Invariants every command must keep.
static void check() {
    for (int c = 0; c < RTP_MAX_CH_NUM; c++) {
        int r = g_dev.rtpChId[c];
        if (r < -1 || r >= RTP_MAX_CH_NUM)
            std::abort();
        if (r >= 0 && g_dev.srcChId[r] == -1)
            std::abort(); // a route to a free RTP channel
    }
    for (int r = 0; r < RTP_MAX_CH_NUM; r++)
        if (std::memchr(g_dev.srcDevId[r], 0, DEV_TEXT_SIZE) == nullptr)
            std::abort();
    if (!std::memchr(g_dev.name, 0, sizeof g_dev.name) ||
        !std::memchr(g_dev.customStr, 0, sizeof g_dev.customStr))
        std::abort();
    for (const SdpTx& e : g_dev.mcastArrTx)
        if (Dev_txInUse(&e) && (e.sdp.chNum > 8 || !std::memchr(e.name, 0, sizeof e.name)))
            std::abort();
    for (int i = 0; i < PHY_MAX_CH_NUM; i++)
        if (!(g_dev.phyGainTx[i] >= -60.0f && g_dev.phyGainTx[i] <= 24.0f) ||
            !(g_dev.phyGainRx[i] >= -60.0f && g_dev.phyGainRx[i] <= 24.0f))
            std::abort();
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Msg_setKoInProcess(false);
    Msg_setDriverRequest(fakeKo);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    resetDev();
    static char buf[MSG_ROUTE_BUF_SIZE];
    size_t pos = 0;
    for (int n = 0; n < 8 && pos < size; n++) {
        const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data + pos, 0, size - pos));
        size_t len = nul ? size_t(nul - (data + pos)) : size - pos;
        size_t take = len > 1499 ? 1499 : len; // what one read of the route loop can hold
        std::memcpy(buf, data + pos, take);
        buf[take] = '\0';
        int l = int(take);
        if (!Route_handleRemoteCode(-1, buf, l, sizeof buf, 0x7F000001u, 5555) &&
            !Route_handlePeerStream(-1, buf, l, sizeof buf, 0x7F000001u, 5555))
            Route_handleCommand(-1, buf, l, sizeof buf, 0x7F000001u, 5555);
        if (std::strlen(buf) >= sizeof buf)
            std::abort();
        std::memcpy(buf, data + pos, take);
        buf[take] = '\0';
        Disc_handle(-1, buf, l, sizeof buf, 0x7F000001u, 9996);
        check();
        pos += len + 1;
    }
    return 0;
}
