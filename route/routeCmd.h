// Route commands on the command socket: dispatch, locks and password, the routing
// commands, multicast transmit streams, the peer stream requests between devices and the
// four-character remote codes. The readers and writers it shares with the query and
// discovery units live in devText.
#pragma once
#include "engine/VelunorTypes.h"
#include "route/devText.h"
#include <cstddef>
#include <cstdint>

#define LOCK_UCAST_MCAST 1
#define LOCK_PHY_GAIN_MUTE 2

// ---- routing operations on the device record; reason is set on failure (may be null) ----
bool Dev_setRxCh_ucast(const char* srcDevId, int64_t srcChId, int64_t dstChId, const char** reason);
bool Dev_setRxCh_mcast(const sdpInfo& sdp, int64_t sdpChId, int64_t dstChId, const char** reason);
bool Dev_addMcastTx(const sdpInfo& sdp, const int32_t* chList, int listLen, const char* name,
                    const char** reason);
bool Dev_removeMcastTx(const char* name, const char** reason);
// A receiver's "setUcastTx": refreshes the entry with the same descriptor or takes a free one.
bool Dev_addUcastTx(const sdpInfo& sdp, const int32_t* chList, int listLen, const char** reason);
bool Dev_clrUcastTx(const sdpInfo& sdp, const char** reason);
