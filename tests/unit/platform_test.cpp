// The platform layer: dotted addresses, loopback datagrams with sender and
// destination, truncation reporting, paths, named objects and device interfaces, and
// what the run-time folder shares with its group.
#include "platform/clock.h"
#include "platform/devif.h"
#include "platform/namedlock.h"
#include "platform/net.h"
#include "platform/paths.h"
#include "platform/section.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(Net, DottedRule) {
    EXPECT_EQ(Net_parseIp("192.168.10.224"), 0xC0A80AE0u);
    EXPECT_EQ(Net_parseIp(nullptr), 0u);
    EXPECT_EQ(Net_parseIp(""), 0u);
    EXPECT_EQ(Net_parseIp("x.1.2.3"), 0x00010203u);  // a part that is not a number counts 0
    EXPECT_EQ(Net_parseIp("10.0"), 10u * 256u);      // fewer parts: no shift for missing ones
    EXPECT_EQ(Net_parseIp("239.0.0.188/239.1.1.1"), 0xEF0000BCu);
    char buf[16];
    Net_formatIp(0xEF0000BCu, buf, sizeof buf);
    EXPECT_STREQ(buf, "239.0.0.188");
    Net_formatIp(0xFFFFFFFFu, buf, sizeof buf);
    EXPECT_STREQ(buf, "255.255.255.255");
    Net_formatIp(0x0A640A09u, buf, sizeof buf);
    EXPECT_STREQ(buf, "10.100.10.9");
    char small[6] = "xxxxx";
    Net_formatIp(0xC0A80AE0u, small, sizeof small); // cut, always terminated
    EXPECT_STREQ(small, "192.1");
    EXPECT_TRUE(Net_isMulticast(0xE0000000u));
    EXPECT_TRUE(Net_isMulticast(0xEFFFFFFFu));
    EXPECT_FALSE(Net_isMulticast(0xF0000000u));
    EXPECT_FALSE(Net_isMulticast(0x0A000005u));
}

TEST(Net, ArrivalStampIsWhenTheDatagramCameNotWhenItWasRead) {
    const uint32_t lo = 0x7F000001u;
    // A port of the kernel's choosing: a fixed one may be taken by a test running beside.
    int rx = Net_udpSocketTry(lo, 0);
    int tx = Net_udpSocketTry(lo, 0);
    ASSERT_GE(rx, 0);
    ASSERT_GE(tx, 0);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(lo);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);
    socklen_t boundLen = sizeof bound;
    ASSERT_EQ(getsockname(rx, reinterpret_cast<sockaddr*>(&bound), &boundLen), 0);
    const int port = ntohs(bound.sin_port);
    ASSERT_EQ(Net_setRxStamp(rx, 1), 0);
    char buf[64];
    int64_t at = 0;
    EXPECT_EQ(Net_recvStamped(rx, buf, sizeof buf, &at), -1) << "nothing there";
    const int64_t sent = Clock_nowNs();
    ASSERT_EQ(Net_sendTo(tx, "ptp", 3, lo, uint16_t(port)), 3);
    Clock_sleepMs(30);
    const int64_t read = Clock_nowNs();
    ASSERT_EQ(Net_recvStamped(rx, buf, sizeof buf, &at), 3);
    EXPECT_EQ(std::memcmp(buf, "ptp", 3), 0);
    // On the monotonic clock, between the send and the read, and well before the read.
    EXPECT_GE(at, sent - 1000000);
    EXPECT_LE(at, read);
    EXPECT_GE(read - at, 20 * 1000000LL);
    // Without stamps switched on there is none to give.
    ASSERT_EQ(Net_setRxStamp(rx, 0), 0);
    ASSERT_EQ(Net_sendTo(tx, "x", 1, lo, uint16_t(port)), 1);
    Clock_sleepMs(5);
    ASSERT_EQ(Net_recvStamped(rx, buf, sizeof buf, &at), 1);
    EXPECT_EQ(at, -1);
    Net_close(rx);
    Net_close(tx);
}

