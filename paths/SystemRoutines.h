// The few system helper routines the path specifiers use: the Windows and system
// folders, the plain registry string read and the backslash helpers.
#pragma once

#include <string>

#include "platform/Registry.h"
#include "platform/System.h"
#include "routines/exceptions_Kelvane.h"

namespace kv::paths_detail {

inline void AddBackslash(const std::string& text, std::string& result) {
    result = text.empty() || text.back() == '\\' ? text : text + "\\";
}

inline void RemoveBackslash(const std::string& text, std::string& result) {
    result = !text.empty() && text.back() == '\\' ? text.substr(0, text.size() - 1) : text;
}

inline void GetWindowsDir(std::string& path) {
    char buf[261];
    UINT n = GetWindowsDirectoryA(buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) throw EKelvaneAbnormal("Could not retrieve the windows directory from windows");
    path = buf;
}

inline void GetSystemDir(std::string& path) {
    char buf[261];
    UINT n = GetSystemDirectoryA(buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) throw EKelvaneAbnormal("Could not retrieve the system directroy from windows");
    path = buf;
}

// Default unless the key exists, opens without creating and has the value; a failed
// read gives Default too.
inline void ReadRegString(HKEY root, const std::string& key, const std::string& name, std::string& value,
                          const std::string& def) {
    value = def;
    TRegistry reg;
    reg.SetRootKey(root);
    try {
        if (!reg.KeyExists(key) || !reg.OpenKey(key, false) || !reg.ValueExists(name)) return;
        value = reg.ReadString(name);
    } catch (const Exception&) {
        value = def;
    }
}

}  // namespace kv::paths_detail
