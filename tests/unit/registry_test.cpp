// The file-backed registry: keys, default and named REG_SZ values, names without regard
// to case, sorted enumeration, refusal of bad names, deletion of keys and trees.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry.h"

namespace fs = std::filesystem;

namespace {
std::string freshRoot() {
    char tmpl[] = "/tmp/velunor-registry-XXXXXX";
    const char* d = mkdtemp(tmpl);
    if (!d) return "";
    setenv("VELUNOR_ROOT", d, 1);
    static std::vector<std::string> made;
    if (made.empty())
        std::atexit([] {
            for (const std::string& m : made) {
                std::error_code ec;
                fs::remove_all(m, ec);
            }
        });
    made.push_back(d);
    return d;
}
std::string get(const RegKey& k, const char* name) {
    char buf[256];
    int rc = Registry_getString(&k, name, buf, sizeof buf, nullptr);
    return rc == REG_OK ? std::string(buf) : "<" + std::to_string(rc) + ">";
}
} // namespace

TEST(Registry, KeysValuesAndCase) {
    const std::string root = freshRoot();
    ASSERT_FALSE(root.empty());
    RegKey k, again;
    EXPECT_EQ(Registry_openKey(REG_HKLM, "SOFTWARE\\ASIO", &k), REG_NOT_FOUND);
    EXPECT_FALSE(Registry_keyExists(REG_HKLM, "SOFTWARE"));
    ASSERT_EQ(Registry_createKey(REG_HKLM, "SOFTWARE\\ASIO\\Drv", &k), REG_OK);
    EXPECT_TRUE(fs::is_directory(root + "/registry/HKEY_LOCAL_MACHINE/SOFTWARE/ASIO/Drv"));
    // Another case finds the same key and does not make a second one.
    ASSERT_EQ(Registry_createKey(REG_HKLM, "software\\asio\\DRV", &again), REG_OK);
    EXPECT_STREQ(again.dir, k.dir);
    EXPECT_TRUE(Registry_keyExists(REG_HKLM, "Software\\Asio"));
    EXPECT_FALSE(Registry_keyExists(REG_HKCR, "SOFTWARE\\ASIO")) << "hives are apart";

    // Default value and named values, replaced in place, read without regard to case.
    EXPECT_EQ(get(k, nullptr), "<2>");
    ASSERT_EQ(Registry_setString(&k, nullptr, "Velunor-rEduVuzi", 16), REG_OK);
    ASSERT_EQ(Registry_setString(&k, "CLSID", "{x}", 3), REG_OK);
    ASSERT_EQ(Registry_setString(&k, "clsid", "{y}", 3), REG_OK);
    EXPECT_EQ(get(k, ""), "Velunor-rEduVuzi");
    EXPECT_EQ(get(k, "ClsId"), "{y}");
    ASSERT_EQ(Registry_setString(&k, "Empty", "", 0), REG_OK);
    EXPECT_EQ(get(k, "Empty"), "");

    // Exactly the bytes given; a buffer without room for the NUL gets REG_MORE_DATA.
    char small[4];
    size_t len = 0;
    EXPECT_EQ(Registry_getString(&k, nullptr, small, sizeof small, &len), REG_MORE_DATA);
    EXPECT_EQ(len, 16u);
    EXPECT_EQ(fs::file_size(fs::path(k.dir) / "@"), 16u);
    char exact[17];
    EXPECT_EQ(Registry_getString(&k, nullptr, exact, sizeof exact, &len), REG_OK);
    EXPECT_STREQ(exact, "Velunor-rEduVuzi");

    // Values and keys are enumerated apart, sorted; no temporary file is left.
    RegKey sub;
    ASSERT_EQ(Registry_createSubKey(&k, "zeta", &sub), REG_OK);
    ASSERT_EQ(Registry_createSubKey(&k, "Alpha\\Inner", &sub), REG_OK);
    char name[64];
    ASSERT_EQ(Registry_enumKey(&k, 0, name, sizeof name), REG_OK);
    EXPECT_STREQ(name, "Alpha");
    ASSERT_EQ(Registry_enumKey(&k, 1, name, sizeof name), REG_OK);
    EXPECT_STREQ(name, "zeta");
    EXPECT_EQ(Registry_enumKey(&k, 2, name, sizeof name), REG_NO_MORE);
    EXPECT_EQ(Registry_enumKey(&k, 0, name, 3), REG_MORE_DATA);
    EXPECT_EQ(Registry_enumKey(&k, -1, name, sizeof name), REG_INVALID);
    std::string values;
    for (int i = 0; Registry_enumValue(&k, i, name, sizeof name) == REG_OK; i++) values += std::string("[") + name + "]";
    EXPECT_EQ(values, "[][CLSID][Empty]");
    for (auto& e : fs::directory_iterator(k.dir)) EXPECT_NE(e.path().filename().string()[0], '#');

    // Names that cannot be keys.
    for (const char* bad : {"a/b", "..", ".", "@x", "#tmp", "x\\..\\y"})
        EXPECT_EQ(Registry_createKey(REG_HKLM, bad, &sub), REG_INVALID) << bad;
    EXPECT_EQ(Registry_createKey(REG_HKLM, std::string(300, 'k').c_str(), &sub), REG_INVALID);
    EXPECT_EQ(Registry_setString(&k, "a/b", "1", 1), REG_INVALID);
    EXPECT_EQ(Registry_openKey(RegHive(7), "x", &sub), REG_INVALID);
    EXPECT_TRUE(fs::is_directory(root + "/registry/HKEY_LOCAL_MACHINE")) << "nothing escaped the hive";

    ASSERT_EQ(Registry_deleteValue(&k, "empty"), REG_OK);
    EXPECT_EQ(get(k, "Empty"), "<2>");
    EXPECT_EQ(Registry_deleteValue(&k, "Empty"), REG_NOT_FOUND);
}

