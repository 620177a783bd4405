#include "engine/rtp/RtpAudio.h"

#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/diag.h"
#include "platform/net.h"
#include "platform/netbatch.h"

namespace {

constexpr const char* kUnit = "rtp/RtpAudio";
constexpr int kBufSamples = RTP_CH_BUF_MEM_BYTES / 4;
constexpr int kMaxPayload = 1460;   // audio bytes of one datagram
constexpr int kSendBufLen = 1472;   // header + payload
constexpr int kWireSlack = 4;       // the packers store whole words past a datagram's end
// Send buffer: four periods of every transmit stream, at what the kernel charges for a
// full-sized datagram (its buffer and bookkeeping, about 2.3 KiB).
constexpr int kSendBufReserve = 4 * RTP_TX_STREAM_SLOTS * 2560;
constexpr uint32_t kSeqTries = 64;
constexpr auto rlx = std::memory_order_relaxed;

int rtpFail(char* reason, size_t cap, const char* func, int line, const char* msg) {
    if (reason && cap > 0)
        std::snprintf(reason, cap, "error at: file=%s func=%s line=%d msg=%s", kUnit, func, line, msg);
    return -1;
}
#define RTP_FAIL(msg) rtpFail(reason, cap, __func__, __LINE__, (msg))

inline bool isMcast(uint32_t a) { return (a & 0xF0000000u) == 0xE0000000u; }
inline uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint16_t be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline int64_t iabs64(int64_t v) { return v < 0 ? -v : v; }

bool sdpComplete(const sdpInfo& s) {
    return s.chNum >= 1 && s.chNum <= RTP_MAX_CH_PER_SDP && s.sampleByteNum >= 1 && s.sampleByteNum <= 4 &&
           s.srcIp != 0 && s.dstIp != 0 && s.dstPort != 0;
}

// ---- stream configuration published under a sequence counter ----

struct StreamCfg {
    sdpInfo sdp;
    int16_t map[RTP_MAX_CH_PER_SDP];
    uint8_t mac[8]; // 6 used
};
static_assert(sizeof(StreamCfg) == 40, "five words");
constexpr int kCfgWords = 5;

struct PubStream {
    std::atomic<uint32_t> seq{0};
    std::atomic<uint64_t> w[kCfgWords];
};

std::mutex g_writeLock; // setters may come from more than one thread
// Moves after every change of a stream or a stream count (release), so that the engine
// thread looks at the tables again only then.
std::atomic<uint32_t> g_cfgGen{1};

void pubWrite(PubStream& p, const StreamCfg& c) {
    uint64_t w[kCfgWords];
    std::memcpy(w, &c, sizeof w);
    uint32_t s = p.seq.load(rlx);
    p.seq.store(s + 1, rlx);
    std::atomic_thread_fence(std::memory_order_release);
    for (int i = 0; i < kCfgWords; ++i) p.w[i].store(w[i], rlx);
    p.seq.store(s + 2, std::memory_order_release);
    g_cfgGen.fetch_add(1, std::memory_order_release);
}

// Consistent copy; false when a writer kept it busy for every try.
bool pubRead(const PubStream& p, StreamCfg* c, uint32_t* seqOut) {
    for (uint32_t t = 0; t < kSeqTries; ++t) {
        uint32_t s1 = p.seq.load(std::memory_order_acquire);
        if (s1 & 1u) continue;
        uint64_t w[kCfgWords];
        for (int i = 0; i < kCfgWords; ++i) w[i] = p.w[i].load(rlx);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (p.seq.load(rlx) != s1) continue;
        std::memcpy(c, w, sizeof w);
        if (seqOut) *seqOut = s1;
        return true;
    }
    return false;
}

// Engine-side view of a stream, refreshed when its sequence changes.
struct StreamView {
    uint32_t seq = 1; // odd: never equal to a published value, forces the first read
    StreamCfg cfg{};
    bool complete = false;
    uint8_t nValid = 0;                    // channels whose entry is a valid RTP channel
    uint8_t mask = 0;                      // bit j: entry j valid (unicast transmit)
    int16_t ch[RTP_MAX_CH_PER_SDP] = {};   // entry j if valid, else -1
};

// ---- tables ----

PubStream g_pubUTx[RTP_MAX_UCAST_NUM], g_pubMTx[RTP_MAX_MCAST_NUM];
PubStream g_pubURx[RTP_MAX_UCAST_NUM], g_pubMRx[RTP_MAX_MCAST_NUM];
StreamView g_viewUTx[RTP_MAX_UCAST_NUM], g_viewMTx[RTP_MAX_MCAST_NUM];
StreamView g_viewURx[RTP_MAX_UCAST_NUM], g_viewMRx[RTP_MAX_MCAST_NUM];
uint16_t g_txSeq[RTP_TX_STREAM_SLOTS];                 // engine thread
std::atomic<uint8_t> g_txTos[RTP_TX_STREAM_SLOTS];      // template TOS byte per stream
uint32_t g_dscpSlot;                                    // engine thread

std::atomic<int16_t> g_routeTx[RTP_MAX_CH_NUM]; // tx channel -> rx channel (local copy)
std::atomic<int16_t> g_routeRx[RTP_MAX_CH_NUM]; // output channel -> rx channel

std::atomic<int> g_num[4]; // indexed by RtpStreamKind
std::atomic<int> g_txChNum, g_rxChNum, g_fs, g_P, g_B, g_L;
std::atomic<int> g_linkOffset;
std::atomic<uint8_t> g_dscp{RTP_DEFAULT_DSCP}, g_pt{RTP_DEFAULT_PAYLOAD_TYPE}, g_mute;
std::atomic<uint32_t> g_now;
std::atomic<uint32_t> g_txUnsent; // datagrams the socket did not take (buffer full, no route)
std::atomic<int> g_sock{-1};
std::atomic<RtpSendBatchFn> g_transport{nullptr}; // the driver's socket layer (kernel build)
std::atomic<RtpTxBufFn> g_txBufFn{nullptr};        // its send slots, packed in place
// TOS byte last set on the RTP socket, -1 when a new socket has none of ours yet. The
// socket builds the IPv4 header, so the DSCP reaches the wire only through it.
std::atomic<int> g_sockTos{-1};
std::atomic<int> g_discSock{-1};
// Group datagrams never reach a socket bound to a unicast address; when the RTP socket is
// bound to one, memberships live on a companion socket bound to any address, same port.
std::atomic<int> g_mcastSock{-1};
std::atomic<uint16_t> g_sockPort{RTP_PORT}; // destination port of what both sockets receive
std::atomic<uint32_t> g_ctrlGroup, g_ctrlGroup2;
std::atomic<int> g_batchSend{1};

// Receive buffers and their marks: engine thread only.
int32_t g_buf[kBufSamples];
uint32_t g_mark[RTP_MAX_CH_NUM];
uint32_t g_readTime, g_readOff; // media time and frame offset of the read position
bool g_readValid;
// Buffers that may hold samples other than zero (bit r), and the media time after the
// last sample written to each. The others are all zero: the period neither meters,
// plays nor wipes them, so its receive work follows the channels in use.
uint64_t g_dirty[(RTP_MAX_CH_NUM + 63) / 64];
uint32_t g_dirtyEnd[RTP_MAX_CH_NUM];

inline bool isDirty(int r) { return (g_dirty[r >> 6] >> (r & 63)) & 1u; }
inline void markDirty(int r, uint32_t end) {
    if (!isDirty(r) || int32_t(end - g_dirtyEnd[r]) > 0) g_dirtyEnd[r] = end;
    g_dirty[r >> 6] |= uint64_t(1) << (r & 63);
}

// Output pointers from preparation (the period passes the current block).
RtpOutBlockDesc g_outDesc;

// Meters of the RTP channels.
RtpMeterBank g_meterTx, g_meterRx;

// Datagram batch of one period.
uint8_t g_sendBuf[RTP_TX_STREAM_SLOTS][kSendBufLen + kWireSlack];
NetDatagram g_batch[RTP_TX_STREAM_SLOTS];

// ---- receive statistics ----

enum StatWord {
    S_TOTAL, S_IN125, S_IN250, S_IN500, S_IN1MS, S_IN2MS, S_IN4MS, S_OUT4MS, S_MAXUS, S_MAXTS, S_PREVTS,
    S_NOTCONT, S_EXCEED, S_MAXDMS, S_NCCOUNT, S_SETTLED, S_CLRDONE, S_DDONE, S_NDONE, S_WORDS
};

struct StatsPub {
    std::atomic<uint32_t> seq{0};
    std::atomic<uint32_t> v[S_WORDS];
    std::atomic<uint64_t> sumUs{0};
    std::atomic<uint32_t> clrReq{0}, dReq{0}, nReq{0};   // command thread
    std::atomic<uint32_t> lastArrival{0};                // not cleared with the rest
    std::atomic<bool> arrived{false};
};

struct StatsWork { // engine thread
    uint32_t v[S_WORDS];
    uint64_t sumUs;
};

StatsPub g_statsPub[RTP_RX_STREAM_SLOTS];
StatsWork g_stats[RTP_RX_STREAM_SLOTS];

void statsPublish(int i) {
    StatsPub& p = g_statsPub[i];
    const StatsWork& w = g_stats[i];
    uint32_t s = p.seq.load(rlx);
    p.seq.store(s + 1, rlx);
    std::atomic_thread_fence(std::memory_order_release);
    for (int k = 0; k < S_WORDS; ++k) p.v[k].store(w.v[k], rlx);
    p.sumUs.store(w.sumUs, rlx);
    p.seq.store(s + 2, std::memory_order_release);
}

// Applies the clear requests of the command thread (engine thread).
void statsApplyRequests(int i) {
    StatsPub& p = g_statsPub[i];
    StatsWork& w = g_stats[i];
    uint32_t c = p.clrReq.load(rlx), d = p.dReq.load(rlx), n = p.nReq.load(rlx);
    if (c != w.v[S_CLRDONE]) {
        std::memset(&w, 0, sizeof w);
        w.v[S_CLRDONE] = c;
        w.v[S_DDONE] = d;
        w.v[S_NDONE] = n;
        return;
    }
    if (d != w.v[S_DDONE]) {
        w.v[S_MAXDMS] = 0;
        w.v[S_DDONE] = d;
    }
    if (n != w.v[S_NDONE]) {
        w.v[S_NCCOUNT] = 0;
        w.v[S_NDONE] = n;
    }
}

void statsUpdate(int i, uint32_t ts, uint32_t F) {
    statsApplyRequests(i);
    StatsWork& w = g_stats[i];
    const int fs = g_fs.load(rlx);
    const uint32_t now = g_now.load(rlx);
    g_statsPub[i].lastArrival.store(now, rlx);
    g_statsPub[i].arrived.store(true, rlx);
    w.v[S_TOTAL] += 1;
    int32_t e = int32_t(now - ts - F);
    int64_t f = fs > 0 ? int64_t(e) * (8000000 / fs) / 8 : 0;
    int64_t a = iabs64(f);
    int cls = a <= 124 ? S_IN125 : a <= 249 ? S_IN250 : a <= 499 ? S_IN500 : a <= 999 ? S_IN1MS
              : a <= 1999 ? S_IN2MS : a <= 3999 ? S_IN4MS : S_OUT4MS;
    w.v[cls] += 1;
    w.sumUs += uint64_t(a);
    if (iabs64(e) > iabs64(int32_t(w.v[S_MAXTS]))) {
        int64_t fc = f > INT32_MAX ? INT32_MAX : f < INT32_MIN ? INT32_MIN : f;
        w.v[S_MAXUS] = uint32_t(int32_t(fc));
        w.v[S_MAXTS] = uint32_t(e);
    }
    uint64_t ms = uint64_t(a) / 1000;
    if (ms > 0xFFFF) ms = 0xFFFF;
    if (ms > w.v[S_MAXDMS]) w.v[S_MAXDMS] = uint32_t(ms);
    uint32_t prev = w.v[S_PREVTS];
    if (prev != 0 && ts - prev != F) {
        w.v[S_NOTCONT] += 1;
        int32_t gapErr = int32_t(ts - prev - F);
        int64_t g = iabs64(gapErr);
        uint32_t lo = w.v[S_EXCEED] & 0xFFFFu, hi = w.v[S_EXCEED] >> 16;
        uint32_t gc = g > 0xFFFF ? 0xFFFFu : uint32_t(g);
        if (gc > lo) lo = gc;
        if (gapErr % int32_t(F) != 0 && hi < 0xFFFFu) hi += 1;
        w.v[S_EXCEED] = (hi << 16) | lo;
        if (w.v[S_NCCOUNT] < 255) w.v[S_NCCOUNT] += 1;
    }
    w.v[S_PREVTS] = ts;
    uint32_t settle = fs > 0 ? 16u * (uint32_t(fs) / F) : 0;
    if (!w.v[S_SETTLED] && settle > 0 && w.v[S_TOTAL] >= settle) {
        uint32_t c = w.v[S_CLRDONE], d = w.v[S_DDONE], n = w.v[S_NDONE];
        std::memset(&w, 0, sizeof w);
        w.v[S_CLRDONE] = c;
        w.v[S_DDONE] = d;
        w.v[S_NDONE] = n;
        w.v[S_SETTLED] = 1;
    }
    statsPublish(i);
}

// Snapshot with pending clears applied (command thread).
void statsSnapshot(int i, uint32_t v[S_WORDS], uint64_t* sum) {
    const StatsPub& p = g_statsPub[i];
    for (uint32_t t = 0; t < kSeqTries * 16; ++t) {
        uint32_t s1 = p.seq.load(std::memory_order_acquire);
        if (s1 & 1u) continue;
        for (int k = 0; k < S_WORDS; ++k) v[k] = p.v[k].load(rlx);
        *sum = p.sumUs.load(rlx);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (p.seq.load(rlx) == s1) break;
    }
    if (v[S_CLRDONE] != p.clrReq.load(rlx)) {
        std::memset(v, 0, sizeof(uint32_t) * S_WORDS);
        *sum = 0;
        return;
    }
    if (v[S_DDONE] != p.dReq.load(rlx)) v[S_MAXDMS] = 0;
    if (v[S_NDONE] != p.nReq.load(rlx)) v[S_NCCOUNT] = 0;
}

void statsRequestClear(int i) { g_statsPub[i].clrReq.fetch_add(1, rlx); }

// Internal slot of external receive index (ucast first, then mcast).
int rxSlot(int index) {
    int u = g_num[RTP_UCAST_RX].load(rlx), m = g_num[RTP_MCAST_RX].load(rlx);
    if (index < 0) return -1;
    if (index < u) return index;
    if (index - u < m) return RTP_MAX_UCAST_NUM + (index - u);
    return -1;
}

// ---- stream views (engine thread) ----

void refreshView(const PubStream& p, StreamView& v, int chLimit) {
    uint32_t s = p.seq.load(std::memory_order_acquire);
    if (s == v.seq) return;
    StreamCfg c;
    uint32_t got;
    if (!pubRead(p, &c, &got)) {
        v.complete = false; // a writer is busy: skip this use, look again next time
        v.seq = 1;
        return;
    }
    v.seq = got;
    v.cfg = c;
    v.complete = sdpComplete(c.sdp);
    v.nValid = 0;
    v.mask = 0;
    for (int j = 0; j < RTP_MAX_CH_PER_SDP; ++j) {
        int16_t e = c.map[j];
        bool ok = j < c.sdp.chNum && e >= 0 && e < chLimit;
        v.ch[j] = ok ? e : int16_t(-1);
        if (ok) {
            v.nValid += 1;
            v.mask |= uint8_t(1u << j);
        }
    }
}

// ---- setters ----

StreamCfg makeCfg(const sdpInfo* sdp, const int32_t* chMap, int chMapNum, const uint8_t* mac) {
    StreamCfg c;
    std::memset(&c, 0, sizeof c);
    if (sdp) c.sdp = *sdp;
    for (int j = 0; j < RTP_MAX_CH_PER_SDP; ++j) {
        int32_t e = (chMap && j < chMapNum) ? chMap[j] : -1;
        c.map[j] = (e >= INT16_MIN && e <= INT16_MAX) ? int16_t(e) : int16_t(-1);
    }
    if (mac) std::memcpy(c.mac, mac, RTP_MAC_ADDR_LEN);
    return c;
}

}  // namespace

