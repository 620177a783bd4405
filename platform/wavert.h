// A client of the card's WaveRT endpoints, doing what the system's audio stack does with
// a WaveRT pin: open the endpoint's filter by name, create its one stream, get the
// cyclic buffer (a shared section the client maps), run it and follow its position.
//
// An endpoint is a filter interface of class KSCATEGORY_AUDIO published by the driver
// host, with the endpoint's name as reference string ("out_stereo-00", "in_stereo-1f").
// Only endpoints in state ACTIVE in the endpoint registry can be opened.
//
// Audio in the buffer: frames of 8 bytes, left then right, 32-bit signed samples at the
// engine's rate. The device moves the position by one engine period (rate / 1000
// frames) every millisecond while the stream runs; render reads the buffer at the
// position, capture writes it there.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// Requests on an open filter handle (device type 0x2F, buffered). The reply of each is
// the NTSTATUS; output as noted.
#define WAVERT_IOCTL(fn) ((0x2Fu << 16) | (uint32_t(fn) << 2))
#define WAVERT_IOCTL_FORMAT WAVERT_IOCTL(0x801)   // out: the 104-byte stream format
#define WAVERT_IOCTL_OPEN WAVERT_IOCTL(0x802)     // in: u32 capture flag; creates the pin's stream
#define WAVERT_IOCTL_ALLOCATE WAVERT_IOCTL(0x803) // in: u32 bytes; out: WaveRtBuffer
#define WAVERT_IOCTL_FREE WAVERT_IOCTL(0x804)     // frees the buffer (not while running)
#define WAVERT_IOCTL_STATE WAVERT_IOCTL(0x805)    // in: u32 KSSTATE (0 stop, 1 acquire, 2 pause, 3 run)
#define WAVERT_IOCTL_POSITION WAVERT_IOCTL(0x806) // out: WaveRtPosition
#define WAVERT_IOCTL_REGISTER WAVERT_IOCTL(0x807) // out: WaveRtRegisterPlace (after ALLOCATE)

#define WAVERT_STATE_STOP 0
#define WAVERT_STATE_ACQUIRE 1
#define WAVERT_STATE_PAUSE 2
#define WAVERT_STATE_RUN 3

struct WaveRtBuffer {
    uint32_t bytes;    // actual size, a multiple of 8
    uint32_t offset;   // from the section's start (0)
    char section[120]; // the section's name, for Section_open
};
struct WaveRtPosition {
    uint32_t play;  // bytes; both 0 unless the stream runs
    uint32_t write;
};

// The stream's position register: where it lies in the buffer's section.
struct WaveRtRegisterPlace {
    uint32_t offset; // from the section's start
    uint32_t bytes;
};
// The register itself (the driver's layout), written every engine period under seq
// (odd while written). periodNs: CLOCK_MONOTONIC of the stream's last engine period,
// moved whatever the state; position: bytes, moved while the stream runs; periods:
// how many periods the register has seen.
struct WaveRtRegister {
    std::atomic<uint32_t> seq;
    std::atomic<uint32_t> position;
    std::atomic<int64_t> periodNs;
    std::atomic<uint64_t> periods;
};

struct WaveRtStream {
    int fd;            // the filter handle
    bool capture;
    uint32_t rate;     // the stream format's rate
    void* buffer;      // the mapped cyclic buffer (null before allocate)
    uint32_t bytes;
    void* mapping;     // the section view (for unmapping)
    size_t mappingBytes;
    const WaveRtRegister* reg; // the position register (null: a host without one)
};

// The "velunor" endpoint class and instance names.
#define WAVERT_CLASS_AUDIO "{6994AD04-93EF-11D0-A3CC-00A0C9223196}"

// Opens the endpoint (for example "out_stereo-00") and creates its stream. Returns 0,
// or a negative NTSTATUS-derived code: -2 no such endpoint published or not ACTIVE,
// -16 the endpoint's stream is in use, -13 this user may not use the host's folder (not
// in its group), -5 the host refused otherwise.
int WaveRt_open(const char* endpoint, WaveRtStream* s);
// Gets and maps a cyclic buffer of about bytes (rounded down to whole frames). 0 or negative.
int WaveRt_allocate(WaveRtStream* s, uint32_t bytes);
int WaveRt_setState(WaveRtStream* s, uint32_t state);
// The position in bytes (0 unless running), by request.
int WaveRt_position(WaveRtStream* s, uint32_t* bytes);
// The position register as one consistent reading, without a request. false: no
// register (a host without one, or no buffer).
struct WaveRtReading {
    uint32_t position;
    int64_t periodNs;
    uint64_t periods;
};
bool WaveRt_read(const WaveRtStream* s, WaveRtReading* r);
// Stops, frees and closes (safe on a stream that failed to open).
void WaveRt_close(WaveRtStream* s);
