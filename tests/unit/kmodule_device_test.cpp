// The engine command handler: keys, checks in order, reasons, reply formats, bounds,
// and the request path through reqKo from several threads while periods run.
#include "engine/AudioPhy.h"
#include "engine/Msg.h"
#include "engine/TimerManager_c.h"
#include "engine/kmodule_device.h"
#include "engine/rtp/RtpAudio.h"
#include "engine/testKo_ko.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

struct Reply {
    int rc;
    std::string data;
    std::string reason;
};

class Ko : public testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/velunor-e2-kmod-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("VELUNOR_RUNDIR", dir.c_str(), 1);
        char p0[] = "VelunorRoute", ip[] = "bindIp=127.0.0.1";
        char* argv[] = {p0, ip};
        ASSERT_EQ(init_ko(2, argv), 0);
        ASSERT_TRUE(Msg_koInProcess());
    }
    void TearDown() override {
        AudioPhy_destroy();
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    static Reply call(const std::string& req) {
        char data[MSG_KO_REQ_SIZE];
        char reason[MSG_KO_REASON_SIZE];
        std::memset(data, 'x', sizeof data);
        std::strcpy(reason, "stale text of an earlier request");
        int rc = Msg_device_handleJson(req.c_str(), data, sizeof data, reason, sizeof reason);
        return {rc, data, reason};
    }
    static std::string viaReqKo(const std::string& req) {
        char buf[MSG_KO_REQ_SIZE];
        std::snprintf(buf, sizeof buf, "%s", req.c_str());
        EXPECT_TRUE(reqKo(buf, sizeof buf));
        return buf;
    }
    // Checks that the reason names file and func and ends with msg.
    static void expectAt(const Reply& r, const char* file, const char* func, const std::string& msg) {
        EXPECT_NE(r.rc, 0);
        std::string head = std::string("error at: file=") + file + " func=" + func + " line=";
        EXPECT_EQ(r.reason.rfind(head, 0), 0u) << r.reason;
        const std::string tail = " msg=" + msg;
        ASSERT_GE(r.reason.size(), tail.size()) << r.reason;
        EXPECT_EQ(r.reason.substr(r.reason.size() - tail.size()), tail) << r.reason;
        EXPECT_EQ(r.data, "");
    }
    static std::string sdp(const char* src, const char* dst, int port, int ch, int sbn, int off = 0) {
        char b[256];
        std::snprintf(b, sizeof b,
                      "\"sdp\":{\"srcIp\":\"%s\",\"dstIp\":\"%s\",\"dstPort\":\"%d\",\"chNum\":\"%d\","
                      "\"sampleByteNum\":\"%d\",\"rtpTsOffset\":\"%d\"}",
                      src, dst, port, ch, sbn, off);
        return b;
    }
};

const char* const KD = "kmodule_device";
const char* const HJ = "Msg_device_handleJson";
const char* const RA = "rtp/RtpAudio";

} // namespace

TEST_F(Ko, EnvelopeMissingOpsAndUnknownOps) {
    EXPECT_EQ(viaReqKo("{\"ops\":\"getSampleRate\"}"), "{\"result\":\"succ\",\"sampleRate\":\"48000\"}");
    Reply r = call("{\"ops\":\"getSampleRate\"}");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.data, "{\"sampleRate\":\"48000\"}");
    EXPECT_EQ(r.reason, "");

    r = call("{\"sampleRate\":\"48000\"}");
    EXPECT_NE(r.rc, 0);
    EXPECT_EQ(r.reason, "error parsing key: ops");
    char reason[MSG_KO_REASON_SIZE] = "old";
    char data[64];
    EXPECT_NE(Msg_device_handleJson(nullptr, data, sizeof data, reason, sizeof reason), 0);
    EXPECT_STREQ(reason, "error parsing key: ops");
    // "ops" only inside a nested object is no ops.
    r = call("{\"x\":{\"ops\":\"getSampleRate\"}}");
    EXPECT_EQ(r.reason, "error parsing key: ops");

    testing::internal::CaptureStdout();
    r = call("{\"ops\":\"getSampleRat\"}");
    std::string out = testing::internal::GetCapturedStdout();
    expectAt(r, KD, HJ, "getSampleRat");
    EXPECT_EQ(out.rfind("error: file=kmodule_device func=Msg_device_handleJson line=", 0), 0u) << out;
    std::string env = viaReqKo("{\"ops\":\"noSuchOp\"}");
    EXPECT_EQ(env.rfind("{\"result\":\"fail\",\"reason\":\"error at: file=kmodule_device", 0), 0u) << env;
    EXPECT_NE(env.find("msg=noSuchOp\"}"), std::string::npos) << env;
}

