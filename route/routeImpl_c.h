// The device record: this computer as one audio device on the network, the route file
// that keeps the user's routing across restarts, and the channel-clearing rules.
//
// One instance, g_dev, owned by the main thread; nothing else touches it. Every change to
// a persisted field sets g_dev.dirty; the periodic save (or "saveToFile") clears it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/VelunorTypes.h"

#define DEV_TEXT_SIZE 64          // name, model, devId, source device ids, stream/channel names
#define DEV_CLKID_SIZE 32         // "00-00-00-00-00-00-00-00"
#define DEV_PATH_SIZE 512         // filePath, passwordPath, lockPath (empty = not configured)
#define DEV_CUSTOM_STR_SIZE 1500  // free text of the user, NUL included
#define DEV_FILE_SIZE 69632       // the route file, read and written in one buffer
#define DEV_GAIN_MIN_DB (-60.0f)
#define DEV_GAIN_MAX_DB 24.0f
#define DEV_DEFAULT_DELAY_US 5000
#define DEV_DEFAULT_SAMPLE_BYTE_NUM 3
#define DEV_DEFAULT_DSCP 34
#define DEV_CLKID_ZERO "00-00-00-00-00-00-00-00"
#define DEV_DEFAULT_FILE_PATH "C:/ProgramData/VelunorNetSndCard/_route"

// A receive stream entry (unicast and multicast receive tables).
struct SdpRx {
    sdpInfo sdp;
    int32_t rtpChId[RTP_MAX_CH_PER_SDP]; // slot k: the RTP channel stream channel k feeds; -1 unused
    uint32_t msCounter;                  // unicast: ms since the last request to the sender
    uint8_t active;                      // the engine sees packets for it (set by the sync only)
};

// A transmit stream entry (unicast and multicast transmit tables).
struct SdpTx {
    sdpInfo sdp;
    int32_t srcChId[RTP_MAX_CH_PER_SDP]; // slot k: the transmit channel sent as stream channel k
    char name[DEV_TEXT_SIZE];            // session name ("s=" line); empty for unicast
    uint8_t dstMac[6];                   // 01-00-5E-.. multicast, FF.. peer unicast, 0 unused
    uint32_t msCounter; // unicast: ms since the receiver's last request; mcast: since last SAP
};

struct Dev {
    char devId[DEV_TEXT_SIZE];
    char name[DEV_TEXT_SIZE];
    uint32_t ownIp;
    uint32_t ctrlPort; // 9995
    int32_t chNumRx, chNumTx;
    int32_t ucastNumRx, ucastNumTx; // at most 128
    int32_t mcastNumRx, mcastNumTx; // at most 16
    int32_t sampleRate;
    int32_t sampleByteNum; // 1..4, default 3
    int32_t pFrameNum;
    int32_t delayUs; // default 5000
    int32_t dscp;    // default 34
    char myClkId[DEV_CLKID_SIZE];
    char gmClkId[DEV_CLKID_SIZE];
    char model[DEV_TEXT_SIZE];
    int32_t phyChNumRx, phyChNumTx;
    int32_t rtpChId[RTP_MAX_CH_NUM];                 // per receive channel, -1 = none
    char srcDevId[RTP_MAX_CH_NUM][DEV_TEXT_SIZE];    // per RTP channel, "" = none
    int32_t srcChId[RTP_MAX_CH_NUM];                 // per RTP channel, -1 = none
    SdpRx ucastArrRx[RTP_MAX_UCAST_NUM];
    SdpTx ucastArrTx[RTP_MAX_UCAST_NUM];
    SdpRx mcastArrRx[RTP_MAX_MCAST_NUM];
    SdpTx mcastArrTx[RTP_MAX_MCAST_NUM];
    char chNameRx[RTP_MAX_CH_NUM][DEV_TEXT_SIZE];
    char chNameTx[RTP_MAX_CH_NUM][DEV_TEXT_SIZE];
    char phyChNameRx[PHY_MAX_CH_NUM][DEV_TEXT_SIZE];
    char phyChNameTx[PHY_MAX_CH_NUM][DEV_TEXT_SIZE];
    float volumeDbRx[RTP_MAX_CH_NUM], volumeDbTx[RTP_MAX_CH_NUM];
    float phyVolumeDbRx[PHY_MAX_CH_NUM], phyVolumeDbTx[PHY_MAX_CH_NUM];
    float phyGainRx[PHY_MAX_CH_NUM], phyGainTx[PHY_MAX_CH_NUM]; // dB, -60..+24
    int32_t phyMuteRx[PHY_MAX_CH_NUM], phyMuteTx[PHY_MAX_CH_NUM]; // 0 or 1
    int discoverySock, commandSock;
    uint32_t msCounter; // +10 per periodic tick
    char filePath[DEV_PATH_SIZE];
    char customStr[DEV_CUSTOM_STR_SIZE];
    uint32_t ctrlGroup, ctrlGroup2;
    uint16_t ctrlPortMcast;
    uint8_t dirty;
    char passwordPath[DEV_PATH_SIZE]; // "" = not configured
    char lockPath[DEV_PATH_SIZE];     // "" = not configured
    int32_t lockFlags;                // LOCK_UCAST_MCAST | LOCK_PHY_GAIN_MUTE (routeCmd.h)
    uint8_t payloadType;
};

