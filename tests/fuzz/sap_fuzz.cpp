// The SAP reader and the multicast receive refresh: any datagram, against a record with
// receive entries that a foreign announcement can match. An accepted announcement must
// describe a valid stream, and only an entry with the same destination, port, channel
// count and sample width may change.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "route/routeApi.h"
#include "route/routeImpl_c.h"
#include "route/sap.h"

static void resetDev() {
    std::memset(&g_dev, 0, sizeof g_dev);
    g_dev.mcastNumRx = 16;
    g_dev.discoverySock = g_dev.commandSock = -1;
    for (auto& e : g_dev.mcastArrRx) Dev_clearSdpRx(&e);
    for (int i = 0; i < 4; i++) {
        SdpRx& e = g_dev.mcastArrRx[i * 3];
        e.sdp = sdpInfo{0xC0A80163u, 0xEF450102u + uint32_t(i), 5004, uint8_t(1 + i), uint8_t(2 + i % 3), 0};
        e.rtpChId[0] = i;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    resetDev();
    SapInfo in;
    if (Sap_read(data, size, &in)) {
        if (!Dev_sdpValid(&in.sdp)) std::abort();
        if (std::memchr(in.name, 0, sizeof in.name) == nullptr) std::abort();
        if (std::strlen(in.gmClkId) > SAP_GMID_LEN) std::abort();
    }
    // The loop hands the handler a NUL-terminated datagram of at most 1499 bytes.
    static char buf[1500];
    size_t n = size < 1499 ? size : 1499;
    std::memcpy(buf, data, n);
    buf[n] = 0;
    SdpRx before[RTP_MAX_MCAST_NUM];
    std::memcpy(before, g_dev.mcastArrRx, sizeof before);
    Sap_handleDatagram(-1, buf, int(n), sizeof buf, 0, 0);
    for (int i = 0; i < RTP_MAX_MCAST_NUM; i++) {
        const SdpRx& a = before[i];
        const SdpRx& b = g_dev.mcastArrRx[i];
        if (std::memcmp(&a, &b, sizeof a) == 0) continue;
        if (a.sdp.dstIp != b.sdp.dstIp || a.sdp.dstPort != b.sdp.dstPort || a.sdp.chNum != b.sdp.chNum ||
            a.sdp.sampleByteNum != b.sdp.sampleByteNum || std::memcmp(a.rtpChId, b.rtpChId, sizeof a.rtpChId) != 0)
            std::abort();
    }
    return 0;
}
