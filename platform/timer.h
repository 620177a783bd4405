// A high-resolution periodic timer on the monotonic clock (the 1 ms engine tick).
// Expiries are absolute; a wait that comes back late does not queue the missed
// expiries: the next one is the next grid point after now, like a periodic waitable
// timer whose signal was already set.
#pragma once
#include <cstdint>

struct PeriodTimer {
    int64_t periodNs = 0;
    int64_t nextNs = 0; // next expiry, CLOCK_MONOTONIC ns
};

// Starts the timer: the first expiry is now (at once), then every periodNs.
bool PeriodTimer_start(PeriodTimer* t, int64_t periodNs);
// Sleeps until the next expiry (clock_nanosleep TIMER_ABSTIME) and moves the expiry on.
// Returns the lateness of the wake-up in ns (>= 0), or -1 when the timer is not started.
int64_t PeriodTimer_wait(PeriodTimer* t);
// Sleeps until the absolute monotonic time (ns).
void PeriodTimer_sleepUntil(int64_t absNs);
