// Route commands over real loopback datagrams: locks and password, the routing commands,
// multicast transmit streams, peer stream requests, remote codes and hostile requests.
#include "route_rig.h"

#include <filesystem>
#include <openssl/evp.h>
#include <sys/stat.h>

using namespace rig;

namespace {

std::string tmpDir() {
    char t[] = "/tmp/routeCmdXXXXXX";
    const char* d = mkdtemp(t);
    return d ? d : "/tmp";
}

void writeFile(const std::string& path, const void* data, size_t n) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(data, 1, n, f);
    std::fclose(f);
}

std::string readFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return "<missing>";
    char b[256];
    size_t n = std::fread(b, 1, sizeof b, f);
    std::fclose(f);
    return std::string(b, n);
}

std::string ucastRx(const char* dev, int src, int dst) {
    return std::string("{\"ops\":\"setUcastRx\",\"srcDevId\":\"") + dev + "\",\"srcChId\":\"" +
           std::to_string(src) + "\",\"dstChId\":\"" + std::to_string(dst) + "\"}";
}

std::string mcastTx(const std::string& sdp, const std::vector<int>& ch, const std::string& name) {
    return "{\"ops\":\"setMcastTx\"," + sdp + ",\"srcChIdArr\":" + arr(ch) + ",\"name\":\"" + name + "\"}";
}

std::string reason(const std::string& reply) {
    return member(reply, "reason");
}
std::string result(const std::string& reply) {
    return member(reply, "result");
}

} // namespace

