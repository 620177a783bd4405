// The driver object as a host drives it, against an exchange area made here and a test
// producer thread: opening the area, the host queries, buffer creation, the audio thread
// (bufferSwitch halves, sample position, data both ways), start/stop and the reset request.
#include "tests/unit/asio_test_util.h"

#include <algorithm>
#include <memory>
#include <sys/wait.h>
#include <vector>

namespace {

// ---- host side: callbacks record what the audio thread did ----
struct HostLog {
    static constexpr int kMax = 4096;
    IASIO* drv = nullptr;
    ASIOBufferInfo* infos = nullptr; // [0] input ch 0, [1] output ch 0 when streaming
    int32_t bufSize = 0;
    int switches = 0;
    int32_t index[kMax] = {};
    uint64_t pos[kMax] = {};
    bool inputConsecutive = true;
    int64_t firstInputFrame = -1;
    std::atomic<int> switchCount{0};
    std::atomic<int> resets{0};
    std::atomic<int> stopInCallbackAt{-1};
};
HostLog* g_log = nullptr;

void onSwitch(int32_t idx, ASIOBool direct) {
    HostLog& L = *g_log;
    EXPECT_EQ(direct, ASIOFalse);
    ASIOSamples sp;
    ASIOTimeStamp ts;
    L.drv->getSamplePosition(&sp, &ts);
    if (L.switches < HostLog::kMax) {
        L.index[L.switches] = idx;
        L.pos[L.switches] = AsioWords_get(sp);
    }
    if (L.infos) {
        // Input half: consecutive stream frames of channel 0; output half: a counter the
        // producer must find again, in order.
        auto* in = static_cast<int32_t*>(L.infos[0].buffers[idx]);
        auto* out = static_cast<int32_t*>(L.infos[1].buffers[idx]);
        for (int32_t n = 0; n < L.bufSize; n++) {
            if (in[n] != in[0] + 8 * n) L.inputConsecutive = false;
            out[n] = int32_t(AsioWords_get(sp)) - L.bufSize + n + 1000000;
        }
        if (L.firstInputFrame < 0) L.firstInputFrame = (in[0] - 1) / 8;
    }
    L.switches++;
    L.switchCount.fetch_add(1);
    if (L.stopInCallbackAt.load() == L.switches) {
        EXPECT_EQ(L.drv->stop(), ASE_OK);
    }
}

int32_t onMessage(int32_t selector, int32_t value, void*, double*) {
    if (selector == kAsioResetRequest && value == 0) g_log->resets.fetch_add(1);
    return 1;
}

ASIOCallbacks g_callbacks = {onSwitch, nullptr, onMessage, nullptr};

std::string errorText(IASIO* d) {
    char t[124];
    std::memset(t, 'x', sizeof t);
    d->getErrorMessage(t);
    return t;
}

} // namespace

TEST(AsioDriver, AreaOffsetsAtFortyEightKilohertz) {
    // 2 + 2 channels, R = 4: F = 48, area A 1536 bytes at 64, area B 1536 bytes at 1600.
    const uint32_t F = 48000 / 1000;
    EXPECT_EQ(F, 48u);
    EXPECT_EQ(ShareMem_offA(F, 2, 0, 0, 0), 64u);
    EXPECT_EQ(ShareMem_offA(F, 2, 3, 47, 1) + 4, 64u + 1536u);
    EXPECT_EQ(ShareMem_offB(F, 2, 2, 4, 0, 0, 0), 1600u);
    EXPECT_EQ(ShareMem_offB(F, 2, 2, 4, 3, 47, 1) + 4, 1600u + 1536u);
    EXPECT_EQ(ShareMem_offB(F, 2, 2, 4, 1, 2, 1), 1600u + ((1 * 48 + 2) * 2 + 1) * 4u);
    EXPECT_TRUE(ShareMem_fits(F, 2, 2, 4));
    EXPECT_FALSE(ShareMem_fits(F, 2, 2, 1)); // R = 1: the route service makes no area
}

