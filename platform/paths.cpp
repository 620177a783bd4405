#include "platform/paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

const char* Paths_root() {
    const char* r = std::getenv("VELUNOR_ROOT");
    return (r && *r) ? r : "/var/lib/velunor";
}

const char* Paths_rundir() {
    const char* r = std::getenv("VELUNOR_RUNDIR");
    return (r && *r) ? r : "/run/velunor";
}

bool Paths_resolve(const char* path, char* out, size_t cap) {
    if (!path || !out || cap == 0) return false;
    int n;
    bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                 path[1] == ':' && (path[2] == '/' || path[2] == '\\');
    if (drive) {
        n = std::snprintf(out, cap, "%s/%c/%s", Paths_root(), path[0], path + 3);
    } else {
        n = std::snprintf(out, cap, "%s", path);
    }
    if (n < 0 || size_t(n) >= cap) {
        out[0] = 0;
        return false;
    }
    for (char* p = out; *p; p++)
        if (*p == '\\') *p = '/';
    return true;
}

bool Paths_ensureDir(const char* dir) {
    char buf[4096];
    size_t len = std::strlen(dir);
    if (len == 0 || len >= sizeof buf) return false;
    std::memcpy(buf, dir, len + 1);
    for (size_t i = 1; i <= len; i++) {
        if (buf[i] == '/' || buf[i] == 0) {
            char c = buf[i];
            buf[i] = 0;
            if (mkdir(buf, 0755) == 0) {
                // Made inside a shared folder: shared the same way (the group and the
                // set-group-ID bit came from the parent).
                struct stat st;
                if (stat(buf, &st) == 0 && (st.st_mode & S_ISGID)) chmod(buf, 02770);
            } else if (errno != EEXIST) {
                return false;
            }
            buf[i] = c;
        }
    }
    return true;
}

void Paths_shareFd(int fd) {
    if (fd >= 0) (void)fchmod(fd, 0660);
}

void Paths_sharePath(const char* path) {
    if (path) (void)chmod(path, 0660);
}

bool Paths_canUseRundir(char* why, size_t cap) {
    const char* dir = Paths_rundir();
    struct stat st;
    if (stat(dir, &st) != 0 && errno != EACCES) return true; // not made yet: nothing to judge
    if (access(dir, R_OK | W_OK | X_OK) == 0) return true;
    const struct group* g = stat(dir, &st) == 0 ? getgrgid(st.st_gid) : nullptr;
    const char* name = g ? g->gr_name : "audio";
    const struct passwd* pw = getpwuid(geteuid());
    if (why && cap)
        std::snprintf(why, cap,
                      "no permission to use %s (it belongs to group %s): add this user to group %s "
                      "(sudo usermod -aG %s %s) and log in again",
                      dir, name, name, name, pw && pw->pw_name ? pw->pw_name : "\"$USER\"");
    return false;
}

bool Paths_ensureParent(const char* path) {
    char buf[4096];
    size_t len = std::strlen(path);
    if (len >= sizeof buf) return false;
    std::memcpy(buf, path, len + 1);
    char* slash = std::strrchr(buf, '/');
    if (!slash || slash == buf) return true;
    *slash = 0;
    return Paths_ensureDir(buf);
}
