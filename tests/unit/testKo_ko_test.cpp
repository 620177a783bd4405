// Engine start-up: the engine words, the fit rule of the exchange area, its header and
// ring addressing, the producer's block steps, and the engine thread's start.
#include "engine/AudioPhy.h"
#include "engine/Msg.h"
#include "engine/shareMem.h"
#include "engine/testKo_ko.h"
#include "platform/section.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Every test runs with its own object directory, so sections never meet.
struct RunDir {
    std::string dir;
    RunDir() {
        char tmpl[] = "/tmp/velunor-e2-testko-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("VELUNOR_RUNDIR", dir.c_str(), 1);
    }
    ~RunDir() {
        AudioPhy_destroy();
        std::string cmd = "rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
};

AudioPhy* phyWith(std::vector<std::string> words) {
    static char prog[] = "VelunorRoute";
    std::vector<char*> argv{prog};
    for (auto& w : words) argv.push_back(w.data());
    return AudioPhy_virtual_new(int(argv.size()), argv.data());
}

uint32_t u32At(const void* base, size_t off) {
    uint32_t v;
    std::memcpy(&v, static_cast<const char*>(base) + off, 4);
    return v;
}

} // namespace

TEST(TestKoWords, DefaultsPrefixesOverridesAndBaseDetection) {
    AudioPhyWords w{};
    char p0[] = "VelunorRoute", a1[] = "sampleRate=96000", a2[] = "chNumRx=0x10", a3[] = "chNumTx=010",
         a4[] = "bufMs=6", a5[] = "domain=3", a6[] = "ptpMode=0x100000000", a7[] = "bindIp=10.1.2.3",
         a8[] = "pollFast", a9[] = "sampleRate=44100", a10[] = "ip=1.2.3.4";
    char* argv[] = {p0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10};
    AudioPhy_parseWords(1, argv, &w);
    EXPECT_EQ(w.sampleRate, 48000);
    EXPECT_EQ(w.chNumRx, 2);
    EXPECT_EQ(w.chNumTx, 2);
    EXPECT_EQ(w.bufMs, 4);
    EXPECT_EQ(w.domain, 0);
    EXPECT_EQ(w.ptpMode, 0u);
    EXPECT_STREQ(w.bindIp, "192.168.10.224");
    EXPECT_FALSE(w.poll);

    AudioPhy_parseWords(11, argv, &w);
    EXPECT_EQ(w.sampleRate, 44100); // the later word wins
    EXPECT_EQ(w.chNumRx, 16);
    EXPECT_EQ(w.chNumTx, 8);
    EXPECT_EQ(w.bufMs, 6);
    EXPECT_EQ(w.domain, 3);
    EXPECT_EQ(w.ptpMode, 0x100000000ull);
    EXPECT_STREQ(w.bindIp, "10.1.2.3");
    EXPECT_TRUE(w.poll);

    // The argument in argv[0] is the program, never a word.
    char* only[] = {a8};
    AudioPhy_parseWords(1, only, &w);
    EXPECT_FALSE(w.poll);
    // A bind address longer than its field is cut, never written past it.
    std::string longIp = "bindIp=" + std::string(200, '7');
    char* argvLong[] = {p0, longIp.data()};
    AudioPhy_parseWords(2, argvLong, &w);
    EXPECT_EQ(std::strlen(w.bindIp), sizeof w.bindIp - 1);
}

