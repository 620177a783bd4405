// PTP slave, protocol side: message handler, sample filter, Delay_Req and the texts
// the PTP thread sends. No sockets and no clock here: time comes in as arguments.
#include "engine/myPtp.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Seconds beyond this cannot be a real clock and would overflow a µs count.
#define PTP_MAX_SECONDS 0xFFFFFFFFFFull

static uint16_t be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
static uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
static uint64_t be48(const uint8_t* p) { return (uint64_t(be16(p)) << 32) | be32(p + 2); }

static int32_t sat32(int64_t v) {
    if (v > 0x7FFFFFFF) return 0x7FFFFFFF;
    if (v < -0x7FFFFFFF) return -0x7FFFFFFF;
    return int32_t(v);
}

static void resetStats(PtpState* st) {
    st->changeSum = 0;
    st->changeCount = 0;
    st->changeMin = 0x7FFFFFFF;
    st->changeMax = INT32_MIN;
    st->rangeMax = INT32_MIN;
}

static void forgetMaster(PtpState* st) {
    st->hasMaster = false;
    st->syncPending = false;
    std::memset(st->dataset, 0xFF, sizeof st->dataset);
}

void PtpVsc_init(PtpState* st, uint8_t domain, uint64_t ptpMode, uint32_t ownIp, int64_t nowUs) {
    std::memset(st, 0, sizeof *st);
    st->domain = domain;
    st->ptpMode = ptpMode;
    st->ownIp = ownIp;
    for (int i = 0; i < 2; i++) {
        st->ownClockId[4 * i + 0] = uint8_t(ownIp >> 24);
        st->ownClockId[4 * i + 1] = uint8_t(ownIp >> 16);
        st->ownClockId[4 * i + 2] = uint8_t(ownIp >> 8);
        st->ownClockId[4 * i + 3] = uint8_t(ownIp);
    }
    forgetMaster(st);
    uint32_t lo = uint32_t(ptpMode), hi = uint32_t(ptpMode >> 32);
    st->target = lo ? lo : hi;
    st->lastRespS = nowUs / 1000000;
    st->lastSecond = -1; // the first pass sends at once
    resetStats(st);
}

bool PtpVsc_handleDomain(PtpState* st, const uint8_t* msg, size_t len) {
    if (len < 7 || std::memcmp(msg, "domain=", 7) != 0) return false;
    char num[32];
    size_t n = len - 7;
    if (n > sizeof num - 1) n = sizeof num - 1;
    std::memcpy(num, msg + 7, n);
    num[n] = 0;
    st->domain = uint8_t(std::strtoll(num, nullptr, 0));
    return true;
}

bool PtpVsc_timestampUs(const uint8_t ts[10], int64_t* us) {
    uint64_t s = be48(ts);
    uint32_t ns = be32(ts + 6);
    if (s > PTP_MAX_SECONDS) return false;
    // Same value as (s * 10^8 + ns / 10) / 100, without the larger intermediate.
    *us = int64_t(s * 1000000u + ns / 1000u);
    return true;
}

static void estimate(PtpState* st, int64_t median, int64_t spread, PtpOutput* out) {
    // The first estimate has nothing to change from: counted against 0, the offset
    // itself showed as a change (avg=214748364 max=2147483647 in the first event).
    if (st->estimateCount > 0) {
        int32_t change = sat32(median - st->prevMedian);
        if (change < st->changeMin) st->changeMin = change;
        if (change > st->changeMax) st->changeMax = change;
        st->changeSum = sat32(int64_t(st->changeSum) + (change < 0 ? -change : change));
        st->changeCount++;
    }
    st->prevMedian = median;
    int32_t range = sat32(spread);
    if (range > st->rangeMax) st->rangeMax = range;
    st->estimateCount++;

    out->haveEstimate = true;
    out->medianUs = median;
    out->spreadUs = spread;
    if (st->estimateCount % PTP_REPORT_EVERY == 0) {
        out->haveReport = true;
        out->report.domain = st->domain;
        out->report.avg = st->changeCount ? st->changeSum / st->changeCount : 0;
        out->report.min = st->changeMin;
        out->report.max = st->changeMax;
        out->report.rangeMax = st->rangeMax;
        resetStats(st);
    }
    if (spread > PTP_SPREAD_LIMIT_US) return;
    out->haveOffset = true;
    out->offsetUs = median;
}

