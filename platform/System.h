// System information of the emulated machine: version, folders, code page, language,
// screen metrics.
#pragma once

#include "platform/Machine.h"
#include "platform/WinTypes.h"

namespace kv {

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;  // the caller sets it to sizeof(OSVERSIONINFOA), 148
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148);

BOOL GetVersionExA(OSVERSIONINFOA* info);  // ERROR_INSUFFICIENT_BUFFER unless the size is 148
UINT GetWindowsDirectoryA(char* buffer, UINT size);
UINT GetSystemDirectoryA(char* buffer, UINT size);

UINT GetACP();
WORD GetUserDefaultLangID();
WORD GetSystemDefaultLangID();

enum : int { SM_CXSCREEN = 0, SM_CYSCREEN = 1, SM_CYCAPTION = 4 };
int GetSystemMetrics(int index);

}  // namespace kv
