// RTP audio streams over real blocks and real datagrams. The program moves itself into
// a network namespace of its own (loopback up, 224.0.0.0/4 routed to it), so datagrams,
// multicast ones included, never leave it; without that permission the socket tests skip.
#include "engine/rtp/RtpAudio.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/netbatch.h"

namespace {

bool g_netns = false;

class NetnsEnv : public ::testing::Environment {
  public:
    void SetUp() override {
        if (unshare(CLONE_NEWNET) != 0) return;
        g_netns = std::system("ip link set lo up && ip route add 224.0.0.0/4 dev lo") == 0;
    }
};
const auto* g_env = ::testing::AddGlobalTestEnvironment(new NetnsEnv);

constexpr uint32_t kLo = 0x7F000001u;
constexpr uint32_t kGroup = 0xEF010203u; // 239.1.2.3
constexpr int P = 48;

sdpInfo mkSdp(uint32_t src, uint32_t dst, uint16_t port, uint8_t ch, uint8_t sb, uint32_t off = 0) {
    sdpInfo s{};
    s.srcIp = src;
    s.dstIp = dst;
    s.dstPort = port;
    s.chNum = ch;
    s.sampleByteNum = sb;
    s.rtpTsOffset = off;
    return s;
}

void prepare(int inCh, int outCh, int fs = 48000) {
    RtpAudio_reset();
    RtpOutBlockDesc d{outCh, fs / 1000, nullptr, outCh * 4};
    RtpAudio_afterDspPrepare(inCh, &d, fs);
}

std::vector<int32_t> block(int frames, int ch) { return std::vector<int32_t>(size_t(frames) * ch, 0); }

// A loopback socket; port 0 = any free port. Returns fd and sets *port.
int sock(uint32_t addr, int port, uint16_t* boundPort = nullptr) {
    int fd = Net_udpSocketTry(addr, port > 0 ? port : 0);
    if (fd < 0) return fd;
    if (port == 0) {
        // bind to an ephemeral port
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(addr);
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    if (boundPort) {
        sockaddr_in sa{};
        socklen_t l = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &l);
        *boundPort = ntohs(sa.sin_port);
    }
    return fd;
}

// The engine's RTP socket (port 5004, multicast out on loopback) and a loopback sink on a
// free port; at scope end the engine lets go of the socket and both are closed.
struct TxRig {
    uint16_t rport = 0;
    int rtp = sock(0, 5004);
    int rx = sock(kLo, 0, &rport);
    bool ok() const { return rtp >= 0 && rx >= 0 && Net_setMcastIf(rtp, kLo) == 0; }
    ~TxRig() {
        RtpAudio_setRtpSocket(-1);
        Net_close(rtp);
        Net_close(rx);
    }
};

// Reads one datagram, waiting up to 1 s.
int recvWait(int fd, uint8_t* buf, size_t cap, uint32_t* src = nullptr, uint32_t* dst = nullptr) {
    for (int i = 0; i < 100; ++i) {
        int n = Net_recvPktInfo(fd, buf, cap, src, nullptr, dst);
        if (n >= 0) return n;
        Net_waitReadable(&fd, 1, 10);
    }
    return -1;
}

// An IPv4 datagram around a payload, as the engine thread builds it.
std::vector<uint8_t> wrap(const std::vector<uint8_t>& pl, uint32_t src, uint32_t dst, uint16_t dport) {
    std::vector<uint8_t> out(28 + pl.size());
    EXPECT_EQ(RtpAudio_wrapDatagram(out.data(), out.size(), pl.data(), pl.size(), src, 5004, dst, dport), out.size());
    return out;
}

// Multicast RTP payload: header + interleaved samples of F frames.
std::vector<uint8_t> rtpPayload(uint32_t ts, int ch, int sb, int F, int32_t (*sample)(int k, int j), uint16_t seq = 0) {
    std::vector<uint8_t> p(12 + size_t(F) * ch * sb, 0);
    p[0] = 0x80;
    p[1] = 97;
    p[2] = uint8_t(seq >> 8);
    p[3] = uint8_t(seq);
    p[4] = uint8_t(ts >> 24);
    p[5] = uint8_t(ts >> 16);
    p[6] = uint8_t(ts >> 8);
    p[7] = uint8_t(ts);
    for (int k = 0; k < F; ++k)
        for (int j = 0; j < ch; ++j) {
            uint32_t s = uint32_t(sample(k, j));
            for (int b = 0; b < sb; ++b) p[12 + size_t(k * ch + j) * sb + b] = uint8_t(s >> (24 - 8 * b));
        }
    return p;
}

int32_t l24(int k, int j) { return int32_t(uint32_t((k * 2 + j + 1) * 0x010203) << 8) ^ (j ? int32_t(0x80000000u) : 0); }

uint32_t be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }

}  // namespace

TEST(RtpAudio, PreparationLimitsAndLinkOffsetBounds) {
    prepare(64, 64, 48000);
    EXPECT_EQ(RtpAudio_getTxChNum(), 64);
    EXPECT_EQ(RtpAudio_getRxChNum(), 64);
    EXPECT_EQ(RtpAudio_getLinkOffset(), 192);
    EXPECT_EQ(RtpAudio_getNum(RTP_UCAST_RX), 64);
    EXPECT_EQ(RtpAudio_getNum(RTP_UCAST_TX), 64);
    EXPECT_EQ(RtpAudio_getNum(RTP_MCAST_RX), 16);
    prepare(2, 1, 48000);
    EXPECT_EQ(RtpAudio_getNum(RTP_UCAST_TX), 4); // at least four unicast senders
    EXPECT_EQ(RtpAudio_getNum(RTP_MCAST_RX), 1);
    // 192 kHz: 1536-frame buffers leave room for 32 channels of the 0x30000 bytes.
    prepare(128, 128, 192000);
    EXPECT_EQ(RtpAudio_getTxChNum(), 32);
    EXPECT_EQ(RtpAudio_getRxChNum(), 32);

    prepare(2, 2, 48000);
    char reason[256];
    EXPECT_EQ(RtpAudio_setLinkOffset(192, 48000, 48, reason, sizeof reason), 0);
    EXPECT_EQ(RtpAudio_setLinkOffset(335, 48000, 48, reason, sizeof reason), 0);
    EXPECT_EQ(RtpAudio_getLinkOffset(), 335);
    EXPECT_LT(RtpAudio_setLinkOffset(336, 48000, 48, reason, sizeof reason), 0);
    EXPECT_NE(std::string(reason).find("error at: file=rtp/RtpAudio func=RtpAudio_setLinkOffset line="),
              std::string::npos);
    EXPECT_NE(std::string(reason).find(
                  "msg=fail (linkOffsetFrameNum + frameNumPerPeriod >= RTP_CH_BUF_IN_FRAME(sampleRate, "
                  "frameNumPerPeriod))"),
              std::string::npos);
    EXPECT_LT(RtpAudio_setLinkOffset(191, 48000, 48, reason, sizeof reason), 0);
    EXPECT_NE(std::string(reason).find(
                  "msg=fail (linkOffsetFrameNum < LINK_OFFSET_MIN_MULTIPLE_BY_PERIOD * frameNumPerPeriod)"),
              std::string::npos);
    EXPECT_LT(RtpAudio_setLinkOffset(-5, 48000, 48, reason, sizeof reason), 0);
    EXPECT_EQ(RtpAudio_getLinkOffset(), 335);
    // Geometry other than the prepared one may pass its own bounds but not ours.
    EXPECT_LT(RtpAudio_setLinkOffset(600, 96000, 96, reason, sizeof reason), 0);
    EXPECT_EQ(RtpAudio_getLinkOffset(), 335);
    // A reason never runs past its buffer.
    char tiny[12];
    std::memset(tiny, 'x', sizeof tiny);
    EXPECT_LT(RtpAudio_setLinkOffset(1, 48000, 48, tiny, sizeof tiny), 0);
    EXPECT_EQ(std::strlen(tiny), sizeof tiny - 1);
}

