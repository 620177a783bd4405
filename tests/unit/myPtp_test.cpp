// PTP slave protocol: datagrams built byte by byte, time given by the test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/myPtp.h"

namespace {

const uint8_t kMaster[8] = {0x00, 0x1a, 0x2b, 0xff, 0xfe, 0x3c, 0x4d, 0x5e};
const uint8_t kOther[8] = {0x00, 0x1a, 0x2b, 0xff, 0xfe, 0x00, 0x00, 0x02};
const uint32_t kOwnIp = 0x0A4D0002; // 10.77.0.2
const int64_t kSec = 1000000;

struct Msg {
    uint8_t b[64];
    size_t len;
};

Msg header(int type, size_t len, const uint8_t id[8], uint16_t seq, uint8_t domain = 0) {
    Msg m{};
    m.len = len;
    m.b[0] = uint8_t(type);
    m.b[1] = 0x02;
    m.b[2] = uint8_t(len >> 8);
    m.b[3] = uint8_t(len);
    m.b[4] = domain;
    std::memcpy(m.b + 20, id, 8);
    m.b[28] = 0;
    m.b[29] = 1;
    m.b[30] = uint8_t(seq >> 8);
    m.b[31] = uint8_t(seq);
    return m;
}

void putTs(Msg* m, uint64_t s, uint32_t ns) {
    for (int i = 0; i < 6; i++) m->b[34 + i] = uint8_t(s >> (40 - 8 * i));
    for (int i = 0; i < 4; i++) m->b[40 + i] = uint8_t(ns >> (24 - 8 * i));
}

Msg sync(const uint8_t id[8], uint16_t seq, bool twoStep, uint64_t s = 0, uint32_t ns = 0) {
    Msg m = header(PTP_MSG_SYNC, 44, id, seq);
    if (twoStep) m.b[6] = 0x02;
    putTs(&m, s, ns);
    return m;
}

Msg followUp(const uint8_t id[8], uint16_t seq, uint64_t s, uint32_t ns) {
    Msg m = header(PTP_MSG_FOLLOW_UP, 44, id, seq);
    putTs(&m, s, ns);
    return m;
}

// priority1 and clock class decide among the test masters; the grandmaster identity
// is the sender's own.
Msg announce(const uint8_t id[8], uint8_t priority1, uint8_t clockClass) {
    Msg m = header(PTP_MSG_ANNOUNCE, 64, id, 1);
    m.b[45] = 37; // UTC offset
    m.b[47] = priority1;
    m.b[48] = clockClass;
    m.b[49] = 0xFE;
    m.b[50] = 0xFF;
    m.b[51] = 0xFF;
    m.b[52] = 128;
    std::memcpy(m.b + 53, id, 8);
    m.b[63] = 0xA0;
    return m;
}

Msg delayResp(uint16_t seq, uint32_t reqIp, uint64_t s, uint32_t ns) {
    Msg m = header(PTP_MSG_DELAY_RESP, 54, kMaster, seq);
    putTs(&m, s, ns);
    for (int i = 0; i < 2; i++) {
        m.b[44 + 4 * i] = uint8_t(reqIp >> 24);
        m.b[45 + 4 * i] = uint8_t(reqIp >> 16);
        m.b[46 + 4 * i] = uint8_t(reqIp >> 8);
        m.b[47 + 4 * i] = uint8_t(reqIp);
    }
    return m;
}

PtpOutput feed(PtpState* st, const Msg& m, int64_t nowUs) {
    PtpOutput out;
    PtpVsc_handleMsg(st, m.b, m.len, nowUs, &out);
    return out;
}

// One-step Sync carrying master time masterUs, received at local nowUs.
PtpOutput oneStep(PtpState* st, int64_t masterUs, int64_t nowUs, uint16_t seq = 1) {
    return feed(st, sync(kMaster, seq, false, uint64_t(masterUs / kSec), uint32_t(masterUs % kSec) * 1000),
                nowUs);
}

void selectMaster(PtpState* st, int64_t nowUs) {
    feed(st, announce(kMaster, 10, 6), nowUs);
    ASSERT_TRUE(st->hasMaster);
}

} // namespace

