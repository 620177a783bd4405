// Driver entry, the adapter device, its 64 WaveRT subdevices and their registration,
// unload and clean-up.
#include <cstdio>

#include "driver/driver.h"

extern "C" const GUID CLSID_PortWaveRT = {0xCC9BE57A, 0xEB9E, 0x42B4, {0x94, 0xFC, 0x0C, 0xAD, 0x3D, 0xBC, 0xE7, 0xFA}};

namespace {

struct SubdeviceEntry {
    IPortWaveRT* port;
    BOOLEAN registered;
    char16_t name[128];
};

SubdeviceEntry g_sub[SUBDEVICE_COUNT];
DRIVER_UNLOAD* g_portClassUnload;
WDFDRIVER g_wdfDriver;
DEVICE_OBJECT* g_adapterDevice;

void writeName(int index) {
    char text[32];
    std::snprintf(text, sizeof text, "%sstereo-%02x", index % 2 == 0 ? "out_" : "in_", unsigned(index / 2));
    int i = 0;
    for (; text[i] && i < 127; ++i) g_sub[index].name[i] = char16_t(text[i]);
    g_sub[index].name[i] = 0;
}

// Registration only ever adds; an entry registered once stays registered.
NTSTATUS registerEntry(int index) {
    SubdeviceEntry& e = g_sub[index];
    if (e.registered || !e.port) return STATUS_UNSUCCESSFUL;
    e.registered = TRUE;
    PcRegisterSubdevice(g_adapterDevice, e.name, e.port);
    return STATUS_SUCCESS;
}

NTSTATUS startDevice(DEVICE_OBJECT* device, IRP* irp, void* resources) {
    g_adapterDevice = device;
    for (int i = 0; i < SUBDEVICE_COUNT; ++i) {
        writeName(i);
        IPortWaveRT* port = nullptr;
        NTSTATUS st = PcNewPort(&port, CLSID_PortWaveRT);
        if (!NT_SUCCESS(st)) return st;
        g_sub[i].port = port;
        IMiniportWaveRT* miniport = MiniportWaveRT_get(i);
        st = port->Init(device, irp, miniport, nullptr, resources);
        miniport->Release();
        if (!NT_SUCCESS(st)) return st;
    }
    return STATUS_SUCCESS;
}

NTSTATUS addDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* physicalDevice) {
    NTSTATUS st = PcAddAdapterDevice(driver, physicalDevice, startDevice, SUBDEVICE_COUNT, 0);
    if (!NT_SUCCESS(st)) return st;
    return Ioctl_registerInterface(driver, physicalDevice);
}

void driverUnload(DRIVER_OBJECT* driver) {
    for (SubdeviceEntry& e : g_sub) {
        if (e.port) e.port->Release();
        e.port = nullptr;
    }
    if (g_portClassUnload) g_portClassUnload(driver);
    if (g_wdfDriver) {
        WDFDRIVER d = g_wdfDriver;
        g_wdfDriver = nullptr;
        WdfDriverMiniportUnload(d); // runs the clean-up below
    }
}

void driverCleanup(WDFOBJECT) {
    KoEngine_shutdown();
    Ioctl_withdrawInterface();
}

}  // namespace

NTSTATUS Adapter_registerSubdevices(uint32_t renderCh, uint32_t captureCh) {
    auto ok = [](uint32_t n) { return n % 2 == 0 && n >= 2 && n <= 64; };
    if (!ok(renderCh) || !ok(captureCh)) return STATUS_UNSUCCESSFUL;
    for (uint32_t p = 0; p < captureCh / 2; ++p) {
        if (!g_sub[2 * p + 1].port) return STATUS_UNSUCCESSFUL;
        registerEntry(int(2 * p + 1));
    }
    for (uint32_t p = 0; p < renderCh / 2; ++p) {
        if (!g_sub[2 * p].port) return STATUS_UNSUCCESSFUL;
        registerEntry(int(2 * p));
    }
    return STATUS_SUCCESS;
}

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(DRIVER_OBJECT* driver,
                                                                       PUNICODE_STRING registryPath) {
    // A fresh load starts from nothing left by an earlier one in the same process.
    for (SubdeviceEntry& e : g_sub) e = SubdeviceEntry{};
    g_adapterDevice = nullptr;
    g_portClassUnload = nullptr;

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    config.DriverInitFlags |= WdfDriverInitNoDispatchOverride;
    config.DriverPoolTag = 0;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = driverCleanup;
    NTSTATUS st = WdfDriverCreate(driver, registryPath, &attributes, &config, &g_wdfDriver);
    if (!NT_SUCCESS(st)) return st;

    st = PcInitializeAdapterDriver(driver, registryPath, addDevice);
    if (!NT_SUCCESS(st)) return st;
    g_portClassUnload = driver->DriverUnload;
    driver->DriverUnload = driverUnload;

    Ioctl_init();
    KoEngine_init();
    return st;
}