extern Dev g_dev;

// Start-up (Dev_init, Dev_setMcastNum, Dev_ownIp ...) is declared in routeApi.h; Dev_init
// takes the model, device id and paths from g_routeArgs.

// ---- route file ----
// Loads the route file, or writes defaults when there is none. Returns success.
bool Dev_initFromFile(const char* devId);
// The lock flags a lock value stands for: its leading number (base detection, as far
// as the digits go), 0 when it has none. setLock and the start-up read of the lock file
// both convert with it, so a value applies the same before and after a restart.
int32_t Dev_lockFlagsOf(const char* text);
// Writes the route file from the record (atomically) and sends "save" to 127.0.0.1:9994.
bool Dev_saveToFile();
// How the route file's bytes are read and written (local path, as Paths_resolve gives
// it). read returns the bytes read (0 when there is no file); write replaces the whole
// file and returns success. Null members (or io null) restore the real files. The
// route-file fuzzer keeps the file in memory: the loader and writer above it are the same.
struct DevFileIo {
    size_t (*read)(const char* local, char* buf, size_t cap);
    bool (*write)(const char* local, const char* text, size_t len);
};
void Dev_setFileIo(const DevFileIo* io);
// Builds the route file text into out (cap bytes); returns its length, or -1 when it would
// not fit (nothing beyond cap is written in any case).
int Dev_buildFileText(char* out, size_t cap);

// ---- channel clearing ----
// Unlinks receive channel dstChId; false with "invalid dstChId" outside 0..chNumRx-1.
bool Dev_clearRxCh(int64_t dstChId, const char** reason);
// Clears RTP channel r: source forgotten, removed from every receive stream slot; a
// unicast entry left without slots asks its sender to stop ("clrUcastTx") and is cleared;
// a multicast entry left without slots leaves its group and is cleared.
void Dev_clearRtpCh(int r);

// ---- table helpers ----
// chNum 1..8, sampleByteNum 1..4, addresses and port non-zero.
bool Dev_sdpValid(const sdpInfo* s);
// Valid and at least one slot non-negative.
bool Dev_rxInUse(const SdpRx* e);
bool Dev_txInUse(const SdpTx* e);
// Descriptor zero, slots -1, counters and flags zero (and name, MAC for transmit).
void Dev_clearSdpRx(SdpRx* e);
void Dev_clearSdpTx(SdpTx* e);
// First multicast receive entry in use with the same destination, port, chNum and
// sampleByteNum; -1 when none.
int Dev_findMcastRx(const sdpInfo* s);
// 01-00-5E + the low 23 bits of the group.
void Dev_mcastMac(uint32_t group, uint8_t mac[6]);
// Gain in dB clamped to -60..+24 (NaN gives -60).
float Dev_clampGain(float db);
// Q20 linear gain: truncation of 10^(dB/20) x 1048576.
int32_t Dev_dbToPpm(float db);
// Link offset in frames for a latency in µs; *gridUs gets the latency on the frame grid.
// The rule of the route file and of "setDelayUs".
int Dev_delayUsToFrames(int64_t us, int32_t* gridUs);

// ---- engine requests (through reqKo and g_koReq) ----
// {"ops":ops}; reads the integer member key from a "succ" reply. false on any failure.
bool Dev_readKo(const char* ops, const char* key, int64_t* out);
// {"ops":ops,key:"val"}; true when the reply says "succ".
bool Dev_writeKo(const char* ops, const char* key, long long val);
// The request already in g_koReq is sent; true when the reply says "succ".
bool Dev_koSucc();

// Routing operations (Dev_setRxCh_ucast, Dev_setRxCh_mcast, Dev_addMcastTx, ...) are
// declared with the route commands in routeCmd.h; Dev_sync_newSrcDev with discovery.
