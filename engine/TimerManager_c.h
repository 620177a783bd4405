// Period timing of the engine: 1 ms periods aligned to PTP-derived RTP time.
//
// The timing values below are written by the command thread (setPtpOffset, resetRtpTs,
// resetPerformStats) and by the engine thread; each is one relaxed atomic word.
// Reason convention as in engine/rtp/RtpAudio.h, with file=TimerManager_c.
#pragma once
#include <cstddef>
#include <cstdint>

// The engine thread's loop (called by thread_ko); runs for the life of the process.
// poll: spin instead of waiting on the 1 ms timer.
void TimerManager_run();
// The same loop until the monotonic clock reaches untilNs or a stop is requested;
// onWake (may be null) gets every timer wake-up's lateness in ns and the expiry it was
// due at (CLOCK_MONOTONIC ns; benchmarks, tests).
typedef void (*TimerManagerWakeFn)(int64_t lateNs, int64_t dueNs, void* ctx);
void TimerManager_runLoop(int64_t untilNs, TimerManagerWakeFn onWake, void* ctx);
// Makes the loop return after its current pass.
void TimerManager_requestStop();

// ---- the phy side the period works on (set by engine start-up) ----
struct AudioPhy;
// The phy record used by the period and the loop (null: no periods).
void TimerManager_setPhy(AudioPhy* phy);
// Poll mode of the loop (the "poll" engine word).
void TimerManager_setPoll(bool poll);
// Whether the loop raises itself to critical (SCHED_FIFO) priority; on by default.
void TimerManager_setRealtime(bool on);

// ---- commands ----
// Re-aligns the RTP timestamp at the next period; refused unless the device status is 2:
// "error at: file=TimerManager_c func=TimerManager_resetRtpTs line=%d msg=can not modify when working".
int TimerManager_resetRtpTs(char* reason, size_t cap);
void TimerManager_setPtpOffsetNs(int64_t ns);
int64_t TimerManager_getPtpOffsetNs();
int32_t TimerManager_getErrorNs();
uint32_t TimerManager_getRstRtp();      // count of RTP timestamp re-alignments
uint32_t TimerManager_getRstI2s();      // phy restarts, 0 here
uint32_t TimerManager_getDeviceStatus(); // 0 in VelunorRoute's engine
void TimerManager_setDeviceStatus(uint32_t status);
uint64_t TimerManager_getRtpTs();       // RTP timestamp (frames) of the current period
// i2s_poll: |lag| in frames at the last catch-up and its maximum.
int32_t TimerManager_getPollCur();
int32_t TimerManager_getPollMax();
void TimerManager_resetPerformStats();

// ---- period work (engine thread; exposed for tests and benchmarks) ----
// System clock in ns (monotonic).
int64_t TimerManager_nowNs();
// One catch-up at system time sysNs: runs the periods whose time is at most half a
// period ahead of PTP time (0 to 4), or re-aligns beyond three periods either way.
// Returns the count run.
int TimerManager_catchUp(int64_t sysNs);
// One period at PTP time ptpNs.
void TimerManager_period(int64_t ptpNs);
// floor(ns x fs / 1e9) without overflow for non-negative ns.
uint64_t TimerManager_nsToFrames(int64_t ns, int fs);
// Back to the start-up state (tests).
void TimerManager_reset();

// Test tone: 24-step sine table value k (x 2^21 gives the sample).
int TimerManager_toneValue(int k);
