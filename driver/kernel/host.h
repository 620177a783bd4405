// The driver host's own side of the stand-in kernel: loading and unloading one driver
// for the root device "Root\VelunorAudio", and what the port class and the I/O manager
// share. Used by velunor-kernel (host.cpp) and by the driver's unit tests.
#pragma once
#include "driver/kernel/wdm.h"

// Loads a driver image (a shared library exporting DriverEntry) and brings its device
// up: DriverEntry, add-device, start-device. Returns the first failing status.
NTSTATUS Kernel_loadDriverImage(const char* path);
// The same for a driver linked into the calling program (tests).
NTSTATUS Kernel_loadDriver(DRIVER_INITIALIZE* entry);
// Removes the device and unloads the driver: requests stop reaching it, its unload
// routine runs, its endpoints become NOT_PRESENT, and the image is closed.
void Kernel_unloadDriver();
bool Kernel_driverLoaded();

// The functional device object of the adapter (null while no driver is loaded).
DEVICE_OBJECT* Kernel_adapterDevice();

// ---- I/O manager (iomgr.cpp) ----
// Sends one request through the driver object's dispatch table, as the I/O manager
// does for an open handle. Used by the serving threads and by tests.
NTSTATUS IoMgr_dispatch(IRP* irp);
// Stops serving every interface and waits for the serving threads (host exit).
void IoMgr_shutdown();
// Disables every interface still enabled (driver unload).
void IoMgr_disableAll();
// Live client connections being served (tests of bad clients).
int IoMgr_liveClients();

// ---- port class (portcls.cpp) ----
// The dispatch entries the port class installs in a driver object.
void PortCls_installDispatch(DRIVER_OBJECT* driver);
// Stops and closes every open stream (before the driver unloads).
void PortCls_closeStreams();
// Marks the loaded driver's endpoints NOT_PRESENT and forgets its subdevices.
void PortCls_removeDevice();
// The miniport behind a registered or created port, by index of creation (tests).
IMiniportWaveRT* PortCls_miniport(int index);
// The driver's start routine recorded by PcAddAdapterDevice.
PC_START_DEVICE* PortCls_startRoutine();

// UTF-16 <-> 8-bit helpers for the host (ASCII names only).
void Kernel_narrow(const char16_t* in, size_t units, char* out, size_t cap);
void Kernel_widen(const char* in, char16_t* out, size_t cap);
