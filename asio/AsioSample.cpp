#include "asio/AsioSample.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "engine/shareMem.h"
#include "platform/clock.h"
#include "platform/namedlock.h"
#include "platform/rtprio.h"
#include "platform/timer.h"

// Texts getErrorMessage returns; m_error indexes them, so the audio thread can set one
// while a host thread reads it.
enum {
    ERR_NONE = 0,
    ERR_OWNED,
    ERR_LOCK,
    ERR_FIND,
    ERR_OPEN1,
    ERR_OPEN2,
    ERR_OPEN3,
    ERR_RESET,
};
static const char* const kErrorTexts[] = {
    "", "dev owned by other", "fail at lock", "fail at find dev", "fail at open 1", "fail at open 2", "fail at open 3",
    "kAsioResetRequest",
};

static uint32_t get32(const void* base, size_t off) {
    uint32_t v;
    std::memcpy(&v, static_cast<const char*>(base) + off, 4);
    return v;
}

// Samples of the area are shared with the producer: relaxed atomic accesses keep the
// exchange free of data races (they are plain moves on this machine).
static inline int32_t loadSample(char* base, size_t off) {
    return std::atomic_ref<int32_t>(*reinterpret_cast<int32_t*>(base + off)).load(std::memory_order_relaxed);
}
static inline void storeSample(char* base, size_t off, int32_t v) {
    std::atomic_ref<int32_t>(*reinterpret_cast<int32_t*>(base + off)).store(v, std::memory_order_relaxed);
}

AsioSample::AsioSample(IUnknown* outer) : CUnknown(outer) {}

CUnknown* AsioSample::create(IUnknown* outer, HRESULT* hr) {
    if (hr) *hr = S_OK;
    return new (std::nothrow) AsioSample(outer);
}

AsioSample::~AsioSample() {
    if (m_started.load()) stop();
    if (m_audioThreadId.load() == std::this_thread::get_id() && m_thread.joinable())
        m_thread.detach(); // released from its own callback: the host broke the rules, do not hang
    joinThread();
    freeBuffers();
    closeArea();
    NamedLock_release(m_lock);
    m_lock = -1;
}

HRESULT AsioSample::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == CLSID_VelunorAsio) {
        *ppv = static_cast<IASIO*>(this);
        AddRef();
        return S_OK;
    }
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

void AsioSample::closeArea() {
    if (m_area.base) Section_close(&m_area);
    m_area = Section{};
    m_sampleRate = m_outputChannels = m_inputChannels = 0;
    m_frames = m_ringBlocks = 0;
}

ASIOBool AsioSample::init(void* sysHandle) {
    (void)sysHandle;
    // A new init starts from scratch: whatever runs or exists of an earlier one goes.
    if (m_started.load()) stop();
    joinThread();
    freeBuffers();
    closeArea();

    // The lock marks the one client of the area. This object may already hold it from
    // an earlier init (then it may open the area again).
    if (m_lock < 0) {
        if (NamedLock_isHeld(SHAREMEM_LOCK_NAME)) {
            m_error.store(ERR_OWNED);
            return ASIOFalse;
        }
        m_lock = NamedLock_acquire(SHAREMEM_LOCK_NAME);
        if (m_lock < 0) {
            m_error.store(ERR_LOCK);
            return ASIOFalse;
        }
    }
    if (!Section_open(SHAREMEM_NAME, &m_area)) {
        m_area = Section{};
        m_error.store(ERR_FIND);
        return ASIOFalse;
    }
    if (m_area.size < SHAREMEM_HEADER_SIZE) {
        closeArea();
        m_error.store(ERR_OPEN1);
        return ASIOFalse;
    }
    const void* h = m_area.base;
    if (get32(h, SHAREMEM_OFF_MAGIC) != SHAREMEM_MAGIC || get32(h, SHAREMEM_OFF_MAGIC2) != SHAREMEM_MAGIC) {
        closeArea();
        m_error.store(ERR_OPEN2);
        return ASIOFalse;
    }
    // The header is another process's word: the size it states must lie within what is
    // mapped, and the rings it describes within that size, before any sample is touched.
    const uint64_t size = get32(h, SHAREMEM_OFF_SIZE);
    const uint32_t rate = get32(h, SHAREMEM_OFF_RATE);
    const uint64_t chRx = get32(h, SHAREMEM_OFF_CHRX), chTx = get32(h, SHAREMEM_OFF_CHTX);
    const uint64_t ring = get32(h, SHAREMEM_OFF_BUFMS);
    const uint64_t frames = rate / 1000u;
    const uint64_t need = SHAREMEM_HEADER_SIZE + ring * frames * (chRx + chTx) * 4u;
    if (size < SHAREMEM_HEADER_SIZE || size > m_area.size || rate > 1000000u || frames < 1 || ring < 1 ||
        chRx > 0x100000u || chTx > 0x100000u || ring > 0x100000u || need > size) {
        closeArea();
        m_error.store(ERR_OPEN3);
        return ASIOFalse;
    }
    m_sampleRate = int32_t(rate);
    m_outputChannels = int32_t(chRx);
    m_inputChannels = int32_t(chTx);
    m_frames = uint32_t(frames);
    m_ringBlocks = uint32_t(ring);
    m_started.store(false);
    m_bufferCount = 0;
    m_error.store(ERR_NONE);
    return ASIOTrue;
}

