// The batched send of the stand-in's socket layer and the driver's use of it: one list
// per period, what a full send queue and an unreachable destination do to it. The send
// queue and the unreachable network are played by this program's own sendmmsg (its
// definition comes before the C library's); the rest goes through the real raw socket.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "driver/driver.h"
#include "engine/rtp/RtpAudio.h"
#include "platform/netbatch.h"

namespace fake {
std::mutex m;
bool faults = false;         // false: the real system call
int room = -1;               // datagrams the send queue still takes (-1: any number)
uint32_t unreachable = 0;    // a destination with no route (network order)
std::vector<unsigned> calls; // vlen of every call
std::vector<uint32_t> sent;  // destinations taken, in order (faults only)
void reset(bool f, int r = -1, uint32_t u = 0) {
    std::lock_guard<std::mutex> g(m);
    faults = f;
    room = r;
    unreachable = u;
    calls.clear();
    sent.clear();
}
} // namespace fake

extern "C" int sendmmsg(int fd, struct mmsghdr* msgs, unsigned int n, int flags) {
    std::unique_lock<std::mutex> g(fake::m);
    fake::calls.push_back(n);
    if (!fake::faults) {
        g.unlock();
        return int(syscall(SYS_sendmmsg, fd, msgs, n, flags));
    }
    if (n > 1024)
        n = 1024; // the kernel takes at most UIO_MAXIOV messages a call
    unsigned i = 0;
    for (; i < n; ++i) {
        const uint32_t to = static_cast<sockaddr_in*>(msgs[i].msg_hdr.msg_name)->sin_addr.s_addr;
        const int err = fake::room == 0 ? EAGAIN : to == fake::unreachable ? ENETUNREACH : 0;
        if (err) {
            if (i > 0)
                break; // the error is reported by the next call
            errno = err;
            return -1;
        }
        if (fake::room > 0)
            --fake::room;
        msgs[i].msg_len = unsigned(msgs[i].msg_hdr.msg_iov[0].iov_len);
        fake::sent.push_back(to);
    }
    return int(i);
}

namespace {

uint32_t ip(uint32_t hostOrder) {
    return htonl(hostOrder);
}

// A raw socket of the stand-in, unbound (sending needs no bind).
struct Wsk {
    WSK_REGISTRATION reg{};
    WSK_PROVIDER_NPI prov{};
    WSK_SOCKET* sock = nullptr;
    IRP* irp = IoAllocateIrp(1, FALSE);
    Wsk() {
        static const WSK_CLIENT_DISPATCH cd{MAKE_WSK_VERSION(1, 0), 0, nullptr};
        static WSK_CLIENT_NPI client{nullptr, &cd};
        if (!NT_SUCCESS(WskRegister(&client, &reg)) ||
            !NT_SUCCESS(WskCaptureProviderNPI(&reg, WSK_INFINITE_WAIT, &prov)))
            return;
        IoReuseIrp(irp, STATUS_UNSUCCESSFUL);
        if (NT_SUCCESS(prov.Dispatch->WskSocket(prov.Client, AF_INET_K, SOCK_RAW_K, IPPROTO_UDP_K,
                                                WSK_FLAG_DATAGRAM_SOCKET, nullptr, nullptr, nullptr, nullptr,
                                                nullptr, irp)))
            sock = reinterpret_cast<WSK_SOCKET*>(irp->IoStatus.Information);
    }
    ~Wsk() {
        if (sock)
            ops()->WskCloseSocket(sock, nullptr);
        WskReleaseProviderNPI(&reg);
        WskDeregister(&reg);
        IoFreeIrp(irp);
    }
    const WSK_PROVIDER_DATAGRAM_DISPATCH* ops() const {
        return static_cast<const WSK_PROVIDER_DATAGRAM_DISPATCH*>(sock->Dispatch);
    }
    // Sends the list; returns the IRP's status, *count the datagrams it reports sent.
    NTSTATUS send(WSK_BUF_LIST* list, size_t* count) {
        IoReuseIrp(irp, STATUS_PENDING);
        ops()->WskSendMessages(sock, list, 0, nullptr, 0, nullptr, irp);
        EXPECT_TRUE(irp->Completed);
        *count = irp->IoStatus.Information;
        return irp->IoStatus.Status;
    }
};

// n datagrams of a UDP header and a 4-byte index, to port `port` of the addresses dst(i).
struct List {
    std::vector<uint8_t> bytes;
    std::vector<MDL> mdl;
    std::vector<SOCKADDR_IN_K> to;
    std::vector<WSK_BUF_LIST> e;
    template <class Dst>
    List(int n, uint16_t port, Dst dst) : bytes(size_t(n) * 12), mdl(size_t(n)), to(size_t(n)), e(size_t(n)) {
        for (int i = 0; i < n; ++i) {
            uint8_t* b = &bytes[size_t(i) * 12];
            const uint8_t h[8] = {0x13, 0x8C, uint8_t(port >> 8), uint8_t(port), 0, 12, 0, 0};
            std::memcpy(b, h, 8);
            std::memcpy(b + 8, &i, 4);
            mdl[size_t(i)] = MDL{nullptr, b, 12, MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA};
            to[size_t(i)] = SOCKADDR_IN_K{AF_INET_K, 0, dst(i), {}};
            e[size_t(i)] = WSK_BUF_LIST{i + 1 < n ? &e[size_t(i) + 1] : nullptr,
                                        WSK_BUF{&mdl[size_t(i)], 0, 12}, &to[size_t(i)], STATUS_PENDING};
        }
    }
    WSK_BUF_LIST* head() { return e.empty() ? nullptr : e.data(); }
};

TEST(WskSendMessages, ListsOfAnyLengthFullQueueAndUnreachableDestinations) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the raw socket needs root";
    Wsk w;
    ASSERT_NE(w.sock, nullptr);
    size_t count = 99;

