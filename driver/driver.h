// VelunorAudio's units and what they offer each other. The driver is written against
// the kernel calls of driver/kernel/wdm.h only.
#pragma once
#include <cstddef>
#include <atomic>
#include <cstdint>

#include "driver/kernel/wdm.h"

#define VELUNOR_POOL_TAG 0x736F636B // 'sock'
#define SUBDEVICE_COUNT 64

// ---- adapter.cpp: entry, devices, subdevices ----
// Registers the capture and render pairs for the channel counts (even, 2..64);
// STATUS_UNSUCCESSFUL when refused. Called by the engine's start step.
NTSTATUS Adapter_registerSubdevices(uint32_t renderCh, uint32_t captureCh);

// ---- minwavert.cpp: the WaveRT miniports ----
// The static miniport object of an entry (created on first use), with a reference.
IMiniportWaveRT* MiniportWaveRT_get(int index);
// The one stream format's rate (format and the stream range of every filter).
void MiniportWaveRT_setSampleRate(uint32_t rate);
// The 104-byte stream format as it stands (tests).
const KSDATAFORMAT_WAVEFORMATEXTENSIBLE* MiniportWaveRT_format();

// ---- wavert_stream.cpp: the streams and the period copy ----
// The position register each stream keeps behind its cyclic buffer (in the same pages,
// at the first 64-byte boundary after the audio), so a client follows the stream
// without a request: written every engine period under a sequence count (odd while
// written). periodNs is the performance counter (ns) of the stream's last period,
// moved every period whatever the state; position (bytes) moves only while running.
struct WaveRtPositionRegister {
    std::atomic<uint32_t> seq;
    std::atomic<uint32_t> position;
    std::atomic<int64_t> periodNs;
    std::atomic<uint64_t> periods;
};
#define WAVERT_REGISTER_ALIGN 64u
NTSTATUS WaveRtStream_new(int index, IMiniportWaveRTStream** out, IPortWaveRTStream* port, BOOLEAN capture);
// Render gather into the engine's input block (N = phyRx) / capture scatter from its
// output block (N = phyTx), F frames.
void WaveRtStream_renderGather(int32_t* block, int N, int F);
void WaveRtStream_captureScatter(int32_t* block, int N, int F);

// ---- ioctl.cpp: the control device ----
extern "C" const GUID GUID_DEVINTERFACE_ENGINE_CONTROL;
#define IOCTL_ENGINE_JSON CTL_CODE(0x2A, 0x555, METHOD_BUFFERED, FILE_READ_ACCESS)
void Ioctl_init();
NTSTATUS Ioctl_registerInterface(DRIVER_OBJECT* driver, DEVICE_OBJECT* physicalDevice);
void Ioctl_withdrawInterface();

// ---- KoAudio.cpp: the kernel audio interface (the engine's phy) ----
#define KOAUDIO_RING_BYTES 98304
// Checks and sizes the rings; 0 on success.
int KoAudio_open();
void KoAudio_close();
void KoAudio_defaults();
uint32_t KoAudio_mask();
// Input block of slot s (render channels), output block of slot s (capture channels).
int32_t* KoAudio_inBlock(uint32_t slot);
int32_t* KoAudio_outBlock(uint32_t slot);
uint32_t KoAudio_outOffset();
uint64_t KoAudio_counter();
void KoAudio_setCounter(uint64_t v);

// ---- TimerManager.cpp: timer, status machine, period step ----
NTSTATUS KoEngine_init();
void KoEngine_shutdown();
int TimerManager_stepStatus(char* reason, size_t cap);
// Whether datagrams may reach the engine (running and no reset pending).
bool TimerManager_acceptsInput();
EX_TIMER* TimerManager_timer(); // tests
// nsCost_dspToRtp, its maximum, nsCost_rtpToDsp, its maximum, i2s_poll, its maximum.
void KoTimer_perfStats(uint32_t out[6]);
// The last-interrupt record, read whole.
void KoTimer_lastInterrupt(int64_t* ns, uint32_t* rtpTs, int32_t* diff);
bool KoTimer_pause();
void KoTimer_setPause(bool on);

// ---- KoSocket.cpp: the socket layer ----
#define KOSOCKET_SLOTS 1024
#define KOSOCKET_SLOT_BYTES 1556
NTSTATUS KoSocket_init();
void KoSocket_shutdown();
// Binds to the dotted quad and port 5004; 0 on success.
int KoSocket_bind(const char* ip);
const char* KoSocket_boundName();
bool KoSocket_exists();
void KoSocket_setReceive(bool on);
// The period's datagrams into send slots, handed to the socket as one list (the
// engine's transport). A datagram the socket has no room for goes first in the next
// period's list, once; one that finds no free slot or fails is dropped and counted.
struct NetDatagram;
void KoSocket_sendBatch(const NetDatagram* d, int n);
// A send slot's payload area for a datagram of len bytes (4 to spare past its end), the
// slot at the running index when it is free, else null (dropped and counted): the
// engine packs the period's datagrams in place, and sendBatch sends them from there.
uint8_t* KoSocket_txBuffer(uint32_t len);
// Datagrams sent, sent again after a full send queue, and dropped, since load.
void KoSocket_sendStats(uint64_t* sent, uint64_t* resent, uint64_t* dropped);
// Hands what the receive event queued to the engine's packet input; returns the count.
int KoSocket_drain();
// The receive event's filter and queue (tests feed it directly).
void KoSocket_onDatagram(const uint8_t* ip, size_t len);
void KoSocket_setTos(uint8_t tos);
// Group memberships for multicast receive streams (network order not needed: host order).
int KoSocket_joinGroup(uint32_t group, bool join);

// ---- kmodule_kernel.cpp: the kernel build's own engine commands ----
void KoCommands_install();