void AsioSample::getDriverName(char* name) {
    if (name) std::snprintf(name, 32, "%s", VELUNOR_ASIO_NAME);
}

int32_t AsioSample::getDriverVersion() { return 1; }

void AsioSample::getErrorMessage(char* text) {
    int e = m_error.load();
    if (e < 0 || e > ERR_RESET) e = ERR_NONE;
    if (text) std::snprintf(text, ASIO_ERRTEXT_CAP, "%s", kErrorTexts[e]);
}

ASIOError AsioSample::start() {
    if (!initialised()) return ASE_NotPresent;
    // The producer runs when its block counter moves within 100 ms. Looking every
    // millisecond (not once after 100 ms) lets a host that restarts after a reset request
    // go on as soon as the route service does: the wait was most of what a reset cost.
    std::atomic<uint64_t>* counter = ShareMem_counter(m_area.base);
    const uint64_t before = counter->load(std::memory_order_acquire);
    const uint64_t t0 = Clock_tickMs();
    bool moved = false;
    while (!moved && Clock_tickMs() - t0 <= 100) {
        Clock_sleepMs(1);
        moved = counter->load(std::memory_order_acquire) != before;
    }
    if (!moved || !m_callbacks) return ASE_NotPresent;
    if (m_started.load()) return ASE_InvalidMode;
    joinThread(); // one that ended after a stop from inside a callback
    m_started.store(true);
    m_stop.store(false);
    m_threadDone.store(false);
    m_thread = std::thread([this] { audioThread(); });
    return ASE_OK;
}

ASIOError AsioSample::stop() {
    if (!m_started.load()) return ASE_InvalidMode;
    m_started.store(false);
    m_stop.store(true, std::memory_order_release);
    if (m_audioThreadId.load() == std::this_thread::get_id())
        return ASE_OK; // called from bufferSwitch: the thread ends when the callback returns
    const uint64_t t0 = Clock_tickMs();
    while (!m_threadDone.load(std::memory_order_acquire) && Clock_tickMs() - t0 <= 1000) Clock_sleepMs(1);
    if (!m_threadDone.load())
        std::fprintf(stderr, "%s: audio thread still in the host's callback after 1000 ms, waiting on\n",
                     VELUNOR_ASIO_NAME);
    joinThread();
    return ASE_OK;
}

void AsioSample::joinThread() {
    // From inside a callback the thread cannot wait for itself; a host thread joins it
    // later (start, disposeBuffers, init or the destructor).
    if (m_audioThreadId.load() == std::this_thread::get_id()) return;
    if (m_thread.joinable()) m_thread.join();
    m_audioThreadId.store(std::thread::id());
}

ASIOError AsioSample::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
    if (!initialised()) return ASE_NotPresent;
    if (!numInputChannels || !numOutputChannels) return ASE_InvalidParameter;
    *numInputChannels = m_inputChannels;
    *numOutputChannels = m_outputChannels;
    return ASE_OK;
}

