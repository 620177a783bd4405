// The kernel calls that VelunorAudio is written against, with the shapes the driver
// expects of them: status codes, counted UTF-16 strings, the driver object with its
// dispatch table, device objects, IRPs with one stack location, fast mutexes, the
// high-resolution executive timer, memory descriptor lists, the port class library with
// WaveRT ports, the framework's miniport-mode driver object and Winsock Kernel.
//
// velunor-kernel (driver/kernel/host.cpp) provides them to the driver library it loads;
// the implementations live in driver/kernel/*.cpp and are the only code under driver/
// that touches the operating system.
#pragma once
#include <cstddef>
#include <cstdint>

#define VELUNOR_KAPI extern "C" __attribute__((visibility("default")))

// ---- status and basic types ----
typedef int32_t NTSTATUS;
typedef uint8_t BOOLEAN;
typedef uint32_t ULONG;
typedef uint16_t USHORT;
typedef void* PVOID;
#define TRUE 1
#define FALSE 0

#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_PENDING ((NTSTATUS)0x00000103)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000E)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009A)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009D)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011)
#define STATUS_HOST_UNREACHABLE ((NTSTATUS)0xC000023D)
#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    const uint8_t* x = reinterpret_cast<const uint8_t*>(&a);
    const uint8_t* y = reinterpret_cast<const uint8_t*>(&b);
    for (int i = 0; i < 16; ++i)
        if (x[i] != y[i]) return false;
    return true;
}
typedef GUID CLSID;
typedef GUID IID;

struct UNICODE_STRING {
    USHORT Length;        // bytes, without a terminator
    USHORT MaximumLength; // bytes
    char16_t* Buffer;
};
typedef UNICODE_STRING* PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

VELUNOR_KAPI void RtlInitUnicodeString(UNICODE_STRING* dst, const char16_t* src);
VELUNOR_KAPI long RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
VELUNOR_KAPI void RtlCopyUnicodeString(UNICODE_STRING* dst, PCUNICODE_STRING src);
VELUNOR_KAPI void RtlFreeUnicodeString(UNICODE_STRING* s);

// ---- pool ----
#define POOL_FLAG_NON_PAGED 0x40ULL
VELUNOR_KAPI void* ExAllocatePool2(uint64_t flags, size_t bytes, ULONG tag); // zeroed
VELUNOR_KAPI void ExFreePoolWithTag(void* p, ULONG tag);

// ---- objects, IRPs ----
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b
#define IO_NO_INCREMENT 0

#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 1
#define FILE_WRITE_ACCESS 2
#define CTL_CODE(type, function, method, access) (((type) << 16) | ((access) << 14) | ((function) << 2) | (method))

struct DRIVER_OBJECT;
struct DEVICE_OBJECT;
struct IRP;
typedef NTSTATUS DRIVER_DISPATCH(DEVICE_OBJECT* device, IRP* irp);
typedef void DRIVER_UNLOAD(DRIVER_OBJECT* driver);
typedef NTSTATUS DRIVER_ADD_DEVICE(DRIVER_OBJECT* driver, DEVICE_OBJECT* physicalDevice);
typedef NTSTATUS DRIVER_INITIALIZE(DRIVER_OBJECT* driver, PUNICODE_STRING registryPath);
typedef NTSTATUS IO_COMPLETION_ROUTINE(DEVICE_OBJECT* device, IRP* irp, void* context);

struct DRIVER_EXTENSION {
    DRIVER_OBJECT* DriverObject;
    DRIVER_ADD_DEVICE* AddDevice;
};
struct DRIVER_OBJECT {
    DEVICE_OBJECT* DeviceObject;
    DRIVER_EXTENSION* DriverExtension;
    UNICODE_STRING DriverName;
    DRIVER_UNLOAD* DriverUnload;
    DRIVER_DISPATCH* MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};
struct DEVICE_OBJECT {
    DRIVER_OBJECT* DriverObject;
    DEVICE_OBJECT* NextDevice;
    DEVICE_OBJECT* AttachedTo; // the physical device object under a functional one
    void* DeviceExtension;
    ULONG Flags;
};

struct FILE_OBJECT {
    UNICODE_STRING FileName;
    void* FsContext;  // the owner of the open (the port class keeps its filter here)
    void* FsContext2;
};

