// Periodic work and the engine synchronisation, against the real in-process engine
// handler (a thin driver-path wrapper around it counts requests and can stand in for the
// engine's activity report). Runs in a private network namespace where it can, so the
// peer requests to port 9995 and the SAP group stay inside it.
#include <arpa/inet.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "engine/AudioPhy.h"
#include "engine/Msg.h"
#include "engine/kmodule_device.h"
#include "engine/rtp/RtpAudio.h"
#include "platform/net.h"
#include "route/periodWork.h"
#include "route/routeApi.h"
#include "route/routeImpl_c.h"
#include "route/sap.h"

namespace {

constexpr uint32_t LO = 0x7F000001u;
bool g_netns = false;

class Env : public ::testing::Environment {
  public:
    void SetUp() override {
        char run[] = "/tmp/velunor-pw-run-XXXXXX", root[] = "/tmp/velunor-pw-root-XXXXXX";
        if (mkdtemp(run)) setenv("VELUNOR_RUNDIR", run, 1);
        if (mkdtemp(root)) setenv("VELUNOR_ROOT", root, 1);
        if (unshare(CLONE_NEWNET) == 0) {
            int s = socket(AF_INET, SOCK_DGRAM, 0);
            ifreq ifr{};
            std::strcpy(ifr.ifr_name, "lo");
            if (s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
                ifr.ifr_flags |= IFF_UP;
                g_netns = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
            }
            if (s >= 0) close(s);
        }
    }
};
const auto* g_env = ::testing::AddGlobalTestEnvironment(new Env);

// ---- the engine, reached through a counting wrapper ----
std::map<std::string, int> g_calls;
bool g_fakeActive = false;
std::string g_activeReply;

std::string opsOf(const char* req) {
    const char* p = std::strstr(req, "\"ops\":\"");
    if (!p) return "";
    p += 7;
    const char* q = std::strchr(p, '"');
    return q ? std::string(p, size_t(q - p)) : "";
}

bool wrapKo(char* buf, size_t cap) {
    std::string ops = opsOf(buf);
    g_calls[ops]++;
    if (g_fakeActive && ops == "getAllActiveSdpId") {
        std::snprintf(buf, cap, "%s", g_activeReply.c_str());
        return true;
    }
    static char data[MSG_KO_REQ_SIZE], reason[MSG_KO_REASON_SIZE];
    data[0] = reason[0] = 0;
    int rc = Msg_device_handleJson(buf, data, sizeof data, reason, sizeof reason);
    Msg_buildRespond(buf, cap, rc == 0, reason, data);
    return true;
}

int pushes() {
    int n = 0;
    for (auto& [k, v] : g_calls)
        if (k.rfind("set", 0) == 0) n += v;
    return n;
}

// ---- sockets ----
int bound(uint32_t addr, uint16_t* port) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(*port);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(s);
        return -1;
    }
    socklen_t sl = sizeof sa;
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &sl);
    *port = ntohs(sa.sin_port);
    return s;
}

std::vector<std::string> recvAll(int sock) {
    std::vector<std::string> out;
    char buf[2048];
    for (;;) {
        int w[1] = {sock};
        if (Net_waitReadable(w, 1, 0) <= 0) break;
        uint32_t a;
        uint16_t p;
        int n = Net_recvFrom(sock, buf, sizeof buf, &a, &p);
        if (n < 0) break;
        out.emplace_back(buf, size_t(n < int(sizeof buf) ? n : int(sizeof buf)));
    }
    return out;
}

int countOps(const std::vector<std::string>& v, const char* ops) {
    int n = 0;
    std::string want = std::string("\"ops\":\"") + ops + "\"";
    for (auto& s : v) n += s.find(want) != std::string::npos;
    return n;
}

struct Rig {
    int cmd = -1, disc = -1, group = -1;
    uint16_t groupPort = 0;
};
Rig g_rig;

