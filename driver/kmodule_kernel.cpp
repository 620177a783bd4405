// The engine commands that the kernel build has of its own, or does its own way.
#include <cstdio>

#include "driver/driver.h"
#include "engine/TimerManager_c.h"
#include "engine/kmodule_device.h"

namespace {

int failWorking(KoOpCtx* c, const char* func, int line) {
    return KoOp_fail(c, "TimerManager", func, line, "can not modify when working");
}

int opGetLastInterruptTime(KoOpCtx* c) {
    if (TimerManager_getDeviceStatus() != 2) return failWorking(c, "getLastInterruptTime", __LINE__);
    int64_t ns = 0;
    uint32_t ts = 0;
    int32_t diff = 0;
    KoTimer_lastInterrupt(&ns, &ts, &diff);
    KoOp_putInt(c, "rtpTs", ts);
    KoOp_putInt(c, "ns64", ns);
    KoOp_putInt(c, "nsRtpTs_minus_expectedRtpTs", diff);
    return 0;
}

int opGetRtpPause(KoOpCtx* c) {
    KoOp_putInt(c, "pause", KoTimer_pause() ? 1 : 0);
    return 0;
}

int opSetRtpPause(KoOpCtx* c) {
    int64_t v = 0;
    if (!KoOp_getInt(c, "pause", &v)) return -1;
    KoTimer_setPause(v != 0);
    return 0;
}

// The reason is the status machine's own error line.
int opStepDeviceStatus(KoOpCtx* c) {
    char reason[256];
    reason[0] = 0;
    if (TimerManager_stepStatus(reason, sizeof reason) == 0) return 0;
    KoOp_setReason(c, reason);
    return -1;
}

int opResetKernel(KoOpCtx*) {
    for (int i = 0; i < 3 && TimerManager_getDeviceStatus() != 0; ++i) TimerManager_stepStatus(nullptr, 0);
    return 0;
}

int opGetEthName(KoOpCtx* c) {
    KoOp_put(c, "name", KoSocket_boundName());
    return 0;
}

int opSetEthName(KoOpCtx* c) {
    char name[128];
    if (!KoOp_getStr(c, "name", name, sizeof name)) return -1;
    if (TimerManager_getDeviceStatus() != 0) return failWorking(c, "setEthName", __LINE__);
    if (KoSocket_bind(name) != 0) return KoOp_fail(c, "TimerManager", "setEthName", __LINE__, "bind failed");
    return 0;
}

int opGetPerformStats(KoOpCtx* c) {
    uint32_t f[6];
    KoTimer_perfStats(f);
    static const char* const names[3] = {"nsCost_dspToRtp", "nsCost_rtpToDsp", "i2s_poll"};
    for (int i = 0; i < 3; ++i) {
        char text[96];
        std::snprintf(text, sizeof text, "{\"cur\":\"%u\",\"max\":\"%u\"}", f[2 * i], f[2 * i + 1]);
        KoOp_putRaw(c, names[i], text);
    }
    return 0;
}

const KoCommand kKernelCommands[] = {
    {"getLastInterruptTime", opGetLastInterruptTime},
    {"getRtpPause", opGetRtpPause},
    {"setRtpPause", opSetRtpPause},
    {"stepDeviceStatus", opStepDeviceStatus},
    {"resetKernel", opResetKernel},
    {"getEthName", opGetEthName},
    {"setEthName", opSetEthName},
    {"getPerformStats", opGetPerformStats},
};

}  // namespace

void KoCommands_install() {
    Msg_device_setBuildCommands(kKernelCommands, int(sizeof kKernelCommands / sizeof kKernelCommands[0]));
}
