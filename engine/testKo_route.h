// Driver control client of VelunorRoute (user build only): when no virtual phy exists,
// every engine request goes to the driver's engine through its control interface.
//
// The interface is found by listing the present instances of its class; the first
// path is kept. Each request opens the path, sends the request text with its NUL in one
// device I/O control request, takes the reply text (no NUL on the wire) into a
// 4096-byte buffer and closes the handle.
#pragma once
#include <cstddef>
#include <cstdint>

#define KO_ROUTE_INTERFACE_CLASS "{9AD94B40-825F-4484-8922-F355E24A4C21}"
#define KO_ROUTE_IOCTL_ENGINE_JSON 0x2A5554u // device type 0x2A, function 0x555, buffered, read access
#define KO_ROUTE_PATH_UNITS 256              // UTF-16 code units of the kept path, NUL included
#define KO_ROUTE_REPLY_SIZE 4096

// Sends the request text in buf (cap bytes, NUL-terminated) to the driver and puts the
// reply text there. True when the exchange worked; every failure prints its line on
// standard output and leaves the request in buf. A reply that does not fit cap is
// replaced by {"result":"fail","reason":"reply too long"}, as the in-process path does.
// Callable from any thread; requests are serialised.
bool KoRoute_send(char* buf, size_t cap);

// The kept device path as UTF-8 (empty when none is kept). Returns its length.
size_t KoRoute_devicePath(char* out, size_t cap);

// Forgets the kept path: the next request looks the interface up again.
void KoRoute_forgetPath();