// The engine with 16 channels each way and the full stream tables, the record built by
// Dev_init against it, the control group on 127.0.0.1.
void start() {
    char a1[] = "sampleRate=48000", a2[] = "chNumRx=16", a3[] = "chNumTx=16", a4[] = "bufMs=4";
    char* argv[] = {const_cast<char*>("VelunorRoute"), a1, a2, a3, a4};
    AudioPhy* phy = AudioPhy_virtual_new(5, argv);
    RtpAudio_reset();
    RtpOutBlockDesc d{phy->phyTx.load(), phy->framesPerPeriod.load(), nullptr, phy->outStride};
    RtpAudio_afterDspPrepare(phy->phyRx.load(), &d, phy->sampleRate.load());
    char reason[256];
    RtpAudio_setNum(RTP_UCAST_TX, 128, reason, sizeof reason);
    RtpAudio_setNum(RTP_UCAST_RX, 128, reason, sizeof reason);
    RtpAudio_setNum(RTP_MCAST_TX, 16, reason, sizeof reason);
    RtpAudio_setNum(RTP_MCAST_RX, 16, reason, sizeof reason);
    Msg_setKoInProcess(false);
    Msg_setDriverRequest(wrapKo);
    g_fakeActive = false;

    if (g_rig.cmd < 0) {
        uint16_t p = 0;
        g_rig.cmd = bound(LO, &p);
        p = 0;
        g_rig.disc = bound(LO, &p);
        g_rig.group = bound(LO, &g_rig.groupPort);
    }
    g_routeArgs = RouteArgs{};
    g_routeArgs.model = "rEduVuzi";
    g_routeArgs.devId = "devA";
    g_routeArgs.filePath = "C:/ProgramData/VelunorNetSndCard/_route_pw";
    std::string file = std::string(getenv("VELUNOR_ROOT")) + "/C/ProgramData/VelunorNetSndCard/_route_pw";
    unlink(file.c_str());
    testing::internal::CaptureStdout();
    Dev_init(g_rig.disc, g_rig.cmd, LO, LO, 0, g_rig.groupPort, 97);
    testing::internal::GetCapturedStdout();
    g_calls.clear();
    recvAll(g_rig.group);
}

sdpInfo sdp(uint32_t src, uint32_t dst, int ch, uint32_t ts = 0) {
    return sdpInfo{src, dst, 5004, uint8_t(ch), 3, ts};
}

std::string koReq(const std::string& req) {
    static char buf[MSG_KO_REQ_SIZE];
    std::snprintf(buf, sizeof buf, "%s", req.c_str());
    reqKo(buf, sizeof buf);
    return buf;
}

// The "arr" of an engine table request as integers.
std::vector<long> koArr(const char* ops, const char* key = "arr") {
    std::string r = koReq(std::string("{\"ops\":\"") + ops + "\"}");
    std::vector<long> v;
    const char* cur = nullptr;
    int n = Msg_readArray(r.c_str(), key, &cur);
    for (int i = 0; i < n; i++) {
        char t[32];
        int type;
        Msg_readValue(cur, nullptr, t, sizeof t, &type);
        v.push_back(std::strtol(t, nullptr, 0));
        if (i + 1 < n) Msg_nextElement(&cur);
    }
    return v;
}

} // namespace

