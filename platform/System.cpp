#include "platform/System.h"

#include <cstring>

#include "platform/Paths.h"

namespace kv {

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    TMachine& m = Machine();
    info->dwMajorVersion = m.MajorVersion();
    info->dwMinorVersion = m.MinorVersion();
    info->dwBuildNumber = m.BuildNumber();
    info->dwPlatformId = m.PlatformId();
    memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    strncpy(info->szCSDVersion, m.CSDVersion().c_str(), sizeof info->szCSDVersion - 1);
    return true;
}

UINT GetWindowsDirectoryA(char* buffer, UINT size) { return CopyToBuffer(Machine().WindowsDir(), buffer, size); }
UINT GetSystemDirectoryA(char* buffer, UINT size) { return CopyToBuffer(Machine().SystemDir(), buffer, size); }

UINT GetACP() { return Machine().CodePage(); }
WORD GetUserDefaultLangID() { return Machine().LanguageId(); }
WORD GetSystemDefaultLangID() { return Machine().LanguageId(); }

int GetSystemMetrics(int index) {
    TMachine& m = Machine();
    switch (index) {
        case SM_CXSCREEN: return m.ScreenWidth();
        case SM_CYSCREEN: return m.ScreenHeight();
        case SM_CYCAPTION: return m.CaptionHeight();
        default: return 0;
    }
}

}  // namespace kv