struct IO_STACK_LOCATION {
    uint8_t MajorFunction;
    uint8_t MinorFunction;
    FILE_OBJECT* FileObject;
    DEVICE_OBJECT* DeviceObject;
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            void* Type3InputBuffer;
        } DeviceIoControl;
    } Parameters;
    IO_COMPLETION_ROUTINE* CompletionRoutine;
    void* Context;
};

struct IO_STATUS_BLOCK {
    NTSTATUS Status;
    uintptr_t Information;
};

struct IRP {
    IO_STATUS_BLOCK IoStatus;
    union {
        void* SystemBuffer;
    } AssociatedIrp;
    IO_STACK_LOCATION Stack; // one location is all this system's requests need
    BOOLEAN Completed;
    BOOLEAN Cancel;
};

inline IO_STACK_LOCATION* IoGetCurrentIrpStackLocation(IRP* irp) { return &irp->Stack; }
inline IO_STACK_LOCATION* IoGetNextIrpStackLocation(IRP* irp) { return &irp->Stack; }
VELUNOR_KAPI void IofCompleteRequest(IRP* irp, int priorityBoost);
#define IoCompleteRequest IofCompleteRequest
VELUNOR_KAPI IRP* IoAllocateIrp(int stackSize, BOOLEAN chargeQuota);
VELUNOR_KAPI void IoFreeIrp(IRP* irp);
VELUNOR_KAPI void IoReuseIrp(IRP* irp, NTSTATUS status);
VELUNOR_KAPI void IoSetCompletionRoutine(IRP* irp, IO_COMPLETION_ROUTINE* routine, void* context, BOOLEAN onSuccess,
                                         BOOLEAN onError, BOOLEAN onCancel);
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016)

// ---- memory descriptor lists ----
struct MDL {
    MDL* Next;
    void* StartVa;
    ULONG ByteCount;
    ULONG MdlFlags;
};
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define HighPagePriority 32
#define MdlMappingNoExecute 0x40000000
VELUNOR_KAPI MDL* IoAllocateMdl(void* va, ULONG length, BOOLEAN secondary, BOOLEAN chargeQuota, IRP* irp);
VELUNOR_KAPI void IoFreeMdl(MDL* mdl);
VELUNOR_KAPI void MmBuildMdlForNonPagedPool(MDL* mdl);
VELUNOR_KAPI void* MmGetSystemAddressForMdlSafe(MDL* mdl, ULONG priority);

// ---- events and waits ----
struct KEVENT {
    volatile int32_t Signalled;
    alignas(16) uint8_t Impl[128]; // the host's lock and condition, in place
};
enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };
VELUNOR_KAPI void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state);
VELUNOR_KAPI long KeSetEvent(KEVENT* event, long increment, BOOLEAN wait);
VELUNOR_KAPI void KeClearEvent(KEVENT* event);
VELUNOR_KAPI NTSTATUS KeWaitForSingleObject(KEVENT* event, int reason, int mode, BOOLEAN alertable, int64_t* timeout);
#define Executive 0
#define KernelMode 0

// ---- fast mutex ----
struct FAST_MUTEX {
    uint8_t Opaque[64]; // the host's mutex
};
VELUNOR_KAPI void ExInitializeFastMutex(FAST_MUTEX* m);
VELUNOR_KAPI void ExAcquireFastMutex(FAST_MUTEX* m);
VELUNOR_KAPI void ExReleaseFastMutex(FAST_MUTEX* m);

// ---- clock and the high-resolution timer ----
VELUNOR_KAPI int64_t KeQueryPerformanceCounter(int64_t* frequency);