TEST(RtpAudio, StreamSetupChecksAndBoundedIndices) {
    prepare(8, 8);
    char reason[256];
    sdpInfo u = mkSdp(kLo, kLo, 5004, 2, 3);
    int32_t map[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    auto msg = [&] { return std::string(std::strstr(reason, "msg=") ? std::strstr(reason, "msg=") + 4 : ""); };

    EXPECT_LT(RtpAudio_setUcastTx(-1, &u, map, 2, mac, reason, sizeof reason), 0);
    EXPECT_EQ(msg(), "fail my_VALID_UCAST_ID_TX()");
    EXPECT_NE(std::string(reason).find("func=RtpAudio_setUcastTx"), std::string::npos);
    EXPECT_LT(RtpAudio_setUcastTx(RtpAudio_getNum(RTP_UCAST_TX), &u, map, 2, mac, reason, sizeof reason), 0);
    EXPECT_LT(RtpAudio_setMcastRx(RtpAudio_getNum(RTP_MCAST_RX), &u, map, 2, reason, sizeof reason), 0);
    EXPECT_EQ(msg(), "fail my_VALID_MCAST_ID_TX()");
    sdpInfo nine = mkSdp(kLo, kLo, 5004, 9, 2);
    EXPECT_LT(RtpAudio_setUcastRx(0, &nine, map, 8, reason, sizeof reason), 0);
    EXPECT_EQ(msg(), "fail my_VALID_SDP_CH_NUM()");
    // 1460 / (4 x 48) = 7 channels of 32 bits fit a datagram, 10 of 24 bits.
    sdpInfo big = mkSdp(kLo, kLo, 5004, 8, 4);
    EXPECT_LT(RtpAudio_setUcastTx(0, &big, map, 8, mac, reason, sizeof reason), 0);
    EXPECT_EQ(msg(), "fail exceed-udp-limit");
    big.sampleByteNum = 3;
    EXPECT_EQ(RtpAudio_setUcastTx(0, &big, map, 8, mac, reason, sizeof reason), 0);
    sdpInfo m = mkSdp(kLo, 0xC0A80105u, 5004, 2, 3);
    EXPECT_LT(RtpAudio_setMcastTx(0, &m, map, 2, mac, reason, sizeof reason), 0);
    EXPECT_EQ(msg(), "dstIp error");
    m.chNum = 0; // clearing a stream needs no group
    EXPECT_EQ(RtpAudio_setMcastTx(0, &m, map, 0, mac, reason, sizeof reason), 0);
    sdpInfo ug = mkSdp(kLo, kGroup, 5004, 2, 3);
    EXPECT_LT(RtpAudio_setUcastRx(0, &ug, map, 2, reason, sizeof reason), 0);
    EXPECT_EQ(msg(), "dstIp error");

    // Stored as given; the map entries past chNum read back as -1.
    sdpInfo got{};
    int16_t gmap[8];
    uint8_t gmac[6];
    ASSERT_TRUE(RtpAudio_getUcastTx(0, &got, gmap, gmac));
    EXPECT_EQ(std::memcmp(&got, &big, sizeof got), 0);
    EXPECT_EQ(gmap[7], 7);
    EXPECT_EQ(std::memcmp(gmac, mac, 6), 0);
    ASSERT_EQ(RtpAudio_setUcastTx(1, &u, map, 2, mac, reason, sizeof reason), 0);
    ASSERT_TRUE(RtpAudio_getUcastTx(1, &got, gmap, nullptr));
    EXPECT_EQ(gmap[1], 1);
    EXPECT_EQ(gmap[2], -1);
    EXPECT_FALSE(RtpAudio_getUcastTx(-1, &got, gmap, nullptr));
    EXPECT_FALSE(RtpAudio_getMcastRx(16, &got, gmap));

    // Counts cannot be raised past the tables.
    EXPECT_LT(RtpAudio_setNum(RTP_UCAST_TX, 129, reason, sizeof reason), 0);
    EXPECT_LT(RtpAudio_setNum(RTP_MCAST_RX, 17, reason, sizeof reason), 0);
    EXPECT_LT(RtpAudio_setNum(RTP_MCAST_RX, -1, reason, sizeof reason), 0);
    EXPECT_EQ(RtpAudio_setNum(RTP_UCAST_TX, 128, reason, sizeof reason), 0);
    EXPECT_EQ(RtpAudio_setUcastTx(127, &u, map, 2, mac, reason, sizeof reason), 0);
    EXPECT_LT(RtpAudio_setUcastTx(128, &u, map, 2, mac, reason, sizeof reason), 0);
    EXPECT_EQ(RtpAudio_rxStreamIndex(true, 16), -1);
    EXPECT_FALSE(RtpAudio_getRxStats(RtpAudio_rxStreamCount(), nullptr));

    // Routing entries of any value: the ones outside the channels play silence.
    int32_t rx[8] = {500, -7, 70000, 1, -1, 0, 127, 8};
    RtpAudio_setChRx(rx, 8);
    int16_t back[8];
    EXPECT_EQ(RtpAudio_getChRx(back, 8), 8);
    EXPECT_EQ(back[0], 500);
    EXPECT_EQ(back[2], -1); // beyond 16 bits
    int32_t tx[8] = {9, 200, -3, 0, 0, 0, 0, 0};
    RtpAudio_setChTx(tx, 8);
    std::vector<int32_t> in = block(P, 8), out = block(P, 8);
    for (auto& s : in) s = 0x11111100;
    for (int i = 0; i < 3; ++i) {
        RtpAudio_periodTx(in.data(), 8, 8, 1000 + uint32_t(i * P));
        RtpAudio_periodRx(out.data(), 8, 8, 1000 + uint32_t(i * P));
    }
    // tx channel 3 is copied into rx channel 0, which output 5 plays; others silent
    for (int k = 0; k < P; ++k)
        for (int o = 0; o < 8; ++o) EXPECT_EQ(out[size_t(k) * 8 + o], o == 5 ? 0x11111100 : 0) << o;
}

TEST(RtpAudio, MulticastDatagramPlaysAtLinkOffsetAndLateOnesAreDroppedButCounted) {
    prepare(2, 2);
    char reason[256];
    sdpInfo s = mkSdp(0x0A000001u, kGroup, 5004, 2, 3);
    int32_t map[2] = {0, 1};
    ASSERT_EQ(RtpAudio_setMcastRx(0, &s, map, 2, reason, sizeof reason), 0);
    int32_t route[2] = {1, 0}; // crossed: output 0 plays rx channel 1
    RtpAudio_setChRx(route, 2);
    std::vector<int32_t> out = block(P, 2);
    uint32_t T = 480000;
    RtpAudio_periodRx(out.data(), 2, 2, T); // read time T + P
    const uint32_t T0 = T + P - 96;          // plays when read time is T0 + 192 = T + 3P
    RtpAudio_setNow(T + P);
    auto pkt = wrap(rtpPayload(T0, 2, 3, P, l24), 0x0A000009u, kGroup, 5004);
    RtpAudio_packetInput(pkt.data(), pkt.size());
    int played = 0;
    for (int i = 1; i <= 4; ++i) {
        RtpAudio_periodRx(out.data(), 2, 2, T + uint32_t(i * P));
        uint32_t readTime = T + uint32_t((i + 1) * P);
        bool nonzero = false;
        for (int32_t v : out) nonzero |= v != 0;
        if (readTime == T0 + 192) {
            ++played;
            for (int k = 0; k < P; ++k) {
                EXPECT_EQ(out[size_t(k) * 2 + 0], l24(k, 1) & int32_t(0xFFFFFF00u));
                EXPECT_EQ(out[size_t(k) * 2 + 1], l24(k, 0) & int32_t(0xFFFFFF00u));
            }
        } else {
            EXPECT_FALSE(nonzero) << "period " << i;
        }
    }
    EXPECT_EQ(played, 1);
    RtpRxStats st{};
    int idx = RtpAudio_rxStreamIndex(true, 0);
    ASSERT_TRUE(RtpAudio_getRxStats(idx, &st));
    EXPECT_EQ(st.total, 1u);

    // Late: its media time (ts + 192) is behind the read position.
    uint32_t rt = T + 5 * P;
    auto late = wrap(rtpPayload(rt - 192 - 1, 2, 3, P, l24), 0x0A000009u, kGroup, 5004);
    RtpAudio_packetInput(late.data(), late.size());
    // Beyond the buffer: d + F > 384.
    auto early = wrap(rtpPayload(rt - 192 + 384 - P + 1, 2, 3, P, l24), 0x0A000009u, kGroup, 5004);
    RtpAudio_packetInput(early.data(), early.size());
    ASSERT_TRUE(RtpAudio_getRxStats(idx, &st));
    EXPECT_EQ(st.total, 3u); // counted before the drop test
    for (int i = 5; i < 14; ++i) {
        RtpAudio_periodRx(out.data(), 2, 2, T + uint32_t(i * P));
        for (int32_t v : out) ASSERT_EQ(v, 0) << "period " << i;
    }
    EXPECT_TRUE(RtpAudio_isRxActive(idx));
    RtpAudio_setNow(T + 48000 + P);
    EXPECT_FALSE(RtpAudio_isRxActive(idx));
}

TEST(RtpAudio, UnicastMaskCarriesOnlyRoutedChannelsAndReceiverPlaysTheRest) {
    if (!g_netns) GTEST_SKIP() << "no network namespace of our own (needs CAP_SYS_ADMIN)";
    prepare(4, 2);
    uint16_t rport = 0;
    int rtp = sock(kLo, 5004);
    int rx = sock(kLo, 0, &rport);
    ASSERT_GE(rtp, 0);
    ASSERT_GE(rx, 0);
    ASSERT_EQ(Net_setPktInfo(rx, 1), 0);
    RtpAudio_setRtpSocket(rtp);
    char reason[256];
    uint8_t mac[6] = {};
    // Sender: stream channels 1 and 3 unrouted; the receiver's stream index 7 rides in rtpTsOffset.
    sdpInfo tx = mkSdp(kLo, kLo, rport, 4, 4, 7);
    int32_t txMap[4] = {0, -1, 2, -1};
    ASSERT_EQ(RtpAudio_setUcastTx(0, &tx, txMap, 4, mac, reason, sizeof reason), 0) << reason;
    std::vector<int32_t> in = block(P, 4), out = block(P, 2);
    for (int k = 0; k < P; ++k) {
        in[size_t(k) * 4 + 0] = 0x01000000 + k;
        in[size_t(k) * 4 + 1] = 0x7F7F7F7F; // not sent
        in[size_t(k) * 4 + 2] = -0x02000000 - k;
    }
    const uint32_t T = 96000;
    RtpAudio_periodTx(in.data(), 4, 4, T);
    uint8_t buf[1600];
    uint32_t src = 0, dst = 0;
    int n = recvWait(rx, buf, sizeof buf, &src, &dst);
    ASSERT_EQ(n, 8 + 2 * P * 4);
    EXPECT_EQ(buf[0], 0x00);
    EXPECT_EQ(buf[1], 0x05);
    EXPECT_EQ((buf[2] << 8) | buf[3], 7);
    EXPECT_EQ(be32(buf + 4), T - P);
    for (int k = 0; k < P; ++k) {
        EXPECT_EQ(int32_t(be32(buf + 8 + k * 4)), 0x01000000 + k);
        EXPECT_EQ(int32_t(be32(buf + 8 + (P + k) * 4)), -0x02000000 - k);
    }

    ASSERT_EQ(RtpAudio_setNum(RTP_UCAST_RX, 8, reason, sizeof reason), 0);
    // Receiver stream 7: channel 0 unmapped, channel 2 -> rx channel 1 -> output 0.
    sdpInfo rs = mkSdp(kLo, kLo, rport, 4, 4);
    int32_t rMap[4] = {-1, 0, 1, 0};
    ASSERT_EQ(RtpAudio_setUcastRx(7, &rs, rMap, 4, reason, sizeof reason), 0);
    int32_t route[2] = {1, 0};
    RtpAudio_setChRx(route, 2);
    RtpAudio_periodRx(out.data(), 2, 2, T); // read time T + P
    std::vector<uint8_t> payload(buf, buf + n);
    auto pkt = wrap(payload, src, dst, rport);
    RtpAudio_packetInput(pkt.data(), pkt.size());
    // Stamped T - P: plays when the read time is T - P + 192 = T + 3P.
    RtpAudio_periodRx(out.data(), 2, 2, T + P);
    for (int32_t v : out) EXPECT_EQ(v, 0);
    RtpAudio_periodRx(out.data(), 2, 2, T + 2 * P);
    for (int k = 0; k < P; ++k) {
        EXPECT_EQ(out[size_t(k) * 2 + 0], -0x02000000 - k);
        EXPECT_EQ(out[size_t(k) * 2 + 1], 0); // channel 0 was sent but is unmapped here
    }
    // The same datagram from another source, or to another stream index, is not taken.
    auto foreign = wrap(payload, kLo + 1, dst, rport);
    RtpRxStats st{};
    RtpAudio_packetInput(foreign.data(), foreign.size());
    payload[3] = 6;
    auto other = wrap(payload, src, dst, rport);
    RtpAudio_packetInput(other.data(), other.size());
    ASSERT_TRUE(RtpAudio_getRxStats(RtpAudio_rxStreamIndex(false, 7), &st));
    EXPECT_EQ(st.total, 1u);
    ASSERT_TRUE(RtpAudio_getRxStats(RtpAudio_rxStreamIndex(false, 6), &st));
    EXPECT_EQ(st.total, 0u);

    // RTP mute: datagrams keep their header, carry zeros, and the output is silent.
    int32_t txRoute[4] = {0, -1, -1, -1};
    RtpAudio_setChTx(txRoute, 4); // local copy keeps rx channel 0 fed
    int32_t route0[2] = {0, 0};
    RtpAudio_setChRx(route0, 2);
    RtpAudio_setRtpMute(true);
    RtpAudio_periodTx(in.data(), 4, 4, T + 3 * P);
    RtpAudio_periodRx(out.data(), 2, 2, T + 3 * P);
    n = recvWait(rx, buf, sizeof buf);
    ASSERT_EQ(n, 8 + 2 * P * 4);
    EXPECT_EQ(buf[1], 0x05);
    EXPECT_EQ(be32(buf + 4), T + 2 * P);
    for (int i = 8; i < n; ++i) ASSERT_EQ(buf[i], 0) << i;
    for (int32_t v : out) EXPECT_EQ(v, 0);
    RtpAudio_setRtpMute(false);
    RtpAudio_periodTx(in.data(), 4, 4, T + 4 * P);
    RtpAudio_periodRx(out.data(), 2, 2, T + 4 * P);
    EXPECT_EQ(out[0], 0x01000000); // local copy plays in its own period
    EXPECT_EQ(out[1], 0x01000000);
    recvWait(rx, buf, sizeof buf);
    RtpAudio_setRtpSocket(-1);
    Net_close(rtp);
    Net_close(rx);
}

TEST(RtpAudio, MulticastTransmitFormatSilentUnmappedSlotsAndTwoSendersOneStream) {
    if (!g_netns) GTEST_SKIP() << "no network namespace of our own (needs CAP_SYS_ADMIN)";
    prepare(2, 2);
    // The RTP socket takes any address: a socket bound to a unicast address gets no group datagrams.
    int rtp = sock(0, 5004);
    ASSERT_GE(rtp, 0);
    ASSERT_EQ(Net_setPktInfo(rtp, 1), 0);
    ASSERT_EQ(Net_setMcastIf(rtp, kLo), 0);
    RtpAudio_setRtpSocket(rtp);
    uint16_t discPort = 0;
    int disc = sock(0, 0, &discPort);
    ASSERT_GE(disc, 0);
    RtpAudio_setRouteSockets(disc, 0xEF0000BCu, 0);
    // Engine start-up comes after the route layer registered: the registration survives it.
    prepare(2, 2);
    RtpAudio_setRtpSocket(rtp);
    // Through the discovery socket, a stream group is joined on the RTP socket.
    ASSERT_EQ(RtpAudio_joinGroup(disc, kGroup, kLo, true), 0);
    // The control group stays on the discovery socket itself.
    ASSERT_EQ(RtpAudio_joinGroup(disc, 0xEF0000BCu, kLo, true), 0);

    char reason[256];
    uint8_t mac[6] = {0x01, 0x00, 0x5e, 0x01, 0x02, 0x03};
    sdpInfo tx = mkSdp(kLo, kGroup, 5004, 2, 3);
    int32_t map[2] = {0, 1};
    ASSERT_EQ(RtpAudio_setMcastTx(0, &tx, map, 2, mac, reason, sizeof reason), 0) << reason;
    std::vector<int32_t> in = block(P, 2);
    for (int k = 0; k < P; ++k) {
        in[size_t(k) * 2] = int32_t(0x12345600u + uint32_t(k << 8));
        in[size_t(k) * 2 + 1] = int32_t(0xFEDCBA00u);
    }
    const uint32_t T = 4800;
    RtpAudio_periodTx(in.data(), 2, 2, T);
    uint8_t buf[1600];
    uint32_t src = 0, dst = 0;
    int n = recvWait(rtp, buf, sizeof buf, &src, &dst);
    ASSERT_EQ(n, 12 + 288); // L24, 2 channels, 48 frames
    EXPECT_EQ(n + 8, 308);  // UDP length
    EXPECT_EQ(dst, kGroup);
    EXPECT_EQ(buf[0], 0x80);
    EXPECT_EQ(buf[1], 97);
    EXPECT_EQ((buf[2] << 8) | buf[3], 0);
    EXPECT_EQ(be32(buf + 4), T - P);
    EXPECT_EQ(be32(buf + 8), 0u);
    EXPECT_EQ(buf[12], 0x12);
    EXPECT_EQ(buf[13], 0x34);
    EXPECT_EQ(buf[14], 0x56);
    EXPECT_EQ(buf[15], 0xFE);
    EXPECT_EQ(buf[12 + 3 * 2 * 5 + 1], 0x34 + 0); // frame 5, channel 0, middle byte
    EXPECT_EQ(buf[12 + 3 * 2 * 5 + 2], 0x56 + 5);

    // Channel 1 loses its source: its slots are silence, not the previous datagram's audio.
    int32_t map1[2] = {0, -1};
    ASSERT_EQ(RtpAudio_setMcastTx(0, &tx, map1, 2, mac, reason, sizeof reason), 0);
    RtpAudio_periodTx(in.data(), 2, 2, T + P);
    n = recvWait(rtp, buf, sizeof buf);
    ASSERT_EQ(n, 300);
    EXPECT_EQ((buf[2] << 8) | buf[3], 1); // sequence goes on
    for (int k = 0; k < P; ++k) {
        EXPECT_EQ(buf[12 + k * 6 + 0], uint8_t((0x12345600u + uint32_t(k << 8)) >> 24));
        for (int b = 3; b < 6; ++b) ASSERT_EQ(buf[12 + k * 6 + b], 0) << k;
    }
    ASSERT_EQ(RtpAudio_setMcastTx(0, &tx, map, 0, mac, reason, sizeof reason), 0); // map cleared: 0 used

    // Two senders, one group and port: both feed receive stream 0, source not compared.
    sdpInfo rs = mkSdp(0x0A000063u, kGroup, 5004, 2, 3);
    ASSERT_EQ(RtpAudio_setMcastRx(0, &rs, map, 2, reason, sizeof reason), 0);
    int32_t route[2] = {0, 1};
    RtpAudio_setChRx(route, 2);
    std::vector<int32_t> out = block(P, 2);
    const uint32_t R = 100000;
    RtpAudio_periodRx(out.data(), 2, 2, R); // read time R + P
    int s1 = sock(kLo, 0), s2 = sock(0x7F000002u, 0);
    ASSERT_GE(s1, 0);
    ASSERT_GE(s2, 0);
    Net_setMcastIf(s1, kLo);
    Net_setMcastIf(s2, kLo);
    auto a = rtpPayload(R + P - 192 + P, 2, 3, P, l24);      // read time R + 2P
    auto b = rtpPayload(R + P - 192 + 2 * P, 2, 3, P, l24);  // read time R + 3P
    ASSERT_EQ(Net_sendTo(s1, a.data(), a.size(), kGroup, 5004), int(a.size()));
    ASSERT_EQ(Net_sendTo(s2, b.data(), b.size(), kGroup, 5004), int(b.size()));
    int got = 0;
    for (int i = 0; i < 100 && got < 2; ++i) {
        got += RtpAudio_drainSocket();
        if (got < 2) Net_waitReadable(&rtp, 1, 10);
    }
    ASSERT_EQ(got, 2);
    RtpRxStats st{};
    ASSERT_TRUE(RtpAudio_getRxStats(RtpAudio_rxStreamIndex(true, 0), &st));
    EXPECT_EQ(st.total, 2u);
    RtpAudio_periodRx(out.data(), 2, 2, R + P);
    EXPECT_EQ(out[0], l24(0, 0) & int32_t(0xFFFFFF00u));
    RtpAudio_periodRx(out.data(), 2, 2, R + 2 * P);
    EXPECT_EQ(out[3], l24(1, 1) & int32_t(0xFFFFFF00u));

    // Leaving through the discovery socket drops the RTP socket's membership.
    EXPECT_EQ(RtpAudio_joinGroup(disc, kGroup, kLo, false), 0);
    EXPECT_LT(RtpAudio_joinGroup(disc, kGroup, kLo, false), 0); // not a member any more
    RtpAudio_setRtpSocket(-1);
    // No RTP socket (the driver carries the audio): the membership stays on the given
    // socket, so the computer takes the group's datagrams for the driver.
    EXPECT_EQ(RtpAudio_joinGroup(disc, kGroup, kLo, true), 0);
    EXPECT_EQ(RtpAudio_joinGroup(disc, kGroup, kLo, false), 0);
    Net_close(rtp);

    // An RTP socket bound to its unicast address still receives the groups it joins.
    int bound = sock(kLo, 5008);
    ASSERT_GE(bound, 0);
    RtpAudio_setRtpSocket(bound);
    sdpInfo rs8 = mkSdp(0x0A000063u, kGroup, 5008, 2, 3);
    ASSERT_EQ(RtpAudio_setMcastRx(1, &rs8, map, 2, reason, sizeof reason), 0);
    ASSERT_EQ(RtpAudio_joinGroup(disc, kGroup, kLo, true), 0);
    auto c8 = rtpPayload(R + 3 * P - 192 + P, 2, 3, P, l24);
    ASSERT_EQ(Net_sendTo(s1, c8.data(), c8.size(), kGroup, 5008), int(c8.size()));
    got = 0;
    for (int i = 0; i < 100 && got < 1; ++i) {
        got += RtpAudio_drainSocket();
        if (got < 1) Clock_sleepMs(10);
    }
    EXPECT_EQ(got, 1);
    ASSERT_TRUE(RtpAudio_getRxStats(RtpAudio_rxStreamIndex(true, 1), &st));
    EXPECT_EQ(st.total, 1u);
    RtpAudio_setRtpSocket(-1);
    Net_close(bound);
    Net_close(s1);
    Net_close(s2);
    Net_close(disc);
}

TEST(RtpAudio, StatisticsClassesDiscontinuitiesReadResetAndSettling) {
    prepare(2, 2);
    char reason[256];
    sdpInfo s = mkSdp(0x0A000001u, kGroup, 5004, 1, 2);
    int32_t map[1] = {0};
    ASSERT_EQ(RtpAudio_setMcastRx(0, &s, map, 1, reason, sizeof reason), 0);
    const int idx = RtpAudio_rxStreamIndex(true, 0);
    EXPECT_EQ(idx, RtpAudio_getNum(RTP_UCAST_RX));
    auto send = [&](uint32_t ts) {
        auto p = wrap(rtpPayload(ts, 1, 2, P, l24), 0x0A000002u, kGroup, 5004);
        RtpAudio_packetInput(p.data(), p.size());
    };
    // Delay e = now - ts - F frames; 1 frame = 20.8 us at 48 kHz.
    RtpAudio_setNow(10000 + P + 4);   // e = 4   -> 83 us
    send(10000);
    RtpAudio_setNow(10048 + P + 100); // e = 100 -> 100 x 166 / 8 = 2075 us
    send(10048);
    RtpAudio_setNow(10096 + P + 300); // e = 300 -> 6225 us
    send(10096);
    RtpRxStats st{};
    ASSERT_TRUE(RtpAudio_getRxStats(idx, &st));
    EXPECT_EQ(st.total, 3u);
    EXPECT_EQ(st.in125, 1u);
    EXPECT_EQ(st.in4ms, 1u);
    EXPECT_EQ(st.out4ms, 1u);
    EXPECT_EQ(st.sumUs, 83u + 2075u + 6225u);
    EXPECT_EQ(st.maxUs, 6225);
    EXPECT_EQ(st.maxRtpTsOffset, 300);
    EXPECT_EQ(st.notContinue, 0u);
    EXPECT_EQ(RtpAudio_takeMaxDelayMs(idx), 6);
    EXPECT_EQ(RtpAudio_takeMaxDelayMs(idx), 0); // nothing arrived in between

    // 300 gaps of 10 frames (not whole packets): the count since last read stops at 255.
    uint32_t ts = 10096;
    for (int i = 0; i < 300; ++i) {
        ts += P + 10;
        RtpAudio_setNow(ts + P);
        send(ts);
    }
    ASSERT_TRUE(RtpAudio_getRxStats(idx, &st));
    EXPECT_EQ(st.notContinue, 300u);
    EXPECT_EQ(st.exceedDelay & 0xFFFFu, 10u);
    EXPECT_EQ(st.exceedDelay >> 16, 300u);
    EXPECT_EQ(RtpAudio_takeNotContCount(idx), 255);
    EXPECT_EQ(RtpAudio_takeNotContCount(idx), 0);
    ts += 2 * P; // one packet missing: a discontinuity of whole packets
    send(ts);
    ASSERT_TRUE(RtpAudio_getRxStats(idx, &st));
    EXPECT_EQ(st.exceedDelay >> 16, 300u);
    EXPECT_EQ(st.notContCount, 1u);

    RtpAudio_clrRxStats(idx);
    ASSERT_TRUE(RtpAudio_getRxStats(idx, &st));
    EXPECT_EQ(st.total, 0u);
    EXPECT_EQ(st.notContinue, 0u);
    // Setting the stream incomplete clears its statistics too.
    ts += P;
    send(ts);
    ASSERT_TRUE(RtpAudio_getRxStats(idx, &st));
    EXPECT_EQ(st.total, 1u);
    sdpInfo off = s;
    off.chNum = 0;
    ASSERT_EQ(RtpAudio_setMcastRx(0, &off, map, 0, reason, sizeof reason), 0);
    ASSERT_TRUE(RtpAudio_getRxStats(idx, &st));
    EXPECT_EQ(st.total, 0u);
    ASSERT_EQ(RtpAudio_setMcastRx(0, &s, map, 1, reason, sizeof reason), 0);

    // Sixteen seconds of packets settle the statistics once.
    for (int i = 0; i < 16000; ++i) {
        ts += P;
        RtpAudio_setNow(ts + P + 300);
        send(ts);
    }
    ASSERT_TRUE(RtpAudio_getRxStats(idx, &st));
    EXPECT_EQ(st.settled, 1u);
    EXPECT_EQ(st.total, 0u);
    EXPECT_EQ(st.out4ms, 0u);
    ts += P;
    send(ts);
    ASSERT_TRUE(RtpAudio_getRxStats(idx, &st));
    EXPECT_EQ(st.total, 1u);
    EXPECT_EQ(st.settled, 1u);
}

TEST(RtpAudio, MetersDscpRefreshAndTemplates) {
    prepare(2, 2);
    std::vector<int32_t> in = block(P, 2), out = block(P, 2);
    for (int k = 0; k < P; ++k) in[size_t(k) * 2] = 0x40000000; // (>> 16)^2 = 2^28
    int32_t txRoute[2] = {1, -1};
    RtpAudio_setChTx(txRoute, 2);
    int32_t rxRoute[2] = {1, 1};
    RtpAudio_setChRx(rxRoute, 2);
    uint32_t vol[2];
    uint32_t T = 9600;
    for (int i = 0; i < 42; ++i, T += P) {
        RtpAudio_periodTx(in.data(), 2, 2, T);
        RtpAudio_periodRx(out.data(), 2, 2, T);
    }
    RtpAudio_getVolumeTx(vol, 2);
    EXPECT_EQ(vol[0], 0u); // 2016 frames: not yet published
    RtpAudio_periodTx(in.data(), 2, 2, T);
    RtpAudio_periodRx(out.data(), 2, 2, T);
    EXPECT_EQ(RtpAudio_getVolumeTx(vol, 2), 2);
    EXPECT_EQ(vol[0], uint32_t((uint64_t(2064) << 28) >> 11));
    EXPECT_EQ(vol[1], 0u);
    RtpAudio_getVolumeRx(vol, 2);
    EXPECT_EQ(vol[0], 0u);
    EXPECT_GT(vol[1], 0u); // rx channel 1 is fed by the local copy
    EXPECT_EQ(out[0], 0x40000000);

    char reason[256];
    uint8_t mac[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    sdpInfo u = mkSdp(0x0A000001u, 0x0A000002u, 6000, 2, 3);
    int32_t map[2] = {0, 1};
    ASSERT_EQ(RtpAudio_setUcastTx(0, &u, map, 2, mac, reason, sizeof reason), 0);
    uint8_t t[42];
    ASSERT_TRUE(RtpAudio_getTxTemplate(false, 0, t));
    EXPECT_EQ(std::memcmp(t, mac, 6), 0);
    EXPECT_EQ(t[12], 0x08);
    EXPECT_EQ(t[13], 0x00);
    EXPECT_EQ(t[14], 0x45);
    EXPECT_EQ(t[15], 34 * 4);
    EXPECT_EQ(t[14 + 8], 15);
    EXPECT_EQ(t[14 + 9], 17);
    EXPECT_EQ(be32(t + 26), 0x0A000001u);
    EXPECT_EQ(be32(t + 30), 0x0A000002u);
    EXPECT_EQ((t[34] << 8) | t[35], 5004);
    EXPECT_EQ((t[36] << 8) | t[37], 6000);
    // A DSCP change reaches every one of the 144 templates within 144 periods.
    RtpAudio_setDscp(46);
    for (int i = 0; i < 143; ++i, T += P) RtpAudio_periodTx(in.data(), 2, 2, T);
    int changed = 0;
    for (int i = 0; i < RTP_MAX_UCAST_NUM; ++i) changed += RtpAudio_getTxTemplate(false, i, t) && t[15] == 46 * 4;
    for (int i = 0; i < RTP_MAX_MCAST_NUM; ++i) changed += RtpAudio_getTxTemplate(true, i, t) && t[15] == 46 * 4;
    EXPECT_EQ(changed, 143);
    RtpAudio_periodTx(in.data(), 2, 2, T);
    changed = 0;
    for (int i = 0; i < RTP_MAX_UCAST_NUM; ++i) changed += RtpAudio_getTxTemplate(false, i, t) && t[15] == 46 * 4;
    for (int i = 0; i < RTP_MAX_MCAST_NUM; ++i) changed += RtpAudio_getTxTemplate(true, i, t) && t[15] == 46 * 4;
    EXPECT_EQ(changed, 144);
}

TEST(RtpAudio, MalformedDatagramsAreDroppedWithoutTouchingOtherStreams) {
    prepare(2, 2);
    char reason[256];
    sdpInfo s = mkSdp(0x0A000001u, kGroup, 5004, 2, 2);
    int32_t map[2] = {0, 1};
    ASSERT_EQ(RtpAudio_setMcastRx(0, &s, map, 2, reason, sizeof reason), 0);
    sdpInfo s2 = mkSdp(0x0A000001u, kGroup + 1, 5004, 1, 4);
    int32_t map2[1] = {1};
    ASSERT_EQ(RtpAudio_setMcastRx(1, &s2, map2, 1, reason, sizeof reason), 0);
    int32_t route[2] = {0, 1};
    RtpAudio_setChRx(route, 2);
    std::vector<int32_t> out = block(P, 2);
    const uint32_t T = 48000;
    RtpAudio_periodRx(out.data(), 2, 2, T);
    auto good = wrap(rtpPayload(T + P - 192 + P, 2, 2, P, l24), 0x0A000002u, kGroup, 5004);

    // A UDP length that claims more than is there; one that claims less than a header;
    // an IPv4 header with options; another protocol; too short for a frame; another port.
    std::vector<std::vector<uint8_t>> bad;
    auto v = good;
    v[24] = 0xFF;
    bad.push_back(v);
    v = good;
    v[24] = 0;
    v[25] = 7;
    bad.push_back(v);
    v = good;
    v[0] = 0x46;
    bad.push_back(v);
    v = good;
    v[9] = 6;
    bad.push_back(v);
    bad.push_back(wrap(std::vector<uint8_t>(12 + 3, 0x55), 0x0A000002u, kGroup, 5004));
    v = good;
    v[23] = 0x8D; // port 5005
    bad.push_back(v);
    bad.push_back(std::vector<uint8_t>(good.begin(), good.begin() + 27));
    // A datagram longer than any stream sends.
    bad.push_back(wrap(std::vector<uint8_t>(1472, 0x80), 0x0A000002u, kGroup, 5004));
    for (auto& b : bad) RtpAudio_packetInput(b.data(), b.size());
    RtpAudio_packetInput(nullptr, 100);
    RtpRxStats st{};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(RtpAudio_getRxStats(RtpAudio_rxStreamIndex(true, i), &st));
        EXPECT_EQ(st.total, 0u) << i;
    }
    // A good one for stream 0 leaves stream 1's channel alone.
    RtpAudio_packetInput(good.data(), good.size());
    ASSERT_TRUE(RtpAudio_getRxStats(RtpAudio_rxStreamIndex(true, 1), &st));
    EXPECT_EQ(st.total, 0u);
    RtpAudio_periodRx(out.data(), 2, 2, T + P);
    EXPECT_EQ(out[0], l24(0, 0) & int32_t(0xFFFF0000u));
    EXPECT_EQ(out[1], l24(0, 1) & int32_t(0xFFFF0000u));

    // A unicast datagram whose mask names channels beyond chNum only: no frames, dropped.
    sdpInfo u = mkSdp(0x0A000002u, 0x0A000003u, 5004, 2, 2);
    ASSERT_EQ(RtpAudio_setUcastRx(0, &u, map, 2, reason, sizeof reason), 0);
    std::vector<uint8_t> up(8 + 4 * P, 0x11);
    up[0] = 0;
    up[1] = 0xFC;
    up[2] = 0;
    up[3] = 0;
    auto upk = wrap(up, 0x0A000002u, 0x0A000003u, 5004);
    RtpAudio_packetInput(upk.data(), upk.size());
    up[2] = 0xFF; // stream index 65280
    upk = wrap(up, 0x0A000002u, 0x0A000003u, 5004);
    RtpAudio_packetInput(upk.data(), upk.size());
    ASSERT_TRUE(RtpAudio_getRxStats(RtpAudio_rxStreamIndex(false, 0), &st));
    EXPECT_EQ(st.total, 0u);
}

TEST(RtpAudio, EverySendModeDeliversSeparateDatagrams) {
    if (!g_netns) GTEST_SKIP() << "no network namespace of our own (needs CAP_SYS_ADMIN)";
    prepare(8, 2);
    uint16_t rport = 0;
    int rtp = sock(kLo, 5004);
    int rx = sock(kLo, 0, &rport);
    ASSERT_GE(rtp, 0);
    ASSERT_GE(rx, 0);
    RtpAudio_setRtpSocket(rtp);
    char reason[256];
    uint8_t mac[6] = {};
    // Three equal streams to one destination (one segmented send in mode 2), one other.
    for (int i = 0; i < 4; ++i) {
        sdpInfo s = mkSdp(kLo, kLo, rport, uint8_t(i < 3 ? 2 : 1), 2, uint32_t(10 + i));
        int32_t map[2] = {i, i + 1};
        ASSERT_EQ(RtpAudio_setUcastTx(i, &s, map, s.chNum, mac, reason, sizeof reason), 0) << reason;
    }
    std::vector<int32_t> in = block(P, 8);
    for (int k = 0; k < P; ++k)
        for (int c = 0; c < 8; ++c) in[size_t(k) * 8 + c] = (c + 1) << 24;
    for (int mode = 0; mode < 3; ++mode) {
        RtpAudio_setBatchSend(mode);
        RtpAudio_periodTx(in.data(), 8, 8, 1000);
        uint8_t buf[70000];
        for (int i = 0; i < 4; ++i) {
            int n = recvWait(rx, buf, sizeof buf);
            ASSERT_EQ(n, 8 + (i < 3 ? 2 : 1) * P * 2) << "mode " << mode << " stream " << i;
            EXPECT_EQ((buf[2] << 8) | buf[3], 10 + i);
            EXPECT_EQ(buf[8], i + 1);               // first sample of stream channel 0
            if (i < 3) {
                EXPECT_EQ(buf[8 + P * 2], i + 2); // and of stream channel 1
            }
        }
    }
    RtpAudio_setRtpSocket(-1);
    Net_close(rtp);
    Net_close(rx);
}

// Reads one datagram with the TOS byte it arrived with (the sink has IP_RECVTOS on).
int recvTos(int fd, uint8_t* buf, size_t cap, int* tos) {
    *tos = -1;
    for (int i = 0; i < 100; ++i) {
        iovec iov{buf, cap};
        alignas(cmsghdr) char ctl[64];
        msghdr mh{};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = ctl;
        mh.msg_controllen = sizeof ctl;
        ssize_t n = recvmsg(fd, &mh, MSG_DONTWAIT);
        if (n >= 0) {
            for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c))
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS) *tos = *CMSG_DATA(c);
            return int(n);
        }
        Net_waitReadable(&fd, 1, 10);
    }
    return -1;
}

