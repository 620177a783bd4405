// The ALSA plugin's CPU per second of audio, driven the way jackd drives it: playback and
// capture at 64 frames x 3 periods (FLOAT_LE, mmap, non-interleaved), a poll on both
// streams, the revents, avail_update, and one period's mmap_begin / commit per stream each
// cycle. The stream is a stand-in in process that moves its position register by one
// engine period (48 frames) every millisecond, as the driver does, so what is measured
// is alsa-lib's ioplug with this plugin, not the driver host. The loop thread's own CPU
// time (CLOCK_THREAD_CPUTIME_ID) is divided by the seconds of audio it moved.
//
//   alsa_plugin_bench [seconds] [period frames] [periods]     (5 64 3)
//
// Prints figures; asserts nothing.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/wavert.h"

extern "C" int _snd_pcm_velunor_open(snd_pcm_t** pcmp, const char* name, snd_config_t* root, snd_config_t* conf,
                                     snd_pcm_stream_t stream, int mode);

namespace {

// Two stand-in streams (render 0, capture 1) on one 1 ms clock.
struct Side {
    std::vector<int32_t> buffer;
    WaveRtRegister reg{};
    uint32_t state = WAVERT_STATE_STOP;
    uint32_t pos = 0; // frames
};
std::mutex g_m;
Side g_side[2];
std::atomic<bool> g_quit{false};

int64_t monoNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void clockThread() {
    auto t = std::chrono::steady_clock::now();
    while (!g_quit) {
        t += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(t);
        std::lock_guard<std::mutex> g(g_m);
        const int64_t now = monoNs();
        for (Side& s : g_side) {
            if (s.buffer.empty()) continue;
            const bool run = s.state == WAVERT_STATE_RUN;
            if (run) s.pos = (s.pos + 48) % uint32_t(s.buffer.size() / 2);
            const uint32_t q = s.reg.seq.load(std::memory_order_relaxed);
            s.reg.seq.store(q + 1, std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_release);
            if (run) s.reg.position.store(s.pos * 8, std::memory_order_relaxed);
            s.reg.periodNs.store(now, std::memory_order_relaxed);
            s.reg.periods.fetch_add(1, std::memory_order_relaxed);
            s.reg.seq.store(q + 2, std::memory_order_release);
        }
    }
}

Side& sideOf(const WaveRtStream* s) { return g_side[s->capture ? 1 : 0]; }

}  // namespace

int WaveRt_open(const char* endpoint, WaveRtStream* s) {
    *s = WaveRtStream{-1, false, 0, nullptr, 0, nullptr, 0, nullptr};
    s->capture = endpoint[0] == 'i';
    s->fd = 100;
    s->rate = 48000;
    return 0;
}
int WaveRt_allocate(WaveRtStream* s, uint32_t bytes) {
    std::lock_guard<std::mutex> g(g_m);
    Side& d = sideOf(s);
    d.buffer.assign(bytes / 8 * 2, 0);
    d.pos = 0;
    d.state = WAVERT_STATE_STOP;
    d.reg.position.store(0);
    s->buffer = s->mapping = d.buffer.data();
    s->bytes = s->mappingBytes = bytes / 8 * 8;
    s->reg = &d.reg;
    return 0;
}
int WaveRt_setState(WaveRtStream* s, uint32_t state) {
    std::lock_guard<std::mutex> g(g_m);
    sideOf(s).state = state;
    return 0;
}
int WaveRt_position(WaveRtStream* s, uint32_t* bytes) {
    std::lock_guard<std::mutex> g(g_m);
    *bytes = sideOf(s).state == WAVERT_STATE_RUN ? sideOf(s).pos * 8 : 0;
    return 0;
}
bool WaveRt_read(const WaveRtStream* s, WaveRtReading* r) {
    if (!s->reg) return false;
    for (;;) {
        const uint32_t a = s->reg->seq.load(std::memory_order_acquire);
        if (a & 1) continue;
        r->position = s->reg->position.load(std::memory_order_relaxed);
        r->periodNs = s->reg->periodNs.load(std::memory_order_relaxed);
        r->periods = s->reg->periods.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (s->reg->seq.load(std::memory_order_relaxed) == a) return true;
    }
}
void WaveRt_close(WaveRtStream* s) { *s = WaveRtStream{-1, false, 0, nullptr, 0, nullptr, 0, nullptr}; }

