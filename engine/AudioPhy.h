// The phy record: the audio-interface side of the engine. VelunorRoute's engine has one
// phy, the virtual phy over the shared exchange area (engine/shareMem.h), or none
// (the driver runs the engine).
//
// Threads: the command handler writes the command-facing fields (counts, rate, frames,
// gains, mutes, tone, remap, flags) from the route or PTP thread while the engine thread
// reads them every period, so each of those is a relaxed std::atomic. The ring geometry
// (ring*, in/out base, strides, mask) is fixed at creation, before the engine thread
// starts, and never changes: block addressing uses only it, so no command can move a
// period outside the section. Meters and the tone phase belong to the engine thread
// (published meters are read with RtpMeter_get).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/VelunorTypes.h"
#include "engine/rtp/RtpAudio.h"

#define AUDIOPHY_GAIN_SLOTS (2 * PHY_MAX_CH_NUM) // 0..127 input side, 128..255 output side
#define AUDIOPHY_OUT_SLOT(o) (PHY_MAX_CH_NUM + (o))

struct AudioPhy;
typedef int (*AudioPhyOp)(AudioPhy* phy);

struct AudioPhy {
    // ---- written by commands, read by the period (relaxed atomics) ----
    std::atomic<int32_t> phyRx;           // input channels (sound-card side -> network)
    std::atomic<int32_t> phyTx;           // output channels (network -> sound-card side)
    std::atomic<int32_t> sampleRate;      // Hz
    std::atomic<int32_t> framesPerPeriod; // frames in one period
    std::atomic<int32_t> dspFromNet;      // stored and reported only
    std::atomic<int32_t> dspToNet;        // stored and reported only
    std::atomic<int32_t> toneCh;          // test tone channel, -1 = off
    std::atomic<uint8_t> toneSide;        // 0 = input side, 1 = output side
    std::atomic<int32_t> gain[AUDIOPHY_GAIN_SLOTS]; // Q20 (GAIN_UNITY_Q20 = unity)
    std::atomic<uint8_t> mute[AUDIOPHY_GAIN_SLOTS]; // non-zero = muted
    std::atomic<uint32_t> gainGen;                  // moves after every gain or mute change
    std::atomic<uint8_t> hasChRemap;                // remap: stored and reported only
    std::atomic<uint32_t> remapRx[PHY_MAX_CH_NUM];
    std::atomic<uint32_t> remapTx[PHY_MAX_CH_NUM];
    std::atomic<uint8_t> isRxDirectTx; // debug flag, stored and reported only

    // ---- engine thread ----
    std::atomic<uint64_t> periodIndex; // advanced modulo (mask + 1) every period
    uint32_t tonePhase;                // test tone phase, 0..23
    uint32_t gainSeen[2];              // per side (0 input, 1 output): gainGen at the last look,
    int32_t gainPlainN[2];             // and the channels then all unity and unmuted (-1: none)
    RtpMeterBank meterIn;              // phy input channels
    RtpMeterBank meterOut;             // phy output channels

    // ---- fixed at creation ----
    AudioPhyOp prepare, start, stop, restart; // the virtual phy's do nothing, report 0
    int32_t* inBase;  // area A slot 0 (null without a section)
    int32_t* outBase; // area B slot 0
    int32_t inStride;  // bytes per frame of area A (ringChRx x 4)
    int32_t outStride; // bytes per frame of area B (ringChTx x 4)
    uint32_t mask;     // (2 x (sampleRate / 1000)) / framesPerPeriod - 1
    uint32_t ringFrames, ringChRx, ringChTx, ringBufMs; // the section's geometry
    void* shareMem;    // the section (null: no virtual phy)
    uint64_t counter;  // blocks completed (engine thread's copy of offset 24)
    uint64_t outSilent; // area B slots (below 64) the engine left all zero: bit = slot
};

// Gain (Q20) and mute of a slot (inputs 0.., outputs AUDIOPHY_OUT_SLOT(0)..): every
// change goes through these, so that the period looks at the tables again only then.
inline void AudioPhy_setGain(AudioPhy* p, int slot, int32_t q20) {
    p->gain[slot].store(q20, std::memory_order_relaxed);
    p->gainGen.fetch_add(1, std::memory_order_release);
}
inline void AudioPhy_setMute(AudioPhy* p, int slot, bool muted) {
    p->mute[slot].store(muted ? 1 : 0, std::memory_order_relaxed);
    p->gainGen.fetch_add(1, std::memory_order_release);
}
inline void AudioPhy_setAllGains(AudioPhy* p, int32_t q20) {
    for (int i = 0; i < AUDIOPHY_GAIN_SLOTS; ++i) p->gain[i].store(q20, std::memory_order_relaxed);
    p->gainGen.fetch_add(1, std::memory_order_release);
}

// The engine's single phy record (always present; shareMem tells whether it is backed).
AudioPhy* AudioPhy_get();

// Engine words of the command line (the defaults until AudioPhy_virtual_new parses them).
struct AudioPhyWords {
    int32_t sampleRate; // 48000
    int32_t chNumRx;    // 2
    int32_t chNumTx;    // 2
    int32_t bufMs;      // 4
    int32_t domain;     // 0
    uint64_t ptpMode;   // 0
    char bindIp[64];    // "192.168.10.224"
    bool poll;          // false
};
// Parses argv[1..argc-1] by prefix into words (defaults first; later words override).
void AudioPhy_parseWords(int argc, char** argv, AudioPhyWords* words);
// The words the engine started with.
const AudioPhyWords* AudioPhy_words();

// Clears the record to its start-up state (no section, tone off, gains and mutes 0).
void AudioPhy_clear(AudioPhy* phy);
// Parses the engine words and sets up the phy; creates the section "Velunor-vSnd-shareMem"
// when bufMs > 1 and the rings fit (ShareMem_fits). Returns the phy record.
AudioPhy* AudioPhy_virtual_new(int argc, char** argv);
// Whether the virtual phy over shared memory exists.
bool AudioPhy_hasShareMem();

// ---- period steps (engine thread) ----
// One period's block: frames x chNum samples, frame after frame, strideSamples apart.
// frames = min(framesPerPeriod, ring frames) and chNum = min(phyRx or phyTx, ring
// channels), so a command changing the counts or frames never reaches outside the block.
struct AudioPhyBlock {
    int32_t* samples; // null when there is no section
    int frames;
    int chNum;
    int strideSamples;
};
// Block k mod R of area A (what the host played) / of area B (what the host will read),
// k = blocks completed. false (and an empty block) without a section.
bool AudioPhy_inputBlock(AudioPhyBlock* out);
bool AudioPhy_outputBlock(AudioPhyBlock* out);
// Whether the current block of area B is known to hold only zeros (the engine left it
// so a ring cycle ago; hosts only read area B), and the record of what this period
// leaves there.
bool AudioPhy_outputSilent();
void AudioPhy_setOutputSilent(bool silent);
// Hands the engine phy's output block, channel counts and rate (after the phy is made).
void AudioPhy_connectEngine(AudioPhy* phy);
// Zeroes the whole current block of area A (all ring channels, all ring frames).
void AudioPhy_clearInputBlock();
// Ends the period: stores k + 1 into the section's counter after the data (release).
void AudioPhy_periodDone();
// Blocks completed so far (engine thread's copy).
uint64_t AudioPhy_counter();

// Tests: removes the section and clears the record.
void AudioPhy_destroy();
