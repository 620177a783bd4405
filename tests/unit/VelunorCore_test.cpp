// VelunorCore as the control panel drives it: the library loaded by name, a command
// line split at spaces into aa_main, the output read back from aa_getBuf_recv and
// searched for "key":" followed by a decimal value. A stand-in driver answers with a
// small status machine (idle 0 -> prepared 1 -> running 2 -> idle 0).
#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include "tests/unit/driver_rig.h"

namespace {

using MainFn = int (*)(int, char**);
using BufFn = const char* (*)();

struct Core {
    void* so = dlopen(VELUNOR_CORE_SO, RTLD_NOW | RTLD_LOCAL);
    MainFn main = so ? reinterpret_cast<MainFn>(dlsym(so, "aa_main")) : nullptr;
    BufFn buf = so ? reinterpret_cast<BufFn>(dlsym(so, "aa_getBuf_recv")) : nullptr;
    ~Core() {
        if (so) dlclose(so);
    }
    // Runs a command line as the panel does; returns the exit code and the output.
    int run(const std::string& line, std::string* out) {
        std::vector<std::string> words;
        std::istringstream in(line);
        for (std::string w; in >> w && words.size() < 10;) words.push_back(w);
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        testing::internal::CaptureStdout();
        int rc = main(int(argv.size()), argv.data());
        testing::internal::GetCapturedStdout();
        *out = buf();
        return rc;
    }
};

// The panel's reading: the decimal value after "key":" (-1 when absent).
long panelValue(const std::string& out, const std::string& key) {
    size_t at = out.find("\"" + key + "\":\"");
    if (at == std::string::npos) return -1;
    return std::strtol(out.c_str() + at + key.size() + 4, nullptr, 10);
}

} // namespace

TEST(VelunorCore, PanelCommandsDriveTheStatusAndReadBack) {
    char tmpl[] = "/tmp/velunor-core-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    setenv("VELUNOR_RUNDIR", dir.c_str(), 1);
    Core core;
    ASSERT_TRUE(core.main && core.buf) << dlerror();
    std::string out;

    EXPECT_EQ(core.run("VelunorCore.exe 11p", &out), 2); // no driver yet
    EXPECT_EQ(panelValue(out, "status"), -1);

    std::atomic<int> status{2};
    rig::Driver drv("0000");
    ASSERT_TRUE(drv.up());
    drv.setHandler([&](const std::string& req) -> std::string {
        if (req == "{\"ops\":\"stepDeviceStatus\"}") status = (status.load() + 1) % 3;
        if (req == "{\"ops\":\"getDeviceStatus\"}")
            return "{\"result\":\"succ\",\"status\":\"" + std::to_string(status.load()) + "\"}";
        if (req == "{\"ops\":\"getChNum\"}")
            return "{\"result\":\"succ\",\"phyRx\":\"64\",\"phyTx\":\"64\",\"dspFromNet\":\"0\",\"dspToNet\":\"0\"}";
        if (req.find("setChNum") != std::string::npos && status != 0)
            return "{\"result\":\"fail\",\"reason\":\"can not modify when working\"}";
        return "{\"result\":\"succ\"}";
    });

    EXPECT_EQ(core.run("VelunorCore.exe 11p", &out), 0);
    EXPECT_EQ(panelValue(out, "status"), 2);
    EXPECT_EQ(core.run("VelunorCore.exe 52 8 8 0 0", &out), 1); // refused while running
    EXPECT_EQ(panelValue(out, "status"), -1);
    EXPECT_EQ(core.run("VelunorCore.exe 9", &out), 0);
    EXPECT_EQ(status.load(), 0);
    EXPECT_EQ(panelValue(out, "status"), 0);
    EXPECT_EQ(core.run("VelunorCore.exe 52 8 8 0 0", &out), 0);
    EXPECT_EQ(drv.seen().back().in,
              std::string("{\"ops\":\"setChNum\",\"phyRx\":\"8\",\"phyTx\":\"8\",\"dspFromNet\":\"0\",\"dspToNet\":\"0\"}") +
                  '\0');
    EXPECT_EQ(core.run("VelunorCore.exe 12", &out), 0);
    EXPECT_EQ(core.run("VelunorCore.exe 12", &out), 0);
    EXPECT_EQ(core.run("VelunorCore.exe 11p", &out), 0);
    EXPECT_EQ(panelValue(out, "status"), 2);
    EXPECT_EQ(core.run("VelunorCore.exe 51p", &out), 0);
    EXPECT_EQ(panelValue(out, "phyRx"), 64);
    EXPECT_EQ(core.run("VelunorCore.exe req {\"ops\":\"getDeviceStatus\"}", &out), 0);
    EXPECT_EQ(out, "{\"result\":\"succ\",\"status\":\"2\"}");
    EXPECT_EQ(core.run("VelunorCore.exe 54", &out), 3); // missing rate

    drv.withdraw();
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}
