// Thread priorities: the "Pro Audio" class and its priority levels on Linux.
// Real-time levels map to SCHED_FIFO when the system permits it; otherwise the
// thread stays at normal scheduling and one line says so.
#pragma once

enum RtPrioLevel {
    RTPRIO_NORMAL = 0,
    RTPRIO_ABOVE_NORMAL, // nice -5 (no real-time class)
    RTPRIO_HIGH,         // SCHED_FIFO 60
    RTPRIO_CRITICAL,     // SCHED_FIFO 70
};

// Joins the calling thread to a scheduling class by name ("Pro Audio"); on Linux the
// class only names the intent, the level does the work. Returns a handle > 0.
int RtPrio_joinClass(const char* className);
// Sets the calling thread's level. 0: applied; 1: fell back to normal scheduling (the
// fall-back is logged with who); -1: invalid level.
int RtPrio_setLevel(RtPrioLevel level, const char* who);
// Whether the calling thread runs with SCHED_FIFO.
bool RtPrio_isRealtime();

// Says that a step needs a privilege this program lacks, naming it and how to grant it
// (a file capability on the program, as the package gives VelunorRoute, or orLimit when
// not null), on standard output:
//   error: UDP port 319 needs the privilege CAP_NET_BIND_SERVICE, which <program> lacks: ...
void Privilege_report(const char* capability, const char* what, int value, const char* orLimit = nullptr);
