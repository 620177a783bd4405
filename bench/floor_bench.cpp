// The engine against its floors, as ratios from one run, each figure the median of
// --rounds interleaved runs (a loop's ratio: the median of the rounds' own ratios):
//   - receive cost per packet at 1, 16 and 128 unicast streams (8 x L24, 1 ms) against
//     send cost per packet at the same counts;
//   - the engine loop (TimerManager_runLoop, the body of thread_ko) idle (128 + 128
//     channels, no streams) against a bare timer loop doing nothing;
//   - the engine loop sending 16 streams against a bare loop that sends the same 16
//     datagrams with one sendmmsg per tick.
//
//   floor_bench [--seconds S] [--rounds R] [--ticks N] [--only idle|tx16|bare|ticks|cold]
//                 (defaults: 1 s per loop, 3 rounds, 2000 ticks per packet figure;
//                  --only runs that one engine loop for S seconds, for a profiler)
//
// Cost = CPU time of the measuring thread (CLOCK_THREAD_CPUTIME_ID). Per packet: the
// CPU time of N ticks' work (a drain, then one period, on a synthetic clock, no timer)
// beyond that of N idle ticks, divided by the packets. Both sides are charged only their
// own system calls: a feeder thread sends the received datagrams over loopback before
// each tick (the kernel's receive processing runs in its context), and the sent
// datagrams leave by a veth link whose far end, in a second namespace of ours, is down
// (the whole send path, discarded at the device). The loops: CPU time per wake-up on the
// real 1 ms timer. Needs root for the namespaces; without it everything goes over
// loopback to a sink never read, and the send figures then carry the kernel's receive
// processing too (said in the output). Normal scheduling throughout; the machine may be
// shared, so compare ratios of one run.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "engine/AudioPhy.h"
#include "engine/TimerManager_c.h"
#include "engine/rtp/RtpAudio.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/timer.h"

