// The ALSA plugin against a stand-in stream: what an ALSA program sees (drain to the last
// frame, xrun, pause, capture, a host that goes away, an engine that stops), with the
// stream's position moved by a clock thread the way the card moves it: one engine period
// of 48 frames every millisecond, reading (render) or writing (capture) the buffer.
#if __has_include(<alsa/asoundlib.h>)
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/wavert.h"

extern "C" int _snd_pcm_velunor_open(snd_pcm_t** pcmp, const char* name, snd_config_t* root, snd_config_t* conf,
                                     snd_pcm_stream_t stream, int mode);

namespace {

// The stand-in stream: one at a time.
struct Fake {
    std::mutex m;
    bool open = false, capture = false;
    uint32_t state = WAVERT_STATE_STOP;
    std::vector<int32_t> buffer; // L, R
    uint32_t pos = 0;            // frames
    int allocations = 0;
    bool gone = false;           // the host went away
    bool frozen = false;         // the engine stopped moving the position
    std::vector<int32_t> heard;  // render: every frame the engine took, left channel
    int32_t next = 1;            // capture: the engine's next sample value
    std::atomic<bool> quit{false};
    std::thread clock;

    void start() {
        quit = false;
        clock = std::thread([this] {
            auto t = std::chrono::steady_clock::now();
            while (!quit) {
                t += std::chrono::milliseconds(1);
                std::this_thread::sleep_until(t);
                std::lock_guard<std::mutex> g(m);
                if (state != WAVERT_STATE_RUN || buffer.empty() || frozen) continue;
                const uint32_t frames = uint32_t(buffer.size() / 2);
                for (int f = 0; f < 48; ++f) {
                    if (capture) {
                        buffer[2 * pos] = next;
                        buffer[2 * pos + 1] = -next;
                        ++next;
                    } else {
                        heard.push_back(buffer[2 * pos]);
                    }
                    pos = (pos + 1) % frames;
                }
            }
        });
    }
    void stop() {
        quit = true;
        if (clock.joinable()) clock.join();
    }
};
Fake g_fake;

}  // namespace

int WaveRt_open(const char* endpoint, WaveRtStream* s) {
    std::lock_guard<std::mutex> g(g_fake.m);
    *s = WaveRtStream{-1, false, 0, nullptr, 0, nullptr, 0, nullptr};
    if (std::strcmp(endpoint, "out_stereo-00") != 0 && std::strcmp(endpoint, "in_stereo-00") != 0) return -2;
    if (g_fake.open) return -16;
    g_fake.open = true;
    g_fake.capture = endpoint[0] == 'i';
    g_fake.state = WAVERT_STATE_STOP;
    s->fd = 100;
    s->capture = g_fake.capture;
    s->rate = 48000;
    return 0;
}
int WaveRt_allocate(WaveRtStream* s, uint32_t bytes) {
    std::lock_guard<std::mutex> g(g_fake.m);
    if (g_fake.gone) return -5;
    g_fake.state = WAVERT_STATE_STOP;
    g_fake.buffer.assign(bytes / 8 * 2, 0);
    g_fake.pos = 0;
    ++g_fake.allocations;
    s->buffer = s->mapping = g_fake.buffer.data();
    s->bytes = s->mappingBytes = bytes / 8 * 8;
    return 0;
}
int WaveRt_setState(WaveRtStream*, uint32_t state) {
    std::lock_guard<std::mutex> g(g_fake.m);
    if (g_fake.gone) return -5;
    g_fake.state = state;
    return 0;
}
int WaveRt_position(WaveRtStream*, uint32_t* bytes) {
    std::lock_guard<std::mutex> g(g_fake.m);
    if (g_fake.gone) return -5;
    *bytes = g_fake.state == WAVERT_STATE_RUN ? g_fake.pos * 8 : 0;
    return 0;
}
// The stand-in has no position register: the plugin follows it by request.
bool WaveRt_read(const WaveRtStream*, WaveRtReading*) { return false; }
void WaveRt_close(WaveRtStream* s) {
    std::lock_guard<std::mutex> g(g_fake.m);
    g_fake.open = false;
    g_fake.state = WAVERT_STATE_STOP;
    *s = WaveRtStream{-1, false, 0, nullptr, 0, nullptr, 0, nullptr};
}

