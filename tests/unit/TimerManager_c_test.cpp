// Period timing and the period itself, over the real virtual phy (a section in a
// private run directory) and, for the loop, real datagrams in a network namespace of
// the program's own.
#include "engine/TimerManager_c.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/AudioPhy.h"
#include "engine/rtp/RtpAudio.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/rtprio.h"
#include "platform/timer.h"

namespace {

bool g_netns = false;

class Env : public ::testing::Environment {
  public:
    void SetUp() override {
        if (mkdtemp(dir_)) setenv("VELUNOR_RUNDIR", dir_, 1);
        if (unshare(CLONE_NEWNET) == 0) g_netns = std::system("ip link set lo up") == 0;
    }
    void TearDown() override {
        std::string cmd = std::string("rm -rf ") + dir_;
        if (std::system(cmd.c_str()) != 0) std::printf("could not remove %s\n", dir_);
    }

  private:
    char dir_[32] = "/tmp/velunor-tm-XXXXXX";
};
const auto* g_env = ::testing::AddGlobalTestEnvironment(new Env);

constexpr int P = 48;
constexpr int64_t kS = 1000000000LL;

// Start-up as the engine does it: phy, stream layer, timing.
AudioPhy* start(int chRx = 2, int chTx = 2, int rate = 48000) {
    std::string a1 = "sampleRate=" + std::to_string(rate), a2 = "chNumRx=" + std::to_string(chRx),
                a3 = "chNumTx=" + std::to_string(chTx);
    char* argv[] = {const_cast<char*>("VelunorRoute"), a1.data(), a2.data(), a3.data(), const_cast<char*>("bufMs=4")};
    AudioPhy* phy = AudioPhy_virtual_new(5, argv);
    EXPECT_TRUE(AudioPhy_hasShareMem());
    RtpAudio_reset();
    AudioPhy_connectEngine(phy);
    TimerManager_reset();
    TimerManager_setPhy(phy);
    return phy;
}

}  // namespace