TEST(myPtp, TwoStepSampleAndOffsetFromSevenSamples) {
    PtpState st;
    PtpVsc_init(&st, 0, 0, kOwnIp, 0);
    selectMaster(&st, 0);
    // Master 10.000000 s received at local 4.000000 s: sample 6000000 µs.
    for (int i = 0; i < 7; i++) {
        uint16_t seq = uint16_t(100 + i);
        PtpOutput o = feed(&st, sync(kMaster, seq, true), 4 * kSec);
        EXPECT_FALSE(o.haveEstimate);
        o = feed(&st, followUp(kMaster, seq, 10, 0), 4 * kSec + 300); // Follow_Up time is not t2
        EXPECT_EQ(st.samples[i], 6000000);
        if (i < 6) {
            EXPECT_FALSE(o.haveEstimate) << i;
        } else {
            ASSERT_TRUE(o.haveOffset);
            EXPECT_EQ(o.offsetUs, 6000000);
            EXPECT_EQ(o.spreadUs, 0);
        }
    }
    char text[128];
    ASSERT_GT(PtpVsc_formatOffsetReq(text, sizeof text, 6000000), 0);
    EXPECT_STREQ(text, "{\"ops\":\"setPtpOffset\",\"us\":\"6000000\"}");
    ASSERT_GT(PtpVsc_formatOffsetReq(text, sizeof text, -1500), 0);
    EXPECT_STREQ(text, "{\"ops\":\"setPtpOffset\",\"us\":\"-1500\"}");
    EXPECT_EQ(PtpVsc_formatOffsetReq(text, 10, 6000000), -1);

    // Follow_Up with another sequence, or a second one for the same Sync: no sample.
    uint64_t before = st.sampleCount;
    feed(&st, sync(kMaster, 200, true), 5 * kSec);
    EXPECT_FALSE(feed(&st, followUp(kMaster, 201, 11, 0), 5 * kSec).haveEstimate);
    EXPECT_EQ(st.sampleCount, before);
    EXPECT_TRUE(feed(&st, followUp(kMaster, 200, 11, 0), 5 * kSec).haveEstimate);
    EXPECT_FALSE(feed(&st, followUp(kMaster, 200, 11, 0), 5 * kSec).haveEstimate);
    EXPECT_EQ(st.sampleCount, before + 1);

    // A Follow_Up before any two-step Sync gives no sample either.
    PtpState fresh;
    PtpVsc_init(&fresh, 0, 0, kOwnIp, 0);
    selectMaster(&fresh, 0);
    feed(&fresh, followUp(kMaster, 0, 10, 0), kSec);
    EXPECT_EQ(fresh.sampleCount, 0u);
}

TEST(myPtp, TimestampMicroseconds) {
    uint8_t ts[10] = {0, 0, 0, 0, 0, 10, 0x3B, 0x9A, 0xC9, 0xFF}; // 10 s + 999999999 ns
    int64_t us = 0;
    ASSERT_TRUE(PtpVsc_timestampUs(ts, &us));
    EXPECT_EQ(us, 10999999);
    uint8_t big[10] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    ASSERT_TRUE(PtpVsc_timestampUs(big, &us));
    EXPECT_EQ(us, int64_t(0xFFFFFFFFFFll) * 1000000);
    uint8_t absurd[10] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(PtpVsc_timestampUs(absurd, &us));

    // An absurd timestamp is no sample.
    PtpState st;
    PtpVsc_init(&st, 0, 0, kOwnIp, 0);
    selectMaster(&st, 0);
    Msg m = sync(kMaster, 1, false);
    std::memset(m.b + 34, 0xFF, 10);
    feed(&st, m, kSec);
    EXPECT_EQ(st.sampleCount, 0u);
}