TEST(AsioDriver, InitFailuresAndOwnership) {
    ASSERT_FALSE(freshDirs("asio-init").empty());
    AsioLib& lib = asioLib();
    ASSERT_TRUE(lib.handle);
    IASIO* d = lib.create();
    ASSERT_TRUE(d);

    // No route service: no area.
    EXPECT_EQ(d->init(nullptr), ASIOFalse);
    EXPECT_EQ(errorText(d), "fail at find dev");
    int32_t in = -1, out = -1;
    EXPECT_EQ(d->getChannels(&in, &out), ASE_NotPresent);

    // The first magic right, the second not.
    Section s;
    ASSERT_TRUE(makeArea(&s, 48000, 2, 2, 4));
    put32(s.base, SHAREMEM_OFF_MAGIC2, 0x12345678);
    EXPECT_EQ(d->init(nullptr), ASIOFalse) << "the same object may try again";
    EXPECT_EQ(errorText(d), "fail at open 2");

    // A header whose rings do not fit the size it states.
    put32(s.base, SHAREMEM_OFF_MAGIC2, SHAREMEM_MAGIC);
    put32(s.base, SHAREMEM_OFF_CHRX, 100000);
    EXPECT_EQ(d->init(nullptr), ASIOFalse);
    EXPECT_EQ(errorText(d), "fail at open 3");
    put32(s.base, SHAREMEM_OFF_CHRX, 2);
    put32(s.base, SHAREMEM_OFF_SIZE, SHAREMEM_SIZE + 4096);
    EXPECT_EQ(d->init(nullptr), ASIOFalse);
    EXPECT_EQ(errorText(d), "fail at open 3");
    put32(s.base, SHAREMEM_OFF_SIZE, SHAREMEM_SIZE);

    EXPECT_EQ(d->init(nullptr), ASIOTrue);
    EXPECT_EQ(errorText(d), "");
    EXPECT_EQ(d->init(nullptr), ASIOTrue) << "init again on the holder";

    // A second object in this process, and a host in another process.
    IASIO* d2 = lib.create();
    ASSERT_TRUE(d2);
    EXPECT_EQ(d2->init(nullptr), ASIOFalse);
    EXPECT_EQ(errorText(d2), "dev owned by other");
    d2->Release();

    auto otherHost = [&lib]() -> int { // 0: init succeeded, 1: owned by other, 2: other
        pid_t pid = fork();
        if (pid == 0) {
            IASIO* x = lib.create();
            int rc = 2;
            if (x) {
                ASIOBool ok = x->init(nullptr);
                rc = ok ? 0 : (errorText(x) == "dev owned by other" ? 1 : 2);
                x->Release();
            }
            _exit(rc);
        }
        int st = 0;
        waitpid(pid, &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : 3;
    };
    EXPECT_EQ(otherHost(), 1);
    d->Release(); // the first host lets go
    EXPECT_EQ(otherHost(), 0);

    Section_close(&s);
}

TEST(AsioDriver, HostQueries) {
    ASSERT_FALSE(freshDirs("asio-query").empty());
    Section s;
    ASSERT_TRUE(makeArea(&s, 48000, 3, 5, 4)); // 3 host outputs, 5 host inputs
    IASIO* d = asioLib().create();
    ASSERT_TRUE(d);
    ASSERT_EQ(d->init(nullptr), ASIOTrue);

    char name[32];
    d->getDriverName(name);
    EXPECT_STREQ(name, "Velunor-rEduVuzi");
    EXPECT_EQ(d->getDriverVersion(), 1);

    int32_t in = 0, out = 0;
    EXPECT_EQ(d->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, 5);
    EXPECT_EQ(out, 3);

    int32_t mn = 0, mx = 0, pref = 0, gran = -1;
    EXPECT_EQ(d->getBufferSize(&mn, &mx, &pref, &gran), ASE_OK);
    EXPECT_EQ(mn, 48);
    EXPECT_EQ(mx, 1536);
    EXPECT_EQ(pref, 1536);
    EXPECT_EQ(gran, 0);

    EXPECT_EQ(d->canSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(d->canSampleRate(44100.0), ASE_NoClock);
    EXPECT_EQ(d->canSampleRate(96000.0), ASE_NoClock);
    EXPECT_EQ(d->setSampleRate(96000.0), ASE_NoClock);
    EXPECT_EQ(d->setSampleRate(48000.0), ASE_OK);
    ASIOSampleRate rate = 0;
    EXPECT_EQ(d->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 48000.0) << "setSampleRate changes nothing";

    ASIOClockSource clocks[2];
    int32_t nClocks = 2;
    EXPECT_EQ(d->getClockSources(clocks, &nClocks), ASE_OK);
    EXPECT_EQ(nClocks, 1);
    EXPECT_EQ(clocks[0].index, 0);
    EXPECT_EQ(clocks[0].associatedChannel, -1);
    EXPECT_EQ(clocks[0].associatedGroup, -1);
    EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
    EXPECT_STREQ(clocks[0].name, "Internal");
    EXPECT_EQ(d->setClockSource(0), ASE_OK);
    EXPECT_EQ(d->setClockSource(1), ASE_NotPresent);

    ASIOChannelInfo ci{};
    ci.channel = 2;
    ci.isInput = ASIOFalse;
    ci.isActive = ASIOTrue;
    EXPECT_EQ(d->getChannelInfo(&ci), ASE_OK);
    EXPECT_EQ(ci.isActive, ASIOFalse);
    EXPECT_EQ(ci.type, ASIOSTInt32LSB);
    EXPECT_EQ(ci.type, 18);
    EXPECT_EQ(ci.channelGroup, 0);
    EXPECT_STREQ(ci.name, "Net");
    ci.channel = 3; // beyond the 3 outputs
    EXPECT_EQ(d->getChannelInfo(&ci), ASE_InvalidParameter);
    ci.isInput = ASIOTrue; // but input 3 of 5 exists
    EXPECT_EQ(d->getChannelInfo(&ci), ASE_OK);

    ASIOBufferInfo bi[2] = {{ASIOTrue, 4, {nullptr, nullptr}}, {ASIOFalse, 2, {nullptr, nullptr}}};
    HostLog log;
    g_log = &log;
    ASSERT_EQ(d->createBuffers(bi, 2, 96, &g_callbacks), ASE_OK);
    int32_t li = 0, lo = 0;
    EXPECT_EQ(d->getLatencies(&li, &lo), ASE_OK);
    EXPECT_EQ(li, 192);
    EXPECT_EQ(lo, 192);
    ci.channel = 2;
    ci.isInput = ASIOFalse;
    EXPECT_EQ(d->getChannelInfo(&ci), ASE_OK);
    EXPECT_EQ(ci.isActive, ASIOTrue);
    ci.isInput = ASIOTrue; // input 2 has no buffer
    EXPECT_EQ(d->getChannelInfo(&ci), ASE_OK);
    EXPECT_EQ(ci.isActive, ASIOFalse);
    // Each half zeroed and distinct.
    ASSERT_TRUE(bi[0].buffers[0] && bi[0].buffers[1]);
    EXPECT_EQ(static_cast<int32_t*>(bi[0].buffers[1]) - static_cast<int32_t*>(bi[0].buffers[0]), 96);
    for (int n = 0; n < 96; n++) EXPECT_EQ(static_cast<int32_t*>(bi[1].buffers[1])[n], 0);

    EXPECT_EQ(d->controlPanel(), ASE_NotPresent);
    EXPECT_EQ(d->future(1, nullptr), ASE_NotPresent);
    EXPECT_EQ(d->outputReady(), ASE_NotPresent);
    EXPECT_EQ(d->disposeBuffers(), ASE_OK);
    d->Release();
    Section_close(&s);
}

TEST(AsioDriver, CreateBuffersChecksEverythingFirst) {
    ASSERT_FALSE(freshDirs("asio-create").empty());
    Section s;
    ASSERT_TRUE(makeArea(&s, 48000, 2, 2, 4));
    IASIO* d = asioLib().create();
    ASSERT_TRUE(d);
    HostLog log;
    g_log = &log;

    std::vector<ASIOBufferInfo> many(257);
    for (size_t k = 0; k < many.size(); k++) many[k] = {ASIOFalse, 0, {nullptr, nullptr}};
    ASIOBufferInfo two[2] = {{ASIOTrue, 1, {nullptr, nullptr}}, {ASIOFalse, 1, {nullptr, nullptr}}};
    EXPECT_EQ(d->createBuffers(two, 2, 48, &g_callbacks), ASE_NotPresent) << "before init";
    ASSERT_EQ(d->init(nullptr), ASIOTrue);

    EXPECT_EQ(d->createBuffers(many.data(), 257, 48, &g_callbacks), ASE_InvalidParameter);
    EXPECT_EQ(d->createBuffers(two, 2, 48, nullptr), ASE_InvalidParameter);
    ASIOCallbacks noSwitch = {nullptr, nullptr, onMessage, nullptr};
    EXPECT_EQ(d->createBuffers(two, 2, 48, &noSwitch), ASE_InvalidParameter);
    EXPECT_EQ(d->createBuffers(nullptr, 2, 48, &g_callbacks), ASE_InvalidParameter);
    EXPECT_EQ(d->createBuffers(two, -1, 48, &g_callbacks), ASE_InvalidParameter);
    EXPECT_EQ(d->createBuffers(two, 2, 0, &g_callbacks), ASE_InvalidParameter);
    EXPECT_EQ(d->createBuffers(two, 2, -48, &g_callbacks), ASE_InvalidParameter);
    EXPECT_EQ(d->createBuffers(two, 2, 0x7fffffff, &g_callbacks), ASE_InvalidParameter);
    // Channel numbers at or beyond the area's counts, or negative, in either direction.
    ASIOBufferInfo bad[3] = {{ASIOTrue, 0, {}}, {ASIOFalse, 1, {}}, {ASIOFalse, 2, {}}};
    EXPECT_EQ(d->createBuffers(bad, 3, 48, &g_callbacks), ASE_InvalidParameter);
    bad[2] = {7, 2, {}}; // any non-zero is-input is an input
    EXPECT_EQ(d->createBuffers(bad, 3, 48, &g_callbacks), ASE_InvalidParameter);
    bad[2] = {ASIOTrue, -1, {}};
    EXPECT_EQ(d->createBuffers(bad, 3, 48, &g_callbacks), ASE_InvalidParameter);
    EXPECT_EQ(bad[0].buffers[0], nullptr) << "a refused request makes nothing";

    // None of the refusals left buffers behind: this one is the first.
    ASSERT_EQ(d->createBuffers(two, 2, 48, &g_callbacks), ASE_OK);
    EXPECT_EQ(d->createBuffers(two, 2, 48, &g_callbacks), ASE_InvalidMode) << "second createBuffers";
    EXPECT_EQ(d->disposeBuffers(), ASE_OK);
    EXPECT_EQ(d->createBuffers(many.data(), 256, 1, &g_callbacks), ASE_OK) << "256 infos, size 1";
    EXPECT_EQ(d->disposeBuffers(), ASE_OK);
    EXPECT_EQ(d->createBuffers(two, 0, 48, &g_callbacks), ASE_OK) << "no channels at all";
    EXPECT_EQ(d->disposeBuffers(), ASE_OK);
    d->Release();
    Section_close(&s);
}

TEST(AsioDriver, StreamsHalvesBothWays) {
    ASSERT_FALSE(freshDirs("asio-stream").empty());
    Section s;
    const uint32_t R = 8; // room for a late wake-up on a busy machine
    ASSERT_TRUE(makeArea(&s, 48000, 2, 2, R));
    auto prod = std::make_unique<Producer>();
    prod->R = R;
    IASIO* d = asioLib().create();
    ASSERT_TRUE(d);
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    auto log = std::make_unique<HostLog>();
    g_log = log.get();
    ASIOBufferInfo bi[2] = {{ASIOTrue, 1, {}}, {ASIOFalse, 0, {}}};
    ASSERT_EQ(d->createBuffers(bi, 2, 48, &g_callbacks), ASE_OK);
    log->drv = d;
    log->infos = bi;
    log->bufSize = 48;

    EXPECT_EQ(d->stop(), ASE_InvalidMode) << "stop before start";
    prod->start(&s);
    ASSERT_EQ(d->start(), ASE_OK);
    EXPECT_EQ(d->createBuffers(bi, 2, 48, &g_callbacks), ASE_InvalidMode);
    EXPECT_EQ(d->disposeBuffers(), ASE_InvalidMode) << "dispose while started";
    EXPECT_EQ(d->start(), ASE_InvalidMode) << "start twice";
    const uint64_t t0 = Clock_tickMs();
    while (log->switchCount.load() < 300 && Clock_tickMs() - t0 < 20000) Clock_sleepMs(5);
    EXPECT_EQ(d->stop(), ASE_OK);
    prod->stop();
    ASSERT_GE(log->switches, 300);
    EXPECT_EQ(log->resets.load(), 0);

    // One block per half: index 0 after 48 frames, 1 after 96, position 96 then.
    EXPECT_EQ(log->index[0], 0);
    EXPECT_EQ(log->pos[0], 48u);
    EXPECT_EQ(log->index[1], 1);
    EXPECT_EQ(log->pos[1], 96u);
    for (int k = 0; k < log->switches && k < HostLog::kMax; k++) {
        ASSERT_EQ(log->index[k], k % 2) << k;
        ASSERT_EQ(log->pos[k], uint64_t(k + 1) * 48) << k;
    }
    ASIOSamples sp;
    ASIOTimeStamp ts;
    EXPECT_EQ(d->getSamplePosition(&sp, &ts), ASE_OK);
    EXPECT_EQ(AsioWords_get(sp), uint64_t(log->switches) * 48);
    EXPECT_GT(AsioWords_get(ts), 0u);

    // Input: area B channel 1, consecutive frames of the producer's stream.
    EXPECT_TRUE(log->inputConsecutive);
    EXPECT_GE(log->firstInputFrame, 0);
    // Output: the host's counter comes out of area A channel 0 in order, R blocks later.
    int64_t first = -1;
    const uint64_t frames = std::min<uint64_t>(prod->produced * 48, Producer::kCapFrames);
    for (uint64_t n = 0; n < frames; n++) {
        if (prod->capture[n] == 0) continue;
        first = int64_t(n);
        break;
    }
    ASSERT_GE(first, 0) << "host output reached the producer";
    const int32_t v0 = prod->capture[first];
    EXPECT_EQ((v0 - 1000000) % 48, 0) << "a half starts the output";
    const uint64_t hostFrames = uint64_t(log->switches) * 48;
    uint64_t checked = 0;
    for (uint64_t n = uint64_t(first); n < frames; n++) {
        const int32_t want = v0 + int32_t(n - uint64_t(first));
        if (uint64_t(want - 1000000) >= hostFrames) break; // written after the last switch
        ASSERT_EQ(prod->capture[n], want) << "frame " << n;
        checked++;
    }
    EXPECT_GT(checked, 48u * 100);
    // The host's first output (frame 0 of the stream, written at the first switch into
    // half 0) goes out on the next pass through half 0, then waits R blocks in the ring.
    const int64_t lagFrames = first - (int64_t(v0) - 1000000);
    EXPECT_EQ(lagFrames, int64_t(R) * 48 + 2 * 48 + log->firstInputFrame);

    EXPECT_EQ(d->disposeBuffers(), ASE_OK);
    d->Release();
    Section_close(&s);
}

TEST(AsioDriver, StartWithoutProducerAndResetRequests) {
    ASSERT_FALSE(freshDirs("asio-reset").empty());
    Section s;
    ASSERT_TRUE(makeArea(&s, 48000, 2, 2, 4));
    IASIO* d = asioLib().create();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->start(), ASE_NotPresent) << "start before init";
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    auto log = std::make_unique<HostLog>();
    g_log = log.get();
    log->drv = d;
    EXPECT_EQ(d->start(), ASE_NotPresent) << "no buffers, no callbacks";
    ASIOBufferInfo bi[1] = {{ASIOFalse, 1, {}}};
    ASSERT_EQ(d->createBuffers(bi, 1, 48, &g_callbacks), ASE_OK);

    // No engine: the counter does not move within 100 ms.
    const int64_t t0 = Clock_nowNs();
    EXPECT_EQ(d->start(), ASE_NotPresent);
    EXPECT_GE(Clock_nowNs() - t0, 95 * 1000000LL);

    // The producer stops: a reset request once 100 ms pass without a block.
    auto prod = std::make_unique<Producer>();
    prod->start(&s);
    ASSERT_EQ(d->start(), ASE_OK);
    const uint64_t w0 = Clock_tickMs();
    while (log->switchCount.load() < 20 && Clock_tickMs() - w0 < 10000) Clock_sleepMs(2);
    prod->stop();
    const uint64_t stoppedAt = Clock_tickMs();
    while (log->resets.load() == 0 && Clock_tickMs() - stoppedAt < 10000) Clock_sleepMs(2);
    EXPECT_EQ(log->resets.load(), 1);
    // Measured from the producer's stop, which returns a little after its last block (on a
    // loaded machine a few ms): the request comes near 100 ms on, never at once.
    EXPECT_GE(Clock_tickMs() - stoppedAt, 80u);
    EXPECT_EQ(errorText(d), "kAsioResetRequest");
    const int switches = log->switchCount.load();
    Clock_sleepMs(20);
    EXPECT_EQ(log->switchCount.load(), switches) << "the thread idles after the request";
    EXPECT_EQ(d->stop(), ASE_OK);

    // A restarted route service: the counter goes back below the consumer's block.
    log->resets.store(0);
    prod->start(&s);
    ASSERT_EQ(d->start(), ASE_OK);
    const uint64_t w1 = Clock_tickMs();
    while (log->switchCount.load() < switches + 10 && Clock_tickMs() - w1 < 10000) Clock_sleepMs(2);
    prod->stop();
    ShareMem_counter(s.base)->store(0, std::memory_order_release);
    prod->start(&s);
    const uint64_t w2 = Clock_tickMs();
    while (log->resets.load() == 0 && Clock_tickMs() - w2 < 10000) Clock_sleepMs(2);
    EXPECT_EQ(log->resets.load(), 1);
    EXPECT_EQ(d->stop(), ASE_OK);
    prod->stop();

    // A consumer more than R blocks behind the producer: the ring has lapped it. Only the
    // blocks that are gone are lost: they are skipped (the sample position jumps over
    // them, the consumer goes on one block inside the ring) and no reset is asked for.
    log->resets.store(0);
    prod->start(&s);
    ASSERT_EQ(d->start(), ASE_OK);
    const uint64_t w3 = Clock_tickMs();
    const int before = log->switchCount.load();
    while (log->switchCount.load() < before + 10 && Clock_tickMs() - w3 < 10000) Clock_sleepMs(2);
    prod->stop();
    Clock_sleepMs(5);
    const int k0 = log->switchCount.load();
    ShareMem_counter(s.base)->fetch_add(4 + 3, std::memory_order_release); // R + 3 blocks at once
    prod->start(&s);
    const uint64_t w4 = Clock_tickMs();
    while (log->switchCount.load() < k0 + 30 && Clock_tickMs() - w4 < 10000) Clock_sleepMs(2);
    EXPECT_EQ(d->stop(), ASE_OK);
    prod->stop();
    EXPECT_EQ(log->resets.load(), 0);
    uint64_t jumped = 0;
    for (int k = std::max(k0, 1); k < log->switches && k < HostLog::kMax; k++) jumped += log->pos[k] - log->pos[k - 1] - 48;
    // At least the four blocks beyond R - 1 (more if this machine held the thread up too).
    EXPECT_GE(jumped, 4u * 48);
    EXPECT_EQ(jumped % 48, 0u);

    // stop from inside bufferSwitch: the thread ends after the callback returns.
    log->resets.store(0);
    log->stopInCallbackAt.store(log->switches + 3);
    prod->start(&s);
    ASSERT_EQ(d->start(), ASE_OK);
    const uint64_t w5 = Clock_tickMs();
    while (log->switchCount.load() < log->stopInCallbackAt.load() && Clock_tickMs() - w5 < 10000) Clock_sleepMs(2);
    Clock_sleepMs(20);
    const int at = log->switchCount.load();
    Clock_sleepMs(20);
    EXPECT_EQ(log->switchCount.load(), at);
    EXPECT_EQ(d->stop(), ASE_InvalidMode) << "already stopped from the callback";
    EXPECT_EQ(d->disposeBuffers(), ASE_OK);
    prod->stop();
    EXPECT_EQ(log->resets.load(), 0);
    d->Release();
    Section_close(&s);
}

TEST(AsioDriver, OutOfOrderAndBadArgumentsGiveErrorCodes) {
    ASSERT_FALSE(freshDirs("asio-order").empty());
    IASIO* d = asioLib().create();
    ASSERT_TRUE(d);
    // Everything before init, with null pointers.
    d->getDriverName(nullptr);
    d->getErrorMessage(nullptr);
    EXPECT_EQ(d->getChannels(nullptr, nullptr), ASE_NotPresent);
    EXPECT_EQ(d->getLatencies(nullptr, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(d->getBufferSize(nullptr, nullptr, nullptr, nullptr), ASE_NotPresent);
    EXPECT_EQ(d->canSampleRate(0.0), ASE_NotPresent);
    EXPECT_EQ(d->getSampleRate(nullptr), ASE_NotPresent);
    EXPECT_EQ(d->getClockSources(nullptr, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(d->getSamplePosition(nullptr, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(d->getChannelInfo(nullptr), ASE_InvalidParameter);
    ASIOChannelInfo ci{};
    EXPECT_EQ(d->getChannelInfo(&ci), ASE_NotPresent);
    EXPECT_EQ(d->stop(), ASE_InvalidMode);
    EXPECT_EQ(d->disposeBuffers(), ASE_OK);
    EXPECT_EQ(d->start(), ASE_NotPresent);

    Section s;
    ASSERT_TRUE(makeArea(&s, 48000, 2, 2, 4));
    ASSERT_EQ(d->init(nullptr), ASIOTrue);
    int32_t v = 0;
    EXPECT_EQ(d->getChannels(&v, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(d->getBufferSize(&v, &v, nullptr, &v), ASE_InvalidParameter);
    EXPECT_EQ(d->getSampleRate(nullptr), ASE_InvalidParameter);
    ASIOClockSource cs;
    EXPECT_EQ(d->getClockSources(&cs, nullptr), ASE_InvalidParameter);
    ASIOSamples sp;
    EXPECT_EQ(d->getSamplePosition(&sp, nullptr), ASE_InvalidParameter);
    for (int32_t ch : {-1, 2, 1000, 0x7fffffff, int32_t(0x80000000)}) {
        ci.channel = ch;
        ci.isInput = ASIOTrue;
        EXPECT_EQ(d->getChannelInfo(&ci), ASE_InvalidParameter) << ch;
        ci.isInput = ASIOFalse;
        EXPECT_EQ(d->getChannelInfo(&ci), ASE_InvalidParameter) << ch;
    }
    HostLog log;
    g_log = &log;
    ASIOBufferInfo one = {ASIOTrue, 0, {}};
    for (int32_t n : {-0x7fffffff, 0x7fffffff, 1 << 20}) EXPECT_EQ(d->createBuffers(&one, n, 48, &g_callbacks), ASE_InvalidParameter);
    EXPECT_EQ(d->start(), ASE_NotPresent) << "init but no producer, no buffers";
    d->Release();
    Section_close(&s);
}
