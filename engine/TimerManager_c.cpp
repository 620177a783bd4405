#include "engine/TimerManager_c.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "engine/AudioPhy.h"
#include "engine/phyDsp.h"
#include "engine/rtp/PeriodGrid.h"
#include "engine/rtp/RtpAudio.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/net.h"
#include "platform/rtprio.h"
#include "platform/timer.h"

namespace {

constexpr auto rlx = std::memory_order_relaxed;
constexpr int64_t kNsPerS = 1000000000LL;
constexpr int64_t kPeriodNs = 1000000LL;

std::atomic<int64_t> g_ptpOffsetNs;
std::atomic<uint8_t> g_realign{1};
std::atomic<uint64_t> g_rtpTs;
std::atomic<int32_t> g_errorNs;
std::atomic<uint32_t> g_rstRtp, g_rstI2s, g_status;
std::atomic<int32_t> g_pollCur, g_pollMax;
std::atomic<AudioPhy*> g_phy{nullptr};
std::atomic<bool> g_poll{false};
std::atomic<bool> g_stop{false};
std::atomic<bool> g_realtime{true};
// engine thread only
uint32_t g_expected;

AudioPhy* phy() {
    AudioPhy* p = g_phy.load(rlx);
    return p ? p : AudioPhy_get();
}

int32_t iabs32(int32_t v) { return v == INT32_MIN ? INT32_MAX : (v < 0 ? -v : v); }

}  // namespace

uint64_t TimerManager_nsToFrames(int64_t ns, int fs) { return PeriodGrid_frames(ns, fs); }

int64_t TimerManager_nowNs() { return Clock_nowNs(); }

void TimerManager_setPhy(AudioPhy* p) { g_phy.store(p, rlx); }
void TimerManager_setPoll(bool poll) { g_poll.store(poll, rlx); }
void TimerManager_requestStop() { g_stop.store(true, rlx); }
void TimerManager_setRealtime(bool on) { g_realtime.store(on, rlx); }

int TimerManager_resetRtpTs(char* reason, size_t cap) {
    if (g_status.load(rlx) != 2) {
        if (reason && cap > 0)
            std::snprintf(reason, cap, "error at: file=%s func=%s line=%d msg=%s", "TimerManager_c", __func__,
                          __LINE__, "can not modify when working");
        return -1;
    }
    g_realign.store(1, rlx);
    return 0;
}

void TimerManager_setPtpOffsetNs(int64_t ns) { g_ptpOffsetNs.store(ns, rlx); }
int64_t TimerManager_getPtpOffsetNs() { return g_ptpOffsetNs.load(rlx); }
int32_t TimerManager_getErrorNs() { return g_errorNs.load(rlx); }
uint32_t TimerManager_getRstRtp() { return g_rstRtp.load(rlx); }
uint32_t TimerManager_getRstI2s() { return g_rstI2s.load(rlx); }
uint32_t TimerManager_getDeviceStatus() { return g_status.load(rlx); }
void TimerManager_setDeviceStatus(uint32_t s) { g_status.store(s, rlx); }
uint64_t TimerManager_getRtpTs() { return g_rtpTs.load(rlx); }
int32_t TimerManager_getPollCur() { return g_pollCur.load(rlx); }
int32_t TimerManager_getPollMax() { return g_pollMax.load(rlx); }
void TimerManager_resetPerformStats() {
    g_pollCur.store(0, rlx);
    g_pollMax.store(0, rlx);
}
int TimerManager_toneValue(int k) { return PhyDsp_toneValue(k); }

void TimerManager_reset() {
    g_ptpOffsetNs.store(0, rlx);
    g_realign.store(1, rlx);
    g_rtpTs.store(0, rlx);
    g_errorNs.store(0, rlx);
    g_rstRtp.store(0, rlx);
    g_rstI2s.store(0, rlx);
    g_status.store(0, rlx);
    g_pollCur.store(0, rlx);
    g_pollMax.store(0, rlx);
    g_phy.store(nullptr, rlx);
    g_poll.store(false, rlx);
    g_stop.store(false, rlx);
    g_realtime.store(true, rlx);
    g_expected = 0;
}

