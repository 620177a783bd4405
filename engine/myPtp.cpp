// PTP slave, thread side: the PTP thread, its two sockets and what it sends.
// The protocol is in myPtp_msg.cpp.
#include "engine/myPtp.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/Msg.h"
#include "engine/testKo_ko.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/net.h"
#include "platform/rtprio.h"

#define UNIT "myPtp"

// The route layer's view, written once before s_viewSet is released.
static PtpRouteView s_view = {-1, 0, 0, 0, ""};
static std::atomic<bool> s_viewSet{false};

void Ptp_setRouteView(const PtpRouteView* view) {
    if (!view || s_viewSet.load(std::memory_order_acquire)) return;
    s_view = *view;
    if (!s_view.devId) s_view.devId = "";
    s_viewSet.store(true, std::memory_order_release);
}

// The PTP thread's own engine request buffer (the route thread uses g_koReq).
static char s_ptpReq[MSG_KO_REQ_SIZE];
static char s_event[PTP_EVENT_SIZE];
static PtpState s_state;
static bool s_trace;       // VELUNOR_PTP_TRACE set: one line per estimate
static bool s_reqFailed;   // the last setPtpOffset did not reach the engine

static int64_t nowUs() { return Clock_nowNs() / 1000; }

static void sendEvent(const PtpReport* r) {
    if (s_view.discSock < 0) return;
    int n = PtpVsc_formatEvent(s_event, sizeof s_event, r, s_view.devId);
    if (n < 0) {
        DIAG_ERROR_AT(UNIT, "PtpVsc_loop");
        return;
    }
    uint32_t groups[2] = {PtpVsc_eventGroup(s_view.group), PtpVsc_eventGroup(s_view.group2)};
    for (uint32_t g : groups) {
        if (g == 0) continue;
        if (Net_sendTo(s_view.discSock, s_event, size_t(n), g, s_view.port) != n)
            DIAG_ERROR_AT(UNIT, "PtpVsc_loop");
    }
}

static void sendOffset(int64_t us) {
    if (PtpVsc_formatOffsetReq(s_ptpReq, sizeof s_ptpReq, us) < 0) return;
    bool ok = reqKo(s_ptpReq, sizeof s_ptpReq);
    s_ptpReq[sizeof s_ptpReq - 1] = '\0';
    ok = ok && std::strstr(s_ptpReq, "\"result\":\"succ\"") != nullptr;
    // Once per failure streak: the engine may be absent for a long time.
    if (!ok && !s_reqFailed) DIAG_ERROR_AT(UNIT, "PtpVsc_loop");
    s_reqFailed = !ok;
}

static void deliver(const PtpOutput* out) {
    if (out->haveEstimate && s_trace) {
        std::printf("ptp: median=%lld spread=%lld used=%d\n", (long long)out->medianUs,
                    (long long)out->spreadUs, out->haveOffset ? 1 : 0);
        std::fflush(stdout);
    }
    if (out->haveReport) sendEvent(&out->report);
    if (out->haveOffset) sendOffset(out->offsetUs);
}

static int openSocket(int port, uint32_t bindAddr) {
    int s = Net_udpSocketTry(0, port);
    if (s < 0) {
        DIAG_ERROR_AT(UNIT, "PtpVsc_loop");
        return -1;
    }
    if (Net_joinGroup(s, PTP_GROUP, s_state.ownIp) != 0) DIAG_ERROR_AT(UNIT, "PtpVsc_loop");
    if (Net_setMcastIf(s, bindAddr) != 0) DIAG_ERROR_AT(UNIT, "PtpVsc_loop");
    Net_setRxStamp(s, 1); // without it the clock at reading is taken instead
    return s;
}

void PtpVsc_loop(uint32_t bindAddr) {
    int socks[2] = {openSocket(PTP_EVENT_PORT, bindAddr), openSocket(PTP_GENERAL_PORT, bindAddr)};
    static uint8_t buf[PTP_MAX_DATAGRAM];
    uint8_t req[PTP_DELAY_REQ_SIZE];
    for (;;) {
        uint32_t target = 0;
        if (PtpVsc_unicastTick(&s_state, nowUs(), req, &target) && socks[0] >= 0) {
            if (Net_sendTo(socks[0], req, sizeof req, target, PTP_EVENT_PORT) != int(sizeof req))
                DIAG_ERROR_AT(UNIT, "PtpVsc_loop");
        }
        int r = Net_waitReadable(socks, 2, 1000 + 100);
        if (r <= 0) {
            std::printf("error: select()=%d \n", r);
            std::fflush(stdout);
        } else {
            for (int s : socks) {
                if (s < 0) continue;
                int64_t arrivalNs = -1;
                int n = Net_recvStamped(s, buf, sizeof buf, &arrivalNs);
                if (n < 0) continue;
                // The kernel's arrival stamp, so that a late wake-up of this thread does
                // not enter the offset; the clock now only when there is none.
                int64_t t = arrivalNs >= 0 ? arrivalNs / 1000 : nowUs();
                size_t len = size_t(n) < sizeof buf ? size_t(n) : sizeof buf;
                if (PtpVsc_handleDomain(&s_state, buf, len)) continue;
                PtpOutput out;
                PtpVsc_handleMsg(&s_state, buf, len, t, &out);
                deliver(&out);
            }
        }
        PtpVsc_tick(&s_state, nowUs());
        PtpVsc_publishGm(&s_state);
    }
}

void thread_ptp() {
    if (RtPrio_setLevel(RTPRIO_ABOVE_NORMAL, "thread_ptp") != 0) DIAG_ERROR_AT(UNIT, "thread_ptp");
    while (Ko_ownIp() == 0 || !s_viewSet.load(std::memory_order_acquire)) Clock_sleepMs(1000);
    uint32_t own = Ko_ownIp();
    s_trace = std::getenv("VELUNOR_PTP_TRACE") != nullptr;
    PtpVsc_init(&s_state, uint8_t(Ko_ptpDomain()), Ko_ptpMode(), own, nowUs());
    PtpVsc_publishGm(&s_state);
    PtpVsc_loop(own);
}
