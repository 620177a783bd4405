#include "platform/devif.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/paths.h"

namespace {

constexpr int32_t kNotFound = int32_t(0xC0000034);
constexpr int32_t kNotConnected = int32_t(0xC000009D);
constexpr int32_t kInvalidParameter = int32_t(0xC000000D);

// Splits path into folder and last name; false when there is no folder part.
bool split(const char* path, char* dir, size_t dirCap, const char** name) {
    const char* slash = std::strrchr(path, '/');
    if (!slash || slash == path) return false;
    size_t n = size_t(slash - path);
    if (n + 1 > dirCap) return false;
    std::memcpy(dir, path, n);
    dir[n] = 0;
    *name = slash + 1;
    return **name != 0;
}

// A sockaddr_un that reaches path however long it is: /proc/self/fd/<dirfd>/<name>.
// *dirFd must be closed by the caller (it stays -1 when not needed).
bool address(const char* path, sockaddr_un* sa, int* dirFd) {
    *dirFd = -1;
    std::memset(sa, 0, sizeof *sa);
    sa->sun_family = AF_UNIX;
    if (std::strlen(path) < sizeof sa->sun_path) {
        std::memcpy(sa->sun_path, path, std::strlen(path) + 1);
        return true;
    }
    char dir[4096];
    const char* name = nullptr;
    if (!split(path, dir, sizeof dir, &name)) return false;
    *dirFd = ::open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (*dirFd < 0) return false;
    int n = std::snprintf(sa->sun_path, sizeof sa->sun_path, "/proc/self/fd/%d/%s", *dirFd, name);
    return n > 0 && size_t(n) < sizeof sa->sun_path;
}

// An instance is live while its host holds the lock file beside the socket.
bool lockName(const char* path, char* out, size_t cap) {
    int n = std::snprintf(out, cap, "%s.lock", path);
    return n > 0 && size_t(n) < cap;
}

// The host's hold is an open-file-description write lock on the whole file. A lister
// only asks whether it is held (F_OFD_GETLK) and never takes a lock itself: a lister that
// did, even for a moment, would make a host that comes up at that instant believe another
// host serves the instance, and the interface would never appear.
bool isLive(const char* path) {
    char lock[4096];
    if (!lockName(path, lock, sizeof lock)) return false;
    int fd = ::open(lock, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock probe{};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

bool holdLock(int fd) {
    struct flock hold{};
    hold.l_type = F_WRLCK;
    hold.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &hold) == 0;
}

// The lock descriptor of each listening socket, by the socket's number (0 = none).
constexpr int kMaxFd = 4096;
int s_lockOf[kMaxFd];

}  // namespace

bool DevIf_classDir(const char* guid, char* out, size_t cap) {
    if (!guid || !out) return false;
    int n = std::snprintf(out, cap, "%s/devif/%s", Paths_rundir(), guid);
    return n > 0 && size_t(n) < cap;
}

size_t DevIf_list(const char* guid, char* out, size_t cap) {
    char dir[1024];
    if (!DevIf_classDir(guid, dir, sizeof dir)) return 1;
    char names[DEVIF_MAX_LISTING][256];
    int count = 0;
    if (DIR* d = ::opendir(dir)) {
        while (dirent* e = ::readdir(d)) {
            const size_t len = std::strlen(e->d_name);
            if (e->d_name[0] == '.' || len >= sizeof names[0] || count == DEVIF_MAX_LISTING) continue;
            if (len > 5 && std::strcmp(e->d_name + len - 5, ".lock") == 0) continue;
            char full[1400];
            std::snprintf(full, sizeof full, "%s/%s", dir, e->d_name);
            if (!isLive(full)) continue;
            std::memcpy(names[count++], e->d_name, len + 1);
        }
        ::closedir(d);
    }
    std::qsort(names, size_t(count), sizeof names[0],
               [](const void* a, const void* b) { return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b)); });
    size_t need = 1;
    for (int i = 0; i < count; ++i) need += std::strlen(dir) + 1 + std::strlen(names[i]) + 1;
    if (!out || cap < need) return need;
    size_t at = 0;
    for (int i = 0; i < count; ++i) at += size_t(std::sprintf(out + at, "%s/%s", dir, names[i])) + 1;
    out[at] = 0;
    return need;
}

int DevIf_open(const char* path, int32_t* status) {
    int32_t dummy;
    if (!status) status = &dummy;
    *status = kNotFound;
    if (!path || !*path) return -1;
    sockaddr_un sa;
    int dirFd;
    bool ok = address(path, &sa, &dirFd);
    int fd = ok ? ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0) : -1;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        fd = -1;
    }
    if (dirFd >= 0) ::close(dirFd);
    if (fd < 0) return -1;
    // The host answers every open with the create's status.
    DevIfReply r{};
    size_t got = 0;
    if (!DevIf_recvMsg(fd, &r, sizeof r, nullptr, 0, &got)) {
        ::close(fd);
        *status = kNotConnected;
        return -1;
    }
    *status = r.status;
    if (r.status < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

namespace {

// A request's answer mostly comes within a few microseconds: look for it that long
// before sleeping, since waking this thread on another CPU costs more than the request.
constexpr int64_t kReplySpinNs = 20000;

bool recvSoon(int fd, void* head, size_t headLen, void* body, size_t bodyCap, size_t* bodyLen) {
    const int64_t until = Clock_nowNs() + kReplySpinNs;
    do {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) == 1) break;
    } while (Clock_nowNs() < until);
    return DevIf_recvMsg(fd, head, headLen, body, bodyCap, bodyLen);
}

}  // namespace

