// The kernel build's socket layer: one raw UDP socket through Winsock Kernel, a ring of
// 1024 send slots, and the receive event that feeds the engine.
//
// The receive event runs in the network stack's context, concurrently with the period
// step, and the stream code's packet input belongs to the period: the event only filters
// a datagram and queues a copy in a single-producer ring, which the period drains.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "engine/rtp/RtpAudio.h"
#include "platform/netbatch.h"

namespace {

constexpr auto rlx = std::memory_order_relaxed;
constexpr uint32_t kSlotPayload = 84; // UDP header at 76, RTP header and payload from 84
constexpr int kRxSlots = 512;
constexpr size_t kRxBytes = 1528; // IPv4 header (20), UDP header (8), largest payload
constexpr uint32_t kSlack = 4;    // the engine's packers store whole words past a datagram's end

struct SendSlot {
    uint8_t* buf; // KOSOCKET_SLOT_BYTES, non-paged
    MDL* mdl;
    IRP* irp;
    std::atomic<uint32_t> len; // 0: free
    bool again;                // held back once by a full send queue: the next try is the last
};

// A period's datagrams go to the socket as one list with one IRP. Element i of the list
// belongs to send slot i. The completion frees the slots, and keeps those the socket had
// no room for to go first in the next period's list, once; what fails then is dropped.
constexpr int kBatches = 4;
struct SendBatch {
    IRP* irp;
    WSK_BUF_LIST* head;
    std::atomic<bool> busy;
    uint16_t carry[KOSOCKET_SLOTS]; // slots to send again
    int carried;
};

WSK_REGISTRATION g_reg;
bool g_registered;
WSK_PROVIDER_NPI g_provider;
bool g_captured;
WSK_SOCKET* g_socket;
IRP* g_controlIrp;
KEVENT g_controlDone;
SendSlot g_slots[KOSOCKET_SLOTS];
WSK_BUF_LIST g_elems[KOSOCKET_SLOTS];
SendBatch g_batches[kBatches];
int g_batchNext;
std::atomic<uint64_t> g_sent, g_resent, g_dropped;
int g_slotsReady;
uint32_t g_next;
// Slots handed to the engine this period, in order (it packs its datagrams there).
uint16_t g_handed[KOSOCKET_SLOTS];
int g_handedN;
char g_name[128];
std::atomic<bool> g_receiving;
uint8_t g_tos = 0xFF;
// The unicast stream count the socket's filter was last given (-1: none yet).
std::atomic<int> g_filterStreams{-1};

// receive queue: the event writes, the period reads
uint8_t g_rx[kRxSlots][kRxBytes];
uint16_t g_rxLen[kRxSlots];
std::atomic<uint32_t> g_rxHead, g_rxTail;

const WSK_CLIENT_DISPATCH kClientDispatch = {MAKE_WSK_VERSION(1, 0), 0, nullptr};
WSK_CLIENT_NPI g_client = {nullptr, &kClientDispatch};

const WSK_PROVIDER_DATAGRAM_DISPATCH* ops() {
    return g_socket ? static_cast<const WSK_PROVIDER_DATAGRAM_DISPATCH*>(g_socket->Dispatch) : nullptr;
}

NTSTATUS controlDone(DEVICE_OBJECT*, IRP*, void* ctx) {
    KeSetEvent(static_cast<KEVENT*>(ctx), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Readies the control IRP for one call whose completion the caller waits on.
IRP* controlIrp() {
    IoReuseIrp(g_controlIrp, STATUS_UNSUCCESSFUL);
    KeClearEvent(&g_controlDone);
    IoSetCompletionRoutine(g_controlIrp, controlDone, &g_controlDone, TRUE, TRUE, TRUE);
    return g_controlIrp;
}

NTSTATUS waitControl(NTSTATUS st) {
    if (st == STATUS_PENDING) {
        KeWaitForSingleObject(&g_controlDone, Executive, KernelMode, FALSE, nullptr);
        st = g_controlIrp->IoStatus.Status;
    }
    return st;
}

NTSTATUS batchDone(DEVICE_OBJECT*, IRP*, void* ctx) {
    SendBatch* b = static_cast<SendBatch*>(ctx);
    uint64_t sent = 0, dropped = 0;
    b->carried = 0;
    for (WSK_BUF_LIST* e = b->head; e; e = e->Next) {
        SendSlot& s = g_slots[e - g_elems];
        if (e->Status == STATUS_DEVICE_BUSY && !s.again) {
            s.again = true; // stays held; goes first next period
            b->carry[b->carried++] = uint16_t(e - g_elems);
            continue;
        }
        if (e->Status == STATUS_SUCCESS) ++sent;
        else ++dropped;
        s.again = false;
        s.len.store(0, std::memory_order_release);
    }
    g_sent.fetch_add(sent, rlx);
    g_dropped.fetch_add(dropped, rlx);
    b->busy.store(false, std::memory_order_release);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS onReceiveFrom(void*, ULONG, WSK_DATAGRAM_INDICATION* list) {
    for (WSK_DATAGRAM_INDICATION* d = list; d; d = d->Next) {
        if (d->Buffer.Length <= 56) continue;
        const uint8_t* va = static_cast<const uint8_t*>(MmGetSystemAddressForMdlSafe(d->Buffer.Mdl, HighPagePriority));
        if (!va) continue;
        KoSocket_onDatagram(va + d->Buffer.Offset, d->Buffer.Length);
    }
    return STATUS_SUCCESS; // nothing retained
}

const WSK_CLIENT_DATAGRAM_DISPATCH kDatagramEvents = {onReceiveFrom};

void closeSocket() {
    if (!g_socket) return;
    KoSocket_setReceive(false);
    waitControl(ops()->WskCloseSocket(g_socket, controlIrp()));
    g_socket = nullptr;
    g_name[0] = 0;
    g_tos = 0xFF;
}

bool parseIp(const char* s, uint32_t* out) {
    uint32_t v = 0;
    int parts = 0;
    while (*s) {
        if (*s < '0' || *s > '9') return false;
        uint32_t n = 0;
        int digits = 0;
        while (*s >= '0' && *s <= '9' && digits < 4) n = n * 10 + uint32_t(*s++ - '0'), ++digits;
        if (n > 255 || digits > 3) return false;
        v = (v << 8) | n;
        ++parts;
        if (*s == '.') ++s;
        else if (*s) return false;
    }
    if (parts != 4) return false;
    *out = v;
    return true;
}

uint32_t netOrder32(uint32_t v) { return __builtin_bswap32(v); }
uint16_t netOrder16(uint16_t v) { return __builtin_bswap16(v); }

}  // namespace

static void allocSlots();

NTSTATUS KoSocket_init() {
    g_controlIrp = IoAllocateIrp(1, FALSE);
    if (!g_controlIrp) return STATUS_INSUFFICIENT_RESOURCES;
    for (SendBatch& b : g_batches) {
        b.irp = IoAllocateIrp(1, FALSE);
        if (!b.irp) return STATUS_INSUFFICIENT_RESOURCES;
        b.busy.store(false, rlx);
        b.carried = 0;
    }
    g_batchNext = 0;
    g_sent.store(0, rlx);
    g_resent.store(0, rlx);
    g_dropped.store(0, rlx);
    KeInitializeEvent(&g_controlDone, NotificationEvent, FALSE);
    g_rxHead.store(0, rlx);
    g_rxTail.store(0, rlx);
    g_slotsReady = 0;
    allocSlots();
    return STATUS_SUCCESS;
}

// Allocates the send slots from the first missing one; an allocation failure stops
// there, and a later bind tries again.
static void allocSlots() {
    for (; g_slotsReady < KOSOCKET_SLOTS; ++g_slotsReady) {
        SendSlot& s = g_slots[g_slotsReady];
        s.buf = static_cast<uint8_t*>(
            ExAllocatePool2(POOL_FLAG_NON_PAGED, KOSOCKET_SLOT_BYTES + kSlack, VELUNOR_POOL_TAG));
        s.mdl = s.buf ? IoAllocateMdl(s.buf, KOSOCKET_SLOT_BYTES, FALSE, FALSE, nullptr) : nullptr;
        s.irp = s.mdl ? IoAllocateIrp(1, FALSE) : nullptr;
        if (!s.irp) break; // a later bind tries again from here
        MmBuildMdlForNonPagedPool(s.mdl);
        s.len.store(0, rlx);
        s.again = false;
    }
    g_next = 0;
}

void KoSocket_shutdown() {
    closeSocket();
    if (g_captured) WskReleaseProviderNPI(&g_reg);
    g_captured = false;
    if (g_registered) WskDeregister(&g_reg);
    g_registered = false;
    for (SendSlot& s : g_slots) {
        if (s.irp) IoFreeIrp(s.irp);
        if (s.mdl) IoFreeMdl(s.mdl);
        if (s.buf) ExFreePoolWithTag(s.buf, VELUNOR_POOL_TAG);
        s.irp = nullptr;
        s.mdl = nullptr;
        s.buf = nullptr;
    }
    g_slotsReady = 0;
    for (SendBatch& b : g_batches) {
        if (b.irp) IoFreeIrp(b.irp);
        b.irp = nullptr;
    }
    if (g_controlIrp) IoFreeIrp(g_controlIrp);
    g_controlIrp = nullptr;
}

int KoSocket_bind(const char* ip) {
    if (!g_registered) {
        if (!NT_SUCCESS(WskRegister(&g_client, &g_reg))) return -1;
        g_registered = true;
    }
    if (!g_captured) {
        if (!NT_SUCCESS(WskCaptureProviderNPI(&g_reg, WSK_INFINITE_WAIT, &g_provider))) return -1;
        g_captured = true;
    }
    if (g_slotsReady < KOSOCKET_SLOTS) allocSlots();
    closeSocket();
    uint32_t addr = 0;
    if (!ip || !parseIp(ip, &addr)) return -1;
    NTSTATUS st = waitControl(g_provider.Dispatch->WskSocket(g_provider.Client, AF_INET_K, SOCK_RAW_K, IPPROTO_UDP_K,
                                                             WSK_FLAG_DATAGRAM_SOCKET, nullptr, &kDatagramEvents,
                                                             nullptr, nullptr, nullptr, controlIrp()));
    if (!NT_SUCCESS(st)) return -1;
    g_socket = reinterpret_cast<WSK_SOCKET*>(g_controlIrp->IoStatus.Information);
    SOCKADDR_IN_K local{AF_INET_K, netOrder16(RTP_PORT), netOrder32(addr), {}};
    st = waitControl(ops()->WskBind(g_socket, &local, 0, controlIrp()));
    if (!NT_SUCCESS(st)) {
        closeSocket();
        return -1;
    }
    ULONG ttl = RTP_IP_TTL, ifAddr = netOrder32(addr);
    ops()->WskControlSocket(g_socket, WskSetOption, IP_MULTICAST_TTL_K, IPPROTO_IP_K, sizeof ttl, &ttl, 0, nullptr,
                            nullptr, nullptr);
    ops()->WskControlSocket(g_socket, WskSetOption, IP_MULTICAST_IF_K, IPPROTO_IP_K, sizeof ifAddr, &ifAddr, 0,
                            nullptr, nullptr, nullptr);
    std::snprintf(g_name, sizeof g_name, "%s", ip);
    g_filterStreams.store(-1, rlx);
    return 0;
}

const char* KoSocket_boundName() { return g_name; }
bool KoSocket_exists() { return g_socket != nullptr; }

void KoSocket_setReceive(bool on) {
    if (!g_socket) return;
    WSK_EVENT_CALLBACK_CONTROL c{&NPI_WSK_INTERFACE_ID, WSK_EVENT_RECEIVE_FROM | (on ? 0u : WSK_EVENT_DISABLE)};
    ops()->WskControlSocket(g_socket, WskSetOption, SO_WSK_EVENT_CALLBACK, SOL_SOCKET_K, sizeof c, &c, 0, nullptr,
                            nullptr, nullptr);
    g_receiving.store(on, rlx);
}

void KoSocket_setTos(uint8_t tos) {
    if (!g_socket || tos == g_tos) return;
    ULONG v = tos;
    if (NT_SUCCESS(ops()->WskControlSocket(g_socket, WskSetOption, IP_TOS_K, IPPROTO_IP_K, sizeof v, &v, 0, nullptr,
                                           nullptr, nullptr)))
        g_tos = tos;
}

int KoSocket_joinGroup(uint32_t group, bool join) {
    if (!g_socket) return -1;
    ULONG m[2] = {netOrder32(group), 0};
    return NT_SUCCESS(ops()->WskControlSocket(g_socket, WskSetOption, join ? IP_ADD_MEMBERSHIP_K : IP_DROP_MEMBERSHIP_K,
                                              IPPROTO_IP_K, sizeof m, m, 0, nullptr, nullptr, nullptr))
               ? 0
               : -1;
}

// With nothing in flight the ring starts over at each period: the same slots every
// period stay in the cache, where slots strewn over the whole ring were a cold write each.
static void restartRing() {
    for (SendBatch& o : g_batches)
        if (o.busy.load(std::memory_order_acquire) || o.carried != 0) return;
    g_next = 0;
}

uint8_t* KoSocket_txBuffer(uint32_t len) {
    if (!g_socket || len + kSlotPayload > KOSOCKET_SLOT_BYTES || g_handedN >= KOSOCKET_SLOTS) return nullptr;
    if (g_handedN == 0) restartRing();
    SendSlot& s = g_slots[g_next];
    if (!s.irp || s.len.load(std::memory_order_acquire) != 0) {
        g_dropped.fetch_add(1, rlx); // all in flight
        return nullptr;
    }
    g_handed[g_handedN++] = uint16_t(g_next);
    g_next = g_next + 1 == KOSOCKET_SLOTS ? 0 : g_next + 1;
    return s.buf + kSlotPayload;
}

void KoSocket_sendBatch(const NetDatagram* d, int n) {
    if (!g_socket) {
        g_dropped.fetch_add(uint64_t(n > 0 ? n : 0), rlx);
        g_handedN = 0;
        return;
    }
    // The datagrams carry the engine's DSCP; the stack writes it from the socket's TOS.
    KoSocket_setTos(uint8_t(RtpAudio_getDscp() << 2));
    SendBatch& b = g_batches[g_batchNext];
    if (b.busy.load(std::memory_order_acquire)) { // the socket still holds every list: dropped
        g_dropped.fetch_add(uint64_t(n > 0 ? n : 0), rlx);
        g_handedN = 0;
        return;
    }
    WSK_BUF_LIST* head = nullptr;
    WSK_BUF_LIST** tail = &head;
    auto append = [&](uint32_t slot) {
        WSK_BUF_LIST* e = &g_elems[slot];
        e->Next = nullptr;
        e->Status = STATUS_PENDING;
        *tail = e;
        tail = &e->Next;
    };
    if (g_handedN == 0) restartRing();
    // What the socket had no room for last time goes first, in its order.
    for (SendBatch& o : g_batches) {
        if (o.busy.load(std::memory_order_acquire)) continue;
        for (int i = 0; i < o.carried; ++i) {
            append(o.carry[i]);
            g_resent.fetch_add(1, rlx);
        }
        o.carried = 0;
    }
    int h = 0;
    for (int i = 0; i < n; ++i) {
        // The engine packed it in a slot handed to it (in the same order), or it comes
        // from elsewhere and is copied into the next slot.
        while (h < g_handedN && d[i].buf != g_slots[g_handed[h]].buf + kSlotPayload) ++h;
        const bool inPlace = h < g_handedN;
        const uint32_t k = inPlace ? g_handed[h++] : g_next;
        SendSlot& s = g_slots[k];
        if (d[i].len + kSlotPayload > KOSOCKET_SLOT_BYTES ||
            (!inPlace && (!s.irp || s.len.load(std::memory_order_acquire) != 0))) {
            g_dropped.fetch_add(1, rlx); // all in flight, or too long
            continue;
        }
        uint8_t* udp = s.buf + 76;
        const uint16_t udpLen = uint16_t(8 + d[i].len);
        udp[0] = uint8_t(RTP_PORT >> 8);
        udp[1] = uint8_t(RTP_PORT & 0xFF);
        udp[2] = uint8_t(RTP_PORT >> 8); // every datagram of this build goes to port 5004
        udp[3] = uint8_t(RTP_PORT & 0xFF);
        udp[4] = uint8_t(udpLen >> 8);
        udp[5] = uint8_t(udpLen & 0xFF);
        udp[6] = udp[7] = 0;
        if (!inPlace) std::memcpy(s.buf + kSlotPayload, d[i].buf, d[i].len);
        s.len.store(udpLen, std::memory_order_relaxed);
        s.again = false;
        WSK_BUF* wb = reinterpret_cast<WSK_BUF*>(s.buf);
        *wb = WSK_BUF{s.mdl, 76, udpLen};
        SOCKADDR_IN_K* to = reinterpret_cast<SOCKADDR_IN_K*>(s.buf + 24);
        *to = SOCKADDR_IN_K{AF_INET_K, netOrder16(RTP_PORT), netOrder32(d[i].addr), {}};
        g_elems[k].Buffer = *wb;
        g_elems[k].RemoteAddress = to;
        append(k);
        if (!inPlace) g_next = g_next + 1 == KOSOCKET_SLOTS ? 0 : g_next + 1;
    }
    g_handedN = 0;
    if (!head) return;
    b.head = head;
    b.carried = 0;
    b.busy.store(true, rlx);
    g_batchNext = (g_batchNext + 1) % kBatches;
    IoReuseIrp(b.irp, STATUS_UNSUCCESSFUL);
    IoSetCompletionRoutine(b.irp, batchDone, &b, TRUE, TRUE, TRUE);
    ops()->WskSendMessages(g_socket, head, 0, nullptr, 0, nullptr, b.irp);
}

void KoSocket_sendStats(uint64_t* sent, uint64_t* resent, uint64_t* dropped) {
    if (sent) *sent = g_sent.load(rlx);
    if (resent) *resent = g_resent.load(rlx);
    if (dropped) *dropped = g_dropped.load(rlx);
}

void KoSocket_onDatagram(const uint8_t* ip, size_t len) {
    if (len <= 56 || !TimerManager_acceptsInput()) return;
    if ((ip[0] >> 4) != 4 || ip[9] != 17) return;
    const size_t ihl = size_t(ip[0] & 0x0F) * 4;
    if (ihl < 20 || len < ihl + 16) return; // no room for a UDP header and the compact header
    const uint8_t* udp = ip + ihl;
    // Only RTP: the raw socket sees every UDP datagram of the computer.
    if (((uint16_t(udp[2]) << 8) | udp[3]) != RTP_PORT) return;
    const size_t rest = len - ihl;
    if (20 + rest > kRxBytes) return;
    // A unicast datagram for a stream index this engine does not have is dropped here,
    // before it is copied, as packet input would drop it (a flood of RTP for nobody).
    const uint32_t index = (uint32_t(udp[10]) << 8) | udp[11];
    if ((ip[16] & 0xF0) != 0xE0 && (udp[8] != 0 || index >= uint32_t(RtpAudio_getNum(RTP_UCAST_RX)))) return;
    const uint32_t head = g_rxHead.load(rlx);
    if (head - g_rxTail.load(std::memory_order_acquire) >= uint32_t(kRxSlots)) return; // full: dropped
    uint8_t* slot = g_rx[head % kRxSlots];
    // Packet input takes a plain 20-byte header; options are dropped here.
    std::memcpy(slot, ip, 20);
    slot[0] = 0x45;
    std::memcpy(slot + 20, udp, rest);
    g_rxLen[head % kRxSlots] = uint16_t(20 + rest);
    g_rxHead.store(head + 1, std::memory_order_release);
}

// The socket keeps unicast datagrams for stream indexes this engine does not have from
// reaching the receive event at all; told again whenever the count changes. A provider
// without the option refuses it once per change, and the receive event still rejects
// such datagrams before they are copied.
static void followUnicastStreams() {
    const int n = RtpAudio_getNum(RTP_UCAST_RX);
    if (!g_socket || n == g_filterStreams.load(rlx)) return;
    ULONG v = ULONG(n < 0 ? 0 : n);
    ops()->WskControlSocket(g_socket, WskSetOption, SO_VELUNOR_UCAST_STREAMS, SOL_SOCKET_K, sizeof v, &v, 0, nullptr,
                            nullptr, nullptr);
    g_filterStreams.store(n, rlx);
}

int KoSocket_drain() {
    followUnicastStreams();
    const uint32_t head = g_rxHead.load(std::memory_order_acquire);
    uint32_t tail = g_rxTail.load(rlx);
    int n = 0;
    for (; tail != head; ++tail, ++n) RtpAudio_packetInput(g_rx[tail % kRxSlots], g_rxLen[tail % kRxSlots]);
    g_rxTail.store(tail, std::memory_order_release);
    return n;
}