// ---------------------------------------------------------------------------------

int RtpAudio_maxChPerStream(int sampleByteNum) {
    int P = g_P.load(rlx);
    if (sampleByteNum <= 0 || P <= 0) return 1;
    return 1460 / (sampleByteNum * P);
}

#define RTP_SET_COMMON(tableSize, kind, idMsg)                                                     \
    if (!sdp) return RTP_FAIL("null sdp");                                                         \
    if (sdpId < 0 || sdpId >= g_num[kind].load(rlx) || sdpId >= (tableSize)) return RTP_FAIL(idMsg); \
    if (sdp->chNum > RTP_MAX_CH_PER_SDP) return RTP_FAIL("fail my_VALID_SDP_CH_NUM()")

int RtpAudio_setUcastTx(int sdpId, const sdpInfo* sdp, const int32_t* chMap, int chMapNum,
                        const uint8_t* dstMac, char* reason, size_t cap) {
    RTP_SET_COMMON(RTP_MAX_UCAST_NUM, RTP_UCAST_TX, "fail my_VALID_UCAST_ID_TX()");
    if (sdp->chNum > RtpAudio_maxChPerStream(sdp->sampleByteNum)) return RTP_FAIL("fail exceed-udp-limit");
    if (sdp->chNum != 0 && isMcast(sdp->dstIp)) return RTP_FAIL("dstIp error");
    if (chMapNum < 0 || chMapNum > RTP_MAX_CH_PER_SDP) return RTP_FAIL("fail chMapNum");
    std::lock_guard<std::mutex> lk(g_writeLock);
    pubWrite(g_pubUTx[sdpId], makeCfg(sdp, chMap, chMapNum, dstMac));
    g_txTos[sdpId].store(uint8_t(g_dscp.load(rlx) << 2), rlx);
    return 0;
}

int RtpAudio_setMcastTx(int sdpId, const sdpInfo* sdp, const int32_t* chMap, int chMapNum,
                        const uint8_t* dstMac, char* reason, size_t cap) {
    RTP_SET_COMMON(RTP_MAX_MCAST_NUM, RTP_MCAST_TX, "fail my_VALID_MCAST_ID_TX()");
    if (sdp->chNum > RtpAudio_maxChPerStream(sdp->sampleByteNum)) return RTP_FAIL("fail exceed-udp-limit");
    if (sdp->chNum != 0 && !isMcast(sdp->dstIp)) return RTP_FAIL("dstIp error");
    if (chMapNum < 0 || chMapNum > RTP_MAX_CH_PER_SDP) return RTP_FAIL("fail chMapNum");
    std::lock_guard<std::mutex> lk(g_writeLock);
    pubWrite(g_pubMTx[sdpId], makeCfg(sdp, chMap, chMapNum, dstMac));
    g_txTos[RTP_MAX_UCAST_NUM + sdpId].store(uint8_t(g_dscp.load(rlx) << 2), rlx);
    return 0;
}

int RtpAudio_setUcastRx(int sdpId, const sdpInfo* sdp, const int32_t* chMap, int chMapNum, char* reason,
                        size_t cap) {
    // The receive tables report their id check with the transmit macro's name.
    RTP_SET_COMMON(RTP_MAX_UCAST_NUM, RTP_UCAST_RX, "fail my_VALID_UCAST_ID_TX()");
    if (sdp->chNum != 0 && isMcast(sdp->dstIp)) return RTP_FAIL("dstIp error");
    if (chMapNum < 0 || chMapNum > RTP_MAX_CH_PER_SDP) return RTP_FAIL("fail chMapNum");
    std::lock_guard<std::mutex> lk(g_writeLock);
    pubWrite(g_pubURx[sdpId], makeCfg(sdp, chMap, chMapNum, nullptr));
    if (!sdpComplete(*sdp)) statsRequestClear(sdpId);
    return 0;
}

