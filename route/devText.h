// A bounded JSON text writer for the route file and engine requests: members are
// appended behind a cursor (no strlen per member), nothing is ever written past cap, and
// a text that does not fit is reported through ok instead of being cut silently.
#pragma once
#include <cstddef>
#include <cstdint>

struct DevText {
    char* buf;
    size_t cap;
    size_t len = 0;
    bool ok = true;
    // Control bytes without a JSON escape are written as "?" rather than "\?", so that
    // the loader can read back whatever the writer wrote.
    bool fileSafe = false;
};

// Starts the text as "{".
void DevText_begin(DevText* t);
// Appends raw bytes as they stand.
void DevText_raw(DevText* t, const char* s);
// "name":"value", (or "value", for a null name), the value escaped.
void DevText_str(DevText* t, const char* name, const char* value);
void DevText_int(DevText* t, const char* name, long long v);
void DevText_uint(DevText* t, const char* name, unsigned long v);
// Dotted address.
void DevText_ip(DevText* t, const char* name, uint32_t ip);
// A printf-formatted value, quoted (no escaping: formats produce plain text).
void DevText_fmt(DevText* t, const char* name, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// "name":[
void DevText_arrBegin(DevText* t, const char* name);
// Trailing comma -> "]", then ",".
void DevText_arrEnd(DevText* t);
// Trailing comma -> "}" (or "}" appended).
void DevText_end(DevText* t);

// "sdp":{the six members}, (the stream descriptor, addresses dotted).
struct sdpInfo;
void DevText_sdp(DevText* t, const sdpInfo& s);
// "name":["v0",...], of n integers.
void DevText_intArr(DevText* t, const char* name, const int32_t* v, int n);

// Copies src into dst (cap bytes, NUL-terminated), cut so that no UTF-8 sequence is split.
void DevText_cut(char* dst, size_t cap, const char* src);