TEST_F(Ko, ReasonIsClearedBeforeEveryCommand) {
    // A failure without a message reports no reason at all, never an older one.
    Reply r = call("{\"ops\":\"setPhyGainRx\",\"chId\":\"2\",\"ppm\":\"1048576\"}");
    EXPECT_NE(r.rc, 0);
    EXPECT_EQ(r.reason, "");
    r = call("{\"ops\":\"setSampleRate\",\"sampleRate\":\"0\"}");
    EXPECT_NE(r.rc, 0);
    EXPECT_EQ(r.reason, "");
    viaReqKo("{\"ops\":\"unknownThing\"}");
    std::string env = viaReqKo("{\"ops\":\"getCustomEthInfo\"}");
    EXPECT_EQ(env.find("unknownThing"), std::string::npos) << env;
    EXPECT_EQ(env.rfind("{\"result\":\"fail\"", 0), 0u) << env;
    r = call("{\"ops\":\"setEthName\",\"name\":\"eth0\"}");
    EXPECT_NE(r.rc, 0);
    EXPECT_EQ(r.reason, "");
    r = call("{\"ops\":\"setEthName\"}");
    EXPECT_EQ(r.reason, "error parsing key: name");
}

TEST_F(Ko, StreamSetUpChecksInOrder) {
    // dstIp rule for multicast transmit: a group is needed unless the stream is cleared.
    std::string mac = ",\"dstMac\":[\"1\",\"0\",\"94\",\"1\",\"1\",\"1\"]";
    Reply r = call("{\"ops\":\"setMcastTx\"," + sdp("127.0.0.1", "192.168.1.5", 5004, 2, 3) +
                   ",\"srcChIdArr\":[\"0\",\"1\"]" + mac + ",\"sdpId\":\"0\"}");
    expectAt(r, RA, "RtpAudio_setMcastTx", "dstIp error");
    r = call("{\"ops\":\"setMcastTx\"," + sdp("127.0.0.1", "192.168.1.5", 5004, 0, 3) + ",\"srcChIdArr\":[]" + mac +
             ",\"sdpId\":\"0\"}");
    EXPECT_EQ(r.rc, 0) << r.reason;
    // Unicast must not go to a group.
    r = call("{\"ops\":\"setUcastTx\"," + sdp("127.0.0.1", "239.1.1.1", 5004, 1, 3) + ",\"srcChIdArr\":[\"0\"]" +
             mac + ",\"sdpId\":\"0\"}");
    expectAt(r, RA, "RtpAudio_setUcastTx", "dstIp error");

    // UDP limit at 48 frames: 1460 / (4 x 48) = 7 < 8; 1460 / (3 x 48) = 10.
    std::string eight = ",\"srcChIdArr\":[\"0\",\"1\",\"0\",\"1\",\"0\",\"1\",\"0\",\"1\"]";
    r = call("{\"ops\":\"setUcastTx\"," + sdp("127.0.0.1", "127.0.0.2", 5004, 8, 4) + eight + mac + ",\"sdpId\":\"1\"}");
    expectAt(r, RA, "RtpAudio_setUcastTx", "fail exceed-udp-limit");
    r = call("{\"ops\":\"setUcastTx\"," + sdp("127.0.0.1", "127.0.0.2", 5004, 8, 3) + eight + mac + ",\"sdpId\":\"1\"}");
    EXPECT_EQ(r.rc, 0) << r.reason;

    // Element counts come first, before any stream-layer check.
    r = call("{\"ops\":\"setUcastRx\"," + sdp("127.0.0.2", "127.0.0.1", 5004, 2, 3) +
             ",\"rtpChIdArr\":[\"0\",\"1\",\"1\"],\"sdpId\":\"999\"}");
    expectAt(r, KD, HJ, "chNum != sdpInfo.chNum");
    // Nine elements are nine, even though only eight fit the channel map.
    r = call("{\"ops\":\"setUcastRx\"," + sdp("127.0.0.2", "127.0.0.1", 5004, 8, 3) +
             ",\"rtpChIdArr\":[\"0\",\"1\",\"0\",\"1\",\"0\",\"1\",\"0\",\"1\",\"0\"],\"sdpId\":\"0\"}");
    expectAt(r, KD, HJ, "chNum != sdpInfo.chNum");
    r = call("{\"ops\":\"setUcastTx\"," + sdp("127.0.0.1", "127.0.0.2", 5004, 1, 3) +
             ",\"srcChIdArr\":[\"0\"],\"dstMac\":[\"1\",\"2\",\"3\",\"4\",\"5\"],\"sdpId\":\"0\"}");
    expectAt(r, KD, HJ, "dstMacNum == MAC_ADDR_LEN");
    r = call("{\"ops\":\"setUcastTx\"," + sdp("127.0.0.1", "127.0.0.2", 5004, 1, 3) +
             ",\"srcChIdArr\":[\"0\"],\"dstMac\":[\"1\",\"2\",\"3\",\"4\",\"5\",\"256\"],\"sdpId\":\"0\"}");
    expectAt(r, KD, HJ, "dstMac out of range");
    // Stream index and channel count bounds of the stream layer.
    r = call("{\"ops\":\"setUcastTx\"," + sdp("127.0.0.1", "127.0.0.2", 5004, 1, 3) + ",\"srcChIdArr\":[\"0\"]" + mac +
             ",\"sdpId\":\"4\"}");
    expectAt(r, RA, "RtpAudio_setUcastTx", "fail my_VALID_UCAST_ID_TX()");
    r = call("{\"ops\":\"setMcastRx\"," + sdp("127.0.0.1", "239.1.1.1", 5004, 1, 3) +
             ",\"rtpChIdArr\":[\"0\"],\"sdpId\":\"-1\"}");
    expectAt(r, RA, "RtpAudio_setMcastRx", "fail my_VALID_MCAST_ID_TX()");
    std::string nine = ",\"rtpChIdArr\":[\"0\",\"1\",\"0\",\"1\",\"0\",\"1\",\"0\",\"1\",\"0\"]";
    r = call("{\"ops\":\"setMcastRx\"," + sdp("127.0.0.1", "239.1.1.1", 5004, 9, 3) + nine + ",\"sdpId\":\"0\"}");
    expectAt(r, RA, "RtpAudio_setMcastRx", "fail my_VALID_SDP_CH_NUM()");
    // Widths of the descriptor fields are not silently cut.
    r = call("{\"ops\":\"setMcastRx\"," + sdp("127.0.0.1", "239.1.1.1", 5004, 264, 3) + nine + ",\"sdpId\":\"0\"}");
    expectAt(r, KD, HJ, "chNum out of range");
    r = call("{\"ops\":\"setMcastRx\"," + sdp("127.0.0.1", "239.1.1.1", 70000, 1, 3) +
             ",\"rtpChIdArr\":[\"0\"],\"sdpId\":\"0\"}");
    expectAt(r, KD, HJ, "dstPort out of range");
}