// Both stream kinds leave with TOS = DSCP x 4 and follow a DSCP change from the next
// period. A multicast datagram carries its stream's timestamp offset (wrapping past
// 2^32), and a receiver given the same offset plays it where its link offset says.
TEST(RtpAudio, DatagramsCarryTheDscpAndTheAnnouncedOffset) {
    if (!g_netns) GTEST_SKIP() << "no network namespace of our own (needs CAP_SYS_ADMIN)";
    prepare(2, 2);
    uint16_t port = 0;
    int rtp = sock(0, 5004), sink = sock(0, 0, &port);
    ASSERT_GE(rtp, 0);
    ASSERT_GE(sink, 0);
    ASSERT_EQ(Net_setMcastIf(rtp, kLo), 0);
    ASSERT_EQ(Net_joinGroup(sink, kGroup, kLo), 0);
    int on = 1;
    ASSERT_EQ(setsockopt(sink, IPPROTO_IP, IP_RECVTOS, &on, sizeof on), 0);
    RtpAudio_setRtpSocket(rtp);
    char reason[256];
    uint8_t mac[6] = {};
    int32_t map[2] = {0, 1};
    const uint32_t off = 0xFFFFFFF0u;
    sdpInfo m = mkSdp(kLo, kGroup, port, 2, 3, off), u = mkSdp(kLo, kLo, port, 2, 3, 7);
    ASSERT_EQ(RtpAudio_setMcastTx(0, &m, map, 2, mac, reason, sizeof reason), 0) << reason;
    ASSERT_EQ(RtpAudio_setUcastTx(0, &u, map, 2, mac, reason, sizeof reason), 0) << reason;
    std::vector<int32_t> in = block(P, 2);
    for (int k = 0; k < P; ++k) in[size_t(k) * 2] = int32_t(uint32_t(0x100 + k) << 16);
    const uint32_t T = 100 + P; // the datagrams stand for media time 100
    uint8_t buf[1600], mcast[1600];
    int mlen = 0;
    for (int dscp : {34, 46}) {
        RtpAudio_setDscp(uint8_t(dscp));
        RtpAudio_periodTx(in.data(), 2, 2, T);
        for (int i = 0; i < 2; ++i) {
            int tos = -1;
            const int n = recvTos(sink, buf, sizeof buf, &tos);
            ASSERT_GT(n, 8);
            EXPECT_EQ(tos, dscp * 4) << "datagram " << i << " of DSCP " << dscp;
            if (buf[0] == 0x80) {
                EXPECT_EQ(be32(buf + 4), 100u + off); // 84 after the wrap
                std::memcpy(mcast, buf, size_t(n));
                mlen = n;
            } else {
                EXPECT_EQ(be32(buf + 4), 100u); // unicast: no offset, its field is the stream index
            }
        }
    }
    ASSERT_EQ(mlen, 12 + P * 2 * 3);

    sdpInfo rs = mkSdp(kLo, kGroup, port, 2, 3, off);
    ASSERT_EQ(RtpAudio_setMcastRx(0, &rs, map, 2, reason, sizeof reason), 0) << reason;
    int32_t route[2] = {0, 1};
    RtpAudio_setChRx(route, 2);
    std::vector<int32_t> out = block(P, 2);
    const uint32_t L = uint32_t(RtpAudio_getLinkOffset());
    RtpAudio_periodRx(out.data(), 2, 2, 100 + L - 2 * P); // read time 100 + L - P
    auto d = wrap(std::vector<uint8_t>(mcast, mcast + mlen), kLo, kGroup, port);
    RtpAudio_packetInput(d.data(), d.size());
    RtpAudio_periodRx(out.data(), 2, 2, 100 + L - P); // read time 100 + L: this datagram
    EXPECT_EQ(out[0], int32_t(0x100u << 16));
    EXPECT_EQ(out[2 * (P - 1)], int32_t(uint32_t(0x100 + P - 1) << 16));
    RtpAudio_setDscp(RTP_DEFAULT_DSCP);
    RtpAudio_setRtpSocket(-1);
    Net_close(rtp);
    Net_close(sink);
}

