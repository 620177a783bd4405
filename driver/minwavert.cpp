// The WaveRT miniports: 64 static objects, one per subdevice, with the filter and pin
// descriptions, the data ranges and the one stream format (2 channels of 32-bit PCM at
// the engine's rate).
#include <atomic>
#include <cstring>

#include "driver/driver.h"

extern "C" const GUID IID_IUnknown_K = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
extern "C" const GUID IID_IMiniport_K = {0xB4C90A24, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
extern "C" const GUID IID_IMiniportWaveRT_K;

namespace {

const GUID KSDATAFORMAT_TYPE_AUDIO = {0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID KSDATAFORMAT_SUBTYPE_PCM = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID KSDATAFORMAT_SPECIFIER_NONE = {0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID KSDATAFORMAT_SPECIFIER_WAVEFORMATEX = {0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
const GUID KSNODETYPE_LEGACY_AUDIO_CONNECTOR = {0xDFF21FE4, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
const GUID KSCATEGORY_AUDIO = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

const KSDATARANGE kBridgeRange = {sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
                                  KSDATAFORMAT_SPECIFIER_NONE};
// The rate fields follow the engine: written at its start, read by every filter.
KSDATARANGE_AUDIO g_streamRange = {
    {sizeof(KSDATARANGE_AUDIO), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
     KSDATAFORMAT_SPECIFIER_WAVEFORMATEX},
    2, 32, 32, 48000, 48000, 0};
const KSDATARANGE* const kBridgeRanges[] = {&kBridgeRange};
const KSDATARANGE* const kStreamRanges[] = {&g_streamRange.DataRange};

KSDATAFORMAT_WAVEFORMATEXTENSIBLE g_format = {
    {sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
     KSDATAFORMAT_SPECIFIER_WAVEFORMATEX},
    {{0xFFFE, 2, 48000, 48000 * 8, 8, 32, 22}, 32, 3, KSDATAFORMAT_SUBTYPE_PCM}};

constexpr ULONG kSubdeviceLimit = 1; // streaming pin: one instance globally and per filter

// Pin 0 bridge, pin 1 streaming; render streams in and bridges out, capture the reverse.
void makeDescriptor(PCPIN_DESCRIPTOR* p, PCCONNECTION_DESCRIPTOR* conn, PCFILTER_DESCRIPTOR* d, bool render,
                    const GUID* bridgeName) {
    p[0] = PCPIN_DESCRIPTOR{0, 0, 0, nullptr,
                            KSPIN_DESCRIPTOR{0, nullptr, 0, nullptr, 1, kBridgeRanges,
                                             render ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE,
                                             &KSNODETYPE_LEGACY_AUDIO_CONNECTOR, bridgeName}};
    p[1] = PCPIN_DESCRIPTOR{kSubdeviceLimit, kSubdeviceLimit, 0, nullptr,
                            KSPIN_DESCRIPTOR{0, nullptr, 0, nullptr, 1, kStreamRanges,
                                             render ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT,
                                             KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, nullptr}};
    *conn = render ? PCCONNECTION_DESCRIPTOR{PCFILTER_NODE, 1, PCFILTER_NODE, 0}
                   : PCCONNECTION_DESCRIPTOR{PCFILTER_NODE, 0, PCFILTER_NODE, 1};
    *d = PCFILTER_DESCRIPTOR{0, nullptr, sizeof(PCPIN_DESCRIPTOR), 2, p, 0, 0, nullptr, 1, conn, 0, nullptr};
}

class MiniportWaveRT : public IMiniportWaveRT {
public:
    void create(int index) {
        if (initialised_) return;
        initialised_ = 1;
        index_ = index;
        // {11223344-5566-7788-99AA-BBCCDDEEFFnn}: each filter names its own pair.
        bridgeName_ = GUID{0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, uint8_t(index / 2)}};
        makeDescriptor(pins_, &conn_, &desc_, index % 2 == 0, &bridgeName_);
    }
    NTSTATUS QueryInterface(const IID& iid, void** out) override {
        if (!out) return STATUS_UNSUCCESSFUL;
        if (IsEqualGUID(iid, IID_IUnknown_K) || IsEqualGUID(iid, IID_IMiniport_K) ||
            IsEqualGUID(iid, IID_IMiniportWaveRT_K)) {
            *out = this;
            AddRef();
            return STATUS_SUCCESS;
        }
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ULONG(++refs_); }
    ULONG Release() override { return ULONG(--refs_); } // static: never freed
    NTSTATUS GetDescription(PCFILTER_DESCRIPTOR** d) override {
        if (!d) return STATUS_INVALID_PARAMETER;
        *d = &desc_;
        return STATUS_SUCCESS;
    }
    // Whatever is offered, the answer is the one stream format.
    NTSTATUS DataRangeIntersection(ULONG, const KSDATARANGE*, const KSDATARANGE*, ULONG outLen, void* result,
                                   ULONG* resultLen) override {
        if (!resultLen) return STATUS_INVALID_PARAMETER;
        if (outLen == 0) {
            *resultLen = sizeof g_format;
            return STATUS_BUFFER_OVERFLOW;
        }
        if (outLen < sizeof g_format || !result) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(result, &g_format, sizeof g_format);
        *resultLen = sizeof g_format;
        return STATUS_SUCCESS;
    }
    NTSTATUS Init(PUNKNOWN, void*, void*) override { return STATUS_SUCCESS; }
    // The pin and the requested format are not examined: the format is fixed.
    NTSTATUS NewStream(IMiniportWaveRTStream** stream, IPortWaveRTStream* port, ULONG, BOOLEAN capture,
                       const KSDATAFORMAT*) override {
        return WaveRtStream_new(index_, stream, port, capture);
    }
    NTSTATUS GetDeviceDescription(DEVICE_DESCRIPTION* d) override {
        if (!d) return STATUS_INVALID_PARAMETER;
        std::memset(d, 0, sizeof *d);
        d->Master = TRUE;
        d->ScatterGather = TRUE;
        d->Dma32BitAddresses = TRUE;
        d->MaximumLength = 0xFFFFFFFF;
        return STATUS_SUCCESS;
    }

private:
    uint8_t initialised_ = 0;
    int index_ = 0;
    std::atomic<int32_t> refs_{0};
    GUID bridgeName_{};
    PCPIN_DESCRIPTOR pins_[2]{};
    PCCONNECTION_DESCRIPTOR conn_{};
    PCFILTER_DESCRIPTOR desc_{};
};

MiniportWaveRT g_miniports[SUBDEVICE_COUNT];

}  // namespace

IMiniportWaveRT* MiniportWaveRT_get(int index) {
    if (index < 0 || index >= SUBDEVICE_COUNT) return nullptr;
    g_miniports[index].create(index);
    g_miniports[index].AddRef();
    return &g_miniports[index];
}

void MiniportWaveRT_setSampleRate(uint32_t rate) {
    g_format.WaveFormatExt.Format.nSamplesPerSec = rate;
    g_format.WaveFormatExt.Format.nAvgBytesPerSec = rate * 8;
    g_streamRange.MinimumSampleFrequency = rate;
    g_streamRange.MaximumSampleFrequency = rate;
}

const KSDATAFORMAT_WAVEFORMATEXTENSIBLE* MiniportWaveRT_format() { return &g_format; }
