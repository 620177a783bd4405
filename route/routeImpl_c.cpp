// The device record, its start-up, the route file and the channel-clearing rules.
#include "route/routeImpl_c.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "engine/Msg.h"
#include "engine/rtp/RtpAudio.h"
#include "engine/testKo_ko.h"
#include "platform/diag.h"
#include "platform/net.h"
#include "platform/paths.h"
#include "route/devText.h"
#include "route/routeApi.h"

Dev g_dev;

// The route file, read and written whole; one more byte for the terminator.
static char s_fileBuf[DEV_FILE_SIZE + 1];
// Scratch for one member value of the file (a value can be as long as the file).
static char s_valBuf[DEV_FILE_SIZE + 1];

// ------------------------------------------------------------------------------------
// Table helpers

bool Dev_sdpValid(const sdpInfo* s) {
    return s->chNum >= 1 && s->chNum <= RTP_MAX_CH_PER_SDP && s->sampleByteNum >= 1 &&
           s->sampleByteNum <= 4 && s->srcIp != 0 && s->dstIp != 0 && s->dstPort != 0;
}

static bool anySlot(const int32_t* slots) {
    for (int k = 0; k < RTP_MAX_CH_PER_SDP; k++)
        if (slots[k] >= 0) return true;
    return false;
}

bool Dev_rxInUse(const SdpRx* e) { return Dev_sdpValid(&e->sdp) && anySlot(e->rtpChId); }
bool Dev_txInUse(const SdpTx* e) { return Dev_sdpValid(&e->sdp) && anySlot(e->srcChId); }

void Dev_clearSdpRx(SdpRx* e) {
    std::memset(e, 0, sizeof *e);
    for (int k = 0; k < RTP_MAX_CH_PER_SDP; k++) e->rtpChId[k] = -1;
}

void Dev_clearSdpTx(SdpTx* e) {
    std::memset(e, 0, sizeof *e);
    for (int k = 0; k < RTP_MAX_CH_PER_SDP; k++) e->srcChId[k] = -1;
}

int Dev_findMcastRx(const sdpInfo* s) {
    int n = g_dev.mcastNumRx;
    if (n > RTP_MAX_MCAST_NUM) n = RTP_MAX_MCAST_NUM;
    for (int i = 0; i < n; i++) {
        const SdpRx* e = &g_dev.mcastArrRx[i];
        if (!Dev_rxInUse(e)) continue;
        if (e->sdp.dstIp == s->dstIp && e->sdp.dstPort == s->dstPort && e->sdp.chNum == s->chNum &&
            e->sdp.sampleByteNum == s->sampleByteNum)
            return i;
    }
    return -1;
}

void Dev_mcastMac(uint32_t group, uint8_t mac[6]) {
    mac[0] = 0x01;
    mac[1] = 0x00;
    mac[2] = 0x5E;
    mac[3] = uint8_t((group >> 16) & 0x7F);
    mac[4] = uint8_t((group >> 8) & 0xFF);
    mac[5] = uint8_t(group & 0xFF);
}

float Dev_clampGain(float db) {
    if (std::isnan(db)) return DEV_GAIN_MIN_DB;
    if (db < DEV_GAIN_MIN_DB) return DEV_GAIN_MIN_DB;
    if (db > DEV_GAIN_MAX_DB) return DEV_GAIN_MAX_DB;
    return db;
}

int32_t Dev_dbToPpm(float db) {
    double v = std::floor(std::pow(10.0, double(Dev_clampGain(db)) / 20.0) * GAIN_UNITY_Q20);
    return int32_t(v);
}

int Dev_delayUsToFrames(int64_t us, int32_t* gridUs) {
    int fs = g_dev.sampleRate, p = g_dev.pFrameNum;
    if (fs < 1 || p < 1) {
        if (gridUs) *gridUs = 0;
        return 0;
    }
    float t = 1000000.0f / float(fs); // µs per sample
    int maxFrames = fs / 1000 * 18;
    float q = std::floor(float(us) / t);
    int frames;
    if (!(q >= 0.0f) || q > float(maxFrames) + float(p)) {
        frames = 4 * p;
    } else {
        frames = int(q);
        frames -= frames % p;
        if (frames < 4 * p || frames > maxFrames) frames = 4 * p;
    }
    int32_t grid = int32_t(std::floor(float(frames) * t));
    if (gridUs) *gridUs = grid;
    int n = int(std::floor(float(grid) / t + 0.1f));
    return n - n % p;
}

// ------------------------------------------------------------------------------------
// Engine requests

bool Dev_koSucc() {
    if (!reqKo(g_koReq, sizeof g_koReq)) return false;
    char res[8];
    if (Msg_getStr(g_koReq, "result", res, sizeof res) != MSG_OK) {
        Msg_setErrorKey("result");
        return false;
    }
    return std::strcmp(res, "succ") == 0;
}

bool Dev_readKo(const char* ops, const char* key, int64_t* out) {
    DevText t{g_koReq, sizeof g_koReq};
    DevText_begin(&t);
    DevText_str(&t, "ops", ops);
    DevText_end(&t);
    if (!t.ok || !Dev_koSucc()) return false;
    if (Msg_getInt(g_koReq, key, out) != MSG_OK) {
        Msg_setErrorKey(key);
        return false;
    }
    return true;
}

