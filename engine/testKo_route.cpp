// Driver control client: finds the driver's control interface and carries one engine
// request per device I/O control request.
//
// The kept path is UTF-16, as the system lists it; the platform layer takes UTF-8, so
// it is converted at each open. One choice of ours: a kept path that can no longer be
// opened (the driver host stopped, the interface was withdrawn) is forgotten, so that
// the next request looks the interface up again and finds it when the host is back.
#include "engine/testKo_route.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/devif.h"

namespace {

// Configuration manager results this client can report.
constexpr unsigned CR_FAILURE = 0x13;
constexpr unsigned CR_BUFFER_SMALL = 0x1A;
// STRSAFE_E_INSUFFICIENT_BUFFER: the bounded copy cut the path.
constexpr unsigned STRSAFE_E_INSUFFICIENT_BUFFER = 0x8007007A;
constexpr int ERROR_INVALID_HANDLE = 6;

std::mutex s_lock;                      // one request at a time: path and reply buffer
char16_t s_devicePath[KO_ROUTE_PATH_UNITS]; // empty until a lookup finds an interface
char s_reply[KO_ROUTE_REPLY_SIZE];

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fflush(stdout);
}

// The last error a failed open or request leaves for a completion status, as the
// system's status-to-error mapping gives it.
int lastErrorOf(int32_t status) {
    switch (uint32_t(status)) {
    case 0xC0000001u: return 31;   // unsuccessful: ERROR_GEN_FAILURE
    case 0xC0000008u: return 6;    // invalid handle
    case 0xC000000Du: return 87;   // invalid parameter
    case 0xC000000Eu: return 2;    // no such device: ERROR_FILE_NOT_FOUND
    case 0xC0000010u: return 1;    // invalid device request: ERROR_INVALID_FUNCTION
    case 0xC0000022u: return 5;    // access denied
    case 0xC0000023u: return 122;  // buffer too small: ERROR_INSUFFICIENT_BUFFER
    case 0xC0000034u: return 2;    // object name not found: ERROR_FILE_NOT_FOUND
    case 0xC000003Au: return 3;    // object path not found
    case 0xC000009Au: return 1450; // insufficient resources: ERROR_NO_SYSTEM_RESOURCES
    case 0xC000009Du: return 21;   // device not connected: ERROR_NOT_READY
    case 0xC00000BBu: return 50;   // not supported
    case 0x80000005u: return 234;  // buffer overflow: ERROR_MORE_DATA
    default: return 317;           // ERROR_MR_MID_NOT_FOUND: no mapping
    }
}