TEST(TimerManager, TimestampsCatchUpAndRealignment) {
    start();
    EXPECT_EQ(TimerManager_nsToFrames(kS + 500000000LL, 48000), 72000u);
    EXPECT_EQ(TimerManager_nsToFrames(-1, 48000), uint64_t(-1)); // floor below zero
    const int64_t s0 = 1000 * kS; // 1000 s: 48,000,000 frames, whole periods
    EXPECT_EQ(TimerManager_catchUp(s0), 1); // the first period always re-aligns
    EXPECT_EQ(TimerManager_getRstRtp(), 1u);
    EXPECT_EQ(TimerManager_getRtpTs(), 48000000u);
    EXPECT_EQ(RtpAudio_getNow(), 48000000u);
    EXPECT_EQ(TimerManager_getErrorNs(), 0);

    const uint32_t F0 = 48000000u;
    EXPECT_EQ(TimerManager_catchUp(s0 + 1000000), 1);
    EXPECT_EQ(TimerManager_getRtpTs(), F0 + 48u);
    EXPECT_EQ(TimerManager_getPollCur(), 0);
    EXPECT_EQ(TimerManager_getErrorNs(), 0);
    EXPECT_EQ(TimerManager_catchUp(s0 + 2000000), 1);
    // Woken 2.5 ms late (lag 120 frames > 2P): four periods in one wake-up.
    EXPECT_EQ(TimerManager_catchUp(s0 + 5500000), 4);
    EXPECT_EQ(TimerManager_getRtpTs(), F0 + 96u + 4u * 48u);
    EXPECT_EQ(TimerManager_getPollCur(), 120);
    EXPECT_EQ(TimerManager_getPollMax(), 120);
    // The timestamp now stands for 6 ms while PTP time says 5.5 ms.
    EXPECT_EQ(TimerManager_getErrorNs(), -500000);
    // A wake-up runs the periods whose time is at most half a period ahead of PTP time:
    // lag 60 two (to 8 ms at 8.25), lag -20 one (9 ms at 8.6), lag -39 none (10 ms would
    // be 0.8 ms ahead at 9.2), lag 10 one (10 ms at 10.21).
    EXPECT_EQ(TimerManager_catchUp(s0 + 8250000), 2);
    EXPECT_EQ(TimerManager_getPollCur(), 60);
    EXPECT_EQ(TimerManager_catchUp(s0 + 8600000), 1);
    EXPECT_EQ(TimerManager_getRtpTs(), F0 + 432u);
    EXPECT_EQ(TimerManager_catchUp(s0 + 9200000), 0);
    EXPECT_EQ(TimerManager_getPollCur(), 39);
    EXPECT_EQ(TimerManager_getRtpTs(), F0 + 432u);
    EXPECT_EQ(TimerManager_catchUp(s0 + 10210000), 1);
    EXPECT_EQ(TimerManager_getPollCur(), 10);
    EXPECT_EQ(TimerManager_getRtpTs(), F0 + 480u);
    EXPECT_EQ(TimerManager_getRstRtp(), 1u);

    // +1 s of PTP offset: a lag of about 48000 frames re-aligns, rstRtp grows. Behind, the
    // new time line starts two periods back: three periods run, the last one now.
    TimerManager_setPtpOffsetNs(kS);
    EXPECT_EQ(TimerManager_getPtpOffsetNs(), kS);
    EXPECT_EQ(TimerManager_catchUp(s0 + 12000000), 3);
    EXPECT_EQ(TimerManager_getRstRtp(), 2u);
    EXPECT_EQ(TimerManager_getRtpTs(), TimerManager_nsToFrames(s0 + 12000000 + kS, 48000));
    EXPECT_EQ(TimerManager_getPollMax(), 48000 + 576 - 48 - 480);
    EXPECT_EQ(TimerManager_catchUp(s0 + 13000000), 1);
    EXPECT_EQ(TimerManager_getRstRtp(), 2u);
    // Behind by more than three periods: re-aligned two periods back instead of replayed
    // from where it stopped.
    EXPECT_EQ(TimerManager_catchUp(s0 + 18000000), 3);
    EXPECT_EQ(TimerManager_getRstRtp(), 3u);
    EXPECT_EQ(TimerManager_getRtpTs(), TimerManager_nsToFrames(s0 + 18000000 + kS, 48000));
    // Ahead by more than three periods (the offset stepped back 10 ms): re-aligned.
    TimerManager_setPtpOffsetNs(kS - 10000000);
    EXPECT_EQ(TimerManager_catchUp(s0 + 19000000), 1);
    EXPECT_EQ(TimerManager_getRstRtp(), 4u);
    TimerManager_resetPerformStats();
    EXPECT_EQ(TimerManager_getPollMax(), 0);

    // resetRtpTs only in the running state (2), which this engine never enters.
    char reason[256] = "";
    EXPECT_LT(TimerManager_resetRtpTs(reason, sizeof reason), 0);
    EXPECT_NE(std::string(reason).find("error at: file=TimerManager_c func=TimerManager_resetRtpTs line="),
              std::string::npos);
    EXPECT_NE(std::string(reason).find("msg=can not modify when working"), std::string::npos);
    TimerManager_setDeviceStatus(2);
    EXPECT_EQ(TimerManager_resetRtpTs(reason, sizeof reason), 0);
    EXPECT_EQ(TimerManager_catchUp(s0 + 15000000), 1);
    EXPECT_EQ(TimerManager_getRstRtp(), 5u);
    AudioPhy_destroy();
}

// Periods start on multiples of P of the media clock. Wake-ups on a fixed 1 ms grid,
// late by 60 us and 10 us in turn (ordinary timer jitter): each one runs exactly one period, none is skipped and none runs two. A second
// wake-up within the same tick runs nothing. Under any lateness up to 0.9 ms the period
// time stays within half a period of PTP time, so a datagram (stamped a period before its
// period's time) trails the media clock at sending by between half a period and one and
// a half.
TEST(TimerManager, JitteredWakeUpsKeepThePeriodTimeOnTheMediaClock) {
    start();
    const int64_t s0 = 1000 * kS;
    ASSERT_EQ(TimerManager_catchUp(s0 + 60000), 1); // re-aligns
    const uint64_t ts0 = TimerManager_getRtpTs();
    EXPECT_EQ(ts0, 48000000u) << "periods start on the nearest multiple of P (48000002 frames now)";
    int ran[5] = {};
    for (int k = 1; k <= 40; ++k) {
        const int64_t now = s0 + k * 1000000LL + (k % 2 ? 10000 : 60000);
        const int n = TimerManager_catchUp(now);
        ASSERT_LE(n, 2) << "wake-up " << k;
        ran[n]++;
    }
    EXPECT_EQ(ran[1], 40) << "skipped " << ran[0] << ", doubled " << ran[2];
    EXPECT_EQ(TimerManager_getRtpTs(), ts0 + 40u * 48u);
    const int64_t last = s0 + 40 * 1000000LL + 60000;
    EXPECT_EQ(TimerManager_catchUp(last + 300000), 0) << "a second wake-up for the same tick";
    EXPECT_EQ(TimerManager_catchUp(last + 950000), 1);

    uint32_t x = 12345;
    for (int k = 42; k < 2042; ++k) {
        x = x * 1103515245u + 12345u;
        const int64_t now = s0 + k * 1000000LL + int64_t((x >> 8) % 900000u);
        TimerManager_catchUp(now);
        const int64_t ahead = int64_t(TimerManager_getRtpTs()) - int64_t(TimerManager_nsToFrames(now, 48000));
        ASSERT_GT(ahead, -P / 2) << "wake-up " << k;
        ASSERT_LE(ahead, P / 2) << "wake-up " << k;
    }
    EXPECT_EQ(TimerManager_getRstRtp(), 1u);
    AudioPhy_destroy();
}

