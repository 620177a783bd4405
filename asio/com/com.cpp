#include "asio/com/com.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

void* CoTaskMemAlloc(size_t bytes) { return std::malloc(bytes ? bytes : 1); }
void CoTaskMemFree(void* p) { std::free(p); }

bool CLSIDToText(REFCLSID g, char* out, size_t cap) {
    if (!out || cap < 39) return false;
    std::snprintf(out, cap, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return true;
}

HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    char text[40];
    CLSIDToText(clsid, text, sizeof text);
    auto* w = static_cast<OLECHAR*>(CoTaskMemAlloc(sizeof(OLECHAR) * 39));
    if (!w) return E_OUTOFMEMORY;
    for (int i = 0; i < 39; i++) w[i] = OLECHAR(static_cast<unsigned char>(text[i]));
    *out = w;
    return S_OK;
}

static int hexVal(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool CLSIDFromText(const char* t, CLSID* out) {
    if (!t || !out || std::strlen(t) != 38 || t[0] != '{' || t[37] != '}') return false;
    uint8_t b[16];
    int n = 0;
    for (int i = 1; i < 37; i++) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (t[i] != '-') return false;
            continue;
        }
        int h = hexVal(t[i]), l = hexVal(t[i + 1]);
        if (h < 0 || l < 0) return false;
        b[n++] = uint8_t(h * 16 + l);
        i++;
    }
    if (n != 16) return false;
    out->Data1 = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    out->Data2 = uint16_t(b[4] << 8 | b[5]);
    out->Data3 = uint16_t(b[6] << 8 | b[7]);
    std::memcpy(out->Data4, b + 8, 8);
    return true;
}

size_t Com_wideToAnsi(const OLECHAR* in, char* out, size_t cap) {
    if (!in || !out || cap == 0) return 0;
    size_t n = 0;
    for (; in[n]; n++) {
        if (n + 1 >= cap || in[n] > 0x7F) {
            out[0] = 0;
            return 0;
        }
        out[n] = char(in[n]);
    }
    out[n] = 0;
    return n;
}
