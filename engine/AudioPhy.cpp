// The virtual phy: engine words, the shared exchange area and the producer's block steps.
#include "engine/AudioPhy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/rtp/RtpAudio.h"
#include "engine/shareMem.h"
#include "platform/diag.h"
#include "platform/section.h"

static const char* const UNIT = "testKo_ko";

static AudioPhy s_phy;
static AudioPhyWords s_words;
static Section s_section;

AudioPhy* AudioPhy_get() { return &s_phy; }
const AudioPhyWords* AudioPhy_words() { return &s_words; }
bool AudioPhy_hasShareMem() { return s_phy.shareMem != nullptr; }

static int noOp(AudioPhy*) { return 0; }

void AudioPhy_clear(AudioPhy* p) {
    const auto r = std::memory_order_relaxed;
    p->phyRx.store(0, r);
    p->phyTx.store(0, r);
    p->sampleRate.store(0, r);
    p->framesPerPeriod.store(0, r);
    p->dspFromNet.store(0, r);
    p->dspToNet.store(0, r);
    p->toneCh.store(-1, r);
    p->toneSide.store(0, r);
    for (int i = 0; i < AUDIOPHY_GAIN_SLOTS; ++i) {
        p->gain[i].store(0, r);
        p->mute[i].store(0, r);
    }
    p->gainGen.fetch_add(1, std::memory_order_release);
    p->hasChRemap.store(0, r);
    for (int i = 0; i < PHY_MAX_CH_NUM; ++i) {
        p->remapRx[i].store(0, r);
        p->remapTx[i].store(0, r);
    }
    p->isRxDirectTx.store(0, r);
    p->periodIndex.store(0, r);
    p->tonePhase = 0;
    RtpMeter_clear(&p->meterIn);
    RtpMeter_clear(&p->meterOut);
    p->prepare = p->start = p->stop = p->restart = nullptr;
    p->inBase = p->outBase = nullptr;
    p->inStride = p->outStride = 0;
    p->mask = 0;
    p->ringFrames = p->ringChRx = p->ringChTx = p->ringBufMs = 0;
    p->shareMem = nullptr;
    p->counter = 0;
}

// Base-detecting number after a word's prefix; text that is no number gives 0.
static int64_t wordNumber(const char* text) {
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 0);
    return end == text ? 0 : v;
}

static int32_t clampInt32(int64_t v, int32_t lo, int32_t hi) {
    return v < lo ? lo : (v > hi ? hi : int32_t(v));
}

void AudioPhy_parseWords(int argc, char** argv, AudioPhyWords* w) {
    w->sampleRate = 48000;
    w->chNumRx = 2;
    w->chNumTx = 2;
    w->bufMs = 4;
    w->domain = 0;
    w->ptpMode = 0;
    std::snprintf(w->bindIp, sizeof w->bindIp, "%s", "192.168.10.224");
    w->poll = false;
    for (int i = 1; i < argc && argv; ++i) {
        const char* a = argv[i];
        if (!a) continue;
        if (!std::strncmp(a, "sampleRate=", 11)) w->sampleRate = clampInt32(wordNumber(a + 11), INT32_MIN, INT32_MAX);
        if (!std::strncmp(a, "chNumRx=", 8)) w->chNumRx = clampInt32(wordNumber(a + 8), INT32_MIN, INT32_MAX);
        if (!std::strncmp(a, "chNumTx=", 8)) w->chNumTx = clampInt32(wordNumber(a + 8), INT32_MIN, INT32_MAX);
        if (!std::strncmp(a, "bufMs=", 6)) w->bufMs = clampInt32(wordNumber(a + 6), INT32_MIN, INT32_MAX);
        if (!std::strncmp(a, "domain=", 7)) w->domain = clampInt32(wordNumber(a + 7), INT32_MIN, INT32_MAX);
        if (!std::strncmp(a, "ptpMode=", 8)) w->ptpMode = uint64_t(std::strtoull(a + 8, nullptr, 0));
        if (!std::strncmp(a, "bindIp=", 7)) std::snprintf(w->bindIp, sizeof w->bindIp, "%s", a + 7);
        if (!std::strncmp(a, "poll", 4)) w->poll = true;
    }
}

