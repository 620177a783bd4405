// Packet input of the RTP stream layer with datagrams of any content and length.
// Byte 0 of an input picks how the rest is used:
//   even: the rest is a whole IPv4 datagram, as it stands;
//   odd:  the rest is a UDP payload, wrapped for one of the configured streams (bits 1-3
//         pick the stream), so the deep paths are reached;
// byte 0 bit 4 also runs a period before and after, so the read position moves.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/rtp/RtpAudio.h"

namespace {

constexpr uint32_t kGroup = 0xEF010203u;
constexpr uint32_t kPeer = 0x0A000002u, kSelf = 0x0A000001u;
constexpr int kCh = 8, kP = 48;
int32_t g_in[kP * kCh], g_out[kP * kCh];
uint32_t g_ts = 4800000;

void setup() {
    RtpAudio_reset();
    RtpOutBlockDesc d{kCh, kP, g_out, kCh * 4};
    RtpAudio_afterDspPrepare(kCh, &d, 48000);
    char reason[256];
    int32_t map[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    int32_t sparse[8] = {7, -1, 300, 2, -5, 1, 0, 6};
    for (int i = 0; i < 4; ++i) {
        sdpInfo m{kPeer, kGroup + uint32_t(i % 2), uint16_t(5004 + i / 2), uint8_t(1 + i * 2), uint8_t(1 + i), uint32_t(i * 1000)};
        RtpAudio_setMcastRx(i, &m, i % 2 ? sparse : map, m.chNum, reason, sizeof reason);
        sdpInfo u{kPeer, kSelf, 5004, uint8_t(8 - i), uint8_t(4 - i), 0};
        RtpAudio_setUcastRx(i, &u, i % 2 ? map : sparse, u.chNum, reason, sizeof reason);
    }
    int32_t route[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    RtpAudio_setChRx(route, kCh);
    int32_t txRoute[8] = {-1, 3, -1, -1, 200, -1, -1, -1};
    RtpAudio_setChTx(txRoute, kCh);
    RtpAudio_periodRx(g_out, kCh, kCh, g_ts);
}

void period() {
    g_ts += kP;
    RtpAudio_setNow(g_ts + kP);
    RtpAudio_periodTx(g_in, kCh, kCh, g_ts);
    RtpAudio_periodRx(g_out, kCh, kCh, g_ts);
}

uint8_t g_pkt[2048];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (setup(), true);
    (void)ready;
    if (size < 1) return 0;
    const uint8_t sel = data[0];
    if (sel & 0x10) period();
    if (!(sel & 1)) {
        RtpAudio_packetInput(data + 1, size - 1);
    } else {
        static const uint32_t dst[4] = {kGroup, kGroup + 1, kSelf, kSelf};
        static const uint16_t port[4] = {5004, 5005, 5004, 5004};
        int k = (sel >> 1) & 3;
        size_t n = RtpAudio_wrapDatagram(g_pkt, sizeof g_pkt, data + 1, size - 1, kPeer, 5004, dst[k], port[k]);
        if (n) RtpAudio_packetInput(g_pkt, n);
    }
    if (sel & 0x10) period();
    return 0;
}
