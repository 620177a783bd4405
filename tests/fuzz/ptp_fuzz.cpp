// PTP message handler: any datagram sequence at any local time. The offset may only
// come out of a full window whose spread is within the limit, as its median.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/myPtp.h"

static void check(bool ok) {
    if (!ok) std::abort();
}

// Input: mode byte (bit 0: unicast), domain byte, then records of
// [length: 2 bytes][time step in ms: 2 bytes][datagram bytes].
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    PtpState st;
    const uint32_t own = 0x0A4D0002;
    uint64_t mode = (data[0] & 1) ? (uint64_t(0x0A4D0003) << 32) | 0x0A4D0001 : 0;
    int64_t now = int64_t(data[0] >> 1) * 1000000;
    PtpVsc_init(&st, data[1], mode, own, now);
    size_t pos = 2;
    while (pos + 4 <= size) {
        size_t len = size_t(data[pos] << 8 | data[pos + 1]) % (PTP_MAX_DATAGRAM + 1);
        now += int64_t(data[pos + 2] << 8 | data[pos + 3]) * 1000;
        pos += 4;
        if (len > size - pos) len = size - pos;
        // Exactly len bytes on the heap, so any read beyond them is caught.
        std::vector<uint8_t> msg(data + pos, data + pos + len);
        pos += len;

        uint8_t req[PTP_DELAY_REQ_SIZE];
        uint32_t target = 0;
        if (PtpVsc_unicastTick(&st, now, req, &target)) {
            check(mode != 0 && (target == 0x0A4D0001 || target == 0x0A4D0003));
            check(req[0] == 1 && req[3] == PTP_DELAY_REQ_SIZE && req[4] == st.domain);
        }
        if (PtpVsc_handleDomain(&st, msg.data(), msg.size())) continue;

        uint64_t samplesBefore = st.sampleCount;
        PtpOutput out;
        PtpVsc_handleMsg(&st, msg.data(), msg.size(), now, &out);
        check(st.sampleCount == samplesBefore || st.sampleCount == samplesBefore + 1);
        if (out.haveOffset) {
            check(out.haveEstimate && st.sampleCount >= PTP_SAMPLE_NUM);
            check(out.spreadUs >= 0 && out.spreadUs <= PTP_SPREAD_LIMIT_US);
            check(out.offsetUs == out.medianUs);
            int64_t lo = st.samples[0], hi = st.samples[0];
            for (int64_t s : st.samples) {
                if (s < lo) lo = s;
                if (s > hi) hi = s;
            }
            check(lo <= out.offsetUs && out.offsetUs <= hi && hi - lo == out.spreadUs);
        }
        if (out.haveEstimate) check(st.sampleCount >= PTP_SAMPLE_NUM);
        if (out.haveReport) {
            check(st.estimateCount % PTP_REPORT_EVERY == 0);
            char text[PTP_EVENT_SIZE];
            check(PtpVsc_formatEvent(text, sizeof text, &out.report, "rEduVuzi-123") > 0);
        }
        PtpVsc_tick(&st, now);
        // In unicast mode the only master followed is the one that answers the Delay_Req.
        if (mode && st.hasMaster) check(st.hasResponder && std::memcmp(st.masterId, st.responderId, 8) == 0);
    }
    PtpVsc_publishGm(&st);
    uint8_t gm[8], mine[8];
    Ptp_getGmClockId(gm);
    PtpVsc_gmClockId(&st, mine);
    check(std::memcmp(gm, mine, 8) == 0);
    return 0;
}
