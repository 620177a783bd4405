// Discovery over real loopback datagrams: whoIs answers, the iAm text, the groups it goes
// to, what an iAm from a named source does to the unicast receive table, the peer
// requests that follow, and the engine's loop-back map for routes from this device itself.
#include "route/discovery.h"
#include "route/periodWork.h"
#include "route_rig.h"

using namespace rig;

namespace {

// The controller (or a peer) sends text to the discovery socket; the device handles it;
// returns what came back to the sender.
std::string disc(const std::string& text, int waitMs = 300) {
    Socks& s = socks();
    Net_sendTo(s.client, text.data(), text.size(), LO, uint16_t(s.devPort + 3));
    std::string got;
    uint32_t from = 0;
    uint16_t port = 0;
    got = recvText(s.disc, 1000, &from, &port);
    static char buf[MSG_ROUTE_BUF_SIZE];
    std::memcpy(buf, got.c_str(), got.size() + 1);
    Disc_handle(s.disc, buf, int(got.size()), sizeof buf, from, port);
    return recvText(s.client, waitMs);
}

std::string iAm(const char* devId, const char* ip, int chNumTx = 8, int pFrameNum = 48, int rate = 48000,
                const char* name = "peer") {
    char b[1024];
    std::snprintf(
        b, sizeof b,
        "{\"ops\":\"iAmVelunor\",\"protVer\":\"0.1\",\"devId\":\"%s\",\"name\":\"%s\",\"ip\":\"%s\","
        "\"port\":\"9995\",\"chNumRx\":\"8\",\"chNumTx\":\"%d\",\"ucastNumRx\":\"128\","
        "\"ucastNumTx\":\"128\",\"mcastNumRx\":\"16\",\"mcastNumTx\":\"16\",\"sampleRate\":\"%d\","
        "\"sampleByteNum\":\"3\",\"pFrameNum\":\"%d\",\"delayUs\":\"5000\",\"dscp\":\"34\","
        "\"myClkId\":\"x\",\"gmClkId\":\"y\",\"model\":\"m\",\"phyChNumRx\":\"8\",\"phyChNumTx\":\"8\"}",
        devId, name, ip, chNumTx, rate, pFrameNum);
    return b;
}

std::string route(const char* dev, int src, int dst) {
    return cmd(std::string("{\"ops\":\"setUcastRx\",\"srcDevId\":\"") + dev + "\",\"srcChId\":\"" +
               std::to_string(src) + "\",\"dstChId\":\"" + std::to_string(dst) + "\"}");
}

constexpr uint32_t PEER = 0x7F000009u;  // 127.0.0.9
constexpr uint32_t PEER2 = 0x7F00000Au; // 127.0.0.10

} // namespace

TEST(Discovery, WhoIsIsAnsweredWithIAmAndNoticesReachBothGroups) {
    resetDev(8);
    g_dev.ownIp = 0x0A4D0002u; // 10.77.0.2 as announced; the socket stays on loopback
    std::strcpy(g_dev.name, "Stage \"B\"");
    std::string me =
        "{\"ops\":\"iAmVelunor\",\"protVer\":\"0.1\",\"devId\":\"devB\",\"name\":\"Stage \\\"B\\\"\","
        "\"ip\":\"10.77.0.2\",\"port\":\"9995\",\"chNumRx\":\"8\",\"chNumTx\":\"8\",\"ucastNumRx\":\"128\","
        "\"ucastNumTx\":\"128\",\"mcastNumRx\":\"16\",\"mcastNumTx\":\"16\",\"sampleRate\":\"48000\","
        "\"sampleByteNum\":\"3\",\"pFrameNum\":\"48\",\"delayUs\":\"5000\",\"dscp\":\"34\","
        "\"myClkId\":\"00-00-00-00-00-00-00-00\",\"gmClkId\":\"00-00-00-00-00-00-00-00\",\"model\":"
        "\"rEduVuzi\","
        "\"phyChNumRx\":\"8\",\"phyChNumTx\":\"8\"}";
    EXPECT_EQ(disc("{\"ops\":\"whoIsVelunor\",\"devId\":\"\"}"), me);
    EXPECT_EQ(disc("{\"ops\":\"whoIsVelunor\",\"devId\":\"devB\"}"), me);
    EXPECT_EQ(disc("{\"ops\":\"whoIsVelunor\",\"devId\":\"devX\"}", 100), "");
    EXPECT_EQ(disc("{\"ops\":\"whoIsVelunor\"}", 100), "");
    EXPECT_EQ(disc("{\"ops\":\"updateRoute\"}", 100), "");
    // What is sent is what the parser reads back.
    PeerDesc p;
    ASSERT_TRUE(Disc_parseIAm(me.c_str(), &p));
    EXPECT_STREQ(p.name, "Stage \"B\"");
    EXPECT_EQ(p.ip, 0x0A4D0002u);
    EXPECT_EQ(p.pFrameNum, 48);

    // Group messages go to the control group and, when set, to the second one.
    Socks& s = socks();
    Disc_sendUpdateRoute();
    EXPECT_EQ(recvText(s.group, 300), "{\"ops\":\"updateRoute\"}");
    EXPECT_EQ(recvText(s.group2, 50), "");
    g_dev.ctrlGroup2 = LO_GROUP2;
    Disc_sendUpdateActive();
    EXPECT_EQ(recvText(s.group, 300), "{\"ops\":\"updateActive\"}");
    EXPECT_EQ(recvText(s.group2, 300), "{\"ops\":\"updateActive\"}");
    Disc_sendIAmGroup();
    EXPECT_EQ(recvText(s.group, 300), me);
    EXPECT_EQ(recvText(s.group2, 300), me);
    Disc_sendWhoIs("dev\"A");
    EXPECT_EQ(recvText(s.group, 300), "{\"ops\":\"whoIsVelunor\",\"devId\":\"dev\\\"A\"}");
    EXPECT_EQ(recvText(s.group2, 300), "{\"ops\":\"whoIsVelunor\",\"devId\":\"dev\\\"A\"}");
    // A unicast iAm (answer to a whoIs) is not copied to the second group.
    Disc_sendIAm(LO, s.clientPort);
    EXPECT_EQ(recvText(s.client, 300), me);
    EXPECT_EQ(recvText(s.group2, 50), "");
}

