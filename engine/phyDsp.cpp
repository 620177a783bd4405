#include "engine/phyDsp.h"

#include "engine/koBuild.h"

namespace {
constexpr auto rlx = std::memory_order_relaxed;
// The 24-step sine table, 127 x sin(2 pi k / 24) truncated towards zero.
constexpr int8_t kTone[24] = {0,   32,   63,   89,   109,  122,  127,  122,  109,  89,  63,  32,
                              0,   -32,  -63,  -89,  -109, -122, -127, -122, -109, -89, -63, -32};

// The kernel build's table: the same sine with the peak at one tenth of full scale.
constexpr int32_t kToneKernel[24] = {0,          55580966,   107374181,  151850024,  185977538,  207430990,
                                     214748364,  207430990,  185977538,  151850024,  107374181,  55580966,
                                     0,          -55580966,  -107374181, -151850024, -185977538, -207430990,
                                     -214748364, -207430990, -185977538, -151850024, -107374182, -55580966};

int32_t toneSample(uint32_t ph) { return KO_BUILD_KERNEL ? kToneKernel[ph] : int32_t(kTone[ph]) * (1 << 21); }

}  // namespace

void PhyDsp_tone(AudioPhy* p, const AudioPhyBlock& b, int ch) {
    uint32_t ph = p->tonePhase;
    for (int k = 0; k < b.frames; ++k) {
        b.samples[size_t(k) * size_t(b.strideSamples) + size_t(ch)] = toneSample(ph);
        ph = ph + 1 == 24 ? 0 : ph + 1;
    }
    p->tonePhase = ph;
}

// Gain (Q20, saturated) and mute per channel; slot0 = 0 for inputs, 128 for outputs.
// A muted channel is a gain of 0, which gives the same zeros. Unity passes a sample
// unchanged, so a block whose channels are all at unity and unmuted is left alone.
void PhyDsp_gain(AudioPhy* p, const AudioPhyBlock& b, int slot0) {
    int32_t g[PHY_MAX_CH_NUM];
    const int n = b.chNum < PHY_MAX_CH_NUM ? b.chNum : PHY_MAX_CH_NUM;
    // The tables are read again only after a change: an untouched card does not walk
    // 256 gains and mutes every period.
    const int side = slot0 == 0 ? 0 : 1;
    const uint32_t gen = p->gainGen.load(std::memory_order_acquire);
    if (gen == p->gainSeen[side] && p->gainPlainN[side] == n) return;
    bool any = false;
    for (int c = 0; c < n; ++c) {
        g[c] = p->mute[slot0 + c].load(rlx) != 0 ? 0 : p->gain[slot0 + c].load(rlx);
        any |= g[c] != GAIN_UNITY_Q20;
    }
    p->gainSeen[side] = gen;
    p->gainPlainN[side] = any ? -1 : n;
    if (!any) return;
    for (int k = 0; k < b.frames; ++k) {
        int32_t* s = b.samples + size_t(k) * size_t(b.strideSamples);
        for (int c = 0; c < n; ++c) {
            int64_t v = (int64_t(g[c]) * s[c]) >> 20;
            s[c] = v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : int32_t(v);
        }
    }
}


void PhyDsp_block(AudioPhy* p, const AudioPhyBlock& b, int side, int sideChNum, RtpMeterBank* meter, uint8_t* live,
                  RtpBlockSums* keep) {
    const int tc = p->toneCh.load(rlx);
    if (p->toneSide.load(rlx) == side && tc >= 0 && tc < sideChNum && tc < b.chNum) {
        PhyDsp_tone(p, b, tc);
        if (live && tc < RTP_METER_MAX_CH) live[tc >> 3] = 1;
    }
    PhyDsp_gain(p, b, side == 0 ? 0 : AUDIOPHY_OUT_SLOT(0));
    RtpMeter_addBlock(meter, b.samples, b.frames, b.chNum, b.strideSamples, p->sampleRate.load(rlx), live, keep);
}

int PhyDsp_toneValue(int k) { return kTone[((k % 24) + 24) % 24]; }