namespace {

constexpr int kCh = 128;                    // phy channels per direction
constexpr int kP = 48;                      // frames per period at 48 kHz
constexpr int kPayload = 8 + 8 * kP * 3;    // unicast, 8 channels of L24: 1160 bytes
constexpr uint32_t kLo = 0x7F000001u;
constexpr uint32_t kSendNet = 0xC6120000u;  // 198.18.0.0/16, benchmark range: far end down
constexpr uint16_t kSinkPort = 7000;

bool g_netns = false, g_link = false;
char g_peerNs[64];
int g_rtpSock = -1, g_sinkSock = -1;

bool sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

void setup() {
    static char dir[] = "/tmp/velunor-fb-XXXXXX";
    if (mkdtemp(dir)) {
        setenv("VELUNOR_RUNDIR", dir, 1);
        std::atexit([] {
            AudioPhy_destroy();
            if (!sh(std::string("rm -rf ") + dir)) std::printf("could not remove %s\n", dir);
        });
    }
    if (unshare(CLONE_NEWNET) == 0) g_netns = sh("ip link set lo up");
    if (g_netns) {
        std::snprintf(g_peerNs, sizeof g_peerNs, "velunor-fb-%d", int(getpid()));
        if (sh(std::string("ip netns add ") + g_peerNs)) {
            std::atexit([] { sh(std::string("ip netns del ") + g_peerNs); });
            std::string cmd = std::string("ip link add fbv0 type veth peer name fbv1 netns ") + g_peerNs +
                              " && ip addr add 198.18.0.1/16 dev fbv0 && ip link set fbv0 up";
            // Receivers' MAC addresses of our own: no neighbour resolution on the far-end-down link.
            for (int i = 1; i <= 128; ++i) {
                char l[160];
                std::snprintf(l, sizeof l, " && ip neigh add 198.18.1.%d lladdr 02:00:00:00:01:%02x dev fbv0 nud permanent",
                              i, i);
                cmd += l;
            }
            g_link = sh(cmd);
        }
    }
    g_rtpSock = Net_udpSocketTry(0, RTP_PORT);
    Net_setPktInfo(g_rtpSock, 1);
    Net_setRcvBuf(g_rtpSock, 4 << 20);
    if (!g_link) g_sinkSock = Net_udpSocketTry(kLo, kSinkPort);
    std::printf("namespace of our own: %s; send path: %s\n", g_netns ? "yes" : "no",
                g_link ? "veth link, far end down" : "loopback to a sink never read (includes receive processing)");
}

// Where transmit stream i sends.
void sendDest(int i, uint32_t* addr, uint16_t* port) {
    *addr = g_link ? (kSendNet | 0x0100u | uint32_t(1 + i % 128)) : kLo;
    *port = g_link ? RTP_PORT : kSinkPort;
}

void startEngine(int txStreams, int rxStreams) {
    char* argv[] = {const_cast<char*>("bench"), const_cast<char*>("sampleRate=48000"), const_cast<char*>("chNumRx=128"),
                    const_cast<char*>("chNumTx=128"), const_cast<char*>("bufMs=4")};
    AudioPhy* phy = AudioPhy_virtual_new(5, argv);
    RtpAudio_reset();
    AudioPhy_connectEngine(phy);
    TimerManager_reset();
    TimerManager_setPhy(phy);
    TimerManager_setRealtime(false);
    AudioPhy_setAllGains(phy, GAIN_UNITY_Q20);
    RtpAudio_setRtpSocket(g_rtpSock);
    char reason[256];
    uint8_t mac[6] = {};
    for (int i = 0; i < txStreams; ++i) {
        int32_t map[8];
        for (int j = 0; j < 8; ++j) map[j] = (i * 8 + j) % kCh;
        uint32_t a;
        uint16_t p;
        sendDest(i, &a, &p);
        sdpInfo u{g_link ? kSendNet | 1u : kLo, a, p, 8, 3, uint32_t(i)};
        if (RtpAudio_setUcastTx(i, &u, map, 8, mac, reason, sizeof reason) != 0) std::printf("%s\n", reason);
    }
    for (int i = 0; i < rxStreams; ++i) {
        int32_t map[8];
        for (int j = 0; j < 8; ++j) map[j] = (i * 8 + j) % kCh;
        sdpInfo u{kLo, kLo, RTP_PORT, 8, 3, uint32_t(i)};
        if (RtpAudio_setUcastRx(i, &u, map, 8, reason, sizeof reason) != 0) std::printf("%s\n", reason);
    }
    int32_t route[kCh];
    for (int i = 0; i < kCh; ++i) route[i] = rxStreams > 0 ? i : -1;
    RtpAudio_setChRx(route, kCh);
}

int64_t threadCpuNs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return int64_t(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

struct Run {
    double cpuNs = 0;  // the loop thread's CPU time
    double wakes = 0;
    double packets = 0; // sent or received, as the case says
};

void countWake(int64_t, int64_t, void* ctx) { *static_cast<double*>(ctx) += 1; }

Run engineLoop(double seconds) {
    Run r;
    RtpAudio_drainSocket(); // nothing left from an earlier run
    const int64_t c0 = threadCpuNs();
    TimerManager_runLoop(Clock_nowNs() + int64_t(seconds * 1e9), countWake, &r.wakes);
    r.cpuNs = double(threadCpuNs() - c0);
    return r;
}

Run bareLoop(double seconds, int sock, mmsghdr* msgs, int n) {
    Run r;
    PeriodTimer t;
    PeriodTimer_start(&t, 1000000);
    // At the engine loop's phase: it wakes a quarter period before each period's start
    // on the media clock, which is the monotonic clock here (no PTP offset). What a
    // wake-up costs on this VM depends on its phase against the guest's own tick (up to
    // a tenth of the loop), so the two loops are compared at the same phase.
    t.nextNs = (Clock_nowNs() / 1000000 + 1) * 1000000 - 250000;
    const int64_t until = Clock_nowNs() + int64_t(seconds * 1e9);
    const int64_t c0 = threadCpuNs();
    for (;;) {
        PeriodTimer_wait(&t);
        if (Clock_nowNs() >= until) break;
        r.wakes += 1;
        if (n > 0) {
            int s = sendmmsg(sock, msgs, unsigned(n), MSG_DONTWAIT);
            if (s > 0) r.packets += s;
        }
    }
    r.cpuNs = double(threadCpuNs() - c0);
    return r;
}

// The bare sender's datagrams: the engine's 16 unicast datagrams of one period.
struct Bare {
    uint8_t buf[16][kPayload];
    iovec iov[16];
    sockaddr_in sa[16];
    mmsghdr msgs[16];
} g_bare;

void makeBare() {
    for (int i = 0; i < 16; ++i) {
        std::memset(g_bare.buf[i], 0, kPayload);
        g_bare.buf[i][1] = 0xFF;
        g_bare.buf[i][3] = uint8_t(i);
        uint32_t a;
        uint16_t p;
        sendDest(i, &a, &p);
        g_bare.sa[i] = sockaddr_in{};
        g_bare.sa[i].sin_family = AF_INET;
        g_bare.sa[i].sin_addr.s_addr = htonl(a);
        g_bare.sa[i].sin_port = htons(p);
        g_bare.iov[i] = iovec{g_bare.buf[i], kPayload};
        g_bare.msgs[i] = mmsghdr{};
        g_bare.msgs[i].msg_hdr.msg_name = &g_bare.sa[i];
        g_bare.msgs[i].msg_hdr.msg_namelen = sizeof g_bare.sa[i];
        g_bare.msgs[i].msg_hdr.msg_iov = &g_bare.iov[i];
        g_bare.msgs[i].msg_hdr.msg_iovlen = 1;
    }
}

// The receive datagrams: n unicast streams (8 x L24) to the engine's socket over
// loopback. A feeder thread sends them on request, so the kernel's receive processing
// runs in its context, not in the measured one.
struct Feeder {
    uint8_t buf[128][kPayload];
    iovec iov[128];
    mmsghdr msgs[128];
    sockaddr_in to;
    int sock = -1, n = 0;
    std::atomic<uint32_t> ts{0};
    std::atomic<int> req{0}, done{0};
    std::atomic<bool> stop{false};
} g_feed;

void feederThread() {
    Feeder& f = g_feed;
    int seen = f.done.load(); // the last request served: one made before we started is still due
    while (!f.stop.load()) {
        const int r = f.req.load();
        if (r == seen) {
            sched_yield();
            continue;
        }
        seen = r;
        const uint32_t ts = f.ts.load();
        for (int i = 0; i < f.n; ++i) {
            f.buf[i][4] = uint8_t(ts >> 24);
            f.buf[i][5] = uint8_t(ts >> 16);
            f.buf[i][6] = uint8_t(ts >> 8);
            f.buf[i][7] = uint8_t(ts);
        }
        int sent = 0;
        while (sent < f.n) {
            const int k = sendmmsg(f.sock, f.msgs + sent, unsigned(f.n - sent), 0);
            if (k <= 0) break;
            sent += k;
        }
        f.done.store(r);
    }
}

void makeFeed(int n) {
    Feeder& f = g_feed;
    if (f.sock < 0) f.sock = Net_udpSocketTry(kLo, 0);
    f.n = n;
    f.to = sockaddr_in{};
    f.to.sin_family = AF_INET;
    f.to.sin_addr.s_addr = htonl(kLo);
    f.to.sin_port = htons(RTP_PORT);
    for (int i = 0; i < n; ++i) {
        for (int k = 8; k < kPayload; ++k) f.buf[i][k] = uint8_t(k * 7 + i);
        f.buf[i][0] = 0;
        f.buf[i][1] = 0xFF;
        f.buf[i][2] = uint8_t(i >> 8);
        f.buf[i][3] = uint8_t(i);
        f.iov[i] = iovec{f.buf[i], kPayload};
        f.msgs[i] = mmsghdr{};
        f.msgs[i].msg_hdr.msg_name = &f.to;
        f.msgs[i].msg_hdr.msg_namelen = sizeof f.to;
        f.msgs[i].msg_hdr.msg_iov = &f.iov[i];
        f.msgs[i].msg_hdr.msg_iovlen = 1;
    }
}

// CPU time of one tick's work (drain, then one period) over reps ticks on a synthetic
// clock, no timer: per tick in ns. rx: the feeder's datagrams (stamped for the period
// about to run) are queued before each tick. *packets: datagrams read or sent.
double ticks(int txStreams, int rxStreams, int reps, double* packets) {
    startEngine(txStreams, rxStreams);
    RtpAudio_drainSocket();
    std::thread feeder;
    if (rxStreams > 0) {
        makeFeed(rxStreams);
        g_feed.stop.store(false);
        feeder = std::thread(feederThread);
    }
    int64_t c = 1000LL * 1000000000LL;
    TimerManager_period(c);
    const long long o0 = Net_udpOutDatagrams();
    double got = 0;
    int64_t cpu = 0;
    for (int r = 0; r < reps; ++r) {
        if (rxStreams > 0) {
            g_feed.ts.store(uint32_t(TimerManager_getRtpTs()));
            const int want = g_feed.req.load() + 1;
            g_feed.req.store(want);
            while (g_feed.done.load() != want) sched_yield();
        }
        c += 1000000;
        const int64_t t0 = threadCpuNs();
        got += RtpAudio_drainSocket();
        TimerManager_period(c);
        cpu += threadCpuNs() - t0;
    }
    const long long o1 = Net_udpOutDatagrams();
    if (feeder.joinable()) {
        g_feed.stop.store(true);
        feeder.join();
    }
    *packets = rxStreams > 0 ? got : (o0 >= 0 && o1 >= 0 && g_netns) ? double(o1 - o0) : double(reps) * txStreams;
    return double(cpu) / reps;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The idle period's own cost as the timer loop meets it on a shared host, which leaves
// the caches to other guests during the 1 ms sleep: each period runs after 64 MiB of
// other memory was written. Wall time per period, median.
double coldPeriods(int reps) {
    startEngine(0, 0);
    static std::vector<uint8_t> other(64u << 20);
    std::vector<double> t;
    int64_t c = 1000LL * 1000000000LL;
    TimerManager_period(c);
    for (int r = 0; r < reps; ++r) {
        std::memset(other.data(), r, other.size());
        c += 1000000;
        const int64_t t0 = Clock_nowNs();
        TimerManager_period(c);
        t.push_back(double(Clock_nowNs() - t0));
    }
    return median(t);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 1;
    int rounds = 3, reps = 2000;
    const char* only = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--only")) only = argv[i + 1];
        if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--ticks")) reps = std::atoi(argv[i + 1]);
    }
    if (seconds <= 0 || rounds <= 0 || reps <= 0) {
        std::printf("usage: floor_bench [--seconds S] [--rounds R] [--ticks N]\n");
        return 2;
    }
    setup();
    makeBare();
    if (only) {
        if (!std::strcmp(only, "cold")) {
            std::printf("idle period after the caches were emptied: %.3f us (median)\n", coldPeriods(reps) / 1000);
            return 0;
        }
        if (!std::strcmp(only, "ticks")) {
            double none = 0;
            std::printf("idle ticks, no timer: %.3f us each\n", ticks(0, 0, reps, &none) / 1000);
            return 0;
        }
        if (!std::strcmp(only, "bare")) {
            Run b = bareLoop(seconds, -1, nullptr, 0);
            std::printf("bare timer loop: %.3f us per wake-up\n", b.cpuNs / b.wakes / 1000);
            return 0;
        }
        const int tx = !std::strcmp(only, "tx16") ? 16 : 0;
        startEngine(tx, 0);
        Run e = engineLoop(seconds);
        std::printf("engine loop, %d tx streams: %.3f us per wake-up\n", tx, e.cpuNs / e.wakes / 1000);
        return 0;
    }
    const int counts[3] = {1, 16, 128};
    std::vector<double> bare, bareSend, idle, idleWork, total16, rxPkt[3], txPkt[3];
    for (int round = 0; round < rounds; ++round) {
        // Per packet: a tick's CPU beyond an idle tick's, divided by the packets.
        double none = 0;
        const double idleTick = ticks(0, 0, reps, &none);
        idleWork.push_back(idleTick);
        for (int k = 0; k < 3; ++k) {
            double sent = 0, got = 0;
            const double tx = ticks(counts[k], 0, reps, &sent);
            const double rx = ticks(0, counts[k], reps, &got);
            txPkt[k].push_back(sent > 0 ? (tx - idleTick) * reps / sent : 0);
            rxPkt[k].push_back(got > 0 ? (rx - idleTick) * reps / got : 0);
        }
        // The loops, with their timer: CPU per wake-up.
        Run b = bareLoop(seconds, -1, nullptr, 0);
        bare.push_back(b.cpuNs / b.wakes);
        startEngine(0, 0);
        Run e = engineLoop(seconds);
        idle.push_back(e.cpuNs / e.wakes);
        Run bs = bareLoop(seconds, g_link ? g_rtpSock : g_sinkSock, g_bare.msgs, 16);
        bareSend.push_back(bs.cpuNs / bs.wakes);
        startEngine(16, 0);
        Run t = engineLoop(seconds);
        total16.push_back(t.cpuNs / t.wakes);
    }
    std::printf("medians of %d rounds (%d ticks per packet figure, %.1f s per loop), CPU time in us\n", rounds, reps,
                seconds);
    std::printf("%-46s %9s %9s %7s\n", "", "engine", "floor", "ratio");
    for (int k = 0; k < 3; ++k) {
        char name[64];
        std::snprintf(name, sizeof name, "per packet: receive / send, %3d streams", counts[k]);
        const double rx = median(rxPkt[k]) / 1000, tx = median(txPkt[k]) / 1000;
        std::printf("%-46s %9.3f %9.3f %7.2f\n", name, rx, tx, tx > 0 ? rx / tx : 0);
    }
    // The loops' ratios: the median of each round's own ratio, the two loops of a round
    // having run side by side (the machine's load drifts between rounds).
    auto ratios = [](const std::vector<double>& a, const std::vector<double>& b) {
        std::vector<double> r;
        for (size_t k = 0; k < a.size() && k < b.size(); ++k)
            if (b[k] > 0) r.push_back(a[k] / b[k]);
        return median(r);
    };
    std::printf("%-46s %9.3f %9.3f %7.2f\n", "per wake-up: idle engine / bare timer loop", median(idle) / 1000,
                median(bare) / 1000, ratios(idle, bare));
    std::printf("%-46s %9.3f\n", "  of which the drain and the period", median(idleWork) / 1000);
    std::printf("%-46s %9.3f %9.3f %7.2f\n", "per wake-up: 16 tx streams / bare sendmmsg", median(total16) / 1000,
                median(bareSend) / 1000, ratios(total16, bareSend));
    return 0;
}
