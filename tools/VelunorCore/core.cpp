// VelunorCore: one command for the driver's engine per call, carried by the driver
// control client. The control panel loads the library and calls aa_main with the words
// of a command line ("VelunorCore.exe 11p"), then reads aa_getBuf_recv; the program of
// the same name runs one command from its arguments and prints the same text.
//
// The output of an engine command is the engine's reply object itself, for example
// {"result":"succ","status":"2"}: every member is the key in double quotes, a colon and
// the value in double quotes, which is what the panel looks for.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engine/testKo_route.h"
#include "platform/paths.h"

#define VELUNOR_CORE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum Exit { EXIT_OK = 0, EXIT_REFUSED = 1, EXIT_NO_DRIVER = 2, EXIT_USAGE = 3 };

constexpr int kStepBound = 4; // running -> idle takes one step, prepared -> idle two

std::mutex s_lock;
char s_out[8192];                // the last command's output
char s_req[KO_ROUTE_REPLY_SIZE]; // request in, reply out: holds any reply the client gives
size_t s_outLen;

const char kUsage[] =
    "usage: VelunorCore <command> [arguments]\n"
    "Commands for the engine of the card's driver, which runs in the driver host velunor-kernel\n"
    "(the velunor-kernel service); the host's folder is $VELUNOR_RUNDIR (default /run/velunor),\n"
    "open to the users of its group (audio).\n"
    "  9                                  step the engine to idle (status 0)\n"
    "  12                                 one status step towards running (idle -> prepared -> running)\n"
    "  11p                                print the status\n"
    "  5 <ip>                             set the engine's address (setEthName)\n"
    "  52 <phyRx> <phyTx> <dspFromNet> <dspToNet>   set the channel counts (0 0: the most the driver has, 64)\n"
    "  54 <rate>                          set the sample rate in Hz\n"
    "  56 <kHz>                           set the frames per period (rate / 1000)\n"
    "  51p                                print the channel counts (phyRx first)\n"
    "  53p                                print the sample rate\n"
    "  4p                                 print the address\n"
    "  req <json>                         send one engine request unchanged, print the reply\n"
    "  help, --help, -h                   this text\n"
    "Output: the engine's reply object, e.g. {\"result\":\"succ\",\"status\":\"2\"}.\n"
    "Exit: 0 done, 1 the engine refused, 2 no driver reached, 3 bad command line.\n";

void put(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void put(const char* fmt, ...) {
    if (s_outLen + 1 >= sizeof s_out) return;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(s_out + s_outLen, sizeof s_out - s_outLen, fmt, ap);
    va_end(ap);
    if (n > 0) s_outLen += size_t(n) < sizeof s_out - s_outLen ? size_t(n) : sizeof s_out - 1 - s_outLen;
}

// Appends one byte to s_req, keeping room for the NUL.
bool addChar(size_t* n, char c) {
    if (*n + 1 >= sizeof s_req) return false;
    s_req[(*n)++] = c;
    return true;
}

// Appends text to s_req as a JSON string; false when it does not fit.
bool addString(size_t* n, const char* text) {
    if (!addChar(n, '"')) return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
        if (*p == '"' || *p == '\\') {
            if (!addChar(n, '\\') || !addChar(n, char(*p))) return false;
        } else if (!addChar(n, *p < 0x20 ? '?' : char(*p))) {
            return false;
        }
    }
    return addChar(n, '"');
}

// {"ops":ops,keys[0]:values[0],...} into s_req, every value a JSON string.
bool buildRequest(const char* ops, const char* const* keys, char* const* values, int count) {
    size_t n = 0;
    bool ok = addChar(&n, '{') && addString(&n, "ops") && addChar(&n, ':') && addString(&n, ops);
    for (int i = 0; ok && i < count; i++)
        ok = addChar(&n, ',') && addString(&n, keys[i]) && addChar(&n, ':') &&
             addString(&n, values[i] ? values[i] : "");
    ok = ok && addChar(&n, '}');
    s_req[ok ? n : 0] = 0;
    return ok;
}

bool succeeded() { return std::strncmp(s_req, "{\"result\":\"succ\"", 16) == 0; }

// Sends s_req; the reply replaces it. The client has printed why when it fails.
int exchange() {
    if (!KoRoute_send(s_req, sizeof s_req)) {
        // A user outside the host folder's group sees no interfaces at all: say why.
        char why[512];
        if (Paths_canUseRundir(why, sizeof why)) std::snprintf(why, sizeof why, "driver request failed");
        std::snprintf(s_req, sizeof s_req, "{\"result\":\"fail\",\"reason\":\"%s\"}", why);
        return EXIT_NO_DRIVER;
    }
    return succeeded() ? EXIT_OK : EXIT_REFUSED;
}

