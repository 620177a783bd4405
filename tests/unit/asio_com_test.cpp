// The driver library's COM face: class object, factory, object counting, and the
// registry entries its registration writes (from its own path, another path, and
// under wrong module names).
#include "tests/unit/asio_test_util.h"

#include <filesystem>
#include <fstream>

#include "platform/registry.h"

namespace fs = std::filesystem;

namespace {
const char* kClassKey = "CLSID\\{56656C75-6E6F-722D-7653-6E6443617264}";
const char* kDrvKey = "SOFTWARE\\ASIO\\Velunor-rEduVuzi";

std::string value(RegHive hive, const char* key, const char* name) {
    RegKey k;
    char buf[512];
    if (Registry_openKey(hive, key, &k) != REG_OK) return "<no key>";
    if (Registry_getString(&k, name, buf, sizeof buf, nullptr) != REG_OK) return "<no value>";
    return buf;
}

// A copy of the library at dir/file, opened on its own (another file, another instance).
bool copyAndOpen(const fs::path& dir, const char* file, AsioLib* out) {
    fs::create_directories(dir);
    std::error_code ec;
    fs::copy_file(VELUNOR_ASIO_SO, dir / file, fs::copy_options::overwrite_existing, ec);
    return !ec && out->open((dir / file).c_str());
}
} // namespace