bool Dev_writeKo(const char* ops, const char* key, long long val) {
    DevText t{g_koReq, sizeof g_koReq};
    DevText_begin(&t);
    DevText_str(&t, "ops", ops);
    DevText_int(&t, key, val);
    DevText_end(&t);
    return t.ok && Dev_koSucc();
}

// ------------------------------------------------------------------------------------
// Start-up

static void copyText(char* dst, size_t cap, const char* src) { DevText_cut(dst, cap, src ? src : ""); }

// Reads an engine count; a failure leaves 0 and prints the error line.
#define DEV_INIT_READ(ops, key, field)                                                             \
    do {                                                                                           \
        int64_t v_ = 0;                                                                            \
        if (Dev_readKo((ops), (key), &v_) && v_ >= INT32_MIN && v_ <= INT32_MAX)                   \
            (field) = int32_t(v_);                                                                 \
        else                                                                                       \
            DIAG_ERROR_AT("routeApi", "Dev_init");                                                 \
    } while (0)

static void limitCount(int32_t* v, int max) {
    if (*v < 0) *v = 0;
    if (*v > max) *v = max;
}

int32_t Dev_lockFlagsOf(const char* text) {
    long long v = std::strtoll(text ? text : "", nullptr, 0);
    return v < INT32_MIN || v > INT32_MAX ? 0 : int32_t(v);
}

static void readLockFile() {
    g_dev.lockFlags = 0;
    if (!g_dev.lockPath[0]) return;
    char local[DEV_PATH_SIZE + 64];
    if (!Paths_resolve(g_dev.lockPath, local, sizeof local)) return;
    FILE* f = std::fopen(local, "rb");
    if (!f) return;
    char buf[33];
    size_t n = std::fread(buf, 1, 32, f);
    std::fclose(f);
    buf[n] = 0;
    g_dev.lockFlags = Dev_lockFlagsOf(buf);
}

