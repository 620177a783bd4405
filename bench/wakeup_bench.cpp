// Wake-up lateness of the engine loop (TimerManager_runLoop, the body of thread_ko) with
// the engine at its defaults (2 + 2 channels, 48 kHz, one multicast stream out and in),
// with and without SCHED_FIFO. Prints median, p99, p99.9 and max in microseconds.
//
//   wakeup_bench [--seconds N] [--mode fifo|normal|both]     (default 2 s, both)
//
// Runs in a network namespace of its own when permitted (the stream is sent there).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "engine/AudioPhy.h"
#include "engine/TimerManager_c.h"
#include "engine/rtp/RtpAudio.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/rtprio.h"

namespace {

constexpr size_t kMaxSamples = 3600 * 1000; // one hour of 1 ms wake-ups
int64_t g_late[kMaxSamples];
std::atomic<size_t> g_count{0};
std::atomic<bool> g_fifoSeen{false};

void onWake(int64_t lateNs, int64_t, void*) {
    size_t i = g_count.load(std::memory_order_relaxed);
    if (i == 0) g_fifoSeen.store(RtPrio_isRealtime(), std::memory_order_relaxed);
    if (i < kMaxSamples) g_late[i] = lateNs;
    g_count.store(i + 1, std::memory_order_relaxed);
}

bool g_netns = false;

void startEngine() {
    char* argv[] = {const_cast<char*>("bench"), const_cast<char*>("bufMs=4")};
    AudioPhy* phy = AudioPhy_virtual_new(2, argv);
    RtpAudio_reset();
    AudioPhy_connectEngine(phy);
    TimerManager_reset();
    TimerManager_setPhy(phy);
    AudioPhy_setAllGains(phy, GAIN_UNITY_Q20);
    static int sock = -1;
    if (sock < 0) {
        sock = Net_udpSocketTry(0, RTP_PORT);
        if (g_netns) Net_setMcastIf(sock, 0x7F000001u);
    }
    RtpAudio_setRtpSocket(sock);
    if (g_netns) {
        char reason[256];
        int32_t map[2] = {0, 1};
        uint8_t mac[6] = {};
        sdpInfo tx{0x7F000001u, 0xEF450101u, RTP_PORT, 2, 3, 0};
        RtpAudio_setMcastTx(0, &tx, map, 2, mac, reason, sizeof reason);
        sdpInfo rx{0x7F000001u, 0xEF450101u, RTP_PORT, 2, 3, 0};
        RtpAudio_setMcastRx(0, &rx, map, 2, reason, sizeof reason);
        RtpAudio_setChRx(map, 2);
    }
}

void runCase(bool fifo, double seconds) {
    startEngine();
    TimerManager_setRealtime(fifo);
    g_count.store(0);
    std::thread t([seconds] {
        TimerManager_runLoop(Clock_nowNs() + int64_t(seconds * 1e9), onWake, nullptr);
    });
    t.join();
    size_t n = std::min(g_count.load(), kMaxSamples);
    if (n < 2) {
        std::printf("%-8s no wake-ups\n", fifo ? "fifo" : "normal");
        return;
    }
    std::sort(g_late, g_late + n);
    auto pct = [&](double p) { return double(g_late[std::min(n - 1, size_t(p * double(n)))]) / 1000.0; };
    std::printf("%-8s %s  wake-ups=%zu  median=%.1f us  p99=%.1f us  p99.9=%.1f us  max=%.1f us  rstRtp=%u\n",
                fifo ? "fifo" : "normal", g_fifoSeen.load() ? "(SCHED_FIFO)" : "(SCHED_OTHER)", n, pct(0.5),
                pct(0.99), pct(0.999), double(g_late[n - 1]) / 1000.0, TimerManager_getRstRtp());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 2;
    std::string mode = "both";
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--mode") && i + 1 < argc) mode = argv[++i];
        else {
            std::printf("usage: %s [--seconds N] [--mode fifo|normal|both]\n", argv[0]);
            return 2;
        }
    }
    if (seconds <= 0 || seconds > 3600) seconds = 2;
    static char dir[] = "/tmp/velunor-wb-XXXXXX";
    if (mkdtemp(dir)) setenv("VELUNOR_RUNDIR", dir, 1);
    if (unshare(CLONE_NEWNET) == 0)
        g_netns = std::system("ip link set lo up && ip route add 224.0.0.0/4 dev lo") == 0;
    std::printf("engine loop wake-up lateness, %.0f s per case, network namespace: %s\n", seconds,
                g_netns ? "own" : "none (no stream)");
    if (mode != "fifo") runCase(false, seconds);
    if (mode != "normal") runCase(true, seconds);
    AudioPhy_destroy();
    std::string rm = std::string("rm -rf ") + dir;
    return std::system(rm.c_str()) == 0 ? 0 : 1;
}
