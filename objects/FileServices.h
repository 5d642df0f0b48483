// The few file services the version reader and the archive engine need, in one
// place so that they can be pointed at the machine's services.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/Streams.h"

namespace kv::fsv {

enum : uint16_t {
    fmCreate = 0xFF00, fmOpenRead = 0x0000, fmOpenWrite = 0x0001, fmOpenReadWrite = 0x0002,
    fmShareCompat = 0x0000, fmShareExclusive = 0x0010, fmShareDenyWrite = 0x0020,
    fmShareDenyRead = 0x0030, fmShareDenyNone = 0x0040
};

// Raises EFOpenError or EFCreateError.
std::unique_ptr<TStream> OpenFile(const std::string& path, uint16_t mode);
bool FileExists(const std::string& path);
// Last-write time as a DOS timestamp.
bool GetFileDate(const std::string& path, int32_t& stamp);
bool SetFileDate(const std::string& path, int32_t stamp);
bool ForceDirectories(const std::string& dir);
bool DeleteFile(const std::string& path);
// The running program's own file.
std::string ProgramFileName();
// A new empty file in the temporary folder named PREFIXnnnn.tmp.
std::string GetTempFile(const std::string& prefix);

// Path text: both separators count, a drive colon ends the folder part.
std::string ExtractFilePath(const std::string& path);  // with the trailing separator
std::string ExtractFileName(const std::string& path);
std::string ChangeFileExt(const std::string& path, const std::string& ext);
std::string IncludeTrailingBackslash(const std::string& path);  // only when not empty
std::string ExcludeTrailingBackslash(const std::string& path);

}  // namespace kv::fsv
