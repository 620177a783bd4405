// Placeholder until the PTP slave lands: keeps the process entry linkable.
#include "engine/myPtp.h"

void thread_ptp() {}
