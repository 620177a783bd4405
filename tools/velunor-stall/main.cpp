// velunor-stall: a stall made on purpose. Pauses processes with SIGSTOP and lets them go
// on with SIGCONT after exactly the chosen time, from a SCHED_FIFO thread on absolute
// CLOCK_MONOTONIC deadlines (above the stall witness, so the pause ends when it should
// even on a loaded machine), and logs every pause it made beside the audio.
//
//   velunor-stall pid=N[,M...] ms=S [count=K] [gap=G] [delay=D] [log=FILE] [prio=P]
//
// Stall k (0-based) starts D + k x G ms after start-up (defaults: 1 stall, 1000 ms apart,
// 0 ms delay, SCHED_FIFO 90). S may be 0 (stop and go on at once). All pids are stopped
// and continued together (a stall of two cards at once). Each pause is logged as
// "i <from ns> <to ns>" (CLOCK_MONOTONIC, shared by every network namespace): from just
// before the first SIGSTOP to just after the last SIGCONT, so the logged span holds the
// whole pause. stdout: "stall: k=... from_ns=... to_ns=... ms=..." per pause, then a JSON
// summary. A target that is gone ends the tool with status 1; SIGINT/SIGTERM wait for a
// pause under way to end, so a target is never left stopped.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include "tools/common/cmdline.h"

namespace {

constexpr int kMaxPids = 16;
volatile sig_atomic_t g_quit = 0;

void onSignal(int) { g_quit = 1; }

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleepUntil(int64_t absNs) {
    timespec ts{time_t(absNs / 1000000000), long(absNs % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !g_quit) {
    }
}

bool parsePids(const char* s, pid_t* pids, int* n) {
    long v[kMaxPids];
    if (!Cmdline_intList(s, 2, 0x3fffffff, false, v, kMaxPids, n)) return false;
    for (int k = 0; k < *n; k++) pids[k] = pid_t(v[k]);
    return true;
}

bool parseNum(const char* s, double lo, double hi, double* out) { return Cmdline_number(s, lo, hi, out); }

int usage() {
    std::fprintf(stderr, "usage: velunor-stall pid=N[,M...] ms=S [count=K] [gap=G] [delay=D] [log=FILE] [prio=P]\n"
                         "  S 0..60000 ms, K 1..100000, G and D 0..3600000 ms, P 1..99\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    pid_t pids[kMaxPids];
    int nPids = 0;
    double ms = -1, count = 1, gap = 1000, delay = 0, prio = 90;
    const char* logPath = nullptr;
    for (int k = 1; k < argc; ++k) {
        const char* a = argv[k];
        bool ok = true;
        if (!std::strncmp(a, "pid=", 4)) ok = parsePids(a + 4, pids, &nPids);
        else if (!std::strncmp(a, "ms=", 3)) ok = parseNum(a + 3, 0, 60000, &ms);
        else if (!std::strncmp(a, "count=", 6)) ok = parseNum(a + 6, 1, 100000, &count) && count == double(long(count));
        else if (!std::strncmp(a, "gap=", 4)) ok = parseNum(a + 4, 0, 3600000, &gap);
        else if (!std::strncmp(a, "delay=", 6)) ok = parseNum(a + 6, 0, 3600000, &delay);
        else if (!std::strncmp(a, "prio=", 5)) ok = parseNum(a + 5, 1, 99, &prio);
        else if (!std::strncmp(a, "log=", 4)) logPath = a + 4;
        else ok = false;
        if (!ok) return usage();
    }
    if (nPids == 0 || ms < 0) return usage();

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    FILE* log = logPath ? std::fopen(logPath, "w") : nullptr;
    if (logPath && !log) {
        std::fprintf(stderr, "velunor-stall: cannot write %s: %s\n", logPath, std::strerror(errno));
        return 1;
    }
    mlockall(MCL_CURRENT | MCL_FUTURE);
    sched_param sp{};
    sp.sched_priority = int(prio);
    const bool fifo = sched_setscheduler(0, SCHED_FIFO, &sp) == 0;
    if (!fifo) std::fprintf(stderr, "velunor-stall: no SCHED_FIFO (%s): pauses may end late\n", std::strerror(errno));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    const int64_t stallNs = int64_t(ms * 1e6);
    const int64_t t0 = nowNs() + int64_t(delay * 1e6);
    int64_t longestNs = 0;
    long made = 0;
    int rc = 0;
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    for (long k = 0; k < long(count) && !g_quit; ++k) {
        sleepUntil(t0 + int64_t(double(k) * gap * 1e6));
        if (g_quit) break;
        // No signal of ours may end the tool between the stop and the go-on.
        sigprocmask(SIG_BLOCK, &block, &old);
        const int64_t from = nowNs();
        int stopped = 0;
        for (; stopped < nPids; ++stopped)
            if (kill(pids[stopped], SIGSTOP) != 0) break;
        if (stopped == nPids) sleepUntil(from + stallNs);
        for (int j = 0; j < stopped; ++j) kill(pids[j], SIGCONT);
        const int64_t to = nowNs();
        sigprocmask(SIG_SETMASK, &old, nullptr);
        if (stopped < nPids) {
            std::fprintf(stderr, "velunor-stall: pid %d: %s\n", int(pids[stopped]), std::strerror(errno));
            rc = 1;
            break;
        }
        ++made;
        if (to - from > longestNs) longestNs = to - from;
        if (log) {
            std::fprintf(log, "i %lld %lld\n", (long long)from, (long long)to);
            std::fflush(log);
        }
        std::printf("stall: k=%ld from_ns=%lld to_ns=%lld ms=%.3f\n", k, (long long)from, (long long)to,
                    double(to - from) / 1e6);
    }
    if (log) std::fclose(log);
    std::printf("{\"mode\":\"stall\",\"fifo\":%d,\"stalls\":%ld,\"ms\":%.3f,\"longestMs\":%.3f}\n", fifo ? 1 : 0, made,
                ms, double(longestNs) / 1e6);
    return rc;
}
