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
// argument is a help word (the words before it are applied, none after), else 0.
int Route_parseArgs(int argc, char** argv, RouteArgs* a);

// "help", "--help" or "-h", exactly.
bool Route_isHelpWord(const char* arg);

// What the command line asks for, judged before anything is opened.
enum RouteCmdLine {
    ROUTE_CMD_RUN = 0,     // start the service
    ROUTE_CMD_HELP,        // a help word came first: print the usage, exit 0
    ROUTE_CMD_UNKNOWN,     // argv[*bad] is no word of the route layer or the engine
    ROUTE_CMD_BAD_BIND_IP, // the bind address text is empty or not a dotted IPv4 address
    ROUTE_CMD_FOREIGN_IP,  // the bind address is not one of this computer's addresses
};
// Reads argv[1..] left to right: the first help word or unknown word decides (*bad is
// its index). Otherwise judges bindIpText, the bind address the service would use:
// 0.0.0.0 is accepted (the service waits for an address), any other address must be
// configured on an interface of this computer (network namespace).
RouteCmdLine Route_checkCmdLine(int argc, char** argv, const char* bindIpText, int* bad);

// The two usage lines with the current values of *a.
void Route_printUsage(FILE* out, const char* prog, const RouteArgs* a);

// The 10 ms grid of the periodic work. Given the tick count and the next tick,
// returns how many times the periodic work runs now (0, 1 or 2) and moves *next:
// one tick late advances it by 10 ms; a whole tick behind runs twice and re-aligns
// to the next multiple of 10 ms above now.
int Route_tickStep(uint64_t nowMs, uint64_t* next);

// The next multiple of 10 ms strictly above nowMs.
uint64_t Route_nextGrid(uint64_t nowMs);