TEST(RtpAudio, PlayedPeriodsAreWipedSoALostDatagramIsSilence) {
    // 2 receive channels, a buffer cycle of 8 periods. A datagram that never comes
    // must give a period of silence, not the audio of one buffer cycle before.
    prepare(2, 2);
    char reason[256];
    sdpInfo s = mkSdp(0x0A000001u, kGroup, 5004, 2, 4);
    int32_t map[2] = {0, 1};
    ASSERT_EQ(RtpAudio_setMcastRx(0, &s, map, 2, reason, sizeof reason), 0);
    RtpAudio_setChRx(map, 2);
    const uint32_t T = 960000, B = 384;
    std::vector<int32_t> out = block(P, 2);
    auto feed = [&](uint32_t m) { // a datagram whose media time (ts + 192) is m
        auto p = wrap(rtpPayload(m - 192, 2, 4, P, l24), 0x0A000002u, kGroup, 5004);
        RtpAudio_packetInput(p.data(), p.size());
    };
    auto period = [&](int c) { RtpAudio_periodRx(out.data(), 2, 2, T + uint32_t(c * P)); };
    period(0);
    feed(T + 2 * P); // lands at buffer offset P
    period(1);
    EXPECT_EQ(out[0], l24(0, 0));
    EXPECT_EQ(out[1], l24(0, 1));
    for (int c = 2; c <= 8; ++c) period(c);
    feed(T + 3 * P + B); // the stream goes on (both marks current) but this one is lost:
    period(9);           // offset P again, one buffer cycle later
    for (int k = 0; k < P * 2; ++k) ASSERT_EQ(out[size_t(k)], 0) << k;
    period(10);
    EXPECT_EQ(out[0], l24(0, 0));
    EXPECT_EQ(out[1], l24(0, 1));

    // A datagram for the period just played is late: dropped, not kept for the next
    // cycle; one for the next period plays.
    feed(T + 11 * P);
    feed(T + 12 * P);
    period(11);
    EXPECT_EQ(out[0], l24(0, 0));
    for (int c = 12; c <= 17; ++c) period(c);
    feed(T + 20 * P); // the stream goes on
    period(18); // plays T + 19P, the late one's place one cycle later: nothing fed for it
    for (int k = 0; k < P * 2; ++k) ASSERT_EQ(out[size_t(k)], 0) << k;

    // A re-alignment that moves the read position whole periods on keeps what is in at
    // its media time (the datagrams that queued while the engine was held up).
    feed(T + 22 * P);
    RtpAudio_seekRx(T + 21 * P);
    period(21); // plays T + 22P
    for (int k = 0; k < P; ++k) ASSERT_EQ(out[size_t(2 * k)], l24(k, 0)) << k;
    // Off the period grid (a driver's time base taken anew lands anywhere), wherever in
    // the buffer it lands, a period reads its own channel and nothing of the next one.
    for (uint32_t k = 0; k < B / uint32_t(P); ++k) {
        const uint32_t x = T + 23 * P + k * 2 * P + P / 2 + 5 * k;
        RtpAudio_seekRx(x);
        feed(x + P);
        RtpAudio_periodRx(out.data(), 2, 2, x);
        for (int f = 0; f < P; ++f) {
            ASSERT_EQ(out[size_t(2 * f)], l24(f, 0)) << "move " << k << " frame " << f;
            ASSERT_EQ(out[size_t(2 * f + 1)], l24(f, 1)) << "move " << k << " frame " << f;
        }
    }
}