int RtpAudio_setMcastRx(int sdpId, const sdpInfo* sdp, const int32_t* chMap, int chMapNum, char* reason,
                        size_t cap) {
    RTP_SET_COMMON(RTP_MAX_MCAST_NUM, RTP_MCAST_RX, "fail my_VALID_MCAST_ID_TX()");
    if (sdp->chNum != 0 && !isMcast(sdp->dstIp)) return RTP_FAIL("dstIp error");
    if (chMapNum < 0 || chMapNum > RTP_MAX_CH_PER_SDP) return RTP_FAIL("fail chMapNum");
    std::lock_guard<std::mutex> lk(g_writeLock);
    pubWrite(g_pubMRx[sdpId], makeCfg(sdp, chMap, chMapNum, nullptr));
    if (!sdpComplete(*sdp)) statsRequestClear(RTP_MAX_UCAST_NUM + sdpId);
    return 0;
}

static bool getStream(const PubStream* table, int tableSize, RtpStreamKind kind, int sdpId, sdpInfo* sdp,
                      int16_t* chMap, uint8_t* mac) {
    if (sdpId < 0 || sdpId >= tableSize || sdpId >= g_num[kind].load(rlx)) return false;
    StreamCfg c;
    if (!pubRead(table[sdpId], &c, nullptr)) return false;
    if (sdp) *sdp = c.sdp;
    if (chMap) std::memcpy(chMap, c.map, sizeof c.map);
    if (mac) std::memcpy(mac, c.mac, RTP_MAC_ADDR_LEN);
    return true;
}

bool RtpAudio_getUcastTx(int id, sdpInfo* s, int16_t* m, uint8_t* mac) {
    return getStream(g_pubUTx, RTP_MAX_UCAST_NUM, RTP_UCAST_TX, id, s, m, mac);
}
bool RtpAudio_getMcastTx(int id, sdpInfo* s, int16_t* m, uint8_t* mac) {
    return getStream(g_pubMTx, RTP_MAX_MCAST_NUM, RTP_MCAST_TX, id, s, m, mac);
}
bool RtpAudio_getUcastRx(int id, sdpInfo* s, int16_t* m) {
    return getStream(g_pubURx, RTP_MAX_UCAST_NUM, RTP_UCAST_RX, id, s, m, nullptr);
}
bool RtpAudio_getMcastRx(int id, sdpInfo* s, int16_t* m) {
    return getStream(g_pubMRx, RTP_MAX_MCAST_NUM, RTP_MCAST_RX, id, s, m, nullptr);
}

int RtpAudio_getNum(RtpStreamKind kind) {
    if (kind < RTP_UCAST_TX || kind > RTP_MCAST_RX) return 0;
    return g_num[kind].load(rlx);
}

int RtpAudio_setNum(RtpStreamKind kind, int num, char* reason, size_t cap) {
    if (kind < RTP_UCAST_TX || kind > RTP_MCAST_RX) return RTP_FAIL("fail stream kind");
    int limit = (kind == RTP_UCAST_TX || kind == RTP_UCAST_RX) ? RTP_MAX_UCAST_NUM : RTP_MAX_MCAST_NUM;
    if (num < 0 || num > limit) return RTP_FAIL("fail num out of range");
    g_num[kind].store(num, rlx);
    g_cfgGen.fetch_add(1, std::memory_order_release);
    return 0;
}

// ---- routing ----

int RtpAudio_getTxChNum() { return g_txChNum.load(rlx); }
int RtpAudio_getRxChNum() { return g_rxChNum.load(rlx); }

// Moves after every change of a routing table (release): the engine thread lists the
// routed channels again only then.
static std::atomic<uint32_t> g_routeGen{1};

static void setRoute(std::atomic<int16_t>* table, const int32_t* arr, int n) {
    if (!arr) return;
    if (n > RTP_MAX_CH_NUM) n = RTP_MAX_CH_NUM;
    for (int i = 0; i < n; ++i) {
        int16_t v = (arr[i] >= INT16_MIN && arr[i] <= INT16_MAX) ? int16_t(arr[i]) : int16_t(-1);
        if (table[i].load(rlx) != v) table[i].store(v, rlx);
    }
    g_routeGen.fetch_add(1, std::memory_order_release);
}
void RtpAudio_setChTx(const int32_t* arr, int n) { setRoute(g_routeTx, arr, n); }
void RtpAudio_setChRx(const int32_t* arr, int n) { setRoute(g_routeRx, arr, n); }

static int getRoute(const std::atomic<int16_t>* table, int count, int16_t* out, int cap) {
    if (out)
        for (int i = 0; i < cap && i < RTP_MAX_CH_NUM; ++i) out[i] = table[i].load(rlx);
    return count;
}
int RtpAudio_getChTx(int16_t* out, int cap) { return getRoute(g_routeTx, g_txChNum.load(rlx), out, cap); }
int RtpAudio_getChRx(int16_t* out, int cap) { return getRoute(g_routeRx, g_rxChNum.load(rlx), out, cap); }

// ---- timing values ----

int RtpAudio_setLinkOffset(int frames, int sampleRate, int frameNumPerPeriod, char* reason, size_t cap) {
    if (sampleRate <= 0) sampleRate = g_fs.load(rlx);
    if (frameNumPerPeriod <= 0) frameNumPerPeriod = g_P.load(rlx);
    int B = RTP_CH_BUF_IN_FRAME(sampleRate, frameNumPerPeriod);
    if (int64_t(frames) + frameNumPerPeriod >= B)
        return RTP_FAIL("fail (linkOffsetFrameNum + frameNumPerPeriod >= RTP_CH_BUF_IN_FRAME(sampleRate, "
                        "frameNumPerPeriod))");
    if (int64_t(frames) < int64_t(LINK_OFFSET_MIN_MULTIPLE_BY_PERIOD) * frameNumPerPeriod)
        return RTP_FAIL("fail (linkOffsetFrameNum < LINK_OFFSET_MIN_MULTIPLE_BY_PERIOD * frameNumPerPeriod)");
    // A value checked against other geometry than the prepared one must still fit our buffers.
    int pB = g_B.load(rlx), pP = g_P.load(rlx);
    if (pB > 0 && (int64_t(frames) + pP >= pB || frames < LINK_OFFSET_MIN_MULTIPLE_BY_PERIOD * pP))
        return RTP_FAIL("fail (linkOffsetFrameNum outside the prepared receive buffer)");
    g_linkOffset.store(frames, rlx);
    return 0;
}
int RtpAudio_getLinkOffset() { return g_linkOffset.load(rlx); }
void RtpAudio_setDscp(uint8_t d) { g_dscp.store(d, rlx); }
uint8_t RtpAudio_getDscp() { return g_dscp.load(rlx); }
void RtpAudio_setPayloadType(uint8_t pt) { g_pt.store(pt, rlx); }
uint8_t RtpAudio_getPayloadType() { return g_pt.load(rlx); }
void RtpAudio_setRtpMute(bool m) { g_mute.store(m ? 1 : 0, rlx); }
bool RtpAudio_getRtpMute() { return g_mute.load(rlx) != 0; }
int RtpAudio_getSampleRate() { return g_fs.load(rlx); }
int RtpAudio_getFramesPerPeriod() { return g_P.load(rlx); }
void RtpAudio_setNow(uint32_t now) { g_now.store(now, rlx); }
uint32_t RtpAudio_getTxUnsent() { return g_txUnsent.load(rlx); }

uint32_t RtpAudio_getNow() { return g_now.load(rlx); }
void RtpAudio_setRtpSocket(int sock) {
    int old = g_mcastSock.exchange(-1, rlx);
    if (old >= 0) Net_close(old);
    uint16_t port = RTP_PORT;
    uint32_t addr = 0;
    if (sock >= 0) {
        if (!NetBatch_localAddr(sock, &addr, &port) || port == 0) port = RTP_PORT;
        // Group datagrams leave with the template's TTL, from the bound interface.
        Net_setMcastTtl(sock, RTP_IP_TTL);
        // Room for the datagrams of a catch-up (four periods of every stream) still
        // waiting for the card; with less, the last streams of a period are refused.
        if (!NetBatch_reserveSendBuffer(sock, kSendBufReserve)) DIAG_ERROR_AT(kUnit, "RtpAudio_setRtpSocket");
        if (addr != 0) Net_setMcastIf(sock, addr);
    }
    g_sockPort.store(port, rlx);
    g_sockTos.store(-1, rlx);
    g_sock.store(sock, rlx);
}

// The socket that takes the memberships of the RTP socket (see g_mcastSock).
static int mcastRxSocket() {
    int rtp = g_sock.load(rlx);
    if (rtp < 0) return -1;
    uint32_t addr = 0;
    uint16_t port = 0;
    if (!NetBatch_localAddr(rtp, &addr, &port) || addr == 0) return rtp;
    int m = g_mcastSock.load(rlx);
    if (m >= 0) return m;
    m = Net_udpSocketTry(0, port);
    if (m < 0) return -1;
    Net_setPktInfo(m, 1);
    g_mcastSock.store(m, rlx);
    return m;
}
int RtpAudio_getRtpSocket() { return g_sock.load(rlx); }
void RtpAudio_setTransport(RtpSendBatchFn fn, RtpTxBufFn bufFn) {
    g_txBufFn.store(bufFn, rlx);
    g_transport.store(fn, rlx);
}
void RtpAudio_setBatchSend(int mode) { g_batchSend.store(mode, rlx); }

// ---- statistics ----

int RtpAudio_rxStreamCount() { return g_num[RTP_UCAST_RX].load(rlx) + g_num[RTP_MCAST_RX].load(rlx); }

int RtpAudio_rxStreamIndex(bool mcast, int sdpId) {
    if (sdpId < 0) return -1;
    if (!mcast) return sdpId < g_num[RTP_UCAST_RX].load(rlx) ? sdpId : -1;
    return sdpId < g_num[RTP_MCAST_RX].load(rlx) ? g_num[RTP_UCAST_RX].load(rlx) + sdpId : -1;
}