AudioPhy* AudioPhy_virtual_new(int argc, char** argv) {
    AudioPhy* p = &s_phy;
    if (s_section.base) Section_close(&s_section); // a second start-up (tests) maps anew
    AudioPhy_clear(p);
    AudioPhy_parseWords(argc, argv, &s_words);
    AudioPhy_clear(p);

    // Channel counts index the 128-entry gain, mute, remap and meter tables: keep them
    // inside, so neither the period nor a command can step past a table.
    int32_t chRx = s_words.chNumRx, chTx = s_words.chNumTx;
    if (chRx < 0 || chRx > PHY_MAX_CH_NUM || chTx < 0 || chTx > PHY_MAX_CH_NUM) {
        DIAG_ERROR_AT(UNIT, "AudioPhy_virtual_new");
        chRx = clampInt32(chRx, 0, PHY_MAX_CH_NUM);
        chTx = clampInt32(chTx, 0, PHY_MAX_CH_NUM);
    }
    const int32_t rate = s_words.sampleRate;
    const int32_t frames = rate / 1000;
    const auto r = std::memory_order_relaxed;
    p->prepare = p->start = p->stop = p->restart = noOp;
    p->toneCh.store(-1, r);
    p->toneSide.store(0, r);
    p->dspFromNet.store(0, r);
    p->dspToNet.store(0, r);
    p->phyRx.store(chRx, r);
    p->phyTx.store(chTx, r);
    p->sampleRate.store(rate, r);
    p->framesPerPeriod.store(frames, r);

    const int32_t bufMs = s_words.bufMs;
    // A rate below 1000 Hz has no whole frame per period: nothing to exchange.
    if (frames < 1 || bufMs < 0 || !ShareMem_fits(uint32_t(frames), uint32_t(chRx), uint32_t(chTx), uint32_t(bufMs)))
        return p;

    if (!Section_create(SHAREMEM_NAME, SHAREMEM_SIZE, &s_section)) {
        // Without the section the virtual phy cannot work: run as if there were none.
        DIAG_ERROR_AT(UNIT, "AudioPhy_virtual_new");
        return p;
    }
    uint8_t* base = static_cast<uint8_t*>(s_section.base);
    // A section left by an earlier run keeps its bytes: start from silence.
    std::memset(base + SHAREMEM_HEADER_SIZE, 0, SHAREMEM_SIZE - SHAREMEM_HEADER_SIZE);
    auto put32 = [base](size_t off, uint32_t v) {
        reinterpret_cast<std::atomic<uint32_t>*>(base + off)->store(v, std::memory_order_relaxed);
    };
    std::atomic<uint64_t>* counter = ShareMem_counter(base);
    counter->store(0, std::memory_order_relaxed);
    put32(SHAREMEM_OFF_RESERVED, 0);
    put32(SHAREMEM_OFF_MAGIC, SHAREMEM_MAGIC);
    put32(SHAREMEM_OFF_MAGIC2, SHAREMEM_MAGIC);
    put32(SHAREMEM_OFF_RATE, uint32_t(rate));
    put32(SHAREMEM_OFF_CHRX, uint32_t(chRx));
    put32(SHAREMEM_OFF_CHTX, uint32_t(chTx));
    put32(SHAREMEM_OFF_BUFMS, uint32_t(bufMs));
    put32(SHAREMEM_OFF_SIZE, SHAREMEM_SIZE);
    counter->store(0, std::memory_order_release);

    p->ringFrames = uint32_t(frames);
    p->ringChRx = uint32_t(chRx);
    p->ringChTx = uint32_t(chTx);
    p->ringBufMs = uint32_t(bufMs);
    p->inBase = reinterpret_cast<int32_t*>(base + SHAREMEM_HEADER_SIZE);
    p->outBase = reinterpret_cast<int32_t*>(base + ShareMem_offB(p->ringFrames, p->ringChRx, p->ringChTx,
                                                                 p->ringBufMs, 0, 0, 0));
    p->inStride = chRx * 4;
    p->outStride = chTx * 4;
    p->mask = uint32_t((2 * frames) / frames - 1);
    p->periodIndex.store(0, r);
    p->counter = 0;
    p->outSilent = 0; // written once before it counts as silent
    p->shareMem = base;
    return p;
}

