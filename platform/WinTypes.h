// The Windows types, constants and error numbers of the emulated machine, and the
// calling thread's last error.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/SysUtils.h"

namespace kv {

using DWORD = uint32_t;
using WORD = uint16_t;
using BYTE = uint8_t;
using UINT = uint32_t;
using LONG = int32_t;
using BOOL = bool;  // Win32's BOOL, kept as a C++ truth value
using HANDLE = void*;
using HMODULE = void*;
using LPDWORD = DWORD*;

constexpr DWORD MAX_PATH = 260;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

// ---- error numbers, as Windows numbers them ------------------------------------------
enum : DWORD {
    ERROR_SUCCESS = 0,
    ERROR_INVALID_FUNCTION = 1,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_TOO_MANY_OPEN_FILES = 4,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_BAD_FORMAT = 11,
    ERROR_INVALID_DRIVE = 15,
    ERROR_NOT_SAME_DEVICE = 17,
    ERROR_NO_MORE_FILES = 18,
    ERROR_NOT_READY = 21,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_HANDLE_EOF = 38,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_BAD_NETPATH = 53,
    ERROR_FILE_EXISTS = 80,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_DISK_FULL = 112,
    ERROR_CALL_NOT_IMPLEMENTED = 120,
    ERROR_INSUFFICIENT_BUFFER = 122,
    ERROR_INVALID_NAME = 123,
    ERROR_NEGATIVE_SEEK = 131,
    ERROR_DIR_NOT_EMPTY = 145,
    ERROR_BAD_PATHNAME = 161,
    ERROR_ALREADY_EXISTS = 183,
    ERROR_FILENAME_EXCED_RANGE = 206,
    ERROR_MORE_DATA = 234,
    ERROR_NO_MORE_ITEMS = 259,
    ERROR_DIRECTORY = 267,
    ERROR_BADDB = 1009,
    ERROR_BADKEY = 1010,
    ERROR_CANTOPEN = 1011,
    ERROR_CANTREAD = 1012,
    ERROR_CANTWRITE = 1013,
    ERROR_REGISTRY_IO_FAILED = 1016,
    ERROR_KEY_DELETED = 1018,
    ERROR_NOT_ALL_ASSIGNED = 1300,
    ERROR_NO_SUCH_PRIVILEGE = 1313,
    ERROR_PRIVILEGE_NOT_HELD = 1314,
};

DWORD GetLastError();
void SetLastError(DWORD code);

// The system's English text for an error number (FormatMessage of the system table).
std::string SysErrorMessage(DWORD code);

// The class library's error for a failed system call.
class EOSError : public Exception {
public:
    explicit EOSError(DWORD code);
    DWORD ErrorCode() const { return FErrorCode; }
    const char* ClassName() const override { return "EOSError"; }

private:
    DWORD FErrorCode;
};
[[noreturn]] void RaiseLastOSError();

}  // namespace kv