bool Dev_init(int discSock, int cmdSock, uint32_t bindAddr, uint32_t mcastIp, uint32_t mcastIp2,
              uint16_t mcastPort, uint8_t payloadType) {
    std::memset(&g_dev, 0, sizeof g_dev);
    for (int i = 0; i < RTP_MAX_CH_NUM; i++) {
        g_dev.rtpChId[i] = -1;
        g_dev.srcChId[i] = -1;
    }
    for (auto& e : g_dev.ucastArrRx) Dev_clearSdpRx(&e);
    for (auto& e : g_dev.mcastArrRx) Dev_clearSdpRx(&e);
    for (auto& e : g_dev.ucastArrTx) Dev_clearSdpTx(&e);
    for (auto& e : g_dev.mcastArrTx) Dev_clearSdpTx(&e);
    g_dev.discoverySock = discSock;
    g_dev.commandSock = cmdSock;

    // getChNum gives four counts in one reply; a missing one stays 0.
    {
        DevText t{g_koReq, sizeof g_koReq};
        DevText_begin(&t);
        DevText_str(&t, "ops", "getChNum");
        DevText_end(&t);
        bool succ = t.ok && Dev_koSucc();
        static const char* const keys[4] = {"phyRx", "phyTx", "dspFromNet", "dspToNet"};
        int32_t* fields[4] = {&g_dev.phyChNumRx, &g_dev.phyChNumTx, &g_dev.chNumRx, &g_dev.chNumTx};
        int64_t v[4] = {0, 0, 0, 0};
        for (int i = 0; i < 4; i++) {
            if (succ && Msg_getInt(g_koReq, keys[i], &v[i]) == MSG_OK && v[i] >= 0 && v[i] <= 100000) {
                *fields[i] = int32_t(v[i]);
            } else {
                v[i] = 0;
                DIAG_ERROR_AT("routeApi", "Dev_init");
            }
        }
        if (v[2] == 0 && v[3] == 0) {
            g_dev.chNumRx = g_dev.phyChNumTx;
            g_dev.chNumTx = g_dev.phyChNumRx;
        }
    }
    DEV_INIT_READ("getSampleRate", "sampleRate", g_dev.sampleRate);
    if (g_dev.sampleRate < 1) DIAG_ERROR_AT("routeApi", "Dev_init");
    DEV_INIT_READ("getUcastNumRx", "num", g_dev.ucastNumRx);
    if (g_dev.ucastNumRx > RTP_MAX_UCAST_NUM) DIAG_ERROR_AT("routeApi", "Dev_init");
    DEV_INIT_READ("getUcastNumTx", "num", g_dev.ucastNumTx);
    if (g_dev.ucastNumTx > RTP_MAX_UCAST_NUM) DIAG_ERROR_AT("routeApi", "Dev_init");
    DEV_INIT_READ("getMcastNumRx", "num", g_dev.mcastNumRx);
    if (g_dev.mcastNumRx > RTP_MAX_UCAST_NUM) DIAG_ERROR_AT("routeApi", "Dev_init");
    DEV_INIT_READ("getMcastNumTx", "num", g_dev.mcastNumTx);
    if (g_dev.mcastNumTx > RTP_MAX_UCAST_NUM) DIAG_ERROR_AT("routeApi", "Dev_init");
    DEV_INIT_READ("getPacketSize", "frameNum", g_dev.pFrameNum);
    if (g_dev.pFrameNum < 1) DIAG_ERROR_AT("routeApi", "Dev_init");
    // The unicast tables hold 128 entries whatever the engine says.
    limitCount(&g_dev.ucastNumRx, RTP_MAX_UCAST_NUM);
    limitCount(&g_dev.ucastNumTx, RTP_MAX_UCAST_NUM);
    if (g_dev.mcastNumRx < 0) g_dev.mcastNumRx = 0;
    if (g_dev.mcastNumTx < 0) g_dev.mcastNumTx = 0;

    std::printf("self: sampleRate=%d chNumRx=%d chNumTx=%d pFrameNum=%d\n", g_dev.sampleRate,
                g_dev.chNumRx, g_dev.chNumTx, g_dev.pFrameNum);
    std::printf("self: ucastNumRx=%d ucastNumTx=%d mcastNumRx=%d mcastNumTx=%d\n", g_dev.ucastNumRx,
                g_dev.ucastNumTx, g_dev.mcastNumRx, g_dev.mcastNumTx);
    auto mx = [](int32_t a, int32_t b) { return a > b ? a : b; };
    if (mx(g_dev.chNumRx, g_dev.chNumTx) > RTP_MAX_CH_NUM ||
        mx(g_dev.phyChNumRx, g_dev.phyChNumTx) > PHY_MAX_CH_NUM ||
        mx(g_dev.mcastNumRx, g_dev.mcastNumTx) > RTP_MAX_MCAST_NUM) {
        std::printf("error chNum, set to 0, avoid system crash \n");
        g_dev.chNumRx = g_dev.chNumTx = 0;
        g_dev.phyChNumRx = g_dev.phyChNumTx = 0;
        g_dev.mcastNumRx = g_dev.mcastNumTx = 0;
    }
    std::fflush(stdout);

    copyText(g_dev.model, sizeof g_dev.model, g_routeArgs.model);
    copyText(g_dev.devId, sizeof g_dev.devId, g_routeArgs.devId);
    g_dev.ownIp = bindAddr;
    g_dev.ctrlPort = ROUTE_CMD_PORT;
    copyText(g_dev.myClkId, sizeof g_dev.myClkId, DEV_CLKID_ZERO);
    copyText(g_dev.gmClkId, sizeof g_dev.gmClkId, DEV_CLKID_ZERO);
    copyText(g_dev.filePath, sizeof g_dev.filePath, g_routeArgs.filePath ? g_routeArgs.filePath : DEV_DEFAULT_FILE_PATH);
    copyText(g_dev.passwordPath, sizeof g_dev.passwordPath, g_routeArgs.passwordPath);
    copyText(g_dev.lockPath, sizeof g_dev.lockPath, g_routeArgs.lockPath);

    // Group joins of the loaded multicast receive streams go to the engine's RTP socket.
    RtpAudio_setRouteSockets(discSock, mcastIp, mcastIp2);
    if (!Dev_initFromFile(g_dev.devId)) DIAG_ERROR_AT("routeApi", "Dev_init");

    g_dev.ctrlGroup = mcastIp;
    g_dev.ctrlGroup2 = mcastIp2;
    g_dev.ctrlPortMcast = mcastPort;
    readLockFile();

    g_dev.payloadType = payloadType;
    bool ok = Dev_writeKo("setPayloadType", "val", payloadType);
    // Other threads (the PTP slave) wait for the address and then read the sockets and
    // settings: publish it last, with release order.
    Ko_setOwnIp(g_dev.ownIp);
    return ok;
}

void Dev_setMcastNum(bool rx, int num) {
    if (num < 0) num = 0;
    if (num > RTP_MAX_MCAST_NUM) num = RTP_MAX_MCAST_NUM;
    (rx ? g_dev.mcastNumRx : g_dev.mcastNumTx) = num;
}

static void pushGain(const char* ops, int ch, float db) {
    DevText t{g_koReq, sizeof g_koReq};
    DevText_begin(&t);
    DevText_str(&t, "ops", ops);
    DevText_int(&t, "chId", ch);
    DevText_int(&t, "ppm", Dev_dbToPpm(db));
    DevText_end(&t);
    if (t.ok) reqKo(g_koReq, sizeof g_koReq);
}

void Dev_pushPhyGains() {
    for (int i = 0; i < g_dev.phyChNumTx && i < PHY_MAX_CH_NUM; i++) pushGain("setPhyGainTx", i, g_dev.phyGainTx[i]);
    for (int i = 0; i < g_dev.phyChNumRx && i < PHY_MAX_CH_NUM; i++) pushGain("setPhyGainRx", i, g_dev.phyGainRx[i]);
}

