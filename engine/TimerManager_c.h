// Period timing of the engine: 1 ms periods aligned to PTP-derived RTP time.
#pragma once

// The engine thread's loop (called by thread_ko); runs for the life of the process.
void TimerManager_run();