static void addSample(PtpState* st, int64_t sample, PtpOutput* out) {
    st->samples[st->sampleCount % PTP_SAMPLE_NUM] = sample;
    st->sampleCount++;
    if (st->sampleCount < PTP_SAMPLE_NUM) return;
    int64_t s[PTP_SAMPLE_NUM];
    std::memcpy(s, st->samples, sizeof s);
    for (int i = 1; i < PTP_SAMPLE_NUM; i++) {
        int64_t v = s[i];
        int j = i;
        for (; j > 0 && s[j - 1] > v; j--) s[j] = s[j - 1];
        s[j] = v;
    }
    estimate(st, s[PTP_SAMPLE_NUM / 2], s[PTP_SAMPLE_NUM - 1] - s[0], out);
}

static void handleAnnounce(PtpState* st, const uint8_t* msg, size_t len, int64_t nowS) {
    if (len < 44 + PTP_DATASET_SIZE) return;
    if (st->hasMaster && nowS - st->masterTimeS > PTP_MASTER_TIMEOUT_S) forgetMaster(st);
    bool current = st->hasMaster && std::memcmp(msg + 20, st->masterId, 8) == 0;
    if (st->ptpMode != 0) {
        // Unicast mode follows the master that answers, whatever the others announce.
        if (!st->hasResponder || std::memcmp(msg + 20, st->responderId, 8) != 0) return;
    } else if (!current && std::memcmp(msg + 47, st->dataset + 3, 14) >= 0) {
        // priority1, class, accuracy, variance, priority2, grandmaster identity: smaller wins.
        return;
    }
    if (!current) st->syncPending = false;
    st->hasMaster = true;
    std::memcpy(st->masterId, msg + 20, 8);
    std::memcpy(st->dataset, msg + 44, PTP_DATASET_SIZE);
    st->masterTimeS = nowS;
}

void PtpVsc_handleMsg(PtpState* st, const uint8_t* msg, size_t len, int64_t nowUs, PtpOutput* out) {
    std::memset(out, 0, sizeof *out);
    if (len < 44) return; // header plus timestamp: every message read here has them
    if ((msg[1] & 0x0F) != 2 || msg[4] != st->domain) return;
    int type = msg[0] & 0x0F;
    uint16_t seq = be16(msg + 30);
    int64_t ts = 0;
    int64_t sample;

    if (st->ptpMode != 0) {
        if (type == PTP_MSG_ANNOUNCE) {
            handleAnnounce(st, msg, len, nowUs / 1000000);
            return;
        }
        if (type != PTP_MSG_DELAY_RESP || len < 54) return;
        if (!st->reqPending || seq != st->reqSeq) return;
        if (std::memcmp(msg + 44, st->ownClockId, 8) != 0) return;
        if (!PtpVsc_timestampUs(msg + 34, &ts)) return;
        st->reqPending = false; // a repeated answer is not a second sample
        st->lastRespS = nowUs / 1000000;
        // Answers now come from another master: the one followed so far (its announced
        // grandmaster) is no longer where the time comes from.
        if (st->hasMaster && std::memcmp(msg + 20, st->masterId, 8) != 0) forgetMaster(st);
        st->hasResponder = true;
        std::memcpy(st->responderId, msg + 20, 8);
        sample = ts - st->t3Us;
    } else {
        if (type == PTP_MSG_ANNOUNCE) {
            handleAnnounce(st, msg, len, nowUs / 1000000);
            return;
        }
        if (!st->hasMaster || std::memcmp(msg + 20, st->masterId, 8) != 0) return;
        if (type == PTP_MSG_SYNC) {
            st->t2Us = nowUs;
            if (msg[6] & 0x02) {
                st->syncSeq = seq;
                st->syncPending = true;
                return;
            }
            st->syncPending = false;
            if (!PtpVsc_timestampUs(msg + 34, &ts)) return;
        } else if (type == PTP_MSG_FOLLOW_UP) {
            if (!st->syncPending || seq != st->syncSeq) return;
            st->syncPending = false;
            if (!PtpVsc_timestampUs(msg + 34, &ts)) return;
        } else {
            return;
        }
        sample = ts - st->t2Us;
    }
    addSample(st, sample, out);
}

void PtpVsc_tick(PtpState* st, int64_t nowUs) {
    if (st->hasMaster && nowUs / 1000000 - st->masterTimeS > PTP_MASTER_TIMEOUT_S) forgetMaster(st);
}