TEST(Net, LoopbackDatagramsWithSenderDestinationAndTruncation) {
    const uint32_t lo = 0x7F000001u;
    int port = 40000 + int(getpid() % 20000);
    int rx = Net_udpSocketTry(lo, port);
    ASSERT_GE(rx, 0);
    ASSERT_EQ(Net_setPktInfo(rx, 1), 0);
    int tx = Net_udpSocketTry(lo, port + 1);
    ASSERT_GE(tx, 0);

    char big[2000];
    std::memset(big, 'a', sizeof big);
    ASSERT_EQ(Net_sendTo(tx, "hello", 5, lo, uint16_t(port)), 5);
    ASSERT_EQ(Net_sendTo(tx, big, 1600, lo, uint16_t(port)), 1600);
    int s[1] = {rx};
    ASSERT_GT(Net_waitReadable(s, 1, 1000), 0);

    char buf[1500];
    uint32_t src = 0, dst = 0;
    uint16_t sport = 0;
    int n = Net_recvPktInfo(rx, buf, sizeof buf, &src, &sport, &dst);
    ASSERT_EQ(n, 5);
    EXPECT_EQ(std::memcmp(buf, "hello", 5), 0);
    EXPECT_EQ(src, lo);
    EXPECT_EQ(sport, port + 1);
    EXPECT_EQ(dst, lo);
    n = Net_recvFrom(rx, buf, sizeof buf, &src, &sport);
    EXPECT_EQ(n, 1600);  // the real length, so the caller can tell it was cut
    EXPECT_EQ(Net_recvFrom(rx, buf, sizeof buf, &src, &sport), -1);  // nothing left, no block
    EXPECT_EQ(Net_waitReadable(s, 1, 20), 0);
    Net_close(rx);
    Net_close(tx);
}

TEST(Net, SocketRuleEndsProcessWithItsText) {
    const uint32_t lo = 0x7F000001u;
    int port = 45000 + int(getpid() % 10000);
    EXPECT_EXIT(
        {
            // Bind to an address this computer does not have.
            Net_udpSocket(0x0A636363u, port);
        },
        ::testing::ExitedWithCode(1), "");
    int ok = Net_udpSocketTry(lo, port);
    EXPECT_GE(ok, 0);
    Net_close(ok);
}

TEST(Paths, DriveLettersLiveUnderTheRoot) {
    setenv("VELUNOR_ROOT", "/tmp/vroot", 1);
    char out[256];
    ASSERT_TRUE(Paths_resolve("C:/ProgramData/VelunorNetSndCard/_route", out, sizeof out));
    EXPECT_STREQ(out, "/tmp/vroot/C/ProgramData/VelunorNetSndCard/_route");
    ASSERT_TRUE(Paths_resolve("D:\\a\\b", out, sizeof out));
    EXPECT_STREQ(out, "/tmp/vroot/D/a/b");
    ASSERT_TRUE(Paths_resolve("/abs/file", out, sizeof out));
    EXPECT_STREQ(out, "/abs/file");
    char tiny[8];
    EXPECT_FALSE(Paths_resolve("C:/ProgramData", tiny, sizeof tiny));
    EXPECT_STREQ(tiny, "");
}