// The own address as other threads see it lives with the engine (Ko_ownIp);
// g_dev.ownIp is the route thread's copy.
uint32_t Dev_ownIp() { return Ko_ownIp(); }
// The address arrived after start-up: the loaded multicast transmit streams take it as
// their source, as the loader would have done (without it they would never count as in
// use, never be announced, and drop out of the route file at the next save).
void Dev_setOwnIp(uint32_t ip) {
    g_dev.ownIp = ip;
    Ko_setOwnIp(ip);
    for (auto& e : g_dev.mcastArrTx)
        if (e.sdp.srcIp == 0 && e.sdp.chNum != 0) e.sdp.srcIp = ip;
}

void Dev_onOwnIpChanged(uint32_t ip) {
    g_dev.ownIp = ip;
    Ko_setOwnIp(ip);
    for (auto& e : g_dev.ucastArrRx) Dev_clearSdpRx(&e);
    for (auto& e : g_dev.mcastArrTx) e.sdp.srcIp = ip;
    if (g_dev.discoverySock >= 0 && Net_setMcastIf(g_dev.discoverySock, ip) != 0)
        DIAG_ERROR_AT("routeImpl_c", "Dev_onOwnIpChanged");
}

// ------------------------------------------------------------------------------------
// Channel clearing

static void leaveGroup(uint32_t group) {
    if (Net_isMulticast(group) &&
        RtpAudio_joinGroup(g_dev.discoverySock, group, g_dev.ownIp, false) != 0)
        DIAG_ERROR_AT("routeImpl_c", "Dev_clearRtpCh");
}

void Dev_clearRtpCh(int r) {
    if (r < 0 || r >= RTP_MAX_CH_NUM) return;
    g_dev.srcDevId[r][0] = 0;
    g_dev.srcChId[r] = -1;
    int nu = g_dev.ucastNumRx < RTP_MAX_UCAST_NUM ? g_dev.ucastNumRx : RTP_MAX_UCAST_NUM;
    for (int i = 0; i < nu; i++) {
        SdpRx* e = &g_dev.ucastArrRx[i];
        if (!Dev_rxInUse(e)) continue;
        for (int k = 0; k < RTP_MAX_CH_PER_SDP; k++)
            if (e->rtpChId[k] == r) e->rtpChId[k] = -1;
        if (!anySlot(e->rtpChId)) {
            Route_sendUcastPeerReq(i, false);
            Dev_clearSdpRx(e);
        }
    }
    int nm = g_dev.mcastNumRx < RTP_MAX_MCAST_NUM ? g_dev.mcastNumRx : RTP_MAX_MCAST_NUM;
    for (int i = 0; i < nm; i++) {
        SdpRx* e = &g_dev.mcastArrRx[i];
        if (!Dev_rxInUse(e)) continue;
        for (int k = 0; k < RTP_MAX_CH_PER_SDP; k++)
            if (e->rtpChId[k] == r) e->rtpChId[k] = -1;
        if (!anySlot(e->rtpChId)) {
            leaveGroup(e->sdp.dstIp);
            Dev_clearSdpRx(e);
        }
    }
}

bool Dev_clearRxCh(int64_t dstChId, const char** reason) {
    if (dstChId < 0 || dstChId >= g_dev.chNumRx || dstChId >= RTP_MAX_CH_NUM) {
        if (reason) *reason = "invalid dstChId";
        return false;
    }
    int c = int(dstChId);
    int r = g_dev.rtpChId[c];
    if (r == -1) return true;
    g_dev.rtpChId[c] = -1;
    for (int i = 0; i < g_dev.chNumRx && i < RTP_MAX_CH_NUM; i++)
        if (g_dev.rtpChId[i] == r) return true;
    Dev_clearRtpCh(r);
    return true;
}

// ------------------------------------------------------------------------------------
// Route file writer

static void outNameArr(DevText* t, const char* name, const char (*names)[DEV_TEXT_SIZE], int n) {
    DevText_arrBegin(t, name);
    for (int i = 0; i < n; i++) DevText_str(t, nullptr, names[i]);
    DevText_arrEnd(t);
}

static void outGainArr(DevText* t, const char* name, const float* g, int n) {
    DevText_arrBegin(t, name);
    for (int i = 0; i < n; i++) DevText_fmt(t, nullptr, "%g", double(g[i]));
    DevText_arrEnd(t);
}

static int cnt(int32_t n, int max) { return n < 0 ? 0 : n > max ? max : n; }

