// Process entry of VelunorRoute and the route layer's receive-and-dispatch loop.
#pragma once
#include <cstdint>
#include <cstdio>

#include "route/routeApi.h"

// The whole process: engine start-up, its two threads, then route_main (never returns
// in normal operation).
int VelunorRoute_main(int argc, char** argv);

// The route layer's start-up and loop over the three sockets; never returns.
void route_main(int argc, char** argv);

// The text defaults of the entry (bind address from the engine, model, device id,
// route file path); the other settings are left as they are.
void Route_setTextDefaults(RouteArgs* a, const char* bindIpText);
// The defaults route_main sets before parsing: control group 239.0.0.188, no second
// group, control port 9996, payload type 97, both flags off.
void Route_setNumDefaults(RouteArgs* a);

// Applies the route words of argv[1..argc-1] to *a in order. Returns -1 when an
// argument is exactly "help" (the words before it are applied, none after), else 0.
int Route_parseArgs(int argc, char** argv, RouteArgs* a);

// The two usage lines with the current values of *a.
void Route_printUsage(FILE* out, const char* prog, const RouteArgs* a);

// The 10 ms grid of the periodic work. Given the tick count and the next tick,
// returns how many times the periodic work runs now (0, 1 or 2) and moves *next:
// one tick late advances it by 10 ms; a whole tick behind runs twice and re-aligns
// to the next multiple of 10 ms above now.
int Route_tickStep(uint64_t nowMs, uint64_t* next);

// The next multiple of 10 ms strictly above nowMs.
uint64_t Route_nextGrid(uint64_t nowMs);