TEST(TimerManager, PeriodGainMuteToneAndBlocks) {
    AudioPhy* phy = start(2, 2);
    AudioPhy_setAllGains(phy, GAIN_UNITY_Q20);
    AudioPhy_setGain(phy, 1, 2 * GAIN_UNITY_Q20);
    AudioPhy_setMute(phy, AUDIOPHY_OUT_SLOT(1), 1);
    // RTP transmit channel c -> receive channel c -> output c (local copy).
    int32_t route[2] = {0, 1};
    RtpAudio_setChTx(route, 2);
    RtpAudio_setChRx(route, 2);

    AudioPhyBlock in{}, out{};
    int64_t c = 1000 * kS;
    TimerManager_period(c); // re-aligns; read position starts here
    for (int n = 0; n < 3; ++n) {
        c += 1000000;
        ASSERT_TRUE(AudioPhy_inputBlock(&in));
        ASSERT_TRUE(AudioPhy_outputBlock(&out));
        ASSERT_EQ(in.strideSamples, 2);
        for (int k = 0; k < P; ++k) {
            in.samples[k * 2] = 0x10000 * (k + 1);
            in.samples[k * 2 + 1] = k % 2 ? 0x40000001 : -0x40000001; // doubled: saturates
        }
        const uint64_t before = AudioPhy_counter();
        TimerManager_period(c);
        EXPECT_EQ(AudioPhy_counter(), before + 1);
        for (int k = 0; k < P; ++k) {
            ASSERT_EQ(in.samples[k * 2], 0) << "input block cleared";
            ASSERT_EQ(in.samples[k * 2 + 1], 0);
            ASSERT_EQ(out.samples[k * 2], 0x10000 * (k + 1)) << k; // unity passes unchanged
            ASSERT_EQ(out.samples[k * 2 + 1], 0) << k;              // muted output
        }
    }
    // Input channel 1 doubled and saturated on the way to the network.
    AudioPhy_setMute(phy, AUDIOPHY_OUT_SLOT(1), 0);
    ASSERT_TRUE(AudioPhy_inputBlock(&in));
    ASSERT_TRUE(AudioPhy_outputBlock(&out));
    for (int k = 0; k < P; ++k) in.samples[k * 2 + 1] = k % 2 ? 0x40000001 : -0x40000001;
    in.samples[1] = 0x100;
    TimerManager_period(c += 1000000);
    EXPECT_EQ(out.samples[1], 0x200);
    EXPECT_EQ(out.samples[3], 0x7FFFFFFF);
    EXPECT_EQ(out.samples[5], INT32_MIN);
    EXPECT_EQ(out.samples[7], 0x7FFFFFFF);
    // Input mute wins over gain.
    AudioPhy_setMute(phy, 0, 1);
    ASSERT_TRUE(AudioPhy_inputBlock(&in));
    ASSERT_TRUE(AudioPhy_outputBlock(&out));
    for (int k = 0; k < P; ++k) in.samples[k * 2] = 12345;
    TimerManager_period(c += 1000000);
    EXPECT_EQ(out.samples[0], 0);
    AudioPhy_setMute(phy, 0, 0);

    // A tone on output channel 0 repeats every 24 frames, across periods.
    phy->toneSide.store(1);
    phy->toneCh.store(0);
    std::vector<int32_t> tone;
    for (int n = 0; n < 2; ++n) {
        ASSERT_TRUE(AudioPhy_outputBlock(&out));
        TimerManager_period(c += 1000000);
        for (int k = 0; k < P; ++k) tone.push_back(out.samples[k * 2]);
    }
    const int first = int(std::find(tone.begin(), tone.end(), 127 << 21) - tone.begin());
    ASSERT_LT(first, 24);
    for (size_t k = 0; k < tone.size(); ++k) {
        EXPECT_EQ(tone[k], TimerManager_toneValue(int(k) - first + 6) * (1 << 21)) << k;
        if (k >= 24) {
            EXPECT_EQ(tone[k], tone[k - 24]);
        }
    }
    EXPECT_EQ(TimerManager_toneValue(3), 89);
    EXPECT_EQ(TimerManager_toneValue(18), -127);
    // A tone channel beyond the channels, or off, writes nothing.
    phy->toneCh.store(2);
    ASSERT_TRUE(AudioPhy_outputBlock(&out));
    TimerManager_period(c += 1000000);
    for (int k = 0; k < P * 2; ++k) EXPECT_EQ(out.samples[k], 0);

    // A command shrinking the counts or frames never moves the period outside its block.
    phy->toneCh.store(-1);
    phy->phyRx.store(100);
    phy->phyTx.store(100);
    phy->framesPerPeriod.store(4000);
    TimerManager_period(c += 1000000);
    phy->framesPerPeriod.store(P);
    // Fewer output channels than the ring has: the channel left out plays silence, not
    // what the engine left there a ring cycle earlier (the tone, here).
    phy->toneCh.store(1);
    for (int n = 0; n < 4; ++n) TimerManager_period(c += 1000000);
    phy->toneCh.store(-1);
    phy->phyTx.store(1);
    for (int n = 0; n < 4; ++n) { // every ring slot once
        ASSERT_TRUE(AudioPhy_outputBlock(&out));
        int32_t before = 0;
        for (int k = 0; k < P; ++k) before |= out.samples[k * 2 + 1];
        ASSERT_NE(before, 0);
        TimerManager_period(c += 1000000);
        for (int k = 0; k < P; ++k) ASSERT_EQ(out.samples[k * 2 + 1], 0) << k;
    }
    phy->phyRx.store(2);
    phy->phyTx.store(2);

    // Meters of the phy: a constant 0x40000000 on input 0 for 43 periods (2064 frames).
    RtpMeter_clear(&phy->meterIn);
    for (int n = 0; n < 43; ++n) {
        ASSERT_TRUE(AudioPhy_inputBlock(&in));
        for (int k = 0; k < P; ++k) in.samples[k * 2] = 0x40000000;
        TimerManager_period(c += 1000000);
    }
    EXPECT_EQ(RtpMeter_get(&phy->meterIn, 0), uint32_t((uint64_t(2064) << 28) >> 11));
    EXPECT_EQ(RtpMeter_get(&phy->meterIn, 1), 0u);
    EXPECT_GT(RtpMeter_get(&phy->meterOut, 0), 0u);
    AudioPhy_destroy();
}

