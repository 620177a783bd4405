// The kernel build's engine clock: the status machine (idle, prepared, running), the
// high-resolution timer whose callback runs the periods, and the period step between
// the audio interface's rings and the stream code. The periods follow the media clock's
// period grid as the user engine's do (engine/rtp/PeriodGrid): the same catch-up, the
// same re-alignment, and a timer steered onto the grid's period starts.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "engine/AudioPhy.h"
#include "engine/TimerManager_c.h"
#include "engine/phyDsp.h"
#include "engine/rtp/PeriodGrid.h"
#include "engine/rtp/RtpAudio.h"

namespace {

constexpr auto rlx = std::memory_order_relaxed;
constexpr int64_t kNsPerS = 1000000000LL;

std::atomic<uint32_t> g_status;
std::atomic<uint8_t> g_reset;
std::atomic<int64_t> g_ptpOffsetNs;
std::atomic<uint8_t> g_pause;
EX_TIMER* g_timer;
std::atomic<bool> g_inCallback;
// timer callback only
uint64_t g_rtpBase; // timestamp of the last period run
// The timer's grid as last armed: expiries at g_armNs + k x g_timerNs (counter ns).
int64_t g_armNs, g_timerNs;
// published figures
std::atomic<uint32_t> g_costTx, g_costTxMax, g_costRx, g_costRxMax, g_dev, g_devMax, g_resets;
std::atomic<uint64_t> g_rtpTsNow;
// Output ring slots this engine left all zero (bit per slot): such a block is not
// cleared again, and its meter reads only what the period played into it.
uint64_t g_outSilent[1024 / 64];

// The last-interrupt record, written by the callback under a sequence counter.
struct LastInterrupt {
    int64_t ns;
    uint32_t expectedRtpTs;
    int32_t diff;
};
std::atomic<uint32_t> g_liSeq;
std::atomic<int64_t> g_liNs;
std::atomic<uint32_t> g_liTs;
std::atomic<int32_t> g_liDiff;

// The performance counter in ns, in whole seconds and the rest: a quotient 10^9 / freq
// taken first in whole numbers ran the clock slow by its remainder on a counter whose
// frequency does not divide 10^9.
int64_t nowNs() {
    int64_t freq = 0;
    const int64_t c = KeQueryPerformanceCounter(&freq);
    if (freq <= 0 || freq == kNsPerS) return c;
    return c / freq * kNsPerS + c % freq * kNsPerS / freq;
}

int64_t framesOf(int64_t x, int rate) { return int64_t(PeriodGrid_frames(x, rate)); }

void storeMax(std::atomic<uint32_t>& cur, std::atomic<uint32_t>& max, uint32_t v) {
    cur.store(v, rlx);
    if (v > max.load(rlx)) max.store(v, rlx);
}

int stepFail(char* reason, size_t cap, int line) {
    if (reason && cap)
        std::snprintf(reason, cap, "error at: file=%s func=%s line=%d msg=%s", "TimerManager", "TimerManager_stepStatus",
                      line, "");
    return -1;
}

// A period whose send half has run: its slot, timestamp, and whether the meter found its
// input block all zero.
struct Period {
    uint32_t s;
    uint64_t ts;
    bool inZero;
};
// Receive halves a re-alignment left for the next call (see catchUp); timer callback only.
Period g_pending[4];
int g_pendingN;

// The send half of one period at clock time t with timestamp ts (slot s = the new
// counter's slot): gather, meter, send.
Period periodSend(int64_t t, uint64_t ts) {
    AudioPhy* p = AudioPhy_get();
    const uint32_t mask = KoAudio_mask();
    const int rate = p->sampleRate.load(rlx), F = p->framesPerPeriod.load(rlx);
    const int rx = p->phyRx.load(rlx);
    const int64_t ptpNs = t + g_ptpOffsetNs.load(rlx);
    const uint64_t prev = KoAudio_counter();
    const uint32_t s = uint32_t((prev + 1) & mask);
    KoAudio_setCounter((uint64_t(ptpNs) & ~uint64_t(0x3FF)) | s);
    p->periodIndex.store(s, rlx);

    int32_t* in = KoAudio_inBlock(s - 1);
    WaveRtStream_renderGather(in, rx, F);

    // The period's media time, once: its lag behind the media clock and "now".
    const int64_t nowFrames = framesOf(ptpNs, rate);
    const int32_t diff = int32_t(uint32_t(uint64_t(nowFrames) - ts));
    if (t - g_liNs.load(rlx) >= 10000000LL) {
        g_liSeq.fetch_add(1, std::memory_order_acq_rel); // odd: being written
        g_liNs.store(t, rlx);
        g_liTs.store(uint32_t(ts), rlx);
        g_liDiff.store(diff, rlx);
        g_liSeq.fetch_add(1, std::memory_order_release); // even: whole
    }
    g_rtpTsNow.store(ts, rlx);
    RtpAudio_setNow(uint32_t(nowFrames));

    // The input block is metered once for the phy and the RTP transmit channels alike.
    static RtpBlockSums inSums;
    AudioPhyBlock inB{in, F, rx, rx};
    PhyDsp_block(p, inB, 0, rx, &p->meterIn, nullptr, &inSums);

    const int64_t t0 = nowNs();
    if (!g_pause.load(rlx)) RtpAudio_periodTx(in, rx, rx, uint32_t(ts), &inSums);
    storeMax(g_costTx, g_costTxMax, uint32_t(nowNs() - t0));
    return Period{s, ts, inSums.zero};
}

// The receive half of period q: receive, meter, scatter, and the clear of its input block.
void periodReceive(const Period& q) {
    AudioPhy* p = AudioPhy_get();
    const uint32_t mask = KoAudio_mask(), s = q.s;
    const uint64_t ts = q.ts;
    const int F = p->framesPerPeriod.load(rlx);
    const int rx = p->phyRx.load(rlx), tx = p->phyTx.load(rlx);
    int32_t* in = KoAudio_inBlock(s - 1);
    const int64_t t1 = nowNs();
    const uint32_t os = (KoAudio_outOffset() + s) & mask;
    int32_t* out = KoAudio_outBlock(os);
    uint64_t& silentWord = g_outSilent[os >> 6];
    const uint64_t silentBit = uint64_t(1) << (os & 63);
    // The read position moves before the datagrams that queued are read: after a
    // re-alignment they then land at their media time. Read against the old time line
    // (the position moved only by the receive step), those of a stall were dropped.
    RtpAudio_seekRx(uint32_t(ts));
    KoSocket_drain();
    // Output channels that play nothing are silence: their meters need not read them.
    uint8_t live[RTP_METER_GROUPS] = {};
    RtpAudio_periodRx(out, tx, tx, uint32_t(ts), live, (silentWord & silentBit) != 0);
    const bool direct = p->isRxDirectTx.load(rlx) != 0;
    if (direct) {
        const int n = rx < tx ? rx : tx;
        for (int f = 0; f < F; ++f)
            for (int c = 0; c < n; ++c) out[size_t(f) * size_t(tx) + size_t(c)] = in[size_t(f) * size_t(rx) + size_t(c)];
    }
    AudioPhyBlock outB{out, F, tx, tx};
    PhyDsp_block(p, outB, 1, tx, &p->meterOut, direct ? nullptr : live);
    // Only the groups live names (played buffers, the tone) were written; gain keeps
    // zeros zero.
    uint8_t any = direct ? 1 : 0;
    for (uint8_t g : live) any |= g;
    silentWord = any ? silentWord & ~silentBit : silentWord | silentBit;
    storeMax(g_costRx, g_costRxMax, uint32_t(nowNs() - t1));
    WaveRtStream_captureScatter(out, tx, F);

    // A block the meter found all zero is what the clear would leave.
    if (!q.inZero) std::memset(in, 0, sizeof(int32_t) * size_t(F) * size_t(rx));
}

// Runs the periods due at this expiry: those that start at most half a period after the
// media clock, one per call on a timer on the grid, as the user engine does. Running at
// least one a call and two whenever the call came a frame late, on a timer 1 % slow, ran
// the period time up to a period ahead of the media clock, with two periods at once every
// hundred or so (a client with two 64-frame periods ran dry at each).
void catchUp(int64_t now) {
    AudioPhy* p = AudioPhy_get();
    const int rate = p->sampleRate.load(rlx), F = p->framesPerPeriod.load(rlx);
    const int64_t c = now + g_ptpOffsetNs.load(rlx);
    const uint32_t media = uint32_t(PeriodGrid_frames(c, rate));
    int32_t lag = int32_t(media - uint32_t(F) - uint32_t(g_rtpBase));
    for (int i = 0; i < g_pendingN; ++i) periodReceive(g_pending[i]);
    g_pendingN = 0;
    bool realign = g_reset.load(rlx) != 0;
    int64_t back = 0;
    if (!realign) {
        storeMax(g_dev, g_devMax, lag == INT32_MIN ? uint32_t(INT32_MAX) : uint32_t(lag < 0 ? -lag : lag));
        if (PeriodGrid_due(lag, F) < 0) {
            // Held up beyond a catch-up (the host stalled): the new time line starts two
            // periods back and this call runs up to now. Those periods still carry sound:
            // sent, their datagrams reach the receiver within its lateness budget;
            // received, their datagrams wait in the socket. Starting at now lost them too.
            realign = true;
            back = PeriodGrid_backNs(lag, rate, F);
        }
    }
    if (realign) {
        // On the grid of the media clock's period starts, where every sender's datagrams
        // start: a time base anywhere else cannot keep the samples held in the receive
        // buffers, and cost a link offset more.
        const uint64_t first = PeriodGrid_alignedTs(c - back, rate, F);
        if (back > 0 && F > 0 && first > g_rtpBase + uint64_t(F)) {
            // The periods passed over are recorded as silence: a capture client's stream
            // stays on the media clock (a recording as long as the time that passed, with
            // the stall's loss where it happened) instead of closing up over the gap.
            // Up to a second: no client holds more.
            uint64_t passed = (first - g_rtpBase) / uint64_t(F) - 1;
            if (passed > uint64_t(rate / F)) passed = uint64_t(rate / F);
            const int tx = p->phyTx.load(rlx);
            for (uint64_t k = 0; k < passed; ++k) WaveRtStream_captureScatter(nullptr, tx, F);
        }
        g_rtpBase = first - uint64_t(F);
        lag = int32_t(media - uint32_t(F) - uint32_t(g_rtpBase));
        g_reset.store(0, rlx);
        g_resets.fetch_add(1, rlx);
    }
    // After a hold-up the periods run now send at once (their datagrams are late
    // already) and receive at the next call: the datagrams that queued for them in the
    // socket meanwhile reach the engine through the socket's receive thread, which the
    // host held up too and which runs after this one. Received now, those periods found
    // nothing and the stall cost two of them more. A ring too short to hold them
    // receives at once.
    const bool defer = back > 0 && KoAudio_mask() >= 7;
    const int n = PeriodGrid_due(lag, F);
    for (int i = 0; i < n; ++i) {
        g_rtpBase += uint64_t(F);
        const Period q = periodSend(now, g_rtpBase);
        if (defer && g_pendingN < 4)
            g_pending[g_pendingN++] = q;
        else
            periodReceive(q);
    }
}

// Arms the periodic timer with its first expiry at firstNs (counter ns).
void armTimer(int64_t firstNs, int64_t now) {
    int64_t rel = (firstNs - now) / 100;
    if (rel < 1) rel = 1;
    g_armNs = now + rel * 100;
    ExSetTimer(g_timer, -rel, g_timerNs / 100, nullptr);
}

// Keeps the expiries on the media clock's period starts: a PTP step, the servo's drift or
// a period not a whole number of 100 ns moves them off, and the timer is armed again once
// they are more than this off. Taken from the expiry that was due (not from when the
// callback ran), so lateness does not feed back. On the start, as in the user engine: the
// period that runs then has every datagram that starts before it, and half a period of
// lateness still runs one.
constexpr int64_t kSteerNs = 10000;

void steer(int64_t now) {
    AudioPhy* p = AudioPhy_get();
    const int rate = p->sampleRate.load(rlx), F = p->framesPerPeriod.load(rlx);
    if (g_timerNs <= 0 || now < g_armNs) return;
    const int64_t due = g_armNs + (now - g_armNs) / g_timerNs * g_timerNs;
    const int64_t phase = PeriodGrid_phaseNs(due + g_ptpOffsetNs.load(rlx), rate, F);
    if (phase > -kSteerNs && phase < kSteerNs) return;
    int64_t next = due + g_timerNs - phase;
    while (next - now < g_timerNs / 4) next += g_timerNs;
    armTimer(next, now);
}

void timerCallback(EX_TIMER*, void*) {
    g_inCallback.store(true, std::memory_order_release);
    if (g_status.load(rlx) == 2) {
        catchUp(nowNs());
        steer(nowNs());
    }
    g_inCallback.store(false, std::memory_order_release);
}

void stopTimer() {
    ExCancelTimer(g_timer, nullptr);
    // A callback that was already running finishes before anything it uses changes.
    while (g_inCallback.load(std::memory_order_acquire)) {
    }
    ExCancelTimer(g_timer, nullptr); // it may have steered (armed) the timer again
}

}  // namespace

