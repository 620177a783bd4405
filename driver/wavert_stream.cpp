// The WaveRT streams: one static stream per filter, its cyclic buffer, states and
// position, and the copy that moves audio between the buffers and the engine's period
// blocks once per period (render gather at the start, capture scatter at the end).
//
// The copy runs in the timer callback while the audio stack works on the same stream
// from its own threads. Each stream has a small lock that the copy and the buffer's
// allocation and release take, so the copy never touches a buffer being released and
// the position always lies inside the buffer it is used with (it starts at 0 with every
// new buffer). A stream is copied only while it runs, has a buffer, and its pair lies
// within the engine's current channel counts; a pair that is not covered is silence.
#include <atomic>
#include <cstring>

#include "driver/driver.h"

extern "C" const GUID IID_IUnknown_K;
extern "C" const GUID IID_IMiniportWaveRTStream_K = {
    0x000AC9AB, 0xFAAB, 0x4F3D, {0x94, 0x55, 0x6F, 0xF8, 0x30, 0x6A, 0x74, 0xA0}};

namespace {

class Stream final : public IMiniportWaveRTStream {
public:
    int index = 0;
    std::atomic<int32_t> refs{0};
    std::atomic<KSSTATE> state{KSSTATE_STOP};
    IPortWaveRTStream* port = nullptr;
    // Guarded by lock: the copy and the buffer's owner.
    std::atomic_flag lock = ATOMIC_FLAG_INIT;
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    uint32_t position = 0;
    MDL* mdl = nullptr;
    WaveRtPositionRegister* reg = nullptr; // behind the buffer, in its pages

    void take() {
        while (lock.test_and_set(std::memory_order_acquire)) {
        }
    }
    void give() { lock.clear(std::memory_order_release); }

    NTSTATUS QueryInterface(const IID& iid, void** out) override {
        if (!out) return STATUS_UNSUCCESSFUL;
        if (IsEqualGUID(iid, IID_IUnknown_K) || IsEqualGUID(iid, IID_IMiniportWaveRTStream_K)) {
            *out = this;
            AddRef();
            return STATUS_SUCCESS;
        }
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ULONG(++refs); }
    ULONG Release() override {
        const int32_t n = --refs;
        if (n == 0) state.store(KSSTATE_STOP); // closed: the slot may be opened again
        return ULONG(n < 0 ? 0 : n);
    }
    NTSTATUS SetFormat(const KSDATAFORMAT*) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS SetState(KSSTATE s) override {
        state.store(s);
        return STATUS_SUCCESS;
    }
    NTSTATUS GetPosition(KSAUDIO_POSITION* p) override {
        if (!p) return STATUS_INVALID_PARAMETER;
        take();
        const uint32_t pos = state.load() == KSSTATE_RUN ? position : 0;
        give();
        p->PlayOffset = p->WriteOffset = pos;
        return STATUS_SUCCESS;
    }
    NTSTATUS AllocateAudioBuffer(ULONG requested, MDL** outMdl, ULONG* actual, ULONG* offset,
                                 MEMORY_CACHING_TYPE* cache) override {
        if (!outMdl || !actual || !offset || !cache || !port) return STATUS_INVALID_PARAMETER;
        const ULONG align = MiniportWaveRT_format()->WaveFormatExt.Format.nBlockAlign;
        if (requested == 0 || requested < align) return STATUS_UNSUCCESSFUL;
        const ULONG bytes = requested - requested % align;
        const ULONG regAt = (bytes + WAVERT_REGISTER_ALIGN - 1) / WAVERT_REGISTER_ALIGN * WAVERT_REGISTER_ALIGN;
        MDL* m = port->AllocatePagesForMdl(0x00000000FFFFFFFFULL, regAt + sizeof(WaveRtPositionRegister));
        if (!m) return STATUS_UNSUCCESSFUL;
        void* va = port->MapAllocatedPages(m, MmCached);
        if (!va) {
            port->FreePagesFromMdl(m);
            return STATUS_UNSUCCESSFUL;
        }
        // Fresh pages are zero: the register starts at position 0, period count 0.
        take();
        buffer = static_cast<uint8_t*>(va);
        size = bytes;
        position = 0; // a new buffer is read from its start
        mdl = m;
        reg = reinterpret_cast<WaveRtPositionRegister*>(static_cast<uint8_t*>(va) + regAt);
        give();
        *outMdl = m;
        *actual = bytes;
        *offset = 0;
        *cache = MmCached;
        return STATUS_SUCCESS;
    }
    void FreeAudioBuffer(MDL* m, ULONG) override {
        if (!m) return;
        take();
        uint8_t* va = mdl == m ? buffer : nullptr;
        if (va) {
            buffer = nullptr;
            size = 0;
            position = 0;
            mdl = nullptr;
            reg = nullptr;
        }
        give();
        if (va && port) port->UnmapAllocatedPages(va, m);
        if (port) port->FreePagesFromMdl(m);
    }
    void GetHWLatency(KSRTAUDIO_HWLATENCY* l) override {
        if (l) *l = KSRTAUDIO_HWLATENCY{0, 0, 0};
    }
    NTSTATUS GetPositionRegister(KSRTAUDIO_HWREGISTER* r) override {
        if (!r) return STATUS_INVALID_PARAMETER;
        take();
        WaveRtPositionRegister* p = reg;
        give();
        if (!p) return STATUS_UNSUCCESSFUL; // no buffer yet
        *r = KSRTAUDIO_HWREGISTER{p, 32, 0, 0, 0};
        return STATUS_SUCCESS;
    }
    NTSTATUS GetClockRegister(KSRTAUDIO_HWREGISTER*) override { return STATUS_NOT_IMPLEMENTED; }

