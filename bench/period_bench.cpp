// Cost of one engine period (TimerManager_period over the virtual phy) and of packet
// input. The program moves itself into a network namespace of its own first (root), so
// its datagrams, multicast ones included, stay inside it; without that it sends only
// unicast datagrams to 127.0.0.1 and says so.
//
//   period_bench                               all cases
//   period_bench --benchmark_filter=Max        the maximum configuration only
//   period_bench --benchmark_filter=DriverShape  the driver engine's shape (driver_period_bench
//                                              runs it beside the driver's own period)
//
// What the "CPU" column counts: the engine thread's CPU time for one whole period
// (gain, meters, packing, the sends and the receive side), without refilling the input
// block. The kernel's work for a send is charged to the sending thread, and so is
// whatever the kernel does in softirq right after handing the packet to a device, also
// for other programs' traffic that happens to be pending then (the machine is shared:
// take the lowest of several runs). The Max case therefore runs over four paths, the
// "path" argument:
//   0 loopback: every datagram is also received in the sender's context (IP/UDP input,
//     socket lookup, queueing into the unicast sink, dropped when full), a cost that a
//     real network card would not charge to the sender: an upper bound.
//   1 link down: a veth link whose far end, in a second namespace of ours that owns the
//     receivers' addresses, is down; datagrams go through the whole send path (route,
//     neighbour, headers) and are discarded at the device queue: the sender's own cost,
//     without any driver work.
//   2 link: a second such link with its far end up, dropping every frame on entry to IP
//     (unicast frames carry other hosts' MAC addresses, groups have no members): the
//     veth transmit and the start of reception (backlog, softirq, device input) are
//     charged too, a stand-in for a card driver's transmit.
//   3 no kernel: the batch goes to a stand-in for sendmmsg in this program that takes
//     every datagram without a system call: what the engine's own code costs.
// The unicast streams go to 128 receivers, one address each (port 7000 on loopback,
// where one sink takes them all; 5004 on the links), as separate devices would; the 16
// multicast streams to 16 groups. "send" argument: 0 one send per datagram, 1 sendmmsg
// (default), 2 sendmmsg with UDP_SEGMENT for equal datagrams to one destination (with
// one receiver per stream there is nothing to merge, so 2 behaves as 1 there).
// Counters: user_us and sys_us split the thread's CPU time per period (tick-sampled by
// the kernel: a guide, not exact); sent = datagrams that the kernel took per period
// (a segmented send counts once).
#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "engine/AudioPhy.h"
#include "engine/TimerManager_c.h"
#include "engine/rtp/RtpAudio.h"
#include "platform/net.h"

bool g_fakeSend = false; // path 3

// The engine's batches reach the kernel through this (the program's own definition
// comes before the C library's); on path 3 they stop here.
extern "C" int sendmmsg(int fd, struct mmsghdr* msgs, unsigned int n, int flags) {
    if (!g_fakeSend) return int(syscall(SYS_sendmmsg, fd, msgs, n, flags));
    for (unsigned int i = 0; i < n; ++i) {
        unsigned int len = 0;
        for (size_t k = 0; k < msgs[i].msg_hdr.msg_iovlen; ++k) len += unsigned(msgs[i].msg_hdr.msg_iov[k].iov_len);
        msgs[i].msg_len = len;
    }
    return int(n);
}