static int minInt(int a, int b) { return a < b ? a : b; }

static bool block(bool input, AudioPhyBlock* out) {
    const AudioPhy* p = &s_phy;
    *out = AudioPhyBlock{nullptr, 0, 0, 0};
    if (!p->shareMem) return false;
    const uint32_t slot = uint32_t(p->counter % p->ringBufMs);
    const uint32_t ringCh = input ? p->ringChRx : p->ringChTx;
    const int want = (input ? p->phyRx : p->phyTx).load(std::memory_order_relaxed);
    const int fpp = p->framesPerPeriod.load(std::memory_order_relaxed);
    out->samples = (input ? p->inBase : p->outBase) + size_t(slot) * p->ringFrames * ringCh;
    out->frames = minInt(fpp < 0 ? 0 : fpp, int(p->ringFrames));
    out->chNum = minInt(want < 0 ? 0 : want, int(ringCh));
    out->strideSamples = int(ringCh);
    return true;
}

bool AudioPhy_inputBlock(AudioPhyBlock* out) { return block(true, out); }
bool AudioPhy_outputBlock(AudioPhyBlock* out) { return block(false, out); }

bool AudioPhy_outputSilent() {
    const AudioPhy* p = &s_phy;
    if (!p->shareMem) return false;
    const uint64_t slot = p->counter % p->ringBufMs;
    return slot < 64 && ((p->outSilent >> slot) & 1u) != 0;
}

void AudioPhy_setOutputSilent(bool silent) {
    AudioPhy* p = &s_phy;
    if (!p->shareMem) return;
    const uint64_t slot = p->counter % p->ringBufMs;
    if (slot >= 64) return;
    const uint64_t bit = uint64_t(1) << slot;
    p->outSilent = silent ? p->outSilent | bit : p->outSilent & ~bit;
}

void AudioPhy_clearInputBlock() {
    const AudioPhy* p = &s_phy;
    if (!p->shareMem) return;
    const uint32_t slot = uint32_t(p->counter % p->ringBufMs);
    std::memset(p->inBase + size_t(slot) * p->ringFrames * p->ringChRx, 0,
                size_t(p->ringFrames) * p->ringChRx * 4u);
}

void AudioPhy_periodDone() {
    AudioPhy* p = &s_phy;
    if (!p->shareMem) return;
    p->counter += 1;
    ShareMem_counter(p->shareMem)->store(p->counter, std::memory_order_release);
}

uint64_t AudioPhy_counter() { return s_phy.counter; }

void AudioPhy_destroy() {
    if (s_section.base) {
        Section_close(&s_section);
        Section_unlink(SHAREMEM_NAME);
    }
    AudioPhy_clear(&s_phy);
}

void AudioPhy_connectEngine(AudioPhy* phy) {
    AudioPhyBlock out{};
    AudioPhy_outputBlock(&out);
    RtpOutBlockDesc d{phy->phyTx.load(std::memory_order_relaxed), phy->framesPerPeriod.load(std::memory_order_relaxed),
                      out.samples, phy->outStride};
    RtpAudio_afterDspPrepare(phy->phyRx.load(std::memory_order_relaxed), &d,
                             phy->sampleRate.load(std::memory_order_relaxed));
}
