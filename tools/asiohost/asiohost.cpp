// asiohost: an ASIO host for Velunor-rEduVuzi. Finds the driver through the registry
// (or takes a library path), lists its channels and buffer sizes, plays a WAV file or
// a test tone to chosen outputs and records chosen inputs to a WAV file.
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <new>
#include <string>
#include <strings.h>

#include "asio/com/iasio.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "tools/asiohost/wavfile.h"
#include "tools/common/cmdline.h"

#define MAX_CH 64
#define MAX_RECORD_SAMPLES (64ull << 20) // 256 MB of recording at most

static const char kUsage[] =
    "usage: asiohost [options]\n"
    "Loads the ASIO driver registered under HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO (or a library given\n"
    "by path), then lists it, or plays to outputs and records inputs for a time.\n"
    "\n"
    "driver:\n"
    "  --driver PATH      load the driver library from PATH instead of the registry\n"
    "  --name NAME        registered driver name (default Velunor-rEduVuzi)\n"
    "  --clsid {ID}       class id to create (default: the registered one, or the driver's)\n"
    "  --register         register the library (--driver, or the registered path) and exit\n"
    "  --unregister       unregister it and exit\n"
    "  --list             list registered drivers, channels, buffer sizes and rates, and exit\n"
    "streaming:\n"
    "  --tone HZ          play a sine tone of HZ (e.g. 1000)\n"
    "  --level DBFS       tone level in dB below full scale (default -6)\n"
    "  --play FILE.wav    play a WAV file (16/24/32-bit PCM or 32-bit float); file channel k goes\n"
    "                     to the k-th output of --out (repeated when the file has fewer)\n"
    "  --loop             play the file again when it ends\n"
    "  --out LIST         output channels, e.g. 0,1 or 0-3 (default 0 when playing)\n"
    "  --record FILE.wav  record the inputs of --in to FILE, on the time axis: frames the driver\n"
    "                     skipped or a restart missed are written as silence\n"
    "  --in LIST          input channels to record (default 0 when recording)\n"
    "  --bits N           recording sample size 16, 24 or 32 (default 32)\n"
    "  --seconds S        run time in seconds (default 5)\n"
    "  --buffer FRAMES    buffer size (default: the driver's preferred size)\n"
    "  --wait S           wait up to S seconds for the route service to run (default 5)\n"
    "  --no-restart       end at a reset request instead of starting again\n"
    "  -h, --help         this text\n"
    "Exit status: 0 done, 1 the driver failed, 2 bad usage.\n";