ASIOError AsioSample::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
    if (!inputLatency || !outputLatency) return ASE_InvalidParameter;
    *inputLatency = 2 * m_bufferSize;
    *outputLatency = 2 * m_bufferSize;
    return ASE_OK;
}

ASIOError AsioSample::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                    int32_t* granularity) {
    if (!initialised()) return ASE_NotPresent;
    if (!minSize || !maxSize || !preferredSize || !granularity) return ASE_InvalidParameter;
    *minSize = int32_t(m_frames);
    *maxSize = 32 * int32_t(m_frames);
    *preferredSize = 32 * int32_t(m_frames);
    *granularity = 0;
    return ASE_OK;
}

ASIOError AsioSample::canSampleRate(ASIOSampleRate rate) {
    if (!initialised()) return ASE_NotPresent;
    return rate == ASIOSampleRate(m_sampleRate) ? ASE_OK : ASE_NoClock;
}

ASIOError AsioSample::getSampleRate(ASIOSampleRate* rate) {
    if (!initialised()) return ASE_NotPresent;
    if (!rate) return ASE_InvalidParameter;
    *rate = ASIOSampleRate(m_sampleRate);
    return ASE_OK;
}

ASIOError AsioSample::setSampleRate(ASIOSampleRate rate) { return canSampleRate(rate); }

ASIOError AsioSample::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
    if (!clocks || !numSources) return ASE_InvalidParameter;
    clocks[0] = ASIOClockSource{};
    clocks[0].index = 0;
    clocks[0].associatedChannel = -1;
    clocks[0].associatedGroup = -1;
    clocks[0].isCurrentSource = ASIOTrue;
    std::snprintf(clocks[0].name, sizeof clocks[0].name, "Internal");
    *numSources = 1;
    return ASE_OK;
}

ASIOError AsioSample::setClockSource(int32_t reference) { return reference == 0 ? ASE_OK : ASE_NotPresent; }

ASIOError AsioSample::getSamplePosition(ASIOSamples* pos, ASIOTimeStamp* stamp) {
    if (!pos || !stamp) return ASE_InvalidParameter;
    uint64_t p = 0, t = 0;
    for (int tries = 0; tries < 1000; tries++) { // the pair as of one bufferSwitch
        uint32_t s1 = m_posSeq.load(std::memory_order_acquire);
        p = m_samplePos.load(std::memory_order_relaxed);
        t = m_timeStampNs.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (!(s1 & 1u) && m_posSeq.load(std::memory_order_relaxed) == s1) break;
    }
    pos->hi = uint32_t(p >> 32);
    pos->lo = uint32_t(p);
    stamp->hi = uint32_t(t >> 32);
    stamp->lo = uint32_t(t);
    return ASE_OK;
}

ASIOError AsioSample::getChannelInfo(ASIOChannelInfo* info) {
    if (!info) return ASE_InvalidParameter;
    if (!initialised()) return ASE_NotPresent;
    const int32_t count = info->isInput ? m_inputChannels : m_outputChannels;
    if (info->channel < 0 || info->channel >= count) return ASE_InvalidParameter;
    const int32_t input = info->isInput ? 1 : 0;
    info->isActive = ASIOFalse;
    for (int32_t k = 0; k < m_bufferCount; k++)
        if (m_records[k].channel == info->channel && m_records[k].isInput == input) info->isActive = ASIOTrue;
    info->channelGroup = 0;
    info->type = ASIOSTInt32LSB;
    std::snprintf(info->name, sizeof info->name, "Net");
    return ASE_OK;
}

