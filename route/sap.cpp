// SDP text of multicast transmit streams, SAP announcements and deletions, and the SAP
// reader that refreshes matching multicast receive entries.
#include "route/sap.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/net.h"
#include "route/routeApi.h"
#include "route/routeImpl_c.h"

static const char kSapPayloadType[16] = "application/sdp"; // with its NUL: 16 bytes

uint32_t Sdp_sessionId(const char* name) {
    uint8_t b[4] = {0, 0, 0, 0};
    for (size_t i = 0; name[i]; i++) b[i % 4] = uint8_t(b[i % 4] + (unsigned char)name[i]);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

static void ipText(uint32_t ip, char out[16]) { Net_formatIp(ip, out, 16); }

int Sdp_write(char* out, size_t cap, const SdpTx* e, const char* name, int sampleRate, int pFrameNum,
              const char* gmClkId, uint8_t payloadType) {
    char src[16], dst[16];
    ipText(e->sdp.srcIp, src);
    ipText(e->sdp.dstIp, dst);
    uint32_t sid = Sdp_sessionId(name);
    // The name is one line of the description: a line break in it must not be able to
    // add lines (another "c=" would send receivers to another group).
    char line[DEV_TEXT_SIZE];
    size_t k = 0;
    for (; name[k] && k + 1 < sizeof line; k++) line[k] = (unsigned char)name[k] < 32 ? '?' : name[k];
    line[k] = 0;
    float ptime = sampleRate > 0 ? float(pFrameNum) * 1000.0f / float(sampleRate) : 0.0f;
    int n = std::snprintf(out, cap,
                          "v=0\r\n"
                          "o=- %u %u IN IP4 %s\r\n"
                          "s=%s\r\n"
                          "c=IN IP4 %s/32\r\n"
                          "t=0 0\r\n"
                          "m=audio %u RTP/AVP %u\r\n"
                          "a=rtpmap:%u L%u/%u/%u\r\n"
                          "a=recvonly\r\n"
                          "a=ptime:%g\r\n"
                          "a=mediaclk:direct=%u\r\n"
                          "a=ts-refclk:ptp=IEEE1588-2008:%s:0\r\n",
                          sid, sid, src, line, dst, unsigned(e->sdp.dstPort), unsigned(payloadType),
                          unsigned(payloadType), unsigned(e->sdp.sampleByteNum) * 8u, unsigned(sampleRate),
                          unsigned(e->sdp.chNum), double(ptime), e->sdp.rtpTsOffset, gmClkId);
    if (n < 0 || size_t(n) >= cap) {
        if (cap) out[0] = 0;
        return -1;
    }
    return n;
}

int Sap_build(uint8_t* out, size_t cap, const SdpTx* e, bool deletion) {
    if (cap < SAP_HEADER_LEN + 1) return -1;
    uint32_t dst = e->sdp.dstIp, src = e->sdp.srcIp;
    out[0] = deletion ? SAP_FLAGS_DELETE : SAP_FLAGS_ANNOUNCE;
    out[1] = 0;
    out[2] = uint8_t(dst >> 8);
    out[3] = uint8_t(dst);
    out[4] = uint8_t(src >> 24);
    out[5] = uint8_t(src >> 16);
    out[6] = uint8_t(src >> 8);
    out[7] = uint8_t(src);
    std::memcpy(out + 8, kSapPayloadType, 16);
    int n = Sdp_write(reinterpret_cast<char*>(out) + SAP_HEADER_LEN, cap - SAP_HEADER_LEN, e, e->name,
                      g_dev.sampleRate, g_dev.pFrameNum, g_dev.gmClkId, g_dev.payloadType);
    return n < 0 ? -1 : n + SAP_HEADER_LEN;
}

bool Sap_send(const SdpTx* e, bool deletion) {
    uint8_t pkt[SAP_HEADER_LEN + SAP_SDP_MAX];
    int n = Sap_build(pkt, sizeof pkt, e, deletion);
    if (n < 0 || g_dev.discoverySock < 0) return false;
    return Net_sendTo(g_dev.discoverySock, pkt, size_t(n), SAP_GROUP, ROUTE_SAP_PORT) > 0;
}

// ------------------------------------------------------------------------------------
// Reader. Works on a NUL-terminated copy of the SDP text; every number is range-checked
// so that a foreign announcement can never wrap into a valid-looking descriptor.

static bool readUnsigned(const char* p, unsigned long long max, unsigned long long* out) {
    if (*p < '0' || *p > '9') return false; // no sign, no blanks
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(p, &end, 0);
    if (end == p || errno == ERANGE || v > max) return false;
    *out = v;
    return true;
}

static uint32_t readIp(const char* p) { return (*p >= '0' && *p <= '9') ? Net_parseIp(p) : 0; }

bool Sap_read(const uint8_t* pkt, size_t len, SapInfo* out) {
    if (!pkt || len < SAP_HEADER_LEN || std::memcmp(pkt + 8, kSapPayloadType, 16) != 0) return false;
    char text[2048];
    size_t n = len - SAP_HEADER_LEN;
    if (n >= sizeof text) n = sizeof text - 1;
    std::memcpy(text, pkt + SAP_HEADER_LEN, n);
    text[n] = 0;

    SapInfo info;
    std::memset(&info, 0, sizeof info);
    info.flags = pkt[0];
    info.authLen = pkt[1];
    info.msgIdHash = uint16_t(pkt[2] << 8 | pkt[3]);
    info.origSrc = uint32_t(pkt[4]) << 24 | uint32_t(pkt[5]) << 16 | uint32_t(pkt[6]) << 8 | pkt[7];

    const char* s = std::strstr(text, "s=");
    if (!s) return false;
    s += 2;
    const char* lf = std::strchr(s, '\n');
    if (!lf) return false;
    size_t nameLen = size_t(lf - s);
    if (nameLen > 0 && s[nameLen - 1] == '\r') nameLen--;
    if (nameLen >= sizeof info.name) nameLen = sizeof info.name - 1;
    std::memcpy(info.name, s, nameLen);
    info.name[nameLen] = 0;

    const char* filt = std::strstr(text, "a=source-filter: incl IN IP4 ");
    if (filt) {
        filt += std::strlen("a=source-filter: incl IN IP4 ");
        info.sdp.dstIp = readIp(filt);
        const char* blank = std::strchr(filt, ' ');
        if (!blank) return false;
        info.sdp.srcIp = readIp(blank + 1);
    } else {
        const char* o = std::strstr(text, " IN IP4 ");
        const char* c = std::strstr(text, "c=IN IP4 ");
        if (!o || !c) return false;
        info.sdp.srcIp = readIp(o + 8);
        info.sdp.dstIp = readIp(c + 9);
    }

    unsigned long long v = 0;
    const char* m = std::strstr(text, "m=audio ");
    if (m && readUnsigned(m + 8, 0xFFFF, &v)) info.sdp.dstPort = uint16_t(v);

    const char* rm = std::strstr(text, "a=rtpmap:");
    if (!rm) return false;
    const char* l = std::strstr(rm, " L");
    if (!l || !readUnsigned(l + 2, 0xFFFF, &v)) return false;
    if (v / 8 > 255) return false;
    info.sdp.sampleByteNum = uint8_t(v / 8);
    const char* sl = std::strchr(l, '/');
    if (!sl || !readUnsigned(sl + 1, 0x7FFFFFFF, &v)) return false;
    info.sampleRate = int(v);
    sl = std::strchr(sl + 1, '/');
    if (!sl || !readUnsigned(sl + 1, 0xFF, &v)) return false;
    info.sdp.chNum = uint8_t(v);

    const char* pt = std::strstr(text, "a=ptime:");
    if (pt) {
        float ptime = std::strtof(pt + 8, nullptr);
        float frames = float(info.sampleRate / 1000) * ptime + 0.01f;
        // Only sensible packet sizes are taken; anything else counts as unknown (0).
        if (frames >= 0.0f && frames < 1.0e6f) info.pFrameNum = int(frames);
    }

    const char* ref = std::strstr(text, "a=ts-refclk:ptp=IEEE1588-2008:");
    if (ref) {
        ref += std::strlen("a=ts-refclk:ptp=IEEE1588-2008:");
        size_t k = 0;
        while (k < SAP_GMID_LEN && ref[k]) k++;
        std::memcpy(info.gmClkId, ref, k);
        info.gmClkId[k] = 0;
    }

    const char* mc = std::strstr(text, "a=mediaclk:direct=");
    if (mc && readUnsigned(mc + 18, 0xFFFFFFFFull, &v)) info.sdp.rtpTsOffset = uint32_t(v);

    if (info.sdp.chNum < 1 || info.sdp.chNum > RTP_MAX_CH_PER_SDP || info.sdp.sampleByteNum < 1 ||
        info.sdp.sampleByteNum > 4 || info.sdp.srcIp == 0 || info.sdp.dstIp == 0 || info.sdp.dstPort == 0)
        return false;
    *out = info;
    return true;
}

void Sap_handleDatagram(int, char* text, int len, size_t, uint32_t, uint16_t) {
    if (!text || len < 1) return;
    SapInfo info;
    if (!Sap_read(reinterpret_cast<const uint8_t*>(text), size_t(len), &info)) return;
    int i = Dev_findMcastRx(&info.sdp);
    if (i < 0) return;
    sdpInfo& cur = g_dev.mcastArrRx[i].sdp;
    if (std::memcmp(&cur, &info.sdp, sizeof cur) != 0) {
        cur = info.sdp;
        g_dev.dirty = 1; // a moved source or a new timestamp offset survives a restart
    }
}
