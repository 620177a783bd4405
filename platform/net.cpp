#include "platform/net.h"

#include "platform/rtprio.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

int Net_startup() { return 0; }

static int udpSocket(uint32_t bindAddr, int port, bool fatal) {
    auto fail = [&](const char* text, int fd) {
        std::printf("%s", text);
        std::fflush(stdout);
        if (fd >= 0) close(fd);
        if (fatal) std::exit(1);
        return -1;
    };
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) return fail("error: socket() fail \n", -1);
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return fail("error: setsockopt(SO_REUSEADDR) fail \n", fd);
    if (port > 0) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(bindAddr);
        sa.sin_port = htons(uint16_t(port));
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            // A port below 1024 needs a privilege: name it, never leave it at "fail".
            if (errno == EACCES) Privilege_report("CAP_NET_BIND_SERVICE", "UDP port", port);
            return fail("error: bind() fail \n", fd);
        }
    }
    int nb = 1;
    if (ioctl(fd, FIONBIO, &nb) != 0) return fail("error: ioctlsocket(FIONBIO) fail \n", fd);
    return fd;
}

int Net_udpSocket(uint32_t bindAddr, int port) { return udpSocket(bindAddr, port, true); }
int Net_udpSocketTry(uint32_t bindAddr, int port) { return udpSocket(bindAddr, port, false); }

void Net_close(int sock) {
    if (sock >= 0) close(sock);
}

static int membership(int sock, int opt, uint32_t group, uint32_t ifaceAddr) {
    ip_mreq m{};
    m.imr_multiaddr.s_addr = htonl(group);
    m.imr_interface.s_addr = htonl(ifaceAddr);
    return setsockopt(sock, IPPROTO_IP, opt, &m, sizeof m) == 0 ? 0 : -1;
}

int Net_joinGroup(int sock, uint32_t group, uint32_t ifaceAddr) {
    return membership(sock, IP_ADD_MEMBERSHIP, group, ifaceAddr);
}

int Net_leaveGroup(int sock, uint32_t group, uint32_t ifaceAddr) {
    return membership(sock, IP_DROP_MEMBERSHIP, group, ifaceAddr);
}

int Net_setMcastIf(int sock, uint32_t ifaceAddr) {
    in_addr a{};
    a.s_addr = htonl(ifaceAddr);
    return setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a) == 0 ? 0 : -1;
}

int Net_setMcastTtl(int sock, int ttl) {
    unsigned char v = (unsigned char)ttl;
    return setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &v, sizeof v) == 0 ? 0 : -1;
}

int Net_setMcastLoop(int sock, int on) {
    unsigned char v = on ? 1 : 0;
    return setsockopt(sock, IPPROTO_IP, IP_MULTICAST_LOOP, &v, sizeof v) == 0 ? 0 : -1;
}

int Net_setTos(int sock, int tos) {
    return setsockopt(sock, IPPROTO_IP, IP_TOS, &tos, sizeof tos) == 0 ? 0 : -1;
}

int Net_setPktInfo(int sock, int on) {
    return setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0 ? 0 : -1;
}

int Net_setRcvBuf(int sock, int bytes) {
    return setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0 ? 0 : -1;
}

int Net_setSndBuf(int sock, int bytes) {
    return setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0 ? 0 : -1;
}

bool Net_isMulticast(uint32_t addr) { return (addr >> 28) == 0xE; }

int Net_recvFrom(int sock, void* buf, size_t cap, uint32_t* srcAddr, uint16_t* srcPort) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ssize_t n = recvfrom(sock, buf, cap, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) return -1;
    if (srcAddr) *srcAddr = ntohl(sa.sin_addr.s_addr);
    if (srcPort) *srcPort = ntohs(sa.sin_port);
    return int(n);
}

int Net_setRxStamp(int sock, int on) {
    return setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0 ? 0 : -1;
}

// Non-blocking recvmsg of one datagram into buf with its control messages in ctrl;
// the sender lands in *sa when given. The datagram's real length or -1.
static ssize_t recvWithControl(int sock, void* buf, size_t cap, sockaddr_in* sa, void* ctrl, size_t ctrlLen,
                               msghdr* msg, iovec* iov) {
    *iov = iovec{buf, cap};
    *msg = msghdr{};
    if (sa) {
        msg->msg_name = sa;
        msg->msg_namelen = sizeof *sa;
    }
    msg->msg_iov = iov;
    msg->msg_iovlen = 1;
    msg->msg_control = ctrl;
    msg->msg_controllen = ctrlLen;
    return recvmsg(sock, msg, MSG_DONTWAIT | MSG_TRUNC);
}

