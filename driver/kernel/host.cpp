// velunor-kernel: the driver host of one computer (one per $VELUNOR_RUNDIR). It loads
// the driver image, plays the PnP manager for the root device "Root\VelunorAudio" and
// serves the driver's device interfaces until it is told to stop.
//
//   velunor-kernel [path/to/VelunorAudio.so]
//
// SIGTERM or SIGINT: unload and exit. A "disable" request on its socket
// $VELUNOR_RUNDIR/velunor-kernel.sock (devcon, run by any user of the folder's group)
// disables the device (unloads the driver), "enable" loads it again; SIGUSR1 and SIGUSR2
// do the same for root. The process id is in $VELUNOR_RUNDIR/velunor-kernel.pid while it
// runs. Installed, the velunor-kernel service runs it as root at boot.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/kernel/host.h"
#include "platform/devif.h"
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

// Why the host cannot keep its files in the run-time folder, naming the folder and the
// permission it lacks.
void explainFolder(const char* rundir, int err) {
    std::string dir = rundir;
    if (::access(rundir, F_OK) != 0) { // the folder itself must be made: its parent decides
        const size_t slash = dir.rfind('/');
        dir = slash == 0 ? "/" : (slash == std::string::npos ? "." : dir.substr(0, slash));
    }
    std::printf("velunor-kernel: no write permission for the folder %s (%s): the host keeps its pid file, "
                "sockets and sections in %s; run it as root, as the velunor-kernel service does "
                "(systemctl start velunor-kernel), or point VELUNOR_RUNDIR at a folder this user may write\n",
                dir.c_str(), std::strerror(err), rundir);
}

void disable() {
    if (!Kernel_driverLoaded()) return;
    Kernel_unloadDriver();
    std::printf("velunor-kernel: device disabled, driver unloaded\n");
    std::fflush(stdout);
}

void enable(const std::string& image) {
    if (Kernel_driverLoaded()) return;
    NTSTATUS st = Kernel_loadDriverImage(image.c_str());
    std::printf("velunor-kernel: device enabled, status 0x%08X\n", uint32_t(st));
    std::fflush(stdout);
}

// One request on the host's socket: a word in, the outcome out. A client that sends
// nothing within a second is dropped, so none can hold the host.
void serveRequest(int listenFd, const std::string& image) {
    int c = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    pollfd p{c, POLLIN, 0};
    char word[64] = "";
    ssize_t n = ::poll(&p, 1, 1000) == 1 ? ::recv(c, word, sizeof word - 1, 0) : -1;
    const char* reply = "unknown request";
    if (n > 0) {
        word[n] = 0;
        if (std::strcmp(word, "disable") == 0) {
            disable();
            reply = "disabled";
        } else if (std::strcmp(word, "enable") == 0) {
            enable(image);
            reply = Kernel_driverLoaded() ? "enabled" : "enable failed";
        }
        (void)::send(c, reply, std::strlen(reply), MSG_NOSIGNAL);
    }
    ::close(c);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::printf("usage: velunor-kernel [DRIVER-IMAGE]\n"
                    "The driver host of the Velunor Link sound card: it loads the driver (VelunorAudio.so\n"
                    "beside it, or DRIVER-IMAGE) for the device Root\\VelunorAudio and serves its audio\n"
                    "endpoints and control interface until SIGTERM. One host serves one computer.\n"
                    "\n"
                    "It keeps its pid file, sockets and sections in $VELUNOR_RUNDIR (default /run/velunor)\n"
                    "and needs raw sockets and real-time scheduling: the velunor-kernel service runs it as\n"
                    "root at boot (systemctl status velunor-kernel). Users of the folder's group (audio)\n"
                    "reach it: devcon disable|enable Root\\VelunorAudio unloads and loads the driver\n"
                    "through its socket velunor-kernel.sock; as root, SIGUSR1 and SIGUSR2 do the same.\n"
                    "\n"
                    "Environment: VELUNOR_RUNDIR (run-time folder), VELUNOR_ROOT (data, default\n"
                    "/var/lib/velunor).\n");
        return 0;
    }
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fprintf(stderr, "velunor-kernel: unknown argument \"%s\" (velunor-kernel --help)\n", argv[argc - 1]);
        return 2;
    }
    const std::string image = argc > 1 ? argv[1] : defaultImage();

    // One host per computer.
    const char* rundir = Paths_rundir();
    char pidPath[1024];
    std::snprintf(pidPath, sizeof pidPath, "%s/velunor-kernel.pid", rundir);
    if (!Paths_ensureDir(rundir)) {
        explainFolder(rundir, errno);
        return 1;
    }
    int pidFd = ::open(pidPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (pidFd < 0) {
        const int err = errno;
        // A host of another user (root) holds the file: say that, not the permission.
        const int seen = ::open(pidPath, O_RDONLY | O_CLOEXEC);
        const bool held = seen >= 0 && ::flock(seen, LOCK_SH | LOCK_NB) != 0;
        if (seen >= 0) ::close(seen);
        if (held) std::printf("velunor-kernel: another host serves %s\n", rundir);
        else explainFolder(rundir, err);
        return 1;
    }
    if (::flock(pidFd, LOCK_EX | LOCK_NB) != 0) {
        std::printf("velunor-kernel: another host serves %s\n", rundir);
        return 1;
    }
    char pid[32];
    int pn = std::snprintf(pid, sizeof pid, "%d\n", int(::getpid()));
    if (::ftruncate(pidFd, 0) != 0 || ::write(pidFd, pid, size_t(pn)) != pn) std::printf("velunor-kernel: pid file\n");
    const int ctlFd = DevIf_hostListen();
    if (ctlFd < 0) {
        explainFolder(rundir, errno);
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaction(s, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    NTSTATUS st = Kernel_loadDriverImage(image.c_str());
    std::printf("velunor-kernel: %s loaded, status 0x%08X\n", image.c_str(), uint32_t(st));
    std::fflush(stdout);
    while (!g_stop) {
        pollfd p{ctlFd, POLLIN, 0};
        if (::poll(&p, 1, 50) == 1) serveRequest(ctlFd, image);
        if (g_disable) {
            g_disable = 0;
            disable();
        }
        if (g_enable) {
            g_enable = 0;
            enable(image);
        }
    }
    char ctlPath[4096];
    if (DevIf_hostSocketPath(ctlPath, sizeof ctlPath)) ::unlink(ctlPath);
    ::close(ctlFd);
    Kernel_unloadDriver();
    IoMgr_shutdown();
    ::unlink(pidPath);
    std::printf("velunor-kernel: stopped\n");
    std::fflush(stdout);
    return 0;
}
