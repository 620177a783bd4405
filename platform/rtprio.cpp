#include "platform/rtprio.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <limits.h>
#include <sys/syscall.h>
#include <unistd.h>

void Privilege_report(const char* capability, const char* what, int value, const char* orLimit) {
    char self[PATH_MAX] = "this program";
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) self[n] = 0;
    char cap[64];
    size_t i = 0;
    for (; capability[i] && i + 1 < sizeof cap; i++) cap[i] = char(std::tolower(capability[i]));
    cap[i] = 0;
    std::printf("error: %s %d needs the privilege %s, which %s lacks: grant it with setcap %s+ep %s as root "
                "(the velunor-link package does so for VelunorRoute)%s%s \n",
                what, value, capability, self, cap, self, orLimit ? ", or " : "", orLimit ? orLimit : "");
    std::fflush(stdout);
}

int RtPrio_joinClass(const char* className) {
    (void)className; // Linux has no scheduling classes by name; the level below does the work
    return 1;
}

int RtPrio_setLevel(RtPrioLevel level, const char* who) {
    if (!who) who = "thread";
    sched_param sp{};
    switch (level) {
    case RTPRIO_NORMAL:
    case RTPRIO_ABOVE_NORMAL: {
        sp.sched_priority = 0;
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &sp);
        int nice = level == RTPRIO_ABOVE_NORMAL ? -5 : 0;
        pid_t tid = pid_t(syscall(SYS_gettid));
        if (setpriority(PRIO_PROCESS, id_t(tid), nice) != 0 && nice != 0) {
            const int err = errno;
            std::printf("=== %s: nice %d not permitted (%s), normal priority \n", who, nice, std::strerror(err));
            if (err == EACCES || err == EPERM)
                Privilege_report("CAP_SYS_NICE", "nice", nice,
                                 "a nice limit for the user (\"@audio - nice -5\" in /etc/security/limits.d/)");
            std::fflush(stdout);
            return 1;
        }
        return 0;
    }
    case RTPRIO_HIGH:
    case RTPRIO_CRITICAL: {
        sp.sched_priority = level == RTPRIO_CRITICAL ? 70 : 60;
        int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
        if (rc != 0) {
            std::printf("=== %s: SCHED_FIFO %d not permitted (%s), normal scheduling \n", who, sp.sched_priority,
                        std::strerror(rc));
            if (rc == EPERM)
                Privilege_report("CAP_SYS_NICE", "SCHED_FIFO priority", sp.sched_priority,
                                 "an rtprio limit for the user (\"@audio - rtprio 95\" in /etc/security/limits.d/)");
            std::fflush(stdout);
            return 1;
        }
        return 0;
    }
    }
    return -1;
}

bool RtPrio_isRealtime() {
    int policy = 0;
    sched_param sp{};
    if (pthread_getschedparam(pthread_self(), &policy, &sp) != 0) return false;
    return policy == SCHED_FIFO;
}
