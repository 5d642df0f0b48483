#include "platform/FileStream.h"

#include <limits>

#include "platform/Files.h"
#include "runtime/Classes.h"

namespace kv {

int64_t THandleStream::Read(void* buffer, int64_t count) {
    int64_t done = 0;
    while (done < count) {
        DWORD chunk = static_cast<DWORD>(std::min<int64_t>(count - done, 1 << 30)), n = 0;
        if (!ReadFile(FHandle, static_cast<char*>(buffer) + done, chunk, &n, nullptr)) break;
        done += n;
        if (n < chunk) break;
    }
    return done;
}

int64_t THandleStream::Write(const void* buffer, int64_t count) {
    int64_t done = 0;
    while (done < count) {
        DWORD chunk = static_cast<DWORD>(std::min<int64_t>(count - done, 1 << 30)), n = 0;
        bool ok = WriteFile(FHandle, static_cast<const char*>(buffer) + done, chunk, &n, nullptr);
        done += n;
        if (!ok || n < chunk) break;
    }
    return done;
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t pos = FileSeek64(FHandle, offset, static_cast<DWORD>(origin));
    return pos < 0 ? -1 : pos;
}

int64_t THandleStream::GetSize() {
    DWORD high = 0;
    DWORD low = GetFileSize(FHandle, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
}

void THandleStream::SetSize(int64_t size) {
    if (Seek(size, soBeginning) < 0 || !SetEndOfFile(FHandle)) RaiseLastOSError();
}

namespace {
DWORD ShareOf(uint16_t mode) {
    switch (mode & 0xF0) {
        case fmShareDenyWrite: return FILE_SHARE_READ;
        case fmShareDenyRead: return FILE_SHARE_WRITE;
        case fmShareDenyNone: return FILE_SHARE_READ | FILE_SHARE_WRITE;
        default: return 0;  // compatibility mode and exclusive
    }
}
}  // namespace

TFileStream::TFileStream(const std::string& winPath, uint16_t mode)
    : THandleStream(INVALID_HANDLE_VALUE), FFileName(winPath) {
    if ((mode & 0xFF00) == fmCreate) {
        FHandle = CreateFileA(winPath.c_str(), GENERIC_READ | GENERIC_WRITE, ShareOf(mode), nullptr,
                              mode & fmExclusive ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (FHandle == INVALID_HANDLE_VALUE) throw EFCreateError("Cannot create file %s", {winPath});
        return;
    }
    static const DWORD access[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
    if ((mode & 3) < 3)
        FHandle = CreateFileA(winPath.c_str(), access[mode & 3], ShareOf(mode), nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    else
        SetLastError(ERROR_INVALID_PARAMETER);
    if (FHandle == INVALID_HANDLE_VALUE) throw EFOpenError("Cannot open file %s", {winPath});
}

TFileStream::~TFileStream() {
    if (FHandle != INVALID_HANDLE_VALUE) CloseHandle(FHandle);
}

// String lists and other class-library file access open machine paths.
namespace {
std::unique_ptr<TStream> OpenMachineFile(const std::string& path, bool forWriting) {
    return std::make_unique<TFileStream>(path, forWriting ? fmCreate : fmOpenRead | fmShareDenyWrite);
}
const bool kMachineOpenerInstalled = (SetFileOpener(&OpenMachineFile), true);
}  // namespace

}  // namespace kv