int Dev_buildFileText(char* out, size_t cap) {
    DevText t{out, cap};
    t.fileSafe = true;
    DevText_begin(&t);
    DevText_str(&t, "name", g_dev.name);
    DevText_int(&t, "sampleByteNum", g_dev.sampleByteNum);
    DevText_int(&t, "delayUs", g_dev.delayUs);
    DevText_int(&t, "dscp", g_dev.dscp);
    int chRx = cnt(g_dev.chNumRx, RTP_MAX_CH_NUM), chTx = cnt(g_dev.chNumTx, RTP_MAX_CH_NUM);
    int phyRx = cnt(g_dev.phyChNumRx, PHY_MAX_CH_NUM), phyTx = cnt(g_dev.phyChNumTx, PHY_MAX_CH_NUM);

    DevText_arrBegin(&t, "rxChArr");
    for (int i = 0; i < chRx; i++) {
        if (g_dev.rtpChId[i] == -1) continue;
        DevText_raw(&t, "{");
        DevText_int(&t, "id", i);
        DevText_int(&t, "rtpChId", g_dev.rtpChId[i]);
        DevText_end(&t);
        DevText_raw(&t, ",");
    }
    DevText_arrEnd(&t);

    DevText_arrBegin(&t, "rtpChArr");
    for (int i = 0; i < chRx; i++) {
        if (g_dev.srcChId[i] == -1) continue;
        DevText_raw(&t, "{");
        DevText_int(&t, "id", i);
        DevText_str(&t, "srcDevId", g_dev.srcDevId[i]);
        DevText_int(&t, "srcChId", g_dev.srcChId[i]);
        DevText_end(&t);
        DevText_raw(&t, ",");
    }
    DevText_arrEnd(&t);

    DevText_arrBegin(&t, "mcastArrRx");
    for (int i = 0; i < cnt(g_dev.mcastNumRx, RTP_MAX_MCAST_NUM); i++) {
        const SdpRx& e = g_dev.mcastArrRx[i];
        if (!Dev_rxInUse(&e)) continue;
        if (!Net_isMulticast(e.sdp.dstIp)) DIAG_ERROR_AT("routeImpl_c", "Dev_saveToFile");
        DevText_raw(&t, "{");
        DevText_int(&t, "id", i);
        DevText_sdp(&t, e.sdp);
        DevText_intArr(&t, "rtpChIdArr", e.rtpChId, e.sdp.chNum);
        DevText_end(&t);
        DevText_raw(&t, ",");
    }
    DevText_arrEnd(&t);

    DevText_arrBegin(&t, "mcastArrTx");
    for (int i = 0; i < cnt(g_dev.mcastNumTx, RTP_MAX_MCAST_NUM); i++) {
        const SdpTx& e = g_dev.mcastArrTx[i];
        if (!Dev_txInUse(&e) || !e.name[0]) continue;
        if (!Net_isMulticast(e.sdp.dstIp)) DIAG_ERROR_AT("routeImpl_c", "Dev_saveToFile");
        DevText_raw(&t, "{");
        DevText_int(&t, "id", i);
        DevText_sdp(&t, e.sdp);
        DevText_intArr(&t, "srcChIdArr", e.srcChId, e.sdp.chNum);
        DevText_str(&t, "name", e.name);
        DevText_end(&t);
        DevText_raw(&t, ",");
    }
    DevText_arrEnd(&t);

    outNameArr(&t, "chNameArrRx", g_dev.chNameRx, chRx);
    outNameArr(&t, "chNameArrTx", g_dev.chNameTx, chTx);
    outNameArr(&t, "phyChNameArrRx", g_dev.phyChNameRx, phyRx);
    outNameArr(&t, "phyChNameArrTx", g_dev.phyChNameTx, phyTx);
    outGainArr(&t, "phyGainArrRx", g_dev.phyGainRx, phyRx);
    outGainArr(&t, "phyGainArrTx", g_dev.phyGainTx, phyTx);
    DevText_intArr(&t, "phyMuteArrRx", g_dev.phyMuteRx, phyRx);
    DevText_intArr(&t, "phyMuteArrTx", g_dev.phyMuteTx, phyTx);
    DevText_str(&t, "customStr", g_dev.customStr);
    DevText_end(&t);
    return t.ok ? int(t.len) : -1;
}

// Writes the whole text to a temporary file beside the route file and renames it over
// the old one, so a kill at any moment leaves either the old or the new file.
static bool writeAtomically(const char* local, const char* text, size_t len) {
    char tmp[DEV_PATH_SIZE + 96];
    // Named per process: two writers of one file (a second route service, the panel's
    // name repair) must never share a temporary file, where their writes would interleave
    // and the rename would publish the mix.
    int n = std::snprintf(tmp, sizeof tmp, "%s.%d.tmp", local, int(getpid()));
    if (n < 0 || size_t(n) >= sizeof tmp) return false;
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < len) {
        ssize_t w = write(fd, text + done, len - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += size_t(w);
    }
    if (done != len) {
        std::printf("=== error at: fwrite(), fwrite=%ld, but bufSize=%ld \n", long(done), long(len));
        std::fflush(stdout);
        close(fd);
        unlink(tmp);
        return false;
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        unlink(tmp);
        return false;
    }
    if (std::rename(tmp, local) != 0) {
        unlink(tmp);
        return false;
    }
    // Make the rename itself durable.
    char dir[DEV_PATH_SIZE + 64];
    std::snprintf(dir, sizeof dir, "%s", local);
    char* slash = std::strrchr(dir, '/');
    if (slash) {
        *(slash == dir ? slash + 1 : slash) = 0;
        int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            fsync(dfd);
            close(dfd);
        }
    }
    return true;
}