TEST(RouteCmd, LocksAndPassword) {
    resetDev();
    // No paths configured: the feature is not there.
    EXPECT_EQ(reason(cmd("{\"ops\":\"getLock\"}")), "not support");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setLock\",\"password\":\"pw\",\"val\":\"1\"}")), "not support");

    std::string dir = tmpDir();
    std::string pwPath = dir + "/pw", lockPath = dir + "/lock";
    std::snprintf(g_dev.passwordPath, sizeof g_dev.passwordPath, "%s", pwPath.c_str());
    std::snprintf(g_dev.lockPath, sizeof g_dev.lockPath, "%s", lockPath.c_str());
    EXPECT_EQ(reason(cmd("{\"ops\":\"setLock\",\"password\":\"pw\",\"val\":\"1\"}")), "not set passowrd");
    writeFile(pwPath, "0123456789abcde", 15); // not a digest
    EXPECT_EQ(reason(cmd("{\"ops\":\"setLock\",\"password\":\"pw\",\"val\":\"1\"}")), "not set passowrd");

    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    ASSERT_EQ(EVP_Digest("secret", 6, md, &mdLen, EVP_md5(), nullptr), 1);
    writeFile(pwPath, md, 16);
    EXPECT_EQ(reason(cmd("{\"ops\":\"setLock\",\"password\":\"Secret\",\"val\":\"1\"}")), "mismatch");
    EXPECT_EQ(cmd("{\"ops\":\"setLock\",\"val\":\"1\"}"), ""); // missing password: no reply
    EXPECT_EQ(g_dev.lockFlags, 0);

    std::string r = cmd("{\"ops\":\"setLock\",\"password\":\"secret\",\"val\":\"1\"}");
    EXPECT_EQ(r, "{\"ops\":\"setLock\",\"password\":\"secret\",\"val\":\"1\",\"result\":\"succ\"}");
    EXPECT_EQ(readFile(lockPath), "1");
    EXPECT_EQ(g_dev.lockFlags, LOCK_UCAST_MCAST);
    EXPECT_EQ(member(cmd("{\"ops\":\"getLock\"}"), "val"), "1");

    // Routing refused before any member is read; gains still change.
    EXPECT_EQ(reason(cmd(ucastRx("devA", 0, 0))), "LOCK_UCAST_MCAST");
    EXPECT_EQ(reason(cmd("{\"ops\":\"clrRxCh\"}")), "LOCK_UCAST_MCAST");
    EXPECT_EQ(g_dev.rtpChId[0], -1);
    EXPECT_EQ(result(cmd("{\"ops\":\"setPhyGainDbTx\",\"id\":\"2\",\"val\":\"-6\"}")), "succ");
    EXPECT_FLOAT_EQ(g_dev.phyGainTx[2], -6.0f);

    r = cmd("{\"ops\":\"setLock\",\"password\":\"secret\",\"val\":\"0x2\"}");
    EXPECT_EQ(result(r), "succ");
    EXPECT_EQ(g_dev.lockFlags, LOCK_PHY_GAIN_MUTE);
    EXPECT_EQ(reason(cmd("{\"ops\":\"setPhyMuteRx\",\"id\":\"0\",\"val\":\"1\"}")), "LOCK_PHY_GAIN_MUTE");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setPhyGainDbRx\",\"id\":\"0\",\"val\":\"1\"}")), "LOCK_PHY_GAIN_MUTE");
    EXPECT_EQ(result(cmd(ucastRx("devA", 0, 0))), "succ");

    // A lock file that cannot be written.
    std::snprintf(g_dev.lockPath, sizeof g_dev.lockPath, "%s/no/such/dir/", dir.c_str());
    EXPECT_EQ(reason(cmd("{\"ops\":\"setLock\",\"password\":\"secret\",\"val\":\"0\"}")), "file_write()");
    EXPECT_EQ(g_dev.lockFlags, LOCK_PHY_GAIN_MUTE);
    // The file holds the flags applied, so a restart applies the same: trailing text
    // after the number, no number, a number beyond 32 bits.
    std::snprintf(g_dev.lockPath, sizeof g_dev.lockPath, "%s", lockPath.c_str());
    EXPECT_EQ(result(cmd("{\"ops\":\"setLock\",\"password\":\"secret\",\"val\":\"1 \"}")), "succ");
    EXPECT_EQ(readFile(lockPath), "1");
    EXPECT_EQ(g_dev.lockFlags, LOCK_UCAST_MCAST);
    EXPECT_EQ(reason(cmd("{\"ops\":\"clrRxCh\",\"dstChId\":\"0\"}")), "LOCK_UCAST_MCAST");
    EXPECT_EQ(result(cmd("{\"ops\":\"setLock\",\"password\":\"secret\",\"val\":\"open\"}")), "succ");
    EXPECT_EQ(readFile(lockPath), "0");
    EXPECT_EQ(g_dev.lockFlags, 0);
    std::string longVal(100, '7');
    EXPECT_EQ(result(cmd("{\"ops\":\"setLock\",\"password\":\"secret\",\"val\":\"" + longVal + "\"}")),
              "succ");
    EXPECT_EQ(readFile(lockPath), "0");
    EXPECT_EQ(g_dev.lockFlags, 0);
    EXPECT_EQ(member(cmd("{\"ops\":\"getLock\"}"), "val"), "0");
    std::filesystem::remove_all(dir);
}

