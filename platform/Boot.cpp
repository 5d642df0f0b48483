#include "platform/Boot.h"

#include <algorithm>

#include "platform/Handles.h"
#include "platform/Processes.h"
#include "platform/Registry.h"
#include "platform/Sqlite.h"

namespace kv {

void ForgetOpenFiles();  // Files.cpp

LONG RegAppendMultiSz(HKEY root, const std::string& subKey, const std::string& name,
                      const std::vector<std::string>& items);  // Registry.cpp

namespace {
const char* const kRunOnce = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
const char* const kSessionManager = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char* const kPendingRenames = "PendingFileRenameOperations";
}  // namespace

std::vector<std::string> SplitMultiSz(const std::string& data) {
    std::vector<std::string> items;
    std::string d = data;
    if (!d.empty() && d.back() == '\0') d.pop_back();
    size_t start = 0;
    while (start < d.size()) {
        size_t end = d.find('\0', start);
        if (end == std::string::npos) end = d.size();
        items.push_back(d.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

// MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT: Windows NT keeps source and target (empty:
// delete; "!" first: replace an existing file) as "\??\" paths in the Session Manager's
// pending renames.
BOOL DelayMoveUntilReboot(const char* existingFileName, const char* newFileName, DWORD flags) {
    if (!Machine().IsNT()) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return false;
    }
    TWinPath src, dst;
    DWORD e = ParseWinPath(existingFileName ? existingFileName : "", src);
    bool del = !newFileName || !*newFileName;
    if (!e && !del) e = ParseWinPath(newFileName, dst);
    if (e) {
        SetLastError(e);
        return false;
    }
    std::vector<std::string> items = {"\\??\\" + src.Full(),
                                      del ? "" : std::string(flags & MOVEFILE_REPLACE_EXISTING ? "!" : "") +
                                                     "\\??\\" + dst.Full()};
    LONG rc = RegAppendMultiSz(HKEY_LOCAL_MACHINE, kSessionManager, kPendingRenames, items);
    if (rc) {
        SetLastError(rc);
        return false;
    }
    return true;
}

std::vector<std::pair<std::string, std::string>> PendingRenames() {
    std::vector<std::pair<std::string, std::string>> out;
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!reg.OpenKeyReadOnly(kSessionManager)) return out;
    TRegDataInfo info;
    if (!reg.GetDataInfo(kPendingRenames, info)) return out;
    std::string data(static_cast<size_t>(info.DataSize), '\0');
    DWORD type = 0, size = static_cast<DWORD>(data.size());
    if (RegQueryValueExA(reg.CurrentKey(), kPendingRenames, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size) ||
        type != REG_MULTI_SZ)
        return out;
    auto items = SplitMultiSz(data);
    for (size_t i = 0; i + 1 < items.size(); i += 2) out.emplace_back(items[i], items[i + 1]);
    return out;
}

// ---- rebooting -------------------------------------------------------------------------------

namespace {

class TTokenObject : public THandleObject {
public:
    DWORD Access = 0;
};

bool gShutdownEnabled = false;
constexpr DWORD kShutdownLuid = 19;

BOOL Fail(DWORD e) {
    SetLastError(e);
    return false;
}

}  // namespace

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, HANDLE* token) {
    if (!Machine().IsNT()) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
    if (process != GetCurrentProcess() || !token) return Fail(ERROR_INVALID_HANDLE);
    auto t = std::make_unique<TTokenObject>();
    t->Access = desiredAccess;
    *token = AddHandle(std::move(t));
    return true;
}

BOOL LookupPrivilegeValueA(const char* /*systemName*/, const char* name, LUID* luid) {
    if (!Machine().IsNT()) return Fail(ERROR_CALL_NOT_IMPLEMENTED);
    if (!name || !SameText(name, SE_SHUTDOWN_NAME)) return Fail(ERROR_NO_SUCH_PRIVILEGE);
    *luid = {kShutdownLuid, 0};
    return true;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, DWORD, TOKEN_PRIVILEGES*,
                           DWORD* returnLength) {
    auto* t = HandleAs<TTokenObject>(token);
    if (!t) return Fail(ERROR_INVALID_HANDLE);
    if (!(t->Access & TOKEN_ADJUST_PRIVILEGES)) return Fail(ERROR_ACCESS_DENIED);
    if (returnLength) *returnLength = 0;
    if (disableAll) {
        gShutdownEnabled = false;
    } else if (newState) {
        for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
            const auto& p = newState->Privileges[i];
            if (p.Luid.LowPart != kShutdownLuid || p.Luid.HighPart != 0) return Fail(ERROR_NOT_ALL_ASSIGNED);
            if (!(p.Attributes & SE_PRIVILEGE_ENABLED)) gShutdownEnabled = false;
            else if (Machine().ShutdownPrivilege()) gShutdownEnabled = true;
            else return Fail(ERROR_NOT_ALL_ASSIGNED);
        }
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

BOOL ExitWindowsEx(UINT flags, DWORD) {
    TMachine& m = Machine();
    bool power = flags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF);
    if (power && m.IsNT() && !gShutdownEnabled) return Fail(ERROR_PRIVILEGE_NOT_HELD);
    std::string what = flags & EWX_REBOOT     ? "reboot"
                       : flags & EWX_POWEROFF ? "power off"
                       : flags & EWX_SHUTDOWN ? "shutdown"
                                              : "log off";
    std::string names;
    for (auto [bit, name] : {std::pair<UINT, const char*>{EWX_SHUTDOWN, "EWX_SHUTDOWN"}, {EWX_REBOOT, "EWX_REBOOT"},
                             {EWX_FORCE, "EWX_FORCE"}, {EWX_POWEROFF, "EWX_POWEROFF"}})
        if (flags & bit) names += (names.empty() ? "" : "|") + std::string(name);
    m.Journal("ExitWindowsEx: " + what + " requested (" + (names.empty() ? "EWX_LOGOFF" : names) + ")");
    return true;
}

// ---- the start -----------------------------------------------------------------------------------

namespace {

void Note(const std::string& text) { Machine().Journal("boot: " + text); }

std::string Outcome(BOOL ok) { return ok ? "done" : SysErrorMessage(GetLastError()); }

std::string NtPath(std::string p) {
    if (p.compare(0, 4, "\\??\\") == 0) p.erase(0, 4);
    return p;
}

void Wininit() {
    std::string ini = Machine().WindowsDir() + "\\WININIT.INI";
    TResolvedPath r;
    if (ResolvePath(ini, r) || !r.Exists) return;
    TIniText text = LoadIniHost(r.Host);
    for (const auto& [dest, src] : text.Entries("rename")) {
        BOOL ok;
        if (SameText(dest, "NUL")) {
            SetFileAttributesA(src.c_str(), FILE_ATTRIBUTE_NORMAL);
            ok = DeleteFileA(src.c_str());
        } else {
            ok = MoveFileExA(src.c_str(), dest.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
        }
        Note("WININIT.INI " + dest + "=" + src + ": " + Outcome(ok));
    }
    std::string bak = Machine().WindowsDir() + "\\WININIT.BAK";
    MoveFileExA(ini.c_str(), bak.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void Pending() {
    auto renames = PendingRenames();
    for (const auto& [from, to] : renames) {
        std::string src = NtPath(from);
        BOOL ok;
        if (to.empty()) {
            ok = DirectoryExists(src) ? RemoveDirectoryA(src.c_str()) : DeleteFileA(src.c_str());
            Note("pending delete " + src + ": " + Outcome(ok));
            continue;
        }
        bool replace = to[0] == '!';
        std::string dest = NtPath(replace ? to.substr(1) : to);
        ok = MoveFileExA(src.c_str(), dest.c_str(), replace ? static_cast<DWORD>(MOVEFILE_REPLACE_EXISTING) : 0u);
        Note("pending rename " + src + " -> " + dest + ": " + Outcome(ok));
    }
    HKEY k;
    if (!RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_ALL_ACCESS, &k)) {
        RegDeleteValueA(k, kPendingRenames);
        RegCloseKey(k);
    }
}

void RunOnce(HKEY root) {
    HKEY k;
    if (RegOpenKeyExA(root, kRunOnce, 0, KEY_ALL_ACCESS, &k)) return;
    struct TEntry {
        std::string Name, Command;
        DWORD Type;
    };
    std::vector<TEntry> entries;
    std::string name(kMaxValueNameLen + 1, '\0');
    for (DWORD i = 0;; ++i) {
        DWORD n = static_cast<DWORD>(name.size()), type = 0, size = 0;
        if (RegEnumValueA(k, i, name.data(), &n, nullptr, &type, nullptr, &size)) break;
        std::string data(size, '\0');
        n = static_cast<DWORD>(name.size());
        RegEnumValueA(k, i, name.data(), &n, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
        entries.push_back({name.substr(0, n), data.substr(0, data.find('\0')), type});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const TEntry& a, const TEntry& b) { return AnsiCompareText(a.Name, b.Name) < 0; });
    for (const auto& e : entries) {
        // Windows deletes the value before it runs the command.
        RegDeleteValueA(k, e.Name.c_str());
        std::string where = "RunOnce " + RootKeyName(root) + " " + (e.Name.empty() ? "@" : e.Name);
        if ((e.Type != REG_SZ && e.Type != REG_EXPAND_SZ) || Trim(e.Command).empty()) {
            Note(where + ": no command");
            continue;
        }
        Note(where + ": " + e.Command);
        int code = 0;
        UINT started = StartProgram(e.Command, SW_SHOWNORMAL, true, &code);
        if (started < 32) Note(where + ": " + SysErrorMessage(started));
    }
    RegFlushKey(k);
    RegCloseKey(k);
}

}  // namespace

void BootMachine() {
    Note("Windows starts");
    {
        TBootScope booting;  // nothing else runs yet: no file is held open
        Wininit();
        Pending();
        ClearInUse();
        ForgetOpenFiles();
    }
    std::string cwd = GetCurrentDir();
    SetCurrentDir(Machine().WindowsDir());
    RunOnce(HKEY_LOCAL_MACHINE);
    RunOnce(HKEY_CURRENT_USER);
    SetCurrentDir(cwd);
    Note("Windows is up");
}

}  // namespace kv
