#include "engine/rtp/PeriodGrid.h"

namespace {
constexpr int64_t kNsPerS = 1000000000LL;

// The first ns of frame f: ceil(f x 1e9 / fs), f split in whole seconds and the rest.
int64_t nsOfFrame(uint64_t f, int fs) {
    const uint64_t q = f / uint64_t(fs), r = f % uint64_t(fs);
    return int64_t(q) * kNsPerS + int64_t((r * uint64_t(kNsPerS) + uint64_t(fs) - 1) / uint64_t(fs));
}
}  // namespace

uint64_t PeriodGrid_frames(int64_t ns, int fs) {
    if (fs <= 0) return 0;
    int64_t q = ns / kNsPerS, r = ns % kNsPerS;
    if (r < 0) {
        r += kNsPerS;
        q -= 1;
    }
    return uint64_t(q) * uint64_t(fs) + uint64_t(r) * uint64_t(fs) / uint64_t(kNsPerS);
}

uint64_t PeriodGrid_alignedTs(int64_t c, int fs, int P) {
    uint64_t ts = PeriodGrid_frames(c, fs);
    if (P > 0) ts = (ts + uint64_t(P / 2)) / uint64_t(P) * uint64_t(P);
    return ts;
}

int PeriodGrid_due(int32_t lag, int P) {
    if (int64_t(lag) < -3LL * P || int64_t(lag) > 3LL * P) return -1;
    if (P <= 0) return 1;
    // Running one more whenever the lag was positive, and at least one per wake-up, let
    // jittered wake-ups ratchet the period time up to a period ahead of the media clock:
    // datagrams then left stamped a packet time early, and the receive side took one only
    // when it came a period earlier than its link offset allows. Half a period each way
    // keeps one period per jittered wake-up.
    const int64_t ahead = int64_t(lag) + P + P / 2;
    return ahead < 0 ? 0 : int(ahead / P);
}

int64_t PeriodGrid_backNs(int32_t lag, int fs, int P) {
    return lag > 0 && fs > 0 && P > 0 ? 2LL * P * kNsPerS / fs : 0;
}

int64_t PeriodGrid_phaseNs(int64_t t, int fs, int P) {
    if (fs <= 0 || P <= 0 || t < 0) return 0;
    const uint64_t f = PeriodGrid_frames(t, fs);
    const uint64_t start = f - f % uint64_t(P);
    int64_t phase = t - nsOfFrame(start, fs);
    const int64_t period = nsOfFrame(start + uint64_t(P), fs) - nsOfFrame(start, fs);
    if (phase >= period / 2) phase -= period;
    return phase;
}
