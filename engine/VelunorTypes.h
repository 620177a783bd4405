// Types and limits shared by the route layer and the engine.
#pragma once
#include <cstdint>

#define RTP_MAX_CH_NUM 128      // RTP channels per direction
#define PHY_MAX_CH_NUM 128      // physical channels per direction
#define RTP_MAX_MCAST_NUM 16    // multicast streams per direction
#define RTP_MAX_UCAST_NUM 128   // unicast streams per direction
#define RTP_MAX_CH_PER_SDP 8    // channels per stream
#define RTP_CH_MAX_BUF_IN_MS 8  // receive buffer per channel

#define ROUTE_CMD_PORT 9995
#define ROUTE_CTRL_PORT 9996
#define ROUTE_SAP_PORT 9875
#define ROUTE_SAVE_NOTICE_PORT 9994
#define RTP_PORT 5004

// The stream descriptor. 16 bytes, addresses in host order; compared and copied as a whole.
struct sdpInfo {
    uint32_t srcIp;
    uint32_t dstIp;
    uint16_t dstPort;
    uint8_t chNum;
    uint8_t sampleByteNum;
    uint32_t rtpTsOffset;
};
static_assert(sizeof(sdpInfo) == 16, "sdpInfo is 16 bytes");

// Q20 linear gain: 1048576 = unity.
#define GAIN_UNITY_Q20 1048576
