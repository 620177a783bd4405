// The route command line, the 10 ms grid, and the real VelunorRoute binary's "help"
// handling. The binary runs in a private, empty network namespace, so even a fault
// that let it open sockets could not reach a real interface.
#include "route/main_c.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/net.h"

namespace {

struct Argv {
    std::vector<std::string> words;
    std::vector<char*> ptrs;
    explicit Argv(std::initializer_list<const char*> w) {
        words.emplace_back("VelunorRoute");
        for (const char* s : w) words.emplace_back(s);
        for (auto& s : words) ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return int(words.size()); }
    char** argv() { return ptrs.data(); }
};

RouteArgs defaults() {
    RouteArgs a{};
    Route_setTextDefaults(&a, "192.168.10.224");
    Route_setNumDefaults(&a);
    return a;
}

// The parsed settings point into the argument texts: keep them for the whole test run.
int parse(RouteArgs* a, std::initializer_list<const char*> w) {
    static std::vector<std::unique_ptr<Argv>> keep;
    keep.push_back(std::make_unique<Argv>(w));
    return Route_parseArgs(keep.back()->argc(), keep.back()->argv(), a);
}

} // namespace

TEST(MainC, DefaultsAndWords) {
    RouteArgs a = defaults();
    EXPECT_STREQ(a.bindIp, "192.168.10.224");
    EXPECT_STREQ(a.model, "rEduVuzi");
    EXPECT_STREQ(a.devId, "rEduVuzi-123");
    EXPECT_STREQ(a.filePath, "C:/ProgramData/VelunorNetSndCard/_route");
    EXPECT_EQ(a.mcastIp, 0xEF0000BCu);
    EXPECT_EQ(a.mcastIp2, 0u);
    EXPECT_EQ(a.mcastPort, 9996);
    EXPECT_EQ(a.payloadType, 97);
    EXPECT_FALSE(a.noMcastRx);
    EXPECT_FALSE(a.noMcastTx);
    EXPECT_EQ(a.passwordPath, nullptr);
    EXPECT_EQ(a.lockPath, nullptr);

    // Every word, engine words and unknown words among them (ignored).
    ASSERT_EQ(parse(&a, {"sampleRate=96000", "bindIp=10.77.0.1", "model=m1", "devId=cardA", "filePath=/tmp/r",
                         "bufMs=4", "mcastPort=0x270f", "payloadType=0x160", "noMcastRx", "noMcastTx",
                         "passwordPath=/p", "lockPath=/l", "frobnicate=1"}),
              0);
    EXPECT_STREQ(a.bindIp, "10.77.0.1");
    EXPECT_STREQ(a.model, "m1");
    EXPECT_STREQ(a.devId, "cardA");
    EXPECT_STREQ(a.filePath, "/tmp/r");
    EXPECT_EQ(a.mcastPort, 9999);
    EXPECT_EQ(a.payloadType, 96); // only the low 8 bits of 0x160
    EXPECT_TRUE(a.noMcastRx);
    EXPECT_TRUE(a.noMcastTx);
    EXPECT_STREQ(a.passwordPath, "/p");
    EXPECT_STREQ(a.lockPath, "/l");

    // A later word overrides an earlier one; octal and decimal numbers; a prefix match.
    a = defaults();
    ASSERT_EQ(parse(&a, {"devId=one", "devId=two", "mcastPort=011", "payloadType=100", "payloadType=97",
                         "noMcastRxAndMore", "model=", "bindIp="}),
              0);
    EXPECT_STREQ(a.devId, "two");
    EXPECT_EQ(a.mcastPort, 9);
    EXPECT_EQ(a.payloadType, 97);
    EXPECT_TRUE(a.noMcastRx);
    EXPECT_FALSE(a.noMcastTx);
    EXPECT_STREQ(a.model, "");
    EXPECT_EQ(Net_parseIp(a.bindIp), 0u); // empty address: the waiting state
    // Near misses of the words are not matches.
    a = defaults();
    ASSERT_EQ(parse(&a, {"modelX=q", "devid=q", "BindIp=1.2.3.4", "mcastport=1", "noMcast"}), 0);
    EXPECT_STREQ(a.model, "rEduVuzi");
    EXPECT_STREQ(a.devId, "rEduVuzi-123");
    EXPECT_STREQ(a.bindIp, "192.168.10.224");
    EXPECT_EQ(a.mcastPort, 9996);
    EXPECT_FALSE(a.noMcastRx || a.noMcastTx);
}

TEST(MainC, ControlGroups) {
    RouteArgs a = defaults();
    ASSERT_EQ(parse(&a, {"mcastIp=239.1.2.3/239.1.2.4"}), 0);
    EXPECT_EQ(a.mcastIp, 0xEF010203u);
    EXPECT_EQ(a.mcastIp2, 0xEF010204u);
    a = defaults();
    ASSERT_EQ(parse(&a, {"mcastIp=10.0.0.5"}), 0);
    EXPECT_EQ(a.mcastIp, 0x0A000005u); // accepted; the loop joins nothing for it
    EXPECT_EQ(a.mcastIp2, 0u);
    EXPECT_FALSE(Net_isMulticast(a.mcastIp));
    a = defaults();
    ASSERT_EQ(parse(&a, {"mcastIp=239.9.9.9/"}), 0);
    EXPECT_EQ(a.mcastIp, 0xEF090909u);
    EXPECT_EQ(a.mcastIp2, 0u); // nothing after the slash parses to 0
}

