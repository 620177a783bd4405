#include "tools/asiohost/wavfile.h"

#include <cmath>
#include <cstring>
#include <new>

static uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
static uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

static bool fail(char* err, size_t cap, const char* why) {
    if (err && cap) std::snprintf(err, cap, "%s", why);
    return false;
}

bool Wav_read(const char* path, uint64_t maxSamples, WavData* out, char* err, size_t errCap) {
    *out = WavData{};
    FILE* f = std::fopen(path, "rb");
    if (!f) return fail(err, errCap, "cannot open the file");
    uint8_t riff[12];
    if (std::fread(riff, 1, 12, f) != 12 || std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
        std::fclose(f);
        return fail(err, errCap, "not a RIFF WAVE file");
    }
    uint16_t format = 0, channels = 0, bits = 0;
    uint32_t rate = 0;
    bool haveFmt = false;
    for (;;) {
        uint8_t ch[8];
        if (std::fread(ch, 1, 8, f) != 8) {
            std::fclose(f);
            return fail(err, errCap, "no data chunk");
        }
        uint32_t size = le32(ch + 4);
        if (std::memcmp(ch, "fmt ", 4) == 0) {
            uint8_t fmt[40] = {};
            if (size < 16 || size > sizeof fmt || std::fread(fmt, 1, size, f) != size) {
                std::fclose(f);
                return fail(err, errCap, "bad fmt chunk");
            }
            format = le16(fmt);
            channels = le16(fmt + 2);
            rate = le32(fmt + 4);
            bits = le16(fmt + 14);
            if (format == 0xFFFE && size >= 26) format = le16(fmt + 24); // extensible: the sub-format's tag
            haveFmt = true;
            if (size & 1) std::fseek(f, 1, SEEK_CUR);
            continue;
        }
        if (std::memcmp(ch, "data", 4) != 0) {
            if (std::fseek(f, long(size) + long(size & 1), SEEK_CUR) != 0) {
                std::fclose(f);
                return fail(err, errCap, "truncated chunk");
            }
            continue;
        }
        if (!haveFmt) {
            std::fclose(f);
            return fail(err, errCap, "data before fmt");
        }
        const bool pcm = format == 1 && (bits == 16 || bits == 24 || bits == 32);
        const bool flt = format == 3 && bits == 32;
        if ((!pcm && !flt) || channels < 1 || channels > 64 || rate == 0) {
            std::fclose(f);
            return fail(err, errCap, "unsupported format (integer PCM 16/24/32 or float 32)");
        }
        const uint32_t bytes = bits / 8u;
        const uint64_t frames = size / (uint64_t(bytes) * channels);
        if (frames * channels > maxSamples) {
            std::fclose(f);
            return fail(err, errCap, "file too long");
        }
        int32_t* s = new (std::nothrow) int32_t[frames * channels + 1];
        uint8_t* raw = new (std::nothrow) uint8_t[size_t(frames * channels * bytes) + 1];
        if (!s || !raw) {
            delete[] s;
            delete[] raw;
            std::fclose(f);
            return fail(err, errCap, "out of memory");
        }
        const size_t want = size_t(frames * channels * bytes);
        const size_t got = std::fread(raw, 1, want, f);
        const uint64_t n = got / bytes;
        for (uint64_t i = 0; i < n; i++) {
            const uint8_t* p = raw + i * bytes;
            if (flt) {
                float v;
                std::memcpy(&v, p, 4);
                double d = std::isfinite(v) ? double(v) : 0.0;
                d = d > 1.0 ? 1.0 : (d < -1.0 ? -1.0 : d);
                s[i] = d >= 1.0 ? INT32_MAX : int32_t(std::lrint(d * 2147483648.0));
            } else if (bytes == 2) {
                s[i] = int32_t(uint32_t(le16(p)) << 16);
            } else if (bytes == 3) {
                s[i] = int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
            } else {
                s[i] = int32_t(le32(p));
            }
        }
        delete[] raw;
        std::fclose(f);
        out->samples = s;
        out->frames = n / channels;
        out->channels = channels;
        out->rate = rate;
        return true;
    }
}

void Wav_free(WavData* w) {
    delete[] w->samples;
    *w = WavData{};
}

static void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
static void put32le(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

bool Wav_write(const char* path, const int32_t* samples, uint64_t frames, int channels, uint32_t rate, int bits) {
    if (bits != 16 && bits != 24 && bits != 32) return false;
    const uint32_t bytes = uint32_t(bits) / 8u;
    const uint64_t dataSize = frames * uint64_t(channels) * bytes;
    if (dataSize > 0xFFFFFFF0ull - 36) return false;
    char tmp[4200];
    if (std::snprintf(tmp, sizeof tmp, "%s.tmp", path) >= int(sizeof tmp)) return false;
    FILE* f = std::fopen(tmp, "wb");
    if (!f) return false;
    uint8_t h[44];
    std::memcpy(h, "RIFF", 4);
    put32le(h + 4, uint32_t(36 + dataSize));
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32le(h + 16, 16);
    put16(h + 20, 1);
    put16(h + 22, uint16_t(channels));
    put32le(h + 24, rate);
    put32le(h + 28, rate * uint32_t(channels) * bytes);
    put16(h + 32, uint16_t(uint32_t(channels) * bytes));
    put16(h + 34, uint16_t(bits));
    std::memcpy(h + 36, "data", 4);
    put32le(h + 40, uint32_t(dataSize));
    bool ok = std::fwrite(h, 1, 44, f) == 44;
    uint8_t buf[4096];
    size_t fill = 0;
    for (uint64_t i = 0; ok && i < frames * uint64_t(channels); i++) {
        uint32_t v = uint32_t(samples[i]);
        for (uint32_t b = 0; b < bytes; b++) buf[fill++] = uint8_t(v >> (8 * (4 - bytes + b)));
        if (fill + 4 > sizeof buf) {
            ok = std::fwrite(buf, 1, fill, f) == fill;
            fill = 0;
        }
    }
    if (ok && fill) ok = std::fwrite(buf, 1, fill, f) == fill;
    ok = (std::fclose(f) == 0) && ok;
    if (ok) ok = std::rename(tmp, path) == 0;
    if (!ok) std::remove(tmp);
    return ok;
}
