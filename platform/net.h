// UDP sockets for the route layer and the engine. Addresses and ports are in
// host order throughout; a socket is a plain descriptor (-1 = none).
#pragma once
#include <cstddef>
#include <cstdint>

// Start-up of the socket library: nothing to do here, always 0.
int Net_startup();

// The one UDP socket rule: SO_REUSEADDR 1, bind to bindAddr (0 = any) and port when
// port > 0, non-blocking. Any failure prints its line and ends the process with status 1.
int Net_udpSocket(uint32_t bindAddr, int port);

// Same steps, but reports failure as -1 instead of ending the process.
int Net_udpSocketTry(uint32_t bindAddr, int port);

void Net_close(int sock);

// Multicast membership and options; 0 on success, -1 on failure.
int Net_joinGroup(int sock, uint32_t group, uint32_t ifaceAddr);
int Net_leaveGroup(int sock, uint32_t group, uint32_t ifaceAddr);
int Net_setMcastIf(int sock, uint32_t ifaceAddr);
int Net_setMcastTtl(int sock, int ttl);
int Net_setMcastLoop(int sock, int on);
int Net_setTos(int sock, int tos);
int Net_setPktInfo(int sock, int on);
int Net_setRcvBuf(int sock, int bytes);
int Net_setSndBuf(int sock, int bytes);
bool Net_isMulticast(uint32_t addr);

// Non-blocking receive of one datagram. Returns the datagram's real length (which
// may exceed cap: the copy is then truncated to cap), or -1 when nothing is there
// or on error.
int Net_recvFrom(int sock, void* buf, size_t cap, uint32_t* srcAddr, uint16_t* srcPort);

// Same, and also the destination address of the datagram (IP_PKTINFO must be on).
int Net_recvPktInfo(int sock, void* buf, size_t cap, uint32_t* srcAddr, uint16_t* srcPort,
                    uint32_t* dstAddr);

// Arrival time stamps taken by the kernel (SO_TIMESTAMPNS); 0 or -1.
int Net_setRxStamp(int sock, int on);
// Non-blocking receive of one datagram with its arrival time on the monotonic clock
// (ns; -1 when the kernel gave no stamp). Returns as Net_recvFrom. A stamp does not
// move with the receiving thread's wake-up: a late thread still sees when the
// datagram came.
int Net_recvStamped(int sock, void* buf, size_t cap, int64_t* arrivalNs);

// UDP datagrams the kernel of this network namespace has sent so far (OutDatagrams of
// /proc/net/snmp), or -1 (benchmarks and tests: did every datagram leave?).
long long Net_udpOutDatagrams();

// Sends one datagram; returns the bytes sent or -1.
int Net_sendTo(int sock, const void* buf, size_t len, uint32_t addr, uint16_t port);

// Waits until one of the sockets is readable or timeoutMs passes.
// Returns >0 when something is readable, 0 on time-out, -1 on error.
int Net_waitReadable(const int* socks, int count, int timeoutMs);

// The dotted IPv4 rule: up to four decimal numbers separated by ".", accumulated
// as value * 256 + next, host order. Text not starting with a digit gives 0 for that
// part; a null text gives 0.
uint32_t Net_parseIp(const char* text);

// "%u.%u.%u.%u", most significant byte first. out must hold 16 bytes.
void Net_formatIp(uint32_t addr, char* out, size_t cap);

// The IPv4 addresses configured on this computer's interfaces (host order);
// returns the count written.
int Net_localAddrs(uint32_t* out, int cap);