static size_t readWhole(const char* local, char* buf, size_t cap) {
    FILE* f = std::fopen(local, "rb");
    if (!f) return 0;
    size_t len = std::fread(buf, 1, cap, f);
    std::fclose(f);
    return len;
}

static bool writeWhole(const char* local, const char* text, size_t len) {
    Paths_ensureParent(local);
    return writeAtomically(local, text, len);
}

static DevFileIo s_io = {readWhole, writeWhole};

// A writer killed in the middle of a save leaves its "<file>.<pid>.tmp" beside the route
// file, and nothing else would ever remove it. At start-up those of processes that no
// longer live go; a living one may be a writer at work (a second route service, the
// panel), so it stays. The route file itself is never touched here.
static void removeStaleTemps(const char* local) {
    char dir[DEV_PATH_SIZE + 64];
    std::snprintf(dir, sizeof dir, "%s", local);
    char* slash = std::strrchr(dir, '/');
    if (!slash) return;
    const char* base = local + (slash - dir) + 1;
    *(slash == dir ? slash + 1 : slash) = 0;
    const size_t baseLen = std::strlen(base);
    DIR* d = opendir(dir);
    if (!d) return;
    while (const dirent* e = readdir(d)) {
        const char* n = e->d_name;
        if (std::strncmp(n, base, baseLen) != 0 || n[baseLen] != '.') continue;
        char* end = nullptr;
        errno = 0;
        const long pid = std::strtol(n + baseLen + 1, &end, 10);
        if (end == n + baseLen + 1 || errno || pid <= 0 || pid > 0x3fffffff || std::strcmp(end, ".tmp") != 0) continue;
        if (pid_t(pid) == getpid() || kill(pid_t(pid), 0) == 0 || errno == EPERM) continue;
        unlinkat(dirfd(d), n, 0);
    }
    closedir(d);
}

void Dev_setFileIo(const DevFileIo* io) {
    s_io.read = io && io->read ? io->read : readWhole;
    s_io.write = io && io->write ? io->write : writeWhole;
}

bool Dev_saveToFile() {
    int len = Dev_buildFileText(s_fileBuf, sizeof s_fileBuf - 1);
    if (len < 0) {
        // Never write a cut file: the old one stays, dirty stays set.
        DIAG_ERROR_AT("routeImpl_c", "Dev_saveToFile");
        return false;
    }
    char local[DEV_PATH_SIZE + 64];
    if (!Paths_resolve(g_dev.filePath, local, sizeof local)) return false;
    if (!s_io.write(local, s_fileBuf, size_t(len))) return false;
    g_dev.dirty = 0;
    if (g_dev.commandSock >= 0) Net_sendTo(g_dev.commandSock, "save", 4, 0x7F000001u, ROUTE_SAVE_NOTICE_PORT);
    return true;
}

// ------------------------------------------------------------------------------------
// Route file loader

// Reads a string member into s_valBuf; false when missing or malformed.
static bool getVal(const char* scope, const char* key) {
    return Msg_getStr(scope, key, s_valBuf, sizeof s_valBuf) == MSG_OK;
}

// Integer member with base detection; false when missing, malformed or outside int64.
static bool getNum(const char* scope, const char* key, int64_t* out) {
    if (!getVal(scope, key)) return false;
    return Msg_parseInt(s_valBuf, out);
}

// The value at an array cursor as text (into s_valBuf).
static bool elemVal(const char* cursor) {
    int type = 0;
    return Msg_readValue(cursor, nullptr, s_valBuf, sizeof s_valBuf, &type) == MSG_OK;
}

static bool elemNum(const char* cursor, int64_t* out) { return elemVal(cursor) && Msg_parseInt(s_valBuf, out); }

// A channel index of the record: -1..max-1, anything else is -1.
static int32_t chIndex(int64_t v, int max) { return (v >= 0 && v < max) ? int32_t(v) : -1; }

// The six descriptor members; false (with "error key: %s") when one is missing.
// A number outside its field makes the descriptor invalid instead of wrapping.
static bool loadSdp(const char* elem, sdpInfo* s) {
    const char* sdp = nullptr;
    if (Msg_findKey(elem, "sdp", &sdp) != MSG_OK || *sdp != '{') {
        Msg_setErrorKey("sdp");
        return false;
    }
    std::memset(s, 0, sizeof *s);
    static const char* const keys[6] = {"srcIp", "dstIp", "dstPort", "chNum", "sampleByteNum", "rtpTsOffset"};
    int64_t v[6] = {};
    for (int i = 0; i < 6; i++) {
        if (!getVal(sdp, keys[i])) {
            Msg_setErrorKey(keys[i]);
            return false;
        }
        if (i < 2) {
            v[i] = Net_parseIp(s_valBuf);
        } else if (!Msg_parseInt(s_valBuf, &v[i])) {
            Msg_setErrorKey(keys[i]);
            return false;
        }
    }
    bool ok = v[2] >= 0 && v[2] <= 0xFFFF && v[3] >= 0 && v[3] <= 0xFF && v[4] >= 0 && v[4] <= 0xFF &&
              v[5] >= 0 && v[5] <= 0xFFFFFFFFLL;
    if (!ok) return true; // zero descriptor: not in use
    s->srcIp = uint32_t(v[0]);
    s->dstIp = uint32_t(v[1]);
    s->dstPort = uint16_t(v[2]);
    s->chNum = uint8_t(v[3]);
    s->sampleByteNum = uint8_t(v[4]);
    s->rtpTsOffset = uint32_t(v[5]);
    return true;
}