TEST(RouteCmd, UnicastRoutingSharesAndFreesRtpChannels) {
    resetDev();
    // A foreign source is looked for at once; every route change is announced.
    std::string r = cmd(ucastRx("devA", 1, 0));
    EXPECT_EQ(result(r), "succ");
    std::string who = recvText(socks().group, 300);
    EXPECT_EQ(who, "{\"ops\":\"whoIsVelunor\",\"devId\":\"devA\"}");
    EXPECT_EQ(recvText(socks().group, 300), "{\"ops\":\"updateRoute\"}");
    EXPECT_EQ(g_dev.dirty, 1);
    int r0 = g_dev.rtpChId[0];
    ASSERT_GE(r0, 0);
    EXPECT_STREQ(g_dev.srcDevId[r0], "devA");
    EXPECT_EQ(g_dev.srcChId[r0], 1);

    // Same source on a second channel: the RTP channel is shared.
    EXPECT_EQ(result(cmd(ucastRx("devA", 1, 5))), "succ");
    EXPECT_EQ(g_dev.rtpChId[5], r0);
    // Re-routing channel 0 keeps the RTP channel (channel 5 still uses it).
    EXPECT_EQ(result(cmd(ucastRx("devA", 2, 0))), "succ");
    int r1 = g_dev.rtpChId[0];
    EXPECT_NE(r1, r0);
    EXPECT_EQ(g_dev.srcChId[r0], 1);
    // Clearing the last user frees it.
    EXPECT_EQ(result(cmd("{\"ops\":\"clrRxCh\",\"dstChId\":\"5\"}")), "succ");
    EXPECT_EQ(g_dev.rtpChId[5], -1);
    EXPECT_EQ(g_dev.srcChId[r0], -1);
    EXPECT_STREQ(g_dev.srcDevId[r0], "");

    // Own source: no whoIs (the engine's loop-back map serves it).
    drain(socks().group);
    EXPECT_EQ(result(cmd(ucastRx("devB", 3, 7))), "succ");
    EXPECT_EQ(recvText(socks().group, 300), "{\"ops\":\"updateRoute\"}");
    EXPECT_EQ(recvText(socks().group, 100), "");

    // Checks and their reasons; failures change nothing and announce nothing.
    g_dev.dirty = 0;
    EXPECT_EQ(reason(cmd(ucastRx("", 0, 1))), "invalid srcDevId");
    EXPECT_EQ(reason(cmd(ucastRx(std::string(64, 'x').c_str(), 0, 1))), "invalid srcDevId");
    EXPECT_EQ(result(cmd(ucastRx(std::string(63, 'x').c_str(), 0, 1))), "succ");
    g_dev.dirty = 0;
    drain(socks().group);
    EXPECT_EQ(reason(cmd(ucastRx("devA", 0, 64))), "invalid dstChId");
    EXPECT_EQ(reason(cmd(ucastRx("devA", 0, -1))), "invalid dstChId");
    EXPECT_EQ(reason(cmd(ucastRx("devA", -1, 2))), "invalid srcChId");
    EXPECT_EQ(reason(cmd("{\"ops\":\"clrRxCh\",\"dstChId\":\"4294967296\"}")), "invalid dstChId");
    EXPECT_EQ(g_dev.rtpChId[2], -1);
    EXPECT_EQ(g_dev.dirty, 0);
    EXPECT_EQ(recvText(socks().group, 100), "");

    // Every RTP channel taken: the next distinct source fails without a reason.
    resetDev(4);
    for (int c = 0; c < 4; c++)
        ASSERT_EQ(result(cmd(ucastRx("devA", c, c))), "succ");
    g_dev.chNumRx = 5; // a fifth receive channel but still only four RTP channels in use
    g_dev.rtpChId[4] = -1;
    g_dev.srcChId[4] = 9; // taken by something else
    r = cmd(ucastRx("devA", 7, 4));
    EXPECT_EQ(result(r), "fail");
    EXPECT_EQ(reason(r), "<none>");
    EXPECT_EQ(g_dev.rtpChId[4], -1);
}