// A late wake-up finds the datagrams of the periods it makes up already waiting: each of
// those periods has to play its own, not leave it in the socket until the catch-up ends
// (by then it is behind the read position and dropped: whole periods of silence).
TEST(TimerManager, CatchUpPeriodsPlayDatagramsThatWereWaiting) {
    if (!g_netns) GTEST_SKIP() << "no network namespace of our own (needs CAP_SYS_ADMIN)";
    AudioPhy* phy = start(2, 2);
    AudioPhy_setAllGains(phy, GAIN_UNITY_Q20);
    int rtp = Net_udpSocketTry(0x7F000001u, 5004);
    int tx = Net_udpSocketTry(0x7F000001u, 5006);
    ASSERT_GE(rtp, 0);
    ASSERT_GE(tx, 0);
    ASSERT_EQ(Net_setPktInfo(rtp, 1), 0);
    const uint16_t port = 5004;
    RtpAudio_setRtpSocket(rtp);
    sdpInfo s{0x7F000001u, 0x7F000001u, port, 1, 3, 0};
    int32_t map[1] = {0};
    char reason[256];
    ASSERT_EQ(RtpAudio_setUcastRx(0, &s, map, 1, reason, sizeof reason), 0) << reason;
    int32_t route[2] = {0, -1};
    RtpAudio_setChRx(route, 2);

    const int64_t s0 = 1000 * kS;
    const uint32_t T0 = 48000000u;
    ASSERT_EQ(TimerManager_catchUp(s0), 1); // re-aligns: read time T0 + P
    const uint32_t L = uint32_t(RtpAudio_getLinkOffset());
    // The datagrams for the next three read times, all in before the wake-up.
    for (uint32_t j = 0; j < 3; ++j) {
        uint8_t pl[8 + 3 * P] = {0, 1, 0, 0};
        const uint32_t ts = T0 + (2 + j) * P - L;
        for (int b = 0; b < 4; ++b) pl[4 + b] = uint8_t(ts >> (24 - 8 * b));
        for (int k = 0; k < P; ++k) {
            const uint32_t x = 0x10000u * (j + 1) + uint32_t(k);
            pl[8 + 3 * k] = uint8_t(x >> 16);
            pl[9 + 3 * k] = uint8_t(x >> 8);
            pl[10 + 3 * k] = uint8_t(x);
        }
        ASSERT_EQ(Net_sendTo(tx, pl, sizeof pl, 0x7F000001u, port), int(sizeof pl));
    }
    const uint64_t first = AudioPhy_counter();
    // 2.5 ms: three periods at once, the last half a period ahead of PTP time. Its
    // datagram arrived L - P - 0.5 ms after its timestamp and plays.
    ASSERT_EQ(TimerManager_catchUp(s0 + 2500000), 3);
    for (uint32_t j = 0; j < 3; ++j) {
        const int32_t* b = phy->outBase + size_t((first + j) % phy->ringBufMs) * phy->ringFrames * phy->ringChTx;
        int wrong = 0;
        for (int k = 0; k < P; ++k)
            wrong += b[size_t(k) * phy->ringChTx] != int32_t((0x10000u * (j + 1) + uint32_t(k)) << 8);
        EXPECT_EQ(wrong, 0) << "period " << j << " of the catch-up, first sample " << b[0];
    }
    RtpRxStats st{};
    ASSERT_TRUE(RtpAudio_getRxStats(0, &st));
    EXPECT_EQ(st.total, 3u);
    RtpAudio_setRtpSocket(-1);
    Net_close(tx);
    Net_close(rtp);
    AudioPhy_destroy();
}

