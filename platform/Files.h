// File services of the emulated machine, in the shape of the Win32 functions and the
// class library's file routines. Every path is a Windows path of the current machine.
// Failures return as Win32 does and leave the reason in GetLastError.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Machine.h"
#include "platform/Paths.h"
#include "platform/System.h"
#include "platform/WinTypes.h"

namespace kv {

enum : DWORD {
    GENERIC_READ = 0x80000000u,
    GENERIC_WRITE = 0x40000000u,
    GENERIC_EXECUTE = 0x20000000u,
    GENERIC_ALL = 0x10000000u,
    DELETE = 0x00010000u,
};
enum : DWORD { FILE_SHARE_READ = 1, FILE_SHARE_WRITE = 2, FILE_SHARE_DELETE = 4 };
enum : DWORD { CREATE_NEW = 1, CREATE_ALWAYS = 2, OPEN_EXISTING = 3, OPEN_ALWAYS = 4, TRUNCATE_EXISTING = 5 };
enum : DWORD {
    FILE_ATTRIBUTE_READONLY = 0x01,
    FILE_ATTRIBUTE_HIDDEN = 0x02,
    FILE_ATTRIBUTE_SYSTEM = 0x04,
    FILE_ATTRIBUTE_DIRECTORY = 0x10,
    FILE_ATTRIBUTE_ARCHIVE = 0x20,
    FILE_ATTRIBUTE_NORMAL = 0x80,
    FILE_ATTRIBUTE_TEMPORARY = 0x100,
};
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
enum : DWORD { FILE_BEGIN = 0, FILE_CURRENT = 1, FILE_END = 2 };
enum : DWORD {
    MOVEFILE_REPLACE_EXISTING = 1,
    MOVEFILE_COPY_ALLOWED = 2,
    MOVEFILE_DELAY_UNTIL_REBOOT = 4,
    MOVEFILE_WRITE_THROUGH = 8,
};

// 100-nanosecond intervals since 1601-01-01; the machine's local time is UTC.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    char cFileName[MAX_PATH];
    char cAlternateFileName[14];
};

// ---- handles --------------------------------------------------------------------------
// Opening honours the share modes of every open handle of the machine's programs and
// the in-use list (a file there is held open for reading, shared for reading only).
// Writes to a drive with a capacity come up short when it is full (ERROR_DISK_FULL).
HANDLE CreateFileA(const char* fileName, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written, void* overlapped);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method);
BOOL SetEndOfFile(HANDLE file);
DWORD GetFileSize(HANDLE file, DWORD* sizeHigh);
BOOL FlushFileBuffers(HANDLE file);
BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite);
BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite);
BOOL CloseHandle(HANDLE object);
// 64-bit position helpers for streams: new position, or -1 with the error set.
int64_t FileSeek64(HANDLE file, int64_t offset, DWORD method);

// ---- files and folders ------------------------------------------------------------------
BOOL DeleteFileA(const char* fileName);
BOOL CopyFileA(const char* existingFileName, const char* newFileName, BOOL failIfExists);
BOOL MoveFileA(const char* existingFileName, const char* newFileName);
// With MOVEFILE_DELAY_UNTIL_REBOOT the move (or, without a new name, the deletion) is
// recorded where Windows NT keeps it, for the next boot; the Windows 9x family and Win32s
// do not have this (ERROR_CALL_NOT_IMPLEMENTED), they use WININIT.INI.
BOOL MoveFileExA(const char* existingFileName, const char* newFileName, DWORD flags);
DWORD GetFileAttributesA(const char* fileName);
BOOL SetFileAttributesA(const char* fileName, DWORD attributes);
BOOL CreateDirectoryA(const char* pathName, void* security);
BOOL RemoveDirectoryA(const char* pathName);

HANDLE FindFirstFileA(const char* fileName, WIN32_FIND_DATAA* data);
BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE find);

// ---- drives -------------------------------------------------------------------------------
BOOL GetDiskFreeSpaceA(const char* rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector,
                       DWORD* freeClusters, DWORD* totalClusters);
BOOL GetDiskFreeSpaceExA(const char* directory, uint64_t* freeToCaller, uint64_t* total, uint64_t* totalFree);
UINT GetDriveTypeA(const char* rootPath);
DWORD GetLogicalDrives();

// ---- temporary files ------------------------------------------------------------------
DWORD GetTempPathA(DWORD size, char* buffer);  // with a trailing backslash
// With Unique 0 the name <path>\<first 3 of prefix><hex>.TMP is created empty, atomically,
// so that no other process can take it; otherwise only formed.
UINT GetTempFileNameA(const char* pathName, const char* prefix, UINT unique, char* tempFileName);

// ---- times ----------------------------------------------------------------------------
BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, FILETIME* localFileTime);
BOOL LocalFileTimeToFileTime(const FILETIME* localFileTime, FILETIME* fileTime);
BOOL FileTimeToDosDateTime(const FILETIME* fileTime, WORD* fatDate, WORD* fatTime);
BOOL DosDateTimeToFileTime(WORD fatDate, WORD fatTime, FILETIME* fileTime);
FILETIME DateTimeToFileTime(TDateTime d);
TDateTime FileTimeToDateTime(const FILETIME& ft);

// ---- the class library's file routines ---------------------------------------------------
KV_EXCEPTION(EInOutError, Exception);

bool FileExists(const std::string& fileName);
bool DirectoryExists(const std::string& name);
// Creates Dir and every missing folder above it; raises EInOutError for an empty name.
bool ForceDirectories(const std::string& dir);
int32_t FileAge(const std::string& fileName);  // DOS stamp of the last write, -1 when missing
int32_t FileGetDate(HANDLE file);               // DOS stamp, -1 on failure
int FileSetDate(HANDLE file, int32_t age);      // 0 or the Windows error
int FileSetDate(const std::string& fileName, int32_t age);
int64_t DiskFree(BYTE drive);                   // 0 = current drive, 1 = A:, ...; -1 when invalid
int64_t DiskSize(BYTE drive);

enum : int32_t { faReadOnly = 0x01, faHidden = 0x02, faSysFile = 0x04, faVolumeID = 0x08, faDirectory = 0x10,
                 faArchive = 0x20, faAnyFile = 0x3F };
struct TSearchRec {
    int32_t Time = 0;  // DOS stamp
    int64_t Size = 0;
    int32_t Attr = 0;
    std::string Name;
    int32_t ExcludeAttr = 0;
    HANDLE FindHandle = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAA FindData{};
};
int FindFirst(const std::string& path, int32_t attr, TSearchRec& f);  // 0 or the Windows error
int FindNext(TSearchRec& f);
void FindClose(TSearchRec& f);

// ---- the in-use list --------------------------------------------------------------------
// Files that a running program holds open until the next boot. A short or differently
// cased name of the same file matches. Raises EOSError for a bad path.
void AddInUse(const std::string& fileName);
bool RemoveInUse(const std::string& fileName);
std::vector<std::string> InUseList();
void ClearInUse();

// Drops the handles a forked child inherited from its parent, without touching the
// parent's records (called in the child).
void ForgetInheritedHandles();

}  // namespace kv
