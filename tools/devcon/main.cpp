// devcon disable|enable Root\VelunorAudio
//
// The driver host of this computer unloads the driver on a "disable" request on its
// socket ($VELUNOR_RUNDIR/velunor-kernel.sock) and loads it on "enable": a request, not a
// signal, so a normal user of the card may ask a host that runs as root. devcon waits
// until the driver's control interface has gone or come back. Exit codes: 0 done,
// 2 failed, 3 usage.
#include <errno.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/devif.h"
#include "platform/paths.h"

namespace {

const char* kControlClass = "{9AD94B40-825F-4484-8922-F355E24A4C21}";

bool interfacePresent() { return DevIf_list(kControlClass, nullptr, 0) > 1; }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: devcon disable|enable Root\\VelunorAudio\n"
                    "Disables (unloads) or enables (loads) the card's driver in its driver host,\n"
                    "through the host's socket $VELUNOR_RUNDIR/velunor-kernel.sock.\n");
        return 0;
    }
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
    char reply[128];
    const int rc = DevIf_hostRequest(disable ? "disable" : "enable", reply, sizeof reply, 10000);
    if (rc == -EACCES) {
        char why[512];
        if (Paths_canUseRundir(why, sizeof why)) std::snprintf(why, sizeof why, "no permission for the driver host");
        std::printf("devcon: %s\n", why);
    }
    if (rc == -ENOENT || rc == -ECONNREFUSED || rc == -EACCES) {
        std::printf("No matching devices found.\n");
        return 2;
    }
    if (rc != 0 || std::strcmp(reply, disable ? "disabled" : "enabled") != 0) {
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