struct EX_TIMER;
typedef void EXT_CALLBACK(EX_TIMER* timer, void* context);
struct EXT_SET_PARAMETERS {
    ULONG Version;
    int64_t NoWakeTolerance;
};
struct EXT_DELETE_PARAMETERS {
    ULONG Version;
    void (*DeleteCallback)(void* context);
    void* DeleteContext;
};
#define EX_TIMER_HIGH_RESOLUTION 0x4
VELUNOR_KAPI EX_TIMER* ExAllocateTimer(EXT_CALLBACK* callback, void* context, ULONG attributes);
// dueTime: negative = relative, in 100 ns units; period in 100 ns units (0 = once).
VELUNOR_KAPI BOOLEAN ExSetTimer(EX_TIMER* timer, int64_t dueTime, int64_t period, EXT_SET_PARAMETERS* params);
VELUNOR_KAPI BOOLEAN ExCancelTimer(EX_TIMER* timer, void* params);
// Cancels (cancel TRUE), waits for a running callback (wait TRUE) and frees the timer.
VELUNOR_KAPI BOOLEAN ExDeleteTimer(EX_TIMER* timer, BOOLEAN cancel, BOOLEAN wait, EXT_DELETE_PARAMETERS* params);
inline void ExInitializeSetTimerParameters(EXT_SET_PARAMETERS* p) { *p = EXT_SET_PARAMETERS{0, 0}; }
inline void ExInitializeDeleteTimerParameters(EXT_DELETE_PARAMETERS* p) { *p = EXT_DELETE_PARAMETERS{0, nullptr, nullptr}; }

// ---- I/O manager: device interfaces ----
VELUNOR_KAPI NTSTATUS IoRegisterDeviceInterface(DEVICE_OBJECT* physicalDevice, const GUID* classGuid,
                                                PCUNICODE_STRING referenceString, UNICODE_STRING* symbolicLinkName);
VELUNOR_KAPI NTSTATUS IoSetDeviceInterfaceState(PCUNICODE_STRING symbolicLinkName, BOOLEAN enable);

// ---- the framework in miniport mode ----
typedef struct WDFDRIVER__* WDFDRIVER;
typedef struct WDFOBJECT__* WDFOBJECT;
typedef void EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT object);
enum WDF_EXECUTION_LEVEL { WdfExecutionLevelInvalid, WdfExecutionLevelInheritFromParent };
enum WDF_SYNCHRONIZATION_SCOPE { WdfSynchronizationScopeInvalid, WdfSynchronizationScopeInheritFromParent };
struct WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    EVT_WDF_OBJECT_CONTEXT_CLEANUP* EvtCleanupCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
};
#define WdfDriverInitNoDispatchOverride 0x00000002
struct WDF_DRIVER_CONFIG {
    ULONG Size;
    void* EvtDriverDeviceAdd;
    void* EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
};
inline void WDF_OBJECT_ATTRIBUTES_INIT(WDF_OBJECT_ATTRIBUTES* a) {
    *a = WDF_OBJECT_ATTRIBUTES{sizeof(WDF_OBJECT_ATTRIBUTES), nullptr, WdfExecutionLevelInheritFromParent,
                               WdfSynchronizationScopeInheritFromParent};
}
inline void WDF_DRIVER_CONFIG_INIT(WDF_DRIVER_CONFIG* c, void* deviceAdd) {
    *c = WDF_DRIVER_CONFIG{sizeof(WDF_DRIVER_CONFIG), deviceAdd, nullptr, 0, 0};
}
VELUNOR_KAPI NTSTATUS WdfDriverCreate(DRIVER_OBJECT* driver, PCUNICODE_STRING registryPath,
                                      WDF_OBJECT_ATTRIBUTES* attributes, WDF_DRIVER_CONFIG* config, WDFDRIVER* out);
// Deletes the framework driver object; its clean-up callback runs.
VELUNOR_KAPI void WdfDriverMiniportUnload(WDFDRIVER driver);
VELUNOR_KAPI WDFDRIVER WdfGetDriver();

// ---- kernel streaming and port class ----
struct IUnknown {
    virtual NTSTATUS QueryInterface(const IID& iid, void** out) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
};
typedef IUnknown* PUNKNOWN;

struct KSIDENTIFIER {
    GUID Set;
    ULONG Id;
    ULONG Flags;
};
struct KSDATAFORMAT { // also KSDATARANGE
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
};
typedef KSDATAFORMAT KSDATARANGE;
static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT is 64 bytes");
struct KSDATARANGE_AUDIO {
    KSDATARANGE DataRange;
    ULONG MaximumChannels;
    ULONG MinimumBitsPerSample;
    ULONG MaximumBitsPerSample;
    ULONG MinimumSampleFrequency;
    ULONG MaximumSampleFrequency;
    ULONG Pad; // keeps the record at the 88 bytes the range's size reports
};
static_assert(sizeof(KSDATARANGE_AUDIO) == 88, "KSDATARANGE_AUDIO is 88 bytes");

