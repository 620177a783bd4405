// Batched datagram sends and receives: one system call for a whole period's datagrams.
#pragma once
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

struct NetDatagram {
    const void* buf;
    uint32_t len;
    uint32_t addr; // host order
    uint16_t port; // host order
};

// Sends every datagram of d[0..n-1] from sock, in order. A datagram that fails is
// skipped and the rest are still tried. Returns the number sent. No allocation.
// gso: consecutive datagrams of equal length to one destination go out as one
// segmented send (UDP_SEGMENT); receivers still get separate datagrams, but packet
// captures on virtual links show the unsegmented whole, so it is off by default.
int NetBatch_send(int sock, const NetDatagram* d, int n, bool gso = false);

// Lets sock hold at least bytes of datagrams not yet transmitted: SO_SNDBUF, and past the
// system's ceiling SO_SNDBUFFORCE where that is permitted. A card keeps each datagram
// charged to its socket until it has gone out, so a socket that sends a burst needs room
// for the whole burst, or the kernel refuses the rest of it. True when the room is there.
bool NetBatch_reserveSendBuffer(int sock, int bytes);

// The address and port a socket is bound to (host order); false on error.
bool NetBatch_localAddr(int sock, uint32_t* addr, uint16_t* port);

// Batched receive: the message headers of up to NETBATCH_RX_MAX datagrams, set up once
// over buffers the caller owns, so a call costs one system call and nothing else.
#define NETBATCH_RX_MAX 144 // a period's worth: every stream of the engine
struct NetRxBatch {
    int slots = 0;  // headers set up
    int filled = 0; // headers the last call filled (reset by the next call)
    mmsghdr msgs[NETBATCH_RX_MAX];
    iovec iov[NETBATCH_RX_MAX];
    sockaddr_in src[NETBATCH_RX_MAX];
    alignas(cmsghdr) unsigned char ctrl[NETBATCH_RX_MAX][CMSG_SPACE(sizeof(in_pktinfo))];
};
// Points slot i (i < n, n capped at NETBATCH_RX_MAX) at bufs + i x stride, cap bytes.
void NetBatch_rxInit(NetRxBatch* b, uint8_t* bufs, size_t stride, size_t cap, int n);
// One non-blocking recvmmsg into the slots: the datagrams waiting, in order of arrival.
// Returns how many (0 when none waits or on error).
int NetBatch_recv(int sock, NetRxBatch* b);
// Datagram i of the last call: its real length (a longer one than cap is cut to cap),
// source and, with IP_PKTINFO on, destination (0 otherwise); host order.
struct NetRxInfo {
    uint32_t len;
    uint32_t srcAddr;
    uint16_t srcPort;
    uint32_t dstAddr;
};
NetRxInfo NetBatch_rxInfo(const NetRxBatch* b, int i);
