// The device record: start-up against a stand-in engine, the route file on disk (a
// private VELUNOR_ROOT per test), the channel-clearing rules, and the atomic save.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <net/if.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/Msg.h"
#include "platform/net.h"
#include "route/routeApi.h"
#include "route/routeImpl_c.h"

namespace {

constexpr uint32_t LO = 0x7F000001u;

// A private network namespace with only lo keeps this test's datagrams (the "save"
// notice to 9994, peer requests to 9995) off the machine; without the privilege those
// checks are skipped.
bool isolated() {
    static int done = -1;
    if (done >= 0) return done == 1;
    done = 0;
    if (unshare(CLONE_NEWNET) != 0) return false;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    if (s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
        ifr.ifr_flags |= IFF_UP;
        if (ioctl(s, SIOCSIFFLAGS, &ifr) == 0) done = 1;
    }
    if (s >= 0) close(s);
    return done == 1;
}

// ---- the stand-in engine behind the driver control path ----
struct Ko {
    std::map<std::string, std::string> replies; // ops -> members after "result":"succ"
    std::map<std::string, std::string> last;    // ops -> last request
    std::map<std::string, int> calls;
    std::string order; // ops in call order, space separated
};
Ko g_ko;

std::string opsOf(const char* req) {
    const char* p = std::strstr(req, "\"ops\":\"");
    if (!p) return "";
    p += 7;
    const char* q = std::strchr(p, '"');
    return q ? std::string(p, size_t(q - p)) : "";
}

bool fakeKo(char* buf, size_t cap) {
    std::string ops = opsOf(buf);
    g_ko.last[ops] = buf;
    g_ko.calls[ops]++;
    g_ko.order += ops + " ";
    auto it = g_ko.replies.find(ops);
    std::string r = it == g_ko.replies.end() ? "{\"result\":\"fail\",\"reason\":\"none\"}"
                                             : "{\"result\":\"succ\"" + it->second + "}";
    if (r.size() + 1 > cap) return false;
    std::memcpy(buf, r.c_str(), r.size() + 1);
    return true;
}

void engine48k(int phyRx = 64, int phyTx = 64) {
    g_ko = Ko{};
    g_ko.replies["getChNum"] = ",\"phyRx\":\"" + std::to_string(phyRx) + "\",\"phyTx\":\"" + std::to_string(phyTx) +
                               "\",\"dspFromNet\":\"0\",\"dspToNet\":\"0\",\"isDspEnabled\":\"0\"";
    g_ko.replies["getSampleRate"] = ",\"sampleRate\":\"48000\"";
    g_ko.replies["getUcastNumRx"] = ",\"num\":\"128\"";
    g_ko.replies["getUcastNumTx"] = ",\"num\":\"128\"";
    g_ko.replies["getMcastNumRx"] = ",\"num\":\"16\"";
    g_ko.replies["getMcastNumTx"] = ",\"num\":\"16\"";
    g_ko.replies["getPacketSize"] = ",\"frameNum\":\"48\"";
    g_ko.replies["setPayloadType"] = "";
    g_ko.replies["setLinkOffset"] = "";
    g_ko.replies["setDscp"] = "";
    Msg_setKoInProcess(false);
    Msg_setDriverRequest(fakeKo);
}

std::string g_root;

void freshRoot() {
    char tmpl[] = "/tmp/velunor-devtest-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    g_root = tmpl;
    setenv("VELUNOR_ROOT", tmpl, 1);
}

std::string routePath() { return g_root + "/C/ProgramData/VelunorNetSndCard/_route"; }

void writeRoute(const std::string& text) {
    std::string dir = g_root + "/C/ProgramData/VelunorNetSndCard";
    std::string cmd = "mkdir -p '" + dir + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ofstream(routePath(), std::ios::binary) << text;
}

std::string readRoute() {
    std::ifstream f(routePath(), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Start-up as route_main does it, against the stand-in engine; returns stdout.
std::string startDev(int cmdSock = -1, const char* lockPath = nullptr, uint32_t bindAddr = LO) {
    g_routeArgs = RouteArgs{};
    g_routeArgs.model = "rEduVuzi";
    g_routeArgs.devId = "devA";
    g_routeArgs.filePath = DEV_DEFAULT_FILE_PATH;
    g_routeArgs.lockPath = lockPath;
    testing::internal::CaptureStdout();
    Dev_init(-1, cmdSock, bindAddr, 0xEF0000BCu, 0, 9996, 97);
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(DevInit, EngineQueriesLimitsAndDefaults) {
    freshRoot();
    engine48k();
    int notice = -1, cmd = -1;
    if (isolated()) {
        notice = Net_udpSocketTry(LO, 9994);
        cmd = Net_udpSocketTry(LO, 0);
    }
    std::string out = startDev(cmd);
    EXPECT_EQ(g_ko.order.rfind("getChNum getSampleRate getUcastNumRx getUcastNumTx getMcastNumRx "
                               "getMcastNumTx getPacketSize ",
                               0),
              0u)
        << g_ko.order;
    EXPECT_NE(out.find("self: sampleRate=48000 chNumRx=64 chNumTx=64 pFrameNum=48\n"
                       "self: ucastNumRx=128 ucastNumTx=128 mcastNumRx=16 mcastNumTx=16\n"),
              std::string::npos)
        << out;
    EXPECT_STREQ(g_dev.devId, "devA");
    EXPECT_STREQ(g_dev.model, "rEduVuzi");
    EXPECT_EQ(g_dev.ownIp, LO);
    EXPECT_EQ(g_dev.ctrlPort, 9995u);
    EXPECT_STREQ(g_dev.myClkId, "00-00-00-00-00-00-00-00");
    EXPECT_EQ(g_dev.ctrlGroup, 0xEF0000BCu);
    EXPECT_EQ(g_dev.payloadType, 97);
    EXPECT_NE(g_ko.last["setPayloadType"].find("\"val\":\"97\""), std::string::npos);

    // No route file: defaults, written at once.
    EXPECT_STREQ(g_dev.name, "devA");
    EXPECT_EQ(g_dev.delayUs, 5000);
    EXPECT_EQ(g_dev.sampleByteNum, 3);
    EXPECT_EQ(g_dev.dscp, 34);
    EXPECT_NE(g_ko.last["setLinkOffset"].find("\"frameNum\":\"240\""), std::string::npos);
    EXPECT_NE(g_ko.last["setDscp"].find("\"dscp\":\"34\""), std::string::npos);
    std::string file = readRoute();
    EXPECT_EQ(file.rfind("{\"name\":\"devA\",\"sampleByteNum\":\"3\",\"delayUs\":\"5000\",\"dscp\":\"34\","
                         "\"rxChArr\":[],\"rtpChArr\":[],\"mcastArrRx\":[],\"mcastArrTx\":[],",
                         0),
              0u)
        << file;
    EXPECT_EQ(g_dev.dirty, 0);
    if (notice >= 0) {
        int w[1] = {notice};
        ASSERT_GT(Net_waitReadable(w, 1, 1000), 0);
        char buf[16];
        uint32_t a;
        uint16_t p;
        EXPECT_EQ(Net_recvFrom(notice, buf, sizeof buf, &a, &p), 4);
        EXPECT_EQ(std::string(buf, 4), "save");
        Net_close(notice);
        Net_close(cmd);
    }

    // Counts the record cannot hold: zeroed with the message; unicast counts above 128 are
    // reported and limited.
    freshRoot();
    engine48k(200, 2);
    g_ko.replies["getUcastNumRx"] = ",\"num\":\"300\"";
    out = startDev();
    EXPECT_NE(out.find("error chNum, set to 0, avoid system crash \n"), std::string::npos);
    EXPECT_NE(out.find("error: file=routeApi func=Dev_init"), std::string::npos);
    EXPECT_EQ(g_dev.chNumRx + g_dev.chNumTx + g_dev.phyChNumRx + g_dev.phyChNumTx, 0);
    EXPECT_EQ(g_dev.mcastNumRx + g_dev.mcastNumTx, 0);
    EXPECT_EQ(g_dev.ucastNumRx, 128);

    // A failed engine query leaves its field 0; the lock file gives the flags.
    freshRoot();
    engine48k();
    g_ko.replies.erase("getPacketSize");
    std::string lock = g_root + "/lock";
    std::ofstream(lock) << "0x3\n";
    out = startDev(-1, lock.c_str());
    EXPECT_EQ(g_dev.pFrameNum, 0);
    EXPECT_EQ(g_dev.lockFlags, 3);
    EXPECT_EQ(g_dev.sampleRate, 48000);
}

TEST(RouteFile, LoadRulesAndOrphanClearing) {
    // A file with a name only.
    freshRoot();
    engine48k();
    writeRoute("{\"name\":\"Studio\"}");
    startDev();
    EXPECT_STREQ(g_dev.name, "Studio");
    EXPECT_EQ(g_dev.sampleByteNum, 3);
    EXPECT_EQ(g_dev.delayUs, 4000); // 4 packets of 48 samples
    EXPECT_EQ(g_dev.dscp, 34);
    EXPECT_NE(g_ko.last["setLinkOffset"].find("\"frameNum\":\"192\""), std::string::npos);

    freshRoot();
    engine48k();
    writeRoute("{\"name\":\"Studio\",\"sampleByteNum\":\"5\",\"delayUs\":\"1000000\",\"dscp\":\"46\","
               "\"rxChArr\":[{\"id\":\"0\",\"rtpChId\":\"3\"},{\"id\":\"1\",\"rtpChId\":\"3\"},"
               "{\"id\":\"200\",\"rtpChId\":\"4\"},{\"id\":\"2\",\"rtpChId\":\"999\"}],"
               "\"rtpChArr\":[{\"id\":\"3\",\"srcDevId\":\"devX\",\"srcChId\":\"5\"},"
               "{\"id\":\"4\",\"srcDevId\":\"devY\",\"srcChId\":\"1\"}],"
               "\"mcastArrRx\":[{\"id\":\"2\",\"sdp\":{\"srcIp\":\"192.168.1.9\",\"dstIp\":\"239.1.1.1\","
               "\"dstPort\":\"5004\",\"chNum\":\"2\",\"sampleByteNum\":\"3\",\"rtpTsOffset\":\"4000000000\"},"
               "\"rtpChIdArr\":[\"4\",\"3\"]}],"
               "\"phyGainArrRx\":[\"-80\",\"30\",\"-6.5\",\"abc\"],\"phyMuteArrTx\":[\"1\",\"0\",\"7\"],"
               "\"chNameArrRx\":[\"in 1\",\"in 2\"],\"customStr\":\"hello\"}");
    startDev();
    EXPECT_EQ(g_dev.sampleByteNum, 3);
    EXPECT_EQ(g_dev.delayUs, 4000);
    EXPECT_NE(g_ko.last["setLinkOffset"].find("\"frameNum\":\"192\""), std::string::npos);
    EXPECT_EQ(g_dev.dscp, 46);
    EXPECT_EQ(g_dev.rtpChId[0], 3);
    EXPECT_EQ(g_dev.rtpChId[1], 3);
    EXPECT_EQ(g_dev.rtpChId[2], -1); // beyond the RTP channels
    for (int i = 3; i < 64; i++) EXPECT_EQ(g_dev.rtpChId[i], -1) << i;
    EXPECT_STREQ(g_dev.srcDevId[3], "devX");
    EXPECT_EQ(g_dev.srcChId[3], 5);
    // RTP channel 4 is used by no receive channel (id 200 was skipped): cleared, and gone
    // from the multicast entry, which keeps channel 3.
    EXPECT_STREQ(g_dev.srcDevId[4], "");
    EXPECT_EQ(g_dev.srcChId[4], -1);
    const SdpRx& m = g_dev.mcastArrRx[2];
    EXPECT_EQ(m.sdp.rtpTsOffset, 4000000000u);
    EXPECT_EQ(m.rtpChId[0], -1);
    EXPECT_EQ(m.rtpChId[1], 3);
    EXPECT_FLOAT_EQ(g_dev.phyGainRx[0], -60.0f);
    EXPECT_FLOAT_EQ(g_dev.phyGainRx[1], 24.0f);
    EXPECT_FLOAT_EQ(g_dev.phyGainRx[2], -6.5f);
    EXPECT_FLOAT_EQ(g_dev.phyGainRx[3], 0.0f);
    EXPECT_EQ(g_dev.phyMuteTx[0], 1);
    EXPECT_EQ(g_dev.phyMuteTx[1], 0);
    EXPECT_EQ(g_dev.phyMuteTx[2], 1);
    EXPECT_STREQ(g_dev.chNameRx[1], "in 2");
    EXPECT_STREQ(g_dev.customStr, "hello");

    // When the last user of that RTP channel goes, the multicast entry goes with it.
    const char* reason = nullptr;
    EXPECT_FALSE(Dev_clearRxCh(64, &reason));
    EXPECT_STREQ(reason, "invalid dstChId");
    EXPECT_TRUE(Dev_clearRxCh(0, &reason));
    EXPECT_EQ(g_dev.srcChId[3], 5); // channel 1 still uses it
    EXPECT_TRUE(Dev_clearRxCh(1, &reason));
    EXPECT_EQ(g_dev.srcChId[3], -1);
    EXPECT_EQ(m.sdp.chNum, 0);
    EXPECT_EQ(m.rtpChId[1], -1);
    EXPECT_TRUE(Dev_clearRxCh(1, &reason)); // already free
}

TEST(RouteFile, DamagedStreamEntryIsSkippedAlone) {
    freshRoot();
    engine48k();
    writeRoute("{\"name\":\"Studio\",\"rxChArr\":[{\"id\":\"0\",\"rtpChId\":\"0\"},{\"id\":\"1\",\"rtpChId\":\"1\"}],"
               "\"rtpChArr\":[{\"id\":\"0\",\"srcChId\":\"0\",\"srcDevId\":\"\"},{\"id\":\"1\",\"srcChId\":\"1\",\"srcDevId\":\"\"}],"
               "\"mcastArrRx\":[{\"id\":\"0\",\"sdp\":{\"srcIp\":\"10.0.0.2\",\"dstIp\":\"239.1.1.1\","
               "\"chNum\":\"2\",\"sampleByteNum\":\"3\",\"rtpTsOffset\":\"0\"},\"rtpChIdArr\":[\"0\",\"-1\"]},"
               "{\"id\":\"1\",\"sdp\":{\"srcIp\":\"10.0.0.3\",\"dstIp\":\"239.1.1.2\",\"dstPort\":\"5004\","
               "\"chNum\":\"2\",\"sampleByteNum\":\"3\",\"rtpTsOffset\":\"9\"},\"rtpChIdArr\":[\"-1\",\"1\"]}],"
               "\"mcastArrTx\":[{\"id\":\"0\",\"sdp\":{\"srcIp\":\"1.2.3.4\",\"dstIp\":\"239.9.9.9\","
               "\"dstPort\":\"5004\",\"chNum\":\"2\",\"sampleByteNum\":\"3\",\"rtpTsOffset\":\"1\"},"
               "\"srcChIdArr\":[\"0\",\"1\",\"2\"],\"name\":\"Out 1\"}],"
               "\"phyChNameArrTx\":[\"L\",\"R\"],\"phyGainArrTx\":[\"-12\"],\"phyMuteArrRx\":[\"1\"],"
               "\"customStr\":\"kept\"}");
    std::string out = startDev();
    EXPECT_NE(out.find("error key: dstPort"), std::string::npos) << out;
    EXPECT_NE(out.find("error: file=routeApi func=Dev_init"), std::string::npos);
    // The damaged entry is not loaded; everything after it is.
    EXPECT_EQ(g_dev.mcastArrRx[0].sdp.chNum, 0);
    EXPECT_EQ(g_dev.mcastArrRx[1].sdp.rtpTsOffset, 9u);
    EXPECT_EQ(g_dev.mcastArrRx[1].rtpChId[1], 1);
    const SdpTx& tx = g_dev.mcastArrTx[0];
    EXPECT_STREQ(tx.name, "Out 1");
    EXPECT_EQ(tx.sdp.srcIp, LO); // the device's own address
    EXPECT_EQ(tx.srcChId[2], -1); // only chNum slots
    const uint8_t mac[6] = {0x01, 0x00, 0x5E, 0x09, 0x09, 0x09};
    EXPECT_EQ(std::memcmp(tx.dstMac, mac, 6), 0);
    EXPECT_STREQ(g_dev.phyChNameTx[1], "R");
    EXPECT_FLOAT_EQ(g_dev.phyGainTx[0], -12.0f);
    EXPECT_EQ(g_dev.phyMuteRx[0], 1);
    EXPECT_STREQ(g_dev.customStr, "kept");
    // RTP channel 0 lost its stream with the damaged entry but keeps its route.
    EXPECT_EQ(g_dev.rtpChId[0], 0);

    // The next save keeps the user's names, gains and mutes.
    g_dev.dirty = 1;
    ASSERT_TRUE(Dev_saveToFile());
    std::string file = readRoute();
    EXPECT_NE(file.find("\"phyChNameArrTx\":[\"L\",\"R\""), std::string::npos) << file;
    EXPECT_NE(file.find("\"phyGainArrTx\":[\"-12\""), std::string::npos);
    EXPECT_NE(file.find("\"customStr\":\"kept\"}"), std::string::npos);
}

TEST(RouteFile, WriterFormatAndRoundTrip) {
    freshRoot();
    engine48k(4, 2);
    startDev();
    ASSERT_EQ(g_dev.chNumRx, 2); // dsp counts 0: receive channels = phy output channels
    ASSERT_EQ(g_dev.chNumTx, 4);
    std::strcpy(g_dev.name, "My \"desk\"\t");
    g_dev.rtpChId[1] = 0;
    std::strcpy(g_dev.srcDevId[0], "devB");
    g_dev.srcChId[0] = 7;
    SdpRx& rx = g_dev.mcastArrRx[5];
    rx.sdp = {0xC0A80102u, 0xEF010203u, 5004, 2, 3, 4294967295u};
    rx.rtpChId[0] = 0;
    // Transmit entries: one with a name (saved), one without (not saved), one not in use.
    SdpTx& t1 = g_dev.mcastArrTx[1];
    t1.sdp = {LO, 0xEF000001u, 5004, 1, 2, 0};
    t1.srcChId[0] = 3;
    std::strcpy(t1.name, "Out");
    SdpTx& t2 = g_dev.mcastArrTx[2];
    t2 = t1;
    t2.name[0] = 0;
    std::strcpy(g_dev.mcastArrTx[3].name, "idle");
    std::strcpy(g_dev.chNameTx[3], "tx3");
    g_dev.phyGainRx[1] = -6.5f;
    g_dev.phyGainTx[0] = 24.0f;
    g_dev.phyMuteTx[1] = 1;
    std::strcpy(g_dev.customStr, "a\\b");

    static char text[DEV_FILE_SIZE];
    int n = Dev_buildFileText(text, sizeof text);
    const std::string want =
        "{\"name\":\"My \\\"desk\\\"\\t\",\"sampleByteNum\":\"3\",\"delayUs\":\"5000\",\"dscp\":\"34\","
        "\"rxChArr\":[{\"id\":\"1\",\"rtpChId\":\"0\"}],"
        "\"rtpChArr\":[{\"id\":\"0\",\"srcDevId\":\"devB\",\"srcChId\":\"7\"}],"
        "\"mcastArrRx\":[{\"id\":\"5\",\"sdp\":{\"srcIp\":\"192.168.1.2\",\"dstIp\":\"239.1.2.3\",\"dstPort\":\"5004\","
        "\"chNum\":\"2\",\"sampleByteNum\":\"3\",\"rtpTsOffset\":\"4294967295\"},\"rtpChIdArr\":[\"0\",\"-1\"]}],"
        "\"mcastArrTx\":[{\"id\":\"1\",\"sdp\":{\"srcIp\":\"127.0.0.1\",\"dstIp\":\"239.0.0.1\",\"dstPort\":\"5004\","
        "\"chNum\":\"1\",\"sampleByteNum\":\"2\",\"rtpTsOffset\":\"0\"},\"srcChIdArr\":[\"3\"],\"name\":\"Out\"}],"
        "\"chNameArrRx\":[\"\",\"\"],\"chNameArrTx\":[\"\",\"\",\"\",\"tx3\"],"
        "\"phyChNameArrRx\":[\"\",\"\",\"\",\"\"],\"phyChNameArrTx\":[\"\",\"\"],"
        "\"phyGainArrRx\":[\"0\",\"-6.5\",\"0\",\"0\"],\"phyGainArrTx\":[\"24\",\"0\"],"
        "\"phyMuteArrRx\":[\"0\",\"0\",\"0\",\"0\"],\"phyMuteArrTx\":[\"0\",\"1\"],\"customStr\":\"a\\\\b\"}";
    EXPECT_EQ(std::string(text), want);
    EXPECT_EQ(n, int(want.size()));
    // A buffer too small is refused whole, never cut or overrun.
    char small[100];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(Dev_buildFileText(small, 64), -1);
    EXPECT_EQ(small[64], 'x');

    // A name with a control byte and a long UTF-8 name still load back.
    std::strcpy(g_dev.chNameRx[0], "a\x01z");
    std::string longName;
    for (int i = 0; i < 40; i++) longName += "\xC3\xA9"; // 80 bytes of é
    std::strcpy(g_dev.customStr, longName.c_str());
    g_dev.dirty = 1;
    ASSERT_TRUE(Dev_saveToFile());
    EXPECT_EQ(g_dev.dirty, 0);
    // Nothing but the route file is left in its folder.
    DIR* d = opendir((g_root + "/C/ProgramData/VelunorNetSndCard").c_str());
    ASSERT_NE(d, nullptr);
    int files = 0;
    while (dirent* de = readdir(d))
        if (de->d_name[0] != '.') files++;
    closedir(d);
    EXPECT_EQ(files, 1);

    std::string file = readRoute();
    std::ofstream(routePath() + ".orig") << file;
    engine48k(4, 2);
    startDev();
    EXPECT_STREQ(g_dev.name, "My \"desk\"\t");
    EXPECT_STREQ(g_dev.chNameRx[0], "a?z");
    EXPECT_STREQ(g_dev.customStr, longName.c_str());
    EXPECT_EQ(g_dev.rtpChId[1], 0);
    EXPECT_STREQ(g_dev.srcDevId[0], "devB");
    EXPECT_EQ(g_dev.mcastArrRx[5].sdp.rtpTsOffset, 4294967295u);
    EXPECT_STREQ(g_dev.mcastArrTx[1].name, "Out");
    EXPECT_EQ(g_dev.mcastArrTx[2].sdp.chNum, 0);
    EXPECT_FLOAT_EQ(g_dev.phyGainRx[1], -6.5f);
    EXPECT_EQ(g_dev.phyMuteTx[1], 1);

    // An unwritable place: the save fails and stays due.
    g_dev.dirty = 1;
    std::strcpy(g_dev.filePath, "/proc/velunor-no/_route");
    EXPECT_FALSE(Dev_saveToFile());
    EXPECT_EQ(g_dev.dirty, 1);
}

TEST(RouteFile, TextFieldsAreCutNeverOverrun) {
    freshRoot();
    engine48k();
    std::string big(5000, 'n');
    std::string utf;
    for (int i = 0; i < 40; i++) utf += "\xE2\x82\xAC"; // 120 bytes of €
    writeRoute("{\"name\":\"" + big + "\",\"chNameArrRx\":[\"" + utf + "\"],\"customStr\":\"" + big +
               "\",\"rtpChArr\":[{\"id\":\"0\",\"srcDevId\":\"" + big + "\",\"srcChId\":\"1\"}],"
               "\"rxChArr\":[{\"id\":\"0\",\"rtpChId\":\"0\"}]}");
    startDev();
    EXPECT_EQ(std::strlen(g_dev.name), 63u);
    EXPECT_EQ(std::strlen(g_dev.chNameRx[0]), 63u); // 21 whole characters
    EXPECT_EQ(std::string(g_dev.chNameRx[0]), utf.substr(0, 63));
    EXPECT_EQ(std::strlen(g_dev.customStr), size_t(DEV_CUSTOM_STR_SIZE - 1));
    EXPECT_EQ(std::strlen(g_dev.srcDevId[0]), 63u);
}

// A kill at any moment of a save leaves a whole route file: either the old or the new.
TEST(RouteFile, SaveSurvivesKill) {
    freshRoot();
    engine48k();
    startDev();
    for (int i = 0; i < 64; i++) std::snprintf(g_dev.chNameRx[i], DEV_TEXT_SIZE, "channel name number %d", i);
    ASSERT_TRUE(Dev_saveToFile());
    for (int round = 0; round < 40; round++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int k = 0;; k++) {
                std::snprintf(g_dev.customStr, sizeof g_dev.customStr, "save %d", k);
                Dev_saveToFile();
            }
        }
        usleep(useconds_t(1000 + (round * 773) % 9000));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        std::string file = readRoute();
        ASSERT_GT(file.size(), 100u) << "round " << round;
        EXPECT_EQ(file.front(), '{');
        EXPECT_EQ(file.back(), '}') << "round " << round;
        char name[64];
        EXPECT_EQ(Msg_getStr(file.c_str(), "customStr", name, sizeof name), MSG_OK);
    }

    // What the kills left: temporary files of dead writers. The next start removes them,
    // and only them: a living writer's file, other names and the route file stay.
    const std::string dir = g_root + "/C/ProgramData/VelunorNetSndCard/";
    pid_t living = fork();
    ASSERT_GE(living, 0);
    if (living == 0) {
        pause();
        _exit(0);
    }
    pid_t dead = fork();
    ASSERT_GE(dead, 0);
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string stale = dir + "_route." + std::to_string(dead) + ".tmp";
    const std::string held = dir + "_route." + std::to_string(living) + ".tmp";
    for (const std::string& f : {stale, held, dir + "_route.x1.tmp", dir + "_routeB.1.tmp", dir + "_route." +
                                 std::to_string(dead) + ".tmp.keep"})
        std::ofstream(f) << "{";
    auto count = [&] {
        int n = 0;
        if (DIR* d = opendir(dir.c_str())) {
            while (const dirent* e = readdir(d)) n += std::strncmp(e->d_name, "_route.", 7) == 0 &&
                                                    std::strstr(e->d_name, ".tmp") != nullptr;
            closedir(d);
        }
        return n;
    };
    ASSERT_GE(count(), 4);
    startDev();
    EXPECT_EQ(access(stale.c_str(), F_OK), -1);
    EXPECT_EQ(access(held.c_str(), F_OK), 0) << "a living process's file stays";
    EXPECT_EQ(count(), 3) << "the living one's, x1 and .tmp.keep";
    EXPECT_EQ(access((dir + "_routeB.1.tmp").c_str(), F_OK), 0);
    EXPECT_EQ(readRoute().front(), '{');
    kill(living, SIGKILL);
    waitpid(living, nullptr, 0);
}

// Started before the network address exists: the loaded transmit streams get it later
// and are neither lost from the file nor left unannounced.
TEST(RouteFile, TransmitStreamsWaitForTheAddress) {
    freshRoot();
    engine48k();
    writeRoute("{\"name\":\"Studio\",\"mcastArrTx\":[{\"id\":\"4\",\"sdp\":{\"srcIp\":\"1.2.3.4\","
               "\"dstIp\":\"239.9.9.9\",\"dstPort\":\"5004\",\"chNum\":\"1\",\"sampleByteNum\":\"3\","
               "\"rtpTsOffset\":\"1\"},\"srcChIdArr\":[\"0\"],\"name\":\"Out 1\"}]}");
    startDev(-1, nullptr, 0);
    const SdpTx& tx = g_dev.mcastArrTx[4];
    EXPECT_FALSE(Dev_txInUse(&tx));
    Dev_setOwnIp(0x0A000005u);
    EXPECT_TRUE(Dev_txInUse(&tx));
    EXPECT_EQ(tx.sdp.srcIp, 0x0A000005u);
    g_dev.dirty = 1;
    ASSERT_TRUE(Dev_saveToFile());
    EXPECT_NE(readRoute().find("\"name\":\"Out 1\""), std::string::npos);
    // A later change of address moves the source and forgets the unicast receive streams.
    g_dev.ucastArrRx[3].sdp = {0x0A000009u, 0x0A000005u, 5004, 1, 3, 0};
    g_dev.ucastArrRx[3].rtpChId[0] = 2;
    Dev_onOwnIpChanged(0x0A000006u);
    EXPECT_EQ(tx.sdp.srcIp, 0x0A000006u);
    EXPECT_EQ(g_dev.ucastArrRx[3].sdp.chNum, 0);
    EXPECT_EQ(g_dev.ucastArrRx[3].rtpChId[0], -1);
}