namespace {

struct Options {
    const char* driver = nullptr;
    const char* name = VELUNOR_ASIO_NAME;
    const char* clsid = nullptr;
    bool doRegister = false, doUnregister = false, list = false, loop = false, restart = true;
    double toneHz = 0, levelDb = -6.0, seconds = 5.0, waitS = 5.0;
    const char* play = nullptr;
    const char* record = nullptr;
    int bits = 32;
    int bufferSize = 0;
    int outs[MAX_CH], nOuts = 0;
    int ins[MAX_CH], nIns = 0;
};

// ---- state shared with the driver's audio thread ----
struct Stream {
    ASIOBufferInfo infos[2 * MAX_CH];
    int nOut = 0, nIn = 0; // infos[0..nOut) outputs, then inputs
    int32_t bufSize = 0;
    // source
    double toneStep = 0;
    double toneAmp = 0;
    const WavData* wav = nullptr;
    bool loop = false;
    // recording
    int32_t* rec = nullptr;
    uint64_t recCap = 0; // frames
    std::atomic<uint64_t> recFrames{0};
    std::atomic<uint64_t> outFrames{0};
    std::atomic<uint64_t> switches{0};
    std::atomic<int64_t> firstSwitchNs{0};
    std::atomic<int> resetRequested{0};
    // The recording keeps the time axis: frames the driver skipped (its sample position
    // jumped) or that a restart after a reset request missed are written as silence, so
    // a gap in the file is as long as the sound that was lost.
    IASIO* asio = nullptr;
    double rateHz = 48000;
    int64_t lastPos = -1;            // driver sample position after the last switch; -1: none yet
    int64_t lastSwitchNs = 0;        // when the last switch came (a restart measures its gap from it)
    std::atomic<bool> restarted{false};
    std::atomic<uint64_t> silenceFrames{0}; // frames of silence written for skips and restarts
    // Skips the driver made, told by the main loop (the audio thread does not print).
    struct Skip {
        uint64_t atFrame, frames;
        int64_t ns;
    } skips[64];
    std::atomic<uint32_t> skipCount{0};
    // Where the recording stood in time, every 100 ms of it: a reader maps a frame of the
    // file to the clock even when the route service skipped periods (the file then holds
    // less time than passed).
    struct Mark {
        uint64_t frame;
        int64_t ns;
    } marks[36000];
    uint32_t markCount = 0;
};
Stream g_s;
WavData g_wav; // the file being played
std::atomic<bool> g_quit{false};

int32_t toneSample(uint64_t n) {
    // 24 significant bits, the low byte zero: a 24-bit link carries it exactly.
    double v = std::sin(g_s.toneStep * double(n % 48000000ull)) * g_s.toneAmp;
    return int32_t(std::lrint(v * 8388607.0)) * 256;
}

// Frames of silence the recording needs before this switch's buffer: what the driver
// skipped (its position moved by more than a buffer) or, after a restart, the time since
// the last switch less one buffer.
uint64_t missedFrames(int64_t nowNs, int32_t bs) {
    ASIOSamples sp{};
    ASIOTimeStamp ts{};
    int64_t pos = -1;
    if (g_s.asio && g_s.asio->getSamplePosition(&sp, &ts) == ASE_OK) pos = int64_t((uint64_t(sp.hi) << 32) | sp.lo);
    uint64_t missed = 0;
    if (g_s.restarted.exchange(false)) {
        const int64_t gapNs = nowNs - g_s.lastSwitchNs - int64_t(double(bs) * 1e9 / g_s.rateHz);
        if (g_s.lastSwitchNs > 0 && gapNs > 0) missed = uint64_t(double(gapNs) * g_s.rateHz / 1e9);
    } else if (g_s.lastPos >= 0 && pos > g_s.lastPos + bs) {
        missed = uint64_t(pos - g_s.lastPos - bs);
        const uint32_t n = g_s.skipCount.load(std::memory_order_relaxed);
        if (n < 64) {
            g_s.skips[n] = {g_s.outFrames.load(std::memory_order_relaxed), missed, nowNs};
            g_s.skipCount.store(n + 1, std::memory_order_release);
        }
    }
    g_s.lastPos = pos;
    g_s.lastSwitchNs = nowNs;
    return missed;
}

void onBufferSwitch(int32_t index, ASIOBool) {
    const int h = index ? 1 : 0;
    const int32_t bs = g_s.bufSize;
    const int64_t nowNs = Clock_nowNs();
    int64_t expect = 0;
    g_s.firstSwitchNs.compare_exchange_strong(expect, nowNs);
    const uint64_t missed = missedFrames(nowNs, bs);
    const uint64_t of = g_s.outFrames.load(std::memory_order_relaxed);
    for (int k = 0; k < g_s.nOut; k++) {
        auto* out = static_cast<int32_t*>(g_s.infos[k].buffers[h]);
        for (int32_t n = 0; n < bs; n++) {
            int32_t v = 0;
            if (g_s.wav) {
                uint64_t f = of + uint64_t(n);
                if (g_s.loop && g_s.wav->frames) f %= g_s.wav->frames;
                if (f < g_s.wav->frames) v = g_s.wav->samples[f * g_s.wav->channels + uint64_t(k % g_s.wav->channels)];
            } else if (g_s.toneAmp > 0) {
                v = toneSample(of + uint64_t(n));
            }
            out[n] = v;
        }
    }
    g_s.outFrames.store(of + uint64_t(bs), std::memory_order_relaxed);
    uint64_t rf = g_s.recFrames.load(std::memory_order_relaxed);
    if (g_s.nIn > 0 && missed > 0 && rf < g_s.recCap) {
        const uint64_t take = std::min<uint64_t>(missed, g_s.recCap - rf); // the buffer was zeroed at allocation
        g_s.silenceFrames.fetch_add(take, std::memory_order_relaxed);
        rf += take;
        g_s.recFrames.store(rf, std::memory_order_release);
    }
    if (g_s.nIn > 0 && rf < g_s.recCap) {
        const uint64_t take = std::min<uint64_t>(uint64_t(bs), g_s.recCap - rf);
        for (int k = 0; k < g_s.nIn; k++) {
            auto* in = static_cast<const int32_t*>(g_s.infos[g_s.nOut + k].buffers[h]);
            for (uint64_t n = 0; n < take; n++) g_s.rec[(rf + n) * uint64_t(g_s.nIn) + uint64_t(k)] = in[n];
        }
        if (g_s.markCount < sizeof g_s.marks / sizeof g_s.marks[0] &&
            (g_s.markCount == 0 || (rf + take) / 4800 != g_s.marks[g_s.markCount - 1].frame / 4800))
            g_s.marks[g_s.markCount++] = {rf + take, nowNs}; // the frames up to here came by now
        g_s.recFrames.store(rf + take, std::memory_order_release);
    }
    g_s.switches.fetch_add(1, std::memory_order_release);
}

int32_t onMessage(int32_t selector, int32_t value, void*, double*) {
    if (selector == kAsioSelectorSupported) return value == kAsioResetRequest || value == kAsioEngineVersion;
    if (selector == kAsioEngineVersion) return 2;
    if (selector == kAsioResetRequest) {
        g_s.resetRequested.store(1);
        return 1;
    }
    return 0;
}

ASIOCallbacks g_callbacks = {onBufferSwitch, nullptr, onMessage, nullptr};

void onSignal(int) { g_quit.store(true); }

bool parseList(const char* s, int* out, int* n) {
    long v[MAX_CH];
    if (!Cmdline_intList(s, 0, 100000, true, v, MAX_CH, n)) return false;
    for (int k = 0; k < *n; k++) out[k] = int(v[k]);
    return true;
}

bool parseNum(const char* s, double lo, double hi, double* out) { return Cmdline_number(s, lo, hi, out); }

int usageError(const char* what, const char* arg) {
    std::fprintf(stderr, "asiohost: %s%s%s\n(see asiohost --help)\n", what, arg ? ": " : "", arg ? arg : "");
    return 2;
}

int parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        auto val = [&](const char** v) {
            if (i + 1 >= argc) return false;
            *v = argv[++i];
            return true;
        };
        const char* v = nullptr;
        double d = 0;
        if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (!std::strcmp(a, "--driver")) {
            if (!val(&o->driver)) return usageError("--driver needs a path", nullptr);
        } else if (!std::strcmp(a, "--name")) {
            if (!val(&o->name)) return usageError("--name needs a name", nullptr);
        } else if (!std::strcmp(a, "--clsid")) {
            CLSID c;
            if (!val(&o->clsid) || !CLSIDFromText(o->clsid, &c)) return usageError("bad --clsid", o->clsid);
        } else if (!std::strcmp(a, "--register")) {
            o->doRegister = true;
        } else if (!std::strcmp(a, "--unregister")) {
            o->doUnregister = true;
        } else if (!std::strcmp(a, "--list")) {
            o->list = true;
        } else if (!std::strcmp(a, "--loop")) {
            o->loop = true;
        } else if (!std::strcmp(a, "--no-restart")) {
            o->restart = false;
        } else if (!std::strcmp(a, "--tone")) {
            if (!val(&v) || !parseNum(v, 1, 1e6, &o->toneHz)) return usageError("bad --tone", v);
        } else if (!std::strcmp(a, "--level")) {
            if (!val(&v) || !parseNum(v, -200, 0, &o->levelDb)) return usageError("bad --level (dBFS, 0 or below)", v);
        } else if (!std::strcmp(a, "--seconds")) {
            if (!val(&v) || !parseNum(v, 0.001, 86400, &o->seconds)) return usageError("bad --seconds", v);
        } else if (!std::strcmp(a, "--wait")) {
            if (!val(&v) || !parseNum(v, 0, 3600, &o->waitS)) return usageError("bad --wait", v);
        } else if (!std::strcmp(a, "--buffer")) {
            if (!val(&v) || !parseNum(v, 1, 1 << 20, &d) || d != std::floor(d)) return usageError("bad --buffer", v);
            o->bufferSize = int(d);
        } else if (!std::strcmp(a, "--bits")) {
            if (!val(&v) || !parseNum(v, 16, 32, &d) || (d != 16 && d != 24 && d != 32))
                return usageError("bad --bits (16, 24 or 32)", v);
            o->bits = int(d);
        } else if (!std::strcmp(a, "--play")) {
            if (!val(&o->play)) return usageError("--play needs a file", nullptr);
        } else if (!std::strcmp(a, "--record")) {
            if (!val(&o->record)) return usageError("--record needs a file", nullptr);
        } else if (!std::strcmp(a, "--out")) {
            if (!val(&v) || !parseList(v, o->outs, &o->nOuts)) return usageError("bad --out list", v);
        } else if (!std::strcmp(a, "--in")) {
            if (!val(&v) || !parseList(v, o->ins, &o->nIns)) return usageError("bad --in list", v);
        } else {
            return usageError("unknown option", a);
        }
    }
    if (o->play && o->toneHz > 0) return usageError("--play and --tone exclude each other", nullptr);
    if ((o->play || o->toneHz > 0) && o->nOuts == 0) o->outs[o->nOuts++] = 0;
    if (o->record && o->nIns == 0) o->ins[o->nIns++] = 0;
    if (o->nIns > 0 && !o->record) return usageError("--in without --record", nullptr);
    return -1; // carry on
}

