// Cost of one engine request (getSampleRate) to the driver's engine, along the control
// path and without it. VelunorAudio runs in process inside the stand-in kernel, the
// way the driver's unit tests run it, so every case runs the same kernel build:
//   Socket/open_each   what VelunorRoute's client does per request: list nothing (the
//                      path is kept), open the interface, one device I/O control
//                      request, close. Three trips through the host's socket: the
//                      create in the host's accept thread, the request and the
//                      close in its serving pool.
//   Socket/open_kept   one device I/O control request on a handle kept open: the
//                      socket round trip, the IRP and the bridge.
//   Dispatch           the IRP sent through the driver object's dispatch table in the
//                      calling thread (the bridge, its lock and the reply build), no
//                      socket.
//   InProcess          Msg_device_handleJson called directly: the request in process.
// Real time is the figure for the socket cases (the work is split between this thread
// and the host's serving thread); CPU time counts this thread only.
//
//   driver_request_bench
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/kernel/host.h"
#include "engine/Msg.h"
#include "engine/koBuild.h"
#include "engine/kmodule_device.h"
#include "platform/devif.h"

namespace {

// The control interface's class, as the client looks it up; its reply buffer.
const char kControlClass[] = "{9AD94B40-825F-4484-8922-F355E24A4C21}";
constexpr size_t kReplyCap = 4096;
const char kRequest[] = "{\"ops\":\"getSampleRate\"}";
const char kReply[] = "{\"result\":\"succ\",\"sampleRate\":\"48000\"}";
char g_list[65536]; // the instances of the class; the first is the one used
const char* g_path = g_list;
bool g_ready;

void onceSetup() {
    static bool done = false;
    if (done) return;
    done = true;
    static char dir[] = "/tmp/velunor-drb-XXXXXX";
    if (!mkdtemp(dir)) return;
    setenv("VELUNOR_RUNDIR", dir, 1);
    if (Kernel_loadDriver(DriverEntry) != STATUS_SUCCESS) return;
    std::atexit([] {
        Kernel_unloadDriver();
        IoMgr_shutdown();
        std::string rm = std::string("rm -rf ") + dir;
        if (std::system(rm.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir);
    });
    const size_t need = DevIf_list(kControlClass, g_list, sizeof g_list);
    if (need > sizeof g_list || g_list[0] == 0) return; // the first instance, as the client keeps it
    g_ready = true;
}

void check(benchmark::State& state, const char* reply, size_t len) {
    if (len != sizeof kReply - 1 || std::memcmp(reply, kReply, len) != 0)
        state.SkipWithError(("unexpected reply: " + std::string(reply, len)).c_str());
}

void BM_Socket(benchmark::State& state) {
    onceSetup();
    if (!g_ready) {
        state.SkipWithError("the driver's control interface is not there");
        return;
    }
    const bool openEach = state.range(0) != 0;
    char out[kReplyCap];
    uint32_t got = 0;
    int32_t st = 0;
    int fd = openEach ? -1 : DevIf_open(g_path, &st);
    for (auto _ : state) {
        if (openEach) fd = DevIf_open(g_path, &st);
        st = DevIf_ioctl(fd, IOCTL_ENGINE_JSON, kRequest, sizeof kRequest, out, sizeof out, &got);
        if (openEach) DevIf_close(fd);
        if (st != STATUS_SUCCESS) break;
    }
    if (!openEach) DevIf_close(fd);
    if (st != STATUS_SUCCESS) state.SkipWithError("request failed");
    else check(state, out, got);
}
BENCHMARK(BM_Socket)->ArgName("open_each")->Arg(0)->Arg(1)->UseRealTime();

void BM_Dispatch(benchmark::State& state) {
    onceSetup();
    if (!g_ready) {
        state.SkipWithError("the driver is not loaded");
        return;
    }
    static char16_t name[] = u"\\ioCtl";
    FILE_OBJECT file{};
    RtlInitUnicodeString(&file.FileName, name);
    char sys[kReplyCap];
    NTSTATUS st = STATUS_SUCCESS;
    IRP irp{};
    for (auto _ : state) {
        std::memcpy(sys, kRequest, sizeof kRequest);
        irp = IRP{};
        irp.AssociatedIrp.SystemBuffer = sys;
        irp.Stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
        irp.Stack.FileObject = &file;
        irp.Stack.Parameters.DeviceIoControl.IoControlCode = IOCTL_ENGINE_JSON;
        irp.Stack.Parameters.DeviceIoControl.InputBufferLength = sizeof kRequest;
        irp.Stack.Parameters.DeviceIoControl.OutputBufferLength = sizeof sys;
        st = IoMgr_dispatch(&irp);
        benchmark::DoNotOptimize(sys);
    }
    if (st != STATUS_SUCCESS) state.SkipWithError("request failed");
    else check(state, sys, size_t(irp.IoStatus.Information));
}
BENCHMARK(BM_Dispatch);

void BM_InProcess(benchmark::State& state) {
    onceSetup();
    static char data[KO_DATA_SIZE], reason[KO_REASON_SIZE], reply[KO_DATA_SIZE];
    int rc = 0;
    for (auto _ : state) {
        rc = Msg_device_handleJson(kRequest, data, sizeof data, reason, sizeof reason);
        Msg_buildRespond(reply, sizeof reply, rc == 0, reason, data);
        benchmark::DoNotOptimize(reply);
    }
    check(state, reply, std::strlen(reply));
}
BENCHMARK(BM_InProcess);

}  // namespace

BENCHMARK_MAIN();
