// RTP audio streams: the network side of the engine.
//
// Four stream tables (unicast/multicast x transmit/receive), two channel routing
// tables, per-channel receive buffers, receive statistics and level meters. All
// tables are static and fixed; nothing is allocated after RtpAudio_afterDspPrepare.
//
// Threads: the period functions and packet input run on the engine thread only.
// Setters and getters run on the command thread (requests are serialised by reqKo).
// A stream's descriptor, channel map and MAC are published under a sequence counter,
// so the engine thread never uses a half-written stream; single values are relaxed
// atomics.
//
// Reason convention: every function that can refuse takes (char* reason, size_t cap).
// On a refusal it writes (truncated to cap, always NUL-terminated; reason may be null)
//   "error at: file=rtp/RtpAudio func=<function> line=<line> msg=<text>"
// and returns a negative value; 0 means success.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/VelunorTypes.h"

#define RTP_MAC_ADDR_LEN 6
#define LINK_OFFSET_MIN_MULTIPLE_BY_PERIOD 4
#define RTP_CH_BUF_MEM_BYTES 0x30000 // one memory for every receive channel buffer
#define RTP_MAX_UDP_PAYLOAD 1471     // largest UDP payload taken by packet input
#define RTP_DEFAULT_DSCP 34
#define RTP_DEFAULT_PAYLOAD_TYPE 97
#define RTP_IP_TTL 15
#define RTP_MCAST_HEADER_LEN 12 // RTP header of a multicast datagram
#define RTP_UCAST_HEADER_LEN 8  // compact header of a unicast datagram
#define RTP_TX_STREAM_SLOTS (RTP_MAX_UCAST_NUM + RTP_MAX_MCAST_NUM) // 144: DSCP refresh cycle
#define RTP_RX_STREAM_SLOTS (RTP_MAX_UCAST_NUM + RTP_MAX_MCAST_NUM) // statistics: ucast first

// Receive buffer length in frames: 8 ms truncated to whole periods.
inline int RTP_CH_BUF_IN_FRAME(int sampleRate, int frameNumPerPeriod) {
    if (sampleRate <= 0) return 0;
    int f = sampleRate / 125;
    return frameNumPerPeriod > 0 ? f - f % frameNumPerPeriod : f;
}

// Stream kinds, for the count getters and setters.
enum RtpStreamKind { RTP_UCAST_TX = 0, RTP_UCAST_RX = 1, RTP_MCAST_TX = 2, RTP_MCAST_RX = 3 };

// ---------------------------------------------------------------------------------
// Preparation (engine start, before the engine thread runs).

// The output side of the phy as the stream layer sees it.
struct RtpOutBlockDesc {
    int chNum;           // phy output channel count
    int framesPerPeriod; // P
    int32_t* firstSample; // first sample of the current output block (may be null)
    int strideBytes;     // bytes per frame of the output block
};

// Prepares the tables once. Clears streams, maps, buffers, statistics and meters.
// Keeps stream counts set before it (see the counting rule), DSCP, payload type,
// RTP mute and a link offset set before it (raised to 4 x P).
void RtpAudio_afterDspPrepare(int phyInChNum, const RtpOutBlockDesc* out, int sampleRate);

// The RTP socket (-1 = none: nothing is sent, joins on it fail). Set by engine start-up.
// On Linux a socket bound to a unicast address receives no datagrams sent to a group:
// when the RTP socket is bound to one, the first join opens a companion socket on any
// address and the same port, which holds the memberships and is drained with it.
void RtpAudio_setRtpSocket(int sock);
int RtpAudio_getRtpSocket();

// The kernel build has no socket of its own: a period's datagrams (payload, destination
// address and port) go to the driver's socket layer, which frames and sends them.
// bufFn (may be null: the engine's own buffers) gives the buffer a datagram of len bytes
// is packed into, with 4 bytes to spare past its end (the packers store whole words),
// or null when there is none (the datagram is lost, as on a full card); the engine asks
// for each datagram in the order it queues them, and then hands the period's batch to fn.
struct NetDatagram;
typedef void (*RtpSendBatchFn)(const NetDatagram* d, int n);
typedef uint8_t* (*RtpTxBufFn)(uint32_t len);
void RtpAudio_setTransport(RtpSendBatchFn fn, RtpTxBufFn bufFn = nullptr);