TEST(TestKoPhy, DefaultSectionHeaderAndRings) {
    RunDir rd;
    AudioPhy* p = phyWith({});
    ASSERT_TRUE(AudioPhy_hasShareMem());
    EXPECT_EQ(p->phyRx.load(), 2);
    EXPECT_EQ(p->phyTx.load(), 2);
    EXPECT_EQ(p->sampleRate.load(), 48000);
    EXPECT_EQ(p->framesPerPeriod.load(), 48);
    EXPECT_EQ(p->mask, 1u);
    EXPECT_EQ(p->toneCh.load(), -1);
    EXPECT_EQ(p->inStride, 8);
    EXPECT_EQ(p->outStride, 8);

    // What the ASIO side sees when it opens the section by name.
    Section s;
    ASSERT_TRUE(Section_open(SHAREMEM_NAME, &s));
    ASSERT_EQ(s.size, size_t(393280));
    EXPECT_EQ(u32At(s.base, 0), 0x87654321u);
    EXPECT_EQ(u32At(s.base, 4), 48000u);
    EXPECT_EQ(u32At(s.base, 8), 2u);
    EXPECT_EQ(u32At(s.base, 12), 2u);
    EXPECT_EQ(u32At(s.base, 16), 4u);
    EXPECT_EQ(u32At(s.base, 20), 393280u);
    EXPECT_EQ(ShareMem_counter(s.base)->load(), 0u);
    EXPECT_EQ(u32At(s.base, 32), 0x87654321u);
    EXPECT_EQ(u32At(s.base, 36), 0u);
    // Input ring at 64, output ring at 64 + 4 x 48 x 2 x 4 = 1600.
    EXPECT_EQ(reinterpret_cast<char*>(p->inBase) - static_cast<char*>(p->shareMem), 64);
    EXPECT_EQ(reinterpret_cast<char*>(p->outBase) - static_cast<char*>(p->shareMem), 1600);
    Section_close(&s);
}

TEST(TestKoPhy, FitRuleAtTheDataSpaceLimit) {
    RunDir rd;
    phyWith({"chNumRx=64", "chNumTx=64", "bufMs=12"});
    EXPECT_TRUE(AudioPhy_hasShareMem()); // 48 x 128 x 12 = 73728
    phyWith({"chNumRx=64", "chNumTx=64", "bufMs=16"});
    EXPECT_TRUE(AudioPhy_hasShareMem()); // 98304: exactly the data space
    AudioPhy_destroy();
    phyWith({"chNumRx=64", "chNumTx=64", "bufMs=17"});
    EXPECT_FALSE(AudioPhy_hasShareMem()); // one block too many: the driver's engine
    Section s;
    EXPECT_FALSE(Section_open(SHAREMEM_NAME, &s));
    phyWith({"bufMs=1"});
    EXPECT_FALSE(AudioPhy_hasShareMem());
    phyWith({"bufMs=0"});
    EXPECT_FALSE(AudioPhy_hasShareMem());
    phyWith({"bufMs=-3"});
    EXPECT_FALSE(AudioPhy_hasShareMem());
    AudioPhy* p = phyWith({"sampleRate=96000"});
    EXPECT_EQ(p->framesPerPeriod.load(), 96);
    EXPECT_EQ(p->mask, 1u);
    EXPECT_TRUE(AudioPhy_hasShareMem());
    // A rate below 1 kHz has no frame per period: no section (and no division by zero).
    p = phyWith({"sampleRate=500"});
    EXPECT_EQ(p->framesPerPeriod.load(), 0);
    EXPECT_FALSE(AudioPhy_hasShareMem());
}

TEST(TestKoPhy, ChannelCountsStayInsideTheTables) {
    RunDir rd;
    AudioPhy* p = phyWith({"chNumRx=200", "chNumTx=-4", "bufMs=2"});
    EXPECT_EQ(p->phyRx.load(), PHY_MAX_CH_NUM);
    EXPECT_EQ(p->phyTx.load(), 0);
    ASSERT_TRUE(AudioPhy_hasShareMem());
    Section s;
    ASSERT_TRUE(Section_open(SHAREMEM_NAME, &s));
    EXPECT_EQ(u32At(s.base, 8), 128u);
    EXPECT_EQ(u32At(s.base, 12), 0u);
    Section_close(&s);
}

