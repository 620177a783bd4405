// VelunorAudio inside the stand-in kernel, in process: requests go through real
// device-interface sockets, the I/O manager and the driver's dispatch table.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "driver/kernel/host.h"
#include "engine/TimerManager_c.h"
#include "platform/clock.h"
#include "platform/devif.h"
#include "platform/wavert.h"

VELUNOR_KAPI int64_t KernelTest_timerPeriod(EX_TIMER* t);
VELUNOR_KAPI void KernelTest_delayNextExpiry(EX_TIMER* t, int64_t ns);

namespace {

// The host's serving threads end before the process does, as at the host's exit.
struct HostExit : ::testing::Environment {
    void TearDown() override { IoMgr_shutdown(); }
};
const auto* const kHostExit = ::testing::AddGlobalTestEnvironment(new HostExit);

const char* kControl = "{9AD94B40-825F-4484-8922-F355E24A4C21}";
const char* kAudio = "{6994AD04-93EF-11D0-A3CC-00A0C9223196}";

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("velunor-drv-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        ::setenv("VELUNOR_RUNDIR", dir_.c_str(), 1);
        ASSERT_EQ(Kernel_loadDriver(DriverEntry), STATUS_SUCCESS);
        fd_ = open(kControl, "ioCtl");
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        DevIf_close(fd_);
        Kernel_unloadDriver();
        std::filesystem::remove_all(dir_);
    }
    static int open(const char* guid, const char* ref) {
        static char list[65536];
        if (DevIf_list(guid, list, sizeof list) > sizeof list) return -1;
        for (const char* p = list; *p; p += std::strlen(p) + 1) {
            std::string s(p);
            if (s.size() > std::strlen(ref) && s.compare(s.size() - std::strlen(ref), std::string::npos, ref) == 0) {
                int32_t st = 0;
                return DevIf_open(p, &st);
            }
        }
        return -1;
    }
    // One engine request; *status gets the request's NTSTATUS.
    std::string req(const std::string& json, uint32_t outLen = 4096, int32_t* status = nullptr,
                    uint32_t code = IOCTL_ENGINE_JSON) {
        std::vector<char> out(outLen + 1, 0);
        uint32_t got = 0;
        int32_t st = DevIf_ioctl(fd_, code, json.c_str(), uint32_t(json.size() + 1), out.data(), outLen, &got);
        if (status) *status = st;
        return std::string(out.data(), got);
    }
    std::vector<std::string> endpoints() {
        std::vector<std::string> v;
        for (auto& e : std::filesystem::directory_iterator(dir_ / "endpoints")) {
            std::ifstream f(e.path());
            std::string all((std::istreambuf_iterator<char>(f)), {});
            if (all.find("state=ACTIVE") != std::string::npos) v.push_back(e.path().filename().string().substr(23));
        }
        std::sort(v.begin(), v.end());
        return v;
    }
    void start(int rx, int tx, const char* expectReply = "{\"result\":\"succ\"}") {
        req("{\"ops\":\"setChNum\",\"phyRx\":\"" + std::to_string(rx) + "\",\"phyTx\":\"" + std::to_string(tx) +
            "\",\"dspFromNet\":\"0\",\"dspToNet\":\"0\"}");
        EXPECT_EQ(req("{\"ops\":\"stepDeviceStatus\"}"), expectReply) << rx << "+" << tx;
        req("{\"ops\":\"resetKernel\"}");
    }
    std::filesystem::path dir_;
    int fd_ = -1;
};

std::string stepError(int line) {
    return "{\"result\":\"fail\",\"reason\":\"error at: file=TimerManager func=TimerManager_stepStatus line=" +
           std::to_string(line) + " msg=\"}";
}