TEST(SyncToKo, PushesEachDifferenceOnceAndNotifies) {
    start();
    ASSERT_EQ(g_dev.chNumRx, 16);
    ASSERT_EQ(g_dev.ucastNumTx, 128);
    ASSERT_EQ(g_dev.pFrameNum, 48);
    // Unicast transmit 0: made by a peer request (MAC FF..), pushed. Unicast transmit 1: a
    // destination with an all-zero MAC is left alone.
    SdpTx& u0 = g_dev.ucastArrTx[0];
    u0.sdp = sdp(LO, 0x0A000009u, 2, 7);
    u0.srcChId[0] = 4;
    u0.srcChId[1] = 5;
    std::memset(u0.dstMac, 0xFF, 6);
    SdpTx& u1 = g_dev.ucastArrTx[1];
    u1.sdp = sdp(LO, 0x0A00000Au, 1);
    u1.srcChId[0] = 1;
    SdpTx& m0 = g_dev.mcastArrTx[3];
    m0.sdp = sdp(LO, 0xEF010101u, 2);
    m0.srcChId[0] = 0;
    m0.srcChId[1] = 1;
    Dev_mcastMac(m0.sdp.dstIp, m0.dstMac);
    SdpRx& r0 = g_dev.ucastArrRx[2];
    r0.sdp = sdp(0x0A000002u, LO, 2, 2);
    r0.rtpChId[0] = 0;
    SdpRx& r1 = g_dev.mcastArrRx[1];
    r1.sdp = sdp(0x0A000003u, 0xEF020202u, 1, 99);
    r1.rtpChId[0] = 1;
    g_dev.rtpChId[0] = 0;
    g_dev.rtpChId[5] = 1;
    // Receive channel 6 from this device's own transmit channel 3, through RTP channel 10.
    g_dev.rtpChId[6] = 10;
    std::strcpy(g_dev.srcDevId[10], "devA");
    g_dev.srcChId[10] = 3;
    g_dev.phyGainTx[0] = -6.0f;
    g_dev.phyGainRx[2] = 24.0f;
    g_dev.phyMuteRx[1] = 1;

    periodWork_syncToKo();
    sdpInfo s;
    int16_t map[8];
    uint8_t mac[6];
    ASSERT_TRUE(RtpAudio_getUcastTx(0, &s, map, mac));
    EXPECT_EQ(std::memcmp(&s, &u0.sdp, sizeof s), 0);
    EXPECT_EQ(map[1], 5);
    EXPECT_EQ(mac[0], 0xFF);
    ASSERT_TRUE(RtpAudio_getUcastTx(1, &s, map, mac));
    EXPECT_EQ(s.chNum, 0);
    ASSERT_TRUE(RtpAudio_getMcastTx(3, &s, map, mac));
    EXPECT_EQ(s.dstIp, 0xEF010101u);
    EXPECT_EQ(mac[2], 0x5E);
    ASSERT_TRUE(RtpAudio_getUcastRx(2, &s, map));
    EXPECT_EQ(s.rtpTsOffset, 2u);
    ASSERT_TRUE(RtpAudio_getMcastRx(1, &s, map));
    EXPECT_EQ(s.rtpTsOffset, 99u);
    EXPECT_EQ(map[0], 1);
    std::vector<long> rx = koArr("getAllChRx", "rtpChIdArr");
    ASSERT_EQ(rx.size(), 16u);
    EXPECT_EQ(rx[5], 1);
    EXPECT_EQ(rx[6], 10);
    std::vector<long> loop = koArr("getAllChTx", "rtpChIdArr");
    ASSERT_EQ(loop.size(), 16u);
    for (int i = 0; i < 16; i++) EXPECT_EQ(loop[i], i == 3 ? 10 : -1) << i;
    std::vector<long> g = koArr("getAllPhyGainTx");
    ASSERT_GE(g.size(), 2u);
    EXPECT_EQ(g[0], 525532);
    EXPECT_EQ(g[1], 1048576);
    EXPECT_EQ(koArr("getAllPhyGainRx")[2], Dev_dbToPpm(24.0f));
    EXPECT_EQ(koArr("getAllPhyMuteRx")[1], 1);
    auto notes = recvAll(g_rig.group);
    EXPECT_EQ(countOps(notes, "updateRoute"), 1);
    EXPECT_EQ(countOps(notes, "updateActive"), 0);
    // Levels of silence read as minus infinity.
    EXPECT_TRUE(std::isinf(g_dev.volumeDbRx[0]) && g_dev.volumeDbRx[0] < 0);

    // Converged: the next cycle reads everything and pushes nothing.
    g_calls.clear();
    periodWork_syncToKo();
    EXPECT_EQ(pushes(), 0);
    EXPECT_EQ(g_calls["getUcastTx"], 128);
    EXPECT_EQ(g_calls["getMcastRx"], 16);
    EXPECT_TRUE(recvAll(g_rig.group).empty());

    // The engine reports unicast receive 2 active for the first time: updateActive once.
    g_fakeActive = true;
    g_activeReply = "{\"result\":\"succ\",\"ucastIdArr\":[\"2\"],\"mcastIdArr\":[]}";
    periodWork_syncToKo();
    EXPECT_EQ(r0.active, 1);
    notes = recvAll(g_rig.group);
    EXPECT_EQ(countOps(notes, "updateActive"), 1);
    EXPECT_EQ(countOps(notes, "updateRoute"), 0);
    periodWork_syncToKo();
    EXPECT_TRUE(recvAll(g_rig.group).empty());

    // A routing change and an activity change in one cycle: only updateRoute.
    g_activeReply = "{\"result\":\"succ\",\"ucastIdArr\":[],\"mcastIdArr\":[\"1\"]}";
    g_dev.rtpChId[7] = 1;
    periodWork_syncToKo();
    EXPECT_EQ(r0.active, 0);
    EXPECT_EQ(r1.active, 1);
    notes = recvAll(g_rig.group);
    EXPECT_EQ(countOps(notes, "updateRoute"), 1);
    EXPECT_EQ(countOps(notes, "updateActive"), 0);

    // A failed activity request counts as empty lists.
    g_activeReply = "{\"result\":\"fail\",\"reason\":\"x\"}";
    periodWork_syncToKo();
    EXPECT_EQ(r1.active, 0);
    EXPECT_EQ(countOps(recvAll(g_rig.group), "updateActive"), 1);

    // An entry the engine refuses (a multicast stream to a unicast address, as an old
    // route file may hold) is pushed again every cycle but announces no routing change.
    SdpTx& bad = g_dev.mcastArrTx[7];
    bad.sdp = sdp(LO, 0x0A000009u, 1);
    bad.srcChId[0] = 0;
    std::memset(bad.dstMac, 0x01, 6);
    g_calls.clear();
    periodWork_syncToKo();
    periodWork_syncToKo();
    EXPECT_EQ(g_calls["setMcastTx"], 2);
    EXPECT_EQ(countOps(recvAll(g_rig.group), "updateRoute"), 0);
    Dev_clearSdpTx(&bad);

    // A transmit entry cleared in the record is cleared in the engine.
    Dev_clearSdpTx(&u0);
    periodWork_syncToKo();
    ASSERT_TRUE(RtpAudio_getUcastTx(0, &s, map, mac));
    EXPECT_EQ(s.chNum, 0);
    EXPECT_EQ(s.dstIp, 0u);
}

