// The kernel build's engine clock: the status machine (idle, prepared, running), the
// high-resolution timer whose callback runs the periods, and the period step between
// the audio interface's rings and the stream code.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "engine/AudioPhy.h"
#include "engine/TimerManager_c.h"
#include "engine/phyDsp.h"
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
int64_t g_lastRtp;
uint64_t g_rtpBase;
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

int64_t nowNs() {
    int64_t freq = 0;
    const int64_t c = KeQueryPerformanceCounter(&freq);
    const int64_t mul = freq > 0 ? kNsPerS / freq : 1; // the quotient first, in whole numbers
    return c * (mul > 0 ? mul : 1);
}

// Media time in frames of a PTP time in ns, worked in whole seconds and the rest.
int64_t framesOf(int64_t x, int rate) {
    const int64_t q = x / kNsPerS, r = x % kNsPerS;
    return q * rate + r * rate / kNsPerS;
}

int64_t rtpTimeOf(int64_t t, int rate) { return framesOf(t + g_ptpOffsetNs.load(rlx), rate); }

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

// One period at clock time t (slot s = the new counter's slot).
void periodStep(int64_t t) {
    AudioPhy* p = AudioPhy_get();
    const uint32_t mask = KoAudio_mask();
    const int rate = p->sampleRate.load(rlx), F = p->framesPerPeriod.load(rlx);
    const int rx = p->phyRx.load(rlx), tx = p->phyTx.load(rlx);
    const int64_t ptpNs = t + g_ptpOffsetNs.load(rlx);
    const uint64_t prev = KoAudio_counter();
    const uint32_t s = uint32_t((prev + 1) & mask);
    KoAudio_setCounter((uint64_t(ptpNs) & ~uint64_t(0x3FF)) | s);
    p->periodIndex.store(s, rlx);

    int32_t* in = KoAudio_inBlock(s - 1);
    WaveRtStream_renderGather(in, rx, F);

    // The period's media time, once: the time base at a reset, the lag otherwise, and "now".
    const int64_t nowFrames = framesOf(ptpNs, rate);
    uint64_t ts;
    if (g_reset.load(rlx)) {
        g_reset.store(0, rlx);
        g_resets.fetch_add(1, rlx);
        ts = uint64_t(nowFrames);
    } else {
        ts = g_rtpBase + uint64_t(F);
        const int32_t diff = int32_t(uint32_t(uint64_t(nowFrames) - ts));
        if (t - g_liNs.load(rlx) >= 10000000LL) {
            g_liSeq.fetch_add(1, std::memory_order_acq_rel); // odd: being written
            g_liNs.store(t, rlx);
            g_liTs.store(uint32_t(ts), rlx);
            g_liDiff.store(diff, rlx);
            g_liSeq.fetch_add(1, std::memory_order_release); // even: whole
        }
    }
    g_rtpBase = ts;
    g_rtpTsNow.store(ts, rlx);
    RtpAudio_setNow(uint32_t(nowFrames));

    // The input block is metered once for the phy and the RTP transmit channels alike.
    static RtpBlockSums inSums;
    AudioPhyBlock inB{in, F, rx, rx};
    PhyDsp_block(p, inB, 0, rx, &p->meterIn, nullptr, &inSums);

    const int64_t t0 = nowNs();
    if (!g_pause.load(rlx)) RtpAudio_periodTx(in, rx, rx, uint32_t(ts), &inSums);
    const int64_t t1 = nowNs();
    storeMax(g_costTx, g_costTxMax, uint32_t(t1 - t0));

    const uint32_t os = (KoAudio_outOffset() + s) & mask;
    int32_t* out = KoAudio_outBlock(os);
    uint64_t& silentWord = g_outSilent[os >> 6];
    const uint64_t silentBit = uint64_t(1) << (os & 63);
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
    if (!inSums.zero) std::memset(in, 0, sizeof(int32_t) * size_t(F) * size_t(rx));
}

void timerCallback(EX_TIMER*, void*) {
    g_inCallback.store(true, std::memory_order_release);
    AudioPhy* p = AudioPhy_get();
    const int rate = p->sampleRate.load(rlx), F = p->framesPerPeriod.load(rlx);
    for (int again = 0; again < 2 && g_status.load(rlx) == 2; ++again) {
        const int64_t now = nowNs();
        const int64_t R = rtpTimeOf(now, rate);
        if (g_reset.load(rlx)) {
            periodStep(now);
            g_lastRtp = R;
            break;
        }
        const int64_t D = R - g_lastRtp - F;
        const uint32_t a = uint32_t(D < 0 ? -D : D);
        storeMax(g_dev, g_devMax, a);
        if (D < -3LL * F || D > 3LL * F) {
            g_reset.store(1, rlx); // too far off: a new time base instead of a catch-up
            continue;
        }
        const int n = D < 1 ? 1 : D <= F ? 2 : D <= 2LL * F ? 3 : 4;
        for (int i = 0; i < n; ++i) {
            periodStep(now);
            g_lastRtp += F;
        }
        break;
    }
    g_inCallback.store(false, std::memory_order_release);
}

void stopTimer() {
    ExCancelTimer(g_timer, nullptr);
    // A callback that was already running finishes before anything it uses changes.
    while (g_inCallback.load(std::memory_order_acquire)) {
    }
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
        const int64_t periodNs = kNsPerS / (F > 0 && rate / F > 0 ? rate / F : 1000);
        const int64_t period100 = (periodNs + periodNs / 100) / 100; // 1 % slow: the callback catches up
        g_status.store(2, rlx);
        ExSetTimer(g_timer, -10000, period100, nullptr);
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