// Slots beyond the stream's channel count stay unused.
static void loadSlots(const char* elem, const char* key, int32_t* slots, int chNum, int max) {
    for (int k = 0; k < RTP_MAX_CH_PER_SDP; k++) slots[k] = -1;
    const char* cur = nullptr;
    int n = Msg_readArray(elem, key, &cur);
    for (int k = 0; k < n && k < RTP_MAX_CH_PER_SDP && k < chNum; k++) {
        int64_t v;
        if (elemNum(cur, &v)) slots[k] = chIndex(v, max);
        if (k + 1 < n && Msg_nextElement(&cur) != MSG_OK) break;
    }
}

// Calls fn(element cursor) for each element of the array under key.
template <class F> static void forEach(const char* scope, const char* key, F fn) {
    const char* cur = nullptr;
    int n = Msg_readArray(scope, key, &cur);
    for (int i = 0; i < n; i++) {
        fn(i, cur);
        if (i + 1 < n && Msg_nextElement(&cur) != MSG_OK) break;
    }
}

// Loads names into a fixed table, cut to the field.
static void loadNames(const char* root, const char* key, char (*names)[DEV_TEXT_SIZE], int count) {
    forEach(root, key, [&](int i, const char* cur) {
        if (i < count && elemVal(cur)) DevText_cut(names[i], DEV_TEXT_SIZE, s_valBuf);
    });
}

static float parseGain(const char* text) {
    char* end = nullptr;
    float v = std::strtof(text, &end);
    if (end == text || std::isnan(v)) return 0.0f; // not a number: unity
    return Dev_clampGain(v);
}

static bool loadDefaults(const char* devId) {
    copyText(g_dev.name, sizeof g_dev.name, devId);
    g_dev.delayUs = DEV_DEFAULT_DELAY_US;
    g_dev.sampleByteNum = DEV_DEFAULT_SAMPLE_BYTE_NUM;
    if (!Dev_writeKo("setLinkOffset", "frameNum", g_dev.sampleRate / 1000 * 5)) DIAG_ERROR_AT("routeApi", "Dev_initFromFile");
    g_dev.dscp = DEV_DEFAULT_DSCP;
    if (!Dev_writeKo("setDscp", "dscp", g_dev.dscp)) DIAG_ERROR_AT("routeApi", "Dev_initFromFile");
    return Dev_saveToFile();
}