TEST_F(Ko, MissingKeysEndTheCommand) {
    Reply r = call("{\"ops\":\"setUcastTx\",\"srcChIdArr\":[\"0\"],\"sdpId\":\"0\"}");
    EXPECT_EQ(r.reason, "error parsing key: sdp");
    r = call("{\"ops\":\"setUcastTx\",\"sdp\":{\"srcIp\":\"1.2.3.4\",\"dstPort\":\"5004\"}}");
    EXPECT_EQ(r.reason, "error parsing key: dstIp");
    r = call("{\"ops\":\"setUcastRx\"," + sdp("1.1.1.1", "2.2.2.2", 1, 1, 3) + ",\"sdpId\":\"0\"}");
    EXPECT_EQ(r.reason, "error parsing key: rtpChIdArr");
    r = call("{\"ops\":\"setUcastRx\"," + sdp("1.1.1.1", "2.2.2.2", 1, 1, 3) + ",\"rtpChIdArr\":[\"0\"]}");
    EXPECT_EQ(r.reason, "error parsing key: sdpId");
    r = call("{\"ops\":\"getMcastStats\"}");
    EXPECT_EQ(r.reason, "error parsing key: sdpId");
    r = call("{\"ops\":\"setPhyGainTx\",\"chId\":\"0\"}");
    EXPECT_EQ(r.reason, "error parsing key: ppm");
    r = call("{\"ops\":\"setPtpOffset\"}");
    EXPECT_EQ(r.reason, "error parsing key: us");
    r = call("{\"ops\":\"setAllChRx\"}");
    EXPECT_EQ(r.reason, "error parsing key: rtpChIdArr");
    r = call("{\"ops\":\"getUcastTx\",\"sdpId\":\"zz\"}");
    EXPECT_EQ(r.reason, "error parsing key: sdpId");
    // setChNum alone keeps what it read before the missing key.
    r = call("{\"ops\":\"setChNum\",\"phyRx\":\"1\",\"phyTx\":\"2\"}");
    EXPECT_EQ(r.reason, "error parsing key: dspFromNet");
    EXPECT_EQ(call("{\"ops\":\"getChNum\"}").data,
              "{\"phyRx\":\"1\",\"phyTx\":\"2\",\"dspFromNet\":\"0\",\"dspToNet\":\"0\",\"isDspEnabled\":\"0\"}");
    // Others store nothing when a later key is missing.
    r = call("{\"ops\":\"debug_setPhyGenSin\",\"isTx\":\"1\"}");
    EXPECT_EQ(r.reason, "error parsing key: phyChId");
    EXPECT_EQ(call("{\"ops\":\"debug_getPhyGenSin\"}").data, "{\"isTx\":\"0\",\"phyChId\":\"-1\"}");
}