namespace {

bool g_netns = false, g_links = false;
char g_peerNs[64];
int g_sock[3] = {-1, -1, -1}; // RTP socket per path
int g_sink = -1;
constexpr uint32_t kLo = 0x7F000001u;
constexpr uint16_t kSinkPort = 7000;
// Link paths: our end .0.1, receivers .1.x, inside 198.18.0.0/15 (benchmark range):
// path 1 on 198.18.0.0/16, path 2 on 198.19.0.0/16, owned by the peer namespace.
constexpr uint32_t kLinkNet[3] = {0, 0xC6120000u, 0xC6130000u};

bool sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

bool setupLinks() {
    std::snprintf(g_peerNs, sizeof g_peerNs, "velunor-pb-%d", int(getpid()));
    std::string ns = g_peerNs;
    if (!sh("ip netns add " + ns)) return false;
    std::atexit([] { sh(std::string("ip netns del ") + g_peerNs); });
    // One batch for our side, one for the peer's. Our neighbour entries give the receivers
    // MAC addresses that are not the far end's, so on path 2 it takes every unicast frame
    // as meant for another host and drops it on entry to IP, groups for lack of members.
    std::string mine = "link add pbv0 type veth peer name pbv1 netns " + ns + "\n" +
                       "link add pbw0 type veth peer name pbw1 netns " + ns + "\n" +
                       "addr add 198.18.0.1/16 dev pbv0\naddr add 198.19.0.1/16 dev pbw0\n"
                       "link set pbv0 up\nlink set pbw0 up\n";
    std::string peer = "addr add 198.19.0.2/16 dev pbw1\nlink set pbw1 up\n";
    for (int i = 1; i <= 128; ++i) {
        char l[200];
        std::snprintf(l, sizeof l, "neigh add 198.18.1.%d lladdr 02:00:00:00:01:%02x dev pbv0 nud permanent\n", i, i);
        mine += l;
        std::snprintf(l, sizeof l, "neigh add 198.19.1.%d lladdr 02:00:00:00:02:%02x dev pbw0 nud permanent\n", i, i);
        mine += l;
        std::snprintf(l, sizeof l, "addr add 198.18.1.%d/16 dev pbv1\naddr add 198.19.1.%d/16 dev pbw1\n", i, i);
        peer += l;
    }
    FILE* f = std::fopen("/tmp/velunor-pb-mine.batch", "w");
    FILE* g = std::fopen("/tmp/velunor-pb-peer.batch", "w");
    if (!f || !g) return false;
    std::fputs(mine.c_str(), f);
    std::fputs(peer.c_str(), g);
    std::fclose(f);
    std::fclose(g);
    bool ok = sh("ip -batch /tmp/velunor-pb-mine.batch") && sh("ip -n " + ns + " -batch /tmp/velunor-pb-peer.batch");
    std::remove("/tmp/velunor-pb-mine.batch");
    std::remove("/tmp/velunor-pb-peer.batch");
    return ok;
}

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
    if (g_netns) g_links = setupLinks();
    std::printf("network namespace of our own: %s; links: %s\n",
                g_netns ? "yes (multicast sent on its loopback)" : "no (multicast streams left out)",
                g_links ? "yes" : "no (paths 1 and 2 left out)");
}

// The RTP socket of a path: port 5004 on any address, groups leaving by the path's device.
int pathSocket(int path) {
    if (g_sock[path] >= 0) return g_sock[path];
    int s = Net_udpSocketTry(0, RTP_PORT);
    if (path == 0 && g_netns) Net_setMcastIf(s, kLo);
    if (path > 0) Net_setMcastIf(s, kLinkNet[path] | 0x0001u);
    g_sock[path] = s;
    if (g_sink < 0) g_sink = Net_udpSocketTry(0, kSinkPort); // loopback receivers' sink, never read
    return s;
}

AudioPhy* startEngine(int chRx, int chTx, int path = 0) {
    onceSetup();
    std::string a2 = "chNumRx=" + std::to_string(chRx), a3 = "chNumTx=" + std::to_string(chTx);
    char* argv[] = {const_cast<char*>("bench"), const_cast<char*>("sampleRate=48000"), a2.data(), a3.data(),
                    const_cast<char*>("bufMs=4")};
    AudioPhy* phy = AudioPhy_virtual_new(5, argv);
    RtpAudio_reset();
    AudioPhy_connectEngine(phy);
    TimerManager_reset();
    TimerManager_setPhy(phy);
    AudioPhy_setAllGains(phy, GAIN_UNITY_Q20);
    RtpAudio_setRtpSocket(pathSocket(path));
    return phy;
}

// The input block as the sound-card side leaves it: a copy of a fixed pattern.
void fillInput(AudioPhy* phy) {
    static int32_t pattern[48 * 128];
    static bool made = false;
    AudioPhyBlock in{};
    AudioPhy_inputBlock(&in);
    const size_t n = size_t(in.frames) * size_t(in.strideSamples);
    if (n > sizeof pattern / sizeof pattern[0]) return;
    if (!made) {
        for (size_t i = 0; i < sizeof pattern / sizeof pattern[0]; ++i) pattern[i] = int32_t((i * 977 + (i % 128) * 131) << 12);
        made = true;
    }
    std::memcpy(in.samples, pattern, n * sizeof(int32_t));
    (void)phy;
}

