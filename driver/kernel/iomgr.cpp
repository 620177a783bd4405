// The I/O manager of the stand-in kernel: device interfaces as Unix-domain sockets,
// opens served by the accept thread and requests by a fixed pool of threads, and the
// PnP side that loads a driver for the root device. Every request becomes an IRP that goes through the driver object's
// dispatch table, so a driver's take-over of its dispatch entries is what really runs.
#include <dlfcn.h>
#include <fcntl.h>
#include <errno.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <string>
#include <vector>

#include "driver/kernel/host.h"
#include "platform/clock.h"
#include "platform/devif.h"

namespace {

constexpr const char* kInstance = "ROOT#VelunorAudio#0000";
constexpr int kMaxInterfaces = 160;
constexpr int kMaxClients = 256; // handles served at once; further opens wait in the backlog

struct Interface {
    bool used;
    char guid[40];
    char ref[128];
    char path[1024]; // the socket
    char link[256];  // the symbolic link name the driver holds
    int listenFd;
};

std::mutex g_ifLock;
Interface g_if[kMaxInterfaces];
int g_wakePipe[2] = {-1, -1};
std::thread* g_acceptThread; // lives as long as the process unless shut down
std::atomic<bool> g_quit{false};

// Requests hold this shared while in the driver; loading and unloading hold it alone.
std::shared_mutex g_driverLock;
std::atomic<uint32_t> g_generation{0}; // bumped at every load and unload
DRIVER_OBJECT* g_driver;
DRIVER_EXTENSION g_driverExt;
DEVICE_OBJECT g_pdo;
void* g_image;

std::mutex g_clientLock;
std::condition_variable g_clientCv;
int g_clients;

void guidText(const GUID* g, char* out, size_t cap) {
    std::snprintf(out, cap, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g->Data1, g->Data2, g->Data3,
                  g->Data4[0], g->Data4[1], g->Data4[2], g->Data4[3], g->Data4[4], g->Data4[5], g->Data4[6],
                  g->Data4[7]);
}

void wake() {
    if (g_wakePipe[1] >= 0) {
        char c = 1;
        ssize_t n = ::write(g_wakePipe[1], &c, 1);
        (void)n;
    }
}

bool reply(int fd, NTSTATUS status, const void* body, uint32_t len) {
    DevIfReply r{status, len};
    return DevIf_sendMsg(fd, &r, sizeof r, body, len);
}

// One open handle. The accept thread dispatches its create; afterwards the handle
// belongs to one thread of a fixed pool (by its slot), which serves its requests in
// order from its own epoll set, and its close: an open costs no thread start, and a
// handle never passes between threads.
struct Client {
    int fd;
    uint32_t gen; // the driver's generation at the create
    FILE_OBJECT file;
    char16_t name[130];
};
Client g_client[kMaxClients];
bool g_clientUsed[kMaxClients]; // under g_clientLock
constexpr int kWorkers = 4; // a worker held by a client that takes no replies is freed by the send time-out
int g_epoll[kWorkers] = {-1, -1, -1, -1}; // worker w serves the slots i with i % kWorkers == w
int g_quitFd = -1; // an eventfd in every epoll set, signalled once at shutdown: wakes every worker
std::thread* g_workers[kWorkers];

// Dispatches the close of an open handle (when its driver is still the one that opened
// it) and frees the handle.
void closeClient(int i) {
    Client& c = g_client[i];
    ::epoll_ctl(g_epoll[i % kWorkers], EPOLL_CTL_DEL, c.fd, nullptr);
    {
        std::shared_lock<std::shared_mutex> hold(g_driverLock);
        if (g_driver && g_generation.load() == c.gen) {
            IRP irp{};
            irp.Stack.MajorFunction = IRP_MJ_CLOSE;
            irp.Stack.FileObject = &c.file;
            IoMgr_dispatch(&irp);
        }
    }
    ::close(c.fd);
    c.fd = -1;
    std::lock_guard<std::mutex> g(g_clientLock);
    g_clientUsed[i] = false;
    --g_clients;
    g_clientCv.notify_all();
}

// The create of a handle just accepted; on success it joins the serving pool.
void openClient(int fd, const char* ref) {
    int i = 0;
    {
        std::lock_guard<std::mutex> g(g_clientLock);
        while (i < kMaxClients && g_clientUsed[i]) ++i;
        if (i == kMaxClients) { // the accept thread waits for room first; kept for safety
            ::close(fd);
            return;
        }
        g_clientUsed[i] = true;
        ++g_clients;
    }
    Client& c = g_client[i];
    c.fd = fd;
    c.file = FILE_OBJECT{};
    c.name[0] = u'\\';
    Kernel_widen(ref, c.name + 1, 129);
    RtlInitUnicodeString(&c.file.FileName, c.name);
    // A client that takes no replies holds a worker at most this long, then is hung up on
    // (a client waits for each reply before its next request, so its queue never fills).
    timeval limit{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    NTSTATUS st;
    {
        std::shared_lock<std::shared_mutex> hold(g_driverLock);
        c.gen = g_generation.load();
        IRP irp{};
        irp.Stack.MajorFunction = IRP_MJ_CREATE;
        irp.Stack.FileObject = &c.file;
        st = g_driver ? IoMgr_dispatch(&irp) : STATUS_NO_SUCH_DEVICE;
    }
    reply(fd, st, nullptr, 0);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u32 = uint32_t(i);
    if (NT_SUCCESS(st) && ::epoll_ctl(g_epoll[i % kWorkers], EPOLL_CTL_ADD, fd, &ev) == 0) return;
    if (NT_SUCCESS(st)) {
        closeClient(i); // no room in the epoll set: the open is closed at once
        return;
    }
    ::close(fd);
    c.fd = -1;
    std::lock_guard<std::mutex> g(g_clientLock);
    g_clientUsed[i] = false;
    --g_clients;
    g_clientCv.notify_all();
}

// One request of handle i, served by its worker. Returns false when the handle is done
// (hung up, or its driver went away).
bool serveRequest(int i, std::vector<uint8_t>& in, std::vector<uint8_t>& sys) {
    Client& c = g_client[i];
    DevIfRequest q{};
    iovec iov[2] = {{&q, sizeof q}, {in.data(), in.size()}};
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = 2;
    ssize_t n;
    do n = ::recvmsg(c.fd, &m, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true; // woken for nothing
    if (n <= 0) return false; // hung up
    const size_t body = size_t(n) > sizeof q ? size_t(n) - sizeof q : 0;
    if (size_t(n) < sizeof q || (m.msg_flags & MSG_TRUNC) || q.inLen != body || q.inLen > DEVIF_MAX_IN) {
        return reply(c.fd, STATUS_INVALID_PARAMETER, nullptr, 0);
    }
    // Buffered transfer: one system buffer for input and output. An output length
    // beyond what the host hands a driver is clamped; the driver sees the clamp.
    const uint32_t outLen = q.outLen > DEVIF_MAX_OUT ? DEVIF_MAX_OUT : q.outLen;
    sys.assign(std::max<size_t>(q.inLen, outLen) + 1, 0);
    std::memcpy(sys.data(), in.data(), q.inLen);
    IRP irp{};
    irp.AssociatedIrp.SystemBuffer = sys.data();
    irp.Stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    irp.Stack.FileObject = &c.file;
    irp.Stack.Parameters.DeviceIoControl.IoControlCode = q.code;
    irp.Stack.Parameters.DeviceIoControl.InputBufferLength = q.inLen;
    irp.Stack.Parameters.DeviceIoControl.OutputBufferLength = outLen;
    NTSTATUS st;
    {
        std::shared_lock<std::shared_mutex> hold(g_driverLock);
        if (!g_driver || g_generation.load() != c.gen) {
            st = STATUS_DEVICE_NOT_CONNECTED; // the driver went away under this handle
        } else {
            st = IoMgr_dispatch(&irp);
        }
    }
    uint32_t info = uint32_t(irp.IoStatus.Information);
    if (!NT_SUCCESS(st) && st != STATUS_BUFFER_OVERFLOW) info = 0;
    if (info > outLen) info = outLen; // a driver never returns more than the caller's buffer
    // A reply the client does not take within the send time-out ends the handle.
    return reply(c.fd, st, sys.data(), info) && st != STATUS_DEVICE_NOT_CONNECTED;
}

// After a request a worker keeps looking for the next one this long before it sleeps:
// requests come in bursts (a client asks again as soon as it has its answer), and
// waking a sleeping thread on another CPU costs more than the request itself.
constexpr int64_t kAwakeNs = 50000;

void workerLoop(int w) {
    std::vector<uint8_t> in(DEVIF_MAX_IN + 1);
    std::vector<uint8_t> sys;
    int64_t servedNs = 0; // when this worker last served a request; 0: it may sleep
    while (!g_quit.load()) {
        epoll_event ev[16];
        const int n = ::epoll_wait(g_epoll[w], ev, 16, servedNs ? 0 : 1000);
        if (n <= 0) {
            if (servedNs && Clock_nowNs() - servedNs >= kAwakeNs) servedNs = 0;
            continue;
        }
        for (int k = 0; k < n && !g_quit.load(); ++k) {
            const int i = int(ev[k].data.u32);
            if (i < 0 || i >= kMaxClients) continue; // the quit event
            if (!serveRequest(i, in, sys)) closeClient(i);
        }
        servedNs = Clock_nowNs();
    }
}

void acceptLoop() {
    while (!g_quit.load()) {
        pollfd p[kMaxInterfaces + 1];
        int idx[kMaxInterfaces + 1];
        int n = 0;
        p[n] = pollfd{g_wakePipe[0], POLLIN, 0};
        idx[n++] = -1;
        {
            std::lock_guard<std::mutex> g(g_ifLock);
            for (int i = 0; i < kMaxInterfaces; ++i)
                if (g_if[i].used && g_if[i].listenFd >= 0) {
                    p[n] = pollfd{g_if[i].listenFd, POLLIN, 0};
                    idx[n++] = i;
                }
        }
        if (::poll(p, nfds_t(n), 1000) <= 0) continue;
        if (p[0].revents) {
            char buf[64];
            ssize_t r = ::read(g_wakePipe[0], buf, sizeof buf);
            (void)r;
        }
        for (int k = 1; k < n; ++k) {
            if (!(p[k].revents & POLLIN)) continue;
            {
                std::unique_lock<std::mutex> g(g_clientLock);
                g_clientCv.wait(g, [] { return g_clients < kMaxClients || g_quit.load(); });
                if (g_quit.load()) return;
            }
            char ref[128];
            int fd = -1;
            {
                std::lock_guard<std::mutex> g(g_ifLock);
                const Interface& f = g_if[idx[k]];
                if (!f.used || f.listenFd != p[k].fd) continue; // withdrawn meanwhile
                fd = ::accept4(f.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                std::memcpy(ref, f.ref, sizeof ref);
            }
            if (fd < 0) continue;
            openClient(fd, ref);
        }
    }
}

}  // namespace

// ---- dispatch ----
NTSTATUS IoMgr_dispatch(IRP* irp) {
    DEVICE_OBJECT* dev = Kernel_adapterDevice();
    if (!g_driver || !dev) return STATUS_NO_SUCH_DEVICE;
    DRIVER_DISPATCH* fn = g_driver->MajorFunction[irp->Stack.MajorFunction];
    irp->Stack.DeviceObject = dev;
    irp->Completed = FALSE;
    if (!fn) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS st = fn(dev, irp);
    // Every dispatch routine of this system completes its IRP before returning.
    return st == STATUS_PENDING ? irp->IoStatus.Status : st;
}

int IoMgr_liveClients() {
    std::lock_guard<std::mutex> g(g_clientLock);
    return g_clients;
}

static void ensureStarted() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (::pipe2(g_wakePipe, O_CLOEXEC) != 0) g_wakePipe[0] = g_wakePipe[1] = -1;
        g_quitFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        for (int w = 0; w < kWorkers; ++w) {
            g_epoll[w] = ::epoll_create1(EPOLL_CLOEXEC);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u32 = ~0u;
            ::epoll_ctl(g_epoll[w], EPOLL_CTL_ADD, g_quitFd, &ev);
            g_workers[w] = new std::thread(workerLoop, w);
        }
        g_acceptThread = new std::thread(acceptLoop);
    });
}