TEST(RouteCmd, MulticastReceive) {
    resetDev();
    std::string sdp = sdpJson("10.0.0.9", "239.1.2.3", 5004, 2, 3, 77);
    auto mrx = [&](const std::string& s, int src, int dst) {
        return cmd("{\"ops\":\"setMcastRx\"," + s + ",\"srcChId\":\"" + std::to_string(src) +
                   "\",\"dstChId\":\"" + std::to_string(dst) + "\"}");
    };
    EXPECT_EQ(result(mrx(sdp, 1, 3)), "succ");
    const SdpRx& e = g_dev.mcastArrRx[0];
    EXPECT_EQ(e.sdp.dstIp, 0xEF010203u);
    EXPECT_EQ(e.sdp.rtpTsOffset, 77u);
    int r = g_dev.rtpChId[3];
    ASSERT_GE(r, 0);
    EXPECT_EQ(e.rtpChId[1], r);
    EXPECT_EQ(g_dev.srcChId[r], 1);
    // Stream channel 0 of the same stream lands in the same entry.
    EXPECT_EQ(result(mrx(sdp, 0, 4)), "succ");
    EXPECT_EQ(e.rtpChId[0], g_dev.rtpChId[4]);
    EXPECT_FALSE(Dev_rxInUse(&g_dev.mcastArrRx[1]));

    EXPECT_EQ(reason(mrx(sdpJson("10.0.0.9", "239.1.2.3", 0, 2, 3), 0, 5)), "invalid sdpInfo");
    EXPECT_EQ(reason(mrx(sdpJson("10.0.0.9", "239.1.2.3", 5004, 9, 3), 0, 5)), "invalid sdpInfo");
    // 264 channels must not wrap to 8 in the 8-bit field.
    EXPECT_EQ(reason(mrx(sdpJson("10.0.0.9", "239.1.2.3", 5004, 264, 3), 0, 5)), "invalid sdpInfo");
    EXPECT_EQ(reason(mrx(sdpJson("10.0.0.9", "239.1.2.3", 70000, 2, 3), 0, 5)), "invalid sdpInfo");
    EXPECT_EQ(reason(mrx(sdp, 8, 5)), "invalid sdpChId");
    EXPECT_EQ(reason(mrx(sdp, 2, 5)), "invalid sdpChId"); // beyond the stream's two channels
    EXPECT_EQ(reason(mrx(sdp, 0, 64)), "invalid dstChId");
    // Missing member of the descriptor: no reply.
    EXPECT_EQ(
        cmd("{\"ops\":\"setMcastRx\",\"sdp\":{\"srcIp\":\"1.1.1.1\"},\"srcChId\":\"0\",\"dstChId\":\"0\"}"),
        "");

    // Sixteen streams fill the table.
    for (int i = 1; i < 16; i++) {
        std::string g = "239.1.3." + std::to_string(i);
        ASSERT_EQ(result(mrx(sdpJson("10.0.0.9", g.c_str(), 5004, 2, 3), 0, 10 + i)), "succ") << i;
    }
    EXPECT_EQ(reason(mrx(sdpJson("10.0.0.9", "239.9.9.9", 5004, 2, 3), 0, 40)), "no free sdpId");
    // Clearing both channels of the first stream frees its entry.
    EXPECT_EQ(result(cmd("{\"ops\":\"clrRxCh\",\"dstChId\":\"3\"}")), "succ");
    EXPECT_EQ(result(cmd("{\"ops\":\"clrRxCh\",\"dstChId\":\"4\"}")), "succ");
    EXPECT_FALSE(Dev_rxInUse(&g_dev.mcastArrRx[0]));
    EXPECT_EQ(result(mrx(sdpJson("10.0.0.9", "239.9.9.9", 5004, 2, 3), 0, 40)), "succ");

    g_dev.mcastNumRx = 0;
    EXPECT_EQ(reason(mrx(sdp, 0, 1)), "not support");
}