NTSTATUS KoEngine_init() {
    g_status.store(0, rlx);
    g_reset.store(0, rlx);
    g_ptpOffsetNs.store(0, rlx);
    g_pause.store(0, rlx);
    g_liSeq.store(0, rlx);
    g_liNs.store(0, rlx);
    TimerManager_resetPerformStats();
    KoAudio_defaults();
    MiniportWaveRT_setSampleRate(48000);
    RtpAudio_reset();
    RtpAudio_setDscp(RTP_DEFAULT_DSCP);
    RtpAudio_setPayloadType(96); // every multicast stream of this build
    RtpAudio_setTransport(KoSocket_sendBatch, KoSocket_txBuffer);
    // The stream tables exist from the start with the default geometry, so a controller
    // that reads the counts before the first engine start sees the real ones.
    RtpOutBlockDesc out{2, 48, KoAudio_outBlock(0), 2 * 4};
    RtpAudio_afterDspPrepare(2, &out, 48000);
    KoCommands_install();
    g_timer = ExAllocateTimer(timerCallback, nullptr, EX_TIMER_HIGH_RESOLUTION);
    return KoSocket_init();
}

void KoEngine_shutdown() {
    for (int i = 0; i < 3 && g_status.load(rlx) != 0; ++i) TimerManager_stepStatus(nullptr, 0);
    RtpAudio_reset();
    RtpAudio_setTransport(nullptr);
    KoAudio_close();
    if (g_timer) {
        ExDeleteTimer(g_timer, TRUE, TRUE, nullptr);
        g_timer = nullptr;
    }
    KoSocket_shutdown();
}

