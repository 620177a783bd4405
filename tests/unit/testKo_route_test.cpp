// rig::Driver control client: the wire contract and the full-buffer rule, the interface
// lookup with its messages, the recovery of a withdrawn interface, and the engine
// request dispatch in driver mode from two threads. A small in-test driver serves real
// device-interface sockets.
#include "engine/testKo_route.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "engine/Msg.h"
#include "engine/testKo_ko.h"
#include "tests/unit/driver_rig.h"

namespace {

// Every test has its own run folder, so interfaces never meet; the client forgets the
// path it kept in an earlier test.
// A non-empty sub names a folder inside it that serves as the run folder.
struct RunDir {
    std::string dir;
    explicit RunDir(const std::string& sub = "") {
        char tmpl[] = "/tmp/velunor-koroute-XXXXXX";
        dir = mkdtemp(tmpl);
        std::string run = dir;
        if (!sub.empty()) {
            run += "/" + sub;
            mkdir(run.c_str(), 0755);
        }
        setenv("VELUNOR_RUNDIR", run.c_str(), 1);
        KoRoute_forgetPath();
    }
    ~RunDir() {
        std::string cmd = "rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
};

// Sends text through the client with a buffer of cap bytes; returns the verdict,
// the buffer's text and what the client printed.
struct Sent {
    bool ok;
    std::string text, printed;
};
Sent send(const std::string& text, size_t cap = 8192) {
    std::vector<char> buf(cap, 0);
    std::memcpy(buf.data(), text.c_str(), std::min(text.size() + 1, cap));
    testing::internal::CaptureStdout();
    bool ok = KoRoute_send(buf.data(), cap);
    std::string printed = testing::internal::GetCapturedStdout();
    return {ok, std::string(buf.data()), printed};
}

size_t count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) n++;
    return n;
}

const char kNoInterface[] = "Error: No active device interfaces found. Is the sample driver loaded? \n";
const char kWarning[] = "Warning: More than one device interface instance found. \nSelecting first matching device.\n\n";
const char kRequest[] = "{\"ops\":\"getSampleRate\"}";

} // namespace

TEST(KoRouteExchange, WireContractFullBufferRuleAndFailures) {
    RunDir rd;
    rig::Driver drv("0000", "{\"result\":\"succ\",\"sampleRate\":\"48000\"}");
    ASSERT_TRUE(drv.up());

    Sent s = send(kRequest);
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.text, "{\"result\":\"succ\",\"sampleRate\":\"48000\"}");
    EXPECT_EQ(s.printed, "");
    ASSERT_EQ(drv.seen().size(), 1u);
    rig::Seen q = drv.seen()[0];
    EXPECT_EQ(q.code, 0x2A5554u);
    EXPECT_EQ(q.inLen, sizeof kRequest); // the text and its NUL
    EXPECT_EQ(q.in, std::string(kRequest, sizeof kRequest));
    EXPECT_EQ(q.outLen, 4096u);

    // 4096 bytes back: the last one gives way to the terminator; 4095 stay whole.
    const std::string full = "{\"result\":\"succ\",\"x\":\"" + std::string(4096 - 24, 'a') + "\"}";
    ASSERT_EQ(full.size(), 4096u);
    drv.setReply(full);
    s = send(kRequest);
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.text, full.substr(0, 4095));
    const std::string whole = full.substr(0, 4093) + "\"}";
    drv.setReply(whole);
    EXPECT_EQ(send(kRequest).text, whole);
    // A reply larger than the caller's buffer is refused as a whole, not cut.
    s = send(kRequest, MSG_KO_REQ_SIZE);
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.text, "{\"result\":\"fail\",\"reason\":\"reply too long\"}");

    // A request the driver fails: the last error is printed, the request stays.
    drv.setReply("", int32_t(0xC0000010)); // invalid device request
    s = send(kRequest);
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.printed, "error: DeviceIoControl() 1 \n");
    EXPECT_EQ(s.text, kRequest);
}

TEST(KoRouteLookup, TwoInstancesWarnOnceAndTheFirstServesThroughout) {
    RunDir rd;
    rig::Driver second("0001"), first("0000");
    ASSERT_TRUE(first.up() && second.up());
    std::string printed;
    for (int i = 0; i < 3; i++) {
        Sent s = send(kRequest);
        EXPECT_TRUE(s.ok);
        EXPECT_EQ(s.text, "{\"result\":\"succ\"}");
        printed += s.printed;
    }
    EXPECT_EQ(printed, kWarning);
    EXPECT_EQ(first.seen().size(), 3u);
    EXPECT_EQ(second.seen().size(), 0u);
    char path[1024];
    KoRoute_devicePath(path, sizeof path);
    EXPECT_EQ(std::string(path), first.path());
}

TEST(KoRouteLookup, NoInterfaceWithdrawnAndBackAgain) {
    RunDir rd;
    Sent s = send(kRequest);
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.printed, std::string(kNoInterface) + "error: G_DevicePath= \n");
    EXPECT_EQ(s.text, kRequest);

    {
        rig::Driver drv("0000");
        ASSERT_TRUE(drv.up());
        EXPECT_TRUE(send(kRequest).ok);
    }
    // The host has gone: the kept path fails once, then every request looks again.
    s = send(kRequest);
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.printed, "error: CreateFileW() 2 \n");
    for (int i = 0; i < 2; i++) {
        s = send(kRequest);
        EXPECT_FALSE(s.ok);
        EXPECT_EQ(count(s.printed, kNoInterface), 1u);
    }
    rig::Driver back("0000");
    ASSERT_TRUE(back.up());
    s = send(kRequest);
    EXPECT_TRUE(s.ok);
    EXPECT_EQ(s.printed, "");
    EXPECT_EQ(back.seen().size(), 1u);
}

TEST(KoRouteLookup, APathBeyond255UnitsIsCutAndReported) {
    // A run folder long enough that the interface path exceeds the kept 255 units.
    RunDir rd(std::string(220, 'd'));
    rig::Driver drv("0000");
    ASSERT_TRUE(drv.up());
    ASSERT_GT(drv.path().size(), 255u);
    Sent s = send(kRequest);
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.printed, "Error: StringCchCopy failed with HRESULT 0x8007007a \nerror: CreateFileW() 2 \n");
    EXPECT_TRUE(drv.seen().empty());
}

TEST(KoRouteDispatch, DriverModeCarriesRequestsOfTwoThreadsEachToItsOwnBuffer) {
    RunDir rd;
    char p0[] = "VelunorRoute", b0[] = "bufMs=0";
    char* argv[] = {p0, b0};
    testing::internal::CaptureStdout();
    ASSERT_EQ(init_ko(2, argv), 0);
    testing::internal::GetCapturedStdout();
    ASSERT_FALSE(Msg_koInProcess());
    rig::Driver drv("0000");
    ASSERT_TRUE(drv.up());
    drv.setEcho();

    std::atomic<int> wrong{0};
    auto worker = [&](int id) {
        char buf[MSG_KO_REQ_SIZE];
        for (int i = 0; i < 50; i++) {
            std::snprintf(buf, sizeof buf, "{\"ops\":\"getSampleRate\",\"n\":\"%d-%d\"}", id, i);
            std::string expect = std::string("{\"result\":\"succ\",\"echo\":") + buf + "}";
            if (!reqKo(buf, sizeof buf) || expect != buf) wrong++;
        }
    };
    std::thread a(worker, 1), b(worker, 2);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(drv.seen().size(), 100u);
}
