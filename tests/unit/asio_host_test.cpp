// asiohost end to end on one machine: a loop-back producer returns the host's output 0
// as its input 0, so the recording must hold the tone exactly; and its WAV files.
#include "tests/unit/asio_test_util.h"

#include <cmath>
#include <fstream>
#include <memory>
#include <sys/wait.h>

#include "tools/asiohost/wavfile.h"

namespace {

// Area A channel 0 of each block goes back out as area B channel 0 of the same period.
struct LoopBack {
    char* base = nullptr;
    uint32_t F = 48, chRx = 2, chTx = 2, R = 8;
    std::atomic<bool> run{false};
    std::thread th;
    void start(Section* s) {
        base = static_cast<char*>(s->base);
        run.store(true);
        th = std::thread([this] {
            PeriodTimer t;
            PeriodTimer_start(&t, 1000000);
            std::atomic<uint64_t>* counter = ShareMem_counter(base);
            while (run.load()) {
                const uint64_t k = counter->load(std::memory_order_relaxed);
                const uint32_t s = uint32_t(k % R);
                for (uint32_t j = 0; j < F; j++) {
                    std::atomic_ref<int32_t> a(*reinterpret_cast<int32_t*>(base + ShareMem_offA(F, chRx, s, j, 0)));
                    std::atomic_ref<int32_t> b(
                        *reinterpret_cast<int32_t*>(base + ShareMem_offB(F, chRx, chTx, R, s, j, 0)));
                    b.store(a.load(std::memory_order_relaxed), std::memory_order_relaxed);
                    a.store(0, std::memory_order_relaxed);
                }
                counter->store(k + 1, std::memory_order_release);
                PeriodTimer_wait(&t);
            }
        });
    }
    ~LoopBack() {
        run.store(false);
        if (th.joinable()) th.join();
    }
};

int run(const std::string& cmd, std::string* out) {
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return -1;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) *out += buf;
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int32_t tone(uint64_t n) {
    const double step = 2.0 * M_PI * 1000.0 / 48000.0, amp = std::pow(10.0, -6.0 / 20.0);
    return int32_t(std::lrint(std::sin(step * double(n)) * amp * 8388607.0)) * 256;
}

} // namespace

TEST(AsioHost, TonePlayedAndRecordedThroughTheDriver) {
    const std::string dir = freshDirs("asio-host");
    ASSERT_FALSE(dir.empty());
    Section s;
    ASSERT_TRUE(makeArea(&s, 48000, 2, 2, 8));
    auto loop = std::make_unique<LoopBack>();
    loop->start(&s);
    const std::string wav = dir + "/rec.wav";
    std::string out;
    int rc = run(std::string(VELUNOR_ASIOHOST) + " --driver " + VELUNOR_ASIO_SO +
                     " --tone 1000 --out 0 --record " + wav + " --in 0 --seconds 1 --buffer 48 --wait 2",
                 &out);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("outputs: 2"), std::string::npos) << out;
    EXPECT_NE(out.find("resets=0"), std::string::npos) << out;

    WavData w;
    char err[128] = "";
    ASSERT_TRUE(Wav_read(wav.c_str(), 1u << 24, &w, err, sizeof err)) << err;
    EXPECT_EQ(w.channels, 1);
    EXPECT_EQ(w.rate, 48000u);
    ASSERT_EQ(w.frames, 48000u);
    uint64_t m0 = 0;
    while (m0 < w.frames && w.samples[m0] == 0) m0++;
    ASSERT_LT(m0, 24000u) << "the tone came back";
    // First non-zero sample is tone sample 1; from there every sample matches.
    uint64_t n = 0;
    for (; m0 + n < w.frames; n++) ASSERT_EQ(w.samples[m0 + n], tone(1 + n)) << "recorded frame " << m0 + n;
    EXPECT_GT(n, 24000u);
    Wav_free(&w);

    // Usage errors: exit 2, nothing started.
    out.clear();
    EXPECT_EQ(run(std::string(VELUNOR_ASIOHOST) + " --tone 1000 --play x.wav", &out), 2) << out;
    out.clear();
    EXPECT_EQ(run(std::string(VELUNOR_ASIOHOST) + " --driver " + VELUNOR_ASIO_SO + " --tone 1000 --out 5 --wait 1", &out), 2)
        << out;
    EXPECT_NE(out.find("no such output channel"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(run(std::string(VELUNOR_ASIOHOST) + " --help", &out), 0);
    EXPECT_NE(out.find("--record FILE.wav"), std::string::npos);
    loop.reset(); // the loop-back thread stops before its area is unmapped
    Section_close(&s);
}

TEST(AsioHost, WavFiles) {
    const std::string dir = freshDirs("asio-wav");
    ASSERT_FALSE(dir.empty());
    const int32_t src[6] = {0x7fffff00, int32_t(0x80000000), 0x12345600, -256, 0x00010000, 0};
    for (int bits : {16, 24, 32}) {
        const std::string p = dir + "/t" + std::to_string(bits) + ".wav";
        ASSERT_TRUE(Wav_write(p.c_str(), src, 3, 2, 48000, bits));
        WavData w;
        char err[128];
        ASSERT_TRUE(Wav_read(p.c_str(), 100, &w, err, sizeof err)) << err;
        EXPECT_EQ(w.frames, 3u);
        EXPECT_EQ(w.channels, 2);
        const uint32_t mask = bits == 16 ? 0xffff0000u : (bits == 24 ? 0xffffff00u : 0xffffffffu);
        for (int i = 0; i < 6; i++) EXPECT_EQ(uint32_t(w.samples[i]), uint32_t(src[i]) & mask) << bits << " " << i;
        Wav_free(&w);
        EXPECT_FALSE(Wav_read(p.c_str(), 5, &w, err, sizeof err)) << "longer than allowed";
    }
    // Not a WAV, a truncated header, an unsupported format.
    {
        std::ofstream(dir + "/bad.wav") << "RIFF\x10\0\0\0WAVEfmt ";
    }
    WavData w;
    char err[128];
    EXPECT_FALSE(Wav_read((dir + "/bad.wav").c_str(), 100, &w, err, sizeof err));
    EXPECT_FALSE(Wav_read((dir + "/none.wav").c_str(), 100, &w, err, sizeof err));
    EXPECT_FALSE(Wav_write((dir + "/x.wav").c_str(), src, 3, 2, 48000, 8));
}