// One engine command; its reply becomes the output.
int command(const char* ops, const char* const* keys = nullptr, char* const* values = nullptr, int count = 0) {
    if (!buildRequest(ops, keys, values, count)) {
        put("error: request too long\n");
        return EXIT_USAGE;
    }
    int rc = exchange();
    put("%s", s_req);
    return rc;
}

// The status in a getDeviceStatus reply, or -1.
int statusOf(const char* reply) {
    const char* p = std::strstr(reply, "\"status\":\"");
    if (!p) return -1;
    char* end = nullptr;
    long v = std::strtol(p + 10, &end, 10);
    return end != p + 10 && *end == '"' ? int(v) : -1;
}

// Steps the status machine until it reports idle, at most kStepBound steps.
int toIdle() {
    for (int step = 0;; step++) {
        buildRequest("getDeviceStatus", nullptr, nullptr, 0);
        int rc = exchange();
        if (rc != EXIT_OK || statusOf(s_req) == 0 || step == kStepBound) {
            put("%s", s_req);
            if (rc == EXIT_OK && statusOf(s_req) != 0) return EXIT_REFUSED; // never reached idle
            return rc;
        }
        buildRequest("stepDeviceStatus", nullptr, nullptr, 0);
        rc = exchange();
        if (rc != EXIT_OK) {
            put("%s", s_req);
            return rc;
        }
    }
}

// The request text of "req": the remaining words joined by single spaces (the panel
// splits its command line at spaces).
int passThrough(int argc, char** argv) {
    size_t n = 0;
    for (int i = 2; i < argc; i++) {
        const char* w = argv[i] ? argv[i] : "";
        size_t len = std::strlen(w);
        if (n + (i > 2) + len + 1 > sizeof s_req) {
            put("error: request too long\n");
            return EXIT_USAGE;
        }
        if (i > 2) s_req[n++] = ' ';
        std::memcpy(s_req + n, w, len);
        n += len;
    }
    s_req[n] = 0;
    if (n == 0) {
        put("error: req needs an engine request\n%s", kUsage);
        return EXIT_USAGE;
    }
    int rc = exchange();
    put("%s", s_req);
    return rc;
}

int run(int argc, char** argv) {
    const char* cmd = argc > 1 && argv[1] ? argv[1] : "";
    auto args = [&](int need) {
        for (int i = 2; i < 2 + need; i++)
            if (i >= argc || !argv[i]) return false;
        return true;
    };
    if (std::strcmp(cmd, "9") == 0) return toIdle();
    if (std::strcmp(cmd, "12") == 0) return command("stepDeviceStatus");
    if (std::strcmp(cmd, "11p") == 0) return command("getDeviceStatus");
    if (std::strcmp(cmd, "51p") == 0) return command("getChNum");
    if (std::strcmp(cmd, "53p") == 0) return command("getSampleRate");
    if (std::strcmp(cmd, "4p") == 0) return command("getEthName");
    if (std::strcmp(cmd, "5") == 0 && args(1)) {
        static const char* const keys[] = {"name"};
        return command("setEthName", keys, argv + 2, 1);
    }
    if (std::strcmp(cmd, "52") == 0 && args(4)) {
        static const char* const keys[] = {"phyRx", "phyTx", "dspFromNet", "dspToNet"};
        // A count of 0 asks for what the driver can carry: the panel's first reading of the
        // channel count (51p) then offers every channel choice the driver has.
        static char maxCh[] = "64";
        char* words[4] = {argv[2], argv[3], argv[4], argv[5]};
        if (std::strcmp(words[0], "0") == 0 && std::strcmp(words[1], "0") == 0) words[0] = words[1] = maxCh;
        return command("setChNum", keys, words, 4);
    }
    if (std::strcmp(cmd, "54") == 0 && args(1)) {
        static const char* const keys[] = {"sampleRate"};
        return command("setSampleRate", keys, argv + 2, 1);
    }
    if (std::strcmp(cmd, "56") == 0 && args(1)) {
        static const char* const keys[] = {"frameNum"};
        return command("setPacketSize", keys, argv + 2, 1);
    }
    if (std::strcmp(cmd, "req") == 0) return passThrough(argc, argv);
    if (std::strcmp(cmd, "help") == 0 || std::strcmp(cmd, "--help") == 0 || std::strcmp(cmd, "-h") == 0) {
        put("%s", kUsage);
        return EXIT_OK;
    }
    put("error: unknown command or missing argument: %s\n%s", cmd, kUsage);
    return EXIT_USAGE;
}

} // namespace

VELUNOR_CORE_EXPORT int aa_main(int argc, char** argv) {
    std::lock_guard<std::mutex> hold(s_lock);
    s_outLen = 0;
    s_out[0] = 0;
    if (argc < 0 || (argc > 0 && !argv)) argc = 0;
    return run(argc, argv);
}

VELUNOR_CORE_EXPORT const char* aa_getBuf_recv() { return s_out; }