int TimerManager_stepStatus(char* reason, size_t cap) {
    if (!g_timer) return stepFail(reason, cap, 189);
    AudioPhy* p = AudioPhy_get();
    switch (g_status.load(rlx)) {
    case 0: {
        const int rate = p->sampleRate.load(rlx);
        MiniportWaveRT_setSampleRate(uint32_t(rate));
        if (!NT_SUCCESS(Adapter_registerSubdevices(uint32_t(p->phyRx.load(rlx)), uint32_t(p->phyTx.load(rlx)))))
            return stepFail(reason, cap, 197);
        if (!KoSocket_exists()) return stepFail(reason, cap, 199);
        if (KoAudio_open() != 0) return stepFail(reason, cap, 201);
        std::memset(g_outSilent, 0xFF, sizeof g_outSilent); // the rings start all zero
        const int tx = p->phyTx.load(rlx);
        RtpOutBlockDesc out{tx, p->framesPerPeriod.load(rlx), KoAudio_outBlock(KoAudio_outOffset()), tx * 4};
        RtpAudio_afterDspPrepare(p->phyRx.load(rlx), &out, rate);
        g_status.store(1, rlx);
        return 0;
    }
    case 1: {
        g_reset.store(1, rlx);
        const int rate = p->sampleRate.load(rlx), F = p->framesPerPeriod.load(rlx);
        // The period itself (F / rate, to 100 ns), not 1 % more: the callback no longer
        // catches up every hundred periods. The first expiry is the period start about
        // 1 ms from now; steer() keeps the later ones there.
        const int64_t period100 = rate > 0 && F > 0 ? (int64_t(F) * 10000000LL + rate / 2) / rate : 10000;
        g_timerNs = period100 * 100;
        g_pendingN = 0;
        const int64_t now = nowNs(), first = now + 1000000;
        int64_t at = first - PeriodGrid_phaseNs(first + g_ptpOffsetNs.load(rlx), rate, F);
        if (at - now < g_timerNs / 2) at += g_timerNs;
        g_status.store(2, rlx);
        armTimer(at, now);
        KoSocket_setReceive(true);
        return 0;
    }
    case 2:
        KoSocket_setReceive(false);
        g_status.store(0, rlx);
        stopTimer();
        return 0;
    default:
        return stepFail(reason, cap, 228);
    }
}

