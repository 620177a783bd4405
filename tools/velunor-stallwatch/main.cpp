// velunor-stallwatch: one SCHED_FIFO thread per CPU, pinned, waking on an absolute
// 500 us grid; every wake-up later than the threshold is a stretch of time in which that
// CPU ran nothing of ours at real-time priority, whatever the cause (hypervisor,
// interrupts, a kernel section that does not yield). A stall that begins between two
// wake-ups is seen up to one grid step short, so the grid is finer than the 1 ms periods
// it judges (a few per cent of a CPU).
//
//   velunor-stallwatch seconds=S [log=FILE] [thresholdUs=U] [prio=P]
//
// Defaults: 10 s, 1000 us, SCHED_FIFO 80 (above the engine's 70, so the engine's own
// work is not taken for a stall). prio=0 watches at normal priority instead: it sees what
// the machine held up the programs that run there (the route service's announcements,
// a client of the card), whoever held them. Log: "s <cpu> <from ns> <to ns>" per late wake-up, from
// the wake-up that was due to the one that came, CLOCK_MONOTONIC (shared by every network
// namespace). The last line on stdout is a JSON summary with the counts over 1, 2 and
// 4 ms and the largest lateness.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tools/common/cmdline.h"

namespace {

struct Stall {
    int cpu;
    int64_t fromNs, toNs;
};

constexpr size_t kMaxStalls = 100000;
constexpr int64_t kGridNs = 500000;

struct Watch {
    int cpu = 0;
    int64_t endNs = 0, thresholdNs = 0;
    int prio = 80;
    bool fifo = false;
    uint64_t wakeups = 0;
    int64_t maxLateNs = 0;
    std::vector<Stall> stalls;
};

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// SIGINT/SIGTERM end the watch early, with its summary as at the end.
std::atomic<bool> g_stop{false};
void onStop(int) { g_stop.store(true); }

void watch(Watch* w) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(w->cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    sched_param sp{};
    sp.sched_priority = w->prio;
    w->fifo = w->prio > 0 && pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0;
    int64_t due = nowNs() + kGridNs;
    while (due < w->endNs && !g_stop.load(std::memory_order_relaxed)) {
        timespec ts{time_t(due / 1000000000), long(due % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        const int64_t now = nowNs();
        const int64_t late = now - due;
        ++w->wakeups;
        w->maxLateNs = std::max(w->maxLateNs, late);
        if (late >= w->thresholdNs && w->stalls.size() < kMaxStalls) w->stalls.push_back({w->cpu, due, now});
        // A long stall skips the wake-ups it covered rather than running them back to back.
        do due += kGridNs;
        while (due <= now);
    }
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);
    double seconds = 10;
    long thresholdUs = 1000;
    int prio = 80;
    const char* logPath = nullptr;
    for (int k = 1; k < argc; ++k) {
        if (!std::strncmp(argv[k], "seconds=", 8)) seconds = std::atof(argv[k] + 8);
        else if (!std::strncmp(argv[k], "log=", 4)) logPath = argv[k] + 4;
        else if (!std::strncmp(argv[k], "thresholdUs=", 12)) thresholdUs = std::atol(argv[k] + 12);
        else if (!std::strncmp(argv[k], "prio=", 5)) {
            double v = -1;
            prio = Cmdline_number(argv[k] + 5, 0, 99, &v) && v == double(int(v)) ? int(v) : -1;
        }
        else {
            std::fprintf(stderr, "usage: velunor-stallwatch seconds=S [log=FILE] [thresholdUs=U] [prio=P]\n");
            return 2;
        }
    }
    if (!(seconds > 0 && seconds <= 3600) || thresholdUs < 10 || prio < 0 || prio > 99) {
        std::fprintf(stderr, "velunor-stallwatch: seconds 0..3600, thresholdUs >= 10, prio 0..99\n");
        return 2;
    }
    mlockall(MCL_CURRENT | MCL_FUTURE);
    const int cpus = std::max(1, int(sysconf(_SC_NPROCESSORS_ONLN)));
    std::vector<Watch> w(static_cast<size_t>(cpus));
    const int64_t end = nowNs() + int64_t(seconds * 1e9);
    for (int c = 0; c < cpus; ++c) {
        w[size_t(c)].cpu = c;
        w[size_t(c)].endNs = end;
        w[size_t(c)].thresholdNs = int64_t(thresholdUs) * 1000;
        w[size_t(c)].prio = prio;
        w[size_t(c)].stalls.reserve(std::min<size_t>(kMaxStalls, size_t(seconds * 2000)));
    }
    std::printf("stallwatch: ready, %d cpus, %.1f s\n", cpus, seconds);
    std::fflush(stdout);
    std::vector<std::thread> th;
    for (int c = 0; c < cpus; ++c) th.emplace_back(watch, &w[size_t(c)]);
    for (auto& t : th) t.join();

    FILE* log = logPath ? std::fopen(logPath, "w") : nullptr;
    uint64_t wakeups = 0, over1 = 0, over2 = 0, over4 = 0;
    int64_t maxLate = 0;
    bool fifo = true;
    for (const Watch& x : w) {
        wakeups += x.wakeups;
        maxLate = std::max(maxLate, x.maxLateNs);
        fifo = fifo && x.fifo;
        for (const Stall& s : x.stalls) {
            const int64_t late = s.toNs - s.fromNs;
            over1 += late >= 1000000;
            over2 += late >= 2000000;
            over4 += late >= 4000000;
            if (log) std::fprintf(log, "s %d %lld %lld\n", s.cpu, (long long)s.fromNs, (long long)s.toNs);
        }
    }
    if (log) std::fclose(log);
    std::printf("{\"mode\":\"stallwatch\",\"fifo\":%d,\"cpus\":%d,\"wakeups\":%llu,\"over1ms\":%llu,\"over2ms\":%llu,"
                "\"over4ms\":%llu,\"maxUs\":%lld}\n",
                fifo ? 1 : 0, cpus, (unsigned long long)wakeups, (unsigned long long)over1, (unsigned long long)over2,
                (unsigned long long)over4, (long long)(maxLate / 1000));
    return 0;
}