TEST(MainC, HelpOnlyWhenExact) {
    RouteArgs a = defaults();
    EXPECT_EQ(parse(&a, {"helpme", "help=1", "xhelp", "Help", "devId=after"}), 0);
    EXPECT_STREQ(a.devId, "after");
    // "help" stops the parse: words before it apply (and show in the usage), later ones do not.
    a = defaults();
    EXPECT_EQ(parse(&a, {"devId=before", "help", "devId=after"}), -1);
    EXPECT_STREQ(a.devId, "before");
    RouteArgs b = defaults();
    EXPECT_EQ(parse(&b, {"--help"}), -1);
    EXPECT_EQ(parse(&b, {"devId=z", "-h"}), -1);

    char out[1024] = {};
    FILE* f = fmemopen(out, sizeof out - 1, "w");
    ASSERT_NE(f, nullptr);
    Route_printUsage(f, "prog", &a);
    std::fclose(f);
    EXPECT_STREQ(out, "usage: prog bindIp=192.168.10.224 model=rEduVuzi devId=before "
                      "filePath=C:/ProgramData/VelunorNetSndCard/_route mcastIp=239.0.0.188 mcastPort=9996 "
                      "noMcastRx noMcastTx passwordPath= lockPath=\n"
                      "RTP_MAX_CH_NUM=128 PHY_MAX_CH_NUM=128 RTP_MAX_MCAST_NUM=16\n");
}

TEST(MainC, TenMillisecondGrid) {
    EXPECT_EQ(Route_nextGrid(0), 10u);
    EXPECT_EQ(Route_nextGrid(1234), 1240u);
    EXPECT_EQ(Route_nextGrid(1240), 1250u); // strictly above
    uint64_t next = 1240;
    EXPECT_EQ(Route_tickStep(1239, &next), 0);
    EXPECT_EQ(next, 1240u);
    EXPECT_EQ(Route_tickStep(1240, &next), 1);
    EXPECT_EQ(next, 1250u);
    EXPECT_EQ(Route_tickStep(1259, &next), 1); // late by less than a tick: once, grid kept
    EXPECT_EQ(next, 1260u);
    EXPECT_EQ(Route_tickStep(1270, &next), 2); // a whole tick behind: twice, then re-aligned
    EXPECT_EQ(next, 1280u);
    EXPECT_EQ(Route_tickStep(5003, &next), 2); // far behind: still only twice
    EXPECT_EQ(next, 5010u);
    EXPECT_EQ(Route_tickStep(5009, &next), 0);
}

namespace {

struct RunResult {
    bool skipped = false;
    std::string out;
    int status = -1;      // exit status, -1 when killed
    bool killed = false;  // still running when the wanted line came, then killed
    bool rundirEmpty = false;
};

bool dirEmpty(const std::string& path) {
    DIR* d = opendir(path.c_str());
    if (!d) return true;
    bool empty = true;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
    }
    closedir(d);
    return empty;
}