bool RtpAudio_getRxStats(int index, RtpRxStats* out) {
    int i = rxSlot(index);
    if (i < 0 || !out) return false;
    uint32_t v[S_WORDS];
    uint64_t sum = 0;
    statsSnapshot(i, v, &sum);
    out->total = v[S_TOTAL];
    out->in125 = v[S_IN125];
    out->in250 = v[S_IN250];
    out->in500 = v[S_IN500];
    out->in1ms = v[S_IN1MS];
    out->in2ms = v[S_IN2MS];
    out->in4ms = v[S_IN4MS];
    out->out4ms = v[S_OUT4MS];
    out->sumUs = sum;
    out->maxUs = int32_t(v[S_MAXUS]);
    out->maxRtpTsOffset = int32_t(v[S_MAXTS]);
    out->prevTs = v[S_PREVTS];
    out->notContinue = v[S_NOTCONT];
    out->exceedDelay = v[S_EXCEED];
    out->maxDelayMs = uint16_t(v[S_MAXDMS]);
    out->notContCount = uint8_t(v[S_NCCOUNT]);
    out->settled = uint8_t(v[S_SETTLED]);
    return true;
}

void RtpAudio_clrRxStats(int index) {
    int i = rxSlot(index);
    if (i >= 0) statsRequestClear(i);
}

uint16_t RtpAudio_takeMaxDelayMs(int index) {
    int i = rxSlot(index);
    if (i < 0) return 0;
    uint32_t v[S_WORDS];
    uint64_t sum;
    statsSnapshot(i, v, &sum);
    g_statsPub[i].dReq.fetch_add(1, rlx);
    return uint16_t(v[S_MAXDMS]);
}

uint8_t RtpAudio_takeNotContCount(int index) {
    int i = rxSlot(index);
    if (i < 0) return 0;
    uint32_t v[S_WORDS];
    uint64_t sum;
    statsSnapshot(i, v, &sum);
    g_statsPub[i].nReq.fetch_add(1, rlx);
    return uint8_t(v[S_NCCOUNT]);
}

bool RtpAudio_isRxActive(int index) {
    int i = rxSlot(index);
    if (i < 0 || !g_statsPub[i].arrived.load(rlx)) return false;
    int32_t d = int32_t(g_now.load(rlx) - g_statsPub[i].lastArrival.load(rlx));
    return iabs64(d) < g_fs.load(rlx);
}

// ---- meters ----

static int meterShift(int fs) {
    int n = 0;
    while (n < 8 && int64_t(48000) << n < fs) ++n;
    return n + 11;
}

static void meterPublish(RtpMeterBank* bank, int chNum, int fs) {
    int sh = meterShift(fs);
    if (bank->frames < (1u << sh)) return;
    for (int c = 0; c < chNum && c < RTP_METER_MAX_CH; ++c) {
        std::atomic_ref<uint32_t>(bank->meter[c]).store(uint32_t(bank->acc[c] >> sh), rlx);
        bank->acc[c] = 0;
    }
    bank->frames = 0;
}

namespace {
// The meters' square of a sample: its top 16 bits squared, at most 2^30.
inline uint32_t square16(int32_t v) {
    const int32_t s = v >> 16;
    return uint32_t(s * s);
}

// Adds the squares of eight channels over frames to sum[0..7]. Three squares fit 32
// bits, so the 64-bit additions come once per three frames; eight channels a step, a
// fixed count, so that -O2 vectorises the step.
void squares8(uint64_t* __restrict sum, const int32_t* __restrict f, int frames, size_t stride, bool assign) {
    uint64_t a[8] = {};
    int k = 0;
    for (; k + 3 <= frames; k += 3, f += 3 * stride) {
        uint32_t p[8];
        for (int j = 0; j < 8; ++j) p[j] = square16(f[j]) + square16(f[j + stride]) + square16(f[j + 2 * stride]);
        for (int j = 0; j < 8; ++j) a[j] += p[j];
    }
    for (; k < frames; ++k, f += stride)
        for (int j = 0; j < 8; ++j) a[j] += square16(f[j]);
    for (int j = 0; j < 8; ++j) sum[j] = (assign ? 0 : sum[j]) + a[j];
}

// Adds each channel's squares over the block to sum[c], c < chNum, and returns the
// groups of eight channels that added anything (bit g: channels 8g..8g+7). assign: the
// sums of those groups are stored instead, and the other groups' are not written.
// live (may be null): the groups that may carry samples; only those are read, column
// by column. Without it, a group with no sample beyond the low 16 bits adds nothing,
// and unused inputs are mostly silent: one pass row by row (in memory order, which the
// prefetcher follows when the block comes cold from another process) finds the groups
// that have anything, and only those are squared. *zero (may be null): the block is all
// zero bits.
uint32_t sumSquares(uint64_t* sum, const int32_t* block, int frames, int chNum, size_t stride, const uint8_t* live,
                    bool assign, bool* zero) {
    constexpr int kGroups = (RTP_METER_MAX_CH + 7) / 8;
    static_assert(kGroups <= 32, "group mask");
    uint32_t bits[kGroups * 8] = {};
    if (!live) {
        const int wide = chNum & ~7;
        for (int k = 0; k < frames; ++k) {
            const int32_t* row = block + size_t(k) * stride;
            for (int c = 0; c < wide; c += 8)
                for (int j = 0; j < 8; ++j) bits[c + j] |= uint32_t(row[c + j]);
            for (int c = wide; c < chNum; ++c) bits[c] |= uint32_t(row[c]);
        }
    }
    uint32_t groups = 0, all = 0;
    for (int c = 0; c < chNum; c += 8) {
        const int n = chNum - c < 8 ? chNum - c : 8;
        if (live) {
            if (!live[c >> 3]) continue;
            for (int k = 0; k < frames; ++k)
                for (int j = 0; j < n; ++j) bits[c + j] |= uint32_t(block[size_t(k) * stride + size_t(c + j)]);
        }
        uint32_t any = 0;
        for (int j = 0; j < n; ++j) any |= bits[c + j];
        all |= any;
        if ((any >> 16) == 0) continue;
        groups |= 1u << (c >> 3);
        if (n == 8) {
            squares8(sum + c, block + c, frames, stride, assign);
            continue;
        }
        for (int j = 0; j < n; ++j) {
            uint64_t a = 0;
            for (int k = 0; k < frames; ++k) a += square16(block[size_t(k) * stride + size_t(c + j)]);
            sum[c + j] = (assign ? 0 : sum[c + j]) + a;
        }
    }
    if (zero) *zero = all == 0;
    return groups;
}

// The squares of one buffer row of P samples, sixteen a step (vectorised).
uint64_t rowSquares(const int32_t* __restrict src, int P) {
    uint64_t acc = 0;
    int k = 0;
    for (; k + 16 <= P; k += 16)
        for (int j = 0; j < 16; ++j) acc += square16(src[k + j]);
    for (; k < P; ++k) acc += square16(src[k]);
    return acc;
}
}  // namespace

void RtpMeter_addSums(RtpMeterBank* bank, const RtpBlockSums* sums, int chNum) {
    for (uint32_t g = sums->groups; g; g &= g - 1) {
        const int c0 = __builtin_ctz(g) * 8;
        for (int c = c0; c < c0 + 8 && c < chNum; ++c) bank->acc[c] += sums->sum[c];
    }
}

void RtpMeter_addBlock(RtpMeterBank* bank, const int32_t* block, int frames, int chNum, int strideSamples,
                       int sampleRate, const uint8_t* live, RtpBlockSums* keep) {
    if (keep) {
        // Not the whole record: its sums are written only for the groups it names.
        keep->block = block;
        keep->frames = frames;
        keep->chNum = 0;
        keep->strideSamples = strideSamples;
        keep->groups = 0;
        keep->zero = false;
    }
    if (!bank || frames <= 0) return;
    if (chNum > RTP_METER_MAX_CH) chNum = RTP_METER_MAX_CH;
    if (block && chNum > 0) {
        if (keep) {
            keep->groups = sumSquares(keep->sum, block, frames, chNum, size_t(strideSamples), live, true, &keep->zero);
            keep->chNum = chNum;
            RtpMeter_addSums(bank, keep, chNum);
        } else {
            sumSquares(bank->acc, block, frames, chNum, size_t(strideSamples), live, false, nullptr);
        }
    }
    bank->frames += uint32_t(frames);
    meterPublish(bank, chNum, sampleRate);
}

uint32_t RtpMeter_get(const RtpMeterBank* bank, int ch) {
    if (!bank || ch < 0 || ch >= RTP_METER_MAX_CH) return 0;
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(bank->meter[ch])).load(rlx);
}

void RtpMeter_clear(RtpMeterBank* bank) {
    if (!bank) return;
    std::memset(bank->acc, 0, sizeof bank->acc);
    bank->frames = 0;
    for (auto& m : bank->meter) std::atomic_ref<uint32_t>(m).store(0, rlx);
}

static int getVolume(const RtpMeterBank* bank, int count, uint32_t* out, int cap) {
    if (out)
        for (int i = 0; i < cap && i < count; ++i) out[i] = RtpMeter_get(bank, i);
    return count;
}
int RtpAudio_getVolumeTx(uint32_t* out, int cap) { return getVolume(&g_meterTx, g_txChNum.load(rlx), out, cap); }
int RtpAudio_getVolumeRx(uint32_t* out, int cap) { return getVolume(&g_meterRx, g_rxChNum.load(rlx), out, cap); }

// ---- preparation ----

static void clearTables() {
    StreamCfg empty = makeCfg(nullptr, nullptr, 0, nullptr);
    for (auto& p : g_pubUTx) pubWrite(p, empty);
    for (auto& p : g_pubMTx) pubWrite(p, empty);
    for (auto& p : g_pubURx) pubWrite(p, empty);
    for (auto& p : g_pubMRx) pubWrite(p, empty);
    for (auto& v : g_viewUTx) v = StreamView{};
    for (auto& v : g_viewMTx) v = StreamView{};
    for (auto& v : g_viewURx) v = StreamView{};
    for (auto& v : g_viewMRx) v = StreamView{};
    for (auto& r : g_routeTx) r.store(-1, rlx);
    for (auto& r : g_routeRx) r.store(-1, rlx);
    g_routeGen.fetch_add(1, std::memory_order_release);
    std::memset(g_txSeq, 0, sizeof g_txSeq);
    uint8_t tos = uint8_t(g_dscp.load(rlx) << 2);
    for (auto& t : g_txTos) t.store(tos, rlx);
    g_dscpSlot = 0;
    std::memset(g_buf, 0, sizeof g_buf);
    std::memset(g_mark, 0, sizeof g_mark);
    std::memset(g_dirty, 0, sizeof g_dirty);
    g_readTime = g_readOff = 0;
    g_readValid = false;
    for (int i = 0; i < RTP_RX_STREAM_SLOTS; ++i) {
        StatsPub& p = g_statsPub[i];
        std::memset(&g_stats[i], 0, sizeof g_stats[i]);
        p.clrReq.store(0, rlx);
        p.dReq.store(0, rlx);
        p.nReq.store(0, rlx);
        p.lastArrival.store(0, rlx);
        p.arrived.store(false, rlx);
        statsPublish(i);
    }
    RtpMeter_clear(&g_meterTx);
    RtpMeter_clear(&g_meterRx);
}

