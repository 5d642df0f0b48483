// Rebooting: the shutdown privilege, the reboot request, work for the next Windows start
// and the start itself.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/Files.h"

namespace kv {

enum : UINT { EWX_LOGOFF = 0, EWX_SHUTDOWN = 1, EWX_REBOOT = 2, EWX_FORCE = 4, EWX_POWEROFF = 8 };
enum : DWORD { TOKEN_QUERY = 0x0008, TOKEN_ADJUST_PRIVILEGES = 0x0020, SE_PRIVILEGE_ENABLED = 0x0002 };
constexpr const char* SE_SHUTDOWN_NAME = "SeShutdownPrivilege";

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};
struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};
struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};

HANDLE GetCurrentProcess();
// Windows NT only (ERROR_CALL_NOT_IMPLEMENTED elsewhere). Enabling the shutdown privilege
// succeeds unless machine.ini says ShutdownPrivilege=0 (then ERROR_NOT_ALL_ASSIGNED).
BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token);
BOOL LookupPrivilegeValueA(const char* systemName, const char* name, LUID* luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, DWORD bufferLength,
                           TOKEN_PRIVILEGES* previousState, DWORD* returnLength);
// Records the request in the journal; the machine restarts with `kelvane machine boot`.
// On Windows NT a shutdown or reboot needs the shutdown privilege enabled in this process
// (ERROR_PRIVILEGE_NOT_HELD).
BOOL ExitWindowsEx(UINT flags, DWORD reserved);

// The entries of a multi-string value (empty entries kept).
std::vector<std::string> SplitMultiSz(const std::string& data);

// The moves MoveFileEx recorded for the next boot: (source, target) as Windows keeps
// them ("\??\C:\x", "!\??\C:\y" or "" for a deletion).
std::vector<std::pair<std::string, std::string>> PendingRenames();

// A Windows start: the [rename] lines of WININIT.INI ("NUL=" deletes; the file then
// becomes WININIT.BAK), the pending renames, the in-use list cleared, then every RunOnce
// value of HKEY_LOCAL_MACHINE and then of HKEY_CURRENT_USER, in name order, deleted and
// its command run and waited for. Each step is journalled.
void BootMachine();

}  // namespace kv
