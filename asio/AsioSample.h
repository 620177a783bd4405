// AsioSample: the IASIO driver object. Its channels are those of VelunorRoute's engine,
// reached through the shared exchange area (engine/shareMem.h); one audio thread per
// started object follows the area's block counter and calls the host's bufferSwitch.
#pragma once
#include <atomic>
#include <cstdint>
#include <thread>

#include "asio/combase.h"
#include "asio/com/iasio.h"
#include "platform/section.h"

#define ASIO_MAX_BUFFERS 256
#define ASIO_ERRTEXT_CAP 124 // bytes getErrorMessage writes at most, NUL included

struct AsioBufferRecord {
    int32_t channel;
    int32_t isInput; // 0 or 1
    int32_t* buffer; // 2 x buffer size samples: half 0, then half 1
};

class AsioSample : public IASIO, public CUnknown {
public:
    explicit AsioSample(IUnknown* outer);
    ~AsioSample() override;
    static CUnknown* create(IUnknown* outer, HRESULT* hr);

    // IUnknown: forwarded to the owner.
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return GetOwner()->QueryInterface(riid, ppv); }
    ULONG AddRef() override { return GetOwner()->AddRef(); }
    ULONG Release() override { return GetOwner()->Release(); }
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    int32_t getDriverVersion() override;
    void getErrorMessage(char* text) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
    ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override;
    ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                            int32_t* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate rate) override;
    ASIOError getSampleRate(ASIOSampleRate* rate) override;
    ASIOError setSampleRate(ASIOSampleRate rate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) override;
    ASIOError setClockSource(int32_t reference) override;
    ASIOError getSamplePosition(ASIOSamples* pos, ASIOTimeStamp* stamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* infos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(int32_t selector, void* opt) override;
    ASIOError outputReady() override;

private:
    void audioThread();
    bool processBlock(uint64_t block, uint64_t* frameCount);
    void publishPosition(uint64_t frames);
    void resetRequest(const char* why, uint64_t next, uint64_t counter);
    void joinThread();
    void freeBuffers();
    void closeArea();
    bool initialised() const { return m_area.base != nullptr; }

    std::atomic<int> m_error{0};           // index of the error text
    ASIOCallbacks* m_callbacks = nullptr;  // set by createBuffers
    std::atomic<uint32_t> m_posSeq{0};     // odd while the audio thread writes the pair
    std::atomic<uint64_t> m_timeStampNs{0};
    std::atomic<uint64_t> m_samplePos{0};
    int32_t m_sampleRate = 0;
    int32_t m_outputChannels = 0; // chNumRx: area A
    int32_t m_inputChannels = 0;  // chNumTx: area B
    int32_t m_bufferSize = 0;
    std::atomic<bool> m_started{false};
    int32_t m_bufferCount = 0;
    AsioBufferRecord m_records[ASIO_MAX_BUFFERS] = {};

    // The exchange area this object holds (geometry checked at init).
    Section m_area;
    int m_lock = -1;
    uint32_t m_frames = 0; // F
    uint32_t m_ringBlocks = 0; // R
    uint64_t m_skippedFrames = 0; // audio thread: frames of the blocks it skipped since start

    std::thread m_thread;                       // touched by host threads only
    std::atomic<std::thread::id> m_audioThreadId{}; // set by the audio thread itself
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_threadDone{true};
};