TEST(myPtp, MedianSpreadAndOutliers) {
    PtpState st;
    PtpVsc_init(&st, 0, 0, kOwnIp, 0);
    selectMaster(&st, 0);
    const int64_t base = 1000 * kSec;
    // Six equal samples and one outlier 999 µs away: the median is the six.
    for (int i = 0; i < 6; i++) oneStep(&st, base + 5000, kSec);
    PtpOutput o = oneStep(&st, base + 5000 + 999, kSec);
    ASSERT_TRUE(o.haveOffset);
    EXPECT_EQ(o.offsetUs, base - kSec + 5000);
    EXPECT_EQ(o.spreadUs, 999);

    // Refill with equal samples, then an outlier 1000 µs away: the seven windows that
    // hold it give no offset, the next one does.
    for (int i = 0; i < 7; i++) ASSERT_TRUE(oneStep(&st, base + 5000, kSec).haveOffset);
    o = oneStep(&st, base + 4000, kSec);
    EXPECT_TRUE(o.haveEstimate);
    EXPECT_FALSE(o.haveOffset);
    EXPECT_EQ(o.spreadUs, 1000);
    for (int i = 0; i < 6; i++) EXPECT_FALSE(oneStep(&st, base + 5000, kSec).haveOffset) << i;
    o = oneStep(&st, base + 5000, kSec);
    ASSERT_TRUE(o.haveOffset);
    EXPECT_EQ(o.offsetUs, base - kSec + 5000);

    // Seven samples spread over 1000 µs: no offset; the median is the 4th of the sorted.
    const int64_t spreadSet[7] = {700, 0, 300, 1000, 100, 500, 200};
    for (int64_t v : spreadSet) o = oneStep(&st, base + v, kSec);
    EXPECT_FALSE(o.haveOffset);
    EXPECT_EQ(o.medianUs, base - kSec + 300);
    EXPECT_EQ(o.spreadUs, 1000);
}

TEST(myPtp, StatisticsEventEveryTenEstimates) {
    PtpState st;
    PtpVsc_init(&st, 0, 0, kOwnIp, 0);
    selectMaster(&st, 0);
    // Medians 100, 100, ..., then rising: the first estimate counts no change.
    int reports = 0;
    PtpReport last{};
    for (int i = 0; i < 6; i++) oneStep(&st, 100, 0);
    for (int i = 0; i < 20; i++) {
        PtpOutput o = oneStep(&st, 100 + (i >= 10 ? 3 * (i - 9) * 7 : 0), 0);
        ASSERT_TRUE(o.haveEstimate);
        if (o.haveReport) {
            reports++;
            last = o.report;
            EXPECT_EQ(i % 10, 9);
        }
    }
    EXPECT_EQ(reports, 2);
    EXPECT_EQ(st.estimateCount, 20u);
    // Second ten: samples rise by 21 each time, so the median rises by 21 per estimate
    // once four of the new values are in the window (estimates 13 to 19).
    EXPECT_EQ(last.domain, 0);
    EXPECT_EQ(last.min, 0);
    EXPECT_EQ(last.max, 21);
    EXPECT_EQ(last.avg, 7 * 21 / 10);
    EXPECT_EQ(last.rangeMax, 6 * 21); // a window of seven rising samples

    char text[PTP_EVENT_SIZE];
    PtpReport r{3, 2, -5, 17, 40};
    ASSERT_GT(PtpVsc_formatEvent(text, sizeof text, &r, "rEduVuzi-\"1\\"), 0);
    EXPECT_STREQ(text, "{\"event\":\"masterOffset\",\"state\":\"1\",\"info\":\"domain=3; diffUs: avg=  2 "
                       "min= -5 max= 17; range_max= 40\",\"devId\":\"rEduVuzi-\\\"1\\\\\"}");
    EXPECT_EQ(PtpVsc_formatEvent(text, 40, &r, "x"), -1);
    std::string longId(600, 'a');
    EXPECT_EQ(PtpVsc_formatEvent(text, sizeof text, &r, longId.c_str()), -1);

    EXPECT_EQ(PtpVsc_eventGroup(0xEF0000BC), 0xEF0000BDu);
    EXPECT_EQ(PtpVsc_eventGroup(0xEF010203), 0xEF010203u);
    EXPECT_EQ(PtpVsc_eventGroup(0), 0u);
}

