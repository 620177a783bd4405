// The route file loader: any file content, loaded into a 48 kHz, 8-channel record. After
// a load the record is consistent (every index in range, every text terminated), and a
// restart changes nothing: saving, loading again and saving gives the same file. The file
// lives in memory (Dev_setFileIo): real files with their fsyncs made this target 50 times
// slower than the others; the loader and writer are the same code.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/Msg.h"
#include "route/routeApi.h"
#include "route/routeImpl_c.h"

static bool agreeKo(char* buf, size_t cap) {
    std::snprintf(buf, cap, "{\"result\":\"succ\"}");
    return true;
}

static std::string s_path = "/fuzz/_route";
static char s_file[DEV_FILE_SIZE + 64];
static size_t s_fileLen;

static size_t memRead(const char*, char* buf, size_t cap) {
    size_t n = s_fileLen < cap ? s_fileLen : cap;
    std::memcpy(buf, s_file, n);
    return n;
}

static int s_writes;

static bool memWrite(const char*, const char* text, size_t len) {
    s_writes++;
    if (len > sizeof s_file) return false;
    std::memcpy(s_file, text, len);
    s_fileLen = len;
    return true;
}

static void buildPristine() {
    std::memset(&g_dev, 0, sizeof g_dev);
    std::strcpy(g_dev.devId, "devA");
    g_dev.ownIp = 0x0A000001u;
    // A small card: every table and loop of the loader is still there, but each round
    // trip writes and reads a few kilobytes instead of a whole 64-channel file.
    g_dev.chNumRx = g_dev.chNumTx = 8;
    g_dev.phyChNumRx = g_dev.phyChNumTx = 8;
    g_dev.ucastNumRx = g_dev.ucastNumTx = 8;
    g_dev.mcastNumRx = g_dev.mcastNumTx = 4;
    g_dev.sampleRate = 48000;
    g_dev.pFrameNum = 48;
    g_dev.discoverySock = g_dev.commandSock = -1;
    for (int i = 0; i < RTP_MAX_CH_NUM; i++) g_dev.rtpChId[i] = g_dev.srcChId[i] = -1;
    for (auto& e : g_dev.ucastArrRx) Dev_clearSdpRx(&e);
    for (auto& e : g_dev.mcastArrRx) Dev_clearSdpRx(&e);
    for (auto& e : g_dev.ucastArrTx) Dev_clearSdpTx(&e);
    for (auto& e : g_dev.mcastArrTx) Dev_clearSdpTx(&e);
    std::snprintf(g_dev.filePath, sizeof g_dev.filePath, "%s", s_path.c_str());
}

// Every input starts from the same record: a copy is far cheaper than clearing each table.
static Dev s_pristine;
static void resetDev() { std::memcpy(&g_dev, &s_pristine, sizeof g_dev); }

static void writeFile(const uint8_t* data, size_t size) {
    if (!memWrite(nullptr, reinterpret_cast<const char*>(data), size)) std::abort();
}

static void checkRecord() {
    auto terminated = [](const char* s, size_t n) { return std::memchr(s, 0, n) != nullptr; };
    if (!terminated(g_dev.name, sizeof g_dev.name) || !terminated(g_dev.customStr, sizeof g_dev.customStr)) std::abort();
    for (int i = 0; i < RTP_MAX_CH_NUM; i++) {
        if (g_dev.rtpChId[i] < -1 || g_dev.rtpChId[i] >= g_dev.chNumRx) std::abort();
        if (!terminated(g_dev.srcDevId[i], DEV_TEXT_SIZE) || !terminated(g_dev.chNameRx[i], DEV_TEXT_SIZE)) std::abort();
    }
    for (const SdpRx& e : g_dev.mcastArrRx)
        for (int32_t s : e.rtpChId)
            if (s < -1 || s >= g_dev.chNumRx) std::abort();
    for (const SdpTx& e : g_dev.mcastArrTx)
        for (int32_t s : e.srcChId)
            if (s < -1 || s >= g_dev.chNumTx) std::abort();
    for (int i = 0; i < PHY_MAX_CH_NUM; i++)
        if (!(g_dev.phyGainRx[i] >= -60.0f && g_dev.phyGainRx[i] <= 24.0f) || g_dev.phyMuteTx[i] > 1) std::abort();
    if (g_dev.sampleByteNum < 1 || g_dev.sampleByteNum > 4) std::abort();
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Diagnostics of the loader would drown the fuzzer's own output.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    static const DevFileIo io = {memRead, memWrite};
    Dev_setFileIo(&io);
    Msg_setKoInProcess(false);
    Msg_setDriverRequest(agreeKo);
    buildPristine();
    std::memcpy(&s_pristine, &g_dev, sizeof g_dev);
    return 0;
}

static char s_a[DEV_FILE_SIZE], s_b[DEV_FILE_SIZE];

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > DEV_FILE_SIZE + 16) return 0;
    resetDev();
    writeFile(data, size);
    s_writes = 0;
    Dev_initFromFile("devA");
    checkRecord();
    int na = Dev_buildFileText(s_a, sizeof s_a);
    if (na < 0) return 0;
    // Input the loader did not take: it wrote the defaults, which must be what the
    // record gives. Their own restart is the same for every such input (the seeds cover it).
    if (s_writes > 0) {
        if (s_fileLen != size_t(na) || std::memcmp(s_file, s_a, size_t(na)) != 0) std::abort();
        return 0;
    }
    writeFile(reinterpret_cast<const uint8_t*>(s_a), size_t(na));
    resetDev();
    Dev_initFromFile("devA");
    checkRecord();
    int nb = Dev_buildFileText(s_b, sizeof s_b);
    if (nb != na || std::memcmp(s_a, s_b, size_t(na)) != 0) std::abort();
    return 0;
}