TEST_F(Ko, StreamRepliesAndRouting) {
    std::string req = "{\"ops\":\"setUcastTx\"," + sdp("127.0.0.1", "10.0.0.200", 0x1389, 2, 3, 7) +
                      ",\"srcChIdArr\":[\"1\",\"0\"],\"dstMac\":[\"0x0a\",\"0\",\"17\",\"255\",\"1\",\"2\"],\"sdpId\":\"3\"}";
    ASSERT_EQ(call(req).rc, 0);
    Reply r = call("{\"ops\":\"getUcastTx\",\"sdpId\":\"3\"}");
    EXPECT_EQ(r.data, "{\"sdp\":{\"srcIp\":\"127.0.0.1\",\"dstIp\":\"10.0.0.200\",\"dstPort\":\"5001\",\"chNum\":\"2\","
                      "\"sampleByteNum\":\"3\",\"rtpTsOffset\":\"7\"},\"srcChIdArr\":[\"1\",\"0\"],"
                      "\"dstMac\":[\"10\",\"0\",\"17\",\"255\",\"1\",\"2\"]}");
    expectAt(call("{\"ops\":\"getUcastTx\",\"sdpId\":\"-1\"}"), KD, HJ, "sdpId < 0");
    expectAt(call("{\"ops\":\"getUcastTx\",\"sdpId\":\"4\"}"), KD, HJ, "sdpId error");
    expectAt(call("{\"ops\":\"getMcastRx\",\"sdpId\":\"2\"}"), KD, HJ, "sdpId error");

    ASSERT_EQ(call("{\"ops\":\"setMcastRx\"," + sdp("10.0.0.9", "239.69.1.2", 5004, 1, 3, -5) +
                   ",\"rtpChIdArr\":[\"1\"],\"sdpId\":\"1\"}")
                  .rc,
              0);
    r = call("{\"ops\":\"getMcastRx\",\"sdpId\":\"1\"}");
    EXPECT_EQ(r.data, "{\"sdp\":{\"srcIp\":\"10.0.0.9\",\"dstIp\":\"239.69.1.2\",\"dstPort\":\"5004\",\"chNum\":\"1\","
                      "\"sampleByteNum\":\"3\",\"rtpTsOffset\":\"-5\"},\"rtpChIdArr\":[\"1\"]}");

    // Routing tables: the element count must equal the channel count (2 here).
    expectAt(call("{\"ops\":\"setAllChRx\",\"rtpChIdArr\":[\"1\"]}"), KD, HJ, "chNum error");
    EXPECT_EQ(call("{\"ops\":\"setAllChRx\",\"rtpChIdArr\":[\"1\",\"0\"]}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"getAllChRx\"}").data, "{\"rtpChIdArr\":[\"1\",\"0\"]}");
    EXPECT_EQ(call("{\"ops\":\"getAllChTx\"}").data, "{\"rtpChIdArr\":[\"-1\",\"-1\"]}");
}

TEST_F(Ko, CountsRefuseNegativeAndBeyondTheTables) {
    const char* kinds[] = {"UcastNumTx", "UcastNumRx", "McastNumTx", "McastNumRx"};
    const int max[] = {128, 128, 16, 16};
    for (int k = 0; k < 4; ++k) {
        std::string set = std::string("{\"ops\":\"set") + kinds[k] + "\",\"num\":\"";
        std::string get = std::string("{\"ops\":\"get") + kinds[k] + "\"}";
        std::string before = call(get).data;
        expectAt(call(set + "-1\"}"), KD, HJ, "num out of range");
        expectAt(call(set + std::to_string(max[k] + 1) + "\"}"), KD, HJ, "num out of range");
        expectAt(call(set + "99999999999\"}"), KD, HJ, "num out of range");
        EXPECT_EQ(call(get).data, before);
        EXPECT_EQ(call(set + std::to_string(max[k]) + "\"}").rc, 0);
        EXPECT_EQ(call(get).data, "{\"num\":\"" + std::to_string(max[k]) + "\"}");
        EXPECT_EQ(call(set + "0x3\"}").rc, 0);
        EXPECT_EQ(call(get).data, "{\"num\":\"3\"}");
    }
    // With 128 unicast receive streams every index is inside the tables.
    ASSERT_EQ(call("{\"ops\":\"setUcastNumRx\",\"num\":\"128\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"getUcastStats\",\"sdpId\":\"127\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"clrUcastStats\",\"sdpId\":\"127\"}").rc, 0);
    expectAt(call("{\"ops\":\"clrUcastStats\",\"sdpId\":\"128\"}"), KD, HJ, "sdpId error");
}