// The registered library path and class id of driver `name`.
bool lookUp(const char* name, std::string* path, CLSID* clsid) {
    RegKey drv, inproc;
    char text[400];
    std::string key = std::string("SOFTWARE\\ASIO\\") + name;
    if (Registry_openKey(REG_HKLM, key.c_str(), &drv) != REG_OK) {
        std::fprintf(stderr, "asiohost: no driver \"%s\" under HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\n", name);
        return false;
    }
    if (Registry_getString(&drv, "CLSID", text, sizeof text, nullptr) != REG_OK || !CLSIDFromText(text, clsid)) {
        std::fprintf(stderr, "asiohost: driver \"%s\" has no valid CLSID value\n", name);
        return false;
    }
    std::string ck = std::string("CLSID\\") + text + "\\InprocServer32";
    if (Registry_openKey(REG_HKCR, ck.c_str(), &inproc) != REG_OK ||
        Registry_getString(&inproc, nullptr, text, sizeof text, nullptr) != REG_OK || !text[0]) {
        std::fprintf(stderr, "asiohost: class %s is not registered (HKEY_CLASSES_ROOT\\%s)\n", ck.c_str() + 6, ck.c_str());
        return false;
    }
    *path = text;
    return true;
}

void listRegistered() {
    RegKey asio;
    std::printf("registered drivers:\n");
    if (Registry_openKey(REG_HKLM, "SOFTWARE\\ASIO", &asio) != REG_OK) {
        std::printf("  (none)\n");
        return;
    }
    char name[256];
    int n = 0;
    for (int i = 0; Registry_enumKey(&asio, i, name, sizeof name) == REG_OK; i++, n++) {
        std::string path;
        CLSID c;
        char ct[40] = "?";
        if (lookUp(name, &path, &c)) CLSIDToText(c, ct, sizeof ct);
        std::printf("  %s %s %s\n", name, ct, path.c_str());
    }
    if (!n) std::printf("  (none)\n");
}