namespace {

class AlsaVelunor : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> g(g_fake.m);
            g_fake.heard.clear();
            g_fake.gone = g_fake.frozen = false;
            g_fake.next = 1;
            g_fake.allocations = 0;
        }
        g_fake.start();
    }
    void TearDown() override {
        if (pcm) snd_pcm_close(pcm);
        g_fake.stop();
    }
    int open(const char* endpoint, snd_pcm_stream_t dir, snd_pcm_uframes_t buffer, snd_pcm_uframes_t period) {
        char text[200];
        std::snprintf(text, sizeof text, "type velunor endpoint \"%s\"", endpoint);
        snd_config_t* conf = nullptr;
        snd_input_t* in = nullptr;
        EXPECT_EQ(snd_config_top(&conf), 0);
        EXPECT_EQ(snd_input_buffer_open(&in, text, -1), 0);
        EXPECT_EQ(snd_config_load(conf, in), 0);
        snd_input_close(in);
        int err = _snd_pcm_velunor_open(&pcm, "velunor-test", conf, conf, dir, 0);
        snd_config_delete(conf);
        if (err < 0) {
            pcm = nullptr;
            return err;
        }
        snd_pcm_hw_params_t* hw;
        snd_pcm_hw_params_alloca(&hw);
        snd_pcm_uframes_t b = buffer, p = period;
        if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0 ||
            (err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
            (err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S32_LE)) < 0 ||
            (err = snd_pcm_hw_params_set_channels(pcm, hw, 2)) < 0 ||
            (err = snd_pcm_hw_params_set_rate(pcm, hw, 48000, 0)) < 0 ||
            (err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &b)) < 0 ||
            (err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &p, nullptr)) < 0 ||
            (err = snd_pcm_hw_params(pcm, hw)) < 0)
            return err;
        EXPECT_EQ(b, buffer);
        return 0;
    }
    snd_pcm_t* pcm = nullptr;
};

std::vector<int32_t> ramp(int32_t from, size_t frames) {
    std::vector<int32_t> v(frames * 2);
    for (size_t f = 0; f < frames; ++f) {
        v[2 * f] = from + int32_t(f);
        v[2 * f + 1] = -(from + int32_t(f));
    }
    return v;
}

// Frames the engine took, from the first non-silent one: must be from..from+n-1, then silence.
void expectHeard(int32_t from, size_t n) {
    std::lock_guard<std::mutex> g(g_fake.m);
    const auto& h = g_fake.heard;
    size_t i = 0;
    while (i < h.size() && h[i] == 0) ++i;
    ASSERT_GE(h.size(), i + n) << "the engine took " << h.size() - i << " frames of sound, " << n << " written";
    for (size_t k = 0; k < n; ++k) ASSERT_EQ(h[i + k], from + int32_t(k)) << "frame " << k;
    for (size_t k = i + n; k < h.size(); ++k) ASSERT_EQ(h[k], 0) << "after the end, frame " << k - i;
}

TEST_F(AlsaVelunor, OpenNamesItsFaults) {
    EXPECT_EQ(open("out_stereo-05", SND_PCM_STREAM_PLAYBACK, 4800, 480), -ENOENT);
    EXPECT_EQ(open("in_stereo-00", SND_PCM_STREAM_PLAYBACK, 4800, 480), -EINVAL); // capture endpoint, playback
    ASSERT_EQ(open("out_stereo-00", SND_PCM_STREAM_PLAYBACK, 4800, 480), 0);
    snd_pcm_t* second = nullptr;
    snd_pcm_t* first = pcm;
    EXPECT_EQ(open("out_stereo-00", SND_PCM_STREAM_PLAYBACK, 4800, 480), -EBUSY);
    second = pcm;
    EXPECT_EQ(second, nullptr);
    pcm = first;
    // The one format: 2 channels of S32_LE at the engine's rate.
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    ASSERT_GE(snd_pcm_hw_params_any(pcm, hw), 0);
    EXPECT_LT(snd_pcm_hw_params_test_format(pcm, hw, SND_PCM_FORMAT_S16_LE), 0);
    EXPECT_LT(snd_pcm_hw_params_test_rate(pcm, hw, 44100, 0), 0);
    EXPECT_LT(snd_pcm_hw_params_test_channels(pcm, hw, 1), 0);
}

// A whole write, drained: every frame taken in order, wrapping the buffer many times, and
// the end not cut; then an underrun, and a new run after prepare that starts from the
// buffer's start again.
TEST_F(AlsaVelunor, PlaybackDrainsToTheLastFrameAndReportsUnderrun) {
    ASSERT_EQ(open("out_stereo-00", SND_PCM_STREAM_PLAYBACK, 1000, 250), 0); // not a multiple of 48
    const size_t n = 48000 / 2 + 17;
    auto data = ramp(1, n);
    size_t done = 0;
    while (done < n) {
        snd_pcm_sframes_t w = snd_pcm_writei(pcm, data.data() + 2 * done, std::min<size_t>(n - done, 333));
        ASSERT_GT(w, 0) << snd_strerror(int(w));
        done += size_t(w);
    }
    ASSERT_EQ(snd_pcm_drain(pcm), 0);
    EXPECT_EQ(snd_pcm_state(pcm), SND_PCM_STATE_SETUP);
    expectHeard(1, n);

    // A client that stops writing gets -EPIPE.
    ASSERT_EQ(snd_pcm_prepare(pcm), 0);
    {
        std::lock_guard<std::mutex> g(g_fake.m);
        g_fake.heard.clear();
    }
    auto more = ramp(1000, 960);
    ASSERT_EQ(snd_pcm_writei(pcm, more.data(), 960), 960); // starts it
    // The client stops writing but keeps an eye on the stream, as a slow producer does.
    snd_pcm_sframes_t avail = 0;
    for (int i = 0; i < 100 && avail >= 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        avail = snd_pcm_avail_update(pcm);
    }
    EXPECT_EQ(avail, -EPIPE);
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // stopped: nothing more is taken
    EXPECT_EQ(snd_pcm_writei(pcm, more.data(), 48), -EPIPE);
    EXPECT_EQ(snd_pcm_state(pcm), SND_PCM_STATE_XRUN);
    expectHeard(1000, 960);
    const int before = g_fake.allocations;
    ASSERT_EQ(snd_pcm_prepare(pcm), 0);
    EXPECT_EQ(g_fake.allocations, before + 1); // a fresh buffer, read from its start
    {
        std::lock_guard<std::mutex> g(g_fake.m);
        g_fake.heard.clear();
    }
    ASSERT_EQ(snd_pcm_writei(pcm, more.data(), 500), 500);
    ASSERT_EQ(snd_pcm_drain(pcm), 0);
    expectHeard(1000, 500);
}