// Decodes one UTF-8 code point at *p (advancing it); U+FFFD for a broken sequence.
char32_t nextCodePoint(const unsigned char** p) {
    const unsigned char* s = *p;
    unsigned c = *s++;
    int more = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    char32_t cp = more == 0 ? c : more == 1 ? (c & 0x1F) : more == 2 ? (c & 0x0F) : (c & 0x07);
    for (int i = 0; i < more; i++, s++) {
        if ((*s & 0xC0) != 0x80) {
            more = -1; // a cut sequence: stop before the byte that broke it
            break;
        }
        cp = (cp << 6) | (*s & 0x3F);
    }
    *p = s;
    if (more < 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
    return cp;
}

// Copies UTF-8 text into the kept path with the bounded-copy rule: at most
// KO_ROUTE_PATH_UNITS - 1 code units and a terminator; false when it was cut.
bool copyPath(const char* text) {
    size_t n = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    bool whole = true;
    while (*p) {
        char32_t cp = nextCodePoint(&p);
        char16_t units[2];
        size_t k = 1;
        if (cp >= 0x10000) {
            units[0] = char16_t(0xD800 + ((cp - 0x10000) >> 10));
            units[1] = char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
            k = 2;
        } else {
            units[0] = char16_t(cp);
        }
        // The copy is cut by code units, as the bounded copy does.
        for (size_t i = 0; i < k; i++) {
            if (n + 1 >= KO_ROUTE_PATH_UNITS) {
                whole = false;
                break;
            }
            s_devicePath[n++] = units[i];
        }
        if (!whole) break;
    }
    s_devicePath[n] = 0;
    return whole;
}

// The kept path as UTF-8 (a lone surrogate of a cut path becomes U+FFFD).
size_t pathText(char* out, size_t cap) {
    if (!out || cap == 0) return 0;
    size_t n = 0;
    for (size_t i = 0; i < KO_ROUTE_PATH_UNITS && s_devicePath[i]; i++) {
        char32_t cp = s_devicePath[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < KO_ROUTE_PATH_UNITS && s_devicePath[i + 1] >= 0xDC00 &&
            s_devicePath[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s_devicePath[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        unsigned char b[4];
        size_t k;
        if (cp < 0x80) {
            b[0] = uint8_t(cp);
            k = 1;
        } else if (cp < 0x800) {
            b[0] = uint8_t(0xC0 | (cp >> 6));
            b[1] = uint8_t(0x80 | (cp & 0x3F));
            k = 2;
        } else if (cp < 0x10000) {
            b[0] = uint8_t(0xE0 | (cp >> 12));
            b[1] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
            b[2] = uint8_t(0x80 | (cp & 0x3F));
            k = 3;
        } else {
            b[0] = uint8_t(0xF0 | (cp >> 18));
            b[1] = uint8_t(0x80 | ((cp >> 12) & 0x3F));
            b[2] = uint8_t(0x80 | ((cp >> 6) & 0x3F));
            b[3] = uint8_t(0x80 | (cp & 0x3F));
            k = 4;
        }
        if (n + k >= cap) break;
        std::memcpy(out + n, b, k);
        n += k;
    }
    out[n] = 0;
    return n;
}

// Looks the interface up while no path is kept. False (with its lines printed) when
// there is still none afterwards.
bool lookUp() {
    char dir[1024];
    char* list = nullptr;
    if (!DevIf_classDir(KO_ROUTE_INTERFACE_CLASS, dir, sizeof dir)) {
        say("Error 0x%x retrieving device interface list size.\n", CR_FAILURE);
    } else if (size_t size = DevIf_list(KO_ROUTE_INTERFACE_CLASS, nullptr, 0); size <= 1) {
        say("Error: No active device interfaces found. Is the sample driver loaded? \n");
    } else if (!(list = static_cast<char*>(std::calloc(size, 1)))) {
        say("Error allocating memory for device interface list.\n");
    } else if (DevIf_list(KO_ROUTE_INTERFACE_CLASS, list, size) > size) {
        // An instance appeared between the two calls.
        say("Error 0x%x retrieving device interface list.\n", CR_BUFFER_SMALL);
    } else {
        const size_t first = std::strlen(list);
        if (first > 0 && list[first + 1] != 0)
            say("Warning: More than one device interface instance found. \nSelecting first matching device.\n\n");
        if (!copyPath(list)) say("Error: StringCchCopy failed with HRESULT 0x%x \n", STRSAFE_E_INSUFFICIENT_BUFFER);
    }
    std::free(list);
    if (s_devicePath[0] == 0) {
        char text[KO_ROUTE_PATH_UNITS * 3 + 1];
        pathText(text, sizeof text);
        say("error: G_DevicePath=%s \n", text);
        return false;
    }
    return true;
}

} // namespace

bool KoRoute_send(char* buf, size_t cap) {
    if (!buf || cap == 0) return false;
    std::lock_guard<std::mutex> hold(s_lock);
    buf[cap - 1] = 0; // an unterminated request is cut, never read past its buffer
    if (s_devicePath[0] == 0 && !lookUp()) return false;

    char path[KO_ROUTE_PATH_UNITS * 3 + 1];
    pathText(path, sizeof path);
    int32_t status = 0;
    int fd = DevIf_open(path, &status);
    if (fd < 0) {
        say("error: CreateFileW() %d \n", lastErrorOf(status));
        s_devicePath[0] = 0; // look again at the next request
        return false;
    }

    const size_t len = std::strlen(buf);
    const size_t head = len < sizeof s_reply - 1 ? len : sizeof s_reply - 1;
    std::memcpy(s_reply, buf, head);
    s_reply[head] = 0;
    uint32_t got = 0;
    status = DevIf_ioctl(fd, KO_ROUTE_IOCTL_ENGINE_JSON, buf, uint32_t(len + 1), s_reply, sizeof s_reply, &got);
    if (status < 0) { // errors and warnings both make the request fail
        say("error: DeviceIoControl() %d \n", lastErrorOf(status));
        DevIf_close(fd);
        return false;
    }
    // The reply has no NUL of its own: a full buffer loses its last byte to it.
    if (got >= sizeof s_reply) got = sizeof s_reply - 1;
    s_reply[got] = 0;
    const size_t replyLen = std::strlen(s_reply);
    if (replyLen < cap) {
        std::memcpy(buf, s_reply, replyLen + 1);
    } else {
        // A cut reply must not pass for a whole one.
        static const char tooLong[] = "{\"result\":\"fail\",\"reason\":\"reply too long\"}";
        if (sizeof tooLong <= cap) std::memcpy(buf, tooLong, sizeof tooLong);
        else buf[0] = 0;
    }
    if (DevIf_close(fd) != 0) {
        say("error: CloseHandle() %d \n", ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

size_t KoRoute_devicePath(char* out, size_t cap) {
    std::lock_guard<std::mutex> hold(s_lock);
    return pathText(out, cap);
}

void KoRoute_forgetPath() {
    std::lock_guard<std::mutex> hold(s_lock);
    s_devicePath[0] = 0;
}
