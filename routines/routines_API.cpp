#include "routines/routines_API.h"

#include "platform/Files.h"

namespace kv {

namespace {
constexpr DWORD kDirBuffer = 261;    // the temporary, system and Windows folders
constexpr DWORD kShortBuffer = 401;  // short path conversion
}  // namespace

int32_t GetWindowsClass() {
    OSVERSIONINFOA vi{};
    vi.dwOSVersionInfoSize = sizeof vi;
    if (!GetVersionExA(&vi)) throw EAPIRoutines("Could not get information about the current version of Windows");
    switch (vi.dwPlatformId) {
        case VER_PLATFORM_WIN32s: return 0;
        case VER_PLATFORM_WIN32_WINDOWS: return 1;
        case VER_PLATFORM_WIN32_NT:
            return Pos("3.5", Format("%d.%d", {vi.dwMajorVersion, vi.dwMinorVersion})) > 0 ? 3 : 2;
        default: return 4;
    }
}

void GetTempFile(bool keep, std::string& path) {
    char dir[kDirBuffer] = {}, name[kDirBuffer] = {};
    DWORD n = GetTempPathA(kDirBuffer, dir);
    // A folder that does not fit the buffer is no folder.
    if (n == 0 || n >= kDirBuffer || GetTempFileNameA(dir, "bat", 0, name) == 0 || !*name)
        throw EAPIRoutines("Cannot create a temporary file");
    path = name;
    if (!keep) DeleteFileA(name);
}

void GetSystemDir(std::string& path) {
    char buf[kDirBuffer];
    UINT n = GetSystemDirectoryA(buf, kDirBuffer);
    if (n == 0 || n >= kDirBuffer) throw EAPIRoutines("Could not retrieve the system directroy from windows");
    path = buf;
}

void GetWindowsDir(std::string& path) {
    char buf[kDirBuffer];
    UINT n = GetWindowsDirectoryA(buf, kDirBuffer);
    if (n == 0 || n >= kDirBuffer) throw EAPIRoutines("Could not retrieve the windows directory from windows");
    path = buf;
}

void GetShortPath(const std::string& path, std::string& shortPath) {
    char buf[kShortBuffer];
    DWORD n = GetShortPathNameA(path.c_str(), buf, kShortBuffer);
    shortPath = n == 0 || n >= kShortBuffer ? std::string() : std::string(buf, n);
}

}  // namespace kv