    // An empty list completes at once and asks the kernel for nothing.
    fake::reset(false);
    EXPECT_EQ(w.send(nullptr, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(fake::calls.empty());

    // More than one sendmmsg takes, for real over loopback: every datagram arrives, in order.
    const int rx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(rx, 0);
    int big = 8 << 20;
    ::setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ip(0x7F000001u);
    ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    uint32_t addr = 0;
    uint16_t port = 0;
    ASSERT_TRUE(NetBatch_localAddr(rx, &addr, &port));
    const int kMany = 1100;
    List many(kMany, port, [](int) { return ip(0x7F000001u); });
    EXPECT_EQ(w.send(many.head(), &count), STATUS_SUCCESS);
    EXPECT_EQ(count, size_t(kMany));
    ASSERT_GE(fake::calls.size(), 2u);
    for (unsigned n : fake::calls)
        EXPECT_LE(n, 1024u);
    int next = 0;
    uint8_t got[64];
    while (next < kMany) {
        const ssize_t r = ::recv(rx, got, sizeof got, MSG_DONTWAIT);
        if (r != 4)
            break;
        int idx;
        std::memcpy(&idx, got, 4);
        if (idx != next)
            break;
        ++next;
    }
    EXPECT_EQ(next, kMany) << "datagrams lost or out of order";
    ::close(rx);

    // An unreachable destination in the middle: refused alone, the rest still go.
    fake::reset(true, -1, ip(0xC6130005u));
    List ten(10, 5004, [](int i) { return ip(0xC6130000u + uint32_t(i)); });
    EXPECT_EQ(w.send(ten.head(), &count), STATUS_HOST_UNREACHABLE);
    EXPECT_EQ(count, 9u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(ten.e[size_t(i)].Status, i == 5 ? STATUS_HOST_UNREACHABLE : STATUS_SUCCESS) << i;
    ASSERT_EQ(fake::sent.size(), 9u);
    EXPECT_EQ(fake::sent.back(), ip(0xC6130009u));

    // A full send queue: what it took is sent, the rest is busy and not tried again.
    fake::reset(true, 3);
    List full(600, 5004, [](int i) { return ip(0xC6130100u + uint32_t(i)); });
    EXPECT_EQ(w.send(full.head(), &count), STATUS_DEVICE_BUSY);
    EXPECT_EQ(count, 3u);
    for (int i = 0; i < 600; ++i)
        EXPECT_EQ(full.e[size_t(i)].Status, i < 3 ? STATUS_SUCCESS : STATUS_DEVICE_BUSY) << i;
    EXPECT_EQ(fake::calls.size(), 2u); // the one that filled it and the one that found it full
    fake::reset(false);
}

// What the receive event is given: only UDP to the bound port longer than 56 bytes, and
// unicast for the client's streams once it names them; the kernel's filter drops the
// rest before the receive thread wakes.
std::mutex g_seenLock;
std::vector<size_t> g_seen; // lengths indicated
NTSTATUS onReceive(void*, ULONG, WSK_DATAGRAM_INDICATION* list) {
    std::lock_guard<std::mutex> g(g_seenLock);
    for (WSK_DATAGRAM_INDICATION* d = list; d; d = d->Next)
        g_seen.push_back(d->Buffer.Length);
    return STATUS_SUCCESS;
}

TEST(WskReceive, OnlyDatagramsToThePortAndLongEnoughReachTheEvent) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the raw socket needs root";
    Wsk w;
    ASSERT_NE(w.sock, nullptr);
    // A free port: the kernel's choice for a UDP socket.
    const int tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ip(0x7F000001u);
    ASSERT_EQ(::bind(tx, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    uint32_t addr = 0;
    uint16_t port = 0;
    ASSERT_TRUE(NetBatch_localAddr(tx, &addr, &port));
    ::close(tx); // the stand-in holds the port from its bind on
    // The stand-in's socket was made without events: a second one with our handler.
    static const WSK_CLIENT_DATAGRAM_DISPATCH events{onReceive};
    IoReuseIrp(w.irp, STATUS_UNSUCCESSFUL);
    ASSERT_TRUE(NT_SUCCESS(w.prov.Dispatch->WskSocket(w.prov.Client, AF_INET_K, SOCK_RAW_K, IPPROTO_UDP_K,
                                                      WSK_FLAG_DATAGRAM_SOCKET, nullptr, &events, nullptr,
                                                      nullptr, nullptr, w.irp)));
    WSK_SOCKET* rs = reinterpret_cast<WSK_SOCKET*>(w.irp->IoStatus.Information);
    const auto* ops = static_cast<const WSK_PROVIDER_DATAGRAM_DISPATCH*>(rs->Dispatch);
    SOCKADDR_IN_K local{AF_INET_K, htons(port), ip(0x7F000001u), {}};
    ASSERT_EQ(ops->WskBind(rs, &local, 0, nullptr), STATUS_SUCCESS);
    WSK_EVENT_CALLBACK_CONTROL on{&NPI_WSK_INTERFACE_ID, WSK_EVENT_RECEIVE_FROM};
    ops->WskControlSocket(rs, WskSetOption, SO_WSK_EVENT_CALLBACK, SOL_SOCKET_K, sizeof on, &on, 0, nullptr,
                          nullptr, nullptr);
    const int far = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint8_t data[200] = {};
    auto sendTo = [&](uint16_t p, size_t payload) {
        sockaddr_in to = a;
        to.sin_port = htons(p);
        ::sendto(far, data, payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    sendTo(port, 28);                // 56 bytes with its headers: too short
    sendTo(uint16_t(port + 1), 100); // another port
    for (int i = 0; i < 20; ++i)
        sendTo(port, 29 + size_t(i)); // 57 bytes and up
    size_t n = 0;
    for (int i = 0; i < 200 && n < 20; ++i) {
        usleep(5000);
        std::lock_guard<std::mutex> g(g_seenLock);
        n = g_seen.size();
    }
    // Told the client's unicast streams (indexes 0..2), the filter keeps out what is not a
    // compact header of one of them; the last datagram, taken, shows the others had their turn.
    const ULONG streams = 3;
    ASSERT_EQ(ops->WskControlSocket(rs, WskSetOption, SO_VELUNOR_UCAST_STREAMS, SOL_SOCKET_K, sizeof streams,
                                    const_cast<ULONG*>(&streams), 0, nullptr, nullptr, nullptr),
              STATUS_SUCCESS);
    const uint8_t heads[6][4] = {{0, 0xFF, 0, 0}, {0, 0x01, 0, 2}, {0, 0xFF, 0, 3},
                                 {0, 0xFF, 1, 0}, {0x80, 0x61, 0, 0}, {0, 0x03, 0, 1}};
    for (int k = 0; k < 6; ++k) {
        std::memcpy(data, heads[k], 4);
        sendTo(port, 72 + size_t(k)); // 100 bytes and up
    }
    for (int i = 0; i < 200 && n < 23; ++i) {
        usleep(5000);
        std::lock_guard<std::mutex> g(g_seenLock);
        n = g_seen.size();
    }
    WSK_EVENT_CALLBACK_CONTROL off{&NPI_WSK_INTERFACE_ID, WSK_EVENT_RECEIVE_FROM | WSK_EVENT_DISABLE};
    ops->WskControlSocket(rs, WskSetOption, SO_WSK_EVENT_CALLBACK, SOL_SOCKET_K, sizeof off, &off, 0, nullptr,
                          nullptr, nullptr);
    ops->WskCloseSocket(rs, nullptr);
    ::close(far);
    std::lock_guard<std::mutex> g(g_seenLock);
    ASSERT_EQ(g_seen.size(), 23u);
    for (size_t i = 0; i < 20; ++i)
        EXPECT_EQ(g_seen[i], 57 + i);
    EXPECT_EQ(g_seen[20], 100u);
    EXPECT_EQ(g_seen[21], 101u);
    EXPECT_EQ(g_seen[22], 105u);
}

// The driver's side: a period's datagrams, a full send queue and an unreachable receiver.
TEST(KoSocketBatch, HeldBackDatagramsGoFirstOnceThenCountAsDropped) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the raw socket needs root";
    ASSERT_EQ(KoSocket_init(), STATUS_SUCCESS);
    ASSERT_EQ(KoSocket_bind("127.0.0.1"), 0);
    uint8_t payload[12] = {0x80, 96};
    auto period = [&](uint32_t base, int n) {
        std::vector<NetDatagram> d(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i)
            d[size_t(i)] = NetDatagram{payload, sizeof payload, base + uint32_t(i), RTP_PORT};
        KoSocket_sendBatch(d.data(), n);
    };
    auto stats = [] {
        std::vector<uint64_t> v(3);
        KoSocket_sendStats(&v[0], &v[1], &v[2]);
        return v;
    };
    auto sentTo = [](std::initializer_list<uint32_t> hostOrder) {
        std::vector<uint32_t> v;
        for (uint32_t a : hostOrder)
            v.push_back(ip(a));
        return v;
    };
    const uint32_t A = 0xC6130000u, B = 0xC6130100u, C = 0xC6130200u, D = 0xC6130300u;

    // Room for 2 of 4: the other 2 go first in the next period's list, in their order.
    fake::reset(true, 2);
    period(A, 4);
    EXPECT_EQ(fake::sent, sentTo({A, A + 1}));
    fake::reset(true);
    period(B, 2);
    EXPECT_EQ(fake::sent, sentTo({A + 2, A + 3, B, B + 1}));
    EXPECT_EQ(fake::calls.size(), 1u); // one list, one request
    EXPECT_EQ(stats(), (std::vector<uint64_t>{6, 2, 0}));

    // No room twice: held back once, then dropped and counted, never sent late twice.
    fake::reset(true, 0);
    period(C, 3);
    period(D, 1);
    EXPECT_TRUE(fake::sent.empty());
    EXPECT_EQ(stats(), (std::vector<uint64_t>{6, 5, 3}));

    // An unreachable receiver among them: dropped alone, the others sent.
    fake::reset(true, -1, ip(B + 1));
    period(B, 3);
    EXPECT_EQ(fake::sent, sentTo({D, B, B + 2}));
    EXPECT_EQ(stats(), (std::vector<uint64_t>{9, 6, 4}));
    fake::reset(false);

    // On the wire as the raw socket wrote it: from port 5004 to port 5004, no checksum,
    // the engine's DSCP, the payload untouched.
    const int cap = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
    ASSERT_GE(cap, 0);
    timeval wait{1, 0};
    ::setsockopt(cap, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    period(0x7F000009u, 1);
    uint8_t got[256] = {};
    ssize_t n = 0;
    for (int i = 0; i < 50; ++i) { // other datagrams of the computer may come first
        n = ::recv(cap, got, sizeof got, 0);
        if (n <= 0 || (n >= 20 && std::memcmp(got + 16, "\x7f\x00\x00\x09", 4) == 0)) break;
    }
    ::close(cap);
    ASSERT_EQ(n, ssize_t(20 + 8 + sizeof payload));
    EXPECT_EQ(got[1], uint8_t(RtpAudio_getDscp() << 2));
    const uint8_t udp[8] = {0x13, 0x8C, 0x13, 0x8C, 0, uint8_t(8 + sizeof payload), 0, 0};
    EXPECT_EQ(std::memcmp(got + 20, udp, 8), 0);
    EXPECT_EQ(std::memcmp(got + 28, payload, sizeof payload), 0);
    KoSocket_shutdown();
}

} // namespace