bool TimerManager_acceptsInput() { return g_status.load(rlx) == 2 && !g_reset.load(rlx); }
EX_TIMER* TimerManager_timer() { return g_timer; }

// ---- what the command handler reads and sets ----
uint32_t TimerManager_getDeviceStatus() { return g_status.load(rlx); }
void TimerManager_setDeviceStatus(uint32_t s) { g_status.store(s, rlx); }
void TimerManager_setPtpOffsetNs(int64_t ns) { g_ptpOffsetNs.store(ns, rlx); }
int64_t TimerManager_getPtpOffsetNs() { return g_ptpOffsetNs.load(rlx); }
int TimerManager_resetRtpTs(char* reason, size_t cap) {
    if (g_status.load(rlx) != 2) {
        if (reason && cap)
            std::snprintf(reason, cap, "error at: file=%s func=%s line=%d msg=%s", "TimerManager", __func__, __LINE__,
                          "can not modify when working");
        return -1;
    }
    g_reset.store(1, rlx);
    return 0;
}
void TimerManager_resetPerformStats() {
    for (auto* a : {&g_costTx, &g_costTxMax, &g_costRx, &g_costRxMax, &g_dev, &g_devMax}) a->store(0, rlx);
}
int32_t TimerManager_getPollCur() { return int32_t(g_dev.load(rlx)); }
int32_t TimerManager_getPollMax() { return int32_t(g_devMax.load(rlx)); }
int32_t TimerManager_getErrorNs() { return g_liDiff.load(rlx); }
uint32_t TimerManager_getRstRtp() { return g_resets.load(rlx); }
uint32_t TimerManager_getRstI2s() { return 0; }
uint64_t TimerManager_getRtpTs() { return g_rtpTsNow.load(rlx); }

// The kernel's own figures and records, for its commands.
void KoTimer_perfStats(uint32_t out[6]) {
    out[0] = g_costTx.load(rlx);
    out[1] = g_costTxMax.load(rlx);
    out[2] = g_costRx.load(rlx);
    out[3] = g_costRxMax.load(rlx);
    out[4] = g_dev.load(rlx);
    out[5] = g_devMax.load(rlx);
}
void KoTimer_lastInterrupt(int64_t* ns, uint32_t* ts, int32_t* diff) {
    for (;;) {
        const uint32_t a = g_liSeq.load(std::memory_order_acquire);
        if (a & 1) continue;
        *ns = g_liNs.load(rlx);
        *ts = g_liTs.load(rlx);
        *diff = g_liDiff.load(rlx);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (g_liSeq.load(rlx) == a) return;
    }
}
bool KoTimer_pause() { return g_pause.load(rlx) != 0; }
void KoTimer_setPause(bool on) { g_pause.store(on ? 1 : 0, rlx); }