void TimerManager_period(int64_t c) {
    AudioPhy* p = phy();
    RtpAudio_setNow(uint32_t(TimerManager_nsToFrames(c, RtpAudio_getSampleRate())));
    const uint32_t mask = p->mask;
    p->periodIndex.store((p->periodIndex.load(rlx) + 1) & uint64_t(mask), rlx);

    const int fs = p->sampleRate.load(rlx);
    const int P = p->framesPerPeriod.load(rlx);
    uint64_t ts;
    if (g_realign.load(rlx)) {
        g_realign.store(0, rlx);
        g_errorNs.store(0, rlx);
        g_rstRtp.fetch_add(1, rlx);
        // Periods start on whole multiples of P of the media clock (the nearest to now),
        // so they line up with the datagrams of every sender that does the same: a
        // datagram that starts inside a period must be in before that period runs, and
        // a grid half a period off took up to a period from the receive budget.
        ts = PeriodGrid_alignedTs(c, fs, P);
    } else {
        ts = g_rtpTs.load(rlx) + uint64_t(P > 0 ? P : 0);
        if (fs > 0) {
            // ts x 1e9 / fs without overflowing 64 bits
            int64_t tNs = int64_t((ts / uint64_t(fs)) * uint64_t(kNsPerS) + (ts % uint64_t(fs)) * uint64_t(kNsPerS) / uint64_t(fs));
            g_errorNs.store(int32_t(uint32_t(uint64_t(c - tNs))), rlx);
        }
    }
    g_rtpTs.store(ts, rlx);

    // The stream layer works on its own (prepared) period; a block smaller than that
    // is never handed to it.
    const int sP = RtpAudio_getFramesPerPeriod();
    const bool fits = sP > 0 && uint32_t(sP) <= p->ringFrames;

    // The input block is metered once for the phy and the RTP transmit channels alike.
    static RtpBlockSums inSums;
    AudioPhyBlock in{};
    const bool haveIn = AudioPhy_inputBlock(&in) && in.samples;
    if (haveIn) PhyDsp_block(p, in, 0, p->phyRx.load(rlx), &p->meterIn, nullptr, &inSums);
    RtpAudio_periodTx(fits ? in.samples : nullptr, in.strideSamples, in.chNum, uint32_t(ts), haveIn ? &inSums : nullptr);
    // A whole block the meter found all zero is what the clear would leave: an idle
    // card does not write its input ring every period.
    if (!(haveIn && inSums.zero && in.chNum == in.strideSamples && uint32_t(in.frames) == p->ringFrames))
        AudioPhy_clearInputBlock();

    // Output channels that play nothing are silence: their meters need not read them.
    uint8_t live[RTP_METER_GROUPS] = {};
    AudioPhyBlock out{};
    if (AudioPhy_outputBlock(&out) && out.samples) {
        // A block this engine left all zero a ring cycle ago is not cleared again: an
        // idle card then does not write its whole output ring every period.
        const bool silent = AudioPhy_outputSilent();
        if (fits) {
            RtpAudio_periodRx(out.samples, out.strideSamples, out.chNum, uint32_t(ts), live, silent);
        } else {
            for (int k = 0; k < out.frames; ++k)
                std::memset(out.samples + size_t(k) * size_t(out.strideSamples), 0, sizeof(int32_t) * size_t(out.chNum));
        }
        // Ring channels above the output count (lowered by a command) carry silence,
        // not what an earlier turn of the ring left there.
        for (int k = 0; k < out.frames && out.chNum < out.strideSamples && !silent; ++k)
            std::memset(out.samples + size_t(k) * size_t(out.strideSamples) + size_t(out.chNum), 0,
                        sizeof(int32_t) * size_t(out.strideSamples - out.chNum));
        PhyDsp_block(p, out, 1, p->phyTx.load(rlx), &p->meterOut, live);
        // Only the groups live names (played buffers, the tone) were written; gain
        // keeps zeros zero.
        uint8_t any = 0;
        for (uint8_t g : live) any |= g;
        AudioPhy_setOutputSilent(fits && any == 0);
    } else {
        RtpAudio_periodRx(nullptr, 0, 0, uint32_t(ts));
    }
    AudioPhy_periodDone();
}

namespace {
uint32_t g_quietTicks;

// With no receive stream every datagram read is dropped: the socket is then emptied
// every eighth tick only, which keeps its queue short without a system call each tick.
// A stream that becomes complete is read from the next tick on.
void drainForPeriod() {
    if (RtpAudio_receiving() || (++g_quietTicks & 7u) == 0) RtpAudio_drainSocket();
}
}  // namespace

