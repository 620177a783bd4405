// Cost of one engine request through the dispatch (reqKo -> Msg_device_handleJson ->
// envelope), in process over the virtual phy: a cheap request (getSampleRate; target
// below 2 us) and a heavy one (getAllVolumeRx over 128 RTP receive channels, about 1.7 KB
// of reply). The RTP socket is bound to 127.0.0.1 and nothing is sent.
//
//   request_bench            Figures: CPU time per request (the "CPU" column).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "engine/AudioPhy.h"
#include "engine/Msg.h"
#include "engine/rtp/RtpAudio.h"
#include "engine/testKo_ko.h"

namespace {

void onceSetup() {
    static bool done = false;
    if (done) return;
    done = true;
    static char dir[] = "/tmp/velunor-rb-XXXXXX";
    if (mkdtemp(dir)) {
        setenv("VELUNOR_RUNDIR", dir, 1);
        std::atexit([] {
            AudioPhy_destroy();
            std::string rm = std::string("rm -rf ") + dir;
            if (std::system(rm.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir);
        });
    }
    char p0[] = "request_bench", rx[] = "chNumRx=128", tx[] = "chNumTx=128", b[] = "bufMs=2",
         ip[] = "bindIp=127.0.0.1";
    char* argv[] = {p0, rx, tx, b, ip};
    init_ko(5, argv);
    if (!Msg_koInProcess()) std::fprintf(stderr, "request_bench: no virtual phy, figures are meaningless\n");
}

void run(benchmark::State& state, const char* req, const char* expectPrefix) {
    onceSetup();
    char buf[MSG_KO_REQ_SIZE];
    size_t len = std::strlen(req);
    size_t replyLen = 0;
    for (auto _ : state) {
        std::memcpy(buf, req, len + 1);
        reqKo(buf, sizeof buf);
        benchmark::DoNotOptimize(buf);
    }
    replyLen = std::strlen(buf);
    if (std::strncmp(buf, expectPrefix, std::strlen(expectPrefix)) != 0) state.SkipWithError(buf);
    state.counters["replyBytes"] = double(replyLen);
}

void BM_getSampleRate(benchmark::State& state) {
    run(state, "{\"ops\":\"getSampleRate\"}", "{\"result\":\"succ\",\"sampleRate\":\"48000\"}");
}
BENCHMARK(BM_getSampleRate);

void BM_getAllVolumeRx128(benchmark::State& state) {
    onceSetup();
    state.counters["rxChannels"] = RtpAudio_getRxChNum();
    run(state, "{\"ops\":\"getAllVolumeRx\"}", "{\"result\":\"succ\",\"arr\":[");
}
BENCHMARK(BM_getAllVolumeRx128);

void BM_setMcastRx(benchmark::State& state) {
    run(state,
        "{\"ops\":\"setMcastRx\",\"sdp\":{\"srcIp\":\"10.0.0.1\",\"dstIp\":\"239.1.1.1\",\"dstPort\":\"5004\","
        "\"chNum\":\"8\",\"sampleByteNum\":\"3\",\"rtpTsOffset\":\"0\"},"
        "\"rtpChIdArr\":[\"0\",\"1\",\"2\",\"3\",\"4\",\"5\",\"6\",\"7\"],\"sdpId\":\"0\"}",
        "{\"result\":\"succ\"}");
}
BENCHMARK(BM_setMcastRx);

} // namespace

BENCHMARK_MAIN();
