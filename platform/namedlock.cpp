#include "platform/namedlock.h"

#include "platform/paths.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

static bool lockPath(const char* name, char* out, size_t cap) {
    char dir[3072];
    std::snprintf(dir, sizeof dir, "%s/objects", Paths_rundir());
    if (!Paths_ensureDir(dir)) return false;
    int n = std::snprintf(out, cap, "%s/%s.lock", dir, name);
    return n > 0 && size_t(n) < cap;
}

int NamedLock_acquire(const char* name) {
    char path[4096];
    if (!name || !lockPath(name, path, sizeof path)) return -1;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0660);
    if (fd < 0) return -1;
    Paths_shareFd(fd);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool NamedLock_isHeld(const char* name) {
    char path[4096];
    if (!name || !lockPath(name, path, sizeof path)) return false;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (!held) flock(fd, LOCK_UN);
    close(fd);
    return held;
}

void NamedLock_release(int handle) {
    if (handle >= 0) {
        flock(handle, LOCK_UN);
        close(handle);
    }
}