// A real master: TAI seconds near 1.7e9. The first event has no figure for a change
// before the first measured one (counted from 0, the offset itself showed as
// avg=214748364 max=2147483647); a step beyond 32 bits saturates.
TEST(myPtp, FirstEventCountsNoChangeAndHugeChangesSaturate) {
    PtpState st;
    PtpVsc_init(&st, 0, 0, kOwnIp, 0);
    selectMaster(&st, 0);
    std::vector<PtpReport> r;
    for (int i = 0; i < 26; i++) {
        PtpOutput o = oneStep(&st, (1700000000 + (i >= 16 ? 10000 : 0)) * kSec, 0);
        if (o.haveReport) r.push_back(o.report);
    }
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].avg, 0);
    EXPECT_EQ(r[0].max, 0);
    EXPECT_EQ(r[0].min, 0);
    EXPECT_EQ(r[1].max, 0x7FFFFFFF);
    EXPECT_EQ(r[1].avg, 0x7FFFFFFF / 10);
}

TEST(myPtp, DomainDatagramAndForeignMessages) {
    PtpState st;
    PtpVsc_init(&st, 0, 0, kOwnIp, 0);
    selectMaster(&st, 0);
    oneStep(&st, 10 * kSec, 0);
    EXPECT_EQ(st.sampleCount, 1u);

    const char* text = "domain=3";
    EXPECT_TRUE(PtpVsc_handleDomain(&st, (const uint8_t*)text, std::strlen(text)));
    EXPECT_EQ(st.domain, 3);
    oneStep(&st, 10 * kSec, 0); // domain 0: ignored now
    EXPECT_EQ(st.sampleCount, 1u);
    Msg m = sync(kMaster, 2, false, 10, 0);
    m.b[4] = 3;
    feed(&st, m, 0);
    EXPECT_EQ(st.sampleCount, 2u);

    const char* hex = "domain=0x7f";
    EXPECT_TRUE(PtpVsc_handleDomain(&st, (const uint8_t*)hex, std::strlen(hex)));
    EXPECT_EQ(st.domain, 0x7f);
    EXPECT_FALSE(PtpVsc_handleDomain(&st, (const uint8_t*)"domain", 6));
    EXPECT_FALSE(PtpVsc_handleDomain(&st, (const uint8_t*)"Domain=1", 8));
    EXPECT_EQ(st.domain, 0x7f);
    std::string longText = "domain=1" + std::string(100, '0'); // no over-read, clamps
    EXPECT_TRUE(PtpVsc_handleDomain(&st, (const uint8_t*)longText.data(), longText.size()));
    const char* back = "domain=0";
    EXPECT_TRUE(PtpVsc_handleDomain(&st, (const uint8_t*)back, 8));

    // Version 1, truncated headers and other masters' messages are ignored.
    uint64_t n = st.sampleCount;
    m = sync(kMaster, 3, false, 10, 0);
    m.b[1] = 0x01;
    feed(&st, m, 0);
    m = sync(kMaster, 3, false, 10, 0);
    for (size_t len = 0; len < 44; len++) {
        PtpOutput o;
        PtpVsc_handleMsg(&st, m.b, len, 0, &o);
    }
    feed(&st, sync(kOther, 3, false, 10, 0), 0);
    EXPECT_EQ(st.sampleCount, n);
    // Version nibble 2 with a high nibble set is still version 2.
    m = sync(kMaster, 3, false, 10, 0);
    m.b[1] = 0x12;
    feed(&st, m, 0);
    EXPECT_EQ(st.sampleCount, n + 1);
}