TEST(Registry, DeleteKeyAndTree) {
    const std::string root = freshRoot();
    ASSERT_FALSE(root.empty());
    RegKey k, top;
    ASSERT_EQ(Registry_createKey(REG_HKCR, "CLSID\\{id}\\InprocServer32", &k), REG_OK);
    ASSERT_EQ(Registry_setString(&k, nullptr, "/x.so", 5), REG_OK);
    ASSERT_EQ(Registry_createKey(REG_HKCR, "CLSID\\{id}\\a\\b\\c", &k), REG_OK);
    ASSERT_EQ(Registry_setString(&k, "v", "1", 1), REG_OK);
    ASSERT_EQ(Registry_createKey(REG_HKCR, "CLSID\\{other}", &k), REG_OK);

    ASSERT_EQ(Registry_openKey(REG_HKCR, "CLSID", &top), REG_OK);
    EXPECT_NE(Registry_deleteKey(&top, "{id}"), REG_OK) << "a key with sub-keys stays";
    EXPECT_TRUE(Registry_keyExists(REG_HKCR, "CLSID\\{id}\\a\\b\\c"));
    EXPECT_EQ(Registry_deleteKey(&top, "{nothing}"), REG_NOT_FOUND);

    EXPECT_EQ(Registry_deleteTree(REG_HKCR, "clsid\\{ID}"), REG_OK);
    EXPECT_FALSE(Registry_keyExists(REG_HKCR, "CLSID\\{id}"));
    EXPECT_TRUE(Registry_keyExists(REG_HKCR, "CLSID\\{other}")) << "the sibling stays";
    EXPECT_EQ(Registry_deleteTree(REG_HKCR, "CLSID\\{id}"), REG_NOT_FOUND);
    EXPECT_EQ(Registry_deleteTree(REG_HKCR, ""), REG_INVALID) << "never the whole hive";
    EXPECT_EQ(Registry_deleteKey(&top, "{other}"), REG_OK);
    EXPECT_FALSE(Registry_keyExists(REG_HKCR, "CLSID\\{other}"));
}
