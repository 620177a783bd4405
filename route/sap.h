// SDP descriptions of multicast transmit streams and the SAP packets that carry them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/VelunorTypes.h"

struct SdpTx;

#define SAP_GROUP 0xEFFFFFFFu // 239.255.255.255
#define SAP_HEADER_LEN 24
#define SAP_FLAGS_ANNOUNCE 0x20
#define SAP_FLAGS_DELETE 0x24
#define SAP_SDP_MAX 1024 // room for the longest SDP this device writes
#define SAP_GMID_LEN 23  // "xx-xx-xx-xx-xx-xx-xx-xx"

// Session id (origin line): byte j = sum of the name's bytes at j, j+4, ... (mod 256).
uint32_t Sdp_sessionId(const char* name);

// Writes the SDP text of a transmit entry into out (cap bytes, NUL-terminated).
// Returns the text length, or -1 when it would not fit.
int Sdp_write(char* out, size_t cap, const SdpTx* e, const char* name, int sampleRate,
              int pFrameNum, const char* gmClkId, uint8_t payloadType);

// What a SAP announcement carries.
struct SapInfo {
    uint8_t flags;
    uint8_t authLen;
    uint16_t msgIdHash;
    uint32_t origSrc;
    sdpInfo sdp;
    char name[64];                 // session name, cut to fit
    int sampleRate;
    int pFrameNum;
    char gmClkId[SAP_GMID_LEN + 1]; // "" when absent
};
// Reads a SAP datagram (len bytes, need not be NUL-terminated). Returns whether it is an
// acceptable announcement; out is filled on success.
bool Sap_read(const uint8_t* pkt, size_t len, SapInfo* out);

// Builds the whole packet (24-byte header + SDP) of an announcement or deletion of the
// transmit entry with the device's sample rate, packet size, gmClkId and payload type.
// Returns the packet length, or -1 when it would not fit.
int Sap_build(uint8_t* out, size_t cap, const SdpTx* e, bool deletion);
// Builds and sends it to 239.255.255.255:9875 from the discovery socket. Send failures are
// ignored (the next announcement is the retry). Returns whether a datagram left.
bool Sap_send(const SdpTx* e, bool deletion);
