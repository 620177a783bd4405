// Monotonic time: the tick count (ms since boot) and the performance counter (ns).
#pragma once
#include <cstdint>

uint64_t Clock_tickMs();
int64_t Clock_nowNs();
void Clock_sleepMs(int ms);
