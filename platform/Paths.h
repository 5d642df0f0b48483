// Windows paths on the emulated machine: normalisation, the mapping to host paths
// (case-insensitive on the host's case-sensitive file system), 8.3 short names and the
// process's current folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Machine.h"
#include "platform/WinTypes.h"

namespace kv {

// A full Windows path taken apart: "C:\a\b" or "\\server\share\a\b".
struct TWinPath {
    char Drive = 0;            // 'A'..'Z', or 0 for a UNC path
    std::string Server, Share; // UNC only
    std::vector<std::string> Parts;

    std::string Root() const;  // "C:\" or "\\server\share\"
    std::string Full() const;  // root and parts; a root alone keeps its backslash
    size_t FullSize() const;   // Full().size(), without making it
    bool IsRoot() const { return Parts.empty(); }
};

// Makes Path absolute against the current folder, turns "/" into "\", folds repeated
// separators, "." and "..", trailing dots and blanks of names. A path that begins with
// "/" is a host path on drive Z:. With Validate, names with characters Windows refuses
// (or wildcards, unless WildLast allows them in the last name) and over-long paths fail.
// Returns ERROR_SUCCESS or the Windows error.
DWORD ParseWinPath(const std::string& path, TWinPath& out, bool validate = true, bool wildLast = false);

// An open descriptor (O_PATH) of a host folder, closed with its last holder.
struct THostFolder {
    int Fd = -1;
    explicit THostFolder(int fd) : Fd(fd) {}
    THostFolder(const THostFolder&) = delete;
    THostFolder& operator=(const THostFolder&) = delete;
    ~THostFolder();
};

// A Windows path resolved on the host. Names that exist are matched without regard to
// case (and by their 8.3 alias); the rest are taken as written.
struct TResolvedPath {
    TWinPath Win;              // with the names as they exist on disk
    std::string Host;          // host path (UTF-8)
    const TDrive* Drive = nullptr;  // nullptr for a UNC path
    bool Exists = false;       // the whole path exists
    bool ParentExists = false; // the folder that holds it exists
    bool IsDir = false;
    std::string Key() const;   // identity for share checks: the long path in upper case
    // Key() when ResolvePath had it at hand (else empty); Win is not to be changed then.
    std::string KnownKey;
    // For a name that does not exist, when its folder was known without a look on the
    // host: the folder and the name as the host will spell it, to make it there
    // without the walk along the whole path.
    std::shared_ptr<const THostFolder> Folder;
    std::string HostName;
};

// ERROR_SUCCESS, or the error the path gets on Windows (bad name, unknown drive,
// drive not ready, unknown share).
// ExpectNew: the caller is about to create the file; the look for it as written is
// left to the folder's listing, which finds it in any case.
DWORD ResolvePath(const std::string& path, TResolvedPath& out, bool wildLast = false, bool expectNew = false);

// Host path of a Windows path; raises EOSError for a bad path.
std::string HostPath(const std::string& winPath);
// Windows path of a host path: the drive or share whose folder holds it (Z: for the
// rest of the host).
std::string WinPathFromHost(const std::string& hostPath);

// The names in a host folder (UTF-8), without "." and "..".
std::vector<std::string> ListHostDir(const std::string& hostDir);

// 8.3 names. A name that already fits stays as it is; others get NAME~N.EXT, N counted
// per folder in name order so the same folder always gives the same aliases.
bool IsShortName(const std::string& name);
// The alias of every entry of a host folder that needs one (long name -> alias).
std::vector<std::pair<std::string, std::string>> ShortAliases(const std::string& hostDir);

DWORD GetShortPathNameA(const char* longPath, char* shortPath, DWORD size);
DWORD GetLongPathNameA(const char* shortPath, char* longPath, DWORD size);
DWORD GetFullPathNameA(const char* fileName, DWORD size, char* buffer, char** filePart);
DWORD GetCurrentDirectoryA(DWORD size, char* buffer);
BOOL SetCurrentDirectoryA(const char* path);

// std::string forms, "" on failure (GetLastError tells why).
std::string ExpandFileName(const std::string& path);
std::string ShortPathName(const std::string& path);
std::string GetCurrentDir();
bool SetCurrentDir(const std::string& path);

// Forgets the cached current folder (the machine changed).
void ResetCurrentDir();

// Copies Text into a Win32 buffer: its length when it fits (with the NUL), else the
// size needed including the NUL. Shared by the functions that fill buffers.
DWORD CopyToBuffer(const std::string& text, char* buffer, DWORD size);

}  // namespace kv