void PtpVsc_buildDelayReq(const PtpState* st, uint16_t seq, uint8_t req[PTP_DELAY_REQ_SIZE]) {
    std::memset(req, 0, PTP_DELAY_REQ_SIZE);
    req[0] = PTP_MSG_DELAY_REQ;
    req[1] = 0x02;
    req[2] = 0;
    req[3] = PTP_DELAY_REQ_SIZE;
    req[4] = st->domain;
    req[6] = 0x04; // flagField: unicastFlag
    std::memcpy(req + 20, st->ownClockId, 8);
    req[29] = 1; // portNumber: 0 is not a valid port (IEEE 1588 7.5.2.3)
    req[30] = uint8_t(seq >> 8);
    req[31] = uint8_t(seq);
    req[32] = 1;    // controlField: Delay_Req
    req[33] = 0x7F; // logMessageInterval of a Delay_Req
}

bool PtpVsc_unicastTick(PtpState* st, int64_t nowUs, uint8_t req[PTP_DELAY_REQ_SIZE], uint32_t* target) {
    if (st->ptpMode == 0) return false;
    int64_t nowS = nowUs / 1000000;
    if (nowS == st->lastSecond) return false;
    st->lastSecond = nowS;
    if (nowS - st->lastRespS > PTP_RESPONSE_TIMEOUT_S) {
        uint32_t lo = uint32_t(st->ptpMode), hi = uint32_t(st->ptpMode >> 32);
        uint32_t other = st->target == lo ? hi : lo;
        if (other) st->target = other; // a single configured master stays the target
        st->lastRespS = nowS;
    }
    st->reqSeq++;
    PtpVsc_buildDelayReq(st, st->reqSeq, req);
    st->t3Us = nowUs;
    st->reqPending = true;
    *target = st->target;
    return true;
}

int PtpVsc_formatOffsetReq(char* out, size_t cap, int64_t us) {
    int n = std::snprintf(out, cap, "{\"ops\":\"setPtpOffset\",\"us\":\"%lld\"}", (long long)us);
    return n < 0 || size_t(n) >= cap ? -1 : n;
}

int PtpVsc_formatEvent(char* out, size_t cap, const PtpReport* r, const char* devId) {
    int n = std::snprintf(out, cap,
                          "{\"event\":\"masterOffset\",\"state\":\"1\",\"info\":\"domain=%d; diffUs: "
                          "avg=%3d min=%3d max=%3d; range_max=%3d\",\"devId\":\"",
                          r->domain, r->avg, r->min, r->max, r->rangeMax);
    if (n < 0 || size_t(n) >= cap) return -1;
    size_t pos = size_t(n);
    for (const char* p = devId ? devId : ""; *p; p++) {
        unsigned char c = (unsigned char)*p;
        char esc[8];
        size_t k;
        if (c == '"' || c == '\\') {
            esc[0] = '\\';
            esc[1] = char(c);
            k = 2;
        } else if (c < 0x20) {
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            k = 6;
        } else {
            esc[0] = char(c);
            k = 1;
        }
        if (pos + k >= cap) return -1;
        std::memcpy(out + pos, esc, k);
        pos += k;
    }
    if (pos + 2 >= cap) return -1;
    out[pos++] = '"';
    out[pos++] = '}';
    out[pos] = 0;
    return int(pos);
}

uint32_t PtpVsc_eventGroup(uint32_t controlGroup) {
    return controlGroup == PTP_EVENT_GROUP_FROM ? PTP_EVENT_GROUP_TO : controlGroup;
}

void PtpVsc_gmClockId(const PtpState* st, uint8_t out[8]) { std::memcpy(out, st->dataset + 9, 8); }

// The 8 identity bytes in one word, so a reader never sees half of an update.
static std::atomic<uint64_t> s_gmId{~uint64_t(0)};

void PtpVsc_publishGm(const PtpState* st) {
    uint64_t v;
    std::memcpy(&v, st->dataset + 9, 8);
    s_gmId.store(v, std::memory_order_relaxed);
}

bool Ptp_getGmClockId(uint8_t out[8]) {
    uint64_t v = s_gmId.load(std::memory_order_relaxed);
    std::memcpy(out, &v, 8);
    return v != ~uint64_t(0);
}