TEST(SyncToKo, LevelAndGainConversions) {
    EXPECT_EQ(Dev_dbToPpm(-6.0f), 525532);
    EXPECT_EQ(Dev_dbToPpm(0.0f), 1048576);
    EXPECT_EQ(Dev_dbToPpm(-80.0f), Dev_dbToPpm(-60.0f));
    // A full-scale sine's mean square (16-bit scale) reads as 0 dB.
    EXPECT_NEAR(periodWork_levelDb(536870912u), 0.0f, 0.01f);
    EXPECT_NEAR(periodWork_levelDb(5368709u), -20.0f, 0.01f);
}

TEST(PeriodWork, ScheduleOnTheTenMillisecondGrid) {
    start();
    g_dev.msCounter = 0;
    int peer = -1;
    if (g_netns) {
        uint16_t p = ROUTE_CMD_PORT;
        peer = bound(LO, &p);
    }
    // Eight unicast receive streams from 127.0.0.1 (entry i carries offset i).
    g_dev.ucastNumRx = 8;
    for (int i = 0; i < 8; i++) {
        SdpRx& e = g_dev.ucastArrRx[i];
        e.sdp = sdp(LO, LO, 1, uint32_t(i));
        e.rtpChId[0] = 8 + i;
    }
    // RTP channel 1 routed from devX, not carried by any stream.
    g_dev.rtpChId[2] = 1;
    std::strcpy(g_dev.srcDevId[1], "devX");
    g_dev.srcChId[1] = 0;
    // A unicast transmit stream whose receiver never refreshes it.
    SdpTx& ut = g_dev.ucastArrTx[5];
    ut.sdp = sdp(LO, 0x0A000009u, 1);
    ut.srcChId[0] = 0;
    std::memset(ut.dstMac, 0xFF, 6);
    // A multicast transmit stream (its announcements stay inside the private namespace).
    SdpTx& mt = g_dev.mcastArrTx[0];
    if (g_netns) {
        mt.sdp = sdp(LO, 0xEF010101u, 1);
        mt.srcChId[0] = 0;
        Dev_mcastMac(mt.sdp.dstIp, mt.dstMac);
        std::strcpy(mt.name, "Out");
    }
    g_dev.dirty = 1;
    std::strcpy(g_dev.gmClkId, "stale"); // rewritten at every 4990 ms

    std::vector<std::vector<int>> refreshTicks(8);
    std::vector<int> iAmTicks, whoIsTicks;
    int syncs = 0, firstSave = -1, utGoneAt = -1;
    for (int tick = 1; tick <= 2000; tick++) {
        int before = g_calls["getAllChRx"];
        periodWork();
        syncs += g_calls["getAllChRx"] - before;
        if (firstSave < 0 && g_dev.dirty == 0) firstSave = tick;
        if (utGoneAt < 0 && ut.sdp.chNum == 0) utGoneAt = tick;
        if (g_netns && tick == 1000) {
            EXPECT_EQ(mt.msCounter, 10000u);
        }
        if (g_netns && tick == 1001) {
            EXPECT_EQ(mt.msCounter, 0u) << "SAP due at 10010 ms";
        }
        for (auto& m : recvAll(g_rig.group)) {
            if (m.find("\"iAmVelunor\"") != std::string::npos) iAmTicks.push_back(tick);
            if (m.find("\"whoIsVelunor\"") != std::string::npos && m.find("devX") != std::string::npos)
                whoIsTicks.push_back(tick);
        }
        if (peer >= 0)
            for (auto& m : recvAll(peer)) {
                const char* p = std::strstr(m.c_str(), "\"rtpTsOffset\":\"");
                ASSERT_NE(p, nullptr) << m;
                int i = std::atoi(p + 15);
                ASSERT_TRUE(i >= 0 && i < 8);
                EXPECT_NE(m.find("\"setUcastTx\""), std::string::npos);
                refreshTicks[size_t(i)].push_back(tick);
            }
    }
    EXPECT_EQ(iAmTicks, (std::vector<int>{499, 999, 1499, 1999}));
    EXPECT_EQ(whoIsTicks, (std::vector<int>{93, 93 * 17}));
    EXPECT_EQ(syncs, (2000 - 34) / 35 + 1); // ticks where t mod 350 = 340
    EXPECT_EQ(firstSave, 399);
    EXPECT_EQ(utGoneAt, 501);
    // No grandmaster yet: the text stays the start-up default, as in the first announcements.
    EXPECT_STREQ(g_dev.gmClkId, "00-00-00-00-00-00-00-00");
    // The sender's next synchronisation then cleared the engine's entry.
    sdpInfo s;
    int16_t map[8];
    uint8_t mac[6];
    ASSERT_TRUE(RtpAudio_getUcastTx(5, &s, map, mac));
    EXPECT_EQ(s.chNum, 0);
    if (peer < 0) GTEST_SKIP() << "no private network namespace: peer requests not checked";
    for (int i = 0; i < 8; i++) {
        const auto& t = refreshTicks[size_t(i)];
        ASSERT_GE(t.size(), 30u) << i;
        for (size_t j = 0; j < t.size(); j++) {
            int k = t[j];
            EXPECT_EQ(k % 3, i < 4 ? 0 : 1) << "entry " << i << " tick " << k;
            if (j > 0) {
                EXPECT_GE(t[j] - t[j - 1], 51) << "entry " << i;
            }
        }
    }
    Net_close(peer);
}