TEST(TimerManager, EngineLoopDrainsDatagramsWhileCommandsChangeStreams) {
    if (!g_netns) GTEST_SKIP() << "no network namespace of our own (needs CAP_SYS_ADMIN)";
    AudioPhy* phy = start(2, 2);
    AudioPhy_setAllGains(phy, GAIN_UNITY_Q20);
    int rtp = Net_udpSocketTry(0x7F000001u, 5004);
    ASSERT_GE(rtp, 0);
    RtpAudio_setRtpSocket(rtp);
    // Transmit stream 0 sends to our own RTP socket; receive stream 0 takes it.
    sdpInfo s{0x7F000001u, 0x7F000001u, 5004, 2, 3, 0};
    int32_t map[2] = {0, 1};
    uint8_t mac[6] = {};
    char reason[256];
    ASSERT_EQ(RtpAudio_setUcastTx(0, &s, map, 2, mac, reason, sizeof reason), 0) << reason;
    ASSERT_EQ(RtpAudio_setUcastRx(0, &s, map, 2, reason, sizeof reason), 0) << reason;
    RtpAudio_setChRx(map, 2);

    struct Wakes {
        std::atomic<int> n{0};
    } wakes;
    TimerManager_setPoll(false);
    std::thread engine([&] {
        TimerManager_runLoop(Clock_nowNs() + 3 * kS, [](int64_t late, int64_t, void* ctx) {
            EXPECT_GE(late, 0);
            static_cast<Wakes*>(ctx)->n.fetch_add(1);
        }, &wakes);
    });
    // Meanwhile the command side changes streams, routing and offsets and reads statistics.
    RtpRxStats st{};
    int total = 0;
    for (int i = 0; i < 400 && total < 50; ++i) {
        s.sampleByteNum = uint8_t(2 + i % 3);
        RtpAudio_setUcastTx(0, &s, map, 2, mac, reason, sizeof reason);
        RtpAudio_setUcastRx(0, &s, map, 2, reason, sizeof reason);
        int32_t r[2] = {i % 3 - 1, 1};
        RtpAudio_setChRx(r, 2);
        TimerManager_setPtpOffsetNs(int64_t(i) * 1000);
        RtpAudio_getRxStats(0, &st);
        RtpAudio_takeMaxDelayMs(0);
        total = int(st.total);
        uint32_t vol[2];
        RtpAudio_getVolumeRx(vol, 2);
        Clock_sleepMs(2);
    }
    TimerManager_requestStop();
    engine.join();
    EXPECT_GT(wakes.n.load(), 10);
    EXPECT_GT(AudioPhy_counter(), 10u);
    EXPECT_GT(total, 0) << "datagrams went round through the socket";
    RtpAudio_setRtpSocket(-1);
    Net_close(rtp);
    AudioPhy_destroy();
}

