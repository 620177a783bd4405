// The kernel audio interface: the engine's phy in the driver. Two static rings of
// 98304 bytes, slots of one period each; the render endpoints' audio goes into the
// input ring, the capture endpoints' audio comes from the output ring.
#include <cstring>

#include "driver/driver.h"
#include "engine/AudioPhy.h"

namespace {

constexpr auto rlx = std::memory_order_relaxed;
int32_t g_inRing[KOAUDIO_RING_BYTES / 4];
int32_t g_outRing[KOAUDIO_RING_BYTES / 4];
uint32_t g_mask;
uint32_t g_outOffset = 1;
std::atomic<uint64_t> g_counter;
// The geometry the rings were opened with (commands may change the phy's counts only
// while the engine is idle, but the period never trusts them beyond the open).
uint32_t g_rx, g_tx, g_frames;
AudioPhy g_phy;

}  // namespace

AudioPhy* AudioPhy_get() { return &g_phy; }

void KoAudio_defaults() {
    AudioPhy* p = &g_phy;
    p->phyRx.store(2, rlx);
    p->phyTx.store(2, rlx);
    p->sampleRate.store(48000, rlx);
    p->framesPerPeriod.store(48, rlx);
    p->dspFromNet.store(0, rlx);
    p->dspToNet.store(0, rlx);
    p->toneCh.store(-1, rlx);
    p->toneSide.store(0, rlx);
    // Unity until someone sets a gain: a card nobody has tuned yet passes its audio.
    for (int i = 0; i < AUDIOPHY_GAIN_SLOTS; ++i) p->mute[i].store(0, rlx);
    AudioPhy_setAllGains(p, GAIN_UNITY_Q20);
    p->hasChRemap.store(0, rlx);
    p->isRxDirectTx.store(0, rlx);
    p->periodIndex.store(0, rlx);
    p->tonePhase = 0;
    RtpMeter_clear(&p->meterIn);
    RtpMeter_clear(&p->meterOut);
    g_counter.store(0, rlx);
    g_mask = 0;
}

int KoAudio_open() {
    AudioPhy* p = &g_phy;
    const int32_t rx = p->phyRx.load(rlx), tx = p->phyTx.load(rlx);
    const int32_t rate = p->sampleRate.load(rlx), F = p->framesPerPeriod.load(rlx);
    if ((rx <= 0 && tx <= 0) || rx < 0 || tx < 0 || rate <= 0 || F <= 0) return -1;
    const int64_t P = int64_t(rx > tx ? rx : tx) * F * 4;
    const int64_t fit = int64_t(KOAUDIO_RING_BYTES) / P;
    int64_t limit = fit < 1024 ? fit : 1024;
    int64_t slots = 1;
    while (slots * 2 <= limit) slots *= 2;
    if (limit < 1) slots = 0;
    if (rx > 64 || tx > 64 || rate > 192000 || slots == 0) return -1;
    if (int64_t(rx) * slots * F * 4 > KOAUDIO_RING_BYTES || int64_t(tx) * slots * F * 4 > KOAUDIO_RING_BYTES) return -1;
    if (slots - 1 > 1023) return -1;
    g_mask = uint32_t(slots - 1);
    g_rx = uint32_t(rx);
    g_tx = uint32_t(tx);
    g_frames = uint32_t(F);
    g_counter.store(0, rlx);
    std::memset(g_inRing, 0, sizeof g_inRing);
    std::memset(g_outRing, 0, sizeof g_outRing);
    return 0;
}

void KoAudio_close() { g_mask = 0; }
uint32_t KoAudio_mask() { return g_mask; }
uint32_t KoAudio_outOffset() { return g_outOffset; }
int32_t* KoAudio_inBlock(uint32_t slot) { return g_inRing + size_t(slot & g_mask) * g_frames * g_rx; }
int32_t* KoAudio_outBlock(uint32_t slot) { return g_outRing + size_t(slot & g_mask) * g_frames * g_tx; }
uint64_t KoAudio_counter() { return g_counter.load(rlx); }
void KoAudio_setCounter(uint64_t v) { g_counter.store(v, rlx); }
