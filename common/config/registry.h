// Registry calls of a Windows-style host, kept in the INI file rerar.ini in the
// program's directory. The registry is flat: the four root keys exist, a
// subkey opens or creates as its root, and every value lives in its root's
// section as a line '<name>=<text>' plus a type line '<name>_TYPE=REG_SZ' or
// '<name>_TYPE=REG_DWORD'. Value names are not case-sensitive.
//
// Every call returns 0 for success and 1 for failure. An invalid handle (not
// 0 to 3) makes every call that touches the file return 1. Write failures of
// the file itself are not reported (see common/config/profile.h).
#pragma once

// A registry handle: the index of a root key.
typedef int HKEY;

constexpr HKEY HKEY_CLASSES_ROOT = 0;
constexpr HKEY HKEY_CURRENT_USER = 1;
constexpr HKEY HKEY_LOCAL_MACHINE = 2;
constexpr HKEY HKEY_USERS = 3;

// Value types.
constexpr unsigned long REG_SZ = 1;     // text
constexpr unsigned long REG_DWORD = 4;  // 32-bit signed integer, host byte order

// Root names, indexed by handle; each is the section name of its root.
extern const char classes[4][32];

// The registry file's path: the module directory joined with "rerar.ini",
// bounded by size. Returns 1 when the path was built, 0 when the module
// directory is unknown or the path does not fit (buffer then empty).
int GetRegistryFilename(char* buffer, int size);

// Opening or creating a key stores the parent handle itself in *result (the
// subkey name is ignored) and returns 0; nothing is written to the file.
int RegOpenKey(HKEY key, const char* subKey, HKEY* result);
int RegOpenKeyEx(HKEY key, const char* subKey, unsigned long options, unsigned long access, HKEY* result);
int RegCreateKey(HKEY key, const char* subKey, HKEY* result);
int RegCreateKeyEx(HKEY key, const char* subKey, unsigned long reserved, char* keyClass, unsigned long options,
                   unsigned long access, void* securityAttributes, HKEY* result, unsigned long* disposition);
// Nothing to close or flush: every change is already in the file. Return 0.
int RegCloseKey(HKEY key);
int RegFlushKey(HKEY key);

// Reads a value as text (at most 2045 characters are seen). With data given,
// a *size below the text's length plus 1 fails and leaves data untouched;
// otherwise the text is copied bounded by *size. In every case *size becomes
// the text's length plus 1. Fails (1) for a missing or empty value.
int RegQueryValue(HKEY key, const char* valueName, char* data, unsigned long* size);

// Reads a typed value. Fails when both type and data are null, or the value
// has no type line (it counts as missing, even when its text is there).
// *type receives REG_SZ or REG_DWORD. With data null only *size is set, to the
// stored text's length plus 1 (for a REG_DWORD too). A REG_DWORD is stored at
// data as 4 bytes and *size is left alone; a REG_SZ is read as RegQueryValue.
int RegQueryValueEx(HKEY key, const char* valueName, unsigned long* reserved, unsigned long* type,
                    unsigned char* data, unsigned long* size);

// Stores data as the value's text (type and size are ignored); a null data
// deletes the value's text line. Returns 0 for a valid handle.
int RegSetValue(HKEY key, const char* valueName, unsigned long type, const char* data, unsigned long dataSize);

// Stores a REG_SZ text or a REG_DWORD (4 bytes at data, written as "%d") and
// then its type line. Any other type fails and writes nothing. The two lines
// are two separate writes: a reader in between sees the value as missing.
int RegSetValueEx(HKEY key, const char* valueName, unsigned long reserved, unsigned long type,
                  const unsigned char* data, unsigned long dataSize);

// Deletes a value and its type line; 0 also when there was no such value.
int RegDeleteKey(HKEY key, const char* valueName);

// The type line on its own: RegQueryType stores REG_DWORD, REG_SZ or 0 (no or
// unknown type line) in *type; RegSetType writes "REG_DWORD" for type 4 and
// "REG_SZ" for any other.
int RegQueryType(int key, const char* valueName, unsigned long* type);
int RegSetType(int key, const char* valueName, unsigned long type);
