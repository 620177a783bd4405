// The driver library's four exports: the class object, the unload test, and the
// registration of the class and of the driver in the registry.
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <new>
#include <strings.h>

#include "asio/AsioSample.h"
#include "asio/combase.h"
#include "platform/registry.h"

#define ASIO_EXPORT extern "C" __attribute__((visibility("default")))

#define MODULE_PATH_CAP 360
#define CLSID_TEXT_CAP 100
#define ASIO_KEY "SOFTWARE\\ASIO"

const CFactoryTemplate g_comTemplates[] = {
    {u"Velunor-rEduVuzi", &CLSID_VelunorAsio, &AsioSample::create},
};
const int g_comTemplateCount = int(sizeof g_comTemplates / sizeof g_comTemplates[0]);

ASIO_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    for (int k = 0; k < g_comTemplateCount; k++) {
        if (*g_comTemplates[k].clsid != clsid) continue;
        auto* f = new (std::nothrow) CClassFactory(&g_comTemplates[k]);
        if (!f) return E_OUTOFMEMORY;
        f->AddRef();
        *ppv = static_cast<IClassFactory*>(f);
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

ASIO_EXPORT HRESULT DllCanUnloadNow() {
    return (g_comServerLocks.load() > 0 || g_comLiveObjects.load() != 0) ? S_FALSE : S_OK;
}

// The file this code was loaded from, and that it is the driver's module by name.
static int modulePath(char* out, size_t cap) {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&DllCanUnloadNow), &info) || !info.dli_fname) return -101;
    const char* slash = std::strrchr(info.dli_fname, '/');
    const char* base = slash ? slash + 1 : info.dli_fname;
    if (strcasecmp(base, VELUNOR_ASIO_MODULE) != 0) return -101;
    char full[4096];
    if (!realpath(info.dli_fname, full)) return -102;
    size_t len = std::strlen(full);
    if (len == 0 || len >= cap) return -102;
    std::memcpy(out, full, len + 1);
    return 0;
}

// Steps shared by both directions: module path and the class id as narrow text.
static int prepare(char* path, char* clsidText) {
    int rc = modulePath(path, MODULE_PATH_CAP);
    if (rc != 0) return rc;
    LPOLESTR wide = nullptr;
    if (FAILED(StringFromCLSID(CLSID_VelunorAsio, &wide)) || !wide) return -103;
    size_t n = Com_wideToAnsi(wide, clsidText, CLSID_TEXT_CAP);
    CoTaskMemFree(wide);
    return n == 0 ? -104 : 0;
}

static void setText(const RegKey* key, const char* name, const char* text) {
    Registry_setString(key, name, text, std::strlen(text)); // failures are not reported
}

static int registerDriver() {
    char path[MODULE_PATH_CAP], clsid[CLSID_TEXT_CAP], classKey[160];
    int rc = prepare(path, clsid);
    if (rc != 0) return rc;
    std::snprintf(classKey, sizeof classKey, "CLSID\\%s", clsid);

    RegKey k;
    bool same = false;
    if (Registry_openKey(REG_HKCR, classKey, &k) == REG_OK) {
        RegKey inproc;
        char old[MODULE_PATH_CAP];
        if (Registry_openSubKey(&k, "InprocServer32", &inproc) == REG_OK &&
            Registry_getString(&inproc, nullptr, old, sizeof old, nullptr) == REG_OK)
            same = strcasecmp(old, path) == 0; // file names keep their case here: compare, store as is
        if (!same) Registry_deleteTree(REG_HKCR, classKey);
    }
    if (!same && Registry_createKey(REG_HKCR, classKey, &k) == REG_OK) {
        setText(&k, nullptr, VELUNOR_ASIO_NAME);
        RegKey inproc;
        if (Registry_createSubKey(&k, "InprocServer32", &inproc) == REG_OK) {
            setText(&inproc, nullptr, path);
            setText(&inproc, "ThreadingModel", "Apartment");
        }
    }

    RegKey asio;
    if (Registry_openKey(REG_HKLM, ASIO_KEY, &asio) != REG_OK) {
        Registry_createKey(REG_HKLM, ASIO_KEY, &asio);
    } else if (Registry_keyExists(REG_HKLM, ASIO_KEY "\\" VELUNOR_ASIO_NAME)) {
        Registry_deleteTree(REG_HKLM, ASIO_KEY "\\" VELUNOR_ASIO_NAME);
    }
    RegKey drv;
    if (Registry_createKey(REG_HKLM, ASIO_KEY "\\" VELUNOR_ASIO_NAME, &drv) == REG_OK) {
        setText(&drv, "CLSID", clsid);
        setText(&drv, "Description", VELUNOR_ASIO_NAME);
    }
    return 0;
}

static int unregisterDriver() {
    char path[MODULE_PATH_CAP], clsid[CLSID_TEXT_CAP], classKey[160];
    int rc = prepare(path, clsid);
    if (rc != 0) return rc;
    std::snprintf(classKey, sizeof classKey, "CLSID\\%s", clsid);
    if (Registry_keyExists(REG_HKCR, classKey)) Registry_deleteTree(REG_HKCR, classKey);
    if (Registry_keyExists(REG_HKLM, ASIO_KEY "\\" VELUNOR_ASIO_NAME))
        Registry_deleteTree(REG_HKLM, ASIO_KEY "\\" VELUNOR_ASIO_NAME);
    return 0;
}

// Where the original shows a message box, the text goes to standard error with the
// box's caption in front.
static void reportFailure(const char* what, int rc) {
    std::fprintf(stderr, "ASIO Driver " VELUNOR_ASIO_NAME ": %s failed ! (%d)\n", what, rc);
    std::fflush(stderr);
}

ASIO_EXPORT HRESULT DllRegisterServer() {
    int rc = registerDriver();
    if (rc != 0) {
        reportFailure("Register Server", rc);
        return -1;
    }
    return S_OK;
}

ASIO_EXPORT HRESULT DllUnregisterServer() {
    int rc = unregisterDriver();
    if (rc != 0) {
        reportFailure("Unregister Server", rc);
        return -1;
    }
    return S_OK;
}