TEST(TestKoPhy, ProducerBlockStepsFollowTheCounter) {
    RunDir rd;
    AudioPhy* p = phyWith({"chNumRx=3", "chNumTx=5", "bufMs=3"});
    ASSERT_TRUE(AudioPhy_hasShareMem());
    char* base = static_cast<char*>(p->shareMem);
    const uint32_t F = 48, R = 3;
    std::atomic<uint64_t>* counter = ShareMem_counter(base);
    for (uint64_t k = 0; k < 7; ++k) {
        const uint32_t slot = uint32_t(k % R);
        // The host wrote channel 2 of frame 47 of this slot.
        int32_t* hostA = reinterpret_cast<int32_t*>(base + ShareMem_offA(F, 3, slot, 47, 2));
        *hostA = int32_t(0x1000 + k);
        AudioPhyBlock in{}, out{};
        ASSERT_TRUE(AudioPhy_inputBlock(&in));
        ASSERT_TRUE(AudioPhy_outputBlock(&out));
        EXPECT_EQ(in.frames, 48);
        EXPECT_EQ(in.chNum, 3);
        EXPECT_EQ(in.strideSamples, 3);
        EXPECT_EQ(out.chNum, 5);
        EXPECT_EQ(out.strideSamples, 5);
        EXPECT_EQ(in.samples[47 * 3 + 2], int32_t(0x1000 + k));
        EXPECT_EQ(reinterpret_cast<char*>(in.samples) - base, ptrdiff_t(ShareMem_offA(F, 3, slot, 0, 0)));
        EXPECT_EQ(reinterpret_cast<char*>(out.samples) - base,
                  ptrdiff_t(ShareMem_offB(F, 3, 5, R, slot, 0, 0)));
        out.samples[47 * 5 + 4] = int32_t(k + 1); // last sample of the block
        AudioPhy_clearInputBlock();
        for (uint32_t j = 0; j < F * 3; ++j) ASSERT_EQ(in.samples[j], 0);
        EXPECT_EQ(counter->load(std::memory_order_acquire), k);
        AudioPhy_periodDone();
        EXPECT_EQ(counter->load(std::memory_order_acquire), k + 1);
        EXPECT_EQ(AudioPhy_counter(), k + 1);
        // The written sample sits where the consumer looks for block k.
        int32_t seen;
        std::memcpy(&seen, base + ShareMem_offB(F, 3, 5, R, slot, 47, 4), 4);
        EXPECT_EQ(seen, int32_t(k + 1));
    }
    // Counts and frames set by commands shrink the block the period sees, never widen it.
    p->phyRx.store(128);
    p->phyTx.store(1);
    p->framesPerPeriod.store(4096);
    AudioPhyBlock in{}, out{};
    AudioPhy_inputBlock(&in);
    AudioPhy_outputBlock(&out);
    EXPECT_EQ(in.chNum, 3);
    EXPECT_EQ(in.frames, 48);
    EXPECT_EQ(out.chNum, 1);
    p->framesPerPeriod.store(12);
    AudioPhy_inputBlock(&in);
    EXPECT_EQ(in.frames, 12);

    // No section: empty blocks, and the steps do nothing.
    AudioPhy_destroy();
    EXPECT_FALSE(AudioPhy_inputBlock(&in));
    EXPECT_EQ(in.samples, nullptr);
    AudioPhy_clearInputBlock();
    AudioPhy_periodDone();
    EXPECT_EQ(AudioPhy_counter(), 0u);
}

TEST(TestKoStart, InitChoosesThePathAndThreadKoReportsBufMs) {
    RunDir rd;
    char p0[] = "VelunorRoute", b1[] = "bufMs=1", d[] = "domain=5", m[] = "ptpMode=7", pl[] = "poll";
    char* argv1[] = {p0, b1, d, m, pl};
    ASSERT_EQ(init_ko(5, argv1), 0);
    EXPECT_FALSE(Msg_koInProcess());
    EXPECT_EQ(Ko_rtpSocket(), -1);
    EXPECT_EQ(Ko_ptpDomain(), 5);
    EXPECT_EQ(Ko_ptpMode(), 7u);
    EXPECT_STREQ(Ko_bindIpText(), "192.168.10.224");
    testing::internal::CaptureStdout();
    thread_ko(); // no section: says so and ends
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "=== bufMs=0 poll=1 \n");

    // With the section: the RTP socket on the bind address, requests handled in process.
    char ip[] = "bindIp=127.0.0.1";
    char* argv2[] = {p0, ip};
    ASSERT_EQ(init_ko(2, argv2), 0);
    EXPECT_TRUE(AudioPhy_hasShareMem());
    EXPECT_TRUE(Msg_koInProcess());
    EXPECT_GE(Ko_rtpSocket(), 0);
    EXPECT_STREQ(Ko_bindIpText(), "127.0.0.1");
    EXPECT_EQ(RtpAudio_getRtpSocket(), Ko_rtpSocket());
    EXPECT_EQ(RtpAudio_getDscp(), 34);
    EXPECT_EQ(RtpAudio_getPayloadType(), 97);
    EXPECT_EQ(RtpAudio_getSampleRate(), 48000);
    EXPECT_EQ(RtpAudio_getFramesPerPeriod(), 48);
}
