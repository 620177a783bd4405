// The driver's device-control dispatch with any request: any bytes, any input and output
// lengths, any control code, on the "\ioCtl" open or another. VelunorAudio is loaded
// once, in process, into the stand-in kernel; each input becomes one IRP sent through
// the driver object's dispatch table, with a system buffer sized as buffered I/O sizes
// it: the larger of the two lengths, no byte more.
//
// What must hold besides "no crash": the driver reads nothing past the input (the rest
// of the buffer holds no NUL, so a read that runs on walks off the allocation), writes
// nothing past the output length (those bytes are compared after), reports no more than
// the output length, and on the bridge answers with the envelope or refuses a request
// that does not end inside its input.
//
// Input: [flags][code: 4][outLen: 4][name length: 1, with flags & 3 == 3][name]... rest is
// the request input. Flags: bits 0-1 the open (0 "\ioCtl", 1 a filter's name, 2 no file
// object, 3 a name from the input), bit 2 the control code from the input instead of the
// bridge's, bit 3 an output length up to the host's largest instead of up to 8 KiB, bit 4
// the rest is a sequence of requests on the same open, each [length: 2][input].
// The driver stays loaded from one input to the next, so its engine's state carries over,
// as in a host that serves one client after another; a sequence makes a state reachable
// from one input alone.
//
// Engine commands run for real, starting timers and binding sockets included. As root the
// program first moves into a network namespace of its own, so whatever the engine sends
// stays there. Where that is refused but raw sockets work, a socket that a request bound
// is closed again before the next request: the engine can only send through its socket,
// and running needs a second request after the bind.
#include <sched.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "driver/kernel/host.h"
#include "platform/devif.h"

