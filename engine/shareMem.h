// Layout of the shared audio exchange area between VelunorRoute (producer) and the
// ASIO driver (consumer). Both sides include this one header.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#define SHAREMEM_NAME "Velunor-vSnd-shareMem"
#define SHAREMEM_LOCK_NAME "Velunor-vSnd-lock"
#define SHAREMEM_MAGIC 0x87654321u
#define SHAREMEM_HEADER_SIZE 64u
#define SHAREMEM_DATA_SAMPLES 98304u
#define SHAREMEM_SIZE (SHAREMEM_HEADER_SIZE + SHAREMEM_DATA_SAMPLES * 4u) // 393280

// Header field offsets (little-endian integers).
#define SHAREMEM_OFF_MAGIC 0
#define SHAREMEM_OFF_RATE 4
#define SHAREMEM_OFF_CHRX 8  // channels of area A: host output, towards the network
#define SHAREMEM_OFF_CHTX 12 // channels of area B: host input, from the network
#define SHAREMEM_OFF_BUFMS 16
#define SHAREMEM_OFF_SIZE 20
#define SHAREMEM_OFF_COUNTER 24 // u64 block counter
#define SHAREMEM_OFF_MAGIC2 32
#define SHAREMEM_OFF_RESERVED 36

static_assert(SHAREMEM_SIZE == 393280u, "exchange area size");

// Whether rings of bufMs blocks of F frames fit the data space (and bufMs > 1).
inline bool ShareMem_fits(uint32_t frames, uint32_t chRx, uint32_t chTx, uint32_t bufMs) {
    return bufMs > 1 && uint64_t(frames) * (uint64_t(chRx) + chTx) * bufMs <= SHAREMEM_DATA_SAMPLES;
}

// Byte offset of channel c, frame j, ring slot s in area A / area B.
inline size_t ShareMem_offA(uint32_t frames, uint32_t chRx, uint32_t s, uint32_t j, uint32_t c) {
    return SHAREMEM_HEADER_SIZE + ((size_t(s) * frames + j) * chRx + c) * 4u;
}
inline size_t ShareMem_offB(uint32_t frames, uint32_t chRx, uint32_t chTx, uint32_t bufMs, uint32_t s,
                            uint32_t j, uint32_t c) {
    return SHAREMEM_HEADER_SIZE +
           (size_t(bufMs) * frames * chRx + (size_t(s) * frames + j) * chTx + c) * 4u;
}

// The block counter, accessed atomically by both processes (it is 8-byte aligned).
inline std::atomic<uint64_t>* ShareMem_counter(void* base) {
    static_assert(std::atomic<uint64_t>::is_always_lock_free, "lock-free 64-bit atomics");
    return reinterpret_cast<std::atomic<uint64_t>*>(static_cast<char*>(base) + SHAREMEM_OFF_COUNTER);
}