int TimerManager_catchUp(int64_t sysNs) {
    AudioPhy* p = phy();
    const int fs = p->sampleRate.load(rlx);
    const int P = p->framesPerPeriod.load(rlx);
    const int64_t c = sysNs + g_ptpOffsetNs.load(rlx);
    int64_t back = 0; // how far before c a re-alignment after a lag puts its first period
    int ran = 0;
    for (int again = 0; again < 2; ++again) {
        if (g_realign.load(rlx)) {
            const int64_t at = c - back;
            // The read position moves first, so the datagrams read for this period (those
            // that queued while the engine was held up) land at their media time.
            RtpAudio_seekRx(uint32_t(PeriodGrid_alignedTs(at, fs, P)));
            drainForPeriod();
            TimerManager_period(at);
            g_expected = uint32_t(g_rtpTs.load(rlx));
            ran = 1;
            if (back == 0) return ran;
        } else {
            int32_t lag = int32_t(uint32_t(TimerManager_nsToFrames(c, fs)) - uint32_t(P) - g_expected);
            int32_t a = iabs32(lag);
            g_pollCur.store(a, rlx);
            if (a > g_pollMax.load(rlx)) g_pollMax.store(a, rlx);
            if (PeriodGrid_due(lag, P) < 0) {
                // Behind by more than a catch-up replays (the thread or the whole process
                // was held up): the new time line starts two periods back and this
                // wake-up runs up to now. Those periods still carry sound on both sides:
                // sent, their datagrams arrive within the receiver's lateness budget;
                // received, their datagrams are in the socket already. Starting at now
                // threw them away too, so a stall cost two periods more than itself.
                g_realign.store(1, rlx);
                back = PeriodGrid_backNs(lag, fs, P);
                continue;
            }
        }
        int32_t lag = int32_t(uint32_t(TimerManager_nsToFrames(c, fs)) - uint32_t(P) - g_expected);
        // The periods due are those whose time is at most half a period ahead of the media
        // clock (PeriodGrid_due says why).
        const int due = PeriodGrid_due(lag, P);
        const int n = due < 0 ? 0 : due;
        for (int i = 0; i < n; ++i) {
            // Every period reads what has arrived up to its own start: a datagram that
            // came in while earlier periods of this catch-up ran (or while the thread
            // was late) is due now, and after this period it would only be dropped as
            // late, leaving a period of silence.
            drainForPeriod();
            TimerManager_period(c);
            g_expected += uint32_t(P);
        }
        return ran + n;
    }
    return ran;
}

namespace {
// Moves the timer's grid so that wake-ups fall on a period's start on the media clock. A
// catch-up runs the periods that start within half a period of the wake-up either way;
// with the grid at an arbitrary phase, one near the edge of that window made jittered
// wake-ups run none, then two. On the start, half a period of lateness still runs one.
// Not before it: the period that runs plays the datagrams in by then, so every quarter
// period earlier took a quarter period from the receive side's lateness budget (a
// quarter before left link offset - 1.25 periods; on the start it is link offset - one
// period). The grid is taken from the expiry that was due (not from when the thread
// ran), so lateness does not feed back; only a PTP step or the servo's drift moves it.
void steerToPeriods(PeriodTimer* t) {
    AudioPhy* p = phy();
    const int fs = p->sampleRate.load(rlx), P = p->framesPerPeriod.load(rlx);
    if (fs <= 0 || P <= 0 || int64_t(P) * kNsPerS != int64_t(fs) * kPeriodNs) return; // grid of 1 ms only
    t->nextNs -= PeriodGrid_phaseNs(t->nextNs - t->periodNs + g_ptpOffsetNs.load(rlx), fs, P);
}
}  // namespace

void TimerManager_runLoop(int64_t untilNs, TimerManagerWakeFn onWake, void* ctx) {
    // thread_ko has reported an invalid socket already; packet input needs each
    // datagram's destination, so make sure the socket reports it.
    int sock = RtpAudio_getRtpSocket();
    if (sock >= 0) Net_setPktInfo(sock, 1);
    RtPrio_joinClass("Pro Audio");
    const bool poll = g_poll.load(rlx) || AudioPhy_words()->poll;
    PeriodTimer timer;
    if (!PeriodTimer_start(&timer, kPeriodNs)) DIAG_ERROR_AT("testKo_ko", "thread_ko");
    if (!poll && g_realtime.load(rlx) && RtPrio_setLevel(RTPRIO_CRITICAL, "thread_ko") != 0)
        DIAG_ERROR_AT("testKo_ko", "thread_ko");
    while (!g_stop.load(rlx)) {
        int64_t late = 0;
        const int64_t due = timer.nextNs;
        if (!poll) late = PeriodTimer_wait(&timer);
        int64_t now = TimerManager_nowNs();
        if (now >= untilNs) break;
        // The catch-up drains the sockets before each period it runs: one drain per tick.
        // What comes in after that waits for the next period, which is the first to
        // play it and sets the same media clock for its statistics as a drain now would.
        TimerManager_catchUp(now);
        if (!poll) steerToPeriods(&timer);
        if (onWake) onWake(late, due, ctx);
    }
}

void TimerManager_run() { TimerManager_runLoop(INT64_MAX, nullptr, nullptr); }