int32_t DevIf_ioctl(int fd, uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen,
                    uint32_t* returned) {
    if (returned) *returned = 0;
    if (inLen > DEVIF_MAX_IN || (inLen && !in) || (outLen && !out)) return kInvalidParameter;
    DevIfRequest q{code, inLen, outLen};
    if (!DevIf_sendMsg(fd, &q, sizeof q, in, inLen)) return kNotConnected;
    DevIfReply r{};
    size_t got = 0;
    if (!recvSoon(fd, &r, sizeof r, out, outLen, &got)) return kNotConnected;
    if (returned) *returned = uint32_t(std::min<size_t>(got, r.information));
    return r.status;
}

int DevIf_close(int fd) { return fd >= 0 ? ::close(fd) : -1; }

int DevIf_listen(const char* guid, const char* instance, const char* refString, char* pathOut, size_t cap) {
    char dir[1024];
    if (!DevIf_classDir(guid, dir, sizeof dir) || !Paths_ensureDir(dir)) return -1;
    int n = std::snprintf(pathOut, cap, "%s/%s#%s", dir, instance, refString ? refString : "");
    if (n <= 0 || size_t(n) >= cap) return -1;
    char lock[4096];
    if (!lockName(pathOut, lock, sizeof lock)) return -1;
    int lfd = ::open(lock, O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (lfd < 0 || !holdLock(lfd)) { // another host serves this instance
        if (lfd >= 0) ::close(lfd);
        return -1;
    }
    ::unlink(pathOut); // a socket left by a host that died
    sockaddr_un sa;
    int dirFd;
    int fd = -1;
    if (address(pathOut, &sa, &dirFd)) {
        fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 1024) != 0)) {
            ::close(fd);
            fd = -1;
        }
    }
    if (dirFd >= 0) ::close(dirFd);
    if (fd < 0) {
        ::close(lfd);
        return -1;
    }
    // Connecting needs write permission on the socket: the folder's group may open it.
    Paths_sharePath(pathOut);
    // The lock lives as long as the listening socket (released by DevIf_unlisten).
    if (fd < kMaxFd) s_lockOf[fd] = lfd;
    return fd;
}

void DevIf_unlisten(int fd, const char* path) {
    if (path && *path) {
        ::unlink(path);
        char lock[4096];
        if (lockName(path, lock, sizeof lock)) ::unlink(lock);
    }
    if (fd >= 0) {
        if (fd < kMaxFd && s_lockOf[fd] > 0) ::close(s_lockOf[fd]);
        if (fd < kMaxFd) s_lockOf[fd] = 0;
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
}

bool DevIf_sendMsg(int fd, const void* head, size_t headLen, const void* body, size_t bodyLen) {
    iovec iov[2] = {{const_cast<void*>(head), headLen}, {const_cast<void*>(body), bodyLen}};
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = bodyLen ? 2 : 1;
    for (;;) {
        ssize_t n = ::sendmsg(fd, &m, MSG_NOSIGNAL);
        if (n >= 0) return size_t(n) == headLen + bodyLen;
        if (errno != EINTR) return false;
    }
}

bool DevIf_recvMsg(int fd, void* head, size_t headLen, void* body, size_t bodyCap, size_t* bodyLen) {
    if (bodyLen) *bodyLen = 0;
    iovec iov[2] = {{head, headLen}, {body, bodyCap}};
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = (body && bodyCap) ? 2 : 1;
    for (;;) {
        ssize_t n = ::recvmsg(fd, &m, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) continue;
        if (n < ssize_t(headLen) || (m.msg_flags & MSG_TRUNC)) return false;
        if (bodyLen) *bodyLen = size_t(n) - headLen;
        return true;
    }
}

bool DevIf_hostSocketPath(char* out, size_t cap) {
    int n = std::snprintf(out, cap, "%s/velunor-kernel.sock", Paths_rundir());
    return n > 0 && size_t(n) < cap;
}

int DevIf_hostRequest(const char* word, char* reply, size_t cap, int timeoutMs) {
    if (reply && cap) reply[0] = 0;
    char path[4096];
    if (!word || !DevIf_hostSocketPath(path, sizeof path)) return -EINVAL;
    sockaddr_un sa;
    int dirFd;
    if (!address(path, &sa, &dirFd)) return -ENAMETOOLONG;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    int err = fd < 0 ? errno : 0;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) err = errno;
    if (dirFd >= 0) ::close(dirFd);
    if (err == 0 && ::send(fd, word, std::strlen(word), MSG_NOSIGNAL) < 0) err = errno;
    if (err == 0) {
        pollfd p{fd, POLLIN, 0};
        char buf[256];
        ssize_t n = ::poll(&p, 1, timeoutMs) == 1 ? ::recv(fd, buf, sizeof buf - 1, 0) : -1;
        if (n < 0) {
            err = ETIMEDOUT;
        } else if (reply && cap) {
            buf[n] = 0;
            std::snprintf(reply, cap, "%s", buf);
        }
    }
    if (fd >= 0) ::close(fd);
    return -err;
}

int DevIf_hostListen() {
    char path[4096];
    if (!DevIf_hostSocketPath(path, sizeof path)) return -1;
    ::unlink(path); // left by a host that died
    sockaddr_un sa;
    int dirFd;
    if (!address(path, &sa, &dirFd)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0)) {
        ::close(fd);
        fd = -1;
    }
    if (dirFd >= 0) ::close(dirFd);
    if (fd >= 0) Paths_sharePath(path);
    return fd;
}
