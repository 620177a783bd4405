#include "platform/section.h"

#include "platform/paths.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static bool objectPath(const char* name, char* out, size_t cap) {
    char dir[3072];
    std::snprintf(dir, sizeof dir, "%s/objects", Paths_rundir());
    if (!Paths_ensureDir(dir)) return false;
    int n = std::snprintf(out, cap, "%s/%s", dir, name);
    return n > 0 && size_t(n) < cap;
}

bool Section_create(const char* name, size_t size, Section* out) {
    char path[4096];
    if (!name || !out || size == 0 || !objectPath(name, path, sizeof path)) return false;
    int fd = open(path, O_RDWR | O_CREAT, 0660);
    if (fd < 0) return false;
    Paths_shareFd(fd);
    if (ftruncate(fd, off_t(size)) != 0) {
        close(fd);
        return false;
    }
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        close(fd);
        return false;
    }
    out->base = p;
    out->size = size;
    out->fd = fd;
    return true;
}

bool Section_open(const char* name, Section* out) {
    char path[4096];
    if (!name || !out || !objectPath(name, path, sizeof path)) return false;
    int fd = open(path, O_RDWR);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
        close(fd);
        return false;
    }
    void* p = mmap(nullptr, size_t(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        close(fd);
        return false;
    }
    out->base = p;
    out->size = size_t(st.st_size);
    out->fd = fd;
    return true;
}

void Section_close(Section* s) {
    if (!s) return;
    if (s->base) munmap(s->base, s->size);
    if (s->fd >= 0) close(s->fd);
    *s = Section{};
}

void Section_unlink(const char* name) {
    char path[4096];
    if (objectPath(name, path, sizeof path)) unlink(path);
}