namespace {

char g_dir[] = "/tmp/velunor-bridge-fuzz-XXXXXX";
bool g_confined = true; // in a namespace of our own, or without raw sockets

NTSTATUS control(const char* json) {
    static char16_t name[] = u"\\ioCtl";
    FILE_OBJECT file{};
    RtlInitUnicodeString(&file.FileName, name);
    char sys[4096];
    std::snprintf(sys, sizeof sys, "%s", json);
    IRP irp{};
    irp.AssociatedIrp.SystemBuffer = sys;
    irp.Stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    irp.Stack.FileObject = &file;
    irp.Stack.Parameters.DeviceIoControl.IoControlCode = IOCTL_ENGINE_JSON;
    irp.Stack.Parameters.DeviceIoControl.InputBufferLength = ULONG(std::strlen(sys) + 1);
    irp.Stack.Parameters.DeviceIoControl.OutputBufferLength = sizeof sys;
    return IoMgr_dispatch(&irp);
}

uint32_t u32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

[[noreturn]] void fail(const char* what, size_t a, size_t b) {
    std::fprintf(stderr, "bridge_fuzz: %s (%zu, %zu)\n", what, a, b);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (unshare(CLONE_NEWNET) == 0) {
        if (std::system("ip link set lo up") != 0) std::fprintf(stderr, "bridge_fuzz: loopback stays down\n");
    } else {
        // Without a namespace of our own the engine must not be able to send at all.
        const int raw = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
        if (raw >= 0) {
            close(raw);
            g_confined = false;
            std::fprintf(stderr, "bridge_fuzz: no network namespace of our own; the engine's socket is closed "
                                 "after every request that binds it\n");
        }
    }
    if (!mkdtemp(g_dir)) std::exit(1);
    setenv("VELUNOR_RUNDIR", g_dir, 1);
    if (Kernel_loadDriver(DriverEntry) != STATUS_SUCCESS) {
        std::fprintf(stderr, "bridge_fuzz: the driver did not load\n");
        std::exit(1);
    }
    std::atexit([] {
        Kernel_unloadDriver();
        IoMgr_shutdown();
        if (std::system((std::string("rm -rf ") + g_dir).c_str()) != 0) std::fprintf(stderr, "kept %s\n", g_dir);
    });
    return 0;
}

namespace {

// One request on an open, every check applied to it.
void request(FILE_OBJECT* file, bool controlOpen, uint32_t code, uint32_t outLen, const uint8_t* in, size_t inLen) {
    const size_t bufLen = inLen > outLen ? inLen : outLen;
    uint8_t* sys = bufLen ? static_cast<uint8_t*>(std::malloc(bufLen)) : nullptr;
    if (bufLen && !sys) return;
    if (inLen) std::memcpy(sys, in, inLen);
    // Past the input: no terminator, so a text read that does not stop at the input's
    // end runs off the allocation.
    if (bufLen > inLen) std::memset(sys + inLen, 0xA5, bufLen - inLen);
    // Past the output length: what must stay as it was.
    std::vector<uint8_t> tail;
    if (bufLen > outLen) tail.assign(sys + outLen, sys + bufLen);

    IRP irp{};
    irp.AssociatedIrp.SystemBuffer = sys;
    irp.Stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    irp.Stack.FileObject = file;
    irp.Stack.Parameters.DeviceIoControl.IoControlCode = code;
    irp.Stack.Parameters.DeviceIoControl.InputBufferLength = ULONG(inLen);
    irp.Stack.Parameters.DeviceIoControl.OutputBufferLength = outLen;
    const NTSTATUS st = IoMgr_dispatch(&irp);

    const size_t info = size_t(irp.IoStatus.Information);
    if (st != irp.IoStatus.Status)
        fail("returned status differs from the IRP's", size_t(uint32_t(st)), size_t(uint32_t(irp.IoStatus.Status)));
    if (info > outLen) fail("more output reported than the output length", info, outLen);
    if (bufLen > outLen && std::memcmp(sys + outLen, tail.data(), tail.size()) != 0)
        fail("bytes written past the output length", outLen, bufLen);

    if (controlOpen && code == IOCTL_ENGINE_JSON) {
        const bool terminated = inLen > 0 && std::memchr(in, 0, inLen) != nullptr;
        if (!terminated) {
            if (st != STATUS_INVALID_PARAMETER || info != 0) fail("unterminated request not refused", uint32_t(st), info);
        } else {
            if (st != STATUS_SUCCESS && st != STATUS_BUFFER_OVERFLOW) fail("bridge status", uint32_t(st), info);
            static const char kHead[] = "{\"result\":\"";
            const size_t n = info < sizeof kHead - 1 ? info : sizeof kHead - 1;
            if (std::memcmp(sys, kHead, n) != 0) fail("reply without the envelope", info, outLen);
            if (st == STATUS_SUCCESS && (info == 0 || sys[info - 1] != '}')) fail("whole reply not closed", info, outLen);
            if (st == STATUS_BUFFER_OVERFLOW && info != outLen) fail("cut reply not filling the output", info, outLen);
        }
    }
    std::free(sys);
    if (!g_confined && KoSocket_exists()) {
        control("{\"ops\":\"resetKernel\"}");
        control("{\"ops\":\"setEthName\",\"name\":\"-\"}"); // closes the socket, then refuses the name
        if (KoSocket_exists()) fail("the engine's socket stayed open", 0, 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    const uint8_t flags = data[0];
    const uint32_t code = (flags & 4) ? u32(data + 1) : IOCTL_ENGINE_JSON;
    const uint32_t rawOut = u32(data + 5);
    const uint32_t outLen = (flags & 8) ? rawOut % (DEVIF_MAX_OUT + 1) : rawOut % 8193;
    size_t pos = 9;

    // The open the requests arrive on. A name from the input is exactly as long as it
    // says: nothing beyond Length is there to read.
    FILE_OBJECT file{};
    std::vector<char16_t> name;
    static char16_t controlName[] = u"\\ioCtl";
    static char16_t filter[] = u"\\out_stereo-00";
    const int open = flags & 3;
    if (open == 0) RtlInitUnicodeString(&file.FileName, controlName);
    if (open == 1) RtlInitUnicodeString(&file.FileName, filter);
    if (open == 3) {
        if (pos >= size) return 0;
        const size_t units = data[pos++] % 64;
        if (pos + units * 2 > size) return 0;
        name.resize(units ? units : 1);
        std::memcpy(name.data(), data + pos, units * 2);
        pos += units * 2;
        file.FileName.Buffer = units ? name.data() : nullptr;
        file.FileName.Length = USHORT(units * 2);
        file.FileName.MaximumLength = USHORT(units * 2);
    }
    FILE_OBJECT* f = open == 2 ? nullptr : &file;

    if (!(flags & 16)) {
        request(f, open == 0, code, outLen, data + pos, size - pos);
        return 0;
    }
    // A sequence on one handle: [length: 2][input], one request each.
    while (pos + 2 <= size) {
        size_t len = size_t(data[pos]) | size_t(data[pos + 1]) << 8;
        pos += 2;
        if (len > size - pos) len = size - pos;
        request(f, open == 0, code, outLen, data + pos, len);
        pos += len;
    }
    return 0;
}