// Every sample width in both formats, a channel carried by several streams at different
// widths, channels without input, and a muted period between two live ones: each payload
// byte against the top bytes of its sample.
TEST(RtpAudio, TransmitPayloadsOfEveryWidthFromSharedChannels) {
    if (!g_netns) GTEST_SKIP() << "no network namespace of our own (needs CAP_SYS_ADMIN)";
    prepare(6, 2);
    TxRig r;
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(Net_joinGroup(r.rtp, kGroup, kLo), 0); // our own group datagrams come back here
    RtpAudio_setRtpSocket(r.rtp);
    char reason[256];
    uint8_t mac[6] = {};
    struct Stream {
        bool mcast;
        uint8_t sb;
        std::vector<int32_t> map;
    };
    // Channels 4 and 5 are transmit channels without input in this block: silence.
    // Unicast channels carried once at a width are packed into their datagram, the
    // others (0 and 2 at three bytes, 2 twice in one stream) copied from a shared row.
    const std::vector<Stream> streams = {
        {false, 1, {0, 5, 2}}, {false, 2, {2, -1, 0}}, {false, 3, {2, 3, 1, 0}}, {false, 4, {3, 2}},
        {false, 3, {0, 2, 2}}, {true, 1, {1, -1, 3}},  {true, 2, {0, 4, 2}},     {true, 4, {3, 2}},
    };
    int u = 0, m = 0;
    for (const Stream& st : streams) {
        sdpInfo s = mkSdp(kLo, st.mcast ? kGroup : kLo, st.mcast ? 5004 : r.rport, uint8_t(st.map.size()), st.sb,
                          uint32_t(st.mcast ? 0 : 20 + u));
        if (st.mcast)
            ASSERT_EQ(RtpAudio_setMcastTx(m++, &s, st.map.data(), int(st.map.size()), mac, reason, sizeof reason), 0)
                << reason;
        else
            ASSERT_EQ(RtpAudio_setUcastTx(u++, &s, st.map.data(), int(st.map.size()), mac, reason, sizeof reason), 0)
                << reason;
    }
    std::vector<int32_t> in = block(P, 6);
    auto sample = [&](int k, int c) -> uint32_t { return c < 4 ? uint32_t(in[size_t(k) * 6 + size_t(c)]) : 0u; };
    auto check = [&](const Stream& st, const uint8_t* pl, int n, bool mute, int period) {
        const int chN = int(st.map.size());
        int sent = 0;
        for (int j = 0; j < chN; ++j) sent += st.map[size_t(j)] >= 0 ? 1 : 0;
        ASSERT_EQ(n, st.mcast ? P * chN * st.sb : P * sent * st.sb) << "period " << period;
        int cur = 0;
        for (int j = 0; j < chN; ++j) {
            const int c = st.map[size_t(j)];
            if (!st.mcast && c < 0) continue;
            for (int k = 0; k < P; ++k) {
                const uint32_t v = mute || c < 0 ? 0u : sample(k, c);
                const int at = st.mcast ? (k * chN + j) * st.sb : (cur * P + k) * st.sb;
                for (int b = 0; b < st.sb; ++b)
                    ASSERT_EQ(pl[at + b], uint8_t(v >> (24 - 8 * b)))
                        << "period " << period << " sb " << int(st.sb) << " j " << j << " k " << k << " byte " << b;
            }
            ++cur;
        }
    };
    for (int period = 0; period < 3; ++period) {
        for (int k = 0; k < P; ++k)
            for (int c = 0; c < 6; ++c)
                in[size_t(k) * 6 + size_t(c)] =
                    int32_t(0x80000000u + uint32_t(c) * 0x11223344u + uint32_t(k) * 0x01030507u + uint32_t(period) * 0x0A0B0C0Du);
        const bool mute = period == 1;
        RtpAudio_setRtpMute(mute);
        const uint32_t T = 9600 + uint32_t(period * P);
        RtpAudio_periodTx(in.data(), 6, 4, T);
        uint8_t buf[1600];
        int ui = 0, mi = 0;
        for (const Stream& st : streams) {
            int n = recvWait(st.mcast ? r.rtp : r.rx, buf, sizeof buf);
            const int hdr = st.mcast ? 12 : 8;
            ASSERT_GE(n, hdr);
            EXPECT_EQ(be32(buf + 4), T - P);
            if (st.mcast) {
                EXPECT_EQ((buf[2] << 8) | buf[3], period); // every stream has its own sequence
                ++mi;
            } else {
                EXPECT_EQ((buf[2] << 8) | buf[3], 20 + ui);
                uint8_t mask = 0;
                for (size_t j = 0; j < st.map.size(); ++j) mask |= uint8_t(st.map[j] >= 0 ? 1u << j : 0u);
                EXPECT_EQ(buf[1], mask);
                ++ui;
            }
            check(st, buf + hdr, n - hdr, mute, period);
        }
        EXPECT_EQ(ui + mi, int(streams.size()));
    }
    RtpAudio_setRtpMute(false);
}

