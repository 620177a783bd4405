// Winsock Kernel of the stand-in kernel: one kind of socket, AF_INET/SOCK_RAW/
// IPPROTO_UDP, over a Linux raw socket. What the driver sends is a UDP header and its
// payload; the stack builds the IPv4 header. What it receives starts with the IPv4
// header, as the datagram indication of a raw socket does.
//
// Sends: a single datagram is one sendto; a batch (WskSendMessages) goes out in
// sendmmsg calls, through the UDP socket that holds the bound port when the datagrams
// come from that port (the raw socket would checksum every payload on the way). Receives: a socket filter in the kernel keeps what the driver never
// looks at (other protocols, other ports, datagrams of 56 bytes or less, unicast for a
// stream it does not have once it names its streams) from waking the receive thread,
// which reads in batches (recvmmsg) and indicates each batch as one list, as a
// receive-from event does.
//
// Linux gives a raw socket bound to a unicast address only datagrams to that address,
// so group datagrams come from a companion raw socket bound to any address, which holds
// the memberships and passes on multicast destinations only. Bound to a port, the socket
// also holds that UDP port with an ordinary socket whose filter drops everything: the
// computer then has a listener on the port and never answers its datagrams with ICMP
// port-unreachable.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <poll.h>
#include <time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "driver/kernel/wdm.h"
#include "platform/netbatch.h"
#include "platform/rtprio.h"

extern "C" const GUID NPI_WSK_INTERFACE_ID = {0x2227E803, 0x8D8B, 0x11D4, {0xAB, 0xAD, 0x00, 0x90, 0x27, 0x71, 0x9E, 0x09}};

