// Batched datagram sends: one system call for a whole period's datagrams.
#pragma once
#include <cstddef>
#include <cstdint>

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
