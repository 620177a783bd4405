// One engine synchronisation cycle (periodWork_syncToKo) with the largest tables: 128 + 128
// unicast and 16 + 16 multicast streams, 128 channels each way, against the in-process
// engine handler. "Converged" is the steady state (everything read, nothing pushed);
// "AllChanged" pushes every stream entry, both channel maps and every gain and mute.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "engine/AudioPhy.h"
#include "engine/Msg.h"
#include "engine/rtp/RtpAudio.h"
#include "route/periodWork.h"
#include "route/routeApi.h"
#include "route/routeImpl_c.h"

namespace {

void setUp() {
    static bool done = false;
    if (done) return;
    done = true;
    char run[] = "/tmp/velunor-bench-XXXXXX";
    if (mkdtemp(run)) {
        setenv("VELUNOR_RUNDIR", run, 1);
        setenv("VELUNOR_ROOT", run, 1);
    }
    char a1[] = "sampleRate=48000", a2[] = "chNumRx=128", a3[] = "chNumTx=128", a4[] = "bufMs=0";
    char* argv[] = {const_cast<char*>("VelunorRoute"), a1, a2, a3, a4};
    AudioPhy* phy = AudioPhy_virtual_new(5, argv);
    RtpAudio_reset();
    RtpOutBlockDesc d{phy->phyTx.load(), phy->framesPerPeriod.load(), nullptr, 0};
    RtpAudio_afterDspPrepare(phy->phyRx.load(), &d, phy->sampleRate.load());
    char reason[256];
    RtpAudio_setNum(RTP_UCAST_TX, 128, reason, sizeof reason);
    RtpAudio_setNum(RTP_UCAST_RX, 128, reason, sizeof reason);
    RtpAudio_setNum(RTP_MCAST_TX, 16, reason, sizeof reason);
    RtpAudio_setNum(RTP_MCAST_RX, 16, reason, sizeof reason);
    Msg_setKoInProcess(true);
    g_routeArgs = RouteArgs{};
    g_routeArgs.model = "rEduVuzi";
    g_routeArgs.devId = "devA";
    g_routeArgs.filePath = "C:/route";
    Dev_init(-1, -1, 0x0A000001u, 0xEF0000BCu, 0, 9996, 97);
}

// Every stream entry in use; variant shifts the values so that the next cycle must push.
void fill(uint32_t variant) {
    for (int i = 0; i < 128; i++) {
        SdpTx& t = g_dev.ucastArrTx[i];
        t.sdp = sdpInfo{0x0A000001u, 0x0A000100u + uint32_t(i), 5004, 8, 3, variant};
        for (int k = 0; k < 8; k++) t.srcChId[k] = (i + k) % 128;
        std::memset(t.dstMac, 0xFF, 6);
        SdpRx& r = g_dev.ucastArrRx[i];
        r.sdp = sdpInfo{0x0A000100u + uint32_t(i), 0x0A000001u, 5004, 1, 3, variant + uint32_t(i)};
        r.rtpChId[0] = i;
        g_dev.rtpChId[i] = int32_t((i + variant) % 128);
        g_dev.phyGainTx[i] = -float(variant % 7);
        g_dev.phyMuteRx[i] = int32_t(variant & 1);
    }
    for (int i = 0; i < 16; i++) {
        SdpTx& t = g_dev.mcastArrTx[i];
        t.sdp = sdpInfo{0x0A000001u, 0xEF010100u + uint32_t(i), 5004, 8, 3, variant};
        for (int k = 0; k < 8; k++) t.srcChId[k] = k;
        Dev_mcastMac(t.sdp.dstIp, t.dstMac);
        SdpRx& r = g_dev.mcastArrRx[i];
        r.sdp = sdpInfo{0x0A000200u, 0xEF020100u + uint32_t(i), 5004, 8, 3, variant};
        for (int k = 0; k < 8; k++) r.rtpChId[k] = k;
    }
}

void BM_SyncConverged(benchmark::State& st) {
    setUp();
    fill(1);
    periodWork_syncToKo();
    for (auto _ : st) periodWork_syncToKo();
    st.SetLabel("128+128 ucast, 16+16 mcast, 128 ch, nothing to push");
}
BENCHMARK(BM_SyncConverged)->Unit(benchmark::kMicrosecond);

void BM_SyncAllChanged(benchmark::State& st) {
    setUp();
    uint32_t v = 2;
    for (auto _ : st) {
        st.PauseTiming();
        fill(v++);
        st.ResumeTiming();
        periodWork_syncToKo();
    }
    st.SetLabel("every entry, both maps, every gain and mute pushed");
}
BENCHMARK(BM_SyncAllChanged)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
