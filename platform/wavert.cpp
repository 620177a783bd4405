#include "platform/wavert.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/devif.h"
#include "platform/paths.h"
#include "platform/section.h"

namespace {

constexpr int32_t kSuccess = 0;

// The endpoint's filter interface: the live instance whose name ends in "#<endpoint>".
bool findEndpoint(const char* endpoint, char* path, size_t cap) {
    static thread_local char list[64 * 1024];
    if (DevIf_list(WAVERT_CLASS_AUDIO, list, sizeof list) > sizeof list) return false;
    const size_t n = std::strlen(endpoint);
    for (const char* p = list; *p; p += std::strlen(p) + 1) {
        const size_t len = std::strlen(p);
        if (len > n + 1 && p[len - n - 1] == '#' && std::strcmp(p + len - n, endpoint) == 0) {
            std::snprintf(path, cap, "%s", p);
            return true;
        }
    }
    return false;
}

// How long an endpoint must stay in use before an open says so: 25 x 20 ms.
constexpr int kBusyTries = 25;
constexpr long kBusyPauseNs = 20000000;

int code(int32_t st) {
    if (st == int32_t(0xC0000034) || st == int32_t(0xC00000A3)) return -2; // not published / not ACTIVE
    if (st == int32_t(0xC0000001)) return -16;                              // in use
    return -5;
}

}  // namespace

int WaveRt_open(const char* endpoint, WaveRtStream* s) {
    *s = WaveRtStream{-1, false, 0, nullptr, 0, nullptr, 0, nullptr};
    if (!endpoint || !*endpoint) return -2;
    // A user outside the group of the host's folder sees no endpoints at all: that is no
    // missing endpoint but a refusal (EACCES), and the program says "Permission denied".
    if (!Paths_canUseRundir(nullptr, 0)) return -13;
    char path[2048];
    if (!findEndpoint(endpoint, path, sizeof path)) return -2;
    int32_t st = 0;
    s->fd = DevIf_open(path, &st);
    if (s->fd < 0) return code(st);
    s->capture = std::strncmp(endpoint, "in_", 3) == 0;
    uint8_t fmt[104] = {};
    uint32_t got = 0;
    st = DevIf_ioctl(s->fd, WAVERT_IOCTL_FORMAT, nullptr, 0, fmt, sizeof fmt, &got);
    if (st != kSuccess || got < 104) {
        WaveRt_close(s);
        return -5;
    }
    std::memcpy(&s->rate, fmt + 64 + 4, 4); // KSDATAFORMAT (64 bytes), then nSamplesPerSec at 4
    const uint32_t capture = s->capture ? 1 : 0;
    st = DevIf_ioctl(s->fd, WAVERT_IOCTL_OPEN, &capture, 4, nullptr, 0, &got);
    // A program that just died may still hold the endpoint: the host learns of its end
    // from its own threads, a moment later on a loaded machine. "In use" is the answer
    // only when it lasts.
    for (int tries = 0; code(st) == -16 && tries < kBusyTries; ++tries) {
        const timespec t{0, kBusyPauseNs};
        nanosleep(&t, nullptr);
        st = DevIf_ioctl(s->fd, WAVERT_IOCTL_OPEN, &capture, 4, nullptr, 0, &got);
    }
    if (st != kSuccess) {
        WaveRt_close(s);
        return code(st);
    }
    return 0;
}

int WaveRt_allocate(WaveRtStream* s, uint32_t bytes) {
    if (!s || s->fd < 0) return -5;
    if (s->mapping) {
        Section sec{s->mapping, s->mappingBytes, -1};
        Section_close(&sec);
        s->mapping = s->buffer = nullptr;
        s->bytes = 0;
        s->reg = nullptr;
    }
    WaveRtBuffer b{};
    uint32_t got = 0;
    int32_t st = DevIf_ioctl(s->fd, WAVERT_IOCTL_ALLOCATE, &bytes, 4, &b, sizeof b, &got);
    if (st != kSuccess || got < sizeof b) return -12;
    b.section[sizeof b.section - 1] = 0;
    Section sec;
    if (!Section_open(b.section, &sec) || sec.size < size_t(b.offset) + b.bytes) {
        if (sec.base) Section_close(&sec);
        return -12;
    }
    if (sec.fd >= 0) ::close(sec.fd); // the mapping stays; the descriptor is not needed
    s->mapping = sec.base;
    s->mappingBytes = sec.size;
    s->buffer = static_cast<uint8_t*>(sec.base) + b.offset;
    s->bytes = b.bytes;
    // The register, where the host has one inside this section, aligned for its words.
    WaveRtRegisterPlace place{};
    if (DevIf_ioctl(s->fd, WAVERT_IOCTL_REGISTER, nullptr, 0, &place, sizeof place, &got) == kSuccess &&
        got >= sizeof place && place.bytes >= sizeof(WaveRtRegister) && place.offset % 8 == 0 &&
        size_t(place.offset) + sizeof(WaveRtRegister) <= sec.size)
        s->reg = reinterpret_cast<const WaveRtRegister*>(static_cast<uint8_t*>(sec.base) + place.offset);
    return 0;
}

bool WaveRt_read(const WaveRtStream* s, WaveRtReading* r) {
    if (!s || !s->reg) return false;
    const WaveRtRegister* g = s->reg;
    // The driver writes once a millisecond and takes well under a microsecond: a reader
    // that keeps meeting a write is a writer that died mid-way, so the tries are few.
    for (int tries = 0; tries < 1000; ++tries) {
        const uint32_t a = g->seq.load(std::memory_order_acquire);
        if (a & 1) continue;
        r->position = g->position.load(std::memory_order_relaxed);
        r->periodNs = g->periodNs.load(std::memory_order_relaxed);
        r->periods = g->periods.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (g->seq.load(std::memory_order_relaxed) == a) return true;
    }
    return false;
}

int WaveRt_setState(WaveRtStream* s, uint32_t state) {
    if (!s || s->fd < 0) return -5;
    uint32_t got = 0;
    return DevIf_ioctl(s->fd, WAVERT_IOCTL_STATE, &state, 4, nullptr, 0, &got) == kSuccess ? 0 : -5;
}

int WaveRt_position(WaveRtStream* s, uint32_t* bytes) {
    if (!s || s->fd < 0) return -5;
    WaveRtPosition p{};
    uint32_t got = 0;
    if (DevIf_ioctl(s->fd, WAVERT_IOCTL_POSITION, nullptr, 0, &p, sizeof p, &got) != kSuccess || got < sizeof p)
        return -5;
    if (bytes) *bytes = p.play;
    return 0;
}

void WaveRt_close(WaveRtStream* s) {
    if (!s) return;
    if (s->fd >= 0) {
        uint32_t stop = WAVERT_STATE_STOP, got = 0;
        DevIf_ioctl(s->fd, WAVERT_IOCTL_STATE, &stop, 4, nullptr, 0, &got);
        DevIf_close(s->fd); // the host frees the buffer with the handle
    }
    if (s->mapping) {
        Section sec{s->mapping, s->mappingBytes, -1};
        Section_close(&sec);
    }
    *s = WaveRtStream{-1, false, 0, nullptr, 0, nullptr, 0, nullptr};
}