TEST_F(Ko, TimingValuesAndTheirBounds) {
    // Link offset at 48 kHz, P = 48: 192..335 frames.
    expectAt(call("{\"ops\":\"setLinkOffset\",\"frameNum\":\"191\"}"), RA, "RtpAudio_setLinkOffset",
             "fail (linkOffsetFrameNum < LINK_OFFSET_MIN_MULTIPLE_BY_PERIOD * frameNumPerPeriod)");
    expectAt(call("{\"ops\":\"setLinkOffset\",\"frameNum\":\"336\"}"), RA, "RtpAudio_setLinkOffset",
             "fail (linkOffsetFrameNum + frameNumPerPeriod >= RTP_CH_BUF_IN_FRAME(sampleRate, frameNumPerPeriod))");
    expectAt(call("{\"ops\":\"setLinkOffset\",\"frameNum\":\"-2147483648\"}"), RA, "RtpAudio_setLinkOffset",
             "fail (linkOffsetFrameNum < LINK_OFFSET_MIN_MULTIPLE_BY_PERIOD * frameNumPerPeriod)");
    expectAt(call("{\"ops\":\"setLinkOffset\",\"frameNum\":\"4294967488\"}"), KD, HJ, "frameNum out of range");
    EXPECT_EQ(call("{\"ops\":\"setLinkOffset\",\"frameNum\":\"335\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"getLinkOffset\"}").data, "{\"frameNum\":\"335\"}");
    EXPECT_EQ(call("{\"ops\":\"setLinkOffset\",\"frameNum\":\"192\"}").rc, 0);

    // PTP offset: parsed by hand, no base detection; kept in ns.
    EXPECT_EQ(call("{\"ops\":\"setPtpOffset\",\"us\":\"-1500\"}").rc, 0);
    EXPECT_EQ(TimerManager_getPtpOffsetNs(), -1500000);
    EXPECT_EQ(call("{\"ops\":\"getPtpOffset\"}").data, "{\"us\":\"-1500\"}");
    EXPECT_EQ(call("{\"ops\":\"setPtpOffset\",\"us\":\"0x10\"}").rc, 0); // "0" then a non-numeral
    EXPECT_EQ(TimerManager_getPtpOffsetNs(), 0);
    EXPECT_EQ(call("{\"ops\":\"setPtpOffset\",\"us\":\"1234567890123abc\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"getPtpOffset\"}").data, "{\"us\":\"1234567890123\"}");
    expectAt(call("{\"ops\":\"setPtpOffset\",\"us\":\"99999999999999999999\"}"), KD, HJ, "us out of range");
    expectAt(call("{\"ops\":\"setPtpOffset\",\"us\":\"-\"}"), KD, HJ, "us is no number");
    EXPECT_EQ(TimerManager_getPtpOffsetNs(), 1234567890123000);

    // Geometry values: never below 1, never beyond 32 bits.
    EXPECT_EQ(call("{\"ops\":\"setSampleRate\",\"sampleRate\":\"96000\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"getSampleRate\"}").data, "{\"sampleRate\":\"96000\"}");
    expectAt(call("{\"ops\":\"setSampleRate\",\"sampleRate\":\"2147483648\"}"), KD, HJ, "sampleRate out of range");
    EXPECT_NE(call("{\"ops\":\"setPacketSize\",\"frameNum\":\"0\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"setPacketSize\",\"frameNum\":\"96\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"getPacketSize\"}").data, "{\"frameNum\":\"96\"}");
    // The device status of this engine stays 0: nothing refused as working, resetRtpTs refused.
    EXPECT_EQ(call("{\"ops\":\"getDeviceStatus\"}").data, "{\"status\":\"0\"}");
    expectAt(call("{\"ops\":\"resetRtpTs\"}"), "TimerManager_c", "TimerManager_resetRtpTs", "can not modify when working");
    EXPECT_EQ(call("{\"ops\":\"stepDeviceStatus\"}").rc, 0);

    // 8-bit values.
    EXPECT_EQ(call("{\"ops\":\"getDscp\"}").data, "{\"dscp\":\"34\"}");
    EXPECT_EQ(call("{\"ops\":\"getPayloadType\"}").data, "{\"val\":\"97\"}");
    EXPECT_EQ(call("{\"ops\":\"setDscp\",\"dscp\":\"46\"}").rc, 0);
    expectAt(call("{\"ops\":\"setDscp\",\"dscp\":\"256\"}"), KD, HJ, "dscp out of range");
    EXPECT_EQ(call("{\"ops\":\"getDscp\"}").data, "{\"dscp\":\"46\"}");
    expectAt(call("{\"ops\":\"setPayloadType\",\"val\":\"-1\"}"), KD, HJ, "val out of range");
    EXPECT_EQ(call("{\"ops\":\"setRtpMute\",\"mute\":\"5\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"getRtpMute\"}").data, "{\"mute\":\"1\"}");
    EXPECT_EQ(call("{\"ops\":\"getLog\"}").data, "{\"log\":\"rstRtp=0,rstI2s=0\"}");
    EXPECT_EQ(call("{\"ops\":\"getPerformStats\"}").data,
              "{\"nsCost_dspToRtp\":{\"cur\":\"0\",\"max\":\"0\"},\"nsCost_rtpToDsp\":{\"cur\":\"0\",\"max\":\"0\"},"
              "\"i2s_poll\":{\"cur\":\"0\",\"max\":\"0\"},\"dmaUs\":{\"cur\":\"0\",\"max\":\"0\"}}");
    Reply r = call("{\"ops\":\"getSysNs\"}");
    long long ns = std::atoll(r.data.c_str() + std::strlen("{\"ns\":\""));
    EXPECT_GT(ns, 0);
}

