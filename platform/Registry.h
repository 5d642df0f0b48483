// The machine's registry: one SQLite file (registry.db) behind the Win32 registry
// functions, the class library's TRegistry, and REGEDIT4 export and import.
//
// Every change is committed on its own, so a program killed in the middle of writing
// leaves each value either written or not; RegFlushKey makes it durable on disk too.
// Key and value names compare without regard to case and keep the case they were created
// with. Sub keys enumerate in name order, values in the order they were created.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/WinTypes.h"

namespace kv {

using HKEY = uint32_t;
using REGSAM = DWORD;

constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
constexpr HKEY HKEY_USERS = 0x80000003u;
constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005u;
constexpr HKEY HKEY_DYN_DATA = 0x80000006u;

enum : DWORD {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_DWORD_BIG_ENDIAN = 5,
    REG_LINK = 6,
    REG_MULTI_SZ = 7,
};
enum : DWORD { REG_CREATED_NEW_KEY = 1, REG_OPENED_EXISTING_KEY = 2 };
enum : DWORD { REG_OPTION_NON_VOLATILE = 0 };
enum : REGSAM {
    KEY_QUERY_VALUE = 0x0001,
    KEY_SET_VALUE = 0x0002,
    KEY_CREATE_SUB_KEY = 0x0004,
    KEY_ENUMERATE_SUB_KEYS = 0x0008,
    KEY_NOTIFY = 0x0010,
    KEY_READ = 0x20019,
    KEY_WRITE = 0x20006,
    KEY_ALL_ACCESS = 0xF003F,
};

// Limits: a key name up to 255 characters, a value name up to 16383, data up to 1 MiB,
// keys at most 512 levels deep; beyond them ERROR_INVALID_PARAMETER. A sub key path must not begin with a backslash
// or hold an empty name (ERROR_BAD_PATHNAME).
constexpr size_t kMaxKeyNameLen = 255;
constexpr size_t kMaxValueNameLen = 16383;
constexpr size_t kMaxValueSize = 1 << 20;
constexpr size_t kMaxKeyDepth = 512;

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* className, DWORD options, REGSAM sam,
                     void* security, HKEY* result, DWORD* disposition);
LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM sam, HKEY* result);
LONG RegCloseKey(HKEY key);
LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size);
LONG RegDeleteValueA(HKEY key, const char* valueName);
// Refused with ERROR_ACCESS_DENIED while the key has sub keys, as Windows NT does.
LONG RegDeleteKeyA(HKEY key, const char* subKey);
LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved, char* className,
                   DWORD* classSize, FILETIME* lastWrite);
LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* valueNameSize, DWORD* reserved, DWORD* type,
                   BYTE* data, DWORD* dataSize);
LONG RegQueryInfoKeyA(HKEY key, char* className, DWORD* classSize, DWORD* reserved, DWORD* subKeys,
                      DWORD* maxSubKeyLen, DWORD* maxClassLen, DWORD* values, DWORD* maxValueNameLen,
                      DWORD* maxValueLen, DWORD* securityDescriptor, FILETIME* lastWrite);
LONG RegFlushKey(HKEY key);

// "HKEY_LOCAL_MACHINE" for a root key, "" for anything else.
std::string RootKeyName(HKEY root);
// Splits "HKEY_LOCAL_MACHINE\Software\X" (or "HKLM\Software\X") into the root and the
// path below it; false when it names no root key.
bool ParseRootKey(const std::string& fullKey, HKEY& root, std::string& subKey);

// ---- the class library's registry object ---------------------------------------------

class ERegistryException : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "ERegistryException"; }
};

enum TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

struct TRegDataInfo {
    TRegDataType RegData = rdUnknown;
    int32_t DataSize = 0;
};

struct TRegKeyInfo {
    int32_t NumSubKeys = 0, MaxSubKeyLen = 0, NumValues = 0, MaxValueLen = 0, MaxDataLen = 0;
    FILETIME FileTime{};
};

// A key path that begins with "\" is taken from the root key, any other from the
// current key (or the root when none is open). Reading a missing value raises
// "Failed to get data for '%s'", a value of the wrong type "Invalid data type for '%s'",
// a failed write "Failed to set data for '%s'". Failed calls leave the Windows error in
// GetLastError.
class TRegistry {
public:
    TRegistry() = default;
    explicit TRegistry(REGSAM access) : FAccess(access) {}
    ~TRegistry() { CloseKey(); }
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    HKEY RootKey() const { return FRootKey; }
    void SetRootKey(HKEY root);
    HKEY CurrentKey() const { return FCurrentKey; }
    const std::string& CurrentPath() const { return FCurrentPath; }
    bool LazyWrite = true;  // false: CloseKey flushes

    void CloseKey();
    bool OpenKey(const std::string& key, bool canCreate);
    bool OpenKeyReadOnly(const std::string& key);
    bool CreateKey(const std::string& key);
    bool DeleteKey(const std::string& key);  // with its sub keys
    bool KeyExists(const std::string& key);
    bool HasSubKeys();
    bool GetKeyInfo(TRegKeyInfo& info);
    std::vector<std::string> GetKeyNames();
    std::vector<std::string> GetValueNames();

    bool ValueExists(const std::string& name);
    bool DeleteValue(const std::string& name);
    bool GetDataInfo(const std::string& name, TRegDataInfo& info);
    int32_t GetDataSize(const std::string& name);  // -1 when missing
    TRegDataType GetDataType(const std::string& name);

    std::string ReadString(const std::string& name);
    void WriteString(const std::string& name, const std::string& value);
    void WriteExpandString(const std::string& name, const std::string& value);
    int32_t ReadInteger(const std::string& name);
    void WriteInteger(const std::string& name, int32_t value);
    bool ReadBool(const std::string& name);
    void WriteBool(const std::string& name, bool value);
    double ReadFloat(const std::string& name);
    void WriteFloat(const std::string& name, double value);
    TDateTime ReadDateTime(const std::string& name);
    void WriteDateTime(const std::string& name, TDateTime value);
    int32_t ReadBinaryData(const std::string& name, void* buffer, int32_t bufSize);
    void WriteBinaryData(const std::string& name, const void* buffer, int32_t size);

private:
    HKEY BaseKey(bool relative) const;
    HKEY GetKey(const std::string& key);
    void ChangeKey(HKEY key, const std::string& path);
    DWORD GetData(const std::string& name, void* buffer, DWORD size, TRegDataType& type);
    void PutData(const std::string& name, const void* buffer, DWORD size, DWORD type);

    HKEY FRootKey = HKEY_CURRENT_USER;
    HKEY FCurrentKey = 0;
    std::string FCurrentPath;
    REGSAM FAccess = KEY_ALL_ACCESS;
};

// ---- REGEDIT4 ---------------------------------------------------------------------------

// The key (a full path with its root; empty: every root) with all below it, as REGEDIT4
// text with CR LF line ends.
std::string RegExport(const std::string& fullKey = "");
// Applies REGEDIT4 text ([key], [-key], "name"="text", @=..., dword:, hex:, hex(n):,
// "name"=-). The whole text is checked before anything is written; a fault raises
// ERegistryException naming the line.
void RegImport(const std::string& text);

}  // namespace kv
