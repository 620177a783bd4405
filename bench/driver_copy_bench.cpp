// The period copy between the endpoints' cyclic buffers and the engine's blocks: all 64
// streams running (32 render pairs gathered into a 64-channel input block, 32 capture
// pairs scattered from a 64-channel output block), against a period with no stream open.
// Prints figures; asserts nothing.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "driver/driver.h"

namespace {

// Pages for a buffer: plain memory here, since the copy is what is measured.
struct Pages final : IPortWaveRTStream {
    NTSTATUS QueryInterface(const IID&, void**) override { return STATUS_NOT_IMPLEMENTED; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    MDL* AllocatePagesForMdl(uint64_t, size_t bytes) override { return IoAllocateMdl(std::calloc(1, bytes), ULONG(bytes), 0, 0, nullptr); }
    void* MapAllocatedPages(MDL* m, MEMORY_CACHING_TYPE) override { return m->StartVa; }
    void UnmapAllocatedPages(void*, MDL*) override {}
    void FreePagesFromMdl(MDL* m) override {
        std::free(m->StartVa);
        IoFreeMdl(m);
    }
};

constexpr int kFrames = 48, kChannels = 64;

struct Streams {
    Pages pages;
    IMiniportWaveRTStream* s[SUBDEVICE_COUNT] = {};
    MDL* mdl[SUBDEVICE_COUNT] = {};
    void open() {
        for (int i = 0; i < SUBDEVICE_COUNT; ++i) {
            if (WaveRtStream_new(i, &s[i], &pages, i % 2 == 1) != STATUS_SUCCESS) std::abort();
            ULONG actual = 0, offset = 0;
            MEMORY_CACHING_TYPE cache;
            // 100 ms buffers, as an audio stack would ask for.
            s[i]->AllocateAudioBuffer(4800 * 8, &mdl[i], &actual, &offset, &cache);
            s[i]->SetState(KSSTATE_RUN);
        }
    }
    void close() {
        for (int i = 0; i < SUBDEVICE_COUNT; ++i) {
            if (!s[i]) continue;
            s[i]->SetState(KSSTATE_STOP);
            s[i]->FreeAudioBuffer(mdl[i], 4800 * 8);
            s[i]->Release();
            s[i] = nullptr;
        }
    }
};

void period(benchmark::State& state, bool streams) {
    std::vector<int32_t> in(kFrames * kChannels), out(kFrames * kChannels, 7);
    Streams st;
    if (streams) st.open();
    for (auto _ : state) {
        WaveRtStream_renderGather(in.data(), kChannels, kFrames);
        WaveRtStream_captureScatter(out.data(), kChannels, kFrames);
        benchmark::DoNotOptimize(in.data());
        benchmark::ClobberMemory();
    }
    st.close();
}

void BM_CopyAll64Streams(benchmark::State& state) { period(state, true); }
void BM_CopyNoStream(benchmark::State& state) { period(state, false); }

}  // namespace

BENCHMARK(BM_CopyAll64Streams);
BENCHMARK(BM_CopyNoStream);
BENCHMARK_MAIN();