TEST(RouteCmd, MulticastTransmitAndTheUdpPacketLimit) {
    // Creating a stream sends its SAP announcement: only inside a private namespace.
    if (!isolateNet())
        GTEST_SKIP() << "sends SAP multicast: needs a private network namespace (root)";
    resetDev();
    std::string s8 = sdpJson("127.0.0.1", "239.5.5.1", 5004, 8, 3);
    std::vector<int> ch8 = {0, 1, 2, 3, 4, 5, 6, 7};
    // 1400 / (3 x 64) = 7 channels at most.
    g_dev.pFrameNum = 64;
    EXPECT_EQ(reason(cmd(mcastTx(s8, ch8, "big"))), "exceed udp limit");
    // 1400 / (3 x 48) = 9.
    g_dev.pFrameNum = 48;
    std::string r = cmd(mcastTx(s8, ch8, "big"));
    EXPECT_EQ(result(r), "succ");
    const SdpTx& e = g_dev.mcastArrTx[0];
    EXPECT_STREQ(e.name, "big");
    EXPECT_EQ(e.srcChId[7], 7);
    const uint8_t mac[6] = {0x01, 0x00, 0x5E, 0x05, 0x05, 0x01};
    EXPECT_EQ(std::memcmp(e.dstMac, mac, 6), 0);

    // The checks, in their order.
    std::string s2 = sdpJson("127.0.0.1", "239.5.5.2", 5004, 2, 3);
    EXPECT_EQ(reason(cmd(mcastTx(s2, {0}, "a"))), "invalid chNum");
    EXPECT_EQ(reason(cmd(mcastTx(sdpJson("127.0.0.1", "239.5.5.2", 5004, 2, 5), {0, 1}, "a"))),
              "invalid sdpInfo");
    EXPECT_EQ(reason(cmd(mcastTx(s2, {0, 64}, "a"))), "invalid srcChIdArr");
    EXPECT_EQ(reason(cmd(mcastTx(s2, {0, -2}, "a"))), "invalid srcChIdArr");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setMcastTx\"," + s2 + ",\"srcChIdArr\":[\"0\",\"x\"],\"name\":\"a\"}")),
              "invalid srcChIdArr");
    EXPECT_EQ(reason(cmd(mcastTx(sdpJson("127.0.0.1", "10.5.5.2", 5004, 2, 3), {0, 1}, "a"))),
              "invalid dstIp");
    EXPECT_EQ(reason(cmd(mcastTx(s2, {0, 1}, ""))), "invalid name");
    EXPECT_EQ(reason(cmd(mcastTx(s2, {0, 1}, std::string(64, 'n')))), "invalid name");
    EXPECT_EQ(reason(cmd(mcastTx(s2, {0, 1}, "big"))), "duplicate name");
    EXPECT_EQ(reason(cmd(mcastTx(sdpJson("127.0.0.1", "239.5.5.1", 5006, 2, 3), {0, 1}, "b"))),
              "duplicate dstIp");
    EXPECT_EQ(result(cmd(mcastTx(s2, {-1, 1}, "two"))), "succ");
    for (int i = 2; i < 16; i++) {
        std::string g = "239.5.6." + std::to_string(i);
        ASSERT_EQ(
            result(cmd(mcastTx(sdpJson("127.0.0.1", g.c_str(), 5004, 1, 3), {0}, "s" + std::to_string(i)))),
            "succ");
    }
    EXPECT_EQ(reason(cmd(mcastTx(sdpJson("127.0.0.1", "239.5.7.1", 5004, 1, 3), {0}, "last"))),
              "no free sdpId");

    EXPECT_EQ(reason(cmd("{\"ops\":\"clrMcastTx\",\"name\":\"\"}")), "invalid name");
    EXPECT_EQ(reason(cmd("{\"ops\":\"clrMcastTx\",\"name\":\"nope\"}")), "no match");
    EXPECT_EQ(result(cmd("{\"ops\":\"clrMcastTx\",\"name\":\"big\"}")), "succ");
    EXPECT_FALSE(Dev_txInUse(&g_dev.mcastArrTx[0]));
    EXPECT_EQ(g_dev.mcastArrTx[0].name[0], '\0');
    g_dev.mcastNumTx = 0;
    EXPECT_EQ(reason(cmd("{\"ops\":\"clrMcastTx\",\"name\":\"two\"}")), "not support");
    EXPECT_EQ(reason(cmd(mcastTx(s2, {0, 1}, "x"))), "not support");
}