TEST_F(Driver, SubdevicesArePublishedByEngineStartsAndOnlyEverAdded) {
    if (::geteuid() != 0) GTEST_SKIP() << "the raw socket needs root";
    EXPECT_FALSE(std::filesystem::exists(dir_ / "endpoints")) << "no endpoint before the engine first starts";
    EXPECT_EQ(req("{\"ops\":\"stepDeviceStatus\"}"), stepError(199)) << "no socket yet";
    EXPECT_EQ(req("{\"ops\":\"setEthName\",\"name\":\"127.0.0.1\"}"), "{\"result\":\"succ\"}");
    start(2, 2);
    EXPECT_EQ(endpoints(), (std::vector<std::string>{"in_stereo-00", "out_stereo-00"}));
    start(6, 2);
    EXPECT_EQ(endpoints(), (std::vector<std::string>{"in_stereo-00", "out_stereo-00", "out_stereo-01", "out_stereo-02"}));
    start(3, 2, stepError(197).c_str());
    start(2, 0, stepError(197).c_str());
    start(64, 64);
    auto all = endpoints();
    ASSERT_EQ(all.size(), 64u);
    EXPECT_EQ(all.back(), "out_stereo-1f");
    EXPECT_EQ(all[31], "in_stereo-1f");
    // An endpoint filter opens through the port class's own dispatch; an unpublished one does not.
    int f = open(kAudio, "out_stereo-1f");
    EXPECT_GE(f, 0);
    DevIf_close(f);
    // 64 + 2 channels: the larger direction sizes the ring, 8 slots.
    start(64, 2);
    EXPECT_EQ(KoAudio_mask(), 7u);
    // A rate beyond 192000 cannot open the audio interface.
    req("{\"ops\":\"setSampleRate\",\"sampleRate\":\"192001\"}");
    start(2, 2, stepError(201).c_str());
}