TEST(AsioCom, ClassObjectFactoryAndUnloading) {
    ASSERT_FALSE(freshDirs("asio-com").empty());
    AsioLib& lib = asioLib();
    ASSERT_TRUE(lib.handle);
    EXPECT_EQ(lib.canUnloadNow(), S_OK);

    void* p = reinterpret_cast<void*>(1);
    const CLSID other = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(lib.getClassObject(other, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(lib.getClassObject(CLSID_VelunorAsio, CLSID_VelunorAsio, &p), E_NOINTERFACE);
    EXPECT_EQ(lib.getClassObject(CLSID_VelunorAsio, IID_IClassFactory, nullptr), E_POINTER);

    IUnknown* unk = nullptr;
    ASSERT_EQ(lib.getClassObject(CLSID_VelunorAsio, IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
    IClassFactory* f = nullptr;
    ASSERT_EQ(unk->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
    EXPECT_EQ(unk->Release(), 1u);
    EXPECT_EQ(f->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(f->QueryInterface(CLSID_VelunorAsio, &p), E_NOINTERFACE);

    EXPECT_EQ(f->CreateInstance(nullptr, CLSID_VelunorAsio, nullptr), E_POINTER);
    EXPECT_EQ(lib.canUnloadNow(), S_OK) << "a factory alone does not keep the library";

    // An object that answers only its own interfaces.
    IASIO* a = nullptr;
    ASSERT_EQ(f->CreateInstance(nullptr, CLSID_VelunorAsio, reinterpret_cast<void**>(&a)), S_OK);
    EXPECT_EQ(lib.canUnloadNow(), S_FALSE) << "while a host holds an object";
    IUnknown* au = nullptr;
    ASSERT_EQ(a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&au)), S_OK);
    EXPECT_EQ(a->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
    IASIO* a2 = nullptr;
    ASSERT_EQ(au->QueryInterface(CLSID_VelunorAsio, reinterpret_cast<void**>(&a2)), S_OK);
    EXPECT_EQ(a2, a);
    EXPECT_EQ(a2->Release(), 2u);
    EXPECT_EQ(au->Release(), 1u);
    EXPECT_EQ(a->Release(), 0u);
    EXPECT_EQ(lib.canUnloadNow(), S_OK) << "the last release deleted it";

    // A failed query leaves no object behind.
    EXPECT_EQ(f->CreateInstance(nullptr, IID_IClassFactory, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(lib.canUnloadNow(), S_OK);

    EXPECT_EQ(f->LockServer(TRUE), S_OK);
    EXPECT_EQ(lib.canUnloadNow(), S_FALSE);
    EXPECT_EQ(f->LockServer(FALSE), S_OK);
    EXPECT_EQ(lib.canUnloadNow(), S_OK);
    EXPECT_EQ(f->Release(), 0u);
}

// An aggregate: the inner object's IASIO forwards to the outer unknown.
struct Outer : IUnknown {
    IUnknown* inner = nullptr;
    int queries = 0, refs = 1;
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        queries++;
        return inner->QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return ULONG(++refs); }
    ULONG Release() override { return ULONG(--refs); }
};

TEST(AsioCom, AggregationAsksForTheInnerUnknown) {
    AsioLib& lib = asioLib();
    IClassFactory* f = nullptr;
    ASSERT_EQ(lib.getClassObject(CLSID_VelunorAsio, IID_IClassFactory, reinterpret_cast<void**>(&f)), S_OK);
    Outer outer;
    void* p = nullptr;
    EXPECT_EQ(f->CreateInstance(&outer, CLSID_VelunorAsio, &p), E_NOINTERFACE);
    ASSERT_EQ(f->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
    IASIO* a = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(CLSID_VelunorAsio, reinterpret_cast<void**>(&a)), S_OK);
    EXPECT_EQ(outer.refs, 2) << "the IASIO reference counts on the outer object";
    void* q = nullptr;
    EXPECT_EQ(a->QueryInterface(CLSID_VelunorAsio, &q), S_OK);
    EXPECT_EQ(outer.queries, 1) << "IASIO's QueryInterface goes to the outer unknown";
    a->Release();
    a->Release();
    EXPECT_EQ(outer.refs, 1);
    EXPECT_EQ(lib.canUnloadNow(), S_FALSE);
    EXPECT_EQ(outer.inner->Release(), 0u);
    EXPECT_EQ(lib.canUnloadNow(), S_OK);
    f->Release();
}

TEST(AsioCom, RegistrationEntries) {
    const std::string dir = freshDirs("asio-reg");
    ASSERT_FALSE(dir.empty());
    AsioLib& lib = asioLib();
    ASSERT_EQ(lib.registerServer(), S_OK);
    const std::string self = fs::canonical(VELUNOR_ASIO_SO).string();
    EXPECT_EQ(value(REG_HKCR, kClassKey, nullptr), "Velunor-rEduVuzi");
    std::string inproc = std::string(kClassKey) + "\\InprocServer32";
    EXPECT_EQ(value(REG_HKCR, inproc.c_str(), nullptr), self);
    EXPECT_EQ(value(REG_HKCR, inproc.c_str(), "ThreadingModel"), "Apartment");
    EXPECT_EQ(value(REG_HKLM, kDrvKey, "CLSID"), "{56656C75-6E6F-722D-7653-6E6443617264}");
    EXPECT_EQ(value(REG_HKLM, kDrvKey, "Description"), "Velunor-rEduVuzi");
    // Stored without a terminating NUL.
    RegKey k;
    size_t len = 0;
    char buf[64];
    ASSERT_EQ(Registry_openKey(REG_HKLM, kDrvKey, &k), REG_OK);
    ASSERT_EQ(Registry_getString(&k, "Description", buf, sizeof buf, &len), REG_OK);
    EXPECT_EQ(len, 16u);

    // Twice from the same path: the class key is left as it is, the driver key rewritten.
    RegKey ck;
    ASSERT_EQ(Registry_openKey(REG_HKCR, kClassKey, &ck), REG_OK);
    ASSERT_EQ(Registry_setString(&ck, "Marker", "1", 1), REG_OK);
    ASSERT_EQ(Registry_setString(&k, "Stale", "1", 1), REG_OK);
    ASSERT_EQ(lib.registerServer(), S_OK);
    EXPECT_EQ(value(REG_HKCR, kClassKey, "Marker"), "1");
    EXPECT_EQ(value(REG_HKLM, kDrvKey, "Stale"), "<no value>");
    RegKey asio;
    ASSERT_EQ(Registry_openKey(REG_HKLM, "SOFTWARE\\ASIO", &asio), REG_OK);
    char name[64];
    EXPECT_EQ(Registry_enumKey(&asio, 0, name, sizeof name), REG_OK);
    EXPECT_STREQ(name, "Velunor-rEduVuzi");
    EXPECT_EQ(Registry_enumKey(&asio, 1, name, sizeof name), REG_NO_MORE) << "one set of entries";

    // From another path: the class key and its path are replaced.
    AsioLib moved;
    ASSERT_TRUE(copyAndOpen(fs::path(dir) / "Other Place", "Velunor-rEduVuzi.so", &moved));
    ASSERT_EQ(moved.registerServer(), S_OK);
    EXPECT_EQ(value(REG_HKCR, kClassKey, "Marker"), "<no value>");
    EXPECT_EQ(value(REG_HKCR, inproc.c_str(), nullptr), fs::canonical(fs::path(dir) / "Other Place" / "Velunor-rEduVuzi.so").string());
    EXPECT_EQ(value(REG_HKCR, inproc.c_str(), "ThreadingModel"), "Apartment");

    // Unregistration removes both trees and leaves SOFTWARE\ASIO.
    ASSERT_EQ(lib.unregisterServer(), S_OK);
    EXPECT_FALSE(Registry_keyExists(REG_HKCR, kClassKey));
    EXPECT_FALSE(Registry_keyExists(REG_HKLM, kDrvKey));
    EXPECT_TRUE(Registry_keyExists(REG_HKLM, "SOFTWARE\\ASIO"));
    EXPECT_EQ(lib.unregisterServer(), S_OK) << "nothing left to remove is no failure";

    // A library under another file name is not the driver's module: -101.
    AsioLib renamed;
    ASSERT_TRUE(copyAndOpen(fs::path(dir) / "renamed", "other-driver.so", &renamed));
    testing::internal::CaptureStderr();
    EXPECT_EQ(renamed.registerServer(), -1);
    EXPECT_EQ(renamed.unregisterServer(), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Register Server failed ! (-101)"), std::string::npos) << err;
    EXPECT_NE(err.find("Unregister Server failed ! (-101)"), std::string::npos) << err;
    EXPECT_NE(err.find("ASIO Driver Velunor-rEduVuzi"), std::string::npos) << err;
    EXPECT_FALSE(Registry_keyExists(REG_HKCR, kClassKey));

    // A module path longer than 360 bytes: -102.
    fs::path deep = fs::path(dir) / "deep";
    for (int i = 0; i < 4; i++) deep /= std::string(90, char('a' + i));
    AsioLib far;
    ASSERT_TRUE(copyAndOpen(deep, "Velunor-rEduVuzi.so", &far));
    testing::internal::CaptureStderr();
    EXPECT_EQ(far.registerServer(), -1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Register Server failed ! (-102)"), std::string::npos) << err;
    EXPECT_FALSE(Registry_keyExists(REG_HKCR, kClassKey));
}

TEST(AsioCom, ClassIdText) {
    LPOLESTR w = nullptr;
    ASSERT_EQ(StringFromCLSID(CLSID_VelunorAsio, &w), S_OK);
    char text[100];
    EXPECT_EQ(Com_wideToAnsi(w, text, sizeof text), 38u);
    CoTaskMemFree(w);
    EXPECT_STREQ(text, "{56656C75-6E6F-722D-7653-6E6443617264}");
    // Read two hex digits at a time as character codes, the digits spell the driver's name.
    std::string spelled;
    for (const char* p = text + 1; *p && *p != '}'; p++) {
        if (*p == '-') continue;
        spelled += char(std::stoi(std::string(p, 2), nullptr, 16));
        p++;
    }
    EXPECT_EQ(spelled, "Velunor-vSndCard");
    CLSID back{};
    EXPECT_TRUE(CLSIDFromText(text, &back));
    EXPECT_TRUE(back == CLSID_VelunorAsio);
    EXPECT_FALSE(CLSIDFromText("{56656C75-6E6F-722D-7653-6E644361726}", &back));
    EXPECT_FALSE(CLSIDFromText("{56656C75-6E6F-722D-7653x6E6443617264}", &back));
    EXPECT_EQ(Com_wideToAnsi(u"abc", text, 3), 0u) << "no room for the NUL";
    EXPECT_EQ(StringFromCLSID(CLSID_VelunorAsio, nullptr), E_POINTER);
}