// Wake-ups are steered onto the media clock's period starts, whatever the phase: with a
// PTP offset that puts the running loop's wake-ups a third of a period after the starts,
// an unsteered loop would stay there, and each period would read its datagrams a third
// of a period after they were due.
TEST(TimerManager, WakeUpsFallOnPeriodStartsWhateverThePhase) {
    start(2, 2);
    TimerManager_setPoll(false);
    struct Wakes {
        int64_t at[1000];
        std::atomic<int> n{0};
    } w;
    std::thread loop([&] {
        // The expiry each wake-up was due at, not when it ran: a loaded machine may wake us
        // most of a period late, or hold us up between the wake-up and this call.
        TimerManager_runLoop(INT64_MAX, [](int64_t, int64_t due, void* ctx) {
            auto* p = static_cast<Wakes*>(ctx);
            const int i = p->n.load();
            if (i < 1000) p->at[i] = due;
            p->n.store(i + 1);
        }, &w);
    });
    auto phase = [](int64_t t) {
        const int64_t x = t % 1000000;
        return x >= 500000 ? x - 1000000 : x;
    };
    Clock_sleepMs(40);
    std::vector<int64_t> seen;
    for (int i = 5, n = w.n.load(); i < n && i < 1000; ++i) seen.push_back(w.at[i] % 1000000);
    ASSERT_GT(seen.size(), 10u);
    std::nth_element(seen.begin(), seen.begin() + seen.size() / 2, seen.end());
    const int64_t off = (1333333 - seen[seen.size() / 2]) % 1000000;
    const int from = w.n.load() + 5;
    TimerManager_setPtpOffsetNs(off);
    Clock_sleepMs(150);
    TimerManager_requestStop();
    loop.join();
    std::vector<int64_t> later;
    for (int i = from; i < w.n.load() && i < 1000; ++i) later.push_back(phase(w.at[i] + off));
    ASSERT_GT(later.size(), 50u);
    // Every expiry on a period's start: none before it (the period would then miss the
    // datagrams of its last quarter), none a quarter period after.
    for (int64_t x : later) {
        EXPECT_GE(x, -20000) << "an expiry before the period's start";
        EXPECT_LE(x, 250000) << "an expiry well after the period's start";
    }
    AudioPhy_destroy();
}

TEST(PlatformTimer, MissedExpiriesAreNotReplayedAndPriorityReportsItself) {
    PeriodTimer t;
    EXPECT_EQ(PeriodTimer_wait(&t), -1); // not started
    ASSERT_TRUE(PeriodTimer_start(&t, 1000000));
    const int64_t start = t.nextNs;
    const int64_t first = PeriodTimer_wait(&t); // the first expiry is at once
    EXPECT_GE(first, 0);
    // The next one period on, unless a loaded machine held us past it (then on the grid).
    if (first < 1000000) {
        EXPECT_EQ(t.nextNs, start + 1000000);
    }
    EXPECT_EQ((t.nextNs - start) % 1000000, 0);
    Clock_sleepMs(5); // miss about five expiries
    int64_t late = PeriodTimer_wait(&t);
    EXPECT_GE(late, 3000000);
    // The next expiry is on the grid and after now: one wake-up, not five.
    EXPECT_EQ((t.nextNs - start) % 1000000, 0);
    EXPECT_GT(t.nextNs, Clock_nowNs() - 1000000);
    EXPECT_LE(t.nextNs, Clock_nowNs() + 1000000);

    std::thread th([] {
        int r = RtPrio_setLevel(RTPRIO_CRITICAL, "test");
        EXPECT_TRUE(r == 0 || r == 1);
        EXPECT_EQ(RtPrio_isRealtime(), r == 0);
        EXPECT_EQ(RtPrio_setLevel(RTPRIO_NORMAL, "test"), 0);
        EXPECT_FALSE(RtPrio_isRealtime());
        EXPECT_EQ(RtPrio_setLevel(RtPrioLevel(9), "test"), -1);
    });
    th.join();
}