#pragma pack(push, 1)
struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
struct WAVEFORMATEXTENSIBLE {
    WAVEFORMATEX Format;
    uint16_t wValidBitsPerSample;
    uint32_t dwChannelMask;
    GUID SubFormat;
};
struct KSDATAFORMAT_WAVEFORMATEXTENSIBLE {
    KSDATAFORMAT DataFormat;
    WAVEFORMATEXTENSIBLE WaveFormatExt;
};
#pragma pack(pop)
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) == 104, "the stream format is 104 bytes");

enum KSPIN_DATAFLOW { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT = 2 };
enum KSPIN_COMMUNICATION { KSPIN_COMMUNICATION_NONE = 0, KSPIN_COMMUNICATION_SINK = 1 };
#define PCFILTER_NODE ULONG(-1)

struct KSPIN_DESCRIPTOR {
    ULONG InterfacesCount;
    const void* Interfaces;
    ULONG MediumsCount;
    const void* Mediums;
    ULONG DataRangesCount;
    const KSDATARANGE* const* DataRanges;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    const GUID* Category;
    const GUID* Name;
};
struct PCPIN_DESCRIPTOR {
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const void* AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
};
struct PCCONNECTION_DESCRIPTOR {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
};
struct PCFILTER_DESCRIPTOR {
    ULONG Version;
    const void* AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR* Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const void* Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR* Connections;
    ULONG CategoryCount;
    const GUID* Categories;
};

struct DEVICE_DESCRIPTION {
    ULONG Version;
    BOOLEAN Master;
    BOOLEAN ScatterGather;
    BOOLEAN DemandMode;
    BOOLEAN AutoInitialize;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN IgnoreCount;
    BOOLEAN Reserved1;
    BOOLEAN Dma64BitAddresses;
    ULONG BusNumber;
    ULONG DmaChannel;
    ULONG InterfaceType;
    ULONG DmaWidth;
    ULONG DmaSpeed;
    ULONG MaximumLength;
    ULONG DmaPort;
};

typedef int KSSTATE;
#define KSSTATE_STOP 0
#define KSSTATE_ACQUIRE 1
#define KSSTATE_PAUSE 2
#define KSSTATE_RUN 3
enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1 };
struct KSAUDIO_POSITION {
    uint64_t PlayOffset;
    uint64_t WriteOffset;
};
struct KSRTAUDIO_HWLATENCY {
    ULONG FifoSize;
    ULONG ChipsetDelay;
    ULONG CodecDelay;
};
// A register the miniport keeps up to date in memory that the audio stack maps into the
// client; Numerator / Denominator is the register's clock in Hz (0 for a position).
struct KSRTAUDIO_HWREGISTER {
    void* Register;
    ULONG Width; // bits
    uint64_t Numerator;
    uint64_t Denominator;
    ULONG Accuracy;
};
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BB)
// The port's side of a stream: pages for the cyclic buffer and their mapping.
struct IPortWaveRTStream : IUnknown {
    virtual MDL* AllocatePagesForMdl(uint64_t highestAddress, size_t totalBytes) = 0;
    virtual void* MapAllocatedPages(MDL* mdl, MEMORY_CACHING_TYPE cacheType) = 0;
    virtual void UnmapAllocatedPages(void* base, MDL* mdl) = 0;
    virtual void FreePagesFromMdl(MDL* mdl) = 0;
};
// The miniport's stream, in the interface's slot order.
struct IMiniportWaveRTStream : IUnknown {
    virtual NTSTATUS SetFormat(const KSDATAFORMAT* format) = 0;
    virtual NTSTATUS SetState(KSSTATE state) = 0;
    virtual NTSTATUS GetPosition(KSAUDIO_POSITION* position) = 0;
    virtual NTSTATUS AllocateAudioBuffer(ULONG requestedSize, MDL** mdl, ULONG* actualSize, ULONG* offsetFromFirstPage,
                                         MEMORY_CACHING_TYPE* cacheType) = 0;
    virtual void FreeAudioBuffer(MDL* mdl, ULONG size) = 0;
    virtual void GetHWLatency(KSRTAUDIO_HWLATENCY* latency) = 0;
    virtual NTSTATUS GetPositionRegister(KSRTAUDIO_HWREGISTER* reg) = 0;
    virtual NTSTATUS GetClockRegister(KSRTAUDIO_HWREGISTER* reg) = 0;
};
// The miniport's side of a WaveRT filter, in the interface's slot order.
struct IMiniportWaveRT : IUnknown {
    virtual NTSTATUS GetDescription(PCFILTER_DESCRIPTOR** description) = 0;
    virtual NTSTATUS DataRangeIntersection(ULONG pinId, const KSDATARANGE* dataRange, const KSDATARANGE* matchingRange,
                                           ULONG outputBufferLength, void* resultantFormat,
                                           ULONG* resultantFormatLength) = 0;
    virtual NTSTATUS Init(PUNKNOWN unknownAdapter, void* resourceList, void* port) = 0;
    virtual NTSTATUS NewStream(IMiniportWaveRTStream** stream, IPortWaveRTStream* portStream, ULONG pin,
                               BOOLEAN capture, const KSDATAFORMAT* dataFormat) = 0;
    virtual NTSTATUS GetDeviceDescription(DEVICE_DESCRIPTION* description) = 0;
};
// The port class's side.
struct IPortWaveRT : IUnknown {
    virtual NTSTATUS Init(DEVICE_OBJECT* device, IRP* irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                          void* resourceList) = 0;
};

