// Device interfaces: how user-mode programs find a driver's published interface and
// send it device I/O control requests.
//
// An enabled interface instance is a live Unix-domain socket (SOCK_SEQPACKET) named
//   $VELUNOR_RUNDIR/devif/{CLASS-GUID}/<instance>#<reference string>
// The driver host listens on it. Connecting is the open (the host dispatches a create
// whose file object name is "\" + reference string); the first message back is the
// open's status. Each request is one message: a DevIfRequest header and the input
// bytes; each reply one message: a DevIfReply header and the output bytes. Hanging up
// is the close.
//
// Socket names can be longer than sockaddr_un allows, so both sides reach the folder
// through /proc/self/fd of an O_PATH descriptor.
#pragma once
#include <cstddef>
#include <cstdint>

#define DEVIF_MAX_PATH 256      // UTF-16 code units of a device path, with its NUL
#define DEVIF_MAX_IN (64 * 1024) // largest request input the host takes
#define DEVIF_MAX_OUT (1024 * 1024) // largest output buffer the host hands a driver
#define DEVIF_MAX_LISTING 64    // instances of one class that a listing reports

struct DevIfRequest {
    uint32_t code;   // the control code
    uint32_t inLen;  // bytes that follow this header
    uint32_t outLen; // the caller's output buffer length
};
struct DevIfReply {
    int32_t status;       // NTSTATUS of the completed request
    uint32_t information; // bytes of output that follow
};

// The class folder: rundir/devif/{GUID} (guid written with braces, upper case).
bool DevIf_classDir(const char* guid, char* out, size_t cap);

// Lists the live instances of a class into a double-NUL-terminated list of full paths
// (each path NUL-terminated, then one more NUL), sorted by name. A socket whose host has
// gone is not live. Returns the bytes the list needs, including the final NUL (1 for an
// empty list); when out is null or cap too small nothing is written.
size_t DevIf_list(const char* guid, char* out, size_t cap);

// Opens an interface path. Returns a descriptor, or -1 with *status set: the create's
// NTSTATUS when the host refused it, or STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034) when
// nothing listens there.
int DevIf_open(const char* path, int32_t* status);

// One device I/O control request. out receives up to outLen bytes; *returned the count.
// Returns the request's NTSTATUS; a broken connection gives STATUS_DEVICE_NOT_CONNECTED
// (0xC000009D), an input above DEVIF_MAX_IN STATUS_INVALID_PARAMETER (0xC000000D).
int32_t DevIf_ioctl(int fd, uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outLen,
                    uint32_t* returned);

// Closes a handle from DevIf_open (0 on success).
int DevIf_close(int fd);

// ---- the host's side ----
// Creates and listens on the socket of one instance (replacing a stale one). Returns the
// listening descriptor, or -1.
int DevIf_listen(const char* guid, const char* instance, const char* refString, char* pathOut, size_t cap);
// Removes an instance: closes the listening descriptor and unlinks its socket.
void DevIf_unlisten(int fd, const char* path);

// Whole-message helpers for both sides (MSG_NOSIGNAL; EINTR retried).
bool DevIf_sendMsg(int fd, const void* head, size_t headLen, const void* body, size_t bodyLen);
// Receives one message: the header into head (exactly headLen bytes), the rest into body
// (at most bodyCap; *bodyLen = bytes). false on hang-up, error, or a short header;
// a message longer than headLen + bodyCap is false as well (it was cut).
bool DevIf_recvMsg(int fd, void* head, size_t headLen, void* body, size_t bodyCap, size_t* bodyLen);

// ---- the driver host's own requests (devcon) ----
// The host listens on $VELUNOR_RUNDIR/velunor-kernel.sock (SOCK_SEQPACKET, rw for the
// folder's group): a request is one message with one word, "disable" or "enable" (the
// root device), the reply one message with the outcome ("disabled", "enabled"). A user
// who may not signal the host (it runs as root) reaches it so.
bool DevIf_hostSocketPath(char* out, size_t cap);
// Sends word and waits up to timeoutMs for the reply. Returns 0 with the reply text in
// reply (NUL-terminated), or a negative errno: -ENOENT or -ECONNREFUSED when no host
// listens, -EACCES when this user may not use the socket, -ETIMEDOUT without a reply.
int DevIf_hostRequest(const char* word, char* reply, size_t cap, int timeoutMs);
// The host's side: listens on that socket (replacing a stale one; the caller holds the
// host's pid-file lock). Returns the non-blocking listening descriptor, or -1.
int DevIf_hostListen();
