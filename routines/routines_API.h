// System helper routines: the Windows version class, temporary files, the Windows and
// system folders, short paths.
#pragma once

#include <cstdint>
#include <string>

#include "routines/exceptions_Kelvane.h"

namespace kv {

// 0 Win32s, 1 the Windows 95/98 family, 2 Windows NT (not 3.5x), 3 Windows NT 3.5x,
// 4 any other platform. EAPIRoutines when Windows cannot tell.
int32_t GetWindowsClass();
// A new file with the prefix "bat" in the temporary folder; deleted again at once unless
// Keep (only the name is wanted then).
void GetTempFile(bool keep, std::string& path);
void GetSystemDir(std::string& path);
void GetWindowsDir(std::string& path);
// The 8.3 form of Path; empty when the path does not exist or is too long for it.
void GetShortPath(const std::string& path, std::string& shortPath);

}  // namespace kv