struct Driver {
    void* lib = nullptr;
    IASIO* asio = nullptr;
    double rateHz = 48000;
    std::string path;
};

bool load(const Options& o, Driver* d) {
    CLSID clsid = CLSID_VelunorAsio;
    if (o.driver) {
        d->path = o.driver;
    } else if (!lookUp(o.name, &d->path, &clsid)) {
        return false;
    }
    if (o.clsid) CLSIDFromText(o.clsid, &clsid);
    d->lib = dlopen(d->path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!d->lib) {
        std::fprintf(stderr, "asiohost: cannot load %s: %s\n", d->path.c_str(), dlerror());
        return false;
    }
    return true;
}

bool create(const Options& o, Driver* d) {
    CLSID clsid = CLSID_VelunorAsio;
    std::string p;
    if (o.clsid) CLSIDFromText(o.clsid, &clsid);
    else if (!o.driver) lookUp(o.name, &p, &clsid);
    auto get = reinterpret_cast<DllGetClassObjectFn>(dlsym(d->lib, "DllGetClassObject"));
    if (!get) {
        std::fprintf(stderr, "asiohost: %s has no DllGetClassObject\n", d->path.c_str());
        return false;
    }
    IClassFactory* f = nullptr;
    HRESULT hr = get(clsid, IID_IClassFactory, reinterpret_cast<void**>(&f));
    if (hr != S_OK || !f) {
        std::fprintf(stderr, "asiohost: DllGetClassObject failed (0x%08x)\n", unsigned(hr));
        return false;
    }
    hr = f->CreateInstance(nullptr, clsid, reinterpret_cast<void**>(&d->asio));
    f->Release();
    if (hr != S_OK || !d->asio) {
        std::fprintf(stderr, "asiohost: CreateInstance failed (0x%08x)\n", unsigned(hr));
        return false;
    }
    return true;
}