namespace {

constexpr uint32_t kNoLimit = 0xFFFFFFFFu;
constexpr int kRxBatch = 64;      // datagrams per recvmmsg
constexpr size_t kRxCap = 2048;   // the largest datagram the driver takes is 1528 bytes
constexpr int kTxChunk = 256;     // datagrams per sendmmsg (the kernel takes up to 1024)
// Room in the send queue for four periods of every transmit stream (144 datagrams of up
// to 1528 bytes): a card that keeps datagrams until they are on the wire would refuse
// the last ones of a full period otherwise.
constexpr int kSendQueueBytes = 4 * 144 * 1528;

struct RawSocket {
    WSK_SOCKET wsk; // first: the driver holds a WSK_SOCKET*
    int fd = -1;        // raw, bound as the driver asks
    int groupFd = -1;   // raw, bound to any: group datagrams
    int portFd = -1;    // UDP, holds the bound port
    bool portSends = false; // portFd is bound: it sends what comes from the port
    uint16_t port = 0;  // bound, host order
    uint32_t ucastStreams = kNoLimit; // unicast stream indexes the client takes
    void* context = nullptr;
    WSK_RECEIVE_FROM_EVENT* onReceive = nullptr;
    std::atomic<bool> eventOn{false};
    std::atomic<bool> quit{false};
    std::thread rx;
    std::mutex eventLock; // held while an indication runs, so disabling waits for it
    // receive thread only
    NetRxBatch batch;
    uint8_t rxBuf[kRxBatch][kRxCap];
    MDL rxMdl[kRxBatch];
    SOCKADDR_IN_K rxFrom[kRxBatch];
    WSK_DATAGRAM_INDICATION rxInd[kRxBatch];
};

void complete(IRP* irp, NTSTATUS st, uintptr_t info) {
    if (!irp) return;
    irp->IoStatus.Status = st;
    irp->IoStatus.Information = info;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// One recvmmsg on fd, indicated as one list; returns the count read. groups: pass on
// group destinations only (the filter already does; this keeps it so if the filter
// could not be attached).
int receiveBatch(RawSocket* s, int fd, bool groups) {
    const int n = NetBatch_recv(fd, &s->batch);
    WSK_DATAGRAM_INDICATION* head = nullptr;
    WSK_DATAGRAM_INDICATION** tail = &head;
    for (int i = 0; i < n; ++i) {
        const NetRxInfo info = NetBatch_rxInfo(&s->batch, i);
        if (info.len < 20 || info.len > kRxCap) continue; // a cut datagram is no use
        const uint8_t top = s->rxBuf[i][16]; // first byte of the destination address
        if (groups && (top < 224 || top > 239)) continue;
        s->rxMdl[i] =
            MDL{nullptr, s->rxBuf[i], ULONG(info.len), MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA};
        s->rxFrom[i] = SOCKADDR_IN_K{AF_INET_K, htons(info.srcPort), htonl(info.srcAddr), {}};
        s->rxInd[i] = WSK_DATAGRAM_INDICATION{nullptr, WSK_BUF{&s->rxMdl[i], 0, size_t(info.len)}, nullptr, 0,
                                              &s->rxFrom[i]};
        *tail = &s->rxInd[i];
        tail = &s->rxInd[i].Next;
    }
    if (!head || !s->eventOn.load()) return n;
    std::lock_guard<std::mutex> g(s->eventLock);
    if (s->eventOn.load() && s->onReceive) s->onReceive(s->context, 0, head);
    return n;
}

int64_t nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// Datagrams that come more often than every kPaceNs are read on a 250 us pace instead of
// one wake-up each: a flood then costs a few wake-ups a period, and a datagram waits at
// most that long, well inside the period it is due in (the engine drains once a period).
constexpr int64_t kPaceNs = 250000;

void receiveLoop(RawSocket* s) {
    // A kernel indicates receives at dispatch level, ahead of every thread: at normal
    // priority, a host that resumed after a stall ran its timer's catch-up long before
    // this thread read what had queued meanwhile (a loaded machine's other work comes
    // first), and the periods of the catch-up found nothing. Below the timer's level.
    RtPrio_setLevel(RTPRIO_HIGH, "velunor-kernel receive");
    NetBatch_rxInit(&s->batch, &s->rxBuf[0][0], kRxCap, kRxCap, kRxBatch);
    int64_t last = 0;
    bool paced = false;
    while (!s->quit.load()) {
        if (paced) {
            const int64_t due = last + kPaceNs;
            timespec t{time_t(due / 1000000000LL), long(due % 1000000000LL)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        } else {
            pollfd p[2] = {{s->fd, POLLIN, 0}, {s->groupFd, POLLIN, 0}};
            if (::poll(p, s->groupFd >= 0 ? 2 : 1, 200) <= 0) continue;
        }
        const int64_t start = nowNs();
        int got = 0;
        for (int fd : {s->fd, s->groupFd}) {
            if (fd < 0) continue;
            int n = kRxBatch;
            for (int i = 0; i < 8 && n == kRxBatch; ++i) got += n = receiveBatch(s, fd, fd == s->groupFd);
        }
        paced = got > 0 && start - last < kPaceNs;
        last = start;
    }
}

// The kernel-side filter of a raw UDP socket (the packet starts at its IPv4 header):
// IPv4, UDP, destination port (host order; 0: any), longer than 56 bytes, and with
// groups a destination in 224.0.0.0/4. With a unicast stream count, a unicast
// destination also needs a compact header (payload byte 0 is 0) of a stream index below
// it: a flood of RTP for no stream then never wakes the receive thread. Writes at most
// 20 instructions; returns the count.
int buildFilter(sock_filter* f, uint16_t port, bool groups, uint32_t ucastStreams = kNoLimit) {
    int n = 0;
    // Jumps are counted to the final "drop" instruction, so each test is written with
    // the distance to it filled in at the end.
    int toDrop[8], nd = 0;
    auto test = [&](sock_filter ins) {
        toDrop[nd++] = n;
        f[n++] = ins;
    };
    f[n++] = {BPF_LD | BPF_B | BPF_ABS, 0, 0, 0};         // version and header length
    f[n++] = {BPF_ALU | BPF_RSH | BPF_K, 0, 0, 4};
    test({BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 4});           // IPv4
    f[n++] = {BPF_LD | BPF_B | BPF_ABS, 0, 0, 9};
    test({BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 17});          // UDP
    f[n++] = {BPF_LD | BPF_W | BPF_LEN, 0, 0, 0};
    test({BPF_JMP | BPF_JGT | BPF_K, 0, 0, 56});          // longer than 56 bytes
    if (groups) {
        f[n++] = {BPF_LD | BPF_B | BPF_ABS, 0, 0, 16};    // first byte of the destination
        f[n++] = {BPF_ALU | BPF_RSH | BPF_K, 0, 0, 4};
        test({BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 0xE});     // 224.0.0.0/4
    }
    f[n++] = {BPF_LDX | BPF_B | BPF_MSH, 0, 0, 0};        // X = IPv4 header length
    if (port) {
        f[n++] = {BPF_LD | BPF_H | BPF_IND, 0, 0, 2};     // UDP destination port
        test({BPF_JMP | BPF_JEQ | BPF_K, 0, 0, port});
    }
    if (!groups && ucastStreams != kNoLimit) {
        f[n++] = {BPF_LD | BPF_B | BPF_ABS, 0, 0, 16};
        f[n++] = {BPF_ALU | BPF_RSH | BPF_K, 0, 0, 4};
        f[n++] = {BPF_JMP | BPF_JEQ | BPF_K, 4, 0, 0xE};  // a group: accepted as it stands
        f[n++] = {BPF_LD | BPF_B | BPF_IND, 0, 0, 8};     // compact header, first byte
        test({BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 0});
        f[n++] = {BPF_LD | BPF_H | BPF_IND, 0, 0, 10};    // stream index
        toDrop[nd++] = n;                                 // index >= count: drop
        f[n++] = {BPF_JMP | BPF_JGE | BPF_K, 0, 0, ucastStreams};
        // JGE jumps on true: the drop distance goes in jt, and false falls through.
    }
    f[n++] = {BPF_RET | BPF_K, 0, 0, 0xFFFFFFFFu};
    const int drop = n;
    f[n++] = {BPF_RET | BPF_K, 0, 0, 0};
    for (int i = 0; i < nd; ++i) {
        sock_filter& t = f[toDrop[i]];
        const uint8_t dist = uint8_t(drop - toDrop[i] - 1);
        if ((t.code & 0xF0) == BPF_JGE) t.jt = dist;
        else t.jf = dist;
    }
    return n;
}

void attachFilter(int fd, uint16_t port, bool groups, uint32_t ucastStreams = kNoLimit) {
    sock_filter f[24];
    sock_fprog prog{uint16_t(buildFilter(f, port, groups, ucastStreams)), f};
    if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0) {
        std::printf("velunor-kernel: socket filter: %s\n", std::strerror(errno));
        std::fflush(stdout);
    }
}

void closeFds(RawSocket* s) {
    for (int* fd : {&s->fd, &s->groupFd, &s->portFd})
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
}

NTSTATUS wskControl(WSK_SOCKET* ws, WSK_CONTROL_SOCKET_TYPE type, ULONG code, ULONG level, size_t inSize, void* in,
                    size_t, void*, size_t* outReturned, IRP* irp) {
    RawSocket* s = reinterpret_cast<RawSocket*>(ws);
    if (outReturned) *outReturned = 0;
    NTSTATUS st = STATUS_INVALID_PARAMETER;
    if (type == WskSetOption && level == SOL_SOCKET_K && code == SO_WSK_EVENT_CALLBACK && in &&
        inSize >= sizeof(WSK_EVENT_CALLBACK_CONTROL)) {
        const auto* c = static_cast<const WSK_EVENT_CALLBACK_CONTROL*>(in);
        if (c->EventMask & WSK_EVENT_RECEIVE_FROM) {
            if (c->EventMask & WSK_EVENT_DISABLE) {
                std::lock_guard<std::mutex> g(s->eventLock); // a running indication ends first
                s->eventOn.store(false);
            } else {
                s->eventOn.store(s->onReceive != nullptr);
            }
            st = s->onReceive ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        }
    } else if (type == WskSetOption && level == SOL_SOCKET_K && code == SO_VELUNOR_UCAST_STREAMS && in &&
               inSize >= sizeof(ULONG)) {
        s->ucastStreams = *static_cast<const ULONG*>(in);
        if (s->fd >= 0) attachFilter(s->fd, s->port, false, s->ucastStreams);
        st = STATUS_SUCCESS;
    } else if (type == WskSetOption && level == IPPROTO_IP_K && in && inSize >= sizeof(ULONG)) {
        const ULONG v = *static_cast<const ULONG*>(in);
        int rc = -1;
        // Sending options hold for both sockets that send (see wskSendMessages).
        auto both = [s](int opt, const void* val, socklen_t len) {
            if (s->portFd >= 0) ::setsockopt(s->portFd, IPPROTO_IP, opt, val, len);
            return ::setsockopt(s->fd, IPPROTO_IP, opt, val, len);
        };
        if (code == IP_TOS_K) {
            int tos = int(v & 0xFF);
            rc = both(IP_TOS, &tos, sizeof tos);
        } else if (code == IP_MULTICAST_TTL_K) {
            int ttl = int(v & 0xFF);
            rc = both(IP_MULTICAST_TTL, &ttl, sizeof ttl);
        } else if (code == IP_MULTICAST_IF_K) {
            in_addr a{v};
            rc = both(IP_MULTICAST_IF, &a, sizeof a);
        } else if ((code == IP_ADD_MEMBERSHIP_K || code == IP_DROP_MEMBERSHIP_K) && inSize >= 2 * sizeof(ULONG)) {
            const ULONG* w = static_cast<const ULONG*>(in); // group, interface (network order)
            ip_mreq m{};
            m.imr_multiaddr.s_addr = w[0];
            m.imr_interface.s_addr = w[1];
            rc = ::setsockopt(s->groupFd >= 0 ? s->groupFd : s->fd, IPPROTO_IP,
                              code == IP_ADD_MEMBERSHIP_K ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &m, sizeof m);
        }
        st = rc == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    complete(irp, st, 0);
    return st;
}

NTSTATUS wskClose(WSK_SOCKET* ws, IRP* irp) {
    RawSocket* s = reinterpret_cast<RawSocket*>(ws);
    {
        std::lock_guard<std::mutex> g(s->eventLock);
        s->eventOn.store(false);
    }
    s->quit.store(true);
    // Wakes the receive thread's poll at once (it reports a shut-down socket readable)
    // instead of at the end of its interval: a close, and so a rebind, takes no 200 ms.
    for (int fd : {s->fd, s->groupFd})
        if (fd >= 0) ::shutdown(fd, SHUT_RD);
    if (s->rx.joinable()) s->rx.join();
    closeFds(s);
    delete s;
    complete(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

NTSTATUS wskBind(WSK_SOCKET* ws, SOCKADDR_IN_K* local, ULONG, IRP* irp) {
    RawSocket* s = reinterpret_cast<RawSocket*>(ws);
    NTSTATUS st = STATUS_INVALID_PARAMETER;
    if (local && local->sin_family == AF_INET_K && s->fd >= 0) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = local->sin_addr;
        st = ::bind(s->fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        const uint16_t port = ntohs(local->sin_port);
        s->port = port;
        if (st == STATUS_SUCCESS) attachFilter(s->fd, port, false, s->ucastStreams);
        if (st == STATUS_SUCCESS && local->sin_addr != 0) {
            s->groupFd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
            // Bound to any, it also gets every unicast datagram of the computer, those to
            // the bound address a second time: only group destinations are queued, so the
            // receive thread wakes for nothing else.
            attachFilter(s->groupFd, port, true);
        }
        if (st == STATUS_SUCCESS && local->sin_port != 0) {
            s->portFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sock_filter drop[] = {{BPF_RET | BPF_K, 0, 0, 0}};
            sock_fprog prog{1, drop};
            a.sin_port = local->sin_port;
            int one = 1;
            if (s->portFd >= 0) {
                ::setsockopt(s->portFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
                ::setsockopt(s->portFd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog);
            }
            if (s->portFd < 0 || ::bind(s->portFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                std::printf("velunor-kernel: UDP port %u is held elsewhere (%s)\n", ntohs(local->sin_port),
                            std::strerror(errno));
                std::fflush(stdout);
            } else {
                // It sends the driver's datagrams from the port as they are: no checksum,
                // and the sending options set on the raw socket so far.
                s->portSends = ::setsockopt(s->portFd, SOL_SOCKET, SO_NO_CHECK, &one, sizeof one) == 0;
                NetBatch_reserveSendBuffer(s->portFd, kSendQueueBytes);
                for (int opt : {IP_TOS, IP_MULTICAST_TTL, IP_MULTICAST_IF}) {
                    in_addr v{}; // the largest of the three
                    socklen_t len = sizeof v;
                    if (::getsockopt(s->fd, IPPROTO_IP, opt, &v, &len) == 0)
                        ::setsockopt(s->portFd, IPPROTO_IP, opt, &v, len);
                }
            }
        }
        if (st == STATUS_SUCCESS && !s->rx.joinable()) s->rx = std::thread(receiveLoop, s);
    }
    complete(irp, st, 0);
    return st;
}

NTSTATUS wskSendTo(WSK_SOCKET* ws, WSK_BUF* buffer, ULONG, SOCKADDR_IN_K* remote, ULONG, void*, IRP* irp) {
    RawSocket* s = reinterpret_cast<RawSocket*>(ws);
    NTSTATUS st = STATUS_INVALID_PARAMETER;
    size_t sent = 0;
    if (buffer && buffer->Mdl && remote) {
        const uint8_t* data = static_cast<const uint8_t*>(MmGetSystemAddressForMdlSafe(buffer->Mdl, HighPagePriority));
        if (data && buffer->Offset + buffer->Length <= buffer->Mdl->ByteCount) {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = remote->sin_addr;
            ssize_t n = ::sendto(s->fd, data + buffer->Offset, buffer->Length, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&to), sizeof to);
            st = n >= 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
            sent = n > 0 ? size_t(n) : 0;
        }
    }
    complete(irp, st, sent);
    return st;
}

NTSTATUS wskRelease(WSK_SOCKET*, WSK_DATAGRAM_INDICATION*) { return STATUS_SUCCESS; }

// Sends msgs[0..m-1] (the elements e[]) with as few sendmmsg calls as the kernel allows.
// A datagram the stack refuses is marked and skipped; a full send queue marks it and
// every one after it busy. Returns false after a full queue.
bool sendChunk(int fd, mmsghdr* msgs, WSK_BUF_LIST** e, int m, ULONG* sent) {
    int i = 0;
    while (i < m) {
        const int r = ::sendmmsg(fd, msgs + i, unsigned(m - i), MSG_DONTWAIT);
        if (r > 0) {
            for (int k = i; k < i + r; ++k) e[k]->Status = STATUS_SUCCESS;
            *sent += ULONG(r);
            i += r;
            continue;
        }
        const int err = r < 0 ? errno : EAGAIN;
        if (err == EINTR) continue;
        if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS) {
            for (int k = i; k < m; ++k) e[k]->Status = STATUS_DEVICE_BUSY;
            return false;
        }
        e[i]->Status = err == ENETUNREACH || err == EHOSTUNREACH || err == EHOSTDOWN || err == ENETDOWN
                           ? STATUS_HOST_UNREACHABLE
                           : STATUS_UNSUCCESSFUL;
        ++i;
    }
    return true;
}

NTSTATUS wskSendMessages(WSK_SOCKET* ws, WSK_BUF_LIST* list, ULONG, SOCKADDR_IN_K* remote, ULONG, void*,
                         IRP* irp) {
    RawSocket* s = reinterpret_cast<RawSocket*>(ws);
    mmsghdr msgs[kTxChunk];
    iovec iov[kTxChunk];
    sockaddr_in to[kTxChunk];
    WSK_BUF_LIST* e[kTxChunk];
    ULONG sent = 0;
    bool room = true;
    WSK_BUF_LIST* d = list;
    while (d) {
        int m = 0, fd = -1;
        for (; d && m < kTxChunk; d = d->Next) {
            if (!room) {
                d->Status = STATUS_DEVICE_BUSY;
                continue;
            }
            const SOCKADDR_IN_K* r = d->RemoteAddress ? d->RemoteAddress : remote;
            MDL* mdl = d->Buffer.Mdl;
            const uint8_t* data =
                mdl ? static_cast<const uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, HighPagePriority)) : nullptr;
            if (!data || !r || r->sin_family != AF_INET_K || d->Buffer.Offset + d->Buffer.Length > mdl->ByteCount) {
                d->Status = STATUS_INVALID_PARAMETER;
                continue;
            }
            // A datagram from the bound port without a checksum leaves through the UDP
            // socket that holds the port: the same datagram on the wire, without the raw
            // path's checksum pass over every payload.
            uint8_t* u = const_cast<uint8_t*>(data) + d->Buffer.Offset;
            const size_t len = d->Buffer.Length;
            const bool plain = s->portSends && len >= 8 && ((u[0] << 8) | u[1]) == s->port &&
                               size_t((u[4] << 8) | u[5]) == len && u[6] == 0 && u[7] == 0;
            const int via = plain ? s->portFd : s->fd;
            if (m > 0 && via != fd) break; // a list of the other socket starts here
            fd = via;
            to[m] = sockaddr_in{};
            to[m].sin_family = AF_INET;
            to[m].sin_addr.s_addr = r->sin_addr;
            if (plain) std::memcpy(&to[m].sin_port, u + 2, 2); // network order as it stands
            iov[m] = plain ? iovec{u + 8, len - 8} : iovec{u, len};
            msgs[m] = mmsghdr{};
            msgs[m].msg_hdr.msg_name = &to[m];
            msgs[m].msg_hdr.msg_namelen = sizeof to[m];
            msgs[m].msg_hdr.msg_iov = &iov[m];
            msgs[m].msg_hdr.msg_iovlen = 1;
            e[m++] = d;
        }
        if (m > 0 && room) room = sendChunk(fd, msgs, e, m, &sent);
    }
    NTSTATUS st = STATUS_SUCCESS;
    for (d = list; d && st == STATUS_SUCCESS; d = d->Next) st = d->Status;
    complete(irp, st, sent);
    return st;
}

const WSK_PROVIDER_DATAGRAM_DISPATCH kDatagramDispatch = {wskControl, wskClose,   wskBind,
                                                          wskSendTo,  wskRelease, wskSendMessages};

NTSTATUS wskSocket(void*, uint16_t family, uint16_t type, ULONG protocol, ULONG flags, void* context,
                   const void* clientDispatch, void*, void*, void*, IRP* irp) {
    if (family != AF_INET_K || type != SOCK_RAW_K || protocol != IPPROTO_UDP_K || !(flags & WSK_FLAG_DATAGRAM_SOCKET)) {
        complete(irp, STATUS_NOT_IMPLEMENTED, 0);
        return STATUS_NOT_IMPLEMENTED;
    }
    RawSocket* s = new (std::nothrow) RawSocket();
    if (!s) {
        complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    s->wsk.Dispatch = &kDatagramDispatch;
    s->context = context;
    s->onReceive = clientDispatch ? static_cast<const WSK_CLIENT_DATAGRAM_DISPATCH*>(clientDispatch)->WskReceiveFromEvent
                                  : nullptr;
    s->fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s->fd >= 0) NetBatch_reserveSendBuffer(s->fd, kSendQueueBytes);
    if (s->fd < 0) {
        std::printf("velunor-kernel: raw socket: %s\n", std::strerror(errno));
        std::fflush(stdout);
        delete s;
        complete(irp, STATUS_UNSUCCESSFUL, 0);
        return STATUS_UNSUCCESSFUL;
    }
    complete(irp, STATUS_SUCCESS, reinterpret_cast<uintptr_t>(&s->wsk));
    return STATUS_SUCCESS;
}

const WSK_PROVIDER_DISPATCH kProvider = {MAKE_WSK_VERSION(1, 0), wskSocket};
std::atomic<int> g_registrations{0};

}  // namespace

NTSTATUS WskRegister(WSK_CLIENT_NPI* client, WSK_REGISTRATION* registration) {
    if (!client || !registration) return STATUS_INVALID_PARAMETER;
    registration->ReservedRegistrationState = 1;
    registration->ReservedRegistrationContext = client;
    ++g_registrations;
    return STATUS_SUCCESS;
}

NTSTATUS WskCaptureProviderNPI(WSK_REGISTRATION* registration, ULONG, WSK_PROVIDER_NPI* provider) {
    if (!registration || registration->ReservedRegistrationState == 0 || !provider) return STATUS_DEVICE_NOT_READY;
    provider->Client = registration->ReservedRegistrationContext;
    provider->Dispatch = &kProvider;
    return STATUS_SUCCESS;
}

void WskReleaseProviderNPI(WSK_REGISTRATION*) {}

void WskDeregister(WSK_REGISTRATION* registration) {
    if (registration && registration->ReservedRegistrationState) {
        registration->ReservedRegistrationState = 0;
        --g_registrations;
    }
}
