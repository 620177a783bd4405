// devcon disable|enable Root\VelunorAudio
//
// The driver host of this computer ($VELUNOR_RUNDIR/velunor-kernel.pid) unloads the
// driver on SIGUSR1 and loads it on SIGUSR2. devcon waits until the driver's control
// interface has gone or come back. Exit codes: 0 done, 2 failed, 3 usage.
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/devif.h"
#include "platform/paths.h"

namespace {

const char* kControlClass = "{9AD94B40-825F-4484-8922-F355E24A4C21}";

bool interfacePresent() { return DevIf_list(kControlClass, nullptr, 0) > 1; }

int hostPid() {
    char path[1024];
    std::snprintf(path, sizeof path, "%s/velunor-kernel.pid", Paths_rundir());
    FILE* f = std::fopen(path, "r");
    if (!f) return -1;
    int pid = -1;
    if (std::fscanf(f, "%d", &pid) != 1) pid = -1;
    std::fclose(f);
    return pid > 1 && ::kill(pid, 0) == 0 ? pid : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "disable") != 0 && std::strcmp(argv[1], "enable") != 0)) {
        std::printf("usage: devcon disable|enable Root\\VelunorAudio\n");
        return 3;
    }
    const bool disable = std::strcmp(argv[1], "disable") == 0;
    // Hardware ids compare without regard to case, and with either slash.
    char id[128];
    std::snprintf(id, sizeof id, "%s", argv[2]);
    for (char* p = id; *p; ++p)
        if (*p == '/') *p = '\\';
    if (strcasecmp(id, "Root\\VelunorAudio") != 0 && strcasecmp(id, "=Root\\VelunorAudio") != 0) {
        std::printf("No matching devices found.\n");
        return 2;
    }
    const int pid = hostPid();
    if (pid < 0) {
        std::printf("No matching devices found.\n");
        return 2;
    }
    if (::kill(pid, disable ? SIGUSR1 : SIGUSR2) != 0) {
        std::printf("ROOT\\VELUNORAUDIO\\0000 : %s failed\n", disable ? "Disable" : "Enable");
        return 2;
    }
    for (int i = 0; i < 100; ++i) { // 10 s at most
        if (interfacePresent() != disable) {
            std::printf("ROOT\\VELUNORAUDIO\\0000 : %s\n1 device(s) %s.\n", disable ? "Disabled" : "Enabled",
                        disable ? "disabled" : "enabled");
            return 0;
        }
        Clock_sleepMs(100);
    }
    std::printf("ROOT\\VELUNORAUDIO\\0000 : %s failed\n", disable ? "Disable" : "Enable");
    return 2;
}