typedef NTSTATUS PC_START_DEVICE(DEVICE_OBJECT* device, IRP* irp, void* resourceList);
VELUNOR_KAPI NTSTATUS PcInitializeAdapterDriver(DRIVER_OBJECT* driver, PUNICODE_STRING registryPath,
                                                DRIVER_ADD_DEVICE* addDevice);
VELUNOR_KAPI NTSTATUS PcAddAdapterDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* physicalDevice,
                                         PC_START_DEVICE* startDevice, ULONG maxObjects, ULONG extensionSize);
VELUNOR_KAPI NTSTATUS PcNewPort(IPortWaveRT** port, const CLSID& classId);
VELUNOR_KAPI NTSTATUS PcRegisterSubdevice(DEVICE_OBJECT* device, const char16_t* name, PUNKNOWN unknown);

// ---- Winsock Kernel ----
#define AF_INET_K 2
#define SOCK_RAW_K 3
#define IPPROTO_UDP_K 17
#define WSK_FLAG_DATAGRAM_SOCKET 0x00000004
#define SOL_SOCKET_K 0xffff
#define SO_WSK_EVENT_CALLBACK 0x7003
#define WSK_EVENT_RECEIVE_FROM 0x00000100
#define WSK_EVENT_DISABLE 0x80000000
#define WSK_NO_WAIT 0
#define WSK_INFINITE_WAIT 0xffffffff
#define IPPROTO_IP_K 0
#define IP_TOS_K 3
#define IP_MULTICAST_IF_K 9
#define IP_MULTICAST_TTL_K 10
#define IP_ADD_MEMBERSHIP_K 12
#define IP_DROP_MEMBERSHIP_K 13
// The stand-in's own option (level SOL_SOCKET_K, a ULONG): the unicast streams the
// client takes, as a count of stream indexes. A kernel's receive event rejects a
// datagram for no stream at no cost; the stand-in's receive runs in a thread of its
// own, so its socket filter keeps out every unicast datagram whose payload is not a
// compact header (first byte 0) of an index below the count. 0xFFFFFFFF: no limit.
#define SO_VELUNOR_UCAST_STREAMS 0x7F01
enum WSK_CONTROL_SOCKET_TYPE { WskSetOption, WskGetOption, WskIoctl };