// Runs the binary in a new empty network namespace. With waitFor, the program is
// expected to keep running: it is killed 300 ms after that text appears.
RunResult runRoute(std::vector<std::string> words, const char* waitFor) {
    RunResult r;
    char tmpl[] = "/tmp/velunor-mainc-XXXXXX";
    const char* tmp = mkdtemp(tmpl);
    if (!tmp) return r;
    std::string root = std::string(tmp) + "/root", run = std::string(tmp) + "/run";
    mkdir(root.c_str(), 0755);
    mkdir(run.c_str(), 0755);
    std::string prog = VELUNOR_BUILD_DIR "/route/VelunorRoute";
    std::vector<std::string> all{prog};
    all.insert(all.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (auto& s : all) argv.push_back(s.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe(fds) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        if (unshare(CLONE_NEWNET) != 0) _exit(77);
        // The namespace's loopback up: 127.0.0.1 is then its one address.
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        std::strcpy(ifr.ifr_name, "lo");
        ifr.ifr_flags = IFF_UP;
        if (s < 0 || ioctl(s, SIOCSIFFLAGS, &ifr) != 0) _exit(77);
        close(s);
        setenv("VELUNOR_ROOT", root.c_str(), 1);
        setenv("VELUNOR_RUNDIR", run.c_str(), 1);
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    const int64_t limitMs = 15000;
    int64_t waited = 0;
    char buf[4096];
    for (;;) {
        if (waitFor && r.out.find(waitFor) != std::string::npos) {
            usleep(300 * 1000);
            if (waitpid(pid, &r.status, WNOHANG) == 0) {
                r.killed = true;
                kill(pid, SIGKILL);
            }
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        int n = poll(&p, 1, 100);
        waited += 100;
        if (n > 0) {
            ssize_t got = read(fds[0], buf, sizeof buf);
            if (got <= 0) break;
            r.out.append(buf, size_t(got));
        }
        if (waited > limitMs) {
            kill(pid, SIGKILL);
            break;
        }
    }
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    if (!r.killed) r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.skipped = !r.killed && r.status == 77;
    r.rundirEmpty = dirEmpty(run);
    std::string rm = "rm -rf '" + std::string(tmp) + "'";
    if (std::system(rm.c_str()) != 0) std::printf("could not remove %s\n", tmp);
    return r;
}

} // namespace

TEST(MainC, BinaryHelpExitsBeforeAnythingOpens) {
    const std::string usage2 = "RTP_MAX_CH_NUM=128 PHY_MAX_CH_NUM=128 RTP_MAX_MCAST_NUM=16\n";
    for (auto words : std::vector<std::vector<std::string>>{{"help"},
                                                            {"--help"},
                                                            {"-h", "--bogus"},
                                                            {"bindIp=10.1.2.3", "devId=x1", "help", "devId=x2"},
                                                            {"noMcastRx", "sampleRate=96000", "--help"}}) {
        RunResult r = runRoute(words, nullptr);
        if (r.skipped) {
            GTEST_SKIP() << "needs a private network namespace (root)";
        }
        SCOPED_TRACE(r.out);
        EXPECT_EQ(r.status, 0);
        // Exactly the two usage lines: no "warning: bindIp", no diagnostics, nothing else.
        size_t nl = r.out.find('\n');
        ASSERT_NE(nl, std::string::npos);
        EXPECT_EQ(r.out.rfind("usage: " VELUNOR_BUILD_DIR "/route/VelunorRoute bindIp=", 0), 0u);
        EXPECT_EQ(r.out.substr(nl + 1), usage2);
        EXPECT_TRUE(r.rundirEmpty) << "the engine created its objects before help was seen";
    }
    RunResult r = runRoute({"help"}, nullptr);
    EXPECT_NE(r.out.find(" bindIp=192.168.10.224 model=rEduVuzi devId=rEduVuzi-123 filePath="), std::string::npos)
        << r.out;
    r = runRoute({"bindIp=10.1.2.3", "devId=x1", "-h", "devId=x2"}, nullptr);
    EXPECT_NE(r.out.find(" bindIp=10.1.2.3 model=rEduVuzi devId=x1 filePath="), std::string::npos);
}

TEST(MainC, BinaryBadCommandLinesNeverStart) {
    // Each ends before the engine or the route layer opens anything (the rundir stays
    // empty, "warning: bindIp" never comes), with a non-zero status and a line that says why.
    struct Case {
        std::vector<std::string> words;
        int status;
        const char* says;
    };
    const std::vector<Case> cases = {
        {{"bindIp=127.0.0.1", "--bogus"}, 2, "unknown argument \"--bogus\""},
        {{"helpme", "bindIp=127.0.0.1"}, 2, "unknown argument \"helpme\""},
        {{"bindIp=127.0.0.1", "help=1"}, 2, "unknown argument \"help=1\""},
        {{"bindIp=127.0.0.1", "noMcastRxAndMore"}, 2, "unknown argument \"noMcastRxAndMore\""},
        {{"bindIp="}, 2, "bindIp= is empty"},
        {{"bindIp=10.77"}, 2, "bindIp=10.77 is not an IPv4 address"},
        {{"bindIp=eth0"}, 2, "bindIp=eth0 is not an IPv4 address"},
        {{"bindIp=10.99.0.7", "devId=x"}, 1, "bindIp=10.99.0.7 is not an address of this computer; "
                                            "its IPv4 addresses: 127.0.0.1"},
        {{"devId=x"}, 1, "bindIp=192.168.10.224 is not an address of this computer"}, // the default
    };
    for (const Case& c : cases) {
        RunResult r = runRoute(c.words, nullptr);
        if (r.skipped) {
            GTEST_SKIP() << "needs a private network namespace (root)";
        }
        SCOPED_TRACE(c.words[0] + " -> " + r.out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.says), std::string::npos);
        EXPECT_EQ(r.out.find("warning: bindIp"), std::string::npos);
        EXPECT_TRUE(r.rundirEmpty) << "the engine started";
        if (std::string(c.says).find("unknown") != std::string::npos) {
            EXPECT_NE(r.out.find("usage: "), std::string::npos);
        }
    }
    // Near words that are real words, and an address the namespace has, do start.
    for (const char* word : {"bufMs=0", "poll"}) {
        RunResult r = runRoute({word, "bindIp=127.0.0.1", "mcastIp=127.0.0.1"}, "warning: bindIp=127.0.0.1 \n");
        SCOPED_TRACE(r.out);
        EXPECT_TRUE(r.killed) << word << " ended the program";
        EXPECT_EQ(r.out.find("usage: "), std::string::npos);
    }
}