ASIOError AsioSample::createBuffers(ASIOBufferInfo* infos, int32_t numChannels, int32_t bufferSize,
                                    ASIOCallbacks* callbacks) {
    if (m_started.load() || m_bufferCount > 0) return ASE_InvalidMode;
    if (!callbacks || numChannels > ASIO_MAX_BUFFERS) return ASE_InvalidParameter;
    if (!initialised()) return ASE_NotPresent;
    // Everything is checked before anything is made: channel numbers index samples
    // within a frame of the area, so they must lie below the area's counts.
    if (numChannels < 0 || (numChannels > 0 && !infos) || !callbacks->bufferSwitch) return ASE_InvalidParameter;
    if (bufferSize < 1 || bufferSize > 32 * int32_t(m_frames)) return ASE_InvalidParameter;
    for (int32_t k = 0; k < numChannels; k++) {
        const int32_t count = infos[k].isInput ? m_inputChannels : m_outputChannels;
        if (infos[k].channelNum < 0 || infos[k].channelNum >= count) return ASE_InvalidParameter;
    }
    joinThread();
    m_bufferSize = bufferSize;
    for (int32_t k = 0; k < numChannels; k++) {
        AsioBufferRecord& r = m_records[k];
        r.channel = infos[k].channelNum;
        r.isInput = infos[k].isInput ? 1 : 0;
        r.buffer = new (std::nothrow) int32_t[size_t(2) * size_t(bufferSize)]();
        if (!r.buffer) {
            m_bufferCount = k;
            freeBuffers();
            return ASE_NoMemory;
        }
        infos[k].buffers[0] = r.buffer;
        infos[k].buffers[1] = r.buffer + bufferSize;
        m_bufferCount = k + 1;
    }
    m_callbacks = callbacks;
    return ASE_OK;
}

void AsioSample::freeBuffers() {
    for (int32_t k = 0; k < m_bufferCount; k++) {
        delete[] m_records[k].buffer;
        m_records[k] = AsioBufferRecord{};
    }
    m_bufferCount = 0;
}

ASIOError AsioSample::disposeBuffers() {
    if (m_started.load()) return ASE_InvalidMode;
    joinThread();
    freeBuffers();
    return ASE_OK;
}

ASIOError AsioSample::controlPanel() { return ASE_NotPresent; }
ASIOError AsioSample::future(int32_t selector, void* opt) {
    (void)selector;
    (void)opt;
    return ASE_NotPresent;
}
ASIOError AsioSample::outputReady() { return ASE_NotPresent; }

