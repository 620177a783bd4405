#include "platform/netbatch.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

namespace {
// A whole period (at most 144 datagrams) goes out in one sendmmsg.
constexpr int kMsgs = 256;      // messages per sendmmsg
constexpr int kIovs = 256;      // buffers per sendmmsg
constexpr int kMaxSegs = 64;    // segments the kernel takes in one UDP_SEGMENT send
constexpr uint32_t kMaxGsoBytes = 65000;
std::atomic<bool> g_gsoBroken{false}; // the path refused segmentation once: stop trying

bool sameDest(const NetDatagram& a, const NetDatagram& b) {
    return a.addr == b.addr && a.port == b.port && a.len == b.len;
}

void oneByOne(int sock, const NetDatagram* d, int n, int* sent) {
    for (int i = 0; i < n; ++i) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(d[i].addr);
        sa.sin_port = htons(d[i].port);
        if (sendto(sock, d[i].buf, d[i].len, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), sizeof sa) >= 0)
            *sent += 1;
    }
}
}  // namespace

int NetBatch_send(int sock, const NetDatagram* d, int n, bool gso) {
    if (sock < 0 || !d || n <= 0) return 0;
    if (g_gsoBroken.load(std::memory_order_relaxed)) gso = false;
    mmsghdr msgs[kMsgs];
    iovec iov[kIovs];
    sockaddr_in sa[kMsgs];
    alignas(cmsghdr) char ctrl[kMsgs][CMSG_SPACE(sizeof(uint16_t))];
    int first[kMsgs], count[kMsgs];
    int sent = 0;
    int i = 0;
    while (i < n) {
        // Gather up to kMsgs messages; with gso, a run of equal datagrams to one
        // destination becomes one message of several segments.
        int m = 0, nio = 0;
        while (i < n && m < kMsgs && nio < kIovs) {
            int run = 1;
            if (gso && d[i].len > 0) {
                while (i + run < n && run < kMaxSegs && nio + run < kIovs && sameDest(d[i], d[i + run]) &&
                       uint64_t(d[i].len) * uint64_t(run + 1) <= kMaxGsoBytes)
                    ++run;
            }
            std::memset(&sa[m], 0, sizeof sa[m]);
            sa[m].sin_family = AF_INET;
            sa[m].sin_addr.s_addr = htonl(d[i].addr);
            sa[m].sin_port = htons(d[i].port);
            std::memset(&msgs[m], 0, sizeof msgs[m]);
            for (int k = 0; k < run; ++k) {
                iov[nio + k].iov_base = const_cast<void*>(d[i + k].buf);
                iov[nio + k].iov_len = d[i + k].len;
            }
            msgs[m].msg_hdr.msg_name = &sa[m];
            msgs[m].msg_hdr.msg_namelen = sizeof sa[m];
            msgs[m].msg_hdr.msg_iov = &iov[nio];
            msgs[m].msg_hdr.msg_iovlen = size_t(run);
            if (run > 1) {
                msgs[m].msg_hdr.msg_control = ctrl[m];
                msgs[m].msg_hdr.msg_controllen = sizeof ctrl[m];
                cmsghdr* c = CMSG_FIRSTHDR(&msgs[m].msg_hdr);
                c->cmsg_level = SOL_UDP;
                c->cmsg_type = UDP_SEGMENT;
                c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                uint16_t seg = uint16_t(d[i].len);
                std::memcpy(CMSG_DATA(c), &seg, sizeof seg);
            }
            first[m] = i;
            count[m] = run;
            nio += run;
            i += run;
            ++m;
        }
        int done = 0;
        while (done < m) {
            int r = sendmmsg(sock, msgs + done, unsigned(m - done), MSG_DONTWAIT);
            if (r > 0) {
                for (int k = done; k < done + r; ++k) sent += count[k];
                done += r;
                continue;
            }
            // The message at done failed. A segmented one is sent again datagram by
            // datagram (and segmentation is given up); a plain one is skipped.
            if (count[done] > 1) {
                g_gsoBroken.store(true, std::memory_order_relaxed);
                oneByOne(sock, d + first[done], count[done], &sent);
            }
            done += 1;
        }
    }
    return sent;
}

bool NetBatch_reserveSendBuffer(int sock, int bytes) {
    if (sock < 0 || bytes <= 0) return false;
    // The kernel doubles what it is asked for (its own bookkeeping) and reports the double.
    auto granted = [sock] {
        int v = 0;
        socklen_t l = sizeof v;
        return getsockopt(sock, SOL_SOCKET, SO_SNDBUF, &v, &l) == 0 ? v / 2 : 0;
    };
    if (granted() >= bytes) return true;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    if (granted() >= bytes) return true;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes);
    return granted() >= bytes;
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

void NetBatch_rxInit(NetRxBatch* b, uint8_t* bufs, size_t stride, size_t cap, int n) {
    if (!b) return;
    if (n < 0 || !bufs) n = 0;
    if (n > NETBATCH_RX_MAX) n = NETBATCH_RX_MAX;
    for (int i = 0; i < n; ++i) {
        b->iov[i] = iovec{bufs + size_t(i) * stride, cap};
        b->msgs[i] = mmsghdr{};
        b->msgs[i].msg_hdr.msg_iov = &b->iov[i];
        b->msgs[i].msg_hdr.msg_iovlen = 1;
        b->msgs[i].msg_hdr.msg_name = &b->src[i];
        b->msgs[i].msg_hdr.msg_namelen = sizeof b->src[i];
        b->msgs[i].msg_hdr.msg_control = b->ctrl[i];
        b->msgs[i].msg_hdr.msg_controllen = sizeof b->ctrl[i];
    }
    b->slots = n;
    b->filled = 0;
}

int NetBatch_recv(int sock, NetRxBatch* b) {
    if (sock < 0 || !b || b->slots <= 0) return 0;
    // The kernel shortened the name and control lengths of what it filled last time.
    for (int i = 0; i < b->filled; ++i) {
        b->msgs[i].msg_hdr.msg_namelen = sizeof b->src[i];
        b->msgs[i].msg_hdr.msg_controllen = sizeof b->ctrl[i];
    }
    b->filled = 0;
    // MSG_TRUNC: msg_len is the datagram's real length, so a cut one is known as such.
    const int n = recvmmsg(sock, b->msgs, unsigned(b->slots), MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n <= 0) return 0;
    b->filled = n;
    return n;
}

NetRxInfo NetBatch_rxInfo(const NetRxBatch* b, int i) {
    NetRxInfo r{};
    if (!b || i < 0 || i >= b->filled) return r;
    const msghdr& h = b->msgs[i].msg_hdr;
    r.len = b->msgs[i].msg_len;
    if (h.msg_namelen >= sizeof(sockaddr_in)) {
        r.srcAddr = ntohl(b->src[i].sin_addr.s_addr);
        r.srcPort = ntohs(b->src[i].sin_port);
    }
    for (const cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&h), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo pi;
            std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
            r.dstAddr = ntohl(pi.ipi_addr.s_addr);
        }
    }
    return r;
}
