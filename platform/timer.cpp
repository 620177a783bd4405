#include "platform/timer.h"

#include <cerrno>
#include <ctime>

#include "platform/clock.h"

void PeriodTimer_sleepUntil(int64_t absNs) {
    if (absNs < 0) absNs = 0;
    timespec ts{time_t(absNs / 1000000000LL), long(absNs % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

bool PeriodTimer_start(PeriodTimer* t, int64_t periodNs) {
    if (!t || periodNs <= 0) return false;
    t->periodNs = periodNs;
    t->nextNs = Clock_nowNs();
    return true;
}

int64_t PeriodTimer_wait(PeriodTimer* t) {
    if (!t || t->periodNs <= 0) return -1;
    PeriodTimer_sleepUntil(t->nextNs);
    int64_t now = Clock_nowNs();
    int64_t late = now - t->nextNs;
    if (late < 0) late = 0;
    t->nextNs += t->periodNs;
    if (t->nextNs <= now) {
        // Missed expiries are not replayed: go to the next grid point after now.
        int64_t missed = (now - t->nextNs) / t->periodNs + 1;
        t->nextNs += missed * t->periodNs;
    }
    return late;
}