// Back to the state before any preparation (engine start-up, tests). Keeps the route
// layer's registration of RtpAudio_setRouteSockets.
void RtpAudio_reset();
// How period datagrams go out: 0 one send each, 1 one batched send (default),
// 2 batched with equal datagrams to one destination segmented (UDP_SEGMENT).
void RtpAudio_setBatchSend(int mode);

// ---------------------------------------------------------------------------------
// Stream set-up (command thread). sdpId is the index in that table; chMap holds
// chMapNum entries (entries from chMapNum to 7 become -1); dstMac holds 6 bytes (may be
// null for receive streams). Checks, in order:
//   0 <= sdpId < stream count        "fail my_VALID_UCAST_ID_TX()" / "fail my_VALID_MCAST_ID_TX()"
//   chNum <= 8                       "fail my_VALID_SDP_CH_NUM()"
//   (tx only) chNum <= maxCh         "fail exceed-udp-limit"
//   chNum == 0 or dstIp unicast (ucast) / multicast (mcast)   "dstIp error"
//   chMapNum in 0..8                 "fail chMapNum" (the handler checks == chNum first)
int RtpAudio_setUcastTx(int sdpId, const sdpInfo* sdp, const int32_t* chMap, int chMapNum,
                        const uint8_t* dstMac, char* reason, size_t cap);
int RtpAudio_setMcastTx(int sdpId, const sdpInfo* sdp, const int32_t* chMap, int chMapNum,
                        const uint8_t* dstMac, char* reason, size_t cap);
// Receive: statistics of the stream are cleared unless the new descriptor is complete.
int RtpAudio_setUcastRx(int sdpId, const sdpInfo* sdp, const int32_t* chMap, int chMapNum,
                        char* reason, size_t cap);
int RtpAudio_setMcastRx(int sdpId, const sdpInfo* sdp, const int32_t* chMap, int chMapNum,
                        char* reason, size_t cap);

// Getters: false when sdpId is outside 0..count-1 (the handler reports "sdpId < 0" /
// "sdpId error" itself). chMap receives 8 entries, dstMac 6 bytes (either may be null).
bool RtpAudio_getUcastTx(int sdpId, sdpInfo* sdp, int16_t* chMap, uint8_t* dstMac);
bool RtpAudio_getMcastTx(int sdpId, sdpInfo* sdp, int16_t* chMap, uint8_t* dstMac);
bool RtpAudio_getUcastRx(int sdpId, sdpInfo* sdp, int16_t* chMap);
bool RtpAudio_getMcastRx(int sdpId, sdpInfo* sdp, int16_t* chMap);

// maxCh of the udp-limit check: 1460 / (sampleByteNum x frames per packet), 1 when
// either is 0.
int RtpAudio_maxChPerStream(int sampleByteNum);

// Stream counts. The setter refuses num < 0 or num above the table size (128 unicast,
// 16 multicast) with "fail num out of range".
int RtpAudio_getNum(RtpStreamKind kind);
int RtpAudio_setNum(RtpStreamKind kind, int num, char* reason, size_t cap);

// ---------------------------------------------------------------------------------
// Channel routing (command thread).
// RTP channel counts per direction (fixed at preparation).
int RtpAudio_getTxChNum();
int RtpAudio_getRxChNum();
// Entry i of the transmit-side (receive-side) routing table = arr[i] for i < n
// (n is capped at 128); only entries that differ are written. Values outside the
// 16-bit range are stored as -1. The handler checks n == channel count first.
void RtpAudio_setChTx(const int32_t* arr, int n);
void RtpAudio_setChRx(const int32_t* arr, int n);
// Copies the first min(cap, 128) entries; returns the channel count of that direction.
int RtpAudio_getChTx(int16_t* out, int cap);
int RtpAudio_getChRx(int16_t* out, int cap);