struct SOCKADDR_IN_K {
    uint16_t sin_family;
    uint16_t sin_port;      // network order
    uint32_t sin_addr;      // network order
    uint8_t sin_zero[8];
};
struct WSK_BUF {
    MDL* Mdl;
    ULONG Offset;
    size_t Length;
};
struct WSK_DATAGRAM_INDICATION {
    WSK_DATAGRAM_INDICATION* Next;
    WSK_BUF Buffer;
    void* ControlInfo;
    ULONG ControlInfoLength;
    SOCKADDR_IN_K* RemoteAddress;
};
// One datagram of a batched send: its buffer and its destination (null: the call's).
// The provider writes Status: STATUS_SUCCESS sent; STATUS_DEVICE_BUSY not tried, the
// socket's send queue was full (the caller may send it again); any other status
// refused by the stack (no route, unreachable, too long) and not sent.
struct WSK_BUF_LIST {
    WSK_BUF_LIST* Next;
    WSK_BUF Buffer;
    SOCKADDR_IN_K* RemoteAddress;
    NTSTATUS Status;
};
struct WSK_SOCKET {
    const void* Dispatch;
};
struct WSK_EVENT_CALLBACK_CONTROL {
    const GUID* NpiId;
    ULONG EventMask;
};
typedef NTSTATUS WSK_RECEIVE_FROM_EVENT(void* socketContext, ULONG flags, WSK_DATAGRAM_INDICATION* list);
struct WSK_CLIENT_DATAGRAM_DISPATCH {
    WSK_RECEIVE_FROM_EVENT* WskReceiveFromEvent;
};
struct WSK_PROVIDER_DATAGRAM_DISPATCH {
    NTSTATUS (*WskControlSocket)(WSK_SOCKET* s, WSK_CONTROL_SOCKET_TYPE type, ULONG code, ULONG level, size_t inSize,
                                 void* in, size_t outSize, void* out, size_t* outReturned, IRP* irp);
    NTSTATUS (*WskCloseSocket)(WSK_SOCKET* s, IRP* irp);
    NTSTATUS (*WskBind)(WSK_SOCKET* s, SOCKADDR_IN_K* local, ULONG flags, IRP* irp);
    NTSTATUS (*WskSendTo)(WSK_SOCKET* s, WSK_BUF* buffer, ULONG flags, SOCKADDR_IN_K* remote, ULONG controlLength,
                          void* control, IRP* irp);
    NTSTATUS (*WskRelease)(WSK_SOCKET* s, WSK_DATAGRAM_INDICATION* list);
    // Sends the list's datagrams in order with one request and one completion: the IRP
    // completes with the count sent in Information, STATUS_SUCCESS when every one went,
    // else the first failure's status; each element's Status tells its own fate. An
    // empty list completes at once with nothing sent.
    NTSTATUS (*WskSendMessages)(WSK_SOCKET* s, WSK_BUF_LIST* list, ULONG flags, SOCKADDR_IN_K* remote,
                                ULONG controlLength, void* control, IRP* irp);
};
struct WSK_PROVIDER_DISPATCH {
    uint16_t Version;
    NTSTATUS (*WskSocket)(void* client, uint16_t family, uint16_t type, ULONG protocol, ULONG flags,
                          void* socketContext, const void* clientDispatch, void* process, void* thread,
                          void* security, IRP* irp);
};
struct WSK_CLIENT_DISPATCH {
    uint16_t Version;
    uint16_t Reserved;
    void* WskClientEvent;
};
struct WSK_CLIENT_NPI {
    void* ClientContext;
    const WSK_CLIENT_DISPATCH* Dispatch;
};
struct WSK_PROVIDER_NPI {
    void* Client;
    const WSK_PROVIDER_DISPATCH* Dispatch;
};
struct WSK_REGISTRATION {
    uint64_t ReservedRegistrationState;
    void* ReservedRegistrationContext;
    void* ReservedRegistrationLock;
};
#define MAKE_WSK_VERSION(major, minor) ((uint16_t)((major) << 8) | (minor))
extern "C" const GUID NPI_WSK_INTERFACE_ID;
VELUNOR_KAPI NTSTATUS WskRegister(WSK_CLIENT_NPI* client, WSK_REGISTRATION* registration);
VELUNOR_KAPI NTSTATUS WskCaptureProviderNPI(WSK_REGISTRATION* registration, ULONG waitTimeout, WSK_PROVIDER_NPI* provider);
VELUNOR_KAPI void WskReleaseProviderNPI(WSK_REGISTRATION* registration);
VELUNOR_KAPI void WskDeregister(WSK_REGISTRATION* registration);

// ---- what the driver library exports to its host ----
// DriverEntry is the one entry point, as with any driver image.
extern "C" NTSTATUS DriverEntry(DRIVER_OBJECT* driver, PUNICODE_STRING registryPath);
