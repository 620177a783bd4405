#include "platform/endpoints.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/paths.h"

namespace {

bool pathOf(const char* id, char* out, size_t cap) {
    if (!id || !*id || std::strchr(id, '/') || id[0] == '.') return false;
    int n = std::snprintf(out, cap, "%s/endpoints/%s", Paths_rundir(), id);
    return n > 0 && size_t(n) < cap;
}

void field(const char* line, const char* key, char* out, size_t cap) {
    const size_t k = std::strlen(key);
    if (std::strncmp(line, key, k) == 0 && line[k] == '=') std::snprintf(out, cap, "%s", line + k + 1);
}

}  // namespace

bool Endpoint_write(const EndpointRecord& r) {
    char path[1024], tmp[1100], text[1024];
    if (!pathOf(r.id, path, sizeof path) || !Paths_ensureParent(path)) return false;
    int n = std::snprintf(text, sizeof text, "id=%s\nname=%s\nflow=%s\nstate=%s\nrate=%u\n", r.id, r.name, r.flow,
                          r.state, r.rate);
    if (n <= 0 || size_t(n) >= sizeof text) return false;
    if (std::snprintf(tmp, sizeof tmp, "%s.%d.tmp", path, int(::getpid())) >= int(sizeof tmp)) return false;
    int fd = ::open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0660);
    if (fd < 0) return false;
    Paths_shareFd(fd); // VelunorCh, run by a user of the group, switches the state
    bool ok = ::write(fd, text, size_t(n)) == n;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(tmp, path) == 0;
    if (!ok) ::unlink(tmp);
    return ok;
}

bool Endpoint_read(const char* id, EndpointRecord* out) {
    *out = EndpointRecord{};
    char path[1024];
    if (!pathOf(id, path, sizeof path)) return false;
    FILE* f = std::fopen(path, "r");
    if (!f) return false;
    char line[512], rate[16] = "";
    while (std::fgets(line, sizeof line, f)) {
        line[std::strcspn(line, "\r\n")] = 0;
        field(line, "id", out->id, sizeof out->id);
        field(line, "name", out->name, sizeof out->name);
        field(line, "flow", out->flow, sizeof out->flow);
        field(line, "state", out->state, sizeof out->state);
        field(line, "rate", rate, sizeof rate);
    }
    std::fclose(f);
    out->rate = unsigned(std::strtoul(rate, nullptr, 10));
    return out->id[0] != 0;
}

int Endpoint_list(EndpointRecord* out, int cap) {
    char dir[1024];
    std::snprintf(dir, sizeof dir, "%s/endpoints", Paths_rundir());
    int n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.' || std::strstr(e->d_name, ".tmp")) continue;
            EndpointRecord r;
            if (!Endpoint_read(e->d_name, &r)) continue;
            if (n < cap) out[n] = r;
            ++n;
        }
        ::closedir(d);
    }
    const int stored = n < cap ? n : cap;
    std::qsort(out, size_t(stored), sizeof *out, [](const void* a, const void* b) {
        return std::strcmp(static_cast<const EndpointRecord*>(a)->id, static_cast<const EndpointRecord*>(b)->id);
    });
    return n;
}