// A card holds each datagram until it has gone out, and the socket is charged for it
// until then. A maximum period (144 datagrams of 1 ms) must still be taken whole while
// the link is slow; a slow queue on our loopback stands in for the card.
TEST(RtpAudio, MaximumPeriodIsTakenWholeWhileTheLinkHoldsItsDatagrams) {
    if (!g_netns) GTEST_SKIP() << "no network namespace of our own (needs CAP_SYS_ADMIN)";
    if (std::system("tc qdisc add dev lo root tbf rate 8kbit burst 2000 limit 4000000 2>/dev/null") != 0)
        GTEST_SKIP() << "no tbf queue discipline";
    prepare(128, 2);
    TxRig r;
    ASSERT_TRUE(r.ok());
    RtpAudio_setRtpSocket(r.rtp);
    char reason[256];
    uint8_t mac[6] = {};
    ASSERT_EQ(RtpAudio_getNum(RTP_UCAST_TX), 128);
    ASSERT_EQ(RtpAudio_getNum(RTP_MCAST_TX), 16);
    for (int i = 0; i < 128; ++i) {
        int32_t map[8];
        for (int j = 0; j < 8; ++j) map[j] = (i * 8 + j) % 128;
        sdpInfo s = mkSdp(kLo, kLo, r.rport, 8, 3, uint32_t(i));
        ASSERT_EQ(RtpAudio_setUcastTx(i, &s, map, 8, mac, reason, sizeof reason), 0) << reason;
    }
    for (int i = 0; i < 16; ++i) {
        int32_t map[8];
        for (int j = 0; j < 8; ++j) map[j] = i * 8 + j;
        sdpInfo s = mkSdp(kLo, kGroup + uint32_t(i), 5004, 8, 3);
        ASSERT_EQ(RtpAudio_setMcastTx(i, &s, map, 8, mac, reason, sizeof reason), 0) << reason;
    }
    std::vector<int32_t> in = block(P, 128);
    const long long before = Net_udpOutDatagrams();
    for (int n = 0; n < 2; ++n) RtpAudio_periodTx(in.data(), 128, 128, 4800 + uint32_t(n * P));
    const long long after = Net_udpOutDatagrams();
    EXPECT_EQ(std::system("tc qdisc del dev lo root"), 0);
    ASSERT_GE(before, 0);
    EXPECT_EQ(after - before, 2 * 144);
}