// init, retried until the route service's area is there or wait runs out.
bool initDriver(IASIO* a, double waitS) {
    const uint64_t t0 = Clock_tickMs();
    char err[124];
    for (;;) {
        if (a->init(nullptr) == ASIOTrue) return true;
        a->getErrorMessage(err);
        if (g_quit.load() || double(Clock_tickMs() - t0) >= waitS * 1000.0 || !std::strcmp(err, "dev owned by other")) {
            std::fprintf(stderr, "asiohost: init failed: %s\n", err);
            return false;
        }
        Clock_sleepMs(100);
    }
}

ASIOError startDriver(IASIO* a, double waitS) {
    const uint64_t t0 = Clock_tickMs();
    for (;;) {
        ASIOError e = a->start();
        if (e != ASE_NotPresent || g_quit.load() || double(Clock_tickMs() - t0) >= waitS * 1000.0) return e;
    }
}

void printInfo(IASIO* a) {
    char name[32] = {};
    a->getDriverName(name);
    int32_t in = 0, out = 0, mn = 0, mx = 0, pref = 0, gran = 0;
    ASIOSampleRate rate = 0;
    a->getChannels(&in, &out);
    a->getBufferSize(&mn, &mx, &pref, &gran);
    a->getSampleRate(&rate);
    std::printf("driver: %s version %d\n", name, int(a->getDriverVersion()));
    std::printf("sample rate: %.0f\n", rate);
    std::printf("buffer sizes: min %d max %d preferred %d granularity %d\n", int(mn), int(mx), int(pref), int(gran));
    ASIOClockSource cs[4];
    int32_t ncs = 4;
    if (a->getClockSources(cs, &ncs) == ASE_OK)
        for (int i = 0; i < ncs && i < 4; i++)
            std::printf("clock source %d: %s%s\n", int(cs[i].index), cs[i].name, cs[i].isCurrentSource ? " (current)" : "");
    for (int dir = 1; dir >= 0; dir--) {
        const int32_t count = dir ? in : out;
        std::printf("%s: %d\n", dir ? "inputs" : "outputs", int(count));
        for (int32_t c = 0; c < count; c++) {
            ASIOChannelInfo ci{};
            ci.channel = c;
            ci.isInput = dir;
            if (a->getChannelInfo(&ci) == ASE_OK)
                std::printf("  %s %d: %s (group %d, type %d)\n", dir ? "in" : "out", int(c), ci.name, int(ci.channelGroup),
                            int(ci.type));
        }
    }
}

