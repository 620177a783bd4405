#include "platform/registry.h"

#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <new>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#define REG_NAME_MAX 255
#define REG_ENUM_MAX 1024 // names considered per key when enumerating

static const char* const kHives[] = {"HKEY_CLASSES_ROOT", "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"};

const char* Registry_hiveName(RegHive hive) {
    return (hive >= REG_HKCR && hive <= REG_HKCU) ? kHives[hive] : nullptr;
}

static bool validName(const char* n, size_t len) {
    if (len == 0 || len > REG_NAME_MAX) return false;
    if (n[0] == '@' || n[0] == '#') return false;
    if ((len == 1 && n[0] == '.') || (len == 2 && n[0] == '.' && n[1] == '.')) return false;
    for (size_t i = 0; i < len; i++)
        if (n[i] == '/') return false;
    return true;
}

static bool isDir(const char* p) {
    struct stat st;
    return stat(p, &st) == 0 && S_ISDIR(st.st_mode);
}

static bool join(char* out, size_t cap, const char* dir, const char* name, size_t len) {
    int n = std::snprintf(out, cap, "%s/%.*s", dir, int(len), name);
    return n > 0 && size_t(n) < cap;
}

// Finds the entry of dir whose name equals (without case) want: directories when
// wantDir, files otherwise. Writes the real name into found.
static bool findEntry(const char* dir, const char* want, size_t len, bool wantDir, char* found, size_t cap) {
    DIR* d = opendir(dir);
    if (!d) return false;
    bool ok = false;
    while (dirent* e = readdir(d)) {
        if (std::strlen(e->d_name) != len || strncasecmp(e->d_name, want, len) != 0) continue;
        char p[1400];
        if (!join(p, sizeof p, dir, e->d_name, len)) continue;
        if (isDir(p) != wantDir) continue;
        if (std::strlen(e->d_name) < cap) {
            std::strcpy(found, e->d_name);
            ok = true;
        }
        break;
    }
    closedir(d);
    return ok;
}

static int hiveDir(RegHive hive, char* out, size_t cap, bool create) {
    const char* h = Registry_hiveName(hive);
    if (!h) return REG_INVALID;
    int n = std::snprintf(out, cap, "%s/registry/%s", Paths_root(), h);
    if (n <= 0 || size_t(n) >= cap) return REG_INVALID;
    if (isDir(out)) return REG_OK;
    if (!create) return REG_NOT_FOUND;
    return Paths_ensureDir(out) ? REG_OK : REG_FAILED;
}

// Walks path below base (a folder), component by component, creating missing keys when
// create is set.
static int walk(const char* base, const char* path, bool create, RegKey* out) {
    char cur[sizeof out->dir];
    if (std::strlen(base) >= sizeof cur) return REG_INVALID;
    std::strcpy(cur, base);
    const char* p = path ? path : "";
    while (*p) {
        const char* end = std::strchr(p, '\\');
        size_t len = end ? size_t(end - p) : std::strlen(p);
        if (len == 0 && end) { // tolerate doubled or leading separators
            p = end + 1;
            continue;
        }
        if (!validName(p, len)) return REG_INVALID;
        char real[REG_NAME_MAX + 1];
        char next[sizeof cur];
        if (findEntry(cur, p, len, true, real, sizeof real)) {
            if (!join(next, sizeof next, cur, real, std::strlen(real))) return REG_INVALID;
        } else {
            if (!create) return REG_NOT_FOUND;
            if (!join(next, sizeof next, cur, p, len)) return REG_INVALID;
            if (mkdir(next, 0755) != 0 && errno != EEXIST) return REG_FAILED;
        }
        std::strcpy(cur, next);
        if (!end) break;
        p = end + 1;
    }
    if (out) std::strcpy(out->dir, cur);
    return REG_OK;
}

int Registry_openKey(RegHive hive, const char* path, RegKey* out) {
    char base[sizeof out->dir];
    int rc = hiveDir(hive, base, sizeof base, false);
    return rc != REG_OK ? rc : walk(base, path, false, out);
}

