// Cost of one period of the driver's engine at its largest shape, beside the user-mode
// engine's period at the same shape, in one run. VelunorAudio runs in process inside the
// stand-in kernel with its real high-resolution timer: 64 + 64 channels, 128 unicast and
// 16 multicast transmit streams (8 x L24 each), 16 multicast receive streams, a period's
// datagrams handed to the raw socket as one list (sendmmsg).
//
//   driver_period_bench [seconds per run, default 3] [flood]
//
// With "flood" only the bad-input runs below are made (three pairs of each kind, the
// median reported), not the paths against the user-mode engine.
//
// Each path runs three times; the lowest timer CPU of the three is reported, as the
// user-mode figure is the lowest of three runs (the machine is shared), and the resets
// are summed over all three (driver_period_bench 10: 30 s per path). A stall witness
// (velunor-stallwatch, beside this program's folder) runs throughout: a reset while the
// machine held every real-time thread of ours for more than three periods is the host's.
//
// Needs root (the raw socket). The program moves itself into a network namespace of its
// own first and sends only inside it:
//   path 0 loopback: the raw socket bound to 127.0.0.1, unicast streams to 127.0.1.x, the
//     groups routed to loopback; a socket on port 5004 takes the unicast datagrams and is
//     never read (as period_bench's sink), so no port-unreachable is generated.
//   path 1 link down: a veth link whose far end, in a second namespace of ours, is down;
//     the raw socket bound to 198.18.0.1, receivers 198.18.1.x with fixed neighbour
//     entries. Datagrams pass the whole send path and are dropped at the device queue.
// Figures per path, per period:
//   timer CPU    CPU time of the timer's thread (its runtime in schedstat) over the
//                periods it ran (counted at the engine's one send batch per period): the
//                period step, the callback and the timer's own sleep and wake-up.
//   process CPU  the whole process over the same periods: adds the socket's receive
//                thread (every UDP datagram of the namespace passes the raw socket's
//                receive side) and this sampling thread.
//   tx, rx wall  the driver's own cost figures (getPerformStats "cur"), sampled every
//                5 ms: median.
//   batch        datagrams the engine handed the socket layer per period (144 here).
//   sent         IPv4 datagrams the namespace's stack took per period.
//   resets       periods the timer gave up on (more than three periods behind: a new
//                time base instead of a catch-up): the period does not keep up. The
//                last line counts those of all runs that no stall the witnesses saw
//                (over three periods less their 500 us grid step, which they may see
//                short) came just before: each is a fault of ours. The second witness
//                runs below the timer (SCHED_FIFO 50): it also sees other real-time work.
//   dropped      datagrams the socket layer dropped or sent a period late, all runs.
// Then the bad-input runs, on loopback: a child process of ours floods 127.0.0.1 with
// 100,000 datagrams a second, non-RTP UDP (port 7000) or RTP to port 5004 for no
// stream; "flood CPU" is this process's CPU (every thread of the host, not the
// flooder's) per period against the loopback run, in per cent of one core.
// The user-mode figures come from period_bench --benchmark_filter=DriverShape run from
// this program's folder (its CPU column: the engine thread's CPU time per period, send
// modes 0 = one send per datagram and 1 = sendmmsg); the ratio is driver / user-mode.
// Each driver run is also set against a user-mode run on its 1 ms timer made right
// after it, and the median of those three ratios printed: a shared machine's speed
// drifts over minutes, and the lowest run of each side may come from different minutes.
#include <dirent.h>
#include <linux/filter.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "driver/driver.h"
#include "driver/kernel/host.h"
#include "engine/AudioPhy.h"
#include "engine/TimerManager_c.h"
#include "engine/rtp/RtpAudio.h"
#include "platform/clock.h"