TEST(RouteCmd, PeerStreamRequests) {
    resetDev();
    std::string sdp = sdpJson("127.0.0.1", "10.1.1.2", 5004, 2, 3, 4);
    std::string set = "{\"ops\":\"setUcastTx\"," + sdp + ",\"srcChIdArr\":[\"3\",\"-1\"]}";
    std::string r = cmd(set);
    EXPECT_EQ(r, set.substr(0, set.size() - 1) + ",\"result\":\"succ\"}");
    const SdpTx& e = g_dev.ucastArrTx[0];
    EXPECT_EQ(e.srcChId[0], 3);
    EXPECT_EQ(e.srcChId[1], -1);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(e.dstMac[i], 0xFF);
    // The same request again refreshes the entry: counter back to 0, no second entry.
    g_dev.ucastArrTx[0].msCounter = 4000;
    EXPECT_EQ(result(cmd(set)), "succ");
    EXPECT_EQ(g_dev.ucastArrTx[0].msCounter, 0u);
    EXPECT_FALSE(Dev_txInUse(&g_dev.ucastArrTx[1]));
    // Another receiver (other port) takes the next entry.
    EXPECT_EQ(result(cmd("{\"ops\":\"setUcastTx\"," + sdpJson("127.0.0.1", "10.1.1.2", 5006, 1, 3) +
                         ",\"srcChIdArr\":[\"0\"]}")),
              "succ");
    EXPECT_TRUE(Dev_txInUse(&g_dev.ucastArrTx[1]));

    EXPECT_EQ(reason(cmd("{\"ops\":\"setUcastTx\"," + sdp + ",\"srcChIdArr\":[\"3\"]}")), "invalid chNum");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setUcastTx\"," + sdpJson("127.0.0.1", "239.1.1.2", 5004, 1, 3) +
                         ",\"srcChIdArr\":[\"0\"]}")),
              "invalid dstIp");
    EXPECT_EQ(reason(cmd("{\"ops\":\"setUcastTx\"," + sdpJson("127.0.0.1", "10.1.1.3", 5004, 1, 3) +
                         ",\"srcChIdArr\":[\"64\"]}")),
              "invalid srcChIdArr");
    g_dev.pFrameNum = 192; // 1400 / 576 = 2
    EXPECT_EQ(reason(cmd("{\"ops\":\"setUcastTx\"," + sdpJson("127.0.0.1", "10.1.1.3", 5004, 3, 3) +
                         ",\"srcChIdArr\":[\"0\",\"1\",\"2\"]}")),
              "exceed udp limit");
    EXPECT_EQ(cmd("{\"ops\":\"setUcastTx\"," + sdp + "}"), ""); // missing list: no reply

    EXPECT_EQ(reason(cmd("{\"ops\":\"clrUcastTx\"," + sdpJson("127.0.0.1", "10.1.1.2", 5004, 2, 3, 5) + "}")),
              "no match");
    EXPECT_EQ(result(cmd("{\"ops\":\"clrUcastTx\"," + sdp + "}")), "succ");
    EXPECT_FALSE(Dev_txInUse(&g_dev.ucastArrTx[0]));

    // A reply-shaped message is swallowed, even one whose ops names a command.
    EXPECT_EQ(cmd("{\"ops\":\"setDevName\",\"name\":\"zz\",\"result\":\"succ\"}", 150), "");
    EXPECT_STREQ(g_dev.name, "devB");
}

