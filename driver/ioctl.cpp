// The control device: the engine's JSON commands carried in from user mode with one
// device I/O control request on the interface's "\ioCtl" opens. Every other open and
// request goes on to the port class's handlers, which serve the audio filters.
#include <cstring>

#include "driver/driver.h"
#include "engine/Msg.h"
#include "engine/koBuild.h"
#include "engine/kmodule_device.h"

extern "C" const GUID GUID_DEVINTERFACE_ENGINE_CONTROL = {
    0x9AD94B40, 0x825F, 0x4484, {0x89, 0x22, 0xF3, 0x55, 0xE2, 0x4A, 0x4C, 0x21}};

namespace {

char16_t g_nameBuf[128];
UNICODE_STRING g_interfaceName = {0, sizeof g_nameBuf, g_nameBuf};
DRIVER_DISPATCH* g_savedCreate;
DRIVER_DISPATCH* g_savedClose;
DRIVER_DISPATCH* g_savedDeviceControl;
FAST_MUTEX g_requestLock;
char g_reply[KO_DATA_SIZE];
char g_data[KO_DATA_SIZE];
char g_reason[KO_REASON_SIZE];

char16_t kRefText[] = u"ioCtl";
char16_t kFileText[] = u"\\ioCtl";

bool isControlOpen(IRP* irp) {
    FILE_OBJECT* f = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (!f || !f->FileName.Buffer) return false;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kFileText);
    return RtlCompareUnicodeString(&f->FileName, &name, FALSE) == 0;
}

NTSTATUS completeWith(IRP* irp, NTSTATUS st, uintptr_t info) {
    irp->IoStatus.Status = st;
    irp->IoStatus.Information = info;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

NTSTATUS onCreate(DEVICE_OBJECT* device, IRP* irp) {
    if (isControlOpen(irp)) return completeWith(irp, STATUS_SUCCESS, 0);
    return g_savedCreate ? g_savedCreate(device, irp) : completeWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS onClose(DEVICE_OBJECT* device, IRP* irp) {
    if (isControlOpen(irp)) return completeWith(irp, STATUS_SUCCESS, 0);
    return g_savedClose ? g_savedClose(device, irp) : completeWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS onDeviceControl(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* s = IoGetCurrentIrpStackLocation(irp);
    if (!isControlOpen(irp) || s->Parameters.DeviceIoControl.IoControlCode != IOCTL_ENGINE_JSON)
        return g_savedDeviceControl ? g_savedDeviceControl(device, irp)
                                    : completeWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    char* sys = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG inLen = s->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLen = s->Parameters.DeviceIoControl.OutputBufferLength;
    // The request is text that ends inside the input; anything else is refused unread.
    if (!sys || inLen == 0 || !std::memchr(sys, 0, inLen)) return completeWith(irp, STATUS_INVALID_PARAMETER, 0);

    ExAcquireFastMutex(&g_requestLock);
    g_reply[0] = 0;
    g_data[0] = 0;
    const int rc = Msg_device_handleJson(sys, g_data, sizeof g_data, g_reason, sizeof g_reason);
    g_data[sizeof g_data - 1] = 0;
    g_reason[sizeof g_reason - 1] = 0;
    Msg_buildRespond(g_reply, sizeof g_reply, rc == 0, g_reason, g_data);
    const size_t len = std::strlen(g_reply);
    // The reply never goes past the caller's output buffer: a longer one is cut at it
    // and reported as an overflow, so the caller knows the text is not whole.
    const size_t n = len <= outLen ? len : outLen;
    std::memcpy(sys, g_reply, n);
    ExReleaseFastMutex(&g_requestLock);
    return completeWith(irp, len <= outLen ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW, n);
}

}  // namespace

void Ioctl_init() { ExInitializeFastMutex(&g_requestLock); }

NTSTATUS Ioctl_registerInterface(DRIVER_OBJECT* driver, DEVICE_OBJECT* physicalDevice) {
    if (g_interfaceName.Length != 0) return STATUS_UNSUCCESSFUL; // one adapter instance
    UNICODE_STRING ref;
    RtlInitUnicodeString(&ref, kRefText);
    UNICODE_STRING link{};
    NTSTATUS st = IoRegisterDeviceInterface(physicalDevice, &GUID_DEVINTERFACE_ENGINE_CONTROL, &ref, &link);
    if (!NT_SUCCESS(st)) return st;
    g_savedCreate = driver->MajorFunction[IRP_MJ_CREATE];
    g_savedClose = driver->MajorFunction[IRP_MJ_CLOSE];
    g_savedDeviceControl = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    driver->MajorFunction[IRP_MJ_CREATE] = onCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = onClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = onDeviceControl;
    g_interfaceName.MaximumLength = sizeof g_nameBuf;
    RtlCopyUnicodeString(&g_interfaceName, &link);
    IoSetDeviceInterfaceState(&g_interfaceName, TRUE);
    RtlFreeUnicodeString(&link);
    return st;
}

void Ioctl_withdrawInterface() {
    if (g_interfaceName.Length == 0) return;
    IoSetDeviceInterfaceState(&g_interfaceName, FALSE);
    g_interfaceName.Length = 0;
}
