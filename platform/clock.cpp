#include "platform/clock.h"

#include <ctime>

int64_t Clock_nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

uint64_t Clock_tickMs() { return uint64_t(Clock_nowNs() / 1000000LL); }

void Clock_sleepMs(int ms) {
    if (ms <= 0) return;
    timespec ts{ms / 1000, long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}
