// Engine start-up of VelunorRoute: the engine words of the command line, the phy
// choice (virtual phy over shared memory or the driver), and the engine thread.
#pragma once
#include <cstdint>

// Reads the engine words, opens the RTP socket, chooses the phy. 0 on success.
int init_ko(int argc, char** argv);
// Body of the engine thread (runs for the life of the process).
void thread_ko();
// The engine's bind address text (default "192.168.10.224"); the route layer's default.
const char* Ko_bindIpText();
// The device's own address (host order, 0 = not known yet), set by the route layer
// whenever it is set or changes (release order) and read by the PTP thread (acquire).
void Ko_setOwnIp(uint32_t ip);
uint32_t Ko_ownIp();
// The engine's RTP socket (-1 before init_ko).
int Ko_rtpSocket();
// The engine words domain= (PTP domain, default 0) and ptpMode= (default 0: multicast).
int Ko_ptpDomain();
uint64_t Ko_ptpMode();