void RtpAudio_afterDspPrepare(int phyInChNum, const RtpOutBlockDesc* out, int sampleRate) {
    int P = out ? out->framesPerPeriod : 0;
    int outCh = out ? out->chNum : 0;
    // Nothing of our geometry may be nonsense: a period of frames beyond 1/125 s of the
    // rate (or none) leaves no whole period in the buffer.
    if (sampleRate <= 0 || P <= 0 || P > sampleRate / 125) {
        DIAG_ERROR_AT(kUnit, "RtpAudio_afterDspPrepare");
        sampleRate = sampleRate > 0 ? sampleRate : 48000;
        P = sampleRate / 1000 > 0 ? sampleRate / 1000 : 1;
    }
    int lo = g_linkOffset.load(rlx);
    if (lo < LINK_OFFSET_MIN_MULTIPLE_BY_PERIOD * P) lo = LINK_OFFSET_MIN_MULTIPLE_BY_PERIOD * P;
    int B = RTP_CH_BUF_IN_FRAME(sampleRate, P);
    if (lo + P >= B) lo = LINK_OFFSET_MIN_MULTIPLE_BY_PERIOD * P;
    g_linkOffset.store(lo, rlx);
    int L = RTP_CH_BUF_MEM_BYTES / (4 * B);
    if (L > RTP_MAX_CH_NUM) L = RTP_MAX_CH_NUM;
    if (phyInChNum < 0 || phyInChNum > L || outCh < 0 || outCh > L) DIAG_ERROR_AT(kUnit, "RtpAudio_afterDspPrepare");
    int rxCh = outCh < 0 ? 0 : outCh > L ? L : outCh;
    int txCh = phyInChNum < 0 ? 0 : phyInChNum > L ? L : phyInChNum;
    g_fs.store(sampleRate, rlx);
    g_P.store(P, rlx);
    g_B.store(B, rlx);
    g_L.store(L, rlx);
    g_rxChNum.store(rxCh, rlx);
    g_txChNum.store(txCh, rlx);
    int uRx = g_num[RTP_UCAST_RX].load(rlx), uTx = g_num[RTP_UCAST_TX].load(rlx);
    if (uRx == 0 && outCh > 0) uRx = outCh;
    if (uTx == 0 && phyInChNum > 0) uTx = phyInChNum < 4 ? 4 : phyInChNum;
    g_num[RTP_UCAST_RX].store(uRx > L ? L : uRx, rlx);
    g_num[RTP_UCAST_TX].store(uTx > L ? L : uTx, rlx);
    g_num[RTP_MCAST_RX].store(rxCh < RTP_MAX_MCAST_NUM ? rxCh : RTP_MAX_MCAST_NUM, rlx);
    g_num[RTP_MCAST_TX].store(txCh < RTP_MAX_MCAST_NUM ? txCh : RTP_MAX_MCAST_NUM, rlx);
    {
        std::lock_guard<std::mutex> lk(g_writeLock);
        clearTables();
    }
    g_outDesc = out ? *out : RtpOutBlockDesc{};
}

void RtpAudio_reset() {
    for (auto& n : g_num) n.store(0, rlx);
    g_txChNum.store(0, rlx);
    g_rxChNum.store(0, rlx);
    g_fs.store(0, rlx);
    g_P.store(0, rlx);
    g_B.store(0, rlx);
    g_L.store(0, rlx);
    g_linkOffset.store(0, rlx);
    g_dscp.store(RTP_DEFAULT_DSCP, rlx);
    g_pt.store(RTP_DEFAULT_PAYLOAD_TYPE, rlx);
    g_mute.store(0, rlx);
    g_now.store(0, rlx);
    RtpAudio_setRtpSocket(-1);
    // The route layer's socket registration is not engine state: it survives a reset,
    // which engine start-up performs after the route layer registered.
    g_batchSend.store(1, rlx);
    std::lock_guard<std::mutex> lk(g_writeLock);
    clearTables();
    g_outDesc = RtpOutBlockDesc{};
}

// ---- period transmit ----

namespace {

inline int32_t getSample(const uint8_t* p, int n) {
    uint32_t u = uint32_t(p[0]) << 24;
    if (n > 1) u |= uint32_t(p[1]) << 16;
    if (n > 2) u |= uint32_t(p[2]) << 8;
    if (n > 3) u |= uint32_t(p[3]);
    return int32_t(u);
}

// Top SB bytes of a sample, most significant first. SB 3 stores four bytes and the
// next sample overwrites the fourth, so every destination keeps kWireSlack bytes spare.
template <int SB>
inline void putWire(uint8_t* p, uint32_t u) {
    if constexpr (SB >= 3) {
        uint32_t be = std::endian::native == std::endian::little ? __builtin_bswap32(u) : u;
        std::memcpy(p, &be, 4);
    } else if constexpr (SB == 2) {
        uint16_t h = uint16_t(u >> 16);
        uint16_t be = std::endian::native == std::endian::little ? __builtin_bswap16(h) : h;
        std::memcpy(p, &be, 2);
    } else {
        p[0] = uint8_t(u >> 24);
    }
}

// Interleaved frames of n channels: channel j of frame k from src[j][k * step[j]].
template <int SB>
void packFrames(uint8_t* dst, const int32_t* const* src, const size_t* step, int n, int P) {
    for (int k = 0; k < P; ++k)
        for (int j = 0; j < n; ++j, dst += SB) putWire<SB>(dst, uint32_t(src[j][size_t(k) * step[j]]));
}

// The period's transmit channels in wire form, one row per sample width and channel,
// converted once per period for the widths the unicast streams use: a channel that
// several streams carry is converted once, and a unicast payload is row copies.
// Rows lie back to back, whole cache lines each, so that a period's rows are a few
// KiB in a row rather than strewn over the largest row's spacing.
constexpr size_t kRowMax = (kMaxPayload + kWireSlack + 63) / 64 * 64;
alignas(64) uint8_t g_chWire[4][RTP_MAX_CH_NUM * kRowMax];
inline uint8_t* wireRow(int sb, int c, int P) {
    return g_chWire[sb - 1] + size_t(c) * ((size_t(P) * size_t(sb) + kWireSlack + 63) / 64 * 64);
}
// Unicast streams that carry each channel at each width this period (counted to 2): a
// channel that one stream carries is packed straight into its datagram, one that more
// carry is converted once into its row and copied.
uint8_t g_chUsers[4][RTP_MAX_CH_NUM];
const int32_t kZeroSample = 0;

int g_batchCount;

// Where stream slot's datagram of len bytes is packed: the transport's buffer when it
// gives them (null: none free, the datagram is dropped), else the stream's own.
uint8_t* txBuffer(int slot, uint32_t len) {
    const RtpTxBufFn f = g_txBufFn.load(rlx);
    return f ? f(len) : g_sendBuf[slot];
}

void queueDatagram(const uint8_t* b, uint32_t len, uint32_t addr, uint16_t port) {
    NetDatagram& d = g_batch[g_batchCount++];
    d.buf = b;
    d.len = len;
    d.addr = addr;
    d.port = port;
}

void buildMcast(int slot, const StreamView& v, const int32_t* in, int stride, int inCh, uint32_t tsWire, bool mute,
                int P) {
    const int n = v.cfg.sdp.chNum, sb = v.cfg.sdp.sampleByteNum;
    const int len = P * n * sb;
    if (len > kMaxPayload) return;
    uint8_t* b = txBuffer(slot, uint32_t(RTP_MCAST_HEADER_LEN + len));
    if (!b) { // lost on the way: the receivers see the gap in the sequence
        g_txSeq[slot] = uint16_t(g_txSeq[slot] + 1);
        return;
    }
    b[0] = 0x80;
    b[1] = uint8_t(g_pt.load(rlx) & 0x7F);
    put16(b + 2, g_txSeq[slot]);
    g_txSeq[slot] = uint16_t(g_txSeq[slot] + 1);
    // The stream's announced offset (a=mediaclk:direct=): a receiver that follows the
    // SDP subtracts it, so the datagram must carry it, modulo 2^32.
    put32(b + 4, tsWire + v.cfg.sdp.rtpTsOffset);
    put32(b + 8, 0);
    uint8_t* pl = b + RTP_MCAST_HEADER_LEN;
    if (mute || !in) {
        std::memset(pl, 0, size_t(len));
    } else {
        // Slots of channels without a source carry silence, never an earlier datagram's audio.
        const int32_t* src[RTP_MAX_CH_PER_SDP];
        size_t step[RTP_MAX_CH_PER_SDP];
        for (int j = 0; j < n; ++j) {
            const int c = v.ch[j];
            const bool ok = c >= 0 && c < inCh;
            src[j] = ok ? in + c : &kZeroSample;
            step[j] = ok ? size_t(stride) : 0;
        }
        switch (sb) {
        case 1: packFrames<1>(pl, src, step, n, P); break;
        case 2: packFrames<2>(pl, src, step, n, P); break;
        case 3: packFrames<3>(pl, src, step, n, P); break;
        default: packFrames<4>(pl, src, step, n, P); break;
        }
    }
    queueDatagram(b, uint32_t(RTP_MCAST_HEADER_LEN + len), v.cfg.sdp.dstIp, v.cfg.sdp.dstPort);
}

// Whether a unicast stream sends this period, and the rows it will copy.
bool ucastWanted(const StreamView& v, int P) {
    const int sb = v.cfg.sdp.sampleByteNum;
    if (P * v.nValid * sb > kMaxPayload) return false;
    for (int j = 0; j < v.cfg.sdp.chNum; ++j)
        if (v.ch[j] >= 0) {
            uint8_t& u = g_chUsers[sb - 1][v.ch[j]];
            if (u < 2) ++u;
        }
    return true;
}

// Channel rows straight from the block (frame after frame, as the block lies): whole
// words but on the last frame, whose word would run into the next row.
template <int SB>
void packColumns(const int32_t* in, size_t stride, const int16_t* ch, uint8_t* const* row, int n, int P) {
    if (P <= 0) return;
    int k = 0;
    for (; k + 1 < P; ++k, in += stride)
        for (int i = 0; i < n; ++i) putWire<SB>(row[i] + k * SB, uint32_t(in[ch[i]]));
    for (int i = 0; i < n; ++i) {
        uint8_t w[4];
        putWire<SB>(w, uint32_t(in[ch[i]]));
        std::memcpy(row[i] + k * SB, w, SB);
    }
}

void buildUcast(int slot, const StreamView& v, uint32_t tsWire, bool mute, int P, const int32_t* in, size_t stride,
                int inCh) {
    const int sb = v.cfg.sdp.sampleByteNum;
    const size_t row = size_t(P) * size_t(sb);
    const int len = P * v.nValid * sb;
    uint8_t* b = txBuffer(slot, uint32_t(RTP_UCAST_HEADER_LEN + len));
    if (!b) return;
    b[0] = 0x00;
    b[1] = v.mask;
    put16(b + 2, uint16_t(v.cfg.sdp.rtpTsOffset & 0xFFFFu));
    put32(b + 4, tsWire);
    uint8_t* pl = b + RTP_UCAST_HEADER_LEN;
    if (mute) {
        std::memset(pl, 0, size_t(len));
    } else {
        int16_t dch[RTP_MAX_CH_PER_SDP];
        uint8_t* drow[RTP_MAX_CH_PER_SDP];
        int dn = 0;
        for (int j = 0; j < v.cfg.sdp.chNum && j < RTP_MAX_CH_PER_SDP; ++j) {
            const int c = v.ch[j];
            if (c < 0) continue;
            if (g_chUsers[sb - 1][c] >= 2) {
                std::memcpy(pl, wireRow(sb, c, P), row);
            } else if (!in || c >= inCh) {
                std::memset(pl, 0, row);
            } else {
                dch[dn] = int16_t(c);
                drow[dn++] = pl;
            }
            pl += row;
        }
        switch (sb) {
        case 1: packColumns<1>(in, stride, dch, drow, dn, P); break;
        case 2: packColumns<2>(in, stride, dch, drow, dn, P); break;
        case 3: packColumns<3>(in, stride, dch, drow, dn, P); break;
        default: packColumns<4>(in, stride, dch, drow, dn, P); break;
        }
    }
    queueDatagram(b, uint32_t(RTP_UCAST_HEADER_LEN + len), v.cfg.sdp.dstIp, v.cfg.sdp.dstPort);
}

// Converts the rows of channels that more than one unicast stream carries; channels
// without input give silent rows.
void packRows(const int32_t* in, int stride, int inCh, int txCh, int P) {
    int16_t ch[4][RTP_MAX_CH_NUM];
    uint8_t* row[4][RTP_MAX_CH_NUM];
    int n[4] = {};
    for (int sb = 1; sb <= 4; ++sb)
        for (int c = 0; c < txCh; ++c) {
            if (g_chUsers[sb - 1][c] < 2) continue;
            if (c >= inCh || !in) {
                std::memset(wireRow(sb, c, P), 0, size_t(P) * size_t(sb));
            } else {
                ch[sb - 1][n[sb - 1]] = int16_t(c);
                row[sb - 1][n[sb - 1]++] = wireRow(sb, c, P);
            }
        }
    if (n[0]) packColumns<1>(in, size_t(stride), ch[0], row[0], n[0], P);
    if (n[1]) packColumns<2>(in, size_t(stride), ch[1], row[1], n[1], P);
    if (n[2]) packColumns<3>(in, size_t(stride), ch[2], row[2], n[2], P);
    if (n[3]) packColumns<4>(in, size_t(stride), ch[3], row[3], n[3], P);
}

bool g_ucastSend[RTP_MAX_UCAST_NUM]; // this period's verdict per unicast stream
// Transmit streams complete at the last look (slots: unicast index, 128 + multicast
// index, in sending order); looked for again only when g_cfgGen moved, so an idle
// period does not visit every stream.
uint8_t g_txList[RTP_TX_STREAM_SLOTS];
int g_txListN;
uint32_t g_txSeenGen;

}  // namespace