TEST(NamedObjects, SectionSharedAndLockHeldAcrossProcesses) {
    char dir[] = "/tmp/vrunXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("VELUNOR_RUNDIR", dir, 1);

    Section a, b;
    ASSERT_FALSE(Section_open("t-sect", &b));
    ASSERT_TRUE(Section_create("t-sect", 4096, &a));
    ASSERT_TRUE(Section_open("t-sect", &b));
    EXPECT_EQ(b.size, 4096u);
    static_cast<char*>(a.base)[100] = 42;
    EXPECT_EQ(static_cast<char*>(b.base)[100], 42);
    Section_close(&a);
    Section_close(&b);

    EXPECT_FALSE(NamedLock_isHeld("t-lock"));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    if (child == 0) {
        int h = NamedLock_acquire("t-lock");
        char c = h >= 0 ? '1' : '0';
        (void)!write(fds[1], &c, 1);
        usleep(300000);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    EXPECT_EQ(c, '1');
    EXPECT_TRUE(NamedLock_isHeld("t-lock"));
    EXPECT_EQ(NamedLock_acquire("t-lock"), -1);
    int st = 0;
    waitpid(child, &st, 0);
    EXPECT_FALSE(NamedLock_isHeld("t-lock"));  // dropped when the holder died
    int h = NamedLock_acquire("t-lock");
    EXPECT_GE(h, 0);
    NamedLock_release(h);
}

TEST(DevIf, InstanceLivenessAndAHostComingUpWhileClientsList) {
    char dir[] = "/tmp/vrunXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("VELUNOR_RUNDIR", dir, 1);
    const char* guid = "{00000000-0000-0000-0000-00000000000A}";
    char path[1024], other[1024], list[4096];

    int fd = DevIf_listen(guid, "0000", "ioCtl", path, sizeof path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(DevIf_listen(guid, "0000", "ioCtl", other, sizeof other), -1); // served already
    ASSERT_EQ(DevIf_list(guid, list, sizeof list), std::strlen(path) + 2);
    EXPECT_STREQ(list, path);
    DevIf_unlisten(fd, nullptr); // the host died: its socket and lock file stay behind
    EXPECT_EQ(DevIf_list(guid, list, sizeof list), 1u);

    // A host taking over such an instance while a client keeps listing must never be
    // refused: listing only looks at the host's hold.
    std::atomic<bool> stop{false};
    std::thread lister([&] {
        char buf[4096];
        while (!stop) DevIf_list(guid, buf, sizeof buf);
    });
    int refused = 0;
    for (int i = 0; i < 2000; i++) {
        fd = DevIf_listen(guid, "0000", "ioCtl", path, sizeof path);
        if (fd < 0) refused++;
        else DevIf_unlisten(fd, nullptr);
    }
    stop = true;
    lister.join();
    EXPECT_EQ(refused, 0);
}

TEST(SharedRunDir, ObjectsForTheGroupAndTheHostsRequestSocket) {
    // The run-time folder as the package makes it: set-group-ID, rwx for owner and group.
    char dir[] = "/tmp/vrunXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ASSERT_EQ(chmod(dir, 02770), 0);
    setenv("VELUNOR_RUNDIR", dir, 1);
    const mode_t old = umask(022); // a creator's usual umask does not narrow what is shared
    auto modeOf = [](const std::string& p) {
        struct stat st {};
        return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    Section s;
    ASSERT_TRUE(Section_create("t-shared", 4096, &s));
    Section_close(&s);
    const int h = NamedLock_acquire("t-shared");
    ASSERT_GE(h, 0);
    NamedLock_release(h);
    EXPECT_EQ(modeOf(std::string(dir) + "/objects"), 02770u); // made inside a shared folder
    EXPECT_EQ(modeOf(std::string(dir) + "/objects/t-shared"), 0660u);
    EXPECT_EQ(modeOf(std::string(dir) + "/objects/t-shared.lock"), 0660u);
    char path[1024];
    int fd = DevIf_listen("{00000000-0000-0000-0000-00000000000B}", "0000", "ioCtl", path, sizeof path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(modeOf(path), 0660u); // connecting needs write permission
    DevIf_unlisten(fd, path);
    EXPECT_TRUE(Paths_canUseRundir(nullptr, 0)); // the owner may

    // The host's own requests: none listening, then a host that answers one word.
    char reply[64] = "x";
    EXPECT_EQ(DevIf_hostRequest("disable", reply, sizeof reply, 1000), -ENOENT);
    EXPECT_STREQ(reply, "");
    const int lfd = DevIf_hostListen();
    ASSERT_GE(lfd, 0);
    char sock[1024];
    ASSERT_TRUE(DevIf_hostSocketPath(sock, sizeof sock));
    EXPECT_EQ(modeOf(sock), 0660u);
    std::string heard;
    std::thread host([&] {
        pollfd p{lfd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        int c = accept(lfd, nullptr, nullptr);
        char w[64] = {};
        ssize_t n = recv(c, w, sizeof w - 1, 0);
        heard.assign(w, n > 0 ? size_t(n) : 0);
        send(c, "disabled", 8, 0);
        close(c);
    });
    EXPECT_EQ(DevIf_hostRequest("disable", reply, sizeof reply, 5000), 0);
    host.join();
    EXPECT_EQ(heard, "disable");
    EXPECT_STREQ(reply, "disabled");
    close(lfd);
    umask(old);
    std::string rm = std::string("rm -rf ") + dir;
    EXPECT_EQ(std::system(rm.c_str()), 0);
}