TEST(RouteCmd, RemoteCodes) {
    resetDev(8);
    g_dev.phyChNumRx = 4;
    g_dev.phyGainTx[5] = 23.5f;
    EXPECT_EQ(cmd("33305"), "33305"); // echoed unchanged
    EXPECT_FLOAT_EQ(g_dev.phyGainTx[5], 24.0f);
    EXPECT_EQ(cmd("33305"), "33305");
    EXPECT_FLOAT_EQ(g_dev.phyGainTx[5], 24.0f);
    EXPECT_EQ(cmd("44405"), "44405");
    EXPECT_FLOAT_EQ(g_dev.phyGainTx[5], 23.0f);
    EXPECT_EQ(cmd("11100x7"), "11100x7");
    EXPECT_EQ(g_dev.phyMuteTx[7], 1);
    EXPECT_EQ(cmd("22207"), "22207");
    EXPECT_EQ(g_dev.phyMuteTx[7], 0);
    EXPECT_EQ(cmd("55503"), "55503");
    EXPECT_EQ(g_dev.phyMuteRx[3], 1);
    g_dev.phyGainRx[0] = -59.5f;
    EXPECT_EQ(cmd("88800"), "88800");
    EXPECT_FLOAT_EQ(g_dev.phyGainRx[0], -60.0f);
    EXPECT_EQ(g_dev.dirty, 0); // codes do not mark the file

    // Not taken, so nothing is echoed: receive side out of range, negative, junk, short.
    EXPECT_EQ(cmd("55504", 100), "");
    EXPECT_EQ(g_dev.phyMuteRx[4], 0);
    EXPECT_EQ(cmd("3330-1", 100), "");
    EXPECT_EQ(cmd("33305x", 100), "");
    EXPECT_EQ(cmd("3330", 100), "");
    EXPECT_EQ(cmd("9990 1", 100), "");
}

TEST(RouteCmd, HostileRequestsGetNoReplyOrTheirReason) {
    resetDev();
    g_msgLastError[0] = '\0';
    EXPECT_EQ(cmd("{\"x\":{\"ops\":\"getCustomStr\"}}", 100), "");
    EXPECT_STREQ(g_msgLastError, "error key: ops");
    EXPECT_EQ(cmd("{\"ops\":\"noSuchCommand\"}", 100), "");
    EXPECT_EQ(cmd("{\"ops\":\"clrRxCh\"}", 100), "");
    EXPECT_STREQ(g_msgLastError, "error key: dstChId");
    // Wrong types count as missing: an object, an array, a word, a bad escape.
    EXPECT_EQ(cmd("{\"ops\":\"clrRxCh\",\"dstChId\":{\"a\":\"1\"}}", 100), "");
    EXPECT_EQ(cmd("{\"ops\":\"clrRxCh\",\"dstChId\":[\"1\"]}", 100), "");
    EXPECT_EQ(cmd("{\"ops\":\"clrRxCh\",\"dstChId\":\"one\"}", 100), "");
    EXPECT_EQ(cmd("{\"ops\":\"setDevName\",\"name\":\"a\\u0041\"}", 100), "");
    EXPECT_EQ(cmd("{\"ops\":\"clrRxCh\",\"dstChId\":\"09\"}", 100), ""); // not octal
    // Numbers beyond 64 bits are out of range, not malformed: they get their reason.
    EXPECT_EQ(reason(cmd("{\"ops\":\"setUcastRx\",\"srcDevId\":\"devA\",\"srcChId\":\"99999999999999999999\","
                         "\"dstChId\":\"0\"}")),
              "invalid srcChId");
    EXPECT_EQ(reason(cmd("{\"ops\":\"clrRxCh\",\"dstChId\":\"-0x99999999999999999999\"}")),
              "invalid dstChId");
    EXPECT_EQ(g_dev.rtpChId[0], -1);
    EXPECT_EQ(cmd("not json at all", 100), "");
    EXPECT_EQ(cmd("{\"ops\":\"setMcastTx\",\"sdp\":\"flat\",\"srcChIdArr\":[],\"name\":\"a\"}", 100), "");

    // A request as long as a datagram may be: the reply still fits the buffer and is sent.
    std::string pad(1499 - 60, 'p');
    std::string big = "{\"ops\":\"clrRxCh\",\"dstChId\":\"999\",\"pad\":\"" + pad + "\"}";
    std::string r = cmd(big);
    EXPECT_EQ(reason(r), "invalid dstChId");
    EXPECT_GT(r.size(), big.size());
}