namespace {
// The routed channels (transmit channels copied locally, output channels played), listed
// again only when g_routeGen moved: a period visits those, not all 128 entries of each
// table. The entries themselves are still read each period.
uint8_t g_copyTx[RTP_MAX_CH_NUM], g_playOut[RTP_MAX_CH_NUM];
int g_copyTxN, g_playOutN;
uint32_t g_routeSeen;

void refreshRouteLists() {
    const uint32_t gen = g_routeGen.load(std::memory_order_acquire);
    if (gen == g_routeSeen) return;
    g_routeSeen = gen;
    g_copyTxN = g_playOutN = 0;
    for (int i = 0; i < RTP_MAX_CH_NUM; ++i) {
        if (g_routeTx[i].load(rlx) >= 0) g_copyTx[g_copyTxN++] = uint8_t(i);
        if (g_routeRx[i].load(rlx) >= 0) g_playOut[g_playOutN++] = uint8_t(i);
    }
}
}  // namespace

void RtpAudio_periodTx(const int32_t* inBlock, int strideSamples, int inChNum, uint32_t ts,
                       const RtpBlockSums* inSums) {
    const int P = g_P.load(rlx), B = g_B.load(rlx);
    if (P <= 0 || B <= 0) return;
    const int txCh = g_txChNum.load(rlx), rxCh = g_rxChNum.load(rlx);
    if (inChNum > strideSamples) inChNum = strideSamples;
    if (inChNum > txCh) inChNum = txCh;
    if (!inBlock) inChNum = 0;
    const RtpSendBatchFn transport = g_transport.load(rlx);
    const int sock = transport ? 0 : g_sock.load(rlx);
    const bool mute = g_mute.load(rlx) != 0;
    const uint32_t tsWire = ts - uint32_t(P);
    g_batchCount = 0;
    // A changed DSCP reaches the socket before this period's datagrams: one system call
    // per change, none in a period that changes nothing.
    const int tos = uint8_t(g_dscp.load(rlx) << 2);
    if (!transport && sock >= 0 && g_sockTos.load(rlx) != tos) { // the driver sets its own
        Net_setTos(sock, tos);
        g_sockTos.store(tos, rlx);
    }

    // The streams that were complete when the tables last changed, unicast first.
    const uint32_t gen = g_cfgGen.load(std::memory_order_acquire);
    if (gen != g_txSeenGen) {
        g_txSeenGen = gen;
        g_txListN = 0;
        const int uN = g_num[RTP_UCAST_TX].load(rlx), mN = g_num[RTP_MCAST_TX].load(rlx);
        for (int i = 0; i < uN && i < RTP_MAX_UCAST_NUM; ++i) {
            refreshView(g_pubUTx[i], g_viewUTx[i], txCh);
            if (g_viewUTx[i].complete) g_txList[g_txListN++] = uint8_t(i);
        }
        for (int i = 0; i < mN && i < RTP_MAX_MCAST_NUM; ++i) {
            refreshView(g_pubMTx[i], g_viewMTx[i], txCh);
            if (g_viewMTx[i].complete) g_txList[g_txListN++] = uint8_t(RTP_MAX_UCAST_NUM + i);
        }
    }

    // Unicast: the views first, then each wanted channel row once, then the datagrams.
    bool anyUcast = false;
    int k = 0;
    for (; k < g_txListN && g_txList[k] < RTP_MAX_UCAST_NUM; ++k) {
        const int i = g_txList[k];
        StreamView& v = g_viewUTx[i];
        refreshView(g_pubUTx[i], v, txCh);
        g_ucastSend[i] = v.complete && sock >= 0 && ucastWanted(v, P);
        anyUcast |= g_ucastSend[i];
    }
    if (anyUcast) {
        if (!mute) packRows(inBlock, strideSamples, inChNum, txCh, P);
        for (int u = 0; u < k; ++u)
            if (g_ucastSend[g_txList[u]])
                buildUcast(g_txList[u], g_viewUTx[g_txList[u]], tsWire, mute, P, inBlock, size_t(strideSamples), inChNum);
        std::memset(g_chUsers, 0, sizeof g_chUsers);
    }
    for (; k < g_txListN; ++k) {
        const int i = g_txList[k] - RTP_MAX_UCAST_NUM;
        StreamView& v = g_viewMTx[i];
        refreshView(g_pubMTx[i], v, txCh);
        if (!v.complete || sock < 0) continue;
        buildMcast(RTP_MAX_UCAST_NUM + i, v, inBlock, strideSamples, inChNum, tsWire, mute, P);
    }
    if (g_batchCount > 0) {
        const int mode = g_batchSend.load(rlx);
        if (transport) {
            transport(g_batch, g_batchCount);
        } else if (mode != 0) {
            const int sent = NetBatch_send(sock, g_batch, g_batchCount, mode == 2);
            if (sent < g_batchCount) g_txUnsent.fetch_add(uint32_t(g_batchCount - sent), rlx);
        } else {
            for (int k = 0; k < g_batchCount; ++k)
                if (Net_sendTo(sock, g_batch[k].buf, g_batch[k].len, g_batch[k].addr, g_batch[k].port) < 0)
                    g_txUnsent.fetch_add(1, rlx);
        }
    }

    // Local copy into receive buffers, one period ahead of the read position.
    uint32_t off = g_readOff + uint32_t(P);
    if (off >= uint32_t(B)) off -= uint32_t(B);
    refreshRouteLists();
    for (int l = 0; l < g_copyTxN && g_copyTx[l] < txCh; ++l) {
        const int i = g_copyTx[l];
        int r = g_routeTx[i].load(rlx);
        if (r < 0 || r >= rxCh) continue;
        int32_t* dst = g_buf + size_t(r) * size_t(B) + off;
        if (i < inChNum) {
            for (int k = 0; k < P; ++k) dst[k] = inBlock[size_t(k) * size_t(strideSamples) + size_t(i)];
        } else {
            std::memset(dst, 0, sizeof(int32_t) * size_t(P));
        }
        g_mark[r] = g_readTime + uint32_t(P);
        markDirty(r, g_readTime + 2 * uint32_t(P));
    }

    if (inSums && inBlock && inSums->block == inBlock && inSums->frames == P && inSums->strideSamples == strideSamples &&
        inSums->chNum >= inChNum) {
        RtpMeter_addSums(&g_meterTx, inSums, inChNum);
        g_meterTx.frames += uint32_t(P);
        meterPublish(&g_meterTx, inChNum, g_fs.load(rlx));
    } else {
        RtpMeter_addBlock(&g_meterTx, inBlock, P, inChNum, strideSamples, g_fs.load(rlx));
    }

    // DSCP reaches one stream template per period.
    g_txTos[g_dscpSlot].store(uint8_t(g_dscp.load(rlx) << 2), rlx);
    g_dscpSlot = (g_dscpSlot + 1) % RTP_TX_STREAM_SLOTS;
}

