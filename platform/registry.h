// The registry: a file-backed tree under $VELUNOR_ROOT/registry/<hive>. A key is a
// folder; its sub-keys are sub-folders; a value is a file "@<name>" in it ("@" alone is
// the default value) holding the value's bytes (REG_SZ only). Names compare without
// regard to case, like the registry's; a key keeps the case it was created with.
// Key paths use "\" between names. Names must not be empty, "." or "..", contain "/",
// or start with "@" or "#" (reserved for values and temporary files).
#pragma once
#include <cstddef>

enum RegHive {
    REG_HKCR = 0, // HKEY_CLASSES_ROOT
    REG_HKLM,     // HKEY_LOCAL_MACHINE
    REG_HKCU,     // HKEY_CURRENT_USER
};

// Result codes (the registry's own numbers).
#define REG_OK 0
#define REG_FAILED 1       // the file system refused
#define REG_NOT_FOUND 2    // no such key or value
#define REG_INVALID 87     // a bad name or argument
#define REG_MORE_DATA 234  // the buffer is too small
#define REG_NO_MORE 259    // enumeration index past the end

struct RegKey {
    char dir[1024]; // the key's folder
};

// The hive's display name ("HKEY_CLASSES_ROOT", ...), or null.
const char* Registry_hiveName(RegHive hive);
// Opens an existing key (path "" is the hive itself).
int Registry_openKey(RegHive hive, const char* path, RegKey* out);
// Opens the key, creating it and every missing key above it.
int Registry_createKey(RegHive hive, const char* path, RegKey* out);
// Opens / creates a sub-key (path relative to key).
int Registry_openSubKey(const RegKey* key, const char* path, RegKey* out);
int Registry_createSubKey(const RegKey* key, const char* path, RegKey* out);
bool Registry_keyExists(RegHive hive, const char* path);

// Writes a REG_SZ value of len bytes (name null or "" = the default value); the file is
// replaced atomically.
int Registry_setString(const RegKey* key, const char* name, const char* data, size_t len);
// Reads a value into out (cap bytes) and NUL-terminates it; *len (may be null) gets the
// value's size. REG_MORE_DATA when the value and its NUL do not fit.
int Registry_getString(const RegKey* key, const char* name, char* out, size_t cap, size_t* len);
int Registry_deleteValue(const RegKey* key, const char* name);

// The index-th sub-key name in sorted order; REG_NO_MORE past the end.
int Registry_enumKey(const RegKey* key, int index, char* name, size_t cap);
// The index-th value name in sorted order ("" for the default value).
int Registry_enumValue(const RegKey* key, int index, char* name, size_t cap);

// Deletes the sub-key name of key when it has no sub-keys (its values go with it).
int Registry_deleteKey(const RegKey* key, const char* name);
// Deletes the key at path and everything below it, children first.
int Registry_deleteTree(RegHive hive, const char* path);
