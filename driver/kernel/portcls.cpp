// The port class library of the stand-in kernel: the adapter device, WaveRT ports,
// subdevice registration, the dispatch entries it installs, and the endpoint registry
// that stands in for the system's list of audio endpoints.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver/kernel/host.h"
#include "platform/endpoints.h"
#include "platform/paths.h"
#include "platform/section.h"
#include "platform/wavert.h"

extern "C" const GUID CLSID_PortWaveRT_K = {0xCC9BE57A, 0xEB9E, 0x42B4, {0x94, 0xFC, 0x0C, 0xAD, 0x3D, 0xBC, 0xE7, 0xFA}};
extern "C" const GUID IID_IMiniportWaveRT_K = {0x0F9FC4D6, 0x6061, 0x4F3C, {0xB1, 0xFC, 0x07, 0x5E, 0x35, 0xF7, 0x96, 0x0A}};
extern "C" const GUID IID_IMiniportWaveRTStream_K;
extern "C" const GUID KSCATEGORY_AUDIO_K = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

namespace {

constexpr int kMaxPorts = 128;
constexpr int kMaxSubdevices = 64;

class PortWaveRT;

struct Subdevice {
    bool used;
    char name[128];
    PortWaveRT* port;
    UNICODE_STRING link; // its audio interface
    char16_t linkBuf[1024];
};

std::mutex g_pcLock;
DEVICE_OBJECT g_fdo;
bool g_fdoLive;
PC_START_DEVICE* g_start;
ULONG g_maxSubdevices;
Subdevice g_sub[kMaxSubdevices];
PortWaveRT* g_ports[kMaxPorts];
int g_portCount;

// The IUnknown of the port's own objects: one reference count; at the last Release the
// object's clean-up (lastRelease), then delete.
template <class Iface, class Self> class PortObject : public Iface {
public:
    NTSTATUS QueryInterface(const IID&, void** out) override {
        if (!out) return STATUS_INVALID_PARAMETER;
        this->AddRef();
        *out = this;
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG n = --refs_;
        if (n == 0) {
            Self* self = static_cast<Self*>(this);
            self->lastRelease();
            delete self;
        }
        return n;
    }

private:
    std::atomic<ULONG> refs_{1};
};

class PortWaveRT final : public PortObject<IPortWaveRT, PortWaveRT> {
public:
    void lastRelease() {
        forget(this);
        if (miniport_) miniport_->Release();
    }
    // Checks the miniport's filter description the way the port class would before it
    // builds a filter factory from it.
    NTSTATUS Init(DEVICE_OBJECT* device, IRP*, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                  void* resourceList) override {
        if (!device || !unknownMiniport) return STATUS_INVALID_PARAMETER;
        IMiniportWaveRT* m = nullptr;
        NTSTATUS st = unknownMiniport->QueryInterface(IID_IMiniportWaveRT_K, reinterpret_cast<void**>(&m));
        if (!NT_SUCCESS(st) || !m) return NT_SUCCESS(st) ? STATUS_INVALID_PARAMETER : st;
        st = m->Init(unknownAdapter, resourceList, this);
        PCFILTER_DESCRIPTOR* d = nullptr;
        if (NT_SUCCESS(st)) st = m->GetDescription(&d);
        if (NT_SUCCESS(st) && !valid(d)) st = STATUS_INVALID_PARAMETER;
        if (!NT_SUCCESS(st)) {
            m->Release();
            return st;
        }
        if (miniport_) miniport_->Release();
        miniport_ = m;
        desc_ = d;
        return STATUS_SUCCESS;
    }
    IMiniportWaveRT* miniport() const { return miniport_; }
    const PCFILTER_DESCRIPTOR* description() const { return desc_; }

private:
    static bool valid(const PCFILTER_DESCRIPTOR* d) {
        if (!d || d->PinCount == 0 || !d->Pins || d->PinSize < sizeof(PCPIN_DESCRIPTOR)) return false;
        for (ULONG i = 0; i < d->PinCount; ++i) {
            const KSPIN_DESCRIPTOR& k = d->Pins[i].KsPinDescriptor;
            if (k.DataRangesCount == 0 || !k.DataRanges) return false;
            for (ULONG r = 0; r < k.DataRangesCount; ++r)
                if (!k.DataRanges[r] || k.DataRanges[r]->FormatSize < sizeof(KSDATARANGE)) return false;
        }
        for (ULONG c = 0; c < d->ConnectionCount; ++c) {
            if (!d->Connections) return false;
            const PCCONNECTION_DESCRIPTOR& x = d->Connections[c];
            auto pinOk = [&](ULONG node, ULONG pin) { return node != PCFILTER_NODE || pin < d->PinCount; };
            if (!pinOk(x.FromNode, x.FromNodePin) || !pinOk(x.ToNode, x.ToNodePin)) return false;
        }
        return true;
    }
    static void forget(PortWaveRT* p) {
        for (int i = 0; i < g_portCount; ++i)
            if (g_ports[i] == p) g_ports[i] = nullptr;
    }
    IMiniportWaveRT* miniport_ = nullptr;
    const PCFILTER_DESCRIPTOR* desc_ = nullptr;
};

// The port's side of one stream: the cyclic buffer's pages are a named section that the
// client maps by name, as the audio stack maps a WaveRT buffer.
class PortStream final : public PortObject<IPortWaveRTStream, PortStream> {
public:
    void lastRelease() { release(); }
    MDL* AllocatePagesForMdl(uint64_t highest, size_t bytes) override {
        // A cyclic buffer is a few seconds of stereo at most; anything larger is refused.
        if (bytes == 0 || bytes > kMaxBuffer || highest < bytes) return nullptr;
        release();
        static std::atomic<uint32_t> serial{0};
        std::snprintf(name_, sizeof name_, "Velunor-wavert-%d-%u", int(::getpid()), ++serial);
        if (!Section_create(name_, bytes, &section_)) return nullptr;
        mdl_ = IoAllocateMdl(section_.base, ULONG(bytes), FALSE, FALSE, nullptr);
        if (!mdl_) release();
        return mdl_;
    }
    void* MapAllocatedPages(MDL* mdl, MEMORY_CACHING_TYPE) override { return mdl && mdl == mdl_ ? mdl->StartVa : nullptr; }
    void UnmapAllocatedPages(void*, MDL*) override {}
    void FreePagesFromMdl(MDL* mdl) override {
        if (mdl && mdl == mdl_) release();
    }
    const char* sectionName() const { return mdl_ ? name_ : ""; }
    // Where n bytes at p lie in the section a client maps (false: not inside it).
    bool offsetOf(const void* p, size_t n, uint32_t* off) const {
        const uint8_t* b = static_cast<const uint8_t*>(section_.base);
        const uint8_t* q = static_cast<const uint8_t*>(p);
        if (!mdl_ || !b || q < b || size_t(q - b) > section_.size || section_.size - size_t(q - b) < n) return false;
        *off = uint32_t(q - b);
        return true;
    }

private:
    // 16 MiB of audio, and the page behind it that holds the stream's position register.
    static constexpr size_t kMaxBuffer = (16u << 20) + 4096u;
    void release() {
        if (mdl_) IoFreeMdl(mdl_);
        mdl_ = nullptr;
        if (section_.base) {
            Section_unlink(name_);
            Section_close(&section_);
        }
        section_ = Section{};
    }
    Section section_;
    MDL* mdl_ = nullptr;
    char name_[120] = "";
};

// What one open filter handle holds: its stream, once created.
struct PinHandle {
    IMiniportWaveRTStream* stream;
    PortStream* port;
    MDL* mdl;
    ULONG bytes;
    PinHandle* next;
};
PinHandle* g_pins; // every open filter handle, so a driver unload can close them first

void closePin(PinHandle* h) {
    if (!h->stream) return;
    h->stream->SetState(KSSTATE_STOP);
    if (h->mdl) h->stream->FreeAudioBuffer(h->mdl, h->bytes);
    h->mdl = nullptr;
    h->stream->Release();
    h->stream = nullptr;
    if (h->port) h->port->Release();
    h->port = nullptr;
}

void endpointId(const char* name, char* out, size_t cap) { std::snprintf(out, cap, "ROOT#VelunorAudio#0000#%s", name); }

// Writes a subdevice's record, keeping a state the user chose (DISABLED) across the
// driver's comings and goings.
void writeEndpoint(const char* name, const char* flow, const char* present, unsigned rate) {
    EndpointRecord r{}, old{};
    endpointId(name, r.id, sizeof r.id);
    std::snprintf(r.name, sizeof r.name, "%s (VelunorAudio)", name);
    std::snprintf(r.flow, sizeof r.flow, "%s", flow);
    const bool disabled = Endpoint_read(r.id, &old) && std::strcmp(old.state, "DISABLED") == 0;
    std::snprintf(r.state, sizeof r.state, "%s", disabled ? "DISABLED" : present);
    r.rate = rate ? rate : old.rate;
    Endpoint_write(r);
}

// The render side of a filter streams into its pin 1 (data flows in from the system).
const char* flowOf(const PortWaveRT* p) {
    const PCFILTER_DESCRIPTOR* d = p ? p->description() : nullptr;
    if (!d || d->PinCount < 2) return "render";
    return d->Pins[1].KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_IN ? "render" : "capture";
}

Subdevice* findSubdevice(const UNICODE_STRING& fileName) {
    char name[160];
    Kernel_narrow(fileName.Buffer, fileName.Length / 2, name, sizeof name);
    const char* n = name[0] == '\\' ? name + 1 : name;
    for (Subdevice& s : g_sub)
        if (s.used && std::strcmp(s.name, n) == 0) return &s;
    return nullptr;
}

NTSTATUS complete(IRP* irp, NTSTATUS st, uintptr_t info) {
    irp->IoStatus.Status = st;
    irp->IoStatus.Information = info;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

// The port class's own dispatch: opens reach the filter of a registered subdevice whose
// endpoint is ACTIVE; requests on such a handle are what the audio stack does with the
// filter's pin.
NTSTATUS pcCreate(DEVICE_OBJECT*, IRP* irp) {
    FILE_OBJECT* f = irp->Stack.FileObject;
    std::lock_guard<std::mutex> g(g_pcLock);
    Subdevice* s = f ? findSubdevice(f->FileName) : nullptr;
    if (!s) return complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
    EndpointRecord r{};
    char id[160];
    endpointId(s->name, id, sizeof id);
    if (!Endpoint_read(id, &r) || std::strcmp(r.state, "ACTIVE") != 0) return complete(irp, STATUS_DEVICE_NOT_READY, 0);
    f->FsContext = s;
    PinHandle* h = new PinHandle{nullptr, nullptr, nullptr, 0, g_pins};
    g_pins = h;
    f->FsContext2 = h;
    return complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS pcClose(DEVICE_OBJECT*, IRP* irp) {
    FILE_OBJECT* f = irp->Stack.FileObject;
    std::lock_guard<std::mutex> g(g_pcLock);
    PinHandle* h = f ? static_cast<PinHandle*>(f->FsContext2) : nullptr;
    if (h) {
        closePin(h);
        for (PinHandle** p = &g_pins; *p; p = &(*p)->next)
            if (*p == h) {
                *p = h->next;
                break;
            }
        delete h;
        f->FsContext2 = nullptr;
    }
    return complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS pcDeviceControl(DEVICE_OBJECT*, IRP* irp) {
    FILE_OBJECT* f = irp->Stack.FileObject;
    const auto& io = irp->Stack.Parameters.DeviceIoControl;
    uint8_t* sys = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    std::lock_guard<std::mutex> g(g_pcLock);
    Subdevice* s = f ? static_cast<Subdevice*>(f->FsContext) : nullptr;
    PinHandle* h = f ? static_cast<PinHandle*>(f->FsContext2) : nullptr;
    if (!s || !h || !s->port || !s->port->miniport()) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    auto u32In = [&](uint32_t* v) {
        if (io.InputBufferLength < 4 || !sys) return false;
        std::memcpy(v, sys, 4);
        return true;
    };
    uint32_t v = 0;
    switch (io.IoControlCode) {
    case WAVERT_IOCTL_FORMAT: {
        ULONG len = 0;
        NTSTATUS st = s->port->miniport()->DataRangeIntersection(1, nullptr, nullptr, io.OutputBufferLength, sys, &len);
        return complete(irp, st, NT_SUCCESS(st) ? len : 0);
    }
    case WAVERT_IOCTL_OPEN: {
        if (!u32In(&v)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
        if (h->stream) return complete(irp, STATUS_UNSUCCESSFUL, 0); // one stream per handle
        PortStream* port = new PortStream();
        IMiniportWaveRTStream* stream = nullptr;
        NTSTATUS st = s->port->miniport()->NewStream(&stream, port, 1, v ? TRUE : FALSE, nullptr);
        if (!NT_SUCCESS(st) || !stream) {
            port->Release();
            return complete(irp, NT_SUCCESS(st) ? STATUS_UNSUCCESSFUL : st, 0);
        }
        h->stream = stream;
        h->port = port;
        return complete(irp, STATUS_SUCCESS, 0);
    }
    case WAVERT_IOCTL_ALLOCATE: {
        if (!h->stream || !u32In(&v)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
        if (io.OutputBufferLength < sizeof(WaveRtBuffer)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        if (h->mdl) { // a new buffer replaces the old one, never while it plays
            h->stream->SetState(KSSTATE_STOP);
            h->stream->FreeAudioBuffer(h->mdl, h->bytes);
            h->mdl = nullptr;
        }
        MDL* mdl = nullptr;
        ULONG actual = 0, offset = 0;
        MEMORY_CACHING_TYPE cache = MmCached;
        NTSTATUS st = h->stream->AllocateAudioBuffer(v, &mdl, &actual, &offset, &cache);
        if (!NT_SUCCESS(st)) return complete(irp, st, 0);
        h->mdl = mdl;
        h->bytes = actual;
        WaveRtBuffer b{};
        b.bytes = actual;
        b.offset = offset;
        std::snprintf(b.section, sizeof b.section, "%s", h->port->sectionName());
        std::memcpy(sys, &b, sizeof b);
        return complete(irp, STATUS_SUCCESS, sizeof b);
    }
    case WAVERT_IOCTL_FREE:
        if (!h->stream) return complete(irp, STATUS_INVALID_PARAMETER, 0);
        h->stream->SetState(KSSTATE_STOP);
        if (h->mdl) h->stream->FreeAudioBuffer(h->mdl, h->bytes);
        h->mdl = nullptr;
        return complete(irp, STATUS_SUCCESS, 0);
    case WAVERT_IOCTL_STATE:
        if (!h->stream || !u32In(&v) || v > KSSTATE_RUN) return complete(irp, STATUS_INVALID_PARAMETER, 0);
        return complete(irp, h->stream->SetState(KSSTATE(v)), 0);
    case WAVERT_IOCTL_REGISTER: {
        // The position register the client reads in the buffer's section, as the audio
        // stack maps a WaveRT stream's register into its client.
        if (!h->stream || !h->mdl) return complete(irp, STATUS_INVALID_PARAMETER, 0);
        if (io.OutputBufferLength < sizeof(WaveRtRegisterPlace)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KSRTAUDIO_HWREGISTER r{};
        NTSTATUS st = h->stream->GetPositionRegister(&r);
        WaveRtRegisterPlace place{};
        if (!NT_SUCCESS(st) || !h->port->offsetOf(r.Register, sizeof(WaveRtRegister), &place.offset))
            return complete(irp, NT_SUCCESS(st) ? STATUS_UNSUCCESSFUL : st, 0);
        place.bytes = sizeof(WaveRtRegister);
        std::memcpy(sys, &place, sizeof place);
        return complete(irp, STATUS_SUCCESS, sizeof place);
    }
    case WAVERT_IOCTL_POSITION: {
        if (!h->stream) return complete(irp, STATUS_INVALID_PARAMETER, 0);
        if (io.OutputBufferLength < sizeof(WaveRtPosition)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        KSAUDIO_POSITION pos{};
        NTSTATUS st = h->stream->GetPosition(&pos);
        WaveRtPosition p{uint32_t(pos.PlayOffset), uint32_t(pos.WriteOffset)};
        std::memcpy(sys, &p, sizeof p);
        return complete(irp, st, sizeof p);
    }
    default:
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}
NTSTATUS pcPnp(DEVICE_OBJECT* device, IRP* irp) {
    if (irp->Stack.MinorFunction != 0x00) return complete(irp, STATUS_SUCCESS, 0);
    PC_START_DEVICE* start = g_start;
    NTSTATUS st = start ? start(device, irp, nullptr) : STATUS_UNSUCCESSFUL;
    return complete(irp, st, 0);
}


}  // namespace

// ---- port class calls ----
NTSTATUS PcInitializeAdapterDriver(DRIVER_OBJECT* driver, PUNICODE_STRING, DRIVER_ADD_DEVICE* addDevice) {
    if (!driver || !driver->DriverExtension || !addDevice) return STATUS_INVALID_PARAMETER;
    driver->DriverExtension->AddDevice = addDevice;
    PortCls_installDispatch(driver);
    driver->DriverUnload = [](DRIVER_OBJECT*) {}; // the port class's own unload: nothing of its own to free
    return STATUS_SUCCESS;
}

void PortCls_installDispatch(DRIVER_OBJECT* driver) {
    driver->MajorFunction[IRP_MJ_CREATE] = pcCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = pcClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = pcDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = pcPnp;
}

NTSTATUS PcAddAdapterDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo, PC_START_DEVICE* startDevice,
                            ULONG maxObjects, ULONG) {
    std::lock_guard<std::mutex> g(g_pcLock);
    if (!driver || !pdo || !startDevice || g_fdoLive) return STATUS_INVALID_PARAMETER;
    g_fdo = DEVICE_OBJECT{};
    g_fdo.DriverObject = driver;
    g_fdo.AttachedTo = pdo;
    driver->DeviceObject = &g_fdo;
    g_fdoLive = true;
    g_start = startDevice;
    g_maxSubdevices = maxObjects > kMaxSubdevices ? kMaxSubdevices : maxObjects;
    return STATUS_SUCCESS;
}

DEVICE_OBJECT* Kernel_adapterDevice() { return g_fdoLive ? &g_fdo : nullptr; }
PC_START_DEVICE* PortCls_startRoutine() { return g_start; }

NTSTATUS PcNewPort(IPortWaveRT** port, const CLSID& classId) {
    if (!port) return STATUS_INVALID_PARAMETER;
    *port = nullptr;
    if (!IsEqualGUID(classId, CLSID_PortWaveRT_K)) return STATUS_NOT_IMPLEMENTED;
    std::lock_guard<std::mutex> g(g_pcLock);
    if (g_portCount == kMaxPorts) {
        // Reuse the slots of released ports.
        int w = 0;
        for (int i = 0; i < g_portCount; ++i)
            if (g_ports[i]) g_ports[w++] = g_ports[i];
        g_portCount = w;
        if (g_portCount == kMaxPorts) return STATUS_INSUFFICIENT_RESOURCES;
    }
    PortWaveRT* p = new PortWaveRT();
    g_ports[g_portCount++] = p;
    *port = p;
    return STATUS_SUCCESS;
}

IMiniportWaveRT* PortCls_miniport(int index) {
    std::lock_guard<std::mutex> g(g_pcLock);
    return index >= 0 && index < g_portCount && g_ports[index] ? g_ports[index]->miniport() : nullptr;
}

NTSTATUS PcRegisterSubdevice(DEVICE_OBJECT* device, const char16_t* name, PUNKNOWN unknown) {
    if (!device || !name || !unknown) return STATUS_INVALID_PARAMETER;
    Subdevice* s = nullptr;
    {
        std::lock_guard<std::mutex> g(g_pcLock);
        int used = 0;
        for (Subdevice& x : g_sub) used += x.used ? 1 : 0;
        if (ULONG(used) >= g_maxSubdevices) return STATUS_INSUFFICIENT_RESOURCES;
        for (Subdevice& x : g_sub)
            if (!x.used) {
                s = &x;
                break;
            }
        if (!s) return STATUS_INSUFFICIENT_RESOURCES;
        size_t n = 0;
        while (name[n] && n < 127) ++n;
        Kernel_narrow(name, n, s->name, sizeof s->name);
        s->port = static_cast<PortWaveRT*>(static_cast<IPortWaveRT*>(unknown));
        s->port->AddRef();
        s->used = true;
    }
    UNICODE_STRING ref;
    RtlInitUnicodeString(&ref, name);
    UNICODE_STRING link{};
    if (NT_SUCCESS(IoRegisterDeviceInterface(device->AttachedTo ? device->AttachedTo : device, &KSCATEGORY_AUDIO_K,
                                             &ref, &link))) {
        IoSetDeviceInterfaceState(&link, TRUE);
        RtlFreeUnicodeString(&link);
    }
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE fmt{};
    ULONG len = 0;
    IMiniportWaveRT* m = s->port->miniport();
    const bool haveRate = m && NT_SUCCESS(m->DataRangeIntersection(1, nullptr, nullptr, sizeof fmt, &fmt, &len));
    writeEndpoint(s->name, flowOf(s->port), "ACTIVE", haveRate ? fmt.WaveFormatExt.Format.nSamplesPerSec : 0);
    return STATUS_SUCCESS;
}

void PortCls_closeStreams() {
    std::lock_guard<std::mutex> g(g_pcLock);
    // Requests on these handles never reach a driver again (the I/O manager sees the
    // unload), so their records go now.
    while (PinHandle* h = g_pins) {
        g_pins = h->next;
        closePin(h);
        delete h;
    }
}

void PortCls_removeDevice() {
    std::lock_guard<std::mutex> g(g_pcLock);
    for (Subdevice& s : g_sub) {
        if (!s.used) continue;
        writeEndpoint(s.name, flowOf(s.port), "NOT_PRESENT", 0); // gone; a user's DISABLED is kept
        if (s.port) s.port->Release();
        s = Subdevice{};
    }
    g_fdoLive = false;
    g_start = nullptr;
}