// ---- period receive ----

namespace {
// Zeroes frames [off, off + n) of every buffer in use, wrapping at B; whole: the buffers
// are all zero after it and no longer in use.
void wipeBuffers(uint32_t off, uint32_t n, int rxCh, int B, bool whole) {
    for (int w = 0; w < int(sizeof g_dirty / sizeof g_dirty[0]); ++w) {
        for (uint64_t bits = g_dirty[w]; bits; bits &= bits - 1) {
            const int r = w * 64 + __builtin_ctzll(bits);
            if (r >= rxCh) break;
            int32_t* buf = g_buf + size_t(r) * size_t(B);
            const uint32_t first = n < uint32_t(B) - off ? n : uint32_t(B) - off;
            std::memset(buf + off, 0, sizeof(int32_t) * first);
            std::memset(buf, 0, sizeof(int32_t) * (n - first));
            if (whole) g_dirty[w] &= ~(uint64_t(1) << (r & 63));
        }
    }
}
}  // namespace

void RtpAudio_seekRx(uint32_t ts) {
    const int P = g_P.load(rlx), B = g_B.load(rlx);
    if (P <= 0 || B <= 0) return;
    const int rxCh = g_rxChNum.load(rlx);
    const int32_t move = int32_t(ts - g_readTime);
    if (g_readValid && move == 0) return;
    // Only a move of whole periods keeps the read offset on a period's start, where a
    // period's read never wraps (B is whole periods); a driver's time base taken anew
    // lands anywhere.
    if (g_readValid && move > 0 && move < B && move % P == 0) {
        // A re-alignment after the engine was held up: the datagrams already in (and
        // those read next, for the periods after the jump) stay at their media time.
        // Starting the buffers afresh here put them a read offset away from it, so the
        // periods after the jump played the wrong place and a stall cost the periods of
        // a link offset more than itself. What lies between the old and the new read
        // position was never played: it is wiped as a played period would be.
        wipeBuffers(g_readOff, uint32_t(move), rxCh, B, false);
        g_readOff = (g_readOff + uint32_t(move)) % uint32_t(B);
        g_readTime = ts;
        return;
    }
    // Back in time, a buffer or more on, or off the period grid: nothing held belongs to
    // the new read position.
    wipeBuffers(0, uint32_t(B), rxCh, B, true);
    g_readTime = ts;
    g_readOff = 0;
    g_readValid = true;
}

void RtpAudio_periodRx(int32_t* outBlock, int strideSamples, int outChNum, uint32_t ts, uint8_t* live,
                       bool blockSilent) {
    if (live) std::memset(live, 0, RTP_METER_GROUPS);
    const int P = g_P.load(rlx), B = g_B.load(rlx);
    if (P <= 0 || B <= 0) return;
    const int rxCh = g_rxChNum.load(rlx);
    if (outChNum > strideSamples) outChNum = strideSamples;
    if (!outBlock || outChNum < 0) outChNum = 0;
    if (!g_readValid || g_readTime != ts) RtpAudio_seekRx(ts);
    g_readTime += uint32_t(P);
    g_readOff += uint32_t(P);
    if (g_readOff >= uint32_t(B)) g_readOff -= uint32_t(B);
    const bool mute = g_mute.load(rlx) != 0;
    // Silence first, row by row, then the channels that play a buffer in use.
    if (!blockSilent && outChNum > 0 && outChNum == strideSamples)
        std::memset(outBlock, 0, sizeof(int32_t) * size_t(P) * size_t(strideSamples));
    else
        for (int k = 0; k < P && outChNum > 0 && !blockSilent; ++k)
            std::memset(outBlock + size_t(k) * size_t(strideSamples), 0, sizeof(int32_t) * size_t(outChNum));
    const int playCh = mute ? 0 : outChNum < rxCh ? outChNum : rxCh;
    refreshRouteLists();
    for (int l = 0; l < g_playOutN && g_playOut[l] < playCh; ++l) {
        const int o = g_playOut[l];
        const int r = g_routeRx[o].load(rlx);
        if (r < 0 || r >= rxCh || !isDirty(r)) continue;
        const int32_t d = int32_t(g_mark[r] - g_readTime);
        if (d < 0 || d >= B) continue;
        const int32_t* src = g_buf + size_t(r) * size_t(B) + g_readOff;
        int32_t* dst = outBlock + o;
        for (int k = 0; k < P; ++k) dst[size_t(k) * size_t(strideSamples)] = src[k];
        if (live) live[o >> 3] = 1;
    }

    // Meters of the receive channels (what each would play this period), then every
    // buffer's period is wiped once played. Wiping only one group of channels per
    // buffer cycle left the others' old audio in place, so a single lost or late
    // datagram in a live stream replayed the audio of one buffer cycle earlier instead
    // of a period of silence. Buffers not in use are all zero: both leave them alone.
    const uint32_t after = g_readTime + uint32_t(P);
    for (int w = 0; w < int(sizeof g_dirty / sizeof g_dirty[0]); ++w) {
        for (uint64_t bits = g_dirty[w]; bits; bits &= bits - 1) {
            const int r = w * 64 + __builtin_ctzll(bits);
            if (r >= rxCh) break;
            int32_t* src = g_buf + size_t(r) * size_t(B) + g_readOff;
            const int32_t d = int32_t(g_mark[r] - g_readTime);
            if (d >= 0 && d < B) g_meterRx.acc[r] += rowSquares(src, P);
            std::memset(src, 0, sizeof(int32_t) * size_t(P));
            if (int32_t(g_dirtyEnd[r] - after) <= 0) g_dirty[w] &= ~(uint64_t(1) << (r & 63));
        }
    }
    g_meterRx.frames += uint32_t(P);
    meterPublish(&g_meterRx, rxCh, g_fs.load(rlx));
}

// ---- packet input ----

namespace {
// A sample whose four bytes from p are all inside the datagram: one load.
template <int SB>
inline int32_t wideSample(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
    return int32_t(SB == 4 ? v : v & ~(0xFFFFFFFFu >> (8 * SB)));
}

// n samples into dst; the first `wide` of them read as four bytes.
template <int SB>
void storeRun(int32_t* dst, const uint8_t* from, size_t step, uint32_t n, uint32_t wide) {
    const uint32_t w = wide < n ? wide : n;
    uint32_t k = 0;
    for (; k < w; ++k, from += step) dst[k] = wideSample<SB>(from);
    for (; k < n; ++k, from += step) dst[k] = getSample(from, SB);
}

// F wire samples of SB bytes, step bytes apart, into buffer positions w, w + 1, ...
// wrapping at B: two runs without a wrap test per sample.
template <int SB>
void storeSamples(int32_t* buf, uint32_t w, uint32_t B, const uint8_t* from, size_t step, uint32_t F) {
    // Read as four bytes: the samples whose fourth byte is not past the last one's end.
    const size_t end = size_t(F - 1) * step + SB;
    const uint32_t wide = end >= 4 ? uint32_t((end - 4) / step + 1) : 0;
    const uint32_t first = F < B - w ? F : B - w;
    storeRun<SB>(buf + w, from, step, first, wide);
    storeRun<SB>(buf, from + size_t(first) * step, step, F - first, wide > first ? wide - first : 0);
}
}  // namespace