namespace {

char g_peerNs[64];
char g_dir[] = "/tmp/velunor-dpb-XXXXXX";
bool g_links = false;
constexpr uint32_t kLinkNet = 0xC6120000u; // 198.18.0.0/16, benchmark range

// When the timer re-aligned (CLOCK_MONOTONIC ns, to the sampling's 5 ms), every run.
std::vector<int64_t> g_resetNs;

// The periods that ran: the engine hands the socket layer one batch per period that sends.
std::atomic<long long> g_batches{0}, g_datagrams{0};
void countingSend(const NetDatagram* d, int n) {
    g_batches.fetch_add(1, std::memory_order_relaxed);
    g_datagrams.fetch_add(n, std::memory_order_relaxed);
    KoSocket_sendBatch(d, n);
}

bool sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

void cleanup() {
    if (Kernel_driverLoaded()) Kernel_unloadDriver();
    IoMgr_shutdown();
    if (g_links) sh(std::string("ip netns del ") + g_peerNs);
    if (!sh(std::string("rm -rf ") + g_dir)) std::printf("could not remove %s\n", g_dir);
}

bool setupLink() {
    std::snprintf(g_peerNs, sizeof g_peerNs, "velunor-dpb-%d", int(getpid()));
    const std::string ns = g_peerNs;
    if (!sh("ip netns add " + ns)) return false;
    g_links = true;
    std::string mine = "link add dpv0 type veth peer name dpv1 netns " + ns + "\n" +
                       "addr add 198.18.0.1/16 dev dpv0\nlink set dpv0 up\n";
    for (int i = 1; i <= 128; ++i) {
        char l[200];
        std::snprintf(l, sizeof l, "neigh add 198.18.1.%d lladdr 02:00:00:00:01:%02x dev dpv0 nud permanent\n", i, i);
        mine += l;
    }
    const std::string file = std::string(g_dir) + "/link.batch";
    FILE* f = std::fopen(file.c_str(), "w");
    if (!f) return false;
    std::fputs(mine.c_str(), f);
    std::fclose(f);
    return sh("ip -batch " + file);
}

// One engine request through the bridge, as the I/O manager hands it to the driver.
std::string req(const std::string& json) {
    static char16_t name[] = u"\\ioCtl";
    FILE_OBJECT file{};
    RtlInitUnicodeString(&file.FileName, name);
    std::vector<char> sys(4096, 0);
    std::memcpy(sys.data(), json.c_str(), std::min(json.size() + 1, sys.size() - 1));
    IRP irp{};
    irp.AssociatedIrp.SystemBuffer = sys.data();
    irp.Stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    irp.Stack.FileObject = &file;
    irp.Stack.Parameters.DeviceIoControl.IoControlCode = IOCTL_ENGINE_JSON;
    irp.Stack.Parameters.DeviceIoControl.InputBufferLength = ULONG(json.size() + 1);
    irp.Stack.Parameters.DeviceIoControl.OutputBufferLength = ULONG(sys.size());
    IoMgr_dispatch(&irp);
    return std::string(sys.data(), size_t(irp.IoStatus.Information));
}

// The engine's timer thread: the process's real-time thread of the highest priority (the
// socket's receive thread runs real-time too, below it).
int timerTid() {
    DIR* d = opendir("/proc/self/task");
    if (!d) return -1;
    int found = -1, best = -1;
    while (dirent* e = readdir(d)) {
        const int tid = std::atoi(e->d_name);
        sched_param sp{};
        if (tid > 0 && sched_getscheduler(tid) == SCHED_FIFO && sched_getparam(tid, &sp) == 0 &&
            sp.sched_priority > best) {
            best = sp.sched_priority;
            found = tid;
        }
    }
    closedir(d);
    return found;
}

long long runtimeNs(int tid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/schedstat", tid);
    FILE* f = std::fopen(path, "r");
    if (!f) return -1;
    long long ns = -1;
    if (std::fscanf(f, "%lld", &ns) != 1) ns = -1;
    std::fclose(f);
    return ns;
}

long long ipOutRequests() {
    FILE* f = std::fopen("/proc/net/snmp", "r");
    if (!f) return -1;
    char head[2048], vals[2048];
    long long v = -1;
    while (std::fgets(head, sizeof head, f) && std::fgets(vals, sizeof vals, f)) {
        if (std::strncmp(head, "Ip:", 3) != 0) continue;
        // Column "OutRequests" of the Ip line pair.
        int col = 0, want = -1;
        for (char* t = std::strtok(head, " \n"); t; t = std::strtok(nullptr, " \n"), ++col)
            if (std::strcmp(t, "OutRequests") == 0) want = col;
        col = 0;
        for (char* t = std::strtok(vals, " \n"); t; t = std::strtok(nullptr, " \n"), ++col)
            if (col == want) v = std::atoll(t);
        break;
    }
    std::fclose(f);
    return v;
}

double processCpuUs() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6 + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
}

