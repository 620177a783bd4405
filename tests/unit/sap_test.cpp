// SDP text and SAP packets of multicast transmit streams, and the SAP reader with the
// refresh of matching multicast receive entries, fed with real datagrams over 127.0.0.1.
#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <string>

#include "platform/net.h"
#include "route/routeApi.h"
#include "route/routeImpl_c.h"
#include "route/sap.h"

namespace {

constexpr uint32_t IP(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

SdpTx txEntry(const char* name, uint32_t src, uint32_t dst, int ch, int sbn, uint32_t ts) {
    SdpTx e;
    Dev_clearSdpTx(&e);
    e.sdp.srcIp = src;
    e.sdp.dstIp = dst;
    e.sdp.dstPort = 5004;
    e.sdp.chNum = uint8_t(ch);
    e.sdp.sampleByteNum = uint8_t(sbn);
    e.sdp.rtpTsOffset = ts;
    e.srcChId[0] = 0;
    std::strncpy(e.name, name, sizeof e.name - 1);
    Dev_mcastMac(dst, e.dstMac);
    return e;
}

// A foreign announcement: header + the given SDP text.
std::string sapPacket(const std::string& sdp, uint8_t authLen = 0) {
    std::string p;
    p += char(0x20);
    p += char(authLen);
    p += "\x01\x02";
    p += std::string("\xC0\xA8\x01\x63", 4);
    for (int i = 0; i < authLen * 4; i++) p += char(0xAA);
    p += std::string("application/sdp\0", 16);
    return p + sdp;
}

const char* kForeign = "v=0\r\n"
                       "o=- 1 1 IN IP4 192.168.1.99\r\n"
                       "s=Stage box 1\r\n"
                       "c=IN IP4 239.69.1.2/32\r\n"
                       "t=0 0\r\n"
                       "m=audio 5004 RTP/AVP 98\r\n"
                       "a=rtpmap:98 L16/48000/2\r\n"
                       "a=ptime:0.25\r\n"
                       "a=ts-refclk:ptp=IEEE1588-2008:00-1d-c1-ff-fe-aa-bb-cc:0\r\n"
                       "a=mediaclk:direct=0x10\r\n";

bool readText(const std::string& pkt, SapInfo* out) {
    return Sap_read(reinterpret_cast<const uint8_t*>(pkt.data()), pkt.size(), out);
}

} // namespace

TEST(Sdp, TextByteForByte) {
    EXPECT_EQ(Sdp_sessionId("AB"), 0x4241u);
    EXPECT_EQ(Sdp_sessionId("ABCDE"), 0x44434286u);
    EXPECT_EQ(Sdp_sessionId(""), 0u);

    SdpTx e = txEntry("AB", IP(192, 168, 1, 10), IP(239, 1, 2, 3), 2, 3, 1234);
    char text[SAP_SDP_MAX];
    int n = Sdp_write(text, sizeof text, &e, e.name, 48000, 48, "00-1d-c1-ff-fe-12-34-56", 97);
    const char* want = "v=0\r\n"
                       "o=- 16961 16961 IN IP4 192.168.1.10\r\n"
                       "s=AB\r\n"
                       "c=IN IP4 239.1.2.3/32\r\n"
                       "t=0 0\r\n"
                       "m=audio 5004 RTP/AVP 97\r\n"
                       "a=rtpmap:97 L24/48000/2\r\n"
                       "a=recvonly\r\n"
                       "a=ptime:1\r\n"
                       "a=mediaclk:direct=1234\r\n"
                       "a=ts-refclk:ptp=IEEE1588-2008:00-1d-c1-ff-fe-12-34-56:0\r\n";
    EXPECT_STREQ(text, want);
    EXPECT_EQ(n, int(std::strlen(want)));

    // 6 frames at 48 kHz, L32, a large offset printed unsigned.
    SdpTx f = txEntry("ABCDE", IP(10, 0, 0, 1), IP(239, 255, 0, 9), 8, 4, 4000000000u);
    n = Sdp_write(text, sizeof text, &f, f.name, 48000, 6, "ff-ff-ff-ff-ff-ff-ff-ff", 96);
    ASSERT_GT(n, 0);
    std::string s(text);
    EXPECT_NE(s.find("o=- 1145258630 1145258630 IN IP4 10.0.0.1\r\n"), std::string::npos) << s;
    EXPECT_NE(s.find("a=rtpmap:96 L32/48000/8\r\n"), std::string::npos);
    EXPECT_NE(s.find("a=ptime:0.125\r\n"), std::string::npos);
    EXPECT_NE(s.find("a=mediaclk:direct=4000000000\r\n"), std::string::npos);

    // A line break in the name cannot add lines to the description.
    SdpTx inj = txEntry("x\r\nc=IN IP4 239.9.9.9/32", IP(10, 0, 0, 1), IP(239, 1, 1, 1), 1, 2, 0);
    ASSERT_GT(Sdp_write(text, sizeof text, &inj, inj.name, 48000, 48, "x", 97), 0);
    EXPECT_NE(std::strstr(text, "s=x??c=IN IP4 239.9.9.9/32\r\nc=IN IP4 239.1.1.1/32\r\n"), nullptr) << text;

    // A buffer too small is reported, never overrun.
    char small[40];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(Sdp_write(small, 32, &e, e.name, 48000, 48, "x", 97), -1);
    EXPECT_EQ(small[32], 'x');
}

TEST(Sap, PacketHeaderAndRoundTrip) {
    g_dev.sampleRate = 48000;
    g_dev.pFrameNum = 48;
    g_dev.payloadType = 97;
    std::strcpy(g_dev.gmClkId, "00-1d-c1-ff-fe-12-34-56");
    SdpTx e = txEntry("Main mix", IP(192, 168, 1, 10), IP(239, 1, 2, 3), 2, 3, 77);
    uint8_t pkt[SAP_HEADER_LEN + SAP_SDP_MAX];
    int n = Sap_build(pkt, sizeof pkt, &e, false);
    char sdp[SAP_SDP_MAX];
    int sdpLen = Sdp_write(sdp, sizeof sdp, &e, e.name, 48000, 48, g_dev.gmClkId, 97);
    ASSERT_EQ(n, sdpLen + 24);
    const uint8_t head[8] = {0x20, 0x00, 0x02, 0x03, 192, 168, 1, 10};
    EXPECT_EQ(std::memcmp(pkt, head, 8), 0);
    EXPECT_EQ(std::memcmp(pkt + 8, "application/sdp\0", 16), 0);
    EXPECT_EQ(std::memcmp(pkt + 24, sdp, size_t(sdpLen)), 0);
    uint8_t del[SAP_HEADER_LEN + SAP_SDP_MAX];
    ASSERT_EQ(Sap_build(del, sizeof del, &e, true), n);
    EXPECT_EQ(del[0], 0x24);
    EXPECT_EQ(std::memcmp(del + 1, pkt + 1, size_t(n - 1)), 0);

    SapInfo in;
    ASSERT_TRUE(Sap_read(pkt, size_t(n), &in));
    EXPECT_EQ(in.flags, 0x20);
    EXPECT_EQ(in.msgIdHash, 0x0203);
    EXPECT_EQ(in.origSrc, IP(192, 168, 1, 10));
    EXPECT_STREQ(in.name, "Main mix");
    EXPECT_EQ(in.sdp.srcIp, IP(192, 168, 1, 10));
    EXPECT_EQ(in.sdp.dstIp, IP(239, 1, 2, 3));
    EXPECT_EQ(in.sdp.dstPort, 5004);
    EXPECT_EQ(in.sdp.chNum, 2);
    EXPECT_EQ(in.sdp.sampleByteNum, 3);
    EXPECT_EQ(in.sdp.rtpTsOffset, 77u);
    EXPECT_EQ(in.sampleRate, 48000);
    EXPECT_EQ(in.pFrameNum, 48);
    EXPECT_STREQ(in.gmClkId, "00-1d-c1-ff-fe-12-34-56");
    // A deletion is read like an announcement.
    ASSERT_TRUE(Sap_read(del, size_t(n), &in));
    EXPECT_EQ(in.flags, 0x24);
}

TEST(Sap, ReaderAcceptanceRules) {
    SapInfo in;
    ASSERT_TRUE(readText(sapPacket(kForeign), &in));
    EXPECT_EQ(in.sdp.srcIp, IP(192, 168, 1, 99));
    EXPECT_EQ(in.sdp.dstIp, IP(239, 69, 1, 2));
    EXPECT_EQ(in.sdp.sampleByteNum, 2);
    EXPECT_EQ(in.sdp.rtpTsOffset, 16u); // base detection
    EXPECT_EQ(in.pFrameNum, 12);        // 48 x 0.25
    EXPECT_STREQ(in.name, "Stage box 1");

    // The source-filter line decides both addresses.
    std::string filt = std::string(kForeign) + "a=source-filter: incl IN IP4 239.1.1.1 192.168.1.20\r\n";
    ASSERT_TRUE(readText(sapPacket(filt), &in));
    EXPECT_EQ(in.sdp.dstIp, IP(239, 1, 1, 1));
    EXPECT_EQ(in.sdp.srcIp, IP(192, 168, 1, 20));

    auto replaced = [](const char* from, const char* to) {
        std::string s = kForeign;
        size_t p = s.find(from);
        return s.replace(p, std::strlen(from), to);
    };
    EXPECT_FALSE(readText(sapPacket(replaced("L16/48000/2", "L16/48000/9")), &in));
    EXPECT_FALSE(readText(sapPacket(replaced("L16/48000/2", "L16/48000/0")), &in));
    EXPECT_FALSE(readText(sapPacket(replaced("L16/48000/2", "L40/48000/2")), &in));
    EXPECT_FALSE(readText(sapPacket(replaced("L16/48000/2", "L16/48000")), &in));
    EXPECT_FALSE(readText(sapPacket(replaced("s=Stage box 1\r\n", "")), &in));
    EXPECT_FALSE(readText(sapPacket(replaced("c=IN IP4 239.69.1.2/32\r\n", "")), &in));
    EXPECT_FALSE(readText(sapPacket(replaced("m=audio 5004", "m=audio 0")), &in));
    // A port beyond 16 bits must not wrap into a valid one (70000 - 65536 = 4464).
    EXPECT_FALSE(readText(sapPacket(replaced("m=audio 5004", "m=audio 70000")), &in));
    // An authentication block moves the payload type away from offset 8.
    EXPECT_FALSE(readText(sapPacket(kForeign, 1), &in));
    std::string p = sapPacket(kForeign);
    p[23] = 'x'; // payload type without its terminator
    EXPECT_FALSE(readText(p, &in));
    EXPECT_FALSE(readText(p.substr(0, 23), &in));
    // The name line needs its line feed; the text ends at the datagram's length.
    EXPECT_FALSE(readText(sapPacket("v=0\r\ns=cut"), &in));
    // A long session name is cut to the field.
    std::string longName = replaced("s=Stage box 1", ("s=" + std::string(200, 'n')).c_str());
    ASSERT_TRUE(readText(sapPacket(longName), &in));
    EXPECT_EQ(std::strlen(in.name), sizeof in.name - 1);
}

TEST(Sap, AnnouncementRefreshesMatchingReceiveEntry) {
    std::memset(&g_dev, 0, sizeof g_dev);
    g_dev.mcastNumRx = 16;
    for (auto& e : g_dev.mcastArrRx) Dev_clearSdpRx(&e);
    // Entry 3: the stream we receive (old source and offset). Entry 4: same group, other port.
    SdpRx& e = g_dev.mcastArrRx[3];
    e.sdp = {IP(192, 168, 1, 50), IP(239, 69, 1, 2), 5004, 2, 2, 5};
    e.rtpChId[1] = 7;
    SdpRx& other = g_dev.mcastArrRx[4];
    other.sdp = {IP(192, 168, 1, 50), IP(239, 69, 1, 2), 5006, 2, 2, 5};
    other.rtpChId[0] = 8;
    // Entry 2: same stream but not in use (no slot) is never matched.
    g_dev.mcastArrRx[2].sdp = e.sdp;

    // A real datagram over loopback, read the way the loop reads the announcement socket.
    int rx = socket(AF_INET, SOCK_DGRAM, 0);
    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(rx, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(0x7F000001u);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0); // any free port
    socklen_t sl = sizeof sa;
    ASSERT_EQ(getsockname(rx, reinterpret_cast<sockaddr*>(&sa), &sl), 0);
    uint16_t port = ntohs(sa.sin_port);
    std::string pkt = sapPacket(kForeign);
    ASSERT_GT(Net_sendTo(tx, pkt.data(), pkt.size(), 0x7F000001u, port), 0);
    int w[1] = {rx};
    ASSERT_GT(Net_waitReadable(w, 1, 1000), 0);
    char buf[1500];
    uint32_t from;
    uint16_t fromPort;
    int n = Net_recvFrom(rx, buf, 1499, &from, &fromPort);
    ASSERT_EQ(n, int(pkt.size()));
    buf[n] = 0;
    Sap_handleDatagram(rx, buf, n, sizeof buf, from, fromPort);

    EXPECT_EQ(e.sdp.srcIp, IP(192, 168, 1, 99));
    EXPECT_EQ(e.sdp.rtpTsOffset, 16u);
    EXPECT_EQ(e.rtpChId[1], 7);
    EXPECT_EQ(g_dev.dirty, 1);
    EXPECT_EQ(other.sdp.srcIp, IP(192, 168, 1, 50));
    EXPECT_EQ(other.sdp.rtpTsOffset, 5u);
    EXPECT_EQ(g_dev.mcastArrRx[2].sdp.rtpTsOffset, 5u);

    // The same announcement again changes nothing.
    g_dev.dirty = 0;
    Sap_handleDatagram(rx, buf, n, sizeof buf, from, fromPort);
    EXPECT_EQ(g_dev.dirty, 0);
    // One with another channel count matches no entry.
    std::string s = kForeign;
    s.replace(s.find("L16/48000/2"), 11, "L16/48000/4");
    std::string p4 = sapPacket(s);
    std::memcpy(buf, p4.data(), p4.size());
    Sap_handleDatagram(rx, buf, int(p4.size()), sizeof buf, from, fromPort);
    EXPECT_EQ(e.sdp.chNum, 2);
    EXPECT_EQ(g_dev.dirty, 0);
    Net_close(rx);
    Net_close(tx);
}
