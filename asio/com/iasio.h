// The ASIO driver interface as this system's driver offers it to hosts: the IASIO
// object, its value types, error codes and the host's callbacks.
#pragma once
#include "asio/com/com.h"

typedef int32_t ASIOBool;
typedef int32_t ASIOError;
typedef int32_t ASIOSampleType;
typedef double ASIOSampleRate;

#define ASIOFalse 0
#define ASIOTrue 1

enum : ASIOError {
    ASE_OK = 0,
    ASE_SUCCESS = 0x3f4847a0,
    ASE_NotPresent = -1000,      // no such device, operation not available
    ASE_HWMalfunction = -999,
    ASE_InvalidParameter = -998, // a parameter out of range or missing
    ASE_InvalidMode = -997,      // the call does not fit the driver's state
    ASE_SPNotAdvancing = -996,
    ASE_NoClock = -995,          // sample rate not available
    ASE_NoMemory = -994,
};

// 32-bit signed little-endian integers: the one sample type of this driver.
#define ASIOSTInt32LSB 18

// Host message selectors.
#define kAsioSelectorSupported 1
#define kAsioEngineVersion 2
#define kAsioResetRequest 3

// A 64-bit count split into words (sample positions, nanosecond time stamps).
struct ASIOSamples {
    uint32_t hi;
    uint32_t lo;
};
typedef ASIOSamples ASIOTimeStamp;

inline uint64_t AsioWords_get(const ASIOSamples& s) { return uint64_t(s.hi) << 32 | s.lo; }

struct ASIOClockSource {
    int32_t index;
    int32_t associatedChannel;
    int32_t associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};

struct ASIOChannelInfo {
    int32_t channel;  // in: channel number
    ASIOBool isInput; // in: direction
    ASIOBool isActive;
    int32_t channelGroup;
    ASIOSampleType type;
    char name[32];
};

struct ASIOBufferInfo {
    ASIOBool isInput;   // in
    int32_t channelNum; // in
    void* buffers[2];   // out: the two halves of the double buffer
};

// The host's callbacks, handed to createBuffers. All of them run in the driver's
// audio thread.
struct ASIOCallbacks {
    // Half `doubleBufferIndex` (0 or 1) is ready: its input is fresh, its output is due.
    void (*bufferSwitch)(int32_t doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate rate);
    int32_t (*asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
    void* (*bufferSwitchTimeInfo)(void* timeInfo, int32_t doubleBufferIndex, ASIOBool directProcess);
};

struct IASIO : public IUnknown {
    virtual ASIOBool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0; // at most 32 bytes with the NUL
    virtual int32_t getDriverVersion() = 0;
    virtual void getErrorMessage(char* text) = 0; // at most 124 bytes with the NUL
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) = 0;
    virtual ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) = 0;
    virtual ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                    int32_t* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate rate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* rate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate rate) = 0;
    virtual ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) = 0;
    virtual ASIOError setClockSource(int32_t reference) = 0;
    virtual ASIOError getSamplePosition(ASIOSamples* pos, ASIOTimeStamp* stamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* infos, int32_t numChannels, int32_t bufferSize,
                                    ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(int32_t selector, void* opt) = 0;
    virtual ASIOError outputReady() = 0;
};

// The driver's class identifier, also the interface identifier of its IASIO face:
// {56656C75-6E6F-722D-7653-6E6443617264}.
inline constexpr CLSID CLSID_VelunorAsio = {0x56656C75, 0x6E6F, 0x722D,
                                            {0x76, 0x53, 0x6E, 0x64, 0x43, 0x61, 0x72, 0x64}};
#define VELUNOR_ASIO_NAME "Velunor-rEduVuzi"
#define VELUNOR_ASIO_MODULE "Velunor-rEduVuzi.so"
