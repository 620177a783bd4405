// What the window and the control worker share: the window writes the start values,
// then publishes a command; the worker takes it with an atomic exchange.
#pragma once
#include <QtGlobal>
#include <atomic>

enum { CMD_NONE = 0, CMD_INIT = 1, CMD_START = 2, CMD_STOP = 3, CMD_RESTART = 4 };
enum { STATE_INIT = 1, STATE_STARTED = 2, STATE_STOPPED = 3 };

struct ControlBlock {
    std::atomic<int> command{CMD_NONE};
    std::atomic<int> startState{STATE_INIT};
    std::atomic<bool> quit{false};
    quint32 startIp = 0;
    int sampleRate = 48000;
    int curChNum = 2;
    int routeChNum = 2;
    int bufMs = 0;
    int domain = 0;
    qint64 nextStartTime = 0;
    bool addrWarningShown = false;
    std::atomic<bool> diag{false};
};

// The driver-side engine as VelunorCore last reported it.
struct KoState {
    int status = -1; // 2 running, 0 stopped, -1 not reported
    int sampleRate = -1;
    quint32 ip = 0;
    int phyRx = -1;
};

extern ControlBlock g_ctl;
extern KoState g_dev;
// The clock identity of the adapter of the last Start, read by the UDP worker.
extern std::atomic<quint64> g_myClkId;