bool makeBuffers(IASIO* a, const Options& o, int32_t bufSize) {
    g_s.nOut = o.nOuts;
    g_s.nIn = o.nIns;
    for (int k = 0; k < o.nOuts; k++) g_s.infos[k] = {ASIOFalse, o.outs[k], {nullptr, nullptr}};
    for (int k = 0; k < o.nIns; k++) g_s.infos[o.nOuts + k] = {ASIOTrue, o.ins[k], {nullptr, nullptr}};
    g_s.bufSize = bufSize;
    ASIOError e = a->createBuffers(g_s.infos, o.nOuts + o.nIns, bufSize, &g_callbacks);
    if (e != ASE_OK) {
        std::fprintf(stderr, "asiohost: createBuffers failed (%d)\n", int(e));
        return false;
    }
    return true;
}

// Releases the driver object (and what the stream held) on the way out.
int finish(IASIO* a, int rc) {
    a->disposeBuffers();
    a->Release();
    delete[] g_s.rec;
    g_s.rec = nullptr;
    Wav_free(&g_wav);
    return rc;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    int rc = parse(argc, argv, &o);
    if (rc >= 0) return rc;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (o.list && !o.driver) listRegistered();
    Driver d;
    if (!load(o, &d)) return 1;
    if (o.doRegister || o.doUnregister) {
        const char* sym = o.doRegister ? "DllRegisterServer" : "DllUnregisterServer";
        auto fn = reinterpret_cast<DllRegisterServerFn>(dlsym(d.lib, sym));
        HRESULT hr = fn ? fn() : E_FAIL;
        std::printf("asiohost: %s %s: %s\n", sym, d.path.c_str(), hr == S_OK ? "ok" : "failed");
        return hr == S_OK ? 0 : 1;
    }
    std::printf("library: %s\n", d.path.c_str());
    if (!create(o, &d)) return 1;
    IASIO* a = d.asio;
    if (!initDriver(a, o.list ? 0 : o.waitS)) {
        a->Release();
        return 1;
    }
    printInfo(a);
    if (o.list || (o.nOuts == 0 && o.nIns == 0)) {
        a->Release();
        return 0;
    }

    ASIOSampleRate rate = 0;
    int32_t in = 0, out = 0, mn = 0, mx = 0, pref = 0, gran = 0;
    a->getSampleRate(&rate);
    a->getChannels(&in, &out);
    a->getBufferSize(&mn, &mx, &pref, &gran);
    const int32_t bufSize = o.bufferSize ? o.bufferSize : pref;
    for (int k = 0; k < o.nOuts; k++)
        if (o.outs[k] >= out) return finish(a, usageError("no such output channel", std::to_string(o.outs[k]).c_str()));
    for (int k = 0; k < o.nIns; k++)
        if (o.ins[k] >= in) return finish(a, usageError("no such input channel", std::to_string(o.ins[k]).c_str()));

    WavData& wav = g_wav;
    if (o.play) {
        char err[128];
        if (!Wav_read(o.play, 1ull << 27, &wav, err, sizeof err)) {
            std::fprintf(stderr, "asiohost: %s: %s\n", o.play, err);
            return finish(a, 1);
        }
        if (double(wav.rate) != rate)
            std::fprintf(stderr, "asiohost: warning: %s is %u Hz, the driver runs at %.0f Hz\n", o.play, wav.rate, rate);
        g_s.wav = &wav;
        g_s.loop = o.loop;
        std::printf("playing %s (%d ch, %llu frames) to outputs", o.play, wav.channels, (unsigned long long)wav.frames);
    } else if (o.toneHz > 0) {
        g_s.toneStep = 2.0 * M_PI * o.toneHz / rate;
        g_s.toneAmp = std::pow(10.0, o.levelDb / 20.0);
        std::printf("playing tone %.0f Hz at %.1f dBFS to outputs", o.toneHz, o.levelDb);
    }
    for (int k = 0; k < o.nOuts; k++) std::printf(" %d", o.outs[k]);
    if (o.nOuts) std::printf("\n");
    const uint64_t wantFrames = uint64_t(std::llround(o.seconds * rate));
    if (o.record) {
        if (wantFrames * uint64_t(o.nIns) > MAX_RECORD_SAMPLES) return finish(a, usageError("recording too long", nullptr));
        g_s.recCap = wantFrames;
        g_s.rec = new (std::nothrow) int32_t[wantFrames * uint64_t(o.nIns) + 1]();
        if (!g_s.rec) return finish(a, usageError("recording too long", nullptr));
        std::printf("recording inputs");
        for (int k = 0; k < o.nIns; k++) std::printf(" %d", o.ins[k]);
        std::printf(" to %s (%d-bit)\n", o.record, o.bits);
    }
    std::printf("buffer size %d, %.3f s\n", int(bufSize), o.seconds);

    g_s.asio = a;
    g_s.rateHz = rate > 0 ? rate : 48000;
    if (!makeBuffers(a, o, bufSize)) return finish(a, 1);
    ASIOError e = startDriver(a, o.waitS);
    if (e != ASE_OK) {
        std::fprintf(stderr, "asiohost: start failed (%d)%s\n", int(e),
                     e == ASE_NotPresent ? ": the route service's engine is not running" : "");
        return finish(a, 1);
    }
    const int64_t startNs = Clock_nowNs();
    int resets = 0;
    uint32_t told = 0; // skips printed
    bool failed = false;
    // Frames stop while the route service or the host is held up: a long stall is not an end.
    const uint64_t deadline = Clock_tickMs() + uint64_t(2.0 * o.seconds * 1000.0) + 30000;
    while (!g_quit.load() && g_s.outFrames.load() < wantFrames) {
        if (Clock_tickMs() > deadline) {
            std::fprintf(stderr, "asiohost: the stream fell behind the clock, ending\n");
            failed = true;
            break;
        }
        for (uint32_t n = g_s.skipCount.load(std::memory_order_acquire); told < n; told++)
            std::printf("driver skipped %llu frames at frame %llu mono_ns=%lld\n",
                        (unsigned long long)g_s.skips[told].frames, (unsigned long long)g_s.skips[told].atFrame,
                        (long long)g_s.skips[told].ns);
        if (g_s.resetRequested.exchange(0)) {
            resets++;
            std::printf("reset request at frame %llu mono_ns=%lld\n", (unsigned long long)g_s.outFrames.load(),
                        (long long)Clock_nowNs());
            const int64_t t0 = Clock_nowNs();
            a->stop();
            a->disposeBuffers();
            g_s.restarted.store(true);
            if (!o.restart || !initDriver(a, o.waitS) || !makeBuffers(a, o, bufSize) || startDriver(a, o.waitS) != ASE_OK) {
                failed = o.restart;
                break;
            }
            const int64_t t1 = Clock_nowNs();
            std::printf("restarted in %.1f ms, at mono_ns=%lld\n", double(t1 - t0) / 1e6, (long long)t1);
        }
        Clock_sleepMs(1); // a reset request is served at once: the restart is what it costs
    }
    a->stop();
    a->disposeBuffers();
    const int64_t first = g_s.firstSwitchNs.load();
    std::printf("started at mono_ns=%lld, first bufferSwitch at mono_ns=%lld\n", (long long)startNs, (long long)first);
    std::printf("done: frames=%llu switches=%llu resets=%d\n", (unsigned long long)g_s.outFrames.load(),
                (unsigned long long)g_s.switches.load(), resets);
    if (o.record) {
        const uint64_t frames = g_s.recFrames.load(std::memory_order_acquire);
        if (!Wav_write(o.record, g_s.rec, frames, o.nIns, uint32_t(rate), o.bits)) {
            std::fprintf(stderr, "asiohost: cannot write %s\n", o.record);
            failed = true;
        } else {
            std::printf("wrote %s: %llu frames (%llu of them silence for frames the driver skipped or a restart "
                        "missed)\n",
                        o.record, (unsigned long long)frames, (unsigned long long)g_s.silenceFrames.load());
            for (uint32_t k = 0; k < g_s.markCount; k++)
                std::printf("timeline: frame %llu at mono_ns=%lld\n", (unsigned long long)g_s.marks[k].frame,
                            (long long)g_s.marks[k].ns);
        }
    }
    return finish(a, failed ? 1 : 0);
}
