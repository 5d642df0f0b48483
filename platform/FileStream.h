// File streams on the machine's files, as the class library has them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/WinTypes.h"
#include "runtime/Streams.h"

namespace kv {

enum : uint16_t {
    fmCreate = 0xFF00,
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmExclusive = 0x0004,  // with fmCreate: only a file that does not exist yet
    fmShareCompat = 0x0000,
    fmShareExclusive = 0x0010,
    fmShareDenyWrite = 0x0020,
    fmShareDenyRead = 0x0030,
    fmShareDenyNone = 0x0040,
};

// A stream on an open Windows file handle; the handle stays the caller's.
class THandleStream : public TStream {
public:
    explicit THandleStream(HANDLE handle) : FHandle(handle) {}
    HANDLE Handle() const { return FHandle; }
    int64_t Read(void* buffer, int64_t count) override;
    // Returns what was written: less than Count when the disk is full.
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t GetSize() override;
    void SetSize(int64_t size) override;  // EOSError when the disk is full

protected:
    HANDLE FHandle;
};

// Opens (Mode: an fmOpen… access or'ed with an fmShare… mode) or creates (fmCreate,
// optionally or'ed with a share mode, and with fmExclusive failing for an existing
// file) a file; the share modes of other opens and the in-use list apply. Failure: EFOpenError "Cannot open file %s" / EFCreateError
// "Cannot create file %s".
class TFileStream : public THandleStream {
public:
    TFileStream(const std::string& winPath, uint16_t mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;
    const std::string& FileName() const { return FFileName; }

private:
    std::string FFileName;
};

}  // namespace kv