// Bad input on the RTP socket: a burst of 10,000 datagrams in one period, datagrams for
// streams that do not exist, and datagrams of every length a UDP socket can take. Every
// datagram is read and accounted for, a stream counts exactly the datagrams it should,
// and one drain reads a bounded number of datagrams, so the next period is not held up.
TEST(RtpAudio, BurstsEveryLengthAndUnknownStreamsAreReadAndCountedInBoundedDrains) {
    if (!g_netns) GTEST_SKIP() << "no network namespace of our own (needs CAP_SYS_ADMIN)";
    prepare(2, 2);
    int rtp = sock(0, 5004);
    ASSERT_GE(rtp, 0);
    Net_setPktInfo(rtp, 1);
    const int room = 64 << 20; // the whole burst waits in the socket
    ASSERT_EQ(setsockopt(rtp, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room), 0);
    ASSERT_EQ(Net_joinGroup(rtp, kGroup, kLo), 0);
    ASSERT_EQ(Net_joinGroup(rtp, kGroup + 1, kLo), 0); // a group no stream takes
    RtpAudio_setRtpSocket(rtp);
    char reason[256];
    int32_t map[2] = {0, 1};
    sdpInfo u = mkSdp(kLo, kLo, 5004, 2, 2);
    ASSERT_EQ(RtpAudio_setUcastRx(0, &u, map, 2, reason, sizeof reason), 0);
    sdpInfo m = mkSdp(0x0A000001u, kGroup, 5004, 2, 2);
    ASSERT_EQ(RtpAudio_setMcastRx(0, &m, map, 2, reason, sizeof reason), 0);
    std::vector<int32_t> out = block(P, 2);
    RtpAudio_periodRx(out.data(), 2, 2, 48000);
    int s = sock(kLo, 0);
    ASSERT_GE(s, 0);
    Net_setMcastIf(s, kLo);
    const int uIdx = RtpAudio_rxStreamIndex(false, 0), mIdx = RtpAudio_rxStreamIndex(true, 0);
    RtpRxStats st{};
    auto total = [&](int idx) { return RtpAudio_getRxStats(idx, &st) ? st.total : ~0u; };
    // Drains until want datagrams came in; false when one drain read more than its bound.
    const int bound = 4 * NETBATCH_RX_MAX;
    auto drainAll = [&](int want, int* read) {
        for (int i = 0; i < 1000 && *read < want; ++i) {
            const int n = RtpAudio_drainSocket();
            if (n > bound) return false;
            *read += n;
            if (*read < want) Net_waitReadable(&rtp, 1, 10);
        }
        return true;
    };

    // Unicast payload for stream index idx (mask: channels 0 and 1), L bytes long.
    std::vector<uint8_t> buf(65507, 0x5A);
    auto ucast = [&](uint16_t idx) {
        buf[0] = 0;
        buf[1] = 3;
        buf[2] = uint8_t(idx >> 8);
        buf[3] = uint8_t(idx);
        for (int b = 4; b < 8; ++b) buf[size_t(b)] = 0;
    };
    std::vector<uint8_t> mc = rtpPayload(48000, 2, 2, P, l24), ucTo0(8 + 4 * P), ucTo7fff(8 + 4 * P);
    ucast(0);
    std::copy(buf.begin(), buf.begin() + long(ucTo0.size()), ucTo0.begin());
    ucast(0x7FFF); // beyond the stream table
    std::copy(buf.begin(), buf.begin() + long(ucTo7fff.size()), ucTo7fff.begin());

    // The burst: a quarter each for the unicast stream, a stream index beyond the table,
    // the multicast stream and a group without a stream, all sent before one drain.
    std::vector<NetDatagram> burst(10000);
    for (int i = 0; i < 10000; ++i) {
        const bool group = i % 4 >= 2;
        const std::vector<uint8_t>& p = group ? mc : i % 2 ? ucTo7fff : ucTo0;
        burst[size_t(i)] = NetDatagram{p.data(), uint32_t(p.size()), group ? kGroup + uint32_t(i % 2) : kLo, 5004};
    }
    ASSERT_EQ(NetBatch_send(s, burst.data(), 10000), 10000);
    const int first = RtpAudio_drainSocket();
    EXPECT_GT(first, 0);
    EXPECT_LE(first, bound);
    int read = first;
    EXPECT_TRUE(drainAll(10000, &read));
    EXPECT_EQ(read, 10000);
    EXPECT_EQ(total(uIdx), 2500u);
    EXPECT_EQ(total(mIdx), 2500u);
    EXPECT_EQ(total(RtpAudio_rxStreamIndex(false, 1)), 0u); // in the table, but incomplete

    // Every length from 0 to 65,507 bytes to unicast stream 0: those from one whole
    // frame (12 bytes) up to the largest payload packet input takes (1471) count; the
    // longer ones are cut by the batch and dropped, the shorter ones carry no frame.
    RtpAudio_clrRxStats(uIdx);
    ucast(0);
    read = 0;
    for (int len = 0; len <= 65507; ++len) {
        ASSERT_EQ(Net_sendTo(s, buf.data(), size_t(len), kLo, 5004), len);
        if (len % 64 == 63 || len == 65507) {
            ASSERT_TRUE(drainAll(len + 1, &read));
        }
    }
    EXPECT_EQ(read, 65508);
    EXPECT_EQ(total(uIdx), uint32_t(RTP_MAX_UDP_PAYLOAD - 12 + 1));
    EXPECT_EQ(total(mIdx), 2500u);

    RtpAudio_setRtpSocket(-1);
    Net_close(s);
    Net_close(rtp);
}