int Registry_createKey(RegHive hive, const char* path, RegKey* out) {
    char base[sizeof out->dir];
    int rc = hiveDir(hive, base, sizeof base, true);
    return rc != REG_OK ? rc : walk(base, path, true, out);
}

int Registry_openSubKey(const RegKey* key, const char* path, RegKey* out) {
    if (!key || !isDir(key->dir)) return REG_NOT_FOUND;
    return walk(key->dir, path, false, out);
}

int Registry_createSubKey(const RegKey* key, const char* path, RegKey* out) {
    if (!key || !isDir(key->dir)) return REG_NOT_FOUND;
    return walk(key->dir, path, true, out);
}

bool Registry_keyExists(RegHive hive, const char* path) {
    RegKey k;
    return Registry_openKey(hive, path, &k) == REG_OK;
}

// "@name" of a value name (null or "" = "@").
static bool valueFile(const char* name, char* out, size_t cap) {
    if (!name) name = "";
    size_t len = std::strlen(name);
    if (len > REG_NAME_MAX || std::strchr(name, '/')) return false;
    if (len + 2 > cap) return false;
    out[0] = '@';
    std::memcpy(out + 1, name, len + 1);
    return true;
}

static bool valuePath(const RegKey* key, const char* name, char* out, size_t cap) {
    char file[REG_NAME_MAX + 2], real[REG_NAME_MAX + 2];
    if (!key || !valueFile(name, file, sizeof file)) return false;
    const char* use = findEntry(key->dir, file, std::strlen(file), false, real, sizeof real) ? real : file;
    return join(out, cap, key->dir, use, std::strlen(use));
}

int Registry_setString(const RegKey* key, const char* name, const char* data, size_t len) {
    if (!key || (!data && len)) return REG_INVALID;
    if (!isDir(key->dir)) return REG_NOT_FOUND;
    char path[1400], tmp[1400];
    if (!valuePath(key, name, path, sizeof path)) return REG_INVALID;
    int n = std::snprintf(tmp, sizeof tmp, "%s/#tmp.%d", key->dir, int(getpid()));
    if (n <= 0 || size_t(n) >= sizeof tmp) return REG_INVALID;
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return REG_FAILED;
    size_t done = 0;
    while (done < len) {
        ssize_t w = write(fd, data + done, len - done);
        if (w <= 0) {
            if (w < 0 && errno == EINTR) continue;
            close(fd);
            unlink(tmp);
            return REG_FAILED;
        }
        done += size_t(w);
    }
    if (fsync(fd) != 0 || close(fd) != 0 || rename(tmp, path) != 0) {
        unlink(tmp);
        return REG_FAILED;
    }
    return REG_OK;
}

int Registry_getString(const RegKey* key, const char* name, char* out, size_t cap, size_t* len) {
    if (!key || !out || cap == 0) return REG_INVALID;
    out[0] = 0;
    char path[1400];
    if (!valuePath(key, name, path, sizeof path)) return REG_INVALID;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return REG_NOT_FOUND;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return REG_NOT_FOUND;
    }
    size_t size = size_t(st.st_size);
    if (len) *len = size;
    if (size + 1 > cap) {
        close(fd);
        return REG_MORE_DATA;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t r = read(fd, out + got, size - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += size_t(r);
    }
    close(fd);
    out[got] = 0;
    if (len) *len = got;
    return REG_OK;
}

int Registry_deleteValue(const RegKey* key, const char* name) {
    char path[1400];
    if (!valuePath(key, name, path, sizeof path)) return REG_INVALID;
    return unlink(path) == 0 ? REG_OK : REG_NOT_FOUND;
}