// Paused, the stream reports 0; resumed, it goes on from where it stood: nothing lost or
// repeated.
TEST_F(AlsaVelunor, PauseKeepsThePosition) {
    ASSERT_EQ(open("out_stereo-00", SND_PCM_STREAM_PLAYBACK, 4800, 960), 0);
    const size_t n = 48000 / 4;
    auto data = ramp(1, n);
    ASSERT_EQ(snd_pcm_writei(pcm, data.data(), 4800), 4800);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(snd_pcm_pause(pcm, 1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    size_t heardPaused;
    {
        std::lock_guard<std::mutex> g(g_fake.m);
        heardPaused = g_fake.heard.size();
        EXPECT_EQ(g_fake.state, uint32_t(WAVERT_STATE_PAUSE));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(g_fake.heard.size(), heardPaused);
    EXPECT_EQ(snd_pcm_state(pcm), SND_PCM_STATE_PAUSED);
    ASSERT_EQ(snd_pcm_pause(pcm, 0), 0);
    size_t done = 4800;
    while (done < n) {
        snd_pcm_sframes_t w = snd_pcm_writei(pcm, data.data() + 2 * done, n - done);
        ASSERT_GT(w, 0) << snd_strerror(int(w));
        done += size_t(w);
    }
    ASSERT_EQ(snd_pcm_drain(pcm), 0);
    expectHeard(1, n);
}

// Capture: every frame the engine wrote, in order, across wraps; an overrun when the
// client stops reading.
TEST_F(AlsaVelunor, CaptureReadsEveryFrameAndReportsOverrun) {
    ASSERT_EQ(open("in_stereo-00", SND_PCM_STREAM_CAPTURE, 2000, 500), 0);
    std::vector<int32_t> buf(2 * 48000 / 4);
    ASSERT_EQ(snd_pcm_start(pcm), 0);
    size_t got = 0;
    while (got < buf.size() / 2) {
        snd_pcm_sframes_t r = snd_pcm_readi(pcm, buf.data() + 2 * got, buf.size() / 2 - got);
        ASSERT_GT(r, 0) << snd_strerror(int(r));
        got += size_t(r);
    }
    for (size_t f = 0; f < got; ++f) {
        ASSERT_EQ(buf[2 * f], int32_t(f) + 1) << "frame " << f;
        ASSERT_EQ(buf[2 * f + 1], -(int32_t(f) + 1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(snd_pcm_readi(pcm, buf.data(), 48), -EPIPE);
}

// A host that goes away, and an engine that stops: the client gets an error, never a hang.
TEST_F(AlsaVelunor, HostGoneOrEngineStoppedIsAnError) {
    ASSERT_EQ(open("out_stereo-00", SND_PCM_STREAM_PLAYBACK, 4800, 960), 0);
    auto data = ramp(1, 4800);
    ASSERT_EQ(snd_pcm_writei(pcm, data.data(), 4800), 4800);
    {
        std::lock_guard<std::mutex> g(g_fake.m);
        g_fake.gone = true;
    }
    // alsa-lib reports a failed pointer as an xrun (or a disconnection); the recovery
    // then names the fault.
    snd_pcm_sframes_t w = snd_pcm_writei(pcm, data.data(), 4800);
    EXPECT_TRUE(w == -EPIPE || w == -ENODEV) << snd_strerror(int(w));
    EXPECT_EQ(snd_pcm_prepare(pcm), -ENODEV);
    snd_pcm_close(pcm);
    pcm = nullptr;

    {
        std::lock_guard<std::mutex> g(g_fake.m);
        g_fake.gone = false;
    }
    ASSERT_EQ(open("out_stereo-00", SND_PCM_STREAM_PLAYBACK, 4800, 960), 0);
    ASSERT_EQ(snd_pcm_writei(pcm, data.data(), 4800), 4800);
    {
        std::lock_guard<std::mutex> g(g_fake.m);
        g_fake.frozen = true;
    }
    w = snd_pcm_writei(pcm, data.data(), 4800);
    EXPECT_TRUE(w == -EPIPE || w == -EIO) << snd_strerror(int(w));
    EXPECT_EQ(snd_pcm_prepare(pcm), -EIO);
}

}  // namespace
#else
#include <gtest/gtest.h>
TEST(AlsaVelunor, NeedsLibasound) { GTEST_SKIP() << "libasound2-dev is not installed"; }
#endif