// ---------------------------------------------------------------------------------
// Timing values (command thread).
// Bound check with B = RTP_CH_BUF_IN_FRAME(fs, P):
//   frames + P >= B  "fail (linkOffsetFrameNum + frameNumPerPeriod >= RTP_CH_BUF_IN_FRAME(sampleRate, frameNumPerPeriod))"
//   frames < 4 x P   "fail (linkOffsetFrameNum < LINK_OFFSET_MIN_MULTIPLE_BY_PERIOD * frameNumPerPeriod)"
// fs and P are the values the stream layer was prepared with when sampleRate or
// frameNumPerPeriod is <= 0.
int RtpAudio_setLinkOffset(int frames, int sampleRate, int frameNumPerPeriod, char* reason, size_t cap);
int RtpAudio_getLinkOffset();
void RtpAudio_setDscp(uint8_t dscp);
uint8_t RtpAudio_getDscp();
void RtpAudio_setPayloadType(uint8_t pt);
uint8_t RtpAudio_getPayloadType();
void RtpAudio_setRtpMute(bool mute);
bool RtpAudio_getRtpMute();
// Values the stream layer was prepared with.
int RtpAudio_getSampleRate();
int RtpAudio_getFramesPerPeriod();

// ---------------------------------------------------------------------------------
// Receive statistics (command thread). Receive streams are indexed unicast first
// (0..ucastNumRx-1), then multicast (ucastNumRx..ucastNumRx+mcastNumRx-1);
// RtpAudio_rxStreamIndex maps (mcast, sdpId) to that index, -1 when outside the tables.
struct RtpRxStats {
    uint32_t total;
    uint32_t in125, in250, in500, in1ms, in2ms, in4ms, out4ms;
    uint64_t sumUs;
    int32_t maxUs;
    int32_t maxRtpTsOffset;
    uint32_t prevTs;
    uint32_t notContinue;
    uint32_t exceedDelay;  // low 16: largest gap error (frames); high 16: gaps not whole packets
    uint16_t maxDelayMs;   // since last RtpAudio_takeMaxDelayMs
    uint8_t notContCount;  // since last RtpAudio_takeNotContCount, saturates at 255
    uint8_t settled;
};
int RtpAudio_rxStreamCount(); // ucastNumRx + mcastNumRx
int RtpAudio_rxStreamIndex(bool mcast, int sdpId);
// false when index is outside the tables.
bool RtpAudio_getRxStats(int index, RtpRxStats* out);
void RtpAudio_clrRxStats(int index);
// Read-and-reset of the two "since last read" values (getAllSdpDelayMs, getAllSdpNotCont).
uint16_t RtpAudio_takeMaxDelayMs(int index);
uint8_t RtpAudio_takeNotContCount(int index);
// Whether the stream's last packet came less than one second of media time ago.
bool RtpAudio_isRxActive(int index);

// Level meters of RTP channels (mean square of the 16-bit-scaled signal).
// Returns the channel count of that direction, copies min(count, cap) values.
int RtpAudio_getVolumeTx(uint32_t* out, int cap);
int RtpAudio_getVolumeRx(uint32_t* out, int cap);

// A meter bank: accumulators and published meters for up to 129 channels. Used for
// the RTP channels here and for the phy channels by the period.
#define RTP_METER_MAX_CH 129
struct RtpMeterBank {
    uint64_t acc[RTP_METER_MAX_CH]; // engine thread only
    uint32_t frames;                // engine thread only
    uint32_t meter[RTP_METER_MAX_CH]; // written with relaxed atomic stores (std::atomic_ref)
};
// Channels in groups of eight: byte g of a live table is non-zero when channels 8g to
// 8g + 7 of a block may carry samples other than zero.
#define RTP_METER_GROUPS ((RTP_METER_MAX_CH + 7) / 8)
// A block's sums of squares per channel, kept so that a second bank metering the same
// block (the RTP transmit channels after the phy inputs) does not read it again.
struct RtpBlockSums {
    const int32_t* block;
    int frames, chNum, strideSamples;
    uint32_t groups; // bit g: channels 8g..8g+7 have sums; every other sum is 0 (not stored)
    bool zero;       // the block was all zero bits
    uint64_t sum[RTP_METER_MAX_CH];
};
// Adds a block's kept sums of channels below chNum to the bank (no publishing).
void RtpMeter_addSums(RtpMeterBank* bank, const RtpBlockSums* sums, int chNum);
// Adds one block (frames x chNum samples, frame stride strideSamples) to the bank and
// publishes meters every 2^(n+11) frames, 48000 x 2^n >= sampleRate. live (may be null:
// every channel): the groups that may carry samples; the others are all zero and are
// not read. keep (may be null) receives the block's sums.
void RtpMeter_addBlock(RtpMeterBank* bank, const int32_t* block, int frames, int chNum,
                       int strideSamples, int sampleRate, const uint8_t* live = nullptr,
                       RtpBlockSums* keep = nullptr);