TEST(PeriodWork, SapAnnouncementsReachTheGroup) {
    if (!g_netns) GTEST_SKIP() << "multicast only inside a private network namespace";
    start();
    if (std::system("ip route add 239.0.0.0/8 dev lo 2>/dev/null; ip link set lo multicast on") != 0) {
    }
    uint16_t p = ROUTE_SAP_PORT;
    int listen = bound(0, &p);
    ASSERT_GE(listen, 0);
    ASSERT_EQ(Net_joinGroup(listen, SAP_GROUP, LO), 0);
    Net_setMcastIf(g_rig.disc, LO);
    Net_setMcastLoop(g_rig.disc, 1);
    g_dev.msCounter = 0;
    SdpTx& mt = g_dev.mcastArrTx[2];
    mt.sdp = sdp(LO, 0xEF010203u, 2, 5);
    mt.srcChId[0] = 0;
    Dev_mcastMac(mt.sdp.dstIp, mt.dstMac);
    std::strcpy(mt.name, "AB");
    std::vector<int> at;
    for (int tick = 1; tick <= 2100; tick++) {
        periodWork();
        for (auto& m : recvAll(listen)) {
            SapInfo in;
            ASSERT_TRUE(Sap_read(reinterpret_cast<const uint8_t*>(m.data()), m.size(), &in));
            EXPECT_STREQ(in.name, "AB");
            EXPECT_EQ(in.sdp.dstIp, 0xEF010203u);
            at.push_back(tick);
        }
    }
    EXPECT_EQ(at, (std::vector<int>{1001, 2002}));
    Net_setMcastLoop(g_rig.disc, 0);
    Net_close(listen);
}