TEST(myPtp, MasterChoiceAndTimeout) {
    PtpState st;
    PtpVsc_init(&st, 0, 0, kOwnIp, 0);
    uint8_t gm[8];
    PtpVsc_gmClockId(&st, gm);
    EXPECT_EQ(std::memcmp(gm, "\xff\xff\xff\xff\xff\xff\xff\xff", 8), 0);
    PtpVsc_publishGm(&st);
    EXPECT_FALSE(Ptp_getGmClockId(gm));

    // No master yet: Syncs are ignored.
    oneStep(&st, 10 * kSec, 0);
    EXPECT_EQ(st.sampleCount, 0u);
    // Truncated Announce: ignored.
    Msg a = announce(kMaster, 10, 6);
    a.len = 63;
    feed(&st, a, 0);
    EXPECT_FALSE(st.hasMaster);

    feed(&st, announce(kMaster, 10, 6), 0);
    ASSERT_TRUE(st.hasMaster);
    EXPECT_EQ(std::memcmp(st.masterId, kMaster, 8), 0);
    PtpVsc_publishGm(&st);
    EXPECT_TRUE(Ptp_getGmClockId(gm));
    EXPECT_EQ(std::memcmp(gm, kMaster, 8), 0);

    // A worse one (priority1 20) is ignored, an equal one too; a better one takes over.
    feed(&st, announce(kOther, 20, 6), kSec);
    EXPECT_EQ(std::memcmp(st.masterId, kMaster, 8), 0);
    Msg same = announce(kOther, 10, 6);
    std::memcpy(same.b + 53, kMaster, 8); // same dataset bytes as the master's
    feed(&st, same, kSec);
    EXPECT_EQ(std::memcmp(st.masterId, kMaster, 8), 0);
    feed(&st, announce(kOther, 10, 5), 2 * kSec);
    EXPECT_EQ(std::memcmp(st.masterId, kOther, 8), 0);
    EXPECT_EQ(st.masterTimeS, 2);
    // Now the former master's Syncs are foreign; the new one's count.
    oneStep(&st, 10 * kSec, 3 * kSec);
    EXPECT_EQ(st.sampleCount, 0u);
    feed(&st, sync(kOther, 1, false, 10, 0), 3 * kSec);
    EXPECT_EQ(st.sampleCount, 1u);
    // The current master may announce a worse dataset and stays.
    feed(&st, announce(kOther, 30, 7), 4 * kSec);
    EXPECT_EQ(std::memcmp(st.masterId, kOther, 8), 0);
    EXPECT_EQ(st.dataset[3], 30);
    EXPECT_EQ(st.masterTimeS, 4);

    // Silent for 10 s: still the master; for more than 10 s: forgotten, and a worse
    // master than the old one takes over.
    PtpVsc_tick(&st, 14 * kSec + 999999);
    EXPECT_TRUE(st.hasMaster);
    feed(&st, announce(kMaster, 40, 6), 14 * kSec);
    EXPECT_EQ(std::memcmp(st.masterId, kOther, 8), 0);
    PtpVsc_tick(&st, 15 * kSec);
    EXPECT_FALSE(st.hasMaster);
    PtpVsc_publishGm(&st);
    EXPECT_FALSE(Ptp_getGmClockId(gm));
    feed(&st, sync(kOther, 2, false, 10, 0), 15 * kSec);
    EXPECT_EQ(st.sampleCount, 1u);
    feed(&st, announce(kMaster, 40, 6), 15 * kSec);
    EXPECT_EQ(std::memcmp(st.masterId, kMaster, 8), 0);

    // The Announce itself also forgets a master it finds silent.
    PtpState b;
    PtpVsc_init(&b, 0, 0, kOwnIp, 0);
    feed(&b, announce(kMaster, 10, 6), 0);
    feed(&b, announce(kOther, 50, 6), 10 * kSec);
    EXPECT_EQ(std::memcmp(b.masterId, kMaster, 8), 0);
    feed(&b, announce(kOther, 50, 6), 11 * kSec);
    EXPECT_EQ(std::memcmp(b.masterId, kOther, 8), 0);
}