void IoMgr_shutdown() {
    IoMgr_disableAll();
    g_quit.store(true);
    wake();
    if (g_quitFd >= 0) {
        const uint64_t one = 1;
        ssize_t n = ::write(g_quitFd, &one, sizeof one);
        (void)n;
    }
    g_clientCv.notify_all();
    if (g_acceptThread && g_acceptThread->joinable()) g_acceptThread->join();
    for (auto* w : g_workers)
        if (w && w->joinable()) w->join();
    // The handles still open are closed, as their clients' hang-ups would have.
    for (int i = 0; i < kMaxClients; ++i) {
        bool used;
        {
            std::lock_guard<std::mutex> g(g_clientLock);
            used = g_clientUsed[i];
        }
        if (used) closeClient(i);
    }
}

// ---- device interfaces ----
NTSTATUS IoRegisterDeviceInterface(DEVICE_OBJECT* pdo, const GUID* classGuid, PCUNICODE_STRING refString,
                                   UNICODE_STRING* symbolicLinkName) {
    if (!pdo || !classGuid || !symbolicLinkName) return STATUS_INVALID_PARAMETER;
    char guid[40], ref[128] = "";
    guidText(classGuid, guid, sizeof guid);
    if (refString && refString->Buffer) Kernel_narrow(refString->Buffer, refString->Length / 2, ref, sizeof ref);
    char dir[900];
    if (!DevIf_classDir(guid, dir, sizeof dir)) return STATUS_INVALID_PARAMETER;
    char path[1024], link[256];
    if (std::snprintf(path, sizeof path, "%s/%s#%s", dir, kInstance, ref) >= int(sizeof path) ||
        std::snprintf(link, sizeof link, "\\??\\%s#%s\\%s", kInstance, guid, ref) >= int(sizeof link))
        return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> g(g_ifLock);
        int freeSlot = -1;
        bool known = false;
        for (int i = 0; i < kMaxInterfaces; ++i) {
            if (g_if[i].used && std::strcmp(g_if[i].path, path) == 0) known = true;
            if (!g_if[i].used && freeSlot < 0) freeSlot = i;
        }
        if (!known) {
            if (freeSlot < 0) return STATUS_INSUFFICIENT_RESOURCES;
            Interface& f = g_if[freeSlot];
            f.used = true;
            std::snprintf(f.guid, sizeof f.guid, "%s", guid);
            std::snprintf(f.ref, sizeof f.ref, "%s", ref);
            std::snprintf(f.path, sizeof f.path, "%s", path);
            std::snprintf(f.link, sizeof f.link, "%s", link);
            f.listenFd = -1;
        }
    }
    // The caller frees the name with RtlFreeUnicodeString.
    const size_t len = std::strlen(link);
    char16_t* buf = static_cast<char16_t*>(std::calloc(len + 1, sizeof(char16_t)));
    if (!buf) return STATUS_INSUFFICIENT_RESOURCES;
    Kernel_widen(link, buf, len + 1);
    symbolicLinkName->Buffer = buf;
    symbolicLinkName->Length = USHORT(len * 2);
    symbolicLinkName->MaximumLength = USHORT(len * 2 + 2);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PCUNICODE_STRING name, BOOLEAN enable) {
    if (!name || !name->Buffer) return STATUS_INVALID_PARAMETER;
    char link[256];
    Kernel_narrow(name->Buffer, name->Length / 2, link, sizeof link);
    ensureStarted();
    std::lock_guard<std::mutex> g(g_ifLock);
    for (int i = 0; i < kMaxInterfaces; ++i) {
        Interface& f = g_if[i];
        if (!f.used || std::strcmp(f.link, link) != 0) continue;
        if (enable && f.listenFd < 0) {
            char out[1024];
            f.listenFd = DevIf_listen(f.guid, kInstance, f.ref, out, sizeof out);
            if (f.listenFd < 0) return STATUS_OBJECT_NAME_COLLISION; // another host serves it
        } else if (!enable && f.listenFd >= 0) {
            DevIf_unlisten(f.listenFd, f.path);
            f.listenFd = -1;
        }
        wake();
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

void IoMgr_disableAll() {
    std::lock_guard<std::mutex> g(g_ifLock);
    for (int i = 0; i < kMaxInterfaces; ++i) {
        Interface& f = g_if[i];
        if (f.used && f.listenFd >= 0) {
            DevIf_unlisten(f.listenFd, f.path);
            f.listenFd = -1;
        }
        f.used = false;
    }
    wake();
}

// ---- the framework driver object ----
struct WDFDRIVER__ {
    EVT_WDF_OBJECT_CONTEXT_CLEANUP* cleanup;
};
static WDFDRIVER__ s_wdf;
static bool s_wdfLive;

NTSTATUS WdfDriverCreate(DRIVER_OBJECT* driver, PCUNICODE_STRING, WDF_OBJECT_ATTRIBUTES* attributes,
                         WDF_DRIVER_CONFIG* config, WDFDRIVER* out) {
    if (!driver || !config || s_wdfLive) return STATUS_INVALID_PARAMETER;
    // In miniport mode the framework must leave the dispatch table to the port class.
    if (!(config->DriverInitFlags & WdfDriverInitNoDispatchOverride)) return STATUS_INVALID_PARAMETER;
    s_wdf.cleanup = attributes ? attributes->EvtCleanupCallback : nullptr;
    s_wdfLive = true;
    if (out) *out = &s_wdf;
    return STATUS_SUCCESS;
}

void WdfDriverMiniportUnload(WDFDRIVER driver) {
    if (driver != &s_wdf || !s_wdfLive) return;
    s_wdfLive = false;
    if (s_wdf.cleanup) s_wdf.cleanup(reinterpret_cast<WDFOBJECT>(driver));
}

WDFDRIVER WdfGetDriver() { return s_wdfLive ? &s_wdf : nullptr; }

// ---- PnP: loading a driver for the root device ----
static NTSTATUS bringUp(DRIVER_INITIALIZE* entry) {
    static char16_t regPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VelunorAudio";
    static char16_t drvName[] = u"\\Driver\\VelunorAudio";
    UNICODE_STRING reg;
    RtlInitUnicodeString(&reg, regPath);
    g_driver = new DRIVER_OBJECT{};
    g_driverExt = DRIVER_EXTENSION{g_driver, nullptr};
    g_driver->DriverExtension = &g_driverExt;
    RtlInitUnicodeString(&g_driver->DriverName, drvName);
    g_pdo = DEVICE_OBJECT{};
    ++g_generation;
    NTSTATUS st = entry(g_driver, &reg);
    if (!NT_SUCCESS(st)) return st;
    if (!g_driverExt.AddDevice) return STATUS_UNSUCCESSFUL;
    st = g_driverExt.AddDevice(g_driver, &g_pdo);
    if (!NT_SUCCESS(st)) return st;
    // Start-device: the PnP manager's start request, through the dispatch table.
    IRP irp{};
    irp.Stack.MajorFunction = IRP_MJ_PNP;
    irp.Stack.MinorFunction = 0x00; // IRP_MN_START_DEVICE
    return IoMgr_dispatch(&irp);
}

NTSTATUS Kernel_loadDriver(DRIVER_INITIALIZE* entry) {
    std::unique_lock<std::shared_mutex> hold(g_driverLock);
    if (g_driver || !entry) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS st = bringUp(entry);
    if (!NT_SUCCESS(st)) std::printf("velunor-kernel: the driver did not start: status 0x%08X\n", uint32_t(st));
    std::fflush(stdout);
    return st;
}

NTSTATUS Kernel_loadDriverImage(const char* path) {
    void* image = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!image) {
        std::printf("velunor-kernel: cannot load %s: %s\n", path, ::dlerror());
        std::fflush(stdout);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto entry = reinterpret_cast<DRIVER_INITIALIZE*>(::dlsym(image, "DriverEntry"));
    if (!entry) {
        ::dlclose(image);
        return STATUS_INVALID_PARAMETER;
    }
    g_image = image;
    NTSTATUS st = Kernel_loadDriver(entry);
    if (!NT_SUCCESS(st)) Kernel_unloadDriver();
    return st;
}

void Kernel_unloadDriver() {
    std::unique_lock<std::shared_mutex> hold(g_driverLock);
    if (g_driver) {
        PortCls_closeStreams();
        if (g_driver->DriverUnload) g_driver->DriverUnload(g_driver);
        ++g_generation;
        delete g_driver;
        g_driver = nullptr;
    }
    PortCls_removeDevice();
    IoMgr_disableAll();
    if (g_image) {
        ::dlclose(g_image);
        g_image = nullptr;
    }
}

bool Kernel_driverLoaded() {
    std::shared_lock<std::shared_mutex> hold(g_driverLock);
    return g_driver != nullptr;
}

void Kernel_narrow(const char16_t* in, size_t units, char* out, size_t cap) {
    if (!cap) return;
    size_t i = 0;
    for (; in && i < units && i + 1 < cap && in[i]; ++i) out[i] = in[i] < 0x80 ? char(in[i]) : '?';
    out[i] = 0;
}

void Kernel_widen(const char* in, char16_t* out, size_t cap) {
    if (!cap) return;
    size_t i = 0;
    for (; in && in[i] && i + 1 < cap; ++i) out[i] = char16_t(uint8_t(in[i]));
    out[i] = 0;
}
