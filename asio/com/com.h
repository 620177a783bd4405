// Our own COM: the few declarations an in-process server and its hosts need on Linux.
// Interfaces are abstract classes whose virtual functions appear in vtable order; the
// host dlopens the driver library and resolves the four Dll* exports by name.
#pragma once
#include <cstddef>
#include <cstdint>

typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef int32_t BOOL;
typedef char16_t OLECHAR;
typedef OLECHAR* LPOLESTR;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; i++)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }

#define SUCCEEDED(hr) (HRESULT(hr) >= 0)
#define FAILED(hr) (HRESULT(hr) < 0)

#define S_OK HRESULT(0)
#define S_FALSE HRESULT(1)
#define E_NOTIMPL HRESULT(0x80004001u)
#define E_NOINTERFACE HRESULT(0x80004002u)
#define E_POINTER HRESULT(0x80004003u)
#define E_FAIL HRESULT(0x80004005u)
#define E_UNEXPECTED HRESULT(0x8000FFFFu)
#define E_OUTOFMEMORY HRESULT(0x8007000Eu)
#define E_INVALIDARG HRESULT(0x80070057u)
#define CLASS_E_NOAGGREGATION HRESULT(0x80040110u)
#define CLASS_E_CLASSNOTAVAILABLE HRESULT(0x80040111u)

extern const IID IID_IUnknown;      // {00000000-0000-0000-C000-000000000046}
extern const IID IID_IClassFactory; // {00000001-0000-0000-C000-000000000046}

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
};

struct IClassFactory : public IUnknown {
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;
};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper-case hexadecimal, allocated with
// CoTaskMemAlloc (free it with CoTaskMemFree). E_POINTER / E_OUTOFMEMORY on failure.
HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* out);
// Parses the braced text form; false when it is not one.
bool CLSIDFromText(const char* text, CLSID* out);
// The braced text form into out (39 bytes with the NUL); false when cap is too small.
bool CLSIDToText(REFCLSID clsid, char* out, size_t cap);
void* CoTaskMemAlloc(size_t bytes);
void CoTaskMemFree(void* p);
// UTF-16 to the narrow code page (ASCII here): bytes written without the NUL, or 0 when
// the text does not fit cap (with its NUL) or holds a character outside ASCII.
size_t Com_wideToAnsi(const OLECHAR* in, char* out, size_t cap);

// The four exports of an in-process server, as a host resolves them.
typedef HRESULT (*DllGetClassObjectFn)(REFCLSID clsid, REFIID riid, void** ppv);
typedef HRESULT (*DllCanUnloadNowFn)();
typedef HRESULT (*DllRegisterServerFn)();
typedef HRESULT (*DllUnregisterServerFn)();