    // One period of frames between the buffer and channels 2p, 2p+1 of the block. A pair
    // outside the block's channels still moves at the engine's pace, so its client keeps
    // running: render is consumed unheard, capture records silence.
    void copy(int32_t* block, int N, int F, bool toBlock, int64_t nowNs) {
        const bool run = state.load(std::memory_order_relaxed) == KSSTATE_RUN;
        const int c = (index / 2) * 2;
        const bool covered = block && c + 1 < N;
        static const uint8_t kSilence[8] = {};
        take();
        if (run && buffer && size >= 8) {
            for (int f = 0; f < F; ++f) {
                int32_t* s = covered ? block + size_t(f) * size_t(N) + size_t(c) : nullptr;
                if (toBlock) {
                    if (s) std::memcpy(s, buffer + position, 8);
                } else {
                    std::memcpy(buffer + position, s ? static_cast<const void*>(s) : kSilence, 8);
                }
                position += 8;
                if (position >= size) position = 0;
            }
        }
        if (reg) publish(run, nowNs);
        give();
    }

    // The register after this period: its time always (a stopped client learns the
    // period's phase from it), the position while running.
    void publish(bool run, int64_t nowNs) {
        const uint32_t s = reg->seq.load(std::memory_order_relaxed);
        reg->seq.store(s + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        if (run) reg->position.store(position, std::memory_order_relaxed);
        reg->periodNs.store(nowNs, std::memory_order_relaxed);
        reg->periods.store(reg->periods.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        reg->seq.store(s + 2, std::memory_order_release);
    }
};

Stream g_streams[SUBDEVICE_COUNT];

}  // namespace

NTSTATUS WaveRtStream_new(int index, IMiniportWaveRTStream** out, IPortWaveRTStream* port, BOOLEAN capture) {
    if (!out || index < 0 || index >= SUBDEVICE_COUNT) return STATUS_INVALID_PARAMETER;
    *out = nullptr;
    Stream& s = g_streams[index];
    if (bool(capture) != (index % 2 == 1) || s.refs.load() != 0) return STATUS_UNSUCCESSFUL;
    s.index = index;
    s.port = port;
    s.take();
    s.buffer = nullptr;
    s.size = 0;
    s.position = 0;
    s.mdl = nullptr;
    s.reg = nullptr;
    s.give();
    s.AddRef();
    *out = &s;
    return STATUS_SUCCESS;
}

namespace {
int64_t periodNs() {
    int64_t f = 0;
    const int64_t c = KeQueryPerformanceCounter(&f);
    if (f <= 0 || f == 1000000000) return c;
    return c / f * 1000000000 + c % f * 1000000000 / f;
}
}  // namespace

// The period's time is read once, and only when a stream is open: an idle period costs
// what it did.
void WaveRtStream_renderGather(int32_t* block, int N, int F) {
    int64_t now = 0;
    for (int i = 0; i < SUBDEVICE_COUNT; i += 2)
        if (g_streams[i].refs.load(std::memory_order_relaxed) > 0)
            g_streams[i].copy(block, N, F, true, now ? now : (now = periodNs()));
}

void WaveRtStream_captureScatter(int32_t* block, int N, int F) {
    int64_t now = 0;
    for (int i = 1; i < SUBDEVICE_COUNT; i += 2)
        if (g_streams[i].refs.load(std::memory_order_relaxed) > 0)
            g_streams[i].copy(block, N, F, false, now ? now : (now = periodNs()));
}