TEST_F(Ko, PhyCommandsStayInsideTheTables) {
    EXPECT_NE(call("{\"ops\":\"setPhyGainRx\",\"chId\":\"2\",\"ppm\":\"1\"}").rc, 0);
    EXPECT_NE(call("{\"ops\":\"setPhyGainTx\",\"chId\":\"-1\",\"ppm\":\"1\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"setPhyGainRx\",\"chId\":\"1\",\"ppm\":\"1048576\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"setPhyGainTx\",\"chId\":\"0\",\"ppm\":\"-7\"}").rc, 0);
    EXPECT_EQ(AudioPhy_get()->gain[1].load(), 1048576);
    EXPECT_EQ(AudioPhy_get()->gain[128].load(), -7);
    EXPECT_EQ(call("{\"ops\":\"getAllPhyGainRx\"}").data, "{\"arr\":[\"0\",\"1048576\"]}");
    EXPECT_EQ(call("{\"ops\":\"getAllPhyGainTx\"}").data, "{\"arr\":[\"-7\",\"0\"]}");
    EXPECT_EQ(call("{\"ops\":\"setPhyMuteTx\",\"chId\":\"1\",\"mute\":\"9\"}").rc, 0);
    EXPECT_NE(call("{\"ops\":\"setPhyMuteRx\",\"chId\":\"2\",\"mute\":\"1\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"getAllPhyMuteTx\"}").data, "{\"arr\":[\"0\",\"1\"]}");
    EXPECT_EQ(call("{\"ops\":\"getAllPhyVolumeRx\"}").data, "{\"arr\":[\"0\",\"0\"]}");

    // Channel counts bound every list and every index: 128 at most.
    expectAt(call("{\"ops\":\"setChNum\",\"phyRx\":\"129\",\"phyTx\":\"2\",\"dspFromNet\":\"0\",\"dspToNet\":\"0\"}"),
             KD, HJ, "phyRx out of range");
    ASSERT_EQ(call("{\"ops\":\"setChNum\",\"phyRx\":\"128\",\"phyTx\":\"0\",\"dspFromNet\":\"3\",\"dspToNet\":\"-4\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"setPhyGainRx\",\"chId\":\"127\",\"ppm\":\"5\"}").rc, 0);
    EXPECT_NE(call("{\"ops\":\"setPhyGainRx\",\"chId\":\"128\",\"ppm\":\"5\"}").rc, 0);
    EXPECT_EQ(AudioPhy_get()->gain[128].load(), -7); // the output side stays untouched
    EXPECT_EQ(call("{\"ops\":\"getAllPhyGainTx\"}").data, "{\"arr\":[]}");
    EXPECT_EQ(call("{\"ops\":\"getChNum\"}").data,
              "{\"phyRx\":\"128\",\"phyTx\":\"0\",\"dspFromNet\":\"3\",\"dspToNet\":\"-4\",\"isDspEnabled\":\"0\"}");

    // Remap: counts must match; stored and reported only. The largest reply is refused
    // whole rather than cut.
    ASSERT_EQ(call("{\"ops\":\"setChNum\",\"phyRx\":\"2\",\"phyTx\":\"1\",\"dspFromNet\":\"0\",\"dspToNet\":\"0\"}").rc, 0);
    EXPECT_NE(call("{\"ops\":\"setPhyChRemap\",\"hasChRemap\":\"1\",\"chRemapArrRx\":[\"1\"],\"chRemapArrTx\":[\"0\"]}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"getPhyChRemap\"}").data, "{\"hasChRemap\":\"0\"}");
    EXPECT_EQ(call("{\"ops\":\"setPhyChRemap\",\"hasChRemap\":\"1\",\"chRemapArrRx\":[\"1\",\"0\"],\"chRemapArrTx\":[\"0\"]}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"getPhyChRemap\"}").data,
              "{\"hasChRemap\":\"1\",\"chRemapArrRx\":[\"1\",\"0\"],\"chRemapArrTx\":[\"0\"]}");
    ASSERT_EQ(call("{\"ops\":\"setChNum\",\"phyRx\":\"128\",\"phyTx\":\"128\",\"dspFromNet\":\"0\",\"dspToNet\":\"0\"}").rc, 0);
    std::string arr = "[";
    for (int i = 0; i < 128; ++i) arr += std::string(i ? "," : "") + "\"-2147483648\"";
    arr += "]";
    ASSERT_EQ(call("{\"ops\":\"setPhyChRemap\",\"hasChRemap\":\"1\",\"chRemapArrRx\":" + arr + ",\"chRemapArrTx\":" + arr + "}").rc, 0);
    expectAt(call("{\"ops\":\"getPhyChRemap\"}"), KD, HJ, "reply does not fit");
    std::string env = viaReqKo("{\"ops\":\"getPhyChRemap\"}");
    EXPECT_EQ(env.rfind("{\"result\":\"fail\"", 0), 0u);
    EXPECT_EQ(env.back(), '}');

    // Test tone and the debug flag.
    EXPECT_EQ(call("{\"ops\":\"debug_setPhyGenSin\",\"isTx\":\"2\",\"phyChId\":\"1\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"debug_getPhyGenSin\"}").data, "{\"isTx\":\"1\",\"phyChId\":\"1\"}");
    EXPECT_EQ(call("{\"ops\":\"debug_setIsRxDirectTx\",\"isRxDirectTx\":\"3\"}").rc, 0);
    EXPECT_EQ(call("{\"ops\":\"debug_getIsRxDirectTx\"}").data, "{\"isRxDirectTx\":\"1\"}");
}

