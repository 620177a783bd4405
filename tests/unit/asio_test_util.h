// Shared by the driver tests: the driver library opened by path, a temp run directory,
// and an exchange area written the way the route service writes it.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <vector>
#include <string>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "asio/com/iasio.h"
#include "engine/shareMem.h"
#include "platform/clock.h"
#include "platform/section.h"
#include "platform/timer.h"

struct AsioLib {
    void* handle = nullptr;
    DllGetClassObjectFn getClassObject = nullptr;
    DllCanUnloadNowFn canUnloadNow = nullptr;
    DllRegisterServerFn registerServer = nullptr;
    DllUnregisterServerFn unregisterServer = nullptr;

    bool open(const char* path) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return false;
        getClassObject = reinterpret_cast<DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
        canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"));
        registerServer = reinterpret_cast<DllRegisterServerFn>(dlsym(handle, "DllRegisterServer"));
        unregisterServer = reinterpret_cast<DllUnregisterServerFn>(dlsym(handle, "DllUnregisterServer"));
        return getClassObject && canUnloadNow && registerServer && unregisterServer;
    }
    IASIO* create() const {
        IClassFactory* f = nullptr;
        if (getClassObject(CLSID_VelunorAsio, IID_IClassFactory, reinterpret_cast<void**>(&f)) != S_OK) return nullptr;
        IASIO* a = nullptr;
        HRESULT hr = f->CreateInstance(nullptr, CLSID_VelunorAsio, reinterpret_cast<void**>(&a));
        f->Release();
        return hr == S_OK ? a : nullptr;
    }
};

inline AsioLib& asioLib() {
    static AsioLib lib;
    if (!lib.handle) {
        if (!lib.open(VELUNOR_ASIO_SO)) ADD_FAILURE() << "dlopen " << VELUNOR_ASIO_SO << ": " << dlerror();
    }
    return lib;
}

// Temp dirs of this test program, removed when it exits (not in a forked child).
inline void removeTempDirs();
inline std::vector<std::string>& tempDirs() {
    static std::vector<std::string> dirs;
    static const pid_t owner = getpid();
    static bool hooked = false;
    if (!hooked) {
        hooked = true;
        std::atexit([] {
            if (getpid() == owner) removeTempDirs();
        });
    }
    return dirs;
}
inline void removeTempDirs() {
    for (const std::string& d : tempDirs()) {
        std::error_code ec;
        std::filesystem::remove_all(d, ec);
    }
}

// A fresh VELUNOR_RUNDIR (and VELUNOR_ROOT) per test: sections and locks start empty.
inline std::string freshDirs(const char* tag) {
    char tmpl[256];
    std::snprintf(tmpl, sizeof tmpl, "/tmp/velunor-%s-XXXXXX", tag);
    const char* d = mkdtemp(tmpl);
    if (!d) return "";
    std::string dir = d;
    tempDirs().push_back(dir);
    setenv("VELUNOR_RUNDIR", (dir + "/run").c_str(), 1);
    setenv("VELUNOR_ROOT", (dir + "/root").c_str(), 1);
    return dir;
}

inline void put32(void* base, size_t off, uint32_t v) { std::memcpy(static_cast<char*>(base) + off, &v, 4); }

// Makes the section as the route service does (header order included).
inline bool makeArea(Section* s, uint32_t rate, uint32_t chRx, uint32_t chTx, uint32_t ring) {
    if (!Section_create(SHAREMEM_NAME, SHAREMEM_SIZE, s)) return false;
    ShareMem_counter(s->base)->store(0);
    put32(s->base, SHAREMEM_OFF_RESERVED, 0);
    put32(s->base, SHAREMEM_OFF_MAGIC, SHAREMEM_MAGIC);
    put32(s->base, SHAREMEM_OFF_MAGIC2, SHAREMEM_MAGIC);
    put32(s->base, SHAREMEM_OFF_RATE, rate);
    put32(s->base, SHAREMEM_OFF_CHRX, chRx);
    put32(s->base, SHAREMEM_OFF_CHTX, chTx);
    put32(s->base, SHAREMEM_OFF_BUFMS, ring);
    put32(s->base, SHAREMEM_OFF_SIZE, SHAREMEM_SIZE);
    ShareMem_counter(s->base)->store(0, std::memory_order_release);
    return true;
}

// Area B's sample of channel c in frame n of the stream: what the test producer sends.
inline int32_t inputPattern(uint64_t n, uint32_t c) { return int32_t((n * 8 + c + 1) & 0x7fffffff); }

// A 1 ms producer like the route service's engine: takes area A's block (channel 0 into
// a capture), clears it, writes area B with inputPattern, then advances the counter.
struct Producer {
    static constexpr size_t kCapFrames = 48 * 4000;
    char* base = nullptr;
    uint32_t F = 48, chRx = 2, chTx = 2, R = 4;
    std::atomic<bool> run{false};
    std::thread th;
    int32_t capture[kCapFrames] = {}; // area A channel 0, frame by frame (producer thread)
    uint64_t produced = 0;

    static int32_t& at(char* b, size_t off) { return *reinterpret_cast<int32_t*>(b + off); }
    void period() {
        std::atomic<uint64_t>* counter = ShareMem_counter(base);
        const uint64_t k = counter->load(std::memory_order_relaxed);
        const uint32_t s = uint32_t(k % R);
        for (uint32_t j = 0; j < F; j++) {
            for (uint32_t c = 0; c < chRx; c++) {
                std::atomic_ref<int32_t> a(at(base, ShareMem_offA(F, chRx, s, j, c)));
                if (c == 0 && k * F + j < kCapFrames) capture[k * F + j] = a.load(std::memory_order_relaxed);
                a.store(0, std::memory_order_relaxed);
            }
            for (uint32_t c = 0; c < chTx; c++)
                std::atomic_ref<int32_t>(at(base, ShareMem_offB(F, chRx, chTx, R, s, j, c)))
                    .store(inputPattern(k * F + j, c), std::memory_order_relaxed);
        }
        counter->store(k + 1, std::memory_order_release);
        produced++;
    }
    void start(Section* s) {
        base = static_cast<char*>(s->base);
        run.store(true);
        th = std::thread([this] {
            PeriodTimer t;
            PeriodTimer_start(&t, 1000000);
            while (run.load()) {
                period();
                PeriodTimer_wait(&t);
            }
        });
    }
    void stop() {
        run.store(false);
        if (th.joinable()) th.join();
    }
    ~Producer() { stop(); }
};