TEST_F(Driver, StreamFormatFollowsTheEngineRate) {
    IMiniportWaveRT* m = MiniportWaveRT_get(0);
    uint8_t buf[104];
    ULONG len = 0;
    EXPECT_EQ(m->DataRangeIntersection(1, nullptr, nullptr, 0, buf, &len), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(len, 104u);
    EXPECT_EQ(m->DataRangeIntersection(1, nullptr, nullptr, 103, buf, &len), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(m->DataRangeIntersection(1, nullptr, nullptr, 104, buf, &len), STATUS_SUCCESS);
    auto* f = reinterpret_cast<KSDATAFORMAT_WAVEFORMATEXTENSIBLE*>(buf);
    EXPECT_EQ(f->WaveFormatExt.Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(f->WaveFormatExt.Format.wFormatTag, 0xFFFE);
    EXPECT_EQ(f->WaveFormatExt.dwChannelMask, 3u);
    if (::geteuid() == 0) {
        req("{\"ops\":\"setEthName\",\"name\":\"127.0.0.1\"}");
        req("{\"ops\":\"setSampleRate\",\"sampleRate\":\"96000\"}");
        req("{\"ops\":\"setPacketSize\",\"frameNum\":\"96\"}");
        start(2, 2);
        ASSERT_EQ(m->DataRangeIntersection(1, nullptr, nullptr, 104, buf, &len), STATUS_SUCCESS);
        EXPECT_EQ(f->WaveFormatExt.Format.nSamplesPerSec, 96000u);
        EXPECT_EQ(f->WaveFormatExt.Format.nAvgBytesPerSec, 768000u);
        PCFILTER_DESCRIPTOR* d = nullptr;
        MiniportWaveRT_get(5)->GetDescription(&d);
        auto* range = reinterpret_cast<const KSDATARANGE_AUDIO*>(d->Pins[1].KsPinDescriptor.DataRanges[0]);
        EXPECT_EQ(range->MinimumSampleFrequency, 96000u);
        EXPECT_EQ(range->MaximumSampleFrequency, 96000u);
        EXPECT_EQ(d->Pins[0].KsPinDescriptor.Name->Data4[7], 2) << "pair 2 names its bridge pin";
        MiniportWaveRT_get(5)->Release();
    }
    m->Release();
}

TEST_F(Driver, BridgeRepliesAndTheRequestsItPassesOn) {
    int32_t st = 0;
    std::string ok = req("{\"ops\":\"debug_setIsRxDirectTx\",\"isRxDirectTx\":\"0\"}", 4096, &st);
    EXPECT_EQ(st, STATUS_SUCCESS);
    EXPECT_EQ(ok, "{\"result\":\"succ\"}");
    EXPECT_EQ(ok.size(), 17u);
    EXPECT_EQ(req("{\"ops\":\"getRtpMute\"}"),
              "{\"result\":\"fail\",\"reason\":\"error at: file=kmodule_device func=Msg_device_handleJson line=563 "
              "msg=getRtpMute\"}");
    EXPECT_NE(req("{\"ops\":\"getLastInterruptTime\"}").find("msg=can not modify when working"), std::string::npos);
    // Another control code goes to the port class, which does not serve it.
    req("{\"ops\":\"getSampleRate\"}", 4096, &st, 0x2A5558);
    EXPECT_EQ(st, STATUS_INVALID_DEVICE_REQUEST);
    // A reply is never longer than the caller's buffer: cut there, and said so.
    std::string cut = req("{\"ops\":\"getSampleRate\"}", 10, &st);
    EXPECT_EQ(st, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(cut, "{\"result\":");
    req("{\"ops\":\"getSampleRate\"}", 0, &st);
    EXPECT_EQ(st, STATUS_BUFFER_OVERFLOW);
    // A request that does not end inside its input is refused unread.
    char raw[8] = {'{', '"', 'o', 'p', 's', '"', ':', '"'};
    char out[64];
    uint32_t got = 99;
    EXPECT_EQ(DevIf_ioctl(fd_, IOCTL_ENGINE_JSON, raw, sizeof raw, out, sizeof out, &got), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(got, 0u);
}

TEST_F(Driver, TimerRunsOnThePeriodAndResetsWhenFarBehind) {
    if (::geteuid() != 0) GTEST_SKIP() << "the raw socket needs root";
    req("{\"ops\":\"setEthName\",\"name\":\"127.0.0.1\"}");
    EXPECT_EQ(req("{\"ops\":\"setEthName\",\"name\":\"127.0.0.1\"}"), "{\"result\":\"succ\"}");
    TimerManager_setPtpOffsetNs(123456789); // the media clock's periods start off the counter's milliseconds
    req("{\"ops\":\"stepDeviceStatus\"}");
    req("{\"ops\":\"stepDeviceStatus\"}");
    EXPECT_EQ(KernelTest_timerPeriod(TimerManager_timer()), 10000);
    EXPECT_NE(req("{\"ops\":\"setEthName\",\"name\":\"127.0.0.1\"}").find("can not modify when working"),
              std::string::npos);
    Clock_sleepMs(50);
    const uint32_t resets = TimerManager_getRstRtp();
    KernelTest_delayNextExpiry(TimerManager_timer(), 5000000); // 5 periods late
    Clock_sleepMs(50);
    // At least this reset: a loaded machine may stall the timer thread far behind too.
    EXPECT_GE(TimerManager_getRstRtp(), resets + 1);
    // Every time base, the start's and a re-alignment's, lies on the media clock's period
    // grid, where every sender's datagrams start.
    EXPECT_EQ(TimerManager_getRtpTs() % 48, 0u);
    TimerManager_setPtpOffsetNs(0);
    EXPECT_NE(req("{\"ops\":\"getLastInterruptTime\"}").find("\"rtpTs\""), std::string::npos);

    // Only RTP datagrams longer than 56 bytes reach the engine.
    uint8_t d[80] = {0x45};
    d[9] = 17;
    d[22] = 5004 >> 8;
    d[23] = 5004 & 0xFF;
    KoSocket_drain();
    KoSocket_onDatagram(d, 56);
    KoSocket_onDatagram(d, 57);
    d[23] = (5005 & 0xFF);
    KoSocket_onDatagram(d, 80);
    EXPECT_LE(KoSocket_drain(), 1);
    req("{\"ops\":\"resetKernel\"}");
    EXPECT_EQ(TimerManager_getDeviceStatus(), 0u);
}

TEST_F(Driver, StreamsBuffersAndThePeriodCopy) {
    if (::geteuid() != 0) GTEST_SKIP() << "the raw socket needs root";
    req("{\"ops\":\"setEthName\",\"name\":\"127.0.0.1\"}");
    start(2, 2); // publishes out_stereo-00 and in_stereo-00, back to idle: no timer moves positions
    WaveRtStream out{}, again{}, in{};
    ASSERT_EQ(WaveRt_open("out_stereo-00", &out), 0);
    EXPECT_EQ(out.rate, 48000u);
    EXPECT_EQ(WaveRt_open("out_stereo-00", &again), -16) << "one stream per filter";
    EXPECT_EQ(WaveRt_open("in_stereo-05", &again), -2) << "not published";
    for (uint32_t bad : {0u, 7u, 0x80000000u}) EXPECT_NE(WaveRt_allocate(&out, bad), 0) << bad;
    ASSERT_EQ(WaveRt_allocate(&out, 1001), 0);
    EXPECT_EQ(out.bytes, 1000u);
    auto* frames = static_cast<int32_t*>(out.buffer);
    for (int i = 0; i < 125; ++i) {
        frames[2 * i] = i + 1;
        frames[2 * i + 1] = -(i + 1);
    }
    int32_t block[48 * 2];
    std::memset(block, 0, sizeof block);
    WaveRtStream_renderGather(block, 2, 48);
    EXPECT_EQ(block[0], 0) << "a stream that does not run is silence";
    ASSERT_EQ(WaveRt_setState(&out, WAVERT_STATE_RUN), 0);
    uint32_t pos = 1;
    for (int period = 0; period < 3; ++period) WaveRtStream_renderGather(block, 2, 48);
    // The third period wraps in its middle: frame 125 of the run is buffer frame 0 again.
    EXPECT_EQ(block[2 * 28], 125);
    EXPECT_EQ(block[2 * 29], 1);
    EXPECT_EQ(block[2 * 29 + 1], -1);
    ASSERT_EQ(WaveRt_position(&out, &pos), 0);
    EXPECT_EQ(pos, (3 * 384) % 1000);
    // The position register in the buffer's pages says the same without a request, with
    // the period's time; the periods before the run counted too.
    WaveRtReading r{};
    ASSERT_TRUE(WaveRt_read(&out, &r));
    EXPECT_EQ(r.position, pos);
    EXPECT_EQ(r.periods, 4u);
    EXPECT_GT(r.periodNs, 0);
    WaveRt_setState(&out, WAVERT_STATE_PAUSE);
    WaveRt_position(&out, &pos);
    EXPECT_EQ(pos, 0u) << "no position unless running";
    WaveRt_setState(&out, WAVERT_STATE_RUN);
    WaveRt_position(&out, &pos);
    EXPECT_EQ(pos, 152u) << "the kept position";
    // A pair beyond the engine's render channels still moves, unheard.
    WaveRtStream_renderGather(nullptr, 0, 48);
    WaveRt_position(&out, &pos);
    EXPECT_EQ(pos, 536u);

    ASSERT_EQ(WaveRt_open("in_stereo-00", &in), 0);
    ASSERT_EQ(WaveRt_allocate(&in, 800), 0);
    WaveRt_setState(&in, WAVERT_STATE_RUN);
    for (int f = 0; f < 48; ++f) block[2 * f] = block[2 * f + 1] = 1000 + f;
    WaveRtStream_captureScatter(block, 2, 48);
    EXPECT_EQ(static_cast<int32_t*>(in.buffer)[2 * 47 + 1], 1047);
    // A client that vanishes without a word: the host closes its stream, the filter opens again.
    DevIf_close(in.fd);
    in.fd = -1;
    WaveRt_close(&in);
    WaveRtStream in2{};
    for (int i = 0; i < 50 && WaveRt_open("in_stereo-00", &in2) != 0; ++i) Clock_sleepMs(10);
    EXPECT_GE(in2.fd, 0);
    WaveRt_close(&in2);
    WaveRt_close(&out);
}

// Entries of a /proc/self folder (threads, descriptors).
int countEntries(const char* dir) {
    int n = 0;
    for (auto& e : std::filesystem::directory_iterator(dir)) n += e.path().filename().string()[0] != '.';
    return n;
}

TEST_F(Driver, BadClientsNeverStopTheHost) {
    char list[4096];
    DevIf_list(kControl, list, sizeof list);
    const int threads0 = countEntries("/proc/self/task"), fds0 = countEntries("/proc/self/fd");
    // Clients killed while they open, over and over: each connection is left to the host.
    const pid_t child = ::fork();
    if (child == 0) { // killed long before its own end, which keeps an orphan from running on
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            int32_t st;
            DevIf_close(DevIf_open(list, &st));
        }
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    Clock_sleepMs(30);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    std::vector<std::thread> t;
    for (int k = 0; k < 4; ++k)
        t.emplace_back([&list, k] {
            for (int i = 0; i < 250; ++i) {
                int32_t st;
                int fd = DevIf_open(list, &st);
                if (fd < 0) continue;
                if ((i + k) % 3 == 0) { // garbage, then gone mid-request
                    uint8_t junk[5] = {1, 2, 3, 4, 5};
                    ::send(fd, junk, sizeof junk, MSG_NOSIGNAL);
                } else if ((i + k) % 3 == 1) { // a header promising more than it brings
                    DevIfRequest q{IOCTL_ENGINE_JSON, 1000, 0xFFFFFFFFu};
                    ::send(fd, &q, sizeof q, MSG_NOSIGNAL);
                }
                DevIf_close(fd);
            }
        });
    for (auto& th : t) th.join();
    EXPECT_EQ(req("{\"ops\":\"getSampleRate\"}"), "{\"result\":\"succ\",\"sampleRate\":\"48000\"}");
    for (int i = 0; i < 100 && IoMgr_liveClients() > 1; ++i) Clock_sleepMs(20);
    EXPECT_EQ(IoMgr_liveClients(), 1);
    // A thousand opens and the killed ones leave no thread and no descriptor behind.
    EXPECT_LE(countEntries("/proc/self/task"), threads0);
    EXPECT_LE(countEntries("/proc/self/fd"), fds0);
}

}  // namespace
