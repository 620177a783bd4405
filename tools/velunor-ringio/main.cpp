// velunor-ringio: the ASIO side of the exchange area, for tests.
//
//   velunor-ringio write seconds=S log=FILE
//   velunor-ringio read  seconds=S log=FILE [src=S0,S1,...]
//
// Both open "Velunor-vSnd-shareMem" in $VELUNOR_RUNDIR (waiting up to 5 s for it) and
// follow its block counter c (period c - 1 is the last one done).
//
// write: keeps the input slots of periods c + 1 .. c + R - 1 filled (the slot of period k
//   is k mod R of area A; period c may be running), so the writer's own wake-ups may be
//   up to R - 2 ms late. Period k (k >= k0) gets, for frame n = (k - k0) x F + j and
//   channel c, the 32-bit sample (((n*4 + c + 1) & 0xFFFFFF) << 8) | junk, junk being a
//   low byte that a 24-bit stream must drop. Log: "w <k> <ns> <n of frame 0>": the time
//   the writer saw period k done.
// Both also log "m <k> <ns>" for a period (writer) or block (reader) they missed, and
// "g <from ns> <to ns>" where their own loop was held up over 1 ms.
// read: block m (slot m mod R of area B) once the counter passed it, as the ASIO
//   driver's audio thread does; every channel: a zero sample is silence; any
//   other must have a zero low byte, name its source channel (output channel c plays
//   input channel Sc of the writer: what the routing says; default Sc = c), and continue the channel's
//   frame count by one (across silence too: a gap that resumes elsewhere is a
//   discontinuity; "stops" counts changes from audio to silence).
//   Log: "r <m> <ns> <c> <n of frame 0>" per block and channel with
//   audio at frame 0. The last line on stdout is a JSON summary.
// ns is CLOCK_MONOTONIC, shared by every network namespace of the machine.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/mman.h>
#include <vector>

#include "engine/shareMem.h"
#include "platform/clock.h"
#include "platform/rtprio.h"
#include "platform/section.h"

namespace {

void napUs(long us) {
    timespec ts{0, us * 1000};
    nanosleep(&ts, nullptr);
}

uint32_t hdr(const uint8_t* b, size_t off) {
    return reinterpret_cast<const std::atomic<uint32_t>*>(b + off)->load(std::memory_order_relaxed);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || (std::strcmp(argv[1], "write") && std::strcmp(argv[1], "read"))) {
        std::fprintf(stderr, "usage: velunor-ringio write|read seconds=S log=FILE\n");
        return 2;
    }
    const bool writer = argv[1][0] == 'w';
    double seconds = 10;
    const char* logPath = nullptr;
    const char* srcList = nullptr;
    for (int k = 2; k < argc; ++k) {
        if (!std::strncmp(argv[k], "src=", 4)) srcList = argv[k] + 4;
        if (!std::strncmp(argv[k], "seconds=", 8)) seconds = std::atof(argv[k] + 8);
        if (!std::strncmp(argv[k], "log=", 4)) logPath = argv[k] + 4;
    }
    if (seconds <= 0 || seconds > 600) seconds = 10;

    Section s;
    bool open = false;
    for (int t = 0; t < 500 && !(open = Section_open(SHAREMEM_NAME, &s)); ++t) napUs(10000);
    if (!open || s.size < SHAREMEM_SIZE) {
        std::fprintf(stderr, "ringio: no exchange area\n");
        return 1;
    }
    uint8_t* b = static_cast<uint8_t*>(s.base);
    if (hdr(b, SHAREMEM_OFF_MAGIC) != SHAREMEM_MAGIC || hdr(b, SHAREMEM_OFF_MAGIC2) != SHAREMEM_MAGIC) {
        std::fprintf(stderr, "ringio: bad magic\n");
        return 1;
    }
    const uint32_t F = hdr(b, SHAREMEM_OFF_RATE) / 1000, chRx = hdr(b, SHAREMEM_OFF_CHRX),
                   chTx = hdr(b, SHAREMEM_OFF_CHTX), R = hdr(b, SHAREMEM_OFF_BUFMS);
    if (!ShareMem_fits(F, chRx, chTx, R) || F == 0 || chRx > 128 || chTx > 128) {
        std::fprintf(stderr, "ringio: header does not describe a usable area\n");
        return 1;
    }
    FILE* log = logPath ? std::fopen(logPath, "w") : nullptr;
    // An ASIO host's audio thread runs at real-time priority; so does this one, where
    // permitted, or it falls behind the 1 ms blocks on a busy machine.
    RtPrio_setLevel(RTPRIO_HIGH, "velunor-ringio");
    // No page faults or file writes inside the loop: the log goes to memory first.
    mlockall(MCL_CURRENT | MCL_FUTURE);
    struct Rec {
        uint64_t block;
        int64_t ns;
        int64_t n;
        int ch; // -1: a writer record, -2: a period or block missed, -3: this tool held up
    };
    std::vector<Rec> recs;
    recs.reserve(size_t(seconds * 1000 + 64) * (writer ? 1 : chTx) + 8192);
    std::atomic<uint64_t>* counter = ShareMem_counter(b);

