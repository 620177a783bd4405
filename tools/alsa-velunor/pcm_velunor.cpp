// ALSA PCM type "velunor": one stereo endpoint of the card, or all its active pairs as
// one device, played or recorded through their WaveRT streams.
//
//   pcm.name { type velunor endpoint "out_stereo-00" }
//   pcm.name { type velunor endpoint "out_all" }   (in_all: capture)
//
// "out_all" opens out_stereo-00, -01, ... up to the first pair the card does not run:
// 2 channels per pair, in the card's channel order. Each pair's stream is started by its
// own request, and the requests may fall into different engine periods, so the plugin
// measures where each pair stands against pair 0 once they all run (their registers,
// read in one engine period) and offsets that pair's ring by the difference: channel N
// is then sample-aligned with channel N+2. A pair that started late misses its first
// periods (silence). Such a device does not pause: a resume would move the offsets.
//
// The card's cyclic buffer is ALSA's ring: the buffer is allocated with exactly
// buffer_size frames, the transfer callback copies at appl_ptr % buffer_size, and the
// hardware pointer is the stream's position. The stream offers 2 channels at the
// engine's rate only, as S32_LE (the card's own samples) or FLOAT_LE, which the transfer
// converts (frames of 8 bytes either way, so the byte limits below are frame limits),
// interleaved or not: JACK's formats then reach the card without a conversion plugin
// above, whose capture side would take every captured frame out of this ring and leave
// the poll blind to them. A "plug" above converts everything else.
//
// The position moves by one engine period every millisecond while the stream runs. It
// is read from the stream's position register, which the driver writes into the
// buffer's pages every period, so following the stream costs no request to the driver
// host (a real-time client such as jackd never waits on the host's threads). The poll
// descriptor is a timerfd set to fire just after the engine's next period (the register
// carries each period's time), and poll_revents turns it into POLLOUT/POLLIN once avail
// reaches avail_min. A stream that ran is given a fresh buffer at the next prepare, so
// its position starts at 0 with ALSA's pointers whatever the stream keeps across a stop.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/devif.h"
#include "platform/paths.h"
#include "platform/wavert.h"

