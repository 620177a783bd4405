// velunor-kernel: the driver host of one computer (one per $VELUNOR_RUNDIR). It loads
// the driver image, plays the PnP manager for the root device "Root\VelunorAudio" and
// serves the driver's device interfaces until it is told to stop.
//
//   velunor-kernel [path/to/VelunorAudio.so]
//
// SIGTERM or SIGINT: unload and exit. SIGUSR1: disable the device (unload the driver).
// SIGUSR2: enable it (load the driver again). The process id is in
// $VELUNOR_RUNDIR/velunor-kernel.pid while it runs.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/kernel/host.h"
#include "platform/paths.h"

namespace {

volatile sig_atomic_t g_stop, g_disable, g_enable;

void onSignal(int sig) {
    if (sig == SIGUSR1) g_disable = 1;
    else if (sig == SIGUSR2) g_enable = 1;
    else g_stop = 1;
}

std::string defaultImage() {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "VelunorAudio.so";
    self[n] = 0;
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    // Beside the host in an installed program folder, or in the build tree's driver/.
    for (const char* rel : {"/VelunorAudio.so", "/../VelunorAudio.so", "/../driver/VelunorAudio.so"}) {
        std::string p = dir + rel;
        if (::access(p.c_str(), R_OK) == 0) return p;
    }
    return dir + "/VelunorAudio.so";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::printf("usage: velunor-kernel [driver image]\n"
                    "  loads the driver for Root\\VelunorAudio and serves it until SIGTERM;\n"
                    "  SIGUSR1 disables the device (unloads the driver), SIGUSR2 enables it\n");
        return 0;
    }
    const std::string image = argc > 1 ? argv[1] : defaultImage();

    // One host per computer.
    char pidPath[1024];
    std::snprintf(pidPath, sizeof pidPath, "%s/velunor-kernel.pid", Paths_rundir());
    Paths_ensureParent(pidPath);
    int pidFd = ::open(pidPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (pidFd < 0 || ::flock(pidFd, LOCK_EX | LOCK_NB) != 0) {
        std::printf("velunor-kernel: another host serves %s\n", Paths_rundir());
        return 1;
    }
    char pid[32];
    int pn = std::snprintf(pid, sizeof pid, "%d\n", int(::getpid()));
    if (::ftruncate(pidFd, 0) != 0 || ::write(pidFd, pid, size_t(pn)) != pn) std::printf("velunor-kernel: pid file\n");

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaction(s, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    NTSTATUS st = Kernel_loadDriverImage(image.c_str());
    std::printf("velunor-kernel: %s loaded, status 0x%08X\n", image.c_str(), uint32_t(st));
    std::fflush(stdout);
    while (!g_stop) {
        ::usleep(50000);
        if (g_disable) {
            g_disable = 0;
            if (Kernel_driverLoaded()) {
                Kernel_unloadDriver();
                std::printf("velunor-kernel: device disabled, driver unloaded\n");
                std::fflush(stdout);
            }
        }
        if (g_enable) {
            g_enable = 0;
            if (!Kernel_driverLoaded()) {
                st = Kernel_loadDriverImage(image.c_str());
                std::printf("velunor-kernel: device enabled, status 0x%08X\n", uint32_t(st));
                std::fflush(stdout);
            }
        }
    }
    Kernel_unloadDriver();
    IoMgr_shutdown();
    ::unlink(pidPath);
    std::printf("velunor-kernel: stopped\n");
    std::fflush(stdout);
    return 0;
}