struct Figures {
    bool ok = false;
    double timerUs = 0, processUs = 0, txUs = 0, rxUs = 0, sent = 0, batch = 0;
    long long periods = 0;
    unsigned resets = 0;
    uint64_t lost = 0; // dropped or sent again by the socket layer
};

// A child process that sends 100 datagrams to 127.0.0.1 every millisecond for `seconds`:
// kind 1 non-RTP UDP to port 7000 (held by a socket that drops everything, so the stack
// answers nothing), kind 2 unicast RTP to port 5004 for a stream index nobody has.
pid_t startFlood(int kind, int seconds) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int hold = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(0x7F000001u);
    to.sin_port = htons(kind == 1 ? 7000 : RTP_PORT);
    if (kind == 1) {
        sock_filter drop[] = {{BPF_RET | BPF_K, 0, 0, 0}};
        sock_fprog prog{1, drop};
        setsockopt(hold, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog);
        if (bind(hold, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) _exit(1);
    }
    static uint8_t data[1160] = {0x00, 0xFF, 0x00, 200}; // compact header, stream 200
    const size_t len = kind == 1 ? 200 : sizeof data;
    mmsghdr m[100];
    iovec v[100];
    for (int i = 0; i < 100; ++i) {
        v[i] = iovec{data, len};
        m[i] = mmsghdr{};
        m[i].msg_hdr.msg_name = &to;
        m[i].msg_hdr.msg_namelen = sizeof to;
        m[i].msg_hdr.msg_iov = &v[i];
        m[i].msg_hdr.msg_iovlen = 1;
    }
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (long k = 0; k < long(seconds) * 1000; ++k) {
        sendmmsg(fd, m, 100, MSG_DONTWAIT);
        next.tv_nsec += 1000000;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    _exit(0);
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

Figures runPath(int path, int seconds, int flood = 0) {
    Figures out;
    const uint32_t own = path == 0 ? 0x7F000001u : kLinkNet | 0x0001u;
    const char* ownText = path == 0 ? "127.0.0.1" : "198.18.0.1";
    req("{\"ops\":\"resetKernel\"}");
    if (req(std::string("{\"ops\":\"setEthName\",\"name\":\"") + ownText + "\"}") != "{\"result\":\"succ\"}") {
        std::printf("path %d: the raw socket could not be bound to %s\n", path, ownText);
        return out;
    }
    req("{\"ops\":\"setChNum\",\"phyRx\":\"64\",\"phyTx\":\"64\",\"dspFromNet\":\"0\",\"dspToNet\":\"0\"}");
    std::string r = req("{\"ops\":\"stepDeviceStatus\"}");
    if (r != "{\"result\":\"succ\"}") {
        std::printf("path %d: the engine did not prepare: %s\n", path, r.c_str());
        return out;
    }
    // The streams, as period_bench's DriverShape case sets them.
    char reason[256];
    uint8_t mac[6] = {};
    RtpAudio_setNum(RTP_UCAST_TX, 128, reason, sizeof reason);
    for (int i = 0; i < 128; ++i) {
        int32_t map[8];
        for (int j = 0; j < 8; ++j) map[j] = (i * 8 + j) % 64;
        const uint32_t rcv = uint32_t(1 + i);
        sdpInfo u{own, path == 0 ? 0x7F000100u + rcv : kLinkNet | 0x0100u | rcv, RTP_PORT, 8, 3, uint32_t(i)};
        if (RtpAudio_setUcastTx(i, &u, map, 8, mac, reason, sizeof reason) != 0) std::printf("%s\n", reason);
    }
    for (int i = 0; i < 16; ++i) {
        int32_t map[8];
        for (int j = 0; j < 8; ++j) map[j] = (i * 8 + j) % 64;
        sdpInfo m{own, 0xEF450100u + uint32_t(i), RTP_PORT, 8, 3, 0};
        if (RtpAudio_setMcastTx(i, &m, map, 8, mac, reason, sizeof reason) != 0) std::printf("%s\n", reason);
        sdpInfo rx{0x0A000001u, 0xEF460100u + uint32_t(i), RTP_PORT, 8, 3, 0};
        RtpAudio_setMcastRx(i, &rx, map, 8, reason, sizeof reason);
    }
    int32_t route[64];
    for (int i = 0; i < 64; ++i) route[i] = i;
    RtpAudio_setChRx(route, 64);
    RtpAudio_setChTx(route, 64);
    r = req("{\"ops\":\"stepDeviceStatus\"}");
    if (r != "{\"result\":\"succ\"}") {
        std::printf("path %d: the engine did not start: %s\n", path, r.c_str());
        return out;
    }
    Clock_sleepMs(500); // the time base settles
    const pid_t flooder = flood ? startFlood(flood, seconds + 2) : -1;
    if (flood) Clock_sleepMs(200);
    const int tid = timerTid();
    if (tid < 0) {
        std::printf("path %d: no real-time timer thread found\n", path);
        req("{\"ops\":\"resetKernel\"}");
        return out;
    }
    const long long rt0 = runtimeNs(tid), ip0 = ipOutRequests();
    const double cpu0 = processCpuUs();
    const long long b0 = g_batches.load(), d0 = g_datagrams.load();
    const uint32_t rst0 = TimerManager_getRstRtp();
    uint64_t lost0[3];
    KoSocket_sendStats(&lost0[0], &lost0[1], &lost0[2]);
    std::vector<double> tx, rx;
    const int samples = seconds * 200;
    uint32_t rstSeen = rst0;
    for (int i = 0; i < samples; ++i) {
        Clock_sleepMs(5);
        for (const uint32_t rst = TimerManager_getRstRtp(); rstSeen != rst; ++rstSeen) g_resetNs.push_back(Clock_nowNs());
        uint32_t f[6];
        KoTimer_perfStats(f);
        tx.push_back(f[0] / 1000.0);
        rx.push_back(f[2] / 1000.0);
    }
    const long long rt1 = runtimeNs(tid), ip1 = ipOutRequests();
    const double cpu1 = processCpuUs();
    const long long b1 = g_batches.load(), d1 = g_datagrams.load();
    out.resets = TimerManager_getRstRtp() - rst0;
    uint64_t lost1[3];
    KoSocket_sendStats(&lost1[0], &lost1[1], &lost1[2]);
    out.lost = (lost1[1] - lost0[1]) + (lost1[2] - lost0[2]);
    if (flooder > 0) {
        kill(flooder, SIGKILL);
        waitpid(flooder, nullptr, 0);
    }
    req("{\"ops\":\"resetKernel\"}");
    out.periods = b1 - b0;
    out.batch = out.periods > 0 ? double(d1 - d0) / double(out.periods) : 0;
    if (out.periods <= 0 || rt0 < 0 || rt1 < 0) {
        std::printf("path %d: no periods counted\n", path);
        return out;
    }
    out.timerUs = double(rt1 - rt0) / 1000.0 / double(out.periods);
    out.processUs = (cpu1 - cpu0) / double(out.periods);
    out.txUs = median(tx);
    out.rxUs = median(rx);
    out.sent = ip0 >= 0 && ip1 >= 0 ? double(ip1 - ip0) / double(out.periods) : -1;
    out.ok = true;
    return out;
}

// period_bench's DriverShape figures: "send/path/timer" -> CPU microseconds per period.
std::map<std::string, double> userFigures(const char* filter = "DriverShape", int reps = 3) {
    std::map<std::string, double> m;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return m;
    self[n] = 0;
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    const std::string cmd = "'" + dir + "/period_bench' --benchmark_filter='" + filter +
                            "' --benchmark_format=csv --benchmark_repetitions=" + std::to_string(reps) + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return m;
    char line[1024];
    while (std::fgets(line, sizeof line, p)) {
        // "BM_PeriodDriverShape/send:1/path:0",iterations,real_time,cpu_time,... (one row per
        // repetition; the aggregate rows carry a suffix and are left out: the lowest counts)
        std::string s(line);
        if (s.rfind("\"BM_PeriodDriverShape/", 0) != 0) continue;
        const size_t sp = s.find("send:"), pp = s.find("path:"), tp = s.find("timer:");
        if (sp == std::string::npos || pp == std::string::npos || tp == std::string::npos ||
            s.compare(tp + 7, 2, "\",") != 0)
            continue;
        const std::string key = s.substr(sp + 5, 1) + "/" + s.substr(pp + 5, 1) + "/" + s.substr(tp + 6, 1);
        size_t c = s.find(',');
        c = s.find(',', c + 1); // iterations
        c = s.find(',', c + 1); // real_time
        const double v = std::atof(s.c_str() + c + 1);
        auto it = m.find(key);
        if (v > 0 && (it == m.end() || v < it->second)) m[key] = v;
    }
    pclose(p);
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::min(60, std::atoi(argv[1]))) : 3;
    const bool floodOnly = argc > 2 && std::strcmp(argv[2], "flood") == 0;
    if (geteuid() != 0) {
        std::printf("driver_period_bench: needs root (the driver's raw socket, a network namespace)\n");
        return 0;
    }
    if (!mkdtemp(g_dir)) return 1;
    setenv("VELUNOR_RUNDIR", g_dir, 1);
    // Before any thread starts: every thread of ours lives in the new namespace.
    if (unshare(CLONE_NEWNET) != 0 || !sh("ip link set lo up && ip route add 224.0.0.0/4 dev lo")) {
        std::printf("driver_period_bench: no network namespace of our own; nothing sent\n");
        sh(std::string("rm -rf ") + g_dir);
        return 0;
    }
    const bool link = setupLink();
    std::atexit(cleanup);
    // The unicast receivers on loopback: one socket on port 5004 of every address.
    const int sink = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(sink, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(RTP_PORT);
    if (bind(sink, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) std::printf("no sink on port 5004\n");

    if (Kernel_loadDriver(DriverEntry) != STATUS_SUCCESS) {
        std::printf("driver_period_bench: the driver did not load\n");
        return 1;
    }
    RtpAudio_setTransport(countingSend, KoSocket_txBuffer);
    std::printf("driver engine: 64+64 channels, 128 unicast + 16 multicast transmit streams (8 x L24), "
                "%d s per path; link path: %s\n",
                seconds, link ? "yes" : "no");
    // The stall witness, for the whole of the runs below: ten runs of `seconds` with their
    // setup, and six user-mode runs of a few seconds between them.
    char self[4096];
    const ssize_t sn = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = sn > 0 ? std::string(self, size_t(sn)) : std::string(".");
    dir = dir.substr(0, dir.rfind('/'));
    const std::string watchLog = std::string(g_dir) + "/stallwatch.log";
    const std::string watchCmd = "'" + dir + "/../tools/velunor-stallwatch/velunor-stallwatch' seconds=" +
                                 std::to_string(11 * seconds + 50) + " log=" + watchLog + " 2>&1";
    FILE* watch = popen(watchCmd.c_str(), "r");
    // A second witness below the timer (SCHED_FIFO 50) also sees what other real-time work
    // of a shared machine took from it (another card's engine, a sound server): its log only.
    const std::string lowLog = std::string(g_dir) + "/stallwatch-low.log";
    const std::string lowCmd = "'" + dir + "/../tools/velunor-stallwatch/velunor-stallwatch' seconds=" +
                               std::to_string(11 * seconds + 50) + " prio=50 log=" + lowLog + " 2>&1";
    FILE* low = popen(lowCmd.c_str(), "r");
    Figures f[2];
    std::vector<std::pair<double, double>> pairs[2]; // (driver timer us, user-mode timer us) run by run
    for (int path = 0; path < 2 && !floodOnly; ++path) {
        if (path == 1 && !link) continue;
        for (int run = 0; run < 3; ++run) {
            Figures r = runPath(path, seconds);
            // The user-mode period on its 1 ms timer right after each run: the shared
            // machine's speed drifts over minutes, and a pair taken together shares it.
            const std::string key = "1/" + std::to_string(path) + "/1";
            const std::map<std::string, double> u =
                userFigures(("DriverShape/send:1/path:" + std::to_string(path) + "/timer:1$").c_str(), 1);
            const auto ut = u.find(key);
            if (r.ok && ut != u.end() && ut->second > 0) pairs[path].emplace_back(r.timerUs, ut->second);
            const unsigned resets = f[path].resets + r.resets;
            const uint64_t lost = f[path].lost + r.lost;
            if (r.ok && (!f[path].ok || r.timerUs < f[path].timerUs)) f[path] = r;
            f[path].resets = resets;
            f[path].lost = lost;
        }
    }
    // Each flood beside a loopback run just before it: the machine is shared.
    Figures fl[2], base[2];
    std::vector<double> growth[2];
    for (int rep = 0; rep < (floodOnly ? 3 : 1); ++rep)
        for (int kind = 1; kind <= 2; ++kind) {
            base[kind - 1] = runPath(0, seconds);
            fl[kind - 1] = runPath(0, seconds, kind);
            if (base[kind - 1].ok && fl[kind - 1].ok)
                growth[kind - 1].push_back((fl[kind - 1].processUs - base[kind - 1].processUs) / 10.0);
        }
    Kernel_unloadDriver();
    std::string stalls = "(no stall witness)\n";
    if (watch) {
        char line[1024];
        while (std::fgets(line, sizeof line, watch))
            if (std::strstr(line, "\"mode\":\"stallwatch\"")) stalls = line;
        pclose(watch); // it ends by itself after its seconds
    }
    if (low) {
        char line[1024];
        while (std::fgets(line, sizeof line, low)) {
        }
        pclose(low);
    }
    // A reset is the host's when the witness saw the machine stalled over three periods
    // (less the witness's grid step: it sees a stall up to one step short) in the 20 ms
    // before it was sampled (the sampling's step and then some).
    std::vector<std::pair<int64_t, int64_t>> episodes;
    for (const std::string& log : {watchLog, lowLog}) {
        if (FILE* w = std::fopen(log.c_str(), "r")) {
            int cpu;
            long long a, b;
            while (std::fscanf(w, " s %d %lld %lld", &cpu, &a, &b) == 3)
                if (b - a > 2500000) episodes.emplace_back(a, b);
            std::fclose(w);
        }
    }
    unsigned unwitnessed = 0;
    for (const int64_t r : g_resetNs) {
        bool seen = false;
        for (const auto& e : episodes) seen |= e.second >= r - 20000000 && e.first <= r;
        unwitnessed += seen ? 0 : 1;
    }
    close(sink);

    if (!floodOnly) std::printf("user-mode engine (period_bench DriverShape, lowest of 3 runs)...\n");
    std::fflush(stdout);
    const std::map<std::string, double> user = floodOnly ? std::map<std::string, double>() : userFigures();

    static const char* const kPath[2] = {"loopback", "link down"};
    if (!floodOnly)
        std::printf("\n%-10s %9s %10s %7s %6s %6s %6s %8s %6s %7s | %10s %10s %10s %6s %6s %6s\n", "path",
                "timer_us", "process_us", "tx_us", "rx_us", "batch", "sent", "periods", "resets", "dropped",
                "user_send0", "user_mmsg", "user_timer", "ratio0", "ratio1", "ratioT");
    for (int path = 0; path < 2 && !floodOnly; ++path) {
        if (!f[path].ok) {
            std::printf("%-10s (not measured)\n", kPath[path]);
            continue;
        }
        const std::string ps = std::to_string(path);
        auto u0 = user.find("0/" + ps + "/0"), u1 = user.find("1/" + ps + "/0"), ut = user.find("1/" + ps + "/1");
        const double a = u0 != user.end() ? u0->second : 0, b = u1 != user.end() ? u1->second : 0,
                     t = ut != user.end() ? ut->second : 0;
        char r0[16] = "-", r1[16] = "-", rt[16] = "-";
        if (a > 0) std::snprintf(r0, sizeof r0, "%.2f", f[path].timerUs / a);
        if (b > 0) std::snprintf(r1, sizeof r1, "%.2f", f[path].timerUs / b);
        if (t > 0) std::snprintf(rt, sizeof rt, "%.2f", f[path].timerUs / t);
        std::printf("%-10s %9.1f %10.1f %7.1f %6.1f %6.1f %6.1f %8lld %6u %7llu | %10.1f %10.1f %10.1f %6s %6s %6s\n",
                    kPath[path], f[path].timerUs, f[path].processUs, f[path].txUs, f[path].rxUs, f[path].batch,
                    f[path].sent, f[path].periods, f[path].resets, (unsigned long long)f[path].lost, a, b, t, r0, r1,
                    rt);
    }
    for (int path = 0; path < 2 && !floodOnly; ++path) {
        if (pairs[path].empty()) continue;
        std::vector<double> ratios;
        std::printf("%-10s each run against the user-mode timer run right after it:", kPath[path]);
        for (const auto& pr : pairs[path]) {
            ratios.push_back(pr.first / pr.second);
            std::printf(" %.1f/%.1f=%.2f", pr.first, pr.second, pr.first / pr.second);
        }
        std::printf(", median ratioT %.2f\n", median(ratios));
    }
    static const char* const kFlood[2] = {"non-RTP", "RTP, no stream"};
    for (int k = 0; k < 2; ++k) {
        if (!fl[k].ok || !base[k].ok) {
            std::printf("flood %-15s (not measured)\n", kFlood[k]);
            continue;
        }
        // The part outside the timer's thread (the receive thread's) apart: a stall of the
        // shared machine during one run shows in the timer's figure, not in this one.
        std::printf("flood %-15s 100000/s: timer %.1f us, process %.1f us per period (loopback run before it: "
                    "%.1f, %.1f), flood CPU %+.1f %% of a core (outside the timer thread %+.1f), resets %u\n",
                    kFlood[k], fl[k].timerUs, fl[k].processUs, base[k].timerUs, base[k].processUs,
                    (fl[k].processUs - base[k].processUs) / 10.0,
                    ((fl[k].processUs - fl[k].timerUs) - (base[k].processUs - base[k].timerUs)) / 10.0, fl[k].resets);
        if (growth[k].size() > 1) {
            std::printf("      %-15s flood CPU of each pair:", kFlood[k]);
            for (double g : growth[k]) std::printf(" %+.1f", g);
            std::printf(" %% of a core, median %+.1f\n", median(growth[k]));
        }
    }
    std::printf("stall witness: %s", stalls.c_str());
    std::printf("resets in all runs: %zu, %u of them with no stall over 2.5 ms either witness saw in the 20 ms "
                "before\n",
                g_resetNs.size(), unwitnessed);
    std::printf("(us per period; ratio0 = driver timer CPU / user-mode CPU with one send per datagram, "
                "ratio1 = against sendmmsg back to back, ratioT = against sendmmsg with each period on its own "
                "1 ms timer wake-up, as the driver's)\n");
    return 0;
}