int Net_recvStamped(int sock, void* buf, size_t cap, int64_t* arrivalNs) {
    if (arrivalNs) *arrivalNs = -1;
    iovec iov;
    msghdr msg;
    alignas(cmsghdr) char ctrl[CMSG_SPACE(sizeof(timespec))];
    ssize_t n = recvWithControl(sock, buf, cap, nullptr, ctrl, sizeof ctrl, &msg, &iov);
    if (n < 0) return -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c && arrivalNs; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec ts;
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        // The kernel stamps with the real-time clock: moved onto the monotonic one by
        // their difference now (a step of the real-time clock in between is the only
        // error, and a rare one).
        timespec rt, mono;
        clock_gettime(CLOCK_REALTIME, &rt);
        clock_gettime(CLOCK_MONOTONIC, &mono);
        const int64_t rtNs = int64_t(rt.tv_sec) * 1000000000LL + rt.tv_nsec;
        const int64_t monoNs = int64_t(mono.tv_sec) * 1000000000LL + mono.tv_nsec;
        const int64_t stamp = int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
        const int64_t mapped = stamp - (rtNs - monoNs);
        // A stamp from the future or from before the clock began is not one.
        if (mapped <= monoNs && mapped >= 0) *arrivalNs = mapped;
    }
    return int(n);
}

int Net_recvPktInfo(int sock, void* buf, size_t cap, uint32_t* srcAddr, uint16_t* srcPort,
                    uint32_t* dstAddr) {
    sockaddr_in sa{};
    iovec iov;
    msghdr msg;
    alignas(cmsghdr) char ctrl[CMSG_SPACE(sizeof(in_pktinfo))];
    ssize_t n = recvWithControl(sock, buf, cap, &sa, ctrl, sizeof ctrl, &msg, &iov);
    if (n < 0) return -1;
    if (srcAddr) *srcAddr = ntohl(sa.sin_addr.s_addr);
    if (srcPort) *srcPort = ntohs(sa.sin_port);
    if (dstAddr) {
        *dstAddr = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo pi;
                std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
                *dstAddr = ntohl(pi.ipi_addr.s_addr);
            }
        }
    }
    return int(n);
}

int Net_sendTo(int sock, const void* buf, size_t len, uint32_t addr, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(port);
    ssize_t n = sendto(sock, buf, len, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return n < 0 ? -1 : int(n);
}

int Net_waitReadable(const int* socks, int count, int timeoutMs) {
    pollfd fds[16];
    if (count < 0 || count > 16) return -1;
    for (int i = 0; i < count; i++) fds[i] = pollfd{socks[i], POLLIN, 0};
    int r = poll(fds, nfds_t(count), timeoutMs);
    if (r < 0 && errno == EINTR) return 0;
    return r < 0 ? -1 : r;
}

uint32_t Net_parseIp(const char* text) {
    if (!text) return 0;
    uint32_t v = 0;
    const char* p = text;
    for (int part = 0; part < 4; part++) {
        if (part > 0) {
            const char* dot = std::strchr(p, '.');
            if (!dot) break;
            p = dot + 1;
        }
        // Decimal number at p; anything else counts as 0 for this part.
        uint32_t n = 0;
        const char* q = p;
        while (*q >= '0' && *q <= '9') {
            n = n * 10 + uint32_t(*q - '0');
            q++;
        }
        v = v * 256 + n;
    }
    return v;
}

void Net_formatIp(uint32_t addr, char* out, size_t cap) {
    // By hand: the replies format hundreds of addresses, and printf dominated them.
    char t[16];
    size_t n = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned b = (addr >> shift) & 255;
        if (b >= 100) t[n++] = char('0' + b / 100);
        if (b >= 10) t[n++] = char('0' + b / 10 % 10);
        t[n++] = char('0' + b % 10);
        if (shift) t[n++] = '.';
    }
    if (cap == 0) return;
    if (n >= cap) n = cap - 1; // cut as snprintf would
    std::memcpy(out, t, n);
    out[n] = 0;
}

int Net_localAddrs(uint32_t* out, int cap) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    int n = 0;
    for (ifaddrs* i = list; i && n < cap; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET)
            out[n++] = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    }
    freeifaddrs(list);
    return n;
}

long long Net_udpOutDatagrams() {
    FILE* f = std::fopen("/proc/net/snmp", "r");
    if (!f) return -1;
    char line[1024];
    long long v = -1;
    bool header = false;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "Udp:", 4) != 0) continue;
        if (!header) { // the first "Udp:" line names the columns
            header = true;
            continue;
        }
        long long x[4];
        if (std::sscanf(line + 4, "%lld %lld %lld %lld", &x[0], &x[1], &x[2], &x[3]) == 4) v = x[3];
        break;
    }
    std::fclose(f);
    return v;
}