TEST(myPtp, UnicastDelayRequestMode) {
    const uint32_t lo = 0x0A4D0001, hi = 0x0A4D0003;
    PtpState st;
    PtpVsc_init(&st, 4, (uint64_t(hi) << 32) | lo, kOwnIp, 100 * kSec);
    uint8_t req[PTP_DELAY_REQ_SIZE];
    uint32_t target = 0;

    ASSERT_TRUE(PtpVsc_unicastTick(&st, 100 * kSec + 5, req, &target));
    EXPECT_EQ(target, lo);
    uint8_t expect[PTP_DELAY_REQ_SIZE] = {0x01, 0x02, 0, 44, 4};
    const uint8_t ownId[8] = {0x0A, 0x4D, 0, 2, 0x0A, 0x4D, 0, 2};
    std::memcpy(expect + 20, ownId, 8);
    expect[6] = 0x04;  // unicastFlag
    expect[29] = 1;    // portNumber
    expect[31] = 1;    // sequence
    expect[32] = 1;    // controlField
    expect[33] = 0x7F; // logMessageInterval
    EXPECT_EQ(std::memcmp(req, expect, sizeof req), 0);
    // Not again within the same second.
    EXPECT_FALSE(PtpVsc_unicastTick(&st, 100 * kSec + 900000, req, &target));

    // Answer to sequence 1 for us: a sample of receiveTimestamp - t3.
    feed(&st, delayResp(1, kOwnIp, 200, 0), 100 * kSec + 50); // domain 0: ignored
    EXPECT_EQ(st.sampleCount, 0u);
    Msg r = delayResp(1, kOwnIp, 200, 0);
    r.b[4] = 4;
    Msg wrongSeq = r;
    wrongSeq.b[31] = 2;
    feed(&st, wrongSeq, 100 * kSec + 50);
    Msg wrongId = delayResp(1, kOwnIp + 1, 200, 0);
    wrongId.b[4] = 4;
    feed(&st, wrongId, 100 * kSec + 50);
    Msg shortResp = r;
    shortResp.len = 53;
    feed(&st, shortResp, 100 * kSec + 50);
    Msg syncInUnicast = sync(kMaster, 1, false, 200, 0);
    syncInUnicast.b[4] = 4;
    feed(&st, syncInUnicast, 100 * kSec + 50);
    EXPECT_EQ(st.sampleCount, 0u);
    feed(&st, r, 100 * kSec + 50);
    ASSERT_EQ(st.sampleCount, 1u);
    EXPECT_EQ(st.samples[0], 100 * kSec - 5);
    feed(&st, r, 100 * kSec + 60); // the same answer again
    EXPECT_EQ(st.sampleCount, 1u);
    EXPECT_EQ(st.lastRespS, 100);

    // The grandmaster identity comes from the Announce of the master that answered; a
    // better master on the group does not displace it.
    uint8_t gm[8];
    const uint8_t other[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    Msg better = announce(other, 1, 6), ours = announce(kMaster, 10, 6);
    better.b[4] = ours.b[4] = 4;
    feed(&st, better, 100 * kSec + 70);
    EXPECT_FALSE(st.hasMaster);
    feed(&st, ours, 100 * kSec + 80);
    PtpVsc_gmClockId(&st, gm);
    EXPECT_EQ(std::memcmp(gm, kMaster, 8), 0);
    feed(&st, better, 100 * kSec + 90);
    PtpVsc_gmClockId(&st, gm);
    EXPECT_EQ(std::memcmp(gm, kMaster, 8), 0);

    // Silence: every second a request; after more than 10 s the other address, then back.
    std::vector<uint32_t> targets;
    for (int s = 101; s <= 123; s++) {
        ASSERT_TRUE(PtpVsc_unicastTick(&st, s * kSec, req, &target));
        targets.push_back(target);
    }
    for (int s = 101; s <= 110; s++) EXPECT_EQ(targets[s - 101], lo) << s;
    for (int s = 111; s <= 121; s++) EXPECT_EQ(targets[s - 101], hi) << s;
    EXPECT_EQ(targets[122 - 101], lo);
    EXPECT_EQ(req[31], 24); // sequence advanced once per request

    // One configured master: it stays the target.
    PtpState one;
    PtpVsc_init(&one, 0, lo, kOwnIp, 0);
    for (int s = 0; s < 30; s++) {
        ASSERT_TRUE(PtpVsc_unicastTick(&one, s * kSec, req, &target));
        EXPECT_EQ(target, lo);
    }

    // Multicast mode sends nothing.
    PtpState mc;
    PtpVsc_init(&mc, 0, 0, kOwnIp, 0);
    EXPECT_FALSE(PtpVsc_unicastTick(&mc, 5 * kSec, req, &target));
}
