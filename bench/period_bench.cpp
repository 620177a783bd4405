// Cost of one engine period (TimerManager_period over the virtual phy) and of packet
// input. The program moves itself into a network namespace of its own first (root), so
// its datagrams, multicast ones included, stay inside it; without that it sends only
// unicast datagrams to 127.0.0.1 and says so.
//
//   period_bench                               all cases
//   period_bench --benchmark_filter=Max        the maximum configuration only
// Figures: CPU time per period (the "CPU" column); arg = send mode: 0 one send per
// datagram, 1 sendmmsg (default), 2 sendmmsg with UDP_SEGMENT for equal datagrams to one
// destination (the 128 unicast streams here all go to one sink).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <string>
#include <unistd.h>

#include "engine/AudioPhy.h"
#include "engine/TimerManager_c.h"
#include "engine/rtp/RtpAudio.h"
#include "platform/net.h"

namespace {

bool g_netns = false;
int g_rtp = -1, g_sink = -1;
constexpr uint32_t kLo = 0x7F000001u;
constexpr uint16_t kSinkPort = 7000;

void onceSetup() {
    static bool done = false;
    if (done) return;
    done = true;
    static char dir[] = "/tmp/velunor-pb-XXXXXX";
    if (mkdtemp(dir)) {
        setenv("VELUNOR_RUNDIR", dir, 1);
        std::atexit([] {
            AudioPhy_destroy();
            std::string rm = std::string("rm -rf ") + dir;
            if (std::system(rm.c_str()) != 0) std::printf("could not remove %s\n", dir);
        });
    }
    if (unshare(CLONE_NEWNET) == 0)
        g_netns = std::system("ip link set lo up && ip route add 224.0.0.0/4 dev lo") == 0;
    std::printf("network namespace of our own: %s\n", g_netns ? "yes (multicast sent on its loopback)"
                                                               : "no (multicast streams left out)");
}

AudioPhy* startEngine(int chRx, int chTx) {
    onceSetup();
    std::string a2 = "chNumRx=" + std::to_string(chRx), a3 = "chNumTx=" + std::to_string(chTx);
    char* argv[] = {const_cast<char*>("bench"), const_cast<char*>("sampleRate=48000"), a2.data(), a3.data(),
                    const_cast<char*>("bufMs=4")};
    AudioPhy* phy = AudioPhy_virtual_new(5, argv);
    RtpAudio_reset();
    AudioPhyBlock out{};
    AudioPhy_outputBlock(&out);
    RtpOutBlockDesc d{phy->phyTx.load(), phy->framesPerPeriod.load(), out.samples, phy->outStride};
    RtpAudio_afterDspPrepare(phy->phyRx.load(), &d, phy->sampleRate.load());
    TimerManager_reset();
    TimerManager_setPhy(phy);
    for (int i = 0; i < AUDIOPHY_GAIN_SLOTS; ++i) phy->gain[i].store(GAIN_UNITY_Q20);
    if (g_rtp < 0) {
        g_rtp = Net_udpSocketTry(0, RTP_PORT);
        Net_setSndBuf(g_rtp, 4 << 20);
        if (g_netns) Net_setMcastIf(g_rtp, kLo);
        // The unicast sink: the kernel delivers into it, nobody reads it (drops when full).
        g_sink = Net_udpSocketTry(kLo, kSinkPort);
    }
    RtpAudio_setRtpSocket(g_rtp);
    return phy;
}

void fillInput(AudioPhy* phy) {
    AudioPhyBlock in{};
    AudioPhy_inputBlock(&in);
    for (int k = 0; k < in.frames; ++k)
        for (int c = 0; c < in.chNum; ++c) in.samples[k * in.strideSamples + c] = (k * 977 + c * 131) << 12;
    (void)phy;
}

void runPeriods(benchmark::State& state, AudioPhy* phy) {
    RtpAudio_setBatchSend(int(state.range(0)));
    int64_t c = 1000LL * 1000000000LL;
    TimerManager_period(c);
    for (auto _ : state) {
        state.PauseTiming();
        fillInput(phy);
        state.ResumeTiming();
        c += 1000000;
        TimerManager_period(c);
    }
    state.SetItemsProcessed(state.iterations());
}

// Defaults: 2 + 2 channels, one multicast stream out (L24 stereo), one in, routed.
void BM_PeriodDefaults(benchmark::State& state) {
    AudioPhy* phy = startEngine(2, 2);
    char reason[256];
    int32_t map[2] = {0, 1};
    uint8_t mac[6] = {};
    sdpInfo tx{kLo, g_netns ? 0xEF450101u : 0u, RTP_PORT, uint8_t(g_netns ? 2 : 0), 3, 0};
    RtpAudio_setMcastTx(0, &tx, map, 2, mac, reason, sizeof reason);
    sdpInfo rx{0x0A000001u, 0xEF450102u, RTP_PORT, 2, 3, 0};
    RtpAudio_setMcastRx(0, &rx, map, 2, reason, sizeof reason);
    RtpAudio_setChRx(map, 2);
    runPeriods(state, phy);
}
BENCHMARK(BM_PeriodDefaults)->Arg(1)->Unit(benchmark::kMicrosecond);

// Maximum: 128 + 128 channels, all 16 multicast streams (8 x L24) and 128 unicast streams
// (8 x L24 each) sent, 128 receive channels played through 16 multicast receive streams.
void BM_PeriodMax(benchmark::State& state) {
    AudioPhy* phy = startEngine(128, 128);
    char reason[256];
    uint8_t mac[6] = {};
    RtpAudio_setNum(RTP_UCAST_TX, 128, reason, sizeof reason);
    for (int i = 0; i < 128; ++i) {
        int32_t map[8];
        for (int j = 0; j < 8; ++j) map[j] = (i * 8 + j) % 128;
        sdpInfo u{kLo, kLo, kSinkPort, 8, 3, uint32_t(i)};
        if (RtpAudio_setUcastTx(i, &u, map, 8, mac, reason, sizeof reason) != 0) std::printf("%s\n", reason);
    }
    for (int i = 0; i < 16; ++i) {
        int32_t map[8];
        for (int j = 0; j < 8; ++j) map[j] = i * 8 + j;
        sdpInfo m{kLo, 0xEF450100u + uint32_t(i), RTP_PORT, uint8_t(g_netns ? 8 : 0), 3, 0};
        RtpAudio_setMcastTx(i, &m, map, 8, mac, reason, sizeof reason);
        sdpInfo r{0x0A000001u, 0xEF460100u + uint32_t(i), RTP_PORT, 8, 3, 0};
        RtpAudio_setMcastRx(i, &r, map, 8, reason, sizeof reason);
    }
    int32_t route[128];
    for (int i = 0; i < 128; ++i) route[i] = i;
    RtpAudio_setChRx(route, 128);
    RtpAudio_setChTx(route, 128); // every receive channel fed by the local copy: all copied
    runPeriods(state, phy);
}
BENCHMARK(BM_PeriodMax)->Arg(1)->Arg(0)->Arg(2)->Unit(benchmark::kMicrosecond);

// Packet input of one 8-channel L24 multicast datagram (1 ms), within the buffer.
void BM_PacketInputL24x8(benchmark::State& state) {
    startEngine(8, 8);
    char reason[256];
    int32_t map[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    sdpInfo r{0x0A000001u, 0xEF460100u, RTP_PORT, 8, 3, 0};
    RtpAudio_setMcastRx(0, &r, map, 8, reason, sizeof reason);
    static int32_t out[48 * 8];
    const uint32_t T = 480000;
    RtpAudio_periodRx(out, 8, 8, T);
    static uint8_t payload[12 + 48 * 8 * 3], pkt[28 + sizeof payload];
    payload[0] = 0x80;
    payload[1] = 97;
    uint32_t ts = T + 48 - 192 + 48;
    payload[4] = uint8_t(ts >> 24);
    payload[5] = uint8_t(ts >> 16);
    payload[6] = uint8_t(ts >> 8);
    payload[7] = uint8_t(ts);
    size_t n = RtpAudio_wrapDatagram(pkt, sizeof pkt, payload, sizeof payload, 0x0A000002u, 5004, 0xEF460100u, RTP_PORT);
    for (auto _ : state) {
        RtpAudio_packetInput(pkt, n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PacketInputL24x8);

}  // namespace

BENCHMARK_MAIN();