void RtpAudio_packetInput(const uint8_t* pkt, size_t len) {
    if (!pkt || len < 28) return;
    if (pkt[0] != 0x45 || pkt[9] != 17) return;
    const int B = g_B.load(rlx), rxCh = g_rxChNum.load(rlx);
    if (B <= 0) return;
    const uint32_t src = be32(pkt + 12), dst = be32(pkt + 16);
    const uint16_t dport = be16(pkt + 22);
    const uint32_t ulen = be16(pkt + 24);
    // The UDP length must agree with what is really there.
    if (ulen < 8 || ulen > len - 20 || ulen - 8 > RTP_MAX_UDP_PAYLOAD) return;
    const uint8_t* pl = pkt + 28;
    const uint32_t plen = ulen - 8;

    StreamView* v = nullptr;
    int slot = -1;
    uint32_t F = 0, ts = 0;
    uint8_t mask = 0;
    if (!isMcast(dst)) {
        if (plen < RTP_UCAST_HEADER_LEN || pl[0] != 0 || pl[1] == 0) return;
        int idx = be16(pl + 2);
        if (idx >= g_num[RTP_UCAST_RX].load(rlx) || idx >= RTP_MAX_UCAST_NUM) return;
        v = &g_viewURx[idx];
        refreshView(g_pubURx[idx], *v, rxCh);
        const sdpInfo& s = v->cfg.sdp;
        if (!v->complete || s.srcIp != src || s.dstIp != dst || s.dstPort != dport) return;
        mask = uint8_t(pl[1] & ((1u << s.chNum) - 1u));
        int t = __builtin_popcount(mask);
        if (t == 0) return;
        F = (ulen - 16) / uint32_t(t) / s.sampleByteNum;
        ts = be32(pl + 4);
        slot = idx;
    } else {
        if (plen < RTP_MCAST_HEADER_LEN) return;
        const int mN = g_num[RTP_MCAST_RX].load(rlx);
        for (int i = 0; i < mN && i < RTP_MAX_MCAST_NUM; ++i) {
            StreamView& c = g_viewMRx[i];
            refreshView(g_pubMRx[i], c, rxCh);
            if (c.complete && c.cfg.sdp.dstIp == dst && c.cfg.sdp.dstPort == dport) {
                v = &c;
                slot = RTP_MAX_UCAST_NUM + i;
                break;
            }
        }
        if (!v) return;
        F = (ulen - 20) / v->cfg.sdp.chNum / v->cfg.sdp.sampleByteNum;
        ts = be32(pl + 4) - v->cfg.sdp.rtpTsOffset;
    }
    // A datagram without one whole frame carries no audio and no timing.
    if (F == 0) return;
    statsUpdate(slot, ts, F);

    uint32_t m = ts + uint32_t(g_linkOffset.load(rlx));
    int32_t d = int32_t(m - g_readTime);
    // The read position names the period just played: what of a datagram falls into it
    // (d < P) or before is late. Written there, it would only play one buffer cycle
    // later, in another period's place. Its frames from the next period on still play: a
    // datagram whose timestamp is off the period grid (another sender's offset) starts
    // inside a period, and dropping it whole for its first frames took up to a period
    // from the lateness budget.
    const int P = g_P.load(rlx);
    uint32_t skip = 0;
    if (d < P) {
        if (int64_t(d) + F <= P) return;
        skip = uint32_t(P - d);
        d = P;
        m = g_readTime + uint32_t(P);
    }
    if (int64_t(d) + (F - skip) > B) return;
    uint32_t w = g_readOff + uint32_t(d);
    if (w >= uint32_t(B)) w -= uint32_t(B);
    const int n = v->cfg.sdp.chNum, sb = v->cfg.sdp.sampleByteNum;
    // Multicast samples are interleaved (channel j of frame k at (k x n + j) x sb),
    // unicast ones channel after channel.
    const bool mcast = slot >= RTP_MAX_UCAST_NUM;
    const size_t step = mcast ? size_t(n) * size_t(sb) : size_t(sb);
    const uint8_t* cur = pl + (mcast ? RTP_MCAST_HEADER_LEN : RTP_UCAST_HEADER_LEN);
    for (int j = 0; j < n; ++j) {
        if (!mcast && !(mask & (1u << j))) continue;
        const int r = v->ch[j];
        if (r >= 0) {
            const uint8_t* from = (mcast ? cur + size_t(j) * size_t(sb) : cur) + size_t(skip) * step;
            int32_t* buf = g_buf + size_t(r) * size_t(B);
            const uint32_t n = F - skip;
            switch (sb) {
            case 1: storeSamples<1>(buf, w, uint32_t(B), from, step, n); break;
            case 2: storeSamples<2>(buf, w, uint32_t(B), from, step, n); break;
            case 3: storeSamples<3>(buf, w, uint32_t(B), from, step, n); break;
            default: storeSamples<4>(buf, w, uint32_t(B), from, step, n); break;
            }
            g_mark[r] = m;
            markDirty(r, m + n);
        }
        if (!mcast) cur += size_t(F) * sb;
    }
}

// The IPv4 and UDP header in front of a payload of len bytes at out + 28.
static void putHeader(uint8_t* out, size_t len, uint32_t srcIp, uint16_t srcPort, uint32_t dstIp,
                      uint16_t dstPort) {
    std::memset(out, 0, 28);
    out[0] = 0x45;
    put16(out + 2, uint16_t(28 + len));
    out[8] = RTP_IP_TTL;
    out[9] = 17;
    put32(out + 12, srcIp);
    put32(out + 16, dstIp);
    put16(out + 20, srcPort);
    put16(out + 22, dstPort);
    put16(out + 24, uint16_t(8 + len));
}

size_t RtpAudio_wrapDatagram(uint8_t* out, size_t cap, const uint8_t* payload, size_t payloadLen, uint32_t srcIp,
                             uint16_t srcPort, uint32_t dstIp, uint16_t dstPort) {
    if (!out || payloadLen > 0xFFFF - 28 || cap < 28 + payloadLen) return 0;
    putHeader(out, payloadLen, srcIp, srcPort, dstIp, dstPort);
    if (payloadLen && payload) std::memcpy(out + 28, payload, payloadLen);
    return 28 + payloadLen;
}

namespace {
// Receive batch: each datagram lands 28 bytes into its slot, so that its headers go in
// front of it in place. One byte more than packet input takes tells a cut datagram.
constexpr size_t kRxSlotLen = 28 + RTP_MAX_UDP_PAYLOAD + 1;
static_assert(NETBATCH_RX_MAX >= RTP_RX_STREAM_SLOTS, "a batch holds a period of every stream");
// Batches per socket and drain: four periods of every stream (a catch-up's worth). A
// flood beyond that waits in the socket for the next period, which starts on time.
constexpr int kRxBatchesPerDrain = 4;
uint8_t g_rxBuf[NETBATCH_RX_MAX][kRxSlotLen];
NetRxBatch g_rxBatch;

int drainOne(int sock) {
    if (sock < 0) return 0;
    if (g_rxBatch.slots == 0)
        NetBatch_rxInit(&g_rxBatch, &g_rxBuf[0][28], kRxSlotLen, RTP_MAX_UDP_PAYLOAD + 1, NETBATCH_RX_MAX);
    const uint16_t port = g_sockPort.load(rlx);
    int count = 0;
    for (int b = 0; b < kRxBatchesPerDrain; ++b) {
        const int n = NetBatch_recv(sock, &g_rxBatch);
        for (int i = 0; i < n; ++i) {
            const NetRxInfo d = NetBatch_rxInfo(&g_rxBatch, i);
            if (d.len > RTP_MAX_UDP_PAYLOAD) continue; // cut: larger than any stream sends
            putHeader(g_rxBuf[i], d.len, d.srcAddr, d.srcPort, d.dstAddr, port);
            RtpAudio_packetInput(g_rxBuf[i], 28 + size_t(d.len));
        }
        count += n;
        if (n < g_rxBatch.slots) break;
    }
    return count;
}
}  // namespace

int RtpAudio_drainSocket() {
    int count = drainOne(g_sock.load(rlx));
    int m = g_mcastSock.load(rlx);
    if (m >= 0) count += drainOne(m);
    return count;
}

namespace {
// Receive streams complete at the last look; counted again only when g_cfgGen moved.
uint32_t g_rxSeenGen;
int g_rxCompleteN;
}  // namespace

bool RtpAudio_receiving() {
    const uint32_t gen = g_cfgGen.load(std::memory_order_acquire);
    if (gen != g_rxSeenGen) {
        g_rxSeenGen = gen;
        const int rxCh = g_rxChNum.load(rlx);
        const int uN = g_num[RTP_UCAST_RX].load(rlx), mN = g_num[RTP_MCAST_RX].load(rlx);
        int n = 0;
        for (int i = 0; i < uN && i < RTP_MAX_UCAST_NUM; ++i) {
            refreshView(g_pubURx[i], g_viewURx[i], rxCh);
            n += g_viewURx[i].complete ? 1 : 0;
        }
        for (int i = 0; i < mN && i < RTP_MAX_MCAST_NUM; ++i) {
            refreshView(g_pubMRx[i], g_viewMRx[i], rxCh);
            n += g_viewMRx[i].complete ? 1 : 0;
        }
        g_rxCompleteN = n;
    }
    return g_rxCompleteN > 0;
}

// ---- group membership ----

void RtpAudio_setRouteSockets(int discSock, uint32_t ctrlGroup, uint32_t ctrlGroup2) {
    g_discSock.store(discSock, rlx);
    g_ctrlGroup.store(ctrlGroup, rlx);
    g_ctrlGroup2.store(ctrlGroup2, rlx);
}

int RtpAudio_joinGroup(int sock, uint32_t group, uint32_t ifaceAddr, bool join) {
    int disc = g_discSock.load(rlx);
    if (sock >= 0 && sock == disc && group != g_ctrlGroup.load(rlx) && group != 0xEFFFFFFFu &&
        (g_ctrlGroup2.load(rlx) == 0 || group != g_ctrlGroup2.load(rlx))) {
        // Without an RTP socket of its own (the driver carries the audio) the membership
        // stays on the given socket: the computer then takes the group's datagrams, and
        // the driver's socket sees them.
        const int m = mcastRxSocket();
        if (m >= 0) sock = m;
    }
    if (sock < 0) return -1;
    return join ? Net_joinGroup(sock, group, ifaceAddr) : Net_leaveGroup(sock, group, ifaceAddr);
}

// ---- templates ----

bool RtpAudio_getTxTemplate(bool mcast, int sdpId, uint8_t* out) {
    if (!out || sdpId < 0 || sdpId >= (mcast ? RTP_MAX_MCAST_NUM : RTP_MAX_UCAST_NUM)) return false;
    StreamCfg c;
    if (!pubRead(mcast ? g_pubMTx[sdpId] : g_pubUTx[sdpId], &c, nullptr)) return false;
    std::memset(out, 0, 42);
    std::memcpy(out, c.mac, RTP_MAC_ADDR_LEN);
    // source MAC (6..11) stays zero: this engine has no MAC of its own
    out[12] = 0x08;
    out[13] = 0x00;
    uint8_t* ip = out + 14;
    ip[0] = 0x45;
    ip[1] = g_txTos[(mcast ? RTP_MAX_UCAST_NUM : 0) + sdpId].load(rlx);
    ip[8] = RTP_IP_TTL;
    ip[9] = 17;
    put32(ip + 12, c.sdp.srcIp);
    put32(ip + 16, c.sdp.dstIp);
    uint8_t* udp = ip + 20;
    put16(udp, RTP_PORT);
    put16(udp + 2, c.sdp.dstPort);
    return true;
}