namespace {

constexpr unsigned kFrameBytes = 8; // one pair's frame in the card's ring: left, right, 32-bit each
constexpr unsigned kMaxPairs = 32;
// The largest buffer: 2 s, what a desktop tool that takes the largest offered can use as
// it is. The smallest: 2.5 engine periods, so a client that wakes one period late still
// finds a period queued.
constexpr unsigned kMaxBufferMs = 2000;
constexpr unsigned kMinBufferTenthsMs = 25;
// A running stream whose position has not moved for this long has lost its engine.
constexpr int64_t kStallNs = 2000000000;
// A position standing still this long is checked by a request: is the host still there?
constexpr int64_t kCheckNs = 20000000;
// The driver's engine runs one period per timer expiry on the media clock's period
// starts; a client wakes this long after the period it expects, when the position has moved.
constexpr int64_t kEnginePeriodNs = 1000000;
constexpr int64_t kWakeLagNs = 150000;
// A start request sent this early in an engine period takes effect in the same period
// as one sent right after it (jackd starts playback, then capture): later in the period,
// the start waits for the next one.
constexpr int64_t kStartWindowNs = 400000;

// One stereo endpoint of the device: channels 2k, 2k+1.
struct Pair {
    WaveRtStream ws{};
    char endpoint[64] = "";
    uint32_t lastPos = 0;        // bytes in its ring, the last position read while running
    snd_pcm_uframes_t lag = 0;   // frames it started after pair 0: device frame f lies at f - lag
};

struct Velunor {
    snd_pcm_ioplug_t io{};
    Pair pair[kMaxPairs];
    unsigned pairs = 0;
    char endpoint[64] = "";      // as configured ("out_stereo-00", "out_all")
    int timer = -1;
    uint32_t rate = 48000;
    unsigned enginePeriod = 48;  // frames per engine period (rate / 1000)
    snd_pcm_uframes_t frames = 0; // frames of the allocated rings (0: none)
    bool ran = false;            // the rings' positions have moved since they were allocated
    bool running = false;        // the streams are in RUN
    bool lagsKnown = true;       // each pair's lag is measured (until then the device follows pair 0)
    uint64_t startPeriods = 0;   // the last pair's period count when its start was answered
    snd_pcm_uframes_t hw = 0;    // device frame within the ring, what the pointer reports
    snd_pcm_uframes_t availMin = 1;
    int64_t movedNs = 0;         // when the position last moved
    int64_t readNs = 0;          // when the position was last read
    int64_t checkedNs = 0;       // when the host was last asked (position standing still)
    int64_t periodNs = 0;        // the engine period the register last showed (0: none)
    int fault = 0;               // a lasting error (host gone, engine stopped)
    bool trace = false;          // VELUNOR_ALSA_TRACE: state changes on stderr, with times
    bool traceAll = false;       // VELUNOR_ALSA_TRACE=2: every position read too
    int64_t startGapNs = 0;      // VELUNOR_ALSA_START_GAP_US: a pause between the pairs' starts,
                                 // as a loaded machine makes (the offsets are then tried)
};

int64_t nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void sleepUntil(int64_t ns) {
    const timespec t{time_t(ns / 1000000000), long(ns % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
}

Velunor* self(snd_pcm_ioplug_t* io) { return static_cast<Velunor*>(io->private_data); }

int armTimer(Velunor* v, bool on) {
    itimerspec t{};
    if (on) {
        t.it_interval.tv_nsec = 1000000;
        t.it_value.tv_nsec = 1000000;
    }
    return timerfd_settime(v->timer, 0, &t, nullptr) == 0 ? 0 : -errno;
}

// The next wake-up just after the engine period that follows the one last seen; every
// millisecond after it when no period comes (an engine that stopped, no register).
int armAfterPeriod(Velunor* v, int64_t now) {
    if (!v->periodNs || now - v->periodNs > 3 * kEnginePeriodNs) return 0; // the 1 ms grid goes on
    int64_t next = v->periodNs + kEnginePeriodNs + kWakeLagNs;
    if (next <= now + 50000) next = now + 100000; // the period is late: look again soon
    itimerspec t{};
    t.it_interval.tv_nsec = 1000000;
    t.it_value.tv_sec = time_t(next / 1000000000);
    t.it_value.tv_nsec = long(next % 1000000000);
    return timerfd_settime(v->timer, TFD_TIMER_ABSTIME, &t, nullptr) == 0 ? 0 : -errno;
}

// A pair's position in bytes: from its register, or by request from a host without one.
// Sets periodNs from pair 0's register.
int readPosition(Velunor* v, unsigned k, uint32_t* pos) {
    WaveRtReading r{};
    if (WaveRt_read(&v->pair[k].ws, &r)) {
        *pos = r.position;
        if (k == 0) v->periodNs = r.periodNs;
        return 0;
    }
    if (k == 0) v->periodNs = 0;
    return WaveRt_position(&v->pair[k].ws, pos);
}

// Sends the start where it takes effect in the same engine period as a start sent right
// after it: early in a period. Waits (under 1.1 ms) when the period is half gone.
void alignStart(Velunor* v) {
    WaveRtReading r{};
    if (!WaveRt_read(&v->pair[0].ws, &r) || !r.periodNs) return;
    v->periodNs = r.periodNs;
    const int64_t now = nowNs(), since = now - r.periodNs;
    if (since < 0 || since <= kStartWindowNs || since > 3 * kEnginePeriodNs) return;
    int64_t next = r.periodNs + kEnginePeriodNs;
    while (next < now) next += kEnginePeriodNs;
    sleepUntil(next + kWakeLagNs / 2);
}

int setState(Velunor* v, unsigned k, uint32_t state) {
    // The time before the request: the state cannot take effect earlier.
    const int64_t asked = v->trace ? nowNs() : 0;
    const int err = WaveRt_setState(&v->pair[k].ws, state);
    if (v->trace)
        std::fprintf(stderr, "velunor: %s state %u at mono_ns=%lld (answered in %lld us)\n", v->pair[k].endpoint, state,
                     (long long)asked, (long long)(nowNs() - asked) / 1000);
    if (err != 0) {
        SNDERR("velunor: %s: the driver host refused state %u (host gone?)", v->pair[k].endpoint, state);
        v->fault = -ENODEV;
        return -ENODEV;
    }
    return 0;
}

int setAll(Velunor* v, uint32_t state) {
    int err = 0;
    for (unsigned k = 0; k < v->pairs; ++k)
        if (v->pair[k].ws.fd >= 0) err = setState(v, k, state) ? -ENODEV : err;
    return err;
}

// Stops every pair. Their stop requests may fall into different engine periods: a
// playback ring is silenced first, so a pair that runs a period longer than another
// plays silence, not frames the others never play.
int stopAll(Velunor* v) {
    if (v->io.stream == SND_PCM_STREAM_PLAYBACK && v->pairs > 1)
        for (unsigned k = 0; k < v->pairs; ++k)
            if (v->pair[k].ws.buffer) std::memset(v->pair[k].ws.buffer, 0, v->pair[k].ws.bytes);
    return setAll(v, WAVERT_STATE_STOP);
}

// After a start: how many frames each pair started after pair 0, from one engine period
// in which all have run (every register shows that period's time). The streams move in
// one pass over the pairs per period, so their positions read in one period differ by
// exactly where they started. Playback already written (at its place as if the lag
// were 0) is moved to its pair's place.
// Returns 1 when measured, 0 when no such period has come yet, or an error.
int measureLags(Velunor* v) {
    WaveRtReading r[kMaxPairs];
    bool ready = true;
    for (unsigned k = 0; k < v->pairs && ready; ++k)
        ready = WaveRt_read(&v->pair[k].ws, &r[k]) && r[k].periodNs == r[0].periodNs;
    // A period after the last start's answer has seen every pair in RUN.
    if (!ready || r[v->pairs - 1].periods <= v->startPeriods) {
        if (nowNs() - v->movedNs <= kStallNs) return 0;
        SNDERR("velunor: %s: the pairs did not all run within %lld s: the card's engine is not running", v->endpoint,
               (long long)(kStallNs / 1000000000));
        return -EIO;
    }
    const uint32_t bytes = uint32_t(v->frames * kFrameBytes);
    const uint32_t p0 = r[0].position % bytes / kFrameBytes;
    for (unsigned k = 1; k < v->pairs; ++k) {
        Pair& p = v->pair[k];
        p.lag = (p0 + v->frames - r[k].position % bytes / kFrameBytes) % v->frames;
        if (v->trace && p.lag)
            std::fprintf(stderr, "velunor: %s started %lu frames after %s\n", p.endpoint, (unsigned long)p.lag,
                         v->pair[0].endpoint);
        if (p.lag && !p.ws.capture) {
            uint64_t* ring = static_cast<uint64_t*>(p.ws.buffer);
            std::rotate(ring, ring + p.lag, ring + v->frames);
        }
    }
    v->lagsKnown = true;
    return 1;
}

// The pause VELUNOR_ALSA_START_GAP_US asks for between two pairs' starts. It must put
// the next start at least a period after pair 0's: an engine held up for the length of
// the pause would otherwise run both starts in one period, and there would be no offset
// to measure. So the pause also lasts until pair 0's register has moved on two periods
// from when its start was answered (a start may take effect in the period it came in).
void pauseBeforeStart(Velunor* v) {
    WaveRtReading r0{};
    const bool known = WaveRt_read(&v->pair[0].ws, &r0);
    const int64_t until = nowNs() + v->startGapNs;
    sleepUntil(until);
    WaveRtReading r{};
    while (known && nowNs() - until < kCheckNs && WaveRt_read(&v->pair[0].ws, &r) && r.periods < r0.periods + 2)
        sleepUntil(nowNs() + kEnginePeriodNs / 4);
}

int vStart(snd_pcm_ioplug_t* io) {
    Velunor* v = self(io);
    if (v->fault) return v->fault;
    if (!v->frames) return -EBADFD;
    alignStart(v);
    int err = 0;
    for (unsigned k = 0; k < v->pairs && !err; ++k) {
        if (k && v->startGapNs) pauseBeforeStart(v);
        err = setState(v, k, WAVERT_STATE_RUN);
    }
    if (err) {
        stopAll(v);
        return err;
    }
    v->running = true;
    v->ran = true;
    v->movedNs = v->readNs = v->checkedNs = nowNs();
    // Several pairs are measured at a pointer read after a period has run them all
    // (without registers there is nothing to measure by).
    WaveRtReading last{};
    v->lagsKnown = v->pairs < 2 || !WaveRt_read(&v->pair[v->pairs - 1].ws, &last);
    v->startPeriods = last.periods;
    err = armTimer(v, true);
    return err ? err : armAfterPeriod(v, v->movedNs);
}

int vStop(snd_pcm_ioplug_t* io) {
    Velunor* v = self(io);
    v->running = false;
    armTimer(v, false);
    // A host that is gone has stopped the streams already.
    if (!v->fault) stopAll(v);
    return 0;
}

int vPause(snd_pcm_ioplug_t* io, int enable) {
    Velunor* v = self(io);
    if (v->fault) return v->fault;
    if (enable) {
        // The stream reports 0 while paused and goes on from where it was: keep lastPos.
        int err = setState(v, 0, WAVERT_STATE_PAUSE);
        v->running = false;
        armTimer(v, false);
        return err;
    }
    int err = setState(v, 0, WAVERT_STATE_RUN);
    if (err) return err;
    v->running = true;
    v->movedNs = v->readNs = v->checkedNs = nowNs();
    return armTimer(v, true);
}

// Render frames the stream has read are silenced, so that a stream that overtakes its
// client plays silence, not the buffer's old audio.
void silenceRead(Velunor* v, const Pair& p, uint32_t from, uint32_t to) {
    uint8_t* b = static_cast<uint8_t*>(p.ws.buffer);
    if (to >= from) {
        std::memset(b + from, 0, to - from);
    } else {
        std::memset(b + from, 0, v->frames * kFrameBytes - from);
        std::memset(b, 0, to);
    }
}

int hostGone(Velunor* v, const Pair& p) {
    SNDERR("velunor: %s: the driver host is gone", p.endpoint);
    v->fault = -ENODEV;
    v->running = false;
    return v->fault;
}

// The streams' position as ALSA's hardware pointer, with the faults and xruns it shows.
// Several pairs: the device has moved as far as the pair that moved least (a period's
// pass may be read half done).
snd_pcm_sframes_t vPointer(snd_pcm_ioplug_t* io) {
    Velunor* v = self(io);
    if (v->fault) return v->fault;
    if (!v->running || !v->frames) return snd_pcm_sframes_t(v->hw);
    if (!v->lagsKnown) {
        const int err = measureLags(v);
        if (err < 0) {
            v->fault = err;
            return err;
        }
    }
    // Until the offsets are measured the device follows pair 0, whose place is the
    // device's by definition.
    const uint32_t bytes = uint32_t(v->frames * kFrameBytes);
    const unsigned followed = v->lagsKnown ? v->pairs : 1;
    snd_pcm_uframes_t moved = v->frames;
    for (unsigned k = 0; k < followed; ++k) {
        Pair& p = v->pair[k];
        uint32_t pos = 0;
        if (readPosition(v, k, &pos) != 0) return hostGone(v, p);
        pos = pos < bytes ? pos - pos % kFrameBytes : 0;
        const snd_pcm_uframes_t at = (pos / kFrameBytes + p.lag) % v->frames;
        moved = std::min(moved, (at + v->frames - v->hw) % v->frames);
        if (pos != p.lastPos && io->stream == SND_PCM_STREAM_PLAYBACK) silenceRead(v, p, p.lastPos, pos);
        p.lastPos = pos;
    }
    const int64_t now = nowNs();
    if (moved) {
        v->movedNs = v->checkedNs = now;
    } else if (v->pair[0].ws.reg && now - v->checkedNs > kCheckNs) {
        // The register stays where it was when the host goes away: ask the host.
        v->checkedNs = now;
        uint32_t asked = 0;
        if (WaveRt_position(&v->pair[0].ws, &asked) != 0) return hostGone(v, v->pair[0]);
    }
    if (!moved && now - v->movedNs > kStallNs) {
        SNDERR("velunor: %s: the position stands still: the card's engine is not running", v->endpoint);
        v->fault = -EIO;
        return v->fault;
    }
    // What the stream may move before it overtakes the client: playback's written
    // frames, capture's free room. A client that stayed away longer than the buffer
    // lasts was overtaken whatever the position's remainder says.
    const snd_pcm_uframes_t queued = snd_pcm_ioplug_hw_avail(io, io->hw_ptr, io->appl_ptr);
    if (v->traceAll)
        std::fprintf(stderr, "velunor: %s ptr t=%lld pos=%lu moved=%lu queued=%lu hw=%lu appl=%lu\n", v->endpoint,
                     (long long)(now / 1000), (unsigned long)((v->hw + moved) % v->frames), (unsigned long)moved,
                     (unsigned long)queued, (unsigned long)io->hw_ptr, (unsigned long)io->appl_ptr);
    const int64_t awayNs = now - v->readNs;
    const int64_t away = awayNs / 1000000 * int64_t(v->enginePeriod);
    v->readNs = now;
    v->hw = (v->hw + moved) % v->frames;
    if (io->state == SND_PCM_STATE_RUNNING && (moved > queued || away > int64_t(v->frames + 8 * v->enginePeriod))) {
        // Playback ran past the written frames, or capture overwrote unread ones.
        if (v->trace)
            std::fprintf(stderr, "velunor: %s xrun: the stream moved %lu frames, %lu were left, %lld us after the "
                                 "program last looked\n",
                         v->endpoint, (unsigned long)moved, (unsigned long)queued, (long long)(awayNs / 1000));
        stopAll(v);
        v->running = false;
        armTimer(v, false);
        snd_pcm_ioplug_set_state(io, SND_PCM_STATE_XRUN);
        return -EPIPE;
    }
    return snd_pcm_sframes_t(v->hw);
}

// A pair's ring as channel areas (interleaved L, R).
void deviceAreas(const Pair& p, snd_pcm_channel_area_t a[2]) {
    for (unsigned c = 0; c < 2; ++c) {
        a[c].addr = p.ws.buffer;
        a[c].first = c * 32;
        a[c].step = kFrameBytes * 8;
    }
}

// A sample of the client's area a at frame f.
uint8_t* sampleAt(const snd_pcm_channel_area_t& a, snd_pcm_uframes_t f) {
    return static_cast<uint8_t*>(a.addr) + (a.first + f * a.step) / 8;
}

int32_t fromFloat(float x) {
    if (!(x > -1.0f)) return INT32_MIN; // and NaN
    if (x >= 1.0f) return INT32_MAX;
    return int32_t(std::lrint(double(x) * 2147483648.0));
}

// n frames between the client's two areas (from frame c) and a pair's ring (from frame d).
void convert(snd_pcm_format_t fmt, bool play, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t c,
             int32_t* dev, snd_pcm_uframes_t d, snd_pcm_uframes_t n) {
    for (unsigned ch = 0; ch < 2; ++ch) {
        int32_t* out = dev + 2 * d + ch;
        for (snd_pcm_uframes_t f = 0; f < n; ++f, out += 2) {
            uint8_t* p = sampleAt(areas[ch], c + f);
            if (fmt == SND_PCM_FORMAT_FLOAT_LE) {
                float x;
                if (play) {
                    std::memcpy(&x, p, 4);
                    *out = fromFloat(x);
                } else {
                    x = float(double(*out) * (1.0 / 2147483648.0));
                    std::memcpy(p, &x, 4);
                }
            } else if (play) {
                std::memcpy(out, p, 4);
            } else {
                std::memcpy(p, out, 4);
            }
        }
    }
}

snd_pcm_sframes_t vTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                            snd_pcm_uframes_t size) {
    Velunor* v = self(io);
    if (v->fault) return v->fault;
    if (!v->frames) return -EBADFD;
    const bool play = io->stream == SND_PCM_STREAM_PLAYBACK;
    for (unsigned k = 0; k < v->pairs; ++k) {
        const Pair& p = v->pair[k];
        if (!p.ws.buffer) return -EBADFD;
        const snd_pcm_channel_area_t* mine = areas + 2 * k;
        if (!v->lagsKnown && k > 0 && !play) {
            // Where this pair's frames lie is not measured yet: silence (a pair that
            // started late has nothing for the first periods anyway).
            snd_pcm_areas_silence(mine, offset, 2, size, io->format);
            continue;
        }
        int32_t* dev = static_cast<int32_t*>(p.ws.buffer);
        snd_pcm_uframes_t at = (io->appl_ptr % v->frames + v->frames - p.lag) % v->frames, done = 0;
        while (done < size) {
            const snd_pcm_uframes_t n = std::min(size - done, v->frames - at);
            if (io->format == SND_PCM_FORMAT_S32_LE) {
                snd_pcm_channel_area_t d[2];
                deviceAreas(p, d);
                if (play)
                    snd_pcm_areas_copy(d, at, mine, offset + done, 2, n, SND_PCM_FORMAT_S32_LE);
                else
                    snd_pcm_areas_copy(mine, offset + done, d, at, 2, n, SND_PCM_FORMAT_S32_LE);
            } else {
                convert(io->format, play, mine, offset + done, dev, at, n);
            }
            done += n;
            at = (at + n) % v->frames;
        }
    }
    return snd_pcm_sframes_t(size);
}

int vPrepare(snd_pcm_ioplug_t* io) {
    Velunor* v = self(io);
    if (v->fault) return v->fault;
    vStop(io);
    bool fresh = v->frames == io->buffer_size && !v->ran;
    for (unsigned k = 0; k < v->pairs; ++k) fresh = fresh && v->pair[k].ws.buffer;
    if (!fresh) {
        const uint64_t want = uint64_t(io->buffer_size) * kFrameBytes;
        if (want == 0 || want > uint64_t(v->rate) * kFrameBytes * kMaxBufferMs / 1000) return -EINVAL;
        v->frames = 0;
        for (unsigned k = 0; k < v->pairs; ++k) {
            Pair& p = v->pair[k];
            const int err = WaveRt_allocate(&p.ws, uint32_t(want));
            if (err != 0 || !p.ws.buffer) {
                SNDERR("velunor: %s: the driver host gave no buffer of %u bytes (%d)", p.endpoint, unsigned(want), err);
                return -ENOMEM;
            }
            if (p.ws.bytes != want) {
                SNDERR("velunor: %s: asked for a buffer of %u bytes, got %u", p.endpoint, unsigned(want), p.ws.bytes);
                return -ENOMEM;
            }
        }
        v->frames = io->buffer_size;
        v->ran = false;
    }
    for (unsigned k = 0; k < v->pairs; ++k) {
        v->pair[k].lastPos = 0;
        v->pair[k].lag = 0;
        std::memset(v->pair[k].ws.buffer, 0, v->pair[k].ws.bytes);
    }
    v->hw = 0;
    v->periodNs = 0;
    v->lagsKnown = true;
    // A playback client may poll before it starts (its whole buffer is free).
    return armTimer(v, io->stream == SND_PCM_STREAM_PLAYBACK);
}

int vSwParams(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
    Velunor* v = self(io);
    snd_pcm_uframes_t m = 1;
    if (snd_pcm_sw_params_get_avail_min(params, &m) == 0) v->availMin = m ? m : 1;
    return 0;
}

int vDrain(snd_pcm_ioplug_t* io) {
    Velunor* v = self(io);
    // A client that wrote less than its start threshold drains a stream that never ran:
    // it starts here, so what it wrote is played.
    if (io->stream == SND_PCM_STREAM_PLAYBACK && !v->running && !v->fault && v->frames &&
        snd_pcm_ioplug_hw_avail(io, io->hw_ptr, io->appl_ptr) > 0) {
        const int err = vStart(io);
        if (err) return err;
    }
    if (io->stream == SND_PCM_STREAM_PLAYBACK && v->frames) {
        // Past the last written frame the streams read silence until they are stopped.
        const snd_pcm_uframes_t free = std::min(snd_pcm_ioplug_avail(io, io->hw_ptr, io->appl_ptr), v->frames);
        for (unsigned k = 0; k < v->pairs; ++k) {
            const Pair& p = v->pair[k];
            if (!p.ws.buffer) continue;
            snd_pcm_channel_area_t dev[2];
            deviceAreas(p, dev);
            snd_pcm_uframes_t at = (io->appl_ptr % v->frames + v->frames - p.lag) % v->frames, left = free;
            while (left) {
                const snd_pcm_uframes_t n = std::min(left, v->frames - at);
                snd_pcm_areas_silence(dev, at, 2, n, SND_PCM_FORMAT_S32_LE);
                left -= n;
                at = (at + n) % v->frames;
            }
        }
    }
    // ALSA stops the stream once the pointer has passed every written frame.
    while (io->state == SND_PCM_STATE_DRAINING) {
        if (!v->running) return -EBADFD; // nothing would move the pointer
        pollfd p{v->timer, POLLIN, 0};
        poll(&p, 1, 10);
        uint64_t ticks;
        [[maybe_unused]] ssize_t r = read(v->timer, &ticks, sizeof ticks);
        const snd_pcm_sframes_t a = snd_pcm_avail_update(io->pcm);
        if (a < 0) return int(a);
        if (v->fault) return v->fault;
    }
    return 0;
}

int vPollCount(snd_pcm_ioplug_t*) { return 1; }

int vPollDescriptors(snd_pcm_ioplug_t* io, pollfd* pfd, unsigned int space) {
    if (space < 1) return -EINVAL;
    pfd[0] = pollfd{self(io)->timer, POLLIN, 0};
    return 1;
}

int vPollRevents(snd_pcm_ioplug_t* io, pollfd* pfd, unsigned int nfds, unsigned short* revents) {
    Velunor* v = self(io);
    if (nfds < 1) return -EINVAL;
    if (pfd[0].revents & POLLIN) {
        uint64_t ticks;
        [[maybe_unused]] ssize_t r = read(v->timer, &ticks, sizeof ticks);
    }
    const unsigned short ready = io->stream == SND_PCM_STREAM_PLAYBACK ? POLLOUT : POLLIN;
    const snd_pcm_sframes_t a = snd_pcm_avail_update(io->pcm);
    if (v->running) armAfterPeriod(v, nowNs());
    if (a < 0 || v->fault)
        *revents = POLLERR | ready; // the next read or write reports the error
    else
        *revents = snd_pcm_uframes_t(a) >= v->availMin ? ready : 0;
    return 0;
}

void closePairs(Velunor* v) {
    for (unsigned k = 0; k < v->pairs; ++k) WaveRt_close(&v->pair[k].ws);
}

int vClose(snd_pcm_ioplug_t* io) {
    Velunor* v = self(io);
    closePairs(v);
    if (v->timer >= 0) close(v->timer);
    delete v;
    return 0;
}

snd_pcm_ioplug_callback_t callbacks(bool canPause) {
    snd_pcm_ioplug_callback_t c{};
    c.start = vStart;
    c.stop = vStop;
    c.pointer = vPointer;
    c.transfer = vTransfer;
    c.close = vClose;
    c.sw_params = vSwParams;
    c.prepare = vPrepare;
    c.drain = vDrain;
    if (canPause) c.pause = vPause;
    c.poll_descriptors_count = vPollCount;
    c.poll_descriptors = vPollDescriptors;
    c.poll_revents = vPollRevents;
    return c;
}
const snd_pcm_ioplug_callback_t kPairCallbacks = callbacks(true);
const snd_pcm_ioplug_callback_t kGroupCallbacks = callbacks(false);

// Why an open failed, in words a user can act on.
void explain(const char* endpoint, int err) {
    if (err == -16) {
        SNDERR("velunor: %s is busy: another program plays or records it", endpoint);
        return;
    }
    if (err == -2) {
        char list[4096];
        if (DevIf_list(WAVERT_CLASS_AUDIO, list, sizeof list) <= 1) {
            SNDERR("velunor: %s: the driver host is not running (no card endpoints are published)", endpoint);
            return;
        }
        const char* dash = std::strrchr(endpoint, '-');
        const long pair = dash ? std::strtol(dash + 1, nullptr, 16) : -1;
        if (pair >= 0)
            SNDERR("velunor: %s is not active: start the card with at least %ld channels", endpoint, 2 * (pair + 1));
        else
            SNDERR("velunor: %s is no endpoint of the card", endpoint);
        return;
    }
    char why[512];
    if (err == -13 && !Paths_canUseRundir(why, sizeof why)) {
        SNDERR("velunor: %s: %s", endpoint, why);
        return;
    }
    SNDERR("velunor: %s: the driver host refused the stream (%d)", endpoint, err);
}

int openError(int err) { return err == -16 ? -EBUSY : err == -2 ? -ENOENT : err == -13 ? -EACCES : -ENODEV; }

// The pairs of endpoint: one named pair, or ("out_all", "in_all") every pair from 00 up
// to the first the card does not run.
int openPairs(Velunor* v, const char* endpoint) {
    const char* all = std::strstr(endpoint, "_all");
    if (!all || all[4]) {
        std::snprintf(v->pair[0].endpoint, sizeof v->pair[0].endpoint, "%s", endpoint);
        const int err = WaveRt_open(endpoint, &v->pair[0].ws);
        if (err != 0) {
            explain(endpoint, err);
            return openError(err);
        }
        v->pairs = 1;
        return 0;
    }
    const int dir = int(all - endpoint);
    for (unsigned k = 0; k < kMaxPairs; ++k) {
        Pair& p = v->pair[k];
        std::snprintf(p.endpoint, sizeof p.endpoint, "%.*s_stereo-%02x", dir, endpoint, k);
        const int err = WaveRt_open(p.endpoint, &p.ws);
        if (err == -2 && k > 0) break; // the card runs k pairs
        if (err != 0) {
            explain(p.endpoint, err);
            return openError(err);
        }
        v->pairs = k + 1;
        if (p.ws.rate != v->pair[0].ws.rate) {
            SNDERR("velunor: %s runs at %u Hz, %s at %u Hz", p.endpoint, p.ws.rate, v->pair[0].endpoint,
                   v->pair[0].ws.rate);
            return -EINVAL;
        }
    }
    return 0;
}

int openPcm(snd_pcm_t** pcmp, const char* name, const char* endpoint, snd_pcm_stream_t stream, int mode) {
    const bool capture = std::strncmp(endpoint, "in_", 3) == 0;
    if (capture != (stream == SND_PCM_STREAM_CAPTURE)) {
        SNDERR("velunor: %s is a %s endpoint", endpoint, capture ? "capture" : "playback");
        return -EINVAL;
    }
    Velunor* v = new (std::nothrow) Velunor();
    if (!v) return -ENOMEM;
    std::snprintf(v->endpoint, sizeof v->endpoint, "%s", endpoint);
    const char* trace = std::getenv("VELUNOR_ALSA_TRACE");
    v->trace = trace && *trace && std::strcmp(trace, "0") != 0;
    v->traceAll = trace && std::strcmp(trace, "2") == 0;
    const char* gap = std::getenv("VELUNOR_ALSA_START_GAP_US");
    if (gap) v->startGapNs = std::min(std::atoll(gap), 1000000LL) * 1000;
    int err = openPairs(v, endpoint);
    if (err == 0 && (v->pair[0].ws.rate < 1000 || v->pair[0].ws.rate > 768000)) {
        SNDERR("velunor: %s: the stream's rate %u is not usable", endpoint, v->pair[0].ws.rate);
        err = -EINVAL;
    }
    if (err == 0) {
        v->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (v->timer < 0) err = -errno;
    }
    if (err != 0) {
        closePairs(v);
        delete v;
        return err;
    }
    v->rate = v->pair[0].ws.rate;
    v->enginePeriod = v->rate / 1000;
    v->io.version = SND_PCM_IOPLUG_VERSION;
    v->io.name = v->pairs > 1 ? "Velunor Link, all pairs" : "Velunor Link endpoint";
    v->io.callback = v->pairs > 1 ? &kGroupCallbacks : &kPairCallbacks;
    v->io.private_data = v;
    v->io.poll_fd = v->timer;
    v->io.poll_events = POLLIN;
    v->io.mmap_rw = 0;
    // No MONOTONIC flag: alsa-lib stamps an ioplug stream's status and trigger with the
    // clock the client chose in its software parameters (the time of day unless it asked
    // for another), and a client told "monotonic" would read them against the wrong one.
    v->io.flags = 0;
    err = snd_pcm_ioplug_create(&v->io, name, stream, mode);
    if (err < 0) {
        closePairs(v);
        close(v->timer);
        delete v;
        return err;
    }
    // Non-interleaved too: jackd asks for it first, and a plug converting it would be a
    // plugin layer above this ring.
    static const unsigned access[] = {SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_ACCESS_MMAP_INTERLEAVED,
                                      SND_PCM_ACCESS_RW_NONINTERLEAVED, SND_PCM_ACCESS_MMAP_NONINTERLEAVED};
    static const unsigned format[] = {SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_FLOAT_LE};
    // The client's frame is 4 bytes a channel in either format: the byte limits are frame limits.
    const unsigned frameBytes = kFrameBytes * v->pairs;
    const unsigned periodBytes = v->enginePeriod * frameBytes;
    const unsigned maxBufferBytes = v->rate / 1000 * kMaxBufferMs * frameBytes;
    const unsigned minBufferBytes = (v->rate * kMinBufferTenthsMs / 10000 + 1) / 2 * 2 * frameBytes;
    const unsigned channels = 2 * v->pairs;
    if ((err = snd_pcm_ioplug_set_param_list(&v->io, SND_PCM_IOPLUG_HW_ACCESS, 4, access)) < 0 ||
        (err = snd_pcm_ioplug_set_param_list(&v->io, SND_PCM_IOPLUG_HW_FORMAT, 2, format)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&v->io, SND_PCM_IOPLUG_HW_CHANNELS, channels, channels)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&v->io, SND_PCM_IOPLUG_HW_RATE, v->rate, v->rate)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&v->io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, periodBytes,
                                               maxBufferBytes / 2)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&v->io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&v->io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, minBufferBytes,
                                               maxBufferBytes)) < 0) {
        snd_pcm_ioplug_delete(&v->io); // closes through vClose
        return err;
    }
    *pcmp = v->io.pcm;
    return 0;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(velunor) {
    (void)root;
    const char* endpoint = nullptr;
    snd_config_iterator_t i, next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id;
        if (snd_config_get_id(n, &id) < 0) continue;
        if (!std::strcmp(id, "comment") || !std::strcmp(id, "type") || !std::strcmp(id, "hint")) continue;
        if (!std::strcmp(id, "endpoint")) {
            if (snd_config_get_string(n, &endpoint) < 0) {
                SNDERR("velunor: endpoint must be a string");
                return -EINVAL;
            }
            continue;
        }
        SNDERR("velunor: unknown field %s", id);
        return -EINVAL;
    }
    if (!endpoint || !*endpoint) {
        SNDERR("velunor: no endpoint given (for example endpoint \"out_stereo-00\")");
        return -EINVAL;
    }
    return openPcm(pcmp, name, endpoint, stream, mode);
}

SND_PCM_PLUGIN_SYMBOL(velunor)

}  // extern "C"