    const int64_t endNs = Clock_nowNs() + int64_t(seconds * 1e9);
    uint64_t blocks = 0, silentBlocks = 0, samples = 0, bad = 0, lowByte = 0, wrongCh = 0, lapped = 0;
    std::vector<int64_t> prev(chTx, -1);
    std::vector<uint64_t> disc(chTx, 0), audio(chTx, 0), stops(chTx, 0);
    std::vector<bool> playing(chTx, false);
    std::vector<uint32_t> srcCh(chTx);
    for (uint32_t ch = 0; ch < chTx; ++ch) srcCh[ch] = ch;
    for (uint32_t ch = 0; srcList && *srcList && ch < chTx; ++ch) {
        char* end = nullptr;
        srcCh[ch] = uint32_t(std::strtoul(srcList, &end, 10));
        srcList = *end == ',' ? end + 1 : end;
    }
    int64_t lastMoveNs = Clock_nowNs();
    uint64_t seen = counter->load(std::memory_order_acquire); // counter at the last look
    const uint64_t k0 = seen + 1;    // writer: first period that takes the signal
    uint64_t next = writer ? k0 : seen; // writer: next period to fill; reader: next block to read
    int64_t lastLoopNs = Clock_nowNs();
    while (Clock_nowNs() < endNs) {
        const uint64_t c = counter->load(std::memory_order_acquire);
        const int64_t now = Clock_nowNs();
        // This loop naps 150 us; a longer pause is the machine holding this tool up.
        if (now - lastLoopNs > 1000000 && recs.size() < recs.capacity()) recs.push_back({0, lastLoopNs, now, -3});
        lastLoopNs = now;
        if (c < seen) {
            std::fprintf(stderr, "ringio: counter went back (producer restarted)\n");
            break;
        }
        if (c == seen && !(writer && next == k0)) {
            if (now - lastMoveNs > 100000000) {
                std::fprintf(stderr, "ringio: counter stopped for 100 ms\n");
                break;
            }
            napUs(150);
            continue;
        }
        lastMoveNs = now;
        if (writer) {
            // Periods seen - 1 .. c - 1 are done now: note when, with their first frame.
            for (uint64_t k = seen > k0 ? seen : k0; k < c; ++k)
                if (recs.size() < recs.capacity()) recs.push_back({k, now, int64_t((k - k0) * F), -1});
            seen = c;
            // Period c may be running; c + 1 .. c + R - 1 read slots already taken. A
            // period the writer could not fill in time is counted and left out.
            if (next <= c) {
                for (uint64_t k = next; k <= c && recs.size() < recs.capacity(); ++k) recs.push_back({k, now, 0, -2});
                lapped += c + 1 - next;
                next = c + 1;
            }
            for (; next <= c + R - 1; ++next) {
                const uint32_t slot = uint32_t(next % R);
                const uint64_t n0 = (next - k0) * F;
                for (uint32_t j = 0; j < F; ++j)
                    for (uint32_t ch = 0; ch < chRx; ++ch) {
                        const uint64_t n = n0 + j;
                        const uint32_t v = (uint32_t((n * 4 + ch + 1) & 0xFFFFFF) << 8) | uint32_t((n * 7 + ch) & 0xFF);
                        std::memcpy(b + ShareMem_offA(F, chRx, slot, j, ch), &v, 4);
                    }
                ++blocks;
            }
            continue;
        }
        seen = c;
        // Block c - R + 1 is the oldest the producer has not begun to overwrite (period c
        // may be running on slot c mod R). Older ones are lost to this reader: counted, and
        // no discontinuity is claimed across them.
        if (c >= R && next + R <= c) {
            for (uint64_t m = next; m < c - R + 1 && recs.size() < recs.capacity(); ++m) recs.push_back({m, now, 0, -2});
            lapped += c - R + 1 - next;
            next = c - R + 1;
            for (uint32_t ch = 0; ch < chTx; ++ch) {
                prev[ch] = -1;
                playing[ch] = false;
            }
        }
        for (; next < c; ++next) {
            const uint32_t slot = uint32_t(next % R);
            bool any = false;
            for (uint32_t ch = 0; ch < chTx; ++ch) {
                for (uint32_t j = 0; j < F; ++j) {
                    uint32_t v;
                    std::memcpy(&v, b + ShareMem_offB(F, chRx, chTx, R, slot, j, ch), 4);
                    if (v == 0) { // silence: audio that stopped counts once
                        if (playing[ch]) ++stops[ch];
                        playing[ch] = false;
                        continue;
                    }
                    playing[ch] = true;
                    any = true;
                    ++samples;
                    ++audio[ch];
                    if (v & 0xFF) ++lowByte;
                    const uint32_t q = (v >> 8) - 1;
                    const bool wrong = (q & 3) != (srcCh[ch] & 3);
                    if (wrong) ++wrongCh;
                    const int64_t n = int64_t(q >> 2);
                    if (prev[ch] >= 0 && n != prev[ch] + 1) ++disc[ch];
                    if ((v & 0xFF) || wrong) ++bad;
                    prev[ch] = n;
                    if (j == 0 && recs.size() < recs.capacity()) recs.push_back({next, now, n, int(ch)});
                }
            }
            ++blocks;
            if (!any) ++silentBlocks;
        }
    }
    if (log) {
        for (const Rec& r : recs) {
            if (r.ch == -1)
                std::fprintf(log, "w %llu %lld %lld\n", (unsigned long long)r.block, (long long)r.ns, (long long)r.n);
            else if (r.ch == -2)
                std::fprintf(log, "m %llu %lld\n", (unsigned long long)r.block, (long long)r.ns);
            else if (r.ch == -3)
                std::fprintf(log, "g %lld %lld\n", (long long)r.ns, (long long)r.n);
            else
                std::fprintf(log, "r %llu %lld %d %lld\n", (unsigned long long)r.block, (long long)r.ns, r.ch,
                             (long long)r.n);
        }
        std::fclose(log);
    }
    std::printf("{\"mode\":\"%s\",\"F\":%u,\"chRx\":%u,\"chTx\":%u,\"R\":%u,\"blocks\":%llu,\"silentBlocks\":%llu,"
                "\"samples\":%llu,\"bad\":%llu,\"lowByte\":%llu,\"wrongCh\":%llu,\"lapped\":%llu,\"disc\":[",
                writer ? "write" : "read", F, chRx, chTx, R, (unsigned long long)blocks,
                (unsigned long long)silentBlocks, (unsigned long long)samples, (unsigned long long)bad,
                (unsigned long long)lowByte, (unsigned long long)wrongCh, (unsigned long long)lapped);
    for (uint32_t ch = 0; ch < chTx; ++ch) std::printf("%s%llu", ch ? "," : "", (unsigned long long)disc[ch]);
    std::printf("],\"audio\":[");
    for (uint32_t ch = 0; ch < chTx; ++ch) std::printf("%s%llu", ch ? "," : "", (unsigned long long)audio[ch]);
    std::printf("],\"stops\":[");
    for (uint32_t ch = 0; ch < chTx; ++ch) std::printf("%s%llu", ch ? "," : "", (unsigned long long)stops[ch]);
    std::printf("]}\n");
    return 0;
}