double tvUs(const timeval& t) { return double(t.tv_sec) * 1e6 + double(t.tv_usec); }

// onTimer: each period waits for its own 1 ms boundary, as the engine's timer thread does
// (the wake-up and cold caches then count, as they do in the driver's period).
void runPeriods(benchmark::State& state, AudioPhy* phy, bool onTimer = false) {
    RtpAudio_setBatchSend(int(state.range(0)));
    int64_t c = 1000LL * 1000000000LL;
    fillInput(phy);
    TimerManager_period(c);
    timespec due{};
    clock_gettime(CLOCK_MONOTONIC, &due);
    rusage r0{}, r1{};
    const long long out0 = Net_udpOutDatagrams();
    getrusage(RUSAGE_THREAD, &r0);
    for (auto _ : state) {
        state.PauseTiming();
        fillInput(phy);
        if (onTimer) {
            due.tv_nsec += 1000000;
            if (due.tv_nsec >= 1000000000) {
                due.tv_nsec -= 1000000000;
                due.tv_sec += 1;
            }
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
            }
        }
        state.ResumeTiming();
        c += 1000000;
        TimerManager_period(c);
    }
    getrusage(RUSAGE_THREAD, &r1);
    const double it = double(state.iterations());
    if (it > 0) {
        state.counters["user_us"] = (tvUs(r1.ru_utime) - tvUs(r0.ru_utime)) / it;
        state.counters["sys_us"] = (tvUs(r1.ru_stime) - tvUs(r0.ru_stime)) / it;
        const long long out1 = Net_udpOutDatagrams();
        if (out0 >= 0 && out1 >= 0) state.counters["sent"] = double(out1 - out0) / it;
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
// Arguments: send mode, path (see the top), receivers: the unicast streams go to that
// many receivers, consecutive streams sharing one (128: one each; 16: eight each, a
// device that takes 64 channels from us twice over, the case UDP_SEGMENT can merge),
// gain: 0 every channel at unity (the period leaves the blocks alone), 1 every input and
// output channel at -6 dB (each sample scaled).
void BM_PeriodMax(benchmark::State& state) {
    int path = int(state.range(1));
    const int receivers = int(state.range(2));
    const bool gain = state.range(3) != 0;
    onceSetup();
    g_fakeSend = path == 3;
    if (path == 3) path = 0;
    if (path > 0 && !g_links) {
        state.SkipWithError("no links (needs a namespace of our own)");
        return;
    }
    AudioPhy* phy = startEngine(128, 128, path);
    char reason[256];
    uint8_t mac[6] = {};
    const uint32_t own = path == 0 ? kLo : kLinkNet[path] | 0x0001u;
    RtpAudio_setNum(RTP_UCAST_TX, 128, reason, sizeof reason);
    for (int i = 0; i < 128; ++i) {
        int32_t map[8];
        for (int j = 0; j < 8; ++j) map[j] = (i * 8 + j) % 128;
        const uint32_t rcv = uint32_t(1 + i / (128 / receivers));
        sdpInfo u{own, path == 0 ? 0x7F000100u + rcv : kLinkNet[path] | 0x0100u | rcv,
                  uint16_t(path == 0 ? kSinkPort : RTP_PORT), 8, 3, uint32_t(i)};
        if (RtpAudio_setUcastTx(i, &u, map, 8, mac, reason, sizeof reason) != 0) std::printf("%s\n", reason);
    }
    for (int i = 0; i < 16; ++i) {
        int32_t map[8];
        for (int j = 0; j < 8; ++j) map[j] = i * 8 + j;
        sdpInfo m{own, 0xEF450100u + uint32_t(i), RTP_PORT, uint8_t(g_netns ? 8 : 0), 3, 0};
        RtpAudio_setMcastTx(i, &m, map, 8, mac, reason, sizeof reason);
        sdpInfo r{0x0A000001u, 0xEF460100u + uint32_t(i), RTP_PORT, 8, 3, 0};
        RtpAudio_setMcastRx(i, &r, map, 8, reason, sizeof reason);
    }
    int32_t route[128];
    for (int i = 0; i < 128; ++i) route[i] = i;
    RtpAudio_setChRx(route, 128);
    RtpAudio_setChTx(route, 128); // every receive channel fed by the local copy: all copied
    if (gain)
        AudioPhy_setAllGains(phy, 525540); // 10^(-6/20) x 2^20
    runPeriods(state, phy);
    g_fakeSend = false;
}
BENCHMARK(BM_PeriodMax)
    ->ArgNames({"send", "path", "receivers", "gain"})
    ->Args({1, 0, 128, 0})
    ->Args({0, 0, 128, 0})
    ->Args({1, 1, 128, 0})
    ->Args({1, 1, 128, 1})
    ->Args({0, 1, 128, 0})
    ->Args({1, 2, 128, 0})
    ->Args({1, 2, 16, 0})
    ->Args({2, 2, 16, 0})
    ->Args({1, 3, 128, 0})
    ->Args({1, 3, 128, 1})
    ->Unit(benchmark::kMicrosecond);

// The driver engine's largest shape, for driver_period_bench to set its figures
// against: 64 + 64 channels, 128 unicast streams (8 x L24, one receiver each) and 16
// multicast streams (8 x L24) sent, 16 multicast receive streams, every channel routed,
// unity gain. Arguments: send mode and path as above (0 loopback, 1 link down).
void BM_PeriodDriverShape(benchmark::State& state) {
    const int path = int(state.range(1));
    onceSetup();
    if (path > 0 && !g_links) {
        state.SkipWithError("no links (needs a namespace of our own)");
        return;
    }
    AudioPhy* phy = startEngine(64, 64, path);
    char reason[256];
    uint8_t mac[6] = {};
    const uint32_t own = path == 0 ? kLo : kLinkNet[path] | 0x0001u;
    RtpAudio_setNum(RTP_UCAST_TX, 128, reason, sizeof reason);
    for (int i = 0; i < 128; ++i) {
        int32_t map[8];
        for (int j = 0; j < 8; ++j) map[j] = (i * 8 + j) % 64;
        const uint32_t rcv = uint32_t(1 + i);
        sdpInfo u{own, path == 0 ? 0x7F000100u + rcv : kLinkNet[path] | 0x0100u | rcv,
                  uint16_t(path == 0 ? kSinkPort : RTP_PORT), 8, 3, uint32_t(i)};
        if (RtpAudio_setUcastTx(i, &u, map, 8, mac, reason, sizeof reason) != 0) std::printf("%s\n", reason);
    }
    for (int i = 0; i < 16; ++i) {
        int32_t map[8];
        for (int j = 0; j < 8; ++j) map[j] = (i * 8 + j) % 64;
        sdpInfo m{own, 0xEF450100u + uint32_t(i), RTP_PORT, uint8_t(g_netns ? 8 : 0), 3, 0};
        RtpAudio_setMcastTx(i, &m, map, 8, mac, reason, sizeof reason);
        sdpInfo r{0x0A000001u, 0xEF460100u + uint32_t(i), RTP_PORT, 8, 3, 0};
        RtpAudio_setMcastRx(i, &r, map, 8, reason, sizeof reason);
    }
    int32_t route[64];
    for (int i = 0; i < 64; ++i) route[i] = i;
    RtpAudio_setChRx(route, 64);
    RtpAudio_setChTx(route, 64);
    runPeriods(state, phy, state.range(2) != 0);
}
// timer 1: on a 1 ms timer, the driver's own conditions (driver_period_bench's ratio).
BENCHMARK(BM_PeriodDriverShape)
    ->ArgNames({"send", "path", "timer"})
    ->Args({0, 0, 0})
    ->Args({1, 0, 0})
    ->Args({0, 1, 0})
    ->Args({1, 1, 0})
    ->Args({1, 0, 1})
    ->Args({1, 1, 1})
    ->Unit(benchmark::kMicrosecond);

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