TEST(Discovery, IAmFromANamedSourceSetsUpTheUnicastReceiveStreams) {
    resetDev(8);
    ASSERT_EQ(member(route("devA", 0, 0), "result"), "succ");
    ASSERT_EQ(member(route("devA", 1, 1), "result"), "succ");
    ASSERT_EQ(member(route("devA", 2, 2), "result"), "succ");
    ASSERT_EQ(member(route("devC", 0, 3), "result"), "succ");
    int r0 = g_dev.rtpChId[0], r1 = g_dev.rtpChId[1], r2 = g_dev.rtpChId[2];

    // Ignored: other rate, own id, empty name, a missing member, a negative count.
    disc(iAm("devA", "127.0.0.9", 2, 48, 96000), 0);
    disc(iAm("devB", "127.0.0.9"), 0);
    disc(iAm("devA", "127.0.0.9", 2, 48, 48000, ""), 0);
    disc("{\"ops\":\"iAmVelunor\",\"devId\":\"devA\",\"name\":\"a\",\"ip\":\"127.0.0.9\"}", 0);
    disc(iAm("devA", "127.0.0.9", -2), 0);
    for (int i = 0; i < 128; i++)
        EXPECT_FALSE(Dev_rxInUse(&g_dev.ucastArrRx[i])) << i;

    // A peer with two transmit channels: two channels share the first stream, the third opens
    // a second one.
    disc(iAm("devA", "127.0.0.9", 2), 0);
    const SdpRx& a = g_dev.ucastArrRx[0];
    const SdpRx& b = g_dev.ucastArrRx[1];
    ASSERT_TRUE(Dev_rxInUse(&a));
    EXPECT_EQ(a.sdp.srcIp, PEER);
    EXPECT_EQ(a.sdp.dstIp, LO);
    EXPECT_EQ(a.sdp.dstPort, 5004);
    EXPECT_EQ(a.sdp.chNum, 2);
    EXPECT_EQ(a.sdp.sampleByteNum, 3);
    EXPECT_EQ(a.sdp.rtpTsOffset, 0u);
    EXPECT_EQ(a.rtpChId[0], r0);
    EXPECT_EQ(a.rtpChId[1], r1);
    ASSERT_TRUE(Dev_rxInUse(&b));
    EXPECT_EQ(b.sdp.rtpTsOffset, 1u);
    EXPECT_EQ(b.rtpChId[0], r2);
    EXPECT_EQ(b.rtpChId[1], -1);
    EXPECT_FALSE(Dev_rxInUse(&g_dev.ucastArrRx[2])); // devC has not answered

    // The same iAm again changes nothing; a moved peer moves its streams.
    disc(iAm("devA", "127.0.0.9", 2), 0);
    EXPECT_FALSE(Dev_rxInUse(&g_dev.ucastArrRx[2]));
    disc(iAm("devA", "127.0.0.10", 2), 0);
    EXPECT_EQ(a.sdp.srcIp, PEER2);
    EXPECT_EQ(b.sdp.srcIp, PEER2);
    disc(iAm("devA", "127.0.0.9", 2), 0);

    // The refresh request that reaches the peer, and the peer taking it.
    Socks& s = socks();
    int peerSock = Net_udpSocketTry(PEER, 9995);
    ASSERT_GE(peerSock, 0);
    Route_sendUcastPeerReq(0, true);
    std::string req = recvText(peerSock, 1000);
    EXPECT_EQ(req,
              "{\"ops\":\"setUcastTx\",\"sdp\":{\"srcIp\":\"127.0.0.9\",\"dstIp\":\"127.0.0.1\",\"dstPort\":"
              "\"5004\",\"chNum\":\"2\",\"sampleByteNum\":\"3\",\"rtpTsOffset\":\"0\"},\"srcChIdArr\":[\"0\","
              "\"1\"]}");
    {
        char buf[MSG_ROUTE_BUF_SIZE];
        std::snprintf(buf, sizeof buf, "%s", req.c_str());
        ASSERT_TRUE(Route_handlePeerStream(s.client, buf, int(req.size()), sizeof buf, LO, s.clientPort));
        EXPECT_EQ(member(recvText(s.client, 300), "result"), "succ");
        const SdpTx& tx = g_dev.ucastArrTx[0];
        EXPECT_TRUE(Dev_txInUse(&tx));
        EXPECT_TRUE(Route_sdpEqual(tx.sdp, sdpInfo{PEER, LO, 5004, 2, 3, 0}));
        EXPECT_EQ(tx.srcChId[1], 1);
    }

    // Clearing both routes of the first stream asks the peer to stop.
    drain(peerSock);
    EXPECT_EQ(member(cmd("{\"ops\":\"clrRxCh\",\"dstChId\":\"0\"}"), "result"), "succ");
    EXPECT_TRUE(Dev_rxInUse(&a));
    EXPECT_EQ(member(cmd("{\"ops\":\"clrRxCh\",\"dstChId\":\"1\"}"), "result"), "succ");
    EXPECT_FALSE(Dev_rxInUse(&a));
    std::string stop = recvText(peerSock, 1000);
    EXPECT_EQ(member(stop, "ops"), "clrUcastTx");
    EXPECT_NE(stop.find("\"dstPort\":\"5004\",\"chNum\":\"2\""), std::string::npos) << stop;
    Net_close(peerSock);

    // Long packets: at 192 frames only two channels of L24 fit one packet.
    resetDev(8);
    for (int c = 0; c < 4; c++)
        ASSERT_EQ(member(route("devA", c, c), "result"), "succ");
    disc(iAm("devA", "127.0.0.9", 8, 192), 0);
    EXPECT_EQ(g_dev.ucastArrRx[0].sdp.chNum, 2);
    EXPECT_EQ(g_dev.ucastArrRx[1].sdp.chNum, 2);
    EXPECT_FALSE(Dev_rxInUse(&g_dev.ucastArrRx[2]));
    // With short packets one eight-channel stream; when both devices' packets grow, the
    // stream no longer fits and is made anew as streams of two channels.
    resetDev(8);
    for (int c = 0; c < 4; c++)
        ASSERT_EQ(member(route("devA", c, c), "result"), "succ");
    disc(iAm("devA", "127.0.0.9", 8, 48), 0);
    EXPECT_EQ(g_dev.ucastArrRx[0].sdp.chNum, 8);
    EXPECT_EQ(g_dev.ucastArrRx[0].rtpChId[3], g_dev.rtpChId[3]);
    g_dev.pFrameNum = 192;
    disc(iAm("devA", "127.0.0.9", 8, 192), 0);
    int total = 0;
    for (int i = 0; i < 128; i++) {
        const SdpRx& e = g_dev.ucastArrRx[i];
        if (!Dev_rxInUse(&e))
            continue;
        EXPECT_LE(e.sdp.chNum, 2) << i;
        for (int k = 0; k < e.sdp.chNum; k++)
            total += e.rtpChId[k] >= 0;
    }
    EXPECT_EQ(total, 4); // every route still has a stream
}

TEST(Discovery, RoutesFromThisDeviceUseTheLoopBackMap) {
    resetDev(16);
    ASSERT_EQ(member(route("devB", 3, 5), "result"), "succ");
    int r = g_dev.rtpChId[5];
    ASSERT_GE(r, 0);
    EXPECT_EQ(recvText(socks().group, 300), "{\"ops\":\"updateRoute\"}"); // and no whoIs
    EXPECT_EQ(recvText(socks().group, 100), "");
    // An iAm never makes a network stream for this device's own channels.
    disc(iAm("devB", "127.0.0.1"), 0);
    EXPECT_FALSE(Dev_rxInUse(&g_dev.ucastArrRx[0]));

    periodWork_syncToKo();
    ASSERT_EQ(ko().calls["setAllChTx"], 1);
    int32_t map[RTP_MAX_CH_NUM];
    int n = RTP_MAX_CH_NUM;
    ASSERT_EQ(Msg_readIntArray(ko().last["setAllChTx"].c_str(), "rtpChIdArr", map, &n), MSG_OK);
    ASSERT_EQ(n, 16);
    for (int i = 0; i < n; i++)
        EXPECT_EQ(map[i], i == 3 ? r : -1) << i;
}
