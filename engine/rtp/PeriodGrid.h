// The media clock's period grid: where periods start, how many a late wake-up runs, and
// how far a wake-up lies off a period's start. Shared by the user engine's loop
// (engine/TimerManager_c) and the driver's timer (driver/TimerManager), so both engines
// put their periods on the same grid as every sender that does the same. Pure functions.
#pragma once
#include <cstdint>

// floor(ns x fs / 1e9) without overflow; a negative ns is floored too. 0 when fs <= 0.
uint64_t PeriodGrid_frames(int64_t ns, int fs);

// The RTP timestamp a re-alignment at PTP time c (ns) takes: the whole multiple of P
// frames nearest to c's media time.
uint64_t PeriodGrid_alignedTs(int64_t c, int fs, int P);

// A catch-up's decision for lag = media clock at the wake-up - P - timestamp of the last
// period run (frames): the count of periods due (0 to 4), those whose time is at most half
// a period ahead of the media clock; or -1, re-align, beyond three periods either way.
int PeriodGrid_due(int32_t lag, int P);

// How far before the wake-up (ns) a re-alignment for lag puts its first period: two
// periods when the engine was held up (lag > 0), none when it ran ahead.
int64_t PeriodGrid_backNs(int32_t lag, int fs, int P);

// How far PTP time t (ns) lies after the nearest period start, in [-period/2, period/2).
int64_t PeriodGrid_phaseNs(int64_t t, int fs, int P);