TEST_F(Ko, IdentityTexts) {
    Reply r = call("{\"ops\":\"getVersion\"}");
    EXPECT_EQ(r.data, std::string("{\"version\":\"2.0\",\"owner\":\"") + KO_VERSION_OWNER + "\",\"website\":\"" +
                          KO_VERSION_WEBSITE + "\",\"owner2\":\"VelunorLink\",\"website2\":\"" + KO_VERSION_WEBSITE2 +
                          "\",\"PHY_MAX_CH_NUM\":\"128\",\"RTP_MAX_CH_NUM\":\"128\",\"RTP_MAX_MCAST_NUM\":\"16\","
                          "\"RTP_CH_MAX_BUF_IN_MS\":\"8\"}");
    EXPECT_EQ(call("{\"ops\":\"getEthName\"}").data, "{\"name\":\"\"}");
    EXPECT_EQ(call("{\"ops\":\"resetKernel\"}").rc, 0);
    // A command without reply members adds nothing to the envelope.
    EXPECT_EQ(viaReqKo("{\"ops\":\"resetKernel\"}"), "{\"result\":\"succ\"}");
}

TEST_F(Ko, ReceiveStatisticsSaturateAndResetOnRead) {
    ASSERT_EQ(call("{\"ops\":\"setMcastRx\"," + sdp("10.0.0.1", "239.1.1.1", 5004, 2, 3) +
                   ",\"rtpChIdArr\":[\"0\",\"1\"],\"sdpId\":\"0\"}")
                  .rc,
              0);
    // 300 datagrams of 48 frames whose timestamps step by 96: 299 discontinuities.
    uint8_t payload[12 + 48 * 2 * 3] = {0x80, 97};
    uint8_t pkt[28 + sizeof payload];
    RtpAudio_setNow(100000);
    for (uint32_t i = 0; i < 300; ++i) {
        uint32_t ts = 1000 + i * 96;
        payload[4] = uint8_t(ts >> 24);
        payload[5] = uint8_t(ts >> 16);
        payload[6] = uint8_t(ts >> 8);
        payload[7] = uint8_t(ts);
        size_t n = RtpAudio_wrapDatagram(pkt, sizeof pkt, payload, sizeof payload, 0x0A000001u, 5004, 0xEF010101u, 5004);
        ASSERT_GT(n, 0u);
        RtpAudio_packetInput(pkt, n);
    }
    // Receive streams are listed unicast first (2 here), then multicast.
    EXPECT_EQ(call("{\"ops\":\"getAllSdpNotCont\"}").data, "{\"arr\":[\"0\",\"0\",\"ff\",\"0\"]}");
    EXPECT_EQ(call("{\"ops\":\"getAllSdpNotCont\"}").data, "{\"arr\":[\"0\",\"0\",\"0\",\"0\"]}");
    Reply d1 = call("{\"ops\":\"getAllSdpDelayMs\"}");
    EXPECT_NE(d1.data, "{\"arr\":[\"0\",\"0\",\"0\",\"0\"]}") << d1.data; // packets far behind "now"
    EXPECT_EQ(call("{\"ops\":\"getAllSdpDelayMs\"}").data, "{\"arr\":[\"0\",\"0\",\"0\",\"0\"]}");
    Reply s = call("{\"ops\":\"getMcastStats\",\"sdpId\":\"0\"}");
    EXPECT_EQ(s.data.rfind("{\"total\":\"300\",", 0), 0u) << s.data;
    EXPECT_NE(s.data.find("\"notContinue\":\"299\""), std::string::npos) << s.data;
    EXPECT_EQ(call("{\"ops\":\"getAllActiveSdpId\"}").data, "{\"ucastIdArr\":[],\"mcastIdArr\":[\"0\"]}");
    EXPECT_EQ(call("{\"ops\":\"clrMcastStats\",\"sdpId\":\"0\"}").rc, 0);
    s = call("{\"ops\":\"getMcastStats\",\"sdpId\":\"0\"}");
    EXPECT_EQ(s.data, "{\"total\":\"0\",\"in125\":\"0\",\"in250\":\"0\",\"in500\":\"0\",\"in1ms\":\"0\",\"in2ms\":\"0\","
                      "\"in4ms\":\"0\",\"out4ms\":\"0\",\"avgUs\":\"0\",\"maxUs\":\"0\",\"maxRtpTsOffset\":\"0\","
                      "\"notContinue\":\"0\",\"exceedDelay\":\"0\"}");
    EXPECT_EQ(call("{\"ops\":\"getAllVolumeRx\"}").data, "{\"arr\":[\"0\",\"0\"]}");
}

