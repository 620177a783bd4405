// PTP slave of VelunorRoute.
//
// The protocol side (PtpVsc_* over a PtpState) is pure: every call takes the state,
// the datagram bytes with their length and the local time, and reports what the
// loop must send. The thread and socket loop live in myPtp.cpp, the protocol in
// myPtp_msg.cpp, so that tests and fuzzers link the protocol without the route layer.
#pragma once
#include <cstddef>
#include <cstdint>

// Body of the PTP thread (runs for the life of the process). It starts once the route
// layer has given its view (below) and the own address (Ko_setOwnIp).
void thread_ptp();

// What the PTP thread takes from the route layer for its statistics event: the
// discovery socket, the control groups and port, and the device identity (a text that
// lives for the process).
struct PtpRouteView {
    int discSock;
    uint32_t group;
    uint32_t group2;
    uint16_t port;
    const char* devId;
};
// Given once by the route layer when its sockets are open, before it sets the own
// address; copied and published with release order.
void Ptp_setRouteView(const PtpRouteView* view);

#define PTP_GROUP 0xE0000181u // 224.0.1.129
#define PTP_EVENT_PORT 319
#define PTP_GENERAL_PORT 320
#define PTP_MAX_DATAGRAM 1024
#define PTP_DELAY_REQ_SIZE 44
#define PTP_SAMPLE_NUM 7
#define PTP_DATASET_SIZE 20      // Announce bytes 44..63
#define PTP_SPREAD_LIMIT_US 999  // a wider window does not change the offset
#define PTP_MASTER_TIMEOUT_S 10  // a master without Announce for longer is forgotten
#define PTP_RESPONSE_TIMEOUT_S 10 // unicast: switch target after this long without Delay_Resp
#define PTP_REPORT_EVERY 10      // estimates per statistics event
#define PTP_EVENT_GROUP_FROM 0xEF0000BCu // 239.0.0.188 ...
#define PTP_EVENT_GROUP_TO 0xEF0000BDu   // ... is replaced by 239.0.0.189 for the event
#define PTP_EVENT_SIZE 512

// PTPv2 message types the slave reads.
#define PTP_MSG_SYNC 0
#define PTP_MSG_DELAY_REQ 1
#define PTP_MSG_FOLLOW_UP 8
#define PTP_MSG_DELAY_RESP 9
#define PTP_MSG_ANNOUNCE 11

struct PtpState {
    uint8_t domain;
    uint64_t ptpMode;     // 0 = multicast; else low/high 32 bits = two master addresses
    uint32_t ownIp;
    uint8_t ownClockId[8]; // own address written twice, big-endian

    // Selected master (multicast mode).
    bool hasMaster;
    uint8_t masterId[8];
    uint8_t dataset[PTP_DATASET_SIZE]; // all 0xFF when none
    int64_t masterTimeS;               // local s of its last Announce

    // Two-step Sync awaiting its Follow_Up.
    bool syncPending;
    uint16_t syncSeq;
    int64_t t2Us;

    // Unicast delay-request mode. The master that answers is known by the port
    // identity of its Delay_Resp; its Announce gives the grandmaster identity.
    bool hasResponder;
    uint8_t responderId[8];
    bool reqPending;
    uint16_t reqSeq;
    int64_t t3Us;
    uint32_t target;
    int64_t lastRespS;
    int64_t lastSecond;

    // Sample window.
    int64_t samples[PTP_SAMPLE_NUM];
    uint64_t sampleCount;

    // Filter statistics.
    int64_t prevMedian;
    int32_t changeMin;
    int32_t changeMax;
    int32_t changeSum; // of absolute changes
    int32_t changeCount; // changes in the window (the first estimate has no previous one)
    int32_t rangeMax;
    uint64_t estimateCount;
};

// Filter statistics of the last PTP_REPORT_EVERY estimates.
struct PtpReport {
    int domain;
    int32_t avg;
    int32_t min;
    int32_t max;
    int32_t rangeMax;
};

// What one datagram asks the loop to send.
struct PtpOutput {
    bool haveEstimate;  // a window of 7 samples was evaluated
    int64_t medianUs;
    int64_t spreadUs;
    bool haveOffset;    // setPtpOffset with offsetUs
    int64_t offsetUs;
    bool haveReport;    // the "masterOffset" event
    PtpReport report;
};

// Fresh state: no master, empty window, statistics reset; nowUs = local µs.
void PtpVsc_init(PtpState* st, uint8_t domain, uint64_t ptpMode, uint32_t ownIp, int64_t nowUs);

// A "domain=" datagram: sets the domain from the number after it (base detection)
// and returns true; false (state unchanged) when the text does not begin so.
bool PtpVsc_handleDomain(PtpState* st, const uint8_t* msg, size_t len);

// One PTP message received at local time nowUs. Never reads past len.
void PtpVsc_handleMsg(PtpState* st, const uint8_t* msg, size_t len, int64_t nowUs, PtpOutput* out);

// Forgets a master that sent no Announce for more than PTP_MASTER_TIMEOUT_S.
void PtpVsc_tick(PtpState* st, int64_t nowUs);

// Unicast mode, called on every loop pass: once per whole second, switches the target
// after PTP_RESPONSE_TIMEOUT_S without response, writes the next Delay_Req into req,
// records t3 = nowUs and returns true with *target. False in multicast mode.
bool PtpVsc_unicastTick(PtpState* st, int64_t nowUs, uint8_t req[PTP_DELAY_REQ_SIZE], uint32_t* target);

// The 44-byte Delay_Req with the given sequence: port 1, logMessageInterval 0x7F and,
// since it is only sent to a unicast master, the unicast flag.
void PtpVsc_buildDelayReq(const PtpState* st, uint16_t seq, uint8_t req[PTP_DELAY_REQ_SIZE]);

// A PTP timestamp (48-bit s, 32-bit ns, big-endian) in µs; false when the seconds are
// beyond any real clock (the µs value would not fit).
bool PtpVsc_timestampUs(const uint8_t ts[10], int64_t* us);

// {"ops":"setPtpOffset","us":"%lld"}; returns its length, -1 when cap is too small.
int PtpVsc_formatOffsetReq(char* out, size_t cap, int64_t us);
// {"event":"masterOffset","state":"1","info":...,"devId":...}; length or -1.
int PtpVsc_formatEvent(char* out, size_t cap, const PtpReport* r, const char* devId);
// Where the event goes for a control group (0 stays 0: not configured).
uint32_t PtpVsc_eventGroup(uint32_t controlGroup);

// The 8 grandmaster identity bytes of the selected master (all 0xFF when none).
void PtpVsc_gmClockId(const PtpState* st, uint8_t out[8]);
// Publishes the state's grandmaster identity for other threads (one atomic word).
void PtpVsc_publishGm(const PtpState* st);
// Any thread: copies the published grandmaster identity (all 0xFF when none, never
// a mix of two identities); returns whether a master is selected.
bool Ptp_getGmClockId(uint8_t out[8]);

// The socket loop of the PTP thread; never returns.
void PtpVsc_loop(uint32_t bindAddr);