bool Dev_initFromFile(const char* devId) {
    size_t len = 0;
    char local[DEV_PATH_SIZE + 64];
    if (Paths_resolve(g_dev.filePath, local, sizeof local)) {
        if (s_io.write == writeWhole) removeStaleTemps(local);
        len = s_io.read(local, s_fileBuf, DEV_FILE_SIZE);
    }
    if (len > DEV_FILE_SIZE) len = DEV_FILE_SIZE;
    s_fileBuf[len] = 0;
    const char* root = s_fileBuf;
    while (*root == ' ' || *root == '\t' || *root == '\r' || *root == '\n') root++;
    const char* nameVal = nullptr;
    if (len == 0 || *root != '{' || Msg_findKey(root, "name", &nameVal) != MSG_OK) return loadDefaults(devId);

    bool ok = true;
    // A name that cannot be read keeps the device id: the rest of the file is still good.
    copyText(g_dev.name, sizeof g_dev.name, getVal(root, "name") ? s_valBuf : devId);

    int64_t v = 0;
    g_dev.sampleByteNum = (getNum(root, "sampleByteNum", &v) && v >= 1 && v <= 4) ? int32_t(v) : 3;

    if (!getNum(root, "delayUs", &v)) v = 0;
    int32_t grid = 0;
    int frames = Dev_delayUsToFrames(v, &grid);
    g_dev.delayUs = grid;
    if (!Dev_writeKo("setLinkOffset", "frameNum", frames)) DIAG_ERROR_AT("routeApi", "Dev_initFromFile");

    // A value outside the six DSCP bits counts as missing.
    g_dev.dscp = (getNum(root, "dscp", &v) && v >= 0 && v <= 63) ? int32_t(v) : DEV_DEFAULT_DSCP;
    if (!Dev_writeKo("setDscp", "dscp", g_dev.dscp)) DIAG_ERROR_AT("routeApi", "Dev_initFromFile");

    int chRx = cnt(g_dev.chNumRx, RTP_MAX_CH_NUM), chTx = cnt(g_dev.chNumTx, RTP_MAX_CH_NUM);
    forEach(root, "rxChArr", [&](int, const char* cur) {
        int64_t id, r;
        if (getNum(cur, "id", &id) && id >= 0 && id < chRx && getNum(cur, "rtpChId", &r))
            g_dev.rtpChId[id] = chIndex(r, chRx);
    });
    forEach(root, "rtpChArr", [&](int, const char* cur) {
        int64_t id, c;
        if (!getNum(cur, "id", &id) || id < 0 || id >= chRx) return;
        if (!getVal(cur, "srcDevId")) return;
        char dev[DEV_TEXT_SIZE];
        DevText_cut(dev, sizeof dev, s_valBuf);
        if (!getNum(cur, "srcChId", &c)) return;
        std::memcpy(g_dev.srcDevId[id], dev, sizeof dev);
        g_dev.srcChId[id] = (c >= 0 && c <= INT32_MAX) ? int32_t(c) : -1;
        if (g_dev.srcChId[id] == -1) g_dev.srcDevId[id][0] = 0;
    });

    // A damaged stream entry is skipped alone: stopping here would lose every name, gain
    // and mute after it at the next save.
    forEach(root, "mcastArrRx", [&](int, const char* cur) {
        int64_t id;
        if (!getNum(cur, "id", &id) || id < 0 || id >= cnt(g_dev.mcastNumRx, RTP_MAX_MCAST_NUM)) return;
        sdpInfo s;
        if (!loadSdp(cur, &s)) {
            std::printf("%s\n", g_msgLastError);
            ok = false;
            return;
        }
        SdpRx* e = &g_dev.mcastArrRx[id];
        if (Dev_rxInUse(e)) leaveGroup(e->sdp.dstIp); // an earlier element with this id
        Dev_clearSdpRx(e);
        e->sdp = s;
        if (!Net_isMulticast(s.dstIp)) DIAG_ERROR_AT("routeImpl_c", "Dev_initFromFile");
        loadSlots(cur, "rtpChIdArr", e->rtpChId, s.chNum, chRx);
        if (!Dev_rxInUse(e)) {
            Dev_clearSdpRx(e);
            return;
        }
        if (Net_isMulticast(s.dstIp) && RtpAudio_joinGroup(g_dev.discoverySock, s.dstIp, g_dev.ownIp, true) != 0)
            DIAG_ERROR_AT("routeImpl_c", "Dev_initFromFile");
    });
    forEach(root, "mcastArrTx", [&](int, const char* cur) {
        int64_t id;
        if (!getNum(cur, "id", &id) || id < 0 || id >= cnt(g_dev.mcastNumTx, RTP_MAX_MCAST_NUM)) return;
        sdpInfo s;
        if (!loadSdp(cur, &s)) {
            std::printf("%s\n", g_msgLastError);
            ok = false;
            return;
        }
        SdpTx* e = &g_dev.mcastArrTx[id];
        Dev_clearSdpTx(e);
        e->sdp = s;
        if (!Net_isMulticast(s.dstIp)) DIAG_ERROR_AT("routeImpl_c", "Dev_initFromFile");
        loadSlots(cur, "srcChIdArr", e->srcChId, s.chNum, chTx);
        if (getVal(cur, "name")) DevText_cut(e->name, sizeof e->name, s_valBuf);
        Dev_mcastMac(s.dstIp, e->dstMac);
        e->sdp.srcIp = g_dev.ownIp;
        if (!Dev_sdpValid(&s)) Dev_clearSdpTx(e);
    });

    int phyRx = cnt(g_dev.phyChNumRx, PHY_MAX_CH_NUM), phyTx = cnt(g_dev.phyChNumTx, PHY_MAX_CH_NUM);
    loadNames(root, "chNameArrRx", g_dev.chNameRx, chRx);
    loadNames(root, "chNameArrTx", g_dev.chNameTx, chTx);
    loadNames(root, "phyChNameArrRx", g_dev.phyChNameRx, phyRx);
    loadNames(root, "phyChNameArrTx", g_dev.phyChNameTx, phyTx);
    forEach(root, "phyGainArrRx", [&](int i, const char* cur) {
        if (i < phyRx && elemVal(cur)) g_dev.phyGainRx[i] = parseGain(s_valBuf);
    });
    forEach(root, "phyGainArrTx", [&](int i, const char* cur) {
        if (i < phyTx && elemVal(cur)) g_dev.phyGainTx[i] = parseGain(s_valBuf);
    });
    forEach(root, "phyMuteArrRx", [&](int i, const char* cur) {
        int64_t m;
        if (i < phyRx && elemNum(cur, &m)) g_dev.phyMuteRx[i] = m != 0;
    });
    forEach(root, "phyMuteArrTx", [&](int i, const char* cur) {
        int64_t m;
        if (i < phyTx && elemNum(cur, &m)) g_dev.phyMuteTx[i] = m != 0;
    });
    if (getVal(root, "customStr")) DevText_cut(g_dev.customStr, sizeof g_dev.customStr, s_valBuf);

    // RTP channels that no receive channel uses are cleared (and leave their streams).
    bool used[RTP_MAX_CH_NUM] = {};
    for (int c = 0; c < chRx; c++)
        if (g_dev.rtpChId[c] >= 0) used[g_dev.rtpChId[c]] = true;
    for (int r = 0; r < chRx; r++)
        if (!used[r]) Dev_clearRtpCh(r);
    std::fflush(stdout);
    return ok;
}
