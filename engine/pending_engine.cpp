// Placeholder until the period timer lands; removed when TimerManager_c.cpp defines it.
#include "engine/TimerManager_c.h"

void TimerManager_run() {}
