// The emulated Windows machine: a host folder with machine.ini, the drives, the
// registry, the state of open files and the journal.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/IniFiles.h"
#include "platform/WinTypes.h"

namespace kv {

class TSqlite;

// GetDriveType results.
enum : UINT { DRIVE_UNKNOWN = 0, DRIVE_NO_ROOT_DIR = 1, DRIVE_REMOVABLE = 2, DRIVE_FIXED = 3, DRIVE_REMOTE = 4,
              DRIVE_CDROM = 5, DRIVE_RAMDISK = 6 };

enum : DWORD { VER_PLATFORM_WIN32s = 0, VER_PLATFORM_WIN32_WINDOWS = 1, VER_PLATFORM_WIN32_NT = 2 };

// What GetVersionEx reports for one Windows release, and where it keeps its folders.
struct TVersionPreset {
    const char* Name;  // the machine.ini spelling: Win95, Win98, NT4, NT351, Win32s
    const char* Title;
    DWORD PlatformId, Major, Minor, Build;
    const char* CSDVersion;
    const char* WindowsDir;
    const char* SystemDir;
    const char* TempDir;
};
const std::vector<TVersionPreset>& VersionPresets();
const TVersionPreset* FindVersionPreset(const std::string& name);  // case-insensitive; nullptr

struct TDrive {
    char Letter = 0;           // upper case
    UINT Type = DRIVE_FIXED;
    std::string HostDir;       // absolute host folder
    int64_t Capacity = 0;      // bytes; 0 = the host's own free space
};

struct TUncShare {
    std::string Name;          // \\server\share
    std::string HostDir;
};

class TMachine {
public:
    // Opens the machine in HostRoot, creating it with the defaults of Preset (a
    // TVersionPreset name) when it has no machine.ini yet.
    explicit TMachine(const std::string& hostRoot, const std::string& preset = "NT4");
    ~TMachine();

    const std::string& Root() const { return FRoot; }
    std::string RootFile(const std::string& name) const { return FRoot + "/" + name; }
    std::string ConfigValue(const std::string& section, const std::string& ident, const std::string& def) const;

    // Version, as GetVersionEx reports it.
    const std::string& VersionName() const { return FVersionName; }
    DWORD PlatformId() const { return FPlatformId; }
    DWORD MajorVersion() const { return FMajor; }
    DWORD MinorVersion() const { return FMinor; }
    DWORD BuildNumber() const { return FBuild; }
    const std::string& CSDVersion() const { return FCSD; }
    bool IsNT() const { return FPlatformId == VER_PLATFORM_WIN32_NT; }

    const std::string& WindowsDir() const { return FWindowsDir; }
    const std::string& SystemDir() const { return FSystemDir; }
    const std::string& TempDir() const { return FTempDir; }
    UINT CodePage() const { return FCodePage; }
    WORD LanguageId() const { return FLanguageId; }
    int ScreenWidth() const { return FScreenWidth; }
    int ScreenHeight() const { return FScreenHeight; }
    int CaptionHeight() const { return FCaptionHeight; }
    bool ShutdownPrivilege() const { return FShutdownPrivilege; }
    const std::string& UserName() const { return FUserName; }

    // The shell folders Explorer keeps for the user (none where there is no Explorer:
    // NT 3.51 and Win32s), name -> Windows path.
    std::vector<std::pair<std::string, std::string>> DefaultShellFolders() const;

    const std::vector<TDrive>& Drives() const { return FDrives; }
    const TDrive* FindDrive(char letter) const;
    const std::vector<TUncShare>& UncShares() const { return FShares; }
    const TUncShare* FindShare(const std::string& server, const std::string& share) const;

    // One line per event that cannot be shown otherwise; kept in journal.log.
    void Journal(const std::string& text);
    std::vector<std::string> JournalLines() const;

    // The stores, opened on first use (again in a forked child).
    TSqlite& State();
    TSqlite& RegistryDb();

private:
    void LoadConfig();
    void CreateDefaults(const std::string& preset);
    std::string FRoot;
    TIniText FConfig;
    std::string FVersionName, FCSD, FWindowsDir, FSystemDir, FTempDir, FUserName;
    DWORD FPlatformId = 2, FMajor = 4, FMinor = 0, FBuild = 1381;
    UINT FCodePage = 1252;
    WORD FLanguageId = 0x0409;
    int FScreenWidth = 1024, FScreenHeight = 768, FCaptionHeight = 18;
    bool FShutdownPrivilege = true;
    std::vector<TDrive> FDrives;
    std::vector<TUncShare> FShares;
    std::mutex FStoreLock;  // opening the stores
    std::unique_ptr<TSqlite> FState, FRegistry;
    int FStatePid = 0, FRegistryPid = 0;
};

// The machine this process works on: the folder named by KELVANE_MACHINE, or
// ~/.local/share/kelvane/machine, opened (and created) on first use.
TMachine& Machine();
// Points the process at another machine folder (tests use a temporary one); an empty
// root returns to the default. Preset applies when the folder is new.
void UseMachine(const std::string& hostRoot, const std::string& preset = "NT4");
std::string DefaultMachineRoot();

// While one exists, file services ignore the in-use list and other programs' open
// files: nothing runs while Windows starts.
class TBootScope {
public:
    TBootScope();
    ~TBootScope();
    static bool Active();
};

}  // namespace kv
