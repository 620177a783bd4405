// RIFF WAVE files for asiohost: integer PCM of 16, 24 or 32 bits and 32-bit float
// (plain or extensible headers) read into left-justified 32-bit samples; written as
// integer PCM.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct WavData {
    int32_t* samples = nullptr; // frames x channels, interleaved, left-justified
    uint64_t frames = 0;
    int channels = 0;
    uint32_t rate = 0;
};

// Reads the whole file (at most maxSamples samples). On failure returns false and
// writes the reason into err.
bool Wav_read(const char* path, uint64_t maxSamples, WavData* out, char* err, size_t errCap);
void Wav_free(WavData* w);

// Writes frames x channels left-justified samples as bits-bit PCM (16, 24 or 32).
bool Wav_write(const char* path, const int32_t* samples, uint64_t frames, int channels, uint32_t rate, int bits);
