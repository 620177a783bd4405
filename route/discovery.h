// Discovery between devices: whoIs / iAm on the control group, the update notices for
// controllers, and what an iAm does to the routing (Dev_sync_newSrcDev).
#pragma once
#include "route/routeImpl_c.h"

#include <cstdint>

// What an iAm tells about its sender; every member is required.
struct PeerDesc {
    char devId[DEV_TEXT_SIZE];
    char name[DEV_TEXT_SIZE];
    uint32_t ip;
    int32_t port;
    int32_t chNumRx, chNumTx;
    int32_t ucastNumRx, ucastNumTx;
    int32_t mcastNumRx, mcastNumTx;
    int32_t sampleRate;
    int32_t sampleByteNum;
    int32_t pFrameNum;
};

// Reads an iAm into out; false when a member is missing, malformed, negative, or a device
// id that no record field could hold.
bool Disc_parseIAm(const char* text, PeerDesc* out);
// Builds this device's iAm into out (cap bytes); false when it does not fit.
bool Disc_buildIAm(char* out, size_t cap);
// Applies an iAm: sets up and moves the unicast receive streams that the routes from this
// peer need. false when the peer is ignored.
bool Dev_sync_newSrcDev(const PeerDesc& peer);
