#include "platform/WinTypes.h"

namespace kv {

namespace {
thread_local DWORD gLastError = ERROR_SUCCESS;
}

DWORD GetLastError() { return gLastError; }
void SetLastError(DWORD code) { gLastError = code; }

std::string SysErrorMessage(DWORD code) {
    switch (code) {
        case ERROR_SUCCESS: return "The operation completed successfully.";
        case ERROR_INVALID_FUNCTION: return "Incorrect function.";
        case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
        case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.";
        case ERROR_TOO_MANY_OPEN_FILES: return "The system cannot open the file.";
        case ERROR_ACCESS_DENIED: return "Access is denied.";
        case ERROR_INVALID_HANDLE: return "The handle is invalid.";
        case ERROR_NOT_ENOUGH_MEMORY: return "Not enough storage is available to process this command.";
        case ERROR_BAD_FORMAT: return "An attempt was made to load a program with an incorrect format.";
        case ERROR_INVALID_DRIVE: return "The system cannot find the drive specified.";
        case ERROR_NOT_SAME_DEVICE: return "The system cannot move the file to a different disk drive.";
        case ERROR_NO_MORE_FILES: return "There are no more files.";
        case ERROR_NOT_READY: return "The device is not ready.";
        case ERROR_SHARING_VIOLATION:
            return "The process cannot access the file because it is being used by another process.";
        case ERROR_HANDLE_EOF: return "Reached the end of the file.";
        case ERROR_NOT_SUPPORTED: return "The network request is not supported.";
        case ERROR_BAD_NETPATH: return "The network path was not found.";
        case ERROR_FILE_EXISTS: return "The file exists.";
        case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
        case ERROR_DISK_FULL: return "There is not enough space on the disk.";
        case ERROR_CALL_NOT_IMPLEMENTED: return "This function is not supported on this system.";
        case ERROR_INSUFFICIENT_BUFFER: return "The data area passed to a system call is too small.";
        case ERROR_INVALID_NAME: return "The filename, directory name, or volume label syntax is incorrect.";
        case ERROR_NEGATIVE_SEEK:
            return "An attempt was made to move the file pointer before the beginning of the file.";
        case ERROR_DIR_NOT_EMPTY: return "The directory is not empty.";
        case ERROR_BAD_PATHNAME: return "The specified path is invalid.";
        case ERROR_ALREADY_EXISTS: return "Cannot create a file when that file already exists.";
        case ERROR_FILENAME_EXCED_RANGE: return "The filename or extension is too long.";
        case ERROR_MORE_DATA: return "More data is available.";
        case ERROR_NO_MORE_ITEMS: return "No more data is available.";
        case ERROR_DIRECTORY: return "The directory name is invalid.";
        case ERROR_BADDB: return "The configuration registry database is corrupt.";
        case ERROR_BADKEY: return "The configuration registry key is invalid.";
        case ERROR_CANTOPEN: return "The configuration registry key could not be opened.";
        case ERROR_CANTREAD: return "The configuration registry key could not be read.";
        case ERROR_CANTWRITE: return "The configuration registry key could not be written.";
        case ERROR_REGISTRY_IO_FAILED:
            return "An I/O operation initiated by the registry failed unrecoverably.";
        case ERROR_KEY_DELETED: return "Illegal operation attempted on a registry key that has been marked for deletion.";
        case ERROR_NOT_ALL_ASSIGNED: return "Not all privileges referenced are assigned to the caller.";
        case ERROR_NO_SUCH_PRIVILEGE: return "A specified privilege does not exist.";
        case ERROR_PRIVILEGE_NOT_HELD: return "A required privilege is not held by the client.";
        default: return "Unknown error " + std::to_string(code) + ".";
    }
}

EOSError::EOSError(DWORD code)
    : Exception("System Error.  Code: " + std::to_string(code) + ".\r\n" + SysErrorMessage(code)), FErrorCode(code) {}

void RaiseLastOSError() { throw EOSError(GetLastError()); }

}  // namespace kv