TEST_F(Ko, RequestsFromTwoThreadsWhilePeriodsRun) {
    // The route thread and the PTP thread each use their own buffer; periods run meanwhile.
    std::atomic<bool> stop{false};
    std::thread engine([&] {
        int64_t t = 1000000000;
        while (!stop.load()) {
            TimerManager_period(t);
            t += 1000000;
        }
    });
    std::thread ptp([&] {
        for (int i = 0; i < 400; ++i) {
            char buf[MSG_KO_REQ_SIZE];
            std::snprintf(buf, sizeof buf, "{\"ops\":\"setPtpOffset\",\"us\":\"%d\"}", -i);
            EXPECT_TRUE(reqKo(buf, sizeof buf));
            EXPECT_STREQ(buf, "{\"result\":\"succ\"}");
        }
    });
    for (int i = 0; i < 400; ++i) {
        char buf[MSG_KO_REQ_SIZE];
        std::snprintf(buf, sizeof buf,
                      "{\"ops\":\"setMcastTx\",\"sdp\":{\"srcIp\":\"127.0.0.1\",\"dstIp\":\"239.9.9.%d\","
                      "\"dstPort\":\"5004\",\"chNum\":\"2\",\"sampleByteNum\":\"3\",\"rtpTsOffset\":\"0\"},"
                      "\"srcChIdArr\":[\"0\",\"1\"],\"dstMac\":[\"1\",\"0\",\"94\",\"9\",\"9\",\"9\"],\"sdpId\":\"1\"}",
                      i % 200 + 1);
        EXPECT_TRUE(reqKo(buf, sizeof buf));
        EXPECT_STREQ(buf, "{\"result\":\"succ\"}");
        std::snprintf(buf, sizeof buf, "{\"ops\":\"setPhyGainRx\",\"chId\":\"%d\",\"ppm\":\"%d\"}", i % 2, i);
        EXPECT_TRUE(reqKo(buf, sizeof buf));
        std::snprintf(buf, sizeof buf, "{\"ops\":\"getAllPhyVolumeRx\"}");
        EXPECT_TRUE(reqKo(buf, sizeof buf));
        EXPECT_EQ(std::strncmp(buf, "{\"result\":\"succ\",\"arr\":[", 24), 0) << buf;
    }
    ptp.join();
    stop.store(true);
    engine.join();
    EXPECT_EQ(TimerManager_getPtpOffsetNs(), -399000);
    EXPECT_NE(call("{\"ops\":\"getMcastTx\",\"sdpId\":\"1\"}").data.find("\"dstIp\":\"239.9.9.200\""), std::string::npos);
}