// Names of the key's sub-keys (dirs) or values (files "@..."), at most
// REG_ENUM_MAX; returns the count or -1.
static int listNames(const RegKey* key, bool dirs, char (*names)[REG_NAME_MAX + 2]) {
    DIR* d = opendir(key->dir);
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d)) {
        const char* nm = e->d_name;
        size_t len = std::strlen(nm);
        if (len > REG_NAME_MAX + 1 || !std::strcmp(nm, ".") || !std::strcmp(nm, "..") || nm[0] == '#') continue;
        char p[1400];
        if (!join(p, sizeof p, key->dir, nm, len)) continue;
        bool dir = isDir(p);
        if (dir != dirs || (!dirs && nm[0] != '@') || (dirs && nm[0] == '@')) continue;
        if (n == REG_ENUM_MAX) break;
        std::memcpy(names[n++], nm, len + 1);
    }
    closedir(d);
    return n;
}

static int enumAt(const RegKey* key, bool dirs, int index, char* name, size_t cap) {
    if (!key || !name || cap == 0 || index < 0) return REG_INVALID;
    std::unique_ptr<char[][REG_NAME_MAX + 2]> names(new (std::nothrow) char[REG_ENUM_MAX][REG_NAME_MAX + 2]);
    if (!names) return REG_FAILED;
    int n = listNames(key, dirs, names.get());
    if (n < 0) return REG_NOT_FOUND;
    if (index >= n) return REG_NO_MORE;
    std::unique_ptr<const char*[]> order(new (std::nothrow) const char*[size_t(n)]);
    if (!order) return REG_FAILED;
    for (int k = 0; k < n; k++) order[k] = names[k];
    std::sort(order.get(), order.get() + n, [](const char* a, const char* b) { return strcasecmp(a, b) < 0; });
    const char* nm = dirs ? order[index] : order[index] + 1;
    size_t len = std::strlen(nm);
    if (len + 1 > cap) return REG_MORE_DATA;
    std::memcpy(name, nm, len + 1);
    return REG_OK;
}

int Registry_enumKey(const RegKey* key, int index, char* name, size_t cap) {
    return enumAt(key, true, index, name, cap);
}

int Registry_enumValue(const RegKey* key, int index, char* name, size_t cap) {
    return enumAt(key, false, index, name, cap);
}

// Removes a key folder whose sub-keys are gone: its value files, then the folder.
static int removeKeyDir(const char* dir) {
    DIR* d = opendir(dir);
    if (!d) return REG_NOT_FOUND;
    while (dirent* e = readdir(d)) {
        const char* nm = e->d_name;
        if (!std::strcmp(nm, ".") || !std::strcmp(nm, "..")) continue;
        char p[1400];
        if (!join(p, sizeof p, dir, nm, std::strlen(nm))) continue;
        if (isDir(p)) {
            closedir(d);
            return REG_FAILED; // a sub-key is left
        }
        unlink(p);
    }
    closedir(d);
    return rmdir(dir) == 0 ? REG_OK : REG_FAILED;
}

int Registry_deleteKey(const RegKey* key, const char* name) {
    RegKey sub;
    if (!name || !*name) return REG_INVALID;
    int rc = Registry_openSubKey(key, name, &sub);
    if (rc != REG_OK) return rc;
    return removeKeyDir(sub.dir);
}

// Depth first: every sub-key's tree, then the key itself. depth bounds a hostile tree.
static int deleteTreeDir(const RegKey* key, int depth) {
    if (depth > 64) return REG_FAILED;
    char name[REG_NAME_MAX + 1];
    int rc = REG_OK;
    // Always look at index 0: each pass removes the first child's tree.
    for (int guard = 0; guard < REG_ENUM_MAX * 4; guard++) {
        int e = Registry_enumKey(key, 0, name, sizeof name);
        if (e != REG_OK) break;
        RegKey sub;
        if (Registry_openSubKey(key, name, &sub) != REG_OK) {
            rc = REG_FAILED;
            break;
        }
        if ((rc = deleteTreeDir(&sub, depth + 1)) != REG_OK) break;
    }
    if (rc != REG_OK) return rc;
    return removeKeyDir(key->dir);
}

int Registry_deleteTree(RegHive hive, const char* path) {
    if (!path || !*path) return REG_INVALID; // never the whole hive
    RegKey k;
    int rc = Registry_openKey(hive, path, &k);
    if (rc != REG_OK) return rc;
    return deleteTreeDir(&k, 0);
}
