// The per-period work on a phy block that both engine builds share: the test tone,
// gain and mute. Engine thread (or timer callback) only.
#pragma once
#include "engine/AudioPhy.h"

// Replaces channel ch of every frame with the next steps of the 24-step sine table (one
// tenth of full scale); the phase runs on across periods in phy->tonePhase.
void PhyDsp_tone(AudioPhy* phy, const AudioPhyBlock& b, int ch);
// Gain (Q20, saturated) and mute per channel; slot0 = 0 for inputs, AUDIOPHY_OUT_SLOT(0)
// for outputs. A block whose channels are all at unity and unmuted is left alone.
void PhyDsp_gain(AudioPhy* phy, const AudioPhyBlock& b, int slot0);
// Tone (when this side has it), gain, mute and metering of one block. side: 0 input, 1 output.
// live (may be null: every channel): the groups of channels that may carry samples
// (RtpMeter_addBlock), the tone's group added here; keep (may be null) receives the
// block's sums of squares.
void PhyDsp_block(AudioPhy* phy, const AudioPhyBlock& b, int side, int sideChNum, RtpMeterBank* meter,
                  uint8_t* live = nullptr, RtpBlockSums* keep = nullptr);
// Sine table step k (x 2^21 gives the sample).
int PhyDsp_toneValue(int k);
