// The 10 ms clockwork of the route layer (periodWork is declared in routeApi.h) and the
// synchronisation of the device record into the engine.
#pragma once
#include <cstdint>

// Reads the engine's stream tables, channel maps, gains and mutes, pushes every
// difference from the record, and fetches the activity flags and levels. Sends
// "updateRoute" when routing was pushed, else "updateActive" when an activity flag changed.
void periodWork_syncToKo();

// Level in dB of a mean-square meter value (20 log10 of the RMS, corrected by sqrt 2).
float periodWork_levelDb(uint32_t v);
