// Engine start-up of VelunorRoute: the engine words, the virtual phy, the RTP socket and
// the engine thread.
#include "engine/testKo_ko.h"

#include <atomic>
#include <cstdio>

#include "engine/AudioPhy.h"
#include "engine/Msg.h"
#include "engine/TimerManager_c.h"
#include "engine/rtp/RtpAudio.h"
#include "engine/testKo_route.h"
#include "platform/diag.h"
#include "platform/net.h"

static const char* const UNIT = "testKo_ko";

static int s_rtpSock = -1;
static std::atomic<uint32_t> s_ownIp{0};

int init_ko(int argc, char** argv) {
    // A second start-up (tests) starts from a clean engine.
    if (s_rtpSock >= 0) {
        Net_close(s_rtpSock);
        s_rtpSock = -1;
    }
    RtpAudio_setRtpSocket(-1);
    TimerManager_setPhy(nullptr);
    TimerManager_reset();
    RtpAudio_reset();

    AudioPhy* phy = AudioPhy_virtual_new(argc, argv);
    RtpAudio_setDscp(RTP_DEFAULT_DSCP);
    RtpAudio_setPayloadType(RTP_DEFAULT_PAYLOAD_TYPE);
    if (!phy->prepare || phy->prepare(phy) != 0) DIAG_ERROR_AT(UNIT, "init_ko");

    AudioPhy_connectEngine(phy);

    const bool virtualPhy = AudioPhy_hasShareMem() && phy->ringBufMs != 0;
    if (virtualPhy) {
        // Bound to any address: a socket bound to one unicast address receives no
        // multicast here, and the streams' groups are joined on this socket. The bind
        // address still picks the interface of multicast sends; IP_PKTINFO gives each
        // datagram's destination, which packet input compares with the stream's.
        const uint32_t own = Net_parseIp(AudioPhy_words()->bindIp);
        s_rtpSock = Net_udpSocket(0, RTP_PORT);
        if (Net_setPktInfo(s_rtpSock, 1) != 0) DIAG_ERROR_AT(UNIT, "init_ko");
        if (own != 0 && Net_setMcastIf(s_rtpSock, own) != 0) DIAG_ERROR_AT(UNIT, "init_ko");
        RtpAudio_setRtpSocket(s_rtpSock);
        TimerManager_setPhy(phy);
    }
    TimerManager_setPoll(AudioPhy_words()->poll);
    // Without the virtual phy every engine request, from the route thread and the PTP
    // thread alike, goes to the driver's engine through its control interface.
    Msg_setDriverRequest(virtualPhy ? nullptr : KoRoute_send);
    Msg_setKoInProcess(virtualPhy);
    return 0;
}

void thread_ko() {
    const AudioPhy* phy = AudioPhy_get();
    const int poll = AudioPhy_words()->poll ? 1 : 0;
    if (!AudioPhy_hasShareMem()) {
        std::printf("=== bufMs=%d poll=%d \n", 0, poll);
        std::fflush(stdout);
        return;
    }
    std::printf("=== bufMs=%d poll=%d \n", int(phy->ringBufMs), poll);
    std::fflush(stdout);
    if (phy->ringBufMs == 0) return;
    if (s_rtpSock < 0) DIAG_ERROR_AT(UNIT, "thread_ko");
    else if (Net_setPktInfo(s_rtpSock, 1) != 0) DIAG_ERROR_AT(UNIT, "thread_ko");
    TimerManager_run();
}

void Ko_setOwnIp(uint32_t ip) { s_ownIp.store(ip, std::memory_order_release); }
uint32_t Ko_ownIp() { return s_ownIp.load(std::memory_order_acquire); }
const char* Ko_bindIpText() { return AudioPhy_words()->bindIp; }
int Ko_rtpSocket() { return s_rtpSock; }
int Ko_ptpDomain() { return AudioPhy_words()->domain; }
uint64_t Ko_ptpMode() { return AudioPhy_words()->ptpMode; }