// The position counts the frames the driver skipped too: it follows the block counter, so
// a host sees a skip as a jump of its sample position.
void AsioSample::publishPosition(uint64_t frames) {
    m_posSeq.fetch_add(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    m_samplePos.store(frames, std::memory_order_relaxed);
    m_timeStampNs.store(Clock_tickMs() * 1000000ull, std::memory_order_relaxed);
    m_posSeq.fetch_add(1, std::memory_order_release);
}

// Copies block `block` between the area and the host's buffers frame by frame and calls
// bufferSwitch whenever a half is done. false when the host stopped us from a callback.
bool AsioSample::processBlock(uint64_t block, uint64_t* frameCount) {
    char* base = static_cast<char*>(m_area.base);
    const uint32_t F = m_frames, R = m_ringBlocks;
    const uint32_t chRx = uint32_t(m_outputChannels), chTx = uint32_t(m_inputChannels);
    const uint32_t slot = uint32_t(block % R);
    const uint64_t half = uint64_t(m_bufferSize), whole = 2 * half;
    uint64_t c = *frameCount;
    for (uint32_t j = 0; j < F; j++) {
        const uint64_t p = c % whole;
        for (int32_t k = 0; k < m_bufferCount; k++) {
            const AsioBufferRecord& r = m_records[k];
            if (r.isInput)
                r.buffer[p] = loadSample(base, ShareMem_offB(F, chRx, chTx, R, slot, j, uint32_t(r.channel)));
            else
                storeSample(base, ShareMem_offA(F, chRx, slot, j, uint32_t(r.channel)), r.buffer[p]);
        }
        c++;
        if (c % half == 0) {
            publishPosition(c + m_skippedFrames);
            m_callbacks->bufferSwitch(p + 1 == half ? 0 : 1, ASIOFalse);
            if (m_stop.load(std::memory_order_acquire)) {
                *frameCount = c;
                return false;
            }
        }
    }
    *frameCount = c;
    return true;
}

void AsioSample::resetRequest(const char* why, uint64_t next, uint64_t counter) {
    // One line for whoever watches the host: why the stream ended.
    std::fprintf(stderr, "%s: reset request: %s (next block %llu, block counter %llu)\n", VELUNOR_ASIO_NAME, why,
                 (unsigned long long)next, (unsigned long long)counter);
    m_error.store(ERR_RESET);
    if (m_callbacks->asioMessage) m_callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    while (!m_stop.load(std::memory_order_acquire)) Clock_sleepMs(1);
}

void AsioSample::audioThread() {
    m_audioThreadId.store(std::this_thread::get_id());
    RtPrio_joinClass("Pro Audio");
    RtPrio_setLevel(RTPRIO_HIGH, "asio audio thread");
    PeriodTimer timer;
    PeriodTimer_start(&timer, 1000000);

    std::atomic<uint64_t>* counter = ShareMem_counter(m_area.base);
    const uint64_t R = m_ringBlocks;
    uint64_t frames = 0;
    uint64_t next = counter->load(std::memory_order_acquire);
    uint64_t edgeBlocks = 0;
    // When the first of them came (told when the thread ends, as the skips are told at
    // once): a block taken at the edge may play as silence, and whoever judges the sound
    // needs to know where the host was that late.
    int64_t edgeNs[16];
    unsigned edgeTimes = 0;
    m_skippedFrames = 0;
    bool lost = false;
    const char* why = "";
    while (!lost && !m_stop.load(std::memory_order_acquire)) {
        // Work through every completed block, re-reading the counter before each one.
        bool stopped = false;
        for (;;) {
            const uint64_t done = counter->load(std::memory_order_acquire);
            if (done <= next) break;
            // More than R blocks behind, block `next` has been overwritten by a later
            // lap in area B and taken from area A already. Those blocks are gone, and
            // only they: skip to one block inside the ring and go on. A reset here made
            // the host restart, which cost a hundred times more sound than the late
            // wake-up did, and a stall long enough to set off one set off more while
            // the host came back. One block short of the edge leaves room for the next
            // wake-up to be a little late without a second skip. At exactly R behind the
            // block is still there, but the producer's next period reuses its slot; that
            // is the edge of the ring, not yet a loss.
            if (done - next > R) {
                const uint64_t keep = R > 1 ? R - 1 : 1;
                const uint64_t skip = done - next - keep;
                std::fprintf(stderr,
                             "%s: skipped %llu block(s): more than the ring behind the route service (next block "
                             "%llu, block counter %llu)\n",
                             VELUNOR_ASIO_NAME, (unsigned long long)skip, (unsigned long long)next,
                             (unsigned long long)done);
                next += skip;
                m_skippedFrames += skip * m_frames;
            }
            // At the edge the producer's next period may already be on this slot, so
            // the block can be torn; counted, and told when the thread ends.
            if (done - next == R) {
                if (edgeTimes < sizeof edgeNs / sizeof edgeNs[0]) edgeNs[edgeTimes++] = Clock_nowNs();
                ++edgeBlocks;
            }
            if (!processBlock(next, &frames)) {
                stopped = true;
                break;
            }
            next++;
        }
        if (lost || stopped) break;

        const uint64_t t0 = Clock_tickMs();
        bool timedOut = false;
        while (counter->load(std::memory_order_acquire) == next && !m_stop.load(std::memory_order_acquire)) {
            if (Clock_tickMs() - t0 > 100) {
                timedOut = true;
                break;
            }
            PeriodTimer_wait(&timer);
        }
        if (m_stop.load(std::memory_order_acquire)) break;
        if (timedOut) why = "no block for 100 ms";
        else if (counter->load(std::memory_order_acquire) < next) why = "the block counter went back";
        else continue;
        lost = true;
    }
    if (edgeBlocks)
        std::fprintf(stderr, "%s: %llu block(s) taken a whole ring behind the route service (at its edge)\n",
                     VELUNOR_ASIO_NAME, (unsigned long long)edgeBlocks);
    for (unsigned k = 0; k < edgeTimes; ++k)
        std::fprintf(stderr, "%s: a block taken at the edge of the ring at mono_ns=%lld\n", VELUNOR_ASIO_NAME,
                     (long long)edgeNs[k]);
    if (lost) resetRequest(why, next, counter->load(std::memory_order_acquire));
    m_threadDone.store(true, std::memory_order_release);
}