namespace {

snd_pcm_t* openOne(const char* endpoint, snd_pcm_stream_t dir, snd_pcm_uframes_t period, unsigned periods) {
    char text[200];
    std::snprintf(text, sizeof text, "type velunor endpoint \"%s\"", endpoint);
    snd_config_t* conf = nullptr;
    snd_input_t* in = nullptr;
    snd_config_top(&conf);
    snd_input_buffer_open(&in, text, -1);
    snd_config_load(conf, in);
    snd_input_close(in);
    snd_pcm_t* pcm = nullptr;
    if (_snd_pcm_velunor_open(&pcm, endpoint, nullptr, conf, dir, 0) < 0) std::exit(1);
    snd_config_delete(conf);
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_hw_params_any(pcm, hw);
    snd_pcm_uframes_t buffer = period * periods;
    if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_MMAP_NONINTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_FLOAT_LE) < 0 ||
        snd_pcm_hw_params_set_channels(pcm, hw, 2) < 0 || snd_pcm_hw_params_set_rate(pcm, hw, 48000, 0) < 0 ||
        snd_pcm_hw_params_set_period_size(pcm, hw, period, 0) < 0 ||
        snd_pcm_hw_params_set_buffer_size(pcm, hw, buffer) < 0 || snd_pcm_hw_params(pcm, hw) < 0) {
        std::fprintf(stderr, "alsa_plugin_bench: %s refused %lu x %u\n", endpoint, (unsigned long)period, periods);
        std::exit(1);
    }
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_sw_params_current(pcm, sw);
    snd_pcm_sw_params_set_avail_min(pcm, sw, period);
    snd_pcm_sw_params_set_start_threshold(pcm, sw, 0x7fffffff);
    snd_pcm_sw_params(pcm, sw);
    return pcm;
}

// One period through mmap: silence written (playback) or the frames taken (capture).
bool movePeriod(snd_pcm_t* pcm, snd_pcm_uframes_t period, bool play) {
    const snd_pcm_channel_area_t* areas;
    snd_pcm_uframes_t offset, frames = period;
    if (snd_pcm_mmap_begin(pcm, &areas, &offset, &frames) < 0) return false;
    if (play) snd_pcm_areas_silence(areas, offset, 2, frames, SND_PCM_FORMAT_FLOAT_LE);
    return snd_pcm_mmap_commit(pcm, offset, frames) == snd_pcm_sframes_t(frames);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    const snd_pcm_uframes_t period = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 64;
    const unsigned periods = argc > 3 ? unsigned(std::atoi(argv[3])) : 3;
    std::thread clock(clockThread);
    snd_pcm_t* play = openOne("out_stereo-00", SND_PCM_STREAM_PLAYBACK, period, periods);
    snd_pcm_t* rec = openOne("in_stereo-00", SND_PCM_STREAM_CAPTURE, period, periods);
    snd_pcm_prepare(play);
    snd_pcm_prepare(rec);
    for (unsigned p = 0; p < periods; ++p) movePeriod(play, period, true);
    snd_pcm_start(play);
    snd_pcm_start(rec);
    pollfd pfd[4];
    const int np = snd_pcm_poll_descriptors(play, pfd, 2);
    const int nc = snd_pcm_poll_descriptors(rec, pfd + np, 2);
    timespec c0{}, c1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
    const int64_t t0 = monoNs();
    uint64_t frames = 0, cycles = 0, xruns = 0, wakeups = 0;
    while (monoNs() - t0 < int64_t(seconds * 1e9)) {
        poll(pfd, nfds_t(np + nc), 100);
        ++wakeups;
        unsigned short rp = 0, rc = 0;
        snd_pcm_poll_descriptors_revents(play, pfd, unsigned(np), &rp);
        snd_pcm_poll_descriptors_revents(rec, pfd + np, unsigned(nc), &rc);
        const snd_pcm_sframes_t ap = snd_pcm_avail_update(play), ac = snd_pcm_avail_update(rec);
        if (ap < 0 || ac < 0) { // restart as jackd does
            ++xruns;
            snd_pcm_drop(play);
            snd_pcm_drop(rec);
            snd_pcm_prepare(play);
            snd_pcm_prepare(rec);
            for (unsigned p = 0; p < periods; ++p) movePeriod(play, period, true);
            snd_pcm_start(play);
            snd_pcm_start(rec);
            continue;
        }
        while (snd_pcm_uframes_t(ap) >= period && snd_pcm_uframes_t(ac) >= period) {
            if (!movePeriod(rec, period, false) || !movePeriod(play, period, true)) break;
            frames += period;
            ++cycles;
            break;
        }
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
    const double cpu = double(c1.tv_sec - c0.tv_sec) + double(c1.tv_nsec - c0.tv_nsec) / 1e9;
    const double audio = double(frames) / 48000.0;
    g_quit = true;
    clock.join();
    snd_pcm_close(play);
    snd_pcm_close(rec);
    std::printf("alsa_plugin_bench: %lu x %u frames, playback and capture, FLOAT_LE, mmap non-interleaved\n",
                (unsigned long)period, periods);
    std::printf("  %.2f s of audio in %.2f s, %lu cycles, %lu wake-ups, %lu xruns\n", audio, seconds,
                (unsigned long)cycles, (unsigned long)wakeups, (unsigned long)xruns);
    std::printf("  loop thread CPU: %.3f ms per second of audio (%.2f us per cycle, %.2f us per wake-up)\n",
                audio > 0 ? cpu * 1000.0 / audio : 0.0, cycles ? cpu * 1e6 / double(cycles) : 0.0,
                wakeups ? cpu * 1e6 / double(wakeups) : 0.0);
    return 0;
}