// Relaxed atomic read of a published meter (0 when ch is outside the bank).
uint32_t RtpMeter_get(const RtpMeterBank* bank, int ch);
void RtpMeter_clear(RtpMeterBank* bank);

// ---------------------------------------------------------------------------------
// Engine thread.

// The current media clock in frames ("now"), set by the period before its work.
void RtpAudio_setNow(uint32_t now);
uint32_t RtpAudio_getNow();

// Datagrams of the period transmit that the socket did not take, since start: a break
// in a stream that the sender itself saw (not counted: the transport's own losses).
uint32_t RtpAudio_getTxUnsent();

// Period transmit: inBlock is the period's input block after gain and mute (frames of
// strideSamples samples; RTP transmit channel i = sample i of each frame, i < inChNum).
// Datagrams carry timestamp ts - P (multicast ones plus the stream's rtpTsOffset, modulo
// 2^32). Also the local copy and the DSCP refresh (template and socket).
// inSums (may be null): the input block's sums from the phy's meter, used for the
// transmit meters when they are of this very block and period.
void RtpAudio_periodTx(const int32_t* inBlock, int strideSamples, int inChNum, uint32_t ts,
                       const RtpBlockSums* inSums = nullptr);

// Period receive: fills outChNum channels (below the receive channel count; the rest
// are zeroed) of outBlock (strideSamples per frame) for period timestamp ts.
// live (may be null, RTP_METER_GROUPS bytes): receives the groups of output channels
// that play a buffer; every other channel of the block is silence.
// blockSilent: the caller knows the block holds only zeros; the silence is not written
// again.
void RtpAudio_periodRx(int32_t* outBlock, int strideSamples, int outChNum, uint32_t ts,
                       uint8_t* live = nullptr, bool blockSilent = false);

// Moves the receive read position to where the period before ts leaves it (a re-aligned
// engine calls it before it reads the datagrams of its first period). A move forward of
// less than a buffer keeps every sample where it is, at its media time, and wipes only
// the periods passed over; any other move starts the buffers afresh. Engine thread.
void RtpAudio_seekRx(uint32_t ts);

// Packet input: one IPv4 datagram (20-byte header 0x45, 8-byte UDP header, payload).
// Any content and length is safe; datagrams that fit no stream are dropped.
void RtpAudio_packetInput(const uint8_t* pkt, size_t len);

// Builds the IPv4+UDP header in front of a received payload as the engine thread does:
// out must hold 28 + payloadLen bytes. Returns the total length (0 when it does not fit).
size_t RtpAudio_wrapDatagram(uint8_t* out, size_t cap, const uint8_t* payload, size_t payloadLen,
                             uint32_t srcIp, uint16_t srcPort, uint32_t dstIp, uint16_t dstPort);

// Drains the RTP socket and its companion: the waiting datagrams are read in batches
// (NetBatch_recv, a period of every stream per call, at most four calls per socket),
// wrapped and handed to packet input in order of arrival. Returns the count read.
int RtpAudio_drainSocket();
// Whether any receive stream is complete (engine thread): without one, every datagram
// the drain reads is dropped.
bool RtpAudio_receiving();

// ---------------------------------------------------------------------------------
// Group membership for the route layer.

// The route layer registers its discovery socket and control groups once they exist.
void RtpAudio_setRouteSockets(int discSock, uint32_t ctrlGroup, uint32_t ctrlGroup2);
// Joins (join true) or leaves group on sock with ifaceAddr (the device's own address,
// host order) as interface. Called with the registered discovery socket for a group
// that is neither a control group nor 239.255.255.255, the membership is taken on the
// RTP socket instead (and fails when there is none). 0 on success, -1 on failure.
int RtpAudio_joinGroup(int sock, uint32_t group, uint32_t ifaceAddr, bool join);

// ---------------------------------------------------------------------------------
// Header templates (inspection by tests): the 42-byte Ethernet+IPv4+UDP template of a
// transmit stream. false when sdpId is outside the table.
bool RtpAudio_getTxTemplate(bool mcast, int sdpId, uint8_t* out42);
