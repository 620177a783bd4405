#include "platform/netbatch.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {
constexpr int kChunk = 64;
}

int NetBatch_send(int sock, const NetDatagram* d, int n) {
    if (sock < 0 || !d || n <= 0) return 0;
    mmsghdr msgs[kChunk];
    iovec iov[kChunk];
    sockaddr_in sa[kChunk];
    int sent = 0;
    int i = 0;
    while (i < n) {
        int m = n - i < kChunk ? n - i : kChunk;
        for (int k = 0; k < m; ++k) {
            const NetDatagram& g = d[i + k];
            std::memset(&sa[k], 0, sizeof sa[k]);
            sa[k].sin_family = AF_INET;
            sa[k].sin_addr.s_addr = htonl(g.addr);
            sa[k].sin_port = htons(g.port);
            iov[k].iov_base = const_cast<void*>(g.buf);
            iov[k].iov_len = g.len;
            std::memset(&msgs[k], 0, sizeof msgs[k]);
            msgs[k].msg_hdr.msg_name = &sa[k];
            msgs[k].msg_hdr.msg_namelen = sizeof sa[k];
            msgs[k].msg_hdr.msg_iov = &iov[k];
            msgs[k].msg_hdr.msg_iovlen = 1;
        }
        int r = sendmmsg(sock, msgs, unsigned(m), MSG_DONTWAIT);
        if (r <= 0) {
            // The first datagram of the chunk failed: skip it, go on with the rest.
            i += 1;
            continue;
        }
        sent += r;
        i += r;
    }
    return sent;
}

bool NetBatch_localAddr(int sock, uint32_t* addr, uint16_t* port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (sock < 0 || getsockname(sock, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET)
        return false;
    if (addr) *addr = ntohl(sa.sin_addr.s_addr);
    if (port) *port = ntohs(sa.sin_port);
    return true;
}
